// The benchmark's entry on the display emulation: framebuffer records over the
// emulated planes, then the renderer's benchmark on the back page.
#include <cstdio>
#include <cstdlib>

#include "core/cycles_measure.h"
#include "core/memarena.h"
#include "host/valkyrie_context.h"
#include "image/texel.h"
#include "n3d/n3d.h"
#include "target/n3d_framebuffer.h"

#define VALKYRIE_BENCHMARK_ARENA_BYTES 4194304u

void valkyrie_context_n3d_benchmark(valkyrie_context* ctx)
{
    memarena arena;
    memarena_init(&arena, "n3d_benchmark", VALKYRIE_BENCHMARK_ARENA_BYTES, malloc(VALKYRIE_BENCHMARK_ARENA_BYTES));
    cycles_init();
    n3d_init(&arena);
    ctx->set_overlay_key_func(ctx, 0);

    n3d_framebuffer overlay = {0,
                               N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8,
                               ctx->overlay.w,
                               ctx->overlay.h,
                               ctx->overlay.rowbytes,
                               ctx->overlay.b};
    n3d_framebuffer_clear(&overlay);

    // The pages' contexts are 320 x 200 (coverage pair only): the benchmark
    // draws in that area of the 320 x 240 page.
    n3d_framebuffer pages[2];
    n3d_frame_context page_contexts[2];
    for (int i = 0; i < 2; ++i) {
        const valkyrie_buffer* v = &ctx->videos[i];
        pages[i] = {0, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, v->w, v->h, v->rowbytes, v->b};
        n3d_framecontext_init(&page_contexts[i], &arena, 320, 200, N3D_TEXEL_FORMAT_NONE,
                              N3D_FRAMECONTEXT_COVERAGEBUFFER);
        page_contexts[i].fb = &pages[i];
        n3d_framebuffer_clear(&pages[i]);
    }
    printf("running benchmark - will take a few seconds\n");
    n3d_benchmark(&arena, nullptr, &page_contexts[ctx->video_backpage]);
}
