// Runtime of the earlier production: loads its assets from one directory, hands the music to the
// player, and per frame draws the effect the music position (or the keys) picks into a letterboxed
// band of a 16-bit frame; also its plasma and shared sine tables. Off the play path: a host loop of
// its own drives demo_assets_init, demo_init, demo_update. Memory from the caller's arena (two 5 MiB
// development arenas from the C heap); main thread. Bad assets fail the load with a message naming
// them; unusable frames stop through the crash path.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "host/nanokorg2.h"
#include "n3d/n3d.h"
#include "n3d/n3d_vertices.h"
#include "tools/demo_bumpmap.h"
#include "tools/demo_mobius.h"
#include "tools/demo_room.h"
#include "tools/demo_track2.h"

struct n3d_frame_context;
struct n3d_framebuffer;
struct n3d_asset_mesh;

#define DEMO_MESHES_COUNT 8
#define DEMO_TEXTURES_PER_FORMAT 4
#define DEMO_PHONG_LUTS_COUNT 256
#define DEMO_SAMPLE_RATE 22050
// Rows the letterbox takes off the frame (half above, half below the band).
#define DEMO_LETTERBOX_ROWS 40

struct demo_assets {
    int meshes_count;         // 8
    n3d_asset_mesh** meshes;  // cube, torus, six room walls
    n3d_textures_context tc;  // formats 2 and 1: four textures each; 256 phong tables
    uint8_t* music_data;      // the IMA ADPCM stream, as read
    int music_size;           // its bytes (frames)
    int beats_pos_count;
    int32_t* beats_pos;  // sample positions of the beats
};

struct demo_plasma {
    float t;         // seconds of plasma time
    uint8_t* table;  // 256 bytes
    uint16_t* lut;   // 256 ARGB1555 colours
};

struct demo_phong {
    int v;  // nothing reads it
};

// A scene's own clock and view, kept per scene for tuning like the test
// bench's slots; no effect reads them.
struct demo_scene {
    int tick;  // frames
    int tick_freeze;
    int tick_delta;
    int tick_case;
    int enable_tick_case;
    int enable_only_triangle;
    n3d_light_context lc;
    n3d_space_context sc;
    int format;
};
#define DEMO_SCENES_COUNT 6
static_assert(DEMO_SCENES_COUNT * sizeof(demo_scene) == 1896, "the six scene records take 1896 bytes");

// A tuning record kept with the runtime; no operation uses it.
struct demo_lines {
    demo_track2 track2;
    float ps[10];
    n3d_asset_mesh* mesh;
    int tick;
};

struct demo {
    int demo_fixed_scene;  // 0: the music position chooses the scene; 1: the keys chose it
    int8_t* sin256_fp7;    // 320 entries, sin(2 pi i / 256) x 127
    int8_t* cos256_fp7;    // sin256_fp7 + 64
    int scene;             // 0 to 5: 1 warp, 2 bump map, 3 plasma, 4 room; 0 and 5 draw nothing
    int nk2_prev_set;
    memarena* arena;      // "demo_arena", 2 MiB
    memarena* tmp_arena;  // "demo_tmp_arena", 4 KiB, reset every update
    memarena dev_arena;   // "demo_dev_arena", 5 MiB from the C heap
    memarena dev_tmp_arena;
    demo_scene* scenes;  // DEMO_SCENES_COUNT records from arena
    demo_assets* assets;
    demo_plasma plasma;
    demo_mobius mobius;
    demo_bumpmap bumpmap;
    demo_phong phong;
    demo_room room;
    demo_lines lines;
};

// Shared with the effects.
extern demo* g_demo;
extern const nanokorg2_state* g_demo_nk2;  // current controller snapshot, null when none was given
extern nanokorg2_state g_demo_nk2_prev;
extern const uint8_t* g_demo_keys;  // current key table, null when none was given
extern uint8_t g_demo_keys_prev[256];

// Loads the asset set of asset_dir. 0, or 1 after a message when the music
// cannot be read or is empty, or an asset the effects use is missing or malformed.
int demo_assets_init(demo_assets* assets, memarena* arena, const char* asset_dir);
// Builds the runtime and its effects (the room draws through the renderer,
// which the host starts with n3d_init first), arms the music player and hands it the
// music, and sets up the beat table. Returns 0.
int demo_init(demo* d, memarena* arena, demo_assets* assets);
// One frame into fc (fc_overlay is not used); nk2 and keys may be null.
void demo_update(demo* d, n3d_frame_context* fc_overlay, n3d_frame_context* fc, const nanokorg2_state* nk2,
                 const uint8_t* keys);

void demo_plasma_init(memarena* arena, struct demo_plasma* p);
// ARGB1555 frames only (fatal otherwise).
void demo_plasma(struct demo_plasma* p, n3d_frame_context* fc);
void demo_plasma_argb1555(struct demo_plasma* p, n3d_framebuffer* fb);
