// The scalar pixel path of every variant against a model of the rasterizers'
// fixed-point rules written from their description alone (vertex order, set-up
// rounding, exact edge walk, left-edge carry, spans of 8, 4 and 2 with exact
// perspective values at their ends, the packed texture accumulator and its
// swizzled address, coverage, depth with its lazy line clear, the phong
// quadratic and its row walk, the cubic r-squared of the large-span variant and
// the per-triangle mip level), pixel by pixel and in plain 64-bit or wrapping
// 32-bit integers. Besides those rules the model holds the renderer's four
// limits: nothing outside the target (a row's start before column 0 carried
// there pixel by pixel, its end and the rows cut at the target), the phong
// index kept within what the triangle's vertices span, texel addresses kept
// inside the level, and the reciprocal table's index inside the table. Pixels, coverage words, depths and depth-line
// words must agree bit for bit after every triangle of fixed streams: the benchmark's, one that crosses every side of
// the target, one with phong and texture coordinates far out of range, and slivers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/cpu_features.h"
#include "support/raster_fixture.h"

namespace {

using u32 = uint32_t;
using i32 = int32_t;
using i64 = int64_t;

// Wrapping 32-bit arithmetic and arithmetic right shifts on the bit patterns.
inline i32 wadd(i32 a, i32 b) { return static_cast<i32>(static_cast<u32>(a) + static_cast<u32>(b)); }
inline i32 wsub(i32 a, i32 b) { return static_cast<i32>(static_cast<u32>(a) - static_cast<u32>(b)); }
inline i32 wmul(i32 a, i32 b) { return static_cast<i32>(static_cast<u32>(a) * static_cast<u32>(b)); }
inline i32 sra(i32 a, int s) { return a >> s; }
inline i32 shl(i32 a, int s) { return static_cast<i32>(static_cast<u32>(a) << s); }

// Round half away from zero, then the low 32 bits.
i32 round32(float f)
{
    const double d = f;
    if (!(d > -9.2e18 && d < 9.2e18))
        return INT32_MIN;
    const double r = d >= 0 ? std::floor(d + 0.5) : std::ceil(d - 0.5);
    return static_cast<i32>(static_cast<u32>(static_cast<uint64_t>(static_cast<i64>(r))));
}
i32 trunc32(float f)
{
    const double d = f;
    if (!(d > -9.2e18 && d < 9.2e18))
        return INT32_MIN;
    return static_cast<i32>(static_cast<u32>(static_cast<uint64_t>(static_cast<i64>(d))));
}
i64 floordiv(i64 a, i64 b)
{
    i64 q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
i64 modpos(i64 a, i64 b)
{
    i64 m = a % b;
    return m < 0 ? m + b : m;
}

// The variant table: texturing, texel, coverage read and write, depth, phong, extras.
struct model_variant {
    int flags;
    bool affine, texel16, cov_read, cov_write, depth, phong, mip, cubic;
};
const model_variant VARIANTS[15] = {
    {336, true, true, false, true, false, false, false, false},
    {80, false, true, false, true, false, false, false, false},
    {81, false, true, true, true, false, false, false, false},
    {48, false, false, false, true, false, false, false, false},
    {50, false, false, false, true, false, false, false, false},
    {51, false, false, true, true, false, false, false, false},
    {49, false, false, true, false, false, false, false, false},
    {179, false, false, true, true, false, true, false, false},
    {178, false, false, false, true, false, true, false, false},
    {190, false, false, false, true, true, true, false, false},
    {1214, false, false, false, true, true, true, false, true},
    {176, false, false, false, false, false, true, false, false},
    {208, false, true, false, true, false, true, false, false},
    {210, false, true, false, true, false, true, false, false},
    {466, false, true, false, true, false, true, true, false},
};

// The model's target: the same layout as a frame context's planes.
struct model_planes {
    int w, h;                   // framebuffer, rows of w pixels
    std::vector<uint16_t> px;   // w x h
    int cb_w;                   // coverage row width in bits
    std::vector<uint32_t> cov;  // cb_w x h / 32
    int db_w;                   // depths per row
    std::vector<uint16_t> z;    // db_w x h
    std::vector<uint32_t> zmask;
};

struct model_vertex {
    float x, y, w, ps[4];
};

// Phong indices a pixel can take: 128 r^2 over the vertices' phong coordinates,
// from the squared distance of their bounding box to the origin to the largest
// vertex value, lowered by 1/16 and 2 units, raised by 1/8 and 2 units (one
// unit more after truncation), within the table and its pads (below 128 for
// the cubic variant).
void model_phong_range(const model_vertex* v, bool cubic, i32* lo, i32* hi)
{
    float pu[3], pv[3], r2_max = 0.0f;
    for (int i = 0; i < 3; i++) {
        const float iw = 1.0f / v[i].w;  // the vertex's w
        pu[i] = v[i].ps[2] * iw;
        pv[i] = v[i].ps[3] * iw;
        float r2 = pu[i] * pu[i] + pv[i] * pv[i];
        if (!(r2 <= r2_max))
            r2_max = r2;
    }
    // The box's nearest point to the origin, per axis.
    auto nearest = [](const float* c) {
        const float a = std::min(std::min(c[0], c[1]), c[2]), b = std::max(std::max(c[0], c[1]), c[2]);
        return a > 0.0f ? a : (b < 0.0f ? -b : 0.0f);
    };
    const float du = nearest(pu), dv = nearest(pv);
    const float d2 = du * du + dv * dv;
    const i32 top = cubic ? 127 : 255 + N3D_PHONG_LUT_PAD, bottom = -N3D_PHONG_LUT_PAD;
    float f_hi = 128.0f * r2_max * 1.125f + 2.0f, f_lo = 128.0f * d2 * 0.9375f - 2.0f;
    *hi = f_hi < static_cast<float>(top) ? static_cast<i32>(f_hi) + 1 : top;
    if (!(f_lo > static_cast<float>(bottom)))
        *lo = bottom;
    else if (f_lo < static_cast<float>(*hi))
        *lo = static_cast<i32>(f_lo);
    else
        *lo = *hi;
}

struct model_edge {
    i64 pc_x, x_step, acc, acc_delta, den;
    i32 y_sub, y_int;
};

model_edge edge_setup(i32 x0_fp, i32 y0_fp, i32 dx, i32 dy, i32 pc_y_fp)
{
    model_edge e{};
    i32 x0_int = x0_fp / 256;
    i32 x0_frac = wsub(x0_fp, wmul(x0_int, 256));
    i32 y_sub = wsub(pc_y_fp, y0_fp);
    i32 y_int = sra(y_sub, 8);
    y_sub = wsub(y_sub, wmul(y_int, 256));
    i32 n = wsub(wadd(wadd(sra(wadd(wmul(x0_frac, dy), wmul(dx, y_sub)), 8), wmul(dx, y_int)), wmul(x0_int, dy)), 1);
    e.pc_x = static_cast<i32>(floordiv(n, dy) + 1);
    e.x_step = floordiv(dx, dy);
    e.acc = modpos(n, dy);
    e.acc_delta = modpos(dx, dy);
    e.den = dy;
    e.y_sub = y_sub;
    e.y_int = y_int;
    return e;
}
bool edge_step(model_edge* e)
{
    e->pc_x = static_cast<i32>(e->pc_x + e->x_step);
    e->acc += e->acc_delta;
    if (e->acc >= e->den) {
        e->pc_x = static_cast<i32>(e->pc_x + 1);
        e->acc -= e->den;
        return true;
    }
    return false;
}

struct model_tri {
    const model_variant* var;
    const n3d_texture* tex;
    const uint8_t* lut;
    model_planes* pl;
    const uint8_t* texels;
    i32 u_max, v_max;
    u32 index_mask;
    i32 kdx[2], kdy[2], iwk_dx, iwk_dy, zb_dx, zb_dy;
    i32 hxx, hyy, hxy;
    i32 p_lo, p_hi;
    // left edge values
    i32 lk[2], lk_step[2], liwk, liwk_step, lzb, lzb_step;
    i32 q, step, extra, span, c2, c3, d2, d3, e2, e3;
};

// The reciprocal of the scaled 1/w by the 32-entry table; on slivers the walk
// can carry 1/w far beyond the vertices' values, so the index is kept inside.
i32 recip(i32 iwk)
{
    i32 idx = sra(iwk, 14), dist = iwk & 0x3FFF;
    idx = idx < 0 ? 0 : (idx > N3D_FIXED_IIW_LUT_SIZE - 2 ? N3D_FIXED_IIW_LUT_SIZE - 2 : idx);
    i32 p1 = n3d_iiw_lut_fixpt[idx], p2 = n3d_iiw_lut_fixpt[idx + 1];
    return wadd(p1, sra(wmul(wsub(p2, p1), dist), 14));
}
i32 iiwsqr(i32 p) { return sra(wmul(p, sra(p, 5)), 13); }
i32 frac_of(const model_tri& m, i32 k, i32 p_iiw)
{
    if (m.var->affine)
        return wadd(sra(k, 6), 7);
    return wadd(sra(wmul(k, p_iiw), 18), 7);
}
u32 pack(i32 u, i32 v)
{
    const u32 uu = static_cast<u32>(u), vv = static_cast<u32>(v);
    return (uu & 0x3FFu) | ((uu >> 10) & 7u) << 16 | (vv & 0x1FFFu) << 19;
}
u32 pack_step(i32 du, i32 dv) { return pack(du, dv) | 0xFC00u; }
u32 acc_step(u32 p, u32 d) { return (p + d) & ~0x0004FC00u; }

// The shade of phong index idx (kept to the triangle's range) on texel t.
uint16_t pixel_of(const model_tri& m, u32 acc, i32 idx)
{
    u32 ti = ((acc >> 23) & 3u) | ((acc >> 4) & 63u) << 2 | ((acc >> 25) & 63u) << 8 | ((acc >> 16) & 3u) << 14;
    ti &= m.index_mask;
    u32 t;
    if (m.var->texel16) {
        uint16_t t16;
        memcpy(&t16, m.texels + 2 * ti, 2);
        t = t16;
    } else {
        t = m.texels[ti];
    }
    if (!m.var->phong)
        return m.var->texel16 ? static_cast<uint16_t>(t) : static_cast<const uint16_t*>(m.tex->palette)[t];
    idx = idx < m.p_lo ? m.p_lo : (idx > m.p_hi ? m.p_hi : idx);
    const u32 shade = m.lut[idx];
    if (!m.var->texel16)
        return static_cast<const uint16_t*>(m.tex->shade_table)[(t << 5) | shade];
    u32 l = (t & 0x1F) | ((t >> 5) & 0x1F) << 10 | ((t >> 10) & 0x1F) << 20;
    l *= shade;
    return static_cast<uint16_t>(0x8000 | ((l >> 25) & 0x1F) << 10 | ((l >> 15) & 0x1F) << 5 | ((l >> 5) & 0x1F));
}

// One pixel of row y at x with its depth value: the coverage and depth tests, then the stores.
void put(model_tri& m, int x, int y, uint16_t c, i32 zb)
{
    model_planes& p = *m.pl;
    if (m.var->cov_read) {
        const u32 i = static_cast<u32>(p.cb_w * y + x);
        if (p.cov[i >> 5] & (0x80000000u >> (i & 31)))
            return;
    }
    if (m.var->depth) {
        uint16_t& stored = p.z[static_cast<size_t>(y) * p.db_w + x];
        const uint16_t z = static_cast<uint16_t>(static_cast<u32>(zb));
        if (!(stored < z))
            return;
        stored = z;
    }
    p.px[static_cast<size_t>(y) * p.w + x] = c;
}

void scanline(model_tri& m, int y, i32 x0, i32 x1, i32 lk0, i32 lk1, i32 liwk, i32 lzb, i32 q, i32 a)
{
    model_planes& p = *m.pl;
    const i32 e3 = m.e3;
    if (m.var->depth) {
        u32& mask = p.zmask[y];
        for (i32 i = (2 * x0) >> 5; i <= (2 * (x1 - 1)) >> 5; i++) {
            const u32 bit = 0x80000000u >> (i & 31);
            if (!(mask & bit)) {
                memset(&p.z[static_cast<size_t>(y) * p.db_w + 16 * i], 0, 32);
                mask |= bit;
            }
        }
    }
    i32 pc_iwk = liwk, pc_iuk = lk0, pc_ivk = lk1, zb = lzb;
    i32 p_iiw = m.var->affine ? 0 : recip(pc_iwk);
    int x = x0;
    i32 remain = x1 - x0 - 1;
    bool cubic_on = false;
    i32 cp = 0, cr1 = 0, cr2 = 0, cr3 = 0;
    if (remain > 3) {
        cubic_on = m.var->cubic;
        while (remain >= 2) {
            int s_log2 = 0;
            while ((2 << s_log2) <= remain && s_log2 < 3)
                s_log2++;
            const i32 len = 1 << s_log2, s_count = remain >> s_log2;
            remain -= s_count * len;
            i32 u = frac_of(m, pc_iuk, p_iiw), v = frac_of(m, pc_ivk, p_iiw);
            i32 i_cur = iiwsqr(p_iiw);
            for (i32 sc = 0; sc < s_count; sc++) {
                if (!m.var->affine)
                    pc_iwk = wadd(pc_iwk, wmul(m.iwk_dx, len));
                pc_iuk = wadd(pc_iuk, wmul(m.kdx[0], len));
                pc_ivk = wadd(pc_ivk, wmul(m.kdx[1], len));
                if (!m.var->affine)
                    p_iiw = recip(pc_iwk);
                const i32 nu = frac_of(m, pc_iuk, p_iiw), nv = frac_of(m, pc_ivk, p_iiw);
                u32 acc = pack(u, v);
                const u32 d = pack_step(wsub(nu, u) / len, wsub(nv, v) / len);
                const i32 i_next = iiwsqr(p_iiw), di = wsub(i_next, i_cur) / len;
                i32 iw = i_cur;
                if (m.var->cubic) {
                    cp = wmul(q, i_cur);
                    cr1 = wadd(wmul(q, di), wmul(a, wadd(i_cur, di)));
                    cr2 = wadd(wmul(2, wmul(wadd(a, e3), di)), wmul(e3, i_cur));
                    cr3 = wmul(3, wmul(e3, di));
                    q = wadd(q, wadd(shl(a, s_log2), wmul(e3, (((1 << s_log2) - 1) << s_log2) / 2)));
                    a = wadd(a, shl(e3, s_log2));
                }
                for (i32 j = 0; j < len; j++) {
                    i32 idx = 0;
                    if (m.var->cubic) {
                        idx = sra(cp, 24);
                        cp = wadd(cp, cr1);
                        cr1 = wadd(cr1, cr2);
                        cr2 = wadd(cr2, cr3);
                    } else if (m.var->phong) {
                        idx = sra(wmul(sra(q, 8), iw), 16);
                        q = wadd(q, a);
                        a = wadd(a, e3);
                        iw = wadd(iw, di);
                    }
                    put(m, x, y, pixel_of(m, acc, idx), zb);
                    zb = wadd(zb, m.zb_dx);
                    acc = acc_step(acc, d);
                    x++;
                }
                u = nu;
                v = nv;
                i_cur = i_next;
            }
        }
    }
    for (i32 i = 0; i <= remain; i++) {
        i32 u = frac_of(m, pc_iuk, p_iiw), v = frac_of(m, pc_ivk, p_iiw);
        u = u > m.u_max * 16 ? m.u_max * 16 : u;
        u = u < 0 ? 0 : u;
        v = v > m.v_max * 16 ? m.v_max * 16 : v;
        v = v < 0 ? 0 : v;
        i32 idx = 0;
        if (cubic_on) {
            idx = sra(cp, 24);
            cp = wadd(cp, cr1);
            cr1 = wadd(cr1, cr2);
            cr2 = wadd(cr2, cr3);
        } else if (m.var->phong) {
            idx = sra(wmul(sra(q, 8), iiwsqr(p_iiw)), 16);
            q = wadd(q, a);
            a = wadd(a, e3);
        }
        put(m, x, y, pixel_of(m, pack(u, v), idx), zb);
        zb = wadd(zb, m.zb_dx);
        x++;
        if (i < remain) {
            if (!m.var->affine) {
                pc_iwk = wadd(pc_iwk, m.iwk_dx);
                p_iiw = recip(pc_iwk);
            }
            pc_iuk = wadd(pc_iuk, m.kdx[0]);
            pc_ivk = wadd(pc_ivk, m.kdx[1]);
        }
    }
    if (m.var->cov_write) {
        for (i32 xx = x0; xx < x1; xx++) {
            const u32 i = static_cast<u32>(p.cb_w * y + xx);
            p.cov[i >> 5] |= 0x80000000u >> (i & 31);
        }
    }
}

// The phong quadratic at a vertex: value, x and y derivatives in fixed point.
void phong_at(const model_vertex& v, const float* gdx, const float* gdy, float f, i32* q, i32* gx, i32* gy)
{
    const float a = v.ps[2], c = v.ps[3], ux = gdx[2], vx = gdx[3], uy = gdy[2], vy = gdy[3];
    *q = round32(f * (c * c + a * a));
    *gx = round32(f * (vx * (2.0f * c) + (2.0f * a) * ux));
    *gy = round32(f * (vy * (2.0f * c) + (2.0f * a) * uy));
}

// Carries the left edge's values to its first pixel centre (the edge just set up).
void left_setup(model_tri& m, const model_edge& e, i32 x0_fp, const i32* k0, i32 iwk0, i32 zb0, i32 q0, i32 gx0,
                i32 gy0)
{
    i32 x_sub = wsub(wmul(static_cast<i32>(e.pc_x), 256), x0_fp);
    const i32 x_int = x_sub / 256;
    x_sub = wsub(x_sub, wmul(x_int, 256));
    const i32 y_sub = e.y_sub, y_int = e.y_int, n = static_cast<i32>(e.x_step);
    for (int k = 0; k < 2; k++) {
        m.lk[k] =
            wadd(wadd(wadd(k0[k], sra(wadd(wmul(m.kdy[k], y_sub), wmul(m.kdx[k], x_sub)), 8)), wmul(m.kdx[k], x_int)),
                 wmul(m.kdy[k], y_int));
        m.lk_step[k] = wadd(m.kdy[k], wmul(m.kdx[k], n));
    }
    m.liwk = wadd(wadd(wadd(iwk0, sra(wadd(wmul(y_sub, m.iwk_dy), wmul(x_sub, m.iwk_dx)), 8)), wmul(x_int, m.iwk_dx)),
                  wmul(y_int, m.iwk_dy));
    m.liwk_step = wadd(m.iwk_dy, wmul(m.iwk_dx, n));
    m.lzb = wadd(wadd(wadd(zb0, sra(wadd(wmul(y_sub, m.zb_dy), wmul(x_sub, m.zb_dx)), 8)), wmul(x_int, m.zb_dx)),
                 wmul(y_int, m.zb_dy));
    m.lzb_step = wadd(m.zb_dy, wmul(m.zb_dx, n));
    if (!m.var->phong)
        return;
    const i32 hxx = m.hxx, hyy = m.hyy, hxy = m.hxy, sx = x_sub, sy = y_sub, xi = x_int, yi = y_int;
    i32 q = wadd(q0, sra(wadd(wadd(sra(wadd(wadd(wmul(sra(wmul(sx, sx), 1), hxx), wmul(wmul(sy, sx), hxy)),
                                            wmul(sra(wmul(sy, sy), 1), hyy)),
                                       8),
                                   wmul(sx, gx0)),
                              wmul(sy, gy0)),
                         8));
    i32 gx = wadd(gx0, sra(wadd(wmul(hxx, sx), wmul(hxy, sy)), 8));
    i32 gy = wadd(gy0, sra(wadd(wmul(hxy, sx), wmul(hyy, sy)), 8));
    if (xi != 0) {
        q = wadd(q, wadd(wadd(wmul(xi, gx0), wmul(sra(wmul(xi, xi), 1), hxx)),
                         sra(wadd(wmul(wmul(xi, sx), hxx), wmul(wmul(xi, sy), hxy)), 8)));
        gx = wadd(gx, wmul(hxx, xi));
        gy = wadd(gy, wmul(hxy, xi));
    }
    if (yi != 0) {
        q = wadd(q, wadd(wadd(wadd(wmul(yi, gy0), wmul(wmul(yi, xi), hxy)),
                              sra(wadd(wmul(wmul(yi, sx), hxy), wmul(wmul(yi, sy), hyy)), 8)),
                         wmul(sra(wmul(yi, yi), 1), hyy)));
        gx = wadd(gx, wmul(hxy, yi));
        gy = wadd(gy, wmul(hyy, yi));
    }
    const i32 hh = hxx / 2, hv = hyy / 2;
    // n pixels per row, m = 1 row, s = 1 extra pixel on a carry.
    m.q = q;
    m.step = wadd(wadd(wadd(wadd(wmul(gx, n), gy), wmul(wmul(hh, n), n)), wmul(hxy, n)), hv);
    m.c2 = wadd(wadd(wmul(wmul(hxx, n), n), wmul(wmul(2, hxy), n)), hyy);
    m.c3 = wadd(wmul(hxx, n), hxy);
    const i32 n1 = wadd(n, 1);
    m.extra =
        wadd(wadd(wadd(wadd(wmul(gx, n1), gy), wmul(hh, wadd(wadd(wmul(n, n), wmul(2, n)), 1))), wmul(hxy, n1)), hv);
    m.d2 = wadd(wadd(wmul(hxx, wadd(wmul(n, n), n)), wmul(hxy, wadd(wmul(2, n), 1))), hyy);
    m.d3 = wadd(wmul(hxx, n1), hxy);
    m.span = wadd(gx, hh);
    m.e2 = wadd(wmul(hxx, n), hxy);
    m.e3 = hxx;
}

// Rows [ys, ye) of one part with the edges as they stand.
void rows(model_tri& m, model_edge& le, bool l_ok, model_edge& re, bool r_ok, int ys, int ye, int x_lim)
{
    for (int y = ys; y < ye; y++) {
        if (l_ok && r_ok) {
            // The row's span [l_pc_x, r_pc_x) within the target's columns [0, x_lim).
            i32 x0 = static_cast<i32>(le.pc_x);
            const i32 x1 = std::min(static_cast<i32>(re.pc_x), x_lim);
            if (std::max(x0, 0) < x1) {
                i32 lk0 = m.lk[0], lk1 = m.lk[1], liwk = m.liwk, lzb = m.lzb, q = m.q, a = m.span;
                for (; x0 < 0; x0++) {  // the pixels before column 0, stepped as along the row
                    lk0 = wadd(lk0, m.kdx[0]);
                    lk1 = wadd(lk1, m.kdx[1]);
                    liwk = wadd(liwk, m.iwk_dx);
                    lzb = wadd(lzb, m.zb_dx);
                    q = wadd(q, a);
                    a = wadd(a, m.e3);
                }
                scanline(m, y, x0, x1, lk0, lk1, liwk, lzb, q, a);
            }
        }
        if (l_ok) {
            const bool carry = edge_step(&le);
            for (int k = 0; k < 2; k++)
                m.lk[k] = wadd(wadd(m.lk[k], m.lk_step[k]), carry ? m.kdx[k] : 0);
            m.liwk = wadd(wadd(m.liwk, carry ? m.iwk_dx : 0), m.liwk_step);
            m.lzb = wadd(wadd(m.lzb, carry ? m.zb_dx : 0), m.lzb_step);
            if (carry) {
                m.q = wadd(m.q, m.extra);
                m.step = wadd(m.step, wadd(m.c2, m.c3));
                m.extra = wadd(m.extra, wadd(m.d2, m.d3));
                m.span = wadd(m.span, wadd(m.e2, m.e3));
            } else {
                m.q = wadd(m.q, m.step);
                m.step = wadd(m.step, m.c2);
                m.extra = wadd(m.extra, m.d2);
                m.span = wadd(m.span, m.e2);
            }
        }
        if (r_ok)
            edge_step(&re);
    }
}

i32 pc_row(float y)
{
    return static_cast<i32>((static_cast<u32>(trunc32((y > 0.0f ? y : 0.0f) * 256.0f)) + 255u) & ~255u);
}

// Draws one triangle into pl; returns the rasterizer's result.
int model_draw(const model_variant& var, const float* vf, const float* gdx, const float* gdy, float min_w,
               const n3d_texture* tex, const uint8_t* lut, model_planes& pl)
{
    const int ps_count = var.phong ? 4 : 2;
    model_vertex v[3] = {};
    for (int i = 0; i < 3; i++) {
        const float* s = vf + i * (3 + ps_count);
        v[i].x = s[0];
        v[i].y = s[1];
        v[i].w = s[2];
        for (int k = 0; k < ps_count; k++)
            v[i].ps[k] = s[3 + k];
    }
    int t = 0, b = 0;
    for (int i = 1; i < 3; i++) {
        if (v[i].y < v[t].y || (v[i].y == v[t].y && v[i].x < v[t].x))
            t = i;
        if (v[i].y > v[b].y)
            b = i;
    }
    const int l = (t + 1) % 3, r = (t + 2) % 3, mi = r == b ? l : r;
    const bool part1_left = l != b;
    const float iw_min = std::fmin(std::fmin(v[0].w, v[1].w), v[2].w);
    const model_vertex &vt = v[t], &vl = v[l], &vr = v[r], &vm = v[mi], &vb = v[b];

    model_tri m{};
    m.var = &var;
    m.tex = tex;
    m.lut = lut;
    m.pl = &pl;
    float k = 0.0f;
    if (!var.affine) {
        k = 480.0f * min_w;
        if (k > 4096.0f)
            k = 4096.0f;
        if (sra(round32(1024.0f * iw_min * k), 14) < 3)
            return 0;
    }
    const float su = static_cast<float>((1 << tex->w_log2) - 1), sv = static_cast<float>((1 << tex->h_log2) - 1);
    auto scaled = [&](float value, float s) {
        return var.affine ? round32(value * s * 1024.0f) : round32(value * s * 2.0f * k);
    };
    m.kdx[0] = scaled(gdx[0], su);
    m.kdx[1] = scaled(gdx[1], sv);
    m.kdy[0] = scaled(gdy[0], su);
    m.kdy[1] = scaled(gdy[1], sv);
    i32 k0_top[2] = {scaled(vt.ps[0], su), scaled(vt.ps[1], sv)};
    i32 k0_left[2] = {scaled(vl.ps[0], su), scaled(vl.ps[1], sv)};
    i32 iwk_top = 0, iwk_left = 0, zb_top = 0, zb_left = 0;
    if (!var.affine) {
        m.iwk_dx = round32(1024.0f * gdx[ps_count] * k);
        m.iwk_dy = round32(1024.0f * gdy[ps_count] * k);
        iwk_top = round32(1024.0f * vt.w * k);
        iwk_left = round32(1024.0f * vl.w * k);
    }
    if (var.depth) {
        m.zb_dx = round32(gdx[ps_count] * 8192.0f);
        m.zb_dy = round32(gdy[ps_count] * 8192.0f);
        zb_top = round32(vt.w * 8192.0f);
        zb_left = round32(vl.w * 8192.0f);
    }
    i32 q_top = 0, gx_top = 0, gy_top = 0, q_left = 0, gx_left = 0, gy_left = 0;
    if (var.phong) {
        const float f = 128.0f * (k * k);
        phong_at(vt, gdx, gdy, f, &q_top, &gx_top, &gy_top);
        phong_at(vl, gdx, gdy, f, &q_left, &gx_left, &gy_left);
        const float ux = gdx[2], vx = gdx[3], uy = gdy[2], vy = gdy[3];
        m.hxx = round32(f * (vx * (2.0f * vx) + (2.0f * ux) * ux));
        m.hyy = round32(f * (vy * (2.0f * vy) + (2.0f * uy) * uy));
        m.hxy = round32(f * (vy * (2.0f * vx) + (2.0f * ux) * uy));
        model_phong_range(v, var.cubic, &m.p_lo, &m.p_hi);
    }
    const i32 l_x0 = round32(vt.x * 256.0f), r_x0 = l_x0;
    const i32 l_dx = round32((vl.x - vt.x) * 1024.0f), l_dy = round32((vl.y - vt.y) * 1024.0f);
    const i32 r_dx = round32((vr.x - vt.x) * 1024.0f), r_dy = round32((vr.y - vt.y) * 1024.0f);
    const i32 p1_x0 = round32(vm.x * 256.0f), p1_y0 = round32(vm.y * 256.0f);
    const i32 p1_dx = round32((vb.x - vm.x) * 1024.0f), p1_dy = round32((vb.y - vm.y) * 1024.0f);
    const i32 p0_y0 = round32(vt.y * 256.0f);
    const i32 pc_t = pc_row(vt.y), pc_m = pc_row(vm.y), pc_b = pc_row(vb.y);

    int u_down = 0, v_down = 0;
    if (var.mip) {
        const i32 du = sra(m.kdx[0], 18), dv = sra(m.kdx[1], 18);
        const i32 au = (du < 0 ? -du : du) >> 4, av = (dv < 0 ? -dv : dv) >> 4;
        int lu = 0, lv = 0;
        while ((2 << lu) <= au)
            lu++;
        while ((2 << lv) <= av)
            lv++;
        u_down = std::min(lu, tex->w_log2 - 2);
        v_down = std::min(lv, tex->h_log2 - 2);
        m.kdx[0] = sra(m.kdx[0], u_down);
        m.kdy[0] = sra(m.kdy[0], u_down);
        k0_top[0] = sra(k0_top[0], u_down);
        k0_left[0] = sra(k0_left[0], u_down);
        m.kdx[1] = sra(m.kdx[1], v_down);
        m.kdy[1] = sra(m.kdy[1], v_down);
        k0_top[1] = sra(k0_top[1], v_down);
        k0_left[1] = sra(k0_left[1], v_down);
    }
    m.texels = tex->mips[(v_down << 7) | u_down];
    m.u_max = (1 << (tex->w_log2 - u_down)) - 1;
    m.v_max = (1 << (tex->h_log2 - v_down)) - 1;
    // Texel addresses stay inside the level: the swizzled index of (u_max, v_max) as a mask.
    const u32 um = static_cast<u32>(m.u_max), vm_ = static_cast<u32>(m.v_max);
    m.index_mask = (vm_ & 3u) | (um & 63u) << 2 | ((vm_ >> 2) & 63u) << 8 | ((um >> 6) & 3u) << 14;

    int x_lim = pl.w, y_lim = pl.h;
    if (var.cov_read || var.cov_write)
        x_lim = std::min(x_lim, pl.cb_w);
    if (var.depth)
        x_lim = std::min(x_lim, pl.db_w);

    model_edge le{}, re{};
    bool l_ok = false, r_ok = false;
    i32 cur_l_dy = l_dy, cur_r_dy = r_dy;
    {
        const int ys = std::max(pc_t >> 8, 0), ye = std::min(std::max(pc_m >> 8, 0), y_lim);
        const i32 pc_y = std::max(pc_t, 0);
        if (r_dy > 0) {
            re = edge_setup(r_x0, p0_y0, r_dx, r_dy, pc_y);
            r_ok = true;
        }
        if (l_dy > 0) {
            le = edge_setup(l_x0, p0_y0, l_dx, l_dy, pc_y);
            left_setup(m, le, l_x0, k0_top, iwk_top, zb_top, q_top, gx_top, gy_top);
            l_ok = true;
        }
        rows(m, le, l_ok, re, r_ok, ys, ye, x_lim);
    }
    {
        const int ys = std::min(std::max(pc_m >> 8, 0), y_lim), ye = std::min(std::max(pc_b >> 8, 0), y_lim);
        if (ys < ye) {
            const i32 pc_y = std::max(pc_m, 0);
            if (part1_left) {
                cur_l_dy = p1_dy;
                l_ok = false;
                if (p1_dy > 0) {
                    le = edge_setup(p1_x0, p1_y0, p1_dx, p1_dy, pc_y);
                    left_setup(m, le, p1_x0, k0_left, iwk_left, zb_left, q_left, gx_left, gy_left);
                    l_ok = true;
                }
            } else {
                cur_r_dy = p1_dy;
                r_ok = false;
                if (p1_dy > 0) {
                    re = edge_setup(p1_x0, p1_y0, p1_dx, p1_dy, pc_y);
                    r_ok = true;
                }
            }
            if (cur_l_dy != 0 && cur_r_dy != 0)
                rows(m, le, l_ok, re, r_ok, ys, ye, x_lim);
        }
    }
    return 1;
}

// One triangle of the four streams.
raster_tri stream_tri(pcg32_random_t* rng, int which)
{
    raster_tri s;
    if (which == 0) {  // the benchmark's
        raster_stream_next(rng, 4, &s);
        return s;
    }
    float p[3][7];
    if (which == 3) {  // slivers: a long thin triangle anywhere, phong coordinates near one point
        const float x = n3d_randf(rng) * 300.0f + 10.0f, y = n3d_randf(rng) * 180.0f + 10.0f;
        const float dx = (n3d_randf(rng) - 0.5f) * 40.0f, dy = (n3d_randf(rng) - 0.5f) * 40.0f;
        const float pu = n3d_randf(rng) - 0.5f, pv = n3d_randf(rng) - 0.5f;
        const float off = (n3d_randf(rng) - 0.5f) * 0.6f;
        const float pts[3][2] = {{x, y}, {x + dx, y + dy}, {x + 0.5f * dx + off, y + 0.5f * dy - off}};
        for (int i = 0; i < 3; i++) {
            float q[7] = {pts[i][0],
                          pts[i][1],
                          0.25f + n3d_randf(rng) * 0.75f,
                          n3d_randf(rng),
                          n3d_randf(rng),
                          pu + (n3d_randf(rng) - 0.5f) * 0.02f,
                          pv + (n3d_randf(rng) - 0.5f) * 0.02f};
            memcpy(p[i], q, sizeof q);
        }
        raster_tri t = raster_tri_make(p);
        if (!(t.twice_area > 0.0f)) {  // the other winding
            std::swap(p[1], p[2]);
            t = raster_tri_make(p);
        }
        if (!(t.twice_area > 0.0f)) {  // collinear: one vertex off the line
            p[2][0] += 1.0f;
            t = raster_tri_make(p);
        }
        return t;
    }
    // 1: vertices up to 40 pixels beyond every side; 2: coordinates far out of range.
    const bool wide = which == 1;
    raster_stream_next(rng, 4, &s, wide ? 400.0f : 320.0f, wide ? 280.0f : 200.0f);
    for (int i = 0; i < 3; i++) {
        const float iw = s.v[i][2];
        float q[7] = {s.v[i][0] - (wide ? 40.0f : 0.0f),
                      s.v[i][1] - (wide ? 40.0f : 0.0f),
                      iw,
                      wide ? s.v[i][3] / iw : (s.v[i][3] / iw - 0.5f) * 5.0f,
                      wide ? s.v[i][4] / iw : (s.v[i][4] / iw - 0.5f) * 5.0f,
                      s.v[i][5] / iw * (wide ? 1.0f : 4.0f),
                      s.v[i][6] / iw * (wide ? 1.0f : 4.0f)};
        memcpy(p[i], q, sizeof q);
    }
    return raster_tri_make(p);
}

// The planes of the fixture's context as the model keeps them.
model_planes planes_of(const n3d_frame_context& fc)
{
    model_planes p;
    p.w = fc.fb->w;
    p.h = fc.fb->h;
    const uint16_t* px = static_cast<const uint16_t*>(fc.fb->b);
    p.px.assign(px, px + static_cast<size_t>(p.w) * p.h);
    p.cb_w = fc.cb->w;
    p.cov.assign(fc.cb->u32, fc.cb->u32 + static_cast<size_t>(fc.cb->w) * fc.cb->h / 32);
    p.db_w = fc.db->w;
    p.z.assign(fc.db->u16, fc.db->u16 + static_cast<size_t>(fc.db->w) * fc.db->h);
    p.zmask.assign(fc.db->cb_cache_zeroed.u32, fc.db->cb_cache_zeroed.u32 + fc.db->h);
    return p;
}

// The first place where the context and the model differ, or an empty string.
std::string difference(const n3d_frame_context& fc, const model_planes& p)
{
    const uint16_t* px = static_cast<const uint16_t*>(fc.fb->b);
    const uint32_t* zmask = fc.db->cb_cache_zeroed.u32;
    char buf[160] = "";
    if (memcmp(px, p.px.data(), 2 * p.px.size()) != 0) {
        for (size_t i = 0; i < p.px.size(); i++)
            if (px[i] != p.px[i]) {
                snprintf(buf, sizeof buf, "pixel (%d, %d): %04x, model %04x", static_cast<int>(i % p.w),
                         static_cast<int>(i / p.w), px[i], p.px[i]);
                break;
            }
    } else if (memcmp(fc.cb->u32, p.cov.data(), 4 * p.cov.size()) != 0) {
        for (size_t i = 0; i < p.cov.size(); i++)
            if (fc.cb->u32[i] != p.cov[i]) {
                snprintf(buf, sizeof buf, "coverage word %d: %08x, model %08x", static_cast<int>(i), fc.cb->u32[i],
                         p.cov[i]);
                break;
            }
    } else if (memcmp(fc.db->u16, p.z.data(), 2 * p.z.size()) != 0) {
        for (size_t i = 0; i < p.z.size(); i++)
            if (fc.db->u16[i] != p.z[i]) {
                snprintf(buf, sizeof buf, "depth (%d, %d): %04x, model %04x", static_cast<int>(i % p.db_w),
                         static_cast<int>(i / p.db_w), fc.db->u16[i], p.z[i]);
                break;
            }
    } else if (memcmp(zmask, p.zmask.data(), 4 * p.zmask.size()) != 0) {
        for (size_t i = 0; i < p.zmask.size(); i++)
            if (zmask[i] != p.zmask[i]) {
                snprintf(buf, sizeof buf, "depth line word %d: %08x, model %08x", static_cast<int>(i), zmask[i],
                         p.zmask[i]);
                break;
            }
    }
    return buf;
}

TEST(RasterModel, ScalarPathMatchesTheFixedPointRulesBitForBit)
{
    auto f = std::make_unique<raster_fixture>();
    // Every phong entry and pad differs from its neighbours, so an index off by one shows.
    std::vector<uint8_t> lut(N3D_PHONG_LUT_BYTES);
    for (size_t i = 0; i < lut.size(); i++)
        lut[i] = static_cast<uint8_t>((i * 13 + 5) & 31);
    f->phong_luts[0] = lut.data() + N3D_PHONG_LUT_PAD;
    const int saved = cpu_level();
    cpu_level_set(CPU_LEVEL_SCALAR);
    const char* streams[4] = {"benchmark", "beyond the target", "out of range", "slivers"};
    for (const model_variant& var : VARIANTS) {
        f->clear();
        pcg32_random_t bits = {7, 11};
        for (size_t i = 0; i < static_cast<size_t>(f->fc.cb->w) * f->fc.cb->h / 32; i++)
            f->fc.cb->u32[i] = pcg32_random_r(&bits) & pcg32_random_r(&bits);
        for (int i = 0; i < f->fc.db->w * f->fc.db->h; i++)  // stale depths: the lazy clear must zero them
            f->fc.db->u16[i] = static_cast<uint16_t>(pcg32_random_r(&bits));
        model_planes model = planes_of(f->fc);
        n3d_texture* tex = (var.flags & N3D_RASTERIZER_T0_I8ARGB1555) ? &f->tex8 : &f->tex16;
        int drawn = 0;
        for (int which = 0; which < 4; which++) {
            pcg32_random_t rng = {static_cast<uint64_t>(0x853c49e6748fea9bULL + which), 0xda3e39cb94b95bdbULL};
            for (int n = 0; n < 120; n++) {
                if (n % 40 == 39) {
                    n3d_coveragebuffer_clear(f->fc.cb);
                    n3d_depthbuffer_clear(f->fc.db);
                    std::fill(model.cov.begin(), model.cov.end(), 0u);
                    std::fill(model.zmask.begin(), model.zmask.end(), 0u);
                }
                const raster_tri t = stream_tri(&rng, which);
                const int got = f->draw(var.flags, t, tex);
                const int want = model_draw(var, f->vbuf, f->gdx, f->gdy, t.min_w, tex, f->phong_luts[0], model);
                drawn += want;
                ASSERT_EQ(got, want) << var.flags << ", " << streams[which] << " triangle " << n;
                const std::string d = difference(f->fc, model);
                ASSERT_EQ(d, "") << var.flags << ", " << streams[which] << " triangle " << n;
            }
        }
        EXPECT_GT(drawn, 400) << var.flags;
    }
    cpu_level_set(saved);
}

}  // namespace
