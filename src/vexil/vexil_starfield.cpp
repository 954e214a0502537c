#include "vexil/vexil_starfield.h"

#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/cpu_features.h"
#include "core/crash.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
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
    c->fov_y = (float)(LINMATH_PI / 2);
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

// The tail node of the bucket the last star went to, held apart from the lists
// while stars keep going to that bucket (most stars are far and share the
// dimmest one); its count is written back when another bucket or the end of
// the update comes. The lists and the pool are built in the same order as by
// appending each star to its bucket's tail in memory.
struct starfield_appender {
    int bucket;  // -1 before the first star
    vexil_starfield_bucket_node* tail;
    int count;
};

static inline void starfield_appender_flush(starfield_appender* ap)
{
    if (ap->tail)
        ap->tail->count = ap->count;
}

__attribute__((always_inline)) static inline void starfield_bucket_append(vexil_starfield* sf, starfield_appender* ap,
                                                                          int bucket, int px, int py)
{
    if (bucket != ap->bucket) {
        starfield_appender_flush(ap);
        ap->bucket = bucket;
        ap->tail = sf->buckets_tail[bucket];
        ap->count = ap->tail ? ap->tail->count : 0;
    }
    if (!ap->tail || ap->count > STARFIELD_NODE_STARS - 1) {
        vexil_starfield_bucket_node* node = &sf->buckets_pool[sf->buckets_pool_sp++];
        node->count = 0;
        node->stars = &sf->stars_pool[sf->stars_pool_sp];
        node->next = nullptr;
        sf->stars_pool_sp += STARFIELD_NODE_STARS;
        if (ap->tail) {
            ap->tail->count = ap->count;
            ap->tail->next = node;
        } else {
            sf->buckets_head[bucket] = node;
        }
        sf->buckets_tail[bucket] = node;
        ap->tail = node;
        ap->count = 0;
    }
    vexil_starfield_draw_star* ds = &ap->tail->stars[ap->count++];
    ds->sx = (uint16_t)px;
    ds->sy = (uint16_t)py;
}

// Everything a star's projection and tests need, fixed for one update.
struct starfield_frame {
    starfield_view view;
    float cam_x, cam_y, cam_z;
    float near_clip, far_clip, depth_range;
    float sx_scale, focal_length;
    float centre_x, centre_y;  // projection centre in pixels (integer halves)
    int w, h;
    int buckets, level_shift;
    const n3d_coveragebuffer* mask;
    const uint8_t* light_texels;  // null: no light image, or one without texels
    int light_w, light_h, light_w_log2;
};

// A star on screen at (px, py) with its 15-bit level: the mask (unless the
// caller has tested it), the light image, then its bucket.
__attribute__((always_inline)) static inline void starfield_keep(vexil_starfield* sf, const starfield_frame* f,
                                                                 starfield_appender* ap, int px, int py, int level,
                                                                 bool test_mask)
{
    // Masked stars keep their place and come back when the mask moves on.
    const n3d_coveragebuffer* mask = f->mask;
    if (test_mask && mask && px < mask->w && py < mask->h && starfield_cb_bit(mask, px, py))
        return;
    if (sf->light) {
        int lit = 0;
        if (f->light_texels && px < f->light_w && py < f->light_h)
            lit = f->light_texels[((uint32_t)py << f->light_w_log2) + (uint32_t)px];
        if ((level >> 7) <= lit)
            return;
    }
    int bucket = level >> f->level_shift;
    if (bucket > f->buckets - 1)
        bucket = f->buckets - 1;
    if (bucket < 0)
        bucket = 0;
    starfield_bucket_append(sf, ap, bucket, px, py);
}

// One star projected on its own: the scalar path, the stars after the last
// whole batch, and the stars a batch hands back (screen positions it does not
// round the same way). 1 with its screen position and level when it is in the
// depth range and on screen; otherwise 0, and it is placed again when the
// field regenerates.
static int starfield_star(vexil_starfield* sf, const starfield_frame* f, int i, int* out_px, int* out_py,
                          int* out_level)
{
    const vexil_starfield_star* s = &sf->stars[i];
    const float cy = f->view.cy, sy = f->view.sy, cp = f->view.cp, sp = f->view.sp;
    float dx = s->x - f->cam_x, dy = s->y - f->cam_y, dz = s->z - f->cam_z;
    float vx = dz * sy + dx * cy;
    float vz = dz * cy - dx * sy;
    float depth = vz * cp + dy * sp;
    if (depth < f->near_clip || depth > f->far_clip) {
        if (sf->do_regenerate)
            starfield_place(sf, i, &f->view);
        return 0;
    }
    float r = ppc_fast_reciprocal_positive(depth);
    int px = starfield_round(f->centre_x + f->sx_scale * vx * r);
    int py = starfield_round(f->centre_y + f->focal_length * (dy * cp - vz * sp) * r);
    if (px < 0 || px >= f->w || py < 0 || py >= f->h) {
        if (sf->do_regenerate)
            starfield_place(sf, i, &f->view);
        return 0;
    }
    // Full brightness up to 10 % of the depth range, falling steeply to the far plane.
    float t = 1.0f - (((depth - f->near_clip) / f->depth_range) - 0.1f) / (1.0f - 0.1f);
    *out_px = px;
    *out_py = py;
    *out_level = starfield_level(t);
    return 1;
}

#if defined(__x86_64__) || defined(__i386__)
// The projection of up to 16 consecutive stars at once: each lane does the
// single star's operations in the single star's order (no fused or reordered
// arithmetic), so a lane's px, py and level equal starfield_star's. Lanes
// whose screen position the batch does not round the same way (beyond +-2^30,
// NaN) go through starfield_star; those whose level lies within 0.02 of a half
// take it from starfield_level.
struct starfield_batch {
    int32_t px[16], py[16], level[16];
    uint32_t out;      // star k leaves the depth range or the screen: placed again
    float t[16];       // relative depth, for the levels the batch does not round
    uint32_t special;  // star k goes through starfield_star
    uint32_t relevel;  // star k is kept at (px, py) with its level from starfield_level
    uint32_t masked;   // star k is on screen under a set mask bit: hidden, keeps its place
    int mask_tested;   // masked holds the mask's test for every star on screen
};

// Roundings and the level's test, shared by both batch widths in their own
// types: see starfield_round and starfield_level.
#define STARFIELD_ROUND_LIMIT 1073741824.0f
#define STARFIELD_LEVEL_NEAR_HALF 0.02f

static void starfield_project4_sse2(const starfield_frame* f, const vexil_starfield_star* s, starfield_batch* o)
{
    const __m128 x = _mm_setr_ps(s[0].x, s[1].x, s[2].x, s[3].x);
    const __m128 y = _mm_setr_ps(s[0].y, s[1].y, s[2].y, s[3].y);
    const __m128 z = _mm_setr_ps(s[0].z, s[1].z, s[2].z, s[3].z);
    const __m128 cy = _mm_set1_ps(f->view.cy), sy = _mm_set1_ps(f->view.sy);
    const __m128 cp = _mm_set1_ps(f->view.cp), sp = _mm_set1_ps(f->view.sp);
    const __m128 dx = _mm_sub_ps(x, _mm_set1_ps(f->cam_x));
    const __m128 dy = _mm_sub_ps(y, _mm_set1_ps(f->cam_y));
    const __m128 dz = _mm_sub_ps(z, _mm_set1_ps(f->cam_z));
    const __m128 vx = _mm_add_ps(_mm_mul_ps(dz, sy), _mm_mul_ps(dx, cy));
    const __m128 vz = _mm_sub_ps(_mm_mul_ps(dz, cy), _mm_mul_ps(dx, sy));
    const __m128 depth = _mm_add_ps(_mm_mul_ps(vz, cp), _mm_mul_ps(dy, sp));
    const __m128 near_clip = _mm_set1_ps(f->near_clip);
    // Ordered compares: a NaN depth stays in range, as in the single star's test.
    const __m128 out_depth = _mm_or_ps(_mm_cmplt_ps(depth, near_clip), _mm_cmpgt_ps(depth, _mm_set1_ps(f->far_clip)));
    const __m128 r = _mm_div_ps(_mm_set1_ps(1.0f), depth);
    const __m128 ax = _mm_add_ps(_mm_set1_ps(f->centre_x), _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(f->sx_scale), vx), r));
    const __m128 ay = _mm_add_ps(
        _mm_set1_ps(f->centre_y),
        _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(f->focal_length), _mm_sub_ps(_mm_mul_ps(dy, cp), _mm_mul_ps(vz, sp))), r));
    const __m128 lim = _mm_set1_ps(STARFIELD_ROUND_LIMIT), nlim = _mm_set1_ps(-STARFIELD_ROUND_LIMIT);
    const __m128 roundable = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(ax, nlim), _mm_cmplt_ps(ax, lim)),
                                        _mm_and_ps(_mm_cmpgt_ps(ay, nlim), _mm_cmplt_ps(ay, lim)));
    const __m128 half = _mm_set1_ps(0.5f), nhalf = _mm_set1_ps(-0.5f);
    // Nearest, halves away from zero: truncate, then step by the exact fraction.
    const __m128i ix = _mm_cvttps_epi32(ax), iy = _mm_cvttps_epi32(ay);
    const __m128 fx = _mm_sub_ps(ax, _mm_cvtepi32_ps(ix)), fy = _mm_sub_ps(ay, _mm_cvtepi32_ps(iy));
    const __m128i px = _mm_add_epi32(_mm_sub_epi32(ix, _mm_castps_si128(_mm_cmpge_ps(fx, half))),
                                     _mm_castps_si128(_mm_cmple_ps(fx, nhalf)));
    const __m128i py = _mm_add_epi32(_mm_sub_epi32(iy, _mm_castps_si128(_mm_cmpge_ps(fy, half))),
                                     _mm_castps_si128(_mm_cmple_ps(fy, nhalf)));
    const __m128i off = _mm_or_si128(
        _mm_or_si128(_mm_cmplt_epi32(px, _mm_setzero_si128()), _mm_cmpgt_epi32(px, _mm_set1_epi32(f->w - 1))),
        _mm_or_si128(_mm_cmplt_epi32(py, _mm_setzero_si128()), _mm_cmpgt_epi32(py, _mm_set1_epi32(f->h - 1))));
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 t = _mm_sub_ps(
        one,
        _mm_div_ps(_mm_sub_ps(_mm_div_ps(_mm_sub_ps(depth, near_clip), _mm_set1_ps(f->depth_range)), _mm_set1_ps(0.1f)),
                   _mm_set1_ps(1.0f - 0.1f)));
    const __m128 t2 = _mm_mul_ps(t, t);
    const __m128 v = _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_mul_ps(t2, t2), t), _mm_setzero_ps()), one);
    const __m128 lx = _mm_mul_ps(v, _mm_set1_ps(32767.0f));
    const __m128i il = _mm_cvttps_epi32(lx);
    const __m128 fl = _mm_sub_ps(lx, _mm_cvtepi32_ps(il));
    const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 near_half =
        _mm_cmple_ps(_mm_and_ps(_mm_sub_ps(fl, half), abs_mask), _mm_set1_ps(STARFIELD_LEVEL_NEAR_HALF));
    // The level lies in 0 .. 32767: truncation and the step up at a half.
    const __m128i level = _mm_sub_epi32(il, _mm_castps_si128(_mm_cmpge_ps(fl, half)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o->px), px);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o->py), py);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o->level), level);
    const uint32_t od = (uint32_t)_mm_movemask_ps(out_depth);
    const uint32_t rnd = (uint32_t)_mm_movemask_ps(roundable);
    const uint32_t offs = (uint32_t)_mm_movemask_ps(_mm_castsi128_ps(off));
    const uint32_t nh = (uint32_t)_mm_movemask_ps(near_half);
    o->out = od | (rnd & offs);
    _mm_storeu_ps(o->t, t);
    o->special = ~o->out & ~rnd & 15u;
    o->relevel = ~o->out & rnd & nh;
    o->masked = 0;
    o->mask_tested = 0;
}

#define STARFIELD_AVX512 CPU_TARGET_AVX512
// Every lane: the zero-masked forms of the conversions and of min and max, whose
// plain forms start from an undefined register that GCC 12 warns about.
#define STARFIELD_ALL16 ((__mmask16)0xffff)

// Lane j of component c (0 x, 1 y, 2 z) of 16 stars held in three registers of
// 16 floats: float 3j + c. The first permute takes lanes from the first two
// registers, the second keeps those and takes the rest from the third.
struct starfield_deinterleave {
    uint32_t first[3][16], second[3][16];
    constexpr starfield_deinterleave() : first(), second()
    {
        for (int c = 0; c < 3; c++)
            for (int j = 0; j < 16; j++) {
                const int g = 3 * j + c;
                first[c][j] = g < 32 ? (uint32_t)g : 0u;
                second[c][j] = g < 32 ? (uint32_t)j : (uint32_t)(16 + g - 32);
            }
    }
};
static constexpr starfield_deinterleave STARFIELD_DEINTERLEAVE;
static_assert(sizeof(vexil_starfield_star) == 12, "stars are three packed floats");

STARFIELD_AVX512 static inline __m512i starfield_round16(__m512 a)
{
    const __m512i i = _mm512_maskz_cvttps_epi32(STARFIELD_ALL16, a);
    const __m512 fr = _mm512_sub_ps(a, _mm512_maskz_cvtepi32_ps(STARFIELD_ALL16, i));
    const __m512i up =
        _mm512_mask_add_epi32(i, _mm512_cmp_ps_mask(fr, _mm512_set1_ps(0.5f), _CMP_GE_OQ), i, _mm512_set1_epi32(1));
    return _mm512_mask_sub_epi32(up, _mm512_cmp_ps_mask(fr, _mm512_set1_ps(-0.5f), _CMP_LE_OQ), up,
                                 _mm512_set1_epi32(1));
}

STARFIELD_AVX512 static void starfield_project16_avx512(const starfield_frame* f, const vexil_starfield_star* s,
                                                        starfield_batch* o)
{
    const float* p = &s[0].x;
    const __m512 a = _mm512_loadu_ps(p), b = _mm512_loadu_ps(p + 16), c = _mm512_loadu_ps(p + 32);
    const starfield_deinterleave& d = STARFIELD_DEINTERLEAVE;
    __m512 comp[3];
    for (int k = 0; k < 3; k++) {
        const __m512 ab = _mm512_permutex2var_ps(a, _mm512_loadu_si512(d.first[k]), b);
        comp[k] = _mm512_permutex2var_ps(ab, _mm512_loadu_si512(d.second[k]), c);
    }
    const __m512 cy = _mm512_set1_ps(f->view.cy), sy = _mm512_set1_ps(f->view.sy);
    const __m512 cp = _mm512_set1_ps(f->view.cp), sp = _mm512_set1_ps(f->view.sp);
    const __m512 dx = _mm512_sub_ps(comp[0], _mm512_set1_ps(f->cam_x));
    const __m512 dy = _mm512_sub_ps(comp[1], _mm512_set1_ps(f->cam_y));
    const __m512 dz = _mm512_sub_ps(comp[2], _mm512_set1_ps(f->cam_z));
    const __m512 vx = _mm512_add_ps(_mm512_mul_ps(dz, sy), _mm512_mul_ps(dx, cy));
    const __m512 vz = _mm512_sub_ps(_mm512_mul_ps(dz, cy), _mm512_mul_ps(dx, sy));
    const __m512 depth = _mm512_add_ps(_mm512_mul_ps(vz, cp), _mm512_mul_ps(dy, sp));
    const __m512 near_clip = _mm512_set1_ps(f->near_clip);
    const __mmask16 out_depth = _mm512_cmp_ps_mask(depth, near_clip, _CMP_LT_OQ) |
                                _mm512_cmp_ps_mask(depth, _mm512_set1_ps(f->far_clip), _CMP_GT_OQ);
    const __m512 r = _mm512_div_ps(_mm512_set1_ps(1.0f), depth);
    const __m512 ax =
        _mm512_add_ps(_mm512_set1_ps(f->centre_x), _mm512_mul_ps(_mm512_mul_ps(_mm512_set1_ps(f->sx_scale), vx), r));
    const __m512 ay = _mm512_add_ps(
        _mm512_set1_ps(f->centre_y),
        _mm512_mul_ps(
            _mm512_mul_ps(_mm512_set1_ps(f->focal_length), _mm512_sub_ps(_mm512_mul_ps(dy, cp), _mm512_mul_ps(vz, sp))),
            r));
    const __m512 lim = _mm512_set1_ps(STARFIELD_ROUND_LIMIT), nlim = _mm512_set1_ps(-STARFIELD_ROUND_LIMIT);
    const __mmask16 roundable = _mm512_cmp_ps_mask(ax, nlim, _CMP_GT_OQ) & _mm512_cmp_ps_mask(ax, lim, _CMP_LT_OQ) &
                                _mm512_cmp_ps_mask(ay, nlim, _CMP_GT_OQ) & _mm512_cmp_ps_mask(ay, lim, _CMP_LT_OQ);
    const __m512i px = starfield_round16(ax), py = starfield_round16(ay);
    const __mmask16 off =
        _mm512_cmplt_epi32_mask(px, _mm512_setzero_si512()) | _mm512_cmpgt_epi32_mask(px, _mm512_set1_epi32(f->w - 1)) |
        _mm512_cmplt_epi32_mask(py, _mm512_setzero_si512()) | _mm512_cmpgt_epi32_mask(py, _mm512_set1_epi32(f->h - 1));
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512 t = _mm512_sub_ps(
        one, _mm512_div_ps(_mm512_sub_ps(_mm512_div_ps(_mm512_sub_ps(depth, near_clip), _mm512_set1_ps(f->depth_range)),
                                         _mm512_set1_ps(0.1f)),
                           _mm512_set1_ps(1.0f - 0.1f)));
    const __m512 t2 = _mm512_mul_ps(t, t);
    const __m512 v = _mm512_maskz_min_ps(
        STARFIELD_ALL16,
        _mm512_maskz_max_ps(STARFIELD_ALL16, _mm512_mul_ps(_mm512_mul_ps(t2, t2), t), _mm512_setzero_ps()), one);
    const __m512 lx = _mm512_mul_ps(v, _mm512_set1_ps(32767.0f));
    const __m512i il = _mm512_maskz_cvttps_epi32(STARFIELD_ALL16, lx);
    const __m512 fl = _mm512_sub_ps(lx, _mm512_maskz_cvtepi32_ps(STARFIELD_ALL16, il));
    const __mmask16 near_half = _mm512_cmp_ps_mask(_mm512_abs_ps(_mm512_sub_ps(fl, _mm512_set1_ps(0.5f))),
                                                   _mm512_set1_ps(STARFIELD_LEVEL_NEAR_HALF), _CMP_LE_OQ);
    const __m512i level =
        _mm512_mask_add_epi32(il, _mm512_cmp_ps_mask(fl, _mm512_set1_ps(0.5f), _CMP_GE_OQ), il, _mm512_set1_epi32(1));
    _mm512_storeu_si512(o->px, px);
    _mm512_storeu_si512(o->py, py);
    _mm512_storeu_si512(o->level, level);
    o->out = (uint32_t)out_depth | ((uint32_t)roundable & (uint32_t)off);
    _mm512_storeu_ps(o->t, t);
    o->special = ~o->out & ~(uint32_t)roundable & 0xffffu;
    o->relevel = ~o->out & (uint32_t)roundable & (uint32_t)near_half;
    // The mask's bits of the stars on screen inside it, gathered: bit px + w py,
    // word (bit / 32), 0x80000000 >> (bit mod 32).
    o->masked = 0;
    o->mask_tested = 1;
    const n3d_coveragebuffer* mask = f->mask;
    if (mask) {
        const __mmask16 inside = (__mmask16)(~o->out & (uint32_t)roundable) &
                                 _mm512_cmplt_epi32_mask(px, _mm512_set1_epi32(mask->w)) &
                                 _mm512_cmplt_epi32_mask(py, _mm512_set1_epi32(mask->h));
        const __m512i bit = _mm512_add_epi32(px, _mm512_mullo_epi32(py, _mm512_set1_epi32(mask->w)));
        const __m512i words = _mm512_mask_i32gather_epi32(
            _mm512_setzero_si512(), inside, _mm512_maskz_srli_epi32(STARFIELD_ALL16, bit, 5), mask->u32, 4);
        const __m512i probe = _mm512_maskz_srlv_epi32(STARFIELD_ALL16, _mm512_set1_epi32((int)0x80000000u),
                                                      _mm512_and_si512(bit, _mm512_set1_epi32(31)));
        o->masked = (uint32_t)_mm512_mask_test_epi32_mask(inside, words, probe);
    }
}

// The stars of one batch in index order, as the single-star loop takes them.
__attribute__((always_inline)) static inline void starfield_batch_take(vexil_starfield* sf, const starfield_frame* f,
                                                                       starfield_appender* ap, const starfield_batch* b,
                                                                       int first, int count)
{
    const uint32_t aside = b->out | b->special | b->relevel | b->masked;
    for (int k = 0; k < count; k++) {
        const uint32_t bit = 1u << k;
        int px = b->px[k], py = b->py[k], level = b->level[k];
        if (aside & bit) {
            if (b->masked & bit)
                continue;
            if (b->relevel & bit) {
                level = starfield_level(b->t[k]);
            } else if (b->special & bit) {
                if (starfield_star(sf, f, first + k, &px, &py, &level))
                    starfield_keep(sf, f, ap, px, py, level, true);
                continue;
            } else {
                if (sf->do_regenerate)
                    starfield_place(sf, first + k, &f->view);
                continue;
            }
        }
        starfield_keep(sf, f, ap, px, py, level, !b->mask_tested);
    }
}

#endif

void vexil_starfield_update(vexil_starfield* sf, n3d_frame_context* fc, vexil* d)
{
    (void)d;
    n3d_framebuffer* fb = fc->fb;
    const int n = 1 << sf->stars_count_log2;
    const vexil_starfield_camera* c = &sf->camera;
    // Everything that depends only on the camera, once per update.
    starfield_frame f;
    f.view = starfield_view_of(c);
    f.cam_x = c->x, f.cam_y = c->y, f.cam_z = c->z;
    f.near_clip = c->near_clip, f.far_clip = c->far_clip;
    f.depth_range = c->far_clip - c->near_clip;
    f.sx_scale = c->aspect_dxdy * c->focal_length;
    f.focal_length = c->focal_length;
    f.w = fb->w, f.h = fb->h;
    // The projection centre in pixels (integer halves), summed without overflow.
    f.centre_x = (float)((int64_t)sf->offset_x + f.w / 2);
    f.centre_y = (float)((int64_t)sf->offset_y + f.h / 2);
    f.buckets = 1 << sf->buckets_count_log2;
    f.level_shift =
        STARFIELD_LEVEL_BITS - sf->buckets_count_log2 > 0 ? STARFIELD_LEVEL_BITS - sf->buckets_count_log2 : 0;
    f.mask = sf->cb_mask;

    // The light image is read only inside both the picture and its first level.
    f.light_texels = nullptr;
    f.light_w = f.light_h = f.light_w_log2 = 0;
    if (sf->light) {
        const n3d_texture* t = &sf->light->texture;
        f.light_texels = t->mips ? t->mips[0] : nullptr;
        f.light_w_log2 = t->w_log2;
        f.light_w = sf->light->w < (1 << t->w_log2) ? sf->light->w : (1 << t->w_log2);
        f.light_h = sf->light->h < (1 << t->h_log2) ? sf->light->h : (1 << t->h_log2);
    }
    const int buckets = f.buckets;

    memset(sf->buckets_head, 0, sizeof(*sf->buckets_head) * (size_t)buckets);
    memset(sf->buckets_tail, 0, sizeof(*sf->buckets_tail) * (size_t)buckets);
    sf->stars_pool_sp = 0;
    sf->buckets_pool_sp = 0;

    int i = 0;
    starfield_appender ap = {-1, nullptr, 0};
#if defined(__x86_64__) || defined(__i386__)
    starfield_batch batch;
    const int simd = cpu_level();
    if (simd >= CPU_LEVEL_AVX512)
        for (; i + 16 <= n; i += 16) {
            starfield_project16_avx512(&f, &sf->stars[i], &batch);
            starfield_batch_take(sf, &f, &ap, &batch, i, 16);
        }
    if (simd >= CPU_LEVEL_SSE2)
        for (; i + 4 <= n; i += 4) {
            starfield_project4_sse2(&f, &sf->stars[i], &batch);
            starfield_batch_take(sf, &f, &ap, &batch, i, 4);
        }
#endif
    for (; i < n; i++) {
        int px, py, level;
        if (starfield_star(sf, &f, i, &px, &py, &level))
            starfield_keep(sf, &f, &ap, px, py, level, true);
    }
    starfield_appender_flush(&ap);

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
