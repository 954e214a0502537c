// The emulated display: every case composes through the real blit into a
// plain memory surface and is checked against a per-pixel reference that
// addresses the planes by index, plus the probes that name the case.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "core/cpu_features.h"
#include "core/memarena.h"
#include "host/valkyrie_context.h"

namespace {

struct display_fixture {
    std::vector<uint8_t> block = std::vector<uint8_t>(2 << 20);
    memarena arena;
    valkyrie_context ctx;
    display_fixture()
    {
        memarena_init(&arena, "display", block.size(), block.data());
        emulate_valkyrie_init(&ctx, &arena);
    }
    uint8_t* shown() { return ctx.videos[ctx.video_backpage == 0 ? 1 : 0].b; }
    void set_video(uint8_t* page, int x, int y, uint16_t v)
    {
        memcpy(page + y * VALKYRIE_VIDEO_ROWBYTES + 2 * x, &v, 2);
    }
    void set_overlay(int x, int y, uint8_t index) { ctx.overlay.b[y * VALKYRIE_OVERLAY_ROWBYTES + x] = index; }
    void set_overlay_entry(int i, uint8_t r, uint8_t g, uint8_t b, uint8_t a)
    {
        const uint8_t e[4] = {r, g, b, a};
        ctx.set_overlay_palette_func(&ctx, i, 1, e);
    }
    void set_video_entry(int i, uint8_t r, uint8_t g, uint8_t b, uint8_t a)
    {
        const uint8_t e[4] = {r, g, b, a};
        ctx.set_video_palette_func(&ctx, i, 1, e);
    }
};

// A surface wider than the frame, so row stepping by the pitch shows; the
// words past each row must stay untouched.
const int k_pitch = 640 * 4 + 48;
const uint32_t k_guard = 0xDEADBEEFu;

struct surface {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(static_cast<size_t>(k_pitch) * 480);
    surface()
    {
        for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
            memcpy(&bytes[i], &k_guard, 4);
    }
    uint32_t at(int x, int y) const
    {
        uint32_t w;
        memcpy(&w, &bytes[static_cast<size_t>(y) * k_pitch + 4 * x], 4);
        return w;
    }
};

// Reference composition, by index arithmetic over the planes and the tables
// as read back through the slots.
std::vector<uint32_t> reference_frame(valkyrie_context* ctx)
{
    uint8_t overlay_clut[1024], video_clut[1024];
    ctx->get_overlay_palette_func(ctx, 0, 256, overlay_clut);
    ctx->get_video_palette_func(ctx, 0, 256, video_clut);
    const valkyrie_buffer& page = ctx->videos[ctx->video_backpage ^ 1];
    auto expand = [](uint32_t c) { return (c << 3) | (c & 7); };
    std::vector<uint32_t> frame(640 * 480);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            uint32_t index = ctx->overlay.b[y * ctx->overlay.rowbytes + x];
            uint32_t r, g, b;
            if (index != emulate_valkyrie_key_color) {
                r = overlay_clut[4 * index];
                g = overlay_clut[4 * index + 1];
                b = overlay_clut[4 * index + 2];
            } else {
                uint16_t p;
                memcpy(&p, page.b + (y / 2) * page.rowbytes + 2 * (x / 2), 2);
                r = video_clut[4 * expand((p >> 10) & 31)];
                g = video_clut[4 * expand((p >> 5) & 31) + 1];
                b = video_clut[4 * expand(p & 31) + 2];
            }
            frame[y * 640 + x] = r << 24 | g << 16 | b << 8 | 255;
        }
    return frame;
}

struct probe {
    int x, y;
    uint32_t word;
};

struct display_case {
    const char* name;
    std::function<void(display_fixture&)> setup;
    std::vector<probe> probes;
};

TEST(Display, EdgeCasesThroughTheBlit)
{
    const std::vector<display_case> cases = {
        {"black after set-up",
         [](display_fixture&) {},
         {{0, 0, 0x000000FFu}, {639, 479, 0x000000FFu}, {320, 240, 0x000000FFu}}},
        {"index 0 shows video while the key is 0, even over an opaque white entry 0",
         [](display_fixture& d) {
             d.set_overlay_entry(0, 255, 255, 255, 255);
             d.set_video(d.shown(), 10, 10, 0x4210);
         },
         {{20, 20, 0x808080FFu}, {21, 21, 0x808080FFu}, {22, 20, 0x000000FFu}}},
        {"0x7FFF and 0x4210 through the grey ramp",
         [](display_fixture& d) {
             d.set_video(d.shown(), 0, 0, 0x7FFF);
             d.set_video(d.shown(), 1, 0, 0x4210);
             d.set_video(d.shown(), 2, 0, 0xFFFF);  // the alpha bit is ignored
         },
         {{0, 0, 0xFFFFFFFFu}, {1, 1, 0xFFFFFFFFu}, {2, 0, 0x808080FFu}, {4, 1, 0xFFFFFFFFu}}},
        {"channel 30 reads entry 246, channel 1 entry 9",
         [](display_fixture& d) { d.set_video(d.shown(), 5, 5, 30 << 10 | 1 << 5 | 0); },
         {{10, 10, 0xF60900FFu}}},
        {"red video entry 255 turns red 31 and a white pixel red",
         [](display_fixture& d) {
             d.set_video_entry(255, 255, 0, 0, 255);
             d.set_video(d.shown(), 0, 0, 0x7FFF);
             d.set_video(d.shown(), 1, 0, 0x7C00);
             d.set_video(d.shown(), 2, 0, 0x03E0);  // green 31 takes byte 1 of entry 255: 0
             d.set_video(d.shown(), 3, 0, 0x4210);
         },
         {{0, 0, 0xFF0000FFu}, {2, 0, 0xFF0000FFu}, {4, 0, 0x000000FFu}, {6, 0, 0x808080FFu}}},
        {"overlay index other than the key: its entry, alpha unused",
         [](display_fixture& d) {
             d.set_overlay_entry(5, 10, 20, 30, 0);
             d.set_overlay(100, 7, 5);
             d.set_video(d.shown(), 50, 3, 0x7FFF);
         },
         {{100, 7, 0x0A141EFFu}, {101, 7, 0xFFFFFFFFu}, {100, 6, 0xFFFFFFFFu}}},
        {"overlay index 255 of the grey ramp",
         [](display_fixture& d) { d.set_overlay(639, 0, 255); },
         {{639, 0, 0xFFFFFFFFu}, {638, 0, 0x000000FFu}}},
        {"a new key makes its index transparent and index 0 opaque",
         [](display_fixture& d) {
             d.ctx.set_overlay_key_func(&d.ctx, 7 + 256);  // truncated to 8 bits
             d.set_overlay(0, 0, 7);
             d.set_video(d.shown(), 0, 0, 0x7FFF);
         },
         {{0, 0, 0xFFFFFFFFu}, {1, 0, 0x000000FFu}, {1, 1, 0x000000FFu}}},
        {"after one flip page 0 is shown, page 1 is drawn into",
         [](display_fixture& d) {
             d.set_video(d.ctx.videos[0].b, 0, 0, 0x7FFF);
             d.set_video(d.ctx.videos[1].b, 1, 0, 0x7FFF);
             emulate_valkyrie_video_pageflip(&d.ctx);
             EXPECT_EQ(d.ctx.video_backpage, 1);
         },
         {{0, 0, 0xFFFFFFFFu}, {2, 0, 0x000000FFu}}},
        {"two flips show page 1 again",
         [](display_fixture& d) {
             d.set_video(d.ctx.videos[0].b, 0, 0, 0x7FFF);
             d.set_video(d.ctx.videos[1].b, 1, 0, 0x7FFF);
             emulate_valkyrie_video_pageflip(&d.ctx);
             emulate_valkyrie_video_pageflip(&d.ctx);
             EXPECT_EQ(d.ctx.video_backpage, 0);
         },
         {{0, 0, 0x000000FFu}, {2, 0, 0xFFFFFFFFu}}},
        {"last row and column use video row 239 and column 319",
         [](display_fixture& d) {
             d.set_video(d.shown(), 319, 239, 0x7FFF);
             d.set_video(d.shown(), 320, 239, 0x4210);  // in the stride, never shown
         },
         {{638, 478, 0xFFFFFFFFu}, {639, 479, 0xFFFFFFFFu}, {637, 479, 0x000000FFu}, {639, 477, 0x000000FFu}}},
        {"a drawn back page stays hidden until the flip",
         [](display_fixture& d) { d.set_video(d.ctx.videos[d.ctx.video_backpage].b, 0, 0, 0x7FFF); },
         {{0, 0, 0x000000FFu}}},
    };
    for (const display_case& c : cases) {
        SCOPED_TRACE(c.name);
        display_fixture d;
        c.setup(d);
        surface s;
        emulate_valkyrie_blit_rgba8888(&d.ctx, s.bytes.data(), k_pitch);
        for (const probe& p : c.probes)
            EXPECT_EQ(s.at(p.x, p.y), p.word) << std::hex << p.x << "," << std::dec << p.y;
        const std::vector<uint32_t> expected = reference_frame(&d.ctx);
        int wrong = 0, guards = 0;
        for (int y = 0; y < 480; ++y) {
            for (int x = 0; x < 640; ++x)
                wrong += s.at(x, y) != expected[y * 640 + x];
            for (int x = 640; x < k_pitch / 4; ++x)
                guards += s.at(x, y) != k_guard;
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(guards, 0);
    }
}

// With the start-up ramps every 5-bit channel c shows as (c << 3) | (c & 7):
// x 7 (odd) walks all 65536 values over the page: every colour with and without the alpha bit.
TEST(Display, EveryVideoColourThroughTheGreyRamp)
{
    display_fixture d;
    uint8_t* page = d.shown();
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            d.set_video(page, x, y, static_cast<uint16_t>((y * 320 + x) * 7 + 3));
    surface s;
    emulate_valkyrie_blit_rgba8888(&d.ctx, s.bytes.data(), k_pitch);
    auto expand = [](uint32_t c) { return (c << 3) | (c & 7); };
    int wrong = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            uint32_t p = static_cast<uint16_t>(((y / 2) * 320 + x / 2) * 7 + 3);
            uint32_t word = expand((p >> 10) & 31) << 24 | expand((p >> 5) & 31) << 16 | expand(p & 31) << 8 | 255;
            wrong += s.at(x, y) != word;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(s.at(0, 0), 0x00001BFFu);  // value 3: blue (3 << 3) | 3 = 27
}

TEST(Display, SetUpState)
{
    display_fixture d;
    EXPECT_EQ(d.ctx.overlay.w, 640);
    EXPECT_EQ(d.ctx.overlay.h, 480);
    EXPECT_EQ(d.ctx.overlay.rowbytes, 640);
    for (const valkyrie_buffer& page : d.ctx.videos) {
        EXPECT_EQ(page.w, 320);
        EXPECT_EQ(page.h, 240);
        EXPECT_EQ(page.rowbytes, 1024);
    }
    EXPECT_NE(d.ctx.videos[0].b, d.ctx.videos[1].b);
    EXPECT_EQ(d.ctx.video_backpage, 0);
    EXPECT_EQ(emulate_valkyrie_key_color, 0);
    // The slots in their order.
    EXPECT_EQ(d.ctx.set_overlay_palette_func, &emulate_valkyrie_set_overlay_palette_rgba8888);
    EXPECT_EQ(d.ctx.set_video_palette_func, &emulate_valkyrie_set_video_palette_rgba8888);
    EXPECT_EQ(d.ctx.get_overlay_palette_func, &emulate_valkyrie_get_overlay_palette_rgba8888);
    EXPECT_EQ(d.ctx.get_video_palette_func, &emulate_valkyrie_get_video_palette_rgba8888);
    EXPECT_EQ(d.ctx.set_overlay_key_func, &emulate_valkyrie_set_overlay_key);
    // All four tables are opaque grey ramps; the reference copies are apart from the live ones.
    uint8_t live[2][1024];
    d.ctx.get_overlay_palette_func(&d.ctx, 0, 256, live[0]);
    d.ctx.get_video_palette_func(&d.ctx, 0, 256, live[1]);
    const palette* originals[2] = {&d.ctx.original_overlay_palette, &d.ctx.original_video_palette};
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(originals[t]->offset, 0);
        EXPECT_EQ(originals[t]->count, 256);
        for (int i = 0; i < 256; ++i) {
            const uint8_t ramp[4] = {uint8_t(i), uint8_t(i), uint8_t(i), 255};
            EXPECT_EQ(0, memcmp(live[t] + 4 * i, ramp, 4)) << t << " " << i;
            EXPECT_EQ(0, memcmp(originals[t]->rgba8888 + 4 * i, ramp, 4)) << t << " " << i;
        }
    }
    d.set_video_entry(3, 1, 2, 3, 4);
    EXPECT_EQ(d.ctx.original_video_palette.rgba8888[12], 3);
}

// Slots keep within the 256 entries: entries outside are neither written nor read.
TEST(Display, SlotsKeepWithinTheTable)
{
    struct row {
        int offset, count;
        int first, end;  // table entries written from caller entry (i - offset)
    } rows[] = {
        {250, 10, 250, 256}, {-3, 5, 0, 2},  {0, 256, 0, 256},   {300, 4, 0, 0},
        {-10, 4, 0, 0},      {10, -5, 0, 0}, {255, 1, 255, 256},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.offset);
        display_fixture d;
        const int n = r.count > 0 ? r.count : 0;
        std::vector<uint8_t> src(static_cast<size_t>(4 * n));
        for (int k = 0; k < 4 * n; ++k)
            src[k] = static_cast<uint8_t>(0x80 ^ k);
        d.ctx.set_overlay_palette_func(&d.ctx, r.offset, r.count, src.data());
        d.ctx.set_video_palette_func(&d.ctx, r.offset, r.count, src.data());
        uint8_t table[2][1024];
        d.ctx.get_overlay_palette_func(&d.ctx, 0, 256, table[0]);
        d.ctx.get_video_palette_func(&d.ctx, 0, 256, table[1]);
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < 256; ++i) {
                bool written = i >= r.first && i < r.end;
                for (int c = 0; c < 4; ++c) {
                    uint8_t expected = written ? src[4 * (i - r.offset) + c] : (c == 3 ? 255 : uint8_t(i));
                    ASSERT_EQ(table[t][4 * i + c], expected) << t << " entry " << i;
                }
            }
        // Reading the same range back fills exactly the caller entries that map into the table.
        std::vector<uint8_t> back(static_cast<size_t>(4 * n), 0x11);
        d.ctx.get_video_palette_func(&d.ctx, r.offset, r.count, back.data());
        for (int k = 0; k < n; ++k) {
            int i = r.offset + k;
            bool inside = i >= 0 && i < 256;
            EXPECT_EQ(back[4 * k], inside ? table[1][4 * i] : 0x11) << k;
        }
    }
}

// The composition as it was first written, one pixel at a time: the reference
// the table-driven and wide compositions must match bit for bit.
template <typename Pixel>
void scalar_composition(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    const valkyrie_buffer* page = &ctx->videos[ctx->video_backpage == 0 ? 1 : 0];
    const uint8_t key = emulate_valkyrie_key_color;
    const uint8_t* overlay_clut = emulate_valkyrie_overlay_clut.rgba8888;
    const uint8_t* video_clut = emulate_valkyrie_video_clut.rgba8888;
    auto clut_index = [](uint32_t c5) { return (c5 << 3) | (c5 & 7u); };
    const uint8_t* overlay_row = ctx->overlay.b;
    const uint8_t* video_row = page->b;
    uint8_t* dst_row = static_cast<uint8_t*>(dst);
    for (int y = 0; y < ctx->overlay.h; ++y) {
        const uint8_t* ov = overlay_row;
        const uint8_t* vp = video_row;
        uint8_t* out = dst_row;
        for (int x = 0; x < ctx->overlay.w; ++x) {
            uint32_t index = ov[x];
            uint16_t p16;
            memcpy(&p16, vp, 2);
            Pixel pixel;
            if constexpr (sizeof(Pixel) == 4) {
                uint32_t r, g, b;
                if (index != key) {
                    const uint8_t* e = overlay_clut + 4 * index;
                    r = e[0];
                    g = e[1];
                    b = e[2];
                } else {
                    uint32_t p = p16;
                    r = video_clut[4 * clut_index((p >> 10) & 31u) + 0];
                    g = video_clut[4 * clut_index((p >> 5) & 31u) + 1];
                    b = video_clut[4 * clut_index(p & 31u) + 2];
                }
                pixel = r << 24 | g << 16 | b << 8 | 255u;
            } else {
                if (index == key) {
                    pixel = p16;
                } else {
                    const uint8_t* e = overlay_clut + 4 * index;
                    uint32_t c[3];
                    for (int k = 0; k < 3; ++k) {
                        uint32_t v = video_clut[4 * clut_index(uint32_t{e[k]} >> 3) + k];
                        c[k] = (v * 498u) >> 12;
                    }
                    pixel = static_cast<uint16_t>(0x8000u | c[0] << 10 | c[1] << 5 | c[2]);
                }
            }
            memcpy(out, &pixel, sizeof(pixel));
            out += sizeof(pixel);
            if (x & 1)
                vp += 2;
        }
        overlay_row += ctx->overlay.rowbytes;
        if (y & 1)
            video_row += page->rowbytes;
        dst_row += dst_rowbytes;
    }
}

// Overlay patterns the compositions take different paths for.
enum class overlay_pattern { no_key, all_key, spans, random_half, runs_at_odd_columns };

void fill_overlay(display_fixture& d, overlay_pattern pattern, uint8_t key, std::mt19937& gen)
{
    auto other = [&] {
        uint8_t v;
        do
            v = static_cast<uint8_t>(gen());
        while (v == key);
        return v;
    };
    const int n = VALKYRIE_OVERLAY_ROWBYTES * VALKYRIE_OVERLAY_HEIGHT;
    for (int i = 0; i < n;) {
        int len = 1;
        bool is_key = false;
        switch (pattern) {
        case overlay_pattern::no_key:
            break;
        case overlay_pattern::all_key:
            is_key = true;
            break;
        case overlay_pattern::spans:
            len = 1 + static_cast<int>(gen() % 80);
            is_key = (gen() & 1) != 0;
            break;
        case overlay_pattern::random_half:
            is_key = (gen() & 1) != 0;
            break;
        case overlay_pattern::runs_at_odd_columns:
            // key runs that start and end on odd columns, cutting video pixels in two
            len = 1 + 2 * static_cast<int>(gen() % 9);
            is_key = ((i / len) & 1) != 0;
            break;
        }
        for (int k = 0; k < len && i < n; k++, i++)
            d.ctx.overlay.b[i] = is_key ? key : other();
    }
}

// Every pattern, random planes and tables, keys 0 and 200, both surface words,
// the wide path (where the processor has it) and the SSE2 path: bit-identical to
// the scalar composition, and nothing written past a row's 640 pixels.
TEST(Display, CompositionMatchesTheScalarFormForEveryPattern)
{
    const overlay_pattern patterns[] = {overlay_pattern::no_key, overlay_pattern::all_key, overlay_pattern::spans,
                                        overlay_pattern::random_half, overlay_pattern::runs_at_odd_columns};
    const int saved_level = cpu_level();
    std::mt19937 gen(2024);
    for (overlay_pattern pattern : patterns)
        for (uint8_t key : {uint8_t{0}, uint8_t{200}})
            for (bool wide : {true, false}) {
                display_fixture d;
                d.ctx.set_overlay_key_func(&d.ctx, key);
                uint8_t table[1024];
                for (uint8_t& b : table)
                    b = static_cast<uint8_t>(gen());
                d.ctx.set_overlay_palette_func(&d.ctx, 0, 256, table);
                for (uint8_t& b : table)
                    b = static_cast<uint8_t>(gen());
                d.ctx.set_video_palette_func(&d.ctx, 0, 256, table);
                for (valkyrie_buffer& page : d.ctx.videos)
                    for (int i = 0; i < page.rowbytes * page.h; i++)
                        page.b[i] = static_cast<uint8_t>(gen());
                fill_overlay(d, pattern, key, gen);
                if (gen() & 1)
                    emulate_valkyrie_video_pageflip(&d.ctx);
                cpu_level_set(wide ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
                for (int words = 2; words <= 4; words += 2) {
                    const int pitch = 640 * words + 40;
                    std::vector<uint8_t> got(static_cast<size_t>(pitch) * 480, 0xA5), want(got);
                    if (words == 4) {
                        emulate_valkyrie_blit_rgba8888(&d.ctx, got.data(), pitch);
                        scalar_composition<uint32_t>(&d.ctx, want.data(), pitch);
                    } else {
                        emulate_valkyrie_blit_argb1555(&d.ctx, got.data(), pitch);
                        scalar_composition<uint16_t>(&d.ctx, want.data(), pitch);
                    }
                    size_t first_diff = 0;
                    while (first_diff < got.size() && got[first_diff] == want[first_diff])
                        first_diff++;
                    EXPECT_EQ(first_diff, got.size())
                        << "pattern " << static_cast<int>(pattern) << " key " << int{key} << " wide " << wide
                        << " bytes per pixel " << words << ": first difference at row " << first_diff / pitch
                        << " byte " << first_diff % pitch;
                }
                // A colour-table change between frames shows in the next one.
                d.set_video_entry(255, 1, 2, 3, 4);
                std::vector<uint8_t> got(640 * 4 * 480), want(got);
                emulate_valkyrie_blit_rgba8888(&d.ctx, got.data(), 640 * 4);
                scalar_composition<uint32_t>(&d.ctx, want.data(), 640 * 4);
                EXPECT_TRUE(got == want) << "after a video table change, pattern " << static_cast<int>(pattern);
            }
    cpu_level_set(saved_level);
}

// The 16-bit composition: key pixels copy the video pixel, others take the
// overlay colour through the video table scaled to 5 bits, always opaque.
TEST(Display, SixteenBitComposition)
{
    display_fixture d;
    d.set_video(d.shown(), 0, 0, 0x7FFF);
    d.set_video(d.shown(), 1, 0, 0x1234);
    d.set_overlay(0, 2, 255);
    d.set_overlay(1, 2, 128);  // each channel 128: c5 16 -> entry 128 -> 128 x 498 >> 12 = 15
    d.set_overlay_entry(9, 248, 0, 8, 0);
    d.set_overlay(2, 2, 9);  // c5 31, 0, 1 -> entries 255, 0, 9 -> 31, 0, 1
    const int pitch = 640 * 2 + 8;
    std::vector<uint8_t> out(static_cast<size_t>(pitch) * 480, 0xCC);
    emulate_valkyrie_blit_argb1555(&d.ctx, out.data(), pitch);
    auto at = [&](int x, int y) {
        uint16_t v;
        memcpy(&v, &out[static_cast<size_t>(y) * pitch + 2 * x], 2);
        return v;
    };
    EXPECT_EQ(at(0, 0), 0x7FFF);
    EXPECT_EQ(at(1, 1), 0x7FFF);
    EXPECT_EQ(at(2, 0), 0x1234);
    EXPECT_EQ(at(0, 2), 0xFFFF);
    EXPECT_EQ(at(1, 2), 0x8000 | 15 << 10 | 15 << 5 | 15);
    EXPECT_EQ(at(2, 2), 0x8000 | 31 << 10 | 0 << 5 | 1);
    EXPECT_EQ(at(639, 479), 0x0000);
    EXPECT_EQ(out[static_cast<size_t>(pitch) * 479 + 1280], 0xCC);
}

}  // namespace
