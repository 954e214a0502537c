// Equivalents of the target processor's instructions, so the renderer, the
// rasterizers and the effects map one to one onto it: rotate-and-mask bit fields
// (bit 0 is the most significant), wrapping products, reciprocal estimates,
// count leading zeros, cache-block zeroing. All inline; no state, no allocation,
// any thread. Nothing fails: every input is defined (no shift by 32, no overflow).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// Zeroes the 32-byte block holding the address base + offset (the address
// rounded down to a multiple of 32), as the cache-block zero instruction does.
inline void ppc_dcbz_offset(void* base, int offset)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(static_cast<intptr_t>(offset));
    a &= ~static_cast<uintptr_t>(31);
    memset(reinterpret_cast<void*>(a), 0, 32);
}

// Low 32 bits of the product, wrapping.
inline int ppc_mullw(int a, int b) { return static_cast<int>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }

// The estimates give the exact quotient on this machine.
inline float ppc_fast_reciprocal_positive(float x) { return 1.0f / x; }
inline float ppc_fast_reciprocal_positive_scaled(float scale, float x) { return scale / x; }
// 1 / sqrt(x) computed in double, returned as float.
inline float ppc_frsqrte(float x) { return static_cast<float>(1.0 / std::sqrt(static_cast<double>(x))); }

// Leading zero bits; 32 for 0.
inline constexpr int ppc_cntlze(uint32_t x) { return x == 0 ? 32 : __builtin_clz(x); }

// Nearest integer, halves away from zero. Values beyond the int range saturate
// and NaN gives INT32_MIN, as the target's float-to-int conversion does.
inline int ppc_round_float_to_int(float x)
{
    if (!(x > -2147483648.0f))
        return INT32_MIN;
    if (x >= 2147483648.0f)
        return INT32_MAX;
    int i = static_cast<int>(x);             // truncates toward zero, in range here
    float frac = x - static_cast<float>(i);  // exact: the fraction of a float is a float
    if (frac >= 0.5f && i < INT32_MAX)
        i += 1;
    else if (frac <= -0.5f && i > INT32_MIN)
        i -= 1;
    return i;
}

// Nearest integer, halves away from zero, as float.
inline float ppc_roundf(float x) { return std::round(x); }

// Smallest n with 2^n >= x. Defined as 0 for x = 0, which no caller passes
// (every caller gives a size of at least 1).
inline constexpr int ppc_ceil_ilog2(uint32_t x) { return x <= 1 ? 0 : 32 - ppc_cntlze(x - 1u); }

// MASK(mb, me): ones from bit mb to bit me inclusive, wrapping past bit 31 when
// mb > me. Only the low 5 bits of mb and me count.
inline constexpr uint32_t ppc_mask(int mb, int me)
{
    const uint32_t ones = 0xFFFFFFFFu;
    uint32_t b = static_cast<uint32_t>(mb) & 31u, e = static_cast<uint32_t>(me) & 31u;
    return b <= e ? (ones >> b) & (ones << (31u - e)) : (ones >> b) | (ones << (31u - e));
}

// x rotated left by y modulo 32.
inline constexpr uint32_t ppc_rotl32(uint32_t x, uint32_t y)
{
    y &= 31u;
    return (x << y) | (x >> ((32u - y) & 31u));
}

// Rotate left word immediate then AND with mask.
inline constexpr uint32_t ppc_rlwinm(uint32_t rs, uint32_t sh, int mb, int me)
{
    return ppc_rotl32(rs, sh) & ppc_mask(mb, me);
}

// The same with the rotation count in a register.
inline constexpr uint32_t ppc_rlwnm(uint32_t rs, uint32_t rb, int mb, int me)
{
    return ppc_rotl32(rs, rb) & ppc_mask(mb, me);
}

// Rotate left word immediate then mask insert: the rotated rs replaces the bits
// of ra under the mask.
inline constexpr uint32_t ppc_rlwimi(uint32_t ra, uint32_t rs, uint32_t sh, int mb, int me)
{
    uint32_t m = ppc_mask(mb, me);
    return (ppc_rotl32(rs, sh) & m) | (ra & ~m);
}
