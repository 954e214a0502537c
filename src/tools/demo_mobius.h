// Moebius warp of the earlier production: each pixel maps through w = (a z + b) / (c z + d) to a
// texel of a scrolling 256 x 256 swizzled ARGB1555 texture, in 32-bit fixed point with forward
// differences and a table reciprocal, scripted by the music; its controller track is reloaded from and
// saved to "mobius2_le.dat" every frame, never over a file that is there but was refused (named once,
// with why). Also the brute-force tunnel (a slow float reference). Called by the runtime's frame
// update; tables from the caller's arena, file buffers from the temporary arena; main thread.
// Unusable frames and textures stop through the crash path with a message.
#pragma once

#include <cstdint>

#include "core/ppc.h"
#include "tools/demo_track2.h"

struct memarena;
struct n2d_rect;
struct n3d_frame_context;
struct n3d_framebuffer;
struct n3d_texture;

#define DEMO_MOBIUS_TRACK_FILE "mobius2_le.dat"
#define DEMO_MOBIUS_DIV_LUT_ENTRIES 256

struct demo_mobius {
    demo_track2 track2;   // 16 rows of 8 values
    float ps[10];         // a = ps0 + i ps1, b = ps2 + i ps3, c = ps4 + i ps5, d = ps6 + i ps7
    int32_t* div_lut_fp;  // 2^27 / i; entry 0 holds 0x80000000
    int u_tick_8fp;       // texture scroll in 1/256 texel
    int v_tick_8fp;
    int t4_u_tick_8fp;  // the scroll where the final blend starts
    int t4_v_tick_8fp;
    int track_file_refused;  // the track file is there but was refused: it is not stored
};

// The swizzled index of texel (tu, tv) of a 256 x 256 texture, in the three
// rotate-and-insert steps the target does it in: tv gives bits 1..0, tu << 2
// bits 7..2, tv << 6 bits 13..8, tu << 8 bits 15..14 (tv wraps at 256 rows).
inline uint32_t demo_mobius_texel_index(uint32_t tu, uint32_t tv)
{
    uint32_t index = tv;
    index = ppc_rlwimi(index, tu, 2, 0, 29);
    index = ppc_rlwimi(index, tv, 6, 0, 23);
    index = ppc_rlwimi(index, tu, 8, 0, 17);
    return index & 0xFFFFu;
}

void demo_mobius_init(memarena* arena, demo_mobius* p, memarena* tmp_arena);
// One frame of scene 1: track, script, draw from ARGB1555 texture 0 of the
// running runtime's assets, track stored again.
void demo_mobius_update(demo_mobius* p, n3d_frame_context* fc, memarena* tmp_arena);
// Draws the whole framebuffer (width a multiple of 4) from level 0 of texture
// (ARGB1555, swizzled, 256 x 256) with the current coefficients and scroll.
void demo_mobius_argb1555(demo_mobius* p, const n3d_texture* texture, n3d_framebuffer* fb);

// Texture by angle and radius round the centre (in pixels), into the part of
// dst_rect inside the ARGB1555 frame; texels follow frame coordinates. The
// texture must be ARGB1555 (swizzled or row by row).
void tunnel_brute(n3d_frame_context* fc, const n3d_texture* color_map, const n2d_rect* dst_rect, float tunnel_center_x,
                  float tunnel_center_y, int u_offset, int v_offset);
