#include "host/acm_ima.h"

#include <cstring>

const int acm_ima_index_table[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

const int acm_ima_stepsize_table[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

void acm_ima_init_state(acm_ima_state* state)
{
    state->predicted_sample = 0;
    state->index = 0;
    state->stepsize = 7;
}

int16_t acm_ima_decode(acm_ima_state* state, int code)
{
    code &= 15;
    int step = state->stepsize;
    int diff = (step >> 3) + ((step * (code & 7)) >> 2);
    int sample = state->predicted_sample + ((code & 8) ? -diff : diff);
    if (sample < -32768)
        sample = -32768;
    if (sample > 32767)
        sample = 32767;
    state->predicted_sample = sample;
    int index = state->index + acm_ima_index_table[code];
    if (index < 0)
        index = 0;
    if (index > 88)
        index = 88;
    state->index = index;
    state->stepsize = acm_ima_stepsize_table[index];
    return (int16_t)sample;
}

int acm_ima_encode(acm_ima_state* state, int16_t sample)
{
    int difference = (int)sample - state->predicted_sample;
    int code = 0;
    if (difference < 0) {
        code = 8;
        difference = -difference;
    }
    int t = state->stepsize;
    for (int mask = 4; mask; mask >>= 1) {
        if (difference >= t) {
            code |= mask;
            difference -= t;
        }
        t >>= 1;
    }
    // The decoder's own update keeps encoder and decoder in step.
    acm_ima_decode(state, code);
    return code;
}

static uint32_t wav_u32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint16_t wav_u16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

// Walks the chunks from *offset to the first one named id; on success leaves
// *offset at that chunk's data and *size at its size, both within the data.
static int wav_find_chunk(const uint8_t* raw, size_t raw_size, size_t* offset, const char* id, uint32_t* size)
{
    size_t off = *offset;
    while (off <= raw_size && raw_size - off >= 8) {
        uint32_t chunk_size = wav_u32(raw + off + 4);
        size_t data = off + 8;
        if (chunk_size > raw_size - data)
            return 1;
        if (memcmp(raw + off, id, 4) == 0) {
            *offset = data;
            *size = chunk_size;
            return 0;
        }
        // Odd-sized chunks are followed by one pad byte.
        off = data + chunk_size + (chunk_size & 1u);
    }
    return 1;
}

int wav_parse(const uint8_t* raw, size_t raw_size, wav_fmt* out_fmt, const uint8_t** out_data,
              uint32_t* out_frames_count)
{
    if (!raw || raw_size < 12 || memcmp(raw, "RIFF", 4) != 0 || memcmp(raw + 8, "WAVE", 4) != 0)
        return 1;
    size_t off = 12;
    uint32_t fmt_size = 0;
    if (wav_find_chunk(raw, raw_size, &off, "fmt ", &fmt_size))
        return 1;
    // A short fmt chunk is copied only as far as it goes; the rest reads as zero.
    uint8_t bytes[sizeof(wav_fmt)] = {};
    memcpy(bytes, raw + off, fmt_size < sizeof(bytes) ? fmt_size : sizeof(bytes));
    wav_fmt fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.tag = wav_u16(bytes + 0);
    fmt.channels = wav_u16(bytes + 2);
    fmt.sample_rate = wav_u32(bytes + 4);
    fmt.data_rate = wav_u32(bytes + 8);
    fmt.frame_bytes = wav_u16(bytes + 12);
    fmt.sample_bits = wav_u16(bytes + 14);
    fmt.valid_bits_per_sample = wav_u16(bytes + 16);
    memcpy(fmt.pad, bytes + 18, 2);
    fmt.channel_mask = wav_u32(bytes + 20);
    fmt.sub_format_tag = wav_u16(bytes + 24);
    memcpy(fmt.sub_format_other, bytes + 26, sizeof(fmt.sub_format_other));

    off += fmt_size + (fmt_size & 1u);
    uint32_t data_size = 0;
    if (wav_find_chunk(raw, raw_size, &off, "data", &data_size))
        return 1;
    uint32_t frame_bytes = (uint32_t)(fmt.sample_bits >> 3) * fmt.channels;
    if (frame_bytes == 0)
        return 1;
    *out_fmt = fmt;
    *out_data = raw + off;
    *out_frames_count = data_size / frame_bytes;
    return 0;
}
