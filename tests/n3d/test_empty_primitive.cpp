// Empty primitives: a vertex list of no triangles (a datapack primitive of 0
// vertices has no arrays at all) draws nothing through every draw path that
// meets one, the mesh renderer and both pipeline passes of the datapack scene,
// and the datapack reader accepts one under a skinned node. A list with a
// triangle is still held to its arrays.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/io.h"
#include "image/n3d_phong.h"
#include "n3d/mad.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "n3d/n3d_pipeline.h"
#include "n3d/n3d_vertices.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/n3d_draw_support.h"
#include "support/test_arena.h"

namespace {

constexpr int W = 256, H = 128;

// One target, camera, light and the records a draw call needs; the list to
// draw is `empty` (count 0, no arrays: what the reader makes of a 0-vertex
// primitive) unless a case points `vs` elsewhere.
struct scene {
    draw_target t{W, H};
    n3d_texture* argb_table[1];
    n3d_texture* index8_table[1];
    uint8_t* luts[1];
    n3d_render_context rc{};
    n3d_light_context light{};
    n3d_phong_lut lut{};
    mat4x4 joint_matrices[1], vpj[1];
    n3d_vertices empty{};
    test_vertices one;  // a front-facing triangle at view depth 2
    n3d_vertices* vs = &empty;

    scene()
    {
        recorder_register_all();
        g_recorded.clear();
        g_recorder_result = 1;
        memarena_init(&n3d_batch_arena, "batch_arena", t.batch.size, t.batch.ptr);
        argb_table[0] = &t.tex_argb;
        index8_table[0] = &t.tex_index8;
        luts[0] = t.phong_lut;
        rc.fc = &t.fc;
        rc.tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = argb_table;
        rc.tc.textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555] = index8_table;
        rc.tc.phong_luts = luts;
        mat4x4 identity;
        mat4x4_identity(identity);
        n3d_space_context_set(&rc.sc, &t.fc, identity, identity, 1.5707964f, 0.25f);
        vec3_set(light.world_light_pos, 1.0f, 2.0f, 3.0f);
        rc.lc = light;
        lut.lut = t.phong_lut;
        one.add(-0.5f, 0.5f, -2.0f);
        one.add(-0.5f, -0.5f, -2.0f);
        one.add(0.5f, 0.5f, -2.0f);
        one.finish(true, true);
    }

    void mesh(int draw_mode, bool skinned)
    {
        n3d_mesh m{};
        mat4x4_identity(m.world_from_model);
        mat4x4_identity(m.model_from_world);
        m.vertices = *vs;
        if (skinned) {
            mat4x4_identity(joint_matrices[0]);
            m.joint_matrices = joint_matrices;
            m.view_proj_joint_matrices = vpj;
            n3d_prepare_skinning(&m, 1, &rc.sc);
        }
        n3d_render_mesh(&rc, &m, draw_mode);
    }

    // One command as the datapack scene's passes give it: the sky (flags 81,
    // mode 192, ARGB1555 texture, no phong table) or the objects (flags 190,
    // mode 1220, index8 texture, phong table).
    void pipeline(bool sky)
    {
        auto p = std::make_unique<n3d_pipeline>();
        struct n3d_pipeline_cmd cmd {};
        cmd.rasterizer_flags = sky ? 81 : 190;
        cmd.draw_mode = sky ? 192 : 1220;
        cmd.texture = sky ? &t.tex_argb : &t.tex_index8;
        cmd.phong_lut = sky ? nullptr : &lut;
        cmd.light_context = &light;
        mat4x4_identity(cmd.model_from_world);
        mat4x4_identity(cmd.world_from_model);
        cmd.vertices = vs;
        n3d_pipeline_begin(p.get(), &t.fc, &rc.sc);
        n3d_pipeline_cmd(p.get(), &cmd);
        n3d_pipeline_end(p.get());
    }
};

void put32(std::vector<uint8_t>& b, uint32_t v)
{
    uint8_t w[4];
    io_store32(w, v, IO_ENDIAN_NATIVE);
    b.insert(b.end(), w, w + 4);
}
void putf(std::vector<uint8_t>& b, float v)
{
    uint32_t u;
    memcpy(&u, &v, 4);
    put32(b, u);
}

// A datapack of one node that has both a mesh and a skin of one joint (the
// node itself); the mesh's one primitive holds `count` vertices under the
// array mask `mask` (vertex values zero, joints 0).
std::vector<uint8_t> skinned_pack(uint32_t mask, uint32_t count)
{
    std::vector<uint8_t> b;
    for (uint32_t c : {1u, 1u, 1u, 0u, 0u, 0u, 0u})  // nodes, meshes, skins, cameras, animations, images, materials
        put32(b, c);
    for (char ch : std::string("body"))
        b.push_back((uint8_t)ch);
    b.push_back(0);
    put32(b, 0);  // children
    for (float f : {1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f})
        putf(b, f);
    for (uint32_t ref : {1u, 1u, 0u, 0u})  // mesh 0, skin 0, no camera, a root
        put32(b, ref);
    put32(b, 1);  // primitives
    put32(b, mask);
    put32(b, count);
    // xyz 12 bytes a vertex, uv 8, joints 4, weights 16; all zero.
    const size_t per_vertex = (mask & 1 ? 12 : 0) + (mask & 2 ? 8 : 0) + (mask & 64 ? 4 : 0) + (mask & 128 ? 16 : 0);
    b.insert(b.end(), per_vertex * count, 0);
    put32(b, 0xFFFFFFFFu);  // no material
    put32(b, 1);            // joints
    put32(b, 0);
    for (int i = 0; i < 16; ++i)
        putf(b, i % 5 == 0 ? 1.0f : 0.0f);
    return b;
}

TEST(EmptyPrimitive, DrawsNothingThroughEveryPathAndLoadsUnderASkin)
{
    struct row {
        const char* why;
        std::function<void(scene&)> run;
        const char* out;  // what the case prints when it ends by itself
        const char* err;  // the crash message, or "" when it must end by itself
    } rows[] = {
        {"mesh, default mode, plain path", [](scene& s) { s.mesh(577, false); }, "calls 0\n", ""},
        {"mesh, default mode, skinning path", [](scene& s) { s.mesh(577, true); }, "calls 0\n", ""},
        {"mesh, phong mode", [](scene& s) { s.mesh(580, false); }, "calls 0\n", ""},
        {"mesh, phong mode, index8 texture", [](scene& s) { s.mesh(708, false); }, "calls 0\n", ""},
        {"pipeline, sky pass (flags 81, mode 192)", [](scene& s) { s.pipeline(true); }, "calls 0\n", ""},
        {"pipeline, object pass (flags 190, mode 1220)", [](scene& s) { s.pipeline(false); }, "calls 0\n", ""},
        {"two vertices without arrays: no triangle",
         [](scene& s) {
             s.empty.count = 2;
             s.mesh(577, true);
             s.pipeline(false);
         },
         "calls 0\n", ""},
        // The same set-up draws a triangle that is there, and still asks for
        // the arrays that triangle is read from.
        {"one triangle, mesh and both passes",
         [](scene& s) {
             s.vs = &s.one.v;
             s.mesh(577, true);
             s.pipeline(true);
             s.pipeline(false);
         },
         "calls 3\n", ""},
        {"one triangle without uv",
         [](scene& s) {
             s.one.v.uv = nullptr;
             s.vs = &s.one.v;
             s.pipeline(true);
         },
         "", "n3d_draw_triangles_argb1555: the vertices have no uv array\n"},
        {"one triangle without tangents, phong mode",
         [](scene& s) {
             s.one.v.t_xyz = nullptr;
             s.vs = &s.one.v;
             s.mesh(580, false);
         },
         "", "N3D_DRAW_MODE_PHONG was used but the mesh has nil on n_xyz and/or t_xyz and/or b_xyz!\n"},
        {"one triangle without weights, skinning path",
         [](scene& s) {
             s.one.v.joints_weights = nullptr;
             s.vs = &s.one.v;
             s.mesh(577, true);
         },
         "", "n3d_draw_triangles_skinning_argb1555: the vertices have no joints_weights array\n"},
        // An empty list copied into one made for it.
        {"empty list with arrays, alloc and copy",
         [](scene& s) {
             n3d_vertices src = s.one.v, dst{};
             src.count = 0;
             n3d_vertices_alloc(&dst, &src, &s.t.arena);
             n3d_vertices_copy(&dst, &src);
             s.vs = &dst;
             s.pipeline(true);
         },
         "calls 0\n", ""},
    };
    for (const row& r : rows) {
        captured_run c = capture_run([&r] {
            auto s = std::make_unique<scene>();
            r.run(*s);
            printf("calls %zu\n", g_recorded.size());
            fflush(stdout);
        });
        EXPECT_TRUE(c.exited) << r.why;
        if (*r.err) {
            EXPECT_EQ(c.status, 1) << r.why;
            EXPECT_NE(c.err.find(r.err), std::string::npos) << r.why << "\n" << c.err;
        } else {
            EXPECT_EQ(c.status, 0) << r.why << "\n" << c.err;
            EXPECT_EQ(c.out, r.out) << r.why;
            EXPECT_EQ(c.err, "") << r.why;
        }
    }

    // The reader: an empty primitive under a skinned node loads with no arrays
    // (and so draws as above); one with vertices still needs joints and weights.
    struct pack_row {
        uint32_t mask, count;
        const char* refusal;  // null: accepted
    } packs[] = {
        {1 | 2, 0, nullptr},
        {1 | 2 | 64 | 128, 0, nullptr},
        {1 | 2 | 64 | 128, 3, nullptr},
        {1 | 2, 3, "datapack record refused: skinned primitive without joints and weights\n"},
    };
    for (const pack_row& p : packs) {
        const std::vector<uint8_t> bytes = skinned_pack(p.mask, p.count);
        captured_run c = capture_run([&bytes] {
            qf_test_arena<1u << 16> ta;
            mad_datapack dp;
            if (!mad_datapack_load(&dp, &ta.arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE))
                return;
            const n3d_vertices& v = dp.meshes[0].primitives[0].vertices;
            printf("loaded %d vertices, arrays %d%d%d%d\n", v.count, v.xyz != nullptr, v.uv != nullptr,
                   v.joints != nullptr, v.joints_weights != nullptr);
        });
        EXPECT_TRUE(c.exited) << p.mask << " " << p.count;
        EXPECT_EQ(c.status, 0) << c.err;
        const std::string loaded = std::string("loaded ") + std::to_string(p.count) + " vertices, arrays " +
                                   (p.count && (p.mask & 1) ? "1" : "0") + (p.count && (p.mask & 2) ? "1" : "0") +
                                   (p.count && (p.mask & 64) ? "1" : "0") + (p.count && (p.mask & 128) ? "1" : "0") +
                                   "\n";
        EXPECT_EQ(c.out, p.refusal ? std::string(p.refusal) : loaded) << p.mask << " " << p.count;
    }
}

}  // namespace
