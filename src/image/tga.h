// 8-bit colour-mapped TGA images with an RGBA8888 palette: the writer behind the
// palette-animation export and a reader of such files (uncompressed, 24-bit
// colour map from entry 0, origin (0, 0), rows stored bottom-up). Development
// tooling on the main thread; memory comes from the caller's arena. The reader
// never stops the program: an unsupported or short file prints its message on
// standard error and gives 1.
#pragma once

#include <cstdint>

#include "core/memarena.h"

struct tga {
    uint8_t* buffer;  // width x height indices, top row first
    int width;
    int height;
    int palette_count;
    uint8_t* palette_rgba8888;  // palette_count x (R, G, B, A)
};

// The file header, 18 bytes, little-endian as TGA has it.
struct __attribute__((packed)) tga_header {
    uint8_t idlength;
    uint8_t colormaptype;
    uint8_t datatypecode;
    uint16_t colormaporigin;
    uint16_t colormaplength;
    uint8_t colormapdepth;
    uint16_t x_origin;
    uint16_t y_origin;
    uint16_t width;
    uint16_t height;
    uint8_t bitsperpixel;
    uint8_t imagedescriptor;
};
static_assert(sizeof(tga_header) == 18, "tga header is 18 bytes in the file");

#define TGA_HEADER_SIZE 18

// Header, colour map (B, G, R an entry, alpha dropped) and pixels (bottom row
// first) as one contiguous file image pushed from the arena; its size in out_size.
uint8_t* tga_save_as_8bpp_palette_rgba8888(const tga* tga, memarena* arena, uint64_t* out_size);

// Reads a file image of size bytes into tga (palette alpha 255, rows turned top
// row first; the orientation bit is not consulted). 0 on success; 1 for a
// compressed or unmapped file, a colour map origin other than 0, more than 256
// or other than 24-bit entries, an origin other than (0, 0), other than 8 bits
// a pixel, or fewer bytes than the header, id field, colour map and pixels need.
int tga_load_as_8bpp_palette_rgba8888(tga* tga, memarena* arena, const void* data, uint64_t size);
