// 8-bit colour-mapped TGA images: the writer's layout, the reader's refusals of
// unsupported and short files, and both directions against an independent
// implementation (Pillow).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/tga.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/windows_skip.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

struct picture {
    int w, h, colors;
    std::vector<uint8_t> rgba, pixels;
    picture(int w_, int h_, int colors_) : w(w_), h(h_), colors(colors_), rgba(4u * colors_), pixels((size_t)w_ * h_)
    {
        for (int i = 0; i < colors; ++i) {
            rgba[4 * i + 0] = (uint8_t)(i * 3 + 1);
            rgba[4 * i + 1] = (uint8_t)(255 - i);
            rgba[4 * i + 2] = (uint8_t)(i * 7);
            rgba[4 * i + 3] = (uint8_t)(i & 1 ? 0 : 128);  // alpha is not stored
        }
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = (uint8_t)((i * 13 + i / (size_t)w) % (size_t)colors);
    }
    tga record() { return tga{pixels.data(), w, h, colors, rgba.data()}; }
};

std::string write_file(const std::string& path, const void* data, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(data, 1, n, f);
    fclose(f);
    return path;
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

// The raw form the Pillow helper reads: w, h, count, RGB entries, indices.
std::string write_raw(const std::string& path, const picture& p)
{
    std::vector<uint8_t> raw = {(uint8_t)p.w,        (uint8_t)(p.w >> 8), (uint8_t)p.h,
                                (uint8_t)(p.h >> 8), (uint8_t)p.colors,   (uint8_t)(p.colors >> 8)};
    for (int i = 0; i < p.colors; ++i)
        raw.insert(raw.end(), {p.rgba[4 * i], p.rgba[4 * i + 1], p.rgba[4 * i + 2]});
    raw.insert(raw.end(), p.pixels.begin(), p.pixels.end());
    return write_file(path, raw.data(), raw.size());
}

captured_run pillow(const std::string& cmd, const std::string& tga_path, const std::string& raw_path)
{
    std::string script = std::string(QF_SOURCE_DIR) + "/tests/image/tga_pillow.py";
    return capture_program({"/usr/bin/python3", script, cmd, tga_path, raw_path}, "", {}, 60);
}

void expect_loaded(const picture& p, const tga& t)
{
    ASSERT_EQ(p.w, t.width);
    ASSERT_EQ(p.h, t.height);
    ASSERT_EQ(p.colors, t.palette_count);
    EXPECT_EQ(0, memcmp(p.pixels.data(), t.buffer, p.pixels.size()));
    for (int i = 0; i < p.colors; ++i) {
        EXPECT_EQ(p.rgba[4 * i + 0], t.palette_rgba8888[4 * i + 0]) << i;
        EXPECT_EQ(p.rgba[4 * i + 1], t.palette_rgba8888[4 * i + 1]) << i;
        EXPECT_EQ(p.rgba[4 * i + 2], t.palette_rgba8888[4 * i + 2]) << i;
        EXPECT_EQ(255, t.palette_rgba8888[4 * i + 3]) << i;
    }
}

}  // namespace

TEST(Tga, SaveLayoutAndLoadBack)
{
    test_arena ta;
    picture p(16, 8, 256);
    tga t = p.record();
    uint64_t size = 0;
    uint8_t* file = tga_save_as_8bpp_palette_rgba8888(&t, &ta.arena, &size);
    ASSERT_EQ(914u, size);  // 18 + 768 + 128
    const uint8_t header[18] = {0, 1, 1, 0, 0, 0, 1, 24, 0, 0, 0, 0, 16, 0, 8, 0, 8, 0};
    EXPECT_EQ(0, memcmp(header, file, 18));
    // Colour map B, G, R; the first stored row is the bottom one.
    EXPECT_EQ(p.rgba[4 * 5 + 2], file[18 + 15]);
    EXPECT_EQ(p.rgba[4 * 5 + 0], file[18 + 17]);
    EXPECT_EQ(0, memcmp(file + 18 + 768, p.pixels.data() + 7 * 16, 16));
    tga back;
    ASSERT_EQ(0, tga_load_as_8bpp_palette_rgba8888(&back, &ta.arena, file, size));
    expect_loaded(p, back);
}

TEST(Tga, HonoursTheIdField)
{
    test_arena ta;
    picture p(4, 3, 5);
    tga t = p.record();
    uint64_t size = 0;
    uint8_t* file = tga_save_as_8bpp_palette_rgba8888(&t, &ta.arena, &size);
    std::vector<uint8_t> with_id(file, file + 18);
    with_id[0] = 3;
    with_id.insert(with_id.end(), {'a', 'b', 'c'});
    with_id.insert(with_id.end(), file + 18, file + size);
    tga back;
    ASSERT_EQ(0, tga_load_as_8bpp_palette_rgba8888(&back, &ta.arena, with_id.data(), with_id.size()));
    expect_loaded(p, back);
}

TEST(Tga, RefusesUnsupportedAndShortFiles)
{
    test_arena ta;
    picture p(4, 2, 3);
    tga t = p.record();
    uint64_t size = 0;
    uint8_t* file = tga_save_as_8bpp_palette_rgba8888(&t, &ta.arena, &size);
    const std::vector<uint8_t> good(file, file + size);
    struct row {
        const char* why;
        size_t offset;
        std::vector<uint8_t> bytes;
        size_t keep;  // bytes of the file handed to the loader, 0: all
        const char* message;
    };
    const char* kShort = "tga file shorter than its colour map and pixels\n";
    const row rows[] = {
        {"no colour map", 1, {0}, 0, "tga loader only support palette images without compression!\n"},
        {"run-length data", 2, {9}, 0, "tga loader only support palette images without compression!\n"},
        {"map origin", 3, {1, 0}, 0, "tga loader only support color map origin low\n"},
        {"257 entries", 5, {1, 1}, 0, "tga loader only support palettes of max 256 entries\n"},
        {"16-bit map", 7, {16}, 0, "tga loader only support 24-bit palette entries\n"},
        {"x origin", 8, {1, 0}, 0, "tga loader only support origin of (0,0)\n"},
        {"y origin", 10, {0, 1}, 0, "tga loader only support origin of (0,0)\n"},
        {"16 bits a pixel", 16, {16}, 0, "tga loader only support 8 bits per pixel\n"},
        {"shorter than the header", 0, {}, 17, "tga file shorter than its header\n"},
        {"empty", 0, {}, 1000, "tga file shorter than its header\n"},
        {"colour map cut", 0, {}, 18 + 8, kShort},
        {"last pixel missing", 0, {}, 18 + 9 + 7, kShort},
        {"id field past the end", 0, {200}, 0, kShort},
        {"more colours than stored", 5, {200, 0}, 0, kShort},
        {"taller than stored", 14, {3, 0}, 0, kShort},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        if (!r.bytes.empty())
            memcpy(bad.data() + r.offset, r.bytes.data(), r.bytes.size());
        size_t n = r.keep == 0 ? bad.size() : r.keep == 1000 ? 0 : r.keep;
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), bad.data(), n);
        tga back;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, tga_load_as_8bpp_palette_rgba8888(&back, &ta.arena, exact.get(), n)) << r.why;
        EXPECT_EQ(r.message, testing::internal::GetCapturedStderr()) << r.why;
    }
}

TEST(Tga, PillowReadsWhatWeWrite)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    std::string dir = capture_temp_dir();
    for (auto shape : {std::vector<int>{16, 8, 256}, std::vector<int>{5, 3, 7}, std::vector<int>{1, 9, 2}}) {
        test_arena ta;
        picture p(shape[0], shape[1], shape[2]);
        tga t = p.record();
        uint64_t size = 0;
        uint8_t* file = tga_save_as_8bpp_palette_rgba8888(&t, &ta.arena, &size);
        std::string tga_path = write_file(dir + "/ours.tga", file, size);
        std::string raw_path = write_raw(dir + "/expected.raw", p);
        captured_run r = pillow("check", tga_path, raw_path);
        EXPECT_EQ(1, r.exited);
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ("ok\n", r.out) << r.err;
    }
}

TEST(Tga, WeReadWhatPillowWrites)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    std::string dir = capture_temp_dir();
    for (auto shape : {std::vector<int>{16, 8, 256}, std::vector<int>{7, 5, 12}}) {
        picture p(shape[0], shape[1], shape[2]);
        std::string raw_path = write_raw(dir + "/source.raw", p);
        std::string tga_path = dir + "/pillow.tga";
        captured_run r = pillow("write", tga_path, raw_path);
        ASSERT_EQ(0, r.status) << r.out << r.err;
        std::vector<uint8_t> file = read_file(tga_path);
        ASSERT_GT(file.size(), 18u);
        test_arena ta;
        tga back;
        ASSERT_EQ(0, tga_load_as_8bpp_palette_rgba8888(&back, &ta.arena, file.data(), file.size()));
        // Pillow may keep a longer colour map than the colours put in.
        ASSERT_GE(back.palette_count, p.colors);
        back.palette_count = p.colors;
        expect_loaded(p, back);
    }
}

TEST(Tga, EmptyImagesSaveAndLoad)
{
    // No pixels (and no colours) is a valid file: nothing is copied from or to null blocks.
    for (auto shape : {std::vector<int>{0, 3, 2}, std::vector<int>{4, 0, 0}}) {
        test_arena ta;
        picture p(shape[0], shape[1], shape[2] ? shape[2] : 1);
        tga t = p.record();
        t.palette_count = shape[2];
        t.buffer = nullptr;
        uint64_t size = 0;
        uint8_t* file = tga_save_as_8bpp_palette_rgba8888(&t, &ta.arena, &size);
        ASSERT_EQ(18u + 3u * (uint64_t)shape[2], size);
        tga back;
        ASSERT_EQ(0, tga_load_as_8bpp_palette_rgba8888(&back, &ta.arena, file, size));
        EXPECT_EQ(shape[0], back.width);
        EXPECT_EQ(shape[1], back.height);
        EXPECT_EQ(shape[2], back.palette_count);
    }
}
