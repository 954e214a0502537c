// Texture building: every texel format from a small fixture, swizzled and row by
// row, with its two-dimensional mip chain; the requirements; the histogram
// palette (ties to the lower key), the shade tables and the reverse palette; the
// alpha key and alpha fitting; validation and the debug comparison; and the
// time the benchmark's two textures take to build.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<32u << 20>;

struct rgba {
    uint8_t r, g, b, a;
    bool operator==(const rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

void set_px(bitmap& b, uint32_t x, uint32_t y, rgba c)
{
    uint8_t* p = b.data + y * b.row_bytes + x * 4;
    p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
}

rgba get_px(const bitmap& b, uint32_t x, uint32_t y)
{
    const uint8_t* p = b.data + y * b.row_bytes + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

const rgba RED = {255, 0, 0, 255}, BLUE = {0, 0, 255, 255}, GREEN = {0, 255, 0, 255}, WHITE = {255, 255, 255, 255};

// Quadrants of primaries: each quadrant stays a whole number of texels down to
// 4x4, and box or Lanczos averages inside one colour give that colour, so every
// level of the chain must decode to the same quadrants.
rgba quadrant(uint32_t x, uint32_t y, uint32_t w, uint32_t h)
{
    bool right = x >= w / 2, bottom = y >= h / 2;
    return bottom ? (right ? WHITE : GREEN) : (right ? BLUE : RED);
}

void make_quadrants(bitmap& b, memarena* arena, uint32_t w, uint32_t h)
{
    bitmap_init(&b, arena, w, h, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++)
            set_px(b, x, y, quadrant(x, y, w, h));
}

// The display colour table: CLUT indices 16 to 23 hold the primaries and greys.
palette make_clut(memarena* arena)
{
    palette p;
    palette_init(&p, arena, 16, 8);
    const rgba entries[8] = {{0, 0, 0, 255},      RED, GREEN, BLUE, WHITE, {128, 128, 128, 255}, {64, 64, 64, 255},
                             {192, 192, 192, 255}};
    for (int k = 0; k < 8; k++)
        memcpy(p.rgba8888 + 4 * k, &entries[k], 4);
    return p;
}

int chain_levels(const n3d_texture& t)
{
    int n = 0;
    int entries = N3D_MIP_INDEX(t.w_log2 - t.min_u_level, t.h_log2 - t.min_v_level) + 1;
    for (int i = 0; i < entries; i++)
        n += t.mips[i] != nullptr;
    return n;
}

// ---- every format -----------------------------------------------------------

TEST(TextureBuild, EveryFormatSwizzledAndNotWithMips)
{
    test_arena a, tmp;
    palette clut = make_clut(&a.arena);
    bitmap src;
    make_quadrants(src, &a.arena, 16, 32);
    for (int format : {1, 2, 3}) {
        for (int swizzle : {0, 1}) {
            for (int mips : {0, 1}) {
                SCOPED_TRACE(testing::Message() << "format " << format << " swizzle " << swizzle << " mips " << mips);
                n3d_texture t;
                n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, format, swizzle, mips, 0, 2, &src,
                                             format == 3 ? &clut : nullptr, -1, 0.0f);
                EXPECT_EQ(tmp.arena.sp, 0u) << "temporary arena rewound";
                EXPECT_EQ(t.format, format);
                EXPECT_EQ(t.not_swizzled, !swizzle);
                EXPECT_EQ(t.w_log2, 4);
                EXPECT_EQ(t.h_log2, 5);
                EXPECT_EQ(t.min_u_level, mips ? 2 : 4);
                EXPECT_EQ(t.min_v_level, mips ? 2 : 5);
                EXPECT_EQ(chain_levels(t), mips ? 3 * 4 : 1);
                EXPECT_EQ(t.colors_count, format == 2 ? 0 : 256);
                EXPECT_EQ(t.shades_per_color, format == 2 ? 0 : 32);
                for (int ud = 0; ud <= t.w_log2 - t.min_u_level; ud++) {
                    for (int vd = 0; vd <= t.h_log2 - t.min_v_level; vd++) {
                        bitmap back;
                        n3d_texture_to_bitmap(&back, &t, &clut, &a.arena, ud, vd, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
                        ASSERT_EQ(back.width, 16u >> ud);
                        ASSERT_EQ(back.height, 32u >> vd);
                        for (uint32_t y = 0; y < back.height; y++)
                            for (uint32_t x = 0; x < back.width; x++)
                                ASSERT_EQ(get_px(back, x, y), quadrant(x, y, back.width, back.height))
                                    << "level " << ud << "," << vd << " texel " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST(TextureBuild, SwizzledLevelIsAPermutationOfTheRows)
{
    test_arena a, tmp;
    palette clut = make_clut(&a.arena);
    bitmap src;
    bitmap_init(&src, &a.arena, 128, 8, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    std::mt19937 rng(3);
    const rgba colours[4] = {RED, GREEN, BLUE, WHITE};
    for (uint32_t y = 0; y < 8; y++)
        for (uint32_t x = 0; x < 128; x++)
            set_px(src, x, y, colours[rng() & 3]);
    for (int format : {1, 2, 3}) {
        SCOPED_TRACE(format);
        n3d_texture rows, swz;
        n3d_make_texture_from_bitmap(&rows, &a.arena, &tmp.arena, format, 0, 0, 0, 2, &src, &clut, -1, 0.0f);
        n3d_make_texture_from_bitmap(&swz, &a.arena, &tmp.arena, format, 1, 0, 0, 2, &src, &clut, -1, 0.0f);
        int bpp = format == 2 ? 2 : 1;
        for (uint32_t v = 0; v < 8; v++) {
            for (uint32_t u = 0; u < 128; u++) {
                // The swizzled layout's own formula: 4 rows per word, 64-wide bands.
                uint32_t index = (v & 3) | (u & 63) << 2 | ((v >> 2) & 63) << 8 | ((u >> 6) & 3) << 14;
                ASSERT_EQ(memcmp(swz.mips[0] + index * bpp, rows.mips[0] + (v * 128 + u) * bpp, bpp), 0)
                    << u << "," << v;
            }
        }
    }
}

TEST(TextureBuild, BumpmapTexels)
{
    struct row {
        rgba px;
        uint32_t texel;
        const char* why;
    } rows[] = {
        {{255, 128, 128, 255}, 0x7F00FF7Fu, "normal (1, 0, 0): bytes 127, 0, 255, 127"},
        {{0, 128, 128, 255}, 0x8100FF7Fu, "normal (-1, 0, 0): x byte -127"},
        {{128, 0, 128, 255}, 0x0081FF7Fu, "normal (0, -1, 0)"},
        {{153, 153, 255, 255}, 0x1818140Au, "tilted: squared length 20, squares 5 + 5"},
    };
    test_arena a, tmp;
    bitmap src;
    bitmap_init(&src, &a.arena, 4, 4, BITMAP_FLAG_RGBA);  // normals carry no sRGB flag
    for (uint32_t i = 0; i < 16; i++)
        set_px(src, i % 4, i / 4, rows[i % 4].px);
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, N3D_TEXEL_FORMAT_BUMPMAP, 0, 0, 0, 2, &src, nullptr, -1,
                                 0.0f);
    for (uint32_t i = 0; i < 16; i++) {
        SCOPED_TRACE(rows[i % 4].why);
        uint32_t texel;
        memcpy(&texel, t.mips[0] + 4 * i, 4);
        EXPECT_EQ(texel, rows[i % 4].texel);
    }
}

TEST(TextureBuild, ChainOfANonSquareTexture)
{
    test_arena a, tmp;
    bitmap src;
    make_quadrants(src, &a.arena, 256, 64);
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 2, 1, 1, 1, 2, &src, nullptr, -1, 0.0f);
    EXPECT_EQ(chain_levels(t), 35) << "u_down 0..6 by v_down 0..4";
    int entries = N3D_MIP_INDEX(6, 4) + 1;
    for (int i = 0; i < entries; i++)
        EXPECT_EQ(t.mips[i] != nullptr, (i & 127) <= 6 && (i >> 7) <= 4) << i;
    // Sampled from the base: the 4x4 level still shows the quadrants.
    bitmap back;
    n3d_texture_to_bitmap(&back, &t, nullptr, &a.arena, 6, 4, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    for (uint32_t y = 0; y < 4; y++)
        for (uint32_t x = 0; x < 4; x++)
            EXPECT_EQ(get_px(back, x, y), quadrant(x, y, 4, 4));
}

TEST(TextureBuild, RequirementsStopTheProgram)
{
    struct row {
        uint32_t w, h;
        int format, swizzle;
        bool clut, ok;
        const char* why;
    } rows[] = {
        {2, 8, 2, 0, false, false, "narrower than 4"},
        {300, 256, 2, 0, false, false, "width not a power of two"},
        {512, 512, 2, 1, false, false, "swizzled above 256"},
        {512, 512, 2, 0, false, true, "512 only without swizzle"},
        {8, 8, 5, 0, false, false, "format 5"},
        {8, 8, 0, 0, false, false, "format 0"},
        {8, 8, 3, 0, false, false, "format 3 without a display_clut"},
        {8, 8, 3, 0, true, true, "format 3 with a display_clut"},
        {8, 8, 4, 1, false, false, "swizzled BUMPMAP"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        captured_run run = capture_run([&] {
            test_arena a(8u << 20), tmp(24u << 20);
            palette clut = make_clut(&a.arena);
            bitmap src;
            make_quadrants(src, &tmp.arena, r.w, r.h);
            n3d_texture t;
            n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, r.format, r.swizzle, 0, 0, 2, &src,
                                         r.clut ? &clut : nullptr, -1, 0.0f);
        });
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.status, r.ok ? 0 : 1);
        const char* msg = r.format == 4 ? "not implemented texture format 4\n"
                                        : "cannot create texture, did not meet requirements, see above logs\n";
        EXPECT_EQ(run.err.find(msg) != std::string::npos, !r.ok) << run.err;
    }
}

// The level writer's own stops: which message, in which crash form. A width
// that is not a power of two addresses by bytes per texel, so an unknown format
// stops there; a power-of-two width stops at the texel index.
TEST(TextureBuild, LevelWriterStops)
{
    struct row {
        int format, w, swizzle;
        const char* header;
        const char* message;
    } rows[] = {
        {3, 8, 0, "crash at src/n3d_convert:", "must provide display_clut (was nil) for format 3\n"},
        {1, 8, 0, "crash at src/n3d_convert:", "must provide reverse_palette (was nil) for format 1\n"},
        {2, 12, 1, "crash at src/n3d_convert:", "can only swizzle when width is pow2! width is: 12\n"},
        {7, 8, 0, "crash at src/n3d_convert:", "not implemented texture format 7\n"},
        {7, 12, 0, "crash in  at src/n3d_convert:", "bad N3D_TEXEL_FORMAT 7?\n"},
        {0, 12, 0, "crash in  at src/n3d_convert:", "bad N3D_TEXEL_FORMAT 0?\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        captured_run run = capture_run([&] {
            test_arena a(1u << 20);
            bitmap src;
            make_quadrants(src, &a.arena, static_cast<uint32_t>(r.w), 4);
            std::vector<uint8_t> level(4096);
            n3d_framebuffer fb = {};
            fb.w = r.w;
            fb.h = 4;
            fb.row_bytes = 4 * r.w;
            fb.b = level.data();
            n3d_framebuffer_from_bitmap(&fb, r.format, r.swizzle, nullptr, nullptr, &src, -1, 0.0f);
        });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(crash_site(run.err).rfind(crash_site(r.header), 0), 0u) << run.err;
        EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
    }
}

TEST(TextureBuild, PrintsItsSizeOnce)
{
    captured_run run = capture_run([] {
        test_arena a, tmp;
        bitmap src;
        make_quadrants(src, &tmp.arena, 256, 256);
        n3d_texture t;
        n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 1, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
        printf("levels %d\n", chain_levels(t));
        n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 1, 1, 0, 0, 2, &src, nullptr, -1, 0.0f);
        printf("levels %d\n", chain_levels(t));
    });
    ASSERT_EQ(run.status, 0) << run.err;
    // 7 x 7 levels; a 2^u x 2^v swizzled 8-bit level ends at index(2^u - 1, 2^v - 1) + 1.
    long total = 0;
    for (int u = 8; u >= 2; u--)
        for (int v = 8; v >= 2; v--)
            total += n3d_swizzle_size_8bpp((1u << u) - 1, (1u << v) - 1);
    char line[160];
    snprintf(line, sizeof line, "bitmap wh: 256 256 => texture (mips: 1) total bytes: %ld => %.2f mb\nlevels 49\n",
             total, total / 1024.0 / 1024.0);
    EXPECT_EQ(run.out.substr(0, strlen(line)), line);
    EXPECT_NE(run.out.find("bitmap wh: 256 256 => texture (mips: 0) total bytes: 65536 => 0.06 mb\nlevels 1\n"),
              std::string::npos)
        << run.out;
}

// ---- palette, shade tables, reverse palette ---------------------------------

// The sRGB byte whose 5-bit code (truncated) is c, away from the code's edges.
uint8_t byte_for_code(int c) { return c == 31 ? 255 : static_cast<uint8_t>(std::lround((c + 0.5) * 255.0 / 31.0)); }

TEST(TexturePalette, MostFrequentFirstTiesToTheLowerKey)
{
    test_arena a, tmp;
    std::mt19937 rng(17);
    // 301 distinct opaque colours: one of 848 pixels, 200 of 5 pixels and 100
    // of 2 pixels, 2048 pixels in all, in shuffled places. The last 55 entries
    // must be the 55 lowest keys of the 2-pixel colours.
    std::vector<uint16_t> keys;
    std::map<uint16_t, int> seen;
    while (keys.size() < 301) {
        uint16_t k = static_cast<uint16_t>(0x8000u | (rng() & 0x7FFFu));
        if (seen.emplace(k, 0).second)
            keys.push_back(k);
    }
    std::vector<uint16_t> pixels;
    for (int i = 0; i < 301; i++) {
        int freq = i == 0 ? 848 : (i <= 200 ? 5 : 2);
        seen[keys[i]] = freq;
        pixels.insert(pixels.end(), freq, keys[i]);
    }
    ASSERT_EQ(pixels.size(), 2048u);
    std::shuffle(pixels.begin(), pixels.end(), rng);
    bitmap src;
    bitmap_init(&src, &a.arena, 64, 32, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    for (uint32_t i = 0; i < 2048; i++) {
        uint16_t k = pixels[i];
        set_px(src, i % 64, i / 64,
               {byte_for_code(k >> 10 & 31), byte_for_code(k >> 5 & 31), byte_for_code(k & 31), 255});
    }
    std::vector<std::pair<int, uint16_t>> expect;  // (-freq, key) sorts the rule
    for (auto& kv : seen)
        expect.push_back({-kv.second, kv.first});
    std::sort(expect.begin(), expect.end());

    uint16_t pal[256];
    n3d_texture_build_palette_asrgb1555(pal, 256, &tmp.arena, &src);
    EXPECT_EQ(tmp.arena.sp, 0u);
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(pal[i], expect[i].second) << "entry " << i;
}

TEST(TexturePalette, OneColourAndTransparentPixels)
{
    test_arena a, tmp;
    bitmap src;
    bitmap_init(&src, &a.arena, 4, 4, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    for (uint32_t i = 0; i < 16; i++)
        set_px(src, i % 4, i / 4, {byte_for_code(20), byte_for_code(3), byte_for_code(31), 255});
    uint16_t pal[256];
    memset(pal, 0xAA, sizeof pal);
    n3d_texture_build_palette_asrgb1555(pal, 256, &tmp.arena, &src);
    EXPECT_EQ(pal[0], 0x8000 | 20 << 10 | 3 << 5 | 31);
    for (int i = 1; i < 256; i++)
        ASSERT_EQ(pal[i], 0x0000) << i;
    // Entries 1 to 254 are 0x0000, whose colour is black: colours nearer
    // black than the one colour map to entry 1, the rest to entry 0.
    uint8_t reverse[N3D_REVERSE_PALETTE_SIZE];
    n3d_build_reverse_palette_argb1555(reverse, &tmp.arena, pal, 256);
    EXPECT_EQ(reverse[(20 << 10 | 3 << 5 | 31)], 0);
    EXPECT_EQ(reverse[0], 1);
    for (int i = 0; i < N3D_REVERSE_PALETTE_SIZE; i++)
        ASSERT_LE(reverse[i], 1) << i;
    // A black image: entry 0 is black itself and wins every tie with the zeros.
    for (uint32_t i = 0; i < 16; i++)
        set_px(src, i % 4, i / 4, {0, 0, 0, 255});
    n3d_texture_build_palette_asrgb1555(pal, 256, &tmp.arena, &src);
    EXPECT_EQ(pal[0], 0x8000);
    n3d_build_reverse_palette_argb1555(reverse, &tmp.arena, pal, 256);
    for (int i = 0; i < N3D_REVERSE_PALETTE_SIZE; i++)
        ASSERT_EQ(reverse[i], 0) << i;

    // Partly transparent pixels: the premultiplied colour, alpha bit clear.
    for (uint32_t i = 0; i < 16; i++)
        set_px(src, i % 4, i / 4, i < 10 ? rgba{255, 255, 255, 128} : rgba{255, 255, 255, 255});
    n3d_texture_build_palette_asrgb1555(pal, 256, &tmp.arena, &src);
    EXPECT_EQ(pal[0] & 0x8000, 0) << "the 10 half-transparent pixels come first";
    EXPECT_EQ(pal[0] >> 10 & 31, static_cast<int>(31 * n3d_linear_to_srgb(0.50196f)));
    EXPECT_EQ(pal[1], 0xFFFF);
}

TEST(TexturePalette, ReversePaletteNearestOfTheFirst255)
{
    test_arena tmp;
    std::mt19937 rng(23);
    uint16_t pal[256];
    for (int i = 0; i < 256; i++)
        pal[i] = static_cast<uint16_t>(0x8000u | (rng() & 0x7FFFu));
    pal[9] = pal[5];        // duplicates: the lower entry wins
    pal[255] = 0xFFFF;      // white only at 255, which the search leaves out
    pal[3] = 0xFFFF & ~1u;  // nearly white
    uint8_t reverse[N3D_REVERSE_PALETTE_SIZE];
    n3d_build_reverse_palette_argb1555(reverse, &tmp.arena, pal, 256);
    EXPECT_EQ(tmp.arena.sp, 0u);
    EXPECT_EQ(reverse[0x7FFF], 3);
    EXPECT_EQ(reverse[pal[5] & 0x7FFF], 5);
    for (int i = 0; i < N3D_REVERSE_PALETTE_SIZE; i++)
        ASSERT_NE(reverse[i], 255);

    vec4 lin[256];
    for (int i = 0; i < 256; i++)
        n3d_argb1555_to_linear_pma(lin[i], pal[i]);
    auto dist = [&](const vec4 c, int k) {
        float d = 0;
        for (int j = 0; j < 3; j++)
            d += (c[j] - lin[k][j]) * (c[j] - lin[k][j]);
        return d;
    };
    for (int colour = 0; colour < N3D_REVERSE_PALETTE_SIZE; colour += 7) {
        vec4 c;
        n3d_argb1555_to_linear_pma(c, static_cast<uint16_t>(0x8000 | colour));
        int got = reverse[colour];
        for (int k = 0; k < 255; k++) {
            ASSERT_LE(dist(c, got), dist(c, k)) << colour << " entry " << k;
            if (k < got) {
                ASSERT_LT(dist(c, got), dist(c, k)) << "a lower entry at the same distance wins";
            }
        }
    }
}

TEST(TextureShadeTable, Argb1555ShadesAtTheEnds)
{
    test_arena tmp;
    const uint16_t pal[4] = {0xFFFF, 0x8000 | 16 << 10 | 8 << 5 | 31, 0x7FFF, 0x8000};
    uint16_t table[4 * 32];
    n3d_texture_build_shade_table_argb1555(table, 32, 4, pal, &tmp.arena);
    for (int c = 0; c < 4; c++) {
        SCOPED_TRACE(c);
        EXPECT_EQ(table[c * 32 + 31], pal[c] & 0x8000 ? pal[c] : 0) << "shade 31 is the colour itself";
        vec4 l, expect;
        n3d_argb1555_to_linear_pma(l, pal[c]);
        for (int j = 0; j < 3; j++)
            expect[j] = l[j] / 32.0f;
        expect[3] = l[3];
        EXPECT_EQ(table[c * 32], n3d_argb1555_from_linear_pma(expect)) << "shade 0 is 1/32 of it";
    }
    EXPECT_NE(table[0], 0x8000) << "shade 0 of white is not black";
    for (int s = 0; s < 32; s++)
        EXPECT_EQ(table[2 * 32 + s], 0x0000) << "a transparent entry is 0 in every shade";
    for (int s = 1; s < 32; s++)
        EXPECT_GE(table[s] & 0x1F, table[s - 1] & 0x1F) << "brightness grows with the shade";
}

TEST(TextureShadeTable, Index8AgainstTheDisplayClut)
{
    test_arena a, tmp;
    palette clut = make_clut(&a.arena);
    uint8_t table[256 * 32];
    memset(table, 0xAA, sizeof table);
    n3d_texture_build_shade_table_index8(table, 32, 256, &tmp.arena, &clut);
    EXPECT_EQ(tmp.arena.sp, 0u);
    for (int k = 0; k < 8; k++)
        EXPECT_EQ(table[(16 + k) * 32 + 31], 16 + k) << "full brightness is the entry itself";
    EXPECT_EQ(table[16 * 32 + 0], 16) << "black stays black";
    EXPECT_EQ(table[20 * 32 + 0], 22) << "white at 1/32 (linear 0.031) is nearest the sRGB 64 grey (0.051)";
    EXPECT_EQ(table[20 * 32 + 15], 23) << "white at half linear light is nearest the sRGB 192 grey (0.527)";
    EXPECT_EQ(table[0], 0xAA) << "entries outside the CLUT are not written";

    struct row {
        int colors_count;
        const char* msg;
    } rows[] = {{257, "max colors count is 256 (can't use more in an 8bpp trexture...)\n"},
                {23, "palette uses 24 colors but max is 23!\n"}};
    for (const row& r : rows) {
        captured_run run =
            capture_run([&] { n3d_texture_build_shade_table_index8(table, 32, r.colors_count, &tmp.arena, &clut); });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(r.msg), std::string::npos) << run.err;
    }
}

TEST(TextureShadeTable, IndexedBlocksStartZeroed)
{
    test_arena a, tmp;
    memset(a.block.data(), 0xAA, a.block.size());
    palette clut = make_clut(&tmp.arena);
    bitmap src;
    make_quadrants(src, &tmp.arena, 8, 8);
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 3, 1, 1, 0, 2, &src, &clut, -1, 0.0f);
    const uint8_t* pal = static_cast<const uint8_t*>(t.palette);
    const uint8_t* shades = static_cast<const uint8_t*>(t.shade_table);
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(pal[i], 0) << "palette byte " << i;
    for (int c = 0; c < 256; c++)
        for (int s = 0; s < 32; s++)
            if (c < 16 || c >= 24) {
                ASSERT_EQ(shades[c * 32 + s], 0) << "colour " << c << " shade " << s;
            }
}

// ---- alpha keys ---------------------------------------------------------------

TEST(TextureAlpha, CountingDoesNotTouchTheBitmap)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 4, 1, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB | BITMAP_FLAG_PMA);
    // Colour above alpha: a decode and re-encode would rewrite these bytes.
    set_px(b, 0, 0, {200, 100, 0, 100});
    set_px(b, 1, 0, {10, 10, 10, 0});
    set_px(b, 2, 0, {255, 255, 255, 255});
    set_px(b, 3, 0, {30, 20, 10, 127});
    std::vector<uint8_t> before(b.data, b.data + 16);
    struct row {
        float threshold;
        int count;
    } rows[] = {{0.0f, 0}, {0.001f, 1}, {0.4f, 2}, {0.5f, 3}, {1.0f, 3}, {1.01f, 4}};
    for (const row& r : rows)
        EXPECT_EQ(n3d_convert_count_alpha_keys(&b, r.threshold), r.count) << r.threshold;
    EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + 16), before);
}

TEST(TextureAlpha, ScaleKeepsThePremultipliedColour)
{
    test_arena a;
    bitmap b;
    bitmap_init(&b, &a.arena, 2, 1, BITMAP_FLAG_RGBA);
    set_px(b, 0, 0, {100, 50, 0, 200});
    set_px(b, 1, 0, {200, 50, 0, 200});
    n3d_convert_scale_alpha(&b, 0.5f);
    EXPECT_EQ(get_px(b, 0, 0), (rgba{200, 100, 0, 100})) << "straight colour grows by 1/c";
    EXPECT_EQ(get_px(b, 1, 0), (rgba{255, 100, 0, 100})) << "limited to 255";
}

TEST(TextureAlpha, KeyedTexelsAndTheSourceBitmap)
{
    test_arena a, tmp;
    palette clut = make_clut(&a.arena);
    bitmap src;
    bitmap_init(&src, &a.arena, 16, 16, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB | BITMAP_FLAG_PMA);
    // Left half transparent with colour above alpha, right half opaque red.
    for (uint32_t y = 0; y < 16; y++)
        for (uint32_t x = 0; x < 16; x++)
            set_px(src, x, y, x < 8 ? rgba{200, 100, 0, 20} : RED);
    std::vector<uint8_t> before(src.data, src.data + src.row_bytes * src.height);
    for (int format : {1, 3}) {
        SCOPED_TRACE(format);
        n3d_texture t;
        n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, format, 0, 1, 0, 2, &src, &clut, 7, 0.5f);
        EXPECT_EQ(std::vector<uint8_t>(src.data, src.data + before.size()), before) << "the source is unchanged";
        for (int level = 0; level < 3; level++) {
            uint32_t w = 16u >> level;
            const uint8_t* texels = t.mips[N3D_MIP_INDEX(level, level)];
            for (uint32_t y = 0; y < w; y++) {
                for (uint32_t x = 0; x < w; x++) {
                    uint8_t texel = texels[y * w + x];
                    if (x < w / 2)
                        ASSERT_EQ(texel, 7) << "keyed, level " << level;
                    else
                        ASSERT_NE(texel, 7) << "not keyed, level " << level;
                }
            }
        }
    }
}

TEST(TextureAlpha, ZeroThresholdKeysNothingAndFitsInOneRound)
{
    captured_run run = capture_run([] {
        test_arena a, tmp;
        bitmap src;
        bitmap_init(&src, &a.arena, 8, 8, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
        for (uint32_t i = 0; i < 64; i++)
            set_px(src, i % 8, i / 8, i % 3 ? rgba{255, 255, 255, 0} : RED);
        n3d_texture t;
        n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 1, 0, 1, 0, 2, &src, nullptr, 5, 0.0f);
        int keyed = 0;
        for (int ud = 0; ud <= 1; ud++)
            for (int vd = 0; vd <= 1; vd++)
                for (uint32_t i = 0; i < (64u >> (ud + vd)); i++)
                    keyed += t.mips[N3D_MIP_INDEX(ud, vd)][i] == 5;
        printf("keyed %d\n", keyed);
    });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("iter["), std::string::npos) << "every level stops in its first round";
    EXPECT_NE(run.out.find("keyed 0\n"), std::string::npos) << run.out;
}

TEST(TextureAlpha, Argb1555TexturesAreOpaque)
{
    test_arena a, tmp;
    bitmap src;
    bitmap_init(&src, &a.arena, 8, 8, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    for (uint32_t i = 0; i < 64; i++)
        set_px(src, i % 8, i / 8, {255, 255, 255, static_cast<uint8_t>(i * 4)});
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &a.arena, &tmp.arena, 2, 1, 1, 0, 2, &src, nullptr, 0, 0.5f);
    for (int ud = 0; ud <= 1; ud++) {
        for (int vd = 0; vd <= 1; vd++) {
            const uint8_t* level = t.mips[N3D_MIP_INDEX(ud, vd)];
            for (uint32_t v = 0; v < (8u >> vd); v++) {
                for (uint32_t u = 0; u < (8u >> ud); u++) {
                    uint16_t texel;
                    memcpy(&texel, level + n3d_swizzle_offset_16bpp(u, v), 2);
                    ASSERT_TRUE(texel & 0x8000) << u << "," << v;
                }
            }
        }
    }
    uint16_t transparent;
    memcpy(&transparent, t.mips[0], 2);
    EXPECT_EQ(transparent, 0x8000) << "alpha 0: the premultiplied colour is black";
}

// ---- validation and comparison -------------------------------------------------

TEST(TextureCheck, Validate)
{
    struct row {
        int format, w_log2, h_log2, result;
    } rows[] = {{1, 8, 8, 0}, {2, 2, 8, 0}, {2, 9, 8, 1}, {1, 8, 9, 1}, {3, 4, 4, 1}, {4, 4, 4, 1}, {0, 4, 4, 1}};
    for (const row& r : rows) {
        n3d_texture t = {};
        t.format = r.format, t.w_log2 = r.w_log2, t.h_log2 = r.h_log2;
        EXPECT_EQ(n3d_validate_texture(&t), r.result) << r.format << " " << r.w_log2 << "x" << r.h_log2;
    }
}

TEST(TextureCheck, DebugComparison)
{
    test_arena a, tmp;
    bitmap src;
    make_quadrants(src, &a.arena, 8, 8);
    n3d_texture x, y, z;
    n3d_make_texture_from_bitmap(&x, &a.arena, &tmp.arena, 1, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
    n3d_make_texture_from_bitmap(&y, &a.arena, &tmp.arena, 1, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
    EXPECT_EQ(n3d_textures_dbg_cmp(&x, &y), 1) << "two builds of one bitmap agree";
    y.mips[0][0] ^= 1;
    static_cast<uint16_t*>(y.palette)[0] ^= 1;
    EXPECT_EQ(n3d_textures_dbg_cmp(&x, &y), 1) << "levels and palettes are not compared";

    struct change {
        void (*apply)(n3d_texture*);
        const char* why;
    } changes[] = {
        {[](n3d_texture* t) { t->format = 3; }, "format"},
        {[](n3d_texture* t) { t->not_swizzled = 1; }, "not_swizzled"},
        {[](n3d_texture* t) { t->w_log2 = 4; }, "w_log2"},
        {[](n3d_texture* t) { t->h_log2 = 2; }, "h_log2"},
        {[](n3d_texture* t) { t->colors_count = 255; }, "colors_count"},
        {[](n3d_texture* t) { t->shades_per_color = 16; }, "shades_per_color"},
        {[](n3d_texture* t) { static_cast<uint16_t*>(t->shade_table)[256 * 32 - 1] ^= 0x100; }, "last shade entry"},
        {[](n3d_texture* t) { t->shade_table = nullptr; }, "one shade table missing"},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.why);
        n3d_make_texture_from_bitmap(&z, &a.arena, &tmp.arena, 1, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
        c.apply(&z);
        EXPECT_EQ(n3d_textures_dbg_cmp(&x, &z), 0);
        EXPECT_EQ(n3d_textures_dbg_cmp(&z, &x), 0);
    }
    n3d_texture p = x, q = x;
    p.shade_table = q.shade_table = nullptr;
    EXPECT_EQ(n3d_textures_dbg_cmp(&p, &q), 0) << "indexed without shade tables";
    n3d_make_texture_from_bitmap(&p, &a.arena, &tmp.arena, 2, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
    n3d_make_texture_from_bitmap(&q, &a.arena, &tmp.arena, 2, 1, 1, 0, 2, &src, nullptr, -1, 0.0f);
    EXPECT_EQ(n3d_textures_dbg_cmp(&p, &q), 1) << "ARGB1555 without shade tables";
}

// ---- the benchmark's textures ---------------------------------------------------

TEST(TextureBuild, BenchmarkTexturesAndTheirTime)
{
    test_arena a, tmp;
    bitmap flare;
    bitmap_init(&flare, &a.arena, 256, 256, BITMAP_FLAG_RGBA | BITMAP_FLAG_SRGB);
    const float white[4] = {1, 1, 1, 1};
    ASSERT_EQ(bitmap_flare(&flare, white), 0);
    n3d_texture t1, t2;
    auto start = std::chrono::steady_clock::now();
    n3d_make_texture_from_bitmap(&t1, &a.arena, &tmp.arena, 1, 1, 1, 0, 3, &flare, nullptr, 0, 0.0f);
    auto mid = std::chrono::steady_clock::now();
    memarena_reset(&tmp.arena);
    n3d_make_texture_from_bitmap(&t2, &a.arena, &tmp.arena, 2, 1, 1, 0, 3, &flare, nullptr, 0, 0.0f);
    auto end = std::chrono::steady_clock::now();
    printf("[ timing ] benchmark textures: format 1 (palette, shades, reverse palette) %.1f ms, format 2 %.1f ms\n",
           std::chrono::duration<double, std::milli>(mid - start).count(),
           std::chrono::duration<double, std::milli>(end - mid).count());
    EXPECT_EQ(chain_levels(t1), 49);
    EXPECT_EQ(chain_levels(t2), 49);
    // The flare's centre is opaque white, its corners transparent (black).
    const uint16_t* shades = static_cast<const uint16_t*>(t1.shade_table);
    EXPECT_EQ(shades[t1.mips[0][n3d_swizzle_index_8bpp(128, 128)] * 32 + 31], 0xFFFF);
    EXPECT_EQ(shades[t1.mips[0][n3d_swizzle_index_8bpp(0, 0)] * 32 + 31] & 0x7FFF, 0);
    uint16_t centre;
    memcpy(&centre, t2.mips[0] + n3d_swizzle_offset_16bpp(128, 128), 2);
    EXPECT_EQ(centre, 0xFFFF);
}

}  // namespace
