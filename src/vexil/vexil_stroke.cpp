#include "vexil/vexil_stroke.h"

#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"
#include "vexil/vexil_image.h"

int vexil_stroke_threshold(int frame)
{
    // The frame is a linear intensity; its sRGB code is the threshold, so the
    // reveal runs fast at the start and slow at the end.
    return (int)(255.0f * n3d_linear_to_srgb((float)frame / 255.0f));
}

void vexil_stroke_init(vexil_stroke* stroke, vexil_image* src, memarena* arena)
{
    memset(stroke, 0, sizeof *stroke);
    stroke->src = src;
    const n3d_texture* t = &src->texture;
    // The coverage buffers have the picture's size: one bit per texel, rows of
    // whole 32-bit words, every texel read inside the first level.
    if (src->w <= 0 || src->w % 32 != 0)
        crash_fail(1, "stroke image width must be a positive multiple of 32 (is %d x %d)\n", src->w, src->h);
    if (src->h <= 0)
        crash_fail(1, "stroke image height must be at least 1 (is %d x %d)\n", src->w, src->h);
    if (src->w > (1 << t->w_log2) || src->h > (1 << t->h_log2) || !t->mips || !t->mips[0])
        crash_fail(1, "stroke image %d x %d is larger than its %d x %d texture\n", src->w, src->h, 1 << t->w_log2,
                   1 << t->h_log2);
    n3d_coveragebuffer_init(&stroke->cb, src->w, src->h, arena);
    n3d_coveragebuffer_init(&stroke->cb_prev, src->w, src->h, arena);
    n3d_coveragebuffer_init(&stroke->src_cb, src->w, src->h, arena);
    memset(stroke->cb.u32, 0xFF, (size_t)src->w * (size_t)src->h / 8);
    n2d_cb_eq_cb1_and_texture_between(&stroke->src_cb, &stroke->cb, &stroke->src->texture, 1, 255, 0, src->h);
    memset(stroke->cb.u32, 0, (size_t)src->w * (size_t)src->h / 8);
}

static void stroke_swap(vexil_stroke* stroke)
{
    uint32_t* t = stroke->cb.u32;
    stroke->cb.u32 = stroke->cb_prev.u32;
    stroke->cb_prev.u32 = t;
}

void vexil_stroke_draw(vexil_stroke* stroke, int frame, int color8, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb,
                       int dst_x0, int dst_y0, int work_start_y, int work_height)
{
    int threshold = vexil_stroke_threshold(frame);
    stroke_swap(stroke);
    n2d_cb_eq_cb1_and_texture_between(&stroke->cb, &stroke->src_cb, &stroke->src->texture, 1, threshold, work_start_y,
                                      work_height);
    // Every revealed pixel is drawn again, so the overlay's coverage sees the whole stroke.
    n2d_fb_i8_and_cb_mask_fill_if_cb0(dst_fb, dst_cb, dst_x0, dst_y0, color8, &stroke->cb, work_start_y, work_height);
}

void vexil_stroke_erase(vexil_stroke* stroke, int frame, n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb,
                        n3d_framebuffer* background_fb, int dst_x0, int dst_y0, int work_start_y, int work_height)
{
    int threshold = vexil_stroke_threshold(frame);
    stroke_swap(stroke);
    // With a falling frame the pixels drawn last go first; frame 0 restores the whole shape.
    n2d_cb_eq_cb1_and_texture_between(&stroke->cb, &stroke->src_cb, &stroke->src->texture, threshold, 255, work_start_y,
                                      work_height);
    n2d_fb_i8_and_cb_mask_copy_if_cb0(dst_fb, dst_cb, dst_x0, dst_y0, background_fb, &stroke->cb, work_start_y,
                                      work_height);
}
