#include "core/pcg_basic.h"

pcg32_random_t pcg32_global = PCG32_INITIALIZER;

void pcg32_srandom_r(pcg32_random_t* rng, uint64_t initstate, uint64_t initseq)
{
    rng->state = 0u;
    rng->inc = (initseq << 1u) | 1u;
    pcg32_random_r(rng);
    rng->state += initstate;
    pcg32_random_r(rng);
}

uint32_t pcg32_boundedrand_r(pcg32_random_t* rng, uint32_t bound)
{
    if (bound == 0)
        return 0;
    // (2^32 - bound) mod bound: values below it would make the low residues
    // more likely, so they are drawn again.
    uint32_t threshold = (0u - bound) % bound;
    for (;;) {
        uint32_t r = pcg32_random_r(rng);
        if (r >= threshold)
            return r % bound;
    }
}

void pcg32_srandom(uint64_t initstate, uint64_t initseq) { pcg32_srandom_r(&pcg32_global, initstate, initseq); }
uint32_t pcg32_random() { return pcg32_random_r(&pcg32_global); }
uint32_t pcg32_boundedrand(uint32_t bound) { return pcg32_boundedrand_r(&pcg32_global, bound); }
