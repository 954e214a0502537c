// Bitmap fonts: the record in both byte orders, the loader's refusals, glyphs
// clipped at the framebuffer's edges (drawing and coverage), string printing
// with the pen rules, the unsupported-target stop and the file loader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/memarena.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"
#include "vexil/fontbitmap.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

bool bit(const n3d_coveragebuffer& cb, int x, int y)
{
    const uint64_t i = (uint64_t)y * (uint64_t)cb.w + (uint64_t)x;
    return (cb.u32[i >> 5] >> (31 - (i & 31))) & 1;
}

void set_bit(n3d_coveragebuffer* cb, int x, int y)
{
    const uint64_t i = (uint64_t)y * (uint64_t)cb->w + (uint64_t)x;
    cb->u32[i >> 5] |= 0x80000000u >> (i & 31);
}

// Glyphs for 'A' to 'C': glyph g is (3 + g) x 2, alpha (g + 1) x 10 + column
// with column 1 transparent; coverage set where alpha is non-zero, except row 1
// column 0, so coverage and alpha can be told apart.
struct font_fixture {
    test_arena ta{1u << 20};
    fontbitmap font{};
    font_fixture()
    {
        font.codepoint_first = 'A';
        font.codepoint_last = 'C';
        font.codepoint_count = 3;
        font.glyphs = memarena_push_array_zeroed<fontbitmap_glyph>(&ta.arena, 3);
        for (int g = 0; g < 3; ++g) {
            fontbitmap_glyph& gl = font.glyphs[g];
            gl.w = 3 + g;
            gl.h = 2;
            gl.xoff = 0.25f * (float)g;
            gl.yoff = -1.0f + (float)g;
            gl.xadvance = 5.5f + (float)g;
            gl.alpha = static_cast<uint8_t*>(memarena_push(&ta.arena, (uint64_t)gl.w * gl.h));
            n3d_coveragebuffer_init(&gl.cb, n3d_coveragebuffer_width_at_least(gl.w), gl.h, &ta.arena);
            for (int y = 0; y < gl.h; ++y)
                for (int x = 0; x < gl.w; ++x) {
                    uint8_t a = x == 1 ? 0 : (uint8_t)((g + 1) * 10 + x);
                    gl.alpha[y * gl.w + x] = a;
                    if (a && !(y == 1 && x == 0))
                        set_bit(&gl.cb, x, y);
                }
        }
    }
    std::vector<uint8_t> record(int endian)
    {
        std::vector<uint8_t> buf(4096);
        buf.resize((size_t)(fontbitmap_io_store(buf.data(), &font, endian) - buf.data()));
        return buf;
    }
};

struct target {
    std::vector<uint8_t> pixels;
    n3d_framebuffer fb{};
    test_arena ta{1u << 16};
    n3d_coveragebuffer cb{};
    target(int w, int h, int format, uint8_t fill = 0)
    {
        const int bpp = format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 ? 2 : 1;
        pixels.assign((size_t)w * h * bpp, fill);
        fb = n3d_framebuffer{0, format, w, h, w * bpp, pixels.data()};
        n3d_coveragebuffer_init(&cb, n3d_coveragebuffer_width_at_least(w), h, &ta.arena);
    }
    int at(int x, int y) const
    {
        if (fb.format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
            uint16_t v;
            memcpy(&v, pixels.data() + (size_t)y * fb.row_bytes + 2 * (size_t)x, 2);
            return v;
        }
        return pixels[(size_t)y * fb.row_bytes + x];
    }
};

struct tables {
    uint8_t clut[256];
    uint16_t argb[256];
    tables()
    {
        for (int a = 0; a < 256; ++a) {
            clut[a] = (uint8_t)(255 - a);
            argb[a] = (uint16_t)(0x8000 | a * 3);
        }
    }
};

}  // namespace

TEST(Font, RecordRoundTripsInBothOrders)
{
    font_fixture f;
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        std::vector<uint8_t> rec = f.record(endian);
        uint32_t first;
        io_load32(&first, rec.data(), endian);
        EXPECT_EQ((uint32_t)'A', first);
        test_arena ta;
        fontbitmap back;
        ASSERT_EQ(rec.data() + rec.size(), fontbitmap_io_load(&back, &ta.arena, rec.data(), rec.size(), endian));
        ASSERT_EQ(3, back.codepoint_count);
        EXPECT_EQ('A', back.codepoint_first);
        EXPECT_EQ('C', back.codepoint_last);
        for (int g = 0; g < 3; ++g) {
            const fontbitmap_glyph& a = f.font.glyphs[g];
            const fontbitmap_glyph& b = back.glyphs[g];
            EXPECT_EQ(a.w, b.w);
            EXPECT_EQ(a.h, b.h);
            EXPECT_EQ(a.xoff, b.xoff);
            EXPECT_EQ(a.yoff, b.yoff);
            EXPECT_EQ(a.xadvance, b.xadvance);
            EXPECT_EQ(0, memcmp(a.alpha, b.alpha, (size_t)a.w * a.h));
            ASSERT_EQ(a.cb.w, b.cb.w);
            ASSERT_EQ(a.cb.h, b.cb.h);
            EXPECT_EQ(0, memcmp(a.cb.u32, b.cb.u32, (size_t)a.cb.w * a.cb.h / 8));
        }
    }
}

TEST(Font, LoaderRefusals)
{
    font_fixture f;
    std::vector<uint8_t> good = f.record(IO_ENDIAN_NATIVE);
    test_arena ta;
    for (size_t n = 0; n < good.size(); ++n) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), good.data(), n);
        fontbitmap back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, fontbitmap_io_load(&back, &ta.arena, exact.get(), n, IO_ENDIAN_NATIVE)) << n;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0u, out.find("font record refused: ")) << out;
        EXPECT_NE(std::string::npos, out.find(" fit")) << out;
    }
    // Glyph 0 starts at 8: w, h (u16), xoff, yoff, xadvance, 6 alpha bytes, its coverage (w, h, words).
    struct row {
        const char* why;
        size_t offset;
        int width;  // 2 or 4 bytes
        uint32_t value;
        const char* message;
    };
    float nan = NAN;
    uint32_t nan_bits;
    memcpy(&nan_bits, &nan, 4);
    float big = 1e9f;
    uint32_t big_bits;
    memcpy(&big_bits, &big, 4);
    const size_t cb0 = 8 + 4 + 12 + 6;
    const row rows[] = {
        {"range ends before it starts", 4, 4, (uint32_t)'@', "font range ends before it starts"},
        {"range of millions of glyphs", 4, 4, 0x7FFFFFFFu, "font glyphs do not fit"},
        {"NaN offset", 8 + 4, 4, nan_bits, "font glyph placement not finite or beyond 65536"},
        {"huge advance", 8 + 12, 4, big_bits, "font glyph placement not finite or beyond 65536"},
        {"alpha beyond the record", 8, 2, 4000, "font glyph alpha does not fit"},
        {"coverage width not a multiple of 32", cb0, 4, 33, "coverage buffer width not a multiple of 32"},
        {"coverage of one row", cb0 + 4, 4, 1, "font glyph coverage smaller than the glyph"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        if (r.width == 4)
            io_store32(bad.data() + r.offset, r.value, IO_ENDIAN_NATIVE);
        else
            io_store16(bad.data() + r.offset, (uint16_t)r.value, IO_ENDIAN_NATIVE);
        fontbitmap back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, fontbitmap_io_load(&back, &ta.arena, bad.data(), bad.size(), IO_ENDIAN_NATIVE)) << r.why;
        EXPECT_EQ("font record refused: " + std::string(r.message) + "\n", testing::internal::GetCapturedStdout())
            << r.why;
    }
    // A glyph wider than its coverage buffer, written that way.
    font_fixture wide;
    wide.font.glyphs[1].w = 40;
    wide.font.glyphs[1].alpha = static_cast<uint8_t*>(memarena_push_zeroed(&wide.ta.arena, 80));
    std::vector<uint8_t> rec = wide.record(IO_ENDIAN_NATIVE);
    fontbitmap back;
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, fontbitmap_io_load(&back, &ta.arena, rec.data(), rec.size(), IO_ENDIAN_NATIVE));
    EXPECT_EQ("font record refused: font glyph coverage smaller than the glyph\n",
              testing::internal::GetCapturedStdout());
}

TEST(Font, GlyphClippedAtTheLeftEdgeDrawsOnlyItsVisibleColumns)
{
    font_fixture f;
    tables t;
    const fontbitmap_glyph& g = f.font.glyphs[2];  // 5 x 2
    for (int format : {N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555}) {
        for (int x0 : {-2, -4, -5, 30}) {
            SCOPED_TRACE("format " + std::to_string(format) + " x0 " + std::to_string(x0));
            target dst(32, 4, format, 9);
            fontbitmap_glyph_blit(&g, &dst.fb, &dst.cb, x0, 1, t.clut, t.argb);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 32; ++x) {
                    const int gx = x - x0, gy = y - 1;
                    const bool in = gx >= 0 && gx < g.w && gy >= 0 && gy < g.h;
                    const int a = in ? g.alpha[gy * g.w + gx] : 0;
                    const int untouched = format == 3 ? 9 : 0x0909;
                    const int want = a == 0 ? untouched : format == 3 ? t.clut[a] : t.argb[a];
                    ASSERT_EQ(want, dst.at(x, y)) << x << "," << y;
                    ASSERT_EQ(in && bit(g.cb, gx, gy), bit(dst.cb, x, y)) << "coverage " << x << "," << y;
                }
        }
    }
}

TEST(Font, GlyphCoverageOnlySetsBits)
{
    font_fixture f;
    tables t;
    target dst(32, 4, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    for (int i = 0; i < dst.cb.w * dst.cb.h / 32; ++i)
        dst.cb.u32[i] = 0xFFFFFFFFu;
    fontbitmap_glyph_blit(&f.font.glyphs[0], &dst.fb, &dst.cb, 3, 1, t.clut, t.argb);
    for (int i = 0; i < dst.cb.w * dst.cb.h / 32; ++i)
        EXPECT_EQ(0xFFFFFFFFu, dst.cb.u32[i]);
    // Without a coverage buffer only pixels change.
    target plain(32, 4, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    fontbitmap_glyph_blit(&f.font.glyphs[0], &plain.fb, nullptr, 3, 1, t.clut, t.argb);
    EXPECT_EQ(t.clut[10], plain.at(3, 1));
}

TEST(Font, PrintSkipsCharactersOutsideTheRangeWithoutMovingThePen)
{
    font_fixture f;
    tables t;
    target dst(64, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    float xpos = 3.75f, ypos = 4.5f;
    // '@' is below the range, 'D' above it, 0xC3 is negative as a signed character.
    fontbitmap_print_index8(&f.font, &dst.fb, &dst.cb, &xpos, &ypos,
                            "@A\xC3"
                            "DC",
                            t.clut);
    // Pen floored to (3, 4); A at floor(0.5 + 3 + 0) = 3, y floor(0.5 + 4 - 1) = 3; the
    // pen moves by 5.5; C at floor(0.5 + 8.5 + 0.5) = 9, y floor(0.5 + 4 + 1) = 5.
    EXPECT_EQ(3.0f + 5.5f + 7.5f, xpos);
    EXPECT_EQ(4.0f, ypos);
    target want(64, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8);
    fontbitmap_glyph_blit(&f.font.glyphs[0], &want.fb, &want.cb, 3, 3, t.clut, nullptr);
    fontbitmap_glyph_blit(&f.font.glyphs[2], &want.fb, &want.cb, 9, 5, t.clut, nullptr);
    EXPECT_EQ(want.pixels, dst.pixels);
    EXPECT_EQ(0, memcmp(want.cb.u32, dst.cb.u32, (size_t)want.cb.w * want.cb.h / 8));

    // The 16-bit form draws through its own table; an empty string moves nothing.
    target wide(64, 8, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    float x2 = 0.0f, y2 = 2.0f;
    fontbitmap_print_argb1555(&f.font, &wide.fb, nullptr, &x2, &y2, "B", t.argb);
    EXPECT_EQ(6.5f, x2);
    EXPECT_EQ(t.argb[20], wide.at(0, 2));
    fontbitmap_print_argb1555(&f.font, &wide.fb, nullptr, &x2, &y2, "", t.argb);
    EXPECT_EQ(6.0f, x2);  // only floored
}

TEST(Font, UnsupportedTargetsStop)
{
    struct row {
        int format;
        bool clut, argb;
    };
    const row rows[] = {{N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, true, true},
                        {N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, false, true},
                        {N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, true, false}};
    for (const row& r : rows) {
        captured_run c = capture_run([&] {
            font_fixture f;
            tables t;
            target dst(32, 4, r.format);
            fontbitmap_glyph_blit(&f.font.glyphs[0], &dst.fb, nullptr, 0, 0, r.clut ? t.clut : nullptr,
                                  r.argb ? t.argb : nullptr);
        });
        EXPECT_EQ(1, c.status);
        EXPECT_NE(std::string::npos, crash_site(c.err).find(crash_site("crash at src/fontbitmap:"))) << c.err;
        EXPECT_NE(std::string::npos, c.err.find("not implemented for dst format " + std::to_string(r.format) + "\n"))
            << c.err;
    }
}

TEST(Font, FileLoader)
{
    font_fixture f;
    std::string dir = capture_temp_dir();
    std::string path = dir + "/font.fnt";
    std::vector<uint8_t> rec = f.record(IO_ENDIAN_SWAPPED);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, n3d_io_store_file(path.c_str(), rec.data(), rec.data() + rec.size(), IO_ENDIAN_SWAPPED));
    testing::internal::GetCapturedStdout();
    test_arena ta;
    fontbitmap* back = fontbitmap_load_file(&ta.arena, path.c_str());
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(7.5f, back->glyphs[2].xadvance);
    for (const std::string& bad : {dir + "/missing.fnt", std::string("cut")}) {
        std::string p = bad;
        if (bad == "cut") {
            p = dir + "/cut.fnt";
            testing::internal::CaptureStdout();
            n3d_io_store_file(p.c_str(), rec.data(), rec.data() + rec.size() - 1, IO_ENDIAN_SWAPPED);
            testing::internal::GetCapturedStdout();
        }
        captured_run c = capture_run([&] {
            test_arena t2;
            fontbitmap_load_file(&t2.arena, p.c_str());
        });
        EXPECT_EQ(1, c.status);
        EXPECT_NE(std::string::npos, c.out.find("failed load file \"" + p + "\"\n")) << c.out;
    }
}
