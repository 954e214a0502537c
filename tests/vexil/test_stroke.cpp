// Stroke reveal: thresholds, the shape mask, drawing and erasing against
// per-pixel expectations, placement and refused images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "support/capture.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_stroke.h"

namespace {

constexpr int IW = 64, IH = 8;    // the stroke image
constexpr int FW = 128, FH = 32;  // the target
constexpr uint8_t BG = 0x11, COLOR = 0xC5;

// Drawing order: zeros in a checker of 3x3 blocks, every other value 1..255.
uint8_t order(int x, int y)
{
    if (((x / 3) + (y / 3)) % 4 == 0)
        return 0;
    return (uint8_t)(1 + (x * 7 + y * 31) % 255);
}

uint8_t background(int x, int y) { return (uint8_t)(0x40 + (x ^ y) % 64); }

struct rig {
    std::vector<uint8_t> block = std::vector<uint8_t>(1 << 20);
    memarena arena{};
    std::vector<uint8_t> texels = std::vector<uint8_t>((size_t)IW * IH);
    uint8_t* mips[1] = {nullptr};
    vexil_image image{};
    vexil_stroke stroke{};
    std::vector<uint8_t> dst = std::vector<uint8_t>((size_t)FW * FH, BG);
    std::vector<uint8_t> back = std::vector<uint8_t>((size_t)FW * FH);
    std::vector<uint32_t> dst_cover = std::vector<uint32_t>((size_t)FW / 32 * FH, 0);
    n3d_framebuffer dst_fb{}, back_fb{};
    n3d_coveragebuffer dst_cb{};
    explicit rig(int w = IW, int h = IH, int tex_w_log2 = 6, int tex_h_log2 = 3, bool init = true)
    {
        memarena_init(&arena, "test", block.size(), block.data());
        for (int y = 0; y < IH; y++)
            for (int x = 0; x < IW; x++)
                texels[(size_t)y * IW + x] = order(x, y);
        mips[0] = texels.data();
        image.w = w;
        image.h = h;
        image.texture.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        image.texture.not_swizzled = 1;
        image.texture.w_log2 = tex_w_log2;
        image.texture.h_log2 = tex_h_log2;
        image.texture.min_u_level = tex_w_log2;
        image.texture.min_v_level = tex_h_log2;
        image.texture.mips = mips;
        for (int y = 0; y < FH; y++)
            for (int x = 0; x < FW; x++)
                back[(size_t)y * FW + x] = background(x, y);
        dst_fb = {0, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, FW, FH, FW, dst.data()};
        back_fb = {0, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, FW, FH, FW, back.data()};
        dst_cb = {dst_cover.data(), FW, FH};
        if (init)
            vexil_stroke_init(&stroke, &image, &arena);
    }
    uint8_t px(int x, int y) const { return dst[(size_t)y * FW + x]; }
    int covered(int x, int y) const { return (dst_cover[(size_t)(y * FW + x) / 32] >> (31 - (x & 31))) & 1; }
};

int bit(const n3d_coveragebuffer& cb, int x, int y)
{
    return (cb.u32[(size_t)(y * cb.w + x) / 32] >> (31 - (x & 31))) & 1;
}

// The sRGB code of frame / 255 as a linear intensity, from the curve's definition.
int reference_threshold(int frame)
{
    double x = frame / 255.0;
    double s = x <= 0 ? 0 : x < 0.0031308 ? 12.92 * x : x < 1 ? 1.055 * pow(x, 0.41666) - 0.055 : 1;
    return (int)(255 * s);
}

}  // namespace

TEST(Stroke, Threshold)
{
    const struct {
        int frame, threshold;
    } cases[] = {{0, 0}, {1, 12}, {128, 187}, {255, 255}};
    for (const auto& k : cases)
        EXPECT_EQ(vexil_stroke_threshold(k.frame), k.threshold) << k.frame;
    for (int f = 0; f <= 255; f++)
        EXPECT_NEAR(vexil_stroke_threshold(f), reference_threshold(f), 1) << f;
    for (int f = 1; f <= 255; f++)
        EXPECT_GE(vexil_stroke_threshold(f), vexil_stroke_threshold(f - 1)) << f;
}

TEST(Stroke, InitBuildsTheShapeMask)
{
    rig r;
    EXPECT_EQ(r.stroke.src, &r.image);
    for (const n3d_coveragebuffer* cb : {&r.stroke.src_cb, &r.stroke.cb, &r.stroke.cb_prev}) {
        EXPECT_EQ(cb->w, IW);
        EXPECT_EQ(cb->h, IH);
    }
    for (int y = 0; y < IH; y++)
        for (int x = 0; x < IW; x++) {
            EXPECT_EQ(bit(r.stroke.src_cb, x, y), order(x, y) != 0) << x << "," << y;
            EXPECT_EQ(bit(r.stroke.cb, x, y), 0);
        }
}

// Draw reveals texels 1..threshold in one colour at the placement and marks
// them; the rest of the target is untouched.
TEST(Stroke, Draw)
{
    const struct {
        int frame, x0, y0;
    } cases[] = {{255, 10, 5}, {0, 10, 5}, {128, 33, 20}, {40, -20, -3}, {200, 100, 28}};
    for (const auto& k : cases) {
        rig r;
        vexil_stroke_draw(&r.stroke, k.frame, COLOR, &r.dst_fb, &r.dst_cb, k.x0, k.y0, 0, FH);
        int threshold = vexil_stroke_threshold(k.frame);
        for (int y = 0; y < FH; y++)
            for (int x = 0; x < FW; x++) {
                int ix = x - k.x0, iy = y - k.y0;
                bool inside = ix >= 0 && ix < IW && iy >= 0 && iy < IH;
                bool on = inside && order(ix, iy) >= 1 && order(ix, iy) <= threshold;
                ASSERT_EQ(r.px(x, y), on ? COLOR : BG) << "frame " << k.frame << " at " << x << "," << y;
                ASSERT_EQ(r.covered(x, y), on) << "frame " << k.frame << " at " << x << "," << y;
            }
    }
}

// Erase restores texels threshold..255 from the background and marks them;
// frame 0 restores the whole shape; texel 0 is never touched.
TEST(Stroke, Erase)
{
    const struct {
        int frame, x0, y0;
    } cases[] = {{0, 10, 5}, {255, 10, 5}, {128, 40, 12}, {60, -7, 26}};
    for (const auto& k : cases) {
        rig r;
        vexil_stroke_draw(&r.stroke, 255, COLOR, &r.dst_fb, &r.dst_cb, k.x0, k.y0, 0, FH);
        r.dst_cover.assign(r.dst_cover.size(), 0);
        vexil_stroke_erase(&r.stroke, k.frame, &r.dst_fb, &r.dst_cb, &r.back_fb, k.x0, k.y0, 0, FH);
        int threshold = vexil_stroke_threshold(k.frame);
        for (int y = 0; y < FH; y++)
            for (int x = 0; x < FW; x++) {
                int ix = x - k.x0, iy = y - k.y0;
                bool inside = ix >= 0 && ix < IW && iy >= 0 && iy < IH;
                int t = inside ? order(ix, iy) : 0;
                bool restored = t != 0 && t >= threshold;
                uint8_t want = restored ? background(x, y) : (t != 0 ? COLOR : BG);
                ASSERT_EQ(r.px(x, y), want) << "frame " << k.frame << " at " << x << "," << y;
                ASSERT_EQ(r.covered(x, y), restored) << "frame " << k.frame << " at " << x << "," << y;
            }
    }
}

// The two working buffers exchange storage on every call; the row window
// limits what a call changes.
TEST(Stroke, StorageAlternatesAndRowWindow)
{
    rig r;
    uint32_t* a = r.stroke.cb.u32;
    uint32_t* b = r.stroke.cb_prev.u32;
    vexil_stroke_draw(&r.stroke, 255, COLOR, &r.dst_fb, &r.dst_cb, 0, 0, 0, 3);
    EXPECT_EQ(r.stroke.cb.u32, b);
    EXPECT_EQ(r.stroke.cb_prev.u32, a);
    for (int y = 0; y < IH; y++)
        for (int x = 0; x < IW; x++)
            EXPECT_EQ(r.px(x, y), y < 3 && order(x, y) ? COLOR : BG) << x << "," << y;
    vexil_stroke_erase(&r.stroke, 0, &r.dst_fb, &r.dst_cb, &r.back_fb, 0, 0, 0, FH);
    EXPECT_EQ(r.stroke.cb.u32, a);
}

TEST(Stroke, RefusedImages)
{
    const struct {
        int w, h, tw_log2, th_log2;
        const char* message;
    } cases[] = {
        {48, 8, 6, 3, "stroke image width must be a positive multiple of 32"},
        {0, 8, 6, 3, "stroke image width must be a positive multiple of 32"},
        // A height of 0 is named as such, not blamed on the width.
        {64, 0, 6, 3, "stroke image height must be at least 1 (is 64 x 0)"},
        {64, 8, 5, 3, "stroke image 64 x 8 is larger than its 32 x 8 texture"},
        {64, 16, 6, 3, "stroke image 64 x 16 is larger than its 64 x 8 texture"},
    };
    for (const auto& k : cases) {
        captured_run res = capture_run([&] { rig r(k.w, k.h, k.tw_log2, k.th_log2); });
        EXPECT_EQ(res.status, 1) << k.message;
        EXPECT_NE(res.out.find(k.message), std::string::npos) << res.out;
    }
}
