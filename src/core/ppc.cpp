// The instruction equivalents are all inline in core/ppc.h; this unit checks at
// build time the values the rasterizers' bit-field code relies on.
#include "core/ppc.h"

static_assert(ppc_mask(0, 31) == 0xFFFFFFFFu);
static_assert(ppc_mask(16, 31) == 0x0000FFFFu);
static_assert(ppc_mask(31, 0) == 0x80000001u);
static_assert(ppc_rlwimi(0xFFFFFFFFu, 1u, 4u, 24, 27) == 0xFFFFFF1Fu);
static_assert(ppc_cntlze(0) == 32);
static_assert(ppc_ceil_ilog2(0x80000001u) == 32);
