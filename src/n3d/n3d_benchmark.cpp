// The rasterizer benchmark: random set-up triangles straight into one
// registered rasterizer, bypassing the draw paths, on two targets.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/memarena.h"
#include "core/pcg_basic.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"

int n3d_benchmark_run_ms = 5000;

namespace {

struct n3d_bench_target {
    int is_vram;  // 1: over the emulated video memory; 0: ordinary memory
    n3d_frame_context* fc;
};

constexpr float BENCH_MAX_X = 320.0f, BENCH_MAX_Y = 200.0f;
constexpr float BENCH_MAX_U = 1.0f, BENCH_MAX_V = 1.0f;
constexpr float BENCH_Z_NEAR = 1.0f, BENCH_Z_FAR = 2.0f;  // 1/w in [0.5, 1.0)
constexpr int BENCH_CLEAR_EVERY = 100;
constexpr uint64_t BENCH_TMP_ARENA_BYTES = 0x600000;
constexpr const char* BENCH_RASTERIZER =
    "n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans";

// One rasterizer on one target for n3d_benchmark_run_ms; the same triangles
// every time, since the generator starts from its initial value.
template <int PS>
void bench_measure(n3d_rasterizer* r, n3d_bench_target* target, int target_index, int* target_counter,
                   n3d_texture** t0_i8, n3d_texture** t0_argb, uint8_t** phong_luts)
{
    using vertex = typename std::conditional<PS == 4, n3d_vertex_ex4, n3d_vertex_ex2>::type;
    const bool phong = (r->flags & N3D_RASTERIZER_PHONG) != 0;
    pcg32_random_t rng = PCG32_INITIALIZER;
    int count = 0;
    double pixels = 0.0;
    vertex v[3];
    float gdx[PS + 1], gdy[PS + 1];
    n3d_rasterizer_args args;
    memset(&args, 0, sizeof args);
    args.rasterizer = r;
    args.fc = target->fc;
    args.vertices = v;
    args.gradients_dx = gdx;
    args.gradients_dy = gdy;
    args.phong_luts = phong_luts;
    const cycles_t t0 = cycles_measure_get();
    for (;;) {
        float x[3], y[3], iw[3];
        x[0] = n3d_randf(&rng) * BENCH_MAX_X;
        y[0] = n3d_randf(&rng) * BENCH_MAX_Y;
        x[1] = n3d_randf(&rng) * BENCH_MAX_X;
        y[1] = n3d_randf(&rng) * BENCH_MAX_Y;
        x[2] = n3d_randf(&rng) * BENCH_MAX_X;
        y[2] = n3d_randf(&rng) * BENCH_MAX_Y;
        for (int i = 0; i < 3; ++i)
            iw[i] = 1.0f / BENCH_Z_FAR + n3d_randf(&rng) * (1.0f / BENCH_Z_NEAR - 1.0f / BENCH_Z_FAR);
        const float A = (y[0] - y[2]) * (x[1] - x[2]) - (y[1] - y[2]) * (x[0] - x[2]);
        if (cycles_to_ms(cycles_measure_get_delta(t0)) > (double)n3d_benchmark_run_ms)
            break;
        if (A <= 0.000001f)
            continue;
        if ((r->flags & N3D_RASTERIZER_COVERAGE_READ) && count % BENCH_CLEAR_EVERY == 0)
            n3d_coveragebuffer_clear(target->fc->cb);
        if ((r->flags & N3D_RASTERIZER_ZBUFFER_READ) && count % BENCH_CLEAR_EVERY == 0)
            n3d_depthbuffer_clear(target->fc->db);
        args.primitive_id = *target_counter % 4096;
        *target_counter += 1;
        if (r->flags & N3D_RASTERIZER_T0_I8ARGB1555)
            args.textures = t0_i8;
        else if (r->flags & N3D_RASTERIZER_T0_ARGB1555)
            args.textures = t0_argb;
        else
            n3d_crash("src/n3d", phong ? 1929 : 1977,
                      "n3d_benchmark only supports N3D_RASTERIZER_T0_I8ARGB1555 N3D_RASTERIZER_T0_ARGB1555 so far\n");
        for (int i = 0; i < 3; ++i) {
            v[i].x = x[i];
            v[i].y = y[i];
            v[i].w = iw[i];
            v[i].ps[0] = n3d_randf(&rng) * BENCH_MAX_U;
            v[i].ps[1] = n3d_randf(&rng) * BENCH_MAX_V;
            if constexpr (PS == 4) {
                v[i].ps[2] = -0.5f + n3d_randf(&rng) * 1.0f;
                v[i].ps[3] = -0.5f + n3d_randf(&rng) * 1.0f;
            }
        }
        // Gradients of the perspective-divided parameters, then of 1/w itself.
        const float rcp = 1.0f / A;
        for (int k = 0; k <= PS; ++k) {
            const float p0 = k < PS ? iw[0] * v[0].ps[k] : iw[0];
            const float p1 = k < PS ? iw[1] * v[1].ps[k] : iw[1];
            const float p2 = k < PS ? iw[2] * v[2].ps[k] : iw[2];
            gdx[k] = ((y[0] - y[2]) * (p1 - p2) - (y[1] - y[2]) * (p0 - p2)) * rcp;
            gdy[k] = -((x[0] - x[2]) * (p1 - p2) - (x[1] - x[2]) * (p0 - p2)) * rcp;
            if (k < PS)
                for (int i = 0; i < 3; ++i)
                    v[i].ps[k] *= iw[i];
        }
        args.twice_area = A;
        float max_iw = iw[0] > iw[1] ? iw[0] : iw[1];
        max_iw = max_iw > iw[2] ? max_iw : iw[2];
        args.min_w = 1.0f / max_iw;
        r->func(&args);
        count += 1;
        pixels += (double)A / 2.0;
    }
    const double t = cycles_to_ms(cycles_measure_get_delta(t0));
    printf("%.2f ~pixels/sec: %.2f triangles/sec\t[%d]\t%s\n", 1000.0 * pixels / t, 1000.0 * (double)count / t,
           target_index, r->name);
}

}  // namespace

void n3d_benchmark(memarena* arena, n3d_frame_context* fc_8bpp, n3d_frame_context* fc_16bpp)
{
    (void)fc_8bpp;
    uint8_t** phong_luts = memarena_push_array<uint8_t*>(arena, 1);
    phong_luts[0] = n3d_build_phong_lut(arena, 0.5f, 1);

    bitmap flare;
    bitmap_init(&flare, arena, 256, 256, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    const float white[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    bitmap_flare(&flare, white);

    void* tmp_block = malloc(BENCH_TMP_ARENA_BYTES);
    memarena tmp_arena;
    memarena_init(&tmp_arena, "n3d_benchmark_tmp_arena", BENCH_TMP_ARENA_BYTES, tmp_block);

    n3d_texture* texture_i8 = memarena_push_array_zeroed<n3d_texture>(arena, 1);
    n3d_texture* texture_argb = memarena_push_array_zeroed<n3d_texture>(arena, 1);
    n3d_make_texture_from_bitmap(texture_i8, arena, &tmp_arena, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1, 0, 3,
                                 &flare, nullptr, 0, 0.0f);
    memarena_reset(&tmp_arena);
    n3d_make_texture_from_bitmap(texture_argb, arena, &tmp_arena, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1, 1, 0,
                                 3, &flare, nullptr, 0, 0.0f);
    n3d_texture** t0_i8 = memarena_push_array<n3d_texture*>(arena, 1);
    n3d_texture** t0_argb = memarena_push_array<n3d_texture*>(arena, 1);
    t0_i8[0] = texture_i8;
    t0_argb[0] = texture_argb;

    n3d_frame_context* fc_ram = memarena_push_array_zeroed<n3d_frame_context>(arena, 1);
    n3d_framecontext_init(fc_ram, arena, 320, 200, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                          N3D_FRAMECONTEXT_COVERAGEBUFFER);
    n3d_bench_target targets[2] = {{1, fc_16bpp}, {0, fc_ram}};
    for (n3d_bench_target& t : targets) {
        if (!t.fc->db) {
            t.fc->db = memarena_push_array_zeroed<n3d_depthbuffer>(arena, 1);
            n3d_depthbuffer_init(t.fc->db, t.fc->fb->w, t.fc->fb->h, arena);
        }
    }

    printf("n3d_benchmark v102\n");
    printf("- each rasterizer starts with same random seed draws random triangles for 5s (in 320x200 area regardless "
           "of target dimensions)\n");
    printf("- pixels/s is sum of triangle area (underestimates for small triangles)\n");
    printf("- texture is 256x256 tiled, zbuffer is 16bit\n");
    printf("- coverage buffer and zbuffer is cleared every 100 triangels (if rasterizer uses it)\n");
    printf("- v102: fixed bug was not dividing vertex attributes by w\n");
    printf("- v101: texture is a flare now instead of a 2 color checkerboard pattern, as the latter makes shade_table "
           "only accessed in 2 color entries for phong\n");
    for (int i = 0; i < 2; ++i)
        printf("[%d]: %dx%d %s (only draws in %dx%d)\n", i, targets[i].fc->fb->w, targets[i].fc->fb->h,
               targets[i].is_vram ? "vram" : "ram", (int)BENCH_MAX_X, (int)BENCH_MAX_Y);

    for (int i = 0; i < 2; ++i) {
        int target_counter = 0;
        for (int k = 0; k < g_n3d_rasterizers_count; ++k) {
            n3d_rasterizer* r = &g_n3d_rasterizers[k];
            if (strcmp(r->name, BENCH_RASTERIZER) != 0)
                continue;
            const bool phong = (r->flags & N3D_RASTERIZER_PHONG) != 0;
            if (r->ps_count != (phong ? 4 : 2))
                n3d_crash("src/n3d", phong ? 1932 : 1980, "?\n");
            if (phong)
                bench_measure<4>(r, &targets[i], i, &target_counter, t0_i8, t0_argb, phong_luts);
            else
                bench_measure<2>(r, &targets[i], i, &target_counter, t0_i8, t0_argb, phong_luts);
        }
    }
}
