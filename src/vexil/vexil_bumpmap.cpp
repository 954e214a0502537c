#include "vexil/vexil_bumpmap.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/cpu_features.h"
#include "core/ppc.h"
#include "core/saturate.h"
#include "image/n3d_convert.h"
#include "image/n3d_phong.h"
#include "image/texel.h"
#include "vexil/vexil_crash.h"

namespace {

// The clipped work of one call and the lighting set-up shared by both forms.
struct bumpmap_work {
    int dst_x0, dst_y0, dst_x1, dst_y1;
    int src_x0, src_y0;  // the texels drawn at (dst_x0, dst_y0)
    float Lx, Ly;
    float xf_dx, yf_dy;
    float yf0;  // the y coordinate of the first drawn row
    const uint32_t* bump;
    const uint8_t* color;
    const uint16_t* shade_table;
    const uint8_t* lut;
    int bump_w_log2, color_w_log2;
};

// Checks, clipping and light; 0 when nothing is drawn.
int bumpmap_setup(bumpmap_work* k, n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                  int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                  const n3d_phong_lut* phong)
{
    int bw = 1 << bumpmap->w_log2, bh = 1 << bumpmap->h_log2;
    int tw = 1 << texture->w_log2, th = 1 << texture->h_log2;
    if (bw != tw || bh != th) {
        printf("bumpmap must have same width height as texture (%d %d vs %d %d)\n", bw, bh, tw, th);
        fflush(stdout);
        exit(1);
    }
    if (texture->format != N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || !texture->not_swizzled)
        VEXIL_BUMPMAP_CRASH("color texture must not be swizzled (is swizzled: %d) with format "
                            "N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 (is: %d)\n",
                            texture->not_swizzled ? 0 : 1, texture->format);
    if (bumpmap->format != N3D_TEXEL_FORMAT_BUMPMAP || !bumpmap->not_swizzled)
        VEXIL_BUMPMAP_CRASH("bumpmap texture must not be swizzled (is swizzled: %d) with format "
                            "N3D_TEXEL_FORMAT_BUMPMAP (is: %d)\n",
                            bumpmap->not_swizzled ? 0 : 1, bumpmap->format);
    if (fb->format != N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555)
        VEXIL_BUMPMAP_CRASH("bumpmap target must be ARGB1555 (format %d)\n", fb->format);
    // Texel addresses combine row and column with a bitwise or: a window outside
    // the textures would read other texels or past the end.
    if (src_x0 < 0 || src_y0 < 0 || src_x1 < src_x0 || src_y1 < src_y0 || src_x1 > tw || src_y1 > th)
        VEXIL_BUMPMAP_CRASH("bumpmap source window (%d %d)-(%d %d) is outside the %dx%d textures\n", src_x0, src_y0,
                            src_x1, src_y1, tw, th);
    if (!texture->shade_table)
        VEXIL_BUMPMAP_CRASH("color texture has no shade table\n");

    // The step keeps the full window's, whatever is clipped.
    k->xf_dx = 2.0f / (float)(src_x1 - src_x0 - 1);
    k->yf_dy = 2.0f / (float)(src_y1 - src_y0 - 1);
    k->yf0 = -1.0f;
    if (dst_x0 < 0) {
        src_x0 = sat_int64_to_int((int64_t)src_x0 - dst_x0);
        dst_x0 = 0;
    }
    // The top edge is clipped like the left one; the rows keep their y coordinate,
    // the one the unclipped drawing reaches by adding the step row by row (a
    // product would round otherwise). At most the window's height of steps.
    if (dst_y0 < 0) {
        int64_t skip = -(int64_t)dst_y0;
        if (skip >= (int64_t)src_y1 - src_y0)
            return 0;
        src_y0 = (int)(src_y0 + skip);
        for (int64_t i = 0; i < skip; i++)
            k->yf0 += k->yf_dy;
        dst_y0 = 0;
    }
    k->dst_x0 = dst_x0;
    k->dst_y0 = dst_y0;
    k->dst_x1 = (int)sat_clamp<int64_t>((int64_t)dst_x0 + src_x1 - src_x0, INT32_MIN, fb->w);
    k->dst_y1 = (int)sat_clamp<int64_t>((int64_t)dst_y0 + src_y1 - src_y0, INT32_MIN, fb->h);
    if (k->dst_x1 <= k->dst_x0 || k->dst_y1 <= k->dst_y0)
        return 0;
    k->src_x0 = src_x0;
    k->src_y0 = src_y0;
    k->Lx = (float)(1.5 * sin(0.2 * LINMATH_PI * (double)t));
    k->Ly = (float)(1.5 * cos(0.4 * LINMATH_PI * (double)t));
    k->bump = reinterpret_cast<const uint32_t*>(bumpmap->mips[0]);
    k->color = texture->mips[0];
    k->shade_table = static_cast<const uint16_t*>(texture->shade_table);
    k->lut = phong->lut;
    k->bump_w_log2 = bumpmap->w_log2;
    k->color_w_log2 = texture->w_log2;
    return 1;
}

// The pixel at source (u, v) with the window coordinates (xf, yf).
inline uint16_t bumpmap_pixel(const bumpmap_work* k, uint32_t u, uint32_t v, float xf, float yf)
{
    uint32_t n = k->bump[(v << k->bump_w_log2) | u];
    float normal_x = (float)(int8_t)(uint8_t)(n >> 24);
    float normal_y = (float)(int8_t)(uint8_t)(n >> 16);
    float base = (float)(n & 0xffu);
    float dx = k->Lx - xf, dy = k->Ly - yf;
    float r = ppc_frsqrte(dx * dx + dy * dy);
    float lx = dx * r, ly = dy * r;
    float kk = ppc_frsqrte(lx * lx + ly * ly + 1.0f);
    float nx = lx * kk, ny = ly * kk;
    int A = ppc_round_float_to_int(128.0f * sat_clamp(64.0f * r - 1.0f, 0.0f, 1.0f));
    // The light exactly on a pixel gives r = inf and NaN directions: those pixels end dark, never undefined.
    int s = sat_float_to_int(base + 2.0f * nx * normal_x + 2.0f * ny * normal_y, -127, 127, -127);
    int i = sat_float_to_int(-127.0f * (nx * nx + ny * ny), -256, 0, 0) + s + (A < 0 ? 0 : A);
    i = sat_clamp(i, 0, 255);
    uint32_t level = k->lut[i];
    return k->shade_table[((uint32_t)k->color[(v << k->color_w_log2) | u] << 5) | level];
}

// The light terms of one run of pixels (at most BUMPMAP_RUN), which depend on the
// window coordinates only: r, and the normalised light direction (nx, ny).
#define BUMPMAP_RUN 256

struct bumpmap_terms {
    float r[BUMPMAP_RUN], nx[BUMPMAP_RUN], ny[BUMPMAP_RUN];
    int add[BUMPMAP_RUN];  // (int)(-127 (nx^2 + ny^2)) + A: the part of the index the texel does not change
};

inline void bumpmap_terms_one(bumpmap_terms* o, int k, float dx, float dy)
{
    float r = ppc_frsqrte(dx * dx + dy * dy);
    float lx = dx * r, ly = dy * r;
    float kk = ppc_frsqrte(lx * lx + ly * ly + 1.0f);
    o->r[k] = r;
    o->nx[k] = lx * kk;
    o->ny[k] = ly * kk;
}

#if defined(__SSE2__)
// 1 / sqrt(x) in double precision rounded to float, four lanes: the same roundings
// as ppc_frsqrte.
inline __m128 bumpmap_frsqrte4(__m128 x)
{
    const __m128d one = _mm_set1_pd(1.0);
    __m128d lo = _mm_div_pd(one, _mm_sqrt_pd(_mm_cvtps_pd(x)));
    __m128d hi = _mm_div_pd(one, _mm_sqrt_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x))));
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}
#endif

#if defined(__x86_64__) || defined(__i386__)
CPU_TARGET_AVX2 __attribute__((always_inline)) inline __m256 bumpmap_frsqrte8(__m256 x)
{
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d lo = _mm256_div_pd(one, _mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x))));
    __m256d hi = _mm256_div_pd(one, _mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1))));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
}

// Eight lanes (AVX instructions) at the AVX2 level: the same operations, so the same bits.
CPU_TARGET_AVX2 int bumpmap_terms_run_avx(bumpmap_terms* o, const float* xf, int n, float Lx, float dy)
{
    const __m256 vLx = _mm256_set1_ps(Lx), vdy = _mm256_set1_ps(dy), one = _mm256_set1_ps(1.0f);
    const __m256 dy2 = _mm256_mul_ps(vdy, vdy);
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        __m256 dx = _mm256_sub_ps(vLx, _mm256_loadu_ps(xf + k));
        __m256 r = bumpmap_frsqrte8(_mm256_add_ps(_mm256_mul_ps(dx, dx), dy2));
        __m256 lx = _mm256_mul_ps(dx, r), ly = _mm256_mul_ps(vdy, r);
        __m256 kk = bumpmap_frsqrte8(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(lx, lx), _mm256_mul_ps(ly, ly)), one));
        _mm256_storeu_ps(o->r + k, r);
        _mm256_storeu_ps(o->nx + k, _mm256_mul_ps(lx, kk));
        _mm256_storeu_ps(o->ny + k, _mm256_mul_ps(ly, kk));
    }
    return k;
}
#endif

// Terms for n pixels whose x coordinates are in xf; every product and sum in the
// scalar formula's order (no fused multiply-add), so every path gives the same bits.
void bumpmap_terms_run(bumpmap_terms* o, const float* xf, int n, float Lx, float dy)
{
    int k = 0;
    [[maybe_unused]] const int level = cpu_level();
#if defined(__x86_64__) || defined(__i386__)
    if (level >= CPU_LEVEL_AVX2)
        k = bumpmap_terms_run_avx(o, xf, n, Lx, dy);
#endif
#if defined(__SSE2__)
    const int n4 = level >= CPU_LEVEL_SSE2 ? n : 0;  // the four-lane part: none at the scalar level
    const __m128 vLx = _mm_set1_ps(Lx), vdy = _mm_set1_ps(dy), dy2 = _mm_mul_ps(vdy, vdy), one = _mm_set1_ps(1.0f);
    for (; k + 4 <= n4; k += 4) {
        __m128 dx = _mm_sub_ps(vLx, _mm_loadu_ps(xf + k));  // after the eight-lane part, at most one step
        __m128 r = bumpmap_frsqrte4(_mm_add_ps(_mm_mul_ps(dx, dx), dy2));
        __m128 lx = _mm_mul_ps(dx, r), ly = _mm_mul_ps(vdy, r);
        __m128 kk = bumpmap_frsqrte4(_mm_add_ps(_mm_add_ps(_mm_mul_ps(lx, lx), _mm_mul_ps(ly, ly)), one));
        _mm_storeu_ps(o->r + k, r);
        _mm_storeu_ps(o->nx + k, _mm_mul_ps(lx, kk));
        _mm_storeu_ps(o->ny + k, _mm_mul_ps(ly, kk));
    }
#endif
    for (; k < n; k++)
        bumpmap_terms_one(o, k, Lx - xf[k], dy);
    // Without branches, and as the checked conversions give it: a NaN r gives A = 0,
    // a NaN direction adds 0; A is 128 c rounded half up, c in 0..1.
    for (k = 0; k < n; k++) {
        const float nx = o->nx[k], ny = o->ny[k];
        float c = 64.0f * o->r[k] - 1.0f;
        c = c > 0.0f ? c : 0.0f;
        c = c < 1.0f ? c : 1.0f;
        float a = 128.0f * c;
        int A = (int)a;
        A += (a - (float)A) >= 0.5f;
        float q = -127.0f * (nx * nx + ny * ny);
        q = q < 0.0f ? q : 0.0f;
        q = q > -256.0f ? q : -256.0f;
        o->add[k] = (int)q + A;
    }
}

// The pixel at source column u of a row (its bump and colour texels given) from
// the light terms of its column. Arguments by value: the pixel stores may alias
// anything, so nothing is read back through a pointer after them.
inline uint16_t bumpmap_pixel_terms(const uint32_t* bump_row, const uint8_t* color_row, const uint8_t* lut,
                                    const uint16_t* shade_table, uint32_t u, float nx, float ny, int add)
{
    uint32_t n = bump_row[u];
    float normal_x = (float)(int8_t)(uint8_t)(n >> 24);
    float normal_y = (float)(int8_t)(uint8_t)(n >> 16);
    float base = (float)(n & 0xffu);
    // Limited to -127..127 (NaN gives -127) and truncated, without a branch.
    float f = base + 2.0f * nx * normal_x + 2.0f * ny * normal_y;
#if defined(__SSE2__)
    // maxss gives its second operand for a NaN.
    __m128 c = _mm_min_ss(_mm_max_ss(_mm_set_ss(f), _mm_set_ss(-127.0f)), _mm_set_ss(127.0f));
    int i = add + _mm_cvttss_si32(c);
#else
    f = f > -127.0f ? f : -127.0f;
    f = f < 127.0f ? f : 127.0f;
    int i = add + (int)f;
#endif
    i = i < 0 ? 0 : i;
    i = i > 255 ? 255 : i;
    return shade_table[((uint32_t)color_row[u] << 5) | lut[i]];
}

#if defined(__x86_64__) || defined(__i386__)
// The whole window 16 pixels a step with AVX-512: the light terms and the texel
// part of the formula in the scalar path's order of operations (no fused
// multiply-add, the same clamps for NaN), the phong level by byte permutes over the
// table's 256 entries, the shaded colour by a gather of the 32-bit pair it lies in.
#define BUMPMAP_X16 CPU_TARGET_AVX512
#define BUMPMAP_X16_INLINE CPU_TARGET_AVX512 __attribute__((always_inline))

// The compiler's own intrinsics for the 512-bit conversions start from an
// undefined register, which its flow analysis reports as a maybe-uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

BUMPMAP_X16_INLINE inline __m512 bumpmap_frsqrte16(__m512 x)
{
    const __m512d one = _mm512_set1_pd(1.0);
    __m512d lo = _mm512_div_pd(one, _mm512_sqrt_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(x))));
    __m512d hi = _mm512_div_pd(
        one, _mm512_sqrt_pd(_mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)))));
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
}

// 1 / sqrt(x) for the lanes where it is quick to be sure of the bits: an estimate
// refined twice by Newton's step in double precision lies within 2^-49 of
// ppc_frsqrte's double result, so where moving it by 2^-44 either way rounds to the
// same float, that float is ppc_frsqrte's. *sure has a bit for each such lane; the
// rest (about one in a million, and 0, infinity and NaN) take the exact form.
BUMPMAP_X16_INLINE inline __m256 bumpmap_frsqrte8_quick(__m256 x, __mmask8* sure)
{
    const __m512d xd = _mm512_cvtps_pd(x);
    const __m512d hx = _mm512_mul_pd(_mm512_set1_pd(0.5), xd);
    const __m512d three_halves = _mm512_set1_pd(1.5);
    __m512d y = _mm512_rsqrt14_pd(xd);
    y = _mm512_mul_pd(y, _mm512_sub_pd(three_halves, _mm512_mul_pd(_mm512_mul_pd(hx, y), y)));
    y = _mm512_mul_pd(y, _mm512_sub_pd(three_halves, _mm512_mul_pd(_mm512_mul_pd(hx, y), y)));
    const __m256 f = _mm512_cvtpd_ps(y);
    const __m256 below = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(1.0 - 0x1p-44)));
    const __m256 above = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(1.0 + 0x1p-44)));
    *sure = _mm256_cmp_ps_mask(f, below, _CMP_EQ_OQ) & _mm256_cmp_ps_mask(f, above, _CMP_EQ_OQ);
    return f;
}

BUMPMAP_X16_INLINE inline __m512 bumpmap_frsqrte16_quick(__m512 x)
{
    __mmask8 sure_lo, sure_hi;
    const __m256 lo = bumpmap_frsqrte8_quick(_mm512_castps512_ps256(x), &sure_lo);
    const __m256 hi =
        bumpmap_frsqrte8_quick(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)), &sure_hi);
    const __m512 r = _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
    const __mmask16 sure = (__mmask16)(sure_lo | (unsigned)sure_hi << 8);
    return sure == 0xffff ? r : _mm512_mask_blend_ps(sure, bumpmap_frsqrte16(x), r);
}

// The columns of the window drawn together, row after row (their x coordinates
// are the same in every row).
constexpr int BUMPMAP_X16_COLUMNS = 512;
constexpr int BUMPMAP_KK_TABLE = 32;

BUMPMAP_X16 void bumpmap_draw_x16(const bumpmap_work* k, n3d_framebuffer* fb)
{
    const int w = k->dst_x1 - k->dst_x0;
    alignas(64) float xf_col[BUMPMAP_X16_COLUMNS];
    // A row's light terms: 2 nx, 2 ny and the part of the level index the texel does not change.
    alignas(64) float nx2_col[BUMPMAP_X16_COLUMNS], ny2_col[BUMPMAP_X16_COLUMNS];
    alignas(64) int32_t add_col[BUMPMAP_X16_COLUMNS];
    const __m512i lut0 = _mm512_loadu_si512(k->lut), lut1 = _mm512_loadu_si512(k->lut + 64);
    const __m512i lut2 = _mm512_loadu_si512(k->lut + 128), lut3 = _mm512_loadu_si512(k->lut + 192);
    const __m512 vLx = _mm512_set1_ps(k->Lx), one = _mm512_set1_ps(1.0f), zero = _mm512_setzero_ps();
    const __m512i one_i = _mm512_set1_epi32(1);
    const __m512 two = _mm512_set1_ps(2.0f);
    // 1 / sqrt of the BUMPMAP_KK_TABLE floats around 2, exactly as the scalar path computes it.
    alignas(64) float kk_table[BUMPMAP_KK_TABLE];
    const uint32_t first = std::bit_cast<uint32_t>(2.0f) - BUMPMAP_KK_TABLE / 2;
    for (int i = 0; i < BUMPMAP_KK_TABLE; i++)
        kk_table[i] = ppc_frsqrte(std::bit_cast<float>(first + (uint32_t)i));
    const __m512 kk_table0 = _mm512_load_ps(kk_table), kk_table1 = _mm512_load_ps(kk_table + 16);
    const __m512i near_two = _mm512_set1_epi32((int)first);
    float xf = -0.1f;  // not -1: the documented start of every row
    for (int c0 = 0; c0 < w; c0 += BUMPMAP_X16_COLUMNS) {
        const int n = w - c0 < BUMPMAP_X16_COLUMNS ? w - c0 : BUMPMAP_X16_COLUMNS;
        for (int i = 0; i < n; i++, xf += k->xf_dx)
            xf_col[i] = xf;
        float yf = k->yf0;
        for (int y = k->dst_y0; y < k->dst_y1; y++, yf += k->yf_dy) {
            const size_t v = (size_t)(k->src_y0 + (y - k->dst_y0));
            const uint32_t* bump_row = k->bump + (v << k->bump_w_log2) + k->src_x0 + c0;
            const uint8_t* color_row = k->color + (v << k->color_w_log2) + k->src_x0 + c0;
            uint8_t* out = static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes + (size_t)(k->dst_x0 + c0) * 2;
            const float dy = k->Ly - yf;
            const __m512 vdy = _mm512_set1_ps(dy), dy2 = _mm512_set1_ps(dy * dy);
            for (int i = 0; i < n; i += 16) {
                const __mmask16 m = n - i >= 16 ? (__mmask16)0xffff : (__mmask16)((1u << (n - i)) - 1u);
                // The light terms.
                const __m512 dx = _mm512_sub_ps(vLx, _mm512_maskz_loadu_ps(m, xf_col + i));
                const __m512 r = bumpmap_frsqrte16_quick(_mm512_add_ps(_mm512_mul_ps(dx, dx), dy2));
                const __m512 lx = _mm512_mul_ps(dx, r), ly = _mm512_mul_ps(vdy, r);
                const __m512 ks = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(lx, lx), _mm512_mul_ps(ly, ly)), one);
                // ks is 2 give or take a few units in the last place wherever the
                // light is not on the pixel: its 1 / sqrt comes from the table there.
                const __m512i kt = _mm512_sub_epi32(_mm512_castps_si512(ks), near_two);
                const __mmask16 in_table = _mm512_cmplt_epu32_mask(kt, _mm512_set1_epi32(BUMPMAP_KK_TABLE));
                __m512 kk = _mm512_permutex2var_ps(kk_table0, kt, kk_table1);
                if (in_table != 0xffff)
                    kk = _mm512_mask_blend_ps(in_table, bumpmap_frsqrte16(ks), kk);
                const __m512 nx = _mm512_mul_ps(lx, kk), ny = _mm512_mul_ps(ly, kk);
                // A = 128 c rounded half up, c = 64 r - 1 limited to 0..1 (NaN gives 0).
                __m512 c = _mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(64.0f), r), one);
                c = _mm512_min_ps(_mm512_max_ps(c, zero), one);
                const __m512 a = _mm512_mul_ps(_mm512_set1_ps(128.0f), c);
                __m512i A = _mm512_cvttps_epi32(a);
                const __mmask16 up =
                    _mm512_cmp_ps_mask(_mm512_sub_ps(a, _mm512_cvtepi32_ps(A)), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
                A = _mm512_mask_add_epi32(A, up, A, one_i);
                // -127 (nx^2 + ny^2) limited to -256..0 (NaN gives 0).
                __m512 q =
                    _mm512_mul_ps(_mm512_set1_ps(-127.0f), _mm512_add_ps(_mm512_mul_ps(nx, nx), _mm512_mul_ps(ny, ny)));
                q = _mm512_max_ps(_mm512_min_ps(q, zero), _mm512_set1_ps(-256.0f));
                const __m512i add = _mm512_add_epi32(_mm512_cvttps_epi32(q), A);
                _mm512_store_ps(nx2_col + i, _mm512_mul_ps(two, nx));
                _mm512_store_ps(ny2_col + i, _mm512_mul_ps(two, ny));
                _mm512_store_si512(add_col + i, add);
            }
            // The texels, in a loop of their own: each loop's chain of dependent
            // steps is short enough for the processor to overlap several steps.
            for (int i = 0; i < n; i += 16) {
                const __mmask16 m = n - i >= 16 ? (__mmask16)0xffff : (__mmask16)((1u << (n - i)) - 1u);
                const __m512 nx2 = _mm512_load_ps(nx2_col + i), ny2 = _mm512_load_ps(ny2_col + i);
                const __m512i add = _mm512_load_si512(add_col + i);
                const __m512i nb = _mm512_maskz_loadu_epi32(m, bump_row + i);
                const __m512 normal_x = _mm512_cvtepi32_ps(_mm512_srai_epi32(nb, 24));
                const __m512 normal_y = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(nb, 8), 24));
                const __m512 base = _mm512_cvtepi32_ps(_mm512_and_si512(nb, _mm512_set1_epi32(0xff)));
                __m512 f = _mm512_add_ps(base, _mm512_mul_ps(nx2, normal_x));
                f = _mm512_add_ps(f, _mm512_mul_ps(ny2, normal_y));
                // max gives its second operand for a NaN, as in the scalar path.
                f = _mm512_min_ps(_mm512_max_ps(f, _mm512_set1_ps(-127.0f)), _mm512_set1_ps(127.0f));
                __m512i li = _mm512_add_epi32(add, _mm512_cvttps_epi32(f));
                li = _mm512_min_epi32(_mm512_max_epi32(li, _mm512_setzero_si512()), _mm512_set1_epi32(255));
                // lut[li]: the low seven bits pick in each half of the table, bit 7 the half.
                const __m512i lb = _mm512_castsi128_si512(_mm512_cvtepi32_epi8(li));
                const __m512i lo = _mm512_permutex2var_epi8(lut0, lb, lut1);
                const __m512i hi = _mm512_permutex2var_epi8(lut2, lb, lut3);
                const __m512i level = _mm512_cvtepu8_epi32(
                    _mm512_castsi512_si128(_mm512_mask_blend_epi8(_mm512_movepi8_mask(lb), lo, hi)));
                const __m512i color = _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(m, color_row + i));
                const __m512i idx = _mm512_or_si512(_mm512_slli_epi32(color, 5), level);
                __m512i shade = _mm512_i32gather_epi32(_mm512_srli_epi32(idx, 1), k->shade_table, 4);
                shade = _mm512_srlv_epi32(shade, _mm512_slli_epi32(_mm512_and_si512(idx, one_i), 4));
                _mm256_mask_storeu_epi16(out + 2 * i, m, _mm512_cvtepi32_epi16(shade));
            }
        }
    }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void vexil_bumpmap_argb1555(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0, int src_x1,
                            int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                            const n3d_phong_lut* phong)
{
    bumpmap_work k;
    if (!bumpmap_setup(&k, fb, t, dst_x0, dst_y0, src_x0, src_y0, src_x1, src_y1, bumpmap, texture, phong))
        return;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_level() >= CPU_LEVEL_AVX512) {
        bumpmap_draw_x16(&k, fb);
        return;
    }
#endif
    const int w = k.dst_x1 - k.dst_x0;
    float xf_row[BUMPMAP_RUN];
    bumpmap_terms terms;
    float yf = k.yf0;
    for (int y = k.dst_y0; y < k.dst_y1; y++, yf += k.yf_dy) {
        const uint32_t v = (uint32_t)(k.src_y0 + (y - k.dst_y0));
        uint8_t* dst = static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes + (size_t)k.dst_x0 * 2;
        const float dy = k.Ly - yf;
        float xf = -0.1f;  // not -1: the documented start of every row
        // A lone first pixel when the row does not start on a 4-byte boundary, then
        // pairs in one 32-bit store (the left pixel at the lower address), then a lone last one.
        const int lead = ((uintptr_t)dst & 3u) != 0 ? 1 : 0;
        // Runs after the first start where a pair does (the first is one short with a lone pixel).
        for (int run0 = 0; run0 < w;) {
            const int len = run0 == 0 && lead ? BUMPMAP_RUN - 1 : BUMPMAP_RUN;
            const int n = w - run0 < len ? w - run0 : len;
            for (int i = 0; i < n; i++, xf += k.xf_dx)
                xf_row[i] = xf;
            bumpmap_terms_run(&terms, xf_row, n, k.Lx, dy);
            const uint32_t* bump_row = k.bump + ((size_t)v << k.bump_w_log2) + k.src_x0 + run0;
            const uint8_t* color_row = k.color + ((size_t)v << k.color_w_log2) + k.src_x0 + run0;
            const uint8_t* lut = k.lut;
            const uint16_t* shades = k.shade_table;
            uint8_t* out = dst + 2 * run0;
            auto pixel = [&](int c) {
                return bumpmap_pixel_terms(bump_row, color_row, lut, shades, (uint32_t)c, terms.nx[c], terms.ny[c],
                                           terms.add[c]);
            };
            int i = 0;
            if (run0 == 0 && lead) {
                uint16_t p = pixel(0);
                memcpy(out, &p, 2);
                i = 1;
            }
            for (; i + 1 < n; i += 2) {
                uint16_t pair[2] = {pixel(i), pixel(i + 1)};
                memcpy(out + 2 * i, pair, 4);
            }
            if (i < n) {
                uint16_t p = pixel(i);
                memcpy(out + 2 * i, &p, 2);
            }
            run0 += n;
        }
    }
}

void vexil_bumpmap_argb1555_old(n3d_framebuffer* fb, float t, int dst_x0, int dst_y0, int src_x0, int src_y0,
                                int src_x1, int src_y1, const n3d_texture* bumpmap, const n3d_texture* texture,
                                const n3d_phong_lut* phong)
{
    bumpmap_work k;
    if (!bumpmap_setup(&k, fb, t, dst_x0, dst_y0, src_x0, src_y0, src_x1, src_y1, bumpmap, texture, phong))
        return;
    float yf = k.yf0;
    for (int y = k.dst_y0; y < k.dst_y1; y++, yf += k.yf_dy) {
        const uint32_t v = (uint32_t)(k.src_y0 + (y - k.dst_y0));
        uint16_t* dst = reinterpret_cast<uint16_t*>(static_cast<uint8_t*>(fb->b) + (size_t)y * fb->row_bytes);
        float xf = -1.0f;
        uint32_t u = (uint32_t)k.src_x0;
        for (int x = k.dst_x0; x < k.dst_x1; x++, u++, xf += k.xf_dx)
            dst[x] = bumpmap_pixel(&k, u, v, xf, yf);
    }
}
