// The triangle draw paths against a recording rasterizer: trivial reject,
// culling, the near-plane and screen-edge clips, batching within the vertex
// block, the rasterizer choice and the entry checks with their messages, the
// three vertex stages, and draw calls whose values are not finite.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "core/cycles_measure.h"
#include "n3d/n3d_draw.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/n3d_draw_support.h"

namespace {

// 256 x 128: kx = 128 and ky = 64 are powers of two, so screen positions
// written as model positions below are exact.
constexpr int W = 256, H = 128;
constexpr float KX = 128.0f, KY = 64.0f, XO = 128.5f, YO = 64.5f;
constexpr float NEAR = 0.25f;

// Clip position (x, y, z - 2 near, z): the projection's depth terms with the
// model position already in view units, so z is the view depth W.
const float PASSTHROUGH[4][4] = {
    {1, 0, 0, 0},
    {0, 1, 0, 0},
    {0, 0, 1, -2 * NEAR},
    {0, 0, 1, 0},
};

enum path { PLAIN, PHONG, SKINNING };

struct screen_pt {
    float x, y, depth;
};

struct DrawPaths : ::testing::Test {
    draw_target t{W, H};
    mat4x4 mvp;
    mat4x4 joints[4];
    n3d_draw_args args{};
    test_vertices tv;

    void SetUp() override
    {
        recorder_register_all();
        g_recorded.clear();
        g_recorder_result = 1;
        mat_rows(mvp, PASSTHROUGH);
        for (mat4x4& j : joints)
            mat_rows(j, PASSTHROUGH);
    }
    // A vertex that the passthrough matrix puts at screen (sx, sy) and view depth d.
    void add(screen_pt p, float u = 0.0f, float v = 0.0f)
    {
        tv.add((p.x - XO) / KX * p.depth, (p.y - YO) / KY * p.depth, p.depth, u, v);
    }
    void add_tri(screen_pt a, screen_pt b, screen_pt c)
    {
        add(a);
        add(b);
        add(c);
    }
    int draw(path p = PLAIN, int flags = 0, int mode = 577)
    {
        args.rasterizer_flags = flags;
        args.draw_mode = mode;
        args.fc = &t.fc;
        args.batch_arena = &t.batch;
        args.all_vs = tv.finish(true, p == SKINNING);
        args.material = &t.material;
        args.mesh_primitives_count = args.all_vs->count / 3;
        args.mvp = &mvp;
        args.view_proj_joint_matrices = joints;
        switch (p) {
        case PHONG:
            return n3d_draw_triangles_phong_argb1555(&args);
        case SKINNING:
            return n3d_draw_triangles_skinning_argb1555(&args);
        default:
            return n3d_draw_triangles_argb1555(&args);
        }
    }
    bool in_block(const void* p) const
    {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        return b >= t.batch.ptr && b < t.batch.ptr + t.batch.size;
    }
};

float area(const recorded_call& c)
{
    const n3d_vertex_ex4* v = c.v;
    return (v[0].y - v[2].y) * (v[1].x - v[2].x) - (v[1].y - v[2].y) * (v[0].x - v[2].x);
}

TEST_F(DrawPaths, TrianglesWhollyBeyondOneSideAreRejected)
{
    struct {
        const char* why;
        screen_pt a, b, c;
    } cases[] = {
        {"left", {-10, 10, 1}, {-20, 100, 1}, {-1, 50, 2}},
        {"right", {W + 1.0f, 10, 1}, {W + 1.0f, 100, 1}, {W + 50.0f, 50, 2}},
        {"top", {10, -1, 1}, {200, -5, 1}, {100, -50, 2}},
        {"bottom", {10, H + 1.0f, 1}, {100, H + 30.0f, 1}, {200, H + 1.0f, 2}},
        {"near (all in front of the near plane)", {10, 10, 0.2f}, {10, 100, 0.1f}, {200, 10, 0.05f}},
        {"near (all behind the eye)", {10, 10, -1}, {10, 100, -1}, {200, 10, -2}},
    };
    for (auto& c : cases) {
        tv = {};
        g_recorded.clear();
        add_tri(c.a, c.b, c.c);
        EXPECT_EQ(draw(), 0) << c.why;
        EXPECT_TRUE(g_recorded.empty()) << c.why;
        EXPECT_EQ(t.batch.sp, 0u) << c.why << ": the batch arena is reset";
    }
    // Far: a depth row that puts every vertex beyond Z = W.
    const float far_rows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 1}, {0, 0, 1, 0}};
    mat_rows(mvp, far_rows);
    tv = {};
    g_recorded.clear();
    tv.add(0, 0, 1);
    tv.add(0, 0.5f, 1);
    tv.add(0.5f, 0, 1);
    args.mvp = &mvp;
    EXPECT_EQ(draw(), 0);
    EXPECT_TRUE(g_recorded.empty());
}

TEST_F(DrawPaths, BackFacesAreCulledAndTheOtherWindingDrawn)
{
    // (0,0), (0,4), (4,0) with y down is a front face.
    add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
    add_tri({10, 10, 1}, {50, 10, 1}, {10, 50, 1});
    EXPECT_EQ(draw(), 1);
    ASSERT_EQ(g_recorded.size(), 1u);
    EXPECT_EQ(g_recorded[0].v[1].y, 50.0f);
    EXPECT_FLOAT_EQ(g_recorded[0].twice_area, 1600.0f);
    // A zero-area triangle in front of the eye counts as a back face.
    tv = {};
    g_recorded.clear();
    add_tri({10, 10, 1}, {20, 20, 1}, {30, 30, 1});
    EXPECT_EQ(draw(), 0);
}

TEST_F(DrawPaths, AVertexBehindTheEyeIsClippedAtTheNearPlaneAndFanned)
{
    // Two vertices at depth 1, one behind the eye: never culled by area, clipped
    // to a quad whose new vertices lie on the near plane (1/w = 4), drawn as 2 triangles.
    tv.add(-0.25f, -0.25f, 1.0f);
    tv.add(-0.25f, 0.25f, 1.0f);
    tv.add(0.25f, 0.0f, -0.5f);
    EXPECT_EQ(draw(), 2);
    ASSERT_EQ(g_recorded.size(), 2u);
    int on_near = 0;
    for (const recorded_call& c : g_recorded) {
        EXPECT_FALSE(in_block(c.vertices)) << "fanned triangles are copies";
        EXPECT_GE(area(c), 0.0f);
        float max_iw = 0;
        for (const n3d_vertex_ex4& v : c.v) {
            EXPECT_GE(v.x, 0.0f);
            EXPECT_LE(v.x, (float)W);
            EXPECT_GE(v.y, 0.0f);
            EXPECT_LE(v.y, (float)H);
            on_near += std::fabs(v.w - 1.0f / NEAR) < 1e-4f;
            max_iw = std::fmax(max_iw, v.w);
        }
        EXPECT_FLOAT_EQ(c.min_w, 1.0f / max_iw);
    }
    EXPECT_GE(on_near, 2);
}

TEST_F(DrawPaths, VerticesOnTheScreenBorderAreDrawnUnclipped)
{
    add_tri({0, 0, 1}, {0, H, 1}, {W, 0, 1});
    add_tri({W, 0, 2}, {0, H, 2}, {W, H, 2});
    EXPECT_EQ(draw(), 2);
    ASSERT_EQ(g_recorded.size(), 2u);
    const float expect[2][3][2] = {{{0, 0}, {0, H}, {W, 0}}, {{W, 0}, {0, H}, {W, H}}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(in_block(g_recorded[i].vertices)) << "unclipped triangles go straight from the block";
        for (int v = 0; v < 3; ++v) {
            EXPECT_EQ(g_recorded[i].v[v].x, expect[i][v][0]) << i << " " << v;
            EXPECT_EQ(g_recorded[i].v[v].y, expect[i][v][1]) << i << " " << v;
        }
        EXPECT_EQ(g_recorded[i].min_w, i == 0 ? 1.0f : 2.0f);
    }
}

TEST_F(DrawPaths, ScreenEdgeClipsPutNewVerticesExactlyOnTheEdge)
{
    struct {
        const char* why;
        screen_pt a, b, c;
        int axis;  // 0 x, 1 y
        float edge;
        int triangles;
    } cases[] = {
        {"right", {200, 20, 1}, {200, 100, 1}, {300, 60, 1}, 0, (float)W, 2},
        {"left", {-40, 60, 1}, {50, 100, 1}, {50, 20, 1}, 0, 0.0f, 2},
        {"top", {100, -20, 1}, {60, 60, 1}, {140, 60, 1}, 1, 0.0f, 2},
        {"bottom", {60, 60, 1}, {100, 200, 1}, {140, 60, 1}, 1, (float)H, 2},
    };
    for (auto& c : cases) {
        tv = {};
        g_recorded.clear();
        add_tri(c.a, c.b, c.c);
        EXPECT_EQ(draw(), c.triangles) << c.why;
        int on_edge = 0;
        for (const recorded_call& r : g_recorded)
            for (const n3d_vertex_ex4& v : r.v) {
                const float coord = c.axis == 0 ? v.x : v.y;
                on_edge += coord == c.edge;
                EXPECT_GE(v.x, 0.0f) << c.why;
                EXPECT_LE(v.x, (float)W) << c.why;
                EXPECT_GE(v.y, 0.0f) << c.why;
                EXPECT_LE(v.y, (float)H) << c.why;
            }
        EXPECT_GE(on_edge, 2) << c.why << ": the two new vertices sit exactly on the edge";
    }
}

TEST_F(DrawPaths, EightTrianglesFormBatchesOfThreeThreeAndTwo)
{
    for (int i = 0; i < 8; ++i) {
        const float x = 10.0f + 20.0f * (float)i;
        add_tri({x, 10, 1}, {x, 30, 1}, {x + 10, 10, 1});
    }
    const uint32_t batches_before = g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES];
    const uint32_t setups_before = g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP];
    EXPECT_EQ(draw(), 8);
    EXPECT_EQ(g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES] - batches_before, 3u);
    EXPECT_EQ(g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP] - setups_before, 1u);
    ASSERT_EQ(g_recorded.size(), 8u);
    // Each batch starts again at the front of the one vertex block.
    const uint8_t* block = static_cast<const uint8_t*>(g_recorded[0].vertices);
    const int slot[8] = {0, 3, 6, 0, 3, 6, 0, 3};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(static_cast<const uint8_t*>(g_recorded[i].vertices) - block,
                  (ptrdiff_t)(slot[i] * sizeof(n3d_vertex_ex2)))
            << i;
        EXPECT_EQ(g_recorded[i].v[0].x, 10.0f + 20.0f * (float)i);
    }
    EXPECT_EQ(t.batch.sp, 0u);
}

// A triangle crossing the near plane and all four screen edges: an 8-vertex polygon.
void add_octagon_maker(test_vertices& tv, bool reversed)
{
    const float p[3][3] = {{1.75f, -1.75f, 0.75f}, {-0.5f, 1.0f, 1.75f}, {-1.25f, 0.75f, 0.0f}};
    // Its model positions are in the passthrough's units for a 320 x 240 target.
    for (int i = 0; i < 3; ++i) {
        const float* q = p[reversed ? 2 - i : i];
        tv.add(q[0], q[1], q[2]);
    }
}

TEST(DrawPathsClip, EightVertexPolygonFromTheNearPlaneAndAllFourEdges)
{
    recorder_register_all();
    const float rows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, -2 * NEAR}, {0, 0, 1, 0}};
    for (path p : {PLAIN, PHONG}) {
        // The block alone in an arena of exactly its size: any record past the
        // fifteenth would land outside the heap block (AddressSanitizer).
        const size_t bytes = p == PHONG ? 420 : 300;
        draw_target t(320, 240);
        // Aligned new rather than aligned_alloc, which the Windows C runtime lacks.
        void* raw = ::operator new(448, std::align_val_t(32));
        memarena tight;
        memarena_init(&tight, "tight_batch", bytes, raw);
        mat4x4 mvp;
        mat_rows(mvp, rows);
        test_vertices tv;
        // 3 + 4 vertices, then the 8-vertex polygon in the same batch.
        auto scr = [&](float sx, float sy) { tv.add((sx - 160.5f) / 160.0f, (sy - 120.5f) / 120.0f, 1.0f); };
        scr(10, 10), scr(10, 30), scr(30, 10);
        scr(300, 100), scr(300, 140), scr(340, 120);
        bool reversed = false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            test_vertices probe = tv;
            add_octagon_maker(probe, reversed);
            g_recorded.clear();
            n3d_draw_args a{};
            a.draw_mode = p == PHONG ? 708 : 577;
            a.fc = &t.fc;
            a.batch_arena = &tight;
            a.all_vs = probe.finish();
            a.mesh_primitives_count = 3;
            a.mvp = &mvp;
            if (p == PHONG)
                t.use_index8();
            a.material = &t.material;
            vec3_set(a.model_light_pos, 0, 0, 5);
            vec3_set(a.model_view_pos, 0, 0, -5);
            const int drawn = p == PHONG ? n3d_draw_triangles_phong_argb1555(&a) : n3d_draw_triangles_argb1555(&a);
            if (drawn == 1 + 2 + 6) {
                // The polygon's fan is the last six calls; its eight corners lie on the screen.
                for (size_t i = 3; i < g_recorded.size(); ++i) {
                    for (const n3d_vertex_ex4& v : g_recorded[i].v) {
                        EXPECT_GE(v.x, 0.0f);
                        EXPECT_LE(v.x, 320.0f);
                        EXPECT_GE(v.y, 0.0f);
                        EXPECT_LE(v.y, 240.0f);
                    }
                }
                break;
            }
            ASSERT_EQ(drawn, 3) << "a back-facing polygon draws nothing of its fan";
            reversed = true;
            ASSERT_EQ(attempt, 0);
        }
        EXPECT_EQ(tight.sp, 0u);
        ::operator delete(raw, std::align_val_t(32));
    }
}

TEST(DrawPathsClip, OnePlaneKeepsWindingFixesTheClippedComponentAndNeverOverflows)
{
    // A square (x, y, z, w, u, v) against x >= 1: two new vertices with x set exactly.
    const float sq[4][6] = {{0, 0, 0, 1, 0, 0}, {2, 0, 0, 1, 1, 0}, {2, 2, 0, 1, 1, 1}, {0, 2, 0, 1, 0, 1}};
    float d[4];
    for (int i = 0; i < 4; ++i)
        d[i] = sq[i][0] - 1.0f;
    float out[8][6];
    ASSERT_EQ(n3d_draw_triangles_argb1555_clip(&out[0][0], 4, &sq[0][0], d, 0, 1.0f), 4);
    const float expect[4][6] = {{1, 0, 0, 1, 0.5f, 0}, {2, 0, 0, 1, 1, 0}, {2, 2, 0, 1, 1, 1}, {1, 2, 0, 1, 0.5f, 1}};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 6; ++k)
            EXPECT_FLOAT_EQ(out[i][k], expect[i][k]) << i << " " << k;
    // No fixed component (-1): every component interpolated.
    ASSERT_EQ(n3d_draw_triangles_skinning_argb1555_clip(&out[0][0], 4, &sq[0][0], d, -1, 7.0f), 4);
    EXPECT_FLOAT_EQ(out[0][0], 1.0f);
    // All outside, all inside, and a zig-zag whose every edge crosses: the last would
    // need more than eight vertices and is dropped instead of written past dst.
    float far_d[4] = {-1, -1, -1, -1}, near_d[4] = {1, 1, 1, 1};
    EXPECT_EQ(n3d_draw_triangles_argb1555_clip(&out[0][0], 4, &sq[0][0], far_d, 0, 0), 0);
    EXPECT_EQ(n3d_draw_triangles_argb1555_clip(&out[0][0], 4, &sq[0][0], near_d, 0, 0), 4);
    float zig[8][8] = {};
    float zig_d[8];
    for (int i = 0; i < 8; ++i) {
        zig[i][0] = (float)i;
        zig_d[i] = (i & 1) ? -1.0f : 1.0f;
    }
    float big_out[9][8];
    big_out[8][0] = 12345.0f;
    EXPECT_EQ(n3d_draw_triangles_phong_argb1555_clip(&big_out[0][0], 8, &zig[0][0], zig_d, 0, 0), 0);
    EXPECT_EQ(big_out[8][0], 12345.0f);
    EXPECT_EQ(n3d_draw_triangles_argb1555_clip(&out[0][0], 9, &sq[0][0], d, 0, 0), 0) << "more than 8 in";
}

TEST_F(DrawPaths, FixedChoiceByDrawMode)
{
    struct {
        path p;
        int mode;
        bool index8;
        int flags;
    } cases[] = {
        {PLAIN, 577, false, 80},        {PLAIN, 65 | 128 | 512, true, 50}, {PLAIN, 65 | 128, true, 48},
        {PLAIN, 65 | 1024, false, 80},  {SKINNING, 577 | 128, true, 50},   {SKINNING, 65, false, 80},
        {PHONG, 708 | 1024, true, 190}, {PHONG, 708, true, 178},           {PHONG, 68 | 128, true, 176},
        {PHONG, 580, false, 208},       {PHONG, 68 | 1024, false, 208},
    };
    for (auto& c : cases) {
        tv = {};
        g_recorded.clear();
        add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
        c.index8 ? t.use_index8() : t.use_argb();
        g_n3d_tri_id = -1;
        ASSERT_EQ(draw(c.p, 0, c.mode), 1) << c.mode;
        ASSERT_EQ(g_recorded.size(), 1u);
        EXPECT_EQ(g_recorded[0].rasterizer->flags, c.flags) << c.mode;
        EXPECT_EQ(g_recorded[0].tri_id, 0) << "the dispatcher sets the primitive id";
    }
    // The dispatcher on its own looks the entry up and leaves it in the arguments.
    n3d_rasterizer_args ra{};
    n3d_vertex_ex4 v[3] = {};
    float g[5] = {};
    ra.vertices = v;
    ra.gradients_dx = ra.gradients_dy = g;
    ra.primitive_id = 7;
    g_recorded.clear();
    EXPECT_EQ(n3d_draw_triangles_phong_argb1555_triangle(&ra, 708 | 1024, 0, 0), 1);
    ASSERT_NE(ra.rasterizer, nullptr);
    EXPECT_EQ(ra.rasterizer->flags, 190);
    EXPECT_EQ(g_recorded.at(0).tri_id, 7);
    EXPECT_EQ(n3d_draw_triangles_skinning_argb1555_triangle(&ra, 64 | 128, 0, 0), 1);
    EXPECT_EQ(ra.rasterizer->flags, 48);
}

TEST_F(DrawPaths, TheResultCountsOnlyTrianglesTheRasterizerDrew)
{
    add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
    add_tri({100, 10, 1}, {100, 50, 1}, {150, 10, 1});
    g_recorder_result = 0;
    EXPECT_EQ(draw(), 0);
    EXPECT_EQ(g_recorded.size(), 2u);
}

struct check_case {
    const char* why;
    path p;
    int flags;
    int mode;
    bool index8;
    const char* message;  // null: the checks pass
};

TEST_F(DrawPaths, EntryChecksInTheirOrderWithTheirMessages)
{
    const check_case cases[] = {
        {"phong depth variant under phong, z-buffer, index8", PHONG, 190, 1220, true, nullptr},
        {"ARGB1555 coverage variant under index8 mode", PLAIN, 81, 192, false, nullptr},
        {"wip variant", PHONG, 1214, 1220, true, nullptr},
        {"phong rasterizer without phong mode", PLAIN, 176, 192, true,
         "N3D_RASTERIZER_PHONG requires N3D_DRAW_MODE_PHONG\n"},
        {"default mode stops one check earlier", PLAIN, 176, 577, true,
         "N3D_DRAW_MODE_DEFAULT not compatible with N3D_RASTERIZER_PHONG\n"},
        {"affine under default", PLAIN, 336, 577, false,
         "N3D_DRAW_MODE_DEFAULT not compatible with N3D_RASTERIZER_AFFINE\n"},
        {"phong mode without a phong rasterizer", PHONG, 80, 580, false,
         "N3D_DRAW_MODE_PHONG requires N3D_RASTERIZER_PHONG\n"},
        {"index8 rasterizer without index8 mode", PLAIN, 50, 577, true,
         "N3D_RASTERIZER_T0_I8ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555\n"},
        {"ARGB1555 rasterizer on an index8 texture", PLAIN, 81, 192, true,
         "N3D_RASTERIZER_T0_ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_ARGB1555\n"},
        {"index8 mode with no texture kind", PLAIN, 16, 192, true,
         "N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 requires either N3D_RASTERIZER_T0_ARGB1555 or "
         "N3D_RASTERIZER_T0_ARGB1555\n"},
        {"unregistered flag word", PLAIN, 82, 577, false,
         "could not find rasterizer with flags: 82 (maybe combination is not generated, see n3d_rasterizers)\n"},
        {"fixed index8 choice on an ARGB1555 texture", PLAIN, 0, 577 | 128, false,
         "N3D_RASTERIZER_T0_I8ARGB1555 requires an index8 texture0"},
        {"fixed ARGB1555 choice on an index8 texture", PLAIN, 0, 577, true,
         "N3D_RASTERIZER_T0_ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_ARGB1555\n"},
        {"a phong rasterizer on the plain path", PLAIN, 190, 1220, true,
         "rasterizer test_recorder_ps4 takes 4 parameters, the draw path gives 2\n"},
    };
    for (const check_case& c : cases) {
        tv = {};
        add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
        c.index8 ? t.use_index8() : t.use_argb();
        captured_run r = capture_run([&] {
            g_recorded.clear();
            const int drawn = draw(c.p, c.flags, c.mode);
            std::exit(drawn == 1 && g_recorded.size() == 1 ? 0 : 3);
        });
        if (!c.message) {
            EXPECT_EQ(r.status, 0) << c.why << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/n3d_draw:")), std::string::npos) << c.why << r.err;
        EXPECT_NE(crash_site(r.err).find(crash_site(c.message)), std::string::npos) << c.why << r.err;
    }
}

TEST_F(DrawPaths, TargetTextureAndVertexChecks)
{
    add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
    struct {
        const char* why;
        std::function<void()> spoil;
        const char* message;
    } cases[] = {
        {"8-bit framebuffer", [&] { t.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8; },
         "crash at src/n3d_draw:394\nframebuffer only 16bpp supported for now\n"},
        {"no texture 0", [&] { t.textures[0] = nullptr; }, "crash at src/n3d_draw:397\ntexture0 is null!\n"},
        {"unswizzled texture", [&] { t.tex_argb.not_swizzled = 1; },
         "texture0 is not swizzled! (all rasterizers require textures that are swizzled!\n"},
        {"texture without its level", [&] { t.mips_argb[0] = nullptr; }, "texture0 has no level 0!\n"},
        {"no coverage buffer", [&] { t.fc.cb = nullptr; },
         "the frame context needs a coverage buffer of at least 256x128\n"},
        {"coverage buffer lower than the framebuffer", [&] { t.fc.cb->h = 100; },
         "the frame context needs a coverage buffer"},
        {"no uv array", [&] { tv.uv.clear(); }, "n3d_draw_triangles_argb1555: the vertices have no uv array\n"},
        {"more triangles than vertices",
         [&] {
             tv.xyz.resize(6);
             tv.uv.resize(4);
         },
         "n3d_draw_triangles_argb1555: 1 triangles need more vertices than the 2 of the list\n"},
    };
    for (auto& c : cases) {
        captured_run r = capture_run([&] {
            c.spoil();
            args.rasterizer_flags = 0;
            args.draw_mode = 577;
            args.fc = &t.fc;
            args.batch_arena = &t.batch;
            tv.finish();
            tv.v.uv = tv.uv.empty() ? nullptr : tv.uv.data();
            args.all_vs = &tv.v;
            args.material = &t.material;
            args.mesh_primitives_count = 1;
            args.mvp = &mvp;
            n3d_draw_triangles_argb1555(&args);
            std::exit(0);
        });
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_NE(crash_site(r.err).find(crash_site(c.message)), std::string::npos) << c.why << r.err;
    }
    // The depth variant needs a depth buffer; the phong path its table and tangent frame.
    struct {
        const char* why;
        std::function<void()> spoil;
        const char* message;
    } phong_cases[] = {
        {"no depth buffer", [&] { t.fc.db = nullptr; }, "needs a depth buffer of at least 256x128"},
        {"no phong table", [&] { t.phong_luts[0] = nullptr; }, "the material's phong_luts[0] is null!\n"},
        {"no tangents", [&] { tv.t.clear(); }, "n3d_draw_triangles_phong_argb1555: the vertices have no t_xyz array\n"},
    };
    for (auto& c : phong_cases) {
        captured_run r = capture_run([&] {
            t.use_index8();
            c.spoil();
            args.rasterizer_flags = 0;
            args.draw_mode = 708 | 1024;
            args.fc = &t.fc;
            args.batch_arena = &t.batch;
            tv.finish();
            tv.v.t_xyz = tv.t.empty() ? nullptr : tv.t.data();
            args.all_vs = &tv.v;
            args.material = &t.material;
            args.mesh_primitives_count = 1;
            args.mvp = &mvp;
            n3d_draw_triangles_phong_argb1555(&args);
            std::exit(0);
        });
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_NE(crash_site(r.err).find(crash_site(c.message)), std::string::npos) << c.why << r.err;
    }
}

TEST_F(DrawPaths, ValuesThatAreNotFiniteSkipTheTriangle)
{
    const float nan = std::nanf(""), inf = INFINITY;
    struct {
        const char* why;
        float x;
    } cases[] = {{"NaN coordinate", nan}, {"infinite coordinate", inf}, {"huge coordinate", 3e38f}};
    for (auto& c : cases) {
        tv = {};
        g_recorded.clear();
        add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
        tv.add(c.x, 0.1f, 1.0f);
        tv.add(0.1f, 0.2f, 1.0f);
        tv.add(0.2f, 0.1f, 1.0f);
        add_tri({100, 10, 1}, {100, 50, 1}, {150, 10, 1});
        EXPECT_EQ(draw(), 2) << c.why;
        ASSERT_EQ(g_recorded.size(), 2u) << c.why;
        for (const recorded_call& r : g_recorded)
            for (const n3d_vertex_ex4& v : r.v) {
                EXPECT_TRUE(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.w)) << c.why;
            }
    }
    // A matrix whose near plane lets a vertex on the eye plane through: W = 0 after clipping.
    const float eye_rows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 1, 0}};
    mat_rows(mvp, eye_rows);
    tv = {};
    g_recorded.clear();
    tv.add(0.0f, 0.0f, 0.0f);
    tv.add(0.0f, 0.5f, 1.0f);
    tv.add(0.5f, 0.0f, 1.0f);
    EXPECT_EQ(draw(), 0);
    EXPECT_TRUE(g_recorded.empty());
    // A light on a vertex leaves its half vector undefined.
    mat_rows(mvp, PASSTHROUGH);
    tv = {};
    g_recorded.clear();
    t.use_index8();
    add_tri({10, 10, 1}, {10, 50, 1}, {50, 10, 1});
    vec3_set(args.model_light_pos, tv.xyz[0], tv.xyz[1], tv.xyz[2]);
    vec3_set(args.model_view_pos, 0, 0, -1);
    EXPECT_EQ(draw(PHONG, 0, 708), 0);
}

TEST_F(DrawPaths, AVertexOnTheEyePlaneStillGetsItsGradients)
{
    // The passthrough's vertex at depth 0 is behind the near plane and clipped
    // away, but the triangle's gradients come from its homogeneous positions.
    tv.add(-0.5f, -0.5f, 1.0f, 0.0f, 0.0f);
    tv.add(-0.5f, 0.5f, 1.0f, 0.0f, 1.0f);
    tv.add(0.25f, 0.0f, 0.0f, 1.0f, 0.5f);
    EXPECT_GE(draw(), 1);
    ASSERT_FALSE(g_recorded.empty());
    for (const recorded_call& r : g_recorded) {
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(std::isfinite(r.gdx[k]) && std::isfinite(r.gdy[k])) << k;
        }
        // Each vertex's u/w matches the plane through the first one.
        for (int v = 1; v < 3; ++v) {
            const float dx = r.v[v].x - r.v[0].x, dy = r.v[v].y - r.v[0].y;
            EXPECT_NEAR(r.v[0].ps[0] + r.gdx[0] * dx + r.gdy[0] * dy, r.v[v].ps[0], 1e-3f);
            EXPECT_NEAR(r.v[0].w + r.gdx[2] * dx + r.gdy[2] * dy, r.v[v].w, 1e-3f);
        }
    }
}

TEST_F(DrawPaths, GradientsArePerspectiveDividedParametersOverTheScreen)
{
    // Depths 1, 2, 4: gradients of u/w, v/w and 1/w recover every vertex's value.
    add({20, 10, 1}, 0.0f, 0.0f);
    add({30, 100, 2}, 0.0f, 1.0f);
    add({200, 30, 4}, 1.0f, 0.25f);
    ASSERT_EQ(draw(), 1);
    const recorded_call& r = g_recorded.at(0);
    const float iw[3] = {1.0f, 0.5f, 0.25f};
    const float u[3] = {0, 0, 1}, v[3] = {0, 1, 0.25f};
    for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(r.v[i].w, iw[i]);
        EXPECT_FLOAT_EQ(r.v[i].ps[0], u[i] * iw[i]);
        EXPECT_FLOAT_EQ(r.v[i].ps[1], v[i] * iw[i]);
        const float dx = r.v[i].x - r.v[0].x, dy = r.v[i].y - r.v[0].y;
        EXPECT_NEAR(r.v[0].ps[0] + r.gdx[0] * dx + r.gdy[0] * dy, u[i] * iw[i], 1e-5f);
        EXPECT_NEAR(r.v[0].ps[1] + r.gdx[1] * dx + r.gdy[1] * dy, v[i] * iw[i], 1e-5f);
        EXPECT_NEAR(r.v[0].w + r.gdx[2] * dx + r.gdy[2] * dy, iw[i], 1e-5f);
    }
    EXPECT_FLOAT_EQ(r.min_w, 1.0f);
}

TEST_F(DrawPaths, SkinningBlendsFourWeightedJointMatricesUnnormalised)
{
    // Joint 1 moves 16 pixels right at depth 1; weights 0.5 and 0.5 land halfway.
    // Weights 1 and 1 of one matrix double X, Y and W alike: same screen point, half 1/w.
    const float shift[4][4] = {{1, 0, 0, 16.0f / KX}, {0, 1, 0, 0}, {0, 0, 1, -2 * NEAR}, {0, 0, 1, 0}};
    mat_rows(joints[1], shift);
    add_tri({20, 10, 1}, {20, 50, 1}, {60, 10, 1});
    for (int v = 0; v < 3; ++v) {
        tv.joints[4 * v + 1] = 1;
        tv.weights[4 * v + 0] = 0.5f;
        tv.weights[4 * v + 1] = 0.5f;
    }
    add_tri({100, 10, 1}, {100, 50, 1}, {140, 10, 1});
    for (int v = 3; v < 6; ++v) {
        tv.joints[4 * v + 1] = 0;
        tv.weights[4 * v + 0] = 1.0f;
        tv.weights[4 * v + 1] = 1.0f;
    }
    ASSERT_EQ(draw(SKINNING, 0, 577), 2);
    EXPECT_FLOAT_EQ(g_recorded[0].v[0].x, 28.0f);
    EXPECT_FLOAT_EQ(g_recorded[0].v[2].x, 68.0f);
    EXPECT_FLOAT_EQ(g_recorded[0].v[0].w, 1.0f);
    EXPECT_FLOAT_EQ(g_recorded[1].v[0].x, 100.0f);
    EXPECT_FLOAT_EQ(g_recorded[1].v[0].w, 0.5f);
    // The model-view-projection matrix is not read by the skinning path.
    mat4x4 zero = {};
    mat4x4_dup(mvp, zero);
    g_recorded.clear();
    EXPECT_EQ(draw(SKINNING, 0, 577), 2);
}

TEST_F(DrawPaths, PhongParametersAreTheHalfVectorOnTheTangentFrame)
{
    // Reference in double: H = normalize(normalize(L - p) + normalize(V - p)),
    // parameters H.t and H.b clamped to [-1, 1].
    t.use_index8();
    add_tri({20, 10, 1}, {20, 100, 1}, {200, 10, 1});
    const float tangents[3][3] = {{1, 0, 0}, {0.6f, 0.8f, 0}, {0, 0, 1}};
    const float bitangents[3][3] = {{0, 1, 0}, {0, 0, 1}, {2, 0, 0}};
    for (int v = 0; v < 3; ++v)
        for (int k = 0; k < 3; ++k) {
            tv.t[3 * v + k] = tangents[v][k];
            tv.b[3 * v + k] = bitangents[v][k];
        }
    vec3_set(args.model_light_pos, 3.0f, -1.0f, 2.0f);
    vec3_set(args.model_view_pos, -1.0f, 0.5f, -2.0f);
    ASSERT_EQ(draw(PHONG, 0, 708), 1);
    const recorded_call& r = g_recorded.at(0);
    for (int v = 0; v < 3; ++v) {
        double L[3], V[3], Hd[3], ln = 0, vn = 0, hn = 0;
        for (int k = 0; k < 3; ++k) {
            L[k] = (double)args.model_light_pos[k] - tv.xyz[3 * v + k];
            V[k] = (double)args.model_view_pos[k] - tv.xyz[3 * v + k];
            ln += L[k] * L[k];
            vn += V[k] * V[k];
        }
        for (int k = 0; k < 3; ++k) {
            Hd[k] = L[k] / std::sqrt(ln) + V[k] / std::sqrt(vn);
            hn += Hd[k] * Hd[k];
        }
        double ht = 0, hb = 0;
        for (int k = 0; k < 3; ++k) {
            ht += Hd[k] / std::sqrt(hn) * tangents[v][k];
            hb += Hd[k] / std::sqrt(hn) * bitangents[v][k];
        }
        ht = std::fmax(-1.0, std::fmin(1.0, ht));
        hb = std::fmax(-1.0, std::fmin(1.0, hb));
        EXPECT_NEAR(r.v[v].ps[2] / r.v[v].w, ht, 1e-5) << v;
        EXPECT_NEAR(r.v[v].ps[3] / r.v[v].w, hb, 1e-5) << v;
    }
}

}  // namespace
