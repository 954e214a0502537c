#include "vexil/demosys.h"

#include <cstdlib>
#include <cstring>

int demosys_init(demosys* ds, valkyrie_context* video)
{
    (void)video;
    memset(ds, 0, sizeof(*ds));
    void* block = malloc(DEMOSYS_ARENA_SIZE);
    if (!block)
        return 1;
    memarena_init(&ds->arena, "demo_arena", DEMOSYS_ARENA_SIZE, block);
    ds->run_demo = 1;
    return 0;
}

void demosys_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2)
{
    (void)video;
    (void)nk2;
    // Toggled on every pass while held, not once per press.
    if (keys_ascii['x'])
        ds->run_demo = !ds->run_demo;
}

void demosys_vblank_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2)
{
    (void)ds;
    (void)video;
    (void)keys_ascii;
    (void)nk2;
}

void demosys_end(demosys* ds)
{
    (void)ds;
}

int demosys_ready(demosys* ds)
{
    (void)ds;
    return 0;
}
