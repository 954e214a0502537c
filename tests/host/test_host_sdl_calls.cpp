// The host against SDL calls that this program steers or watches (it defines
// them; each forwards to SDL's own unless told to fail). Start-up: the window,
// its surface and the back surface are checked (the failing call is named on
// standard error, exit 1), the audio device must be granted exactly the asked
// frequency, format and channel count (the buffer size is not compared), and
// the calls carry the parameters the display needs. A failed surface lock
// skips the composition but not the flip. The main loop: each vertical blank
// runs the demo system's update before the flip, then locks, composes,
// unlocks, presents and updates the window; at exit the report comes before
// the window is destroyed and SDL is shut down. Every run happens in a child
// over SDL's dummy drivers.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "host/sdl2_host.h"
#include "support/capture.h"
#include "support/sdl_real.h"

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
    STEER_AUDIO_NONE,
    STEER_LOCK_FAILS,
};

steer g_steer = STEER_NONE;
char g_calls[512];  // what the host asked for, one line per steered call
// While the main loop runs: one letter per watched call, and a quit event
// pushed after the third presented frame.
bool g_watch = false;
std::string g_seq;
int g_frames = 0;

// The demo system of the loop test: its vertical-blank update picks the
// display's back page as its drawing page, as the production's does; -1 while
// none is picked.
int g_drawn_page = -1;
int demo_quit(void*) { return 0; }
void demo_pointer(void*, const host_pointer*) {}
void demo_update(void*, valkyrie_context*, uint8_t*, nanokorg2_state*) {}
void demo_vblank_update(void*, valkyrie_context* video, uint8_t*, nanokorg2_state*)
{
    g_drawn_page = video->video_backpage & 1;
}
void demo_end(void*) {}
const host_demo_entry g_demo = {nullptr, demo_quit, demo_pointer, demo_update, demo_vblank_update, demo_end};

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
    return reinterpret_cast<F>(qf_sdl_real(name));
}

}  // namespace

int SDL_Init(Uint32 flags)
{
    note("init %#x\n", (unsigned)flags);
    return real<int (*)(Uint32)>("SDL_Init")(flags);
}

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
    if (g_steer == STEER_AUDIO_NONE) {
        SDL_SetError("steered: no sound device");
        return 0;
    }
    return id;
}

int SDL_LockSurface(SDL_Surface* surface)
{
    if (g_watch) {
        // The vertical-blank update chose its drawing page before the flip: the
        // page it drew into is the one now shown.
        int bp = platform.valkyrie_context.video_backpage;
        const char* drawn = g_drawn_page == (bp ^ 1) ? "s" : g_drawn_page >= 0 ? "d" : "-";
        g_seq += "L" + std::to_string(bp) + drawn;
    }
    if (g_steer == STEER_LOCK_FAILS)
        return -1;
    return real<int (*)(SDL_Surface*)>("SDL_LockSurface")(surface);
}

// Every counter read forgets the demo system's drawing page: the pacing reads
// come after the pass's update, so the page seen at the lock is the one the
// vertical-blank update picked between the last read and the flip.
Uint64 SDL_GetPerformanceCounter(void)
{
    if (g_watch)
        g_drawn_page = -1;
    return real<Uint64 (*)(void)>("SDL_GetPerformanceCounter")();
}

void SDL_UnlockSurface(SDL_Surface* surface)
{
    if (g_watch)
        g_seq += "U";
    real<void (*)(SDL_Surface*)>("SDL_UnlockSurface")(surface);
}

int SDL_UpperBlitScaled(SDL_Surface* src, const SDL_Rect* srcrect, SDL_Surface* dst, SDL_Rect* dstrect)
{
    if (g_watch)
        g_seq += "B";
    return real<int (*)(SDL_Surface*, const SDL_Rect*, SDL_Surface*, SDL_Rect*)>("SDL_UpperBlitScaled")(src, srcrect,
                                                                                                        dst, dstrect);
}

int SDL_UpdateWindowSurface(SDL_Window* window)
{
    if (g_watch) {
        g_seq += "W" + std::to_string(frame_counter) + " ";
        if (++g_frames == 3) {
            SDL_Event quit;
            memset(&quit, 0, sizeof quit);
            quit.type = SDL_QUIT;
            SDL_PushEvent(&quit);
        }
    }
    return real<int (*)(SDL_Window*)>("SDL_UpdateWindowSurface")(window);
}

void SDL_PauseAudioDevice(SDL_AudioDeviceID dev, int pause_on)
{
    if (g_watch)
        g_seq += "P" + std::to_string(pause_on) + " ";
    real<void (*)(SDL_AudioDeviceID, int)>("SDL_PauseAudioDevice")(dev, pause_on);
}

void SDL_DestroyWindow(SDL_Window* window)
{
    if (g_watch)
        printf("%s\ndestroy window\n", g_seq.c_str());
    real<void (*)(SDL_Window*)>("SDL_DestroyWindow")(window);
}

void SDL_Quit(void)
{
    if (g_watch)
        printf("quit\n");
    real<void (*)(void)>("SDL_Quit")();
}

namespace {

const char* const CALLS = "init 0x30\n"
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
        {STEER_AUDIO_NONE, 1, "SDL_OpenAudioDevice failed\nsteered: no sound device\n", "no device, SDL's reason"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            setenv("SDL_VIDEODRIVER", "dummy", 1);
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            g_steer = c.s;
            platform_sdl_setup(&platform);
            printf("%sset up %s %lu %d\n", g_calls, platform.arena.name, (unsigned long)platform.arena.size,
                   platform.valkyrie_context.overlay.b != nullptr);
            SDL_Quit();
        });
        EXPECT_TRUE(r.exited) << c.why;
        EXPECT_EQ(r.status, c.status) << c.why;
        EXPECT_EQ(r.err, c.err) << c.why;
        if (c.status == 0) {
            EXPECT_EQ(r.out, std::string(CALLS) + "set up platform_arena 10485760 1\n") << c.why;
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

TEST(HostLoop, VerticalBlankAndExitOrder)
{
    captured_run r = capture_run([] {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        platform_sdl_setup(&platform);
        g_watch = true;
        printf("run %d\n", run(&platform, &g_demo, "src/sdl2_main"));
    });
    EXPECT_EQ(r.status, 0) << r.err;
    // The device plays from just before the first pass; each vertical blank:
    // flip (back page 1, 0, 1 at the lock), lock with the drawn page shown,
    // unlock, scaled blit, window update; the quit event after the third ends
    // the loop, and the reports (cycle blocks, then the renderer's total with
    // no rasterizer called) precede the shutdown.
    // The calls are listed when the window is destroyed, after the report.
    const std::regex want("^\\[100\\.00%\\]\\[hits:           1\\]\\[cycles: +[0-9]+\\]\\[<cycles>: +[0-9.]+\\]"
                          "\\[CYCLES_BLOCK_TOTAL\\]\n"
                          "total cycles: [0-9]+\\.000000\n"
                          "P0 L1sUBW1 L0sUBW2 L1sUBW3 \n"
                          "destroy window\nquit\nrun 0\n$");
    EXPECT_TRUE(std::regex_match(r.out, want)) << r.out;
}

}  // namespace
