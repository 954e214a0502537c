#include "tools/demo_mobius.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/memarena.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_timing.h"

#define MOBIUS_CRASH(...) mycrash("src/demo_mobius", __LINE__, "", __VA_ARGS__)

void demo_mobius_init(memarena* arena, demo_mobius* p, memarena* tmp_arena)
{
    (void)tmp_arena;
    memset(p, 0, sizeof *p);
    p->div_lut_fp = memarena_push_array<int32_t>(arena, DEMO_MOBIUS_DIV_LUT_ENTRIES);
    // An infinite quotient converts to 0x80000000 on the target.
    p->div_lut_fp[0] = INT32_MIN;
    for (int i = 1; i < DEMO_MOBIUS_DIV_LUT_ENTRIES; i++)
        p->div_lut_fp[i] = (int32_t)(134217728.0f / (float)i);
    demo_track2_init(&p->track2, arena);
}

// ---- script ------------------------------------------------------------------

// trunc with saturation; NaN gives 0.
static int mobius_trunc(double x)
{
    if (x != x)
        return 0;
    if (x >= 2147483647.0)
        return INT32_MAX;
    if (x <= -2147483648.0)
        return INT32_MIN;
    return (int)x;
}

static double mobius_clamp01(double x) { return x > 1.0 ? 1.0 : (x < 0.0 ? 0.0 : x); }

static void mobius_set(demo_mobius* p, double ar, double ai, double br, double bi, double cr, double ci, double dr,
                       double di)
{
    const double v[8] = {ar, ai, br, bi, cr, ci, dr, di};
    for (int i = 0; i < 8; i++)
        p->ps[i] = (float)v[i];
}

// Phase E's coefficients, the start of the final blend.
static const double mobius_e[8] = {0, 0, 0.732283, 0, 1, 0.007874, 0, 0.905512};
static const double mobius_f_target[8] = {0.715667, 0, 0, 0.461405, 0, 0, 0.96063, 0};

static void mobius_scroll_per_second(demo_mobius* p, double dt, double u_per_s, double v_per_s)
{
    p->u_tick_8fp = mobius_trunc(p->u_tick_8fp + 256.0 * u_per_s * dt);
    p->v_tick_8fp = mobius_trunc(p->v_tick_8fp + 256.0 * v_per_s * dt);
}

// 0.2 and 0.5 texel a frame.
static void mobius_scroll_per_frame(demo_mobius* p)
{
    p->u_tick_8fp = mobius_trunc(p->u_tick_8fp + 51.2);
    p->v_tick_8fp = mobius_trunc(p->v_tick_8fp + 128.0);
}

static void mobius_script(demo_mobius* p)
{
    const double t = g_dtf.t, dt = g_dtf.dt, lerp = g_dtf.lerp_beats;
    const double pi = LINMATH_PI;
    const double osc = sin(2.0 * pi * t / 100.0);
    auto T = [](int s) { return (double)demo_timing_time_at_sample(s); };
    if (t >= 0.0 && t < T(377856)) {
        const double ramp = mobius_clamp01(0.2 * (t - T(178715)));
        const int early = g_dtf.pos <= 209920;
        const double k = early ? 0.0 : 0.01, m = early ? 0.05 : 0.1;
        mobius_set(p, 0, 0, 0.015748 - k * lerp * lerp, m * cos(0.4 * pi * lerp) + ramp, 1, 1, 0, 0);
        mobius_scroll_per_second(p, dt, 12, 30);
    } else if (t >= T(377856) && t < T(463872)) {
        mobius_set(p, 0, 0, 0.015748 - 0.01 * lerp * lerp, 0.05 * cos(0.4 * pi * lerp) + 1.0, 1, 1, 0, 0);
        mobius_scroll_per_second(p, dt, 240, 600);
    } else if (t >= T(463872) && t < T(721920)) {
        mobius_set(p, 0, 0, 0, 0.026 * (1.0 - osc) + 0.005 * osc, 0.01023 + 0.01 * lerp, 0.392089 + 0.1 * lerp, 0, 0);
        mobius_scroll_per_frame(p);
    } else if (t >= T(721920) && t < T(890740)) {
        const double s = sin(2.0 * pi * (t - T(463872)) / 100.0);
        mobius_set(p, 0, 0, 0, 0.009918, 0.01023, (0.35 - 0.25) * (1.0 - osc) + 0.35 * s, 0, 0);
        mobius_scroll_per_frame(p);
    } else if (t >= T(890740) && t < T(906752)) {
        mobius_set(p, mobius_e[0], mobius_e[1], mobius_e[2], mobius_e[3], mobius_e[4], mobius_e[5], mobius_e[6],
                   mobius_e[7]);
        mobius_scroll_per_frame(p);
        p->t4_u_tick_8fp = p->u_tick_8fp;
        p->t4_v_tick_8fp = p->v_tick_8fp;
    } else {
        const double f = mobius_clamp01((t - T(906752)) / (T(1259264) - 0.1 - T(906752)));
        double v[8];
        for (int i = 0; i < 8; i++)
            v[i] = (1.0 - f) * mobius_e[i] + f * mobius_f_target[i];
        // Two short bumps of c.
        v[4] += demo_timing_tri_factor_around(949855, 0.15f);
        v[5] += demo_timing_tri_factor_around(994139, 0.15f);
        mobius_set(p, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
        p->u_tick_8fp = mobius_trunc(97387.0 * f + (1.0 - f) * p->t4_u_tick_8fp);
        p->v_tick_8fp = mobius_trunc(198188.0 * f + (1.0 - f) * p->t4_v_tick_8fp);
    }
}

void demo_mobius_update(demo_mobius* p, n3d_frame_context* fc, memarena* tmp_arena)
{
    // A file that is there but refused holds the author's values: it is named
    // once and never written over while it stays refused.
    char why[128];
    const int loaded = demo_track2_load_file_checked(&p->track2, DEMO_MOBIUS_TRACK_FILE, IO_ENDIAN_NATIVE, nullptr,
                                                     tmp_arena, why, sizeof why);
    if (loaded == DEMO_TRACK2_FILE_REFUSED && !p->track_file_refused)
        printf("%s refused: %s; the file is left as it is and the track is not stored\n", DEMO_MOBIUS_TRACK_FILE, why);
    p->track_file_refused = loaded == DEMO_TRACK2_FILE_REFUSED;
    demo_track2_record(&p->track2, &g_demo_nk2_prev, g_demo_nk2);
    if (p->track2.is_recording)
        printf("track2 pos: %d\n", (int)p->track2.pos);
    else
        mobius_script(p);
    if (fc->fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        MOBIUS_CRASH("not implemented\n");
    const n3d_texture* texture = nullptr;
    if (g_demo && g_demo->assets && g_demo->assets->tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555])
        texture = g_demo->assets->tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555][0];
    demo_mobius_argb1555(p, texture, fc->fb);
    if (!p->track_file_refused)
        demo_track2_store_file(&p->track2, DEMO_MOBIUS_TRACK_FILE, IO_ENDIAN_NATIVE, tmp_arena);
}

// ---- renderer ----------------------------------------------------------------

// The target's arithmetic: 32-bit values that wrap, shifted right arithmetically.
static inline uint32_t sra(uint32_t x, int n) { return (uint32_t)((int32_t)x >> n); }

// One quadratic of the pixel position, k0 + kx x + ky y + kxx x^2 + kyy y^2
// (the three the warp needs have no xy term).
struct mobius_quadratic {
    float k0, kx, ky, kxx, kyy;
};

// Product of two linear functions l0 + lx x + ly y.
static mobius_quadratic mobius_mul(const float a[3], const float b[3], float sign)
{
    mobius_quadratic q;
    q.k0 = sign * a[0] * b[0];
    q.kx = sign * (a[0] * b[1] + a[1] * b[0]);
    q.ky = sign * (a[0] * b[2] + a[2] * b[0]);
    q.kxx = sign * a[1] * b[1];
    q.kyy = sign * a[2] * b[2];
    return q;
}

static mobius_quadratic mobius_add(mobius_quadratic a, mobius_quadratic b)
{
    return {a.k0 + b.k0, a.kx + b.kx, a.ky + b.ky, a.kxx + b.kxx, a.kyy + b.kyy};
}

// Value at (0, 0), first differences along x and y, constant second differences.
struct mobius_steps {
    uint32_t v, dx, dy, ddx, ddy;
};

// Scaled and rounded to nearest, saturating (coefficients of an extreme
// script can leave the 32-bit range).
static mobius_steps mobius_fixed(mobius_quadratic q, float scale)
{
    auto fx = [scale](float v) { return (uint32_t)ppc_round_float_to_int(v * scale); };
    return {fx(q.k0), fx(q.kx + q.kxx), fx(q.ky + q.kyy), fx(2.0f * q.kxx), fx(2.0f * q.kyy)};
}

// Table reciprocal of the fixed-point denominator. The index is kept to the
// table (entries 0 to 254 and their upper neighbour); entry 0 and its
// difference wrap as the target's 32-bit arithmetic does.
static inline uint32_t mobius_reciprocal(const int32_t* lut, uint32_t q)
{
    int32_t i = (int32_t)q >> 22;
    if (i < 0)
        i = 0;
    if (i > DEMO_MOBIUS_DIV_LUT_ENTRIES - 2)
        i = DEMO_MOBIUS_DIV_LUT_ENTRIES - 2;
    const uint32_t l0 = (uint32_t)lut[i], l1 = (uint32_t)lut[i + 1];
    return l0 + ((q & 0x3FFFFFu) >> 11) * sra(l1 - l0, 11);
}

static inline uint32_t mobius_coordinate(uint32_t tick_8fp, uint32_t n, uint32_t r)
{
    return sra((tick_8fp << 13) + sra(n, 9) * sra(r, 11), 13);
}

static void mobius_check_texture(const n3d_texture* t)
{
    if (!t)
        MOBIUS_CRASH("warp texture missing\n");
    if (t->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 || t->not_swizzled || t->w_log2 != 8 ||
        t->h_log2 != 8 || !t->mips || !t->mips[0])
        MOBIUS_CRASH("warp texture must be ARGB1555, swizzled and 256x256, is format %d, %s, %dx%d\n", t->format,
                     t->not_swizzled ? "row by row" : "swizzled", 1 << (t->w_log2 & 15), 1 << (t->h_log2 & 15));
}

void demo_mobius_argb1555(demo_mobius* p, const n3d_texture* texture, n3d_framebuffer* fb)
{
    mobius_check_texture(texture);
    const int W = fb->w, H = fb->h;
    if ((W & 3) != 0)
        MOBIUS_CRASH("frame width %d is not a multiple of 4\n", W);
    if (W <= 0 || H <= 0)
        return;
    const uint32_t tw_mask = (1u << texture->w_log2) - 1u;
    const float tu_max = (float)((1 << texture->w_log2) - 1), tv_max = (float)((1 << texture->h_log2) - 1);

    // z = (xo + x s) + i (yo + y s): the frame spans height 1, centred, square pixels.
    const float s = 1.0f / (float)H;
    const float xo = -0.5f * (float)W / (float)H, yo = -0.5f;
    const float ar = p->ps[0], ai = p->ps[1], br = p->ps[2], bi = p->ps[3];
    const float cr = p->ps[4], ci = p->ps[5], dr = p->ps[6], di = p->ps[7];
    // Linear parts: c z + d = P + i Pi, a z + b = A + i Ai, as (value at 0, per x, per y).
    const float P[3] = {cr * xo - ci * yo + dr, cr * s, -ci * s};
    const float Pi[3] = {ci * xo + cr * yo + di, ci * s, cr * s};
    const float A[3] = {ar * xo - ai * yo + br, ar * s, -ai * s};
    const float Ai[3] = {ai * xo + ar * yo + bi, ai * s, ar * s};
    // |c z + d|^2, and (a z + b) conj(c z + d) = (A P + Ai Pi) + i (Ai P - A Pi).
    const mobius_quadratic q = mobius_add(mobius_mul(P, P, 1.0f), mobius_mul(Pi, Pi, 1.0f));
    const mobius_quadratic u = mobius_add(mobius_mul(A, P, 1.0f), mobius_mul(Ai, Pi, 1.0f));
    const mobius_quadratic v = mobius_add(mobius_mul(Ai, P, 1.0f), mobius_mul(A, Pi, -1.0f));
    const mobius_steps Q = mobius_fixed(q, 134217728.0f);
    const mobius_steps U = mobius_fixed(u, tu_max * 524288.0f);
    const mobius_steps V = mobius_fixed(v, tv_max * 524288.0f);

    const int32_t* lut = p->div_lut_fp;
    const uint16_t* texels = reinterpret_cast<const uint16_t*>(texture->mips[0]);
    const uint32_t u_tick = (uint32_t)p->u_tick_8fp, v_tick = (uint32_t)p->v_tick_8fp;
    uint32_t q_row = Q.v, u_row = U.v, v_row = V.v;
    uint32_t q_dy = Q.dy, u_dy = U.dy, v_dy = V.dy;
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    for (int y = 0; y < H; y++, row += fb->row_bytes) {
        uint32_t qv = q_row, uv = u_row, vv = v_row;
        uint32_t qd = Q.dx, ud = U.dx, vd = V.dx;
        uint32_t r = mobius_reciprocal(lut, qv);
        uint32_t us = mobius_coordinate(u_tick, uv, r), vs = mobius_coordinate(v_tick, vv, r);
        uint8_t* out = row;
        for (int x = 0; x < W; x += 4, out += 8) {
            qv += 4u * qd + 6u * Q.ddx;
            qd += 4u * Q.ddx;
            uv += 4u * ud + 6u * U.ddx;
            ud += 4u * U.ddx;
            vv += 4u * vd + 6u * V.ddx;
            vd += 4u * V.ddx;
            r = mobius_reciprocal(lut, qv);
            const uint32_t ue = mobius_coordinate(u_tick, uv, r), ve = mobius_coordinate(v_tick, vv, r);
            const uint32_t du = sra(ue - us, 2), dv = sra(ve - vs, 2);
            const uint32_t pu[4] = {us, us + du, us + 2u * du, ue - du};
            const uint32_t pv[4] = {vs, vs + dv, vs + 2u * dv, ve - dv};
            uint16_t px[4];
            for (int k = 0; k < 4; k++)
                px[k] = texels[demo_mobius_texel_index((pu[k] >> 8) & tw_mask, sra(pv[k], 8))];
            uint32_t w0 = (uint32_t)px[0] | (uint32_t)px[1] << 16, w1 = (uint32_t)px[2] | (uint32_t)px[3] << 16;
            memcpy(out, &w0, 4);
            memcpy(out + 4, &w1, 4);
            us = ue;
            vs = ve;
        }
        q_row += q_dy;
        q_dy += Q.ddy;
        u_row += u_dy;
        u_dy += U.ddy;
        v_row += v_dy;
        v_dy += V.ddy;
    }
}

// ---- brute-force tunnel --------------------------------------------------------

void tunnel_brute(n3d_frame_context* fc, const n3d_texture* color_map, const n2d_rect* dst_rect, float tunnel_center_x,
                  float tunnel_center_y, int u_offset, int v_offset)
{
    n3d_framebuffer* fb = fc->fb;
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        mycrash("src/tunnel", __LINE__, "", "not implemented/supported?\n");
    // The texel written is 16 bits wide: only ARGB1555 textures can be read.
    if (!color_map || color_map->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 || !color_map->mips ||
        !color_map->mips[0])
        mycrash("src/tunnel", __LINE__, "", "tunnel texture must be ARGB1555, is format %d\n",
                color_map ? color_map->format : -1);
    int dx, dy, w, h;
    n2d_boxrect(&dx, &dy, &w, &h, dst_rect->x0, dst_rect->y0, dst_rect->x1, dst_rect->y1, 0, 0, fb->w, fb->h);
    if (w <= 0 || h <= 0)
        return;
    const int x0 = dst_rect->x0 + dx, y0 = dst_rect->y0 + dy;
    const uint32_t tw = 1u << color_map->w_log2, th = 1u << color_map->h_log2;
    const int swizzled = color_map->not_swizzled == 0;
    const uint16_t* texels = reinterpret_cast<const uint16_t*>(color_map->mips[0]);
    const float fw = (float)fb->w;  // both axes over the width: the tunnel is round
    const float pi = LINMATH_PI_F;
    const float twist = sinf((float)u_offset / 1024.0f);
    for (int py = y0; py < y0 + h; py++) {
        uint8_t* row = static_cast<uint8_t*>(fb->b) + (ptrdiff_t)py * fb->row_bytes;
        const float fy = 2.0f * ((float)py - tunnel_center_y) / fw;
        for (int px = x0; px < x0 + w; px++) {
            const float fx = 2.0f * ((float)px - tunnel_center_x) / fw;
            const float r = sqrtf(fx * fx + fy * fy);
            const float angle = atan2f(fy, fx);
            const float u = r / 1.4142135f;
            const float v = 0.5f + 0.5f * (angle + twist * r) / pi;
            const uint32_t tu = ((uint32_t)u_offset + (uint32_t)mobius_trunc((double)((float)tw * u))) % tw;
            const uint32_t tv = ((uint32_t)v_offset + (uint32_t)mobius_trunc((double)((float)th * v))) % th;
            const uint16_t texel = texels[n3d_texel_index(color_map->format, color_map->w_log2, swizzled, tu, tv)];
            memcpy(row + 2 * px, &texel, 2);
        }
    }
}
