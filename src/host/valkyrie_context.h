// Emulation of the two-plane display: a 640x480 8-bit overlay with a colour
// key over two 320x240 ARGB1555 video pages, each plane shown through its own
// 256-entry colour table. The host builds it once from its platform arena,
// flips the pages and composes the shown frame at every vertical blank; the
// production reaches the colour tables and the key only through the five
// function slots. Main thread only. Nothing fails here but an arena push.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "image/palette.h"

#define VALKYRIE_OVERLAY_WIDTH 640
#define VALKYRIE_OVERLAY_HEIGHT 480
#define VALKYRIE_OVERLAY_ROWBYTES 640
#define VALKYRIE_VIDEO_WIDTH 320
#define VALKYRIE_VIDEO_HEIGHT 240
// A 512-pixel stride of which 320 pixels are used.
#define VALKYRIE_VIDEO_ROWBYTES 1024
#define VALKYRIE_CLUT_ENTRIES 256

struct valkyrie_buffer {
    uint8_t* b;
    int rowbytes;
    int w, h;
};

struct valkyrie_context;

// (context, first entry, count, count x 4 bytes R, G, B, A). Entries outside
// 0..255 are skipped: neither the table nor the caller's bytes for them are touched.
typedef void (*valkyrie_set_palette_func)(valkyrie_context* ctx, int offset, int count, const uint8_t* rgba8888);
typedef void (*valkyrie_get_palette_func)(valkyrie_context* ctx, int offset, int count, uint8_t* rgba8888);
typedef void (*valkyrie_set_overlay_key_func)(valkyrie_context* ctx, int key);

struct valkyrie_context {
    valkyrie_buffer overlay;           // index8, 640x480, rowbytes 640
    valkyrie_buffer videos[2];         // ARGB1555, 320x240, rowbytes 1024
    int video_backpage;                // page drawn into; the other one is shown
    palette original_overlay_palette;  // start-up tables, entries 0..255
    palette original_video_palette;
    // Slots in this order; the production calls the tables only through them.
    valkyrie_set_palette_func set_overlay_palette_func;
    valkyrie_set_palette_func set_video_palette_func;
    valkyrie_get_palette_func get_overlay_palette_func;
    valkyrie_get_palette_func get_video_palette_func;
    valkyrie_set_overlay_key_func set_overlay_key_func;
};

// One display for the whole program: every context reads and writes this
// state, the slot functions ignore their context argument.
extern uint8_t emulate_valkyrie_key_color;
extern palette emulate_valkyrie_overlay_clut;
extern palette emulate_valkyrie_video_clut;

// Zeroes the context, installs the slots, resets the key to 0, pushes the
// colour tables (grey ramps, opaque) and the planes from the arena: overlay
// filled with the key, both pages 0, page 0 the back page.
void emulate_valkyrie_init(valkyrie_context* ctx, memarena* arena);

void emulate_valkyrie_set_overlay_palette_rgba8888(valkyrie_context* ctx, int offset, int count,
                                                   const uint8_t* rgba8888);
void emulate_valkyrie_set_video_palette_rgba8888(valkyrie_context* ctx, int offset, int count, const uint8_t* rgba8888);
void emulate_valkyrie_get_overlay_palette_rgba8888(valkyrie_context* ctx, int offset, int count, uint8_t* rgba8888);
void emulate_valkyrie_get_video_palette_rgba8888(valkyrie_context* ctx, int offset, int count, uint8_t* rgba8888);
// Key index = key truncated to 8 bits.
void emulate_valkyrie_set_overlay_key(valkyrie_context* ctx, int key);

// The back page becomes the shown one.
void emulate_valkyrie_video_pageflip(valkyrie_context* ctx);

// Composes the shown frame into a 640x480 surface of native 32-bit words
// R << 24 | G << 16 | B << 8 | 255 (SDL_PIXELFORMAT_RGBA8888): overlay pixels
// other than the key through the overlay table, key pixels show the shown
// video page pixel-doubled, each 5-bit channel c through video table entry
// (c << 3) | (c & 7). dst_rowbytes is the surface's pitch (SDL_Surface pitch or a plain buffer's).
void emulate_valkyrie_blit_rgba8888(valkyrie_context* ctx, void* dst, int dst_rowbytes);
// The same walk into a 640x480 ARGB1555 surface: key pixels copy the video
// pixel unchanged, others are the overlay colour mapped through the video table.
void emulate_valkyrie_blit_argb1555(valkyrie_context* ctx, void* dst, int dst_rowbytes);
// Both compositions take their AVX-512 path at the AVX-512 level of cpu_level()
// (core/cpu_features.h), their SSE2 one below it; both give the same pixels.

// The renderer benchmark on this display (valkyrie_benchmark.cpp): a 4 MiB arena
// of its own, the cycle counter calibrated again, the renderer started, the key
// set to 0, the overlay and both video pages cleared, then n3d_benchmark into
// the top 320 x 200 of the back page. Nothing is flipped or shown. The host
// calls it when the program has an argument.
void valkyrie_context_n3d_benchmark(valkyrie_context* ctx);
