// Scaled frames: a rectangle of an index8 texture drawn stretched or shrunk into
// any destination rectangle of an index8 frame context, in 16.16 fixed point with
// a mip level chosen per axis, optionally only every other row (interlaced); the
// covered rectangle is recorded in the context's coverage buffer. Driven by the
// overlay_scale scene. Allocates nothing. Main thread only. Unsupported formats,
// a swizzled texture and a source rectangle that is reversed or leaves the
// texture print a message on standard output and exit with status 1; a
// destination of zero or negative size draws nothing.
#pragma once

struct n3d_frame_context;
struct n3d_texture;

void vexil_scaleframe(n3d_frame_context* fc, n3d_texture* texture, float dst_x0_f, float dst_y0_f,
                      float dst_x1_f, float dst_y1_f, float src_x0_f, float src_y0_f, float src_x1_f,
                      float src_y1_f, int use_interlaced, int interlaced_odd, int work_start_y,
                      int work_height);
