#include "vexil/vexil_starfield.h"

#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/texel.h"
#include "n3d/target/n3d_framebuffer.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_image.h"

// Stars per bucket node: a node owns this many consecutive draw-star slots.
#define STARFIELD_NODE_STARS 8
// Brightness levels are 15-bit.
#define STARFIELD_LEVEL_BITS 15

void vexil_starfield_init_ex(vexil_starfield* sf, int stars_count_log2, vexil_starfield_star* stars, int do_regenerate,
                             int screen_w, int screen_h, struct palette* pal, int palette_brightness_first,
                             int palette_brightness_last, int buckets_count_log2, memarena* arena)
{
    memset(sf, 0, sizeof *sf);
    // No seeding call: every starfield draws the same sequence.
    sf->rng.state = 0x853c49e6748fea9bULL;
    sf->rng.inc = 0xda3e39cb94b95bdbULL;
    sf->do_regenerate = do_regenerate;
    sf->stars_count_log2 = stars_count_log2;
    sf->stars = stars;
    sf->buckets_count_log2 = buckets_count_log2;
    sf->palette = pal;
    sf->palette_brightness_first = palette_brightness_first;
    sf->palette_brightness_last = palette_brightness_last;

    int n = 1 << stars_count_log2;
    int b = 1 << buckets_count_log2;
    // Every node but the first of a bucket is full, so N stars in B buckets
    // need at most B + (N - B) / 8 nodes.
    int nodes = b + (n > b ? (n - b) / STARFIELD_NODE_STARS : 0);
    sf->stars_pool = memarena_push_array_zeroed<vexil_starfield_draw_star>(arena, (uint64_t)STARFIELD_NODE_STARS * n);
    sf->buckets_pool = memarena_push_array_zeroed<vexil_starfield_bucket_node>(arena, (uint64_t)nodes);
    sf->buckets_head = memarena_push_array_zeroed<vexil_starfield_bucket_node*>(arena, (uint64_t)b);
    sf->buckets_tail = memarena_push_array_zeroed<vexil_starfield_bucket_node*>(arena, (uint64_t)b);

    sf->sphere_radius = 2.0f;
    vexil_starfield_camera* c = &sf->camera;
    c->near_clip = 0.1f;
    c->far_clip = 3.0f * sf->sphere_radius;
    c->aspect_dxdy = (float)screen_w / (float)screen_h;
    c->fov_y = 1.5707964f;
    c->fov_x = (float)(2.0 * atan(tan((double)c->fov_y / 2.0) * (double)c->aspect_dxdy));
    c->focal_length = (float)((double)screen_h / (2.0 * tan((double)c->fov_y / 2.0)));
    c->tan_half_fov_x = (float)tan((double)c->fov_x / 2.0);
    c->tan_half_fov_y = (float)tan((double)c->fov_y / 2.0);
}

void vexil_starfield_init_i8(vexil_starfield* sf, int stars_count_log2, vexil_starfield_star* stars, int do_regenerate,
                             int screen_w, int screen_h, struct palette* pal, int palette_brightness_first,
                             int palette_brightness_last, memarena* arena)
{
    // The levels are colour indices of an 8-bit table: outside 0..255 their
    // count and the indices drawn from them would leave the int range.
    if (palette_brightness_first < 0 || palette_brightness_first > 255 || palette_brightness_last < 0 ||
        palette_brightness_last > 255)
        VEXIL_STARFIELD_CRASH("stars brightness levels %d..%d lie outside the colour indices 0..255\n",
                              palette_brightness_first, palette_brightness_last);
    int levels = palette_brightness_last - palette_brightness_first + 1;
    if (levels <= 0 || !u32_is_pow2((uint32_t)levels))
        VEXIL_STARFIELD_CRASH("stars brightess levels must be a log2 number of entries but has %d levels\n", levels);
    vexil_starfield_init_ex(sf, stars_count_log2, stars, do_regenerate, screen_w, screen_h, pal,
                            palette_brightness_first, palette_brightness_last, ppc_ceil_ilog2((uint32_t)levels), arena);
}

void vexil_starfield_init_argb1555(vexil_starfield* sf, int stars_count_log2, vexil_starfield_star* stars,
                                   int do_regenerate, int screen_w, int screen_h, memarena* arena)
{
    vexil_starfield_init_ex(sf, stars_count_log2, stars, do_regenerate, screen_w, screen_h, nullptr, 0, 0, 5, arena);
}

// What placing a star needs from the camera of the moment, computed once for a
// whole update (the same operations as for a single star, so the same values).
struct starfield_view {
    float n3, f3;  // near and far clip cubed
    float cp, sp;  // pitch cosine and sine
    float cy, sy;  // yaw cosine and sine
};

static starfield_view starfield_view_of(const vexil_starfield_camera* c)
{
    starfield_view v;
    v.n3 = c->near_clip * c->near_clip * c->near_clip;
    v.f3 = c->far_clip * c->far_clip * c->far_clip;
    v.cp = cosf(c->pitch);
    v.sp = sinf(c->pitch);
    v.cy = cosf(c->yaw);
    v.sy = sinf(c->yaw);
    return v;
}

static void starfield_place(vexil_starfield* sf, int star_i, const starfield_view* v)
{
    const vexil_starfield_camera* c = &sf->camera;
    // The cube root makes the density uniform per volume rather than per depth.
    float u = n3d_randf(&sf->rng);
    float d = cbrtf((v->f3 - v->n3) * u + v->n3);
    float a = 2.0f * n3d_randf(&sf->rng) - 1.0f;
    float b = 2.0f * n3d_randf(&sf->rng) - 1.0f;
    float side = a * c->tan_half_fov_x * d;
    float up = b * c->tan_half_fov_y * d;
    float f = d * v->cp - up * v->sp;
    vexil_starfield_star* s = &sf->stars[star_i];
    s->x = c->x + (side * v->cy - f * v->sy);
    s->y = c->y + (d * v->sp + up * v->cp);
    s->z = c->z + (f * v->cy + side * v->sy);
}

void vexil_starfield_regenerate_star_in_frustum(vexil_starfield* sf, int star_i)
{
    const starfield_view v = starfield_view_of(&sf->camera);
    starfield_place(sf, star_i, &v);
}

// ppc_round_float_to_int (nearest, halves away from zero) without a branch on
// the fraction for the values a frame gives (|x| below 2^30); others, NaN
// included, go to it.
static inline int starfield_round(float x)
{
    if (!(x > -1073741824.0f && x < 1073741824.0f))
        return ppc_round_float_to_int(x);
    const int i = static_cast<int>(x);
    const float frac = x - static_cast<float>(i);  // exact
    return i + static_cast<int>(frac >= 0.5f) - static_cast<int>(frac <= -0.5f);
}

// The 15-bit brightness level of a star at relative depth t (1 at the near end
// of the range, 0.1 of the way in, falling to 0 at the far plane): v = t^5
// clamped to 0..1, rounded from v x 32767 halves away from zero. t^5 is
// multiplied out, which stays within a few units in the last place of powf;
// those can only round to another level when v x 32767 lies within 0.02 of a
// half, so there (and for a NaN) the level is taken from powf itself.
static inline int starfield_level(float t)
{
    const float t2 = t * t;
    float v = t2 * t2 * t;
    v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
    const float x = v * 32767.0f;  // 0 .. 32767, or NaN
    if (!(x == x) || fabsf(x - static_cast<float>(static_cast<int>(x)) - 0.5f) <= 0.02f) {
        v = powf(t, 5.0f);
        v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
        return ppc_round_float_to_int(v * 32767.0f);
    }
    return starfield_round(x);
}

void vexil_starfield_generate_positions(vexil_starfield* sf)
{
    int n = 1 << sf->stars_count_log2;
    const starfield_view v = starfield_view_of(&sf->camera);
    for (int i = 0; i < n; i++)
        starfield_place(sf, i, &v);
}

static inline int starfield_cb_bit(const n3d_coveragebuffer* cb, int x, int y)
{
    uint32_t bit = (uint32_t)x + (uint32_t)cb->w * (uint32_t)y;
    return (cb->u32[bit >> 5] & (0x80000000u >> (bit & 31u))) != 0;
}

static inline void starfield_cb_set(n3d_coveragebuffer* cb, int x, int y)
{
    if (!cb || x >= cb->w || y >= cb->h)
        return;
    uint32_t bit = (uint32_t)x + (uint32_t)cb->w * (uint32_t)y;
    cb->u32[bit >> 5] |= 0x80000000u >> (bit & 31u);
}

static void starfield_bucket_append(vexil_starfield* sf, int bucket, int px, int py)
{
    vexil_starfield_bucket_node* tail = sf->buckets_tail[bucket];
    if (!tail || tail->count > STARFIELD_NODE_STARS - 1) {
        vexil_starfield_bucket_node* node = &sf->buckets_pool[sf->buckets_pool_sp++];
        node->count = 0;
        node->stars = &sf->stars_pool[sf->stars_pool_sp];
        node->next = nullptr;
        sf->stars_pool_sp += STARFIELD_NODE_STARS;
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

void vexil_starfield_update(vexil_starfield* sf, n3d_frame_context* fc, vexil* d)
{
    (void)d;
    n3d_framebuffer* fb = fc->fb;
    const int w = fb->w, h = fb->h;
    const int n = 1 << sf->stars_count_log2;
    const int buckets = 1 << sf->buckets_count_log2;
    const int level_shift =
        STARFIELD_LEVEL_BITS - sf->buckets_count_log2 > 0 ? STARFIELD_LEVEL_BITS - sf->buckets_count_log2 : 0;
    const vexil_starfield_camera* c = &sf->camera;
    // Everything that depends only on the camera, once per update.
    const starfield_view view = starfield_view_of(c);
    const float cy = view.cy, sy = view.sy;
    const float cp = view.cp, sp = view.sp;
    const float near_clip = c->near_clip, far_clip = c->far_clip;
    const float depth_range = far_clip - near_clip;
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
                starfield_place(sf, i, &view);
            continue;
        }
        float r = ppc_fast_reciprocal_positive(depth);
        int px = starfield_round(centre_x + sx_scale * vx * r);
        int py = starfield_round(centre_y + c->focal_length * (dy * cp - vz * sp) * r);
        if (px < 0 || px >= w || py < 0 || py >= h) {
            if (sf->do_regenerate)
                starfield_place(sf, i, &view);
            continue;
        }
        // Masked stars keep their place and come back when the mask moves on.
        if (mask && px < mask->w && py < mask->h && starfield_cb_bit(mask, px, py))
            continue;
        // Full brightness up to 10 % of the depth range, falling steeply to the far plane.
        float t = 1.0f - (((depth - near_clip) / depth_range) - 0.1f) / (1.0f - 0.1f);
        int level = starfield_level(t);
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
        starfield_bucket_append(sf, bucket, px, py);
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
                    starfield_cb_set(cb, x, y);
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
                    starfield_cb_set(cb, x, y);
                }
        }
    }
}

void vexil_starfield_erase(vexil_starfield* sf, n3d_framebuffer* fb, n3d_coveragebuffer* cb, int r8, int g8, int b8)
{
    const int buckets = 1 << sf->buckets_count_log2;
    const int is_i8 =
        fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
    const int is_argb = fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
    if (!is_i8 && !is_argb)
        return;
    uint16_t colour = (uint16_t)(0x8000u | ((uint32_t)r8 >> 3 & 31u) << 10 | ((uint32_t)g8 >> 3 & 31u) << 5 |
                                 ((uint32_t)b8 >> 3 & 31u));
    uint8_t* pixels = (uint8_t*)fb->b;
    for (int b = 0; b < buckets; b++)
        for (vexil_starfield_bucket_node* node = sf->buckets_head[b]; node; node = node->next)
            for (int k = 0; k < node->count; k++) {
                int x = node->stars[k].sx, y = node->stars[k].sy;
                if (x >= fb->w || y >= fb->h)
                    continue;
                if (is_i8)
                    pixels[(size_t)y * (size_t)fb->row_bytes + (size_t)x] = (uint8_t)r8;
                else
                    memcpy(pixels + (size_t)y * (size_t)fb->row_bytes + 2 * (size_t)x, &colour, 2);
                starfield_cb_set(cb, x, y);
            }
}
