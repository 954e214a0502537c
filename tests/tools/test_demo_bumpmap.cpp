// Bump-mapping effect: the bump map against its construction formula (flat,
// borders, the +0.5 slope, narrow levels sized by their swizzled layout), the
// refusals of unusable height textures, the first phase's pixels against the
// linear mapping, the glitch variants' second pixels against the clean
// variant's, the script's phases and its texture, variant and phong choices,
// and parameters far outside the tables (the sanitizers watch).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/demo_assets_fixture.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_bumpmap.h"
#include "tools/demo_timing.h"

namespace {

using test_arena = qf_test_arena<8u << 20>;

// An index8 texture (format 1, swizzled) whose texel (u, v) is index(u, v) and
// whose shade table holds, for every index i and shade s, the code i << 5 | s
// (opaque), so a pixel tells its texel and shade. Given a height function,
// shade 31 of index i instead has red and green h(i), the height the bump map
// reads (such a texture serves as height texture only).
struct index8_texture {
    std::vector<uint8_t> level;
    std::vector<uint16_t> shades;
    std::vector<uint16_t> palette;
    uint8_t* mips[1];
    n3d_texture t{};
    template <typename F, typename H>
    index8_texture(int w_log2, int h_log2, F index, H height) : shades(256 * 32), palette(256)
    {
        const uint32_t w = 1u << w_log2, h = 1u << h_log2;
        level.resize(n3d_swizzle_size_8bpp(w - 1, h - 1));
        for (uint32_t v = 0; v < h; v++)
            for (uint32_t u = 0; u < w; u++)
                level[n3d_swizzle_index_8bpp(u, v)] = (uint8_t)index(u, v);
        for (int i = 0; i < 256; i++) {
            for (int s = 0; s < 32; s++)
                shades[(size_t)i * 32 + s] = (uint16_t)(0x8000 | i << 5 | s);
            const int hh = height(i);
            if (hh >= 0)
                shades[(size_t)i * 32 + 31] = (uint16_t)(0x8000 | hh << 10 | hh << 5);
        }
        mips[0] = level.data();
        t.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
        t.w_log2 = w_log2;
        t.h_log2 = h_log2;
        t.min_u_level = w_log2;
        t.min_v_level = h_log2;
        t.mips = mips;
        t.colors_count = 256;
        t.shades_per_color = 32;
        t.palette = palette.data();
        t.shade_table = shades.data();
    }
};

// The construction formula, written out on its own: heights from shade 31,
// one-sided at the borders, slopes over 62.
struct bump_expect {
    int sx, len, sy;
};
bump_expect expected_record(const index8_texture& tex, uint32_t u, uint32_t v, uint32_t u_max, uint32_t v_max)
{
    auto h = [&](uint32_t uu, uint32_t vv) {
        const uint16_t c = tex.shades[(size_t)tex.level[n3d_swizzle_index_8bpp(uu, vv)] * 32 + 31];
        return std::min(31, (((c >> 10) & 31) + 2 * ((c >> 5) & 31)) / 3);
    };
    const double sx = (h(std::min(u + 1, u_max), v) - h(u ? u - 1 : 0, v)) / 62.0;
    const double sy = (h(u, std::min(v + 1, v_max)) - h(u, v ? v - 1 : 0)) / 62.0;
    return {std::min(127, (int)(256.0 * sx)), (int)(128.0 * (sx * sx + sy * sy)), (int)(256.0 * sy)};
}

bump_expect read_record(const void* map, uint32_t u, uint32_t v)
{
    const uint8_t* r = static_cast<const uint8_t*>(map) + 4 * n3d_swizzle_index_8bpp(u, v);
    int16_t sy;
    memcpy(&sy, r + 2, 2);
    return {(int8_t)r[0], r[1], sy};
}

TEST(DemoBumpmapMap, FlatHeightsGiveZeroSlopes)
{
    test_arena a;
    index8_texture tex(
        8, 8, [](uint32_t, uint32_t) { return 7; }, [](int i) { return i & 31; });
    const uint8_t* map = static_cast<const uint8_t*>(demo_bumpmap_make_bumpmap(&a.arena, &tex.t, 0, 0));
    for (uint32_t i = 0; i < 4 * 65536; i++)
        ASSERT_EQ(map[i], 0) << i;
}

TEST(DemoBumpmapMap, RecordsFollowTheFormulaBordersAndTheHalfSlope)
{
    test_arena a;
    std::mt19937 rng(7);
    std::vector<uint8_t> idx(65536);
    for (auto& x : idx)
        x = (uint8_t)rng();
    // Heights 0 and 31 side by side give the slope +0.5 and -0.5 on row 10.
    for (uint32_t u = 0; u < 256; u++)
        idx[10 * 256 + u] = (uint8_t)((u / 2) % 2 ? 31 : 0);
    index8_texture tex(
        8, 8, [&](uint32_t u, uint32_t v) { return idx[v * 256 + u]; }, [](int i) { return i & 31; });
    void* map = demo_bumpmap_make_bumpmap(&a.arena, &tex.t, 0, 0);
    int half_up = 0, half_down = 0;
    for (uint32_t v = 0; v < 256; v++)
        for (uint32_t u = 0; u < 256; u++) {
            const bump_expect want = expected_record(tex, u, v, 255, 255), got = read_record(map, u, v);
            ASSERT_EQ(got.sx, want.sx) << u << " " << v;
            ASSERT_EQ(got.len, want.len) << u << " " << v;
            ASSERT_EQ(got.sy, want.sy) << u << " " << v;
            half_up += got.sx == 127 && v == 10;
            half_down += got.sx == -128 && v == 10;
        }
    EXPECT_GT(half_up, 0);  // +0.5 stays positive
    EXPECT_GT(half_down, 0);
}

TEST(DemoBumpmapMap, NarrowLevelsAreSizedByTheirSwizzledLayout)
{
    // 8 x 256: records reach index 16159, far beyond 8 x 256. The arena is
    // exactly that large, on a heap block of its own that starts on the 64-byte
    // line the map is pushed at.
    const uint32_t records = n3d_swizzle_size_8bpp(7, 255);
    struct aligned_delete {
        void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };
    std::unique_ptr<uint8_t[], aligned_delete> block(
        static_cast<uint8_t*>(::operator new[](records * 4, std::align_val_t{64})));
    memarena arena;
    memarena_init(&arena, "exact", records * 4, block.get());
    index8_texture tex(
        3, 8, [](uint32_t u, uint32_t v) { return (u * 7 + v * 3) & 255; }, [](int i) { return i & 31; });
    void* map = demo_bumpmap_make_bumpmap(&arena, &tex.t, 0, 0);
    for (uint32_t v = 0; v < 256; v++)
        for (uint32_t u = 0; u < 8; u++) {
            const bump_expect want = expected_record(tex, u, v, 7, 255), got = read_record(map, u, v);
            ASSERT_EQ(got.sx, want.sx) << u << " " << v;
            ASSERT_EQ(got.sy, want.sy) << u << " " << v;
        }
    EXPECT_EQ(arena.sp, arena.size);
}

// The effect reads the map a line at a time: it starts on a 64-byte line
// whatever was pushed before it.
TEST(DemoBumpmapMap, StartsOnALineAfterAnOddPush)
{
    index8_texture tex(
        8, 8, [](uint32_t u, uint32_t v) { return (u ^ v) & 255; }, [](int i) { return i & 31; });
    for (uint64_t skew : {1u, 3u, 63u}) {
        test_arena a;
        memarena_push(&a.arena, skew);
        void* map = demo_bumpmap_make_bumpmap(&a.arena, &tex.t, 0, 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(map) % 64, 0u) << skew;
    }
}

TEST(DemoBumpmapMap, RefusesUnusableHeightTextures)
{
    index8_texture one_row(
        8, 0, [](uint32_t, uint32_t) { return 1; }, [](int) { return 3; });
    index8_texture argb(
        8, 8, [](uint32_t, uint32_t) { return 1; }, [](int) { return 3; });
    argb.t.format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
    index8_texture rows(
        8, 8, [](uint32_t, uint32_t) { return 1; }, [](int) { return 3; });
    rows.t.not_swizzled = 1;
    const struct {
        const n3d_texture* t;
        const char* message;
    } cases[] = {
        {&one_row.t, "height texture level (0, 0) is one row high"},
        {&argb.t, "height texture must be index8 shown as ARGB1555 and swizzled, is format 2"},
        {&rows.t, "height texture must be index8 shown as ARGB1555 and swizzled, is format 1"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            test_arena a;
            demo_bumpmap_make_bumpmap(&a.arena, c.t, 0, 0);
        });
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// ---- renderer and script ----------------------------------------------------------

struct bump_scene : ::testing::Test {
    test_arena a;
    std::vector<int8_t> sine = std::vector<int8_t>(320);
    demo d{};
    demo_assets assets{};
    std::vector<uint8_t*> luts;
    std::unique_ptr<index8_texture> tex0, tex1;
    demo_bumpmap p{};

    void SetUp() override
    {
        for (int i = 0; i < 320; i++)
            sine[i] = (int8_t)(int)(std::sin(i / 256.0 * 2 * M_PI) * 127.0);
        d.sin256_fp7 = sine.data();
        d.cos256_fp7 = sine.data() + 64;
        // Asset phong table n holds n + 1 everywhere, so the pixels tell which one was used.
        for (int n = 0; n < 256; n++) {
            uint8_t* lut = n3d_build_phong_lut(&a.arena, 1.0f, 0);
            memset(lut - N3D_PHONG_LUT_PAD, (n + 1) & 31, N3D_PHONG_LUT_BYTES);
            luts.push_back(lut);
        }
        assets.tc.phong_luts = luts.data();
        d.assets = &assets;
        g_demo = &d;
        tex0 = std::make_unique<index8_texture>(
            8, 8, [](uint32_t u, uint32_t v) { return (u ^ v) & 255; }, [](int i) { return (i * 5) & 31; });
        tex1 = std::make_unique<index8_texture>(
            8, 8, [](uint32_t u, uint32_t) { return 255 - u; }, [](int i) { return i & 31; });
        n3d_texture* t[2] = {&tex0->t, &tex1->t};
        demo_bumpmap_init(&a.arena, &p, t, t, &a.arena);
        demo_timing_init(&g_demo_timing, &a.arena, 22050, nullptr, 0);
    }
    void TearDown() override { g_demo = nullptr; }
    void at(int pos, float lerp = 0.0f, int beat = 0)
    {
        demo_time_frame dtf{};
        demo_timing_update(&dtf, &g_demo_timing, pos);
        g_dtf = dtf;
        g_dtf.lerp_beats = lerp;
        g_dtf.beat_id = beat;
    }
    template <typename R>
    void render(R r, n3d_framebuffer* fb, const float* ps, int texture, const uint8_t* lut)
    {
        const index8_texture& t = texture ? *tex1 : *tex0;
        r(ps, fb, 8, 8, lut, p.bumpmaps[texture], t.level.data(), t.shades.data(), d.cos256_fp7, d.sin256_fp7);
    }
};

TEST_F(bump_scene, FirstPhaseIsTheLinearMappingWithinATexel)
{
    // Texels that tell their own column (texture 1 holds 255 - u); a second
    // texture of rows is swapped in for the v check.
    const int W = 320, H = 200;
    at(1270271);
    demo_fixture_frame f(W, H, 640);
    demo_bumpmap_update(&p, &f.fc, &a.arena);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_U_OFFSET], 228.0f);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_V_OFFSET], 801.0f);
    EXPECT_EQ(p.ps[DEMO_BUMPMAP_C0], 0.0f);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_Q], 1.0f);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_U_DX], 303.0f / (W - 1));
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_V_DY], 189.0f / (H - 1));

    index8_texture cols(
        8, 8, [](uint32_t u, uint32_t) { return u; }, [](int) { return -1; });
    index8_texture rows(
        8, 8, [](uint32_t, uint32_t v) { return v; }, [](int) { return -1; });
    for (int axis = 0; axis < 2; axis++) {
        const index8_texture& t = axis ? rows : cols;
        demo_fixture_frame g(W, H, 640);
        demo_bumpmap_argb1555(p.ps, g.fc.fb, 8, 8, p.phong_lut, p.bumpmaps[0], t.level.data(), t.shades.data(),
                              d.cos256_fp7, d.sin256_fp7);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const uint16_t px = g.at(x, y);
                // Unlit: the light terms are 0, so the shade is the table's first entry.
                ASSERT_EQ(px & 31, p.phong_lut[0]) << x << " " << y;
                const double want = axis ? 801.0 + y * 189.0 / (H - 1) : 228.0 + x * 303.0 / (W - 1);
                double e = std::fabs(std::floor(std::fmod(want, 256.0)) - ((px >> 5) & 255));
                e = std::min(e, 256.0 - e);
                ASSERT_LE(e, 1.0) << x << " " << y << " axis " << axis;
            }
    }
}

TEST_F(bump_scene, GlitchVariantsKeepTheCleanSecondPixel)
{
    // Lit, over a flat bump map: pixel B takes pixel A's slopes, which are the
    // same (zero) wherever A reads them, and its own texel, so only A glitches.
    at(2500000, 0.3f, 8);
    index8_texture flat(
        8, 8, [](uint32_t, uint32_t) { return 3; }, [](int) { return 9; });
    p.bumpmaps[0] = demo_bumpmap_make_bumpmap(&a.arena, &flat.t, 0, 0);
    const float ps[10] = {40.0f, 12.0f, 0.6f, 0.1f, -0.05f, -1.0f, -1.0f, 0.4f, 0.8f, 0.5f};
    demo_fixture_frame clean(320, 16, 640), n1(320, 16, 640), n2(320, 16, 640);
    render(demo_bumpmap_argb1555, clean.fc.fb, ps, 0, p.phong_lut);
    render(demo_bumpmap_noise1_argb1555, n1.fc.fb, ps, 0, p.phong_lut);
    render(demo_bumpmap_noise2_argb1555, n2.fc.fb, ps, 0, p.phong_lut);
    int differ1 = 0, differ2 = 0;
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 320; x += 2) {
            ASSERT_EQ(n1.at(x + 1, y), clean.at(x + 1, y)) << x << " " << y;
            ASSERT_EQ(n2.at(x + 1, y), clean.at(x + 1, y)) << x << " " << y;
            differ1 += n1.at(x, y) != clean.at(x, y);
            differ2 += n2.at(x, y) != clean.at(x, y);
        }
    EXPECT_GT(differ1, 0);
    EXPECT_GT(differ2, 0);
    // And the light reaches the picture: more than one shade appears.
    std::vector<int> shades(32);
    for (int x = 0; x < 320; x++)
        shades[clean.at(x, 8) & 31]++;
    EXPECT_GT(std::count_if(shades.begin(), shades.end(), [](int n) { return n > 0; }), 1);
}

TEST_F(bump_scene, ScriptPicksTextureVariantAndPhongTable)
{
    const int W = 320, H = 16;
    // Which renderer and table made the update's frame: the same parameters
    // drawn directly must give the same pixels.
    auto made_by = [&](int texture, const uint8_t* lut) {
        demo_fixture_frame f(W, H, 640);
        demo_bumpmap_update(&p, &f.fc, &a.arena);
        std::vector<std::vector<uint16_t>> outs;
        for (auto r : {demo_bumpmap_argb1555, demo_bumpmap_noise1_argb1555, demo_bumpmap_noise2_argb1555}) {
            demo_fixture_frame g(W, H, 640);
            render(r, g.fc.fb, p.ps, texture, lut);
            outs.push_back(g.plane);
        }
        int which = -1;
        for (int i = 2; i >= 0; i--)
            if (outs[i] == f.plane)
                which = i;
        return which;
    };
    const struct {
        int pos;
        float lerp;
        int beat;
        int texture;
        int beat_table;  // the asset table of the beat instead of the effect's own
        int variant;     // 0 clean, 1 noise1, 2 noise2
        const char* why;
    } cases[] = {
        {1000, 0.0f, 0, 0, 0, 0, "fixed mapping"},
        {1300000, 0.5f, 3, 0, 0, 0, "transition before the beat modifier"},
        {1500000, 0.05f, 5, 0, 1, 1, "transition with the modifier, lerp below 0.1"},
        {1500000, 0.1f, 5, 0, 1, 2, "lerp 0.1"},
        {2000000, 0.5f, 9, 1, 1, 0, "second texture, beat table, clean"},
        {2317824, 0.0f, 4, 0, 0, 0, "lerp exactly 0: the plain renderer"},
        {2500000, 0.05f, 4, 0, 1, 1, "lerp 0.05: noise1"},
        {3300000, 0.5f, 4, 0, 1, 2, "last modifier"},
        {3449767, 0.5f, 4, 0, 0, 0, "after it"},
    };
    for (const auto& c : cases) {
        at(c.pos, c.lerp, c.beat);
        const double t = c.pos / 22050.0;
        const int n = (int)(std::fabs(std::sin(0.2 * M_PI * t)) * (20.0 * c.lerp * c.lerp + 10.0));
        const uint8_t* lut = c.beat_table ? luts[n] : p.phong_lut;
        EXPECT_EQ(made_by(c.texture, lut), c.variant) << c.why;
    }
    // P = 1270272 starts the transition at k = 1: still the fixed mapping.
    at(1270272);
    demo_fixture_frame f(W, H, 640);
    demo_bumpmap_update(&p, &f.fc, &a.arena);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_U_OFFSET], 228.0f);
    EXPECT_FLOAT_EQ(p.ps[DEMO_BUMPMAP_Q], 1.0f);
    EXPECT_EQ(p.ps[DEMO_BUMPMAP_C0], 0.0f);
}

TEST_F(bump_scene, ParametersFarOutsideTheTablesStayDefined)
{
    // The effect's own beat modifiers drive c0 and the steps far up; larger
    // values still must convert with saturation and index the phong table
    // within its 256 entries. The table here has no pads: a heap block of
    // exactly 256 bytes.
    std::unique_ptr<uint8_t[]> bare(new uint8_t[256]);
    for (int i = 0; i < 256; i++)
        bare[i] = (uint8_t)(i * 31 / 255);
    const float cases[][10] = {
        {0, 0, 75.0f, 0, 0, -1, -1, 0.8f, 40.0f, 40.0f},  // a strong beat: c0 + 75
        {1e9f, -1e9f, 1e6f, 1e5f, -1e5f, -30, 30, 0.0f, 1e9f, -1e9f},
        {0, 0, -3.0f, 2.0f, 2.0f, 1e3f, -1e3f, 1.0f, 0, 0},
        {NAN, 0, NAN, 0, 0, -1, -1, NAN, 0, 0},
    };
    at(2500000, 0.7f, 12);
    for (const auto& ps : cases)
        for (auto r : {demo_bumpmap_argb1555, demo_bumpmap_noise1_argb1555, demo_bumpmap_noise2_argb1555}) {
            demo_fixture_frame f1(64, 8, 128), f2(64, 8, 128);
            render(r, f1.fc.fb, ps, 0, bare.get());
            render(r, f2.fc.fb, ps, 0, bare.get());
            EXPECT_EQ(f1.plane, f2.plane);
        }
}

TEST_F(bump_scene, RefusesUnusableFramesAndTextures)
{
    captured_run r = capture_run([&] {
        at(1000);
        demo_fixture_frame f(320, 8, 640);
        f.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        demo_bumpmap_update(&p, &f.fc, &a.arena);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/demo_bumpmap:")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not implemented\n"), std::string::npos) << r.err;

    r = capture_run([&] {
        demo_fixture_frame f(36, 8, 72);
        render(demo_bumpmap_argb1555, f.fc.fb, p.ps, 0, p.phong_lut);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("frame width 36 is not a multiple of 8"), std::string::npos) << r.err;

    r = capture_run([&] {
        index8_texture small(
            7, 7, [](uint32_t, uint32_t) { return 1; }, [](int) { return 1; });
        n3d_texture* t[2] = {&small.t, &small.t};
        demo_bumpmap q;
        demo_bumpmap_init(&a.arena, &q, t, t, &a.arena);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bump map texture 0 must be index8 shown as ARGB1555, swizzled and 256x256"),
              std::string::npos)
        << r.err;
}

TEST_F(bump_scene, FloatReferenceDrawsTextureZero)
{
    at(44100);
    demo_fixture_frame f(64, 48, 128);
    demo_bumpmap_raw_argb1555(&p, f.fc.fb);
    EXPECT_FLOAT_EQ(p.ps[1], 0.664083f);
    // Every pixel is a colour of texture 0's shade table.
    for (int y = 0; y < 48; y++)
        for (int x = 0; x < 64; x++)
            ASSERT_EQ(f.at(x, y) & 0x8000, 0x8000) << x << " " << y;
}

}  // namespace
