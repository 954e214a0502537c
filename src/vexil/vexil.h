// The production runtime's records: the runtime itself, the argument record every
// scene call receives, the sequence, the scene instances and the resource cache's
// nodes; and the runtime's update and loading steps. Called by the demo system on
// the main thread; data lives in "vexil_arena", scratch in "vexil_tmp_arena" (both
// carved from "demo_arena"). Bad production data stops through the crash path.
#pragma once

#include <cstdint>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/linmath.h"
#include "core/memarena.h"
#include "image/n3d_phong.h"
#include "n3d/n3d.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil_fs.h"

struct valkyrie_context;
struct nanokorg2_state;
struct n3d_texture;
struct palette;
struct palette_animation;
struct vexil_rle_image;
struct vexil_image;
struct mad_datapack;
struct fontbitmap;
struct vexil_starfield;
struct vexil_starfield_star;
struct vexil_stroke;
struct vexil_color;
struct vexil_madfx;
struct greet_state;
struct vexil_music;

struct vexil;
struct vexil_scene;
struct vexil_sequence_row;
struct vexil_binding_func;

#define VEXIL_ARENA_SIZE 31457280ull     // 30 MiB
#define VEXIL_TMP_ARENA_SIZE 6291456ull  // 6 MiB
#define VEXIL_ASSET_DIR "assets/vexil/le"
#define VEXIL_PAKS_COUNT 3
#define VEXIL_OVERLAY_BACKBUFFERS_COUNT 3
#define VEXIL_OVERLAY_STENCILS_COUNT 3
#define VEXIL_STARS_CAPACITY 16384
#define VEXIL_SHADE_TABLE_CACHE_MAX 10
#define VEXIL_SHADE_TABLE_BYTES 16384  // 256 colours x 32 shades of ARGB1555
#define VEXIL_INIT_STEPS_COUNT 3
#define VEXIL_SAMPLE_RATE 22050

// The argument record of vexil_update and of every scene call, built zeroed for
// every update.
struct vexil_args {
    vexil* d;
    vexil_sequence_row* row;  // the row being served; the last row after the walk
    int is_vbl;               // 0 loop pass, 1 vertical blank
    memarena* arena;          // "demo_arena"
    valkyrie_context* video;
    n3d_frame_context* fc_overlay;
    int fc_overlay_backbuffers_count;  // copied from vexil at each walk
    n3d_frame_context* fc_overlay_backbuffers;
    int overlay_stencils_count;
    n3d_coveragebuffer* overlay_stencils;
    n3d_frame_context* fc_videos;  // both page contexts; null in the vertical blank
    n3d_frame_context* fc;         // the back page's context
    int interlaced_odd;
    nanokorg2_state* nk2;
    uint8_t* keys_ascii;  // 256 entries indexed by key code: held keys
    int mouse_xy[2];
    int mouse_rel_xy[2];
};

// A scene kind's function; the scene's fields say which kind of call it is.
typedef void vexil_scene_func(vexil_scene* scene, vexil_args* args);

struct vexil_performance {
    int frames_count;
    cycles_t frames_ticks;
    int vbl_frames_count;
    cycles_t vbl_frames_ticks;
};

// ---- sequence ----

struct vexil_sequence_label {
    char* name;
    int line_i;
    int row_i;  // the row after the label line
};

struct vexil_sequence_barrier {
    char* name;  // left null
    int flags;   // 1: "prev_completed"
    int line_i;
    int row_i;  // the row before the barrier line
};

#define VEXIL_SEQUENCE_BARRIER_PREV_COMPLETED 1

struct vexil_sequence_row {
    int scene_index;
    int line;  // from 1; the header is line 1
    char* func_name;
    char* args;  // after the comma following func_name; null when none or once an ini configured the scene
    int barrier_flags;
    char* start_op;
    char* start_op_v;
    int start_ms;
    int start_prep_rel_ms;
    char* end_op;
    char* end_op_v;
    int end_ms;
    // Resolved times in 22050 Hz frames; the window is start <= clock < end.
    int start_22050hz;
    int end_22050hz;
    int start_prepare_22050hz;
};

struct vexil_sequence {
    int scenes_count;
    int labels_count;
    vexil_sequence_label* labels;
    int barriers_count;
    vexil_sequence_barrier* barriers;
    int rows_count;
    vexil_sequence_row* rows;
    int music_start_22050hz;  // clock position of the music's first frame
};

// ---- scene instances ----

// Working state of the scene kinds, one record per scene instance.
struct scene_state {
    palette* clut_fade_from;  // colour-table fades: the captured start
    palette* clut_fade_to;
    int interlaced_odd;
    vexil_starfield* starfield;
    vexil_stroke* stroke;
    int load_async_row;
    int load_bar_prev_bar_x1;
    vexil_madfx* madfx;
    greet_state* greet_states;
};

struct vexil_scene {
    int loaded;
    cycles_t cycles_load;
    char* name;  // ini key scene_name, else the row's func_name
    vexil_scene_func* scene_func;
    int ints_count;
    int* ints;
    int floats_count;
    float* floats;
    int palettes_count;
    palette** palettes;
    int rle_images_count;
    vexil_rle_image** rle_images;
    int images_count;
    vexil_image** images;
    int stencils_count;
    n3d_coveragebuffer** stencils;
    int textures_count;
    n3d_texture** textures;
    int palette_animations_count;
    palette_animation** palette_animations;
    int madpacks_count;
    mad_datapack** madpacks;
    int colors_count;
    vexil_color* colors;
    int fonts_count;
    fontbitmap** fonts;
    int music_tracks_count;
    vexil_music** music_tracks;
    uint32_t local_sample;  // since the row's start
    int local_tick60hz;
    float local_t;
    uint32_t duration_samples;
    int duration_tick60hz;
    float duration_t;
    float global_t;  // the clock in seconds
    vexil_performance perf;
    vexil_performance perf_prepare;
    vexil_performance perf_cleanup;
    int is_cleanup;
    int is_running;
    int is_first_run;
    int vbl_is_first_run;
    cycles_t cycles_allowed_to_spend_prepare;  // 0: no limit
    int call_count_running;
    int vbl_call_count_running;
    int completed_prepare;
    int vbl_work_prepared;
    int work_prepared;
    scene_state state;
    int cleanup_done;
    int vbl_cleanup_done;
    int binding_flags;  // the bound kind's VEXIL_BINDING_* flags
};

// ---- resource cache ----

struct vexil_rsrc_node {
    char* name;
    void* ptr;
    vexil_rsrc_node* next;
    int kind;  // what ptr points at: a request of another kind must not get it
};

struct vexil_music {
    uint8_t* buffer;  // inside the pack image
    uint32_t size;
};

struct vexil_shade_table_cache {
    uint16_t* shade_table;
    n3d_texture* texture;  // the key
    int gen;
};

// ---- the runtime ----

struct vexil {
    int quit;  // set by the closing fade_out_music scene
    int init_step;
    cycles_t cycles_per_step[1000];
    int initialized;
    int tick60hz;
    float t;  // tick60hz / 60
    memarena* arena;
    memarena* tmp_arena;
    memarena _arena;      // "vexil_arena"
    memarena _tmp_arena;  // "vexil_tmp_arena"
    int stars_capacity;
    vexil_starfield_star* stars;
    int8_t* cos256_fp7;
    int8_t* sin256_fp7;
    int16_t* cos2048_fp11;
    int16_t* sin2048_fp11;
    float* cos2048_float;
    float* sin2048_float;
    n3d_phong_lut pbr_phong_lut;  // for physically based shade tables
    int shade_table_cache_gen;
    int shade_table_cache_count;
    vexil_shade_table_cache shade_table_cache[VEXIL_SHADE_TABLE_CACHE_MAX];
    vexil_rsrc_node rsrc_node_head;
    n3d_framebuffer uv_map_tunnel;  // 640x480 tunnel lookup map
    int scenes_count;
    vexil_scene* scenes;
    vexil_sequence sequence;
    vexil_performance perf;
    uint8_t keys_ascii_prev[256];
    int fc_overlay_backbuffers_count;
    n3d_frame_context* fc_overlay_backbuffers;
    int overlay_stencils_count;
    n3d_coveragebuffer* overlay_stencils;
    int paks_count;
    vexil_fs* paks;
    // The scene kinds rows are bound to, set by vexil_bindings_register.
    const vexil_binding_func* bindings;
    int bindings_count;
};

// ---- runtime ----

// The production's update, both kinds: seek keys, clock, one loading step per
// call until loaded, then the sequence walk and the debug keys.
void vexil_update(vexil_args* args);
// One loading step (0: arenas, tables, packs, sequence; 1: tunnel map; 2: done).
void vexil_init_step(vexil_args* args);
// A key that went down since the previous initialised update.
int pressed_key(vexil_args* args, char key);
void vexil_end_stats(vexil* d);
// A new string formatted into the arena.
char* memprintf(memarena* arena, const char* fmt, ...) CRASH_PRINTF_FORMAT(2, 3);
// A render context for fc: the textures copied from tc, no light, the camera
// from view_from_world (its inverse computed here) with the given projection.
void vexil_setup_render_context(n3d_render_context* rc, n3d_frame_context* fc, const n3d_textures_context* tc,
                                const mat4x4 view_from_world, float fov_y, float near_plane);
