// The music mixer driven directly (no audio device): silence until the player
// is loaded and armed, the pre-start silence and the first music frame at the
// start offset, the clamp at the stream's end, the fade levels, the seek, and
// the clock's count of frames. Streams live in exactly sized heap blocks, so a
// read outside one is caught by the sanitizer build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/demo_music.h"

namespace {

struct heap_stream {
    uint8_t* bytes;
    int size;
    explicit heap_stream(int n, uint32_t seed = 7) : bytes((uint8_t*)malloc(n > 0 ? n : 1)), size(n)
    {
        // Codes that keep the signal clearly away from 0, so silence is distinguishable.
        uint32_t x = seed;
        for (int i = 0; i < n; i++) {
            x = x * 1664525u + 1013904223u;
            int l = (i % 64 < 32) ? 4 + (x >> 28) % 3 : 12 + (x >> 28) % 3;
            int r = (i % 48 < 24) ? 5 : 13;
            bytes[i] = (uint8_t)(l | r << 4);
        }
    }
    ~heap_stream() { free(bytes); }
};

class DemoMusic : public ::testing::Test {
protected:
    void SetUp() override
    {
        demo_music_attach_device(0);
        demo_music_loaded.store(0);
        demo_music_ok_to_start.store(0);
        demo_music_acm_ima_buffer.store(nullptr);
        demo_music_frames_count.store(0);
        demo_music_frame_position.store(0);
        vexil_audio_position.store(0);
        vexil_audio_position_start_music.store(0);
        demo_music_fade_out.store(0);
        demo_music_end.store(0);
    }

    // Frames the mixer should produce from music frame `from`, decoded with a
    // copy of the player's current decoder states.
    static std::vector<int16_t> expected_music(const heap_stream& s, int from, int count, int level = 128)
    {
        acm_ima_state l = demo_music_state_left, r = demo_music_state_right;
        std::vector<int16_t> out;
        for (int i = 0; i < count; i++) {
            uint8_t b = s.bytes[from + i];
            int a = acm_ima_decode(&l, b & 15), c = acm_ima_decode(&r, b >> 4);
            if (level != 128) {
                a = (a * level) >> 7;
                c = (c * level) >> 7;
            }
            out.push_back((int16_t)a);
            out.push_back((int16_t)c);
        }
        return out;
    }

    static std::vector<int16_t> play(int frames)
    {
        std::vector<int16_t> buf((size_t)frames * 2, 0x1234);
        demo_music_play(buf.data(), frames);
        return buf;
    }

    static bool silent(const std::vector<int16_t>& b, int from, int to)
    {
        for (int i = from * 2; i < to * 2; i++)
            if (b[i] != 0)
                return false;
        return true;
    }

    static std::vector<int16_t> slice(const std::vector<int16_t>& b, int from, int to)
    {
        return std::vector<int16_t>(b.begin() + from * 2, b.begin() + to * 2);
    }
};

TEST_F(DemoMusic, SilentAndStillUntilLoadedAndArmed)
{
    heap_stream s(4000);
    struct {
        int arm, load;
        const char* why;
    } cases[] = {{0, 0, "idle"}, {1, 0, "armed, nothing loaded"}, {0, 1, "loaded, not armed"}};
    for (auto& c : cases) {
        SetUp();
        if (c.arm)
            vexil_music_start(0);
        if (c.load)
            demo_music_load(s.bytes, s.size, 0, 0);
        vexil_audio_position.store(c.arm ? 0 : 77);
        std::vector<int16_t> b = play(1024);
        EXPECT_TRUE(silent(b, 0, 1024)) << c.why;
        EXPECT_EQ(vexil_audio_position.load(), c.arm ? 0 : 77) << c.why;
    }
    // Loaded then armed: the clock runs from 0 at once.
    vexil_music_start(0);
    play(1024);
    EXPECT_EQ(vexil_audio_position.load(), 1024);
}

TEST_F(DemoMusic, PreStartSilenceThenMusicFrameZero)
{
    heap_stream s(4000);
    vexil_music_start(5000);
    demo_music_load(s.bytes, s.size, 0, 0);
    vexil_music_move_position(4096);
    std::vector<int16_t> want = expected_music(s, 0, 120);
    std::vector<int16_t> b = play(1024);
    EXPECT_TRUE(silent(b, 0, 904));
    EXPECT_EQ(slice(b, 904, 1024), want) << "music frame 0 plays exactly at clock 5000";
    EXPECT_EQ(vexil_audio_position.load(), 5120);
    EXPECT_EQ(demo_music_frame_position.load(), 120);

    // A start offset on a buffer boundary: a whole silent buffer, then frame 0 first.
    SetUp();
    vexil_music_start(1024);
    demo_music_load(s.bytes, s.size, 0, 0);
    want = expected_music(s, 0, 1024);
    b = play(1024);
    EXPECT_TRUE(silent(b, 0, 1024));
    EXPECT_EQ(vexil_audio_position.load(), 1024);
    EXPECT_EQ(play(1024), want);
    EXPECT_EQ(vexil_audio_position.load(), 2048);
}

TEST_F(DemoMusic, ClampAtTheStreamsEndAndTheClockRunsOn)
{
    heap_stream s(1124);
    vexil_music_start(0);
    demo_music_load(s.bytes, s.size, 0, 0);
    std::vector<int16_t> want = expected_music(s, 0, 1124);
    EXPECT_EQ(play(1024), slice(want, 0, 1024));
    std::vector<int16_t> b = play(1024);
    EXPECT_EQ(slice(b, 0, 100), slice(want, 1024, 1124)) << "the last partial buffer is played";
    EXPECT_TRUE(silent(b, 100, 1024));
    EXPECT_EQ(demo_music_frame_position.load(), 1124);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(silent(play(1024), 0, 1024));
        EXPECT_EQ(vexil_audio_position.load(), 2048 + 1024 * (i + 1));
    }
}

TEST_F(DemoMusic, FadeLevelPerBuffer)
{
    const int F = 3000;
    heap_stream s(F + 66000 + 256);
    struct {
        int offset;  // buffer start relative to the fade start
        int level;   // 128: unscaled
    } cases[] = {{-100, 128}, {0, 128},    {1, 127},   {511, 127}, {512, 126},
                 {513, 126},  {1024, 125}, {65023, 1}, {65024, 0}, {65600, 0}};
    for (auto& c : cases) {
        SetUp();
        vexil_music_start(0);
        demo_music_load(s.bytes, s.size, F, 0);
        vexil_music_move_position(F + c.offset);
        std::vector<int16_t> want = expected_music(s, F + c.offset, 256, c.level);
        EXPECT_EQ(play(256), want) << "offset " << c.offset << " level " << c.level;
    }
    // The fade setter takes effect on the next buffer.
    SetUp();
    vexil_music_start(0);
    demo_music_load(s.bytes, s.size, 0, 0);
    vexil_music_move_position(F + 512);
    demo_music_fade_out_set(F);
    EXPECT_EQ(play(64), expected_music(s, F + 512, 64, 126));
}

TEST_F(DemoMusic, SeekMovesClockAndMusicNeverBelowZero)
{
    heap_stream s(30000);
    vexil_music_start(0);
    demo_music_load(s.bytes, s.size, 0, 0);
    struct {
        int clock, move, expected;
    } cases[] = {{10000, -22050, 0}, {10000, -2205, 7795}, {0, -1, 0}, {100, 22050, 22150}, {5, -5, 0}};
    for (auto& c : cases) {
        vexil_audio_position.store(c.clock);
        vexil_music_move_position(c.move);
        EXPECT_EQ(vexil_audio_position.load(), c.expected) << c.clock << " " << c.move;
    }
    // The next buffer plays from the new clock, with the decoders as they were.
    vexil_audio_position.store(20000);
    vexil_music_move_position(-2205);
    std::vector<int16_t> want = expected_music(s, 17795, 512);
    EXPECT_EQ(play(512), want);
    EXPECT_EQ(demo_music_frame_position.load(), 17795 + 512);
}

TEST_F(DemoMusic, NoReadOutsideTheStream)
{
    // Seek far past the end, then back before the start offset, then load a
    // shorter stream while the clock stands beyond it.
    heap_stream long_stream(3000), short_stream(100);
    vexil_music_start(500);
    demo_music_load(long_stream.bytes, long_stream.size, 0, 0);
    vexil_music_move_position(1000000);
    EXPECT_TRUE(silent(play(1024), 0, 1024));
    vexil_music_move_position(-2000000);
    std::vector<int16_t> b = play(1024);
    EXPECT_TRUE(silent(b, 0, 500));
    EXPECT_FALSE(silent(b, 500, 1024));
    demo_music_load(short_stream.bytes, short_stream.size, 0, 0);
    EXPECT_EQ(vexil_audio_position.load(), 1024) << "loading keeps the clock";
    b = play(1024);
    EXPECT_TRUE(silent(b, 0, 1024)) << "clock 1024 is past the short stream (500 + 100)";
    // A position written by other code lasts only until the next call.
    demo_music_frame_position.store(2500);
    vexil_audio_position.store(550);
    std::vector<int16_t> want = expected_music(short_stream, 50, 50);
    b = play(1024);
    EXPECT_EQ(slice(b, 0, 50), want);
    EXPECT_TRUE(silent(b, 50, 1024));
    // A null or negative-sized stream is an empty one.
    demo_music_load(nullptr, 5000, 0, 0);
    vexil_audio_position.store(600);
    EXPECT_TRUE(silent(play(256), 0, 256));
    demo_music_load(short_stream.bytes, -3, 0, 0);
    EXPECT_TRUE(silent(play(256), 0, 256));
}

TEST_F(DemoMusic, ClockCountsEveryFrameHandedOver)
{
    heap_stream s(5000);
    vexil_music_start(700);
    demo_music_load(s.bytes, s.size, 0, 0);
    const int sizes[] = {1, 333, 1024, 7, 1024, 1024, 2048, 1024, 4096, 512};
    int total = 0;
    for (int n : sizes) {
        play(n);
        total += n;
        EXPECT_EQ(vexil_audio_position.load(), total) << "before, during and after the music";
    }
    // Arming again restarts the clock at 0 and it runs on from there at once.
    vexil_music_start(0);
    play(100);
    EXPECT_EQ(vexil_audio_position.load(), 100);
    // demo_music_end: the whole stream unless given.
    demo_music_load(s.bytes, s.size, 0, 0);
    EXPECT_EQ(demo_music_end.load(), 5000);
    demo_music_load(s.bytes, s.size, 0, 1234);
    EXPECT_EQ(demo_music_end.load(), 1234);
}

TEST_F(DemoMusic, FastForwardOnlyMovesForward)
{
    demo_music_frame_position.store(100);
    demo_music_fast_forward_to(50);
    EXPECT_EQ(demo_music_frame_position.load(), 100);
    demo_music_fast_forward_to(150);
    EXPECT_EQ(demo_music_frame_position.load(), 150);
}

}  // namespace
