// The bump map: an indexed colour texture lit by a point light moving over a
// per-texel normal map (format 4), each pixel's light level from a phong table and
// its colour from the colour texture's shade table. Called by the bump-map scene on
// the main thread; no memory of its own. Textures that do not fit each other stop
// with their message (standard output and exit 1, or the crash path).
#pragma once

#include "target/n3d_framebuffer.h"

struct n3d_texture;
struct n3d_phong_lut;

// Draws the source window [src_x0, src_x1) x [src_y0, src_y1) of the two textures
// (the same size, both unswizzled) lit for time t seconds at (dst_x0, dst_y0) of an
// ARGB1555 framebuffer, clipped to it on all sides. The window must lie inside the
// textures.
void vexil_bumpmap_argb1555(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0, int src_x1,
                            int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                            const n3d_phong_lut* phong);
// The window is drawn 16 pixels a step at the AVX-512 level of cpu_level()
// (core/cpu_features.h); below it one pixel at a time, with the light terms eight
// (AVX2 level), four (SSE2) or one at a time. Every path gives the same pixels.
// The earlier form of the same lighting: every row's x coordinate from -1 and one
// 16-bit store a pixel.
void vexil_bumpmap_argb1555_old(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                                int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                                const n3d_phong_lut* phong);
