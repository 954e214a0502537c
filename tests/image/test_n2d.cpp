// Rectangles, clears, copies, blits and the coverage-buffer mask builders.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/cpu_features.h"
#include "core/maskstore.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "support/capture.h"

namespace {

struct mask {
    std::vector<uint32_t> words;
    n3d_coveragebuffer cb;
    mask(int w, int h) : words(static_cast<size_t>(w / 32) * h), cb{words.data(), w, h} {}
    mask(const mask& o) : words(o.words), cb{words.data(), o.cb.w, o.cb.h} {}
    int get(int x, int y) const { return (words[(y * cb.w + x) >> 5] >> (31 - ((y * cb.w + x) & 31))) & 1; }
    void put(int x, int y, int v)
    {
        uint32_t bit = 0x80000000u >> ((y * cb.w + x) & 31);
        uint32_t& w = words[(y * cb.w + x) >> 5];
        w = v ? (w | bit) : (w & ~bit);
    }
};

struct plane {
    std::vector<uint8_t> bytes;
    n3d_framebuffer fb;
    plane(int format, int w, int h, int row_bytes)
        : bytes(static_cast<size_t>(row_bytes) * h), fb{0, format, w, h, row_bytes, nullptr}
    {
        fb.b = bytes.data();
    }
};

void random_mask(std::mt19937& gen, mask* m, int density)
{
    for (int y = 0; y < m->cb.h; y++)
        for (int x = 0; x < m->cb.w; x++)
            m->put(x, y, static_cast<int>(gen() % 100) < density);
}

void random_bytes(std::mt19937& gen, std::vector<uint8_t>* v)
{
    for (auto& b : *v)
        b = static_cast<uint8_t>(gen());
}

void expect_exit(const char* why, const std::function<void()>& fn, const std::string& out, const std::string& err)
{
    captured_run r = capture_run(fn);
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_EQ(r.out, out) << why;
    if (!err.empty()) {
        EXPECT_NE(r.err.find(err), std::string::npos) << why << ": " << r.err;
    }
}

}  // namespace

TEST(N2dRect, BoxrectAndClip)
{
    struct {
        int x0, y0, x1, y1, min_x, min_y, max_x, max_y;
        int dx, dy, w, h;
        const char* why;
    } rows[] = {
        {-5, 0, 10, 4, 0, 0, 8, 8, 5, 0, 8, 4, "left part cut, right end clipped"},
        {2, 3, 6, 5, 0, 0, 8, 8, 0, 0, 4, 2, "inside"},
        {10, 0, 20, 4, 0, 0, 8, 8, 0, 0, -2, 4, "wholly right of the box"},
        {0, -9, 4, -1, 0, 0, 8, 8, 0, 9, 4, -1, "wholly above"},
        {-3, -4, 20, 20, 1, 2, 8, 8, 4, 6, 7, 6, "larger than the box"},
        {-2147483647, 0, 2147483647, 1, 0, 0, 8, 8, 2147483647, 0, 8, 1, "no wrap on far-off rectangles"},
    };
    for (const auto& r : rows) {
        int dx, dy, w, h;
        n2d_boxrect(&dx, &dy, &w, &h, r.x0, r.y0, r.x1, r.y1, r.min_x, r.min_y, r.max_x, r.max_y);
        EXPECT_EQ(dx, r.dx) << r.why;
        EXPECT_EQ(dy, r.dy) << r.why;
        EXPECT_EQ(w, r.w) << r.why;
        EXPECT_EQ(h, r.h) << r.why;
    }
    n2d_rect r, box, out;
    n2d_rect_set(&r, -5, 2, 10, 12);
    n2d_rect_set(&box, 0, 0, 8, 8);
    n2d_clip_rect(&out, &r, &box);
    EXPECT_EQ(out.x0, 0);
    EXPECT_EQ(out.y0, 2);
    EXPECT_EQ(out.x1, 8);
    EXPECT_EQ(out.y1, 8);
}

TEST(N2dClear, ClearsFillWholeRowsIncludingTheRemainder)
{
    struct {
        int format, w, row_bytes;
        uint8_t r8, g8, b8;
        uint16_t pixel;  // 16-bit: the pixel; 8-bit: the byte
        bool rgb;
    } rows[] = {
        {2, 320, 1024, 255, 0, 7, 0xFC00, true},                     // (255, 0, 7): full red, blue 7 >> 3 = 0
        {2, 5, 10, 8, 16, 24, 0x8000 | 1 << 10 | 2 << 5 | 3, true},  // 10 row bytes: 8 + a remainder of 2
        {2, 3, 7, 255, 255, 255, 0xFFFF, true},                      // odd row bytes: pattern bytes continue
        {3, 13, 13, 42, 1, 2, 42, true},                             // index8: r8 is the index
        {3, 13, 13, 77, 0, 0, 77, false},
        {1, 20, 21, 9, 0, 0, 9, false},
    };
    for (const auto& r : rows) {
        plane p(r.format, r.w, 3, r.row_bytes);
        std::fill(p.bytes.begin(), p.bytes.end(), 0x5A);
        if (r.rgb)
            n2d_fb_clear_rgb(&p.fb, r.r8, r.g8, r.b8);
        else
            n2d_fb_clear_i8(&p.fb, static_cast<uint8_t>(r.pixel));
        for (size_t i = 0; i < p.bytes.size(); i++) {
            size_t col = i % static_cast<size_t>(r.row_bytes);
            uint8_t want = r.format == 2 ? static_cast<uint8_t>(col & 1 ? r.pixel >> 8 : r.pixel & 0xFF)
                                         : static_cast<uint8_t>(r.pixel);
            ASSERT_EQ(p.bytes[i], want) << "format " << r.format << " row bytes " << r.row_bytes << " byte " << i;
        }
    }
    expect_exit(
        "rgb clear of format 1",
        [] {
            plane p(1, 8, 1, 8);
            n2d_fb_clear_rgb(&p.fb, 1, 2, 3);
        },
        "", "not implemented\n");
    expect_exit(
        "i8 clear of format 2",
        [] {
            plane p(2, 8, 1, 16);
            n2d_fb_clear_i8(&p.fb, 1);
        },
        "", "not implemented\n");
}

TEST(N2dCopy, CopyFbCopiesWholeRowsOrStops)
{
    std::mt19937 gen(3);
    plane a(3, 640, 4, 640), b(3, 640, 4, 640);
    random_bytes(gen, &a.bytes);
    n2d_copy_fb(&b.fb, &a.fb);
    EXPECT_EQ(a.bytes, b.bytes);

    expect_exit(
        "row bytes not a multiple of 8",
        [] {
            plane s(3, 640, 2, 644), d(3, 640, 2, 644);
            n2d_copy_fb(&d.fb, &s.fb);
        },
        "", "rowbytes must be aligned to 8 bytes dst_fb row_bytes 644 src_fb row_bytes: 644\n");
    expect_exit(
        "different sizes",
        [] {
            plane s(3, 640, 2, 640), d(2, 320, 2, 640);
            n2d_copy_fb(&d.fb, &s.fb);
        },
        "", "dst_fb and src_fb must have same format, w and h. src: 3 640 2 vs dst 2 320 2\n");
    expect_exit(
        "different row bytes",
        [] {
            plane s(3, 64, 2, 64), d(3, 64, 2, 72);
            n2d_copy_fb(&d.fb, &s.fb);
        },
        "", "rowbytes must be the same for dst and src, src: 64 dst: 72\n");
}

TEST(N2dRectFill, DrawRectI8MatchesReferenceAndClips)
{
    std::mt19937 gen(4);
    for (int i = 0; i < 3000; i++) {
        plane p(3, 37, 9, 40);
        random_bytes(gen, &p.bytes);
        int x0 = static_cast<int>(gen() % 60) - 10, x1 = static_cast<int>(gen() % 60) - 10;
        int y0 = static_cast<int>(gen() % 16) - 4, y1 = static_cast<int>(gen() % 16) - 4;
        std::vector<uint8_t> want = p.bytes;
        for (int y = std::max(y0, 0); y < std::min(y1, 9); y++)
            for (int x = std::max(x0, 0); x < std::min(x1, 37); x++)
                want[y * 40 + x] = 0xC3;
        n2d_fb_draw_rect_i8(&p.fb, 0xC3, x0, y0, x1, y1);
        ASSERT_EQ(p.bytes, want) << x0 << "," << y0 << " " << x1 << "," << y1;
    }
}

TEST(N2dBlit, BufferIndex8CopiesExactlyTheClippedRows)
{
    std::mt19937 gen(5);
    for (int i = 0; i < 3000; i++) {
        const int SW = 50, SH = 30, SRB = 52;  // source buffer 50x30 in 52-byte rows
        std::vector<uint8_t> src(static_cast<size_t>(SRB) * SH);
        random_bytes(gen, &src);
        plane dst(3, 41, 17, 44);
        random_bytes(gen, &dst.bytes);
        n3d_frame_context fc = {0, &dst.fb, nullptr, nullptr, nullptr};
        // Source rectangle inside the buffer, destination anywhere around the plane.
        int sx0 = static_cast<int>(gen() % 20), sy0 = static_cast<int>(gen() % 10);
        int sw = static_cast<int>(gen() % (SW - sx0 + 1)), sh = static_cast<int>(gen() % (SH - sy0 + 1));
        int dx0 = static_cast<int>(gen() % 70) - 20, dy0 = static_cast<int>(gen() % 40) - 12;
        int dw = static_cast<int>(gen() % 60), dh = static_cast<int>(gen() % 40);
        int off = static_cast<int>(gen() % 8), amount = gen() % 3 ? 1000 : static_cast<int>(gen() % 10);
        std::vector<uint8_t> want = dst.bytes;
        int vx0 = std::max(dx0, 0), vy0 = std::max(dy0, 0);
        int vx1 = std::min(dx0 + dw, 41), vy1 = std::min(dy0 + dh, 17);
        for (int y = vy0 + off; y < vy1 && y < vy0 + off + amount; y++)
            for (int x = vx0; x < vx1; x++) {
                int sx = sx0 + (x - dx0), sy = sy0 + (y - dy0);
                if (sx < sx0 + sw && sy < sy0 + sh)  // never outside the source rectangle
                    want[y * 44 + x] = src[sy * SRB + sx];
            }
        n2d_blit_buffer_index8(&fc, src.data(), SRB, dx0, dy0, dx0 + dw, dy0 + dh, sx0, sy0, sx0 + sw, sy0 + sh, off,
                               amount);
        ASSERT_EQ(dst.bytes, want) << i;
    }
    // Far-off rectangles and work offsets at the end of the int range copy nothing.
    {
        const struct {
            int dx0, dy0, dx1, dy1, off, amount;
        } far[] = {
            {0, -100, 10, -50, INT_MAX, 10},  // above the plane, offset at the top of the range
            {0, INT_MIN, 10, INT_MIN + 5, INT_MAX, INT_MAX},
            {0, 0, 10, 17, INT_MAX, INT_MAX},  // offset past every visible row
        };
        std::vector<uint8_t> src(64 * 64, 7);
        for (const auto& f : far) {
            plane d(3, 41, 17, 44);
            const std::vector<uint8_t> before = d.bytes;
            n3d_frame_context fc = {0, &d.fb, nullptr, nullptr, nullptr};
            n2d_blit_buffer_index8(&fc, src.data(), 64, f.dx0, f.dy0, f.dx1, f.dy1, 0, 0, 64, 64, f.off, f.amount);
            EXPECT_EQ(d.bytes, before) << f.dy0 << " " << f.off;
        }
    }
    expect_exit(
        "row bytes not a multiple of 4",
        [] {
            plane d(3, 8, 2, 8);
            n3d_frame_context fc = {0, &d.fb, nullptr, nullptr, nullptr};
            uint8_t s[64] = {};
            n2d_blit_buffer_index8(&fc, s, 6, 0, 0, 4, 2, 0, 0, 4, 2, 0, 2);
        },
        "", "fc row bytes and src row bytes must be multiple of 4 bytes, is: 8 6 respectively\n");
    expect_exit(
        "16-bit plane",
        [] {
            plane d(2, 8, 2, 16);
            n3d_frame_context fc = {0, &d.fb, nullptr, nullptr, nullptr};
            uint8_t s[64] = {};
            n2d_blit_buffer_index8(&fc, s, 8, 0, 0, 4, 2, 0, 0, 4, 2, 0, 2);
        },
        "", "format 2 not implemented/supported?\n");
}

namespace {

// A hand-built format-3 texture 64x32 with every mip level from u_down 0..4 and
// v_down 0..3 (or only the chain down to min levels); texel values name the level.
struct test_texture {
    n3d_texture t;
    std::vector<std::vector<uint8_t>> levels;
    std::vector<uint8_t*> mips;
    test_texture(int not_swizzled, int min_u, int min_v)
    {
        memset(&t, 0, sizeof t);
        t.format = 3;
        t.not_swizzled = not_swizzled;
        t.w_log2 = 6;
        t.h_log2 = 5;
        t.min_u_level = min_u;
        t.min_v_level = min_v;
        mips.assign(static_cast<size_t>(((5 - min_v) << 7 | (6 - min_u)) + 1), nullptr);
        for (int lv = 0; lv <= 5 - min_v; lv++)
            for (int lu = 0; lu <= 6 - min_u; lu++) {
                const int lw = 64 >> lu, lh = 32 >> lv;
                std::vector<uint8_t> level(not_swizzled ? static_cast<size_t>(lw * lh)
                                                        : n3d_swizzle_size_8bpp(lw - 1, lh - 1));
                for (int v = 0; v < lh; v++)
                    for (int u = 0; u < lw; u++)
                        level[offset(lu, u, v)] = texel(lu, lv, u, v);
                levels.push_back(std::move(level));
                mips[static_cast<size_t>(N3D_MIP_INDEX(lu, lv))] = levels.back().data();
            }
        t.mips = mips.data();
    }
    size_t offset(int lu, int u, int v) const
    {
        return t.not_swizzled ? static_cast<size_t>((v << (6 - lu)) | u) : n3d_swizzle_offset_8bpp(u, v);
    }
    static uint8_t texel(int lu, int lv, int u, int v)
    {
        return static_cast<uint8_t>(lu * 50 + lv * 10 + ((u + 3 * v) % 9));
    }
};

}  // namespace

TEST(N2dBlit, TextureScaledPicksLevelsSkipsTheKeyAndMarksCoverage)
{
    struct {
        int not_swizzled, min_u, min_v;
        float dx0, dy0, dx1, dy1, sx0, sy0, sx1, sy1;
        int lu, lv;  // level expected
        int su, sv;  // source texels per destination pixel in level-0 units
        const char* why;
    } rows[] = {
        {0, 2, 2, 10, 5, 74, 37, 0, 0, 64, 32, 0, 0, 1, 1, "1:1 swizzled"},
        {1, 2, 2, 10, 5, 74, 37, 0, 0, 64, 32, 0, 0, 1, 1, "1:1 row by row"},
        {0, 2, 2, 3, 2, 35, 18, 0, 0, 64, 32, 1, 1, 2, 2, "halved: level (1, 1)"},
        {1, 2, 2, 0, 0, 16, 32, 0, 0, 64, 32, 2, 0, 4, 1, "quarter width only"},
        {0, 2, 2, 0, 0, 4, 2, 0, 0, 64, 32, 4, 3, 16, 16, "steps of 16 capped at the chain's end (4, 3)"},
        {0, 3, 3, 0, 0, 4, 2, 0, 0, 64, 32, 3, 2, 16, 16, "chain to 8 texels: cap 6 - 3 and 5 - 3"},
        {1, 6, 5, 0, 0, 16, 8, 0, 0, 64, 32, 0, 0, 4, 4, "no mips: level 0 with steps of 4"},
        {0, 2, 2, -5, -3, 59, 29, 0, 0, 64, 32, 0, 0, 1, 1, "left and top clipped: source advanced"},
    };
    for (const auto& r : rows) {
        test_texture tex(r.not_swizzled, r.min_u, r.min_v);
        const int W = 80, H = 40;
        plane dst(3, W, H, W);
        std::fill(dst.bytes.begin(), dst.bytes.end(), 0xFF);
        mask cb(96, H);
        n3d_frame_context fc = {0, &dst.fb, nullptr, &cb.cb, nullptr};
        const int key = r.lu * 50 + r.lv * 10 + 3;  // a value of the chosen level, skipped
        n2d_blit_texture_scaled_except_srcmask(&fc, &tex.t, r.dx0, r.dy0, r.dx1, r.dy1, r.sx0, r.sy0, r.sx1, r.sy1,
                                               key);
        const int x0 = static_cast<int>(std::ceil(r.dx0)), y0 = static_cast<int>(std::ceil(r.dy0));
        const int x1 = static_cast<int>(std::ceil(r.dx1)), y1 = static_cast<int>(std::ceil(r.dy1));
        int drawn = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                int want = 0xFF;
                if (x >= std::max(x0, 0) && x < std::min(x1, W) && y >= std::max(y0, 0) && y < std::min(y1, H)) {
                    int u = ((x - x0) * r.su) >> r.lu, v = ((y - y0) * r.sv) >> r.lv;
                    int t = test_texture::texel(r.lu, r.lv, u, v);
                    if (t != key)
                        want = t;
                }
                ASSERT_EQ(dst.bytes[y * W + x], want) << r.why << " at " << x << "," << y;
                ASSERT_EQ(cb.get(x, y), want != 0xFF) << r.why << " coverage at " << x << "," << y;
                drawn += want != 0xFF;
            }
        EXPECT_GT(drawn, 0) << r.why;
    }
}

TEST(N2dBlit, TextureScaledRefusesOrDrawsNothing)
{
    test_texture tex(0, 2, 2);
    plane dst(3, 32, 8, 32);
    mask cb(32, 8);
    n3d_frame_context fc = {0, &dst.fb, nullptr, &cb.cb, nullptr};
    struct {
        float dx0, dy0, dx1, dy1;
    } empty[] = {{5, 5, 5, 9}, {5, 5, 9, 5}, {9, 2, 5, 6}, {0, 6, 8, 2}, {-20, 0, -1, 8}, {40, 0, 50, 8}};
    for (const auto& e : empty) {
        n2d_blit_texture_scaled_except_srcmask(&fc, &tex.t, e.dx0, e.dy0, e.dx1, e.dy1, 0, 0, 64, 32, -1);
        for (uint8_t b : dst.bytes)
            ASSERT_EQ(b, 0) << e.dx0 << " " << e.dx1;
    }
    expect_exit(
        "no coverage buffer",
        [&] {
            n3d_frame_context no_cb = {0, &dst.fb, nullptr, nullptr, nullptr};
            n2d_blit_texture_scaled_except_srcmask(&no_cb, &tex.t, 0, 0, 8, 8, 0, 0, 64, 32, -1);
        },
        "dst: frame context has no coverage buffer\n", "");
    expect_exit(
        "16-bit plane",
        [&] {
            plane d16(2, 8, 8, 16);
            n3d_frame_context c = {0, &d16.fb, nullptr, &cb.cb, nullptr};
            n2d_blit_texture_scaled_except_srcmask(&c, &tex.t, 0, 0, 8, 8, 0, 0, 64, 32, -1);
        },
        "dst: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n", "");
    expect_exit(
        "16-bit texture",
        [&] {
            test_texture t2(0, 2, 2);
            t2.t.format = 2;
            n2d_blit_texture_scaled_except_srcmask(&fc, &t2.t, 0, 0, 8, 8, 0, 0, 64, 32, -1);
        },
        "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n", "");
}

TEST(N2dShow, ShowCbPaintsFourClasses)
{
    mask a(64, 3), b(64, 3);
    a.put(0, 0, 1);
    b.put(0, 0, 1);
    a.put(1, 0, 1);
    b.put(2, 0, 1);
    plane p(3, 40, 2, 41);  // smaller than the masks
    std::fill(p.bytes.begin(), p.bytes.end(), 0x77);
    n2d_show_cb(&p.fb, &a.cb, 1, &b.cb, 2, 3, 4);
    EXPECT_EQ(p.bytes[0], 3);
    EXPECT_EQ(p.bytes[1], 1);
    EXPECT_EQ(p.bytes[2], 2);
    EXPECT_EQ(p.bytes[3], 4);
    EXPECT_EQ(p.bytes[39], 4);
    EXPECT_EQ(p.bytes[40], 0x77);  // row padding
    EXPECT_EQ(p.bytes[41 + 39], 4);
    // A smaller cb1 is read only inside itself: beyond it only cb0 counts, and
    // every pixel of cb0 inside the plane is painted.
    mask c0(64, 3), small(32, 1);
    c0.put(33, 0, 1);
    c0.put(5, 2, 1);
    small.put(3, 0, 1);
    plane q(3, 64, 3, 64);
    std::fill(q.bytes.begin(), q.bytes.end(), 0x77);
    n2d_show_cb(&q.fb, &c0.cb, 1, &small.cb, 2, 3, 4);
    EXPECT_EQ(q.bytes[3], 2);
    EXPECT_EQ(q.bytes[33], 1);
    EXPECT_EQ(q.bytes[63], 4);
    EXPECT_EQ(q.bytes[2 * 64 + 5], 1);
    EXPECT_EQ(q.bytes[2 * 64 + 63], 4);
}

TEST(N2dCoverage, EqCb1AndTextureBetweenMatchesReference)
{
    std::mt19937 gen(8);
    // A row-by-row texture 128x16, masks 96x12: the texture may be larger.
    std::vector<uint8_t> texels(128 * 16);
    uint8_t* mip0 = texels.data();
    n3d_texture t;
    memset(&t, 0, sizeof t);
    t.format = 3;
    t.not_swizzled = 1;
    t.w_log2 = 7;
    t.h_log2 = 4;
    t.mips = &mip0;
    struct {
        int a, b, density, ws, wh;
    } rows[] = {{1, 255, 50, 0, 100}, {10, 20, 90, 0, 12}, {0, 255, 100, 3, 4}, {50, 40, 70, -2, 5}, {0, 0, 0, 0, 12}};
    for (const auto& r : rows) {
        random_bytes(gen, &texels);
        for (int i = 0; i < 128 * 16; i += 3)
            texels[static_cast<size_t>(i)] = 0;
        mask cb0(96, 12), cb1(96, 12);
        random_mask(gen, &cb0, 50);
        random_mask(gen, &cb1, r.density);
        mask want = cb0;
        for (int y = std::max(r.ws, 0); y < std::min(12, r.ws + r.wh); y++)
            for (int x = 0; x < 96; x++) {
                int tx = texels[static_cast<size_t>(y * 128 + x)];
                want.put(x, y, cb1.get(x, y) && r.a <= tx && tx <= r.b);
            }
        n2d_cb_eq_cb1_and_texture_between(&cb0.cb, &cb1.cb, &t, r.a, r.b, r.ws, r.wh);
        ASSERT_EQ(cb0.words, want.words) << r.a << " " << r.b << " window " << r.ws << "+" << r.wh;
    }
    expect_exit(
        "texture narrower than the masks",
        [&] {
            mask c0(96, 12), c1(96, 12);
            n3d_texture small = t;
            small.w_log2 = 6;
            n2d_cb_eq_cb1_and_texture_between(&c0.cb, &c1.cb, &small, 0, 255, 0, 12);
        },
        "texture must be at least as large as the masks (2^6 2^4 vs 96 12)\n", "");
    expect_exit(
        "masks differ",
        [&] {
            mask c0(96, 12), c1(64, 12);
            n2d_cb_eq_cb1_and_texture_between(&c0.cb, &c1.cb, &t, 0, 255, 0, 12);
        },
        "cb0 width and height must equal cb1! (96 12 vs 64 12)\n", "");
    expect_exit(
        "swizzled texture",
        [&] {
            mask c0(96, 12), c1(96, 12);
            n3d_texture sw = t;
            sw.not_swizzled = 0;
            n2d_cb_eq_cb1_and_texture_between(&c0.cb, &c1.cb, &sw, 0, 255, 0, 12);
        },
        "swizzled texture not implemented\n", "");
    expect_exit(
        "16-bit texture",
        [&] {
            mask c0(96, 12), c1(96, 12);
            n3d_texture t16 = t;
            t16.format = 2;
            n2d_cb_eq_cb1_and_texture_between(&c0.cb, &c1.cb, &t16, 0, 255, 0, 12);
        },
        "texture: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported\n", "");
}

// or-not and copy of a placed mask against a per-pixel reference; destination
// bits outside the placed source stay as they were.
TEST(N2dCoverage, OrNotAndCopyOfPlacedMasksMatchReference)
{
    std::mt19937 gen(9);
    for (int copy = 0; copy < 2; copy++)
        for (int i = 0; i < 4000; i++) {
            mask dst(128, 20), src(64, 9);
            random_mask(gen, &dst, 50);
            random_mask(gen, &src, static_cast<int>(gen() % 101));
            int x0 = static_cast<int>(gen() % 220) - 80, y0 = static_cast<int>(gen() % 40) - 12;
            int ws = static_cast<int>(gen() % 26) - 3, wh = static_cast<int>(gen() % 26);
            mask want = dst;
            for (int y = 0; y < 20; y++)
                for (int x = 0; x < 128; x++) {
                    int sx = x - x0, sy = y - y0;
                    if (y < ws || y >= ws + wh || sx < 0 || sy < 0 || sx >= 64 || sy >= 9)
                        continue;
                    if (copy)
                        want.put(x, y, src.get(sx, sy));
                    else if (!src.get(sx, sy))
                        want.put(x, y, 1);
                }
            if (copy)
                n2d_cb_copy(&dst.cb, x0, y0, &src.cb, ws, wh);
            else
                n2d_cb_or_not_cb1(&dst.cb, x0, y0, &src.cb, ws, wh);
            ASSERT_EQ(dst.words, want.words)
                << (copy ? "copy" : "or-not") << " at " << x0 << "," << y0 << " window " << ws << "+" << wh;
        }
}

// Production sizes on both bodies (SSE2 and, where the processor has it, the
// wide one): masks as wide as the page placed less than a word from column 0
// (their rows walked as one run), further off, and the texture test over
// 640-column rows, against the per-pixel rules.
TEST(N2dCoverage, ProductionSizesMatchReferenceOnBothBodies)
{
    std::mt19937 gen(10);
    for (bool wide : {false, true}) {
        cpu_level_set(wide ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2);
        for (int copy = 0; copy < 2; copy++)
            for (int x0 : {0, 5, 31, -1, -5, -31, 32, -32, 37, -300})
                for (int y0 : {0, -3, 4})
                    for (int density : {0, 50, 100}) {
                        const int W = 640, H = 30;
                        mask dst(W, H), src(W, 20 + static_cast<int>(gen() % 3) * 5);
                        random_mask(gen, &dst, 50);
                        random_mask(gen, &src, density);
                        const int ws = gen() % 3 == 0 ? static_cast<int>(gen() % 10) : 0;
                        const int wh = gen() % 3 == 0 ? static_cast<int>(gen() % 30) : 100;
                        mask want = dst;
                        for (int y = 0; y < H; y++)
                            for (int x = 0; x < W; x++) {
                                const int sx = x - x0, sy = y - y0;
                                if (y < ws || y >= ws + wh || sx < 0 || sy < 0 || sx >= src.cb.w || sy >= src.cb.h)
                                    continue;
                                if (copy)
                                    want.put(x, y, src.get(sx, sy));
                                else if (!src.get(sx, sy))
                                    want.put(x, y, 1);
                            }
                        if (copy)
                            n2d_cb_copy(&dst.cb, x0, y0, &src.cb, ws, wh);
                        else
                            n2d_cb_or_not_cb1(&dst.cb, x0, y0, &src.cb, ws, wh);
                        ASSERT_EQ(dst.words, want.words) << (copy ? "copy" : "or-not") << " at " << x0 << "," << y0
                                                         << " window " << ws << "+" << wh << " wide " << wide;
                    }
        // Taller masks: the rows walked as one run in stretches, the last
        // stretch a single row or several.
        for (int copy = 0; copy < 2; copy++)
            for (int h : {65, 129, 150})
                for (int x0 : {0, 5, -5}) {
                    mask dst(96, h), src(96, h);
                    random_mask(gen, &dst, 50);
                    random_mask(gen, &src, 50);
                    mask want = dst;
                    for (int y = 0; y < h; y++)
                        for (int x = 0; x < 96; x++) {
                            const int sx = x - x0;
                            if (sx < 0 || sx >= 96)
                                continue;
                            if (copy)
                                want.put(x, y, src.get(sx, y));
                            else if (!src.get(sx, y))
                                want.put(x, y, 1);
                        }
                    if (copy)
                        n2d_cb_copy(&dst.cb, x0, 0, &src.cb, 0, h);
                    else
                        n2d_cb_or_not_cb1(&dst.cb, x0, 0, &src.cb, 0, h);
                    ASSERT_EQ(dst.words, want.words)
                        << (copy ? "copy" : "or-not") << " height " << h << " at " << x0 << " wide " << wide;
                }
        // One-word rows, one row of them at a time and several.
        for (int x0 : {0, 7, -7})
            for (int h : {1, 2, 3, 70}) {
                mask dst(32, h), src(32, h);
                random_mask(gen, &dst, 50);
                random_mask(gen, &src, 50);
                mask want = dst;
                for (int y = 0; y < h; y++)
                    for (int x = 0; x < 32; x++)
                        if (x - x0 >= 0 && x - x0 < 32 && !src.get(x - x0, y))
                            want.put(x, y, 1);
                n2d_cb_or_not_cb1(&dst.cb, x0, 0, &src.cb, 0, h);
                ASSERT_EQ(dst.words, want.words) << "one-word rows at " << x0 << " height " << h << " wide " << wide;
            }
        // The texture test over 640-column rows of every density, thresholds
        // inside, across and outside the byte range.
        std::vector<uint8_t> texels(1024 * 32);
        uint8_t* mip0 = texels.data();
        n3d_texture t;
        memset(&t, 0, sizeof t);
        t.format = 3;
        t.not_swizzled = 1;
        t.w_log2 = 10;
        t.h_log2 = 5;
        t.mips = &mip0;
        const int thresholds[][2] = {{1, 200}, {0, 255}, {-5, 3}, {250, 300}, {9, 9}, {40, 20}, {-10, -1}};
        for (const auto& th : thresholds)
            for (int density : {0, 50, 100}) {
                for (auto& b : texels)
                    b = static_cast<uint8_t>(gen());
                mask cb0(640, 30), cb1(640, 30);
                random_mask(gen, &cb0, 50);
                random_mask(gen, &cb1, density);
                mask want = cb0;
                for (int y = 0; y < 30; y++)
                    for (int x = 0; x < 640; x++) {
                        const int tx = texels[static_cast<size_t>(y * 1024 + x)];
                        want.put(x, y, cb1.get(x, y) && th[0] <= tx && tx <= th[1]);
                    }
                n2d_cb_eq_cb1_and_texture_between(&cb0.cb, &cb1.cb, &t, th[0], th[1], 0, 30);
                ASSERT_EQ(cb0.words, want.words) << th[0] << " " << th[1] << " density " << density << " wide " << wide;
            }
    }
    cpu_level_set(cpu_level_default());
}

TEST(N2dCoverage, ClearZeroesTheWords)
{
    mask m(96, 5);
    std::fill(m.words.begin(), m.words.end(), 0xFFFFFFFFu);
    n2d_cb_clear(&m.cb);
    for (uint32_t w : m.words)
        ASSERT_EQ(w, 0u);
}
