// Test support: unswizzled single-level textures of any format built in memory
// (texels from a function), and 16-bit planes, for the video effects and scenes.
// Header only; memory is the records' own vectors.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "image/n3d_convert.h"
#include "target/n3d_framebuffer.h"

struct video_texture {
    n3d_texture t{};
    std::vector<uint8_t> texels;
    std::vector<uint16_t> palette = std::vector<uint16_t>(256), shades = std::vector<uint16_t>(256 * 32);
    std::vector<uint8_t*> mips;
    // f gives the texel value (1, 2 or 4 bytes by format).
    video_texture(int format, int w_log2, int h_log2, const std::function<uint32_t(int, int)>& f)
    {
        int bpp = format == 2 ? 2 : format == 4 ? 4 : 1;
        int w = 1 << w_log2, h = 1 << h_log2;
        texels.resize((size_t)w * h * bpp);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint32_t v = f(x, y);
                memcpy(&texels[((size_t)y * w + x) * bpp], &v, (size_t)bpp);  // little-endian host
            }
        mips.assign(1, texels.data());
        t.format = format;
        t.not_swizzled = 1;
        t.w_log2 = w_log2;
        t.h_log2 = h_log2;
        t.min_u_level = w_log2;
        t.min_v_level = h_log2;
        t.mips = mips.data();
        if (format == 1 || format == 3) {
            t.colors_count = 256;
            t.shades_per_color = 32;
            t.palette = palette.data();
            t.shade_table = shades.data();
        }
    }
};

struct video_plane {
    std::vector<uint8_t> bytes;
    n3d_framebuffer fb;
    video_plane(int w, int h, int row_bytes = 0, uint16_t fill = 0x1234)
        : bytes((size_t)(row_bytes ? row_bytes : 2 * w) * h), fb{0, 2, w, h, row_bytes ? row_bytes : 2 * w, nullptr}
    {
        fb.b = bytes.data();
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                px(x, y) = fill;
    }
    uint16_t& px(int x, int y) { return reinterpret_cast<uint16_t*>(bytes.data() + (size_t)y * fb.row_bytes)[x]; }
};
