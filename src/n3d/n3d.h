// Renderer start-up and what every draw path shares: the per-draw batch arena,
// the registry of rasterizers (records in raster/n3d_raster.h), the profile
// report the host prints at exit, and small reference routines (reciprocal by
// table, fill-rule test, barycentrics, the reciprocal-table report). Called by
// the demo system, the benchmark and the host on the main thread; the batch
// arena is carved from n3d_init's arena. Bad arguments stop through n3d_crash.
#pragma once

#include "core/memarena.h"
#include "n3d/raster/n3d_raster.h"

#define N3D_BATCH_ARENA_BYTES 480

// "batch_arena": a draw path pushes its screen vertices here and resets it after the call.
extern memarena n3d_batch_arena;

// Batch arena, the fifteen rasterizers, profiling block names 3 and 4, both
// reciprocal tables. Once per run (a second call stops on the duplicate flags).
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
void barycentric_coord(float* out_u, float* out_v, float px, float py, float ax, float ay, float bx, float by,
                       float cx, float cy);
float barycentric_value(float bc_coord_u, float bc_coord_v, float a, float b, float c);

// Report on the extra bits the fixed-point reciprocal table can carry, to standard output.
void n3d_lut_find_scale2();
// The b lowest bits of x, most significant first, no line feed.
void printbin(unsigned int x, int b);
