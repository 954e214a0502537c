// The program entry of the Linux build (the Windows one is sdl2_winmain.cpp):
// the program's start, with this file named in the whole-run block's site.
// Main thread; failures exit 1 with their message.
#include <SDL.h>

#include "app/program_entry.h"

int main(int argc, char** argv)
{
    (void)argv;
    return program_entry_main(argc, "src/sdl2_main");
}
