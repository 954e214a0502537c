// Registry records and edge-stepping arithmetic: registration order and the
// duplicate crash, exact-flag lookup, floor division and modulo over the whole
// int range against 64-bit floor arithmetic.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>

#include "raster/n3d_raster.h"
#include "support/capture.h"

namespace {

int fake_draw(n3d_rasterizer_args*) { return 1; }
void fake_init(n3d_rasterizer* r)
{
    r->profileblocks_count = 1;
    r->name_per_profileblock[0] = "setup";
}

void reset_registry()
{
    for (auto& r : g_n3d_rasterizers)
        r = n3d_rasterizer{};
    g_n3d_rasterizers_count = 0;
}

TEST(RasterRegistry, RegistersInOrderAndFindsByExactFlags)
{
    reset_registry();
    n3d_rasterizer_register("a", 2, fake_draw, fake_init, 80, "f", 1);
    n3d_rasterizer_register("b", 4, fake_draw, fake_init, 81, "f", 2);
    ASSERT_EQ(g_n3d_rasterizers_count, 2);
    EXPECT_STREQ(g_n3d_rasterizers[0].name, "a");
    EXPECT_EQ(g_n3d_rasterizers[1].ps_count, 4);
    EXPECT_EQ(g_n3d_rasterizers[1].profileblocks_count, 1);  // init ran on the entry
    EXPECT_EQ(n3d_rasterizer_find(81), &g_n3d_rasterizers[1]);
    EXPECT_EQ(n3d_rasterizer_find(80 | 1 | 2), nullptr);  // no partial or best match
    EXPECT_EQ(n3d_rasterizer_find(0), nullptr);
    reset_registry();
}

TEST(RasterRegistry, DuplicateFlagsStopWithTheSecondPlace)
{
    captured_run r = capture_run([] {
        reset_registry();
        n3d_rasterizer_register("a", 2, fake_draw, fake_init, 80, "src/x", 27);
        n3d_rasterizer_register("b", 2, fake_draw, fake_init, 80, "src/y", 52);
    });
    EXPECT_EQ(r.exited, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("a rasterizer with these flags were already regisered! flags: 80 (this one was at: src/y:52)\n"),
        std::string::npos)
        << r.err;
}

TEST(RasterArith, FloorDivAndModTable)
{
    struct {
        int a, b, q, m;
    } cases[] = {
        {-7, 2, -4, 1},
        {-6, 2, -3, 0},
        {7, 2, 3, 1},
        {0, 5, 0, 0},
        {-1, 1024, -1, 1023},
        {INT_MIN, 1, INT_MIN, 0},
        {INT_MIN, 3, -715827883, 1},
        {INT_MAX, 2, 1073741823, 1},
        {INT_MIN, -1, INT_MIN, 0},  // the one quotient out of range wraps
    };
    for (auto& c : cases) {
        EXPECT_EQ(mfloordiv(c.a, c.b), c.q) << c.a << " / " << c.b;
        EXPECT_EQ(mmod(c.a, c.b), c.m) << c.a << " % " << c.b;
    }
}

TEST(RasterArith, FloorDivAndModMatchFloorOverRandomPositiveDivisors)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; i++) {
        int a = static_cast<int>(rng());
        int b = static_cast<int>(rng() % 100000) + 1;
        int64_t q = a >= 0 ? (int64_t)a / b : -(((int64_t)-a + b - 1) / b);
        int64_t m = (int64_t)a - q * b;
        ASSERT_EQ(mfloordiv(a, b), q) << a << " " << b;
        ASSERT_EQ(mmod(a, b), m) << a << " " << b;
        ASSERT_GE(m, 0);
        ASSERT_LT(m, b);
    }
}

TEST(RasterArith, ZeroDivisorStops)
{
    captured_run r = capture_run([] { (void)mfloordiv(1, 0); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("A oh dear!\n"), std::string::npos);
    r = capture_run([] { (void)mmod(1, 0); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("B oh dear!\n"), std::string::npos);
}

}  // namespace
