// Datapack records: a small scene built here (a node hierarchy, a mesh of two
// primitives, a skin of two joints, two cameras, an animation with rotation and
// translation channels, materials with images) stored and loaded back in both
// byte orders; the reference encodings; lookup by name; the debug comparison;
// and the reader refusing truncated records, out-of-range indices and counts,
// bad samplers and node references that are not a strict forest.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/linmath.h"
#include "core/memarena.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "support/test_arena.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, size_t n)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    if (n)
        memcpy(p.get(), data, n);
    return p;
}

// Vertex arrays of one primitive, values distinct per array.
struct prim_storage {
    std::vector<float> xyz, uv, n, t, b, tb, w;
    std::vector<uint8_t> joints;
};

// The scene, every array one element longer than its count: pointing a
// reference at that spare element makes the writer store an index equal to the
// count, which the reader must refuse.
struct scene {
    std::vector<mad_node> nodes = std::vector<mad_node>(5);
    std::vector<std::vector<int>> children = std::vector<std::vector<int>>(5);
    std::vector<mad_image> images = std::vector<mad_image>(3);
    std::vector<mad_material> materials = std::vector<mad_material>(3);
    std::vector<mad_mesh> meshes = std::vector<mad_mesh>(2);
    std::vector<mad_primitive> prims = std::vector<mad_primitive>(2);
    std::vector<prim_storage> prim_data = std::vector<prim_storage>(2);
    std::vector<mad_skin> skins = std::vector<mad_skin>(2);
    std::vector<int> joints = {1, 2};
    std::vector<mat4x4> inverse_bind = std::vector<mat4x4>(2);
    std::vector<mat4x4> bind = std::vector<mat4x4>(2);
    std::vector<mad_camera> cameras = std::vector<mad_camera>(3);
    std::vector<mad_animation> animations = std::vector<mad_animation>(2);
    std::vector<mad_sampler> samplers = std::vector<mad_sampler>(3);
    std::vector<float> rot_times = {0.0f, 0.5f, 1.0f}, rot_values, move_times = {0.25f, 2.0f}, move_values;
    std::vector<mad_channel> channels = std::vector<mad_channel>(3);
    char names[8][8] = {"root", "body", "arm", "cam", "bark", "leaf", "walk", "spare"};
    mad_datapack dp{};

    scene()
    {
        // Nodes: root (ortho camera) -> body (mesh, skin) -> arm; root -> cam (perspective).
        const int parent[4] = {-1, 0, 1, 0};
        children[0] = {1, 3};
        children[1] = {2};
        for (int i = 0; i < 5; ++i) {
            mad_node& n = nodes[i];
            n.name = names[i < 4 ? i : 7];
            vec3_set(n.scale, 1.0f + i, 2.0f, 0.5f);
            n.rotation[0] = 0.0f, n.rotation[1] = 0.6f, n.rotation[2] = 0.0f, n.rotation[3] = 0.8f;
            vec3_set(n.translation, (float)i, -1.5f, 3.25f);
            n.parent = i < 4 && parent[i] >= 0 ? &nodes[parent[i]] : nullptr;
        }
        nodes[0].camera = &cameras[1];
        nodes[1].mesh = &meshes[0];
        nodes[1].skin = &skins[0];
        nodes[3].camera = &cameras[0];
        sync_children();

        images[0].name = names[4];
        images[1].name = names[5];
        images[2].name = names[7];
        materials[0].base_color_image = &images[1];
        vec4_set(materials[0].base_color, 1.0f, 0.5f, 0.25f, 1.0f);
        vec4_set(materials[1].base_color, 0.1f, 0.2f, 0.3f, 0.4f);

        // Primitive 0: positions, uvs, normals, joints and weights; primitive 1 every array.
        make_prim(0, 1 | 2 | 4 | 64 | 128, 3);
        make_prim(1, 255, 6);
        prims[0].material = &materials[0];
        meshes[0].primitives_count = 2;
        meshes[0].primitives = prims.data();

        for (int j = 0; j < 2; ++j) {
            mat4x4_identity(inverse_bind[j]);
            mat4x4_translate(inverse_bind[j], 1.0f + j, -2.0f, 0.5f * j);
            inverse_bind[j][0][0] = 2.0f;
            mat4x4_invert(bind[j], inverse_bind[j]);
        }
        skins[0].joints_count = 2;
        skins[0].joints = joints.data();
        skins[0].joint_from_model_matrices = inverse_bind.data();
        skins[0].model_from_joint_matrices = bind.data();

        cameras[0] = mad_camera{0, 100.0f, 0.25f, 0.0f, 0.0f, 1.3333f, 0.9f};
        cameras[1] = mad_camera{1, 50.0f, 0.5f, 4.0f, 3.0f, 0.0f, 0.0f};

        for (int k = 0; k < 3; ++k)
            for (float v : {0.0f, 0.1f * k, 0.0f, 1.0f})
                rot_values.push_back(v);
        move_values = {0, 0, 0, 1, 2, 3};
        samplers[0] = mad_sampler{MAD_INTERPOLATION_LINEAR, 3, 12, rot_times.data(), rot_values.data()};
        samplers[1] = mad_sampler{MAD_INTERPOLATION_STEP, 2, 6, move_times.data(), move_values.data()};
        channels[0] = mad_channel{&nodes[2], &samplers[0], MAD_ATTRIBUTE_ROTATION};
        channels[1] = mad_channel{&nodes[1], &samplers[1], MAD_ATTRIBUTE_TRANSLATION};
        animations[0].name = names[6];
        animations[0].samplers_count = 2;
        animations[0].samplers = samplers.data();
        animations[0].channels_count = 2;
        animations[0].channels = channels.data();

        dp.nodes_count = 4, dp.nodes = nodes.data();
        dp.meshes_count = 1, dp.meshes = meshes.data();
        dp.skins_count = 1, dp.skins = skins.data();
        dp.cameras_count = 2, dp.cameras = cameras.data();
        dp.animations_count = 1, dp.animations = animations.data();
        dp.images_count = 2, dp.images = images.data();
        dp.materials_count = 2, dp.materials = materials.data();
    }

    void sync_children()
    {
        for (int i = 0; i < 5; ++i) {
            nodes[i].children_count = (int)children[i].size();
            nodes[i].children_index = children[i].data();
        }
    }

    void make_prim(int i, uint32_t mask, int count)
    {
        prim_storage& s = prim_data[i];
        float f = 0.125f * (float)(i + 1);
        auto fill = [&](std::vector<float>& a, int per) {
            a.resize((size_t)per * count);
            for (float& x : a)
                x = (f += 0.75f);
        };
        n3d_vertices& v = prims[i].vertices;
        v = n3d_vertices{};
        v.count = count;
        if (mask & 1)
            fill(s.xyz, 3), v.xyz = s.xyz.data();
        if (mask & 2)
            fill(s.uv, 2), v.uv = s.uv.data();
        if (mask & 4)
            fill(s.n, 3), v.n_xyz = s.n.data();
        if (mask & 8)
            fill(s.t, 3), v.t_xyz = s.t.data();
        if (mask & 16)
            fill(s.b, 3), v.b_xyz = s.b.data();
        if (mask & 32)
            fill(s.tb, 2), v.tb_norm = s.tb.data();
        if (mask & 64) {
            s.joints.resize(4u * count);
            for (size_t k = 0; k < s.joints.size(); ++k)
                s.joints[k] = (uint8_t)(k % 2);
            v.joints = s.joints.data();
        }
        if (mask & 128)
            fill(s.w, 4), v.joints_weights = s.w.data();
    }

    std::vector<uint8_t> store(int endian) const
    {
        std::vector<uint8_t> buf(16384);
        uint8_t* end = mad_datapack_store(buf.data(), &dp, endian);
        buf.resize((size_t)(end - buf.data()));
        return buf;
    }
};

// Loads the bytes from an exactly sized copy; stdout of the reader goes to *out.
const uint8_t* load(mad_datapack* dp, memarena* arena, const std::vector<uint8_t>& bytes, size_t n, int endian,
                    std::string* out, std::unique_ptr<uint8_t[]>* keep)
{
    *keep = exact_copy(bytes.data(), n);
    testing::internal::CaptureStdout();
    const uint8_t* r = mad_datapack_load(dp, arena, keep->get(), n, endian);
    *out = testing::internal::GetCapturedStdout();
    return r;
}

uint32_t word(const uint8_t* p, int endian = IO_ENDIAN_NATIVE)
{
    uint32_t v;
    io_load32(&v, p, endian);
    return v;
}

}  // namespace

TEST(MadDatapack, RoundTripsInBothByteOrders)
{
    scene s;
    const std::vector<uint8_t> native = s.store(IO_ENDIAN_NATIVE);
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        SCOPED_TRACE(endian);
        const std::vector<uint8_t> bytes = s.store(endian);
        ASSERT_EQ(native.size(), bytes.size());
        test_arena ta;
        mad_datapack back;
        std::string out;
        std::unique_ptr<uint8_t[]> keep;
        const uint8_t* end = load(&back, &ta.arena, bytes, bytes.size(), endian, &out, &keep);
        ASSERT_EQ(keep.get() + bytes.size(), end) << out;
        EXPECT_EQ("", out);
        EXPECT_EQ(0, mad_datapack_dbg_cmp(&s.dp, &back));
        EXPECT_EQ(0, mad_datapack_dbg_cmp(&back, &s.dp));

        // Writing what was read reproduces the bytes it came from.
        std::vector<uint8_t> again(bytes.size() + 64);
        EXPECT_EQ(again.data() + bytes.size(), mad_datapack_store(again.data(), &back, endian));
        EXPECT_EQ(0, memcmp(bytes.data(), again.data(), bytes.size()));

        // Values the comparison does not look at, and the computed ones.
        for (int i = 0; i < 4; ++i)
            EXPECT_STREQ(s.names[i], back.nodes[i].name);
        EXPECT_STREQ("walk", back.animations[0].name);
        EXPECT_EQ(0, back.images[0].texture_index);
        EXPECT_EQ(0, back.images[1].texture_index);
        EXPECT_EQ(&back.images[1], back.materials[0].base_color_image);
        EXPECT_EQ(&back.nodes[1], back.nodes[2].parent);
        EXPECT_EQ(&back.skins[0], back.nodes[1].skin);
        EXPECT_EQ(&back.animations[0].samplers[1], back.animations[0].channels[1].sampler);
        EXPECT_EQ(0.0f, back.cameras[0].xmag);
        EXPECT_EQ(0.0f, back.cameras[0].ymag);
        EXPECT_EQ(1.3333f, back.cameras[0].aspect_ratio);
        EXPECT_EQ(0.0f, back.cameras[1].yfov);
        EXPECT_EQ(4.0f, back.cameras[1].xmag);
        mat4x4 product;
        mat4x4_mul(product, back.skins[0].model_from_joint_matrices[1], back.skins[0].joint_from_model_matrices[1]);
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                EXPECT_NEAR(c == r ? 1.0f : 0.0f, product[c][r], 1e-6f);
    }
    // The opposite order really is swapped: the first count reads as 4 only in its own mode.
    const std::vector<uint8_t> swapped = s.store(IO_ENDIAN_SWAPPED);
    EXPECT_EQ(4u, word(swapped.data(), IO_ENDIAN_SWAPPED));
    EXPECT_EQ(0x04000000u, word(swapped.data(), IO_ENDIAN_NATIVE));
    EXPECT_NE(native, swapped);
}

TEST(MadDatapack, ReferenceEncodings)
{
    scene s;
    uint8_t b[2048];
    // Node "arm": no mesh, skin or camera gives three zero words after name,
    // children count and ten floats; its parent (body, index 1) stores 2.
    uint8_t* end = mad_node_store(b, &s.nodes[2], s.dp.nodes, s.dp.meshes, s.dp.skins, s.dp.cameras, IO_ENDIAN_NATIVE);
    const size_t refs = 4 + 4 + 40;
    ASSERT_EQ((ptrdiff_t)(refs + 12 + 4), end - b);
    EXPECT_EQ(0u, word(b + refs));
    EXPECT_EQ(0u, word(b + refs + 4));
    EXPECT_EQ(0u, word(b + refs + 8));
    EXPECT_EQ(2u, word(b + refs + 12));
    // The root stores parent 0; its camera (index 1) stores 2, its children plain.
    end = mad_node_store(b, &s.nodes[0], s.dp.nodes, s.dp.meshes, s.dp.skins, s.dp.cameras, IO_ENDIAN_NATIVE);
    const size_t root_refs = 5 + 4 + 40;
    EXPECT_EQ(2u, word(b + root_refs + 8));
    EXPECT_EQ(1u, word(b + root_refs + 12));
    EXPECT_EQ(3u, word(b + root_refs + 16));
    EXPECT_EQ(0u, word(end - 4));
    // A material without an image stores 0xFFFFFFFF; image index 0 is the first image.
    mad_material_store(b, &s.materials[1], s.dp.images, IO_ENDIAN_NATIVE);
    EXPECT_EQ(0xFFFFFFFFu, word(b));
    s.materials[1].base_color_image = &s.images[0];
    mad_material_store(b, &s.materials[1], s.dp.images, IO_ENDIAN_NATIVE);
    EXPECT_EQ(0u, word(b));
    // A primitive without a material stores 0xFFFFFFFF after its vertices.
    end = mad_mesh_store(b, &s.meshes[0], s.dp.materials, IO_ENDIAN_NATIVE);
    EXPECT_EQ(0xFFFFFFFFu, word(end - 4));
    // A perspective camera stores aspect and fov, an orthographic one xmag and ymag.
    end = mad_camera_store(b, &s.cameras[1], IO_ENDIAN_NATIVE);
    ASSERT_EQ(20, end - b);
    float f;
    io_loadf32(&f, b + 12, IO_ENDIAN_NATIVE);
    EXPECT_EQ(4.0f, f);
}

TEST(MadDatapack, FindByName)
{
    scene s;
    EXPECT_EQ(0, mad_animation_find_by_name(&s.dp, "walk"));
    EXPECT_EQ(2, mad_node_find_by_name(&s.dp, "arm"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mad_animation_find_by_name(&s.dp, "run"));
    EXPECT_EQ(-1, mad_node_find_by_name(&s.dp, "Arm"));
    EXPECT_EQ("failed find animation \"run\"\nfailed find node \"Arm\"\n", testing::internal::GetCapturedStdout());
}

TEST(MadDatapack, DebugComparisonFindsEachDifference)
{
    struct row {
        const char* why;
        std::function<void(mad_datapack*)> change;
        int expected;
    };
    const row rows[] = {
        {"node names are not compared", [](mad_datapack* d) { d->nodes[1].name[0] = 'X'; }, 0},
        {"animation names are not compared", [](mad_datapack* d) { d->animations[0].name[0] = 'X'; }, 0},
        {"image name", [](mad_datapack* d) { d->images[0].name[1] = 'X'; }, 1},
        {"shorter image name", [](mad_datapack* d) { d->images[1].name[2] = 0; }, 1},
        {"node scale", [](mad_datapack* d) { d->nodes[3].scale[2] = 7.0f; }, 1},
        {"node rotation sign of zero", [](mad_datapack* d) { d->nodes[0].rotation[0] = -0.0f; }, 1},
        {"child index", [](mad_datapack* d) { d->nodes[0].children_index[1] = 2; }, 1},
        {"parent", [](mad_datapack* d) { d->nodes[3].parent = &d->nodes[1]; }, 1},
        {"camera reference", [](mad_datapack* d) { d->nodes[3].camera = &d->cameras[1]; }, 1},
        {"material loses its image", [](mad_datapack* d) { d->materials[0].base_color_image = nullptr; }, 1},
        {"material image index is not compared",
         [](mad_datapack* d) { d->materials[0].base_color_image = &d->images[0]; }, 0},
        {"base colour", [](mad_datapack* d) { d->materials[1].base_color[3] = 0.5f; }, 1},
        {"vertex", [](mad_datapack* d) { d->meshes[0].primitives[1].vertices.uv[5] += 1.0f; }, 1},
        {"primitive material", [](mad_datapack* d) { d->meshes[0].primitives[1].material = &d->materials[1]; }, 1},
        {"primitive count", [](mad_datapack* d) { d->meshes[0].primitives_count = 1; }, 1},
        {"joint", [](mad_datapack* d) { d->skins[0].joints[0] = 3; }, 1},
        {"inverse bind matrix", [](mad_datapack* d) { d->skins[0].joint_from_model_matrices[1][3][0] = 9.0f; }, 1},
        {"camera", [](mad_datapack* d) { d->cameras[0].znear = 1.0f; }, 1},
        {"sampler value", [](mad_datapack* d) { d->animations[0].samplers[0].values[5] = 0.5f; }, 1},
        {"NaN time equals nothing", [](mad_datapack* d) { d->animations[0].samplers[1].timestamps[1] = NAN; }, 1},
        {"sampler interpolation", [](mad_datapack* d) { d->animations[0].samplers[1].interpolation = 2; }, 1},
        {"channel attribute", [](mad_datapack* d) { d->animations[0].channels[0].attribute = 3; }, 1},
        {"channel sampler", [](mad_datapack* d) { d->animations[0].channels[1].sampler = d->animations[0].samplers; },
         1},
        {"count", [](mad_datapack* d) { d->cameras_count = 1; }, 1},
    };
    scene s;
    const std::vector<uint8_t> bytes = s.store(IO_ENDIAN_NATIVE);
    for (const row& r : rows) {
        test_arena ta;
        mad_datapack a, b;
        ASSERT_NE(nullptr, mad_datapack_load(&a, &ta.arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE));
        ASSERT_NE(nullptr, mad_datapack_load(&b, &ta.arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE));
        r.change(&b);
        EXPECT_EQ(r.expected, mad_datapack_dbg_cmp(&a, &b)) << r.why;
        EXPECT_EQ(r.expected, mad_datapack_dbg_cmp(&b, &a)) << r.why;
    }
}

TEST(MadDatapack, EveryTruncationFailsCleanly)
{
    scene s;
    for (int endian : {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED}) {
        const std::vector<uint8_t> bytes = s.store(endian);
        test_arena ta;
        for (size_t n = 0; n < bytes.size(); ++n) {
            memarena_reset(&ta.arena);
            mad_datapack back;
            std::string out;
            std::unique_ptr<uint8_t[]> keep;
            ASSERT_EQ(nullptr, load(&back, &ta.arena, bytes, n, endian, &out, &keep)) << n;
            ASSERT_EQ(0u, out.find("datapack record refused: ")) << n << ": " << out;
            EXPECT_TRUE(out.find("fit") != std::string::npos || out.find("not terminated") != std::string::npos)
                << n << ": " << out;
        }
    }
}

TEST(MadDatapack, RefusesOutOfRangeReferencesAndBadSamplers)
{
    struct row {
        const char* why;
        std::function<void(scene*)> change;
        const char* message;
    };
    const row rows[] = {
        {"node mesh", [](scene* s) { s->nodes[2].mesh = &s->meshes[1]; }, "node mesh index out of range"},
        {"node skin", [](scene* s) { s->nodes[2].skin = &s->skins[1]; }, "node skin index out of range"},
        {"node camera", [](scene* s) { s->nodes[2].camera = &s->cameras[2]; }, "node camera index out of range"},
        {"child",
         [](scene* s) {
             s->children[1] = {4};
             s->sync_children();
         },
         "node 1 \"body\" has a child index out of range"},
        {"parent", [](scene* s) { s->nodes[3].parent = &s->nodes[4]; },
         "node 3 \"cam\" has a parent index out of range"},
        {"material image", [](scene* s) { s->materials[1].base_color_image = &s->images[2]; },
         "material image index out of range"},
        {"primitive material", [](scene* s) { s->prims[1].material = &s->materials[2]; },
         "primitive material index out of range"},
        {"skin joint", [](scene* s) { s->joints[1] = 4; }, "skin joint index out of range"},
        {"channel node", [](scene* s) { s->channels[0].node = &s->nodes[4]; }, "channel node index out of range"},
        {"channel sampler", [](scene* s) { s->channels[1].sampler = &s->samplers[2]; },
         "channel sampler index out of range"},
        {"sampler without keyframes", [](scene* s) { s->samplers[1].count = 0; }, "sampler without keyframes"},
        {"rotation values for 3 of 3 keyframes short by one", [](scene* s) { s->samplers[0].values_count = 11; },
         "sampler has fewer values than its channel needs"},
        {"translation values short by one", [](scene* s) { s->samplers[1].values_count = 5; },
         "sampler has fewer values than its channel needs"},
        {"decreasing time", [](scene* s) { s->rot_times[2] = 0.4f; }, "sampler times decrease"},
        {"NaN time", [](scene* s) { s->rot_times[1] = NAN; }, "sampler times decrease"},
        {"vertex joint beyond the skin", [](scene* s) { s->prim_data[1].joints[9] = 2; },
         "vertex joint index out of range of its skin"},
        {"skinned primitive without weights", [](scene* s) { s->prims[0].vertices.joints_weights = nullptr; },
         "skinned primitive without joints and weights"},
        // Hierarchy: parents must match the one children list that holds a node.
        {"parent not the lister", [](scene* s) { s->nodes[3].parent = &s->nodes[1]; },
         "node 3 \"cam\" parent does not match the children lists"},
        {"root listed as a child",
         [](scene* s) {
             s->children[2] = {0};
             s->sync_children();
         },
         "node 0 \"root\" parent does not match the children lists"},
        {"child twice in one list",
         [](scene* s) {
             s->children[1] = {2, 2};
             s->sync_children();
         },
         "node 2 \"arm\" listed as a child twice"},
        {"child of two parents",
         [](scene* s) {
             s->children[0] = {1, 3, 2};
             s->sync_children();
         },
         "node 2 \"arm\" listed as a child twice"},
        {"own child",
         [](scene* s) {
             s->children[1] = {};
             s->children[2] = {2};
             s->nodes[2].parent = &s->nodes[2];
             s->sync_children();
         },
         "node 2 \"arm\" listed as a child twice"},
        {"cycle below no root",
         [](scene* s) {
             s->children[0] = {3};
             s->children[1] = {2};
             s->children[2] = {1};
             s->nodes[1].parent = &s->nodes[2];
             s->sync_children();
         },
         "node 1 \"body\" is in a cycle of parents"},
    };
    for (const row& r : rows) {
        scene s;
        r.change(&s);
        const std::vector<uint8_t> bytes = s.store(IO_ENDIAN_SWAPPED);
        test_arena ta;
        mad_datapack back;
        std::string out;
        std::unique_ptr<uint8_t[]> keep;
        EXPECT_EQ(nullptr, load(&back, &ta.arena, bytes, bytes.size(), IO_ENDIAN_SWAPPED, &out, &keep)) << r.why;
        EXPECT_EQ("datapack record refused: " + std::string(r.message) + "\n", out) << r.why;
    }
}

TEST(MadDatapack, RefusesCountsBeyondTheRecord)
{
    scene s;
    const std::vector<uint8_t> good = s.store(IO_ENDIAN_NATIVE);
    // Group offsets from the per-record writers.
    uint8_t scratch[4096];
    size_t nodes_end = 28;
    for (int i = 0; i < 4; ++i)
        nodes_end += (size_t)(mad_node_store(scratch, &s.nodes[i], s.dp.nodes, s.dp.meshes, s.dp.skins, s.dp.cameras,
                                             IO_ENDIAN_NATIVE) -
                              scratch);
    const size_t meshes_at = nodes_end + 5 + 5 + 2 * 20;
    const size_t skins_at =
        meshes_at + (size_t)(mad_mesh_store(scratch, &s.meshes[0], s.dp.materials, IO_ENDIAN_NATIVE) - scratch);
    const size_t animations_at = skins_at + 4 + 2 * 68 + 2 * 20;
    ASSERT_EQ(3u, word(good.data() + meshes_at + 4 + 4));  // first primitive's vertex count
    ASSERT_EQ(2u, word(good.data() + skins_at));           // joints count
    ASSERT_EQ(2u, word(good.data() + animations_at + 5));  // samplers count
    struct row {
        const char* why;
        size_t offset;
        uint32_t value;
        const char* message;
    };
    const row rows[] = {
        {"nodes count above int", 0, 0x80000000u, "datapack count above the largest int"},
        {"nodes count beyond the record", 0, 0x7FFFFFFFu, "datapack records do not fit their counts"},
        {"materials count beyond the record", 24, 100000u, "datapack records do not fit their counts"},
        {"children count", 28 + 5, 0x40000000u, "node children do not fit"},
        {"primitives count", meshes_at, 0x10000000u, "mesh primitives do not fit"},
        {"vertex count", meshes_at + 8, 0x01000000u, "vertices arrays do not fit"},
        {"vertex mask", meshes_at + 4, 0x100u, "vertices mask names unknown arrays"},
        {"joints count", skins_at, 0x01000000u, "skin joints do not fit"},
        {"samplers count", animations_at + 5, 0x01000000u, "animation samplers do not fit"},
        {"sampler keyframes", animations_at + 5 + 4 + 4, 0x7FFFFFFFu, "sampler keyframes do not fit"},
        {"sampler values", animations_at + 5 + 4 + 8, 0xFFFFFFFFu, "sampler keyframes do not fit"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = good;
        io_store32(bad.data() + r.offset, r.value, IO_ENDIAN_NATIVE);
        test_arena ta;
        mad_datapack back;
        std::string out;
        std::unique_ptr<uint8_t[]> keep;
        EXPECT_EQ(nullptr, load(&back, &ta.arena, bad, bad.size(), IO_ENDIAN_NATIVE, &out, &keep)) << r.why;
        EXPECT_EQ("datapack record refused: " + std::string(r.message) + "\n", out) << r.why;
        // Nothing was pushed for the bad count beyond what the record could hold.
        EXPECT_LT(memarena_get_marker(&ta.arena), 64u * 1024u) << r.why;
    }
}
