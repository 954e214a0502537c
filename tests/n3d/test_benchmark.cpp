// The rasterizer benchmark with recording rasterizers in the registry: only the
// one named variant is measured, on both targets with the same triangles, its
// triangles set up as the rasterizers expect them, the depth buffer cleared
// before every hundredth triangle and the coverage buffer never.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/cycles_measure.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<8u << 20>;

struct bench_call {
    const n3d_frame_context* fc;
    int primitive_id;
    n3d_vertex_ex4 v[3];
    float gdx[5], gdy[5];
    float twice_area, min_w;
    bool depth_cleared;  // the mark left by the previous call was gone
    bool coverage_cleared;
    const n3d_texture* texture0;
};
std::vector<bench_call> g_calls;
int g_other_calls;

int record_wip(n3d_rasterizer_args* a)
{
    bench_call c;
    c.fc = a->fc;
    c.primitive_id = a->primitive_id;
    memcpy(c.v, a->vertices, sizeof c.v);
    memcpy(c.gdx, a->gradients_dx, sizeof c.gdx);
    memcpy(c.gdy, a->gradients_dy, sizeof c.gdy);
    c.twice_area = a->twice_area;
    c.min_w = a->min_w;
    c.texture0 = a->textures[0];
    // Marks in the depth buffer's validity record and the coverage buffer.
    uint32_t* depth_mark = &a->fc->db->cb_cache_zeroed.u32[0];
    uint32_t* coverage_mark = &a->fc->cb->u32[0];
    c.depth_cleared = (*depth_mark & 1u) == 0;
    c.coverage_cleared = (*coverage_mark & 1u) == 0;
    *depth_mark |= 1u;
    *coverage_mark |= 1u;
    g_calls.push_back(c);
    return 1;
}

int record_other(n3d_rasterizer_args*)
{
    ++g_other_calls;
    return 1;
}

TEST(Benchmark, MeasuresTheNamedVariantOnBothTargetsWithTheSameTriangles)
{
    // A registry of recorders: the measured name under its flags, and a
    // variant of another name that must be passed over.
    n3d_rasterizer_register("n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11", 4, record_other,
                            nullptr, 190, __FILE__, __LINE__);
    n3d_rasterizer_register("n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans",
                            4, record_wip, nullptr, 1214, __FILE__, __LINE__);
    cycles_rdtsc_per_sec = 3e9;  // a rough rate is enough to end each run
    cycles_calibrated = 1;
    n3d_benchmark_run_ms = 40;

    test_arena ta;
    n3d_frame_context page;
    n3d_framecontext_init(&page, &ta.arena, 320, 240, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                          N3D_FRAMECONTEXT_COVERAGEBUFFER);
    n3d_benchmark(&ta.arena, nullptr, &page);

    EXPECT_EQ(g_other_calls, 0);
    ASSERT_FALSE(g_calls.empty());
    ASSERT_NE(page.db, nullptr) << "a target without a depth buffer gets one of its size";
    EXPECT_EQ(page.db->w, 320);
    EXPECT_EQ(page.db->h, 240);
    std::vector<const bench_call*> per_target[2];
    for (const bench_call& c : g_calls)
        per_target[c.fc == &page ? 0 : 1].push_back(&c);
    ASSERT_GT(per_target[0].size(), 100u);
    ASSERT_GT(per_target[1].size(), 100u);
    EXPECT_EQ(per_target[1][0]->fc->fb->w, 320);
    EXPECT_EQ(per_target[1][0]->fc->fb->h, 200);
    // Target 0 first, then target 1.
    EXPECT_EQ(g_calls.front().fc, &page);
    EXPECT_NE(g_calls.back().fc, &page);

    for (int t = 0; t < 2; ++t) {
        const std::vector<const bench_call*>& calls = per_target[t];
        for (size_t k = 0; k < calls.size(); ++k) {
            const bench_call& c = *calls[k];
            EXPECT_EQ(c.primitive_id, (int)(k % 4096)) << t << " " << k;
            EXPECT_EQ(c.depth_cleared, k % 100 == 0) << t << " " << k;
            EXPECT_EQ(c.coverage_cleared, k == 0) << t << " " << k << ": coverage is never cleared";
            EXPECT_EQ(c.texture0->format, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555);
            const n3d_vertex_ex4* v = c.v;
            const float A = (v[0].y - v[2].y) * (v[1].x - v[2].x) - (v[1].y - v[2].y) * (v[0].x - v[2].x);
            EXPECT_EQ(c.twice_area, A);
            EXPECT_GT(A, 0.000001f);
            float max_iw = 0;
            for (int i = 0; i < 3; ++i) {
                EXPECT_TRUE(v[i].x >= 0 && v[i].x < 320 && v[i].y >= 0 && v[i].y < 200);
                EXPECT_TRUE(v[i].w >= 0.5f && v[i].w < 1.0f);
                max_iw = std::fmax(max_iw, v[i].w);
                // Parameters arrive divided by w: u, v in [0, 1), phong in [-0.5, 0.5).
                EXPECT_TRUE(v[i].ps[0] / v[i].w >= 0.0f && v[i].ps[0] / v[i].w < 1.0001f);
                EXPECT_TRUE(v[i].ps[2] / v[i].w >= -0.5001f && v[i].ps[2] / v[i].w < 0.5001f);
                // The gradients carry each parameter and 1/w from vertex 0 to the
                // others (slivers have large gradients whose terms cancel: the
                // tolerance grows with them).
                const float dx = v[i].x - v[0].x, dy = v[i].y - v[0].y;
                for (int p = 0; p < 5; ++p) {
                    const float start = p < 4 ? v[0].ps[p] : v[0].w, end = p < 4 ? v[i].ps[p] : v[i].w;
                    const float tol = 1e-4f + 1e-6f * (std::fabs(c.gdx[p] * dx) + std::fabs(c.gdy[p] * dy));
                    EXPECT_NEAR(start + c.gdx[p] * dx + c.gdy[p] * dy, end, tol) << k << " " << p;
                }
            }
            EXPECT_FLOAT_EQ(c.min_w, 1.0f / max_iw);
        }
    }
    // Every measurement starts from the generator's initial value.
    const size_t common = std::min(per_target[0].size(), per_target[1].size());
    for (size_t k = 0; k < common; ++k)
        ASSERT_EQ(memcmp(per_target[0][k]->v, per_target[1][k]->v, sizeof(per_target[0][k]->v)), 0) << k;
}

}  // namespace
