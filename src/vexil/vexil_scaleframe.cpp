#include "vexil/vexil_scaleframe.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/crash.h"
#include "core/ppc.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"

// A 16.16 value from a float, rounded; beyond the int range it saturates
// (a destination of a fraction of a pixel gives a huge step).
static int32_t scaleframe_fp16(float x)
{
    float f = roundf(x * 65536.0f);
    if (!(f > -2147483648.0f))
        return INT32_MIN;
    if (f >= 2147483647.0f)
        return INT32_MAX;
    return (int32_t)f;
}

// Position of the highest set bit of the integer part of a 16.16 step (0 below 1.0).
static int scaleframe_mipdown(uint32_t step_fp16)
{
    uint32_t whole = step_fp16 >> 16;
    return whole == 0 ? 0 : 31 - ppc_cntlze(whole);
}

// Eight texels in pixel order as one 64-bit pattern.
static inline uint64_t scaleframe_pack8(const uint8_t t[8])
{
    uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (int i = 7; i >= 0; i--)
            w = w << 8 | t[i];
    } else {
        for (int i = 0; i < 8; i++)
            w = w << 8 | t[i];
    }
    return w;
}

// Writes one row of n pixels at p from the texels src[(u + k du) >> 16], with
// the widest store that the remaining count and the address allow. When the
// last texel of the row would lie beyond the level's row the reads are clamped
// to its last texel.
static void scaleframe_row(uint8_t* p, int n, const uint8_t* src, uint32_t u, uint32_t du, uint32_t row_w)
{
    uint64_t last = ((uint64_t)u + (uint64_t)(n - 1) * du) >> 16;
    int clamp = last >= row_w || (uint64_t)u + (uint64_t)(n - 1) * du > 0xFFFFFFFFull;
    uint64_t pos = u;
    auto texel = [&]() -> uint8_t {
        uint8_t t;
        if (clamp) {
            uint64_t i = pos >> 16;
            t = src[i < row_w ? i : row_w - 1];
        } else {
            t = src[(uint32_t)pos >> 16];
        }
        pos += du;
        return t;
    };
    while (n > 0) {
        uintptr_t a = (uintptr_t)p;
        if (n > 7 && (a & 3) == 0) {
            uint8_t t[8];
            for (int k = 0; k < 8; k++)
                t[k] = texel();
            uint64_t w = scaleframe_pack8(t);
            memcpy(p, &w, 8);
            p += 8;
            n -= 8;
        } else if (n == 4 || (n > 4 && (a & 3) == 0) || (n == 5 && (a & 1) == 0)) {
            uint8_t t[4];
            for (int k = 0; k < 4; k++)
                t[k] = texel();
            uint32_t w;
            memcpy(&w, t, 4);
            memcpy(p, &w, 4);
            p += 4;
            n -= 4;
        } else if (n == 2 || (n >= 3 && (a & 1) == 0)) {
            uint8_t t[2];
            t[0] = texel();
            t[1] = texel();
            uint16_t w;
            memcpy(&w, t, 2);
            memcpy(p, &w, 2);
            p += 2;
            n -= 2;
        } else {
            *p++ = texel();
            n -= 1;
        }
    }
}

void vexil_scaleframe(n3d_frame_context* fc, n3d_texture* texture, float dst_x0_f, float dst_y0_f, float dst_x1_f,
                      float dst_y1_f, float src_x0_f, float src_y0_f, float src_x1_f, float src_y1_f,
                      int use_interlaced, int interlaced_odd, int work_start_y, int work_height)
{
    n3d_framebuffer* fb = fc->fb;
    if (fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "dst: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n");
    if (texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n");
    if (!texture->not_swizzled)
        crash_fail(1, "src: swizzled not supported for this (would be slower)\n");
    // The steps are shifted as unsigned values and every read must land in the
    // texture: the source runs left to right, top to bottom, inside the base level.
    const float tw = (float)(1 << texture->w_log2), th = (float)(1 << texture->h_log2);
    if (!(src_x0_f >= 0.0f && src_x0_f <= src_x1_f && src_x1_f <= tw && src_y0_f >= 0.0f && src_y0_f <= src_y1_f &&
          src_y1_f <= th))
        crash_fail(1,
                   "src: rectangle (%g %g %g %g) must run left to right and top to bottom inside the %dx%d texture\n",
                   (double)src_x0_f, (double)src_y0_f, (double)src_x1_f, (double)src_y1_f, 1 << texture->w_log2,
                   1 << texture->h_log2);
    // An empty or reversed destination has no pixels (and would divide by zero).
    if (!(dst_x1_f > dst_x0_f) || !(dst_y1_f > dst_y0_f))
        return;

    const int W = fb->w, H = fb->h;
    float du = (src_x1_f - src_x0_f) / (dst_x1_f - dst_x0_f);
    float dv = (src_y1_f - src_y0_f) / (dst_y1_f - dst_y0_f);
    float x = ceilf(dst_x0_f);
    float u = (x - dst_x0_f) * du + src_x0_f;
    float y = ceilf(dst_y0_f);
    float v = (y - dst_y0_f) * dv + src_y0_f;
    if (dst_x1_f < 0.0f || dst_y1_f < 0.0f || x >= (float)W || y >= (float)H)
        return;
    if (x < 0.0f) {
        u += -x * du;
        x = 0.0f;
    }
    if (y < 0.0f) {
        v += -y * dv;
        y = 0.0f;
    }
    if (dst_x1_f > (float)W)
        dst_x1_f = (float)W;
    if (dst_y1_f > (float)H)
        dst_y1_f = (float)H;

    uint32_t u_fp = (uint32_t)scaleframe_fp16(u);
    uint32_t v_fp = (uint32_t)scaleframe_fp16(v);
    uint32_t du_fp = (uint32_t)scaleframe_fp16(du);
    uint32_t dv_fp = (uint32_t)scaleframe_fp16(dv);

    // Mip level per axis so that shrinking reads about one texel per step.
    int u_mipdown = scaleframe_mipdown(du_fp);
    int v_mipdown = scaleframe_mipdown(dv_fp);
    int max_u_mipdown = texture->w_log2 - texture->min_u_level;
    int max_v_mipdown = texture->h_log2 - texture->min_v_level;
    if (u_mipdown > max_u_mipdown)
        u_mipdown = max_u_mipdown;
    if (v_mipdown > max_v_mipdown)
        v_mipdown = max_v_mipdown;
    if (u_mipdown < 0)
        u_mipdown = 0;
    if (v_mipdown < 0)
        v_mipdown = 0;
    u_fp >>= u_mipdown;
    du_fp >>= u_mipdown;
    v_fp >>= v_mipdown;
    dv_fp >>= v_mipdown;
    const uint8_t* level = texture->mips[N3D_MIP_INDEX(u_mipdown, v_mipdown)];
    const uint32_t level_w = 1u << (texture->w_log2 - u_mipdown);
    const uint32_t level_h = 1u << (texture->h_log2 - v_mipdown);

    const int xs = (int)x, xe = (int)dst_x1_f;
    int ys = (int)y;
    int ye = (int)dst_y1_f;
    if (ys < work_start_y) {
        v_fp += (uint32_t)(work_start_y - ys) * dv_fp;
        ys = work_start_y;
    }
    if ((int64_t)work_start_y + work_height < ye)
        ye = work_start_y + work_height;
    if (xe <= xs)
        return;

    uint8_t* pixels = (uint8_t*)fb->b;
    n3d_coveragebuffer* cb = fc->cb;
    for (int row = ys; row < ye; row++) {
        if (!(use_interlaced && (row & 1) == interlaced_odd)) {
            uint32_t tv = v_fp >> 16;
            if (tv >= level_h)
                tv = level_h - 1;
            scaleframe_row(pixels + (size_t)row * (size_t)fb->row_bytes + (size_t)xs, xe - xs,
                           level + (size_t)tv * level_w, u_fp, du_fp, level_w);
        }
        // Skipped rows are recorded too: the whole rectangle stays covered.
        if (cb && row < cb->h && xe <= cb->w)
            n2d_cb_row_set_bits(cb->u32 + (size_t)row * (size_t)(cb->w / 32), xs, xe);
        v_fp += dv_fp;
    }
}
