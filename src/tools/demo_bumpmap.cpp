#include "tools/demo_bumpmap.h"

#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_timing.h"

#define BUMP_CRASH(...) mycrash("src/demo_bumpmap", __LINE__, "", __VA_ARGS__)

// trunc with saturation; NaN gives 0 (extreme scripts leave the 32-bit range).
static int32_t bump_fix(double x)
{
    if (x != x)
        return 0;
    if (x >= 2147483647.0)
        return INT32_MAX;
    if (x <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)x;
}

static inline uint32_t sra(uint32_t x, int n) { return (uint32_t)((int32_t)x >> n); }

// ---- bump map ----------------------------------------------------------------

static int bump_height(const uint8_t* level, const uint16_t* shade_table, uint32_t u, uint32_t v)
{
    const uint16_t c = shade_table[(uint32_t)level[n3d_swizzle_index_8bpp(u, v)] << 5 | 31u];
    const int r = (c >> 10) & 31, g = (c >> 5) & 31;
    const int h = (r + 2 * g) / 3;
    return h > 31 ? 31 : h;
}

void* demo_bumpmap_make_bumpmap(memarena* arena, const n3d_texture* texture, int u_mipdown, int v_mipdown)
{
    if (!texture || texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || texture->not_swizzled ||
        !texture->shade_table || texture->shades_per_color != 32)
        BUMP_CRASH("height texture must be index8 shown as ARGB1555 and swizzled, is format %d\n",
                   texture ? texture->format : -1);
    const int ul = texture->w_log2 - u_mipdown, vl = texture->h_log2 - v_mipdown;
    if (u_mipdown < 0 || v_mipdown < 0 || ul < texture->min_u_level || vl < texture->min_v_level ||
        !texture->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)])
        BUMP_CRASH("height texture has no level (%d, %d)\n", u_mipdown, v_mipdown);
    if (vl < 1)
        BUMP_CRASH("height texture level (%d, %d) is one row high\n", u_mipdown, v_mipdown);
    const uint32_t u_max = (1u << ul) - 1u, v_max = (1u << vl) - 1u;
    const uint8_t* level = texture->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)];
    const uint16_t* shades = static_cast<const uint16_t*>(texture->shade_table);
    // Records sit at the swizzled index, which leaves gaps in levels narrower
    // than 256: the map spans the whole swizzled level.
    const uint32_t records = n3d_swizzle_size_8bpp(u_max, v_max);
    demo_bumpmap_texel* map =
        memarena_push_array_align_zeroed<demo_bumpmap_texel>(arena, records, MEMARENA_PLANE_ALIGN);
    for (uint32_t v = 0; v <= v_max; v++)
        for (uint32_t u = 0; u <= u_max; u++) {
            const int hl = bump_height(level, shades, (u > 1 ? u : 1) - 1, v);
            const int hr = bump_height(level, shades, u < u_max ? u + 1 : u_max, v);
            const int hu = bump_height(level, shades, u, (v > 1 ? v : 1) - 1);
            const int hd = bump_height(level, shades, u, v < v_max ? v + 1 : v_max);
            const float sx = (float)(hr - hl) / 62.0f, sy = (float)(hd - hu) / 62.0f;
            // A slope of +0.5 is 128, one past the signed byte: kept at 127.
            int bx = (int)(128.0f * 2.0f * sx);
            bx = bx > 127 ? 127 : bx;
            const int16_t by = (int16_t)(int)(128.0f * 2.0f * sy);
            demo_bumpmap_texel* rec = &map[n3d_swizzle_index_8bpp(u, v)];
            rec->sx = (int8_t)bx;
            rec->len = (uint8_t)(int)(128.0f * (sx * sx + sy * sy));
            memcpy(rec->sy, &by, 2);
        }
    return map;
}

static void bump_check_texture(const n3d_texture* t, const char* what, int i)
{
    if (!t || t->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || t->not_swizzled || t->w_log2 != 8 ||
        t->h_log2 != 8 || !t->mips || !t->mips[0] || !t->shade_table || t->shades_per_color != 32)
        BUMP_CRASH("bump map %s %d must be index8 shown as ARGB1555, swizzled and 256x256\n", what, i);
}

void demo_bumpmap_init(memarena* arena, demo_bumpmap* p, n3d_texture* const* textures,
                       n3d_texture* const* height_textures, memarena* tmp_arena)
{
    (void)tmp_arena;
    memset(p, 0, sizeof *p);
    for (int i = 0; i < 2; i++) {
        bump_check_texture(textures[i], "texture", i);
        const n3d_texture* h = height_textures[i];
        // The renderer reads the map at the colour texture's texels.
        if (!h || h->w_log2 != textures[i]->w_log2 || h->h_log2 != textures[i]->h_log2)
            BUMP_CRASH("height texture %d must have the size of its colour texture\n", i);
        p->textures[i] = textures[i];
        p->bumpmaps[i] = demo_bumpmap_make_bumpmap(arena, h, 0, 0);
    }
    p->phong_lut = n3d_build_phong_lut(arena, 0.3f, 0);
}

// ---- renderer ------------------------------------------------------------------

enum bump_variant { BUMP_CLEAN, BUMP_NOISE1, BUMP_NOISE2 };

// Byte offset of texel ((u >> 16) mod 256, (v >> 16) mod TH) in the bump map:
// 4 x its swizzled index, in three rotate-and-insert steps.
static inline uint32_t bump_offset(uint32_t u, uint32_t v, uint32_t th_mask4)
{
    uint32_t o = sra(v, 14) & th_mask4;
    o = ppc_rlwimi(o, u, 20, 22, 27);
    o = ppc_rlwimi(o, v, 24, 16, 21);
    o = ppc_rlwimi(o, u, 26, 14, 15);
    return o;
}

// Shade of a light accumulator, the table index kept to its 256 entries (the
// beat modifiers drive the accumulator far past them).
static inline uint32_t bump_shade(const uint8_t* phong_lut, uint32_t acc)
{
    int32_t i = (int32_t)acc >> 19;
    i = i < 0 ? 0 : (i > 255 ? 255 : i);
    return phong_lut[i] & 31u;
}

template <bump_variant VARIANT>
static void bump_render(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2, const uint8_t* phong_lut,
                        const void* bumpmap, const uint8_t* texels, const uint16_t* light_palette,
                        const int8_t* cos256_fp7, const int8_t* sin256_fp7)
{
    if (w_log2 != 8 || h_log2 != 8)
        BUMP_CRASH("bump map renderer needs a 256x256 texture, is %dx%d\n", 1 << (w_log2 & 15), 1 << (h_log2 & 15));
    const int W = fb->w, H = fb->h;
    if ((W & 7) != 0)
        BUMP_CRASH("frame width %d is not a multiple of 8\n", W);
    if (W <= 0 || H <= 0)
        return;
    const uint8_t* bump = static_cast<const uint8_t*>(bumpmap);
    const float t = g_dtf.t;
    const float tw1 = (float)((1 << w_log2) - 1), th1 = (float)((1 << h_log2) - 1);
    const uint32_t th_mask4 = 4u * (uint32_t)((1 << h_log2) - 1);
    const float u_offset = ps[DEMO_BUMPMAP_U_OFFSET], v_offset = ps[DEMO_BUMPMAP_V_OFFSET];
    const float c0 = ps[DEMO_BUMPMAP_C0], c1 = ps[DEMO_BUMPMAP_C1], c2 = ps[DEMO_BUMPMAP_C2];
    const float x0 = ps[DEMO_BUMPMAP_X0], y0 = ps[DEMO_BUMPMAP_Y0], q = ps[DEMO_BUMPMAP_Q];
    const float u_dx = ps[DEMO_BUMPMAP_U_DX], v_dy = ps[DEMO_BUMPMAP_V_DY];

    const float dx = 2.0f / (float)(W - 1);
    const float dy = H > 1 ? 2.0f / (float)(H - 1) : 0.0f;
    const int32_t u0_fp = bump_fix(65536.0f * u_offset), v0_fp = bump_fix(65536.0f * v_offset);
    const int32_t u_dx_fp = bump_fix(65536.0f * u_dx), v_dy_fp = bump_fix(65536.0f * v_dy);
    const float s = 65536.0f * 0.2f * (1.0f - q);

    // Light with 26 fraction bits; squares by forward differences.
    const float two26 = 67108864.0f, two27 = 134217728.0f;
    const float tx0 = c0 * x0 - c1, by0 = c0 * y0 - c2;
    const uint32_t t_start = (uint32_t)bump_fix(two26 * tx0), t_step = (uint32_t)bump_fix(two26 * c0 * dx);
    const uint32_t t2_start = (uint32_t)bump_fix(two26 * tx0 * tx0);
    const uint32_t dt2_start = (uint32_t)bump_fix(two26 * 2.0f * c0 * dx * tx0);
    const uint32_t ddt2 = (uint32_t)bump_fix(two27 * c0 * c0 * dx * dx);
    uint32_t b = (uint32_t)bump_fix(two26 * by0);
    const uint32_t b_step = (uint32_t)bump_fix(two26 * c0 * dy);
    uint32_t b2 = (uint32_t)bump_fix(two26 * by0 * by0);
    uint32_t db2 = (uint32_t)bump_fix(two26 * 2.0f * c0 * dy * by0);
    const uint32_t ddb2 = (uint32_t)bump_fix(two27 * c0 * c0 * dy * dy);

    // Ripple phase in 1/65536 turn.
    const float inv_2pi = 1.0f / (2.0f * LINMATH_PI_F);
    uint32_t omega_row = (uint32_t)bump_fix(65536.0f * (x0 * x0 + t + y0 * y0) * inv_2pi);
    uint32_t d_row = (uint32_t)bump_fix(131072.0f * y0 * dy * inv_2pi);
    const uint32_t dd_row = (uint32_t)bump_fix(131072.0f * dy * dy * inv_2pi);
    const uint32_t d_col = (uint32_t)bump_fix(131072.0f * x0 * dx * inv_2pi);
    const uint32_t dd_col = (uint32_t)bump_fix(131072.0f * dx * dx * inv_2pi);

    // Texture coordinates in 16.16.
    const uint32_t u_base_start = (uint32_t)bump_fix(t * s + (float)u0_fp);
    const uint32_t u_base_step = (uint32_t)bump_fix(8.0f * q * (float)u_dx_fp);
    uint32_t v_base = (uint32_t)bump_fix(t * s + (float)v0_fp);
    const uint32_t v_base_step = (uint32_t)bump_fix(q * (float)v_dy_fp);
    const uint32_t u_amp_start = (uint32_t)bump_fix(x0 * s * tw1);
    const uint32_t u_amp_step = (uint32_t)bump_fix(dx * 65536.0f * 8.0f * (1.0f - q) * 0.2f * tw1);
    uint32_t v_amp = (uint32_t)bump_fix(y0 * s * th1);
    const uint32_t v_amp_step = (uint32_t)bump_fix(dy * s * th1);

    auto coord_u = [&](uint32_t omega, uint32_t base, uint32_t amp) {
        return sra((uint32_t)(int32_t)sin256_fp7[(omega >> 8) & 255u] * amp, 7) + base;
    };
    auto coord_v = [&](uint32_t omega, uint32_t base, uint32_t amp) {
        return sra((uint32_t)(int32_t)cos256_fp7[(omega >> 8) & 255u] * amp, 7) + base;
    };

    uint8_t* row = static_cast<uint8_t*>(fb->b);
    for (int y = 0; y < H; y++, row += fb->row_bytes) {
        uint32_t omega = omega_row, d = d_col, u_base = u_base_start, u_amp = u_amp_start;
        uint32_t T = t_start, T2 = t2_start, dT2 = dt2_start;
        uint32_t us = coord_u(omega, u_base, u_amp), vs = coord_v(omega, v_base, v_amp);
        uint8_t* out = row;
        for (int x = 0; x < W; x += 8) {
            omega += 8u * d + 28u * dd_col;
            d += 8u * dd_col;
            u_base += u_base_step;
            u_amp += u_amp_step;
            const uint32_t ue = coord_u(omega, u_base, u_amp), ve = coord_v(omega, v_base, v_amp);
            const uint32_t du = (uint32_t)((int32_t)(ue - us) / 8), dv = (uint32_t)((int32_t)(ve - vs) / 8);
            uint32_t u = us, v = vs;
            for (int pair = 0; pair < 4; pair++, out += 4) {
                const uint32_t o = bump_offset(u, v, th_mask4);
                uint32_t bo, ti;
                if constexpr (VARIANT == BUMP_CLEAN) {
                    bo = o;
                    ti = o >> 2;
                } else if constexpr (VARIANT == BUMP_NOISE1) {
                    bo = o >> 9;
                    ti = o >> 15;
                } else {
                    bo = o >> 7;
                    ti = o >> 11;
                }
                const uint32_t sx = (uint32_t)(int32_t)(int8_t)bump[bo];
                const uint32_t len = bump[bo + 1];
                int16_t sy16;
                memcpy(&sy16, bump + bo + 2, 2);  // odd offsets in the noise variants
                const uint32_t sy = (uint32_t)(int32_t)sy16;
                uint32_t acc = T2 + b2 + len + sra(T * sx + b * sy, 7);
                const uint32_t col_a = light_palette[(uint32_t)texels[ti] << 5 | bump_shade(phong_lut, acc)];
                // Pixel B keeps A's slopes.
                acc += sra(t_step * sx, 7) + dT2;
                T += t_step;
                T2 += dT2;
                dT2 += ddt2;
                u += du;
                v += dv;
                const uint32_t ob = bump_offset(u, v, th_mask4);
                const uint32_t col_b = light_palette[(uint32_t)texels[ob >> 2] << 5 | bump_shade(phong_lut, acc)];
                T += t_step;
                T2 += dT2;
                dT2 += ddt2;
                u += du;
                v += dv;
                const uint32_t pair_word = col_a | col_b << 16;
                memcpy(out, &pair_word, 4);
            }
            us = ue;
            vs = ve;
        }
        b += b_step;
        b2 += db2;
        db2 += ddb2;
        omega_row += d_row;
        d_row += dd_row;
        v_base += v_base_step;
        v_amp += v_amp_step;
    }
}

void demo_bumpmap_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2, const uint8_t* phong_lut,
                           const void* bumpmap, const uint8_t* texels, const uint16_t* light_palette,
                           const int8_t* cos256_fp7, const int8_t* sin256_fp7)
{
    bump_render<BUMP_CLEAN>(ps, fb, w_log2, h_log2, phong_lut, bumpmap, texels, light_palette, cos256_fp7, sin256_fp7);
}

void demo_bumpmap_noise1_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2,
                                  const uint8_t* phong_lut, const void* bumpmap, const uint8_t* texels,
                                  const uint16_t* light_palette, const int8_t* cos256_fp7, const int8_t* sin256_fp7)
{
    bump_render<BUMP_NOISE1>(ps, fb, w_log2, h_log2, phong_lut, bumpmap, texels, light_palette, cos256_fp7, sin256_fp7);
}

void demo_bumpmap_noise2_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2,
                                  const uint8_t* phong_lut, const void* bumpmap, const uint8_t* texels,
                                  const uint16_t* light_palette, const int8_t* cos256_fp7, const int8_t* sin256_fp7)
{
    bump_render<BUMP_NOISE2>(ps, fb, w_log2, h_log2, phong_lut, bumpmap, texels, light_palette, cos256_fp7, sin256_fp7);
}

// ---- script --------------------------------------------------------------------

struct bump_script {
    double ps[DEMO_BUMPMAP_PS_COUNT];
    int noise;       // use the glitch variants
    int beat_phong;  // use the asset set's phong table of the beat
};

// The animated set A(tau, g, U, V, Su, Sv), added to s.
static void bump_add_animated(bump_script* s, double tau, double g, double U, double V, double Su, double Sv, double W,
                              double H)
{
    const double pi = LINMATH_PI;
    s->ps[DEMO_BUMPMAP_U_OFFSET] += (10.0 * tau + U) * g;
    s->ps[DEMO_BUMPMAP_V_OFFSET] += (10.0 * cos(0.2 * pi * tau) + V) * g;
    s->ps[DEMO_BUMPMAP_C0] += (0.5 + fabs(0.2 * cos(pi * tau))) * g;
    s->ps[DEMO_BUMPMAP_C1] += 0.2 * sin(pi * tau) * g;
    s->ps[DEMO_BUMPMAP_C2] += 0.02 * (W / H) * cos(pi * tau) * g;
    s->ps[DEMO_BUMPMAP_X0] += -g;
    s->ps[DEMO_BUMPMAP_Y0] += -g;
    s->ps[DEMO_BUMPMAP_Q] += 0.8 * g;
    s->ps[DEMO_BUMPMAP_U_DX] += Su * g / (W - 1.0);
    s->ps[DEMO_BUMPMAP_V_DY] += Sv * g / (H - 1.0);
}

// k x the fixed set (u, v, c0, c1, c2, x0, y0, q, u_dx, v_dy), added to s.
static void bump_add_fixed(bump_script* s, double k, const double fixed[DEMO_BUMPMAP_PS_COUNT])
{
    for (int i = 0; i < DEMO_BUMPMAP_PS_COUNT; i++)
        s->ps[i] += k * fixed[i];
}

// The beat modifier M(G, S).
static void bump_beat(bump_script* s, double G, double S)
{
    const int beat = g_dtf.beat_id;
    const double lerp = g_dtf.lerp_beats;
    if (beat % 4 == 0)
        s->ps[DEMO_BUMPMAP_C0] += lerp * S * G * 0.5;
    s->ps[DEMO_BUMPMAP_U_DX] += beat * G * S * sin(lerp);
    s->ps[DEMO_BUMPMAP_V_DY] += beat * G * S * cos(lerp);
    s->noise = 1;
    s->beat_phong = 1;
}

void demo_bumpmap_update(demo_bumpmap* p, n3d_frame_context* fc, memarena* tmp_arena)
{
    (void)tmp_arena;
    n3d_framebuffer* fb = fc->fb;
    const double W = fb->w, H = fb->h;
    const int P = g_dtf.pos;
    const double t = g_dtf.t, lerp = g_dtf.lerp_beats;
    bump_script s = {};
    int texture = 0;
    const double fixed1[DEMO_BUMPMAP_PS_COUNT] = {228, 801, 0, 0, 0, -1, -1, 1, 303.0 / (W - 1.0), 189.0 / (H - 1.0)};
    if (P < 1270272) {
        bump_add_fixed(&s, 1.0, fixed1);
    } else if (P < 1788038) {
        const double k = 1.0 - demo_timing_lerp_factor_sample_duration(1270272, 5.0f), m = 1.0 - k;
        bump_add_fixed(&s, k, fixed1);
        bump_add_animated(&s, t, m, 228, 801, 303, 189, W, H);
        s.ps[DEMO_BUMPMAP_U_DX] += 4.0 * demo_timing_tri_factor_around(1424041, 0.15f);
        s.ps[DEMO_BUMPMAP_V_DY] += 4.0 * demo_timing_tri_factor_around(1429516, 0.15f);
        if (P >= 1434991)
            bump_beat(&s, 1.0 - demo_timing_tri_factor(1434991, 1788038), 150);
    } else if (P <= 2317823) {
        texture = 1;
        s.beat_phong = 1;
        const double e = demo_timing_time_since_sample(1788038);
        const double k = demo_timing_lerp_factor_sample_duration(1854188, 5.0f), m = 1.0 - k;
        const double fixed3[DEMO_BUMPMAP_PS_COUNT] = {
            226, 15, 0, 0, 0, -1, -1, 1, -196.0 / (W - 1.0), 222.0 / (H - 1.0)};
        bump_add_animated(&s, e, m, 226, 15, -196, 222, W, H);
        bump_add_fixed(&s, k, fixed3);
    } else {
        bump_add_animated(&s, t, 1.0, 255, 0, 0, 0, W, H);
        if (P <= 3199128) {
            if (lerp != 0.0)
                bump_beat(&s, 1, 1);
        } else if (P < 3449767) {
            bump_beat(&s, 1.0 - demo_timing_tri_factor(3199129, 3449767), 150);
        }
    }
    for (int i = 0; i < DEMO_BUMPMAP_PS_COUNT; i++)
        p->ps[i] = (float)s.ps[i];

    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        n3d_crash("src/demo_bumpmap", __LINE__, "not implemented\n");

    const uint8_t* phong_lut = p->phong_lut;
    if (s.beat_phong && g_demo && g_demo->assets && g_demo->assets->tc.phong_luts) {
        const int n = bump_fix(fabs(sin(0.2 * LINMATH_PI * t)) * (20.0 * lerp * lerp + 10.0));
        phong_lut = g_demo->assets->tc.phong_luts[n < 0 ? 0 : (n > 30 ? 30 : n)];
    }
    if (!g_demo)
        BUMP_CRASH("bump map update without a running runtime (no sine tables)\n");
    const n3d_texture* tex = p->textures[texture];
    const int8_t* sin256 = g_demo->sin256_fp7;
    const int8_t* cos256 = g_demo->cos256_fp7;
    auto render = demo_bumpmap_argb1555;
    if (s.noise)
        render = lerp < 0.1 ? demo_bumpmap_noise1_argb1555 : demo_bumpmap_noise2_argb1555;
    render(p->ps, fb, tex->w_log2, tex->h_log2, phong_lut, p->bumpmaps[texture], tex->mips[0],
           static_cast<const uint16_t*>(tex->shade_table), cos256, sin256);
}

// ---- floating-point reference ------------------------------------------------------

static int bump_raw_height(const uint8_t* level, const uint16_t* shades, int u, int v)
{
    const uint16_t c = shades[(uint32_t)level[n3d_swizzle_index_8bpp((uint32_t)u, (uint32_t)v)] << 5 | 31u];
    const int h = ((c >> 10) & 31) + 2 * ((c >> 5) & 31);
    return h > 31 ? 31 : h;
}

static int bump_clamp255(int x) { return x < 0 ? 0 : (x > 255 ? 255 : x); }

void demo_bumpmap_raw_argb1555(demo_bumpmap* p, n3d_framebuffer* fb)
{
    const n3d_texture* tex = p->textures[0];
    bump_check_texture(tex, "texture", 0);
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        n3d_crash("src/demo_bumpmap", __LINE__, "not implemented\n");
    const float set[5] = {-1.0f, 0.664083f, 1.0f, -0.794656f, -0.751876f};
    memcpy(p->ps, set, sizeof set);
    const int W = fb->w, H = fb->h;
    const float t = g_dtf.t, pi = LINMATH_PI_F;
    const float tw = (float)(1 << tex->w_log2), th = (float)(1 << tex->h_log2);
    const uint8_t* level = tex->mips[0];
    const uint16_t* shades = static_cast<const uint16_t*>(tex->shade_table);
    for (int y = 0; y < H; y++) {
        uint16_t* row = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(fb->b) + (ptrdiff_t)y * fb->row_bytes);
        const float Y = H > 1 ? 2.0f * (float)y / (float)(H - 1) - 1.0f : -1.0f;
        for (int x = 0; x < W; x++) {
            const float X = W > 1 ? 2.0f * (float)x / (float)(W - 1) - 1.0f : -1.0f;
            const int ui = bump_clamp255(bump_fix(255.0f * (X / 2.0f + 0.5f)));
            const int vi = bump_clamp255(bump_fix(255.0f * (Y / 2.0f + 0.5f)));
            const int hl = bump_raw_height(level, shades, (ui > 1 ? ui : 1) - 1, vi);
            const int hr = bump_raw_height(level, shades, ui < 255 ? ui + 1 : 255, vi);
            const int hu = bump_raw_height(level, shades, ui, (vi > 1 ? vi : 1) - 1);
            const int hd = bump_raw_height(level, shades, ui, vi < 255 ? vi + 1 : 255);
            const float sx = (float)(hr - hl) / 62.0f, sy = (float)(hd - hu) / 62.0f;
            const float w2 = p->ps[2] * X * Y * Y + p->ps[0] * t + p->ps[1] * X * X * Y;
            const float a = sinf(2.0f * pi * w2) * p->ps[4];
            const float g = p->ps[5] * a + 5.0f * p->ps[2];
            const float lx = sinf(2.0f * pi * t) * a, ly = cosf(2.0f * pi * t) * a;
            const int si = bump_clamp255(bump_fix(128.0f * ((lx + sx) * (lx + sx) + (ly + sy) * (ly + sy))));
            const uint32_t shade = p->phong_lut[si] & 31u;
            const int tu = bump_clamp255(bump_fix((float)ui + 255.0f * sx * g / tw));
            const int tv = bump_clamp255(bump_fix((float)vi + 255.0f * sy * g / th));
            const uint8_t texel = level[n3d_swizzle_index_8bpp((uint32_t)tu, (uint32_t)tv)];
            const uint16_t c = shades[(uint32_t)texel << 5 | shade];
            memcpy(&row[x], &c, 2);
        }
    }
}
