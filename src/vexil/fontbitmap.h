// Bitmap fonts: per character an alpha map and its placement, drawn through a
// caller's table into an 8- or 16-bit framebuffer while coverage is recorded; the
// record (pack kind 7) the resource cache loads, its writer and the tools' file loader.
// Main thread; glyphs come from the caller's arena. The reader never reads past its
// bytes and checks every size (bad data: null and a stdout line); the file loader exits
// 1 on a bad file; an unsupported target format stops through the crash path.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "target/n3d_framebuffer.h"

struct fontbitmap_glyph {
    int w;  // bitmap size
    int h;
    float xoff;  // bitmap top-left corner from the pen position
    float yoff;
    float xadvance;         // pen advance
    uint8_t* alpha;         // w x h coverage values 0..255, rows top to bottom, 0 nothing
    n3d_coveragebuffer cb;  // one bit a glyph pixel, set where the glyph covers
};

struct fontbitmap {
    int codepoint_first;  // characters covered, as signed 8-bit values
    int codepoint_last;
    int codepoint_count;  // last - first + 1
    fontbitmap_glyph* glyphs;
};

// first, last (u32), then per glyph w, h (u16), xoff, yoff, xadvance (f32), the
// w x h alpha bytes and a coverage-buffer record at least w x h in size.
// Returns the position after the record or null. Offsets and advances must be
// finite and within +-65536.
const uint8_t* fontbitmap_io_load(fontbitmap* out, memarena* arena, const void* b, uint64_t size, int endian);
uint8_t* fontbitmap_io_store(void* b, const fontbitmap* font, int endian);
// An asset file holding one font record. An unreadable file prints "failed load
// file \"%s\"\n" and exits 1; so does a bad record.
fontbitmap* fontbitmap_load_file(memarena* arena, const char* path);

// Draws text with the pen at (*xpos, *ypos): both are floored first, each
// character inside [codepoint_first, codepoint_last] is drawn at the rounded pen
// plus its offsets and advances *xpos; others are skipped without moving the pen.
// Format 3 targets use alpha_to_clut, format 2 targets alpha_to_argb1555.
void fontbitmap_print(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                      float* ypos, const char* text, const uint8_t* alpha_to_clut, const uint16_t* alpha_to_argb1555);
void fontbitmap_print_argb1555(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                               float* ypos, const char* text, const uint16_t* alpha_to_argb1555);
void fontbitmap_print_index8(const fontbitmap* ctx, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, float* xpos,
                             float* ypos, const char* text, const uint8_t* alpha_to_clut);

// Draws one glyph with its top-left corner at (dst_x0, dst_y0), clipped to the
// framebuffer: every visible pixel with alpha a != 0 takes table[a] (no
// blending); with dst_cb, the glyph's covered pixels set their bits there (never
// cleared). A format other than 2 or 3, or a missing table for the target's
// format, stops with "not implemented for dst format %d\n".
void fontbitmap_glyph_blit(const fontbitmap_glyph* glyph, n3d_framebuffer* dst, n3d_coveragebuffer* dst_cb, int dst_x0,
                           int dst_y0, const uint8_t* alpha_to_clut, const uint16_t* alpha_to_argb1555);
