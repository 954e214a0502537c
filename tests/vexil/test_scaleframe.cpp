// Scaled frames: pixels, mip choice, clipping, interlace and coverage of
// vexil_scaleframe against a plain per-pixel reference and hand-computed cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/n3d_convert.h"
#include "image/texel.h"
#include "support/capture.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_scaleframe.h"

namespace {

constexpr int W = 64, H = 16, ROW_BYTES = 72;  // row padding must stay untouched
constexpr uint8_t BG = 0xEE;

// A 16x8 index8 texture with its whole two-dimensional mip chain (down to 4x4).
// Level (ud, vd) texel (x, y) = base_value(ud, vd, x, y).
struct tex_fixture {
    n3d_texture tex{};
    std::vector<std::vector<uint8_t>> levels;
    std::vector<uint8_t*> mips;
    explicit tex_fixture(int w_log2 = 4, int h_log2 = 3, int with_mips = 1)
    {
        tex.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        tex.not_swizzled = 1;
        tex.w_log2 = w_log2;
        tex.h_log2 = h_log2;
        tex.min_u_level = with_mips ? 2 : w_log2;
        tex.min_v_level = with_mips ? 2 : h_log2;
        mips.assign((size_t)N3D_MIP_INDEX(w_log2 - tex.min_u_level, h_log2 - tex.min_v_level) + 1, nullptr);
        for (int ud = 0; ud <= w_log2 - tex.min_u_level; ud++)
            for (int vd = 0; vd <= h_log2 - tex.min_v_level; vd++) {
                int lw = 1 << (w_log2 - ud), lh = 1 << (h_log2 - vd);
                levels.emplace_back((size_t)lw * lh);
                auto& l = levels.back();
                for (int y = 0; y < lh; y++)
                    for (int x = 0; x < lw; x++)
                        l[(size_t)y * lw + x] = value(ud, vd, x, y);
                mips[N3D_MIP_INDEX(ud, vd)] = l.data();
            }
        tex.mips = mips.data();
    }
    static uint8_t value(int ud, int vd, int x, int y)
    {
        if (ud == 0 && vd == 0)
            return (uint8_t)(1 + y * 16 + x);  // 1..128 on the base level
        return (uint8_t)(150 + ud * 20 + vd * 5 + ((x + y) & 1));
    }
};

struct target {
    std::vector<uint8_t> pixels = std::vector<uint8_t>((size_t)ROW_BYTES * H, BG);
    std::vector<uint32_t> cover = std::vector<uint32_t>((size_t)W / 32 * H, 0);
    n3d_framebuffer fb{};
    n3d_coveragebuffer cb{};
    n3d_frame_context fc{};
    target()
    {
        fb.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        fb.w = W;
        fb.h = H;
        fb.row_bytes = ROW_BYTES;
        fb.b = pixels.data();
        cb.u32 = cover.data();
        cb.w = W;
        cb.h = H;
        fc.fb = &fb;
        fc.cb = &cb;
    }
    uint8_t px(int x, int y) const { return pixels[(size_t)y * ROW_BYTES + x]; }
    int covered(int x, int y) const { return (cover[(size_t)(y * W + x) / 32] >> (31 - (x & 31))) & 1; }
};

struct call {
    float dx0, dy0, dx1, dy1, sx0, sy0, sx1, sy1;
    int interlaced, odd, work_start_y, work_height;
};

// The algorithm written plainly: per pixel, one byte at a time, one coverage bit at a time.
void reference(target& t, const n3d_texture& tex, call c)
{
    float du = (c.sx1 - c.sx0) / (c.dx1 - c.dx0), dv = (c.sy1 - c.sy0) / (c.dy1 - c.dy0);
    float x = ceilf(c.dx0), u = (x - c.dx0) * du + c.sx0;
    float y = ceilf(c.dy0), v = (y - c.dy0) * dv + c.sy0;
    if (c.dx1 < 0 || c.dy1 < 0 || x >= W || y >= H)
        return;
    if (x < 0) {
        u += -x * du;
        x = 0;
    }
    if (y < 0) {
        v += -y * dv;
        y = 0;
    }
    float x1 = c.dx1 > W ? (float)W : c.dx1, y1 = c.dy1 > H ? (float)H : c.dy1;
    uint32_t ufp = (uint32_t)(int)roundf(u * 65536), vfp = (uint32_t)(int)roundf(v * 65536);
    uint32_t dufp = (uint32_t)(int)roundf(du * 65536), dvfp = (uint32_t)(int)roundf(dv * 65536);
    auto mip = [](uint32_t step, int max) {
        int m = 0;
        for (uint32_t whole = step >> 16; whole > 1; whole >>= 1)
            m++;
        return m < max ? m : max;
    };
    int um = mip(dufp, tex.w_log2 - tex.min_u_level), vm = mip(dvfp, tex.h_log2 - tex.min_v_level);
    ufp >>= um;
    dufp >>= um;
    vfp >>= vm;
    dvfp >>= vm;
    const uint8_t* level = tex.mips[N3D_MIP_INDEX(um, vm)];
    int lw = 1 << (tex.w_log2 - um);
    int ys = std::max(c.work_start_y, (int)y), ye = std::min(c.work_start_y + c.work_height, (int)y1);
    vfp += (uint32_t)(ys - (int)y) * dvfp;
    for (int row = ys; row < ye; row++, vfp += dvfp)
        for (int col = (int)x, k = 0; col < (int)x1; col++, k++) {
            if (!(c.interlaced && (row & 1) == c.odd))
                t.pixels[(size_t)row * ROW_BYTES + col] = level[(vfp >> 16) * lw + ((ufp + k * dufp) >> 16)];
            t.cover[(size_t)(row * W + col) / 32] |= 0x80000000u >> (col & 31);
        }
}

void run(target& t, tex_fixture& f, call c)
{
    vexil_scaleframe(&t.fc, &f.tex, c.dx0, c.dy0, c.dx1, c.dy1, c.sx0, c.sy0, c.sx1, c.sy1, c.interlaced, c.odd,
                     c.work_start_y, c.work_height);
}

}  // namespace

// Every store width and alignment, fractional edges, clipping on all sides, the
// row window and interlace: the result must equal the plain reference bit for bit.
TEST(Scaleframe, MatchesPlainReference)
{
    const call cases[] = {
        {0, 0, 16, 8, 0, 0, 16, 8, 0, 0, 0, H},                // 1:1
        {3, 1, 19, 9, 0, 0, 16, 8, 0, 0, 0, H},                // 1:1 at an odd address
        {0, 0, 64, 16, 0, 0, 16, 8, 0, 0, 0, H},               // magnify x4 / x2
        {1.5f, 0.25f, 30.7f, 13.2f, 0, 0, 16, 8, 0, 0, 0, H},  // fractional edges
        {-10, -3, 20, 12, 0, 0, 16, 8, 0, 0, 0, H},            // clipped left and top
        {50, 10, 90, 30, 0, 0, 16, 8, 0, 0, 0, H},             // clipped right and bottom
        {0, 0, 4, 2, 0, 0, 16, 8, 0, 0, 0, H},                 // shrink by 4: mip level 2 / 2 steps in v limited to 1
        {5, 3, 13, 7, 0, 0, 16, 8, 0, 0, 0, H},                // shrink by 2
        {2, 0, 33, 16, 4, 2, 12, 6, 0, 0, 0, H},               // a source window
        {0, 0, 64, 16, 0, 0, 16, 8, 1, 0, 0, H},               // interlaced, odd rows drawn
        {0, 0, 64, 16, 0, 0, 16, 8, 1, 1, 0, H},               // interlaced, even rows drawn
        {0, 0, 64, 16, 0, 0, 16, 8, 0, 0, 5, 6},               // row window 5..10
        {7, 2, 8, 3, 0, 0, 16, 8, 0, 0, 0, H},                 // a single pixel
    };
    for (int width = 1; width <= 21; width++)
        for (int x0 = 0; x0 < 8; x0++) {
            tex_fixture f;
            target got, want;
            call c = {(float)x0, 0, (float)(x0 + width), 3, 0, 0, 16, 8, 0, 0, 0, H};
            run(got, f, c);
            reference(want, f.tex, c);
            ASSERT_EQ(got.pixels, want.pixels) << "width " << width << " x0 " << x0;
            ASSERT_EQ(got.cover, want.cover) << "width " << width << " x0 " << x0;
        }
    for (const call& c : cases) {
        tex_fixture f;
        target got, want;
        run(got, f, c);
        reference(want, f.tex, c);
        EXPECT_EQ(got.pixels, want.pixels) << c.dx0 << "," << c.dy0 << " - " << c.dx1 << "," << c.dy1;
        EXPECT_EQ(got.cover, want.cover) << c.dx0 << "," << c.dy0 << " - " << c.dx1 << "," << c.dy1;
    }
}

// Hand-computed results of the cases that matter most.
TEST(Scaleframe, HandComputedCases)
{
    {  // 1:1 copies the base level and covers exactly the rectangle
        tex_fixture f;
        target t;
        run(t, f, {8, 4, 24, 12, 0, 0, 16, 8, 0, 0, 0, H});
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                bool in = x >= 8 && x < 24 && y >= 4 && y < 12;
                EXPECT_EQ(t.px(x, y), in ? tex_fixture::value(0, 0, x - 8, y - 4) : BG) << x << "," << y;
                EXPECT_EQ(t.covered(x, y), in ? 1 : 0) << x << "," << y;
            }
        for (int y = 0; y < H; y++)
            for (int x = W; x < ROW_BYTES; x++)
                EXPECT_EQ(t.pixels[(size_t)y * ROW_BYTES + x], BG);
    }
    {  // magnify by 2: every texel twice in both directions
        tex_fixture f;
        target t;
        run(t, f, {0, 0, 32, 16, 0, 0, 16, 8, 0, 0, 0, H});
        for (int y = 0; y < 16; y++)
            for (int x = 0; x < 32; x++)
                EXPECT_EQ(t.px(x, y), tex_fixture::value(0, 0, x / 2, y / 2));
    }
    {  // shrink by 4 in u (du = 4.0) reads u level 2; dv = 2 reads v level 1
        tex_fixture f;
        target t;
        run(t, f, {0, 0, 4, 4, 0, 0, 16, 8, 0, 0, 0, H});
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 4; x++)
                EXPECT_EQ(t.px(x, y), tex_fixture::value(2, 1, x, y)) << x << "," << y;
    }
    {  // without a mip chain a shrink still reads the base level
        tex_fixture f(4, 3, 0);
        target t;
        run(t, f, {0, 0, 4, 2, 0, 0, 16, 8, 0, 0, 0, H});
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(t.px(x, 0), tex_fixture::value(0, 0, 4 * x, 0));
    }
    {  // partly left of the target: clipped, the source start moves along
        tex_fixture f;
        target t;
        run(t, f, {-5, 0, 11, 8, 0, 0, 16, 8, 0, 0, 0, H});
        for (int x = 0; x < 11; x++)
            EXPECT_EQ(t.px(x, 0), tex_fixture::value(0, 0, x + 5, 0));
        EXPECT_EQ(t.px(11, 0), BG);
    }
    {  // interlaced with odd 0: only odd rows drawn, every row covered
        tex_fixture f;
        target t;
        run(t, f, {0, 0, 16, 8, 0, 0, 16, 8, 1, 0, 0, H});
        for (int y = 0; y < 8; y++) {
            EXPECT_EQ(t.px(3, y), (y & 1) ? tex_fixture::value(0, 0, 3, y) : BG) << y;
            EXPECT_EQ(t.covered(3, y), 1) << y;
        }
    }
}

// Nothing drawn and nothing covered: wholly left, above, right or below the
// target, and a destination of zero or negative size.
TEST(Scaleframe, EmptyCases)
{
    const call cases[] = {
        {-20, 0, -1, 8, 0, 0, 16, 8, 0, 0, 0, H}, {0, -20, 16, -2, 0, 0, 16, 8, 0, 0, 0, H},
        {64, 0, 80, 8, 0, 0, 16, 8, 0, 0, 0, H},  {0, 16, 16, 30, 0, 0, 16, 8, 0, 0, 0, H},
        {10, 0, 10, 8, 0, 0, 16, 8, 0, 0, 0, H},  // zero width
        {0, 5, 16, 5, 0, 0, 16, 8, 0, 0, 0, H},   // zero height
        {20, 0, 10, 8, 0, 0, 16, 8, 0, 0, 0, H},  // reversed destination
        {0, 0, 16, 8, 0, 0, 16, 8, 0, 0, 16, 4},  // row window below the target
    };
    for (const call& c : cases) {
        tex_fixture f;
        target t, untouched;
        run(t, f, c);
        EXPECT_EQ(t.pixels, untouched.pixels) << c.dx0 << "," << c.dy0 << " - " << c.dx1 << "," << c.dy1;
        EXPECT_EQ(t.cover, untouched.cover) << c.dx0 << "," << c.dy0 << " - " << c.dx1 << "," << c.dy1;
    }
}

// Source reads stay inside the level even when 16.16 rounding steps past its
// last texel: a sliver of the last column and row whose steps are 1.5 / 65536
// (rounded up to 2) reaches u = 16 at the 49th pixel and v = 8 at the 13th row.
TEST(Scaleframe, ReadsStayInsideTheLevel)
{
    tex_fixture f;
    target t;
    run(t, f, {0, 0, 64, 16, 16.0f - 96.0f / 65536.0f, 8.0f - 24.0f / 65536.0f, 16, 8, 0, 0, 0, H});
    for (int x = 0; x < W; x++)
        EXPECT_EQ(t.px(x, 15), tex_fixture::value(0, 0, 15, 7));
}

TEST(Scaleframe, RefusedArguments)
{
    struct refused {
        int dst_format, tex_format, not_swizzled;
        call c;
        const char* message;
    } cases[] = {
        {1,
         3,
         1,
         {0, 0, 16, 8, 0, 0, 16, 8, 0, 0, 0, H},
         "dst: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now"},
        {3,
         1,
         1,
         {0, 0, 16, 8, 0, 0, 16, 8, 0, 0, 0, H},
         "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now"},
        {3, 3, 0, {0, 0, 16, 8, 0, 0, 16, 8, 0, 0, 0, H}, "src: swizzled not supported for this (would be slower)"},
        {3, 3, 1, {0, 0, 16, 8, 16, 0, 0, 8, 0, 0, 0, H}, "src: rectangle"},   // reversed in x
        {3, 3, 1, {0, 0, 16, 8, 0, 8, 16, 0, 0, 0, 0, H}, "src: rectangle"},   // reversed in y
        {3, 3, 1, {0, 0, 16, 8, 0, 0, 17, 8, 0, 0, 0, H}, "src: rectangle"},   // past the texture
        {3, 3, 1, {0, 0, 16, 8, -1, 0, 16, 8, 0, 0, 0, H}, "src: rectangle"},  // before it
    };
    for (const refused& r : cases) {
        captured_run res = capture_run([&] {
            tex_fixture f;
            target t;
            t.fb.format = r.dst_format;
            f.tex.format = r.tex_format;
            f.tex.not_swizzled = r.not_swizzled;
            run(t, f, r.c);
        });
        EXPECT_EQ(res.exited, 1);
        EXPECT_EQ(res.status, 1) << r.message;
        EXPECT_NE(res.out.find(r.message), std::string::npos) << res.out;
    }
}
