// The rasterizers against an independent reference: over the benchmark's
// seeded random stream each variant fills exactly the pixel set that plain
// double-precision edge functions with the top-left rule give (pixels within a
// hair of an edge are not judged), a jittered mesh tiling the target covers
// every pixel once, texture coordinates land within a texel of the exact
// perspective value and depth within a unit of 1/w x 8192.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "raster/n3d_rasterizers.h"
#include "support/raster_fixture.h"

namespace {

// Inside / outside / too close to call, for the pixel centre (x, y).
enum { REF_OUT = 0, REF_IN = 1, REF_TIE = 2 };

struct ref_triangle {
    double x[3], y[3];
};

ref_triangle ref_of(const raster_tri& t)
{
    ref_triangle r;
    for (int i = 0; i < 3; i++) {
        r.x[i] = t.v[i][0];
        r.y[i] = t.v[i][1];
    }
    return r;
}

// Edge a -> b of a front face in the order 0 -> 1 -> 2 -> 0: E < 0 inside. Left
// edges (running down) and top edges (running left) own the samples on them.
int ref_inside(const ref_triangle& t, double px, double py)
{
    int result = REF_IN;
    for (int e = 0; e < 3; e++) {
        double ax = t.x[e], ay = t.y[e], bx = t.x[(e + 1) % 3], by = t.y[(e + 1) % 3];
        double dx = bx - ax, dy = by - ay;
        double E = (py - ay) * dx - (px - ax) * dy;
        double tol = (std::fabs(dx) + std::fabs(dy)) / 64.0;
        if (std::fabs(E) < tol) {
            result = REF_TIE;
            continue;
        }
        bool inclusive = dy > 0 || (dy == 0 && dx < 0);
        bool pass = inclusive ? E <= 0 : E < 0;
        if (!pass)
            return REF_OUT;
    }
    return result;
}

struct bbox {
    int x0, y0, x1, y1;  // inclusive, clamped to the target
};
bbox bbox_of(const raster_tri& t)
{
    float mnx = t.v[0][0], mxx = mnx, mny = t.v[0][1], mxy = mny;
    for (int i = 1; i < 3; i++) {
        mnx = std::min(mnx, t.v[i][0]);
        mxx = std::max(mxx, t.v[i][0]);
        mny = std::min(mny, t.v[i][1]);
        mxy = std::max(mxy, t.v[i][1]);
    }
    return {std::max(0, (int)std::floor(mnx) - 1), std::max(0, (int)std::floor(mny) - 1),
            std::min(319, (int)std::ceil(mxx) + 1), std::min(199, (int)std::ceil(mxy) + 1)};
}

TEST(RasterReference, EveryVariantFillsTheReferencePixelSet)
{
    auto f = std::make_unique<raster_fixture>();
    for (const n3d_rasterizer_variant& var : g_n3d_rasterizer_variants) {
        const int flags = var.flags;
        pcg32_random_t rng = PCG32_INITIALIZER;
        const int ps = (flags & N3D_RASTERIZER_PHONG) ? 4 : 2;
        const bool cov_write = flags != 49 && flags != 176;
        long judged = 0, mismatched = 0;
        for (int n = 0; n < 300; n++) {
            raster_tri t;
            raster_stream_next(&rng, ps, &t);
            f->clear();
            ASSERT_EQ(f->draw(flags, t), 1) << flags;
            ref_triangle r = ref_of(t);
            // The whole target for the first triangles (nothing strays), the box after.
            bbox b = n < 10 ? bbox{0, 0, 319, 199} : bbox_of(t);
            for (int y = b.y0; y <= b.y1; y++)
                for (int x = b.x0; x <= b.x1; x++) {
                    int drawn = (f->px(x, y) >> 15) & 1;
                    if (cov_write)
                        ASSERT_EQ(f->cov(x, y), drawn) << flags << " tri " << n << " at " << x << "," << y;
                    else
                        ASSERT_EQ(f->cov(x, y), 0) << flags;
                    int ref = ref_inside(r, x, y);
                    if (ref == REF_TIE)
                        continue;
                    judged++;
                    if (drawn != ref) {
                        mismatched++;
                        ADD_FAILURE() << "variant " << flags << " triangle " << n << " pixel " << x << "," << y
                                      << " drawn " << drawn << " reference " << ref;
                        if (mismatched > 5)
                            return;
                    }
                }
        }
        EXPECT_GT(judged, 300 * 1000) << flags;  // the stream's triangles are large
    }
}

TEST(RasterReference, JitteredMeshCoversEveryPixelOnce)
{
    auto f = std::make_unique<raster_fixture>();
    pcg32_random_t rng = PCG32_INITIALIZER;
    const int GX = 10, GY = 7;
    float px[GY + 1][GX + 1], py[GY + 1][GX + 1];
    for (int j = 0; j <= GY; j++)
        for (int i = 0; i <= GX; i++) {
            float x = -0.5f + 320.0f * i / GX, y = -0.5f + 200.0f * j / GY;
            if (i > 0 && i < GX)
                x += (n3d_randf(&rng) - 0.5f) * 20.0f;
            if (j > 0 && j < GY)
                y += (n3d_randf(&rng) - 0.5f) * 20.0f;
            px[j][i] = x;
            py[j][i] = y;
        }
    for (int flags : {80, 190, 1214, 336}) {
        std::vector<int> count(320 * 200, 0);
        for (int j = 0; j < GY; j++)
            for (int i = 0; i < GX; i++) {
                int tri[2][3][2] = {{{i, j}, {i, j + 1}, {i + 1, j}}, {{i + 1, j}, {i, j + 1}, {i + 1, j + 1}}};
                for (auto& tv : tri) {
                    float p[3][7];
                    for (int k = 0; k < 3; k++) {
                        int gi = tv[k][0], gj = tv[k][1];
                        float q[7] = {px[gj][gi], py[gj][gi], 0.75f, 0.25f, 0.5f, 0.1f, 0.2f};
                        memcpy(p[k], q, sizeof q);
                    }
                    raster_tri t = raster_tri_make(p);
                    f->clear();
                    ASSERT_EQ(f->draw(flags, t), 1);
                    for (int y = 0; y < 200; y++)
                        for (int x = 0; x < 320; x++)
                            count[y * 320 + x] += (f->px(x, y) >> 15) & 1;
                }
            }
        for (int y = 0; y < 200; y++)
            for (int x = 0; x < 320; x++)
                ASSERT_EQ(count[y * 320 + x], 1) << "variant " << flags << " pixel " << x << "," << y;
    }
}

// Screen-space barycentric weights of (x, y) in double.
void weights(const raster_tri& t, double x, double y, double l[3])
{
    double x0 = t.v[0][0], y0 = t.v[0][1], x1 = t.v[1][0], y1 = t.v[1][1], x2 = t.v[2][0], y2 = t.v[2][1];
    double d = (y1 - y2) * (x0 - x2) + (x2 - x1) * (y0 - y2);
    l[0] = ((y1 - y2) * (x - x2) + (x2 - x1) * (y - y2)) / d;
    l[1] = ((y2 - y0) * (x - x2) + (x0 - x2) * (y - y2)) / d;
    l[2] = 1.0 - l[0] - l[1];
}

// Texture coordinates at (x, y): perspective-correct, or the affine value of
// the parameters divided by w that the affine variant steps.
void exact_uv(const raster_tri& t, double x, double y, bool affine, double* u, double* v)
{
    double l[3];
    weights(t, x, y, l);
    double iw = 0, uw = 0, vw = 0;
    for (int i = 0; i < 3; i++) {
        iw += l[i] * t.v[i][2];
        uw += l[i] * t.v[i][3];
        vw += l[i] * t.v[i][4];
    }
    *u = affine ? uw : uw / iw;
    *v = affine ? vw : vw / iw;
}

int circular_distance(int a, int b)
{
    int d = std::abs(a - b) & 255;
    return std::min(d, 256 - d);
}

TEST(RasterReference, TextureCoordinatesAndDepthFollowTheExactValues)
{
    auto f = std::make_unique<raster_fixture>();
    for (int flags : {80, 336}) {
        pcg32_random_t rng = PCG32_INITIALIZER;
        int worst_u = 0, worst_v = 0;
        for (int n = 0; n < 200; n++) {
            raster_tri t;
            raster_stream_next(&rng, 2, &t);
            f->clear();
            f->draw(flags, t, &f->texuv);
            bbox b = bbox_of(t);
            for (int y = b.y0; y <= b.y1; y++)
                for (int x = b.x0; x <= b.x1; x++) {
                    if (!f->cov(x, y))
                        continue;
                    // Spans are linear between exact values 8 pixels apart: beside
                    // the texel of rounding, allow the curvature of the perspective
                    // division over a span (8^2 / 8 x the second difference), the
                    // truncated per-pixel step (under 8/16 of a texel) and what the
                    // 1/256-pixel vertex positions move under a steep gradient.
                    double u, v, u2, v2;
                    exact_uv(t, x, y, flags == 336, &u, &v);
                    double ul, vl, ur, vr;
                    exact_uv(t, x - 1, y, flags == 336, &ul, &vl);
                    exact_uv(t, x + 1, y, flags == 336, &ur, &vr);
                    double uu, vu, ud, vd;
                    exact_uv(t, x, y - 1, flags == 336, &uu, &vu);
                    exact_uv(t, x, y + 1, flags == 336, &ud, &vd);
                    u2 = std::fabs(ul - 2 * u + ur) * 255.0 * 8.0 +
                         (std::fabs(ur - ul) + std::fabs(ud - uu)) * 255.0 / 256.0;
                    v2 = std::fabs(vl - 2 * v + vr) * 255.0 * 8.0 +
                         (std::fabs(vr - vl) + std::fabs(vd - vu)) * 255.0 / 256.0;
                    int eu = (int)std::floor(u * 255.0 + 7.0 / 16.0), ev = (int)std::floor(v * 255.0 + 7.0 / 16.0);
                    uint16_t c = f->px(x, y);
                    int du = circular_distance(c & 255, eu), dv = circular_distance(c >> 8, ev);
                    double tol_u = 1.5 + u2, tol_v = 1.5 + v2;
                    worst_u = std::max(worst_u, du);
                    worst_v = std::max(worst_v, dv);
                    ASSERT_LE(du, tol_u) << flags << " tri " << n << " at " << x << "," << y << " u " << u;
                    ASSERT_LE(dv, tol_v) << flags << " tri " << n << " at " << x << "," << y << " v " << v;
                }
        }
        EXPECT_GE(worst_u, 1);  // the rounding is seen, not hidden
    }

    for (int flags : {190, 1214}) {
        pcg32_random_t rng = PCG32_INITIALIZER;
        double worst = 0;
        for (int n = 0; n < 200; n++) {
            raster_tri t;
            raster_stream_next(&rng, 4, &t);
            f->clear();
            f->draw(flags, t);
            bbox b = bbox_of(t);
            for (int y = b.y0; y <= b.y1; y++)
                for (int x = b.x0; x <= b.x1; x++) {
                    if (!f->cov(x, y))
                        continue;
                    double l[3];
                    weights(t, x, y, l);
                    double iw = l[0] * t.v[0][2] + l[1] * t.v[1][2] + l[2] * t.v[2][2];
                    // Depth walks the plane of the given gradients from the top or
                    // the left vertex in whole units per pixel and row: beside the
                    // start, the sub-pixel truncation and the result (two units), allow the
                    // steps' rounding times the distance.
                    double ex = std::fabs(t.gdx[4] * 8192.0 - std::lround(t.gdx[4] * 8192.0));
                    double ey = std::fabs(t.gdy[4] * 8192.0 - std::lround(t.gdy[4] * 8192.0));
                    // The 1/256-pixel vertex positions under the gradient.
                    const double quant = (std::fabs(t.gdx[4]) + std::fabs(t.gdy[4])) * 8192.0 / 256.0;
                    double z = f->depth(x, y), excess = 1e9;
                    for (int i = 0; i < 3; i++) {
                        double dxv = x - t.v[i][0], dyv = y - t.v[i][1];
                        double plane = 8192.0 * (t.v[i][2] + t.gdx[4] * dxv + t.gdy[4] * dyv);
                        excess = std::min(
                            excess, std::fabs(z - plane) - (2.0 + quant + ex * std::fabs(dxv) + ey * std::fabs(dyv)));
                    }
                    ASSERT_LE(excess, 0.0) << flags << " tri " << n << " at " << x << "," << y;
                    double err = std::fabs(z - iw * 8192.0);
                    worst = std::max(worst, err);
                }
        }
        EXPECT_GT(worst, 0.5);
    }
}

}  // namespace
