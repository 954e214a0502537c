#include "image/bitmap.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "core/linmath.h"
#include "core/memarena.h"
#include "core/saturate.h"
#include "image/texel.h"

int g_bitmap_error_line = 0;
const char* g_bitmap_msg = nullptr;

// Source lines recorded with each failure; tools that logged them compare
// against these numbers, so they stay fixed whatever this file looks like.
enum {
    BITMAP_LINE_CHANNEL_NULL = 390,
    BITMAP_LINE_CHANNEL_INDEX = 394,
    BITMAP_LINE_CHANNEL_SIZE = 398,
    BITMAP_LINE_FILL_FORMAT = 453,
    BITMAP_LINE_PMA_FORMAT = 475,
    BITMAP_LINE_FLARE_FORMAT = 502,
    BITMAP_LINE_FLARE_SIZE = 503,
    BITMAP_LINE_MOSAIC_FORMAT = 551,
    BITMAP_LINE_MOSAIC_CELL = 552,
    BITMAP_LINE_LOAD_FORMAT = 590,
    BITMAP_LINE_SAVE_FORMAT = 616,
    BITMAP_LINE_COPY_FORMAT = 631,
    BITMAP_LINE_DOWNSCALE_FORMAT = 686,
    BITMAP_LINE_DOWNSCALE_LARGER = 688,
    BITMAP_LINE_DOWNSCALE_FILTER = 757,
};

static int bitmap_fail(int line, const char* msg)
{
    g_bitmap_error_line = line;
    g_bitmap_msg = msg;
    return 1;
}

int bitmap_channel_count(int flags)
{
    if (flags & BITMAP_FLAG_RGBA)
        return 4;
    if (flags & BITMAP_FLAG_RGB)
        return 3;
    if (flags & BITMAP_FLAG_2CH)
        return 2;
    if (flags & BITMAP_FLAG_1CH)
        return 1;
    return 0;
}

void bitmap_bytes_decode(float out[4], const uint8_t* px, int flags)
{
    int ch = bitmap_channel_count(flags);
    int colour_ch = ch == 4 ? 3 : ch;
    vec4 v = {0.0f, 0.0f, 0.0f, 1.0f};
    for (int i = 0; i < colour_ch; i++)
        v[i] = px[i] / 255.0f;
    if (ch == 4)
        v[3] = px[3] / 255.0f;
    float a = v[3];
    int srgb = flags & BITMAP_FLAG_SRGB;
    int pma = flags & BITMAP_FLAG_PMA;
    if (srgb && pma) {
        if (a == 0.0f) {
            v[0] = v[1] = v[2] = 0.0f;
        } else {
            for (int i = 0; i < 3; i++)
                v[i] = sat_clamp(v[i] / a, 0.0f, 1.0f);
            vec4 lin;
            vec4_srgb_to_linear(lin, v);
            for (int i = 0; i < 3; i++)
                v[i] = lin[i] * a;
        }
    } else if (srgb) {
        for (int i = 0; i < 3; i++)
            v[i] = sat_clamp(v[i], 0.0f, 1.0f);
        vec4 lin;
        vec4_srgb_to_linear(lin, v);
        for (int i = 0; i < 3; i++)
            v[i] = lin[i] * a;
    } else if (!pma) {
        for (int i = 0; i < 3; i++)
            v[i] *= a;
    }
    for (int i = 0; i < 4; i++)
        out[i] = v[i];
}

static uint8_t bitmap_unit_to_byte(float x)
{
    float r = roundf(x * 255.0f);
    if (!(r > 0.0f))  // NaN included
        return 0;
    if (r > 255.0f)
        return 255;
    return static_cast<uint8_t>(r);
}

void bitmap_bytes_encode(uint8_t* px, int flags, const float in[4])
{
    int ch = bitmap_channel_count(flags);
    vec4 v = {in[0], in[1], in[2], in[3]};
    float a = v[3];
    int srgb = flags & BITMAP_FLAG_SRGB;
    int pma = flags & BITMAP_FLAG_PMA;
    if (srgb || !pma) {
        if (a == 0.0f) {
            v[0] = v[1] = v[2] = 0.0f;
        } else {
            for (int i = 0; i < 3; i++)
                v[i] = v[i] / a;
            if (srgb) {
                vec4 s;
                vec4_srgb_from_linear(s, v);
                for (int i = 0; i < 3; i++)
                    v[i] = pma ? s[i] * a : s[i];
            }
        }
    }
    // An RGBA bitmap stores R, G, B, A; fewer channels store the first ones.
    for (int i = 0; i < ch; i++)
        px[i] = bitmap_unit_to_byte(v[i]);
}

static uint8_t* bitmap_pixel(const bitmap* b, uint32_t x, uint32_t y)
{
    return b->data + static_cast<uint64_t>(y) * b->row_bytes +
           static_cast<uint64_t>(x) * static_cast<uint64_t>(bitmap_channel_count(b->flags));
}

void bitmap_pixel_decode(float out_linear_pma[4], const bitmap* b, uint32_t x, uint32_t y)
{
    bitmap_bytes_decode(out_linear_pma, bitmap_pixel(b, x, y), b->flags);
}

void bitmap_pixel_encode(bitmap* b, uint32_t x, uint32_t y, const float linear_pma[4])
{
    bitmap_bytes_encode(bitmap_pixel(b, x, y), b->flags, linear_pma);
}

void bitmap_init(bitmap* b, memarena* arena, uint32_t width, uint32_t height, int flags)
{
    memset(b, 0, sizeof(*b));
    uint64_t row_bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(bitmap_channel_count(flags));
    b->row_bytes = static_cast<uint32_t>(row_bytes);
    b->width = width;
    b->height = height;
    b->flags = flags;
    b->data = static_cast<uint8_t*>(memarena_push(arena, row_bytes * height));
}

int bitmap_init_from_channels_ex(bitmap* b, memarena* arena, int flags, const bitmap* const* src_bitmaps,
                                 const int* src_channels)
{
    int ch = bitmap_channel_count(flags);
    if (!src_bitmaps || !src_bitmaps[0])
        return bitmap_fail(BITMAP_LINE_CHANNEL_NULL, "channel %d has null bitmap!\n");
    const bitmap* first = src_bitmaps[0];
    for (int k = 0; k < ch; k++) {
        const bitmap* s = src_bitmaps[k];
        if (!s)
            return bitmap_fail(BITMAP_LINE_CHANNEL_NULL, "channel %d has null bitmap!\n");
        // Index == channel count is allowed: it reads the decoded colour's
        // missing channel (0) or its alpha (1.0 without an alpha channel). Past
        // that, or past the alpha component, the source has nothing to give.
        int c = src_channels[k];
        if (c < 0 || c > 3 || bitmap_channel_count(s->flags) < c)
            return bitmap_fail(BITMAP_LINE_CHANNEL_INDEX,
                               "channel %d has source bitmap with %d channels but tried to use channel %d!\n");
        if (s->width != first->width || s->height != first->height)
            return bitmap_fail(BITMAP_LINE_CHANNEL_SIZE,
                               "channel %d has source bitmap with a width and height that differs from the first "
                               "source bitmap, all must have same width and heigth!\n");
    }
    bitmap_init(b, arena, first->width, first->height, flags);
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            vec4 out = {0.0f, 0.0f, 0.0f, 1.0f};
            for (int k = 0; k < ch; k++) {
                vec4 px;
                bitmap_pixel_decode(px, src_bitmaps[k], x, y);
                out[k] = px[src_channels[k]];
            }
            bitmap_pixel_encode(b, x, y, out);
        }
    }
    return 0;
}

int bitmap_init_from_channels(bitmap* b, memarena* arena, int flags, const bitmap* src_ch0, int src_ch0_c,
                              const bitmap* src_ch1, int src_ch1_c, const bitmap* src_ch2, int src_ch2_c,
                              const bitmap* src_ch3, int src_ch3_c)
{
    const bitmap* srcs[4] = {src_ch0, src_ch1, src_ch2, src_ch3};
    int chans[4] = {src_ch0_c, src_ch1_c, src_ch2_c, src_ch3_c};
    return bitmap_init_from_channels_ex(b, arena, flags, srcs, chans);
}

int bitmap_init_copy(bitmap* b, memarena* arena, const bitmap* src_bitmap)
{
    return bitmap_init_from_channels(b, arena, src_bitmap->flags, src_bitmap, 0, src_bitmap, 1, src_bitmap, 2,
                                     src_bitmap, 3);
}

// The colour as the bytes of a bitmap with these flags: sRGB-encoded, then
// premultiplied in the encoded space, truncated to bytes.
static void bitmap_color_bytes(uint8_t out[4], int flags, const float color_linear[4])
{
    vec4 c = {color_linear[0], color_linear[1], color_linear[2], color_linear[3]};
    if (flags & BITMAP_FLAG_SRGB) {
        vec4 s;
        vec4_srgb_from_linear(s, c);
        memcpy(c, s, sizeof(c));
    }
    if (flags & BITMAP_FLAG_PMA) {
        vec4 p;
        vec4_rgba_pma(p, c);
        memcpy(c, p, sizeof(c));
    }
    vec4_scale1to255_rgba_to_rgba8(out, c);
}

int bitmap_fill(bitmap* b, const float color_linear[4])
{
    if (!(b->flags & BITMAP_FLAG_RGBA))
        return bitmap_fail(BITMAP_LINE_FILL_FORMAT, "format not yet supported\n");
    uint8_t c[4];
    bitmap_color_bytes(c, b->flags, color_linear);
    for (uint32_t y = 0; y < b->height; y++)
        for (uint32_t x = 0; x < b->width; x++)
            memcpy(bitmap_pixel(b, x, y), c, 4);
    return 0;
}

int bitmap_pma(bitmap* b)
{
    if (!(b->flags & BITMAP_FLAG_RGBA))
        return bitmap_fail(BITMAP_LINE_PMA_FORMAT, "format not yet supported\n");
    if (b->flags & BITMAP_FLAG_PMA)
        return 0;
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            uint8_t* p = bitmap_pixel(b, x, y);
            for (int i = 0; i < 3; i++)
                p[i] = static_cast<uint8_t>(p[i] * p[3] / 255.0);
        }
    }
    return 0;
}

int bitmap_flare(bitmap* b, const float color_linear[4])
{
    int ch = bitmap_channel_count(b->flags);
    if (ch == 0)
        return bitmap_fail(BITMAP_LINE_FLARE_FORMAT, "format not supported\n");
    // The falloff maps the first and last column and row to -1 and 1.
    if (b->width < 2 || b->height < 2)
        return bitmap_fail(BITMAP_LINE_FLARE_SIZE, "flare needs a width and height of at least 2\n");
    uint8_t c[4];
    bitmap_color_bytes(c, b->flags, color_linear);
    float wm1 = static_cast<float>(b->width - 1);
    float hm1 = static_cast<float>(b->height - 1);
    for (uint32_t y = 0; y < b->height; y++) {
        float py = 2.0f * static_cast<float>(y) / hm1 - 1.0f;
        for (uint32_t x = 0; x < b->width; x++) {
            float px = 2.0f * static_cast<float>(x) / wm1 - 1.0f;
            float r2 = px * px + py * py;
            float t = r2 / 0.9f;
            if (t > 1.0f)
                t = 1.0f;
            float falloff = 1.0f - t;
            uint8_t* p = bitmap_pixel(b, x, y);
            for (int i = 0; i < ch - 1; i++)
                p[i] = c[i];
            p[ch - 1] = static_cast<uint8_t>(roundf(255.0f * falloff));
        }
    }
    return 0;
}

int bitmap_mosaic(bitmap* b, uint32_t w, uint32_t h, const float color1_linear[4], const float color2_linear[4])
{
    int ch = bitmap_channel_count(b->flags);
    if (ch == 0)
        return bitmap_fail(BITMAP_LINE_MOSAIC_FORMAT, "format not supported\n");
    if (w == 0 || h == 0)
        return bitmap_fail(BITMAP_LINE_MOSAIC_CELL, "mosaic cells must be at least 1x1\n");
    uint8_t c1[4], c2[4];
    bitmap_color_bytes(c1, b->flags, color1_linear);
    bitmap_color_bytes(c2, b->flags, color2_linear);
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            uint32_t odd = ((y / h) & 1u) ^ ((x / w) & 1u);
            memcpy(bitmap_pixel(b, x, y), odd ? c1 : c2, static_cast<size_t>(ch));
        }
    }
    return 0;
}

int bitmap_load(bitmap* b, memarena* arena, const char* path, int flags)
{
    int ch = bitmap_channel_count(flags);
    if (ch == 0)
        return bitmap_fail(BITMAP_LINE_LOAD_FORMAT, "format not supported\n");
    int w = 0, h = 0, file_ch = 0;
    stbi_uc* pixels = stbi_load(path, &w, &h, &file_ch, ch);
    if (!pixels)
        return 1;
    memset(b, 0, sizeof(*b));
    uint64_t row_bytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(ch);
    uint64_t size = row_bytes * static_cast<uint64_t>(h);
    b->width = static_cast<uint32_t>(w);
    b->height = static_cast<uint32_t>(h);
    b->row_bytes = static_cast<uint32_t>(row_bytes);
    b->flags = flags;
    b->data = static_cast<uint8_t*>(memarena_push(arena, size));
    if (size)
        memcpy(b->data, pixels, size);
    stbi_image_free(pixels);
    return 0;
}

int bitmap_save(const bitmap* b, const char* path)
{
    int ch = bitmap_channel_count(b->flags);
    if (ch == 0)
        return bitmap_fail(BITMAP_LINE_SAVE_FORMAT, "format not supported\n");
    int ok = stbi_write_png(path, static_cast<int>(b->width), static_cast<int>(b->height), ch, b->data,
                            static_cast<int>(b->row_bytes));
    return ok ? 0 : 2;
}

int bitmap_copy(bitmap* dst_bitmap, int blend_op, uint32_t dst_x, uint32_t dst_y, const bitmap* src_bitmap,
                uint32_t src_x, uint32_t src_y, uint32_t w, uint32_t h)
{
    if (bitmap_channel_count(src_bitmap->flags) == 0 || bitmap_channel_count(dst_bitmap->flags) == 0)
        return bitmap_fail(BITMAP_LINE_COPY_FORMAT, "only byte per component supported for now\n");
    if (blend_op != BITMAP_BLEND_OP_COPY && blend_op != BITMAP_BLEND_OP_BLEND)
        return 0;
    // The bytes may be copied as they are only when both sides encode colour alike.
    const int colour_flags = BITMAP_FLAG_SRGB | BITMAP_FLAG_PMA;
    int raw = blend_op == BITMAP_BLEND_OP_COPY && (src_bitmap->flags & BITMAP_FLAG_RGBA) &&
              (dst_bitmap->flags & BITMAP_FLAG_RGBA) &&
              (src_bitmap->flags & colour_flags) == (dst_bitmap->flags & colour_flags);
    for (uint64_t y = 0; y < h && dst_y + y < dst_bitmap->height && src_y + y < src_bitmap->height; y++) {
        uint32_t sy = static_cast<uint32_t>(src_y + y), dy = static_cast<uint32_t>(dst_y + y);
        for (uint64_t x = 0; x < w && dst_x + x < dst_bitmap->width && src_x + x < src_bitmap->width; x++) {
            uint32_t sx = static_cast<uint32_t>(src_x + x), dx = static_cast<uint32_t>(dst_x + x);
            if (raw) {
                memcpy(bitmap_pixel(dst_bitmap, dx, dy), bitmap_pixel(src_bitmap, sx, sy), 4);
                continue;
            }
            vec4 s;
            bitmap_pixel_decode(s, src_bitmap, sx, sy);
            if (blend_op == BITMAP_BLEND_OP_BLEND) {
                vec4 d, r;
                bitmap_pixel_decode(d, dst_bitmap, dx, dy);
                vec4_rgba_blend(r, d, s);
                bitmap_pixel_encode(dst_bitmap, dx, dy, r);
            } else {
                bitmap_pixel_encode(dst_bitmap, dx, dy, s);
            }
        }
    }
    return 0;
}

// Lanczos kernel with its lobe count equal to the reduction factor, so it is
// evaluated only across one destination pixel's footprint.
static double bitmap_lanczos(double d, double a)
{
    if (d == 0.0)
        return 1.0;
    return a * sin(LINMATH_PI * d) * sin(LINMATH_PI * d / a) / (LINMATH_PI * LINMATH_PI * d * d);
}

// The weights of one axis: destination sample n covers source samples
// [n x s, (n + 1) x s), each weighted by its distance from the footprint's centre.
static void bitmap_axis_weights(double* weights, uint32_t dst_n, uint32_t src_n, float s, int filter)
{
    for (uint32_t n = 0; n < dst_n; n++) {
        uint32_t i0 = static_cast<uint32_t>(static_cast<float>(n) * s);
        uint32_t i1 = static_cast<uint32_t>(static_cast<float>(n + 1) * s);
        for (uint32_t i = i0; i < i1 && i < src_n; i++)
            weights[i] = filter == BITMAP_FILTER_BOX
                             ? 1.0
                             : bitmap_lanczos((i + 0.5) - (s / 2.0 + static_cast<double>(n) * s), s);
    }
}

int bitmap_downscale(bitmap* dst_bitmap, const bitmap* src_bitmap, memarena* tmp_arena, int filter)
{
    uint64_t marker = memarena_get_marker(tmp_arena);
    float sx = static_cast<float>(src_bitmap->width) / static_cast<float>(dst_bitmap->width);
    float sy = static_cast<float>(src_bitmap->height) / static_cast<float>(dst_bitmap->height);
    if (bitmap_channel_count(src_bitmap->flags) == 0)
        return bitmap_fail(BITMAP_LINE_DOWNSCALE_FORMAT, "only byte per component supported for now\n");
    if (dst_bitmap->width > src_bitmap->width || dst_bitmap->height > src_bitmap->height)
        return bitmap_fail(BITMAP_LINE_DOWNSCALE_LARGER, "dst is larger than src\n");
    if (dst_bitmap->width == 0 || dst_bitmap->height == 0)
        return 0;
    if (filter != BITMAP_FILTER_BOX && filter != BITMAP_FILTER_LANCZOS)
        return bitmap_fail(BITMAP_LINE_DOWNSCALE_FILTER, "not a supported filter? %d\n");

    // Footprints partition the source axis, so each source column and row has
    // one weight: the 2D weight is their product.
    double* wx = memarena_push_array<double>(tmp_arena, src_bitmap->width);
    double* wy = memarena_push_array<double>(tmp_arena, src_bitmap->height);
    bitmap_axis_weights(wx, dst_bitmap->width, src_bitmap->width, sx, filter);
    bitmap_axis_weights(wy, dst_bitmap->height, src_bitmap->height, sy, filter);

    for (uint32_t y = 0; y < dst_bitmap->height; y++) {
        uint32_t j0 = static_cast<uint32_t>(static_cast<float>(y) * sy);
        uint32_t j1 = static_cast<uint32_t>(static_cast<float>(y + 1) * sy);
        if (j1 > src_bitmap->height)
            j1 = src_bitmap->height;
        for (uint32_t x = 0; x < dst_bitmap->width; x++) {
            uint32_t i0 = static_cast<uint32_t>(static_cast<float>(x) * sx);
            uint32_t i1 = static_cast<uint32_t>(static_cast<float>(x + 1) * sx);
            if (i1 > src_bitmap->width)
                i1 = src_bitmap->width;
            double sum[4] = {0.0, 0.0, 0.0, 0.0};
            double wsum = 0.0;
            for (uint32_t j = j0; j < j1; j++) {
                for (uint32_t i = i0; i < i1; i++) {
                    double wgt = wx[i] * wy[j];
                    vec4 p;
                    bitmap_pixel_decode(p, src_bitmap, i, j);
                    for (int c = 0; c < 4; c++)
                        sum[c] += wgt * p[c];
                    wsum += wgt;
                }
            }
            vec4 out;
            for (int c = 0; c < 4; c++)
                out[c] = static_cast<float>(sum[c] / wsum);
            bitmap_pixel_encode(dst_bitmap, x, y, out);
        }
    }
    memarena_goto_marker(tmp_arena, marker);
    return 0;
}

void bitmap_downscale_test()
{
    const uint32_t dim = 2048;
    uint64_t size = static_cast<uint64_t>(dim) * dim * 12;  // 0x3000000
    void* block = malloc(size);
    memarena tmp;
    memarena_init(&tmp, "tmp", size, block);

    bitmap big, small;
    bitmap_init(&big, &tmp, dim, dim, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    vec4 c0, c1;
    vec4_linear_from_srgb_a_u8(c0, 0, 0, 0, 255);
    vec4_linear_from_srgb_a_u8(c1, 1, 1, 1, 255);
    bitmap_mosaic(&big, 204, 204, c0, c1);
    bitmap_save(&big, "bitmap_downscale_test0-original.png");
    bitmap_init(&small, &tmp, dim >> 6, dim >> 6, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    bitmap_downscale(&small, &big, &tmp, BITMAP_FILTER_LANCZOS);
    bitmap_save(&small, "bitmap_downscale_test0-downscaled.png");

    const vec4 white = {1.0f, 1.0f, 1.0f, 1.0f};
    bitmap_flare(&big, white);
    bitmap_save(&big, "bitmap_downscale_test1-original.png");
    bitmap_downscale(&small, &big, &tmp, BITMAP_FILTER_LANCZOS);
    bitmap_save(&small, "bitmap_downscale_test1-downscaled.png");
    free(block);
}
