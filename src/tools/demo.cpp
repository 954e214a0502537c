#include "tools/demo.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crash.h"
#include "core/posix_file_utils.h"
#include "host/demo_music.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "n3d/n3d_asset.h"
#include "target/n3d_framebuffer.h"
#include "tools/demo_timing.h"

demo* g_demo;
const nanokorg2_state* g_demo_nk2;
nanokorg2_state g_demo_nk2_prev;
const uint8_t* g_demo_keys;
uint8_t g_demo_keys_prev[256];

#define DEMO_ARENA_BYTES (2u << 20)
#define DEMO_TMP_ARENA_BYTES 4096u
#define DEMO_DEV_ARENA_BYTES (5u << 20)

// ---- assets ------------------------------------------------------------------

static const char* const demo_textures_argb1555_names[DEMO_TEXTURES_PER_FORMAT] = {
    "tiles_256_16bpp.tmap", "tiles_nogirl_256_16bpp.tmap", "tiles_warp_256_16bpp.tmap", "flare_256_16bpp.tmap"};
static const char* const demo_textures_index8_names[DEMO_TEXTURES_PER_FORMAT - 1] = {
    "tiles_256_8bpp.tmap", "tiles_nogirl_256_8bpp.tmap", "tiles_warp_256_8bpp.tmap"};
// Loaded in this order into these slots.
static const struct {
    int slot;
    const char* name;
} demo_mesh_files[DEMO_MESHES_COUNT] = {
    {0, "cube.mesh"},        {2, "room2_side0.mesh"}, {3, "room2_side1.mesh"}, {4, "room2_side2.mesh"},
    {5, "room2_side3.mesh"}, {6, "room2_side4.mesh"}, {7, "room2_side5.mesh"}, {1, "toruswarp.mesh"},
};

// The 16-bit textures the effects fetch from directly (the warp's texture and
// the sprite flare) are read as swizzled 256 x 256 levels.
static int demo_check_texture_argb1555(const demo_assets* assets, int i)
{
    const n3d_texture* t = assets->tc.textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555][i];
    if (!t) {
        printf("failed load textures_argb1555[%d] \"%s\"\n", i, demo_textures_argb1555_names[i]);
        return 1;
    }
    if (t->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
        printf("invalid format for textures_argb1555[%d] \"%s\": %d\n", i, demo_textures_argb1555_names[i], t->format);
        return 1;
    }
    if (t->not_swizzled || t->w_log2 != 8 || t->h_log2 != 8) {
        printf("textures_argb1555[%d] \"%s\" must be swizzled and 256x256, is %dx%d%s\n", i,
               demo_textures_argb1555_names[i], 1 << t->w_log2, 1 << t->h_log2, t->not_swizzled ? " row by row" : "");
        return 1;
    }
    return 0;
}

static int demo_check_texture_index8(const demo_assets* assets, int i)
{
    const n3d_texture* t = assets->tc.textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555][i];
    if (!t) {
        printf("failed load textures_index8[%d]\n", i);
        return 1;
    }
    if (t->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555) {
        printf("invalid format for textures_index8[%d]: %d\n", i, t->format);
        return 1;
    }
    return 0;
}

// Every mesh gives particle positions; the walls are also copied whole into
// vertex arrays of their own, so they need all six arrays.
static int demo_check_mesh(const demo_assets* assets, int slot, const char* name)
{
    const n3d_asset_mesh* m = assets->meshes[slot];
    if (!m) {
        printf("failed load mesh[%d] \"%s\"\n", slot, name);
        return 1;
    }
    const n3d_vertices* v = &m->vertices;
    const struct {
        const void* array;
        const char* what;
        int wall_only;
    } arrays[] = {{v->xyz, "xyz", 0},     {v->uv, "uv", 1},       {v->n_xyz, "n_xyz", 1},
                  {v->t_xyz, "t_xyz", 1}, {v->b_xyz, "b_xyz", 1}, {v->tb_norm, "tb_norm", 1}};
    for (const auto& a : arrays) {
        if ((a.wall_only && slot < 2) || a.array || v->count == 0)
            continue;
        printf("mesh[%d] \"%s\" has no %s array\n", slot, name, a.what);
        return 1;
    }
    return 0;
}

int demo_assets_init(demo_assets* assets, memarena* arena, const char* asset_dir)
{
    uint8_t stack_block[1024];
    memarena stack_arena;
    memarena_init(&stack_arena, "demo_assets_init_stack_arena", sizeof stack_block, stack_block);

    // 1. Music.
    const char* music_path = file_path_join(arena, asset_dir, "Sonavert_Remix.dat");
    uint64_t music_size = 0;
    if (file_open_read_close(music_path, nullptr, &music_size) != 0)
        return 1;
    // An empty stream ends at frame 0: every frame would clear and nothing be drawn.
    if (music_size == 0) {
        printf("music file is empty, path: %s\n", music_path);
        return 1;
    }
    if (music_size > (uint64_t)INT32_MAX) {
        printf("music too large: %lu bytes, path: %s\n", (unsigned long)music_size, music_path);
        return 1;
    }
    assets->music_data = static_cast<uint8_t*>(memarena_push(arena, music_size));
    if (file_open_read_close(music_path, assets->music_data, &music_size) != 0)
        return 1;
    assets->music_size = (int)music_size;

    // 2. Textures.
    n3d_textures_context* tc = &assets->tc;
    memset(tc, 0, sizeof *tc);
    n3d_texture** t16 = memarena_push_array_zeroed<n3d_texture*>(arena, DEMO_TEXTURES_PER_FORMAT);
    tc->textures_per_format[N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555] = t16;
    for (int i = 0; i < DEMO_TEXTURES_PER_FORMAT; i++) {
        memarena_reset(&stack_arena);
        t16[i] = n3d_io_asset_texture_load_file(
            arena, file_path_join(&stack_arena, asset_dir, demo_textures_argb1555_names[i]));
    }
    n3d_texture** t8 = memarena_push_array_zeroed<n3d_texture*>(arena, DEMO_TEXTURES_PER_FORMAT);
    tc->textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555] = t8;
    for (int i = 0; i < DEMO_TEXTURES_PER_FORMAT - 1; i++) {
        memarena_reset(&stack_arena);
        t8[i] = n3d_io_asset_texture_load_file(arena,
                                               file_path_join(&stack_arena, asset_dir, demo_textures_index8_names[i]));
    }

    // 3. The textures the effects read: index8 0 to 2 (bump map and walls),
    // ARGB1555 0 (warp) and 3 (sprites).
    for (int i = 0; i < DEMO_TEXTURES_PER_FORMAT - 1; i++)
        if (demo_check_texture_index8(assets, i))
            return 1;
    if (demo_check_texture_argb1555(assets, 0) || demo_check_texture_argb1555(assets, 3))
        return 1;

    // 4. Phong tables.
    tc->phong_luts = memarena_push_array_zeroed<uint8_t*>(arena, DEMO_PHONG_LUTS_COUNT);
    for (int i = 0; i < DEMO_PHONG_LUTS_COUNT; i++)
        tc->phong_luts[i] = n3d_build_phong_lut(arena, sqrtf(0.01f + (float)i / 255.0f), 0);

    // 5. Meshes.
    assets->meshes_count = DEMO_MESHES_COUNT;
    assets->meshes = memarena_push_array_zeroed<n3d_asset_mesh*>(arena, DEMO_MESHES_COUNT);
    for (const auto& m : demo_mesh_files) {
        memarena_reset(&stack_arena);
        assets->meshes[m.slot] = n3d_io_asset_mesh_load_file(arena, file_path_join(&stack_arena, asset_dir, m.name));
    }
    for (const auto& m : demo_mesh_files)
        if (demo_check_mesh(assets, m.slot, m.name))
            return 1;

    // 6. Beats: a bare array of native int32 positions. The block is copied
    // into an aligned array; a missing file gives no beats, a partial last
    // position is dropped.
    memarena_reset(&stack_arena);
    const char* beats_path = file_path_join(&stack_arena, asset_dir, "beats.dat");
    uint64_t beats_size = 0;
    const uint8_t* beats = file_open_read_close_ex(beats_path, arena, &beats_size);
    uint64_t count = beats ? beats_size / 4 : 0;
    if (count > (uint64_t)INT32_MAX)
        count = INT32_MAX;
    assets->beats_pos_count = (int)count;
    assets->beats_pos = memarena_push_array<int32_t>(arena, count);
    if (count)
        memcpy(assets->beats_pos, beats, count * 4);
    return 0;
}

// ---- start-up ----------------------------------------------------------------

static void demo_sine_table_fill(int8_t* table)
{
    for (int i = 0; i < 320; i++)
        table[i] = (int8_t)(int)(sin((double)i / 256.0 * 2.0 * LINMATH_PI) * 127.0);
}

static void demo_dev_arena_init(memarena* a, const char* name)
{
    void* block = malloc(DEMO_DEV_ARENA_BYTES);
    if (!block)
        mycrash("src/demo", __LINE__, "", "out of memory for %s\n", name);
    memarena_init(a, name, DEMO_DEV_ARENA_BYTES, block);
}

int demo_init(demo* d, memarena* arena, demo_assets* assets)
{
    memset(d, 0, sizeof *d);
    d->assets = assets;
    g_demo = d;
    g_demo_nk2 = nullptr;
    g_demo_keys = nullptr;
    memset(&g_demo_nk2_prev, 0, sizeof g_demo_nk2_prev);
    memset(g_demo_keys_prev, 0, sizeof g_demo_keys_prev);

    d->arena = memarena_push_subarena(arena, "demo_arena", DEMO_ARENA_BYTES);
    d->tmp_arena = memarena_push_subarena(arena, "demo_tmp_arena", DEMO_TMP_ARENA_BYTES);
    d->scenes = memarena_push_array_zeroed<demo_scene>(d->arena, DEMO_SCENES_COUNT);
    demo_dev_arena_init(&d->dev_arena, "demo_dev_arena");
    demo_dev_arena_init(&d->dev_tmp_arena, "demo_dev_tmp_arena");

    d->sin256_fp7 = static_cast<int8_t*>(memarena_push(arena, 320));
    demo_sine_table_fill(d->sin256_fp7);
    d->cos256_fp7 = d->sin256_fp7 + 64;

    demo_plasma_init(d->arena, &d->plasma);
    demo_mobius_init(d->arena, &d->mobius, d->tmp_arena);
    n3d_texture* const* index8 = assets->tc.textures_per_format[N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555];
    demo_bumpmap_init(d->arena, &d->bumpmap, index8, index8, d->tmp_arena);
    demo_room_init(assets, d->arena, &d->room, d->tmp_arena);
    memarena_reset(d->tmp_arena);

    demo_timing_init(&g_demo_timing, d->arena, DEMO_SAMPLE_RATE, assets->beats_pos, assets->beats_pos_count);
    memset(&g_dtf, 0, sizeof g_dtf);

    // The clock runs only once the player is armed and holds a stream.
    vexil_music_start(0);
    demo_music_load(assets->music_data, assets->music_size, 0, 0);
    return 0;
}

// ---- frame -------------------------------------------------------------------

static int demo_key_pressed(uint8_t key) { return g_demo_keys && g_demo_keys[key] && !g_demo_keys_prev[key]; }

static int demo_button_pressed(int nanokorg2_state::*button)
{
    return g_demo_nk2 && g_demo_nk2->*button && !(g_demo_nk2_prev.*button);
}

// Scene of the automatic schedule at a valid position of at least 24320.
static int demo_schedule_scene(int pos, int scene)
{
    if (pos <= 1259263)
        return 1;
    if (pos <= 1964033)
        return 2;
    if (pos <= 2317823)
        return 4;
    if (pos < 3375676)
        return 2;
    return scene;
}

// Everything of a frame between the snapshot bookkeeping at its start and end.
static void demo_frame(demo* d, n3d_frame_context* fc)
{
    if (demo_button_pressed(&nanokorg2_state::track_left))
        vexil_music_move_position(-DEMO_SAMPLE_RATE);
    if (demo_button_pressed(&nanokorg2_state::track_right))
        vexil_music_move_position(DEMO_SAMPLE_RATE);

    demo_timing_update(&g_dtf, &g_demo_timing, demo_music_frame_position.load(std::memory_order_relaxed));
    if (g_dtf.pos > demo_music_end.load(std::memory_order_relaxed)) {
        n3d_framebuffer_clear(fc->fb);
        return;
    }

    if (demo_key_pressed('r')) {
        d->demo_fixed_scene = 0;
    } else if (demo_key_pressed('o')) {
        d->demo_fixed_scene = 1;
        d->scene++;
    } else if (demo_key_pressed('p')) {
        d->demo_fixed_scene = 1;
        d->scene--;
    } else if (demo_key_pressed('.')) {
        memarena_print(d->arena);
        memarena_print(d->tmp_arena);
    }
    if (d->scene < 0)
        d->scene = 0;
    if (d->scene > 5)
        d->scene = 5;

    if (d->demo_fixed_scene == 0) {
        if (!g_dtf.valid || g_dtf.pos < 24320)
            return;
        d->scene = demo_schedule_scene(g_dtf.pos, d->scene);
    }

    n3d_framebuffer* fb = fc->fb;
    if (fb->h < DEMO_LETTERBOX_ROWS)
        mycrash("src/demo", __LINE__, "", "frame of %d rows is lower than the %d-row letterbox\n", fb->h,
                DEMO_LETTERBOX_ROWS);
    fb->h -= DEMO_LETTERBOX_ROWS;
    fb->b = static_cast<uint8_t*>(fb->b) + (ptrdiff_t)(DEMO_LETTERBOX_ROWS / 2) * fb->row_bytes;
    if (fb->h == 0)
        return;
    switch (d->scene) {
    case 1:
        demo_mobius_update(&d->mobius, fc, d->tmp_arena);
        break;
    case 2:
        demo_bumpmap_update(&d->bumpmap, fc, d->tmp_arena);
        break;
    case 3:
        demo_plasma(&d->plasma, fc);
        break;
    case 4:
        demo_room_update(&d->room, fc, d->tmp_arena);
        break;
    default:
        break;
    }
}

void demo_update(demo* d, n3d_frame_context* fc_overlay, n3d_frame_context* fc, const nanokorg2_state* nk2,
                 const uint8_t* keys)
{
    (void)fc_overlay;
    n3d_framebuffer* fb = fc->fb;
    const int h = fb->h;
    void* b = fb->b;
    memarena_reset(d->tmp_arena);
    memarena_reset(&d->dev_tmp_arena);
    g_demo = d;

    // A null snapshot or key table is not remembered: the globals never point
    // at what an earlier caller handed in.
    g_demo_nk2 = nk2;
    if (nk2 && !d->nk2_prev_set) {
        g_demo_nk2_prev = *nk2;
        d->nk2_prev_set = 1;
    }
    g_demo_keys = keys;

    demo_frame(d, fc);

    // On every path, so a held key or button is one press, not one a frame.
    if (nk2)
        g_demo_nk2_prev = *nk2;
    if (keys)
        memcpy(g_demo_keys_prev, keys, sizeof g_demo_keys_prev);
    fb->h = h;
    fb->b = b;
}

// ---- plasma ------------------------------------------------------------------

void demo_plasma_init(memarena* arena, struct demo_plasma* p)
{
    p->t = 0.0f;
    p->table = static_cast<uint8_t*>(memarena_push(arena, 256));
    p->lut = memarena_push_array<uint16_t>(arena, 256);
    for (int i = 0; i < 256; i++) {
        // Up to 510: kept in 8 bits, so the middle entries wrap to 2..254.
        p->table[i] = (uint8_t)(int)(255.0 * (1.0 + sin(LINMATH_PI * (double)i / 255.0)));
        const float v = (float)i / 255.0f;
        const int r = (int)(31.0f * (0.34f + (0.10f - 0.34f) * v));
        const int g = (int)(31.0f * (0.05f + (0.0f - 0.05f) * v));
        const int bl = (int)(31.0f * (0.44f + (0.07f - 0.44f) * v));
        p->lut[i] = (uint16_t)(N3D_ARGB1555_ALPHA | (unsigned)r << 10 | (unsigned)g << 5 | (unsigned)bl);
    }
}

// trunc for every float: NaN gives 0, large values saturate.
static int plasma_trunc(float x)
{
    if (!(x == x))
        return 0;
    if (x >= 2147483520.0f)
        return INT32_MAX;
    if (x <= -2147483648.0f)
        return INT32_MIN;
    return (int)x;
}

void demo_plasma_argb1555(struct demo_plasma* p, n3d_framebuffer* fb)
{
    const int w = fb->w, h = fb->h;
    const float t = p->t;
    const float pi = LINMATH_PI_F;
    float ps0 = 0.01f, ps1 = 0.1f, ps2 = 0.2f, ps3 = 1.0f / 3.0f, ps4 = 0.3f, ps5 = 0.6f, ps6 = 1.0f / 3.0f, ps7 = 0.2f;
    if (g_demo_nk2) {
        // Knob 1 with the slider half-way keeps the default speed.
        ps2 *= g_demo_nk2->ch_knob[0] * 2.0f * g_demo_nk2->ch_slider[0];
        ps3 *= g_demo_nk2->ch_knob[1] * 2.0f * g_demo_nk2->ch_slider[1];
        ps6 *= g_demo_nk2->ch_knob[2] * 2.0f * g_demo_nk2->ch_slider[2];
        ps7 *= g_demo_nk2->ch_knob[3] * 2.0f * g_demo_nk2->ch_slider[3];
    }
    const float sx = sinf(2.0f * ps0 * t * pi);
    const float cy = cosf(2.0f * ps1 * t * pi);
    const float sa = sinf(ps2 * t), cb = cosf(ps3 * t), cc = cosf(ps6 * t), sd = sinf(ps7 * t);
    const uint8_t* table = p->table;
    const uint16_t* lut = p->lut;
    for (int y = 0; y < h; y++) {
        uint8_t* row = static_cast<uint8_t*>(fb->b) + (ptrdiff_t)y * fb->row_bytes;
        const float s2 = sinf(cy + ((float)y / (float)h - 0.5f));
        const float b = cb + s2;
        const float dd = sd + (ps5 + s2);
        const int i1_wave = plasma_trunc(cosf(50.0f * s2 + t));
        for (int x = 0; x < w; x++) {
            const float s1 = sinf(sx + ((float)x / (float)w - 0.5f));
            const float a = sa + s1;
            const float c = cc + (ps4 + s1);
            int i0 = plasma_trunc(sinf(150.0f * s1 + t)) + (plasma_trunc(255.0f * sqrtf(a * a + b * b)) & 255);
            int i1 = i1_wave + (plasma_trunc(255.0f * sqrtf(c * c + dd * dd)) & 255);
            i0 = table[table[i0 & 255] & 255];
            i1 = table[table[i1 & 255] & 255];
            const unsigned c0 = lut[i0], c1 = lut[i1];
            unsigned r = ((c0 >> 10) & 31u) + ((c1 >> 10) & 31u);
            unsigned g = ((c0 >> 5) & 31u) + ((c1 >> 5) & 31u);
            unsigned bl = (c0 & 31u) + (c1 & 31u);
            r = r > 31u ? 31u : r;
            g = g > 31u ? 31u : g;
            bl = bl > 31u ? 31u : bl;
            const uint16_t px = (uint16_t)(N3D_ARGB1555_ALPHA | r << 10 | g << 5 | bl);
            memcpy(row + 2 * x, &px, 2);
        }
    }
    p->t += 1.0f / 60.0f;
}

void demo_plasma(struct demo_plasma* p, n3d_frame_context* fc)
{
    if (fc->fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        n3d_crash("src/demo", __LINE__, "not implemented\n");
    demo_plasma_argb1555(p, fc->fb);
}
