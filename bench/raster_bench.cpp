// Every registered triangle rasterizer on the renderer benchmark's stream:
// PCG32 from its default state, random triangles in a 320x200 area, 1/w in
// [0.5, 1), texture coordinates in [0, 1), phong coordinates in [-0.5, 0.5), the
// 256x256 flare texture (index8 or ARGB1555 as the variant reads), coverage and
// depth cleared every 100 triangles when the variant reads them. One benchmark
// iteration draws 100 triangles; pixels/s counts half of each triangle's twice
// area, as the renderer's benchmark does. Beside them, when Mesa's off-screen
// library is present, llvmpipe on one thread draws the same triangles with
// nearest-texel perspective texturing and a depth test, as the peer figure.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/memarena.h"
#include "core/pcg_basic.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "raster/n3d_raster.h"
#include "support/raster_stream.h"
#include "target/n3d_framebuffer.h"

#ifdef QF_HAVE_OSMESA
#include <GL/osmesa.h>
#endif

namespace {

const int STREAM = 8192;  // triangles kept per parameter count, replayed in turn
const int BATCH = 100;

struct bench_world {
    std::vector<uint8_t> block, tmp_block;
    memarena arena, tmp;
    bitmap flare;
    n3d_texture tex8, tex16;
    n3d_texture* textures[1];
    uint8_t* phong_luts[1];
    n3d_frame_context fc;
    std::vector<raster_tri> stream2, stream4;

    bench_world() : block(64u << 20), tmp_block(0x600000)
    {
        memarena_init(&arena, "raster_bench", block.size(), block.data());
        memarena_init(&tmp, "n3d_benchmark_tmp_arena", tmp_block.size(), tmp_block.data());
        n3d_init(&arena);
        phong_luts[0] = n3d_build_phong_lut(&arena, 0.5f, 1);
        bitmap_init(&flare, &arena, 256, 256, 5);
        const float white[4] = {1, 1, 1, 1};
        bitmap_flare(&flare, white);
        n3d_make_texture_from_bitmap(&tex8, &arena, &tmp, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1, 0, 3, &flare,
                                     nullptr, 0, 0.0f);
        memarena_reset(&tmp);
        n3d_make_texture_from_bitmap(&tex16, &arena, &tmp, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1, 1, 0, 3,
                                     &flare, nullptr, 0, 0.0f);
        n3d_framecontext_init(&fc, &arena, 320, 200, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER);
        fc.db = memarena_push_array<n3d_depthbuffer>(&arena, 1);
        n3d_depthbuffer_init(fc.db, 320, 200, &arena);
        n3d_depthbuffer_clear(fc.db);
        for (int ps : {2, 4}) {
            std::vector<raster_tri>& s = ps == 2 ? stream2 : stream4;
            s.resize(STREAM);
            pcg32_random_t rng = PCG32_INITIALIZER;
            for (raster_tri& t : s)
                raster_stream_next(&rng, ps, &t);
        }
    }
};

bench_world& world()
{
    static bench_world w;
    return w;
}

void BM_rasterizer(benchmark::State& state, int index)
{
    bench_world& w = world();
    n3d_rasterizer* r = &g_n3d_rasterizers[index];
    const int ps = r->ps_count;
    const std::vector<raster_tri>& s = ps == 4 ? w.stream4 : w.stream2;
    w.textures[0] = (r->flags & N3D_RASTERIZER_T0_I8ARGB1555) ? &w.tex8 : &w.tex16;
    alignas(16) float vbuf[3 * 7];
    float gdx[5], gdy[5];
    n3d_rasterizer_args args{};
    args.rasterizer = r;
    args.fc = &w.fc;
    args.vertices = vbuf;
    args.gradients_dx = gdx;
    args.gradients_dy = gdy;
    args.textures = w.textures;
    args.phong_luts = w.phong_luts;
    n3d_coveragebuffer_clear(w.fc.cb);
    n3d_depthbuffer_clear(w.fc.db);
    size_t next = 0;
    double pixels = 0, triangles = 0;
    for (auto _ : state) {
        if (r->flags & N3D_RASTERIZER_COVERAGE_READ)
            n3d_coveragebuffer_clear(w.fc.cb);
        if (r->flags & N3D_RASTERIZER_ZBUFFER_READ)
            n3d_depthbuffer_clear(w.fc.db);
        for (int i = 0; i < BATCH; i++) {
            const raster_tri& t = s[next];
            next = (next + 1) % STREAM;
            raster_tri_vertices(&t, ps, vbuf);
            memcpy(gdx, t.gdx, sizeof gdx);
            memcpy(gdy, t.gdy, sizeof gdy);
            args.twice_area = t.twice_area;
            args.min_w = t.min_w;
            args.primitive_id = i;
            benchmark::DoNotOptimize(r->func(&args));
            pixels += t.twice_area * 0.5;
        }
        triangles += BATCH;
        benchmark::ClobberMemory();
    }
    state.counters["pixels/s"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate);
    state.counters["triangles/s"] = benchmark::Counter(triangles, benchmark::Counter::kIsRate);
}

#ifdef QF_HAVE_OSMESA
// llvmpipe, one thread: RGBA8 target of 320x200 with a 16-bit depth buffer, the
// flare as a 256x256 RGBA8 texture sampled nearest without mips, perspective
// through clip-space w = 1/iw, depth test on, depth cleared every 100 triangles.
struct mesa_peer {
    OSMesaContext ctx = nullptr;
    std::vector<uint8_t> color = std::vector<uint8_t>(320 * 200 * 4);
    bool ok = false;
    mesa_peer()
    {
        setenv("LP_NUM_THREADS", "0", 1);
        setenv("GALLIUM_DRIVER", "llvmpipe", 1);
        ctx = OSMesaCreateContextExt(OSMESA_RGBA, 16, 0, 0, nullptr);
        if (!ctx || !OSMesaMakeCurrent(ctx, color.data(), GL_UNSIGNED_BYTE, 320, 200))
            return;
        bench_world& w = world();
        glViewport(0, 0, 320, 200);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, 320, 200, 0, -1, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        GLuint tex;
        glGenTextures(1, &tex);
        glBindTexture(GL_TEXTURE_2D, tex);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 256, 256, 0, GL_RGBA, GL_UNSIGNED_BYTE, w.flare.data);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
        ok = true;
    }
    ~mesa_peer()
    {
        if (ctx)
            OSMesaDestroyContext(ctx);
    }
};

void BM_mesa_llvmpipe(benchmark::State& state)
{
    static mesa_peer peer;
    if (!peer.ok) {
        state.SkipWithError("OSMesa context not available");
        return;
    }
    const std::vector<raster_tri>& s = world().stream2;
    size_t next = 0;
    double pixels = 0, triangles = 0;
    for (auto _ : state) {
        glClear(GL_DEPTH_BUFFER_BIT);
        glBegin(GL_TRIANGLES);
        for (int i = 0; i < BATCH; i++) {
            const raster_tri& t = s[next];
            next = (next + 1) % STREAM;
            for (int k = 0; k < 3; k++) {
                float iw = t.v[k][2], w = 1.0f / iw;
                glTexCoord2f(t.v[k][3] * w, t.v[k][4] * w);
                glVertex4f(t.v[k][0] * w, t.v[k][1] * w, (1.0f - iw) * w, w);
            }
            pixels += t.twice_area * 0.5;
        }
        glEnd();
        glFinish();
        triangles += BATCH;
    }
    state.counters["pixels/s"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate);
    state.counters["triangles/s"] = benchmark::Counter(triangles, benchmark::Counter::kIsRate);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench_world& w = world();
    (void)w;
    for (int i = 0; i < g_n3d_rasterizers_count; i++) {
        char name[160];
        snprintf(name, sizeof name, "%d/%s", g_n3d_rasterizers[i].flags, g_n3d_rasterizers[i].name);
        benchmark::RegisterBenchmark(name, BM_rasterizer, i)->MinTime(1.0)->UseRealTime();
    }
#ifdef QF_HAVE_OSMESA
    benchmark::RegisterBenchmark("peer/mesa_llvmpipe_1thread_texture_depth", BM_mesa_llvmpipe)
        ->MinTime(1.0)
        ->UseRealTime();
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
