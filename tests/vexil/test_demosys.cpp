// The demo system's start-up: its arena and the render targets it lays over
// the emulated display (the overlay plane and both video pages), and the back
// page's context followed from the display in both update kinds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/capture.h"
#include "support/vexil_fixture.h"
#include "vexil/demosys.h"

namespace {

TEST(Demosys, InitLaysTheRenderTargetsOverTheDisplayAndClearsThem)
{
    std::string dir = capture_temp_dir();
    vexil_fixture_write_idle_production(dir);
    vexil_fixture_host h;
    vexil_fixture_start(&h, dir, 0);
    // Again over planes full of junk: init must clear what it covers.
    free(h.ds->arena.ptr);
    memset(h.video.overlay.b, 0x55, (size_t)h.video.overlay.rowbytes * h.video.overlay.h);
    for (auto& page : h.video.videos)
        memset(page.b, 0x55, (size_t)page.rowbytes * page.h);
    h.ds->quit = 7;
    ASSERT_EQ(demosys_init(h.ds, &h.video), 0);
    demosys* ds = h.ds;

    EXPECT_EQ(ds->quit, 0);
    EXPECT_STREQ(ds->arena.name, "demo_arena");
    EXPECT_EQ(ds->arena.size, 41943040u);
    EXPECT_EQ(ds->run_demo, 1);

    const valkyrie_buffer& ov = h.video.overlay;
    EXPECT_EQ(ds->overlay_fb.format, 3);
    EXPECT_EQ(ds->overlay_fb.w, ov.w);
    EXPECT_EQ(ds->overlay_fb.h, ov.h);
    EXPECT_EQ(ds->overlay_fb.row_bytes, ov.rowbytes);
    EXPECT_EQ(ds->overlay_fb.b, ov.b);
    EXPECT_EQ(ds->overlay.fb, &ds->overlay_fb);
    EXPECT_EQ(ds->overlay.db, nullptr);
    ASSERT_NE(ds->overlay.cb, nullptr);
    ASSERT_NE(ds->overlay.cb_dirty, nullptr);
    EXPECT_NE(ds->overlay.cb, ds->overlay.cb_dirty);
    EXPECT_EQ(ds->overlay.cb->w, ov.w);
    EXPECT_EQ(ds->overlay.cb->h, ov.h);
    int overlay_junk = 0;
    for (int y = 0; y < ov.h; y++)
        for (int x = 0; x < ov.w; x++)
            overlay_junk += ov.b[(size_t)y * ov.rowbytes + x] != 0;
    EXPECT_EQ(overlay_junk, 0);

    EXPECT_EQ(ds->videos_db.w, h.video.videos[0].w);
    EXPECT_EQ(ds->videos_db.h, h.video.videos[0].h);
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        const valkyrie_buffer& page = h.video.videos[i];
        EXPECT_EQ(ds->videos_fb[i].format, 2);
        EXPECT_EQ(ds->videos_fb[i].w, page.w);
        EXPECT_EQ(ds->videos_fb[i].h, page.h);
        EXPECT_EQ(ds->videos_fb[i].row_bytes, page.rowbytes);
        EXPECT_EQ(ds->videos_fb[i].b, page.b);
        EXPECT_EQ(ds->videos[i].fb, &ds->videos_fb[i]);
        EXPECT_EQ(ds->videos[i].db, &ds->videos_db);
        ASSERT_NE(ds->videos[i].cb, nullptr);
        ASSERT_NE(ds->videos[i].cb_dirty, nullptr);
        EXPECT_NE(ds->videos[i].cb, ds->overlay.cb);
        int page_junk = 0;
        for (int y = 0; y < page.h; y++)
            for (int x = 0; x < page.w; x++) {
                uint16_t v;
                memcpy(&v, page.b + (size_t)y * page.rowbytes + 2 * x, 2);
                page_junk += v != 0x8000;  // the opaque black background
            }
        EXPECT_EQ(page_junk, 0);
    }
    EXPECT_NE(ds->videos[0].cb, ds->videos[1].cb);
    EXPECT_EQ(ds->video, &ds->videos[h.video.video_backpage]);
    EXPECT_EQ(demosys_ready(ds), 0);
}

TEST(Demosys, EachUpdateFollowsTheDisplaysBackPage)
{
    std::string dir = capture_temp_dir();
    vexil_fixture_write_idle_production(dir);
    vexil_fixture_host h;
    vexil_fixture_start(&h, dir);
    EXPECT_EQ(demosys_ready(h.ds), 1);
    for (int flip = 0; flip < 4; flip++) {
        int is_vbl = flip & 1;
        emulate_valkyrie_video_pageflip(&h.video);
        vexil_fixture_update(&h, is_vbl);
        EXPECT_EQ(h.ds->video, &h.ds->videos[h.video.video_backpage]) << flip;
    }
    // Also while the production is not run.
    h.ds->run_demo = 0;
    emulate_valkyrie_video_pageflip(&h.video);
    vexil_fixture_update(&h, 1);
    EXPECT_EQ(h.ds->video, &h.ds->videos[h.video.video_backpage]);
}

}  // namespace

namespace {

// Started in a directory without a production, the program says where it looked
// and how to play the sample, then fails on the first pack as before.
TEST(Demosys, WithoutAProductionItSaysWhereItLooked)
{
    const std::string dir = capture_temp_dir();
    captured_run r = capture_run([&] {
        vexil_fixture_host h;
        vexil_fixture_start(&h, dir);
    });
    EXPECT_EQ(r.status, 1);
#if defined(_WIN32)
    // The working directory as Windows names it (drive and backslashes); a
    // user of the zip has neither the script nor a build directory.
    const std::string cwd = std::filesystem::absolute(dir).string();
    const std::string advice = "start quillfern.exe from the folder its zip was unpacked into";
#else
    const std::string cwd = dir;
    const std::string advice =
        "play the sample with scripts/play.sh, or start quillfern from its build directory (build/release)";
#endif
    const std::string line = "no production at \"assets/vexil/le\" below \"" + cwd + "\": " + advice + "\n";
    const size_t at = r.out.find(line);
    EXPECT_NE(at, std::string::npos) << r.out;
    // Before the read's own failure line.
    EXPECT_LT(at, r.out.find("fopen failed, path: assets/vexil/le/pak0.vxf")) << r.out;
    EXPECT_NE(r.err.find("failed read \"assets/vexil/le/pak0.vxf\""), std::string::npos) << r.err;
}

}  // namespace
