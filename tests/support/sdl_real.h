// Test support for programs that stand in front of SDL functions by defining
// them: the real function behind such a definition. On Linux the definition
// interposes at dynamic link time and the real one is the next in lookup order;
// on Windows it wins at static link time (SDL's headers import nothing) and the
// real one is SDL2.dll's export of that name. Null when there is none.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
inline void* qf_sdl_real(const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("SDL2.dll"), name));
}
#else
#include <dlfcn.h>
inline void* qf_sdl_real(const char* name) { return dlsym(RTLD_NEXT, name); }
#endif
