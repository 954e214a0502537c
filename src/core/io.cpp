#include "core/io.h"

#include <cstring>

static inline uint16_t io_swap16(uint16_t x) { return __builtin_bswap16(x); }
static inline uint32_t io_swap32(uint32_t x) { return __builtin_bswap32(x); }

int io_endian_from_marker(uint32_t endian_marker)
{
    if (endian_marker == IO_ENDIAN_MARKER)
        return IO_ENDIAN_NATIVE;
    if (endian_marker == 0xCDAB0000u)
        return IO_ENDIAN_SWAPPED;
    return -1;
}

uint8_t* io_store8(uint8_t* b, int8_t x)
{
    memcpy(b, &x, 1);
    return b + 1;
}

const uint8_t* io_load8(uint8_t* x, const uint8_t* b)
{
    *x = b[0];
    return b + 1;
}

uint8_t* io_store16(uint8_t* b, uint16_t x, int endian)
{
    if (endian == IO_ENDIAN_SWAPPED)
        x = io_swap16(x);
    memcpy(b, &x, 2);
    return b + 2;
}

const uint8_t* io_load16(uint16_t* x, const uint8_t* b, int endian)
{
    uint16_t v;
    memcpy(&v, b, 2);
    *x = endian == IO_ENDIAN_SWAPPED ? io_swap16(v) : v;
    return b + 2;
}

uint8_t* io_store32(uint8_t* b, uint32_t x, int endian)
{
    if (endian == IO_ENDIAN_SWAPPED)
        x = io_swap32(x);
    memcpy(b, &x, 4);
    return b + 4;
}

const uint8_t* io_load32(uint32_t* x, const uint8_t* b, int endian)
{
    uint32_t v;
    memcpy(&v, b, 4);
    *x = endian == IO_ENDIAN_SWAPPED ? io_swap32(v) : v;
    return b + 4;
}

uint8_t* io_storef32(uint8_t* b, float fx, int endian)
{
    io_ui32_f u;
    u.f = fx;
    return io_store32(b, u.ui32, endian);
}

const uint8_t* io_loadf32(float* fx, const uint8_t* b, int endian)
{
    io_ui32_f u;
    b = io_load32(&u.ui32, b, endian);
    *fx = u.f;
    return b;
}

uint8_t* io_store_many_f32(uint8_t* b, const float* r, uint32_t count, int endian)
{
    for (uint32_t i = 0; i < count; ++i)
        b = io_storef32(b, r[i], endian);
    return b;
}

const uint8_t* io_load_many_f32(float* r, uint32_t count, const uint8_t* b, int endian)
{
    for (uint32_t i = 0; i < count; ++i)
        b = io_loadf32(&r[i], b, endian);
    return b;
}

uint8_t* io_storestr(uint8_t* b, const char* s)
{
    size_t n = strlen(s) + 1;
    memcpy(b, s, n);
    return b + n;
}

const uint8_t* io_loadstr(char** out, memarena* arena, const uint8_t* b)
{
    size_t n = strlen(reinterpret_cast<const char*>(b)) + 1;
    char* copy = static_cast<char*>(memarena_push(arena, n));
    memcpy(copy, b, n);
    *out = copy;
    return b + n;
}

io_reader io_reader_make(const void* data, uint64_t size, int endian)
{
    io_reader r;
    r.p = static_cast<const uint8_t*>(data);
    r.end = r.p ? r.p + size : r.p;
    r.endian = endian;
    r.failed = 0;
    r.what = nullptr;
    return r;
}

uint64_t io_reader_remaining(const io_reader* r) { return r->failed ? 0 : (uint64_t)(r->end - r->p); }

void io_reader_fail(io_reader* r, const char* what)
{
    if (!r->failed) {
        r->failed = 1;
        r->what = what;
    }
}

static bool io_reader_take(io_reader* r, uint64_t n, const char* what)
{
    if (r->failed)
        return false;
    if ((uint64_t)(r->end - r->p) < n) {
        io_reader_fail(r, what);
        return false;
    }
    return true;
}

uint8_t io_read8(io_reader* r, const char* what)
{
    if (!io_reader_take(r, 1, what))
        return 0;
    uint8_t v;
    r->p = io_load8(&v, r->p);
    return v;
}

uint16_t io_read16(io_reader* r, const char* what)
{
    if (!io_reader_take(r, 2, what))
        return 0;
    uint16_t v;
    r->p = io_load16(&v, r->p, r->endian);
    return v;
}

uint32_t io_read32(io_reader* r, const char* what)
{
    if (!io_reader_take(r, 4, what))
        return 0;
    uint32_t v;
    r->p = io_load32(&v, r->p, r->endian);
    return v;
}

float io_readf32(io_reader* r, const char* what)
{
    if (!io_reader_take(r, 4, what))
        return 0.0f;
    float v;
    r->p = io_loadf32(&v, r->p, r->endian);
    return v;
}

void io_read_many_f32(io_reader* r, float* out, uint64_t count, const char* what)
{
    if (count > UINT64_MAX / 4 || !io_reader_take(r, count * 4, what))
        return io_reader_fail(r, what);
    for (uint64_t i = 0; i < count; ++i)
        r->p = io_loadf32(&out[i], r->p, r->endian);
}

const uint8_t* io_read_bytes(io_reader* r, uint64_t size, const char* what)
{
    if (!io_reader_take(r, size, what))
        return nullptr;
    const uint8_t* p = r->p;
    r->p += size;
    return p;
}

char* io_read_str(io_reader* r, memarena* arena, const char* what)
{
    if (r->failed || r->p == r->end) {
        io_reader_fail(r, what);
        return nullptr;
    }
    const void* nul = memchr(r->p, 0, (size_t)(r->end - r->p));
    if (!nul) {
        io_reader_fail(r, what);
        return nullptr;
    }
    char* s;
    r->p = io_loadstr(&s, arena, r->p);
    return s;
}
