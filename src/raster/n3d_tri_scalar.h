// The scalar pixel path and the span walk: a scanline is cut into spans of 8,
// 4 and 2 pixels with the exact perspective values at their ends and stepped
// linearly inside them, then its last one or two pixels alone. The walk is a
// template over the span kernel: span_scalar here draws a span's pixels a
// pair at a time, the AVX2 kernel (n3d_tri_avx2.h) eight at a time; both keep
// the kernel contract of n3d_tri_ex.h. The scalar kernel is the reference the
// wide paths are bit-identical to.
#pragma once

#include "raster/n3d_tri_setup.h"

namespace n3d_tri {

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

}  // namespace n3d_tri
