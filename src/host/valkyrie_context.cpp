#include "host/valkyrie_context.h"

#include <cstring>
#include <type_traits>

uint8_t emulate_valkyrie_key_color = 0;
palette emulate_valkyrie_overlay_clut;
palette emulate_valkyrie_video_clut;

// The part of [offset, offset + count) that lies inside a 256-entry table;
// empty when none does. Slots never touch entries outside it.
static bool clut_range(int offset, int count, int* out_first, int* out_end)
{
    int64_t first = offset < 0 ? 0 : offset;
    int64_t end = static_cast<int64_t>(offset) + (count < 0 ? 0 : count);
    if (end > VALKYRIE_CLUT_ENTRIES)
        end = VALKYRIE_CLUT_ENTRIES;
    if (first >= end)
        return false;
    *out_first = static_cast<int>(first);
    *out_end = static_cast<int>(end);
    return true;
}

// Entry i of the table takes caller entry i - offset.
static void clut_write(palette* clut, int offset, int count, const uint8_t* rgba8888)
{
    int first, end;
    if (!clut_range(offset, count, &first, &end))
        return;
    memcpy(clut->rgba8888 + 4 * first, rgba8888 + 4 * (first - offset), 4u * static_cast<unsigned>(end - first));
}

static void clut_read(const palette* clut, int offset, int count, uint8_t* rgba8888)
{
    int first, end;
    if (!clut_range(offset, count, &first, &end))
        return;
    memcpy(rgba8888 + 4 * (first - offset), clut->rgba8888 + 4 * first, 4u * static_cast<unsigned>(end - first));
}

void emulate_valkyrie_set_overlay_palette_rgba8888(valkyrie_context*, int offset, int count, const uint8_t* rgba8888)
{
    clut_write(&emulate_valkyrie_overlay_clut, offset, count, rgba8888);
}

void emulate_valkyrie_set_video_palette_rgba8888(valkyrie_context*, int offset, int count, const uint8_t* rgba8888)
{
    clut_write(&emulate_valkyrie_video_clut, offset, count, rgba8888);
}

void emulate_valkyrie_get_overlay_palette_rgba8888(valkyrie_context*, int offset, int count, uint8_t* rgba8888)
{
    clut_read(&emulate_valkyrie_overlay_clut, offset, count, rgba8888);
}

void emulate_valkyrie_get_video_palette_rgba8888(valkyrie_context*, int offset, int count, uint8_t* rgba8888)
{
    clut_read(&emulate_valkyrie_video_clut, offset, count, rgba8888);
}

void emulate_valkyrie_set_overlay_key(valkyrie_context*, int key)
{
    emulate_valkyrie_key_color = static_cast<uint8_t>(key);
}

void emulate_valkyrie_video_pageflip(valkyrie_context* ctx) { ctx->video_backpage = ctx->video_backpage == 0 ? 1 : 0; }

static void grey_ramp(palette* p)
{
    for (int i = 0; i < VALKYRIE_CLUT_ENTRIES; ++i) {
        p->rgba8888[4 * i + 0] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 1] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 2] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 3] = 255;
    }
}

void emulate_valkyrie_init(valkyrie_context* ctx, memarena* arena)
{
    memset(static_cast<void*>(ctx), 0, sizeof(*ctx));
    ctx->set_overlay_palette_func = emulate_valkyrie_set_overlay_palette_rgba8888;
    ctx->set_video_palette_func = emulate_valkyrie_set_video_palette_rgba8888;
    ctx->get_overlay_palette_func = emulate_valkyrie_get_overlay_palette_rgba8888;
    ctx->get_video_palette_func = emulate_valkyrie_get_video_palette_rgba8888;
    ctx->set_overlay_key_func = emulate_valkyrie_set_overlay_key;
    emulate_valkyrie_key_color = 0;

    palette_init(&emulate_valkyrie_overlay_clut, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&emulate_valkyrie_video_clut, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&ctx->original_overlay_palette, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&ctx->original_video_palette, arena, 0, VALKYRIE_CLUT_ENTRIES);
    grey_ramp(&emulate_valkyrie_overlay_clut);
    grey_ramp(&emulate_valkyrie_video_clut);
    grey_ramp(&ctx->original_overlay_palette);
    grey_ramp(&ctx->original_video_palette);

    const uint64_t overlay_bytes = uint64_t{VALKYRIE_OVERLAY_ROWBYTES} * VALKYRIE_OVERLAY_HEIGHT;
    ctx->overlay.w = VALKYRIE_OVERLAY_WIDTH;
    ctx->overlay.h = VALKYRIE_OVERLAY_HEIGHT;
    ctx->overlay.rowbytes = VALKYRIE_OVERLAY_ROWBYTES;
    ctx->overlay.b = static_cast<uint8_t*>(memarena_push_zeroed(arena, overlay_bytes));
    memset(ctx->overlay.b, emulate_valkyrie_key_color, overlay_bytes);

    const uint64_t page_bytes = uint64_t{VALKYRIE_VIDEO_ROWBYTES} * VALKYRIE_VIDEO_HEIGHT;
    for (valkyrie_buffer& page : ctx->videos) {
        page.w = VALKYRIE_VIDEO_WIDTH;
        page.h = VALKYRIE_VIDEO_HEIGHT;
        page.rowbytes = VALKYRIE_VIDEO_ROWBYTES;
        page.b = static_cast<uint8_t*>(memarena_push_zeroed(arena, page_bytes));
    }
    ctx->video_backpage = 0;
}

static const valkyrie_buffer* shown_page(const valkyrie_context* ctx)
{
    return ctx->video_backpage == 0 ? &ctx->videos[1] : &ctx->videos[0];
}

static inline uint16_t load_pixel16(const uint8_t* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// A 5-bit channel's video-table entry: (c << 3) | (c & 7), so 31 reads 255 and
// 30 reads 246 (the display's own expansion, not (c << 3) | (c >> 2)).
static inline uint32_t video_clut_index(uint32_t c5) { return (c5 << 3) | (c5 & 7u); }

// Both compositions walk the overlay pixel by pixel with the shown page at half
// resolution (one video pixel under 2 x 2 overlay pixels). Pixel is the
// surface's word: uint32_t for RGBA8888, uint16_t for ARGB1555.
template <typename Pixel>
static void compose_shown_frame(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    const valkyrie_buffer* page = shown_page(ctx);
    const uint8_t key = emulate_valkyrie_key_color;
    const uint8_t* overlay_clut = emulate_valkyrie_overlay_clut.rgba8888;
    const uint8_t* video_clut = emulate_valkyrie_video_clut.rgba8888;
    const int w = ctx->overlay.w;
    const int h = ctx->overlay.h;
    const uint8_t* overlay_row = ctx->overlay.b;
    const uint8_t* video_row = page->b;
    uint8_t* dst_row = static_cast<uint8_t*>(dst);
    for (int y = 0; y < h; ++y) {
        const uint8_t* ov = overlay_row;
        const uint8_t* vp = video_row;
        uint8_t* out = dst_row;
        for (int x = 0; x < w; ++x) {
            uint32_t index = ov[x];
            Pixel pixel;
            if constexpr (std::is_same_v<Pixel, uint32_t>) {
                uint32_t r, g, b;
                if (index != key) {
                    const uint8_t* e = overlay_clut + 4 * index;
                    r = e[0];
                    g = e[1];
                    b = e[2];
                } else {
                    uint32_t p = load_pixel16(vp);
                    r = video_clut[4 * video_clut_index((p >> 10) & 31u) + 0];
                    g = video_clut[4 * video_clut_index((p >> 5) & 31u) + 1];
                    b = video_clut[4 * video_clut_index(p & 31u) + 2];
                }
                pixel = r << 24 | g << 16 | b << 8 | 255u;
            } else {
                static_assert(std::is_same_v<Pixel, uint16_t>, "RGBA8888 or ARGB1555 words");
                if (index == key) {
                    pixel = load_pixel16(vp);
                } else {
                    const uint8_t* e = overlay_clut + 4 * index;
                    uint32_t c[3];
                    for (int k = 0; k < 3; ++k) {
                        // x 498 >> 12 takes a byte to 0..31.
                        uint32_t v = video_clut[4 * video_clut_index(uint32_t{e[k]} >> 3) + k];
                        c[k] = (v * 498u) >> 12;
                    }
                    pixel = static_cast<uint16_t>(0x8000u | c[0] << 10 | c[1] << 5 | c[2]);
                }
            }
            memcpy(out, &pixel, sizeof(pixel));
            out += sizeof(pixel);
            if (x & 1)
                vp += 2;
        }
        overlay_row += ctx->overlay.rowbytes;
        if (y & 1)
            video_row += page->rowbytes;
        dst_row += dst_rowbytes;
    }
}

void emulate_valkyrie_blit_rgba8888(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    compose_shown_frame<uint32_t>(ctx, dst, dst_rowbytes);
}

void emulate_valkyrie_blit_argb1555(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    compose_shown_frame<uint16_t>(ctx, dst, dst_rowbytes);
}
