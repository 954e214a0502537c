// The AVX-512 pixel path: whole rows sixteen pixels at a time, under the
// kernel contract of n3d_tri_ex.h. It plugs in at the batch seam, not the span
// seam: the span walk is serial (each span starts from the exact values at the
// end of the one before), so this path computes every value of a row from the
// pixel's offset in it instead, and takes a batch of rows at once so that the
// tables it holds in registers (reciprocals, the phong table) are loaded once a
// batch. x86 only; called where cpu_level() is at least CPU_LEVEL_AVX512.
#pragma once

#include "raster/n3d_tri_setup.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace n3d_tri {

// The compiler's own intrinsics for the 512-bit conversions start from an
// undefined register, which its flow analysis reports as a maybe-uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define N3D_TRI_X16_INLINE CPU_TARGET_AVX512 __attribute__((always_inline))

// The lanes of a row's rest (the pixels after its last whole chunk), by
// (n - 1) & 15 for rows of five pixels and more, entry 16 for shorter rows.
// The rest of m + 1 pixels holds an 8-span when bit 3 of m is set, then a 4,
// a 2 and one or two single pixels as bits 0-2 give, the spans cut as the
// scalar walk cuts them. Per lane: the start sb of its span from the rest's
// first pixel, the end eb, log2 length sh with bm = 2^sh - 1, its place j, the
// bits before of the span's lanes before it, and in span whether it is in a
// span at all (single pixels belong to the row's last span, which may start
// 8 pixels before the rest: sb -8 and no lanes before).
struct alignas(64) rest_lanes {
    int32_t j[16], sb[16], eb[16], sh[16], bm[16];
    uint32_t before[16];
    uint16_t span, j0;
};
struct rest_lanes_table {
    rest_lanes e[17];
    constexpr rest_lanes_table() : e()
    {
        for (int m = 0; m < 17; m++) {
            const bool spans = m < 16;
            const int r8 = spans ? (m & 8) : 0, rest = m & 7;
            const int has4 = spans && rest >= 4, has2 = spans && (rest & 3) >= 2;
            const int r4 = r8 + 4 * has4, end = spans ? r4 + 2 * has2 : 0;
            const int b_last = has2 ? r4 : (has4 ? r8 : r8 - 8), s_last = has2 ? 1 : (has4 ? 2 : 3);
            rest_lanes& t = e[m];
            t.span = 0;
            t.j0 = 0;
            for (int o = 0; o < 16; o++) {
                int b = b_last, sh = s_last;
                if (o < r8) {
                    b = o & ~7;
                    sh = 3;
                } else if (o < r4) {
                    b = r8;
                    sh = 2;
                } else if (o < end) {
                    b = r4;
                    sh = 1;
                }
                if (o < end)
                    t.span = static_cast<uint16_t>(t.span | 1u << o);
                t.j[o] = o - b;
                if (o == b)
                    t.j0 = static_cast<uint16_t>(t.j0 | 1u << o);
                t.sb[o] = b;
                t.eb[o] = b + (1 << sh);
                t.sh[o] = sh;
                t.bm[o] = (1 << sh) - 1;
                t.before[o] = b < 0 ? 0u : ((1u << (o - b)) - 1u) << b;
            }
        }
    }
};
inline constexpr rest_lanes_table g_rest_lanes{};

// A whole scanline sixteen pixels at a time (AVX-512). Every value the span
// walk steps is written as a function of the pixel's offset o from the row
// start: the exact perspective values at the span ends are taken from the
// lanes at those offsets, the packed accumulator's u, v and the carries it
// passes into v from the span's start and step, the r-squared quadratic in
// closed form and the cubic as the quadratic times the stepped squared
// reciprocal. Bit for bit the scalar walk's pixels.
template <n3d_tri_features F>
struct row_x16 {
    // The perspective values at sixteen offsets.
    struct exact {
        __m512i u, v, iiw;
    };
    // What every chunk of a row shares.
    struct row {
        const tri_state* s;
        __m512i t_lo, t_hi;         // the reciprocal table
        __m512i lut[4];             // phong table entries 0 to 255
        __m512i k1[3], k8[3];       // lane and 8 x lane times the x steps of u/w, v/w and 1/w
        __m512i kz;                 // lane times the depth step
        __m512i le3, te3;           // lane and lane (lane - 1) / 2 times the quadratic's second difference
        __m512i plo, phi;           // the triangle's phong index range
        __m512i pfast, pfast_span;  // the part of it inside the table: pfast + [0, pfast_span]
        uint8_t* dst;
        uint16_t* zp;
        int32_t x0, n;
    };

    N3D_TRI_X16_INLINE static inline __m512i s1(uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    N3D_TRI_X16_INLINE static inline __m512i s1i(int32_t x) { return _mm512_set1_epi32(x); }
    N3D_TRI_X16_INLINE static inline __m512i lanes()
    {
        return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    }

    // The exact values at the offsets base + lane x step (pixels from the row
    // start; k: the lane products of step), lanes ext at offset x instead.
    N3D_TRI_X16_INLINE static inline void eval_lin(const row& w, int32_t base, const __m512i* k, __mmask16 ext,
                                                   int32_t x, exact* e)
    {
        const tri_state& s = *w.s;
        __m512i iuk = _mm512_add_epi32(s1((s.lk[0] + fx(base) * s.kdx[0]).v), k[0]);
        __m512i ivk = _mm512_add_epi32(s1((s.lk[1] + fx(base) * s.kdx[1]).v), k[1]);
        __m512i iwk = _mm512_add_epi32(s1((s.liwk + fx(base) * s.iwk_dx).v), k[2]);
        if (ext) {
            iuk = _mm512_mask_mov_epi32(iuk, ext, s1((s.lk[0] + fx(x) * s.kdx[0]).v));
            ivk = _mm512_mask_mov_epi32(ivk, ext, s1((s.lk[1] + fx(x) * s.kdx[1]).v));
            iwk = _mm512_mask_mov_epi32(iwk, ext, s1((s.liwk + fx(x) * s.iwk_dx).v));
        }
        eval_k(w, iuk, ivk, iwk, e);
    }
    N3D_TRI_X16_INLINE static inline void eval_k(const row& w, __m512i iuk, __m512i ivk, __m512i iwk, exact* e)
    {
        if constexpr (F.affine) {
            e->u = _mm512_add_epi32(_mm512_srai_epi32(iuk, 6), s1(7));
            e->v = _mm512_add_epi32(_mm512_srai_epi32(ivk, 6), s1(7));
            e->iiw = _mm512_setzero_si512();
        } else {
            // p = recip(iwk): with i = iwk >> 14 kept in the table and d = iwk & 0x3FFF,
            // p = t[i] + ((t[i + 1] - t[i]) d >> 14); then u = (iuk p >> 18) + 7, the same
            // for v, and the squared reciprocal iiw = (p (p >> 5)) >> 13.
            __m512i idx = _mm512_srai_epi32(iwk, 14);
            idx = _mm512_min_epi32(_mm512_max_epi32(idx, _mm512_setzero_si512()), s1(N3D_FIXED_IIW_LUT_SIZE - 2));
            const __m512i dist = _mm512_and_si512(iwk, s1(0x3FFF));
            const __m512i p1 = _mm512_permutex2var_epi32(w.t_lo, idx, w.t_hi);
            const __m512i p2 = _mm512_permutex2var_epi32(w.t_lo, _mm512_add_epi32(idx, s1(1)), w.t_hi);
            const __m512i p =
                _mm512_add_epi32(p1, _mm512_srai_epi32(_mm512_mullo_epi32(_mm512_sub_epi32(p2, p1), dist), 14));
            e->u = _mm512_add_epi32(_mm512_srai_epi32(_mm512_mullo_epi32(iuk, p), 18), s1(7));
            e->v = _mm512_add_epi32(_mm512_srai_epi32(_mm512_mullo_epi32(ivk, p), 18), s1(7));
            if constexpr (F.phong)
                e->iiw = _mm512_srai_epi32(_mm512_mullo_epi32(p, _mm512_srai_epi32(p, 5)), 13);
            else
                e->iiw = _mm512_setzero_si512();
        }
    }

    // x / 2^sh per lane, truncating toward zero.
    N3D_TRI_X16_INLINE static inline __m512i div_pow2(__m512i x, __m512i sh)
    {
        const __m512i bias =
            _mm512_and_si512(_mm512_srai_epi32(x, 31), _mm512_sub_epi32(_mm512_sllv_epi32(s1(1), sh), s1(1)));
        return _mm512_srav_epi32(_mm512_add_epi32(x, bias), sh);
    }
    // The same with bm = 2^sh - 1.
    N3D_TRI_X16_INLINE static inline __m512i div_pow2(__m512i x, __m512i sh, __m512i bm)
    {
        return _mm512_srav_epi32(_mm512_add_epi32(x, _mm512_and_si512(_mm512_srai_epi32(x, 31), bm)), sh);
    }
    N3D_TRI_X16_INLINE static inline __m512i div8(__m512i x)
    {
        return _mm512_srai_epi32(_mm512_add_epi32(x, _mm512_and_si512(_mm512_srai_epi32(x, 31), s1(7))), 3);
    }
    // Sixteen 4-byte words at base + off.
    N3D_TRI_X16_INLINE static inline __m512i gather32(__mmask16 m, const void* base, __m512i off)
    {
        return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, off, base, 1);
    }
    // Byte at base + off per lane, read as the aligned 4-byte word that holds it.
    N3D_TRI_X16_INLINE static inline __m512i gather_u8(__mmask16 m, const void* base, __m512i off)
    {
        const __m512i g = gather32(m, base, _mm512_andnot_si512(s1(3), off));
        return _mm512_and_si512(_mm512_srlv_epi32(g, _mm512_slli_epi32(_mm512_and_si512(off, s1(3)), 3)), s1(0xFF));
    }
    // 16-bit entry at index per lane in bits 0-15, read as the aligned 4-byte
    // word that holds it; bits 16-31 keep the word's other half (even indices).
    N3D_TRI_X16_INLINE static inline __m512i gather_u16(__mmask16 m, const void* base, __m512i index)
    {
        const __m512i g = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), m, _mm512_srli_epi32(index, 1), base, 4);
        return _mm512_mask_srli_epi32(g, _mm512_test_epi32_mask(index, s1(1)), g, 16);
    }
    // Shades of sixteen phong indices in bits 0-7 (the bits above are not
    // defined): entries 0 to 255 by byte permutation of the table held in lut,
    // each lane's low byte selecting; indices outside them or outside the
    // triangle's range are clamped to that range and read from memory. With
    // Narrow the indices lie in [-128, 127], so entries 0 to 127 are all the
    // table they can select.
    template <bool Narrow>
    N3D_TRI_X16_INLINE static inline __m512i phong_lookup(const row& w, __mmask16 m, __m512i pidx)
    {
        __m512i shade = _mm512_permutex2var_epi8(w.lut[0], pidx, w.lut[1]);
        if constexpr (!Narrow)
            shade = _mm512_mask_mov_epi32(shade, _mm512_test_epi32_mask(pidx, s1(0x80)),
                                          _mm512_permutex2var_epi8(w.lut[2], pidx, w.lut[3]));
        const __mmask16 pad = _mm512_mask_cmpgt_epu32_mask(m, _mm512_sub_epi32(pidx, w.pfast), w.pfast_span);
        if (pad) {
            const __m512i c = _mm512_min_epi32(_mm512_max_epi32(pidx, w.plo), w.phi);
            shade = _mm512_mask_mov_epi32(shade, pad, gather_u8(pad, w.s->phong_lut, c));
        }
        return shade;
    }

    // Which of the valid pixels at o0 are written: those not under coverage and
    // in front of the depth buffer, whose depth z16 is stored. Chunks none of
    // whose pixels is written are not drawn at all.
    N3D_TRI_X16_INLINE static inline __mmask16 written(const row& w, int32_t o0, __mmask16 valid, __m256i z16)
    {
        const tri_state& s = *w.s;
        __mmask16 pass = valid;
        if constexpr (F.cov_read) {
            const int32_t len = w.n - o0 < 16 ? w.n - o0 : 16;
            const uint32_t x = static_cast<uint32_t>(w.x0 + o0);
            const uint32_t* cw = s.cov_row + (x >> 5);
            uint64_t bits = static_cast<uint64_t>(cw[0]) << 32;
            if ((x & 31u) + static_cast<uint32_t>(len) > 32u)
                bits |= cw[1];
            const uint32_t top = static_cast<uint32_t>((bits << (x & 31u)) >> 48);  // pixel x at bit 15
            const __m512i covbit = _mm512_setr_epi32(0x8000, 0x4000, 0x2000, 0x1000, 0x800, 0x400, 0x200, 0x100, 0x80,
                                                     0x40, 0x20, 0x10, 0x8, 0x4, 0x2, 0x1);
            pass &= static_cast<__mmask16>(~_mm512_test_epi32_mask(s1(top), covbit));
        }
        if constexpr (F.depth) {
            pass &= _mm256_cmpgt_epu16_mask(z16, _mm256_maskz_loadu_epi16(valid, w.zp + o0));
            _mm256_mask_storeu_epi16(w.zp + o0, pass, z16);
        } else {
            (void)z16;
        }
        (void)s;
        return pass;
    }

    // Texels at the accumulator's u, v (texels x 16), shaded by phong index pidx,
    // stored where pass. Narrow: phong indices in [-128, 127].
    template <bool Narrow>
    N3D_TRI_X16_INLINE static inline void put(const row& w, int32_t o0, __mmask16 pass, __m512i u, __m512i v,
                                              __m512i pidx)
    {
        const tri_state& s = *w.s;
        // The swizzled texel index of texel (u >> 4, v >> 4): (v >> 4 & 3) | (u >> 4 & 63) << 2 |
        // (v >> 6 & 63) << 8 | (u >> 10 & 3) << 14, kept inside the level.
        __m512i idx = _mm512_or_si512(_mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(v, 4), s1(3)),
                                                      _mm512_and_si512(_mm512_srli_epi32(u, 2), s1(0xFC))),
                                      _mm512_or_si512(_mm512_and_si512(_mm512_slli_epi32(v, 2), s1(0x3F00)),
                                                      _mm512_and_si512(_mm512_slli_epi32(u, 4), s1(0xC000))));
        idx = _mm512_and_si512(idx, s1(s.index_mask));
        __m512i texel = _mm512_setzero_si512();
        if constexpr (F.texel == N3D_TRI_TEXEL_ARGB1555)
            texel = gather_u16(pass, s.texel_bytes, idx);
        else if constexpr (!F.phong)
            texel = gather_u8(pass, s.texel_bytes, idx);

        __m512i pix;
        if constexpr (F.phong) {
            const __m512i shade = phong_lookup<Narrow>(w, pass, pidx);
            if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
                // The texel times 32 (bits 0-4 not defined): its byte moved to the
                // top of the word read, then down; the shade fills bits 0-4.
                const __m512i g = gather32(pass, s.texel_bytes, _mm512_andnot_si512(s1(3), idx));
                const __m512i t5 =
                    _mm512_srli_epi32(_mm512_sllv_epi32(g, _mm512_slli_epi32(_mm512_andnot_si512(idx, s1(3)), 3)), 19);
                pix = gather_u16(pass, s.shade_table,
                                 _mm512_or_si512(_mm512_andnot_si512(s1(31), t5), _mm512_and_si512(shade, s1(31))));
            } else {
                // Each channel times the shade, >> 5: l = b | g << 10 | r << 20, l *= shade,
                // pixel = 0x8000 | (l >> 25 & 31) << 10 | (l >> 15 & 31) << 5 | (l >> 5 & 31).
                __m512i l = _mm512_or_si512(
                    _mm512_or_si512(_mm512_and_si512(texel, s1(0x1F)),
                                    _mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(texel, 5), s1(0x1F)), 10)),
                    _mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(texel, 10), s1(0x1F)), 20));
                l = _mm512_mullo_epi32(l, _mm512_and_si512(shade, s1(0xFF)));
                pix = _mm512_or_si512(
                    _mm512_or_si512(s1(0x8000),
                                    _mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(l, 25), s1(0x1F)), 10)),
                    _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(l, 15), s1(0x1F)), 5),
                                    _mm512_and_si512(_mm512_srli_epi32(l, 5), s1(0x1F))));
            }
        } else if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
            (void)pidx;
            pix = gather_u16(pass, s.palette, texel);
        } else {
            (void)pidx;
            pix = texel;
        }

        _mm256_mask_storeu_epi16(w.dst + 2 * o0, pass, _mm512_cvtepi32_epi16(pix));
    }

    // v after j steps from the span start: the carries that u's steps pass into
    // v, counted over the lanes of the span before each one (before: those
    // lanes' bits). The carry of the step after pixel j comes from u's 13-bit
    // field plus the step passing 2^13 (at j = 0 the field still holds u bit 12;
    // every step clears it). Reads bits 0-12 of u and du only.
    N3D_TRI_X16_INLINE static inline __m512i v_after(__mmask16 lanes_in, __mmask16 j0, __m512i us, __m512i u,
                                                     __m512i du, __m512i vj, __m512i before)
    {
        const __m512i xj = _mm512_mask_mov_epi32(_mm512_and_si512(u, s1(0xFFF)), j0, _mm512_and_si512(us, s1(0x1FFF)));
        const __mmask16 carry =
            _mm512_mask_test_epi32_mask(lanes_in, _mm512_add_epi32(xj, _mm512_and_si512(du, s1(0x1FFF))), s1(0x2000));
        return v_carried(carry, vj, before);
    }
    // vj plus the carries (lane bits) of the lanes before each one.
    N3D_TRI_X16_INLINE static inline __m512i v_carried(__mmask16 carry, __m512i vj, __m512i before)
    {
        return _mm512_add_epi32(vj, _mm512_popcnt_epi32(_mm512_and_si512(s1(carry), before)));
    }
    // The bits of the lanes before lane sb + j in the span that starts at lane sb.
    N3D_TRI_X16_INLINE static inline __m512i lanes_before(__m512i sb, __m512i j)
    {
        return _mm512_sllv_epi32(_mm512_sub_epi32(_mm512_sllv_epi32(s1(1), j), s1(1)), sb);
    }

    // The tables every row of a triangle reads, held in registers.
    N3D_TRI_X16_INLINE static inline void tables(const tri_state& s, row* w)
    {
        w->t_lo = w->t_hi = _mm512_setzero_si512();
        if constexpr (!F.affine) {
            w->t_lo = _mm512_loadu_si512(n3d_iiw_lut_fixpt);
            w->t_hi = _mm512_loadu_si512(n3d_iiw_lut_fixpt + 16);
        }
        for (int i = 0; i < 4; i++)
            w->lut[i] = F.phong ? _mm512_loadu_si512(s.phong_lut + 64 * i) : _mm512_setzero_si512();
        const fx steps[3] = {s.kdx[0], s.kdx[1], s.iwk_dx};
        for (int i = 0; i < 3; i++) {
            w->k1[i] = _mm512_mullo_epi32(lanes(), s1(steps[i].v));
            w->k8[i] = _mm512_slli_epi32(w->k1[i], 3);
        }
        w->kz = _mm512_mullo_epi32(lanes(), s1(s.zb_dx.v));
        const __m512i tri = _mm512_setr_epi32(0, 0, 1, 3, 6, 10, 15, 21, 28, 36, 45, 55, 66, 78, 91, 105);
        w->le3 = w->te3 = _mm512_setzero_si512();
        // Indices in both the range and the table need no clamp; with no such
        // index every lane is clamped (no index the walk gives is 2^30).
        const int32_t f_lo = s.phong_lo > 0 ? s.phong_lo : 0;
        const int32_t f_hi = s.phong_hi < N3D_PHONG_LUT_ENTRIES - 1 ? s.phong_hi : N3D_PHONG_LUT_ENTRIES - 1;
        w->plo = s1i(s.phong_lo);
        w->phi = s1i(s.phong_hi);
        w->pfast = s1i(f_lo <= f_hi ? f_lo : 1 << 30);
        w->pfast_span = s1i(f_lo <= f_hi ? f_hi - f_lo : 0);
        if constexpr (F.phong) {
            w->le3 = _mm512_mullo_epi32(lanes(), s1(s.rs.e3.v));
            w->te3 = _mm512_mullo_epi32(tri, s1(s.rs.e3.v));
        }
    }

    // One row [x0, x1) with the tables of tab.
    N3D_TRI_X16_INLINE static inline void run(const tri_state& s, const row& tab, int32_t x0, int32_t x1)
    {
        const int32_t n = x1 - x0;
        if constexpr (F.depth)
            depth_lazy_clear(s.z_row, s.zmask_row, x0, x1);
        row w = tab;
        w.s = &s;
        w.x0 = x0;
        w.n = n;
        w.dst = s.dst_row + 2 * x0;
        w.zp = F.depth ? s.z_row + x0 : nullptr;

        // The cut into spans: 8s up to r8, one 4 up to r4, one 2 up to e, then singles.
        const bool spans = n >= 5;
        const int32_t k8 = spans ? (n - 1) >> 3 : 0;
        const int32_t rest = (n - 1) & 7;
        const int32_t has4 = spans && rest >= 4, has2 = spans && (rest & 3) >= 2;
        const int32_t r8 = 8 * k8, r4 = r8 + 4 * has4;
        const int32_t b_last = has2 ? r4 : (has4 ? r8 : r8 - 8), s_last = has2 ? 1 : (has4 ? 2 : 3);
        const __m512i lane = lanes();

        // The rest, at most sixteen pixels: the last 8-span, the 4 and the 2,
        // the single pixels, or a short row alone. Drawn first, so that its
        // texel reads overlap the chunks before it.
        const int32_t full = r8 >> 4;
        const int32_t o0 = 16 * full;
        const __mmask16 rest_pass =
            o0 < n ? written(w, o0, static_cast<__mmask16>(0xFFFFFFFFu >> (32 - (n - o0))),
                             _mm512_cvtepi32_epi16(_mm512_add_epi32(s1((s.lzb + fx(o0) * s.zb_dx).v), w.kz)))
                   : 0;
        if (rest_pass) {
            // The cubic of the last span carries on through the single pixels
            // after it: its start and end values come from lanes of cur. The end
            // lies in the rest; a start before it (a rest of one or two single
            // pixels) is evaluated in lane 15, which such a rest leaves unused.
            int32_t l_first = b_last - o0;
            __mmask16 ext = 0;
            if constexpr (F.cubic) {
                if (spans && l_first < 0) {
                    ext = 0x8000;
                    l_first = 15;
                }
            }
            // The rest is at most sixteen pixels with a single pixel last, so every span ends inside it.
            exact cur;
            eval_lin(w, o0, w.k1, ext, b_last, &cur);
            __m512i i_last = _mm512_setzero_si512(), di_last = _mm512_setzero_si512();
            if constexpr (F.cubic) {
                if (spans) {
                    i_last = _mm512_permutexvar_epi32(s1i(l_first), cur.iiw);
                    const __m512i i_end = _mm512_permutexvar_epi32(s1i(b_last + (1 << s_last) - o0), cur.iiw);
                    di_last = div_pow2(_mm512_sub_epi32(i_end, i_last), s1i(s_last));
                }
            }
            // Each lane's span: its start sb (from o0), log2 length sh, and place j in it.
            const rest_lanes& t = g_rest_lanes.e[spans ? (n - 1) & 15 : 16];
            const __mmask16 m_span = t.span;
            const __m512i j = _mm512_load_si512(t.j), sb = _mm512_load_si512(t.sb);
            const __m512i eb = _mm512_load_si512(t.eb), sh = _mm512_load_si512(t.sh);
            const __m512i bm = _mm512_load_si512(t.bm);

            // Texture coordinates: the accumulator's walk inside spans, clamped exact values alone.
            const __m512i us = _mm512_permutexvar_epi32(sb, cur.u), ue = _mm512_permutexvar_epi32(eb, cur.u);
            const __m512i vs = _mm512_permutexvar_epi32(sb, cur.v), ve = _mm512_permutexvar_epi32(eb, cur.v);
            const __m512i du = div_pow2(_mm512_sub_epi32(ue, us), sh, bm);
            const __m512i dv = div_pow2(_mm512_sub_epi32(ve, vs), sh, bm);
            __m512i u = _mm512_add_epi32(us, _mm512_mullo_epi32(j, du));
            __m512i v = v_after(m_span, t.j0, us, u, du, _mm512_add_epi32(vs, _mm512_mullo_epi32(j, dv)),
                                _mm512_load_si512(t.before));
            const __m512i uf = _mm512_max_epi32(_mm512_min_epi32(cur.u, s1(s.u_max16.v)), _mm512_setzero_si512());
            const __m512i vf = _mm512_max_epi32(_mm512_min_epi32(cur.v, s1(s.v_max16.v)), _mm512_setzero_si512());
            u = _mm512_mask_mov_epi32(uf, m_span, u);
            v = _mm512_mask_mov_epi32(vf, m_span, v);

            __m512i pidx = _mm512_setzero_si512();
            if constexpr (F.phong) {
                // The quadratic at o0 + lane: its value at o0, lane steps of span + o0 e3, and the lanes' triangle.
                const fx e3 = s.rs.e3, fo0 = fx(o0);
                const fx q0 = s.rs.q + fo0 * s.rs.span + fx(o0 * (o0 - 1) / 2) * e3;
                // q = q0 + lane (span + o0 e3) + lane (lane - 1) / 2 e3. The phong index is
                // ((q >> 8) iw) >> 16, the cubic's (q iw) >> 24, iw stepped linearly in the span.
                const __m512i q = _mm512_add_epi32(
                    _mm512_add_epi32(s1(q0.v), _mm512_mullo_epi32(lane, s1((s.rs.span + fo0 * e3).v))), w.te3);
                const __m512i is = _mm512_permutexvar_epi32(sb, cur.iiw), ie = _mm512_permutexvar_epi32(eb, cur.iiw);
                const __m512i di = div_pow2(_mm512_sub_epi32(ie, is), sh, bm);
                if constexpr (F.cubic) {
                    if (spans) {
                        const __m512i ib = _mm512_mask_mov_epi32(i_last, m_span, is);
                        const __m512i dib = _mm512_mask_mov_epi32(di_last, m_span, di);
                        pidx = _mm512_srai_epi32(
                            _mm512_mullo_epi32(q, _mm512_add_epi32(ib, _mm512_mullo_epi32(j, dib))), 24);
                    } else {
                        pidx = _mm512_srai_epi32(_mm512_mullo_epi32(_mm512_srai_epi32(q, 8), cur.iiw), 16);
                    }
                } else {
                    const __m512i iw =
                        _mm512_mask_mov_epi32(cur.iiw, m_span, _mm512_add_epi32(is, _mm512_mullo_epi32(j, di)));
                    pidx = _mm512_srai_epi32(_mm512_mullo_epi32(_mm512_srai_epi32(q, 8), iw), 16);
                }
            }
            put<false>(w, o0, rest_pass, u, v, pidx);
        }

        // Chunks of two 8-spans: the span ends come from sixteen exact values at
        // a time, one every 8 pixels; r-squared and depth step from chunk to chunk.
        if (full > 0) {
            const __m512i lane8 = _mm512_srli_epi32(lane, 3), j = _mm512_and_si512(lane, s1(7));
            const __m512i sb = _mm512_and_si512(lane, s1(8));
            const __mmask16 j0 = 0x0101;
            const __m512i before = lanes_before(sb, j);
            __m512i q = _mm512_setzero_si512(), dq = _mm512_setzero_si512(), ddq = _mm512_setzero_si512();
            if constexpr (F.phong) {
                // From lane to lane + 16 the quadratic grows by 16 span + (16 lane + 120) e3.
                q = _mm512_add_epi32(_mm512_add_epi32(s1(s.rs.q.v), _mm512_mullo_epi32(lane, s1(s.rs.span.v))), w.te3);
                dq = _mm512_add_epi32(s1((fx(16) * s.rs.span + fx(120) * s.rs.e3).v), _mm512_slli_epi32(w.le3, 4));
                ddq = s1((fx(256) * s.rs.e3).v);
            }
            // u's 13-bit field before each step: all of it at a span start, bits 0-11 after a step.
            const __m512i field = _mm512_mask_mov_epi32(s1(0xFFF), j0, s1(0x1FFF));
            const __m512i jj = _mm512_or_si512(j, _mm512_slli_epi32(j, 16));
            __m256i z = _mm512_cvtepi32_epi16(_mm512_add_epi32(s1(s.lzb.v), w.kz));
            const __m256i dz = _mm256_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>((fx(16) * s.zb_dx).v)));
            for (int32_t c0 = 0; c0 < full; c0 += 7) {
                const int32_t c1 = full < c0 + 7 ? full : c0 + 7;
                // Seven chunks a block. Which of their pixels are written comes
                // first: a block none of whose pixels is written is not evaluated.
                __mmask16 pass[7];
                __mmask16 any = 0;
                for (int32_t c = c0; c < c1; c++) {
                    pass[c - c0] = written(w, 16 * c, 0xFFFF, z);
                    any |= pass[c - c0];
                    z = _mm256_add_epi16(z, dz);
                }
                if (!any) {
                    if constexpr (F.phong)
                        for (int32_t c = c0; c < c1; c++) {
                            q = _mm512_add_epi32(q, dq);
                            dq = _mm512_add_epi32(dq, ddq);
                        }
                    continue;
                }
                // Fifteen span ends.
                exact b0;
                eval_lin(w, 16 * c0, w.k8, 0, 0, &b0);
                // Only bits 0-12 of u and bits 0-11 of v reach the texel index and
                // the carries: the span starts and steps are packed u in the low
                // half, v in the high one, and stepped by 16-bit products and sums.
                const __m512i uv_k = _mm512_or_si512(_mm512_and_si512(b0.u, s1(0x1FFF)), _mm512_slli_epi32(b0.v, 16));
                const __m512i du_k = div8(_mm512_sub_epi32(_mm512_alignr_epi32(b0.u, b0.u, 1), b0.u));
                const __m512i dv_k = div8(_mm512_sub_epi32(_mm512_alignr_epi32(b0.v, b0.v, 1), b0.v));
                const __m512i duv_k = _mm512_or_si512(_mm512_and_si512(du_k, s1(0x1FFF)), _mm512_slli_epi32(dv_k, 16));
                const __m512i di_k = div8(_mm512_sub_epi32(_mm512_alignr_epi32(b0.iiw, b0.iiw, 1), b0.iiw));
                __m512i k = lane8;
                for (int32_t c = c0; c < c1; c++, k = _mm512_add_epi32(k, s1(2))) {
                    if (pass[c - c0]) {
                        const __m512i duv = _mm512_permutexvar_epi32(k, duv_k);
                        const __m512i uv =
                            _mm512_add_epi16(_mm512_permutexvar_epi32(k, uv_k), _mm512_mullo_epi16(jj, duv));
                        // The field is below 2^13 and so is the low half of the step: their
                        // sum stays in the low half.
                        const __mmask16 carry =
                            _mm512_test_epi32_mask(_mm512_add_epi32(_mm512_and_si512(uv, field), duv), s1(0x2000));
                        const __m512i u = uv;
                        const __m512i v = v_carried(carry, _mm512_srli_epi32(uv, 16), before);
                        __m512i pidx = _mm512_setzero_si512();
                        if constexpr (F.phong) {
                            const __m512i iw =
                                _mm512_add_epi32(_mm512_permutexvar_epi32(k, b0.iiw),
                                                 _mm512_mullo_epi32(j, _mm512_permutexvar_epi32(k, di_k)));
                            if constexpr (F.cubic)
                                pidx = _mm512_srai_epi32(_mm512_mullo_epi32(q, iw), 24);
                            else
                                pidx = _mm512_srai_epi32(_mm512_mullo_epi32(_mm512_srai_epi32(q, 8), iw), 16);
                        }
                        // The cubic's index is a 32-bit value shifted down by 24.
                        put<F.cubic>(w, 16 * c, pass[c - c0], u, v, pidx);
                    }
                    if constexpr (F.phong) {
                        q = _mm512_add_epi32(q, dq);
                        dq = _mm512_add_epi32(dq, ddq);
                    }
                }
            }
        }
    }
};

// The rows of a batch (d holds the first row's pointers and the per-triangle
// values), the tables loaded once for all of them.
template <n3d_tri_features F>
CPU_TARGET_AVX512 __attribute__((noinline)) void scanlines_x16(const tri_state& first, const row_rec* recs, int32_t cnt)
{
    tri_state d = first;
    typename row_x16<F>::row tab;
    row_x16<F>::tables(d, &tab);
    for (int32_t i = 0; i < cnt; i++) {
        const row_rec& rr = recs[i];
        row_rec_take<F>(d, first, rr);
        row_x16<F>::run(d, tab, rr.x0, rr.x1);
        if constexpr (F.cov_write)
            coverage_write_span(d.cov_row, rr.x0, rr.x1);
    }
}
#undef N3D_TRI_X16_INLINE
#pragma GCC diagnostic pop

}  // namespace n3d_tri

#endif
