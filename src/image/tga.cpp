#include "image/tga.h"

#include <cstdio>
#include <cstring>

// TGA stores every multi-byte field little-endian, whatever the machine.
static void tga_put16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v & 0xFF);
    p[1] = (uint8_t)((v >> 8) & 0xFF);
}
static uint16_t tga_get16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

uint8_t* tga_save_as_8bpp_palette_rgba8888(const tga* t, memarena* arena, uint64_t* out_size)
{
    const uint64_t entries = t->palette_count > 0 ? (uint64_t)t->palette_count : 0;
    const uint64_t pixels = (uint64_t)(t->width > 0 ? t->width : 0) * (uint64_t)(t->height > 0 ? t->height : 0);
    const uint64_t size = TGA_HEADER_SIZE + 3 * entries + pixels;
    uint8_t* file = static_cast<uint8_t*>(memarena_push_zeroed(arena, size));
    file[1] = 1;  // colour-mapped
    file[2] = 1;  // uncompressed
    tga_put16(file + 3, 0);
    tga_put16(file + 5, (uint32_t)entries);
    file[7] = 24;
    tga_put16(file + 8, 0);
    tga_put16(file + 10, 0);
    tga_put16(file + 12, (uint32_t)t->width);
    tga_put16(file + 14, (uint32_t)t->height);
    file[16] = 8;
    file[17] = 0;  // rows bottom-up
    uint8_t* map = file + TGA_HEADER_SIZE;
    for (uint64_t i = 0; i < entries; ++i) {
        map[3 * i + 0] = t->palette_rgba8888[4 * i + 2];
        map[3 * i + 1] = t->palette_rgba8888[4 * i + 1];
        map[3 * i + 2] = t->palette_rgba8888[4 * i + 0];
    }
    uint8_t* rows = map + 3 * entries;
    const uint64_t w = t->width > 0 ? (uint64_t)t->width : 0;
    for (int r = 0; w && r < t->height; ++r)
        memcpy(rows + (uint64_t)r * w, t->buffer + (uint64_t)(t->height - 1 - r) * w, w);
    *out_size = size;
    return file;
}

static int tga_refuse(const char* msg)
{
    fputs(msg, stderr);
    return 1;
}

int tga_load_as_8bpp_palette_rgba8888(tga* t, memarena* arena, const void* data, uint64_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size < TGA_HEADER_SIZE)
        return tga_refuse("tga file shorter than its header\n");
    tga_header h;
    h.idlength = p[0];
    h.colormaptype = p[1];
    h.datatypecode = p[2];
    h.colormaporigin = tga_get16(p + 3);
    h.colormaplength = tga_get16(p + 5);
    h.colormapdepth = p[7];
    h.x_origin = tga_get16(p + 8);
    h.y_origin = tga_get16(p + 10);
    h.width = tga_get16(p + 12);
    h.height = tga_get16(p + 14);
    h.bitsperpixel = p[16];
    h.imagedescriptor = p[17];
    if (h.colormaptype != 1 || h.datatypecode != 1)
        return tga_refuse("tga loader only support palette images without compression!\n");
    if (h.colormaporigin != 0)
        return tga_refuse("tga loader only support color map origin low\n");
    if (h.colormaplength > 256)
        return tga_refuse("tga loader only support palettes of max 256 entries\n");
    if (h.colormapdepth != 24)
        return tga_refuse("tga loader only support 24-bit palette entries\n");
    if (h.x_origin != 0 || h.y_origin != 0)
        return tga_refuse("tga loader only support origin of (0,0)\n");
    if (h.bitsperpixel != 8)
        return tga_refuse("tga loader only support 8 bits per pixel\n");
    const uint64_t map_start = TGA_HEADER_SIZE + (uint64_t)h.idlength;
    const uint64_t map_bytes = (uint64_t)h.colormapdepth * h.colormaplength / 8;
    const uint64_t pixels = (uint64_t)h.width * h.height;
    if (size < map_start + map_bytes + pixels)
        return tga_refuse("tga file shorter than its colour map and pixels\n");

    memset(t, 0, sizeof(*t));
    t->width = h.width;
    t->height = h.height;
    t->palette_count = h.colormaplength;
    t->palette_rgba8888 = static_cast<uint8_t*>(memarena_push(arena, 4u * (uint64_t)h.colormaplength));
    const uint8_t* map = p + map_start;
    for (int i = 0; i < h.colormaplength; ++i) {
        t->palette_rgba8888[4 * i + 0] = map[3 * i + 2];
        t->palette_rgba8888[4 * i + 1] = map[3 * i + 1];
        t->palette_rgba8888[4 * i + 2] = map[3 * i + 0];
        t->palette_rgba8888[4 * i + 3] = 255;
    }
    t->buffer = static_cast<uint8_t*>(memarena_push(arena, pixels));
    const uint8_t* rows = map + map_bytes;
    for (int y = 0; pixels && y < h.height; ++y)
        memcpy(t->buffer + (uint64_t)y * h.width, rows + (uint64_t)(h.height - 1 - y) * h.width, h.width);
    return 0;
}
