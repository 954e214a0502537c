// Operating-system calls of the host kept in one place so a second entry
// (another operating system) swaps only this file: pinning the main thread to
// one CPU, the clock the cycle counter is calibrated against, and the interrupt
// signal. Main thread; no allocation; a failing pin is reported by its result
// and the caller carries on unpinned.
#pragma once

#include <cstdint>

// A reading of the calibration clock (CLOCK_MONOTONIC_RAW on Linux).
struct host_clock_sample {
    int64_t seconds;
    int64_t nanoseconds;
};

// Pins the calling thread to the one CPU given; 0 on success, 1 when the
// system refuses (the thread's affinity is then unchanged).
int host_platform_pin_thread_to_cpu(int cpu);
void host_platform_clock_read(host_clock_sample* out);
// (now.nanoseconds - start.nanoseconds) / 1e9 + (now.seconds - start.seconds).
double host_platform_clock_elapsed(const host_clock_sample* start, const host_clock_sample* now);
int host_platform_clock_equal(const host_clock_sample* a, const host_clock_sample* b);
// Sets the interrupt signal back to its default action, so an interrupt ends
// the process at once instead of arriving as a quit event.
void host_platform_reset_interrupt_signal();
