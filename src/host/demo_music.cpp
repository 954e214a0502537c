#include "host/demo_music.h"

#include <SDL.h>

#include <cstring>

std::atomic<const uint8_t*> demo_music_acm_ima_buffer{nullptr};
std::atomic<int32_t> demo_music_frames_count{0};
std::atomic<int32_t> demo_music_frame_position{0};
acm_ima_state demo_music_state_left;
acm_ima_state demo_music_state_right;
std::atomic<int32_t> demo_music_loaded{0};
std::atomic<int32_t> demo_music_ok_to_start{0};
std::atomic<int32_t> vexil_audio_position{0};
std::atomic<int32_t> vexil_audio_position_start_music{0};
std::atomic<int32_t> demo_music_fade_out{0};
std::atomic<int32_t> demo_music_end{0};

static std::atomic<uint32_t> demo_music_device{0};

static constexpr std::memory_order RELAXED = std::memory_order_relaxed;

// SDL holds the device lock around every callback, so a main-thread change made
// under it is seen whole by the mixer, never half-done.
static void demo_music_lock()
{
    uint32_t dev = demo_music_device.load(RELAXED);
    if (dev)
        SDL_LockAudioDevice(dev);
}

static void demo_music_unlock()
{
    uint32_t dev = demo_music_device.load(RELAXED);
    if (dev)
        SDL_UnlockAudioDevice(dev);
}

void demo_music_attach_device(uint32_t sdl_audio_device_id) { demo_music_device.store(sdl_audio_device_id, RELAXED); }

void vexil_music_start(int music_start_22050_hz)
{
    demo_music_lock();
    demo_music_ok_to_start.store(1, RELAXED);
    vexil_audio_position.store(0, RELAXED);
    vexil_audio_position_start_music.store(music_start_22050_hz, RELAXED);
    demo_music_unlock();
}

void demo_music_load(const uint8_t* buffer, int size, int fade_out_frame, int end_frame)
{
    if (!buffer || size < 0)
        size = 0;
    demo_music_lock();
    demo_music_acm_ima_buffer.store(buffer, RELAXED);
    demo_music_frame_position.store(0, RELAXED);
    acm_ima_init_state(&demo_music_state_left);
    acm_ima_init_state(&demo_music_state_right);
    demo_music_loaded.store(1, RELAXED);
    demo_music_frames_count.store(size, RELAXED);
    demo_music_fade_out.store(fade_out_frame, RELAXED);
    demo_music_end.store(end_frame ? end_frame : size, RELAXED);
    demo_music_unlock();
}

void vexil_music_move_position(int frames)
{
    demo_music_lock();
    int64_t p = (int64_t)vexil_audio_position.load(RELAXED) + frames;
    if (p < 0)
        p = 0;
    if (p > INT32_MAX)
        p = INT32_MAX;
    vexil_audio_position.store((int32_t)p, RELAXED);
    demo_music_unlock();
}

void demo_music_fade_out_set(int frame)
{
    demo_music_lock();
    demo_music_fade_out.store(frame, RELAXED);
    demo_music_unlock();
}

void demo_music_fast_forward_to(int frames)
{
    demo_music_lock();
    if (frames > demo_music_frame_position.load(RELAXED))
        demo_music_frame_position.store(frames, RELAXED);
    demo_music_unlock();
}

void demo_music_play(int16_t* dst, int frames)
{
    if (frames <= 0)
        return;
    // Every shared value is read once, here; the rest of the call works on
    // these copies, so a change arriving meanwhile cannot mix two states.
    const uint8_t* stream = demo_music_acm_ima_buffer.load(RELAXED);
    int64_t count = demo_music_frames_count.load(RELAXED);
    int32_t loaded = demo_music_loaded.load(RELAXED);
    int32_t armed = demo_music_ok_to_start.load(RELAXED);
    int64_t clock = vexil_audio_position.load(RELAXED);
    int64_t start = vexil_audio_position_start_music.load(RELAXED);
    int64_t fade_out = demo_music_fade_out.load(RELAXED);

    if (!loaded || !armed) {
        memset(dst, 0, (size_t)frames * 2 * sizeof(int16_t));
        return;
    }
    if (!stream || count < 0)
        count = 0;

    // Silence until the clock reaches the music's start offset.
    int64_t n = 0;
    if (clock < start) {
        n = start - clock;
        if (n > frames)
            n = frames;
        memset(dst, 0, (size_t)n * 2 * sizeof(int16_t));
        clock += n;
        if (n == frames) {
            vexil_audio_position.store((int32_t)clock, RELAXED);
            return;
        }
    }
    int64_t m = frames - n;
    int16_t* out = dst + n * 2;

    // A seek of the clock is a seek of the music. Past the pre-start silence the
    // position is never negative; clamping the decoded count to the stream on
    // every call keeps a seek or a shorter stream from reading outside it.
    int64_t position = clock - start;
    if (position < 0)
        position = 0;
    int64_t s = m;
    if (position + m >= count) {
        s = count - position;
        if (s < 0)
            s = 0;
    }

    int level = 128;  // 128: unscaled
    if (fade_out != 0 && position > fade_out) {
        int64_t steps = (position - fade_out) >> 9;
        if (steps < 0)
            steps = 0;
        if (steps > 127)
            steps = 127;
        level = 127 - (int)steps;
    }

    const uint8_t* src = s > 0 ? stream + position : nullptr;
    for (int64_t i = 0; i < s; i++) {
        uint8_t byte = src[i];
        int left = acm_ima_decode(&demo_music_state_left, byte & 15);
        int right = acm_ima_decode(&demo_music_state_right, byte >> 4);
        if (level != 128) {
            // Arithmetic shift of a negative product: floor, as the stored music expects.
            left = (left * level) >> 7;
            right = (right * level) >> 7;
        }
        out[i * 2 + 0] = (int16_t)left;
        out[i * 2 + 1] = (int16_t)right;
    }
    memset(out + s * 2, 0, (size_t)(m - s) * 2 * sizeof(int16_t));

    demo_music_frame_position.store((int32_t)(position + s), RELAXED);
    vexil_audio_position.store((int32_t)(clock + m), RELAXED);
}
