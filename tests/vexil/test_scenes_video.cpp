// The video page's scene kinds driven through the real sequencer with a scripted
// clock against a small production written with the pack writer (a tunnel map,
// bump-map textures and stencil, a background, an animated datapack with its
// camera, sky and head nodes, a greetings font and text): what each leaves on the
// page, the datapack's view against a float projection of its vertices, the free
// camera's key, the mends (background window inside its texture), and the messages
// of the checks. Each case runs in a child process of its own.
#include <gtest/gtest.h>

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
#include "n3d/mad.h"
#include "n3d/n3d.h"
#include "n3d/n3d_asset.h"
#include "raster/n3d_raster.h"
#include "support/capture.h"
#include "support/test_arena.h"
#include "support/vexil_fixture.h"
#include "support/video_texture.h"
#include "target/n3d_framebuffer.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_bumpmap.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scenes_video.h"
#include "vexil/vexil_tunnel_func.h"

namespace {

constexpr int PW = 320, PH = 240;
constexpr int S = 22050;  // rows start at 1000 ms

std::string record(const std::function<uint8_t*(uint8_t*)>& store)
{
    std::vector<uint8_t> buf(1 << 21);
    uint8_t* end = store(buf.data());
    return vexil_fixture_asset(std::string(reinterpret_cast<char*>(buf.data()), (size_t)(end - buf.data())));
}

vexil_fixture_payload texture_payload(const std::string& name, int format, int w_log2, int h_log2,
                                      const std::function<uint32_t(int, int)>& f)
{
    video_texture vt(format, w_log2, h_log2, f);
    vt.palette.assign(256, 0);
    for (int i = 0; i < 256; i++)
        vt.palette[i] = (uint16_t)(0x8000u | (i & 31) << 10 | ((i >> 3) & 31) << 5 | 12);
    return {name, VEXIL_RSRC_KIND_TEXTURE,
            record([&](uint8_t* b) { return n3d_io_texture_store(b, &vt.t, IO_ENDIAN_NATIVE); }), 0};
}

// A swizzled texture of one texel value everywhere (the rasterizers' layout; with
// one value the order of the texels does not matter).
vexil_fixture_payload uniform_swizzled_payload(const std::string& name, int format, int log2, uint32_t value)
{
    video_texture vt(format, log2, log2, [&](int, int) { return value; });
    for (int i = 0; i < 256; i++)
        vt.palette[i] = (uint16_t)(0x8000u | (i & 31) << 10 | ((i >> 3) & 31) << 5 | 12);
    int bpp = format == 2 ? 2 : 1;
    vt.texels.resize(n3d_mipmap_size(format, 1, log2, log2));
    for (size_t i = 0; i < vt.texels.size(); i += (size_t)bpp)
        memcpy(&vt.texels[i], &value, (size_t)bpp);
    vt.mips[0] = vt.texels.data();
    vt.t.not_swizzled = 0;
    return {name, VEXIL_RSRC_KIND_TEXTURE,
            record([&](uint8_t* b) { return n3d_io_texture_store(b, &vt.t, IO_ENDIAN_NATIVE); }), 0};
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

// 'a'..'z', each a 4x6 block of full alpha with its top-left at the pen.
vexil_fixture_payload font_payload()
{
    static std::vector<uint8_t> alpha(24, 255);
    static std::vector<uint32_t> words(6, 0xF0000000u);
    std::vector<fontbitmap_glyph> glyphs(26);
    for (auto& g : glyphs) {
        g.w = 4, g.h = 6, g.xoff = 0, g.yoff = 0, g.xadvance = 5;
        g.alpha = alpha.data();
        g.cb = n3d_coveragebuffer{words.data(), 32, 6};
    }
    fontbitmap f{'a', 'z', 26, glyphs.data()};
    return {"greetings.fnt", VEXIL_RSRC_KIND_FONT,
            record([&](uint8_t* b) { return fontbitmap_io_store(b, &f, IO_ENDIAN_NATIVE); }), 0};
}

// ---- the datapack ----------------------------------------------------------------

// A square of half size h in the z = 0 plane of its node, facing +z.
struct square {
    std::vector<float> xyz, uv, n, t, b;
    explicit square(float h)
    {
        const float c[6][2] = {{-h, -h}, {h, -h}, {h, h}, {-h, -h}, {h, h}, {-h, h}};
        for (auto& p : c) {
            xyz.insert(xyz.end(), {p[0], p[1], 0.0f});
            uv.insert(uv.end(), {p[0] > 0 ? 0.99f : 0.01f, p[1] > 0 ? 0.99f : 0.01f});
            n.insert(n.end(), {0, 0, 1});
            t.insert(t.end(), {1, 0, 0});
            b.insert(b.end(), {0, 1, 0});
        }
    }
    n3d_vertices vertices()
    {
        n3d_vertices v{};
        v.count = 6;
        v.xyz = xyz.data(), v.uv = uv.data(), v.n_xyz = n.data(), v.t_xyz = t.data(), v.b_xyz = b.data();
        return v;
    }
};

// Where things stand in world space (the animations keep them there).
constexpr float OBJ_Z = -3.0f, OBJ_HALF = 1.0f;
constexpr float HEAD_X = 1.6f, HEAD_HALF = 0.2f;
constexpr float CAM_Z = 2.0f, CAM_YFOV = 0.9f, CAM_ZNEAR = 0.5f;
constexpr uint16_t SKY_COLOR = 0x801F;

struct pack_source {
    square obj{OBJ_HALF}, head{HEAD_HALF}, sky;
    mad_node nodes[5]{};
    mad_mesh meshes[3]{};
    mad_primitive prims[3]{};
    mad_image images[2]{};
    mad_material materials[2]{};
    mad_camera cam{};
    float times[2] = {0, 10};
    float obj_at[6] = {0, 0, OBJ_Z, 0, 0, OBJ_Z};
    float head_at[6] = {HEAD_X, 0, OBJ_Z, HEAD_X, 0, OBJ_Z};
    mad_sampler samplers[2]{};
    mad_channel channels[2]{};
    mad_animation anims[2]{};
    char names[9][8] = {"obj", "cam", "sky", "head", "spare", "objtex", "skytex", "move", "nod"};
    mad_datapack dp{};
    // The sky square's half size 300 fills the view; a small one leaves the
    // page's pixels around it as they were.
    explicit pack_source(float sky_half = 300.0f) : sky(sky_half)
    {
        prims[0].vertices = obj.vertices();
        prims[1].vertices = head.vertices();
        prims[2].vertices = sky.vertices();
        images[0].name = names[5];
        images[1].name = names[6];
        materials[0].base_color_image = &images[0];
        materials[1].base_color_image = &images[1];
        prims[0].material = prims[1].material = &materials[0];
        prims[2].material = &materials[1];
        for (int i = 0; i < 3; i++)
            meshes[i] = mad_mesh{1, &prims[i]};
        for (int i = 0; i < 5; i++) {
            nodes[i].name = names[i];
            vec3_set(nodes[i].scale, 1, 1, 1);
            vec4_set(nodes[i].rotation, 0, 0, 0, 1);
        }
        nodes[0].mesh = &meshes[0];
        nodes[1].camera = &cam;
        vec3_set(nodes[1].translation, 0, 0, CAM_Z);
        nodes[2].mesh = &meshes[2];
        vec3_set(nodes[2].translation, 0, 0, -20.0f);  // 60 units across once scaled by 0.2
        nodes[3].mesh = &meshes[1];
        cam.znear = CAM_ZNEAR, cam.zfar = 100, cam.yfov = CAM_YFOV, cam.aspect_ratio = 4.0f / 3.0f;
        samplers[0] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 6, times, obj_at};
        samplers[1] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 6, times, head_at};
        channels[0] = mad_channel{&nodes[0], &samplers[0], MAD_ATTRIBUTE_TRANSLATION};
        channels[1] = mad_channel{&nodes[3], &samplers[1], MAD_ATTRIBUTE_TRANSLATION};
        anims[0] = mad_animation{names[7], 1, &samplers[0], 1, &channels[0]};
        anims[1] = mad_animation{names[8], 1, &samplers[1], 1, &channels[1]};
        dp.nodes_count = 5, dp.nodes = nodes;
        dp.meshes_count = 3, dp.meshes = meshes;
        dp.cameras_count = 1, dp.cameras = &cam;
        dp.animations_count = 2, dp.animations = anims;
        dp.images_count = 2, dp.images = images;
        dp.materials_count = 2, dp.materials = materials;
    }
};

vexil_fixture_payload madpack_payload(const char* name = "pack", float sky_half = 300.0f,
                                      const std::function<void(pack_source&)>& damage = nullptr)
{
    pack_source src(sky_half);
    if (damage)
        damage(src);
    return {name, VEXIL_RSRC_KIND_MADPACK,
            record([&](uint8_t* b) { return mad_datapack_store(b, &src.dp, IO_ENDIAN_NATIVE); }), 0};
}

// Datapacks each damaged in one way, for the checks made when a row's scene is loaded.
std::vector<vexil_fixture_payload> damaged_madpack_payloads()
{
    const float nan = std::nanf("");
    return {
        madpack_payload("nearnan", 300.0f, [&](pack_source& p) { p.cam.znear = nan; }),
        madpack_payload("nearsmall", 300.0f, [](pack_source& p) { p.cam.znear = 0.2f; }),
        madpack_payload("fovnan", 300.0f, [&](pack_source& p) { p.cam.yfov = nan; }),
        madpack_payload("movednan", 300.0f, [&](pack_source& p) { p.nodes[1].translation[1] = nan; }),
        // The first animation moves the camera to a position that is not a number.
        madpack_payload("animnan", 300.0f,
                        [&](pack_source& p) {
                            p.channels[0].node = &p.nodes[1];
                            p.obj_at[4] = nan;
                        }),
        madpack_payload("noimage", 300.0f, [](pack_source& p) { p.prims[0].material = nullptr; }),
        // The object's texture in plain rows, which no rasterizer reads.
        madpack_payload("flatpack", 300.0f, [](pack_source& p) { memcpy(p.names[5], "flattex", 8); }),
    };
}

std::vector<vexil_fixture_payload> common_payloads(const std::string& greetings)
{
    return {
        texture_payload("tun", 2, 8, 8, [](int x, int y) { return (uint32_t)(y << 8 | x); }),
        texture_payload("col", 1, 9, 8, [](int x, int y) { return (uint32_t)((x * 7 + y * 13) & 255); }),
        texture_payload("bmp", 4, 9, 8, [](int x, int y) { return (uint32_t)((x + y) & 255) | 0x20100000u; }),
        texture_payload("bg", 2, 9, 8, [](int x, int y) { return (uint32_t)(0x8000u | ((x + 3 * y) & 0x7fff)); }),
        texture_payload("small", 2, 8, 8, [](int, int) { return 0x8000u; }),
        uniform_swizzled_payload("objtex.tmap", 1, 5, 42),
        uniform_swizzled_payload("skytex.tmap", 2, 5, SKY_COLOR),
        vexil_fixture_text("b.ini", "textures = [ col bmp ]\n"),
        stencil_payload("st", 320, 256, [](int x, int y) { return x >= 10 && x < 300 && y >= 5 && y < 250; }),
        madpack_payload(),
        madpack_payload("smallsky", 30.0f),
        font_payload(),
        vexil_fixture_text("greetings.ini", greetings),
        // Textures each wrong for one check.
        uniform_swizzled_payload("tunsw", 2, 8, 0x8000u),
        texture_payload("tun8", 1, 8, 8, [](int x, int y) { return (uint32_t)((x ^ y) & 255); }),
        texture_payload("col256", 1, 8, 8, [](int x, int y) { return (uint32_t)((x + y) & 255); }),
        texture_payload("bmp256", 4, 8, 8, [](int x, int y) { return (uint32_t)((x + y) & 255) | 0x20100000u; }),
        uniform_swizzled_payload("idx3sw", 3, 6, 7),
        texture_payload("flattex.tmap", 1, 5, 5, [](int, int) { return 42u; }),
    };
}

std::string sequence(const std::vector<std::string>& rows)
{
    std::string s = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n";
    for (auto& r : rows)
        s += r + "\n";
    return s;
}

std::string row(int start_ms, int end_ms, const std::string& func_and_args)
{
    return "abs,prev," + std::to_string(start_ms) + ",0,abs,prev," + std::to_string(end_ms) + "," + func_and_args;
}

struct prod {
    vexil_fixture_host h;
    vexil* d() { return &h.ds->vexil; }
    n3d_frame_context* fc() { return h.ds->video; }
    uint16_t px(int x, int y) const
    {
        const n3d_framebuffer* fb = h.ds->video->fb;
        return reinterpret_cast<const uint16_t*>(static_cast<const uint8_t*>(fb->b) + (size_t)y * fb->row_bytes)[x];
    }
    uint16_t& page_px(int page, int x, int y)
    {
        n3d_framebuffer* fb = h.ds->videos[page].fb;
        return reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes)[x];
    }
    static int bit(const n3d_coveragebuffer* cb, int x, int y)
    {
        return (cb->u32[(size_t)(y * cb->w + x) / 32] >> (31 - (x & 31))) & 1;
    }
    int cov(int x, int y) { return bit(h.ds->video->cb, x, y); }
    vexil_scene* scene(int i) { return &d()->scenes[i]; }
    void at(int pos, int kinds = 1)
    {
        vexil_audio_position.store(pos);
        if (kinds & 1)
            vexil_fixture_update(&h, 0);
        if (kinds & 2)
            vexil_fixture_update(&h, 1);
    }
};

int failed_parts()
{
    const testing::TestResult* r = testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); i++)
        n += r->GetTestPartResult(i).failed();
    return n;
}

captured_run run_production(const std::vector<std::string>& rows, const std::function<void(prod&)>& body,
                            const std::string& greetings = "alpha\n\nbeta\ngamma\ntail")
{
    std::string dir = capture_temp_dir();
    captured_run res = capture_run([&] {
        std::vector<vexil_fixture_payload> pak0 = common_payloads(greetings);
        for (auto& p : damaged_madpack_payloads())
            pak0.push_back(p);
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

void expect_clean(const captured_run& r)
{
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Distance of two bytes around the circle of 256.
int byte_distance(int a, int b) { return std::min((a - b) & 255, (b - a) & 255); }

// ---- clear, tunnel, bump map, background ---------------------------------------------

TEST(ScenesVideo, ClearFillsOnlyInItsFirstThreeVerticalBlanks)
{
    expect_clean(run_production({row(1000, 3000, "video_clear,255,128,7")}, [](prod& p) {
        const uint16_t want = 0x8000 | 31 << 10 | 16 << 5 | 0;
        for (int call = 0; call < 5; call++) {
            p.page_px(0, 5, 5) = p.page_px(1, 5, 5) = 0x1234;
            p.at(S + 735 * call, 3);
            uint16_t got = p.px(5, 5);
            if (call < 3)
                EXPECT_EQ(got, want) << "vertical blank " << call;
            else
                EXPECT_EQ(got, 0x1234) << "vertical blank " << call;
        }
    }));
}

TEST(ScenesVideo, TunnelMovesWithItsRates)
{
    expect_clean(run_production({row(1000, 3000, "video_tunnel,tun,10,-20")}, [](prod& p) {
        p.at(S);
        p.at(S + 11025);  // local_t 0.5: offsets 5 and -10
        // The second loading step filled the 640x480 table.
        const n3d_framebuffer* map = &p.d()->uv_map_tunnel;
        ASSERT_EQ(map->w, 640);
        ASSERT_EQ(map->h, 480);
        for (int y : {0, 77, 119, 120, 239})
            for (int x : {0, 1, 2, 3, 159, 160, 318, 319}) {
                int i = 160 + x, j = 120 + y;
                double a = 0.75, fx = 2.0 * (i + 0.5) / 640 - 1.0, fy = (2.0 * (j + 0.5) / 480 - 1.0) * a;
                int ab = (int)(256.0 * (0.5 + 0.5 * atan2(fy, fx) / M_PI)) & 255;
                int db = (int)(256.0 * sqrt((fx * fx + fy * fy) / (1 + a * a)));
                int row = (p.px(x, y) >> 8) & 255, col = p.px(x, y) & 255;
                EXPECT_LE(byte_distance(row, ab - 10), 1) << x << "," << y;
                EXPECT_LE(byte_distance(col, db + 5), 1) << x << "," << y;
            }
    }));
}

const char* k_bump_row = "video_bumpmap,col,bmp,st,0.5,0.25,#202020ff,#808080ff,#101010ff,#ffeeddff,-40,-30,10,-16";

TEST(ScenesVideo, BumpmapOfZeroDurationSitsAtItsEndAndMarksTheStencilOutside)
{
    expect_clean(run_production({row(1000, 1000, k_bump_row)}, [](prod& p) {
        p.at(S);
        p.at(S + 735);
        vexil_scene* s = p.scene(0);
        ASSERT_EQ(s->call_count_running, 1);
        // At (10, -16): the window's first 16 rows are above the page.
        video_plane want(PW, PH, 0, 0);
        vexil_bumpmap_argb1555(&want.fb, 0.0f, 10, -16, 0, 0, 310, 256, s->textures[1], s->textures[0],
                               &p.d()->pbr_phong_lut);
        int bad = 0;
        for (int y = 0; y < PH; y++)
            for (int x = 10; x < PW; x++)
                bad += p.px(x, y) != want.px(x, y);
        EXPECT_EQ(bad, 0);
        // Coverage: set where the placed stencil is clear, and outside it.
        for (int y : {0, 5, 100, 233, 234, 239})
            for (int x : {0, 9, 19, 20, 200, 309, 310, 319}) {
                int sx = x - 10, sy = y + 16;
                int in_stencil = sx >= 10 && sx < 300 && sy >= 5 && sy < 250;
                int placed = sx >= 0 && sx < 320 && sy < 256;
                EXPECT_EQ(p.cov(x, y), placed && !in_stencil ? 1 : 0) << x << "," << y;
            }
    }));
}

TEST(ScenesVideo, BumpmapBuildsItsShadeTableFromTheRowsColours)
{
    expect_clean(run_production({row(1000, 2000, k_bump_row)}, [](prod& p) {
        p.at(S);
        vexil_scene* s = p.scene(0);
        const n3d_texture* tex = s->textures[0];
        std::vector<uint16_t> want(256 * 32);
        const vexil_color* c = s->colors;
        n3d_texture_build_shade_table_argb1555_pbr(want.data(), 32, 256, c[0].linear, c[1].linear, c[2].linear,
                                                   c[3].linear, 0.5f, 0.25f,
                                                   static_cast<const uint16_t*>(tex->palette));
        EXPECT_EQ(0, memcmp(want.data(), tex->shade_table, want.size() * 2));
        EXPECT_EQ(c[3].rgba8888, 0xffeeddffu);
    }));
}

TEST(ScenesVideo, BackgroundWindowStaysInsideItsTexture)
{
    // Panned from (0, 0) to (1000, 1000): the window stops at (192, 16) of the 512x256 texture.
    expect_clean(run_production({row(1000, 2000, "video_background,bg,0,0,1000,1000")}, [](prod& p) {
        p.at(S);
        n3d_coveragebuffer* cb = p.fc()->cb;
        for (int pos : {S + 11025, S + 22049}) {
            memset(cb->u32, 0, (size_t)cb->w / 32 * cb->h * 4);
            cb->u32[(size_t)(7 * cb->w) / 32] = 0x80000000u;  // (0, 7) keeps its pixel
            p.page_px(0, 0, 7) = p.page_px(1, 0, 7) = 0x4444;
            p.at(pos);
            float t = (float)((pos - S) / 22050.0) / 1.0f;
            int sx = std::min((int)(1000.0f * t), 192), sy = std::min((int)(1000.0f * t), 16);
            for (int y : {0, 7, 100, 239})
                for (int x : {0, 1, 160, 319}) {
                    uint16_t want =
                        x == 0 && y == 7 ? 0x4444 : (uint16_t)(0x8000u | (((sx + x) + 3 * (sy + y)) & 0x7fff));
                    EXPECT_EQ(p.px(x, y), want) << pos << ": " << x << "," << y;
                }
        }
    }));
}

// ---- the datapack ---------------------------------------------------------------------

struct box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    void add(float x, float y)
    {
        x0 = std::min(x0, (int)std::floor(x)), y0 = std::min(y0, (int)std::floor(y));
        x1 = std::max(x1, (int)std::floor(x)), y1 = std::max(y1, (int)std::floor(y));
    }
    bool empty() const { return x1 < 0; }
};

// The bounds of the object pixels (all but the sky) inside [x_lo, x_hi). The sky
// pass marks coverage too, so the page's pixels tell the objects apart.
box covered(prod& p, int x_lo, int x_hi)
{
    box b;
    for (int y = 0; y < PH; y++)
        for (int x = x_lo; x < x_hi; x++)
            if (p.px(x, y) != SKY_COLOR)
                b.add((float)x, (float)y);
    return b;
}

// The pixels whose centres lie inside a square of half size h centred at (cx, cy,
// cz), seen from (0, 0, eye_z) looking down -z with vertical field of view fov:
// its corners projected in double precision (pixel centres at +0.5).
box projected(double cx, double cy, double cz, double h, double eye_z, double fov)
{
    double f = 1.0 / tan(fov / 2), aspect = (double)PW / PH;
    double lo[2] = {1e30, 1e30}, hi[2] = {-1e30, -1e30};
    for (double sx : {-h, h})
        for (double sy : {-h, h}) {
            double vz = cz - eye_z;
            double nx = f / aspect * (cx + sx) / -vz, ny = f * (cy + sy) / -vz;
            double p[2] = {PW / 2.0 + nx * PW / 2.0 + 0.5, PH / 2.0 - ny * PH / 2.0 + 0.5};
            for (int k = 0; k < 2; k++)
                lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
        }
    box b;
    b.x0 = (int)std::ceil(lo[0] - 0.5), b.x1 = (int)std::ceil(hi[0] - 0.5) - 1;
    b.y0 = (int)std::ceil(lo[1] - 0.5), b.y1 = (int)std::ceil(hi[1] - 0.5) - 1;
    return b;
}

void expect_box_near(const box& got, const box& want, const char* what)
{
    EXPECT_FALSE(got.empty()) << what;
    EXPECT_NEAR(got.x0, want.x0, 1) << what;
    EXPECT_NEAR(got.x1, want.x1, 1) << what;
    EXPECT_NEAR(got.y0, want.y0, 1) << what;
    EXPECT_NEAR(got.y1, want.y1, 1) << what;
}

TEST(ScenesVideo, MadpackCameraViewMatchesAFloatProjection)
{
    expect_clean(run_production({row(1000, 3000, "video_madpack,pack,0,1,move,cam,sky,head,nod")}, [](prod& p) {
        p.at(S);
        p.at(S + 735);
        expect_box_near(covered(p, 0, 219), projected(0, 0, OBJ_Z, OBJ_HALF, CAM_Z, CAM_YFOV), "object");
        expect_box_near(covered(p, 219, PW), projected(HEAD_X, 0, OBJ_Z, HEAD_HALF, CAM_Z, CAM_YFOV), "head");
        // The sky fills what no object covered, without shading; objects are shaded texels.
        EXPECT_EQ(p.px(5, 5), SKY_COLOR);
        EXPECT_EQ(p.px(PW - 3, PH - 3), SKY_COLOR);
        EXPECT_NE(p.px(PW / 2, PH / 2), SKY_COLOR);
        EXPECT_TRUE(p.px(PW / 2, PH / 2) & 0x8000);
        // One shade table for the one object texture.
        EXPECT_EQ(p.d()->shade_table_cache_count, 1);
    }));
}

TEST(ScenesVideo, MadpackWithoutSecondAnimationLeavesTheHeadUndrawn)
{
    expect_clean(run_production({row(1000, 3000, "video_madpack,pack,0,1,move,cam,sky,head,0")}, [](prod& p) {
        p.at(S);
        p.at(S + 735);
        EXPECT_FALSE(covered(p, 0, 219).empty());
        EXPECT_TRUE(covered(p, 219, PW).empty());
    }));
}

TEST(ScenesVideo, KeyTwoTogglesTheFreeCameraAtTheOrigin)
{
    expect_clean(run_production({row(1000, 9000, "video_madpack,pack,0,1,move,cam,sky,head,nod")}, [](prod& p) {
        p.at(S);
        ASSERT_EQ(wasd_move_enable, 0);
        p.h.keys['2'] = 1;
        p.at(S + 735);
        EXPECT_EQ(wasd_move_enable, 1);
        // From the origin looking down -z, field of view pi/4.
        expect_box_near(covered(p, 0, 270), projected(0, 0, OBJ_Z, OBJ_HALF, 0, M_PI / 4), "free camera");
        p.at(S + 2 * 735);  // still held: no new press
        EXPECT_EQ(wasd_move_enable, 1);
        p.h.keys['2'] = 0;
        p.at(S + 3 * 735);
        p.h.keys['2'] = 1;
        p.at(S + 4 * 735);
        EXPECT_EQ(wasd_move_enable, 0);
        expect_box_near(covered(p, 0, 219), projected(0, 0, OBJ_Z, OBJ_HALF, CAM_Z, CAM_YFOV), "datapack camera");
    }));
}

// The datapack scene's frame reaches the report the program prints at exit
// through the blocks its pieces time: both passes' draw-path set-ups (one per
// command: object, head, sky) and vertex batches, the coverage and depth clears,
// and the two rasterizers' profiles (190 the objects, 81 the sky). A
// vertical-blank call adds nothing.
TEST(ScenesVideo, MadpackFrameReachesTheExitReport)
{
    captured_run r = run_production({row(1000, 3000, "video_madpack,pack,0,1,move,cam,sky,head,nod")}, [](prod& p) {
        p.at(S);  // prepare
        auto raster_hits = [](int flags) { return n3d_rasterizer_find(flags)->profileblocks[0].hits; };
        struct counts {
            uint32_t setup, batches, clears, objects, sky;
        };
        auto now = [&] {
            return counts{g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP],
                          g_cycles_block_hits[BLOCK_RENDER_MESH_TRANSFORM_VERTICES],
                          g_cycles_block_hits[BLOCK_CLEAR_COVERAGE], raster_hits(190), raster_hits(81)};
        };
        counts c0 = now();
        p.at(S + 735, 1);
        counts c1 = now();
        EXPECT_EQ(c1.setup - c0.setup, 3u);
        EXPECT_GE(c1.batches - c0.batches, 3u);
        EXPECT_EQ(c1.clears - c0.clears, 2u);
        EXPECT_GT(c1.objects - c0.objects, 0u);
        EXPECT_GT(c1.sky - c0.sky, 0u);
        p.at(S + 2 * 735, 2);
        counts c2 = now();
        EXPECT_EQ(c2.setup, c1.setup);
        EXPECT_EQ(c2.objects, c1.objects);
        EXPECT_EQ(c2.sky, c1.sky);
        cycles_print();
        n3d_profile_print();
    });
    expect_clean(r);
    for (const char* line :
         {"[BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP]", "[BLOCK_RENDER_MESH_TRANSFORM_VERTICES]",
          "[BLOCK_CLEAR_COVERAGE]", "[setup - n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11]",
          "[inner - n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11]",
          "[setup - n3d_render_triangle_v8_argb1555_t0argb1555_covrw10]",
          "[inner - n3d_render_triangle_v8_argb1555_t0argb1555_covrw10]"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// ---- greetings -------------------------------------------------------------------------

const char* k_greets_row = "video_madpack_greets,pack,0,1,move,cam,sky,head,nod";

TEST(ScenesVideo, GreetingsSplitSkipsEmptyLinesAndTheUnendedTail)
{
    expect_clean(
        run_production({row(1000, 3000, k_greets_row), row(3000, 4000, k_greets_row + std::string(",x"))}, [](prod& p) {
            p.at(S);
            ASSERT_EQ(greets_count, 3);
            EXPECT_STREQ(greets_array[0], "alpha");
            EXPECT_STREQ(greets_array[1], "beta");
            EXPECT_STREQ(greets_array[2], "gamma");
            EXPECT_EQ(alpha_to_argb1555[255], 0xFFFF);
            EXPECT_EQ(alpha_to_argb1555[8], 0x8000 | 1 << 10 | 1 << 5 | 1);
            // The second row's parse finds the text split already.
            p.at(3 * 22050);
            EXPECT_EQ(greets_count, 0);
        }));
}

TEST(ScenesVideo, GreetingsDotMatrixOverTheBackdrop)
{
    expect_clean(run_production({row(1000, 30000, k_greets_row)}, [](prod& p) {
        p.at(S);
        // What the backdrop holds between the odd rows' dots, on each page.
        std::vector<uint16_t> between[2];
        for (int page = 0; page < 2; page++)
            for (int y = 47; y <= 153; y += 2)
                for (int x = 100; x <= 222; x += 2)
                    between[page].push_back(p.page_px(page, x, y));
        p.at(S + 735);  // local_t 1/30: lane 0 at x 60 - 58/30, y 22 + 5 sin(2 pi 0.2/30)
        // Lane 0's first glyph covers grid columns 58..61, rows 22..27.
        for (int page = 0; page < 2; page++) {
            EXPECT_EQ(p.page_px(page, 5, 5), SKY_COLOR) << "the backdrop on page " << page;
        }
        EXPECT_EQ(p.px(99 + 2 * 59, 48 + 2 * 23), 0xFFFF);      // a grid pixel of the glyph
        EXPECT_EQ(p.px(99 + 2 * 59 + 1, 48 + 2 * 23), 0x8000);  // the dot's black neighbour
        EXPECT_EQ(p.px(99 + 2 * 59, 47 + 2 * 23), 0x8000);      // an odd row's dot
        EXPECT_EQ(p.px(99 + 2 * 20, 48 + 2 * 23), 0x0000);      // an empty grid pixel is written
        EXPECT_EQ(p.px(97, 48), SKY_COLOR);                     // left of the grid
        EXPECT_EQ(p.px(223, 48), SKY_COLOR);                    // right of it
        // Odd rows: black at the dots' columns, the backdrop kept between them.
        const int shown = p.fc() == &p.h.ds->videos[0] ? 0 : 1;
        size_t k = 0;
        int kept = 0, black = 0;
        for (int y = 47; y <= 153; y += 2) {
            for (int x = 100; x <= 222; x += 2)
                kept += p.px(x, y) == between[shown][k++];
            for (int x = 99; x <= 221; x += 2)
                black += p.px(x, y) == 0x8000;
        }
        EXPECT_EQ(kept, 54 * 62);
        EXPECT_EQ(black, 54 * 62);
        EXPECT_NE(p.px(100, 47 + 2 * 23), 0x8000);  // the backdrop there is not the dots' black
    }));
}

// The greetings' first call puts the backdrop on both pages: each page must be as
// the datapack scene's own draw into it at that time leaves it (pixels, coverage
// and the shared depth), from pages of different contents and stale coverage and
// depth, with a sky that leaves part of each page as it was, under the
// datapack's camera and under the free camera moving forward on every draw.
TEST(ScenesVideo, GreetingsBackdropOnEachPageAsTheDatapackDrawsIt)
{
    struct page_state {
        std::vector<uint16_t> px;
        std::vector<uint32_t> cb;
    };
    for (int free_camera : {0, 1}) {
        SCOPED_TRACE(free_camera ? "free camera" : "datapack camera");
        expect_clean(
            run_production({row(1000, 30000, "video_madpack_greets,smallsky,0,1,move,cam,sky,head,nod")}, [&](prod& p) {
                wasd_move_enable = free_camera;
                p.h.keys['w'] = (uint8_t)free_camera;  // held: the camera moves on every draw
                demosys* ds = p.h.ds;
                n3d_depthbuffer* db = ds->videos[0].db;
                ASSERT_EQ(db, ds->videos[1].db);
                auto fill = [&](int page, uint32_t seed) {
                    for (int y = 0; y < PH; y++)
                        for (int x = 0; x < PW; x++)
                            p.page_px(page, x, y) = (uint16_t)(((uint32_t)(x * 7 + y * 131) * seed) >> 8);
                    n3d_coveragebuffer* cb = ds->videos[page].cb;
                    for (size_t i = 0; i < (size_t)cb->w * cb->h / 32; i++)
                        cb->u32[i] = (uint32_t)(i * seed);
                };
                auto stale_depth = [&] {
                    for (int i = 0; i < db->w * db->h; i++)
                        db->u16[i] = (uint16_t)(i * 40503u);
                    for (int y = 0; y < db->h; y++)
                        db->cb_cache_zeroed.u32[y * db->cb_cache_zeroed.w / 32] = 0xA5A5A5A5u;
                };
                auto save = [&](int page) {
                    page_state st;
                    for (int y = 0; y < PH; y++)
                        for (int x = 0; x < PW; x++)
                            st.px.push_back(p.page_px(page, x, y));
                    const n3d_coveragebuffer* cb = ds->videos[page].cb;
                    st.cb.assign(cb->u32, cb->u32 + (size_t)cb->w * cb->h / 32);
                    return st;
                };
                auto depth = [&] {
                    std::vector<uint16_t> v;
                    for (int y = 0; y < PH; y++)
                        for (int x = 0; x < PW; x++)
                            v.push_back(n3d_depthbuffer_value(db, x, y));
                    return v;
                };
                auto restore = [&](int page, const page_state& st) {
                    for (int y = 0; y < PH; y++)
                        for (int x = 0; x < PW; x++)
                            p.page_px(page, x, y) = st.px[(size_t)y * PW + x];
                };
                fill(0, 0x9E3779B1u);
                fill(1, 0x85EBCA77u);
                stale_depth();
                const page_state before[2] = {save(0), save(1)};

                p.at(S);  // the prepare call and the first running call
                ASSERT_EQ(p.scene(0)->is_first_run, 0);
                const page_state got[2] = {save(0), save(1)};
                const std::vector<uint16_t> got_depth = depth();
                const int shown = ds->video == &ds->videos[1] ? 1 : 0;

                // The datapack scene's draw into each page in turn, from the same states.
                const vec3 origin = {0.0f, 0.0f, 0.0f};
                fps_camera_init(&camera, origin, 0.0f);  // as the prepare call left it
                fill(1, 0x85EBCA77u);
                stale_depth();
                vexil_args args;
                memset(&args, 0, sizeof args);
                args.d = p.d();
                args.arena = &ds->arena;
                args.video = &p.h.video;
                args.fc_overlay = &ds->overlay;
                args.fc_videos = ds->videos;
                args.keys_ascii = p.h.keys;
                const page_state* want[2];
                page_state drawn[2];
                std::vector<uint16_t> want_depth;
                for (int page = 0; page < 2; page++) {
                    restore(page, before[page]);
                    args.fc = &ds->videos[page];
                    scene_video_madpack(p.scene(0), &args);
                    drawn[page] = save(page);
                    want[page] = &drawn[page];
                }
                want_depth = depth();

                int kept = 0;
                for (int page = 0; page < 2; page++) {
                    SCOPED_TRACE(page);
                    EXPECT_EQ(got[page].cb, want[page]->cb) << "coverage";
                    for (int y = 0; y < PH; y++)
                        for (int x = 0; x < PW; x++) {
                            // The dot matrix lies over the shown page's backdrop.
                            if (page == shown && y >= 47 && y < 154 && x >= 99 && x < 223)
                                continue;
                            const size_t i = (size_t)y * PW + x;
                            ASSERT_EQ(got[page].px[i], want[page]->px[i]) << x << "," << y;
                            kept += want[page]->px[i] == before[page].px[i];
                        }
                }
                EXPECT_GT(kept, PW * PH / 2) << "the small sky leaves most pixels as they were";
                EXPECT_EQ(got_depth, want_depth);
            }));
    }
    wasd_move_enable = 0;
}

// Lane 1 starts 3 s in at x 60 and y about 45: with one greeting it stays dark.
int lane1_lit(prod& p)
{
    int n = 0;
    for (int y = 48 + 2 * 40; y < 48 + 2 * 52; y += 2)
        for (int x = 99; x < 221; x += 2)
            n += p.px(x, y) == 0xFFFF;
    return n;
}

TEST(ScenesVideo, GreetingsSecondLaneShowsTheOddGreetings)
{
    for (const char* text : {"alpha\nbeta\n", "alpha\n"}) {
        const bool two = std::string(text) == "alpha\nbeta\n";
        expect_clean(run_production(
            {row(1000, 30000, k_greets_row)},
            [&](prod& p) {
                p.at(S);
                p.at(S + 735);
                p.at(S + 22050 * 4);  // lane 1 at x 60 - 55 = 5
                EXPECT_EQ(lane1_lit(p) > 0, two) << text;
                EXPECT_EQ(p.scene(0)->state.greet_states[1].counter, 1);
            },
            text));
    }
}

// ---- refusals ---------------------------------------------------------------------------

struct refusal {
    const char* check;
    const char* row;
    const char* message;
    int on_stdout;
};

const refusal k_refusals[] = {
    {"sky_missing", "video_madpack,pack,0,1,move,cam,nosky,head,nod", "node_index_lut[0] is null!\n", 0},
    {"head_missing", "video_madpack,pack,0,1,move,cam,sky,nohead,0", "node_index_lut[2] is null!\n", 0},
    {"first_animation_missing", "video_madpack,pack,0,1,nomove,cam,sky,head,0", "animation_index_lut[0] is null!\n", 0},
    {"second_animation_missing", "video_madpack,pack,0,1,move,cam,sky,head,nonod", "animation_index_lut[1] is null!\n",
     0},
    {"camera_not_a_camera", "video_madpack,pack,0,1,move,obj,sky,head,0", "node[1] with name obj is not a camera?\n",
     0},
    {"background_small", "video_background,small,0,0,0,0",
     "video_background: texture \"small\" is 256x256, smaller than the 320x240 page (sequence line 2)\n", 0},
    {"background_format", "video_background,col,0,0,0,0",
     "video_background: texture \"col\" is format 1, the page copy reads format 2 (sequence line 2)\n", 0},
    {"clear_range", "video_clear,0,256,0", "video_clear: colour component 256 out of range 0..255 (sequence line 2)\n",
     0},
    {"bumpmap_from_ini", "video_bumpmap,@b.ini", "video_bumpmap: needs at least 4 integers, has 0 (sequence line 2)\n",
     0},
};

class ScenesVideoRefusal : public testing::TestWithParam<refusal> {};

TEST_P(ScenesVideoRefusal, StopsWithItsMessage)
{
    const refusal& r = GetParam();
    std::string dir;
    captured_run res = run_production({row(1000, 2000, r.row)}, [](prod& p) {
        p.at(S);
        p.at(S + 735);
    });
    EXPECT_TRUE(res.exited);
    EXPECT_EQ(res.status, 1) << res.out << res.err;
    EXPECT_NE((r.on_stdout ? res.out : res.err).find(r.message), std::string::npos) << res.out << res.err;
}

INSTANTIATE_TEST_SUITE_P(EachCheck, ScenesVideoRefusal, testing::ValuesIn(k_refusals),
                         [](const testing::TestParamInfo<refusal>& i) { return std::string(i.param.check); });

// ---- refusals when the row's scene is loaded -------------------------------------------
// Each check whose inputs a row's arguments fix is made when the row's scene is
// loaded: the row prepares from 0.5 s and starts at 1 s, and the clock only
// reaches 0.5 s, so a check left to the first drawing would pass unnoticed. The
// message is the check's own, the next line names the texture, datapack or node
// and the row's line, on standard error.

const char* const k_colours = "#10203040,#50607080,#102030ff,#fff0e0ff";

struct load_refusal {
    const char* check;
    std::string row;
    std::string message;
};

std::vector<load_refusal> load_refusals()
{
    const std::string bump = "video_bumpmap,";
    const std::string bump_args = ",st,0.5,0.5," + std::string(k_colours) + ",0,0,0,0";
    const std::string pack_args = ",0,1,move,cam,sky,head,nod";
    return {
        {"tunnel_size", "video_tunnel,bg,1,1",
         "color map must be 256x256 texture for now\nvideo_tunnel: texture \"bg\" (sequence line 2)\n"},
        {"tunnel_format", "video_tunnel,tun8,1,1",
         "color map must be an ARGB1555 texture (format 1)\nvideo_tunnel: texture \"tun8\" (sequence line 2)\n"},
        {"tunnel_swizzled", "video_tunnel,tunsw,1,1",
         "color map must not be swizzled: the tunnel reads its texels as plain rows\nvideo_tunnel: texture \"tunsw\" "
         "(sequence line 2)\n"},
        {"bumpmap_sizes", bump + "col,bmp256" + bump_args,
         "bumpmap must have same width height as texture (256 256 vs 512 256)\nvideo_bumpmap: bump map \"bmp256\" and "
         "colour texture \"col\" (sequence line 2)\n"},
        {"bumpmap_colour_format", bump + "bg,bmp" + bump_args,
         "color texture must not be swizzled (is swizzled: 0) with format N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 "
         "(is: "
         "2)\nvideo_bumpmap: texture \"bg\" (sequence line 2)\n"},
        {"bumpmap_bump_format", bump + "col,bg" + bump_args,
         "bumpmap texture must not be swizzled (is swizzled: 0) with format N3D_TEXEL_FORMAT_BUMPMAP (is: "
         "2)\nvideo_bumpmap: texture \"bg\" (sequence line 2)\n"},
        {"bumpmap_window", bump + "col256,bmp256" + bump_args,
         "bumpmap source window (0 0)-(310 256) is outside the 256x256 textures\nvideo_bumpmap: bump map \"bmp256\" "
         "and colour texture \"col256\" (sequence line 2)\n"},
        {"scale_format", "overlay_scale,tun,0,0,0,16,16,64,64",
         "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\noverlay_scale: texture \"tun\" "
         "(sequence line 2)\n"},
        {"scale_swizzled", "overlay_scale,idx3sw,0,0,0,16,16,64,64",
         "src: swizzled not supported for this (would be slower)\noverlay_scale: texture \"idx3sw\" (sequence line "
         "2)\n"},
        {"object_format", "video_madpack,pack,0,1,move,cam,head,obj,nod",
         "wrong format for texture \"skytex\" is 2 but expected 1\nvideo_madpack: texture \"skytex.tmap\" of node "
         "\"sky\" in datapack \"pack\" (sequence line 2)\n"},
        {"sky_format", "video_madpack,pack,0,1,move,cam,obj,head,nod",
         "wrong format for texture \"objtex\" is 1 but expected 2\nvideo_madpack: texture \"objtex.tmap\" of node "
         "\"obj\" in datapack \"pack\" (sequence line 2)\n"},
        {"object_unswizzled", "video_madpack,flatpack" + pack_args,
         "texture0 is not swizzled! (all rasterizers require textures that are swizzled!\nvideo_madpack: texture "
         "\"flattex.tmap\" of node \"obj\" in datapack \"flatpack\" (sequence line 2)\n"},
        {"object_without_image", "video_madpack,noimage" + pack_args,
         "mesh has no base_color_image?\nvideo_madpack: node \"obj\" of datapack \"noimage\" (sequence line 2)\n"},
        {"znear_nan", "video_madpack,nearnan" + pack_args,
         "near_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is nan (impacts z-buffer number of bits to avoid "
         "overflow!)\nvideo_madpack: camera node \"cam\" of datapack \"nearnan\" (sequence line 2)\n"},
        {"znear_below_the_minimum", "video_madpack,nearsmall" + pack_args,
         "near_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is 0.20 (impacts z-buffer number of bits to avoid "
         "overflow!)\nvideo_madpack: camera node \"cam\" of datapack \"nearsmall\" (sequence line 2)\n"},
        {"znear_nan_greetings", "video_madpack_greets,nearnan" + pack_args,
         "near_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is nan (impacts z-buffer number of bits to avoid "
         "overflow!)\nvideo_madpack_greets: camera node \"cam\" of datapack \"nearnan\" (sequence line 2)\n"},
        {"yfov_nan", "video_madpack,fovnan" + pack_args,
         "camera yfov is nan, must be a finite angle above 0 and below pi\nvideo_madpack: camera node \"cam\" of "
         "datapack \"fovnan\" (sequence line 2)\n"},
        {"translation_nan", "video_madpack,movednan" + pack_args,
         "camera transform is not finite: the translation of node \"cam\"\nvideo_madpack: camera node \"cam\" of "
         "datapack \"movednan\" (sequence line 2)\n"},
        {"animated_translation_nan", "video_madpack,animnan" + pack_args,
         "camera transform is not finite: animation \"move\" sets node \"cam\" from values that are not "
         "finite\nvideo_madpack: camera node \"cam\" of datapack \"animnan\" (sequence line 2)\n"},
    };
}

void PrintTo(const load_refusal& r, std::ostream* os) { *os << r.check; }

class ScenesVideoLoadRefusal : public testing::TestWithParam<load_refusal> {};

TEST_P(ScenesVideoLoadRefusal, StopsWhenTheRowsSceneIsLoaded)
{
    const load_refusal& r = GetParam();
    captured_run res = run_production({"abs,prev,1000,500,abs,prev,2000," + r.row}, [](prod& p) {
        p.at(S / 2, 3);
        ADD_FAILURE() << "loaded without a refusal";
    });
    EXPECT_TRUE(res.exited);
    EXPECT_EQ(res.status, 1) << res.out << res.err;
    // One crash, through the crash path, and the message with its names at the end.
    const std::string& err = res.err;
    EXPECT_NE(err.find("crash in "), std::string::npos) << err;
    ASSERT_GE(err.size(), r.message.size()) << err;
    EXPECT_EQ(err.substr(err.size() - r.message.size()), r.message) << err;
}

INSTANTIATE_TEST_SUITE_P(EachCheck, ScenesVideoLoadRefusal, testing::ValuesIn(load_refusals()),
                         [](const testing::TestParamInfo<load_refusal>& i) { return std::string(i.param.check); });

// The same rows with sound textures and datapacks load and draw.
TEST(ScenesVideo, RowsOfTheLoadChecksLoadWithSoundData)
{
    const std::string bump_args = ",st,0.5,0.5," + std::string(k_colours) + ",0,0,0,0";
    expect_clean(
        run_production({row(1000, 2000, "video_tunnel,tun,1,1"), row(1000, 2000, "video_bumpmap,col,bmp" + bump_args),
                        row(1000, 2000, "video_madpack,pack,0,1,move,cam,sky,head,nod")},
                       [](prod& p) {
                           p.at(S, 3);
                           for (int i = 0; i < 3; i++)
                               EXPECT_GT(p.scene(i)->call_count_running, 0) << i;
                       }));
}

// ---- pieces ----------------------------------------------------------------------------

TEST(ScenesVideoPieces, FreeCameraKeysAndPitchLimit)
{
    fps_camera c;
    const vec3 at = {1, 2, 3};
    fps_camera_init(&c, at, 90.0f);
    EXPECT_FLOAT_EQ(c.yaw, 1.5707963f);
    EXPECT_EQ(c.mouse_sens, 0.025f);
    EXPECT_EQ(c.prev_mouse_x, -1);
    struct {
        const char* keys;
        float dx, dz;  // position change at yaw 0 after one 0.5 s step at speed 2
    } cases[] = {
        {"w", 0, -1}, {"s", 0, 1}, {"ws", 0, 1}, {"a", -1, 0}, {"d", 1, 0}, {"z", -2, 0}, {"c", 2, 0}, {"ac", 2, 0},
    };
    for (auto& k : cases) {
        fps_camera_init(&c, at, 0.0f);
        uint8_t keys[256] = {};
        for (const char* q = k.keys; *q; q++)
            keys[(uint8_t)*q] = 1;
        int rel[2] = {0, 0};
        mat4x4 v;
        fps_camera_move_wasd_mouse(&c, keys, rel, 0.5f, v);
        EXPECT_NEAR(c.position[0] - 1, k.dx, 1e-5) << k.keys;
        EXPECT_NEAR(c.position[2] - 3, k.dz, 1e-5) << k.keys;
        // The view matrix puts the camera at the origin.
        vec4 p = {c.position[0], c.position[1], c.position[2], 1}, r;
        mat4x4_mul_vec4(r, v, p);
        EXPECT_NEAR(r[0], 0, 1e-5);
        EXPECT_NEAR(r[2], 0, 1e-5);
    }
    uint8_t none[256] = {};
    int up[2] = {0, -100000};
    mat4x4 v;
    fps_camera_move_wasd_mouse(&c, none, up, 0.0f, v);
    EXPECT_FLOAT_EQ(c.pitch, 1.5607964f);
}

TEST(ScenesVideoPieces, StrCatAndMadfxChecks)
{
    qf_test_arena<1u << 16> a;
    EXPECT_STREQ(str_cat(&a.arena, "objtex", ".tmap"), "objtex.tmap");
    EXPECT_STREQ(str_cat(&a.arena, "", ""), "");
    captured_run r = capture_run([] {
        vexil_madfx fx{3, 2, {0, 1, 2}, {0, -1}};
        vexil_madfx_validate(&fx);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("animation_index_lut[1] is null!\n"), std::string::npos) << r.err;
}

TEST(ScenesVideoPieces, ShadeTableCacheOneTablePerTextureAndTenAtMost)
{
    captured_run r = capture_run([] {
        static vexil d{};
        qf_test_arena<4u << 20> a;
        std::vector<video_texture*> t;
        for (int i = 0; i < 11; i++)
            t.push_back(new video_texture(1, 3, 3, [](int, int) { return 0u; }));
        vexil_shade_table_cache_bind(&d, &t[0]->t, &a.arena);
        void* first = t[0]->t.shade_table;
        vexil_shade_table_cache_bind(&d, &t[0]->t, &a.arena);
        if (t[0]->t.shade_table != first || d.shade_table_cache_count != 1)
            crash_exit(5);
        for (int i = 1; i < 11; i++)
            vexil_shade_table_cache_bind(&d, &t[i]->t, &a.arena);
    });
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("exhausted VEXIL_SHADE_TABLE_CACHE_MAX (10)\n"), std::string::npos) << r.err;
}

}  // namespace
