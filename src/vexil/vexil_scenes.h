// Scene bindings (27 kinds looked up by name prefix), scene loading from an ini
// resource ("@name") or comma-separated arguments, the argument parsers, and the
// control scene kinds (loading, music start and sync, the closing fade). Called
// by the sequence walk and the loading scenes on the main thread; arrays go to
// "vexil_arena", scratch to "vexil_tmp_arena". Bad arguments, unknown names and
// missing resources stop through the crash path.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "vexil/vexil.h"

struct vexil_scene_parse_context {
    vexil* d;
    vexil_sequence_row* row;
    memarena* arena;      // "vexil_arena": the scene's arrays and strings
    memarena* tmp_arena;  // "vexil_tmp_arena"
};

typedef void vexil_scene_parse_args_func(vexil_scene* scene, vexil_scene_parse_context* ctx);

struct vexil_binding_func {
    const char* name;
    vexil_scene_func* scene_func;
    vexil_scene_parse_args_func* parse_args_func;  // null: no comma-separated arguments
};

#define VEXIL_BINDINGS_COUNT 27
extern vexil_binding_func bindings[VEXIL_BINDINGS_COUNT];
extern int bindings_count;

// Handed to the ini handlers while a scene is configured from an ini resource.
struct vexil_parse_ini_scene_user {
    vexil* d;
    vexil_scene* scene;
    memarena* arena;
    memarena* tmp_arena;
    vexil_binding_func* bindings;
    int bindings_count;
};

// A parsed "#RRGGBBAA" colour.
struct vexil_color {
    uint32_t rgba8888;  // 0xRRGGBBAA
    vec4 linear;        // linear light, premultiplied
    uint16_t argb1555;  // alpha bit set when alpha > 127, then the top 5 bits of r, g, b
};

// The first row in table order whose name agrees with name in its first name_n
// characters, or null.
vexil_binding_func* vexil_find_binding_by_name(vexil_binding_func* table, int table_count, const char* name,
                                               int name_n);
// Binds and configures the row's scene unless it is loaded already.
void vexil_load_scene(vexil* d, vexil_scene* scene, vexil_sequence_row* row);

// Ini handlers of scene configuration (user is a vexil_parse_ini_scene_user).
void vexil_parse_ini_scene_key_value(char* key, int key_n, char* value, int value_n, void* user);
void vexil_parse_ini_scene_key_array(char* key, int key_n, char* value, int value_n, int index, int array_length,
                                     void* user);

// Argument parsers: each reads at *s inside row->args and advances the cursor.
// parse_arg_int adds one to *int_count for every integer read.
int parse_arg_int(int* int_count, char** s, vexil_sequence_row* row);
float parse_arg_float(char** s, vexil_sequence_row* row);
char* parse_arg_str(char** s, vexil_sequence_row* row, memarena* arena);
vexil_color parse_arg_color(char** s, vexil_sequence_row* row, memarena* tmp_arena);
// 0 on success ("0"-"9", "a"-"f", "A"-"F").
int vexil_hexchr_to_int(int* result, char c);

// a + (b - a) x t with t clamped to [0, 1].
float mix(float a, float b, float t);

// Control scene kinds.
void scene_load_sync(vexil_scene* scene, vexil_args* args);
void scene_load_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_load_async(vexil_scene* scene, vexil_args* args);
void scene_load_async_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_music_start(vexil_scene* scene, vexil_args* args);
void scene_music_start_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_music_sync(vexil_scene* scene, vexil_args* args);
void scene_music_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_fade_out_music(vexil_scene* scene, vexil_args* args);
void scene_fade_out_music_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// Takes the scene signature and does nothing; no binding names it.
void scene_barrier_completion(vexil_scene* scene, vexil_args* args);
void scene_barrier_completion_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
