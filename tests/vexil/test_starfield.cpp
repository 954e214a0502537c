// Starfield: set-up, projection against a reference built from the camera's
// basis vectors in double precision, brightness buckets, draw order, masks,
// light image, regeneration and the bucket lists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cpu_features.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/texel.h"
#include "support/capture.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_starfield.h"

namespace {

constexpr int W = 64, H = 48;
constexpr uint8_t BG = 0;

struct rig {
    std::vector<uint8_t> block = std::vector<uint8_t>(1 << 20);
    memarena arena{};
    std::vector<vexil_starfield_star> stars = std::vector<vexil_starfield_star>(256);
    std::vector<uint8_t> pixels = std::vector<uint8_t>((size_t)W * H * 2, BG);
    std::vector<uint32_t> cover = std::vector<uint32_t>((size_t)W / 32 * H, 0);
    std::vector<uint8_t> colours = std::vector<uint8_t>(8 * 4, 0);
    palette pal{16, 8, nullptr};
    n3d_framebuffer fb{};
    n3d_coveragebuffer cb{};
    n3d_frame_context fc{};
    vexil_starfield sf{};
    rig(int stars_count_log2, int first = 0, int last = 7, int do_regenerate = 0, int format = 3)
    {
        memarena_init(&arena, "test", block.size(), block.data());
        pal.rgba8888 = colours.data();
        fb.format = format;
        fb.w = W;
        fb.h = H;
        fb.row_bytes = format == 2 ? 2 * W : W;
        fb.b = pixels.data();
        cb.u32 = cover.data();
        cb.w = W;
        cb.h = H;
        fc.fb = &fb;
        fc.cb = &cb;
        if (format == 2)
            vexil_starfield_init_argb1555(&sf, stars_count_log2, stars.data(), do_regenerate, W, H, &arena);
        else
            vexil_starfield_init_i8(&sf, stars_count_log2, stars.data(), do_regenerate, W, H, &pal, first, last,
                                    &arena);
    }
    uint8_t px(int x, int y) const { return pixels[(size_t)y * W + x]; }
    int covered(int x, int y) const { return (cover[(size_t)(y * W + x) / 32] >> (31 - (x & 31))) & 1; }
    int drawn_count() const
    {
        int n = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                n += px(x, y) != BG;
        return n;
    }
    void update() { vexil_starfield_update(&sf, &fc, nullptr); }
};

// The camera's basis in double precision: yaw turns about +y, pitch raises the
// view; at yaw = pitch = 0 the camera looks along +z with +y up and +x right.
struct basis {
    double right[3], up[3], forward[3];
    basis(double yaw, double pitch)
    {
        double cy = cos(yaw), sy = sin(yaw), cp = cos(pitch), sp = sin(pitch);
        right[0] = cy, right[1] = 0, right[2] = sy;
        forward[0] = -sy * cp, forward[1] = sp, forward[2] = cy * cp;
        up[0] = sy * sp, up[1] = cp, up[2] = -cy * sp;
    }
};

// A world position whose camera coordinates are (side, up, depth).
vexil_starfield_star place(const vexil_starfield_camera& c, double side, double up, double depth)
{
    basis b(c.yaw, c.pitch);
    double p[3];
    for (int i = 0; i < 3; i++)
        p[i] = side * b.right[i] + up * b.up[i] + depth * b.forward[i];
    return {(float)(c.x + p[0]), (float)(c.y + p[1]), (float)(c.z + p[2])};
}

// Camera coordinates (side, up, depth) of a world position.
void view_of(const vexil_starfield_camera& c, const vexil_starfield_star& s, double out[3])
{
    basis b(c.yaw, c.pitch);
    double d[3] = {s.x - (double)c.x, s.y - (double)c.y, s.z - (double)c.z};
    out[0] = d[0] * b.right[0] + d[1] * b.right[1] + d[2] * b.right[2];
    out[1] = d[0] * b.up[0] + d[1] * b.up[1] + d[2] * b.up[2];
    out[2] = d[0] * b.forward[0] + d[1] * b.forward[1] + d[2] * b.forward[2];
}

// 8 levels of 15-bit brightness: full up to 10 % of the depth range, then (1 - x)^5.
int reference_bucket(double depth)
{
    double s = 1.0 - ((depth - 0.1) / (6.0 - 0.1) - 0.1) / 0.9;
    double v = std::min(1.0, std::max(0.0, pow(s, 5.0)));
    return std::min((int)floor(v * 32767 + 0.5) >> 12, 7);
}

// The update as it was first written (powf per star, the camera's sines and
// cosines per placed star, branches in every rounding): the reference the
// update must match bit for bit in stars, pixels, coverage and bucket lists.
void former_regenerate(vexil_starfield* sf, int star_i)
{
    const vexil_starfield_camera* c = &sf->camera;
    float n3 = c->near_clip * c->near_clip * c->near_clip;
    float f3 = c->far_clip * c->far_clip * c->far_clip;
    // The cube root makes the density uniform per volume rather than per depth.
    float u = n3d_randf(&sf->rng);
    float d = cbrtf((f3 - n3) * u + n3);
    float a = 2.0f * n3d_randf(&sf->rng) - 1.0f;
    float b = 2.0f * n3d_randf(&sf->rng) - 1.0f;
    float side = a * c->tan_half_fov_x * d;
    float up = b * c->tan_half_fov_y * d;
    float cp = cosf(c->pitch), sp = sinf(c->pitch);
    float cy = cosf(c->yaw), sy = sinf(c->yaw);
    float f = d * cp - up * sp;
    vexil_starfield_star* s = &sf->stars[star_i];
    s->x = c->x + (side * cy - f * sy);
    s->y = c->y + (d * sp + up * cp);
    s->z = c->z + (f * cy + side * sy);
}

int former_cb_bit(const n3d_coveragebuffer* cb, int x, int y)
{
    uint32_t bit = (uint32_t)x + (uint32_t)cb->w * (uint32_t)y;
    return (cb->u32[bit >> 5] & (0x80000000u >> (bit & 31u))) != 0;
}

void former_cb_set(n3d_coveragebuffer* cb, int x, int y)
{
    if (!cb || x >= cb->w || y >= cb->h)
        return;
    uint32_t bit = (uint32_t)x + (uint32_t)cb->w * (uint32_t)y;
    cb->u32[bit >> 5] |= 0x80000000u >> (bit & 31u);
}

void former_bucket_append(vexil_starfield* sf, int bucket, int px, int py)
{
    vexil_starfield_bucket_node* tail = sf->buckets_tail[bucket];
    if (!tail || tail->count > 8 - 1) {
        vexil_starfield_bucket_node* node = &sf->buckets_pool[sf->buckets_pool_sp++];
        node->count = 0;
        node->stars = &sf->stars_pool[sf->stars_pool_sp];
        node->next = nullptr;
        sf->stars_pool_sp += 8;
        if (tail)
            tail->next = node;
        else
            sf->buckets_head[bucket] = node;
        sf->buckets_tail[bucket] = node;
        tail = node;
    }
    vexil_starfield_draw_star* ds = &tail->stars[tail->count++];
    ds->sx = (uint16_t)px;
    ds->sy = (uint16_t)py;
}

void former_update(vexil_starfield* sf, n3d_frame_context* fc)
{
    n3d_framebuffer* fb = fc->fb;
    const int w = fb->w, h = fb->h;
    const int n = 1 << sf->stars_count_log2;
    const int buckets = 1 << sf->buckets_count_log2;
    const int level_shift = 15 - sf->buckets_count_log2 > 0 ? 15 - sf->buckets_count_log2 : 0;
    const vexil_starfield_camera* c = &sf->camera;
    const float cy = cosf(c->yaw), sy = sinf(c->yaw);
    const float cp = cosf(c->pitch), sp = sinf(c->pitch);
    const float near_clip = c->near_clip, far_clip = c->far_clip;
    const float sx_scale = c->aspect_dxdy * c->focal_length;
    // The projection centre in pixels (integer halves), summed without overflow.
    const float centre_x = (float)((int64_t)sf->offset_x + w / 2);
    const float centre_y = (float)((int64_t)sf->offset_y + h / 2);

    // The light image is read only inside both the picture and its first level.
    const uint8_t* light_texels = nullptr;
    int light_w = 0, light_h = 0, light_w_log2 = 0;
    if (sf->light) {
        const n3d_texture* t = &sf->light->texture;
        light_texels = t->mips ? t->mips[0] : nullptr;
        light_w_log2 = t->w_log2;
        light_w = sf->light->w < (1 << t->w_log2) ? sf->light->w : (1 << t->w_log2);
        light_h = sf->light->h < (1 << t->h_log2) ? sf->light->h : (1 << t->h_log2);
    }
    const n3d_coveragebuffer* mask = sf->cb_mask;

    memset(sf->buckets_head, 0, sizeof(*sf->buckets_head) * (size_t)buckets);
    memset(sf->buckets_tail, 0, sizeof(*sf->buckets_tail) * (size_t)buckets);
    sf->stars_pool_sp = 0;
    sf->buckets_pool_sp = 0;

    for (int i = 0; i < n; i++) {
        const vexil_starfield_star* s = &sf->stars[i];
        float dx = s->x - c->x, dy = s->y - c->y, dz = s->z - c->z;
        float vx = dz * sy + dx * cy;
        float vz = dz * cy - dx * sy;
        float depth = vz * cp + dy * sp;
        if (depth < near_clip || depth > far_clip) {
            if (sf->do_regenerate)
                former_regenerate(sf, i);
            continue;
        }
        float r = ppc_fast_reciprocal_positive(depth);
        int px = ppc_round_float_to_int(centre_x + sx_scale * vx * r);
        int py = ppc_round_float_to_int(centre_y + c->focal_length * (dy * cp - vz * sp) * r);
        if (px < 0 || px >= w || py < 0 || py >= h) {
            if (sf->do_regenerate)
                former_regenerate(sf, i);
            continue;
        }
        // Masked stars keep their place and come back when the mask moves on.
        if (mask && px < mask->w && py < mask->h && former_cb_bit(mask, px, py))
            continue;
        // Full brightness up to 10 % of the depth range, falling steeply to the far plane.
        float t = 1.0f - (((depth - near_clip) / (far_clip - near_clip)) - 0.1f) / (1.0f - 0.1f);
        float v = powf(t, 5.0f);
        v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
        int level = ppc_round_float_to_int(v * 32767.0f);
        if (sf->light) {
            int lit = 0;
            if (light_texels && px < light_w && py < light_h)
                lit = light_texels[((uint32_t)py << light_w_log2) + (uint32_t)px];
            if ((level >> 7) <= lit)
                continue;
        }
        int bucket = level >> level_shift;
        if (bucket > buckets - 1)
            bucket = buckets - 1;
        if (bucket < 0)
            bucket = 0;
        former_bucket_append(sf, bucket, px, py);
    }

    // Dim buckets first, so the brighter star wins where two meet.
    n3d_coveragebuffer* cb = fc->cb;
    if (fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 ||
        fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8) {
        int base = sf->palette_brightness_first, last = 255;
        if (sf->palette) {
            base += sf->palette->offset;
            last = sf->palette->offset + sf->palette->count - 1;
        }
        uint8_t* pixels = (uint8_t*)fb->b;
        for (int b = 0; b < buckets; b++) {
            int index = b + base < last ? b + base : last;
            for (vexil_starfield_bucket_node* node = sf->buckets_head[b]; node; node = node->next)
                for (int k = 0; k < node->count; k++) {
                    int x = node->stars[k].sx, y = node->stars[k].sy;
                    pixels[(size_t)y * (size_t)fb->row_bytes + (size_t)x] = (uint8_t)index;
                    former_cb_set(cb, x, y);
                }
        }
    } else if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
        uint8_t* pixels = (uint8_t*)fb->b;
        for (int b = 0; b < buckets; b++) {
            uint16_t grey = (uint16_t)(0x8000u | (uint32_t)b | (uint32_t)b << 5 | (uint32_t)b << 10);
            for (vexil_starfield_bucket_node* node = sf->buckets_head[b]; node; node = node->next)
                for (int k = 0; k < node->count; k++) {
                    int x = node->stars[k].sx, y = node->stars[k].sy;
                    memcpy(pixels + (size_t)y * (size_t)fb->row_bytes + 2 * (size_t)x, &grey, 2);
                    former_cb_set(cb, x, y);
                }
        }
    }
}

// Runs the update on one path (the processor level that picks it) and restores
// the level before.
void update_on_path(int path, vexil_starfield* sf, n3d_frame_context* fc)
{
    const int saved = cpu_level();
    cpu_level_set(path);
    vexil_starfield_update(sf, fc, nullptr);
    cpu_level_set(saved);
}

// The paths this processor runs: one star at a time, 4 (SSE2), 16 (AVX-512).
std::vector<int> available_paths()
{
    std::vector<int> paths;
    for (int p : {CPU_LEVEL_SCALAR, CPU_LEVEL_SSE2, CPU_LEVEL_AVX512})
        if (cpu_level_supported() >= p)
            paths.push_back(p);
    return paths;
}

// Two updates of twin starfields left the same stars, generator, pixels,
// coverage, pools and bucket lists.
testing::AssertionResult same_update(const vexil_starfield& a, const n3d_frame_context& fa, const vexil_starfield& b,
                                     const n3d_frame_context& fb)
{
    const size_t n = (size_t)1 << a.stars_count_log2;
    if (memcmp(a.stars, b.stars, n * sizeof(vexil_starfield_star)) != 0)
        return testing::AssertionFailure() << "stars differ";
    if (a.rng.state != b.rng.state)
        return testing::AssertionFailure() << "generators differ";
    if (memcmp(fa.fb->b, fb.fb->b, (size_t)fa.fb->row_bytes * (size_t)fa.fb->h) != 0)
        return testing::AssertionFailure() << "pixels differ";
    if (memcmp(fa.cb->u32, fb.cb->u32, (size_t)fa.cb->w / 8 * (size_t)fa.cb->h) != 0)
        return testing::AssertionFailure() << "coverage differs";
    if (a.buckets_pool_sp != b.buckets_pool_sp || a.stars_pool_sp != b.stars_pool_sp)
        return testing::AssertionFailure() << "pool cursors differ";
    for (int k = 0; k < 1 << a.buckets_count_log2; k++) {
        const vexil_starfield_bucket_node* n0 = a.buckets_head[k];
        const vexil_starfield_bucket_node* n1 = b.buckets_head[k];
        for (; n0 && n1; n0 = n0->next, n1 = n1->next) {
            // The same node of the pool, holding the same stars.
            if (n0 - a.buckets_pool != n1 - b.buckets_pool || n0->count != n1->count ||
                memcmp(n0->stars, n1->stars, sizeof(n0->stars[0]) * (size_t)n0->count) != 0)
                return testing::AssertionFailure() << "bucket " << k << " differs";
        }
        if ((n0 == nullptr) != (n1 == nullptr))
            return testing::AssertionFailure() << "bucket " << k << " has another length";
        if ((a.buckets_tail[k] == nullptr) != (b.buckets_tail[k] == nullptr) ||
            (a.buckets_tail[k] && a.buckets_tail[k] - a.buckets_pool != b.buckets_tail[k] - b.buckets_pool))
            return testing::AssertionFailure() << "bucket " << k << " has another tail";
    }
    return testing::AssertionSuccess();
}

}  // namespace

TEST(Starfield, SetUp)
{
    rig r(4);
    const vexil_starfield_camera& c = r.sf.camera;
    EXPECT_EQ(r.sf.rng.state, 0x853c49e6748fea9bULL);
    EXPECT_EQ(r.sf.rng.inc, 0xda3e39cb94b95bdbULL);
    EXPECT_EQ(r.sf.buckets_count_log2, 3);  // levels 0..7
    EXPECT_FLOAT_EQ(r.sf.sphere_radius, 2.0f);
    EXPECT_FLOAT_EQ(c.near_clip, 0.1f);
    EXPECT_FLOAT_EQ(c.far_clip, 6.0f);
    EXPECT_FLOAT_EQ(c.aspect_dxdy, 4.0f / 3.0f);
    EXPECT_FLOAT_EQ(c.fov_y, 1.5707964f);
    EXPECT_NEAR(c.focal_length, H / 2.0, 1e-4);
    EXPECT_NEAR(c.tan_half_fov_y, 1.0, 1e-6);
    EXPECT_NEAR(c.tan_half_fov_x, 4.0 / 3.0, 1e-5);
    EXPECT_NEAR(c.fov_x, 2 * atan(4.0 / 3.0), 1e-6);
    EXPECT_EQ(c.x, 0.0f);
    EXPECT_EQ(c.yaw, 0.0f);

    rig argb(4, 0, 0, 0, 2);
    EXPECT_EQ(argb.sf.buckets_count_log2, 5);
    EXPECT_EQ(argb.sf.palette, nullptr);
}

TEST(Starfield, LevelCountMustBeAPowerOfTwo)
{
    const struct {
        int first, last;
        const char* message;
    } cases[] = {
        {0, 6, "stars brightess levels must be a log2 number of entries but has 7 levels\n"},
        {4, 3, "stars brightess levels must be a log2 number of entries but has 0 levels\n"},
        {0, 11, "stars brightess levels must be a log2 number of entries but has 12 levels\n"},
    };
    for (const auto& k : cases) {
        captured_run res = capture_run([&] { rig r(4, k.first, k.last); });
        EXPECT_EQ(res.status, 1);
        EXPECT_NE(res.err.find(k.message), std::string::npos) << res.err;
    }
    for (int last : {0, 1, 3, 15}) {
        rig r(4, 0, last);
        EXPECT_EQ(1 << r.sf.buckets_count_log2, last + 1);
    }
}

// Stars placed at chosen pixels and depths for a turned and raised camera must
// land where the basis-vector reference puts them, in the bucket's colour.
TEST(Starfield, ProjectionMatchesReference)
{
    const struct {
        float cx, cy, cz, yaw, pitch;
        int ox, oy;
    } cameras[] = {
        {0, 0, 0, 0, 0, 0, 0},
        {0.5f, -0.25f, 3.0f, 0.7f, 0.3f, 0, 0},
        {-1.0f, 2.0f, -0.5f, -2.1f, -0.45f, 5, -3},
    };
    const struct {
        int px, py;
        double depth;
    } targets[] = {{32, 24, 0.4}, {3, 40, 1.5}, {60, 2, 2.5}, {10, 10, 4.0}, {47, 33, 5.5}};
    for (const auto& cam : cameras) {
        rig r(3);
        vexil_starfield_camera& c = r.sf.camera;
        c.x = cam.cx, c.y = cam.cy, c.z = cam.cz, c.yaw = cam.yaw, c.pitch = cam.pitch;
        r.sf.offset_x = cam.ox, r.sf.offset_y = cam.oy;
        const double focal = H / 2.0, aspect = (double)W / H;
        int i = 0;
        for (const auto& t : targets) {
            // Screen y grows with world height, screen x with the camera's right.
            double side = (t.px - W / 2 - cam.ox) * t.depth / (aspect * focal);
            double up = (t.py - H / 2 - cam.oy) * t.depth / focal;
            r.stars[i++] = place(c, side, up, t.depth);
        }
        // Three stars that must not show: behind the camera, beyond the far
        // plane, and in front but off the screen.
        r.stars[i++] = place(c, 0, 0, -1.0);
        r.stars[i++] = place(c, 0, 0, 6.5);
        r.stars[i++] = place(c, 10.0, 0, 1.0);
        std::vector<vexil_starfield_star> before(r.stars.begin(), r.stars.begin() + 8);
        r.update();
        for (const auto& t : targets) {
            uint8_t want = (uint8_t)(16 + reference_bucket(t.depth));
            EXPECT_EQ(r.px(t.px, t.py), want) << "camera yaw " << cam.yaw << " star at " << t.px << "," << t.py;
            EXPECT_EQ(r.covered(t.px, t.py), 1);
        }
        EXPECT_EQ(r.drawn_count(), 5);
        // Without regeneration nothing moves.
        EXPECT_EQ(memcmp(before.data(), r.stars.data(), 8 * sizeof(vexil_starfield_star)), 0);
    }
}

// Depths exactly at the clip planes are accepted; the far plane is level 0 and
// the first tenth of the range full brightness.
TEST(Starfield, DepthRangeAndBrightness)
{
    const struct {
        float z;
        int drawn;
        int index;
    } cases[] = {
        {0.1f, 1, 23},    // near plane: full brightness, bucket 7
        {0.0999f, 0, 0},  // just in front of it
        {0.68f, 1, 23},   // 10 % of the range: still full
        {6.0f, 1, 16},    // far plane: bucket 0
        {6.0001f, 0, 0},  // beyond it
        {2.0f, 1, 16 + reference_bucket(2.0)},
    };
    for (const auto& k : cases) {
        rig r(0);
        r.stars[0] = {0, 0, k.z};
        r.update();
        EXPECT_EQ(r.px(W / 2, H / 2), k.drawn ? k.index : BG) << k.z;
        EXPECT_EQ(r.covered(W / 2, H / 2), k.drawn) << k.z;
    }
}

// Buckets are drawn dim first, nodes and stars in order: on a shared pixel the
// brighter star wins, within one bucket the later star.
TEST(Starfield, DrawOrderOnASharedPixel)
{
    rig r(2, 0, 7);
    // Stars 0 and 1 share the centre pixel, the dim one later; stars 2 and 3
    // share one bucket at two pixels.
    r.stars[0] = {0, 0, 0.2f};
    r.stars[1] = {0, 0, 4.0f};
    r.stars[2] = {0.25f, 0, 1.0f};
    r.stars[3] = {-0.25f, 0, 1.0f};
    r.update();
    EXPECT_EQ(r.px(W / 2, H / 2), 23);
    EXPECT_EQ(r.px(W / 2 + 8, H / 2), 16 + reference_bucket(1.0));
    EXPECT_EQ(r.px(W / 2 - 8, H / 2), 16 + reference_bucket(1.0));
    // Within a bucket the stars keep their index order, so the later one is drawn last.
    const vexil_starfield_bucket_node* node = r.sf.buckets_head[reference_bucket(1.0)];
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->count, 2);
    EXPECT_EQ(node->stars[0].sx, W / 2 + 8);
    EXPECT_EQ(node->stars[1].sx, W / 2 - 8);
    // The dim star sits in bucket 0, drawn before bucket 7.
    ASSERT_NE(r.sf.buckets_head[0], nullptr);
    EXPECT_EQ(r.sf.buckets_head[0]->stars[0].sx, W / 2);
}

// A palette shorter than the bucket count clamps to its last entry.
TEST(Starfield, BucketsClampToThePalette)
{
    rig r(0, 2, 9);  // 8 levels from palette entry 2 of a 4-entry palette at 16
    r.pal.count = 4;
    r.stars[0] = {0, 0, 0.2f};
    r.update();
    EXPECT_EQ(r.px(W / 2, H / 2), 19);
    r.stars[0] = {0, 0, 6.0f};  // bucket 0 gives entry 2
    r.update();
    EXPECT_EQ(r.px(W / 2, H / 2), 18);
}

// A masked star stays where it is and reappears when the mask clears; a light
// image hides stars that are not brighter than its texel.
TEST(Starfield, MaskAndLight)
{
    rig r(0, 0, 7, 1);
    std::vector<uint32_t> mask_words((size_t)W / 32 * H, 0);
    n3d_coveragebuffer mask{mask_words.data(), W, H};
    r.stars[0] = {0, 0, 3.0f};
    const int x = W / 2, y = H / 2;
    mask_words[(size_t)(y * W + x) / 32] |= 0x80000000u >> (x & 31);
    r.sf.cb_mask = &mask;
    vexil_starfield_star before = r.stars[0];
    r.update();
    EXPECT_EQ(r.px(x, y), BG);
    EXPECT_EQ(memcmp(&before, &r.stars[0], sizeof before), 0);
    mask_words.assign(mask_words.size(), 0);
    r.update();
    EXPECT_EQ(r.px(x, y), 16 + reference_bucket(3.0));

    // Light image: 64x64 texture, picture 64x48, texel (x, y) = the value under test.
    std::vector<uint8_t> texels(64 * 64, 0);
    uint8_t* mips[1] = {texels.data()};
    vexil_image light{};
    light.w = W;
    light.h = H;
    light.texture.format = 3;
    light.texture.not_swizzled = 1;
    light.texture.w_log2 = 6;
    light.texture.h_log2 = 6;
    light.texture.mips = mips;
    r.sf.cb_mask = nullptr;
    r.sf.light = &light;
    r.stars[0] = {0, 0, 0.2f};  // level 32767, level >> 7 = 255
    const struct {
        uint8_t texel;
        int shown;
    } cases[] = {{0, 1}, {254, 1}, {255, 0}};
    for (const auto& k : cases) {
        r.pixels.assign(r.pixels.size(), BG);
        texels[(size_t)y * 64 + x] = k.texel;
        r.update();
        EXPECT_EQ(r.px(x, y) != BG, k.shown) << (int)k.texel;
    }

    // A light image smaller than the target is read only inside itself: beyond
    // it there is no light, so the star shows.
    std::vector<uint8_t> small(16 * 16, 255);
    uint8_t* small_mips[1] = {small.data()};
    vexil_image small_light{};
    small_light.w = 16;
    small_light.h = 16;
    small_light.texture = light.texture;
    small_light.texture.w_log2 = 4;
    small_light.texture.h_log2 = 4;
    small_light.texture.mips = small_mips;
    r.sf.light = &small_light;
    r.pixels.assign(r.pixels.size(), BG);
    r.update();
    EXPECT_EQ(r.px(x, y), 23);
    r.stars[0] = {-0.18f, -0.18f, 0.2f};  // at (3, 2), under the small image's 255
    r.pixels.assign(r.pixels.size(), BG);
    r.update();
    EXPECT_EQ(r.drawn_count(), 0);
}

// Out of range with regeneration on: the star is placed again inside the view
// volume of the camera of the moment.
TEST(Starfield, RegenerationPlacesInsideTheFrustum)
{
    rig r(6, 0, 7, 1);
    vexil_starfield_camera& c = r.sf.camera;
    c.x = 1, c.y = 2, c.z = 3, c.yaw = 0.9f, c.pitch = -0.4f;
    vexil_starfield_generate_positions(&r.sf);
    // The same set-up draws the same sequence.
    rig again(6, 0, 7, 1);
    again.sf.camera = c;
    vexil_starfield_generate_positions(&again.sf);
    EXPECT_EQ(memcmp(again.stars.data(), r.stars.data(), 64 * sizeof(vexil_starfield_star)), 0);
    auto inside = [&](const vexil_starfield_star& s) {
        double v[3];
        view_of(c, s, v);
        return v[2] >= 0.1 - 1e-4 && v[2] <= 6.0 + 1e-4 && fabs(v[0]) <= 4.0 / 3.0 * v[2] + 1e-4 &&
               fabs(v[1]) <= v[2] + 1e-4;
    };
    for (int i = 0; i < 64; i++)
        EXPECT_TRUE(inside(r.stars[i])) << i;
    // Behind the camera, then updated: moved back in.
    r.stars[5] = place(c, 0, 0, -2.0);
    r.update();
    EXPECT_TRUE(inside(r.stars[5]));
}

// 64 stars in one bucket fill 8 chained nodes; spread over buckets they take
// one node per partly filled bucket. Every star in range is drawn once.
TEST(Starfield, BucketLists)
{
    rig r(6, 0, 7);
    for (int i = 0; i < 64; i++)
        r.stars[i] = {(float)(i % 8 - 4) * 0.5f, (float)(i / 8 - 4) * 0.5f, 4.5f};
    r.update();
    int b = reference_bucket(4.5);
    int nodes = 0, stars = 0;
    for (const vexil_starfield_bucket_node* n = r.sf.buckets_head[b]; n; n = n->next, nodes++)
        stars += n->count;
    EXPECT_EQ(nodes, 8);
    EXPECT_EQ(stars, 64);
    EXPECT_EQ(r.sf.buckets_tail[b]->next, nullptr);
    EXPECT_EQ(r.sf.buckets_pool_sp, 8);
    EXPECT_EQ(r.drawn_count(), 64);

    // 9 stars in one bucket and 1 in another: 3 nodes.
    const float depths[] = {4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 0.2f};
    rig s(6, 0, 7);
    for (int i = 0; i < 64; i++)
        s.stars[i] = {0, 0, -1.0f};  // behind the camera
    for (int i = 0; i < 10; i++)
        s.stars[i] = {(float)(i - 5) * 0.01f, 0, depths[i]};
    s.update();
    EXPECT_EQ(s.sf.buckets_pool_sp, 3);
    EXPECT_EQ(s.sf.buckets_head[b]->count, 8);
    EXPECT_EQ(s.sf.buckets_head[b]->next->count, 1);
    EXPECT_EQ(s.sf.buckets_head[7]->count, 1);
}

// ARGB1555 targets get a grey of the bucket's level, and erase paints the
// stars of the last update.
TEST(Starfield, Argb1555AndErase)
{
    rig r(0, 0, 0, 0, 2);
    r.stars[0] = {0, 0, 0.2f};
    r.update();
    uint16_t p;
    memcpy(&p, &r.pixels[((size_t)(H / 2) * W + W / 2) * 2], 2);
    EXPECT_EQ(p, 0x8000 | 31 | 31 << 5 | 31 << 10);
    r.cover.assign(r.cover.size(), 0);
    vexil_starfield_erase(&r.sf, &r.fb, &r.cb, 255, 0, 7);
    memcpy(&p, &r.pixels[((size_t)(H / 2) * W + W / 2) * 2], 2);
    EXPECT_EQ(p, 0xFC00);
    EXPECT_EQ(r.covered(W / 2, H / 2), 1);
}

// A flight of 90 frames with regeneration, a moving mask and a light image
// over a 640x480 target, on index8 and ARGB1555 planes, on every projection
// path: every star position, the generator, the pixels, the coverage and the
// bucket lists equal those of the former update run beside it.
TEST(Starfield, UpdateMatchesTheFormerUpdateBitForBit)
{
    const int FW = 640, FH = 480, N_LOG2 = 12;
    for (int path : available_paths())
        for (int format : {3, 2}) {
            std::vector<uint8_t> block(8 << 20);
            memarena arena;
            memarena_init(&arena, "test", block.size(), block.data());
            std::vector<uint8_t> colours(256 * 4, 0);
            palette pal{0, 256, colours.data()};
            std::vector<vexil_starfield_star> stars[2] = {std::vector<vexil_starfield_star>(1 << N_LOG2),
                                                          std::vector<vexil_starfield_star>(1 << N_LOG2)};
            vexil_starfield sf[2];
            n3d_frame_context fc[2];
            for (int k = 0; k < 2; k++) {
                if (format == 3)
                    vexil_starfield_init_i8(&sf[k], N_LOG2, stars[k].data(), 1, FW, FH, &pal, 16, 31, &arena);
                else
                    vexil_starfield_init_argb1555(&sf[k], N_LOG2, stars[k].data(), 1, FW, FH, &arena);
                vexil_starfield_generate_positions(&sf[k]);
                n3d_framecontext_init(&fc[k], &arena, FW, FH, format, N3D_FRAMECONTEXT_COVERAGEBUFFER);
            }
            std::vector<uint32_t> mask_words((size_t)FW / 32 * FH);
            n3d_coveragebuffer mask{mask_words.data(), FW, FH};
            std::vector<uint8_t> texels(1024 * 512);
            uint8_t* mips[1] = {texels.data()};
            vexil_image light{};
            light.w = FW;
            light.h = FH;
            light.texture.format = 3;
            light.texture.not_swizzled = 1;
            light.texture.w_log2 = 10;
            light.texture.h_log2 = 9;
            light.texture.mips = mips;
            uint32_t seed = 99;
            for (uint8_t& t : texels) {
                seed = seed * 1664525u + 1013904223u;
                t = static_cast<uint8_t>(seed >> 26);  // 0..63: most stars brighter
            }
            for (int frame = 0; frame < 90; frame++) {
                for (uint32_t& w : mask_words) {
                    seed = seed * 1664525u + 1013904223u;
                    w = seed & (seed >> 7) & (seed >> 13);  // about one bit in eight
                }
                for (int k = 0; k < 2; k++) {
                    vexil_starfield_camera& c = sf[k].camera;
                    c.z = 0.07f * static_cast<float>(frame);
                    c.x = 0.3f * sinf(0.05f * static_cast<float>(frame));
                    c.yaw = 0.011f * static_cast<float>(frame);
                    c.pitch = 0.25f * sinf(0.09f * static_cast<float>(frame));
                    sf[k].cb_mask = frame % 3 == 1 ? &mask : nullptr;
                    sf[k].light = frame % 4 == 2 ? &light : nullptr;
                    sf[k].offset_x = frame % 5 - 2;
                    n3d_framecontext_begin(&fc[k], 0);
                }
                update_on_path(path, &sf[0], &fc[0]);
                former_update(&sf[1], &fc[1]);
                ASSERT_TRUE(same_update(sf[0], fc[0], sf[1], fc[1]))
                    << "path " << path << " format " << format << " frame " << frame;
                // Erase with the frame's own coverage, as the next frame's clear does.
                for (int k = 0; k < 2; k++)
                    n3d_framecontext_end(&fc[k]);
            }
        }
}

// Stars the batches hand back to the one-star path: positions that are not
// numbers or project beyond the rounding's range, depths at and around the
// clip planes, stars at the screen's edges; mixed among ordinary stars in
// every lane position and star count (1, 8 and 64 stars: no batch, SSE2
// batches only, whole wide batches), with and without regeneration.
TEST(Starfield, HostileStarsMatchTheFormerUpdate)
{
    const float inf = INFINITY, nan = NAN;
    const vexil_starfield_star hostile[] = {
        {nan, 0, 1},     {0, nan, 1},         {0, 0, nan},           {inf, 0, 1},          {-inf, 0, 1},
        {0, 0, inf},     {0, 0, -inf},        {1e30f, 0, 1},         {0, -1e30f, 1},       {0, 0, 1e-30f},
        {0, 0, 0.1f},    {0, 0, 6.0f},        {0, 0, 0.09999f},      {0, 0, 6.0001f},      {4e9f, 0, 0.1f},
        {0, 3e9f, 0.2f}, {-1.3333f, 0, 1.0f}, {1.3333f, 1.0f, 1.0f}, {0.999f, -0.999f, 1}, {0, 0, 0},
    };
    const int count = (int)(sizeof hostile / sizeof hostile[0]);
    for (int path : available_paths())
        for (int n_log2 : {0, 3, 6})
            for (int regenerate : {0, 1})
                for (int shift = 0; shift < 16; shift += 5) {
                    rig a(n_log2, 0, 7, regenerate), b(n_log2, 0, 7, regenerate);
                    const int n = 1 << n_log2;
                    vexil_starfield_generate_positions(&a.sf);
                    for (int i = 0; i < n; i++)
                        if ((i + shift) % 3 == 0)
                            a.stars[i] = hostile[(i + shift) % count];
                    b.stars = a.stars;
                    b.sf.rng = a.sf.rng;
                    for (rig* r : {&a, &b}) {
                        r->sf.camera.yaw = 0.3f;
                        r->sf.camera.pitch = -0.2f;
                    }
                    update_on_path(path, &a.sf, &a.fc);
                    former_update(&b.sf, &b.fc);
                    ASSERT_TRUE(same_update(a.sf, a.fc, b.sf, b.fc))
                        << "path " << path << " stars " << n << " regenerate " << regenerate << " shift " << shift;
                }
}

// Depths where t^5 multiplied out and powf round to different levels: the
// batches must take these levels as the one-star path does, from powf. One
// bucket a level, so that a level one off lands in another bucket.
TEST(Starfield, LevelsNearAHalfMatchTheFormerUpdate)
{
    std::vector<float> depths;
    for (float z = 0.7f; z < 6.0f && depths.size() < 64; z = nextafterf(z, 7.0f)) {
        const float t = 1.0f - (((z - 0.1f) / (6.0f - 0.1f)) - 0.1f) / (1.0f - 0.1f);
        const float t2 = t * t;
        const float multiplied = std::min(1.0f, std::max(0.0f, t2 * t2 * t));
        const float exact = std::min(1.0f, std::max(0.0f, powf(t, 5.0f)));
        if (ppc_round_float_to_int(multiplied * 32767.0f) != ppc_round_float_to_int(exact * 32767.0f))
            depths.push_back(z);
        for (int k = 0; k < 97 && z < 6.0f; k++)  // a stride of floats
            z = nextafterf(z, 7.0f);
    }
    ASSERT_FALSE(depths.empty());
    std::vector<uint8_t> block(4 << 20);
    for (int path : available_paths()) {
        rig a(6), b(6);
        memarena arena;
        memarena_init(&arena, "levels", block.size(), block.data());
        for (rig* r : {&a, &b}) {
            vexil_starfield_init_ex(&r->sf, 6, r->stars.data(), 0, W, H, &r->pal, 0, 0, 15, &arena);
            for (size_t i = 0; i < 64; i++)
                r->stars[i] = {0, 0, depths[i % depths.size()]};
        }
        update_on_path(path, &a.sf, &a.fc);
        former_update(&b.sf, &b.fc);
        EXPECT_TRUE(same_update(a.sf, a.fc, b.sf, b.fc)) << "path " << path << ", " << depths.size() << " depths";
    }
}
