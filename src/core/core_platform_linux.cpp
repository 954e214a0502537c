#include "core/core_platform.h"

#include <sched.h>
#include <time.h>

int core_platform_pin_thread_to_cpu(int cpu)
{
    if (cpu < 0 || cpu >= CPU_SETSIZE)
        return 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    // A container without that CPU refuses; the caller runs on unpinned.
    return sched_setaffinity(0, sizeof(set), &set) == 0 ? 0 : 1;
}

void core_platform_clock_read(core_clock_sample* out)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    out->seconds = ts.tv_sec;
    out->nanoseconds = ts.tv_nsec;
}

double core_platform_clock_elapsed(const core_clock_sample* start, const core_clock_sample* now)
{
    return (double)(now->nanoseconds - start->nanoseconds) / 1e9 + (double)(now->seconds - start->seconds);
}

int core_platform_clock_equal(const core_clock_sample* a, const core_clock_sample* b)
{
    return a->seconds == b->seconds && a->nanoseconds == b->nanoseconds;
}
