// Instruction equivalents: the edge values the renderer relies on, and agreement
// with the standard library on random inputs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>

#include "core/ppc.h"

// MASK(mb, me) built bit by bit in the target's numbering (bit 0 = MSB).
static uint32_t reference_mask(int mb, int me)
{
    uint32_t m = 0;
    for (int i = mb;; i = (i + 1) & 31) {
        m |= 0x80000000u >> i;
        if (i == me)
            break;
    }
    return m;
}

TEST(PpcEquivalents, EdgeValues)
{
    struct {
        uint32_t got, want;
        const char* why;
    } rows[] = {
        {ppc_mask(0, 31), 0xFFFFFFFFu, "full mask"},
        {ppc_mask(16, 31), 0x0000FFFFu, "low half"},
        {ppc_mask(5, 5), 0x04000000u, "single bit 5"},
        {ppc_mask(31, 0), 0x80000001u, "wrap-around mask: MSB and LSB"},
        {ppc_mask(0, 0), 0x80000000u, "bit 0 is the most significant"},
        {ppc_mask(31, 31), 0x00000001u, "bit 31 is the least significant"},
        {ppc_mask(1, 0), 0xFFFFFFFFu, "wrap-around covering every bit"},
        {ppc_rlwinm(0xAB123456u, 8, 24, 31), 0x000000ABu, "top byte to the low byte"},
        {ppc_rlwimi(0xFFFFFFFFu, 0x00000001u, 4, 24, 27), 0xFFFFFF1Fu, "insert under 0x000000F0"},
        {ppc_rlwnm(0x80000001u, 33, 0, 31), 0x00000003u, "rotation count modulo 32"},
        {ppc_rotl32(0x12345678u, 0), 0x12345678u, "rotate by 0"},
        {ppc_rotl32(0x12345678u, 32), 0x12345678u, "rotate by 32 is by 0"},
        {static_cast<uint32_t>(ppc_cntlze(0)), 32u, "clz of 0 is 32"},
        {static_cast<uint32_t>(ppc_cntlze(1)), 31u, ""},
        {static_cast<uint32_t>(ppc_cntlze(0x80000000u)), 0u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(1)), 0u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(2)), 1u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(3)), 2u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(4)), 2u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(256)), 8u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(257)), 9u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(0x80000000u)), 31u, ""},
        {static_cast<uint32_t>(ppc_ceil_ilog2(0x80000001u)), 32u, "above 2^31"},
        {static_cast<uint32_t>(ppc_ceil_ilog2(0xFFFFFFFFu)), 32u, ""},
        {static_cast<uint32_t>(ppc_round_float_to_int(2.5f)), 3u, "half away from zero"},
        {static_cast<uint32_t>(ppc_round_float_to_int(-2.5f)), static_cast<uint32_t>(-3), "half away from zero"},
        {static_cast<uint32_t>(ppc_round_float_to_int(2.4999f)), 2u, ""},
        {static_cast<uint32_t>(ppc_round_float_to_int(0.49999997f)), 0u, "largest float below 0.5"},
        {static_cast<uint32_t>(ppc_round_float_to_int(8388609.0f)), 8388609u, "odd integer beyond 2^23"},
        {static_cast<uint32_t>(ppc_round_float_to_int(3e9f)), 0x7FFFFFFFu, "saturates"},
        {static_cast<uint32_t>(ppc_round_float_to_int(-3e9f)), 0x80000000u, "saturates"},
        {static_cast<uint32_t>(ppc_round_float_to_int(NAN)), 0x80000000u, "NaN as the target converts it"},
        {static_cast<uint32_t>(ppc_mullw(0x10000, 0x10000)), 0u, "wraps"},
        {static_cast<uint32_t>(ppc_mullw(-3, 5)), static_cast<uint32_t>(-15), ""},
        {static_cast<uint32_t>(ppc_mullw(0x7FFFFFFF, 2)), 0xFFFFFFFEu, "no signed overflow"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.got, r.want) << r.why;
}

TEST(PpcEquivalents, MasksAgainstBitByBitReference)
{
    for (int mb = 0; mb < 32; mb++)
        for (int me = 0; me < 32; me++)
            ASSERT_EQ(ppc_mask(mb, me), reference_mask(mb, me)) << mb << " " << me;
}

TEST(PpcEquivalents, RandomInputsAgainstStandardLibrary)
{
    std::mt19937 gen(1234);
    for (int i = 0; i < 200000; i++) {
        uint32_t x = gen(), y = gen() & 63u;  // counts beyond 31 exercise the modulo
        int mb = static_cast<int>(gen() & 31u), me = static_cast<int>(gen() & 31u);
        uint32_t ra = gen();
        // Random widths so small values and every leading-zero count appear.
        uint32_t s = x >> (gen() & 31u);
        ASSERT_EQ(ppc_rotl32(x, y), std::rotl(x, static_cast<int>(y & 31u)));
        ASSERT_EQ(ppc_cntlze(s), std::countl_zero(s));
        if (s) {
            ASSERT_EQ(ppc_ceil_ilog2(s), static_cast<int>(std::bit_width(s - 1u))) << s;
        }
        uint32_t m = reference_mask(mb, me);
        ASSERT_EQ(ppc_rlwinm(x, y, mb, me), std::rotl(x, static_cast<int>(y & 31u)) & m);
        ASSERT_EQ(ppc_rlwnm(x, y, mb, me), std::rotl(x, static_cast<int>(y & 31u)) & m);
        ASSERT_EQ(ppc_rlwimi(ra, x, y, mb, me), (std::rotl(x, static_cast<int>(y & 31u)) & m) | (ra & ~m));
        int a = static_cast<int>(gen()), b = static_cast<int>(gen());
        ASSERT_EQ(ppc_mullw(a, b), static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(a) * b)));
    }
}

TEST(PpcEquivalents, RoundingAgainstLround)
{
    std::mt19937 gen(99);
    std::uniform_real_distribution<float> wide(-2.0e9f, 2.0e9f), narrow(-1000.0f, 1000.0f);
    for (int i = 0; i < 200000; i++) {
        float f = (i & 1) ? wide(gen) : narrow(gen);
        if (i % 5 == 0)
            f = std::floor(f) + 0.5f;  // exact halves
        ASSERT_EQ(ppc_round_float_to_int(f), static_cast<int>(std::lround(f))) << f;
        ASSERT_EQ(ppc_roundf(f), static_cast<float>(std::lround(f))) << f;
    }
}

// The estimates are the correctly rounded quotients: each expected bit pattern
// is the float nearest to the exact value, worked out in exact rational
// arithmetic (and 80-digit decimals for the square root) outside this program.
TEST(PpcEquivalents, EstimatesAreExact)
{
    const struct {
        uint32_t x, reciprocal, scaled_8192, rsqrt;
    } rows[] = {
        {0x3F800000u, 0x3F800000u, 0x46000000u, 0x3F800000u},  // 1: 1, 8192, 1
        {0x40000000u, 0x3F000000u, 0x45800000u, 0x3F3504F3u},  // 2: 0.5, 4096, 0.70710677
        {0x40400000u, 0x3EAAAAABu, 0x452AAAABu, 0x3F13CD3Au},  // 3: 0.33333334, 2730.6667, 0.57735026
        {0x3A83126Fu, 0x4479FFFFu, 0x4AF9FFFFu, 0x41FCFB72u},  // 0.001: 999.99994, 8191999.5, 31.622776
        {0x4640E6B6u, 0x38A9DE8Cu, 0x3F29DE8Cu, 0x3C1374BDu},  // 12345.678: 8.1000006e-05, 0.66355205, 0.0090000005
        {0x0DA24260u, 0x7149F2CAu, 0x77C9F2CAu, 0x58635FA9u},  // 1e-30: 1e30, 8.192e33, 1e15
    };
    for (const auto& r : rows) {
        const float x = std::bit_cast<float>(r.x);
        SCOPED_TRACE(x);
        EXPECT_EQ(std::bit_cast<uint32_t>(ppc_fast_reciprocal_positive(x)), r.reciprocal);
        EXPECT_EQ(std::bit_cast<uint32_t>(ppc_fast_reciprocal_positive_scaled(8192.0f, x)), r.scaled_8192);
        EXPECT_EQ(std::bit_cast<uint32_t>(ppc_frsqrte(x)), r.rsqrt);
    }
}

TEST(PpcEquivalents, CacheBlockZeroClearsTheBlockOfTheAddress)
{
    alignas(32) uint8_t buf[128];
    struct {
        int base, offset, first;  // base offset into buf (32-aligned), offset, first byte cleared
    } rows[] = {
        {0, 33, 32},  // offset inside the second block
        {32, -1, 0},  // one byte back is the previous block
        {0, 0, 0},
        {64, 31, 64},  // last byte of the block
    };
    for (const auto& r : rows) {
        memset(buf, 0xEE, sizeof buf);
        ppc_dcbz_offset(buf + r.base, r.offset);
        for (int i = 0; i < 128; i++)
            ASSERT_EQ(buf[i], (i >= r.first && i < r.first + 32) ? 0 : 0xEE) << r.base << " " << r.offset << " " << i;
    }
}
