// The wide paths' pixels against the scalar ones, bit for bit (AVX2 spans eight
// lanes at a time, AVX-512 rows sixteen, each where the processor has it): every variant
// over the benchmark's random stream and over a stream with texture and phong
// coordinates far out of range, on a small texture too, with coverage and depth
// left from earlier triangles, and with phong and shade tables whose entries
// all differ, comparing pixels, coverage, depths and the depth buffer's line
// record.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "core/cpu_features.h"
#include "raster/n3d_rasterizers.h"
#include "support/raster_fixture.h"

namespace {

struct snapshot {
    std::vector<uint16_t> px, z;
    std::vector<uint32_t> cov, zmask;
    bool operator==(const snapshot&) const = default;
};

snapshot take(const raster_fixture& f)
{
    snapshot s;
    const uint16_t* p = static_cast<const uint16_t*>(f.fc.fb->b);
    s.px.assign(p, p + 320 * 200);
    s.z.assign(f.fc.db->u16, f.fc.db->u16 + 320 * 200);
    s.cov.assign(f.fc.cb->u32, f.fc.cb->u32 + 320 * 200 / 32);
    s.zmask.assign(f.fc.db->cb_cache_zeroed.u32, f.fc.db->cb_cache_zeroed.u32 + 200);
    return s;
}

// 300 triangles of the stream (coordinates stretched by spread), coverage and
// depth reset every 100 as the benchmark does, starting from random coverage.
snapshot run(raster_fixture& f, int flags, int level, float spread)
{
    cpu_level_set(level);
    f.clear();
    pcg32_random_t bits = {42, 54};
    for (int i = 0; i < 320 * 200 / 32; i++)
        f.fc.cb->u32[i] = pcg32_random_r(&bits) & pcg32_random_r(&bits);
    pcg32_random_t rng = PCG32_INITIALIZER;
    const int ps = (flags & N3D_RASTERIZER_PHONG) ? 4 : 2;
    for (int n = 0; n < 300; n++) {
        if (n % 100 == 99) {
            n3d_coveragebuffer_clear(f.fc.cb);
            n3d_depthbuffer_clear(f.fc.db);
        }
        raster_tri s;
        raster_stream_next(&rng, ps, &s);
        float p[3][7];
        for (int i = 0; i < 3; i++) {
            float iw = s.v[i][2];
            float q[7] = {s.v[i][0],
                          s.v[i][1],
                          iw,
                          0.5f + (s.v[i][3] / iw - 0.5f) * spread,
                          0.5f + (s.v[i][4] / iw - 0.5f) * spread,
                          ps == 4 ? s.v[i][5] / iw * spread : 0.0f,
                          ps == 4 ? s.v[i][6] / iw * spread : 0.0f};
            memcpy(p[i], q, sizeof q);
        }
        raster_tri t = spread == 1.0f ? s : raster_tri_make(p);
        f.draw(flags, t);
    }
    return take(f);
}

// Tables whose entries all differ where the fixture's repeat: every phong
// entry and pad its own shade, every shade-table entry naming its texel and
// shade, so a lookup of the wrong entry changes the pixel.
void distinct_tables(raster_fixture& f)
{
    for (int i = -N3D_PHONG_LUT_PAD; i < N3D_PHONG_LUT_ENTRIES + N3D_PHONG_LUT_PAD; i++)
        f.phong[i] = static_cast<uint8_t>(i * 37 + 11);
    uint16_t* shade = static_cast<uint16_t*>(f.tex8.shade_table);
    for (int t = 0; t < 256; t++)
        for (int s = 0; s < 32; s++)
            shade[(t << 5) | s] = static_cast<uint16_t>(0x8000 | s << 8 | t);
}

// The wide paths this processor has, each against the scalar one.
struct wide_path {
    int level;
    const char* name;
    bool supported;
};

TEST(RasterWide, SpanPixelsMatchTheScalarPathBitForBit)
{
    const wide_path paths[] = {
        {CPU_LEVEL_AVX2, "AVX2 spans", cpu_level_supported() >= CPU_LEVEL_AVX2},
        {CPU_LEVEL_AVX512, "AVX-512 rows", cpu_level_supported() >= CPU_LEVEL_AVX512},
    };
    if (!paths[0].supported)
        GTEST_SKIP() << "no AVX2 on this processor: only the scalar path exists";
    const int saved = cpu_level();
    const struct {
        int size;
        bool distinct;
    } textures[] = {{8, false}, {5, false}, {8, true}};
    for (const auto& tx : textures) {
        const int size = tx.size;
        auto f = std::make_unique<raster_fixture>(size, size);
        if (tx.distinct)
            distinct_tables(*f);
        for (float spread : {1.0f, 7.0f})
            for (const n3d_rasterizer_variant& var : g_n3d_rasterizer_variants) {
                const int flags = var.flags;
                snapshot scalar = run(*f, flags, CPU_LEVEL_SCALAR, spread);
                for (const wide_path& p : paths) {
                    if (!p.supported) {
                        printf("[   NOTE   ] %s not on this processor, not compared\n", p.name);
                        continue;
                    }
                    snapshot wide = run(*f, flags, p.level, spread);
                    EXPECT_TRUE(scalar.px == wide.px)
                        << p.name << ": pixels, variant " << flags << " texture 2^" << size
                        << (tx.distinct ? " (distinct tables)" : "") << " spread " << spread;
                    EXPECT_TRUE(scalar.cov == wide.cov) << p.name << ": coverage, variant " << flags;
                    EXPECT_TRUE(scalar.z == wide.z) << p.name << ": depth, variant " << flags;
                    EXPECT_TRUE(scalar.zmask == wide.zmask) << p.name << ": depth lines, variant " << flags;
                    if (scalar.px != wide.px) {
                        for (size_t i = 0; i < scalar.px.size(); i++)
                            if (scalar.px[i] != wide.px[i]) {
                                ADD_FAILURE() << p.name << ": first difference at " << i % 320 << "," << i / 320 << ": "
                                              << scalar.px[i] << " vs " << wide.px[i];
                                break;
                            }
                    }
                }
            }
    }
    cpu_level_set(saved);
}

}  // namespace
