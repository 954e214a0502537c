// The draw-command pipeline against the recording rasterizer: its limits and
// their messages, the texture checks at the end, the direct drawing compared
// with calling the draw paths by hand (matrices from glm), and the sorted
// drawing's buckets, runs, stable counting sort and both orders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "image/n3d_phong.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "n3d/n3d_pipeline.h"
#include "support/capture.h"
#include "support/n3d_draw_support.h"

namespace {

// 256 x 128 with a 90 degree field of view: aspect 2, a = 1.
constexpr int W = 256, H = 128;
constexpr float KX = 128.0f, KY = 64.0f, XO = 128.5f, YO = 64.5f;
constexpr float NEAR = 0.25f;
const float PROJ[4][4] = {
    {0.5f, 0, 0, 0},
    {0, -1, 0, 0},
    {0, 0, -1, -2 * NEAR},
    {0, 0, -1, 0},
};

glm::mat4 to_glm(const mat4x4 m) { return glm::make_mat4(&m[0][0]); }
void from_glm(mat4x4 m, const glm::mat4& g) { memcpy(m, glm::value_ptr(g), sizeof(mat4x4)); }

struct Pipeline : ::testing::Test {
    draw_target t{W, H};
    static n3d_pipeline p;  // 70 KiB: kept off the stack
    n3d_space_context sc{};
    n3d_light_context light{};
    n3d_phong_lut lut{};
    std::vector<test_vertices> lists = std::vector<test_vertices>(8);

    void SetUp() override
    {
        recorder_register_all();
        g_recorded.clear();
        g_recorder_result = 1;
        // The pipeline draws through the renderer's own batch arena.
        memarena_init(&n3d_batch_arena, "batch_arena", t.batch.size, t.batch.ptr);
        // Camera at the origin looking down -z; world and view coincide.
        mat_rows(sc.clip_from_view, PROJ);
        mat_rows(sc.clip_from_world, PROJ);
        mat4x4_identity(sc.view_from_world);
        mat4x4_identity(sc.world_from_view);
        sc.near_plane = NEAR;
        sc.fov_y = 1.5707964f;
        vec3_set(light.world_light_pos, 1.0f, 2.0f, 3.0f);
        lut.lut = t.phong_lut;
        n3d_pipeline_bucketing_z_far = 100.0f;
        n3d_pipeline_begin(&p, &t.fc, &sc);
    }
    // A front-facing triangle around screen (sx, sy) at view depth d (identity model).
    static void add_screen_tri(test_vertices* tv, float sx, float sy, float d0, float d1 = -1, float d2 = -1)
    {
        const float d[3] = {d0, d1 < 0 ? d0 : d1, d2 < 0 ? d0 : d2};
        const float pts[3][2] = {{sx, sy}, {sx, sy + 4}, {sx + 4, sy}};
        for (int k = 0; k < 3; ++k)
            tv->add((pts[k][0] - XO) / KX * d[k] / 0.5f, -(pts[k][1] - YO) / KY * d[k], -d[k]);
    }
    struct n3d_pipeline_cmd command(test_vertices* tv, int flags, int mode, n3d_texture* tex, n3d_phong_lut* l)
    {
        struct n3d_pipeline_cmd c {};
        c.rasterizer_flags = flags;
        c.draw_mode = mode;
        c.texture = tex;
        c.phong_lut = l;
        c.light_context = &light;
        mat4x4_identity(c.model_from_world);
        mat4x4_identity(c.world_from_model);
        c.vertices = tv->finish();
        return c;
    }
};
n3d_pipeline Pipeline::p;

// ---- limits ----

TEST_F(Pipeline, CommandAndTriangleLimits)
{
    test_vertices one;
    add_screen_tri(&one, 10, 10, 5);
    struct n3d_pipeline_cmd c = command(&one, 0, 192, &t.tex_index8, nullptr);
    // The 100th command is taken; the 101st stops with the value 100.
    for (int i = 0; i < 100; ++i)
        n3d_pipeline_cmd(&p, &c);
    EXPECT_EQ(p.cmds_count, 100);
    EXPECT_EQ(p.primitives_count, 100);
    captured_run r = capture_run([&] { n3d_pipeline_cmd(&p, &c); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("reached max cmds: 100 (increase N3D_PIPELINE_DRAW_CMD_MAX_COUNT)\n"), std::string::npos)
        << r.err;

    // Exactly 4096 triangles in all are taken; one more stops with 4096.
    test_vertices big;
    for (int i = 0; i < 4095; ++i)
        add_screen_tri(&big, 10, 10, 5);
    struct n3d_pipeline_cmd cb = command(&big, 0, 192, &t.tex_index8, nullptr);
    n3d_pipeline_begin(&p, &t.fc, &sc);
    EXPECT_EQ(p.cmds_count, 0);
    n3d_pipeline_cmd(&p, &cb);
    n3d_pipeline_cmd(&p, &c);
    EXPECT_EQ(p.primitives_count, 4096);
    r = capture_run([&] { n3d_pipeline_cmd(&p, &c); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("reached max primitives: 4096 (increase N3D_PIPELINE_MAX_PRIMITIVES)\n"), std::string::npos)
        << r.err;

    // A negative vertex count adds no triangles (it cannot make room for more).
    n3d_pipeline_begin(&p, &t.fc, &sc);
    struct n3d_pipeline_cmd neg = command(&one, 0, 192, &t.tex_index8, nullptr);
    n3d_vertices bad = *neg.vertices;
    bad.count = -3000;
    neg.vertices = &bad;
    n3d_pipeline_cmd(&p, &neg);
    EXPECT_EQ(p.primitives_count, 0);
    n3d_pipeline_draw_sorted(&p, 1);
    EXPECT_TRUE(g_recorded.empty());
}

// ---- texture checks ----

TEST_F(Pipeline, EndChecksTexturesAgainstRasterizerFlagsFirst)
{
    struct row {
        const char* why;
        int flags;
        int bad_index;  // the command that does not fit, -1 for none
        n3d_texture* (*texture)(draw_target*);
        const char* message;
    } rows[] = {
        {"flags 190 (index8 texture) with an ARGB1555 texture", 190, 0, [](draw_target* d) { return &d->tex_argb; },
         "cmd[0] has rasterizer flag N3D_RASTERIZER_T0_I8ARGB1555 but texture format is not "
         "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555!\n"},
        {"flags 81 (ARGB1555 texture) with an index8 texture, second command", 81, 1,
         [](draw_target* d) { return &d->tex_index8; },
         "cmd[1] has rasterizer flag N3D_RASTERIZER_T0_ARGB1555 but texture format is not "
         "N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555!\n"},
        {"flags 190 without a texture", 190, 2, [](draw_target*) { return (n3d_texture*)nullptr; },
         "cmd[2] has rasterizer flag N3D_RASTERIZER_T0_I8ARGB1555 but texture format is not "
         "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555!\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        g_recorded.clear();
        n3d_pipeline_begin(&p, &t.fc, &sc);
        test_vertices& tv = lists[0];
        tv = {};
        add_screen_tri(&tv, 10, 10, 5);
        // Good commands before the bad one: the check runs before anything is drawn.
        for (int i = 0; i < r.bad_index; ++i) {
            struct n3d_pipeline_cmd good = command(&tv, 81, 192, &t.tex_argb, nullptr);
            n3d_pipeline_cmd(&p, &good);
        }
        struct n3d_pipeline_cmd bad = command(&tv, r.flags, r.flags == 190 ? 1220 : 192, r.texture(&t), &lut);
        n3d_pipeline_cmd(&p, &bad);
        captured_run run = capture_run([&] {
            n3d_pipeline_end(&p);
            printf("drew %zu\n", g_recorded.size());
        });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
    }
    // Flags 0 are not checked here: any texture passes to the draw path.
    g_recorded.clear();
    n3d_pipeline_begin(&p, &t.fc, &sc);
    struct n3d_pipeline_cmd free_choice = command(&lists[0], 0, 192, &t.tex_index8, nullptr);
    n3d_pipeline_validate_cmds(&p);
    n3d_pipeline_cmd(&p, &free_choice);
    n3d_pipeline_validate_cmds(&p);
}

// ---- direct drawing ----

// What a hand-made draw call of the same command records.
std::vector<recorded_call> draw_by_hand(const struct n3d_pipeline_cmd& c, const n3d_space_context& sc,
                                        n3d_frame_context* fc, int phong)
{
    n3d_texture* textures[1] = {c.texture};
    uint8_t* luts[1] = {c.phong_lut ? c.phong_lut->lut : nullptr};
    n3d_material m = {textures, luts};
    mat4x4 mvp;
    from_glm(mvp, to_glm(sc.clip_from_world) * to_glm(c.world_from_model));
    const glm::mat4 mfw = to_glm(c.model_from_world);
    const glm::vec4 l = mfw * glm::vec4(c.light_context->world_light_pos[0], c.light_context->world_light_pos[1],
                                        c.light_context->world_light_pos[2], 1.0f);
    const glm::vec4 e = mfw * glm::vec4(sc.world_view_pos[0], sc.world_view_pos[1], sc.world_view_pos[2], 1.0f);
    n3d_draw_args a{};
    a.rasterizer_flags = c.rasterizer_flags;
    a.draw_mode = c.draw_mode;
    a.fc = fc;
    a.batch_arena = &n3d_batch_arena;
    a.all_vs = c.vertices;
    a.material = &m;
    a.mesh_primitives_count = c.vertices->count / 3;
    vec3_set(a.model_light_pos, l.x, l.y, l.z);
    vec3_set(a.model_view_pos, e.x, e.y, e.z);
    a.mvp = &mvp;
    g_recorded.clear();
    if (phong)
        n3d_draw_triangles_phong_argb1555(&a);
    else
        n3d_draw_triangles_argb1555(&a);
    return g_recorded;
}

TEST_F(Pipeline, DrawsEachCommandThroughItsPath)
{
    // A model turned and moved off the camera, its inverse, a moved eye.
    const glm::mat4 wfm = glm::translate(glm::mat4(1.0f), glm::vec3(0.5f, -0.25f, -1.0f)) *
                          glm::rotate(glm::mat4(1.0f), 0.3f, glm::vec3(0.0f, 1.0f, 0.2f));
    vec3_set(sc.world_view_pos, 0.2f, 0.1f, 0.5f);
    struct row {
        const char* why;
        int flags, mode, phong, ps_count;
        bool with_lut;
        bool index8;
    } rows[] = {
        {"flags 190, draw mode 1220: the phong path", 190, 1220, 1, 4, true, true},
        {"flags 81, draw mode 192, no phong table: the plain path with a null table entry", 81, 192, 0, 2, false,
         false},
        {"flags 0, draw mode 192: the plain path's own choice", 0, 192, 0, 2, false, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        test_vertices& tv = lists[1];
        tv = {};
        add_screen_tri(&tv, 100, 50, 4);
        add_screen_tri(&tv, 120, 60, 6);
        struct n3d_pipeline_cmd c =
            command(&tv, r.flags, r.mode, r.index8 ? &t.tex_index8 : &t.tex_argb, r.with_lut ? &lut : nullptr);
        from_glm(c.world_from_model, wfm);
        from_glm(c.model_from_world, glm::inverse(wfm));
        const std::vector<recorded_call> want = draw_by_hand(c, sc, &t.fc, r.phong);
        ASSERT_EQ(want.size(), 2u) << "both triangles are on screen";

        g_recorded.clear();
        n3d_pipeline_begin(&p, &t.fc, &sc);
        n3d_pipeline_cmd(&p, &c);
        n3d_pipeline_end(&p);
        ASSERT_EQ(g_recorded.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            const recorded_call& g = g_recorded[i];
            EXPECT_EQ(g.ps_count, r.ps_count);
            EXPECT_EQ(g.texture0, c.texture);
            EXPECT_EQ(g.phong_lut0, r.with_lut ? t.phong_lut : nullptr);
            for (int v = 0; v < 3; ++v) {
                EXPECT_NEAR(g.v[v].x, want[i].v[v].x, 1e-3f);
                EXPECT_NEAR(g.v[v].y, want[i].v[v].y, 1e-3f);
                EXPECT_NEAR(g.v[v].w, want[i].v[v].w, 1e-5f);
                for (int k = 0; k < r.ps_count; ++k)
                    EXPECT_NEAR(g.v[v].ps[k], want[i].v[v].ps[k], 1e-4f) << "parameter " << k;
            }
        }
    }
    // A new round forgets the commands of the last one.
    g_recorded.clear();
    n3d_pipeline_begin(&p, &t.fc, &sc);
    n3d_pipeline_end(&p);
    EXPECT_TRUE(g_recorded.empty());
}

// ---- sorted drawing ----

TEST_F(Pipeline, SortedBucketsSpanNearToTheFarDistance)
{
    struct {
        float depth;
        int bucket;
    } rows[] = {
        {NEAR, 0}, {0.1f, 0}, {50.125f, 511}, {100.0f, 1023}, {150.0f, 1023},
    };
    const int n = (int)(sizeof rows / sizeof rows[0]);
    for (int i = 0; i < n; ++i) {
        add_screen_tri(&lists[i], 10.0f + 20 * i, 10, rows[i].depth);
        struct n3d_pipeline_cmd c = command(&lists[i], 81, 192, &t.tex_argb, nullptr);
        n3d_pipeline_cmd(&p, &c);
    }
    n3d_pipeline_draw_sorted(&p, 1);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(p.sort_buckets[i], rows[i].bucket) << "depth " << rows[i].depth;
        EXPECT_EQ(p.sort_entries[i].cmd_i, i);
        EXPECT_EQ(p.sort_entries[i].v_count, 3);
    }
    // The far distance is a global the caller may change.
    n3d_pipeline_bucketing_z_far = 50.125f;
    n3d_pipeline_draw_sorted(&p, 1);
    EXPECT_EQ(p.sort_buckets[2], 1023);
}

TEST_F(Pipeline, SortedRunsHoldAtMost84Triangles)
{
    test_vertices& tv = lists[0];
    for (int i = 0; i < 300; ++i)
        add_screen_tri(&tv, 10.0f + (i % 50) * 4, 10.0f + (i / 50) * 10, 8);
    struct n3d_pipeline_cmd c = command(&tv, 81, 192, &t.tex_argb, nullptr);
    n3d_pipeline_cmd(&p, &c);
    n3d_pipeline_draw_sorted(&p, 1);
    const int want_count[4] = {252, 252, 252, 144}, want_begin[4] = {0, 252, 504, 756};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(p.sort_entries[i].v_count, want_count[i]) << i;
        EXPECT_EQ(p.sort_entries[i].v_begin, want_begin[i]) << i;
        EXPECT_EQ(p.sort_buckets[i], p.sort_buckets[0]) << i;
    }
    // Every triangle drawn, in order (one bucket: creation order).
    ASSERT_EQ(g_recorded.size(), 300u);
    EXPECT_FLOAT_EQ(g_recorded[84].v[0].x, 10.0f + 34 * 4);
    EXPECT_FLOAT_EQ(g_recorded[299].v[0].x, 10.0f + 49 * 4);
}

TEST_F(Pipeline, SortedOrdersAreStableAndUseTheNearestOrFarthestVertex)
{
    // Command 0: A at depth 10, B at depth 5; command 1: C at depth 10; D spans 5 to 50.
    add_screen_tri(&lists[0], 10, 10, 10);        // A, x 10
    add_screen_tri(&lists[0], 30, 10, 5);         // B, x 30
    add_screen_tri(&lists[1], 50, 10, 10);        // C, x 50
    add_screen_tri(&lists[2], 70, 10, 5, 5, 50);  // D, x 70
    for (int i = 0; i < 3; ++i) {
        struct n3d_pipeline_cmd c = command(&lists[i], 81, 192, &t.tex_argb, nullptr);
        n3d_pipeline_cmd(&p, &c);
    }
    auto order = [] {
        std::string s;
        for (const recorded_call& c : g_recorded)
            s += (char)('A' + (int)std::lround((c.v[0].x - 10) / 20));
        return s;
    };
    auto bucket = [](float d) { return (int)((d - NEAR) / (100.0f - NEAR) * 1023.0f); };

    g_recorded.clear();
    n3d_pipeline_draw_sorted(&p, 1);
    EXPECT_EQ(p.sort_buckets[3], bucket(5)) << "near to far keys on the nearest vertex";
    // B and D share bucket(5); A and C bucket(10): each pair in creation order.
    EXPECT_EQ(order(), "BDAC");

    g_recorded.clear();
    n3d_pipeline_draw_sorted(&p, 0);
    EXPECT_EQ(p.sort_buckets[3], bucket(50)) << "far to near keys on the farthest vertex";
    // Farthest first; equal keys in reverse creation order.
    EXPECT_EQ(order(), "DCAB");

    // The per-command cache: clip from model and the model-space light and eye.
    const glm::mat4 mvp = to_glm(sc.clip_from_world);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_FLOAT_EQ(p.cmds_cache[1].mvp[c][r], mvp[c][r]);
    EXPECT_FLOAT_EQ(p.cmds_cache[1].model_light_pos[2], 3.0f);
}

}  // namespace
