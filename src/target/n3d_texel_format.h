// Texel format numbers shared by render targets and textures: the framebuffer
// records name their pixel layout with them, texture building and the
// rasterizers their texels. Constants only; no code, no memory, any thread.
#pragma once

#define N3D_TEXEL_FORMAT_NONE 0
#define N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 1
#define N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 2
#define N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 3
#define N3D_TEXEL_FORMAT_BUMPMAP 4
