// Overlay and colour-table scene kinds (loading bar, stencil animation, run-length
// images, clears, stencils, healing, scaled frames, strokes, palette animations,
// starfield, colour-table pulses and fades): their functions, argument parsers, the
// checks each kind makes once configured, and shared time functions. Called through
// the bindings table on the main thread; state from the demo arena, arrays from the
// parse context's arena. Refused arguments stop through the crash path, naming the line.
#pragma once

struct vexil_scene;
struct vexil_args;
struct vexil_scene_parse_context;

// local_t / duration_t; exactly 1 for a zero-length row.
float normalized_duration(vexil_scene* scene);
// Reveal level 0..255 at time t of a stroke with draw, hold and erase phases of
// d, h and e seconds.
float stroke_frame(float t, float d, float h, float e);
// 1 - |2x - 1| with x the fractional part of t x inv_period.
float time_triangle(float t, float inv_period);

void scene_overlay_load_progress(vexil_scene* scene, vexil_args* args);
void scene_overlay_stencil_animation(vexil_scene* scene, vexil_args* args);
void scene_overlay_rle_image(vexil_scene* scene, vexil_args* args);
void scene_overlay_rle_image_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clear(vexil_scene* scene, vexil_args* args);
void scene_overlay_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_backbuffer_clear(vexil_scene* scene, vexil_args* args);
void scene_overlay_backbuffer_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// ints[0] names one of the three back buffers (overlay_heal); with ints[1] a colour index
// (overlay_backbuffer_clear).
void scene_overlay_backbuffer_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_backbuffer_clear_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
// ints[0] is an overlay colour index (overlay_clear, overlay_stencil_animation).
void scene_overlay_color8_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_rle_image_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_stencil_set(vexil_scene* scene, vexil_args* args);
void scene_overlay_stencil_set_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_stencil_set_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_heal(vexil_scene* scene, vexil_args* args);
void scene_overlay_heal_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_scale(vexil_scene* scene, vexil_args* args);
void scene_overlay_scale_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The scaled frame's checks of its texture, made when the row's scene is loaded:
// index8 display texels, unswizzled.
void scene_overlay_scale_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_stroke(vexil_scene* scene, vexil_args* args);
void scene_overlay_stroke_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_stroke_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_palette_animation(vexil_scene* scene, vexil_args* args);
void scene_overlay_palette_animation_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_palette_animation_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_starfield(vexil_scene* scene, vexil_args* args);
void scene_overlay_starfield_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_starfield_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clut_set1_pulsate(vexil_scene* scene, vexil_args* args);
void scene_overlay_clut_set1_pulsate_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clut_set1_pulsate_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clut_fade_to_color(vexil_scene* scene, vexil_args* args);
void scene_overlay_clut_fade_to_color_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clut_set(vexil_scene* scene, vexil_args* args);
void scene_overlay_clut_set_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_overlay_clut_set_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
void scene_video_clut_reset(vexil_scene* scene, vexil_args* args);
void scene_video_clut_fade_to_color(vexil_scene* scene, vexil_args* args);
void scene_video_clut_fade_to_color_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx);
// The colour-table range of both fades fits the 256 entries.
void scene_clut_fade_to_color_validate(vexil_scene* scene, vexil_scene_parse_context* ctx);
