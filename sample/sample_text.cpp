#include "sample_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/posix_file_utils.h"

// The rasterizer's implementation lives in this one translation unit, from the
// system's header; its own warnings stay out of the build.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#include <stb/stb_truetype.h>
#pragma GCC diagnostic pop

void sample_font_load(sample_font* font, memarena* arena, const char* path)
{
    uint64_t size = 0;
    font->data = file_open_read_close_ex(path, arena, &size);
    if (!font->data || size == 0)
        crash_fail(2, "failed read font \"%s\"\n", path);
    stbtt_fontinfo* info = memarena_push_array_zeroed<stbtt_fontinfo>(arena, 1);
    if (!stbtt_InitFont(info, font->data, stbtt_GetFontOffsetForIndex(font->data, 0)))
        crash_fail(2, "not a usable TrueType font \"%s\"\n", path);
    font->info = info;
}

float sample_text_width(const sample_font* font, const char* text, float pixel_height)
{
    const stbtt_fontinfo* info = (const stbtt_fontinfo*)font->info;
    float scale = stbtt_ScaleForPixelHeight(info, pixel_height);
    float x = 0.0f;
    for (const char* c = text; *c; c++) {
        int advance = 0, lsb = 0;
        stbtt_GetCodepointHMetrics(info, (unsigned char)*c, &advance, &lsb);
        x += (float)advance * scale;
        if (c[1])
            x += (float)stbtt_GetCodepointKernAdvance(info, (unsigned char)c[0], (unsigned char)c[1]) * scale;
    }
    return x;
}

float sample_text_fit(const sample_font* font, const char* text, float pixel_height, float max_width)
{
    float w = sample_text_width(font, text, pixel_height);
    if (w <= max_width || w <= 0.0f)
        return pixel_height;
    return floorf(pixel_height * max_width / w);
}

void sample_text_draw(const sample_font* font, memarena* scratch, uint8_t* canvas, int w, int h, float x, float y,
                      const char* text, float pixel_height)
{
    const stbtt_fontinfo* info = (const stbtt_fontinfo*)font->info;
    float scale = stbtt_ScaleForPixelHeight(info, pixel_height);
    for (const char* c = text; *c; c++) {
        int cp = (unsigned char)*c;
        int x0, y0, x1, y1;
        stbtt_GetCodepointBitmapBox(info, cp, scale, scale, &x0, &y0, &x1, &y1);
        int gw = x1 - x0, gh = y1 - y0;
        if (gw > 0 && gh > 0) {
            uint64_t marker = memarena_get_marker(scratch);
            uint8_t* glyph = (uint8_t*)memarena_push_zeroed(scratch, (uint64_t)gw * (uint64_t)gh);
            stbtt_MakeCodepointBitmap(info, glyph, gw, gh, gw, scale, scale, cp);
            int ox = (int)floorf(x + 0.5f) + x0, oy = (int)floorf(y + 0.5f) + y0;
            for (int gy = 0; gy < gh; gy++) {
                int cy = oy + gy;
                if (cy < 0 || cy >= h)
                    continue;
                for (int gx = 0; gx < gw; gx++) {
                    int cx = ox + gx;
                    if (cx < 0 || cx >= w)
                        continue;
                    uint8_t a = glyph[gy * gw + gx];
                    uint8_t* dst = &canvas[(size_t)cy * (size_t)w + (size_t)cx];
                    if (a > *dst)
                        *dst = a;
                }
            }
            memarena_goto_marker(scratch, marker);
        }
        int advance = 0, lsb = 0;
        stbtt_GetCodepointHMetrics(info, cp, &advance, &lsb);
        x += (float)advance * scale;
        if (c[1])
            x += (float)stbtt_GetCodepointKernAdvance(info, cp, (unsigned char)c[1]) * scale;
    }
}

uint8_t* sample_glyph(const sample_font* font, memarena* arena, int codepoint, float pixel_height, int* w, int* h,
                      float* xoff, float* yoff, float* xadvance)
{
    const stbtt_fontinfo* info = (const stbtt_fontinfo*)font->info;
    float scale = stbtt_ScaleForPixelHeight(info, pixel_height);
    int x0, y0, x1, y1, advance = 0, lsb = 0;
    stbtt_GetCodepointBitmapBox(info, codepoint, scale, scale, &x0, &y0, &x1, &y1);
    stbtt_GetCodepointHMetrics(info, codepoint, &advance, &lsb);
    *xadvance = (float)advance * scale;
    *xoff = (float)x0;
    *yoff = (float)y0;
    *w = x1 > x0 ? x1 - x0 : 0;
    *h = y1 > y0 ? y1 - y0 : 0;
    if (*w == 0 || *h == 0) {
        *w = 0;
        *h = 0;
        return nullptr;
    }
    uint8_t* alpha = (uint8_t*)memarena_push_zeroed(arena, (uint64_t)*w * (uint64_t)*h);
    stbtt_MakeCodepointBitmap(info, alpha, *w, *h, *w, scale, scale, codepoint);
    return alpha;
}
