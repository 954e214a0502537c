// Scaled frames: a rectangle of an index8 texture stretched or shrunk into an index8
// frame context in 16.16 fixed point, mip level chosen per axis, optionally every
// other row (interlaced), the covered rectangle recorded in the coverage buffer.
// Called by the overlay_scale scene; allocates nothing; main thread only.
// Unsupported formats, a swizzled texture or a reversed or outside source rectangle
// print a message on standard output and exit 1; an empty destination draws nothing.
#pragma once

struct n3d_frame_context;
struct n3d_texture;

void vexil_scaleframe(n3d_frame_context* fc, n3d_texture* texture, float dst_x0_f, float dst_y0_f, float dst_x1_f,
                      float dst_y1_f, float src_x0_f, float src_y0_f, float src_x1_f, float src_y1_f,
                      int use_interlaced, int interlaced_odd, int work_start_y, int work_height);
