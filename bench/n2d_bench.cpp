// Per-frame operations of the overlay (640x480 index8 with 640x480 masks) and of
// the video pages (320x240 ARGB1555 in 1024-byte rows), at mask densities 0%,
// 50% random and 100%, each timed against memcpy or memset of its bytes in the
// same loop (counters x_memcpy, x_memset). Bytes per second count the
// destination's visible bytes (the mask bits for mask operations). The
// texture range test is held against memcpy of the 38400 mask bytes when its
// mask is empty and of the 307200 texels under it otherwise.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>

#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "target/n3d_framebuffer.h"

namespace {

const int OW = 640, OH = 480;              // overlay
const int PW = 320, PH = 240, PRB = 1024;  // video page
const int PAGE_COVERAGE_H = 200;           // the benchmark's page context coverage

void* aligned_block(size_t bytes)
{
    void* p = std::aligned_alloc(64, (bytes + 63) & ~size_t(63));
    memset(p, 0, bytes);
    return p;
}

struct plane {
    n3d_framebuffer fb;
    plane(int format, int w, int h, int row_bytes)
        : fb{0, format, w, h, row_bytes, aligned_block(size_t(row_bytes) * h)}
    {}
    ~plane() { std::free(fb.b); }
};

struct cov {
    n3d_coveragebuffer cb;
    // Bits set with the given probability in percent (0 and 100 exact).
    cov(int w, int h, int density, unsigned seed = 1)
        : cb{static_cast<uint32_t*>(aligned_block(size_t(w) * h / 8)), w, h}
    {
        std::mt19937 gen(seed);
        for (int i = 0; i < w * h / 32; i++) {
            uint32_t word = 0;
            for (int b = 0; b < 32; b++)
                if (static_cast<int>(gen() % 100) < density)
                    word |= 1u << b;
            cb.u32[i] = word;
        }
    }
    ~cov() { std::free(cb.u32); }
};

void bytes(benchmark::State& st, long long per_call) { st.SetBytesProcessed(st.iterations() * per_call); }

const long long OVERLAY_BYTES = 1LL * OW * OH;   // 307200
const long long PAGE_BYTES = 2LL * PW * PH;      // 153600 visible
const long long MASK_BYTES = 1LL * OW * OH / 8;  // 38400

// ---- Peers ---------------------------------------------------------------------------

// Each operation is timed against the C library's block operation on the same
// number of bytes (memset for fills and clears, memcpy for copies and mask
// builders), the two run alternately in one loop so that both meet the same
// machine; the counter x_memset or x_memcpy is the ratio of their times. The
// reported time is the operation's alone.
enum peer_kind { PEER_MEMSET, PEER_MEMCPY };

double now_ns()
{
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t).count());
}

template <typename Op>
void against(benchmark::State& st, peer_kind kind, long long peer_bytes, long long bytes_per_call, Op op)
{
    const size_t n = static_cast<size_t>(peer_bytes);
    void* a = aligned_block(n);
    void* b = aligned_block(n);
    double op_ns = 0.0, peer_ns = 0.0;
    for (auto _ : st) {
        const double t0 = now_ns();
        op();
        benchmark::ClobberMemory();
        const double t1 = now_ns();
        if (kind == PEER_MEMCPY)
            memcpy(a, b, n);
        else
            memset(a, 0, n);
        benchmark::ClobberMemory();
        const double t2 = now_ns();
        op_ns += t1 - t0;
        peer_ns += t2 - t1;
        st.SetIterationTime((t1 - t0) * 1e-9);
    }
    std::free(a);
    std::free(b);
    st.counters[kind == PEER_MEMCPY ? "x_memcpy" : "x_memset"] = peer_ns > 0.0 ? op_ns / peer_ns : 0.0;
    st.counters["peer_bytes"] = static_cast<double>(peer_bytes);
    bytes(st, bytes_per_call);
}

// ---- Coverage-masked operations ------------------------------------------------

void BM_fill_if_cb0_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW);
    cov dcb(OW, OH, 0), m(OW, OH, static_cast<int>(st.range(0)));
    against(st, PEER_MEMSET, OVERLAY_BYTES, OVERLAY_BYTES,
            [&] { n2d_fb_i8_and_cb_mask_fill_if_cb0(&dst.fb, &dcb.cb, 0, 0, 7, &m.cb, 0, OH); });
}

void BM_copy_if_cb0_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW), src(3, OW, OH, OW);
    cov dcb(OW, OH, 0), m(OW, OH, static_cast<int>(st.range(0)));
    against(st, PEER_MEMCPY, OVERLAY_BYTES, OVERLAY_BYTES,
            [&] { n2d_fb_i8_and_cb_mask_copy_if_cb0(&dst.fb, &dcb.cb, 0, 0, &src.fb, &m.cb, 0, OH); });
}

// Selection cb1 AND NOT cb0 at the given density: cb1 all set, cb0 the complement.
void BM_copy_if_not_cb0_and_cb1_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW), src(3, OW, OH, OW);
    cov cb0(OW, OH, 100 - static_cast<int>(st.range(0))), cb1(OW, OH, 100);
    against(st, PEER_MEMCPY, OVERLAY_BYTES, OVERLAY_BYTES,
            [&] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&dst.fb, 0, 0, &src.fb, &cb0.cb, &cb1.cb, 0, OH); });
}

void BM_argb1555_copy_if_not_cb0_320x240(benchmark::State& st)
{
    plane dst(2, PW, PH, PRB), src(2, PW, PH, PRB);
    cov cb0(PW, PH, 100 - static_cast<int>(st.range(0)));
    against(st, PEER_MEMCPY, PAGE_BYTES, PAGE_BYTES,
            [&] { n2d_fb_argb1555_mask_copy_if_not_cb0(&dst.fb, 0, 0, &src.fb, &cb0.cb, 0, PH); });
}

// The page context's end of frame: nothing drawn this frame, the previous frame's
// coverage at the given density, 320x240 plane over 320x200 coverage.
void BM_clear_dirty_320x240(benchmark::State& st)
{
    plane fb(2, PW, PH, PRB);
    cov cb(PW, PAGE_COVERAGE_H, 0), dirty(PW, PAGE_COVERAGE_H, static_cast<int>(st.range(0)));
    against(st, PEER_MEMSET, 2LL * PW * PAGE_COVERAGE_H, 2LL * PW * PAGE_COVERAGE_H,
            [&] { n3d_framebuffer_clear_dirty(&fb.fb, &cb.cb, &dirty.cb); });
}

// The non-coverage clear of a page: background wherever this frame drew
// nothing (coverage at the given density), 320x240 plane over 320x200 coverage.
void BM_clear_noncoverage_320x240(benchmark::State& st)
{
    plane fb(2, PW, PH, PRB);
    cov cb(PW, PAGE_COVERAGE_H, 100 - static_cast<int>(st.range(0)));
    against(st, PEER_MEMSET, 2LL * PW * PAGE_COVERAGE_H, 2LL * PW * PAGE_COVERAGE_H,
            [&] { n3d_framebuffer_clear_noncoverage(&fb.fb, &cb.cb); });
}

void BM_clear_dirty_640x480_index8(benchmark::State& st)
{
    plane fb(3, OW, OH, OW);
    cov cb(OW, OH, 0), dirty(OW, OH, static_cast<int>(st.range(0)));
    against(st, PEER_MEMSET, OVERLAY_BYTES, OVERLAY_BYTES,
            [&] { n3d_framebuffer_clear_dirty(&fb.fb, &cb.cb, &dirty.cb); });
}

// ---- Mask builders ---------------------------------------------------------------

void BM_cb_or_not_cb1_640x480(benchmark::State& st)
{
    cov dst(OW, OH, 0), src(OW, OH, static_cast<int>(st.range(0)));
    against(st, PEER_MEMCPY, MASK_BYTES, MASK_BYTES, [&] { n2d_cb_or_not_cb1(&dst.cb, 0, 0, &src.cb, 0, OH); });
}

void BM_cb_copy_placed_640x480(benchmark::State& st)
{
    cov dst(OW, OH, 0), src(OW, OH, static_cast<int>(st.range(0)));
    // Placed at column 5, not on a word: every word is shifted.
    against(st, PEER_MEMCPY, MASK_BYTES, MASK_BYTES, [&] { n2d_cb_copy(&dst.cb, 5, 0, &src.cb, 0, OH); });
}

void BM_cb_eq_cb1_and_texture_between_640x480(benchmark::State& st)
{
    cov cb0(OW, OH, 0), cb1(OW, OH, static_cast<int>(st.range(0)));
    uint8_t* texels = static_cast<uint8_t*>(aligned_block(1024 * 512));
    for (int i = 0; i < 1024 * 512; i++)
        texels[i] = static_cast<uint8_t>(i * 37);
    n3d_texture t;
    memset(&t, 0, sizeof t);
    t.format = 3;
    t.not_swizzled = 1;
    t.w_log2 = 10;
    t.h_log2 = 9;
    t.mips = &texels;
    against(st, PEER_MEMCPY, st.range(0) == 0 ? MASK_BYTES : OVERLAY_BYTES, MASK_BYTES,
            [&] { n2d_cb_eq_cb1_and_texture_between(&cb0.cb, &cb1.cb, &t, 1, 200, 0, OH); });
    std::free(texels);
}

// ---- Unmasked clears and copies ------------------------------------------------

void BM_copy_fb_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW), src(3, OW, OH, OW);
    against(st, PEER_MEMCPY, OVERLAY_BYTES, OVERLAY_BYTES, [&] { n2d_copy_fb(&dst.fb, &src.fb); });
}

void BM_fb_clear_i8_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW);
    against(st, PEER_MEMSET, OVERLAY_BYTES, OVERLAY_BYTES, [&] { n2d_fb_clear_i8(&dst.fb, 0); });
}

// Whole 1024-byte rows, padding included.
void BM_fb_clear_rgb_320x240(benchmark::State& st)
{
    plane dst(2, PW, PH, PRB);
    against(st, PEER_MEMSET, 1LL * PRB * PH, 1LL * PRB * PH, [&] { n2d_fb_clear_rgb(&dst.fb, 0, 0, 0); });
}

void BM_framebuffer_clear_320x240(benchmark::State& st)
{
    plane dst(2, PW, PH, PRB);
    against(st, PEER_MEMSET, PAGE_BYTES, PAGE_BYTES, [&] { n3d_framebuffer_clear(&dst.fb); });
}

void BM_coveragebuffer_clear_640x480(benchmark::State& st)
{
    cov c(OW, OH, 0);
    against(st, PEER_MEMSET, MASK_BYTES, MASK_BYTES, [&] { n3d_coveragebuffer_clear(&c.cb); });
}

void BM_blit_buffer_index8_640x480(benchmark::State& st)
{
    plane dst(3, OW, OH, OW);
    n3d_frame_context fc = {0, &dst.fb, nullptr, nullptr, nullptr};
    uint8_t* src = static_cast<uint8_t*>(aligned_block(OVERLAY_BYTES));
    against(st, PEER_MEMCPY, OVERLAY_BYTES, OVERLAY_BYTES,
            [&] { n2d_blit_buffer_index8(&fc, src, OW, 0, 0, OW, OH, 0, 0, OW, OH, 0, OH); });
    std::free(src);
}

// ---- Baselines -------------------------------------------------------------------

void BM_memcpy(benchmark::State& st)
{
    const size_t n = static_cast<size_t>(st.range(0));
    void* a = aligned_block(n);
    void* b = aligned_block(n);
    for (auto _ : st) {
        memcpy(a, b, n);
        benchmark::ClobberMemory();
    }
    std::free(a);
    std::free(b);
    bytes(st, static_cast<long long>(n));
}

void BM_memset(benchmark::State& st)
{
    const size_t n = static_cast<size_t>(st.range(0));
    void* a = aligned_block(n);
    for (auto _ : st) {
        memset(a, 0, n);
        benchmark::ClobberMemory();
    }
    std::free(a);
    bytes(st, static_cast<long long>(n));
}

}  // namespace

#define DENSITIES ->Arg(0)->Arg(50)->Arg(100)->UseManualTime()

BENCHMARK(BM_fill_if_cb0_640x480) DENSITIES;
BENCHMARK(BM_copy_if_cb0_640x480) DENSITIES;
BENCHMARK(BM_copy_if_not_cb0_and_cb1_640x480) DENSITIES;
BENCHMARK(BM_argb1555_copy_if_not_cb0_320x240) DENSITIES;
BENCHMARK(BM_clear_dirty_320x240) DENSITIES;
BENCHMARK(BM_clear_noncoverage_320x240) DENSITIES;
BENCHMARK(BM_clear_dirty_640x480_index8) DENSITIES;
BENCHMARK(BM_cb_or_not_cb1_640x480) DENSITIES;
BENCHMARK(BM_cb_copy_placed_640x480) DENSITIES;
BENCHMARK(BM_cb_eq_cb1_and_texture_between_640x480) DENSITIES;
BENCHMARK(BM_copy_fb_640x480)->UseManualTime();
BENCHMARK(BM_fb_clear_i8_640x480)->UseManualTime();
BENCHMARK(BM_fb_clear_rgb_320x240)->UseManualTime();
BENCHMARK(BM_framebuffer_clear_320x240)->UseManualTime();
BENCHMARK(BM_coveragebuffer_clear_640x480)->UseManualTime();
BENCHMARK(BM_blit_buffer_index8_640x480)->UseManualTime();
BENCHMARK(BM_memcpy)->Arg(OVERLAY_BYTES)->Arg(PAGE_BYTES)->Arg(MASK_BYTES);
BENCHMARK(BM_memset)->Arg(OVERLAY_BYTES)->Arg(PAGE_BYTES)->Arg(MASK_BYTES);

BENCHMARK_MAIN();
