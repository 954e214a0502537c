// Texture building: turns a bitmap into an n3d_texture of one texel format,
// swizzled or row by row, with its two-dimensional mip chain and, for the indexed
// formats, a fitted palette, a 32-shade table and keyed texels; also a level back
// into a bitmap and the check of texture files. Offline work on the main thread
// (benchmark set-up, tools): levels from the caller's arena, scratch from a temporary
// arena rewound on return. Broken requirements end the program through n3d_crash.
#pragma once

#include <cstddef>
#include <cstdint>

struct memarena;
struct bitmap;
struct palette;
struct n3d_framebuffer;

// Fixed by the rasterizers, which read shade_table[(texel << 5) | shade].
#define N3D_TEXTURE_COLORS_COUNT 256
#define N3D_TEXTURE_SHADES_PER_COLOR 32
// One byte per 15-bit colour of ARGB1555.
#define N3D_REVERSE_PALETTE_SIZE 32768
#define N3D_HISTOGRAM_COLORS 65536
// Mip chain entry of level (u_down, v_down): (v_down << 7) | u_down.
#define N3D_MIP_INDEX(u_down, v_down) (((v_down) << 7) | (u_down))

// The record in memory that the renderer and the texture files use.
struct n3d_texture {
    int format;        // texel format 1 to 4
    int not_swizzled;  // 1: levels stored row by row; 0: swizzled
    int w_log2;
    int h_log2;
    int min_u_level;  // log2 of the smallest level width (2 with mips, w_log2 without)
    int min_v_level;
    uint8_t** mips;        // level (u_down, v_down) at N3D_MIP_INDEX; only the chain's entries are set
    int colors_count;      // 256 for formats 1 and 3, else 0
    int shades_per_color;  // 32 for formats 1 and 3, else 0
    void* palette;         // format 1: 256 ARGB1555 values; format 3: 256 bytes nothing fills
    void* shade_table;     // colour x shades_per_color + shade: format 1 uint16_t ARGB1555, format 3 uint8_t CLUT index
};
// Texture files and the rasterizers take the fields in this order.
static_assert(offsetof(n3d_texture, not_swizzled) > offsetof(n3d_texture, format) &&
                  offsetof(n3d_texture, w_log2) > offsetof(n3d_texture, not_swizzled) &&
                  offsetof(n3d_texture, h_log2) > offsetof(n3d_texture, w_log2) &&
                  offsetof(n3d_texture, min_u_level) > offsetof(n3d_texture, h_log2) &&
                  offsetof(n3d_texture, min_v_level) > offsetof(n3d_texture, min_u_level) &&
                  offsetof(n3d_texture, mips) > offsetof(n3d_texture, min_v_level) &&
                  offsetof(n3d_texture, colors_count) > offsetof(n3d_texture, mips) &&
                  offsetof(n3d_texture, shades_per_color) > offsetof(n3d_texture, colors_count) &&
                  offsetof(n3d_texture, palette) > offsetof(n3d_texture, shades_per_color) &&
                  offsetof(n3d_texture, shade_table) > offsetof(n3d_texture, palette),
              "n3d_texture fields in their fixed order");

struct histogram_color {
    int freq;        // number of pixels
    uint16_t color;  // ARGB1555 value
};
// 65536 of them are the palette builder's 524288 bytes of scratch.
static_assert(sizeof(histogram_color) == 8 && offsetof(histogram_color, color) == 4, "histogram_color is 8 bytes");

// Builds out from bitmap (Lanczos levels whatever filter says). display_clut is
// required for format 3; alpha_key_index -1 disables keying; texels whose alpha
// is below alpha_key_threshold are keyed. The bitmap is not modified.
void n3d_make_texture_from_bitmap(n3d_texture* out, memarena* arena, memarena* tmp_arena, int texture_format,
                                  int swizzle, int use_mips, int sample_from_base, int filter, const bitmap* bitmap,
                                  const palette* display_clut, int alpha_key_index, float alpha_key_threshold);

// Writes one level: dst_image is a framebuffer record over the level's memory
// (w, h the level size, b the level, row_bytes its row bytes when not a power of two).
void n3d_framebuffer_from_bitmap(n3d_framebuffer* dst_image, int texture_format, int swizzle,
                                 const uint8_t* reverse_palette, const palette* display_clut, const bitmap* src_bitmap,
                                 int alpha_key_index, float alpha_key_threshold);

// Histogram palette: the colors_count most frequent ARGB1555 values (ties keep
// the lower value); missing entries 0x0000.
void n3d_texture_build_palette_asrgb1555(uint16_t* palette, int colors_count, memarena* tmp_arena,
                                         const bitmap* bitmap);
// Shade s of colour c has brightness (s + 1) / shades_per_color.
void n3d_texture_build_shade_table_argb1555(uint16_t* shade_table, int shades_per_color, int colors_count,
                                            const uint16_t* palette, memarena* tmp_arena);
// reverse_palette[argb1555 & 0x7FFF] = nearest of palette entries 0 to 254.
void n3d_build_reverse_palette_argb1555(uint8_t* reverse_palette, memarena* tmp_arena, const uint16_t* palette,
                                        int colors_count);
// Each CLUT entry darkened per shade, matched back to the nearest CLUT index.
void n3d_texture_build_shade_table_index8(uint8_t* shade_table, int shades_per_color, int colors_count,
                                          memarena* tmp_arena, const palette* display_clut);

// Pixels whose alpha is below threshold (the bitmap is only read).
int n3d_convert_count_alpha_keys(const bitmap* bitmap, float threshold);
// Every pixel's alpha times c, premultiplied colour kept, re-encoded in place.
void n3d_convert_scale_alpha(bitmap* bitmap, float c);

// 0 when the format is 1 or 2 and both log2 sizes are at most 8, else 1.
int n3d_validate_texture(const n3d_texture* texture);
// Decodes level (u_mipdown, v_mipdown) into a new bitmap with bitmap_flags.
void n3d_texture_to_bitmap(bitmap* out_bitmap, const n3d_texture* texture, const palette* display_clut, memarena* arena,
                           int u_mipdown, int v_mipdown, int bitmap_flags);
// 1 when the two agree in header fields and shade-table bytes, else 0.
int n3d_textures_dbg_cmp(const n3d_texture* a, const n3d_texture* b);
