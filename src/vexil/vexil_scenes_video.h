// The scene kinds of the 16-bit video page: clear, tunnel, bump map, background,
// the animated datapack drawn through the draw-command pipeline with its sky, light
// and free camera, and the datapack as a still backdrop behind two lanes of
// scrolling greetings shown through a dot grid. Called through the bindings table on
// the main thread; arrays from the parse context's arena, per-call scratch from the
// demo arena under a marker. Refused data stops through the crash path or, where the
// object pass meets it, with its message on standard output and exit status 1.
#pragma once

#include <cstdint>

#include "core/linmath.h"

struct vexil;
struct vexil_scene;
struct vexil_args;
struct vexil_scene_parse_context;
struct mad_datapack;
struct n3d_texture;
struct memarena;
struct fontbitmap;

// Slots of the datapack scene's node table, and its animation slots.
#define VEXIL_MADFX_NODE_SKY 0
#define VEXIL_MADFX_NODE_CAMERA 1
#define VEXIL_MADFX_NODE_HEAD 2
#define VEXIL_MADFX_NODES_COUNT 3
#define VEXIL_MADFX_ANIMATIONS_MAX 2

// A name resolved to -1 was not found.
struct vexil_madfx {
    int node_index_lut_count;
    int animation_index_lut_count;
    int node_index_lut[VEXIL_MADFX_NODES_COUNT];
    int animation_index_lut[VEXIL_MADFX_ANIMATIONS_MAX];
};

// A greetings lane: the index of its current greeting and the local time it started.
struct greet_state {
    int counter;
    float t0;
};

// A lane's motion (t0 is not used by it).
struct greet_pos {
    float t0, x0, y0, xdt, amp, omega, phase;
};

// The free camera that replaces the datapack's camera while wasd_move_enable is set.
struct fps_camera {
    vec3 position;
    float yaw;    // radians
    float pitch;  // radians, kept within +-(pi/2 - 0.01)
    float mouse_sens;
    float move_speed;  // units a second
    int prev_mouse_x;
    int prev_mouse_y;
};

extern fps_camera camera;
extern int wasd_move_enable;
// An opaque grey ramp: entry a is the grey of a >> 3.
extern uint16_t alpha_to_argb1555[256];
// The greetings lines, split in place from the text "greetings.ini" (process-wide).
extern char** greets_array;
extern int greets_count;

void fps_camera_init(fps_camera* camera, const vec3 position, float yaw_degrees);
void fps_camera_get(fps_camera* camera, mat4x4 out_view_from_world);
void fps_camera_move(fps_camera* camera, float dyaw, float dpitch, float forward, float right,
                     mat4x4 out_view_from_world);
// Mouse turns, w/s forward and back, a/d (and z/c twice as fast) sideways.
void fps_camera_move_wasd_mouse(fps_camera* camera, const uint8_t* keys_ascii, const int mouse_rel_xy[2],
                                float dt_seconds, mat4x4 out_view_from_world);

// A new string a followed by b.
char* str_cat(memarena* arena, const char* a, const char* b);
// Loads "<image name>.tmap" for every material image of the nodes' meshes into an
// array pushed from arena and points each image's texture_index into it.
void scene_madpack_load_textures(vexil* d, mad_datapack* madpack, memarena* arena, n3d_texture*** out_textures,
                                 int* out_textures_count, memarena* tmp_arena);
// Stops at the first node or animation name that was not found.
void vexil_madfx_validate(const vexil_madfx* madfx);
// The texture's shade table from the runtime's cache, built on first use.
void vexil_shade_table_cache_bind(vexil* d, n3d_texture* texture, memarena* arena);

void scene_video_clear(vexil_scene* scene, vexil_args* args);
void scene_video_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// Components 0 to 255.
void scene_video_clear_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_tunnel(vexil_scene* scene, vexil_args* args);
void scene_video_tunnel_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The colour map: 256x256, ARGB1555, unswizzled (the tunnel reads plain rows).
void scene_video_tunnel_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_bumpmap(vexil_scene* scene, vexil_args* args);
void scene_video_bumpmap_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The bump map's texture checks, made when the row's scene is loaded: the two
// textures of one size holding the drawn window, both unswizzled, index8 colours
// and a bump map.
void scene_video_bumpmap_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_background(vexil_scene* scene, vexil_args* args);
void scene_video_background_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The texture must cover a page, in a format the page copy can lay over it.
void scene_video_background_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_madpack(vexil_scene* scene, vexil_args* args);
void scene_video_madpack_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_madpack_greets(vexil_scene* scene, vexil_args* args);
void scene_video_madpack_greets_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The datapack kinds need the node and animation table their arguments build, a
// camera whose near plane, field of view and transform the projection can use,
// and for every primitive the two passes draw a texture of the pass's format in
// the rasterizers' swizzled layout. Each refusal names the datapack and node.
void scene_video_madpack_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
