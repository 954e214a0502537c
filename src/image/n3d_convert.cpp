#include "image/n3d_convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "image/bitmap.h"
#include "image/palette.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"

#define N3D_CONVERT_SRC "src/n3d_convert"

static float alpha_of_pixel(const bitmap* b, uint32_t x, uint32_t y)
{
    if (bitmap_channel_count(b->flags) != 4)
        return 1.0f;
    return b->data[static_cast<uint64_t>(y) * b->row_bytes + static_cast<uint64_t>(x) * 4u + 3u] / 255.0f;
}

// Share of pixels whose alpha is below threshold; only alpha is needed, so no
// colour is decoded (the fitting rounds call this twice per round).
static float keyed_share(const bitmap* b, float threshold)
{
    uint64_t n = 0;
    for (uint32_t y = 0; y < b->height; y++)
        for (uint32_t x = 0; x < b->width; x++)
            n += threshold > alpha_of_pixel(b, x, y) ? 1u : 0u;
    return static_cast<float>(n) / (static_cast<float>(b->width) * static_cast<float>(b->height));
}

int n3d_convert_count_alpha_keys(const bitmap* b, float threshold)
{
    int n = 0;
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            vec4 p;
            bitmap_pixel_decode(p, b, x, y);
            n += threshold > p[3] ? 1 : 0;
        }
    }
    return n;
}

void n3d_convert_scale_alpha(bitmap* b, float c)
{
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            vec4 p;
            bitmap_pixel_decode(p, b, x, y);
            p[3] *= c;  // the premultiplied colour stays
            bitmap_pixel_encode(b, x, y, p);
        }
    }
}

// The bytes of a 1x1 level laid out row by row: one texel's (an unknown format
// stops there with the module's "bad N3D_TEXEL_FORMAT" crash).
static int texel_bytes(int format) { return static_cast<int>(n3d_mipmap_size(format, 0, 0, 0)); }

static int clut_linear_entries(vec4 out[PALETTE_CLUT_ENTRIES], const palette* clut)
{
    if (clut->count < 0 || clut->count > PALETTE_CLUT_ENTRIES)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "display clut has %d entries, at most %d fit\n", clut->count,
                  PALETTE_CLUT_ENTRIES);
    for (int k = 0; k < clut->count; k++) {
        const uint8_t* e = clut->rgba8888 + 4 * k;
        vec4_linear_from_srgb_a_u8(out[k], e[0], e[1], e[2], e[3]);
    }
    return clut->count;
}

static int8_t snorm8(float x)
{
    long v = lrintf(127.0f * x);
    return static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v));
}

void n3d_framebuffer_from_bitmap(n3d_framebuffer* dst_image, int texture_format, int swizzle,
                                 const uint8_t* reverse_palette, const palette* display_clut, const bitmap* src_bitmap,
                                 int alpha_key_index, float alpha_key_threshold)
{
    if (texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 && !display_clut)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "must provide display_clut (was nil) for format %d\n", texture_format);
    if (texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 && !reverse_palette)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "must provide reverse_palette (was nil) for format %d\n", texture_format);
    int pow2 = dst_image->w > 0 && u32_is_pow2(static_cast<uint32_t>(dst_image->w));
    if (swizzle && !pow2)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "can only swizzle when width is pow2! width is: %d\n", dst_image->w);
    // A width that is not a power of two addresses texels by row bytes, which
    // needs the bytes per texel first: an unknown format stops there.
    if (!pow2)
        texel_bytes(texture_format);
    if (texture_format < N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || texture_format > N3D_TEXEL_FORMAT_BUMPMAP)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "not implemented texture format %d\n", texture_format);

    vec4 clut_lin[PALETTE_CLUT_ENTRIES];
    int clut_count = display_clut ? clut_linear_entries(clut_lin, display_clut) : 0;

    int bpp = texel_bytes(texture_format);
    int w_log2 = pow2 ? ppc_ceil_ilog2(static_cast<uint32_t>(dst_image->w)) : 0;
    uint8_t* dst = static_cast<uint8_t*>(dst_image->b);
    // Only pixels the level has room for are written.
    uint32_t w = src_bitmap->width < static_cast<uint32_t>(dst_image->w > 0 ? dst_image->w : 0)
                     ? src_bitmap->width
                     : static_cast<uint32_t>(dst_image->w > 0 ? dst_image->w : 0);
    uint32_t h = src_bitmap->height < static_cast<uint32_t>(dst_image->h > 0 ? dst_image->h : 0)
                     ? src_bitmap->height
                     : static_cast<uint32_t>(dst_image->h > 0 ? dst_image->h : 0);
    for (uint32_t v = 0; v < h; v++) {
        for (uint32_t u = 0; u < w; u++) {
            uint64_t index = pow2 ? n3d_texel_index(texture_format, w_log2, swizzle, u, v)
                                  : u + static_cast<uint64_t>(dst_image->row_bytes) * v / static_cast<uint64_t>(bpp);
            uint8_t* t = dst + index * static_cast<uint64_t>(bpp);
            vec4 c;
            bitmap_pixel_decode(c, src_bitmap, u, v);
            switch (texture_format) {
            case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555:
                if (alpha_key_index != -1 && alpha_key_threshold > c[3])
                    *t = static_cast<uint8_t>(alpha_key_index);
                else
                    *t = reverse_palette[n3d_argb1555_from_linear_pma(c) & 0x7FFFu];
                break;
            case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
                if (alpha_key_index != -1 && alpha_key_threshold > c[3])
                    *t = static_cast<uint8_t>(alpha_key_index);
                else
                    *t = static_cast<uint8_t>(display_clut->offset +
                                              n3d_find_best_match_linear_pma(clut_lin, clut_count, c));
                break;
            case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555: {
                // The premultiplied colour is encoded as it is: these textures are always opaque.
                vec4 s;
                vec4_srgb_from_linear(s, c);
                uint16_t r = static_cast<uint16_t>(roundf(31.0f * s[0]));
                uint16_t g = static_cast<uint16_t>(roundf(31.0f * s[1]));
                uint16_t b = static_cast<uint16_t>(roundf(31.0f * s[2]));
                uint16_t texel = static_cast<uint16_t>(r << 10 | g << 5 | b | N3D_ARGB1555_ALPHA);
                memcpy(t, &texel, 2);
                break;
            }
            case N3D_TEXEL_FORMAT_BUMPMAP: {
                float nx = 2.0f * c[0] - 1.0f, ny = 2.0f * c[1] - 1.0f, nz = 2.0f * c[2] - 1.0f;
                float len = sqrtf(nx * nx + ny * ny + nz * nz);
                float xn = len > 0.0f ? nx / len : 0.0f;
                float yn = len > 0.0f ? ny / len : 0.0f;
                float sq = 255.0f * (nx * nx + ny * ny);
                uint32_t b1 = sq >= 255.0f ? 255u : static_cast<uint32_t>(sq);
                long x2 = lrintf(127.0f * xn * xn), y2 = lrintf(127.0f * yn * yn);
                x2 = x2 > 127 ? 127 : x2;
                y2 = y2 > 127 ? 127 : y2;
                uint32_t b0 = static_cast<uint32_t>(x2 + y2);
                uint32_t texel = static_cast<uint32_t>(static_cast<uint8_t>(snorm8(xn))) << 24 |
                                 static_cast<uint32_t>(static_cast<uint8_t>(snorm8(yn))) << 16 | b1 << 8 | b0;
                memcpy(t, &texel, 4);
                break;
            }
            }
        }
    }
}

void n3d_texture_build_palette_asrgb1555(uint16_t* palette, int colors_count, memarena* tmp_arena, const bitmap* b)
{
    uint64_t marker = memarena_get_marker(tmp_arena);
    histogram_color* hist = memarena_push_array_zeroed<histogram_color>(tmp_arena, N3D_HISTOGRAM_COLORS);
    for (uint32_t y = 0; y < b->height; y++) {
        for (uint32_t x = 0; x < b->width; x++) {
            vec4 c, s;
            bitmap_pixel_decode(c, b, x, y);
            vec4_srgb_from_linear(s, c);  // premultiplied colour, not divided by alpha
            uint32_t ch[3];
            for (int i = 0; i < 3; i++) {
                uint32_t q = static_cast<uint32_t>(31.0f * s[i]);
                ch[i] = q > 31u ? 31u : q;
            }
            uint32_t alpha = c[3] >= 1.0f ? 1u : 0u;  // truncated: only full opacity
            uint32_t key = ch[2] | ch[1] << 5 | ch[0] << 10 | alpha << 15;
            hist[key].color = static_cast<uint16_t>(key);
            hist[key].freq++;
        }
    }
    // Partial selection sort: the first record strictly more frequent wins, so
    // equal frequencies keep their order.
    int n = colors_count < N3D_HISTOGRAM_COLORS ? colors_count : N3D_HISTOGRAM_COLORS;
    for (int i = 0; i < n; i++) {
        int best = i;
        for (int j = i + 1; j < N3D_HISTOGRAM_COLORS; j++)
            if (hist[j].freq > hist[best].freq)
                best = j;
        histogram_color tmp = hist[i];
        hist[i] = hist[best];
        hist[best] = tmp;
        palette[i] = hist[i].color;
    }
    memarena_goto_marker(tmp_arena, marker);
}

void n3d_texture_build_shade_table_argb1555(uint16_t* shade_table, int shades_per_color, int colors_count,
                                            const uint16_t* palette, memarena* tmp_arena)
{
    (void)tmp_arena;
    for (int c = 0; c < colors_count; c++) {
        vec4 l;
        n3d_argb1555_to_linear_pma(l, palette[c]);
        for (int s = 0; s < shades_per_color; s++) {
            float k = static_cast<float>(s + 1) / static_cast<float>(shades_per_color);
            vec4 x = {l[0] * k, l[1] * k, l[2] * k, l[3]};
            shade_table[c * shades_per_color + s] = n3d_argb1555_from_linear_pma(x);
        }
    }
}

void n3d_build_reverse_palette_argb1555(uint8_t* reverse_palette, memarena* tmp_arena, const uint16_t* palette,
                                        int colors_count)
{
    uint64_t marker = memarena_get_marker(tmp_arena);
    // Entry 255 is left out of the search, so no texel maps to it through
    // the reverse palette.
    int n = colors_count < 255 ? colors_count : 255;
    if (n < 0)
        n = 0;
    vec4* lin = memarena_push_array<vec4>(tmp_arena, n > 0 ? static_cast<uint64_t>(n) : 1u);
    for (int k = 0; k < n; k++)
        n3d_argb1555_to_linear_pma(lin[k], palette[k]);
    for (uint32_t r = 0; r < 32; r++) {
        for (uint32_t g = 0; g < 32; g++) {
            for (uint32_t b = 0; b < 32; b++) {
                uint16_t colour = static_cast<uint16_t>(0x8000u | r << 10 | g << 5 | b);
                vec4 c;
                n3d_argb1555_to_linear_pma(c, colour);
                reverse_palette[colour & 0x7FFFu] = static_cast<uint8_t>(n3d_find_best_match_linear_pma(lin, n, c));
            }
        }
    }
    memarena_goto_marker(tmp_arena, marker);
}

void n3d_texture_build_shade_table_index8(uint8_t* shade_table, int shades_per_color, int colors_count,
                                          memarena* tmp_arena, const palette* display_clut)
{
    uint64_t marker = memarena_get_marker(tmp_arena);
    vec4* lin = memarena_push_array<vec4>(tmp_arena, PALETTE_CLUT_ENTRIES);
    int count = clut_linear_entries(lin, display_clut);
    if (colors_count > 256)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "max colors count is 256 (can't use more in an 8bpp trexture...)\n");
    if (colors_count < display_clut->offset + count)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "palette uses %d colors but max is %d!\n", display_clut->offset + count,
                  colors_count);
    if (display_clut->offset < 0)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "display clut offset %d is negative\n", display_clut->offset);
    for (int k = 0; k < count; k++) {
        for (int s = 0; s < shades_per_color; s++) {
            float f = static_cast<float>(s + 1) / static_cast<float>(shades_per_color);
            vec4 x = {lin[k][0] * f, lin[k][1] * f, lin[k][2] * f, lin[k][3]};
            shade_table[(display_clut->offset + k) * shades_per_color + s] =
                static_cast<uint8_t>(display_clut->offset + n3d_find_best_match_linear_pma(lin, count, x));
        }
    }
    memarena_goto_marker(tmp_arena, marker);
}

void n3d_make_texture_from_bitmap(n3d_texture* out, memarena* arena, memarena* tmp_arena, int texture_format,
                                  int swizzle, int use_mips, int sample_from_base, int filter, const bitmap* src,
                                  const palette* display_clut, int alpha_key_index, float alpha_key_threshold)
{
    (void)filter;  // levels are always made with the Lanczos filter
    uint64_t marker = memarena_get_marker(tmp_arena);
    int w_log2 = ppc_ceil_ilog2(src->width);
    int h_log2 = ppc_ceil_ilog2(src->height);
    int min_u = use_mips ? 2 : w_log2;
    int min_v = use_mips ? 2 : h_log2;

    // Every requirement is reported before failing.
    int failed = 0;
    if (texture_format < N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || texture_format > N3D_TEXEL_FORMAT_BUMPMAP) {
        printf("texture format %d is not one of 1 to 4\n", texture_format);
        failed = 1;
    }
    if (!u32_is_pow2(src->width) || !u32_is_pow2(src->height) || src->width < 4 || src->height < 4) {
        printf("bitmap %u x %u: width and height must be powers of two and at least 4\n", src->width, src->height);
        failed = 1;
    }
    if (swizzle && (src->width > 256 || src->height > 256)) {
        printf("bitmap %u x %u: a swizzled texture is at most 256 x 256\n", src->width, src->height);
        failed = 1;
    }
    if (texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 && !display_clut) {
        printf("texture format %d needs a display_clut\n", texture_format);
        failed = 1;
    }
    if (failed)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "cannot create texture, did not meet requirements, see above logs\n");

    memset(out, 0, sizeof(*out));
    out->format = texture_format;
    out->not_swizzled = !swizzle;
    out->w_log2 = w_log2;
    out->h_log2 = h_log2;
    out->min_u_level = min_u;
    out->min_v_level = min_v;
    uint64_t entries = static_cast<uint64_t>(N3D_MIP_INDEX(w_log2 - min_u, h_log2 - min_v)) + 1u;
    out->mips = memarena_push_array_zeroed<uint8_t*>(arena, entries);

    uint64_t total = 0;
    for (int ul = w_log2; ul >= min_u; ul--) {
        for (int vl = h_log2; vl >= min_v; vl--) {
            uint32_t size = n3d_mipmap_size(texture_format, swizzle, ul, vl);
            total += size;
            // 8-byte aligned: the rasterizers fetch one 64-bit word per 4 texels.
            uint8_t* level = static_cast<uint8_t*>(memarena_push_align(arena, size, 8));
            memset(level, 0, size);
            out->mips[N3D_MIP_INDEX(w_log2 - ul, h_log2 - vl)] = level;
        }
    }
    printf("bitmap wh: %u %u => texture (mips: %d) total bytes: %d => %.2f mb\n", src->width, src->height, use_mips,
           static_cast<int>(total), static_cast<double>(total) / 1024.0 / 1024.0);

    bitmap* levels = memarena_push_array_zeroed<bitmap>(tmp_arena, entries);
    for (int ul = w_log2; ul >= min_u; ul--)
        for (int vl = h_log2; vl >= min_v; vl--)
            if (ul != w_log2 || vl != h_log2)
                bitmap_init(&levels[N3D_MIP_INDEX(w_log2 - ul, h_log2 - vl)], tmp_arena, 1u << ul, 1u << vl,
                            src->flags);
    bitmap_init_copy(&levels[0], tmp_arena, src);

    uint8_t* reverse_palette = nullptr;
    if (texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8) {
        out->shades_per_color = N3D_TEXTURE_SHADES_PER_COLOR;
        out->colors_count = N3D_TEXTURE_COLORS_COUNT;
        out->palette = memarena_push_zeroed(arena, N3D_TEXTURE_COLORS_COUNT);
        out->shade_table = memarena_push_zeroed(arena, N3D_TEXTURE_SHADES_PER_COLOR * N3D_TEXTURE_COLORS_COUNT);
        n3d_texture_build_shade_table_index8(static_cast<uint8_t*>(out->shade_table), out->shades_per_color,
                                             out->colors_count, tmp_arena, display_clut);
    } else if (texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555) {
        out->shades_per_color = N3D_TEXTURE_SHADES_PER_COLOR;
        out->colors_count = N3D_TEXTURE_COLORS_COUNT;
        uint16_t* pal = memarena_push_array_zeroed<uint16_t>(arena, N3D_TEXTURE_COLORS_COUNT);
        uint16_t* shades =
            memarena_push_array_zeroed<uint16_t>(arena, N3D_TEXTURE_SHADES_PER_COLOR * N3D_TEXTURE_COLORS_COUNT);
        out->palette = pal;
        out->shade_table = shades;
        n3d_texture_build_palette_asrgb1555(pal, out->colors_count, tmp_arena, src);
        n3d_texture_build_shade_table_argb1555(shades, out->shades_per_color, out->colors_count, pal, tmp_arena);
        reverse_palette = static_cast<uint8_t*>(memarena_push(tmp_arena, N3D_REVERSE_PALETTE_SIZE));
        n3d_build_reverse_palette_argb1555(reverse_palette, tmp_arena, pal, out->colors_count);
    }

    float src_ratio = static_cast<float>(n3d_convert_count_alpha_keys(src, alpha_key_threshold)) /
                      (static_cast<float>(src->width) * static_cast<float>(src->height));
    int indexed = texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 ||
                  texture_format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;

    for (int ul = w_log2; ul >= min_u; ul--) {
        for (int vl = h_log2; vl >= min_v; vl--) {
            int u_down = w_log2 - ul, v_down = h_log2 - vl;
            bitmap* level = &levels[N3D_MIP_INDEX(u_down, v_down)];
            if (u_down != 0 || v_down != 0) {
                // Two steps larger per axis keeps the filter's footprint at 4:1
                // while every source level is already made.
                int su = (sample_from_base || ul + 2 > w_log2) ? w_log2 : ul + 2;
                int sv = (sample_from_base || vl + 2 > h_log2) ? h_log2 : vl + 2;
                const bitmap* from = &levels[N3D_MIP_INDEX(w_log2 - su, h_log2 - sv)];
                bitmap_downscale(level, from, tmp_arena, BITMAP_FILTER_LANCZOS);

                if (indexed && alpha_key_index != -1) {
                    float c = 1.0f;
                    const float step = 0.001f;
                    float tolerance = 1.0f / (static_cast<float>(level->width) * static_cast<float>(level->height));
                    for (int round = 0; round < 50; round++) {
                        float r0 = keyed_share(level, alpha_key_threshold / c);
                        float r1 = keyed_share(level, alpha_key_threshold / (c + step));
                        float d = (r1 - r0) / step;
                        float err = r0 - src_ratio;
                        if (err < tolerance)
                            break;
                        float newc = d * err + c;
                        printf("iter[%d] err %f c: %f newc: %f\n", round, err, c, newc);
                        c = newc < 0.0f ? 0.0f : (newc > 1.0f ? 1.0f : newc);
                    }
                    n3d_convert_scale_alpha(level, c);
                }
            }
            n3d_framebuffer fb;
            memset(&fb, 0, sizeof(fb));
            fb.format = texture_format;
            fb.w = static_cast<int>(level->width);
            fb.h = static_cast<int>(level->height);
            fb.row_bytes = fb.w * texel_bytes(texture_format);
            fb.b = out->mips[N3D_MIP_INDEX(u_down, v_down)];
            n3d_framebuffer_from_bitmap(&fb, texture_format, swizzle, reverse_palette, display_clut, level,
                                        alpha_key_index, alpha_key_threshold);
        }
    }
    memarena_goto_marker(tmp_arena, marker);
}

int n3d_validate_texture(const n3d_texture* t)
{
    if ((t->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 ||
         t->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) &&
        t->w_log2 <= 8 && t->h_log2 <= 8)
        return 0;
    return 1;
}

void n3d_texture_to_bitmap(bitmap* out_bitmap, const n3d_texture* t, const palette* display_clut, memarena* arena,
                           int u_mipdown, int v_mipdown, int bitmap_flags)
{
    int format = t->format;
    if (format < N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || format > N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "invalid or not implemented texture format %d\n", format);
    if (u_mipdown < 0 || v_mipdown < 0 || u_mipdown > t->w_log2 - t->min_u_level ||
        v_mipdown > t->h_log2 - t->min_v_level || !t->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)])
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "texture has no mip level %d %d\n", u_mipdown, v_mipdown);
    if (format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 && !display_clut)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "must provide display_clut (was nil) for format %d\n", format);
    if (format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 && !t->shade_table)
        n3d_crash(N3D_CONVERT_SRC, __LINE__, "texture of format %d has no shade table\n", format);

    const uint8_t* level = t->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)];
    int lw_log2 = t->w_log2 - u_mipdown;
    int lh_log2 = t->h_log2 - v_mipdown;
    bitmap_init(out_bitmap, arena, 1u << lw_log2, 1u << lh_log2, bitmap_flags);
    vec4 clut_lin[PALETTE_CLUT_ENTRIES];
    int clut_count = display_clut ? clut_linear_entries(clut_lin, display_clut) : 0;
    for (uint32_t v = 0; v < out_bitmap->height; v++) {
        for (uint32_t u = 0; u < out_bitmap->width; u++) {
            uint32_t index = n3d_texel_index(format, lw_log2, !t->not_swizzled, u, v);
            vec4 c = {0.0f, 0.0f, 0.0f, 0.0f};
            if (format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
                uint16_t texel;
                memcpy(&texel, level + 2u * index, 2);
                n3d_argb1555_to_linear_pma(c, texel);
            } else if (format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8) {
                int k = level[index] - display_clut->offset;
                if (k >= 0 && k < clut_count)
                    memcpy(c, clut_lin[k], sizeof(c));
            } else {
                const uint16_t* shades = static_cast<const uint16_t*>(t->shade_table);
                int spc = t->shades_per_color;
                n3d_argb1555_to_linear_pma(c, shades[level[index] * spc + spc - 1]);
            }
            bitmap_pixel_encode(out_bitmap, u, v, c);
        }
    }
}

int n3d_textures_dbg_cmp(const n3d_texture* a, const n3d_texture* b)
{
    if (a->format != b->format || a->not_swizzled != b->not_swizzled || a->w_log2 != b->w_log2 ||
        a->h_log2 != b->h_log2 || a->colors_count != b->colors_count || a->shades_per_color != b->shades_per_color)
        return 0;
    if ((a->shade_table != nullptr) != (b->shade_table != nullptr))
        return 0;
    if (a->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || a->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8) {
        if (!a->shade_table)
            return 0;
        uint64_t bytes = static_cast<uint64_t>(a->shades_per_color > 0 ? a->shades_per_color : 0) *
                         static_cast<uint64_t>(a->colors_count > 0 ? a->colors_count : 0) *
                         (a->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 ? 2u : 1u);
        if (bytes && memcmp(a->shade_table, b->shade_table, bytes) != 0)
            return 0;
    }
    return 1;
}
