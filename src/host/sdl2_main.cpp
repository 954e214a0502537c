// The program entry of the Linux build: the host's start-up, the cycle counter's
// calibration, then the production through the demo system (no argument) or
// the renderer benchmark (any argument). Main thread; failures exit 1 with
// their message (sdl2_host.h).
#include <cstdio>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "host/sdl2_host.h"

int main(int argc, char** argv)
{
    (void)argv;
    platform_sdl_setup(&platform);
    cycles_init();
    if (argc < 2) {
        if (demosys_init(&demosys, &platform.valkyrie_context) != 0) {
            printf("failed init demosys\n");
            crash_exit(1);
        }
        return run(&platform, "src/sdl2_main");
    }
    crash_fail(2, "benchmark not available\n");
}
