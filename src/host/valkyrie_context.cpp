#include "host/valkyrie_context.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstring>

#include "core/cpu_features.h"

uint8_t emulate_valkyrie_key_color = 0;
palette emulate_valkyrie_overlay_clut;
palette emulate_valkyrie_video_clut;

// The part of [offset, offset + count) that lies inside a 256-entry table;
// empty when none does. Slots never touch entries outside it.
static bool clut_range(int offset, int count, int* out_first, int* out_end)
{
    int64_t first = offset < 0 ? 0 : offset;
    int64_t end = static_cast<int64_t>(offset) + (count < 0 ? 0 : count);
    if (end > VALKYRIE_CLUT_ENTRIES)
        end = VALKYRIE_CLUT_ENTRIES;
    if (first >= end)
        return false;
    *out_first = static_cast<int>(first);
    *out_end = static_cast<int>(end);
    return true;
}

// Entry i of the table takes caller entry i - offset.
static void clut_write(palette* clut, int offset, int count, const uint8_t* rgba8888)
{
    int first, end;
    if (!clut_range(offset, count, &first, &end))
        return;
    memcpy(clut->rgba8888 + 4 * first, rgba8888 + 4 * (first - offset), 4u * static_cast<unsigned>(end - first));
}

static void clut_read(const palette* clut, int offset, int count, uint8_t* rgba8888)
{
    int first, end;
    if (!clut_range(offset, count, &first, &end))
        return;
    memcpy(rgba8888 + 4 * (first - offset), clut->rgba8888 + 4 * first, 4u * static_cast<unsigned>(end - first));
}

void emulate_valkyrie_set_overlay_palette_rgba8888(valkyrie_context*, int offset, int count, const uint8_t* rgba8888)
{
    clut_write(&emulate_valkyrie_overlay_clut, offset, count, rgba8888);
}

void emulate_valkyrie_set_video_palette_rgba8888(valkyrie_context*, int offset, int count, const uint8_t* rgba8888)
{
    clut_write(&emulate_valkyrie_video_clut, offset, count, rgba8888);
}

void emulate_valkyrie_get_overlay_palette_rgba8888(valkyrie_context*, int offset, int count, uint8_t* rgba8888)
{
    clut_read(&emulate_valkyrie_overlay_clut, offset, count, rgba8888);
}

void emulate_valkyrie_get_video_palette_rgba8888(valkyrie_context*, int offset, int count, uint8_t* rgba8888)
{
    clut_read(&emulate_valkyrie_video_clut, offset, count, rgba8888);
}

void emulate_valkyrie_set_overlay_key(valkyrie_context*, int key)
{
    emulate_valkyrie_key_color = static_cast<uint8_t>(key);
}

void emulate_valkyrie_video_pageflip(valkyrie_context* ctx) { ctx->video_backpage = ctx->video_backpage == 0 ? 1 : 0; }

static void compose_tables_init(memarena* arena);

static void grey_ramp(palette* p)
{
    for (int i = 0; i < VALKYRIE_CLUT_ENTRIES; ++i) {
        p->rgba8888[4 * i + 0] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 1] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 2] = static_cast<uint8_t>(i);
        p->rgba8888[4 * i + 3] = 255;
    }
}

void emulate_valkyrie_init(valkyrie_context* ctx, memarena* arena)
{
    memset(static_cast<void*>(ctx), 0, sizeof(*ctx));
    ctx->set_overlay_palette_func = emulate_valkyrie_set_overlay_palette_rgba8888;
    ctx->set_video_palette_func = emulate_valkyrie_set_video_palette_rgba8888;
    ctx->get_overlay_palette_func = emulate_valkyrie_get_overlay_palette_rgba8888;
    ctx->get_video_palette_func = emulate_valkyrie_get_video_palette_rgba8888;
    ctx->set_overlay_key_func = emulate_valkyrie_set_overlay_key;
    emulate_valkyrie_key_color = 0;

    palette_init(&emulate_valkyrie_overlay_clut, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&emulate_valkyrie_video_clut, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&ctx->original_overlay_palette, arena, 0, VALKYRIE_CLUT_ENTRIES);
    palette_init(&ctx->original_video_palette, arena, 0, VALKYRIE_CLUT_ENTRIES);
    grey_ramp(&emulate_valkyrie_overlay_clut);
    grey_ramp(&emulate_valkyrie_video_clut);
    grey_ramp(&ctx->original_overlay_palette);
    grey_ramp(&ctx->original_video_palette);

    const uint64_t overlay_bytes = uint64_t{VALKYRIE_OVERLAY_ROWBYTES} * VALKYRIE_OVERLAY_HEIGHT;
    ctx->overlay.w = VALKYRIE_OVERLAY_WIDTH;
    ctx->overlay.h = VALKYRIE_OVERLAY_HEIGHT;
    ctx->overlay.rowbytes = VALKYRIE_OVERLAY_ROWBYTES;
    ctx->overlay.b = memarena_push_array_align_zeroed<uint8_t>(arena, overlay_bytes, MEMARENA_PLANE_ALIGN);
    memset(ctx->overlay.b, emulate_valkyrie_key_color, overlay_bytes);

    const uint64_t page_bytes = uint64_t{VALKYRIE_VIDEO_ROWBYTES} * VALKYRIE_VIDEO_HEIGHT;
    for (valkyrie_buffer& page : ctx->videos) {
        page.w = VALKYRIE_VIDEO_WIDTH;
        page.h = VALKYRIE_VIDEO_HEIGHT;
        page.rowbytes = VALKYRIE_VIDEO_ROWBYTES;
        page.b = memarena_push_array_align_zeroed<uint8_t>(arena, page_bytes, MEMARENA_PLANE_ALIGN);
    }
    ctx->video_backpage = 0;
    compose_tables_init(arena);
}

static const valkyrie_buffer* shown_page(const valkyrie_context* ctx)
{
    return ctx->video_backpage == 0 ? &ctx->videos[1] : &ctx->videos[0];
}

static inline uint16_t load_pixel16(const uint8_t* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// A 5-bit channel's video-table entry: (c << 3) | (c & 7), so 31 reads 255 and
// 30 reads 246 (the display's own expansion, not (c << 3) | (c >> 2)).
static inline uint32_t video_clut_index(uint32_t c5) { return (c5 << 3) | (c5 & 7u); }

// ---- Composition ---------------------------------------------------------------
//
// Both compositions give, for every output pixel, the overlay colour of its
// index or, where the index equals the key, the video pixel under it (one video
// pixel under 2 x 2 output pixels). The colour tables are turned into output
// words once per frame: 256 overlay words, and for the 32-bit surface one word
// per 15-bit video colour, rebuilt only when the video table has changed. The
// overlay is then read 16 indices at a time: a group of key pixels is the
// doubled video row, a group without one the overlay words, a mixed group a
// select of the two per pixel.

// Output words of the 32-bit surface for every 15-bit video colour, with the
// video table they were built from (rebuilt when it differs).
static uint32_t* compose_video_words;
static uint8_t compose_video_words_clut[4 * VALKYRIE_CLUT_ENTRIES];
static bool compose_video_words_valid;

static void compose_tables_init(memarena* arena)
{
    compose_video_words = static_cast<uint32_t*>(memarena_push_align(arena, 32768u * 4u, 64));
    compose_video_words_valid = false;
}

static void compose_video_words_update()
{
    const uint8_t* clut = emulate_valkyrie_video_clut.rgba8888;
    if (compose_video_words_valid && memcmp(compose_video_words_clut, clut, sizeof compose_video_words_clut) == 0)
        return;
    memcpy(compose_video_words_clut, clut, sizeof compose_video_words_clut);
    compose_video_words_valid = true;
    uint32_t rg_part[32], g_part[32], b_part[32];
    for (uint32_t c = 0; c < 32; c++) {
        rg_part[c] = uint32_t{clut[4 * video_clut_index(c) + 0]} << 24 | 255u;
        g_part[c] = uint32_t{clut[4 * video_clut_index(c) + 1]} << 16;
        b_part[c] = uint32_t{clut[4 * video_clut_index(c) + 2]} << 8;
    }
#if defined(__x86_64__) || defined(__i386__)
    const __m128i* bv = reinterpret_cast<const __m128i*>(b_part);
    __m128i b4[8];
    for (int k = 0; k < 8; k++)
        b4[k] = _mm_loadu_si128(bv + k);
    for (uint32_t r = 0; r < 32; r++)
        for (uint32_t g = 0; g < 32; g++) {
            const __m128i base = _mm_set1_epi32(static_cast<int>(rg_part[r] | g_part[g]));
            __m128i* out = reinterpret_cast<__m128i*>(compose_video_words + (r << 10 | g << 5));
            for (int k = 0; k < 8; k++)
                _mm_store_si128(out + k, _mm_or_si128(base, b4[k]));
        }
#else
    for (uint32_t r = 0; r < 32; r++)
        for (uint32_t g = 0; g < 32; g++)
            for (uint32_t b = 0; b < 32; b++)
                compose_video_words[r << 10 | g << 5 | b] = rg_part[r] | g_part[g] | b_part[b];
#endif
}

// The 16 indices at ov compared with the key: bit i set where index i is the key.
#if defined(__x86_64__) || defined(__i386__)
typedef __m128i compose_key;
static inline compose_key compose_key_of(uint8_t key) { return _mm_set1_epi8(static_cast<char>(key)); }
static inline unsigned compose_key_bits(const uint8_t* ov, __m128i key)
{
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ov)), key)));
}
#else
typedef uint8_t compose_key;
static inline compose_key compose_key_of(uint8_t key) { return key; }
static inline unsigned compose_key_bits(const uint8_t* ov, uint8_t key)
{
    unsigned bits = 0;
    for (int k = 0; k < 16; k++)
        bits |= static_cast<unsigned>(ov[k] == key) << k;
    return bits;
}
#endif

// Surfaces come with any pitch: words are stored without assuming alignment.
template <typename Pixel>
static inline void store_pixel(Pixel* p, Pixel v)
{
    memcpy(p, &v, sizeof v);
}

// One output row, 16 pixels at a time (SSE2). Pixel is the surface's word:
// uint32_t for RGBA8888, uint16_t for ARGB1555; video_row holds the shown row's
// output words, one per video pixel; overlay_words one per index.
template <typename Pixel>
static void compose_row_sse2(Pixel* out, const uint8_t* ov, const Pixel* video_row, const Pixel* overlay_words,
                             uint8_t key, int w)
{
    const compose_key key16 = compose_key_of(key);
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const unsigned bits = compose_key_bits(ov + x, key16);
        const Pixel* v = video_row + x / 2;
        Pixel* o = out + x;
        if (bits == 0xFFFFu) {
            // All key: the video words, each twice.
#if defined(__x86_64__) || defined(__i386__)
            if constexpr (sizeof(Pixel) == 4) {
                for (int k = 0; k < 2; k++) {
                    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4 * k));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8 * k), _mm_unpacklo_epi32(a, a));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8 * k + 4), _mm_unpackhi_epi32(a, a));
                }
            } else {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(a, a));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi16(a, a));
            }
#else
            for (int k = 0; k < 16; k++)
                store_pixel(o + k, v[k >> 1]);
#endif
            continue;
        }
        // The indices in registers: the stores below cannot make them reload.
        uint64_t idx[2];
        memcpy(idx, ov + x, 16);
        if (bits == 0) {
#pragma GCC unroll 16
            for (int k = 0; k < 16; k++)
                store_pixel(o + k, overlay_words[(idx[k >> 3] >> (8 * (k & 7))) & 255u]);
        } else {
#pragma GCC unroll 16
            for (int k = 0; k < 16; k++) {
                const unsigned index = (idx[k >> 3] >> (8 * (k & 7))) & 255u;
                const Pixel a = overlay_words[index], b = v[k >> 1];
                store_pixel(o + k, index == key ? b : a);
            }
        }
    }
    for (; x < w; x++) {
        const uint8_t index = ov[x];
        store_pixel(out + x, index == key ? video_row[x >> 1] : overlay_words[index]);
    }
}

static void video_words_row_sse2(uint32_t* out, const uint8_t* video_row, int vw)
{
    for (int i = 0; i < vw; i++)
        out[i] = compose_video_words[load_pixel16(video_row + 2 * i) & 0x7FFFu];
}

#if defined(__x86_64__) || defined(__i386__)
// ---- The wide path (AVX-512 with byte permutations) -----------------------
//
// 64 output pixels a step, without a branch on the pattern: the colour tables
// are split into byte planes (R, G, B of the 32-bit words, low and high byte of
// the 16-bit ones) held in registers, each plane looked up for 64 indices by
// two 128-entry byte permutations, the video bytes doubled by one more
// permutation, the two chosen by the key comparison and the planes
// interleaved into words. The indices are first permuted so that the
// lane-wise interleaving leaves the words in order.

struct compose_wide_tables {
    alignas(64) uint8_t overlay[3][256];  // byte planes of the overlay words, lowest byte first
    alignas(64) uint8_t video[3][64];     // 32-bit surface: video table bytes per 5-bit channel
};

#define COMPOSE_WIDE_TARGET CPU_TARGET_AVX512

// The compiler's own byte-permutation intrinsic starts from an undefined
// register, which its flow analysis reports as a maybe-uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// pos_to_pixel[p] is the pixel of the 64 whose index goes to byte p; the
// 32-bit words come out of four epi16 interleaves (p = 16 lane + 4 j + k holds
// pixel 16 j + 4 lane + k), the 16-bit ones out of two epi8 interleaves
// (p = 16 lane + 8 j + k holds pixel 32 j + 8 lane + k).
struct compose_wide_orders {
    uint8_t rgba[64], rgba_video[64], argb[64], argb_video_lo[64], argb_video_hi[64];
    constexpr compose_wide_orders() : rgba(), rgba_video(), argb(), argb_video_lo(), argb_video_hi()
    {
        for (int p = 0; p < 64; p++) {
            const int lane = p / 16, r = p % 16;
            const int px32 = 16 * (r / 4) + 4 * lane + r % 4;
            const int px16 = 32 * (r / 8) + 8 * lane + r % 8;
            rgba[p] = static_cast<uint8_t>(px32);
            rgba_video[p] = static_cast<uint8_t>(2 * (px32 >> 1));  // low byte of the video word under it
            argb[p] = static_cast<uint8_t>(px16);
            argb_video_lo[p] = static_cast<uint8_t>(2 * (px16 >> 1));
            argb_video_hi[p] = static_cast<uint8_t>(2 * (px16 >> 1) + 1);
        }
    }
};
static constexpr compose_wide_orders COMPOSE_WIDE_ORDERS;

// One 256-entry byte-plane lookup of 64 indices; high holds the indices' top bits.
COMPOSE_WIDE_TARGET static inline __m512i compose_wide_lookup(const __m512i t[4], __m512i idx, __mmask64 high)
{
    return _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(t[0], idx, t[1]),
                                  _mm512_permutex2var_epi8(t[2], idx, t[3]));
}

COMPOSE_WIDE_TARGET static void compose_frame_wide_rgba8888(const compose_wide_tables* tables, uint8_t* dst_row,
                                                            int dst_rowbytes, const uint8_t* overlay_row,
                                                            int overlay_rowbytes, const uint8_t* video_row,
                                                            int video_rowbytes, uint8_t key, int w, int h,
                                                            const uint32_t* overlay_words)
{
    __m512i planes[3][4];
    for (int c = 0; c < 3; c++)
        for (int q = 0; q < 4; q++)
            planes[c][q] = _mm512_load_si512(tables->overlay[c] + 64 * q);
    const __m512i vt_b = _mm512_load_si512(tables->video[0]);  // byte 1 of the word: blue
    const __m512i vt_g = _mm512_load_si512(tables->video[1]);
    const __m512i vt_r = _mm512_load_si512(tables->video[2]);
    const __m512i order = _mm512_loadu_si512(COMPOSE_WIDE_ORDERS.rgba);
    const __m512i video_order = _mm512_loadu_si512(COMPOSE_WIDE_ORDERS.rgba_video);
    const __m512i key_v = _mm512_set1_epi8(static_cast<char>(key));
    const __m512i alpha = _mm512_set1_epi8(-1);
    const __m512i five = _mm512_set1_epi16(31);
    const int blocks = w / 64;
    alignas(32) uint32_t video_words[VALKYRIE_OVERLAY_WIDTH / 2 + 16];
    for (int y = 0; y < h; y++) {
        uint32_t* out = reinterpret_cast<uint32_t*>(dst_row);
        for (int bk = 0; bk < blocks; bk++) {
            const int x = 64 * bk;
            const __m512i idx = _mm512_permutexvar_epi8(order, _mm512_loadu_si512(overlay_row + x));
            const __mmask64 high = _mm512_movepi8_mask(idx);
            const __mmask64 is_key = _mm512_cmpeq_epi8_mask(idx, key_v);
            const __m512i vv = _mm512_loadu_si512(video_row + x);  // the 32 video pixels under them
            const __m512i r5 = _mm512_and_si512(_mm512_srli_epi16(vv, 10), five);
            const __m512i g5 = _mm512_and_si512(_mm512_srli_epi16(vv, 5), five);
            const __m512i b5 = _mm512_and_si512(vv, five);
            const __m512i vr = _mm512_permutexvar_epi8(video_order, _mm512_permutexvar_epi8(r5, vt_r));
            const __m512i vg = _mm512_permutexvar_epi8(video_order, _mm512_permutexvar_epi8(g5, vt_g));
            const __m512i vb = _mm512_permutexvar_epi8(video_order, _mm512_permutexvar_epi8(b5, vt_b));
            const __m512i b = _mm512_mask_blend_epi8(is_key, compose_wide_lookup(planes[0], idx, high), vb);
            const __m512i g = _mm512_mask_blend_epi8(is_key, compose_wide_lookup(planes[1], idx, high), vg);
            const __m512i r = _mm512_mask_blend_epi8(is_key, compose_wide_lookup(planes[2], idx, high), vr);
            const __m512i ab0 = _mm512_unpacklo_epi8(alpha, b), ab1 = _mm512_unpackhi_epi8(alpha, b);
            const __m512i gr0 = _mm512_unpacklo_epi8(g, r), gr1 = _mm512_unpackhi_epi8(g, r);
            _mm512_storeu_si512(out + x, _mm512_unpacklo_epi16(ab0, gr0));
            _mm512_storeu_si512(out + x + 16, _mm512_unpackhi_epi16(ab0, gr0));
            _mm512_storeu_si512(out + x + 32, _mm512_unpacklo_epi16(ab1, gr1));
            _mm512_storeu_si512(out + x + 48, _mm512_unpackhi_epi16(ab1, gr1));
        }
        if (64 * blocks < w) {
            const int x = 64 * blocks;
            video_words_row_sse2(video_words, video_row + x, (w - x + 1) / 2);
            compose_row_sse2<uint32_t>(out + x, overlay_row + x, video_words, overlay_words, key, w - x);
        }
        dst_row += dst_rowbytes;
        overlay_row += overlay_rowbytes;
        if (y & 1)
            video_row += video_rowbytes;
    }
}

COMPOSE_WIDE_TARGET static void compose_frame_wide_argb1555(const compose_wide_tables* tables, uint8_t* dst_row,
                                                            int dst_rowbytes, const uint8_t* overlay_row,
                                                            int overlay_rowbytes, const uint8_t* video_row,
                                                            int video_rowbytes, uint8_t key, int w, int h,
                                                            const uint16_t* overlay_words)
{
    __m512i planes[2][4];
    for (int c = 0; c < 2; c++)
        for (int q = 0; q < 4; q++)
            planes[c][q] = _mm512_load_si512(tables->overlay[c] + 64 * q);
    const __m512i order = _mm512_loadu_si512(COMPOSE_WIDE_ORDERS.argb);
    const __m512i video_lo = _mm512_loadu_si512(COMPOSE_WIDE_ORDERS.argb_video_lo);
    const __m512i video_hi = _mm512_loadu_si512(COMPOSE_WIDE_ORDERS.argb_video_hi);
    const __m512i key_v = _mm512_set1_epi8(static_cast<char>(key));
    const int blocks = w / 64;
    for (int y = 0; y < h; y++) {
        uint16_t* out = reinterpret_cast<uint16_t*>(dst_row);
        for (int bk = 0; bk < blocks; bk++) {
            const int x = 64 * bk;
            const __m512i idx = _mm512_permutexvar_epi8(order, _mm512_loadu_si512(overlay_row + x));
            const __mmask64 high = _mm512_movepi8_mask(idx);
            const __mmask64 is_key = _mm512_cmpeq_epi8_mask(idx, key_v);
            const __m512i vv = _mm512_loadu_si512(video_row + x);
            const __m512i lo = _mm512_mask_blend_epi8(is_key, compose_wide_lookup(planes[0], idx, high),
                                                      _mm512_permutexvar_epi8(video_lo, vv));
            const __m512i hi = _mm512_mask_blend_epi8(is_key, compose_wide_lookup(planes[1], idx, high),
                                                      _mm512_permutexvar_epi8(video_hi, vv));
            _mm512_storeu_si512(out + x, _mm512_unpacklo_epi8(lo, hi));
            _mm512_storeu_si512(out + x + 32, _mm512_unpackhi_epi8(lo, hi));
        }
        if (64 * blocks < w) {
            const int x = 64 * blocks;
            compose_row_sse2<uint16_t>(out + x, overlay_row + x, reinterpret_cast<const uint16_t*>(video_row + x),
                                       overlay_words, key, w - x);
        }
        dst_row += dst_rowbytes;
        overlay_row += overlay_rowbytes;
        if (y & 1)
            video_row += video_rowbytes;
    }
}

#pragma GCC diagnostic pop
#endif

template <typename Pixel>
static void compose_shown_frame(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    const valkyrie_buffer* page = shown_page(ctx);
    const uint8_t key = emulate_valkyrie_key_color;
    const uint8_t* overlay_clut = emulate_valkyrie_overlay_clut.rgba8888;
    const uint8_t* video_clut = emulate_valkyrie_video_clut.rgba8888;
    const int w = ctx->overlay.w < VALKYRIE_OVERLAY_WIDTH ? ctx->overlay.w : VALKYRIE_OVERLAY_WIDTH;
    const int h = ctx->overlay.h;
    const int vw = (w + 1) / 2;
    if (w <= 0 || h <= 0)
        return;

    Pixel overlay_words[VALKYRIE_CLUT_ENTRIES];
    for (int i = 0; i < VALKYRIE_CLUT_ENTRIES; i++) {
        const uint8_t* e = overlay_clut + 4 * i;
        if constexpr (sizeof(Pixel) == 4) {
            overlay_words[i] = uint32_t{e[0]} << 24 | uint32_t{e[1]} << 16 | uint32_t{e[2]} << 8 | 255u;
        } else {
            uint32_t c[3];
            for (int k = 0; k < 3; k++) {
                // x 498 >> 12 takes a byte to 0..31.
                uint32_t v = video_clut[4 * video_clut_index(uint32_t{e[k]} >> 3) + k];
                c[k] = (v * 498u) >> 12;
            }
            overlay_words[i] = static_cast<uint16_t>(0x8000u | c[0] << 10 | c[1] << 5 | c[2]);
        }
    }

#if defined(__x86_64__) || defined(__i386__)
    if (cpu_level() >= CPU_LEVEL_AVX512) {
        compose_wide_tables tables;
        for (int i = 0; i < VALKYRIE_CLUT_ENTRIES; i++)
            for (int c = 0; c < static_cast<int>(sizeof(Pixel)) && c < 3; c++)
                tables.overlay[c][i] = static_cast<uint8_t>(overlay_words[i] >> (8 * (sizeof(Pixel) == 4 ? c + 1 : c)));
        memset(tables.video, 0, sizeof tables.video);
        for (uint32_t c5 = 0; c5 < 32; c5++)
            for (int c = 0; c < 3; c++)  // blue, green, red: bytes 1, 2, 3 of the word
                tables.video[c][c5] = video_clut[4 * video_clut_index(c5) + (2 - c)];
        if (sizeof(Pixel) == 4 && 64 * (w / 64) < w)
            compose_video_words_update();
        if constexpr (sizeof(Pixel) == 4)
            compose_frame_wide_rgba8888(&tables, static_cast<uint8_t*>(dst), dst_rowbytes, ctx->overlay.b,
                                        ctx->overlay.rowbytes, page->b, page->rowbytes, key, w, h, overlay_words);
        else
            compose_frame_wide_argb1555(&tables, static_cast<uint8_t*>(dst), dst_rowbytes, ctx->overlay.b,
                                        ctx->overlay.rowbytes, page->b, page->rowbytes, key, w, h, overlay_words);
        return;
    }
#endif

    if constexpr (sizeof(Pixel) == 4)
        compose_video_words_update();
    // One row of video words (the display is at most VALKYRIE_OVERLAY_WIDTH
    // wide), with room for the last group's reads.
    alignas(32) Pixel video_words[VALKYRIE_OVERLAY_WIDTH / 2 + 16];
    const uint8_t* overlay_row = ctx->overlay.b;
    const uint8_t* video_row = page->b;
    uint8_t* dst_row = static_cast<uint8_t*>(dst);
    for (int y = 0; y < h; ++y) {
        if ((y & 1) == 0) {
            if constexpr (sizeof(Pixel) == 4)
                video_words_row_sse2(video_words, video_row, vw);
            else
                memcpy(video_words, video_row, 2 * static_cast<size_t>(vw));
        }
        compose_row_sse2<Pixel>(reinterpret_cast<Pixel*>(dst_row), overlay_row, video_words, overlay_words, key, w);
        overlay_row += ctx->overlay.rowbytes;
        if (y & 1)
            video_row += page->rowbytes;
        dst_row += dst_rowbytes;
    }
}

void emulate_valkyrie_blit_rgba8888(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    compose_shown_frame<uint32_t>(ctx, dst, dst_rowbytes);
}

void emulate_valkyrie_blit_argb1555(valkyrie_context* ctx, void* dst, int dst_rowbytes)
{
    compose_shown_frame<uint16_t>(ctx, dst, dst_rowbytes);
}
