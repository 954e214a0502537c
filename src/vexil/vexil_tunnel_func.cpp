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

int vexil_tunnel_path_available(int path)
{
#if defined(__x86_64__)
    static const bool has_gather = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    if (path >= VEXIL_TUNNEL_PATH_GATHER && !has_gather)
        path = VEXIL_TUNNEL_PATH_SSE2;
    return path < VEXIL_TUNNEL_PATH_PACKED ? VEXIL_TUNNEL_PATH_PACKED : path;
#else
    (void)path;
    return VEXIL_TUNNEL_PATH_PACKED;
#endif
}

// Gathers pay off where a gathered element costs less than a plain load and its
// insertion into a vector: on Intel's cores with AVX-512 a frame takes about 0.65
// of the SSE2 path's time; on AMD's the gathers were slower than the SSE2 path.
static int tunnel_path_default()
{
#if defined(__x86_64__)
    return vexil_tunnel_path_available(__builtin_cpu_is("intel") ? VEXIL_TUNNEL_PATH_GATHER : VEXIL_TUNNEL_PATH_SSE2);
#else
    return VEXIL_TUNNEL_PATH_PACKED;
#endif
}

int vexil_tunnel_path = tunnel_path_default();

#if defined(__x86_64__)
// Eight pixels a step with SSE2: one byte-wise add offsets eight entries (the
// carries stay inside each byte), the row's texel indices go through a small
// buffer, and each texel is loaded straight into its lane of the eight-pixel
// store. The texel loads are the cost. The same pixels as the packed path;
// returns the pixels done.
static int tunnel_row_sse2(uint8_t* dst, const uint8_t* src, int w, const uint16_t* texels, uint32_t uo, uint32_t vo)
{
    constexpr int CHUNK = 256;
    alignas(16) uint16_t idx[CHUNK];
    const __m128i add = _mm_set1_epi16((short)(vo << 8 | uo));
    const int w8 = w & ~7;
    for (int c = 0; c < w8; c += CHUNK) {
        const int n = w8 - c < CHUNK ? w8 - c : CHUNK;
        for (int i = 0; i < n; i += 8) {
            __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * (c + i)));
            _mm_store_si128(reinterpret_cast<__m128i*>(idx + i), _mm_add_epi8(e, add));
        }
        for (int i = 0; i < n; i += 8) {
            uint64_t a, b;
            memcpy(&a, idx + i, 8);
            memcpy(&b, idx + i + 4, 8);
            __m128i v = _mm_cvtsi32_si128(texels[a & 0xffffu]);
            v = _mm_insert_epi16(v, texels[(a >> 16) & 0xffffu], 1);
            v = _mm_insert_epi16(v, texels[(a >> 32) & 0xffffu], 2);
            v = _mm_insert_epi16(v, texels[a >> 48], 3);
            v = _mm_insert_epi16(v, texels[b & 0xffffu], 4);
            v = _mm_insert_epi16(v, texels[(b >> 16) & 0xffffu], 5);
            v = _mm_insert_epi16(v, texels[(b >> 32) & 0xffffu], 6);
            v = _mm_insert_epi16(v, texels[b >> 48], 7);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * (c + i)), v);
        }
    }
    return w8;
}

// The compiler's own intrinsics for the 512-bit shifts and gathers start from an
// undefined register, which its flow analysis reports as a maybe-uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
// A whole row 32 pixels a step with AVX-512: the entries of the even and the odd
// pixels offset by one byte-wise add, then each half gathers the 32-bit pair of
// texels its index lies in (a read that never leaves the 256x256 level, as a
// 32-bit read at the index itself would at the last texel) and shifts its texel
// into its own 16-bit half. The last step of a row loads and stores under a mask
// (its unused lanes gather texel pair 0); the others do without one, which is
// measurably faster.
template <bool MASKED>
__attribute__((target("avx512f,avx512bw"), always_inline)) static inline void
tunnel_step_gather(uint8_t* dst, const uint8_t* src, __mmask32 k, const uint16_t* texels, __m512i add)
{
    const __m512i low = _mm512_set1_epi32(0xffff);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i e = _mm512_add_epi8(MASKED ? _mm512_maskz_loadu_epi16(k, src) : _mm512_loadu_si512(src), add);
    const __m512i even = _mm512_and_si512(e, low);
    const __m512i odd = _mm512_srli_epi32(e, 16);
    __m512i te = _mm512_i32gather_epi32(_mm512_srli_epi32(even, 1), texels, 4);
    __m512i to = _mm512_i32gather_epi32(_mm512_srli_epi32(odd, 1), texels, 4);
    te = _mm512_srlv_epi32(te, _mm512_slli_epi32(_mm512_and_si512(even, one), 4));
    to = _mm512_sllv_epi32(to, _mm512_slli_epi32(_mm512_andnot_si512(odd, one), 4));
    const __m512i t = _mm512_mask_blend_epi16(0xaaaaaaaau, te, to);
    if constexpr (MASKED)
        _mm512_mask_storeu_epi16(dst, k, t);
    else
        _mm512_storeu_si512(dst, t);
}

__attribute__((target("avx512f,avx512bw"))) static void
tunnel_row_gather(uint8_t* dst, const uint8_t* src, int w, const uint16_t* texels, uint32_t uo, uint32_t vo)
{
    const __m512i add = _mm512_set1_epi16((short)(vo << 8 | uo));
    int i = 0;
    for (; i + 32 <= w; i += 32)
        tunnel_step_gather<false>(dst + 2 * i, src + 2 * i, ~0u, texels, add);
    if (i < w)
        tunnel_step_gather<true>(dst + 2 * i, src + 2 * i, (1u << (w - i)) - 1u, texels, add);
}
#pragma GCC diagnostic pop
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
    const int path = vexil_tunnel_path_available(vexil_tunnel_path);
    for (int j = 0; j < h; j++) {
        const uint8_t* src = static_cast<const uint8_t*>(uv_map->b) +
                             (size_t)(uv_src_y_offset + j) * uv_map->row_bytes + (size_t)uv_src_x_offset * 2;
        uint8_t* dst = static_cast<uint8_t*>(fb->b) + (size_t)(y0 + j) * fb->row_bytes + (size_t)x0 * 2;
        int i = 0;
#if defined(__x86_64__)
        if (path == VEXIL_TUNNEL_PATH_GATHER) {
            tunnel_row_gather(dst, src, w, texels, uo, vo);
            continue;
        }
        if (path == VEXIL_TUNNEL_PATH_SSE2)
            i = tunnel_row_sse2(dst, src, w, texels, uo, vo);
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
