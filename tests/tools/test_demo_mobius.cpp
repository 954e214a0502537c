// Moebius warp: the reciprocal table, the rotate-and-insert texel index
// against the texel layout's own, the fixed-point warp against a complex
// (a z + b) / (c z + d) on a texture whose texels hold their own (u, v), the
// script's phase boundaries, the controller track file written in the working
// directory and never over a file it refused, the refusals of unusable textures and frames, coefficients that
// leave the table's range, and the brute-force tunnel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "host/nanokorg2.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "support/capture.h"
#include "support/crash_site.h"
#include "support/demo_assets_fixture.h"
#include "support/test_arena.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo.h"
#include "tools/demo_mobius.h"
#include "tools/demo_timing.h"

namespace {

using test_arena = qf_test_arena<4u << 20>;

// A 2^log2 square ARGB1555 texture whose texel (u, v) holds u | v << 8.
struct uv_texture {
    std::vector<uint16_t> texels;
    uint8_t* mips[1];
    n3d_texture t{};
    uv_texture(int swizzled, int log2 = 8)
    {
        const uint32_t n = 1u << log2;
        texels.resize(swizzled ? n3d_swizzle_size_16bpp(n - 1, n - 1) / 2 : n * n);
        for (uint32_t v = 0; v < n; v++)
            for (uint32_t u = 0; u < n; u++)
                texels[n3d_texel_index(2, log2, swizzled, u, v)] = (uint16_t)(u | v << 8);
        mips[0] = reinterpret_cast<uint8_t*>(texels.data());
        t.format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
        t.not_swizzled = !swizzled;
        t.w_log2 = t.h_log2 = log2;
        t.min_u_level = t.min_v_level = log2;
        t.mips = mips;
    }
};

struct mobius_fixture : ::testing::Test {
    test_arena a, tmp;
    demo_mobius m;
    void SetUp() override { demo_mobius_init(&a.arena, &m, &tmp.arena); }
    void set(std::complex<float> ca, std::complex<float> cb, std::complex<float> cc, std::complex<float> cd)
    {
        const float v[8] = {ca.real(), ca.imag(), cb.real(), cb.imag(), cc.real(), cc.imag(), cd.real(), cd.imag()};
        memcpy(m.ps, v, sizeof v);
    }
};

TEST_F(mobius_fixture, ReciprocalTable)
{
    EXPECT_EQ(m.div_lut_fp[0], INT32_MIN);
    EXPECT_EQ(m.div_lut_fp[1], 134217728);
    EXPECT_EQ(m.div_lut_fp[2], 67108864);
    EXPECT_EQ(m.div_lut_fp[32], 4194304);
    EXPECT_EQ(m.div_lut_fp[255], 526344);
    EXPECT_EQ(m.track2.max_pos, 16u);
}

TEST(DemoMobiusIndex, RotateAndInsertEqualsTheSwizzledLayout)
{
    for (uint32_t v = 0; v < 256; v++)
        for (uint32_t u = 0; u < 256; u++)
            ASSERT_EQ(demo_mobius_texel_index(u, v), n3d_swizzle_index_16bpp(u, v)) << u << " " << v;
    // Rows wrap at 256, also for the negative rows an arithmetic shift gives.
    EXPECT_EQ(demo_mobius_texel_index(7, 256 + 9), n3d_swizzle_index_16bpp(7, 9));
    EXPECT_EQ(demo_mobius_texel_index(7, (uint32_t)-1), n3d_swizzle_index_16bpp(7, 255));
}

TEST_F(mobius_fixture, ConstantMapShowsTheLastColumnOffsetByTheScroll)
{
    uv_texture tex(1);
    demo_fixture_frame f(320, 240, 640);
    set(0, 1, 0, 1);  // w = 1 everywhere: Q is 2^27, the reciprocal entry 32 exactly
    const struct {
        int u_tick, v_tick;
        int tu, tv;
    } cases[] = {{0, 0, 255, 0}, {256 * 3, 256 * 5, 2, 5}, {-256, -256 * 2, 254, 254}};
    for (const auto& c : cases) {
        m.u_tick_8fp = c.u_tick;
        m.v_tick_8fp = c.v_tick;
        demo_mobius_argb1555(&m, &tex.t, f.fc.fb);
        for (int y = 0; y < 240; y += 17)
            for (int x = 0; x < 320; x += 3)
                ASSERT_EQ(f.at(x, y), (uint16_t)(c.tu | c.tv << 8)) << x << " " << y << " tick " << c.u_tick;
    }
}

// Circular distance of two texel coordinates.
double wrap_distance(double a, double b)
{
    double d = std::fmod(std::fabs(a - b), 256.0);
    return d > 128.0 ? 256.0 - d : d;
}

TEST_F(mobius_fixture, WarpFollowsTheComplexMapWhereTheTableIsDefined)
{
    uv_texture tex(1);
    using C = std::complex<double>;
    const struct {
        C a, b, c, d;
        int u_tick, v_tick;
    } cases[] = {
        {1, 0, 0, 1, 0, 0},                                        // identity
        {C(0.3, 0.4), C(0.1, -0.2), 0, C(0.9, 0.1), 1000, -3000},  // rotation and scale
        {C(0.5, 0.2), 0.1, C(0, 0.3), 1, 77, 12345},               // a real Moebius map
        {C(0, 0), C(0.4, 0.2), C(0.8, 0.6), C(1.6, 0), 0, 0},      // inversion
    };
    const int W = 320, H = 240;
    for (const auto& c : cases) {
        set(std::complex<float>(c.a), std::complex<float>(c.b), std::complex<float>(c.c), std::complex<float>(c.d));
        m.u_tick_8fp = c.u_tick;
        m.v_tick_8fp = c.v_tick;
        demo_fixture_frame f(W, H, 640);
        demo_mobius_argb1555(&m, &tex.t, f.fc.fb);
        double worst = 0, sum = 0;
        int n = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const C z((-0.5 * W / H) + x / (double)H, -0.5 + y / (double)H);
                const C cz = c.c * z + c.d;
                ASSERT_GT(std::norm(cz), 1.0 / 32) << "case outside the table";
                ASSERT_LT(std::norm(cz), 254.0 / 32) << "case outside the table";
                const C w = (c.a * z + c.b) / cz;
                const double u = w.real() * 255.0 + c.u_tick / 256.0, v = w.imag() * 255.0 + c.v_tick / 256.0;
                const uint16_t px = f.at(x, y);
                // The pixel shows texel floor(u), floor(v): compare with the texel's centre.
                const double e = std::max(wrap_distance((px & 255) + 0.5, u), wrap_distance((px >> 8) + 0.5, v));
                worst = std::max(worst, e);
                sum += e;
                n++;
            }
        // Half a texel is the texel's own extent; the rest is the fixed point,
        // the table's interpolation and the four-pixel steps.
        EXPECT_LT(worst, 1.0) << c.a << c.b << c.c << c.d;
        EXPECT_LT(sum / n, 0.4) << c.a << c.b << c.c << c.d;
    }
}

TEST_F(mobius_fixture, CoefficientsOutsideTheTableStayDefined)
{
    uv_texture tex(1);
    // Denominator 0 (entry 0), wider than 2.5:1 (past entry 255), values beyond
    // the 32-bit range, NaN: each must draw without reading outside the table
    // or overflowing (the sanitizers watch), and the same way twice.
    const struct {
        float ps[8];
        int w, h;
    } cases[] = {
        {{1, 0, 0, 0, 0, 0, 0, 0}, 320, 240},
        {{0, 0, 1, 0, 1, 0, 0, 0}, 1024, 64},
        {{1e20f, -1e20f, 3e9f, 0, 1e19f, 1e19f, 0, 0}, 320, 240},
        {{NAN, 0, 1, 0, NAN, 0, 1, 0}, 64, 16},
    };
    for (const auto& c : cases) {
        memcpy(m.ps, c.ps, sizeof c.ps);
        demo_fixture_frame f1(c.w, c.h, 2 * c.w), f2(c.w, c.h, 2 * c.w);
        demo_mobius_argb1555(&m, &tex.t, f1.fc.fb);
        demo_mobius_argb1555(&m, &tex.t, f2.fc.fb);
        EXPECT_EQ(f1.plane, f2.plane);
    }
}

TEST_F(mobius_fixture, RefusesUnusableTexturesAndFrames)
{
    uv_texture rows(0), small(1, 7), good(1);
    uv_texture index8(1);
    index8.t.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
    const struct {
        const n3d_texture* t;
        int w;
        const char* message;
    } cases[] = {
        {&rows.t, 320, "warp texture must be ARGB1555, swizzled and 256x256, is format 2, row by row, 256x256"},
        {&small.t, 320, "warp texture must be ARGB1555, swizzled and 256x256, is format 2, swizzled, 128x128"},
        {&index8.t, 320, "is format 1"},
        {nullptr, 320, "warp texture missing"},
        {&good.t, 322, "frame width 322 is not a multiple of 4"},
    };
    for (const auto& c : cases) {
        captured_run r = capture_run([&] {
            demo_fixture_frame f(c.w, 8, 2 * c.w + 4);
            demo_mobius_argb1555(&m, c.t, f.fc.fb);
        });
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(crash_site(r.err).find(crash_site("crash in  at src/demo_mobius:")), std::string::npos) << r.err;
    }
}

// ---- script and track -----------------------------------------------------------

struct mobius_update : mobius_fixture {
    uv_texture tex{1};
    n3d_texture* t16[4] = {};
    demo_assets assets{};
    demo d{};
    std::string cwd;
    nanokorg2_state prev{}, now{};
    void SetUp() override
    {
        mobius_fixture::SetUp();
        t16[0] = &tex.t;
        assets.tc.textures_per_format[2] = t16;
        d.assets = &assets;
        g_demo = &d;
        g_demo_nk2 = nullptr;
        memset(&g_demo_nk2_prev, 0, sizeof g_demo_nk2_prev);
        demo_timing_init(&g_demo_timing, &a.arena, 22050, nullptr, 0);
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd = buf;
        ASSERT_EQ(chdir(capture_temp_dir().c_str()), 0);
    }
    void TearDown() override
    {
        g_demo = nullptr;
        g_demo_nk2 = nullptr;
        ASSERT_EQ(chdir(cwd.c_str()), 0);
    }
    // One update at a sample position, a beat fraction and a dt.
    void at(int pos, float lerp = 0, float dt = 1.0f / 60)
    {
        demo_time_frame dtf{};
        demo_timing_update(&dtf, &g_demo_timing, pos);
        g_dtf = dtf;
        g_dtf.lerp_beats = lerp;
        g_dtf.dt = dt;
        demo_fixture_frame f(320, 200, 640);
        demo_mobius_update(&m, &f.fc, &tmp.arena);
    }
};

TEST_F(mobius_update, PhaseBoundariesAreStrictOnTheUpperSide)
{
    // The imaginary part of b at lerp 0 tells the phase: in A it is m plus a
    // ramp that rises from 178715 over 5 s, m 0.05 up to 209920 and 0.1 after.
    auto ramp = [](int pos) { return std::min(1.0f, std::max(0.0f, 0.2f * (pos - 178715) / 22050.0f)); };
    const struct {
        int pos;
        float b_im;
    } cases[] = {
        {0, 0.05f},      {209920, 0.05f + ramp(209920)}, {209921, 0.1f + ramp(209921)},
        {377855, 1.1f},   // A, the ramp at 1
        {377856, 1.05f},  // B from its first sample
        {463871, 1.05f},
    };
    for (const auto& c : cases) {
        at(c.pos);
        EXPECT_NEAR(m.ps[3], c.b_im, 1e-5) << c.pos;
        EXPECT_FLOAT_EQ(m.ps[4], 1.0f) << c.pos;
    }
    at(463872);  // C: c = 0.01023 + i 0.392089 at lerp 0
    EXPECT_FLOAT_EQ(m.ps[4], 0.01023f);
    EXPECT_FLOAT_EQ(m.ps[5], 0.392089f);
    at(890740);  // E
    EXPECT_FLOAT_EQ(m.ps[2], 0.732283f);
    EXPECT_FLOAT_EQ(m.ps[7], 0.905512f);
    const int t4u = m.u_tick_8fp;
    EXPECT_EQ(m.t4_u_tick_8fp, t4u);
    at(906752 + 2205);  // F, 0.1 s in: f small
    EXPECT_LT(m.ps[0], 0.1f * 0.715667f);
    at(1259264 - 2205);  // F from T(1259264) - 0.1 s on: the targets
    EXPECT_FLOAT_EQ(m.ps[0], 0.715667f);
    EXPECT_FLOAT_EQ(m.ps[3], 0.461405f);
    EXPECT_FLOAT_EQ(m.ps[6], 0.96063f);
    EXPECT_EQ(m.u_tick_8fp, 97387);
    EXPECT_EQ(m.v_tick_8fp, 198188);
    // The bump of c's real part at 949855.
    at(949855);
    EXPECT_GT(m.ps[4], 0.9f);
}

TEST_F(mobius_update, ScrollsBySecondsInTheFirstPhasesAndByFramesLater)
{
    m.u_tick_8fp = m.v_tick_8fp = 0;
    at(100, 0, 0.5f);
    EXPECT_EQ(m.u_tick_8fp, 256 * 6);
    EXPECT_EQ(m.v_tick_8fp, 256 * 15);
    at(500000);
    EXPECT_EQ(m.u_tick_8fp, 256 * 6 + 51);
    EXPECT_EQ(m.v_tick_8fp, 256 * 15 + 128);
}

TEST_F(mobius_update, TrackFileIsWrittenInTheWorkingDirectoryAndReadBack)
{
    at(1000);
    FILE* f = fopen(DEMO_MOBIUS_TRACK_FILE, "rb");
    ASSERT_NE(f, nullptr);
    uint8_t b[600];
    const size_t n = fread(b, 1, sizeof b, f);
    fclose(f);
    ASSERT_EQ(n, 524u);
    uint32_t max_pos;
    io_load32(&max_pos, b, IO_ENDIAN_NATIVE);
    EXPECT_EQ(max_pos, 16u);

    // A row and position edited in the file are picked up by the next frame.
    demo_track2 edited;
    demo_track2_init(&edited, &a.arena);
    edited.pos = 9;
    edited.keys[9 * 8 + 3] = 0.25f;
    ASSERT_EQ(demo_track2_store_file(&edited, DEMO_MOBIUS_TRACK_FILE, IO_ENDIAN_NATIVE, &tmp.arena), 0);
    at(1000);
    EXPECT_EQ(m.track2.pos, 9u);
    EXPECT_EQ(m.track2.keys[9 * 8 + 3], 0.25f);
}

std::string file_bytes(const char* path)
{
    std::string r;
    FILE* f = fopen(path, "rb");
    if (!f)
        return r;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        r.append(buf, n);
    fclose(f);
    return r;
}

void write_bytes(const char* path, const std::string& bytes)
{
    FILE* f = fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}

TEST_F(mobius_update, RefusedTrackFileIsNamedOnceAndNeverWrittenOver)
{
    // A well-formed record of the track's dimensions, then cut or edited.
    demo_track2 t;
    demo_track2_init(&t, &a.arena);
    t.keys[5] = 0.75f;
    std::string good(524, '\0');
    demo_track2_store(reinterpret_cast<uint8_t*>(good.data()), &t, IO_ENDIAN_NATIVE);
    auto with32 = [&](int offset, uint32_t v) {
        std::string b = good;
        io_store32(reinterpret_cast<uint8_t*>(b.data()) + offset, v, IO_ENDIAN_NATIVE);
        return b;
    };
    const struct {
        std::string bytes;
        const char* why;
    } cases[] = {
        {"", "0 bytes, shorter than its 12-byte header"},
        {good.substr(0, 11), "11 bytes, shorter than its 12-byte header"},
        {good.substr(0, 523), "523 bytes, too short for 16 rows of 8 values (524 bytes)"},
        {with32(8, 16), "pos 16 past its last row 15"},
        {with32(0, 0), "no rows (max_pos 0)"},
    };
    now.record = 1;  // recording changes the track in memory every frame
    now.ch_knob[0] = 1;
    now.ch_slider[0] = 0.5f;
    // One run for every case (each run of its own is slow where it starts a
    // process): three frames on each refused file, then the file mended.
    captured_run r = capture_run([&] {
        for (const auto& c : cases) {
            write_bytes(DEMO_MOBIUS_TRACK_FILE, c.bytes);
            demo_mobius_init(&a.arena, &m, &tmp.arena);
            for (int i = 0; i < 3; i++) {
                g_demo_nk2 = i == 1 ? &now : nullptr;
                at(1000);
            }
            printf("file %s\n--\n", file_bytes(DEMO_MOBIUS_TRACK_FILE) == c.bytes ? "kept" : "written over");
        }
        // Once the file is mended it loads, and what is recorded reaches it again.
        write_bytes(DEMO_MOBIUS_TRACK_FILE, with32(8, 9));
        demo_mobius_init(&a.arena, &m, &tmp.arena);
        g_demo_nk2 = &now;
        at(1000);
        printf("pos %u\n", m.track2.pos);
    });
    ASSERT_TRUE(r.exited);
    size_t from = 0;
    for (const auto& c : cases) {
        const size_t end = r.out.find("--\n", from);
        ASSERT_NE(end, std::string::npos) << r.out;
        const std::string out = r.out.substr(from, end - from);
        from = end + 3;
        const std::string message = std::string(DEMO_MOBIUS_TRACK_FILE) + " refused: " + c.why +
                                    "; the file is left as it is and the track is not stored\n";
        const size_t at_message = out.find(message);
        EXPECT_NE(at_message, std::string::npos) << out;
        EXPECT_EQ(out.find(message, at_message + 1), std::string::npos) << "named more than once\n" << out;
        EXPECT_NE(out.find("file kept\n"), std::string::npos) << c.why;
    }
    EXPECT_NE(r.out.find("pos 9\n"), std::string::npos) << r.out;
    demo_track2 back;
    demo_track2_init(&back, &a.arena);
    ASSERT_EQ(demo_track2_load_file(&back, DEMO_MOBIUS_TRACK_FILE, IO_ENDIAN_NATIVE, nullptr, &tmp.arena), 0);
    EXPECT_EQ(back.pos, 9u);
    EXPECT_EQ(back.keys[9 * 8], 0.5f);
    EXPECT_EQ(back.keys[5], 0.75f);
}

TEST_F(mobius_update, RecordingKeepsThePictureAndPrintsTheRow)
{
    at(500000);
    float before[10];
    memcpy(before, m.ps, sizeof before);
    const int u = m.u_tick_8fp;
    now.record = 1;
    now.ch_knob[0] = 1;
    now.ch_slider[0] = 0.5f;
    g_demo_nk2 = &now;
    captured_run r = capture_run([&] {
        at(900000);
        printf("u %d ps2 %g\n", m.u_tick_8fp, (double)m.ps[2]);
    });
    EXPECT_NE(r.out.find("track2 pos: 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("u " + std::to_string(u) + " ps2 " + std::to_string(before[2]).substr(0, 1)),
              std::string::npos)
        << r.out;
    // The recorded row reached the file.
    at(900000);
    demo_track2 back;
    demo_track2_init(&back, &a.arena);
    ASSERT_EQ(demo_track2_load_file(&back, DEMO_MOBIUS_TRACK_FILE, IO_ENDIAN_NATIVE, nullptr, &tmp.arena), 0);
    EXPECT_EQ(back.keys[0], 0.5f);
    EXPECT_EQ(memcmp(before, m.ps, sizeof before), 0);
}

TEST_F(mobius_update, NeedsAnArgb1555Frame)
{
    captured_run r = capture_run([&] {
        demo_fixture_frame f(320, 200, 640);
        f.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        demo_mobius_update(&m, &f.fc, &tmp.arena);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(crash_site(r.err).find(crash_site("crash in  at src/demo_mobius:")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not implemented\n"), std::string::npos) << r.err;
}

// ---- brute-force tunnel ---------------------------------------------------------

// The tunnel's texel of frame pixel (px, py), by the same formula in double
// precision: texels follow frame coordinates, not the rectangle's.
void tunnel_reference(int px, int py, int fbw, float cx, float cy, int u_offset, int v_offset, double* tu, double* tv)
{
    const double fx = 2.0 * (px - cx) / fbw, fy = 2.0 * (py - cy) / fbw;
    const double r = std::sqrt(fx * fx + fy * fy), angle = std::atan2(fy, fx);
    const double u = r / 1.4142135, v = 0.5 + 0.5 * (angle + std::sin(u_offset / 1024.0) * r) / M_PI;
    *tu = std::fmod(u_offset + std::trunc(256 * u) + 4096.0 * 256, 256.0);
    *tv = std::fmod(v_offset + std::trunc(256 * v) + 4096.0 * 256, 256.0);
}

TEST(TunnelBrute, ClipsToTheFrameAndAddressesBothLayouts)
{
    for (int swizzled : {1, 0}) {
        uv_texture tex(swizzled);
        demo_fixture_frame f(320, 240, 640);
        n2d_rect rect;
        n2d_rect_set(&rect, -50, 200, 100, 300);  // partly off the left and bottom edges
        tunnel_brute(&f.fc, &tex.t, &rect, 160.0f, 120.0f, 2048, 300);
        for (int y = 0; y < 240; y++)
            for (int x = 0; x < 320; x++) {
                const uint16_t px = f.at(x, y);
                if (x >= 100 || y < 200) {
                    ASSERT_EQ(px, 0x1234) << x << " " << y;
                    continue;
                }
                double tu, tv;
                tunnel_reference(x, y, 320, 160.0f, 120.0f, 2048, 300, &tu, &tv);
                // Single-precision trigonometry may land a boundary one texel off.
                ASSERT_LE(wrap_distance(px & 255, tu), 1.0) << x << " " << y << " swizzled " << swizzled;
                ASSERT_LE(wrap_distance(px >> 8, tv), 1.0) << x << " " << y << " swizzled " << swizzled;
            }
        // Fully off-screen: nothing.
        n2d_rect_set(&rect, 400, 0, 500, 10);
        demo_fixture_frame g(320, 240, 640);
        tunnel_brute(&g.fc, &tex.t, &rect, 0, 0, 0, 0);
        EXPECT_EQ(g.plane, std::vector<uint16_t>(g.plane.size(), 0x1234));
    }
}

TEST(TunnelBrute, RefusesWhatItCannotRead)
{
    uv_texture tex(1);
    tex.t.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
    captured_run r = capture_run([&] {
        demo_fixture_frame f(32, 8, 64);
        n2d_rect rect;
        n2d_rect_set(&rect, 0, 0, 32, 8);
        tunnel_brute(&f.fc, &tex.t, &rect, 0, 0, 0, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tunnel texture must be ARGB1555, is format 1"), std::string::npos) << r.err;
    r = capture_run([&] {
        demo_fixture_frame f(32, 8, 64);
        f.fc.fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
        n2d_rect rect;
        n2d_rect_set(&rect, 0, 0, 32, 8);
        tunnel_brute(&f.fc, &tex.t, &rect, 0, 0, 0, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(crash_site(r.err).find(crash_site("crash in  at src/tunnel:")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not implemented/supported?\n"), std::string::npos) << r.err;
}

}  // namespace
