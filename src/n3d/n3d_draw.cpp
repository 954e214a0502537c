#include "n3d/n3d_draw.h"

#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"

namespace {

enum path_kind { PATH_PLAIN, PATH_PHONG, PATH_SKINNING };

template <path_kind K>
struct path_traits;
template <>
struct path_traits<PATH_PLAIN> {
    using vertex = n3d_vertex_ex2;
    static constexpr const char* name = "n3d_draw_triangles_argb1555";
};
template <>
struct path_traits<PATH_PHONG> {
    using vertex = n3d_vertex_ex4;
    static constexpr const char* name = "n3d_draw_triangles_phong_argb1555";
};
template <>
struct path_traits<PATH_SKINNING> {
    using vertex = n3d_vertex_ex2;
    static constexpr const char* name = "n3d_draw_triangles_skinning_argb1555";
};

// Parameters per vertex besides 1/w, and floats per clip vertex (X, Y, Z, W, parameters).
template <path_kind K>
constexpr int PS = K == PATH_PHONG ? 4 : 2;
template <path_kind K>
constexpr int CLIP_FLOATS = 4 + PS<K>;

static_assert(sizeof(n3d_vertex_ex2) * N3D_DRAW_BATCH_MAX_VERTICES == 300 &&
                  sizeof(n3d_vertex_ex4) * N3D_DRAW_BATCH_MAX_VERTICES == 420,
              "the vertex block fits the renderer's 480-byte batch arena");
static_assert(N3D_DRAW_BATCH_MAX_VERTICES == 15, "a batch started below 8 vertices takes at most one 8-vertex polygon");

// Which sides of the view volume a clip-space vertex lies beyond.
enum : unsigned {
    OUT_LEFT = 1,
    OUT_RIGHT = 2,
    OUT_TOP = 4,
    OUT_BOTTOM = 8,
    OUT_FAR = 16,
    OUT_NEAR = 32,
};

// Fixed rasterizer choice by draw mode (the registry keys of the named variants).
constexpr int FIXED_T0I8_COVW = N3D_RASTERIZER_COVERAGE_WRITE | N3D_RASTERIZER_ARGB1555 | N3D_RASTERIZER_T0_I8ARGB1555;
constexpr int FIXED_T0I8 = N3D_RASTERIZER_ARGB1555 | N3D_RASTERIZER_T0_I8ARGB1555;
constexpr int FIXED_T0ARGB = N3D_RASTERIZER_ARGB1555 | N3D_RASTERIZER_T0_ARGB1555;
static_assert(FIXED_T0I8_COVW == 50 && FIXED_T0I8 == 48 && FIXED_T0ARGB == 80, "plain variants");
constexpr int FIXED_PHONG_T0I8_COVW_Z =
    FIXED_T0I8_COVW | N3D_RASTERIZER_PHONG | N3D_RASTERIZER_ZBUFFER_READ | N3D_RASTERIZER_ZBUFFER_WRITE;
constexpr int FIXED_PHONG_T0I8_COVW = FIXED_T0I8_COVW | N3D_RASTERIZER_PHONG;
constexpr int FIXED_PHONG_T0I8 = FIXED_T0I8 | N3D_RASTERIZER_PHONG;
constexpr int FIXED_PHONG_T0ARGB = FIXED_T0ARGB | N3D_RASTERIZER_PHONG;
static_assert(FIXED_PHONG_T0I8_COVW_Z == 190 && FIXED_PHONG_T0I8_COVW == 178 && FIXED_PHONG_T0I8 == 176 &&
                  FIXED_PHONG_T0ARGB == 208,
              "phong variants");

template <path_kind K>
int fixed_choice_flags(int draw_mode)
{
    const bool index8 = (draw_mode & N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555) != 0;
    const bool coverage_write = (draw_mode & N3D_DRAW_MODE_COVERAGE_WRITE) != 0;
    if constexpr (K == PATH_PHONG) {
        if (!index8)
            return FIXED_PHONG_T0ARGB;
        if (!coverage_write)
            return FIXED_PHONG_T0I8;
        return (draw_mode & N3D_DRAW_MODE_ZBUFFER) ? FIXED_PHONG_T0I8_COVW_Z : FIXED_PHONG_T0I8_COVW;
    } else {
        if (!index8)
            return FIXED_T0ARGB;
        return coverage_write ? FIXED_T0I8_COVW : FIXED_T0I8;
    }
}

n3d_rasterizer* rasterizer_find_or_stop(int flags)
{
    n3d_rasterizer* r = n3d_rasterizer_find(flags);
    if (!r)
        n3d_crash("src/n3d_draw", 411,
                  "could not find rasterizer with flags: %d (maybe combination is not generated, see "
                  "n3d_rasterizers)\n",
                  flags);
    return r;
}

// x * 0 is 0 for every finite x and NaN for an infinity or a NaN; four
// independent sums keep the test of a run short.
inline bool all_finite(const float* v, int n)
{
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k)
            s[k] += v[i + k] * 0.0f;
    for (; i < n; ++i)
        s[0] += v[i] * 0.0f;
    return (s[0] + s[1]) + (s[2] + s[3]) == 0.0f;
}

inline float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

template <int F>
int clip_polygon(float* dst, int count, const float* src, const float* dists, int clipped_ps_i, float clipped_ps_value)
{
    if (count <= 0 || count > N3D_DRAW_CLIP_MAX_VERTICES)
        return 0;
    const bool fixed = clipped_ps_i >= 0 && clipped_ps_i < F;
    int n = 0;
    for (int prev = count - 1, cur = 0; cur < count; prev = cur++) {
        const float dp = dists[prev], dc = dists[cur];
        const bool prev_in = dp >= 0.0f, cur_in = dc >= 0.0f;
        const float* p = src + prev * F;
        if (prev_in) {
            if (n == N3D_DRAW_CLIP_MAX_VERTICES)
                return 0;
            memcpy(dst + n * F, p, sizeof(float) * F);
            ++n;
        }
        if (prev_in != cur_in) {
            if (n == N3D_DRAW_CLIP_MAX_VERTICES)
                return 0;
            // From the inside end towards the outside one: a neighbour walking the
            // shared edge the other way computes the very same point, so clipped
            // edges stay watertight.
            const float* c = src + cur * F;
            const float* in = prev_in ? p : c;
            const float* out = prev_in ? c : p;
            const float d_in = prev_in ? dp : dc, d_out = prev_in ? dc : dp;
            const float t = d_in / (d_in - d_out);
            float* o = dst + n * F;
            for (int k = 0; k < F; ++k)
                o[k] = in[k] + t * (out[k] - in[k]);
            if (fixed)
                o[clipped_ps_i] = clipped_ps_value;
            ++n;
        }
    }
    return n;
}

// Everything of a draw call that its triangles share.
template <path_kind K>
struct draw_call {
    n3d_draw_args* a;
    float W, H;  // framebuffer size
    float kx, ky, x_offset, y_offset;
    mat4x4 smvp;  // mvp with the X row times kx and the Y row times ky (plain, phong)
    const float* xyz;
    const float* uv;
    const float* t_xyz;
    const float* b_xyz;
    const uint8_t* joints;
    const float* joints_weights;
    const mat4x4* vpj;  // clip from joint (skinning)
};

// Clip position and texture coordinate of vertex i.
template <path_kind K>
void vertex_stage(const draw_call<K>& c, int i, float clip[4], float* ps)
{
    const float* p = c.xyz + 3 * i;
    if constexpr (K == PATH_SKINNING) {
        float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int j = 0; j < 4; ++j) {
            const float wj = c.joints_weights[4 * i + j];
            const mat4x4& m = c.vpj[c.joints[4 * i + j]];
            for (int r = 0; r < 4; ++r)
                acc[r] += wj * (m[0][r] * p[0] + m[1][r] * p[1] + m[2][r] * p[2] + m[3][r]);
        }
        clip[0] = acc[0] * c.kx;
        clip[1] = acc[1] * c.ky;
        clip[2] = acc[2];
        clip[3] = acc[3];
    } else {
        for (int r = 0; r < 4; ++r)
            clip[r] = c.smvp[0][r] * p[0] + c.smvp[1][r] * p[1] + c.smvp[2][r] * p[2] + c.smvp[3][r];
    }
    ps[0] = c.uv[2 * i];
    ps[1] = c.uv[2 * i + 1];
}

// The phong coordinates of the triangle's three vertices (first index i),
// only for triangles that passed reject and cull: the half vector H between
// light and eye on each vertex's tangent frame. The nine reciprocal square
// roots are taken in two rounds of independent ones.
template <path_kind K>
void phong_stage(const draw_call<K>& c, int i, float ps[3][PS<K>])
{
    vec3 L[3], V[3], Hv[3];
    float rl[3], rv[3], rh[3];
    for (int v = 0; v < 3; ++v) {
        const float* p = c.xyz + 3 * (i + v);
        vec3_sub(L[v], c.a->model_light_pos, p);
        vec3_sub(V[v], c.a->model_view_pos, p);
    }
    for (int v = 0; v < 3; ++v) {
        rl[v] = ppc_frsqrte(vec3_mul_inner(L[v], L[v]));
        rv[v] = ppc_frsqrte(vec3_mul_inner(V[v], V[v]));
    }
    for (int v = 0; v < 3; ++v) {
        vec3_scale(L[v], L[v], rl[v]);
        vec3_scale(V[v], V[v], rv[v]);
        vec3_add(Hv[v], L[v], V[v]);
    }
    for (int v = 0; v < 3; ++v)
        rh[v] = ppc_frsqrte(vec3_mul_inner(Hv[v], Hv[v]));
    for (int v = 0; v < 3; ++v) {
        vec3_scale(Hv[v], Hv[v], rh[v]);
        // A light or eye on the vertex leaves H undefined: the NaN passes the
        // clamp and the triangle is skipped.
        ps[v][2] = clampf(vec3_mul_inner(Hv[v], c.t_xyz + 3 * (i + v)), -1.0f, 1.0f);
        ps[v][3] = clampf(vec3_mul_inner(Hv[v], c.b_xyz + 3 * (i + v)), -1.0f, 1.0f);
    }
}

template <path_kind K>
inline __attribute__((always_inline)) unsigned outside_sides(const draw_call<K>& c, const float* v)
{
    const float X = v[0], Y = v[1], Z = v[2], Wc = v[3];
    return (X < -(c.kx + 0.5f) * Wc ? OUT_LEFT : 0u) | (X > (c.kx - 0.5f) * Wc ? OUT_RIGHT : 0u) |
           (Y < -(c.ky + 0.5f) * Wc ? OUT_TOP : 0u) | (Y > (c.ky - 0.5f) * Wc ? OUT_BOTTOM : 0u) |
           (Z > Wc ? OUT_FAR : 0u) | (-Wc > Z ? OUT_NEAR : 0u);
}

// The gradients of a perspective-divided parameter q = p / w over the screen.
// From the projected vertices when they exist; otherwise (a vertex on the eye
// plane) from the homogeneous screen positions (X + x_offset W, Y + y_offset W, W),
// for which a hx + b hy + c hw = p holds at every vertex: the same plane equation,
// without dividing by W.
template <path_kind K>
bool gradients(const draw_call<K>& c, const float clip[3][4], const float ps[3][PS<K>], const float sx[3],
               const float sy[3], const float iw[3], float twice_area, float* gdx, float* gdy)
{
    constexpr int N = PS<K> + 1;
    const float r = 1.0f / twice_area;
    for (int k = 0; k < N; ++k) {
        const float p0 = k < PS<K> ? ps[0][k] * iw[0] : iw[0];
        const float p1 = k < PS<K> ? ps[1][k] * iw[1] : iw[1];
        const float p2 = k < PS<K> ? ps[2][k] * iw[2] : iw[2];
        gdx[k] = ((sy[0] - sy[2]) * (p1 - p2) - (sy[1] - sy[2]) * (p0 - p2)) * r;
        gdy[k] = -((sx[0] - sx[2]) * (p1 - p2) - (sx[1] - sx[2]) * (p0 - p2)) * r;
    }
    if (all_finite(gdx, N) && all_finite(gdy, N))
        return true;
    float hx[3], hy[3], hw[3];
    for (int v = 0; v < 3; ++v) {
        hx[v] = clip[v][0] + c.x_offset * clip[v][3];
        hy[v] = clip[v][1] + c.y_offset * clip[v][3];
        hw[v] = clip[v][3];
    }
    // Cofactors of the first two columns of the matrix whose rows are (hx, hy, hw).
    const float ca[3] = {hy[1] * hw[2] - hw[1] * hy[2], -(hy[0] * hw[2] - hw[0] * hy[2]),
                         hy[0] * hw[1] - hw[0] * hy[1]};
    const float cb[3] = {-(hx[1] * hw[2] - hw[1] * hx[2]), hx[0] * hw[2] - hw[0] * hx[2],
                         -(hx[0] * hw[1] - hw[0] * hx[1])};
    const float det = hx[0] * ca[0] + hx[1] * ca[1] + hx[2] * ca[2];
    const float rd = 1.0f / det;
    for (int k = 0; k < N; ++k) {
        const float p0 = k < PS<K> ? ps[0][k] : 1.0f;
        const float p1 = k < PS<K> ? ps[1][k] : 1.0f;
        const float p2 = k < PS<K> ? ps[2][k] : 1.0f;
        gdx[k] = (p0 * ca[0] + p1 * ca[1] + p2 * ca[2]) * rd;
        gdy[k] = (p0 * cb[0] + p1 * cb[1] + p2 * cb[2]) * rd;
    }
    return all_finite(gdx, N) && all_finite(gdy, N);
}

template <path_kind K>
void store_vertex(typename path_traits<K>::vertex* out, const draw_call<K>& c, const float* q)
{
    // Clipping leaves every position within the screen region but for rounding;
    // the rasterizers limit neither columns nor the last row, so hold them to it.
    out->x = clampf(q[0], 0.0f, c.W);
    out->y = clampf(q[1], 0.0f, c.H);
    out->w = q[3];
    for (int k = 0; k < PS<K>; ++k)
        out->ps[k] = q[4 + k];
}

// Near plane in clip space, then the four screen edges on the projected polygon.
// Returns the vertex count (0 to 8) written to out, or -1 when the polygon is
// not usable (a vertex at or behind the eye after the near clip, or values
// that are not finite).
template <path_kind K>
int clip_triangle(const draw_call<K>& c, const float clip[3][4], const float ps[3][PS<K>],
                  typename path_traits<K>::vertex* out)
{
    constexpr int F = CLIP_FLOATS<K>;
    float a[N3D_DRAW_CLIP_MAX_VERTICES * F], b[N3D_DRAW_CLIP_MAX_VERTICES * F], d[N3D_DRAW_CLIP_MAX_VERTICES];
    for (int v = 0; v < 3; ++v) {
        memcpy(a + v * F, clip[v], sizeof(float) * 4);
        memcpy(a + v * F + 4, ps[v], sizeof(float) * PS<K>);
        d[v] = clip[v][2] + clip[v][3];
    }
    int n = clip_polygon<F>(b, 3, a, d, -1, 0.0f);
    for (int i = 0; i < n; ++i) {
        float* q = b + i * F;
        if (!(q[3] > 0.0f))
            return -1;
        const float iw = ppc_fast_reciprocal_positive(q[3]);
        q[0] = q[0] * iw + c.x_offset;
        q[1] = q[1] * iw + c.y_offset;
        q[3] = iw;
        for (int k = 0; k < PS<K>; ++k)
            q[4 + k] *= iw;
    }
    if (!all_finite(b, n * F))
        return -1;
    for (int i = 0; i < n; ++i)
        d[i] = b[i * F];
    n = clip_polygon<F>(a, n, b, d, 0, 0.0f);
    for (int i = 0; i < n; ++i)
        d[i] = c.W - a[i * F];
    n = clip_polygon<F>(b, n, a, d, 0, c.W);
    for (int i = 0; i < n; ++i)
        d[i] = b[i * F + 1];
    n = clip_polygon<F>(a, n, b, d, 1, 0.0f);
    for (int i = 0; i < n; ++i)
        d[i] = c.H - a[i * F + 1];
    n = clip_polygon<F>(b, n, a, d, 1, c.H);
    for (int i = 0; i < n; ++i)
        store_vertex<K>(out + i, c, b + i * F);
    return n;
}

template <path_kind K>
int triangle_dispatch(n3d_rasterizer_args* args, int draw_mode)
{
    const int flags = fixed_choice_flags<K>(draw_mode);
    g_n3d_tri_id = args->primitive_id;
    if (!args->rasterizer || args->rasterizer->flags != flags)
        args->rasterizer = rasterizer_find_or_stop(flags);
    return args->rasterizer->func(args);
}

void check_array(const void* p, const char* path, const char* name)
{
    if (!p)
        n3d_crash("src/n3d_draw", __LINE__, "%s: the vertices have no %s array\n", path, name);
}

// The entry checks in their order, then what keeps the chosen rasterizer's
// reads and writes inside the texture, the target and the vertex arrays.
// Returns the rasterizer every triangle of the call goes to.
template <path_kind K>
n3d_rasterizer* draw_checks(n3d_draw_args* a)
{
    const char* path = path_traits<K>::name;
    const n3d_framebuffer* fb = a->fc ? a->fc->fb : nullptr;
    if (!fb || fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        n3d_crash("src/n3d_draw", 394, "framebuffer only 16bpp supported for now\n");
    const n3d_texture* t0 = a->material && a->material->textures ? a->material->textures[0] : nullptr;
    if (!t0)
        n3d_crash("src/n3d_draw", 397, "texture0 is null!\n");
    if (t0->not_swizzled)
        n3d_crash("src/n3d_draw", 400,
                  "texture0 is not swizzled! (all rasterizers require textures that are swizzled!\n");

    const int D = a->draw_mode;
    n3d_rasterizer* rast;
    if (a->rasterizer_flags != 0) {
        rast = rasterizer_find_or_stop(a->rasterizer_flags);
        const int R = a->rasterizer_flags;
        if ((D & N3D_DRAW_MODE_DEFAULT) && (R & N3D_RASTERIZER_PHONG))
            n3d_crash("src/n3d_draw", 416, "N3D_DRAW_MODE_DEFAULT not compatible with N3D_RASTERIZER_PHONG\n");
        if ((D & N3D_DRAW_MODE_DEFAULT) && (R & N3D_RASTERIZER_AFFINE))
            n3d_crash("src/n3d_draw", 419, "N3D_DRAW_MODE_DEFAULT not compatible with N3D_RASTERIZER_AFFINE\n");
        if (!(D & N3D_DRAW_MODE_PHONG) && (R & N3D_RASTERIZER_PHONG))
            n3d_crash("src/n3d_draw", 422, "N3D_RASTERIZER_PHONG requires N3D_DRAW_MODE_PHONG\n");
        if ((D & N3D_DRAW_MODE_PHONG) && !(R & N3D_RASTERIZER_PHONG))
            n3d_crash("src/n3d_draw", 425, "N3D_DRAW_MODE_PHONG requires N3D_RASTERIZER_PHONG\n");
        if (!(D & N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555) && (R & N3D_RASTERIZER_T0_I8ARGB1555))
            n3d_crash("src/n3d_draw", 428,
                      "N3D_RASTERIZER_T0_I8ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555\n");
        // An ARGB1555 rasterizer is held to an ARGB1555 texture 0, whichever table
        // the draw mode names: the pipeline draws ARGB1555 textures under bit 128.
        if ((R & N3D_RASTERIZER_T0_ARGB1555) && t0->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
            n3d_crash("src/n3d_draw", 431, "N3D_RASTERIZER_T0_ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_ARGB1555\n");
        if ((D & N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555) &&
            !(R & (N3D_RASTERIZER_T0_I8ARGB1555 | N3D_RASTERIZER_T0_ARGB1555)))
            n3d_crash("src/n3d_draw", 434,
                      "N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 requires either N3D_RASTERIZER_T0_ARGB1555 or "
                      "N3D_RASTERIZER_T0_ARGB1555\n");
    } else {
        rast = rasterizer_find_or_stop(fixed_choice_flags<K>(D));
    }

    // The vertex records the path writes must be the ones the rasterizer reads.
    if (rast->ps_count != PS<K>)
        n3d_crash("src/n3d_draw", __LINE__, "%s: rasterizer %s takes %d parameters, the draw path gives %d\n", path,
                  rast->name, rast->ps_count, PS<K>);
    // Texels are read as the rasterizer's kind: a texture of another format
    // would be read past its level or through a missing palette.
    if (!t0->mips || !t0->mips[0])
        n3d_crash("src/n3d_draw", __LINE__, "texture0 has no level 0!\n");
    if ((rast->flags & N3D_RASTERIZER_T0_ARGB1555) && t0->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        n3d_crash("src/n3d_draw", 431, "N3D_RASTERIZER_T0_ARGB1555 requires N3D_DRAW_MODE_TEXTURE0_ARGB1555\n");
    if ((rast->flags & N3D_RASTERIZER_T0_I8ARGB1555) &&
        (t0->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || !t0->palette || !t0->shade_table))
        n3d_crash("src/n3d_draw", __LINE__,
                  "N3D_RASTERIZER_T0_I8ARGB1555 requires an index8 texture0 with palette and shade table (texel "
                  "format 1), texture0 has format %d\n",
                  t0->format);
    if ((rast->flags & N3D_RASTERIZER_PHONG) && (!a->material->phong_luts || !a->material->phong_luts[0]))
        n3d_crash("src/n3d_draw", __LINE__, "%s: the material's phong_luts[0] is null!\n", path);
    // The rasterizers address coverage and depth with the framebuffer's coordinates.
    const n3d_coveragebuffer* cb = a->fc->cb;
    if (!cb || cb->w < fb->w || cb->h < fb->h)
        n3d_crash("src/n3d_draw", __LINE__, "%s: the frame context needs a coverage buffer of at least %dx%d\n", path,
                  fb->w, fb->h);
    if (rast->flags & (N3D_RASTERIZER_ZBUFFER_READ | N3D_RASTERIZER_ZBUFFER_WRITE)) {
        const n3d_depthbuffer* db = a->fc->db;
        if (!db || db->w < fb->w || db->h < fb->h || db->w > 512)
            n3d_crash("src/n3d_draw", __LINE__,
                      "%s: rasterizer %s needs a depth buffer of at least %dx%d (and at most 512 wide)\n", path,
                      rast->name, fb->w, fb->h);
    }

    const n3d_vertices* vs = a->all_vs;
    if (!vs)
        n3d_crash("src/n3d_draw", __LINE__, "%s: no vertices\n", path);
    // The arrays are read per triangle only: an empty list (a primitive of no
    // vertices has no arrays at all) draws nothing and needs none of them.
    if (a->mesh_primitives_count > 0) {
        check_array(vs->xyz, path, "xyz");
        check_array(vs->uv, path, "uv");
        if constexpr (K == PATH_PHONG) {
            check_array(vs->n_xyz, path, "n_xyz");
            check_array(vs->t_xyz, path, "t_xyz");
            check_array(vs->b_xyz, path, "b_xyz");
        }
        if constexpr (K == PATH_SKINNING) {
            check_array(vs->joints, path, "joints");
            check_array(vs->joints_weights, path, "joints_weights");
            if (!a->view_proj_joint_matrices)
                n3d_crash("src/n3d_draw", __LINE__, "%s: view_proj_joint_matrices is null!\n", path);
        }
    }
    if constexpr (K != PATH_SKINNING) {
        if (!a->mvp)
            n3d_crash("src/n3d_draw", __LINE__, "%s: mvp is null!\n", path);
    }
    if (a->mesh_primitives_count < 0 || (int64_t)a->mesh_primitives_count * 3 > (int64_t)vs->count)
        n3d_crash("src/n3d_draw", __LINE__, "%s: %d triangles need more vertices than the %d of the list\n", path,
                  a->mesh_primitives_count, vs->count);
    if (!a->batch_arena)
        n3d_crash("src/n3d_draw", __LINE__, "%s: no batch arena\n", path);
    return rast;
}

// One triangle of a batch as the drawing half sees it.
template <path_kind K>
struct batch_primitive {
    float twice_area;
    float min_w;
    float gdx[PS<K> + 1];
    float gdy[PS<K> + 1];
    int first;  // its first record in the vertex block
    int count;  // 3, or the clipped polygon's vertex count
    bool clipped;
};

template <path_kind K>
int draw_triangles(n3d_draw_args* a)
{
    using vertex = typename path_traits<K>::vertex;
    constexpr int P = PS<K>;

    // The block goes first: the whole call, checks included, owns the batch arena.
    vertex* block = a->batch_arena ? static_cast<vertex*>(memarena_push_align(
                                         a->batch_arena, sizeof(vertex) * N3D_DRAW_BATCH_MAX_VERTICES, 32))
                                   : nullptr;
    n3d_rasterizer* rast = draw_checks<K>(a);

    CYCLES_BLOCK_BEGIN(BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP);
    draw_call<K> c;
    c.a = a;
    c.W = (float)a->fc->fb->w;
    c.H = (float)a->fc->fb->h;
    c.kx = c.W / 2.0f;
    c.ky = c.H / 2.0f;
    c.x_offset = c.kx + 0.5f;
    c.y_offset = c.ky + 0.5f;
    const n3d_vertices* vs = a->all_vs;
    c.xyz = vs->xyz;
    c.uv = vs->uv;
    c.t_xyz = vs->t_xyz;
    c.b_xyz = vs->b_xyz;
    c.joints = vs->joints;
    c.joints_weights = vs->joints_weights;
    c.vpj = a->view_proj_joint_matrices;
    if constexpr (K != PATH_SKINNING) {
        mat4x4_dup(c.smvp, *a->mvp);
        for (int col = 0; col < 4; ++col) {
            c.smvp[col][0] *= c.kx;
            c.smvp[col][1] *= c.ky;
        }
    }
    CYCLES_BLOCK_END(BLOCK_RENDER_MESH_TRANSFORM_VERTICES_SETUP);

    n3d_rasterizer_args ra;
    memset(&ra, 0, sizeof ra);
    ra.rasterizer = rast;
    ra.fc = a->fc;
    ra.textures = a->material->textures;
    ra.phong_luts = a->material->phong_luts;
    ra.primitive_id = 0;
    const bool fixed_choice = a->rasterizer_flags == 0;

    int drawn = 0;
    int next = 0;
    const int triangles = a->mesh_primitives_count;
    while (next < triangles) {
        CYCLES_BLOCK_BEGIN(BLOCK_RENDER_MESH_TRANSFORM_VERTICES);
        batch_primitive<K> prims[N3D_DRAW_BATCH_MAX_TRIANGLES];
        int prims_count = 0, vertices_used = 0;
        while (next < triangles && prims_count < N3D_DRAW_BATCH_MAX_TRIANGLES &&
               vertices_used < N3D_DRAW_BATCH_START_VERTICES) {
            const int t = next++;
            float clip[3][4], ps[3][P];
            // Values that are not finite are let through reject and cull (every
            // comparison with a NaN is false) and stopped by the gradient and
            // record checks below, before anything reaches a rasterizer.
            for (int v = 0; v < 3; ++v)
                vertex_stage<K>(c, 3 * t + v, clip[v], ps[v]);
            const unsigned o0 = outside_sides<K>(c, clip[0]), o1 = outside_sides<K>(c, clip[1]),
                           o2 = outside_sides<K>(c, clip[2]);
            if (o0 & o1 & o2)
                continue;

            float iw[3], sx[3], sy[3];
            for (int v = 0; v < 3; ++v) {
                iw[v] = ppc_fast_reciprocal_positive(clip[v][3]);
                sx[v] = clip[v][0] * iw[v] + c.x_offset;
                sy[v] = clip[v][1] * iw[v] + c.y_offset;
            }
            const float twice_area = (sy[0] - sy[2]) * (sx[1] - sx[2]) - (sy[1] - sy[2]) * (sx[0] - sx[2]);
            const bool in_front = clip[0][3] > 0.0f && clip[1][3] > 0.0f && clip[2][3] > 0.0f;
            if (twice_area <= 0.0f && in_front)
                continue;

            if constexpr (K == PATH_PHONG)
                phong_stage<K>(c, 3 * t, ps);
            batch_primitive<K>& pr = prims[prims_count];
            if (!gradients<K>(c, clip, ps, sx, sy, iw, twice_area, pr.gdx, pr.gdy))
                continue;
            vertex* out = block + vertices_used;
            bool clipped = (o0 | o1 | o2) != 0 || !in_front;
            if (!clipped) {
                float q[3][4 + P];
                for (int v = 0; v < 3; ++v) {
                    q[v][0] = sx[v];
                    q[v][1] = sy[v];
                    q[v][2] = 0.0f;
                    q[v][3] = iw[v];
                    for (int k = 0; k < P; ++k)
                        q[v][4 + k] = ps[v][k] * iw[v];
                }
                // A view depth so small that its reciprocal overflows goes the clipped way.
                clipped = !all_finite(&q[0][0], 3 * (4 + P));
                if (!clipped) {
                    for (int v = 0; v < 3; ++v)
                        store_vertex<K>(out + v, c, q[v]);
                    pr.count = 3;
                    pr.twice_area = twice_area;
                    pr.min_w = fminf(clip[0][3], fminf(clip[1][3], clip[2][3]));
                }
            }
            if (clipped) {
                const int n = clip_triangle<K>(c, clip, ps, out);
                if (n < 0)
                    continue;
                pr.count = n;
            }
            pr.clipped = clipped;
            pr.first = vertices_used;
            vertices_used += pr.count;
            ++prims_count;
        }
        CYCLES_BLOCK_END(BLOCK_RENDER_MESH_TRANSFORM_VERTICES);

        for (int i = 0; i < prims_count; ++i) {
            const batch_primitive<K>& pr = prims[i];
            ra.gradients_dx = const_cast<float*>(pr.gdx);
            ra.gradients_dy = const_cast<float*>(pr.gdy);
            if (!pr.clipped) {
                ra.vertices = block + pr.first;
                ra.twice_area = pr.twice_area;
                ra.min_w = pr.min_w;
                drawn += (fixed_choice ? triangle_dispatch<K>(&ra, a->draw_mode) : rast->func(&ra)) == 1;
                continue;
            }
            for (int k = 1; k + 1 < pr.count; ++k) {
                vertex tri[3] = {block[pr.first], block[pr.first + k], block[pr.first + k + 1]};
                const float A =
                    (tri[0].y - tri[2].y) * (tri[1].x - tri[2].x) - (tri[1].y - tri[2].y) * (tri[0].x - tri[2].x);
                if (A < 0.0f)
                    continue;
                ra.vertices = tri;
                ra.twice_area = A;
                ra.min_w = 1.0f / fmaxf(tri[0].w, fmaxf(tri[1].w, tri[2].w));
                drawn += (fixed_choice ? triangle_dispatch<K>(&ra, a->draw_mode) : rast->func(&ra)) == 1;
            }
        }
    }
    memarena_reset(a->batch_arena);
    return drawn;
}

}  // namespace

int n3d_draw_triangles_argb1555(n3d_draw_args* args) { return draw_triangles<PATH_PLAIN>(args); }
int n3d_draw_triangles_phong_argb1555(n3d_draw_args* args) { return draw_triangles<PATH_PHONG>(args); }
int n3d_draw_triangles_skinning_argb1555(n3d_draw_args* args) { return draw_triangles<PATH_SKINNING>(args); }

int n3d_draw_triangles_argb1555_clip(float* dst, int count, const float* src, const float* dists, int clipped_ps_i,
                                     float clipped_ps_value)
{
    return clip_polygon<CLIP_FLOATS<PATH_PLAIN>>(dst, count, src, dists, clipped_ps_i, clipped_ps_value);
}
int n3d_draw_triangles_phong_argb1555_clip(float* dst, int count, const float* src, const float* dists,
                                           int clipped_ps_i, float clipped_ps_value)
{
    return clip_polygon<CLIP_FLOATS<PATH_PHONG>>(dst, count, src, dists, clipped_ps_i, clipped_ps_value);
}
int n3d_draw_triangles_skinning_argb1555_clip(float* dst, int count, const float* src, const float* dists,
                                              int clipped_ps_i, float clipped_ps_value)
{
    return clip_polygon<CLIP_FLOATS<PATH_SKINNING>>(dst, count, src, dists, clipped_ps_i, clipped_ps_value);
}

int n3d_draw_triangles_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int, int)
{
    return triangle_dispatch<PATH_PLAIN>(args, draw_mode);
}
int n3d_draw_triangles_phong_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int, int)
{
    return triangle_dispatch<PATH_PHONG>(args, draw_mode);
}
int n3d_draw_triangles_skinning_argb1555_triangle(n3d_rasterizer_args* args, int draw_mode, int, int)
{
    return triangle_dispatch<PATH_SKINNING>(args, draw_mode);
}
