// Selected stores of 32 pixels at once for the coverage-masked 2D operations
// and the render targets' masked clears: a 32-bit selection word, most
// significant bit first (the coverage-buffer order), picks which of 32 bytes or
// 16-bit pixels are written; the others keep their value. SSE2 everywhere, and
// a wide form (AVX-512 masked stores) for bodies built with MASKSTORE_WIDE on
// processors that have it. Header only; main thread; nothing here fails.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

// The wide bodies are compiled for AVX-512 (byte and word masked stores, bit
// gathers into masks) and flattened, so the helpers below inline into them.
#define MASKSTORE_WIDE __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"), flatten))

// True (the default) lets the masked operations take their wide bodies where
// the processor has them; false keeps every one on SSE2. Both write the same pixels.
inline bool maskstore_wide_enabled = true;

inline bool maskstore_wide()
{
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bitalg");
    return maskstore_wide_enabled && available;
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
__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"))) static inline __mmask32
maskstore_wide_mask(uint32_t bits)
{
    const __m256i order = _mm256_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                          21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm256_bitshuffle_epi64_mask(_mm256_set1_epi64x(static_cast<long long>(bits)), order);
}

__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"))) static inline void
maskstore_fill8_wide(uint8_t* p, uint32_t bits, uint8_t value)
{
    _mm256_mask_storeu_epi8(p, maskstore_wide_mask(bits), _mm256_set1_epi8(static_cast<char>(value)));
}

__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"))) static inline void
maskstore_copy8_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    _mm256_mask_storeu_epi8(p, maskstore_wide_mask(bits), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
}

__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"))) static inline void
maskstore_fill16_wide(uint8_t* p, uint32_t bits, uint16_t value)
{
    _mm512_mask_storeu_epi16(p, maskstore_wide_mask(bits), _mm512_set1_epi16(static_cast<short>(value)));
}

__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512bitalg"))) static inline void
maskstore_copy16_wide(uint8_t* p, const uint8_t* s, uint32_t bits)
{
    _mm512_mask_storeu_epi16(p, maskstore_wide_mask(bits), _mm512_loadu_si512(s));
}

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
