#include "tools/demo_track2.h"

#include <sys/stat.h>

#include <cerrno>
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

// 0 when a record of size bytes with this header can be loaded into the track,
// else 1 with the reason in why.
static int track2_refused(const demo_track2* track, const memarena* arena, uint64_t size, uint32_t max_pos,
                          uint32_t keys_count, uint32_t pos, char* why, size_t why_size)
{
    const uint64_t values = (uint64_t)max_pos * keys_count;
    if (size < DEMO_TRACK2_HEADER_BYTES)
        snprintf(why, why_size, "%llu bytes, shorter than its %d-byte header", (unsigned long long)size,
                 DEMO_TRACK2_HEADER_BYTES);
    else if (max_pos == 0)
        snprintf(why, why_size, "no rows (max_pos 0)");
    else if (pos >= max_pos)
        snprintf(why, why_size, "pos %u past its last row %u", pos, max_pos - 1);
    else if ((size - DEMO_TRACK2_HEADER_BYTES) / 4 < values)
        snprintf(why, why_size, "%llu bytes, too short for %u rows of %u values (%llu bytes)", (unsigned long long)size,
                 max_pos, keys_count, (unsigned long long)(DEMO_TRACK2_HEADER_BYTES + 4 * values));
    else if (!arena && !track->keys)
        snprintf(why, why_size, "the track has no storage for its values");
    else
        return 0;
    return 1;
}

static const uint8_t* track2_load(memarena* arena, demo_track2* track, const uint8_t* b, uint64_t size, int endian,
                                  char* why, size_t why_size)
{
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t max_pos = io_read32(&r, "max_pos");
    const uint32_t keys_count = io_read32(&r, "keys_count");
    const uint32_t pos = io_read32(&r, "pos");
    if (track2_refused(track, arena, size, max_pos, keys_count, pos, why, why_size))
        return nullptr;
    const uint64_t values = (uint64_t)max_pos * keys_count;
    const int same = max_pos == track->max_pos && keys_count == track->keys_count;
    if (!arena && !same) {
        crash_fail(1,
                   "max pos and keys count did not match and had no arena to allocate new space.. max_pos %u "
                   "keys_count %u file is %u %u\n",
                   track->max_pos, track->keys_count, max_pos, keys_count);
    }
    if (!track->keys || !same)
        track->keys = memarena_push_array<float>(arena, values);
    track->max_pos = max_pos;
    track->keys_count = keys_count;
    track->pos = pos;
    io_read_many_f32(&r, track->keys, values, "keys");
    return r.p;
}

const uint8_t* demo_track2_load(memarena* arena, demo_track2* track, const uint8_t* b, uint64_t size, int endian)
{
    char why[128];
    return track2_load(arena, track, b, size, endian, why, sizeof why);
}

int demo_track2_load_file_checked(demo_track2* track, const char* path, int endian, memarena* arena,
                                  memarena* tmp_arena, char* why, size_t why_size)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    uint64_t size = 0;
    const uint8_t* b = file_open_read_close_ex(path, tmp_arena, &size);
    int result = DEMO_TRACK2_FILE_LOADED;
    if (b) {
        if (!track2_load(arena, track, b, size, endian, why, why_size))
            result = DEMO_TRACK2_FILE_REFUSED;
    } else {
        // Nothing read: a file that is not there, or one that is there and is
        // empty or cannot be read.
        struct stat st;
        if (stat(path, &st) != 0) {
            if (errno == ENOENT)
                result = DEMO_TRACK2_FILE_MISSING;
            else {
                snprintf(why, why_size, "it cannot be read");
                result = DEMO_TRACK2_FILE_REFUSED;
            }
        } else {
            if (!S_ISREG(st.st_mode) || st.st_size >= DEMO_TRACK2_HEADER_BYTES)
                snprintf(why, why_size, "it cannot be read");
            else
                track2_refused(track, arena, (uint64_t)st.st_size, 0, 0, 0, why, why_size);
            result = DEMO_TRACK2_FILE_REFUSED;
        }
    }
    if (tmp_arena != arena)
        memarena_goto_marker(tmp_arena, marker);
    return result;
}

int demo_track2_load_file(demo_track2* track, const char* path, int endian, memarena* arena, memarena* tmp_arena)
{
    char why[128];
    return demo_track2_load_file_checked(track, path, endian, arena, tmp_arena, why, sizeof why) ? 1 : 0;
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
