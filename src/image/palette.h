// Palettes: slices of a 256-entry colour table (first index, count, RGBA8888
// bytes), their 16.16 fixed-point mix and fade, the nearest-colour search and the
// binary record. Used by the display emulation, textures, palette animations, the
// resource cache and the colour-table scenes on the main thread; colours live in
// the arena they were pushed from. Bad record data or an unreadable file prints
// "failed load file" and a line naming the file, and exits 1; a mix or fade from
// shorter inputs is fatal.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "image/texel.h"

// Entries a colour table holds; every record keeps offset + count within it.
#define PALETTE_CLUT_ENTRIES 256

struct palette {
    int32_t offset;     // CLUT index of entry 0
    int32_t count;      // number of entries
    uint8_t* rgba8888;  // count x 4 bytes R, G, B, A (sRGB, straight alpha)
};

// Sets offset and count and pushes count x 4 zeroed bytes (count 0: null colours).
void palette_init(palette* p, memarena* arena, int offset, int count);
// Copies entries offset .. offset + count - 1 of a full 256-entry table
// (rgba8888 indexed by CLUT index) into the slice, where they fall inside it.
void palette_set_from_rgba8888(palette* p, int offset, int count, const uint8_t* rgba8888);
// R, G, B of every result entry = mix x a + (1 - mix) x b in 16.16 fixed point
// (mix limited to 0..1); alpha bytes of the result kept. Entry k of each array
// stands for the same CLUT index; a and b need at least the result's count.
void palette_mix(palette* p, float mix, const palette* a, const palette* b);
// R, G, B = mix x (r, g, b) + (1 - mix) x a, as palette_mix.
void palette_fade_to_rgb(palette* p, float mix, const palette* a, int r, int g, int b);
// Entry number (0 .. count - 1) nearest to the query encoded to sRGB, squared
// distance over R, G, B and A; the lower entry wins a tie; empty gives 0.
int palette_find_best_match_linear_pma(const palette* p, const vec4 linear_pma);

// Record: offset u16, count u16, then count x (R, G, B, A). Both return the
// position just past the record. The loader reads only within the size bytes
// at b and needs offset + count <= 256; a record that does not fit gives null
// after the line "palette record refused: <why>" on standard output.
uint8_t* palette_io_store(uint8_t* b, const palette* p, int endian);
const uint8_t* palette_io_load(memarena* arena, palette* out, const uint8_t* b, uint64_t size, int endian);
inline uint8_t* palette_io_load(memarena* arena, palette* out, uint8_t* b, uint64_t size, int endian)
{
    return const_cast<uint8_t*>(palette_io_load(arena, out, static_cast<const uint8_t*>(b), size, endian));
}
// A palette file: the endian marker and one record. The record comes from the
// arena. A file that cannot be read or holds a bad record prints "failed load
// file", then "in file \"<path>\"" (with ": cannot be read" for the former), on
// standard output and exits 1.
palette* palette_load_file(memarena* arena, const char* path);
