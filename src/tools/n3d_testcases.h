// Renderer test bench: thirteen key-selectable renderer scenes (spinning and
// orbiting cubes, a dense mesh, a face, a room from inside, a triangle through
// the near plane, skinned animated datapacks), each with its own frame clock.
// A host calls n3d_testcases_init once and n3d_testcases_update once a frame;
// nothing in the program does. Assets and per-frame scratch come from the
// bench's 48 MiB arena (C heap). Main thread, one bench at a time (g_n3d_tcs).
// A missing or unusable asset and a frame that is not ARGB1555 stop through the crash path.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "core/memarena.h"
#include "n3d/n3d.h"

struct n3d_asset_mesh;
struct mad_datapack;

#define N3D_TESTCASES_COUNT 13
#define N3D_TESTCASES_ARENA_BYTES 0x3000000u
#define N3D_TESTCASES_MESHES 7
#define N3D_TESTCASES_MADPACKS 3
#define N3D_TESTCASES_TEXTURES 6
#define N3D_TESTCASES_FIRST_SCENE 7

// One slot's clock, keys and camera.
struct n3d_testcase {
    int tick;         // frames
    int tick_freeze;  // non-zero: the clock does not advance by itself
    int tick_delta;   // added after each frame; 1 at init
    int tick_case;    // set by keys; no scene reads them
    int enable_tick_case;
    int enable_only_triangle;
    int only_triangle_id;
    n3d_light_context lc;
    n3d_space_context sc;
};

struct n3d_testcases_assets {
    int meshes_count;  // 7: cube, viking_room, suzanne, face, toruswarp, room, the generated triangle
    n3d_asset_mesh** meshes;
    int datapacks_count;      // left 0
    mad_datapack** madpacks;  // simple_skin, vellop, performa
    n3d_textures_context tc;  // formats 2 and 1: six textures each; one phong table
};

struct n3d_testcases {
    memarena arena;             // "n3d_testcases_arena"
    uint32_t testcase_counter;  // the slot is testcase_counter % 13
    n3d_render_context rc;      // rebuilt by every scene every frame
    n3d_testcases_assets assets;
    n3d_testcase testcases[N3D_TESTCASES_COUNT];
    uint8_t prev_keys[256];
    uint8_t keys[256];
};

// The bench the last update registered; the key queries read it.
extern n3d_testcases* g_n3d_tcs;

// Zeroes the bench, takes its arena, loads the assets of assets_dir and selects
// slot 7. 0 (every asset failure stops). format, w and h are not used.
int n3d_testcases_init(n3d_testcases* tcs, const char* assets_dir, int format, int w, int h);
// One frame of the selected slot into fc (ARGB1555 with a coverage pair);
// keys is the host's 256-entry key table (null: no key down).
void n3d_testcases_update(n3d_testcases* tcs, n3d_frame_context* fc, const uint8_t* keys);

// Meshes, datapacks, textures and the phong table; each failed check stops with its message. 0.
int n3d_testcases_init_assets(n3d_testcases_assets* assets, memarena* arena, const char* asset_dir);
// A ".mad" file; one that cannot be read or that the reader refuses stops.
mad_datapack* n3d_testcases_load_madpack(memarena* arena, const char* path);
// The triangle (-1, -1, 0), (1, -1, 0), (0, 1, 0) facing +z, with every array but the joints.
void n3d_testcase_setup_triangle(n3d_asset_mesh* out, memarena* arena);
// The bench's render context for fc from the slot's light and its camera,
// whose near plane is raised to the projection's minimum where it lies below.
void n3d_testcase_setup_render_context(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc,
                                       const mat4x4 view_from_world, float fov_y, float near_plane);
// The slot's keys before its scene runs, and its clock step after.
void n3d_testcase_control_pre(n3d_testcase* tc, const uint8_t* keys);
void n3d_testcase_control_post(n3d_testcase* tc, const uint8_t* keys);
// Pressed this frame and not the last; down this frame.
int n3d_testcases_key_pressed(uint8_t key);
int n3d_testcases_key_down(uint8_t key);

// The scenes of the slots.
void n3d_testcase_cube(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_small_triangles(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_phong_move(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_face(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_perspective_correct(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_256x256(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_room(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_clip(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_mad_simple_skin(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
void n3d_testcase_mad_complex_skin(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
// Its textures are not wired yet: it animates but draws nothing.
void n3d_testcase_mad_textured(n3d_testcases* tcs, n3d_testcase* tc, n3d_frame_context* fc);
