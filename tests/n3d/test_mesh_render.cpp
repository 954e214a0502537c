// Meshes through the mesh renderer: the draw-mode paths and their messages,
// texture and phong-table choice, the model-space light and eye; the projection
// and the camera against glm; skinning preparation; and the debug segments,
// which never write outside their framebuffer or coverage buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#define GLM_FORCE_RADIANS
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "core/linmath_extended.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/n3d_draw_support.h"

namespace {

glm::mat4 to_glm(const mat4x4 m) { return glm::make_mat4(&m[0][0]); }

void expect_mat_near(const mat4x4 a, const glm::mat4& b, float tol, const char* why)
{
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_NEAR(a[c][r], b[c][r], tol) << why << " column " << c << " row " << r;
}

struct MeshRender : ::testing::Test {
    draw_target t{320, 240};
    n3d_texture* argb_table[1];
    n3d_texture* index8_table[1];
    uint8_t* luts[1];
    n3d_render_context rc{};
    test_vertices tv;
    n3d_mesh mesh{};
    mat4x4 joint_matrices[1], vpj[1];
    alignas(32) uint8_t batch_block[480];

    void SetUp() override
    {
        recorder_register_all();
        g_recorded.clear();
        g_recorder_result = 1;
        memarena_init(&n3d_batch_arena, "batch_arena", sizeof batch_block, batch_block);
        argb_table[0] = &t.tex_argb;
        index8_table[0] = &t.tex_index8;
        luts[0] = t.phong_lut;
        rc.fc = &t.fc;
        rc.tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = argb_table;
        rc.tc.textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555] = index8_table;
        rc.tc.phong_luts = luts;
        mat4x4 view, world;
        mat4x4_identity(view);
        mat4x4_identity(world);
        n3d_space_context_set(&rc.sc, &t.fc, view, world, (float)M_PI / 2.0f, 0.25f);
        vec3_set(rc.lc.world_light_pos, 1.0f, 2.0f, 3.0f);
        mat4x4_identity(mesh.world_from_model);
        mat4x4_identity(mesh.model_from_world);
        add_front_triangle(0.0f);
    }
    // A front-facing triangle at view depth 2 (the camera looks down -z, y up).
    void add_front_triangle(float x)
    {
        tv.add(x - 0.5f, 0.5f, -2.0f);
        tv.add(x - 0.5f, -0.5f, -2.0f);
        tv.add(x + 0.5f, 0.5f, -2.0f);
    }
    void finish(bool tangent_frame = true, bool skin = false) { mesh.vertices = *tv.finish(tangent_frame, skin); }
};

TEST_F(MeshRender, DrawModesChooseTexturePathAndRasterizer)
{
    struct {
        int mode;
        const n3d_texture* texture;
        int flags;
        const uint8_t* lut;
    } cases[] = {
        {577, &t.tex_argb, 80, nullptr},  // default, triangles, coverage write: plain path
        {65, &t.tex_argb, 80, nullptr},   // default and triangles: plain path
        {65 | 128 | 512, &t.tex_index8, 50, nullptr},
        {708, &t.tex_index8, 178, t.phong_lut},  // phong, index8, coverage write
        {580, &t.tex_argb, 208, t.phong_lut},
    };
    finish();
    for (auto& c : cases) {
        g_recorded.clear();
        n3d_render_mesh(&rc, &mesh, c.mode);
        ASSERT_EQ(g_recorded.size(), 1u) << c.mode;
        EXPECT_EQ(g_recorded[0].rasterizer->flags, c.flags) << c.mode;
        EXPECT_EQ(g_recorded[0].texture0, c.texture) << c.mode;
        if (c.lut) {
            EXPECT_EQ(g_recorded[0].phong_lut0, c.lut) << c.mode;
        }
        EXPECT_EQ(n3d_batch_arena.sp, 0u);
    }
}

TEST_F(MeshRender, JointMatricesSendDefaultModeDownTheSkinningPath)
{
    // The mesh's own placement puts it far to the side; its clip-from-joint
    // matrix (camera x identity joint) puts it in view: only skinning draws it.
    mat4x4_translate(mesh.world_from_model, 100.0f, 0.0f, 0.0f);
    mat4x4_translate(mesh.model_from_world, -100.0f, 0.0f, 0.0f);
    finish(true, true);
    n3d_render_mesh(&rc, &mesh, 577);
    EXPECT_TRUE(g_recorded.empty()) << "without joints the plain path draws nothing";
    mat4x4_identity(joint_matrices[0]);
    mesh.joint_matrices = joint_matrices;
    mesh.view_proj_joint_matrices = vpj;
    n3d_prepare_skinning(&mesh, 1, &rc.sc);
    n3d_render_mesh(&rc, &mesh, 577);
    EXPECT_EQ(g_recorded.size(), 1u);
}

TEST_F(MeshRender, SevenVerticesDrawTwoTriangles)
{
    add_front_triangle(1.0f);
    tv.add(0.0f, 0.0f, -2.0f);
    finish();
    n3d_render_meshes(&rc, &mesh, 1, 577);
    EXPECT_EQ(g_recorded.size(), 2u);
    // Every mesh of the array, in order, with the same mode.
    n3d_mesh two[2] = {mesh, mesh};
    two[1].vertices.count = 3;
    g_recorded.clear();
    n3d_render_meshes(&rc, two, 2, 577);
    EXPECT_EQ(g_recorded.size(), 3u);
}

TEST_F(MeshRender, LightAndEyeReachThePhongStageInModelSpace)
{
    // Mesh moved by (0, 0, -1) in the world: the model-space light is the world
    // light moved by (0, 0, +1); the eye at the world origin becomes (0, 0, 1).
    mat4x4_translate(mesh.world_from_model, 0.0f, 0.0f, -1.0f);
    mat4x4_translate(mesh.model_from_world, 0.0f, 0.0f, 1.0f);
    tv = {};
    tv.add(-0.5f, 0.5f, -1.0f);
    tv.add(-0.5f, -0.5f, -1.0f);
    tv.add(0.5f, 0.5f, -1.0f);
    finish();
    n3d_render_mesh(&rc, &mesh, 708);
    ASSERT_EQ(g_recorded.size(), 1u);
    const glm::vec3 light(1.0f, 2.0f, 4.0f), eye(0.0f, 0.0f, 1.0f);
    for (int v = 0; v < 3; ++v) {
        const glm::vec3 p(tv.xyz[3 * v], tv.xyz[3 * v + 1], tv.xyz[3 * v + 2]);
        const glm::vec3 h = glm::normalize(glm::normalize(light - p) + glm::normalize(eye - p));
        EXPECT_NEAR(g_recorded[0].v[v].ps[2] / g_recorded[0].v[v].w, h.x, 1e-5f) << v;  // tangent (1, 0, 0)
        EXPECT_NEAR(g_recorded[0].v[v].ps[3] / g_recorded[0].v[v].w, h.y, 1e-5f) << v;  // bitangent (0, 1, 0)
    }
}

TEST_F(MeshRender, ChecksAndTheirMessages)
{
    struct {
        const char* why;
        int mode;
        std::function<void()> spoil;
        const char* message;
    } cases[] = {
        {"mode 1 without triangles", 1, [] {}, "crash at src/n3d:1237\ninvalid draw_mode\n"},
        {"triangles with neither default nor phong", 64, [] {}, "invalid draw_mode for triangles? 64\n"},
        {"lines", 96, [] {}, "crash at src/n3d:1216\ndraw_mode 96 for lines not implemented\n"},
        {"lines on a skinned mesh", 96, [&] { mesh.joint_matrices = joint_matrices; },
         "crash at src/n3d:1200\nskinning not implemented for lines\n"},
        {"no texture of the id", 577, [&] { argb_table[0] = nullptr; },
         "crash at src/n3d:1180\ntc->textures_per_format[texture_formats[0] == 2][mesh->texture_id == 0] is null!\n"},
        {"no index8 table", 708, [&] { rc.tc.textures_per_format[1] = nullptr; },
         "tc->textures_per_format[texture_formats[0] == 1][mesh->texture_id == 0] is null!\n"},
        {"a texture id before the table", 577, [&] { mesh.texture_id = -1; }, "[mesh->texture_id == -1] is null!\n"},
        {"no phong table", 708, [&] { luts[0] = nullptr; },
         "crash at src/n3d:1227\nN3D_DRAW_MODE_PHONG: tc->phong_luts[mesh->phong_lut_id == 0] is null!\n"},
        {"no tangents", 708, [&] { mesh.vertices.t_xyz = nullptr; },
         "crash at src/n3d:1230\nN3D_DRAW_MODE_PHONG was used but the mesh has nil on n_xyz and/or t_xyz and/or "
         "b_xyz!\n"},
    };
    finish();
    for (auto& c : cases) {
        captured_run r = capture_run([&] {
            c.spoil();
            n3d_render_mesh(&rc, &mesh, c.mode);
            std::exit(0);
        });
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_NE(crash_site(r.err).find(crash_site(c.message)), std::string::npos) << c.why << r.err;
        EXPECT_EQ(r.out, "") << c.why;
    }
}

TEST(Projection, MatchesAnInfinitePerspectiveWithYFlipped)
{
    struct {
        int w, h;
        float fov_deg, near_plane;
    } cases[] = {{320, 240, 90, 0.25f}, {640, 480, 60, 1.0f}, {320, 200, 45, 0.5f}, {256, 256, 120, 0.25f}};
    for (auto& c : cases) {
        mat4x4 m;
        const float fov = c.fov_deg * (float)M_PI / 180.0f;
        n3d_proj(m, c.w, c.h, fov, c.near_plane);
        glm::mat4 ref = glm::infinitePerspectiveRH(fov, (float)c.w / (float)c.h, c.near_plane);
        ref[1][1] = -ref[1][1];  // screen rows grow downward
        expect_mat_near(m, ref, 1e-6f, "n3d_proj");
    }
    mat4x4 m;
    n3d_proj(m, 320, 240, (float)M_PI / 2.0f, 0.25f);
    // Exactly, as single precision gives them.
    EXPECT_EQ(m[0][0], 0.75f);
    EXPECT_EQ(m[1][1], -1.0f);
    EXPECT_EQ(m[2][3], -1.0f);
    EXPECT_EQ(m[3][2], -0.5f);
    EXPECT_EQ(m[3][3], 0.0f);
    // A point on the near plane maps to Z/W = -1.
    vec4 p = {0.3f, -0.2f, -0.25f, 1.0f}, q;
    mat4x4_mul_vec4(q, m, p);
    EXPECT_FLOAT_EQ(q[2] / q[3], -1.0f);
}

TEST(Projection, NearPlaneBelowAQuarterStops)
{
    captured_run ok = capture_run([] {
        mat4x4 m;
        n3d_proj(m, 320, 240, 1.0f, 0.25f);
    });
    EXPECT_EQ(ok.status, 0);
    // NaN fails every comparison: it is refused as not at least the minimum.
    const struct {
        float near_plane;
        const char* shown;
    } refused[] = {{0.2f, "0.20"}, {std::nanf(""), "nan"}, {-std::numeric_limits<float>::infinity(), "-inf"}};
    for (const auto& c : refused) {
        captured_run r = capture_run([&] {
            mat4x4 m;
            mat4x4_identity(m);
            n3d_proj(m, 320, 240, 1.0f, c.near_plane);
        });
        EXPECT_EQ(r.status, 1) << c.shown;
        EXPECT_EQ(crash_site(r.err),
                  crash_site("crash at src/n3d:1248\nnear_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is " +
                             std::string(c.shown) +
                             " (impacts z-buffer number of bits to avoid overflow!) define "
                             "N3D_IGNORE_ZBUFFER_MIN_NEAR_PLANE_CHECK to 1 to skip this check\n"));
    }
}

TEST(SpaceContext, CameraForTheFramebufferAndSkinningMatrices)
{
    draw_target t(320, 240);
    const glm::vec3 eye(1.0f, 2.0f, 3.0f);
    glm::mat4 view = glm::lookAtRH(eye, glm::vec3(0.0f, 0.5f, -1.0f), glm::vec3(0.0f, 1.0f, 0.0f));
    glm::mat4 world = glm::inverse(view);
    n3d_space_context sc;
    n3d_space_context_set(&sc, &t.fc, reinterpret_cast<const vec4*>(glm::value_ptr(view)),
                          reinterpret_cast<const vec4*>(glm::value_ptr(world)), 1.2f, 0.5f);
    glm::mat4 proj = glm::infinitePerspectiveRH(1.2f, 320.0f / 240.0f, 0.5f);
    proj[1][1] = -proj[1][1];
    expect_mat_near(sc.clip_from_view, proj, 1e-6f, "clip_from_view");
    expect_mat_near(sc.clip_from_world, proj * view, 1e-5f, "clip_from_world");
    expect_mat_near(sc.world_from_view, world, 0.0f, "world_from_view");
    EXPECT_NEAR(sc.world_view_pos[0], eye.x, 1e-5f);
    EXPECT_NEAR(sc.world_view_pos[1], eye.y, 1e-5f);
    EXPECT_NEAR(sc.world_view_pos[2], eye.z, 1e-5f);
    EXPECT_EQ(sc.fov_y, 1.2f);
    EXPECT_EQ(sc.near_plane, 0.5f);

    // Each joint's clip-from-joint matrix; joints past the count stay untouched.
    mat4x4 joints[3], out[3];
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) {
                joints[j][c][r] = d(gen);
                out[j][c][r] = 99.0f;
            }
    n3d_mesh mesh{};
    mesh.joint_matrices = joints;
    mesh.view_proj_joint_matrices = out;
    n3d_prepare_skinning(&mesh, 2, &sc);
    for (int j = 0; j < 2; ++j)
        expect_mat_near(out[j], to_glm(sc.clip_from_world) * to_glm(joints[j]), 1e-4f, "clip from joint");
    EXPECT_EQ(out[2][1][1], 99.0f);
}

// A framebuffer and coverage buffer inside guard bytes, for the debug segments.
struct guarded_target {
    static constexpr int W = 64, H = 32, PAD = 16, GUARD_ROWS = 4;
    static constexpr uint8_t SENTINEL = 0xA5;
    std::vector<uint8_t> pixels;
    std::vector<uint32_t> words;
    n3d_framebuffer fb{};
    n3d_coveragebuffer cb{};
    n3d_frame_context fc{};
    int row_bytes;

    explicit guarded_target(int format)
    {
        const int bpp = format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 ? 2 : 1;
        row_bytes = W * bpp + PAD;
        pixels.assign((size_t)row_bytes * (H + 2 * GUARD_ROWS), SENTINEL);
        words.assign(W * H / 32 + 2 * 8, 0xA5A5A5A5u);
        fb.format = format;
        fb.w = W;
        fb.h = H;
        fb.row_bytes = row_bytes;
        fb.b = pixels.data() + (size_t)row_bytes * GUARD_ROWS;
        for (int y = 0; y < H; ++y)
            memset(static_cast<uint8_t*>(fb.b) + y * row_bytes, 0, (size_t)(W * bpp));
        cb.w = W;
        cb.h = H;
        cb.u32 = words.data() + 8;
        memset(cb.u32, 0, W * H / 8);
        fc.fb = &fb;
        fc.cb = &cb;
    }
    bool guards_intact() const
    {
        const int bpp = fb.format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 ? 2 : 1;
        for (size_t i = 0; i < pixels.size(); ++i) {
            const long row = (long)(i / (size_t)row_bytes) - GUARD_ROWS, col = (long)(i % (size_t)row_bytes);
            const bool visible = row >= 0 && row < H && col < W * bpp;
            if (!visible && pixels[i] != SENTINEL)
                return false;
        }
        for (int i = 0; i < 8; ++i)
            if (words[i] != 0xA5A5A5A5u || words[8 + W * H / 32 + i] != 0xA5A5A5A5u)
                return false;
        return true;
    }
    uint16_t px(int x, int y) const
    {
        uint16_t v;
        memcpy(&v, static_cast<const uint8_t*>(fb.b) + y * row_bytes + 2 * x, 2);
        return v;
    }
    int bit(int x, int y) const { return (cb.u32[(y * W + x) >> 5] >> (31 - ((y * W + x) & 31))) & 1; }
    int drawn() const
    {
        int n = 0;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                n += bit(x, y);
        return n;
    }
};

TEST(UnitVectors, SegmentsAlongTheMajorAxisWithCoverage)
{
    // Identity: clip = model, w = 1; kx = 32, ky = 16, so x = -0.5 is column 16.5.
    mat4x4 id;
    mat4x4_identity(id);
    guarded_target g(N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    n3d_unit_vector v[1] = {{{-0.5f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}}};
    n3d_draw_unit_vectors(&g.fc, v, 5.0f, 1, id);
    // Row 16 from column 16 while below 48.5: columns 16 to 48, opaque red.
    for (int x = 0; x < guarded_target::W; ++x) {
        const bool on = x >= 16 && x <= 48;
        EXPECT_EQ(g.bit(x, 16), on) << x;
        EXPECT_EQ(g.px(x, 16), on ? 0xFC00 : 0) << x;
    }
    EXPECT_EQ(g.drawn(), 33);
    // A vertical one in green, y-major: rows 8 to 24 of column 32.
    guarded_target g2(N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    n3d_unit_vector up[1] = {{{0.0f, 0.5f, 0.0f}, {0.0f, -1.0f, 0.0f}, {0.0f, 1.0f, 0.5f}}};
    n3d_draw_unit_vectors(&g2.fc, up, 1.0f, 1, id);
    for (int y = 0; y < guarded_target::H; ++y)
        EXPECT_EQ(g2.bit(32, y), y >= 8 && y <= 24) << y;
    EXPECT_EQ(g2.px(32, 10), 0x8000 | 31 << 5 | 15);
    EXPECT_EQ(g2.drawn(), 17);
    // An 8-bit target takes the byte 255 r.
    guarded_target g3(N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    n3d_unit_vector grey[1] = {{{-0.5f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f}}};
    n3d_draw_unit_vectors(&g3.fc, grey, 1.0f, 1, id);
    EXPECT_EQ(static_cast<uint8_t*>(g3.fb.b)[16 * g3.row_bytes + 20], 127);
    EXPECT_TRUE(g.guards_intact() && g2.guards_intact() && g3.guards_intact());
}

TEST(UnitVectors, AnEndOutsideTheViewEndsTheDrawingAndZeroLengthDrawsNothing)
{
    mat4x4 id;
    mat4x4_identity(id);
    const n3d_unit_vector a = {{-0.5f, -0.5f, 0.0f}, {0.5f, 0.0f, 0.0f}, {1, 1, 1}};
    const n3d_unit_vector zero = {{0.2f, 0.2f, 0.0f}, {0.0f, 0.0f, 0.0f}, {1, 1, 1}};
    const n3d_unit_vector out = {{0.5f, 0.5f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1, 1, 1}};  // ends at x = 1.5
    const n3d_unit_vector b = {{-0.5f, 0.5f, 0.0f}, {0.5f, 0.0f, 0.0f}, {1, 1, 1}};
    struct {
        const char* why;
        std::vector<n3d_unit_vector> list;
        int drawn;
    } cases[] = {
        {"one segment", {a}, 17},
        {"zero length skipped, the next drawn", {a, zero, b}, 34},
        {"an end outside stops it and every later one", {a, out, b}, 17},
    };
    for (auto& c : cases) {
        guarded_target g(N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
        n3d_draw_unit_vectors(&g.fc, c.list.data(), 1.0f, (int)c.list.size(), id);
        EXPECT_EQ(g.drawn(), c.drawn) << c.why;
        EXPECT_TRUE(g.guards_intact()) << c.why;
    }
}

TEST(UnitVectors, NoEndPointsOrMatrixWriteOutsideTheTarget)
{
    // Ends on every border of the view volume (x = +-w, y = +-w land half a
    // pixel beyond the last column and row), random ends, perspective with
    // tiny and huge w, colours outside 0..1 and not finite.
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    const float edges[] = {-1.0f, 1.0f, -0.999999f, 0.999999f, 0.0f};
    std::vector<n3d_unit_vector> list;
    for (float x0 : edges)
        for (float y0 : edges)
            for (float x1 : edges)
                for (float y1 : edges)
                    list.push_back({{x0, y0, 0.0f}, {x1 - x0, y1 - y0, 0.0f}, {2.0f, -1.0f, std::nanf("")}});
    for (int i = 0; i < 2000; ++i) {
        const float x0 = d(gen), y0 = d(gen);
        list.push_back({{x0, y0, 0.0f}, {d(gen) - x0, d(gen) - y0, 0.0f}, {d(gen), d(gen), d(gen)}});
    }
    struct {
        const char* why;
        float w_row[4];
    } mats[] = {
        {"w = 1", {0, 0, 0, 1}},
        {"tiny w", {0, 0, 0, 1e-30f}},
        {"huge w", {0, 0, 0, 1e30f}},
        {"w of NaN", {0, 0, 0, std::nanf("")}},
        {"infinite w", {0, 0, 0, INFINITY}},
    };
    for (int format : {N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555}) {
        for (auto& m : mats) {
            mat4x4 mvp;
            mat4x4_identity(mvp);
            // x and y scaled by w, so the ends stay inside the volume.
            const float w = m.w_row[3];
            mvp[0][0] = w;
            mvp[1][1] = w;
            for (int c = 0; c < 4; ++c)
                mvp[c][3] = m.w_row[c];
            guarded_target g(format);
            n3d_draw_unit_vectors(&g.fc, list.data(), 1.0f, (int)list.size(), mvp);
            EXPECT_TRUE(g.guards_intact()) << m.why << " format " << format;
        }
    }
    // The corner-to-corner diagonal lands within the last column and row.
    mat4x4 id;
    mat4x4_identity(id);
    guarded_target g(N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    n3d_unit_vector diag[1] = {{{-1.0f, -1.0f, 0.0f}, {2.0f, 2.0f, 0.0f}, {1, 1, 1}}};
    n3d_draw_unit_vectors(&g.fc, diag, 1.0f, 1, id);
    EXPECT_EQ(g.drawn(), 63);
    EXPECT_TRUE(g.bit(0, 0));
    EXPECT_TRUE(g.guards_intact());
}

}  // namespace
