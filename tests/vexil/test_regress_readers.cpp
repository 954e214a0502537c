// Hostile records the fuzz targets found readers of production data mishandling,
// one row each: the bytes the reader was given and what it must do with them.
// The inputs themselves also sit in fuzz/corpus, which the replay tests run.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "vexil/vexil_rle_image.h"

namespace {

struct test_arena {
    std::vector<uint8_t> block;
    memarena arena;
    explicit test_arena(size_t size = 1u << 20) : block(size) { memarena_init(&arena, "test", size, block.data()); }
};

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
TEST(RegressReaders, RunLengthImageWithoutWidth)
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

}  // namespace
