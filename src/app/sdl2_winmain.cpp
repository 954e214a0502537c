// The program entry of the Windows build (the Linux one is sdl2_main.cpp): the
// program's start, with this file named in the whole-run block's site, and
// the two exported values by which the graphics drivers of a machine with two
// graphics processors run the program on the high-performance one. The entry
// is this main itself (SDL's own Windows entry is not linked). Main thread;
// failures exit 1 with their message.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <cstdint>

#include "app/program_entry.h"

extern "C" {
__declspec(dllexport) uint32_t NvOptimusEnablement = 1;
__declspec(dllexport) uint32_t AmdPowerXpressRequestHighPerformance = 1;
}

int main(int argc, char** argv)
{
    (void)argv;
    SDL_SetMainReady();
    return program_entry_main(argc, __FILE__);
}
