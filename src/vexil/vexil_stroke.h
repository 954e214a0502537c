// Stroke reveal: an index8 image whose texels give each pixel its place in the
// drawing order (0 never, 1..255 once the threshold reaches it), revealed in one
// colour by a rising threshold and taken away by restoring a back buffer. Called by
// the overlay_stroke scene, main thread only; coverage buffers come from the arena
// given to vexil_stroke_init. An image whose width is not a multiple of 32, or that
// is larger than its texture, is refused (message on standard output, exit 1).
#pragma once

#include "target/n3d_framebuffer.h"

struct memarena;
struct vexil_image;

struct vexil_stroke {
    int prev_frame;             // not used by the operations
    int current_frame;          // not used by the operations
    vexil_image* src;           // drawing order, index8 unswizzled texture
    n3d_coveragebuffer src_cb;  // set where the texel is 1..255
    n3d_coveragebuffer cb_prev;
    n3d_coveragebuffer cb;  // cb and cb_prev exchange storage on every call
};

// The reveal threshold of a frame 0..255: the frame read as a linear intensity,
// encoded as sRGB (fast at the start, slow at the end).
int vexil_stroke_threshold(int frame);

void vexil_stroke_init(vexil_stroke* stroke, vexil_image* src, memarena* arena);
// Fills color8 where the texel is in 1..threshold(frame) (image placed at
// dst_x0, dst_y0) and marks those pixels in dst_cb.
void vexil_stroke_draw(vexil_stroke* stroke, int frame, int color8, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb,
                       int dst_x0, int dst_y0, int work_start_y, int work_height);
// Restores from background_fb where the texel is in threshold(frame)..255 and
// marks those pixels in dst_cb; frame 0 restores the whole shape.
void vexil_stroke_erase(vexil_stroke* stroke, int frame, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb,
                        n3d_framebuffer* background_fb, int dst_x0, int dst_y0, int work_start_y, int work_height);
