// The fifteen registered triangle rasterizers: one drawing function and one
// init function per variant, all built from the one body in n3d_tri_ex.h.
// Registered by n3d_rasterizers_init (n3d_raster.h) from the renderer's start-up;
// called by the draw paths and the benchmark through the registry; main thread.
// They allocate nothing; refusal (too deep a triangle) returns 0.
#pragma once

#include "raster/n3d_raster.h"

struct n3d_tri_features;

// In registration order; each draws with the features its flag word names
// (n3d_rasterizers.cpp) and has the row of the variant table below.
int n3d_render_triangle_v8_affine_argb1555_t0argb1555(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_affine_argb1555_t0argb1555_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0argb1555(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0argb1555_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0argb1555_covrw10(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0argb1555_covrw10_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0i8argb1555(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0i8argb1555_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans(
    n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans_init(
    n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0argb1555(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_init(n3d_rasterizer* rasterizer);
int n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst(n3d_rasterizer_args* args);
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst_init(n3d_rasterizer* rasterizer);

// The variant table, one row a rasterizer in registration order: name, flag
// word, parameters, registration line, drawing and init functions.
struct n3d_rasterizer_variant {
    const char* name;
    int flags;
    int ps_count;
    int line;
    n3d_rasterizer_func func;
    n3d_rasterizer_func_init func_init;
};
#define N3D_RASTERIZER_VARIANTS 15
extern const n3d_rasterizer_variant g_n3d_rasterizer_variants[N3D_RASTERIZER_VARIANTS];
