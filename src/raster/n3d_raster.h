// Records shared by the triangle rasterizers and the renderer above them: the
// registry entry, the per-triangle argument record, the screen vertices, the
// rasterizer flag bits, the profile blocks and the two reciprocal tables. The
// renderer fills the tables and the registry at start-up (n3d_init); the draw
// paths and the benchmark read them. Static storage only; main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cycles_measure.h"

struct n3d_frame_context;
struct n3d_texture;

// Rasterizer flag bits: the registry key and the draw arguments' rasterizer flags.
enum {
    N3D_RASTERIZER_COVERAGE_READ = 1,            // pixels whose coverage bit is set are not written
    N3D_RASTERIZER_COVERAGE_WRITE = 2,           // the coverage bits of each drawn span are set
    N3D_RASTERIZER_ZBUFFER_READ = 4,             // 16-bit depth test against the context's depth buffer
    N3D_RASTERIZER_ZBUFFER_WRITE = 8,            // 16-bit depth written
    N3D_RASTERIZER_ARGB1555 = 16,                // target framebuffer is ARGB1555
    N3D_RASTERIZER_T0_I8ARGB1555 = 32,           // texture 0 indexed through its ARGB1555 palette or shade table
    N3D_RASTERIZER_T0_ARGB1555 = 64,             // texture 0 is ARGB1555
    N3D_RASTERIZER_PHONG = 128,                  // four parameters per vertex, phong lookup shading
    N3D_RASTERIZER_AFFINE = 256,                 // affine texture stepping (no per-pixel 1/w)
    N3D_RASTERIZER_WIP_RSQR_LARGE_SPANS = 1024,  // squared phong radius stepped over large spans
};

#define N3D_RASTERIZERS_MAX 100
#define N3D_PROFILEBLOCKS_MAX 32

#define N3D_FIXED_IIW_LUT_SIZE 32
#define N3D_FIXPT_IIW_LUT_F 16
#define N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX 3
#define N3D_FIXPT_IIW_LUT_F_SCALE2_BITS 5
#define N3D_HEIGHT_DIV_LUT_SIZE 256

struct n3d_rasterizer;
struct n3d_rasterizer_args;

// Draws one triangle: 1 when it drew, 0 when it refused the triangle.
typedef int (*n3d_rasterizer_func)(n3d_rasterizer_args* args);
// Called once at registration: names the profile blocks, sets profileblocks_count.
typedef void (*n3d_rasterizer_func_init)(n3d_rasterizer* rasterizer);

struct n3d_profileblock {
    cycles_t t0;        // counter at the start of the stage being timed
    cycles_t sum;       // cycles accumulated
    unsigned int hits;  // timed passes
};

struct n3d_rasterizer {
    int flags;         // registry key; unique
    const char* name;  // for the profile report
    int ps_count;      // parameters besides 1/w: 2 (u/w, v/w) or 4 (plus the phong pair)
    n3d_rasterizer_func func;
    n3d_rasterizer_func_init func_init;
    int profileblocks_count;  // blocks in use (5 for the generated rasterizers)
    const char* name_per_profileblock[N3D_PROFILEBLOCKS_MAX];
    n3d_profileblock profileblocks[N3D_PROFILEBLOCKS_MAX];
};
static_assert(offsetof(n3d_rasterizer, name) > offsetof(n3d_rasterizer, flags) &&
                  offsetof(n3d_rasterizer, ps_count) > offsetof(n3d_rasterizer, name) &&
                  offsetof(n3d_rasterizer, func) > offsetof(n3d_rasterizer, ps_count) &&
                  offsetof(n3d_rasterizer, func_init) > offsetof(n3d_rasterizer, func) &&
                  offsetof(n3d_rasterizer, profileblocks_count) > offsetof(n3d_rasterizer, func_init) &&
                  offsetof(n3d_rasterizer, name_per_profileblock) > offsetof(n3d_rasterizer, profileblocks_count) &&
                  offsetof(n3d_rasterizer, profileblocks) > offsetof(n3d_rasterizer, name_per_profileblock),
              "n3d_rasterizer fields in their fixed order");

// Screen vertices: sample points at integer coordinates; w holds 1/w.
struct n3d_vertex_ex2 {
    float x, y;
    float w;
    float ps[2];  // u/w, v/w
};
struct n3d_vertex_ex4 {
    float x, y;
    float w;
    float ps[4];  // u/w, v/w, then the two phong coordinates divided by w
};
static_assert(sizeof(n3d_vertex_ex2) == 20 && sizeof(n3d_vertex_ex4) == 28, "screen vertices are packed floats");
static_assert(offsetof(n3d_vertex_ex2, ps) == 12 && offsetof(n3d_vertex_ex4, ps) == 12, "parameters follow x, y, 1/w");

// Everything a rasterizer receives for one clipped, front-facing triangle.
struct n3d_rasterizer_args {
    n3d_rasterizer* rasterizer;  // the entry whose profile blocks the call adds to
    n3d_frame_context* fc;       // target framebuffer (ARGB1555), coverage pair, depth buffer
    void* vertices;              // three vertices in drawing order, ex2 or ex4 by ps_count
    float* gradients_dx;         // ps_count + 1 screen x derivatives: parameters, then 1/w
    float* gradients_dy;         // the same in y
    float twice_area;            // twice the signed screen area (positive for a front face)
    float min_w;                 // the smallest view depth among the vertices
    n3d_texture** textures;      // the material's textures; entry 0 is texture 0
    uint8_t** phong_luts;        // the material's phong lookup tables
    int primitive_id;
};
static_assert(offsetof(n3d_rasterizer_args, fc) > offsetof(n3d_rasterizer_args, rasterizer) &&
                  offsetof(n3d_rasterizer_args, vertices) > offsetof(n3d_rasterizer_args, fc) &&
                  offsetof(n3d_rasterizer_args, gradients_dx) > offsetof(n3d_rasterizer_args, vertices) &&
                  offsetof(n3d_rasterizer_args, gradients_dy) > offsetof(n3d_rasterizer_args, gradients_dx) &&
                  offsetof(n3d_rasterizer_args, twice_area) > offsetof(n3d_rasterizer_args, gradients_dy) &&
                  offsetof(n3d_rasterizer_args, min_w) > offsetof(n3d_rasterizer_args, twice_area) &&
                  offsetof(n3d_rasterizer_args, textures) > offsetof(n3d_rasterizer_args, min_w) &&
                  offsetof(n3d_rasterizer_args, phong_luts) > offsetof(n3d_rasterizer_args, textures) &&
                  offsetof(n3d_rasterizer_args, primitive_id) > offsetof(n3d_rasterizer_args, phong_luts),
              "n3d_rasterizer_args fields in their fixed order");

// The registry, in registration order (zero-initialised); filled by n3d_init.
extern n3d_rasterizer g_n3d_rasterizers[N3D_RASTERIZERS_MAX];
extern int g_n3d_rasterizers_count;
// Primitive id of the triangle being drawn, set by the per-triangle dispatchers.
extern int g_n3d_tri_id;

// Entry 0 is 1.0, entry i is 1/i.
extern float n3d_height_div_lut[N3D_HEIGHT_DIV_LUT_SIZE];
// 16-bit reciprocals of 16 i; from N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX on with
// N3D_FIXPT_IIW_LUT_F_SCALE2_BITS more bits; entry 0 is 65535.
extern int n3d_iiw_lut_fixpt[N3D_FIXED_IIW_LUT_SIZE];

// Appends one entry and calls its func_init; flags already registered stop
// through the crash path naming flags, file and line. The count is not checked
// beyond N3D_RASTERIZERS_MAX (a full registry is fatal too).
void n3d_rasterizer_register(const char* name, int ps_count, n3d_rasterizer_func func,
                             n3d_rasterizer_func_init func_init, int flags, const char* file, int line);
// The first entry whose flags equal the requested word exactly; null when none.
n3d_rasterizer* n3d_rasterizer_find(int flags);
// Registers the fifteen generated rasterizers in their fixed order.
void n3d_rasterizers_init();

// Floor division and non-negative modulo for positive divisors; b = 0 is fatal.
int mfloordiv(int a, int b);
int mmod(int a, int b);
