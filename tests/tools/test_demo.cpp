// Runtime of the earlier production over an asset directory written by the
// system's own writers: the asset checks and their messages, the music handed
// to the player, the sine and plasma tables and the plasma frame against a
// numpy reference, the scene schedule at its boundaries, keys and controller
// edges (held buttons are one press), the end of the music, the letterbox, and
// a few hundred frames driven by the mixer's clock through every scene.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "host/demo_music.h"
#include "host/nanokorg2.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/demo_assets_fixture.h"
#include "support/windows_skip.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_timing.h"

namespace {

std::string read_bytes(const std::string& path)
{
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        r.append(buf, n);
    fclose(f);
    return r;
}

class DemoRuntime : public ::testing::Test {
protected:
    static std::string base;
    static void SetUpTestSuite()
    {
        base = capture_temp_dir();
        demo_fixture_write_assets(base);
        // The room (scene 4) draws through the renderer.
        static std::vector<uint8_t> renderer_block(8u << 20);
        static memarena renderer_arena;
        memarena_init(&renderer_arena, "test_demo_renderer", renderer_block.size(), renderer_block.data());
        n3d_init(&renderer_arena);
    }

    std::vector<uint8_t> block = std::vector<uint8_t>(24u << 20);
    memarena arena;
    demo_assets assets{};
    demo d{};
    uint8_t keys[256] = {};
    nanokorg2_state nk2{};

    std::string cwd;
    // The warp keeps its controller track in the working directory.
    void SetUp() override
    {
        memarena_init(&arena, "test_demo", block.size(), block.data());
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd = buf;
        ASSERT_EQ(chdir(capture_temp_dir().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(cwd.c_str()), 0); }

    void start(const std::string& dir = base)
    {
        ASSERT_EQ(demo_assets_init(&assets, &arena, dir.c_str()), 0);
        ASSERT_EQ(demo_init(&d, &arena, &assets), 0);
    }
    // The position the timing reads, as the mixer leaves it.
    static void at(int pos) { demo_music_frame_position.store(pos); }
    void frame(demo_fixture_frame& f, const uint8_t* k = nullptr, const nanokorg2_state* c = nullptr)
    {
        demo_update(&d, nullptr, &f.fc, c, k);
    }
};
std::string DemoRuntime::base;

TEST_F(DemoRuntime, LoadsTheAssetSetAndHandsTheMusicToThePlayer)
{
    start();
    EXPECT_EQ(assets.meshes_count, 8);
    for (int i = 0; i < 8; i++)
        ASSERT_NE(assets.meshes[i], nullptr) << i;
    // Slot 1 is the torus, loaded last: the fixture puts mesh i at depth i - 2.5.
    EXPECT_FLOAT_EQ(assets.meshes[1]->vertices.xyz[2], 1 - 2.5f);
    EXPECT_FLOAT_EQ(assets.meshes[7]->vertices.xyz[2], 7 - 2.5f);
    EXPECT_EQ(assets.tc.textures_per_format[1][3], nullptr);
    EXPECT_NE(assets.tc.textures_per_format[2][3], nullptr);
    EXPECT_EQ(assets.music_size, 3500000);
    EXPECT_EQ(assets.beats_pos_count, (int)demo_fixture_default_beats(3500000).size());
    EXPECT_EQ(assets.beats_pos[2], 22050);
    // Phong tables: table i falls off at sqrt(0.01 + i / 255).
    EXPECT_NE(assets.tc.phong_luts[0][0], assets.tc.phong_luts[0][255]);
    EXPECT_NE(memcmp(assets.tc.phong_luts[10], assets.tc.phong_luts[200], 256), 0);

    EXPECT_EQ(demo_music_loaded.load(), 1);
    EXPECT_EQ(demo_music_ok_to_start.load(), 1);
    EXPECT_EQ(demo_music_frames_count.load(), 3500000);
    EXPECT_EQ(demo_music_end.load(), 3500000);
    EXPECT_EQ(demo_music_acm_ima_buffer.load(), assets.music_data);
    // So the mixer's clock runs.
    std::vector<int16_t> buf(2 * 1024);
    demo_music_play(buf.data(), 1024);
    EXPECT_EQ(vexil_audio_position.load(), 1024);
    EXPECT_EQ(demo_music_frame_position.load(), 1024);
    EXPECT_EQ(g_demo_timing.count, assets.beats_pos_count);
    EXPECT_EQ(g_demo_timing.sample_rate, 22050.0f);
}

TEST_F(DemoRuntime, BeatFileSizesAndMissingBeatFile)
{
    const struct {
        size_t bytes;
        int count;
    } cases[] = {{10, 2}, {0, 0}, {3, 0}, {4, 1}};
    for (const auto& c : cases) {
        const std::string dir = demo_fixture_variant_dir(base, {"beats.dat"});
        // Positions 1, 2, 3 in the machine's order, cut to the size.
        const int32_t pos[3] = {1, 2, 3};
        demo_fixture_write(dir + "/beats.dat", pos, c.bytes);
        demo_assets a{};
        memarena_reset(&arena);
        ASSERT_EQ(demo_assets_init(&a, &arena, dir.c_str()), 0);
        EXPECT_EQ(a.beats_pos_count, c.count) << c.bytes;
        for (int i = 0; i < a.beats_pos_count; i++)
            EXPECT_EQ(a.beats_pos[i], i + 1);
    }
    const std::string dir = demo_fixture_variant_dir(base, {"beats.dat"});
    demo_assets a{};
    memarena_reset(&arena);
    ASSERT_EQ(demo_assets_init(&a, &arena, dir.c_str()), 0);
    EXPECT_EQ(a.beats_pos_count, 0);
}

TEST_F(DemoRuntime, MissingOrMalformedAssetsFailWithTheirName)
{
    std::vector<uint8_t> tb(24u << 20);
    memarena ta;
    memarena_init(&ta, "variant", tb.size(), tb.data());
    const float w[4] = {1, 1, 1, 1}, k[4] = {0, 0, 0, 1};
    const struct {
        const char* file;
        const char* make;  // "" leaves the file out
        const char* message;
    } cases[] = {
        {"Sonavert_Remix.dat", "", "fopen failed, path: "},
        {"Sonavert_Remix.dat", "empty", "music file is empty, path: "},
        {"tiles_256_8bpp.tmap", "", "failed load textures_index8[0]\n"},
        {"tiles_nogirl_256_8bpp.tmap", "argb1555", "invalid format for textures_index8[1]: 2\n"},
        {"tiles_warp_256_8bpp.tmap", "", "failed load textures_index8[2]\n"},
        {"tiles_256_16bpp.tmap", "", "failed load textures_argb1555[0] \"tiles_256_16bpp.tmap\"\n"},
        {"tiles_256_16bpp.tmap", "rows",
         "textures_argb1555[0] \"tiles_256_16bpp.tmap\" must be swizzled and 256x256, is 256x256 row by row\n"},
        {"flare_256_16bpp.tmap", "small",
         "textures_argb1555[3] \"flare_256_16bpp.tmap\" must be swizzled and 256x256, is 128x128\n"},
        {"flare_256_16bpp.tmap", "index8", "invalid format for textures_argb1555[3] \"flare_256_16bpp.tmap\": 1\n"},
        {"cube.mesh", "", "failed load mesh[0] \"cube.mesh\"\n"},
        {"room2_side3.mesh", "no_normals", "mesh[5] \"room2_side3.mesh\" has no n_xyz array\n"},
    };
    for (const auto& c : cases) {
        const std::string dir = demo_fixture_variant_dir(base, {c.file});
        const std::string path = dir + "/" + c.file;
        const std::string make = c.make;
        if (make == "argb1555")
            demo_fixture_texture(path, &ta, 2, 1, 0, 8, 8, w, k);
        else if (make == "rows")
            demo_fixture_texture(path, &ta, 2, 0, 0, 8, 8, w, k);
        else if (make == "small")
            demo_fixture_texture(path, &ta, 2, 1, 1, 7, 8, w, k);
        else if (make == "index8")
            demo_fixture_texture(path, &ta, 1, 1, 1, 8, 8, w, k);
        else if (make == "no_normals")
            demo_fixture_mesh(path, &ta, 5, 1);
        else if (make == "empty")
            fclose(fopen(path.c_str(), "wb"));
        captured_run r = capture_run([&] {
            demo_assets a{};
            memarena_reset(&arena);
            printf("result %d\n", demo_assets_init(&a, &arena, dir.c_str()));
        });
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.file << " " << c.make << "\n" << r.out;
        EXPECT_NE(r.out.find("result 1\n"), std::string::npos) << c.file << " " << c.make << "\n" << r.out;
        if (make == "empty") {
            EXPECT_NE(r.out.find(c.message + path + "\n"), std::string::npos) << r.out;
        }
    }
}

// ---- tables and plasma -------------------------------------------------------

struct plasma_reference {
    std::vector<uint16_t> px;
    std::vector<uint8_t> margin;
    std::string tables;
};

plasma_reference run_plasma_reference(int w, int h, float t, const std::string& speeds)
{
    const std::string dir = capture_temp_dir();
    char tt[64];
    snprintf(tt, sizeof tt, "%.9g", (double)t);
    const std::string script = std::string(QF_SOURCE_DIR) + "/tests/tools/plasma_reference.py";
    captured_run r = capture_program({"/usr/bin/python3", script, std::to_string(w), std::to_string(h), tt, speeds,
                                      dir + "/px", dir + "/m", dir + "/t"},
                                     "", {}, 120);
    EXPECT_TRUE(r.exited && r.status == 0) << r.out << r.err;
    plasma_reference ref;
    std::string px = read_bytes(dir + "/px"), m = read_bytes(dir + "/m");
    ref.px.resize(px.size() / 2);
    memcpy(ref.px.data(), px.data(), ref.px.size() * 2);
    ref.margin.assign(m.begin(), m.end());
    ref.tables = read_bytes(dir + "/t");
    return ref;
}

TEST_F(DemoRuntime, SineAndPlasmaTablesMatchTheReference)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    start();
    plasma_reference ref = run_plasma_reference(8, 8, 0.0f, "none");
    ASSERT_EQ(ref.tables.size(), 320u + 256u + 512u);
    EXPECT_EQ(memcmp(d.sin256_fp7, ref.tables.data(), 320), 0);
    EXPECT_EQ(d.cos256_fp7, d.sin256_fp7 + 64);
    EXPECT_EQ(d.sin256_fp7[64], 127);
    EXPECT_EQ(d.sin256_fp7[192], -127);
    EXPECT_EQ(memcmp(d.plasma.table, ref.tables.data() + 320, 256), 0);
    EXPECT_EQ(d.plasma.table[0], 255);
    EXPECT_EQ(d.plasma.table[255], 255);
    EXPECT_EQ(memcmp(d.plasma.lut, ref.tables.data() + 576, 512), 0);
}

TEST_F(DemoRuntime, PlasmaFrameMatchesNumpy)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    start();
    const struct {
        float t;
        const char* speeds;  // knob x 2 x slider of channels 0 to 3, or none
        float knob0, slider0, knob1;
    } cases[] = {
        {0.0f, "none", 0, 0, 0},
        {12.345f, "none", 0, 0, 0},
        {71.5f, "0,1.2,0.5,2", 0.0f, 0.5f, 1.2f},  // knob 0 at 0: sin(ps2 t) stays 0
    };
    for (const auto& c : cases) {
        const int w = 320, h = 200;
        demo_fixture_frame f(w, h, 1024);
        nanokorg2_state s{};
        const int controlled = std::string(c.speeds) != "none";
        if (controlled) {
            s.ch_knob[0] = c.knob0;
            s.ch_slider[0] = c.slider0;
            s.ch_knob[1] = c.knob1;
            s.ch_slider[1] = 0.5f;
            s.ch_knob[2] = 1.0f;
            s.ch_slider[2] = 0.25f;
            s.ch_knob[3] = 2.0f;
            s.ch_slider[3] = 0.5f;
        }
        g_demo_nk2 = controlled ? &s : nullptr;
        d.plasma.t = c.t;
        demo_plasma(&d.plasma, &f.fc);
        g_demo_nk2 = nullptr;
        EXPECT_FLOAT_EQ(d.plasma.t, c.t + 1.0f / 60.0f);
        plasma_reference ref = run_plasma_reference(w, h, c.t, c.speeds);
        ASSERT_EQ(ref.px.size(), (size_t)w * h);
        int near = 0, mismatched = 0, mismatched_far = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const size_t i = (size_t)y * w + x;
                near += ref.margin[i];
                if (f.at(x, y) != ref.px[i]) {
                    mismatched++;
                    mismatched_far += !ref.margin[i];
                }
            }
        EXPECT_EQ(mismatched_far, 0) << "t " << c.t;
        EXPECT_LE(mismatched, near);
        EXPECT_LT(near, w * h / 100) << "t " << c.t;
        // The row padding past 320 pixels is left alone.
        EXPECT_EQ(f.at(320, 0), 0x1234);
        EXPECT_EQ(f.at(511, 199), 0x1234);
    }
}

TEST_F(DemoRuntime, PlasmaNeedsAnArgb1555Frame)
{
    start();
    captured_run r = capture_run([&] {
        demo_fixture_frame f(32, 8, 64);
        f.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        demo_plasma(&d.plasma, &f.fc);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/demo:")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not implemented\n"), std::string::npos) << r.err;
}

// ---- frame update -------------------------------------------------------------

TEST_F(DemoRuntime, ScheduleBoundaries)
{
    start();
    demo_fixture_frame f(320, 240, 640);
    // Beats every 11025 samples: every position below the last beat is valid.
    const struct {
        int pos;
        int scene;
    } cases[] = {
        {24319, 0},   {24320, 1},   {1259263, 1}, {1259264, 2}, {1964033, 2}, {1964034, 4},
        {2317823, 4}, {2317824, 2}, {3375675, 2}, {3375676, 2}, {3400000, 2},
    };
    for (const auto& c : cases) {
        at(c.pos);
        frame(f);
        EXPECT_EQ(d.scene, c.scene) << c.pos;
        EXPECT_EQ(g_dtf.valid, 1) << c.pos;
    }
    // From 3375676 on the scene stays as it was, also when set by keys before.
    d.scene = 4;
    at(3380000);
    frame(f);
    EXPECT_EQ(d.scene, 4);
    // An invalid beat view (past the last beat) draws nothing and keeps the scene.
    d.scene = 3;
    at(3499999);
    std::fill(f.plane.begin(), f.plane.end(), 0x1234);
    frame(f);
    EXPECT_EQ(g_dtf.valid, 0);
    EXPECT_EQ(d.scene, 3);
    EXPECT_EQ(f.at(100, 100), 0x1234);
}

TEST_F(DemoRuntime, KeysChooseTheSceneOnceAPressAndClamp)
{
    start();
    demo_fixture_frame f(320, 240, 640);
    at(1000);  // automatic mode would draw nothing here
    const struct {
        char key;
        int hold;  // updates the key stays down
        int scene;
        int fixed;
    } cases[] = {
        {'p', 1, 0, 1},  // p at scene 0 stays 0
        {'o', 3, 1, 1},  // held for three updates: one press
        {'o', 1, 2, 1}, {'o', 1, 3, 1}, {'o', 1, 4, 1}, {'o', 1, 5, 1}, {'o', 1, 5, 1},  // o at 5 stays 5
        {'p', 2, 4, 1}, {'r', 1, 4, 0},  // back to the schedule, which draws nothing before 24320
    };
    for (const auto& c : cases) {
        for (int i = 0; i < c.hold; i++) {
            keys[(uint8_t)c.key] = 1;
            frame(f, keys);
        }
        keys[(uint8_t)c.key] = 0;
        frame(f, keys);
        EXPECT_EQ(d.scene, c.scene) << c.key;
        EXPECT_EQ(d.demo_fixed_scene, c.fixed) << c.key;
    }
    // A key held through updates that return early (automatic mode before the
    // first scene) is still one press: the arena report prints once.
    captured_run r = capture_run([&] {
        keys[(uint8_t)'.'] = 1;
        for (int i = 0; i < 4; i++)
            frame(f, keys);
    });
    // All 256 entries are remembered, the last one included.
    keys[255] = 1;
    frame(f, keys);
    EXPECT_EQ(g_demo_keys_prev[255], 1);
    size_t n = 0;
    for (size_t p = r.out.find("arena: demo_arena "); p != std::string::npos;
         p = r.out.find("arena: demo_arena ", p + 1))
        n++;
    EXPECT_EQ(n, 1u) << r.out;
    EXPECT_NE(r.out.find("arena: demo_tmp_arena "), std::string::npos);
}

TEST_F(DemoRuntime, ControllerSeekMovesThePlayerOncePerPress)
{
    start();
    demo_fixture_frame f(320, 240, 640);
    std::vector<int16_t> buf(2 * 1024);
    vexil_music_move_position(100000);
    demo_music_play(buf.data(), 1);  // the mixer sets the position from the clock
    ASSERT_EQ(demo_music_frame_position.load(), 100001);
    frame(f, nullptr, &nk2);
    nk2.track_left = 1;
    for (int i = 0; i < 3; i++)
        frame(f, nullptr, &nk2);  // held: one seek
    EXPECT_EQ(vexil_audio_position.load(), 100001 - 22050);
    // The mixer keeps the seek: it recomputes the position from the clock.
    demo_music_play(buf.data(), 1);
    EXPECT_EQ(demo_music_frame_position.load(), 100001 - 22050 + 1);
    nk2.track_left = 0;
    frame(f, nullptr, &nk2);
    nk2.track_right = 1;
    frame(f, nullptr, &nk2);
    EXPECT_EQ(vexil_audio_position.load(), 100002);
    // A seek back from near the start stops at 0.
    nk2.track_right = 0;
    frame(f, nullptr, &nk2);
    vexil_music_move_position(-100002 + 5000);
    nk2.track_left = 1;
    frame(f, nullptr, &nk2);
    EXPECT_EQ(vexil_audio_position.load(), 0);

    // A null snapshot or key table leaves no pointer to the earlier one.
    frame(f, keys, &nk2);
    EXPECT_EQ(g_demo_nk2, &nk2);
    EXPECT_EQ(g_demo_keys, keys);
    frame(f, nullptr, nullptr);
    EXPECT_EQ(g_demo_nk2, nullptr);
    EXPECT_EQ(g_demo_keys, nullptr);
}

TEST_F(DemoRuntime, PastTheMusicsEndTheFrameIsCleared)
{
    start();
    demo_fixture_frame f(320, 240, 1024);
    at(3500000);  // the end itself still runs
    frame(f);
    EXPECT_EQ(f.at(0, 0), 0x1234);
    at(3500001);
    frame(f);
    for (int y = 0; y < 240; y += 7)
        for (int x = 0; x < 320; x += 13)
            ASSERT_EQ(f.at(x, y), 0x8000) << x << " " << y;
    EXPECT_EQ(f.at(320, 0), 0x1234);  // padding untouched
}

TEST_F(DemoRuntime, LetterboxedBandAndTooLowFrames)
{
    start();
    demo_fixture_frame f(320, 240, 640);
    keys[(uint8_t)'o'] = 1;
    d.scene = 2;  // o makes it 3: the plasma
    at(1000);
    frame(f, keys);
    ASSERT_EQ(d.scene, 3);
    for (int x = 0; x < 320; x++) {
        ASSERT_EQ(f.at(x, 19), 0x1234) << x;
        ASSERT_NE(f.at(x, 20), 0x1234) << x;
        ASSERT_NE(f.at(x, 219), 0x1234) << x;
        ASSERT_EQ(f.at(x, 220), 0x1234) << x;
    }
    EXPECT_EQ(f.fc.fb->h, 240);
    EXPECT_EQ(f.fc.fb->b, f.plane.data());

    // Exactly the letterbox: nothing to draw. Lower: a clear stop.
    demo_fixture_frame f40(32, 40, 64);
    frame(f40, keys);
    EXPECT_EQ(f40.at(5, 20), 0x1234);
    captured_run r = capture_run([&] {
        demo_fixture_frame low(32, 39, 64);
        frame(low, keys);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("frame of 39 rows is lower than the 40-row letterbox"), std::string::npos) << r.err;
}

TEST_F(DemoRuntime, HundredsOfFramesOnTheMixersClockReachEveryScene)
{
    start();
    demo_fixture_frame f(320, 240, 640);
    std::vector<int16_t> buf(2 * 9000);
    std::set<int> seen;
    for (int i = 0; i < 420; i++) {
        memset(keys, 0, sizeof keys);
        // A few key presses on the way: plasma, the empty scene 5, back to the schedule.
        if (i == 30 || i == 32 || i == 34 || i == 36)
            keys[(uint8_t)'o'] = 1;
        if (i == 40)
            keys[(uint8_t)'p'] = 1;
        if (i == 50 || i == 52)
            keys[(uint8_t)'o'] = 1;
        if (i == 60)
            keys[(uint8_t)'r'] = 1;
        nk2.ch_knob[0] = (float)(i % 10) / 10.0f;
        nk2.ch_slider[0] = 0.5f;
        for (int x = 0; x < 320; x += 64)
            f.plane[(size_t)120 * 320 + x] = 0x1234;
        frame(f, keys, &nk2);
        seen.insert(d.scene);
        // Every drawing scene covers the band.
        if (g_dtf.valid && g_dtf.pos >= 24320 && g_dtf.pos <= 3500000 && d.scene >= 1 && d.scene <= 3) {
            int drawn = 0;
            for (int x = 0; x < 320; x += 64)
                drawn += f.at(x, 120) != 0x1234;
            EXPECT_GT(drawn, 0) << "scene " << d.scene << " frame " << i;
        }
        demo_music_play(buf.data(), 9000);
    }
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_GT(g_dtf.pos, 3500000);  // ran past the end
    EXPECT_EQ(f.at(0, 0), 0x8000);
}

}  // namespace
