// Bitmaps: images of 8-bit channels with flags for channel count, sRGB encoding
// and premultiplied alpha. Sources of texture building and of the benchmark's
// flare, and the working images of offline tools (PNG load and save via stb).
// Pixel memory is pushed from the caller's arena and never freed on its own.
// Main thread. Operations never stop the program: a failure stores its line and
// message text in g_bitmap_error_line / g_bitmap_msg and returns 1 (0 on success).
#pragma once

#include <cstdint>

struct memarena;

#define BITMAP_FLAG_SRGB 1  // colour channels sRGB-encoded (alpha never is)
#define BITMAP_FLAG_PMA 2   // colour channels premultiplied by alpha
#define BITMAP_FLAG_RGBA 4  // four channels, the fourth is alpha
#define BITMAP_FLAG_RGB 8   // three channels
#define BITMAP_FLAG_2CH 16  // two channels
#define BITMAP_FLAG_1CH 32  // one channel

#define BITMAP_BLEND_OP_COPY 1
#define BITMAP_BLEND_OP_BLEND 2  // source drawn over the destination

#define BITMAP_FILTER_BOX 1
#define BITMAP_FILTER_LANCZOS 2

struct bitmap {
    uint8_t* data;  // rows top to bottom, channels R, G, B, A (as many as the flags say)
    int flags;
    uint32_t row_bytes;  // width x channels when made here
    uint32_t width;
    uint32_t height;
};

// Source line and literal message text (never formatted) of the last failure.
extern int g_bitmap_error_line;
extern const char* g_bitmap_msg;

// 4, 3, 2 or 1 by the first of flags 4, 8, 16, 32 that is set; else 0.
int bitmap_channel_count(int flags);

// Pixel (x, y) as linear light with premultiplied alpha (alpha 1.0 without a
// fourth channel, missing colour channels 0), and the inverse encode by the
// bitmap's own flags. The codecs of every conversion in this module and of
// texture building.
void bitmap_pixel_decode(float out_linear_pma[4], const bitmap* b, uint32_t x, uint32_t y);
void bitmap_pixel_encode(bitmap* b, uint32_t x, uint32_t y, const float linear_pma[4]);
// The same on one pixel's bytes (channel count by flags).
void bitmap_bytes_decode(float out_linear_pma[4], const uint8_t* px, int flags);
void bitmap_bytes_encode(uint8_t* px, int flags, const float linear_pma[4]);

// Clears the record, row_bytes = width x channels, pushes height x row_bytes
// bytes (not zeroed); flags without a channel flag give no pixel memory.
void bitmap_init(bitmap* b, memarena* arena, uint32_t width, uint32_t height, int flags);
// Channel k of the new bitmap = component src_channels[k] (3 is alpha) of the
// decoded pixel of src_bitmaps[k]; all sources must have the first one's size.
int bitmap_init_from_channels_ex(bitmap* b, memarena* arena, int flags, const bitmap* const* src_bitmaps,
                                 const int* src_channels);
int bitmap_init_from_channels(bitmap* b, memarena* arena, int flags, const bitmap* src_ch0, int src_ch0_c,
                              const bitmap* src_ch1, int src_ch1_c, const bitmap* src_ch2, int src_ch2_c,
                              const bitmap* src_ch3, int src_ch3_c);
// A converted copy with the source's flags.
int bitmap_init_copy(bitmap* b, memarena* arena, const bitmap* src_bitmap);

// RGBA only: every pixel = one colour given linear with straight alpha.
int bitmap_fill(bitmap* b, const float color_linear[4]);
// RGBA only: premultiplies the colour bytes of a straight-alpha bitmap (flags unchanged).
int bitmap_pma(bitmap* b);
// The colour in the channels before the last, a radial falloff in the last one.
int bitmap_flare(bitmap* b, const float color_linear[4]);
// A checker of w x h cells; the cell at the origin has colour 2.
int bitmap_mosaic(bitmap* b, uint32_t w, uint32_t h, const float color1_linear[4], const float color2_linear[4]);

// A PNG file with the channel count of flags: 0, or 1
// when the file cannot be decoded or flags name no channel count.
int bitmap_load(bitmap* b, memarena* arena, const char* path, int flags);
// PNG: 0, 1 for a bitmap without a channel flag, 2 when writing fails.
int bitmap_save(const bitmap* b, const char* path);

// Copies (op 1) or blends (op 2) a w x h block, clipped to both bitmaps.
int bitmap_copy(bitmap* dst_bitmap, int blend_op, uint32_t dst_x, uint32_t dst_y, const bitmap* src_bitmap,
                uint32_t src_x, uint32_t src_y, uint32_t w, uint32_t h);
// Fills dst (already made) from a larger src; filter 1 box, 2 Lanczos. The
// temporary arena is rewound on return.
int bitmap_downscale(bitmap* dst_bitmap, const bitmap* src_bitmap, memarena* tmp_arena, int filter);
// Development routine: writes four PNG files into the current directory.
void bitmap_downscale_test();
