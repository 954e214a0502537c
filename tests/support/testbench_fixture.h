// Test support for the renderer test bench and the room: writes the bench's
// asset directory with the system's own writers (box, sphere and torus meshes
// with their tangent frames, mosaic textures of both kinds, three small skinned
// and animated datapacks), a spy over the rasterizer registry that counts calls
// whose vertices or gradients are not finite, and a PNG of an ARGB1555 frame.
// Header only; failures are gtest assertion failures.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "core/linmath.h"
#include "core/memarena.h"
#include "image/bitmap.h"
#include "image/texel.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "raster/n3d_raster.h"
#include "support/demo_assets_fixture.h"

// ---- meshes ------------------------------------------------------------------------

struct tb_mesh_builder {
    std::vector<float> xyz, uv, n, t, b, tb;
    std::vector<uint8_t> joints;
    std::vector<float> weights;

    void vertex(const float p[3], const float nrm[3], const float tan[3], float u, float v)
    {
        xyz.insert(xyz.end(), p, p + 3);
        n.insert(n.end(), nrm, nrm + 3);
        t.insert(t.end(), tan, tan + 3);
        float bt[3] = {nrm[1] * tan[2] - nrm[2] * tan[1], nrm[2] * tan[0] - nrm[0] * tan[2],
                       nrm[0] * tan[1] - nrm[1] * tan[0]};
        b.insert(b.end(), bt, bt + 3);
        uv.push_back(u);
        uv.push_back(v);
        tb.push_back(1.0f);
        tb.push_back(1.0f);
    }
    n3d_vertices vertices()
    {
        n3d_vertices v{};
        v.count = (int)(xyz.size() / 3);
        v.xyz = xyz.data();
        v.uv = uv.data();
        v.n_xyz = n.data();
        v.t_xyz = t.data();
        v.b_xyz = b.data();
        v.tb_norm = tb.data();
        if (!joints.empty()) {
            v.joints = joints.data();
            v.joints_weights = weights.data();
        }
        return v;
    }
    // Face f of a box of half size h (outward normals +x, -x, +y, -y, +z, -z
    // in that order); facing outward, or inward (seen from inside). mirrored
    // winds the triangles the other way round, for views that mirror.
    void box_face(float h, int face, int inward, int mirrored = 0)
    {
        const float axes[6][3][3] = {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},
                                     {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
                                     {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}}};
        const float corners[6][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, -1}, {1, 1}, {-1, 1}};
        const auto& f = axes[face];
        float nrm[3], tan[3];
        for (int k = 0; k < 3; k++) {
            nrm[k] = inward ? -f[0][k] : f[0][k];
            tan[k] = f[1][k];
        }
        for (int c = 0; c < 6; c++) {
            const int ci = (inward != mirrored) ? 5 - c : c;
            const float s = corners[ci][0], r = corners[ci][1];
            float p[3];
            for (int k = 0; k < 3; k++)
                p[k] = h * (f[0][k] + s * f[1][k] + r * f[2][k]);
            vertex(p, nrm, tan, (s + 1) / 2, (r + 1) / 2);
        }
    }
    void box(float h, int inward)
    {
        for (int f = 0; f < 6; f++)
            box_face(h, f, inward);
    }
    // A torus (ring radius R, tube radius r) or, with R = 0, a sphere of radius r
    // stretched by sz along z; outward faces.
    void surface(int nu, int nv, float R, float r, float sz)
    {
        auto at = [&](int i, int j, float p[3], float nrm[3], float tan[3]) {
            const float pi = 3.14159265f;
            const float u = 2 * pi * (float)i / (float)nu;
            const float v = R > 0 ? 2 * pi * (float)j / (float)nv : pi * (float)j / (float)nv - pi / 2;
            const float cu = cosf(u), su = sinf(u), cv = cosf(v), sv = sinf(v);
            vec3_set(nrm, cv * cu, cv * su, sv);
            vec3_set(p, (R + r * cv) * cu, (R + r * cv) * su, r * sv * sz);
            vec3_set(tan, -su, cu, 0);
        };
        for (int i = 0; i < nu; i++)
            for (int j = 0; j < nv; j++) {
                const int q[6][2] = {{i, j}, {i + 1, j}, {i + 1, j + 1}, {i, j}, {i + 1, j + 1}, {i, j + 1}};
                for (const auto& c : q) {
                    float p[3], nrm[3], tan[3];
                    at(c[0], c[1], p, nrm, tan);
                    vertex(p, nrm, tan, (float)c[0] / (float)nu, (float)c[1] / (float)nv);
                }
            }
    }
};

inline void tb_write_mesh(const std::string& path, memarena* arena, tb_mesh_builder& m)
{
    const uint64_t marker = memarena_get_marker(arena);
    n3d_asset_mesh mesh{};
    mesh.vertices = m.vertices();
    uint8_t* b = static_cast<uint8_t*>(memarena_push(arena, 8u << 20));
    uint8_t* end = n3d_io_asset_mesh_store(b, &mesh, IO_ENDIAN_NATIVE);
    ASSERT_EQ(n3d_io_store_file(path.c_str(), b, end, IO_ENDIAN_NATIVE), 0);
    memarena_goto_marker(arena, marker);
}

// ---- datapacks -----------------------------------------------------------------------

// A skinned column of 2 to 3 joints along y (node 0 holds the mesh and the skin,
// nodes 1.. the joint chain), an animation turning the joints about z over
// 2 s; with_material gives the primitive a material with a base-colour image.
struct tb_datapack {
    int joints;
    std::vector<mad_node> nodes;
    std::vector<std::vector<int>> children;
    tb_mesh_builder column;
    mad_primitive primitive{};
    mad_mesh mesh{};
    std::vector<int> skin_joints;
    std::vector<mat4x4> ibm;
    mad_skin skin{};
    std::vector<float> times = {0.0f, 2.0f};
    std::vector<std::vector<float>> values;
    std::vector<mad_sampler> samplers;
    std::vector<mad_channel> channels;
    mad_animation animation{};
    char names[4][8] = {"mesh", "joint0", "joint1", "joint2"};
    char anim_name[8] = "bend";
    char image_name[8] = "skin";
    mad_image image{};
    mad_material material{};
    mad_datapack dp{};

    tb_datapack(int joints_count, int with_material) : joints(joints_count)
    {
        nodes.resize((size_t)joints + 1);
        children.resize(nodes.size());
        for (size_t i = 0; i < nodes.size(); i++) {
            mad_node& n = nodes[i];
            n.name = names[i];
            vec3_set(n.scale, 1, 1, 1);
            vec4_set(n.rotation, 0, 0, 0, 1);
            vec3_set(n.translation, 0, i == 1 ? -2.0f : (i > 1 ? 4.0f / (float)(joints) : 0.0f), 0);
        }
        for (int j = 2; j <= joints; j++) {
            children[(size_t)j - 1].push_back(j);
            nodes[(size_t)j - 1].children_count = 1;
            nodes[(size_t)j - 1].children_index = children[(size_t)j - 1].data();
            nodes[(size_t)j].parent = &nodes[(size_t)j - 1];
        }
        // The column: a box stretched along y, 8 rings, each vertex weighted
        // between the two joints around its height.
        tb_mesh_builder ring;
        ring.box(1.0f, 0);
        const float seg = 4.0f / (float)joints;
        for (size_t k = 0; k < ring.xyz.size() / 3; k++) {
            const float* p = &ring.xyz[3 * k];
            const float q[3] = {0.6f * p[0], 2.0f * p[1], 0.6f * p[2]};
            column.vertex(q, &ring.n[3 * k], &ring.t[3 * k], ring.uv[2 * k], ring.uv[2 * k + 1]);
            const float h = (q[1] + 2.0f) / seg;  // 0 .. joints
            int j0 = (int)h;
            j0 = j0 < 0 ? 0 : (j0 >= joints - 1 ? joints - 2 : j0);
            const float w1 = std::min(1.0f, std::max(0.0f, h - (float)j0));
            const uint8_t js[4] = {(uint8_t)j0, (uint8_t)(j0 + 1), 0, 0};
            column.joints.insert(column.joints.end(), js, js + 4);
            const float ws[4] = {1.0f - w1, w1, 0, 0};
            column.weights.insert(column.weights.end(), ws, ws + 4);
        }
        primitive.vertices = column.vertices();
        if (with_material) {
            image.name = image_name;
            material.base_color_image = &image;
            vec4_set(material.base_color, 1, 1, 1, 1);
            primitive.material = &material;
        }
        mesh.primitives_count = 1;
        mesh.primitives = &primitive;
        nodes[0].mesh = &mesh;
        nodes[0].skin = &skin;

        // Inverse bind matrices: the inverse of each joint's rest world matrix
        // (pure translations down the chain).
        ibm = std::vector<mat4x4>((size_t)joints);
        float y = 0.0f;
        for (int j = 0; j < joints; j++) {
            skin_joints.push_back(j + 1);
            y += nodes[(size_t)j + 1].translation[1];
            mat4x4_translate(ibm[(size_t)j], 0, -y, 0);
        }
        skin.joints_count = joints;
        skin.joints = skin_joints.data();
        skin.joint_from_model_matrices = ibm.data();

        samplers.resize((size_t)joints);
        channels.resize((size_t)joints);
        values.resize((size_t)joints);
        for (int j = 0; j < joints; j++) {
            const float a = 0.4f * (float)(j + 1) / 2.0f;  // half angle at the end keyframe
            values[(size_t)j] = {0, 0, 0, 1, 0, 0, sinf(a), cosf(a)};
            samplers[(size_t)j] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 8, times.data(), values[(size_t)j].data()};
            channels[(size_t)j] = mad_channel{&nodes[(size_t)j + 1], &samplers[(size_t)j], MAD_ATTRIBUTE_ROTATION};
        }
        animation = mad_animation{anim_name, joints, samplers.data(), joints, channels.data()};

        dp.nodes_count = (int)nodes.size();
        dp.nodes = nodes.data();
        dp.meshes_count = 1;
        dp.meshes = &mesh;
        dp.skins_count = 1;
        dp.skins = &skin;
        dp.animations_count = 1;
        dp.animations = &animation;
        if (with_material) {
            dp.images_count = 1;
            dp.images = &image;
            dp.materials_count = 1;
            dp.materials = &material;
        }
    }
};

inline void tb_write_datapack(const std::string& path, memarena* arena, const mad_datapack* dp)
{
    const uint64_t marker = memarena_get_marker(arena);
    uint8_t* b = static_cast<uint8_t*>(memarena_push(arena, 4u << 20));
    uint8_t* end = mad_datapack_store(b, dp, IO_ENDIAN_NATIVE);
    ASSERT_EQ(n3d_io_store_file(path.c_str(), b, end, IO_ENDIAN_NATIVE), 0);
    memarena_goto_marker(arena, marker);
}

// ---- the directory -------------------------------------------------------------------

inline const std::vector<std::string>& tb_texture_names()
{
    static const std::vector<std::string> names = {"checkerboard2", "viking_room_128", "t2", "light", "tiles_256"};
    return names;
}

inline void tb_write_assets(const std::string& dir)
{
    std::vector<uint8_t> block(64u << 20);
    memarena arena;
    memarena_init(&arena, "tb_fixture_arena", block.size(), block.data());
    const float red[4] = {0.8f, 0.1f, 0.1f, 1}, blue[4] = {0.1f, 0.2f, 0.9f, 1}, white[4] = {1, 1, 1, 1},
                green[4] = {0.1f, 0.7f, 0.2f, 1}, yellow[4] = {0.9f, 0.8f, 0.1f, 1};
    const float* c1[5] = {white, red, green, yellow, blue};
    const float* c2[5] = {blue, white, red, blue, yellow};
    for (size_t i = 0; i < tb_texture_names().size(); i++) {
        const int log2 = i == 1 ? 7 : 8;
        const std::string& n = tb_texture_names()[i];
        demo_fixture_texture(dir + "/" + n + "_16bpp.tmap", &arena, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1, 0,
                             log2, 16u << (i % 3), c1[i], c2[i]);
        demo_fixture_texture(dir + "/" + n + "_8bpp.tmap", &arena, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 0, log2,
                             16u << (i % 3), c1[i], c2[i]);
    }
    {
        tb_mesh_builder m;
        m.box(1.0f, 0);
        tb_write_mesh(dir + "/cube.mesh", &arena, m);
    }
    {
        tb_mesh_builder m;  // many small triangles
        m.surface(64, 32, 0.0f, 1.5f, 1.0f);
        tb_write_mesh(dir + "/viking_room.mesh", &arena, m);
    }
    {
        tb_mesh_builder m;
        m.surface(16, 8, 0.0f, 1.0f, 1.0f);
        tb_write_mesh(dir + "/suzanne.mesh", &arena, m);
    }
    {
        tb_mesh_builder m;
        m.surface(32, 16, 0.0f, 2.0f, 1.4f);
        tb_write_mesh(dir + "/face.mesh", &arena, m);
    }
    {
        tb_mesh_builder m;
        m.surface(24, 12, 1.5f, 0.5f, 1.0f);
        tb_write_mesh(dir + "/toruswarp.mesh", &arena, m);
    }
    {
        tb_mesh_builder m;
        m.box(3.0f, 1);
        tb_write_mesh(dir + "/room.mesh", &arena, m);
    }
    tb_datapack simple(2, 0), complex_skin(3, 0), textured(2, 1);
    tb_write_datapack(dir + "/simple_skin.mad", &arena, &simple.dp);
    tb_write_datapack(dir + "/vellop.mad", &arena, &complex_skin.dp);
    tb_write_datapack(dir + "/performa.mad", &arena, &textured.dp);
}

// The six walls of the earlier production's room ("room2_side0.mesh" to
// "room2_side5.mesh") as the inside of a box of half size 6: floor, the wall
// at -z, at -x, at +z, at +x, the ceiling; wound for the room's mirroring view.
inline void tb_write_room_walls(const std::string& dir)
{
    std::vector<uint8_t> block(16u << 20);
    memarena arena;
    memarena_init(&arena, "tb_room_arena", block.size(), block.data());
    const int faces[6] = {3, 5, 1, 4, 0, 2};
    for (int side = 0; side < 6; side++) {
        tb_mesh_builder m;
        m.box_face(6.0f, faces[side], 1, 1);
        tb_write_mesh(dir + "/room2_side" + std::to_string(side) + ".mesh", &arena, m);
    }
}

// ---- the rasterizer spy ------------------------------------------------------------------

struct tb_raster_spy {
    n3d_rasterizer_func original[N3D_RASTERIZERS_MAX];
    long calls = 0;
    long not_finite = 0;
};
inline tb_raster_spy g_tb_spy;

template <int I>
int tb_spy_func(n3d_rasterizer_args* a)
{
    const int ps = a->rasterizer->ps_count;
    const float* v = static_cast<const float*>(a->vertices);
    int ok = std::isfinite(a->twice_area) && std::isfinite(a->min_w);
    for (int k = 0; k < 3 * (3 + ps); k++)
        ok &= std::isfinite(v[k]);
    for (int k = 0; k <= ps; k++)
        ok &= std::isfinite(a->gradients_dx[k]) && std::isfinite(a->gradients_dy[k]);
    g_tb_spy.calls++;
    g_tb_spy.not_finite += !ok;
    return g_tb_spy.original[I](a);
}

template <int... I>
void tb_spy_install(std::integer_sequence<int, I...>)
{
    const n3d_rasterizer_func spies[] = {tb_spy_func<I>...};
    for (int i = 0; i < g_n3d_rasterizers_count && i < (int)sizeof...(I); i++) {
        if (g_n3d_rasterizers[i].func == spies[i])
            continue;
        g_tb_spy.original[i] = g_n3d_rasterizers[i].func;
        g_n3d_rasterizers[i].func = spies[i];
    }
}
// Every registered rasterizer counted from now on (once per program).
inline void tb_spy_install() { tb_spy_install(std::make_integer_sequence<int, N3D_RASTERIZERS_MAX>{}); }

// ---- frames --------------------------------------------------------------------------

// Pixels of the plane that differ from the background 0x8000.
inline int tb_lit_pixels(const demo_fixture_frame& f)
{
    int lit = 0;
    for (int y = 0; y < f.fc.fb->h; y++)
        for (int x = 0; x < f.fc.fb->w; x++)
            lit += f.at(x, y) != 0x8000;
    return lit;
}

// The frame as an RGBA PNG under the build directory's "renderer_pictures".
inline void tb_save_png(const demo_fixture_frame& f, const std::string& name)
{
    const std::string dir = std::string(QF_BINARY_DIR) + "/renderer_pictures";
    mkdir(dir.c_str(), 0755);
    const int w = f.fc.fb->w, h = f.fc.fb->h;
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const uint16_t c = f.at(x, y);
            uint8_t* o = &px[((size_t)y * w + x) * 4];
            o[0] = (uint8_t)(((c >> 10) & 31) * 255 / 31);
            o[1] = (uint8_t)(((c >> 5) & 31) * 255 / 31);
            o[2] = (uint8_t)((c & 31) * 255 / 31);
            o[3] = 255;
        }
    bitmap bm{px.data(), BITMAP_FLAG_RGBA, (uint32_t)w * 4, (uint32_t)w, (uint32_t)h};
    EXPECT_EQ(bitmap_save(&bm, (dir + "/" + name + ".png").c_str()), 0) << name;
}
