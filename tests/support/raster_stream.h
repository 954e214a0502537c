// Test and benchmark support: the renderer benchmark's stream of random,
// already set-up triangles (PCG32 from its default state, 320x200 area, 1/w in
// [0.5, 1), texture coordinates in [0, 1), phong coordinates in [-0.5, 0.5)),
// with the gradients the rasterizers receive. Header only; no allocation.
#pragma once

#include "core/pcg_basic.h"
#include "raster/n3d_raster.h"

struct raster_tri {
    float v[3][7];  // x, y, 1/w, then ps_count parameters divided by w
    float gdx[5];
    float gdy[5];
    float twice_area;
    float min_w;
    int ps_count;  // parameters the gradients hold before the one of 1/w
};

// One triangle of the stream; the collinear ones are drawn again from the
// following numbers, as the benchmark does.
inline void raster_stream_next(pcg32_random_t* rng, int ps_count, raster_tri* t, float max_x = 320.0f,
                               float max_y = 200.0f)
{
    float x[3], y[3], iw[3], a;
    for (;;) {
        for (int i = 0; i < 3; i++) {
            x[i] = n3d_randf(rng) * max_x;
            y[i] = n3d_randf(rng) * max_y;
        }
        for (int i = 0; i < 3; i++)
            iw[i] = 0.5f + n3d_randf(rng) * 0.5f;
        a = (y[0] - y[2]) * (x[1] - x[2]) - (y[1] - y[2]) * (x[0] - x[2]);
        if (a > 0.000001f)
            break;
    }
    float p[3][4];
    for (int i = 0; i < 3; i++) {
        p[i][0] = n3d_randf(rng) * 1.0f;
        p[i][1] = n3d_randf(rng) * 1.0f;
        if (ps_count == 4) {
            p[i][2] = -0.5f + n3d_randf(rng) * 1.0f;
            p[i][3] = -0.5f + n3d_randf(rng) * 1.0f;
        }
    }
    const float r = 1.0f / a;
    for (int k = 0; k <= ps_count; k++) {
        float q[3];
        for (int i = 0; i < 3; i++)
            q[i] = k < ps_count ? iw[i] * p[i][k] : iw[i];
        t->gdx[k] = ((y[0] - y[2]) * (q[1] - q[2]) - (y[1] - y[2]) * (q[0] - q[2])) * r;
        t->gdy[k] = -((x[0] - x[2]) * (q[1] - q[2]) - (x[1] - x[2]) * (q[0] - q[2])) * r;
        if (k < ps_count)
            for (int i = 0; i < 3; i++)
                t->v[i][3 + k] = q[i];
    }
    for (int i = 0; i < 3; i++) {
        t->v[i][0] = x[i];
        t->v[i][1] = y[i];
        t->v[i][2] = iw[i];
    }
    t->twice_area = a;
    t->ps_count = ps_count;
    float iw_max = iw[0] > iw[1] ? iw[0] : iw[1];
    iw_max = iw_max > iw[2] ? iw_max : iw[2];
    t->min_w = 1.0f / iw_max;
}

// The triangle's vertices in the record the rasterizer with ps_count reads.
inline void raster_tri_vertices(const raster_tri* t, int ps_count, void* out)
{
    if (ps_count == 4) {
        auto* v = static_cast<n3d_vertex_ex4*>(out);
        for (int i = 0; i < 3; i++)
            v[i] = n3d_vertex_ex4{t->v[i][0], t->v[i][1], t->v[i][2], {t->v[i][3], t->v[i][4], t->v[i][5], t->v[i][6]}};
    } else {
        auto* v = static_cast<n3d_vertex_ex2*>(out);
        for (int i = 0; i < 3; i++)
            v[i] = n3d_vertex_ex2{t->v[i][0], t->v[i][1], t->v[i][2], {t->v[i][3], t->v[i][4]}};
    }
}
