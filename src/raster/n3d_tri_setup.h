// The triangle body's set-up and edge walk: the fixed-point arithmetic every
// path shares, the per-triangle state, the steps that turn a rasterizer's
// arguments into that state (vertex order, depth scale, per-pixel steps, texture
// level, edges, the target's bounds) and the walk of the left and right edges
// down a part's rows into batches of row records. The pixel paths draw those
// rows (n3d_tri_ex.h says how). All fixed-point sums and products wrap in 32 bits.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/cpu_features.h"
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
    int wide;  // CPU_LEVEL_*: the pixel path (the wide ones need levels at least 4 texels high)
};

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

// The corners in drawing order: top (smallest y, then smaller x, then lower
// index), bottom (first of the largest y), left and right as the winding gives
// them, the middle one (the lower end of the side without the bottom), and
// whether the break between the parts lies on the left.
struct tri_order {
    int t, b, l, r, m;
    bool is_part1_left;
};

template <typename V>
__attribute__((always_inline)) inline tri_order tri_order_of(const V* v)
{
    tri_order o;
    o.t = 0;
    for (int i = 1; i < 3; i++)
        if (v[i].y < v[o.t].y || (v[i].y == v[o.t].y && v[i].x < v[o.t].x))
            o.t = i;
    o.b = 0;
    for (int i = 1; i < 3; i++)
        if (v[i].y > v[o.b].y)
            o.b = i;
    o.l = (o.t + 1) % 3;
    o.r = (o.t + 2) % 3;
    o.m = (o.r == o.b) ? o.l : o.r;
    o.is_part1_left = (o.l != o.b);
    return o;
}

// The values a left edge starts from, at its upper vertex: texture
// coordinates, scaled 1/w, depth and the phong quadratic.
struct tri_start {
    fx k[2];
    fx iwk, zb;
    rsqr_start rs;
};

// One edge from (x0, y0) (24.8) by (dx, dy) (22.10).
struct tri_edge {
    fx x0, y0, dx, dy;
};

// Everything the steps of one triangle share.
struct tri_job {
    tri_state s;
    n3d_profileblock* pb;
    tri_start part0, part1;           // at the top vertex and at the left one
    tri_edge l, r, lower;             // t->l, t->r and m->b; part 1 puts lower in place of one side
    fx pc_y_top, pc_y_mid, pc_y_bot;  // first whole rows (24.8) at or below t, m and b
    bool is_part1_left;
    int32_t x_lim, y_lim;  // nothing is drawn outside [0, x_lim) x [0, y_lim)
    bool clip_x;           // rows are cut to [0, x_lim)
    edge el, er;
    bool l_ok, r_ok;  // the edge is set up (its height did not round to 0)
};

// Edges: t->l and t->r in 24.8 from the top vertex, the lower edge m->b, and
// the first whole rows at or below the top, middle and bottom vertices.
template <typename V>
__attribute__((always_inline)) inline void tri_edges(const V* v, const tri_order& o, tri_job* j)
{
    const V& vt = v[o.t];
    const V& vl = v[o.l];
    const V& vr = v[o.r];
    const V& vm = v[o.m];
    const V& vb = v[o.b];
    const fx top_y0 = fx_round(vt.y * 256.0f);
    j->l = {fx_round(vt.x * 256.0f), top_y0, fx_round((vl.x - vt.x) * 1024.0f), fx_round((vl.y - vt.y) * 1024.0f)};
    j->r = {fx_round(vt.x * 256.0f), top_y0, fx_round((vr.x - vt.x) * 1024.0f), fx_round((vr.y - vt.y) * 1024.0f)};
    j->lower = {fx_round(vm.x * 256.0f), fx_round(vm.y * 256.0f), fx_round((vb.x - vm.x) * 1024.0f),
                fx_round((vb.y - vm.y) * 1024.0f)};
    j->pc_y_top = pc_row(vt.y);
    j->pc_y_mid = pc_row(vm.y);
    j->pc_y_bot = pc_row(vb.y);
    j->is_part1_left = o.is_part1_left;
}

// Set-up, depth: the scale of 1/w for the reciprocal table, 0 for the affine
// variant; false for a triangle too deep for the table (it is refused).
template <n3d_tri_features F>
__attribute__((always_inline)) inline bool tri_depth_scale(const n3d_rasterizer_args* args, float iw_min, float* k_lut)
{
    *k_lut = 0.0f;
    if constexpr (!F.affine) {
        *k_lut = 480.0f * args->min_w;
        if (*k_lut > 4096.0f)
            *k_lut = 4096.0f;
        fx iwk = fx_round(1024.0f * iw_min * *k_lut);
        if ((iwk >> 14).i() < 3)
            return false;
    }
    return true;
}

// Set-up, per pixel: the x and y steps of every parameter and their values at
// the two vertices where left edges start.
template <n3d_tri_features F, typename V>
__attribute__((always_inline)) inline void tri_gradients(const n3d_rasterizer_args* args, const V& vt, const V& vl,
                                                         float k_lut, float su, float sv, tri_job* j)
{
    constexpr int PS = F.phong ? 4 : 2;
    const float* gdx = args->gradients_dx;
    const float* gdy = args->gradients_dy;
    const float kf = F.affine ? 1024.0f : 2.0f * k_lut;
    tri_state& s = j->s;
    s.kdx[0] = fx_round(gdx[0] * su * kf);
    s.kdx[1] = fx_round(gdx[1] * sv * kf);
    s.kdy[0] = fx_round(gdy[0] * su * kf);
    s.kdy[1] = fx_round(gdy[1] * sv * kf);
    j->part0.k[0] = fx_round(vt.ps[0] * su * kf);
    j->part0.k[1] = fx_round(vt.ps[1] * sv * kf);
    j->part1.k[0] = fx_round(vl.ps[0] * su * kf);
    j->part1.k[1] = fx_round(vl.ps[1] * sv * kf);
    j->part0.iwk = j->part1.iwk = 0;
    s.iwk_dx = 0;
    s.iwk_dy = 0;
    if constexpr (!F.affine) {
        s.iwk_dx = fx_round(1024.0f * gdx[PS] * k_lut);
        s.iwk_dy = fx_round(1024.0f * gdy[PS] * k_lut);
        j->part0.iwk = fx_round(1024.0f * vt.w * k_lut);
        j->part1.iwk = fx_round(1024.0f * vl.w * k_lut);
    }
    j->part0.zb = j->part1.zb = 0;
    s.zb_dx = 0;
    s.zb_dy = 0;
    if constexpr (F.depth) {
        s.zb_dx = fx_round(gdx[PS] * 8192.0f);
        s.zb_dy = fx_round(gdy[PS] * 8192.0f);
        j->part0.zb = fx_round(vt.w * 8192.0f);
        j->part1.zb = fx_round(vl.w * 8192.0f);
    }
    j->part0.rs = j->part1.rs = rsqr_start{};
    s.hxx = s.hyy = s.hxy = 0;
    if constexpr (F.phong) {
        const float f = 128.0f * (k_lut * k_lut);
        j->part0.rs = rsqr_at(vt, gdx, gdy, f);
        j->part1.rs = rsqr_at(vl, gdx, gdy, f);
        float ux = gdx[2], vx = gdx[3], uy = gdy[2], vy = gdy[3];
        s.hxx = fx_round(f * (vx * (2.0f * vx) + (2.0f * ux) * ux));
        s.hyy = fx_round(f * (vy * (2.0f * vy) + (2.0f * uy) * uy));
        s.hxy = fx_round(f * (vy * (2.0f * vx) + (2.0f * ux) * uy));
    }
}

// Set-up, texture: the mip level (one per triangle from the x steps, for the
// mipconst variant; level 0 otherwise) with the steps and start values scaled
// to it, its texels and bounds, the tables, and the pixel path: the level of
// cpu_level(), scalar for levels under 4 rows (the wide paths read texels as
// aligned 4-byte words).
template <n3d_tri_features F>
__attribute__((always_inline)) inline void tri_texture_level(const n3d_rasterizer_args* args, const n3d_texture* tex,
                                                             tri_job* j)
{
    tri_state& s = j->s;
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
        j->part0.k[0] = j->part0.k[0] >> u_mipdown;
        j->part1.k[0] = j->part1.k[0] >> u_mipdown;
        s.kdx[1] = s.kdx[1] >> v_mipdown;
        s.kdy[1] = s.kdy[1] >> v_mipdown;
        j->part0.k[1] = j->part0.k[1] >> v_mipdown;
        j->part1.k[1] = j->part1.k[1] >> v_mipdown;
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
    s.wide = v_max >= 3 ? cpu_level() : CPU_LEVEL_SCALAR;
}

// Set-up, whole: false when the triangle is refused (too deep). Textures
// larger than 256 x 256 texels and depth buffers the depth variants cannot
// serve stop through the crash path.
template <n3d_tri_features F, typename V>
__attribute__((always_inline)) inline bool tri_set_up(const n3d_rasterizer_args* args, const V* v, const tri_order& o,
                                                      tri_job* j)
{
    float iw_min = v[0].w;
    for (int i = 1; i < 3; i++)
        if (v[i].w < iw_min)
            iw_min = v[i].w;
    float k_lut;
    if (!tri_depth_scale<F>(args, iw_min, &k_lut))
        return false;

    const n3d_texture* tex = args->textures[0];
    if (static_cast<unsigned>(tex->w_log2) > 8u || static_cast<unsigned>(tex->h_log2) > 8u)
        n3d_crash("src/n3d/raster", 1445,
                  "texture of 2^%d x 2^%d texels is larger than the rasterizers read (256 x 256)\n", tex->w_log2,
                  tex->h_log2);
    const float su = static_cast<float>((1 << tex->w_log2) - 1);
    const float sv = static_cast<float>((1 << tex->h_log2) - 1);
    tri_gradients<F>(args, v[o.t], v[o.l], k_lut, su, sv, j);
    if constexpr (F.phong)
        phong_index_range(v, F.cubic, &j->s.phong_lo, &j->s.phong_hi);
    tri_edges(v, o, j);
    tri_texture_level<F>(args, tex, j);

    const n3d_frame_context* fc = args->fc;
    if constexpr (F.depth) {
        if (fc->db->w > 512 || (fc->db->w & 15) != 0)
            n3d_crash("src/n3d/raster", 1541,
                      "depth buffer %d wide: the depth rasterizers serve widths that are multiples of 16 up to 512\n",
                      fc->db->w);
    }
    return true;
}

// Set-up, target: its bounds (the framebuffer's, cut to the coverage and depth
// buffers the variant uses), the row pointers at the first row, and whether
// rows are cut to the target's columns. They are only where an edge can reach
// outside them: vertices within 2 pixels of a side, or an edge so flat that the
// up to 1/256 pixel its walk starts above its first vertex moves it that far;
// elsewhere the rows are walked without the cut.
template <n3d_tri_features F, typename V>
__attribute__((always_inline)) inline void tri_target(const n3d_frame_context* fc, const V* v, tri_job* j)
{
    tri_state& s = j->s;
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
    j->x_lim = x_lim;
    j->y_lim = y_lim;

    int32_t y0 = (j->pc_y_top >> 8).i() > 0 ? (j->pc_y_top >> 8).i() : 0;
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

    float x_min = v[0].x, x_max = v[0].x, slope = 0.0f;
    bool flat = false;
    for (int i = 0; i < 3; i++) {
        x_min = v[i].x < x_min ? v[i].x : x_min;
        x_max = v[i].x > x_max ? v[i].x : x_max;
        const V& a = v[i];
        const V& c = v[i == 2 ? 0 : i + 1];
        const float dx = a.x > c.x ? a.x - c.x : c.x - a.x, dy = a.y > c.y ? a.y - c.y : c.y - a.y;
        if (!(dx <= 64.0f * dy))
            flat = true;
        else if (dx > slope * dy)
            slope = dx / dy;
    }
    const float reach = slope * (1.0f / 128.0f) + 2.0f;
    j->clip_x = flat || !(x_min - reach >= 0.0f && x_max + reach <= static_cast<float>(x_lim));
}

// Edges, left: carries the left edge's parameters from its upper vertex (st)
// to the first pixel centre of its first row, with their steps from row to row
// (the phong quadratic's differences along the walk included).
template <n3d_tri_features F>
inline void left_setup(tri_state& s, const edge& el, const tri_start& st)
{
    fx x_sub = fx(el.pc_x) * 256 - el.x0_fp;
    fx x_int = fx_div(x_sub, 256);
    x_sub -= x_int * 256;
    const fx y_sub = el.y_sub, y_int = el.y_int;
    const fx xs = fx(el.x_step);
    for (int k = 0; k < 2; k++) {
        s.lk[k] = st.k[k] + ((s.kdy[k] * y_sub + s.kdx[k] * x_sub) >> 8) + s.kdx[k] * x_int + s.kdy[k] * y_int;
        s.lk_step[k] = s.kdy[k] + s.kdx[k] * xs;
    }
    s.liwk = st.iwk + ((y_sub * s.iwk_dy + x_sub * s.iwk_dx) >> 8) + x_int * s.iwk_dx + y_int * s.iwk_dy;
    s.liwk_step = s.iwk_dy + s.iwk_dx * xs;
    s.lzb = st.zb + ((y_sub * s.zb_dy + x_sub * s.zb_dx) >> 8) + x_int * s.zb_dx + y_int * s.zb_dy;
    s.lzb_step = s.zb_dy + s.zb_dx * xs;
    if constexpr (F.phong) {
        const rsqr_start& rs0 = st.rs;
        const fx hxx = s.hxx, hyy = s.hyy, hxy = s.hxy;
        const fx sx = x_sub, sy = y_sub, xi = x_int, yi = y_int;
        fx q =
            rs0.q +
            ((((((sx * sx) >> 1) * hxx + sy * sx * hxy + ((sy * sy) >> 1) * hyy) >> 8) + sx * rs0.gx + sy * rs0.gy) >>
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
    }
}

// The edge walk down a part's rows, held in locals while a part's rows are
// walked and written back after: both edges, the left edge's values, the row
// pointers (the edges and values stay in registers instead of being stored
// field by field and read back as the batch records are built).
struct row_walk {
    edge le, re;
    fx lk0, lk1, liwk, lzb;
    rsqr_walk rw;
    uint8_t* dst_row;
    uint32_t* cov_row;
    uint16_t* z_row;
    uint32_t* zmask_row;
};

// The left edge's steps from row to row and along a row, copied out of the
// state for the same reason.
struct row_steps {
    fx lk_step0, lk_step1, kdx0, kdx1;
    fx liwk_step, lzb_step, iwk_dx, zb_dx;
};

__attribute__((always_inline)) inline row_walk row_walk_of(const tri_job& j)
{
    const tri_state& s = j.s;
    return row_walk{j.el, j.er, s.lk[0], s.lk[1], s.liwk, s.lzb, s.rs, s.dst_row, s.cov_row, s.z_row, s.zmask_row};
}

__attribute__((always_inline)) inline row_steps row_steps_of(const tri_state& s)
{
    return row_steps{s.lk_step[0], s.lk_step[1], s.kdx[0], s.kdx[1], s.liwk_step, s.lzb_step, s.iwk_dx, s.zb_dx};
}

__attribute__((always_inline)) inline void row_walk_put(const row_walk& w, tri_job* j)
{
    tri_state& s = j->s;
    j->el = w.le;
    j->er = w.re;
    s.lk[0] = w.lk0;
    s.lk[1] = w.lk1;
    s.liwk = w.liwk;
    s.lzb = w.lzb;
    s.rs = w.rw;
    s.dst_row = w.dst_row;
    s.cov_row = w.cov_row;
    s.z_row = w.z_row;
    s.zmask_row = w.zmask_row;
}

// One row down: the edges, the left edge's values (one more column step where
// the left edge carries) and the row pointers.
template <n3d_tri_features F>
__attribute__((always_inline)) inline void row_walk_step(const tri_state& s, const row_steps& k, bool l_ok, bool r_ok,
                                                         row_walk* w)
{
    if (l_ok) {
        bool carry = edge_step(&w->le);
        w->lk0 += k.lk_step0;
        w->lk1 += k.lk_step1;
        if constexpr (F.depth)
            w->lzb += k.lzb_step;
        if (carry) {
            w->lk0 += k.kdx0;
            w->lk1 += k.kdx1;
            w->liwk += k.iwk_dx;
            if constexpr (F.depth)
                w->lzb += k.zb_dx;
        }
        w->liwk += k.liwk_step;
        if constexpr (F.phong) {
            rsqr_walk& rw = w->rw;
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
        edge_step(&w->re);
    w->dst_row += s.row_bytes;
    if constexpr (F.cov_read || F.cov_write)
        w->cov_row += s.cov_row_words;
    if constexpr (F.depth) {
        w->z_row += s.z_row_values;
        w->zmask_row += 1;
    }
}

// Edges, batch: walks rows from *y (below ye) until ROW_BATCH rows are
// recorded, appending each row that has pixels (with draw) to recs: cut to
// [0, x_end) when Clip, the start of a row that begins left of the target
// moved to its first column. Returns the number recorded; *y is the next row.
template <n3d_tri_features F, bool Clip>
__attribute__((always_inline)) inline int32_t rows_walk(const tri_state& s, const row_steps& k, bool draw, bool l_ok,
                                                        bool r_ok, int32_t x_end, int32_t* y, int32_t ye, row_walk* w,
                                                        row_rec* recs)
{
    int32_t cnt = 0;
    for (const int32_t y_first = *y; *y < ye && cnt < ROW_BATCH; (*y)++) {
        if (draw) {
            if constexpr (Clip) {
                const int32_t x0 = w->le.pc_x, x1 = w->re.pc_x < x_end ? w->re.pc_x : x_end;
                if (x0 < x1 && x1 > 0) {
                    recs[cnt] = row_rec{*y - y_first, x0, x1, w->lk0, w->lk1, w->liwk, w->lzb, w->rw.q, w->rw.span};
                    if (x0 < 0)
                        row_rec_clip_left<F>(s, &recs[cnt]);
                    cnt++;
                }
            } else {
                const int32_t x0 = w->le.pc_x, x1 = w->re.pc_x;
                if (x0 < x1)
                    recs[cnt++] = row_rec{*y - y_first, x0, x1, w->lk0, w->lk1, w->liwk, w->lzb, w->rw.q, w->rw.span};
            }
        }
        row_walk_step<F>(s, k, l_ok, r_ok, w);
    }
    return cnt;
}

}  // namespace n3d_tri
