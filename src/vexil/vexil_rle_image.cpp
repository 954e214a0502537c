#include "vexil/vexil_rle_image.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_crash.h"

// Walks the runs of h rows of w pixels: every row is the byte 0 or pairs that
// cover exactly w pixels. Returns false at the first run that breaks this or
// reaches past the data.
static bool rle_runs_valid(const uint8_t* p, uint64_t size, uint32_t w, uint32_t h)
{
    uint64_t pos = 0;
    for (uint32_t y = 0; y < h; ++y) {
        if (pos >= size)
            return false;
        if (p[pos] == 0) {
            ++pos;
            continue;
        }
        // Any run covers at least one pixel, so a row without width is only
        // ever the byte 0; accepting others would walk every row without
        // consuming a byte.
        if (w == 0)
            return false;
        uint64_t covered = 0;
        while (covered < w) {
            if (size - pos < 2)
                return false;
            const uint8_t n = p[pos];
            const uint8_t v = p[pos + 1];
            pos += 2;
            uint32_t run;
            if (n == VEXIL_RLE_SKIP) {
                if (v < 1 || v > VEXIL_RLE_RUN_MAX)
                    return false;
                run = v;
            } else if (n >= 1 && n <= VEXIL_RLE_RUN_MAX) {
                run = n;
            } else {
                return false;
            }
            covered += run;
        }
        if (covered != w)
            return false;
    }
    return true;
}

const uint8_t* vexil_rle_image_load(memarena* arena, vexil_rle_image* out, const void* b, uint64_t size, int ok_reuse_b,
                                    int endian)
{
    memset(out, 0, sizeof(*out));
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t w = io_read32(&r, "run-length image header does not fit");
    const uint32_t h = io_read32(&r, "run-length image header does not fit");
    const uint32_t rle_size = io_read32(&r, "run-length image header does not fit");
    const uint8_t* runs = nullptr;
    if (!r.failed && (w > (uint32_t)INT_MAX || h > (uint32_t)INT_MAX || rle_size > (uint32_t)INT_MAX))
        io_reader_fail(&r, "run-length image size above the largest int");
    if (!r.failed)
        runs = io_read_bytes(&r, rle_size, "run-length image runs do not fit");
    if (!r.failed && !rle_runs_valid(runs, rle_size, w, h))
        io_reader_fail(&r, "run-length image rows do not cover their width");
    if (r.failed) {
        printf("run-length image record refused: %s\n", r.what);
        return nullptr;
    }
    out->w = (int)w;
    out->h = (int)h;
    out->rle_size = (int)rle_size;
    if (ok_reuse_b && endian == IO_ENDIAN_NATIVE) {
        out->rle_data = const_cast<uint8_t*>(runs);
    } else {
        out->rle_data = static_cast<uint8_t*>(memarena_push(arena, rle_size));
        if (rle_size)
            memcpy(out->rle_data, runs, rle_size);
    }
    return r.p;
}

uint8_t* vexil_rle_image_store(void* bv, const vexil_rle_image* image, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)image->w, endian);
    b = io_store32(b, (uint32_t)image->h, endian);
    b = io_store32(b, (uint32_t)image->rle_size, endian);
    if (image->rle_size > 0)
        memcpy(b, image->rle_data, (size_t)image->rle_size);
    return b + (image->rle_size > 0 ? image->rle_size : 0);
}

// One pass of the encoder over w pixels a row (the decoder counts w, so row
// padding never enters the runs); out null only counts. Returns the bytes.
static uint64_t rle_encode(const n3d_framebuffer* fb, int key, uint8_t* out)
{
    uint64_t n = 0;
    const uint8_t* base = static_cast<const uint8_t*>(fb->b);
    for (int y = 0; y < fb->h; ++y) {
        const uint8_t* row = base + (uint64_t)y * (uint64_t)fb->row_bytes;
        int x = 0;
        while (x < fb->w && row[x] == key)
            ++x;
        if (x == fb->w) {
            if (out)
                out[n] = 0;
            ++n;
            continue;
        }
        x = 0;
        while (x < fb->w) {
            int run = 0;
            while (x + run < fb->w && run < VEXIL_RLE_RUN_MAX && row[x + run] == key)
                ++run;
            uint8_t first, second;
            if (run > 0) {
                first = VEXIL_RLE_SKIP;
                second = (uint8_t)run;
            } else {
                const uint8_t c = row[x];
                while (x + run < fb->w && run < VEXIL_RLE_RUN_MAX && row[x + run] == c)
                    ++run;
                first = (uint8_t)run;
                second = c;
            }
            if (out) {
                out[n] = first;
                out[n + 1] = second;
            }
            n += 2;
            x += run;
        }
    }
    return n;
}

void vexil_rle_image_from_framebuffer(vexil_rle_image* out, memarena* arena, const n3d_framebuffer* fb,
                                      int alpha_key_index)
{
    if (fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 framebuffer supported for now!\n");
    out->w = fb->w;
    out->h = fb->h;
    const uint64_t size = rle_encode(fb, alpha_key_index, nullptr);
    out->rle_size = (int)size;
    out->rle_data = static_cast<uint8_t*>(memarena_push(arena, size));
    rle_encode(fb, alpha_key_index, out->rle_data);
}

// n bytes of c with the widest aligned stores the count and address allow.
static void rle_fill(uint8_t* p, int n, uint8_t c)
{
    const uint64_t pattern = 0x0101010101010101ull * c;
    while (n > 4 && (reinterpret_cast<uintptr_t>(p) & 3)) {
        *p++ = c;
        --n;
    }
    while (n > 7) {
        memcpy(p, &pattern, 8);
        p += 8;
        n -= 8;
    }
    while (n > 3) {
        memcpy(p, &pattern, 4);
        p += 4;
        n -= 4;
    }
    if ((reinterpret_cast<uintptr_t>(p) & 1) && n > 2) {
        *p++ = c;
        --n;
    }
    while (n > 1) {
        memcpy(p, &pattern, 2);
        p += 2;
        n -= 2;
    }
    if (n)
        *p = c;
}

void vexil_rle_image_draw_ex(n3d_framebuffer* fb, const vexil_rle_image* image, int dst_x0, int dst_y0, int mode,
                             int key_color_index)
{
    const int64_t x0 = dst_x0, y0 = dst_y0, w = image->w, h = image->h;
    if (x0 >= fb->w || y0 >= fb->h || x0 + w <= 0 || y0 + h <= 0)
        return;
    if (y0 + h > fb->h)
        VEXIL_RLE_IMAGE_CRASH("crop not implemented.. image height + dst_y0 > fb height! (%d+%d vs %d)\n", image->h,
                              dst_y0, fb->h);
    if (x0 + w > fb->w)
        VEXIL_RLE_IMAGE_CRASH("crop not implemented.. image width + dst_x0 > fb width! (%d+%d vs %d)\n", image->w,
                              dst_x0, fb->w);
    if (x0 < 0 || y0 < 0)
        VEXIL_RLE_IMAGE_CRASH("crop not implemented.. dst_x0 or dst_y0 < 0! (%d %d)\n", dst_x0, dst_y0);
    const uint8_t* p = image->rle_data;
    const uint8_t* end = p + (image->rle_size > 0 ? image->rle_size : 0);
    uint8_t* row = static_cast<uint8_t*>(fb->b) + (uint64_t)dst_y0 * (uint64_t)fb->row_bytes + (uint64_t)dst_x0;
    for (int y = 0; y < image->h && p < end; ++y, row += fb->row_bytes) {
        if (*p == 0) {
            ++p;
            continue;
        }
        // A hand-built image with bad runs stops at its row's width and its data's end.
        int x = 0;
        while (x < image->w && end - p >= 2) {
            const uint8_t n = p[0];
            const uint8_t c = p[1];
            p += 2;
            int run = n == VEXIL_RLE_SKIP ? c : n;
            if (run > image->w - x)
                run = image->w - x;
            if (n != VEXIL_RLE_SKIP)
                rle_fill(row + x, run, mode == 1 ? (uint8_t)key_color_index : c);
            x += run;
            if (run == 0)
                break;
        }
    }
}

void vexil_rle_image_draw(n3d_framebuffer* fb, const vexil_rle_image* image, int x, int y)
{
    vexil_rle_image_draw_ex(fb, image, x, y, 0, 0);
}

void vexil_rle_image_erase(n3d_framebuffer* fb, const vexil_rle_image* image, int x, int y, int key_color_index)
{
    vexil_rle_image_draw_ex(fb, image, x, y, 1, key_color_index);
}
