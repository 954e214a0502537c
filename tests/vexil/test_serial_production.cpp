// End to end, headless: a small production written with the pack writer (its
// music a few seconds of IMA ADPCM made with the encoder; rows music_start,
// load_sync and fade_out_music) is played by the quillfern program with SDL's
// disk audio driver and ends itself. The audio it wrote must be the music's
// decode after the leading silence, faded from the fade start on exactly as
// the mixer's level steps say. Runs alone: the program pins itself to CPU 0.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "host/acm_ima.h"
#include "support/capture.h"
#include "support/vexil_fixture.h"

namespace {

const int RATE = 22050;
const int BUFFER_FRAMES = 1024;  // the host's audio buffer

// The decoder as the music is specified: multiply form, clamped, both channels
// from the start of the stream. Written out here so the check does not lean
// on the player's own decoder.
struct ref_channel {
    int predicted = 0, index = 0;
    int16_t next(int code)
    {
        int step = acm_ima_stepsize_table[index];
        int diff = (step >> 3) + ((step * (code & 7)) >> 2);
        predicted += (code & 8) ? -diff : diff;
        predicted = predicted < -32768 ? -32768 : predicted > 32767 ? 32767 : predicted;
        index += acm_ima_index_table[code & 15];
        index = index < 0 ? 0 : index > 88 ? 88 : index;
        return (int16_t)predicted;
    }
};

TEST(ProductionHeadless, ControlScenesPlayTheMusicFadeItAndEndTheProgram)
{
    // 5 s of two tones, loud from the first frame so the music's start is the
    // first non-zero frame of the output.
    const int frames = 5 * RATE;
    std::string music((size_t)frames, '\0');
    acm_ima_state left, right;
    acm_ima_init_state(&left);
    acm_ima_init_state(&right);
    for (int i = 0; i < frames; i++) {
        double t = (double)i / RATE;
        int16_t l = (int16_t)(9000 * cos(2 * M_PI * 440 * t));
        int16_t r = (int16_t)(7000 * cos(2 * M_PI * 660 * t) + 2000);
        int lc = acm_ima_encode(&left, l);
        int rc = acm_ima_encode(&right, r);
        music[(size_t)i] = (char)(lc | (rc << 4));
    }
    std::vector<int16_t> decoded((size_t)frames * 2);
    ref_channel dl, dr;
    for (int i = 0; i < frames; i++) {
        uint8_t b = (uint8_t)music[(size_t)i];
        decoded[2 * (size_t)i] = dl.next(b & 15);
        decoded[2 * (size_t)i + 1] = dr.next(b >> 4);
    }

    // The fade row runs [0.5 s, 4 s): its fade starts 3 s before its end, about
    // at music frame 22050, and the program ends once the clock passes 4 s.
    std::string sequence = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n"
                           "abs,prev,0,0,abs,prev,6000,music_start,song\n"
                           "abs,prev,0,0,abs,prev,100,load_sync,fade\n"
                           "fade:\n"
                           "abs,prev,500,0,abs,prev,4000,fade_out_music\n";
    std::string dir = capture_temp_dir();
    vexil_fixture_write_production(
        dir, {{vexil_fixture_text("sequence.csv", sequence)}, {{"song", VEXIL_RSRC_KIND_MUSIC, music, 0}}, {}});
    std::string audio = dir + "/audio.raw";
    captured_run r =
        capture_program({std::string(QF_BINARY_DIR) + "/quillfern"}, dir,
                        {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audio}, 90);
    ASSERT_EQ(r.exited, 1) << "the program did not end by itself\n" << r.out << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[100.00%][hits:           1][cycles: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[CYCLES_BLOCK_TOTAL]\n"), std::string::npos) << r.out;

    std::string raw = vexil_fixture_read_file(audio);
    ASSERT_EQ(raw.size() % 4, 0u);
    std::vector<int16_t> out(raw.size() / 2);
    memcpy(out.data(), raw.data(), raw.size());
    size_t out_frames = out.size() / 2;

    size_t start = 0;
    while (start < out_frames && out[2 * start] == 0 && out[2 * start + 1] == 0)
        start++;
    ASSERT_LT(start, out_frames) << "no music in the output";
    // Before the music is handed over the player writes silence in whole buffers.
    EXPECT_EQ(start % BUFFER_FRAMES, 0u);
    size_t played = out_frames - start;
    // The clock passed the fade row's end at 4 s before the program ended.
    ASSERT_GT(played, (size_t)(4 * RATE));
    ASSERT_LT(played, (size_t)frames);

    // The mixer fades from the buffer after the one in which the position
    // passes the fade start F: level 127 - ((p - F) >> 9) for a buffer starting
    // at music frame p > F. F is set from the music position the scene saw, so
    // it is found here: the first frame that differs from the plain decode.
    size_t first_diff = 0;
    while (first_diff < played && out[2 * (start + first_diff)] == decoded[2 * first_diff] &&
           out[2 * (start + first_diff) + 1] == decoded[2 * first_diff + 1])
        first_diff++;
    ASSERT_LT(first_diff, played) << "the music was never faded";
    ASSERT_EQ(first_diff % BUFFER_FRAMES, 0u);
    // 0.5 s + 3.5 s - 3 s, plus however far the clock ran before the scene's
    // first running call (on a busy machine the pinned main thread may lag the
    // audio by a good part of a second); the fade begins in the buffer after F.
    EXPECT_GE(first_diff, (size_t)RATE);
    EXPECT_LT(first_diff, (size_t)(2 * RATE));

    auto faded_matches = [&](long fade) {
        for (size_t k = 0; k < played; k++) {
            long p = (long)(k - k % BUFFER_FRAMES);  // buffer start
            int level = 127;
            bool fading = p > fade;
            if (fading) {
                long steps = (p - fade) >> 9;
                level = 127 - (int)(steps > 127 ? 127 : steps);
            }
            for (int c = 0; c < 2; c++) {
                int s = decoded[2 * k + (size_t)c];
                int expect = fading ? (s * level) >> 7 : s;
                if (out[2 * (start + k) + (size_t)c] != expect)
                    return false;
            }
        }
        return true;
    };
    // Some F in the last unfaded buffer explains every frame of the output.
    bool found = false;
    for (long f = (long)first_diff - BUFFER_FRAMES; f < (long)first_diff && !found; f++)
        found = faded_matches(f);
    printf("music from output frame %zu, %zu frames played, fading from %zu\n", start, played, first_diff);
    EXPECT_TRUE(found) << "output does not follow the fade levels; fading from frame " << first_diff;
    // By the end the fade has run about 3 s: 65024 frames after F it is silent.
    if (played > first_diff + 66000) {
        EXPECT_EQ(out[2 * (out_frames - 1)], 0);
    }
}

// A music_sync row in either direction: later (delta > 0, every row moves and
// the music starts at clock 0, so the music_start row, now after 0, must run
// while the clock stands at 0) and earlier (delta < 0, the music starts when
// the clock reaches -delta). Either way the program plays and ends itself.
TEST(ProductionHeadless, MusicSyncInEitherDirectionPlaysAndEnds)
{
    const struct {
        const char* why;
        int position;             // music_sync's argument, its row starting at 11025
        size_t silence_after_it;  // music frames of silence after the hand-over
    } cases[] = {
        {"time line moved later by 2 s", 55125, 0},
        {"music starting 0.5 s into the time line", 0, 11025},
    };
    const int frames = 4 * RATE;
    std::string music((size_t)frames, '\0');
    acm_ima_state left, right;
    acm_ima_init_state(&left);
    acm_ima_init_state(&right);
    for (int i = 0; i < frames; i++) {
        int16_t v = (int16_t)(8000 * sin(2 * M_PI * 330 * (double)i / RATE) + 3000);
        music[(size_t)i] = (char)(acm_ima_encode(&left, v) | (acm_ima_encode(&right, v) << 4));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::string sequence = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n"
                               "abs,prev,0,0,abs,prev,6000,music_start,song\n"
                               "abs,prev,500,0,relstart,me,0,music_sync," +
                               std::to_string(c.position) +
                               "\n"
                               "abs,prev,0,0,abs,prev,1000,fade_out_music\n";
        std::string dir = capture_temp_dir();
        vexil_fixture_write_production(
            dir, {{vexil_fixture_text("sequence.csv", sequence)}, {{"song", VEXIL_RSRC_KIND_MUSIC, music, 0}}, {}});
        std::string audio = dir + "/audio.raw";
        captured_run r =
            capture_program({std::string(QF_BINARY_DIR) + "/quillfern"}, dir,
                            {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audio}, 60);
        ASSERT_EQ(r.exited, 1) << "the program did not end by itself\n" << r.out << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        std::string raw = vexil_fixture_read_file(audio);
        std::vector<int16_t> out(raw.size() / 2);
        memcpy(out.data(), raw.data(), out.size() * 2);
        size_t start = 0;
        while (start < out.size() / 2 && out[2 * start] == 0)
            start++;
        ASSERT_LT(start, out.size() / 2) << "no music in the output";
        // The fade row ends 1 s after its (moved) start; the clock passed it.
        const size_t row_end = c.position > 11025 ? (size_t)(RATE + c.position - 11025) : (size_t)RATE;
        EXPECT_GT(out.size() / 2, row_end);
        // With the music starting 0.5 s in, silence fills the buffers before it.
        EXPECT_GE(start, c.silence_after_it);
    }
}

}  // namespace
