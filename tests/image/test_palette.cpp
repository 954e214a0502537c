// Palettes: 16.16 mix and fade, the nearest-colour search, the record in both
// byte orders and the loaders' bound checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/memarena.h"
#include "image/palette.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

// A palette of the given entries (R, G, B, A each) from the arena.
palette make_palette(memarena* arena, int offset, const std::vector<uint32_t>& rgba)
{
    palette p;
    palette_init(&p, arena, offset, static_cast<int>(rgba.size()));
    for (size_t k = 0; k < rgba.size(); ++k) {
        p.rgba8888[4 * k + 0] = static_cast<uint8_t>(rgba[k] >> 24);
        p.rgba8888[4 * k + 1] = static_cast<uint8_t>(rgba[k] >> 16);
        p.rgba8888[4 * k + 2] = static_cast<uint8_t>(rgba[k] >> 8);
        p.rgba8888[4 * k + 3] = static_cast<uint8_t>(rgba[k]);
    }
    return p;
}

uint32_t entry(const palette& p, int k)
{
    const uint8_t* e = p.rgba8888 + 4 * k;
    return uint32_t{e[0]} << 24 | uint32_t{e[1]} << 16 | uint32_t{e[2]} << 8 | e[3];
}

TEST(Palette, InitPushesZeroedEntries)
{
    test_arena f;
    palette p;
    palette_init(&p, &f.arena, 16, 8);
    EXPECT_EQ(p.offset, 16);
    EXPECT_EQ(p.count, 8);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(entry(p, k), 0u);
    palette_init(&p, &f.arena, 3, 0);
    EXPECT_EQ(p.rgba8888, nullptr);
}

TEST(Palette, MixInFixedPoint)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct row {
        float mix;
        uint32_t a, b, expected;
        const char* why;
    } rows[] = {
        {1.0f, 0x123456FFu, 0xABCDEF00u, 0x12345611u, "mix 1 copies a"},
        {0.0f, 0x123456FFu, 0xABCDEF00u, 0xABCDEF11u, "mix 0 copies b"},
        {0.5f, 0xFF00FF00u, 0x00FF0000u, 0x7F7F7F11u, "the middle truncates: 127"},
        {0.25f, 0xC8C8C800u, 0x64646400u, 0x7D7D7D11u, "(16384 x 200 + 49152 x 100) >> 16 = 125"},
        // 0.3f is 0.30000001...: 19660 / 65536 of 255 is 76 (a float blend would round to 77).
        {0.3f, 0xFFFFFF00u, 0x00000000u, 0x4C4C4C11u, "weight truncated to 19660"},
        {1.5f, 0x10203000u, 0x90A0B000u, 0x10203011u, "mix above 1 limited to 1"},
        {-2.0f, 0x10203000u, 0x90A0B000u, 0x90A0B011u, "mix below 0 limited to 0"},
        {nan, 0x10203000u, 0x90A0B000u, 0x90A0B011u, "NaN mixes as 0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        test_arena f;
        palette a = make_palette(&f.arena, 0, {r.a, r.a});
        palette b = make_palette(&f.arena, 0, {r.b, r.b});
        palette out = make_palette(&f.arena, 0, {0x00000011u, 0x00000011u});
        palette_mix(&out, r.mix, &a, &b);
        EXPECT_EQ(entry(out, 0), r.expected);
        EXPECT_EQ(entry(out, 1), r.expected);
    }
}

TEST(Palette, FadeToColour)
{
    struct row {
        float mix;
        uint32_t a;
        int r, g, b;
        uint32_t expected;
        const char* why;
    } rows[] = {
        {0.0f, 0x123456FFu, 200, 100, 50, 0x12345642u, "mix 0 reproduces a"},
        {1.0f, 0x123456FFu, 200, 100, 50, 0xC8643242u, "mix 1 gives the colour exactly"},
        {0.5f, 0x00000000u, 255, 255, 255, 0x7F7F7F42u, "the middle"},
        {0.75f, 0x40404000u, 0, 128, 255, 0x1070CF42u, "weights 49152 on the colour, 16384 on a"},
        {1.0f, 0x00000000u, 300, -20, 256, 0xFF00FF42u, "colour limited to 0..255"},
        {2.0f, 0x00000000u, 10, 20, 30, 0x0A141E42u, "mix limited to 1"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        test_arena f;
        palette a = make_palette(&f.arena, 0, {r.a});
        palette out = make_palette(&f.arena, 0, {0x00000042u});
        palette_fade_to_rgb(&out, r.mix, &a, r.r, r.g, r.b);
        EXPECT_EQ(entry(out, 0), r.expected);
    }
}

// A slice at offset 16 works on its own 8 entries: entry k of every array.
TEST(Palette, MixAndFadeRunOverTheSliceItself)
{
    test_arena f;
    std::vector<uint32_t> ea, eb;
    for (uint32_t k = 0; k < 8; ++k) {
        ea.push_back((k * 20) << 24 | 0xFFu);
        eb.push_back((k * 20 + 100) << 24);
    }
    palette a = make_palette(&f.arena, 16, ea);
    palette b = make_palette(&f.arena, 16, eb);
    palette out;
    palette_init(&out, &f.arena, 16, 8);
    palette_mix(&out, 0.5f, &a, &b);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(entry(out, k), static_cast<uint32_t>(k * 20 + 50) << 24) << k;
    palette_fade_to_rgb(&out, 0.5f, &a, 0, 0, 0);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(entry(out, k), static_cast<uint32_t>(k * 10) << 24) << k;
}

TEST(Palette, ShortInputsAreRefused)
{
    struct row {
        int a_count, b_count;
        bool fade;
        const char* message;
    } rows[] = {
        {7, 8, false, "palette_mix: input palette has 7 entries, the result needs 8\n"},
        {8, 3, false, "palette_mix: input palette has 3 entries, the result needs 8\n"},
        {0, 8, true, "palette_fade_to_rgb: input palette has 0 entries, the result needs 8\n"},
    };
    for (const row& r : rows) {
        captured_run run = capture_run([&] {
            test_arena f;
            palette a, b, out;
            palette_init(&a, &f.arena, 0, r.a_count);
            palette_init(&b, &f.arena, 0, r.b_count);
            palette_init(&out, &f.arena, 0, 8);
            if (r.fade)
                palette_fade_to_rgb(&out, 0.5f, &a, 1, 2, 3);
            else
                palette_mix(&out, 0.5f, &a, &b);
        });
        EXPECT_EQ(run.exited, 1);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(crash_site(run.err).rfind(crash_site("crash at src/palette_image:"), 0), 0u) << run.err;
        EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
    }
}

TEST(Palette, BestMatch)
{
    test_arena f;
    // Entries 2 and 4 are equal; 3 is transparent mid grey, 6 transparent white.
    palette p = make_palette(
        &f.arena, 40, {0x000000FFu, 0xFFFFFFFFu, 0xBCBCBCFFu, 0xBCBCBC00u, 0xBCBCBCFFu, 0xFF0000FFu, 0xFFFFFF00u});
    struct row {
        vec4 linear_pma;
        int expected;
        const char* why;
    } rows[] = {
        {{0, 0, 0, 1}, 0, "black"},
        {{1, 1, 1, 1}, 1, "white"},
        // Linear 0.5 encodes to 0.735 = byte 187.5: mid grey.
        {{0.5f, 0.5f, 0.5f, 1}, 2, "equal entries 2 and 4: the lower wins"},
        {{0.5f, 0.5f, 0.5f, 0}, 3, "alpha 0 still compares colour, and alpha"},
        // Not divided by its alpha: 0.1 encodes to 0.35, nearest to entry 3;
        // divided it would be transparent white, entry 6.
        {{0.1f, 0.1f, 0.1f, 0.1f}, 3, "query taken as it stands"},
        {{0.25f, 0.25f, 0.25f, 0.5f}, 2, "alpha 0.5 ties entries 2 and 3: the lower wins"},
        {{0.9f, 0.0f, 0.0f, 1}, 5, "red"},
        {{-1, std::numeric_limits<float>::quiet_NaN(), -3, 1}, 0, "encoded NaN and negatives are 0"},
    };
    for (const row& r : rows)
        EXPECT_EQ(palette_find_best_match_linear_pma(&p, r.linear_pma), r.expected) << r.why;
    palette empty = {7, 0, nullptr};
    const vec4 q = {1, 1, 1, 1};
    EXPECT_EQ(palette_find_best_match_linear_pma(&empty, q), 0);
}

// offset 0x0110, count 2, entries (1, 2, 3, 4) and (0xF0, 0xF1, 0xF2, 0xF3).
const uint8_t k_record_little[] = {0x10, 0x00, 0x02, 0x00, 1, 2, 3, 4, 0xF0, 0xF1, 0xF2, 0xF3};
const uint8_t k_record_big[] = {0x00, 0x10, 0x00, 0x02, 1, 2, 3, 4, 0xF0, 0xF1, 0xF2, 0xF3};

int native_is_little()
{
    uint16_t one = 1;
    uint8_t b;
    memcpy(&b, &one, 1);
    return b == 1;
}

TEST(PaletteRecord, StoreAndLoadInBothByteOrders)
{
    const int little = native_is_little();
    struct row {
        int endian;
        const uint8_t* bytes;
    } rows[] = {
        {IO_ENDIAN_NATIVE, little ? k_record_little : k_record_big},
        {IO_ENDIAN_SWAPPED, little ? k_record_big : k_record_little},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.endian);
        test_arena f;
        palette p = make_palette(&f.arena, 16, {0x01020304u, 0xF0F1F2F3u});
        uint8_t buffer[32];
        memset(buffer, 0xEE, sizeof buffer);
        uint8_t* end = palette_io_store(buffer, &p, r.endian);
        ASSERT_EQ(end - buffer, 12);
        EXPECT_EQ(0, memcmp(buffer, r.bytes, 12));
        EXPECT_EQ(buffer[12], 0xEE);

        palette q = {99, 99, nullptr};
        const uint8_t* after = palette_io_load(&f.arena, &q, r.bytes, 12, r.endian);
        EXPECT_EQ(after, r.bytes + 12);
        EXPECT_EQ(q.offset, 16);
        EXPECT_EQ(q.count, 2);
        EXPECT_EQ(entry(q, 0), 0x01020304u);
        EXPECT_EQ(entry(q, 1), 0xF0F1F2F3u);
    }
}

TEST(PaletteRecord, CountZeroAndFullTable)
{
    test_arena f;
    const uint8_t empty[] = {5, 0, 0, 0, 0xAA};
    palette q = {1, 1, reinterpret_cast<uint8_t*>(&q)};
    EXPECT_EQ(palette_io_load(&f.arena, &q, empty, sizeof empty, IO_ENDIAN_NATIVE), empty + 4);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.rgba8888, nullptr);
    EXPECT_EQ(q.offset, native_is_little() ? 5 : 0x500);

    // Offset 0, count 256 is the largest record: exactly the table.
    std::vector<uint8_t> full(4 + 1024);
    io_store16(io_store16(full.data(), 0, IO_ENDIAN_NATIVE), 256, IO_ENDIAN_NATIVE);
    for (int i = 0; i < 1024; ++i)
        full[4 + i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(palette_io_load(&f.arena, &q, full.data(), full.size(), IO_ENDIAN_NATIVE), full.data() + full.size());
    EXPECT_EQ(q.count, 256);
    EXPECT_EQ(0, memcmp(q.rgba8888, full.data() + 4, 1024));
}

// Records that do not fit the bytes at hand or the 256-entry table.
TEST(PaletteRecord, BadRecordsFailToLoad)
{
    struct row {
        uint32_t offset, count;
        uint64_t size;  // bytes handed to the loader
        const char* why;
        const char* reason;  // the line the loader prints
    } rows[] = {
        {0, 0, 3, "shorter than the two fields", "palette header of 4 bytes does not fit in 3 bytes"},
        {0, 1, 4, "count 1 without its entry", "1 entries need 4 bytes, 0 follow the header"},
        {0, 2, 11, "one byte short", "2 entries need 8 bytes, 7 follow the header"},
        {250, 7, 4 + 28, "offset + count = 257", "7 entries from offset 250 reach past 256 colours"},
        {0, 65535, 4 + 262140, "count 65535", "65535 entries from offset 0 reach past 256 colours"},
        {65535, 1, 8, "offset 65535", "1 entries from offset 65535 reach past 256 colours"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        std::vector<uint8_t> data(r.size < 4 ? 4 : r.size, 0x5A);
        io_store16(io_store16(data.data(), static_cast<uint16_t>(r.offset), IO_ENDIAN_NATIVE),
                   static_cast<uint16_t>(r.count), IO_ENDIAN_NATIVE);
        // Exactly size bytes, so a read past them is an ASan error.
        std::vector<uint8_t> exact(data.begin(), data.begin() + static_cast<long>(r.size));
        // The record loader reports by result; the file loader and the resource
        // cache stop with their own messages.
        test_arena f;
        palette q;
        testing::internal::CaptureStdout();
        EXPECT_EQ(palette_io_load(&f.arena, &q, exact.data(), exact.size(), IO_ENDIAN_NATIVE), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "palette record refused: " + std::string(r.reason) + "\n");
        EXPECT_EQ(q.count, 0);
        EXPECT_EQ(q.rgba8888, nullptr);
    }
}

TEST(PaletteFile, LoadsInBothByteOrdersAndFailsOnBadFiles)
{
    const std::string dir = capture_temp_dir();
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        SCOPED_TRACE(endian);
        test_arena f;
        palette p = make_palette(&f.arena, 200, {0x11223344u, 0x55667788u, 0x99AABBCCu});
        uint8_t buffer[64];
        uint8_t* end = palette_io_store(buffer, &p, endian);
        const std::string path = dir + "/pal" + std::to_string(endian) + ".pal";
        captured_run store = capture_run([&] { ASSERT_EQ(n3d_io_store_file(path.c_str(), buffer, end, endian), 0); });
        ASSERT_EQ(store.status, 0);
        palette* q = palette_load_file(&f.arena, path.c_str());
        EXPECT_EQ(q->offset, 200);
        EXPECT_EQ(q->count, 3);
        EXPECT_EQ(entry(*q, 2), 0x99AABBCCu);
    }

    // A truncated record and a missing file end in the loader's message.
    const std::string truncated = dir + "/short.pal";
    {
        std::ofstream out(truncated, std::ios::binary);
        const uint32_t marker = IO_ENDIAN_MARKER;
        out.write(reinterpret_cast<const char*>(&marker), 4);
        const uint16_t fields[2] = {0, 4};
        out.write(reinterpret_cast<const char*>(fields), 4);
        out.write("abcdefgh", 8);  // 2 of 4 entries
    }
    // The message line, then the file named on the next, after the record's reason.
    const struct {
        std::string path, out;
    } failures[] = {
        {truncated,
         "palette record refused: 4 entries need 16 bytes, 8 follow the header\nfailed load file\nin file \"" +
             truncated + "\"\n"},
        {dir + "/missing.pal", "fopen failed, path: " + dir + "/missing.pal\nfailed load file\nin file \"" + dir +
                                   "/missing.pal\": cannot be read\n"},
    };
    for (const auto& c : failures) {
        captured_run run = capture_run([&] {
            test_arena f;
            palette_load_file(&f.arena, c.path.c_str());
        });
        EXPECT_EQ(run.status, 1) << c.path;
        EXPECT_EQ(run.out, c.out);
    }
}

// The full-table source is indexed by CLUT index; only the part inside both
// the request and the slice is copied.
TEST(Palette, SetFromFullTable)
{
    std::vector<uint8_t> table(1024);
    for (int i = 0; i < 1024; ++i)
        table[i] = static_cast<uint8_t>(i / 4);
    struct row {
        int offset, count;
        int first_set, end_set;  // slice entries expected to change
    } rows[] = {
        {16, 8, 0, 8}, {20, 100, 4, 8}, {0, 18, 0, 2}, {-5, 300, 0, 8}, {30, 10, 0, 0}, {16, -3, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.offset);
        test_arena f;
        palette p;
        palette_init(&p, &f.arena, 16, 8);
        palette_set_from_rgba8888(&p, r.offset, r.count, table.data());
        for (int k = 0; k < 8; ++k) {
            uint32_t expected = (k >= r.first_set && k < r.end_set) ? 0x01010101u * static_cast<uint32_t>(16 + k) : 0;
            EXPECT_EQ(entry(p, k), expected) << k;
        }
    }
}

}  // namespace
