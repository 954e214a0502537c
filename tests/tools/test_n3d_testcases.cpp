// The renderer test bench over an asset directory written with the system's
// own writers: the scene counter and its wrap, freezing and stepping a slot's
// clock, each missing or unusable asset's message, the near plane raised to
// the projection's minimum, the datapack scenes' joint matrices against glm,
// and every slot drawn for a few frames with each rasterizer call checked for
// values that are not finite (a PNG of each slot under the build directory).
#include <gtest/gtest.h>

#include <glm/glm.hpp>
#include <glm/gtc/quaternion.hpp>
#include <glm/gtc/type_ptr.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "n3d/n3d.h"
#include "support/capture.h"
#include "support/demo_assets_fixture.h"
#include "support/testbench_fixture.h"
#include "tools/n3d_testcases.h"

namespace {

std::vector<uint8_t> g_renderer_block(8u << 20);

class TestBench : public ::testing::Test {
protected:
    static std::string base;
    static void SetUpTestSuite()
    {
        base = capture_temp_dir();
        tb_write_assets(base);
        static memarena renderer_arena;
        memarena_init(&renderer_arena, "test_bench_renderer", g_renderer_block.size(), g_renderer_block.data());
        n3d_init(&renderer_arena);
        tb_spy_install();
    }

    std::unique_ptr<n3d_testcases> tcs = std::make_unique<n3d_testcases>();
    demo_fixture_frame f{320, 240, 640};
    uint8_t keys[256] = {};

    void start(const std::string& dir = base) { ASSERT_EQ(n3d_testcases_init(tcs.get(), dir.c_str(), 2, 320, 240), 0); }
    void frame(const uint8_t* k = nullptr) { n3d_testcases_update(tcs.get(), &f.fc, k ? k : keys); }
    // Down for one frame, then up for one.
    void press(uint8_t key)
    {
        uint8_t k[256] = {};
        k[key] = 1;
        frame(k);
        frame();
    }
    int slot() const { return (int)(tcs->testcase_counter % N3D_TESTCASES_COUNT); }
};
std::string TestBench::base;

TEST_F(TestBench, SceneCounterStartsAtSevenAndWrapsUnsigned)
{
    start();
    EXPECT_EQ(tcs->testcase_counter, 7u);
    for (int i = 0; i < N3D_TESTCASES_COUNT; i++)
        EXPECT_EQ(tcs->testcases[i].tick_delta, 1);
    const struct {
        char key;
        int presses;
        uint32_t counter;
        int slot;
    } steps[] = {
        {'p', 7, 0u, 0},                              // down to the first slot
        {'p', 1, 4294967295u, 8},                     // wraps: 4294967295 % 13 = 8, not 12
        {'n', 1, 0u, 0},          {'n', 13, 13u, 0},  // a full turn
        {'n', 12, 25u, 12},
    };
    for (const auto& s : steps) {
        for (int i = 0; i < s.presses; i++)
            press((uint8_t)s.key);
        EXPECT_EQ(tcs->testcase_counter, s.counter) << s.key << " x" << s.presses;
        EXPECT_EQ(slot(), s.slot);
    }
    // A held key is one press.
    uint8_t k[256] = {};
    k[(uint8_t)'n'] = 1;
    for (int i = 0; i < 5; i++)
        frame(k);
    EXPECT_EQ(tcs->testcase_counter, 26u);
}

TEST_F(TestBench, HoldingAKeyStepsAndFreezesTheSelectedClock)
{
    start();
    n3d_testcase& tc = tcs->testcases[7];
    frame();
    frame();
    EXPECT_EQ(tc.tick, 2);
    uint8_t w[256] = {}, s[256] = {};
    w[(uint8_t)'w'] = 1;
    s[(uint8_t)'s'] = 1;
    for (int i = 0; i < 3; i++)
        frame(w);
    EXPECT_EQ(tc.tick, 5) << "one frame a frame while held";
    EXPECT_EQ(tc.tick_freeze, 1);
    frame();
    frame();
    EXPECT_EQ(tc.tick, 5) << "frozen";
    frame(s);
    EXPECT_EQ(tc.tick, 4);
    press(' ');
    EXPECT_EQ(tc.tick_freeze, 0);
    EXPECT_EQ(tc.tick, 6) << "running again from the press frame on";
    press('e');
    EXPECT_EQ(tc.tick_delta, 2);
    const int before = tc.tick;
    frame();
    EXPECT_EQ(tc.tick, before + 2);
    press('q');
    press('q');
    EXPECT_EQ(tc.tick_delta, 0);
    // The other slots' clocks never ran.
    for (int i = 0; i < N3D_TESTCASES_COUNT; i++)
        if (i != 7) {
            EXPECT_EQ(tcs->testcases[i].tick, 0) << i;
        }
    press('a');
    EXPECT_EQ(tc.tick_case, 1);
    EXPECT_EQ(tc.enable_tick_case, 1);
    press('t');
    press('g');
    EXPECT_EQ(tc.enable_only_triangle, 1);
    EXPECT_EQ(tc.only_triangle_id, 1);
}

TEST_F(TestBench, EachMissingOrUnusableAssetStopsWithItsMessage)
{
    std::vector<uint8_t> block(16u << 20);
    memarena arena;
    memarena_init(&arena, "messages", block.size(), block.data());
    const struct {
        const char* file;
        const char* broken;  // "missing", "as8" (a 16-bit file holding an index8 texture), "as16", "cut"
        const char* message;
    } cases[] = {
        {"cube.mesh", "missing", "failed load testcases assets, mesh[0]\n"},
        {"face.mesh", "missing", "failed load testcases assets, mesh[3]\n"},
        {"room.mesh", "missing", "failed load testcases assets, mesh[5]\n"},
        {"vellop.mad", "missing", "failed load mad_datapack \""},
        {"performa.mad", "cut", "failed load mad_datapack \""},
        {"checkerboard2_16bpp.tmap", "missing", "failed load textures_argb1555[0]\n"},
        {"light_8bpp.tmap", "missing", "failed load textures_8bpp[3]\n"},
        {"t2_16bpp.tmap", "as8", "invalid format for textures_argb1555[2]: 1\n"},
        {"tiles_256_8bpp.tmap", "as16", "invalid format for textures_8bpp[4]: 2\n"},
    };
    for (const auto& c : cases) {
        const std::string dir = capture_temp_dir();
        const std::vector<std::string> names = {"cube.mesh",       "viking_room.mesh", "suzanne.mesh",
                                                "face.mesh",       "toruswarp.mesh",   "room.mesh",
                                                "simple_skin.mad", "vellop.mad",       "performa.mad"};
        std::vector<std::string> all = names;
        for (const auto& t : tb_texture_names()) {
            all.push_back(t + "_16bpp.tmap");
            all.push_back(t + "_8bpp.tmap");
        }
        for (const auto& n : all)
            if (n != c.file) {
                ASSERT_EQ(symlink((base + "/" + n).c_str(), (dir + "/" + n).c_str()), 0);
            }
        const std::string b = c.broken;
        if (b == "as8" || b == "as16") {
            const float white[4] = {1, 1, 1, 1}, grey[4] = {0.3f, 0.3f, 0.3f, 1};
            demo_fixture_texture(
                dir + "/" + c.file, &arena,
                b == "as8" ? N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 : N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1,
                0, 6, 8, white, grey);
        } else if (b == "cut") {
            // The first 40 bytes of the datapack: its counts promise what is not there.
            FILE* in = fopen((base + "/" + c.file).c_str(), "rb");
            ASSERT_NE(in, nullptr);
            char bytes[40];
            ASSERT_EQ(fread(bytes, 1, sizeof bytes, in), sizeof bytes);
            fclose(in);
            demo_fixture_write(dir + "/" + c.file, bytes, sizeof bytes);
        }
        captured_run r = capture_run([&] {
            n3d_testcases* t = new n3d_testcases;
            n3d_testcases_init(t, dir.c_str(), 2, 320, 240);
        });
        EXPECT_EQ(r.status, 1) << c.file << " " << c.broken;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << " " << c.broken << ": " << r.err;
    }
}

TEST_F(TestBench, NearPlanesBelowTheProjectionsMinimumAreRaised)
{
    start();
    const struct {
        int slot;
        float near_plane;
    } cases[] = {{0, 1.0f}, {1, 0.25f}, {4, 0.25f}, {5, 0.25f}, {6, 0.25f},
                 {7, 1.0f}, {8, 0.25f}, {9, 1.0f},  {10, 1.0f}};
    for (const auto& c : cases) {
        tcs->testcase_counter = (uint32_t)c.slot;
        frame();
        EXPECT_FLOAT_EQ(tcs->testcases[c.slot].sc.near_plane, c.near_plane) << "slot " << c.slot;
        EXPECT_FLOAT_EQ(tcs->rc.sc.near_plane, c.near_plane) << "slot " << c.slot;
    }
    // One press from the start scene reaches slot 8 (the room, near plane 0.1).
    tcs->testcase_counter = 7;
    press('n');
    EXPECT_EQ(slot(), 8);
}

glm::mat4 to_glm(const mat4x4 m) { return glm::make_mat4(&m[0][0]); }

TEST_F(TestBench, DatapackScenesPoseTheirJointsAsGlmDoes)
{
    start();
    for (int slot : {10, 11}) {
        tcs->testcase_counter = (uint32_t)slot;
        n3d_testcase& tc = tcs->testcases[slot];
        tc.tick = 45;  // 0.75 s into the 2 s bend
        tc.tick_freeze = 1;
        frame();
        const mad_datapack* pack = tcs->assets.madpacks[slot - 10];
        const mad_skin* skin = pack->nodes[0].skin;
        ASSERT_NE(skin, nullptr);
        const float t = 45.0f / 60.0f;
        // glm: each joint's rotation slerped from identity to its end keyframe,
        // the chain's world matrices, then world x inverse bind.
        glm::mat4 world(1.0f);
        std::vector<glm::mat4> expect;
        float y = 0.0f;
        for (int j = 0; j < skin->joints_count; j++) {
            const mad_node& n = pack->nodes[skin->joints[j]];
            const float a = 0.4f * (float)(j + 1) / 2.0f;
            const glm::quat q = glm::slerp(glm::quat(1, 0, 0, 0), glm::quat(cosf(a), 0, 0, sinf(a)), t / 2.0f);
            world = world *
                    glm::translate(glm::mat4(1.0f), glm::vec3(n.translation[0], n.translation[1], n.translation[2])) *
                    glm::mat4_cast(q);
            y += n.translation[1];
            expect.push_back(world * glm::translate(glm::mat4(1.0f), glm::vec3(0, -y, 0)));
        }
        std::vector<uint8_t> block(1u << 20);
        memarena a;
        memarena_init(&a, "joints", block.size(), block.data());
        std::vector<mat4x4> nodes_world((size_t)pack->nodes_count), joints((size_t)skin->joints_count);
        mad_world_matrices(nodes_world.data(), pack, &a);
        mad_joint_matrices(joints.data(), nodes_world.data(), pack, skin);
        for (int j = 0; j < skin->joints_count; j++) {
            const glm::mat4 got = to_glm(joints[(size_t)j]);
            for (int c = 0; c < 4; c++)
                for (int r = 0; r < 4; r++)
                    EXPECT_NEAR(got[c][r], expect[(size_t)j][c][r], 1e-4f) << "slot " << slot << " joint " << j;
        }
        EXPECT_GT(tb_lit_pixels(f), 0) << "slot " << slot;
    }
}

TEST_F(TestBench, DatapacksWithoutAnimationsKeepTheirRestPose)
{
    // simple_skin.mad and vellop.mad without their animation: slots 10 and 11
    // draw the rest pose instead of asking for animation 0.
    const std::string dir = capture_temp_dir();
    for (const auto& n : {"cube.mesh", "viking_room.mesh", "suzanne.mesh", "face.mesh", "toruswarp.mesh", "room.mesh",
                          "performa.mad"}) {
        ASSERT_EQ(symlink((base + "/" + n).c_str(), (dir + "/" + n).c_str()), 0);
    }
    for (const auto& t : tb_texture_names())
        for (const char* kind : {"_16bpp.tmap", "_8bpp.tmap"}) {
            ASSERT_EQ(symlink((base + "/" + t + kind).c_str(), (dir + "/" + t + kind).c_str()), 0);
        }
    {
        std::vector<uint8_t> block(16u << 20);
        memarena a;
        memarena_init(&a, "still", block.size(), block.data());
        tb_datapack simple(2, 0), complex_skin(3, 0);
        simple.dp.animations_count = 0;
        complex_skin.dp.animations_count = 0;
        tb_write_datapack(dir + "/simple_skin.mad", &a, &simple.dp);
        tb_write_datapack(dir + "/vellop.mad", &a, &complex_skin.dp);
    }
    start(dir);
    for (int slot : {10, 11}) {
        std::fill(f.plane.begin(), f.plane.end(), 0x8000);
        tcs->testcase_counter = (uint32_t)slot;
        for (int i = 0; i < 3; i++)
            frame();
        EXPECT_GT(tb_lit_pixels(f), 0) << "slot " << slot;
        const mad_node& joint = tcs->assets.madpacks[slot - 10]->nodes[2];
        EXPECT_EQ(joint.rotation[3], 1.0f) << "rest rotation kept";
    }
}

TEST_F(TestBench, EverySlotDrawsAFewFrames)
{
    start();
    const char* names[N3D_TESTCASES_COUNT] = {"bench_00_cube",
                                              "bench_01_small_triangles",
                                              "bench_02_none",
                                              "bench_03_none",
                                              "bench_04_phong_move",
                                              "bench_05_face",
                                              "bench_06_perspective_correct",
                                              "bench_07_256x256",
                                              "bench_08_room",
                                              "bench_09_clip",
                                              "bench_10_mad_simple_skin",
                                              "bench_11_mad_complex_skin",
                                              "bench_12_mad_textured"};
    for (int s = 0; s < N3D_TESTCASES_COUNT; s++) {
        demo_fixture_frame g(320, 240, 640);
        std::fill(g.plane.begin(), g.plane.end(), 0x8000);
        tcs->testcase_counter = (uint32_t)s;
        const long calls = g_tb_spy.calls, bad = g_tb_spy.not_finite;
        for (int i = 0; i < 40; i++) {
            n3d_testcases_update(tcs.get(), &g.fc, keys);
            // The clip slot swings through the near plane over its clock: visit it.
            if (s == 9)
                tcs->testcases[9].tick += 7;
        }
        EXPECT_EQ(g_tb_spy.not_finite, bad) << names[s];
        const int drawing = s != 2 && s != 3 && s != 12;
        if (drawing) {
            EXPECT_GT(g_tb_spy.calls, calls) << names[s];
            EXPECT_GT(tb_lit_pixels(g), 0) << names[s];
        } else {
            EXPECT_EQ(g_tb_spy.calls, calls) << names[s];
            EXPECT_EQ(tb_lit_pixels(g), 0) << names[s];
        }
        tb_save_png(g, names[s]);
    }
    // Slots 2 and 3 leave the frame context untouched.
    demo_fixture_frame untouched(320, 240, 640);
    for (int s : {2, 3}) {
        const n3d_coveragebuffer* cb = untouched.fc.cb;
        tcs->testcase_counter = (uint32_t)s;
        n3d_testcases_update(tcs.get(), &untouched.fc, keys);
        EXPECT_EQ(untouched.fc.cb, cb) << "no frame begun";
        EXPECT_EQ(untouched.at(160, 120), 0x1234);
    }
}

TEST_F(TestBench, TheClipSlotCrossesTheNearPlaneWithoutNaN)
{
    start();
    tcs->testcase_counter = 9;
    const long bad = g_tb_spy.not_finite;
    // sin t from 0 to 1 and back: the triangle swings from in front of the
    // camera through its near plane.
    for (int tick = 0; tick < 6 * 60 * 2; tick += 5) {
        tcs->testcases[9].tick = tick;
        frame();
    }
    EXPECT_EQ(g_tb_spy.not_finite, bad);
}

TEST_F(TestBench, FramesThatAreNotArgb1555Stop)
{
    start();
    captured_run r = capture_run([&] {
        f.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        tcs->testcase_counter = 0;
        frame();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not implemented\n"), std::string::npos) << r.err;
}

}  // namespace
