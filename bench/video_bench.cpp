// Figures for the video page's 2D effects at production size: the tunnel frame
// (a 320x240 page in 1024-byte rows over the 640x480 table) timed against memcpy
// of its 153600 output bytes in the same loop (counter x_memcpy; goal at most 4),
// and the bump map's 310x256 window (counter ms_per_window; goal at most 1 ms on
// one core). Times are the thread's CPU time. Not a test: it only prints.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/memarena.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "vexil/vexil_bumpmap.h"
#include "vexil/vexil_tunnel_func.h"

namespace {

// The calling thread's CPU time: on a shared machine the wall clock also counts
// the time other programs hold the core.
double now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

struct texture {
    n3d_texture t{};
    std::vector<uint8_t> texels;
    std::vector<uint16_t> palette = std::vector<uint16_t>(256), shades = std::vector<uint16_t>(256 * 32);
    uint8_t* mips[1];
    texture(int format, int w_log2, int h_log2)
    {
        int bpp = format == 2 ? 2 : format == 4 ? 4 : 1;
        texels.resize((size_t)bpp << (w_log2 + h_log2));
        uint32_t s = 12345;
        for (auto& b : texels) {
            s = s * 1664525u + 1013904223u;
            b = (uint8_t)(s >> 24);
        }
        for (size_t i = 0; i < shades.size(); i++)
            shades[i] = (uint16_t)(0x8000u | i);
        mips[0] = texels.data();
        t.format = format;
        t.not_swizzled = 1;
        t.w_log2 = w_log2;
        t.h_log2 = h_log2;
        t.min_u_level = w_log2;
        t.min_v_level = h_log2;
        t.mips = mips;
        if (format == 1) {
            t.colors_count = 256;
            t.shades_per_color = 32;
            t.palette = palette.data();
            t.shade_table = shades.data();
        }
    }
};

void BM_tunnel_320x240(benchmark::State& st)
{
    const int path = (int)st.range(0);
    if (vexil_tunnel_path_available(path) != path) {
        st.SkipWithError("path not on this processor");
        return;
    }
    static const char* const NAMES[] = {"packed", "sse2", "gather"};
    st.SetLabel(NAMES[path]);
    const int default_path = vexil_tunnel_path;
    vexil_tunnel_path = path;
    std::vector<uint8_t> block(1 << 20);
    memarena arena;
    memarena_init(&arena, "bench", block.size(), block.data());
    n3d_framebuffer map;
    n3d_framebuffer_init_argb1555(&map, 640, 480, &arena);
    vexil_tunnel_argb1555_init(&map);
    texture color_map(2, 8, 8);
    std::vector<uint8_t> page_bytes(1024 * 240);
    n3d_framebuffer page{0, 2, 320, 240, 1024, page_bytes.data()};
    n3d_frame_context fc{};
    fc.fb = &page;
    n2d_rect r{0, 0, 320, 240};
    const size_t n = 2 * 320 * 240;
    std::vector<uint8_t> a(n), b(n, 1);
    double op_ns = 0, peer_ns = 0;
    int frame = 0;
    for (auto _ : st) {
        const double t0 = now_ns();
        vexil_tunnel_argb1555(&fc, &color_map.t, &map, &r, 1.0f, frame * 3, frame * 5);
        benchmark::ClobberMemory();
        const double t1 = now_ns();
        memcpy(a.data(), b.data(), n);
        benchmark::ClobberMemory();
        const double t2 = now_ns();
        op_ns += t1 - t0;
        peer_ns += t2 - t1;
        st.SetIterationTime((t1 - t0) * 1e-9);
        frame++;
    }
    vexil_tunnel_path = default_path;
    st.counters["x_memcpy"] = peer_ns > 0 ? op_ns / peer_ns : 0;
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)n);
}
BENCHMARK(BM_tunnel_320x240)
    ->ArgName("path")
    ->DenseRange(VEXIL_TUNNEL_PATH_PACKED, VEXIL_TUNNEL_PATH_GATHER)
    ->UseManualTime();

void BM_bumpmap_310x256(benchmark::State& st)
{
    std::vector<uint8_t> block(1 << 16);
    memarena arena;
    memarena_init(&arena, "bench", block.size(), block.data());
    n3d_phong_lut phong;
    n3d_phong_lut_init(&phong, &arena, 0.3f, 0);
    n3d_build_phong_lut_for_pbr_shade_table(&phong, 32);
    texture color(1, 9, 8), bump(4, 9, 8);
    // The whole window lands: a page 256 rows high.
    std::vector<uint8_t> page_bytes(1024 * 256);
    n3d_framebuffer page{0, 2, 320, 256, 1024, page_bytes.data()};
    float t = 0;
    double ns = 0;
    for (auto _ : st) {
        const double t0 = now_ns();
        vexil_bumpmap_argb1555(&page, t, 5, 0, 0, 0, 310, 256, &bump.t, &color.t, &phong);
        benchmark::ClobberMemory();
        const double t1 = now_ns();
        ns += t1 - t0;
        st.SetIterationTime((t1 - t0) * 1e-9);
        t += 1.0f / 60.0f;
    }
    st.counters["ms_per_window"] = st.iterations() ? ns / 1e6 / (double)st.iterations() : 0;
}
BENCHMARK(BM_bumpmap_310x256)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
