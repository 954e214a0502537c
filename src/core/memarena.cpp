#include "core/memarena.h"

#include <cstdio>
#include <cstring>

#include "core/crash.h"

// Fuzz builds (QF_ARENA_POISON) let AddressSanitizer see arena misuse: the free
// part of a block is poisoned, every push is followed by a poisoned red zone, and
// a rewind poisons what it gives back, so a read past a pushed array or through
// a pointer into rewound memory is reported instead of landing in a neighbour.
// The red zones change the fill levels, so only those builds have them.
#if defined(QF_ARENA_POISON)
#include <sanitizer/asan_interface.h>
#define MEMARENA_REDZONE 32u
static void memarena_poison(const memarena* arena, uint64_t from, uint64_t to)
{
    if (to > arena->size)
        to = arena->size;
    if (from < to)
        ASAN_POISON_MEMORY_REGION(arena->ptr + from, to - from);
}
#else
#define MEMARENA_REDZONE 0u
static void memarena_poison(const memarena*, uint64_t, uint64_t) {}
#endif

// The 64-bit numbers of the arena messages: "%lu" where unsigned long has 64
// bits (Linux), "%llu" on Windows, where it has 32.
#if defined(_WIN32)
#define MEMARENA_U64 "%llu"
typedef unsigned long long memarena_u64_arg;
#else
#define MEMARENA_U64 "%lu"
typedef unsigned long memarena_u64_arg;
#endif
static_assert(sizeof(memarena_u64_arg) == 8, "the arena messages print 64-bit numbers");

void xmemarena_init(memarena* arena, const char* name, uint64_t size, void* ptr)
{
    if (size != 0 && ptr == nullptr) {
        printf("arena \"%s\" size " MEMARENA_U64 " got a zero pointer!\n", name, (memarena_u64_arg)size);
        mycrash("src/memarena", 86, "", "arena got a zero pointer!\n");
    }
    memset(arena, 0, sizeof(*arena));
    arena->name = name;
    arena->size = size;
    arena->ptr = static_cast<uint8_t*>(ptr);
    memarena_poison(arena, 0, size);
}

// Overflow test that cannot wrap: sp may sit above size after a rewind to an
// arbitrary marker, and a request near 2^64 must not look small once added.
// A request whose padded size does not fit 64 bits is reported as UINT64_MAX,
// and so is a "needed" total that would wrap.
// The detail line only: the crash itself is the push's (the Windows build names
// the function in its header).
static void memarena_out_of_mem_line(const memarena* arena, uint64_t size)
{
    uint64_t needed = size > UINT64_MAX - arena->sp ? UINT64_MAX : arena->sp + size;
    printf("arena: %s is out of mem, capacity is " MEMARENA_U64 " but needed " MEMARENA_U64 " tried alloc " MEMARENA_U64
           "\n",
           arena->name, (memarena_u64_arg)arena->size, (memarena_u64_arg)needed, (memarena_u64_arg)size);
}

void* xmemarena_push(memarena* arena, uint64_t size)
{
    if (size == 0)
        return nullptr;
    if (arena->sp > arena->size || size > arena->size - arena->sp) {
        memarena_out_of_mem_line(arena, size);
        mycrash("src/memarena", 104, "", "arena is out of mem\n");
    }
    uint8_t* result = arena->ptr + arena->sp;
    arena->sp += size;
#if defined(QF_ARENA_POISON)
    ASAN_UNPOISON_MEMORY_REGION(result, size);
    arena->sp += arena->size - arena->sp < MEMARENA_REDZONE ? arena->size - arena->sp : MEMARENA_REDZONE;
#endif
    return result;
}

void* xmemarena_push_zeroed(memarena* arena, uint64_t size)
{
    void* result = xmemarena_push(arena, size);
    if (result)
        memset(result, 0, size);
    return result;
}

void* xmemarena_push_align(memarena* arena, uint64_t size, uint64_t align)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(arena->ptr) + arena->sp;
    uint64_t misalignment = base & (align - 1);
    uint64_t pad = misalignment ? align - misalignment : 0;
    if (size == 0)
        return nullptr;
    if (size > UINT64_MAX - pad) {
        memarena_out_of_mem_line(arena, UINT64_MAX);
        mycrash("src/memarena", 104, "", "arena is out of mem\n");
    }
    uint8_t* result = static_cast<uint8_t*>(xmemarena_push(arena, size + pad));
    return result + pad;
}

void* xmemarena_push_align_pad(memarena* arena, uint64_t minimum_size, uint64_t align)
{
    if (minimum_size == 0)
        return nullptr;
    uint64_t rest = minimum_size & (align - 1);
    uint64_t size = minimum_size;
    if (rest) {
        uint64_t round = align - rest;
        if (minimum_size > UINT64_MAX - round) {
            memarena_out_of_mem_line(arena, UINT64_MAX);
            mycrash("src/memarena", 104, "", "arena is out of mem\n");
        }
        size = minimum_size + round;
    }
    return xmemarena_push_align(arena, size, align);
}

memarena* xmemarena_push_subarena(memarena* parent, const char* name, uint64_t size)
{
    memarena* child = static_cast<memarena*>(xmemarena_push_align(parent, sizeof(memarena), alignof(memarena)));
    void* block = xmemarena_push(parent, size);
    xmemarena_init(child, name, size, block);
    return child;
}

void xmemarena_goto_marker(memarena* arena, uint64_t marker)
{
    memarena_poison(arena, marker, arena->sp);
    arena->sp = marker;
}

void xmemarena_reset(memarena* arena)
{
    memarena_poison(arena, 0, arena->sp);
    arena->sp = 0;
}

void xmemarena_pop_size(memarena* arena, uint64_t size)
{
    if (arena->sp < size) {
        printf("arena: %s is at sp: " MEMARENA_U64 " and asked to pop size " MEMARENA_U64 "\n", arena->name,
               (memarena_u64_arg)arena->sp, (memarena_u64_arg)size);
        mycrash("src/memarena", 152, "", "arena bad pop\n");
    }
    memarena_poison(arena, arena->sp - size, arena->sp);
    arena->sp -= size;
}

void memarena_print(const memarena* arena)
{
    printf("arena: %s capacity: " MEMARENA_U64 " used: " MEMARENA_U64 "\n", arena->name, (memarena_u64_arg)arena->size,
           (memarena_u64_arg)arena->sp);
}
