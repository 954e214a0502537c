// The triangle draw paths: one draw call (n3d_draw_args) of an unindexed
// triangle list becomes rasterizer calls on a 16-bit frame context, after
// transform, trivial reject, back-face cull, near-plane and screen-edge clipping
// and gradient set-up, in batches of at most 5 triangles. Called by the mesh
// renderer and the draw-command pipeline on the main thread; the vertex block
// comes from the call's batch arena, reset on return. Bad draw calls stop through n3d_crash.
#pragma once

#include "n3d/n3d.h"

struct n3d_rasterizer_args;

// Screen vertices a batch holds: a batch takes triangles while it has fewer than
// N3D_DRAW_BATCH_MAX_TRIANGLES triangles and fewer than N3D_DRAW_BATCH_START_VERTICES
// vertices, and the last one taken may be a clipped polygon of N3D_DRAW_CLIP_MAX_VERTICES.
#define N3D_DRAW_BATCH_MAX_TRIANGLES 5
#define N3D_DRAW_BATCH_START_VERTICES 8
#define N3D_DRAW_CLIP_MAX_VERTICES 8  // a triangle and one more vertex for each of the five clip planes
#define N3D_DRAW_BATCH_MAX_VERTICES (N3D_DRAW_BATCH_START_VERTICES - 1 + N3D_DRAW_CLIP_MAX_VERTICES)

// Each returns the number of triangles the rasterizer drew (returned 1 for);
// every triangle of a clipped polygon counts by itself.
// Positions by mvp; parameters u, v.
int n3d_draw_triangles_argb1555(n3d_draw_args* args);
// Positions by mvp; parameters u, v and the half vector's tangent and bitangent
// components H.T, H.B from the model-space light and eye.
int n3d_draw_triangles_phong_argb1555(n3d_draw_args* args);
// Positions blended from four weighted clip-from-joint matrices; parameters u, v.
// Every joint index must name one of view_proj_joint_matrices (the datapack
// reader refuses primitives whose indices lie beyond their skin).
int n3d_draw_triangles_skinning_argb1555(n3d_draw_args* args);

// Clips a polygon of count vertices (at most N3D_DRAW_CLIP_MAX_VERTICES) against
// one plane: a vertex is inside when its distance in dists is >= 0. Intersections
// interpolate every component, except component clipped_ps_i (unless -1), which
// is set to clipped_ps_value exactly. Writes at most N3D_DRAW_CLIP_MAX_VERTICES
// vertices to dst and returns their count; a polygon that would need more (only
// rounding on a sliver can cause that) is dropped and 0 returned. Vertices are
// 6 floats (plain, skinning) or 8 floats (phong): X, Y, Z, W, then the parameters.
int n3d_draw_triangles_argb1555_clip(float* dst, int count, const float* src, const float* dists, int clipped_ps_i,
                                     float clipped_ps_value);
int n3d_draw_triangles_phong_argb1555_clip(float* dst, int count, const float* src, const float* dists,
                                           int clipped_ps_i, float clipped_ps_value);
int n3d_draw_triangles_skinning_argb1555_clip(float* dst, int count, const float* src, const float* dists,
                                              int clipped_ps_i, float clipped_ps_value);

// The fixed rasterizer choice for one triangle when the draw call names no
// registry rasterizer: sets g_n3d_tri_id to args->primitive_id, picks the
// variant by the draw-mode bits 128, 512 (and 1024 on the phong path), points
// args->rasterizer at that variant's registry entry (looked up only when it
// does not already point there) and returns the rasterizer's result. The two
// extents are not used.
int n3d_draw_triangles_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int tri_extent_x, int tri_extent_y);
int n3d_draw_triangles_phong_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int tri_extent_x,
                                               int tri_extent_y);
int n3d_draw_triangles_skinning_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int tri_extent_x,
                                                  int tri_extent_y);
