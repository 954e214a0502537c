// Bitmaps: the pixel codecs as a table over the flag combinations, PNG files
// against an independent reader, channel remixing, fills, flare, mosaic, copies
// and blends, box and Lanczos down-scaling, and the recorded failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/memarena.h"
#include "image/bitmap.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/windows_skip.h"

namespace {

using test_arena = qf_test_arena<16u << 20>;

void reset_error()
{
    g_bitmap_error_line = 0;
    g_bitmap_msg = nullptr;
}

std::vector<uint8_t> pixel_bytes(const bitmap& b, uint32_t x, uint32_t y)
{
    int ch = bitmap_channel_count(b.flags);
    const uint8_t* p = b.data + static_cast<size_t>(y) * b.row_bytes + static_cast<size_t>(x) * ch;
    return std::vector<uint8_t>(p, p + ch);
}

void random_fill(bitmap& b, uint32_t seed, bool opaque)
{
    std::mt19937 rng(seed);
    int ch = bitmap_channel_count(b.flags);
    for (uint32_t y = 0; y < b.height; y++)
        for (uint32_t x = 0; x < b.width; x++)
            for (int c = 0; c < ch; c++)
                b.data[y * b.row_bytes + x * ch + c] = (opaque && ch == 4 && c == 3) ? 255 : rng() & 255;
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Runs the Pillow helper; returns its "MODE W H" line.
std::string pil(const std::string& cmd, const std::string& png, const std::string& raw)
{
    std::string script = std::string(QF_SOURCE_DIR) + "/tests/image/pil_reference.py";
    captured_run r = capture_program({"/usr/bin/python3", script, cmd, png, raw}, "", {}, 60);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// ---- codecs ---------------------------------------------------------------

struct decode_case {
    int flags;
    uint8_t px[4];
    float expect[4];
    const char* why;
};

TEST(BitmapCodec, DecodeMatrix)
{
    const decode_case cases[] = {
        {4, {255, 128, 0, 128}, {0.501961f, 0.251965f, 0.0f, 0.501961f}, "linear straight: colour times alpha"},
        {6, {255, 128, 0, 128}, {1.0f, 0.501961f, 0.0f, 0.501961f}, "linear premultiplied: as stored"},
        {5, {255, 128, 0, 128}, {0.501961f, 0.108354f, 0.0f, 0.501961f}, "sRGB straight: curve, then alpha"},
        {7, {64, 32, 0, 128}, {0.107440f, 0.025538f, 0.0f, 0.501961f}, "sRGB premultiplied: divide, curve, times"},
        {7, {200, 100, 0, 100}, {0.392157f, 0.392157f, 0.0f, 0.392157f}, "sRGB pma colour above alpha is limited"},
        {7, {64, 32, 0, 0}, {0.0f, 0.0f, 0.0f, 0.0f}, "sRGB pma, alpha 0 gives 0"},
        {4, {200, 100, 50, 0}, {0.0f, 0.0f, 0.0f, 0.0f}, "linear straight, alpha 0 gives 0"},
        {6, {200, 100, 50, 0}, {0.784314f, 0.392157f, 0.196078f, 0.0f}, "pma only keeps colour at alpha 0"},
        {9, {128, 64, 255, 0}, {0.215861f, 0.051269f, 1.0f, 1.0f}, "RGB: alpha 1"},
        {17, {128, 64, 0, 0}, {0.215861f, 0.051269f, 0.0f, 1.0f}, "two channels: blue 0"},
        {32, {200, 0, 0, 0}, {0.784314f, 0.0f, 0.0f, 1.0f}, "one channel: red only"},
    };
    for (const decode_case& c : cases) {
        SCOPED_TRACE(c.why);
        float out[4];
        bitmap_bytes_decode(out, c.px, c.flags);
        for (int i = 0; i < 4; i++)
            EXPECT_NEAR(out[i], c.expect[i], 2e-6) << i;
    }
}

struct encode_case {
    int flags;
    float in[4];
    uint8_t expect[4];
    const char* why;
};

TEST(BitmapCodec, EncodeMatrix)
{
    const encode_case cases[] = {
        {4, {0.25f, 0.125f, 0.0f, 0.5f}, {128, 64, 0, 128}, "linear straight: divide, 127.5 rounds up"},
        {6, {0.25f, 0.125f, 0.0f, 0.5f}, {64, 32, 0, 128}, "linear premultiplied: as is"},
        {5, {0.25f, 0.125f, 0.0f, 0.5f}, {188, 137, 0, 128}, "sRGB straight: divide, curve"},
        {7, {0.25f, 0.125f, 0.0f, 0.5f}, {94, 68, 0, 128}, "sRGB premultiplied: divide, curve, times"},
        {6, {0.2f, 0.2f, 0.2f, 0.0f}, {51, 51, 51, 0}, "pma only keeps colour at alpha 0"},
        {7, {0.2f, 0.2f, 0.2f, 0.0f}, {0, 0, 0, 0}, "sRGB pma, alpha 0 gives 0"},
        {4, {0.2f, 0.2f, 0.2f, 0.0f}, {0, 0, 0, 0}, "linear straight, alpha 0 gives 0"},
        {5, {0.2f, 0.2f, 0.2f, 0.0f}, {0, 0, 0, 0}, "sRGB straight, alpha 0 gives 0"},
        {4, {2.0f, -1.0f, 0.5f, 1.0f}, {255, 0, 128, 255}, "limited to 0..255"},
        {5, {0.001f, 0.5f, 1.0f, 1.0f}, {3, 188, 255, 255}, "sRGB linear branch below 0.0031308"},
        {9, {0.21404f, 0.5f, 1.0f, 1.0f}, {128, 188, 255, 0}, "RGB stores three channels"},
        {32, {0.5f, 0.9f, 0.9f, 1.0f}, {128, 0, 0, 0}, "one channel stores red only"},
    };
    for (const encode_case& c : cases) {
        SCOPED_TRACE(c.why);
        uint8_t out[4] = {0, 0, 0, 0};
        bitmap_bytes_encode(out, c.flags, c.in);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(out[i], c.expect[i]) << i;
    }
}

TEST(BitmapCodec, OpaqueBytesSurviveDecodeAndEncode)
{
    for (int flags : {4, 5, 6, 7, 8, 9, 16, 17, 32, 33}) {
        SCOPED_TRACE(flags);
        for (int v = 0; v < 256; v++) {
            uint8_t px[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v / 2), 255};
            float lin[4];
            bitmap_bytes_decode(lin, px, flags);
            uint8_t back[4] = {0, 0, 0, 0};
            bitmap_bytes_encode(back, flags, lin);
            for (int c = 0; c < bitmap_channel_count(flags); c++)
                ASSERT_EQ(back[c], px[c]) << "value " << v << " channel " << c;
        }
    }
}

TEST(BitmapInit, RowBytesAndMemory)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 256, 3, 5);
    EXPECT_EQ(b.row_bytes, 1024u);
    EXPECT_EQ(b.width, 256u);
    EXPECT_EQ(b.height, 3u);
    EXPECT_EQ(b.flags, 5);
    EXPECT_EQ(a.arena.sp, 3u * 1024u);
    bitmap_init(&b, &a.arena, 256, 3, 0);
    EXPECT_EQ(b.row_bytes, 0u);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(bitmap_channel_count(4 | 8 | 32), 4);
    EXPECT_EQ(bitmap_channel_count(16 | 32), 2);
}

// ---- remix ----------------------------------------------------------------

TEST(BitmapRemix, ChannelsFromSeveralSources)
{
    test_arena a;
    bitmap rgba, gray;
    bitmap_init(&rgba, &a.arena, 3, 2, BITMAP_FLAG_RGBA | BITMAP_FLAG_PMA);
    bitmap_init(&gray, &a.arena, 3, 2, BITMAP_FLAG_1CH);
    random_fill(rgba, 1, false);
    random_fill(gray, 2, false);
    bitmap rgb;
    bitmap_init(&rgb, &a.arena, 3, 2, BITMAP_FLAG_RGB);
    random_fill(rgb, 3, false);

    // Premultiplied linear output, so components pass through unchanged:
    // blue of rgba -> R, the gray value -> G, gray's missing channel 1 -> B
    // (0), the RGB source's alpha (1.0) -> A.
    bitmap out;
    ASSERT_EQ(bitmap_init_from_channels(&out, &a.arena, BITMAP_FLAG_RGBA | BITMAP_FLAG_PMA, &rgba, 2, &gray, 0, &gray,
                                        1, &rgb, 3),
              0);
    for (uint32_t y = 0; y < 2; y++) {
        for (uint32_t x = 0; x < 3; x++) {
            std::vector<uint8_t> o = pixel_bytes(out, x, y);
            EXPECT_EQ(o[0], pixel_bytes(rgba, x, y)[2]);
            EXPECT_EQ(o[1], pixel_bytes(gray, x, y)[0]);
            EXPECT_EQ(o[2], 0);
            EXPECT_EQ(o[3], 255);
        }
    }
}

TEST(BitmapRemix, RefusesBadSources)
{
    test_arena a;
    bitmap rgba, small, gray;
    bitmap_init(&rgba, &a.arena, 4, 4, BITMAP_FLAG_RGBA);
    bitmap_init(&small, &a.arena, 2, 4, BITMAP_FLAG_RGBA);
    bitmap_init(&gray, &a.arena, 4, 4, BITMAP_FLAG_1CH);
    struct row {
        const bitmap* src[4];
        int ch[4];
        int line;
        const char* why;
    } rows[] = {
        {{&rgba, nullptr, &rgba, &rgba}, {0, 1, 2, 3}, 390, "null source"},
        {{&rgba, &rgba, &rgba, &rgba}, {0, 1, 2, 4}, 394, "past the alpha component of a four-channel source"},
        {{&rgba, &rgba, &rgba, &rgba}, {0, -1, 2, 3}, 394, "negative channel"},
        {{&rgba, &gray, &rgba, &rgba}, {0, 2, 2, 3}, 394, "one-channel source asked for channel 2"},
        {{&rgba, &small, &rgba, &rgba}, {0, 1, 2, 3}, 398, "size differs from the first source"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        reset_error();
        uint64_t used = a.arena.sp;
        bitmap out;
        EXPECT_EQ(bitmap_init_from_channels_ex(&out, &a.arena, BITMAP_FLAG_RGBA, r.src, r.ch), 1);
        EXPECT_EQ(g_bitmap_error_line, r.line);
        EXPECT_NE(g_bitmap_msg, nullptr);
        EXPECT_EQ(a.arena.sp, used) << "no bitmap is made";
    }
}

TEST(BitmapRemix, CopyConvertsThroughTheSourceFlags)
{
    test_arena a;
    bitmap src, copy;
    bitmap_init(&src, &a.arena, 5, 3, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    random_fill(src, 4, false);
    for (uint32_t i = 3; i < src.row_bytes * src.height; i += 4)
        src.data[i] = src.data[i] ? src.data[i] : 1;  // alpha 0 drops the colour by design
    ASSERT_EQ(bitmap_init_copy(&copy, &a.arena, &src), 0);
    EXPECT_EQ(copy.flags, src.flags);
    // Opaque pixels come back byte for byte; others within the re-encode's error.
    for (uint32_t y = 0; y < 3; y++)
        for (uint32_t x = 0; x < 5; x++)
            for (int c = 0; c < 4; c++)
                EXPECT_NEAR(pixel_bytes(copy, x, y)[c], pixel_bytes(src, x, y)[c], c == 3 ? 0 : 1);
}

// ---- fill, pma, flare, mosaic -------------------------------------------

TEST(BitmapFill, EncodesOncePerFlags)
{
    test_arena a;
    struct row {
        int flags;
        uint8_t expect[4];
    } rows[] = {
        {4, {127, 63, 255, 127}},  // truncating: 0.5 x 255 = 127.5
        {5, {187, 136, 255, 127}},
        {7, {93, 68, 127, 127}},  // premultiplied in the encoded space
        {6, {63, 31, 127, 127}},
    };
    const float colour[4] = {0.5f, 0.25f, 1.0f, 0.5f};
    for (const row& r : rows) {
        SCOPED_TRACE(r.flags);
        bitmap b;
        bitmap_init(&b, &a.arena, 3, 2, r.flags);
        ASSERT_EQ(bitmap_fill(&b, colour), 0);
        for (uint32_t y = 0; y < 2; y++)
            for (uint32_t x = 0; x < 3; x++)
                EXPECT_EQ(pixel_bytes(b, x, y), std::vector<uint8_t>(r.expect, r.expect + 4));
    }
    bitmap rgb;
    bitmap_init(&rgb, &a.arena, 3, 2, BITMAP_FLAG_RGB);
    reset_error();
    EXPECT_EQ(bitmap_fill(&rgb, colour), 1);
    EXPECT_EQ(g_bitmap_error_line, 453);
    EXPECT_STREQ(g_bitmap_msg, "format not yet supported\n");
}

TEST(BitmapPma, PremultipliesStraightBytesOnly)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 1, 1, BITMAP_FLAG_RGBA);
    const uint8_t px[4] = {255, 100, 3, 128};
    memcpy(b.data, px, 4);
    ASSERT_EQ(bitmap_pma(&b), 0);
    EXPECT_EQ(pixel_bytes(b, 0, 0), (std::vector<uint8_t>{128, 50, 1, 128}));
    EXPECT_EQ(b.flags, BITMAP_FLAG_RGBA) << "flags are left as they are";
    b.flags |= BITMAP_FLAG_PMA;
    ASSERT_EQ(bitmap_pma(&b), 0);
    EXPECT_EQ(pixel_bytes(b, 0, 0), (std::vector<uint8_t>{128, 50, 1, 128})) << "already premultiplied";
    b.flags = BITMAP_FLAG_RGB;
    reset_error();
    EXPECT_EQ(bitmap_pma(&b), 1);
    EXPECT_EQ(g_bitmap_error_line, 475);
}

TEST(BitmapFlare, RadialFalloffInTheLastChannel)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 256, 256, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    const float white[4] = {1.0f, 0.5f, 0.0f, 1.0f};
    ASSERT_EQ(bitmap_flare(&b, white), 0);
    for (uint32_t y : {127u, 128u})
        for (uint32_t x : {127u, 128u})
            EXPECT_EQ(pixel_bytes(b, x, y), (std::vector<uint8_t>{255, 187, 0, 255}));
    for (uint32_t y : {0u, 255u})
        for (uint32_t x : {0u, 255u})
            EXPECT_EQ(pixel_bytes(b, x, y)[3], 0);
    // On the axis at x = 0: r^2 = 1 > 0.9 gives 0; a quarter of the way in,
    // r^2 = (2 x 64 / 255 - 1)^2.
    EXPECT_EQ(pixel_bytes(b, 0, 128)[3], 0);
    float px = 2.0f * 64 / 255 - 1, py = 2.0f * 128 / 255 - 1;
    EXPECT_EQ(pixel_bytes(b, 64, 128)[3], static_cast<uint8_t>(roundf(255 * (1 - (px * px + py * py) / 0.9f))));

    bitmap one;
    bitmap_init(&one, &a.arena, 3, 3, BITMAP_FLAG_1CH);
    ASSERT_EQ(bitmap_flare(&one, white), 0);
    EXPECT_EQ(pixel_bytes(one, 1, 1)[0], 255) << "one channel: the falloff only";
    EXPECT_EQ(pixel_bytes(one, 0, 1)[0], 0);
}

TEST(BitmapFlare, RefusesWhatItCannotDraw)
{
    test_arena a;
    const float c[4] = {1, 1, 1, 1};
    struct row {
        uint32_t w, h;
        int flags, line;
    } rows[] = {{1, 8, 4, 503}, {8, 1, 4, 503}, {8, 8, 0, 502}};
    for (const row& r : rows) {
        bitmap b;
        bitmap_init(&b, &a.arena, r.w, r.h, r.flags);
        reset_error();
        EXPECT_EQ(bitmap_flare(&b, c), 1);
        EXPECT_EQ(g_bitmap_error_line, r.line);
    }
}

TEST(BitmapMosaic, CellsAndOrigin)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 4, 4, BITMAP_FLAG_RGB);
    const float c1[4] = {1, 0, 0, 1}, c2[4] = {0, 0, 1, 1};
    ASSERT_EQ(bitmap_mosaic(&b, 2, 2, c1, c2), 0);
    const std::vector<uint8_t> red = {255, 0, 0}, blue = {0, 0, 255};
    for (uint32_t y = 0; y < 4; y++)
        for (uint32_t x = 0; x < 4; x++)
            EXPECT_EQ(pixel_bytes(b, x, y), ((x / 2) ^ (y / 2)) & 1 ? red : blue) << x << "," << y;

    for (auto wh : {std::pair<uint32_t, uint32_t>{0, 2}, {2, 0}}) {
        reset_error();
        EXPECT_EQ(bitmap_mosaic(&b, wh.first, wh.second, c1, c2), 1);
        EXPECT_EQ(g_bitmap_error_line, 552);
    }
}

// ---- copy and blend -------------------------------------------------------

TEST(BitmapCopy, RawCopyOnlyBetweenLikeEncodings)
{
    test_arena a;
    bitmap src, same, linear;
    bitmap_init(&src, &a.arena, 2, 1, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    bitmap_init(&same, &a.arena, 2, 1, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    bitmap_init(&linear, &a.arena, 2, 1, BITMAP_FLAG_RGBA);
    const uint8_t px[8] = {128, 64, 0, 255, 10, 20, 30, 0};
    memcpy(src.data, px, 8);
    ASSERT_EQ(bitmap_copy(&same, BITMAP_BLEND_OP_COPY, 0, 0, &src, 0, 0, 2, 1), 0);
    EXPECT_EQ(memcmp(same.data, px, 8), 0) << "same flags: bytes unchanged, transparent colour kept";
    ASSERT_EQ(bitmap_copy(&linear, BITMAP_BLEND_OP_COPY, 0, 0, &src, 0, 0, 2, 1), 0);
    // sRGB 128 is linear 0.2159 (byte 55), sRGB 64 is 0.0513 (byte 13).
    EXPECT_EQ(pixel_bytes(linear, 0, 0), (std::vector<uint8_t>{55, 13, 0, 255}));
    EXPECT_EQ(pixel_bytes(linear, 1, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(BitmapCopy, BlendAndClipping)
{
    test_arena a;
    bitmap dst, opaque, clear, half;
    bitmap_init(&dst, &a.arena, 4, 3, BITMAP_FLAG_RGBA | BITMAP_FLAG_PMA);
    bitmap_init(&opaque, &a.arena, 4, 3, BITMAP_FLAG_RGBA);
    bitmap_init(&clear, &a.arena, 4, 3, BITMAP_FLAG_RGBA);
    bitmap_init(&half, &a.arena, 1, 1, BITMAP_FLAG_RGBA | BITMAP_FLAG_PMA);
    const float d[4] = {0.2f, 0.4f, 0.6f, 1.0f}, o[4] = {1.0f, 0.0f, 0.0f, 1.0f}, c[4] = {0.0f, 1.0f, 0.0f, 0.0f};
    bitmap_fill(&dst, d);
    bitmap_fill(&opaque, o);
    bitmap_fill(&clear, c);
    const std::vector<uint8_t> before = pixel_bytes(dst, 0, 0);

    ASSERT_EQ(bitmap_copy(&dst, BITMAP_BLEND_OP_BLEND, 0, 0, &clear, 0, 0, 4, 3), 0);
    for (uint32_t y = 0; y < 3; y++)
        for (uint32_t x = 0; x < 4; x++)
            EXPECT_EQ(pixel_bytes(dst, x, y), before) << "transparent source leaves the destination";

    // Placed at (3, 2) only one pixel lies inside the destination.
    ASSERT_EQ(bitmap_copy(&dst, BITMAP_BLEND_OP_BLEND, 3, 2, &opaque, 0, 0, 4, 3), 0);
    EXPECT_EQ(pixel_bytes(dst, 3, 2), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(pixel_bytes(dst, 2, 2), before);
    EXPECT_EQ(pixel_bytes(dst, 3, 1), before);

    // Half-transparent premultiplied red over the fill: red + dst x 0.5.
    half.data[0] = 128, half.data[1] = 0, half.data[2] = 0, half.data[3] = 128;
    ASSERT_EQ(bitmap_copy(&dst, BITMAP_BLEND_OP_BLEND, 0, 0, &half, 0, 0, 1, 1), 0);
    EXPECT_EQ(pixel_bytes(dst, 0, 0), (std::vector<uint8_t>{153, 51, 76, 255}));

    // Any other op changes nothing; a source without channels is refused.
    std::vector<uint8_t> all(dst.data, dst.data + 48);
    EXPECT_EQ(bitmap_copy(&dst, 3, 0, 0, &opaque, 0, 0, 4, 3), 0);
    EXPECT_EQ(std::vector<uint8_t>(dst.data, dst.data + 48), all);
    bitmap none;
    bitmap_init(&none, &a.arena, 4, 3, 0);
    reset_error();
    EXPECT_EQ(bitmap_copy(&dst, BITMAP_BLEND_OP_COPY, 0, 0, &none, 0, 0, 4, 3), 1);
    EXPECT_EQ(g_bitmap_error_line, 631);
}

// ---- PNG files --------------------------------------------------------------

TEST(BitmapPng, SaveLoadAndAnIndependentReader)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    test_arena a;
    std::string dir = capture_temp_dir();
    struct row {
        int flags;
        const char* mode;
    } rows[] = {{BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB, "RGBA"},
                {BITMAP_FLAG_RGB, "RGB"},
                {BITMAP_FLAG_2CH, "LA"},
                {BITMAP_FLAG_1CH, "L"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.mode);
        bitmap b;
        bitmap_init(&b, &a.arena, 37, 23, r.flags);
        random_fill(b, 7 + r.flags, false);
        std::string png = dir + "/" + r.mode + ".png";
        ASSERT_EQ(bitmap_save(&b, png.c_str()), 0);

        bitmap back;
        ASSERT_EQ(bitmap_load(&back, &a.arena, png.c_str(), r.flags), 0);
        EXPECT_EQ(back.width, 37u);
        EXPECT_EQ(back.height, 23u);
        EXPECT_EQ(back.flags, r.flags);
        EXPECT_EQ(back.row_bytes, b.row_bytes);
        EXPECT_EQ(memcmp(back.data, b.data, b.row_bytes * b.height), 0);

        std::string raw = dir + "/" + r.mode + ".raw";
        EXPECT_EQ(pil("dump", png, raw), std::string(r.mode) + " 37 23\n");
        std::vector<uint8_t> theirs = read_file(raw);
        ASSERT_EQ(theirs.size(), b.row_bytes * b.height);
        EXPECT_EQ(memcmp(theirs.data(), b.data, theirs.size()), 0);
    }
}

TEST(BitmapPng, Failures)
{
    test_arena a;
    std::string dir = capture_temp_dir();
    bitmap b;
    bitmap_init(&b, &a.arena, 4, 4, BITMAP_FLAG_RGBA);
    random_fill(b, 9, false);
    std::string png = dir + "/ok.png";
    ASSERT_EQ(bitmap_save(&b, png.c_str()), 0);

    bitmap out;
    reset_error();
    EXPECT_EQ(bitmap_load(&out, &a.arena, png.c_str(), BITMAP_FLAG_SRGB), 1) << "no channel flag";
    EXPECT_EQ(g_bitmap_error_line, 590);
    reset_error();
    EXPECT_EQ(bitmap_load(&out, &a.arena, (dir + "/missing.png").c_str(), BITMAP_FLAG_RGBA), 1);
    EXPECT_EQ(g_bitmap_error_line, 0) << "an undecodable file sets no error slot";
    std::ofstream(dir + "/junk.png") << "not a png at all";
    EXPECT_EQ(bitmap_load(&out, &a.arena, (dir + "/junk.png").c_str(), BITMAP_FLAG_RGBA), 1);

    bitmap none = b;
    none.flags = BITMAP_FLAG_SRGB;
    EXPECT_EQ(bitmap_save(&none, (dir + "/x.png").c_str()), 1);
    EXPECT_EQ(g_bitmap_error_line, 616);
    EXPECT_EQ(bitmap_save(&b, (dir + "/no/such/dir/x.png").c_str()), 2);
}

// ---- down-scaling -----------------------------------------------------------

TEST(BitmapDownscale, BoxAgreesWithPillowReduce)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    test_arena a;
    std::string dir = capture_temp_dir();
    for (int flags : {BITMAP_FLAG_RGBA, BITMAP_FLAG_RGB}) {
        SCOPED_TRACE(flags);
        bitmap src, dst;
        bitmap_init(&src, &a.arena, 64, 46, flags);
        random_fill(src, 11, true);
        bitmap_init(&dst, &a.arena, 32, 23, flags);
        ASSERT_EQ(bitmap_downscale(&dst, &src, &a.arena, BITMAP_FILTER_BOX), 0);
        std::string png = dir + "/src.png", raw = dir + "/reduced.raw";
        ASSERT_EQ(bitmap_save(&src, png.c_str()), 0);
        pil("reduce2", png, raw);
        std::vector<uint8_t> theirs = read_file(raw);
        ASSERT_EQ(theirs.size(), dst.row_bytes * dst.height);
        for (size_t i = 0; i < theirs.size(); i++)
            ASSERT_NEAR(dst.data[i], theirs[i], 1) << "byte " << i;
    }
}

TEST(BitmapDownscale, BoxAveragesInLinearLight)
{
    test_arena a;
    bitmap src, dst;
    bitmap_init(&src, &a.arena, 2, 2, BITMAP_FLAG_RGBA);
    const uint8_t px[16] = {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255};
    memcpy(src.data, px, 16);
    bitmap_init(&dst, &a.arena, 1, 1, BITMAP_FLAG_RGBA);
    uint64_t used = a.arena.sp;
    ASSERT_EQ(bitmap_downscale(&dst, &src, &a.arena, BITMAP_FILTER_BOX), 0);
    EXPECT_EQ(pixel_bytes(dst, 0, 0), (std::vector<uint8_t>{128, 128, 128, 255})) << "127.5 rounded";
    EXPECT_EQ(a.arena.sp, used) << "temporary memory rewound";

    // sRGB black and white average to linear 0.5, sRGB byte 188.
    src.flags = dst.flags = BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB;
    ASSERT_EQ(bitmap_downscale(&dst, &src, &a.arena, BITMAP_FILTER_BOX), 0);
    EXPECT_EQ(pixel_bytes(dst, 0, 0)[0], 188);
}

// Lanczos weight of the Part's kernel with a = the reduction factor.
double lanczos(double d, double a)
{
    return d == 0 ? 1 : a * sin(M_PI * d) * sin(M_PI * d / a) / (M_PI * M_PI * d * d);
}

TEST(BitmapDownscale, LanczosTapsAtFourToOne)
{
    EXPECT_NEAR(lanczos(0.5, 4), 0.6204, 5e-5);
    EXPECT_NEAR(lanczos(1.5, 4), -0.1664, 5e-5);
    test_arena a;
    // A grey 16x4 image with one bright column per 4-texel footprint, at tap
    // 0, 1, 2 and 3 of its footprint: each output is 128 + 127 x w / sum(w).
    bitmap src, dst;
    bitmap_init(&src, &a.arena, 16, 4, BITMAP_FLAG_1CH);
    memset(src.data, 128, 64);
    for (uint32_t y = 0; y < 4; y++)
        for (uint32_t k = 0; k < 4; k++)
            src.data[y * 16 + 4 * k + k] = 255;
    bitmap_init(&dst, &a.arena, 4, 1, BITMAP_FLAG_1CH);
    ASSERT_EQ(bitmap_downscale(&dst, &src, &a.arena, BITMAP_FILTER_LANCZOS), 0);
    const double w[4] = {-0.1664, 0.6204, 0.6204, -0.1664};
    double sum = w[0] + w[1] + w[2] + w[3];
    for (int k = 0; k < 4; k++) {
        double expect = 128 + 127 * w[k] / sum;
        EXPECT_NEAR(dst.data[k], expect, 0.51) << "tap " << k;
    }
    EXPECT_EQ(dst.data[0], 105);
    EXPECT_EQ(dst.data[1], 215);
}

TEST(BitmapDownscale, LanczosAtTwoToOneIsTheBox)
{
    test_arena a;
    bitmap src, box, lz;
    bitmap_init(&src, &a.arena, 32, 16, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    random_fill(src, 13, false);
    bitmap_init(&box, &a.arena, 16, 8, src.flags);
    bitmap_init(&lz, &a.arena, 16, 8, src.flags);
    ASSERT_EQ(bitmap_downscale(&box, &src, &a.arena, BITMAP_FILTER_BOX), 0);
    ASSERT_EQ(bitmap_downscale(&lz, &src, &a.arena, BITMAP_FILTER_LANCZOS), 0);
    EXPECT_EQ(memcmp(box.data, lz.data, box.row_bytes * box.height), 0);
}

TEST(BitmapDownscale, Failures)
{
    test_arena a;
    bitmap src, big, dst, none;
    bitmap_init(&src, &a.arena, 8, 8, BITMAP_FLAG_RGBA);
    random_fill(src, 5, false);
    bitmap_init(&big, &a.arena, 16, 4, BITMAP_FLAG_RGBA);
    memset(big.data, 77, big.row_bytes * big.height);
    reset_error();
    EXPECT_EQ(bitmap_downscale(&big, &src, &a.arena, BITMAP_FILTER_BOX), 1);
    EXPECT_EQ(g_bitmap_error_line, 688);
    EXPECT_STREQ(g_bitmap_msg, "dst is larger than src\n");
    for (uint32_t i = 0; i < big.row_bytes * big.height; i++)
        ASSERT_EQ(big.data[i], 77) << "destination untouched";

    bitmap_init(&dst, &a.arena, 4, 4, BITMAP_FLAG_RGBA);
    EXPECT_EQ(bitmap_downscale(&dst, &src, &a.arena, 3), 1);
    EXPECT_EQ(g_bitmap_error_line, 757);
    bitmap_init(&none, &a.arena, 8, 8, 0);
    EXPECT_EQ(bitmap_downscale(&dst, &none, &a.arena, BITMAP_FILTER_BOX), 1);
    EXPECT_EQ(g_bitmap_error_line, 686);
}

TEST(BitmapDownscale, DevelopmentRoutineWritesItsFourFiles)
{
    std::string dir = capture_temp_dir();
    captured_run run = capture_run([&] {
        if (chdir(dir.c_str()) != 0)
            _exit(2);
        bitmap_downscale_test();
    });
    ASSERT_EQ(run.status, 0) << run.err;
    test_arena a(64u << 20);
    struct row {
        const char* name;
        uint32_t size;
    } rows[] = {{"bitmap_downscale_test0-original.png", 2048},
                {"bitmap_downscale_test0-downscaled.png", 32},
                {"bitmap_downscale_test1-original.png", 2048},
                {"bitmap_downscale_test1-downscaled.png", 32}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bitmap b;
        ASSERT_EQ(bitmap_load(&b, &a.arena, (dir + "/" + r.name).c_str(), BITMAP_FLAG_RGBA), 0);
        EXPECT_EQ(b.width, r.size);
        EXPECT_EQ(b.height, r.size);
    }
    // The flare's alpha falls off toward the corners of the second pair.
    bitmap flare;
    ASSERT_EQ(bitmap_load(&flare, &a.arena, (dir + "/bitmap_downscale_test1-downscaled.png").c_str(), BITMAP_FLAG_RGBA),
              0);
    EXPECT_GT(pixel_bytes(flare, 16, 16)[3], 200);
    EXPECT_LT(pixel_bytes(flare, 0, 0)[3], 10);
}

}  // namespace
