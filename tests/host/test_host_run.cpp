// Every way out of the main loop closes the whole-run profiling block, so the
// report printed at exit always has its reference line: a quit event, an
// Escape key-down, Escape held without any key event (the keyboard state is
// scanned every pass), and the demo system's quit answer. Each run happens in a
// child process over SDL's dummy drivers; the demo system is never updated
// because each way out comes before the first update. The pointer the first
// pass hands the demo system is checked the same way.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/cycles_measure.h"
#include "host/sdl2_host.h"
#include "support/capture.h"
#include "support/sdl_real.h"

static bool g_hold_escape = false;
static bool g_steer_mouse = false;

// A demo system that only keeps what the loop hands it: its quit answer and
// the pointer of the last pass.
static int g_demo_quit = 0;
static host_pointer g_pointer;
static int demo_quit(void*) { return g_demo_quit; }
static void demo_pointer(void*, const host_pointer* pointer) { g_pointer = *pointer; }
static void demo_update(void*, valkyrie_context*, uint8_t*, nanokorg2_state*) {}
static void demo_end(void*) {}
static const host_demo_entry g_demo = {nullptr, demo_quit, demo_pointer, demo_update, demo_update, demo_end};

// Switching the mouse mode flushes pending motion events, so the steered
// motions are queued right after the host switches it before its first pass.
int SDL_SetRelativeMouseMode(SDL_bool enabled)
{
    int result = reinterpret_cast<int (*)(SDL_bool)>(qf_sdl_real("SDL_SetRelativeMouseMode"))(enabled);
    if (g_steer_mouse) {
        const int motions[2][2] = {{5, -3}, {-7, 2}};
        for (const auto& m : motions) {
            SDL_Event e;
            memset(&e, 0, sizeof(e));
            e.type = SDL_MOUSEMOTION;
            e.motion.xrel = m[0];
            e.motion.yrel = m[1];
            SDL_PushEvent(&e);
        }
    }
    return result;
}

// With g_steer_mouse set the pointer stands at (123, 45) with the right button down.
Uint32 SDL_GetMouseState(int* x, int* y)
{
    if (g_steer_mouse) {
        if (x)
            *x = 123;
        if (y)
            *y = 45;
        return SDL_BUTTON_RMASK;
    }
    return reinterpret_cast<Uint32 (*)(int*, int*)>(qf_sdl_real("SDL_GetMouseState"))(x, y);
}

// The host reads the keyboard state through this: with g_hold_escape set it
// sees Escape held, as after a key-down the event queue no longer shows. A
// second read means the first pass went on: that is reported, and a quit
// event keeps the test from spinning for ever.
const Uint8* SDL_GetKeyboardState(int* numkeys)
{
    static Uint8 held[SDL_NUM_SCANCODES];
    static int reads = 0;
    if (g_hold_escape) {
        // The pass has handed over its pointer by now, before the demo system's update.
        if (g_steer_mouse && reads == 0)
            printf("mouse %d %d %d %d %d\n", g_pointer.button, g_pointer.x, g_pointer.y, g_pointer.rel_dx,
                   g_pointer.rel_dy);
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
    return reinterpret_cast<const Uint8* (*)(int*)>(qf_sdl_real("SDL_GetKeyboardState"))(numkeys);
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
                g_demo_quit = 1;
            }
            printf("run %d\n", run(&platform, &g_demo, "src/sdl2_main"));
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

// The pass hands the demo system the mouse buttons, the position (640x480
// window coordinates pass unchanged) and the relative motion of the pass's
// last motion event.
TEST(HostRun, MouseReachesTheDemoSystem)
{
    captured_run r = capture_run([] {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        platform_sdl_setup(&platform);
        cycles_init();
        g_steer_mouse = true;  // two motions, the last one (-7, 2) counts
        g_hold_escape = true;  // ends the loop after the first pass's fields are seen
        run(&platform, &g_demo, "src/sdl2_main");
    });
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string head = "mouse 4 123 45 -7 2\n[100.00%]";
    EXPECT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
}

}  // namespace
