// Starfield: point stars in a frustum-shaped volume in front of a moving camera,
// projected one pixel each into an index8 (or ARGB1555) framebuffer, sorted into
// brightness buckets by a counting sort over fixed 8-slot chunks and drawn dim to
// bright. Driven by the overlay_starfield scene. Pools come from the caller's
// arena at set-up; an update allocates nothing. Main thread only. A palette range
// whose level count is not a power of two stops the set-up through the crash path.
#pragma once

#include <cstdint>

#include "core/pcg_basic.h"

struct memarena;
struct palette;
struct n3d_coveragebuffer;
struct n3d_framebuffer;
struct n3d_frame_context;
struct vexil_image;
struct vexil;

// World position of one star; the array belongs to the production runtime.
struct vexil_starfield_star {
    float x, y, z;
};

// Screen position of a star that passed every test this frame.
struct vexil_starfield_draw_star {
    uint16_t sx, sy;
};

struct vexil_starfield_bucket_node {
    int count;                         // 1 to 8
    vexil_starfield_draw_star* stars;  // 8 consecutive slots of the pool
    vexil_starfield_bucket_node* next;
};

struct vexil_starfield_camera {
    float x, y, z;
    float pitch, yaw, roll;  // radians; roll is not read
    float near_clip, far_clip;
    float fov_y, fov_x;
    float focal_length;
    float aspect_dxdy;
    float tan_half_fov_x, tan_half_fov_y;
};

struct vexil_starfield {
    pcg32_random_t rng;
    int do_regenerate;
    int stars_count_log2;
    vexil_starfield_star* stars;  // the first 2^stars_count_log2 entries are ours
    int buckets_count_log2;
    int stars_pool_sp;
    vexil_starfield_draw_star* stars_pool;  // 8 x N slots
    int buckets_pool_sp;
    vexil_starfield_bucket_node* buckets_pool;   // B + max(N - B, 0) / 8 nodes
    vexil_starfield_bucket_node** buckets_head;  // B entries
    vexil_starfield_bucket_node** buckets_tail;  // B entries
    float sphere_radius;
    vexil_starfield_camera camera;
    int palette_brightness_first;
    int palette_brightness_last;
    struct palette* palette;
    n3d_coveragebuffer* cb_mask;  // stars under a set bit are hidden; null for none
    vexil_image* light;           // stars not brighter than its texel are hidden; null for none
    int offset_x, offset_y;       // screen offset of the projection centre
};

void vexil_starfield_init_ex(vexil_starfield* starfield, int stars_count_log2, vexil_starfield_star* stars,
                             int do_regenerate, int screen_w, int screen_h, struct palette* pal,
                             int palette_brightness_first, int palette_brightness_last, int buckets_count_log2,
                             memarena* arena);
// Index8 targets: the level count last - first + 1 must be a power of two; it is
// also the bucket count.
void vexil_starfield_init_i8(vexil_starfield* starfield, int stars_count_log2, vexil_starfield_star* stars,
                             int do_regenerate, int screen_w, int screen_h, struct palette* pal,
                             int palette_brightness_first, int palette_brightness_last, memarena* arena);
// ARGB1555 targets: no palette, 32 grey buckets.
void vexil_starfield_init_argb1555(vexil_starfield* starfield, int stars_count_log2, vexil_starfield_star* stars,
                                   int do_regenerate, int screen_w, int screen_h, memarena* arena);

// Places every star uniformly in the current view volume.
void vexil_starfield_generate_positions(vexil_starfield* starfield);
void vexil_starfield_regenerate_star_in_frustum(vexil_starfield* starfield, int star_i);

// How the update projects the stars follows cpu_level() (core/cpu_features.h):
// 16 at a time at the AVX-512 level, 4 at a time from the SSE2 level, else one at
// a time. Every path gives the same stars, pixels, coverage and buckets.

// Projects, culls, buckets and draws every star into fc's framebuffer and marks
// the drawn pixels in fc's coverage buffer. d is not used.
void vexil_starfield_update(vexil_starfield* starfield, n3d_frame_context* fc, vexil* d);

// Paints the stars bucketed by the last update with index r8 (index8) or the
// opaque colour (r8, g8, b8) (ARGB1555), marking them in cb when one is given.
void vexil_starfield_erase(vexil_starfield* starfield, n3d_framebuffer* fb, n3d_coveragebuffer* cb, int r8, int g8,
                           int b8);
