// The sequence walk and the production update, driven through the demo system
// with a scripted clock: recording scene functions log every prepare, running
// and cleanup call per update kind. Also the update's own duties: loading
// steps, seek keys and their edges, the 60 Hz tick, the run toggle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/cycles_measure.h"
#include "host/demo_music.h"
#include "support/capture.h"
#include "support/vexil_fixture.h"
#include "vexil/vexil.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_perf.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_scenes.h"

namespace {

struct call {
    int line;
    char kind;  // 'P' prepare, 'R' running, 'C' cleanup
    int is_vbl;
    uint32_t local_sample;
    bool operator==(const call& o) const
    {
        return line == o.line && kind == o.kind && is_vbl == o.is_vbl && local_sample == o.local_sample;
    }
};

std::ostream& operator<<(std::ostream& os, const call& c)
{
    return os << "{" << c.line << "," << c.kind << "," << c.is_vbl << "," << c.local_sample << "}";
}

std::vector<call> g_calls;
int g_prepare_calls_needed = 1;  // prepare calls a recorder takes before it completes
cycles_t g_last_budget = 0;

void recorder(vexil_scene* s, vexil_args* a)
{
    char kind = !s->completed_prepare ? 'P' : s->is_cleanup ? 'C' : 'R';
    g_calls.push_back({a->row->line, kind, a->is_vbl, kind == 'R' ? s->local_sample : 0});
    if (kind == 'P') {
        g_last_budget = s->cycles_allowed_to_spend_prepare;
        if (++s->work_prepared >= g_prepare_calls_needed || s->cycles_allowed_to_spend_prepare == 0)
            s->completed_prepare = 1;
    }
}

// The walk tests bind "video_clear" rows to the recorder for their duration.
struct walk_fixture {
    vexil_fixture_host h;
    std::vector<vexil_binding_func> table{bindings, bindings + bindings_count};
    vexil_binding_func* row;

    explicit walk_fixture(const std::string& sequence_body)
    {
        row = &table[vexil_find_binding_by_name(bindings, bindings_count, "video_clear", 11) - bindings];
        row->scene_func = recorder;
        row->parse_args_func = nullptr;
        row->needs = {};
        row->validate_func = nullptr;
        g_calls.clear();
        g_prepare_calls_needed = 1;
        cpu_cycles_per_second = 1000000000ull;
        std::string dir = capture_temp_dir();
        vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "header\n" + sequence_body)}});
        vexil_fixture_start(&h, dir);
        // Loading registered the program's table; no scene is loaded yet.
        d()->bindings = table.data();
    }

    vexil* d() { return &h.ds->vexil; }
    // One update of the given kind with the clock at pos; returns its calls.
    std::vector<call> at(int pos, int is_vbl)
    {
        vexil_audio_position.store(pos);
        g_calls.clear();
        vexil_fixture_update(&h, is_vbl);
        return g_calls;
    }
};

typedef std::vector<call> calls;

TEST(VexilWalk, PrepareRunAndOneCleanupPerKind)
{
    // Lines: 2 is the row. Window [22050, 44100), prepare from 11025.
    walk_fixture f("abs,prev,1000,500,abs,prev,2000,video_clear\n");
    struct {
        int pos;
        int is_vbl;
        calls expect;
    } steps[] = {
        {0, 0, {}},
        {11024, 1, {}},
        {11025, 1, {{2, 'P', 1, 0}}},  // prepared in a vertical blank, no early run
        {20000, 0, {}},
        {22050, 0, {{2, 'R', 0, 0}}},
        {22050, 1, {{2, 'R', 1, 0}}},
        {33075, 0, {{2, 'R', 0, 11025}}},
        {44099, 1, {{2, 'R', 1, 22049}}},
        {44100, 0, {}},  // the window has ended; cleanup only once the clock is past the end
        {44100, 1, {}},
        {44101, 0, {{2, 'C', 0, 0}}},
        {44101, 0, {}},
        {50000, 1, {{2, 'C', 1, 0}}},
        {60000, 1, {}},
        {60000, 0, {}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "pos " << s.pos << " vbl " << s.is_vbl);
        EXPECT_EQ(f.at(s.pos, s.is_vbl), s.expect);
    }
    vexil_scene* sc = &f.d()->scenes[0];
    EXPECT_EQ(sc->call_count_running, 2);
    EXPECT_EQ(sc->vbl_call_count_running, 2);
    EXPECT_EQ(sc->perf.frames_count, 2);
    EXPECT_EQ(sc->perf_prepare.vbl_frames_count, 1);
    EXPECT_EQ(sc->perf_cleanup.frames_count, 1);
    EXPECT_EQ(sc->perf_cleanup.vbl_frames_count, 1);
    EXPECT_STREQ(sc->name, "video_clear");

    // Seeking back into the window: running calls again, is_cleanup still set,
    // and no second cleanup afterwards.
    EXPECT_EQ(f.at(30000, 0), (calls{{2, 'C', 0, 0}}));  // is_cleanup stays set: the recorder sees 'C'
    EXPECT_EQ(sc->call_count_running, 3);
    EXPECT_EQ(f.at(50000, 0), calls{});
}

TEST(VexilWalk, TimesAndBudgetsOfTheCalls)
{
    walk_fixture f("abs,prev,1000,500,abs,prev,3000,video_clear\n");
    g_prepare_calls_needed = 3;
    EXPECT_EQ(f.at(11025, 0), (calls{{2, 'P', 0, 0}}));
    EXPECT_EQ(g_last_budget, 500000u);  // 0.5 ms of a 1 GHz counter
    EXPECT_EQ(f.at(11100, 1), (calls{{2, 'P', 1, 0}}));
    EXPECT_EQ(g_last_budget, 100000u);  // 0.1 ms in a vertical blank
    vexil_scene* sc = &f.d()->scenes[0];
    EXPECT_EQ(sc->duration_samples, 44100u);
    EXPECT_EQ(sc->duration_tick60hz, 120);
    EXPECT_FLOAT_EQ(sc->duration_t, 2.0f);
    EXPECT_EQ(sc->local_sample, 0u);
    // At the start the run is due: no budget, the preparation must finish now,
    // and the running call follows in the same update.
    EXPECT_EQ(f.at(22060, 0), (calls{{2, 'P', 0, 0}, {2, 'R', 0, 10}}));
    EXPECT_EQ(g_last_budget, 0u);
    f.at(22050 + 735, 0);
    EXPECT_EQ(sc->local_sample, 735u);
    EXPECT_EQ(sc->local_tick60hz, 2);
    EXPECT_FLOAT_EQ(sc->local_t, 735 / 22050.0f);
    EXPECT_FLOAT_EQ(sc->global_t, (22050 + 735) / 22050.0f);
}

TEST(VexilWalk, PassedWindowsGetOneCatchUpCallPerKind)
{
    // Window of 10 frames, shorter than a vertical blank.
    walk_fixture f("abs,prev,0,0,relstart,me,0,video_clear\nabs,prev,0,0,abs,prev,0,video_clear\n");
    // Row 2 has [0, 0): a zero-length window.
    f.d()->sequence.rows[0].end_22050hz = 10;
    EXPECT_EQ(f.at(5, 0), (calls{{2, 'P', 0, 0}, {2, 'R', 0, 5}, {3, 'P', 0, 0}, {3, 'R', 0, 5}}));
    EXPECT_EQ(f.at(735, 1), (calls{{2, 'R', 1, 735}, {3, 'R', 1, 735}}));
    EXPECT_EQ(f.at(735, 0), (calls{{2, 'C', 0, 0}, {3, 'C', 0, 0}}));
    EXPECT_EQ(f.at(1470, 1), (calls{{2, 'C', 1, 0}, {3, 'C', 1, 0}}));
    EXPECT_EQ(f.at(2205, 1), calls{});
    EXPECT_EQ(f.at(2205, 0), calls{});
}

TEST(VexilWalk, BarrierHoldsLaterRunsUntilThePreviousRowHasFinished)
{
    // Lines: 2 r [0, 2 s), barrier, 4 s [0.5 s, 1 s) inside r, 5 t [0.5 s, 3 s).
    walk_fixture f("abs,prev,0,0,abs,prev,2000,video_clear\n"
                   "barrier,prev_completed\n"
                   "abs,prev,500,0,abs,prev,1000,video_clear\n"
                   "abs,prev,500,0,abs,prev,3000,video_clear\n");
    EXPECT_EQ(f.at(11025, 0), (calls{{2, 'P', 0, 0}, {2, 'R', 0, 11025}, {4, 'P', 0, 0}, {5, 'P', 0, 0}}));
    EXPECT_EQ(f.at(30000, 0), (calls{{2, 'R', 0, 30000}}));
    // The vertical blank kind: r runs first in this walk, yet its window still
    // holds the clock plus one frame.
    EXPECT_EQ(f.at(30000, 1), (calls{{2, 'R', 1, 30000}}));
    // The clock plus one frame reaches r's end: the barrier lifts; s gets its
    // catch-up call after its window, t its ordinary one.
    EXPECT_EQ(f.at(44099, 0), (calls{{2, 'R', 0, 44099}, {4, 'R', 0, 33074}, {5, 'R', 0, 33074}}));
    EXPECT_EQ(f.at(44099, 1), (calls{{2, 'R', 1, 44099}, {4, 'R', 1, 33074}, {5, 'R', 1, 33074}}));
    EXPECT_EQ(f.at(50000, 0), (calls{{2, 'C', 0, 0}, {4, 'C', 0, 0}, {5, 'R', 0, 38975}}));
}

TEST(VexilWalk, ArgsCarryTheRuntimesBuffersAndTheRow)
{
    walk_fixture f("abs,prev,0,0,abs,prev,1000,video_clear\nabs,prev,0,0,abs,prev,1000,video_clear\n");
    static vexil_args seen;
    static int seen_count;
    seen_count = 0;
    f.row->scene_func = [](vexil_scene* s, vexil_args* a) {
        s->completed_prepare = 1;
        seen = *a;
        seen_count++;
    };
    f.at(100, 0);
    EXPECT_EQ(seen_count, 4);
    EXPECT_EQ(seen.d, f.d());
    EXPECT_EQ(seen.row, &f.d()->sequence.rows[1]);
    EXPECT_EQ(seen.is_vbl, 0);
    EXPECT_EQ(seen.arena, &f.h.ds->arena);
    EXPECT_EQ(seen.video, &f.h.video);
    EXPECT_EQ(seen.fc_overlay, &f.h.ds->overlay);
    EXPECT_EQ(seen.fc_videos, f.h.ds->videos);
    EXPECT_EQ(seen.fc, &f.h.ds->videos[f.h.video.video_backpage]);
    EXPECT_EQ(seen.fc_overlay_backbuffers_count, 3);
    EXPECT_EQ(seen.fc_overlay_backbuffers, f.d()->fc_overlay_backbuffers);
    EXPECT_EQ(seen.overlay_stencils_count, 3);
    EXPECT_EQ(seen.overlay_stencils, f.d()->overlay_stencils);
    EXPECT_EQ(seen.keys_ascii, f.h.keys);
    EXPECT_EQ(seen.nk2, &f.h.nk2);
    f.at(200, 1);
    EXPECT_EQ(seen.is_vbl, 1);
    EXPECT_EQ(seen.fc_videos, nullptr);
}

// ---- the update ----

TEST(VexilUpdate, LoadingTakesThreeUpdatesAndRestartsTheClockEachTime)
{
    std::string dir = capture_temp_dir();
    vexil_fixture_write_production(
        dir, {{vexil_fixture_text("sequence.csv", "h\nabs,prev,2000,0,abs,prev,3000,music_sync,22050\n")}});
    vexil_fixture_host h;
    vexil_fixture_start(&h, dir, 0);
    vexil* d = &h.ds->vexil;
    for (int step = 0; step < 3; step++) {
        vexil_audio_position.store(5000);
        vexil_fixture_update(&h, step == 1);
        EXPECT_EQ(d->init_step, step + 1);
        EXPECT_EQ(vexil_audio_position.load(), 0);
        EXPECT_EQ(vexil_audio_position_start_music.load(), 22050);
        EXPECT_EQ(demo_music_ok_to_start.load(), 1);
        EXPECT_EQ(d->initialized, step == 2 ? 1 : 0);
    }
    EXPECT_STREQ(d->arena->name, "vexil_arena");
    EXPECT_EQ(d->arena->size, 31457280u);
    EXPECT_EQ(d->tmp_arena->size, 6291456u);
    EXPECT_EQ(d->scenes_count, 1);
    EXPECT_EQ(d->scenes[0].is_first_run, 1);
    EXPECT_EQ(d->scenes[0].vbl_is_first_run, 1);
    EXPECT_EQ(d->uv_map_tunnel.w, 640);
    EXPECT_EQ(d->uv_map_tunnel.h, 480);
    EXPECT_EQ(d->stars_capacity, 16384);
    EXPECT_EQ(d->sin256_fp7[64], 127);
    EXPECT_EQ(d->cos256_fp7[0], 127);
    EXPECT_EQ(d->sin256_fp7[128], 0);
    EXPECT_EQ(d->sin256_fp7[192], -127);
    EXPECT_EQ(d->sin2048_fp11[512], 2047);
    EXPECT_EQ(d->cos2048_fp11[1024], -2047);
    EXPECT_FLOAT_EQ(d->cos2048_float[0], 1.0f);
    EXPECT_EQ(d->sin256_fp7[32], (int8_t)(int)(sin(6.283185307179586 * (double)(32.0f / 256.0f)) * 127));
    for (int i = 0; i < 10; i++)
        EXPECT_NE(d->shade_table_cache[i].shade_table, nullptr);
    EXPECT_EQ(d->fc_overlay_backbuffers[2].fb->w, 640);
    EXPECT_EQ(d->fc_overlay_backbuffers[2].fb->format, 3);
    EXPECT_EQ(d->overlay_stencils[1].h, 480);
}

TEST(VexilUpdate, SeekKeysOnTheirPressNeverBelowZero)
{
    walk_fixture f("");
    struct {
        char key;  // held in this update (0: none)
        int pos_before;
        int pos_after;
    } steps[] = {
        {'e', 1000, 3205},  {'e', 3205, 3205}, {0, 3205, 3205},     {'e', 3205, 5410},  {0, 5410, 5410},
        {'d', 5410, 27460}, {0, 27460, 27460}, {'q', 27460, 25255}, {0, 0, 0},          {'q', 1000, 0},
        {0, 0, 0},          {'a', 20000, 0},   {0, 0, 0},           {'a', 30000, 7950},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "key " << (s.key ? s.key : '-') << " at " << s.pos_before);
        memset(f.h.keys, 0, sizeof f.h.keys);
        if (s.key)
            f.h.keys[(uint8_t)s.key] = 1;
        vexil_audio_position.store(s.pos_before);
        vexil_fixture_update(&f.h, 0);
        EXPECT_EQ(vexil_audio_position.load(), s.pos_after);
    }
}

TEST(VexilUpdate, AKeyHeldThroughLoadingCountsAsPressedOnce)
{
    std::string dir = capture_temp_dir();
    vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "h\n")}});
    vexil_fixture_host h;
    vexil_fixture_start(&h, dir, 0);
    h.keys['e'] = 1;
    for (int i = 0; i < 3; i++)
        vexil_fixture_update(&h, 0);  // loading: each step restarts the clock at 0
    EXPECT_EQ(vexil_audio_position.load(), 0);
    vexil_fixture_update(&h, 1);
    EXPECT_EQ(vexil_audio_position.load(), 2205);
    vexil_fixture_update(&h, 0);
    EXPECT_EQ(vexil_audio_position.load(), 2205);
}

TEST(VexilUpdate, TickAndSecondsFollowTheClockInSixtiethsOfASecond)
{
    walk_fixture f("");
    const int cases[][2] = {{0, 0}, {367, 0}, {368, 1}, {734, 1}, {735, 2}, {22050, 60}, {22049, 59}, {1323000, 3600}};
    for (const auto& c : cases) {
        vexil_audio_position.store(c[0]);
        vexil_fixture_update(&f.h, c[0] & 1);
        EXPECT_EQ(f.d()->tick60hz, c[1]) << c[0];
        EXPECT_EQ(f.d()->t, (float)c[1] / 60.0f) << c[0];
    }
}

TEST(VexilUpdate, HoldingXTogglesRunningOnEveryPass)
{
    walk_fixture f("abs,prev,0,0,abs,prev,100000,video_clear\n");
    f.h.keys['x'] = 1;
    int expect_run = 1;
    for (int pass = 0; pass < 5; pass++) {
        std::vector<call> c = f.at(100, 0);
        expect_run = !expect_run;
        EXPECT_EQ(f.h.ds->run_demo, expect_run) << pass;
        EXPECT_EQ(c.empty(), !expect_run) << pass;
        // The vertical blank does not look at x.
        f.at(100, 1);
        EXPECT_EQ(f.h.ds->run_demo, expect_run) << pass;
    }
    f.h.keys['x'] = 0;
    f.at(100, 0);
    EXPECT_EQ(f.h.ds->run_demo, expect_run);
    EXPECT_EQ(demosys_ready(f.h.ds), expect_run);
}

TEST(VexilUpdate, VerticalBlankSwapsAndClearsTheOverlayCoverage)
{
    walk_fixture f("");
    n3d_frame_context* o = &f.h.ds->overlay;
    n3d_coveragebuffer* cb = o->cb;
    n3d_coveragebuffer* dirty = o->cb_dirty;
    cb->u32[0] = 0xF0000000u;
    dirty->u32[5] = 0x1u;
    vexil_fixture_update(&f.h, 0);
    EXPECT_EQ(o->cb, cb);  // the loop pass leaves the pair alone
    vexil_fixture_update(&f.h, 1);
    EXPECT_EQ(o->cb, dirty);
    EXPECT_EQ(o->cb_dirty, cb);
    EXPECT_EQ(o->cb->u32[5], 0u);
    EXPECT_EQ(o->cb_dirty->u32[0], 0xF0000000u);
}

TEST(VexilUpdate, DebugKeysShowBuffersInTheOverlay)
{
    captured_run r = capture_run([] {
        walk_fixture f("");
        vexil* d = f.d();
        uint8_t* overlay = static_cast<uint8_t*>(f.h.ds->overlay_fb.b);
        for (int i = 0; i < 3; i++)
            memset(d->fc_overlay_backbuffers[i].fb->b, 10 + i, 640 * 480);
        f.h.keys['8'] = 1;
        vexil_fixture_update(&f.h, 0);
        printf("shown %d\n", overlay[1000]);
        // i pressed three times: back to buffer 0.
        for (int k = 0; k < 3; k++) {
            f.h.keys['i'] = 1;
            vexil_fixture_update(&f.h, 1);
            printf("shown %d\n", overlay[1000]);
            f.h.keys['i'] = 0;
            vexil_fixture_update(&f.h, 0);
        }
        f.h.keys['8'] = 0;
        d->overlay_stencils[2].u32[0] = 0x80000000u;
        f.h.keys['o'] = 1;
        f.h.keys['9'] = 1;
        vexil_fixture_update(&f.h, 0);
        f.h.keys['o'] = 0;
        vexil_fixture_update(&f.h, 0);
        f.h.keys['o'] = 1;
        vexil_fixture_update(&f.h, 0);
        printf("stencil pixel %d next %d\n", overlay[0] != 0, overlay[1] != 0);
        f.h.keys['9'] = 0;
        f.h.keys['o'] = 0;
        // 6: the overlay's current coverage; 7: the back page's.
        f.h.ds->overlay.cb->u32[0] = 0x40000000u;
        f.h.ds->video->cb->u32[0] = 0x20000000u;
        f.h.keys['6'] = 1;
        vexil_fixture_update(&f.h, 0);
        printf("overlay cb %d %d %d\n", overlay[0] != 0, overlay[1] != 0, overlay[2] != 0);
        f.h.keys['6'] = 0;
        f.h.keys['7'] = 1;
        vexil_fixture_update(&f.h, 0);
        printf("video cb %d %d %d\n", overlay[0] != 0, overlay[1] != 0, overlay[2] != 0);
        f.h.keys['6'] = 1;
        vexil_fixture_update(&f.h, 0);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.find("display")), "display overlay backbuffer[0]\nshown 10\n"
                                                   "display overlay backbuffer[1]\nshown 11\n"
                                                   "display overlay backbuffer[1]\n"
                                                   "display overlay backbuffer[2]\nshown 12\n"
                                                   "display overlay backbuffer[2]\n"
                                                   "display overlay backbuffer[0]\nshown 10\n"
                                                   "display overlay backbuffer[0]\n"
                                                   "display overlay stencil[1]\n"
                                                   "display overlay stencil[1]\n"
                                                   "display overlay stencil[2]\n"
                                                   "stencil pixel 1 next 0\n"
                                                   "display overlay coverage buffer\n"
                                                   "overlay cb 0 1 0\n"
                                                   "display video coverage buffer\n"
                                                   "video cb 0 0 1\n"
                                                   "display overlay coverage buffer\n"
                                                   "display video coverage buffer\n");
}

}  // namespace

namespace {

TEST(VexilStats, PerformanceLinesAndTheTimingReport)
{
    captured_run r = capture_run([] {
        cycles_rdtsc_per_sec = 1e9;
        cycles_calibrated = 1;
        vexil_performance perf = {};
        perf.frames_count = 4;
        perf.frames_ticks = 2000002;
        vexil_performance_print("total", 0, &perf);
        vexil_performance_print("total", 1, &perf);  // no calls of that kind
        walk_fixture f("abs,prev,0,0,abs,prev,1000,video_clear\n");
        f.at(10, 0);
        f.at(20, 1);
        vexil_end_stats(f.d());
        std::vector<uint8_t> block(64);
        memarena a;
        memarena_init(&a, "m", block.size(), block.data());
        char* s = memprintf(&a, "pak%d.vxf", 2);
        printf("[%s] %d\n", s, (int)a.sp);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("node[")), "total: 0.50 ms 500000.00 cycles/frame (frames 4 cycles: 2000002)\n"
                                                    "total: 0.00 ms 0.00 cycles/frame (frames 0 cycles: 0)\n");
    std::string tail = r.out.substr(r.out.find("=== init system ==="));
    // Three loading steps, the row with its scene's load time, and both kinds.
    const char* expect_in_order[] = {"=== init system ===\n",
                                     "[step:0] (cycles: ",
                                     "[step:1] (cycles: ",
                                     "[step:2] (cycles: ",
                                     "=== load scenes ===\n",
                                     " ms [row: line 2 func video_clear args: (null)] (cycles: ",
                                     "=== runtime ===\n",
                                     "=== regular ===\n",
                                     "total: ",
                                     "video_clear: ",
                                     "(frames 1 cycles: ",
                                     "=== vbl ===\n",
                                     "total: ",
                                     "video_clear: ",
                                     "(frames 1 cycles: ",
                                     "[pak2.vxf] 9\n"};
    size_t at = 0;
    for (const char* e : expect_in_order) {
        size_t found = tail.find(e, at);
        EXPECT_NE(found, std::string::npos) << e << "\n" << tail;
        if (found != std::string::npos)
            at = found + strlen(e);
    }
}

}  // namespace
