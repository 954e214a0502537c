// Coverage-masked fills and copies: each front checks its buffers, places and
// clips the mask and fills its argument record; each body walks the visible mask
// rows in runs of set and clear bits (one count of leading ones or zeros per run,
// a word at a time) and touches memory only for the set runs.
#include <climits>
#include <cstddef>
#include <cstring>

#include "core/crash.h"
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

// Splits a run of n bytes at p into the widest stores that length and address
// allow: 8 bytes at addresses 0 or 4 mod 8 (the target's 64-bit stores need only
// word alignment), then 4, 2, 1. store(offset, size) writes one piece.
template <typename Store>
static inline void n2d_store_run(uint8_t* p, int n, Store store)
{
    int off = 0;
    while (n > 0) {
        uintptr_t a = reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(off);
        int size;
        if (n > 7 && (a & 3u) == 0)
            size = 8;
        else if (n == 4 || (n >= 5 && (a & 3u) == 0) || (n == 5 && (a & 1u) == 0))
            size = 4;
        else if (n == 2 || (n >= 3 && (a & 1u) == 0))
            size = 2;
        else
            size = 1;
        store(off, size);
        off += size;
        n -= size;
    }
}

static inline void n2d_copy_piece(uint8_t* dst, const uint8_t* src, int size)
{
    switch (size) {
    case 8: memcpy(dst, src, 8); break;
    case 4: memcpy(dst, src, 4); break;
    case 2: memcpy(dst, src, 2); break;
    default: *dst = *src; break;
    }
}

// Runs at least this long go to the C library's block fill and copy, which use
// wider stores than 8 bytes on this machine; the bytes written are the same.
static const int N2D_BULK_RUN = 64;

static inline void n2d_copy_run(uint8_t* p, const uint8_t* s, int n)
{
    if (n >= N2D_BULK_RUN)
        memcpy(p, s, static_cast<size_t>(n));
    else
        n2d_store_run(p, n, [p, s](int off, int size) { n2d_copy_piece(p + off, s + off, size); });
}

static inline void n2d_fill_piece(uint8_t* p, const n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int size)
{
    switch (size) {
    case 8: memcpy(p, &arg->color64, 8); break;
    case 4: memcpy(p, &arg->color32, 4); break;
    case 2: memcpy(p, &arg->color16, 2); break;
    default: *p = arg->color8; break;
    }
}

// One mask row: the width visible columns starting at mask column mask_x0,
// with word_at(i) the selection word i of the row (most significant bit
// leftmost). Calls run(pos, n) for every run of n selected columns starting pos
// columns into the visible part. Runs never pass the visible width, and no word
// beyond the last visible column is read.
template <typename WordAt, typename Run>
static inline void n2d_mask_row_walk(int mask_x0, int words_per_line, int width, WordAt word_at, Run run)
{
    int i = mask_x0 >> 5;
    int avail = 32 - (mask_x0 & 31);  // valid bits left in cur, from the top
    uint32_t cur = word_at(i) << (mask_x0 & 31);
    int pos = 0;
    while (pos < width) {
        // Set run: leading ones, continued over whole words of ones.
        int n_run = 0;
        for (;;) {
            int n = ppc_cntlze(~cur);  // 32 for a word of ones
            if (n > avail)
                n = avail;
            n_run += n;
            if (n < avail) {
                cur <<= n;
                avail -= n;
                break;
            }
            if (pos + n_run >= width || ++i >= words_per_line) {
                avail = 0;
                break;
            }
            cur = word_at(i);
            avail = 32;
        }
        if (n_run > width - pos)
            n_run = width - pos;
        if (n_run > 0) {
            run(pos, n_run);
            pos += n_run;
        }
        if (avail == 0 || pos >= width)
            return;
        // Clear run: leading zeros, limited to the valid bits (the shifted-in
        // zeros do not belong to the row).
        int n_gap = 0;
        for (;;) {
            int n = ppc_cntlze(cur);
            if (n > avail)
                n = avail;
            n_gap += n;
            if (n < avail) {
                cur <<= n;
                avail -= n;
                break;
            }
            if (pos + n_gap >= width || ++i >= words_per_line)
                return;
            cur = word_at(i);
            avail = 32;
        }
        pos += n_gap;
    }
}

void n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_fill_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* mask = arg->cb0_row;
        uint32_t* cov = arg->dst_cb0_row;
        n2d_mask_row_walk(mask_x0, words_per_line, width, [mask](int i) { return mask[i]; },
                          [arg, cov, dst_x0](int pos, int n) {
                              uint8_t* p = arg->dst_row + pos;
                              if (n >= N2D_BULK_RUN)
                                  memset(p, arg->color8, static_cast<size_t>(n));
                              else
                                  n2d_store_run(p, n, [arg, p](int off, int size) { n2d_fill_piece(p + off, arg, size); });
                              arg->dst_line = p + n;
                              n2d_cb_row_set_bits(cov, dst_x0 + pos, dst_x0 + pos + n);
                          });
        arg->dst_row += arg->dst_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->dst_cb0_row += arg->dst_cb0_row_delta;
    }
}

void n2d_fb_i8_and_cb_mask_copy_if_cb0_wrapped(n2d_fb_i8_and_cb_mask_copy_if_cb0_arg* arg, int mask_x0,
                                               int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* mask = arg->cb0_row;
        uint32_t* cov = arg->dst_cb0_row;
        n2d_mask_row_walk(mask_x0, words_per_line, width, [mask](int i) { return mask[i]; },
                          [arg, cov, dst_x0](int pos, int n) {
                              uint8_t* p = arg->dst_row + pos;
                              const uint8_t* s = arg->src_row + pos;
                              n2d_copy_run(p, s, n);
                              arg->dst_line = p + n;
                              arg->src_line = s + n;
                              n2d_cb_row_set_bits(cov, dst_x0 + pos, dst_x0 + pos + n);
                          });
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->dst_cb0_row += arg->dst_cb0_row_delta;
    }
}

void n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_wrapped(n2d_fb_i8_mask_copy_if_not_cb0_and_cb1_arg* arg, int mask_x0,
                                                    int words_per_line, int dst_x0, int dst_y0, int dst_y1,
                                                    int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        arg->cb1_line = arg->cb1_row;
        const uint32_t* m0 = arg->cb0_row;
        const uint32_t* m1 = arg->cb1_row;
        n2d_mask_row_walk(mask_x0, words_per_line, width, [m0, m1](int i) { return m1[i] & ~m0[i]; },
                          [arg](int pos, int n) {
                              uint8_t* p = arg->dst_row + pos;
                              const uint8_t* s = arg->src_row + pos;
                              n2d_copy_run(p, s, n);
                              arg->dst_line = p + n;
                              arg->src_line = s + n;
                          });
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
        arg->cb1_row += arg->cb1_row_delta;
    }
}

void n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(n2d_fb_argb1555_mask_copy_if_not_cb0_arg* arg, int mask_x0,
                                                  int words_per_line, int dst_x0, int dst_y0, int dst_y1, int dst_x1)
{
    const int width = dst_x1 - dst_x0;
    for (int y = dst_y0; y < dst_y1; y++) {
        arg->dst_line = arg->dst_row;
        arg->src_line = arg->src_row;
        arg->cb0_line = arg->cb0_row;
        const uint32_t* m0 = arg->cb0_row;
        n2d_mask_row_walk(mask_x0, words_per_line, width, [m0](int i) { return ~m0[i]; },
                          [arg](int pos, int n) {
                              uint8_t* p = arg->dst_row + 2 * pos;
                              const uint8_t* s = arg->src_row + 2 * pos;
                              n2d_copy_run(p, s, 2 * n);
                              arg->dst_line = p + 2 * n;
                              arg->src_line = s + 2 * n;
                          });
        arg->dst_row += arg->dst_rowbytes;
        arg->src_row += arg->src_rowbytes;
        arg->cb0_row += arg->cb0_row_delta;
    }
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
        crash_fail(1, "dst_cb must be at least as large as dst_fb (%d %d vs %d %d)\n", dst_cb->w, dst_cb->h,
                   dst_fb->w, dst_fb->h);
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
                                       uint8_t color8, const n3d_coveragebuffer* cb0, int work_start_y,
                                       int work_height)
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
    n2d_fb_i8_and_cb_mask_fill_if_cb0_wrapped(&arg, dx, arg.cb0_row_delta, x0, y0, y0 + h, x0 + w);
}

void n2d_fb_i8_and_cb_mask_copy_if_cb0(n3d_framebuffer* dst_fb, n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0,
                                       const n3d_framebuffer* src_fb, const n3d_coveragebuffer* cb0,
                                       int work_start_y, int work_height)
{
    n2d_require_8bit("dst_fb", dst_fb);
    n2d_require_8bit("src_fb", src_fb);
    n2d_require_dst_cb_covers(dst_cb, dst_fb);
    n2d_require_whole_words("cb0", cb0);
    n2d_require_whole_words("dst_cb", dst_cb);
    if (src_fb->w < dst_fb->w || src_fb->h < dst_fb->h)
        crash_fail(1, "src_fb must be at least as large as dst_fb (%d %d vs %d %d)\n", src_fb->w, src_fb->h,
                   dst_fb->w, dst_fb->h);
    int dx, dy, w, h;
    if (!n2d_place_mask(dst_fb, cb0, dst_x0, dst_y0, work_start_y, work_height, &dx, &dy, &w, &h))
        return;
    const int x0 = dst_x0 + dx, y0 = dst_y0 + dy;
    n2d_fb_i8_and_cb_mask_copy_if_cb0_arg arg;
    n2d_mask_arg_start(&arg, dst_fb, src_fb, dst_cb, cb0, x0, y0, dy);
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
    n2d_fb_argb1555_mask_copy_if_not_cb0_wrapped(&arg, 0, arg.cb0_row_delta, 0, y0, y1, cb0->w);
}
