// Hostile production data the fuzz targets found mishandled: records readers
// were given and scene arguments, one row each with what must happen to them.
// The inputs themselves also sit in fuzz/corpus, which the replay tests run.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <climits>

#include "core/io.h"
#include "core/memarena.h"
#include "image/palette.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_starfield.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

std::vector<uint8_t> rle_record(uint32_t w, uint32_t h, const std::vector<uint8_t>& runs)
{
    std::vector<uint8_t> rec(12);
    io_store32(rec.data(), w, IO_ENDIAN_NATIVE);
    io_store32(rec.data() + 4, h, IO_ENDIAN_NATIVE);
    io_store32(rec.data() + 8, (uint32_t)runs.size(), IO_ENDIAN_NATIVE);
    rec.insert(rec.end(), runs.begin(), runs.end());
    return rec;
}

// A run-length image without width took every row as covered without reading
// a byte of it: with a height near 2^31 the loader walked two billion rows and
// then accepted the record.
TEST(RegressHostileInput, RunLengthImageWithoutWidth)
{
    struct row {
        const char* why;
        uint32_t w, h;
        std::vector<uint8_t> runs;
        bool loads;
    };
    const row rows[] = {
        {"runs in a row of no pixels", 0, 0x7FFFFFFFu, {5, 1}, false},
        {"one row of no pixels holding a run", 0, 1, {1, 7}, false},
        {"rows of no pixels are the byte 0", 0, 3, {0, 0, 0}, true},
        {"no rows at all", 0, 0, {}, true},
    };
    test_arena ta;
    for (const row& r : rows) {
        std::vector<uint8_t> rec = rle_record(r.w, r.h, r.runs);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[rec.size()]);
        memcpy(exact.get(), rec.data(), rec.size());
        vexil_rle_image img;
        testing::internal::CaptureStdout();
        const uint8_t* end = vexil_rle_image_load(&ta.arena, &img, exact.get(), rec.size(), 1, IO_ENDIAN_NATIVE);
        std::string out = testing::internal::GetCapturedStdout();
        if (r.loads) {
            EXPECT_EQ(exact.get() + rec.size(), end) << r.why;
            EXPECT_EQ("", out) << r.why;
        } else {
            EXPECT_EQ(nullptr, end) << r.why;
            EXPECT_EQ("run-length image record refused: run-length image rows do not cover their width\n", out)
                << r.why;
        }
    }
}

// Brightness levels from a starfield row's arguments: their count was taken in
// int, so a range near the int limits overflowed, and a power-of-two count
// there let the drawing add the palette offset past INT_MAX.
TEST(RegressHostileInput, StarfieldBrightnessLevelsOutsideTheColourTable)
{
    struct row {
        const char* why;
        int first, last;
        const char* message;
    };
    const char* kOutside = "lie outside the colour indices 0..255\n";
    const row rows[] = {
        {"count overflows int", 10, INT_MIN, kOutside},
        {"64 levels ending at INT_MAX", INT_MAX - 63, INT_MAX, kOutside},
        {"64 levels from INT_MIN", INT_MIN, INT_MIN + 63, kOutside},
        {"one past the table", 0, 256, kOutside},
        {"below the table", -1, 0, kOutside},
        {"the whole table", 0, 255, nullptr},
    };
    for (const row& r : rows) {
        captured_run res = capture_run([&] {
            std::vector<uint8_t> block(1 << 20);
            memarena arena;
            memarena_init(&arena, "test", block.size(), block.data());
            std::vector<vexil_starfield_star> stars(16);
            palette pal;
            palette_init(&pal, &arena, 0, 256);
            vexil_starfield sf;
            memset(&sf, 0, sizeof(sf));
            vexil_starfield_init_i8(&sf, 4, stars.data(), 1, 64, 32, &pal, r.first, r.last, &arena);
        });
        if (r.message) {
            EXPECT_EQ(1, res.status) << r.why;
            EXPECT_NE(std::string::npos, res.err.find(r.message)) << r.why << ": " << res.err;
        } else {
            EXPECT_TRUE(res.exited && res.status == 0) << r.why << ": " << res.err;
        }
    }
}

}  // namespace
