// Scene bindings and scene loading, and the control scene kinds (loading,
// music start and sync, the closing fade) driven through the demo system with
// a scripted clock over small productions written with the pack writer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/demo_music.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/vexil_fixture.h"
#include "vexil/vexil.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_scenes.h"

namespace {

TEST(VexilBindings, TheTableHoldsTheKindsInOrder)
{
    const char* names[] = {"load_sync",
                           "load_async",
                           "music_start",
                           "music_sync",
                           "overlay_load_progress",
                           "overlay_stencil_animation",
                           "overlay_rle_image",
                           "overlay_clear",
                           "overlay_backbuffer_clear",
                           "overlay_stencil_set",
                           "overlay_clut_fade_to_color",
                           "overlay_clut_set",
                           "overlay_heal",
                           "overlay_scale",
                           "overlay_stroke",
                           "overlay_palette_animation",
                           "overlay_starfield",
                           "overlay_clut_set1_pulsate",
                           "fade_out_music",
                           "video_clut_reset",
                           "video_clut_fade_to_color",
                           "video_clear",
                           "video_tunnel",
                           "video_bumpmap",
                           "video_background",
                           "video_madpack",
                           "video_madpack_greets"};
    ASSERT_EQ(bindings_count, 27);
    for (int i = 0; i < 27; i++) {
        EXPECT_STREQ(bindings[i].name, names[i]) << i;
        // Every full name binds its own row: none begins an earlier row's name.
        const vexil_binding_func* b =
            vexil_find_binding_by_name(bindings, bindings_count, names[i], (int)strlen(names[i]));
        EXPECT_EQ(b ? (int)(b - bindings) : -1, i) << names[i];
    }
    // The control kinds of this runtime.
    EXPECT_EQ(bindings[0].scene_func, scene_load_sync);
    EXPECT_EQ(bindings[1].scene_func, scene_load_async);
    EXPECT_EQ(bindings[2].scene_func, scene_music_start);
    EXPECT_EQ(bindings[3].scene_func, scene_music_sync);
    EXPECT_EQ(bindings[18].scene_func, scene_fade_out_music);
    EXPECT_EQ(bindings[18].parse_args_func, scene_fade_out_music_parse_args);
}

TEST(VexilBindings, LookupTakesTheFirstRowTheNameBegins)
{
    struct {
        const char* name;
        int n;    // characters compared; -1: the whole name
        int row;  // -1: no binding
    } cases[] = {
        {"load_sync", -1, 0},
        {"load_async", -1, 1},
        {"load", -1, 0},
        {"", -1, 0},
        {"music", -1, 2},
        {"music_sync", -1, 3},
        {"overlay", -1, 4},
        {"overlay_stencil", -1, 5},
        {"overlay_stencil_set", -1, 9},
        {"overlay_clut", -1, 10},
        {"overlay_clut_set", -1, 11},
        {"overlay_clut_set1", -1, 17},
        {"overlay_clut_set1_pulsate", -1, 17},
        {"overlay_heal", -1, 12},
        {"overlay_backbuffer_clear", -1, 8},
        {"fade", -1, 18},
        {"video", -1, 19},
        {"video_clear", -1, 21},
        {"video_madpack", -1, 25},
        {"video_madpack_greets", -1, 26},
        {"video_madpack_greetz", -1, -1},
        {"load_syncs", -1, -1},
        {"Load_sync", -1, -1},
        {"overlay_clear", 7, 4},  // only "overlay" compared
        {"video_madpack_greetz", 13, 25},
        {"zzz", -1, -1},
    };
    for (const auto& c : cases) {
        int n = c.n < 0 ? (int)strlen(c.name) : c.n;
        const vexil_binding_func* b = vexil_find_binding_by_name(bindings, bindings_count, c.name, n);
        EXPECT_EQ(b ? (int)(b - bindings) : -1, c.row) << c.name << " " << n;
    }
    // A table of one: the lookup reads only the rows it is given.
    EXPECT_EQ(vexil_find_binding_by_name(bindings + 26, 1, "video_madpack", 13), bindings + 26);
    EXPECT_EQ(vexil_find_binding_by_name(bindings, 0, "load", 4), nullptr);
}

// ---- productions driven with a scripted clock ----

std::vector<int> g_loaded_rows;  // lines of rows whose recorder was called

void recorder(vexil_scene* s, vexil_args* a)
{
    g_loaded_rows.push_back(a->row->line);
    s->completed_prepare = 1;
}

int g_parser_calls;
void recorder_parser(vexil_scene* s, vexil_scene_parse_context* ctx)
{
    (void)ctx;
    g_parser_calls++;
    s->name = const_cast<char*>("parsed");
}

struct production {
    vexil_fixture_host h;
    std::vector<vexil_binding_func> table{bindings, bindings + bindings_count};
    vexil_binding_func* row;

    explicit production(const std::string& body, std::vector<vexil_fixture_payload> more = {})
    {
        row = &table[21];  // "video_clear": a recorder in this production's table
        row->scene_func = recorder;
        row->parse_args_func = recorder_parser;
        row->needs = {};
        row->validate_func = nullptr;
        g_loaded_rows.clear();
        g_parser_calls = 0;
        more.push_back(vexil_fixture_text("sequence.csv", "header\n" + body));
        std::string dir = capture_temp_dir();
        vexil_fixture_write_production(dir, {more});
        vexil_fixture_start(&h, dir);
        // Loading registered the program's table; no scene is loaded yet.
        d()->bindings = table.data();
    }
    vexil* d() { return &h.ds->vexil; }
    vexil_scene* scene(int i) { return &d()->scenes[i]; }
    void at(int pos, int is_vbl)
    {
        vexil_audio_position.store(pos);
        vexil_fixture_update(&h, is_vbl);
    }
};

TEST(VexilLoadScene, IniArgumentsConfigureTheSceneInsteadOfTheParser)
{
    production p("abs,prev,0,0,abs,prev,1000,video_clear,@cfg\n"
                 "abs,prev,0,0,abs,prev,1000,video_clear,1,2\n"
                 "abs,prev,0,0,abs,prev,1000,video_clear\n",
                 {vexil_fixture_text("cfg", "scene_name = title\nintegers = [3 4 ]\n")});
    vexil* d = p.d();
    uint64_t tmp_before = d->tmp_arena->sp;
    for (int i = 0; i < 3; i++)
        vexil_load_scene(d, p.scene(i), &d->sequence.rows[i]);
    EXPECT_EQ(d->tmp_arena->sp, tmp_before);
    EXPECT_EQ(g_parser_calls, 1);  // only the row with comma-separated arguments
    EXPECT_STREQ(p.scene(0)->name, "title");
    ASSERT_EQ(p.scene(0)->ints_count, 2);
    EXPECT_EQ(p.scene(0)->ints[1], 4);
    EXPECT_EQ(d->sequence.rows[0].args, nullptr);
    EXPECT_STREQ(p.scene(1)->name, "parsed");
    EXPECT_STREQ(d->sequence.rows[1].args, "1,2");
    EXPECT_STREQ(p.scene(2)->name, "video_clear");  // the row's function name
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(p.scene(i)->loaded, 1);
        EXPECT_EQ(p.scene(i)->scene_func, recorder);
        EXPECT_EQ(p.scene(i)->is_first_run, 1);
        EXPECT_EQ(p.scene(i)->vbl_is_first_run, 1);
    }
    // Loading again changes nothing.
    p.scene(1)->name = const_cast<char*>("kept");
    vexil_load_scene(d, p.scene(1), &d->sequence.rows[1]);
    EXPECT_EQ(g_parser_calls, 1);
    EXPECT_STREQ(p.scene(1)->name, "kept");
}

TEST(VexilLoadScene, FailuresStopWithTheirMessages)
{
    struct {
        const char* why;
        std::string row;
        std::string message;
        const char* file = "src/vexil";  // the crash line's source file
    } cases[] = {
        {"no binding", "abs,prev,0,0,abs,prev,1000,nothing_like_this\n",
         "failed find binding for \"nothing_like_this\" on line: 2\n"},
        // An empty name would begin every name and bind the first kind.
        {"an empty function name", "abs,prev,0,0,abs,prev,1000,,later\n", "no function name on line: 2\n"},
        {"no function name at all", "abs,prev,0,0,abs,prev,1000,\n", "no function name on line: 2\n"},
        {"a carriage return in the function name", "abs,prev,0,0,abs,prev,1000,music_start\r\n",
         "failed find binding for \"music_start\r\" on line: 2\n"},
        {"arguments for a kind without a parser", "abs,prev,0,0,abs,prev,1000,video_clut_reset,3\n",
         "sequence args not supported for function \"video_clut_reset\" (line: 2 in sequence file)\n"},
        {"a missing ini resource", "abs,prev,0,0,abs,prev,1000,video_clear,@nope\n",
         "could not find \"nope\" with kind 9 in pak file!\n"},
        {"load_sync with an unknown label", "abs,prev,0,0,abs,prev,1000,load_sync,end\n",
         "could not find label \"end\" in sequence!\n", "src/vexil_scenes"},
        {"load_async with an unknown label",
         "abs,prev,0,0,abs,prev,1000,load_async,x\nx2:\nabs,prev,0,0,abs,prev,1,a\n",
         "could not find label \"x\" in sequence!\n", "src/vexil_scenes"},
        {"music_start with a missing music", "abs,prev,0,0,abs,prev,1000,music_start,song\n",
         "could not find \"song\" with kind 8 in pak file!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        captured_run r = capture_run([&] {
            production p(c.row);
            p.at(0, 0);
        });
        EXPECT_EQ(r.status, 1);
        // None of these sequences ends the production: said once, when it is read.
        const std::string warning =
            "sequence \"sequence.csv\" has no row that ends the production (fade_out_music): it plays until Escape\n";
        ASSERT_EQ(r.err.rfind(warning, 0), 0u) << r.err;
        const std::string err = r.err.substr(warning.size());
        EXPECT_EQ(crash_site(err).rfind(crash_site(std::string("crash in  at ") + c.file + ":"), 0), 0u) << err;
        EXPECT_EQ(err.substr(err.find('\n') + 1), c.message);
    }
}

TEST(VexilControlScenes, LoadSyncLoadsTheRowsBeforeItsLabelInItsFirstCall)
{
    production p("abs,prev,0,0,abs,prev,1000,load_sync,later\n"
                 "abs,prev,5000,0,abs,prev,6000,video_clear,1\n"
                 "abs,prev,7000,0,abs,prev,8000,video_clear,2\n"
                 "later:\n"
                 "abs,prev,9000,0,abs,prev,9500,video_clear,3\n");
    p.at(0, 1);
    EXPECT_EQ(p.scene(0)->ints[0], 3);
    EXPECT_EQ(p.scene(0)->completed_prepare, 1);
    EXPECT_EQ(p.scene(1)->loaded, 1);
    EXPECT_EQ(p.scene(2)->loaded, 1);
    EXPECT_EQ(p.scene(3)->loaded, 0);
    EXPECT_EQ(g_parser_calls, 2);
    EXPECT_TRUE(g_loaded_rows.empty());  // loading calls no scene function
    EXPECT_EQ(p.scene(0)->perf_prepare.vbl_frames_count, 1);
}

TEST(VexilControlScenes, LoadingRowsFromAnIniStayWithinTheSequence)
{
    production p("abs,prev,0,0,abs,prev,1000,load_sync,@cfg\n"
                 "abs,prev,0,0,abs,prev,1000,load_async,@cfg\n"
                 "abs,prev,5000,0,abs,prev,6000,video_clear\n",
                 {vexil_fixture_text("cfg", "integers = [1000000 ]\n")});
    for (int i = 0; i < 5; i++)
        p.at(100, i & 1);
    EXPECT_EQ(p.scene(0)->completed_prepare, 1);
    EXPECT_EQ(p.scene(1)->completed_prepare, 1);
    EXPECT_EQ(p.scene(1)->state.load_async_row, 3);
    EXPECT_EQ(p.scene(2)->loaded, 1);
}

TEST(VexilControlScenes, LoadAsyncLoadsOneSceneForEachOfItsPrepareCalls)
{
    production p("abs,prev,1000,1000,abs,prev,2000,load_async,later\n"
                 "abs,prev,5000,0,abs,prev,6000,video_clear,1\n"
                 "abs,prev,7000,0,abs,prev,8000,video_clear,2\n"
                 "later:\n"
                 "abs,prev,9000,0,abs,prev,9500,video_clear,3\n");
    // Rows before the label: 0 (itself, loaded already), 1 and 2.
    struct {
        int pos, is_vbl, async_row, completed;
        std::vector<int> loaded;
    } steps[] = {
        {0, 0, 1, 0, {1, 0, 0, 0}},   {100, 1, 2, 0, {1, 1, 0, 0}}, {200, 0, 3, 0, {1, 1, 1, 0}},
        {300, 1, 3, 1, {1, 1, 1, 0}}, {400, 0, 3, 1, {1, 1, 1, 0}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.pos);
        p.at(s.pos, s.is_vbl);
        EXPECT_EQ(p.scene(0)->state.load_async_row, s.async_row);
        EXPECT_EQ(p.scene(0)->completed_prepare, s.completed);
        std::vector<int> loaded;
        for (int i = 0; i < 4; i++)
            loaded.push_back(p.scene(i)->loaded);
        EXPECT_EQ(loaded, s.loaded);
    }
    EXPECT_EQ(p.scene(0)->perf_prepare.frames_count + p.scene(0)->perf_prepare.vbl_frames_count, 4);
}

TEST(VexilControlScenes, LoadAsyncWithItsLabelAtRowZeroCompletesAtOnce)
{
    production p("start:\nabs,prev,0,0,abs,prev,2000,load_async,start\nabs,prev,0,0,abs,prev,1000,video_clear\n");
    p.at(0, 0);
    EXPECT_EQ(p.scene(0)->completed_prepare, 1);
    EXPECT_EQ(p.scene(0)->state.load_async_row, 0);
    EXPECT_EQ(p.scene(0)->is_running, 1);
}

TEST(VexilControlScenes, MusicStartHandsTheMusicOverOnItsFirstRun)
{
    // The first running call may come in either kind; the music is handed over
    // in it and never again, so the decoders are not reset while it plays.
    for (int first_vbl : {0, 1}) {
        SCOPED_TRACE(first_vbl);
        std::string song(300, '\x77');
        production p("abs,prev,0,0,abs,prev,5000,music_start,song\n", {{"song", VEXIL_RSRC_KIND_MUSIC, song, 0}});
        EXPECT_EQ(demo_music_loaded.load(), 0);
        p.at(0, first_vbl);
        vexil_music* m = p.scene(0)->music_tracks[0];
        ASSERT_EQ(p.scene(0)->music_tracks_count, 1);
        EXPECT_EQ(m, vexil_load_music(p.d(), "song"));
        EXPECT_EQ(m->size, 300u);
        EXPECT_EQ(demo_music_loaded.load(), 1);
        EXPECT_EQ(demo_music_acm_ima_buffer.load(), m->buffer);
        EXPECT_EQ(demo_music_frames_count.load(), 300);
        EXPECT_EQ(demo_music_fade_out.load(), 0);
        // Later running calls of either kind leave the player alone.
        demo_music_frame_position.store(123);
        p.at(100, !first_vbl);
        p.at(200, first_vbl);
        p.at(300, !first_vbl);
        EXPECT_EQ(demo_music_frame_position.load(), 123);
        EXPECT_EQ(p.scene(0)->call_count_running + p.scene(0)->vbl_call_count_running, 4);
        // Nor does its cleanup.
        p.at(110251, 0);
        p.at(110251, 1);
        EXPECT_EQ(p.scene(0)->cleanup_done, 1);
        EXPECT_EQ(p.scene(0)->vbl_cleanup_done, 1);
        EXPECT_EQ(demo_music_frame_position.load(), 123);
    }
}

// A music_sync row that moves the time line later also moves the music_start
// row after 0, while the clock stands at 0 until the music is handed over: that
// row is prepared and run (at local time 0) while the clock is at 0. Other rows
// keep waiting for their start.
TEST(VexilControlScenes, MusicStartAfterTheClockRunsWhileTheClockStandsAtZero)
{
    for (int first_vbl : {0, 1}) {
        SCOPED_TRACE(first_vbl);
        std::string song(300, '\x77');
        // delta = 88200 - 22050: every row 3 s later, the music from clock 0.
        production p("abs,prev,0,0,abs,prev,5000,music_start,song\n"
                     "abs,prev,1000,0,relstart,me,0,music_sync,88200\n"
                     "abs,prev,0,0,abs,prev,1000,video_clear\n",
                     {{"song", VEXIL_RSRC_KIND_MUSIC, song, 0}});
        ASSERT_EQ(p.d()->sequence.rows[0].start_22050hz, 66150);
        ASSERT_EQ(p.d()->sequence.music_start_22050hz, 0);
        p.at(0, first_vbl);
        EXPECT_EQ(demo_music_loaded.load(), 1);
        EXPECT_EQ(p.scene(0)->local_sample, 0u);
        EXPECT_EQ(p.scene(0)->call_count_running + p.scene(0)->vbl_call_count_running, 1);
        EXPECT_TRUE(g_loaded_rows.empty());  // the later video_clear row gets no early call
        EXPECT_EQ(p.scene(2)->completed_prepare, 0);
        // At the row's start its running calls go on; the music is not handed over again.
        demo_music_frame_position.store(123);
        p.at(0, !first_vbl);
        p.at(66150, 0);
        p.at(66150, 1);
        EXPECT_EQ(p.scene(0)->local_sample, 0u);
        EXPECT_EQ(demo_music_frame_position.load(), 123);
        // video_clear: its prepare call and one running call per kind, all at its start.
        EXPECT_EQ(g_loaded_rows, std::vector<int>({4, 4, 4}));
    }
}

TEST(VexilControlScenes, MusicSyncOnlyCompletesItsPreparation)
{
    production p("abs,prev,0,0,abs,prev,1000,music_sync,0\n");
    p.at(0, 0);
    EXPECT_EQ(p.scene(0)->completed_prepare, 1);
    EXPECT_EQ(p.scene(0)->call_count_running, 1);
    EXPECT_EQ(p.d()->sequence.music_start_22050hz, 0);
    EXPECT_EQ(demo_music_loaded.load(), 0);
}

TEST(VexilControlScenes, FadeOutMusicFadesTheLastThreeSecondsAndItsCleanupEndsTheProduction)
{
    // Window [22050, 99225): 3.5 s.
    production p("abs,prev,1000,0,abs,prev,4500,fade_out_music\n");
    demo_music_frame_position.store(22050);
    p.at(22050, 0);
    EXPECT_EQ(demo_music_fade_out.load(), 77175 + 22050 - 66150);
    // Only the first running call sets it.
    demo_music_frame_position.store(50000);
    p.at(50000, 0);
    p.at(50000, 1);
    EXPECT_EQ(demo_music_fade_out.load(), 33075);
    EXPECT_EQ(p.h.ds->quit, 0);
    p.at(99225, 0);
    EXPECT_EQ(p.h.ds->quit, 0);
    p.at(99226, 1);
    EXPECT_EQ(p.d()->quit, 1);
    EXPECT_EQ(p.h.ds->quit, 1);
}

}  // namespace
