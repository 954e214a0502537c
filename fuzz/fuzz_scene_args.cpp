// The argument parsers of the scene kinds and the scenes they configure: the
// first input byte picks the binding, the second the row's length, the rest (up
// to a zero byte) is the row's argument text; none at all means a row without
// arguments, "@name" an ini resource of the fixed resource pack. The scene is
// bound and parsed as the sequence walk loads it, then driven through the
// scene call protocol (prepare calls, running calls at the start, middle and
// end of its window in both update kinds, cleanup calls) against the overlay,
// its back buffers and stencils, the video pages and the display.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "host/nanokorg2.h"
#include "vexil/vexil_bindings.h"

// Prepare calls before a scene counts as never ready.
#define FUZZ_PREPARE_CALLS_MAX 16

// Row lengths in 22050 Hz frames; a row ending before its start gives a
// length that wraps, as the sequence walk computes it.
static const uint32_t k_durations[8] = {0, 1, 735, 22050, 441000, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};

struct fuzz_scene_input {
    fuzz_env* env;
    vexil_fs* pack;
    int binding;
    uint32_t duration;
    char* args;
};

static char* fuzz_str(memarena* arena, const char* s)
{
    size_t n = strlen(s);
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, s, n + 1);
    return r;
}

static void fuzz_scene_call(vexil_scene* s, vexil_args* a, fuzz_env* env, int is_vbl)
{
    a->is_vbl = is_vbl;
    a->fc_videos = is_vbl ? nullptr : env->fc_videos;
    s->scene_func(s, a);
}

static void fuzz_scene_drive(void* user)
{
    fuzz_scene_input* in = static_cast<fuzz_scene_input*>(user);
    fuzz_env* env = in->env;
    memarena* A = env->arena;
    vexil* d = fuzz_vexil(env, in->pack, 1);

    // Three rows, a label before each: the fuzzed row is the middle one.
    vexil_sequence* seq = &d->sequence;
    seq->rows_count = 3;
    seq->scenes_count = 3;
    seq->rows = memarena_push_array_zeroed<vexil_sequence_row>(A, 3);
    seq->labels_count = 3;
    seq->labels = memarena_push_array_zeroed<vexil_sequence_label>(A, 3);
    static const char* const label_names[3] = {"a", "b", "c"};
    for (int i = 0; i < 3; i++) {
        vexil_sequence_row* r = &seq->rows[i];
        r->scene_index = i;
        r->line = 2 + i;
        r->func_name = fuzz_str(A, "overlay_clear");
        r->args = fuzz_str(A, "7");
        r->end_22050hz = (int)in->duration;
        seq->labels[i].name = fuzz_str(A, label_names[i]);
        seq->labels[i].row_i = i;
    }
    vexil_sequence_row* row = &seq->rows[1];
    row->func_name = fuzz_str(A, bindings[in->binding].name);
    row->args = in->args;
    d->scenes_count = 3;
    d->scenes = memarena_push_array_zeroed<vexil_scene>(A, 3);

    vexil_scene* s = &d->scenes[1];
    s->is_first_run = 1;
    s->vbl_is_first_run = 1;
    vexil_load_scene(d, s, row);

    static uint8_t keys[256];
    static nanokorg2_state nk2;
    vexil_args a = {};
    a.d = d;
    a.row = row;
    a.arena = env->demo_arena;
    a.video = env->video;
    a.fc_overlay = env->fc_overlay;
    a.fc_overlay_backbuffers_count = d->fc_overlay_backbuffers_count;
    a.fc_overlay_backbuffers = d->fc_overlay_backbuffers;
    a.overlay_stencils_count = d->overlay_stencils_count;
    a.overlay_stencils = d->overlay_stencils;
    a.fc = &env->fc_videos[0];
    a.nk2 = &nk2;
    a.keys_ascii = keys;

    s->duration_samples = in->duration;
    s->duration_tick60hz = (int)(s->duration_samples * 2u / 735u);
    s->duration_t = (float)(s->duration_samples / 22050.0);
    for (int k = 0; k < FUZZ_PREPARE_CALLS_MAX && !s->completed_prepare; k++)
        fuzz_scene_call(s, &a, env, k & 1);
    if (!s->completed_prepare)
        return;
    s->is_running = 1;
    // Start, middle and end of the window, and once after it: a scene whose
    // window the clock passed before it ever ran still gets one running call.
    const uint32_t last = in->duration ? in->duration - 1 : 0;
    const uint32_t times[4] = {0, in->duration / 2, last, in->duration + 22050u};
    for (uint32_t t : times) {
        s->local_sample = t;
        s->local_tick60hz = (int)(t * 2u / 735u);
        s->local_t = (float)(t / 22050.0);
        s->global_t = s->local_t;
        fuzz_scene_call(s, &a, env, 0);
        s->is_first_run = 0;
        s->call_count_running++;
        fuzz_scene_call(s, &a, env, 1);
        s->vbl_is_first_run = 0;
        s->vbl_call_count_running++;
    }
    s->is_cleanup = 1;
    fuzz_scene_call(s, &a, env, 0);
    fuzz_scene_call(s, &a, env, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    fuzz_env* env = fuzz_begin();
    fuzz_scene_input in = {env, fuzz_resource_pack(), data[0] % bindings_count, k_durations[data[1] % 8], nullptr};
    char* args = nullptr;
    if (size > 2)
        args = reinterpret_cast<char*>(fuzz_copy(data + 2, size - 2, 1));
    in.args = args;
    fuzz_run(fuzz_scene_drive, &in);
    fuzz_free(args);
    return 0;
}
