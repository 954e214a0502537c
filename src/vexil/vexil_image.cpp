#include "vexil/vexil_image.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/saturate.h"
#include "image/n2d.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_crash.h"

const uint8_t* vexil_image_load(memarena* arena, vexil_image* out, const void* b, uint64_t size, int ok_reuse_buffer,
                                int endian)
{
    memset(out, 0, sizeof(*out));
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t w = io_read32(&r, "image size does not fit");
    const uint32_t h = io_read32(&r, "image size does not fit");
    if (!r.failed)
        n3d_io_texture_read(&r, arena, &out->texture, ok_reuse_buffer);
    // The picture is the top-left w x h texels: it must lie inside the texture.
    if (!r.failed && (w > (1u << out->texture.w_log2) || h > (1u << out->texture.h_log2)))
        io_reader_fail(&r, "image larger than its texture");
    if (r.failed) {
        printf("image record refused: %s\n", r.what);
        return nullptr;
    }
    out->w = (int)w;
    out->h = (int)h;
    return r.p;
}

uint8_t* vexil_image_store(void* bv, const vexil_image* image, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store32(b, (uint32_t)image->w, endian);
    b = io_store32(b, (uint32_t)image->h, endian);
    return n3d_io_texture_store(b, &image->texture, endian);
}

static bool image_is_index8(int format)
{
    return format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
}

// The far edge of a placement, saturated: a position near the int range must
// clip to nothing instead of wrapping onto the plane.
static int image_far_edge(int x0, int extent) { return sat_int64_to_int((int64_t)x0 + extent); }

void vexil_image_draw(n3d_frame_context* fc, int dst_x0, int dst_y0, const vexil_image* image)
{
    const n3d_texture* t = &image->texture;
    if (!t->not_swizzled)
        VEXIL_IMAGE_CRASH("vexil_image_draw: only unswizzled texture supported\n");
    if (!image_is_index8(t->format))
        VEXIL_IMAGE_CRASH("vexil_image_draw: only index8 texture supported\n");
    if (!image_is_index8(fc->fb->format))
        VEXIL_IMAGE_CRASH("vexil_image_draw: only index8 frame context supported\n");
    n2d_blit_buffer_index8(fc, t->mips[0], 1 << t->w_log2, dst_x0, dst_y0, image_far_edge(dst_x0, image->w),
                           image_far_edge(dst_y0, image->h), 0, 0, image->w, image->h, 0, image->h);
}
