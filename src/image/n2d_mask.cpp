// Coverage-masked fills and copies: each front checks its buffers, places and
// clips the mask and fills its argument record; each body walks the visible mask
// rows 32 columns at a time and touches memory only for groups with selected pixels.
#include <climits>
#include <cstddef>
#include <cstring>

#include "core/crash.h"
#include "core/maskstore.h"
#include "core/ppc.h"
#include "image/n2d.h"
#include "image/texel.h"

static int n2d_bytes_per_texel(int format)
{
    switch (format) {
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555:
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
        return 1;
    case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555:
        return 2;
    case N3D_TEXEL_FORMAT_BUMPMAP:
        return 4;
    default:
        mycrash("src/n2d", __LINE__, "", "bad N3D_TEXEL_FORMAT %d?\n", format);
    }
}

// The bodies read the selection 32 columns at a time: an empty group is
// skipped, consecutive full groups are written as one block, a mixed group is
// written by one selected store of 32 pixels (SSE2 byte selects, or AVX-512
// masked stores in the wide bodies), and the last group of a row, cut by the
// visible width, run by run. The pixels written are those of the runs of set
// bits; which store widths write them does not change them.

// The coverage bits of a full run: its whole words gathered like the pixels,
// the partial words at its ends set at once.
static inline void n2d_cov_full(maskstore_pending* words, uint32_t* row, int s, int e)
{
    const int w0 = (s + 31) >> 5, w1 = e >> 5;  // whole words [w0, w1)
    if (w0 >= w1) {
        n2d_cb_row_set_bits(row, s, e);
        return;
    }
    if (s < 32 * w0)
        n2d_cb_row_set_bits(row, s, 32 * w0);
    words->add(reinterpret_cast<uint8_t*>(row + w0), nullptr, 4u * static_cast<size_t>(w1 - w0));
    if (32 * w1 < e)
        n2d_cb_row_set_bits(row, 32 * w1, e);
}

// Row operations of the four bodies. Wide picks the AVX-512 stores for mixed
// groups; such an operation is only used inside a MASKSTORE_WIDE body.
template <bool Wide>
struct n2d_fill_row {
    uint8_t* dst;
    uint32_t* cov;
    int cov_x0;  // destination column of pos 0
    uint8_t color8;
    maskstore_block color;
    maskstore_pending pixels, cov_words;
    void full(int pos, int n)
    {
        pixels.add(dst + pos, nullptr, static_cast<size_t>(n));
        n2d_cov_full(&cov_words, cov, cov_x0 + pos, cov_x0 + pos + n);
    }
    void finish()
    {
        pixels.flush();
        cov_words.flush();
    }
    void mixed(int pos, uint32_t bits)
    {
        if constexpr (Wide)
            maskstore_fill8_wide(dst + pos, bits, color8);
        else
            maskstore_fill8_sse2(dst + pos, bits, color);
        maskstore_cov_or(cov, cov_x0 + pos, bits);
    }
    void tail(int pos, uint32_t bits)
    {
        maskstore_group_runs(bits, [&](int s, int n) { memset(dst + pos + s, color8, static_cast<size_t>(n)); });
        maskstore_cov_or(cov, cov_x0 + pos, bits);
    }
};

// Bytes per pixel Bpp (1 or 2), coverage marked when cov is set.
template <bool Wide, int Bpp>
struct n2d_copy_row {
    uint8_t* dst;
    const uint8_t* src;
    uint32_t* cov;  // null: no destination coverage
    int cov_x0;
    maskstore_pending pixels, cov_words;
    void full(int pos, int n)
    {
        pixels.add(dst + Bpp * pos, src + Bpp * pos, static_cast<size_t>(Bpp * n));
        if (cov)
            n2d_cov_full(&cov_words, cov, cov_x0 + pos, cov_x0 + pos + n);
    }
    void finish()
    {
        pixels.flush();
        cov_words.flush();
    }
    void mixed(int pos, uint32_t bits)
    {
        if constexpr (Wide && Bpp == 1)
            maskstore_copy8_wide(dst + pos, src + pos, bits);
        else if constexpr (Wide)
            maskstore_copy16_wide(dst + 2 * pos, src + 2 * pos, bits);
        else if constexpr (Bpp == 1)
            maskstore_copy8_sse2(dst + pos, src + pos, bits);
        else
            maskstore_copy16_sse2(dst + 2 * pos, src + 2 * pos, bits);
        if (cov)
            maskstore_cov_or(cov, cov_x0 + pos, bits);
    }
    void tail(int pos, uint32_t bits)
    {
        maskstore_group_runs(bits, [&](int s, int n) {
            memcpy(dst + Bpp * (pos + s), src + Bpp * (pos + s), static_cast<size_t>(Bpp * n));
        });
        if (cov)
            maskstore_cov_or(cov, cov_x0 + pos, bits);
    }
};

template <bool Wide>
static inline void n2d_fill_if_cb0_rows(n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int mask_x0, int words_per_line,
                                        int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    n2d_fill_row<Wide> op{nullptr, nullptr, dst_x0, arg->color8, maskstore_splat8(arg->color8), {}, {}};
    op.pixels.fill = arg->color8;
    op.cov_words.fill = 0xFF;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* mask = arg->cb0_row;
        op.dst = arg->dst_row;
        op.cov = arg->dst_cb0_row;
        maskstore_row_groups(
            mask_x0, words_per_line, width, [mask](int i) { return mask[i]; },
            [mask](int i) { return maskstore_block_load(mask + i); }, op);
        arg->dst_row += arg->dst_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->dst_cb0_row += arg->dst_cb0_row_delta;
    }
    op.finish();
}

template <bool Wide>
static inline void n2d_copy_if_cb0_rows(n2d_fb_i8_and_cb_mask_copy_if_cb0_arg* arg, int mask_x0, int words_per_line,
                                        int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    n2d_copy_row<Wide, 1> op{nullptr, nullptr, nullptr, dst_x0, {}, {}};
    op.cov_words.fill = 0xFF;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* mask = arg->cb0_row;
        op.dst = arg->dst_row;
        op.src = arg->src_row;
        op.cov = arg->dst_cb0_row;
        maskstore_row_groups(
            mask_x0, words_per_line, width, [mask](int i) { return mask[i]; },
            [mask](int i) { return maskstore_block_load(mask + i); }, op);
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->dst_cb0_row += arg->dst_cb0_row_delta;
    }
    op.finish();
}

template <bool Wide>
static inline void n2d_copy_if_not_cb0_and_cb1_rows(n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg* arg, int mask_x0,
                                                    int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    n2d_copy_row<Wide, 1> op{nullptr, nullptr, nullptr, 0, {}, {}};
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        arg->cb1_line = arg->cb1_row;
        const uint32_t* m0 = arg->cb0_row;
        const uint32_t* m1 = arg->cb1_row;
        op.dst = arg->dst_row;
        op.src = arg->src_row;
        maskstore_row_groups(
            mask_x0, words_per_line, width, [m0, m1](int i) { return m1[i] & ~m0[i]; },
            [m0, m1](int i) {
                return maskstore_block_andnot(maskstore_block_load(m0 + i), maskstore_block_load(m1 + i));
            },
            op);
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->cb1_row += arg->cb1_row_delta;
    }
    op.finish();
}

template <bool Wide>
static inline void n2d_argb1555_copy_if_not_cb0_rows(n2d_fb_argb1555_mask_copy_if_not_cb0_arg* arg, int mask_x0,
                                                     int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    n2d_copy_row<Wide, 2> op{nullptr, nullptr, nullptr, 0, {}, {}};
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* m0 = arg->cb0_row;
        op.dst = arg->dst_row;
        op.src = arg->src_row;
        maskstore_row_groups(
            mask_x0, words_per_line, width, [m0](int i) { return ~m0[i]; },
            [m0](int i) { return maskstore_block_not(maskstore_block_load(m0 + i)); }, op);
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
    }
    op.finish();
}

MASKSTORE_WIDE static void n2d_fill_if_cb0_wide(n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int mask_x0,
                                                int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    n2d_fill_if_cb0_rows<true>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

MASKSTORE_WIDE static void n2d_copy_if_cb0_wide(n2d_fb_i8_and_cb_mask_copy_if_cb0_arg* arg, int mask_x0,
                                                int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    n2d_copy_if_cb0_rows<true>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

MASKSTORE_WIDE static void n2d_copy_if_not_cb0_and_cb1_wide(n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg* arg,
                                                            int mask_x0, int words_per_line, int dst_x0, int dst_y0,
                                                            int dst_y1, int dst_x1)
{
    n2d_copy_if_not_cb0_and_cb1_rows<true>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

MASKSTORE_WIDE static void n2d_argb1555_copy_if_not_cb0_wide(n2d_fb_argb1555_mask_copy_if_not_cb0_arg* arg, int mask_x0,
                                                             int words_per_line, int dst_x0, int dst_y0, int dst_y1,
                                                             int dst_x1)
{
    n2d_argb1555_copy_if_not_cb0_rows<true>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

void n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    if (maskstore_wide())
        n2d_fill_if_cb0_wide(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
    else
        n2d_fill_if_cb0_rows<false>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

void n2d_fb_i8_and_cb_mask_copy_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_copy_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    if (maskstore_wide())
        n2d_copy_if_cb0_wide(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
    else
        n2d_copy_if_cb0_rows<false>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

void n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_wrapped(n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg* arg, int mask_x0,
                                                    int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    if (maskstore_wide())
        n2d_copy_if_not_cb0_and_cb1_wide(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
    else
        n2d_copy_if_not_cb0_and_cb1_rows<false>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

void n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(n2d_fb_argb1555_mask_copy_if_not_cb0_arg* arg, int mask_x0,
                                                  int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    if (maskstore_wide())
        n2d_argb1555_copy_if_not_cb0_wide(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
    else
        n2d_argb1555_copy_if_not_cb0_rows<false>(arg, mask_x0, words_per_line, dst_x0, dst_y0, dst_y1, dst_x1);
}

// ---- Fronts ------------------------------------------------------------------

// The row window [work_start_y, work_start_y + work_height) with its start
// clamped at 0 (a negative start would address rows above the buffers).
static void n2d_row_window(int work_start_y, int work_height, int h, int* y0, int* y1)
{
    long long end = static_cast<long long>(work_start_y) + work_height;
    *y0 = work_start_y < 0 ? 0 : work_start_y;
    *y1 = end < h ? static_cast<int>(end) : h;
}

// Rows of a mask are w / 32 whole words; any other width would be read across rows.
static void n2d_require_whole_words(const char* name, const n3d_coveragebuffer* cb)
{
    if (cb->w % 32 != 0)
        crash_fail(1, "%s width must be a multiple of 32 (was %d)\n", name, cb->w);
}

static void n2d_require_8bit(const char* name, const n3d_framebuffer* fb)
{
    if (n2d_bytes_per_texel(fb->format) != 1)
        crash_fail(1, "%s format must be 8-bit (N3D_TEXEL_FORMAT 1 or 3, was %d)\n", name, fb->format);
}

static void n2d_require_dst_cb_covers(const n3d_coveragebuffer* dst_cb, const n3d_framebuffer* dst_fb)
{
    if (dst_cb->w < dst_fb->w || dst_cb->h < dst_fb->h)
        crash_fail(1, "dst_cb must be at least as large as dst_fb (%d %d vs %d %d)\n", dst_cb->w, dst_cb->h, dst_fb->w,
                   dst_fb->h);
}

// Places cb0 at (dst_x0, dst_y0) and clips it to the plane and the row window.
// Returns 0 when nothing is visible.
static int n2d_place_mask(const n3d_framebuffer* dst_fb, const n3d_coveragebuffer* cb0, int dst_x0, int dst_y0,
                          int work_start_y, int work_height, int* dx, int* dy, int* w, int* h)
{
    int wy0, wy1;
    n2d_row_window(work_start_y, work_height, dst_fb->h, &wy0, &wy1);
    // The far corner in 64 bits: a placement near the end of the int range must
    // not wrap around into a visible one.
    const long long x1 = static_cast<long long>(dst_x0) + cb0->w, y1 = static_cast<long long>(dst_y0) + cb0->h;
    const int x1_clamped = x1 > INT_MAX ? INT_MAX : static_cast<int>(x1);
    const int y1_clamped = y1 > INT_MAX ? INT_MAX : static_cast<int>(y1);
    n2d_boxrect(dx, dy, w, h, dst_x0, dst_y0, x1_clamped, y1_clamped, 0, wy0, dst_fb->w, wy1);
    return *w > 0 && *h > 0;
}

// Rows that lie end to end in every buffer (the visible part starts at column
// 0 of the plane and of the mask and spans them whole, the plane rows
// (dst_pixels, src_pixels, in pixels) and the mask and coverage rows are
// exactly that wide) are walked as one row of w x h columns: the same pixels
// and bits, without a row start per row.
static bool n2d_rows_end_to_end(int x0, int dx, int w, int h, int mask_w, int dst_pixels, int src_pixels, int cov_w)
{
    return x0 == 0 && dx == 0 && h > 1 && w == mask_w && w == dst_pixels && w == src_pixels && w == cov_w &&
           static_cast<long long>(w) * h <= INT_MAX;
}

// Points a record at the first visible pixel of its operation: destination and
// source (where the record has one) at byte x0 of row y0 (x0 is 0 on 16-bit
// planes), the mask at its row mask_y and the destination coverage (where the
// record has one) at row y0. Every *_line starts at its row.
template <typename Arg>
static void n2d_mask_arg_start(Arg* arg, n3d_framebuffer* dst_fb, const n3d_framebuffer* src_fb,
                               n3d_coveragebuffer* dst_cb, const n3d_coveragebuffer* cb0, int x0, int y0, int mask_y)
{
    arg->dst_row = static_cast<uint8_t*>(dst_fb->b) + static_cast<ptrdiff_t>(dst_fb->row_bytes) * y0 + x0;
    arg->dst_rowbytes = dst_fb->row_bytes;
    arg->dst_line = arg->dst_row;
    arg->cb0_row_delta = cb0->w / 32;
    arg->cb0_row = cb0->u32 + static_cast<ptrdiff_t>(arg->cb0_row_delta) * mask_y;
    arg->cb0_line = arg->cb0_row;
    if constexpr (requires { arg->src_row; }) {
        arg->src_row = static_cast<const uint8_t*>(src_fb->b) + static_cast<ptrdiff_t>(src_fb->row_bytes) * y0 + x0;
        arg->src_rowbytes = src_fb->row_bytes;
        arg->src_line = arg->src_row;
    }
    if constexpr (requires { arg->dst_cb0_row; }) {
        arg->dst_cb0_row_delta = dst_cb->w / 32;
        arg->dst_cb0_row = dst_cb->u32 + static_cast<ptrdiff_t>(arg->dst_cb0_row_delta) * y0;
    }
}

void n2d_fb_i8_and_cb_mask_fill_if_cb0(n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0,
                                       uint8_t color8, const n3d_coveragebuffer* cb0, int work_start_y, int work_height)
{
    n2d_require_8bit("dst_fb", dst_fb);
    n2d_require_dst_cb_covers(dst_cb, dst_fb);
    n2d_require_whole_words("cb0", cb0);
    n2d_require_whole_words("dst_cb", dst_cb);
    int dx, dy, w, h;
    if (!n2d_place_mask(dst_fb, cb0, dst_x0, dst_y0, work_start_y, work_height, &dx, &dy, &w, &h))
        return;
    const int x0 = dst_x0 + dx, y0 = dst_y0 + dy;
    n2d_fb_i8_and_cb_mask_fill_if_cb0_arg arg;
    n2d_mask_arg_start(&arg, dst_fb, nullptr, dst_cb, cb0, x0, y0, dy);
    arg.color8 = color8;
    arg.color16 = static_cast<uint16_t>(color8 * 257u);
    arg.color32 = arg.color16 * 65537u;
    arg.color64 = n2d_pack_u32_into_d64(arg.color32, arg.color32);
    if (n2d_rows_end_to_end(x0, dx, w, h, cb0->w, dst_fb->row_bytes, dst_fb->row_bytes, dst_cb->w))
        n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(&arg, 0, arg.cb0_row_delta * h, 0, y0, y0 + 1, w * h);
    else
        n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(&arg, dx, arg.cb0_row_delta, x0, y0, y0 + h, x0 + w);
}

void n2d_fb_i8_and_cb_mask_copy_if_cb0(n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0,
                                       const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0, int work_start_y,
                                       int work_height)
{
    n2d_require_8bit("dst_fb", dst_fb);
    n2d_require_8bit("src_fb", src_fb);
    n2d_require_dst_cb_covers(dst_cb, dst_fb);
    n2d_require_whole_words("cb0", cb0);
    n2d_require_whole_words("dst_cb", dst_cb);
    if (src_fb->w < dst_fb->w || src_fb->h < dst_fb->h)
        crash_fail(1, "src_fb must be at least as large as dst_fb (%d %d vs %d %d)\n", src_fb->w, src_fb->h, dst_fb->w,
                   dst_fb->h);
    int dx, dy, w, h;
    if (!n2d_place_mask(dst_fb, cb0, dst_x0, dst_y0, work_start_y, work_height, &dx, &dy, &w, &h))
        return;
    const int x0 = dst_x0 + dx, y0 = dst_y0 + dy;
    n2d_fb_i8_and_cb_mask_copy_if_cb0_arg arg;
    n2d_mask_arg_start(&arg, dst_fb, src_fb, dst_cb, cb0, x0, y0, dy);
    if (n2d_rows_end_to_end(x0, dx, w, h, cb0->w, dst_fb->row_bytes, src_fb->row_bytes, dst_cb->w))
        n2d_fb_i8_and_cb_mask_copy_if_cb0_wrapped(&arg, 0, arg.cb0_row_delta * h, 0, y0, y0 + 1, w * h);
    else
        n2d_fb_i8_and_cb_mask_copy_if_cb0_wrapped(&arg, dx, arg.cb0_row_delta, x0, y0, y0 + h, x0 + w);
}

static void n2d_require_same_size(const char* what, const n3d_coveragebuffer* cb0, int w, int h)
{
    if (cb0->w != w || cb0->h != h)
        crash_fail(1, "%s must have same width and height (%d %d vs %d %d)\n", what, cb0->w, cb0->h, w, h);
}

static void n2d_require_dst_holds_cb0(const n3d_framebuffer* dst_fb, const n3d_coveragebuffer* cb0)
{
    if (dst_fb->w < cb0->w || dst_fb->h < cb0->h)
        crash_fail(1, "dst_fb must be at least as large as cb0 (%d %d vs %d %d)\n", dst_fb->w, dst_fb->h, cb0->w,
                   cb0->h);
}

void n2d_fb_i8_mask_copy_if_not_cb0_and_cb1(n3d_framebuffer* dst_fb, int dst_x0, int dst_y0,
                                            const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0,
                                            const n3d_coveragebuffer* cb1, int work_start_y, int work_height)
{
    if (dst_x0 != 0 || dst_y0 != 0)
        crash_fail(1, "not impl..\n");
    n2d_require_same_size("cb0 and cb1", cb0, cb1->w, cb1->h);
    n2d_require_same_size("cb0 and src_fb", cb0, src_fb->w, src_fb->h);
    if (dst_fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "dst_fb format must be N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 (was %d)\n", dst_fb->format);
    if (src_fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "src_fb format must be N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 (was %d)\n", src_fb->format);
    n2d_require_dst_holds_cb0(dst_fb, cb0);
    n2d_require_whole_words("cb0", cb0);
    int y0, y1;
    n2d_row_window(work_start_y, work_height, cb0->h, &y0, &y1);
    if (y0 >= y1 || cb0->w <= 0)
        return;
    n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg arg;
    n2d_mask_arg_start(&arg, dst_fb, src_fb, nullptr, cb0, 0, y0, y0);
    arg.cb1_row_delta = cb1->w / 32;
    arg.cb1_row = cb1->u32 + static_cast<ptrdiff_t>(arg.cb1_row_delta) * y0;
    arg.cb1_line = arg.cb1_row;
    if (n2d_rows_end_to_end(0, 0, cb0->w, y1 - y0, cb0->w, dst_fb->row_bytes, src_fb->row_bytes, cb0->w))
        n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_wrapped(&arg, 0, arg.cb0_row_delta * (y1 - y0), 0, y0, y0 + 1,
                                                       cb0->w * (y1 - y0));
    else
        n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_wrapped(&arg, 0, arg.cb0_row_delta, 0, y0, y1, cb0->w);
}

void n2d_fb_argb1555_mask_copy_if_not_cb0(n3d_framebuffer* dst_fb, int dst_x0, int dst_y0,
                                          const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0,
                                          int work_start_y, int work_height)
{
    if (dst_x0 != 0 || dst_y0 != 0)
        crash_fail(1, "not impl..\n");
    n2d_require_same_size("cb0 and src_fb", cb0, src_fb->w, src_fb->h);
    if (dst_fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        crash_fail(1, "dst_fb format must be N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 (was %d)\n", dst_fb->format);
    if (src_fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        crash_fail(1, "src_fb format must be N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555 (was %d)\n", src_fb->format);
    n2d_require_dst_holds_cb0(dst_fb, cb0);
    n2d_require_whole_words("cb0", cb0);
    int y0, y1;
    n2d_row_window(work_start_y, work_height, cb0->h, &y0, &y1);
    if (y0 >= y1 || cb0->w <= 0)
        return;
    n2d_fb_argb1555_mask_copy_if_not_cb0_arg arg;
    n2d_mask_arg_start(&arg, dst_fb, src_fb, nullptr, cb0, 0, y0, y0);
    if (n2d_rows_end_to_end(0, 0, cb0->w, y1 - y0, cb0->w, dst_fb->row_bytes / 2, src_fb->row_bytes / 2, cb0->w) &&
        dst_fb->row_bytes % 2 == 0 && src_fb->row_bytes % 2 == 0)
        n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(&arg, 0, arg.cb0_row_delta * (y1 - y0), 0, y0, y0 + 1,
                                                     cb0->w * (y1 - y0));
    else
        n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(&arg, 0, arg.cb0_row_delta, 0, y0, y1, cb0->w);
}
