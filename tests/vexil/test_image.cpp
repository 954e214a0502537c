// Images: the record (size and an unswizzled 8-bit texture) in both byte
// orders with in-place texels, the loader's refusals, and drawing into an
// index8 frame context with its stops for unsupported textures and targets.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_image.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

// A w x h picture in an unswizzled format-3 texture of 2^w_log2 x 2^h_log2.
struct picture {
    std::vector<uint8_t> texels, palette = std::vector<uint8_t>(256), shades = std::vector<uint8_t>(256 * 32);
    uint8_t* mips[1];
    vexil_image image{};
    picture(int w, int h, int w_log2, int h_log2, int format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        : texels((size_t)1 << (w_log2 + h_log2))
    {
        for (size_t i = 0; i < texels.size(); ++i)
            texels[i] = (uint8_t)(i * 5 + 3);
        for (size_t i = 0; i < shades.size(); ++i)
            shades[i] = (uint8_t)(i >> 5);
        mips[0] = texels.data();
        n3d_texture& t = image.texture;
        t.format = format;
        t.not_swizzled = 1;
        t.w_log2 = t.min_u_level = w_log2;
        t.h_log2 = t.min_v_level = h_log2;
        t.mips = mips;
        t.colors_count = 256;
        t.shades_per_color = 32;
        t.palette = palette.data();
        t.shade_table = shades.data();
        image.w = w;
        image.h = h;
    }
    std::vector<uint8_t> record(int endian)
    {
        std::vector<uint8_t> buf(8 + 10 + 256 * 33 + texels.size());
        EXPECT_EQ(buf.data() + buf.size(), vexil_image_store(buf.data(), &image, endian));
        return buf;
    }
};

}  // namespace

TEST(Image, RecordRoundTripsAndKeepsNativeTexelsInPlace)
{
    // The second picture is wider than 256, as images over the 640-wide overlay are.
    struct shape {
        int w, h, w_log2, h_log2;
    };
    for (const shape sh : {shape{6, 3, 3, 2}, shape{300, 3, 9, 2}}) {
        SCOPED_TRACE(sh.w);
        picture p(sh.w, sh.h, sh.w_log2, sh.h_log2);
        for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
            std::vector<uint8_t> rec = p.record(endian);
            uint32_t w;
            io_load32(&w, rec.data(), endian);
            EXPECT_EQ((uint32_t)sh.w, w);
            test_arena ta;
            for (int reuse : {0, 1}) {
                vexil_image back;
                ASSERT_EQ(rec.data() + rec.size(),
                          vexil_image_load(&ta.arena, &back, rec.data(), rec.size(), reuse, endian));
                EXPECT_EQ(sh.w, back.w);
                EXPECT_EQ(sh.h, back.h);
                EXPECT_EQ(sh.w_log2, back.texture.w_log2);
                EXPECT_EQ(1, back.texture.not_swizzled);
                EXPECT_EQ(0, memcmp(p.texels.data(), back.texture.mips[0], p.texels.size()));
                EXPECT_EQ(1, n3d_textures_dbg_cmp(&p.image.texture, &back.texture));
                // Row-by-row 8-bit texels are used where they lie in a native record.
                const uint8_t* level = rec.data() + 8 + 10 + 256 * 33;
                EXPECT_EQ(reuse && endian == IO_ENDIAN_NATIVE, back.texture.mips[0] == level);
            }
        }
    }
}

TEST(Image, LoaderRefusals)
{
    picture p(6, 3, 3, 2);
    std::vector<uint8_t> good = p.record(IO_ENDIAN_NATIVE);
    test_arena ta;
    for (size_t n = 0; n < good.size(); n += (n < 40 ? 1 : 211)) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), good.data(), n);
        vexil_image back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, vexil_image_load(&ta.arena, &back, exact.get(), n, 1, IO_ENDIAN_NATIVE)) << n;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0u, out.find("image record refused: ")) << out;
        EXPECT_NE(std::string::npos, out.find(" fit")) << out;
    }
    struct row {
        const char* why;
        size_t offset;
        uint32_t value;
        int width;  // 4 or 1 bytes
        const char* message;
    };
    const row rows[] = {
        {"wider than the texture", 0, 9, 4, "image larger than its texture"},
        {"taller than the texture", 4, 5, 4, "image larger than its texture"},
        {"texture format", 8, 7, 1, "texture format is not 1 to 4"},
        {"texture size", 8 + 2, 15, 1, "texture log2 size above 14"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        if (r.width == 4)
            io_store32(bad.data() + r.offset, r.value, IO_ENDIAN_NATIVE);
        else
            bad[r.offset] = (uint8_t)r.value;
        vexil_image back;
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, vexil_image_load(&ta.arena, &back, bad.data(), bad.size(), 1, IO_ENDIAN_NATIVE));
        EXPECT_EQ("image record refused: " + std::string(r.message) + "\n", testing::internal::GetCapturedStdout())
            << r.why;
    }
}

TEST(Image, DrawBlitsThePictureRows)
{
    picture p(8, 3, 4, 2);  // rows 16 texels apart, 8 of them shown
    test_arena ta;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &ta.arena, 32, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 0);
    vexil_image_draw(&fc, 8, 2, &p.image);
    const uint8_t* px = static_cast<const uint8_t*>(fc.fb->b);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) {
            const int ix = x - 8, iy = y - 2;
            const bool inside = ix >= 0 && ix < 8 && iy >= 0 && iy < 3;
            EXPECT_EQ(inside ? p.texels[(size_t)iy * 16 + ix] : 0, px[y * 32 + x]) << x << "," << y;
        }
}

// Placements over every edge and far outside: only the visible part of the
// picture is drawn, and a corner beyond the int range does not wrap.
TEST(Image, DrawClipsAtEveryEdge)
{
    struct row {
        int x0, y0;
    } rows[] = {{-3, 1}, {28, 1}, {8, -2},          {8, 6},           {-8, 0},          {32, 0},
                {0, -3}, {0, 8},  {INT_MAX - 2, 0}, {0, INT_MAX - 1}, {INT_MIN + 1, 0}, {0, INT_MIN + 1}};
    picture p(8, 3, 4, 2);
    for (const row& r : rows) {
        test_arena ta;
        n3d_frame_context fc;
        n3d_framecontext_init(&fc, &ta.arena, 32, 8, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 0);
        vexil_image_draw(&fc, r.x0, r.y0, &p.image);
        const uint8_t* px = static_cast<const uint8_t*>(fc.fb->b);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 32; ++x) {
                const long long ix = (long long)x - r.x0, iy = (long long)y - r.y0;
                const bool inside = ix >= 0 && ix < 8 && iy >= 0 && iy < 3;
                ASSERT_EQ(inside ? p.texels[(size_t)(iy * 16 + ix)] : 0, px[y * 32 + x])
                    << r.x0 << "," << r.y0 << " at " << x << "," << y;
            }
    }
}

TEST(Image, DrawStopsOnUnsupportedTexturesAndTargets)
{
    struct row {
        const char* why;
        int swizzled, texture_format, target_format;
        const char* message;
    };
    const row rows[] = {
        {"swizzled texture", 1, 3, 3, "vexil_image_draw: only unswizzled texture supported\n"},
        {"16-bit texture", 0, 2, 3, "vexil_image_draw: only index8 texture supported\n"},
        {"16-bit target", 0, 3, 2, "vexil_image_draw: only index8 frame context supported\n"},
    };
    for (const row& r : rows) {
        captured_run c = capture_run([&] {
            picture p(8, 4, 3, 2, r.texture_format);
            p.image.texture.not_swizzled = !r.swizzled;
            test_arena ta;
            n3d_frame_context fc;
            n3d_framecontext_init(&fc, &ta.arena, 32, 8, r.target_format, 0);
            vexil_image_draw(&fc, 0, 0, &p.image);
        });
        EXPECT_EQ(1, c.status) << r.why;
        EXPECT_EQ(0u, crash_site(c.err).find(crash_site("crash in  at src/vexil_image:"))) << c.err;
        EXPECT_NE(std::string::npos, c.err.find(r.message)) << r.why << ": " << c.err;
    }
}
