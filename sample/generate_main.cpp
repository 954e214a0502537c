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
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/memarena.h"
#include "core/posix_file_utils.h"
#include "host/acm_ima.h"
#include "image/bitmap.h"
#include "image/n3d_convert.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/n3d_asset.h"
#include "n3d/target/n3d_framebuffer.h"
#include "n3d/io/n3d_io.h"
#include "sample_music.h"
#include "sample_text.h"
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
#define PAL_SKY 80  // 20 steps
#define PAL_SUN 100  // 6 steps
#define PAL_BORDER 106  // 4
#define PAL_HILL 110  // 6
#define PAL_FERN 116  // 12
#define PAL_RINGS 128  // the palette animation's range
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
    uint8_t* record;  // one asset record at a time
    uint8_t show[256 * 4];  // the show's colour table
};

// ---- files and packs ---------------------------------------------------------

static char* gen_path(gen* g, const char* dir, const char* name)
{
    return file_path_join(&g->arena, dir, name);
}

static void gen_mkdirs(const char* path)
{
    char buf[4096];
    size_t n = strlen(path);
    if (n >= sizeof buf)
        crash_fail(2, "path too long \"%s\"\n", path);
    memcpy(buf, path, n + 1);
    for (size_t i = 1; i <= n; i++) {
        if (buf[i] == '/' || buf[i] == 0) {
            char c = buf[i];
            buf[i] = 0;
            if (mkdir(buf, 0755) != 0) {
                struct stat st;
                if (stat(buf, &st) != 0 || !S_ISDIR(st.st_mode))
                    crash_fail(2, "failed create directory \"%s\"\n", buf);
            }
            buf[i] = c;
        }
    }
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

static int gen_name_cmp(const void* a, const void* b)
{
    return strcmp(*(char* const*)a, *(char* const*)b);
}

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
    gen_add_record(g, pak, VEXIL_RSRC_KIND_STENCIL, name, n3d_io_coveragebuffer_store(g->record, &cb, IO_ENDIAN_NATIVE));
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
static void gen_text_centred(gen* g, uint8_t* canvas, int w, int h, const char* text, float pixel_height,
                             float max_w, int cx, int cy)
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
                if (x < x0) x0 = x;
                if (x > x1) x1 = x;
                if (y < y0) y0 = y;
                if (y > y1) y1 = y;
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
                if (x < x0) x0 = x;
                if (x > x1) x1 = x;
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
            double c1 = 404.0 + 18.0 * sin(2.0 * GEN_PI * x / 213.0 + ph) + 6.0 * sin(2.0 * GEN_PI * x / 71.0 - 2.0 * ph);
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
            pa.image[y * pa.w + x] = (uint8_t)(PAL_RINGS + (((j % PAL_RINGS_COUNT) + PAL_RINGS_COUNT) % PAL_RINGS_COUNT));
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
                    idx[y * n + x] = (uint8_t)(PAL_FERN + (int)gen_clamp(floor(light * 11.0 + gen_bayer(x, y) * 0.8), 0, 11));
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
    gen_add_record(g, 1, VEXIL_RSRC_KIND_FONT, "greetings.fnt", fontbitmap_io_store(g->record, &font, IO_ENDIAN_NATIVE));
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
        crash_fail(2, "usage: %s <source dir> <output dir> <work dir> <font file>\n", argc > 0 ? argv[0] : "sample_generate");
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

    for (int i = 0; i < GEN_PAKS; i++) {
        char name[16];
        snprintf(name, sizeof name, "pak%d.vxf", i);
        vexil_fs_pack_end(&g.paks[i], gen_path(&g, g.out_dir, name), &g.scratch);
    }
    fflush(stdout);
    free(block);
    return 0;
}
