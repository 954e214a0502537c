// The program's start shared by the two entries, Linux (sdl2_main.cpp) and
// Windows (sdl2_winmain.cpp): host start-up, calibration, then the production
// or the benchmark. Main thread; its memory is the host's and the demo system's
// arenas; start-up failures exit 1 with their message.
#pragma once

// argc as main got it (any argument selects the benchmark); entry_file names
// the entry's source in the whole-run block's site. Returns the exit status.
int program_entry_main(int argc, const char* entry_file);

// Diagnostic of the display's YUV conversion, kept for checking the colour
// path by hand; the program never calls it.
void test();
