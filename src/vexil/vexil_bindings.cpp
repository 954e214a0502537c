#include "vexil/vexil_bindings.h"

#include "vexil/vexil_scenes.h"
#include "vexil/vexil_scenes_overlay.h"
#include "vexil/vexil_scenes_video.h"

// In this order: the lookup takes the first row whose name begins with the
// requested name. A row is one kind: its functions, the least each of its arrays
// must hold after either configuration path, and its own checks. A row whose
// scene_func is null is a kind not built into this program yet.
const vexil_binding_func bindings[VEXIL_BINDINGS_COUNT] = {
    {"load_sync", scene_load_sync, scene_load_sync_parse_args, {}, nullptr},
    {"load_async", scene_load_async, scene_load_async_parse_args, {}, nullptr},
    {"music_start", scene_music_start, scene_music_start_parse_args, {}, nullptr, VEXIL_BINDING_STARTS_THE_CLOCK},
    {"music_sync", scene_music_sync, scene_music_sync_parse_args, {}, nullptr},
    {"overlay_load_progress", scene_overlay_load_progress, nullptr,
     {.ints = 7, .floats = 1, .palettes = 1, .images = 1}, nullptr},
    {"overlay_stencil_animation", scene_overlay_stencil_animation, nullptr, {.ints = 1, .floats = 1, .stencils = 1},
     scene_overlay_color8_validate},
    {"overlay_rle_image", scene_overlay_rle_image, scene_overlay_rle_image_parse_args,
     {.ints = 6, .rle_images = 1}, scene_overlay_rle_image_validate},
    {"overlay_clear", scene_overlay_clear, scene_overlay_clear_parse_args, {.ints = 1}, scene_overlay_color8_validate},
    {"overlay_backbuffer_clear", scene_overlay_backbuffer_clear, scene_overlay_backbuffer_clear_parse_args,
     {.ints = 2}, scene_overlay_backbuffer_clear_validate},
    {"overlay_stencil_set", scene_overlay_stencil_set, scene_overlay_stencil_set_parse_args,
     {.ints = 3, .stencils = 1}, scene_overlay_stencil_set_validate},
    {"overlay_clut_fade_to_color", scene_overlay_clut_fade_to_color, scene_overlay_clut_fade_to_color_parse_args,
     {.ints = 5}, scene_clut_fade_to_color_validate},
    {"overlay_clut_set", scene_overlay_clut_set, scene_overlay_clut_set_parse_args, {.palettes = 1},
     scene_overlay_clut_set_validate},
    {"overlay_heal", scene_overlay_heal, scene_overlay_heal_parse_args, {.ints = 1},
     scene_overlay_backbuffer_validate},
    {"overlay_scale", scene_overlay_scale, scene_overlay_scale_parse_args, {.ints = 7, .textures = 1}, nullptr},
    {"overlay_stroke", scene_overlay_stroke, scene_overlay_stroke_parse_args, {.ints = 5, .floats = 2, .images = 1},
     scene_overlay_stroke_validate},
    {"overlay_palette_animation", scene_overlay_palette_animation, scene_overlay_palette_animation_parse_args,
     {.ints = 2, .floats = 1, .palette_animations = 1}, scene_overlay_palette_animation_validate},
    {"overlay_starfield", scene_overlay_starfield, scene_overlay_starfield_parse_args,
     {.ints = 6, .floats = 2, .palettes = 1}, scene_overlay_starfield_validate},
    {"overlay_clut_set1_pulsate", scene_overlay_clut_set1_pulsate, scene_overlay_clut_set1_pulsate_parse_args,
     {.ints = 7, .floats = 2}, scene_overlay_clut_set1_pulsate_validate},
    {"fade_out_music", scene_fade_out_music, scene_fade_out_music_parse_args, {}, nullptr},
    {"video_clut_reset", scene_video_clut_reset, nullptr, {}, nullptr},
    {"video_clut_fade_to_color", scene_video_clut_fade_to_color, scene_video_clut_fade_to_color_parse_args,
     {.ints = 5}, scene_clut_fade_to_color_validate},
    {"video_clear", scene_video_clear, scene_video_clear_parse_args, {.ints = 3}, scene_video_clear_validate},
    {"video_tunnel", scene_video_tunnel, scene_video_tunnel_parse_args, {.floats = 2, .textures = 1}, nullptr},
    {"video_bumpmap", scene_video_bumpmap, scene_video_bumpmap_parse_args,
     {.ints = 4, .floats = 2, .stencils = 1, .textures = 2, .colors = 4}, nullptr},
    {"video_background", scene_video_background, scene_video_background_parse_args, {.ints = 4, .textures = 1},
     scene_video_background_validate},
    {"video_madpack", scene_video_madpack, scene_video_madpack_parse_args, {.floats = 2, .madpacks = 1},
     scene_video_madpack_validate},
    {"video_madpack_greets", scene_video_madpack_greets, scene_video_madpack_greets_parse_args,
     {.floats = 2, .madpacks = 1, .fonts = 1}, scene_video_madpack_validate},
};
const int bindings_count = VEXIL_BINDINGS_COUNT;

void vexil_bindings_register(vexil* d)
{
    d->bindings = bindings;
    d->bindings_count = bindings_count;
}
