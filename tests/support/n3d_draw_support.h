// Test support for the draw paths: a target with coverage and depth, small
// texture records of both texel kinds, triangle lists built from screen or
// view positions, and a recording rasterizer registered in the renderer's
// registry that keeps every call's vertices, gradients and area. Programs that
// use the recorder under the fixed choice's flag words must not call n3d_init
// (its rasterizers take those words); they set the batch arena up themselves.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/linmath.h"
#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"

// One rasterizer call as the recorder saw it (phong calls use all four parameters).
struct recorded_call {
    const n3d_rasterizer* rasterizer;
    const void* vertices;  // where the records were (the vertex block, or a fanned copy)
    n3d_vertex_ex4 v[3];   // x, y, w and the parameters (ps[2], ps[3] zero on two-parameter calls)
    float gdx[5], gdy[5];
    int ps_count;
    float twice_area, min_w;
    int tri_id;
    const n3d_texture* texture0;
    const uint8_t* phong_lut0;
};

inline std::vector<recorded_call> g_recorded;
inline int g_recorder_result = 1;

template <int PS>
int recorder_func(n3d_rasterizer_args* a)
{
    recorded_call c{};
    c.rasterizer = a->rasterizer;
    c.vertices = a->vertices;
    c.ps_count = PS;
    for (int i = 0; i < 3; ++i) {
        const float* src = static_cast<const float*>(a->vertices) + i * (3 + PS);
        c.v[i].x = src[0];
        c.v[i].y = src[1];
        c.v[i].w = src[2];
        for (int k = 0; k < PS; ++k)
            c.v[i].ps[k] = src[3 + k];
    }
    for (int k = 0; k <= PS; ++k) {
        c.gdx[k] = a->gradients_dx[k];
        c.gdy[k] = a->gradients_dy[k];
    }
    c.twice_area = a->twice_area;
    c.min_w = a->min_w;
    c.tri_id = g_n3d_tri_id;
    c.texture0 = a->textures ? a->textures[0] : nullptr;
    c.phong_lut0 = a->phong_luts ? a->phong_luts[0] : nullptr;
    g_recorded.push_back(c);
    return g_recorder_result;
}

// The fixed choice's seven words and the ones the entry-check tables name.
inline void recorder_register_all()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const int two[] = {50, 48, 80, 81, 336, 16};
    const int four[] = {190, 178, 176, 208, 1214};
    for (int f : two)
        n3d_rasterizer_register("test_recorder_ps2", 2, recorder_func<2>, nullptr, f, __FILE__, __LINE__);
    for (int f : four)
        n3d_rasterizer_register("test_recorder_ps4", 4, recorder_func<4>, nullptr, f, __FILE__, __LINE__);
}

// Column-major matrix from rows, as written on paper.
inline void mat_rows(mat4x4 m, const float r[4][4])
{
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            m[c][k] = r[k][c];
}

// A target, textures and a batch arena over one heap block.
struct draw_target {
    std::vector<uint8_t> block;
    memarena arena;
    memarena batch;
    n3d_frame_context fc;
    n3d_texture tex_argb{};    // format 2, 64x64, swizzled
    n3d_texture tex_index8{};  // format 1, 64x64, swizzled, palette and shade table
    uint8_t* mips_argb[1];
    uint8_t* mips_index8[1];
    uint8_t* phong_lut;
    n3d_texture* textures[1];
    uint8_t* phong_luts[1];
    n3d_material material;

    draw_target(int w, int h, int fc_flags = N3D_FRAMECONTEXT_COVERAGEBUFFER | N3D_FRAMECONTEXT_DEPTHBUFFER)
        : block(16u << 20)
    {
        memarena_init(&arena, "draw_target", block.size(), block.data());
        void* b = memarena_push_align(&arena, 480, 32);
        memarena_init(&batch, "batch_arena", 480, b);
        n3d_framecontext_init(&fc, &arena, w, h, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, fc_flags);
        tex_argb.format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
        tex_argb.w_log2 = tex_argb.h_log2 = 6;
        tex_argb.min_u_level = tex_argb.min_v_level = 6;
        mips_argb[0] = static_cast<uint8_t*>(memarena_push_zeroed(&arena, 64 * 64 * 2));
        tex_argb.mips = mips_argb;
        tex_index8 = tex_argb;
        tex_index8.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
        mips_index8[0] = static_cast<uint8_t*>(memarena_push_zeroed(&arena, 64 * 64));
        tex_index8.mips = mips_index8;
        tex_index8.colors_count = N3D_TEXTURE_COLORS_COUNT;
        tex_index8.shades_per_color = N3D_TEXTURE_SHADES_PER_COLOR;
        tex_index8.palette = memarena_push_zeroed(&arena, 256 * 2);
        tex_index8.shade_table = memarena_push_zeroed(&arena, 256 * 32 * 2);
        phong_lut = static_cast<uint8_t*>(memarena_push_zeroed(&arena, 272)) + 8;
        textures[0] = &tex_argb;
        phong_luts[0] = phong_lut;
        material = {textures, phong_luts};
    }
    void use_index8() { textures[0] = &tex_index8; }
    void use_argb() { textures[0] = &tex_argb; }
};

// An unindexed triangle list whose arrays live in the vector members.
struct test_vertices {
    std::vector<float> xyz, uv, n, t, b, weights;
    std::vector<uint8_t> joints;
    n3d_vertices v{};

    void add(float x, float y, float z, float u = 0.0f, float vv = 0.0f)
    {
        xyz.insert(xyz.end(), {x, y, z});
        uv.insert(uv.end(), {u, vv});
        n.insert(n.end(), {0.0f, 0.0f, 1.0f});
        t.insert(t.end(), {1.0f, 0.0f, 0.0f});
        b.insert(b.end(), {0.0f, 1.0f, 0.0f});
        joints.insert(joints.end(), {0, 0, 0, 0});
        weights.insert(weights.end(), {1.0f, 0.0f, 0.0f, 0.0f});
    }
    // Pointers into the vectors: call after the last add and before drawing.
    n3d_vertices* finish(bool tangent_frame = true, bool skin = false)
    {
        v = {};
        v.count = (int)(xyz.size() / 3);
        v.xyz = xyz.data();
        v.uv = uv.data();
        if (tangent_frame) {
            v.n_xyz = n.data();
            v.t_xyz = t.data();
            v.b_xyz = b.data();
        }
        if (skin) {
            v.joints = joints.data();
            v.joints_weights = weights.data();
        }
        return &v;
    }
};
