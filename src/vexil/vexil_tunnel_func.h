// The tunnel: a 256x256 ARGB1555 colour map drawn through a table of polar
// coordinates (angle byte high, distance byte low) built once at load time, so a
// frame is one table read, one texel read and one store per pixel. Called by the
// loading steps (table) and the tunnel scene (frame) on the main thread; no memory
// of its own. A colour map, table or target it cannot serve stops through the crash path.
#pragma once

#include "image/n2d.h"
#include "target/n3d_framebuffer.h"

struct n3d_texture;

// Fills the 16-bit table dst (any size): per entry the angle around the centre in
// the high byte, the distance from it (corners about 1) in the low byte.
void vexil_tunnel_argb1555_init(n3d_framebuffer* dst);
// Draws into fc's ARGB1555 framebuffer inside dst_rect (clipped to it), reading the
// table's centred window of the target's size: texel row = angle + v_offset, column
// = distance + u_offset, both mod 256. scale is not used.
void vexil_tunnel_argb1555(n3d_frame_context* fc, const n3d_texture* color_map, const n3d_framebuffer* uv_map,
                           const n2d_rect* dst_rect, float scale, int u_offset, int v_offset);
// How a frame is drawn: four pixels a step in plain C (the portable packed
// path), eight a step with SSE2, or 32 a step with AVX-512 gathers. The default
// is the gathers on Intel processors that have AVX-512, SSE2 on other x86-64
// processors, the packed path elsewhere; a path above the level of cpu_level()
// (core/cpu_features.h: AVX-512 for the gathers, SSE2 for SSE2) falls back to
// the widest one below it. Every path gives the same pixels.
enum {
    VEXIL_TUNNEL_PATH_PACKED = 0,
    VEXIL_TUNNEL_PATH_SSE2 = 1,
    VEXIL_TUNNEL_PATH_GATHER = 2,
};
extern int vexil_tunnel_path;
// The path a frame takes when asked for path at the current level.
int vexil_tunnel_path_available(int path);
