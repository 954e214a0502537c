// The production runtime: update, loading steps, statistics and the resource
// cache.
#include "vexil/vexil.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/io.h"
#include "core/posix_file_utils.h"
#include "host/demo_music.h"
#include "image/n2d.h"
#include "image/n3d_phong.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"
#include "vexil/vexil_starfield.h"

#define VEXIL_CRASH(...) mycrash("src/vexil", __LINE__, "", __VA_ARGS__)

// Seek steps of the debug keys, in 22050 Hz frames.
#define VEXIL_SEEK_SMALL 2205   // 0.1 s
#define VEXIL_SEEK_LARGE 22050  // 1 s

unsigned vexil_overlay_backbuffer_dbg_show_counter = 0;
unsigned vexil_overlay_stencils_dbg_show_counter = 0;

char* memprintf(memarena* arena, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    char* s = static_cast<char*>(memarena_push(arena, (uint64_t)n + 1));
    va_start(args, fmt);
    int w = vsnprintf(s, (size_t)n + 1, fmt, args);
    va_end(args);
    if (w != n)
        VEXIL_CRASH("failed?? w: %d n: %d\n", w, n);
    return s;
}

int pressed_key(vexil_args* args, char key)
{
    uint8_t k = (uint8_t)key;
    return args->keys_ascii[k] && !args->d->keys_ascii_prev[k];
}

void vexil_performance_update(vexil_performance* perf, cycles_t t0, int is_vbl)
{
    cycles_t dt = cycles_measure_get_delta(t0);
    if (is_vbl) {
        perf->vbl_frames_count++;
        perf->vbl_frames_ticks += dt;
    } else {
        perf->frames_count++;
        perf->frames_ticks += dt;
    }
}

void vexil_performance_print(const char* name, int vbl, vexil_performance* perf)
{
    int count = vbl ? perf->vbl_frames_count : perf->frames_count;
    cycles_t ticks = vbl ? perf->vbl_frames_ticks : perf->frames_ticks;
    float ms = 0;
    float cycles = 0;
    if (count > 0) {
        ms = (float)(cycles_to_ms(ticks) / count);
        cycles = (float)(ticks / (cycles_t)count);
    }
    printf("%s: %.2f ms %.2f cycles/frame (frames %d cycles: %lu)\n", name, ms, cycles, count,
           (unsigned long)ticks);
}

void vexil_end_stats(vexil* d)
{
    printf("=== init system ===\n");
    for (int i = 0; i < d->init_step && i < 1000; i++)
        printf("%.2f ms [step:%d] (cycles: %lu)\n", cycles_to_ms(d->cycles_per_step[i]), i,
               (unsigned long)d->cycles_per_step[i]);
    printf("=== load scenes ===\n");
    for (int i = 0; i < d->sequence.rows_count; i++) {
        vexil_sequence_row* row = &d->sequence.rows[i];
        vexil_scene* s = &d->scenes[row->scene_index];
        printf("%.2f ms [row: line %d func %s args: %s] (cycles: %lu)\n", cycles_to_ms(s->cycles_load), row->line,
               row->func_name, row->args ? row->args : "(null)", (unsigned long)s->cycles_load);
    }
    printf("=== runtime ===\n");
    static const char* kinds[2] = {"regular", "vbl"};
    for (int kind = 0; kind < 2; kind++) {
        printf("=== %s ===\n", kinds[kind]);
        vexil_performance_print("total", kind, &d->perf);
        for (int i = 0; i < d->scenes_count; i++)
            vexil_performance_print(d->scenes[i].name ? d->scenes[i].name : "(unloaded)", kind,
                                    &d->scenes[i].perf);
    }
}

// ---- resource cache ----

// Each decoder reads one record of its kind from the size bytes at b into a
// result pushed from the arena; null on failure.
typedef void* vexil_rsrc_decode_func(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place);

static void* vexil_decode_stencil(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    n3d_coveragebuffer* r = memarena_push_array_zeroed<n3d_coveragebuffer>(arena, 1);
    return n3d_io_coveragebuffer_load(arena, r, b, size, endian) ? r : nullptr;
}

static void* vexil_decode_texture(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    n3d_texture* r = memarena_push_array_zeroed<n3d_texture>(arena, 1);
    return n3d_io_texture_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

static void* vexil_decode_palette_animation(memarena* arena, const uint8_t* b, uint64_t size, int endian,
                                            int in_place)
{
    (void)in_place;
    palette_animation* r = memarena_push_array_zeroed<palette_animation>(arena, 1);
    return palette_animation_io_load(arena, r, b, size, endian) ? r : nullptr;
}

static void* vexil_decode_palette(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    palette* r = memarena_push_array_zeroed<palette>(arena, 1);
    return palette_io_load(arena, r, b, size, endian) ? r : nullptr;
}

static void* vexil_decode_rle_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    vexil_rle_image* r = memarena_push_array_zeroed<vexil_rle_image>(arena, 1);
    return vexil_rle_image_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

static void* vexil_decode_image(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    vexil_image* r = memarena_push_array_zeroed<vexil_image>(arena, 1);
    return vexil_image_load(arena, r, b, size, in_place, endian) ? r : nullptr;
}

static void* vexil_decode_madpack(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    mad_datapack* r = memarena_push_array_zeroed<mad_datapack>(arena, 1);
    return mad_datapack_load(r, arena, b, size, endian) ? r : nullptr;
}

static void* vexil_decode_font(memarena* arena, const uint8_t* b, uint64_t size, int endian, int in_place)
{
    (void)in_place;
    fontbitmap* r = memarena_push_array_zeroed<fontbitmap>(arena, 1);
    return fontbitmap_io_load(r, arena, b, size, endian) ? r : nullptr;
}

// Kinds 0 to 7, indexed by kind. Their payloads are whole asset files.
static vexil_rsrc_decode_func* const vexil_rsrc_decoders[] = {
    vexil_decode_stencil,   vexil_decode_texture, vexil_decode_palette_animation, vexil_decode_palette,
    vexil_decode_rle_image, vexil_decode_image,   vexil_decode_madpack,           vexil_decode_font,
};

static char* vexil_strdup(memarena* arena, const char* s)
{
    size_t n = strlen(s);
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, s, n + 1);
    return r;
}

void* vexil_load_resource(vexil* d, const char* name, int kind)
{
    // Keyed by name: names are unique across kinds within a production. One
    // reused under another kind would hand out an object of the wrong type,
    // so that production stops here instead.
    vexil_rsrc_node* tail = &d->rsrc_node_head;
    for (vexil_rsrc_node* n = &d->rsrc_node_head; n; n = n->next) {
        if (n->name && strcmp(n->name, name) == 0) {
            if (n->kind != kind)
                VEXIL_CRASH("\"%s\" was loaded with kind %d and cannot be used with kind %d\n", name, n->kind, kind);
            return n->ptr;
        }
        tail = n;
    }

    uint64_t tmp_marker = memarena_get_marker(d->tmp_arena);
    int endian = d->paks[0].header.endian;
    int in_place = endian == IO_ENDIAN_NATIVE;
    uint8_t* payload = nullptr;
    size_t size = 0;
    for (int i = d->paks_count - 1; i >= 0 && !payload; i--)
        payload = vexil_fs_get(&d->paks[i], kind, name, &size);
    if (!payload)
        VEXIL_CRASH("could not find \"%s\" with kind %d in pak file!\n", name, kind);

    void* result = nullptr;
    if (kind >= VEXIL_RSRC_KIND_STENCIL && kind <= VEXIL_RSRC_KIND_FONT) {
        // The payload's own marker is skipped: the first pack's byte order applies.
        if (size < 4)
            VEXIL_CRASH("failed load \"%s\" tag %d\n", name, kind);
        result = vexil_rsrc_decoders[kind](d->arena, payload + 4, size - 4, endian, in_place);
        if (!result)
            VEXIL_CRASH("failed load \"%s\" tag %d\n", name, kind);
    } else if (kind == VEXIL_RSRC_KIND_MUSIC) {
        vexil_music* m = memarena_push_array_zeroed<vexil_music>(d->arena, 1);
        m->buffer = payload;
        m->size = (uint32_t)size;
        result = m;
    } else if (kind == VEXIL_RSRC_KIND_TEXT) {
        // The string must end inside its payload (the writer pads with zeros).
        if (!memchr(payload, 0, size))
            VEXIL_CRASH("text \"%s\" is not terminated inside its payload of %zu bytes\n", name, size);
        result = payload;
    } else {
        VEXIL_CRASH("kind %d??\n", kind);
    }

    vexil_rsrc_node* node = memarena_push_array_zeroed<vexil_rsrc_node>(d->arena, 1);
    node->name = vexil_strdup(d->arena, name);
    node->ptr = result;
    node->kind = kind;
    tail->next = node;
    memarena_goto_marker(d->tmp_arena, tmp_marker);
    return result;
}

n3d_coveragebuffer* vexil_load_stencil(vexil* d, const char* name)
{
    return static_cast<n3d_coveragebuffer*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_STENCIL));
}
n3d_texture* vexil_load_texture(vexil* d, const char* name)
{
    return static_cast<n3d_texture*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_TEXTURE));
}
palette_animation* vexil_load_palette_animation(vexil* d, const char* name)
{
    return static_cast<palette_animation*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_PALETTE_ANIMATION));
}
palette* vexil_load_palette(vexil* d, const char* name)
{
    return static_cast<palette*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_PALETTE));
}
vexil_rle_image* vexil_load_rle_image(vexil* d, const char* name)
{
    return static_cast<vexil_rle_image*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_RLE_IMAGE));
}
vexil_image* vexil_load_image(vexil* d, const char* name)
{
    return static_cast<vexil_image*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_IMAGE));
}
mad_datapack* vexil_load_madpack(vexil* d, const char* name)
{
    return static_cast<mad_datapack*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_MADPACK));
}
fontbitmap* vexil_load_font(vexil* d, const char* name)
{
    return static_cast<fontbitmap*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_FONT));
}
vexil_music* vexil_load_music(vexil* d, const char* name)
{
    return static_cast<vexil_music*>(vexil_load_resource(d, name, VEXIL_RSRC_KIND_MUSIC));
}

// ---- loading steps ----

// Entry i = sin(2 pi x (i / N)), i / N in single precision; N + N/4 entries so
// the cosine is the same table a quarter period on.
template <typename T>
static T* vexil_sine_table(memarena* arena, int n, double scale, int truncate)
{
    int count = n + n / 4;
    T* t = memarena_push_array<T>(arena, (uint64_t)count);
    for (int i = 0; i < count; i++) {
        double s = sin(6.283185307179586 * (double)((float)i / (float)n));
        t[i] = truncate ? (T)(int)(s * scale) : (T)s;
    }
    return t;
}

static void vexil_init_step0(vexil* d, vexil_args* args)
{
    memarena* D = args->arena;
    memarena_init(&d->_arena, "vexil_arena", VEXIL_ARENA_SIZE, memarena_push(D, VEXIL_ARENA_SIZE));
    memarena_init(&d->_tmp_arena, "vexil_tmp_arena", VEXIL_TMP_ARENA_SIZE, memarena_push(D, VEXIL_TMP_ARENA_SIZE));
    d->arena = &d->_arena;
    d->tmp_arena = &d->_tmp_arena;
    memarena* A = d->arena;
    memarena* T = d->tmp_arena;

    int ow = args->fc_overlay->fb->w;
    int oh = args->fc_overlay->fb->h;
    d->fc_overlay_backbuffers_count = VEXIL_OVERLAY_BACKBUFFERS_COUNT;
    d->fc_overlay_backbuffers = memarena_push_array_zeroed<n3d_frame_context>(A, VEXIL_OVERLAY_BACKBUFFERS_COUNT);
    for (int i = 0; i < VEXIL_OVERLAY_BACKBUFFERS_COUNT; i++)
        n3d_framecontext_init(&d->fc_overlay_backbuffers[i], D, ow, oh, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER);
    d->overlay_stencils_count = VEXIL_OVERLAY_STENCILS_COUNT;
    d->overlay_stencils = memarena_push_array_zeroed<n3d_coveragebuffer>(A, VEXIL_OVERLAY_STENCILS_COUNT);
    for (int i = 0; i < VEXIL_OVERLAY_STENCILS_COUNT; i++) {
        n3d_coveragebuffer_init(&d->overlay_stencils[i], ow, oh, D);
        n3d_coveragebuffer_clear(&d->overlay_stencils[i]);
    }

    d->sin256_fp7 = vexil_sine_table<int8_t>(D, 256, 127.0, 1);
    d->cos256_fp7 = d->sin256_fp7 + 64;
    d->sin2048_fp11 = vexil_sine_table<int16_t>(D, 2048, 2047.0, 1);
    d->cos2048_fp11 = d->sin2048_fp11 + 512;
    d->sin2048_float = vexil_sine_table<float>(D, 2048, 1.0, 0);
    d->cos2048_float = d->sin2048_float + 512;

    n3d_phong_lut_init(&d->pbr_phong_lut, D, 0.3f, 0);
    n3d_build_phong_lut_for_pbr_shade_table(&d->pbr_phong_lut, 32);

    d->stars_capacity = VEXIL_STARS_CAPACITY;
    d->stars = memarena_push_array_zeroed<vexil_starfield_star>(A, VEXIL_STARS_CAPACITY);

    for (int i = 0; i < VEXIL_SHADE_TABLE_CACHE_MAX; i++)
        d->shade_table_cache[i].shade_table =
            static_cast<uint16_t*>(memarena_push_align(A, VEXIL_SHADE_TABLE_BYTES, 32));

    d->paks_count = VEXIL_PAKS_COUNT;
    d->paks = memarena_push_array_zeroed<vexil_fs>(D, VEXIL_PAKS_COUNT);
    for (int i = 0; i < VEXIL_PAKS_COUNT; i++) {
        char* name = memprintf(T, "pak%d.vxf", i);
        char* path = file_path_join(T, VEXIL_ASSET_DIR, name);
        vexil_fs_open_file(&d->paks[i], path, A);
        // Payloads are decoded in the first pack's byte order.
        if (d->paks[i].header.endian != d->paks[0].header.endian)
            VEXIL_CRASH("\"%s\" has another byte order than \"pak0.vxf\"\n", path);
    }
    memarena_reset(T);

    char* text = static_cast<char*>(vexil_load_resource(d, "sequence.csv", VEXIL_RSRC_KIND_TEXT));
    if (!text)
        VEXIL_CRASH("failed open \"%s\"\n", "sequence.csv");
    vexil_load_sequence(&d->sequence, text, "sequence.csv", A, T);
    memarena_reset(T);

    d->scenes_count = d->sequence.scenes_count;
    d->scenes = memarena_push_array_zeroed<vexil_scene>(A, (uint64_t)d->scenes_count);
    for (int i = 0; i < d->scenes_count; i++) {
        d->scenes[i].is_first_run = 1;
        d->scenes[i].vbl_is_first_run = 1;
    }
}

static void vexil_init_step1(vexil* d)
{
    n3d_framebuffer_init_argb1555(&d->uv_map_tunnel, 640, 480, d->arena);
    // The tunnel scene's lookup map is filled here once the tunnel effect is
    // part of the program.
}

void vexil_init_step(vexil_args* args)
{
    vexil* d = args->d;
    cycles_t t0 = cycles_measure_get();
    int step = d->init_step;
    switch (step) {
    case 0:
        vexil_init_step0(d, args);
        break;
    case 1:
        vexil_init_step1(d);
        break;
    default:
        d->initialized = 1;
        break;
    }
    if (step >= 0 && step < 1000)
        d->cycles_per_step[step] = cycles_measure_get_delta(t0);
    d->init_step++;
    // The clock restarts at 0 after every step: loading never eats into the time line.
    vexil_music_start(d->sequence.music_start_22050hz);
}

// ---- update ----

static void vexil_debug_keys(vexil* d, vexil_args* args)
{
    n3d_framebuffer* overlay_fb = args->fc_overlay->fb;
    if (args->keys_ascii[(unsigned char)'6']) {
        printf("display overlay coverage buffer\n");
        n3d_coveragebuffer_display(args->fc_overlay->cb, overlay_fb);
    }
    if (args->keys_ascii[(unsigned char)'7']) {
        printf("display video coverage buffer\n");
        n3d_coveragebuffer_display(args->fc->cb, overlay_fb);
    }
    if (pressed_key(args, 'i'))
        vexil_overlay_backbuffer_dbg_show_counter++;
    if (args->keys_ascii[(unsigned char)'8'] && d->fc_overlay_backbuffers_count > 0) {
        int k = (int)(vexil_overlay_backbuffer_dbg_show_counter % (unsigned)d->fc_overlay_backbuffers_count);
        printf("display overlay backbuffer[%d]\n", k);
        n2d_copy_fb(overlay_fb, d->fc_overlay_backbuffers[k].fb);
    }
    if (pressed_key(args, 'o'))
        vexil_overlay_stencils_dbg_show_counter++;
    if (args->keys_ascii[(unsigned char)'9'] && d->overlay_stencils_count > 0) {
        int k = (int)(vexil_overlay_stencils_dbg_show_counter % (unsigned)d->overlay_stencils_count);
        printf("display overlay stencil[%d]\n", k);
        n3d_coveragebuffer_display(&d->overlay_stencils[k], overlay_fb);
    }
}

void vexil_update(vexil_args* args)
{
    vexil* d = args->d;
    cycles_t t0 = cycles_measure_get();

    if (pressed_key(args, 'q'))
        vexil_music_move_position(-VEXIL_SEEK_SMALL);
    if (pressed_key(args, 'e'))
        vexil_music_move_position(VEXIL_SEEK_SMALL);
    if (pressed_key(args, 'a'))
        vexil_music_move_position(-VEXIL_SEEK_LARGE);
    if (pressed_key(args, 'd'))
        vexil_music_move_position(VEXIL_SEEK_LARGE);

    // 64-bit product: the 32-bit one overflows after about 13 hours of clock.
    int64_t pos = vexil_audio_position.load(std::memory_order_relaxed);
    d->tick60hz = (int)(pos * 2 / 735);
    d->t = (float)d->tick60hz / 60.0f;

    if (!d->initialized) {
        vexil_init_step(args);
        return;
    }

    if (args->is_vbl) {
        n3d_framecontext_swap_cb(args->fc_overlay);
        n3d_coveragebuffer_clear(args->fc_overlay->cb);
    }
    vexil_run_sequence(d, args);
    vexil_debug_keys(d, args);
    memcpy(d->keys_ascii_prev, args->keys_ascii, sizeof(d->keys_ascii_prev));
    vexil_performance_update(&d->perf, t0, args->is_vbl);
}
