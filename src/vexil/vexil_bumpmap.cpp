#include "vexil/vexil_bumpmap.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ppc.h"
#include "core/saturate.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "vexil/vexil_crash.h"

namespace {

// The clipped work of one call and the lighting set-up shared by both forms.
struct bumpmap_work {
    int dst_x0, dst_y0, dst_x1, dst_y1;
    int src_x0, src_y0;  // the texels drawn at (dst_x0, dst_y0)
    float Lx, Ly;
    float xf_dx, yf_dy;
    float yf0;  // the y coordinate of the first drawn row
    const uint32_t* bump;
    const uint8_t* color;
    const uint16_t* shade_table;
    const uint8_t* lut;
    int bump_w_log2, color_w_log2;
};

// Checks, clipping and light; 0 when nothing is drawn.
int bumpmap_setup(bumpmap_work* k, n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                  int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                  const n3d_phong_lut* phong)
{
    int bw = 1 << bumpmap->w_log2, bh = 1 << bumpmap->h_log2;
    int tw = 1 << texture->w_log2, th = 1 << texture->h_log2;
    if (bw != tw || bh != th) {
        printf("bumpmap must have same width height as texture (%d %d vs %d %d)\n", bw, bh, tw, th);
        fflush(stdout);
        exit(1);
    }
    if (texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || !texture->not_swizzled)
        VEXIL_BUMPMAP_CRASH("color texture must not be swizzled (is swizzled: %d) with format "
                            "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 (is: %d)\n",
                            texture->not_swizzled ? 0 : 1, texture->format);
    if (bumpmap->format != N3D_TEXEL_FORMAT_BUMPMAP || !bumpmap->not_swizzled)
        VEXIL_BUMPMAP_CRASH("bumpmap texture must not be swizzled (is swizzled: %d) with format "
                            "N3D_TEXEL_FORMAT_BUMPMAP (is: %d)\n",
                            bumpmap->not_swizzled ? 0 : 1, bumpmap->format);
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_BUMPMAP_CRASH("bumpmap target must be ARGB1555 (format %d)\n", fb->format);
    // Texel addresses combine row and column with a bitwise or: a window outside
    // the textures would read other texels or past the end.
    if (src_x0 < 0 || src_y0 < 0 || src_x1 < src_x0 || src_y1 < src_y0 || src_x1 > tw || src_y1 > th)
        VEXIL_BUMPMAP_CRASH("bumpmap source window (%d %d)-(%d %d) is outside the %dx%d textures\n", src_x0, src_y0,
                            src_x1, src_y1, tw, th);
    if (!texture->shade_table)
        VEXIL_BUMPMAP_CRASH("color texture has no shade table\n");

    // The step keeps the full window's, whatever is clipped.
    k->xf_dx = 2.0f / (float)(src_x1 - src_x0 - 1);
    k->yf_dy = 2.0f / (float)(src_y1 - src_y0 - 1);
    k->yf0 = -1.0f;
    if (dst_x0 < 0) {
        src_x0 = sat_int64_to_int((int64_t)src_x0 - dst_x0);
        dst_x0 = 0;
    }
    // The top edge is clipped like the left one; the rows keep their y coordinate.
    if (dst_y0 < 0) {
        int64_t skip = -(int64_t)dst_y0;
        if (skip >= (int64_t)src_y1 - src_y0)
            return 0;
        src_y0 = (int)(src_y0 + skip);
        k->yf0 = -1.0f + (float)skip * k->yf_dy;
        dst_y0 = 0;
    }
    k->dst_x0 = dst_x0;
    k->dst_y0 = dst_y0;
    k->dst_x1 = (int)sat_clamp<int64_t>((int64_t)dst_x0 + src_x1 - src_x0, INT32_MIN, fb->w);
    k->dst_y1 = (int)sat_clamp<int64_t>((int64_t)dst_y0 + src_y1 - src_y0, INT32_MIN, fb->h);
    if (k->dst_x1 <= k->dst_x0 || k->dst_y1 <= k->dst_y0)
        return 0;
    k->src_x0 = src_x0;
    k->src_y0 = src_y0;
    k->Lx = (float)(1.5 * sin(0.2 * 3.141592653589793 * (double)t));
    k->Ly = (float)(1.5 * cos(0.4 * 3.141592653589793 * (double)t));
    k->bump = reinterpret_cast<const uint32_t*>(bumpmap->mips[0]);
    k->color = texture->mips[0];
    k->shade_table = static_cast<const uint16_t*>(texture->shade_table);
    k->lut = phong->lut;
    k->bump_w_log2 = bumpmap->w_log2;
    k->color_w_log2 = texture->w_log2;
    return 1;
}

// The pixel at source (u, v) with the window coordinates (xf, yf).
inline uint16_t bumpmap_pixel(const bumpmap_work* k, uint32_t u, uint32_t v, float xf, float yf)
{
    uint32_t n = k->bump[(v << k->bump_w_log2) | u];
    float normal_x = (float)(int8_t)(uint8_t)(n >> 24);
    float normal_y = (float)(int8_t)(uint8_t)(n >> 16);
    float base = (float)(n & 0xffu);
    float dx = k->Lx - xf, dy = k->Ly - yf;
    float r = ppc_frsqrte(dx * dx + dy * dy);
    float lx = dx * r, ly = dy * r;
    float kk = ppc_frsqrte(lx * lx + ly * ly + 1.0f);
    float nx = lx * kk, ny = ly * kk;
    int A = ppc_round_float_to_int(128.0f * sat_clamp(64.0f * r - 1.0f, 0.0f, 1.0f));
    // The light exactly on a pixel gives r = inf and NaN directions: those pixels end dark, never undefined.
    int s = sat_float_to_int(base + 2.0f * nx * normal_x + 2.0f * ny * normal_y, -127, 127, -127);
    int i = sat_float_to_int(-127.0f * (nx * nx + ny * ny), -256, 0, 0) + s + (A < 0 ? 0 : A);
    i = sat_clamp(i, 0, 255);
    uint32_t level = k->lut[i];
    return k->shade_table[((uint32_t)k->color[(v << k->color_w_log2) | u] << 5) | level];
}

}  // namespace

void vexil_bumpmap_argb1555(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0, int src_x1,
                            int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                            const n3d_phong_lut* phong)
{
    bumpmap_work k;
    if (!bumpmap_setup(&k, fb, t, dst_x0, dst_y0, src_x0, src_y0, src_x1, src_y1, bumpmap, texture, phong))
        return;
    const int w = k.dst_x1 - k.dst_x0;
    float yf = k.yf0;
    for (int y = k.dst_y0; y < k.dst_y1; y++, yf += k.yf_dy) {
        const uint32_t v = (uint32_t)(k.src_y0 + (y - k.dst_y0));
        uint8_t* dst = static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes + (size_t)k.dst_x0 * 2;
        uint32_t u = (uint32_t)k.src_x0;
        float xf = -0.1f;  // not -1: the documented start of every row
        int x = 0;
        if (((uintptr_t)dst & 3u) != 0) {
            uint16_t p = bumpmap_pixel(&k, u, v, xf, yf);
            memcpy(dst, &p, 2);
            x = 1, u++, xf += k.xf_dx;
        }
        for (; x + 1 < w; x += 2, u += 2) {
            uint32_t p0 = bumpmap_pixel(&k, u, v, xf, yf);
            xf += k.xf_dx;
            uint32_t p1 = bumpmap_pixel(&k, u + 1, v, xf, yf);
            xf += k.xf_dx;
            // The left pixel at the lower address.
            uint16_t pair[2] = {(uint16_t)p0, (uint16_t)p1};
            memcpy(dst + 2 * x, pair, 4);
        }
        if (x < w) {
            uint16_t p = bumpmap_pixel(&k, u, v, xf, yf);
            memcpy(dst + 2 * x, &p, 2);
        }
    }
}

void vexil_bumpmap_argb1555_old(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                                int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                                const n3d_phong_lut* phong)
{
    bumpmap_work k;
    if (!bumpmap_setup(&k, fb, t, dst_x0, dst_y0, src_x0, src_y0, src_x1, src_y1, bumpmap, texture, phong))
        return;
    float yf = k.yf0;
    for (int y = k.dst_y0; y < k.dst_y1; y++, yf += k.yf_dy) {
        const uint32_t v = (uint32_t)(k.src_y0 + (y - k.dst_y0));
        uint16_t* dst = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes);
        float xf = -1.0f;
        uint32_t u = (uint32_t)k.src_x0;
        for (int x = k.dst_x0; x < k.dst_x1; x++, u++, xf += k.xf_dx)
            dst[x] = bumpmap_pixel(&k, u, v, xf, yf);
    }
}
