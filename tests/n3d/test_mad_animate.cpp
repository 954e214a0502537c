// Datapack animation: the samplers' rules as tables, slerp against glm's
// (double precision), local matrices and the world pass against glm products,
// joint matrices, mad_animate on a small scene, the print text, and the loader
// refusing hierarchies the world pass could not walk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>
#include <glm/gtc/type_ptr.hpp>

#include "core/io.h"
#include "core/linmath.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "support/capture.h"
#include "support/test_arena.h"

namespace {

using test_arena = qf_test_arena<1u << 20>;

// ---- samplers ----

TEST(MadSampler, LinearAndStepTranslation)
{
    float times[2] = {0.0f, 2.0f};
    float values[6] = {0, 0, 0, 2, 4, 6};
    struct {
        int interpolation;
        float t;
        float want[3];
        const char* why;
    } rows[] = {
        {MAD_INTERPOLATION_LINEAR, -1.0f, {0, 0, 0}, "before the first keyframe: keyframe 0"},
        {MAD_INTERPOLATION_LINEAR, 0.5f, {0.5f, 1.0f, 1.5f}, "a quarter of the way"},
        {MAD_INTERPOLATION_LINEAR, 2.0f, {2, 4, 6}, "at the last keyframe"},
        {MAD_INTERPOLATION_LINEAR, 5.0f, {2, 4, 6}, "after the last: the last, time is not wrapped"},
        {MAD_INTERPOLATION_STEP, -1.0f, {0, 0, 0}, "step before the first"},
        {MAD_INTERPOLATION_STEP, 0.5f, {0, 0, 0}, "step yields the earlier keyframe"},
        {MAD_INTERPOLATION_STEP, 2.0f, {0, 0, 0}, "a time equal to a keyframe brackets it as the later one"},
        {MAD_INTERPOLATION_STEP, 5.0f, {0, 0, 0}, "step after the last: the one before it"},
        {7, 0.5f, {-9, -9, -9}, "an unknown interpolation leaves the target alone"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        mad_sampler s{r.interpolation, 2, 6, times, values};
        float out[3] = {-9, -9, -9};
        int hint = 0;
        mad_sampler_interpolation_values(out, &s, MAD_ATTRIBUTE_TRANSLATION, &hint, r.t);
        for (int c = 0; c < 3; ++c)
            EXPECT_FLOAT_EQ(out[c], r.want[c]) << c;
        EXPECT_EQ(hint, 0);
    }
}

TEST(MadSampler, KeyframeEdges)
{
    float values[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct {
        std::vector<float> times;
        int interpolation, hint;
        float t;
        float want[3];
        int hint_after;
        const char* why;
    } rows[] = {
        {{1, 1}, MAD_INTERPOLATION_LINEAR, 0, 1.0f, {1, 2, 3}, 0, "equal times, linear: the earlier keyframe"},
        {{1, 1}, MAD_INTERPOLATION_STEP, 0, 3.0f, {1, 2, 3}, 0, "equal times, step: the earlier keyframe"},
        {{1, 1}, 7, 0, 1.0f, {1, 2, 3}, 0, "equal times win over an unknown interpolation"},
        {{4}, MAD_INTERPOLATION_LINEAR, 0, 9.0f, {1, 2, 3}, 0, "one keyframe: always that one"},
        {{0, 1, 2, 3}, MAD_INTERPOLATION_LINEAR, 0, 2.5f, {8.5f, 9.5f, 10.5f}, 2, "search moves on; hint is k1"},
        {{0, 1, 2, 3},
         MAD_INTERPOLATION_LINEAR,
         2,
         0.5f,
         {7, 8, 9},
         2,
         "the search only moves forward: a stale hint clamps to its pair's start"},
        {{0, 1, 2, 3}, MAD_INTERPOLATION_LINEAR, 1000, 0.5f, {7, 8, 9}, 2, "a hint past the end stays inside"},
        {{0, 1, 2, 3}, MAD_INTERPOLATION_LINEAR, -50, 0.5f, {2.5f, 3.5f, 4.5f}, 0, "a negative hint stays inside"},
        {{0, 1, 2, 3}, MAD_INTERPOLATION_LINEAR, 0, NAN, {1, 2, 3}, 0, "a NaN time gives the earlier keyframe"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        // Exact-size copies: any read outside them shows under ASan.
        std::vector<float> times = r.times;
        std::vector<float> vals(values, values + 3 * times.size());
        mad_sampler s{r.interpolation, (int)times.size(), (int)vals.size(), times.data(), vals.data()};
        float out[3] = {-9, -9, -9};
        int hint = r.hint;
        mad_sampler_interpolation_values(out, &s, MAD_ATTRIBUTE_SCALE, &hint, r.t);
        for (int c = 0; c < 3; ++c)
            EXPECT_FLOAT_EQ(out[c], r.want[c]) << c;
        EXPECT_EQ(hint, r.hint_after);
    }
}

TEST(MadSampler, ReadsStayInsideItsArrays)
{
    // No keyframes, and fewer values than the keyframes need: nothing is read
    // past the arrays (ASan) and the target keeps its value.
    std::vector<float> one_time = {0.5f}, two_values = {1, 2};
    const mad_sampler rows[] = {
        {MAD_INTERPOLATION_LINEAR, 0, 0, nullptr, nullptr},
        {MAD_INTERPOLATION_LINEAR, 1, 2, one_time.data(), two_values.data()},
    };
    for (const mad_sampler& s : rows) {
        float out[4] = {-9, -9, -9, -9};
        int hint = 0;
        mad_sampler_interpolation_values(out, &s, MAD_ATTRIBUTE_ROTATION, &hint, 0.5f);
        for (float v : out)
            EXPECT_EQ(v, -9.0f);
    }
}

// ---- slerp ----

glm::dquat to_glm(const quat q) { return glm::dquat(q[3], q[0], q[1], q[2]); }

void random_unit(std::mt19937& rng, quat q)
{
    std::normal_distribution<float> n;
    for (int i = 0; i < 4; ++i)
        q[i] = n(rng);
    vec4_norm(q, q);
}

void expect_close(const quat got, const glm::dquat& want, double tol)
{
    const double w[4] = {want.x, want.y, want.z, want.w};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(got[i], w[i], tol * (1.0 + std::fabs(w[i]))) << "component " << i;
}

TEST(QuatSlerp, AgainstGlm)
{
    std::mt19937 rng(17);
    int positive = 0, negative = 0;
    for (int n = 0; n < 400; ++n) {
        quat a, b, r;
        random_unit(rng, a);
        random_unit(rng, b);
        const float d = vec4_mul_inner(a, b);
        if (d > 0.9995f)
            continue;
        const float t = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
        quat_slerp(r, a, b, t);
        // glm's slerp turns b round for a negative dot product; its mix does
        // not, which is this interpolation's rule: the longer arc is kept.
        const glm::dquat want =
            d > 0 ? glm::slerp(to_glm(a), to_glm(b), (double)t) : glm::mix(to_glm(a), to_glm(b), (double)t);
        (d > 0 ? positive : negative)++;
        expect_close(r, want, 2e-5);
        EXPECT_NEAR(vec4_len(r), 1.0f, 1e-5f);
    }
    EXPECT_GT(positive, 100);
    EXPECT_GT(negative, 100);
}

TEST(QuatSlerp, EdgeCases)
{
    // Above 0.9995 the normalised straight blend.
    quat a = {0, 0, 0, 1}, b = {0.02f, 0, 0, 0.9998f}, r;
    vec4_norm(b, b);
    ASSERT_GT(vec4_mul_inner(a, b), 0.9995f);
    quat_slerp(r, a, b, 0.25f);
    const glm::dquat lin = glm::normalize(to_glm(a) * 0.75 + to_glm(b) * 0.25);
    expect_close(r, lin, 1e-6);

    // The ends.
    quat c = {0.6f, 0, 0, 0.8f};
    quat_slerp(r, a, c, 0.0f);
    expect_close(r, to_glm(a), 1e-6);
    quat_slerp(r, a, c, 1.0f);
    expect_close(r, to_glm(c), 1e-6);

    // A negative dot product is not flipped: half way from a to b at dot -0.5
    // has dot 0.5 with a (the longer arc), not cos(30 degrees).
    quat p = {0, 0, 0, 1}, q = {0.8660254f, 0, 0, -0.5f};
    quat_slerp(r, p, q, 0.5f);
    EXPECT_NEAR(vec4_mul_inner(r, p), 0.5f, 1e-5f);

    // q and -q, and within rounding of it: a finite unit quaternion (a itself).
    std::mt19937 rng(3);
    for (int n = 0; n < 50; ++n) {
        quat x, y;
        random_unit(rng, x);
        for (int i = 0; i < 4; ++i)
            y[i] = -x[i] * (n % 2 ? 1.0f : 0.99999994f);
        for (float t : {0.0f, 0.3f, 0.5f, 1.0f}) {
            quat_slerp(r, x, y, t);
            for (int i = 0; i < 4; ++i)
                ASSERT_TRUE(std::isfinite(r[i])) << n << " t " << t;
            EXPECT_NEAR(vec4_len(r), 1.0f, 1e-5f);
        }
    }
    quat x = {0.5f, 0.5f, 0.5f, 0.5f}, y = {-0.5f, -0.5f, -0.5f, -0.5f};
    quat_slerp(r, x, y, 0.5f);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r[i], x[i]);
}

// ---- matrices ----

glm::mat4 local_glm(const vec3 s, const quat r, const vec3 t)
{
    return glm::translate(glm::mat4(1.0f), glm::vec3(t[0], t[1], t[2])) *
           glm::mat4_cast(glm::quat(r[3], r[0], r[1], r[2])) * glm::scale(glm::mat4(1.0f), glm::vec3(s[0], s[1], s[2]));
}

void expect_mat(const mat4x4 got, const glm::mat4& want, float tol = 1e-5f)
{
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            EXPECT_NEAR(got[c][r], want[c][r], tol * (1.0f + std::fabs(want[c][r]))) << "column " << c << " row " << r;
}

TEST(MadMatrices, FromSrtIsTranslateRotateScale)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (int n = 0; n < 50; ++n) {
        vec3 s = {u(rng), u(rng), u(rng)}, t = {u(rng), u(rng), u(rng)};
        quat r;
        random_unit(rng, r);
        mat4x4 m;
        mad_mat4x4_from_srt(m, s, r, t);
        expect_mat(m, local_glm(s, r, t));
    }
}

// A chain root -> child -> grandchild stored as grandchild, root, child, and a
// second root with two leaves; every node its own transform.
struct hierarchy {
    std::vector<mad_node> nodes = std::vector<mad_node>(6);
    std::vector<std::vector<int>> children = std::vector<std::vector<int>>(6);
    mad_datapack dp{};
    enum { GRANDCHILD = 0, ROOT = 1, CHILD = 2, ROOT2 = 3, LEAF_A = 4, LEAF_B = 5 };

    hierarchy()
    {
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(0.5f, 2.0f);
        for (int i = 0; i < 6; ++i) {
            mad_node& n = nodes[i];
            vec3_set(n.scale, u(rng), u(rng), u(rng));
            random_unit(rng, n.rotation);
            vec3_set(n.translation, u(rng), -u(rng), u(rng));
        }
        link(ROOT, CHILD);
        link(CHILD, GRANDCHILD);
        link(ROOT2, LEAF_A);
        link(ROOT2, LEAF_B);
        dp.nodes_count = 6;
        dp.nodes = nodes.data();
    }
    void link(int parent, int child)
    {
        children[parent].push_back(child);
        nodes[parent].children_count = (int)children[parent].size();
        nodes[parent].children_index = children[parent].data();
        nodes[child].parent = &nodes[parent];
    }
    glm::mat4 local(int i) const { return local_glm(nodes[i].scale, nodes[i].rotation, nodes[i].translation); }
};

TEST(MadMatrices, WorldMatricesParentBeforeChild)
{
    hierarchy h;
    test_arena ta;
    std::vector<mat4x4> world(6);
    const uint64_t before = ta.arena.sp;
    mad_world_matrices(world.data(), &h.dp, &ta.arena);
    EXPECT_EQ(ta.arena.sp - before, 6 * sizeof(int)) << "the stack stays pushed for the caller to rewind";
    using H = hierarchy;
    expect_mat(world[H::ROOT], h.local(H::ROOT));
    expect_mat(world[H::CHILD], h.local(H::ROOT) * h.local(H::CHILD));
    expect_mat(world[H::GRANDCHILD], h.local(H::ROOT) * h.local(H::CHILD) * h.local(H::GRANDCHILD));
    expect_mat(world[H::ROOT2], h.local(H::ROOT2));
    expect_mat(world[H::LEAF_A], h.local(H::ROOT2) * h.local(H::LEAF_A));
    expect_mat(world[H::LEAF_B], h.local(H::ROOT2) * h.local(H::LEAF_B));
}

TEST(MadMatrices, JointMatrices)
{
    hierarchy h;
    // The root with the identity inverse bind matrix, and the grandchild with
    // the inverse of its rest world matrix (identity at rest).
    std::vector<int> joints = {hierarchy::ROOT, hierarchy::GRANDCHILD};
    std::vector<mat4x4> world(6), ibm(2), out(2);
    test_arena ta;
    mad_world_matrices(world.data(), &h.dp, &ta.arena);
    mat4x4_identity(ibm[0]);
    mat4x4_invert(ibm[1], world[hierarchy::GRANDCHILD]);
    mad_skin skin{2, joints.data(), ibm.data(), nullptr};
    mad_joint_matrices(out.data(), world.data(), nullptr, &skin);
    expect_mat(out[0], h.local(hierarchy::ROOT));
    expect_mat(out[1], glm::mat4(1.0f), 1e-4f);
}

// ---- mad_animate on a scene ----

struct animated {
    std::vector<mad_node> nodes = std::vector<mad_node>(2);
    std::vector<float> move_t = {0, 2}, move_v = {0, 0, 0, 2, 4, 6};
    std::vector<float> turn_t = {0.5f, 1.5f}, turn_v = {0, 0.6f, 0, 0.8f, 0, -0.6f, 0, 0.8f};
    std::vector<float> grow_t = {0, 1}, grow_v = {1, 1, 1, 3, 3, 3};
    std::vector<mad_sampler> samplers = std::vector<mad_sampler>(3);
    std::vector<mad_channel> channels = std::vector<mad_channel>(4), channels2 = std::vector<mad_channel>(1);
    std::vector<mad_animation> animations = std::vector<mad_animation>(2);
    char name0[8] = "move", name1[8] = "grow";
    mad_datapack dp{};

    animated()
    {
        for (mad_node& n : nodes) {
            vec3_set(n.scale, 1, 1, 1);
            vec4_set(n.rotation, 0, 0, 0, 1);
            vec3_set(n.translation, 7, 7, 7);
        }
        samplers[0] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 6, move_t.data(), move_v.data()};
        samplers[1] = mad_sampler{MAD_INTERPOLATION_LINEAR, 2, 8, turn_t.data(), turn_v.data()};
        samplers[2] = mad_sampler{MAD_INTERPOLATION_STEP, 2, 6, grow_t.data(), grow_v.data()};
        channels[0] = mad_channel{&nodes[1], &samplers[0], MAD_ATTRIBUTE_TRANSLATION};
        channels[1] = mad_channel{&nodes[0], &samplers[1], MAD_ATTRIBUTE_ROTATION};
        channels[2] = mad_channel{&nodes[0], &samplers[0], 9};  // skipped
        channels[3] = mad_channel{&nodes[0], &samplers[2], MAD_ATTRIBUTE_SCALE};
        animations[0] = mad_animation{name0, 3, samplers.data(), 4, channels.data()};
        channels2[0] = mad_channel{&nodes[1], &samplers[2], MAD_ATTRIBUTE_TRANSLATION};
        animations[1] = mad_animation{name1, 3, samplers.data(), 1, channels2.data()};
        dp.nodes_count = 2;
        dp.nodes = nodes.data();
        dp.animations_count = 2;
        dp.animations = animations.data();
    }
};

TEST(MadAnimate, ChannelsWriteTheirNodes)
{
    animated a;
    mad_animate(&a.dp, 0, 1.0f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[0], 1.0f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[1], 2.0f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[2], 3.0f);
    // Half way between +-0.6 about y: the identity (slerp through w).
    EXPECT_NEAR(a.nodes[0].rotation[1], 0.0f, 1e-6f);
    EXPECT_NEAR(a.nodes[0].rotation[3], 1.0f, 1e-6f);
    // Attribute 9 is skipped: node 0's translation keeps its rest value.
    EXPECT_FLOAT_EQ(a.nodes[0].translation[0], 7.0f);
    // Step scale at t = 1 (a keyframe time): the earlier keyframe.
    EXPECT_FLOAT_EQ(a.nodes[0].scale[0], 1.0f);
    // A second animation overwrites what it shares: the rest pose is gone.
    mad_animate(&a.dp, 1, 0.5f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[0], 1.0f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[2], 1.0f);
    // The hint starts at 0 for every call: going back in time works.
    mad_animate(&a.dp, 0, 0.5f);
    EXPECT_FLOAT_EQ(a.nodes[1].translation[1], 1.0f);
}

TEST(MadAnimate, AnimationIndexOutOfRangeStops)
{
    animated a;
    for (int index : {-1, 2}) {
        captured_run r = capture_run([&] { mad_animate(&a.dp, index, 0.0f); });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("animation index " + std::to_string(index) + " out of range (2 animations)\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST(MadAnimate, PrintText)
{
    animated a;
    captured_run r = capture_run([&] { mad_animate_print(&a.dp, 0); });
    EXPECT_EQ(r.status, 0);
    // "%2.f" for the last value: width 2, no decimals.
    EXPECT_EQ(r.out, "node[1].translation keyframes: 2\n"
                     "\t[0][0.00]: 0.00 0.00  0\n"
                     "\t[1][2.00]: 2.00 4.00  6\n"
                     "]\n"
                     "node[0].rotation keyframes: 2\n"
                     "\t[0][0.50]: 0.00 0.60 0.00  1\n"
                     "\t[1][1.50]: 0.00 -0.60 0.00  1\n"
                     "]\n"
                     "node[0]. keyframes: 2\n"
                     "\t[0][0.00]: 0.00 0.00  0\n"
                     "\t[1][2.00]: 2.00 4.00  6\n"
                     "]\n"
                     "node[0].scale keyframes: 2\n"
                     "\t[0][0.00]: 1.00 1.00  1\n"
                     "\t[1][1.00]: 3.00 3.00  3\n"
                     "]\n");
}

// ---- hierarchies through the loader ----

std::vector<uint8_t> store(const mad_datapack* dp)
{
    std::vector<uint8_t> b(1 << 16);
    uint8_t* end = mad_datapack_store(b.data(), dp, IO_ENDIAN_NATIVE);
    b.resize((size_t)(end - b.data()));
    return b;
}

TEST(MadAnimate, LoadedHierarchyWalks)
{
    hierarchy h;
    static const char* names[6] = {"grandchild", "root", "child", "root2", "a", "b"};
    for (int i = 0; i < 6; ++i)
        h.nodes[i].name = const_cast<char*>(names[i]);
    const std::vector<uint8_t> bytes = store(&h.dp);
    test_arena ta;
    mad_datapack back;
    ASSERT_NE(nullptr, mad_datapack_load(&back, &ta.arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE));
    std::vector<mat4x4> world(6);
    mad_world_matrices(world.data(), &back, &ta.arena);
    expect_mat(world[hierarchy::GRANDCHILD],
               h.local(hierarchy::ROOT) * h.local(hierarchy::CHILD) * h.local(hierarchy::GRANDCHILD));
}

TEST(MadAnimate, LoaderRefusesHierarchiesTheWalkCannotTake)
{
    static const char* names[6] = {"grandchild", "root", "child", "root2", "a", "b"};
    struct {
        const char* why;
        void (*change)(hierarchy*);
        const char* message;
    } rows[] = {
        {"a cycle of parents",
         [](hierarchy* h) {
             // root2 -> a -> root2: no root reaches either.
             h->link(hierarchy::LEAF_A, hierarchy::ROOT2);
         },
         "node 3 \"root2\" is in a cycle of parents"},
        {"a node that is the child of two parents",
         [](hierarchy* h) {
             h->children[hierarchy::ROOT].push_back(hierarchy::LEAF_B);
             h->nodes[hierarchy::ROOT].children_count = 2;
             h->nodes[hierarchy::ROOT].children_index = h->children[hierarchy::ROOT].data();
         },
         "node 5 \"b\" listed as a child twice"},
        {"a child index out of range", [](hierarchy* h) { h->children[hierarchy::CHILD][0] = 6; },
         "node 2 \"child\" has a child index out of range"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        hierarchy h;
        for (int i = 0; i < 6; ++i)
            h.nodes[i].name = const_cast<char*>(names[i]);
        r.change(&h);
        std::vector<uint8_t> bytes = store(&h.dp);
        captured_run run = capture_run([&] {
            test_arena ta;
            mad_datapack back;
            const uint8_t* end = mad_datapack_load(&back, &ta.arena, bytes.data(), bytes.size(), IO_ENDIAN_NATIVE);
            printf("%s\n", end ? "loaded" : "refused");
        });
        EXPECT_EQ(run.out, "datapack record refused: " + std::string(r.message) + "\nrefused\n");
    }
}

}  // namespace
