// Saturating conversions and the one clamp of the system: a float turned into an
// integer within bounds the caller gives (NaN gives the caller's value), a wide sum
// kept inside the int range, and a clamp for any ordered type. Every float-to-int
// step that may meet NaN, infinities or far-off values goes through here, because
// converting an out-of-range float is undefined. Header only, no memory, any thread.
#pragma once

#include <cstdint>

// x limited to [lo, hi]. For floats a NaN x comes back unchanged.
template <typename T>
constexpr T sat_clamp(T x, T lo, T hi)
{
    return x < lo ? lo : (x > hi ? hi : x);
}

// f truncated toward zero into [lo, hi]: NaN gives nan_value, f at or below lo
// gives lo, f at or above hi gives hi. The bounds are compared as floats, so the
// conversion that remains is always defined.
template <typename I>
constexpr I sat_float_to_int(float f, I lo, I hi, I nan_value)
{
    if (f != f)
        return nan_value;
    if (f <= static_cast<float>(lo))
        return lo;
    if (f >= static_cast<float>(hi))
        return hi;
    return static_cast<I>(f);
}

// A 64-bit value (a sum of int positions, offsets or sizes) kept inside the int range.
constexpr int sat_int64_to_int(int64_t v) { return static_cast<int>(sat_clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }
