#include "vexil/vexil_scenes.h"

#include <cstring>

#include "core/saturate.h"
#include "host/demo_music.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_sequence.h"

// The fade of fade_out_music runs over the last 3 s of its row.
#define VEXIL_FADE_OUT_MUSIC_FRAMES 66150

// ---- control scenes ----

// Makes sure the scene's ints array holds at least n entries.
static void vexil_scene_reserve_ints(vexil_scene* scene, memarena* arena, int n)
{
    if (scene->ints && scene->ints_count >= n)
        return;
    int* ints = memarena_push_array_zeroed<int>(arena, (uint64_t)n);
    if (scene->ints)
        memcpy(ints, scene->ints, sizeof(int) * (size_t)scene->ints_count);
    scene->ints = ints;
}

static void vexil_scene_parse_label_row(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    vexil_sequence_label* label = vexil_sequence_find_label(&ctx->d->sequence, name);
    if (!label)
        VEXIL_SCENES_CRASH("could not find label \"%s\" in sequence!\n", name);
    vexil_scene_reserve_ints(scene, ctx->arena, 1);
    scene->ints[0] = label->row_i;
    scene->ints_count = 1;
}

// The row the loading stops before. An ini file may give any integer: it is
// kept within the sequence's rows.
static int vexil_scene_label_row(const vexil_scene* scene, const vexil* d)
{
    int n = scene->ints_count > 0 ? scene->ints[0] : 0;
    if (n < 0)
        n = 0;
    if (n > d->sequence.rows_count)
        n = d->sequence.rows_count;
    return n;
}

static void vexil_load_row_scene(vexil* d, int row_i)
{
    vexil_sequence_row* row = &d->sequence.rows[row_i];
    vexil_load_scene(d, &d->scenes[row->scene_index], row);
}

void scene_load_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    vexil_scene_parse_label_row(scene, ctx);
}

void scene_load_sync(vexil_scene* scene, vexil_args* args)
{
    int n = vexil_scene_label_row(scene, args->d);
    for (int i = 0; i < n; i++)
        vexil_load_row_scene(args->d, i);
    scene->completed_prepare = 1;
}

void scene_load_async_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    vexil_scene_parse_label_row(scene, ctx);
    scene->state.load_async_row = 0;
}

// One scene per call, so the load spreads over the prepare calls of both kinds.
void scene_load_async(vexil_scene* scene, vexil_args* args)
{
    if (vexil_scene_label_row(scene, args->d) > scene->state.load_async_row) {
        vexil_load_row_scene(args->d, scene->state.load_async_row);
        scene->state.load_async_row++;
        return;
    }
    scene->completed_prepare = 1;
}

void scene_music_start_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    vexil_music* music = vexil_load_music(ctx->d, name);
    if (!scene->music_tracks || scene->music_tracks_count < 1)
        scene->music_tracks = memarena_push_array_zeroed<vexil_music*>(ctx->arena, 1);
    scene->music_tracks[0] = music;
    scene->music_tracks_count = 1;
}

void scene_music_start(vexil_scene* scene, vexil_args* args)
{
    (void)args;
    if (!scene->completed_prepare) {
        scene->completed_prepare = 1;
        return;
    }
    // Handed over once, in the first running call of either kind: a second
    // hand-over (a cleanup call, or the loop pass's first running call after
    // the vertical blank's) resets the decoders while the clock runs on, and
    // the rest of the music decodes wrongly from that frame on.
    if (scene->is_running && !scene->is_cleanup && scene->is_first_run && scene->vbl_is_first_run &&
        scene->music_tracks_count > 0) {
        vexil_music* m = scene->music_tracks[0];
        demo_music_load(m->buffer, (int)m->size, 0, 0);
    }
}

// Its argument is the music position read by the sequence loader.
void scene_music_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}

void scene_music_sync(vexil_scene* scene, vexil_args* args)
{
    (void)args;
    scene->completed_prepare = 1;
}

void scene_fade_out_music_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}

void scene_fade_out_music(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        scene->completed_prepare = 1;
        return;
    }
    if (!scene->is_running)
        return;
    if (scene->is_cleanup) {
        args->d->quit = 1;
        return;
    }
    if (scene->is_first_run) {
        int64_t fade = (int64_t)scene->duration_samples + demo_music_frame_position.load(std::memory_order_relaxed) -
                       VEXIL_FADE_OUT_MUSIC_FRAMES;
        demo_music_fade_out_set(sat_int64_to_int(fade));
    }
}

void scene_barrier_completion(vexil_scene* scene, vexil_args* args)
{
    (void)scene;
    (void)args;
}

void scene_barrier_completion_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}
