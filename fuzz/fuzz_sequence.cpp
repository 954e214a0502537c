// The sequence parser with its time-line resolution, and the walk over it: the
// input is the text of "sequence.csv" (up to its first zero byte). A parsed
// sequence must hold only rows, labels and barriers that point at rows inside
// it. Its first rows are then walked as the production walks them, against the
// fixed resource pack, at the clock positions their times name (both update
// kinds at each), which binds, loads, prepares, runs and cleans up their scenes.
// Built with FUZZ_PRODUCTION it is the whole production instead: the input is a
// pack image holding "sequence.csv" and the resources its scenes name, opened
// as the first loading step opens a pack, then parsed and walked the same way.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "host/demo_music.h"
#include "host/nanokorg2.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_sequence.h"
#include "vexil/vexil_walk.h"

// The walk covers at most this many rows and clock positions per input.
#define FUZZ_WALK_ROWS_MAX 12
#define FUZZ_WALK_POSITIONS_MAX 24

struct fuzz_sequence_input {
    fuzz_env* env;
    vexil_fs* pack;
    char* text;
};

static void fuzz_sequence_add_position(int* positions, int* count, int64_t t)
{
    if (*count >= FUZZ_WALK_POSITIONS_MAX || t < 0 || t > INT32_MAX)
        return;
    for (int i = 0; i < *count; i++)
        if (positions[i] == (int)t)
            return;
    int i = *count;
    // Kept in ascending order: the clock only moves forward between walks.
    while (i > 0 && positions[i - 1] > (int)t) {
        positions[i] = positions[i - 1];
        i--;
    }
    positions[i] = (int)t;
    (*count)++;
}

static void fuzz_sequence_walk(fuzz_env* env, vexil_fs* pack, vexil_sequence* seq)
{
    vexil* d = fuzz_vexil(env, pack, 1);
    d->sequence = *seq;
    if (d->sequence.rows_count > FUZZ_WALK_ROWS_MAX)
        d->sequence.rows_count = FUZZ_WALK_ROWS_MAX;
    d->scenes_count = seq->scenes_count;
    d->scenes = memarena_push_array_zeroed<vexil_scene>(env->arena, (uint64_t)d->scenes_count);
    for (int i = 0; i < d->scenes_count; i++) {
        d->scenes[i].is_first_run = 1;
        d->scenes[i].vbl_is_first_run = 1;
    }
    d->initialized = 1;
    int positions[FUZZ_WALK_POSITIONS_MAX];
    int count = 0;
    for (int i = 0; i < d->sequence.rows_count; i++) {
        const vexil_sequence_row* r = &d->sequence.rows[i];
        fuzz_sequence_add_position(positions, &count, r->start_prepare_22050hz);
        fuzz_sequence_add_position(positions, &count, r->start_22050hz);
        fuzz_sequence_add_position(positions, &count, (int64_t)r->end_22050hz - 1);
        fuzz_sequence_add_position(positions, &count, (int64_t)r->end_22050hz + 1);
    }
    static uint8_t keys[256];
    static nanokorg2_state nk2;
    vexil_args a = {};
    a.d = d;
    a.arena = env->demo_arena;
    a.video = env->video;
    a.fc_overlay = env->fc_overlay;
    a.fc = &env->fc_videos[0];
    a.nk2 = &nk2;
    a.keys_ascii = keys;
    for (int i = 0; i < count; i++) {
        vexil_audio_position.store(positions[i], std::memory_order_relaxed);
        for (int is_vbl = 0; is_vbl < 2; is_vbl++) {
            a.is_vbl = is_vbl;
            a.fc_videos = is_vbl ? nullptr : env->fc_videos;
            vexil_run_sequence(d, &a);
        }
    }
}

static void fuzz_sequence_parse(void* user)
{
    fuzz_sequence_input* in = static_cast<fuzz_sequence_input*>(user);
    vexil_sequence seq;
    vexil_load_sequence(&seq, in->text, "sequence.csv", in->env->arena, in->env->tmp_arena);
    if (seq.rows_count < 0 || seq.scenes_count != seq.rows_count)
        fuzz_fail("sequence counts disagree");
    for (int i = 0; i < seq.labels_count; i++) {
        fuzz_touch(seq.labels[i].name, strlen(seq.labels[i].name));
        if (seq.labels[i].row_i < 0 || seq.labels[i].row_i >= seq.rows_count)
            fuzz_fail("label without its row");
    }
    for (int i = 0; i < seq.barriers_count; i++)
        if (seq.barriers[i].row_i < 0 || seq.barriers[i].row_i >= seq.rows_count)
            fuzz_fail("barrier without its row");
    for (int i = 0; i < seq.rows_count; i++) {
        const vexil_sequence_row* r = &seq.rows[i];
        if (r->scene_index < 0 || r->scene_index >= seq.scenes_count)
            fuzz_fail("row naming a scene outside the sequence");
        fuzz_touch(r->func_name, strlen(r->func_name));
        if (r->args)
            fuzz_touch(r->args, strlen(r->args));
        fuzz_touch(r->start_op, strlen(r->start_op));
        fuzz_touch(r->end_op, strlen(r->end_op));
    }
    fuzz_sequence_walk(in->env, in->pack, &seq);
}

#ifndef FUZZ_PRODUCTION
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_env* env = fuzz_begin();
    fuzz_sequence_input in = {env, fuzz_resource_pack(), reinterpret_cast<char*>(fuzz_copy(data, size, 1))};
    fuzz_run(fuzz_sequence_parse, &in);
    fuzz_free(in.text);
    return 0;
}
#else
struct fuzz_production_input {
    fuzz_sequence_input seq;
    uint8_t* image;
    uint64_t size;
};

static void fuzz_production_load(void* user)
{
    fuzz_production_input* in = static_cast<fuzz_production_input*>(user);
    vexil_fs_open(in->seq.pack, in->image, in->size, in->seq.env->arena);
    vexil* d = fuzz_vexil(in->seq.env, in->seq.pack, 1);
    in->seq.text = static_cast<char*>(vexil_load_resource(d, "sequence.csv", VEXIL_RSRC_KIND_TEXT));
    fuzz_sequence_parse(&in->seq);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static vexil_fs fs;
    fuzz_production_input in = {{fuzz_begin(), &fs, nullptr}, fuzz_copy(data, size, 0), size};
    fuzz_run(fuzz_production_load, &in);
    fuzz_free(in.image);
    return 0;
}
#endif
