// Scene loading: a sequence row's function name bound to the first scene kind whose
// name it begins, the scene configured from an ini resource ("@name") or from the
// row's comma-separated arguments, then checked once against what its kind needs.
// Called by the sequence walk and the loading scenes on the main thread; the kinds
// come from the runtime record (vexil_bindings_register); arrays go to
// "vexil_arena", scratch to "vexil_tmp_arena". Every refusal stops through the crash path.
#pragma once

#include "core/memarena.h"
#include "vexil/vexil.h"

struct vexil_scene_parse_context {
    vexil* d;
    vexil_sequence_row* row;
    memarena* arena;      // "vexil_arena": the scene's arrays and strings
    memarena* tmp_arena;  // "vexil_tmp_arena"
};

typedef void vexil_scene_parse_args_func(vexil_scene* scene, vexil_scene_parse_context* ctx);
// Runs once the scene is configured, by either path; stops on what the kind refuses.
typedef void vexil_scene_validate_func(vexil_scene* scene, vexil_scene_parse_context* ctx);

// The least number of entries a kind reads from each of the scene's arrays.
struct vexil_scene_needs {
    int ints = 0, floats = 0, palettes = 0, rle_images = 0, images = 0, stencils = 0, textures = 0;
    int palette_animations = 0, madpacks = 0, colors = 0, fonts = 0, music_tracks = 0;
};

// One scene kind. A kind not built into this program has a null scene_func: found
// by name, but it cannot be loaded.
struct vexil_binding_func {
    const char* name;
    vexil_scene_func* scene_func;
    vexil_scene_parse_args_func* parse_args_func;  // null: no comma-separated arguments
    vexil_scene_needs needs;
    vexil_scene_validate_func* validate_func;  // null: nothing beyond the needs
    int flags = 0;                             // VEXIL_BINDING_*
};

// The kind hands the music to the player, which is what moves the clock from 0:
// a row of it that starts later gets its running call (at local time 0) once it
// is prepared while the clock still stands at 0, else such a row would wait for
// a clock that never moves.
#define VEXIL_BINDING_STARTS_THE_CLOCK 1
// The kind's cleanup ends the production (the host loop stops); a sequence
// without a row of such a kind plays until the program is told to quit.
#define VEXIL_BINDING_ENDS_THE_PRODUCTION 2

// Handed to the ini handlers while a scene is configured from an ini resource.
struct vexil_parse_ini_scene_user {
    vexil* d;
    vexil_scene* scene;
    memarena* arena;
    memarena* tmp_arena;
    const vexil_binding_func* bindings;
    int bindings_count;
};

// The first row in table order whose name agrees with name in its first name_n
// characters, or null.
const vexil_binding_func* vexil_find_binding_by_name(const vexil_binding_func* table, int table_count, const char* name,
                                                     int name_n);
// The flags of the kind the row's function name binds, 0 when none.
int vexil_binding_flags_of_row(const vexil* d, const vexil_sequence_row* row);
// Binds and configures the row's scene unless it is loaded already.
void vexil_load_scene(vexil* d, vexil_scene* scene, vexil_sequence_row* row);
// A check of what a scene was configured with, refused when the row's scene is
// loaded: the check's own message (fmt, ending in a newline), then the line
// "<function>: <subject> (sequence line <line>)", where subject names what was
// read (for example: texture "name"). Through the crash path, on standard error.
[[noreturn]] void vexil_scene_refuse(const vexil_scene_parse_context* ctx, const char* subject, const char* fmt, ...)
    CRASH_PRINTF_FORMAT(3, 4);

// Ini handlers of scene configuration (user is a vexil_parse_ini_scene_user).
void vexil_parse_ini_scene_key_value(char* key, int key_n, char* value, int value_n, void* user);
void vexil_parse_ini_scene_key_array(char* key, int key_n, char* value, int value_n, int index, int array_length,
                                     void* user);
