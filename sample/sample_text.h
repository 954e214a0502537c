// Text rasterization for the sample production's generator: a TrueType font
// read whole from a file and strings drawn from it as 8-bit coverage into a
// caller's canvas. Offline tool code on one thread; font bytes and glyph
// scratch come from the caller's arena; an unreadable or invalid font file
// prints its message and exits 1.
#pragma once

#include <cstdint>

#include "core/memarena.h"

struct sample_font {
    void* info;  // the rasterizer's font record, in the arena
    uint8_t* data;
};

// Reads and opens the font file at path.
void sample_font_load(sample_font* font, memarena* arena, const char* path);
// Width in pixels of text set at pixel_height (advances and kerning).
float sample_text_width(const sample_font* font, const char* text, float pixel_height);
// Pixel height at which text fits max_width, but at most pixel_height.
float sample_text_fit(const sample_font* font, const char* text, float pixel_height, float max_width);
// Draws text with its baseline at y and its pen starting at x into a w x h
// canvas of coverage bytes (row bytes w); overlapping glyphs keep the larger
// coverage. Glyph pixels outside the canvas are dropped.
void sample_text_draw(const sample_font* font, memarena* scratch, uint8_t* canvas, int w, int h, float x, float y,
                      const char* text, float pixel_height);

// One character's coverage bitmap at pixel_height, pushed from the arena (null
// for a character without ink, such as the blank), with its size, the offset of
// its top-left corner from the pen on the baseline, and the pen's advance.
uint8_t* sample_glyph(const sample_font* font, memarena* arena, int codepoint, float pixel_height, int* w, int* h,
                      float* xoff, float* yoff, float* xadvance);
