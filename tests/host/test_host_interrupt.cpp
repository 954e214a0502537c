// The interrupt signal after the host's start-up. The Linux build sets it back
// to its default action: an interrupt ends the process at once, without the
// exit sequence. The Windows build leaves SDL's handler in place, which turns an
// interrupt into a quit event that the main loop ends on. The run happens in a
// child over SDL's dummy drivers.
#include <gtest/gtest.h>

#include <SDL.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "host/sdl2_host.h"
#include "support/capture.h"

TEST(HostInterrupt, AfterStartUp)
{
    captured_run r = capture_run([] {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        platform_sdl_setup(&platform);
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
        }
        printf("raising\n");
        fflush(stdout);
        raise(SIGINT);
        int quit = 0;
        SDL_PumpEvents();
        while (SDL_PollEvent(&e))
            quit |= e.type == SDL_QUIT;
        printf("quit event %d\n", quit);
    });
#if defined(_WIN32)
    EXPECT_EQ(r.exited, 1);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "raising\nquit event 1\n");
#else
    EXPECT_EQ(r.exited, 0);
    EXPECT_EQ(r.status, SIGINT);
    EXPECT_EQ(r.out, "raising\n");
#endif
}
