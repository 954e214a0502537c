#include "vexil/vexil_tunnel_func.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/cpu_features.h"
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
    // Divided by, not multiplied by a reciprocal: that rounds otherwise.
    const float corner = 1.0f + a * a;
    for (int j = 0; j < H; j++) {
        uint16_t* row = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(dst->b) + (size_t)j * dst->row_bytes);
        float y = (2.0f * ((float)j + 0.5f) / (float)H - 1.0f) * a;
        for (int i = 0; i < W; i++) {
            float x = 2.0f * ((float)i + 0.5f) / (float)W - 1.0f;
            float angle = atan2f(y, x);
            float u = (float)sat_clamp(0.5 + 0.5 * (double)angle / LINMATH_PI, 0.0, 1.0);
            float q = (x * x + y * y) / corner;
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
    const int level = cpu_level();
    if (path >= VEXIL_TUNNEL_PATH_GATHER && level < CPU_LEVEL_AVX512)
        path = VEXIL_TUNNEL_PATH_SSE2;
    if (path >= VEXIL_TUNNEL_PATH_SSE2 && level < CPU_LEVEL_SSE2)
        path = VEXIL_TUNNEL_PATH_PACKED;
    return path < VEXIL_TUNNEL_PATH_PACKED ? VEXIL_TUNNEL_PATH_PACKED : path;
}

// Gathers pay off where a gathered element costs less than a plain load and its
// insertion into a vector: on Intel's cores with AVX-512 a frame takes about 0.65
// of the SSE2 path's time; on AMD's the gathers were slower than the SSE2 path.
static int tunnel_path_default()
{
    return vexil_tunnel_path_available(cpu_intel() ? VEXIL_TUNNEL_PATH_GATHER : VEXIL_TUNNEL_PATH_SSE2);
}

int vexil_tunnel_path = tunnel_path_default();

#if defined(__x86_64__) || defined(__i386__)
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
// 32 pixels a step with AVX-512: one byte-wise add offsets the 32 entries, the
// even and the odd pixels each gather the 32-bit pair of texels their index lies
// in (a read that never leaves the 256x256 level, as a 32-bit read at the index
// itself would at the last texel), and one word permute takes each pixel's texel
// from its pair by the index's lowest bit.
struct tunnel_gather {
    __m512i add;   // the offsets, v in the high byte of every entry
    __m512i pick;  // word 2k from the even pair k, word 2k + 1 from the odd pair k
    const uint16_t* texels;
};

CPU_TARGET_AVX512 __attribute__((always_inline)) static inline __m512i tunnel_texels32(const tunnel_gather& g,
                                                                                       __m512i entries)
{
    const __m512i e = _mm512_add_epi8(entries, g.add);
    // The even pixel's pair starts at its index with the lowest bit cleared.
    const __m512i even = _mm512_and_si512(e, _mm512_set1_epi32(0xfffe));
    const __m512i te = _mm512_i32gather_epi32(even, g.texels, 2);
    const __m512i to = _mm512_i32gather_epi32(_mm512_srli_epi32(e, 17), g.texels, 4);
    // (e & 1) | pick in every word: the word of the pair that holds the texel.
    const __m512i pick = _mm512_ternarylogic_epi32(e, g.pick, _mm512_set1_epi16(1), 0xec);
    return _mm512_permutex2var_epi16(te, pick, to);
}

// One row. Loads that straddle two cache lines cost about a tenth of the frame,
// so the steps read the table at 64-byte boundaries: the pixels before the first
// boundary (the head, the high lanes of the line before it) and those after the
// last whole step (the tail, the low lanes of the last line) share one step when
// they fit in it, as they do in every row whose width is a multiple of 32.
CPU_TARGET_AVX512 static void tunnel_row_gather(const tunnel_gather& g, uint8_t* dst, const uint8_t* src, int w)
{
    const int misalign = (int)((uintptr_t)src & 63u);
    const int head = ((64 - misalign) & 63) / 2;
    if ((misalign & 1) || w <= head) {
        // Entries off their 2-byte boundaries cannot be aligned; a row that ends
        // before the first boundary is one step.
        int i = 0;
        for (; i + 32 <= w; i += 32)
            _mm512_storeu_si512(dst + 2 * i, tunnel_texels32(g, _mm512_loadu_si512(src + 2 * i)));
        if (i < w) {
            const __mmask32 k = (__mmask32)((1ull << (w - i)) - 1u);
            _mm512_mask_storeu_epi16(dst + 2 * i, k, tunnel_texels32(g, _mm512_maskz_loadu_epi16(k, src + 2 * i)));
        }
        return;
    }
    const int steps = (w - head) / 32;
    const int tail = w - head - 32 * steps;
    const uint8_t* body = src + 2 * head;
    for (int s = 0; s < steps; s++)
        _mm512_storeu_si512(dst + 2 * (head + 32 * s), tunnel_texels32(g, _mm512_load_si512(body + 64 * s)));
    // The head's pixels are the lanes 32 - head.. of the line before the body,
    // the tail's the lanes ..tail - 1 of the line after it.
    const __mmask32 head_k = head ? (__mmask32)(~0u << (32 - head)) : 0u;
    const __mmask32 tail_k = (__mmask32)((1ull << tail) - 1u);
    uint8_t* head_dst = dst + 2 * head - 64;
    uint8_t* tail_dst = dst + 2 * (head + 32 * steps);
    const uint8_t* head_src = body - 64;
    const uint8_t* tail_src = body + 64 * steps;
    if ((head_k & tail_k) == 0) {
        if (head_k | tail_k) {
            const __m512i e = _mm512_mask_loadu_epi16(_mm512_maskz_loadu_epi16(tail_k, tail_src), head_k, head_src);
            const __m512i t = tunnel_texels32(g, e);
            _mm512_mask_storeu_epi16(head_dst, head_k, t);
            _mm512_mask_storeu_epi16(tail_dst, tail_k, t);
        }
        return;
    }
    _mm512_mask_storeu_epi16(head_dst, head_k, tunnel_texels32(g, _mm512_maskz_loadu_epi16(head_k, head_src)));
    _mm512_mask_storeu_epi16(tail_dst, tail_k, tunnel_texels32(g, _mm512_maskz_loadu_epi16(tail_k, tail_src)));
}

CPU_TARGET_AVX512 static void tunnel_frame_gather(uint8_t* dst, size_t dst_row_bytes, const uint8_t* src,
                                                  size_t src_row_bytes, int w, int h, const uint16_t* texels,
                                                  uint32_t uo, uint32_t vo)
{
    alignas(64) uint16_t pick[32];
    for (int k = 0; k < 16; k++) {
        pick[2 * k] = (uint16_t)(2 * k);
        pick[2 * k + 1] = (uint16_t)(32 + 2 * k);
    }
    const tunnel_gather g{_mm512_set1_epi16((short)(vo << 8 | uo)), _mm512_load_si512(pick), texels};
    for (int j = 0; j < h; j++)
        tunnel_row_gather(g, dst + (size_t)j * dst_row_bytes, src + (size_t)j * src_row_bytes, w);
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
    [[maybe_unused]] const int path = vexil_tunnel_path_available(vexil_tunnel_path);
    const uint8_t* src0 = static_cast<const uint8_t*>(uv_map->b) + (size_t)uv_src_y_offset * uv_map->row_bytes +
                          (size_t)uv_src_x_offset * 2;
    uint8_t* dst0 = static_cast<uint8_t*>(fb->b) + (size_t)y0 * fb->row_bytes + (size_t)x0 * 2;
#if defined(__x86_64__) || defined(__i386__)
    if (path == VEXIL_TUNNEL_PATH_GATHER) {
        tunnel_frame_gather(dst0, (size_t)fb->row_bytes, src0, (size_t)uv_map->row_bytes, w, h, texels, uo, vo);
        return;
    }
#endif
    for (int j = 0; j < h; j++) {
        const uint8_t* src = src0 + (size_t)j * uv_map->row_bytes;
        uint8_t* dst = dst0 + (size_t)j * fb->row_bytes;
        int i = 0;
#if defined(__x86_64__) || defined(__i386__)
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
