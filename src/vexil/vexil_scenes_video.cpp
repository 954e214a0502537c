#include "vexil/vexil_scenes_video.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/linmath.h"
#include "core/memarena.h"
#include "core/saturate.h"
#include "host/valkyrie_context.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/mad.h"
#include "n3d/mad_animate.h"
#include "n3d/n3d.h"
#include "n3d/n3d_pipeline.h"
#include "raster/n3d_raster.h"
#include "target/n3d_framebuffer.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil.h"
#include "vexil/vexil_args.h"
#include "vexil/vexil_bumpmap.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_scene_load.h"
#include "vexil/vexil_scenes_overlay.h"
#include "vexil/vexil_tunnel_func.h"

// The bump-mapped window drawn from the textures' top-left corner.
#define VIDEO_BUMPMAP_W 310
#define VIDEO_BUMPMAP_H 256
// The free camera's projection: a vertical field of view of 45 degrees, and
// the near plane.
#define VIDEO_FREE_CAMERA_FOV_Y ((float)(LINMATH_PI / 4))
#define VIDEO_FREE_CAMERA_NEAR 0.5f
#define VIDEO_SKY_SCALE 0.2f
// Object pass: phong, index8 texture, ARGB1555 target, depth read and write, coverage write.
#define VIDEO_OBJECT_RASTERIZER_FLAGS 190
#define VIDEO_OBJECT_DRAW_MODE 1220
// Sky pass: ARGB1555 texture and target, drawn only where coverage is clear.
#define VIDEO_SKY_RASTERIZER_FLAGS 81
#define VIDEO_SKY_DRAW_MODE 192
// The greetings grid and where its dots land on the page.
#define GREETS_GRID_W 124
#define GREETS_GRID_H 54
#define GREETS_PAGE_X0 99
#define GREETS_PAGE_X1 223  // the last dot pair starts at 221
#define GREETS_PAGE_Y0 47
#define GREETS_PAGE_Y1 154  // the last odd row is 153

static_assert((VIDEO_OBJECT_RASTERIZER_FLAGS) ==
                  (N3D_RASTERIZER_PHONG | N3D_RASTERIZER_T0_I8ARGB1555 | N3D_RASTERIZER_ARGB1555 |
                   N3D_RASTERIZER_ZBUFFER_WRITE | N3D_RASTERIZER_ZBUFFER_READ | N3D_RASTERIZER_COVERAGE_WRITE),
              "object pass flags");
static_assert((VIDEO_SKY_RASTERIZER_FLAGS) ==
                  (N3D_RASTERIZER_T0_ARGB1555 | N3D_RASTERIZER_ARGB1555 | N3D_RASTERIZER_COVERAGE_READ),
              "sky pass flags");
static_assert(VIDEO_OBJECT_DRAW_MODE == (N3D_DRAW_MODE_ZBUFFER | N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 |
                                         N3D_DRAW_MODE_TRIANGLES | N3D_DRAW_MODE_PHONG),
              "object pass draw mode");
static_assert(VIDEO_SKY_DRAW_MODE == (N3D_DRAW_MODE_TEXTURE0_INDEX8_ARGB1555 | N3D_DRAW_MODE_TRIANGLES),
              "sky pass draw mode");

fps_camera camera;
int wasd_move_enable;
uint16_t alpha_to_argb1555[256];
char** greets_array;
int greets_count;

static const greet_pos k_greet_pos[2] = {
    {0.0f, 60.0f, 22.0f, -58.0f, 5.0f, 0.2f, 0.0f},
    {1.0f, 60.0f, 45.0f, -55.0f, 5.0f, 0.2f, 0.8f},
};
static const greet_state k_greet_state_initial[2] = {{0, 0.0f}, {1, 3.0f}};

// ---- helpers ------------------------------------------------------------------

static int video_f2i(float f) { return sat_float_to_int(f, INT32_MIN, INT32_MAX, 0); }

static void video_reserve_ints(vexil_scene* scene, vexil_scene_parse_context* ctx, int n)
{
    if (!scene->ints || scene->ints_count < n)
        scene->ints = memarena_push_array_zeroed<int>(ctx->arena, (uint64_t)n);
    scene->ints_count = 0;
}

static void video_reserve_floats(vexil_scene* scene, vexil_scene_parse_context* ctx, int n)
{
    if (!scene->floats || scene->floats_count < n)
        scene->floats = memarena_push_array_zeroed<float>(ctx->arena, (uint64_t)n);
    scene->floats_count = n;
}

template <typename T>
static void video_reserve(T*** array, int* count, vexil_scene_parse_context* ctx, int n)
{
    if (!*array || *count < n)
        *array = memarena_push_array_zeroed<T*>(ctx->arena, (uint64_t)n);
    *count = n;
}

// First call of either kind.
static int video_prepare_any(vexil_scene* scene)
{
    if (scene->completed_prepare)
        return 0;
    scene->completed_prepare = 1;
    return 1;
}

// First loop-pass call; vertical-blank calls before it do nothing.
static int video_prepare_loop_pass(vexil_scene* scene, vexil_args* args)
{
    if (scene->completed_prepare)
        return 0;
    if (!args->is_vbl)
        scene->completed_prepare = 1;
    return 1;
}

static int video_is_loop_pass_run(vexil_scene* scene, vexil_args* args) { return !args->is_vbl && !scene->is_cleanup; }

// What a load-time refusal names: the texture as the production calls it.
static const char* video_texture_subject(vexil_scene_parse_context* ctx, const n3d_texture* t)
{
    return memprintf(ctx->tmp_arena, "texture \"%s\"", vexil_rsrc_name(ctx->d, t));
}

char* str_cat(memarena* arena, const char* a, const char* b)
{
    size_t na = strlen(a), nb = strlen(b);
    char* s = static_cast<char*>(memarena_push(arena, (uint64_t)(na + nb + 1)));
    memcpy(s, a, na);
    memcpy(s + na, b, nb);
    s[na + nb] = 0;
    return s;
}

// ---- video_clear: r8, g8, b8 ------------------------------------------------------

void scene_video_clear_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    video_reserve_ints(scene, ctx, 3);
    for (int i = 0; i < 3; i++)
        scene->ints[i] = parse_arg_int(&scene->ints_count, &s, ctx->row);
}

void scene_video_clear(vexil_scene* scene, vexil_args* args)
{
    if (video_prepare_any(scene))
        return;
    // Three vertical blanks: both pages and the one shown meanwhile.
    if (!args->is_vbl || scene->is_cleanup || scene->vbl_call_count_running >= 3)
        return;
    const int* v = scene->ints;
    // The clear keeps the top 5 bits of each component.
    n2d_fb_clear_rgb(args->fc->fb, (uint8_t)v[0], (uint8_t)v[1], (uint8_t)v[2]);
}

void scene_video_clear_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    for (int i = 0; i < 3; i++)
        if (scene->ints[i] < 0 || scene->ints[i] > 255)
            VEXIL_SCENES_CRASH("%s: colour component %d out of range 0..255 (sequence line %d)\n", ctx->row->func_name,
                               scene->ints[i], ctx->row->line);
}

// ---- video_tunnel: texture, u_dt, v_dt ------------------------------------------

void scene_video_tunnel_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    char* name = parse_arg_str(&s, ctx->row, ctx->tmp_arena);
    video_reserve(&scene->textures, &scene->textures_count, ctx, 1);
    scene->textures[0] = vexil_load_texture(ctx->d, name);
    video_reserve_floats(scene, ctx, 2);
    scene->floats[0] = parse_arg_float(&s, ctx->row);
    scene->floats[1] = parse_arg_float(&s, ctx->row);
}

void scene_video_tunnel(vexil_scene* scene, vexil_args* args)
{
    if (video_prepare_any(scene))
        return;
    if (!video_is_loop_pass_run(scene, args))
        return;
    n3d_frame_context* fc = args->fc;
    n2d_rect r;
    n2d_rect_set(&r, 0, 0, fc->fb->w, fc->fb->h);
    int u = video_f2i(scene->floats[0] * scene->local_t);
    int v = video_f2i(scene->floats[1] * scene->local_t);
    vexil_tunnel_argb1555(fc, scene->textures[0], &args->d->uv_map_tunnel, &r, 1.0f, u, v);
}

// The tunnel's own checks of its colour map, made here with the texture's name
// and the row's line instead of when the scene first draws; the target and the
// tunnel table are the drawing's to check.
void scene_video_tunnel_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    const n3d_texture* t = scene->textures[0];
    if (t->w_log2 != 8 || t->h_log2 != 8)
        vexil_scene_refuse(ctx, video_texture_subject(ctx, t), "color map must be 256x256 texture for now\n");
    if (t->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        vexil_scene_refuse(ctx, video_texture_subject(ctx, t), "color map must be an ARGB1555 texture (format %d)\n",
                           t->format);
    // The texels are read as plain rows, (row << 8) | column: a swizzled map
    // would show a scrambled picture.
    if (!t->not_swizzled)
        vexil_scene_refuse(ctx, video_texture_subject(ctx, t),
                           "color map must not be swizzled: the tunnel reads its texels as plain rows\n");
}

// ---- video_bumpmap ------------------------------------------------------------
// colour texture, bump map, stencil, metallic, roughness, ambient,
// ambient_texture_factor, light_min_color, light_max_color (#RRGGBBAA), view_x0,
// view_y0, view_x1, view_y1.

void scene_video_bumpmap_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    vexil_sequence_row* row = ctx->row;
    video_reserve(&scene->textures, &scene->textures_count, ctx, 2);
    scene->textures[0] = vexil_load_texture(ctx->d, parse_arg_str(&s, row, ctx->tmp_arena));
    scene->textures[1] = vexil_load_texture(ctx->d, parse_arg_str(&s, row, ctx->tmp_arena));
    video_reserve(&scene->stencils, &scene->stencils_count, ctx, 1);
    scene->stencils[0] = vexil_load_stencil(ctx->d, parse_arg_str(&s, row, ctx->tmp_arena));
    video_reserve_floats(scene, ctx, 2);
    scene->floats[0] = parse_arg_float(&s, row);
    scene->floats[1] = parse_arg_float(&s, row);
    if (!scene->colors || scene->colors_count < 4)
        scene->colors = memarena_push_array_zeroed<vexil_color>(ctx->arena, 4);
    scene->colors_count = 4;
    for (int i = 0; i < 4; i++)
        scene->colors[i] = parse_arg_color(&s, row, ctx->tmp_arena);
    video_reserve_ints(scene, ctx, 4);
    for (int i = 0; i < 4; i++)
        scene->ints[i] = parse_arg_int(&scene->ints_count, &s, row);
}

void scene_video_bumpmap(vexil_scene* scene, vexil_args* args)
{
    n3d_texture* texture = scene->textures[0];
    if (!scene->completed_prepare) {
        if (args->is_vbl)
            return;
        if (texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || !texture->shade_table || !texture->palette)
            VEXIL_SCENES_CRASH("video_bumpmap: colour texture \"%s\" is format %d, expected %d with its tables\n",
                               vexil_rsrc_name(args->d, texture), texture->format,
                               N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555);
        const vexil_color* c = scene->colors;
        n3d_texture_build_shade_table_argb1555_pbr(static_cast<uint16_t*>(texture->shade_table), 32, 256, c[0].linear,
                                                   c[1].linear, c[2].linear, c[3].linear, scene->floats[0],
                                                   scene->floats[1], static_cast<const uint16_t*>(texture->palette));
        scene->completed_prepare = 1;
        return;
    }
    if (!video_is_loop_pass_run(scene, args))
        return;
    n3d_frame_context* fc = args->fc;
    const int* v = scene->ints;
    float t = sat_clamp(normalized_duration(scene), 0.0f, 1.0f);
    int x = video_f2i(ceilf(mix((float)v[0], (float)v[2], t)));
    int y = video_f2i(ceilf(mix((float)v[1], (float)v[3], t)));
    vexil_bumpmap_argb1555(fc->fb, scene->local_t, x, y, 0, 0, VIDEO_BUMPMAP_W, VIDEO_BUMPMAP_H, scene->textures[1],
                           texture, &args->d->pbr_phong_lut);
    // The page pixels outside the stencil are marked: the next scene leaves them.
    n2d_cb_clear(fc->cb);
    n2d_cb_or_not_cb1(fc->cb, x, y, scene->stencils[0], 0, fc->fb->h);
}

// The bump map's checks of its two textures, in the drawing's order and with
// its messages; the target is the drawing's to check.
void scene_video_bumpmap_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    const n3d_texture* color = scene->textures[0];
    const n3d_texture* bump = scene->textures[1];
    const char* both = memprintf(ctx->tmp_arena, "bump map \"%s\" and colour texture \"%s\"",
                                 vexil_rsrc_name(ctx->d, bump), vexil_rsrc_name(ctx->d, color));
    const int bw = 1 << bump->w_log2, bh = 1 << bump->h_log2;
    const int tw = 1 << color->w_log2, th = 1 << color->h_log2;
    if (bw != tw || bh != th)
        vexil_scene_refuse(ctx, both, "bumpmap must have same width height as texture (%d %d vs %d %d)\n", bw, bh, tw,
                           th);
    if (color->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || !color->not_swizzled)
        vexil_scene_refuse(ctx, video_texture_subject(ctx, color),
                           "color texture must not be swizzled (is swizzled: %d) with format "
                           "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 (is: %d)\n",
                           color->not_swizzled ? 0 : 1, color->format);
    if (bump->format != N3D_TEXEL_FORMAT_BUMPMAP || !bump->not_swizzled)
        vexil_scene_refuse(ctx, video_texture_subject(ctx, bump),
                           "bumpmap texture must not be swizzled (is swizzled: %d) with format "
                           "N3D_TEXEL_FORMAT_BUMPMAP (is: %d)\n",
                           bump->not_swizzled ? 0 : 1, bump->format);
    if (VIDEO_BUMPMAP_W > tw || VIDEO_BUMPMAP_H > th)
        vexil_scene_refuse(ctx, both, "bumpmap source window (%d %d)-(%d %d) is outside the %dx%d textures\n", 0, 0,
                           VIDEO_BUMPMAP_W, VIDEO_BUMPMAP_H, tw, th);
}

// ---- video_background: texture, view_x0, view_y0, view_x1, view_y1 --------------

void scene_video_background_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    video_reserve(&scene->textures, &scene->textures_count, ctx, 1);
    scene->textures[0] = vexil_load_texture(ctx->d, parse_arg_str(&s, ctx->row, ctx->tmp_arena));
    video_reserve_ints(scene, ctx, 4);
    for (int i = 0; i < 4; i++)
        scene->ints[i] = parse_arg_int(&scene->ints_count, &s, ctx->row);
}

static int video_texel_bytes(int format)
{
    switch (format) {
    case 1:
    case 3:
        return 1;
    case 2:
        return 2;
    case 4:
        return 4;
    default:
        VEXIL_SCENES_CRASH("bad N3D_TEXEL_FORMAT %d?\n", format);
    }
}

void scene_video_background_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    const n3d_texture* tex = scene->textures[0];
    video_texel_bytes(tex->format);
    // The page copy reads ARGB1555 pixels over a page-sized window of the texture.
    if (tex->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_SCENES_CRASH("%s: texture \"%s\" is format %d, the page copy reads format %d (sequence line %d)\n",
                           ctx->row->func_name, vexil_rsrc_name(ctx->d, tex), tex->format,
                           N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, ctx->row->line);
    const int pw = VALKYRIE_VIDEO_WIDTH, ph = VALKYRIE_VIDEO_HEIGHT;
    if ((1 << tex->w_log2) < pw || (1 << tex->h_log2) < ph)
        VEXIL_SCENES_CRASH("%s: texture \"%s\" is %dx%d, smaller than the %dx%d page (sequence line %d)\n",
                           ctx->row->func_name, vexil_rsrc_name(ctx->d, tex), 1 << tex->w_log2, 1 << tex->h_log2, pw,
                           ph, ctx->row->line);
}

void scene_video_background(vexil_scene* scene, vexil_args* args)
{
    if (video_prepare_loop_pass(scene, args))
        return;
    if (!video_is_loop_pass_run(scene, args))
        return;
    n3d_frame_context* fc = args->fc;
    const n3d_texture* tex = scene->textures[0];
    const int* v = scene->ints;
    const int bpp = video_texel_bytes(tex->format);
    const int tw = 1 << tex->w_log2, th = 1 << tex->h_log2;
    const int pw = fc->fb->w, ph = fc->fb->h;
    if (tw < pw || th < ph)
        VEXIL_SCENES_CRASH("video_background: texture %dx%d is smaller than the %dx%d page\n", tw, th, pw, ph);
    float t = sat_clamp(normalized_duration(scene), 0.0f, 1.0f);
    // The page-sized window stays inside the texture.
    int sx = sat_clamp(video_f2i(mix((float)v[0], (float)v[2], t)), 0, tw - pw);
    int sy = sat_clamp(video_f2i(mix((float)v[1], (float)v[3], t)), 0, th - ph);
    n3d_framebuffer src;
    src.flags = 0;
    src.format = tex->format;
    src.w = pw;
    src.h = ph;
    src.row_bytes = bpp << tex->w_log2;
    src.b = tex->mips[0] + (size_t)sy * (size_t)src.row_bytes + (size_t)sx * (size_t)bpp;
    n2d_fb_argb1555_mask_copy_if_not_cb0(fc->fb, 0, 0, &src, fc->cb, 0, ph);
}

// ---- datapack textures, names and shade tables ------------------------------------

void scene_madpack_load_textures(vexil* d, mad_datapack* madpack, memarena* arena, n3d_texture*** out_textures,
                                 int* out_textures_count, memarena* tmp_arena)
{
    int count = 0;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1)
            *out_textures = memarena_push_array_zeroed<n3d_texture*>(arena, (uint64_t)(count > 0 ? count : 1));
        int k = 0;
        for (int i = 0; i < madpack->nodes_count; i++) {
            const mad_mesh* mesh = madpack->nodes[i].mesh;
            if (!mesh)
                continue;
            for (int p = 0; p < mesh->primitives_count; p++) {
                const mad_material* m = mesh->primitives[p].material;
                if (!m || !m->base_color_image)
                    continue;
                if (pass == 0) {
                    count++;
                    continue;
                }
                mad_image* image = m->base_color_image;
                char* name = str_cat(tmp_arena, image->name, ".tmap");
                (*out_textures)[k] = vexil_load_texture(d, name);
                image->texture_index = k;
                k++;
            }
        }
    }
    *out_textures_count = count;
}

void vexil_madfx_validate(const vexil_madfx* madfx)
{
    for (int i = 0; i < madfx->node_index_lut_count; i++)
        if (madfx->node_index_lut[i] == -1)
            VEXIL_SCENES_CRASH("node_index_lut[%d] is null!\n", i);
    for (int i = 0; i < madfx->animation_index_lut_count; i++)
        if (madfx->animation_index_lut[i] == -1)
            VEXIL_SCENES_CRASH("animation_index_lut[%d] is null!\n", i);
}

void vexil_shade_table_cache_bind(vexil* d, n3d_texture* texture, memarena* arena)
{
    vexil_shade_table_cache* e = nullptr;
    int rebuild = 0;
    for (int i = 0; i < d->shade_table_cache_count; i++)
        if (d->shade_table_cache[i].texture == texture) {
            e = &d->shade_table_cache[i];
            rebuild = e->gen != d->shade_table_cache_gen;
            break;
        }
    if (!e) {
        if (d->shade_table_cache_count >= VEXIL_SHADE_TABLE_CACHE_MAX)
            VEXIL_SCENES_CRASH("exhausted VEXIL_SHADE_TABLE_CACHE_MAX (%d)\n", d->shade_table_cache_count);
        e = &d->shade_table_cache[d->shade_table_cache_count++];
        if (!e->shade_table)
            e->shade_table = memarena_push_array<uint16_t>(
                arena, (uint64_t)texture->shades_per_color * (uint64_t)texture->colors_count);
        rebuild = 1;
    }
    if (rebuild) {
        if (texture->colors_count != 256 || texture->shades_per_color != 32 || !texture->palette)
            VEXIL_SCENES_CRASH("texture \"%s\" has no 256 colours of 32 shades\n", vexil_rsrc_name(d, texture));
        vec4 ambient_linear, ambient_factor_from_tex;
        vec4_linear_from_srgb_a_u8(ambient_linear, 34, 33, 41, 255);
        vec4_linear_from_srgb_a_u8(ambient_factor_from_tex, 26, 32, 68, 255);
        const vec4 light_max_specular = {0.74786305f, 0.0f, 1.0f, 1.0f};
        n3d_texture_build_shade_table_argb1555_pbr(e->shade_table, 32, 256, ambient_linear, ambient_factor_from_tex,
                                                   ambient_linear, light_max_specular, 0.0f, 0.5f,
                                                   static_cast<const uint16_t*>(texture->palette));
        e->texture = texture;
        e->gen = d->shade_table_cache_gen;
    }
    texture->shade_table = e->shade_table;
}

// ---- video_madpack ----------------------------------------------------------------
// datapack, animation_t0, animation_speed, first animation, camera node, sky node,
// head node, second animation or "0".

void scene_video_madpack_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    char* s = ctx->row->args;
    vexil_sequence_row* row = ctx->row;
    video_reserve(&scene->madpacks, &scene->madpacks_count, ctx, 1);
    mad_datapack* pack = vexil_load_madpack(ctx->d, parse_arg_str(&s, row, ctx->tmp_arena));
    scene->madpacks[0] = pack;
    scene_madpack_load_textures(ctx->d, pack, ctx->arena, &scene->textures, &scene->textures_count, ctx->tmp_arena);
    video_reserve_floats(scene, ctx, 2);
    scene->floats[0] = parse_arg_float(&s, row);
    scene->floats[1] = parse_arg_float(&s, row);
    char* animation0 = parse_arg_str(&s, row, ctx->tmp_arena);
    char* camera_name = parse_arg_str(&s, row, ctx->tmp_arena);
    char* sky_name = parse_arg_str(&s, row, ctx->tmp_arena);
    char* head_name = parse_arg_str(&s, row, ctx->tmp_arena);
    char* animation1 = parse_arg_str(&s, row, ctx->tmp_arena);

    vexil_madfx* fx = memarena_push_array_zeroed<vexil_madfx>(ctx->arena, 1);
    fx->node_index_lut_count = VEXIL_MADFX_NODES_COUNT;
    fx->node_index_lut[VEXIL_MADFX_NODE_SKY] = mad_node_find_by_name(pack, sky_name);
    fx->node_index_lut[VEXIL_MADFX_NODE_CAMERA] = mad_node_find_by_name(pack, camera_name);
    fx->node_index_lut[VEXIL_MADFX_NODE_HEAD] = mad_node_find_by_name(pack, head_name);
    fx->animation_index_lut_count = strcmp(animation1, "0") == 0 ? 1 : 2;
    fx->animation_index_lut[0] = mad_animation_find_by_name(pack, animation0);
    fx->animation_index_lut[1] = fx->animation_index_lut_count > 1 ? mad_animation_find_by_name(pack, animation1) : -1;
    vexil_madfx_validate(fx);
    int ci = fx->node_index_lut[VEXIL_MADFX_NODE_CAMERA];
    if (!pack->nodes[ci].camera)
        VEXIL_SCENES_CRASH("node[%d] with name %s is not a camera?\n", VEXIL_MADFX_NODE_CAMERA, pack->nodes[ci].name);
    scene->state.madfx = fx;
}

// The nodes the object pass draws: those with a mesh but the sky, and the head
// only when a second animation moves it.
static bool madpack_object_pass_draws(const vexil_madfx* fx, const mad_datapack* pack, int i)
{
    return pack->nodes[i].mesh && i != fx->node_index_lut[VEXIL_MADFX_NODE_SKY] &&
           !(i == fx->node_index_lut[VEXIL_MADFX_NODE_HEAD] && fx->animation_index_lut_count < 2);
}

static bool madpack_finite(const float* v, int n)
{
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i]))
            return false;
    return true;
}

// The camera's world matrix is made of its node's and its ancestors' scale,
// rotation and translation, which the row's animations may set: each of them
// must be finite, or the view and the whole frame are not.
static void madpack_check_camera(vexil_scene_parse_context* ctx, const vexil_madfx* fx, const mad_datapack* pack,
                                 const char* pack_name)
{
    const mad_node* cam_node = &pack->nodes[fx->node_index_lut[VEXIL_MADFX_NODE_CAMERA]];
    const mad_camera* cam = cam_node->camera;
    const char* subject = memprintf(ctx->tmp_arena, "camera node \"%s\" of datapack \"%s\"", cam_node->name, pack_name);
    // Every value that is not at least the minimum, NaN included.
    if (!(cam->znear >= N3D_ZBUFFER_MIN_NEAR_PLANE))
        vexil_scene_refuse(ctx, subject,
                           "near_plane must be >= N3D_ZBUFFER_MIN_NEAR_PLANE but is %.2f (impacts z-buffer number of "
                           "bits to avoid overflow!)\n",
                           (double)cam->znear);
    // 1 / tan(yfov / 2) must be a finite scale of the view.
    if (!(cam->yfov > 0.0f && cam->yfov < LINMATH_PI_F))
        vexil_scene_refuse(ctx, subject, "camera yfov is %g, must be a finite angle above 0 and below pi\n",
                           (double)cam->yfov);
    for (const mad_node* n = cam_node; n; n = n->parent) {
        const char* what = !madpack_finite(n->translation, 3) ? "translation"
                           : !madpack_finite(n->rotation, 4)  ? "rotation"
                           : !madpack_finite(n->scale, 3)     ? "scale"
                                                              : nullptr;
        if (what)
            vexil_scene_refuse(ctx, subject, "camera transform is not finite: the %s of node \"%s\"\n", what, n->name);
        for (int a = 0; a < fx->animation_index_lut_count; a++) {
            const mad_animation* anim = &pack->animations[fx->animation_index_lut[a]];
            for (int c = 0; c < anim->channels_count; c++) {
                const mad_channel* ch = &anim->channels[c];
                if (ch->node != n)
                    continue;
                const mad_sampler* sm = ch->sampler;
                if (!madpack_finite(sm->timestamps, sm->count) || !madpack_finite(sm->values, sm->values_count))
                    vexil_scene_refuse(ctx, subject,
                                       "camera transform is not finite: animation \"%s\" sets node \"%s\" from "
                                       "values that are not finite\n",
                                       anim->name, n->name);
            }
        }
    }
}

// The checks each pass makes of a primitive's texture when it draws, made here
// once for every primitive, with the datapack, node and texture named; the
// rasterizers read textures in their swizzled layout only.
static void madpack_check_textures(vexil_scene_parse_context* ctx, vexil_scene* scene, const vexil_madfx* fx,
                                   const mad_datapack* pack, const char* pack_name)
{
    const int sky = fx->node_index_lut[VEXIL_MADFX_NODE_SKY];
    for (int i = 0; i < pack->nodes_count; i++) {
        const bool is_sky = i == sky;
        if (!pack->nodes[i].mesh || (!is_sky && !madpack_object_pass_draws(fx, pack, i)))
            continue;
        const mad_mesh* mesh = pack->nodes[i].mesh;
        const char* node_subject =
            memprintf(ctx->tmp_arena, "node \"%s\" of datapack \"%s\"", pack->nodes[i].name, pack_name);
        const int want = is_sky ? N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 : N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555;
        for (int k = 0; k < mesh->primitives_count; k++) {
            const mad_material* m = mesh->primitives[k].material;
            const mad_image* image = m ? m->base_color_image : nullptr;
            // The sky takes the first texture when its material names none.
            if (!image && !is_sky)
                vexil_scene_refuse(ctx, node_subject, "mesh has no base_color_image?\n");
            const int ti = image ? image->texture_index : 0;
            const n3d_texture* tex = ti >= 0 && ti < scene->textures_count ? scene->textures[ti] : nullptr;
            if (!tex)
                vexil_scene_refuse(ctx, node_subject, "failed get texture!\n");
            const char* subject = memprintf(ctx->tmp_arena, "texture \"%s\" of node \"%s\" in datapack \"%s\"",
                                            vexil_rsrc_name(ctx->d, tex), pack->nodes[i].name, pack_name);
            if (tex->format != want)
                vexil_scene_refuse(ctx, subject, "wrong format for texture \"%s\" is %d but expected %d\n",
                                   image ? image->name : "(textures[0])", tex->format, want);
            if (tex->not_swizzled)
                vexil_scene_refuse(ctx, subject,
                                   "texture0 is not swizzled! (all rasterizers require textures that are swizzled!\n");
            // The object pass shades through a table of 256 colours x 32 shades.
            if (!is_sky && (tex->colors_count != 256 || tex->shades_per_color != 32 || !tex->palette))
                vexil_scene_refuse(ctx, subject, "texture \"%s\" has no 256 colours of 32 shades\n",
                                   vexil_rsrc_name(ctx->d, tex));
        }
    }
}

void scene_video_madpack_validate(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    const vexil_madfx* fx = scene->state.madfx;
    if (!fx)
        VEXIL_SCENES_CRASH("%s: needs its datapack, animation and node names as arguments (sequence line %d)\n",
                           ctx->row->func_name, ctx->row->line);
    const mad_datapack* pack = scene->madpacks[0];
    const char* pack_name = vexil_rsrc_name(ctx->d, pack);
    madpack_check_camera(ctx, fx, pack, pack_name);
    madpack_check_textures(ctx, scene, fx, pack, pack_name);
}

// The node's mesh and primitive must be drawable: a missing material, image or
// texture or a wrong format ends the program with its message.
static n3d_texture* madpack_object_texture(vexil* d, vexil_scene* scene, int node, const mad_primitive* prim)
{
    if (!prim->material || !prim->material->base_color_image) {
        const mad_datapack* pack = scene->madpacks[0];
        printf("mesh has no base_color_image?\nnode \"%s\" of datapack \"%s\"\n", pack->nodes[node].name,
               vexil_rsrc_name(d, pack));
        fflush(stdout);
        exit(1);
    }
    const mad_image* image = prim->material->base_color_image;
    int ti = image->texture_index;
    n3d_texture* tex = ti >= 0 && ti < scene->textures_count ? scene->textures[ti] : nullptr;
    if (!tex) {
        printf("failed get texture!\n");
        fflush(stdout);
        exit(1);
    }
    if (tex->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555) {
        printf("wrong format for texture \"%s\" is %d but expected %d\n", image->name, tex->format,
               N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555);
        fflush(stdout);
        exit(1);
    }
    return tex;
}

static n3d_texture* madpack_sky_texture(vexil_scene* scene, const mad_primitive* prim)
{
    int ti = 0;
    const char* name = "(textures[0])";
    if (prim->material && prim->material->base_color_image) {
        ti = prim->material->base_color_image->texture_index;
        name = prim->material->base_color_image->name;
    }
    n3d_texture* tex = ti >= 0 && ti < scene->textures_count ? scene->textures[ti] : nullptr;
    if (!tex)
        VEXIL_SCENES_CRASH("failed get texture!\n");
    if (tex->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_SCENES_CRASH("wrong format for texture \"%s\" is %d but expected %d\n", name, tex->format,
                           N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555);
    return tex;
}

// Whether a draw into `to` right after one into `from` at the same time can be
// taken from `from` (madpack_take_page): planes and coverage of one layout, the
// depth buffer shared (the sky pass leaves the objects' depth as it is), and a
// camera that does not move from one draw to the next.
static bool madpack_page_shared(const n3d_frame_context* from, const n3d_frame_context* to)
{
    if (wasd_move_enable)
        return false;
    const n3d_framebuffer *a = from->fb, *b = to->fb;
    if (!a || !b || a->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 || b->format != a->format || a->w != b->w ||
        a->h != b->h)
        return false;
    if (!from->cb || !to->cb || from->cb->w != to->cb->w || from->cb->h != to->cb->h || from->cb->w < a->w ||
        from->cb->h < a->h)
        return false;
    const n3d_depthbuffer* db = from->db;
    return db && to->db == db && db->w >= a->w && db->h >= a->h;
}

// Bytes of a context's coverage.
static size_t madpack_coverage_bytes(const n3d_frame_context* fc) { return (size_t)fc->cb->w * (size_t)fc->cb->h / 8u; }

// Takes into fc what a draw into `from` at this same time left there; the
// pixels neither pass writes keep fc's own. The pixels the object pass wrote are
// those of depth above 0 (its depth test passes only above the stored value,
// which starts at 0, and it writes a depth with every pixel; the sky pass writes
// no depth); those the sky pass wrote are the ones its coverage added to the
// objects' (it marks every pixel of its spans and writes those not yet covered,
// each once). Then the coverage.
static void madpack_take_page(n3d_frame_context* fc, const n3d_frame_context* from, const uint32_t* objects_coverage)
{
    n3d_framebuffer_argb1555_copy_where_depth(fc->fb, from->fb, fc->db);
    const n3d_framebuffer* src = from->fb;
    n3d_framebuffer* dst = fc->fb;
    const int words_per_row = from->cb->w / 32;
    for (int y = 0; y < src->h; y++) {
        const uint32_t* all = from->cb->u32 + (size_t)y * (size_t)words_per_row;
        const uint32_t* objects = objects_coverage + (size_t)y * (size_t)words_per_row;
        const uint16_t* s =
            reinterpret_cast<const uint16_t*>(static_cast<const uint8_t*>(src->b) + (size_t)y * (size_t)src->row_bytes);
        uint16_t* d = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(dst->b) + (size_t)y * (size_t)dst->row_bytes);
        for (int k = 0; k < words_per_row && 32 * k < src->w; k++) {
            const uint32_t sky = all[k] & ~objects[k];
            if (!sky)
                continue;
            if (sky == 0xFFFFFFFFu && 32 * k + 32 <= src->w) {
                memcpy(d + 32 * k, s + 32 * k, 64);
                continue;
            }
            for (int b = 0; b < 32 && 32 * k + b < src->w; b++)
                if (sky & (0x80000000u >> b))
                    d[32 * k + b] = s[32 * k + b];
        }
    }
    memcpy(fc->cb->u32, from->cb->u32, madpack_coverage_bytes(fc));
}

// One frame of the datapack into fc: clears, animation, camera, light, the object
// pass and the sky pass. objects_coverage, when given, receives the coverage as
// the object pass left it. With from, a context that a draw at this same time
// has just been made into (madpack_page_shared), and the coverage its object
// pass left, both passes are taken from there (madpack_take_page) instead of
// drawn again: the passes read nothing of their page but the coverage, which
// starts clear in both, and the depth, which both share.
static void madpack_draw(vexil_scene* scene, vexil_args* args, n3d_frame_context* fc, uint32_t* objects_coverage,
                         const n3d_frame_context* from, const uint32_t* from_objects_coverage)
{
    vexil* d = args->d;
    memarena* arena = args->arena;
    mad_datapack* pack = scene->madpacks[0];
    const vexil_madfx* fx = scene->state.madfx;

    if (!from) {
        n3d_coveragebuffer_clear(fc->cb);
        n3d_depthbuffer_clear(fc->db);
    }

    uint64_t marker = memarena_get_marker(arena);
    const float t = scene->local_t;
    mat4x4* world = memarena_push_array<mat4x4>(arena, (uint64_t)(pack->nodes_count > 0 ? pack->nodes_count : 1));
    for (int i = 0; i < fx->animation_index_lut_count; i++) {
        mad_animate(pack, fx->animation_index_lut[i], scene->floats[1] * t + scene->floats[0]);
        mad_world_matrices(world, pack, arena);
    }
    if (fx->animation_index_lut_count == 0)
        mad_world_matrices(world, pack, arena);

    n3d_space_context sc;
    mat4x4 view_from_world, world_from_view;
    if (wasd_move_enable) {
        fps_camera_move_wasd_mouse(&camera, args->keys_ascii, args->mouse_rel_xy, 1.0f / 60.0f, view_from_world);
        mat4x4_invert(world_from_view, view_from_world);
        n3d_space_context_set(&sc, fc, view_from_world, world_from_view, VIDEO_FREE_CAMERA_FOV_Y,
                              VIDEO_FREE_CAMERA_NEAR);
    } else {
        int ci = fx->node_index_lut[VEXIL_MADFX_NODE_CAMERA];
        const mad_camera* cam = pack->nodes[ci].camera;
        mat4x4_dup(world_from_view, world[ci]);
        mat4x4_invert(view_from_world, world_from_view);
        n3d_space_context_set(&sc, fc, view_from_world, world_from_view, cam->yfov, cam->znear);
    }

    n3d_light_context lc;
    double q = 0.2 * (double)t;
    lc.world_light_pos[0] = (float)(5.0 * sin(LINMATH_PI * q));
    lc.world_light_pos[1] = (float)(5.0 * cos(LINMATH_PI * q));
    lc.world_light_pos[2] = (float)(2.0 * cos(0.6 * LINMATH_PI * q) * sin(2.0 * LINMATH_PI * q));

    n3d_pipeline* p = memarena_push_array<n3d_pipeline>(arena, 1);
    const int sky = fx->node_index_lut[VEXIL_MADFX_NODE_SKY];
    n3d_pipeline_begin(p, fc, &sc);
    for (int i = 0; i < pack->nodes_count; i++) {
        if (!madpack_object_pass_draws(fx, pack, i))
            continue;
        const mad_mesh* mesh = pack->nodes[i].mesh;
        for (int k = 0; k < mesh->primitives_count; k++) {
            mad_primitive* prim = &mesh->primitives[k];
            n3d_texture* tex = madpack_object_texture(d, scene, i, prim);
            vexil_shade_table_cache_bind(d, tex, arena);
            struct n3d_pipeline_cmd cmd;
            memset(&cmd, 0, sizeof cmd);
            cmd.rasterizer_flags = VIDEO_OBJECT_RASTERIZER_FLAGS;
            cmd.draw_mode = VIDEO_OBJECT_DRAW_MODE;
            cmd.texture = tex;
            cmd.phong_lut = &d->pbr_phong_lut;
            cmd.light_context = &lc;
            mat4x4_dup(cmd.world_from_model, world[i]);
            mat4x4_invert(cmd.model_from_world, world[i]);
            cmd.vertices = &prim->vertices;
            n3d_pipeline_cmd(p, &cmd);
        }
    }
    if (from)
        n3d_pipeline_validate_cmds(p);
    else
        n3d_pipeline_end(p);
    if (objects_coverage)
        memcpy(objects_coverage, fc->cb->u32, madpack_coverage_bytes(fc));

    const mad_mesh* sky_mesh = pack->nodes[sky].mesh;
    if (sky_mesh) {
        n3d_pipeline_begin(p, fc, &sc);
        for (int k = 0; k < sky_mesh->primitives_count; k++) {
            mad_primitive* prim = &sky_mesh->primitives[k];
            struct n3d_pipeline_cmd cmd;
            memset(&cmd, 0, sizeof cmd);
            cmd.rasterizer_flags = VIDEO_SKY_RASTERIZER_FLAGS;
            cmd.draw_mode = VIDEO_SKY_DRAW_MODE;
            cmd.texture = madpack_sky_texture(scene, prim);
            cmd.light_context = &lc;
            mat4x4_scale_aniso(cmd.world_from_model, world[sky], VIDEO_SKY_SCALE, VIDEO_SKY_SCALE, VIDEO_SKY_SCALE);
            mat4x4_invert(cmd.model_from_world, world[sky]);
            cmd.vertices = &prim->vertices;
            n3d_pipeline_cmd(p, &cmd);
        }
        if (from)
            n3d_pipeline_validate_cmds(p);
        else
            n3d_pipeline_end(p);
    }
    if (from)
        madpack_take_page(fc, from, from_objects_coverage);
    memarena_goto_marker(arena, marker);
}

void scene_video_madpack(vexil_scene* scene, vexil_args* args)
{
    if (!scene->completed_prepare) {
        if (args->is_vbl)
            return;
        const vec3 origin = {0.0f, 0.0f, 0.0f};
        fps_camera_init(&camera, origin, 0.0f);
        scene->completed_prepare = 1;
        return;
    }
    if (!video_is_loop_pass_run(scene, args))
        return;
    if (pressed_key(args, '2'))
        wasd_move_enable = !wasd_move_enable;
    madpack_draw(scene, args, args->fc, nullptr, nullptr, nullptr);
}

// ---- video_madpack_greets -----------------------------------------------------------

void scene_video_madpack_greets_parse_args(vexil_scene* scene, vexil_scene_parse_context* ctx)
{
    scene_video_madpack_parse_args(scene, ctx);
    video_reserve(&scene->fonts, &scene->fonts_count, ctx, 1);
    scene->fonts[0] = vexil_load_font(ctx->d, "greetings.fnt");
    for (int a = 0; a < 256; a++) {
        uint16_t v = (uint16_t)(a >> 3);
        alpha_to_argb1555[a] = (uint16_t)(v | v << 5 | v << 10 | 0x8000u);
    }
    // Split in place: every newline becomes a NUL and ends a greeting unless the
    // line is empty. Text after the last newline is none; a second row finds no newline.
    char* text = static_cast<char*>(vexil_load_resource(ctx->d, "greetings.ini", VEXIL_RSRC_KIND_TEXT));
    int lines = 0;
    for (char* c = text; *c; c++)
        lines += *c == '\n';
    greets_array = memarena_push_array_zeroed<char*>(ctx->arena, (uint64_t)(lines > 0 ? lines : 1));
    greets_count = 0;
    char* line = text;
    for (char* c = text; *c; c++) {
        if (*c != '\n')
            continue;
        *c = 0;
        if (c > line)
            greets_array[greets_count++] = line;
        line = c + 1;
    }
}

void scene_video_madpack_greets(vexil_scene* scene, vexil_args* args)
{
    if (args->is_vbl)
        return;
    if (!scene->completed_prepare) {
        scene->state.greet_states = memarena_push_array<greet_state>(args->arena, 2);
        scene->state.greet_states[0] = k_greet_state_initial[0];
        scene->state.greet_states[1] = k_greet_state_initial[1];
        scene_video_madpack(scene, args);
        return;
    }
    if (scene->is_cleanup)
        return;
    if (scene->is_first_run) {
        // The backdrop stays: both pages get it once, the second from the first
        // where that gives the same page.
        n3d_frame_context* pages = args->fc_videos;
        if (madpack_page_shared(&pages[0], &pages[1])) {
            uint64_t marker = memarena_get_marker(args->arena);
            uint32_t* coverage = memarena_push_array_align<uint32_t>(
                args->arena, madpack_coverage_bytes(&pages[0]) / 4u, MEMARENA_PLANE_ALIGN);
            madpack_draw(scene, args, &pages[0], coverage, nullptr, nullptr);
            madpack_draw(scene, args, &pages[1], nullptr, &pages[0], coverage);
            memarena_goto_marker(args->arena, marker);
        } else {
            for (int i = 0; i < 2; i++)
                madpack_draw(scene, args, &pages[i], nullptr, nullptr, nullptr);
        }
    }

    memarena* arena = args->arena;
    uint64_t marker = memarena_get_marker(arena);
    n3d_framebuffer grid;
    grid.flags = 0;
    grid.format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
    grid.w = GREETS_GRID_W;
    grid.h = GREETS_GRID_H;
    grid.row_bytes = GREETS_GRID_W * 2;
    grid.b = memarena_push_array_align_zeroed<uint16_t>(arena, (uint64_t)GREETS_GRID_W * GREETS_GRID_H,
                                                        MEMARENA_PLANE_ALIGN);
    const fontbitmap* font = scene->fonts[0];
    for (int i = 0; i < 2; i++) {
        greet_state* st = &scene->state.greet_states[i];
        const greet_pos* gp = &k_greet_pos[i];
        float t = scene->local_t - st->t0;
        if (!(t >= 0.0f) || st->counter >= greets_count)
            continue;
        float x = gp->xdt * t + gp->x0;
        float y = gp->amp * (float)sin(2.0 * LINMATH_PI * (double)(gp->phase + gp->omega * t)) + gp->y0;
        fontbitmap_print_argb1555(font, &grid, nullptr, &x, &y, greets_array[st->counter], alpha_to_argb1555);
        // The text's end has left the grid: the lane's next greeting starts now.
        if (x < 0.0f) {
            st->counter += 2;
            st->t0 = scene->local_t;
        }
    }

    n3d_framebuffer* fb = args->fc->fb;
    const int y1 = fb->h < GREETS_PAGE_Y1 ? fb->h : GREETS_PAGE_Y1;
    const int x1 = fb->w < GREETS_PAGE_X1 ? fb->w - 1 : GREETS_PAGE_X1 - 1;  // x + 1 stays on the page
    const uint16_t black = 0x8000;
    int grid_row = 0;
    for (int y = GREETS_PAGE_Y0; y < y1; y++) {
        uint16_t* dst = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes);
        if ((y & 1) == 0) {
            const uint16_t* src = static_cast<const uint16_t*>(grid.b) + (size_t)grid_row * GREETS_GRID_W;
            int gx = 0;
            for (int x = GREETS_PAGE_X0; x < x1; x += 2) {
                dst[x] = src[gx++];
                dst[x + 1] = black;
            }
            grid_row++;
        } else {
            for (int x = GREETS_PAGE_X0; x < x1; x += 2)
                dst[x] = black;
        }
    }
    memarena_goto_marker(arena, marker);
}
