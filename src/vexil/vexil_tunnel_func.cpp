#include "vexil/vexil_tunnel_func.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/saturate.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "vexil/vexil_crash.h"

void vexil_tunnel_argb1555_init(n3d_framebuffer* dst)
{
    if (dst->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_TUNNEL_CRASH("tunnel map must be a 16-bit framebuffer (format %d)\n", dst->format);
    const int W = dst->w, H = dst->h;
    const float a = (float)H / (float)W;
    const float inv_corner = 1.0f / (1.0f + a * a);
    for (int j = 0; j < H; j++) {
        uint16_t* row = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(dst->b) + (size_t)j * dst->row_bytes);
        float y = (2.0f * ((float)j + 0.5f) / (float)H - 1.0f) * a;
        for (int i = 0; i < W; i++) {
            float x = 2.0f * ((float)i + 0.5f) / (float)W - 1.0f;
            float angle = atan2f(y, x);
            float u = (float)sat_clamp(0.5 + 0.5 * (double)angle / 3.141592653589793, 0.0, 1.0);
            float q = (x * x + y * y) * inv_corner;
            // The exact centre of an odd-sized table has q = 0, where q / sqrt(q) is not defined.
            float d = q > 0.0f ? q * (1.0f / sqrtf(q)) : 0.0f;
            uint32_t ub = sat_float_to_int(256.0f * u, 0u, 256u, 0u);  // 256 (angle +pi) wraps to 0 below
            uint32_t db = sat_float_to_int(256.0f * d, 0u, 255u, 0u);
            row[i] = (uint16_t)((ub << 8) | db);
        }
    }
}

// Two table entries as one word with the left entry in the low half, whatever
// the machine's byte order.
static inline uint32_t tunnel_pair(const uint8_t* p)
{
    uint32_t w;
    memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        w = std::rotl(w, 16);
    return w;
}

#if defined(__x86_64__)
// Eight pixels a step where the processor has AVX2: each texel is gathered as the
// aligned 32-bit word that holds it (so no read passes either end of the colour
// map) and its half picked by the index's low bit. The same pixels as the packed
// path; returns the pixels done.
__attribute__((target("avx2"))) static int tunnel_row_avx2(uint8_t* dst, const uint8_t* src, int w,
                                                           const uint16_t* texels, uint32_t uo, uint32_t vo)
{
    const __m256i add = _mm256_set1_epi32((int)(vo << 8 | uo));
    const __m256i lo_mask = _mm256_set1_epi32(0xff), hi_mask = _mm256_set1_epi32(0xff00);
    const __m256i one = _mm256_set1_epi32(1), low16 = _mm256_set1_epi32(0xffff);
    const int* words = reinterpret_cast<const int*>(texels);
    int i = 0;
    for (; i + 16 <= w; i += 16) {
        __m128i e0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        __m128i e1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16));
        __m256i a = _mm256_cvtepu16_epi32(e0), b = _mm256_cvtepu16_epi32(e1);
        // Byte-wise sums: a carry out of the distance byte must not reach the angle byte.
        __m256i ia = _mm256_or_si256(_mm256_and_si256(_mm256_add_epi32(_mm256_and_si256(a, lo_mask), add), lo_mask),
                                     _mm256_and_si256(_mm256_add_epi32(_mm256_and_si256(a, hi_mask), add), hi_mask));
        __m256i ib = _mm256_or_si256(_mm256_and_si256(_mm256_add_epi32(_mm256_and_si256(b, lo_mask), add), lo_mask),
                                     _mm256_and_si256(_mm256_add_epi32(_mm256_and_si256(b, hi_mask), add), hi_mask));
        __m256i wa = _mm256_i32gather_epi32(words, _mm256_srli_epi32(ia, 1), 4);
        __m256i wb = _mm256_i32gather_epi32(words, _mm256_srli_epi32(ib, 1), 4);
        // The texel at the odd index is the word's upper half on a little-endian machine.
        wa = _mm256_and_si256(_mm256_srlv_epi32(wa, _mm256_slli_epi32(_mm256_and_si256(ia, one), 4)), low16);
        wb = _mm256_and_si256(_mm256_srlv_epi32(wb, _mm256_slli_epi32(_mm256_and_si256(ib, one), 4)), low16);
        // packus works per 128-bit lane: a0-3 b0-3 a4-7 b4-7, put back in order.
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(wa, wb), 0xd8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), packed);
    }
    return i;
}

static const bool k_tunnel_has_avx2 = std::endian::native == std::endian::little && __builtin_cpu_supports("avx2");
#endif

void vexil_tunnel_argb1555(n3d_frame_context* fc, const n3d_texture* color_map, const n3d_framebuffer* uv_map,
                           const n2d_rect* dst_rect, float scale, int u_offset, int v_offset)
{
    (void)scale;
    if (color_map->w_log2 != 8 || color_map->h_log2 != 8)
        VEXIL_TUNNEL_CRASH("color map must be 256x256 texture for now\n");
    n3d_framebuffer* fb = fc->fb;
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_TUNNEL_CRASH("not implemented/supported?\n");
    // The texels are read as 16-bit words, the table as 16-bit entries.
    if (color_map->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_TUNNEL_CRASH("color map must be an ARGB1555 texture (format %d)\n", color_map->format);
    if (uv_map->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_TUNNEL_CRASH("tunnel map must be a 16-bit framebuffer (format %d)\n", uv_map->format);
    // The centred window has the target's size; a smaller table would be read outside.
    if (uv_map->w < fb->w || uv_map->h < fb->h)
        VEXIL_TUNNEL_CRASH("tunnel map %dx%d is smaller than the target %dx%d\n", uv_map->w, uv_map->h, fb->w, fb->h);
    const int uv_src_x_offset = uv_map->w / 2 - fb->w / 2;
    const int uv_src_y_offset = uv_map->h / 2 - fb->h / 2;

    int dx, dy, w, h;
    n2d_boxrect(&dx, &dy, &w, &h, dst_rect->x0, dst_rect->y0, dst_rect->x1, dst_rect->y1, 0, 0, fb->w, fb->h);
    if (w <= 0 || h <= 0)
        return;
    const int x0 = dst_rect->x0 + dx, y0 = dst_rect->y0 + dy;

    const uint16_t* texels = reinterpret_cast<const uint16_t*>(color_map->mips[0]);
    const uint32_t uo = (uint32_t)u_offset & 0xffu;
    const uint32_t vo = (uint32_t)v_offset & 0xffu;
    const uint32_t packed_u = uo | uo << 16;
    const uint32_t packed_v = vo << 8 | vo << 24;
    const int w4 = w & ~3;
    for (int j = 0; j < h; j++) {
        const uint8_t* src = static_cast<const uint8_t*>(uv_map->b) +
                             (size_t)(uv_src_y_offset + j) * uv_map->row_bytes + (size_t)uv_src_x_offset * 2;
        uint8_t* dst = static_cast<uint8_t*>(fb->b) + (size_t)(y0 + j) * fb->row_bytes + (size_t)x0 * 2;
        int i = 0;
#if defined(__x86_64__)
        if (k_tunnel_has_avx2)
            i = tunnel_row_avx2(dst, src, w, texels, uo, vo);
#endif
        for (; i < w4; i += 4) {
            uint32_t e01 = tunnel_pair(src + 2 * i);
            uint32_t e23 = tunnel_pair(src + 2 * i + 4);
            // Byte-wise sums: the carries out of each byte fall under the other mask.
            uint32_t i01 =
                (((e01 & 0x00ff00ffu) + packed_u) & 0x00ff00ffu) | (((e01 & 0xff00ff00u) + packed_v) & 0xff00ff00u);
            uint32_t i23 =
                (((e23 & 0x00ff00ffu) + packed_u) & 0x00ff00ffu) | (((e23 & 0xff00ff00u) + packed_v) & 0xff00ff00u);
            uint64_t t0 = texels[i01 & 0xffffu], t1 = texels[i01 >> 16];
            uint64_t t2 = texels[i23 & 0xffffu], t3 = texels[i23 >> 16];
            uint64_t four;
            if constexpr (std::endian::native == std::endian::big)
                four = t0 << 48 | t1 << 32 | t2 << 16 | t3;
            else
                four = t0 | t1 << 16 | t2 << 32 | t3 << 48;
            memcpy(dst + 2 * i, &four, 8);
        }
        // The last 1 to 3 pixels of a row whose width is not a multiple of 4.
        for (; i < w; i++) {
            uint16_t e;
            memcpy(&e, src + 2 * i, 2);
            uint32_t col = ((e & 0xffu) + uo) & 0xffu;
            uint32_t row = ((uint32_t)(e >> 8) + vo) & 0xffu;
            uint16_t t = texels[row << 8 | col];
            memcpy(dst + 2 * i, &t, 2);
        }
    }
}
