// The quillfern program run headless: it starts, runs its loop, and a SIGTERM
// (a quit event) ends it with status 0 and the cycle-block report; start-up
// failures of SDL and of the audio device exit 1 with their message. Runs one
// at a time: the program pins its main thread to CPU 0.
#include <gtest/gtest.h>

#include <SDL.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "app/host_program.h"
#include "support/windows_skip.h"

namespace {

// Runs that a signal ends (SIGTERM is SDL's quit event) have no counterpart
// there: nothing sends one program a signal, and headless wine has no console
// for a Ctrl-C.
#define QF_SKIP_NO_SIGNAL "ending the running program takes a signal, which Windows cannot send it"

const std::vector<std::string> HEADLESS = {"SDL_VIDEODRIVER=dummy"};

std::vector<std::string> with(std::vector<std::string> env, std::initializer_list<std::string> more)
{
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

TEST(ProgramHeadless, QuitEventEndsWithStatusZeroAndTheReport)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_NO_SIGNAL);
    std::string dir = host_program_workdir();
    std::string disk_file = dir + "/audio.raw";
    struct {
        const char* why;
        std::vector<std::string> env;
    } cases[] = {
        {"dummy audio", with(HEADLESS, {"SDL_AUDIODRIVER=dummy"})},
        {"disk audio", with(HEADLESS, {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + disk_file})},
    };
    for (auto& c : cases) {
        captured_run r = host_program_run_then_term({}, dir, c.env, 2000);
        EXPECT_EQ(r.exited, 1) << c.why << " " << r.err;
        EXPECT_EQ(r.status, 0) << c.why << " " << r.err;
        // The whole-run block is closed on a quit event too: the report has its
        // reference line and no share divided by zero.
        EXPECT_NE(r.out.find("[100.00%][hits:           1][cycles: "), std::string::npos) << c.why << r.out;
        EXPECT_NE(r.out.find("[CYCLES_BLOCK_TOTAL]\n"), std::string::npos) << c.why << r.out;
        EXPECT_EQ(r.out.find("inf"), std::string::npos) << c.why << r.out;
        EXPECT_EQ(r.out.find("nan"), std::string::npos) << c.why << r.out;
        EXPECT_EQ(r.out.find("unnamed block at"), std::string::npos) << c.why;
    }
    // The audio callback ran: the disk driver wrote whole stereo 16-bit frames.
    struct stat st;
    ASSERT_EQ(stat(disk_file.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
    EXPECT_EQ(st.st_size % 4, 0);
    host_program_remove_dir(dir);
}

TEST(ProgramHeadless, InterruptEndsTheProcessAtOnce)
{
    QF_SKIP_ON_WINDOWS("the Windows build keeps SDL's interrupt handler (HostInterrupt tests it there)");
    // SIGINT is back at its default action: no quit event, no report.
    std::string dir = host_program_workdir();
    captured_run r = host_program_run_then_term({}, dir, with(HEADLESS, {"SDL_AUDIODRIVER=dummy"}), 1500, SIGINT);
    EXPECT_EQ(r.exited, 0) << r.out << r.err;
    EXPECT_EQ(r.status, SIGINT);
    EXPECT_EQ(r.out, "");
    host_program_remove_dir(dir);
}

TEST(ProgramHeadless, StartUpFailures)
{
    std::string dir = host_program_workdir();
    struct {
        const char* why;
        std::vector<std::string> env;
        const char* err;  // a regular expression for all of standard error
    } cases[] = {
        {"an audio driver that does not exist", with(HEADLESS, {"SDL_AUDIODRIVER=no_such_driver"}),
         "SDL_Init failed\n"},
        // SDL's own reason follows on the next line (the system's error may follow the path).
        {"the disk driver writing to an unwritable path",
         with(HEADLESS, {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=/nonexistent_qf_dir/sub/audio.raw"}),
         "SDL_OpenAudioDevice failed\nCouldn't open /nonexistent_qf_dir/sub/audio\\.raw[^\n]*\n"},
    };
    for (auto& c : cases) {
        captured_run r = capture_program({host_program_path()}, dir, c.env, 30);
        EXPECT_EQ(r.exited, 1) << c.why;
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << c.why << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.why;
    }
    host_program_remove_dir(dir);
}

TEST(ProgramHeadless, VerticalBlanksReachTheWindow)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_NO_SIGNAL);
    // The dummy video driver saves every presented window surface as a BMP.
    std::string dir = host_program_workdir();
    captured_run r = host_program_run_then_term(
        {}, dir, with(HEADLESS, {"SDL_AUDIODRIVER=dummy", "SDL_VIDEO_DUMMY_SAVE_FRAMES=1"}), 1200);
    EXPECT_EQ(r.exited, 1) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> frames = capture_list_dir(dir, "SDL_window", ".bmp");
    // About 60 a second once running; the start-up and a slow sanitizer build
    // leave far fewer, but a run of over a second presents several.
    EXPECT_GE(frames.size(), 3u);
    if (!frames.empty()) {
        SDL_Surface* s = SDL_LoadBMP((dir + "/" + frames.back()).c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->w * 3, s->h * 4) << "the window surface of the 4:3 dummy desktop";
        SDL_FreeSurface(s);
    }
    host_program_remove_dir(dir);
}

}  // namespace
