#include "n3d/n3d_vertices.h"

#include <cstring>

#include "core/crash.h"

// Float arrays start on a 4-byte boundary: a float read through a misaligned
// pointer is undefined, and the push is otherwise plain (not cleared, no padding).
static void* vertices_push(memarena* arena, uint64_t size) { return memarena_push_align(arena, size, 4); }

void n3d_vertices_alloc(n3d_vertices* dst, const n3d_vertices* src, memarena* arena)
{
    const uint64_t n = src->count > 0 ? (uint64_t)src->count : 0;
    dst->count = src->count;
    if (src->xyz)
        dst->xyz = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_XYZ_BYTES));
    if (src->uv)
        dst->uv = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_UV_BYTES));
    if (src->n_xyz)
        dst->n_xyz = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_N_XYZ_BYTES));
    if (src->t_xyz)
        dst->t_xyz = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_T_XYZ_BYTES));
    if (src->b_xyz)
        dst->b_xyz = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_B_XYZ_BYTES));
    if (src->tb_norm)
        dst->tb_norm = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_TB_NORM_BYTES));
    if (src->joints)
        dst->joints = static_cast<uint8_t*>(vertices_push(arena, n * N3D_VERTICES_JOINTS_BYTES));
    if (src->joints_weights)
        dst->joints_weights = static_cast<float*>(vertices_push(arena, n * N3D_VERTICES_JOINTS_WEIGHTS_BYTES));
}

static void vertices_copy_array(void* dst, const void* src, uint64_t bytes, const char* name)
{
    // An empty list copies nothing (n3d_vertices_alloc leaves its arrays null).
    if (!src || bytes == 0)
        return;
    if (!dst)
        n3d_crash("src/n3d", __LINE__, "n3d_vertices_copy: destination has no %s array\n", name);
    memcpy(dst, src, bytes);
}

void n3d_vertices_copy(n3d_vertices* dst, const n3d_vertices* src)
{
    const uint64_t n = src->count > 0 ? (uint64_t)src->count : 0;
    dst->count = src->count;
    vertices_copy_array(dst->xyz, src->xyz, n * N3D_VERTICES_XYZ_BYTES, "xyz");
    vertices_copy_array(dst->uv, src->uv, n * N3D_VERTICES_UV_BYTES, "uv");
    vertices_copy_array(dst->n_xyz, src->n_xyz, n * N3D_VERTICES_N_XYZ_BYTES, "n_xyz");
    vertices_copy_array(dst->t_xyz, src->t_xyz, n * N3D_VERTICES_T_XYZ_BYTES, "t_xyz");
    vertices_copy_array(dst->b_xyz, src->b_xyz, n * N3D_VERTICES_B_XYZ_BYTES, "b_xyz");
    vertices_copy_array(dst->tb_norm, src->tb_norm, n * N3D_VERTICES_TB_NORM_BYTES, "tb_norm");
    vertices_copy_array(dst->joints, src->joints, n * N3D_VERTICES_JOINTS_BYTES, "joints");
    vertices_copy_array(dst->joints_weights, src->joints_weights, n * N3D_VERTICES_JOINTS_WEIGHTS_BYTES,
                        "joints_weights");
}
