// A skinned, animated datapack end to end: a strip bent by two bones, written
// with the datapack writer and read back, animated, turned into world and joint
// matrices, prepared for skinning and drawn through the skinning path with the
// renderer's own rasterizers; its pixels are compared with a float reference of
// the same skinning (glm matrices, point-in-triangle sampling).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "core/io.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "n3d/n3d.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"

namespace {

using test_arena = qf_test_arena<32u << 20>;

constexpr int W = 320, H = 240;
constexpr int SEGMENTS = 16;
constexpr float HALF_HEIGHT = 0.2f;
constexpr float FOV_Y = 1.0471976f;  // 60 degrees
constexpr float NEAR = 0.25f;
constexpr float SAMPLE_T = 0.75f;

// The strip runs along x from 0 to 2 in bind space; the second bone starts at
// x = 1 and takes over between 0.75 and 1.25.
float bone1_weight(float x)
{
    const float w = (x - 0.75f) / 0.5f;
    return w < 0.0f ? 0.0f : (w > 1.0f ? 1.0f : w);
}

// Bone 1 turns about z from 0 to 80 degrees over one second; bone 0 slides.
const float ROT1[8] = {0, 0, 0, 1, 0, 0, 0.64278764f, 0.76604444f};
const float MOVE0[6] = {-1.0f, 0, 0, -0.6f, 0.2f, 0};

struct strip_pack {
    std::vector<float> xyz, uv, weights;
    std::vector<uint8_t> joints;
    mad_node nodes[3]{};
    int bone0_children[1] = {2};
    mad_mesh mesh{};
    mad_primitive prim{};
    mad_material material{};
    mad_skin skin{};
    int skin_joints[2] = {1, 2};
    mat4x4 ibm[2], bind[2];
    float rot_t[2] = {0, 1}, move_t[2] = {0, 1};
    float rot_v[8], move_v[6];
    mad_sampler samplers[2]{};
    mad_channel channels[2]{};
    mad_animation anim{};
    char names[4][8] = {"strip", "bone0", "bone1", "bend"};
    mad_datapack dp{};

    void vertex(float x, float y)
    {
        xyz.insert(xyz.end(), {x, y, 0.0f});
        uv.insert(uv.end(), {x * 0.5f, y + 0.5f});
        const float w1 = bone1_weight(x);
        joints.insert(joints.end(), {0, 1, 0, 0});
        weights.insert(weights.end(), {1.0f - w1, w1, 0.0f, 0.0f});
    }

    strip_pack()
    {
        // Two front-facing triangles a segment (seen from +z, y up).
        for (int s = 0; s < SEGMENTS; ++s) {
            const float x0 = 2.0f * s / SEGMENTS, x1 = 2.0f * (s + 1) / SEGMENTS;
            vertex(x0, -HALF_HEIGHT), vertex(x1, -HALF_HEIGHT), vertex(x1, HALF_HEIGHT);
            vertex(x0, -HALF_HEIGHT), vertex(x1, HALF_HEIGHT), vertex(x0, HALF_HEIGHT);
        }
        n3d_vertices& v = prim.vertices;
        v.count = (int)(xyz.size() / 3);
        v.xyz = xyz.data();
        v.uv = uv.data();
        v.joints = joints.data();
        v.joints_weights = weights.data();
        prim.material = &material;
        vec4_set(material.base_color, 1, 1, 1, 1);
        mesh.primitives_count = 1;
        mesh.primitives = &prim;

        for (int i = 0; i < 3; ++i) {
            nodes[i].name = names[i];
            vec3_set(nodes[i].scale, 1, 1, 1);
            vec4_set(nodes[i].rotation, 0, 0, 0, 1);
        }
        nodes[0].mesh = &mesh;
        nodes[0].skin = &skin;
        nodes[1].children_count = 1;
        nodes[1].children_index = bone0_children;
        nodes[2].parent = &nodes[1];
        vec3_set(nodes[2].translation, 1.0f, 0, 0);

        // Inverse bind matrices: the bones' rest world matrices inverted.
        mat4x4_identity(ibm[0]);
        mat4x4_translate(ibm[1], -1.0f, 0, 0);
        for (int j = 0; j < 2; ++j)
            mat4x4_invert(bind[j], ibm[j]);
        skin.joints_count = 2;
        skin.joints = skin_joints;
        skin.joint_from_model_matrices = ibm;
        skin.model_from_joint_matrices = bind;

        memcpy(rot_v, ROT1, sizeof rot_v);
        memcpy(move_v, MOVE0, sizeof move_v);
        samplers[0] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 8, rot_t, rot_v};
        samplers[1] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 6, move_t, move_v};
        channels[0] = mad_channel{&nodes[2], &samplers[0], MAD_ATTRIBUTE_ROTATION};
        channels[1] = mad_channel{&nodes[1], &samplers[1], MAD_ATTRIBUTE_TRANSLATION};
        anim = mad_animation{names[3], 2, samplers, 2, channels};

        dp.nodes_count = 3;
        dp.nodes = nodes;
        dp.meshes_count = 1;
        dp.meshes = &mesh;
        dp.skins_count = 1;
        dp.skins = &skin;
        dp.animations_count = 1;
        dp.animations = &anim;
        dp.materials_count = 1;
        dp.materials = &material;
    }
};

// The reference: the same skinning in glm, from the keyframes directly.
std::vector<glm::vec2> reference_screen(const strip_pack& s, const glm::mat4& clip_from_world)
{
    const glm::quat r0(ROT1[3], ROT1[0], ROT1[1], ROT1[2]), r1(ROT1[7], ROT1[4], ROT1[5], ROT1[6]);
    const glm::quat r = glm::slerp(r0, r1, SAMPLE_T);
    const glm::vec3 move =
        glm::mix(glm::vec3(MOVE0[0], MOVE0[1], MOVE0[2]), glm::vec3(MOVE0[3], MOVE0[4], MOVE0[5]), SAMPLE_T);
    const glm::mat4 bone0 = glm::translate(glm::mat4(1.0f), move);
    const glm::mat4 bone1 = bone0 * glm::translate(glm::mat4(1.0f), glm::vec3(1, 0, 0)) * glm::mat4_cast(r);
    const glm::mat4 joint[2] = {bone0, bone1 * glm::translate(glm::mat4(1.0f), glm::vec3(-1, 0, 0))};
    std::vector<glm::vec2> out;
    for (size_t i = 0; i < s.xyz.size() / 3; ++i) {
        const glm::vec4 p(s.xyz[3 * i], s.xyz[3 * i + 1], s.xyz[3 * i + 2], 1.0f);
        const float w1 = s.weights[4 * i + 1];
        const glm::vec4 world = (1.0f - w1) * (joint[0] * p) + w1 * (joint[1] * p);
        const glm::vec4 c = clip_from_world * world;
        out.push_back({W / 2.0f * c.x / c.w + W / 2.0f + 0.5f, H / 2.0f * c.y / c.w + H / 2.0f + 0.5f});
    }
    return out;
}

float edge(glm::vec2 a, glm::vec2 b, glm::vec2 p) { return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x); }

// Inside a triangle (either winding), and the distance to its nearest edge.
bool inside(const glm::vec2* t, glm::vec2 p)
{
    const float e0 = edge(t[0], t[1], p), e1 = edge(t[1], t[2], p), e2 = edge(t[2], t[0], p);
    return (e0 >= 0 && e1 >= 0 && e2 >= 0) || (e0 <= 0 && e1 <= 0 && e2 <= 0);
}
float segment_distance(glm::vec2 a, glm::vec2 b, glm::vec2 p)
{
    const glm::vec2 ab = b - a;
    const float t = glm::clamp(glm::dot(p - a, ab) / glm::dot(ab, ab), 0.0f, 1.0f);
    return glm::length(p - (a + t * ab));
}

TEST(MadSkinnedStrip, BentStripMatchesAFloatReference)
{
    test_arena ta;
    memarena* arena = &ta.arena;
    n3d_init(arena);

    // Written and read back: the drawn datapack is the loaded one.
    strip_pack src;
    std::vector<uint8_t> bytes(1 << 16);
    bytes.resize((size_t)(mad_datapack_store(bytes.data(), &src.dp, IO_ENDIAN_NATIVE) - bytes.data()));
    mad_datapack pack;
    ASSERT_NE(nullptr, mad_datapack_load(&pack, arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE));

    mad_animate(&pack, 0, SAMPLE_T);
    std::vector<mat4x4> world(3), joints(2), clip_joints(2);
    mad_world_matrices(world.data(), &pack, arena);
    mad_joint_matrices(joints.data(), world.data(), &pack, &pack.skins[0]);

    // A white texture, so every drawn pixel is white whatever the mip level.
    bitmap white;
    bitmap_init(&white, arena, 64, 64, BITMAP_FLAG_RGBA);
    const float one[4] = {1, 1, 1, 1};
    bitmap_fill(&white, one);
    n3d_texture tex{};
    test_arena scratch(1u << 20);  // the builder rewinds its scratch arena
    n3d_make_texture_from_bitmap(&tex, arena, &scratch.arena, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1, 1, 0,
                                 BITMAP_FILTER_BOX, &white, nullptr, -1, 0.0f);
    n3d_texture* argb_textures[1] = {&tex};

    n3d_render_context rc{};
    n3d_frame_context fc;
    n3d_framecontext_init(&fc, arena, W, H, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                          N3D_FRAMECONTEXT_COVERAGEBUFFER);
    rc.fc = &fc;
    rc.tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = argb_textures;
    // Camera at (0.6, 0.4, 3) looking down -z.
    const glm::mat4 world_from_view = glm::translate(glm::mat4(1.0f), glm::vec3(0.6f, 0.4f, 3.0f));
    const glm::mat4 view_from_world = glm::inverse(world_from_view);
    mat4x4 vfw, wfv;
    memcpy(vfw, glm::value_ptr(view_from_world), sizeof vfw);
    memcpy(wfv, glm::value_ptr(world_from_view), sizeof wfv);
    n3d_space_context_set(&rc.sc, &fc, vfw, wfv, FOV_Y, NEAR);

    n3d_mesh mesh{};
    mat4x4_identity(mesh.model_from_world);
    mat4x4_identity(mesh.world_from_model);
    mesh.texture_id = 0;
    mesh.vertices = pack.meshes[0].primitives[0].vertices;
    mesh.joint_matrices = joints.data();
    mesh.view_proj_joint_matrices = clip_joints.data();
    n3d_prepare_skinning(&mesh, pack.skins[0].joints_count, &rc.sc);
    n3d_render_mesh(&rc, &mesh, N3D_DRAW_MODE_DEFAULT | N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_COVERAGE_WRITE);

    // The reference projection, written out: a / aspect, -a, infinite far plane.
    const float a = 1.0f / std::tan(FOV_Y / 2.0f), aspect = (float)W / H;
    glm::mat4 proj(0.0f);
    proj[0][0] = a / aspect;
    proj[1][1] = -a;
    proj[2][2] = -1.0f;
    proj[2][3] = -1.0f;
    proj[3][2] = -2.0f * NEAR;
    const std::vector<glm::vec2> ref = reference_screen(src, proj * view_from_world);

    int drawn = 0, covered = 0, mismatched = 0, far_mismatch = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint16_t px;
            memcpy(&px, static_cast<uint8_t*>(fc.fb->b) + y * fc.fb->row_bytes + 2 * x, 2);
            const bool got = px != 0x8000;
            if (got) {
                EXPECT_EQ(px, 0xFFFF) << x << "," << y;
            }
            const glm::vec2 p((float)x, (float)y);
            bool want = false;
            float nearest_edge = 1e9f;
            for (size_t t = 0; t + 2 < ref.size(); t += 3) {
                want = want || inside(&ref[t], p);
                for (int k = 0; k < 3; ++k)
                    nearest_edge = std::fmin(nearest_edge, segment_distance(ref[t + k], ref[t + (k + 1) % 3], p));
            }
            drawn += got;
            covered += want;
            if (got != want) {
                ++mismatched;
                // Sampling on either side of an edge may differ; anything
                // farther than a pixel from the reference's edges is a fault.
                if (nearest_edge > 1.0f && far_mismatch++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << (got ? " drawn" : " missing") << ", " << nearest_edge
                                  << " pixels from the reference's edges";
            }
        }
    EXPECT_EQ(far_mismatch, 0);
    // The strip is a few thousand pixels; the outline differences a small share.
    EXPECT_GT(covered, 2000);
    EXPECT_LT(mismatched, covered / 20);
    EXPECT_NEAR(drawn, covered, covered / 20);
    // The bend: the reference's tip lies well above the unbent strip.
    EXPECT_LT(ref.back().y, ref.front().y - 40.0f);
}

}  // namespace
