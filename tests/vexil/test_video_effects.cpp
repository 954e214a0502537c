// The tunnel (its polar table against atan2 and sqrt in double precision, frames
// against that reference, offsets, clipping, widths not a multiple of 4) and the
// bump map (every pixel against the lighting formula worked out here, clipping on
// every side, the earlier form) with the messages of their checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/cpu_features.h"
#include "core/memarena.h"
#include "image/n2d.h"
#include "image/n3d_phong.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/test_arena.h"
#include "support/video_texture.h"
#include "vexil/vexil_bumpmap.h"
#include "vexil/vexil_tunnel_func.h"

namespace {

using test_arena = qf_test_arena<4u << 20>;

// ---- tunnel -------------------------------------------------------------------

// The angle and distance bytes of table entry (i, j) of a W x H table, in double precision.
void tunnel_reference(int W, int H, int i, int j, int* angle_byte, int* dist_byte)
{
    double a = (double)H / W;
    double x = 2.0 * (i + 0.5) / W - 1.0;
    double y = (2.0 * (j + 0.5) / H - 1.0) * a;
    double u = 0.5 + 0.5 * atan2(y, x) / M_PI;
    double d = sqrt((x * x + y * y) / (1.0 + a * a));
    *angle_byte = (int)(256.0 * u) & 255;
    *dist_byte = (int)(256.0 * d);
}

// Bytes equal up to one step either way (float against double at a boundary), mod 256.
bool near_byte(int a, int b) { return ((a - b) & 255) <= 1 || ((b - a) & 255) <= 1; }

struct tunnel_table {
    test_arena a;
    n3d_framebuffer map;
    tunnel_table(int w = 640, int h = 480)
    {
        n3d_framebuffer_init_argb1555(&map, w, h, &a.arena);
        vexil_tunnel_argb1555_init(&map);
    }
    uint16_t at(int i, int j) const
    {
        return reinterpret_cast<const uint16_t*>(static_cast<const uint8_t*>(map.b) + (size_t)j * map.row_bytes)[i];
    }
};

// Entry (i, j) of a W x H table by the table's own formula, step by step in its
// precisions: float coordinates, atan2f, the angle scaled in double, the squared
// distance divided by 1 + a^2, and its root as q x (1 / sqrtf(q)).
uint16_t tunnel_formula(int W, int H, int i, int j)
{
    const float a = (float)H / (float)W;
    const float x = 2.0f * ((float)i + 0.5f) / (float)W - 1.0f;
    const float y = (2.0f * ((float)j + 0.5f) / (float)H - 1.0f) * a;
    const float angle = atan2f(y, x);
    double ud = 0.5 + 0.5 * (double)angle / M_PI;
    ud = ud < 0.0 ? 0.0 : ud > 1.0 ? 1.0 : ud;
    const float u = (float)ud;
    const float q = (x * x + y * y) / (1.0f + a * a);
    const float d = q > 0.0f ? q * (1.0f / sqrtf(q)) : 0.0f;
    return (uint16_t)(((int)(256.0f * u) << 8) | (int)(256.0f * d));
}

// Every entry is the formula's exactly, and within one step of the angle and
// distance worked out in double precision.
TEST(Tunnel, TableAgainstAtan2AndSqrt)
{
    const struct {
        int w, h;
    } sizes[] = {{640, 480}, {480, 640}, {320, 240}, {97, 61}};
    for (const auto& sz : sizes) {
        tunnel_table t(sz.w, sz.h);
        int off = 0, inexact = 0;
        std::string first;
        for (int j = 0; j < sz.h; j++)
            for (int i = 0; i < sz.w; i++) {
                int ab, db;
                tunnel_reference(sz.w, sz.h, i, j, &ab, &db);
                const uint16_t e = t.at(i, j), want = tunnel_formula(sz.w, sz.h, i, j);
                if (e != want && inexact++ == 0)
                    first = "(" + std::to_string(i) + ", " + std::to_string(j) + "): " + std::to_string(e) + " not " +
                            std::to_string(want);
                off += !near_byte(e >> 8, ab) || !near_byte(e & 255, db);
            }
        EXPECT_EQ(inexact, 0) << sz.w << "x" << sz.h << ", first at " << first;
        EXPECT_EQ(off, 0) << sz.w << "x" << sz.h;
    }
}

TEST(Tunnel, TableCentreCornersAndAngles)
{
    tunnel_table t;
    struct {
        int i, j;
        int dist_lo, dist_hi;  // distance byte range
        int angle_lo, angle_hi;
        const char* why;
    } cases[] = {
        {319, 239, 0, 1, 0, 255, "next to the centre"},
        {320, 240, 0, 1, 0, 255, "next to the centre"},
        {0, 0, 253, 255, 0, 255, "top-left corner"},
        {639, 479, 253, 255, 0, 255, "bottom-right corner"},
        {300, 239, 0, 20, 0, 2, "left of the centre, above the centre line: angle near 0"},
        {340, 239, 0, 20, 126, 128, "right of the centre: angle near 128"},
        {320, 0, 0, 255, 63, 64, "straight above: a quarter turn"},
    };
    for (auto& c : cases) {
        uint16_t e = t.at(c.i, c.j);
        EXPECT_GE(e & 255, c.dist_lo) << c.why;
        EXPECT_LE(e & 255, c.dist_hi) << c.why;
        EXPECT_GE(e >> 8, c.angle_lo) << c.why;
        EXPECT_LE(e >> 8, c.angle_hi) << c.why;
    }
    // Left of the centre below the centre line the angle is just short of a full
    // turn (+pi itself would wrap to 0).
    uint16_t e = t.at(300, 240);
    EXPECT_GE(e >> 8, 253) << (e >> 8);
}

TEST(Tunnel, OddSizedTableCentreIsZeroDistance)
{
    tunnel_table t(5, 3);
    EXPECT_EQ(t.at(2, 1) & 255, 0);
}

// A colour map whose texel is its own index: each pixel says which texel it read.
video_texture index_map()
{
    return video_texture(2, 8, 8, [](int x, int y) { return (uint32_t)(y << 8 | x); });
}

// The pixel the tunnel must draw at target (x, y) of a w x h target over a W x H table.
uint16_t tunnel_expected(const tunnel_table& t, int w, int h, int x, int y, int u_off, int v_off)
{
    uint16_t e = t.at(t.map.w / 2 - w / 2 + x, t.map.h / 2 - h / 2 + y);
    return (uint16_t)((((e >> 8) + v_off) & 255) << 8 | (((e & 255) + u_off) & 255));
}

TEST(Tunnel, FrameReadsTheCentredWindowAgainstTheReference)
{
    tunnel_table t;
    video_texture cm = index_map();
    video_plane page(320, 240, 1024);
    n3d_frame_context fc{};
    fc.fb = &page.fb;
    n2d_rect r{0, 0, 320, 240};
    vexil_tunnel_argb1555(&fc, &cm.t, &t.map, &r, 1.0f, 17, 200);
    int off = 0;
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++) {
            int ab, db;
            tunnel_reference(640, 480, 160 + x, 120 + y, &ab, &db);
            uint16_t p = page.px(x, y);
            if (!near_byte(p >> 8, (ab + 200) & 255) || !near_byte(p & 255, (db + 17) & 255))
                off++;
            if (p != tunnel_expected(t, 320, 240, x, y, 17, 200))
                off++;
        }
    EXPECT_EQ(off, 0);
}

TEST(Tunnel, OffsetsWrapAt256BothWays)
{
    tunnel_table t;
    video_texture cm = index_map();
    auto frame = [&](int u, int v) {
        video_plane page(320, 240);
        n3d_frame_context fc{};
        fc.fb = &page.fb;
        n2d_rect r{0, 0, 320, 240};
        vexil_tunnel_argb1555(&fc, &cm.t, &t.map, &r, 1.0f, u, v);
        return page.bytes;
    };
    struct {
        int u, v, same_u, same_v;
    } cases[] = {{256, 0, 0, 0}, {0, 256, 0, 0}, {-3, 0, 253, 0}, {0, -1, 0, 255}, {-256 - 5, 513, 251, 1}};
    for (auto& c : cases)
        EXPECT_EQ(frame(c.u, c.v), frame(c.same_u, c.same_v)) << c.u << " " << c.v;
    EXPECT_NE(frame(1, 0), frame(0, 0));
}

TEST(Tunnel, WidthsNotAMultipleOfFourAreDrawnToTheEdge)
{
    tunnel_table t;
    video_texture cm = index_map();
    for (int w : {317, 318, 319, 320}) {
        video_plane page(w, 16, 1024);
        n3d_frame_context fc{};
        fc.fb = &page.fb;
        n2d_rect r{0, 0, w, 16};
        vexil_tunnel_argb1555(&fc, &cm.t, &t.map, &r, 1.0f, 5, 9);
        for (int y = 0; y < 16; y++)
            for (int x = 0; x < w; x++)
                ASSERT_EQ(page.px(x, y), tunnel_expected(t, w, 16, x, y, 5, 9)) << w << " " << x << "," << y;
    }
}

TEST(Tunnel, RectangleClippedToTheTargetKeepsTheTableOrigin)
{
    tunnel_table t;
    video_texture cm = index_map();
    video_plane page(320, 240, 0, 0x7777);
    n3d_frame_context fc{};
    fc.fb = &page.fb;
    n2d_rect r{-6, -4, 101, 50};
    vexil_tunnel_argb1555(&fc, &cm.t, &t.map, &r, 1.0f, 0, 0);
    for (int y = 0; y < 60; y++)
        for (int x = 0; x < 120; x++) {
            uint16_t want = x < 101 && y < 50 ? tunnel_expected(t, 320, 240, x, y, 0, 0) : 0x7777;
            ASSERT_EQ(page.px(x, y), want) << x << "," << y;
        }
}

// Every path the frame can take on this processor (AVX-512 gathers, eight pixels a
// step with SSE2, the packed four-pixel path) against the per-pixel rule, over a
// table of random entries (every byte carry), a random colour map (so a texel
// taken from the wrong half of its pair shows), targets narrower and wider than
// the SSE2 path's index buffer, rows ending inside a gather step, odd origins
// (unaligned stores), offsets of every sign, and tables whose rows start at every
// kind of byte alignment (rows before, inside and after a 64-byte boundary; entries
// off their 2-byte boundaries).
TEST(Tunnel, EveryPathDrawsThePerPixelRule)
{
    test_arena a;
    n3d_framebuffer map;
    n3d_framebuffer_init_argb1555(&map, 640, 480, &a.arena);
    uint32_t s = 99;
    auto next = [&s] { return s = s * 1664525u + 1013904223u; };
    for (int j = 0; j < map.h; j++)
        for (int i = 0; i < map.w; i++)
            reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(map.b) + (size_t)j * map.row_bytes)[i] =
                (uint16_t)(next() >> 16);
    std::vector<uint16_t> texel(65536);
    for (uint16_t& t : texel)
        t = (uint16_t)(next() >> 16);
    video_texture cm(2, 8, 8, [&](int x, int y) { return (uint32_t)texel[(size_t)(y << 8 | x)]; });
    struct {
        int page_w, page_h, x0, y0, x1, y1, u, v;
    } cases[] = {
        {320, 240, 0, 0, 320, 240, 0, 0},      // the production's page
        {320, 240, 1, 3, 320, 240, 255, 255},  // odd origin: stores not aligned
        {320, 240, 5, 0, 13, 7, -1, -129},     // fewer pixels than one step
        {600, 20, 0, 0, 600, 20, 77, 201},     // more than one index buffer a row
        {600, 20, 3, 2, 590, 19, 300, -700},   // ... not a multiple of 8 or 4
        {36, 9, 0, 0, 36, 9, 128, 128},        // a step and a half
        {7, 3, 0, 0, 7, 3, 1, 1},              // only single pixels
        {97, 5, 0, 0, 97, 5, 9, 250},          // three gather steps and one pixel
    };
    const int default_path = vexil_tunnel_path;
    for (int shift : {0, 1, 2, 14, 16, 34, 62})
        for (auto& c : cases)
            for (int path = VEXIL_TUNNEL_PATH_PACKED; path <= VEXIL_TUNNEL_PATH_GATHER; path++) {
                if (vexil_tunnel_path_available(path) != path)
                    continue;
                vexil_tunnel_path = path;
                video_plane page(c.page_w, c.page_h, 0, 0x7777);
                n3d_frame_context fc{};
                fc.fb = &page.fb;
                n2d_rect r{c.x0, c.y0, c.x1, c.y1};
                // The same rows read from `shift` bytes further on (the table's last 32
                // columns are left out, so every read stays inside it).
                n3d_framebuffer table = map;
                table.b = static_cast<uint8_t*>(map.b) + shift;
                table.w = map.w - 32;
                vexil_tunnel_argb1555(&fc, &cm.t, &table, &r, 1.0f, c.u, c.v);
                const int ox = table.w / 2 - c.page_w / 2, oy = table.h / 2 - c.page_h / 2;
                int wrong = 0;
                for (int y = 0; y < c.page_h; y++)
                    for (int x = 0; x < c.page_w; x++) {
                        uint16_t want = 0x7777;
                        if (x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1) {
                            // The table window starts at its centred origin whatever the rectangle.
                            uint16_t e;
                            memcpy(&e,
                                   static_cast<const uint8_t*>(table.b) + (size_t)(oy + y - c.y0) * table.row_bytes +
                                       (size_t)(ox + x - c.x0) * 2,
                                   2);
                            want = texel[(size_t)((((e >> 8) + c.v) & 255) << 8 | (((e & 255) + c.u) & 255))];
                        }
                        wrong += page.px(x, y) != want;
                    }
                EXPECT_EQ(wrong, 0) << c.page_w << "x" << c.page_h << " at " << c.x0 << "," << c.y0 << " path " << path
                                    << " table shifted " << shift;
            }
    vexil_tunnel_path = default_path;
}

TEST(Tunnel, Refusals)
{
    struct {
        int cm_log2, cm_format, fb_format, map_w, map_h;
        const char* message;
    } cases[] = {
        {7, 2, 2, 640, 480, "color map must be 256x256 texture for now\n"},
        {8, 2, 3, 640, 480, "not implemented/supported?\n"},
        {8, 1, 2, 640, 480, "color map must be an ARGB1555 texture (format 1)\n"},
        {8, 2, 2, 319, 480, "tunnel map 319x480 is smaller than the target 320x240\n"},
        {8, 2, 2, 640, 200, "tunnel map 640x200 is smaller than the target 320x240\n"},
    };
    for (auto& c : cases) {
        captured_run r = capture_run([&] {
            tunnel_table t(c.map_w, c.map_h);
            video_texture cm(c.cm_format, c.cm_log2, c.cm_log2, [](int, int) { return 0u; });
            video_plane page(320, 240);
            page.fb.format = c.fb_format;
            n3d_frame_context fc{};
            fc.fb = &page.fb;
            n2d_rect rect{0, 0, 320, 240};
            vexil_tunnel_argb1555(&fc, &cm.t, &t.map, &rect, 1.0f, 0, 0);
        });
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(crash_site(r.err).find(crash_site("crash in  at src/vexil_tunnel_func:")), std::string::npos)
            << r.err;
    }
}

// ---- bump map -----------------------------------------------------------------

// 512x256 textures (the 310x256 window fits): colour index and normal from the
// texel position; the shade table's entry is its own index, so a pixel says which
// colour and level it took.
struct bump_set {
    video_texture color, bump;
    test_arena a;
    n3d_phong_lut phong;
    bump_set(int w_log2 = 9, int h_log2 = 8)
        : color(1, w_log2, h_log2, [](int x, int y) { return (uint32_t)((x * 7 + y * 13) & 255); }),
          bump(4, w_log2, h_log2, [](int x, int y) {
              int8_t nx = (int8_t)((x * 5) % 200 - 100), ny = (int8_t)((y * 3) % 180 - 90);
              return (uint32_t)(uint8_t)nx << 24 | (uint32_t)(uint8_t)ny << 16 | (uint32_t)((x + y) & 255);
          })
    {
        for (int i = 0; i < 256 * 32; i++)
            color.shades[i] = (uint16_t)i;
        n3d_phong_lut_init(&phong, &a.arena, 0.3f, 0);
        n3d_build_phong_lut_for_pbr_shade_table(&phong, 32);
    }
    uint32_t bump_at(int u, int v) const
    {
        uint32_t n;
        memcpy(&n, &bump.texels[((size_t)v * (1u << bump.t.w_log2) + u) * 4], 4);
        return n;
    }
};

// The lighting formula, written out for one pixel.
uint16_t bump_reference(const bump_set& s, double t, int u, int v, float xf, float yf)
{
    float Lx = (float)(1.5 * sin(0.2 * M_PI * t)), Ly = (float)(1.5 * cos(0.4 * M_PI * t));
    uint32_t n = s.bump_at(u, v);
    int nxb = (int8_t)(n >> 24), nyb = (int8_t)(n >> 16), base = (int)(n & 255);
    float dx = Lx - xf, dy = Ly - yf;
    float r = (float)(1.0 / sqrt((double)(dx * dx + dy * dy)));
    float lx = dx * r, ly = dy * r;
    float k = (float)(1.0 / sqrt((double)(lx * lx + ly * ly + 1.0f)));
    float nx = lx * k, ny = ly * k;
    float ac = 64.0f * r - 1.0f;
    ac = ac < 0 ? 0 : ac > 1 ? 1 : ac;
    int A = (int)lroundf(128.0f * ac);
    float sf = (float)base + 2.0f * nx * (float)nxb + 2.0f * ny * (float)nyb;
    int sv = sf <= -127.0f ? -127 : sf >= 127.0f ? 127 : (int)sf;
    int i = (int)(-127.0f * (nx * nx + ny * ny)) + sv + A;
    i = i < 0 ? 0 : i > 255 ? 255 : i;
    int level = s.phong.lut[i];
    int color = s.color.texels[(size_t)v * (1u << s.color.t.w_log2) + u];
    return (uint16_t)(color << 5 | level);
}

// Every pixel of a call, from the clipping rules: the unclipped window's steps,
// x from x_start at the first drawn pixel of each row, y from -1 at the window's
// first row (rows clipped at the top keep their coordinate).
void expect_bump_frame(const bump_set& s, video_plane& page, double t, int dst_x0, int dst_y0, int sx0, int sy0,
                       int sx1, int sy1, float x_start, uint16_t fill)
{
    float xf_dx = 2.0f / (float)(sx1 - sx0 - 1), yf_dy = 2.0f / (float)(sy1 - sy0 - 1);
    int bad = 0;
    for (int y = 0; y < page.fb.h; y++)
        for (int x = 0; x < page.fb.w; x++) {
            int su = x - dst_x0 + sx0, sv = y - dst_y0 + sy0;
            uint16_t want = fill;
            if (su >= sx0 && su < sx1 && sv >= sy0 && sv < sy1) {
                int first_x = dst_x0 < 0 ? 0 : dst_x0;
                float xf = x_start;
                for (int k = first_x; k < x; k++)
                    xf += xf_dx;
                float yf = -1.0f;
                for (int k = sy0; k < sv; k++)
                    yf += yf_dy;
                want = bump_reference(s, t, su, sv, xf, yf);
            }
            if (page.px(x, y) != want && bad++ < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << " is " << page.px(x, y) << " not " << want;
        }
    EXPECT_EQ(bad, 0);
}

TEST(Bumpmap, PixelsAgainstTheFormula)
{
    struct {
        int pw, ph, dst_x0, dst_y0;
        float t;
        const char* why;
    } cases[] = {
        {320, 256, 0, 0, 0.0f, "whole window"},
        {320, 256, 5, 0, 1.7f, "odd start: one pixel alone, then pairs"},
        {320, 240, -10, 3, 2.5f, "left edge clipped: source column 10 at x 0"},
        {100, 80, 0, 0, 4.0f, "narrow target: clipped on the right, the full window's step"},
        {320, 240, 2, -20, 0.3f, "top edge clipped: source row 20 at y 0"},
        {64, 64, -300, -250, 1.0f, "only the bottom-right corner of the window"},
    };
    bump_set s;
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        video_plane page(c.pw, c.ph, 1024, 0x4321);
        vexil_bumpmap_argb1555(&page.fb, c.t, c.dst_x0, c.dst_y0, 0, 0, 310, 256, &s.bump.t, &s.color.t, &s.phong);
        expect_bump_frame(s, page, c.t, c.dst_x0, c.dst_y0, 0, 0, 310, 256, -0.1f, 0x4321);
    }
    // dst_x0 = -10 starts at source column 10.
    video_plane page(320, 240, 1024, 0);
    vexil_bumpmap_argb1555(&page.fb, 0.0f, -10, 0, 0, 0, 310, 256, &s.bump.t, &s.color.t, &s.phong);
    EXPECT_EQ(page.px(0, 0) >> 5, (10 * 7) & 255);
}

// A window clipped at the top shows exactly the rows the unclipped window shows
// below that edge: its first drawn row takes the y coordinate the unclipped
// drawing reaches row by row. Production size (310x256 window on a 320-wide
// page), many lights and clip depths, on each path the processor has.
TEST(Bumpmap, TopClippedWindowIsTheUnclippedWindowsVisibleRows)
{
    bump_set s;
    const int dst_y0s[] = {-1, -2, -3, -7, -20, -48, -64, -99, -128, -170, -201, -255};
    for (int level = CPU_LEVEL_SCALAR; level <= cpu_level_supported(); level++) {
        cpu_level_set(level);
        int frames = 0, wrong_frames = 0;
        std::string first_wrong;
        for (int ti = 0; ti < 100; ti++) {
            // 10.73 with dst_y0 -48 among them.
            const float t = ti == 0 ? 10.73f : 0.217f * (float)ti;
            video_plane whole(320, 256, 0, 0x4321);
            vexil_bumpmap_argb1555(&whole.fb, t, 5, 0, 0, 0, 310, 256, &s.bump.t, &s.color.t, &s.phong);
            for (int dy0 : dst_y0s) {
                video_plane clipped(320, 256 + dy0, 0, 0x4321);
                vexil_bumpmap_argb1555(&clipped.fb, t, 5, dy0, 0, 0, 310, 256, &s.bump.t, &s.color.t, &s.phong);
                frames++;
                int wrong = 0;
                for (int y = 0; y < clipped.fb.h; y++)
                    for (int x = 0; x < 320; x++)
                        if (clipped.px(x, y) != whole.px(x, y - dy0) && wrong++ == 0 && first_wrong.empty())
                            first_wrong = "t " + std::to_string(t) + " dst_y0 " + std::to_string(dy0) + " pixel " +
                                          std::to_string(x) + "," + std::to_string(y);
                wrong_frames += wrong != 0;
            }
        }
        cpu_level_set(cpu_level_default());
        EXPECT_EQ(wrong_frames, 0) << cpu_level_name(level) << " path, " << wrong_frames << " of " << frames
                                   << " frames differ, first at " << first_wrong;
    }
}

TEST(Bumpmap, SourceWindowInsideTheTextures)
{
    bump_set s;
    video_plane page(320, 240, 1024, 0x4321);
    vexil_bumpmap_argb1555(&page.fb, 0.5f, 7, 9, 100, 20, 300, 200, &s.bump.t, &s.color.t, &s.phong);
    expect_bump_frame(s, page, 0.5f, 7, 9, 100, 20, 300, 200, -0.1f, 0x4321);
}

TEST(Bumpmap, EarlierFormStartsEveryRowAtMinusOne)
{
    bump_set s;
    video_plane page(320, 240, 1024, 0x4321);
    vexil_bumpmap_argb1555_old(&page.fb, 3.0f, -4, 0, 0, 0, 310, 256, &s.bump.t, &s.color.t, &s.phong);
    expect_bump_frame(s, page, 3.0f, -4, 0, 0, 0, 310, 256, -1.0f, 0x4321);
}

// The 16-pixel path against the path of one pixel at a time, where the processor
// has it: random normals, heights, colours and shades (every byte of a texel
// matters), lights all over the window (a few thousand lanes where the quick
// reciprocal square root is not sure of its bits take the exact one), windows
// wider than the wide path's column block, every clipped edge and row tails of
// 1 to 15 pixels.
TEST(Bumpmap, WidePathDrawsTheOnePixelPathsPixels)
{
    if (cpu_level_supported() < CPU_LEVEL_AVX512)
        GTEST_SKIP() << "no AVX-512 here: the wide path is not taken";
    uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    video_texture color(1, 10, 8, [&](int, int) { return next() >> 24; });
    video_texture bump(4, 10, 8, [&](int, int) { return next(); });
    for (uint16_t& e : color.shades)
        e = (uint16_t)(next() >> 16);
    // A level table whose level changes with every index, so that a level index one
    // off (a product or a sum rounded otherwise) shows in the pixel.
    test_arena a;
    n3d_phong_lut phong;
    n3d_phong_lut_init(&phong, &a.arena, 0.3f, 0);
    for (int i = -8; i < 264; i++)
        phong.lut[i] = (uint8_t)((i < 0 ? 0 : i > 255 ? 255 : i) * 7 & 31);
    struct {
        int pw, ph, dst_x0, dst_y0, sx0, sy0, sx1, sy1;
    } windows[] = {
        {320, 256, 0, 0, 0, 0, 310, 256},      // the production's window
        {800, 120, -30, -7, 0, 0, 1000, 140},  // wider than a column block, left and top clipped
        {333, 61, 5, 3, 17, 40, 1024, 256},    // clipped on the right, a tail of 13 pixels
    };
    for (auto& w : windows)
        for (float t = 0.0f; t < 10.0f; t += 0.37f) {
            video_plane wide(w.pw, w.ph, 0, 0x4321), one(w.pw, w.ph, 0, 0x4321);
            cpu_level_set(CPU_LEVEL_AVX512);
            vexil_bumpmap_argb1555(&wide.fb, t, w.dst_x0, w.dst_y0, w.sx0, w.sy0, w.sx1, w.sy1, &bump.t, &color.t,
                                   &phong);
            cpu_level_set(CPU_LEVEL_AVX2);
            vexil_bumpmap_argb1555(&one.fb, t, w.dst_x0, w.dst_y0, w.sx0, w.sy0, w.sx1, w.sy1, &bump.t, &color.t,
                                   &phong);
            cpu_level_set(cpu_level_default());
            int wrong = 0;
            for (int y = 0; y < w.ph; y++)
                for (int x = 0; x < w.pw; x++)
                    wrong += wide.px(x, y) != one.px(x, y);
            ASSERT_EQ(wrong, 0) << w.pw << "x" << w.ph << " at t " << t;
        }
    // Narrow targets: every tail length.
    for (int pw = 1; pw <= 33; pw++) {
        video_plane wide(pw, 4, 0, 0x4321), one(pw, 4, 0, 0x4321);
        cpu_level_set(CPU_LEVEL_AVX512);
        vexil_bumpmap_argb1555(&wide.fb, 1.3f, 0, 0, 0, 0, 310, 256, &bump.t, &color.t, &phong);
        cpu_level_set(CPU_LEVEL_AVX2);
        vexil_bumpmap_argb1555(&one.fb, 1.3f, 0, 0, 0, 0, 310, 256, &bump.t, &color.t, &phong);
        cpu_level_set(cpu_level_default());
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < pw; x++)
                ASSERT_EQ(wide.px(x, y), one.px(x, y)) << pw << " wide, pixel " << x << "," << y;
    }
}

TEST(Bumpmap, Refusals)
{
    struct {
        int bump_w_log2, color_format, color_swizzled, bump_format, bump_swizzled, sx0, sy0, sx1, sy1;
        const char* message;
        const char* label;  // null: standard output
    } cases[] = {
        {8, 1, 0, 4, 0, 0, 0, 310, 256, "bumpmap must have same width height as texture (256 256 vs 512 256)\n",
         nullptr},
        {9, 1, 1, 4, 0, 0, 0, 310, 256,
         "color texture must not be swizzled (is swizzled: 1) with format N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 "
         "(is: 1)\n",
         "src/vexil_bumpmap"},
        {9, 3, 0, 4, 0, 0, 0, 310, 256,
         "color texture must not be swizzled (is swizzled: 0) with format N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 "
         "(is: 3)\n",
         "src/vexil_bumpmap"},
        {9, 1, 0, 4, 1, 0, 0, 310, 256,
         "bumpmap texture must not be swizzled (is swizzled: 1) with format N3D_TEXEL_FORMAT_BUMPMAP (is: 4)\n",
         "src/vexil_bumpmap"},
        {9, 1, 0, 2, 0, 0, 0, 310, 256,
         "bumpmap texture must not be swizzled (is swizzled: 0) with format N3D_TEXEL_FORMAT_BUMPMAP (is: 2)\n",
         "src/vexil_bumpmap"},
        {9, 1, 0, 4, 0, 300, 0, 610, 256, "bumpmap source window (300 0)-(610 256) is outside the 512x256 textures\n",
         "src/vexil_bumpmap"},
        {9, 1, 0, 4, 0, 0, -1, 310, 255, "bumpmap source window (0 -1)-(310 255) is outside the 512x256 textures\n",
         "src/vexil_bumpmap"},
    };
    for (auto& c : cases) {
        captured_run r = capture_run([&] {
            bump_set s;
            video_texture bump(c.bump_format, c.bump_w_log2, 8, [](int, int) { return 0u; });
            s.color.t.format = c.color_format;
            s.color.t.not_swizzled = !c.color_swizzled;
            bump.t.not_swizzled = !c.bump_swizzled;
            video_plane page(320, 240);
            vexil_bumpmap_argb1555(&page.fb, 0.0f, 0, 0, c.sx0, c.sy0, c.sx1, c.sy1, &bump.t, &s.color.t, &s.phong);
        });
        EXPECT_EQ(r.status, 1) << c.message;
        const std::string& stream = c.label ? r.err : r.out;
        EXPECT_NE(stream.find(c.message), std::string::npos) << r.out << r.err;
        if (c.label) {
            EXPECT_NE(crash_site(r.err).find(crash_site(std::string("crash in  at ") + c.label + ":")),
                      std::string::npos)
                << r.err;
        }
    }
}

}  // namespace
