// The PCG32 random generator (64-bit state, XSH RR output) and the uniform float
// draw built on it. The benchmark and the starfield keep their own generators;
// pcg32_global serves the convenience calls. No allocation; a generator belongs
// to the thread that steps it (all callers run on the main thread). Nothing fails.
#pragma once

#include <cstdint>
#include <cstring>

struct pcg32_random_t {
    uint64_t state;  // all 2^64 values are reachable
    uint64_t inc;    // stream selector, always odd
};

// The standard initial value of a generator.
#define PCG32_INITIALIZER                            \
    {                                                \
        0x853c49e6748fea9bULL, 0xda3e39cb94b95bdbULL \
    }

extern pcg32_random_t pcg32_global;

// Next 32-bit value: one LCG step, output from the old state by xorshift and a
// data-dependent rotation.
inline uint32_t pcg32_random_r(pcg32_random_t* rng)
{
    uint64_t old = rng->state;
    rng->state = old * 6364136223846793005ULL + rng->inc;
    uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
    uint32_t rot = static_cast<uint32_t>(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

// Seeds from a start state and a stream number (inc = initseq << 1 | 1).
void pcg32_srandom_r(pcg32_random_t* rng, uint64_t initstate, uint64_t initseq);
// Uniform in [0, bound) without modulo bias. Bound 0 gives 0 (nothing to draw from).
uint32_t pcg32_boundedrand_r(pcg32_random_t* rng, uint32_t bound);

// The same on pcg32_global.
void pcg32_srandom(uint64_t initstate, uint64_t initseq);
uint32_t pcg32_random();
uint32_t pcg32_boundedrand(uint32_t bound);

// Uniform float in [0, 1): the low 23 bits of one draw become the mantissa of a
// float with the exponent of 1.0, then 1.0 is subtracted (steps of 2^-23).
inline float n3d_randf(pcg32_random_t* rng)
{
    uint32_t bits = (pcg32_random_r(rng) & 0x007FFFFFu) | 0x3F800000u;
    float f;
    memcpy(&f, &bits, sizeof f);
    return f - 1.0f;
}
