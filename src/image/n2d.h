// The 2D operations on framebuffers and coverage buffers: clipping, clears,
// copies, filled rectangles, blits, mask builders, and the coverage-masked fills
// and copies that paint, erase and heal through one-bit masks (runs found by
// counting leading ones and zeros). Called by the production runtime and the
// scenes on the main thread; allocates nothing. Broken arguments print their
// message and exit 1, or stop through the crash path.
#pragma once

#include <cstdint>

#include "target/n3d_framebuffer.h"

struct n3d_texture;

// [x0, x1) x [y0, y1).
struct n2d_rect {
    int32_t x0;
    int32_t y0;
    int32_t x1;
    int32_t y1;
};

// Clips [x0, x1) x [y0, y1) to [min_x, max_x) x [min_y, max_y): (dx, dy) is the
// offset of the visible part inside the rectangle, (w, h) its size; w or h at or
// below 0 means nothing is visible.
void n2d_boxrect(int* dx, int* dy, int* w, int* h, int x0, int y0, int x1, int y1, int min_x, int min_y, int max_x,
                 int max_y);
void n2d_rect_set(n2d_rect* out_r, int x0, int y0, int x1, int y1);
void n2d_clip_rect(n2d_rect* out_r, const n2d_rect* r, const n2d_rect* container);

// The 64-bit pattern with b in the upper and a in the lower half. Every 8-byte
// store of the 2D operations writes such a pattern; it is kept as an integer and
// stored with memcpy (a double's register moves could change a NaN pattern).
inline uint64_t n2d_pack_u32_into_d64(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(b) << 32) | a; }

// ---- Coverage-masked operations -------------------------------------------

// Moving positions of the fill body; *_row is the current row at the first
// visible column, *_line the write or read position within it.
struct n2d_fb_i8_and_cb_mask_fill_if_cb0_arg {
    uint8_t* dst_row;
    int dst_rowbytes;
    uint8_t* dst_line;
    uint32_t* dst_cb0_row;    // row of the destination coverage buffer (word 0)
    int dst_cb0_row_delta;    // words per destination coverage row
    const uint32_t* cb0_row;  // mask row (word 0)
    int cb0_row_delta;
    const uint32_t* cb0_line;
    uint64_t color64;  // color8 in all 8 bytes
    uint32_t color32;
    uint16_t color16;
    uint8_t color8;
};

struct n2d_fb_i8_and_cb_mask_copy_if_cb0_arg {
    uint8_t* dst_row;
    int dst_rowbytes;
    uint8_t* dst_line;
    uint32_t* dst_cb0_row;
    int dst_cb0_row_delta;
    const uint32_t* cb0_row;
    int cb0_row_delta;
    const uint32_t* cb0_line;
    const uint8_t* src_row;  // source at the same (x, y) as dst_row
    int src_rowbytes;
    const uint8_t* src_line;
};

struct n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg {
    uint8_t* dst_row;
    int dst_rowbytes;
    uint8_t* dst_line;
    const uint8_t* src_row;
    int src_rowbytes;
    const uint8_t* src_line;
    const uint32_t* cb0_row;
    int cb0_row_delta;
    const uint32_t* cb0_line;
    const uint32_t* cb1_row;
    int cb1_row_delta;
    const uint32_t* cb1_line;
};

struct n2d_fb_argb1555_mask_copy_if_not_cb0_arg {
    uint8_t* dst_row;
    int dst_rowbytes;
    uint8_t* dst_line;
    const uint8_t* src_row;
    int src_rowbytes;
    const uint8_t* src_line;
    const uint32_t* cb0_row;
    int cb0_row_delta;
    const uint32_t* cb0_line;
};

// Where cb0, placed with its top-left at (dst_x0, dst_y0), has a bit set: the
// index8 pixel becomes color8 and its dst_cb bit is set. Clipped to the plane and
// to rows [work_start_y, work_start_y + work_height). Both buffers 8-bit, dst_cb
// at least the plane's size.
void n2d_fb_i8_and_cb_mask_fill_if_cb0(n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0,
                                       uint8_t color8, const n3d_coveragebuffer* cb0, int work_start_y,
                                       int work_height);
// The same copying the src_fb pixel at the same (x, y); src_fb at least dst_fb's size.
void n2d_fb_i8_and_cb_mask_copy_if_cb0(n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0,
                                       const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0, int work_start_y,
                                       int work_height);
// Copies index8 pixels where cb1 is set and cb0 clear; every buffer at (0, 0)
// (dst_x0 and dst_y0 must be 0), dst_fb at least cb0's size.
void n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(n3d_framebuffer* dst_fb, int dst_x0, int dst_y0,
                                            const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0,
                                            const n3d_coveragebuffer* cb1, int work_start_y, int work_height);
// Copies ARGB1555 pixels where cb0 is clear; as above.
void n2d_fb_argb1555_mask_copy_if_not_cb0(n3d_framebuffer* dst_fb, int dst_x0, int dst_y0,
                                          const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0,
                                          int work_start_y, int work_height);

// Bodies: walk rows dst_y0 .. dst_y1 - 1 from mask column mask_x0 and destination
// column dst_x0 up to destination column dst_x1 (exclusive), which the fronts set
// to the clipped right edge so no run or coverage bit passes it.
void n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1);
void n2d_fb_i8_and_cb_mask_copy_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_copy_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1);
void n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_wrapped(n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg* arg, int mask_x0,
                                                    int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1);
void n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(n2d_fb_argb1555_mask_copy_if_not_cb0_arg* arg, int mask_x0,
                                                  int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1);

// ---- Clears, copies, rectangles --------------------------------------------

// ARGB1555: every pixel 0x8000 | (r8 >> 3) << 10 | (g8 >> 3) << 5 | (b8 >> 3);
// format 3: every byte r8. Whole rows, padding included.
void n2d_fb_clear_rgb(n3d_framebuffer* dst_fb, uint8_t r8, uint8_t g8, uint8_t b8);
// Formats 1 and 3: every byte of every row, padding included, i8.
void n2d_fb_clear_i8(n3d_framebuffer* dst_fb, uint8_t i8);
// Same format, size and row bytes (a multiple of 8); whole rows.
void n2d_copy_fb(n3d_framebuffer* dst_fb, const n3d_framebuffer* src_fb);
// Fills [x0, x1) x [y0, y1) of an 8-bit plane with i8, clipped to the plane.
void n2d_fb_draw_rect_i8(n3d_framebuffer* dst_fb, uint8_t i8, int x0, int y0, int x1, int y1);

// ---- Blits -----------------------------------------------------------------

// Copies the 8-bit buffer (row stride rowbytes) into fc's format-3 plane: the
// destination rectangle clipped to the plane, work_amount_dst_y of its rows
// starting work_offset_dst_y rows in, never reading outside the source rectangle.
void n2d_blit_buffer_index8(n3d_frame_context* fc, const void* buffer, int rowbytes, int dst_x0, int dst_y0, int dst_x1,
                            int dst_y1, int src_x0, int src_y0, int src_x1, int src_y1, int work_offset_dst_y,
                            int work_amount_dst_y);
// Draws texture area [src_x0_f, src_x1_f) x [src_y0_f, src_y1_f) of a format-3
// texture scaled into [dst_x0_f, dst_x1_f) x [dst_y0_f, dst_y1_f) of fc's format-3
// plane, skipping texels equal to src_mask and setting fc's coverage bit of each
// drawn pixel. The mip level per axis follows the step.
void n2d_blit_texture_scaled_except_srcmask(n3d_frame_context* fc, const n3d_texture* texture, float dst_x0_f,
                                            float dst_y0_f, float dst_x1_f, float dst_y1_f, float src_x0_f,
                                            float src_y0_f, float src_x1_f, float src_y1_f, int src_mask);
// Debug view of two masks into an 8-bit plane.
void n2d_show_cb(n3d_framebuffer* fb, const n3d_coveragebuffer* cb0, uint8_t color0, const n3d_coveragebuffer* cb1,
                 uint8_t color1, uint8_t color_both, uint8_t color_neither);

// ---- Coverage-buffer operations -------------------------------------------

// Over the row window: cb0 = cb1 AND (threshold_a <= texel <= threshold_b), the
// texel from the first mip of an unswizzled format-3 texture at least the masks' size.
void n2d_cb_eq_cb1_and_texture_between(n3d_coveragebuffer* cb0, const n3d_coveragebuffer* cb1, const n3d_texture* t0,
                                       int threshold_a, int threshold_b, int work_start_y, int work_height);
// Sets the cb0 bits whose cb1 bit is clear, cb1 placed at (cb0_x0, cb0_y0); bits
// outside the placed cb1 stay unchanged.
void n2d_cb_or_not_cb1(n3d_coveragebuffer* cb0, int cb0_x0, int cb0_y0, const n3d_coveragebuffer* cb1, int work_start_y,
                       int work_height);
// Copies src_cb's bits (set and clear) into dst_cb at (dst_x0, dst_y0); bits
// outside the placed source stay unchanged.
void n2d_cb_copy(n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0, const n3d_coveragebuffer* src_cb, int work_start_y,
                 int work_height);
// Zeroes (w / 32) x h words.
void n2d_cb_clear(n3d_coveragebuffer* cb);
// Sets columns [s, e) of one coverage row (word 0 at row, s < e); inline
// because the masked fill calls it for every run it writes.
inline void n2d_cb_row_set_bits(uint32_t* row, int s, int e)
{
    int ws = s >> 5, we = (e - 1) >> 5;
    uint32_t first = 0xFFFFFFFFu >> (s & 31);
    uint32_t last = 0xFFFFFFFFu << ((32 - (e & 31)) & 31);  // e on a word boundary: the whole word
    if (ws == we) {
        row[ws] |= first & last;
        return;
    }
    row[ws] |= first;
    for (int k = ws + 1; k < we; k++)
        row[k] = 0xFFFFFFFFu;
    row[we] |= last;
}
