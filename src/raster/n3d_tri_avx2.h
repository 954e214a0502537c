// The AVX2 pixel path: the span walk of n3d_tri_scalar.h with a kernel that
// draws a span's 2, 4 or 8 pixels in eight 32-bit lanes, under the kernel
// contract of n3d_tri_ex.h. It plugs in at the span seam: the walk, its exact
// perspective values at the span ends and the last single pixels stay scalar,
// only the pixels inside a span are computed side by side. x86 only; called
// where cpu_level() is at least CPU_LEVEL_AVX2.
#pragma once

#include "raster/n3d_tri_scalar.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace n3d_tri {

// Bytes k (k < 8) of entry m: how many of the bits below bit k are set in m.
struct prefix_counts {
    uint8_t c[256][8];
    constexpr prefix_counts() : c()
    {
        for (int m = 0; m < 256; m++)
            for (int k = 0; k < 8; k++) {
                int n = 0;
                for (int b = 0; b < k; b++)
                    n += (m >> b) & 1;
                c[m][k] = static_cast<uint8_t>(n);
            }
    }
};
inline constexpr prefix_counts g_prefix_counts{};

// The same pixels eight lanes at a time (AVX2); bit for bit the scalar kernel's
// results. Lanes past len are computed from in-range addresses and dropped.
template <n3d_tri_features F>
struct span_wide {
    CPU_TARGET_AVX2 static inline __m256i set1(uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    CPU_TARGET_AVX2 static inline __m256i load_u16(const void* p, int32_t len)
    {
        __m128i v;
        if (len == 8) {
            v = _mm_loadu_si128(static_cast<const __m128i*>(p));
        } else if (len == 4) {
            v = _mm_loadl_epi64(static_cast<const __m128i*>(p));
        } else {
            int32_t w;
            memcpy(&w, p, 4);
            v = _mm_cvtsi32_si128(w);
        }
        return _mm256_cvtepu16_epi32(v);
    }
    CPU_TARGET_AVX2 static inline void store_u16(void* p, __m256i v, int32_t len)
    {
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
        __m128i h = _mm256_castsi256_si128(packed);
        if (len == 8) {
            _mm_storeu_si128(static_cast<__m128i*>(p), h);
        } else if (len == 4) {
            _mm_storel_epi64(static_cast<__m128i*>(p), h);
        } else {
            int32_t w = _mm_cvtsi128_si32(h);
            memcpy(p, &w, 4);
        }
    }
    // Byte k of each lane's dword-aligned read at base + off, k = off & 3.
    CPU_TARGET_AVX2 static inline __m256i gather_u8(const uint8_t* base, __m256i off)
    {
        __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base),
                                           _mm256_andnot_si256(_mm256_set1_epi32(3), off), 1);
        g = _mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_and_si256(off, _mm256_set1_epi32(3)), 3));
        return _mm256_and_si256(g, _mm256_set1_epi32(0xFF));
    }
    CPU_TARGET_AVX2 static inline __m256i gather_u16(const void* base, __m256i index)
    {
        __m256i off = _mm256_slli_epi32(index, 1);
        __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base),
                                           _mm256_andnot_si256(_mm256_set1_epi32(3), off), 1);
        g = _mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_and_si256(off, _mm256_set1_epi32(2)), 3));
        return _mm256_and_si256(g, _mm256_set1_epi32(0xFFFF));
    }

    CPU_TARGET_AVX2 static inline void run(const tri_state& s, span_run& r, uint32_t p, uint32_t d, int32_t len)
    {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i tri2 = _mm256_setr_epi32(0, 0, 1, 3, 6, 10, 15, 21);  // j (j - 1) / 2
        const __m256i tri3 = _mm256_setr_epi32(0, 0, 0, 1, 4, 10, 20, 35);  // j (j - 1) (j - 2) / 6

        // Which pixels are written comes first: a span none of whose pixels is
        // in front of the depth buffer or outside coverage reads no texel.
        __m256i pass = _mm256_set1_epi32(-1);
        if constexpr (F.cov_read) {
            const uint32_t x = static_cast<uint32_t>(r.o.x);
            const uint32_t* w = s.cov_row + (x >> 5);
            uint64_t bits = static_cast<uint64_t>(w[0]) << 32;
            if ((x & 31u) + static_cast<uint32_t>(len) > 32u)
                bits |= w[1];
            const uint32_t top = static_cast<uint32_t>((bits << (x & 31u)) >> 56);  // pixel x at bit 7
            const __m256i bit = _mm256_setr_epi32(128, 64, 32, 16, 8, 4, 2, 1);
            const __m256i covered = _mm256_cmpeq_epi32(_mm256_and_si256(set1(top), bit), bit);
            pass = _mm256_andnot_si256(covered, pass);
        }
        if constexpr (F.depth) {
            const __m256i z = _mm256_and_si256(
                _mm256_add_epi32(set1(r.o.zb.v), _mm256_mullo_epi32(lane, set1(s.zb_dx.v))), set1(0xFFFF));
            const __m256i old = load_u16(r.o.z, len);
            pass = _mm256_and_si256(pass, _mm256_cmpgt_epi32(z, old));
            store_u16(r.o.z, _mm256_blendv_epi8(old, z, pass), len);
            r.o.zb += fx(len) * s.zb_dx;
            r.o.z += len;
        }
        bool drawn = true;
        if constexpr (F.cov_read || F.depth)
            drawn = _mm256_movemask_ps(_mm256_castsi256_ps(pass)) & ((1 << len) - 1);
        if (drawn) {
            // Accumulator of pixel j in fields: u low bits with their carries across
            // the gap, u bits 6-8 (bit 8 dropped each step, bit 9 carried into v), v.
            const __m256i da = set1(d & 1023u), db = set1((d >> 16) & 7u);
            const __m256i sj = _mm256_add_epi32(set1(p & 1023u), _mm256_mullo_epi32(lane, da));
            const __m256i c1_before = _mm256_srli_epi32(sj, 10);
            const __m256i c1_step = _mm256_sub_epi32(_mm256_srli_epi32(_mm256_add_epi32(sj, da), 10), c1_before);
            __m256i bj = _mm256_and_si256(
                _mm256_add_epi32(_mm256_add_epi32(set1((p >> 16) & 7u), _mm256_mullo_epi32(lane, db)), c1_before),
                set1(3));
            bj = _mm256_blend_epi32(bj, set1((p >> 16) & 7u), 1);
            const __m256i carry_v = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(bj, db), c1_step), 3);
            const int carries = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(carry_v, 31)));
            const __m256i kv =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(g_prefix_counts.c[carries])));
            const __m256i vj =
                _mm256_add_epi32(_mm256_add_epi32(set1(p >> 19), _mm256_mullo_epi32(lane, set1(d >> 19))), kv);
            const __m256i tu = _mm256_or_si256(_mm256_srli_epi32(_mm256_and_si256(sj, set1(1023)), 4),
                                               _mm256_slli_epi32(_mm256_and_si256(bj, set1(3)), 6));
            const __m256i tv = _mm256_and_si256(_mm256_srli_epi32(vj, 4), set1(255));
            // The swizzled texel index of texel (tu, tv): (tv & 3) | (tu & 63) << 2 |
            // (tv >> 2 & 63) << 8 | (tu >> 6 & 3) << 14, kept inside the level.
            __m256i idx = _mm256_or_si256(
                _mm256_or_si256(_mm256_and_si256(tv, set1(3)), _mm256_slli_epi32(_mm256_and_si256(tu, set1(63)), 2)),
                _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(tv, 2), set1(63)), 8),
                                _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(tu, 6), set1(3)), 14)));
            idx = _mm256_and_si256(idx, set1(s.index_mask));

            __m256i texel;
            if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8)
                texel = gather_u8(s.texel_bytes, idx);
            else
                texel = gather_u16(s.texel_bytes, idx);

            __m256i pix;
            if constexpr (F.phong) {
                __m256i pidx;
                if constexpr (F.cubic) {
                    // The cubic at pixel j: cp + j cr1 + j (j - 1) / 2 cr2 + j (j - 1) (j - 2) / 6 cr3;
                    // the phong index is its value >> 24.
                    __m256i pj =
                        _mm256_add_epi32(_mm256_add_epi32(set1(r.cp.v), _mm256_mullo_epi32(lane, set1(r.cr1.v))),
                                         _mm256_add_epi32(_mm256_mullo_epi32(tri2, set1(r.cr2.v)),
                                                          _mm256_mullo_epi32(tri3, set1(r.cr3.v))));
                    pidx = _mm256_srai_epi32(pj, 24);
                } else {
                    // r-squared at pixel j: q = pq + j pa + j (j - 1) / 2 e3, the squared reciprocal
                    // iw = iiw_cur + j iiw_d; the phong index is ((q >> 8) iw) >> 16.
                    __m256i q = _mm256_add_epi32(_mm256_add_epi32(set1(r.pq.v), _mm256_mullo_epi32(lane, set1(r.pa.v))),
                                                 _mm256_mullo_epi32(tri2, set1(r.e3.v)));
                    __m256i iw = _mm256_add_epi32(set1(r.iiw_cur.v), _mm256_mullo_epi32(lane, set1(r.iiw_d.v)));
                    pidx = _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_srai_epi32(q, 8), iw), 16);
                }
                pidx = _mm256_min_epi32(_mm256_max_epi32(pidx, _mm256_set1_epi32(s.phong_lo)),
                                        _mm256_set1_epi32(s.phong_hi));
                const __m256i shade = gather_u8(s.phong_lut, pidx);
                if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
                    // shade_table[texel << 5 | shade & 31].
                    pix = gather_u16(s.shade_table,
                                     _mm256_or_si256(_mm256_slli_epi32(texel, 5), _mm256_and_si256(shade, set1(31))));
                } else {
                    // Each channel times the shade, >> 5: l = b | g << 10 | r << 20, l *= shade,
                    // pixel = 0x8000 | (l >> 25 & 31) << 10 | (l >> 15 & 31) << 5 | (l >> 5 & 31).
                    __m256i l = _mm256_or_si256(
                        _mm256_or_si256(
                            _mm256_and_si256(texel, set1(0x1F)),
                            _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(texel, 5), set1(0x1F)), 10)),
                        _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(texel, 10), set1(0x1F)), 20));
                    l = _mm256_mullo_epi32(l, shade);
                    pix = _mm256_or_si256(
                        _mm256_or_si256(set1(0x8000),
                                        _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(l, 25), set1(0x1F)), 10)),
                        _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(l, 15), set1(0x1F)), 5),
                                        _mm256_and_si256(_mm256_srli_epi32(l, 5), set1(0x1F))));
                }
            } else if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
                pix = gather_u16(s.palette, texel);
            } else {
                pix = texel;
            }

            if constexpr (F.cov_read || F.depth) {
                const __m256i old = load_u16(r.o.dst, len);
                pix = _mm256_blendv_epi8(old, pix, pass);
            }
            store_u16(r.o.dst, pix, len);
        }
        r.o.dst += 2 * len;
        r.o.x += len;

        const fx L = fx(len), T2 = fx(len * (len - 1) / 2), T3 = fx(len * (len - 1) * (len - 2) / 6);
        if constexpr (F.cubic) {
            r.cp += L * r.cr1 + T2 * r.cr2 + T3 * r.cr3;
            r.cr1 += L * r.cr2 + T2 * r.cr3;
            r.cr2 += L * r.cr3;
        } else if constexpr (F.phong) {
            r.pq += L * r.pa + T2 * r.e3;
            r.pa += L * r.e3;
            r.iiw_cur += L * r.iiw_d;
        }
    }
};

// The span walk with the eight-lane kernel, compiled whole for AVX2.
template <n3d_tri_features F>
CPU_TARGET_AVX2 __attribute__((flatten, noinline)) void scanline_wide(const tri_state& s, int32_t x0, int32_t x1)
{
    scanline_with<F, span_wide<F>>(s, x0, x1);
}

}  // namespace n3d_tri

#endif
