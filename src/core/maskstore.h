// Selected stores of 32 pixels and the walk of a selection row 32 columns at a
// time, for the coverage-masked 2D operations and the render targets' masked
// clears: a 32-bit word, most significant bit first, picks which of 32 bytes or
// 16-bit pixels are written. SSE2 everywhere on x86 (plain C elsewhere); a wide
// form (AVX-512 masked stores) for bodies built with MASKSTORE_WIDE, taken where
// maskstore_wide() says so. Header only; main thread; nothing here fails.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>

#include "core/cpu_features.h"
#include "core/ppc.h"

// True where the masked operations take their wide bodies (the AVX-512 level);
// both write the same pixels.
inline bool maskstore_wide() { return cpu_level() >= CPU_LEVEL_AVX512; }

#if defined(__x86_64__) || defined(__i386__)
// The wide bodies are compiled for AVX-512 (byte and word masked stores, bit
// gathers into masks) and flattened, so the helpers below inline into them.
#define MASKSTORE_WIDE CPU_TARGET_AVX512 __attribute__((flatten))

// Four selection words, and a pixel value repeated over 16 bytes.
typedef __m128i maskstore_block;
static inline maskstore_block maskstore_block_load(const uint32_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// ~a & b.
static inline maskstore_block maskstore_block_andnot(maskstore_block a, maskstore_block b)
{
    return _mm_andnot_si128(a, b);
}
static inline maskstore_block maskstore_block_not(maskstore_block a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
static inline maskstore_block maskstore_splat8(uint8_t v) { return _mm_set1_epi8(static_cast<char>(v)); }
static inline maskstore_block maskstore_splat16(uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
// Whether all four words of a block are w (0 or all ones); the block's words into w4.
static inline bool maskstore_block_all(maskstore_block v, uint32_t w)
{
    return _mm_movemask_epi8(_mm_cmpeq_epi32(v, _mm_set1_epi32(static_cast<int>(w)))) == 0xFFFF;
}
static inline void maskstore_block_store(uint32_t* w4, maskstore_block v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w4), v);
}

// ---- SSE2 ----------------------------------------------------------------------

// Byte selectors of 16 columns: bytes 0-7 from the top byte of sel16 (bits
// 15..8), bytes 8-15 from its low byte, each byte 0xFF where its bit is set.
static inline __m128i maskstore_bytes16(uint32_t sel16)
{
    const __m128i bit = _mm_set_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const uint64_t spread = 0x0101010101010101ull;
    const __m128i v = _mm_set_epi64x(static_cast<long long>((sel16 & 0xFFu) * spread),
                                     static_cast<long long>(((sel16 >> 8) & 0xFFu) * spread));
    return _mm_cmpeq_epi8(_mm_and_si128(v, bit), bit);
}

// 16-bit selectors of 8 columns from the 8 bits of sel8 (bit 7 first).
static inline __m128i maskstore_words8(uint32_t sel8)
{
    const __m128i bit = _mm_set_epi16(1, 2, 4, 8, 16, 32, 64, 128);
    const __m128i v = _mm_set1_epi16(static_cast<short>(sel8 & 0xFFu));
    return _mm_cmpeq_epi16(_mm_and_si128(v, bit), bit);
}

static inline __m128i maskstore_select(__m128i sel, __m128i on, __m128i off)
{
    return _mm_or_si128(_mm_and_si128(sel, on), _mm_andnot_si128(sel, off));
}

static inline __m128i maskstore_load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
static inline void maskstore_store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// 32 bytes at p: where bits selects, value (a byte repeated in all 16 lanes).
static inline void maskstore_fill8_sse2(uint8_t* p, uint32_t bits, __m128i value)
{
    maskstore_store(p, maskstore_select(maskstore_bytes16(bits >> 16), value, maskstore_load(p)));
    maskstore_store(p + 16, maskstore_select(maskstore_bytes16(bits), value, maskstore_load(p + 16)));
}

// 32 bytes at p: where bits selects, the byte at the same offset from s.
static inline void maskstore_copy8_sse2(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    maskstore_store(p, maskstore_select(maskstore_bytes16(bits >> 16), maskstore_load(s), maskstore_load(p)));
    maskstore_store(p + 16, maskstore_select(maskstore_bytes16(bits), maskstore_load(s + 16), maskstore_load(p + 16)));
}

// 32 16-bit pixels (64 bytes) at p: where bits selects, value (in all 8 lanes).
static inline void maskstore_fill16_sse2(uint8_t* p, uint32_t bits, __m128i value)
{
    for (int k = 0; k < 4; k++)
        maskstore_store(p + 16 * k,
                        maskstore_select(maskstore_words8(bits >> (24 - 8 * k)), value, maskstore_load(p + 16 * k)));
}

static inline void maskstore_copy16_sse2(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    for (int k = 0; k < 4; k++)
        maskstore_store(p + 16 * k, maskstore_select(maskstore_words8(bits >> (24 - 8 * k)), maskstore_load(s + 16 * k),
                                                     maskstore_load(p + 16 * k)));
}

// ---- Wide (only inside MASKSTORE_WIDE bodies) ------------------------------------

// The store mask of 32 columns: mask bit j is selection bit 31 - j.
CPU_TARGET_AVX512 static inline __mmask32 maskstore_wide_mask(uint32_t bits)
{
    const __m256i order = _mm256_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm256_bitshuffle_epi64_mask(_mm256_set1_epi64x(static_cast<long long>(bits)), order);
}

CPU_TARGET_AVX512 static inline void maskstore_fill8_wide(uint8_t* p, uint32_t bits, uint8_t value)
{
    _mm256_mask_storeu_epi8(p, maskstore_wide_mask(bits), _mm256_set1_epi8(static_cast<char>(value)));
}

CPU_TARGET_AVX512 static inline void maskstore_copy8_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    _mm256_mask_storeu_epi8(p, maskstore_wide_mask(bits), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
}

CPU_TARGET_AVX512 static inline void maskstore_fill16_wide(uint8_t* p, uint32_t bits, uint16_t value)
{
    _mm512_mask_storeu_epi16(p, maskstore_wide_mask(bits), _mm512_set1_epi16(static_cast<short>(value)));
}

CPU_TARGET_AVX512 static inline void maskstore_copy16_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    _mm512_mask_storeu_epi16(p, maskstore_wide_mask(bits), _mm512_loadu_si512(s));
}

#else  // plain C: the same pixels

struct maskstore_block {
    uint32_t w[4];
};
static inline maskstore_block maskstore_block_load(const uint32_t* p)
{
    maskstore_block v;
    memcpy(v.w, p, sizeof v.w);
    return v;
}
static inline maskstore_block maskstore_block_andnot(maskstore_block a, maskstore_block b)
{
    for (int j = 0; j < 4; j++)
        b.w[j] &= ~a.w[j];
    return b;
}
static inline maskstore_block maskstore_block_not(maskstore_block a)
{
    for (int j = 0; j < 4; j++)
        a.w[j] = ~a.w[j];
    return a;
}
static inline maskstore_block maskstore_splat8(uint8_t v)
{
    return {{v * 0x01010101u, v * 0x01010101u, v * 0x01010101u, v * 0x01010101u}};
}
static inline maskstore_block maskstore_splat16(uint16_t v)
{
    return {{v * 0x00010001u, v * 0x00010001u, v * 0x00010001u, v * 0x00010001u}};
}
static inline bool maskstore_block_all(maskstore_block v, uint32_t w)
{
    return v.w[0] == w && v.w[1] == w && v.w[2] == w && v.w[3] == w;
}
static inline void maskstore_block_store(uint32_t* w4, maskstore_block v) { memcpy(w4, v.w, sizeof v.w); }

// n pixels of bytes bpp at p where bits (bit 31 first) selects: from s, or the
// value's first pixel when s is null.
static inline void maskstore_select_plain(uint8_t* p, const uint8_t* s, uint32_t bits, const maskstore_block& value,
                                          int bpp)
{
    for (int j = 0; j < 32; j++)
        if ((bits >> (31 - j)) & 1u)
            memcpy(p + bpp * j, s ? s + bpp * j : reinterpret_cast<const uint8_t*>(value.w), static_cast<size_t>(bpp));
}
static inline void maskstore_fill8_sse2(uint8_t* p, uint32_t bits, maskstore_block value)
{
    maskstore_select_plain(p, nullptr, bits, value, 1);
}
static inline void maskstore_copy8_sse2(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    maskstore_select_plain(p, s, bits, {}, 1);
}
static inline void maskstore_fill16_sse2(uint8_t* p, uint32_t bits, maskstore_block value)
{
    maskstore_select_plain(p, nullptr, bits, value, 2);
}
static inline void maskstore_copy16_sse2(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    maskstore_select_plain(p, s, bits, {}, 2);
}

// No wide form: maskstore_wide() is false, and the wide names give the same stores.
#define MASKSTORE_WIDE
static inline void maskstore_fill8_wide(uint8_t* p, uint32_t bits, uint8_t value)
{
    maskstore_fill8_sse2(p, bits, maskstore_splat8(value));
}
static inline void maskstore_copy8_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    maskstore_copy8_sse2(p, s, bits);
}
static inline void maskstore_fill16_wide(uint8_t* p, uint32_t bits, uint16_t value)
{
    maskstore_fill16_sse2(p, bits, maskstore_splat16(value));
}
static inline void maskstore_copy16_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    maskstore_copy16_sse2(p, s, bits);
}
#endif

// ---- Row walks ----------------------------------------------------------------

// One mask row: the width visible columns starting at mask column mask_x0,
// with word_at(i) the selection word i of the row (most significant bit
// leftmost) and block_at(i) words i to i + 3 of it. Calls op.full(pos, n) for n columns (a multiple of 32) all
// selected, op.mixed(pos, bits) for a group of 32 with some selected, and
// op.tail(pos, bits) for the row's last group of fewer than 32 columns (bits
// past the width clear); pos counts columns into the visible part. No word
// beyond the last visible column is read.
template <typename WordAt, typename BlockAt, typename Op>
static inline void maskstore_row_groups(int mask_x0, int words_per_line, int width, WordAt word_at, BlockAt block_at,
                                        Op& op)
{
    const int first = mask_x0 >> 5, sh = mask_x0 & 31;
    auto group = [&](int k) -> uint32_t {
        const int i = first + k;
        if (sh == 0)
            return word_at(i);
        uint32_t bits = word_at(i) << sh;
        if (i + 1 < words_per_line)
            bits |= word_at(i + 1) >> (32 - sh);
        return bits;
    };
    // Full groups are gathered into one run, handed over when it ends.
    int run_pos = 0, run_n = 0;
    auto full = [&](int at, int n) {
        if (run_n != 0 && run_pos + run_n == at) {
            run_n += n;
            return;
        }
        if (run_n != 0)
            op.full(run_pos, run_n);
        run_pos = at;
        run_n = n;
    };
    int pos = 0, k = 0;
    if (sh == 0) {
        // Mask words in step with the groups: four at a time, passed over when
        // all are empty, one full run when all are full.
        while (pos + 128 <= width) {
            const maskstore_block v = block_at(first + k);
            if (maskstore_block_all(v, 0u)) {
                do {
                    pos += 128;
                    k += 4;
                } while (pos + 128 <= width && maskstore_block_all(block_at(first + k), 0u));
                continue;
            }
            if (maskstore_block_all(v, 0xFFFFFFFFu)) {
                const int start = pos;
                do {
                    pos += 128;
                    k += 4;
                } while (pos + 128 <= width && maskstore_block_all(block_at(first + k), 0xFFFFFFFFu));
                full(start, pos - start);
                continue;
            }
            alignas(16) uint32_t w4[4];
            maskstore_block_store(w4, v);
            for (int j = 0; j < 4; j++, pos += 32, k++) {
                if (w4[j] == 0xFFFFFFFFu)
                    full(pos, 32);
                else if (w4[j] != 0)
                    op.mixed(pos, w4[j]);
            }
        }
    }
    for (; pos + 32 <= width; pos += 32, k++) {
        const uint32_t bits = group(k);
        if (bits == 0xFFFFFFFFu)
            full(pos, 32);
        else if (bits != 0)
            op.mixed(pos, bits);
    }
    if (run_n != 0)
        op.full(run_pos, run_n);
    if (pos < width) {
        const uint32_t bits = group(k) & ~(0xFFFFFFFFu >> (width - pos));
        if (bits != 0)
            op.tail(pos, bits);
    }
}

// Full groups of consecutive rows often lie end to end in memory (a plane
// whose rows have no padding, fully selected rows): they are gathered into
// blocks of up to MASKSTORE_PENDING_MAX bytes (small enough to stay in the
// first-level cache with the mask) and written by one call of the C library each.
static const size_t MASKSTORE_PENDING_MAX = 8192;

struct maskstore_pending {
    uint8_t* dst = nullptr;
    const uint8_t* src = nullptr;  // null for a fill
    size_t n = 0;
    int fill = 0;  // the byte of a fill
    // Adds n bytes at dst (from src); writes the block so far when they do not follow it.
    void add(uint8_t* d, const uint8_t* s, size_t bytes)
    {
        if (n != 0 && n < MASKSTORE_PENDING_MAX && dst + n == d && (src == nullptr || src + n == s)) {
            n += bytes;
            return;
        }
        flush();
        dst = d;
        src = s;
        n = bytes;
    }
    void flush()
    {
        if (n == 0)
            return;
        if (src)
            memcpy(dst, src, n);
        else
            memset(dst, fill, n);
        n = 0;
    }
};

// Calls run(offset, n) for every run of set bits of a group (offset from its first column).
template <typename Run>
static inline void maskstore_group_runs(uint32_t bits, Run run)
{
    while (bits) {
        const int s = ppc_cntlze(bits);
        const int n = ppc_cntlze(~(bits << s));
        run(s, n);
        bits = s + n >= 32 ? 0u : bits & (0xFFFFFFFFu >> (s + n));
    }
}

// count 16-bit pixels of value from p.
static inline void maskstore_fill_u16(uint8_t* p, size_t count, uint16_t value)
{
    size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
    const __m128i pattern = _mm_set1_epi16(static_cast<short>(value));
    for (; i + 8 <= count; i += 8)
        maskstore_store(p + 2 * i, pattern);
#endif
    for (; i < count; i++)
        memcpy(p + 2 * i, &value, 2);
}

#if defined(__x86_64__) || defined(__i386__)
// count 16-bit pixels of value from p with 64-byte stores, the last ones masked.
CPU_TARGET_AVX512 static inline void maskstore_fill_u16_wide(uint8_t* p, size_t count, uint16_t value)
{
    const __m512i pattern = _mm512_set1_epi16(static_cast<short>(value));
    size_t i = 0;
    for (; i + 32 <= count; i += 32)
        _mm512_storeu_si512(p + 2 * i, pattern);
    if (i < count)
        _mm512_mask_storeu_epi16(p + 2 * i, static_cast<__mmask32>((1ull << (count - i)) - 1u), pattern);
}
#else
static inline void maskstore_fill_u16_wide(uint8_t* p, size_t count, uint16_t value)
{
    maskstore_fill_u16(p, count, value);
}
#endif

// ---- Coverage rows ----------------------------------------------------------------

// ORs 32 selection bits into a coverage row at column c (c >= 0): the word of c
// and, when c is not on a word boundary and bits reach into it, the next one.
static inline void maskstore_cov_or(uint32_t* row, int c, uint32_t bits)
{
    const int w = c >> 5, sh = c & 31;
    row[w] |= bits >> sh;
    if (sh != 0) {
        const uint32_t rest = bits << (32 - sh);
        if (rest)
            row[w + 1] |= rest;
    }
}
