// Render targets and their per-frame life: pixel planes over owned or foreign
// memory, one-bit coverage buffers, depth buffers with a lazily cleared validity
// record, and frame contexts that clear back only what the previous frame drew.
// Used by the renderer, rasterizers, 2D operations, demo system and scenes.
// Memory from the caller's arena, never freed; main thread only. Bad formats,
// widths and contexts without a coverage pair stop through the crash path.
#pragma once

#include <cstddef>
#include <cstdint>

struct memarena;

#define N3D_FRAMECONTEXT_DEPTHBUFFER 4      // n3d_framecontext_init: allocate and clear a depth buffer
#define N3D_FRAMECONTEXT_COVERAGEBUFFER 8   // n3d_framecontext_init: allocate and clear cb and cb_dirty
#define N3D_FRAMECONTEXT_BEGIN_NO_CLEAR 16  // n3d_framecontext_begin: keep cb, skip the clear at the end

#define N3D_MAX_FRAME_DIM 2048

// Background: 0x8000 (opaque black) for ARGB1555, index 0 for the 8-bit formats.
struct n3d_framebuffer {
    int flags;      // zero after the initialisers
    int format;     // texel format: 2 ARGB1555, 1 and 3 one byte per pixel
    int w;          // visible width in pixels
    int h;          // visible height in pixels
    int row_bytes;  // bytes between rows; larger than w x pixel size on foreign planes
    void* b;        // the pixels, row after row
};
static_assert(offsetof(n3d_framebuffer, format) > offsetof(n3d_framebuffer, flags) &&
                  offsetof(n3d_framebuffer, w) > offsetof(n3d_framebuffer, format) &&
                  offsetof(n3d_framebuffer, h) > offsetof(n3d_framebuffer, w) &&
                  offsetof(n3d_framebuffer, row_bytes) > offsetof(n3d_framebuffer, h) &&
                  offsetof(n3d_framebuffer, b) > offsetof(n3d_framebuffer, row_bytes),
              "n3d_framebuffer fields in their fixed order");

// Pixel (x, y) is the bit 0x80000000 >> (x & 31) of word (y * w + x) / 32. The
// width is a multiple of 32, so a row is w / 32 whole words. A set bit means the
// pixel was drawn in this frame.
struct n3d_coveragebuffer {
    uint32_t* u32;  // (w * h) / 32 words, 32-byte aligned
    int w;
    int h;
};
static_assert(offsetof(n3d_coveragebuffer, w) > offsetof(n3d_coveragebuffer, u32) &&
                  offsetof(n3d_coveragebuffer, h) > offsetof(n3d_coveragebuffer, w),
              "n3d_coveragebuffer fields in their fixed order");

// Depth is 1/w x 8192, larger is nearer. cb_cache_zeroed holds one bit per 16
// horizontally adjacent values (one 32-byte line): a clear bit means the line is
// stale and counts as cleared; the depth rasterizers zero a line on first touch.
// Up to 512 wide the record is one word per depth row, as the rasterizers address it;
// n3d_depthbuffer_init refuses wider buffers.
#define N3D_DEPTHBUFFER_MAX_WIDTH 512
struct n3d_depthbuffer {
    uint16_t* u16;  // w * h values, row stride w, 32-byte aligned
    int w;
    int h;
    n3d_coveragebuffer cb_cache_zeroed;  // width (w >> 4) rounded up to 32, height h
};
static_assert(offsetof(n3d_depthbuffer, w) > offsetof(n3d_depthbuffer, u16) &&
                  offsetof(n3d_depthbuffer, h) > offsetof(n3d_depthbuffer, w) &&
                  offsetof(n3d_depthbuffer, cb_cache_zeroed) > offsetof(n3d_depthbuffer, h),
              "n3d_depthbuffer fields in their fixed order");

struct n3d_frame_context {
    int begin_flag;                // the flag of the last n3d_framecontext_begin
    n3d_framebuffer* fb;           // always present
    n3d_depthbuffer* db;           // only with N3D_FRAMECONTEXT_DEPTHBUFFER; may be shared
    n3d_coveragebuffer* cb;        // this frame's coverage (only with N3D_FRAMECONTEXT_COVERAGEBUFFER)
    n3d_coveragebuffer* cb_dirty;  // the previous frame's coverage
};
static_assert(offsetof(n3d_frame_context, fb) > offsetof(n3d_frame_context, begin_flag) &&
                  offsetof(n3d_frame_context, db) > offsetof(n3d_frame_context, fb) &&
                  offsetof(n3d_frame_context, cb) > offsetof(n3d_frame_context, db) &&
                  offsetof(n3d_frame_context, cb_dirty) > offsetof(n3d_frame_context, cb),
              "n3d_frame_context fields in their fixed order");

// Owned planes: zero the record, push the pixels (unaligned, not cleared).
void n3d_framebuffer_init_argb1555(n3d_framebuffer* fb, int width, int height,
                                   memarena* arena);  // format 2, row_bytes 2w
void n3d_framebuffer_init_index8(n3d_framebuffer* fb, int width, int height, memarena* arena);  // format 3, row_bytes w

// width rounded up to a multiple of 32.
int n3d_coveragebuffer_width_at_least(int width);
// Zeroed words, 32-byte aligned; a width that is not a multiple of 32 is fatal.
void n3d_coveragebuffer_init(n3d_coveragebuffer* cb, int width, int height, memarena* arena);
// Values pushed 32-byte aligned and not filled; the validity record starts all clear.
void n3d_depthbuffer_init(n3d_depthbuffer* db, int width, int height, memarena* arena);

// 0 when the plane can be a 3D target (format 1 or 2, width at most
// N3D_MAX_FRAME_DIM), else 1; a too wide plane also prints a line to standard output.
int n3d_framebuffer_validate(const n3d_framebuffer* fb);

// Every visible pixel to background (row padding untouched). Block 6.
void n3d_framebuffer_clear(n3d_framebuffer* fb);
// Background where the cb bit is clear, within the part of the plane that cb
// covers (formats 1 and 2). Block 6.
void n3d_framebuffer_clear_noncoverage(n3d_framebuffer* fb, const n3d_coveragebuffer* cb);
// Background where cb_dirty is set and cb is clear (drawn last frame, not this
// one), within the part of the plane both buffers cover. Block 7.
void n3d_framebuffer_clear_dirty(n3d_framebuffer* fb, const n3d_coveragebuffer* cb, const n3d_coveragebuffer* cb_dirty);

// Zeroes all words. Block 10.
void n3d_coveragebuffer_clear(n3d_coveragebuffer* cb);
// Clears only the validity record, never the values.
void n3d_depthbuffer_clear(n3d_depthbuffer* db);
// The depth a test reads at (x, y): the stored value where the row's 32-byte
// line of values was zeroed since the last clear, else 0.
uint16_t n3d_depthbuffer_value(const n3d_depthbuffer* db, int x, int y);
// Copies into dst the pixels of src (ARGB1555 planes of one size) whose depth in
// db is above 0, within the part of the planes that db covers.
void n3d_framebuffer_argb1555_copy_where_depth(n3d_framebuffer* dst, const n3d_framebuffer* src,
                                               const n3d_depthbuffer* db);

// flags: N3D_FRAMECONTEXT_DEPTHBUFFER | N3D_FRAMECONTEXT_COVERAGEBUFFER.
// fb_format 0 leaves the framebuffer record for the caller to point at a
// display plane; 2 and 3 allocate and clear a plane; any other is fatal.
void n3d_framecontext_init(n3d_frame_context* fc, memarena* arena, int w, int h, int fb_format, int flags);
void n3d_framecontext_swap_cb(n3d_frame_context* fc);
// Swaps the pair, clears the new cb unless flag has N3D_FRAMECONTEXT_BEGIN_NO_CLEAR,
// stores flag. A context without a coverage pair is fatal.
void n3d_framecontext_begin(n3d_frame_context* fc, int flag);
// The dirty clear unless the frame began with N3D_FRAMECONTEXT_BEGIN_NO_CLEAR.
// A context without a coverage pair is fatal.
void n3d_framecontext_end(n3d_frame_context* fc);

// Debug views over the part of the coverage buffer inside the plane: covered
// pixels red (ARGB1555) or 255, uncovered pure blue or 0; the dirty view marks
// this frame red, the previous frame blue and leaves the rest.
void n3d_coveragebuffer_display(const n3d_coveragebuffer* cb, n3d_framebuffer* fb);
void n3d_framebuffer_dbg_show_dirty(n3d_framebuffer* fb, const n3d_coveragebuffer* cb,
                                    const n3d_coveragebuffer* cb_dirty);
