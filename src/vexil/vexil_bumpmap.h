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
// True (the default): the window is drawn 16 pixels a step with AVX-512 where the
// processor has it; false keeps it on the path of one pixel at a time with its
// light terms eight or four at a time. Both give the same pixels.
extern bool vexil_bumpmap_wide;
// Whether this processor takes the 16-pixel path.
bool vexil_bumpmap_wide_supported();
// The earlier form of the same lighting: every row's x coordinate from -1 and one
// 16-bit store a pixel.
void vexil_bumpmap_argb1555_old(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                                int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                                const n3d_phong_lut* phong);
