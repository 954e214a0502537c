#include "image/texel.h"

#include <cfloat>
#include <cmath>

#include "core/crash.h"
#include "core/saturate.h"

// Written out to six decimals so every build holds the same thresholds.
const float g_n3d_convert_table_5bit_srgb_to_linear[32] = {
    0.000000f, 0.002497f, 0.005371f, 0.009529f, 0.015134f, 0.022299f, 0.031130f, 0.041723f,
    0.054165f, 0.068538f, 0.084921f, 0.103387f, 0.124004f, 0.146839f, 0.171956f, 0.199415f,
    0.229275f, 0.261592f, 0.296421f, 0.333816f, 0.373826f, 0.416503f, 0.461894f, 0.510046f,
    0.561007f, 0.614820f, 0.671530f, 0.731180f, 0.793811f, 0.859464f, 0.928181f, 1.000000f,
};

const float n3d_table_linear_to_srgb5bit[32] = {
    0.000000f, 0.002276f, 0.004976f, 0.008848f, 0.014069f, 0.020749f, 0.028987f, 0.038870f,
    0.050482f, 0.063900f, 0.079197f, 0.096440f, 0.115695f, 0.137024f, 0.160486f, 0.186138f,
    0.214036f, 0.244231f, 0.276775f, 0.311718f, 0.349108f, 0.388990f, 0.431411f, 0.476415f,
    0.524045f, 0.574342f, 0.627349f, 0.683104f, 0.741648f, 0.803019f, 0.867255f, 0.934392f,
};

const float n3d_table_linear_to_srgb8bit[256] = {
    0.000000f, 0.000152f, 0.000455f, 0.000759f, 0.001062f, 0.001366f, 0.001669f, 0.001973f, 0.002276f, 0.002580f,
    0.002884f, 0.003188f, 0.003509f, 0.003848f, 0.004205f, 0.004581f, 0.004976f, 0.005391f, 0.005824f, 0.006277f,
    0.006751f, 0.007244f, 0.007758f, 0.008292f, 0.008848f, 0.009424f, 0.010022f, 0.010641f, 0.011283f, 0.011946f,
    0.012631f, 0.013339f, 0.014069f, 0.014822f, 0.015598f, 0.016398f, 0.017221f, 0.018067f, 0.018937f, 0.019831f,
    0.020749f, 0.021692f, 0.022659f, 0.023651f, 0.024668f, 0.025709f, 0.026776f, 0.027869f, 0.028987f, 0.030130f,
    0.031300f, 0.032495f, 0.033717f, 0.034965f, 0.036240f, 0.037542f, 0.038870f, 0.040225f, 0.041608f, 0.043018f,
    0.044455f, 0.045920f, 0.047413f, 0.048933f, 0.050482f, 0.052059f, 0.053664f, 0.055298f, 0.056961f, 0.058652f,
    0.060372f, 0.062122f, 0.063900f, 0.065708f, 0.067545f, 0.069412f, 0.071309f, 0.073236f, 0.075193f, 0.077179f,
    0.079197f, 0.081244f, 0.083322f, 0.085431f, 0.087571f, 0.089741f, 0.091943f, 0.094176f, 0.096440f, 0.098735f,
    0.101063f, 0.103421f, 0.105812f, 0.108235f, 0.110689f, 0.113176f, 0.115695f, 0.118246f, 0.120830f, 0.123447f,
    0.126096f, 0.128779f, 0.131494f, 0.134242f, 0.137024f, 0.139839f, 0.142687f, 0.145569f, 0.148485f, 0.151434f,
    0.154417f, 0.157435f, 0.160486f, 0.163572f, 0.166692f, 0.169846f, 0.173035f, 0.176259f, 0.179517f, 0.182810f,
    0.186138f, 0.189502f, 0.192900f, 0.196334f, 0.199803f, 0.203308f, 0.206848f, 0.210424f, 0.214036f, 0.217684f,
    0.221367f, 0.225087f, 0.228843f, 0.232635f, 0.236464f, 0.240329f, 0.244231f, 0.248170f, 0.252145f, 0.256157f,
    0.260207f, 0.264293f, 0.268416f, 0.272577f, 0.276775f, 0.281011f, 0.285284f, 0.289595f, 0.293944f, 0.298331f,
    0.302755f, 0.307218f, 0.311718f, 0.316257f, 0.320834f, 0.325450f, 0.330104f, 0.334797f, 0.339528f, 0.344299f,
    0.349108f, 0.353956f, 0.358843f, 0.363769f, 0.368734f, 0.373739f, 0.378783f, 0.383867f, 0.388990f, 0.394153f,
    0.399356f, 0.404598f, 0.409881f, 0.415203f, 0.420566f, 0.425968f, 0.431411f, 0.436895f, 0.442418f, 0.447983f,
    0.453588f, 0.459233f, 0.464920f, 0.470647f, 0.476415f, 0.482224f, 0.488075f, 0.493966f, 0.499899f, 0.505873f,
    0.511889f, 0.517946f, 0.524045f, 0.530185f, 0.536367f, 0.542591f, 0.548857f, 0.555165f, 0.561515f, 0.567908f,
    0.574342f, 0.580819f, 0.587338f, 0.593900f, 0.600504f, 0.607151f, 0.613841f, 0.620573f, 0.627349f, 0.634167f,
    0.641028f, 0.647933f, 0.654880f, 0.661871f, 0.668905f, 0.675983f, 0.683104f, 0.690269f, 0.697477f, 0.704729f,
    0.712025f, 0.719365f, 0.726749f, 0.734176f, 0.741648f, 0.749164f, 0.756724f, 0.764329f, 0.771978f, 0.779671f,
    0.787409f, 0.795192f, 0.803019f, 0.810891f, 0.818808f, 0.826770f, 0.834776f, 0.842828f, 0.850925f, 0.859067f,
    0.867255f, 0.875487f, 0.883765f, 0.892089f, 0.900458f, 0.908873f, 0.917333f, 0.925839f, 0.934392f, 0.942990f,
    0.951633f, 0.960323f, 0.969060f, 0.977842f, 0.986670f, 0.995545f,
};

// Every float-to-integer step of this module saturates (core/saturate.h):
// NaN and values below the range give its low end.

// ---- swizzled layout -------------------------------------------------------

void n3d_unswizzle_offset_16bpp(uint32_t offset, uint32_t* out_u, uint32_t* out_v)
{
    *out_u = ((offset >> 3) & 63u) | ((offset >> 15) & 3u) << 6;
    *out_v = ((offset >> 1) & 3u) | ((offset >> 9) & 63u) << 2;
}

void n3d_unswizzle_offset_8bpp(uint32_t offset, uint32_t* out_u, uint32_t* out_v)
{
    n3d_unswizzle_offset_16bpp(offset * 2u, out_u, out_v);
}

// Mip levels beyond 2^15 texels a side cannot be addressed by any format here
// and would overflow the shifts below.
#define N3D_MIP_LEVEL_MAX 15

uint32_t n3d_mipmap_size(int texture_format, int swizzle, int u_level, int v_level)
{
    if (u_level < 0 || v_level < 0 || u_level > N3D_MIP_LEVEL_MAX || v_level > N3D_MIP_LEVEL_MAX)
        n3d_crash("src/n3d_convert", __LINE__, "bad mip level %d x %d\n", u_level, v_level);
    uint32_t w = 1u << u_level;
    uint32_t h = 1u << v_level;
    if (swizzle) {
        switch (texture_format) {
        case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555:
        case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
            return n3d_swizzle_size_8bpp(w - 1u, h - 1u);
        case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555:
            return n3d_swizzle_size_16bpp(w - 1u, h - 1u);
        default:
            n3d_crash("src/n3d_convert", __LINE__, "not implemented texture format %d\n", texture_format);
        }
    }
    uint32_t bytes_per_texel = 0;
    switch (texture_format) {
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555:
    case N3D_TEXEL_FORMAT_INDEX8_DISPLAY_INDEX8:
        bytes_per_texel = 1;
        break;
    case N3D_TEXEL_FORMAT_ARGB1555_DISPLAY_ARGB1555:
        bytes_per_texel = 2;
        break;
    case N3D_TEXEL_FORMAT_BUMPMAP:
        bytes_per_texel = 4;
        break;
    default:
        mycrash("src/n3d_convert", __LINE__, "", "bad N3D_TEXEL_FORMAT %d?\n", texture_format);
    }
    return bytes_per_texel * w * h;
}

uint32_t n3d_texel_index(int texture_format, int texture_width_log2, int swizzled, uint32_t u, uint32_t v)
{
    if (texture_format < N3D_TEXEL_FORMAT_INDEX8_DISPLAY_ARGB1555 || texture_format > N3D_TEXEL_FORMAT_BUMPMAP)
        n3d_crash("src/n3d_convert", __LINE__, "not implemented texture format %d\n", texture_format);
    if (swizzled)
        return n3d_swizzle_index_16bpp(u, v);
    return (v << (static_cast<uint32_t>(texture_width_log2) & 31u)) | u;
}

// ---- float colour functions ------------------------------------------------

void vec4_rgba_blend(vec4 result_linear_pma, const vec4 a_linear_pma, const vec4 b_linear_pma)
{
    float inv_b = 1.0f - b_linear_pma[3];
    vec4 r;
    for (int i = 0; i < 4; ++i)
        r[i] = b_linear_pma[i] + a_linear_pma[i] * inv_b;
    for (int i = 0; i < 4; ++i)
        result_linear_pma[i] = r[i];
}

void vec4_rgba_pma(vec4 r, const vec4 rgba)
{
    float a = rgba[3];
    r[0] = rgba[0] * a;
    r[1] = rgba[1] * a;
    r[2] = rgba[2] * a;
    r[3] = a;
}

void vec4_scale1to255_rgba_to_rgba8(uint8_t out_rgba[4], const vec4 rgba)
{
    for (int i = 0; i < 4; ++i)
        out_rgba[i] = static_cast<uint8_t>(sat_float_to_int(rgba[i] * 255.0f, 0, 255, 0));
}

// Encode exponent 0.41666 rather than 1/2.4: the stored tables and every
// texture built so far were made with it.
static float srgb_from_linear_f(float x)
{
    if (std::isnan(x))
        return 0.0f;
    if (x > 1.0f)
        return 1.0f;
    if (x <= 0.0f)
        return 0.0f;
    if (x < 0.0031308f)
        return 12.92f * x;
    if (x < 1.0f)
        return 1.055f * powf(x, 0.41666f) - 0.055f;
    return 1.0f;
}

static float srgb_to_linear_f(float s)
{
    if (s < 0.0f)
        return 0.0f;
    if (s > 1.0f)
        return 1.0f;
    if (s <= 0.04045f)
        return s / 12.92f;
    return powf((s + 0.055f) / 1.055f, 2.4f);
}

void vec4_srgb_from_linear(vec4 srgb, const vec4 linear)
{
    float a = linear[3];
    for (int i = 0; i < 3; ++i)
        srgb[i] = srgb_from_linear_f(linear[i]);
    srgb[3] = a;
}

void vec4_srgb_to_linear(vec4 linear, const vec4 srgb)
{
    float a = srgb[3];
    for (int i = 0; i < 3; ++i)
        linear[i] = srgb_to_linear_f(srgb[i]);
    linear[3] = a;
}

void vec4_rgba8_to_rgba(vec4 rgbaf, const uint8_t rgba8[4])
{
    for (int i = 0; i < 4; ++i)
        rgbaf[i] = static_cast<float>(rgba8[i] / 255.0);
}

void vec4_linear_from_srgb_a_u8(vec4 x, uint8_t r, uint8_t g, uint8_t b, uint8_t a)
{
    const uint8_t bytes[4] = {r, g, b, a};
    vec4 srgba;
    vec4_rgba8_to_rgba(srgba, bytes);
    vec4_srgb_to_linear(x, srgba);
}

void vec4_linear_from_srgba8888(vec4 x, uint32_t rgba8888)
{
    vec4_linear_from_srgb_a_u8(x, static_cast<uint8_t>(rgba8888 >> 24), static_cast<uint8_t>(rgba8888 >> 16),
                               static_cast<uint8_t>(rgba8888 >> 8), static_cast<uint8_t>(rgba8888));
}

void vec4_srgba8888_from_linear(uint8_t out_rgba[4], const vec4 linear)
{
    vec4 srgb;
    vec4_srgb_from_linear(srgb, linear);
    vec4_srgba8888_from_srgba(out_rgba, srgb);
}

void vec4_srgba_from_srgba8888(vec4 rgba, const uint8_t rgba8888[4])
{
    for (int i = 0; i < 4; ++i)
        rgba[i] = rgba8888[i] / 255.0f;
}

void vec4_srgba8888_from_srgba(uint8_t out_rgba[4], const vec4 rgba)
{
    for (int i = 0; i < 4; ++i)
        out_rgba[i] = static_cast<uint8_t>(sat_float_to_int(rgba[i] * 255.0f, 0, 255, 0));
}

// ---- scalar curves -----------------------------------------------------------

float n3d_srgb_to_linear(float srgb)
{
    double s = srgb;
    if (s < 0.0)
        return 0.0f;
    if (s > 1.0)
        return 1.0f;
    if (s <= 0.04045)
        return static_cast<float>(s / 12.92);
    return static_cast<float>(pow((s + 0.055) / 1.055, 2.4));
}

float n3d_linear_to_srgb(float linear)
{
    double x = linear;
    if (std::isnan(x))
        return 0.0f;
    if (x > 1.0)
        return 1.0f;
    if (x <= 0.0)
        return 0.0f;
    if (x < 0.0031308)
        return static_cast<float>(12.92 * x);
    if (x < 1.0)
        return static_cast<float>(1.055 * pow(x, 0.41666) - 0.055);
    return 1.0f;
}

// Largest i with table[i] <= linear; NaN and values below table[1] give 0.
static int table_encode(const float* table, int size, float linear)
{
    int low = 0;
    int high = size;
    while (high > low + 1) {
        int mid = low + (high - low) / 2;
        if (linear >= table[mid])
            low = mid;
        else
            high = mid;
    }
    return low;
}

int n3d_linear_to_srgb_5bit(float linear) { return table_encode(n3d_table_linear_to_srgb5bit, 32, linear); }
int n3d_linear_to_srgb_8bit(float linear) { return table_encode(n3d_table_linear_to_srgb8bit, 256, linear); }

// ---- colour conversions --------------------------------------------------------

void vec4_linear_from_linear_pma(vec4 linear, const vec4 linear_pma)
{
    float a = linear_pma[3];
    if (a == 0.0f) {
        linear[0] = linear[1] = linear[2] = 0.0f;
    } else if (a == 1.0f) {
        linear[0] = linear_pma[0];
        linear[1] = linear_pma[1];
        linear[2] = linear_pma[2];
    } else {
        float inv_a = 1.0f / a;
        linear[0] = linear_pma[0] * inv_a;
        linear[1] = linear_pma[1] * inv_a;
        linear[2] = linear_pma[2] * inv_a;
    }
    linear[3] = a;
}

uint16_t n3d_argb1555_from_linear_pma(const vec4 linear_pma)
{
    vec4 linear, srgb;
    vec4_linear_from_linear_pma(linear, linear_pma);
    vec4_srgb_from_linear(srgb, linear);
    uint32_t r = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[0] + 0.5f, 0, 31, 0));
    uint32_t g = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[1] + 0.5f, 0, 31, 0));
    uint32_t b = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[2] + 0.5f, 0, 31, 0));
    uint32_t a = static_cast<uint32_t>(sat_float_to_int(srgb[3] + 0.5f, 0, 1, 0));
    return static_cast<uint16_t>(b | g << 5 | r << 10 | a << 15);
}

uint16_t n3d_argb1555_from_linear_pma_slow(const vec4 linear_pma)
{
    vec4 srgb;
    vec4_srgb_from_linear(srgb, linear_pma);
    uint32_t r = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[0], 0, 31, 0));
    uint32_t g = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[1], 0, 31, 0));
    uint32_t b = static_cast<uint32_t>(sat_float_to_int(31.0f * srgb[2], 0, 31, 0));
    uint32_t a = static_cast<uint32_t>(sat_float_to_int(srgb[3], 0, 1, 0));
    return static_cast<uint16_t>(b | g << 5 | r << 10 | a << 15);
}

uint32_t n3d_rgba8888_from_linear_pma(const vec4 linear_pma)
{
    vec4 linear, srgb;
    vec4_linear_from_linear_pma(linear, linear_pma);
    vec4_srgb_from_linear(srgb, linear);
    uint32_t c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = static_cast<uint32_t>(sat_float_to_int(255.0f * srgb[i] + 0.5f, 0, 255, 0));
    return c[0] << 24 | c[1] << 16 | c[2] << 8 | c[3];
}

void n3d_argb1555_to_linear_pma(vec4 out_linear_pma, uint16_t argb1555)
{
    float a = (argb1555 & N3D_ARGB1555_ALPHA) ? 1.0f : 0.0f;
    out_linear_pma[0] = g_n3d_convert_table_5bit_srgb_to_linear[(argb1555 >> 10) & 31] * a;
    out_linear_pma[1] = g_n3d_convert_table_5bit_srgb_to_linear[(argb1555 >> 5) & 31] * a;
    out_linear_pma[2] = g_n3d_convert_table_5bit_srgb_to_linear[argb1555 & 31] * a;
    out_linear_pma[3] = a;
}

void n3d_argb1555_to_linear_pma_slow(vec4 out_linear_pma, uint16_t argb1555)
{
    vec4 srgb = {((argb1555 >> 10) & 31) / 31.0f, ((argb1555 >> 5) & 31) / 31.0f, (argb1555 & 31) / 31.0f, 1.0f};
    vec4_srgb_to_linear(out_linear_pma, srgb);
}

// ---- YUV and the display's own RGB -------------------------------------------------

// round-half-away(255 x s + 0.5) limited to 0..255: the 0.5 added before the
// rounding is how the display's converter has always done it.
static int yuv_channel_byte(float s)
{
    float f = roundf(255.0f * s + 0.5f);
    return sat_float_to_int(f, 0, 255, 0);
}

static void yuv888_from_bytes(uint8_t out_yuv[3], int r, int g, int b)
{
    int y = (77 * r + 150 * g + 29 * b + 128) >> 8;
    int u = (((b - y) * 148) >> 8) + 128;
    int v = (((r - y) * 187) >> 8) + 128;
    out_yuv[0] = static_cast<uint8_t>(sat_clamp(y, 0, 255));
    out_yuv[1] = static_cast<uint8_t>(sat_clamp(u, 0, 255));
    out_yuv[2] = static_cast<uint8_t>(sat_clamp(v, 0, 255));
}

void n3d_yuv888_from_srgb(uint8_t out_yuv[3], const vec4 srgb_a)
{
    yuv888_from_bytes(out_yuv, yuv_channel_byte(srgb_a[0]), yuv_channel_byte(srgb_a[1]), yuv_channel_byte(srgb_a[2]));
}

// Levels the display shows for the 5-bit codes: the lowest codes are measured
// values, the rest lie on a line one code below c / 31.
static float applergb555_level(uint32_t c)
{
    switch (c) {
    case 0:
        return 0.0f;
    case 1:
        return 12.0f / 255.0f;
    case 2:
        return 16.0f / 255.0f;
    case 3:
        return 18.0f / 255.0f;
    case 4:
        return 25.0f / 255.0f;
    default:
        return static_cast<float>(c - 1u) / 31.0f;
    }
}

void n3d_yuv888_from_applergb555(uint8_t out_yuv[3], uint16_t rgb)
{
    const uint32_t codes[3] = {(rgb >> 10) & 31u, (rgb >> 5) & 31u, rgb & 31u};
    int bytes[3];
    for (int i = 0; i < 3; ++i) {
        float level = powf(applergb555_level(codes[i]), 0.81818175f);
        level = level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
        bytes[i] = yuv_channel_byte(level);
    }
    yuv888_from_bytes(out_yuv, bytes[0], bytes[1], bytes[2]);
}

uint16_t n3d_applergb555_from_yuv888(const uint8_t yuv[3])
{
    float y = yuv[0];
    float u = static_cast<float>(yuv[1]) - 128.0f;
    float v = static_cast<float>(yuv[2]) - 128.0f;
    float r = sat_clamp(y + 1.371f * v, 0.0f, 255.0f);
    float g = sat_clamp(y - 0.698f * v - 0.336f * u, 0.0f, 255.0f);
    float b = sat_clamp(y + 1.732f * u, 0.0f, 255.0f);
    uint32_t r5 = static_cast<uint32_t>(sat_float_to_int(31.0f * r / 255.0f + 0.5f, 0, 31, 0));
    uint32_t g5 = static_cast<uint32_t>(sat_float_to_int(31.0f * g / 255.0f + 0.5f, 0, 31, 0));
    uint32_t b5 = static_cast<uint32_t>(sat_float_to_int(31.0f * b / 255.0f + 0.5f, 0, 31, 0));
    return static_cast<uint16_t>(r5 << 10 | g5 << 5 | b5);
}

int n3d_find_best_match_linear_pma(const vec4* clut_entries_linear_pma, int clut_entries_count, const vec4 linear_pma)
{
    int best = 0;
    float best_distance = FLT_MAX;
    for (int k = 0; k < clut_entries_count; ++k) {
        float dr = clut_entries_linear_pma[k][0] - linear_pma[0];
        float dg = clut_entries_linear_pma[k][1] - linear_pma[1];
        float db = clut_entries_linear_pma[k][2] - linear_pma[2];
        float d = dr * dr + dg * dg + db * db;
        if (d < best_distance) {
            best_distance = d;
            best = k;
        }
    }
    return best;
}
