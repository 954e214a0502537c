// The renderer's vertex list: an unindexed triangle list (three consecutive
// vertices form a triangle) with optional attribute arrays, a null pointer
// meaning the attribute is absent. Meshes, datapack primitives and the vertex
// records of asset files hold one. Arrays come from the caller's arena. Main
// thread only; nothing here fails.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "core/memarena.h"

struct n3d_vertices {
    int count;              // vertices
    float* xyz;             // 3 floats a vertex: position
    float* uv;              // 2: texture coordinate
    float* n_xyz;           // 3: normal
    float* t_xyz;           // 3: tangent
    float* b_xyz;           // 3: bitangent
    float* tb_norm;         // 2: not read by the draw paths
    uint8_t* joints;        // 4 joint indices a vertex
    float* joints_weights;  // 4 weights a vertex
};

// Bytes one vertex takes in each array, in the order of the fields above.
#define N3D_VERTICES_XYZ_BYTES 12
#define N3D_VERTICES_UV_BYTES 8
#define N3D_VERTICES_N_XYZ_BYTES 12
#define N3D_VERTICES_T_XYZ_BYTES 12
#define N3D_VERTICES_B_XYZ_BYTES 12
#define N3D_VERTICES_TB_NORM_BYTES 8
#define N3D_VERTICES_JOINTS_BYTES 4
#define N3D_VERTICES_JOINTS_WEIGHTS_BYTES 16

// dst->count = src->count; for each attribute present in src, in field order,
// pushes count x its per-vertex bytes from the arena (4-byte aligned, not cleared)
// into dst's pointer. Attributes absent in src leave dst's pointer as it was.
void n3d_vertices_alloc(n3d_vertices* dst, const n3d_vertices* src, memarena* arena);
// dst->count = src->count and every array present in src copied into dst's
// array of the same attribute, which must exist (fatal otherwise) and hold
// count vertices.
void n3d_vertices_copy(n3d_vertices* dst, const n3d_vertices* src);

// One drawable mesh: its vertices with their placement, the textures and phong
// table it is drawn with (indices into the render context's tables) and, for a
// skinned mesh, its joint matrices.
struct n3d_mesh {
    mat4x4 model_from_world;  // the caller keeps the two inverse to each other
    mat4x4 world_from_model;
    int texture_id;
    int phong_lut_id;
    int fake_phong_texture_id;  // not read by the renderer
    int brdf_texture_id;        // not read by the renderer
    n3d_vertices vertices;
    mat4x4* joint_matrices;            // world from joint, one a joint; null without skin
    mat4x4* view_proj_joint_matrices;  // clip from joint, filled when skinning is prepared
};

struct n3d_texture;

// The textures and phong tables a mesh's ids index: textures_per_format[f] is
// the table of textures of texel format f (0 to 4), phong_luts the table of
// phong lookup tables (each the entry 0 of its padded block).
struct n3d_textures_context {
    n3d_texture** textures_per_format[5];
    uint8_t** phong_luts;
};
