// Renderer start-up: the reciprocal tables, registration order and lookup, the
// profile report, the reference fill rule and barycentrics, the table report.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/cycles_measure.h"
#include "n3d/n3d.h"
#include "raster/n3d_rasterizers.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

// n3d_init registers once per process; every test here shares that start-up.
void init_once()
{
    static test_arena a;
    static bool done = false;
    if (!done) {
        n3d_init(&a.arena);
        done = true;
    }
}

TEST(N3dInit, ReciprocalTables)
{
    init_once();
    const int expect_head[] = {65535, 4096, 2048, 43690, 32768, 26214, 21845, 18724, 16384};
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(n3d_iiw_lut_fixpt[i], expect_head[i]) << i;
    EXPECT_EQ(n3d_iiw_lut_fixpt[30], 4369);
    EXPECT_EQ(n3d_iiw_lut_fixpt[31], 4228);
    // Every scaled entry against double arithmetic, halves away from zero.
    for (int i = 3; i < 32; i++)
        EXPECT_EQ(n3d_iiw_lut_fixpt[i], (int)std::floor(2097120.0 / (16.0 * i) + 0.5)) << i;
    EXPECT_EQ(n3d_height_div_lut[0], 1.0f);
    EXPECT_EQ(n3d_height_div_lut[3], 1.0f / 3.0f);
    EXPECT_EQ(n3d_batch_arena.size, 480u);
    EXPECT_STREQ(n3d_batch_arena.name, "batch_arena");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(n3d_batch_arena.ptr) % 32, 0u);
    EXPECT_STREQ(g_cycles_block_names[3], "BLOCK_RENDER_MESH");
    EXPECT_STREQ(g_cycles_block_names[4], "BLOCK_RENDER_MESH_TRANSFORM_VERTICES");
}

TEST(N3dInit, RegistryHoldsTheFifteenInOrderAndFindsExactFlags)
{
    init_once();
    const int flags[] = {336, 80, 81, 48, 50, 51, 49, 179, 178, 190, 1214, 176, 208, 210, 466};
    ASSERT_EQ(g_n3d_rasterizers_count, 15);
    for (int i = 0; i < 15; i++) {
        const n3d_rasterizer* r = &g_n3d_rasterizers[i];
        EXPECT_EQ(r->flags, flags[i]);
        EXPECT_EQ(r->ps_count, (flags[i] & N3D_RASTERIZER_PHONG) ? 4 : 2) << r->name;
        EXPECT_EQ(r->profileblocks_count, 5);
        EXPECT_STREQ(r->name_per_profileblock[4], "span_setup");
        EXPECT_EQ(n3d_rasterizer_find(flags[i]), r);
    }
    EXPECT_STREQ(g_n3d_rasterizers[10].name,
                 "n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans");
    EXPECT_EQ(n3d_rasterizer_find(16), nullptr);
    EXPECT_EQ(n3d_rasterizer_find(1214 | 1), nullptr);
}

TEST(N3dInit, SecondStartUpRegistersAfreshWhileADuplicateStops)
{
    init_once();
    g_n3d_rasterizers[1].profileblocks[0].hits = 7;
    test_arena a;
    n3d_init(&a.arena);
    EXPECT_EQ(g_n3d_rasterizers_count, 15);
    EXPECT_EQ(g_n3d_rasterizers[1].profileblocks[0].hits, 0u);
    captured_run r = capture_run([] {
        n3d_rasterizer_register("again", 2, n3d_render_triangle_v8_argb1555_t0argb1555,
                                n3d_render_triangle_v8_argb1555_t0argb1555_init, 80, "src/n3d_rasterizers", 52);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/n3d:805\n")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a rasterizer with these flags were already regisered! flags: 80 (this one was at: "
                         "src/n3d_rasterizers:52)\n"),
              std::string::npos)
        << r.err;
}

TEST(N3dInit, ProfileReport)
{
    captured_run none = capture_run([] {
        init_once();
        g_cycles_block_total[0] = 1000;
        n3d_profile_print();
    });
    EXPECT_EQ(none.out, "total cycles: 1000.000000\n");

    captured_run some = capture_run([] {
        init_once();
        g_cycles_block_total[0] = 4000;
        n3d_rasterizer* r = n3d_rasterizer_find(80);
        r->profileblocks[0].sum = 1000;
        r->profileblocks[0].hits = 3;
        r->profileblocks[3].sum = 7;
        r->profileblocks[3].hits = 2;
        n3d_profile_print();
    });
    EXPECT_EQ(some.out, "total cycles: 4000.000000\n"
                        "[ 25.00%][hits:           3][cycles:         1000][<cycles>:       333.0][setup - "
                        "n3d_render_triangle_v8_argb1555_t0argb1555]\n"
                        "[  0.17%][hits:           2][cycles:            7][<cycles>:         3.0][inner_scanline - "
                        "n3d_render_triangle_v8_argb1555_t0argb1555]\n");

    // Counts beyond a float's 24 bits print exactly (a float makes 123456789
    // 123456792); only the percentage is rounded.
    captured_run large = capture_run([] {
        init_once();
        g_cycles_block_total[0] = 987654312;
        n3d_rasterizer* r = n3d_rasterizer_find(80);
        r->profileblocks[0].sum = 123456789;
        r->profileblocks[0].hits = 1;
        r->profileblocks[3].sum = 123456789;
        r->profileblocks[3].hits = 2;
        n3d_profile_print();
    });
    EXPECT_EQ(large.out, "total cycles: 987654312.000000\n"
                         "[ 12.50%][hits:           1][cycles:    123456789][<cycles>: 123456789.0][setup - "
                         "n3d_render_triangle_v8_argb1555_t0argb1555]\n"
                         "[ 12.50%][hits:           2][cycles:    123456789][<cycles>:  61728394.0][inner_scanline - "
                         "n3d_render_triangle_v8_argb1555_t0argb1555]\n");
}

TEST(N3dInit, ReciprocalByTable)
{
    init_once();
    EXPECT_FLOAT_EQ(n3d_reciprocal_lut(255.5f), 1.0f / 255.0f);
    EXPECT_FLOAT_EQ(n3d_reciprocal_lut(0.5f), 1.0f);
    EXPECT_FLOAT_EQ(n3d_reciprocal_lut(2.5f), 0.5f + (1.0f / 3.0f - 0.5f) * 0.5f);
    for (float bad : {256.0f, -0.25f, NAN}) {
        captured_run r = capture_run([bad] { (void)n3d_reciprocal_lut(bad); });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("must be >= 0 and < 256\n"), std::string::npos) << r.err;
    }
}

int inside(float x, float y, const float t[6])
{
    return n3d_is_inside_triangle_convention_topleft(x, y, t[0], t[1], t[2], t[3], t[4], t[5]);
}

TEST(N3dFillRule, CornerTriangleAndTheSquare)
{
    const float a[6] = {0, 0, 0, 4, 4, 0};
    const float swapped[6] = {0, 4, 0, 0, 4, 0};
    const float b[6] = {4, 0, 0, 4, 4, 4};
    EXPECT_LT(n3d_det2x2(a[0], a[1], a[2], a[3], a[4], a[5]), 0.0f);
    int count_sq[6][6] = {};
    for (int y = -1; y <= 5; y++)
        for (int x = -1; x <= 5; x++) {
            EXPECT_EQ(inside(x, y, a), x >= 0 && y >= 0 && x + y < 4) << x << "," << y;
            EXPECT_EQ(inside(x, y, swapped), 0) << x << "," << y;
            if (x >= 0 && y >= 0 && x <= 4 && y <= 4)
                count_sq[y][x] = inside(x, y, a) + inside(x, y, b);
            else
                EXPECT_EQ(inside(x, y, a) + inside(x, y, b), 0);
        }
    for (int y = 0; y <= 4; y++)
        for (int x = 0; x <= 4; x++)
            EXPECT_EQ(count_sq[y][x], (x < 4 && y < 4) ? 1 : 0) << x << "," << y;
}

TEST(N3dFillRule, BarycentricsRebuildTheVertexValues)
{
    float u, v;
    barycentric_coord(&u, &v, 4, 0, 0, 0, 4, 0, 0, 4);
    EXPECT_FLOAT_EQ(u, 1.0f);
    EXPECT_FLOAT_EQ(v, 0.0f);
    barycentric_coord(&u, &v, 1, 2, 0, 0, 4, 0, 0, 4);
    EXPECT_FLOAT_EQ(u, 0.25f);
    EXPECT_FLOAT_EQ(v, 0.5f);
    EXPECT_FLOAT_EQ(barycentric_value(u, v, 10, 20, 30), 10 + 10 * 0.25f + 20 * 0.5f);
}

TEST(N3dInit, ReciprocalTableReport)
{
    captured_run r = capture_run([] { n3d_lut_find_scale2(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("N3D_FIXED_IIW_LUT_SIZE == 32 (#table entries)\n"
                          "N3D_FIXPT_IIW_LUT_F == 16 (#bits per entry, fixed point range 0 to 1 exclusive\n"
                          "enumerate all possible N3D_FIXPT_IIW_LUT_F_SCALE2_BITS (scale_bits)\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX 3\n"), std::string::npos);
    // First entries with 0 to 4 free bits: 65535 at 1, 21845 at 3, 13107 at 5, 7282 at 9, 3855 at 17.
    EXPECT_NE(
        r.out.find("\tlut[001] 65535 free bits: 00 (irrelevant bits: 16) bin: 00000000000000001111111111111111\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find("\tlut[003] 21845 free bits: 01 (irrelevant bits: 16) bin: 00000000000000000101010101010101\n"),
        std::string::npos);
    EXPECT_NE(r.out.find("\tlut[017] 03855 free bits: 04"), std::string::npos);
    EXPECT_EQ(r.out.find("free bits: 05"), std::string::npos);
    EXPECT_NE(r.out.find("scale_bits: 0 at index>=001; max_rerr: "), std::string::npos);
    EXPECT_NE(r.out.find("scale_bits: 4 at index>=017; max_rerr: "), std::string::npos);
}

}  // namespace
