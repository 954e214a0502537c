// Render targets: initialisers, clears, the frame-context lifecycle with its
// dirty-region clear, the depth buffer's validity record, and the crash paths.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cpu_features.h"
#include "core/crash.h"
#include "core/maskstore.h"
#include "core/memarena.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<8u << 20>;

int bit_of(const n3d_coveragebuffer* cb, int x, int y)
{
    uint32_t i = static_cast<uint32_t>(y * cb->w + x);
    return (cb->u32[i >> 5] >> (31 - (i & 31))) & 1;
}

void set_bit(n3d_coveragebuffer* cb, int x, int y)
{
    uint32_t i = static_cast<uint32_t>(y * cb->w + x);
    cb->u32[i >> 5] |= 0x80000000u >> (i & 31);
}

uint16_t px16(const n3d_framebuffer* fb, int x, int y)
{
    uint16_t v;
    memcpy(&v, static_cast<uint8_t*>(fb->b) + y * fb->row_bytes + 2 * x, 2);
    return v;
}

void put16(n3d_framebuffer* fb, int x, int y, uint16_t v)
{
    memcpy(static_cast<uint8_t*>(fb->b) + y * fb->row_bytes + 2 * x, &v, 2);
}

// A depth value as the depth rasterizers see it: a line whose validity bit is
// clear counts as cleared (0, the farthest).
uint16_t depth_read(const n3d_depthbuffer* db, int x, int y)
{
    if (!bit_of(&db->cb_cache_zeroed, x >> 4, y))
        return 0;
    return db->u16[y * db->w + x];
}

void fill_random(std::mt19937& gen, n3d_coveragebuffer* cb, int density_percent)
{
    for (int y = 0; y < cb->h; y++)
        for (int x = 0; x < cb->w; x++)
            if (static_cast<int>(gen() % 100) < density_percent)
                set_bit(cb, x, y);
}

}  // namespace

TEST(Framebuffer, InitialisersSetLayoutAndAlignment)
{
    test_arena f;
    n3d_framebuffer fb;
    memset(&fb, 0x55, sizeof fb);
    n3d_framebuffer_init_argb1555(&fb, 320, 240, &f.arena);
    EXPECT_EQ(fb.format, 2);
    EXPECT_EQ(fb.row_bytes, 640);
    EXPECT_EQ(fb.flags, 0);
    n3d_framebuffer_init_index8(&fb, 640, 480, &f.arena);
    EXPECT_EQ(fb.format, 3);
    EXPECT_EQ(fb.row_bytes, 640);

    struct {
        int width, want;
    } rounding[] = {{0, 0}, {1, 32}, {20, 32}, {32, 32}, {33, 64}, {640, 640}};
    for (const auto& r : rounding)
        EXPECT_EQ(n3d_coveragebuffer_width_at_least(r.width), r.want) << r.width;

    n3d_coveragebuffer cb;
    f.arena.sp += 3;  // misalign the arena: the buffer must still be 32-byte aligned
    n3d_coveragebuffer_init(&cb, 640, 3, &f.arena);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(cb.u32) % 32, 0u);
    for (int i = 0; i < 640 * 3 / 32; i++)
        ASSERT_EQ(cb.u32[i], 0u);

    struct {
        int width, record_w;
    } depth[] = {{320, 32}, {512, 32}, {16, 32}};
    for (const auto& r : depth) {
        n3d_depthbuffer db;
        n3d_depthbuffer_init(&db, r.width, 7, &f.arena);
        EXPECT_EQ(db.cb_cache_zeroed.w, r.record_w) << r.width;
        EXPECT_EQ(db.cb_cache_zeroed.h, 7);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(db.u16) % 32, 0u);
    }
}

TEST(Framebuffer, CoverageWidthNotMultipleOf32StopsThroughCrashPath)
{
    captured_run r = capture_run([] {
        test_arena f;
        n3d_coveragebuffer cb;
        n3d_coveragebuffer_init(&cb, 33, 4, &f.arena);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        crash_site(r.err),
        crash_site("crash at src/n3d:1432\ncoverage buffer only supports width evenly divisable by 32 (was 33)\n"));
}

// The depth rasterizers address the validity record as one word per row, so a
// wider buffer is refused where it is made, by both ways of making one, with
// the message the rasterizers give; 512 is the widest accepted.
TEST(Framebuffer, DepthBufferWiderThan512StopsWhereItIsMade)
{
    struct {
        bool in_frame_context;
        int width;
    } rows[] = {{false, 513}, {false, 640}, {true, 544}, {true, 640}};
    for (const auto& row : rows) {
        captured_run r = capture_run([&row] {
            test_arena f;
            if (row.in_frame_context) {
                n3d_frame_context fc;
                n3d_framecontext_init(&fc, &f.arena, row.width, 4, 2,
                                      N3D_FRAMECONTEXT_DEPTHBUFFER | N3D_FRAMECONTEXT_COVERAGEBUFFER);
            } else {
                n3d_depthbuffer db;
                n3d_depthbuffer_init(&db, row.width, 4, &f.arena);
            }
        });
        EXPECT_TRUE(r.exited) << row.width;
        EXPECT_EQ(r.status, 1) << row.width;
        EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/n3d:")), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("depth buffer " + std::to_string(row.width) +
                             " wide: the depth rasterizers serve widths that are multiples of 16 up to 512\n"),
                  std::string::npos)
            << r.err;
    }
    captured_run ok = capture_run([] {
        test_arena f;
        n3d_frame_context fc;
        n3d_framecontext_init(&fc, &f.arena, 512, 4, 2, N3D_FRAMECONTEXT_DEPTHBUFFER | N3D_FRAMECONTEXT_COVERAGEBUFFER);
    });
    EXPECT_TRUE(ok.exited);
    EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST(Framebuffer, Validate)
{
    struct {
        int format, w, want;
        const char* out;
    } rows[] = {
        {2, 320, 0, ""},
        {1, 320, 0, ""},
        {3, 320, 1, ""},  // 8-bit display planes are no 3D target; silent
        {4, 320, 1, ""},
        {2, 2048, 0, ""},
        {2, 2049, 1, "frame w must be < N3D_MAX_FRAME_DIM, frame w is 2049 max is 2048\n"},
    };
    for (const auto& row : rows) {
        captured_run r = capture_run([&] {
            n3d_framebuffer fb = {0, row.format, row.w, 1, 2 * row.w, nullptr};
            crash_exit(n3d_framebuffer_validate(&fb));
        });
        EXPECT_EQ(r.status, row.want) << row.format << " " << row.w;
        EXPECT_EQ(r.out, row.out);
    }
}

TEST(Framebuffer, ClearWritesVisiblePixelsOnlyAndRejectsUnknownFormats)
{
    // A 320-wide ARGB1555 page with 1024-byte rows, as the display's pages.
    std::vector<uint8_t> page(1024 * 4, 0x11);
    n3d_framebuffer fb = {0, 2, 320, 4, 1024, page.data()};
    n3d_framebuffer_clear(&fb);
    for (int y = 0; y < 4; y++)
        for (int i = 0; i < 1024; i++)
            ASSERT_EQ(page[y * 1024 + i], i < 640 ? (i & 1 ? 0x80 : 0x00) : 0x11) << y << " " << i;

    std::vector<uint8_t> plane(40 * 3, 0x22);
    n3d_framebuffer fb8 = {0, 1, 33, 3, 40, plane.data()};
    n3d_framebuffer_clear(&fb8);
    for (int i = 0; i < 120; i++)
        ASSERT_EQ(plane[i], (i % 40) < 33 ? 0 : 0x22);

    captured_run r = capture_run([&] {
        n3d_framebuffer bad = {0, 4, 4, 4, 16, plane.data()};
        n3d_framebuffer_clear(&bad);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(crash_site(r.err), crash_site("crash at src/n3d:1649\nnot implemented\n"));
}

TEST(Framebuffer, CoverageClearZeroesEveryWord)
{
    std::vector<uint32_t> words(64, 0xFFFFFFFFu);
    struct {
        int w, h, count;  // count words to clear
    } rows[] = {{32, 1, 1}, {32, 3, 3}, {64, 5, 10}, {640, 1, 20}};
    for (const auto& r : rows) {
        std::fill(words.begin(), words.end(), 0xFFFFFFFFu);
        n3d_coveragebuffer cb = {words.data(), r.w, r.h};
        n3d_coveragebuffer_clear(&cb);
        for (int i = 0; i < 64; i++)
            ASSERT_EQ(words[i], i < r.count ? 0u : 0xFFFFFFFFu) << r.w << "x" << r.h << " word " << i;
    }
}

// The dirty clear against a per-pixel reference: random coverage pairs of
// several densities, both pixel sizes, and planes larger than the buffers (the
// benchmark's 320x240 page over 320x200 coverage).
TEST(Framebuffer, DirtyClearMatchesPerPixelReference)
{
    std::mt19937 gen(5);
    struct {
        int format, fb_w, fb_h, cb_w, cb_h, row_bytes;
    } shapes[] = {
        {2, 320, 240, 320, 200, 1024}, {2, 64, 8, 64, 8, 128},
        {3, 640, 48, 640, 48, 640},    {1, 50, 10, 64, 12, 56},  // buffers wider and higher than the plane
        {2, 100, 10, 64, 10, 200},                               // plane wider than the buffers
    };
    const int densities[] = {0, 10, 50, 90, 100};
    // The SSE2 walk and, where the processor has it, the wide one.
    for (bool wide : {false, true})
        for (const auto& s : shapes)
            for (int d : densities) {
                cpu_level_set(wide ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
                // Each buffer is followed by as many guard words again: set in
                // cb_dirty and clear in cb, so a walk past the buffers' rows or
                // columns would clear pixels the reference keeps.
                const size_t words = static_cast<size_t>(s.cb_w / 32) * s.cb_h;
                std::vector<uint32_t> cb_words(2 * words, 0u), dirty_words(2 * words, 0u);
                std::fill(dirty_words.begin() + static_cast<long>(words), dirty_words.end(), 0xFFFFFFFFu);
                n3d_coveragebuffer cb = {cb_words.data(), s.cb_w, s.cb_h}, dirty = {dirty_words.data(), s.cb_w, s.cb_h};
                fill_random(gen, &cb, d);
                fill_random(gen, &dirty, 100 - d / 2);
                std::vector<uint8_t> pixels(static_cast<size_t>(s.row_bytes) * s.fb_h);
                for (auto& p : pixels)
                    p = static_cast<uint8_t>(gen() | 1);  // never background by chance
                std::vector<uint8_t> want = pixels;
                const int bpp = s.format == 2 ? 2 : 1;
                for (int y = 0; y < std::min(s.fb_h, s.cb_h); y++)
                    for (int x = 0; x < std::min(s.fb_w, s.cb_w); x++)
                        if (!bit_of(&cb, x, y) && bit_of(&dirty, x, y)) {
                            want[y * s.row_bytes + bpp * x] = 0;
                            if (bpp == 2)
                                want[y * s.row_bytes + 2 * x + 1] = 0x80;
                        }
                n3d_framebuffer fb = {0, s.format, s.fb_w, s.fb_h, s.row_bytes, pixels.data()};
                n3d_framebuffer_clear_dirty(&fb, &cb, &dirty);
                cpu_level_set(cpu_level_default());
                ASSERT_EQ(pixels, want) << s.format << " " << s.fb_w << "x" << s.fb_h << " density " << d << " wide "
                                        << wide;
            }
}

TEST(Framebuffer, NonCoverageClearMatchesPerPixelReference)
{
    std::mt19937 gen(6);
    test_arena f;
    struct {
        int cb_w, cb_h, fb_w, fb_h, pad;
    } shapes[] = {
        {96, 5, 100, 7, 0},      // the plane 100x7, the buffer 96x5
        {640, 24, 640, 24, 32},  // whole words and four-word runs over padded rows
    };
    for (bool wide : {false, true})
        for (const auto& sh : shapes)
            for (int density : {0, 40, 100})
                for (int format : {1, 2}) {
                    memarena_reset(&f.arena);
                    n3d_coveragebuffer cb;
                    n3d_coveragebuffer_init(&cb, sh.cb_w, sh.cb_h, &f.arena);
                    fill_random(gen, &cb, density);
                    const int bpp = format == 2 ? 2 : 1, row_bytes = sh.fb_w * bpp + sh.pad;
                    std::vector<uint8_t> pixels(static_cast<size_t>(row_bytes) * sh.fb_h);
                    for (auto& p : pixels)
                        p = static_cast<uint8_t>(gen() | 1);
                    std::vector<uint8_t> want = pixels;
                    for (int y = 0; y < sh.cb_h; y++)
                        for (int x = 0; x < sh.cb_w; x++)
                            if (!bit_of(&cb, x, y)) {
                                want[y * row_bytes + bpp * x] = 0;
                                if (bpp == 2)
                                    want[y * row_bytes + 2 * x + 1] = 0x80;
                            }
                    n3d_framebuffer fb = {0, format, sh.fb_w, sh.fb_h, row_bytes, pixels.data()};
                    cpu_level_set(wide ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
                    n3d_framebuffer_clear_noncoverage(&fb, &cb);
                    cpu_level_set(cpu_level_default());
                    ASSERT_EQ(pixels, want) << format << " " << sh.cb_w << " density " << density << " wide " << wide;
                }
    captured_run r = capture_run([] {
        test_arena g;
        n3d_coveragebuffer cb;
        n3d_coveragebuffer_init(&cb, 32, 1, &g.arena);
        uint8_t px[32];
        n3d_framebuffer fb = {0, 3, 32, 1, 32, px};
        n3d_framebuffer_clear_noncoverage(&fb, &cb);
    });
    EXPECT_EQ(crash_site(r.err), crash_site("crash at src/n3d:1484\nnot implemented\n"));
}

TEST(FrameContext, InitBuildsWhatTheFlagsAsk)
{
    test_arena f;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &f.arena, 320, 200, 2, N3D_FRAMECONTEXT_DEPTHBUFFER | N3D_FRAMECONTEXT_COVERAGEBUFFER);
    ASSERT_NE(fc.fb, nullptr);
    ASSERT_NE(fc.db, nullptr);
    ASSERT_NE(fc.cb, nullptr);
    ASSERT_NE(fc.cb_dirty, nullptr);
    EXPECT_NE(fc.cb, fc.cb_dirty);
    EXPECT_EQ(fc.fb->format, 2);
    EXPECT_EQ(fc.db->cb_cache_zeroed.w, 32);
    EXPECT_EQ(fc.cb->w, 320);
    EXPECT_EQ(fc.cb_dirty->h, 200);
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 320; x++)
            ASSERT_EQ(px16(fc.fb, x, y), 0x8000);  // an owned plane starts at background

    n3d_frame_context overlay;
    n3d_framecontext_init(&overlay, &f.arena, 640, 480, 3, 0);
    EXPECT_EQ(overlay.db, nullptr);
    EXPECT_EQ(overlay.cb, nullptr);
    EXPECT_EQ(overlay.fb->row_bytes, 640);
    EXPECT_EQ(static_cast<uint8_t*>(overlay.fb->b)[640 * 480 - 1], 0);

    // A foreign plane: the record is left for the caller.
    n3d_frame_context page;
    n3d_framecontext_init(&page, &f.arena, 320, 240, 0, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    EXPECT_EQ(page.fb->b, nullptr);
    EXPECT_EQ(page.fb->w, 0);

    captured_run r = capture_run([] {
        test_arena g;
        n3d_frame_context c;
        n3d_framecontext_init(&c, &g.arena, 64, 8, 1, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(crash_site(r.err),
              crash_site("crash at src/n3d:1712\ninit framecontext with bad format 1? or not yet implemented?"));
}

// A 16-bit page over foreign memory with 1024-byte rows (as the display's),
// drawn as a rasterizer would: pixel plus coverage bit.
TEST(FrameContext, FramesClearExactlyWhatThePreviousFrameDrewAlone)
{
    test_arena f;
    std::vector<uint8_t> page(1024 * 240, 0);
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &f.arena, 320, 240, 0, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    *fc.fb = {0, 2, 320, 240, 1024, page.data()};
    n3d_framebuffer_clear(fc.fb);
    auto draw = [&](int x, int y, uint16_t c) {
        put16(fc.fb, x, y, c);
        set_bit(fc.cb, x, y);
    };

    // Nothing drawn: nothing changes.
    std::vector<uint8_t> before = page;
    n3d_framecontext_begin(&fc, 0);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(page, before);

    // Frame 1 draws A and B; frame 2 draws only B again and C.
    n3d_framecontext_begin(&fc, 0);
    draw(10, 10, 0xFFFF);
    draw(300, 239, 0xFFFF);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(px16(fc.fb, 10, 10), 0xFFFF);

    n3d_framecontext_begin(&fc, 0);
    draw(300, 239, 0x83E0);
    draw(0, 0, 0x801F);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(px16(fc.fb, 10, 10), 0x8000);  // drawn last frame only: background again
    EXPECT_EQ(px16(fc.fb, 300, 239), 0x83E0);
    EXPECT_EQ(px16(fc.fb, 0, 0), 0x801F);

    // Frame 3 draws nothing: B and C go; frame 4 changes nothing more.
    n3d_framecontext_begin(&fc, 0);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(px16(fc.fb, 300, 239), 0x8000);
    EXPECT_EQ(px16(fc.fb, 0, 0), 0x8000);
    before = page;
    n3d_framecontext_begin(&fc, 0);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(page, before);
    // The row padding of the foreign plane was never touched.
    for (int y = 0; y < 240; y++)
        for (int i = 640; i < 1024; i++)
            ASSERT_EQ(page[y * 1024 + i], 0);
}

TEST(FrameContext, BeginNoClearKeepsOlderCoverageAndEndClearsNothing)
{
    test_arena f;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &f.arena, 64, 4, 3, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    uint8_t* px = static_cast<uint8_t*>(fc.fb->b);

    n3d_framecontext_begin(&fc, 0);  // frame 1: draws (1, 1)
    px[64 + 1] = 7;
    set_bit(fc.cb, 1, 1);
    n3d_framecontext_end(&fc);
    n3d_coveragebuffer* frame1 = fc.cb;
    n3d_framecontext_begin(&fc, 0);  // frame 2: draws (2, 2)
    px[128 + 2] = 9;
    set_bit(fc.cb, 2, 2);
    n3d_framecontext_end(&fc);
    EXPECT_EQ(px[64 + 1], 0);

    n3d_framecontext_begin(&fc, N3D_FRAMECONTEXT_BEGIN_NO_CLEAR);
    EXPECT_EQ(fc.begin_flag, N3D_FRAMECONTEXT_BEGIN_NO_CLEAR);
    EXPECT_EQ(fc.cb, frame1);
    EXPECT_EQ(bit_of(fc.cb, 1, 1), 1);  // two frames ago, kept
    n3d_framecontext_end(&fc);
    EXPECT_EQ(px[128 + 2], 9);  // drawn last frame, not this one, yet kept
}

TEST(FrameContext, SwapExchangesThePair)
{
    test_arena f;
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, &f.arena, 32, 1, 3, N3D_FRAMECONTEXT_COVERAGEBUFFER);
    n3d_coveragebuffer *a = fc.cb, *b = fc.cb_dirty;
    n3d_framecontext_swap_cb(&fc);
    EXPECT_EQ(fc.cb, b);
    EXPECT_EQ(fc.cb_dirty, a);
}

TEST(FrameContext, BeginOrEndWithoutCoveragePairStopsWithMessage)
{
    for (int end : {0, 1}) {
        captured_run r = capture_run([end] {
            test_arena f;
            n3d_frame_context fc;
            n3d_framecontext_init(&fc, &f.arena, 64, 4, 3, N3D_FRAMECONTEXT_DEPTHBUFFER);
            if (end)
                n3d_framecontext_end(&fc);
            else
                n3d_framecontext_begin(&fc, 0);
        });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(crash_site(r.err).find(crash_site("crash at src/n3d:")), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("frame context has no coverage buffers"), std::string::npos) << r.err;
    }
}

TEST(DepthBuffer, ReadThroughValidityRecord)
{
    test_arena f;
    n3d_frame_context a, b;
    n3d_framecontext_init(&a, &f.arena, 320, 8, 2, N3D_FRAMECONTEXT_DEPTHBUFFER);
    n3d_framecontext_init(&b, &f.arena, 320, 8, 2, 0);
    b.db = a.db;  // the two video pages share one depth buffer
    n3d_depthbuffer* db = a.db;

    // Fresh: every line is stale and reads as cleared, whatever memory holds.
    for (int i = 0; i < 320 * 8; i++)
        db->u16[i] = 0xBEEF;
    EXPECT_EQ(depth_read(db, 5, 3), 0);

    // First touch of the line x 16..31 of row 3: zero it, mark it, write.
    memset(db->u16 + 3 * 320 + 16, 0, 32);
    set_bit(&db->cb_cache_zeroed, 1, 3);
    db->u16[3 * 320 + 20] = 4096;
    EXPECT_EQ(depth_read(db, 20, 3), 4096);
    EXPECT_EQ(depth_read(db, 21, 3), 0);
    EXPECT_EQ(depth_read(db, 32, 3), 0);  // the next line is still stale (0xBEEF in memory)

    for (int x : {5, 20, 21, 32})
        EXPECT_EQ(n3d_depthbuffer_value(db, x, 3), depth_read(db, x, 3)) << x;

    // Clearing resets the record only; the values stay.
    n3d_depthbuffer_clear(b.db);
    EXPECT_EQ(depth_read(db, 20, 3), 0);
    EXPECT_EQ(n3d_depthbuffer_value(db, 20, 3), 0);
    EXPECT_EQ(db->u16[3 * 320 + 20], 4096);
}

// The copy takes exactly the pixels whose depth reads above 0: stale lines
// (whatever their memory holds) and zero values keep the destination, on planes
// whose width ends inside a line, over a depth buffer that is wider and taller.
TEST(DepthBuffer, CopyWhereDepthTakesThePixelsOfDepthAboveZero)
{
    test_arena f;
    std::mt19937 gen(7);
    for (int w : {40, 64}) {
        SCOPED_TRACE(w);
        const int h = 5;
        n3d_framebuffer src, dst;
        n3d_framebuffer_init_argb1555(&src, w, h, &f.arena);
        n3d_framebuffer_init_argb1555(&dst, w, h, &f.arena);
        n3d_depthbuffer db;
        n3d_depthbuffer_init(&db, w + 16, h + 1, &f.arena);
        for (int i = 0; i < db.w * db.h; i++)
            db.u16[i] = gen() % 3 == 0 ? 0 : static_cast<uint16_t>(1 + gen() % 65535);
        n3d_depthbuffer_clear(&db);
        fill_random(gen, &db.cb_cache_zeroed, 50);
        std::vector<uint16_t> before(static_cast<size_t>(w * h));
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                put16(&src, x, y, static_cast<uint16_t>(gen()));
                put16(&dst, x, y, before[y * w + x] = static_cast<uint16_t>(gen()));
            }
        n3d_framebuffer_argb1555_copy_where_depth(&dst, &src, &db);
        int copied = 0, kept = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const bool take = depth_read(&db, x, y) > 0;
                ASSERT_EQ(px16(&dst, x, y), take ? px16(&src, x, y) : before[y * w + x]) << x << "," << y;
                copied += take;
                kept += !take;
            }
        EXPECT_GT(copied, 0);
        EXPECT_GT(kept, 0);
    }
}

TEST(DebugViews, CoverageAndDirtyColours)
{
    test_arena f;
    n3d_coveragebuffer cb, dirty;
    n3d_coveragebuffer_init(&cb, 64, 2, &f.arena);
    n3d_coveragebuffer_init(&dirty, 64, 2, &f.arena);
    set_bit(&cb, 0, 0);
    set_bit(&dirty, 1, 0);
    set_bit(&dirty, 0, 0);
    std::vector<uint8_t> pixels(40 * 2 * 2);
    n3d_framebuffer fb = {0, 2, 40, 2, 80, pixels.data()};  // narrower than the buffers
    for (int x = 0; x < 40; x++)
        for (int y = 0; y < 2; y++)
            put16(&fb, x, y, 0xFFFF);
    n3d_framebuffer_dbg_show_dirty(&fb, &cb, &dirty);
    EXPECT_EQ(px16(&fb, 0, 0), 0xFC00 | 24 << 5 | 24);             // this frame: full red, the rest dimmed
    EXPECT_EQ(px16(&fb, 1, 0), 0x8000 | 24 << 10 | 24 << 5 | 31);  // last frame: full blue
    EXPECT_EQ(px16(&fb, 2, 0), 0xFFFF);                            // neither: unchanged
    n3d_coveragebuffer_display(&cb, &fb);
    EXPECT_EQ(px16(&fb, 1, 0), 0x801F);
    EXPECT_EQ(px16(&fb, 39, 1), 0x801F);
    EXPECT_EQ(px16(&fb, 0, 0), 0xFC00 | 19 << 5 | 19);  // 24 / 31 dimmed by 0.8 again

    uint8_t idx[64 * 2];
    memset(idx, 200, sizeof idx);
    n3d_framebuffer fb8 = {0, 3, 64, 2, 64, idx};
    n3d_coveragebuffer_display(&cb, &fb8);
    EXPECT_EQ(idx[0], 255);
    EXPECT_EQ(idx[1], 0);

    // A smaller previous-frame buffer is read only inside itself; the current
    // frame's marks are painted over the whole of cb inside the plane.
    n3d_coveragebuffer small;
    n3d_coveragebuffer_init(&small, 32, 1, &f.arena);
    set_bit(&small, 2, 0);
    set_bit(&cb, 50, 1);
    memset(idx, 200, sizeof idx);
    idx[2] = 201;
    n3d_framebuffer_dbg_show_dirty(&fb8, &cb, &small);
    EXPECT_EQ(idx[0], 255);
    EXPECT_EQ(idx[2], 160);  // previous frame: 201 dimmed by 0.8
    EXPECT_EQ(idx[3], 200);
    EXPECT_EQ(idx[64 + 50], 255);
    EXPECT_EQ(idx[64 + 51], 200);
}
