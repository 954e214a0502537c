// Test support: an arena over a zeroed heap block that lives as long as the
// fixture. Each test program picks its default capacity once, e.g.
//   using test_arena = qf_test_arena<8u << 20>;
#pragma once

#include <cstdint>
#include <vector>

#include "core/memarena.h"

template <uint64_t DefaultSize>
struct qf_test_arena {
    std::vector<uint8_t> block;
    memarena arena;
    explicit qf_test_arena(uint64_t size = DefaultSize) : block(size)
    {
        memarena_init(&arena, "test", size, block.data());
    }
};
