// Texel formats and colour encodings: the format numbers shared by textures and
// framebuffers, ARGB1555, RGBA8888, the display's own 15-bit RGB and YUV, the
// sRGB curves, the linear premultiplied float colours all colour arithmetic
// uses, and the swizzled texture layout the rasterizers read. Called from the
// renderer, texture building, bitmaps, palettes and effects on the main thread.
// Allocates nothing; an unknown texel format ends the program through the crash path.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "target/n3d_texel_format.h"

// ARGB1555: bit 15 alpha (1 opaque), 14-10 red, 9-5 green, 4-0 blue, sRGB-coded.
#define N3D_ARGB1555_ALPHA 0x8000u

// Entry i = sRGB-to-linear(i / 31), six decimals.
extern const float g_n3d_convert_table_5bit_srgb_to_linear[32];
// Thresholds of the table encoders: entry i is the linear value from which the
// code i begins (the sRGB code boundary (8i - 0.5) / 255, resp. (i - 0.5) / 255,
// taken back through the inverse of the encode curve), six decimals.
extern const float n3d_table_linear_to_srgb5bit[32];
extern const float n3d_table_linear_to_srgb8bit[256];

// ---- swizzled layout -------------------------------------------------------
// Texel (u, v) of a swizzled texture (u column, v row, both 0..255): 4
// vertically adjacent texels share one word (64-bit for 16-bit texels, 32-bit
// for 8-bit), 64 words side by side make a 64x4 band, 64 bands stack into a
// stripe 64 wide and 256 high, 4 stripes cover 256x256.
inline uint32_t n3d_swizzle_index_16bpp(uint32_t u, uint32_t v)
{
    return (v & 3u) | (u & 63u) << 2 | ((v >> 2) & 63u) << 8 | ((u >> 6) & 3u) << 14;
}
inline uint32_t n3d_swizzle_index_8bpp(uint32_t u, uint32_t v) { return n3d_swizzle_index_16bpp(u, v); }
inline uint32_t n3d_swizzle_offset_16bpp(uint32_t u, uint32_t v) { return 2u * n3d_swizzle_index_16bpp(u, v); }
inline uint32_t n3d_swizzle_offset_8bpp(uint32_t u, uint32_t v) { return n3d_swizzle_index_16bpp(u, v); }
// Bytes needed to hold every texel up to (u, v).
inline uint32_t n3d_swizzle_size_16bpp(uint32_t u, uint32_t v) { return n3d_swizzle_offset_16bpp(u, v) + 2u; }
inline uint32_t n3d_swizzle_size_8bpp(uint32_t u, uint32_t v) { return n3d_swizzle_offset_8bpp(u, v) + 1u; }
void n3d_unswizzle_offset_16bpp(uint32_t offset, uint32_t* out_u, uint32_t* out_v);
void n3d_unswizzle_offset_8bpp(uint32_t offset, uint32_t* out_u, uint32_t* out_v);

// Bytes of one mip level of 2^u_level x 2^v_level texels. Swizzled: formats
// 1..3 only ("not implemented texture format %d\n"); not swizzled: 1..4
// ("bad N3D_TEXEL_FORMAT %d?\n"). Both fatal.
uint32_t n3d_mipmap_size(int texture_format, int swizzle, int u_level, int v_level);
// Texel index of (u, v) for formats 1..4; other formats fatal.
uint32_t n3d_texel_index(int texture_format, int texture_width_log2, int swizzled, uint32_t u, uint32_t v);
// 1 when x is non-zero and a power of two.
inline int u32_is_pow2(uint32_t x) { return x != 0 && (x & (x - 1u)) == 0; }

// ---- float colour functions (single precision) ----------------------------
// b over a, premultiplied.
void vec4_rgba_blend(vec4 result_linear_pma, const vec4 a_linear_pma, const vec4 b_linear_pma);
void vec4_rgba_pma(vec4 r, const vec4 rgba);
// Each component x 255, limited to 0..255, truncated. NaN gives 0.
void vec4_scale1to255_rgba_to_rgba8(uint8_t out_rgba[4], const vec4 rgba);
// The curves on R, G, B; alpha copied.
void vec4_srgb_from_linear(vec4 srgb, const vec4 linear);
void vec4_srgb_to_linear(vec4 linear, const vec4 srgb);
// Bytes / 255 (double precision).
void vec4_rgba8_to_rgba(vec4 rgbaf, const uint8_t rgba8[4]);
// sRGB bytes to linear colour, straight alpha a / 255.
void vec4_linear_from_srgb_a_u8(vec4 x, uint8_t r, uint8_t g, uint8_t b, uint8_t a);
// The same from a 0xRRGGBBAA value.
void vec4_linear_from_srgba8888(vec4 x, uint32_t rgba8888);
// Linear (straight alpha) to sRGB bytes R, G, B, A: x 255 truncated, limited to 0..255.
void vec4_srgba8888_from_linear(uint8_t out_rgba[4], const vec4 linear);
// Bytes / 255 (single precision) and back (x 255 truncated, limited to 0..255).
void vec4_srgba_from_srgba8888(vec4 rgba, const uint8_t rgba8888[4]);
void vec4_srgba8888_from_srgba(uint8_t out_rgba[4], const vec4 rgba);

// ---- scalar curves (double precision inside) -------------------------------
// The encode exponent is 0.41666, not 1/2.4; NaN encodes to 0, decodes to NaN.
float n3d_srgb_to_linear(float srgb);
float n3d_linear_to_srgb(float linear);
// Table encoders: the largest code whose threshold is <= linear.
int n3d_linear_to_srgb_5bit(float linear);
int n3d_linear_to_srgb_8bit(float linear);

// ---- colour conversions ----------------------------------------------------
// Divides the colour by alpha (alpha 0 gives colour 0, alpha 1 leaves it).
void vec4_linear_from_linear_pma(vec4 linear, const vec4 linear_pma);
// Un-premultiply, encode, round each channel to 5 bits; alpha bit at alpha >= 0.5.
uint16_t n3d_argb1555_from_linear_pma(const vec4 linear_pma);
// Reference encoder: no un-premultiply, channels truncated, alpha bit only at alpha >= 1.
uint16_t n3d_argb1555_from_linear_pma_slow(const vec4 linear_pma);
// 0xRRGGBBAA, rounded.
uint32_t n3d_rgba8888_from_linear_pma(const vec4 linear_pma);
// Table decode: a transparent texel decodes to all zeros.
void n3d_argb1555_to_linear_pma(vec4 out_linear_pma, uint16_t argb1555);
// Curve decode, alpha always 1.
void n3d_argb1555_to_linear_pma_slow(vec4 out_linear_pma, uint16_t argb1555);

// YUV bytes (Y, U, V) and the display's 15-bit RGB (bit 15 ignored, 0 on output).
void n3d_yuv888_from_srgb(uint8_t out_yuv[3], const vec4 srgb_a);
void n3d_yuv888_from_applergb555(uint8_t out_yuv[3], uint16_t rgb);
uint16_t n3d_applergb555_from_yuv888(const uint8_t yuv[3]);

// Nearest entry by squared distance over R, G, B (alpha ignored); the first of
// equal entries wins; an empty array gives 0.
int n3d_find_best_match_linear_pma(const vec4* clut_entries_linear_pma, int clut_entries_count, const vec4 linear_pma);
