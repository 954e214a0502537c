// Per-frame costs of the display and the production: the sample production
// played headless section by section (CPU time of every frame: one loop pass,
// the vertical-blank update, the flip, the composition and the present into a
// 1024x768 window surface of SDL's dummy driver; mean and worst frame), the
// composition of the shown frame into a 640x480 surface (both surface formats,
// every kind of overlay pattern) beside memcpy of the output bytes, the
// starfield's update per star, and the datapack's shade-table build on each
// path. Figures only, not a test.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/cpu_features.h"
#include "core/memarena.h"
#include "host/demo_music.h"
#include "host/sdl2_host.h"
#include "host/valkyrie_context.h"
#include "image/n3d_phong.h"
#include "image/palette.h"
#include "target/n3d_framebuffer.h"
#include "vexil/demosys.h"
#include "vexil/vexil_starfield.h"

namespace {

// ---- The sample, played ------------------------------------------------------------

double thread_cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// The production of the build directory, started once for the whole program
// and played forward: each section's benchmark plays on from where the last
// one stopped. The music clock is moved by the music mixer called here, a
// sixtieth of a second of sound for every frame, as the audio thread would
// (its time is not counted).
struct sample_player {
    bool started = false;
    bool ended = false;
    demosys ds{};
    uint8_t keys[256] = {};
    nanokorg2_state nk2{};
    int frames = 0;
    bool mixed = false;  // the clock already moved for the next frame
    std::vector<int16_t> sound = std::vector<int16_t>(2 * 400);

    bool start()
    {
        if (started)
            return !ended;
        started = true;
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        if (chdir(QF_BINARY_DIR) != 0)
            return !(ended = true);
        platform_sdl_setup(&platform);
        if (demosys_init(&ds, &platform.valkyrie_context) != 0)
            return !(ended = true);
        return true;
    }
    int clock_ms() const
    {
        const int32_t position = vexil_audio_position.load();
        return static_cast<int>(static_cast<int64_t>(position) * 1000 / DEMO_MUSIC_SAMPLE_RATE);
    }
    // Moves the clock by the next frame's sound, once: the clock then reads
    // what the next frame's updates will see.
    void mix()
    {
        if (mixed)
            return;
        const int n = 367 + (frames % 2);  // 22050 / 60 a frame
        demo_music_play(sound.data(), n);
        frames++;
        mixed = true;
    }
    // One frame; its CPU time in milliseconds, and in *present_ms the part
    // spent in the flip, the composition and the present.
    double frame(double* present_ms)
    {
        mix();
        mixed = false;
        const double t0 = thread_cpu_ms();
        demosys_update(&ds, &platform.valkyrie_context, keys, &nk2);
        demosys_vblank_update(&ds, &platform.valkyrie_context, keys, &nk2);
        const double t1 = thread_cpu_ms();
        host_vblank_present(&platform);
        const double t2 = thread_cpu_ms();
        if (ds.quit)
            ended = true;
        *present_ms = t2 - t1;
        return t2 - t0;
    }
};

sample_player g_sample;

// Frames whose updates see a clock in [from_ms, to_ms): mean and worst CPU per
// frame, and the clock of the worst.
void BM_frame_sample(benchmark::State& st)
{
    const int from_ms = static_cast<int>(st.range(0)), to_ms = static_cast<int>(st.range(1));
    double sum = 0.0, worst = 0.0, present_sum = 0.0, present, scenes_worst = 0.0;
    int counted = 0, worst_clock_ms = 0;
    for (auto _ : st) {
        if (!g_sample.start()) {
            st.SkipWithError("the sample production could not be started from the build directory");
            return;
        }
        // Untimed up to the section (a wall-clock guard ends a clock that does not move).
        for (int guard = 0; guard < 100000; guard++) {
            g_sample.mix();
            if (g_sample.clock_ms() >= from_ms || g_sample.ended)
                break;
            g_sample.frame(&present);
        }
        for (;;) {
            g_sample.mix();
            const int clock = g_sample.clock_ms();
            if (clock >= to_ms || g_sample.ended)
                break;
            const double ms = g_sample.frame(&present);
            sum += ms;
            present_sum += present;
            if (ms > worst)
                worst = ms, worst_clock_ms = clock;
            scenes_worst = ms - present > scenes_worst ? ms - present : scenes_worst;
            counted++;
        }
    }
    st.counters["frames"] = counted;
    st.counters["mean_ms"] = counted ? sum / counted : 0.0;
    st.counters["worst_ms"] = worst;
    st.counters["worst_clock_ms"] = worst_clock_ms;
    st.counters["present_mean_ms"] = counted ? present_sum / counted : 0.0;
    // The production's own share: the loop pass and the vertical-blank update.
    st.counters["scenes_mean_ms"] = counted ? (sum - present_sum) / counted : 0.0;
    st.counters["scenes_worst_ms"] = scenes_worst;
}

// Overlay patterns: 0 no key (every pixel an overlay colour), 1 all key, 2 spans
// of 1 to 64 pixels alternating, 3 key at 50% random.
const char* const PATTERN_NAMES[] = {"no_key", "all_key", "spans", "random50"};

struct display {
    std::vector<uint8_t> block = std::vector<uint8_t>(4 << 20);
    memarena arena;
    valkyrie_context ctx;
    explicit display(int pattern)
    {
        memarena_init(&arena, "display", block.size(), block.data());
        emulate_valkyrie_init(&ctx, &arena);
        std::mt19937 gen(7);
        uint8_t table[1024];
        for (uint8_t& b : table)
            b = static_cast<uint8_t>(gen());
        ctx.set_overlay_palette_func(&ctx, 0, 256, table);
        ctx.set_video_palette_func(&ctx, 0, 256, table);
        for (valkyrie_buffer& page : ctx.videos)
            for (int i = 0; i < page.rowbytes * page.h; i++)
                page.b[i] = static_cast<uint8_t>(gen());
        uint8_t* ov = ctx.overlay.b;
        const int n = ctx.overlay.rowbytes * ctx.overlay.h;
        for (int i = 0; i < n;) {
            if (pattern == 2) {
                int len = 1 + static_cast<int>(gen() % 64);
                bool key = (gen() & 1) != 0;
                for (int k = 0; k < len && i < n; k++, i++)
                    ov[i] = key ? 0 : static_cast<uint8_t>(1 + gen() % 255);
                continue;
            }
            bool key = pattern == 1 || (pattern == 3 && (gen() & 1));
            ov[i++] = key ? 0 : static_cast<uint8_t>(1 + gen() % 255);
        }
    }
};

void BM_compose_rgba8888(benchmark::State& st)
{
    display d(static_cast<int>(st.range(0)));
    cpu_level_set(st.range(1) != 0 ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
    std::vector<uint32_t> out(640 * 480);
    for (auto _ : st) {
        emulate_valkyrie_blit_rgba8888(&d.ctx, out.data(), 640 * 4);
        benchmark::ClobberMemory();
    }
    cpu_level_set(cpu_level_default());
    st.SetLabel(PATTERN_NAMES[st.range(0)]);
    st.SetBytesProcessed(st.iterations() * 640LL * 480 * 4);
}

void BM_compose_argb1555(benchmark::State& st)
{
    display d(static_cast<int>(st.range(0)));
    cpu_level_set(st.range(1) != 0 ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
    std::vector<uint16_t> out(640 * 480);
    for (auto _ : st) {
        emulate_valkyrie_blit_argb1555(&d.ctx, out.data(), 640 * 2);
        benchmark::ClobberMemory();
    }
    cpu_level_set(cpu_level_default());
    st.SetLabel(PATTERN_NAMES[st.range(0)]);
    st.SetBytesProcessed(st.iterations() * 640LL * 480 * 2);
}

// A video colour-table change every frame (a fade): the composition rebuilds
// its video words each time.
void BM_compose_rgba8888_video_table_changes(benchmark::State& st)
{
    display d(3);
    std::vector<uint32_t> out(640 * 480);
    uint8_t entry[4] = {0, 0, 0, 255};
    for (auto _ : st) {
        entry[0]++;
        d.ctx.set_video_palette_func(&d.ctx, 7, 1, entry);
        emulate_valkyrie_blit_rgba8888(&d.ctx, out.data(), 640 * 4);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * 640LL * 480 * 4);
}

// The starfield's update of 16384 stars (the production's capacity) into the
// 640x480 overlay while the camera flies forward and turns, so stars leave the
// view and are placed again every frame; time per star in the counter, for each
// projection path (the label names the one the processor took).
void BM_starfield_update_16384(benchmark::State& st)
{
    const int path = cpu_level_set(static_cast<int>(st.range(0)));
    std::vector<uint8_t> block(16 << 20);
    memarena arena;
    memarena_init(&arena, "starfield", block.size(), block.data());
    static vexil_starfield_star stars[16384];
    palette pal;
    palette_init(&pal, &arena, 0, 256);
    vexil_starfield sf;
    vexil_starfield_init_i8(&sf, 14, stars, 1, 640, 480, &pal, 16, 23, &arena);
    vexil_starfield_generate_positions(&sf);
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &arena, 640, 480, 3, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    for (auto _ : st) {
        sf.camera.z += 0.02f;
        sf.camera.yaw += 0.003f;
        sf.camera.pitch = 0.2f * sinf(sf.camera.z);
        n3d_framecontext_begin(&fc, 0);
        vexil_starfield_update(&sf, &fc, nullptr);
        benchmark::ClobberMemory();
    }
    cpu_level_set(cpu_level_default());
    st.SetLabel(cpu_level_name(path == CPU_LEVEL_AVX2 ? CPU_LEVEL_SSE2 : path));
    st.counters["ns_per_star"] = benchmark::Counter(16384.0 * static_cast<double>(st.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_memcpy(benchmark::State& st)
{
    const size_t n = static_cast<size_t>(st.range(0));
    std::vector<uint8_t> a(n), b(n, 1);
    for (auto _ : st) {
        memcpy(a.data(), b.data(), n);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * static_cast<long long>(n));
}

}  // namespace

// The sample's sections in the order they play (sequence.csv): loading and
// title, stars round the planet, rings and words, the zooming picture, then on
// the video plane the tunnel, the bump-mapped plate, the animated datapack (its
// frame drawn on every pass), the greetings over its still backdrop; the title
// with stars behind it, the fade to black.
BENCHMARK(BM_frame_sample)->Name("frame/title")->Args({0, 11000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/stars")->Args({11000, 27000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/rings")->Args({27000, 43000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/picture")->Args({43000, 51000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/tunnel")->Args({51000, 57000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/bumpmap")->Args({57000, 63000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/madpack")->Args({63000, 67000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/greetings")->Args({67000, 79000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/finale")->Args({79000, 83000})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_frame_sample)->Name("frame/closing")->Args({83000, 91000})->Iterations(1)->Unit(benchmark::kMillisecond);
// pattern: 0 no key, 1 all key, 2 spans, 3 key at 50% random; wide: 0 the SSE2
// path, 1 the AVX-512 path where the processor has it (else SSE2 again).
BENCHMARK(BM_compose_rgba8888)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->ArgNames({"pattern", "wide"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_compose_argb1555)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->ArgNames({"pattern", "wide"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_compose_rgba8888_video_table_changes)->Unit(benchmark::kMicrosecond);
// path: 0 one star at a time, 1 SSE2, 2 AVX-512 where the processor has it.
BENCHMARK(BM_starfield_update_16384)
    ->Arg(CPU_LEVEL_SCALAR)
    ->Arg(CPU_LEVEL_SSE2)
    ->Arg(CPU_LEVEL_AVX512)
    ->ArgName("path")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memcpy)->Arg(640 * 480 * 4)->Arg(640 * 480 * 2)->Unit(benchmark::kMicrosecond);

// ---- The datapack's shade tables ---------------------------------------------------

namespace {

// One 256-colour, 32-shade table of the datapack scene's light over a palette in
// which every 5-bit value of every channel occurs (the most distinct channel
// values a palette can have): path 0 every entry on its own, path 1 each
// channel value once (the build the scenes use). The time is one table's.
void BM_shade_table_pbr_256x32(benchmark::State& st)
{
    const int path = static_cast<int>(st.range(0));
    uint16_t palette[256];
    for (int i = 0; i < 256; i++)
        palette[i] = static_cast<uint16_t>(0x8000u | ((static_cast<uint32_t>(i) * 2654435761u) >> 17 & 0x7FFFu));
    static uint16_t table[256 * 32];
    const float ambient[3] = {0.0159f, 0.0152f, 0.0222f}, factor[3] = {0.0103f, 0.0144f, 0.0578f};
    const float light_max[3] = {0.74786305f, 0.0f, 1.0f};
    for (auto _ : st) {
        if (path == 0)
            n3d_texture_build_shade_table_argb1555_pbr_per_entry(table, 32, 256, ambient, factor, ambient, light_max,
                                                                 0.0f, 0.5f, palette);
        else
            n3d_texture_build_shade_table_argb1555_pbr(table, 32, 256, ambient, factor, ambient, light_max, 0.0f, 0.5f,
                                                       palette);
        benchmark::DoNotOptimize(table);
    }
}

}  // namespace

BENCHMARK(BM_shade_table_pbr_256x32)->ArgName("path")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
