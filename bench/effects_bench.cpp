// Per-frame costs of the earlier production's effects into a 320x240 ARGB1555
// page (1024-byte rows): the Moebius warp at coefficients of three script
// phases, the bump map's three variants unlit and under a strong beat, the
// plasma, and as peers memcpy of the page's bytes and the brute-force tunnel
// (the per-pixel float reference). After the table, each effect's time per
// frame and its ratio to the memcpy of the same run. Figures only, not a test.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_bumpmap.h"
#include "tools/demo_mobius.h"
#include "tools/demo_timing.h"

namespace {

const int PW = 320, PH = 240, PRB = 1024;

struct page {
    std::vector<uint8_t> pixels = std::vector<uint8_t>((size_t)PRB * PH);
    n3d_framebuffer fb{0, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, PW, PH, PRB, nullptr};
    n3d_frame_context fc{};
    page()
    {
        fb.b = pixels.data();
        fc.fb = &fb;
    }
};

// Random texels in the swizzled layout, level 0 only, with a shade table for the
// index8 one.
struct textures {
    std::vector<uint8_t> block = std::vector<uint8_t>(16u << 20);
    memarena arena;
    n3d_texture t16{}, t8{};
    uint8_t* mips16[1];
    uint8_t* mips8[1];
    textures()
    {
        memarena_init(&arena, "bench", block.size(), block.data());
        std::mt19937 gen(5);
        uint16_t* l16 = memarena_push_array<uint16_t>(&arena, 65536);
        uint8_t* l8 = memarena_push_array<uint8_t>(&arena, 65536);
        for (int i = 0; i < 65536; i++) {
            l16[i] = (uint16_t)(gen() | 0x8000);
            // Tiles of 16 texels, so the bump map has edges and flats.
            const uint32_t u = i & 255, v = (uint32_t)i >> 8;
            l8[n3d_swizzle_index_8bpp(u, v)] = (uint8_t)(((u >> 4) * 37 + (v >> 4) * 11) & 255);
        }
        uint16_t* shades = memarena_push_array<uint16_t>(&arena, 256 * 32);
        for (int c = 0; c < 256; c++)
            for (int s = 0; s < 32; s++)
                shades[c * 32 + s] = (uint16_t)(0x8000 | ((c * s / 31) & 31) << 10 | (s & 31) << 5 | (c & 31));
        mips16[0] = reinterpret_cast<uint8_t*>(l16);
        mips8[0] = l8;
        t16 = {N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 0, 8, 8, 8, 8, mips16, 0, 0, nullptr, nullptr};
        t8 = {N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 0, 8, 8, 8, 8, mips8, 256, 32, nullptr, shades};
    }
};

textures& shared_textures()
{
    static textures t;
    return t;
}

// Coefficients a, b, c, d of phases C, E and the end of F.
const float MOBIUS_PS[3][8] = {
    {0, 0, 0, 0.026f, 0.01523f, 0.442089f, 0, 0},
    {0, 0, 0.732283f, 0, 1, 0.007874f, 0, 0.905512f},
    {0.715667f, 0, 0, 0.461405f, 0, 0, 0.96063f, 0},
};

void BM_mobius_warp(benchmark::State& st)
{
    textures& t = shared_textures();
    page pg;
    demo_mobius m;
    demo_mobius_init(&t.arena, &m, &t.arena);
    memcpy(m.ps, MOBIUS_PS[st.range(0)], sizeof MOBIUS_PS[0]);
    for (auto _ : st) {
        m.u_tick_8fp += 51;
        m.v_tick_8fp += 128;
        demo_mobius_argb1555(&m, &t.t16, &pg.fb);
        benchmark::DoNotOptimize(pg.pixels.data());
    }
}
BENCHMARK(BM_mobius_warp)->ArgName("phase")->Arg(0)->Arg(1)->Arg(2);

// Parameters: 0 the fixed opening mapping (unlit), 1 the rippled, lit view of
// the last phase, 2 the same under a strong beat modifier (c0 and steps far up).
const float BUMP_PS[3][10] = {
    {228, 801, 0, 0, 0, -1, -1, 1, 303.0f / 319, 189.0f / 239},
    {555, 8, 0.62f, 0.1f, 0.01f, -1, -1, 0.8f, 0, 0},
    {555, 8, 75.6f, 0.1f, 0.01f, -1, -1, 0.8f, 300, 1400},
};

void BM_bumpmap(benchmark::State& st)
{
    textures& t = shared_textures();
    static void* bump = demo_bumpmap_make_bumpmap(&t.arena, &t.t8, 0, 0);
    static uint8_t* lut = n3d_build_phong_lut(&t.arena, 0.3f, 0);
    static std::vector<int8_t> sine = [] {
        std::vector<int8_t> s(320);
        for (int i = 0; i < 320; i++)
            s[i] = (int8_t)(int)(sin(i / 256.0 * 2 * M_PI) * 127.0);
        return s;
    }();
    page pg;
    auto render = st.range(0) == 0   ? demo_bumpmap_argb1555
                  : st.range(0) == 1 ? demo_bumpmap_noise1_argb1555
                                     : demo_bumpmap_noise2_argb1555;
    const float* ps = BUMP_PS[st.range(1)];
    g_dtf.t = 120.0f;
    for (auto _ : st) {
        g_dtf.t += 1.0f / 60;
        render(ps, &pg.fb, 8, 8, lut, bump, t.t8.mips[0], static_cast<const uint16_t*>(t.t8.shade_table),
               sine.data() + 64, sine.data());
        benchmark::DoNotOptimize(pg.pixels.data());
    }
}
BENCHMARK(BM_bumpmap)->ArgNames({"variant", "ps"})->ArgsProduct({{0, 1, 2}, {0, 1, 2}});

void BM_plasma(benchmark::State& st)
{
    textures& t = shared_textures();
    page pg;
    struct demo_plasma p;
    demo_plasma_init(&t.arena, &p);
    g_demo_nk2 = nullptr;
    for (auto _ : st) {
        demo_plasma(&p, &pg.fc);
        benchmark::DoNotOptimize(pg.pixels.data());
    }
}
BENCHMARK(BM_plasma);

void BM_tunnel_brute(benchmark::State& st)
{
    textures& t = shared_textures();
    page pg;
    n2d_rect r;
    n2d_rect_set(&r, 0, 0, PW, PH);
    int u = 0;
    for (auto _ : st) {
        tunnel_brute(&pg.fc, &t.t16, &r, PW / 2.0f, PH / 2.0f, u += 16, 0);
        benchmark::DoNotOptimize(pg.pixels.data());
    }
}
BENCHMARK(BM_tunnel_brute);

void BM_memcpy_page(benchmark::State& st)
{
    page src, dst;
    for (auto _ : st) {
        for (int y = 0; y < PH; y++)
            memcpy(dst.pixels.data() + (size_t)y * PRB, src.pixels.data() + (size_t)y * PRB, 2 * PW);
        benchmark::DoNotOptimize(dst.pixels.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy_page);

// Keeps each run's time per iteration for the summary.
struct summary_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            ns[r.benchmark_name()] = r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMillisecond   ? 1e6
                                                                : r.time_unit == benchmark::kMicrosecond ? 1e3
                                                                                                         : 1.0);
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    summary_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto it = rep.ns.find("BM_memcpy_page");
    if (it == rep.ns.end())
        return 0;
    const double peer = it->second;
    printf("\nper 320x240 frame (budget 1 ms), and against memcpy of the page's %d bytes (%.1f us):\n", 2 * PW * PH,
           peer / 1e3);
    for (const auto& [name, t] : rep.ns)
        if (name != "BM_memcpy_page")
            printf("  %-24s %8.3f ms  %6.1fx memcpy%s\n", name.c_str(), t / 1e6, t / peer,
                   t < 1e6 ? "" : "  (over 1 ms)");
    benchmark::Shutdown();
    return 0;
}
