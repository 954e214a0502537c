// Run-length images: overlay pictures as colour runs and transparent skips, drawn
// and erased on an index8 framebuffer by the overlay_rle_image scene; the record
// (pack kind 4) the resource cache loads, its writer and the tools' encoder. Main
// thread; runs may point into the pack image, copies come from the caller's arena.
// The loader never reads past its bytes and checks that every row covers exactly w
// pixels (bad data: null and a stdout line); drawing past an edge stops via the crash path.
#pragma once

#include <cstdint>

#include "core/memarena.h"

struct n3d_framebuffer;

// Rows top to bottom, each the single byte 0 (nothing to draw) or pairs that
// cover exactly w pixels: (n, c), n 1..127, n pixels of colour c; (128, k),
// k 1..127, k transparent pixels.
#define VEXIL_RLE_RUN_MAX 127
#define VEXIL_RLE_SKIP 128

struct vexil_rle_image {
    int w;
    int h;
    int rle_size;       // bytes of run data
    uint8_t* rle_data;  // the runs; may point into a pack image
};

// w, h, rle_size (u32 each), then the run data. With ok_reuse_b and
// IO_ENDIAN_NATIVE rle_data points into b, otherwise the runs are copied.
const uint8_t* vexil_rle_image_load(memarena* arena, vexil_rle_image* out, const void* b, uint64_t size, int ok_reuse_b,
                                    int endian);
uint8_t* vexil_rle_image_store(void* b, const vexil_rle_image* image, int endian);

// Encodes the w x h pixels of a format-3 framebuffer with alpha_key_index as the
// transparent colour. Another format prints "only
// N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 framebuffer supported for now!" and exits 1.
void vexil_rle_image_from_framebuffer(vexil_rle_image* out, memarena* arena, const n3d_framebuffer* fb,
                                      int alpha_key_index);

// Mode 0 draws the coloured runs, mode 1 writes key_color_index over them
// (erase). Nothing is drawn when the image lies wholly outside; reaching past
// the bottom or right edge, or starting left of or above it, stops with a crop
// message through the crash path.
void vexil_rle_image_draw_ex(n3d_framebuffer* fb, const vexil_rle_image* image, int dst_x0, int dst_y0, int mode,
                             int key_color_index);
void vexil_rle_image_draw(n3d_framebuffer* fb, const vexil_rle_image* image, int x, int y);
void vexil_rle_image_erase(n3d_framebuffer* fb, const vexil_rle_image* image, int x, int y, int key_color_index);
