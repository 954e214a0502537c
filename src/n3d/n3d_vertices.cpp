#include "n3d/n3d_vertices.h"

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
