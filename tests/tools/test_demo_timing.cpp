// Beat timing: the incremental beat search against std::upper_bound over
// arbitrary walks, the beat view at and between beats, the empty and
// duplicate-beat tables, the timing curves at their ends, and the text beat
// file's line cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "tools/demo_timing.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

void write_text(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

TEST(DemoTimingSearch, EqualsUpperBoundMinusOneOverArbitraryWalks)
{
    std::mt19937 rng(20261210);
    for (int table = 0; table < 20; table++) {
        test_arena a;
        std::vector<int32_t> beats;
        int32_t p = (int32_t)(rng() % 5000);
        const int n = 1 + (int)(rng() % 300);
        for (int i = 0; i < n; i++) {
            beats.push_back(p);
            p += 1 + (int32_t)(rng() % 20000);
        }
        demo_timing timing;
        demo_timing_init(&timing, &a.arena, 22050, beats.data(), n);
        demo_time_frame dtf{};
        int pos = 0;
        for (int step = 0; step < 2000; step++) {
            // Small steps both ways, long jumps both ways, and exact beats.
            switch (rng() % 4) {
            case 0:
                pos += (int)(rng() % 800);
                break;
            case 1:
                pos -= (int)(rng() % 800);
                break;
            case 2:
                pos = (int)(rng() % (uint32_t)(p + 40000)) - 20000;
                break;
            default:
                pos = beats[rng() % (uint32_t)n];
                break;
            }
            const int prev = timing.last_pos;
            demo_timing_update(&dtf, &timing, pos);
            const int ub = (int)(std::upper_bound(beats.begin(), beats.end(), pos) - beats.begin()) - 1;
            const int want_valid = ub >= 0 && ub + 1 < n;
            ASSERT_EQ(dtf.valid, want_valid) << "pos " << pos << " table " << table;
            ASSERT_EQ(dtf.pos, pos);
            ASSERT_FLOAT_EQ(dtf.t, (float)pos / 22050.0f);
            ASSERT_FLOAT_EQ(dtf.dt, (float)(pos - prev) / 22050.0f);
            if (want_valid) {
                ASSERT_EQ(dtf.beat_id, ub);
                ASSERT_EQ(timing.line_index, ub);
                ASSERT_EQ(dtf.pos0, beats[ub]);
                ASSERT_EQ(dtf.pos1, beats[ub + 1]);
                ASSERT_GE(dtf.lerp_beats, 0.0f);
                ASSERT_LT(dtf.lerp_beats, 1.0f);
                ASSERT_NEAR(dtf.time_since_beat + dtf.time_until_beat, (float)(beats[ub + 1] - beats[ub]) / 22050.0f,
                            1e-4);
            }
        }
    }
}

TEST(DemoTimingSearch, BeatViewAtTheEdgesOfTheTable)
{
    test_arena a;
    const int32_t beats[] = {1000, 2000, 4000};
    demo_timing timing;
    demo_timing_init(&timing, &a.arena, 22050, beats, 3);
    timing.lines[1].xs[0] = 15;
    timing.lines[2].xs[1] = 15;
    demo_time_frame dtf{};
    const struct {
        int pos;
        int valid;
        int beat;
        float lerp;
    } cases[] = {
        {999, 0, 0, 0},                          // before the first beat
        {1000, 1, 0, 0.0f},                      // on the first beat
        {1500, 1, 0, 0.5f}, {2000, 1, 1, 0.0f},  // on a beat: lerp 0 and no time since it
        {3000, 1, 1, 0.5f}, {3999, 1, 1, 1999.0f / 2000.0f},
        {4000, 0, 0, 0},     // on the last beat: no next beat
        {90000, 0, 0, 0},    // past it
        {2000, 1, 1, 0.0f},  // back again
        {-5, 0, 0, 0},
    };
    for (const auto& c : cases) {
        demo_timing_update(&dtf, &timing, c.pos);
        EXPECT_EQ(dtf.valid, c.valid) << c.pos;
        if (!c.valid)
            continue;
        EXPECT_EQ(dtf.beat_id, c.beat) << c.pos;
        EXPECT_FLOAT_EQ(dtf.lerp_beats, c.lerp) << c.pos;
        EXPECT_FLOAT_EQ(dtf.time_since_beat, (float)(c.pos - beats[c.beat]) / 22050.0f);
    }
    // Digits of beats 1 and 2 blended half-way.
    demo_timing_update(&dtf, &timing, 3000);
    EXPECT_EQ(dtf.xs0[0], 15);
    EXPECT_EQ(dtf.xs1[1], 15);
    EXPECT_FLOAT_EQ(dtf.xsf0[0], 1.0f);
    EXPECT_FLOAT_EQ(dtf.xsf[0], 0.5f);
    EXPECT_FLOAT_EQ(dtf.xsf[1], 0.5f);
    EXPECT_FLOAT_EQ(dtf.xsf[2], 0.0f);
}

TEST(DemoTimingSearch, EmptyTableStillAdvancesPositionAndTime)
{
    test_arena a;
    demo_timing timing;
    demo_timing_init(&timing, &a.arena, 22050, nullptr, 0);
    demo_time_frame dtf{};
    dtf.valid = 1;
    demo_timing_update(&dtf, &timing, 22050);
    EXPECT_EQ(dtf.valid, 0);
    EXPECT_EQ(dtf.pos, 22050);
    EXPECT_FLOAT_EQ(dtf.t, 1.0f);
    EXPECT_FLOAT_EQ(dtf.dt, 1.0f);
    demo_timing_update(&dtf, &timing, 11025);
    EXPECT_EQ(dtf.pos, 11025);
    EXPECT_FLOAT_EQ(dtf.dt, -0.5f);
    EXPECT_EQ(timing.last_pos, 11025);
}

TEST(DemoTimingSearch, DuplicateBeatsGiveZeroNotNaN)
{
    test_arena a;
    const int32_t beats[] = {100, 500, 500, 900};
    demo_timing timing;
    demo_timing_init(&timing, &a.arena, 22050, beats, 4);
    demo_time_frame dtf{};
    demo_timing_update(&dtf, &timing, 500);
    ASSERT_EQ(dtf.valid, 1);
    EXPECT_EQ(dtf.lerp_beats, 0.0f);
    EXPECT_FALSE(std::isnan(dtf.xsf[0]));
    demo_timing_update(&dtf, &timing, 700);
    EXPECT_EQ(dtf.beat_id, 2);
    EXPECT_FLOAT_EQ(dtf.lerp_beats, 0.5f);
}

TEST(DemoTimingCurves, EndsAndDegenerateRanges)
{
    test_arena a;
    demo_timing_init(&g_demo_timing, &a.arena, 22050, nullptr, 0);
    demo_time_frame dtf{};
    auto at = [&](int pos) { demo_timing_update(&dtf, &g_demo_timing, pos); };
    const struct {
        int last;
        int a, b;
        float lerp, tri;
    } cases[] = {
        {0, 100, 200, 0.0f, 0.0f},    // before a
        {100, 100, 200, 0.0f, 0.0f},  // at a
        {150, 100, 200, 0.5f, 1.0f},  // half-way
        {175, 100, 200, 0.75f, 0.5f},
        {200, 100, 200, 1.0f, 0.0f},            // at b
        {5000, 100, 200, 1.0f, 0.0f},           // after b
        {100, 100, 100, 0.0f, 0.0f},            // empty range: 0, not a division by zero
        {0, INT32_MIN, INT32_MAX, 0.5f, 1.0f},  // differences beyond int
    };
    for (const auto& c : cases) {
        at(c.last);
        EXPECT_FLOAT_EQ(demo_timing_lerp_factor(c.a, c.b), c.lerp) << c.last << " " << c.a << " " << c.b;
        EXPECT_NEAR(demo_timing_tri_factor(c.a, c.b), c.tri, 1e-6) << c.last << " " << c.a << " " << c.b;
    }
    at(22050);
    EXPECT_FLOAT_EQ(demo_timing_time_at_sample(44100), 2.0f);
    EXPECT_FLOAT_EQ(demo_timing_time_since_sample(0), -1.0f);
    EXPECT_FLOAT_EQ(demo_timing_time_since_sample(22050), 0.0f);
    EXPECT_FLOAT_EQ(demo_timing_time_since_sample(30000), 0.0f);
    EXPECT_FLOAT_EQ(demo_timing_lerp_factor_sample_duration(11025, 1.0f), 0.5f);
    EXPECT_EQ(demo_timing_lerp_factor_sample_duration(22050, 0.0f), 0.0f);

    // 0.15 s is 3307.5 samples: the triangle spans p - 3308 to p + 3307.
    const int p = 1000000;
    at(p - 3308);
    EXPECT_EQ(demo_timing_tri_factor_around(p, 0.15f), 0.0f);
    at(p + 3307);
    EXPECT_EQ(demo_timing_tri_factor_around(p, 0.15f), 0.0f);
    at(p - 3307);
    EXPECT_GT(demo_timing_tri_factor_around(p, 0.15f), 0.0f);
    at(p);
    EXPECT_NEAR(demo_timing_tri_factor_around(p, 0.15f), 1.0f, 1e-3);
}

TEST(DemoTimingText, LineCases)
{
    const std::string dir = capture_temp_dir();
    const std::string path = dir + "/beats.txt";
    write_text(path,
               "22050\t0f00\n"        // the documented case
               "-7\tABCD\n"           // sign and upper-case digits
               "300\n"                // no digits: must not take the next line's
               "0f00\n"               // not a position and four digits
               "\n"                   // blank
               "99999999999\t0000\n"  // beyond int
               "400\t12\n"            // two digits only
               "500 \t 1 2 3 4\r\n"   // blanks between, CR line end
               "600\t000f");          // last line without a line end
    test_arena a, tmp;
    demo_timing timing{};
    captured_run r = capture_run([&] {
        demo_timing_parse_text(&a.arena, &timing, path.c_str(), &tmp.arena);
        printf("%d %d\n", timing.count, timing.capacity);
        for (int i = 0; i < timing.count; i++)
            printf("%d %d %d %d %d\n", timing.lines[i].pos, timing.lines[i].xs[0], timing.lines[i].xs[1],
                   timing.lines[i].xs[2], timing.lines[i].xs[3]);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "4 9\n22050 0 15 0 0\n-7 10 11 12 13\n500 1 2 3 4\n600 0 0 0 15\n");
    EXPECT_NE(r.err.find("skipping, bad line: \"300\n0f00\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("skipping, bad line: \"400\t12\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("dropped"), std::string::npos) << r.err;  // a table of its own holds every line
    EXPECT_EQ(tmp.arena.sp, 0u);                                   // the file buffer went back
}

TEST(DemoTimingText, FillsAnExistingTableUpToItsCapacityNamesWhatItDropsKeepsItWhenUnreadable)
{
    const std::string dir = capture_temp_dir();
    const std::string path = dir + "/beats.txt";
    write_text(path, "1\t0000\n2\t0000\n3\t0000\n4\t0000\n");
    test_arena a, tmp;
    const int32_t beats[] = {10, 20};
    demo_timing timing;
    demo_timing_init(&timing, &a.arena, 22050, beats, 2);
    demo_timing_line* lines = timing.lines;
    captured_run full = capture_run([&] { demo_timing_parse_text(&a.arena, &timing, path.c_str(), &tmp.arena); });
    ASSERT_TRUE(full.exited);
    EXPECT_EQ(full.err, path + ": 2 lines dropped, the table holds 2\n");
    demo_timing_parse_text(&a.arena, &timing, path.c_str(), &tmp.arena);
    EXPECT_EQ(timing.lines, lines);
    EXPECT_EQ(timing.count, 2);
    EXPECT_EQ(timing.lines[0].pos, 1);
    EXPECT_EQ(timing.lines[1].pos, 2);

    // Lines past the capacity are counted whatever they hold (a last line
    // without a line end included); a file that fits says nothing.
    const struct {
        const char* text;
        const char* err;
    } drops[] = {
        {"1\t0000\n2\t0000\n3\t0000\nbad\n5\t0000", ": 3 lines dropped, the table holds 2\n"},
        {"1\t0000\n2\t0000\n\n", ": 1 lines dropped, the table holds 2\n"},
        {"1\t0000\n2\t0000\n", ""},
        {"1\t0000\n2\t0000", ""},
    };
    for (const auto& d : drops) {
        write_text(path, d.text);
        captured_run rd = capture_run([&] {
            demo_timing_parse_text(&a.arena, &timing, path.c_str(), &tmp.arena);
            printf("%d\n", timing.count);
        });
        ASSERT_TRUE(rd.exited) << d.text;
        EXPECT_EQ(rd.out, "2\n") << d.text;
        EXPECT_EQ(rd.err, *d.err ? path + d.err : std::string()) << d.text;
    }

    captured_run r = capture_run([&] {
        demo_timing_parse_text(&a.arena, &timing, (dir + "/missing.txt").c_str(), &tmp.arena);
        printf("%d %d\n", timing.count, timing.lines[1].pos);
    });
    EXPECT_NE(r.out.find("2 2\n"), std::string::npos) << r.out;
}

}  // namespace
