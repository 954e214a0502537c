#include "target/cachesim_show.h"

#include <cstdint>
#include <cstring>

#include "core/cachesim_ppc.h"
#include "core/crash.h"
#include "target/n3d_framebuffer.h"
#include "target/n3d_texel_format.h"

static const uint16_t CACHESIM_SHOW_CAST_OUT = 0xFC00;  // bright red
static const uint16_t CACHESIM_SHOW_MISS = 0xBC00;      // dark red
static const uint16_t CACHESIM_SHOW_HIT = 0x83E0;       // green

// Up to count pixels of value from *x on, never past w; advances *x.
static void cachesim_show_bar(uint8_t* row, int* x, int w, int count, uint16_t value)
{
    const int room = w - *x;
    const int n = count < room ? count : room;
    for (int i = 0; i < n; i++)
        memcpy(row + 2 * (*x + i), &value, 2);
    if (n > 0)
        *x += n;
}

void cachesim_show(const cachesim* cs, n3d_framebuffer* fb)
{
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        crash_fail(1, "only N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 fb implemented here..\n");
    // One row per set, but only the rows the framebuffer has.
    const int rows = fb->h < CACHESIM_SETS ? fb->h : CACHESIM_SETS;
    for (int i = 0; i < rows; i++) {
        uint8_t* row = static_cast<uint8_t*>(fb->b) + static_cast<intptr_t>(i) * fb->row_bytes;
        int x = 0;
        cachesim_show_bar(row, &x, fb->w, cs->cast_out_count[i], CACHESIM_SHOW_CAST_OUT);
        cachesim_show_bar(row, &x, fb->w, cs->miss_count[i], CACHESIM_SHOW_MISS);
        cachesim_show_bar(row, &x, fb->w, cs->hit_count[i], CACHESIM_SHOW_HIT);
    }
}
