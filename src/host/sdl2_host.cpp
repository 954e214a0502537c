#include "host/sdl2_host.h"

#include <cstdlib>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "host/demo_music.h"
#include "host/host_platform.h"
#include "n3d/n3d.h"

struct platform platform;
const int screen_width = 640;
const int screen_height = 480;
const int demo_width = 640;
const int demo_height = 480;
uint64_t frame_counter = 0;
nanokorg2_state nk2_state;

void audio_callback(void* userdata, Uint8* stream, int len)
{
    (void)userdata;
    demo_music_play(reinterpret_cast<int16_t*>(stream), len / 4);
}

SDL_AudioDeviceID audio_init_device()
{
    SDL_AudioSpec desired;
    SDL_AudioSpec obtained;
    memset(&desired, 0, sizeof(desired));
    memset(&obtained, 0, sizeof(obtained));
    desired.freq = DEMO_MUSIC_SAMPLE_RATE;
    desired.format = AUDIO_S16LSB;
    desired.channels = 2;
    desired.samples = 1024;
    desired.callback = audio_callback;
    desired.userdata = nullptr;
    SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &desired, &obtained, 0);
    // SDL's own reason on the line after: no device, a driver that failed, ...
    if (dev == 0) {
        const char* why = SDL_GetError();
        crash_fail(2, "SDL_OpenAudioDevice failed\n%s\n", why && why[0] ? why : "(SDL gave no reason)");
    }
    if (obtained.freq != desired.freq || obtained.format != desired.format || obtained.channels != desired.channels)
        crash_fail(2, "freq/format/ch not as desired\n");
    return dev;
}

void platform_sdl_setup(struct platform* p)
{
    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO) < 0)
        crash_fail(2, "SDL_Init failed\n");
    host_platform_reset_interrupt_signal();

    void* block = malloc(PLATFORM_ARENA_SIZE);
    memarena_init(&p->arena, "platform_arena", PLATFORM_ARENA_SIZE, block);

    p->audio_device = audio_init_device();
    // From here on the player's main-thread changes take the device lock.
    demo_music_attach_device(p->audio_device);

    p->window = SDL_CreateWindow("Window", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 0, 0,
                                 SDL_WINDOW_FULLSCREEN_DESKTOP);
    if (!p->window)
        crash_fail(2, "SDL_CreateWindow failed\n");
    p->window_surface = SDL_GetWindowSurface(p->window);
    if (!p->window_surface)
        crash_fail(2, "SDL_GetWindowSurface failed\n");
    p->backbuffer = SDL_CreateRGBSurfaceWithFormat(0, demo_width, demo_height, 0, SDL_PIXELFORMAT_RGBA8888);
    if (!p->backbuffer)
        crash_fail(2, "SDL_CreateRGBSurfaceWithFormat failed\n");
    // SDL gives a surface with alpha the blend mode BLEND, which makes every
    // present read and blend the window's pixels. The composed alpha is always
    // 255, so a plain copy shows the same pixels at a fraction of the cost.
    SDL_SetSurfaceBlendMode(p->backbuffer, SDL_BLENDMODE_NONE);

    emulate_valkyrie_init(&p->valkyrie_context, &p->arena);
}

void host_input_poll_events(host_input* in)
{
    in->mouse_rel_dx = 0;
    in->mouse_rel_dy = 0;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        switch (e.type) {
        case SDL_QUIT:
            in->quit = 1;
            return;
        case SDL_KEYDOWN:
            if (e.key.keysym.sym == SDLK_ESCAPE)
                in->quit = 1;
            break;
        case SDL_KEYUP:
            if (e.key.keysym.sym == SDLK_m) {
                in->lock_mouse = !in->lock_mouse;
                SDL_SetRelativeMouseMode(in->lock_mouse != 0 ? SDL_TRUE : SDL_FALSE);
            }
            break;
        case SDL_MOUSEMOTION:
            // Motions are not summed: the pass's last one counts.
            in->mouse_rel_dx = e.motion.xrel;
            in->mouse_rel_dy = e.motion.yrel;
            break;
        default:
            break;
        }
    }
}

int host_keys_fill(uint8_t keys_ascii[256], const uint8_t* state, int numkeys)
{
    int escape = 0;
    memset(keys_ascii, 0, 256);
    for (int sc = 0; sc < numkeys; sc++) {
        if (!state[sc])
            continue;
        if (sc == SDL_SCANCODE_ESCAPE) {
            escape = 1;
            continue;
        }
        // Key codes above 255 (arrows, function keys) have no entry.
        SDL_Keycode key = SDL_GetKeyFromScancode((SDL_Scancode)sc);
        if (key >= 0 && key <= 255)
            keys_ascii[key] = state[sc];
    }
    return escape;
}

SDL_Rect host_present_rect(int window_w, int window_h)
{
    float aspect = (float)demo_width / (float)demo_height;
    SDL_Rect r;
    r.x = (int)((float)window_w - (float)window_h * aspect) / 2;
    r.y = 0;
    r.w = (int)((float)window_h * aspect);
    r.h = window_h;
    return r;
}

int host_vblank_due(uint64_t now, uint64_t start, uint64_t counts_per_frame) { return now - start > counts_per_frame; }

void host_vblank_present(struct platform* p)
{
    emulate_valkyrie_video_pageflip(&p->valkyrie_context);
    if (SDL_LockSurface(p->backbuffer) == 0) {
        emulate_valkyrie_blit_rgba8888(&p->valkyrie_context, p->backbuffer->pixels, p->backbuffer->pitch);
        SDL_UnlockSurface(p->backbuffer);
    }
    int w = 0, h = 0;
    SDL_GetWindowSize(p->window, &w, &h);
    SDL_Rect src = {0, 0, demo_width, demo_height};
    SDL_Rect dst = host_present_rect(w, h);
    SDL_UpperBlitScaled(p->backbuffer, &src, p->window_surface, &dst);
    if (SDL_UpdateWindowSurface(p->window) != 0) {
        // A resized window drops its surface; take the new one for the next frame.
        SDL_Surface* s = SDL_GetWindowSurface(p->window);
        if (s)
            p->window_surface = s;
    }
}

int run(struct platform* p, const host_demo_entry* demo, const char* entry_file)
{
    host_input in;
    memset(&in, 0, sizeof(in));
    in.lock_mouse = 1;
    uint64_t counts_per_frame = SDL_GetPerformanceFrequency() / HOST_TARGET_FPS;
    uint8_t keys_ascii[256];
    memset(keys_ascii, 0, sizeof(keys_ascii));
    uint64_t start = SDL_GetPerformanceCounter();
    SDL_PauseAudioDevice(p->audio_device, 0);
    SDL_SetRelativeMouseMode(in.lock_mouse != 0 ? SDL_TRUE : SDL_FALSE);
    CYCLES_BLOCK_BEGIN(CYCLES_BLOCK_TOTAL);

    while (!demo->quit(demo->demo)) {
        host_input_poll_events(&in);
        if (in.quit)
            break;

        int x = 0, y = 0;
        host_pointer pointer;
        pointer.button = (int)SDL_GetMouseState(&x, &y);
        pointer.x = (int)((float)demo_width * ((float)x / (float)screen_width));
        pointer.y = (int)((float)demo_height * ((float)y / (float)screen_height));
        pointer.rel_dx = in.mouse_rel_dx;
        pointer.rel_dy = in.mouse_rel_dy;
        demo->pointer(demo->demo, &pointer);

        SDL_PumpEvents();
        int numkeys = 0;
        const Uint8* state = SDL_GetKeyboardState(&numkeys);
        if (host_keys_fill(keys_ascii, state, numkeys))
            break;

        demo->update(demo->demo, &p->valkyrie_context, keys_ascii, &nk2_state);

        if (host_vblank_due(SDL_GetPerformanceCounter(), start, counts_per_frame)) {
            // A late vertical blank is not made up: the next is measured from here.
            start = SDL_GetPerformanceCounter();
            frame_counter += 1;
            demo->vblank_update(demo->demo, &p->valkyrie_context, keys_ascii, &nk2_state);
            host_vblank_present(p);
        }
    }

    // Closed on every way out (the production's end, a quit event, Escape), so
    // the report always has its whole-run reference.
    CYCLES_BLOCK_END_AT(CYCLES_BLOCK_TOTAL, entry_file, __LINE__);
    cycles_print();
    n3d_profile_print();
    demo->end(demo->demo);
    SDL_DestroyWindow(p->window);
    SDL_Quit();
    return 0;
}
