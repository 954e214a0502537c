// The demo system the host main loop drives: it owns the 40 MiB "demo_arena"
// (one C heap block), the render targets over the emulated display and the
// production runtime. The host calls demosys_update every loop pass and
// demosys_vblank_update once per 1/60 s before the flip, on the main thread, and
// leaves its loop when `quit` is set. demosys_init fails (non-zero) only without
// the heap block; bad production data ends the program through the crash path.
#pragma once

#include <cstdint>

#include "core/memarena.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil.h"

struct valkyrie_context;
struct nanokorg2_state;

#define DEMOSYS_ARENA_SIZE 41943040ull  // 40 MiB

struct demosys {
    int quit;                               // copied from the production after every update
    memarena arena;                         // "demo_arena"
    n3d_framebuffer overlay_fb;             // over the emulated overlay plane, not owning it
    n3d_framebuffer overlay_fb_backbuffer;  // declared, never filled
    n3d_frame_context overlay;              // coverage pair, no depth buffer
    n3d_framebuffer videos_fb[2];           // over the two emulated video pages
    n3d_depthbuffer videos_db;              // shared by both page contexts
    n3d_frame_context videos[2];
    n3d_frame_context* video;  // the display's back page, re-selected every update
    // written by the host before each demosys_update; mouse_button is not passed on
    int mouse_button;
    int mouse_x;
    int mouse_y;
    int mouse_rel_dx;
    int mouse_rel_dy;
    int run_demo;        // 1 after start-up; while 0 the production is not updated
    struct vexil vexil;  // the production runtime
};

// Zeroes the record, takes the arena block and builds the render targets.
// 0 on success.
int demosys_init(demosys* ds, valkyrie_context* video);
// Once per loop pass; keys_ascii holds held keys indexed by key code.
void demosys_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2);
// Once per vertical blank, before the page flip.
void demosys_vblank_update(demosys* ds, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2);
// Nothing to do: all memory lives until the process ends.
void demosys_end(demosys* ds);
// run_demo set and the production's loading complete.
int demosys_ready(demosys* ds);
