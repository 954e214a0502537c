// Linked only into quillfern_short_benchmark, the test copy of the program:
// each benchmark measurement runs 200 ms instead of 5 s.
#include "n3d/n3d.h"

static const int short_benchmark_set = (n3d_benchmark_run_ms = 200, 0);
