// Phong lookup tables and lit shade tables: the rasterizers turn a squared
// radius (0..255) into a shade level 0..31 through a phong table and then pick
// one of a texel's 32 pre-lit colours from its texture's shade table. Built at
// scene set-up (or per frame for an animated radius), never per pixel. Tables
// come from the caller's arena; main thread; a shade count the tables cannot
// serve ends the program through n3d_crash.
#pragma once

#include <cstddef>
#include <cstdint>

// The table encoders n3d_linear_to_srgb_5bit / _8bit and their tables live
// with the colour encodings.
#include "image/texel.h"

struct memarena;

// Entries a rasterizer may read past either end of a phong table.
#define N3D_PHONG_LUT_PAD 8
#define N3D_PHONG_LUT_ENTRIES 256
#define N3D_PHONG_LUT_BYTES (N3D_PHONG_LUT_PAD + N3D_PHONG_LUT_ENTRIES + N3D_PHONG_LUT_PAD)
// Shade buckets of the physically based tables.
#define N3D_PBR_BUCKETS 32

struct n3d_phong_lut {
    uint8_t* base;  // 272-byte block
    uint8_t* lut;   // base + 8: entry rsqr for 0..255; lut[-8..-1] = lut[0], lut[256..263] = lut[255]
    int pad;        // 8
    float r_max;    // radius where the falloff reaches 0 (0 for the bucket table)
    int c_min;      // floor of the shade level (1 for the bucket table)
};
static_assert(offsetof(n3d_phong_lut, lut) > offsetof(n3d_phong_lut, base) &&
                  offsetof(n3d_phong_lut, pad) > offsetof(n3d_phong_lut, lut) &&
                  offsetof(n3d_phong_lut, r_max) > offsetof(n3d_phong_lut, pad) &&
                  offsetof(n3d_phong_lut, c_min) > offsetof(n3d_phong_lut, r_max),
              "n3d_phong_lut fields in their fixed order");

// Entry i stands for r^2 = 2i / 255: the shade level of a falloff that reaches
// 0 at r_max, never below c_min. r_max <= 0 gives c_min everywhere.
void n3d_phong_lut_init(n3d_phong_lut* phong_lut, memarena* arena, float r_max, int c_min);
void n3d_phong_lut_update(n3d_phong_lut* phong_lut, float r_max, int c_min);
// The same table without a record: returns entry 0 of a new 272-byte block.
uint8_t* n3d_build_phong_lut(memarena* arena, float r_max, int c_min);
// Fills the record's table with rsqr_to_bucket (32 shades), r_max 0, c_min 1.
void n3d_build_phong_lut_for_pbr_shade_table(n3d_phong_lut* phong_lut, int shades_per_color);

// rsqr -> shade bucket, and each bucket's half-vector-to-normal cosine.
extern const uint8_t rsqr_to_bucket[256];
extern const float rsqr_bucket_to_hdotn[N3D_PBR_BUCKETS];

// GGX/Smith/Schlick shade table, one shade per bucket (shades_per_color at most
// 32). Float arrays are linear R, G, B (a vec4 may be passed). Entries opaque.
void n3d_texture_build_shade_table_argb1555_pbr(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                const float* ambient_linear, const float* ambient_factor_from_texture,
                                                const float* light_linear_min_specular,
                                                const float* light_linear_max_specular, float metallic_factor,
                                                float roughness_factor, const uint16_t* palette_argb1555);
// The same table with every entry evaluated on its own from its colour.
void n3d_texture_build_shade_table_argb1555_pbr_per_entry(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                          const float* ambient_linear,
                                                          const float* ambient_factor_from_texture,
                                                          const float* light_linear_min_specular,
                                                          const float* light_linear_max_specular, float metallic_factor,
                                                          float roughness_factor, const uint16_t* palette_argb1555);
// Reference version with the power curves and one light colour.
void n3d_texture_build_shade_table_argb1555_pbr_slow(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                     const float* ambient_linear, const float* light_linear,
                                                     float metallic_factor, float roughness_factor,
                                                     const uint16_t* palette_argb1555);
// Earlier ambient/diffuse/specular/bleed table.
void n3d_texture_build_shade_table_ex_argb1555(uint16_t* shade_table, int shades_per_color, int colors_count,
                                               const float* ambient_linear, const float* specular_linear,
                                               const float* rgba_bleed, float diffuse_gain,
                                               const uint16_t* palette_argb1555);

// 1 - (1 - h^2) / 2 limited to 0..1.
float n3d_ndotl_from_hdotn(float HdotN);
// a + (b - a) x t with t limited to 0..1.
float mix_remove(float a, float b, float t);
