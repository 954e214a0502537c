#include "vexil/vexil_perf.h"

#include <cstdio>

void vexil_performance_update(vexil_performance* perf, cycles_t t0, int is_vbl)
{
    cycles_t dt = cycles_measure_get_delta(t0);
    if (is_vbl) {
        perf->vbl_frames_count++;
        perf->vbl_frames_ticks += dt;
    } else {
        perf->frames_count++;
        perf->frames_ticks += dt;
    }
}

void vexil_performance_print(const char* name, int vbl, vexil_performance* perf)
{
    int count = vbl ? perf->vbl_frames_count : perf->frames_count;
    cycles_t ticks = vbl ? perf->vbl_frames_ticks : perf->frames_ticks;
    float ms = 0;
    float cycles = 0;
    if (count > 0) {
        ms = (float)(cycles_to_ms(ticks) / count);
        cycles = (float)(ticks / (cycles_t)count);
    }
    printf("%s: %.2f ms %.2f cycles/frame (frames %d cycles: %lu)\n", name, ms, cycles, count, (unsigned long)ticks);
}
