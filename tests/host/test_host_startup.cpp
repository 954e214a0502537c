// The host's start-up against SDL calls that fail or grant something else: the
// window, its surface and the back surface are checked (the failing call is
// named on standard error, exit 1), the audio device must be granted exactly
// the asked frequency, format and channel count (the buffer size is not
// compared), and the calls carry the window and surface parameters the display
// needs. A failed surface lock skips the composition but not the flip. This
// program defines the SDL calls it steers; each forwards to SDL's own unless
// told to fail. Every start-up runs in a child over SDL's dummy drivers.
#include <gtest/gtest.h>

#include <SDL.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/sdl2_host.h"
#include "support/capture.h"

namespace {

enum steer {
    STEER_NONE,
    STEER_WINDOW_NULL,
    STEER_WINDOW_SURFACE_NULL,
    STEER_BACK_SURFACE_NULL,
    STEER_AUDIO_FREQ,
    STEER_AUDIO_FORMAT,
    STEER_AUDIO_CHANNELS,
    STEER_AUDIO_SAMPLES,
    STEER_LOCK_FAILS,
};

steer g_steer = STEER_NONE;
char g_calls[512];  // what the host asked for, one line per steered call

void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char* fmt, ...)
{
    size_t n = strlen(g_calls);
    va_list args;
    va_start(args, fmt);
    vsnprintf(g_calls + n, sizeof g_calls - n, fmt, args);
    va_end(args);
}

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

SDL_Window* SDL_CreateWindow(const char* title, int x, int y, int w, int h, Uint32 flags)
{
    note("window \"%s\" %#x %#x %d %d %#x\n", title, (unsigned)x, (unsigned)y, w, h, (unsigned)flags);
    if (g_steer == STEER_WINDOW_NULL)
        return nullptr;
    return real<SDL_Window* (*)(const char*, int, int, int, int, Uint32)>("SDL_CreateWindow")(title, x, y, w, h, flags);
}

SDL_Surface* SDL_GetWindowSurface(SDL_Window* window)
{
    if (g_steer == STEER_WINDOW_SURFACE_NULL)
        return nullptr;
    return real<SDL_Surface* (*)(SDL_Window*)>("SDL_GetWindowSurface")(window);
}

SDL_Surface* SDL_CreateRGBSurfaceWithFormat(Uint32 flags, int width, int height, int depth, Uint32 format)
{
    note("surface %#x %d %d %d %#x\n", (unsigned)flags, width, height, depth, (unsigned)format);
    if (g_steer == STEER_BACK_SURFACE_NULL)
        return nullptr;
    return real<SDL_Surface* (*)(Uint32, int, int, int, Uint32)>("SDL_CreateRGBSurfaceWithFormat")(flags, width, height,
                                                                                                 depth, format);
}

SDL_AudioDeviceID SDL_OpenAudioDevice(const char* device, int iscapture, const SDL_AudioSpec* desired,
                                      SDL_AudioSpec* obtained, int allowed_changes)
{
    note("audio %s %d %d %#x %d %d %d %d %d\n", device ? device : "(default)", iscapture, desired->freq,
         (unsigned)desired->format, desired->channels, desired->samples, desired->callback == audio_callback,
         desired->userdata == nullptr, allowed_changes);
    SDL_AudioDeviceID id = real<SDL_AudioDeviceID (*)(const char*, int, const SDL_AudioSpec*, SDL_AudioSpec*, int)>(
        "SDL_OpenAudioDevice")(device, iscapture, desired, obtained, allowed_changes);
    if (g_steer == STEER_AUDIO_FREQ)
        obtained->freq = 44100;
    if (g_steer == STEER_AUDIO_FORMAT)
        obtained->format = AUDIO_S16MSB;
    if (g_steer == STEER_AUDIO_CHANNELS)
        obtained->channels = 1;
    if (g_steer == STEER_AUDIO_SAMPLES)
        obtained->samples = 512;
    return id;
}

int SDL_LockSurface(SDL_Surface* surface)
{
    if (g_steer == STEER_LOCK_FAILS)
        return -1;
    return real<int (*)(SDL_Surface*)>("SDL_LockSurface")(surface);
}

namespace {

const char* const CALLS =
    "audio (default) 0 22050 0x8010 2 1024 1 1 0\n"
    "window \"Window\" 0x1fff0000 0x1fff0000 0 0 0x1001\n"
    "surface 0 640 480 0 0x16462004\n";

TEST(HostStartUp, FailingAndMismatchedCalls)
{
    const struct {
        steer s;
        int status;
        const char* err;
        const char* why;
    } cases[] = {
        {STEER_NONE, 0, "", "everything granted"},
        {STEER_WINDOW_NULL, 1, "SDL_CreateWindow failed\n", "no window"},
        {STEER_WINDOW_SURFACE_NULL, 1, "SDL_GetWindowSurface failed\n", "no window surface"},
        {STEER_BACK_SURFACE_NULL, 1, "SDL_CreateRGBSurfaceWithFormat failed\n", "no back surface"},
        {STEER_AUDIO_FREQ, 1, "freq/format/ch not as desired\n", "another frequency"},
        {STEER_AUDIO_FORMAT, 1, "freq/format/ch not as desired\n", "another format"},
        {STEER_AUDIO_CHANNELS, 1, "freq/format/ch not as desired\n", "another channel count"},
        {STEER_AUDIO_SAMPLES, 0, "", "another buffer size is accepted"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            setenv("SDL_VIDEODRIVER", "dummy", 1);
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            g_steer = c.s;
            platform_sdl_setup(&platform);
            printf("%sset up %d\n", g_calls, platform.valkyrie_context.overlay.b != nullptr);
            SDL_Quit();
        });
        EXPECT_TRUE(r.exited) << c.why;
        EXPECT_EQ(r.status, c.status) << c.why;
        EXPECT_EQ(r.err, c.err) << c.why;
        if (c.status == 0) {
            EXPECT_EQ(r.out, std::string(CALLS) + "set up 1\n") << c.why;
        } else {
            EXPECT_EQ(r.out, "") << c.why;
        }
    }
}

TEST(HostStartUp, FailedLockSkipsTheCompositionNotTheFlip)
{
    captured_run r = capture_run([] {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        platform_sdl_setup(&platform);
        SDL_Surface* back = platform.backbuffer;
        memset(back->pixels, 0xAB, (size_t)back->pitch * back->h);
        g_steer = STEER_LOCK_FAILS;
        host_vblank_present(&platform);
        const uint8_t* px = static_cast<const uint8_t*>(back->pixels);
        int touched = 0;
        for (int i = 0; i < back->pitch * back->h; i++)
            touched += px[i] != 0xAB;
        g_steer = STEER_NONE;
        host_vblank_present(&platform);
        uint32_t first;
        memcpy(&first, back->pixels, 4);
        printf("back page %d touched %d then %#x\n", platform.valkyrie_context.video_backpage, touched,
               (unsigned)first);
        SDL_Quit();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "back page 0 touched 0 then 0xff\n") << "two flips; only the locked one composes (black)";
}

}  // namespace
