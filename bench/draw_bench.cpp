// The triangle draw paths on a mesh: a sphere of 2048 triangles (an octahedron
// subdivided four times), textured with a 256 x 256 index8 flare, phong-shaded,
// depth-buffered, drawn whole into a 320 x 240 page (1024-byte rows) through the
// phong path's fixed choice (the z-buffered variant), beside that rasterizer
// alone on the very triangles the draw path handed it, and the draw path with a
// rasterizer that draws nothing (its set-up alone). Triangles per second count
// the mesh's triangles (draw path) or the rasterizer calls (rasterizer alone);
// pixels per second the pixels one draw covers. SetupShare runs set-up and
// rasterizer interleaved in one loop and reports the set-up's time over the
// rasterizer's (it should stay below 0.25).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/linmath_extended.h"
#include "core/memarena.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "n3d/n3d_draw.h"
#include "target/n3d_framebuffer.h"

namespace {

constexpr int W = 320, H = 240, ROW_BYTES = 1024;
constexpr int DRAW_MODE = N3D_DRAW_MODE_PHONG | N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 |
                          N3D_DRAW_MODE_COVERAGE_WRITE | N3D_DRAW_MODE_ZBUFFER;  // 1732: variant 190
constexpr int RASTERIZER = 190;
constexpr int RECORD_FLAGS = RASTERIZER | 4096;  // a bit no variant has: same checks as 190
constexpr int NOTHING_FLAGS = RASTERIZER | 8192;

struct recorded {
    n3d_vertex_ex4 v[3];
    float gdx[5], gdy[5];
    float twice_area, min_w;
};
std::vector<recorded> g_recorded;

int record_func(n3d_rasterizer_args* a)
{
    recorded r;
    memcpy(r.v, a->vertices, sizeof r.v);
    memcpy(r.gdx, a->gradients_dx, sizeof r.gdx);
    memcpy(r.gdy, a->gradients_dy, sizeof r.gdy);
    r.twice_area = a->twice_area;
    r.min_w = a->min_w;
    g_recorded.push_back(r);
    return 1;
}

int nothing_func(n3d_rasterizer_args* a)
{
    benchmark::DoNotOptimize(a->vertices);
    return 1;
}

struct sphere_scene {
    std::vector<uint8_t> block = std::vector<uint8_t>(24u << 20);
    memarena arena;
    std::vector<float> xyz, uv, n, t, b;
    n3d_vertices vs{};
    n3d_texture texture{};
    n3d_texture* textures[1] = {&texture};
    uint8_t* phong_luts[1];
    n3d_material material{textures, phong_luts};
    n3d_framebuffer page{};
    n3d_frame_context fc{};
    mat4x4 mvp;
    n3d_draw_args args{};
    int pixels = 0;
    n3d_rasterizer* rasterizer = nullptr;

    void add(const float p[3])
    {
        const float len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        const float q[3] = {p[0] / len, p[1] / len, p[2] / len};
        xyz.insert(xyz.end(), {q[0], q[1], q[2]});
        n.insert(n.end(), {q[0], q[1], q[2]});
        uv.insert(uv.end(), {std::atan2(q[2], q[0]) / (2.0f * (float)M_PI) + 0.5f,
                             std::acos(std::fmax(-1.0f, std::fmin(1.0f, q[1]))) / (float)M_PI});
        float tx = -q[2], tz = q[0];
        float tl = std::sqrt(tx * tx + tz * tz);
        if (tl < 1e-6f)
            tx = 1.0f, tz = 0.0f, tl = 1.0f;
        t.insert(t.end(), {tx / tl, 0.0f, tz / tl});
        const vec3 nn = {q[0], q[1], q[2]}, tt = {tx / tl, 0.0f, tz / tl};
        vec3 bb;
        vec3_mul_cross(bb, nn, tt);
        b.insert(b.end(), {bb[0], bb[1], bb[2]});
    }
    void subdivide(const float a[3], const float b_[3], const float c[3], int depth)
    {
        if (depth == 0) {
            add(a);
            add(b_);
            add(c);
            return;
        }
        float ab[3], bc[3], ca[3];
        for (int i = 0; i < 3; ++i) {
            ab[i] = 0.5f * (a[i] + b_[i]);
            bc[i] = 0.5f * (b_[i] + c[i]);
            ca[i] = 0.5f * (c[i] + a[i]);
        }
        for (float* p : {ab, bc, ca}) {
            const float l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
            for (int i = 0; i < 3; ++i)
                p[i] /= l;
        }
        subdivide(a, ab, ca, depth - 1);
        subdivide(ab, b_, bc, depth - 1);
        subdivide(ca, bc, c, depth - 1);
        subdivide(ab, bc, ca, depth - 1);
    }

    sphere_scene()
    {
        memarena_init(&arena, "draw_bench", block.size(), block.data());
        n3d_init(&arena);
        n3d_rasterizer_register("draw_bench_record", 4, record_func, nullptr, RECORD_FLAGS, __FILE__, __LINE__);
        n3d_rasterizer_register("draw_bench_nothing", 4, nothing_func, nullptr, NOTHING_FLAGS, __FILE__, __LINE__);
        rasterizer = n3d_rasterizer_find(RASTERIZER);

        // Octahedron faces, counter-clockwise seen from outside.
        const float X[3] = {1, 0, 0}, nX[3] = {-1, 0, 0}, Y[3] = {0, 1, 0}, nY[3] = {0, -1, 0}, Z[3] = {0, 0, 1},
                    nZ[3] = {0, 0, -1};
        const float* faces[8][3] = {{X, Y, Z},  {Z, Y, nX},  {nX, Y, nZ},  {nZ, Y, X},
                                    {Z, nY, X}, {nX, nY, Z}, {nZ, nY, nX}, {X, nY, nZ}};
        for (auto& f : faces)
            subdivide(f[0], f[1], f[2], 4);
        vs.count = (int)(xyz.size() / 3);
        vs.xyz = xyz.data();
        vs.uv = uv.data();
        vs.n_xyz = n.data();
        vs.t_xyz = t.data();
        vs.b_xyz = b.data();

        bitmap flare;
        bitmap_init(&flare, &arena, 256, 256, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
        const float white[4] = {1, 1, 1, 1};
        bitmap_flare(&flare, white);
        memarena* tmp = memarena_push_subarena(&arena, "draw_bench_tmp", 6u << 20);
        n3d_make_texture_from_bitmap(&texture, &arena, tmp, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1, 0, 3,
                                     &flare, nullptr, 0, 0.0f);
        phong_luts[0] = n3d_build_phong_lut(&arena, 0.5f, 1);

        page = {0,         N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                W,         H,
                ROW_BYTES, memarena_push_align(&arena, (uint64_t)ROW_BYTES * H, 32)};
        n3d_framecontext_init(&fc, &arena, W, H, N3D_TEXEL_FORMAT_NONE,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER | N3D_FRAMECONTEXT_DEPTHBUFFER);
        fc.fb = &page;
        n3d_framebuffer_clear(&page);

        // The sphere 1.5 radii from the eye fills nine tenths of the page's
        // height; a sixth of its triangles face the eye.
        n3d_space_context sc;
        mat4x4 view, world;
        const vec3 eye = {0.3f, 0.4f, 1.415f}, at = {0, 0, 0}, up = {0, 1, 0};
        mat4x4_look_at(view, eye, at, up);
        mat4x4_invert(world, view);
        n3d_space_context_set(&sc, &fc, view, world, (float)M_PI / 2.0f, 0.25f);
        mat4x4_dup(mvp, sc.clip_from_world);

        args.draw_mode = DRAW_MODE;
        args.fc = &fc;
        args.batch_arena = &n3d_batch_arena;
        args.all_vs = &vs;
        args.material = &material;
        args.mesh_primitives_count = vs.count / 3;
        vec3_set(args.model_light_pos, 2.0f, 3.0f, 4.0f);
        vec3_copy(args.model_view_pos, eye);
        args.mvp = &mvp;

        args.rasterizer_flags = RECORD_FLAGS;
        n3d_draw_triangles_phong_argb1555(&args);
        clear();
        args.rasterizer_flags = 0;
        n3d_draw_triangles_phong_argb1555(&args);
        for (int i = 0; i < W * H; ++i)
            pixels += (fc.cb->u32[i >> 5] >> (31 - (i & 31))) & 1;
    }
    void clear()
    {
        n3d_coveragebuffer_clear(fc.cb);
        n3d_depthbuffer_clear(fc.db);
    }
    int draw(int flags)
    {
        args.rasterizer_flags = flags;
        return n3d_draw_triangles_phong_argb1555(&args);
    }
    int rasterize_alone()
    {
        n3d_rasterizer_args ra;
        memset(&ra, 0, sizeof ra);
        ra.rasterizer = rasterizer;
        ra.fc = &fc;
        ra.textures = textures;
        ra.phong_luts = phong_luts;
        int drawn = 0;
        for (recorded& r : g_recorded) {
            ra.vertices = r.v;
            ra.gradients_dx = r.gdx;
            ra.gradients_dy = r.gdy;
            ra.twice_area = r.twice_area;
            ra.min_w = r.min_w;
            drawn += rasterizer->func(&ra);
        }
        return drawn;
    }
};

sphere_scene& scene()
{
    static sphere_scene s;
    return s;
}

void rates(benchmark::State& st, long long triangles, long long pixels)
{
    st.counters["triangles/s"] = benchmark::Counter((double)(triangles * st.iterations()), benchmark::Counter::kIsRate);
    st.counters["pixels/s"] = benchmark::Counter((double)(pixels * st.iterations()), benchmark::Counter::kIsRate);
}

void BM_draw_path_sphere(benchmark::State& st)
{
    sphere_scene& s = scene();
    for (auto _ : st) {
        s.clear();
        benchmark::DoNotOptimize(s.draw(0));
    }
    rates(st, s.vs.count / 3, s.pixels);
    st.counters["rasterizer_calls"] = (double)g_recorded.size();
}

void BM_rasterizer_alone_sphere(benchmark::State& st)
{
    sphere_scene& s = scene();
    for (auto _ : st) {
        s.clear();
        benchmark::DoNotOptimize(s.rasterize_alone());
    }
    rates(st, (long long)g_recorded.size(), s.pixels);
}

void BM_draw_path_setup_only_sphere(benchmark::State& st)
{
    sphere_scene& s = scene();
    for (auto _ : st) {
        s.clear();
        benchmark::DoNotOptimize(s.draw(NOTHING_FLAGS));
    }
    rates(st, s.vs.count / 3, 0);
}

// Set-up (transform, reject, cull, clip, gradients; the clears included on
// both sides) against the rasterizer, timed alternately in one loop.
void BM_setup_share_sphere(benchmark::State& st)
{
    sphere_scene& s = scene();
    double setup_s = 0.0, raster_s = 0.0;
    using clock = std::chrono::steady_clock;
    for (auto _ : st) {
        const auto t0 = clock::now();
        s.clear();
        benchmark::DoNotOptimize(s.draw(NOTHING_FLAGS));
        const auto t1 = clock::now();
        s.clear();
        benchmark::DoNotOptimize(s.rasterize_alone());
        const auto t2 = clock::now();
        setup_s += std::chrono::duration<double>(t1 - t0).count();
        raster_s += std::chrono::duration<double>(t2 - t1).count();
    }
    const double tris = (double)(s.vs.count / 3) * (double)st.iterations();
    st.counters["setup_ns_per_triangle"] = setup_s * 1e9 / tris;
    st.counters["raster_ns_per_triangle"] = raster_s * 1e9 / tris;
    st.counters["setup_over_raster"] = setup_s / raster_s;
}

BENCHMARK(BM_draw_path_sphere);
BENCHMARK(BM_rasterizer_alone_sphere);
BENCHMARK(BM_draw_path_setup_only_sphere);
BENCHMARK(BM_setup_share_sphere);

}  // namespace

BENCHMARK_MAIN();
