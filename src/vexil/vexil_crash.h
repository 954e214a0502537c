// The crash labels of the production's files: each failure names the module it
// comes from ("src/vexil" for the runtime, its loaders and the sequence, and one
// label for each other module), always through one of these. Header only; the
// crash path writes its header and message to standard error and exits 1.
#pragma once

#include "core/crash.h"

#define VEXIL_CRASH(...) mycrash("src/vexil", __LINE__, "", __VA_ARGS__)
#define VEXIL_SCENES_CRASH(...) mycrash("src/vexil_scenes", __LINE__, "", __VA_ARGS__)
#define VEXIL_FS_CRASH(...) mycrash("src/vexil_fs", __LINE__, "", __VA_ARGS__)
#define VEXIL_IMAGE_CRASH(...) mycrash("src/vexil_image", __LINE__, "", __VA_ARGS__)
#define VEXIL_RLE_IMAGE_CRASH(...) mycrash("src/vexil_rle_image", __LINE__, "", __VA_ARGS__)
#define VEXIL_STARFIELD_CRASH(...) mycrash("src/vexil_starfield", __LINE__, "", __VA_ARGS__)
#define VEXIL_TUNNEL_CRASH(...) mycrash("src/vexil_tunnel_func", __LINE__, "", __VA_ARGS__)
#define VEXIL_BUMPMAP_CRASH(...) mycrash("src/vexil_bumpmap", __LINE__, "", __VA_ARGS__)
