// The renderer's core: start-up and what every draw path shares (batch arena,
// rasterizer registry, profile report, reference routines), and meshes on
// screen (render context, camera, draw modes, the draw-call record, skinning
// preparation, debug segments) and the benchmark. Called by the demo system,
// scenes, pipeline, benchmark and host on the main thread; memory from the
// caller's arenas (the batch arena from n3d_init's). Bad input stops through n3d_crash.
#pragma once

#include "core/linmath.h"
#include "core/memarena.h"
#include "n3d/n3d_vertices.h"
#include "raster/n3d_raster.h"

#define N3D_BATCH_ARENA_BYTES 480

// "batch_arena": a draw path pushes its screen vertices here and resets it after the call.
extern memarena n3d_batch_arena;

// Batch arena, the fifteen rasterizers, profiling block names 3 and 4, both
// reciprocal tables. A second start-up empties the registry (and its profile
// blocks) before registering again.
void n3d_init(memarena* arena);

// "total cycles" and one line per timed block of every called rasterizer.
void n3d_profile_print();

// 1/x from n3d_height_div_lut, interpolated, for 0 <= x < 256; others stop.
float n3d_reciprocal_lut(float x);
// (cy - ay)(bx - ax) - (cx - ax)(by - ay): twice the signed area of a, b, c
// (negative for the rasterizers' front faces).
float n3d_det2x2(float ax, float ay, float bx, float by, float cx, float cy);
// 1 when the sample (x, y) is inside a, b, c under the rasterizers' fill rule:
// left and top edges inclusive, right and bottom exclusive; 0 for the other winding.
int n3d_is_inside_triangle_convention_topleft(float x, float y, float ax, float ay, float bx, float by, float cx,
                                              float cy);
// Weights of b (out_u) and c (out_v) at p.
void barycentric_coord(float* out_u, float* out_v, float px, float py, float ax, float ay, float bx, float by, float cx,
                       float cy);
float barycentric_value(float bc_coord_u, float bc_coord_v, float a, float b, float c);

// Report on the extra bits the fixed-point reciprocal table can carry, to standard output.
void n3d_lut_find_scale2();
// The b lowest bits of x, most significant first, no line feed.
void printbin(unsigned int x, int b);

// ---- meshes on screen ----------------------------------------------------------

// How a mesh is drawn.
#define N3D_DRAW_MODE_DEFAULT 1                     // unshaded textured: plain path, or skinning with joints
#define N3D_DRAW_MODE_PHONG 4                       // phong-shaded textured (when bit 1 is clear)
#define N3D_DRAW_MODE_LINES 32                      // not implemented: stops
#define N3D_DRAW_MODE_TRIANGLES 64                  // unindexed triangle list; required
#define N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 128  // texture 0 from the index8 table (texel format 1)
#define N3D_DRAW_MODE_TEXTURE0_ARGB1555 0           // bit 128 clear: texture 0 from the ARGB1555 table
#define N3D_DRAW_MODE_TEXTURE1_INDEX8_ARGB1555 256  // the table of texture 1 (none is passed on)
#define N3D_DRAW_MODE_COVERAGE_WRITE 512            // fixed rasterizer choice: coverage-writing variant
#define N3D_DRAW_MODE_ZBUFFER 1024                  // fixed choice on the phong path: depth-buffered variant

// Below it the depth rasterizers' 1/w x 8192 would overflow 16 bits.
#define N3D_ZBUFFER_MIN_NEAR_PLANE 0.25f

// The camera. Matrices column-major, translation in the fourth column.
struct n3d_space_context {
    mat4x4 clip_from_view;
    mat4x4 view_from_world;
    mat4x4 world_from_view;
    mat4x4 clip_from_world;
    float fov_y;  // vertical field of view, radians
    float near_plane;
    vec3 world_view_pos;  // the translation column of world_from_view
};

// One point light in world space.
struct n3d_light_context {
    vec3 world_light_pos;
};

// n3d_textures_context (the texture and phong tables a mesh's ids index) is
// declared with the mesh record in n3d_vertices.h.

struct n3d_render_context {
    n3d_frame_context* fc;
    n3d_textures_context tc;
    n3d_light_context lc;
    n3d_space_context sc;
};

// What a draw call passes on to the rasterizers.
struct n3d_material {
    n3d_texture** textures;  // entry 0 is texture 0
    uint8_t** phong_luts;    // entry 0 is used (phong path)
};

// One draw call of an unindexed triangle list.
struct n3d_draw_args {
    int rasterizer_flags;  // 0: fixed choice by draw mode; else a registry key
    int draw_mode;
    n3d_frame_context* fc;
    memarena* batch_arena;  // the renderer's batch arena, reset when the call ends
    n3d_vertices* all_vs;   // three consecutive vertices a triangle
    n3d_material* material;
    int mesh_primitives_count;  // triangles
    vec3 model_light_pos;       // light and eye in model space (phong path)
    vec3 model_view_pos;
    mat4x4* joint_matrices;            // world from joint (skinning)
    mat4x4* view_proj_joint_matrices;  // clip from joint (skinning path)
    mat4x4* mvp;                       // clip from model
};

// A debug segment from origo to origo + n in one colour (components 0 to 1).
struct n3d_unit_vector {
    vec3 origo;
    vec3 n;
    vec3 color;
};

// Draws one mesh: texture 0 by draw mode, then the plain, skinning or phong
// draw path with the fixed rasterizer choice. Timed in BLOCK_RENDER_MESH. A
// missing texture or phong table, a phong mesh without its tangent frame and
// an unsupported draw mode stop with their messages; nothing is drawn then.
void n3d_render_mesh(n3d_render_context* rc, n3d_mesh* mesh, int draw_mode);
void n3d_render_meshes(n3d_render_context* rc, n3d_mesh* meshes, int meshes_count, int draw_mode);

// Projection for a w x h target with an infinite far plane: a view-space
// point (x, y, z) looking down -z goes to clip (a x / aspect, -a y,
// -z - 2 near_plane, -z) with a = 1 / tan(fov_y / 2). A near plane that is not
// at least N3D_ZBUFFER_MIN_NEAR_PLANE (NaN included) stops before m is written.
void n3d_proj(mat4x4 m, int w, int h, float fov_y, float near_plane);
// The camera for fc's framebuffer size; clip_from_world = clip_from_view x view_from_world.
void n3d_space_context_set(n3d_space_context* sc, n3d_frame_context* fc, const mat4x4 view_from_world,
                           const mat4x4 world_from_view, float fov_y, float near_plane);
// view_proj_joint_matrices[i] = clip_from_world x joint_matrices[i] for i below joints_count.
void n3d_prepare_skinning(n3d_mesh* mesh, int joints_count, const n3d_space_context* sc);

// Debug view: each segment from origo to origo + n (scale is not applied),
// stepped along its major axis into fc's framebuffer and its coverage buffer;
// the first segment with an end point outside the view volume ends the drawing.
// Points outside the framebuffer or the coverage buffer are never written.
void n3d_draw_unit_vectors(n3d_frame_context* fc, const n3d_unit_vector* vectors, float scale, int vectors_count,
                           const mat4x4 mvp);

// The rasterizer benchmark: random set-up triangles inside 320 x 200 straight
// into the registered rasterizer named
// "n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans",
// for n3d_benchmark_run_ms on fc_16bpp and then on a 320 x 200 context made
// here, with a header, one line per target and one result line per target on
// standard output. fc_8bpp is not used. Memory from arena (and 6 MiB of
// scratch from the C heap, kept until exit).
void n3d_benchmark(memarena* arena, n3d_frame_context* fc_8bpp, n3d_frame_context* fc_16bpp);
// Run time of each measurement, 5000 ms. Only tests shorten it; nothing in the
// program writes it.
extern int n3d_benchmark_run_ms;
