// Coverage-masked fills and copies against a plain per-pixel reference: random
// masks of several densities (and long runs across words), every destination
// offset modulo 8, clipped and unclipped placements, row windows, and masks that
// hang over the right edge. Buffers are exact-size vectors so any write past a
// row end shows up as a difference or under the address sanitizer.
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
#include "support/capture.h"

namespace {

struct mask {
    std::vector<uint32_t> words;
    n3d_coveragebuffer cb;
    mask(int w, int h) : words(static_cast<size_t>(w / 32) * h), cb{words.data(), w, h} {}
    mask(const mask& o) : words(o.words), cb{words.data(), o.cb.w, o.cb.h} {}
    int get(int x, int y) const { return (words[(y * cb.w + x) >> 5] >> (31 - ((y * cb.w + x) & 31))) & 1; }
    void set(int x, int y) { words[(y * cb.w + x) >> 5] |= 0x80000000u >> ((y * cb.w + x) & 31); }
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

// Density in percent; -1 makes long runs of random length that cross words;
// -2 makes each run of four words all clear, all set, or word by word clear,
// set or random (the shapes whole-word and four-word passes take).
void fill_mask(std::mt19937& gen, mask* m, int density)
{
    std::fill(m->words.begin(), m->words.end(), 0u);
    if (density == -2) {
        for (size_t i = 0; i < m->words.size(); i += 4) {
            const unsigned kind = gen() % 3;
            for (size_t j = i; j < i + 4 && j < m->words.size(); j++) {
                const unsigned k = kind == 2 ? gen() % 3 : kind;
                m->words[j] = k == 0 ? 0u : k == 1 ? 0xFFFFFFFFu : static_cast<uint32_t>(gen());
            }
        }
        return;
    }
    if (density < 0) {
        int on = gen() & 1, left = 0;
        for (int y = 0; y < m->cb.h; y++)
            for (int x = 0; x < m->cb.w; x++) {
                if (left-- <= 0) {
                    on ^= 1;
                    left = static_cast<int>(gen() % 70);
                }
                if (on)
                    m->set(x, y);
            }
        return;
    }
    for (int y = 0; y < m->cb.h; y++)
        for (int x = 0; x < m->cb.w; x++)
            if (static_cast<int>(gen() % 100) < density)
                m->set(x, y);
}

void fill_bytes(std::mt19937& gen, std::vector<uint8_t>* v)
{
    for (auto& b : *v)
        b = static_cast<uint8_t>(gen());
}

const int kDensities[] = {0, 3, 50, 97, 100, -1, -2};

struct window {
    int start, height;
};

window random_window(std::mt19937& gen, int h)
{
    switch (gen() % 4) {
    case 0:
        return {0, 100000};
    case 1:
        return {static_cast<int>(gen() % h), static_cast<int>(gen() % h)};
    case 2:
        return {-static_cast<int>(gen() % 6), static_cast<int>(gen() % (h + 6))};  // start clamped at 0
    default:
        return {0, 10};
    }
}

// Placements: every offset mod 8 with left clipping, unclipped, and masks over
// the right edge up to wholly outside it.
std::vector<int> x_placements(int fb_w, int mask_w)
{
    std::vector<int> xs;
    for (int x = -mask_w - 2; x <= -mask_w + 2; x++)
        xs.push_back(x);
    for (int x = -41; x <= 17; x++)
        xs.push_back(x);
    for (int x = fb_w - mask_w - 3; x <= fb_w + 1; x++)
        xs.push_back(x);
    // Far off: the placed mask's far corner lies beyond the int range.
    xs.push_back(INT_MAX - 10);
    xs.push_back(INT_MIN + 5);
    return xs;
}

}  // namespace

// Every case runs on the SSE2 bodies and, where the processor has AVX-512, on
// the wide ones.
class N2dMaskPaths : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { cpu_level_set(GetParam() ? CPU_LEVEL_AVX512 : CPU_LEVEL_SSE2); }
    void TearDown() override { cpu_level_set(cpu_level_default()); }
};
INSTANTIATE_TEST_SUITE_P(Bodies, N2dMaskPaths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "wide" : "sse2"; });

// Fill and copy with cb0 (placed masks).
TEST_P(N2dMaskPaths, PlacedFillAndCopyMatchReference)
{
    std::mt19937 gen(11);
    const int W = 100, H = 20, RB = 103;  // odd row bytes: rows start at every alignment
    mask m(64, 12);
    for (int copy = 0; copy < 2; copy++)
        for (int density : kDensities)
            for (int dx0 : x_placements(W, m.cb.w))
                for (int dy0 : {-5, 0, 3, H - 4, INT_MAX - 3}) {
                    fill_mask(gen, &m, density);
                    window win = random_window(gen, H);
                    plane dst(gen() & 1 ? 1 : 3, W, H, RB), src(3, W + 3, H + 1, W + 5);
                    fill_bytes(gen, &dst.bytes);
                    fill_bytes(gen, &src.bytes);
                    mask dcb(128, H + 2);  // larger than the plane
                    fill_mask(gen, &dcb, 10);
                    const uint8_t color = static_cast<uint8_t>(gen());

                    std::vector<uint8_t> want = dst.bytes;
                    mask want_cb = dcb;
                    const int wy0 = std::max(win.start, 0);
                    const long long wy1 = std::min<long long>(H, static_cast<long long>(win.start) + win.height);
                    for (int y = wy0; y < wy1; y++)
                        for (int x = 0; x < W; x++) {
                            long long mx = static_cast<long long>(x) - dx0, my = static_cast<long long>(y) - dy0;
                            if (mx < 0 || my < 0 || mx >= m.cb.w || my >= m.cb.h ||
                                !m.get(static_cast<int>(mx), static_cast<int>(my)))
                                continue;
                            want[y * RB + x] = copy ? src.bytes[y * (W + 5) + x] : color;
                            want_cb.set(x, y);
                        }

                    if (copy)
                        n2d_fb_i8_and_cb_mask_copy_if_cb0(&dst.fb, &dcb.cb, dx0, dy0, &src.fb, &m.cb, win.start,
                                                          win.height);
                    else
                        n2d_fb_i8_and_cb_mask_fill_if_cb0(&dst.fb, &dcb.cb, dx0, dy0, color, &m.cb, win.start,
                                                          win.height);
                    const std::string where = std::string(copy ? "copy" : "fill") + " density " +
                                              std::to_string(density) + " at " + std::to_string(dx0) + "," +
                                              std::to_string(dy0) + " window " + std::to_string(win.start) + "+" +
                                              std::to_string(win.height);
                    ASSERT_EQ(dst.bytes, want) << where;
                    ASSERT_EQ(dcb.words, want_cb.words) << where;
                }
}

// The two copies without placement: where cb1 is set and cb0 clear (index8),
// and where cb0 is clear (ARGB1555).
TEST_P(N2dMaskPaths, UnplacedCopiesMatchReference)
{
    std::mt19937 gen(12);
    const int MW = 96, MH = 10;
    mask cb0(MW, MH), cb1(MW, MH);
    for (int argb = 0; argb < 2; argb++)
        for (int d0 : kDensities)
            for (int d1 : {0, 50, 100, -1})
                for (int pad = 0; pad < 8; pad++) {  // every row alignment
                    fill_mask(gen, &cb0, d0);
                    fill_mask(gen, &cb1, d1);
                    window win = random_window(gen, MH);
                    const int bpp = argb ? 2 : 1, fmt = argb ? 2 : 3;
                    // The destination may be larger than the masks; only the masks' area changes.
                    const int DW = MW + 4, DH = MH + 2, DRB = DW * bpp + pad, SRB = MW * bpp + (pad ^ 5);
                    plane dst(fmt, DW, DH, DRB), src(fmt, MW, MH, SRB);
                    fill_bytes(gen, &dst.bytes);
                    fill_bytes(gen, &src.bytes);
                    std::vector<uint8_t> want = dst.bytes;
                    const int wy0 = std::max(win.start, 0);
                    const long long wy1 = std::min<long long>(MH, static_cast<long long>(win.start) + win.height);
                    for (int y = wy0; y < wy1; y++)
                        for (int x = 0; x < MW; x++) {
                            bool sel = argb ? !cb0.get(x, y) : (cb1.get(x, y) && !cb0.get(x, y));
                            if (sel)
                                for (int k = 0; k < bpp; k++)
                                    want[y * DRB + bpp * x + k] = src.bytes[y * SRB + bpp * x + k];
                        }
                    if (argb)
                        n2d_fb_argb1555_mask_copy_if_not_cb0(&dst.fb, 0, 0, &src.fb, &cb0.cb, win.start, win.height);
                    else
                        n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&dst.fb, 0, 0, &src.fb, &cb0.cb, &cb1.cb, win.start,
                                                               win.height);
                    ASSERT_EQ(dst.bytes, want) << (argb ? "argb1555" : "index8") << " densities " << d0 << " " << d1
                                               << " pad " << pad << " window " << win.start << "+" << win.height;
                }
}

// Production sizes (640-wide planes and masks, whole-word and four-word passes
// over long rows), placed at word and non-word columns, against the per-pixel
// rule; with a padded plane, rows that do not lie end to end.
TEST_P(N2dMaskPaths, ProductionSizesMatchReference)
{
    std::mt19937 gen(13);
    const int W = 640, H = 24;
    mask m(W, H), other(W, H);
    for (int op = 0; op < 4; op++)
        for (int density : {0, 50, 100, -1, -2})
            for (int x0 : {0, 32, 5, -40, -37})
                for (int rb : {W, W + 24}) {
                    if (op >= 2 && x0 != 0)
                        continue;  // the unplaced copies take no placement
                    fill_mask(gen, &m, density);
                    fill_mask(gen, &other, density == -2 ? -2 : 100 - std::max(density, 0));
                    const int bpp = op == 3 ? 2 : 1;
                    plane dst(op == 3 ? 2 : 3, W, H, rb * bpp), src(op == 3 ? 2 : 3, W, H, rb * bpp);
                    fill_bytes(gen, &dst.bytes);
                    fill_bytes(gen, &src.bytes);
                    mask dcb(W, H);
                    fill_mask(gen, &dcb, 5);
                    const uint8_t color = static_cast<uint8_t>(gen());
                    std::vector<uint8_t> want = dst.bytes;
                    mask want_cb = dcb;
                    for (int y = 0; y < H; y++)
                        for (int x = 0; x < W; x++) {
                            const int mx = x - x0;
                            bool sel;
                            if (op == 2)
                                sel = other.get(x, y) && !m.get(x, y);
                            else if (op == 3)
                                sel = !m.get(x, y);
                            else
                                sel = mx >= 0 && mx < W && m.get(mx, y);
                            if (!sel)
                                continue;
                            for (int k = 0; k < bpp; k++)
                                want[y * rb * bpp + bpp * x + k] =
                                    op == 0 ? color : src.bytes[y * rb * bpp + bpp * x + k];
                            if (op < 2)
                                want_cb.set(x, y);
                        }
                    switch (op) {
                    case 0:
                        n2d_fb_i8_and_cb_mask_fill_if_cb0(&dst.fb, &dcb.cb, x0, 0, color, &m.cb, 0, H);
                        break;
                    case 1:
                        n2d_fb_i8_and_cb_mask_copy_if_cb0(&dst.fb, &dcb.cb, x0, 0, &src.fb, &m.cb, 0, H);
                        break;
                    case 2:
                        n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&dst.fb, 0, 0, &src.fb, &m.cb, &other.cb, 0, H);
                        break;
                    default:
                        n2d_fb_argb1555_mask_copy_if_not_cb0(&dst.fb, 0, 0, &src.fb, &m.cb, 0, H);
                        break;
                    }
                    const std::string where = "op " + std::to_string(op) + " density " + std::to_string(density) +
                                              " at " + std::to_string(x0) + " row bytes " + std::to_string(rb);
                    ASSERT_EQ(dst.bytes, want) << where;
                    ASSERT_EQ(dcb.words, want_cb.words) << where;
                }
}

// The spilling case in its plainest form: a full mask hanging 54 columns over
// the right edge of a plane whose rows follow each other directly.
TEST_P(N2dMaskPaths, RightEdgeRunsStopAtThePlaneEdge)
{
    plane dst(3, 40, 3, 40);
    mask m(64, 3), dcb(64, 3);
    std::fill(m.words.begin(), m.words.end(), 0xFFFFFFFFu);
    n2d_fb_i8_and_cb_mask_fill_if_cb0(&dst.fb, &dcb.cb, 30, 0, 0xAB, &m.cb, 0, 3);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 40; x++)
            ASSERT_EQ(dst.bytes[y * 40 + x], x >= 30 ? 0xAB : 0) << x << "," << y;
    // Coverage marks columns 30..39 only, nothing of 40..63.
    for (int y = 0; y < 3; y++) {
        EXPECT_EQ(dcb.words[y * 2], 0x00000003u) << y;      // columns 30, 31
        EXPECT_EQ(dcb.words[y * 2 + 1], 0xFF000000u) << y;  // columns 32..39
    }
}

TEST(N2dMask, FrontsRefuseBrokenArguments)
{
    struct row {
        const char* why;
        std::function<void()> call;
        const char* out;  // expected start of standard output
    };
    static plane i8(3, 64, 4, 64), argb(2, 64, 4, 128), small8(3, 32, 4, 32), i8_fmt1(1, 64, 4, 64);
    static mask m64(64, 4), m32(32, 4), m64_5(64, 5);
    const row rows[] = {
        {"fill into a 16-bit plane",
         [] { n2d_fb_i8_and_cb_mask_fill_if_cb0(&argb.fb, &m64.cb, 0, 0, 1, &m64.cb, 0, 4); },
         "dst_fb format must be 8-bit"},
        {"copy from a 16-bit plane",
         [] { n2d_fb_i8_and_cb_mask_copy_if_cb0(&i8.fb, &m64.cb, 0, 0, &argb.fb, &m64.cb, 0, 4); },
         "src_fb format must be 8-bit"},
        {"copy from a smaller source",
         [] { n2d_fb_i8_and_cb_mask_copy_if_cb0(&i8.fb, &m64.cb, 0, 0, &small8.fb, &m64.cb, 0, 4); },
         "src_fb must be at least as large as dst_fb (32 4 vs 64 4)\n"},
        {"destination coverage smaller than the plane",
         [] { n2d_fb_i8_and_cb_mask_fill_if_cb0(&i8.fb, &m32.cb, 0, 0, 1, &m64.cb, 0, 4); },
         "dst_cb must be at least as large as dst_fb (32 4 vs 64 4)\n"},
        {"placement in an unplaced copy",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&i8.fb, 1, 0, &i8.fb, &m64.cb, &m64.cb, 0, 4); }, "not impl..\n"},
        {"cb0 and cb1 differ",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&i8.fb, 0, 0, &i8.fb, &m64.cb, &m64_5.cb, 0, 4); },
         "cb0 and cb1 must have same width and height (64 4 vs 64 5)\n"},
        {"source differs from cb0",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&i8.fb, 0, 0, &small8.fb, &m64.cb, &m64.cb, 0, 4); },
         "cb0 and src_fb must have same width and height (64 4 vs 32 4)\n"},
        {"index8 copy into format 1",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&i8_fmt1.fb, 0, 0, &i8.fb, &m64.cb, &m64.cb, 0, 4); },
         "dst_fb format must be N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 (was 1)\n"},
        {"index8 copy from format 1",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&i8.fb, 0, 0, &i8_fmt1.fb, &m64.cb, &m64.cb, 0, 4); },
         "src_fb format must be N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 (was 1)\n"},
        {"destination smaller than cb0",
         [] { n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(&small8.fb, 0, 0, &i8.fb, &m64.cb, &m64.cb, 0, 4); },
         "dst_fb must be at least as large as cb0 (32 4 vs 64 4)\n"},
        {"argb copy into index8", [] { n2d_fb_argb1555_mask_copy_if_not_cb0(&i8.fb, 0, 0, &argb.fb, &m64.cb, 0, 4); },
         "dst_fb format must be N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 (was 3)\n"},
        {"argb copy from index8", [] { n2d_fb_argb1555_mask_copy_if_not_cb0(&argb.fb, 0, 0, &i8.fb, &m64.cb, 0, 4); },
         "src_fb format must be N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 (was 3)\n"},
        {"argb placement", [] { n2d_fb_argb1555_mask_copy_if_not_cb0(&argb.fb, 0, 2, &argb.fb, &m64.cb, 0, 4); },
         "not impl..\n"},
    };
    for (const auto& r : rows) {
        captured_run run = capture_run(r.call);
        EXPECT_EQ(run.status, 1) << r.why;
        EXPECT_EQ(run.out.rfind(r.out, 0), 0u) << r.why << ": " << run.out;
    }
    // An unknown format goes through the crash path.
    captured_run run = capture_run([] {
        plane bad(9, 64, 4, 64);
        n2d_fb_i8_and_cb_mask_fill_if_cb0(&bad.fb, &m64.cb, 0, 0, 1, &m64.cb, 0, 4);
    });
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("bad N3D_TEXEL_FORMAT 9?\n"), std::string::npos) << run.err;
}
