// Scene 4 of the earlier production: six phong-lit walls that bulge on drum hits
// while the camera pulls back and the room turns, then star sprites at mesh
// vertices. Called by demo_update once a frame; the walls' vertex copies and the
// 32 phong tables come from the demo's arena at init. Main thread. Walls
// without their six vertex arrays and sprite targets or textures it cannot use
// stop through the crash path.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "n3d/n3d_asset.h"

struct memarena;
struct demo_assets;
struct n3d_frame_context;
struct n3d_render_context;

#define DEMO_ROOM_SIDES 6
#define DEMO_ROOM_PHONG_LUTS 32

struct demo_room_side {
    n3d_asset_mesh asset;  // own arrays for the six attributes; the joint arrays are the loaded mesh's
    float min_xyz[3];      // bounds of the positions, both starting from 0
    float max_xyz[3];
    float scale_xyz[3];      // half the extent per axis
    float rec_scale_xyz[3];  // its reciprocal; 0 for an axis without extent
};

struct demo_room {
    demo_assets* assets;  // the set the sides were built from (walls, stars, textures)
    demo_room_side sides[DEMO_ROOM_SIDES];
    int phong_luts_count;  // 32
    uint8_t** phong_luts;  // table i falls off at 8 (i / 31)^2; table 31 never
};

struct mesh_particles {
    int count;
    float* xyz;       // 3 floats a particle
    float* xy_scale;  // 2 floats a particle, or null for 1 and 1
};

// Cue positions, 22050 Hz samples.
extern int drum0_pos, drum1_pos, drum2_pos, drum3_pos, drum4_pos, drum5_pos;
extern int pos_zoom_out_wall, pos_zoomed_out_wall, pos_light_dims_down, pos_start_rotate, pos_rotating;
extern int room_wall_remove_pos, room_stars_show_pos;

// Sets the cue positions, zeroes p and builds the sides (from asset meshes 2
// to 7) and the phong tables from arena. tmp_arena is not used.
void demo_room_init(demo_assets* assets, memarena* arena, demo_room* p, memarena* tmp_arena);
// One frame at g_dtf into fc (ARGB1555 with a coverage pair). tmp_arena is not used.
void demo_room_update(demo_room* p, n3d_frame_context* fc, memarena* tmp_arena);
// This frame's drum-driven bulge of the walls, rewritten from the loaded meshes.
void demo_room_distort(demo_room* p);
// The same with the side walls sinking to the floor after the walls' removal.
void demo_room_distort_fall(demo_room* p);
// One additive square sprite per particle into rc's ARGB1555 framebuffer with
// rc's ARGB1555 texture texture_id (swizzled 256 x 256); mvp is clip from model,
// model_view_pos the viewer in model space. Another framebuffer format or
// texture stops through the crash path.
void particles_draw(n3d_render_context* rc, int texture_id, const mat4x4 mvp, const vec3 model_view_pos,
                    const mesh_particles* particles);
