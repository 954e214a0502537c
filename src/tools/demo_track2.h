// Controller track: rows of eight knob x slider products recorded from the control surface while an
// effect is tuned by hand (the warp), saved to and loaded from a small file (max_pos, keys_count, pos,
// values; 32-bit fields in the caller's byte order, no marker). Values from the caller's arena, file
// buffers from a temporary arena, rewound; main thread. Load and store report failure by result; a
// file of other dimensions loaded with no arena to resize into ends the program with a message.
#pragma once

#include <cstddef>
#include <cstdint>

struct memarena;
struct nanokorg2_state;

#define DEMO_TRACK2_CHANNELS 8
#define DEMO_TRACK2_HEADER_BYTES 12

struct demo_track2 {
    float* keys;          // max_pos rows of keys_count values, row-major
    uint32_t max_pos;     // rows (16 after init)
    uint32_t keys_count;  // values a row (8 after init)
    uint32_t pos;         // current row
    int is_recording;
};

// 16 rows of 8 zeroed values.
void demo_track2_init(demo_track2* track, memarena* arena);
// Reads a track record of size bytes at b. Refused (null, track unchanged): a
// record shorter than its header says, max_pos 0, pos >= max_pos. Without an
// arena the file must have the track's dimensions (else the message and exit 1);
// with one, other dimensions get new storage. Returns the end of the record.
const uint8_t* demo_track2_load(memarena* arena, demo_track2* track, const uint8_t* b, uint64_t size, int endian);
// 0, or 1 when the file cannot be read or its record is refused.
int demo_track2_load_file(demo_track2* track, const char* path, int endian, memarena* arena, memarena* tmp_arena);
// What demo_track2_load_file came to: the record loaded; no file at path (the
// file function's message printed); or a file that is there but empty, unreadable
// or refused, with the reason written into why.
#define DEMO_TRACK2_FILE_LOADED 0
#define DEMO_TRACK2_FILE_MISSING 1
#define DEMO_TRACK2_FILE_REFUSED 2
int demo_track2_load_file_checked(demo_track2* track, const char* path, int endian, memarena* arena,
                                  memarena* tmp_arena, char* why, size_t why_size);
// Writes the record (12 + 4 x max_pos x keys_count bytes); returns its end.
uint8_t* demo_track2_store(uint8_t* b, const demo_track2* track, int endian);
// 0, or 1 when the file cannot be opened, is written short or does not close cleanly.
int demo_track2_store_file(const demo_track2* track, const char* path, int endian, memarena* tmp_arena);
// Edges against prev_nk2: record toggles recording; track left / right move pos
// within the rows. While recording, row pos takes knob x slider of every channel.
void demo_track2_record(demo_track2* track, const nanokorg2_state* prev_nk2, const nanokorg2_state* nk2);
// The eight values of row pos (zeros past keys_count).
void demo_track2_get(const demo_track2* track, float* out);
