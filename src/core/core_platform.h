// The operating-system calls the core runtime needs, behind one header so a
// port supplies one file of its own (core_platform_<system>.cpp): pinning the
// calling thread to one CPU and the clock the cycle counter is calibrated
// against. Called by the cycle-counter calibration on the main thread. No
// allocation; a refused pin is reported by its result and the caller runs on.
#pragma once

#include <cstdint>

// A reading of the calibration clock (CLOCK_MONOTONIC_RAW on Linux, the
// performance counter on Windows).
struct core_clock_sample {
    int64_t seconds;
    int64_t nanoseconds;
};

// Pins the calling thread to the one CPU given; 0 on success, 1 when the
// system refuses (the thread's affinity is then unchanged). The Windows build
// pins nothing and always returns 1.
int core_platform_pin_thread_to_cpu(int cpu);
void core_platform_clock_read(core_clock_sample* out);
// (now.nanoseconds - start.nanoseconds) / 1e9 + (now.seconds - start.seconds).
double core_platform_clock_elapsed(const core_clock_sample* start, const core_clock_sample* now);
int core_platform_clock_equal(const core_clock_sample* a, const core_clock_sample* b);
