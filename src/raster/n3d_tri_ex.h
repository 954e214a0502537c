// The one scanline triangle body behind every registered rasterizer: a template
// whose compile-time features (texel kind, affine or perspective, coverage read
// and write, depth, phong, per-triangle mip level, cubic r-squared in spans)
// select the work of each pixel loop. Instantiated by n3d_rasterizers.cpp and
// the tests; draws into the caller's frame context, allocates nothing, main
// thread. All fixed-point sums and products wrap in 32 bits.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"

enum { N3D_TRI_TEXEL_INDEX8 = 0, N3D_TRI_TEXEL_ARGB1555 = 1 };

// The features of one rasterizer variant.
struct n3d_tri_features {
    int texel;       // N3D_TRI_TEXEL_*
    bool affine;     // no per-pixel 1/w, no depth-ratio rejection
    bool cov_read;   // covered pixels are not written
    bool cov_write;  // each drawn span marks its coverage bits
    bool depth;      // strict 16-bit depth test and write with lazy line clear
    bool phong;      // four parameters, shade from the phong table
    bool mipconst;   // one mip level per triangle from the x gradients
    bool cubic;      // r-squared stepped by cubic differences inside spans
};

namespace n3d_tri {

// A 32-bit value whose sums, differences and products wrap and whose right
// shift is arithmetic, so the set-up reads like its integer formulas.
struct fx {
    uint32_t v;
    constexpr fx() : v(0) {}
    constexpr fx(int32_t x) : v(static_cast<uint32_t>(x)) {}
    static constexpr fx raw(uint32_t x)
    {
        fx r;
        r.v = x;
        return r;
    }
    constexpr int32_t i() const { return static_cast<int32_t>(v); }
};
constexpr fx operator+(fx a, fx b) { return fx::raw(a.v + b.v); }
constexpr fx operator-(fx a, fx b) { return fx::raw(a.v - b.v); }
constexpr fx operator*(fx a, fx b) { return fx::raw(a.v * b.v); }
constexpr fx operator>>(fx a, int s) { return fx(a.i() >> s); }
constexpr fx operator<<(fx a, int s) { return fx::raw(a.v << s); }
constexpr fx& operator+=(fx& a, fx b)
{
    a.v += b.v;
    return a;
}
constexpr fx& operator-=(fx& a, fx b)
{
    a.v -= b.v;
    return a;
}
// Division by a positive divisor, truncating toward zero.
constexpr fx fx_div(fx a, int32_t d) { return fx(static_cast<int32_t>(static_cast<int64_t>(a.i()) / d)); }
// Division by 2^s truncating toward zero, without a divide.
constexpr fx fx_div_pow2(fx a, int s)
{
    const int32_t x = a.i();
    return fx((x + ((x >> 31) & ((1 << s) - 1))) >> s);
}
// H / 2 truncated toward zero.
constexpr fx fx_half(fx a) { return fx_div(a, 2); }

// Float to the low 32 bits of the nearest integer, halves away from zero.
// Defined for every input: NaN and values beyond the 64-bit range give INT32_MIN.
inline fx fx_round(float x)
{
    if (x > -2147483648.0f && x < 2147483648.0f) {
        int32_t i = static_cast<int32_t>(x);
        float frac = x - static_cast<float>(i);
        if (frac >= 0.5f)
            i += 1;
        else if (frac <= -0.5f)
            i -= 1;
        return fx(i);
    }
    if (x > -9.2e18f && x < 9.2e18f)  // already whole: keep the low 32 bits
        return fx::raw(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
    return fx(INT32_MIN);
}
// The same, truncating toward zero.
inline fx fx_trunc(float x)
{
    if (x > -2147483648.0f && x < 2147483648.0f)
        return fx(static_cast<int32_t>(x));
    if (x > -9.2e18f && x < 9.2e18f)
        return fx::raw(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(x))));
    return fx(INT32_MIN);
}

// First whole row (24.8) at or below y.
inline fx pc_row(float y) { return fx::raw((fx_trunc(y > 0.0f ? y * 256.0f : 0.0f) + fx(255)).v & ~255u); }

// Exact rational walk of one edge: the first covered column of each row.
struct edge {
    int32_t pc_x;
    int32_t x_step;
    uint32_t x_acc;
    uint32_t x_acc_delta;
    uint32_t den;
    fx y_sub, y_int;  // the sub-step of the first row from the edge's start
    fx x0_fp;
};

inline void edge_setup(edge* e, fx x0_fp, fx y0_fp, fx dx, fx dy, fx pc_y_fp)
{
    fx x0_int = fx_div(x0_fp, 256);
    fx x0_frac = x0_fp - x0_int * 256;
    fx y_sub = pc_y_fp - y0_fp;
    fx y_int = y_sub >> 8;
    y_sub -= y_int * 256;
    fx n = ((x0_frac * dy + dx * y_sub) >> 8) + dx * y_int + x0_int * dy - 1;
    e->pc_x = (fx(mfloordiv(n.i(), dy.i())) + 1).i();
    e->x_step = mfloordiv(dx.i(), dy.i());
    e->x_acc = static_cast<uint32_t>(mmod(n.i(), dy.i()));
    e->x_acc_delta = static_cast<uint32_t>(mmod(dx.i(), dy.i()));
    e->den = static_cast<uint32_t>(dy.i());
    e->y_sub = y_sub;
    e->y_int = y_int;
    e->x0_fp = x0_fp;
}

// One row down; returns 1 on a carry. x_acc and its delta are below den, so
// their sum fits 32 unsigned bits.
inline bool edge_step(edge* e)
{
    e->pc_x = (fx(e->pc_x) + fx(e->x_step)).i();
    uint32_t acc = e->x_acc + e->x_acc_delta;
    bool carry = acc >= e->den;
    if (carry) {
        e->pc_x = (fx(e->pc_x) + 1).i();
        acc -= e->den;
    }
    e->x_acc = acc;
    return carry;
}

// 16-bit fixed-point reciprocal of the scaled 1/w by table and 14-bit linear
// interpolation. The index is kept inside the table.
inline fx recip(fx iwk)
{
    int32_t idx = iwk.i() >> 14;
    idx = idx < 0 ? 0 : (idx > N3D_FIXED_IIW_LUT_SIZE - 2 ? N3D_FIXED_IIW_LUT_SIZE - 2 : idx);
    int32_t dist = iwk.i() & 0x3FFF;
    int32_t p1 = n3d_iiw_lut_fixpt[idx], p2 = n3d_iiw_lut_fixpt[idx + 1];
    return fx(p1 + (((p2 - p1) * dist) >> 14));
}

inline fx iiwsqr_of(fx p_iiw) { return fx(ppc_mullw(p_iiw.i(), (p_iiw >> 5).i())) >> 13; }

// The packed accumulator: u bits 0-9, gap 10-15, u bits 10-12 at 16-18, v at 19-31.
inline uint32_t uv_pack(fx u, fx v) { return ppc_rlwimi(ppc_rlwimi(u.v, u.v & ~0x3FFu, 6, 0, 21), v.v, 19, 0, 12); }
// The increment: the same with the gap all ones, so u's overflow carries across it.
inline uint32_t uv_pack_step(fx du, fx dv)
{
    return ppc_rlwimi(ppc_rlwimi(du.v, (du.v & ~0x3FFu) | 0x3F0u, 6, 0, 21), dv.v, 19, 0, 12);
}
inline uint32_t uv_step(uint32_t p, uint32_t d) { return (p + d) & ~0x0004FC00u; }
// Swizzled texel index of the accumulator's integer u, v (each wraps at 256).
inline uint32_t uv_texel_index(uint32_t p)
{
    return ((p >> 23) & 3u) | (((p >> 4) & 63u) << 2) | (((p >> 25) & 63u) << 8) | (((p >> 16) & 3u) << 14);
}

// Channel multiply of an ARGB1555 texel by a shade: (channel x shade) >> 5, alpha set.
inline uint32_t shade_argb1555(uint32_t c, uint32_t shade)
{
    uint32_t l = (c & 0x1Fu) | (((c >> 5) & 0x1Fu) << 10) | (((c >> 10) & 0x1Fu) << 20);
    l *= shade;
    return 0x8000u | (((l >> 25) & 0x1Fu) << 10) | (((l >> 15) & 0x1Fu) << 5) | ((l >> 5) & 0x1Fu);
}

// The squared-radius quadratic and its row-walk differences (phong variants).
struct rsqr_start {
    fx q, gx, gy;
};
struct rsqr_walk {
    fx q, step, extra, span;
    fx c2, c3, d2, d3, e2, e3;
};

// Per-triangle constants and the left edge's carried parameters.
struct tri_state {
    // texture
    const uint8_t* texel_bytes;
    const uint16_t* palette;      // index8 without phong
    const uint16_t* shade_table;  // index8 with phong
    const uint8_t* phong_lut;
    uint32_t index_mask;  // keeps every fetch inside the level
    fx u_max16, v_max16;
    int32_t phong_lo, phong_hi;  // the shade indices the triangle's pixels can take
    // per-pixel steps
    fx kdx[2], kdy[2];
    fx iwk_dx, iwk_dy;
    fx zb_dx, zb_dy;
    fx hxx, hyy, hxy;
    // left edge
    fx lk[2], lk_step[2];
    fx liwk, liwk_step;
    fx lzb, lzb_step;
    rsqr_walk rs;
    // rows
    uint8_t* dst_row;
    int row_bytes;
    uint32_t* cov_row;
    int cov_row_words;
    uint16_t* z_row;
    int z_row_values;
    uint32_t* zmask_row;
    int wide;  // N3D_RASTER_*: the pixel path (the wide ones need levels at least 4 texels high)
};

// Texture coordinate with 4 fraction bits and the bias of 7 from a scaled u/w.
template <bool Affine>
inline fx frac_of(fx k, fx p_iiw)
{
    if constexpr (Affine)
        return (k >> 6) + 7;
    else
        return (fx(ppc_mullw(k.i(), p_iiw.i())) >> 18) + 7;
}

inline int phong_index_clamp(const tri_state& s, int32_t i)
{
    return i < s.phong_lo ? s.phong_lo : (i > s.phong_hi ? s.phong_hi : i);
}

// The pixel of a texel fetched at accumulator p with phong index pidx.
template <n3d_tri_features F>
inline uint32_t shade_pixel(const tri_state& s, uint32_t p, int32_t pidx)
{
    uint32_t idx = uv_texel_index(p) & s.index_mask;
    uint32_t texel;
    if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
        texel = s.texel_bytes[idx];
    } else {
        uint16_t t16;
        memcpy(&t16, s.texel_bytes + 2u * idx, 2);
        texel = t16;
    }
    if constexpr (F.phong) {
        uint32_t shade = s.phong_lut[phong_index_clamp(s, pidx)];
        if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8)
            return s.shade_table[ppc_rlwimi(shade, texel, 5, 19, 26)];
        else
            return shade_argb1555(texel, shade);
    } else {
        (void)pidx;
        if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8)
            return s.palette[texel];
        else
            return texel;
    }
}

inline bool covered(const uint32_t* row, int32_t x)
{
    return (row[static_cast<uint32_t>(x) >> 5] & (0x80000000u >> (static_cast<uint32_t>(x) & 31u))) != 0;
}

// Where one pixel or pixel pair goes: coverage and depth tests, depth writes,
// then one 32-bit store for a passing pair or 16-bit stores for single passers.
struct span_out {
    uint8_t* dst;
    int32_t x;
    uint16_t* z;
    fx zb;
};

template <n3d_tri_features F>
inline void put_pair(const tri_state& s, span_out* o, uint32_t ca, uint32_t cb)
{
    bool a_ok = true, b_ok = true;
    if constexpr (F.cov_read) {
        a_ok = !covered(s.cov_row, o->x);
        b_ok = !covered(s.cov_row, o->x + 1);
    }
    uint16_t za = 0, zb = 0;
    if constexpr (F.depth) {
        za = static_cast<uint16_t>(o->zb.v);
        o->zb += s.zb_dx;
        zb = static_cast<uint16_t>(o->zb.v);
        o->zb += s.zb_dx;
        a_ok = a_ok && o->z[0] < za;
        b_ok = b_ok && o->z[1] < zb;
    }
    if (a_ok && b_ok) {
        uint32_t pair = (ca & 0xFFFFu) | (cb << 16);
        memcpy(o->dst, &pair, 4);
        if constexpr (F.depth) {
            o->z[0] = za;
            o->z[1] = zb;
        }
    } else if (a_ok) {
        uint16_t c = static_cast<uint16_t>(ca);
        memcpy(o->dst, &c, 2);
        if constexpr (F.depth)
            o->z[0] = za;
    } else if (b_ok) {
        uint16_t c = static_cast<uint16_t>(cb);
        memcpy(o->dst + 2, &c, 2);
        if constexpr (F.depth)
            o->z[1] = zb;
    }
    o->dst += 4;
    o->x += 2;
    if constexpr (F.depth)
        o->z += 2;
}

template <n3d_tri_features F>
inline void put_one(const tri_state& s, span_out* o, uint32_t c)
{
    bool ok = true;
    uint16_t z = 0;
    if constexpr (F.cov_read)
        ok = !covered(s.cov_row, o->x);
    if constexpr (F.depth) {
        z = static_cast<uint16_t>(o->zb.v);
        o->zb += s.zb_dx;
        ok = ok && o->z[0] < z;
    }
    if (ok) {
        uint16_t c16 = static_cast<uint16_t>(c);
        memcpy(o->dst, &c16, 2);
        if constexpr (F.depth)
            o->z[0] = z;
    }
    o->dst += 2;
    o->x += 1;
    if constexpr (F.depth)
        o->z += 1;
}

inline void coverage_write_span(uint32_t* row, int32_t x0, int32_t x1)
{
    uint32_t c0 = static_cast<uint32_t>(x0) >> 5, c1 = static_cast<uint32_t>(x1 - 1) >> 5;
    uint32_t m0 = 0xFFFFFFFFu >> (static_cast<uint32_t>(x0) & 31u);
    uint32_t m1 = 0xFFFFFFFFu << ((0u - static_cast<uint32_t>(x1)) & 31u);
    if (c0 != c1) {
        row[c0] |= m0;
        row[c1] |= m1;
        for (uint32_t c = c0 + 1; c < c1; c++)
            row[c] = 0xFFFFFFFFu;
    } else {
        row[c0] |= m0 & m1;
    }
}

// Zeroes each 32-byte line of the depth row that the span touches for the first
// time since the mask word was reset.
inline void depth_lazy_clear(uint16_t* z_row, uint32_t* mask_word, int32_t x0, int32_t x1)
{
    uint32_t m = *mask_word;
    int32_t i0 = (2 * x0) >> 5, i1 = (2 * (x1 - 1)) >> 5;
    for (int32_t i = i0; i <= i1; i++) {
        uint32_t bit = 0x80000000u >> (static_cast<uint32_t>(i) & 31u);
        if (!(m & bit)) {
            ppc_dcbz_offset(z_row, 32 * i);
            m |= bit;
        }
    }
    *mask_word = m;
}

// What a span's pixels carry from one span to the next: the store position,
// depth, the phong quadratic (pq, pa, e3) with the squared reciprocal and its
// step, and the cubic's value and differences.
struct span_run {
    span_out o;
    fx pq, pa, e3;
    fx iiw_cur, iiw_d;
    fx cp, cr1, cr2, cr3;
};

// The pixels of one span of len (2, 4 or 8) from accumulator p and increment d,
// one pair at a time.
template <n3d_tri_features F>
struct span_scalar {
    static inline void run(const tri_state& s, span_run& r, uint32_t p, uint32_t d, int32_t len)
    {
        for (int32_t j = 0; j < len; j += 2) {
            uint32_t pa_uv = p;
            uint32_t pb_uv = uv_step(p, d);
            p = uv_step(pb_uv, d);
            int32_t ia = 0, ib = 0;
            if constexpr (F.cubic) {
                ia = (r.cp >> 24).i();
                r.cp += r.cr1;
                r.cr1 += r.cr2;
                r.cr2 += r.cr3;
                ib = (r.cp >> 24).i();
                r.cp += r.cr1;
                r.cr1 += r.cr2;
                r.cr2 += r.cr3;
            } else if constexpr (F.phong) {
                ia = (fx(ppc_mullw((r.pq >> 8).i(), r.iiw_cur.i())) >> 16).i();
                r.pq += r.pa;
                r.pa += r.e3;
                r.iiw_cur += r.iiw_d;
                ib = (fx(ppc_mullw((r.pq >> 8).i(), r.iiw_cur.i())) >> 16).i();
                r.pq += r.pa;
                r.pa += r.e3;
                r.iiw_cur += r.iiw_d;
            }
            put_pair<F>(s, &r.o, shade_pixel<F>(s, pa_uv, ia), shade_pixel<F>(s, pb_uv, ib));
        }
    }
};

// One scanline [x0, x1), x0 < x1: spans of 8, 4 and 2 pixels with the exact
// perspective value at their ends, then the last one or two pixels alone. The
// span pixels are the kernel K's.
template <n3d_tri_features F, class K>
inline void scanline_with(const tri_state& row_state, int32_t x0, int32_t x1)
{
    const tri_state& s = row_state;
    int32_t n = x1 - x0;
    fx pc_iwk = s.liwk, pc_iuk = s.lk[0], pc_ivk = s.lk[1];
    const fx iuk_dx = s.kdx[0], ivk_dx = s.kdx[1], iwk_dx = s.iwk_dx;
    fx p_iiw = 0;
    if constexpr (!F.affine)
        p_iiw = recip(pc_iwk);
    span_run r{};
    r.o.dst = s.dst_row + 2 * x0;
    r.o.x = x0;
    r.o.z = nullptr;
    r.o.zb = s.lzb;
    if constexpr (F.depth) {
        r.o.z = s.z_row + x0;
        depth_lazy_clear(s.z_row, s.zmask_row, x0, x1);
    }
    r.pq = s.rs.q;
    r.pa = s.rs.span;
    r.e3 = s.rs.e3;
    bool did_setup_large_span_rsqr = false;

    int32_t remain = n - 1;
    if (remain > 3) {
        if constexpr (F.cubic)
            did_setup_large_span_rsqr = true;
        while (remain >= 2) {
            int s_log2 = 31 - ppc_cntlze(static_cast<uint32_t>(remain));
            if (s_log2 > 3)
                s_log2 = 3;
            int32_t len = 1 << s_log2;
            int32_t s_count = remain >> s_log2;
            remain -= s_count << s_log2;
            fx u_frac = frac_of<F.affine>(pc_iuk, p_iiw);
            fx v_frac = frac_of<F.affine>(pc_ivk, p_iiw);
            const fx iwk_ds = iwk_dx * len, iuk_ds = iuk_dx * len, ivk_ds = ivk_dx * len;
            fx iiw_cur = 0;
            if constexpr (F.phong)
                iiw_cur = iiwsqr_of(p_iiw);
            for (int32_t sc = 0; sc < s_count; sc++) {
                if constexpr (!F.affine) {
                    pc_iwk += iwk_ds;
                    p_iiw = recip(pc_iwk);
                }
                pc_iuk += iuk_ds;
                pc_ivk += ivk_ds;
                fx nu = frac_of<F.affine>(pc_iuk, p_iiw);
                fx nv = frac_of<F.affine>(pc_ivk, p_iiw);
                const uint32_t p = uv_pack(u_frac, v_frac);
                const uint32_t d = uv_pack_step(fx_div_pow2(nu - u_frac, s_log2), fx_div_pow2(nv - v_frac, s_log2));
                fx iiw_next = 0;
                if constexpr (F.phong) {
                    iiw_next = iiwsqr_of(p_iiw);
                    r.iiw_cur = iiw_cur;
                    r.iiw_d = fx_div_pow2(iiw_next - iiw_cur, s_log2);
                }
                if constexpr (F.cubic) {
                    const fx i0 = iiw_cur, di = r.iiw_d, e3 = r.e3;
                    r.cp = r.pq * i0;
                    r.cr1 = r.pq * di + r.pa * (i0 + di);
                    r.cr2 = fx(2) * ((r.pa + e3) * di) + e3 * i0;
                    r.cr3 = fx(3) * (e3 * di);
                    r.pq += (r.pa << s_log2) + e3 * fx((((1 << s_log2) - 1) << s_log2) / 2);
                    r.pa += e3 << s_log2;
                }
                K::run(s, r, p, d, len);
                u_frac = nu;
                v_frac = nv;
                if constexpr (F.phong)
                    iiw_cur = iiw_next;
            }
        }
    }

    const int32_t singles = remain + 1;
    for (int32_t i = 0; i < singles; i++) {
        fx uf = frac_of<F.affine>(pc_iuk, p_iiw);
        fx vf = frac_of<F.affine>(pc_ivk, p_iiw);
        if (uf.i() > s.u_max16.i())
            uf = s.u_max16;
        if (uf.i() < 0)
            uf = 0;
        if (vf.i() > s.v_max16.i())
            vf = s.v_max16;
        if (vf.i() < 0)
            vf = 0;
        int32_t pidx = 0;
        if constexpr (F.phong) {
            if (F.cubic && did_setup_large_span_rsqr) {
                pidx = (r.cp >> 24).i();
                r.cp += r.cr1;
                r.cr1 += r.cr2;
                r.cr2 += r.cr3;
            } else {
                pidx = (fx(ppc_mullw((r.pq >> 8).i(), iiwsqr_of(p_iiw).i())) >> 16).i();
                r.pq += r.pa;
                r.pa += r.e3;
            }
        }
        put_one<F>(s, &r.o, shade_pixel<F>(s, uv_pack(uf, vf), pidx));
        if (i + 1 < singles) {
            if constexpr (!F.affine) {
                pc_iwk += iwk_dx;
                p_iiw = recip(pc_iwk);
            }
            pc_iuk += iuk_dx;
            pc_ivk += ivk_dx;
        }
    }
    (void)did_setup_large_span_rsqr;
}

// One row of a batch: its place from the batch's first row, its span and the
// left edge's values at its first pixel.
struct row_rec {
    int32_t dy, x0, x1;
    fx lk0, lk1, liwk, lzb, q, span;
};
enum { ROW_BATCH = 32 };

// Points d at row rr of a batch whose first row first's pointers address, with
// the row's left-edge values.
template <n3d_tri_features F>
__attribute__((always_inline)) inline void row_rec_take(tri_state& d, const tri_state& first, const row_rec& rr)
{
    d.dst_row = first.dst_row + static_cast<intptr_t>(rr.dy) * d.row_bytes;
    if constexpr (F.cov_read || F.cov_write)
        d.cov_row = first.cov_row + static_cast<intptr_t>(rr.dy) * d.cov_row_words;
    if constexpr (F.depth) {
        d.z_row = first.z_row + static_cast<intptr_t>(rr.dy) * d.z_row_values;
        d.zmask_row = first.zmask_row + rr.dy;
    }
    d.lk[0] = rr.lk0;
    d.lk[1] = rr.lk1;
    d.liwk = rr.liwk;
    d.lzb = rr.lzb;
    d.rs.q = rr.q;
    d.rs.span = rr.span;
}

// Moves a row's start from x0 < 0 to the target's first column, its left-edge
// values stepped over the pixels left out as the walk along the row steps them.
template <n3d_tri_features F>
__attribute__((noinline, cold)) void row_rec_clip_left(const tri_state& s, row_rec* r)
{
    const fx n = fx(0) - fx(r->x0);
    r->lk0 += s.kdx[0] * n;
    r->lk1 += s.kdx[1] * n;
    r->liwk += s.iwk_dx * n;
    r->lzb += s.zb_dx * n;
    if constexpr (F.phong) {
        const fx tri = fx::raw(static_cast<uint32_t>((static_cast<uint64_t>(n.v) * (n.v - 1u)) >> 1));
        r->q += r->span * n + s.rs.e3 * tri;
        r->span += s.rs.e3 * n;
    }
    r->x0 = 0;
}

#if defined(__x86_64__) || defined(__i386__)
#define N3D_TRI_WIDE 1
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
    __attribute__((target("avx2"))) static inline __m256i set1(uint32_t x)
    {
        return _mm256_set1_epi32(static_cast<int>(x));
    }
    __attribute__((target("avx2"))) static inline __m256i load_u16(const void* p, int32_t len)
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
    __attribute__((target("avx2"))) static inline void store_u16(void* p, __m256i v, int32_t len)
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
    __attribute__((target("avx2"))) static inline __m256i gather_u8(const uint8_t* base, __m256i off)
    {
        __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base),
                                           _mm256_andnot_si256(_mm256_set1_epi32(3), off), 1);
        g = _mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_and_si256(off, _mm256_set1_epi32(3)), 3));
        return _mm256_and_si256(g, _mm256_set1_epi32(0xFF));
    }
    __attribute__((target("avx2"))) static inline __m256i gather_u16(const void* base, __m256i index)
    {
        __m256i off = _mm256_slli_epi32(index, 1);
        __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base),
                                           _mm256_andnot_si256(_mm256_set1_epi32(3), off), 1);
        g = _mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_and_si256(off, _mm256_set1_epi32(2)), 3));
        return _mm256_and_si256(g, _mm256_set1_epi32(0xFFFF));
    }

    __attribute__((target("avx2"))) static inline void run(const tri_state& s, span_run& r, uint32_t p, uint32_t d,
                                                           int32_t len)
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
                    __m256i pj =
                        _mm256_add_epi32(_mm256_add_epi32(set1(r.cp.v), _mm256_mullo_epi32(lane, set1(r.cr1.v))),
                                         _mm256_add_epi32(_mm256_mullo_epi32(tri2, set1(r.cr2.v)),
                                                          _mm256_mullo_epi32(tri3, set1(r.cr3.v))));
                    pidx = _mm256_srai_epi32(pj, 24);
                } else {
                    __m256i q = _mm256_add_epi32(_mm256_add_epi32(set1(r.pq.v), _mm256_mullo_epi32(lane, set1(r.pa.v))),
                                                 _mm256_mullo_epi32(tri2, set1(r.e3.v)));
                    __m256i iw = _mm256_add_epi32(set1(r.iiw_cur.v), _mm256_mullo_epi32(lane, set1(r.iiw_d.v)));
                    pidx = _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_srai_epi32(q, 8), iw), 16);
                }
                pidx = _mm256_min_epi32(_mm256_max_epi32(pidx, _mm256_set1_epi32(s.phong_lo)),
                                        _mm256_set1_epi32(s.phong_hi));
                const __m256i shade = gather_u8(s.phong_lut, pidx);
                if constexpr (F.texel == N3D_TRI_TEXEL_INDEX8) {
                    pix = gather_u16(s.shade_table,
                                     _mm256_or_si256(_mm256_slli_epi32(texel, 5), _mm256_and_si256(shade, set1(31))));
                } else {
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
#endif

#ifdef N3D_TRI_WIDE
template <n3d_tri_features F>
__attribute__((target("avx2"), flatten, noinline)) void scanline_wide(const tri_state& s, int32_t x0, int32_t x1)
{
    scanline_with<F, span_wide<F>>(s, x0, x1);
}
#endif

#ifdef N3D_TRI_WIDE
// The compiler's own intrinsics for the 512-bit conversions start from an
// undefined register, which its flow analysis reports as a maybe-uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define N3D_TRI_X16 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vpopcntdq,avx512vbmi")))
#define N3D_TRI_X16_INLINE \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vpopcntdq,avx512vbmi"), always_inline))

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

    // The exact values at the offsets off (pixels from the row start).
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
N3D_TRI_X16 __attribute__((noinline)) void scanlines_x16(const tri_state& first, const row_rec* recs, int32_t cnt)
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
#pragma GCC diagnostic pop
#endif

template <n3d_tri_features F>
inline void scanline(const tri_state& s, int32_t x0, int32_t x1)
{
#ifdef N3D_TRI_WIDE
    // AVX-512 rows are drawn a batch at a time (scanlines_x16).
    if (s.wide == N3D_RASTER_AVX2) {
        scanline_wide<F>(s, x0, x1);
        return;
    }
#endif
    scanline_with<F, span_scalar<F>>(s, x0, x1);
}

// Phong quadratic at a vertex, in the fixed point of the triangle.
template <typename V>
inline rsqr_start rsqr_at(const V& v, const float* gdx, const float* gdy, float f)
{
    float a = v.ps[2], c = v.ps[3];
    float ux = gdx[2], vx = gdx[3], uy = gdy[2], vy = gdy[3];
    rsqr_start r;
    r.q = fx_round(f * (c * c + a * a));
    r.gx = fx_round(f * (vx * (2.0f * c) + (2.0f * a) * ux));
    r.gy = fx_round(f * (vy * (2.0f * c) + (2.0f * a) * uy));
    return r;
}

// The shade indices (128 r^2) that pixels of the triangle can take: r^2 over
// the phong coordinates its three vertices span, from the squared distance of
// their bounding box to the origin up to the largest vertex value, widened by
// what the fixed-point walk adds (the reciprocal table and the squared
// reciprocal stepped linearly inside spans raise the index, the truncations
// lower it by a few units). On slivers the walk's huge gradients can carry the
// index far outside; the pixels then shade like the vertices instead of
// reading the table's ends. The cubic variant's index never exceeds 127.
template <typename V>
inline void phong_index_range(const V* v, bool cubic, int32_t* lo, int32_t* hi)
{
    float r2_max = 0.0f, u_lo = 0.0f, u_hi = 0.0f, v_lo = 0.0f, v_hi = 0.0f;
    for (int i = 0; i < 3; i++) {
        const float w = 1.0f / v[i].w;
        const float pu = v[i].ps[2] * w, pv = v[i].ps[3] * w;
        const float r2 = pu * pu + pv * pv;
        if (!(r2 <= r2_max))
            r2_max = r2;
        u_lo = i == 0 || pu < u_lo ? pu : u_lo;
        u_hi = i == 0 || pu > u_hi ? pu : u_hi;
        v_lo = i == 0 || pv < v_lo ? pv : v_lo;
        v_hi = i == 0 || pv > v_hi ? pv : v_hi;
    }
    const float du = u_lo > 0.0f ? u_lo : (u_hi < 0.0f ? -u_hi : 0.0f);
    const float dv = v_lo > 0.0f ? v_lo : (v_hi < 0.0f ? -v_hi : 0.0f);
    const float d2 = du * du + dv * dv;
    const int32_t i_lo = -N3D_PHONG_LUT_PAD, i_hi = cubic ? 127 : N3D_PHONG_LUT_ENTRIES - 1 + N3D_PHONG_LUT_PAD;
    const float f_lo = 128.0f * d2 * 0.9375f - 2.0f, f_hi = 128.0f * r2_max * 1.125f + 2.0f;
    *hi = f_hi < static_cast<float>(i_hi) ? static_cast<int32_t>(f_hi) + 1 : i_hi;
    *lo = f_lo > static_cast<float>(i_lo) ? (f_lo < static_cast<float>(*hi) ? static_cast<int32_t>(f_lo) : *hi) : i_lo;
}

}  // namespace n3d_tri

template <n3d_tri_features F>
int n3d_tri_ex(n3d_rasterizer_args* args)
{
    using namespace n3d_tri;
    static_assert(!(F.phong && F.affine), "phong shading needs the per-pixel reciprocal");
    static_assert(!F.cubic || (F.phong && F.depth), "the cubic r-squared variant is a phong depth variant");
    using vtx = std::conditional_t<F.phong, n3d_vertex_ex4, n3d_vertex_ex2>;
    constexpr int PS = F.phong ? 4 : 2;

    n3d_profileblock* pb = args->rasterizer->profileblocks;
    pb[0].t0 = cycles_measure_get();

    // Vertex order: top (smallest y, then smaller x, then lower index), bottom
    // (first of the largest y), left and right as the winding gives them.
    const vtx* v = static_cast<const vtx*>(args->vertices);
    int t = 0;
    for (int i = 1; i < 3; i++)
        if (v[i].y < v[t].y || (v[i].y == v[t].y && v[i].x < v[t].x))
            t = i;
    int b = 0;
    for (int i = 1; i < 3; i++)
        if (v[i].y > v[b].y)
            b = i;
    const int l = (t + 1) % 3, r = (t + 2) % 3;
    const int m = (r == b) ? l : r;
    const bool is_part1_left = (l != b);
    float iw_min = v[0].w;
    for (int i = 1; i < 3; i++)
        if (v[i].w < iw_min)
            iw_min = v[i].w;
    const vtx& vt = v[t];
    const vtx& vl = v[l];
    const vtx& vr = v[r];
    const vtx& vm = v[m];
    const vtx& vb = v[b];
    const float* gdx = args->gradients_dx;
    const float* gdy = args->gradients_dy;

    // Depth scale and rejection of too deep triangles.
    float k_lut = 0.0f;
    if constexpr (!F.affine) {
        k_lut = 480.0f * args->min_w;
        if (k_lut > 4096.0f)
            k_lut = 4096.0f;
        fx iwk = fx_round(1024.0f * iw_min * k_lut);
        if ((iwk >> 14).i() < 3)
            return 0;
    }

    const n3d_texture* tex = args->textures[0];
    if (static_cast<unsigned>(tex->w_log2) > 8u || static_cast<unsigned>(tex->h_log2) > 8u)
        n3d_crash("src/n3d/raster", __LINE__,
                  "texture of 2^%d x 2^%d texels is larger than the rasterizers read (256 x 256)\n", tex->w_log2,
                  tex->h_log2);
    const float su = static_cast<float>((1 << tex->w_log2) - 1);
    const float sv = static_cast<float>((1 << tex->h_log2) - 1);
    const float kf = F.affine ? 1024.0f : 2.0f * k_lut;

    tri_state s{};
    s.kdx[0] = fx_round(gdx[0] * su * kf);
    s.kdx[1] = fx_round(gdx[1] * sv * kf);
    s.kdy[0] = fx_round(gdy[0] * su * kf);
    s.kdy[1] = fx_round(gdy[1] * sv * kf);
    fx part0_k[2] = {fx_round(vt.ps[0] * su * kf), fx_round(vt.ps[1] * sv * kf)};
    fx part1_k[2] = {fx_round(vl.ps[0] * su * kf), fx_round(vl.ps[1] * sv * kf)};
    fx part0_iwk = 0, part1_iwk = 0;
    s.iwk_dx = 0;
    s.iwk_dy = 0;
    if constexpr (!F.affine) {
        s.iwk_dx = fx_round(1024.0f * gdx[PS] * k_lut);
        s.iwk_dy = fx_round(1024.0f * gdy[PS] * k_lut);
        part0_iwk = fx_round(1024.0f * vt.w * k_lut);
        part1_iwk = fx_round(1024.0f * vl.w * k_lut);
    }
    fx part0_zb = 0, part1_zb = 0;
    s.zb_dx = 0;
    s.zb_dy = 0;
    if constexpr (F.depth) {
        s.zb_dx = fx_round(gdx[PS] * 8192.0f);
        s.zb_dy = fx_round(gdy[PS] * 8192.0f);
        part0_zb = fx_round(vt.w * 8192.0f);
        part1_zb = fx_round(vl.w * 8192.0f);
    }
    rsqr_start part0_rs{}, part1_rs{};
    s.hxx = s.hyy = s.hxy = 0;
    if constexpr (F.phong) {
        const float f = 128.0f * (k_lut * k_lut);
        part0_rs = rsqr_at(vt, gdx, gdy, f);
        part1_rs = rsqr_at(vl, gdx, gdy, f);
        float ux = gdx[2], vx = gdx[3], uy = gdy[2], vy = gdy[3];
        s.hxx = fx_round(f * (vx * (2.0f * vx) + (2.0f * ux) * ux));
        s.hyy = fx_round(f * (vy * (2.0f * vy) + (2.0f * uy) * uy));
        s.hxy = fx_round(f * (vy * (2.0f * vx) + (2.0f * ux) * uy));
        phong_index_range(v, F.cubic, &s.phong_lo, &s.phong_hi);
    }

    // Edges: t->l, t->r, and the lower edge m->b.
    const fx l_x0_fp = fx_round(vt.x * 256.0f);
    fx l_dx_fp = fx_round((vl.x - vt.x) * 1024.0f), l_dy_fp = fx_round((vl.y - vt.y) * 1024.0f);
    const fx r_x0_fp = fx_round(vt.x * 256.0f);
    fx r_dx_fp = fx_round((vr.x - vt.x) * 1024.0f), r_dy_fp = fx_round((vr.y - vt.y) * 1024.0f);
    const fx part1_x0_fp = fx_round(vm.x * 256.0f), part1_y0_fp = fx_round(vm.y * 256.0f);
    const fx part1_dx_fp = fx_round((vb.x - vm.x) * 1024.0f), part1_dy_fp = fx_round((vb.y - vm.y) * 1024.0f);
    const fx part0_y0_fp = fx_round(vt.y * 256.0f);
    const fx part0_pc_y0_fp = pc_row(vt.y), part1_pc_y0_fp = pc_row(vm.y), part1_pc_y1_fp = pc_row(vb.y);

    // Texture level and its bounds.
    int u_mipdown = 0, v_mipdown = 0;
    if constexpr (F.mipconst) {
        int32_t du = (s.kdx[0] >> 18).i(), dv = (s.kdx[1] >> 18).i();
        uint32_t au = static_cast<uint32_t>(du < 0 ? -du : du) >> 4;
        uint32_t av = static_cast<uint32_t>(dv < 0 ? -dv : dv) >> 4;
        int lu = au ? 31 - ppc_cntlze(au) : 0;
        int lv = av ? 31 - ppc_cntlze(av) : 0;
        // Never below the chain's smallest level (4 texels with mips; level 0 without).
        int u_lim = tex->w_log2 - (tex->min_u_level > 2 ? tex->min_u_level : 2);
        int v_lim = tex->h_log2 - (tex->min_v_level > 2 ? tex->min_v_level : 2);
        u_mipdown = lu < u_lim ? lu : u_lim;
        v_mipdown = lv < v_lim ? lv : v_lim;
        if (u_mipdown < 0)
            u_mipdown = 0;
        if (v_mipdown < 0)
            v_mipdown = 0;
        s.kdx[0] = s.kdx[0] >> u_mipdown;
        s.kdy[0] = s.kdy[0] >> u_mipdown;
        part0_k[0] = part0_k[0] >> u_mipdown;
        part1_k[0] = part1_k[0] >> u_mipdown;
        s.kdx[1] = s.kdx[1] >> v_mipdown;
        s.kdy[1] = s.kdy[1] >> v_mipdown;
        part0_k[1] = part0_k[1] >> v_mipdown;
        part1_k[1] = part1_k[1] >> v_mipdown;
    }
    s.texel_bytes = tex->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)];
    const uint32_t u_max = (1u << (tex->w_log2 - u_mipdown)) - 1u;
    const uint32_t v_max = (1u << (tex->h_log2 - v_mipdown)) - 1u;
    s.u_max16 = fx(static_cast<int32_t>(u_max * 16u));
    s.v_max16 = fx(static_cast<int32_t>(v_max * 16u));
    s.index_mask = (v_max & 3u) | (u_max & 63u) << 2 | ((v_max >> 2) & 63u) << 8 | ((u_max >> 6) & 3u) << 14;
    s.palette = static_cast<const uint16_t*>(tex->palette);
    s.shade_table = static_cast<const uint16_t*>(tex->shade_table);
    s.phong_lut = F.phong ? args->phong_luts[0] : nullptr;
    // The wide kernel reads texels as aligned 4-byte words: levels of 4 rows and more.
    s.wide = v_max >= 3 ? g_n3d_raster_wide : N3D_RASTER_SCALAR;

    n3d_frame_context* fc = args->fc;
    if constexpr (F.depth) {
        if (fc->db->w > 512 || (fc->db->w & 15) != 0)
            n3d_crash("src/n3d/raster", __LINE__,
                      "depth buffer %d wide: the depth rasterizers serve widths that are multiples of 16 up to 512\n",
                      fc->db->w);
    }

    {
        cycles_t now = cycles_measure_get();
        pb[0].sum += now - pb[0].t0;
        pb[0].hits += 1;
        pb[1].t0 = now;
    }

    // Nothing is drawn outside [0, x_lim) x [0, y_lim), whatever the set-up
    // arithmetic gives: spans and rows are cut to the target and its buffers.
    int32_t x_lim = fc->fb->w, y_lim = fc->fb->h;
    if constexpr (F.cov_read || F.cov_write) {
        x_lim = fc->cb->w < x_lim ? fc->cb->w : x_lim;
        y_lim = fc->cb->h < y_lim ? fc->cb->h : y_lim;
    }
    if constexpr (F.depth) {
        x_lim = fc->db->w < x_lim ? fc->db->w : x_lim;
        y_lim = fc->db->h < y_lim ? fc->db->h : y_lim;
    }
    x_lim = x_lim > 0 ? x_lim : 0;
    y_lim = y_lim > 0 ? y_lim : 0;

    // Row pointers from the first row on.
    int32_t y0 = (part0_pc_y0_fp >> 8).i() > 0 ? (part0_pc_y0_fp >> 8).i() : 0;
    y0 = y0 < y_lim ? y0 : y_lim;
    s.row_bytes = fc->fb->row_bytes;
    s.dst_row = static_cast<uint8_t*>(fc->fb->b) + static_cast<intptr_t>(y0) * s.row_bytes;
    s.cov_row = nullptr;
    s.cov_row_words = 0;
    if constexpr (F.cov_read || F.cov_write) {
        s.cov_row = fc->cb->u32 + ((static_cast<int64_t>(fc->cb->w) * y0) >> 5);
        s.cov_row_words = fc->cb->w / 32;
    }
    s.z_row = nullptr;
    s.zmask_row = nullptr;
    s.z_row_values = 0;
    if constexpr (F.depth) {
        s.z_row_values = fc->db->w;
        s.z_row = fc->db->u16 + static_cast<intptr_t>(y0) * fc->db->w;
        s.zmask_row = fc->db->cb_cache_zeroed.u32 + y0;
    }

    edge el{}, er{};
    bool l_ok = false, r_ok = false;
    fx l_x0 = l_x0_fp, l_y0 = part0_y0_fp, r_x0 = r_x0_fp, r_y0 = part0_y0_fp;

    // Carries the left edge's parameters to the first pixel centre of its first row.
    auto left_setup = [&](const fx* k0, fx iwk0, fx zb0, const rsqr_start& rs0) {
        fx x_sub = fx(el.pc_x) * 256 - el.x0_fp;
        fx x_int = fx_div(x_sub, 256);
        x_sub -= x_int * 256;
        const fx y_sub = el.y_sub, y_int = el.y_int;
        const fx xs = fx(el.x_step);
        for (int k = 0; k < 2; k++) {
            s.lk[k] = k0[k] + ((s.kdy[k] * y_sub + s.kdx[k] * x_sub) >> 8) + s.kdx[k] * x_int + s.kdy[k] * y_int;
            s.lk_step[k] = s.kdy[k] + s.kdx[k] * xs;
        }
        s.liwk = iwk0 + ((y_sub * s.iwk_dy + x_sub * s.iwk_dx) >> 8) + x_int * s.iwk_dx + y_int * s.iwk_dy;
        s.liwk_step = s.iwk_dy + s.iwk_dx * xs;
        s.lzb = zb0 + ((y_sub * s.zb_dy + x_sub * s.zb_dx) >> 8) + x_int * s.zb_dx + y_int * s.zb_dy;
        s.lzb_step = s.zb_dy + s.zb_dx * xs;
        if constexpr (F.phong) {
            const fx hxx = s.hxx, hyy = s.hyy, hxy = s.hxy;
            const fx sx = x_sub, sy = y_sub, xi = x_int, yi = y_int;
            fx q = rs0.q + ((((((sx * sx) >> 1) * hxx + sy * sx * hxy + ((sy * sy) >> 1) * hyy) >> 8) + sx * rs0.gx +
                             sy * rs0.gy) >>
                            8);
            fx gx = rs0.gx + ((hxx * sx + hxy * sy) >> 8);
            fx gy = rs0.gy + ((hxy * sx + hyy * sy) >> 8);
            if (xi.i() != 0) {
                q += xi * rs0.gx + ((xi * xi) >> 1) * hxx + ((xi * sx * hxx + xi * sy * hxy) >> 8);
                gx += hxx * xi;
                gy += hxy * xi;
            }
            if (yi.i() != 0) {
                q += yi * rs0.gy + yi * xi * hxy + ((yi * sx * hxy + yi * sy * hyy) >> 8) + ((yi * yi) >> 1) * hyy;
                gx += hxy * yi;
                gy += hyy * yi;
            }
            const fx n = xs;
            const fx hh = fx_half(hxx), hv = fx_half(hyy);
            rsqr_walk& w = s.rs;
            w.q = q;
            w.step = gx * n + gy + hh * n * n + hxy * n + hv;
            w.c2 = hxx * n * n + fx(2) * hxy * n + hyy;
            w.c3 = hxx * n + hxy;
            w.extra = gx * (n + 1) + gy + hh * (n * n + fx(2) * n + 1) + hxy * (n + 1) + hv;
            w.d2 = hxx * (n * n + n) + hxy * (fx(2) * n + 1) + hyy;
            w.d3 = hxx * (n + 1) + hxy;
            w.span = gx + hh;
            w.e2 = hxx * n + hxy;
            w.e3 = hxx;
        } else {
            (void)rs0;
        }
    };

    // The rows [ys, ye) of one part. With an edge not set up (a sliver whose
    // height rounds to 0) the rows are walked without drawing.
    auto run_rows_with = [&](int32_t ys, int32_t ye, auto clip) {
        pb[2].t0 = cycles_measure_get();
        const bool draw = l_ok && r_ok;
        // The edges are walked for a batch of rows, then the batch's scanlines are
        // drawn under one pair of counter reads: "inner_scanline" keeps the cycles
        // of drawing them and their count, without two reads a row.
        row_rec recs[ROW_BATCH];
        // The walk runs on local copies, written back at the end: the edges and
        // the left edge's values stay in registers instead of being stored field by
        // field and read back as the batch records are built.
        edge le = el, re = er;
        fx lk0 = s.lk[0], lk1 = s.lk[1], liwk = s.liwk, lzb = s.lzb;
        rsqr_walk rw = s.rs;
        uint8_t* dst_row = s.dst_row;
        uint32_t* cov_row = s.cov_row;
        uint16_t* z_row = s.z_row;
        uint32_t* zmask_row = s.zmask_row;
        const fx lk_step0 = s.lk_step[0], lk_step1 = s.lk_step[1], kdx0 = s.kdx[0], kdx1 = s.kdx[1];
        const fx liwk_step = s.liwk_step, lzb_step = s.lzb_step, iwk_dx = s.iwk_dx, zb_dx = s.zb_dx;
        const int32_t x_end = x_lim;
        int32_t y = ys;
        while (y < ye) {
            tri_state d = s;  // the batch's first row
            d.dst_row = dst_row;
            d.cov_row = cov_row;
            d.z_row = z_row;
            d.zmask_row = zmask_row;
            d.rs = rw;
            int32_t cnt = 0;
            for (const int32_t y_first = y; y < ye && cnt < ROW_BATCH; y++) {
                if (draw) {
                    if constexpr (clip.value) {
                        const int32_t x0 = le.pc_x, x1 = re.pc_x < x_end ? re.pc_x : x_end;
                        if (x0 < x1 && x1 > 0) {
                            recs[cnt] = row_rec{y - y_first, x0, x1, lk0, lk1, liwk, lzb, rw.q, rw.span};
                            if (x0 < 0)
                                row_rec_clip_left<F>(s, &recs[cnt]);
                            cnt++;
                        }
                    } else {
                        const int32_t x0 = le.pc_x, x1 = re.pc_x;
                        if (x0 < x1)
                            recs[cnt++] = row_rec{y - y_first, x0, x1, lk0, lk1, liwk, lzb, rw.q, rw.span};
                    }
                }
                if (l_ok) {
                    bool carry = edge_step(&le);
                    lk0 += lk_step0;
                    lk1 += lk_step1;
                    if constexpr (F.depth)
                        lzb += lzb_step;
                    if (carry) {
                        lk0 += kdx0;
                        lk1 += kdx1;
                        liwk += iwk_dx;
                        if constexpr (F.depth)
                            lzb += zb_dx;
                    }
                    liwk += liwk_step;
                    if constexpr (F.phong) {
                        if (carry) {
                            rw.q += rw.extra;
                            rw.step += rw.c2 + rw.c3;
                            rw.extra += rw.d2 + rw.d3;
                            rw.span += rw.e2 + rw.e3;
                        } else {
                            rw.q += rw.step;
                            rw.step += rw.c2;
                            rw.extra += rw.d2;
                            rw.span += rw.e2;
                        }
                    }
                }
                if (r_ok)
                    edge_step(&re);
                dst_row += s.row_bytes;
                if constexpr (F.cov_read || F.cov_write)
                    cov_row += s.cov_row_words;
                if constexpr (F.depth) {
                    z_row += s.z_row_values;
                    zmask_row += 1;
                }
            }
            if (cnt == 0)
                continue;
            pb[3].t0 = cycles_measure_get();
#ifdef N3D_TRI_WIDE
            if (d.wide == N3D_RASTER_AVX512) {
                scanlines_x16<F>(d, recs, cnt);
                pb[3].sum += cycles_measure_get_delta(pb[3].t0);
                pb[3].hits += static_cast<unsigned>(cnt);
                continue;
            }
#endif
            const tri_state first = d;
            for (int32_t i = 0; i < cnt; i++) {
                const row_rec& rr = recs[i];
                row_rec_take<F>(d, first, rr);
                scanline<F>(d, rr.x0, rr.x1);
                if constexpr (F.cov_write)
                    coverage_write_span(d.cov_row, rr.x0, rr.x1);
            }
            pb[3].sum += cycles_measure_get_delta(pb[3].t0);
            pb[3].hits += static_cast<unsigned>(cnt);
        }
        el = le;
        er = re;
        s.lk[0] = lk0;
        s.lk[1] = lk1;
        s.liwk = liwk;
        s.lzb = lzb;
        s.rs = rw;
        s.dst_row = dst_row;
        s.cov_row = cov_row;
        s.z_row = z_row;
        s.zmask_row = zmask_row;
        pb[2].sum += cycles_measure_get_delta(pb[2].t0);
        pb[2].hits += 1;
    };

    // Spans are cut to the target's columns only where an edge can reach
    // outside them: vertices within 2 pixels of a side, or an edge so flat
    // that the up to 1/256 pixel its walk starts above its first vertex moves
    // it that far; elsewhere the rows are walked without the cut.
    bool clip_x = true;
    {
        float x_min = v[0].x, x_max = v[0].x, slope = 0.0f;
        bool flat = false;
        for (int i = 0; i < 3; i++) {
            x_min = v[i].x < x_min ? v[i].x : x_min;
            x_max = v[i].x > x_max ? v[i].x : x_max;
            const vtx& a = v[i];
            const vtx& c = v[i == 2 ? 0 : i + 1];
            const float dx = a.x > c.x ? a.x - c.x : c.x - a.x, dy = a.y > c.y ? a.y - c.y : c.y - a.y;
            if (!(dx <= 64.0f * dy))
                flat = true;
            else if (dx > slope * dy)
                slope = dx / dy;
        }
        const float reach = slope * (1.0f / 128.0f) + 2.0f;
        clip_x = flat || !(x_min - reach >= 0.0f && x_max + reach <= static_cast<float>(x_lim));
    }
    auto run_rows = [&](int32_t ys, int32_t ye) {
        if (clip_x)
            run_rows_with(ys, ye, std::true_type{});
        else
            run_rows_with(ys, ye, std::false_type{});
    };

    // Part 0: from the top vertex down to the middle vertex's row.
    {
        const int32_t ys = (part0_pc_y0_fp >> 8).i() > 0 ? (part0_pc_y0_fp >> 8).i() : 0;
        int32_t ye = (part1_pc_y0_fp >> 8).i() > 0 ? (part1_pc_y0_fp >> 8).i() : 0;
        ye = ye < y_lim ? ye : y_lim;
        const fx pc_y_fp = part0_pc_y0_fp.i() > 0 ? part0_pc_y0_fp : fx(0);
        if (r_dy_fp.i() > 0) {
            edge_setup(&er, r_x0, r_y0, r_dx_fp, r_dy_fp, pc_y_fp);
            r_ok = true;
        }
        if (l_dy_fp.i() > 0) {
            edge_setup(&el, l_x0, l_y0, l_dx_fp, l_dy_fp, pc_y_fp);
            left_setup(part0_k, part0_iwk, part0_zb, part0_rs);
            l_ok = true;
        }
        if (ys < ye)
            run_rows(ys, ye);
    }
    // Part 1: the side with the break takes the lower edge.
    {
        int32_t ys = (part1_pc_y0_fp >> 8).i() > 0 ? (part1_pc_y0_fp >> 8).i() : 0;
        int32_t ye = (part1_pc_y1_fp >> 8).i() > 0 ? (part1_pc_y1_fp >> 8).i() : 0;
        ys = ys < y_lim ? ys : y_lim;
        ye = ye < y_lim ? ye : y_lim;
        if (ys < ye) {
            const fx pc_y_fp = part1_pc_y0_fp.i() > 0 ? part1_pc_y0_fp : fx(0);
            if (is_part1_left) {
                l_x0 = part1_x0_fp;
                l_y0 = part1_y0_fp;
                l_dx_fp = part1_dx_fp;
                l_dy_fp = part1_dy_fp;
                l_ok = false;
                if (part1_dy_fp.i() > 0) {
                    edge_setup(&el, l_x0, l_y0, l_dx_fp, l_dy_fp, pc_y_fp);
                    left_setup(part1_k, part1_iwk, part1_zb, part1_rs);
                    l_ok = true;
                }
            } else {
                r_x0 = part1_x0_fp;
                r_y0 = part1_y0_fp;
                r_dx_fp = part1_dx_fp;
                r_dy_fp = part1_dy_fp;
                r_ok = false;
                if (part1_dy_fp.i() > 0) {
                    edge_setup(&er, r_x0, r_y0, r_dx_fp, r_dy_fp, pc_y_fp);
                    r_ok = true;
                }
            }
            if (l_dy_fp.i() != 0 && r_dy_fp.i() != 0 && l_ok && r_ok)
                run_rows(ys, ye);
        }
    }

    pb[1].sum += cycles_measure_get_delta(pb[1].t0);
    pb[1].hits += 1;
    return 1;
}
