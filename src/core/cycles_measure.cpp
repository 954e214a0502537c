#include "core/cycles_measure.h"

#include <cstdio>
#include <cstring>

#include "core/core_platform.h"

double cycles_rdtsc_per_sec = 0.0;
int cycles_calibrated = 0;
uint64_t cpu_cycles_per_second = 0;

uint32_t g_cycles_block_hits[CYCLES_BLOCK_COUNT];
uint64_t g_cycles_block_total[CYCLES_BLOCK_COUNT];
uint64_t g_cycles_block_start[CYCLES_BLOCK_COUNT];
const char* g_cycles_block_names[CYCLES_BLOCK_COUNT];

static const char CYCLES_UNNAMED[] = "unnamed-block";

struct cycles_block_name {
    int id;
    const char* name;
};

static const cycles_block_name CYCLES_BLOCK_NAMES[] = {
    {CYCLES_BLOCK_TOTAL, "CYCLES_BLOCK_TOTAL"},
    {CYCLES_BLOCK_FRAMEBUFFER_BLIT, "CYCLES_BLOCK_FRAMEBUFFER_BLIT"},
    {CYCLES_BLOCK_DEMO_CLEAR, "CYCLES_BLOCK_DEMO_CLEAR"},
    {BLOCK_RENDER_MESH, "BLOCK_RENDER_MESH"},
    {BLOCK_RENDER_MESH_TRANSFORM_VERTICES, "BLOCK_RENDER_MESH_TRANSFORM_VERTICES"},
    {BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP, "BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP"},
    {BLOCK_CLEAR_FRAMEBUFFER, "BLOCK_CLEAR_FRAMEBUFFER"},
    {BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY, "BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY"},
    {BLOCK_CLEAR_DEPTH, "BLOCK_CLEAR_DEPTH"},
    {BLOCK_WAIT_VBL, "BLOCK_WAIT_VBL"},
    {BLOCK_CLEAR_COVERAGE, "BLOCK_CLEAR_COVERAGE"},
    {BLOCK_UPDATE_NORMAL, "BLOCK_UPDATE_NORMAL"},
    {BLOCK_UPDATE_DURING_VBL, "BLOCK_UPDATE_DURING_VBL"},
    {BLOCK_INPUT, "BLOCK_INPUT"},
    {BLOCK_EMULATE_VALKYRIE, "BLOCK_EMULATE_VALKYRIE"},
    {BLOCK_SETUP_n3d_render_triangle_2x2_argb1555, "BLOCK_SETUP_n3d_render_triangle_2x2_argb1555"},
    {BLOCK_INNER_n3d_render_triangle_2x2_argb1555, "BLOCK_INNER_n3d_render_triangle_2x2_argb1555"},
};

static void cycles_names_reset()
{
    for (int i = 0; i < CYCLES_BLOCK_COUNT; i++)
        g_cycles_block_names[i] = CYCLES_UNNAMED;
    for (const cycles_block_name& n : CYCLES_BLOCK_NAMES)
        g_cycles_block_names[n.id] = n.name;
}

// A block ended before cycles_init must still find a name to test.
static const int cycles_names_ready = (cycles_names_reset(), 1);

void cycles_block_unnamed_notice(const char* file, int line)
{
    // Sites report their path from the source tree's "src/", not the build machine's.
    const char* rel = strstr(file, "/src/");
    printf("unnamed block at %s:%d\n", rel ? rel + 1 : file, line);
}

void cycles_amd64_calibrate()
{
    (void)cycles_names_ready;
    // Every later counter read must come from the same core. Where CPU 0 is not
    // ours to have (a container), the thread stays unpinned and the run goes on.
    core_platform_pin_thread_to_cpu(0);

    core_clock_sample ts_start, now;
    core_platform_clock_read(&ts_start);
    // Wait for the clock to tick so the counter starts right after a clock edge.
    do {
        core_platform_clock_read(&now);
    } while (core_platform_clock_equal(&now, &ts_start));
    cycles_t tsc_start = rdtsc();
    double elapsed = 0.0;
    do {
        core_platform_clock_read(&now);
        elapsed = core_platform_clock_elapsed(&ts_start, &now);
    } while (elapsed < 0.01);
    cycles_t tsc_end = rdtsc();
    cycles_rdtsc_per_sec = (double)(tsc_end - tsc_start) / elapsed;
    cycles_calibrated = 1;
}

void cycles_init()
{
    cycles_amd64_calibrate();
    cpu_cycles_per_second = (uint64_t)cycles_rdtsc_per_sec;
    memset(g_cycles_block_hits, 0, sizeof(g_cycles_block_hits));
    memset(g_cycles_block_total, 0, sizeof(g_cycles_block_total));
    memset(g_cycles_block_start, 0, sizeof(g_cycles_block_start));
    cycles_names_reset();
}

double cycles_to_ms(cycles_t delta)
{
    if (cycles_rdtsc_per_sec <= 0.0)
        return 0.0;
    return (double)delta * 1000.0 / cycles_rdtsc_per_sec;
}

void cycles_print()
{
    float whole = (float)g_cycles_block_total[CYCLES_BLOCK_TOTAL];
    for (int i = 0; i < CYCLES_BLOCK_COUNT; i++) {
        uint32_t hits = g_cycles_block_hits[i];
        if (hits == 0)
            continue;
        float cycles = (float)g_cycles_block_total[i];
        float average = cycles / (float)hits;
        // The whole-run block has no cycles when a run ends before closing it:
        // its share is then shown as 0.00, never as a division by zero.
        float percent = whole > 0.0f ? (float)(100.0 * (double)cycles / (double)whole) : 0.0f;
        printf("[%6.2f%%][hits: %11u][cycles: %12.0f][<cycles>: %11.1f][%s]\n", percent, hits, cycles, average,
               g_cycles_block_names[i]);
    }
}
