// The SDL2 host shared by the program entries: start-up (SDL, platform arena,
// audio device, window, back surface, display emulation), the busy main loop
// paced at 60 Hz driving the demo system through the entry points the program
// hands it (host_demo_entry), the vertical blank (flip, compose, present) and
// the exit with the reports. Main thread, except audio_callback on SDL's audio
// thread. Memory: the 10 MiB "platform_arena" from the C heap. Start-up
// failures print the failed call on standard error, exit 1.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "core/memarena.h"
#include "host/nanokorg2.h"
#include "host/valkyrie_context.h"

#define PLATFORM_ARENA_SIZE 10485760ull  // 10 MiB
#define HOST_TARGET_FPS 60

struct platform {
    memarena arena;  // "platform_arena": the display emulation's planes and tables
    struct valkyrie_context valkyrie_context;
    SDL_AudioDeviceID audio_device;
    SDL_Surface* window_surface;
    SDL_Window* window;
    SDL_Surface* backbuffer;  // 640x480 RGBA8888, blend mode NONE; each frame is composed into it
};

extern struct platform platform;
extern const int screen_width;     // 640
extern const int screen_height;    // 480
extern const int demo_width;       // 640
extern const int demo_height;      // 480
extern uint64_t frame_counter;     // vertical blanks so far
extern nanokorg2_state nk2_state;  // never written: no device fills it

// The pointer as one loop pass saw it: SDL's button mask, the position in demo
// coordinates and the pass's last relative motion.
struct host_pointer {
    int button;
    int x;
    int y;
    int rel_dx;
    int rel_dy;
};

// The demo system as the main loop drives it. The production fills it in (the
// program entry hands the demo system's functions and record), so the host
// knows nothing of the production; every entry point gets `demo` back.
struct host_demo_entry {
    void* demo;
    // Read before every pass; non-zero ends the loop.
    int (*quit)(void* demo);
    // Every pass, after the events, before the keyboard is read.
    void (*pointer)(void* demo, const host_pointer* pointer);
    // Every pass; keys_ascii holds held keys indexed by key code.
    void (*update)(void* demo, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2);
    // Once per vertical blank, before the page flip.
    void (*vblank_update)(void* demo, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2);
    // After the loop and the report, before the window closes.
    void (*end)(void* demo);
};

// Input state of the loop between passes.
struct host_input {
    int lock_mouse;    // relative mouse mode on
    int mouse_rel_dx;  // relative motion of the pass's last motion event
    int mouse_rel_dy;
    int quit;  // a quit event, an Escape key-down or a held Escape ends the loop
};

// SDL, arena, audio device (paused), window, window surface, back surface and
// the display emulation, in that order.
void platform_sdl_setup(struct platform* p);
// Opens the default output paused at exactly 22050 Hz, S16LSB, 2 channels,
// 1024 frames a buffer; exits with status 1 when that is not granted (no device
// at all: "SDL_OpenAudioDevice failed" and SDL's reason on the next line).
SDL_AudioDeviceID audio_init_device();
// SDL's audio callback: the music mixer over len / 4 stereo frames.
void audio_callback(void* userdata, Uint8* stream, int len);

// Drains the event queue for one pass (motion reset first; the last motion
// counts; releasing m toggles relative mouse mode); a quit event stops at once.
void host_input_poll_events(host_input* in);
// Clears keys_ascii and sets the entry of every held key whose key code lies in
// 0..255 from the state bytes; 1 when the Escape scancode is held.
int host_keys_fill(uint8_t keys_ascii[256], const uint8_t* state, int numkeys);
// Destination of the 640x480 picture in a w x h window: full height, the 4:3
// shape kept, centred (bars on a wider window, sides cut on a narrower one).
SDL_Rect host_present_rect(int window_w, int window_h);
// A vertical blank is due when strictly more than counts_per_frame passed.
int host_vblank_due(uint64_t now, uint64_t start, uint64_t counts_per_frame);
// The display half of the vertical blank, after the demo system's update: page
// flip, composition into the back surface, present into the window.
void host_vblank_present(struct platform* p);

// The main loop over demo and the exit sequence; entry_file names the entry's
// source in the whole-run block's site. Returns 0.
int run(struct platform* p, const host_demo_entry* demo, const char* entry_file);
