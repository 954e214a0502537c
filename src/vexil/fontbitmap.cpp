#include "vexil/fontbitmap.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "core/io.h"
#include "image/n2d.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"

// Offsets and advances place glyphs in pixels: anything beyond this is bad data
// (and would overflow the conversion to whole pixels).
#define FONTBITMAP_PLACEMENT_MAX 65536.0f
// Smallest glyph record: w, h, three floats, a coverage header.
#define FONTBITMAP_GLYPH_MIN_BYTES 24

static bool font_placement_ok(float v) { return std::isfinite(v) && std::fabs(v) <= FONTBITMAP_PLACEMENT_MAX; }

const uint8_t* fontbitmap_io_load(fontbitmap* out, memarena* arena, const void* b, uint64_t size, int endian)
{
    memset(out, 0, sizeof(*out));
    io_reader r = io_reader_make(b, size, endian);
    // Stored as u32; characters are signed 8-bit, so a range may start below 0.
    const int32_t first = (int32_t)io_read32(&r, "font range does not fit");
    const int32_t last = (int32_t)io_read32(&r, "font range does not fit");
    const int64_t count = (int64_t)last - (int64_t)first + 1;
    if (!r.failed && count < 1)
        io_reader_fail(&r, "font range ends before it starts");
    if (!r.failed && (uint64_t)count * FONTBITMAP_GLYPH_MIN_BYTES > io_reader_remaining(&r))
        io_reader_fail(&r, "font glyphs do not fit");
    if (!r.failed) {
        out->codepoint_first = first;
        out->codepoint_last = last;
        out->codepoint_count = (int)count;
        out->glyphs = memarena_push_array_zeroed<fontbitmap_glyph>(arena, (uint64_t)count);
    }
    for (int64_t i = 0; !r.failed && i < count; ++i) {
        fontbitmap_glyph* g = &out->glyphs[i];
        g->w = io_read16(&r, "font glyph does not fit");
        g->h = io_read16(&r, "font glyph does not fit");
        g->xoff = io_readf32(&r, "font glyph does not fit");
        g->yoff = io_readf32(&r, "font glyph does not fit");
        g->xadvance = io_readf32(&r, "font glyph does not fit");
        if (r.failed)
            break;
        if (!font_placement_ok(g->xoff) || !font_placement_ok(g->yoff) || !font_placement_ok(g->xadvance)) {
            io_reader_fail(&r, "font glyph placement not finite or beyond 65536");
            break;
        }
        const uint64_t pixels = (uint64_t)g->w * (uint64_t)g->h;
        const uint8_t* alpha = io_read_bytes(&r, pixels, "font glyph alpha does not fit");
        if (r.failed)
            break;
        g->alpha = static_cast<uint8_t*>(memarena_push(arena, pixels));
        if (pixels)
            memcpy(g->alpha, alpha, pixels);
        if (n3d_io_coveragebuffer_read(&r, arena, &g->cb) != 0)
            break;
        // The blit reads the glyph's coverage bit of every pixel it draws.
        if (g->cb.w < g->w || g->cb.h < g->h)
            io_reader_fail(&r, "font glyph coverage smaller than the glyph");
    }
    if (r.failed) {
        printf("font record refused: %s\n", r.what);
        return nullptr;
    }
    return r.p;
}

uint8_t* fontbitmap_io_store(void* bv, const fontbitmap* font, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)font->codepoint_first, endian);
    b = io_store32(b, (uint32_t)font->codepoint_last, endian);
    for (int i = 0; i < font->codepoint_count; ++i) {
        const fontbitmap_glyph* g = &font->glyphs[i];
        b = io_store16(b, (uint16_t)g->w, endian);
        b = io_store16(b, (uint16_t)g->h, endian);
        b = io_storef32(b, g->xoff, endian);
        b = io_storef32(b, g->yoff, endian);
        b = io_storef32(b, g->xadvance, endian);
        const int pixels = g->w * g->h;
        for (int k = 0; k < pixels; ++k)
            b = io_store8(b, (int8_t)g->alpha[k]);
        b = n3d_io_coveragebuffer_store(b, &g->cb, endian);
    }
    return b;
}

fontbitmap* fontbitmap_load_file(memarena* arena, const char* path)
{
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    int endian = 0;
    if (n3d_io_load_file(path, arena, &buffer, &size, &endian) != 0)
        crash_fail(1, "failed load file \"%s\"\n", path);
    fontbitmap* font = memarena_push_array_zeroed<fontbitmap>(arena, 1);
    if (!fontbitmap_io_load(font, arena, buffer, size, endian))
        crash_fail(1, "failed load file \"%s\"\n", path);
    return font;
}

static bool cb_bit(const n3d_coveragebuffer* cb, int x, int y)
{
    const uint64_t i = (uint64_t)y * (uint64_t)cb->w + (uint64_t)x;
    return (cb->u32[i >> 5] & (0x80000000u >> (i & 31))) != 0;
}

void fontbitmap_glyph_blit(const fontbitmap_glyph* glyph, n3d_framebuffer* dst, n3d_coveragebuffer* dst_cb, int dst_x0,
                           int dst_y0, const uint8_t* alpha_to_clut, const uint16_t* alpha_to_argb1555)
{
    const bool index8 = dst->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 && alpha_to_clut;
    const bool argb1555 = dst->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 && alpha_to_argb1555;
    if (!index8 && !argb1555)
        n3d_crash("src/fontbitmap", __LINE__, "not implemented for dst format %d\n", dst->format);
    int sx, sy, w, h;
    n2d_boxrect(&sx, &sy, &w, &h, dst_x0, dst_y0, dst_x0 + glyph->w, dst_y0 + glyph->h, 0, 0, dst->w, dst->h);
    if (w <= 0 || h <= 0)
        return;
    uint8_t* pixels = static_cast<uint8_t*>(dst->b);
    for (int y = 0; y < h; ++y) {
        const int gy = sy + y;
        const int ty = dst_y0 + gy;
        uint8_t* row = pixels + (uint64_t)ty * (uint64_t)dst->row_bytes;
        const uint8_t* alpha = glyph->alpha + (uint64_t)gy * (uint64_t)glyph->w;
        for (int x = 0; x < w; ++x) {
            const int gx = sx + x;
            const int tx = dst_x0 + gx;
            const uint8_t a = alpha[gx];
            if (a != 0) {
                if (index8) {
                    row[tx] = alpha_to_clut[a];
                } else {
                    const uint16_t v = alpha_to_argb1555[a];
                    memcpy(row + 2 * (uint64_t)tx, &v, 2);
                }
            }
            if (dst_cb && tx < dst_cb->w && ty < dst_cb->h && cb_bit(&glyph->cb, gx, gy)) {
                const uint64_t i = (uint64_t)ty * (uint64_t)dst_cb->w + (uint64_t)tx;
                dst_cb->u32[i >> 5] |= 0x80000000u >> (i & 31);
            }
        }
    }
}

// Whole pixels from a pen position; values outside +-2^30 (or NaN) are placed
// far outside every framebuffer instead of overflowing the conversion.
static int font_to_pixel(float v)
{
    const float limit = 1073741824.0f;
    if (!(v > -limit))
        return -(1 << 30);
    if (v >= limit)
        return 1 << 30;
    return (int)v;
}

void fontbitmap_print(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                      float* ypos, const char* text, const uint8_t* alpha_to_clut, const uint16_t* alpha_to_argb1555)
{
    *xpos = floorf(*xpos);
    *ypos = floorf(*ypos);
    for (const char* p = text; *p; ++p) {
        const int c = (int)(int8_t)*p;
        if (c < ctx->codepoint_first || c > ctx->codepoint_last)
            continue;
        const fontbitmap_glyph* g = &ctx->glyphs[c - ctx->codepoint_first];
        const float sx = *xpos + g->xoff;
        const float sy = *ypos + g->yoff;
        const int x = font_to_pixel(floorf(0.5f + sx));
        const int y = font_to_pixel(floorf(0.5f + sy));
        *xpos += g->xadvance;
        fontbitmap_glyph_blit(g, dst_fb, dst_cb, x, y, alpha_to_clut, alpha_to_argb1555);
    }
}

void fontbitmap_print_argb1555(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                               float* ypos, const char* text, const uint16_t* alpha_to_argb1555)
{
    fontbitmap_print(ctx, dst_fb, dst_cb, xpos, ypos, text, nullptr, alpha_to_argb1555);
}

void fontbitmap_print_index8(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                             float* ypos, const char* text, const uint8_t* alpha_to_clut)
{
    fontbitmap_print(ctx, dst_fb, dst_cb, xpos, ypos, text, alpha_to_clut, nullptr);
}
