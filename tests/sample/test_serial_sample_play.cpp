// The sample production played by the quillfern program itself, from the build
// directory where the build put its packs: headless to its end with the music
// written by SDL's disk driver and compared with the stream decoded offline,
// and under a virtual X11 screen with a screenshot taken during the title.
// Runs one at a time: the program pins its main thread to CPU 0.
#include <gtest/gtest.h>

#include <algorithm>

#include <stb/stb_image.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "host/acm_ima.h"
#include "support/capture.h"
#include "vexil/vexil_fs.h"

namespace {

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The music stream as the build packed it, decoded offline: left, right, ...
std::vector<int16_t> decoded_music()
{
    const uint64_t size = 32ull << 20;
    void* block = malloc(size);
    memarena arena;
    memarena_init(&arena, "test_arena", size, block);
    vexil_fs fs{};
    std::string path = std::string(QF_BINARY_DIR) + "/assets/vexil/le/pak0.vxf";
    vexil_fs_open_file(&fs, path.c_str(), &arena);
    size_t n = 0;
    const uint8_t* stream = vexil_fs_get(&fs, VEXIL_RSRC_KIND_MUSIC, "music.ima", &n);
    std::vector<int16_t> pcm;
    if (stream) {
        acm_ima_state l, r;
        acm_ima_init_state(&l);
        acm_ima_init_state(&r);
        pcm.resize(2 * n);
        for (size_t i = 0; i < n; i++) {
            pcm[2 * i] = acm_ima_decode(&l, stream[i] & 15);
            pcm[2 * i + 1] = acm_ima_decode(&r, stream[i] >> 4);
        }
    }
    free(block);
    return pcm;
}

size_t first_sound(const int16_t* s, size_t frames)
{
    size_t i = 0;
    while (i < frames && s[2 * i] == 0 && s[2 * i + 1] == 0)
        i++;
    return i;
}

const int RATE = 22050;
// From sequence.csv: the music starts 3 s into the clock; the closing
// fade_out_music row runs from 66 s to 75 s, so the music fades from 3 s before
// 75 s on (72 s on the clock, 69 s into the music) and the program ends at 75 s.
const size_t MUSIC_START = 3 * RATE;
const size_t TIMELINE_END = 75 * RATE;
const size_t FADE_START = (72 - 3) * RATE;

TEST(SamplePlay, HeadlessPlaysToItsEndWithTheMusicFrameForFrame)
{
    std::vector<int16_t> music = decoded_music();
    ASSERT_FALSE(music.empty()) << "no music.ima in pak0";
    const size_t music_frames = music.size() / 2;

    std::string dir = capture_temp_dir();
    std::string disk = dir + "/audio.raw";
    // A short delay per 1024-frame buffer plays the 75 s time line in about 8 s.
    captured_run r = capture_program({std::string(QF_BINARY_DIR) + "/quillfern"}, QF_BINARY_DIR,
                                     {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIODELAY=5",
                                      "SDL_DISKAUDIOFILE=" + disk},
                                     240);
    ASSERT_EQ(r.exited, 1) << "killed after 240 s: the production did not end by itself\n" << r.out << r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("crash"), std::string::npos) << r.err;
    // The production ended itself: the whole-run block was closed once and is
    // the reference of the report.
    EXPECT_NE(r.out.find("[100.00%][hits:           1][cycles: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("][CYCLES_BLOCK_TOTAL]\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("unhandled"), std::string::npos) << "an ini key the scenes do not know\n" << r.out;

    std::vector<uint8_t> raw = read_file(disk);
    ASSERT_EQ(raw.size() % 4, 0u);
    const size_t frames = raw.size() / 4;
    std::vector<int16_t> out(2 * frames);
    memcpy(out.data(), raw.data(), raw.size());

    // Leading silence: whole buffers before the music was handed over, then the
    // 3 s before its start on the clock.
    size_t lead = first_sound(out.data(), frames) - first_sound(music.data(), music_frames);
    ASSERT_GE(lead, MUSIC_START);
    EXPECT_EQ((lead - MUSIC_START) % 1024, 0u) << "lead " << lead;
    // The clock ran through the whole time line after the music was handed over.
    EXPECT_GE(frames - (lead - MUSIC_START), TIMELINE_END);

    // Frame for frame equal to the offline decode until the fade begins.
    size_t same = 0;
    while (same < music_frames && lead + same < frames && out[2 * (lead + same)] == music[2 * same] &&
           out[2 * (lead + same) + 1] == music[2 * same + 1])
        same++;
    EXPECT_GE(same, FADE_START) << "the played music differs from the stream at music frame " << same;

    // The fade row's first running call sets the fade start from the music
    // position it sees: F = row length + position - 3 s. That call comes in the
    // first update whose clock reaches the row's start, and the clock moves a
    // whole buffer at a time (from a buffer boundary, asserted above), so the
    // position is a boundary at or after the start. The run's own one is the
    // first boundary whose F explains every frame of the fade exactly. The
    // levels step every 512 frames, so a fade set from another position (a
    // drift of more than a step that is no whole number of buffers) fits none.
    const long lead0 = (long)(lead - MUSIC_START);  // output frame of clock 0
    auto fits = [&](long fade) {
        // Output buffers start at clock boundaries: lead0 plus whole buffers.
        const size_t from = lead + FADE_START - 4096;
        for (size_t b = (size_t)lead0 + (from - (size_t)lead0) / 1024 * 1024; b < frames; b += 1024) {
            const long p = (long)b - (long)lead;                           // music frame of the buffer
            int level = 128;
            if (p > fade)
                level = 127 - (int)std::min<long>(127, (p - fade) >> 9);
            for (size_t k = b; k < b + 1024 && k < frames && k - lead < music_frames; k++)
                for (int c = 0; c < 2; c++) {
                    int v = music[2 * (k - lead) + (size_t)c];
                    if (out[2 * k + (size_t)c] != (level == 128 ? v : (v * level) >> 7))
                        return false;
                }
        }
        return true;
    };
    const long row_start_clock = (long)(TIMELINE_END - 9 * RATE);  // 66 s
    long first_run_clock = -1;
    // The pinned main thread may lag the audio on a loaded machine or in a
    // sanitizer build (the disk driver runs the audio ahead of real time): the
    // run's first running position is searched up to 3 s after the start.
    for (long c = (row_start_clock + 1023) / 1024 * 1024; c <= row_start_clock + 3 * RATE && first_run_clock < 0;
         c += 1024)
        // Music position c - 3 s, so F = 9 s + (c - 3 s) - 3 s.
        if (fits(c + 9 * RATE - 2 * (long)MUSIC_START))
            first_run_clock = c;
    ASSERT_GE(first_run_clock, 0) << "no first running position of the fade row explains the fade";
    printf("fade row first ran at clock %ld (%ld frames after its start; clock 0 at output frame %ld)\n",
           first_run_clock, first_run_clock - row_start_clock, lead0);
    std::filesystem::remove_all(dir);
}

bool have_tool(const char* name)
{
    std::string cmd = std::string("command -v ") + name + " > /dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

TEST(SamplePlay, UnderXvfbTheTitleIsOnScreen)
{
    for (const char* tool : {"Xvfb", "matchbox-window-manager", "import"})
        if (!have_tool(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs it); no X11 screenshot taken";
    std::string dir = capture_temp_dir();
    // The disk driver paces the music, and with it the clock, at real speed.
    // The title is on screen from 4 s to 10.5 s of the clock. Each shot is named
    // by the clock when it was taken, so the shots that must show the title are
    // known however late a loaded machine took them. -k: the program ends after
    // the last shot rather than playing its 75 s.
    const char* times[] = {"6", "7.5", "9"};
    captured_run r = capture_program({"/bin/bash", std::string(QF_SOURCE_DIR) + "/scripts/screenshot.sh", "-b",
                                      QF_BINARY_DIR, "-o", dir, "-k", times[0], times[1], times[2]},
                                     "", {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + dir + "/audio.raw"}, 60);
    ASSERT_EQ(r.exited, 1) << r.out << r.err;
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    int with_title = 0, must_have_title = 0;
    for (const char* t : times) {
        // shot-<asked>-at-<clock>.png; the clock counts the audio written, which
        // runs ahead of the production's clock by the buffers written while it
        // loaded (well under half a second).
        std::string prefix = std::string("shot-") + t + "-at-";
        std::string shot;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            std::string name = e.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() + 4 &&
                name.compare(name.size() - 4, 4, ".png") == 0)
                shot = e.path().string();
        }
        ASSERT_FALSE(shot.empty()) << "no shot for " << t << " s\n" << r.out;
        std::string stamp = shot.substr(shot.rfind("-at-") + 4);
        double clock = atof(stamp.c_str());
        EXPECT_GE(clock, atof(t) - 0.5) << shot << ": taken before it was asked for";
        int w = 0, h = 0, n = 0;
        unsigned char* px = stbi_load(shot.c_str(), &w, &h, &n, 3);
        ASSERT_NE(px, nullptr) << shot;
        EXPECT_EQ(w, 640) << shot;
        EXPECT_EQ(h, 480) << shot;
        // The title's face runs from pale gold to orange; the sky behind it is navy.
        long face = 0, lit = 0;
        for (long i = 0; i < (long)w * h; i++) {
            int R = px[3 * i], G = px[3 * i + 1], B = px[3 * i + 2];
            if (R > 200 && G > 80 && B < 170)
                face++;
            if (R + G + B > 0)
                lit++;
        }
        stbi_image_free(px);
        const bool must = clock >= 4.5 && clock <= 10.0;
        must_have_title += must;
        if (must) {
            EXPECT_GT(face, 5000) << shot << ": taken at clock " << clock << " s, inside the title's rows";
        }
        if (face > 5000) {
            with_title++;
            EXPECT_GT(lit, (long)w * h / 2) << shot << ": the title on a mostly black frame, the sky not faded in";
        }
    }
    EXPECT_GE(with_title, 1) << "the title is on none of the screenshots";
    printf("%d of the shots were taken inside the title's rows\n", must_have_title);
    std::string log;
    for (uint8_t c : read_file(dir + "/quillfern.log"))
        log += (char)c;
    EXPECT_NE(log.find("[100.00%]"), std::string::npos) << log;
    std::filesystem::remove_all(dir);
}

}  // namespace
