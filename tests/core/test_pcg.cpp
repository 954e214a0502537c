// PCG32: the published outputs, bounded draws and the float draw's bit construction.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "core/pcg_basic.h"

TEST(Pcg32, PublishedOutputsForSeed42Stream54)
{
    pcg32_random_t rng;
    pcg32_srandom_r(&rng, 42u, 54u);
    const uint32_t want[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u, 0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
    for (uint32_t w : want)
        EXPECT_EQ(pcg32_random_r(&rng), w);
}

TEST(Pcg32, GlobalGeneratorStartsFromTheStandardValueAndSeeds)
{
    // The standard initial value, stepped by an independent 64-bit LCG and XSH RR.
    uint64_t state = 0x853c49e6748fea9bULL;
    const uint64_t inc = 0xda3e39cb94b95bdbULL;
    pcg32_random_t local = PCG32_INITIALIZER;
    EXPECT_EQ(pcg32_global.state, state);
    EXPECT_EQ(pcg32_global.inc, inc);
    for (int i = 0; i < 1000; i++) {
        uint32_t want = std::rotr(static_cast<uint32_t>(((state >> 18) ^ state) >> 27), static_cast<int>(state >> 59));
        state = state * 6364136223846793005ULL + inc;
        ASSERT_EQ(pcg32_random_r(&local), want) << i;
    }
    pcg32_srandom(42u, 54u);
    EXPECT_EQ(pcg32_random(), 0xa15c02b7u);
    EXPECT_EQ(pcg32_boundedrand(1u), 0u);
}

TEST(Pcg32, BoundedDrawsRejectTheBiasedLowValues)
{
    const uint32_t bounds[] = {1u, 2u, 3u, 7u, 1000u, 0x80000001u, 0xFFFFFFFFu};
    for (uint32_t bound : bounds) {
        pcg32_random_t a, b;
        pcg32_srandom_r(&a, 7u, bound);
        b = a;
        const uint32_t threshold = static_cast<uint32_t>((0x100000000ULL - bound) % bound);
        for (int i = 0; i < 2000; i++) {
            uint32_t r;
            do
                r = pcg32_random_r(&b);
            while (r < threshold);
            uint32_t got = pcg32_boundedrand_r(&a, bound);
            ASSERT_EQ(got, r % bound) << bound;
            ASSERT_LT(got, bound);
        }
    }
    // The residues come out equally often.
    pcg32_random_t c;
    pcg32_srandom_r(&c, 1u, 2u);
    int counts[7] = {};
    for (int i = 0; i < 70000; i++)
        counts[pcg32_boundedrand_r(&c, 7u)]++;
    for (int n : counts)
        EXPECT_NEAR(n, 10000, 500);
    // Nothing to draw from: 0, and the generator does not loop.
    EXPECT_EQ(pcg32_boundedrand_r(&c, 0u), 0u);
}

// A state whose first output is `out` with rotation 0: solves
// bits 27..58 of (x ^ x >> 18) = out from the top bit down.
static uint64_t state_for_output(uint32_t out)
{
    const uint64_t y = static_cast<uint64_t>(out) << 27;
    uint64_t x = 0;
    for (int i = 63; i >= 0; i--) {
        uint64_t above = i + 18 < 64 ? (x >> (i + 18)) & 1u : 0u;
        x |= (((y >> i) & 1u) ^ above) << i;
    }
    return x;
}

TEST(Pcg32, RandfTakesTheLow23BitsAsMantissa)
{
    struct {
        uint32_t draw;
        float want;
    } rows[] = {
        {0x00000000u, 0.0f},
        {0xFF800000u, 0.0f},  // only the low 23 bits count
        {0x007FFFFFu, 1.0f - std::ldexp(1.0f, -23)},
        {0xFFFFFFFFu, 1.0f - std::ldexp(1.0f, -23)},
        {0x00400000u, 0.5f},
        {0x00000001u, std::ldexp(1.0f, -23)},
    };
    for (const auto& r : rows) {
        pcg32_random_t rng = {state_for_output(r.draw), 1u};
        pcg32_random_t probe = rng;
        ASSERT_EQ(pcg32_random_r(&probe), r.draw);  // the fixture really yields that draw
        EXPECT_EQ(n3d_randf(&rng), r.want) << std::hex << r.draw;
    }
    // On ordinary draws the float is the mantissa over 2^23, always in [0, 1).
    pcg32_random_t a = PCG32_INITIALIZER, b = a;
    for (int i = 0; i < 10000; i++) {
        float f = n3d_randf(&a);
        uint32_t d = pcg32_random_r(&b);
        ASSERT_EQ(f, static_cast<float>(d & 0x7FFFFFu) / 8388608.0f);
        ASSERT_GE(f, 0.0f);
        ASSERT_LT(f, 1.0f);
    }
}
