// Bars of the data-cache model's counts drawn into a 16-bit framebuffer, one
// row per set: cast-outs bright red, then misses dark red, then hits green.
// A developer's view; nothing in the production calls it. Allocates nothing;
// main thread. A framebuffer that is not ARGB1555 prints a line and exits 1.
#pragma once

struct cachesim;
struct n3d_framebuffer;

// Rows 0 to 127 (those the framebuffer has) get their bars from the left edge;
// the rest of each row is left as it was.
void cachesim_show(const cachesim* cs, n3d_framebuffer* fb);
