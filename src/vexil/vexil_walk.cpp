#include "vexil/vexil_walk.h"

#include "core/cycles_measure.h"
#include "host/demo_music.h"
#include "vexil/vexil_perf.h"
#include "vexil/vexil_scene_load.h"

static int vexil_scene_has_run(const vexil_scene* s, int is_vbl)
{
    return (is_vbl ? s->vbl_is_first_run : s->is_first_run) == 0;
}

static cycles_t vexil_prepare_budget(int is_vbl)
{
    double ms = is_vbl ? 0.1 : 0.5;
    return (cycles_t)((double)(float)cpu_cycles_per_second * (ms / 1000));
}

void vexil_run_sequence(vexil* d, vexil_args* args)
{
    uint32_t pos_u = (uint32_t)vexil_audio_position.load(std::memory_order_relaxed);
    int pos = (int)pos_u;
    float global_t = (float)(pos / 22050.0);
    int is_vbl = args->is_vbl;
    args->fc_overlay_backbuffers_count = d->fc_overlay_backbuffers_count;
    args->fc_overlay_backbuffers = d->fc_overlay_backbuffers;
    args->overlay_stencils_count = d->overlay_stencils_count;
    args->overlay_stencils = d->overlay_stencils;

    vexil_sequence* seq = &d->sequence;

    // Each kind that ran gets exactly one cleanup call once the window has passed.
    for (int i = 0; i < seq->rows_count; i++) {
        vexil_sequence_row* row = &seq->rows[i];
        vexil_scene* s = &d->scenes[row->scene_index];
        args->row = row;
        int done = is_vbl ? s->vbl_cleanup_done : s->cleanup_done;
        if (!vexil_scene_has_run(s, is_vbl) || !(pos > row->end_22050hz) || done)
            continue;
        s->is_cleanup = 1;
        cycles_t t0 = cycles_measure_get();
        s->scene_func(s, args);
        vexil_performance_update(&s->perf_cleanup, t0, is_vbl);
        if (is_vbl)
            s->vbl_cleanup_done = 1;
        else
            s->cleanup_done = 1;
    }

    int barrier = 0;
    for (int i = 0; i < seq->rows_count; i++) {
        vexil_sequence_row* row = &seq->rows[i];
        vexil_scene* s = &d->scenes[row->scene_index];
        int prepare_due = pos >= row->start_prepare_22050hz && !s->completed_prepare;
        int run_due = pos >= row->start_22050hz && (pos < row->end_22050hz || !vexil_scene_has_run(s, is_vbl));
        args->row = row;
        // The clock stands at 0 until the music is handed over: the row that
        // hands it over is prepared and run then, however late it starts.
        if (pos == 0 && row->start_22050hz > 0 && !vexil_scene_has_run(s, is_vbl)) {
            int flags = s->loaded ? s->binding_flags : vexil_binding_flags_of_row(d, row);
            if (flags & VEXIL_BINDING_STARTS_THE_CLOCK) {
                prepare_due = !s->completed_prepare;
                run_due = 1;
            }
        }

        if (i > 0) {
            vexil_sequence_row* prev = &seq->rows[i - 1];
            vexil_scene* ps = &d->scenes[prev->scene_index];
            int64_t next = (int64_t)pos + 1;
            int inside = next >= prev->start_22050hz && next < prev->end_22050hz;
            int finished = vexil_scene_has_run(ps, is_vbl) && !inside;
            if ((prev->barrier_flags & VEXIL_SEQUENCE_BARRIER_PREV_COMPLETED) && !finished)
                barrier = 1;
        }
        if (!prepare_due && !run_due)
            continue;
        if (!s->loaded)
            vexil_load_scene(d, s, row);

        if (prepare_due) {
            // With the run due as well there is no time left: the scene must finish now.
            s->cycles_allowed_to_spend_prepare = run_due ? 0 : vexil_prepare_budget(is_vbl);
            s->local_sample = 0;
            s->local_tick60hz = 0;
            s->local_t = 0;
            s->global_t = global_t;
            s->duration_samples = (uint32_t)row->end_22050hz - (uint32_t)row->start_22050hz;
            s->duration_tick60hz = (int)(s->duration_samples * 2u / 735u);
            s->duration_t = (float)(s->duration_samples / 22050.0);
            cycles_t t0 = cycles_measure_get();
            s->scene_func(s, args);
            vexil_performance_update(&s->perf_prepare, t0, is_vbl);
            if (s->completed_prepare)
                s->is_running = 1;
        }

        // No other early running call: a preparation that completes before the
        // row's start waits for the start (its local time would be negative).
        if (s->is_running && !barrier && run_due) {
            s->local_sample = pos >= row->start_22050hz ? pos_u - (uint32_t)row->start_22050hz : 0u;
            s->local_tick60hz = (int)(s->local_sample * 2u / 735u);
            s->local_t = (float)(s->local_sample / 22050.0);
            s->global_t = global_t;
            cycles_t t0 = cycles_measure_get();
            s->scene_func(s, args);
            vexil_performance_update(&s->perf, t0, is_vbl);
            if (is_vbl) {
                s->vbl_is_first_run = 0;
                s->vbl_call_count_running++;
            } else {
                s->is_first_run = 0;
                s->call_count_running++;
            }
        }
    }
}
