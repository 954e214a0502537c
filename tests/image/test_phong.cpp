// Phong lookup tables and lit shade tables: the falloff's worked values, pads
// and floor, the bucket tables against their definition, and the physically
// based and earlier shade tables against a double-precision reference of their
// formulas, at the ends of their parameter ranges.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/test_arena.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

void expect_pads(const uint8_t* lut)
{
    for (int i = 1; i <= 8; i++) {
        EXPECT_EQ(lut[-i], lut[0]) << "pad " << -i;
        EXPECT_EQ(lut[255 + i], lut[255]) << "pad " << 255 + i;
    }
}

// ---- falloff ------------------------------------------------------------------

TEST(PhongLut, WorkedValuesThroughBothBuilders)
{
    test_arena a;
    n3d_phong_lut rec;
    n3d_phong_lut_init(&rec, &a.arena, 1.0f, 0);
    const uint8_t* built = n3d_build_phong_lut(&a.arena, 1.0f, 0);
    EXPECT_EQ(rec.lut, rec.base + 8);
    EXPECT_EQ(rec.pad, 8);
    EXPECT_EQ(rec.r_max, 1.0f);
    EXPECT_EQ(rec.c_min, 0);
    EXPECT_EQ(a.arena.sp, 2u * 272u);
    struct row {
        int i, level;
    } rows[] = {{0, 31},  {1, 28},  {2, 27},  {10, 22}, {64, 9},  {127, 0},
                {128, 0}, {255, 0}, {-1, 31}, {-8, 31}, {256, 0}, {263, 0}};
    for (const uint8_t* lut : {static_cast<const uint8_t*>(rec.lut), built}) {
        for (const row& r : rows)
            EXPECT_EQ(lut[r.i], r.level) << "entry " << r.i;
        for (int i = 128; i < 256; i++)
            EXPECT_EQ(lut[i], 0) << i;
    }
    n3d_phong_lut_update(&rec, 1.0f, 4);
    EXPECT_EQ(rec.c_min, 4);
    for (int i = 100; i < 264; i++)
        EXPECT_EQ(rec.lut[i], 4) << "the floor holds the tail, entry " << i;
    EXPECT_EQ(rec.lut[0], 31);
}

TEST(PhongLut, FalloffAgainstItsDefinition)
{
    test_arena a;
    n3d_phong_lut rec;
    n3d_phong_lut_init(&rec, &a.arena, 0.5f, 0);
    for (float r_max : {0.3f, 0.5f, 1.0f, 1.414f, 8.0f}) {
        for (int c_min : {0, 1, 7}) {
            SCOPED_TRACE(testing::Message() << "r_max " << r_max << " c_min " << c_min);
            n3d_phong_lut_update(&rec, r_max, c_min);
            const uint8_t* built = n3d_build_phong_lut(&a.arena, r_max, c_min);
            for (int i = 0; i < 256; i++) {
                double v = std::max(0.0, 1.0 - std::sqrt(2.0 * i / 255.0) / r_max) * 31.0;
                v = std::max(v, static_cast<double>(c_min));
                // Truncation may land either side only where v sits on an integer.
                double frac = v - std::floor(v);
                if (frac > 1e-4 && frac < 1 - 1e-4) {
                    ASSERT_EQ(rec.lut[i], static_cast<int>(v)) << i;
                    ASSERT_EQ(built[i], static_cast<int>(v)) << i;
                }
                if (i > 0) {
                    ASSERT_LE(rec.lut[i], rec.lut[i - 1]) << "the falloff never rises";
                }
            }
            expect_pads(rec.lut);
            expect_pads(built);
        }
    }
    n3d_phong_lut_update(&rec, FLT_MAX, 0);
    for (int i = -8; i < 264; i++)
        ASSERT_EQ(rec.lut[i], 31) << "no falloff at the largest radius";
}

TEST(PhongLut, NoRadiusGivesTheFloor)
{
    test_arena a;
    n3d_phong_lut rec;
    for (float r_max : {0.0f, -1.0f, NAN}) {
        SCOPED_TRACE(r_max);
        n3d_phong_lut_init(&rec, &a.arena, r_max, 3);
        const uint8_t* built = n3d_build_phong_lut(&a.arena, r_max, 3);
        for (int i = -8; i < 264; i++) {
            ASSERT_EQ(rec.lut[i], 3) << i;
            ASSERT_EQ(built[i], 3) << i;
        }
    }
    // A floor above what a byte holds saturates, with or without a radius (the
    // level was converted out of range before).
    for (float r_max : {0.0f, 1.0f}) {
        n3d_phong_lut_init(&rec, &a.arena, r_max, 300);
        const uint8_t* built = n3d_build_phong_lut(&a.arena, r_max, 300);
        for (int i = -8; i < 264; i++) {
            ASSERT_EQ(rec.lut[i], 255) << r_max << " " << i;
            ASSERT_EQ(built[i], 255) << r_max << " " << i;
        }
    }
}

// ---- buckets ------------------------------------------------------------------

TEST(PhongBuckets, TableAndCosinesFromTheirDefinition)
{
    const int starts[32] = {0,  6,  12, 18, 24,  30,  36,  41,  46,  51,  56,  61,  66,  71,  76,  81,
                            85, 89, 93, 97, 101, 105, 108, 111, 114, 117, 120, 122, 124, 126, 127, 128};
    for (int i = 0; i < 256; i++) {
        int b = 31;
        while (starts[b] > i)
            b--;
        ASSERT_EQ(rsqr_to_bucket[i], b) << i;
    }
    // Each bucket's cosine is the mean of sqrt(max(0, 1 - 2i / 255)) over its
    // rsqr values: the half vector's distance from the normal r^2 = 2i / 255.
    for (int b = 0; b < 32; b++) {
        double sum = 0;
        int n = 0;
        for (int i = 0; i < 256; i++) {
            if (rsqr_to_bucket[i] == b) {
                sum += std::sqrt(std::max(0.0, 1.0 - 2.0 * i / 255.0));
                n++;
            }
        }
        ASSERT_GT(n, 0);
        EXPECT_NEAR(rsqr_bucket_to_hdotn[b], sum / n, 1e-6) << "bucket " << b;
    }

    test_arena a;
    n3d_phong_lut rec;
    n3d_phong_lut_init(&rec, &a.arena, 0.3f, 0);
    n3d_build_phong_lut_for_pbr_shade_table(&rec, 32);
    EXPECT_EQ(rec.r_max, 0.0f);
    EXPECT_EQ(rec.c_min, 1);
    struct row {
        int i, bucket;
    } rows[] = {{-8, 0}, {-1, 0}, {5, 0}, {6, 1}, {127, 30}, {128, 31}, {255, 31}, {256, 31}, {263, 31}};
    for (const row& r : rows)
        EXPECT_EQ(rec.lut[r.i], r.bucket) << r.i;
}

TEST(PhongMath, SmallFunctions)
{
    EXPECT_FLOAT_EQ(mix_remove(0.2f, 0.8f, 1.5f), 0.8f);
    EXPECT_FLOAT_EQ(mix_remove(0.2f, 0.8f, -1.0f), 0.2f);
    EXPECT_FLOAT_EQ(mix_remove(0.2f, 0.8f, 0.5f), 0.5f);
    EXPECT_FLOAT_EQ(n3d_ndotl_from_hdotn(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(n3d_ndotl_from_hdotn(0.0f), 0.5f);
    EXPECT_FLOAT_EQ(n3d_ndotl_from_hdotn(2.0f), 1.0f) << "limited to 1";
}

// ---- shade tables -----------------------------------------------------------------

// Fixture palette: black, white, red, a mid colour, a dark one, and a
// transparent entry (which decodes to zero).
const uint16_t PALETTE[6] = {0x8000, 0xFFFF, 0xFC00, 0x8000 | 16 << 10 | 20 << 5 | 8, 0x8000 | 2 << 10 | 1 << 5 | 3,
                             0x7FFF};

double clamp01(double x) { return x < 0 ? 0 : (x > 1 ? 1 : x); }

double srgb_to_linear(double s) { return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4); }

// The 5-bit code whose sRGB range holds linear x: codes begin at sRGB
// (8i - 0.5) / 255, through the inverse of the encode curve (exponent 0.41666).
int code_5bit(double x)
{
    int code = 0;
    for (int i = 1; i < 32; i++) {
        double s = (8.0 * i - 0.5) / 255.0;
        double start = s < 12.92 * 0.0031308 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 1.0 / 0.41666);
        if (x >= start)
            code = i;
    }
    return code;
}

// Distance in linear light from x to the nearest code boundary.
double boundary_distance(double x)
{
    double best = 1e9;
    for (int i = 1; i < 32; i++) {
        double s = (8.0 * i - 0.5) / 255.0;
        double start = s < 12.92 * 0.0031308 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 1.0 / 0.41666);
        best = std::min(best, std::fabs(x - start));
    }
    return best;
}

struct pbr_params {
    double ambient[3], ambient_factor[3], light_min[3], light_max[3];
    double metallic, roughness;
    const char* why;
};

// The fast table's formulas in double precision, independent of the code under test.
void pbr_reference(double out[3], const pbr_params& p, uint16_t colour, int s)
{
    double metal = clamp01(p.metallic), rough = clamp01(p.roughness);
    double alpha_sqr = std::pow(rough * rough, 2);
    double h = rsqr_bucket_to_hdotn[s];
    double ndotl = clamp01(1 - (1 - h * h) * 0.5);
    double d = 1 + h * h * (alpha_sqr - 1);
    double D = std::max(0.001, alpha_sqr / (d * d));
    double k = (1 + rough) * (1 + rough) / 8;
    double G = ndotl / ((1 - k) * ndotl + k);
    double schlick = std::pow(1 - h, 5);
    double a = colour & 0x8000 ? 1.0 : 0.0;
    for (int i = 0; i < 3; i++) {
        int c5 = colour >> (10 - 5 * i) & 31;
        double l = srgb_to_linear(c5 / 31.0) * a;
        double f0 = l * metal + (1 - metal) * 0.04;
        double F = schlick * (1 - f0) + f0;
        double specular = clamp01(D * G * F);
        double diff = clamp01((1 - metal) * l * ndotl);
        double light = p.light_min[i] + (p.light_max[i] - p.light_min[i]) * specular;
        out[i] = clamp01((specular + diff) * light + l * p.ambient_factor[i] + p.ambient[i]);
    }
}

TEST(PbrShadeTable, AgainstTheReferenceAtTheEnds)
{
    const pbr_params cases[] = {
        {{0.016, 0.015, 0.022},
         {0.010, 0.014, 0.058},
         {0.016, 0.015, 0.022},
         {0.748, 0, 1},
         0.0,
         0.5,
         "the datapack scene's parameters"},
        {{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1}, 1.0, 0.0, "fully metallic and smooth: D is 0.001"},
        {{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1}, 0.0, 1.0, "dielectric, fully rough"},
        {{0.1, 0.1, 0.1}, {0.5, 0.5, 0.5}, {0, 0, 0}, {2, 2, 2}, 3.0, -2.0, "factors limited to 0..1"},
        {{1, 1, 1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 0.5, 0.5, "ambient at the top: all white"},
    };
    for (const pbr_params& p : cases) {
        SCOPED_TRACE(p.why);
        float ambient[3], factor[3], lmin[3], lmax[3];
        for (int i = 0; i < 3; i++) {
            ambient[i] = static_cast<float>(p.ambient[i]);
            factor[i] = static_cast<float>(p.ambient_factor[i]);
            lmin[i] = static_cast<float>(p.light_min[i]);
            lmax[i] = static_cast<float>(p.light_max[i]);
        }
        uint16_t table[6 * 32];
        n3d_texture_build_shade_table_argb1555_pbr(table, 32, 6, ambient, factor, lmin, lmax,
                                                   static_cast<float>(p.metallic), static_cast<float>(p.roughness),
                                                   PALETTE);
        for (int c = 0; c < 6; c++) {
            for (int s = 0; s < 32; s++) {
                uint16_t e = table[c * 32 + s];
                ASSERT_TRUE(e & 0x8000) << "always opaque";
                double ref[3];
                pbr_reference(ref, p, PALETTE[c], s);
                for (int i = 0; i < 3; i++) {
                    int got = e >> (10 - 5 * i) & 31;
                    if (boundary_distance(ref[i]) > 1e-5)
                        ASSERT_EQ(got, code_5bit(ref[i])) << "colour " << c << " shade " << s << " channel " << i;
                    else
                        ASSERT_NEAR(got, code_5bit(ref[i]), 1);
                }
            }
        }
    }
}

// The build shares each channel's codes between the colours that have that
// channel's bits: every ARGB1555 value (opaque and transparent, in palettes of
// 256 whose colours repeat channels in every order) must give the entries of
// the build that evaluates each entry on its own, bit for bit.
TEST(PbrShadeTable, SharedChannelCodesMatchEntriesEvaluatedAlone)
{
    struct params {
        float ambient[3], factor[3], lmin[3], lmax[3], metallic, roughness;
        int shades;
        const char* why;
    } cases[] = {
        {{0.0159f, 0.0152f, 0.0222f},
         {0.0103f, 0.0144f, 0.0578f},
         {0.0159f, 0.0152f, 0.0222f},
         {0.74786305f, 0.0f, 1.0f},
         0.0f,
         0.5f,
         32,
         "the datapack scene's parameters"},
        {{0.011f, 0.010f, 0.019f},
         {0.32f, 0.31f, 0.39f},
         {0.023f, 0.013f, 0.034f},
         {1.0f, 0.89f, 0.72f},
         0.6f,
         0.4f,
         32,
         "a metallic plate"},
        {{0, 0, 0}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, 1.0f, 0.0f, 32, "fully metallic and smooth"},
        {{0.5f, 0, 0.25f}, {0.5f, 2, 0}, {0, 0.5f, 3}, {2, 0, 1}, 3.0f, -2.0f, 17, "factors limited, 17 shades"},
        {{0.2f, 0.2f, 0.2f}, {0, 0, 0}, {0, 0, 0}, {0.9f, 0.9f, 0.9f}, 0.3f, 0.9f, 1, "one shade"},
        {{n3d_table_linear_to_srgb5bit[7], n3d_table_linear_to_srgb5bit[16], n3d_table_linear_to_srgb5bit[31]},
         {0, 0, 0},
         {0, 0, 0},
         {0, 0, 0},
         0.5f,
         0.5f,
         32,
         "no light, the ambient on the encode's thresholds"},
    };
    std::vector<uint16_t> palette(65536);
    // Colour c of palette p: the 16-bit value with its channels and alpha
    // turned round, so channels recur in each palette in different company.
    for (uint32_t v = 0; v < 65536; v++)
        palette[v] = static_cast<uint16_t>((v * 40503u) & 0xFFFFu);
    for (const params& p : cases) {
        SCOPED_TRACE(p.why);
        const size_t n = static_cast<size_t>(p.shades) * 256;
        std::vector<uint16_t> got(n), want(n);
        for (int k = 0; k < 256; k++) {
            const uint16_t* pal = &palette[static_cast<size_t>(k) * 256];
            n3d_texture_build_shade_table_argb1555_pbr(got.data(), p.shades, 256, p.ambient, p.factor, p.lmin, p.lmax,
                                                       p.metallic, p.roughness, pal);
            n3d_texture_build_shade_table_argb1555_pbr_per_entry(want.data(), p.shades, 256, p.ambient, p.factor,
                                                                 p.lmin, p.lmax, p.metallic, p.roughness, pal);
            for (size_t e = 0; e < n; e++)
                ASSERT_EQ(got[e], want[e]) << "palette " << k << " colour " << e / p.shades << " (0x" << std::hex
                                           << pal[e / p.shades] << std::dec << ") shade " << e % p.shades;
        }
    }
}

TEST(PbrShadeTable, LightOffLeavesTheTexture)
{
    const float zero[3] = {0, 0, 0}, one[3] = {1, 1, 1};
    uint16_t table[6 * 32];
    // No light, ambient factor 1: every shade is the palette colour itself
    // (the transparent entry turns opaque black).
    n3d_texture_build_shade_table_argb1555_pbr(table, 32, 6, zero, one, zero, zero, 0.3f, 0.7f, PALETTE);
    for (int c = 0; c < 6; c++)
        for (int s = 0; s < 32; s++)
            ASSERT_EQ(table[c * 32 + s], PALETTE[c] & 0x8000 ? PALETTE[c] : 0x8000) << c << " " << s;
}

TEST(PbrShadeTable, ShadeCountsBeyondTheBuckets)
{
    const float zero[3] = {0, 0, 0};
    struct row {
        int shades;
        bool ok;
        const char* msg;
    } rows[] = {{32, true, ""}, {33, false, "one per bucket"}, {257, false, "shades per color must be < 256 is 257\n"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.shades);
        for (int slow : {0, 1}) {
            captured_run run = capture_run([&] {
                std::vector<uint16_t> table(static_cast<size_t>(r.shades) * 6);
                if (slow)
                    n3d_texture_build_shade_table_argb1555_pbr_slow(table.data(), r.shades, 6, zero, zero, 0, 0,
                                                                    PALETTE);
                else
                    n3d_texture_build_shade_table_argb1555_pbr(table.data(), r.shades, 6, zero, zero, zero, zero, 0, 0,
                                                               PALETTE);
            });
            EXPECT_EQ(run.status, r.ok ? 0 : 1) << run.err;
            if (!r.ok && !(slow && r.shades == 257)) {
                EXPECT_NE(run.err.find(r.msg), std::string::npos) << run.err;
            }
        }
    }
}

TEST(PbrShadeTable, SlowReferenceAtTheEnds)
{
    const float zero[3] = {0, 0, 0}, grey[3] = {0.2f, 0.2f, 0.2f}, one[3] = {1, 1, 1};
    uint16_t table[6 * 32];
    // No light: ambient only, the truncating encode of linear 0.2 (sRGB 0.4845).
    n3d_texture_build_shade_table_argb1555_pbr_slow(table, 32, 6, grey, zero, 0.0f, 0.5f, PALETTE);
    for (int i = 0; i < 6 * 32; i++)
        ASSERT_EQ(table[i], 0x8000 | 15 << 10 | 15 << 5 | 15) << i;
    // White light on white, dielectric and rough: the last bucket (h = 0) has
    // n.l = 0 and so only the ambient; the first is lit (n.l = 0.96).
    n3d_texture_build_shade_table_argb1555_pbr_slow(table, 32, 6, zero, one, 0.0f, 1.0f, PALETTE);
    EXPECT_EQ(table[1 * 32 + 31], 0x8000);
    EXPECT_GE(table[1 * 32 + 0] & 0x1F, 30) << "linear 0.9999 truncates to 30";
    for (int s = 1; s < 32; s++)
        EXPECT_LE(table[1 * 32 + s] & 0x1F, table[1 * 32 + s - 1] & 0x1F) << "light falls toward the rim";
}

TEST(EarlierShadeTable, ShadeThresholdsAtTheTop)
{
    const float zero[4] = {0, 0, 0, 0}, white[4] = {1, 1, 1, 1};
    uint16_t plain[6 * 32], specular[6 * 32];
    n3d_texture_build_shade_table_ex_argb1555(plain, 32, 6, zero, zero, zero, 0.0f, PALETTE);
    n3d_texture_build_shade_table_ex_argb1555(specular, 32, 6, zero, white, zero, 0.0f, PALETTE);
    for (int c = 0; c < 6; c++) {
        SCOPED_TRACE(c);
        vec4 l;
        n3d_argb1555_to_linear_pma(l, PALETTE[c]);
        for (int s = 0; s < 32; s++) {
            // Diffuse ramps to full at shade 16; the top-shade terms add only at 31.
            float d = std::min(1.0f, s / 16.0f);
            vec4 x = {l[0] * d, l[1] * d, l[2] * d, 1.0f};
            EXPECT_EQ(plain[c * 32 + s], n3d_argb1555_from_linear_pma(x)) << s;
            EXPECT_EQ(specular[c * 32 + s], s == 31 ? 0xFFFF : plain[c * 32 + s]) << s;
        }
    }
    // The diffuse gain and the bleed also join at the top shade only.
    uint16_t gain[6 * 32];
    n3d_texture_build_shade_table_ex_argb1555(gain, 32, 6, zero, zero, white, 1.0f, PALETTE);
    for (int s = 0; s < 31; s++)
        EXPECT_EQ(gain[3 * 32 + s], plain[3 * 32 + s]) << s;
    EXPECT_NE(gain[3 * 32 + 31], plain[3 * 32 + 31]);
}

TEST(EarlierShadeTable, FewerThanSixShadesRefused)
{
    const float zero[4] = {0, 0, 0, 0};
    for (int shades : {1, 5, 6, 7}) {
        SCOPED_TRACE(shades);
        captured_run run = capture_run([&] {
            std::vector<uint16_t> table(static_cast<size_t>(shades) * 6);
            n3d_texture_build_shade_table_ex_argb1555(table.data(), shades, 6, zero, zero, zero, 1.0f, PALETTE);
            // The top shade of white reaches full white, shade 0 is the ambient (black).
            printf("%04x %04x\n", table[1 * shades + shades - 1], table[1 * shades]);
        });
        EXPECT_EQ(run.status, shades >= 6 ? 0 : 1) << run.err;
        if (shades >= 6) {
            EXPECT_EQ(run.out, "ffff 8000\n");
        } else {
            EXPECT_NE(run.err.find("shades per color must be at least 6"), std::string::npos) << run.err;
        }
    }
}

}  // namespace
