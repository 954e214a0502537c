// Saturating float-to-int conversion and the clamp, against a reference computed
// in double precision (truncation, then the bounds) for inputs at and around every
// bound, NaN and both infinities, with the bounds the system's callers use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/saturate.h"

namespace {

// In double precision every int32 and uint32 bound is exact, so the reference
// needs no float comparison at all.
template <typename I>
I reference(float f, I lo, I hi, I nan_value)
{
    if (std::isnan(f))
        return nan_value;
    double t = std::trunc((double)f);
    if (t <= (double)lo)
        return lo;
    if (t >= (double)hi)
        return hi;
    return (I)t;
}

std::vector<float> probes(double lo, double hi)
{
    std::vector<float> v = {0.0f,
                            -0.0f,
                            0.5f,
                            -0.5f,
                            0.99999994f,
                            -0.99999994f,
                            1.0f,
                            -1.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min()};
    for (double b : {lo, hi})
        for (double d : {-1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5}) {
            float f = (float)(b + d);
            v.push_back(f);
            v.push_back(std::nextafterf(f, INFINITY));
            v.push_back(std::nextafterf(f, -INFINITY));
        }
    return v;
}

TEST(Saturate, FloatToIntMatchesTheDoubleReference)
{
    const struct {
        const char* caller;
        int lo, hi, nan_value;
    } int_bounds[] = {
        {"positions of the scaled blit", -1073741824, 1073741824, 0},
        {"overlay scene positions", INT32_MIN, INT32_MAX, 0},
        {"colour bytes", 0, 255, 0},
        {"5-bit channels", 0, 31, 0},
        {"alpha bit", 0, 1, 0},
    };
    for (const auto& b : int_bounds)
        for (float f : probes(b.lo, b.hi))
            EXPECT_EQ(sat_float_to_int(f, b.lo, b.hi, b.nan_value), reference(f, b.lo, b.hi, b.nan_value))
                << b.caller << " f=" << f;
    for (float f : probes(0.0, 4294967295.0))
        EXPECT_EQ(sat_float_to_int(f, 0u, 0xFFFFFFFFu, 0u), reference(f, 0u, 0xFFFFFFFFu, 0u)) << "f=" << f;
    // A chosen NaN result.
    EXPECT_EQ(sat_float_to_int(std::numeric_limits<float>::quiet_NaN(), 3, 9, 7), 7);
}

TEST(Saturate, Int64SumsAndTheClamp)
{
    const struct {
        int64_t v;
        int want;
    } sums[] = {
        {0, 0},
        {-1, -1},
        {INT32_MAX, INT32_MAX},
        {(int64_t)INT32_MAX + 1, INT32_MAX},
        {INT32_MIN, INT32_MIN},
        {(int64_t)INT32_MIN - 1, INT32_MIN},
        {INT64_MAX, INT32_MAX},
        {INT64_MIN, INT32_MIN},
    };
    for (const auto& c : sums)
        EXPECT_EQ(sat_int64_to_int(c.v), c.want) << c.v;
    EXPECT_EQ(sat_clamp(-0.25f, 0.0f, 1.0f), 0.0f);
    EXPECT_EQ(sat_clamp(1.5f, 0.0f, 1.0f), 1.0f);
    EXPECT_EQ(sat_clamp(0.75f, 0.0f, 1.0f), 0.75f);
    EXPECT_EQ(sat_clamp(-INFINITY, 0.0f, 255.0f), 0.0f);
    EXPECT_EQ(sat_clamp(300, 0, 255), 255);
    // NaN passes through: callers that must not see it convert with sat_float_to_int.
    EXPECT_TRUE(std::isnan(sat_clamp(NAN, 0.0f, 1.0f)));
}

}  // namespace
