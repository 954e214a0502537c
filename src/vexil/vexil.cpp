// The production runtime: update, loading steps and statistics.
#include "vexil/vexil.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/cycles_measure.h"
#include "core/posix_file_utils.h"
#include "host/demo_music.h"
#include "image/n2d.h"
#include "image/n3d_phong.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_crash.h"
#include "vexil/vexil_perf.h"
#include "vexil/vexil_rsrc.h"
#include "vexil/vexil_sequence.h"
#include "vexil/vexil_starfield.h"
#include "vexil/vexil_tunnel_func.h"
#include "vexil/vexil_walk.h"

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

void vexil_setup_render_context(n3d_render_context* rc, n3d_frame_context* fc, const n3d_textures_context* tc,
                                const mat4x4 view_from_world, float fov_y, float near_plane)
{
    rc->fc = fc;
    rc->tc = *tc;
    memset(&rc->lc, 0, sizeof rc->lc);
    mat4x4 world_from_view;
    mat4x4_invert(world_from_view, view_from_world);
    n3d_space_context_set(&rc->sc, fc, view_from_world, world_from_view, fov_y, near_plane);
}

int pressed_key(vexil_args* args, char key)
{
    uint8_t k = (uint8_t)key;
    return args->keys_ascii[k] && !args->d->keys_ascii_prev[k];
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
            vexil_performance_print(d->scenes[i].name ? d->scenes[i].name : "(unloaded)", kind, &d->scenes[i].perf);
    }
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
        double s = sin(2.0 * LINMATH_PI * (double)((float)i / (float)n));
        t[i] = truncate ? (T)(int)(s * scale) : (T)s;
    }
    return t;
}

// How to get where the packs are: the Linux program is played from its build
// directory or by the script; the Windows one is unpacked from its zip with the
// packs beside it.
#if defined(_WIN32)
#define VEXIL_NO_PRODUCTION_ADVICE "start quillfern.exe from the folder its zip was unpacked into"
#else
#define VEXIL_NO_PRODUCTION_ADVICE \
    "play the sample with scripts/play.sh, or start quillfern from its build directory (build/release)"
#endif

// Said once, when the sequence is read: a production with nothing to play, or
// with nothing that ends it, shows its window until the program is told to quit.
static void vexil_sequence_warn(const vexil* d, const char* path)
{
    const vexil_sequence* seq = &d->sequence;
    if (seq->rows_count == 0) {
        fprintf(stderr, "sequence \"%s\" has no rows: nothing plays, the window stays until Escape\n", path);
        return;
    }
    for (int i = 0; i < seq->rows_count; i++)
        if (vexil_binding_flags_of_row(d, &seq->rows[i]) & VEXIL_BINDING_ENDS_THE_PRODUCTION)
            return;
    fprintf(stderr, "sequence \"%s\" has no row that ends the production (fade_out_music): it plays until Escape\n",
            path);
}

static void vexil_init_step0(vexil* d, vexil_args* args)
{
    memarena* D = args->arena;
    vexil_bindings_register(d);
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

    // Started where there is no production: say where it was looked for and how
    // the sample is played, before the read fails.
    {
        char* first = file_path_join(T, VEXIL_ASSET_DIR, "pak0.vxf");
        if (FILE* f = fopen(first, "rb")) {
            fclose(f);
        } else {
            std::error_code ec;
            std::string cwd = std::filesystem::current_path(ec).string();
            printf("no production at \"%s\" below \"%s\": %s\n", VEXIL_ASSET_DIR, cwd.c_str(),
                   VEXIL_NO_PRODUCTION_ADVICE);
        }
    }
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
    vexil_sequence_warn(d, "sequence.csv");

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
    vexil_tunnel_argb1555_init(&d->uv_map_tunnel);
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
