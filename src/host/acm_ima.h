// IMA ADPCM: the 4-bit decoder the music is played with, its matching encoder,
// and a RIFF WAVE chunk parser. Called by the music mixer on SDL's audio thread
// (decode) and by tools and tests (encode, parse); no allocation, no globals
// besides the two constant tables. wav_parse reads only within the bytes it is
// given and reports bad data with 1.
#pragma once

#include <cstddef>
#include <cstdint>

// One channel's decoder (or encoder) state.
struct acm_ima_state {
    int predicted_sample;  // last output, -32768 to 32767
    int index;             // 0 to 88
    int stepsize;          // acm_ima_stepsize_table[index]
};

extern const int acm_ima_index_table[16];
extern const int acm_ima_stepsize_table[89];

// predicted_sample 0, index 0, stepsize 7.
void acm_ima_init_state(acm_ima_state* state);
// The next sample for code (low 4 bits used). The difference is
// (step >> 3) + ((step x (code & 7)) >> 2), the multiply form the stored music
// was encoded against, not the standard decoder's shift-and-add.
int16_t acm_ima_decode(acm_ima_state* state, int code);
// The 4-bit code for sample; updates the state exactly as acm_ima_decode does.
int acm_ima_encode(acm_ima_state* state, int16_t sample);

// RIFF chunk header.
struct wav_chunk {
    char id[4];
    uint32_t size;  // bytes of chunk data after the header (a pad byte follows odd sizes)
};

// The data of a "fmt " chunk (40 bytes; shorter chunks leave the rest zero).
struct wav_fmt {
    uint16_t tag;
    uint16_t channels;
    uint32_t sample_rate;
    uint32_t data_rate;
    uint16_t frame_bytes;
    uint16_t sample_bits;
    uint16_t valid_bits_per_sample;
    uint8_t pad[2];
    uint32_t channel_mask;
    uint16_t sub_format_tag;
    uint8_t sub_format_other[14];
};
static_assert(sizeof(wav_chunk) == 8, "RIFF chunk header is 8 bytes");
static_assert(sizeof(wav_fmt) == 40 && offsetof(wav_fmt, channel_mask) == 20 &&
                  offsetof(wav_fmt, sub_format_tag) == 24 && offsetof(wav_fmt, sub_format_other) == 26,
              "fmt chunk layout");

// Finds the "fmt " chunk and the first "data" chunk after it in a little-endian
// RIFF WAVE image of raw_size bytes. On success copies the format, points
// *out_data at the sample data (within raw), sets *out_frames_count to the data
// bytes / bytes per frame and returns 0. Returns 1 for a missing "RIFF" or
// "WAVE" tag, a missing chunk, a chunk that does not lie within the data, or a
// format of 0 bytes per frame; the outputs are then unchanged.
int wav_parse(const uint8_t* raw, size_t raw_size, wav_fmt* out_fmt, const uint8_t** out_data,
              uint32_t* out_frames_count);
