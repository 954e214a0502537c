// Every way out of the main loop closes the whole-run profiling block, so the
// report printed at exit always has its reference line: a quit event, an
// Escape key-down, Escape held without any key event (the keyboard state is
// scanned every pass), and the demo system's quit field. Each run happens in a
// child process over SDL's dummy drivers; the demo system is never updated
// because each way out comes before the first update.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/cycles_measure.h"
#include "host/sdl2_host.h"
#include "support/capture.h"

static bool g_hold_escape = false;

// The host reads the keyboard state through this: with g_hold_escape set it
// sees Escape held, as after a key-down the event queue no longer shows. A
// second read means the first pass went on: that is reported, and a quit
// event keeps the test from spinning for ever.
const Uint8* SDL_GetKeyboardState(int* numkeys)
{
    static Uint8 held[SDL_NUM_SCANCODES];
    static int reads = 0;
    if (g_hold_escape) {
        if (++reads == 2) {
            printf("held Escape did not end the loop\n");
            SDL_Event quit;
            memset(&quit, 0, sizeof quit);
            quit.type = SDL_QUIT;
            SDL_PushEvent(&quit);
        }
        held[SDL_SCANCODE_ESCAPE] = 1;
        if (numkeys)
            *numkeys = SDL_NUM_SCANCODES;
        return held;
    }
    return reinterpret_cast<const Uint8* (*)(int*)>(dlsym(RTLD_NEXT, "SDL_GetKeyboardState"))(numkeys);
}

namespace {

enum way_out { QUIT_EVENT, ESCAPE_KEY_DOWN, ESCAPE_HELD, DEMOSYS_QUIT };

TEST(HostRun, EveryWayOutClosesTheWholeRunBlock)
{
    const struct {
        way_out way;
        const char* why;
    } cases[] = {
        {QUIT_EVENT, "quit event (SIGTERM, window close)"},
        {ESCAPE_KEY_DOWN, "Escape key-down"},
        {ESCAPE_HELD, "Escape held, no key event"},
        {DEMOSYS_QUIT, "the production ended itself"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            setenv("SDL_VIDEODRIVER", "dummy", 1);
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            platform_sdl_setup(&platform);
            cycles_init();
            memset(&demosys, 0, sizeof(demosys));
            SDL_Event e;
            memset(&e, 0, sizeof(e));
            if (c.way == QUIT_EVENT) {
                e.type = SDL_QUIT;
                SDL_PushEvent(&e);
            } else if (c.way == ESCAPE_KEY_DOWN) {
                e.type = SDL_KEYDOWN;
                e.key.state = SDL_PRESSED;
                e.key.keysym.sym = SDLK_ESCAPE;
                SDL_PushEvent(&e);
            } else if (c.way == ESCAPE_HELD) {
                g_hold_escape = true;
            } else {
                demosys.quit = 1;
            }
            printf("run %d\n", run(&platform, "src/sdl2_main"));
        });
        EXPECT_EQ(r.status, 0) << c.why << r.err;
        const std::string head = "[100.00%][hits:           1][cycles: ";
        EXPECT_EQ(r.out.compare(0, head.size(), head), 0) << c.why << "\n" << r.out;
        EXPECT_NE(r.out.find("[CYCLES_BLOCK_TOTAL]\n"), std::string::npos) << c.why;
        EXPECT_EQ(r.out.find("inf"), std::string::npos) << c.why;
        EXPECT_EQ(r.out.find("nan"), std::string::npos) << c.why;
        EXPECT_NE(r.out.find("run 0\n"), std::string::npos) << c.why;
    }
}

}  // namespace
