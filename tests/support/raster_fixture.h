// Test support for the rasterizers: a 320x200 ARGB1555 frame context with a
// coverage pair and a depth buffer, hand-made swizzled textures whose texels say
// where they were read, a phong table, and the argument record of one call.
// Memory from the fixture's own arena; main thread.
#pragma once

#include <cstring>
#include <vector>

#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "raster/n3d_raster.h"
#include "support/raster_stream.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

// n3d_init registers the rasterizers once per process.
inline void raster_init_once()
{
    static qf_test_arena<1u << 16> a;
    static bool done = false;
    if (!done) {
        n3d_init(&a.arena);
        done = true;
    }
}

struct raster_fixture {
    qf_test_arena<64u << 20> mem;
    n3d_frame_context fc{};
    n3d_texture tex16{}, tex8{}, texuv{};
    uint8_t* phong = nullptr;  // entry 0 of a padded table
    n3d_texture* textures[1] = {nullptr};
    uint8_t* phong_luts[1] = {nullptr};
    alignas(16) float vbuf[3 * 7] = {};
    float gdx[5] = {}, gdy[5] = {};
    n3d_rasterizer_args args{};

    // Every texel and palette entry has bit 15 set, so a drawn pixel shows.
    // tex16 level 0: 0x8000 | (u >> 3) << 5 | (v >> 3); level (ud, vd) of its chain
    // 0x8000 | (ud + 1) << 10 | (vd + 1) << 5. texuv: (v << 8) | u, a pixel names its texel.
    // tex8: index (u + 3v) & 255 through palette 0x8000 | index x 0x55 & 0x7FFF; shade
    // table entry (t << 5) | s = 0x8000 | s << 10 | (t & 31).
    // Levels of heap_levels textures are separate heap blocks of their exact size,
    // so a read past one is an address-sanitizer report.
    std::vector<std::vector<uint8_t>> heap;
    bool heap_levels = false;

    explicit raster_fixture(int w_log2 = 8, int h_log2 = 8, bool exact_levels = false) : heap_levels(exact_levels)
    {
        raster_init_once();
        n3d_framecontext_init(&fc, &mem.arena, 320, 200, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER | N3D_FRAMECONTEXT_DEPTHBUFFER);
        make_texture(&tex16, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, w_log2, h_log2);
        make_texture(&tex8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, w_log2, h_log2);
        make_texture(&texuv, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, w_log2, h_log2, true);
        phong = n3d_build_phong_lut(&mem.arena, 0.5f, 1);
        phong_luts[0] = phong;
        args.fc = &fc;
        args.vertices = vbuf;
        args.gradients_dx = gdx;
        args.gradients_dy = gdy;
        args.textures = textures;
        args.phong_luts = phong_luts;
        clear();
    }

    void make_texture(n3d_texture* t, int format, int w_log2, int h_log2, bool uv = false)
    {
        *t = n3d_texture{};
        t->format = format;
        t->w_log2 = w_log2;
        t->h_log2 = h_log2;
        t->min_u_level = w_log2 < 2 ? w_log2 : 2;
        t->min_v_level = h_log2 < 2 ? h_log2 : 2;
        t->mips = memarena_push_array_zeroed<uint8_t*>(&mem.arena, 1024);
        const bool b16 = format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
        for (int vd = 0; vd <= h_log2 - t->min_v_level; vd++)
            for (int ud = 0; ud <= w_log2 - t->min_u_level; ud++) {
                uint32_t lw = 1u << (w_log2 - ud), lh = 1u << (h_log2 - vd);
                uint32_t bytes = n3d_mipmap_size(format, 1, w_log2 - ud, h_log2 - vd);
                uint8_t* level;
                if (heap_levels) {
                    heap.emplace_back(bytes);
                    level = heap.back().data();
                } else {
                    level = static_cast<uint8_t*>(memarena_push_align(&mem.arena, bytes, 32));
                }
                memset(level, 0, bytes);
                for (uint32_t v = 0; v < lh; v++)
                    for (uint32_t u = 0; u < lw; u++) {
                        uint32_t i = n3d_swizzle_index_16bpp(u, v);
                        if (b16) {
                            uint16_t c = (ud | vd) ? static_cast<uint16_t>(0x8000 | (ud + 1) << 10 | (vd + 1) << 5)
                                                   : static_cast<uint16_t>(uv ? (v << 8) | u
                                                                              : 0x8000 | (u >> 3) << 5 | (v >> 3));
                            memcpy(level + 2 * i, &c, 2);
                        } else {
                            level[i] = static_cast<uint8_t>(u + 3 * v);
                        }
                    }
                t->mips[N3D_MIP_INDEX(ud, vd)] = level;
            }
        if (!b16) {
            uint16_t* pal = memarena_push_array<uint16_t>(&mem.arena, 256);
            uint16_t* shade = memarena_push_array<uint16_t>(&mem.arena, 256 * 32);
            for (int i = 0; i < 256; i++) {
                pal[i] = static_cast<uint16_t>(0x8000 | ((i * 0x55) & 0x7FFF));
                for (int s = 0; s < 32; s++)
                    shade[(i << 5) | s] = static_cast<uint16_t>(0x8000 | s << 10 | (i & 31));
            }
            t->palette = pal;
            t->shade_table = shade;
            t->colors_count = 256;
            t->shades_per_color = 32;
        }
    }

    void clear()
    {
        std::fill_n(static_cast<uint16_t*>(fc.fb->b), 320 * 200, uint16_t(0));
        n3d_coveragebuffer_clear(fc.cb);
        n3d_depthbuffer_clear(fc.db);
    }

    uint16_t px(int x, int y) const
    {
        uint16_t v;
        memcpy(&v, static_cast<const uint8_t*>(fc.fb->b) + y * fc.fb->row_bytes + 2 * x, 2);
        return v;
    }
    void set_px(int x, int y, uint16_t v)
    {
        memcpy(static_cast<uint8_t*>(fc.fb->b) + y * fc.fb->row_bytes + 2 * x, &v, 2);
    }
    int cov(int x, int y) const
    {
        uint32_t i = static_cast<uint32_t>(y * fc.cb->w + x);
        return (fc.cb->u32[i >> 5] >> (31 - (i & 31))) & 1;
    }
    uint16_t depth(int x, int y) const { return fc.db->u16[y * fc.db->w + x]; }

    // Draws t with the registered rasterizer of these flags (texture by its flags).
    int draw(int flags, const raster_tri& t, n3d_texture* texture = nullptr)
    {
        n3d_rasterizer* r = n3d_rasterizer_find(flags);
        args.rasterizer = r;
        textures[0] = texture ? texture : (flags & N3D_RASTERIZER_T0_I8ARGB1555) ? &tex8 : &tex16;
        raster_tri_vertices(&t, r->ps_count, vbuf);
        memcpy(gdx, t.gdx, sizeof gdx);
        memcpy(gdy, t.gdy, sizeof gdy);
        if (r->ps_count < t.ps_count) {  // the gradient of 1/w follows the parameters read
            gdx[r->ps_count] = t.gdx[t.ps_count];
            gdy[r->ps_count] = t.gdy[t.ps_count];
        }
        args.twice_area = t.twice_area;
        args.min_w = t.min_w;
        return r->func(&args);
    }
};

// A triangle from three screen points, each with (1/w, u, v, pu, pv), gradients as
// the benchmark computes them (parameters divided by w).
inline raster_tri raster_tri_make(const float p[3][7])
{
    raster_tri t{};
    float x[3], y[3], iw[3];
    for (int i = 0; i < 3; i++) {
        x[i] = p[i][0];
        y[i] = p[i][1];
        iw[i] = p[i][2];
    }
    float a = (y[0] - y[2]) * (x[1] - x[2]) - (y[1] - y[2]) * (x[0] - x[2]);
    float r = 1.0f / a;
    for (int k = 0; k <= 4; k++) {
        float q[3];
        for (int i = 0; i < 3; i++)
            q[i] = k < 4 ? iw[i] * p[i][3 + k] : iw[i];
        t.gdx[k] = ((y[0] - y[2]) * (q[1] - q[2]) - (y[1] - y[2]) * (q[0] - q[2])) * r;
        t.gdy[k] = -((x[0] - x[2]) * (q[1] - q[2]) - (x[1] - x[2]) * (q[0] - q[2])) * r;
        if (k < 4)
            for (int i = 0; i < 3; i++)
                t.v[i][3 + k] = q[i];
    }
    for (int i = 0; i < 3; i++) {
        t.v[i][0] = x[i];
        t.v[i][1] = y[i];
        t.v[i][2] = iw[i];
    }
    t.twice_area = a;
    t.ps_count = 4;
    float m = iw[0] > iw[1] ? iw[0] : iw[1];
    m = m > iw[2] ? m : iw[2];
    t.min_w = 1.0f / m;
    return t;
}
