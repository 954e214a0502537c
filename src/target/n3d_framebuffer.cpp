#include "target/n3d_framebuffer.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif

#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/maskstore.h"
#include "core/memarena.h"
#include "core/ppc.h"
#include "target/n3d_texel_format.h"

static const uint16_t N3D_BACKGROUND_ARGB1555 = 0x8000;

void n3d_framebuffer_init_argb1555(n3d_framebuffer* fb, int width, int height, memarena* arena)
{
    memset(fb, 0, sizeof *fb);
    fb->w = width;
    fb->h = height;
    fb->row_bytes = 2 * width;
    fb->b = memarena_push_array_align<uint16_t>(arena, static_cast<uint64_t>(width) * static_cast<uint64_t>(height),
                                                MEMARENA_PLANE_ALIGN);
    fb->format = N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555;
}

void n3d_framebuffer_init_index8(n3d_framebuffer* fb, int width, int height, memarena* arena)
{
    memset(fb, 0, sizeof *fb);
    fb->w = width;
    fb->h = height;
    fb->row_bytes = width;
    fb->b = memarena_push_array_align<uint8_t>(arena, static_cast<uint64_t>(width) * static_cast<uint64_t>(height),
                                               MEMARENA_PLANE_ALIGN);
    fb->format = N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8;
}

int n3d_coveragebuffer_width_at_least(int width) { return (width + 31) & ~31; }

void n3d_coveragebuffer_init(n3d_coveragebuffer* cb, int width, int height, memarena* arena)
{
    memset(cb, 0, sizeof *cb);
    cb->w = width;
    cb->h = height;
    if (width % 32 != 0)
        n3d_crash("src/n3d", 1432, "coverage buffer only supports width evenly divisable by 32 (was %d)\n", width);
    uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) / 8u;
    cb->u32 = memarena_push_array_align<uint32_t>(arena, bytes / 4u, MEMARENA_PLANE_ALIGN);
    if (bytes)
        memset(cb->u32, 0, bytes);
}

void n3d_depthbuffer_init(n3d_depthbuffer* db, int width, int height, memarena* arena)
{
    memset(db, 0, sizeof *db);
    // Refused where it is made, not at the first depth-tested triangle.
    if (width > N3D_DEPTHBUFFER_MAX_WIDTH)
        n3d_crash("src/n3d", __LINE__,
                  "depth buffer %d wide: the depth rasterizers serve widths that are multiples of 16 up to 512\n",
                  width);
    db->w = width;
    db->h = height;
    db->u16 = memarena_push_array_align<uint16_t>(arena, static_cast<uint64_t>(width) * static_cast<uint64_t>(height),
                                                  MEMARENA_PLANE_ALIGN);
    n3d_coveragebuffer_init(&db->cb_cache_zeroed, n3d_coveragebuffer_width_at_least(width >> 4), height, arena);
}

int n3d_framebuffer_validate(const n3d_framebuffer* fb)
{
    if (fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 &&
        fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        return 1;
    // 2048 itself is accepted although the message says "below".
    if (fb->w > N3D_MAX_FRAME_DIM) {
        printf("frame w must be < N3D_MAX_FRAME_DIM, frame w is %d max is %d\n", fb->w, N3D_MAX_FRAME_DIM);
        return 1;
    }
    return 0;
}

// count 16-bit pixels of value from p: 8-byte stores of a uint64_t pattern, then the rest.
static void n3d_row_fill_u16(uint8_t* p, int count, uint16_t value)
{
    const uint64_t pattern = value * 0x0001000100010001ull;
    int x = 0;
    for (; x + 4 <= count; x += 4)
        memcpy(p + 2 * x, &pattern, 8);
    for (; x < count; x++)
        memcpy(p + 2 * x, &value, 2);
}

void n3d_framebuffer_clear(n3d_framebuffer* fb)
{
    CYCLES_BLOCK_BEGIN(BLOCK_CLEAR_FRAMEBUFFER);
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    switch (fb->format) {
    case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555:
        if (fb->w > 0)
            for (int y = 0; y < fb->h; y++, row += fb->row_bytes)
                n3d_row_fill_u16(row, fb->w, N3D_BACKGROUND_ARGB1555);
        break;
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555:
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
        if (fb->w > 0)
            for (int y = 0; y < fb->h; y++, row += fb->row_bytes)
                memset(row, 0, static_cast<size_t>(fb->w));
        break;
    default:
        n3d_crash("src/n3d", 1649, "not implemented\n");
    }
    CYCLES_BLOCK_END(BLOCK_CLEAR_FRAMEBUFFER);
}

static int n3d_min(int a, int b) { return a < b ? a : b; }

static int n3d_cb_bit(const n3d_coveragebuffer* cb, int x, int y)
{
    uint32_t i = static_cast<uint32_t>(y) * static_cast<uint32_t>(cb->w) + static_cast<uint32_t>(x);
    return (cb->u32[i >> 5] >> (31u - (i & 31u))) & 1u;
}

// The masked clears walk each row 32 columns at a time: empty groups passed
// over, full ones gathered into block fills, mixed ones one selected store of
// the background (Bpp bytes a pixel).
template <bool Wide, int Bpp>
struct n3d_clear_row {
    uint8_t* dst;
    maskstore_pending pixels;
    void full(int pos, int n)
    {
        // 16-bit runs are filled at once: a 16-bit plane's rows either lie end
        // to end (and are walked as one) or are padded (and never join).
        if constexpr (Bpp == 1)
            pixels.add(dst + pos, nullptr, static_cast<size_t>(n));
        else if constexpr (Wide)
            maskstore_fill_u16_wide(dst + 2 * pos, static_cast<size_t>(n), N3D_BACKGROUND_ARGB1555);
        else
            maskstore_fill_u16(dst + 2 * pos, static_cast<size_t>(n), N3D_BACKGROUND_ARGB1555);
    }
    void mixed(int pos, uint32_t bits)
    {
        if constexpr (Wide && Bpp == 1)
            maskstore_fill8_wide(dst + pos, bits, 0);
        else if constexpr (Wide)
            maskstore_fill16_wide(dst + 2 * pos, bits, N3D_BACKGROUND_ARGB1555);
        else if constexpr (Bpp == 1)
            maskstore_fill8_sse2(dst + pos, bits, maskstore_splat8(0));
        else
            maskstore_fill16_sse2(dst + 2 * pos, bits, maskstore_splat16(N3D_BACKGROUND_ARGB1555));
    }
    void tail(int pos, uint32_t bits)
    {
        maskstore_group_runs(bits, [&](int s, int n) {
            if constexpr (Bpp == 2)
                n3d_row_fill_u16(dst + 2 * (pos + s), n, N3D_BACKGROUND_ARGB1555);
            else
                memset(dst + pos + s, 0, static_cast<size_t>(n));
        });
    }
};

// Background where the selection is set over w columns of h rows; with dirty
// the selection is dirty AND NOT cb, without it NOT cb.
template <bool Wide, int Bpp>
static inline void n3d_clear_where_rows(uint8_t* row, int row_bytes, const uint32_t* c, const uint32_t* d, int words,
                                        int w, int h)
{
    n3d_clear_row<Wide, Bpp> op{nullptr, {}};
    for (int y = 0; y < h; y++, row += row_bytes, c += words) {
        op.dst = row;
        if (d) {
            maskstore_row_groups(
                0, words, w, [c, d](int i) { return d[i] & ~c[i]; },
                [c, d](int i) {
                    return maskstore_block_andnot(maskstore_block_load(c + i), maskstore_block_load(d + i));
                },
                op);
            d += words;
        } else {
            maskstore_row_groups(
                0, words, w, [c](int i) { return ~c[i]; },
                [c](int i) { return maskstore_block_not(maskstore_block_load(c + i)); }, op);
        }
    }
    op.pixels.flush();
}

MASKSTORE_WIDE static void n3d_clear_where_wide8(uint8_t* row, int row_bytes, const uint32_t* c, const uint32_t* d,
                                                 int words, int w, int h)
{
    n3d_clear_where_rows<true, 1>(row, row_bytes, c, d, words, w, h);
}

MASKSTORE_WIDE static void n3d_clear_where_wide16(uint8_t* row, int row_bytes, const uint32_t* c, const uint32_t* d,
                                                  int words, int w, int h)
{
    n3d_clear_where_rows<true, 2>(row, row_bytes, c, d, words, w, h);
}

static void n3d_clear_where(int bpp, uint8_t* row, int row_bytes, const uint32_t* c, const uint32_t* d, int words,
                            int w, int h)
{
    if (w <= 0 || h <= 0)
        return;
    // Rows that lie end to end in the plane and the buffers are one long row.
    if (h > 1 && w == 32 * words && row_bytes == bpp * w && static_cast<long long>(w) * h <= 0x7FFFFFFF) {
        w *= h;
        words *= h;
        h = 1;
    }
    const bool wide = maskstore_wide();
    if (bpp == 2) {
        if (wide)
            n3d_clear_where_wide16(row, row_bytes, c, d, words, w, h);
        else
            n3d_clear_where_rows<false, 2>(row, row_bytes, c, d, words, w, h);
    } else {
        if (wide)
            n3d_clear_where_wide8(row, row_bytes, c, d, words, w, h);
        else
            n3d_clear_where_rows<false, 1>(row, row_bytes, c, d, words, w, h);
    }
}

void n3d_framebuffer_clear_noncoverage(n3d_framebuffer* fb, const n3d_coveragebuffer* cb)
{
    CYCLES_BLOCK_BEGIN(BLOCK_CLEAR_FRAMEBUFFER);
    int bpp = 0;
    if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        bpp = 2;
    else if (fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555)
        bpp = 1;
    else
        n3d_crash("src/n3d", 1484, "not implemented\n");
    // Only the part of the plane the coverage buffer describes is walked.
    int w = n3d_min(fb->w, cb->w), h = n3d_min(fb->h, cb->h);
    n3d_clear_where(bpp, static_cast<uint8_t*>(fb->b), fb->row_bytes, cb->u32, nullptr, cb->w / 32, w, h);
    CYCLES_BLOCK_END(BLOCK_CLEAR_FRAMEBUFFER);
}

void n3d_framebuffer_clear_dirty(n3d_framebuffer* fb, const n3d_coveragebuffer* cb, const n3d_coveragebuffer* cb_dirty)
{
    CYCLES_BLOCK_BEGIN(BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY);
    int bpp = 0;
    if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        bpp = 2;
    else if (fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 ||
             fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        bpp = 1;
    else
        n3d_crash("src/n3d", 1586, "not implemented for format %d\n", fb->format);
    // The page contexts pair a 320x240 plane with 320x200 coverage: only the
    // part that both buffers describe is walked.
    int w = n3d_min(fb->w, n3d_min(cb->w, cb_dirty->w));
    int h = n3d_min(fb->h, n3d_min(cb->h, cb_dirty->h));
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    if (cb->w == cb_dirty->w) {
        n3d_clear_where(bpp, row, fb->row_bytes, cb->u32, cb_dirty->u32, cb->w / 32, w, h);
    } else {
        // Buffers of different widths index their bits differently: per pixel.
        for (int y = 0; y < h; y++, row += fb->row_bytes)
            for (int x = 0; x < w; x++)
                if (!n3d_cb_bit(cb, x, y) && n3d_cb_bit(cb_dirty, x, y)) {
                    if (bpp == 2)
                        memcpy(row + 2 * x, &N3D_BACKGROUND_ARGB1555, 2);
                    else
                        row[x] = 0;
                }
    }
    CYCLES_BLOCK_END(BLOCK_CLEAR_FRAMEBUFFER_ONLY_DIRTY);
}

void n3d_coveragebuffer_clear(n3d_coveragebuffer* cb)
{
    CYCLES_BLOCK_BEGIN(BLOCK_CLEAR_COVERAGE);
    size_t words = static_cast<size_t>(cb->w) * static_cast<size_t>(cb->h) / 32u;
    uint8_t* p = reinterpret_cast<uint8_t*>(cb->u32);
    const uint64_t zero = 0;
    size_t i = 0;
    for (; i + 2 <= words; i += 2)
        memcpy(p + 4 * i, &zero, 8);
    if (i < words)
        memcpy(p + 4 * i, &zero, 4);
    CYCLES_BLOCK_END(BLOCK_CLEAR_COVERAGE);
}

void n3d_depthbuffer_clear(n3d_depthbuffer* db) { n3d_coveragebuffer_clear(&db->cb_cache_zeroed); }

uint16_t n3d_depthbuffer_value(const n3d_depthbuffer* db, int x, int y)
{
    return n3d_cb_bit(&db->cb_cache_zeroed, x >> 4, y) ? db->u16[static_cast<size_t>(y) * db->w + x] : 0;
}

void n3d_framebuffer_argb1555_copy_where_depth(n3d_framebuffer* dst, const n3d_framebuffer* src,
                                               const n3d_depthbuffer* db)
{
    const int w = src->w < db->w ? src->w : db->w;
    const int h = src->h < db->h ? src->h : db->h;
    for (int y = 0; y < h; y++) {
        const uint8_t* s = static_cast<const uint8_t*>(src->b) + static_cast<size_t>(y) * src->row_bytes;
        uint8_t* d = static_cast<uint8_t*>(dst->b) + static_cast<size_t>(y) * dst->row_bytes;
        const uint16_t* z = db->u16 + static_cast<size_t>(y) * db->w;
        // A line of 16 values whose validity bit is clear reads 0 throughout.
        for (int x0 = 0; x0 < w; x0 += 16) {
            if (!n3d_cb_bit(&db->cb_cache_zeroed, x0 >> 4, y))
                continue;
            const int x1 = x0 + 16 < w ? x0 + 16 : w;
            int x = x0;
#if defined(__x86_64__) || defined(__i386__)
            // Eight at a time: the destination kept where the depth is 0.
            for (; x + 8 <= x1; x += 8) {
                const __m128i keep =
                    _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(z + x)), _mm_setzero_si128());
                const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * x));
                const __m128i to = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 2 * x));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x),
                                 _mm_or_si128(_mm_and_si128(keep, to), _mm_andnot_si128(keep, from)));
            }
#endif
            for (; x < x1; x++)
                if (z[x] != 0)
                    memcpy(d + 2 * x, s + 2 * x, 2);
        }
    }
}

void n3d_framecontext_init(n3d_frame_context* fc, memarena* arena, int w, int h, int fb_format, int flags)
{
    memset(fc, 0, sizeof *fc);
    if (flags & N3D_FRAMECONTEXT_DEPTHBUFFER) {
        fc->db = memarena_push_array<n3d_depthbuffer>(arena, 1);
        n3d_depthbuffer_init(fc->db, w, h, arena);
        n3d_depthbuffer_clear(fc->db);
    }
    if (flags & N3D_FRAMECONTEXT_COVERAGEBUFFER) {
        fc->cb = memarena_push_array<n3d_coveragebuffer>(arena, 1);
        fc->cb_dirty = memarena_push_array<n3d_coveragebuffer>(arena, 1);
        n3d_coveragebuffer_init(fc->cb, w, h, arena);
        n3d_coveragebuffer_init(fc->cb_dirty, w, h, arena);
        n3d_coveragebuffer_clear(fc->cb);
        n3d_coveragebuffer_clear(fc->cb_dirty);
    }
    // Zeroed so that a record left for the caller holds no stale pointer.
    fc->fb = memarena_push_array_zeroed<n3d_framebuffer>(arena, 1);
    switch (fb_format) {
    case N3D_TEXEL_FORMAT_NONE:
        break;
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
        n3d_framebuffer_init_index8(fc->fb, w, h, arena);
        n3d_framebuffer_clear(fc->fb);
        break;
    case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555:
        n3d_framebuffer_init_argb1555(fc->fb, w, h, arena);
        n3d_framebuffer_clear(fc->fb);
        break;
    default:
        n3d_crash("src/n3d", 1712, "init framecontext with bad format %d? or not yet implemented?", fb_format);
    }
}

void n3d_framecontext_swap_cb(n3d_frame_context* fc)
{
    n3d_coveragebuffer* t = fc->cb;
    fc->cb = fc->cb_dirty;
    fc->cb_dirty = t;
}

void n3d_framecontext_begin(n3d_frame_context* fc, int flag)
{
    if (!fc->cb || !fc->cb_dirty)
        n3d_crash("src/n3d", __LINE__,
                  "frame context has no coverage buffers (made without N3D_FRAMECONTEXT_COVERAGEBUFFER)\n");
    n3d_framecontext_swap_cb(fc);
    if (!(flag & N3D_FRAMECONTEXT_BEGIN_NO_CLEAR))
        n3d_coveragebuffer_clear(fc->cb);
    fc->begin_flag = flag;
}

void n3d_framecontext_end(n3d_frame_context* fc)
{
    if (!fc->cb || !fc->cb_dirty)
        n3d_crash("src/n3d", __LINE__,
                  "frame context has no coverage buffers (made without N3D_FRAMECONTEXT_COVERAGEBUFFER)\n");
    if (!(fc->begin_flag & N3D_FRAMECONTEXT_BEGIN_NO_CLEAR))
        n3d_framebuffer_clear_dirty(fc->fb, fc->cb, fc->cb_dirty);
}

// Channel fractions of a pixel: ARGB1555 channels / 31, 8-bit index / 255 for all three.
static void n3d_pixel_fractions(const n3d_framebuffer* fb, const uint8_t* row, int x, float* r, float* g, float* b)
{
    if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
        uint16_t p;
        memcpy(&p, row + 2 * x, 2);
        *r = static_cast<float>((p >> 10) & 31) / 31.0f;
        *g = static_cast<float>((p >> 5) & 31) / 31.0f;
        *b = static_cast<float>(p & 31) / 31.0f;
    } else {
        *r = *g = *b = static_cast<float>(row[x]) / 255.0f;
    }
}

static int n3d_dim5(float f) { return static_cast<int>(31.0f * f * 0.8f); }

static void n3d_pixel_put(const n3d_framebuffer* fb, uint8_t* row, int x, uint16_t argb1555, uint8_t index8)
{
    if (fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        memcpy(row + 2 * x, &argb1555, 2);
    else
        row[x] = index8;
}

void n3d_coveragebuffer_display(const n3d_coveragebuffer* cb, n3d_framebuffer* fb)
{
    int w = n3d_min(cb->w, fb->w), h = n3d_min(cb->h, fb->h);
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    for (int y = 0; y < h; y++, row += fb->row_bytes)
        for (int x = 0; x < w; x++) {
            float r, g, b;
            n3d_pixel_fractions(fb, row, x, &r, &g, &b);
            if (n3d_cb_bit(cb, x, y))
                n3d_pixel_put(fb, row, x, static_cast<uint16_t>(0xFC00 | n3d_dim5(g) << 5 | n3d_dim5(b)), 255);
            else
                n3d_pixel_put(fb, row, x, 0x801F, 0);
        }
}

void n3d_framebuffer_dbg_show_dirty(n3d_framebuffer* fb, const n3d_coveragebuffer* cb,
                                    const n3d_coveragebuffer* cb_dirty)
{
    // Every pixel of cb inside the plane; outside its own size cb_dirty reads as clear.
    int w = n3d_min(fb->w, cb->w), h = n3d_min(fb->h, cb->h);
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    for (int y = 0; y < h; y++, row += fb->row_bytes)
        for (int x = 0; x < w; x++) {
            float r, g, b;
            n3d_pixel_fractions(fb, row, x, &r, &g, &b);
            if (n3d_cb_bit(cb, x, y))
                n3d_pixel_put(fb, row, x, static_cast<uint16_t>(0xFC00 | n3d_dim5(g) << 5 | n3d_dim5(b)), 255);
            else if (x < cb_dirty->w && y < cb_dirty->h && n3d_cb_bit(cb_dirty, x, y))
                n3d_pixel_put(fb, row, x, static_cast<uint16_t>(0x8000 | n3d_dim5(r) << 10 | n3d_dim5(g) << 5 | 31),
                              static_cast<uint8_t>(static_cast<int>(255.0f * r * 0.8f)));
        }
}
