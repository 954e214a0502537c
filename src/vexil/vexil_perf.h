// Cycle statistics of the production: calls and cycles per update kind, kept for
// whole updates and for each scene's running, prepare and cleanup calls, and
// their report line. Called by the runtime and the sequence walk on the main
// thread; allocates nothing and cannot fail.
#pragma once

#include "core/cycles_measure.h"
#include "vexil/vexil.h"

// Adds one call and the cycles since t0 to the counters of the given kind.
void vexil_performance_update(vexil_performance* perf, cycles_t t0, int is_vbl);
// "%s: %.2f ms %.2f cycles/frame (frames %d cycles: %lu)\n" for the chosen kind.
void vexil_performance_print(const char* name, int vbl, vexil_performance* perf);
