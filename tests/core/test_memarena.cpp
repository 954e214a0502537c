// Arenas: every push form against a table of sizes, alignments, pads, exact
// fits and overflows; markers, rewinds, sub-arenas, the pop guard and the print
// line. Fatal rows run in a child and check both streams and the exit status.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "core/memarena.h"
#include "support/capture.h"
#include "support/crash_site.h"

namespace {

// The header of an arena crash in func: the Linux build names the old source
// path, the Windows build the function and the full path of the arena's source.
std::string arena_crash_header(const char* func)
{
#if defined(_WIN32)
    return std::string("^crash in ") + func + " at " + crash_regex_escape(QF_SOURCE_DIR) +
           "/src/core/memarena\\.cpp:[0-9]+\n";
#else
    (void)func;
    return "^crash in  at src/memarena:[0-9]+\n";
#endif
}

// An aligned push whose pad would wrap fails in the aligned push itself.
const std::regex OOM_HEADER(arena_crash_header("xmemarena_push(_align|_align_pad)?") + "arena is out of mem\n$");

std::string oom_line(const char* name, uint64_t cap, uint64_t needed, uint64_t tried)
{
    return std::string("arena: ") + name + " is out of mem, capacity is " + std::to_string(cap) + " but needed " +
           std::to_string(needed) + " tried alloc " + std::to_string(tried) + "\n";
}

enum push_op {
    PUSH,
    PUSH_ZEROED,
    PUSH_ALIGN,
    PUSH_ALIGN_PAD,
    PUSH_ARRAY_U32,
    PUSH_ARRAY_U32_ALIGN,
    PUSH_ARRAY_U32_ALIGN_ZEROED
};

struct push_case {
    const char* why;
    uint64_t cap;
    uint64_t base_off;  // block base = a 64-aligned buffer + base_off; ~0 for a null block
    uint64_t sp0;
    push_op op;
    uint64_t size;  // bytes, or the element count for the PUSH_ARRAY_U32 forms
    uint64_t align;
    // Expected: fatal with needed/tried, or the result's offset from the base (-1: null) and sp.
    bool fatal;
    int64_t ret_off;
    uint64_t sp1;
    uint64_t needed;
    uint64_t tried;
};

const uint64_t NULL_BLOCK = ~0ull;
const uint64_t HUGE = ~0ull;
const uint64_t MINUS_16 = (uint64_t)(int64_t)-16;

const push_case PUSH_CASES[] = {
    // why, cap, base_off, sp0, op, size, align, fatal, ret_off, sp1, needed, tried
    {"push of 0 gives null", 64, 0, 5, PUSH, 0, 1, false, -1, 5, 0, 0},
    {"zeroed push of 0 gives null", 64, 0, 5, PUSH_ZEROED, 0, 1, false, -1, 5, 0, 0},
    {"aligned push of 0 consumes no pad", 64, 8, 0, PUSH_ALIGN, 0, 32, false, -1, 0, 0, 0},
    {"padded push of 0 gives null", 64, 8, 0, PUSH_ALIGN_PAD, 0, 32, false, -1, 0, 0, 0},
    {"plain push is unaligned", 64, 3, 1, PUSH, 10, 1, false, 1, 11, 0, 0},
    {"exact fit succeeds", 64, 0, 10, PUSH, 54, 1, false, 10, 64, 0, 0},
    {"overflow by one", 64, 0, 10, PUSH, 55, 1, true, 0, 0, 65, 55},
    {"full arena, one more byte", 64, 0, 64, PUSH, 1, 1, true, 0, 0, 65, 1},
    {"capacity 0 with a null block", 0, NULL_BLOCK, 0, PUSH, 1, 1, true, 0, 0, 1, 1},
    {"huge request does not wrap", 64, 0, 10, PUSH, HUGE, 1, true, 0, 0, HUGE, HUGE},
    {"negative size never moves back", 64, 0, 32, PUSH, MINUS_16, 1, true, 0, 0, HUGE, MINUS_16},
    {"sp above size after a rewind", 64, 0, 100, PUSH, 1, 1, true, 0, 0, 101, 1},
    {"zeroed push clears", 64, 0, 4, PUSH_ZEROED, 12, 1, false, 4, 16, 0, 0},
    {"zeroed push overflow", 64, 0, 4, PUSH_ZEROED, 61, 1, true, 0, 0, 65, 61},
    {"align 32 at 8 past a boundary pads 24", 128, 8, 0, PUSH_ALIGN, 10, 32, false, 24, 34, 0, 0},
    {"align of an aligned address pads 0", 128, 0, 32, PUSH_ALIGN, 10, 32, false, 32, 42, 0, 0},
    {"align 1 never pads", 128, 3, 5, PUSH_ALIGN, 7, 1, false, 5, 12, 0, 0},
    {"align counts the pad: exact fit", 64, 8, 0, PUSH_ALIGN, 40, 32, false, 24, 64, 0, 0},
    {"align counts the pad: over by one", 64, 8, 0, PUSH_ALIGN, 41, 32, true, 0, 0, 65, 65},
    {"align: size + pad would wrap", 64, 8, 0, PUSH_ALIGN, HUGE - 10, 32, true, 0, 0, HUGE, HUGE},
    {"pad 33 to 64 on an aligned base", 128, 0, 0, PUSH_ALIGN_PAD, 33, 32, false, 0, 64, 0, 0},
    {"pad 33 to 64 plus a pad of 24", 128, 8, 0, PUSH_ALIGN_PAD, 33, 32, false, 24, 88, 0, 0},
    {"pad of a multiple adds nothing", 128, 0, 0, PUSH_ALIGN_PAD, 64, 32, false, 0, 64, 0, 0},
    {"the round-up counts in the overflow test", 63, 0, 0, PUSH_ALIGN_PAD, 40, 32, true, 0, 0, 64, 64},
    {"round-up would wrap", 64, 0, 0, PUSH_ALIGN_PAD, HUGE - 3, 32, true, 0, 0, HUGE, HUGE},
    {"array of u32 is aligned for its type", 64, 1, 0, PUSH_ARRAY_U32, 3, 4, false, 3, 15, 0, 0},
    {"array count times size would wrap", 64, 0, 0, PUSH_ARRAY_U32, 1ull << 62, 4, true, 0, 0, HUGE, HUGE},
    {"negative array count", 64, 0, 0, PUSH_ARRAY_U32, (uint64_t)(int64_t)-1, 4, true, 0, 0, HUGE, HUGE},
    {"u32 array on a 64-byte line after an odd address", 128, 1, 0, PUSH_ARRAY_U32_ALIGN, 3, 64, false, 63, 75, 0, 0},
    {"an alignment below the type's gives the type's", 64, 1, 0, PUSH_ARRAY_U32_ALIGN, 3, 1, false, 3, 15, 0, 0},
    {"aligned array counts the pad: over by three", 64, 1, 0, PUSH_ARRAY_U32_ALIGN, 1, 64, true, 0, 0, 67, 67},
    {"aligned array count times size would wrap", 64, 0, 0, PUSH_ARRAY_U32_ALIGN, 1ull << 62, 64, true, 0, 0, HUGE,
     HUGE},
    {"zeroed aligned array clears its elements", 128, 1, 2, PUSH_ARRAY_U32_ALIGN_ZEROED, 5, 16, false, 15, 35, 0, 0},
};

alignas(64) uint8_t g_block[256];

void* run_push(memarena* a, const push_case& c)
{
    switch (c.op) {
    case PUSH:
        return memarena_push(a, c.size);
    case PUSH_ZEROED:
        return memarena_push_zeroed(a, c.size);
    case PUSH_ALIGN:
        return memarena_push_align(a, c.size, c.align);
    case PUSH_ALIGN_PAD:
        return memarena_push_align_pad(a, c.size, c.align);
    case PUSH_ARRAY_U32:
        return memarena_push_array<uint32_t>(a, c.size);
    case PUSH_ARRAY_U32_ALIGN:
        return memarena_push_array_align<uint32_t>(a, c.size, c.align);
    case PUSH_ARRAY_U32_ALIGN_ZEROED:
        return memarena_push_array_align_zeroed<uint32_t>(a, c.size, c.align);
    }
    return nullptr;
}

}  // namespace

TEST(Memarena, PushTable)
{
    for (const push_case& c : PUSH_CASES) {
        SCOPED_TRACE(c.why);
        uint8_t* base = c.base_off == NULL_BLOCK ? nullptr : g_block + c.base_off;
        memset(g_block, 0xAA, sizeof g_block);
        memarena a;
        memarena_init(&a, "t", c.cap, base);
        a.sp = c.sp0;
        if (c.fatal) {
            captured_run r = capture_run([&] { run_push(&a, c); });
            EXPECT_TRUE(r.exited);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, oom_line("t", c.cap, c.needed, c.tried));
            EXPECT_TRUE(std::regex_match(r.err, OOM_HEADER)) << r.err;
            continue;
        }
        uint8_t* p = static_cast<uint8_t*>(run_push(&a, c));
        uint8_t* want_p = c.ret_off < 0 ? nullptr : base + c.ret_off;
        EXPECT_EQ(p, want_p);
        EXPECT_EQ(a.sp, c.sp1);
        if (p) {
            // Only the zeroed forms clear, and exactly the elements; the others
            // hand out the bytes as they were.
            const uint64_t bytes = c.op >= PUSH_ARRAY_U32 ? c.size * 4 : c.size;
            uint8_t want = c.op == PUSH_ZEROED || c.op == PUSH_ARRAY_U32_ALIGN_ZEROED ? 0 : 0xAA;
            for (uint64_t i = 0; i < bytes; ++i)
                ASSERT_EQ(p[i], want) << "byte " << i;
            if (c.op == PUSH_ARRAY_U32_ALIGN_ZEROED) {
                EXPECT_EQ(p[bytes], 0xAA) << "the byte after the elements";
            }
        }
        if (p) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.align, 0u);
        }
    }
}

TEST(Memarena, InitZeroesTheRecordAndAcceptsAnEmptyNullArena)
{
    memarena a;
    memset(&a, 0x5A, sizeof a);
    memarena_init(&a, "empty", 0, nullptr);
    EXPECT_EQ(a.index, 0);
    EXPECT_EQ(a.flag, 0);
    EXPECT_EQ(a.sp, 0u);
    EXPECT_EQ(a.size, 0u);
    EXPECT_EQ(a.ptr, nullptr);
    EXPECT_STREQ(a.name, "empty");
    EXPECT_EQ(memarena_push(&a, 0), nullptr);

    captured_run r = capture_run([] {
        memarena b;
        memarena_init(&b, "nul", 16, nullptr);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "arena \"nul\" size 16 got a zero pointer!\n");
    EXPECT_TRUE(
        std::regex_match(r.err, std::regex(arena_crash_header("xmemarena_init") + "arena got a zero pointer!\n$")))
        << r.err;
}

TEST(Memarena, MarkersRewindsAndReset)
{
    static uint8_t block[64];
    memarena a;
    memarena_init(&a, "scratch", sizeof block, block);
    memarena_push(&a, 8);
    uint64_t m = memarena_get_marker(&a);
    EXPECT_EQ(m, 8u);
    uint8_t* first = static_cast<uint8_t*>(memarena_push(&a, 20));
    EXPECT_EQ(memarena_remaining_capacity(&a), 36u);
    memarena_goto_marker(&a, m);
    EXPECT_EQ(memarena_push(&a, 20), first) << "a rewind hands the same bytes out again";
    memarena_reset(&a);
    EXPECT_EQ(memarena_push(&a, 1), block);

    // A rewind above the capacity is accepted; the next push then fails.
    memarena_goto_marker(&a, 1000);
    EXPECT_EQ(a.sp, 1000u);
    captured_run r = capture_run([&] { memarena_push(&a, 1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, oom_line("scratch", 64, 1001, 1));
}

TEST(Memarena, PopSizeIsGuarded)
{
    static uint8_t block[32];
    memarena a;
    memarena_init(&a, "p", sizeof block, block);
    memarena_push(&a, 10);
    xmemarena_pop_size(&a, 4);
    EXPECT_EQ(a.sp, 6u);
    xmemarena_pop_size(&a, 6);
    EXPECT_EQ(a.sp, 0u);
    memarena_push(&a, 3);
    captured_run r = capture_run([&] { xmemarena_pop_size(&a, 4); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "arena: p is at sp: 3 and asked to pop size 4\n");
    EXPECT_TRUE(std::regex_match(r.err, std::regex(arena_crash_header("xmemarena_pop_size") + "arena bad pop\n$")))
        << r.err;
}

TEST(Memarena, SubArenaRecordIsAlignedAndItsBlockFollows)
{
    alignas(64) static uint8_t block[512];
    for (uint64_t off : {0, 1, 3, 7}) {
        SCOPED_TRACE(off);
        memarena parent;
        memarena_init(&parent, "parent", sizeof block - off, block + off);
        memarena_push(&parent, 1);
        memarena* child = memarena_push_subarena(&parent, "child", 100);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(child) % alignof(memarena), 0u);
        EXPECT_STREQ(child->name, "child");
        EXPECT_EQ(child->size, 100u);
        EXPECT_EQ(child->sp, 0u);
        EXPECT_EQ(child->ptr, reinterpret_cast<uint8_t*>(child) + sizeof(memarena));
        EXPECT_EQ(parent.ptr + parent.sp, child->ptr + 100);
        EXPECT_EQ(memarena_push(child, 100), child->ptr);
    }

    memarena parent;
    memarena_init(&parent, "parent", sizeof block, block);
    memarena* empty = memarena_push_subarena(&parent, "none", 0);
    EXPECT_EQ(empty->ptr, nullptr);
    EXPECT_EQ(empty->size, 0u);

    captured_run r = capture_run([&] { memarena_push(memarena_push_subarena(&parent, "big", 1000), 1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("arena: parent is out of mem"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_match(r.err, OOM_HEADER)) << r.err;
}

TEST(Memarena, PrintLine)
{
    static uint8_t block[64];
    memarena a;
    memarena_init(&a, "demo_arena", sizeof block, block);
    memarena_push(&a, 10);
    captured_run r = capture_run([&] { memarena_print(&a); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "arena: demo_arena capacity: 64 used: 10\n");
    EXPECT_EQ(r.err, "");
}

// Sizes and markers beyond 32 bits print whole in all four messages (the
// Windows build, whose unsigned long has 32 bits, prints them with "%llu").
// The capacities are only claimed: every check fails before a byte is touched.
TEST(Memarena, MessagesPrintSixtyFourBitNumbers)
{
    static uint8_t block[16];
    const uint64_t cap = 5ull << 30, above = 6ull << 30;

    captured_run r = capture_run([&] {
        memarena a;
        memarena_init(&a, "wide", cap, block);
        memarena_goto_marker(&a, 1);
        memarena_push(&a, above);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, oom_line("wide", cap, above + 1, above));

    r = capture_run([&] {
        memarena a;
        memarena_init(&a, "wide", cap, nullptr);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "arena \"wide\" size " + std::to_string(cap) + " got a zero pointer!\n");

    r = capture_run([&] {
        memarena a;
        memarena_init(&a, "wide", cap, block);
        memarena_goto_marker(&a, cap);
        memarena_print(&a);
        xmemarena_pop_size(&a, above);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "arena: wide capacity: " + std::to_string(cap) + " used: " + std::to_string(cap) +
                         "\narena: wide is at sp: " + std::to_string(cap) + " and asked to pop size " +
                         std::to_string(above) + "\n");
}
