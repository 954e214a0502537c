#include "vexil/demosys.h"

#include <cstdlib>
#include <cstring>

#include "host/valkyrie_context.h"
#include "image/texel.h"
#include "n3d/n3d.h"

static void demosys_fb_over_plane(n3d_framebuffer* fb, int format, const valkyrie_buffer* plane)
{
    memset(fb, 0, sizeof(*fb));
    fb->format = format;
    fb->w = plane->w;
    fb->h = plane->h;
    fb->row_bytes = plane->rowbytes;
    fb->b = plane->b;
}

int demosys_init(demosys* ds, valkyrie_context* video)
{
    memset(ds, 0, sizeof(*ds));
    void* block = malloc(DEMOSYS_ARENA_SIZE);
    if (!block)
        return 1;
    memarena_init(&ds->arena, "demo_arena", DEMOSYS_ARENA_SIZE, block);
    n3d_init(&ds->arena);

    demosys_fb_over_plane(&ds->overlay_fb, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, &video->overlay);
    n3d_framecontext_init(&ds->overlay, &ds->arena, video->overlay.w, video->overlay.h, N3D_TEXEL_FORMAT_NONE,
                          N3D_FRAMECONTEXT_COVERAGEBUFFER);
    ds->overlay.fb = &ds->overlay_fb;
    n3d_framebuffer_clear(&ds->overlay_fb);

    n3d_depthbuffer_init(&ds->videos_db, video->videos[0].w, video->videos[0].h, &ds->arena);
    for (int i = 0; i < 2; i++) {
        demosys_fb_over_plane(&ds->videos_fb[i], N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, &video->videos[i]);
        n3d_framecontext_init(&ds->videos[i], &ds->arena, video->videos[i].w, video->videos[i].h, N3D_TEXEL_FORMAT_NONE,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER);
        ds->videos[i].fb = &ds->videos_fb[i];
        ds->videos[i].db = &ds->videos_db;
        n3d_framebuffer_clear(&ds->videos_fb[i]);
    }
    ds->video = &ds->videos[video->video_backpage & 1];
    ds->run_demo = 1;
    return 0;
}

static void demosys_run(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2, int is_vbl)
{
    vexil_args args;
    memset(&args, 0, sizeof(args));
    args.d = &ds->vexil;
    args.is_vbl = is_vbl;
    args.arena = &ds->arena;
    args.video = video;
    args.fc_overlay = &ds->overlay;
    args.fc_videos = is_vbl ? nullptr : ds->videos;
    args.fc = ds->video;
    args.nk2 = nk2;
    args.keys_ascii = keys_ascii;
    args.mouse_xy[0] = ds->mouse_x;
    args.mouse_xy[1] = ds->mouse_y;
    args.mouse_rel_xy[0] = ds->mouse_rel_dx;
    args.mouse_rel_xy[1] = ds->mouse_rel_dy;
    vexil_update(&args);
    ds->quit = ds->vexil.quit;
}

void demosys_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2)
{
    ds->video = &ds->videos[video->video_backpage & 1];
    // Toggled on every pass while held, not once per press.
    if (keys_ascii[(unsigned char)'x'])
        ds->run_demo = !ds->run_demo;
    if (ds->run_demo)
        demosys_run(ds, video, keys_ascii, nk2, 0);
}

void demosys_vblank_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2)
{
    ds->video = &ds->videos[video->video_backpage & 1];
    if (ds->run_demo)
        demosys_run(ds, video, keys_ascii, nk2, 1);
}

void demosys_end(demosys* ds) { (void)ds; }

int demosys_ready(demosys* ds) { return ds->run_demo && ds->vexil.initialized; }
