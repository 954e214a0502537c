// Whole scenes through each draw path against a ray-cast reference: a room seen
// from inside and a screen-filling triangle cover every pixel exactly once (no
// gap, nothing drawn twice along shared or clipped edges), a cube seen from
// outside, a triangle across the near plane and one across all four screen
// edges cover exactly the pixels whose rays meet them, with the texture
// coordinate the ray finds there.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/linmath_extended.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "support/n3d_draw_support.h"
#include "support/n3d_render_reference.h"

namespace {

constexpr int W = 320, H = 240;
constexpr float NEAR = 0.25f;
// Flag words of the counting rasterizer: a bit no generated variant has, with
// the ARGB1555 texture bits (and phong) so the entry checks pass.
constexpr int REF2 = 2048 | N3D_RASTERIZER_T0_ARGB1555 | N3D_RASTERIZER_ARGB1555;
constexpr int REF4 = REF2 | N3D_RASTERIZER_PHONG;

void register_reference()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    n3d_rasterizer_register("test_reference_ps2", 2, ref_rasterizer<2>, nullptr, REF2, __FILE__, __LINE__);
    n3d_rasterizer_register("test_reference_ps4", 4, ref_rasterizer<4>, nullptr, REF4, __FILE__, __LINE__);
}

enum path { PLAIN, PHONG, SKINNING };
const char* path_name(path p) { return p == PLAIN ? "plain" : p == PHONG ? "phong" : "skinning"; }

struct scene {
    const char* why;
    std::vector<ref_triangle> tris;
    float eye[3], at[3];
    bool fills_screen;  // every pixel exactly once
};

std::vector<scene> scenes()
{
    const double origin[3] = {0, 0, 0}, ahead[3] = {0, 0, -4};
    std::vector<scene> s;
    s.push_back(
        {"room seen from inside", ref_cube(origin, 1.0, true), {0.1f, -0.05f, 0.2f}, {1.0f, 0.3f, -2.0f}, true});
    s.push_back(
        {"cube seen from outside", ref_cube(ahead, 1.0, false), {0.7f, 0.9f, 0.0f}, {0.0f, 0.0f, -4.0f}, false});
    ref_triangle near_cross = {{{-1.0, -0.5, -2.0}, {1.0, -0.5, -2.0}, {0.2, 0.3, 1.0}}, {{0, 0}, {1, 0}, {0.5, 1}}};
    s.push_back({"triangle across the near plane", {near_cross}, {0, 0, 0}, {0, 0, -1}, false});
    ref_triangle all_edges = {{{-3.5, -0.5, -2.0}, {1.2, -3.0, -2.0}, {1.6, 3.0, -2.0}}, {{0, 0.5}, {1, 0}, {1, 1}}};
    s.push_back({"triangle across all four screen edges", {all_edges}, {0, 0, 0}, {0, 0, -1}, false});
    ref_triangle cover = {{{-10.0, -6.0, -2.0}, {10.0, -6.0, -2.0}, {0.0, 12.0, -2.0}}, {{0, 0}, {1, 0}, {0.5, 1}}};
    s.push_back({"triangle covering the screen", {cover}, {0, 0, 0}, {0, 0, -1}, true});
    return s;
}

struct Watertight : ::testing::Test {
    draw_target t{W, H};
    n3d_space_context sc{};
    mat4x4 vpj[2];
    test_vertices tv;

    void SetUp() override { register_reference(); }

    void camera(const scene& s)
    {
        mat4x4 view, world;
        const vec3 up = {0.0f, 1.0f, 0.0f};
        mat4x4_look_at(view, s.eye, s.at, up);
        mat4x4_invert(world, view);
        n3d_space_context_set(&sc, &t.fc, view, world, (float)M_PI / 2.0f, NEAR);
    }
    int draw(path p, int flags = 0, int mode = 0)
    {
        n3d_draw_args a{};
        a.rasterizer_flags = flags ? flags : p == PHONG ? REF4 : REF2;
        a.draw_mode = mode ? mode : p == PHONG ? 580 : 65 | 512;
        a.fc = &t.fc;
        a.batch_arena = &t.batch;
        a.all_vs = tv.finish(true, p == SKINNING);
        a.material = &t.material;
        a.mesh_primitives_count = a.all_vs->count / 3;
        a.mvp = &sc.clip_from_world;
        vec3_set(a.model_light_pos, 0.3f, 2.0f, -1.0f);
        vec3_copy(a.model_view_pos, sc.world_view_pos);
        // Two joints with one matrix, weights 0.25 and 0.75: the same positions.
        mat4x4_dup(vpj[0], sc.clip_from_world);
        mat4x4_dup(vpj[1], sc.clip_from_world);
        for (int v = 0; v < a.all_vs->count; ++v) {
            tv.joints[4 * v + 1] = 1;
            tv.weights[4 * v] = 0.25f;
            tv.weights[4 * v + 1] = 0.75f;
        }
        a.view_proj_joint_matrices = vpj;
        switch (p) {
        case PHONG:
            return n3d_draw_triangles_phong_argb1555(&a);
        case SKINNING:
            return n3d_draw_triangles_skinning_argb1555(&a);
        default:
            return n3d_draw_triangles_argb1555(&a);
        }
    }
};

TEST_F(Watertight, EachPathCoversWhatTheRaysSee)
{
    for (const scene& s : scenes()) {
        camera(s);
        const std::vector<ref_pixel> ref = ref_cast(s.tris, sc.view_from_world, sc.clip_from_view, W, H, NEAR);
        int ref_hits = 0;
        for (const ref_pixel& r : ref)
            ref_hits += r.hits > 0;
        ASSERT_GT(ref_hits, 1000) << s.why << ": the scene is in view";
        for (path p : {PLAIN, PHONG, SKINNING}) {
            ref_to_vertices(s.tris, tv);
            g_ref_sink.reset(W, H);
            EXPECT_GT(draw(p), 0) << s.why << " " << path_name(p);
            EXPECT_EQ(g_ref_sink.outside, 0) << s.why << " " << path_name(p);
            int wrong_count = 0, wrong_uv = 0, checked_uv = 0;
            for (size_t i = 0; i < ref.size(); ++i) {
                const int n = g_ref_sink.count[i];
                if (s.fills_screen ? n != 1 : (n > 1 || (!ref[i].ambiguous && n != ref[i].hits)))
                    ++wrong_count;
                if (n == 1 && ref[i].hits == 1 && !ref[i].ambiguous) {
                    ++checked_uv;
                    wrong_uv +=
                        std::fabs(g_ref_sink.u[i] - ref[i].u) > 2e-3 || std::fabs(g_ref_sink.v[i] - ref[i].v) > 2e-3;
                }
            }
            EXPECT_EQ(wrong_count, 0) << s.why << " " << path_name(p);
            EXPECT_EQ(wrong_uv, 0) << s.why << " " << path_name(p) << " of " << checked_uv;
            EXPECT_GT(checked_uv, ref_hits / 2) << s.why << " " << path_name(p);
        }
    }
}

// The generated rasterizers behind the same draw calls. Each is wrapped under
// its flag word plus a bit no variant has: the wrapper clears the coverage
// buffer, calls the variant and adds the bits it set to a per-pixel count, so
// a pixel drawn by two triangles shows as 2. Target planes are heap blocks of
// their exact size, so a write past them is an AddressSanitizer report.
constexpr int WRAP_BIT = 4096;
std::vector<int> g_real_count;

int wrap_real(n3d_rasterizer_args* a)
{
    n3d_rasterizer* self = a->rasterizer;
    n3d_rasterizer* real = n3d_rasterizer_find(self->flags & ~WRAP_BIT);
    n3d_coveragebuffer* cb = a->fc->cb;
    n3d_coveragebuffer_clear(cb);
    a->rasterizer = real;
    const int r = real->func(a);
    a->rasterizer = self;
    for (int i = 0; i < cb->w * cb->h; ++i)
        if (cb->u32[i >> 5] & (0x80000000u >> (i & 31)))
            g_real_count[(size_t)(i / cb->w) * W + (size_t)(i % cb->w)]++;
    return r;
}

TEST_F(Watertight, GeneratedRasterizersDrawEachPixelOnce)
{
    n3d_init(&t.arena);
    struct {
        path p;
        int flags;
        int mode;
        bool index8;
    } variants[] = {
        {PLAIN, 80, 65 | 512, false},    {PLAIN, 50, 65 | 128 | 512, true}, {SKINNING, 80, 65 | 512, false},
        {PHONG, 208, 580, false},        {PHONG, 178, 708, true},           {PHONG, 190, 708 | 1024, true},
        {PHONG, 1214, 708 | 1024, true},
    };
    for (auto& v : variants) {
        const int wrapped = v.flags | WRAP_BIT;
        if (!n3d_rasterizer_find(wrapped)) {
            const n3d_rasterizer* real = n3d_rasterizer_find(v.flags);
            ASSERT_NE(real, nullptr) << v.flags;
            n3d_rasterizer_register(real->name, real->ps_count, wrap_real, nullptr, wrapped, __FILE__, __LINE__);
        }
    }
    // Exact-size planes for the generated rasterizers' writes.
    std::vector<uint16_t> pixels((size_t)W * H);
    std::vector<uint32_t> bits((size_t)W * H / 32);
    t.fc.fb->b = pixels.data();
    t.fc.cb->u32 = bits.data();
    for (const scene& s : scenes()) {
        camera(s);
        const std::vector<ref_pixel> ref = ref_cast(s.tris, sc.view_from_world, sc.clip_from_view, W, H, NEAR, 5e-4);
        for (auto& v : variants) {
            ref_to_vertices(s.tris, tv);
            v.index8 ? t.use_index8() : t.use_argb();
            n3d_depthbuffer_clear(t.fc.db);
            g_real_count.assign((size_t)W * H, 0);
            const int drawn = draw(v.p, v.flags | WRAP_BIT, v.mode);
            EXPECT_GT(drawn, 0) << s.why << " " << v.flags;
            int wrong = 0, twice = 0, covered = 0;
            for (size_t i = 0; i < ref.size(); ++i) {
                const int n = g_real_count[i];
                twice += n > 1;
                covered += n > 0;
                if (s.fills_screen ? n != 1 : (!ref[i].ambiguous && n != ref[i].hits))
                    ++wrong;
            }
            EXPECT_EQ(twice, 0) << s.why << " " << v.flags;
            EXPECT_GT(covered, 1000) << s.why << " " << v.flags;
            EXPECT_EQ(wrong, 0) << s.why << " " << v.flags;
        }
    }
}

}  // namespace
