// The room of the earlier production over the runtime's generated asset set:
// its phong tables, the walls' bounds and their bulge away from and at drum
// hits (flat walls included), sprite centre, size and clipping against the
// formula, the sprite's checks on its target and texture, and the room drawn
// at the cues of its script (walls, dimming, turning, stars), with every
// rasterizer call checked for values that are not finite and a PNG per cue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/memarena.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "support/capture.h"
#include "support/demo_assets_fixture.h"
#include "support/testbench_fixture.h"
#include "tools/demo.h"
#include "tools/demo_room.h"
#include "tools/demo_timing.h"

namespace {

std::vector<uint8_t> g_renderer_block(8u << 20);

class DemoRoom : public ::testing::Test {
protected:
    static std::string base;
    static void SetUpTestSuite()
    {
        base = capture_temp_dir();
        demo_fixture_write_assets(base);
        tb_write_room_walls(base);
        static memarena renderer_arena;
        memarena_init(&renderer_arena, "test_room_renderer", g_renderer_block.size(), g_renderer_block.data());
        n3d_init(&renderer_arena);
        tb_spy_install();
    }

    std::vector<uint8_t> block = std::vector<uint8_t>(24u << 20);
    memarena arena;
    demo_assets assets{};
    demo d{};
    std::string cwd;

    void SetUp() override
    {
        memarena_init(&arena, "test_room", block.size(), block.data());
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd = buf;
        ASSERT_EQ(chdir(capture_temp_dir().c_str()), 0);  // the warp writes its track here
    }
    void TearDown() override { ASSERT_EQ(chdir(cwd.c_str()), 0); }
    void start(const std::string& dir = base)
    {
        ASSERT_EQ(demo_assets_init(&assets, &arena, dir.c_str()), 0);
        ASSERT_EQ(demo_init(&d, &arena, &assets), 0);
    }
    static void at(int pos) { demo_timing_update(&g_dtf, &g_demo_timing, pos); }
};
std::string DemoRoom::base;

TEST_F(DemoRoom, PhongTablesFromNoFalloffToDark)
{
    start();
    ASSERT_EQ(d.room.phong_luts_count, 32);
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(d.room.phong_luts[31][i], 31) << "table 31 never falls off, entry " << i;
        EXPECT_EQ(d.room.phong_luts[0][i], 0) << "table 0 is dark, entry " << i;
        if (i > 0) {
            EXPECT_LE(d.room.phong_luts[16][i], d.room.phong_luts[16][i - 1]);
        }
    }
    EXPECT_GT(d.room.phong_luts[16][0], d.room.phong_luts[16][255]);
}

TEST_F(DemoRoom, WallBoundsStartFromTheOrigin)
{
    start();
    // Side 0 is the floor at y = -6: its y bounds run from -6 to 0, the origin.
    const demo_room_side& floor = d.room.sides[0];
    EXPECT_FLOAT_EQ(floor.min_xyz[1], -6.0f);
    EXPECT_FLOAT_EQ(floor.max_xyz[1], 0.0f);
    EXPECT_FLOAT_EQ(floor.scale_xyz[1], 3.0f);
    EXPECT_FLOAT_EQ(floor.rec_scale_xyz[1], 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(floor.min_xyz[0], -6.0f);
    EXPECT_FLOAT_EQ(floor.max_xyz[0], 6.0f);
    EXPECT_FLOAT_EQ(floor.rec_scale_xyz[0], 1.0f / 6.0f);
    for (int k = 0; k < 6; k++)
        EXPECT_NE(d.room.sides[k].asset.vertices.xyz, assets.meshes[k + 2]->vertices.xyz) << "its own arrays";
}

TEST_F(DemoRoom, AwayFromDrumHitsOnlyTheEndWallsAreScaled)
{
    start();
    // 1990000 lies 0.83 s before the first drum hit and before the steady wobble.
    at(1990000);
    demo_room_distort(&d.room);
    for (int k = 0; k < 6; k++) {
        const n3d_vertices& loaded = assets.meshes[k + 2]->vertices;
        const n3d_vertices& v = d.room.sides[k].asset.vertices;
        const float sxz = (k == 0 || k == 5) ? 1.5f : 1.0f;
        for (int i = 0; i < v.count; i++) {
            EXPECT_FLOAT_EQ(v.xyz[3 * i], sxz * loaded.xyz[3 * i]) << "side " << k << " vertex " << i;
            EXPECT_FLOAT_EQ(v.xyz[3 * i + 1], loaded.xyz[3 * i + 1]);
            EXPECT_FLOAT_EQ(v.xyz[3 * i + 2], sxz * loaded.xyz[3 * i + 2]);
        }
    }
    // On a drum hit side 1, the wall at z = -6 with normal (0, 0, 1), moves
    // along it by (1 - a^2) d, a = x / 6: most in its middle, not at its edges.
    at(drum0_pos);
    demo_room_distort(&d.room);
    const float wave = 2.0f * sinf(2.0f * (float)M_PI * g_dtf.time_since_beat) +
                       2.0f * cosf(2.0f * (float)M_PI * g_dtf.time_until_beat);
    const float hit = demo_timing_tri_factor_around(drum0_pos, 0.15f);
    ASSERT_GT(hit, 0.99f);
    const n3d_vertices& loaded = assets.meshes[3]->vertices;
    const n3d_vertices& v = d.room.sides[1].asset.vertices;
    for (int i = 0; i < v.count; i++) {
        const float a = loaded.xyz[3 * i] / 6.0f;
        EXPECT_NEAR(v.xyz[3 * i + 2], loaded.xyz[3 * i + 2] + (1 - a * a) * hit * wave, 1e-5f);
    }
}

TEST_F(DemoRoom, AFlatWallBulgesWithoutNaN)
{
    // A wall lying in the plane z = 0: its z axis has no extent.
    start();
    n3d_vertices& loaded = assets.meshes[3]->vertices;
    for (int i = 0; i < loaded.count; i++)
        loaded.xyz[3 * i + 2] = 0.0f;
    demo_room_init(&assets, &arena, &d.room, nullptr);
    EXPECT_EQ(d.room.sides[1].rec_scale_xyz[2], 0.0f);
    at(drum0_pos);
    demo_room_distort(&d.room);
    const n3d_vertices& v = d.room.sides[1].asset.vertices;
    for (int i = 0; i < 3 * v.count; i++)
        ASSERT_TRUE(std::isfinite(v.xyz[i])) << i;
    for (int i = 0; i < 2 * v.count; i++)
        ASSERT_TRUE(std::isfinite(v.uv[i])) << i;
}

TEST_F(DemoRoom, FallingWallsSinkOverFiveSeconds)
{
    start();
    const struct {
        int pos;
        float sink;  // 0 before the walls' removal, 1 from 5 s after it
    } cases[] = {{room_wall_remove_pos - 22050, 0.0f},
                 {room_wall_remove_pos + 55125, 0.5f},
                 {room_wall_remove_pos + 110250, 1.0f},
                 {room_wall_remove_pos + 300000, 1.0f}};
    for (const auto& c : cases) {
        at(c.pos);
        demo_room_distort_fall(&d.room);
        for (int k = 0; k < 6; k++) {
            const n3d_vertices& loaded = assets.meshes[k + 2]->vertices;
            const n3d_vertices& v = d.room.sides[k].asset.vertices;
            for (int i = 0; i < v.count; i++) {
                const float y = loaded.xyz[3 * i + 1];
                if (k == 0 || k == 5) {
                    EXPECT_FLOAT_EQ(v.xyz[3 * i + 1], y);
                } else {
                    EXPECT_NEAR(v.xyz[3 * i + 1], c.sink * -5.918221f + (1 - c.sink) * y, 1e-4f)
                        << "side " << k << " at " << c.pos;
                }
            }
        }
    }
}

// A sprite texture of one colour (0x8421: one step in every channel) with an
// opaque black border column and row, which the sprite skips.
struct sprite_texture {
    std::vector<uint16_t> texels = std::vector<uint16_t>(65536, 0x8421);
    uint8_t* mips[64] = {};
    n3d_texture t{};
    n3d_texture* table[1] = {&t};
    sprite_texture()
    {
        t.format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
        t.w_log2 = 8;
        t.h_log2 = 8;
        t.min_u_level = 8;
        t.min_v_level = 8;
        mips[0] = reinterpret_cast<uint8_t*>(texels.data());
        t.mips = mips;
    }
};

// particles_draw with w = 1 for every point: clip x and y are the particle's
// x and y, the projection's scales 0.25, the viewer one unit from the particle.
struct sprite_setup {
    n3d_render_context rc{};
    mat4x4 mvp;
    sprite_setup(demo_fixture_frame& f, sprite_texture& tex)
    {
        rc.fc = &f.fc;
        rc.tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = tex.table;
        rc.sc.clip_from_view[0][0] = -0.25f;
        rc.sc.clip_from_view[1][1] = 0.25f;
        mat4x4_identity(mvp);
        mvp[2][2] = 0.0f;
    }
    void draw(float x, float y)
    {
        float p[3] = {x, y, 0.0f};
        const vec3 view = {x, y, 1.0f};
        mesh_particles mp = {1, p, nullptr};
        particles_draw(&rc, 0, mvp, view, &mp);
    }
};

TEST_F(DemoRoom, SpriteCentreAndSizeFollowTheFormula)
{
    sprite_texture tex;
    const struct {
        int w, h;
        float x, y;
    } cases[] = {{64, 64, 0.0f, 0.0f}, {64, 32, 0.3f, -0.2f}, {96, 64, -0.41f, 0.77f}};
    for (const auto& c : cases) {
        demo_fixture_frame f(c.w, c.h, 2 * c.w);
        std::fill(f.plane.begin(), f.plane.end(), 0x8000);
        sprite_setup s(f, tex);
        s.draw(c.x, c.y);
        // size = 1 / dist x W x |P00|, centre = W/2 x + W/2 + 0.5.
        const float sx = (float)c.w * 0.25f, sy = (float)c.h * 0.25f;
        const float cx = c.w / 2.0f * c.x + c.w / 2.0f + 0.5f, cy = c.h / 2.0f * c.y + c.h / 2.0f + 0.5f;
        const int x0 = (int)ceilf(cx - sx / 2), x1 = (int)ceilf(cx + sx / 2);
        const int y0 = (int)ceilf(cy - sy / 2), y1 = (int)ceilf(cy + sy / 2);
        for (int y = 0; y < c.h; y++)
            for (int x = 0; x < c.w; x++) {
                const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
                ASSERT_EQ(f.at(x, y), inside ? 0x8421 : 0x8000) << c.w << "x" << c.h << " at " << x << "," << y;
            }
    }
}

TEST_F(DemoRoom, ClippedSpritesKeepTheirTexels)
{
    // A gradient texture, so every texel position shows.
    sprite_texture tex;
    for (uint32_t v = 0; v < 256; v++)
        for (uint32_t u = 0; u < 256; u++)
            tex.texels[demo_mobius_texel_index(u, v)] = (uint16_t)(0x8000 | (u >> 3) << 10 | (v >> 3) << 5 | 1);
    const int W = 64, H = 64;
    demo_fixture_frame whole(W, H, 2 * W);
    std::fill(whole.plane.begin(), whole.plane.end(), 0x8000);
    sprite_setup(whole, tex).draw(0.0f, 0.0f);
    // Moved by whole pixels (2 k / W in clip x), so that 20 columns and 12 rows
    // of it lie outside the frame on each side tried.
    const struct {
        int dx, dy;
    } shifts[] = {{-28, 0}, {28, 0}, {0, -26}, {0, 26}, {-28, 26}};
    for (const auto& s : shifts) {
        demo_fixture_frame f(W, H, 2 * W);
        std::fill(f.plane.begin(), f.plane.end(), 0x8000);
        sprite_setup(f, tex).draw(2.0f * (float)s.dx / W, 2.0f * (float)s.dy / H);
        int compared = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const int ux = x - s.dx, uy = y - s.dy;
                if (ux < 0 || uy < 0 || ux >= W || uy >= H)
                    continue;
                ASSERT_EQ(f.at(x, y), whole.at(ux, uy)) << "shift " << s.dx << "," << s.dy << " at " << x << "," << y;
                compared += f.at(x, y) != 0x8000;
            }
        EXPECT_GT(compared, 16 * 4);
    }
}

TEST_F(DemoRoom, SpritesRefuseTargetsAndTexturesTheyCannotUse)
{
    sprite_texture tex;
    const struct {
        const char* what;
        int fb_format;
        int tex_log2;
        int not_swizzled;
        const char* message;
    } cases[] = {
        {"8-bit plane", N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 8, 0, "particles need an ARGB1555 framebuffer"},
        {"small texture", N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 6, 0, "must be ARGB1555, swizzled and 256x256"},
        {"row by row", N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 8, 1, "must be ARGB1555, swizzled and 256x256"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            demo_fixture_frame f(64, 64, 128);
            f.fc.fb->format = c.fb_format;
            tex.t.w_log2 = c.tex_log2;
            tex.t.not_swizzled = c.not_swizzled;
            sprite_setup(f, tex).draw(0, 0);
        });
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    }
}

TEST_F(DemoRoom, DrawnThroughItsScript)
{
    start();
    demo_fixture_frame f(320, 200, 640);
    std::fill(f.plane.begin(), f.plane.end(), 0x8000);
    const struct {
        const char* name;
        int pos;
        int lit;  // 1: something drawn, 0: nothing, 2: drawn dark (phong table 0)
    } cues[] = {
        {"room_close_to_the_wall", 1970000, 1},
        {"room_pulling_back", 1990000, 1},
        {"room_drum_hit", drum0_pos, 1},
        {"room_dimming", drum3_pos + 30000, 1},
        {"room_turning", 2250000, 1},
        {"room_walls_removed", 2400000, 2},
        {"room_at_the_stars_cue", room_stars_show_pos, 0},
        {"room_stars", room_stars_show_pos + 20000, 1},
        {"room_stars_later", room_stars_show_pos + 200000, 1},
    };
    for (const auto& c : cues) {
        const long bad_before = g_tb_spy.not_finite;
        // A few frames up to the cue, as the clock would run.
        for (int k = 3; k >= 0; k--) {
            at(c.pos - 735 * k);
            demo_room_update(&d.room, &f.fc, nullptr);
        }
        const int lit = tb_lit_pixels(f);
        int covered = 0;
        for (int i = 0; i < f.fc.cb->w * f.fc.cb->h / 32; i++)
            covered += __builtin_popcount(f.fc.cb->u32[i]);
        if (c.lit == 1) {
            EXPECT_GT(lit, 0) << c.name;
        } else if (c.lit == 2) {
            EXPECT_GT(covered, 0) << c.name;
        } else {
            EXPECT_EQ(lit, 0) << c.name;
            EXPECT_EQ(covered, 0) << c.name;
        }
        EXPECT_EQ(g_tb_spy.not_finite, bad_before) << c.name;
        tb_save_png(f, c.name);
    }
    EXPECT_GT(g_tb_spy.calls, 0);
}

}  // namespace
