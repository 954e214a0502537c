// The overlay and colour-table scene kinds, each driven through the real
// sequencer with a scripted clock against a small production written with the
// pack writer: what it leaves after its first call, during its window, at its
// end and after its cleanup; and the arguments refused at parse time.
// Each case runs its production in a child process of its own.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/io.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/n3d_asset.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/vexil_fixture.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_scenes_overlay.h"
#include "vexil/vexil_starfield.h"
#include "vexil/vexil_stroke.h"

namespace {

constexpr int OW = 640, OH = 480;
constexpr int S = 22050, E = 44100;  // rows at 1000 .. 2000 ms
constexpr int MID = S + 11025;       // local_t 0.5
constexpr int AFTER = E + 735;       // the first update past the end

// ---- asset records ----------------------------------------------------------

std::string record(const std::function<uint8_t*(uint8_t*)>& store)
{
    std::vector<uint8_t> buf(1 << 20);
    uint8_t* end = store(buf.data());
    return vexil_fixture_asset(std::string(reinterpret_cast<char*>(buf.data()), (size_t)(end - buf.data())));
}

vexil_fixture_payload palette_payload(const std::string& name, int offset, const std::vector<std::array<uint8_t, 4>>& c)
{
    std::vector<uint8_t> bytes;
    for (auto& e : c)
        bytes.insert(bytes.end(), e.begin(), e.end());
    palette p{offset, (int)c.size(), bytes.data()};
    return {name, VEXIL_RSRC_KIND_PALETTE,
            record([&](uint8_t* b) { return palette_io_store(b, &p, IO_ENDIAN_NATIVE); }), 0};
}

// An unswizzled index8 texture without mips, texel (x, y) from f.
struct texture_data {
    n3d_texture t{};
    std::vector<uint8_t> texels, pal = std::vector<uint8_t>(256), shades = std::vector<uint8_t>(256 * 32);
    uint8_t* mips[1];
    texture_data(int w_log2, int h_log2, const std::function<uint8_t(int, int)>& f)
    {
        int w = 1 << w_log2, h = 1 << h_log2;
        texels.resize((size_t)w * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                texels[(size_t)y * w + x] = f(x, y);
        mips[0] = texels.data();
        t.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        t.not_swizzled = 1;
        t.w_log2 = w_log2;
        t.h_log2 = h_log2;
        t.min_u_level = w_log2;
        t.min_v_level = h_log2;
        t.mips = mips;
        t.colors_count = 256;
        t.shades_per_color = 32;
        t.palette = pal.data();
        t.shade_table = shades.data();
    }
};

vexil_fixture_payload texture_payload(const std::string& name, int w_log2, int h_log2,
                                      const std::function<uint8_t(int, int)>& f)
{
    texture_data td(w_log2, h_log2, f);
    return {name, VEXIL_RSRC_KIND_TEXTURE,
            record([&](uint8_t* b) { return n3d_io_texture_store(b, &td.t, IO_ENDIAN_NATIVE); }), 0};
}

vexil_fixture_payload image_payload(const std::string& name, int w, int h, int w_log2, int h_log2,
                                    const std::function<uint8_t(int, int)>& f)
{
    texture_data td(w_log2, h_log2, f);
    vexil_image img{};
    img.w = w;
    img.h = h;
    img.texture = td.t;
    return {name, VEXIL_RSRC_KIND_IMAGE,
            record([&](uint8_t* b) { return vexil_image_store(b, &img, IO_ENDIAN_NATIVE); }), 0};
}

vexil_fixture_payload stencil_payload(const std::string& name, int w, int h, const std::function<int(int, int)>& f)
{
    std::vector<uint32_t> words((size_t)w / 32 * h, 0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (f(x, y))
                words[(size_t)(y * w + x) / 32] |= 0x80000000u >> (x & 31);
    n3d_coveragebuffer cb{words.data(), w, h};
    return {name, VEXIL_RSRC_KIND_STENCIL,
            record([&](uint8_t* b) { return n3d_io_coveragebuffer_store(b, &cb, IO_ENDIAN_NATIVE); }), 0};
}

// 8 x 2: row 0 = 3 pixels of 9, 2 skipped, 3 pixels of 9; row 1 empty.
constexpr int RLE_W = 8, RLE_H = 2;
vexil_fixture_payload rle_payload(const std::string& name)
{
    static uint8_t runs[] = {3, 9, 128, 2, 3, 9, 0};
    vexil_rle_image img{RLE_W, RLE_H, (int)sizeof runs, runs};
    return {name, VEXIL_RSRC_KIND_RLE_IMAGE,
            record([&](uint8_t* b) { return vexil_rle_image_store(b, &img, IO_ENDIAN_NATIVE); }), 0};
}
bool rle_coloured(int x, int y) { return y == 0 && (x < 3 || x >= 5); }

// 64 x 8, index 10 + x % 4, frames f of 4 colours at 10: (50 f + k, 100 + f, 200 - k, 255).
vexil_fixture_payload panim_payload(const std::string& name, int frames)
{
    std::vector<uint8_t> image(64 * 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 64; x++)
            image[(size_t)y * 64 + x] = (uint8_t)(10 + x % 4);
    std::vector<std::vector<uint8_t>> colours(frames);
    std::vector<palette> pals(frames);
    for (int f = 0; f < frames; f++) {
        for (int k = 0; k < 4; k++)
            colours[f].insert(colours[f].end(), {(uint8_t)(50 * f + k), (uint8_t)(100 + f), (uint8_t)(200 - k), 255});
        pals[f] = {10, 4, colours[f].data()};
    }
    palette_animation pa{64, 8, frames, image.data(), pals.data()};
    return {name, VEXIL_RSRC_KIND_PALETTE_ANIMATION,
            record([&](uint8_t* b) { return palette_animation_io_store(b, &pa, IO_ENDIAN_NATIVE); }), 0};
}
std::array<uint8_t, 4> panim_colour(int f, int k)
{
    return {(uint8_t)(50 * f + k), (uint8_t)(100 + f), (uint8_t)(200 - k), 255};
}

// Stroke drawing order: 0 in every 16th column, else 1..255.
uint8_t stroke_order(int x, int y) { return x % 16 == 0 ? 0 : (uint8_t)(1 + (x * 4 + y * 9) % 255); }
uint8_t scale_texel(int x, int y) { return (uint8_t)(1 + (x + 16 * y) % 250); }

std::vector<vexil_fixture_payload> common_payloads()
{
    return {
        palette_payload("spal", 100,
                        {{0, 0, 0, 255},
                         {1, 1, 1, 255},
                         {2, 2, 2, 255},
                         {3, 3, 3, 255},
                         {4, 4, 4, 255},
                         {5, 5, 5, 255},
                         {6, 6, 6, 255},
                         {7, 7, 7, 255}}),
        palette_payload("lpal", 32, {{0, 0, 0, 255}, {250, 10, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}}),
        palette_payload("pal3", 40, {{10, 20, 30, 40}, {50, 60, 70, 80}, {90, 100, 110, 120}}),
        rle_payload("rle"),
        texture_payload("tex", 4, 4, scale_texel),
        image_payload("strokeimg", 64, 16, 6, 4, stroke_order),
        image_payload("narrowimg", 48, 16, 6, 4, stroke_order),
        image_payload("flatimg", 64, 0, 6, 4, stroke_order),
        image_payload("icon0", 16, 8, 4, 3, [](int, int) { return (uint8_t)50; }),
        image_payload("icon1", 16, 8, 4, 3, [](int, int) { return (uint8_t)51; }),
        stencil_payload("st", 64, 8, [](int x, int y) { return (x + y) % 3 == 0; }),
        stencil_payload("st0", 64, 16, [](int, int y) { return y == 0; }),
        stencil_payload("st1", 64, 16, [](int x, int) { return x == 0; }),
        stencil_payload("full", OW, OH, [](int, int) { return 1; }),
        panim_payload("panim", 3),
        panim_payload("nopanim", 0),
        vexil_fixture_text("progress.ini", "floats = [ 10 ]\npalettes = [ lpal ]\nimages = [ icon0 icon1 ]\n"
                                           "integers = [ 255 0 0 100 200 200 10 ]\n"),
        vexil_fixture_text("stanim.ini", "floats = [ 2 ]\nstencils = [ st0 st1 ]\nintegers = [ 44 ]\n"),
        vexil_fixture_text("progressfar.ini", "floats = [ 10 ]\npalettes = [ lpal ]\nimages = [ icon0 icon1 ]\n"
                                              "integers = [ 255 0 0 100 200 200 2147483647 ]\n"),
        vexil_fixture_text("stars.ini", "palettes = [ spal ]\nfloats = [ 0 0 ]\nintegers = [ -1 1000 0 7 0 0 ]\n"),
    };
}

// ---- driving the production ----------------------------------------------------

struct prod {
    vexil_fixture_host h;
    vexil* d() { return &h.ds->vexil; }
    uint8_t& px(int x, int y) { return h.video.overlay.b[(size_t)y * h.video.overlay.rowbytes + x]; }
    uint8_t& bb(int i, int x, int y)
    {
        n3d_framebuffer* fb = d()->fc_overlay_backbuffers[i].fb;
        return static_cast<uint8_t*>(fb->b)[(size_t)y * fb->row_bytes + x];
    }
    static int bit(const n3d_coveragebuffer* cb, int x, int y)
    {
        return (cb->u32[(size_t)(y * cb->w + x) / 32] >> (31 - (x & 31))) & 1;
    }
    int cov(int x, int y) { return bit(h.ds->overlay.cb, x, y); }
    void set_cov(int x, int y) { h.ds->overlay.cb->u32[(size_t)(y * OW + x) / 32] |= 0x80000000u >> (x & 31); }
    std::array<uint8_t, 4> clut(int i)
    {
        const uint8_t* p = emulate_valkyrie_overlay_clut.rgba8888 + 4 * i;
        return {p[0], p[1], p[2], p[3]};
    }
    std::array<uint8_t, 4> vclut(int i)
    {
        const uint8_t* p = emulate_valkyrie_video_clut.rgba8888 + 4 * i;
        return {p[0], p[1], p[2], p[3]};
    }
    vexil_scene* scene(int i) { return &d()->scenes[i]; }
    // kinds: 1 loop pass, 2 vertical blank, 3 both (loop pass first).
    void at(int pos, int kinds = 3)
    {
        vexil_audio_position.store(pos);
        if (kinds & 1)
            vexil_fixture_update(&h, 0);
        if (kinds & 2)
            vexil_fixture_update(&h, 1);
    }
};

std::string sequence(const std::vector<std::string>& rows)
{
    std::string s = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n";
    for (auto& r : rows)
        s += r + "\n";
    return s;
}

// A row over [start_ms, end_ms).
std::string row(int start_ms, int end_ms, const std::string& func_and_args, int prep_ms = 0)
{
    return "abs,prev," + std::to_string(start_ms) + "," + std::to_string(prep_ms) + ",abs,prev," +
           std::to_string(end_ms) + "," + func_and_args;
}

struct step {
    int pos;
    int kinds;
    const char* when;
    std::function<void(prod&)> check;
};

struct scene_case {
    const char* name;
    std::vector<std::string> rows;
    std::vector<step> steps;
    std::function<void(prod&)> setup = nullptr;
};

// Failures recorded so far in the running test; a child inherits the parent's.
int failed_parts()
{
    const testing::TestResult* r = testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); i++)
        n += r->GetTestPartResult(i).failed();
    return n;
}

captured_run run_production(const std::vector<std::string>& rows, const std::function<void(prod&)>& body,
                            const std::vector<vexil_fixture_payload>& more = {})
{
    std::string dir = capture_temp_dir();
    captured_run res = capture_run([&] {
        std::vector<vexil_fixture_payload> pak0 = common_payloads();
        pak0.insert(pak0.end(), more.begin(), more.end());
        pak0.push_back(vexil_fixture_text("sequence.csv", sequence(rows)));
        vexil_fixture_write_production(dir, {pak0});
        const int failed_before = failed_parts();
        prod p;
        vexil_fixture_start(&p.h, dir);
        body(p);
        crash_exit(failed_parts() > failed_before ? 3 : 0);
    });
    vexil_fixture_remove_production(dir);
    rmdir(dir.c_str());
    return res;
}

void run_case(const scene_case& c)
{
    captured_run res = run_production(c.rows, [&](prod& p) {
        if (c.setup)
            c.setup(p);
        for (const step& s : c.steps) {
            p.at(s.pos, s.kinds);
            SCOPED_TRACE(std::string(c.name) + ": " + s.when);
            s.check(p);
        }
    });
    EXPECT_TRUE(res.exited) << c.name;
    EXPECT_EQ(res.status, 0) << c.name << "\n" << res.out << res.err;
}

int count_overlay(prod& p, const std::function<bool(int, int, uint8_t)>& pred)
{
    int n = 0;
    for (int y = 0; y < OH; y++)
        for (int x = 0; x < OW; x++)
            n += pred(x, y, p.px(x, y));
    return n;
}

// Pixels and coverage of a filled rectangle [x0, x1) x [y0, y1) of the scaled texture.
void expect_scaled(prod& p, int x0, int y0, int x1, int y1, int drawn_rows_parity = -1)
{
    for (int y = y0 - 1; y <= y1; y++)
        for (int x : {x0 - 1, x0, (x0 + x1) / 2, x1 - 1, x1}) {
            bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
            EXPECT_EQ(p.cov(x, y), in) << x << "," << y;
            if (in && (drawn_rows_parity < 0 || (y & 1) == drawn_rows_parity)) {
                // The whole 16x16 texture in 16.16 steps from the rectangle's first pixel.
                uint32_t du = (uint32_t)lroundf(16.0f / (float)(x1 - x0) * 65536.0f);
                uint32_t dv = (uint32_t)lroundf(16.0f / (float)(y1 - y0) * 65536.0f);
                int u = (int)(((uint32_t)(x - x0) * du) >> 16), v = (int)(((uint32_t)(y - y0) * dv) >> 16);
                EXPECT_EQ(p.px(x, y), scale_texel(u, v)) << x << "," << y;
            }
        }
}

void expect_clut(prod& p, int i, std::array<uint8_t, 4> want, int tolerance = 0)
{
    auto got = p.clut(i);
    for (int k = 0; k < 3; k++)
        EXPECT_NEAR(got[k], want[k], tolerance) << "entry " << i << " channel " << k;
}

void expect_vclut(prod& p, int i, std::array<uint8_t, 4> want, int tolerance = 0)
{
    auto got = p.vclut(i);
    for (int k = 0; k < 3; k++)
        EXPECT_NEAR(got[k], want[k], tolerance) << "entry " << i << " channel " << k;
}

std::array<uint8_t, 4> grey(int i) { return {(uint8_t)i, (uint8_t)i, (uint8_t)i, 255}; }

// The stroke is centred and shifted by (5, -3): its top-left corner.
constexpr int STROKE_X = 5 + (OW / 2 - 32), STROKE_Y = -3 + (OH / 2 - 8);

// Stroke pixels: revealed texels draw_lo..draw_hi show 77, restored ones the
// back buffer's 5, texel 0 and the rest stay 0.
void expect_stroke(prod& p, int revealed_max, int restored_min)
{
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 64; x++) {
            int t = stroke_order(x, y);
            uint8_t want = 0;
            if (t != 0 && t >= restored_min)
                want = 5;
            else if (t != 0 && t <= revealed_max)
                want = 77;
            ASSERT_EQ(p.px(STROKE_X + x, STROKE_Y + y), want) << x << "," << y << " texel " << t;
        }
}

}  // namespace

namespace {

// Each kind through the sequencer, one case a test: what it leaves after its
// first call, during its window, at its end and after its cleanup.
std::vector<scene_case> kind_cases()
{
    static const int thr127 = vexil_stroke_threshold(127), thr191 = vexil_stroke_threshold(191);
    return {
        {"overlay_clear",
         {row(1000, 2000, "overlay_clear,7")},
         {{S, 3, "first call",
           [](prod& p) {
               EXPECT_EQ(count_overlay(p, [](int, int, uint8_t v) { return v != 7; }), 0);
               p.px(5, 5) = 1;
           }},
          {MID, 3, "during", [](prod& p) { EXPECT_EQ(p.px(5, 5), 1); }},
          {AFTER, 3, "after cleanup",
           [](prod& p) {
               EXPECT_EQ(p.px(5, 5), 1);
               EXPECT_EQ(p.px(6, 5), 7);
           }}}},

        {"overlay_backbuffer_clear",
         {row(1000, 2000, "overlay_backbuffer_clear,1,9")},
         {{S - 1, 3, "before", [](prod& p) { EXPECT_EQ(p.bb(1, 0, 0), 0); }},
          {S, 3, "first call",
           [](prod& p) {
               for (int y = 0; y < OH; y += 7)
                   for (int x = 0; x < OW; x += 5) {
                       EXPECT_EQ(p.bb(1, x, y), 9);
                       EXPECT_EQ(p.bb(0, x, y), 0);
                       EXPECT_EQ(p.bb(2, x, y), 0);
                       EXPECT_EQ(p.px(x, y), 0);
                   }
               p.bb(1, 3, 3) = 1;
           }},
          {AFTER, 3, "after cleanup", [](prod& p) { EXPECT_EQ(p.bb(1, 3, 3), 1); }}}},

        {"overlay_stencil_set",
         {row(1000, 2000, "overlay_stencil_set,2,st,32,10")},
         {{S, 3, "first call",
           [](prod& p) {
               n3d_coveragebuffer* slot = &p.d()->overlay_stencils[2];
               for (int y = 0; y < 40; y++)
                   for (int x = 0; x < 128; x++) {
                       bool in = x >= 32 && x < 96 && y >= 10 && y < 18;
                       int want = in ? (x - 32 + y - 10) % 3 == 0 : 1;
                       ASSERT_EQ(prod::bit(slot, x, y), want) << x << "," << y;
                   }
               EXPECT_EQ(prod::bit(&p.d()->overlay_stencils[1], 32, 10), 0);
               p.d()->overlay_stencils[2].u32[(10 * OW + 32) / 32] = 0;
           }},
          {MID, 3, "during: set once only",
           [](prod& p) { EXPECT_EQ(p.d()->overlay_stencils[2].u32[(10 * OW + 32) / 32], 0u); }},
          {AFTER, 3, "after cleanup",
           [](prod& p) {
               EXPECT_EQ(p.d()->overlay_stencils[2].u32[(10 * OW + 32) / 32], 0u);
               EXPECT_EQ(prod::bit(&p.d()->overlay_stencils[2], 32, 11), 0);
               EXPECT_EQ(prod::bit(&p.d()->overlay_stencils[2], 33, 11), 0);
               EXPECT_EQ(prod::bit(&p.d()->overlay_stencils[2], 34, 11), 1);
           }}},
         [](prod& p) { memset(p.d()->overlay_stencils[2].u32, 0xFF, OW * OH / 8); }},

        {"overlay_heal",
         {row(1000, 2000, "overlay_backbuffer_clear,0,5"), row(1000, 2000, "overlay_heal,0")},
         {{S, 3, "first call",
           [](prod& p) {
               EXPECT_EQ(p.bb(0, 10, 3), 5);
               // Drawn this frame: next frame these pixels are dirty and uncovered.
               for (int x = 10; x < 20; x++) {
                   p.px(x, 3) = 99;
                   p.set_cov(x, 3);
               }
               p.px(20, 3) = 99;
           }},
          {MID, 2, "during",
           [](prod& p) {
               for (int x = 10; x < 20; x++)
                   EXPECT_EQ(p.px(x, 3), 5) << x;
               EXPECT_EQ(p.px(20, 3), 99);
               for (int x = 10; x < 20; x++) {
                   p.px(x, 4) = 98;
                   p.set_cov(x, 4);
               }
           }},
          {AFTER, 3, "after the end", [](prod& p) { EXPECT_EQ(p.px(10, 4), 98); }}}},

        {"overlay_rle_image",
         {row(1000, 2000, "overlay_rle_image,rle,0,0,10,20,110,120")},
         {{S, 3, "first call at the start position",
           [](prod& p) {
               for (int y = 0; y < RLE_H; y++)
                   for (int x = 0; x < RLE_W; x++)
                       EXPECT_EQ(p.px(10 + x, 20 + y), rle_coloured(x, y) ? 9 : 0) << x << "," << y;
           }},
          {MID, 3, "drawn once only",
           [](prod& p) {
               EXPECT_EQ(p.px(60, 70), 0);
               p.px(10, 20) = 1;
           }},
          {AFTER, 3, "after cleanup",
           [](prod& p) {
               EXPECT_EQ(p.px(10, 20), 1);
               EXPECT_EQ(p.px(110, 120), 0);
           }}}},

        {"overlay_rle_image zero duration",
         {row(1000, 1000, "overlay_rle_image,rle,0,0,10,20,110,120")},
         {{S, 3, "the end position at once",
           [](prod& p) {
               EXPECT_EQ(p.px(10, 20), 0);
               EXPECT_EQ(p.px(110, 120), 9);
               EXPECT_EQ(p.px(113, 120), 0);
               EXPECT_EQ(p.px(115, 120), 9);
           }}}},

        // Loop passes come many times per vertical blank: the loop pass's cleanup
        // of a short row can come before the vertical blank's only call.
        {"overlay_rle_image late vertical blank",
         {row(1000, 1000, "overlay_rle_image,rle,0,0,10,20,110,120")},
         {{S, 1, "loop-pass call", [](prod& p) { EXPECT_EQ(p.px(110, 120), 0); }},
          {S + 1, 1, "loop-pass cleanup", [](prod& p) { EXPECT_EQ(p.scene(0)->is_cleanup, 1); }},
          {S + 2, 2, "the vertical blank still draws", [](prod& p) { EXPECT_EQ(p.px(110, 120), 9); }}}},

        {"overlay_rle_image erase",
         {row(1000, 2000, "overlay_rle_image,rle,1,4,10,20,110,120")},
         {{S, 3, "first call",
           [](prod& p) {
               for (int x = 0; x < RLE_W; x++)
                   EXPECT_EQ(p.px(10 + x, 20), rle_coloured(x, 0) ? 4 : 3) << x;
               EXPECT_EQ(p.px(10, 21), 3);
           }}},
         [](prod& p) { memset(p.h.video.overlay.b, 3, OW * OH); }},

        {"overlay_scale",
         {row(1000, 2000, "overlay_scale,tex,0,0,0,16,16,48,48")},
         {{S, 3, "first call: the start size", [](prod& p) { expect_scaled(p, 312, 232, 328, 248); }},
          {MID, 3, "during: half way", [](prod& p) { expect_scaled(p, 304, 224, 336, 256); }},
          {E - 1, 3, "at the end",
           [](prod& p) {
               // 47 wide: centred at 296.5 .. 343.5, pixels 297 .. 342.
               EXPECT_EQ(p.cov(296, 240), 0);
               EXPECT_EQ(p.cov(297, 240), 1);
               EXPECT_EQ(p.cov(342, 240), 1);
               EXPECT_EQ(p.cov(343, 240), 0);
           }},
          {AFTER, 3, "cleanup: the end size", [](prod& p) { expect_scaled(p, 296, 216, 344, 264); }}}},

        {"overlay_scale interlaced",
         {row(1000, 2000, "overlay_scale,tex,1,0,0,32,32,32,32")},
         {{S, 3, "first call: odd rows",
           [](prod& p) {
               expect_scaled(p, 304, 224, 336, 256, 1);
               EXPECT_EQ(p.px(310, 224), 0);
               EXPECT_EQ(p.px(310, 226), 0);
           }},
          {S + 735, 3, "next frame: even rows too", [](prod& p) { expect_scaled(p, 304, 224, 336, 256); }}}},

        {"overlay_scale zero duration",
         {row(1000, 1000, "overlay_scale,tex,0,0,0,16,16,48,48")},
         {{S, 3, "the end size at once", [](prod& p) { expect_scaled(p, 296, 216, 344, 264); }}}},

        // Sizes whose difference leaves the int range: the first call's size is
        // w0, negative, so nothing is drawn.
        {"overlay_scale with extreme sizes",
         {row(1000, 2000, "overlay_scale,tex,0,0,0,-2147483648,16,2147483647,16")},
         {{S, 3, "nothing drawn",
           [](prod& p) {
               EXPECT_EQ(count_overlay(p, [&](int x, int y, uint8_t v) { return v != 0 || p.cov(x, y); }), 0);
           }}}},

        {"overlay_scale zero size",
         {row(1000, 2000, "overlay_scale,tex,0,0,0,0,0,0,0")},
         {{MID, 3, "nothing drawn",
           [](prod& p) {
               EXPECT_EQ(count_overlay(p, [&](int x, int y, uint8_t v) { return v != 0 || p.cov(x, y); }), 0);
           }}}},

        {"overlay_stroke",
         {row(1000, 4000, "overlay_stroke,0,strokeimg,1.0,1.0,77,0,5,-3")},
         {{S, 3, "first call: frame 0 draws nothing", [](prod& p) { expect_stroke(p, 0, 256); }},
          {MID, 3, "drawing",
           [&](prod& p) {
               expect_stroke(p, thr127, 256);
               EXPECT_EQ(p.cov(STROKE_X + 1, STROKE_Y), stroke_order(1, 0) <= thr127);
           }},
          {S + 33075, 3, "hold: the full reveal",
           [](prod& p) {
               expect_stroke(p, 255, 256);
               EXPECT_EQ(p.cov(STROKE_X + 1, STROKE_Y), 1);
               EXPECT_EQ(p.cov(STROKE_X, STROKE_Y), 0);
           }},
          {S + 55125, 3, "erasing", [&](prod& p) { expect_stroke(p, 255, thr127); }},
          {4 * S - 1, 3, "at the end: nearly erased",
           [](prod& p) { expect_stroke(p, 255, vexil_stroke_threshold((int)stroke_frame(2.99995f, 1, 1, 1))); }},
          {4 * S + 735, 3, "cleanup erases the whole stroke", [](prod& p) { expect_stroke(p, 0, 0); }}},
         [](prod& p) { memset(p.d()->fc_overlay_backbuffers[0].fb->b, 5, OW * OH); }},

        // Positions beyond the int range saturate: the stroke lies off the overlay.
        {"overlay_stroke far off",
         {row(1000, 4000, "overlay_stroke,0,strokeimg,1.0,1.0,77,0,2147483647,0")},
         {{S + 33075, 3, "nothing drawn",
           [](prod& p) { EXPECT_EQ(count_overlay(p, [](int, int, uint8_t v) { return v != 0; }), 0); }}}},

        {"overlay_stroke without hold",
         {row(1000, 2500, "overlay_stroke,0,strokeimg,1.0,1.0,77,0,5,-3")},
         {{S + 22050, 3, "drawn", [](prod& p) { expect_stroke(p, 255, 256); }},
          {S + 27563, 3, "erasing right after drawing", [&](prod& p) { expect_stroke(p, 255, thr191); }}},
         [](prod& p) { memset(p.d()->fc_overlay_backbuffers[0].fb->b, 5, OW * OH); }},

        {"overlay_starfield",
         {row(1000, 2000, "overlay_starfield,-1,0,1000,spal,0.3,-0.2,0,7,4,-6")},
         {{S, 3, "first call: 1024 stars in the palette range",
           [](prod& p) {
               vexil_starfield* sf = p.scene(0)->state.starfield;
               ASSERT_NE(sf, nullptr);
               EXPECT_EQ(sf->stars_count_log2, 10);
               EXPECT_EQ(sf->offset_x, 4);
               EXPECT_EQ(sf->offset_y, -6);
               EXPECT_FLOAT_EQ(sf->camera.yaw, 0.3f);
               EXPECT_FLOAT_EQ(sf->camera.pitch, -0.2f);
               EXPECT_EQ(sf->palette_brightness_first, 0);
               EXPECT_EQ(sf->palette_brightness_last, 7);
               EXPECT_EQ(sf->light, nullptr);
               int drawn = count_overlay(p, [](int, int, uint8_t v) { return v != 0; });
               EXPECT_GT(drawn, 100);
               EXPECT_EQ(count_overlay(p, [](int, int, uint8_t v) { return v != 0 && (v < 100 || v > 107); }), 0);
               EXPECT_EQ(count_overlay(p, [&](int x, int y, uint8_t v) { return (v != 0) != (p.cov(x, y) != 0); }), 0);
           }},
          {MID, 3, "during: the camera has flown on",
           [](prod& p) {
               EXPECT_FLOAT_EQ(p.scene(0)->state.starfield->camera.z, 0.4f);
               EXPECT_GT(count_overlay(p, [&](int x, int y, uint8_t) { return p.cov(x, y) != 0; }), 100);
           }},
          {E - 1, 3, "at the end", [](prod& p) { EXPECT_NEAR(p.scene(0)->state.starfield->camera.z, 0.8f, 1e-4); }},
          {AFTER, 3, "after cleanup nothing is drawn",
           [](prod& p) { EXPECT_EQ(count_overlay(p, [&](int x, int y, uint8_t) { return p.cov(x, y) != 0; }), 0); }}}},

        {"overlay_starfield from an ini file, without a light image",
         {row(1000, 2000, "overlay_starfield,@stars.ini")},
         {{S, 3, "drawn",
           [](prod& p) {
               EXPECT_EQ(p.scene(0)->state.starfield->light, nullptr);
               EXPECT_GT(count_overlay(p, [](int, int, uint8_t v) { return v != 0; }), 100);
           }}}},

        {"overlay_starfield masked",
         {row(1000, 2000, "overlay_stencil_set,0,full,0,0"),
          row(1000, 2000, "overlay_starfield,0,0,1000,spal,0,0,0,7,0,0")},
         {{MID, 3, "no star shows through the mask",
           [](prod& p) {
               EXPECT_EQ(count_overlay(p, [](int, int, uint8_t v) { return v != 0; }), 0);
               EXPECT_EQ(p.scene(1)->state.starfield->cb_mask, &p.d()->overlay_stencils[0]);
           }}}},

        {"overlay_clut_set1_pulsate",
         {row(1000, 2000, "overlay_clut_set1_pulsate,5,1.0,0.0,255,0,0,0,0,255")},
         {{S, 3, "first call: half way in linear light",
           [](prod& p) {
               expect_clut(p, 5, {187, 0, 187, 0}, 1);
           }},
          {S + 5513, 3, "a quarter period: the second colour",
           [](prod& p) {
               expect_clut(p, 5, {0, 0, 255, 0}, 1);
           }},
          {S + 16538, 3, "three quarters: the first colour",
           [](prod& p) {
               expect_clut(p, 5, {255, 0, 0, 0}, 1);
               expect_clut(p, 4, grey(4));
               expect_clut(p, 6, grey(6));
           }},
          {AFTER, 3, "cleanup leaves it",
           [](prod& p) {
               expect_clut(p, 5, {255, 0, 0, 0}, 1);
           }}}},

        // hz and phase apart: the sine runs over local_t x hz + phase.
        {"overlay_clut_set1_pulsate with a phase",
         {row(1000, 2000, "overlay_clut_set1_pulsate,5,2.0,0.125,255,0,0,0,0,255")},
         {{S, 3, "first call: s = 0.854",
           [](prod& p) {
               expect_clut(p, 5, {107, 0, 238, 0}, 1);
           }},
          {S + 5513, 3, "a quarter second: s = 0.146",
           [](prod& p) {
               expect_clut(p, 5, {238, 0, 107, 0}, 1);
           }}}},

        {"overlay_clut_fade_to_color",
         {row(1000, 2000, "overlay_clut_fade_to_color,16,4,255,255,255")},
         {{S, 3, "first call captures", [](prod& p) { expect_clut(p, 16, grey(16)); }},
          {S + 9923, 3, "half way at 45 %",
           [](prod& p) {
               expect_clut(p, 16, grey((255 + 16) / 2), 1);
               expect_clut(p, 19, grey((255 + 19) / 2), 1);
           }},
          {S + 19845, 3, "complete at 90 %",
           [](prod& p) {
               expect_clut(p, 16, grey(255));
               expect_clut(p, 19, grey(255));
               expect_clut(p, 15, grey(15));
               expect_clut(p, 20, grey(20));
           }},
          {S + 20948, 3, "held", [](prod& p) { expect_clut(p, 17, grey(255)); }},
          {AFTER, 3, "after cleanup", [](prod& p) { expect_clut(p, 18, grey(255)); }}}},

        {"overlay_clut_fade_to_color zero duration",
         {row(1000, 1000, "overlay_clut_fade_to_color,16,4,255,0,0")},
         {{S, 3, "captured", [](prod& p) { expect_clut(p, 16, grey(16)); }},
          {S + 735, 3, "the end state",
           [](prod& p) {
               expect_clut(p, 16, {255, 0, 0, 0});
           }}}},

        {"overlay_clut_set",
         {row(1000, 2000, "overlay_clut_set,pal3")},
         {{S, 3, "first call",
           [](prod& p) {
               EXPECT_EQ(p.clut(40), (std::array<uint8_t, 4>{10, 20, 30, 40}));
               EXPECT_EQ(p.clut(42), (std::array<uint8_t, 4>{90, 100, 110, 120}));
               EXPECT_EQ(p.clut(39), grey(39));
               EXPECT_EQ(p.clut(43), grey(43));
               const uint8_t black[4] = {0, 0, 0, 255};
               p.h.video.set_overlay_palette_func(&p.h.video, 41, 1, black);
           }},
          {MID, 3, "during: written once only", [](prod& p) { EXPECT_EQ(p.clut(41)[1], 0); }},
          {AFTER, 3, "after cleanup",
           [](prod& p) {
               EXPECT_EQ(p.clut(41)[1], 0);
               EXPECT_EQ(p.clut(40), (std::array<uint8_t, 4>{10, 20, 30, 40}));
           }}}},

        {"video_clut_reset",
         {row(1000, 2000, "video_clut_reset")},
         {{S, 2, "vertical blank: nothing yet", [](prod& p) { EXPECT_EQ(p.vclut(3)[1], 0); }},
          {S + 1, 1, "first loop pass",
           [](prod& p) {
               EXPECT_EQ(p.vclut(3), grey(3));
               const uint8_t red[4] = {255, 0, 0, 255};
               p.h.video.set_video_palette_func(&p.h.video, 3, 1, red);
           }},
          {MID, 3, "during: once only",
           [](prod& p) {
               EXPECT_EQ(p.vclut(3)[0], 255);
               EXPECT_EQ(p.vclut(3)[1], 0);
           }},
          {AFTER, 3, "after cleanup", [](prod& p) { EXPECT_EQ(p.vclut(3)[1], 0); }}},
         [](prod& p) {
             const uint8_t red[4] = {255, 0, 0, 255};
             p.h.video.set_video_palette_func(&p.h.video, 3, 1, red);
         }},

        {"video_clut_fade_to_color",
         {row(1000, 2000, "video_clut_fade_to_color,0,8,255,0,0")},
         {{S, 3, "first call captures", [](prod& p) { expect_vclut(p, 4, grey(4)); }},
          {MID, 3, "half way",
           [](prod& p) {
               expect_vclut(p, 4, {(255 + 4) / 2, 2, 2, 0}, 1);
           }},
          {E - 1, 3, "at the row's end",
           [](prod& p) {
               expect_vclut(p, 4, {255, 0, 0, 0}, 1);
           }},
          {AFTER, 3, "cleanup repeats the last time",
           [](prod& p) {
               expect_vclut(p, 4, {255, 0, 0, 0}, 1);
               expect_vclut(p, 8, grey(8));
           }}}},

        {"video_clut_fade_to_color zero duration",
         {row(1000, 1000, "video_clut_fade_to_color,0,8,255,0,0")},
         {{S, 3, "captured", [](prod& p) { expect_vclut(p, 4, grey(4)); }},
          {S + 735, 3, "the end state",
           [](prod& p) {
               expect_vclut(p, 4, {255, 0, 0, 0});
           }}}},

        {"overlay_load_progress",
         {row(0, 2000, "overlay_load_progress,@progress.ini")},
         {{0, 3, "first call: palette written, icon at the bar's start",
           [](prod& p) {
               EXPECT_EQ(p.clut(33), (std::array<uint8_t, 4>{250, 10, 0, 255}));
               EXPECT_EQ(p.px(100, 200), 50);
               EXPECT_EQ(p.px(99, 200), 0);
           }},
          {S, 3, "half way: the bar grows, icon 0 rides on it",
           [](prod& p) {
               // icon_x0 = mix(100, 100 + 200 - 16, 0.5) = 192; best match of red is entry 1.
               EXPECT_EQ(p.px(150, 205), 33);
               EXPECT_EQ(p.px(150, 209), 33);
               EXPECT_EQ(p.px(150, 210), 0);
               EXPECT_EQ(p.px(192, 200), 50);
               EXPECT_EQ(p.px(208, 200), 0);
           }},
          {24255, 3, "at 1.1 s icon frame 11 mod 2",
           [](prod& p) {
               EXPECT_EQ(p.px(195, 205), 33);
               EXPECT_EQ(p.px(201, 200), 51);
           }},
          {E - 1, 3, "at the end: the icon at the bar's end",
           [](prod& p) {
               // icon_x0 = (int) mix(100, 284, 44099 / 44100) = 283
               EXPECT_EQ(p.px(282, 205), 33);
               EXPECT_TRUE(p.px(283, 200) == 50 || p.px(283, 200) == 51);
               EXPECT_EQ(p.px(299, 200), 0);
           }},
          {AFTER, 3, "after cleanup the bar stays",
           [](prod& p) {
               p.px(290, 200) = 7;
               EXPECT_EQ(p.px(150, 205), 33);
           }},
          {AFTER + 735, 3, "and nothing more is drawn", [](prod& p) { EXPECT_EQ(p.px(290, 200), 7); }}}},

        {"overlay_load_progress with a bar reaching past the int range",
         {row(0, 2000, "overlay_load_progress,@progressfar.ini")},
         {{S, 3, "the bar fills down to the overlay's last row",
           [](prod& p) {
               EXPECT_EQ(p.px(150, 200), 33);
               EXPECT_EQ(p.px(150, OH - 1), 33);
               EXPECT_EQ(p.px(99, OH - 1), 0);
           }}}},

        {"overlay_load_progress row ending at 0",
         {row(0, 0, "overlay_load_progress,@progress.ini")},
         {{0, 3, "palette but no bar",
           [](prod& p) {
               EXPECT_EQ(p.clut(33), (std::array<uint8_t, 4>{250, 10, 0, 255}));
               EXPECT_EQ(count_overlay(p, [](int, int, uint8_t v) { return v != 0; }), 0);
           }}}},

        {"overlay_stencil_animation",
         {row(1000, 2000, "overlay_stencil_animation,@stanim.ini")},
         {{S, 3, "first call: frame 0 at dy 0",
           [](prod& p) {
               for (int x = 0; x < 64; x++) {
                   EXPECT_EQ(p.px(x, 0), 44);
                   EXPECT_EQ(p.cov(x, 0), 1);
               }
               EXPECT_EQ(p.px(64, 0), 0);
               EXPECT_EQ(p.px(0, 1), 0);
           }},
          {S + 5513, 3, "a quarter second: 9 pixels down",
           [](prod& p) {
               EXPECT_EQ(p.px(10, 9), 44);
               EXPECT_EQ(p.cov(10, 9), 1);
               EXPECT_EQ(p.cov(10, 0), 0);
           }},
          {MID, 3, "half a second: frame 1 back at dy 0",
           [](prod& p) {
               for (int y = 0; y < 16; y++) {
                   EXPECT_EQ(p.px(0, y), 44);
                   EXPECT_EQ(p.cov(0, y), 1);
               }
               EXPECT_EQ(p.cov(10, 0), 0);
           }},
          {AFTER, 3, "after the end nothing is drawn", [](prod& p) { EXPECT_EQ(p.cov(0, 0), 0); }}}},

        {"load_async",
         {row(0, 5000, "load_async,LATE"), row(3000, 4000, "overlay_clear,1"), row(3000, 4000, "overlay_clut_set,pal3"),
          "LATE:", row(3000, 4000, "overlay_clear,2")},
         {{0, 1, "first call",
           [](prod& p) {
               EXPECT_EQ(p.scene(1)->loaded, 0);
               EXPECT_EQ(p.scene(0)->completed_prepare, 0);
           }},
          {0, 2, "second call",
           [](prod& p) {
               EXPECT_EQ(p.scene(1)->loaded, 1);
               EXPECT_EQ(p.scene(2)->loaded, 0);
           }},
          {0, 1, "third call",
           [](prod& p) {
               EXPECT_EQ(p.scene(2)->loaded, 1);
               EXPECT_EQ(p.scene(0)->completed_prepare, 0);
           }},
          {0, 2, "nothing left",
           [](prod& p) {
               EXPECT_EQ(p.scene(0)->completed_prepare, 1);
               EXPECT_EQ(p.scene(3)->loaded, 0);
           }}}},
    };
}

// A test name from a case name: letters and digits, the rest as underscores.
std::string case_test_name(const char* name)
{
    std::string r;
    for (const char* p = name; *p; p++)
        r += isalnum((unsigned char)*p) ? *p : '_';
    return r;
}

void PrintTo(const scene_case& c, std::ostream* os) { *os << c.name; }

class ScenesOverlayKind : public testing::TestWithParam<scene_case> {};

}  // namespace

TEST_P(ScenesOverlayKind, ThroughTheSequencer) { run_case(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Each, ScenesOverlayKind, testing::ValuesIn(kind_cases()),
                         [](const testing::TestParamInfo<scene_case>& i) { return case_test_name(i.param.name); });

// Palette animation: the image is blitted into its back buffer a row per
// loop-pass prepare call under a budget, drawn into the overlay on the first
// vertical blank, then the frames are played by colour table in each mode.
TEST(ScenesOverlay, PaletteAnimation)
{
    // Frames shown at local times 0.1 k + 0.045 s (10 fps) for k = 1, 2, 3, 5, 6.
    const struct {
        int mode;
        int frames[5];
    } modes[] = {
        {0, {1, 2, 0, 2, 0}},  // loop
        {1, {1, 2, 2, 2, 2}},  // once, hold the last
        {2, {1, 0, 0, 0, 0}},  // backwards once, hold the first
        {3, {1, 2, 1, 0, 0}},  // forward then backward; the period's last step shows frame 0
        {7, {0, 0, 0, 0, 0}},  // unknown: frame 0
    };
    const int ks[5] = {1, 2, 3, 5, 6};
    for (const auto& m : modes) {
        std::string args = "overlay_palette_animation,2,panim," + std::to_string(m.mode) + ",10";
        captured_run res = run_production({row(1000, 3000, args, 500)}, [&](prod& p) {
            cpu_cycles_per_second = 2000;  // a budget of one cycle: one row per call
            for (int i = 0; i < 3; i++)
                p.at(S - 11025 + i, 1);
            EXPECT_EQ(p.scene(0)->work_prepared, 3);
            EXPECT_EQ(p.scene(0)->completed_prepare, 0);
            EXPECT_EQ(p.bb(2, 5, 2), 10 + 5 % 4);
            EXPECT_EQ(p.bb(2, 5, 3), 0);
            p.at(S - 11000, 2);  // vertical-blank prepare calls do nothing
            EXPECT_EQ(p.scene(0)->work_prepared, 3);
            // At the start the run is due: no budget, the rest is blitted at once.
            p.at(S);
            EXPECT_EQ(p.scene(0)->completed_prepare, 1);
            EXPECT_EQ(p.bb(2, 63, 7), 13);
            EXPECT_EQ(p.px(6, 4), 12);
            EXPECT_EQ(p.px(64, 0), 0);
            expect_clut(p, 10, grey(10));
            for (int i = 0; i < 5; i++) {
                p.at(S + ks[i] * 2205 + 992);
                SCOPED_TRACE("mode " + std::to_string(m.mode) + " k " + std::to_string(ks[i]));
                for (int k = 0; k < 4; k++)
                    EXPECT_EQ(p.clut(10 + k), panim_colour(m.frames[i], k));
                EXPECT_EQ(emulate_valkyrie_key_color, 0);
            }
        });
        EXPECT_EQ(res.status, 0) << "mode " << m.mode << "\n" << res.out << res.err;
    }
}

// Each check a kind makes on its configuration, with its one message: the same
// text whether the scene was configured from comma-separated arguments or from an
// ini file (or had no arguments at all). The row is on line 2.
struct refusal {
    const char* check;
    const char* func;
    const char* args;  // null: the check has no argument form
    const char* ini;   // null: the check has no ini form
    const char* message;
    const char* label = "src/vexil_scenes";  // the crash line's file; null: no crash line
};

void PrintTo(const refusal& r, std::ostream* os) { *os << r.check; }

const refusal k_refusals[] = {
    {"backbuffer_clear_index", "overlay_backbuffer_clear", "3,9", "integers = [ 3 9 ]",
     "overlay_backbuffer_clear: overlay backbuffer index 3 out of range 0..2 (sequence line 2)\n"},
    {"heal_index", "overlay_heal", "-1", "integers = [ -1 ]",
     "overlay_heal: overlay backbuffer index -1 out of range 0..2 (sequence line 2)\n"},
    {"stroke_index", "overlay_stroke", "4,strokeimg,1,1,77,0,0,0",
     "images = [ strokeimg ]\nfloats = [ 1 1 ]\nintegers = [ 4 77 0 0 0 ]",
     "overlay_stroke: overlay backbuffer index 4 out of range 0..2 (sequence line 2)\n"},
    {"palette_animation_index", "overlay_palette_animation", "3,panim,0,10",
     "palette_animations = [ panim ]\nfloats = [ 10 ]\nintegers = [ 3 0 ]",
     "overlay_palette_animation: overlay backbuffer index 3 out of range 0..2 (sequence line 2)\n"},
    {"stencil_set_index", "overlay_stencil_set", "3,st,0,0", "stencils = [ st ]\nintegers = [ 3 0 0 ]",
     "overlay_stencil_set: overlay stencil index 3 out of range 0..2 (sequence line 2)\n"},
    {"starfield_stencil_index", "overlay_starfield", "-2,0,1000,spal,0,0,0,7,0,0",
     "palettes = [ spal ]\nfloats = [ 0 0 ]\nintegers = [ -2 1000 0 7 0 0 ]",
     "overlay_starfield: overlay stencil index -2 out of range -1 or 0..2 (sequence line 2)\n"},
    {"star_count", "overlay_starfield", "-1,0,0,spal,0,0,0,7,0,0",
     "palettes = [ spal ]\nfloats = [ 0 0 ]\nintegers = [ -1 0 0 7 0 0 ]",
     "overlay_starfield: star count must be at least 1, is 0 (sequence line 2)\n"},
    {"star_capacity", "overlay_starfield", "-1,0,16385,spal,0,0,0,7,0,0",
     "palettes = [ spal ]\nfloats = [ 0 0 ]\nintegers = [ -1 16385 0 7 0 0 ]",
     "overlay_starfield: max stars is set to 16384 (sequence line 2)\n"},
    // Colour indices of the 256-entry overlay table: refused, not masked.
    {"stencil_animation_colour", "overlay_stencil_animation", nullptr,
     "floats = [ 2 ]\nstencils = [ st0 ]\nintegers = [ 999 ]",
     "overlay_stencil_animation: colour index 999 out of range 0..255 (sequence line 2)\n"},
    {"clear_colour", "overlay_clear", "256", "integers = [ 256 ]",
     "overlay_clear: colour index 256 out of range 0..255 (sequence line 2)\n"},
    {"backbuffer_clear_colour", "overlay_backbuffer_clear", "0,-1", "integers = [ 0 -1 ]",
     "overlay_backbuffer_clear: colour index -1 out of range 0..255 (sequence line 2)\n"},
    {"stroke_colour", "overlay_stroke", "0,strokeimg,1,1,300,0,0,0",
     "images = [ strokeimg ]\nfloats = [ 1 1 ]\nintegers = [ 0 300 0 0 0 ]",
     "overlay_stroke: colour index 300 out of range 0..255 (sequence line 2)\n"},
    {"rle_erase_colour", "overlay_rle_image", "rle,1,512,0,0,0,0", "rle_images = [ rle ]\nintegers = [ 1 512 0 0 0 0 ]",
     "overlay_rle_image: colour index 512 out of range 0..255 (sequence line 2)\n"},
    {"stroke_height", "overlay_stroke", "0,flatimg,1,1,77,0,0,0",
     "images = [ flatimg ]\nfloats = [ 1 1 ]\nintegers = [ 0 77 0 0 0 ]",
     "overlay_stroke: stroke image \"flatimg\" height must be at least 1, is 0 (sequence line 2)\n"},
    // Speeds, durations and angles must be finite numbers.
    {"stroke_duration_nan", "overlay_stroke", "0,strokeimg,nan,1,77,0,0,0",
     "images = [ strokeimg ]\nfloats = [ nan 1 ]\nintegers = [ 0 77 0 0 0 ]",
     "overlay_stroke: floats[0] is nan, must be a finite number (sequence line 2)\n"},
    {"pulsate_speed_inf", "overlay_clut_set1_pulsate", "5,inf,0,0,0,0,0,0,0",
     "floats = [ inf 0 ]\nintegers = [ 5 0 0 0 0 0 0 ]",
     "overlay_clut_set1_pulsate: floats[0] is inf, must be a finite number (sequence line 2)\n"},
    {"palette_animation_fps_inf", "overlay_palette_animation", "0,panim,0,-inf",
     "palette_animations = [ panim ]\nfloats = [ -inf ]\nintegers = [ 0 0 ]",
     "overlay_palette_animation: floats[0] is -inf, must be a finite number (sequence line 2)\n"},
    {"starfield_yaw_nan", "overlay_starfield", "-1,0,1000,spal,nan,0,0,7,0,0",
     "palettes = [ spal ]\nfloats = [ nan 0 ]\nintegers = [ -1 1000 0 7 0 0 ]",
     "overlay_starfield: floats[0] is nan, must be a finite number (sequence line 2)\n"},
    {"overlay_fade_range", "overlay_clut_fade_to_color", "250,10,0,0,0", "integers = [ 250 10 0 0 0 ]",
     "overlay_clut_fade_to_color: colour table range offset 250 count 10 does not fit the 256 entries (sequence "
     "line 2)\n"},
    {"video_fade_range", "video_clut_fade_to_color", "-1,4,0,0,0", "integers = [ -1 4 0 0 0 ]",
     "video_clut_fade_to_color: colour table range offset -1 count 4 does not fit the 256 entries (sequence line "
     "2)\n"},
    {"pulsate_index", "overlay_clut_set1_pulsate", "256,1,0,0,0,0,0,0,0",
     "floats = [ 1 0 ]\nintegers = [ 256 0 0 0 0 0 0 ]",
     "overlay_clut_set1_pulsate: colour table range offset 256 count 1 does not fit the 256 entries (sequence "
     "line 2)\n"},
    {"stroke_offset_mode", "overlay_stroke", "0,strokeimg,1,1,77,1,0,0",
     "images = [ strokeimg ]\nfloats = [ 1 1 ]\nintegers = [ 0 77 1 0 0 ]",
     "overlay_stroke: offset_mode 1 is not supported, only 0 (sequence line 2)\n"},
    {"stroke_width", "overlay_stroke", "0,narrowimg,1,1,77,0,0,0",
     "images = [ narrowimg ]\nfloats = [ 1 1 ]\nintegers = [ 0 77 0 0 0 ]",
     "overlay_stroke: stroke image \"narrowimg\" width must be a multiple of 32, is 48 (sequence line 2)\n"},
    {"palette_animation_frames", "overlay_palette_animation", "0,nopanim,0,10",
     "palette_animations = [ nopanim ]\nfloats = [ 10 ]\nintegers = [ 0 0 ]",
     "overlay_palette_animation: palette animation \"nopanim\" has no palette frames (sequence line 2)\n"},
    // What each kind needs from its arrays, checked after either path.
    {"load_progress_images", "overlay_load_progress", nullptr,
     "floats = [ 10 ]\npalettes = [ lpal ]\nintegers = [ 255 0 0 100 200 200 10 ]",
     "overlay_load_progress: needs at least 1 images, has 0 (sequence line 2)\n"},
    {"stencil_animation_stencils", "overlay_stencil_animation", nullptr, "floats = [ 2 ]\nintegers = [ 44 ]",
     "overlay_stencil_animation: needs at least 1 stencils, has 0 (sequence line 2)\n"},
    {"scale_integers", "overlay_scale", nullptr, "textures = [ tex ]\nintegers = [ 0 0 ]",
     "overlay_scale: needs at least 7 integers, has 2 (sequence line 2)\n"},
    {"clear_integers", "overlay_clear", "", "scene_name = bare",
     "overlay_clear: needs at least 1 integers, has 0 (sequence line 2)\n"},
};

// One test per check and path.
struct refusal_case {
    const refusal* r;
    int from_ini;
};

void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.r->check << (c.from_ini ? " ini" : " args"); }

std::vector<refusal_case> refusal_cases()
{
    std::vector<refusal_case> v;
    for (const refusal& r : k_refusals) {
        if (r.args)
            v.push_back({&r, 0});
        if (r.ini)
            v.push_back({&r, 1});
    }
    return v;
}

class ScenesOverlayRefusal : public testing::TestWithParam<refusal_case> {};

TEST_P(ScenesOverlayRefusal, StopsWithItsMessage)
{
    const refusal& r = *GetParam().r;
    // An empty argument form is a row without arguments.
    std::string func_and_args = std::string(r.func);
    if (GetParam().from_ini)
        func_and_args += ",@refused.ini";
    else if (r.args[0])
        func_and_args += std::string(",") + r.args;
    captured_run res = run_production({row(1000, 2000, func_and_args)},
                                      [](prod& p) {
                                          p.at(S);
                                          p.at(S + 735);
                                      },
                                      {vexil_fixture_text("refused.ini", std::string(r.ini ? r.ini : "") + "\n")});
    EXPECT_TRUE(res.exited);
    EXPECT_EQ(res.status, 1) << res.out << res.err;
    EXPECT_NE((res.out + res.err).find(r.message), std::string::npos) << res.out << res.err;
    if (r.label) {
        EXPECT_NE(crash_site(res.err).find(crash_site(std::string("crash in  at ") + r.label + ":")), std::string::npos)
            << res.err;
    }
}

INSTANTIATE_TEST_SUITE_P(EachCheck, ScenesOverlayRefusal, testing::ValuesIn(refusal_cases()),
                         [](const testing::TestParamInfo<refusal_case>& i) {
                             return std::string(i.param.r->check) + (i.param.from_ini ? "_ini" : "_args");
                         });
