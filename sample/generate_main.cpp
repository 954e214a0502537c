// The sample production's generator: makes every binary asset of the sample
// procedurally (palettes, run-length images, images, stencils, a palette
// animation, a texture and the music), writes each through the system's own
// record writer as an asset file, and packs them with the plain-text sources
// (sequence.csv and the scene ini files) into "pak0.vxf" .. "pak2.vxf".
// The greetings font is made ahead of the scene that prints with it.
// The build runs it; the same build always writes the same bytes.
//
//   sample_generate <source dir> <output dir> <work dir> <font file>
//
// Offline tool on one thread: all memory comes from two arenas over one heap
// block; any failure prints its message and exits 1.
#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "container/n3d_io.h"
#include "core/crash.h"
#include "core/io.h"
#include "core/memarena.h"
#include "core/posix_file_utils.h"
#include "host/acm_ima.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/mad.h"
#include "n3d/n3d_asset.h"
#include "sample_music.h"
#include "sample_text.h"
#include "target/n3d_framebuffer.h"
#include "vexil/fontbitmap.h"
#include "vexil/vexil_fs.h"
#include "vexil/vexil_image.h"
#include "vexil/vexil_rle_image.h"

#define GEN_ARENA_BYTES (256ull << 20)
#define GEN_SCRATCH_BYTES (128ull << 20)
#define GEN_RECORD_BYTES (8u << 20)
#define GEN_PAKS 3
#define GEN_PI 3.14159265358979323846

// The overlay is 640x480; every full-screen asset has that size.
#define GEN_SCREEN_W 640
#define GEN_SCREEN_H 480

// Colour-table layout of the show (entry 0 is the overlay's key).
#define PAL_LOADER_FRAME 1
#define PAL_LOADER_BAR 2
#define PAL_LOADER_TEXT 3
#define PAL_LOADER_ICON 4  // 8 shades
#define PAL_STARS 16       // 16 brightness levels
#define PAL_STARS_COUNT 16
#define PAL_TITLE 32  // 16-step face gradient
#define PAL_TITLE_OUTLINE 48
#define PAL_PLANET 50  // 8 shades
#define PAL_RING 58    // 2 shades
#define PAL_MOON 60    // 4 shades
#define PAL_WAVE 64
#define PAL_STROKE 70
#define PAL_SUBTITLE 71
#define PAL_PICTURE 80  // 48 entries, see gen_picture_palette
#define PAL_PICTURE_COUNT 48
#define PAL_SKY 80      // 20 steps
#define PAL_SUN 100     // 6 steps
#define PAL_BORDER 106  // 4
#define PAL_HILL 110    // 6
#define PAL_FERN 116    // 12
#define PAL_RINGS 128   // the palette animation's range
#define PAL_RINGS_COUNT 128
#define RINGS_FRAMES 32

struct gen {
    memarena arena;    // lives to the end
    memarena scratch;  // rewound after each asset
    const char* src_dir;
    const char* out_dir;
    const char* work_dir;
    sample_font font;
    vexil_fs_pack paks[GEN_PAKS];
    uint8_t* record;        // one asset record at a time
    uint8_t show[256 * 4];  // the show's colour table
};

// ---- files and packs ---------------------------------------------------------

static char* gen_path(gen* g, const char* dir, const char* name) { return file_path_join(&g->arena, dir, name); }

static void gen_mkdirs(const char* path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path, ec))
        crash_fail(2, "failed create directory \"%s\"\n", path);
}

// Writes the record [g->record, end) as an asset file (the endian marker first)
// and adds it to pack pak under name.
static void gen_add_record(gen* g, int pak, int kind, const char* name, const uint8_t* end)
{
    char* path = gen_path(g, g->work_dir, name);
    if (n3d_io_store_file(path, g->record, end, IO_ENDIAN_NATIVE) != 0)
        crash_fail(2, "failed write \"%s\"\n", path);
    vexil_fs_pack_add_file(&g->paks[pak], &g->arena, kind, 0, name, path);
}

// Raw payloads (music) carry no marker.
static void gen_add_raw(gen* g, int pak, int kind, const char* name, const uint8_t* bytes, uint64_t size)
{
    char* path = gen_path(g, g->work_dir, name);
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(bytes, 1, (size_t)size, f) != (size_t)size || fclose(f) != 0)
        crash_fail(2, "failed write \"%s\"\n", path);
    vexil_fs_pack_add_file(&g->paks[pak], &g->arena, kind, 0, name, path);
}

static int gen_name_cmp(const void* a, const void* b) { return strcmp(*(char* const*)a, *(char* const*)b); }

// The sequence and every scene ini file of the source directory, as text
// payloads (one zero byte of padding ends each string), in name order.
static void gen_add_sources(gen* g, int pak)
{
    vexil_fs_pack_add_file(&g->paks[pak], &g->arena, VEXIL_RSRC_KIND_TEXT, 1, "sequence.csv",
                           gen_path(g, g->src_dir, "sequence.csv"));
    DIR* d = opendir(g->src_dir);
    if (!d)
        crash_fail(2, "failed open directory \"%s\"\n", g->src_dir);
    char* names[256];
    int n = 0;
    while (dirent* e = readdir(d)) {
        size_t len = strlen(e->d_name);
        if (len > 4 && strcmp(e->d_name + len - 4, ".ini") == 0) {
            if (n == 256)
                crash_fail(2, "too many ini files in \"%s\"\n", g->src_dir);
            names[n] = (char*)memarena_push(&g->arena, len + 1);
            memcpy(names[n], e->d_name, len + 1);
            n++;
        }
    }
    closedir(d);
    qsort(names, (size_t)n, sizeof names[0], gen_name_cmp);
    for (int i = 0; i < n; i++)
        vexil_fs_pack_add_file(&g->paks[pak], &g->arena, VEXIL_RSRC_KIND_TEXT, 1, names[i],
                               gen_path(g, g->src_dir, names[i]));
}

// ---- small maths ---------------------------------------------------------------

static double gen_clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }
static double gen_mixd(double a, double b, double t) { return a + (b - a) * t; }

// 4x4 ordered dither threshold in [0, 1).
static double gen_bayer(int x, int y)
{
    static const int M[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    return (M[y & 3][x & 3] + 0.5) / 16.0;
}

static int gen_log2_ceil(int v)
{
    int l = 0;
    while ((1 << l) < v)
        l++;
    return l;
}

// ---- colour tables -------------------------------------------------------------

static void gen_rgb(uint8_t* pal, int i, double r, double g, double b)
{
    pal[4 * i + 0] = (uint8_t)gen_clamp(floor(r + 0.5), 0, 255);
    pal[4 * i + 1] = (uint8_t)gen_clamp(floor(g + 0.5), 0, 255);
    pal[4 * i + 2] = (uint8_t)gen_clamp(floor(b + 0.5), 0, 255);
    pal[4 * i + 3] = 255;
}

static void gen_ramp(uint8_t* pal, int first, int count, const double a[3], const double b[3])
{
    for (int i = 0; i < count; i++) {
        double t = count > 1 ? (double)i / (count - 1) : 0.0;
        gen_rgb(pal, first + i, gen_mixd(a[0], b[0], t), gen_mixd(a[1], b[1], t), gen_mixd(a[2], b[2], t));
    }
}

// The palette animation's cycle: navy, violet, magenta, violet, back to navy,
// with a smooth step between the stops so the rings never show a seam.
static void gen_rings_color(double t, double out[3])
{
    static const double STOPS[4][3] = {{10, 14, 58}, {70, 30, 140}, {210, 60, 160}, {60, 110, 200}};
    double p = (t - floor(t)) * 4.0;
    int k = (int)p % 4;
    double f = p - floor(p);
    f = f * f * (3.0 - 2.0 * f);
    for (int c = 0; c < 3; c++)
        out[c] = gen_mixd(STOPS[k][c], STOPS[(k + 1) % 4][c], f);
}

static void gen_picture_palette(uint8_t* pal)
{
    // Sky: deep violet through rose to the orange of the horizon.
    for (int i = 0; i < 20; i++) {
        double t = i / 19.0;
        double r, g, b;
        if (t < 0.5) {
            double u = t / 0.5;
            r = gen_mixd(36, 190, u), g = gen_mixd(18, 60, u), b = gen_mixd(72, 120, u);
        } else {
            double u = (t - 0.5) / 0.5;
            r = gen_mixd(190, 250, u), g = gen_mixd(60, 160, u), b = gen_mixd(120, 70, u);
        }
        gen_rgb(pal, PAL_SKY + i, r, g, b);
    }
    const double sun_a[3] = {255, 190, 100}, sun_b[3] = {255, 246, 205};
    gen_ramp(pal, PAL_SUN, 6, sun_a, sun_b);
    gen_rgb(pal, PAL_BORDER + 0, 50, 34, 46);
    gen_rgb(pal, PAL_BORDER + 1, 140, 110, 100);
    gen_rgb(pal, PAL_BORDER + 2, 222, 204, 182);
    gen_rgb(pal, PAL_BORDER + 3, 250, 242, 226);
    const double hill_a[3] = {16, 10, 26}, hill_b[3] = {78, 44, 76};
    gen_ramp(pal, PAL_HILL, 6, hill_a, hill_b);
    const double fern_a[3] = {8, 38, 22}, fern_b[3] = {160, 236, 110};
    gen_ramp(pal, PAL_FERN, 12, fern_a, fern_b);
}

static void gen_loader_palette(uint8_t* pal)
{
    gen_rgb(pal, 0, 0, 0, 0);
    gen_rgb(pal, PAL_LOADER_FRAME, 52, 62, 88);
    gen_rgb(pal, PAL_LOADER_BAR, 70, 210, 190);
    gen_rgb(pal, PAL_LOADER_TEXT, 230, 232, 240);
    const double icon_a[3] = {40, 120, 70}, icon_b[3] = {210, 245, 130};
    gen_ramp(pal, PAL_LOADER_ICON, 8, icon_a, icon_b);
    for (int i = 12; i < 16; i++)
        gen_rgb(pal, i, 60 + 30 * (i - 12), 60 + 30 * (i - 12), 70 + 30 * (i - 12));
}

static void gen_show_palette(uint8_t* pal)
{
    for (int i = 0; i < 256; i++)
        gen_rgb(pal, i, 0, 0, 0);
    gen_loader_palette(pal);
    for (int i = 0; i < PAL_STARS_COUNT; i++) {
        // Most stars are far and dim: even the dimmest level stands out from the navy sky.
        double b = pow((i + 1) / (double)PAL_STARS_COUNT, 0.6);
        gen_rgb(pal, PAL_STARS + i, 60 + 195 * b, 66 + 189 * b, 110 + 145 * b);
    }
    const double title_a[3] = {255, 242, 150}, title_b[3] = {242, 112, 40};
    gen_ramp(pal, PAL_TITLE, 16, title_a, title_b);
    gen_rgb(pal, PAL_TITLE_OUTLINE, 40, 20, 90);
    const double planet_a[3] = {8, 26, 58}, planet_b[3] = {100, 206, 232};
    gen_ramp(pal, PAL_PLANET, 8, planet_a, planet_b);
    gen_rgb(pal, PAL_RING + 0, 150, 118, 92);
    gen_rgb(pal, PAL_RING + 1, 222, 192, 144);
    const double moon_a[3] = {86, 86, 100}, moon_b[3] = {238, 238, 242};
    gen_ramp(pal, PAL_MOON, 4, moon_a, moon_b);
    gen_rgb(pal, PAL_WAVE, 170, 222, 255);
    gen_rgb(pal, PAL_STROKE, 255, 252, 236);
    gen_rgb(pal, PAL_SUBTITLE, 200, 206, 226);
    gen_picture_palette(pal);
    for (int i = 0; i < PAL_RINGS_COUNT; i++) {
        double c[3];
        gen_rings_color((double)i / PAL_RINGS_COUNT, c);
        gen_rgb(pal, PAL_RINGS + i, c[0], c[1], c[2]);
    }
}

static void gen_palette(gen* g, int pak, const char* name, const uint8_t* table, int offset, int count)
{
    palette p;
    p.offset = offset;
    p.count = count;
    p.rgba8888 = const_cast<uint8_t*>(table + 4 * offset);
    gen_add_record(g, pak, VEXIL_RSRC_KIND_PALETTE, name, palette_io_store(g->record, &p, IO_ENDIAN_NATIVE));
}

// ---- record makers -------------------------------------------------------------

// Run-length image of a w x h index canvas, index 0 transparent.
static void gen_rle(gen* g, int pak, const char* name, uint8_t* pixels, int w, int h)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    n3d_framebuffer fb = {};
    fb.format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
    fb.w = w;
    fb.h = h;
    fb.row_bytes = w;
    fb.b = pixels;
    vexil_rle_image img;
    vexil_rle_image_from_framebuffer(&img, &g->scratch, &fb, 0);
    gen_add_record(g, pak, VEXIL_RSRC_KIND_RLE_IMAGE, name, vexil_rle_image_store(g->record, &img, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// Stencil (coverage-buffer record) with a bit wherever mask is non-zero; the
// width must be a multiple of 32.
static void gen_stencil(gen* g, int pak, const char* name, const uint8_t* mask, int w, int h)
{
    if (w % 32 != 0)
        crash_fail(2, "stencil \"%s\" width %d is not a multiple of 32\n", name, w);
    uint64_t marker = memarena_get_marker(&g->scratch);
    n3d_coveragebuffer cb = {};
    cb.w = w;
    cb.h = h;
    cb.u32 = memarena_push_array_zeroed<uint32_t>(&g->scratch, (uint64_t)w * h / 32);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (mask[y * w + x])
                cb.u32[(y * w + x) / 32] |= 0x80000000u >> (x & 31);
    gen_add_record(g, pak, VEXIL_RSRC_KIND_STENCIL, name,
                   n3d_io_coveragebuffer_store(g->record, &cb, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// Image: the w x h texels as the top-left corner of an unswizzled index8
// texture of the next power-of-two size (at least 4 wide), one level, with the
// identity palette and shade table the texture record requires.
static void gen_image(gen* g, int pak, const char* name, const uint8_t* texels, int w, int h)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    int wl = gen_log2_ceil(w < 4 ? 4 : w), hl = gen_log2_ceil(h < 4 ? 4 : h);
    int tw = 1 << wl, th = 1 << hl;
    vexil_image img = {};
    img.w = w;
    img.h = h;
    n3d_texture* t = &img.texture;
    t->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
    t->not_swizzled = 1;
    t->w_log2 = wl;
    t->h_log2 = hl;
    t->min_u_level = wl;
    t->min_v_level = hl;
    t->mips = memarena_push_array_zeroed<uint8_t*>(&g->scratch, 1);
    t->mips[0] = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)tw * th);
    for (int y = 0; y < h; y++)
        memcpy(t->mips[0] + (size_t)y * tw, texels + (size_t)y * w, (size_t)w);
    t->colors_count = N3D_TEXTURE_COLORS_COUNT;
    t->shades_per_color = N3D_TEXTURE_SHADES_PER_COLOR;
    uint8_t* pal = (uint8_t*)memarena_push(&g->scratch, N3D_TEXTURE_COLORS_COUNT);
    uint8_t* shades = (uint8_t*)memarena_push(&g->scratch, N3D_TEXTURE_COLORS_COUNT * N3D_TEXTURE_SHADES_PER_COLOR);
    for (int c = 0; c < N3D_TEXTURE_COLORS_COUNT; c++) {
        pal[c] = (uint8_t)c;
        for (int s = 0; s < N3D_TEXTURE_SHADES_PER_COLOR; s++)
            shades[c * N3D_TEXTURE_SHADES_PER_COLOR + s] = (uint8_t)c;
    }
    t->palette = pal;
    t->shade_table = shades;
    gen_add_record(g, pak, VEXIL_RSRC_KIND_IMAGE, name, vexil_image_store(g->record, &img, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// ---- text ------------------------------------------------------------------------

// Draws text into a w x h coverage canvas with the centre of its inked box at
// (cx, cy), at pixel_height or smaller so it fits max_w.
static void gen_text_centred(gen* g, uint8_t* canvas, int w, int h, const char* text, float pixel_height, float max_w,
                             int cx, int cy)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    float ph = sample_text_fit(&g->font, text, pixel_height, max_w);
    const int tw = 2048, th = 512;
    uint8_t* tmp = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)tw * th);
    sample_text_draw(&g->font, &g->scratch, tmp, tw, th, 32.0f, 384.0f, text, ph);
    int x0 = tw, y0 = th, x1 = -1, y1 = -1;
    for (int y = 0; y < th; y++)
        for (int x = 0; x < tw; x++)
            if (tmp[y * tw + x]) {
                if (x < x0)
                    x0 = x;
                if (x > x1)
                    x1 = x;
                if (y < y0)
                    y0 = y;
                if (y > y1)
                    y1 = y;
            }
    if (x1 < 0)
        crash_fail(2, "text \"%s\" rasterized to nothing\n", text);
    int dx = cx - (x0 + x1 + 1) / 2, dy = cy - (y0 + y1 + 1) / 2;
    for (int y = y0; y <= y1; y++)
        for (int x = x0; x <= x1; x++) {
            int ox = x + dx, oy = y + dy;
            if (ox < 0 || oy < 0 || ox >= w || oy >= h)
                crash_fail(2, "text \"%s\" does not fit its %dx%d canvas\n", text, w, h);
            uint8_t a = tmp[y * tw + x];
            if (a > canvas[oy * w + ox])
                canvas[oy * w + ox] = a;
        }
    memarena_goto_marker(&g->scratch, marker);
}

// Inked rows of a coverage canvas (first and last, -1 when empty).
static void gen_ink_rows(const uint8_t* a, int w, int h, int threshold, int* first, int* last)
{
    *first = -1;
    *last = -1;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (a[y * w + x] >= threshold) {
                if (*first < 0)
                    *first = y;
                *last = y;
                break;
            }
}

// ---- the loading screen ------------------------------------------------------------

// The loading bar of loader.ini: (120, 300), 400 x 24; the icon rides on its end.
#define LOADER_BAR_X0 120
#define LOADER_BAR_Y0 300
#define LOADER_BAR_W 400
#define LOADER_BAR_H 24
#define LOADER_ICON 24
#define LOADER_ICON_FRAMES 8
// The label image (text and the bar's frame) goes to (110, 240).
#define LOADER_LABEL_X0 110
#define LOADER_LABEL_Y0 240
#define LOADER_LABEL_W 420
#define LOADER_LABEL_H 100

static void gen_loading_screen(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    uint8_t loader[256 * 4];
    memset(loader, 0, sizeof loader);
    gen_loader_palette(loader);
    gen_palette(g, 0, "loader.pal", loader, 0, 16);

    // "loading" above a two-pixel frame that leaves a two-pixel gap round the bar.
    const int w = LOADER_LABEL_W, h = LOADER_LABEL_H;
    uint8_t* a = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    gen_text_centred(g, a, w, h, "loading", 30.0f, 300.0f, w / 2, 28);
    uint8_t* px = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    for (int i = 0; i < w * h; i++)
        px[i] = a[i] >= 110 ? PAL_LOADER_TEXT : 0;
    const int bx0 = LOADER_BAR_X0 - LOADER_LABEL_X0 - 4, by0 = LOADER_BAR_Y0 - LOADER_LABEL_Y0 - 4;
    const int bx1 = bx0 + LOADER_BAR_W + 8, by1 = by0 + LOADER_BAR_H + 8;
    for (int y = by0; y < by1; y++)
        for (int x = bx0; x < bx1; x++) {
            bool edge = x < bx0 + 2 || x >= bx1 - 2 || y < by0 + 2 || y >= by1 - 2;
            if (edge)
                px[y * w + x] = PAL_LOADER_FRAME;
        }
    gen_rle(g, 0, "loading_label", px, w, h);

    // The icon: three swirling blades, turned by a third of their period per
    // eight frames so the loop is seamless.
    for (int f = 0; f < LOADER_ICON_FRAMES; f++) {
        uint8_t icon[LOADER_ICON * LOADER_ICON];
        double rot = f * (2.0 * GEN_PI / 3.0) / LOADER_ICON_FRAMES;
        for (int y = 0; y < LOADER_ICON; y++)
            for (int x = 0; x < LOADER_ICON; x++) {
                double dx = x + 0.5 - LOADER_ICON / 2.0, dy = y + 0.5 - LOADER_ICON / 2.0;
                double r = sqrt(dx * dx + dy * dy), th = atan2(dy, dx);
                uint8_t v = 0;
                if (r < 3.2)
                    v = PAL_LOADER_ICON + 7;
                else if (r < 11.5 && cos(3.0 * (th - rot - r * 0.09)) > 0.45)
                    v = (uint8_t)(PAL_LOADER_ICON + 7 - (int)gen_clamp((r - 3.2) / 8.3 * 7.0, 0, 7));
                icon[y * LOADER_ICON + x] = v;
            }
        char name[16];
        snprintf(name, sizeof name, "icon%d", f);
        gen_image(g, 0, name, icon, LOADER_ICON, LOADER_ICON);
    }
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the title -------------------------------------------------------------------

// 576 x 176 at (32, 152) in the sequence; its stencil has the same place.
#define TITLE_W 576
#define TITLE_H 176

static void gen_title(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int w = TITLE_W, h = TITLE_H;
    uint8_t* big = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    uint8_t* small = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    gen_text_centred(g, big, w, h, "quillfern", 132.0f, 520.0f, w / 2, 68);
    gen_text_centred(g, small, w, h, "a sample production", 30.0f, 400.0f, w / 2, 152);
    int top, bottom;
    gen_ink_rows(big, w, h, 100, &top, &bottom);
    uint8_t* px = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    const int R = 3;  // outline radius
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            if (big[y * w + x] >= 100) {
                double t = bottom > top ? (double)(y - top) / (bottom - top) : 0.0;
                px[y * w + x] = (uint8_t)(PAL_TITLE + (int)gen_clamp(floor(t * 15.0 + gen_bayer(x, y)), 0, 15));
                continue;
            }
            bool near = false;
            for (int oy = -R; oy <= R && !near; oy++)
                for (int ox = -R; ox <= R && !near; ox++) {
                    int sx = x + ox, sy = y + oy;
                    if (ox * ox + oy * oy <= R * R + 1 && sx >= 0 && sy >= 0 && sx < w && sy < h &&
                        big[sy * w + sx] >= 100)
                        near = true;
                }
            if (near)
                px[y * w + x] = PAL_TITLE_OUTLINE;
            else if (small[y * w + x] >= 110)
                px[y * w + x] = PAL_SUBTITLE;
        }
    gen_rle(g, 1, "title", px, w, h);
    // The stencil keeps the stars off every pixel of the title and one pixel round it.
    uint8_t* mask = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int oy = -1; oy <= 1; oy++)
                for (int ox = -1; ox <= 1; ox++) {
                    int sx = x + ox, sy = y + oy;
                    if (sx >= 0 && sy >= 0 && sx < w && sy < h && px[sy * w + sx])
                        mask[y * w + x] = 1;
                }
    gen_stencil(g, 1, "title_stencil", mask, w, h);
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the starfield's planet, moon and light ----------------------------------------

#define PLANET_SIZE 160  // at (440, 290)
#define MOON_SIZE 96     // at (80, 80): centred on (128, 128), the light image's centre
#define GLOW_SIZE 256

static void gen_sky_objects(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    // A banded planet lit from the upper left, with a tilted ring that passes
    // behind it at the top and in front at the bottom.
    const int pw = PLANET_SIZE;
    uint8_t* planet = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)pw * pw);
    const double pr = 52.0, tilt = -0.35;
    for (int y = 0; y < pw; y++)
        for (int x = 0; x < pw; x++) {
            double dx = x + 0.5 - pw / 2.0, dy = y + 0.5 - pw / 2.0;
            double d = sqrt(dx * dx + dy * dy);
            uint8_t v = 0;
            bool sphere = d < pr;
            if (sphere) {
                double nx = dx / pr, ny = dy / pr, nz = sqrt(gen_clamp(1.0 - nx * nx - ny * ny, 0, 1));
                double lambert = gen_clamp(-0.5 * nx - 0.55 * ny + 0.67 * nz, 0, 1);
                int s = (int)floor(lambert * 7.0 + gen_bayer(x, y) * 0.9);
                if (sin(ny * 13.0 + nx * 2.5) > 0.55)
                    s -= 1;
                v = (uint8_t)(PAL_PLANET + (int)gen_clamp(s, 0, 7));
            }
            double rx = dx * cos(tilt) + dy * sin(tilt), ry = -dx * sin(tilt) + dy * cos(tilt);
            double ey = ry / 0.28, rr = sqrt(rx * rx + ey * ey);
            if (rr >= 62.0 && rr <= 76.0 && (!sphere || ry > 0.0))
                v = (uint8_t)(rr < 68.0 ? PAL_RING : PAL_RING + 1);
            planet[y * pw + x] = v;
        }
    gen_rle(g, 1, "planet", planet, pw, pw);
    gen_stencil(g, 1, "planet_stencil", planet, pw, pw);

    // A moon with a few craters.
    const int mw = MOON_SIZE;
    uint8_t* moon = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)mw * mw);
    static const double CRATERS[5][3] = {{-12, -10, 7}, {10, 6, 9}, {-4, 16, 5}, {16, -14, 4}, {-20, 8, 4}};
    for (int y = 0; y < mw; y++)
        for (int x = 0; x < mw; x++) {
            double dx = x + 0.5 - mw / 2.0, dy = y + 0.5 - mw / 2.0;
            if (dx * dx + dy * dy >= 40.0 * 40.0)
                continue;
            double nx = dx / 40.0, ny = dy / 40.0, nz = sqrt(gen_clamp(1.0 - nx * nx - ny * ny, 0, 1));
            double lambert = gen_clamp(0.45 * nx - 0.4 * ny + 0.8 * nz, 0, 1);
            int s = (int)floor(lambert * 3.0 + gen_bayer(x, y) * 0.9) + 1;
            for (const auto& c : CRATERS) {
                double cx = dx - c[0], cy = dy - c[1];
                if (cx * cx + cy * cy < c[2] * c[2])
                    s -= 1;
            }
            moon[y * mw + x] = (uint8_t)(PAL_MOON + (int)gen_clamp(s, 0, 3));
        }
    gen_rle(g, 1, "moon", moon, mw, mw);

    // The light: full over the moon and a little round it (no star crosses it),
    // then a glare that only ever brighter stars shine through.
    const int gw = GLOW_SIZE;
    uint8_t* glow = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)gw * gw);
    for (int y = 0; y < gw; y++)
        for (int x = 0; x < gw; x++) {
            double dx = x + 0.5 - 128.0, dy = y + 0.5 - 128.0, r = sqrt(dx * dx + dy * dy);
            double v = r <= 46.0 ? 255.0 : 255.0 * pow(gen_clamp(1.0 - (r - 46.0) / 82.0, 0, 1), 2.0);
            glow[y * gw + x] = (uint8_t)floor(v);
        }
    gen_image(g, 1, "glow", glow, gw, gw);
    memarena_goto_marker(&g->scratch, marker);
}

// ---- strokes -----------------------------------------------------------------------

#define STROKE_W 256
#define STROKE_H 64

// The drawing order runs left to right with a slight slant, like handwriting.
static void gen_stroke(gen* g, const char* name, const char* text)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int w = STROKE_W, h = STROKE_H;
    uint8_t* a = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    gen_text_centred(g, a, w, h, text, 40.0f, 244.0f, w / 2, h / 2);
    int x0 = w, x1 = -1, y0, y1;
    gen_ink_rows(a, w, h, 96, &y0, &y1);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (a[y * w + x] >= 96) {
                if (x < x0)
                    x0 = x;
                if (x > x1)
                    x1 = x;
            }
    uint8_t* order = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    const double slant = 0.35, span = (x1 - x0 + 1) + slant * (y1 - y0 + 1);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (a[y * w + x] >= 96) {
                double p = ((x - x0) + slant * (y - y0)) / span;
                order[y * w + x] = (uint8_t)(1 + (int)gen_clamp(floor(p * 254.0), 0, 254));
            }
    gen_image(g, 1, name, order, w, h);
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the wave stencils ---------------------------------------------------------------

#define WAVE_FRAMES 8

static void gen_waves(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int w = GEN_SCREEN_W, h = GEN_SCREEN_H;
    uint8_t* m = (uint8_t*)memarena_push(&g->scratch, (uint64_t)w * h);
    for (int f = 0; f < WAVE_FRAMES; f++) {
        memset(m, 0, (size_t)w * h);
        double ph = 2.0 * GEN_PI * f / WAVE_FRAMES;
        for (int x = 0; x < w; x++) {
            double c1 =
                404.0 + 18.0 * sin(2.0 * GEN_PI * x / 213.0 + ph) + 6.0 * sin(2.0 * GEN_PI * x / 71.0 - 2.0 * ph);
            double t1 = 5.0 + 2.0 * sin(2.0 * GEN_PI * x / 160.0 + ph);
            double c2 = 436.0 + 12.0 * sin(2.0 * GEN_PI * x / 160.0 - ph);
            for (int y = 0; y < h; y++)
                if (fabs(y + 0.5 - c1) < t1 || fabs(y + 0.5 - c2) < 2.0)
                    m[y * w + x] = 1;
        }
        char name[16];
        snprintf(name, sizeof name, "wave%d", f);
        gen_stencil(g, 1, name, m, w, h);
    }
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the palette animation -------------------------------------------------------------

static void gen_rings(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    palette_animation pa = {};
    pa.w = GEN_SCREEN_W;
    pa.h = GEN_SCREEN_H;
    pa.frames_count = RINGS_FRAMES;
    pa.image = (uint8_t*)memarena_push(&g->scratch, (uint64_t)pa.w * pa.h);
    for (int y = 0; y < pa.h; y++)
        for (int x = 0; x < pa.w; x++) {
            double dx = x + 0.5 - pa.w / 2.0, dy = y + 0.5 - pa.h / 2.0;
            double r = sqrt(dx * dx + dy * dy), th = atan2(dy, dx);
            double v = r * 0.5 + 22.0 * sin(5.0 * th + r * 0.015) + 900.0 / (r + 24.0);
            int j = (int)floor(v + gen_bayer(x, y));
            pa.image[y * pa.w + x] =
                (uint8_t)(PAL_RINGS + (((j % PAL_RINGS_COUNT) + PAL_RINGS_COUNT) % PAL_RINGS_COUNT));
        }
    // Frame k moves the colours four entries outward: one cycle per 32 frames.
    pa.frames = memarena_push_array_zeroed<palette>(&g->scratch, RINGS_FRAMES);
    for (int k = 0; k < RINGS_FRAMES; k++) {
        palette_init(&pa.frames[k], &g->scratch, PAL_RINGS, PAL_RINGS_COUNT);
        for (int i = 0; i < PAL_RINGS_COUNT; i++) {
            double c[3];
            int src = (i - 4 * k + 4 * PAL_RINGS_COUNT) % PAL_RINGS_COUNT;
            gen_rings_color((double)src / PAL_RINGS_COUNT, c);
            gen_rgb(pa.frames[k].rgba8888, i, c[0], c[1], c[2]);
        }
    }
    gen_add_record(g, 2, VEXIL_RSRC_KIND_PALETTE_ANIMATION, "rings",
                   palette_animation_io_store(g->record, &pa, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the scaled picture ------------------------------------------------------------------

#define PICTURE_SIZE 256

static bool gen_in_ellipse(double px, double py, double cx, double cy, double ang, double a, double b)
{
    double dx = px - cx, dy = py - cy;
    double u = dx * cos(ang) + dy * sin(ang), v = -dx * sin(ang) + dy * cos(ang);
    return (u * u) / (a * a) + (v * v) / (b * b) <= 1.0;
}

// A framed sunset with hills and a fern frond, painted in the picture's own
// 48 colours, then built into a mip-mapped index8 texture against them.
static void gen_picture(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int n = PICTURE_SIZE;
    uint8_t* idx = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)n * n);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            double t = gen_clamp((y - 8) / 170.0, 0, 1);
            int v = PAL_SKY + (int)gen_clamp(floor(t * 19.0 + gen_bayer(x, y)), 0, 19);
            double sx = x + 0.5 - 178.0, sy = y + 0.5 - 146.0, sr = sqrt(sx * sx + sy * sy);
            if (sr < 34.0)
                v = PAL_SUN + (int)gen_clamp(floor((1.0 - sr / 34.0) * 5.0 + gen_bayer(x, y)), 0, 5);
            double h1 = 168.0 + 12.0 * sin(x / 23.0) + 7.0 * sin(x / 9.0 + 1.0);
            double h2 = 204.0 + 10.0 * sin(x / 31.0 + 2.0);
            if (y > h2)
                v = PAL_HILL + 2 + (int)gen_clamp(floor((y - h2) / 18.0 + gen_bayer(x, y)), 0, 3);
            else if (y > h1)
                v = PAL_HILL + (int)gen_clamp(floor((y - h1) / 24.0 + gen_bayer(x, y)), 0, 1);
            idx[y * n + x] = (uint8_t)v;
        }
    // The frond: leaflets in pairs along a curved stem, shrinking to the tip.
    const int leaflets = 15;
    for (int i = 0; i <= leaflets; i++) {
        double s = (double)i / leaflets;
        double bx = (1 - s) * (1 - s) * 40.0 + 2 * (1 - s) * s * 60.0 + s * s * 170.0;
        double by = (1 - s) * (1 - s) * 250.0 + 2 * (1 - s) * s * 90.0 + s * s * 70.0;
        double tx = 2 * (1 - s) * (60.0 - 40.0) + 2 * s * (170.0 - 60.0);
        double ty = 2 * (1 - s) * (90.0 - 250.0) + 2 * s * (70.0 - 90.0);
        double ang = atan2(ty, tx);
        double len = 34.0 * (1.0 - 0.75 * s) + 4.0, wid = 5.5 * (1.0 - 0.6 * s) + 1.5;
        for (int side = -1; side <= 1; side += 2) {
            double la = ang + side * 1.05;
            double cx = bx + cos(la) * len * 0.55, cy = by + sin(la) * len * 0.55;
            int xa = (int)(cx - len), xb = (int)(cx + len) + 1, ya = (int)(cy - len), yb = (int)(cy + len) + 1;
            for (int y = ya; y <= yb; y++)
                for (int x = xa; x <= xb; x++) {
                    if (x < 0 || y < 0 || x >= n || y >= n)
                        continue;
                    if (!gen_in_ellipse(x + 0.5, y + 0.5, cx, cy, la, len * 0.55, wid))
                        continue;
                    double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
                    double across = (-dx * sin(la) + dy * cos(la)) / wid;  // -1 .. 1 across the leaflet
                    double light = 0.55 + 0.35 * s - 0.3 * across * side;
                    idx[y * n + x] =
                        (uint8_t)(PAL_FERN + (int)gen_clamp(floor(light * 11.0 + gen_bayer(x, y) * 0.8), 0, 11));
                }
        }
        // The stem between this leaflet pair and the next.
        for (int k = 0; k < 12; k++) {
            double u = s + k / (12.0 * leaflets);
            if (u > 1.0)
                break;
            double px = (1 - u) * (1 - u) * 40.0 + 2 * (1 - u) * u * 60.0 + u * u * 170.0;
            double py = (1 - u) * (1 - u) * 250.0 + 2 * (1 - u) * u * 90.0 + u * u * 70.0;
            double rad = 2.2 * (1.0 - 0.6 * u) + 0.6;
            for (int y = (int)(py - 3); y <= (int)(py + 3); y++)
                for (int x = (int)(px - 3); x <= (int)(px + 3); x++)
                    if (x >= 0 && y >= 0 && x < n && y < n &&
                        (x + 0.5 - px) * (x + 0.5 - px) + (y + 0.5 - py) * (y + 0.5 - py) <= rad * rad)
                        idx[y * n + x] = PAL_FERN + 2;
        }
    }
    // The frame: dark outside, light band, dark inner line.
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            int e = x < y ? x : y;
            int e2 = (n - 1 - x) < (n - 1 - y) ? (n - 1 - x) : (n - 1 - y);
            if (e2 < e)
                e = e2;
            if (e < 2)
                idx[y * n + x] = PAL_BORDER + 0;
            else if (e < 5)
                idx[y * n + x] = PAL_BORDER + 3;
            else if (e < 7)
                idx[y * n + x] = PAL_BORDER + 2;
            else if (e < 8)
                idx[y * n + x] = PAL_BORDER + 1;
        }

    bitmap bm;
    bitmap_init(&bm, &g->scratch, n, n, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            uint8_t* p = bm.data + (size_t)y * bm.row_bytes + (size_t)x * 4;
            memcpy(p, &g->show[4 * idx[y * n + x]], 4);
            p[3] = 255;
        }
    palette clut;
    clut.offset = PAL_PICTURE;
    clut.count = PAL_PICTURE_COUNT;
    clut.rgba8888 = &g->show[4 * PAL_PICTURE];
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &g->scratch, &g->scratch, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8, 0, 1, 0,
                                 BITMAP_FILTER_LANCZOS, &bm, &clut, -1, 0.0f);
    gen_add_record(g, 2, VEXIL_RSRC_KIND_TEXTURE, "picture", n3d_io_texture_store(g->record, &t, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the greetings font --------------------------------------------------------------------

// The printable ASCII characters at the size of the greetings' small grid.
#define FONT_FIRST 32
#define FONT_LAST 126
#define FONT_PIXEL_HEIGHT 16.0f

static void gen_font(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    fontbitmap font = {};
    font.codepoint_first = FONT_FIRST;
    font.codepoint_last = FONT_LAST;
    font.codepoint_count = FONT_LAST - FONT_FIRST + 1;
    font.glyphs = memarena_push_array_zeroed<fontbitmap_glyph>(&g->scratch, (uint64_t)font.codepoint_count);
    for (int c = FONT_FIRST; c <= FONT_LAST; c++) {
        fontbitmap_glyph* gl = &font.glyphs[c - FONT_FIRST];
        gl->alpha = sample_glyph(&g->font, &g->scratch, c, FONT_PIXEL_HEIGHT, &gl->w, &gl->h, &gl->xoff, &gl->yoff,
                                 &gl->xadvance);
        // One bit a glyph pixel wherever the glyph draws, in rows of whole words.
        gl->cb.w = n3d_coveragebuffer_width_at_least(gl->w);
        gl->cb.h = gl->h;
        gl->cb.u32 = memarena_push_array_zeroed<uint32_t>(&g->scratch, (uint64_t)gl->cb.w * gl->cb.h / 32 + 1);
        for (int y = 0; y < gl->h; y++)
            for (int x = 0; x < gl->w; x++)
                if (gl->alpha[y * gl->w + x])
                    gl->cb.u32[(y * gl->cb.w + x) / 32] |= 0x80000000u >> (x & 31);
    }
    gen_add_record(g, 1, VEXIL_RSRC_KIND_FONT, "greetings.fnt",
                   fontbitmap_io_store(g->record, &font, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the video plane's assets ---------------------------------------------------------------

// A w x h RGBA canvas, sRGB, alpha 255, filled by the painters below.
static bitmap gen_canvas(gen* g, int w, int h)
{
    bitmap bm;
    bitmap_init(&bm, &g->scratch, (uint32_t)w, (uint32_t)h, BITMAP_FLAG_SRGB | BITMAP_FLAG_RGBA);
    return bm;
}

static void gen_put(bitmap* bm, int x, int y, double r, double gr, double b)
{
    uint8_t* p = bm->data + (size_t)y * bm->row_bytes + (size_t)x * 4;
    p[0] = (uint8_t)gen_clamp(floor(r + 0.5), 0, 255);
    p[1] = (uint8_t)gen_clamp(floor(gr + 0.5), 0, 255);
    p[2] = (uint8_t)gen_clamp(floor(b + 0.5), 0, 255);
    p[3] = 255;
}

// Builds a texture of the given format from the canvas and stores it as name.
static void gen_texture(gen* g, int pak, const char* name, const bitmap* bm, int format, int swizzle, int use_mips)
{
    n3d_texture t;
    n3d_make_texture_from_bitmap(&t, &g->scratch, &g->scratch, format, swizzle, use_mips, 0, BITMAP_FILTER_LANCZOS, bm,
                                 nullptr, -1, 0.0f);
    gen_add_record(g, pak, VEXIL_RSRC_KIND_TEXTURE, name, n3d_io_texture_store(g->record, &t, IO_ENDIAN_NATIVE));
}

// Smooth value noise on a wrapping lattice of period cells (deterministic hash).
static double gen_hash01(int x, int y, int seed)
{
    uint32_t h = (uint32_t)x * 374761393u + (uint32_t)y * 668265263u + (uint32_t)seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xffffffu) / 16777216.0;
}

static double gen_noise(double x, double y, int period, int seed)
{
    int xi = (int)floor(x), yi = (int)floor(y);
    double fx = x - xi, fy = y - yi;
    fx = fx * fx * (3.0 - 2.0 * fx);
    fy = fy * fy * (3.0 - 2.0 * fy);
    int x0 = ((xi % period) + period) % period, y0 = ((yi % period) + period) % period;
    int x1 = (x0 + 1) % period, y1 = (y0 + 1) % period;
    double a = gen_hash01(x0, y0, seed), b = gen_hash01(x1, y0, seed);
    double c = gen_hash01(x0, y1, seed), d = gen_hash01(x1, y1, seed);
    return gen_mixd(gen_mixd(a, b, fx), gen_mixd(c, d, fx), fy);
}

// Four octaves over a canvas of size cells (tiles seamlessly), in [0, 1).
static double gen_fbm(double u, double v, int cells, int seed)
{
    double s = 0.0, amp = 0.5, norm = 0.0;
    for (int o = 0; o < 4; o++) {
        int p = cells << o;
        s += amp * gen_noise(u * p, v * p, p, seed + o);
        norm += amp;
        amp *= 0.5;
    }
    return s / norm;
}

static void gen_mix3(double out[3], const double a[3], const double b[3], double t)
{
    for (int c = 0; c < 3; c++)
        out[c] = gen_mixd(a[c], b[c], gen_clamp(t, 0, 1));
}

// The tunnel's colour map: columns run along the distance from the centre,
// rows around it. Six spiral arms that twist four arms' width from the centre
// to the corners, their colour cycling teal, violet, magenta and gold twice
// along the distance, dark seams between the arms and a bright ring every 32
// columns (at 64 columns a second, one ring a beat).
#define TUNNEL_SIZE 256

static void gen_tunnel_color(double t, double out[3])
{
    static const double STOPS[4][3] = {{30, 170, 180}, {110, 50, 200}, {220, 60, 150}, {240, 180, 80}};
    double p = (t - floor(t)) * 4.0;
    int k = (int)p % 4;
    double f = p - floor(p);
    f = f * f * (3.0 - 2.0 * f);
    for (int c = 0; c < 3; c++)
        out[c] = gen_mixd(STOPS[k][c], STOPS[(k + 1) % 4][c], f);
}

static void gen_tunnel_map(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    bitmap bm = gen_canvas(g, TUNNEL_SIZE, TUNNEL_SIZE);
    for (int row = 0; row < TUNNEL_SIZE; row++)
        for (int col = 0; col < TUNNEL_SIZE; col++) {
            double a = (row + 0.5) / TUNNEL_SIZE, d = (col + 0.5) / TUNNEL_SIZE;
            double phase = a * 6.0 + d * 4.0;
            double f = phase - floor(phase);
            int arm = (int)floor(phase) % 6;
            double body = pow(sin(GEN_PI * f), 0.7);
            double c[3];
            gen_tunnel_color(d * 2.0 + (arm & 1) * 0.12, c);
            double n = gen_fbm(d, a, 8, 17);
            double shade = (0.25 + 0.75 * body) * (0.8 + 0.4 * n);
            for (double& q : c)
                q *= shade;
            double ring = d * 8.0 - floor(d * 8.0);
            double glow = exp(-ring * ring * 400.0) + exp(-(1.0 - ring) * (1.0 - ring) * 400.0);
            const double white[3] = {255, 240, 220};
            gen_mix3(c, c, white, 0.7 * glow * body);
            gen_put(&bm, col, row, c[0], c[1], c[2]);
        }
    gen_texture(g, 2, "tunnel_map", &bm, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 0, 0);
    memarena_goto_marker(&g->scratch, marker);
}

// The bump-mapped plate: a 310 x 256 window at the top left of 512 x 256
// textures. A rounded brass plate with a porthole (open: the background shows
// through it), rivets, grooves and the name in raised letters.
#define BUMP_W 512
#define BUMP_H 256
#define BUMP_WINDOW_W 310
#define BUMP_PLATE_X0 22
#define BUMP_PLATE_Y0 26
#define BUMP_PLATE_X1 288
#define BUMP_PLATE_Y1 214
#define BUMP_PLATE_R 26.0
#define BUMP_HOLE_X 92.0
#define BUMP_HOLE_Y 120.0
#define BUMP_HOLE_R 54.0

// Signed distance to the plate's rounded rectangle (negative inside).
static double gen_plate_dist(double x, double y)
{
    double cx = (BUMP_PLATE_X0 + BUMP_PLATE_X1) / 2.0, cy = (BUMP_PLATE_Y0 + BUMP_PLATE_Y1) / 2.0;
    double hx = (BUMP_PLATE_X1 - BUMP_PLATE_X0) / 2.0 - BUMP_PLATE_R,
           hy = (BUMP_PLATE_Y1 - BUMP_PLATE_Y0) / 2.0 - BUMP_PLATE_R;
    double qx = fabs(x - cx) - hx, qy = fabs(y - cy) - hy;
    double ox = qx > 0 ? qx : 0, oy = qy > 0 ? qy : 0;
    return sqrt(ox * ox + oy * oy) + fmin(fmax(qx, qy), 0.0) - BUMP_PLATE_R;
}

static void gen_bumpmap(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int w = BUMP_W, h = BUMP_H;
    // The raised lettering, blurred a little so its sides slope.
    uint8_t* text = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)w * h);
    // Each word's inked box, widened by a margin: the grooves stop short of it
    // and fade in over a few pixels beyond, so no groove strikes through a word.
    const char* words[2] = {"quill", "fern"};
    const int word_y[2] = {96, 152};
    double box[2][4];
    const double margin = 5.0, fade = 3.0;
    uint8_t* word = (uint8_t*)memarena_push(&g->scratch, (uint64_t)w * h);
    for (int k = 0; k < 2; k++) {
        memset(word, 0, (size_t)w * h);
        gen_text_centred(g, word, w, h, words[k], 56.0f, 120.0f, 220, word_y[k]);
        int x0 = w, x1 = -1, y0, y1;
        gen_ink_rows(word, w, h, 1, &y0, &y1);
        for (int i = 0; i < w * h; i++)
            if (word[i]) {
                x0 = i % w < x0 ? i % w : x0;
                x1 = i % w > x1 ? i % w : x1;
                text[i] = word[i] > text[i] ? word[i] : text[i];
            }
        box[k][0] = x0 - margin, box[k][1] = y0 - margin, box[k][2] = x1 + 1 + margin, box[k][3] = y1 + 1 + margin;
    }
    auto groove_depth = [&](double px, double py) {
        double f = 1.0;
        for (const auto& b : box) {
            double dx = fmax(fmax(b[0] - px, px - b[2]), 0.0), dy = fmax(fmax(b[1] - py, py - b[3]), 0.0);
            f = fmin(f, gen_clamp(fmax(dx, dy) / fade, 0, 1));
        }
        return f;
    };
    // Rounded letter sides: the coverage averaged over 5 x 5.
    float* soft = memarena_push_array_zeroed<float>(&g->scratch, (uint64_t)w * h);
    for (int y = 2; y < h - 2; y++)
        for (int x = 2; x < w - 2; x++) {
            int sum = 0;
            for (int oy = -2; oy <= 2; oy++)
                for (int ox = -2; ox <= 2; ox++)
                    sum += text[(y + oy) * w + x + ox];
            soft[y * w + x] = (float)(sum / (25.0 * 255.0));
        }
    double* height = memarena_push_array_zeroed<double>(&g->scratch, (uint64_t)w * h);
    int* mat =
        memarena_push_array_zeroed<int>(&g->scratch, (uint64_t)w * h);  // 0 outside, 1 plate, 2 rim, 3 letter, 4 rivet
    static const double RIVETS[6][2] = {{44, 48}, {266, 48}, {44, 192}, {266, 192}, {155, 48}, {155, 192}};
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            double px = x + 0.5, py = y + 0.5;
            double d = gen_plate_dist(px, py);
            double hd = sqrt((px - BUMP_HOLE_X) * (px - BUMP_HOLE_X) + (py - BUMP_HOLE_Y) * (py - BUMP_HOLE_Y));
            double hv = 0.0;
            int m = 0;
            if (x < BUMP_WINDOW_W && d < 0.0 && hd > BUMP_HOLE_R) {
                m = 1;
                // A bevelled edge, shallow grooves across the plate and a fine brushed grain.
                double bevel = gen_clamp(-d / 14.0, 0, 1);
                hv = 0.6 * bevel * (2.0 - bevel);
                double groove = fabs(fmod(py - BUMP_PLATE_Y0, 24.0) - 12.0);
                if (groove < 3.0 && px > 170 && px < 274)
                    hv -= 0.25 * (1.0 - groove / 3.0) * groove_depth(px, py);
                hv += 0.05 * gen_fbm(px / 512.0, py / 256.0, 32, 5);
                // The porthole's raised rim.
                double rim = hd - BUMP_HOLE_R;
                if (rim < 14.0) {
                    m = 2;
                    hv = 0.6 + 0.5 * sin(GEN_PI * gen_clamp(rim / 14.0, 0, 1));
                }
                for (const auto& r : RIVETS) {
                    double rd = sqrt((px - r[0]) * (px - r[0]) + (py - r[1]) * (py - r[1]));
                    if (rd < 7.0) {
                        m = 4;
                        hv = 0.6 + 0.5 * sqrt(1.0 - (rd / 7.0) * (rd / 7.0));
                    }
                }
                if (text[y * w + x] > 60 && m == 1) {
                    m = 3;
                }
                hv += 0.5 * soft[y * w + x];
            }
            height[y * w + x] = hv;
            mat[y * w + x] = m;
        }

    // Colours: aged brass on the plate, copper on the rim and rivets, pale gold
    // letters; the outside is dark (the stencil hides it).
    bitmap bm = gen_canvas(g, w, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            double n = gen_fbm(x / 512.0, y / 256.0 * 0.5, 8, 21);
            double c[3] = {12, 10, 20};
            switch (mat[y * w + x]) {
            case 1: {
                const double a[3] = {104, 74, 40}, b[3] = {166, 128, 74};
                gen_mix3(c, a, b, n * 1.3 - 0.1);
                // Quantized so the histogram palette keeps the gradient.
                break;
            }
            case 2:
            case 4: {
                const double a[3] = {150, 70, 50}, b[3] = {220, 130, 90};
                gen_mix3(c, a, b, n);
                break;
            }
            case 3: {
                const double a[3] = {230, 200, 120}, b[3] = {255, 236, 170};
                gen_mix3(c, a, b, n);
                break;
            }
            default:
                break;
            }
            gen_put(&bm, x, y, c[0], c[1], c[2]);
        }
    gen_texture(g, 2, "bump_color", &bm, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 0, 0);

    // The normal map: signed x and y slopes of the height field and a base term.
    n3d_texture t = {};
    t.format = N3D_TEXEL_FORMAT_BUMPMAP;
    t.not_swizzled = 1;
    t.w_log2 = gen_log2_ceil(w);
    t.h_log2 = gen_log2_ceil(h);
    t.min_u_level = t.w_log2;
    t.min_v_level = t.h_log2;
    t.mips = memarena_push_array_zeroed<uint8_t*>(&g->scratch, 1);
    uint32_t* texels = memarena_push_array_zeroed<uint32_t>(&g->scratch, (uint64_t)w * h);
    t.mips[0] = (uint8_t*)texels;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            auto H = [&](int xx, int yy) {
                xx = xx < 0 ? 0 : (xx >= w ? w - 1 : xx);
                yy = yy < 0 ? 0 : (yy >= h ? h - 1 : yy);
                return height[yy * w + xx];
            };
            double dx = (H(x + 1, y) - H(x - 1, y)) * 0.5, dy = (H(x, y + 1) - H(x, y - 1)) * 0.5;
            int nx = (int)gen_clamp(floor(-dx * 1400.0 + 0.5), -127, 127);
            int ny = (int)gen_clamp(floor(-dy * 1400.0 + 0.5), -127, 127);
            int base = mat[y * w + x] ? 28 : 0;
            texels[y * w + x] =
                (uint32_t)(uint8_t)(int8_t)nx << 24 | (uint32_t)(uint8_t)(int8_t)ny << 16 | (uint32_t)base;
        }
    gen_add_record(g, 2, VEXIL_RSRC_KIND_TEXTURE, "bump_normals",
                   n3d_io_texture_store(g->record, &t, IO_ENDIAN_NATIVE));

    // The stencil: a bit wherever the background shows (round the plate and in
    // the porthole), over the window's width rounded up to whole words.
    const int sw = 320;
    uint8_t* mask = (uint8_t*)memarena_push_zeroed(&g->scratch, (uint64_t)sw * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < sw; x++)
            mask[y * sw + x] = x >= BUMP_WINDOW_W || mat[y * w + x] == 0;
    gen_stencil(g, 1, "bump_stencil", mask, sw, h);
    memarena_goto_marker(&g->scratch, marker);
}

// The background behind the plate: a nebula in violet, rose and teal with
// stars, larger than the page so it can pan.
#define BACKGROUND_SIZE 512

static void gen_background(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int n = BACKGROUND_SIZE;
    bitmap bm = gen_canvas(g, n, n);
    const double deep[3] = {10, 8, 34}, violet[3] = {86, 34, 120}, rose[3] = {210, 80, 120}, teal[3] = {40, 150, 170};
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            double u = x / (double)n, v = y / (double)n;
            double a = gen_fbm(u, v, 4, 31), b = gen_fbm(u + 0.3, v, 6, 47);
            double c[3];
            gen_mix3(c, deep, violet, a * 1.6 - 0.3);
            double r[3];
            gen_mix3(r, c, rose, (b - 0.55) * 3.0);
            gen_mix3(c, r, teal, (a - 0.62) * 4.0);
            double s = gen_hash01(x, y, 77);
            if (s > 0.9975) {
                double k = (s - 0.9975) / 0.0025;
                const double white[3] = {255, 250, 240};
                gen_mix3(c, c, white, 0.5 + 0.5 * k);
            }
            gen_put(&bm, x, y, c[0], c[1], c[2]);
        }
    gen_texture(g, 2, "nebula_background", &bm, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 0, 0);
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the animated datapack ------------------------------------------------------------------

// Triangles with position, texture coordinate, normal, tangent and bitangent.
struct gen_mesh {
    int count, capacity;
    float *xyz, *uv, *n, *t, *b;
};

static void gen_mesh_init(gen_mesh* m, memarena* arena, int capacity)
{
    m->count = 0;
    m->capacity = capacity;
    m->xyz = memarena_push_array_zeroed<float>(arena, 3ull * capacity);
    m->uv = memarena_push_array_zeroed<float>(arena, 2ull * capacity);
    m->n = memarena_push_array_zeroed<float>(arena, 3ull * capacity);
    m->t = memarena_push_array_zeroed<float>(arena, 3ull * capacity);
    m->b = memarena_push_array_zeroed<float>(arena, 3ull * capacity);
}

// Writes the point at (u, v) and a point behind it (the normal points away from it).
typedef void (*gen_surface_func)(double u, double v, const double* k, double out[3], double behind[3]);

static void gen_v3_norm(double v[3])
{
    double l = sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (l > 0)
        for (int c = 0; c < 3; c++)
            v[c] /= l;
}

static void gen_v3_cross(double r[3], const double a[3], const double b[3])
{
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}

// Tessellates a parametric surface over [0,1]^2 into nu x nv quads. Triangles
// face where the surface's normal points (outward = 1) or the other way (the
// sky, seen from inside); degenerate ones (at poles) are dropped.
static void gen_mesh_surface(gen_mesh* m, gen_surface_func f, const double* k, int nu, int nv, double u_scale,
                             double v_scale, int outward)
{
    auto vertex = [&](double u, double v, double p[3], double nn[3], double tt[3], double bb[3]) {
        const double e = 1e-4;
        double pu[3], pv[3], du[3], dv[3], behind[3], unused[3];
        f(u, v, k, p, behind);
        f(u + e, v, k, pu, unused);
        double vv = v + e > 1.0 ? v - e : v + e, sgn = v + e > 1.0 ? -1.0 : 1.0;
        f(u, vv, k, pv, unused);
        for (int c = 0; c < 3; c++) {
            du[c] = pu[c] - p[c];
            dv[c] = (pv[c] - p[c]) * sgn;
        }
        gen_v3_cross(nn, dv, du);
        double away[3] = {p[0] - behind[0], p[1] - behind[1], p[2] - behind[2]};
        if (nn[0] * nn[0] + nn[1] * nn[1] + nn[2] * nn[2] < 1e-20)
            memcpy(nn, away, sizeof away);  // a pole
        if (nn[0] * away[0] + nn[1] * away[1] + nn[2] * away[2] < 0)
            for (int c = 0; c < 3; c++)
                nn[c] = -nn[c];
        gen_v3_norm(nn);
        for (int c = 0; c < 3; c++)
            tt[c] = du[c];
        gen_v3_norm(tt);
        gen_v3_cross(bb, nn, tt);
        gen_v3_norm(bb);
    };
    for (int j = 0; j < nv; j++)
        for (int i = 0; i < nu; i++) {
            double us[4] = {(double)i / nu, (double)(i + 1) / nu, (double)(i + 1) / nu, (double)i / nu};
            double vs[4] = {(double)j / nv, (double)j / nv, (double)(j + 1) / nv, (double)(j + 1) / nv};
            static const int TRIS[2][3] = {{0, 1, 2}, {0, 2, 3}};
            for (const auto& tri : TRIS) {
                double p[3][3], nn[3][3], tt[3][3], bb[3][3];
                for (int q = 0; q < 3; q++)
                    vertex(us[tri[q]], vs[tri[q]], p[q], nn[q], tt[q], bb[q]);
                double e1[3], e2[3], gn[3];
                for (int c = 0; c < 3; c++) {
                    e1[c] = p[1][c] - p[0][c];
                    e2[c] = p[2][c] - p[0][c];
                }
                gen_v3_cross(gn, e1, e2);
                double area = sqrt(gn[0] * gn[0] + gn[1] * gn[1] + gn[2] * gn[2]);
                if (area < 1e-9)
                    continue;
                double facing = gn[0] * (nn[0][0] + nn[1][0] + nn[2][0]) + gn[1] * (nn[0][1] + nn[1][1] + nn[2][1]) +
                                gn[2] * (nn[0][2] + nn[1][2] + nn[2][2]);
                int order[3] = {0, 1, 2};
                if ((facing > 0) != (outward != 0)) {
                    order[1] = 2;
                    order[2] = 1;
                }
                if (m->count + 3 > m->capacity)
                    crash_fail(2, "mesh capacity %d exceeded\n", m->capacity);
                for (int q = 0; q < 3; q++) {
                    int s = order[q], d = m->count++;
                    for (int c = 0; c < 3; c++) {
                        m->xyz[3 * d + c] = (float)p[s][c];
                        m->n[3 * d + c] = (float)(outward ? nn[s][c] : -nn[s][c]);
                        m->t[3 * d + c] = (float)tt[s][c];
                        m->b[3 * d + c] = (float)bb[s][c];
                    }
                    m->uv[2 * d] = (float)(us[tri[s]] * u_scale);
                    m->uv[2 * d + 1] = (float)(vs[tri[s]] * v_scale);
                }
            }
        }
}

// k: radius, y0, y1.
static void gen_surf_cylinder(double u, double v, const double* k, double o[3], double in[3])
{
    double a = 2.0 * GEN_PI * u;
    o[0] = k[0] * sin(a);
    o[1] = gen_mixd(k[2], k[1], v);
    o[2] = k[0] * cos(a);
    in[0] = 0, in[1] = o[1], in[2] = 0;
}

// k: radius, y, inner radius (a ring from there to the rim); the normal is +y.
static void gen_surf_disc(double u, double v, const double* k, double o[3], double in[3])
{
    double a = -2.0 * GEN_PI * u, r = gen_mixd(k[2], k[0], v);
    o[0] = r * sin(a);
    o[1] = k[1];
    o[2] = r * cos(a);
    in[0] = o[0], in[1] = o[1] - 1.0, in[2] = o[2];
}

// k: major radius, minor radius.
static void gen_surf_torus(double u, double v, const double* k, double o[3], double in[3])
{
    double a = 2.0 * GEN_PI * u, b = 2.0 * GEN_PI * v;
    double r = k[0] + k[1] * cos(b);
    o[0] = r * cos(a);
    o[1] = -k[1] * sin(b);
    o[2] = r * sin(a);
    in[0] = k[0] * cos(a), in[1] = 0, in[2] = k[0] * sin(a);
}

// k: centre y (0), radius.
static void gen_surf_sphere(double u, double v, const double* k, double o[3], double in[3])
{
    double a = 2.0 * GEN_PI * u, b = GEN_PI * v;
    o[0] = k[1] * sin(b) * sin(a);
    o[1] = k[0] + k[1] * cos(b);
    o[2] = k[1] * sin(b) * cos(a);
    in[0] = 0, in[1] = k[0], in[2] = 0;
}

static void gen_mesh_vertices(n3d_vertices* out, const gen_mesh* m, int first, int count)
{
    *out = {};
    out->count = count;
    out->xyz = m->xyz + 3 * first;
    out->uv = m->uv + 2 * first;
    out->n_xyz = m->n + 3 * first;
    out->t_xyz = m->t + 3 * first;
    out->b_xyz = m->b + 3 * first;
}

// The datapack's textures, 256 x 256 swizzled with mip levels: marble, brass
// and the head's mask as index8 with ARGB1555 shades; the sky as ARGB1555.
static void gen_madpack_textures(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    const int n = 256;
    bitmap marble = gen_canvas(g, n, n), brass = gen_canvas(g, n, n), mask = gen_canvas(g, n, n),
           sky = gen_canvas(g, n, n);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            double u = x / (double)n, v = y / (double)n;
            // Marble: pale lilac with dark veins along a turbulent sine.
            double t = gen_fbm(u, v, 4, 3);
            double vein = fabs(sin(2.0 * GEN_PI * (u * 3.0 + v * 1.0) + 7.0 * t));
            double c[3];
            const double pale[3] = {246, 240, 250}, dark[3] = {120, 100, 150};
            gen_mix3(c, dark, pale, pow(vein, 0.35));
            gen_put(&marble, x, y, c[0], c[1], c[2]);
            // Warm metal with engraved bands across the ring's tube; under the scene's violet
            // light and bluish ambient it reads violet-grey, its highlights magenta.
            double band = fmod(v * 8.0, 1.0);
            const double gold[3] = {255, 190, 170}, deep[3] = {180, 100, 100};
            gen_mix3(c, deep, gold, 0.6 + 0.4 * gen_fbm(u, v, 8, 9));
            if (band < 0.12)
                for (double& q : c)
                    q *= 0.55;
            if ((int)(u * 32.0) % 4 == 0 && band > 0.4 && band < 0.6)
                for (double& q : c)
                    q = fmin(255.0, q * 1.35);
            gen_put(&brass, x, y, c[0], c[1], c[2]);
            // The mask: ivory lacquer with two dark eyes and a mouth on the front
            // (u = 0.5 faces +z) and rose stripes round the crown.
            const double lacquer[3] = {255, 244, 240}, lacq2[3] = {220, 200, 215};
            gen_mix3(c, lacq2, lacquer, gen_fbm(u, v, 4, 13));
            if (v < 0.3 && fmod(u * 12.0, 1.0) < 0.18) {
                c[0] = 240, c[1] = 120, c[2] = 150;
            }
            for (int e = -1; e <= 1; e += 2) {
                double ex = (u - (0.5 + e * 0.075)) / 0.045, ey = (v - 0.45) / 0.06;
                if (ex * ex + ey * ey < 1.0) {
                    c[0] = 40, c[1] = 20, c[2] = 70;
                }
            }
            double mx = (u - 0.5) / 0.11, my = (v - 0.62) / 0.03;
            if (mx * mx + my * my < 1.0 && v > 0.6) {
                c[0] = 20, c[1] = 20, c[2] = 40;
            }
            gen_put(&mask, x, y, c[0], c[1], c[2]);
            // Sky: a dusk from deep blue overhead through violet to a rose glow at
            // the horizon (v = 0.5), with stars; below it dark plum ground.
            const double zenith[3] = {16, 18, 60}, mid[3] = {70, 40, 110}, horizon[3] = {230, 120, 110},
                         ground[3] = {34, 20, 42};
            double s = gen_fbm(u, v, 4, 41);
            if (v < 0.4)
                gen_mix3(c, zenith, mid, pow(v / 0.4, 1.5) + 0.15 * (s - 0.5));
            else if (v < 0.5)
                gen_mix3(c, mid, horizon, (v - 0.4) / 0.1 + 0.2 * (s - 0.5));
            else
                gen_mix3(c, horizon, ground, (v - 0.5) / 0.08 + 0.3 * (s - 0.5));
            double st = gen_hash01(x, y, 99);
            if (v < 0.4 && st > 0.993)
                c[0] = c[1] = c[2] = 255;
            gen_put(&sky, x, y, c[0], c[1], c[2]);
        }
    gen_texture(g, 2, "marble.tmap", &marble, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1);
    gen_texture(g, 2, "brass.tmap", &brass, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1);
    gen_texture(g, 2, "mask.tmap", &mask, N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555, 1, 1);
    gen_texture(g, 2, "dusk.tmap", &sky, N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555, 1, 0);
    memarena_goto_marker(&g->scratch, marker);
}

static void gen_quat_axis(double q[4], double ax, double ay, double az, double angle)
{
    double l = sqrt(ax * ax + ay * ay + az * az), s = sin(angle / 2.0) / l;
    q[0] = ax * s, q[1] = ay * s, q[2] = az * s, q[3] = cos(angle / 2.0);
}

static void gen_quat_mul(double r[4], const double a[4], const double b[4])
{
    double x = a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1];
    double y = a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0];
    double z = a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3];
    double w = a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2];
    r[0] = x, r[1] = y, r[2] = z, r[3] = w;
}

// Node indices of the sculpture.
enum { SCULPT_ROOT, SCULPT_PEDESTAL, SCULPT_RING, SCULPT_HEAD, SCULPT_RIG, SCULPT_CAMERA, SCULPT_SKY, SCULPT_NODES };

#define SCULPT_KEYS_SECONDS 64  // both animations cover 64 s from 0
#define SCULPT_KEYS_PER_SECOND 8

// One sampler: count keyframes at 1/8 s, components floats each from fill(t).
static void gen_sampler(mad_sampler* s, memarena* arena, int components, void (*fill)(double t, double* out))
{
    s->interpolation = MAD_INTERPOLATION_LINEAR;
    s->count = SCULPT_KEYS_SECONDS * SCULPT_KEYS_PER_SECOND + 1;
    s->values_count = s->count * components;
    s->timestamps = memarena_push_array_zeroed<float>(arena, (uint64_t)s->count);
    s->values = memarena_push_array_zeroed<float>(arena, (uint64_t)s->values_count);
    for (int i = 0; i < s->count; i++) {
        double t = (double)i / SCULPT_KEYS_PER_SECOND, v[4];
        s->timestamps[i] = (float)t;
        fill(t, v);
        for (int c = 0; c < components; c++)
            s->values[i * components + c] = (float)v[c];
    }
}

// The camera rig turns once round the sculpture every 16 s (8 bars).
static void gen_key_rig(double t, double* q) { gen_quat_axis(q, 0, 1, 0, -2.0 * GEN_PI * t / 16.0); }
// The camera breathes in and out over two bars, slightly above the ring.
static void gen_key_camera(double t, double* p)
{
    p[0] = 0.0;
    p[1] = 1.0 + 0.3 * sin(2.0 * GEN_PI * t / 8.0);
    p[2] = 5.8 - 0.5 * sin(2.0 * GEN_PI * t / 4.0);
}
// The ring spins round its tilted axis once a bar and wobbles on the beat.
static void gen_key_ring(double t, double* q)
{
    double tilt[4], spin[4], wob[4], tmp[4];
    gen_quat_axis(tilt, 1, 0, 0.3, 0.45);
    gen_quat_axis(spin, 0, 1, 0, 2.0 * GEN_PI * t / 2.0);
    gen_quat_axis(wob, 0, 0, 1, 0.12 * sin(2.0 * GEN_PI * t / 0.5));
    gen_quat_mul(tmp, tilt, wob);
    gen_quat_mul(q, tmp, spin);
}
// The head hops on every beat (500 ms) and looks left and right over a bar.
static void gen_key_head_pos(double t, double* p)
{
    double ph = fmod(t, 0.5) / 0.5;
    p[0] = 0.0;
    p[1] = 0.15 + 0.28 * sin(GEN_PI * ph) * (1.0 - 0.4 * ph);
    p[2] = 0.0;
}
static void gen_key_head_rot(double t, double* q)
{
    double yaw[4], nod[4];
    gen_quat_axis(yaw, 0, 1, 0, 0.6 * sin(2.0 * GEN_PI * t / 2.0));
    gen_quat_axis(nod, 1, 0, 0, 0.15 * sin(2.0 * GEN_PI * t / 0.5));
    gen_quat_mul(q, yaw, nod);
}

// "sculpture": a marble pedestal, a brass ring that spins round a hopping
// masked head, a camera on a turning rig and a dusk sky. Animation "orbit"
// moves the rig, the camera and the ring; "hop" moves the head.
static void gen_madpack(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    memarena* a = &g->scratch;
    gen_mesh pedestal, ring, head, sky;
    gen_mesh_init(&pedestal, a, 4096);
    gen_mesh_init(&ring, a, 2048);
    gen_mesh_init(&head, a, 2048);
    gen_mesh_init(&sky, a, 4096);
    // The pedestal: a wide foot, a narrower column and a top plate. The discs
    // the light sweeps over have a few rings each, so the light across them is
    // interpolated over small triangles instead of ending in the straight edges
    // of one fan; their rims share the cylinders' segments. The foot's top is
    // the ring round the column, the only part of it in view.
    const int segments = 20, disc_rings = 4;
    const double foot[3] = {1.5, -1.7, -1.45}, foot_top[3] = {1.5, -1.45, 0.9}, column[3] = {0.9, -1.45, -0.75},
                 top[3] = {1.15, -0.75, -0.55}, top_cap[3] = {1.15, -0.55, 0.0};
    gen_mesh_surface(&pedestal, gen_surf_cylinder, foot, segments, 1, 1.0, 0.2, 1);
    gen_mesh_surface(&pedestal, gen_surf_disc, foot_top, segments, disc_rings / 2, 1.0, 1.0, 1);
    gen_mesh_surface(&pedestal, gen_surf_cylinder, column, segments, 2, 1.0, 0.6, 1);
    gen_mesh_surface(&pedestal, gen_surf_cylinder, top, segments, 1, 1.0, 0.2, 1);
    gen_mesh_surface(&pedestal, gen_surf_disc, top_cap, segments, disc_rings, 1.0, 1.0, 1);
    const double torus[2] = {1.45, 0.2};
    gen_mesh_surface(&ring, gen_surf_torus, torus, 24, 8, 1.0, 1.0, 1);
    const double ball[2] = {0.0, 0.5};
    gen_mesh_surface(&head, gen_surf_sphere, ball, 16, 10, 1.0, 1.0, 1);
    // The dome: enough segments round the horizon that it shows no corners; the
    // horizon (v = 0.5) lies on a ring edge.
    const double dome[2] = {0.0, 100.0};
    gen_mesh_surface(&sky, gen_surf_sphere, dome, 32, 8, 1.0, 1.0, 0);

    mad_datapack dp = {};
    dp.images_count = 4;
    dp.images = memarena_push_array_zeroed<mad_image>(a, 4);
    const char* image_names[4] = {"marble", "brass", "mask", "dusk"};
    for (int i = 0; i < 4; i++)
        dp.images[i].name = const_cast<char*>(image_names[i]);
    dp.materials_count = 4;
    dp.materials = memarena_push_array_zeroed<mad_material>(a, 4);
    for (int i = 0; i < 4; i++) {
        dp.materials[i].base_color_image = &dp.images[i];
        for (int c = 0; c < 4; c++)
            dp.materials[i].base_color[c] = 1.0f;
    }
    gen_mesh* meshes[4] = {&pedestal, &ring, &head, &sky};
    dp.meshes_count = 4;
    dp.meshes = memarena_push_array_zeroed<mad_mesh>(a, 4);
    for (int i = 0; i < 4; i++) {
        dp.meshes[i].primitives_count = 1;
        dp.meshes[i].primitives = memarena_push_array_zeroed<mad_primitive>(a, 1);
        gen_mesh_vertices(&dp.meshes[i].primitives[0].vertices, meshes[i], 0, meshes[i]->count);
        dp.meshes[i].primitives[0].material = &dp.materials[i];
    }
    dp.cameras_count = 1;
    dp.cameras = memarena_push_array_zeroed<mad_camera>(a, 1);
    dp.cameras[0].zfar = 100.0f;
    dp.cameras[0].znear = 0.5f;
    dp.cameras[0].aspect_ratio = 320.0f / 240.0f;
    dp.cameras[0].yfov = 0.85f;

    dp.nodes_count = SCULPT_NODES;
    dp.nodes = memarena_push_array_zeroed<mad_node>(a, SCULPT_NODES);
    const char* node_names[SCULPT_NODES] = {"sculpture", "pedestal", "ring", "head", "rig", "camera", "sky"};
    for (int i = 0; i < SCULPT_NODES; i++) {
        mad_node* nd = &dp.nodes[i];
        nd->name = const_cast<char*>(node_names[i]);
        for (int c = 0; c < 3; c++)
            nd->scale[c] = 1.0f;
        nd->rotation[3] = 1.0f;
    }
    // The root holds the sculpture's parts; the rig, the camera and the sky are roots of their own.
    static int root_children[3] = {SCULPT_PEDESTAL, SCULPT_RING, SCULPT_HEAD};
    static int rig_children[1] = {SCULPT_CAMERA};
    dp.nodes[SCULPT_ROOT].children_count = 3;
    dp.nodes[SCULPT_ROOT].children_index = root_children;
    dp.nodes[SCULPT_RIG].children_count = 1;
    dp.nodes[SCULPT_RIG].children_index = rig_children;
    for (int c : root_children)
        dp.nodes[c].parent = &dp.nodes[SCULPT_ROOT];
    dp.nodes[SCULPT_CAMERA].parent = &dp.nodes[SCULPT_RIG];
    dp.nodes[SCULPT_PEDESTAL].mesh = &dp.meshes[0];
    dp.nodes[SCULPT_RING].mesh = &dp.meshes[1];
    dp.nodes[SCULPT_HEAD].mesh = &dp.meshes[2];
    dp.nodes[SCULPT_SKY].mesh = &dp.meshes[3];
    dp.nodes[SCULPT_CAMERA].camera = &dp.cameras[0];
    dp.nodes[SCULPT_HEAD].translation[1] = 0.15f;
    dp.nodes[SCULPT_CAMERA].translation[1] = 1.0f;
    dp.nodes[SCULPT_CAMERA].translation[2] = 5.8f;
    {
        double q[4];
        gen_quat_axis(q, 1, 0, 0, -0.22);  // looking slightly down at the sculpture
        for (int c = 0; c < 4; c++)
            dp.nodes[SCULPT_CAMERA].rotation[c] = (float)q[c];
    }

    dp.animations_count = 2;
    dp.animations = memarena_push_array_zeroed<mad_animation>(a, 2);
    mad_animation* orbit = &dp.animations[0];
    orbit->name = const_cast<char*>("orbit");
    orbit->samplers_count = 3;
    orbit->samplers = memarena_push_array_zeroed<mad_sampler>(a, 3);
    gen_sampler(&orbit->samplers[0], a, 4, gen_key_rig);
    gen_sampler(&orbit->samplers[1], a, 3, gen_key_camera);
    gen_sampler(&orbit->samplers[2], a, 4, gen_key_ring);
    orbit->channels_count = 3;
    orbit->channels = memarena_push_array_zeroed<mad_channel>(a, 3);
    orbit->channels[0] = {&dp.nodes[SCULPT_RIG], &orbit->samplers[0], MAD_ATTRIBUTE_ROTATION};
    orbit->channels[1] = {&dp.nodes[SCULPT_CAMERA], &orbit->samplers[1], MAD_ATTRIBUTE_TRANSLATION};
    orbit->channels[2] = {&dp.nodes[SCULPT_RING], &orbit->samplers[2], MAD_ATTRIBUTE_ROTATION};
    mad_animation* hop = &dp.animations[1];
    hop->name = const_cast<char*>("hop");
    hop->samplers_count = 2;
    hop->samplers = memarena_push_array_zeroed<mad_sampler>(a, 2);
    gen_sampler(&hop->samplers[0], a, 3, gen_key_head_pos);
    gen_sampler(&hop->samplers[1], a, 4, gen_key_head_rot);
    hop->channels_count = 2;
    hop->channels = memarena_push_array_zeroed<mad_channel>(a, 2);
    hop->channels[0] = {&dp.nodes[SCULPT_HEAD], &hop->samplers[0], MAD_ATTRIBUTE_TRANSLATION};
    hop->channels[1] = {&dp.nodes[SCULPT_HEAD], &hop->samplers[1], MAD_ATTRIBUTE_ROTATION};

    gen_add_record(g, 2, VEXIL_RSRC_KIND_MADPACK, "sculpture", mad_datapack_store(g->record, &dp, IO_ENDIAN_NATIVE));
    memarena_goto_marker(&g->scratch, marker);
}

// ---- the music ------------------------------------------------------------------------------

// One byte a stereo frame: the left channel's code in the low nibble.
static void gen_music(gen* g)
{
    uint64_t marker = memarena_get_marker(&g->scratch);
    int16_t* pcm = memarena_push_array<int16_t>(&g->scratch, 2ull * SAMPLE_MUSIC_FRAMES);
    sample_music_render(pcm);
    uint8_t* stream = (uint8_t*)memarena_push(&g->scratch, SAMPLE_MUSIC_FRAMES);
    acm_ima_state left, right;
    acm_ima_init_state(&left);
    acm_ima_init_state(&right);
    for (int i = 0; i < SAMPLE_MUSIC_FRAMES; i++) {
        int l = acm_ima_encode(&left, pcm[2 * i]);
        int r = acm_ima_encode(&right, pcm[2 * i + 1]);
        stream[i] = (uint8_t)((l & 15) | (r & 15) << 4);
    }
    gen_add_raw(g, 0, VEXIL_RSRC_KIND_MUSIC, "music.ima", stream, SAMPLE_MUSIC_FRAMES);
    memarena_goto_marker(&g->scratch, marker);
}

int main(int argc, char** argv)
{
    if (argc != 5)
        crash_fail(2, "usage: %s <source dir> <output dir> <work dir> <font file>\n",
                   argc > 0 ? argv[0] : "sample_generate");
    static gen g;
    void* block = malloc(GEN_ARENA_BYTES + GEN_SCRATCH_BYTES);
    if (!block)
        crash_fail(2, "out of memory\n");
    memarena_init(&g.arena, "sample_arena", GEN_ARENA_BYTES, block);
    memarena_init(&g.scratch, "sample_scratch", GEN_SCRATCH_BYTES, (uint8_t*)block + GEN_ARENA_BYTES);
    g.src_dir = argv[1];
    g.out_dir = argv[2];
    g.work_dir = argv[3];
    gen_mkdirs(g.out_dir);
    gen_mkdirs(g.work_dir);
    // The writers report every file they write; that goes to a log beside the
    // intermediate files, so the build output stays short. Failures still reach
    // standard error.
    char* log = gen_path(&g, g.work_dir, "generate.log");
    if (!freopen(log, "w", stdout))
        crash_fail(2, "failed open \"%s\"\n", log);
    sample_font_load(&g.font, &g.arena, argv[4]);
    g.record = (uint8_t*)memarena_push(&g.arena, GEN_RECORD_BYTES);
    for (int i = 0; i < GEN_PAKS; i++)
        vexil_fs_pack_begin(&g.paks[i], IO_ENDIAN_NATIVE);
    gen_show_palette(g.show);

    // pak0: the sequence, the scene ini files, the loading screen and the music;
    // pak1: palettes, run-length images, images and stencils of the show;
    // pak2: the large ones, the palette animation and the texture.
    gen_add_sources(&g, 0);
    gen_loading_screen(&g);
    gen_music(&g);
    gen_palette(&g, 1, "show.pal", g.show, 0, 256);
    gen_palette(&g, 1, "stars.pal", g.show, PAL_STARS, PAL_STARS_COUNT);
    gen_title(&g);
    gen_sky_objects(&g);
    gen_stroke(&g, "software_stroke", "drawn in software");
    gen_stroke(&g, "beat_stroke", "to a steady beat");
    gen_waves(&g);
    gen_font(&g);
    gen_rings(&g);
    gen_picture(&g);
    gen_tunnel_map(&g);
    gen_bumpmap(&g);
    gen_background(&g);
    gen_madpack_textures(&g);
    gen_madpack(&g);

    for (int i = 0; i < GEN_PAKS; i++) {
        char name[16];
        snprintf(name, sizeof name, "pak%d.vxf", i);
        vexil_fs_pack_end(&g.paks[i], gen_path(&g, g.out_dir, name), &g.scratch);
    }
    fflush(stdout);
    free(block);
    return 0;
}
