#include "vexil/vexil_scene_load.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cycles_measure.h"
#include "vexil/parse_ini.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_rsrc.h"

static void vexil_scene_check_count(int have, int need, const char* what, vexil_sequence_row* row)
{
    if (have < need)
        VEXIL_SCENES_CRASH("%s: needs at least %d %s, has %d (sequence line %d)\n", row->func_name, need, what, have,
                           row->line);
}

// Speeds, durations and angles: a float that is not a finite number is refused
// by either path (strtof and strtod both read "nan" and "inf").
static void vexil_scene_check_floats(vexil_scene* s, vexil_sequence_row* row)
{
    for (int i = 0; i < s->floats_count && s->floats; i++)
        if (!std::isfinite(s->floats[i]))
            VEXIL_SCENES_CRASH("%s: floats[%d] is %f, must be a finite number (sequence line %d)\n", row->func_name, i,
                               (double)s->floats[i], row->line);
}

// The arrays are named as the ini keys that fill them.
static void vexil_scene_check_needs(vexil_scene* s, vexil_sequence_row* row, const vexil_scene_needs* n)
{
    vexil_scene_check_count(s->ints_count, n->ints, "integers", row);
    vexil_scene_check_count(s->floats_count, n->floats, "floats", row);
    vexil_scene_check_count(s->palettes_count, n->palettes, "palettes", row);
    vexil_scene_check_count(s->rle_images_count, n->rle_images, "rle_images", row);
    vexil_scene_check_count(s->images_count, n->images, "images", row);
    vexil_scene_check_count(s->stencils_count, n->stencils, "stencils", row);
    vexil_scene_check_count(s->textures_count, n->textures, "textures", row);
    vexil_scene_check_count(s->palette_animations_count, n->palette_animations, "palette_animations", row);
    vexil_scene_check_count(s->madpacks_count, n->madpacks, "madpacks", row);
    vexil_scene_check_count(s->colors_count, n->colors, "colors", row);
    vexil_scene_check_count(s->fonts_count, n->fonts, "fonts", row);
    vexil_scene_check_count(s->music_tracks_count, n->music_tracks, "music_tracks", row);
}

void vexil_scene_refuse(const vexil_scene_parse_context* ctx, const char* subject, const char* fmt, ...)
{
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    char* message = static_cast<char*>(memarena_push(ctx->tmp_arena, (uint64_t)(n > 0 ? n : 0) + 1));
    vsnprintf(message, (size_t)(n > 0 ? n : 0) + 1, fmt, again);
    va_end(again);
    VEXIL_SCENES_CRASH("%s%s: %s (sequence line %d)\n", message, ctx->row->func_name, subject, ctx->row->line);
}

const vexil_binding_func* vexil_find_binding_by_name(const vexil_binding_func* table, int table_count, const char* name,
                                                     int name_n)
{
    for (int i = 0; i < table_count; i++)
        if (strncmp(table[i].name, name, (size_t)name_n) == 0)
            return &table[i];
    return nullptr;
}

int vexil_binding_flags_of_row(const vexil* d, const vexil_sequence_row* row)
{
    if (!row->func_name[0])
        return 0;
    const vexil_binding_func* b =
        vexil_find_binding_by_name(d->bindings, d->bindings_count, row->func_name, (int)strlen(row->func_name));
    return b ? b->flags : 0;
}

void vexil_load_scene(vexil* d, vexil_scene* scene, vexil_sequence_row* row)
{
    uint64_t tmp_marker = memarena_get_marker(d->tmp_arena);
    cycles_t t0 = cycles_measure_get();
    const vexil_binding_func* binding =
        vexil_find_binding_by_name(d->bindings, d->bindings_count, row->func_name, (int)strlen(row->func_name));
    if (scene->loaded)
        return;
    // An empty name begins every name: it would bind the first kind.
    if (!row->func_name[0])
        VEXIL_CRASH("no function name on line: %d\n", row->line);
    if (!binding || !binding->scene_func)
        VEXIL_CRASH("failed find binding for \"%s\" on line: %d\n", row->func_name, row->line);
    scene->scene_func = binding->scene_func;
    scene->binding_flags = binding->flags;

    if (row->args && row->args[0] == '@') {
        const char* name = row->args + 1;
        char* text = static_cast<char*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_TEXT));
        if (!text)
            VEXIL_CRASH("failed open ini file (line: %d in sequence file): \"%s\"\n", row->line, name);
        vexil_parse_ini_scene_user user = {d, scene, d->arena, d->tmp_arena, d->bindings, d->bindings_count};
        parse_ini(text, name, vexil_parse_ini_scene_key_value, vexil_parse_ini_scene_key_array, &user);
        row->args = nullptr;
    }
    vexil_scene_parse_context ctx = {d, row, d->arena, d->tmp_arena};
    if (row->args) {
        if (!binding->parse_args_func)
            VEXIL_CRASH("sequence args not supported for function \"%s\" (line: %d in sequence file)\n", row->func_name,
                        row->line);
        binding->parse_args_func(scene, &ctx);
    }
    // Either path ends here: each check and its message exist once.
    vexil_scene_check_needs(scene, row, &binding->needs);
    vexil_scene_check_floats(scene, row);
    if (binding->validate_func)
        binding->validate_func(scene, &ctx);
    if (!scene->name)
        scene->name = row->func_name;
    scene->is_first_run = 1;
    scene->vbl_is_first_run = 1;
    scene->loaded = 1;
    scene->cycles_load = cycles_measure_get_delta(t0);
    memarena_goto_marker(d->tmp_arena, tmp_marker);
}

// ---- ini configuration ----

// The key is compared over its own length: the first name it begins wins.
static int vexil_ini_key_matches(const char* name, const char* key, int key_n)
{
    return (size_t)key_n <= strlen(name) && strncmp(name, key, (size_t)key_n) == 0;
}

void vexil_parse_ini_scene_key_value(char* key, int key_n, char* value, int value_n, void* user)
{
    vexil_parse_ini_scene_user* u = static_cast<vexil_parse_ini_scene_user*>(user);
    if (vexil_ini_key_matches("scene_name", key, key_n)) {
        char* name = static_cast<char*>(memarena_push(u->arena, (uint64_t)value_n + 1));
        memcpy(name, value, (size_t)value_n);
        name[value_n] = 0;
        u->scene->name = name;
        return;
    }
    printf("[%.*s]=[%.*s] - unhandled key value pair?\n", key_n, key, value_n, value);
}

enum vexil_ini_array_kind {
    VEXIL_INI_PALETTE_ANIMATIONS,
    VEXIL_INI_PALETTES,
    VEXIL_INI_RLE_IMAGES,
    VEXIL_INI_IMAGES,
    VEXIL_INI_STENCILS,
    VEXIL_INI_TEXTURES,
    VEXIL_INI_INTEGERS,
    VEXIL_INI_FLOATS,
};

static const struct {
    const char* name;
    vexil_ini_array_kind kind;
} vexil_ini_array_keys[] = {
    {"palette_animations", VEXIL_INI_PALETTE_ANIMATIONS},
    {"palettes", VEXIL_INI_PALETTES},
    {"rle_images", VEXIL_INI_RLE_IMAGES},
    {"images", VEXIL_INI_IMAGES},
    {"stencils", VEXIL_INI_STENCILS},
    {"textures", VEXIL_INI_TEXTURES},
    {"integers", VEXIL_INI_INTEGERS},
    {"floats", VEXIL_INI_FLOATS},
};

// At index 0 the array is pushed with the announced count; an array key given
// twice replaces the earlier array.
template <typename T>
static void vexil_ini_array_store(T** array, int* count, memarena* arena, int index, int array_length, T value)
{
    if (index == 0) {
        *array = memarena_push_array_zeroed<T>(arena, (uint64_t)array_length);
        *count = array_length;
    }
    if (*array && index >= 0 && index < *count)
        (*array)[index] = value;
}

void vexil_parse_ini_scene_key_array(char* key, int key_n, char* value, int value_n, int index, int array_length,
                                     void* user)
{
    vexil_parse_ini_scene_user* u = static_cast<vexil_parse_ini_scene_user*>(user);
    vexil_scene* s = u->scene;
    for (const auto& k : vexil_ini_array_keys) {
        if (!vexil_ini_key_matches(k.name, key, key_n))
            continue;
        switch (k.kind) {
        case VEXIL_INI_PALETTE_ANIMATIONS:
            vexil_ini_array_store(&s->palette_animations, &s->palette_animations_count, u->arena, index, array_length,
                                  vexil_load_palette_animation(u->d, value));
            break;
        case VEXIL_INI_PALETTES:
            vexil_ini_array_store(&s->palettes, &s->palettes_count, u->arena, index, array_length,
                                  vexil_load_palette(u->d, value));
            break;
        case VEXIL_INI_RLE_IMAGES:
            vexil_ini_array_store(&s->rle_images, &s->rle_images_count, u->arena, index, array_length,
                                  vexil_load_rle_image(u->d, value));
            break;
        case VEXIL_INI_IMAGES:
            vexil_ini_array_store(&s->images, &s->images_count, u->arena, index, array_length,
                                  vexil_load_image(u->d, value));
            break;
        case VEXIL_INI_STENCILS:
            vexil_ini_array_store(&s->stencils, &s->stencils_count, u->arena, index, array_length,
                                  vexil_load_stencil(u->d, value));
            break;
        case VEXIL_INI_TEXTURES:
            vexil_ini_array_store(&s->textures, &s->textures_count, u->arena, index, array_length,
                                  vexil_load_texture(u->d, value));
            break;
        case VEXIL_INI_INTEGERS:
            vexil_ini_array_store(&s->ints, &s->ints_count, u->arena, index, array_length, atoi(value));
            break;
        case VEXIL_INI_FLOATS:
            // strtod rather than atof, which the Windows C runtime has read "nan"
            // and "inf" as 0, passing the check above as a finite number.
            vexil_ini_array_store(&s->floats, &s->floats_count, u->arena, index, array_length,
                                  (float)strtod(value, nullptr));
            break;
        }
        return;
    }
    printf("[%.*s][%d/%d]=[%.*s] - unhandled key array?\n", key_n, key, index, array_length, value_n, value);
}
