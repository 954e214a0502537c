#include "vexil/vexil_scenes.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "host/demo_music.h"
#include "image/texel.h"
#include "vexil/parse_ini.h"
#include "vexil/vexil_scenes_overlay.h"

#define VEXIL_SCENES_CRASH(...) mycrash("src/vexil_scenes", __LINE__, "", __VA_ARGS__)
#define VEXIL_CRASH(...) mycrash("src/vexil", __LINE__, "", __VA_ARGS__)

// The fade of fade_out_music runs over the last 3 s of its row.
#define VEXIL_FADE_OUT_MUSIC_FRAMES 66150

// In this order: the lookup takes the first row whose name begins with the
// requested name. A row whose scene_func is null is a kind not built into this
// program yet: found by name, but it cannot be loaded.
vexil_binding_func bindings[VEXIL_BINDINGS_COUNT] = {
    {"load_sync", scene_load_sync, scene_load_sync_parse_args},
    {"load_async", scene_load_async, scene_load_async_parse_args},
    {"music_start", scene_music_start, scene_music_start_parse_args},
    {"music_sync", scene_music_sync, scene_music_sync_parse_args},
    {"overlay_load_progress", scene_overlay_load_progress, nullptr},
    {"overlay_stencil_animation", scene_overlay_stencil_animation, nullptr},
    {"overlay_rle_image", scene_overlay_rle_image, scene_overlay_rle_image_parse_args},
    {"overlay_clear", scene_overlay_clear, scene_overlay_clear_parse_args},
    {"overlay_backbuffer_clear", scene_overlay_backbuffer_clear, scene_overlay_backbuffer_clear_parse_args},
    {"overlay_stencil_set", scene_overlay_stencil_set, scene_overlay_stencil_set_parse_args},
    {"overlay_clut_fade_to_color", scene_overlay_clut_fade_to_color, scene_overlay_clut_fade_to_color_parse_args},
    {"overlay_clut_set", scene_overlay_clut_set, scene_overlay_clut_set_parse_args},
    {"overlay_heal", scene_overlay_heal, scene_overlay_heal_parse_args},
    {"overlay_scale", scene_overlay_scale, scene_overlay_scale_parse_args},
    {"overlay_stroke", scene_overlay_stroke, scene_overlay_stroke_parse_args},
    {"overlay_palette_animation", scene_overlay_palette_animation, scene_overlay_palette_animation_parse_args},
    {"overlay_starfield", scene_overlay_starfield, scene_overlay_starfield_parse_args},
    {"overlay_clut_set1_pulsate", scene_overlay_clut_set1_pulsate, scene_overlay_clut_set1_pulsate_parse_args},
    {"fade_out_music", scene_fade_out_music, scene_fade_out_music_parse_args},
    {"video_clut_reset", scene_video_clut_reset, nullptr},
    {"video_clut_fade_to_color", scene_video_clut_fade_to_color, scene_video_clut_fade_to_color_parse_args},
    {"video_clear", nullptr, nullptr},                 // video scenes
    {"video_tunnel", nullptr, nullptr},                // video scenes
    {"video_bumpmap", nullptr, nullptr},               // video scenes
    {"video_background", nullptr, nullptr},            // video scenes
    {"video_madpack", nullptr, nullptr},               // video scenes
    {"video_madpack_greets", nullptr, nullptr},        // video scenes
};
int bindings_count = VEXIL_BINDINGS_COUNT;

vexil_binding_func* vexil_find_binding_by_name(vexil_binding_func* table, int table_count, const char* name,
                                               int name_n)
{
    for (int i = 0; i < table_count; i++)
        if (strncmp(table[i].name, name, (size_t)name_n) == 0)
            return &table[i];
    return nullptr;
}

void vexil_load_scene(vexil* d, vexil_scene* scene, vexil_sequence_row* row)
{
    uint64_t tmp_marker = memarena_get_marker(d->tmp_arena);
    cycles_t t0 = cycles_measure_get();
    vexil_binding_func* binding =
        vexil_find_binding_by_name(bindings, bindings_count, row->func_name, (int)strlen(row->func_name));
    if (scene->loaded)
        return;
    if (!binding || !binding->scene_func)
        VEXIL_CRASH("failed find binding for \"%s\" on line: %d\n", row->func_name, row->line);
    scene->scene_func = binding->scene_func;

    if (row->args && row->args[0] == '@') {
        const char* name = row->args + 1;
        char* text = static_cast<char*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_TEXT));
        if (!text)
            VEXIL_CRASH("failed open ini file (line: %d in sequence file): \"%s\"\n", row->line, name);
        vexil_parse_ini_scene_user user = {d, scene, d->arena, d->tmp_arena, bindings, bindings_count};
        parse_ini(text, name, vexil_parse_ini_scene_key_value, vexil_parse_ini_scene_key_array, &user);
        row->args = nullptr;
    }
    if (row->args) {
        if (!binding->parse_args_func)
            VEXIL_CRASH("sequence args not supported for function \"%s\" (line: %d in sequence file)\n",
                        row->func_name, row->line);
        vexil_scene_parse_context ctx = {d, row, d->arena, d->tmp_arena};
        binding->parse_args_func(scene, &ctx);
    }
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
            vexil_ini_array_store(&s->palette_animations, &s->palette_animations_count, u->arena, index,
                                  array_length, vexil_load_palette_animation(u->d, value));
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
            vexil_ini_array_store(&s->floats, &s->floats_count, u->arena, index, array_length, (float)atof(value));
            break;
        }
        return;
    }
    printf("[%.*s][%d/%d]=[%.*s] - unhandled key array?\n", key_n, key, index, array_length, value_n, value);
}

// ---- argument parsers ----

int parse_arg_int(int* int_count, char** s, vexil_sequence_row* row)
{
    char* end = nullptr;
    long v = strtol(*s, &end, 10);
    if (end == *s || v < INT_MIN || v > INT_MAX)
        VEXIL_SCENES_CRASH("parse_arg_int failed \"%s\" (sequence line %d, args: \"%s\")\n", *s, row->line,
                           row->args ? row->args : "");
    if (*end == ',')
        end++;
    *s = end;
    (*int_count)++;
    return (int)v;
}

float parse_arg_float(char** s, vexil_sequence_row* row)
{
    char* end = nullptr;
    float v = strtof(*s, &end);
    if (end == *s)
        VEXIL_SCENES_CRASH("parse_arg_float failed \"%s\" (sequence line %d, args: \"%s\")\n", *s, row->line,
                           row->args ? row->args : "");
    if (*end == ',')
        end++;
    *s = end;
    return v;
}

char* parse_arg_str(char** s, vexil_sequence_row* row, memarena* arena)
{
    (void)row;
    char* p = *s;
    char* start = p;
    while (*p && *p != ',' && *p != '\n')
        p++;
    size_t n = (size_t)(p - start);
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, start, n);
    r[n] = 0;
    if (*p == ',')
        p++;
    *s = p;
    return r;
}

int vexil_hexchr_to_int(int* result, char c)
{
    if (c >= '0' && c <= '9')
        *result = c - '0';
    else if (c >= 'a' && c <= 'f')
        *result = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *result = c - 'A' + 10;
    else
        return 1;
    return 0;
}

vexil_color parse_arg_color(char** s, vexil_sequence_row* row, memarena* tmp_arena)
{
    char* str = parse_arg_str(s, row, tmp_arena);
    if (str[0] != '#')
        VEXIL_SCENES_CRASH("expected '#' for start of hexcolor on line: %d\n", row->line);
    if (strlen(str) != 9)
        VEXIL_SCENES_CRASH("expected 4 hex values of 2 digits, e.g. #00112233 (for r,g,b,a) on line: %d\n",
                           row->line);
    int v[4];
    for (int i = 0; i < 4; i++) {
        int hi, lo;
        if (vexil_hexchr_to_int(&hi, str[1 + 2 * i]) || vexil_hexchr_to_int(&lo, str[2 + 2 * i]))
            VEXIL_SCENES_CRASH("could not parse color value after # (invalid hex?) on line: %d\n", row->line);
        v[i] = hi * 16 + lo;
    }
    vexil_color c = {};
    uint32_t r = (uint32_t)v[0], g = (uint32_t)v[1], b = (uint32_t)v[2], a = (uint32_t)v[3];
    c.rgba8888 = r << 24 | g << 16 | b << 8 | a;
    c.argb1555 = (uint16_t)((a > 127 ? 1u : 0u) << 15 | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
    vec4_linear_from_srgb_a_u8(c.linear, (uint8_t)r, (uint8_t)g, (uint8_t)b, (uint8_t)a);
    return c;
}

float mix(float a, float b, float t)
{
    if (t < 0)
        t = 0;
    if (t > 1)
        t = 1;
    return a + (b - a) * t;
}

// ---- control scenes ----

// Makes sure the scene's ints array holds at least n entries.
static void vexil_scene_reserve_ints(vexil_scene* scene, memarena* arena, int n)
{
    if (scene->ints && scene->ints_count >= n)
        return;
    int* ints = memarena_push_array_zeroed<int>(arena, (uint64_t)n);
    if (scene->ints)
        memcpy(ints, scene->ints, sizeof(int) * (size_t)scene->ints_count);
    scene->ints = ints;
}

static void vexil_scene_parse_label_row(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    vexil_sequence_label* label = vexil_sequence_find_label(&ctx->d->sequence, name);
    if (!label)
        VEXIL_SCENES_CRASH("could not find label \"%s\" in sequence!\n", name);
    vexil_scene_reserve_ints(scene, ctx->arena, 1);
    scene->ints[0] = label->row_i;
    scene->ints_count = 1;
}

// The row the loading stops before. An ini file may give any integer: it is
// kept within the sequence's rows.
static int vexil_scene_label_row(const vexil_scene* scene, const vexil* d)
{
    int n = scene->ints_count > 0 ? scene->ints[0] : 0;
    if (n < 0)
        n = 0;
    if (n > d->sequence.rows_count)
        n = d->sequence.rows_count;
    return n;
}

static void vexil_load_row_scene(vexil* d, int row_i)
{
    vexil_sequence_row* row = &d->sequence.rows[row_i];
    vexil_load_scene(d, &d->scenes[row->scene_index], row);
}

void scene_load_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    vexil_scene_parse_label_row(scene, ctx);
}

void scene_load_sync(vexil_scene* scene, vexil_args* args)
{
    int n = vexil_scene_label_row(scene, args->d);
    for (int i = 0; i < n; i++)
        vexil_load_row_scene(args->d, i);
    scene->completed_prepare = 1;
}

void scene_load_async_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    vexil_scene_parse_label_row(scene, ctx);
    scene->state.load_async_row = 0;
}

// One scene per call, so the load spreads over the prepare calls of both kinds.
void scene_load_async(vexil_scene* scene, vexil_args* args)
{
    if (vexil_scene_label_row(scene, args->d) > scene->state.load_async_row) {
        vexil_load_row_scene(args->d, scene->state.load_async_row);
        scene->state.load_async_row++;
        return;
    }
    scene->completed_prepare = 1;
}

void scene_music_start_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    vexil_music* music = vexil_load_music(ctx->d, name);
    if (!scene->music_tracks || scene->music_tracks_count < 1)
        scene->music_tracks = memarena_push_array_zeroed<vexil_music*>(ctx->arena, 1);
    scene->music_tracks[0] = music;
    scene->music_tracks_count = 1;
}

void scene_music_start(vexil_scene* scene, vexil_args* args)
{
    (void)args;
    if (!scene->completed_prepare) {
        scene->completed_prepare = 1;
        return;
    }
    // Handed over once, in the first running call of either kind: a second
    // hand-over (a cleanup call, or the loop pass's first running call after
    // the vertical blank's) resets the decoders while the clock runs on, and
    // the rest of the music decodes wrongly from that frame on.
    if (scene->is_running && !scene->is_cleanup && scene->is_first_run && scene->vbl_is_first_run &&
        scene->music_tracks_count > 0) {
        vexil_music* m = scene->music_tracks[0];
        demo_music_load(m->buffer, (int)m->size, 0, 0);
    }
}

// Its argument is the music position read by the sequence loader.
void scene_music_sync_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}

void scene_music_sync(vexil_scene* scene, vexil_args* args)
{
    (void)args;
    scene->completed_prepare = 1;
}

void scene_fade_out_music_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}

void scene_fade_out_music(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        scene->completed_prepare = 1;
        return;
    }
    if (!scene->is_running)
        return;
    if (scene->is_cleanup) {
        args->d->quit = 1;
        return;
    }
    if (scene->is_first_run) {
        int64_t fade = (int64_t)scene->duration_samples +
                       demo_music_frame_position.load(std::memory_order_relaxed) - VEXIL_FADE_OUT_MUSIC_FRAMES;
        if (fade < INT_MIN)
            fade = INT_MIN;
        if (fade > INT_MAX)
            fade = INT_MAX;
        demo_music_fade_out_set((int)fade);
    }
}

void scene_barrier_completion(vexil_scene* scene, vexil_args* args)
{
    (void)scene;
    (void)args;
}

void scene_barrier_completion_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    (void)scene;
    (void)ctx;
}
