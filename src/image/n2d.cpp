// Rectangles, clears, copies, blits and the coverage-buffer mask builders.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/crash.h"
#include "core/maskstore.h"
#include "core/ppc.h"
#include "core/saturate.h"
#include "image/n2d.h"
#include "image/n3d_convert.h"
#include "image/texel.h"

void n2d_boxrect(int* dx, int* dy, int* w, int* h, int x0, int y0, int x1, int y1, int min_x, int min_y, int max_x,
                 int max_y)
{
    // In 64 bits: far-off rectangles must not wrap into visible ones.
    long long ox = static_cast<long long>(min_x) - x0, oy = static_cast<long long>(min_y) - y0;
    *dx = ox > 0 ? sat_int64_to_int(ox) : 0;
    *dy = oy > 0 ? sat_int64_to_int(oy) : 0;
    *w = sat_int64_to_int(static_cast<long long>(x1 < max_x ? x1 : max_x) - (x0 > min_x ? x0 : min_x));
    *h = sat_int64_to_int(static_cast<long long>(y1 < max_y ? y1 : max_y) - (y0 > min_y ? y0 : min_y));
}

void n2d_rect_set(n2d_rect* out_r, int x0, int y0, int x1, int y1)
{
    out_r->x0 = x0;
    out_r->y0 = y0;
    out_r->x1 = x1;
    out_r->y1 = y1;
}

void n2d_clip_rect(n2d_rect* out_r, const n2d_rect* r, const n2d_rect* container)
{
    int dx, dy, w, h;
    n2d_boxrect(&dx, &dy, &w, &h, r->x0, r->y0, r->x1, r->y1, container->x0, container->y0, container->x1,
                container->y1);
    out_r->x0 = r->x0 + dx;
    out_r->y0 = r->y0 + dy;
    out_r->x1 = out_r->x0 + w;
    out_r->y1 = out_r->y0 + h;
}

// ---- Clears, copies, rectangles ---------------------------------------------

// Every row whole: row_bytes / 8 eight-byte stores of the pattern, then the
// remainder of a row whose bytes are not a multiple of 8 from the pattern's first bytes.
static void n2d_fill_rows(n3d_framebuffer* fb, uint64_t pattern)
{
    if (fb->row_bytes <= 0)
        return;
    if (fb->h <= 0)
        return;
    if (pattern == (pattern & 0xFFu) * 0x0101010101010101ull) {
        // One byte repeated: the rows are one block, filled by the C library.
        memset(fb->b, static_cast<int>(pattern & 0xFFu),
               static_cast<size_t>(fb->row_bytes) * static_cast<size_t>(fb->h));
        return;
    }
    // The first row is built from 8-byte stores of the pattern; the others are
    // copies of it.
    const int words = fb->row_bytes / 8, rest = fb->row_bytes % 8;
    uint8_t* first = static_cast<uint8_t*>(fb->b);
    for (int i = 0; i < words; i++)
        memcpy(first + 8 * i, &pattern, 8);
    if (rest)
        memcpy(first + 8 * words, &pattern, static_cast<size_t>(rest));
    uint8_t* row = first + fb->row_bytes;
    for (int y = 1; y < fb->h; y++, row += fb->row_bytes)
        memcpy(row, first, static_cast<size_t>(fb->row_bytes));
}

void n2d_fb_clear_rgb(n3d_framebuffer* dst_fb, uint8_t r8, uint8_t g8, uint8_t b8)
{
    uint32_t p32;
    if (dst_fb->format == N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555) {
        uint32_t p16 = 0x8000u | static_cast<uint32_t>(r8 >> 3) << 10 | static_cast<uint32_t>(g8 >> 3) << 5 |
                       static_cast<uint32_t>(b8 >> 3);
        p32 = p16 * 65537u;
    } else if (dst_fb->format == N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8) {
        p32 = r8 * 0x01010101u;
    } else {
        n3d_crash("src/n2d", __LINE__, "not implemented\n");
    }
    n2d_fill_rows(dst_fb, n2d_pack_u32_into_d64(p32, p32));
}

void n2d_fb_clear_i8(n3d_framebuffer* dst_fb, uint8_t i8)
{
    if (dst_fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 &&
        dst_fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        n3d_crash("src/n2d", __LINE__, "not implemented\n");
    uint32_t p32 = i8 * 0x01010101u;
    n2d_fill_rows(dst_fb, n2d_pack_u32_into_d64(p32, p32));
}

void n2d_copy_fb(n3d_framebuffer* dst_fb, const n3d_framebuffer* src_fb)
{
    if (dst_fb->format != src_fb->format || dst_fb->w != src_fb->w || dst_fb->h != src_fb->h)
        mycrash("src/n2d", __LINE__, "",
                "dst_fb and src_fb must have same format, w and h. src: %d %d %d vs dst %d %d %d\n", src_fb->format,
                src_fb->w, src_fb->h, dst_fb->format, dst_fb->w, dst_fb->h);
    if (dst_fb->row_bytes != src_fb->row_bytes)
        mycrash("src/n2d", __LINE__, "", "rowbytes must be the same for dst and src, src: %d dst: %d\n",
                src_fb->row_bytes, dst_fb->row_bytes);
    if (dst_fb->row_bytes % 8 != 0 || src_fb->row_bytes % 8 != 0)
        mycrash("src/n2d", __LINE__, "",
                "rowbytes must be aligned to 8 bytes dst_fb row_bytes %d src_fb row_bytes: %d\n", dst_fb->row_bytes,
                src_fb->row_bytes);
    if (dst_fb->h > 0 && dst_fb->row_bytes > 0)
        memmove(dst_fb->b, src_fb->b, static_cast<size_t>(dst_fb->row_bytes) * static_cast<size_t>(dst_fb->h));
}

void n2d_fb_draw_rect_i8(n3d_framebuffer* dst_fb, uint8_t i8, int x0, int y0, int x1, int y1)
{
    // Clipped to the plane: the loading bar and the scenes compute their
    // rectangles from sizes the plane does not know.
    if (x0 < 0)
        x0 = 0;
    if (y0 < 0)
        y0 = 0;
    if (x1 > dst_fb->w)
        x1 = dst_fb->w;
    if (y1 > dst_fb->h)
        y1 = dst_fb->h;
    if (x0 >= x1 || y0 >= y1)
        return;
    uint32_t p32 = i8 * 0x01010101u;
    const uint64_t p64 = n2d_pack_u32_into_d64(p32, p32);
    uint8_t* row = static_cast<uint8_t*>(dst_fb->b) + static_cast<ptrdiff_t>(dst_fb->row_bytes) * y0;
    for (int y = y0; y < y1; y++, row += dst_fb->row_bytes) {
        int x = x0;
        for (; x < x1 && (x & 3) != 0; x++)
            row[x] = i8;
        for (int n = (x1 - x) / 8; n > 0; n--, x += 8)
            memcpy(row + x, &p64, 8);
        for (; x < x1; x++)
            row[x] = i8;
    }
}

// ---- Blits --------------------------------------------------------------------

void n2d_blit_buffer_index8(n3d_frame_context* fc, const void* buffer, int rowbytes, int dst_x0, int dst_y0, int dst_x1,
                            int dst_y1, int src_x0, int src_y0, int src_x1, int src_y1, int work_offset_dst_y,
                            int work_amount_dst_y)
{
    n3d_framebuffer* fb = fc->fb;
    int dx, dy, w, h;
    n2d_boxrect(&dx, &dy, &w, &h, dst_x0, dst_y0, dst_x1, dst_y1, 0, 0, fb->w, fb->h);
    if (fb->row_bytes % 4 != 0 || rowbytes % 4 != 0)
        mycrash("src/n2d", __LINE__, "",
                "fc row bytes and src row bytes must be multiple of 4 bytes, is: %d %d respectively\n", fb->row_bytes,
                rowbytes);
    if (fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        mycrash("src/n2d", __LINE__, "", "format %d not implemented/supported?\n", fb->format);
    if (work_offset_dst_y < 0)
        work_offset_dst_y = 0;
    // Heights in 64 bits: an invisible rectangle with a large work offset must
    // not wrap into a visible one.
    long long rows = static_cast<long long>(h) - work_offset_dst_y;
    if (rows > work_amount_dst_y)
        rows = work_amount_dst_y;
    // Never read outside the source rectangle, whatever the destination asks for.
    long long src_w = static_cast<long long>(src_x1) - src_x0 - dx;
    long long src_h = static_cast<long long>(src_y1) - src_y0 - dy - work_offset_dst_y;
    if (w > src_w)
        w = static_cast<int>(src_w);
    if (rows > src_h)
        rows = src_h;
    if (w <= 0 || rows <= 0)
        return;
    h = static_cast<int>(rows);
    const uint8_t* src = static_cast<const uint8_t*>(buffer) +
                         (static_cast<ptrdiff_t>(src_y0) + dy + work_offset_dst_y) * rowbytes +
                         (static_cast<ptrdiff_t>(src_x0) + dx);
    uint8_t* dst = static_cast<uint8_t*>(fb->b) +
                   (static_cast<ptrdiff_t>(dst_y0) + dy + work_offset_dst_y) * fb->row_bytes +
                   (static_cast<ptrdiff_t>(dst_x0) + dx);
    for (int y = 0; y < h; y++, src += rowbytes, dst += fb->row_bytes)
        memcpy(dst, src, static_cast<size_t>(w));  // exactly the clipped width
}

// Float to int within +-2^30 (NaN gives 0), for positions that may lie far off.
static int n2d_float_to_int(float f) { return sat_float_to_int(f, -1073741824, 1073741824, 0); }

void n2d_blit_texture_scaled_except_srcmask(n3d_frame_context* fc, const n3d_texture* texture, float dst_x0_f,
                                            float dst_y0_f, float dst_x1_f, float dst_y1_f, float src_x0_f,
                                            float src_y0_f, float src_x1_f, float src_y1_f, int src_mask)
{
    n3d_framebuffer* fb = fc->fb;
    if (fb->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "dst: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n");
    if (texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "src: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported for now\n");
    n3d_coveragebuffer* cb = fc->cb;
    if (!cb)
        crash_fail(1, "dst: frame context has no coverage buffer\n");
    if (cb->w < fb->w || cb->h < fb->h || cb->w % 32 != 0)
        crash_fail(1, "dst: coverage buffer (%d %d) must cover the framebuffer (%d %d)\n", cb->w, cb->h, fb->w, fb->h);
    if (texture->w_log2 < 0 || texture->w_log2 > 15 || texture->h_log2 < 0 || texture->h_log2 > 15)
        crash_fail(1, "src: texture size 2^%d x 2^%d not supported\n", texture->w_log2, texture->h_log2);

    const float ddx = dst_x1_f - dst_x0_f, ddy = dst_y1_f - dst_y0_f;
    if (!(ddx > 0.0f) || !(ddy > 0.0f))
        return;  // an empty or flipped destination draws nothing (and divides by nothing)
    const float dudx = (src_x1_f - src_x0_f) / ddx, dvdy = (src_y1_f - src_y0_f) / ddy;

    float fx = std::ceil(dst_x0_f), fy = std::ceil(dst_y0_f);
    float u0 = src_x0_f + (fx - dst_x0_f) * dudx, v0 = src_y0_f + (fy - dst_y0_f) * dvdy;
    if (dst_x1_f < 0.0f || dst_y1_f < 0.0f)
        return;
    int px = n2d_float_to_int(fx), py = n2d_float_to_int(fy);
    if (px >= fb->w || py >= fb->h)
        return;
    if (px < 0) {
        u0 += static_cast<float>(-px) * dudx;
        px = 0;
    }
    if (py < 0) {
        v0 += static_cast<float>(-py) * dvdy;
        py = 0;
    }
    int ex = n2d_float_to_int(std::ceil(dst_x1_f)), ey = n2d_float_to_int(std::ceil(dst_y1_f));
    if (ex > fb->w)
        ex = fb->w;
    if (ey > fb->h)
        ey = fb->h;

    // 16.16 fixed point.
    const int u_start = n2d_float_to_int(std::round(u0 * 65536.0f)), du = n2d_float_to_int(std::round(dudx * 65536.0f));
    long long v = n2d_float_to_int(std::round(v0 * 65536.0f));
    const int dv = n2d_float_to_int(std::round(dvdy * 65536.0f));

    // One mip level per axis from the step; the chain ends at min_*_level.
    int iu = n2d_float_to_int(dudx), iv = n2d_float_to_int(dvdy);
    int lu = iu >= 1 ? 31 - ppc_cntlze(static_cast<uint32_t>(iu)) : 0;
    int lv = iv >= 1 ? 31 - ppc_cntlze(static_cast<uint32_t>(iv)) : 0;
    const int lu_max = texture->w_log2 - texture->min_u_level, lv_max = texture->h_log2 - texture->min_v_level;
    if (lu > lu_max)
        lu = lu_max > 0 ? lu_max : 0;
    if (lv > lv_max)
        lv = lv_max > 0 ? lv_max : 0;
    const uint8_t* texels = texture->mips ? texture->mips[N3D_MIP_INDEX(lu, lv)] : nullptr;
    if (!texels)
        crash_fail(1, "src: texture has no mip level %d %d\n", lu, lv);
    const int level_w_log2 = texture->w_log2 - lu;
    const uint32_t umask = (1u << level_w_log2) - 1u, vmask = (1u << (texture->h_log2 - lv)) - 1u;
    // 64-bit positions: a long row of large steps must not overflow.
    const long long du_l = du >> lu;
    v >>= lv;
    const long long dv_l = dv >> lv;

    const int words = cb->w / 32;
    uint8_t* row = static_cast<uint8_t*>(fb->b) + static_cast<ptrdiff_t>(fb->row_bytes) * py;
    for (int y = py; y < ey; y++, row += fb->row_bytes, v += dv_l) {
        // Source positions outside the level wrap around it.
        const uint32_t tv = static_cast<uint32_t>(v >> 16) & vmask;
        uint32_t* cov = cb->u32 + static_cast<ptrdiff_t>(words) * y;
        long long u = u_start >> lu;
        for (int x = px; x < ex; x++, u += du_l) {
            const uint32_t tu = static_cast<uint32_t>(u >> 16) & umask;
            const uint32_t off = texture->not_swizzled ? (tv << level_w_log2) | tu : n3d_swizzle_offset_8bpp(tu, tv);
            const uint8_t t = texels[off];
            if (t != src_mask) {
                row[x] = t;
                cov[x >> 5] |= 0x80000000u >> (x & 31);
            }
        }
    }
}

void n2d_show_cb(n3d_framebuffer* fb, const n3d_coveragebuffer* cb0, uint8_t color0, const n3d_coveragebuffer* cb1,
                 uint8_t color1, uint8_t color_both, uint8_t color_neither)
{
    // Every pixel of cb0 inside the plane; outside its own size cb1 reads as clear.
    int w = cb0->w, h = cb0->h;
    if (w > fb->w)
        w = fb->w;
    if (h > fb->h)
        h = fb->h;
    uint8_t* row = static_cast<uint8_t*>(fb->b);
    for (int y = 0; y < h; y++, row += fb->row_bytes)
        for (int x = 0; x < w; x++) {
            const uint32_t bit = 0x80000000u >> (x & 31);
            const int a = (cb0->u32[static_cast<ptrdiff_t>(cb0->w / 32) * y + (x >> 5)] & bit) != 0;
            const int b =
                x < cb1->w && y < cb1->h && (cb1->u32[static_cast<ptrdiff_t>(cb1->w / 32) * y + (x >> 5)] & bit) != 0;
            row[x] = a && b ? color_both : a ? color0 : b ? color1 : color_neither;
        }
}

// ---- Coverage-buffer operations --------------------------------------------

// The mask builders work on several words at once: four (SSE2) or sixteen
// (AVX-512, where the processor has it) mask words a step, empty cb1 words
// passed over without reading texels, 32 texels compared in one step.

// Bit i of a byte moved to bit 7 - i.
struct n2d_reverse_bits_table {
    uint8_t r[256];
    constexpr n2d_reverse_bits_table() : r()
    {
        for (int v = 0; v < 256; v++) {
            int x = 0;
            for (int i = 0; i < 8; i++)
                x |= ((v >> i) & 1) << (7 - i);
            r[v] = static_cast<uint8_t>(x);
        }
    }
};
static constexpr n2d_reverse_bits_table N2D_REVERSE_BITS;

// The texel range [lo, lo + span] (a range of bytes; every texel value lies in 0..255).
#if defined(__x86_64__) || defined(__i386__)
struct n2d_texel_range {
    __m128i lo, span;
};
static inline n2d_texel_range n2d_texel_range_of(int lo, int span)
{
    return {_mm_set1_epi8(static_cast<char>(lo)), _mm_set1_epi8(static_cast<char>(span))};
}
#else
struct n2d_texel_range {
    uint8_t lo, span;
};
static inline n2d_texel_range n2d_texel_range_of(int lo, int span)
{
    return {static_cast<uint8_t>(lo), static_cast<uint8_t>(span)};
}
#endif

#if defined(__x86_64__) || defined(__i386__)
// The 32 texels at t in the range, as a mask word (texel 0 the most significant bit).
static inline uint32_t n2d_texels_in_range_sse2(const uint8_t* t, const n2d_texel_range& r)
{
    const __m128i x0 = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)), r.lo);
    const __m128i x1 = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16)), r.lo);
    const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x0, r.span), r.span))) |
                       static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x1, r.span), r.span))) << 16;
    const uint8_t* rev = N2D_REVERSE_BITS.r;
    return uint32_t{rev[m & 255u]} << 24 | uint32_t{rev[(m >> 8) & 255u]} << 16 | uint32_t{rev[(m >> 16) & 255u]} << 8 |
           uint32_t{rev[m >> 24]};
}

CPU_TARGET_AVX512 static inline uint32_t n2d_texels_in_range_wide(const uint8_t* t, const n2d_texel_range& r)
{
    // The texels in reverse order, so that mask bit 31 is texel 0.
    const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11,
                                             10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i v = _mm256_permute4x64_epi64(
        _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)), reverse), 0x4E);
    return _mm256_cmple_epu8_mask(_mm256_sub_epi8(v, _mm256_broadcastsi128_si256(r.lo)),
                                  _mm256_broadcastsi128_si256(r.span));
}

// Sixteen mask words all zero; sixteen zero words stored.
CPU_TARGET_AVX512 static inline bool n2d_words16_zero_wide(const uint32_t* s)
{
    const __m512i v = _mm512_loadu_si512(s);
    return _mm512_test_epi32_mask(v, v) == 0;
}

CPU_TARGET_AVX512 static inline void n2d_words16_clear_wide(uint32_t* d)
{
    _mm512_storeu_si512(d, _mm512_setzero_si512());
}

#else
// The same words in plain C; off x86 there is no wide form (maskstore_wide() is
// false), and the wide names only keep the wide bodies compiling.
static inline uint32_t n2d_texels_in_range_sse2(const uint8_t* t, const n2d_texel_range& r)
{
    uint32_t m = 0;
    for (int j = 0; j < 32; j++)
        m |= static_cast<uint32_t>(static_cast<uint8_t>(t[j] - r.lo) <= r.span) << (31 - j);
    return m;
}
static inline uint32_t n2d_texels_in_range_wide(const uint8_t* t, const n2d_texel_range& r)
{
    return n2d_texels_in_range_sse2(t, r);
}
static inline bool n2d_words16_zero_wide(const uint32_t* s)
{
    uint32_t any = 0;
    for (int j = 0; j < 16; j++)
        any |= s[j];
    return any == 0;
}
static inline void n2d_words16_clear_wide(uint32_t* d) { memset(d, 0, 16 * sizeof *d); }
#endif

// The window's words as one run (the rows of both masks follow each other):
// empty stretches of cb1 passed over sixteen (wide) or four words at a time,
// the others word by word with their row and column followed along.
template <bool Wide>
static inline void n2d_eq_cb1_and_texture_rows(uint32_t* dst, const uint32_t* src, const uint8_t* texels, int w_log2,
                                               int words, int y0, int y1, const n2d_texel_range& r)
{
    ptrdiff_t k = static_cast<ptrdiff_t>(words) * y0;
    const ptrdiff_t end = static_cast<ptrdiff_t>(words) * y1;
    int y = y0, i = 0;  // row and word of k
    auto advance = [&](int n) {
        i += n;
        while (i >= words) {
            i -= words;
            y++;
        }
    };
    auto word = [&]() {
        const uint32_t in = src[k];
        if (in == 0) {  // a zero word reads no texel
            dst[k] = 0;
        } else {
            // All 32 texels of the word are tested (they lie inside the
            // texture, which is at least the masks' size); the cb1 word then
            // keeps only its own pixels.
            const uint8_t* t = texels + (static_cast<ptrdiff_t>(y) << w_log2) + 32 * i;
            if constexpr (Wide)
                dst[k] = n2d_texels_in_range_wide(t, r) & in;
            else
                dst[k] = n2d_texels_in_range_sse2(t, r) & in;
        }
        k++;
        advance(1);
    };
    if constexpr (Wide) {
        while (k + 16 <= end) {
            if (n2d_words16_zero_wide(src + k)) {
                n2d_words16_clear_wide(dst + k);
                k += 16;
                advance(16);
                continue;
            }
            for (int j = 0; j < 16; j++)
                word();
        }
    }
    while (k + 4 <= end) {
        if (maskstore_block_all(maskstore_block_load(src + k), 0u)) {
            maskstore_block_store(dst + k, maskstore_splat8(0));
            k += 4;
            advance(4);
            continue;
        }
        for (int j = 0; j < 4; j++)
            word();
    }
    while (k < end)
        word();
}

MASKSTORE_WIDE static void n2d_eq_cb1_and_texture_rows_wide(uint32_t* dst, const uint32_t* src, const uint8_t* texels,
                                                            int w_log2, int words, int y0, int y1,
                                                            const n2d_texel_range& r)
{
    n2d_eq_cb1_and_texture_rows<true>(dst, src, texels, w_log2, words, y0, y1, r);
}

void n2d_cb_eq_cb1_and_texture_between(n3d_coveragebuffer* cb0, const n3d_coveragebuffer* cb1, const n3d_texture* t0,
                                       int threshold_a, int threshold_b, int work_start_y, int work_height)
{
    if (cb0->w != cb1->w || cb0->h != cb1->h)
        crash_fail(1, "cb0 width and height must equal cb1! (%d %d vs %d %d)\n", cb0->w, cb0->h, cb1->w, cb1->h);
    if (t0->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8)
        crash_fail(1, "texture: only N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8 supported\n");
    if (!t0->not_swizzled)
        crash_fail(1, "swizzled texture not implemented\n");
    if (cb0->w % 32 != 0)
        crash_fail(1, "cb0 width must be a multiple of 32 (was %d)\n", cb0->w);
    if (t0->w_log2 < 0 || t0->w_log2 > 15 || t0->h_log2 < 0 || t0->h_log2 > 15 || cb0->w > (1 << t0->w_log2) ||
        cb0->h > (1 << t0->h_log2))
        crash_fail(1, "texture must be at least as large as the masks (2^%d 2^%d vs %d %d)\n", t0->w_log2, t0->h_log2,
                   cb0->w, cb0->h);
    const uint8_t* texels = t0->mips[0];
    int y0 = work_start_y < 0 ? 0 : work_start_y;
    long long end = static_cast<long long>(work_start_y) + work_height;
    int y1 = end < cb0->h ? static_cast<int>(end) : cb0->h;
    const int words = cb0->w / 32;
    if (y0 >= y1 || words <= 0)
        return;
    // Texels are bytes: the thresholds clamped to 0..255 select the same ones.
    const int lo = threshold_a < 0 ? 0 : threshold_a;
    const int hi = threshold_b > 255 ? 255 : threshold_b;
    if (lo > hi) {
        // No texel lies in the range: every word of the window becomes 0.
        memset(cb0->u32 + static_cast<ptrdiff_t>(words) * y0, 0,
               4u * static_cast<size_t>(words) * static_cast<size_t>(y1 - y0));
        return;
    }
    const n2d_texel_range r = n2d_texel_range_of(lo, hi - lo);
    if (maskstore_wide())
        n2d_eq_cb1_and_texture_rows_wide(cb0->u32, cb1->u32, texels, t0->w_log2, words, y0, y1, r);
    else
        n2d_eq_cb1_and_texture_rows<false>(cb0->u32, cb1->u32, texels, t0->w_log2, words, y0, y1, r);
}

// 32 bits of a mask row starting at column sc (sc > -32), bits outside the row's
// w columns read as 0; the most significant bit is column sc.
static inline uint32_t n2d_cb_bits_at(const uint32_t* row, int words, int sc)
{
    if (sc < 0)
        return row[0] >> (-sc);
    const int wi = sc >> 5, sh = sc & 31;
    uint32_t hi = wi < words ? row[wi] << sh : 0u;
    uint32_t lo = (sh != 0 && wi + 1 < words) ? row[wi + 1] >> (32 - sh) : 0u;
    return hi | lo;
}

// The two placed-mask operations: the new destination word from the old one,
// the source bits and the word's columns inside the placed source.
enum class n2d_cb_place_op { or_not, copy };

template <n2d_cb_place_op Op>
static inline uint32_t n2d_cb_combine(uint32_t d, uint32_t s, uint32_t m)
{
    if constexpr (Op == n2d_cb_place_op::or_not)
        return d | (~s & m);
    else
        return (d & ~m) | (s & m);
}

// n whole destination words d[j] from source bits starting sh bits into s[j]
// (s[j + 1] read only when sh is not 0), four at a time.
template <n2d_cb_place_op Op>
static inline void n2d_cb_place_words_sse2(uint32_t* d, const uint32_t* s, int n, int sh)
{
    int j = 0;
#if defined(__x86_64__) || defined(__i386__)
    const __m128i ones = _mm_set1_epi32(-1);
    const __m128i left = _mm_cvtsi32_si128(sh), right = _mm_cvtsi32_si128(32 - sh);
    for (; j + 4 <= n; j += 4) {
        __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + j));
        if (sh != 0)
            bits = _mm_or_si128(_mm_sll_epi32(bits, left),
                                _mm_srl_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + j + 1)), right));
        if constexpr (Op == n2d_cb_place_op::or_not)
            bits = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + j)), _mm_xor_si128(bits, ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j), bits);
    }
#endif
    for (; j < n; j++) {
        const uint32_t bits = sh != 0 ? (s[j] << sh) | (s[j + 1] >> (32 - sh)) : s[j];
        d[j] = n2d_cb_combine<Op>(d[j], bits, 0xFFFFFFFFu);
    }
}

template <n2d_cb_place_op Op>
#if defined(__x86_64__) || defined(__i386__)
CPU_TARGET_AVX512
#endif
    static inline void
    n2d_cb_place_words_wide(uint32_t* d, const uint32_t* s, int n, int sh)
{
#if defined(__x86_64__) || defined(__i386__)
    // (The zero-masked shifts: the plain ones start from an undefined register.)
    const __m512i left = _mm512_set1_epi32(sh), right = _mm512_set1_epi32(32 - sh);
    const __mmask16 all = 0xFFFF;
    int j = 0;
    for (; j + 16 <= n; j += 16) {
        __m512i bits = _mm512_loadu_si512(s + j);
        if (sh != 0)
            bits = _mm512_or_si512(_mm512_maskz_sllv_epi32(all, bits, left),
                                   _mm512_maskz_srlv_epi32(all, _mm512_loadu_si512(s + j + 1), right));
        if constexpr (Op == n2d_cb_place_op::or_not)
            bits = _mm512_or_si512(_mm512_loadu_si512(d + j), _mm512_xor_si512(bits, _mm512_set1_epi32(-1)));
        _mm512_storeu_si512(d + j, bits);
    }
#else
    int j = 0;
#endif
    n2d_cb_place_words_sse2<Op>(d + j, s + j, n - j, sh);
}

// Destination bits over the placed source, clipped to the destination and the
// row window: the words at both ends of a row word by word, the whole words
// between them several at a time.
template <bool Wide, n2d_cb_place_op Op>
static inline void n2d_cb_place_rows(uint32_t* dst_words, int dwords, int x0, int y0, const uint32_t* src_words,
                                     int swords, long long c0, long long c1, int r0, int r1)
{
    const int k0 = static_cast<int>(c0 >> 5), k1 = static_cast<int>((c1 - 1) >> 5);
    auto edge = [&](uint32_t* drow, const uint32_t* srow, int k) {
        const int a = k == k0 ? static_cast<int>(c0 & 31) : 0;
        const int b = k == k1 ? static_cast<int>(((c1 - 1) & 31) + 1) : 32;
        const uint32_t m = (0xFFFFFFFFu >> a) & (0xFFFFFFFFu << (32 - b));  // columns [a, b) of the word; b >= 1
        drow[k] = n2d_cb_combine<Op>(drow[k], n2d_cb_bits_at(srow, swords, k * 32 - x0), m);
    };
    auto words = [](uint32_t* d, const uint32_t* s, int n, int sh) {
        if constexpr (Wide)
            n2d_cb_place_words_wide<Op>(d, s, n, sh);
        else
            n2d_cb_place_words_sse2<Op>(d, s, n, sh);
    };
    auto row = [&](uint32_t* drow, const uint32_t* srow) {
        edge(drow, srow, k0);
        if (k1 > k0 + 1) {
            // Whole words: source columns from 32 (k0 + 1) - x0 >= 0, inside the source row.
            const long long sc = 32LL * (k0 + 1) - x0;
            words(drow + k0 + 1, srow + (sc >> 5), k1 - k0 - 1, static_cast<int>(sc & 31));
        }
        if (k1 > k0)
            edge(drow, srow, k1);
    };
    if (dwords == swords && k0 == 0 && k1 == dwords - 1 && r1 - r0 > 1) {
        // The placed source spans every destination row (it starts less than a
        // word from column 0): each destination word takes the source bits at
        // the same distance from it in both buffers, rows included, so the
        // rows are one run of words. Only the two words that hold the ends of
        // a row's part keep their other bits: saved first, merged back after.
        const int a0 = static_cast<int>(c0 & 31), b1 = static_cast<int>(((c1 - 1) & 31) + 1);
        const uint32_t m0 = 0xFFFFFFFFu >> a0, m1 = 0xFFFFFFFFu << (32 - b1);
        const bool fix0 = m0 != 0xFFFFFFFFu, fix1 = m1 != 0xFFFFFFFFu;
        // Without ends to merge back the rows are one run whatever their number.
        constexpr int KEEP_ROWS = 64;
        const int chunk = fix0 || fix1 ? KEEP_ROWS : r1 - r0;
        uint32_t keep0[KEEP_ROWS], keep1[KEEP_ROWS];
        for (int top = r0; top < r1; top += chunk) {
            const int rows = r1 - top < chunk ? r1 - top : chunk;
            uint32_t* d = dst_words + static_cast<ptrdiff_t>(dwords) * top;
            const uint32_t* s = src_words + static_cast<ptrdiff_t>(swords) * (top - y0);
            if (rows == 1) {
                row(d, s);
                continue;
            }
            // The run covers words 1 .. n - 2 of the rows: the first word of
            // the first row and the last of the last keep the per-row rule.
            const int n = rows * dwords, last = dwords - 1;
            if (fix0)
                for (int r = 0; r < rows; r++)
                    keep0[r] = d[r * dwords];
            if (fix1)
                for (int r = 0; r < rows; r++)
                    keep1[r] = d[r * dwords + last];
            if (n > 2) {
                // Source columns from 32 - x0 > 0, never past the last row.
                const int sc = 32 - x0;
                words(d + 1, s + (sc >> 5), n - 2, sc & 31);
            }
            edge(d, s, 0);
            for (int r = 0; (fix0 || fix1) && r < rows; r++) {
                uint32_t* drow = d + r * dwords;
                const bool first_in_run = r > 0 && (dwords > 1 || r < rows - 1);
                const bool last_in_run = r < rows - 1 && (dwords > 1 || r > 0);
                if (fix0 && first_in_run)
                    drow[0] = (drow[0] & m0) | (keep0[r] & ~m0);
                if (fix1 && last_in_run)
                    drow[last] = (drow[last] & m1) | (keep1[r] & ~m1);
            }
            edge(d + (rows - 1) * dwords, s + (rows - 1) * swords, last);
        }
        return;
    }
    for (int y = r0; y < r1; y++)
        row(dst_words + static_cast<ptrdiff_t>(dwords) * y, src_words + static_cast<ptrdiff_t>(swords) * (y - y0));
}

template <n2d_cb_place_op Op>
MASKSTORE_WIDE static void n2d_cb_place_rows_wide(uint32_t* dst_words, int dwords, int x0, int y0,
                                                  const uint32_t* src_words, int swords, long long c0, long long c1,
                                                  int r0, int r1)
{
    n2d_cb_place_rows<true, Op>(dst_words, dwords, x0, y0, src_words, swords, c0, c1, r0, r1);
}

template <n2d_cb_place_op Op>
static void n2d_cb_place(n3d_coveragebuffer* dst, int x0, int y0, const n3d_coveragebuffer* src, int work_start_y,
                         int work_height)
{
    if (dst->w % 32 != 0 || src->w % 32 != 0)
        crash_fail(1, "coverage buffer width must be a multiple of 32 (%d %d)\n", dst->w, src->w);
    long long c0 = x0 > 0 ? x0 : 0, c1 = static_cast<long long>(x0) + src->w;
    if (c1 > dst->w)
        c1 = dst->w;
    long long r0 = y0, r1 = static_cast<long long>(y0) + src->h;
    if (r0 < work_start_y)
        r0 = work_start_y;
    if (r0 < 0)
        r0 = 0;
    long long wend = static_cast<long long>(work_start_y) + work_height;
    if (r1 > wend)
        r1 = wend;
    if (r1 > dst->h)
        r1 = dst->h;
    if (c0 >= c1 || r0 >= r1)
        return;
    const int dwords = dst->w / 32, swords = src->w / 32;
    if (maskstore_wide())
        n2d_cb_place_rows_wide<Op>(dst->u32, dwords, x0, y0, src->u32, swords, c0, c1, static_cast<int>(r0),
                                   static_cast<int>(r1));
    else
        n2d_cb_place_rows<false, Op>(dst->u32, dwords, x0, y0, src->u32, swords, c0, c1, static_cast<int>(r0),
                                     static_cast<int>(r1));
}

void n2d_cb_or_not_cb1(n3d_coveragebuffer* cb0, int cb0_x0, int cb0_y0, const n3d_coveragebuffer* cb1, int work_start_y,
                       int work_height)
{
    n2d_cb_place<n2d_cb_place_op::or_not>(cb0, cb0_x0, cb0_y0, cb1, work_start_y, work_height);
}

void n2d_cb_copy(n3d_coveragebuffer* dst_cb, int dst_x0, int dst_y0, const n3d_coveragebuffer* src_cb, int work_start_y,
                 int work_height)
{
    n2d_cb_place<n2d_cb_place_op::copy>(dst_cb, dst_x0, dst_y0, src_cb, work_start_y, work_height);
}

void n2d_cb_clear(n3d_coveragebuffer* cb)
{
    size_t words = static_cast<size_t>(cb->w / 32) * static_cast<size_t>(cb->h > 0 ? cb->h : 0);
    if (cb->w > 0 && words)
        memset(cb->u32, 0, words * 4u);
}
