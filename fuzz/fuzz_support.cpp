#include "fuzz_support.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "host/valkyrie_context.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "image/texel.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_starfield.h"

// Big enough for the production's "vexil_arena" and "vexil_tmp_arena" plus the
// red zones of a fuzz build; a hostile count that asks for more ends in the
// arena's out-of-memory crash like it would in the program.
#define FUZZ_ARENA_SIZE (48ull << 20)
#define FUZZ_TMP_ARENA_SIZE (8ull << 20)
#define FUZZ_DEMO_ARENA_SIZE (16ull << 20)
#define FUZZ_PERSIST_ARENA_SIZE (16ull << 20)

static memarena g_arena;
static memarena g_tmp_arena;
static memarena g_demo_arena;
static memarena g_persist_arena;
static fuzz_env g_env;
static vexil_starfield_star* g_stars;
static int g_ready;

static jmp_buf g_exit_jmp;
static int g_in_run;

static void fuzz_exit_hook(int status)
{
    (void)status;
    if (!g_in_run) {
        // A failure exit outside any run: the target itself is broken.
        fprintf(stderr, "fuzz: failure exit outside a run\n");
        abort();
    }
    longjmp(g_exit_jmp, 1);
}

static void* fuzz_block(uint64_t size)
{
    void* p = malloc(size);
    if (!p) {
        fprintf(stderr, "fuzz: no memory for the arenas\n");
        abort();
    }
    return p;
}

fuzz_env* fuzz_begin()
{
    if (!g_ready) {
        g_ready = 1;
        crash_set_exit_hook(fuzz_exit_hook);
        memarena_init(&g_arena, "vexil_arena", FUZZ_ARENA_SIZE, fuzz_block(FUZZ_ARENA_SIZE));
        memarena_init(&g_tmp_arena, "vexil_tmp_arena", FUZZ_TMP_ARENA_SIZE, fuzz_block(FUZZ_TMP_ARENA_SIZE));
        memarena_init(&g_demo_arena, "demo_arena", FUZZ_DEMO_ARENA_SIZE, fuzz_block(FUZZ_DEMO_ARENA_SIZE));
        memarena_init(&g_persist_arena, "fuzz_persist_arena", FUZZ_PERSIST_ARENA_SIZE,
                      fuzz_block(FUZZ_PERSIST_ARENA_SIZE));
        memarena* P = &g_persist_arena;
        fuzz_env* e = &g_env;
        e->arena = &g_arena;
        e->tmp_arena = &g_tmp_arena;
        e->demo_arena = &g_demo_arena;
        e->fc_overlay = memarena_push_array_zeroed<n3d_frame_context>(P, 1);
        n3d_framecontext_init(e->fc_overlay, P, 640, 480, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER);
        e->fc_overlay_backbuffers = memarena_push_array_zeroed<n3d_frame_context>(P, VEXIL_OVERLAY_BACKBUFFERS_COUNT);
        for (int i = 0; i < VEXIL_OVERLAY_BACKBUFFERS_COUNT; i++)
            n3d_framecontext_init(&e->fc_overlay_backbuffers[i], P, 640, 480, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8,
                                  N3D_FRAMECONTEXT_COVERAGEBUFFER);
        e->overlay_stencils = memarena_push_array_zeroed<n3d_coveragebuffer>(P, VEXIL_OVERLAY_STENCILS_COUNT);
        for (int i = 0; i < VEXIL_OVERLAY_STENCILS_COUNT; i++) {
            n3d_coveragebuffer_init(&e->overlay_stencils[i], 640, 480, P);
            n3d_coveragebuffer_clear(&e->overlay_stencils[i]);
        }
        e->fc_videos = memarena_push_array_zeroed<n3d_frame_context>(P, 2);
        for (int i = 0; i < 2; i++)
            n3d_framecontext_init(&e->fc_videos[i], P, 320, 240, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555,
                                  N3D_FRAMECONTEXT_COVERAGEBUFFER | N3D_FRAMECONTEXT_DEPTHBUFFER);
        e->video = memarena_push_array_zeroed<valkyrie_context>(P, 1);
        emulate_valkyrie_init(e->video, P);
        g_stars = memarena_push_array_zeroed<vexil_starfield_star>(P, VEXIL_STARS_CAPACITY);
        for (int i = 0; i < 256; i++) {
            e->alpha_to_clut[i] = (uint8_t)i;
            e->alpha_to_argb1555[i] = (uint16_t)(0x8000u | (uint32_t)(i >> 3) * 0x421u);
        }
    }
    memarena_reset(&g_arena);
    memarena_reset(&g_tmp_arena);
    memarena_reset(&g_demo_arena);
    return &g_env;
}

int fuzz_run(void (*fn)(void*), void* user)
{
    if (setjmp(g_exit_jmp)) {
        g_in_run = 0;
        return 1;
    }
    g_in_run = 1;
    fn(user);
    g_in_run = 0;
    return 0;
}

// Where fuzz_touch leaves its sum, so the reads cannot be left out.
volatile uint8_t g_fuzz_touch_sink;

void fuzz_touch(const void* p, uint64_t n)
{
    const volatile uint8_t* b = static_cast<const volatile uint8_t*>(p);
    uint8_t acc = 0;
    for (uint64_t i = 0; i < n; i++)
        acc = (uint8_t)(acc + b[i]);
    g_fuzz_touch_sink = acc;
}

int fuzz_same(const void* a, const void* b, uint64_t n) { return n == 0 || memcmp(a, b, n) == 0; }

void fuzz_fail(const char* what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

// ---- pack images ----

uint8_t* fuzz_pack_image(const fuzz_payload* payloads, int count, int endian, uint64_t* out_size)
{
    uint64_t header = VEXIL_FS_HEADER_FIXED_SIZE;
    uint64_t total = 0;
    for (int i = 0; i < count; i++) {
        header += VEXIL_FS_ENTRY_FILE_SIZE + strlen(payloads[i].name) + 1;
        total += payloads[i].size;
    }
    total += header;
    uint8_t* image = static_cast<uint8_t*>(fuzz_block(total ? total : 1));
    uint8_t* c = io_store32(image, IO_ENDIAN_MARKER, endian);
    c = io_store32(c, (uint32_t)count, endian);
    uint64_t offset = header;
    for (int i = 0; i < count; i++) {
        c = io_store32(c, 0, endian);
        c = io_store16(c, (uint16_t)payloads[i].kind, endian);
        c = io_store16(c, (uint16_t)(strlen(payloads[i].name) + 1), endian);
        c = io_store32(c, (uint32_t)offset, endian);
        c = io_store32(c, (uint32_t)payloads[i].size, endian);
        offset += payloads[i].size;
    }
    for (int i = 0; i < count; i++)
        c = io_storestr(c, payloads[i].name);
    for (int i = 0; i < count; i++) {
        if (payloads[i].size)
            memcpy(c, payloads[i].bytes, payloads[i].size);
        c += payloads[i].size;
    }
    *out_size = total;
    return image;
}

uint8_t* fuzz_copy(const uint8_t* data, uint64_t n, int terminate)
{
    uint64_t total = n + (terminate ? 1 : 0);
    uint8_t* p = static_cast<uint8_t*>(fuzz_block(total ? total : 1));
    if (n)
        memcpy(p, data, n);
    if (terminate)
        p[n] = 0;
    return p;
}

void fuzz_free(void* p) { free(p); }

vexil* fuzz_vexil(fuzz_env* env, vexil_fs* paks, int count)
{
    static vexil d;
    memset(&d, 0, sizeof(d));
    d.arena = env->arena;
    d.tmp_arena = env->tmp_arena;
    d.paks = paks;
    d.paks_count = count;
    d.fc_overlay_backbuffers_count = VEXIL_OVERLAY_BACKBUFFERS_COUNT;
    d.fc_overlay_backbuffers = env->fc_overlay_backbuffers;
    d.overlay_stencils_count = VEXIL_OVERLAY_STENCILS_COUNT;
    d.overlay_stencils = env->overlay_stencils;
    d.stars_capacity = VEXIL_STARS_CAPACITY;
    d.stars = g_stars;
    vexil_bindings_register(&d);
    return &d;
}

// ---- consumers ----

static void fuzz_use_coveragebuffer(const n3d_coveragebuffer* cb)
{
    if (cb->w < 0 || cb->h < 0 || cb->w % 32 != 0)
        fuzz_fail("coverage buffer of a width that is not whole words");
    fuzz_touch(cb->u32, (uint64_t)cb->w / 32 * (uint64_t)cb->h * 4);
}

static void fuzz_use_stencil(fuzz_env* env, n3d_coveragebuffer* cb)
{
    fuzz_use_coveragebuffer(cb);
    // As overlay_stencil_set places it: anywhere, clipped to the slot.
    n3d_coveragebuffer* slot = &env->overlay_stencils[0];
    n2d_cb_copy(slot, 0, 0, cb, 0, slot->h);
    n2d_cb_copy(slot, 600, 470, cb, 0, slot->h);
    n2d_cb_copy(slot, -cb->w / 2, -cb->h / 2, cb, 0, slot->h);
}

static void fuzz_use_texture(const n3d_texture* t)
{
    // Swizzled textures are at most 256 texels a side; unswizzled ones (images) larger.
    const int max_log2 = t->not_swizzled ? N3D_TEXTURE_MAX_LOG2_NOT_SWIZZLED : N3D_TEXTURE_MAX_LOG2;
    if (t->format < 1 || t->format > 4 || t->w_log2 < 0 || t->w_log2 > max_log2 || t->h_log2 < 0 ||
        t->h_log2 > max_log2 || t->min_u_level < 0 || t->min_u_level > t->w_log2 || t->min_v_level < 0 ||
        t->min_v_level > t->h_log2)
        fuzz_fail("texture loaded with a shape the renderer cannot use");
    if (t->format == 1 || t->format == 3) {
        uint64_t e = t->format == 1 ? 2 : 1;
        if (t->colors_count != 256 || t->shades_per_color != 32 || !t->palette || !t->shade_table)
            fuzz_fail("indexed texture without its 256 colours of 32 shades");
        fuzz_touch(t->palette, 256 * e);
        fuzz_touch(t->shade_table, 256 * 32 * e);
    }
    int swizzled = t->not_swizzled == 0;
    for (int u = t->w_log2; u >= t->min_u_level; u--)
        for (int v = t->h_log2; v >= t->min_v_level; v--) {
            const uint8_t* level = t->mips[N3D_MIP_INDEX(t->w_log2 - u, t->h_log2 - v)];
            if (!level)
                fuzz_fail("texture level of its chain missing");
            fuzz_touch(level, n3d_mipmap_size(t->format, swizzled, u, v));
        }
}

static void fuzz_use_palette(const palette* p)
{
    if (p->offset < 0 || p->count < 0 || p->offset + p->count > PALETTE_CLUT_ENTRIES)
        fuzz_fail("palette reaching past the colour table");
    fuzz_touch(p->rgba8888, (uint64_t)p->count * 4);
}

static void fuzz_use_palette_animation(fuzz_env* env, const palette_animation* pa)
{
    if (pa->w < 0 || pa->h < 0 || pa->frames_count < 0)
        fuzz_fail("palette animation of negative size");
    fuzz_touch(pa->image, (uint64_t)pa->w * (uint64_t)pa->h);
    for (int i = 0; i < pa->frames_count; i++)
        fuzz_use_palette(&pa->frames[i]);
    n2d_blit_buffer_index8(env->fc_overlay, pa->image, pa->w, 0, 0, pa->w, pa->h, 0, 0, pa->w, pa->h, 0, pa->h);
}

static void fuzz_use_rle_image(fuzz_env* env, const vexil_rle_image* im)
{
    fuzz_touch(im->rle_data, (uint64_t)(im->rle_size > 0 ? im->rle_size : 0));
    n3d_framebuffer* fb = env->fc_overlay->fb;
    // Drawing past an edge is the crash path; the scenes place images inside.
    if (im->w <= fb->w && im->h <= fb->h) {
        vexil_rle_image_draw(fb, im, 0, 0);
        vexil_rle_image_erase(fb, im, fb->w - im->w, fb->h - im->h, 0);
    }
}

static void fuzz_use_image(fuzz_env* env, const vexil_image* im)
{
    fuzz_use_texture(&im->texture);
    if (im->w < 0 || im->h < 0 || im->w > (1 << im->texture.w_log2) || im->h > (1 << im->texture.h_log2))
        fuzz_fail("image larger than its texture");
    vexil_image_draw(env->fc_overlay, 0, 0, im);
    vexil_image_draw(env->fc_overlay, 630, 470, im);
    vexil_image_draw(env->fc_overlay, -im->w / 2, -im->h / 2, im);
}

void fuzz_use_vertices(const n3d_vertices* v, int joints_limit)
{
    if (v->count < 0)
        fuzz_fail("vertex list of negative count");
    uint64_t n = (uint64_t)v->count;
    fuzz_touch(v->xyz, v->xyz ? n * N3D_VERTICES_XYZ_BYTES : 0);
    fuzz_touch(v->uv, v->uv ? n * N3D_VERTICES_UV_BYTES : 0);
    fuzz_touch(v->n_xyz, v->n_xyz ? n * N3D_VERTICES_N_XYZ_BYTES : 0);
    fuzz_touch(v->t_xyz, v->t_xyz ? n * N3D_VERTICES_T_XYZ_BYTES : 0);
    fuzz_touch(v->b_xyz, v->b_xyz ? n * N3D_VERTICES_B_XYZ_BYTES : 0);
    fuzz_touch(v->tb_norm, v->tb_norm ? n * N3D_VERTICES_TB_NORM_BYTES : 0);
    fuzz_touch(v->joints_weights, v->joints_weights ? n * N3D_VERTICES_JOINTS_WEIGHTS_BYTES : 0);
    if (v->joints) {
        fuzz_touch(v->joints, n * N3D_VERTICES_JOINTS_BYTES);
        if (joints_limit >= 0)
            for (uint64_t i = 0; i < n * 4; i++)
                if (v->joints[i] >= joints_limit)
                    fuzz_fail("skinned vertex names a joint its skin does not have");
    }
}

static int fuzz_node_index(const mad_datapack* dp, const mad_node* n)
{
    if (!n)
        return -1;
    if (n < dp->nodes || n >= dp->nodes + dp->nodes_count)
        fuzz_fail("datapack pointer outside its node array");
    return (int)(n - dp->nodes);
}

static void fuzz_use_madpack(const mad_datapack* dp)
{
    if (dp->nodes_count < 0 || dp->meshes_count < 0 || dp->skins_count < 0 || dp->cameras_count < 0 ||
        dp->animations_count < 0 || dp->images_count < 0 || dp->materials_count < 0)
        fuzz_fail("datapack with a negative count");
    for (int i = 0; i < dp->images_count; i++)
        if (dp->images[i].name)
            fuzz_touch(dp->images[i].name, strlen(dp->images[i].name));
    for (int i = 0; i < dp->materials_count; i++) {
        const mad_image* im = dp->materials[i].base_color_image;
        if (im && (im < dp->images || im >= dp->images + dp->images_count))
            fuzz_fail("material image outside the image array");
    }
    for (int i = 0; i < dp->skins_count; i++) {
        const mad_skin* s = &dp->skins[i];
        fuzz_touch(s->joints, (uint64_t)s->joints_count * sizeof(int));
        fuzz_touch(s->joint_from_model_matrices, (uint64_t)s->joints_count * sizeof(mat4x4));
        fuzz_touch(s->model_from_joint_matrices, (uint64_t)s->joints_count * sizeof(mat4x4));
        for (int j = 0; j < s->joints_count; j++)
            if (s->joints[j] < 0 || s->joints[j] >= dp->nodes_count)
                fuzz_fail("skin joint outside the node array");
    }
    for (int i = 0; i < dp->nodes_count; i++) {
        const mad_node* n = &dp->nodes[i];
        fuzz_node_index(dp, n->parent);
        if (n->name)
            fuzz_touch(n->name, strlen(n->name));
        for (int c = 0; c < n->children_count; c++) {
            int ci = n->children_index[c];
            if (ci < 0 || ci >= dp->nodes_count || dp->nodes[ci].parent != n)
                fuzz_fail("child whose parent is another node");
        }
        // Walking up from every node ends at a root within nodes_count steps.
        int steps = 0;
        for (const mad_node* p = n->parent; p; p = p->parent)
            if (++steps > dp->nodes_count)
                fuzz_fail("node hierarchy with a cycle");
        if (n->mesh) {
            if (n->mesh < dp->meshes || n->mesh >= dp->meshes + dp->meshes_count)
                fuzz_fail("node mesh outside the mesh array");
            if (n->skin && (n->skin < dp->skins || n->skin >= dp->skins + dp->skins_count))
                fuzz_fail("node skin outside the skin array");
            for (int p = 0; p < n->mesh->primitives_count; p++) {
                const mad_primitive* pr = &n->mesh->primitives[p];
                fuzz_use_vertices(&pr->vertices, n->skin ? n->skin->joints_count : -1);
                const mad_material* m = pr->material;
                if (m && (m < dp->materials || m >= dp->materials + dp->materials_count))
                    fuzz_fail("primitive material outside the material array");
            }
        }
        if (n->camera && (n->camera < dp->cameras || n->camera >= dp->cameras + dp->cameras_count))
            fuzz_fail("node camera outside the camera array");
    }
    for (int i = 0; i < dp->meshes_count; i++)
        for (int p = 0; p < dp->meshes[i].primitives_count; p++)
            fuzz_use_vertices(&dp->meshes[i].primitives[p].vertices, -1);
    for (int i = 0; i < dp->animations_count; i++) {
        const mad_animation* a = &dp->animations[i];
        for (int s = 0; s < a->samplers_count; s++) {
            const mad_sampler* sm = &a->samplers[s];
            if (sm->count < 1)
                fuzz_fail("sampler without keyframes");
            fuzz_touch(sm->timestamps, (uint64_t)sm->count * 4);
            fuzz_touch(sm->values, (uint64_t)(sm->values_count > 0 ? sm->values_count : 0) * 4);
            for (int k = 1; k < sm->count; k++)
                if (!(sm->timestamps[k] >= sm->timestamps[k - 1]))
                    fuzz_fail("sampler times decreasing");
        }
        for (int c = 0; c < a->channels_count; c++) {
            const mad_channel* ch = &a->channels[c];
            fuzz_node_index(dp, ch->node);
            if (!ch->sampler || ch->sampler < a->samplers || ch->sampler >= a->samplers + a->samplers_count)
                fuzz_fail("channel sampler outside its animation");
            // Other attributes are skipped by the animation and read nothing.
            int per_key = ch->attribute == MAD_ATTRIBUTE_ROTATION ? 4 : 3;
            int sampled = ch->attribute == MAD_ATTRIBUTE_TRANSLATION || ch->attribute == MAD_ATTRIBUTE_ROTATION ||
                          ch->attribute == MAD_ATTRIBUTE_SCALE;
            if (sampled && (int64_t)ch->sampler->count * per_key > ch->sampler->values_count)
                fuzz_fail("channel sampler with too few values");
        }
    }
}

static void fuzz_use_font(fuzz_env* env, const fontbitmap* f)
{
    if (f->codepoint_count != f->codepoint_last - f->codepoint_first + 1 || f->codepoint_count < 0)
        fuzz_fail("font count does not match its range");
    for (int i = 0; i < f->codepoint_count; i++) {
        const fontbitmap_glyph* g = &f->glyphs[i];
        if (g->w < 0 || g->h < 0)
            fuzz_fail("glyph of negative size");
        fuzz_touch(g->alpha, (uint64_t)g->w * (uint64_t)g->h);
        fuzz_use_coveragebuffer(&g->cb);
        if (g->cb.w < g->w || g->cb.h < g->h)
            fuzz_fail("glyph coverage smaller than the glyph");
    }
    char text[300];
    int n = 0;
    for (int c = -128; c < 128 && n < (int)sizeof(text) - 1; c++)
        if (c != 0)
            text[n++] = (char)c;
    text[n] = 0;
    float x = 0, y = 0;
    fontbitmap_print_index8(f, env->fc_overlay->fb, env->fc_overlay->cb, &x, &y, text, env->alpha_to_clut);
    x = -20;
    y = 230;
    fontbitmap_print_argb1555(f, env->fc_videos[0].fb, env->fc_videos[0].cb, &x, &y, text, env->alpha_to_argb1555);
}

// ---- valid records ----

static n3d_texture fuzz_make_texture(memarena* arena, int format, int swizzled, int w_log2, int h_log2, int min_u,
                                     int min_v, uint32_t seed)
{
    n3d_texture t{};
    t.format = format;
    t.not_swizzled = swizzled ? 0 : 1;
    t.w_log2 = w_log2;
    t.h_log2 = h_log2;
    t.min_u_level = min_u;
    t.min_v_level = min_v;
    uint32_t x = seed;
    if (format == 1 || format == 3) {
        t.colors_count = 256;
        t.shades_per_color = 32;
        uint64_t e = format == 1 ? 2 : 1;
        uint8_t* pal = static_cast<uint8_t*>(memarena_push_align(arena, 256 * e, 8));
        uint8_t* st = static_cast<uint8_t*>(memarena_push_align(arena, 256 * 32 * e, 8));
        for (uint64_t i = 0; i < 256 * e; i++)
            pal[i] = (uint8_t)(x += 7);
        for (uint64_t i = 0; i < 256 * 32 * e; i++)
            st[i] = (uint8_t)(x += 3);
        t.palette = pal;
        t.shade_table = st;
    }
    t.mips = memarena_push_array_zeroed<uint8_t*>(arena, (uint64_t)N3D_MIP_INDEX(w_log2 - min_u, h_log2 - min_v) + 1);
    for (int u = w_log2; u >= min_u; u--)
        for (int v = h_log2; v >= min_v; v--) {
            uint32_t size = n3d_mipmap_size(format, swizzled, u, v);
            uint8_t* level = static_cast<uint8_t*>(memarena_push_align(arena, size, 8));
            for (uint32_t i = 0; i < size; i++)
                level[i] = (uint8_t)((x += 5) & 0x1F);
            t.mips[N3D_MIP_INDEX(w_log2 - u, h_log2 - v)] = level;
        }
    return t;
}

static void fuzz_fill_palette(palette* p, memarena* arena, int offset, int count)
{
    palette_init(p, arena, offset, count);
    for (int i = 0; i < count * 4; i++)
        p->rgba8888[i] = (uint8_t)(i * 37 + offset);
}

static uint8_t* fuzz_record_stencil(memarena* arena, uint8_t* b, int variant, int endian)
{
    static const int sizes[FUZZ_PAYLOAD_VARIANTS][2] = {{32, 8}, {64, 20}, {640, 480}};
    n3d_coveragebuffer cb{};
    n3d_coveragebuffer_init(&cb, sizes[variant][0], sizes[variant][1], arena);
    for (int i = 0; i < cb.w / 32 * cb.h; i++)
        cb.u32[i] = 0x0F0F00FFu * (uint32_t)(i + 1);
    return n3d_io_coveragebuffer_store(b, &cb, endian);
}

static uint8_t* fuzz_record_texture(memarena* arena, uint8_t* b, int variant, int endian)
{
    static const int shapes[FUZZ_PAYLOAD_VARIANTS][6] = {{3, 0, 4, 4, 4, 4}, {3, 0, 5, 5, 2, 2}, {1, 1, 3, 3, 2, 2}};
    const int* s = shapes[variant];
    n3d_texture t = fuzz_make_texture(arena, s[0], s[1], s[2], s[3], s[4], s[5], (uint32_t)variant);
    return n3d_io_texture_store(b, &t, endian);
}

static uint8_t* fuzz_record_palette_animation(memarena* arena, uint8_t* b, int variant, int endian)
{
    palette_animation pa{};
    pa.w = 8 + variant * 8;
    pa.h = 4 + variant;
    pa.frames_count = 1 + variant;
    pa.image = static_cast<uint8_t*>(memarena_push(arena, (uint64_t)pa.w * (uint64_t)pa.h));
    for (int i = 0; i < pa.w * pa.h; i++)
        pa.image[i] = (uint8_t)(i % 16);
    pa.frames = memarena_push_array_zeroed<palette>(arena, (uint64_t)pa.frames_count);
    for (int i = 0; i < pa.frames_count; i++)
        fuzz_fill_palette(&pa.frames[i], arena, 0, 16);
    return palette_animation_io_store(b, &pa, endian);
}

static uint8_t* fuzz_record_palette(memarena* arena, uint8_t* b, int variant, int endian)
{
    static const int shapes[FUZZ_PAYLOAD_VARIANTS][2] = {{0, 256}, {16, 8}, {255, 1}};
    palette p{};
    fuzz_fill_palette(&p, arena, shapes[variant][0], shapes[variant][1]);
    return palette_io_store(b, &p, endian);
}

static uint8_t* fuzz_record_rle_image(memarena* arena, uint8_t* b, int variant, int endian)
{
    n3d_framebuffer fb{};
    int w = 16 + 24 * variant, h = 8 + 4 * variant;
    n3d_framebuffer_init_index8(&fb, w, h, arena);
    uint8_t* px = static_cast<uint8_t*>(fb.b);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            px[y * fb.row_bytes + x] = (uint8_t)(variant == 2 ? 0 : ((x / 3 + y) % 5) * (x % 7 != 0));
    vexil_rle_image im{};
    vexil_rle_image_from_framebuffer(&im, arena, &fb, 0);
    return vexil_rle_image_store(b, &im, endian);
}

static uint8_t* fuzz_record_image(memarena* arena, uint8_t* b, int variant, int endian)
{
    vexil_image im{};
    static const int shapes[FUZZ_PAYLOAD_VARIANTS][4] = {{20, 10, 5, 4}, {32, 32, 5, 5}, {3, 4, 2, 2}};
    im.w = shapes[variant][0];
    im.h = shapes[variant][1];
    im.texture = fuzz_make_texture(arena, 3, 0, shapes[variant][2], shapes[variant][3], shapes[variant][2],
                                   shapes[variant][3], 11u + (uint32_t)variant);
    return vexil_image_store(b, &im, endian);
}

static uint8_t* fuzz_record_madpack(memarena* arena, uint8_t* b, int variant, int endian)
{
    mad_datapack dp{};
    int nodes = 1 + variant;
    dp.nodes_count = nodes;
    dp.nodes = memarena_push_array_zeroed<mad_node>(arena, (uint64_t)nodes);
    dp.images_count = variant ? 1 : 0;
    dp.images = memarena_push_array_zeroed<mad_image>(arena, 1);
    dp.images[0].name = const_cast<char*>("tex");
    dp.materials_count = variant ? 1 : 0;
    dp.materials = memarena_push_array_zeroed<mad_material>(arena, 1);
    dp.materials[0].base_color_image = &dp.images[0];
    vec4_set(dp.materials[0].base_color, 1, 0.5f, 0.25f, 1);
    dp.meshes_count = variant ? 1 : 0;
    dp.meshes = memarena_push_array_zeroed<mad_mesh>(arena, 1);
    dp.meshes[0].primitives_count = 1;
    dp.meshes[0].primitives = memarena_push_array_zeroed<mad_primitive>(arena, 1);
    n3d_vertices* v = &dp.meshes[0].primitives[0].vertices;
    v->count = 3;
    v->xyz = memarena_push_array<float>(arena, 9);
    v->uv = memarena_push_array<float>(arena, 6);
    for (int i = 0; i < 9; i++)
        v->xyz[i] = (float)(i % 3 == i / 3);
    for (int i = 0; i < 6; i++)
        v->uv[i] = (float)(i & 1);
    dp.meshes[0].primitives[0].material = dp.materials_count ? &dp.materials[0] : nullptr;
    if (variant == 2) {
        v->joints = memarena_push_array_zeroed<uint8_t>(arena, 12);
        v->joints_weights = memarena_push_array_zeroed<float>(arena, 12);
        for (int i = 0; i < 3; i++) {
            v->joints[i * 4] = (uint8_t)(i % 2);
            v->joints_weights[i * 4] = 1;
        }
        dp.skins_count = 1;
        dp.skins = memarena_push_array_zeroed<mad_skin>(arena, 1);
        dp.skins[0].joints_count = 2;
        dp.skins[0].joints = memarena_push_array_zeroed<int>(arena, 2);
        dp.skins[0].joints[0] = 1;
        dp.skins[0].joints[1] = 2;
        dp.skins[0].joint_from_model_matrices = memarena_push_array_zeroed<mat4x4>(arena, 2);
        dp.skins[0].model_from_joint_matrices = memarena_push_array_zeroed<mat4x4>(arena, 2);
        mat4x4_identity(dp.skins[0].joint_from_model_matrices[0]);
        mat4x4_identity(dp.skins[0].joint_from_model_matrices[1]);
        mat4x4_identity(dp.skins[0].model_from_joint_matrices[0]);
        mat4x4_identity(dp.skins[0].model_from_joint_matrices[1]);
    }
    static char names[3][8] = {"root", "arm", "hand"};
    for (int i = 0; i < nodes; i++) {
        mad_node* n = &dp.nodes[i];
        n->name = names[i];
        vec3_set(n->scale, 1, 1, 1);
        n->rotation[0] = n->rotation[1] = n->rotation[2] = 0;
        n->rotation[3] = 1;
        vec3_set(n->translation, (float)i, 0, 0);
        if (i + 1 < nodes) {
            n->children_count = 1;
            n->children_index = memarena_push_array<int>(arena, 1);
            n->children_index[0] = i + 1;
        }
        n->parent = i ? &dp.nodes[i - 1] : nullptr;
    }
    if (variant) {
        dp.nodes[0].mesh = &dp.meshes[0];
        dp.cameras_count = 1;
        dp.cameras = memarena_push_array_zeroed<mad_camera>(arena, 1);
        dp.cameras[0].znear = 0.1f;
        dp.cameras[0].zfar = 100;
        dp.cameras[0].aspect_ratio = 4.0f / 3.0f;
        dp.cameras[0].yfov = 1;
        dp.nodes[nodes - 1].camera = &dp.cameras[0];
    }
    if (variant == 2)
        dp.nodes[0].skin = &dp.skins[0];
    if (variant) {
        dp.animations_count = 1;
        dp.animations = memarena_push_array_zeroed<mad_animation>(arena, 1);
        mad_animation* a = &dp.animations[0];
        a->name = const_cast<char*>("take");
        a->samplers_count = 2;
        a->samplers = memarena_push_array_zeroed<mad_sampler>(arena, 2);
        for (int s = 0; s < 2; s++) {
            mad_sampler* sm = &a->samplers[s];
            sm->interpolation = s ? MAD_INTERPOLATION_STEP : MAD_INTERPOLATION_LINEAR;
            sm->count = 2;
            sm->values_count = s ? 8 : 6;
            sm->timestamps = memarena_push_array<float>(arena, 2);
            sm->timestamps[0] = 0;
            sm->timestamps[1] = 1;
            sm->values = memarena_push_array_zeroed<float>(arena, (uint64_t)sm->values_count);
            sm->values[sm->values_count - 1] = 1;
        }
        a->channels_count = 2;
        a->channels = memarena_push_array_zeroed<mad_channel>(arena, 2);
        a->channels[0] = {&dp.nodes[0], &a->samplers[0], MAD_ATTRIBUTE_TRANSLATION};
        a->channels[1] = {&dp.nodes[nodes - 1], &a->samplers[1], MAD_ATTRIBUTE_ROTATION};
    }
    return mad_datapack_store(b, &dp, endian);
}

static uint8_t* fuzz_record_font(memarena* arena, uint8_t* b, int variant, int endian)
{
    fontbitmap f{};
    f.codepoint_first = variant == 2 ? -3 : 'A';
    f.codepoint_last = f.codepoint_first + 2 + variant;
    f.codepoint_count = f.codepoint_last - f.codepoint_first + 1;
    f.glyphs = memarena_push_array_zeroed<fontbitmap_glyph>(arena, (uint64_t)f.codepoint_count);
    for (int i = 0; i < f.codepoint_count; i++) {
        fontbitmap_glyph* g = &f.glyphs[i];
        g->w = 3 + i;
        g->h = 5 + (i & 1);
        g->xoff = (float)(i % 2);
        g->yoff = -(float)g->h;
        g->xadvance = (float)g->w + 1;
        g->alpha = static_cast<uint8_t*>(memarena_push(arena, (uint64_t)g->w * (uint64_t)g->h));
        for (int k = 0; k < g->w * g->h; k++)
            g->alpha[k] = (uint8_t)(k * 29);
        n3d_coveragebuffer_init(&g->cb, n3d_coveragebuffer_width_at_least(g->w), g->h, arena);
        n3d_coveragebuffer_clear(&g->cb);
        for (int y = 0; y < g->h; y++)
            for (int x = 0; x < g->w; x++)
                if (g->alpha[y * g->w + x])
                    g->cb.u32[(y * g->cb.w + x) / 32] |= 0x80000000u >> (x & 31);
    }
    return fontbitmap_io_store(b, &f, endian);
}

// ---- the kinds ----

static void fuzz_use_music(fuzz_env* env, void* r)
{
    (void)env;
    vexil_music* m = static_cast<vexil_music*>(r);
    fuzz_touch(m->buffer, m->size);
}

static void fuzz_use_text(fuzz_env* env, void* r)
{
    (void)env;
    fuzz_touch(r, strlen(static_cast<const char*>(r)));
}

// What the harness does with each resource kind of the runtime's table, row for
// row: a kind added there fails to build here until it has its row.
struct fuzz_kind {
    int kind;
    uint8_t* (*record)(memarena* arena, uint8_t* b, int variant, int endian);  // null: no record of its own
    void (*use)(fuzz_env* env, void* resource);
};

static constexpr fuzz_kind k_fuzz_kinds[] = {
    {VEXIL_RSRC_KIND_STENCIL, fuzz_record_stencil,
     [](fuzz_env* e, void* r) { fuzz_use_stencil(e, static_cast<n3d_coveragebuffer*>(r)); }},
    {VEXIL_RSRC_KIND_TEXTURE, fuzz_record_texture,
     [](fuzz_env*, void* r) { fuzz_use_texture(static_cast<n3d_texture*>(r)); }},
    {VEXIL_RSRC_KIND_PALETTE_ANIMATION, fuzz_record_palette_animation,
     [](fuzz_env* e, void* r) { fuzz_use_palette_animation(e, static_cast<palette_animation*>(r)); }},
    {VEXIL_RSRC_KIND_PALETTE, fuzz_record_palette,
     [](fuzz_env*, void* r) { fuzz_use_palette(static_cast<palette*>(r)); }},
    {VEXIL_RSRC_KIND_RLE_IMAGE, fuzz_record_rle_image,
     [](fuzz_env* e, void* r) { fuzz_use_rle_image(e, static_cast<vexil_rle_image*>(r)); }},
    {VEXIL_RSRC_KIND_IMAGE, fuzz_record_image,
     [](fuzz_env* e, void* r) { fuzz_use_image(e, static_cast<vexil_image*>(r)); }},
    {VEXIL_RSRC_KIND_MADPACK, fuzz_record_madpack,
     [](fuzz_env*, void* r) { fuzz_use_madpack(static_cast<mad_datapack*>(r)); }},
    {VEXIL_RSRC_KIND_FONT, fuzz_record_font,
     [](fuzz_env* e, void* r) { fuzz_use_font(e, static_cast<fontbitmap*>(r)); }},
    {VEXIL_RSRC_KIND_MUSIC, nullptr, fuzz_use_music},
    {VEXIL_RSRC_KIND_TEXT, nullptr, fuzz_use_text},
};
static_assert(sizeof k_fuzz_kinds / sizeof k_fuzz_kinds[0] == VEXIL_RSRC_KINDS_COUNT, "one row per resource kind");

static constexpr bool fuzz_kinds_match()
{
    for (int i = 0; i < VEXIL_RSRC_KINDS_COUNT; i++)
        if (k_fuzz_kinds[i].kind != VEXIL_RSRC_KINDS[i].number)
            return false;
    return true;
}
static_assert(fuzz_kinds_match(), "rows in the runtime's kind order");

void fuzz_use_resource(fuzz_env* env, int kind, void* r)
{
    if (const vexil_rsrc_kind* k = vexil_rsrc_kind_find(kind))
        k_fuzz_kinds[k->number].use(env, r);
}

uint8_t* fuzz_make_payload(memarena* arena, int kind, int variant, int endian, uint64_t* out_size)
{
    variant = variant % FUZZ_PAYLOAD_VARIANTS;
    const vexil_rsrc_kind* k = vexil_rsrc_kind_find(kind);
    if (!k)
        fuzz_fail("no such resource kind");
    if (!k->decoder) {
        static const char* texts[FUZZ_PAYLOAD_VARIANTS] = {"scene_name = title\n", "", "integers = [1 2 3 ]\n"};
        uint64_t n = kind == VEXIL_RSRC_KIND_TEXT ? strlen(texts[variant]) + 1 : 64u * (uint64_t)(variant + 1);
        uint8_t* b = static_cast<uint8_t*>(memarena_push(arena, n));
        if (kind == VEXIL_RSRC_KIND_TEXT)
            memcpy(b, texts[variant], n);
        else
            for (uint64_t i = 0; i < n; i++)
                b[i] = (uint8_t)(i * 13);
        *out_size = n;
        return b;
    }
    uint64_t marker = memarena_get_marker(arena);
    const uint64_t room = 2u << 20;
    uint8_t* out = static_cast<uint8_t*>(memarena_push(arena, room));
    uint8_t* c = io_store32(out, IO_ENDIAN_MARKER, endian);
    // Every decoded kind has a record maker.
    if (!k_fuzz_kinds[kind].record)
        fuzz_fail("no record maker for a decoded kind");
    c = k_fuzz_kinds[kind].record(arena, c, variant, endian);
    uint64_t size = (uint64_t)(c - out);
    if (size > room)
        fuzz_fail("record larger than its room");
    // Keep only the record: the makers' scratch pushed after it goes back.
    uint8_t* copy = fuzz_copy(out, size, 0);
    memarena_goto_marker(arena, marker);
    uint8_t* r = static_cast<uint8_t*>(memarena_push(arena, size));
    memcpy(r, copy, size);
    fuzz_free(copy);
    *out_size = size;
    return r;
}

// ---- the fixed resource pack ----

static const char* const k_ini_texts[][2] = {
    {"ini_plain", "scene_name = plain\nintegers = [1 2 3 ]\nfloats = [0.5 -2 1e3 ]\n"},
    {"ini_res",
     "# every array kind once\nscene_name = res\npalette_animations = [pa ]\npalettes = [pal pal2 ]\nrle_images = "
     "[rle ]\nimages = [img ]\nstencils = [stencil ]\ntextures = [tex ]\n"},
    {"ini_star", "integers = [0 100 0 0 0 0 ]\nimages = [img ]\npalettes = [pal ]\nfloats = [0.1 0.2 ]\n"},
    {"ini_progress", "scene_name = loading\nfloats = [12.5 ]\npalettes = [pal ]\nimages = [img_small img ]\n"
                     "integers = [255 128 0 40 400 560 16 ]\n"},
    {"ini_stencil_anim", "floats = [25 ]\nstencils = [stencil stencil_small ]\nintegers = [9 ]\n"},
};

vexil_fs* fuzz_resource_pack()
{
    static vexil_fs fs;
    static uint8_t* image;
    static uint8_t* pristine;
    static uint64_t size;
    if (image) {
        // Text payloads are parsed in place, which writes into them (and an
        // input may end in the middle of that): every input gets the pack back.
        memcpy(image, pristine, size);
        return &fs;
    }
    memarena* P = &g_persist_arena;
    static const struct {
        const char* name;
        int kind;
        int variant;
    } k_items[] = {
        {"stencil", VEXIL_RSRC_KIND_STENCIL, 2},
        {"stencil_small", VEXIL_RSRC_KIND_STENCIL, 0},
        {"tex", VEXIL_RSRC_KIND_TEXTURE, 1},
        {"tex_flat", VEXIL_RSRC_KIND_TEXTURE, 0},
        {"pa", VEXIL_RSRC_KIND_PALETTE_ANIMATION, 1},
        {"pal", VEXIL_RSRC_KIND_PALETTE, 0},
        {"pal2", VEXIL_RSRC_KIND_PALETTE, 1},
        {"rle", VEXIL_RSRC_KIND_RLE_IMAGE, 1},
        {"img", VEXIL_RSRC_KIND_IMAGE, 1},
        {"img_small", VEXIL_RSRC_KIND_IMAGE, 0},
        {"mad", VEXIL_RSRC_KIND_MADPACK, 2},
        {"font", VEXIL_RSRC_KIND_FONT, 1},
        {"music", VEXIL_RSRC_KIND_MUSIC, 2},
    };
    const int n_items = (int)(sizeof(k_items) / sizeof(k_items[0]));
    const int n_ini = (int)(sizeof(k_ini_texts) / sizeof(k_ini_texts[0]));
    fuzz_payload payloads[32];
    int n = 0;
    for (int i = 0; i < n_items; i++) {
        uint64_t size = 0;
        uint8_t* b = fuzz_make_payload(P, k_items[i].kind, k_items[i].variant, IO_ENDIAN_NATIVE, &size);
        payloads[n++] = {k_items[i].name, k_items[i].kind, b, size};
    }
    for (int i = 0; i < n_ini; i++)
        payloads[n++] = {k_ini_texts[i][0], VEXIL_RSRC_KIND_TEXT, reinterpret_cast<const uint8_t*>(k_ini_texts[i][1]),
                         strlen(k_ini_texts[i][1]) + 1};
    image = fuzz_pack_image(payloads, n, IO_ENDIAN_NATIVE, &size);
    pristine = fuzz_copy(image, size, 0);
    vexil_fs_open(&fs, image, size, P);
    return &fs;
}
