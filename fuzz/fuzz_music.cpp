// The music stream as the player reads it (resource kind 8, used in place) and
// the WAVE chunk parser beside it: the first 12 input bytes give a fade start,
// an end frame and a seek (little-endian, signed), the rest is the stream. It is
// handed to the player, mixed in buffers around the seek, the fade and the
// stream's end, and parsed as a WAVE image.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "host/acm_ima.h"
#include "host/demo_music.h"

static int32_t fuzz_music_i32(const uint8_t* b)
{
    uint32_t v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
    int32_t r;
    memcpy(&r, &v, 4);
    return r;
}

struct fuzz_music_input {
    const uint8_t* stream;
    size_t size;
    int32_t fade, end, seek;
};

static void fuzz_music_play(void* user)
{
    fuzz_music_input* in = static_cast<fuzz_music_input*>(user);
    static int16_t out[2 * 2048];
    vexil_music_start(in->seek & 0xFF);
    demo_music_load(in->stream, (int)in->size, in->fade, in->end);
    demo_music_play(out, 1024);
    vexil_music_move_position(in->seek);
    demo_music_play(out, 2048);
    demo_music_fade_out_set(in->fade / 2);
    demo_music_fast_forward_to(in->end);
    demo_music_play(out, 777);
    // Back by the same amount; the most negative seek has no positive twin.
    vexil_music_move_position(in->seek == INT32_MIN ? INT32_MAX : -in->seek);
    demo_music_play(out, 1);

    wav_fmt fmt;
    const uint8_t* data = nullptr;
    uint32_t frames = 0;
    if (wav_parse(in->stream, in->size, &fmt, &data, &frames) == 0) {
        // Frames are counted in bytes a sample times channels (the stored
        // block size is not consulted).
        uint64_t frame_bytes = (uint64_t)(fmt.sample_bits >> 3) * fmt.channels;
        if (data < in->stream || data > in->stream + in->size || frame_bytes == 0 ||
            (uint64_t)frames * frame_bytes > (uint64_t)(in->stream + in->size - data))
            fuzz_fail("wave data outside the image");
        fuzz_touch(data, (uint64_t)frames * frame_bytes);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_begin();
    if (size < 12)
        return 0;
    uint8_t* stream = fuzz_copy(data + 12, size - 12, 0);
    fuzz_music_input in = {stream, size - 12, fuzz_music_i32(data), fuzz_music_i32(data + 4), fuzz_music_i32(data + 8)};
    fuzz_run(fuzz_music_play, &in);
    // The player keeps no pointer past the input: nothing is loaded between inputs.
    demo_music_load(nullptr, 0, 0, 0);
    fuzz_free(stream);
    return 0;
}
