// Keyed parameter track for tuning by hand: play, stop, rewind and record from the control surface,
// looping or holding at the last key, interpolation tick by tick, a small file (32-bit fields in the
// caller's byte order, no marker) and a grid view. Nothing in the production calls it. Memory from the
// caller's arena (file buffers from a temporary arena, rewound); main thread. Zero counts stop through
// the crash path; file problems are reported by result.
#pragma once

#include <cstdint>

struct memarena;
struct nanokorg2_state;
struct n3d_frame_context;

#define DEMO_TRACK_HEADER_BYTES 16

struct demo_track {
    uint32_t ps_count;  // parameters a key
    uint32_t keys_count;
    uint32_t ticks_per_key;  // at least 1
    uint32_t loops;          // non-zero: the last key runs on to the first
    float* ps;               // keys_count rows of ps_count values
    float* ps_min;           // per-parameter range
    float* ps_max;
};

// The transport of one track.
struct demo_track_control {
    int tick;  // total ticks played
    int ticks_in_key;
    int key;  // current key
    int playing;
    int recording;
    int ch_mute_toggle[8];  // per channel: recording leaves the stored row alone
    float* ps_key_prev;     // rows of the previous, current and next key
    float* ps_key_curr;
    float* ps_key_next;
    float* ps;                  // the interpolated values (output)
    float* ps_key_record;       // the row being recorded
    uint32_t record_key;        // the key recording writes
    uint32_t record_ps_offset;  // the first parameter channel 0 drives
    uint32_t ps_capacity;       // parameters that ps and ps_key_record hold
};

// Every value of every key and every ps_min entry = ps_min, every ps_max entry
// = ps_max; ticks_per_key 1, loops 0. Zero counts are fatal.
void demo_track_init(memarena* arena, demo_track* track, uint32_t ps_count, uint32_t keys_count, float ps_min,
                     float ps_max);
// Zeroes the control and pushes ps and ps_key_record for the track's parameters.
void demo_track_ctrl_init(memarena* arena, demo_track_control* ctrl, const demo_track* track);

// Reads a track record of size bytes at b. Refused (null, track unchanged): a
// record shorter than its header says, zero counts or ticks_per_key 0, and other
// dimensions than the track's without an arena to allocate them from. A control
// made for the old dimensions must be made again after a resize.
const uint8_t* demo_track_load(memarena* arena, demo_track* track, const uint8_t* b, uint64_t size, int endian);
int demo_track_load_file(demo_track* track, const char* path, int endian, memarena* arena, memarena* tmp_arena);
uint8_t* demo_track_store(uint8_t* b, const demo_track* track, int endian);
int demo_track_store_file(const demo_track* track, const char* path, int endian, memarena* tmp_arena);

// One tick of the transport (buttons act on edges against prev_nk2).
void demo_track_update(demo_track* track, demo_track_control* ctrl, const nanokorg2_state* prev_nk2,
                       const nanokorg2_state* nk2);
// The grid: a column of 5 x 5 cells per key, a row per parameter, the
// interpolated values in a column after the current key. ARGB1555 or 8-bit.
void demo_track_display(const demo_track* track, const demo_track_control* ctrl, const nanokorg2_state* nk2,
                        n3d_frame_context* fc);

// Writes n bytes as the whole file: 0, or 1 when it cannot be opened, is
// written short or does not close cleanly. Shared by both track kinds.
int demo_track_file_write(const char* path, const uint8_t* b, uint64_t n);
