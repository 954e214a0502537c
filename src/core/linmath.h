// Single-precision vector and 4x4 matrix math for the renderer's spaces and
// projections, the datapacks, the camera and the effects. Matrices are
// column-major (M[c][r] is column c, row r; M[3] holds the translation) and
// compose right to left: mat4x4_mul(M, a, b) is M = a x b. Results go through
// the first argument; everything works on caller-owned arrays, allocates
// nothing, never fails and may run on any thread.
#pragma once

#include <math.h>

// Pi, the one spelling of it in the system: the double nearest pi, and the
// float nearest pi for single-precision sums.
inline constexpr double LINMATH_PI = 3.14159265358979323846;
inline constexpr float LINMATH_PI_F = (float)LINMATH_PI;

typedef float vec3[3];
typedef float vec4[4];
typedef float quat[4];  // x, y, z, w: the scalar part last
typedef vec4 mat4x4[4];

inline void vec3_set(vec3 r, float x0, float x1, float x2)
{
    r[0] = x0;
    r[1] = x1;
    r[2] = x2;
}

inline void vec4_set(vec4 r, float x0, float x1, float x2, float x3)
{
    r[0] = x0;
    r[1] = x1;
    r[2] = x2;
    r[3] = x3;
}

inline void vec3_add(vec3 r, const vec3 a, const vec3 b)
{
    for (int i = 0; i < 3; ++i)
        r[i] = a[i] + b[i];
}

inline void vec4_add(vec4 r, const vec4 a, const vec4 b)
{
    for (int i = 0; i < 4; ++i)
        r[i] = a[i] + b[i];
}

inline void vec3_sub(vec3 r, const vec3 a, const vec3 b)
{
    for (int i = 0; i < 3; ++i)
        r[i] = a[i] - b[i];
}

inline void vec4_sub(vec4 r, const vec4 a, const vec4 b)
{
    for (int i = 0; i < 4; ++i)
        r[i] = a[i] - b[i];
}

inline void vec3_scale(vec3 r, const vec3 v, float s)
{
    for (int i = 0; i < 3; ++i)
        r[i] = v[i] * s;
}

inline void vec4_scale(vec4 r, const vec4 v, float s)
{
    for (int i = 0; i < 4; ++i)
        r[i] = v[i] * s;
}

// Summed from component 0 upward in float, so results are reproducible.
inline float vec3_mul_inner(const vec3 a, const vec3 b)
{
    float p = 0.0f;
    for (int i = 0; i < 3; ++i)
        p += a[i] * b[i];
    return p;
}

inline float vec4_mul_inner(const vec4 a, const vec4 b)
{
    float p = 0.0f;
    for (int i = 0; i < 4; ++i)
        p += a[i] * b[i];
    return p;
}

inline float vec3_len(const vec3 v) { return sqrtf(vec3_mul_inner(v, v)); }
inline float vec4_len(const vec4 v) { return sqrtf(vec4_mul_inner(v, v)); }

// No guard: a zero vector gives non-finite components.
inline void vec3_norm(vec3 r, const vec3 v) { vec3_scale(r, v, 1.0f / vec3_len(v)); }
inline void vec4_norm(vec4 r, const vec4 v) { vec4_scale(r, v, 1.0f / vec4_len(v)); }

// r must not alias a or b.
inline void vec3_mul_cross(vec3 r, const vec3 a, const vec3 b)
{
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}

inline void vec4_dup(vec4 r, const vec4 src)
{
    for (int i = 0; i < 4; ++i)
        r[i] = src[i];
}

// The sixteen values in memory order: x0..x3 are column 0, x4..x7 column 1, ...
inline void mat4x4_set(mat4x4 M, float x0, float x1, float x2, float x3, float x4, float x5, float x6, float x7,
                       float x8, float x9, float x10, float x11, float x12, float x13, float x14, float x15)
{
    vec4_set(M[0], x0, x1, x2, x3);
    vec4_set(M[1], x4, x5, x6, x7);
    vec4_set(M[2], x8, x9, x10, x11);
    vec4_set(M[3], x12, x13, x14, x15);
}

inline void mat4x4_identity(mat4x4 M)
{
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            M[c][r] = c == r ? 1.0f : 0.0f;
}

inline void mat4x4_dup(mat4x4 M, const mat4x4 N)
{
    for (int c = 0; c < 4; ++c)
        vec4_dup(M[c], N[c]);
}

inline void mat4x4_row(vec4 r, const mat4x4 M, int i)
{
    for (int k = 0; k < 4; ++k)
        r[k] = M[k][i];
}

inline void mat4x4_add(mat4x4 M, const mat4x4 a, const mat4x4 b)
{
    for (int c = 0; c < 4; ++c)
        vec4_add(M[c], a[c], b[c]);
}

inline void mat4x4_sub(mat4x4 M, const mat4x4 a, const mat4x4 b)
{
    for (int c = 0; c < 4; ++c)
        vec4_sub(M[c], a[c], b[c]);
}

inline void mat4x4_scale(mat4x4 M, const mat4x4 a, float k)
{
    for (int c = 0; c < 4; ++c)
        vec4_scale(M[c], a[c], k);
}

inline void mat4x4_scale_aniso(mat4x4 M, const mat4x4 a, float x, float y, float z)
{
    vec4_scale(M[0], a[0], x);
    vec4_scale(M[1], a[1], y);
    vec4_scale(M[2], a[2], z);
    vec4_dup(M[3], a[3]);
}

// Through a temporary, so M may alias a or b.
inline void mat4x4_mul(mat4x4 M, const mat4x4 a, const mat4x4 b)
{
    mat4x4 temp;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k)
                sum += a[k][r] * b[c][k];
            temp[c][r] = sum;
        }
    mat4x4_dup(M, temp);
}

// r must not alias v.
inline void mat4x4_mul_vec4(vec4 r, const mat4x4 M, const vec4 v)
{
    for (int j = 0; j < 4; ++j) {
        float sum = 0.0f;
        for (int i = 0; i < 4; ++i)
            sum += M[i][j] * v[i];
        r[j] = sum;
    }
}

inline void mat4x4_translate(mat4x4 T, float x, float y, float z)
{
    mat4x4_identity(T);
    T[3][0] = x;
    T[3][1] = y;
    T[3][2] = z;
}

// M = M x translation(x, y, z).
inline void mat4x4_translate_in_place(mat4x4 M, float x, float y, float z)
{
    vec4 t = {x, y, z, 0.0f};
    vec4 r;
    for (int i = 0; i < 4; ++i) {
        mat4x4_row(r, M, i);
        M[3][i] += vec4_mul_inner(r, t);
    }
}

inline void mat4x4_from_vec3_mul_outer(mat4x4 M, const vec3 a, const vec3 b)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            M[i][j] = i < 3 && j < 3 ? a[i] * b[j] : 0.0f;
}

// R = M x rotation about the axis (x, y, z) by angle radians (right-handed).
// An axis no longer than 0.0001 leaves R a copy of M. R may alias M.
inline void mat4x4_rotate(mat4x4 R, const mat4x4 M, float x, float y, float z, float angle)
{
    float s = sinf(angle);
    float c = cosf(angle);
    vec3 u = {x, y, z};
    if (!((double)vec3_len(u) > 1e-4)) {
        mat4x4_dup(R, M);
        return;
    }
    vec3_norm(u, u);
    mat4x4 T;
    mat4x4_from_vec3_mul_outer(T, u, u);

    mat4x4 S;
    mat4x4_set(S, 0.0f, u[2], -u[1], 0.0f, -u[2], 0.0f, u[0], 0.0f, u[1], -u[0], 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f);
    mat4x4_scale(S, S, s);

    mat4x4 C;
    mat4x4_identity(C);
    mat4x4_sub(C, C, T);
    mat4x4_scale(C, C, c);

    mat4x4_add(T, T, C);
    mat4x4_add(T, T, S);
    T[3][3] = 1.0f;
    mat4x4_mul(R, M, T);
}

// General inverse: the adjugate from 2x2 sub-determinants of the first two and
// the last two columns, over the determinant. A singular M gives a non-finite
// result (nothing tests for it). T may alias M.
inline void mat4x4_invert(mat4x4 T, const mat4x4 M)
{
    float s[6], c[6];
    s[0] = M[0][0] * M[1][1] - M[1][0] * M[0][1];
    s[1] = M[0][0] * M[1][2] - M[1][0] * M[0][2];
    s[2] = M[0][0] * M[1][3] - M[1][0] * M[0][3];
    s[3] = M[0][1] * M[1][2] - M[1][1] * M[0][2];
    s[4] = M[0][1] * M[1][3] - M[1][1] * M[0][3];
    s[5] = M[0][2] * M[1][3] - M[1][2] * M[0][3];

    c[0] = M[2][0] * M[3][1] - M[3][0] * M[2][1];
    c[1] = M[2][0] * M[3][2] - M[3][0] * M[2][2];
    c[2] = M[2][0] * M[3][3] - M[3][0] * M[2][3];
    c[3] = M[2][1] * M[3][2] - M[3][1] * M[2][2];
    c[4] = M[2][1] * M[3][3] - M[3][1] * M[2][3];
    c[5] = M[2][2] * M[3][3] - M[3][2] * M[2][3];

    float idet = 1.0f / (s[0] * c[5] - s[1] * c[4] + s[2] * c[3] + s[3] * c[2] - s[4] * c[1] + s[5] * c[0]);

    mat4x4 r;
    r[0][0] = (M[1][1] * c[5] - M[1][2] * c[4] + M[1][3] * c[3]) * idet;
    r[0][1] = (-M[0][1] * c[5] + M[0][2] * c[4] - M[0][3] * c[3]) * idet;
    r[0][2] = (M[3][1] * s[5] - M[3][2] * s[4] + M[3][3] * s[3]) * idet;
    r[0][3] = (-M[2][1] * s[5] + M[2][2] * s[4] - M[2][3] * s[3]) * idet;

    r[1][0] = (-M[1][0] * c[5] + M[1][2] * c[2] - M[1][3] * c[1]) * idet;
    r[1][1] = (M[0][0] * c[5] - M[0][2] * c[2] + M[0][3] * c[1]) * idet;
    r[1][2] = (-M[3][0] * s[5] + M[3][2] * s[2] - M[3][3] * s[1]) * idet;
    r[1][3] = (M[2][0] * s[5] - M[2][2] * s[2] + M[2][3] * s[1]) * idet;

    r[2][0] = (M[1][0] * c[4] - M[1][1] * c[2] + M[1][3] * c[0]) * idet;
    r[2][1] = (-M[0][0] * c[4] + M[0][1] * c[2] - M[0][3] * c[0]) * idet;
    r[2][2] = (M[3][0] * s[4] - M[3][1] * s[2] + M[3][3] * s[0]) * idet;
    r[2][3] = (-M[2][0] * s[4] + M[2][1] * s[2] - M[2][3] * s[0]) * idet;

    r[3][0] = (-M[1][0] * c[3] + M[1][1] * c[1] - M[1][2] * c[0]) * idet;
    r[3][1] = (M[0][0] * c[3] - M[0][1] * c[1] + M[0][2] * c[0]) * idet;
    r[3][2] = (-M[3][0] * s[3] + M[3][1] * s[1] - M[3][2] * s[0]) * idet;
    r[3][3] = (M[2][0] * s[3] - M[2][1] * s[1] + M[2][2] * s[0]) * idet;
    mat4x4_dup(T, r);
}

// Right-handed view matrix (view_from_world) of a camera at eye looking at center.
inline void mat4x4_look_at(mat4x4 m, const vec3 eye, const vec3 center, const vec3 up)
{
    vec3 f, s, t;
    vec3_sub(f, center, eye);
    vec3_norm(f, f);
    vec3_mul_cross(s, f, up);
    vec3_norm(s, s);
    vec3_mul_cross(t, s, f);

    vec4_set(m[0], s[0], t[0], -f[0], 0.0f);
    vec4_set(m[1], s[1], t[1], -f[1], 0.0f);
    vec4_set(m[2], s[2], t[2], -f[2], 0.0f);
    vec4_set(m[3], 0.0f, 0.0f, 0.0f, 1.0f);
    mat4x4_translate_in_place(m, -eye[0], -eye[1], -eye[2]);
}

// Rotation matrix of a unit quaternion q (x, y, z, w).
inline void mat4x4_from_quat(mat4x4 M, const quat q)
{
    float a = q[3], b = q[0], c = q[1], d = q[2];
    float a2 = a * a, b2 = b * b, c2 = c * c, d2 = d * d;
    vec4_set(M[0], a2 + b2 - c2 - d2, 2.0f * (b * c + a * d), 2.0f * (b * d - a * c), 0.0f);
    vec4_set(M[1], 2.0f * (b * c - a * d), a2 - b2 + c2 - d2, 2.0f * (c * d + a * b), 0.0f);
    vec4_set(M[2], 2.0f * (b * d + a * c), 2.0f * (c * d - a * b), a2 - b2 - c2 + d2, 0.0f);
    vec4_set(M[3], 0.0f, 0.0f, 0.0f, 1.0f);
}
