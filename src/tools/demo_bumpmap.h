// Bump-mapping effect of the earlier production: a phong-lit view of a palettised 256 x 256 texture
// whose coordinates ripple radially, shaded from a bump map of slopes built once from a height
// texture; one renderer body in three variants (clean, two glitches) and a script keyed to the music.
// Called by the runtime's frame update. Bump maps and tables from the caller's arena; main thread.
// Unusable textures and frames stop through the crash path with a message.
#pragma once

#include <cstdint>

struct memarena;
struct n3d_frame_context;
struct n3d_framebuffer;
struct n3d_texture;

// Parameter order of ps.
enum {
    DEMO_BUMPMAP_U_OFFSET,
    DEMO_BUMPMAP_V_OFFSET,
    DEMO_BUMPMAP_C0,  // light scale
    DEMO_BUMPMAP_C1,  // light x
    DEMO_BUMPMAP_C2,  // light y
    DEMO_BUMPMAP_X0,  // screen x at the left edge
    DEMO_BUMPMAP_Y0,  // screen y at the top edge
    DEMO_BUMPMAP_Q,   // 0 rippled scrolling, 1 plain linear mapping
    DEMO_BUMPMAP_U_DX,
    DEMO_BUMPMAP_V_DY,
    DEMO_BUMPMAP_PS_COUNT
};

// One record per texel, at byte offset 4 x its swizzled index.
struct demo_bumpmap_texel {
    int8_t sx;      // trunc(128 x 2 x slope), at most 127
    uint8_t len;    // trunc(128 x squared slope length)
    uint8_t sy[2];  // int16 trunc(128 x 2 x slope) in the machine's order
};
static_assert(sizeof(demo_bumpmap_texel) == 4, "bump map records are 4 bytes");

struct demo_bumpmap {
    float ps[DEMO_BUMPMAP_PS_COUNT];
    void* bumpmaps[2];         // one per texture
    n3d_texture* textures[2];  // index8 shown as ARGB1555, 256 x 256, swizzled
    uint8_t* phong_lut;        // the effect's own: r_max 0.3, c_min 0
};

// Textures must be format 1, swizzled, 256 x 256; height textures format 1,
// swizzled, with level 0 the size of their colour texture.
void demo_bumpmap_init(memarena* arena, demo_bumpmap* p, n3d_texture* const* textures,
                       n3d_texture* const* height_textures, memarena* tmp_arena);
// The bump map of one level (format 1, swizzled, at least 2 rows), sized by the
// level's swizzled size.
void* demo_bumpmap_make_bumpmap(memarena* arena, const n3d_texture* texture, int u_mipdown, int v_mipdown);
// One frame of scene 2: script, phong table and variant choice, draw.
void demo_bumpmap_update(demo_bumpmap* p, n3d_frame_context* fc, memarena* tmp_arena);

// The renderer variants: frame width a multiple of 8, texture 256 x 256 with
// its bump map, level-0 texels and shade table; time from the beat view.
void demo_bumpmap_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2, const uint8_t* phong_lut,
                           const void* bumpmap, const uint8_t* texels, const uint16_t* light_palette,
                           const int8_t* cos256_fp7, const int8_t* sin256_fp7);
void demo_bumpmap_noise1_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2,
                                  const uint8_t* phong_lut, const void* bumpmap, const uint8_t* texels,
                                  const uint16_t* light_palette, const int8_t* cos256_fp7, const int8_t* sin256_fp7);
void demo_bumpmap_noise2_argb1555(const float* ps, n3d_framebuffer* fb, int w_log2, int h_log2,
                                  const uint8_t* phong_lut, const void* bumpmap, const uint8_t* texels,
                                  const uint16_t* light_palette, const int8_t* cos256_fp7, const int8_t* sin256_fp7);
// Floating-point reference of texture 0 (nothing in the effect calls it).
void demo_bumpmap_raw_argb1555(demo_bumpmap* p, n3d_framebuffer* fb);
