// Cursor I/O: the endian marker table, every load and store in both modes
// against hand-written bytes (little-endian host), strings, and the bounded
// reader that file loaders walk their data with.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/io.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the byte tables below are written for a little-endian host");

TEST(Io, EndianFromMarker)
{
    const struct {
        uint32_t marker;
        int mode;
        const char* why;
    } cases[] = {
        {0x0000ABCDu, IO_ENDIAN_NATIVE, "file in the reader's order"},
        {0xCDAB0000u, IO_ENDIAN_SWAPPED, "file in the other order"},
        {0xABCD0000u, -1, "only the 16-bit halves exchanged"},
        {0x0000CDABu, -1, "only the bytes of the low half exchanged"},
        {0x00000000u, -1, "zero"},
        {0xFFFFFFFFu, -1, "all ones"},
        {0x1234u, -1, "a mode value is not a marker"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(io_endian_from_marker(c.marker), c.mode) << c.why;
    EXPECT_EQ(IO_ENDIAN_NATIVE, 0x1234);
    EXPECT_EQ(IO_ENDIAN_SWAPPED, 0x4321);
    EXPECT_EQ(IO_ENDIAN_MARKER, 0x0000ABCDu);
}

// The marker written for the other machine reads back natively as 0xCDAB0000.
TEST(Io, MarkerWrittenSwapped)
{
    uint8_t b[4];
    EXPECT_EQ(io_store32(b, IO_ENDIAN_MARKER, IO_ENDIAN_SWAPPED), b + 4);
    const uint8_t want[4] = {0x00, 0x00, 0xAB, 0xCD};
    EXPECT_EQ(memcmp(b, want, 4), 0);
    uint32_t v;
    io_load32(&v, b, IO_ENDIAN_NATIVE);
    EXPECT_EQ(v, 0xCDAB0000u);
    EXPECT_EQ(io_endian_from_marker(v), IO_ENDIAN_SWAPPED);
    io_load32(&v, b, IO_ENDIAN_SWAPPED);
    EXPECT_EQ(v, IO_ENDIAN_MARKER);
}

namespace {

enum width { W8, W16, W32, WF32 };

struct scalar_case {
    width w;
    uint32_t bits;  // the value, or a float's bit pattern
    int mode;
    std::vector<uint8_t> bytes;
};

const scalar_case SCALAR_CASES[] = {
    {W8, 0xFE, IO_ENDIAN_NATIVE, {0xFE}},
    {W8, 0x7F, IO_ENDIAN_SWAPPED, {0x7F}},
    {W16, 0x1234, IO_ENDIAN_NATIVE, {0x34, 0x12}},
    {W16, 0x1234, IO_ENDIAN_SWAPPED, {0x12, 0x34}},
    {W16, 0x1234, -1, {0x34, 0x12}},  // only 0x4321 swaps; the unknown-marker mode copies
    {W16, 0x1234, 0, {0x34, 0x12}},
    {W16, 0xFF00, IO_ENDIAN_SWAPPED, {0xFF, 0x00}},
    {W32, 0x11223344, IO_ENDIAN_NATIVE, {0x44, 0x33, 0x22, 0x11}},
    {W32, 0x11223344, IO_ENDIAN_SWAPPED, {0x11, 0x22, 0x33, 0x44}},
    {W32, 0x11223344, -1, {0x44, 0x33, 0x22, 0x11}},
    {W32, 0x80000001, IO_ENDIAN_SWAPPED, {0x80, 0x00, 0x00, 0x01}},
    {WF32, 0x3F800000, IO_ENDIAN_NATIVE, {0x00, 0x00, 0x80, 0x3F}},  // 1.0f
    {WF32, 0x3F800000, IO_ENDIAN_SWAPPED, {0x3F, 0x80, 0x00, 0x00}},
    {WF32, 0x80000000, IO_ENDIAN_SWAPPED, {0x80, 0x00, 0x00, 0x00}},  // -0.0f keeps its sign
    {WF32, 0x7FA00001, IO_ENDIAN_NATIVE, {0x01, 0x00, 0xA0, 0x7F}},   // a signalling NaN keeps its payload
    {WF32, 0x00000001, IO_ENDIAN_SWAPPED, {0x00, 0x00, 0x00, 0x01}},  // smallest denormal
};

float float_of(uint32_t bits)
{
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

uint32_t bits_of(float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

}  // namespace

TEST(Io, ScalarStoresAndLoadsAgainstBytes)
{
    for (const scalar_case& c : SCALAR_CASES) {
        SCOPED_TRACE(testing::Message() << "width " << c.w << " value 0x" << std::hex << c.bits << " mode 0x"
                                        << c.mode);
        // An odd offset: cursors need not be aligned.
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof buf);
        uint8_t* b = buf + 1;
        uint8_t* end = nullptr;
        switch (c.w) {
        case W8:
            end = io_store8(b, (int8_t)(uint8_t)c.bits);
            break;
        case W16:
            end = io_store16(b, (uint16_t)c.bits, c.mode);
            break;
        case W32:
            end = io_store32(b, c.bits, c.mode);
            break;
        case WF32:
            end = io_storef32(b, float_of(c.bits), c.mode);
            break;
        }
        ASSERT_EQ(end, b + c.bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(b, end), c.bytes);
        EXPECT_EQ(buf[0], 0xEE);
        EXPECT_EQ(*end, 0xEE) << "wrote past the value";

        const uint8_t* in = c.bytes.data();
        const uint8_t* next = nullptr;
        uint32_t got = 0;
        switch (c.w) {
        case W8: {
            uint8_t v;
            next = io_load8(&v, in);
            got = v;
            break;
        }
        case W16: {
            uint16_t v;
            next = io_load16(&v, in, c.mode);
            got = v;
            break;
        }
        case W32:
            next = io_load32(&got, in, c.mode);
            break;
        case WF32: {
            float f;
            next = io_loadf32(&f, in, c.mode);
            got = bits_of(f);
            break;
        }
        }
        EXPECT_EQ(next, in + c.bytes.size());
        EXPECT_EQ(got, c.bits);
    }
}

TEST(Io, ManyFloatsInBothModes)
{
    const float values[3] = {1.0f, -2.0f, 0.5f};
    const struct {
        int mode;
        uint8_t bytes[12];
    } cases[] = {
        {IO_ENDIAN_NATIVE, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F}},
        {IO_ENDIAN_SWAPPED, {0x3F, 0x80, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        uint8_t buf[13];
        EXPECT_EQ(io_store_many_f32(buf + 1, values, 3, c.mode), buf + 13);
        EXPECT_EQ(memcmp(buf + 1, c.bytes, 12), 0);
        float back[4] = {9, 9, 9, 9};
        EXPECT_EQ(io_load_many_f32(back, 3, c.bytes, c.mode), c.bytes + 12);
        EXPECT_EQ(memcmp(back, values, sizeof values), 0);
        EXPECT_EQ(back[3], 9.0f);
        EXPECT_EQ(io_store_many_f32(buf, values, 0, c.mode), buf);
        EXPECT_EQ(io_load_many_f32(back, 0, c.bytes, c.mode), c.bytes);
    }
}

TEST(Io, Strings)
{
    static uint8_t block[64];
    memarena arena;
    memarena_init(&arena, "str", sizeof block, block);
    for (const char* s : {"", "a", "scene_video_tunnel"}) {
        SCOPED_TRACE(s);
        size_t n = strlen(s) + 1;
        uint8_t buf[32];
        memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(io_storestr(buf, s), buf + n);
        EXPECT_EQ(memcmp(buf, s, n), 0);
        EXPECT_EQ(buf[n], 0xEE);

        uint64_t sp = arena.sp;
        char* copy = nullptr;
        EXPECT_EQ(io_loadstr(&copy, &arena, buf), buf + n);
        EXPECT_EQ(arena.sp - sp, n) << "pushes the string and its NUL, unaligned";
        EXPECT_EQ(reinterpret_cast<uint8_t*>(copy), block + sp);
        EXPECT_STREQ(copy, s);
    }
}

// The bounded reader: every field checks that its bytes are there; the first
// that does not fit marks the reader failed with its name and later reads give 0.
TEST(Io, BoundedReaderStopsAtTheEnd)
{
    static uint8_t block[64];
    memarena arena;
    memarena_init(&arena, "rd", sizeof block, block);
    const uint8_t data[] = {0x12, 0x34, 0x56, 0x78, 0xAB, 'h', 'i', 0, 'n', 'o'};

    io_reader r = io_reader_make(data, sizeof data, IO_ENDIAN_SWAPPED);
    EXPECT_EQ(io_read32(&r, "a"), 0x12345678u);
    EXPECT_EQ(io_read8(&r, "b"), 0xABu);
    EXPECT_STREQ(io_read_str(&r, &arena, "name"), "hi");
    EXPECT_EQ(io_reader_remaining(&r), 2u);
    EXPECT_EQ(io_read16(&r, "c"), ('n' << 8 | 'o'));
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(io_read8(&r, "past"), 0u);
    EXPECT_TRUE(r.failed);
    EXPECT_STREQ(r.what, "past");
    EXPECT_EQ(io_read32(&r, "later"), 0u);
    EXPECT_STREQ(r.what, "past") << "keeps the first reason";

    const struct {
        const char* why;
        uint64_t size;
        int op;  // 0 read32, 1 string, 2 bytes(5), 3 many floats (huge count), 4 many floats (2)
    } fails[] = {
        {"a 32-bit value from 3 bytes", 3, 0},
        {"a string without its NUL", 2, 1},
        {"a string from no bytes", 0, 1},
        {"raw bytes past the end", 4, 2},
        {"a float count whose byte size wraps", 10, 3},
        {"two floats from 7 bytes", 7, 4},
    };
    for (const auto& f : fails) {
        SCOPED_TRACE(f.why);
        // Strings start at "hi" (2 bytes there hold no NUL); no bytes at all come as a null pointer.
        const uint8_t* start = f.size == 0 ? nullptr : f.op == 1 ? data + 5 : data;
        io_reader q = io_reader_make(start, f.size, IO_ENDIAN_NATIVE);
        float out[2] = {7, 7};
        switch (f.op) {
        case 0:
            EXPECT_EQ(io_read32(&q, "x"), 0u);
            break;
        case 1:
            EXPECT_EQ(io_read_str(&q, &arena, "x"), nullptr);
            break;
        case 2:
            EXPECT_EQ(io_read_bytes(&q, 5, "x"), nullptr);
            break;
        case 3:
            io_read_many_f32(&q, out, (UINT64_MAX / 4) + 2, "x");
            break;
        case 4:
            io_read_many_f32(&q, out, 2, "x");
            break;
        }
        EXPECT_TRUE(q.failed);
        EXPECT_STREQ(q.what, "x");
        EXPECT_EQ(out[0], 7.0f) << "nothing is read from a field that does not fit";
    }
}
