// Images: an 8-bit picture held as an unswizzled texture, blitted into an 8-bit
// target; its record (resource kind 5), loader and writer. Loaded by the resource
// cache and drawn by the overlay scenes, main thread only. Texels may point into the
// pack image; copies come from the caller's arena. The loader never reads past its
// bytes (bad data: null after a stdout line); a target or texture that is not 8-bit,
// or a swizzled texture, stops the drawing through the crash path.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "image/n3d_convert.h"

struct n3d_frame_context;

struct vexil_image {
    int w;  // picture size: the top-left w x h texels of the texture
    int h;
    n3d_texture texture;  // 8-bit, power-of-two size at least w x h, unswizzled
};

// w, h (u32 each), then a texture record. Returns what the texture reader
// returns (null on failure); also null when the texture is smaller than w x h.
const uint8_t* vexil_image_load(memarena* arena, vexil_image* out, const void* b, uint64_t size, int ok_reuse_buffer,
                                int endian);
uint8_t* vexil_image_store(void* b, const vexil_image* image, int endian);

// Blits the picture with its top-left corner at (dst_x0, dst_y0), all rows at once.
void vexil_image_draw(n3d_frame_context* fc, int dst_x0, int dst_y0, const vexil_image* image);
