// Named bump arenas over caller-provided blocks: all working memory of the
// system. Nothing is freed piece by piece; scratch memory goes back by a rewind
// to a marker or a reset. A push that does not fit prints the arena's detail
// line to standard output and ends the program through mycrash. Main thread
// only (the audio thread allocates nothing).
#pragma once

#include <cstdint>

struct memarena {
    int index;         // always 0
    const char* name;  // the caller's string, not copied
    uint64_t size;     // capacity in bytes
    uint8_t* ptr;      // base of the block; not owned
    uint64_t sp;       // bytes used
    int flag;          // always 0
};

void xmemarena_init(memarena* arena, const char* name, uint64_t size, void* ptr);
void* xmemarena_push(memarena* arena, uint64_t size);
void* xmemarena_push_zeroed(memarena* arena, uint64_t size);
void* xmemarena_push_align(memarena* arena, uint64_t size, uint64_t align);
void* xmemarena_push_align_pad(memarena* arena, uint64_t minimum_size, uint64_t align);
memarena* xmemarena_push_subarena(memarena* parent, const char* name, uint64_t size);
void xmemarena_goto_marker(memarena* arena, uint64_t marker);
void xmemarena_reset(memarena* arena);
// Guarded shrink: fatal when fewer than size bytes are in use.
void xmemarena_pop_size(memarena* arena, uint64_t size);

// Size 0 with a null block is accepted (a capacity-0 arena); a non-zero size
// with a null block is fatal.
inline void memarena_init(memarena* arena, const char* name, uint64_t size, void* ptr)
{
    xmemarena_init(arena, name, size, ptr);
}
// Returns ptr + sp and consumes size bytes, unaligned and uncleared; size 0 gives null.
inline void* memarena_push(memarena* arena, uint64_t size) { return xmemarena_push(arena, size); }
inline void* memarena_push_zeroed(memarena* arena, uint64_t size) { return xmemarena_push_zeroed(arena, size); }
// Pads the start so the absolute address is a multiple of align (a power of two).
inline void* memarena_push_align(memarena* arena, uint64_t size, uint64_t align)
{
    return xmemarena_push_align(arena, size, align);
}
// Also rounds the size up to a multiple of align.
inline void* memarena_push_align_pad(memarena* arena, uint64_t minimum_size, uint64_t align)
{
    return xmemarena_push_align_pad(arena, minimum_size, align);
}
// Pushes the child's record (aligned for its type), then its block.
inline memarena* memarena_push_subarena(memarena* parent, const char* name, uint64_t size)
{
    return xmemarena_push_subarena(parent, name, size);
}
inline uint64_t memarena_get_marker(const memarena* arena) { return arena->sp; }
// Unchecked: a marker above the capacity makes the next push fail.
inline void memarena_goto_marker(memarena* arena, uint64_t marker) { xmemarena_goto_marker(arena, marker); }
inline void memarena_reset(memarena* arena) { xmemarena_reset(arena); }
inline uint64_t memarena_remaining_capacity(const memarena* arena) { return arena->size - arena->sp; }
// "arena: %s capacity: %lu used: %lu\n" to standard output.
void memarena_print(const memarena* arena);

// Typed helpers over the aligned push.
// A count whose byte size does not fit 64 bits (a negative count turned into a
// size, say) is an out-of-memory crash, never a small wrapped push.

// Pixel planes, coverage and depth buffers and the effects' lookup tables: the
// wide paths read and write them a cache line (one 512-bit access) at a time.
constexpr uint64_t MEMARENA_PLANE_ALIGN = 64;

// count elements of T at a multiple of align (a power of two), and never less
// than T's own alignment, whatever was pushed before.
template <typename T>
inline T* memarena_push_array_align(memarena* arena, uint64_t count, uint64_t align)
{
    uint64_t bytes;
    if (__builtin_mul_overflow(count, (uint64_t)sizeof(T), &bytes))
        bytes = UINT64_MAX;
    return static_cast<T*>(memarena_push_align(arena, bytes, align > alignof(T) ? align : alignof(T)));
}
template <typename T>
inline T* memarena_push_array(memarena* arena, uint64_t count)
{
    return memarena_push_array_align<T>(arena, count, alignof(T));
}
template <typename T>
inline T* memarena_push_array_align_zeroed(memarena* arena, uint64_t count, uint64_t align)
{
    T* p = memarena_push_array_align<T>(arena, count, align);
    if (p)
        __builtin_memset(static_cast<void*>(p), 0, count * sizeof(T));
    return p;
}
template <typename T>
inline T* memarena_push_array_zeroed(memarena* arena, uint64_t count)
{
    return memarena_push_array_align_zeroed<T>(arena, count, alignof(T));
}
