#include "vexil/vexil_scenes_overlay.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/linmath.h"
#include "core/linmath_extended.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "core/saturate.h"
#include "host/demo_music.h"
#include "host/valkyrie_context.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "image/texel.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scaleframe.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_starfield.h"
#include "vexil/vexil_stroke.h"

// Overlay colour-table fades complete at 90 % of their row.
#define OVERLAY_CLUT_FADE_END 0.9f
// The camera of the starfield flies forward this many units a second.
#define OVERLAY_STARFIELD_SPEED 0.8f

// ---- shared time functions --------------------------------------------------

float normalized_duration(vexil_scene* scene)
{
    if (scene->duration_t == 0.0f)
        return 1.0f;
    return scene->local_t / scene->duration_t;
}

float stroke_frame(float t, float d, float h, float e)
{
    if (t < 0.0f)
        return 0.0f;
    if (t < d)
        return 255.0f * t / d;
    if (t < d + h)
        return 255.0f;
    if (t < d + h + e)
        return 255.0f * (1.0f - (t - d - h) / e);
    return 0.0f;
}

float time_triangle(float t, float inv_period)
{
    float p = t * inv_period;
    float x = p - truncf(p);
    return 1.0f - fabsf(2.0f * x - 1.0f);
}

// ---- helpers ----------------------------------------------------------------

static float overlay_clamp01(float t) { return sat_clamp(t, 0.0f, 1.0f); }

// Truncation toward zero that saturates instead of leaving the int range (and
// gives 0 for NaN), so odd arguments never make an undefined conversion.
static int overlay_f2i(float f) { return sat_float_to_int(f, INT32_MIN, INT32_MAX, 0); }

// The same into an unsigned value; negative values give 0.
static uint32_t overlay_f2u(float f) { return sat_float_to_int(f, 0u, 0xFFFFFFFFu, 0u); }

// A non-negative remainder, whatever the sign of the dividend.
static int overlay_mod(int64_t a, int n)
{
    int64_t r = a % n;
    return (int)(r < 0 ? r + n : r);
}

// Parsers push an array only when the scene's array is smaller than needed;
// every integer parsed is counted again from zero.
static void overlay_reserve_ints(vexil_scene* scene, vexil_scene_parse_context* ctx, int n)
{
    if (!scene->ints || scene->ints_count < n)
        scene->ints = memarena_push_array_zeroed<int>(ctx->arena, (uint64_t)n);
    scene->ints_count = 0;
}

static void overlay_reserve_floats(vexil_scene* scene, vexil_scene_parse_context* ctx, int n)
{
    if (!scene->floats || scene->floats_count < n)
        scene->floats = memarena_push_array_zeroed<float>(ctx->arena, (uint64_t)n);
    scene->floats_count = n;
}

template <typename T>
static void overlay_reserve_one(T*** array, int* count, vexil_scene_parse_context* ctx)
{
    if (!*array || *count < 1)
        *array = memarena_push_array_zeroed<T*>(ctx->arena, 1);
    *count = 1;
}

static int overlay_int(vexil_scene* scene, char** s, vexil_sequence_row* row)
{
    return parse_arg_int(&scene->ints_count, s, row);
}

// The three back buffers and the three stencil slots are addressed 0 to 2.
static void overlay_check_backbuffer_i(int i, vexil_sequence_row* row)
{
    if (i < 0 || i >= VEXIL_OVERLAY_BACKBUFFERS_COUNT)
        VEXIL_SCENES_CRASH("%s: overlay backbuffer index %d out of range 0..%d (sequence line %d)\n", row->func_name, i,
                           VEXIL_OVERLAY_BACKBUFFERS_COUNT - 1, row->line);
}

static void overlay_check_stencil_i(int i, int allow_none, vexil_sequence_row* row)
{
    if ((i < 0 || i >= VEXIL_OVERLAY_STENCILS_COUNT) && !(allow_none && i == -1))
        VEXIL_SCENES_CRASH("%s: overlay stencil index %d out of range %s0..%d (sequence line %d)\n", row->func_name, i,
                           allow_none ? "-1 or " : "", VEXIL_OVERLAY_STENCILS_COUNT - 1, row->line);
}

static void overlay_check_clut_range(int offset, int count, vexil_sequence_row* row)
{
    if (offset < 0 || count < 0 || offset > PALETTE_CLUT_ENTRIES || count > PALETTE_CLUT_ENTRIES - offset)
        VEXIL_SCENES_CRASH("%s: colour table range offset %d count %d does not fit the %d entries (sequence line %d)\n",
                           row->func_name, offset, count, PALETTE_CLUT_ENTRIES, row->line);
}

// An index into the 256-entry overlay colour table.
static void overlay_check_color8(int c, vexil_sequence_row* row)
{
    if (c < 0 || c >= PALETTE_CLUT_ENTRIES)
        VEXIL_SCENES_CRASH("%s: colour index %d out of range 0..%d (sequence line %d)\n", row->func_name, c,
                           PALETTE_CLUT_ENTRIES - 1, row->line);
}

// A sum of given integers (positions, offsets, sizes), kept inside the int range.
static int overlay_sum(int64_t v) { return sat_int64_to_int(v); }

// Sets completed_prepare on the first call of either kind; 1 when this was
// that prepare call.
static int overlay_prepare_any(vexil_scene* scene)
{
    if (scene->completed_prepare)
        return 0;
    scene->completed_prepare = 1;
    return 1;
}

// Sets completed_prepare only in a loop-pass call; 1 while still preparing.
static int overlay_prepare_loop_pass(vexil_scene* scene, vexil_args* args)
{
    if (scene->completed_prepare)
        return 0;
    if (!args->is_vbl)
        scene->completed_prepare = 1;
    return 1;
}

static n3d_framebuffer* overlay_backbuffer_fb(vexil_args* args, int i) { return args->fc_overlay_backbuffers[i].fb; }

// ---- overlay_load_progress ---------------------------------------------------
// ini: floats = fps; palettes[0]; images = icon frames; integers = r, g, b,
// bar_x0, bar_y0, bar_w, bar_h.

void scene_overlay_load_progress(vexil_scene* scene, vexil_args* args)
{
    vexil_load_scene(args->d, scene, args->row);
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || scene->is_cleanup)
        return;
    const int* v = scene->ints;
    const int bar_x0 = v[3], bar_y0 = v[4], bar_w = v[5], bar_h = v[6];
    palette* pal = scene->palettes[0];
    vec4 linear;
    vec4_linear_from_srgb_a_u8(linear, (uint8_t)v[0], (uint8_t)v[1], (uint8_t)v[2], 255);
    int color8 = palette_find_best_match_linear_pma(pal, linear) + pal->offset;
    if (scene->vbl_is_first_run) {
        args->video->set_overlay_palette_func(args->video, pal->offset, pal->count, pal->rgba8888);
        scene->state.load_bar_prev_bar_x1 = bar_x0;
    }
    // The bar measures from time 0 of the production; a row ending at 0 has no bar.
    int end = args->row->end_22050hz;
    if (end <= 0)
        return;
    float load_progress = overlay_clamp01((float)vexil_audio_position.load(std::memory_order_relaxed) / (float)end);
    vexil_image* icon0 = scene->images[0];
    int icon_x0 = overlay_f2i(mix((float)bar_x0, (float)((int64_t)bar_x0 + bar_w - icon0->w), load_progress));
    int icon_y0 = bar_y0;
    int icon_frame = overlay_mod(overlay_f2i(scene->global_t * scene->floats[0]), scene->images_count);
    // Only the newly grown part of the bar is filled; the icon rides on its end.
    n2d_fb_draw_rect_i8(args->fc_overlay->fb, (uint8_t)color8, scene->state.load_bar_prev_bar_x1, bar_y0, icon_x0,
                        overlay_sum((int64_t)bar_y0 + bar_h));
    vexil_image_draw(args->fc_overlay, icon_x0, icon_y0, scene->images[icon_frame]);
    scene->state.load_bar_prev_bar_x1 = icon_x0;
}

// ---- overlay_stencil_animation -------------------------------------------------
// ini: floats = fps; stencils = frames; integers = color8.

void scene_overlay_color8_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_color8(scene->ints[0], ctx->row);
}

void scene_overlay_stencil_animation(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || scene->is_cleanup)
        return;
    int frame = overlay_mod(overlay_f2i(scene->local_t * scene->floats[0]), scene->stencils_count);
    // Bobs 10 pixels up and down once a second.
    int dst_y = (int)(10.0 * sin(2.0 * LINMATH_PI * (double)scene->local_t));
    n3d_frame_context* fc = args->fc_overlay;
    n2d_fb_i8_and_cb_mask_fill_if_cb0(fc->fb, fc->cb, 0, dst_y, (uint8_t)scene->ints[0], scene->stencils[frame], 0,
                                      fc->fb->h);
}

// ---- overlay_rle_image ---------------------------------------------------------
// rle image name, do_erase, erase_color, view_x0, view_y0, view_x1, view_y1.

void scene_overlay_rle_image_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->rle_images, &scene->rle_images_count, ctx);
    scene->rle_images[0] = vexil_load_rle_image(ctx->d, name);
    overlay_reserve_ints(scene, ctx, 6);
    for (int i = 0; i < 6; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_rle_image_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_color8(scene->ints[1], ctx->row);
}

void scene_overlay_rle_image(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_loop_pass(scene, args))
        return;
    if (!args->is_vbl || !scene->vbl_is_first_run)
        return;
    const int* v = scene->ints;
    float t = overlay_clamp01(normalized_duration(scene));
    int x = overlay_f2i(mix((float)v[2], (float)v[4], t));
    int y = overlay_f2i(mix((float)v[3], (float)v[5], t));
    if (v[0])
        vexil_rle_image_erase(args->fc_overlay->fb, scene->rle_images[0], x, y, v[1]);
    else
        vexil_rle_image_draw(args->fc_overlay->fb, scene->rle_images[0], x, y);
}

// ---- overlay_clear / overlay_backbuffer_clear -------------------------------------

void scene_overlay_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 1);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_clear(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || !scene->vbl_is_first_run)
        return;
    n2d_fb_clear_rgb(args->fc_overlay->fb, (uint8_t)scene->ints[0], 0, 0);
}

void scene_overlay_backbuffer_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 2);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    scene->ints[1] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_backbuffer_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_backbuffer_i(scene->ints[0], ctx->row);
}

void scene_overlay_backbuffer_clear_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_backbuffer_i(scene->ints[0], ctx->row);
    overlay_check_color8(scene->ints[1], ctx->row);
}

void scene_overlay_backbuffer_clear(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || !scene->vbl_is_first_run)
        return;
    n2d_fb_clear_rgb(overlay_backbuffer_fb(args, scene->ints[0]), (uint8_t)scene->ints[1], 0, 0);
}

// ---- overlay_stencil_set -------------------------------------------------------------
// overlay_stencil_i, stencil name, dst_x0, dst_y0.

void scene_overlay_stencil_set_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 3);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->stencils, &scene->stencils_count, ctx);
    scene->stencils[0] = vexil_load_stencil(ctx->d, name);
    scene->ints[1] = overlay_int(scene, &s, ctx->row);
    scene->ints[2] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_stencil_set_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_stencil_i(scene->ints[0], 0, ctx->row);
}

void scene_overlay_stencil_set(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || !scene->vbl_is_first_run)
        return;
    n3d_coveragebuffer* slot = &args->overlay_stencils[scene->ints[0]];
    // Set and clear bits alike: later scenes use the slot as a mask.
    n2d_cb_copy(slot, scene->ints[1], scene->ints[2], scene->stencils[0], 0, slot->h);
}

// ---- overlay_heal -------------------------------------------------------------------

void scene_overlay_heal_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 1);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_heal(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || scene->is_cleanup)
        return;
    // What was drawn last frame and not this frame comes back from the back buffer.
    n3d_frame_context* fc = args->fc_overlay;
    n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(fc->fb, 0, 0, overlay_backbuffer_fb(args, scene->ints[0]), fc->cb,
                                           fc->cb_dirty, 0, fc->fb->h);
}

// ---- overlay_scale --------------------------------------------------------------------
// texture name, use_interlaced, offset_x, offset_y, w0, h0, w1, h1.

void scene_overlay_scale_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->textures, &scene->textures_count, ctx);
    scene->textures[0] = vexil_load_texture(ctx->d, name);
    overlay_reserve_ints(scene, ctx, 7);
    for (int i = 0; i < 7; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

// The scaled frame's own checks of its source, with its messages, made here with
// the texture's name and the row's line; the target is the drawing's to check.
void scene_overlay_scale_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    const n3d_texture* tex = scene->textures[0];
    const char* subject = memprintf(ctx->tmp_arena, "texture \"%s\"", vexil_rsrc_name(ctx->d, tex));
    if (tex->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        vexil_scene_refuse(ctx, subject, "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n");
    if (!tex->not_swizzled)
        vexil_scene_refuse(ctx, subject, "src: swizzled not supported for this (would be slower)\n");
}

void scene_overlay_scale(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_loop_pass(scene, args))
        return;
    if (!args->is_vbl)
        return;
    const int* v = scene->ints;
    n3d_texture* tex = scene->textures[0];
    n3d_frame_context* fc = args->fc_overlay;
    const int W = fc->fb->w, H = fc->fb->h;
    const float tw = (float)(1 << tex->w_log2), th = (float)(1 << tex->h_log2);
    // The cleanup call leaves the end size.
    float t = scene->is_cleanup ? 1.0f : overlay_clamp01(normalized_duration(scene));
    int w_now = overlay_f2i((float)((int64_t)v[5] - v[3]) * t + (float)v[3]);
    int h_now = overlay_f2i((float)((int64_t)v[6] - v[4]) * t + (float)v[4]);
    float half_w = tw * ((float)w_now / tw) / 2.0f;
    float half_h = th * ((float)h_now / th) / 2.0f;
    float x0 = (float)v[1] + ((float)(W / 2) - half_w);
    float y0 = (float)v[2] + ((float)(H / 2) - half_h);
    float x1 = (float)v[1] + ((float)(W / 2) + half_w);
    float y1 = (float)v[2] + ((float)(H / 2) + half_h);
    vexil_scaleframe(fc, tex, x0, y0, x1, y1, 0.0f, 0.0f, tw, th, v[0], scene->state.interlaced_odd, 0, H);
    // An interlaced scale draws alternate rows on alternate frames.
    scene->state.interlaced_odd = !scene->state.interlaced_odd;
}

// ---- overlay_stroke ---------------------------------------------------------------------
// overlay_backbuffer_i, image name, draw_duration, erase_duration, color8,
// offset_mode, offset_x, offset_y.

void scene_overlay_stroke_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 5);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->images, &scene->images_count, ctx);
    scene->images[0] = vexil_load_image(ctx->d, name);
    overlay_reserve_floats(scene, ctx, 2);
    scene->floats[0] = parse_arg_float(&s, ctx->row);
    scene->floats[1] = parse_arg_float(&s, ctx->row);
    for (int i = 1; i < 5; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_stroke_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    vexil_sequence_row* row = ctx->row;
    overlay_check_backbuffer_i(scene->ints[0], row);
    overlay_check_color8(scene->ints[1], row);
    // Only the centred placement (mode 0) is defined.
    if (scene->ints[2] != 0)
        VEXIL_SCENES_CRASH("%s: offset_mode %d is not supported, only 0 (sequence line %d)\n", row->func_name,
                           scene->ints[2], row->line);
    // The stroke's coverage buffers have the image's size, in whole 32-bit words.
    const vexil_image* image = scene->images[0];
    if (image->w <= 0 || image->w % 32 != 0)
        VEXIL_SCENES_CRASH("%s: stroke image \"%s\" width must be a multiple of 32, is %d (sequence line %d)\n",
                           row->func_name, vexil_rsrc_name(ctx->d, image), image->w, row->line);
    if (image->h <= 0)
        VEXIL_SCENES_CRASH("%s: stroke image \"%s\" height must be at least 1, is %d (sequence line %d)\n",
                           row->func_name, vexil_rsrc_name(ctx->d, image), image->h, row->line);
}

void scene_overlay_stroke(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        if (!args->is_vbl) {
            vexil_stroke* stroke = memarena_push_array_zeroed<vexil_stroke>(args->arena, 1);
            vexil_stroke_init(stroke, scene->images[0], args->arena);
            scene->state.stroke = stroke;
            scene->completed_prepare = 1;
        }
        return;
    }
    if (!args->is_vbl || !scene->state.stroke)
        return;
    const float draw_duration = scene->floats[0], erase_duration = scene->floats[1];
    const int* v = scene->ints;
    float hold_duration = scene->duration_t - draw_duration - erase_duration;
    if (hold_duration < 0.0f)
        hold_duration = 0.0f;
    int frame = overlay_f2i(stroke_frame(scene->local_t, draw_duration, hold_duration, erase_duration));
    int is_erasing = scene->local_t > draw_duration + hold_duration;
    n3d_frame_context* fc = args->fc_overlay;
    const int W = fc->fb->w, H = fc->fb->h;
    const vexil_image* image = scene->images[0];
    int x = overlay_sum((int64_t)v[3] + (W / 2 - image->w / 2));
    int y = overlay_sum((int64_t)v[4] + (H / 2 - image->h / 2));
    n3d_framebuffer* background = overlay_backbuffer_fb(args, v[0]);
    if (scene->is_cleanup)
        vexil_stroke_erase(scene->state.stroke, 0, fc->fb, fc->cb, background, x, y, 0, H);
    else if (is_erasing)
        vexil_stroke_erase(scene->state.stroke, frame, fc->fb, fc->cb, background, x, y, 0, H);
    else
        vexil_stroke_draw(scene->state.stroke, frame, v[1], fc->fb, fc->cb, x, y, 0, H);
}

// ---- overlay_palette_animation -----------------------------------------------------------
// overlay_backbuffer_i, palette animation name, mode, fps.

void scene_overlay_palette_animation_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 2);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->palette_animations, &scene->palette_animations_count, ctx);
    scene->palette_animations[0] = vexil_load_palette_animation(ctx->d, name);
    scene->ints[1] = overlay_int(scene, &s, ctx->row);
    overlay_reserve_floats(scene, ctx, 1);
    scene->floats[0] = parse_arg_float(&s, ctx->row);
}

void scene_overlay_palette_animation_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_backbuffer_i(scene->ints[0], ctx->row);
    const palette_animation* panim = scene->palette_animations[0];
    if (panim->frames_count <= 0)
        VEXIL_SCENES_CRASH("%s: palette animation \"%s\" has no palette frames (sequence line %d)\n",
                           ctx->row->func_name, vexil_rsrc_name(ctx->d, panim), ctx->row->line);
}

// The palette frame shown at animation frame frame_i of n.
static int overlay_palette_animation_frame(int mode, uint32_t frame_i, int n)
{
    uint32_t last = (uint32_t)n - 1u;
    uint32_t held = frame_i < last ? frame_i : last;
    switch (mode) {
    case 0:  // loop
        return (int)(frame_i % (uint32_t)n);
    case 1:  // once, holding the last frame
        return (int)held;
    case 2:  // backwards once, holding the first frame
        return n - (int)held - 1;
    case 3: {  // forward then backward
        uint32_t cycle = frame_i % (2u * (uint32_t)n);
        if (cycle < (uint32_t)n)
            return (int)cycle;
        // The last step of a period would be -1: it shows frame 0, where the
        // next period starts.
        int back = 2 * (n - 1) - (int)cycle;
        return back < 0 ? 0 : back;
    }
    default:
        return 0;
    }
}

void scene_overlay_palette_animation(vexil_scene* scene, vexil_args* args)
{
    palette_animation* panim = scene->palette_animations[0];
    const int H = args->fc_overlay->fb->h;
    if (!scene->completed_prepare) {
        // The blit into the back buffer is spread over loop-pass prepare calls,
        // a row at a time under the budget. Each call makes at least one step,
        // so a budget smaller than a row still gets the image drawn.
        if (args->is_vbl)
            return;
        n3d_frame_context* backbuffer = &args->fc_overlay_backbuffers[scene->ints[0]];
        const cycles_t budget = scene->cycles_allowed_to_spend_prepare;
        const cycles_t t0 = cycles_measure_get();
        cycles_t prev_step = 0;
        int steps = 0;
        while (scene->work_prepared < H) {
            if (budget && steps > 0 && cycles_measure_get_delta(t0) + prev_step > budget)
                return;
            steps++;
            int rows = budget ? 1 : H - scene->work_prepared;
            cycles_t s0 = cycles_measure_get();
            palette_animation_blit(panim, backbuffer, 0, 0, scene->work_prepared, rows);
            prev_step = cycles_measure_get_delta(s0);
            scene->work_prepared += rows;
        }
        scene->completed_prepare = 1;
        return;
    }
    if (!args->is_vbl)
        return;
    // The image goes into the overlay on the first vertical-blank call, also a
    // late one after the loop pass's cleanup.
    if (scene->vbl_is_first_run) {
        palette_animation_blit(panim, args->fc_overlay, 0, 0, 0, H);
        return;
    }
    if (scene->is_cleanup)
        return;
    int fps = overlay_f2i(scene->floats[0]);
    uint32_t frame_i = overlay_f2u((float)fps * scene->local_t);
    const palette* frame =
        &panim->frames[overlay_palette_animation_frame(scene->ints[1], frame_i, panim->frames_count)];
    args->video->set_overlay_palette_func(args->video, frame->offset, frame->count, frame->rgba8888);
    args->video->set_overlay_key_func(args->video, 0);
}

// ---- overlay_starfield ------------------------------------------------------------------------
// overlay_stencil_i (-1 none), light image name ("0" none), star count, palette
// name, yaw, pitch, palette_brightness_first, palette_brightness_last, offset_x, offset_y.

void scene_overlay_starfield_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 6);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    char* light = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->images, &scene->images_count, ctx);
    scene->images[0] = strcmp(light, "0") == 0 ? nullptr : vexil_load_image(ctx->d, light);
    scene->ints[1] = overlay_int(scene, &s, ctx->row);
    char* pal = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->palettes, &scene->palettes_count, ctx);
    scene->palettes[0] = vexil_load_palette(ctx->d, pal);
    overlay_reserve_floats(scene, ctx, 2);
    scene->floats[0] = parse_arg_float(&s, ctx->row);
    scene->floats[1] = parse_arg_float(&s, ctx->row);
    for (int i = 2; i < 6; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_starfield_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_stencil_i(scene->ints[0], 1, ctx->row);
    if (scene->ints[1] <= 0)
        VEXIL_SCENES_CRASH("%s: star count must be at least 1, is %d (sequence line %d)\n", ctx->row->func_name,
                           scene->ints[1], ctx->row->line);
    // The count is rounded up to a power of two, which must fit the star pool.
    if ((1ull << ppc_ceil_ilog2((uint32_t)scene->ints[1])) > (uint64_t)ctx->d->stars_capacity)
        VEXIL_SCENES_CRASH("%s: max stars is set to %d (sequence line %d)\n", ctx->row->func_name,
                           ctx->d->stars_capacity, ctx->row->line);
}

static void overlay_starfield_set_view(vexil_starfield* sf, vexil_scene* scene, vexil_args* args)
{
    int stencil_i = scene->ints[0];
    sf->cb_mask = stencil_i >= 0 ? &args->d->overlay_stencils[stencil_i] : nullptr;
    // The light image is optional: "0" in the arguments, no images key in an ini.
    sf->light = scene->images_count > 0 ? scene->images[0] : nullptr;
    sf->offset_x = scene->ints[4];
    sf->offset_y = scene->ints[5];
    sf->camera.yaw = scene->floats[0];
    sf->camera.pitch = scene->floats[1];
}

void scene_overlay_starfield(vexil_scene* scene, vexil_args* args)
{
    vexil* d = args->d;
    n3d_frame_context* fc = args->fc_overlay;
    if (!scene->completed_prepare) {
        if (args->is_vbl)
            return;
        // The count is rounded up to a power of two (checked against the pool on loading).
        int stars_count_log2 = ppc_ceil_ilog2((uint32_t)scene->ints[1]);
        vexil_starfield* sf = memarena_push_array_zeroed<vexil_starfield>(args->arena, 1);
        vexil_starfield_init_i8(sf, stars_count_log2, d->stars, 1, fc->fb->w, fc->fb->h, scene->palettes[0],
                                scene->ints[2], scene->ints[3], args->arena);
        overlay_starfield_set_view(sf, scene, args);
        vexil_starfield_generate_positions(sf);
        scene->state.starfield = sf;
        scene->completed_prepare = 1;
        return;
    }
    if (!args->is_vbl || scene->is_cleanup || !scene->state.starfield)
        return;
    vexil_starfield* sf = scene->state.starfield;
    overlay_starfield_set_view(sf, scene, args);
    sf->camera.z = OVERLAY_STARFIELD_SPEED * scene->local_t;
    vexil_starfield_update(sf, fc, d);
}

// ---- overlay_clut_set1_pulsate ---------------------------------------------------------------
// color_index, hz, phase, r1, g1, b1, r2, g2, b2.

void scene_overlay_clut_set1_pulsate_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 7);
    overlay_reserve_floats(scene, ctx, 2);
    scene->ints[0] = overlay_int(scene, &s, ctx->row);
    scene->floats[0] = parse_arg_float(&s, ctx->row);
    scene->floats[1] = parse_arg_float(&s, ctx->row);
    for (int i = 1; i < 7; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

void scene_overlay_clut_set1_pulsate_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_clut_range(scene->ints[0], 1, ctx->row);
}

void scene_overlay_clut_set1_pulsate(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || scene->is_cleanup)
        return;
    const int* v = scene->ints;
    float phase_t = scene->local_t * scene->floats[0] + scene->floats[1];
    float s = overlay_clamp01((float)(0.5 + 0.5 * sin(2.0 * LINMATH_PI * (double)phase_t)));
    // Alpha byte 1, as the colours are given.
    vec4 c1, c2, c;
    vec4_linear_from_srgb_a_u8(c1, (uint8_t)v[1], (uint8_t)v[2], (uint8_t)v[3], 1);
    vec4_linear_from_srgb_a_u8(c2, (uint8_t)v[4], (uint8_t)v[5], (uint8_t)v[6], 1);
    vec4_lerp(c, c1, c2, s);
    uint8_t rgba[4];
    vec4_srgba8888_from_linear(rgba, c);
    args->video->set_overlay_palette_func(args->video, v[0], 1, rgba);
}

// ---- colour-table fades ----------------------------------------------------------------------
// offset, count, r, g, b.

static void overlay_clut_fade_parse(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    overlay_reserve_ints(scene, ctx, 5);
    for (int i = 0; i < 5; i++)
        scene->ints[i] = overlay_int(scene, &s, ctx->row);
}

void scene_clut_fade_to_color_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_clut_range(scene->ints[0], scene->ints[1], ctx->row);
}

// Fades the captured range toward (r, g, b) by t into scratch memory rewound
// after the write.
static void overlay_clut_fade_write(vexil_scene* scene, vexil_args* args, float t, valkyrie_set_palette_func set)
{
    const int* v = scene->ints;
    memarena* arena = args->arena;
    uint64_t marker = memarena_get_marker(arena);
    palette scratch;
    palette_init(&scratch, arena, v[0], v[1]);
    palette_fade_to_rgb(&scratch, t, scene->state.clut_fade_from, v[2], v[3], v[4]);
    set(args->video, v[0], v[1], scratch.rgba8888);
    memarena_goto_marker(arena, marker);
}

static void overlay_clut_fade_prepare(vexil_scene* scene, vexil_args* args)
{
    palette* from = memarena_push_array_zeroed<palette>(args->arena, 1);
    palette_init(from, args->arena, scene->ints[0], scene->ints[1]);
    scene->state.clut_fade_from = from;
    scene->completed_prepare = 1;
}

void scene_overlay_clut_fade_to_color_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_clut_fade_parse(scene, ctx);
}

void scene_overlay_clut_fade_to_color(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        if (!args->is_vbl)
            overlay_clut_fade_prepare(scene, args);
        return;
    }
    if (!args->is_vbl)
        return;
    // The fade starts from whatever the table holds at the first call.
    if (scene->vbl_is_first_run) {
        args->video->get_overlay_palette_func(args->video, scene->ints[0], scene->ints[1],
                                              scene->state.clut_fade_from->rgba8888);
        return;
    }
    float t = scene->is_cleanup ? 1.0f : overlay_clamp01(normalized_duration(scene) / OVERLAY_CLUT_FADE_END);
    overlay_clut_fade_write(scene, args, t, args->video->set_overlay_palette_func);
}

void scene_video_clut_fade_to_color_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_clut_fade_parse(scene, ctx);
}

void scene_video_clut_fade_to_color(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        if (!args->is_vbl)
            overlay_clut_fade_prepare(scene, args);
        return;
    }
    if (args->is_vbl)
        return;
    if (scene->is_first_run) {
        args->video->get_video_palette_func(args->video, scene->ints[0], scene->ints[1],
                                            scene->state.clut_fade_from->rgba8888);
        return;
    }
    // Complete at the row's end; a cleanup call repeats the last running call's time.
    float t = overlay_clamp01(normalized_duration(scene));
    overlay_clut_fade_write(scene, args, t, args->video->set_video_palette_func);
}

// ---- overlay_clut_set / video_clut_reset -----------------------------------------------------------

void scene_overlay_clut_set_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    overlay_reserve_one(&scene->palettes, &scene->palettes_count, ctx);
    scene->palettes[0] = vexil_load_palette(ctx->d, name);
}

void scene_overlay_clut_set_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    overlay_check_clut_range(scene->palettes[0]->offset, scene->palettes[0]->count, ctx->row);
}

void scene_overlay_clut_set(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_any(scene))
        return;
    if (!args->is_vbl || !scene->vbl_is_first_run)
        return;
    const palette* pal = scene->palettes[0];
    args->video->set_overlay_palette_func(args->video, pal->offset, pal->count, pal->rgba8888);
}

void scene_video_clut_reset(vexil_scene* scene, vexil_args* args)
{
    if (overlay_prepare_loop_pass(scene, args))
        return;
    if (args->is_vbl || !scene->is_first_run)
        return;
    const palette* ref = &args->video->original_video_palette;
    args->video->set_video_palette_func(args->video, ref->offset, ref->count, ref->rgba8888);
}
