// Beat timing of the earlier production: a table of beat positions (22050 Hz
// sample positions, each with four flag digits) searched incrementally from
// frame to frame, the per-update view of where the music stands between two
// beats, and the small timing curves the effects are scripted with. The table
// comes from the caller's arena; main thread only. Nothing here fails: an empty
// or unreadable table gives an invalid beat view, and degenerate ranges give 0.
#pragma once

#include <cstdint>

struct memarena;

struct demo_timing_line {
    int pos;        // sample position of the beat
    uint8_t xs[4];  // four flag digits 0 to 15 (text beat files only)
};

struct demo_timing {
    demo_timing_line* lines;  // sorted by pos
    int line_index;           // line found by the last update, where the next search starts
    int count;
    int last_pos;       // position of the last update
    int capacity;       // lines the table holds
    float sample_rate;  // 22050
};

// Where one update stands: valid only between two beats (on or after the first,
// before the last).
struct demo_time_frame {
    float t;      // seconds
    float dt;     // seconds since the previous update (negative after a seek back)
    int beat_id;  // the beat at or before pos
    int valid;
    int pos;
    float time_since_beat;
    float time_until_beat;
    float lerp_beats;  // 0 at the beat, towards 1 at the next
    int pos0, pos1;    // the two beats' positions
    uint8_t xs0[4], xs1[4];
    float xsf0[4], xsf1[4], xsf[4];  // digits / 15 and their blend by lerp_beats
};

extern demo_timing g_demo_timing;  // the table every timing function reads
extern demo_time_frame g_dtf;      // the view of the current update

// Zeroes the record and copies the positions into count new lines (digits 0).
void demo_timing_init(demo_timing* timing, memarena* arena, int sample_rate, const int32_t* beats_pos,
                      int beats_pos_count);
// Finds the beat at or before pos, starting from the last search, and fills dtf.
// Position, time and dt always follow pos; without a beat on each side (or with
// an empty table) the view is marked invalid.
void demo_timing_update(demo_time_frame* dtf, demo_timing* timing, int pos);
// Lines "%d\t%1x%1x%1x%1x" (position, tab, four hex digits); bad lines are
// reported on standard error and skipped. Lines are pushed from arena when the
// table has none; an existing table is filled up to its capacity, and the lines
// beyond it are counted on standard error, with the file's path. The file is
// read into tmp_arena, which is rewound afterwards. An unreadable file leaves
// the table unchanged.
void demo_timing_parse_text(memarena* arena, demo_timing* timing, const char* path, memarena* tmp_arena);

// Curves over g_demo_timing (positions in samples, results in seconds or 0..1).
float demo_timing_time_at_sample(int sample);
// (sample - last_pos) / rate when that is 0 or less, else 0.
float demo_timing_time_since_sample(int sample);
// (last_pos - a) / (b - a) limited to 0..1; 0 when a == b.
float demo_timing_lerp_factor(int pos_a, int pos_b);
float demo_timing_lerp_factor_sample_duration(int pos, float duration);
// 0 at a, 1 half-way, 0 at b; 0 when a == b.
float demo_timing_tri_factor(int pos_a, int pos_b);
// A triangle of half-width width_seconds centred on pos (both ends truncated).
float demo_timing_tri_factor_around(int pos, float width_seconds);
