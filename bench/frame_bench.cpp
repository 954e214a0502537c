// Per-frame costs of the display and the production: the composition of the
// shown frame into a 640x480 surface (both surface formats, for every kind of
// overlay pattern) beside memcpy of the output bytes; the starfield's update
// per star. Figures only, not a test.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/memarena.h"
#include "host/valkyrie_context.h"
#include "image/palette.h"
#include "n3d/target/n3d_framebuffer.h"
#include "vexil/vexil_starfield.h"

namespace {

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
    emulate_valkyrie_compose_wide = st.range(1) != 0;
    std::vector<uint32_t> out(640 * 480);
    for (auto _ : st) {
        emulate_valkyrie_blit_rgba8888(&d.ctx, out.data(), 640 * 4);
        benchmark::ClobberMemory();
    }
    st.SetLabel(PATTERN_NAMES[st.range(0)]);
    st.SetBytesProcessed(st.iterations() * 640LL * 480 * 4);
}

void BM_compose_argb1555(benchmark::State& st)
{
    display d(static_cast<int>(st.range(0)));
    emulate_valkyrie_compose_wide = st.range(1) != 0;
    std::vector<uint16_t> out(640 * 480);
    for (auto _ : st) {
        emulate_valkyrie_blit_argb1555(&d.ctx, out.data(), 640 * 2);
        benchmark::ClobberMemory();
    }
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
// view and are placed again every frame; time per star in the label's counter.
void BM_starfield_update_16384(benchmark::State& st)
{
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
    st.counters["ns_per_star"] =
        benchmark::Counter(16384.0 * static_cast<double>(st.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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

BENCHMARK(BM_compose_rgba8888)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_compose_argb1555)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_compose_rgba8888_video_table_changes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_starfield_update_16384)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memcpy)->Arg(640 * 480 * 4)->Arg(640 * 480 * 2)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
