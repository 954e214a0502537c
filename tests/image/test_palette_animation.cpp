// Palette animations: the record in both byte orders, the bounded reader, the
// file loader's failure exit, the blit into an index8 frame context, and the TGA
// export (file names, grey ramp, colour maps that keep each index's colour),
// with the exported files read back by this system's reader and by Pillow.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/memarena.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "image/tga.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/windows_skip.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<4u << 20>;

// w x h indices and frames of (offset, count) with distinct colours.
struct animation {
    std::vector<uint8_t> image;
    std::vector<std::vector<uint8_t>> colours;
    std::vector<palette> frames;
    palette_animation panim{};
    animation(int w, int h, std::vector<std::pair<int, int>> slices)
    {
        image.resize((size_t)w * h);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = (uint8_t)(slices.empty() ? i : slices[0].first + (int)(i % (size_t)slices[0].second));
        colours.resize(slices.size());
        for (size_t f = 0; f < slices.size(); ++f) {
            colours[f].resize(4u * (size_t)slices[f].second);
            for (size_t k = 0; k < colours[f].size(); ++k)
                colours[f][k] = (uint8_t)(f * 50 + k * 3 + 1);
            frames.push_back(palette{slices[f].first, slices[f].second, colours[f].data()});
        }
        panim = palette_animation{w, h, (int)frames.size(), image.data(), frames.data()};
    }
};

void expect_same(const palette_animation& a, const palette_animation& b)
{
    ASSERT_EQ(a.w, b.w);
    ASSERT_EQ(a.h, b.h);
    ASSERT_EQ(a.frames_count, b.frames_count);
    EXPECT_EQ(0, memcmp(a.image, b.image, (size_t)a.w * a.h));
    for (int f = 0; f < a.frames_count; ++f) {
        EXPECT_EQ(a.frames[f].offset, b.frames[f].offset);
        ASSERT_EQ(a.frames[f].count, b.frames[f].count);
        EXPECT_EQ(0, memcmp(a.frames[f].rgba8888, b.frames[f].rgba8888, 4u * a.frames[f].count));
    }
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> v;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return v;
    int c;
    while ((c = fgetc(f)) != EOF)
        v.push_back((uint8_t)c);
    fclose(f);
    return v;
}

}  // namespace

TEST(PaletteAnimation, RecordRoundTripsInBothOrders)
{
    animation a(2, 2, {{0, 4}, {4, 4}, {250, 4}});
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        std::vector<uint8_t> buf(256);
        uint8_t* end = palette_animation_io_store(buf.data(), &a.panim, endian);
        ASSERT_EQ(70, end - buf.data());  // 6 + 4 + 3 x (4 + 16)
        uint16_t w;
        io_load16(&w, buf.data(), endian);
        EXPECT_EQ(2, w);
        test_arena ta;
        palette_animation back;
        ASSERT_EQ(buf.data() + 70, palette_animation_io_load(&ta.arena, &back, buf.data(), 70, endian));
        expect_same(a.panim, back);
    }
    std::vector<uint8_t> native(70), swapped(70);
    palette_animation_io_store(native.data(), &a.panim, IO_ENDIAN_NATIVE);
    palette_animation_io_store(swapped.data(), &a.panim, IO_ENDIAN_SWAPPED);
    EXPECT_EQ(native[0], swapped[1]);
    EXPECT_EQ(0, memcmp(native.data() + 6, swapped.data() + 6, 4));  // indices are bytes
}

TEST(PaletteAnimation, RefusesTruncatedRecordsAndFramesPastTheTable)
{
    animation a(4, 2, {{0, 3}, {10, 2}});
    std::vector<uint8_t> good(256);
    good.resize((size_t)(palette_animation_io_store(good.data(), &a.panim, IO_ENDIAN_NATIVE) - good.data()));
    test_arena ta;
    for (size_t n = 0; n < good.size(); ++n) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
        memcpy(p.get(), good.data(), n);
        palette_animation back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, palette_animation_io_load(&ta.arena, &back, p.get(), n, IO_ENDIAN_NATIVE)) << n;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0u, out.find("palette animation record refused: ")) << out;
    }
    struct row {
        const char* why;
        size_t offset;
        uint16_t value;
        const char* message;
    };
    const size_t frame1 = 6 + 8 + 4 + 12;
    const row rows[] = {
        {"frames beyond the record", 4, 1000, "palette animation frames do not fit"},
        {"image beyond the record", 0, 300, "palette animation image does not fit"},
        {"frame reaches past 256", frame1, 255, "palette animation frame reaches past 256 colours"},
        {"frame count beyond the record", frame1 + 2, 3, "palette animation frame does not fit"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        io_store16(bad.data() + r.offset, r.value, IO_ENDIAN_NATIVE);
        palette_animation back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, palette_animation_io_load(&ta.arena, &back, bad.data(), bad.size(), IO_ENDIAN_NATIVE));
        EXPECT_EQ("palette animation record refused: " + std::string(r.message) + "\n",
                  testing::internal::GetCapturedStdout())
            << r.why;
    }
}

TEST(PaletteAnimation, FileLoaderReadsBothOrdersAndExitsOnFailure)
{
    std::string dir = capture_temp_dir();
    animation a(8, 2, {{16, 8}});
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        std::vector<uint8_t> buf(256);
        uint8_t* end = palette_animation_io_store(buf.data(), &a.panim, endian);
        std::string path = dir + "/anim" + std::to_string(endian) + ".pal";
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, n3d_io_store_file(path.c_str(), buf.data(), end, endian));
        testing::internal::GetCapturedStdout();
        test_arena ta;
        palette_animation* back = palette_animation_load_file(&ta.arena, path.c_str());
        ASSERT_NE(nullptr, back);
        expect_same(a.panim, *back);
        // The same file cut inside its last frame.
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, n3d_io_store_file(path.c_str(), buf.data(), end - 1, endian));
        testing::internal::GetCapturedStdout();
        captured_run r = capture_run([&] {
            test_arena t2;
            palette_animation_load_file(&t2.arena, path.c_str());
        });
        EXPECT_EQ(1, r.exited);
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.out.find("failed load file\n")) << r.out;
    }
    captured_run r = capture_run([&] {
        test_arena t2;
        palette_animation_load_file(&t2.arena, (dir + "/missing.pal").c_str());
    });
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("failed load file\n"));
}

TEST(PaletteAnimation, BlitDrawsTheImageARowWindowAtATime)
{
    test_arena ta;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &ta.arena, 32, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 0);
    animation a(8, 4, {});
    for (size_t i = 0; i < a.image.size(); ++i)
        a.image[i] = (uint8_t)(i + 1);
    const uint8_t* px = static_cast<const uint8_t*>(fc.fb->b);
    palette_animation_blit(&a.panim, &fc, 8, 2, 0, 2);  // rows 0 and 1 of the image
    palette_animation_blit(&a.panim, &fc, 8, 2, 3, 5);  // row 3 (the window ends at the image)
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            const int iy = y - 2, ix = x - 8;
            const bool drawn = ix >= 0 && ix < 8 && (iy == 0 || iy == 1 || iy == 3);
            EXPECT_EQ(drawn ? a.image[(size_t)iy * 8 + ix] : 0, px[y * 32 + x]) << x << "," << y;
        }
}

// Placements over every edge and far outside: only the visible part is drawn,
// and a corner beyond the int range does not wrap.
TEST(PaletteAnimation, BlitClipsAtEveryEdge)
{
    struct row {
        int x0, y0;
    } rows[] = {{-3, 1}, {28, 1},          {8, -2},          {8, 6},           {-8, 0},
                {32, 0}, {INT_MAX - 2, 0}, {0, INT_MAX - 1}, {INT_MIN + 1, 0}, {0, INT_MIN + 1}};
    animation a(8, 4, {});
    for (size_t i = 0; i < a.image.size(); ++i)
        a.image[i] = (uint8_t)(i + 1);
    for (const row& r : rows) {
        test_arena ta;
        n3d_frame_context fc;
        n3d_framecontext_init(&fc, &ta.arena, 32, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 0);
        palette_animation_blit(&a.panim, &fc, r.x0, r.y0, 0, 8);
        const uint8_t* px = static_cast<const uint8_t*>(fc.fb->b);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 32; ++x) {
                const long long ix = (long long)x - r.x0, iy = (long long)y - r.y0;
                const bool drawn = ix >= 0 && ix < 8 && iy >= 0 && iy < 4;
                ASSERT_EQ(drawn ? a.image[(size_t)(iy * 8 + ix)] : 0, px[y * 32 + x])
                    << r.x0 << "," << r.y0 << " at " << x << "," << y;
            }
    }
}

TEST(PaletteAnimation, ExportWritesRampAndFramesKeepingIndexColours)
{
    std::string dir = capture_temp_dir() + "/";
    // Frame 1 starts at entry 4: its colour map must still start at entry 0.
    animation a(4, 2, {{0, 6}, {4, 2}, {0, 3}});
    for (size_t i = 0; i < a.image.size(); ++i)
        a.image[i] = (uint8_t)(i % 6);
    test_arena tmp;
    palette_animation_store_as_tga_images(&a.panim, dir.c_str(), &tmp.arena);
    EXPECT_EQ(0u, memarena_get_marker(&tmp.arena));  // scratch given back

    struct expect_file {
        const char* name;
        int entries;
        int frame;  // -1: grey ramp
    };
    const expect_file files[] = {
        {"image-result.tga", 6, -1}, {"0000-result.tga", 6, 0}, {"0001-result.tga", 6, 1}, {"0002-result.tga", 3, 2}};
    for (const expect_file& e : files) {
        SCOPED_TRACE(e.name);
        std::vector<uint8_t> file = read_file(dir + e.name);
        ASSERT_FALSE(file.empty());
        test_arena ta;
        tga t;
        ASSERT_EQ(0, tga_load_as_8bpp_palette_rgba8888(&t, &ta.arena, file.data(), file.size()));
        ASSERT_EQ(e.entries, t.palette_count);
        EXPECT_EQ(0, memcmp(a.image.data(), t.buffer, a.image.size()));
        for (int i = 0; i < e.entries; ++i) {
            uint8_t want[3] = {(uint8_t)i, (uint8_t)i, (uint8_t)i};
            if (e.frame >= 0) {
                const palette& f = a.frames[e.frame];
                const int k = i - f.offset;
                for (int c = 0; c < 3; ++c)
                    want[c] = k >= 0 && k < f.count ? f.rgba8888[4 * k + c] : 0;
            }
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(want[c], t.palette_rgba8888[4 * i + c]) << "entry " << i;
        }
    }
    EXPECT_TRUE(read_file(dir + "0003-result.tga").empty());

    // An independent reader sees mode P with the frame's colours at their indices.
    std::vector<uint8_t> raw = {4, 0, 2, 0, 6, 0};
    for (int i = 0; i < 6; ++i)
        for (int c = 0; c < 3; ++c)
            raw.push_back(i >= 4 ? a.frames[1].rgba8888[4 * (i - 4) + c] : 0);
    raw.insert(raw.end(), a.image.begin(), a.image.end());
    std::string raw_path = dir + "frame1.raw";
    FILE* f = fopen(raw_path.c_str(), "wb");
    fwrite(raw.data(), 1, raw.size(), f);
    fclose(f);
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    std::string script = std::string(QF_SOURCE_DIR) + "/tests/image/tga_pillow.py";
    captured_run r =
        capture_program({"/usr/bin/python3", script, "check", dir + "0001-result.tga", raw_path}, "", {}, 60);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("ok\n", r.out);
}

TEST(PaletteAnimation, ExportWithoutFramesWritesAFullGreyRamp)
{
    std::string dir = capture_temp_dir() + "/";
    animation a(4, 1, {});
    test_arena tmp;
    palette_animation_store_as_tga_images(&a.panim, dir.c_str(), &tmp.arena);
    std::vector<uint8_t> file = read_file(dir + "image-result.tga");
    ASSERT_EQ(18u + 3 * 256 + 4, file.size());
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(i, file[18 + 3 * i + 1]) << i;
    EXPECT_TRUE(read_file(dir + "0000-result.tga").empty());
}

TEST(PaletteAnimation, ExportThatCannotWriteExits)
{
    animation a(4, 1, {{0, 2}});
    captured_run r = capture_run([&] {
        test_arena tmp;
        palette_animation_store_as_tga_images(&a.panim, "/nonexistent-dir/x-", &tmp.arena);
    });
    EXPECT_EQ(1, r.exited);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("failed write file \"/nonexistent-dir/x-image-result.tga\"\n", r.err);
}
