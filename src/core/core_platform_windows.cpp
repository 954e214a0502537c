// The core runtime's operating-system calls on Windows: the calibration clock
// is the performance counter (QueryPerformanceFrequency and
// QueryPerformanceCounter), and no thread is pinned: the calling thread keeps
// the affinity it has.
#include "core/core_platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int core_platform_pin_thread_to_cpu(int cpu)
{
    // Nothing is pinned on Windows; the result says the thread was not.
    (void)cpu;
    return 1;
}

void core_platform_clock_read(core_clock_sample* out)
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // Whole seconds and the rest in nanoseconds, so the elapsed time is the
    // counter difference over the frequency. The rest times 10^9 stays within
    // 64 bits for any frequency below 9.2 GHz.
    const uint64_t f = (uint64_t)frequency.QuadPart, c = (uint64_t)counter.QuadPart;
    out->seconds = (int64_t)(c / f);
    out->nanoseconds = (int64_t)((c % f) * 1000000000ull / f);
}

double core_platform_clock_elapsed(const core_clock_sample* start, const core_clock_sample* now)
{
    return (double)(now->nanoseconds - start->nanoseconds) / 1e9 + (double)(now->seconds - start->seconds);
}

int core_platform_clock_equal(const core_clock_sample* a, const core_clock_sample* b)
{
    return a->seconds == b->seconds && a->nanoseconds == b->nanoseconds;
}
