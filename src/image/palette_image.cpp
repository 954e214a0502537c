#include "image/palette_image.h"

#include <cstdio>
#include <cstring>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "core/io.h"
#include "image/n2d.h"
#include "image/tga.h"

uint8_t* palette_animation_io_store(void* bv, const palette_animation* panim, int endian)
{
    uint8_t* b = static_cast<uint8_t*>(bv);
    b = io_store16(b, (uint16_t)panim->w, endian);
    b = io_store16(b, (uint16_t)panim->h, endian);
    b = io_store16(b, (uint16_t)panim->frames_count, endian);
    const uint64_t pixels = (uint64_t)(uint16_t)panim->w * (uint16_t)panim->h;
    if (pixels)
        memcpy(b, panim->image, pixels);
    b += pixels;
    for (int i = 0; i < (uint16_t)panim->frames_count; ++i)
        b = palette_io_store(b, &panim->frames[i], endian);
    return b;
}

static const uint8_t* panim_refuse(io_reader* r, const char* why)
{
    io_reader_fail(r, why);
    printf("palette animation record refused: %s\n", r->what);
    return nullptr;
}

const uint8_t* palette_animation_io_load(memarena* arena, palette_animation* out, const void* b, uint64_t size,
                                         int endian)
{
    memset(out, 0, sizeof(*out));
    io_reader r = io_reader_make(b, size, endian);
    const uint32_t w = io_read16(&r, "palette animation header does not fit");
    const uint32_t h = io_read16(&r, "palette animation header does not fit");
    const uint32_t frames_count = io_read16(&r, "palette animation header does not fit");
    const uint8_t* pixels = io_read_bytes(&r, (uint64_t)w * h, "palette animation image does not fit");
    if (r.failed)
        return panim_refuse(&r, r.what);
    // A palette record is at least its 4 header bytes.
    if ((uint64_t)frames_count * 4 > io_reader_remaining(&r))
        return panim_refuse(&r, "palette animation frames do not fit");
    out->w = (int)w;
    out->h = (int)h;
    out->frames_count = (int)frames_count;
    out->image = static_cast<uint8_t*>(memarena_push(arena, (uint64_t)w * h));
    if (out->image)
        memcpy(out->image, pixels, (uint64_t)w * h);
    out->frames = memarena_push_array_zeroed<palette>(arena, frames_count);
    for (uint32_t i = 0; i < frames_count; ++i) {
        // The palette reader ends the program on a bad record; this record
        // fails instead, so each frame is checked before it is handed over.
        io_reader peek = r;
        const uint32_t offset = io_read16(&peek, "palette animation frame does not fit");
        const uint32_t count = io_read16(&peek, "palette animation frame does not fit");
        if (peek.failed || (uint64_t)count * 4 > io_reader_remaining(&peek))
            return panim_refuse(&r, "palette animation frame does not fit");
        if (offset + count > PALETTE_CLUT_ENTRIES)
            return panim_refuse(&r, "palette animation frame reaches past 256 colours");
        const uint64_t frame_bytes = 4 + 4 * (uint64_t)count;
        const uint8_t* frame = io_read_bytes(&r, frame_bytes, "palette animation frame does not fit");
        if (!palette_io_load(arena, &out->frames[i], frame, frame_bytes, endian))
            return panim_refuse(&r, "palette animation frame does not fit");
    }
    return r.p;
}

palette_animation* palette_animation_load_file(memarena* arena, const char* path)
{
    palette_animation* panim = memarena_push_array_zeroed<palette_animation>(arena, 1);
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    int endian = 0;
    // The message line, then the file it was reading (the record's reader has
    // said why just before).
    if (n3d_io_load_file(path, arena, &buffer, &size, &endian) != 0)
        crash_fail(1, "failed load file\nin file \"%s\": cannot be read\n", path);
    if (!palette_animation_io_load(arena, panim, buffer, size, endian))
        crash_fail(1, "failed load file\nin file \"%s\"\n", path);
    return panim;
}

// The far edge of a placement, saturated: a position near the int range must
// clip to nothing instead of wrapping onto the plane.
static int panim_far_edge(int x0, int extent)
{
    const int64_t x1 = (int64_t)x0 + extent;
    return x1 > INT32_MAX ? INT32_MAX : x1 < INT32_MIN ? INT32_MIN : (int)x1;
}

void palette_animation_blit(const palette_animation* panim, n3d_frame_context* fc, int dst_x0, int dst_y0,
                            int work_offset_dst_y, int work_amount_dst_y)
{
    n2d_blit_buffer_index8(fc, panim->image, panim->w, dst_x0, dst_y0, panim_far_edge(dst_x0, panim->w),
                           panim_far_edge(dst_y0, panim->h), 0, 0, panim->w, panim->h, work_offset_dst_y,
                           work_amount_dst_y);
}

// The name formatted into arena memory sized by a first formatting pass.
static char* panim_format_name(memarena* arena, const char* fmt, const char* dirpath, int frame_i)
{
    int n = snprintf(nullptr, 0, fmt, dirpath, frame_i);
    char* name = static_cast<char*>(memarena_push(arena, (uint64_t)n + 1));
    snprintf(name, (size_t)n + 1, fmt, dirpath, frame_i);
    return name;
}

void palette_animation_store_as_tga_images(const palette_animation* panim, const char* dirpath, memarena* tmp_arena)
{
    for (int frame_i = -1; frame_i < panim->frames_count; ++frame_i) {
        const uint64_t marker = memarena_get_marker(tmp_arena);
        tga t;
        t.buffer = panim->image;
        t.width = panim->w;
        t.height = panim->h;
        char* name;
        if (frame_i == -1) {
            // Indices are colour-table indices: the ramp covers every entry the
            // first frame reaches, or the whole table without frames.
            int entries = PALETTE_CLUT_ENTRIES;
            if (panim->frames_count > 0)
                entries = panim->frames[0].offset + panim->frames[0].count;
            if (entries < 0 || entries > PALETTE_CLUT_ENTRIES)
                crash_fail(1, "palette animation frame 0 reaches past 256 colours\n");
            t.palette_count = entries;
            t.palette_rgba8888 = static_cast<uint8_t*>(memarena_push_zeroed(tmp_arena, 4u * (uint64_t)entries));
            for (int i = 0; i < entries; ++i) {
                t.palette_rgba8888[4 * i + 0] = (uint8_t)i;
                t.palette_rgba8888[4 * i + 1] = (uint8_t)i;
                t.palette_rgba8888[4 * i + 2] = (uint8_t)i;
                t.palette_rgba8888[4 * i + 3] = 255;
            }
            name = panim_format_name(tmp_arena, "%simage-result.tga", dirpath, 0);
        } else {
            // The colour map starts at entry 0 so each index keeps its colour:
            // entries below the frame's offset are black.
            const palette* frame = &panim->frames[frame_i];
            const int entries = frame->offset + frame->count;
            if (frame->offset < 0 || frame->count < 0 || entries > PALETTE_CLUT_ENTRIES)
                crash_fail(1, "palette animation frame %d reaches past 256 colours\n", frame_i);
            t.palette_count = entries;
            t.palette_rgba8888 = static_cast<uint8_t*>(memarena_push_zeroed(tmp_arena, 4u * (uint64_t)entries));
            if (frame->count > 0)
                memcpy(t.palette_rgba8888 + 4 * frame->offset, frame->rgba8888, 4u * (uint64_t)frame->count);
            name = panim_format_name(tmp_arena, "%s%.4d-result.tga", dirpath, frame_i);
        }
        uint64_t size = 0;
        uint8_t* image = tga_save_as_8bpp_palette_rgba8888(&t, tmp_arena, &size);
        FILE* f = fopen(name, "wb+");
        if (!f)
            crash_fail(2, "failed write file \"%s\"\n", name);
        const size_t written = fwrite(image, 1, (size_t)size, f);
        const int closed = fclose(f);
        if (written != size || closed != 0)
            crash_fail(2, "failed write file \"%s\"\n", name);
        memarena_goto_marker(tmp_arena, marker);
    }
}
