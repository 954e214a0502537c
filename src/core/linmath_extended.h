// The system's additions to linmath: copies, a clamped interpolation, the
// transform of a point or a direction, and an object-to-world look-at with a
// fallback for an up vector nearly parallel to the view direction. Used by the
// renderer, the datapacks, the camera and the effects; allocates nothing,
// never fails, any thread.
#pragma once

#include "core/linmath.h"

inline void vec3_copy(vec3 r, const vec3 a)
{
    for (int i = 0; i < 3; ++i)
        r[i] = a[i];
}

inline void vec4_copy(vec4 r, const vec4 a)
{
    for (int i = 0; i < 4; ++i)
        r[i] = a[i];
}

inline void mat4x4_copy(mat4x4 M, const mat4x4 N) { mat4x4_dup(M, N); }

// Per component: a below t = 0, b above t = 1; between them b t + a (1 - t),
// in that form, so t = 0 gives a and t = 1 gives b exactly.
inline void vec4_lerp(vec4 r, const vec4 a, const vec4 b, float t)
{
    for (int i = 0; i < 4; ++i) {
        if (t < 0.0f)
            r[i] = a[i];
        else if (t > 1.0f)
            r[i] = b[i];
        else
            r[i] = b[i] * t + a[i] * (1.0f - t);
    }
}

// r = the first three components of M x (v, w): w = 1 moves a point, w = 0
// turns a direction (the translation column drops out). r may alias v.
inline void mat4x4_mul_vec3(vec3 r, const mat4x4 M, const vec3 v, float w)
{
    vec4 in = {v[0], v[1], v[2], w};
    vec4 out;
    mat4x4_mul_vec4(out, M, in);
    vec3_set(r, out[0], out[1], out[2]);
}

// Object-to-world matrix of an object at eye looking at center: columns right,
// up, -direction and eye. The basis is mirrored (right x up is the direction,
// not the third column), which the callers' meshes are built for. An up within
// |dot| > 0.9 of the direction is replaced by its components rotated (y, z, x).
inline void mat4x4_look_at_ex(mat4x4 m, const vec3 eye, const vec3 center, const vec3 up_in)
{
    vec3 direction, up, right, t;
    vec3_sub(direction, center, eye);
    vec3_norm(direction, direction);
    vec3_copy(up, up_in);
    if (fabs((double)vec3_mul_inner(direction, up)) > 0.9)
        vec3_set(up, up_in[1], up_in[2], up_in[0]);
    vec3_mul_cross(right, up, direction);
    vec3_norm(right, right);
    vec3_mul_cross(t, direction, right);
    vec3_norm(up, t);

    vec4_set(m[0], right[0], right[1], right[2], 0.0f);
    vec4_set(m[1], up[0], up[1], up[2], 0.0f);
    vec4_set(m[2], -direction[0], -direction[1], -direction[2], 0.0f);
    vec4_set(m[3], eye[0], eye[1], eye[2], 1.0f);
}
