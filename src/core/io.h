// Byte-order-aware cursor loads and stores of scalars, floats and strings for every
// record reader and writer. The order of a file is fixed by the endian marker at its
// start (IO_ENDIAN_MARKER stored in the writer's mode); every later 16- and 32-bit
// field follows it. Cursors need not be aligned; nothing is allocated but io_read_str's
// copy. The plain loads check nothing: readers bound their walk with io_reader below,
// which fails by its flag and the name of what did not fit. Main thread only.
#pragma once

#include <cstdint>

#include "core/memarena.h"

#define IO_ENDIAN_NATIVE 0x1234
#define IO_ENDIAN_SWAPPED 0x4321
#define IO_ENDIAN_MARKER 0x0000ABCDu

union io_ui32_f {
    uint32_t ui32;
    float f;
};

// 0x0000ABCD gives IO_ENDIAN_NATIVE, 0xCDAB0000 IO_ENDIAN_SWAPPED, anything else -1.
int io_endian_from_marker(uint32_t endian_marker);

uint8_t* io_store8(uint8_t* b, int8_t x);
const uint8_t* io_load8(uint8_t* x, const uint8_t* b);
uint8_t* io_store16(uint8_t* b, uint16_t x, int endian);
const uint8_t* io_load16(uint16_t* x, const uint8_t* b, int endian);
uint8_t* io_store32(uint8_t* b, uint32_t x, int endian);
const uint8_t* io_load32(uint32_t* x, const uint8_t* b, int endian);
uint8_t* io_storef32(uint8_t* b, float fx, int endian);
const uint8_t* io_loadf32(float* fx, const uint8_t* b, int endian);
uint8_t* io_store_many_f32(uint8_t* b, const float* r, uint32_t count, int endian);
const uint8_t* io_load_many_f32(float* r, uint32_t count, const uint8_t* b, int endian);
// Bytes of s and its NUL; returns the cursor past the NUL.
uint8_t* io_storestr(uint8_t* b, const char* s);
// Copies the NUL-terminated string at b into the arena; returns b + length + 1.
const uint8_t* io_loadstr(char** out, memarena* arena, const uint8_t* b);

// Non-const cursor forms for readers that walk mutable buffers.
inline uint8_t* io_load8(uint8_t* x, uint8_t* b)
{
    return const_cast<uint8_t*>(io_load8(x, static_cast<const uint8_t*>(b)));
}
inline uint8_t* io_load16(uint16_t* x, uint8_t* b, int endian)
{
    return const_cast<uint8_t*>(io_load16(x, static_cast<const uint8_t*>(b), endian));
}
inline uint8_t* io_load32(uint32_t* x, uint8_t* b, int endian)
{
    return const_cast<uint8_t*>(io_load32(x, static_cast<const uint8_t*>(b), endian));
}
inline uint8_t* io_loadf32(float* fx, uint8_t* b, int endian)
{
    return const_cast<uint8_t*>(io_loadf32(fx, static_cast<const uint8_t*>(b), endian));
}
inline uint8_t* io_load_many_f32(float* r, uint32_t count, uint8_t* b, int endian)
{
    return const_cast<uint8_t*>(io_load_many_f32(r, count, static_cast<const uint8_t*>(b), endian));
}
inline uint8_t* io_loadstr(char** out, memarena* arena, uint8_t* b)
{
    return const_cast<uint8_t*>(io_loadstr(out, arena, static_cast<const uint8_t*>(b)));
}

// Bounded reading of a record from file data. Every loader of production data
// walks its bytes through one of these: each read checks that the bytes are
// there first; the first read that does not fit sets `failed`, records what did
// not fit in `what`, and every later read returns zeros. The loader checks
// `failed` (and its values) before it uses what it read.
struct io_reader {
    const uint8_t* p;
    const uint8_t* end;
    int endian;
    int failed;
    const char* what;  // name of the first field that did not fit
};

io_reader io_reader_make(const void* data, uint64_t size, int endian);
uint64_t io_reader_remaining(const io_reader* r);
// Marks the reader failed with what (keeps the first reason).
void io_reader_fail(io_reader* r, const char* what);
uint8_t io_read8(io_reader* r, const char* what);
uint16_t io_read16(io_reader* r, const char* what);
uint32_t io_read32(io_reader* r, const char* what);
float io_readf32(io_reader* r, const char* what);
// Reads count floats; fails (leaving r unchanged past the failure) when they do not fit.
void io_read_many_f32(io_reader* r, float* out, uint64_t count, const char* what);
// Hands out size raw bytes in place (null and failed when they do not fit).
const uint8_t* io_read_bytes(io_reader* r, uint64_t size, const char* what);
// A NUL-terminated string inside the data, copied into the arena (null and
// failed when no NUL lies before the end).
char* io_read_str(io_reader* r, memarena* arena, const char* what);
