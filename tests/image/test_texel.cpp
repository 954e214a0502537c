// Texel formats and colour encodings: the sRGB curves against the standard
// transfer functions, the exact round trips, the table encoders, the fixed
// conversions and the swizzled layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"

namespace {

// IEC 61966-2-1 transfer functions, exactly as the standard writes them.
double iec_encode(double x) { return x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055; }
double iec_decode(double s) { return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4); }

// The system's own encode curve (exponent 0.41666) inverted: the linear value at
// which the encoded value reaches s.
double own_encode_inverse(double s)
{
    return s < 12.92 * 0.0031308 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 1.0 / 0.41666);
}

float vec4_encode(float x)
{
    vec4 in = {x, x, x, 0.25f}, out;
    vec4_srgb_from_linear(out, in);
    EXPECT_EQ(out[3], 0.25f);
    return out[0];
}

float vec4_decode(float s)
{
    vec4 in = {s, s, s, 0.75f}, out;
    vec4_srgb_to_linear(out, in);
    EXPECT_EQ(out[3], 0.75f);
    return out[0];
}

TEST(SrgbCurves, MatchTheStandardAwayFromThresholds)
{
    const double linear_threshold = 0.0031308, srgb_threshold = 0.04045;
    for (int i = 0; i <= 20000; ++i) {
        double x = i / 20000.0;
        if (std::fabs(x - linear_threshold) > 1e-4) {
            SCOPED_TRACE(x);
            EXPECT_NEAR(vec4_encode(static_cast<float>(x)), iec_encode(x), 1e-5);
            EXPECT_NEAR(n3d_linear_to_srgb(static_cast<float>(x)), iec_encode(x), 1e-5);
        }
        if (std::fabs(x - srgb_threshold) > 1e-4) {
            SCOPED_TRACE(x);
            EXPECT_NEAR(vec4_decode(static_cast<float>(x)), iec_decode(x), 1e-5);
            EXPECT_NEAR(n3d_srgb_to_linear(static_cast<float>(x)), iec_decode(x), 1e-5);
        }
    }
}

TEST(SrgbCurves, EndsBranchesAndNaN)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct row {
        float x;
        float encoded;  // both encoders
        const char* why;
    } rows[] = {
        {nan, 0.0f, "NaN encodes to 0"},
        {-1.0f, 0.0f, "below 0"},
        {0.0f, 0.0f, "0"},
        {2.0f, 1.0f, "above 1"},
        {1.0f, 1.0f, "1"},
        {0.001f, 0.01292f, "linear branch"},
        // The linear branch is only below the threshold: 12.92 x would give 0.0404499.
        {0.0031308f, static_cast<float>(1.055 * std::pow(0.0031308, 0.41666) - 0.055),
         "threshold takes the power branch"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        EXPECT_NEAR(vec4_encode(r.x), r.encoded, 1e-7);
        EXPECT_NEAR(n3d_linear_to_srgb(r.x), r.encoded, 1e-7);
    }
    // Decoding: 0.04045 is on the linear branch; out of range clamps; NaN passes
    // through the double form.
    EXPECT_FLOAT_EQ(n3d_srgb_to_linear(0.04045f), 0.04045f / 12.92f);
    EXPECT_FLOAT_EQ(vec4_decode(0.04045f), 0.04045f / 12.92f);
    EXPECT_EQ(n3d_srgb_to_linear(-0.5f), 0.0f);
    EXPECT_EQ(n3d_srgb_to_linear(1.5f), 1.0f);
    EXPECT_EQ(vec4_decode(-0.5f), 0.0f);
    EXPECT_EQ(vec4_decode(1.5f), 1.0f);
    EXPECT_TRUE(std::isnan(n3d_srgb_to_linear(nan)));
}

TEST(SrgbTables, FiveBitDecodeTableHoldsTheCurveToSixDecimals)
{
    for (int i = 0; i < 32; ++i)
        EXPECT_NEAR(g_n3d_convert_table_5bit_srgb_to_linear[i], iec_decode(i / 31.0), 6e-7) << i;
    EXPECT_EQ(g_n3d_convert_table_5bit_srgb_to_linear[16], 0.229275f);
    EXPECT_EQ(g_n3d_convert_table_5bit_srgb_to_linear[31], 1.0f);
}

// The encoder thresholds are the code boundaries taken back through the
// encode curve itself (the worked values 0.002276, 0.214036 and 0.934392),
// not through the 2.4 decode curve (which would give 0.214041 for entry 16).
TEST(SrgbTables, EncoderThresholdsAreBoundariesOfTheEncodeCurve)
{
    EXPECT_EQ(n3d_table_linear_to_srgb5bit[0], 0.0f);
    EXPECT_EQ(n3d_table_linear_to_srgb5bit[1], 0.002276f);
    EXPECT_EQ(n3d_table_linear_to_srgb5bit[16], 0.214036f);
    EXPECT_EQ(n3d_table_linear_to_srgb5bit[31], 0.934392f);
    for (int i = 1; i < 32; ++i)
        EXPECT_NEAR(n3d_table_linear_to_srgb5bit[i], own_encode_inverse((8 * i - 0.5) / 255.0), 6e-7) << i;
    EXPECT_EQ(n3d_table_linear_to_srgb8bit[0], 0.0f);
    for (int i = 1; i < 256; ++i)
        EXPECT_NEAR(n3d_table_linear_to_srgb8bit[i], own_encode_inverse((i - 0.5) / 255.0), 6e-7) << i;
}

TEST(SrgbTables, EncodersInvertTheDecodeForEveryCode)
{
    for (int c = 0; c < 32; ++c)
        EXPECT_EQ(n3d_linear_to_srgb_5bit(g_n3d_convert_table_5bit_srgb_to_linear[c]), c) << c;
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(n3d_linear_to_srgb_8bit(n3d_srgb_to_linear(c / 255.0f)), c) << c;
        vec4 lin;
        vec4_linear_from_srgb_a_u8(lin, static_cast<uint8_t>(c), 0, 0, 255);
        EXPECT_EQ(n3d_linear_to_srgb_8bit(lin[0]), c) << c;
    }
}

// Away from its thresholds the 8-bit table encoder rounds the encode curve.
TEST(SrgbTables, EightBitEncoderRoundsTheCurve)
{
    int checked = 0;
    for (int i = 0; i <= 100000; ++i) {
        double x = i / 100000.0;
        double code = 255.0 * (x < 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 0.41666) - 0.055);
        if (std::fabs(code - std::floor(code) - 0.5) < 1e-3)
            continue;
        ++checked;
        ASSERT_EQ(n3d_linear_to_srgb_8bit(static_cast<float>(x)), static_cast<int>(std::floor(code + 0.5))) << x;
    }
    EXPECT_GT(checked, 99000);
}

TEST(SrgbTables, EncoderEdges)
{
    struct row {
        float linear;
        int code5, code8;
    } rows[] = {
        {0.0f, 0, 0},
        {0.0023f, 1, 8},
        {0.5f, 23, 188},
        {1.0f, 31, 255},
        {-1.0f, 0, 0},
        {5.0f, 31, 255},
        {std::numeric_limits<float>::quiet_NaN(), 0, 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(n3d_linear_to_srgb_5bit(r.linear), r.code5) << r.linear;
        EXPECT_EQ(n3d_linear_to_srgb_8bit(r.linear), r.code8) << r.linear;
    }
}

// ---- conversions ---------------------------------------------------------------

TEST(Argb1555, EveryOpaqueValueRoundTripsThroughLinear)
{
    for (uint32_t v = 0x8000; v <= 0xFFFF; ++v) {
        vec4 lin;
        n3d_argb1555_to_linear_pma(lin, static_cast<uint16_t>(v));
        ASSERT_EQ(n3d_argb1555_from_linear_pma(lin), v) << std::hex << v;
    }
}

TEST(Argb1555, TransparentTexelsDecodeToZero)
{
    for (uint32_t v = 0; v < 0x8000; v += 0x0421) {
        vec4 lin = {9, 9, 9, 9};
        n3d_argb1555_to_linear_pma(lin, static_cast<uint16_t>(v));
        EXPECT_EQ(lin[0] + lin[1] + lin[2] + lin[3], 0.0f) << v;
    }
}

TEST(Argb1555, Encode)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct row {
        vec4 in;
        uint16_t fast, slow;
        const char* why;
    } rows[] = {
        {{0, 0, 0, 0}, 0x0000, 0x0000, "transparent black"},
        {{1, 1, 1, 1}, 0xFFFF, 0xFFFF, "opaque white"},
        // Fast: un-premultiplied to 0.5, encoded 0.735, x 31 + 0.5 -> 23, alpha 0.5 rounds up.
        // Slow: 0.25 encodes to 0.5371, x 31 truncated -> 16, alpha 0.5 truncates to 0.
        {{0.25f, 0.25f, 0.25f, 0.5f}, 0x8000 | 23 << 10 | 23 << 5 | 23, 16 << 10 | 16 << 5 | 16, "premultiplied half"},
        {{0, 0, 0, 0.49f}, 0x0000, 0x0000, "alpha below one half"},
        {{1, 0, 0, 0.99f}, 0x7C00 | 0x8000, 0x7C00, "slow alpha bit only at 1"},
        // Out of range: colours clamp through the curve, alpha clamps to one bit.
        {{2.0f, -1.0f, nan, 1.0f}, 0xFC00, 0xFC00, "out of range colour"},
        // Fast: 0.5 / 3 encodes to 0.4451 -> 14; slow: 0.5 encodes to 0.7354 -> 22 truncated.
        {{0.5f, 0.5f, 0.5f, 3.0f},
         0x8000 | 14 << 10 | 14 << 5 | 14,
         0x8000 | 22 << 10 | 22 << 5 | 22,
         "alpha above 1 stays one bit"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        EXPECT_EQ(n3d_argb1555_from_linear_pma(r.in), r.fast);
        EXPECT_EQ(n3d_argb1555_from_linear_pma_slow(r.in), r.slow);
    }
}

TEST(Argb1555, SlowDecodeUsesTheCurveAndIsAlwaysOpaque)
{
    vec4 out;
    n3d_argb1555_to_linear_pma_slow(out, 0x4210);  // alpha bit clear, channels 16
    EXPECT_NEAR(out[0], iec_decode(16 / 31.0), 1e-5);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);
    EXPECT_EQ(out[3], 1.0f);
}

TEST(Rgba8888, EncodeAndDecode)
{
    struct row {
        vec4 in;
        uint32_t expected;
    } rows[] = {
        {{0, 0, 0, 0}, 0x00000000u},
        {{1, 1, 1, 1}, 0xFFFFFFFFu},
        {{0.25f, 0.25f, 0.25f, 0.5f}, 0xBCBCBC80u},  // 0.7354 x 255 + 0.5 -> 188; alpha 128
        {{1, 0, 0, 1}, 0xFF0000FFu},
        {{4, 0, 0, 2}, 0xFF0000FFu},  // alpha 2 clamps to 255
    };
    for (const row& r : rows)
        EXPECT_EQ(n3d_rgba8888_from_linear_pma(r.in), r.expected) << std::hex << r.expected;

    vec4 lin;
    vec4_linear_from_srgba8888(lin, 0xFF800033u);
    EXPECT_FLOAT_EQ(lin[0], 1.0f);
    EXPECT_NEAR(lin[1], iec_decode(128 / 255.0), 1e-6);
    EXPECT_EQ(lin[2], 0.0f);
    EXPECT_FLOAT_EQ(lin[3], 0x33 / 255.0f);
}

TEST(FloatToBytes, ClampBeforeConverting)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct row {
        vec4 in;
        uint8_t scale[4];   // vec4_scale1to255_rgba_to_rgba8 and vec4_srgba8888_from_srgba
        uint8_t linear[4];  // vec4_srgba8888_from_linear (colour encoded first)
    } rows[] = {
        {{-0.1f, 0.5f, 1.2f, 1.0f}, {0, 127, 255, 255}, {0, 187, 255, 255}},
        {{nan, 0.0f, 1.0f, 1.5f}, {0, 0, 255, 255}, {0, 0, 255, 255}},
        {{0.25f, 1e30f, -1e30f, -0.5f}, {63, 255, 0, 0}, {136, 255, 0, 0}},
    };
    for (const row& r : rows) {
        uint8_t a[4], b[4], c[4];
        vec4_scale1to255_rgba_to_rgba8(a, r.in);
        vec4_srgba8888_from_srgba(b, r.in);
        vec4_srgba8888_from_linear(c, r.in);
        EXPECT_EQ(0, memcmp(a, r.scale, 4));
        EXPECT_EQ(0, memcmp(b, r.scale, 4));
        EXPECT_EQ(0, memcmp(c, r.linear, 4)) << int(c[0]) << " " << int(c[1]) << " " << int(c[2]) << " " << int(c[3]);
    }
    // Bytes back to floats: every byte value survives the round trip.
    for (int v = 0; v < 256; ++v) {
        const uint8_t in[4] = {uint8_t(v), uint8_t(255 - v), uint8_t(v), uint8_t(v)};
        vec4 f, g;
        uint8_t back[4];
        vec4_srgba_from_srgba8888(f, in);
        vec4_rgba8_to_rgba(g, in);
        EXPECT_FLOAT_EQ(f[1], (255 - v) / 255.0f);
        EXPECT_EQ(f[0], g[0]);
        vec4_srgba8888_from_srgba(back, f);
        // x 255 truncates: a byte comes back as itself or one less, never more.
        EXPECT_LE(back[0], v);
        EXPECT_GE(back[0] + 1, v);
    }
}

TEST(LinearPma, UnpremultiplyPremultiplyBlend)
{
    vec4 out;
    const vec4 zero_alpha = {0.3f, 0.3f, 0.3f, 0.0f};
    vec4_linear_from_linear_pma(out, zero_alpha);
    EXPECT_EQ(out[0] + out[1] + out[2] + out[3], 0.0f);
    const vec4 opaque = {0.3f, 0.6f, 0.9f, 1.0f};
    vec4_linear_from_linear_pma(out, opaque);
    EXPECT_EQ(0, memcmp(out, opaque, sizeof(vec4)));
    const vec4 half = {0.1f, 0.2f, 0.4f, 0.5f};
    vec4_linear_from_linear_pma(out, half);
    EXPECT_FLOAT_EQ(out[0], 0.2f);
    EXPECT_FLOAT_EQ(out[2], 0.8f);
    EXPECT_EQ(out[3], 0.5f);

    vec4 pma;
    const vec4 straight = {0.2f, 0.4f, 0.8f, 0.5f};
    vec4_rgba_pma(pma, straight);
    EXPECT_FLOAT_EQ(pma[0], 0.1f);
    EXPECT_FLOAT_EQ(pma[2], 0.4f);
    EXPECT_EQ(pma[3], 0.5f);

    // b over a: a half-transparent blue over opaque red.
    const vec4 red = {1, 0, 0, 1}, blue_half = {0, 0, 0.5f, 0.5f};
    vec4 blended;
    vec4_rgba_blend(blended, red, blue_half);
    EXPECT_FLOAT_EQ(blended[0], 0.5f);
    EXPECT_FLOAT_EQ(blended[1], 0.0f);
    EXPECT_FLOAT_EQ(blended[2], 0.5f);
    EXPECT_FLOAT_EQ(blended[3], 1.0f);
    // The result may be one of the inputs.
    vec4 a = {0.2f, 0.2f, 0.2f, 0.4f};
    vec4_rgba_blend(a, a, blue_half);
    EXPECT_FLOAT_EQ(a[2], 0.5f + 0.2f * 0.5f);
    EXPECT_FLOAT_EQ(a[3], 0.5f + 0.4f * 0.5f);
}

// ---- YUV and the display's 15-bit colour -----------------------------------------

TEST(Yuv, FromSrgbAndFromDisplayRgb)
{
    struct row {
        vec4 srgb;
        uint8_t y, u, v;
        const char* why;
    } rows[] = {
        {{1, 1, 1, 1}, 255, 128, 128, "white: 255 x 1 + 0.5 rounds to 256, limited to 255"},
        {{0, 0, 0, 1}, 1, 128, 128, "black: 0.5 rounds away from zero to byte 1"},
        {{1, 0, 0, 1}, 77, 84, 255, "red: U shifts a negative value arithmetically, V limited"},
        {{0, 0, 1, 1}, 30, 255, 106, "blue: V shifts -5423 down to -22"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        uint8_t yuv[3];
        n3d_yuv888_from_srgb(yuv, r.srgb);
        EXPECT_EQ(yuv[0], r.y);
        EXPECT_EQ(yuv[1], r.u);
        EXPECT_EQ(yuv[2], r.v);
    }
    struct row555 {
        uint16_t rgb;
        uint8_t y, u, v;
        const char* why;
    } rows555[] = {
        {0x0000, 1, 128, 128, "code 0 is level 0"},
        {0x7FFF, 249, 128, 128, "code 31 is level 30/31, ^0.818 -> 0.9735 -> 249"},
        {0xFFFF, 249, 128, 128, "bit 15 ignored"},
        {4 << 10 | 4 << 5 | 4, 39, 128, 128, "code 4 is the measured level 25/255"},
        {1 << 10 | 1 << 5 | 1, 21, 128, 128, "code 1 is the measured level 12/255"},
    };
    for (const row555& r : rows555) {
        SCOPED_TRACE(r.why);
        uint8_t yuv[3];
        n3d_yuv888_from_applergb555(yuv, r.rgb);
        EXPECT_EQ(yuv[0], r.y);
        EXPECT_EQ(yuv[1], r.u);
        EXPECT_EQ(yuv[2], r.v);
    }
}

TEST(Yuv, ToDisplayRgb)
{
    struct row {
        uint8_t yuv[3];
        uint16_t rgb;
    } rows[] = {
        {{255, 128, 128}, 0x7FFF},
        {{0, 128, 128}, 0x0000},
        {{128, 128, 128}, 16 << 10 | 16 << 5 | 16},
        // V 255: red 302 limited to 255, green 128 - 0.698 x 127 = 39.35 -> 5, blue 128 -> 16.
        {{128, 128, 255}, 31 << 10 | 5 << 5 | 16},
        // Red and blue limited to 0; green 0.698 x 128 + 0.336 x 128 = 132.35 -> 16.59 -> 16.
        {{0, 0, 0}, 16 << 5},
    };
    for (const row& r : rows)
        EXPECT_EQ(n3d_applergb555_from_yuv888(r.yuv), r.rgb) << std::hex << r.rgb;
    // Greys survive the trip to YUV and back within one code.
    for (int c = 5; c < 32; ++c) {
        uint8_t yuv[3];
        n3d_yuv888_from_applergb555(yuv, static_cast<uint16_t>(c << 10 | c << 5 | c));
        uint16_t back = n3d_applergb555_from_yuv888(yuv);
        EXPECT_EQ(back >> 10, back & 31);
        EXPECT_LE(std::abs((back & 31) - c), 2) << c;
    }
}

TEST(BestMatch, NearestOverColourChannels)
{
    const vec4 clut[] = {{0, 0, 0, 1}, {1, 0, 0, 1}, {0, 1, 0, 0}, {1, 0, 0, 0}, {0.5f, 0.5f, 0.5f, 1}};
    struct row {
        vec4 query;
        int count;
        int expected;
        const char* why;
    } rows[] = {
        {{0.9f, 0.1f, 0, 1}, 5, 1, "nearest red"},
        {{1, 0, 0, 0.0f}, 5, 1, "alpha ignored: entry 3 ties with 1, the first wins"},
        {{0, 0.8f, 0, 1}, 5, 2, "green despite its alpha 0"},
        {{0.25f, 0.25f, 0.25f, 1}, 5, 0, "equal distance to 0 and 4: the first"},
        {{0.26f, 0.26f, 0.26f, 1}, 5, 4, "a little nearer to 4"},
        {{1, 1, 1, 1}, 0, 0, "empty array"},
    };
    for (const row& r : rows)
        EXPECT_EQ(n3d_find_best_match_linear_pma(clut, r.count, r.query), r.expected) << r.why;
}

// ---- swizzled layout -----------------------------------------------------------------

TEST(Swizzle, HandComputedAddresses)
{
    struct row {
        uint32_t u, v, index;
        const char* why;
    } rows[] = {
        {0, 0, 0, "origin"},
        {0, 1, 1, "the next row is the next texel of the same word"},
        {0, 3, 3, "4 vertically adjacent texels share a word"},
        {1, 0, 4, "the next column is the next word"},
        {63, 3, 255, "last texel of the first 64x4 band"},
        {0, 4, 256, "bands stack"},
        {5, 6, 256 + 5 * 4 + 2, "inside the second band"},
        {63, 255, 16383, "last texel of the first 64-wide stripe"},
        {64, 0, 16384, "stripes lie side by side"},
        {130, 9, 2 * 16384 + 2 * 256 + 2 * 4 + 1, "third stripe"},
        {255, 255, 65535, "last texel"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        EXPECT_EQ(n3d_swizzle_index_16bpp(r.u, r.v), r.index);
        EXPECT_EQ(n3d_swizzle_index_8bpp(r.u, r.v), r.index);
        EXPECT_EQ(n3d_swizzle_offset_16bpp(r.u, r.v), 2 * r.index);
        EXPECT_EQ(n3d_swizzle_offset_8bpp(r.u, r.v), r.index);
        EXPECT_EQ(n3d_swizzle_size_16bpp(r.u, r.v), 2 * r.index + 2);
        EXPECT_EQ(n3d_swizzle_size_8bpp(r.u, r.v), r.index + 1);
    }
    EXPECT_EQ(n3d_swizzle_offset_16bpp(255, 255), 131070u);
}

TEST(Swizzle, BijectionOn256x256AndUnswizzle)
{
    std::vector<int> seen(65536, 0);
    for (uint32_t v = 0; v < 256; ++v)
        for (uint32_t u = 0; u < 256; ++u) {
            uint32_t i = n3d_swizzle_index_16bpp(u, v);
            ASSERT_LT(i, 65536u);
            ++seen[i];
            uint32_t bu = 999, bv = 999;
            n3d_unswizzle_offset_16bpp(n3d_swizzle_offset_16bpp(u, v), &bu, &bv);
            ASSERT_EQ(bu, u);
            ASSERT_EQ(bv, v);
            n3d_unswizzle_offset_8bpp(n3d_swizzle_offset_8bpp(u, v), &bu, &bv);
            ASSERT_EQ(bu, u);
            ASSERT_EQ(bv, v);
        }
    for (int i = 0; i < 65536; ++i)
        ASSERT_EQ(seen[i], 1) << i;
}

TEST(Swizzle, TexelIndexBothLayouts)
{
    EXPECT_EQ(n3d_texel_index(N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 5, 0, 7, 3), (3u << 5) | 7u);
    EXPECT_EQ(n3d_texel_index(N3D_TEXEL_FORMAT_BUMPMAP, 8, 0, 255, 255), 65535u);
    for (int format = 1; format <= 4; ++format)
        EXPECT_EQ(n3d_texel_index(format, 6, 1, 70, 9), n3d_swizzle_index_16bpp(70, 9)) << format;
}

TEST(Swizzle, MipSizes)
{
    struct row {
        int format, swizzled, u_level, v_level;
        uint32_t bytes;
        const char* why;
    } rows[] = {
        {2, 1, 8, 8, 131072, "256x256 16-bit"},
        {2, 1, 2, 6, 7712, "4x64 16-bit keeps the 64-column band"},
        {1, 1, 2, 3, 272, "4x8 8-bit: last texel (3, 7) at 271"},
        {3, 1, 2, 3, 272, "same for the overlay-index format"},
        {1, 0, 2, 3, 32, "4x8 8-bit row by row"},
        {1, 1, 2, 2, 16, "4x4 swizzled"},
        {1, 0, 2, 2, 16, "4x4 row by row"},
        {2, 0, 2, 2, 32, "16-bit row by row"},
        {4, 0, 2, 2, 64, "bump map row by row"},
        {2, 1, 0, 0, 2, "1x1 16-bit"},
        {3, 1, 8, 0, 49405, "256x1: last texel (255, 0) at 3 x 16384 + 63 x 4"},
    };
    for (const row& r : rows)
        EXPECT_EQ(n3d_mipmap_size(r.format, r.swizzled, r.u_level, r.v_level), r.bytes) << r.why;
}

TEST(Swizzle, BadFormatsAreFatal)
{
    struct row {
        int format, swizzled;
        const char* header;
        const char* message;
    } rows[] = {
        {4, 1, "crash at src/n3d_convert:", "not implemented texture format 4\n"},
        {0, 1, "crash at src/n3d_convert:", "not implemented texture format 0\n"},
        {7, 0, "crash in  at src/n3d_convert:", "bad N3D_TEXEL_FORMAT 7?\n"},
    };
    for (const row& r : rows) {
        captured_run run = capture_run([&] { n3d_mipmap_size(r.format, r.swizzled, 2, 2); });
        EXPECT_EQ(run.exited, 1);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(crash_site(run.err).rfind(crash_site(r.header), 0), 0u) << run.err;
        EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
    }
    captured_run run = capture_run([] { n3d_texel_index(5, 4, 0, 1, 1); });
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not implemented texture format 5\n"), std::string::npos);
    run = capture_run([] { n3d_mipmap_size(2, 1, -1, 40); });
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("bad mip level -1 x 40\n"), std::string::npos);
}

TEST(Swizzle, PowerOfTwo)
{
    const struct {
        uint32_t x;
        int pow2;
    } rows[] = {{0, 0}, {1, 1}, {2, 1}, {3, 0}, {96, 0}, {256, 1}, {0x80000000u, 1}, {0xFFFFFFFFu, 0}};
    for (const auto& r : rows)
        EXPECT_EQ(u32_is_pow2(r.x), r.pow2) << r.x;
}

}  // namespace
