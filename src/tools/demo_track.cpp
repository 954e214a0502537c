#include "tools/demo_track.h"

#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/memarena.h"
#include "core/posix_file_utils.h"
#include "host/nanokorg2.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"

#define DEMO_TRACK_CRASH(...) mycrash("src/demo_track", __LINE__, "", __VA_ARGS__)

void demo_track_init(memarena* arena, demo_track* track, uint32_t ps_count, uint32_t keys_count, float ps_min,
                     float ps_max)
{
    // Both counts are divisors of the transport's key and parameter steps.
    if (ps_count == 0 || keys_count == 0)
        DEMO_TRACK_CRASH("demo_track_init: ps_count %u and keys_count %u must be at least 1\n", ps_count, keys_count);
    memset(track, 0, sizeof *track);
    track->ps_count = ps_count;
    track->keys_count = keys_count;
    track->ticks_per_key = 1;
    const uint64_t values = (uint64_t)ps_count * keys_count;
    track->ps = memarena_push_array<float>(arena, values);
    track->ps_min = memarena_push_array<float>(arena, ps_count);
    track->ps_max = memarena_push_array<float>(arena, ps_count);
    for (uint64_t i = 0; i < values; i++)
        track->ps[i] = ps_min;
    for (uint32_t p = 0; p < ps_count; p++) {
        track->ps_min[p] = ps_min;
        track->ps_max[p] = ps_max;
    }
}

void demo_track_ctrl_init(memarena* arena, demo_track_control* ctrl, const demo_track* track)
{
    memset(ctrl, 0, sizeof *ctrl);
    ctrl->ps = memarena_push_array_zeroed<float>(arena, track->ps_count);
    ctrl->ps_key_record = memarena_push_array_zeroed<float>(arena, track->ps_count);
    ctrl->ps_capacity = track->ps_count;
}

const uint8_t* demo_track_load(memarena* arena, demo_track* track, const uint8_t* b, uint64_t size, int endian)
{
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t ps_count = io_read32(&r, "ps_count");
    const uint32_t keys_count = io_read32(&r, "keys_count");
    const uint32_t ticks_per_key = io_read32(&r, "ticks_per_key");
    const uint32_t loops = io_read32(&r, "loops");
    if (r.failed || ps_count == 0 || keys_count == 0 || ticks_per_key == 0)
        return nullptr;
    const uint64_t values = (uint64_t)ps_count * keys_count;
    if (io_reader_remaining(&r) / 4 < values + 2 * (uint64_t)ps_count)
        return nullptr;
    const int same = ps_count == track->ps_count && keys_count == track->keys_count && track->ps;
    if (!same) {
        if (!arena)
            return nullptr;
        track->ps = memarena_push_array<float>(arena, values);
        track->ps_min = memarena_push_array<float>(arena, ps_count);
        track->ps_max = memarena_push_array<float>(arena, ps_count);
    }
    track->ps_count = ps_count;
    track->keys_count = keys_count;
    track->ticks_per_key = ticks_per_key;
    track->loops = loops;
    io_read_many_f32(&r, track->ps, values, "ps");
    io_read_many_f32(&r, track->ps_min, ps_count, "ps_min");
    io_read_many_f32(&r, track->ps_max, ps_count, "ps_max");
    return r.p;
}

int demo_track_load_file(demo_track* track, const char* path, int endian, memarena* arena, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    uint64_t size = 0;
    const uint8_t* b = file_open_read_close_ex(path, tmp_arena, &size);
    int result = b && demo_track_load(arena, track, b, size, endian) ? 0 : 1;
    if (tmp_arena != arena)
        memarena_goto_marker(tmp_arena, marker);
    return result;
}

uint8_t* demo_track_store(uint8_t* b, const demo_track* track, int endian)
{
    b = io_store32(b, track->ps_count, endian);
    b = io_store32(b, track->keys_count, endian);
    b = io_store32(b, track->ticks_per_key, endian);
    b = io_store32(b, track->loops, endian);
    const uint64_t values = (uint64_t)track->ps_count * track->keys_count;
    for (uint64_t i = 0; i < values; i++)
        b = io_storef32(b, track->ps[i], endian);
    for (uint32_t p = 0; p < track->ps_count; p++)
        b = io_storef32(b, track->ps_min[p], endian);
    for (uint32_t p = 0; p < track->ps_count; p++)
        b = io_storef32(b, track->ps_max[p], endian);
    return b;
}

int demo_track_file_write(const char* path, const uint8_t* b, uint64_t n)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return 1;
    const size_t wrote = n ? fwrite(b, 1, n, f) : 0;
    const int closed = fclose(f);
    return wrote == n && closed == 0 ? 0 : 1;
}

int demo_track_store_file(const demo_track* track, const char* path, int endian, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    const uint64_t bytes =
        DEMO_TRACK_HEADER_BYTES + 4 * ((uint64_t)track->ps_count * track->keys_count + 2 * (uint64_t)track->ps_count);
    uint8_t* b = static_cast<uint8_t*>(memarena_push(tmp_arena, bytes));
    uint8_t* end = demo_track_store(b, track, endian);
    int result = demo_track_file_write(path, b, (uint64_t)(end - b));
    memarena_goto_marker(tmp_arena, marker);
    return result;
}

static int track_pressed(const nanokorg2_state* prev, const nanokorg2_state* now, int nanokorg2_state::*button)
{
    return now && now->*button && !(prev && prev->*button);
}

static float* track_row(const demo_track* track, uint32_t key) { return track->ps + (uint64_t)key * track->ps_count; }

void demo_track_update(demo_track* track, demo_track_control* ctrl, const nanokorg2_state* prev_nk2,
                       const nanokorg2_state* nk2)
{
    if (track->ps_count == 0 || track->keys_count == 0 || !track->ps)
        DEMO_TRACK_CRASH("demo_track_update: track has no keys\n");
    if (track->ps_count > ctrl->ps_capacity)
        DEMO_TRACK_CRASH("demo_track_update: control holds %u parameters, track has %u\n", ctrl->ps_capacity,
                         track->ps_count);
    const uint32_t keys = track->keys_count;
    const int last = (int)(keys - 1);
    const int ticks_per_key = track->ticks_per_key ? (int)track->ticks_per_key : 1;
    // A track reloaded with fewer keys leaves no index past its rows.
    if (ctrl->key < 0 || ctrl->key > last)
        ctrl->key = last;
    ctrl->record_key %= keys;

    ctrl->ps_key_prev = track_row(track, (uint32_t)ctrl->key);

    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::record)) {
        ctrl->playing = 0;
        ctrl->recording = 1;
        if (ctrl->ticks_in_key > 0)
            ctrl->tick -= ctrl->tick % ctrl->ticks_in_key;
    }
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::play)) {
        ctrl->playing = 1;
        ctrl->recording = 0;
    }
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::stop)) {
        ctrl->playing = 0;
        ctrl->recording = 0;
    }
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::rewind)) {
        ctrl->tick = 0;
        ctrl->ticks_in_key = 0;
        ctrl->key = 0;
    }
    // Stepping left from key 0 wraps round to the last key.
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::track_left))
        ctrl->record_key = (ctrl->record_key + keys - 1) % keys;
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::track_right))
        ctrl->record_key = (ctrl->record_key + 1) % keys;
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::marker_left))
        ctrl->record_ps_offset -= 1;
    if (track_pressed(prev_nk2, nk2, &nanokorg2_state::marker_right))
        ctrl->record_ps_offset += 1;

    while (ctrl->ticks_in_key >= ticks_per_key) {
        ctrl->key++;
        if (ctrl->key > last)
            ctrl->key = track->loops ? 0 : last;
        ctrl->ticks_in_key -= ticks_per_key;
    }
    int next = ctrl->key + 1;
    if (next > last)
        next = track->loops ? 0 : last;
    ctrl->ps_key_curr = track_row(track, (uint32_t)ctrl->key);
    ctrl->ps_key_next = track_row(track, (uint32_t)next);

    if (ctrl->playing) {
        ctrl->ticks_in_key++;
        ctrl->tick = (int)((uint32_t)ctrl->tick + 1u);
    }

    if (nk2) {
        for (int ch = 0; ch < 8; ch++)
            if (nk2->ch_mute[ch])
                ctrl->ch_mute_toggle[ch] = !ctrl->ch_mute_toggle[ch];
    }

    if (ctrl->recording) {
        float* row = track_row(track, ctrl->record_key);
        memcpy(ctrl->ps_key_record, row, (size_t)track->ps_count * sizeof(float));
        if (nk2) {
            for (uint32_t ch = 0; ch < 8; ch++) {
                const uint32_t p = (ctrl->record_ps_offset + ch) % track->ps_count;
                const float v =
                    track->ps_min[p] + (track->ps_max[p] - track->ps_min[p]) * nk2->ch_knob[ch] * nk2->ch_slider[ch];
                ctrl->ps_key_record[p] = v;
                if (!ctrl->ch_mute_toggle[ch])
                    row[p] = v;
            }
        }
        ctrl->ps_key_curr = ctrl->ps_key_record;
    }

    const float f = (float)ctrl->ticks_in_key / (float)ticks_per_key;
    for (uint32_t p = 0; p < track->ps_count; p++)
        ctrl->ps[p] = ctrl->ps_key_curr[p] + (ctrl->ps_key_next[p] - ctrl->ps_key_curr[p]) * f;
}

// ---- grid view ---------------------------------------------------------------

#define TRACK_CELL 5

struct track_grid {
    n3d_framebuffer* fb;
    int wide;  // ARGB1555: 2 bytes a pixel
};

static void track_grid_put(const track_grid* g, int x, int y, uint32_t argb1555, uint32_t index8)
{
    n3d_framebuffer* fb = g->fb;
    if (x < 0 || y < 0 || x >= fb->w || y >= fb->h)
        return;
    uint8_t* row = static_cast<uint8_t*>(fb->b) + (int64_t)y * fb->row_bytes;
    if (g->wide) {
        uint16_t v = (uint16_t)argb1555;
        memcpy(row + 2 * x, &v, 2);
    } else {
        row[x] = (uint8_t)index8;
    }
}

// Normalised to the parameter's range, limited to 0..1; an empty range (or NaN) gives 0.
static float track_grid_q(float value, float lo, float hi)
{
    const float range = hi - lo;
    if (!(range != 0.0f))
        return 0.0f;
    const float q = (value - lo) / range;
    if (!(q > 0.0f))
        return 0.0f;
    return q > 1.0f ? 1.0f : q;
}

// One cell: border on its first row and column (and on the closing row and
// column of the last parameter and key), the value as grey inside.
static void track_grid_cell(const track_grid* g, int x0, int y0, int closing_col, int closing_row, float q,
                            uint32_t border_argb1555)
{
    const int g5 = (int)(31.0f * q);
    const int g8 = (int)(255.0f * q);
    const uint32_t grey = N3D_ARGB1555_ALPHA | (uint32_t)(g5 << 10 | g5 << 5 | g5);
    const int w = TRACK_CELL + (closing_col ? 1 : 0);
    const int h = TRACK_CELL + (closing_row ? 1 : 0);
    for (int dy = 0; dy < h; dy++)
        for (int dx = 0; dx < w; dx++) {
            const int border = dx == 0 || dy == 0 || dx == TRACK_CELL || dy == TRACK_CELL;
            if (border)
                track_grid_put(g, x0 + dx, y0 + dy, border_argb1555, 0);
            else
                track_grid_put(g, x0 + dx, y0 + dy, grey, (uint32_t)g8);
        }
}

// The ring just inside a cell's border: its second and last pixel rows and columns.
static void track_grid_ring(const track_grid* g, int x0, int y0, uint32_t argb1555, uint32_t index8)
{
    for (int dy = 1; dy < TRACK_CELL; dy++)
        for (int dx = 1; dx < TRACK_CELL; dx++)
            if (dx == 1 || dy == 1 || dx == TRACK_CELL - 1 || dy == TRACK_CELL - 1)
                track_grid_put(g, x0 + dx, y0 + dy, argb1555, index8);
}

void demo_track_display(const demo_track* track, const demo_track_control* ctrl, const nanokorg2_state* nk2,
                        n3d_frame_context* fc)
{
    (void)nk2;
    if (!track->ps || track->keys_count == 0 || track->ps_count == 0)
        return;
    const uint32_t green = N3D_ARGB1555_ALPHA | 31u << 5;
    const uint32_t cyan = N3D_ARGB1555_ALPHA | 31u << 5 | 31u;
    const uint32_t red = N3D_ARGB1555_ALPHA | 31u << 10;
    const uint32_t blue = N3D_ARGB1555_ALPHA | 31u;
    track_grid g = {fc->fb, fc->fb->format == 2};
    const int keys = (int)track->keys_count;
    const int params = (int)track->ps_count;
    const int key = ctrl->key;
    const uint32_t shown = ctrl->ps_capacity < track->ps_count ? ctrl->ps_capacity : track->ps_count;

    for (int k = 0; k < keys; k++) {
        const int x0 = TRACK_CELL * k + (k > key ? TRACK_CELL : 0);
        const float* row = track->ps + (uint64_t)k * track->ps_count;
        for (int p = 0; p < params; p++)
            track_grid_cell(&g, x0, TRACK_CELL * p, k == keys - 1, p == params - 1,
                            track_grid_q(row[p], track->ps_min[p], track->ps_max[p]), green);
    }
    if (ctrl->ps && key >= 0 && key < keys) {
        const int x0 = TRACK_CELL * (key + 1);
        for (int p = 0; p < params && (uint32_t)p < shown; p++)
            track_grid_cell(&g, x0, TRACK_CELL * p, key == keys - 1, p == params - 1,
                            track_grid_q(ctrl->ps[p], track->ps_min[p], track->ps_max[p]), cyan);
    }
    if (ctrl->record_key < track->keys_count) {
        const int rk = (int)ctrl->record_key;
        const int x0 = TRACK_CELL * rk + (rk > key ? TRACK_CELL : 0);
        for (uint32_t ch = 0; ch < 8; ch++) {
            const uint32_t p = (ctrl->record_ps_offset + ch) % track->ps_count;
            const int live = ctrl->recording && !ctrl->ch_mute_toggle[ch];
            track_grid_ring(&g, x0, TRACK_CELL * (int)p, live ? red : blue, live ? 255u : 0u);
        }
    }
}
