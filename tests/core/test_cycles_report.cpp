// The profiling block report, by filling the block tables directly; the
// unnamed-block notice; and the calibration, which must carry on when the
// system refuses to pin the thread. Anything that calibrates runs in a child
// process, so only the child is pinned.
#include <gtest/gtest.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "core/core_platform.h"
#include "core/cycles_measure.h"
#include "support/capture.h"
#include "support/windows_skip.h"

namespace {

void tables_clear()
{
    memset(g_cycles_block_hits, 0, sizeof(g_cycles_block_hits));
    memset(g_cycles_block_total, 0, sizeof(g_cycles_block_total));
}

struct report_case {
    const char* why;
    struct {
        int id;
        uint32_t hits;
        uint64_t total;
    } blocks[3];
    const char* expected;
};

TEST(CyclesReport, Lines)
{
    const report_case cases[] = {
        {"the Part's example under a whole run of 30000",
         {{CYCLES_BLOCK_TOTAL, 1, 30000}, {BLOCK_RENDER_MESH, 3, 3000}, {0, 0, 0}},
         "[100.00%][hits:           1][cycles:        30000][<cycles>:     30000.0][CYCLES_BLOCK_TOTAL]\n"
         "[ 10.00%][hits:           3][cycles:         3000][<cycles>:      1000.0][BLOCK_RENDER_MESH]\n"},
        {"blocks without hits print nothing; unnamed ids print their name",
         {{CYCLES_BLOCK_TOTAL, 1, 400}, {20, 7, 100}, {BLOCK_CLEAR_DEPTH, 0, 999}},
         "[100.00%][hits:           1][cycles:          400][<cycles>:       400.0][CYCLES_BLOCK_TOTAL]\n"
         "[ 25.00%][hits:           7][cycles:          100][<cycles>:        14.3][unnamed-block]\n"},
        {"no whole-run block: shares print as 0.00, no division by zero",
         {{BLOCK_CLEAR_COVERAGE, 2, 500}, {BLOCK_INNER_n3d_render_triangle_2x2_argb1555, 1, 3}, {0, 0, 0}},
         "[  0.00%][hits:           2][cycles:          500][<cycles>:       250.0][BLOCK_CLEAR_COVERAGE]\n"
         "[  0.00%][hits:           1][cycles:            3][<cycles>:         3.0]"
         "[BLOCK_INNER_n3d_render_triangle_2x2_argb1555]\n"},
        {"a whole-run block with a hit but no cycles",
         {{CYCLES_BLOCK_TOTAL, 1, 0}, {BLOCK_INPUT, 4, 8}, {0, 0, 0}},
         "[  0.00%][hits:           1][cycles:            0][<cycles>:         0.0][CYCLES_BLOCK_TOTAL]\n"
         "[  0.00%][hits:           4][cycles:            8][<cycles>:         2.0][BLOCK_INPUT]\n"},
        {"wide fields; totals go through single precision as the report is specified",
         {{CYCLES_BLOCK_TOTAL, 1, 1000000000000ull}, {BLOCK_WAIT_VBL, 4000000000u, 500000000000ull}, {0, 0, 0}},
         "[100.00%][hits:           1][cycles: 999999995904][<cycles>: 999999995904.0][CYCLES_BLOCK_TOTAL]\n"
         "[ 50.00%][hits:  4000000000][cycles: 499999997952][<cycles>:       125.0][BLOCK_WAIT_VBL]\n"},
    };
    for (const report_case& c : cases) {
        captured_run r = capture_run([&] {
            tables_clear();
            for (const auto& b : c.blocks) {
                g_cycles_block_hits[b.id] += b.hits;
                g_cycles_block_total[b.id] += b.total;
            }
            cycles_print();
        });
        EXPECT_EQ(r.out, c.expected) << c.why;
        EXPECT_EQ(r.out.find("inf"), std::string::npos) << c.why;
        EXPECT_EQ(r.out.find("nan"), std::string::npos) << c.why;
    }
}

TEST(CyclesReport, InitClearsNamesAndCalibrates)
{
    captured_run r = capture_run([] {
        g_cycles_block_hits[5] = 9;
        g_cycles_block_names[3] = "renamed";
        cycles_init();
        cycles_print();  // nothing has hits
        printf("calibrated %d rate>0 %d ms %.6f int %d\n", cycles_calibrated, cycles_rdtsc_per_sec > 0.0,
               cycles_to_ms((cycles_t)cycles_rdtsc_per_sec), cpu_cycles_per_second == (uint64_t)cycles_rdtsc_per_sec);
        for (int i = 0; i < CYCLES_BLOCK_COUNT; i++)
            printf("%d %s\n", i, g_cycles_block_names[i]);
    });
    std::string expected = "calibrated 1 rate>0 1 ms 1000.000000 int 1\n";
    const char* names[CYCLES_BLOCK_COUNT] = {"CYCLES_BLOCK_TOTAL",
                                             "CYCLES_BLOCK_FRAMEBUFFER_BLIT",
                                             "CYCLES_BLOCK_DEMO_CLEAR",
                                             "BLOCK_RENDER_MESH",
                                             "BLOCK_RENDER_MESH_TRANSFORM_VERTICES",
                                             "BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP",
                                             "BLOCK_CLEAR_FRAMEBUFFER",
                                             "BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY",
                                             "BLOCK_CLEAR_DEPTH",
                                             "BLOCK_WAIT_VBL",
                                             "BLOCK_CLEAR_COVERAGE",
                                             "BLOCK_UPDATE_NORMAL",
                                             "BLOCK_UPDATE_DURING_VBL",
                                             "BLOCK_INPUT",
                                             "BLOCK_EMULATE_VALKYRIE"};
    for (int i = 15; i <= 30; i++)
        names[i] = "unnamed-block";
    names[31] = "BLOCK_SETUP_n3d_render_triangle_2x2_argb1555";
    names[32] = "BLOCK_INNER_n3d_render_triangle_2x2_argb1555";
    for (int i = 0; i < CYCLES_BLOCK_COUNT; i++)
        expected += std::to_string(i) + " " + names[i] + "\n";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
}

TEST(CyclesReport, UnnamedBlockAnnouncesItsSiteOnEveryTiming)
{
    captured_run r = capture_run([] {
        tables_clear();
        for (int i = 0; i < 2; i++) {
            CYCLES_BLOCK_BEGIN(17);
            CYCLES_BLOCK_END_AT(17, "src/somewhere.cpp", 42);
            CYCLES_BLOCK_BEGIN(BLOCK_INPUT);
            CYCLES_BLOCK_END_AT(BLOCK_INPUT, "src/named.cpp", 7);
        }
        CYCLES_BLOCK_BEGIN(30);
        CYCLES_BLOCK_END_AT(30, "/home/build/quillfern/src/n3d/raster/r.cpp", 9);
        printf("hits %u %u\n", g_cycles_block_hits[17], g_cycles_block_hits[BLOCK_INPUT]);
    });
    EXPECT_EQ(r.out, "unnamed block at src/somewhere.cpp:42\nunnamed block at src/somewhere.cpp:42\n"
                     "unnamed block at src/n3d/raster/r.cpp:9\nhits 2 2\n");
}

#if !defined(_WIN32)
// Makes sched_setaffinity fail with EPERM in this process, as a container
// without CPU 0 does.
void refuse_affinity()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sched_setaffinity, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
        printf("no seccomp\n");
}

TEST(CyclesCalibration, CarriesOnUnpinnedWhenPinningIsRefused)
{
    captured_run r = capture_run([] {
        cpu_set_t before, after;
        sched_getaffinity(0, sizeof(before), &before);
        refuse_affinity();
        printf("pin %d\n", core_platform_pin_thread_to_cpu(0));
        cycles_init();
        sched_getaffinity(0, sizeof(after), &after);
        printf("calibrated %d rate>0 %d unchanged %d\n", cycles_calibrated, cycles_rdtsc_per_sec > 0.0,
               CPU_EQUAL(&before, &after) ? 1 : 0);
    });
    EXPECT_EQ(r.exited, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "pin 1\ncalibrated 1 rate>0 1 unchanged 1\n");
}

TEST(CyclesCalibration, PinsToCpuZeroWhenAllowed)
{
    captured_run r = capture_run([] {
        cpu_set_t allowed;
        sched_getaffinity(0, sizeof(allowed), &allowed);
        if (!CPU_ISSET(0, &allowed)) {
            printf("skip\n");
            return;
        }
        cycles_init();
        cpu_set_t now;
        sched_getaffinity(0, sizeof(now), &now);
        printf("count %d cpu0 %d\n", CPU_COUNT(&now), CPU_ISSET(0, &now) ? 1 : 0);
    });
    if (r.out == "skip\n")
        GTEST_SKIP() << "CPU 0 is not available to this process";
    EXPECT_EQ(r.out, "count 1 cpu0 1\n");
}

TEST(CyclesCalibration, AgainstThePerformanceCounterWithoutPinning)
{
    QF_ONLY_ON_WINDOWS("the Windows build calibrates against the performance counter");
}
#else
TEST(CyclesCalibration, CarriesOnUnpinnedWhenPinningIsRefused)
{
    QF_SKIP_ON_WINDOWS("the Windows build pins no thread");
}

TEST(CyclesCalibration, PinsToCpuZeroWhenAllowed) { QF_SKIP_ON_WINDOWS("the Windows build pins no thread"); }

// The calibration measures the counter against the performance counter and
// leaves the thread's affinity as it was. Its rate must agree with the counter
// measured here against QueryPerformanceCounter over a longer span.
TEST(CyclesCalibration, AgainstThePerformanceCounterWithoutPinning)
{
    captured_run r = capture_run([] {
        HANDLE thread = GetCurrentThread();
        DWORD_PTR process_mask = 0, system_mask = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask);
        printf("pin %d\n", core_platform_pin_thread_to_cpu(0));
        cycles_init();
        // Setting a mask returns the one the thread had: still the process's.
        DWORD_PTR after = SetThreadAffinityMask(thread, process_mask);
        printf("calibrated %d unpinned %d\n", cycles_calibrated, after == process_mask ? 1 : 0);

        LARGE_INTEGER f, q0, q1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&q0);
        cycles_t t0 = rdtsc();
        Sleep(200);
        QueryPerformanceCounter(&q1);
        cycles_t t1 = rdtsc();
        double rate = (double)(t1 - t0) / ((double)(q1.QuadPart - q0.QuadPart) / (double)f.QuadPart);
        double ratio = cycles_rdtsc_per_sec / rate;
        printf("ratio %s\n", ratio > 0.9 && ratio < 1.1 ? "ok" : "off");
        if (!(ratio > 0.9 && ratio < 1.1))
            fprintf(stderr, "calibrated %.0f, measured %.0f cycles per second\n", cycles_rdtsc_per_sec, rate);

        // The clock reading is the counter in seconds and nanoseconds.
        core_clock_sample s;
        QueryPerformanceCounter(&q0);
        core_platform_clock_read(&s);
        QueryPerformanceCounter(&q1);
        double secs = (double)s.seconds + (double)s.nanoseconds / 1e9;
        double lo = (double)q0.QuadPart / (double)f.QuadPart, hi = (double)q1.QuadPart / (double)f.QuadPart;
        printf("clock %s\n", secs >= lo - 1e-6 && secs <= hi + 1e-6 ? "ok" : "off");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "pin 1\ncalibrated 1 unpinned 1\nratio ok\nclock ok\n") << r.err;
}
#endif

}  // namespace
