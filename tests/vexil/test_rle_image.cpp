// Run-length images: the encoder's runs, the record in both byte orders with
// in-place reuse, the loader refusing truncated and malformed runs, drawing and
// erasing against a per-pixel reference, and the crop stops.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_rle_image.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

struct plane {
    std::vector<uint8_t> pixels;
    n3d_framebuffer fb{};
    plane(int w, int h, int row_bytes, uint8_t fill, int format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        : pixels((size_t)row_bytes * h, fill)
    {
        fb = n3d_framebuffer{0, format, w, h, row_bytes, pixels.data()};
    }
    uint8_t at(int x, int y) const { return pixels[(size_t)y * fb.row_bytes + x]; }
};

std::vector<uint8_t> runs_of(const vexil_rle_image& img)
{
    return std::vector<uint8_t>(img.rle_data, img.rle_data + img.rle_size);
}

std::vector<uint8_t> record_of(const vexil_rle_image& img, int endian)
{
    std::vector<uint8_t> buf(12 + (size_t)img.rle_size);
    uint8_t* end = vexil_rle_image_store(buf.data(), &img, endian);
    EXPECT_EQ(buf.data() + buf.size(), end);
    return buf;
}

// A picture with runs of every kind: long key stretches, long and short colour
// runs, and rows wholly of the key.
plane sample_picture(int w, int h, uint8_t key)
{
    plane p(w, h, w, key);
    uint32_t s = 12345;
    for (int y = 0; y < h; ++y) {
        if (y % 5 == 2)
            continue;
        int x = 0;
        while (x < w) {
            s = s * 1103515245u + 12345u;
            int len = 1 + (int)((s >> 16) % 200);
            uint8_t c = (s >> 8) % 3 == 0 ? key : (uint8_t)(1 + (s >> 24) % 9);
            for (int k = 0; k < len && x < w; ++k, ++x)
                p.pixels[(size_t)y * w + x] = c;
        }
    }
    return p;
}

}  // namespace

TEST(RleImage, EncoderRuns)
{
    struct row {
        const char* why;
        std::vector<std::pair<int, int>> pixels;  // (count, colour), key is 0
        std::vector<uint8_t> runs;
    };
    const row rows[] = {
        {"a row of 300 key pixels is one 0 byte", {{300, 0}}, {0}},
        {"130 key then 170 of colour 5", {{130, 0}, {170, 5}}, {128, 127, 128, 3, 127, 5, 43, 5}},
        {"one pixel", {{1, 7}}, {1, 7}},
        {"127 of a colour is one run", {{127, 9}}, {127, 9}},
        {"128 of a colour splits", {{128, 9}}, {127, 9, 1, 9}},
        {"alternating", {{1, 0}, {2, 2}, {1, 3}, {1, 0}}, {128, 1, 2, 2, 1, 3, 128, 1}},
        {"trailing key pixels are runs too", {{3, 4}, {200, 0}}, {3, 4, 128, 127, 128, 73}},
    };
    for (const row& r : rows) {
        int w = 0;
        for (auto& pc : r.pixels)
            w += pc.first;
        plane p(w, 1, w, 0);
        int x = 0;
        for (auto& pc : r.pixels)
            for (int k = 0; k < pc.first; ++k)
                p.pixels[(size_t)x++] = (uint8_t)pc.second;
        test_arena ta;
        vexil_rle_image img;
        vexil_rle_image_from_framebuffer(&img, &ta.arena, &p.fb, 0);
        EXPECT_EQ(w, img.w) << r.why;
        EXPECT_EQ(1, img.h) << r.why;
        EXPECT_EQ(r.runs, runs_of(img)) << r.why;
    }
}

TEST(RleImage, EncoderCountsWidthNotRowPadding)
{
    // Row bytes 8, width 3: the padding bytes (colour 9) must not enter the runs.
    plane p(3, 2, 8, 9);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            p.pixels[(size_t)y * 8 + x] = y == 0 ? 0 : 4;
    test_arena ta;
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &ta.arena, &p.fb, 0);
    EXPECT_EQ((std::vector<uint8_t>{0, 3, 4}), runs_of(img));
}

TEST(RleImage, EncoderNeedsAnIndex8Plane)
{
    plane p(4, 1, 8, 0, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    captured_run r = capture_run([&] {
        test_arena ta;
        vexil_rle_image img;
        vexil_rle_image_from_framebuffer(&img, &ta.arena, &p.fb, 0);
    });
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 framebuffer supported for now!\n", r.out);
}

TEST(RleImage, RecordRoundTripsAndReusesNativeData)
{
    plane pic = sample_picture(300, 12, 0);
    test_arena ta;
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &ta.arena, &pic.fb, 0);
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        std::vector<uint8_t> rec = record_of(img, endian);
        uint32_t w;
        io_load32(&w, rec.data(), endian);
        EXPECT_EQ(300u, w);
        for (int reuse : {0, 1}) {
            vexil_rle_image back;
            ASSERT_EQ(rec.data() + rec.size(),
                      vexil_rle_image_load(&ta.arena, &back, rec.data(), rec.size(), reuse, endian));
            EXPECT_EQ(img.w, back.w);
            EXPECT_EQ(img.h, back.h);
            EXPECT_EQ(runs_of(img), runs_of(back));
            EXPECT_EQ(reuse && endian == IO_ENDIAN_NATIVE, back.rle_data == rec.data() + 12);
        }
    }
}

TEST(RleImage, LoaderRefusesTruncatedAndMalformedRuns)
{
    struct row {
        const char* why;
        uint32_t w, h;
        std::vector<uint8_t> runs;
        uint32_t rle_size;  // 0: the size of runs
        const char* message;
    };
    const char* kRows = "run-length image rows do not cover their width";
    const row rows[] = {
        {"row covers one pixel too many", 4, 1, {3, 1, 2, 1}, 0, kRows},
        {"row covers one pixel too few", 4, 1, {3, 1}, 0, kRows},
        {"zero run inside a row", 4, 1, {2, 1, 0, 1, 2, 1}, 0, kRows},
        {"skip of zero", 4, 1, {128, 0, 4, 1}, 0, kRows},
        {"run byte above 128", 4, 1, {200, 1}, 0, kRows},
        {"fewer rows than h", 4, 3, {0, 4, 2}, 0, kRows},
        {"pair cut in half", 4, 1, {4}, 0, kRows},
        {"runs longer than the record", 4, 1, {4, 2}, 99, "run-length image runs do not fit"},
        {"width above int", 0x80000000u, 1, {0}, 0, "run-length image size above the largest int"},
    };
    test_arena ta;
    for (const row& r : rows) {
        std::vector<uint8_t> rec(12);
        io_store32(rec.data(), r.w, IO_ENDIAN_NATIVE);
        io_store32(rec.data() + 4, r.h, IO_ENDIAN_NATIVE);
        io_store32(rec.data() + 8, r.rle_size ? r.rle_size : (uint32_t)r.runs.size(), IO_ENDIAN_NATIVE);
        rec.insert(rec.end(), r.runs.begin(), r.runs.end());
        std::unique_ptr<uint8_t[]> exact(new uint8_t[rec.size()]);
        memcpy(exact.get(), rec.data(), rec.size());
        vexil_rle_image back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, vexil_rle_image_load(&ta.arena, &back, exact.get(), rec.size(), 1, IO_ENDIAN_NATIVE))
            << r.why;
        EXPECT_EQ("run-length image record refused: " + std::string(r.message) + "\n",
                  testing::internal::GetCapturedStdout())
            << r.why;
    }
    // Every prefix of a good record fails.
    plane pic = sample_picture(40, 6, 0);
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &ta.arena, &pic.fb, 0);
    std::vector<uint8_t> rec = record_of(img, IO_ENDIAN_SWAPPED);
    for (size_t n = 0; n < rec.size(); ++n) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), rec.data(), n);
        vexil_rle_image back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, vexil_rle_image_load(&ta.arena, &back, exact.get(), n, 0, IO_ENDIAN_SWAPPED)) << n;
        testing::internal::GetCapturedStdout();
    }
}

TEST(RleImage, DrawAndEraseTouchExactlyTheColouredPixels)
{
    const uint8_t key = 0;
    plane pic = sample_picture(61, 9, key);
    test_arena ta;
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &ta.arena, &pic.fb, key);
    for (int x0 : {0, 1, 2, 3, 5, 7, 19}) {
        for (int y0 : {0, 3}) {
            plane dst(80, 12, 83, 200);
            vexil_rle_image_draw(&dst.fb, &img, x0, y0);
            for (int y = 0; y < dst.fb.h; ++y)
                for (int x = 0; x < dst.fb.row_bytes; ++x) {
                    const int ix = x - x0, iy = y - y0;
                    uint8_t want = 200;
                    if (ix >= 0 && ix < 61 && iy >= 0 && iy < 9 && pic.at(ix, iy) != key)
                        want = pic.at(ix, iy);
                    ASSERT_EQ(want, dst.at(x, y)) << x0 << "," << y0 << " pixel " << x << "," << y;
                }
            vexil_rle_image_erase(&dst.fb, &img, x0, y0, 77);
            for (int y = 0; y < dst.fb.h; ++y)
                for (int x = 0; x < dst.fb.row_bytes; ++x) {
                    const int ix = x - x0, iy = y - y0;
                    const bool coloured = ix >= 0 && ix < 61 && iy >= 0 && iy < 9 && pic.at(ix, iy) != key;
                    ASSERT_EQ(coloured ? 77 : 200, dst.at(x, y)) << "erase " << x << "," << y;
                }
        }
    }
}

TEST(RleImage, ColourRunsOfEveryLengthAndAlignment)
{
    // The fill switches between byte, 2-, 4- and 8-byte stores by count and address.
    test_arena ta;
    for (int n = 1; n <= 127; ++n) {
        plane pic(n, 1, n, 6);
        vexil_rle_image img;
        vexil_rle_image_from_framebuffer(&img, &ta.arena, &pic.fb, 0);
        for (int x0 = 0; x0 < 8; ++x0) {
            plane dst(144, 1, 144, 1);
            vexil_rle_image_draw(&dst.fb, &img, x0, 0);
            for (int x = 0; x < 144; ++x)
                ASSERT_EQ(x >= x0 && x < x0 + n ? 6 : 1, dst.at(x, 0)) << "n " << n << " x0 " << x0 << " x " << x;
        }
    }
}

TEST(RleImage, CropStopsAndPlacementsOutside)
{
    plane pic = sample_picture(8, 4, 0);
    test_arena ta;
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &ta.arena, &pic.fb, 0);
    struct row {
        int x0, y0;
        const char* message;  // null: draws without stopping
    };
    const row rows[] = {
        {8, 0, nullptr},  // right edge exactly at the width
        {0, 4, nullptr},  // bottom edge exactly at the height
        {9, 0, "crop not implemented.. image width + dst_x0 > fb width! (8+9 vs 16)\n"},
        {0, 5, "crop not implemented.. image height + dst_y0 > fb height! (4+5 vs 8)\n"},
        {-3, 0, "crop not implemented.. dst_x0 or dst_y0 < 0! (-3 0)\n"},
        {0, -1, "crop not implemented.. dst_x0 or dst_y0 < 0! (0 -1)\n"},
        {16, 0, nullptr},  // wholly outside: nothing
        {-8, 0, nullptr},
        {0, -4, nullptr},
        {0, 8, nullptr},
    };
    for (const row& r : rows) {
        captured_run c = capture_run([&] {
            plane dst(16, 8, 16, 200);
            vexil_rle_image_draw(&dst.fb, &img, r.x0, r.y0);
            bool outside = r.x0 >= 16 || r.y0 >= 8 || r.x0 + 8 <= 0 || r.y0 + 4 <= 0;
            for (uint8_t v : dst.pixels)
                if (outside && v != 200)
                    _exit(3);
        });
        if (r.message) {
            EXPECT_EQ(1, c.status) << r.x0 << "," << r.y0;
            EXPECT_EQ(0u, crash_site(c.err).find(crash_site("crash in  at src/vexil_rle_image:"))) << c.err;
            EXPECT_NE(std::string::npos, c.err.find(r.message)) << c.err;
        } else {
            EXPECT_EQ(0, c.status) << r.x0 << "," << r.y0 << c.err;
        }
    }
}
