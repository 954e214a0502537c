// Test support for whole-scene draws: textured cubes (faces outward or
// inward) and single triangles in world space, an independent reference that
// casts one double-precision ray per pixel centre through the projection, and a
// counting rasterizer that fills a triangle by the top-left rule from the
// vertices and gradients the draw path hands it, recording how often each
// pixel was drawn and the perspective-correct texture coordinate there.
#pragma once

#include <cmath>
#include <vector>

#include "core/linmath.h"
#include "raster/n3d_raster.h"
#include "support/n3d_draw_support.h"

struct ref_triangle {
    double p[3][3];  // world positions, counter-clockwise seen from the front
    double uv[3][2];
};

// Six faces of two triangles, centre c, half size s. Outward faces are front
// faces seen from outside; inward ones seen from inside.
inline std::vector<ref_triangle> ref_cube(const double c[3], double s, bool inward)
{
    const double axes[6][3][3] = {
        // normal, u axis, v axis with u x v = normal
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},  {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}}, {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
    };
    const double st[2][3][2] = {{{-1, -1}, {1, -1}, {1, 1}}, {{-1, -1}, {1, 1}, {-1, 1}}};
    std::vector<ref_triangle> out;
    for (const auto& f : axes)
        for (const auto& tri : st) {
            ref_triangle t;
            for (int i = 0; i < 3; ++i) {
                const int k = inward ? 2 - i : i;
                for (int a = 0; a < 3; ++a)
                    t.p[i][a] = c[a] + s * (f[0][a] + tri[k][0] * f[1][a] + tri[k][1] * f[2][a]);
                t.uv[i][0] = 0.5 * (tri[k][0] + 1.0) * 0.96 + 0.02;
                t.uv[i][1] = 0.5 * (tri[k][1] + 1.0) * 0.96 + 0.02;
            }
            out.push_back(t);
        }
    return out;
}

// What one pixel centre sees: how many front faces its ray meets in front of
// the near plane, and the texture coordinate of the last one; ambiguous when
// the ray passes within a hair of an edge or of the near plane, where rounding
// may decide either way.
struct ref_pixel {
    int hits = 0;
    bool ambiguous = false;
    double u = 0, v = 0;
};

// Rays for the screen mapping of the draw paths: pixel (px, py) is screen
// (px, py), X/W = (px - kx - 0.5) / kx, Y/W = (py - ky - 0.5) / ky, through the
// projection entries a/aspect (m00) and -a (m11) of clip_from_view.
// eps is the margin (in barycentric weight and view depth) within which a
// pixel counts as ambiguous.
inline std::vector<ref_pixel> ref_cast(const std::vector<ref_triangle>& tris, const mat4x4 view_from_world,
                                       const mat4x4 clip_from_view, int w, int h, double near_plane, double eps = 1e-4)
{
    const double kx = w / 2.0, ky = h / 2.0;
    std::vector<ref_triangle> vt = tris;
    for (ref_triangle& t : vt)
        for (auto& p : t.p) {
            double q[3];
            for (int r = 0; r < 3; ++r)
                q[r] = view_from_world[0][r] * p[0] + view_from_world[1][r] * p[1] + view_from_world[2][r] * p[2] +
                       view_from_world[3][r];
            for (int r = 0; r < 3; ++r)
                p[r] = q[r];
        }
    std::vector<ref_pixel> out((size_t)w * h);
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px) {
            const double d[3] = {(px - kx - 0.5) / kx / clip_from_view[0][0],
                                 (py - ky - 0.5) / ky / clip_from_view[1][1], -1.0};
            ref_pixel& o = out[(size_t)py * w + px];
            for (const ref_triangle& t : vt) {
                double e1[3], e2[3], pv[3], tv[3], qv[3];
                for (int a = 0; a < 3; ++a) {
                    e1[a] = t.p[1][a] - t.p[0][a];
                    e2[a] = t.p[2][a] - t.p[0][a];
                }
                pv[0] = d[1] * e2[2] - d[2] * e2[1];
                pv[1] = d[2] * e2[0] - d[0] * e2[2];
                pv[2] = d[0] * e2[1] - d[1] * e2[0];
                const double det = e1[0] * pv[0] + e1[1] * pv[1] + e1[2] * pv[2];
                // Front faces only: counter-clockwise seen from the eye gives det > 0.
                if (!(det > 1e-12))
                    continue;
                for (int a = 0; a < 3; ++a)
                    tv[a] = -t.p[0][a];
                const double b1 = (tv[0] * pv[0] + tv[1] * pv[1] + tv[2] * pv[2]) / det;
                qv[0] = tv[1] * e1[2] - tv[2] * e1[1];
                qv[1] = tv[2] * e1[0] - tv[0] * e1[2];
                qv[2] = tv[0] * e1[1] - tv[1] * e1[0];
                const double b2 = (d[0] * qv[0] + d[1] * qv[1] + d[2] * qv[2]) / det;
                const double dist = (e2[0] * qv[0] + e2[1] * qv[1] + e2[2] * qv[2]) / det;  // view depth (d.z = -1)
                const double b0 = 1.0 - b1 - b2;
                const double m = std::fmin(b0, std::fmin(b1, b2));
                if (m < -eps || dist < near_plane - eps)
                    continue;
                if (m < eps || dist < near_plane + eps) {
                    o.ambiguous = true;
                    continue;
                }
                o.hits++;
                o.u = b0 * t.uv[0][0] + b1 * t.uv[1][0] + b2 * t.uv[2][0];
                o.v = b0 * t.uv[0][1] + b1 * t.uv[1][1] + b2 * t.uv[2][1];
            }
        }
    return out;
}

// The counting rasterizer's picture.
struct ref_sink {
    int w = 0, h = 0;
    std::vector<int> count;
    std::vector<float> u, v;
    int outside = 0;  // samples a triangle covered beyond the framebuffer
    void reset(int width, int height)
    {
        w = width;
        h = height;
        count.assign((size_t)w * h, 0);
        u.assign((size_t)w * h, 0.0f);
        v.assign((size_t)w * h, 0.0f);
        outside = 0;
    }
};
inline ref_sink g_ref_sink;

// Top-left rule for the draw paths' front faces (twice_area > 0 with y down):
// an edge a -> b with b below a (a left edge) or running leftwards along a flat
// top includes its samples.
template <int PS>
int ref_rasterizer(n3d_rasterizer_args* a)
{
    const float* f = static_cast<const float*>(a->vertices);
    double x[3], y[3];
    for (int i = 0; i < 3; ++i) {
        x[i] = f[i * (3 + PS)];
        y[i] = f[i * (3 + PS) + 1];
    }
    const double x0 = std::floor(std::fmin(x[0], std::fmin(x[1], x[2]))) - 1;
    const double x1 = std::ceil(std::fmax(x[0], std::fmax(x[1], x[2]))) + 1;
    const double y0 = std::floor(std::fmin(y[0], std::fmin(y[1], y[2]))) - 1;
    const double y1 = std::ceil(std::fmax(y[0], std::fmax(y[1], y[2]))) + 1;
    for (int py = (int)y0; py <= (int)y1; ++py)
        for (int px = (int)x0; px <= (int)x1; ++px) {
            bool in = true;
            for (int e = 0; e < 3 && in; ++e) {
                const int s = e, t = (e + 1) % 3;
                const double dx = x[t] - x[s], dy = y[t] - y[s];
                const double E = dy * (px - x[s]) - dx * (py - y[s]);
                const bool top_left = dy > 0 || (dy == 0 && dx < 0);
                in = E > 0 || (E == 0 && top_left);
            }
            if (!in)
                continue;
            if (px < 0 || py < 0 || px >= g_ref_sink.w || py >= g_ref_sink.h) {
                g_ref_sink.outside++;
                continue;
            }
            const size_t i = (size_t)py * g_ref_sink.w + px;
            g_ref_sink.count[i]++;
            const float ddx = (float)px - f[0], ddy = (float)py - f[1];
            const float iw = f[2] + a->gradients_dx[PS] * ddx + a->gradients_dy[PS] * ddy;
            g_ref_sink.u[i] = (f[3] + a->gradients_dx[0] * ddx + a->gradients_dy[0] * ddy) / iw;
            g_ref_sink.v[i] = (f[4] + a->gradients_dx[1] * ddx + a->gradients_dy[1] * ddy) / iw;
        }
    return 1;
}

// A triangle list for the draw paths from reference triangles (tangent frame
// along the texture axes, one joint of weight 1).
inline void ref_to_vertices(const std::vector<ref_triangle>& tris, test_vertices& tv)
{
    tv = {};
    for (const ref_triangle& t : tris)
        for (int i = 0; i < 3; ++i)
            tv.add((float)t.p[i][0], (float)t.p[i][1], (float)t.p[i][2], (float)t.uv[i][0], (float)t.uv[i][1]);
}
