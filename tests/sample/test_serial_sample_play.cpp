// The sample production played by the quillfern program itself, from the build
// directory where the build put its packs: headless to its end with the music
// written by SDL's disk driver and compared with the stream decoded offline,
// and under a virtual X11 screen with screenshots taken during the title and
// across the video scenes.
// Runs one at a time: the program pins its main thread to CPU 0.
#include <gtest/gtest.h>

#include <algorithm>

#include <stb/stb_image.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "host/acm_ima.h"
#include "support/capture.h"
#include "support/windows_skip.h"
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
// fade_out_music row runs from 82 s to 91 s, so the music fades from 3 s before
// 91 s on (88 s on the clock, 85 s into the music) and the program ends at 91 s.
const size_t MUSIC_START = 3 * RATE;
const size_t TIMELINE_END = 91 * RATE;
const size_t FADE_START = (88 - 3) * RATE;

TEST(SamplePlay, HeadlessPlaysToItsEndWithTheMusicFrameForFrame)
{
    std::vector<int16_t> music = decoded_music();
    ASSERT_FALSE(music.empty()) << "no music.ima in pak0";
    const size_t music_frames = music.size() / 2;

    std::string dir = capture_temp_dir();
    // A short delay per 1024-frame buffer plays the 91 s time line in about 10 s.
#if defined(_WIN32)
    // SDL 2.26 on Windows reads every variable into one buffer, so the disk
    // driver's file name is overwritten by the delay it reads next: both are
    // given one text, a file name in the program's working directory whose
    // leading 5 is the delay.
    const std::string delay_file = "5_sample_play_audio.raw";
    std::string disk = std::string(QF_BINARY_DIR) + "/" + delay_file;
    std::vector<std::string> env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIODELAY=" + delay_file,
                                    "SDL_DISKAUDIOFILE=" + delay_file};
#else
    std::string disk = dir + "/audio.raw";
    std::vector<std::string> env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIODELAY=5",
                                    "SDL_DISKAUDIOFILE=" + disk};
#endif
    captured_run r = capture_program({std::string(QF_BINARY_DIR) + "/quillfern"}, QF_BINARY_DIR, env, 240);
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
            const long p = (long)b - (long)lead;  // music frame of the buffer
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
    const long row_start_clock = (long)(TIMELINE_END - 9 * RATE);  // 82 s
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
    std::filesystem::remove(disk);
    std::filesystem::remove_all(dir);
}

bool have_tool(const char* name)
{
    std::string cmd = std::string("command -v ") + name + " > /dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

TEST(SamplePlay, UnderXvfbTheTitleIsOnScreen)
{
    QF_SKIP_ON_WINDOWS("the screenshot script runs the Linux program in a window on Xvfb");
    for (const char* tool : {"Xvfb", "matchbox-window-manager", "import"})
        if (!have_tool(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs it); no X11 screenshot taken";
    std::string dir = capture_temp_dir();
    // The disk driver paces the music, and with it the clock, at real speed.
    // The title is on screen from 4 s to 10.5 s of the clock. Each shot is named
    // by the clock when it was taken, so the shots that must show the title are
    // known however late a loaded machine took them. -k: the program ends after
    // the last shot rather than playing its 91 s.
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

// A screenshot as RGB pixels with the measures the checks below use.
struct shot_image {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    bool load(const std::string& path)
    {
        int n = 0;
        unsigned char* p = stbi_load(path.c_str(), &w, &h, &n, 3);
        if (!p)
            return false;
        px.assign(p, p + (size_t)w * h * 3);
        stbi_image_free(p);
        return true;
    }
    const uint8_t* at(int x, int y) const { return &px[((size_t)y * w + x) * 3]; }
    // Share of the pixels of [x0, x1) x [y0, y1) for which pred(r, g, b) holds.
    template <typename F>
    double share(int x0, int y0, int x1, int y1, F pred) const
    {
        long n = 0, hit = 0;
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++, n++) {
                const uint8_t* c = at(x, y);
                hit += pred((int)c[0], (int)c[1], (int)c[2]);
            }
        return n ? (double)hit / n : 0.0;
    }
    size_t distinct(int x0, int y0, int x1, int y1) const
    {
        std::set<uint32_t> seen;
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) {
                const uint8_t* c = at(x, y);
                seen.insert((uint32_t)c[0] << 16 | (uint32_t)c[1] << 8 | c[2]);
            }
        return seen.size();
    }
    // Share of the most frequent colour.
    double top_colour_share() const
    {
        std::map<uint32_t, long> count;
        long best = 0;
        for (size_t i = 0; i < px.size(); i += 3)
            best = std::max(best, ++count[(uint32_t)px[i] << 16 | (uint32_t)px[i + 1] << 8 | px[i + 2]]);
        return (double)best / ((double)w * h);
    }
};

// The video scenes under a virtual X11 screen: shots across the tunnel, the
// bump-mapped plate over its background, the datapack and the greetings, each
// checked for what its scene must show. The disk driver runs at twice real
// speed (a 23 ms delay per 46 ms buffer), so the section passes in about 13 s;
// shots are classified by the clock they were taken at, inside each scene's
// rows with a margin either side. Screen pixels are the 320 x 240 page doubled.
TEST(SamplePlay, UnderXvfbTheVideoScenesShowWhatTheyDraw)
{
    QF_SKIP_ON_WINDOWS("the screenshot script runs the Linux program in a window on Xvfb");
    for (const char* tool : {"Xvfb", "matchbox-window-manager", "import"})
        if (!have_tool(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs it); no X11 screenshot taken";
    std::string dir = capture_temp_dir();
    std::vector<std::string> args = {
        "/bin/bash", std::string(QF_SOURCE_DIR) + "/scripts/screenshot.sh", "-b", QF_BINARY_DIR, "-o", dir, "-k"};
    // From about clock 50 s to 84 s: past the greetings' end, so that a loaded
    // machine, whose clock runs behind the shots, still has shots inside them.
    for (int i = 0; i <= 34; i++)
        args.push_back(std::to_string(25.0 + 0.5 * i).substr(0, 4));
    captured_run r = capture_program(
        args, "", {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIODELAY=23", "SDL_DISKAUDIOFILE=" + dir + "/audio.raw"}, 120);
    ASSERT_EQ(r.exited, 1) << r.out << r.err;
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // A shot's stamp counts all the audio written, the silence written while the
    // production loaded included; the production's clock 0 is the output frame
    // the music's lead-in says (as in the headless test above).
    std::vector<int16_t> music = decoded_music();
    ASSERT_FALSE(music.empty());
    std::vector<uint8_t> raw = read_file(dir + "/audio.raw");
    std::vector<int16_t> out(raw.size() / 2);
    memcpy(out.data(), raw.data(), out.size() * 2);
    const size_t sound = first_sound(out.data(), out.size() / 2);
    ASSERT_LT(sound, out.size() / 2) << "no music in the audio written";
    const double clock0 =
        ((double)sound - (double)first_sound(music.data(), music.size() / 2) - (double)MUSIC_START) / RATE;
    ASSERT_GE(clock0, 0.0);
    printf("the production's clock 0 came %.2f s into the audio\n", clock0);

    enum { TUNNEL, BUMPMAP, DATAPACK, GREETINGS, SCENES };
    // Clock windows inside each scene's rows (sequence.csv), 0.8 s or more from their edges.
    const double windows[SCENES][2] = {{51.8, 56.2}, {58.8, 62.2}, {63.8, 66.2}, {67.8, 78.2}};
    const char* names[SCENES] = {"tunnel", "bump map", "datapack", "greetings"};
    int seen[SCENES] = {};
    int greetings_with_text = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        size_t at = name.rfind("-at-");
        if (name.rfind("shot-", 0) != 0 || at == std::string::npos || name.size() < 4 ||
            name.compare(name.size() - 4, 4, ".png") != 0)
            continue;
        double clock = atof(name.c_str() + at + 4) - clock0;
        int scene = -1;
        for (int k = 0; k < SCENES; k++)
            if (clock >= windows[k][0] && clock <= windows[k][1])
                scene = k;
        if (scene < 0)
            continue;
        seen[scene]++;
        shot_image im;
        ASSERT_TRUE(im.load(e.path().string())) << name;
        ASSERT_EQ(im.w, 640) << name;
        ASSERT_EQ(im.h, 480) << name;
        const std::string what = name + " (" + names[scene] + ")";
        // The greetings' dots are black, and the datapack's ground one dark plum.
        EXPECT_LT(im.top_colour_share(), scene == GREETINGS  ? 0.6
                                         : scene == DATAPACK ? 0.45
                                                             : 0.25)
            << what << ": mostly one colour";
        // Brass, lit or in shadow; the nebula's rose has more blue than green.
        auto warm = [](int R, int G, int B) { return R > B + 15 && G >= B; };
        auto blueish = [](int R, int G, int B) { return B > G + 15 && B + 10 >= R / 2; };
        switch (scene) {
        case TUNNEL: {
            // Spiral arms in four hues, saturated over the whole screen.
            EXPECT_GT(im.distinct(0, 0, 640, 480), 200u) << what;
            EXPECT_GT(im.share(0, 0, 640, 480,
                               [](int R, int G, int B) {
                                   return std::max({R, G, B}) - std::min({R, G, B}) > 60;
                               }),
                      0.6)
                << what;
            double teal = im.share(0, 0, 640, 480, [](int R, int G, int B) { return G > R + 30 && B > R + 30; });
            double violet = im.share(0, 0, 640, 480, [](int R, int G, int B) { return B > G + 50 && B > R; });
            double magenta = im.share(0, 0, 640, 480, [](int R, int G, int B) { return R > G + 60 && B > G + 30; });
            double gold = im.share(0, 0, 640, 480, [](int R, int G, int B) { return R > B + 50 && G > B + 20; });
            int hues = (teal > 0.03) + (violet > 0.03) + (magenta > 0.03) + (gold > 0.03);
            EXPECT_GE(hues, 3) << what << ": teal " << teal << " violet " << violet << " magenta " << magenta
                               << " gold " << gold;
            break;
        }
        case BUMPMAP: {
            // The plate stands at page (5, 0): brass right of the porthole, lit
            // and shadowed relief, the nebula in the porthole and above the plate.
            EXPECT_GT(im.share(340, 90, 560, 390, warm), 0.5) << what << ": no brass plate";
            EXPECT_GT(im.share(340, 90, 560, 390, [](int R, int, int) { return R > 220; }), 0.01)
                << what << ": no lit edges";
            EXPECT_GT(im.share(340, 90, 560, 390, [](int R, int, int) { return R < 130; }), 0.01)
                << what << ": no shadowed edges";
            // The porthole's centre (page 97, 120) and the band above the plate.
            EXPECT_LT(im.share(150, 200, 240, 280, warm), 0.1) << what << ": the porthole is not open";
            EXPECT_GT(im.share(150, 200, 240, 280, [](int R, int G, int B) { return R + G + B > 60; }), 0.5)
                << what << ": the porthole is dark";
            EXPECT_LT(im.share(0, 0, 640, 40, warm), 0.15) << what;
            EXPECT_GT(im.distinct(0, 0, 640, 40), 20u) << what << ": no background above the plate";
            break;
        }
        case DATAPACK: {
            // The dusk sky over the top rows, the sculpture in the middle: its
            // pixels differ from the sky at the left edge of their row.
            EXPECT_GT(im.share(0, 0, 640, 60, blueish), 0.7) << what << ": no sky at the top";
            long differ = 0, n = 0;
            for (int y = 120; y < 420; y++) {
                const uint8_t* edge = im.at(8, y);
                for (int x = 220; x < 420; x++, n++) {
                    const uint8_t* c = im.at(x, y);
                    differ += std::abs(c[0] - edge[0]) + std::abs(c[1] - edge[1]) + std::abs(c[2] - edge[2]) > 60;
                }
            }
            EXPECT_GT((double)differ / n, 0.2) << what << ": no sculpture in the middle";
            EXPECT_GT(im.distinct(0, 0, 640, 480), 100u) << what;
            break;
        }
        case GREETINGS: {
            // The dot matrix over page columns 99..222, rows 47..153: mostly
            // black dots, grey lettering; the backdrop round it.
            EXPECT_GT(im.share(200, 96, 444, 306, [](int R, int G, int B) { return R + G + B == 0; }), 0.5)
                << what << ": no dot matrix";
            double text = im.share(200, 96, 444, 306, [](int R, int G, int B) {
                return R > 90 && std::abs(R - G) < 12 && std::abs(G - B) < 12;
            });
            greetings_with_text += text > 0.002;
            EXPECT_GT(im.share(0, 0, 640, 60, blueish), 0.7) << what << ": no backdrop above the dot matrix";
            break;
        }
        }
    }
    for (int k = 0; k < SCENES; k++)
        EXPECT_GE(seen[k], 1) << "no shot inside the " << names[k] << "\n" << r.out;
    EXPECT_GE(greetings_with_text, 1) << "no greeting on any shot of the greetings";
    std::filesystem::remove_all(dir);
}

}  // namespace
