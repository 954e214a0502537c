// Controller tracks: both file kinds byte-exact in both byte orders (decoded by
// Python's struct), the loaders refusing short and inconsistent records, the
// dimension mismatch exit, recording from the control surface, the keyed
// track's transport, looping and interpolation, and its grid view.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "host/nanokorg2.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/windows_skip.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo_track.h"
#include "tools/demo_track2.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

std::string read_file(const std::string& path)
{
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        r.append(buf, n);
    fclose(f);
    return r;
}

// The file's fields as Python's struct decodes them.
std::vector<double> python_decode(const char* kind, const std::string& path, int endian)
{
    const std::string script = std::string(QF_SOURCE_DIR) + "/tests/tools/track_reference.py";
    const int little = (endian == IO_ENDIAN_NATIVE) == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    captured_run r = capture_program({"/usr/bin/python3", script, kind, path, little ? "little" : "big"}, "", {}, 60);
    EXPECT_TRUE(r.exited && r.status == 0) << r.out << r.err;
    std::vector<double> v;
    const char* s = r.out.c_str();
    char* end;
    for (double d = strtod(s, &end); end != s; d = strtod(s, &end)) {
        v.push_back(d);
        s = end;
    }
    return v;
}

nanokorg2_state knobs(float base)
{
    nanokorg2_state s{};
    for (int k = 0; k < 8; k++) {
        s.ch_knob[k] = base + 0.1f * (float)k;
        s.ch_slider[k] = 0.5f + 0.01f * (float)k;
    }
    return s;
}

TEST(DemoTrack2File, ByteExactInBothOrdersAndRoundTrips)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    const std::string dir = capture_temp_dir();
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        test_arena a, tmp;
        demo_track2 t;
        demo_track2_init(&t, &a.arena);
        for (uint32_t i = 0; i < 128; i++)
            t.keys[i] = 0.1f * (float)i - 3.3f;
        t.pos = 5;
        const std::string path = dir + "/t2_" + std::to_string(endian) + ".dat";
        ASSERT_EQ(demo_track2_store_file(&t, path.c_str(), endian, &tmp.arena), 0);
        EXPECT_EQ(read_file(path).size(), 524u);
        std::vector<double> v = python_decode("track2", path, endian);
        ASSERT_EQ(v.size(), 3u + 128u);
        EXPECT_EQ(v[0], 16);
        EXPECT_EQ(v[1], 8);
        EXPECT_EQ(v[2], 5);
        for (uint32_t i = 0; i < 128; i++)
            ASSERT_EQ(v[3 + i], (double)t.keys[i]) << i;

        demo_track2 back;
        demo_track2_init(&back, &a.arena);
        ASSERT_EQ(demo_track2_load_file(&back, path.c_str(), endian, nullptr, &tmp.arena), 0);
        EXPECT_EQ(back.pos, 5u);
        EXPECT_EQ(memcmp(back.keys, t.keys, 128 * sizeof(float)), 0);
        EXPECT_EQ(tmp.arena.sp, 0u);
    }
}

TEST(DemoTrack2File, InitIsZeroedAndEmptyTrackIsStoredAsZeros)
{
    test_arena a;
    std::vector<uint8_t> dirty(a.block.size(), 0xAB);
    memarena dirty_arena;
    memarena_init(&dirty_arena, "dirty", dirty.size(), dirty.data());
    demo_track2 t;
    demo_track2_init(&t, &dirty_arena);
    for (uint32_t i = 0; i < 128; i++)
        ASSERT_EQ(t.keys[i], 0.0f);
    EXPECT_EQ(t.max_pos, 16u);
    EXPECT_EQ(t.keys_count, 8u);
}

// A record built by hand: max_pos, keys_count, pos, then values_bytes of values.
std::vector<uint8_t> track2_record(uint32_t max_pos, uint32_t keys_count, uint32_t pos, size_t value_count)
{
    std::vector<uint8_t> b(12 + 4 * value_count);
    uint8_t* p = io_store32(b.data(), max_pos, IO_ENDIAN_NATIVE);
    p = io_store32(p, keys_count, IO_ENDIAN_NATIVE);
    p = io_store32(p, pos, IO_ENDIAN_NATIVE);
    for (size_t i = 0; i < value_count; i++)
        p = io_storef32(p, (float)i, IO_ENDIAN_NATIVE);
    return b;
}

TEST(DemoTrack2File, RefusesShortAndInconsistentRecords)
{
    const struct {
        uint32_t max_pos, keys_count, pos;
        size_t values;
        const char* why;
    } cases[] = {
        {16, 8, 0, 127, "one value short"},
        {0, 8, 0, 0, "no rows"},
        {16, 8, 16, 128, "pos past the last row"},
        {16, 8, 0xFFFFFFFFu, 128, "pos far past"},
        {0x40000000u, 0x40000000u, 0, 0, "dimensions whose product overflows 32 bits"},
    };
    for (const auto& c : cases) {
        test_arena a;
        demo_track2 t;
        demo_track2_init(&t, &a.arena);
        t.keys[3] = 7.0f;
        std::vector<uint8_t> rec = track2_record(c.max_pos, c.keys_count, c.pos, c.values);
        EXPECT_EQ(demo_track2_load(&a.arena, &t, rec.data(), rec.size(), IO_ENDIAN_NATIVE), nullptr) << c.why;
        EXPECT_EQ(t.max_pos, 16u) << c.why;
        EXPECT_EQ(t.pos, 0u) << c.why;
        EXPECT_EQ(t.keys[3], 7.0f) << c.why;
    }
    // Fewer than the 12 header bytes.
    test_arena a;
    demo_track2 t;
    demo_track2_init(&t, &a.arena);
    std::vector<uint8_t> rec = track2_record(16, 8, 0, 128);
    EXPECT_EQ(demo_track2_load(&a.arena, &t, rec.data(), 11, IO_ENDIAN_NATIVE), nullptr);
    EXPECT_EQ(demo_track2_load(nullptr, &t, rec.data(), rec.size(), IO_ENDIAN_NATIVE), rec.data() + 524);
}

TEST(DemoTrack2File, OtherDimensionsWithoutArenaEndTheProgram)
{
    std::vector<uint8_t> rec = track2_record(32, 8, 0, 256);
    captured_run r = capture_run([&] {
        test_arena a;
        demo_track2 t;
        demo_track2_init(&t, &a.arena);
        demo_track2_load(nullptr, &t, rec.data(), rec.size(), IO_ENDIAN_NATIVE);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("max pos and keys count did not match and had no arena to allocate new space.. max_pos 16 "
                         "keys_count 8 file is 32 8\n"),
              std::string::npos)
        << r.out << r.err;

    // With an arena the track takes the file's dimensions.
    test_arena a;
    demo_track2 t;
    demo_track2_init(&t, &a.arena);
    ASSERT_NE(demo_track2_load(&a.arena, &t, rec.data(), rec.size(), IO_ENDIAN_NATIVE), nullptr);
    EXPECT_EQ(t.max_pos, 32u);
    EXPECT_EQ(t.keys[255], 255.0f);
}

TEST(DemoTrack2File, StoreReportsUnwritableAndShortFiles)
{
    test_arena a, tmp;
    demo_track2 t;
    demo_track2_init(&t, &a.arena);
    EXPECT_EQ(demo_track2_store_file(&t, "/nonexistent-dir/track.dat", IO_ENDIAN_NATIVE, &tmp.arena), 1);
#if !defined(_WIN32)
    // Windows has no device that refuses every write.
    EXPECT_EQ(demo_track2_store_file(&t, "/dev/full", IO_ENDIAN_NATIVE, &tmp.arena), 1);
#endif
    EXPECT_EQ(demo_track2_load_file(&t, "/nonexistent-dir/track.dat", IO_ENDIAN_NATIVE, nullptr, &tmp.arena), 1);
}

TEST(DemoTrack2Record, EdgesTogglesAndRowLimits)
{
    test_arena a;
    demo_track2 t;
    demo_track2_init(&t, &a.arena);
    nanokorg2_state prev{}, now = knobs(0.2f);

    // Not recording: values stay.
    demo_track2_record(&t, &prev, &now);
    EXPECT_EQ(t.keys[0], 0.0f);
    // A rising edge of record starts it; holding it does not toggle again.
    now.record = 1;
    demo_track2_record(&t, &prev, &now);
    EXPECT_EQ(t.is_recording, 1);
    prev = now;
    demo_track2_record(&t, &prev, &now);
    EXPECT_EQ(t.is_recording, 1);
    for (int k = 0; k < 8; k++)
        EXPECT_FLOAT_EQ(t.keys[k], now.ch_knob[k] * now.ch_slider[k]);
    float out[8];
    demo_track2_get(&t, out);
    EXPECT_EQ(memcmp(out, t.keys, sizeof out), 0);

    // Track left at row 0 stays at 0; right steps; at row 15 right stays.
    now.record = 0;
    prev = now;
    now.track_left = 1;
    demo_track2_record(&t, &prev, &now);
    EXPECT_EQ(t.pos, 0u);
    for (int i = 0; i < 20; i++) {
        prev = now;
        prev.track_right = 0;
        now.track_left = 0;
        now.track_right = 1;
        demo_track2_record(&t, &prev, &now);
    }
    EXPECT_EQ(t.pos, 15u);
    // Held, it is no press.
    prev = now;
    now.track_right = 0;
    now.track_left = 1;
    prev.track_left = 1;
    demo_track2_record(&t, &prev, &now);
    EXPECT_EQ(t.pos, 15u);
    // No snapshot: nothing happens.
    demo_track2_record(&t, &prev, nullptr);
    EXPECT_EQ(t.pos, 15u);
}

// ---- keyed track ------------------------------------------------------------

struct keyed {
    test_arena a;
    demo_track track;
    demo_track_control ctrl;
    nanokorg2_state prev{}, now{};
    keyed(uint32_t ps_count, uint32_t keys_count, uint32_t ticks_per_key, uint32_t loops)
    {
        demo_track_init(&a.arena, &track, ps_count, keys_count, 0.0f, 10.0f);
        track.ticks_per_key = ticks_per_key;
        track.loops = loops;
        for (uint32_t k = 0; k < keys_count; k++)
            for (uint32_t p = 0; p < ps_count; p++)
                track.ps[k * ps_count + p] = (float)(k + 1) + 0.1f * (float)p;
        demo_track_ctrl_init(&a.arena, &ctrl, &track);
    }
    void tick()
    {
        demo_track_update(&track, &ctrl, &prev, &now);
        prev = now;
    }
    void press(int nanokorg2_state::*button)
    {
        now.*button = 1;
        tick();
        now.*button = 0;
        prev.*button = 0;  // released
    }
};

TEST(DemoTrackTransport, HoldsAtTheLastKeyWithoutLooping)
{
    keyed k(3, 4, 10, 0);
    k.press(&nanokorg2_state::play);  // plays from this update on
    for (int i = 0; i < 60; i++)
        k.tick();
    EXPECT_EQ(k.ctrl.key, 3);
    EXPECT_EQ(k.ctrl.ps_key_next, k.ctrl.ps_key_curr);
    for (int p = 0; p < 3; p++)
        EXPECT_FLOAT_EQ(k.ctrl.ps[p], 4.0f + 0.1f * (float)p);
    EXPECT_EQ(k.ctrl.tick, 61);
}

TEST(DemoTrackTransport, InterpolatesAndLoopsFromTheLastKeyToTheFirst)
{
    keyed k(2, 4, 10, 1);
    k.press(&nanokorg2_state::play);
    // ticks_in_key is 1 now; after 34 more updates key 3 at 5 of 10 ticks.
    for (int i = 0; i < 34; i++)
        k.tick();
    EXPECT_EQ(k.ctrl.key, 3);
    EXPECT_EQ(k.ctrl.ps_key_next, k.track.ps);  // towards key 0
    EXPECT_EQ(k.ctrl.ticks_in_key, 5);
    // The output follows the update's own tick: 5 of 10.
    EXPECT_FLOAT_EQ(k.ctrl.ps[0], 4.0f + (1.0f - 4.0f) * 0.5f);
    for (int i = 0; i < 6; i++)
        k.tick();
    EXPECT_EQ(k.ctrl.key, 0);
    // Stop holds the position; rewind goes back to key 0, tick 0.
    k.press(&nanokorg2_state::stop);
    const int held = k.ctrl.tick;
    k.tick();
    EXPECT_EQ(k.ctrl.tick, held);
    k.press(&nanokorg2_state::rewind);
    EXPECT_EQ(k.ctrl.tick, 0);
    EXPECT_EQ(k.ctrl.key, 0);
    EXPECT_EQ(k.ctrl.ticks_in_key, 0);
}

TEST(DemoTrackTransport, RecordingWritesUnmutedChannelsAndStepsKeys)
{
    keyed k(10, 4, 10, 0);
    k.now = knobs(0.3f);
    k.prev = k.now;
    // Stepping left from key 0 wraps round to the last key, right back to 0.
    k.press(&nanokorg2_state::track_left);
    EXPECT_EQ(k.ctrl.record_key, 3u);
    k.press(&nanokorg2_state::track_right);
    EXPECT_EQ(k.ctrl.record_key, 0u);
    k.press(&nanokorg2_state::track_right);
    EXPECT_EQ(k.ctrl.record_key, 1u);
    k.press(&nanokorg2_state::marker_right);  // channel 0 drives parameter 1
    // Channel 2 (parameter 3) muted: one held update flips its toggle.
    k.now.ch_mute[2] = 1;
    k.tick();
    k.now.ch_mute[2] = 0;
    EXPECT_EQ(k.ctrl.ch_mute_toggle[2], 1);
    const float stored3 = k.track.ps[1 * 10 + 3];
    k.press(&nanokorg2_state::record);
    EXPECT_EQ(k.ctrl.recording, 1);
    EXPECT_EQ(k.ctrl.ps_key_curr, k.ctrl.ps_key_record);
    for (uint32_t ch = 0; ch < 8; ch++) {
        const uint32_t p = 1 + ch;
        const float want = 10.0f * k.now.ch_knob[ch] * k.now.ch_slider[ch];
        EXPECT_FLOAT_EQ(k.ctrl.ps_key_record[p], want) << ch;
        if (ch == 2)
            EXPECT_EQ(k.track.ps[1 * 10 + p], stored3);
        else
            EXPECT_FLOAT_EQ(k.track.ps[1 * 10 + p], want) << ch;
    }
    // Parameters no channel drives keep the row's value in the recorded row.
    EXPECT_FLOAT_EQ(k.ctrl.ps_key_record[0], 2.0f);
    // Parameter offsets wrap modulo the count: offset 3 drives 3..9, 0.
    k.press(&nanokorg2_state::marker_right);
    k.press(&nanokorg2_state::marker_right);
    EXPECT_FLOAT_EQ(k.track.ps[1 * 10 + 0], 10.0f * k.now.ch_knob[7] * k.now.ch_slider[7]);
}

TEST(DemoTrackTransport, RecordRoundsTheTickDownToWholeKeys)
{
    keyed k(1, 8, 4, 0);
    k.press(&nanokorg2_state::play);
    for (int i = 0; i < 6; i++)
        k.tick();
    // tick 7, ticks_in_key 3 (one key of 4 passed): rounded down to 6.
    ASSERT_EQ(k.ctrl.tick, 7);
    ASSERT_EQ(k.ctrl.ticks_in_key, 3);
    k.press(&nanokorg2_state::record);
    EXPECT_EQ(k.ctrl.tick, 6);
    EXPECT_EQ(k.ctrl.playing, 0);
}

TEST(DemoTrackFile, ByteExactInBothOrdersAndRefusesBadRecords)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    const std::string dir = capture_temp_dir();
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        keyed k(3, 5, 7, 1);
        k.track.ps_min[1] = -2.5f;
        k.track.ps_max[2] = 1e30f;
        test_arena tmp;
        const std::string path = dir + "/t_" + std::to_string(endian) + ".dat";
        ASSERT_EQ(demo_track_store_file(&k.track, path.c_str(), endian, &tmp.arena), 0);
        std::vector<double> v = python_decode("track", path, endian);
        ASSERT_EQ(v.size(), 4u + 15u + 6u);
        EXPECT_EQ(v[0], 3);
        EXPECT_EQ(v[1], 5);
        EXPECT_EQ(v[2], 7);
        EXPECT_EQ(v[3], 1);
        for (int i = 0; i < 15; i++)
            EXPECT_EQ(v[4 + i], (double)k.track.ps[i]);
        EXPECT_EQ(v[19 + 1], -2.5);
        EXPECT_EQ(v[22 + 2], (double)1e30f);

        demo_track back{};
        ASSERT_EQ(demo_track_load_file(&back, path.c_str(), endian, &k.a.arena, &tmp.arena), 0);
        EXPECT_EQ(back.ticks_per_key, 7u);
        EXPECT_EQ(memcmp(back.ps, k.track.ps, 15 * sizeof(float)), 0);
        // Without an arena a track of other dimensions is refused.
        demo_track other;
        demo_track_init(&k.a.arena, &other, 2, 2, 0, 1);
        EXPECT_EQ(demo_track_load_file(&other, path.c_str(), endian, nullptr, &tmp.arena), 1);
        EXPECT_EQ(other.ps_count, 2u);
    }

    const struct {
        uint32_t ps_count, keys_count, ticks, values;
        const char* why;
    } cases[] = {
        {0, 4, 1, 0, "no parameters"},
        {2, 0, 1, 4, "no keys"},
        {2, 4, 0, 12, "no ticks a key"},
        {2, 4, 1, 11, "one value short"},
        {0x80000000u, 2, 1, 0, "counts whose bytes overflow"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> b(16 + 4 * (size_t)c.values);
        uint8_t* p = io_store32(b.data(), c.ps_count, IO_ENDIAN_NATIVE);
        p = io_store32(p, c.keys_count, IO_ENDIAN_NATIVE);
        p = io_store32(p, c.ticks, IO_ENDIAN_NATIVE);
        io_store32(p, 0, IO_ENDIAN_NATIVE);
        test_arena a;
        demo_track t{};
        EXPECT_EQ(demo_track_load(&a.arena, &t, b.data(), b.size(), IO_ENDIAN_NATIVE), nullptr) << c.why;
        EXPECT_EQ(t.ps, nullptr) << c.why;
    }
}

TEST(DemoTrackFile, ZeroCountsAreFatalAtInit)
{
    captured_run r = capture_run([] {
        test_arena a;
        demo_track t;
        demo_track_init(&a.arena, &t, 0, 4, 0, 1);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ps_count 0 and keys_count 4 must be at least 1"), std::string::npos) << r.err;
}

TEST(DemoTrackDisplay, CellsRingsAndValueColumnInBothFormats)
{
    keyed k(2, 3, 10, 0);
    k.track.ps[0] = 10.0f;                         // key 0, parameter 0: the top of its range
    k.track.ps[1] = 25.0f;                         // beyond the range: clamped to 1
    k.track.ps[2] = 5.0f;                          // key 1, parameter 0: half
    k.track.ps[3] = -4.0f;                         // below: 0
    k.track.ps_min[1] = k.track.ps_max[1] = 3.0f;  // parameter 1: an empty range
    k.track.ps[5] = 3.0f;
    k.ctrl.key = 0;
    k.ctrl.record_key = 2;
    k.ctrl.ps[0] = 10.0f;
    k.ctrl.ps[1] = 3.0f;

    const uint16_t green = 0x83E0, cyan = 0x83FF, blue = 0x801F, red = 0xFC00, white = 0xFFFF, black = 0x8000;
    // Key columns at x 0, (value column 5), 10, 15 (the last, 6 wide); rows at y 0 and 5 (6 high).
    test_arena fa;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &fa.arena, 32, 12, 2, 0);
    memset(fc.fb->b, 0, (size_t)fc.fb->row_bytes * 12);
    demo_track_display(&k.track, &k.ctrl, nullptr, &fc);
    auto px = [&](int x, int y) { return static_cast<uint16_t*>(fc.fb->b)[y * fc.fb->row_bytes / 2 + x]; };
    EXPECT_EQ(px(0, 0), green);
    EXPECT_EQ(px(2, 2), white);  // key 0 parameter 0, q 1
    EXPECT_EQ(px(2, 7), black);  // key 0 parameter 1: empty range
    EXPECT_EQ(px(5, 0), cyan);   // value column border
    EXPECT_EQ(px(7, 2), white);
    EXPECT_EQ(px(12, 2), (uint16_t)(0x8000 | 15 << 10 | 15 << 5 | 15));  // key 1: q 0.5
    EXPECT_EQ(px(12, 7), black);
    EXPECT_EQ(px(20, 2), green);                                      // closing column of the last key
    EXPECT_EQ(px(2, 10), green);                                      // closing row of the last parameter
    EXPECT_EQ(px(16, 1), blue);                                       // ring of the record key, not recording
    EXPECT_EQ(px(18, 2), (uint16_t)(0x8000 | 9 << 10 | 9 << 5 | 9));  // inside the ring: key 2's 3.0, q 0.3
    EXPECT_EQ(px(21, 2), 0);                                          // nothing past the grid

    k.ctrl.recording = 1;
    // With two parameters, channels 1, 3, 5 and 7 all drive parameter 1.
    for (int ch : {1, 3, 5, 7})
        k.ctrl.ch_mute_toggle[ch] = 1;
    demo_track_display(&k.track, &k.ctrl, nullptr, &fc);
    EXPECT_EQ(px(16, 1), red);
    EXPECT_EQ(px(16, 6), blue);

    // 8-bit, in a frame smaller than the grid (outside pixels skipped).
    n3d_frame_context fc8;
    n3d_framecontext_init(&fc8, &fa.arena, 12, 3, 3, 0);
    memset(fc8.fb->b, 7, 36);
    demo_track_display(&k.track, &k.ctrl, nullptr, &fc8);
    const uint8_t* p8 = static_cast<uint8_t*>(fc8.fb->b);
    EXPECT_EQ(p8[0], 0);
    EXPECT_EQ(p8[2 * 12 + 2], 255);
    EXPECT_EQ(p8[2 * 12 + 7], 255);
}

}  // namespace
