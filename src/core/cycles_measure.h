// Cycle counting: reads the processor's time-stamp counter, calibrates its rate once
// against the operating system's clock (core_platform.h), converts cycles to
// milliseconds and keeps the 33 named profiling blocks whose report the host prints.
// The host loop and the render targets time blocks inline (CYCLES_BLOCK_BEGIN / _END),
// the sequence and scene loads read the counter. Static tables only; main thread (the
// calibration pins it to CPU 0 so every difference is one core's). Nothing fails.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <ctime>
#endif

typedef uint64_t cycles_t;

enum {
    CYCLES_BLOCK_TOTAL = 0,  // the host's whole run
    CYCLES_BLOCK_FRAMEBUFFER_BLIT = 1,
    CYCLES_BLOCK_DEMO_CLEAR = 2,
    BLOCK_RENDER_MESH = 3,
    BLOCK_RENDER_MESH_TRANSFORM_VERTICES = 4,
    BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP = 5,
    BLOCK_CLEAR_FRAMEBUFFER = 6,
    BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY = 7,
    BLOCK_CLEAR_DEPTH = 8,
    BLOCK_WAIT_VBL = 9,
    BLOCK_CLEAR_COVERAGE = 10,
    BLOCK_UPDATE_NORMAL = 11,
    BLOCK_UPDATE_DURING_VBL = 12,
    BLOCK_INPUT = 13,
    BLOCK_EMULATE_VALKYRIE = 14,
    // ids 15 to 30 stay "unnamed-block"
    BLOCK_SETUP_n3d_render_triangle_2x2_argb1555 = 31,
    BLOCK_INNER_n3d_render_triangle_2x2_argb1555 = 32,
    CYCLES_BLOCK_COUNT = 33,
};

extern double cycles_rdtsc_per_sec;     // calibrated counter rate, cycles per second
extern int cycles_calibrated;           // 1 once calibrated
extern uint64_t cpu_cycles_per_second;  // the rate truncated to an integer

extern uint32_t g_cycles_block_hits[CYCLES_BLOCK_COUNT];      // completed timings
extern uint64_t g_cycles_block_total[CYCLES_BLOCK_COUNT];     // cycles of all completed timings
extern uint64_t g_cycles_block_start[CYCLES_BLOCK_COUNT];     // counter at the timing in progress
extern const char* g_cycles_block_names[CYCLES_BLOCK_COUNT];  // "unnamed-block" unless named

inline cycles_t rdtsc()
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    // No time-stamp counter: a nanosecond clock stands in, calibrated the same way.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return (cycles_t)ts.tv_sec * 1000000000ull + (cycles_t)ts.tv_nsec;
#endif
}

inline cycles_t cycles_measure_get() { return rdtsc(); }
inline cycles_t cycles_measure_get_delta(cycles_t t0) { return rdtsc() - t0; }

// Pins the calling thread to CPU 0 (Linux; a failing pin leaves it unpinned and
// carries on), then measures the counter against the calibration clock over at
// least 10 ms. Sets cycles_rdtsc_per_sec and cycles_calibrated.
void cycles_amd64_calibrate();
// Calibrates, sets cpu_cycles_per_second, clears the four tables and names the blocks.
void cycles_init();
// delta x 1000 / cycles_rdtsc_per_sec; 0 while uncalibrated.
double cycles_to_ms(cycles_t delta);
// One line per block with hits, percentages against block 0 ("0.00" when block 0
// has no cycles), to standard output.
void cycles_print();

// The unnamed-block notice of CYCLES_BLOCK_END; file and line are the site's
// (an absolute path is shown from its "src/" on).
void cycles_block_unnamed_notice(const char* file, int line);

// Both steps are written inline so the innermost renderer paths can be timed:
// two counter reads, two additions and one byte comparison. The _AT form names
// the site explicitly (the host reports its own source path).
#define CYCLES_BLOCK_BEGIN(id) (g_cycles_block_start[(id)] = rdtsc())
#define CYCLES_BLOCK_END_AT(id, file, line)                                 \
    do {                                                                    \
        g_cycles_block_total[(id)] += rdtsc() - g_cycles_block_start[(id)]; \
        g_cycles_block_hits[(id)] += 1;                                     \
        if (g_cycles_block_names[(id)][0] == 'u')                           \
            cycles_block_unnamed_notice((file), (line));                    \
    } while (0)
#define CYCLES_BLOCK_END(id) CYCLES_BLOCK_END_AT(id, __FILE__, __LINE__)
