// The program's start shared by both entries (sdl2_main.cpp on Linux,
// sdl2_winmain.cpp on Windows): the host's start-up, the cycle counter's
// calibration, then the production through the demo system (no argument) or
// the renderer benchmark (any argument). Main thread; failures exit 1 with
// their message (sdl2_host.h).
#include "app/program_entry.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "host/sdl2_host.h"
#include "host/valkyrie_context.h"
#include "image/texel.h"
#include "vexil/demosys.h"

// Diagnostic of the display's YUV conversion, kept for checking the colour
// path by hand; the program never calls it. Its tables are left to the exit.
void test()
{
    static const char* names[3] = {"r", "g", "b"};
    static const int shifts[3] = {10, 5, 0};
    for (int c = 0; c < 3; c++) {
        for (int v = 0; v <= 30; v++) {
            uint8_t yuv[3];
            n3d_yuv888_from_applergb555(yuv, (uint16_t)(v << shifts[c]));
            uint16_t back = n3d_applergb555_from_yuv888(yuv);
            printf("%s: %d yuv: %d %d %d => %d\n", names[c], v, yuv[0], yuv[1], yuv[2], (back >> shifts[c]) & 31);
        }
    }
    uint8_t* ylit = (uint8_t*)malloc(256 * 256);
    if (!ylit)
        return;
    for (int i = 0; i < 256; i++) {
        for (int j = 0; j < 256; j++) {
            int v = (int)(255.0 * pow(pow(i / 255.0, 2.2) + j / 255.0, 1.0 / 2.2));
            ylit[i * 256 + j] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    for (int j = 0; j < 256; j++)
        printf("ylit[4*256+%d] = %d\n", j, ylit[4 * 256 + j]);
    uint8_t* yuv_table = (uint8_t*)malloc(32767 * 3);
    if (!yuv_table)
        return;
    for (int rgb = 0; rgb < 32767; rgb++) {
        uint8_t* yuv = yuv_table + rgb * 3;
        n3d_yuv888_from_applergb555(yuv, (uint16_t)rgb);
        printf("rgb: %d %d %d -> yuv: %d %d %d\n", (rgb >> 10) & 31, (rgb >> 5) & 31, rgb & 31, yuv[0], yuv[1], yuv[2]);
    }
}

// The production the host drives: the demo system, handed to the main loop
// through the host's entry points.
static struct demosys g_demosys;

static int program_demo_quit(void* demo) { return static_cast<struct demosys*>(demo)->quit; }

static void program_demo_pointer(void* demo, const host_pointer* pointer)
{
    struct demosys* ds = static_cast<struct demosys*>(demo);
    ds->mouse_button = pointer->button;
    ds->mouse_x = pointer->x;
    ds->mouse_y = pointer->y;
    ds->mouse_rel_dx = pointer->rel_dx;
    ds->mouse_rel_dy = pointer->rel_dy;
}

static void program_demo_update(void* demo, valkyrie_context* video, uint8_t keys_ascii[256], nanokorg2_state* nk2)
{
    demosys_update(static_cast<struct demosys*>(demo), video, keys_ascii, nk2);
}

static void program_demo_vblank_update(void* demo, valkyrie_context* video, uint8_t keys_ascii[256],
                                       nanokorg2_state* nk2)
{
    demosys_vblank_update(static_cast<struct demosys*>(demo), video, keys_ascii, nk2);
}

static void program_demo_end(void* demo) { demosys_end(static_cast<struct demosys*>(demo)); }

int program_entry_main(int argc, const char* entry_file)
{
    platform_sdl_setup(&platform);
    cycles_init();
    if (argc < 2) {
        if (demosys_init(&g_demosys, &platform.valkyrie_context) != 0) {
            printf("failed init demosys\n");
            crash_exit(1);
        }
        const host_demo_entry demo = {&g_demosys,          program_demo_quit,          program_demo_pointer,
                                      program_demo_update, program_demo_vblank_update, program_demo_end};
        return run(&platform, &demo, entry_file);
    }
    // Any argument, whatever its text: nothing is shown and SDL stays up.
    valkyrie_context_n3d_benchmark(&platform.valkyrie_context);
    return 0;
}
