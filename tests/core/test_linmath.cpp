// Vector, matrix and quaternion math against glm (an independent column-major
// implementation) with a relative tolerance, plus the system's own additions by
// their properties and the edge cases the callers rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#define GLM_FORCE_SILENT_WARNINGS
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>

#include "core/linmath_extended.h"

namespace {

// Deterministic inputs: a small LCG, values in [-4, 4).
struct rng {
    uint32_t s;
    float next()
    {
        s = s * 1664525u + 1013904223u;
        return (float)(s >> 8) / (float)(1u << 24) * 8.0f - 4.0f;
    }
};

void random_mat(mat4x4 M, glm::mat4& G, rng& r)
{
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            G[c][k] = M[c][k] = r.next();
}

// Relative to the larger of the two values and the reference's magnitude: a
// product of several terms of size ~4 carries rounding of that order.
::testing::AssertionResult near_rel(float got, float want, float scale, double rel)
{
    double tol = rel * std::fmax(1.0, std::fmax(std::fabs((double)want), (double)scale));
    if (std::isfinite(got) && std::fabs((double)got - (double)want) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " vs " << want << " (tolerance " << tol << ")";
}

float max_abs(const glm::mat4& G)
{
    float m = 0;
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            m = std::fmax(m, std::fabs(G[c][k]));
    return m;
}

void expect_mat_near(const mat4x4 M, const glm::mat4& G, double rel = 1e-5)
{
    float scale = max_abs(G);
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(near_rel(M[c][k], G[c][k], scale, rel)) << "column " << c << " row " << k;
}

}  // namespace

TEST(Linmath, VectorsAgainstGlm)
{
    rng r{1};
    for (int i = 0; i < 20; ++i) {
        vec3 a = {r.next(), r.next(), r.next()}, b = {r.next(), r.next(), r.next()};
        glm::vec3 ga(a[0], a[1], a[2]), gb(b[0], b[1], b[2]);
        vec3 out;
        vec3_add(out, a, b);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(out[k], (ga + gb)[k]);
        vec3_sub(out, a, b);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(out[k], (ga - gb)[k]);
        vec3_scale(out, a, 1.5f);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(out[k], (ga * 1.5f)[k]);
        vec3_mul_cross(out, a, b);
        glm::vec3 gc = glm::cross(ga, gb);
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(near_rel(out[k], gc[k], 16.0f, 1e-6));
        EXPECT_TRUE(near_rel(vec3_mul_inner(a, b), glm::dot(ga, gb), 16.0f, 1e-6));
        EXPECT_TRUE(near_rel(vec3_len(a), glm::length(ga), 1.0f, 1e-6));
        vec3_norm(out, a);
        glm::vec3 gn = glm::normalize(ga);
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(near_rel(out[k], gn[k], 1.0f, 1e-6));

        vec4 p = {r.next(), r.next(), r.next(), r.next()}, q = {r.next(), r.next(), r.next(), r.next()};
        glm::vec4 gp(p[0], p[1], p[2], p[3]), gq(q[0], q[1], q[2], q[3]);
        vec4 o4;
        vec4_add(o4, p, q);
        vec4 s4;
        vec4_sub(s4, p, q);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(o4[k], (gp + gq)[k]);
            EXPECT_EQ(s4[k], (gp - gq)[k]);
        }
        vec4_scale(o4, p, -0.25f);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(o4[k], (gp * -0.25f)[k]);
        EXPECT_TRUE(near_rel(vec4_mul_inner(p, q), glm::dot(gp, gq), 16.0f, 1e-6));
        EXPECT_TRUE(near_rel(vec4_len(p), glm::length(gp), 1.0f, 1e-6));
        vec4_norm(o4, p);
        glm::vec4 gn4 = glm::normalize(gp);
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(near_rel(o4[k], gn4[k], 1.0f, 1e-6));
    }
}

TEST(Linmath, MatrixLayoutAndElementwise)
{
    mat4x4 M;
    mat4x4_set(M, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(M[c][k], (float)(c * 4 + k)) << "memory order is column by column";
    vec4 row;
    mat4x4_row(row, M, 1);
    EXPECT_EQ(row[0], 1.0f);
    EXPECT_EQ(row[1], 5.0f);
    EXPECT_EQ(row[2], 9.0f);
    EXPECT_EQ(row[3], 13.0f);

    mat4x4 T;
    mat4x4_translate(T, 2, 3, 4);
    glm::mat4 GT = glm::translate(glm::mat4(1.0f), glm::vec3(2, 3, 4));
    expect_mat_near(T, GT);

    rng r{7};
    mat4x4 A, B, out;
    glm::mat4 GA, GB;
    random_mat(A, GA, r);
    random_mat(B, GB, r);
    mat4x4_add(out, A, B);
    expect_mat_near(out, GA + GB);
    mat4x4_sub(out, A, B);
    expect_mat_near(out, GA - GB);
    mat4x4_scale(out, A, 3.0f);
    expect_mat_near(out, GA * 3.0f);
    mat4x4_scale_aniso(out, A, 2, -1, 0.5f);
    expect_mat_near(out, glm::scale(GA, glm::vec3(2, -1, 0.5f)));
    mat4x4_dup(out, A);
    expect_mat_near(out, GA);
    mat4x4_copy(out, B);
    expect_mat_near(out, GB);

    vec3 a = {1, 2, 3}, b = {-1, 0.5f, 4};
    mat4x4_from_vec3_mul_outer(out, a, b);
    glm::mat4 GO(0.0f);
    glm::mat3 o3 = glm::outerProduct(glm::vec3(b[0], b[1], b[2]), glm::vec3(a[0], a[1], a[2]));
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k)
            GO[c][k] = o3[c][k];
    expect_mat_near(out, GO);
}

TEST(Linmath, MultiplyAgainstGlm)
{
    rng r{11};
    for (int i = 0; i < 20; ++i) {
        mat4x4 A, B, M;
        glm::mat4 GA, GB;
        random_mat(A, GA, r);
        random_mat(B, GB, r);
        glm::mat4 want = GA * GB;
        mat4x4_mul(M, A, B);
        expect_mat_near(M, want);

        // Aliasing the output with either input gives the same product.
        mat4x4 A2, B2;
        mat4x4_dup(A2, A);
        mat4x4_dup(B2, B);
        mat4x4_mul(A2, A2, B);
        mat4x4_mul(B2, A, B2);
        EXPECT_EQ(memcmp(A2, M, sizeof M), 0);
        EXPECT_EQ(memcmp(B2, M, sizeof M), 0);

        vec4 v = {r.next(), r.next(), r.next(), r.next()}, out;
        mat4x4_mul_vec4(out, A, v);
        glm::vec4 gv = GA * glm::vec4(v[0], v[1], v[2], v[3]);
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(near_rel(out[k], gv[k], 16.0f, 1e-5));

        // Point and direction transforms: w = 0 drops the translation column.
        vec3 p = {v[0], v[1], v[2]}, o3;
        for (float w : {1.0f, 0.0f}) {
            mat4x4_mul_vec3(o3, A, p, w);
            glm::vec4 g3 = GA * glm::vec4(p[0], p[1], p[2], w);
            for (int k = 0; k < 3; ++k)
                EXPECT_TRUE(near_rel(o3[k], g3[k], 16.0f, 1e-5)) << "w " << w;
        }
        mat4x4_mul_vec3(p, A, p, 1.0f);
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(near_rel(p[k], (GA * glm::vec4(v[0], v[1], v[2], 1.0f))[k], 16.0f, 1e-5)) << "r may alias v";
    }
}

TEST(Linmath, InvertAgainstGlm)
{
    rng r{23};
    for (int i = 0; i < 30; ++i) {
        mat4x4 A, inv;
        glm::mat4 GA;
        random_mat(A, GA, r);
        // Keep the inputs well conditioned, so the comparison measures the
        // formula rather than the rounding of a near-singular matrix.
        for (int k = 0; k < 4; ++k)
            GA[k][k] = A[k][k] = A[k][k] + (A[k][k] < 0 ? -12.0f : 12.0f);
        mat4x4_invert(inv, A);
        expect_mat_near(inv, glm::inverse(GA), 1e-5);

        mat4x4 prod;
        mat4x4_mul(prod, A, inv);
        expect_mat_near(prod, glm::mat4(1.0f), 1e-5);

        mat4x4_invert(A, A);
        EXPECT_EQ(memcmp(A, inv, sizeof A), 0) << "T may alias M";
    }
    // A rigid transform: the inverse is the transposed rotation and the negated, rotated translation.
    mat4x4 R, Ri;
    mat4x4_identity(R);
    mat4x4_rotate(R, R, 1, 2, 3, 0.7f);
    mat4x4_translate_in_place(R, 5, -6, 7);
    mat4x4_invert(Ri, R);
    glm::mat4 GR = glm::translate(glm::rotate(glm::mat4(1.0f), 0.7f, glm::vec3(1, 2, 3)), glm::vec3(5, -6, 7));
    expect_mat_near(Ri, glm::inverse(GR), 1e-5);

    mat4x4 S = {{1, 2, 3, 4}, {2, 4, 6, 8}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    mat4x4 Si;
    mat4x4_invert(Si, S);
    EXPECT_FALSE(std::isfinite(Si[0][0])) << "a singular matrix is not tested for";
}

TEST(Linmath, RotateAndTranslateAgainstGlm)
{
    rng r{5};
    for (int i = 0; i < 20; ++i) {
        mat4x4 M, R;
        glm::mat4 GM;
        random_mat(M, GM, r);
        float x = r.next(), y = r.next(), z = r.next(), angle = r.next();
        mat4x4_rotate(R, M, x, y, z, angle);
        expect_mat_near(R, glm::rotate(GM, angle, glm::vec3(x, y, z)), 1e-5);

        mat4x4_rotate(M, M, x, y, z, angle);
        EXPECT_EQ(memcmp(M, R, sizeof M), 0) << "R may alias M";

        float tx = r.next(), ty = r.next(), tz = r.next();
        mat4x4_translate_in_place(M, tx, ty, tz);
        expect_mat_near(M, glm::translate(glm::rotate(GM, angle, glm::vec3(x, y, z)), glm::vec3(tx, ty, tz)), 1e-5);
    }

    // A quarter turn about z maps x onto y.
    mat4x4 I, Q;
    mat4x4_identity(I);
    mat4x4_rotate(Q, I, 0, 0, 1, (float)M_PI / 2);
    vec4 ex = {1, 0, 0, 1}, out;
    mat4x4_mul_vec4(out, Q, ex);
    EXPECT_NEAR(out[0], 0.0f, 1e-6);
    EXPECT_NEAR(out[1], 1.0f, 1e-6);
    EXPECT_NEAR(out[2], 0.0f, 1e-6);
    EXPECT_EQ(out[3], 1.0f);

    // An axis no longer than 0.0001 copies M unchanged.
    mat4x4 M;
    mat4x4_set(M, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    for (float ax : {0.0f, 0.00005f, 0.0001f}) {
        mat4x4 R;
        mat4x4_rotate(R, M, ax, 0, 0, 1.0f);
        EXPECT_EQ(memcmp(R, M, sizeof M), 0) << "axis " << ax;
    }
    mat4x4 R2;
    mat4x4_rotate(R2, M, 0.0002f, 0, 0, 1.0f);
    EXPECT_NE(memcmp(R2, M, sizeof M), 0) << "a longer axis rotates";
}

TEST(Linmath, LookAtAgainstGlm)
{
    const float cases[][9] = {
        {0, 0, 5, 0, 0, 0, 0, 1, 0},
        {1, 2, 3, -4, 0.5f, 2, 0, 1, 0},
        {-3, 7, -2, 1, 1, 1, 0.3f, 0.2f, 1},
        {10, -10, 0, 0, 0, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        vec3 eye = {c[0], c[1], c[2]}, center = {c[3], c[4], c[5]}, up = {c[6], c[7], c[8]};
        mat4x4 m;
        mat4x4_look_at(m, eye, center, up);
        glm::mat4 g =
            glm::lookAtRH(glm::vec3(c[0], c[1], c[2]), glm::vec3(c[3], c[4], c[5]), glm::vec3(c[6], c[7], c[8]));
        expect_mat_near(m, g, 1e-5);
    }
}

TEST(Linmath, FromQuatAgainstGlm)
{
    rng r{3};
    for (int i = 0; i < 20; ++i) {
        glm::quat gq = glm::normalize(glm::quat(r.next(), r.next(), r.next(), r.next()));  // w, x, y, z
        quat q = {gq.x, gq.y, gq.z, gq.w};                                                 // ours keeps w last
        mat4x4 M;
        mat4x4_from_quat(M, q);
        expect_mat_near(M, glm::mat4_cast(gq), 1e-5);
    }
    quat id = {0, 0, 0, 1};
    mat4x4 M, I;
    mat4x4_from_quat(M, id);
    mat4x4_identity(I);
    EXPECT_EQ(memcmp(M, I, sizeof M), 0);
}

TEST(LinmathExtended, LerpClampsAndKeepsItsForm)
{
    const vec4 a = {0.1f, -2.0f, 3.3f, 1.0f}, b = {0.7f, 5.0f, -1.1f, 0.0f};
    const struct {
        float t;
        const float* want;  // exact result; null: b t + a (1 - t)
    } cases[] = {{-0.5f, a}, {0.0f, a}, {1.0f, b}, {1.5f, b}, {0.3f, nullptr}, {0.999f, nullptr}};
    for (const auto& c : cases) {
        vec4 r;
        vec4_lerp(r, a, b, c.t);
        for (int k = 0; k < 4; ++k) {
            float want = c.want ? c.want[k] : b[k] * c.t + a[k] * (1.0f - c.t);
            EXPECT_EQ(r[k], want) << "t " << c.t << " component " << k;
        }
    }
    vec3 v = {1, 2, 3}, w;
    vec3_copy(w, v);
    EXPECT_EQ(memcmp(v, w, sizeof v), 0);
    vec4 v4, w4 = {4, 3, 2, 1};
    vec4_copy(v4, w4);
    EXPECT_EQ(memcmp(v4, w4, sizeof v4), 0);
    vec4_dup(v4, a);
    EXPECT_EQ(memcmp(v4, a, sizeof v4), 0);
}

namespace {

void col3(vec3 out, const mat4x4 m, int c) { vec3_set(out, m[c][0], m[c][1], m[c][2]); }

}  // namespace

// Object-to-world look-at: orthonormal columns, eye in column 3, the third
// column pointing away from center, and the mirrored basis kept as it is.
TEST(LinmathExtended, LookAtExProperties)
{
    const float cases[][9] = {
        {0, 0, 0, 0, 0, -1, 0, 1, 0},    {1, 2, 3, -4, 0.5f, 2, 0, 1, 0}, {-3, 7, -2, 1, 1, 1, 0.3f, 0.2f, 1},
        {0, 0, 0, 0, 1, 0, 0, 1, 0},      // up parallel to the direction: fallback up (1, 0, 0)
        {2, 2, 2, 2, -5, 2.3f, 0, 1, 0},  // nearly parallel (|dot| > 0.9)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "eye " << c[0] << "," << c[1] << "," << c[2] << " center " << c[3] << ","
                                        << c[4] << "," << c[5]);
        vec3 eye = {c[0], c[1], c[2]}, center = {c[3], c[4], c[5]}, up = {c[6], c[7], c[8]};
        mat4x4 m;
        mat4x4_look_at_ex(m, eye, center, up);
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k)
                ASSERT_TRUE(std::isfinite(m[i][k]));

        vec3 cols[3];
        for (int i = 0; i < 3; ++i)
            col3(cols[i], m, i);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(vec3_mul_inner(cols[i], cols[j]), i == j ? 1.0f : 0.0f, 1e-5) << i << "." << j;
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(m[3][k], eye[k]);
        EXPECT_EQ(m[3][3], 1.0f);
        EXPECT_EQ(m[0][3], 0.0f);
        EXPECT_EQ(m[1][3], 0.0f);
        EXPECT_EQ(m[2][3], 0.0f);

        vec3 dir;
        vec3_sub(dir, center, eye);
        vec3_norm(dir, dir);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(cols[2][k], -dir[k], 1e-6) << "third axis points away from center";

        // Mirrored: right x up is the direction itself, not the third column.
        vec3 rxu;
        vec3_mul_cross(rxu, cols[0], cols[1]);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(rxu[k], dir[k], 1e-5);
    }

    // The documented example: looking down -z with up +y gives a first column of -x.
    vec3 eye = {0, 0, 0}, center = {0, 0, -1}, up = {0, 1, 0};
    mat4x4 m;
    mat4x4_look_at_ex(m, eye, center, up);
    EXPECT_NEAR(m[0][0], -1.0f, 1e-6);
    EXPECT_NEAR(m[0][1], 0.0f, 1e-6);
    EXPECT_NEAR(m[0][2], 0.0f, 1e-6);
    EXPECT_NEAR(m[1][1], 1.0f, 1e-6);

    // The fallback up (1, 0, 0) for a direction along +y: right = up x dir = +z, up = dir x right = +x.
    vec3 c2 = {0, 1, 0};
    mat4x4_look_at_ex(m, eye, c2, up);
    EXPECT_NEAR(m[0][2], 1.0f, 1e-6);
    EXPECT_NEAR(m[1][0], 1.0f, 1e-6);

    // Away from the fallback it is the inverse of the view matrix with its first axis mirrored.
    vec3 e3 = {1, 2, 3}, c3 = {-4, 0.5f, 2};
    mat4x4_look_at_ex(m, e3, c3, up);
    glm::mat4 world = glm::inverse(glm::lookAtRH(glm::vec3(1, 2, 3), glm::vec3(-4, 0.5f, 2), glm::vec3(0, 1, 0)));
    world[0] = -world[0];
    expect_mat_near(m, world, 1e-5);
}
