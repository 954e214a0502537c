// The player shared with a running audio thread: SDL's dummy driver calls the
// host's audio callback while the main thread arms, loads streams of changing
// lengths, seeks both ways and sets fades as fast as it can. Every stream is
// an exactly sized heap block, so a read outside one fails the sanitizer
// build; the clock must keep counting whole buffers. Runs in a child process.
#include <gtest/gtest.h>

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/demo_music.h"
#include "host/sdl2_host.h"
#include "support/capture.h"

namespace {

TEST(MusicDevice, MainThreadChangesWhileTheCallbackRuns)
{
    captured_run r = capture_run([] {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        if (SDL_Init(SDL_INIT_AUDIO) != 0) {
            printf("SDL_Init: %s\n", SDL_GetError());
            return;
        }
        SDL_AudioDeviceID dev = audio_init_device();
        demo_music_attach_device(dev);
        const int sizes[] = {5000, 700, 1, 30000, 2048};
        uint8_t* streams[5];
        for (int i = 0; i < 5; i++) {
            streams[i] = (uint8_t*)malloc(sizes[i]);
            for (int j = 0; j < sizes[i]; j++)
                streams[i][j] = (uint8_t)(j * 37 + i);
        }
        vexil_music_start(300);
        demo_music_load(streams[0], sizes[0], 0, 0);
        SDL_PauseAudioDevice(dev, 0);
        uint32_t x = 12345;
        int32_t max_seen = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
        int ops = 0;
        while (std::chrono::steady_clock::now() < until) {
            x = x * 1664525u + 1013904223u;
            switch ((x >> 24) % 5) {
            case 0:
                demo_music_load(streams[(x >> 8) % 5], sizes[(x >> 8) % 5], 0, 0);
                break;
            case 1:
                vexil_music_move_position((int)((x >> 4) % 60000) - 30000);
                break;
            case 2:
                demo_music_fade_out_set((int)((x >> 6) % 4000));
                break;
            case 3:
                vexil_music_start((int)((x >> 10) % 2000));
                break;
            default:
                break;
            }
            int32_t now = vexil_audio_position.load(std::memory_order_relaxed);
            if (now < 0)
                printf("negative clock %d\n", now);
            if (now > max_seen)
                max_seen = now;
            ops++;
        }
        // Left alone, the clock counts whole 1024-frame buffers.
        vexil_music_start(0);
        SDL_Delay(300);
        SDL_LockAudioDevice(dev);
        int32_t clock = vexil_audio_position.load(std::memory_order_relaxed);
        SDL_UnlockAudioDevice(dev);
        SDL_CloseAudioDevice(dev);
        SDL_Quit();
        printf("ran %d clock>0 %d whole %d\n", ops > 1000 ? 1 : 0, clock > 0 ? 1 : 0, clock % 1024 == 0 ? 1 : 0);
        for (uint8_t* s : streams)
            free(s);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ran 1 clock>0 1 whole 1\n") << r.err;
}

}  // namespace
