#include "tools/demo_track2.h"

#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/memarena.h"
#include "core/posix_file_utils.h"
#include "host/nanokorg2.h"
#include "tools/demo_track.h"

void demo_track2_init(demo_track2* track, memarena* arena)
{
    memset(track, 0, sizeof *track);
    track->keys_count = DEMO_TRACK2_CHANNELS;
    track->max_pos = 16;
    // Zeroed: rows never recorded are written to disk as they are.
    track->keys = memarena_push_array_zeroed<float>(arena, (uint64_t)track->max_pos * track->keys_count);
}

const uint8_t* demo_track2_load(memarena* arena, demo_track2* track, const uint8_t* b, uint64_t size, int endian)
{
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t max_pos = io_read32(&r, "max_pos");
    const uint32_t keys_count = io_read32(&r, "keys_count");
    const uint32_t pos = io_read32(&r, "pos");
    if (r.failed || max_pos == 0 || pos >= max_pos)
        return nullptr;
    const uint64_t values = (uint64_t)max_pos * keys_count;
    if (io_reader_remaining(&r) / 4 < values)
        return nullptr;
    const int same = max_pos == track->max_pos && keys_count == track->keys_count;
    if (!arena && !same) {
        crash_fail(1,
                   "max pos and keys count did not match and had no arena to allocate new space.. max_pos %u "
                   "keys_count %u file is %u %u\n",
                   track->max_pos, track->keys_count, max_pos, keys_count);
    }
    if (!arena && !track->keys)
        return nullptr;  // nowhere to put the values
    if (!track->keys || !same)
        track->keys = memarena_push_array<float>(arena, values);
    track->max_pos = max_pos;
    track->keys_count = keys_count;
    track->pos = pos;
    io_read_many_f32(&r, track->keys, values, "keys");
    return r.p;
}

int demo_track2_load_file(demo_track2* track, const char* path, int endian, memarena* arena, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    uint64_t size = 0;
    const uint8_t* b = file_open_read_close_ex(path, tmp_arena, &size);
    int result = b && demo_track2_load(arena, track, b, size, endian) ? 0 : 1;
    if (tmp_arena != arena)
        memarena_goto_marker(tmp_arena, marker);
    return result;
}

uint8_t* demo_track2_store(uint8_t* b, const demo_track2* track, int endian)
{
    b = io_store32(b, track->max_pos, endian);
    b = io_store32(b, track->keys_count, endian);
    b = io_store32(b, track->pos, endian);
    const uint64_t values = (uint64_t)track->max_pos * track->keys_count;
    for (uint64_t i = 0; i < values; i++)
        b = io_storef32(b, track->keys[i], endian);
    return b;
}

int demo_track2_store_file(const demo_track2* track, const char* path, int endian, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    const uint64_t bytes = DEMO_TRACK2_HEADER_BYTES + 4 * (uint64_t)track->max_pos * track->keys_count;
    uint8_t* b = static_cast<uint8_t*>(memarena_push(tmp_arena, bytes));
    uint8_t* end = demo_track2_store(b, track, endian);
    int result = demo_track_file_write(path, b, (uint64_t)(end - b));
    memarena_goto_marker(tmp_arena, marker);
    return result;
}

static int track2_pressed(const nanokorg2_state* prev, const nanokorg2_state* now, int nanokorg2_state::*button)
{
    return now->*button && !(prev && prev->*button);
}

void demo_track2_record(demo_track2* track, const nanokorg2_state* prev_nk2, const nanokorg2_state* nk2)
{
    if (!nk2)
        return;
    if (track2_pressed(prev_nk2, nk2, &nanokorg2_state::record))
        track->is_recording = !track->is_recording;
    if (track->is_recording && track->keys && track->pos < track->max_pos) {
        float* row = track->keys + (uint64_t)track->pos * track->keys_count;
        for (uint32_t k = 0; k < DEMO_TRACK2_CHANNELS && k < track->keys_count; k++)
            row[k] = nk2->ch_knob[k] * nk2->ch_slider[k];
    }
    if (track2_pressed(prev_nk2, nk2, &nanokorg2_state::track_left) && track->pos > 0)
        track->pos--;
    if (track2_pressed(prev_nk2, nk2, &nanokorg2_state::track_right) && track->pos + 1 < track->max_pos)
        track->pos++;
}

void demo_track2_get(const demo_track2* track, float* out)
{
    for (uint32_t k = 0; k < DEMO_TRACK2_CHANNELS; k++) {
        out[k] = 0.0f;
        if (track->keys && track->pos < track->max_pos && k < track->keys_count)
            out[k] = track->keys[(uint64_t)track->pos * track->keys_count + k];
    }
}
