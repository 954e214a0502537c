// Palette animations: an indexed image with a series of palettes the overlay
// scene steps through; the record with reader, writer and file loader, the blit
// into an index8 frame context and a TGA export of the image and every frame.
// Main thread; memory from the caller's arena. The record reader never reads
// past its bytes (bad data: null and a stdout line); the file loader and the
// export print their message and exit with status 1.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "image/palette.h"

struct n3d_frame_context;

struct palette_animation {
    int w;
    int h;
    int frames_count;
    uint8_t* image;   // w x h CLUT indices, top row first
    palette* frames;  // frames_count palettes
};

// w, h, frames_count (u16 each, cut to 16 bits), the w x h index bytes, then
// each frame as a palette record.
uint8_t* palette_animation_io_store(void* b, const palette_animation* panim, int endian);
// Clears out and reads the record from the size bytes at b. Returns the
// position after it, or null when it does not fit or a frame reaches past the
// 256-entry colour table.
const uint8_t* palette_animation_io_load(memarena* arena, palette_animation* out, const void* b, uint64_t size,
                                         int endian);
// A palette animation file: the endian marker and one record. An unreadable
// file prints "failed load file" and a line naming the file, and exits 1; so
// does a bad record.
palette_animation* palette_animation_load_file(memarena* arena, const char* path);

// Draws the image with its top-left corner at (dst_x0, dst_y0) into fc's index8
// framebuffer, work_amount_dst_y rows starting work_offset_dst_y rows into the
// visible part (n2d_blit_buffer_index8 and its limits).
void palette_animation_blit(const palette_animation* panim, n3d_frame_context* fc, int dst_x0, int dst_y0,
                            int work_offset_dst_y, int work_amount_dst_y);

// Writes "%simage-result.tga" (a grey ramp, entry i = (i, i, i): the entries
// frames[0] reaches, or 256 without frames) and "%s%.4d-result.tga" for each
// frame (colour map from entry 0 to the frame's offset + count, the frame's
// colours at its offset, black below) after the prefix dirpath. Scratch comes
// from tmp_arena and is given back per file. A file that cannot be written
// prints "failed write file \"%s\"\n" on standard error and exits 1.
void palette_animation_store_as_tga_images(const palette_animation* panim, const char* dirpath, memarena* tmp_arena);
