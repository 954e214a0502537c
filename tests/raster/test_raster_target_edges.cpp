// Triangles that the draw paths hand over legitimately but whose set-up
// arithmetic reaches past the target: a fan triangle whose lower edge starts a
// hair below its first row, right edges that end exactly on the target's last
// column, and slivers whose phong walk leaves what their vertices span. Each is
// drawn by every variant that can serve the target, on every pixel path the
// processor has, into pixels, coverage, depths and depth-line words of exactly
// the target's size, so that any access outside is an address-sanitizer report.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "core/cpu_features.h"
#include "n3d/n3d.h"
#include "raster/n3d_rasterizers.h"
#include "support/raster_fixture.h"

namespace {

// A frame context whose pixels, coverage words, depths and depth-line words
// are separate heap blocks of exactly w x h entries (the depths 32-byte aligned).
struct tight_target {
    int w, h;
    std::vector<uint16_t> px;
    std::vector<uint32_t> cov, zmask;
    uint16_t* z;
    n3d_framebuffer fb{};
    n3d_coveragebuffer cb{};
    n3d_depthbuffer db{};
    n3d_frame_context fc{};

    tight_target(int w_, int h_)
        : w(w_),
          h(h_),
          px(static_cast<size_t>(w_) * h_),
          cov(static_cast<size_t>(w_) * h_ / 32),
          zmask(h_),
          // Aligned new rather than aligned_alloc, which the Windows C runtime lacks.
          z(static_cast<uint16_t*>(::operator new(static_cast<size_t>(w_) * h_ * 2, std::align_val_t(32))))
    {
        fb = n3d_framebuffer{0, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, w, h, 2 * w, px.data()};
        cb = n3d_coveragebuffer{cov.data(), w, h};
        db = n3d_depthbuffer{z, w, h, n3d_coveragebuffer{zmask.data(), 32, h}};
        fc.fb = &fb;
        fc.cb = &cb;
        fc.db = &db;
    }
    ~tight_target() { ::operator delete(z, std::align_val_t(32)); }
    tight_target(const tight_target&) = delete;
    tight_target& operator=(const tight_target&) = delete;

    void clear()
    {
        std::fill(px.begin(), px.end(), uint16_t(0));
        std::fill(cov.begin(), cov.end(), 0u);
        std::fill(zmask.begin(), zmask.end(), 0u);
    }
    uint16_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

// Distance of (x, y) from the nearest of the triangle's edge lines.
double edge_distance(const raster_tri& t, double x, double y)
{
    double d = 1e30;
    for (int i = 0; i < 3; i++) {
        const float* a = t.v[i];
        const float* b = t.v[(i + 1) % 3];
        const double ex = b[0] - a[0], ey = b[1] - a[1];
        const double len = std::sqrt(ex * ex + ey * ey);
        if (len > 0)
            d = std::fmin(d, std::fabs((x - a[0]) * ey - (y - a[1]) * ex) / len);
    }
    return d;
}

enum { CHECK_FILL, CHECK_SHADE };

struct target_case {
    const char* what;
    int w, h;
    float v[3][7];  // x, y, 1/w, u, v, pu, pv
    int check;
};

// The fan triangle of a 256x128 target: its lower edge from (0, 85.0019531) is
// nearly flat, and the first row of its part lies 1/256 pixel above the edge's
// rounded start. A right edge from a top vertex just left of x = 320 down to
// (320, 240), and one ending at (640, 480): the rounding of the top x and of the
// edge delta puts the edge past the last column on the last rows. A sliver whose
// three vertices share the dark phong coordinates (0.72, 0.05), drawn at
// depth ratios whose gradients the walk multiplies into far larger values.
const target_case CASES[] = {
    {"fan triangle, lower edge above its first row",
     256,
     128,
     {{235.356201f, 0.0f, 2.0f, 0.3f, 0.2f, 0.1f, 0.1f},
      {0.0f, 85.0019531f, 1.00194931f, 0.1f, 0.8f, 0.1f, 0.1f},
      {256.0f, 86.0f, 2.0f, 0.9f, 0.9f, 0.1f, 0.1f}},
     CHECK_FILL},
    {"right edge ending on the last column, 320x240",
     320,
     240,
     {{320.0f, 240.0f, 0.9f, 0.9f, 0.9f, 0.2f, 0.1f},
      {319.533203f, 0.0f, 0.8f, 0.5f, 0.1f, 0.2f, 0.1f},
      {0.5f, 240.0f, 0.7f, 0.1f, 0.9f, 0.2f, 0.1f}},
     CHECK_FILL},
    {"right edge ending on the last pixel, 640x480",
     640,
     480,
     {{639.498f, 0.0f, 0.9f, 0.5f, 0.1f, 0.2f, 0.1f},
      {0.0f, 480.0f, 0.7f, 0.1f, 0.9f, 0.2f, 0.1f},
      {640.0f, 480.0f, 0.8f, 0.9f, 0.9f, 0.2f, 0.1f}},
     CHECK_FILL},
    {"sliver with dark phong coordinates",
     64,
     160,
     {{0x1.f05c12p+4f, 0x1.284f2cp+7f, 0x1.009f78p-2f, 0x1.ccccccp-1f, 0x1.ccccccp-1f, 0x1.6fe1e6p-1f, 0x1.88f4fp-5f},
      {0x1.f97fb4p+4f, 0x1.2aa184p+7f, 0x1.51c6d8p-2f, 0x1.ccccccp-1f, 0x1.ccccccp-1f, 0x1.7510c4p-1f, 0x1.ad12eap-5f},
      {0x1.d2856p+4f, 0x1.0e8652p+7f, 0x1.16ae34p-2f, 0x1.ccccccp-1f, 0x1.ccccccp-1f, 0x1.742c3cp-1f, 0x1.ac7842p-5f}},
     CHECK_SHADE},
};

TEST(RasterTargetEdges, NothingOutsideTheTargetAndSliversShadeLikeTheirVertices)
{
    auto f = std::make_unique<raster_fixture>();
    // Indices below 40 are bright (shade 31), the rest dark (shade 0); the
    // sliver's vertices all sit near index 66.
    std::vector<uint8_t> lut(N3D_PHONG_LUT_BYTES, 0);
    std::fill_n(lut.begin(), N3D_PHONG_LUT_PAD + 40, uint8_t(31));
    f->phong_luts[0] = lut.data() + N3D_PHONG_LUT_PAD;
    const int saved = cpu_level();
    for (const target_case& c : CASES) {
        tight_target tt(c.w, c.h);
        f->args.fc = &tt.fc;
        const raster_tri t = raster_tri_make(c.v);
        ASSERT_GT(t.twice_area, 0.0f) << c.what;
        for (int level : {CPU_LEVEL_SCALAR, CPU_LEVEL_AVX2, CPU_LEVEL_AVX512}) {
            if (level > saved)
                break;
            cpu_level_set(level);
            for (const n3d_rasterizer_variant& var : g_n3d_rasterizer_variants) {
                const int flags = var.flags;
                const bool phong = (flags & N3D_RASTERIZER_PHONG) != 0;
                if (c.check == CHECK_SHADE && !phong)
                    continue;
                if ((flags & N3D_RASTERIZER_ZBUFFER_READ) && c.w > 512)
                    continue;
                tt.clear();
                EXPECT_EQ(f->draw(flags, t), 1) << c.what << ", variant " << flags;
                int drawn = 0, wrong = 0;
                for (int y = 0; y < c.h; y++)
                    for (int x = 0; x < c.w; x++) {
                        const uint16_t p = tt.at(x, y);
                        const bool in = (p & 0x8000) != 0;
                        drawn += in;
                        if (c.check == CHECK_FILL) {
                            // The fixed-point walk may differ from the exact rule only
                            // at pixel centres within 1/64 pixel of an edge.
                            const bool ref =
                                n3d_is_inside_triangle_convention_topleft(x, y, t.v[0][0], t.v[0][1], t.v[1][0],
                                                                          t.v[1][1], t.v[2][0], t.v[2][1]) != 0;
                            wrong += in != ref && edge_distance(t, x, y) > 1.0 / 64;
                        } else if (in) {
                            // Shade 0: ARGB1555 texels turn opaque black, the fixture's
                            // shade table keeps the shade in bits 10-14.
                            const bool argb = (flags & N3D_RASTERIZER_T0_ARGB1555) != 0;
                            wrong += argb ? p != 0x8000 : (p & 0x7C00) != 0;
                        }
                    }
                EXPECT_GT(drawn, 0) << c.what << ", variant " << flags << ", path " << cpu_level_name(level);
                EXPECT_EQ(wrong, 0) << c.what << ", variant " << flags << ", path " << cpu_level_name(level);
            }
        }
    }
    cpu_level_set(saved);
}

}  // namespace
