#include "image/n3d_phong.h"

#include <cmath>
#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "core/saturate.h"
#include "image/texel.h"

#define N3D_PHONG_SRC "src/n3d_convert"

// First rsqr of each bucket; bucket 31 runs to 255. The buckets narrow toward
// the rim so each covers a similar change of the half-vector cosine.
static constexpr uint8_t k_bucket_start[N3D_PBR_BUCKETS] = {
    0,  6,  12, 18, 24,  30,  36,  41,  46,  51,  56,  61,  66,  71,  76,  81,
    85, 89, 93, 97, 101, 105, 108, 111, 114, 117, 120, 122, 124, 126, 127, 128,
};

struct bucket_table {
    uint8_t v[256];
};

static constexpr bucket_table make_bucket_table()
{
    bucket_table t{};
    int b = 0;
    for (int i = 0; i < 256; i++) {
        while (b + 1 < N3D_PBR_BUCKETS && i >= k_bucket_start[b + 1])
            b++;
        t.v[i] = static_cast<uint8_t>(b);
    }
    return t;
}

static constexpr bucket_table k_bucket_table = make_bucket_table();
static_assert(k_bucket_table.v[5] == 0 && k_bucket_table.v[6] == 1 && k_bucket_table.v[127] == 30 &&
              k_bucket_table.v[128] == 31 && k_bucket_table.v[255] == 31);

const uint8_t rsqr_to_bucket[256] = {
#define B(i) k_bucket_table.v[i]
#define B8(i) B(i), B(i + 1), B(i + 2), B(i + 3), B(i + 4), B(i + 5), B(i + 6), B(i + 7)
#define B64(i) B8(i), B8(i + 8), B8(i + 16), B8(i + 24), B8(i + 32), B8(i + 40), B8(i + 48), B8(i + 56)
    B64(0),
    B64(64),
    B64(128),
    B64(192),
#undef B64
#undef B8
#undef B
};

// Mean of sqrt(max(0, 1 - 2i / 255)) over the rsqr values of each bucket.
const float rsqr_bucket_to_hdotn[N3D_PBR_BUCKETS] = {
    0.990124f, 0.966067f, 0.941395f, 0.916058f, 0.890000f, 0.863156f, 0.837805f, 0.814063f,
    0.789608f, 0.764370f, 0.738269f, 0.711211f, 0.683082f, 0.653742f, 0.623022f, 0.594043f,
    0.567017f, 0.538637f, 0.508674f, 0.476830f, 0.442697f, 0.410569f, 0.380825f, 0.348546f,
    0.312945f, 0.272712f, 0.234162f, 0.197781f, 0.152856f, 0.108465f, 0.062622f, 0.000000f,
};

static void phong_lut_pad(uint8_t* lut)
{
    memset(lut - N3D_PHONG_LUT_PAD, lut[0], N3D_PHONG_LUT_PAD);
    memset(lut + N3D_PHONG_LUT_ENTRIES, lut[N3D_PHONG_LUT_ENTRIES - 1], N3D_PHONG_LUT_PAD);
}

// Entry i stands for r^2 = 2i / 255. by_reciprocal selects the update's form
// (times 1 / r_max computed once) over the builder's division; both truncate.
static void phong_lut_fill(uint8_t* lut, float r_max, int c_min, int by_reciprocal)
{
    // Entries are bytes: a floor above 255 saturates instead of converting an
    // out-of-range value.
    const int floor_level = c_min > 255 ? 255 : c_min;
    if (!(r_max > 0.0f)) {
        // No radius: the falloff is over before the centre, only the floor remains.
        memset(lut, floor_level < 0 ? 0 : floor_level, N3D_PHONG_LUT_ENTRIES);
    } else {
        float inv = 1.0f / r_max;
        for (int i = 0; i < N3D_PHONG_LUT_ENTRIES; i++) {
            double s = sqrt(static_cast<double>(2.0f * static_cast<float>(i) / 255.0f));
            double v = by_reciprocal ? 1.0 - s * inv : 1.0 - s / r_max;
            v = (v > 0.0 ? v : 0.0) * 31.0;
            if (floor_level > v)
                v = floor_level;
            lut[i] = static_cast<uint8_t>(v);
        }
    }
    phong_lut_pad(lut);
}

void n3d_phong_lut_init(n3d_phong_lut* phong_lut, memarena* arena, float r_max, int c_min)
{
    phong_lut->base = static_cast<uint8_t*>(memarena_push(arena, N3D_PHONG_LUT_BYTES));
    phong_lut->lut = phong_lut->base + N3D_PHONG_LUT_PAD;
    phong_lut->pad = N3D_PHONG_LUT_PAD;
    n3d_phong_lut_update(phong_lut, r_max, c_min);
}

void n3d_phong_lut_update(n3d_phong_lut* phong_lut, float r_max, int c_min)
{
    phong_lut_fill(phong_lut->lut, r_max, c_min, 1);
    phong_lut->r_max = r_max;
    phong_lut->c_min = c_min;
}

uint8_t* n3d_build_phong_lut(memarena* arena, float r_max, int c_min)
{
    uint8_t* lut = static_cast<uint8_t*>(memarena_push(arena, N3D_PHONG_LUT_BYTES)) + N3D_PHONG_LUT_PAD;
    phong_lut_fill(lut, r_max, c_min, 0);
    return lut;
}

void n3d_build_phong_lut_for_pbr_shade_table(n3d_phong_lut* phong_lut, int shades_per_color)
{
    (void)shades_per_color;  // the table serves 32 shades
    if (!phong_lut->lut)
        n3d_crash(N3D_PHONG_SRC, __LINE__, "phong lut has no table (init it first)\n");
    memcpy(phong_lut->lut, rsqr_to_bucket, N3D_PHONG_LUT_ENTRIES);
    phong_lut_pad(phong_lut->lut);
    phong_lut->r_max = 0.0f;
    phong_lut->c_min = 1;
}

float n3d_ndotl_from_hdotn(float HdotN) { return sat_clamp(1.0f - (1.0f - HdotN * HdotN) * 0.5f, 0.0f, 1.0f); }

float mix_remove(float a, float b, float t) { return a + (b - a) * sat_clamp(t, 0.0f, 1.0f); }

// One shade per bucket: more shades than buckets would read past the tables.
static void check_pbr_shades(int shades_per_color)
{
    if (shades_per_color > 256)
        n3d_crash(N3D_PHONG_SRC, __LINE__, "shades per color must be < 256 is %d\n", shades_per_color);
    if (shades_per_color > N3D_PBR_BUCKETS)
        n3d_crash(N3D_PHONG_SRC, __LINE__, "shades per color must be at most %d (one per bucket) is %d\n",
                  N3D_PBR_BUCKETS, shades_per_color);
}

// The terms of the table that depend on the shade alone.
struct pbr_shade_terms {
    float normal_distribution[N3D_PBR_BUCKETS], schlick[N3D_PBR_BUCKETS], ndotl[N3D_PBR_BUCKETS];
    float metallic;
};

static void pbr_shade_terms_init(pbr_shade_terms* t, int shades_per_color, float metallic_factor,
                                 float roughness_factor)
{
    t->metallic = sat_clamp(metallic_factor, 0.0f, 1.0f);
    float roughness = sat_clamp(roughness_factor, 0.0f, 1.0f);
    float alpha = roughness * roughness;
    float alpha_sqr = alpha * alpha;
    float k = (1.0f + roughness) * (1.0f + roughness) / 8.0f;
    for (int s = 0; s < shades_per_color; s++) {
        float h = rsqr_bucket_to_hdotn[s];
        float pos_ndotl = sat_clamp(n3d_ndotl_from_hdotn(h), 0.0f, 1.0f);
        float d = 1.0f + h * h * (alpha_sqr - 1.0f);
        float D = alpha_sqr / (d * d);  // GGX without the 1/pi
        if (!(D > 0.001f))
            D = 0.001f;
        float G = pos_ndotl / ((1.0f - k) * pos_ndotl + k);  // Schlick-Smith
        t->normal_distribution[s] = D * G;
        t->schlick[s] = powf(1.0f - h, 5.0f);
        t->ndotl[s] = pos_ndotl;
    }
}

// The 5-bit code of one channel i of linear value l (premultiplied) at shade s.
static int pbr_channel_code(const pbr_shade_terms* t, int s, int i, float l, const float* ambient_linear,
                            const float* ambient_factor_from_texture, const float* light_linear_min_specular,
                            const float* light_linear_max_specular)
{
    const float f0_dielectric = 0.04f;
    const float metallic = t->metallic;
    float f0 = l * metallic + (1.0f - metallic) * f0_dielectric;
    float diffuse = (1.0f - metallic) * l;
    float F = t->schlick[s] * (1.0f - f0) + f0;
    float specular = sat_clamp(t->normal_distribution[s] * F, 0.0f, 1.0f);
    float diff = sat_clamp(diffuse * t->ndotl[s], 0.0f, 1.0f);
    float light = mix_remove(light_linear_min_specular[i], light_linear_max_specular[i], specular);
    float base = l * ambient_factor_from_texture[i] + ambient_linear[i];
    return n3d_linear_to_srgb_5bit(sat_clamp((specular + diff) * light + base, 0.0f, 1.0f));
}

// A channel's code depends on that channel's own 5 bits and the alpha bit only:
// each of the 64 inputs of each channel is evaluated once, when a colour first
// needs it, and every entry is put together from the three channels' codes.
void n3d_texture_build_shade_table_argb1555_pbr(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                const float* ambient_linear, const float* ambient_factor_from_texture,
                                                const float* light_linear_min_specular,
                                                const float* light_linear_max_specular, float metallic_factor,
                                                float roughness_factor, const uint16_t* palette_argb1555)
{
    check_pbr_shades(shades_per_color);
    pbr_shade_terms t;
    pbr_shade_terms_init(&t, shades_per_color, metallic_factor, roughness_factor);
    // codes[i][input][s], input = alpha bit << 5 | the channel's 5 bits.
    uint8_t codes[3][64][N3D_PBR_BUCKETS];
    uint64_t ready[3] = {0, 0, 0};
    for (int c = 0; c < colors_count; c++) {
        const uint16_t argb = palette_argb1555[c];
        const int alpha_bit = (argb & N3D_ARGB1555_ALPHA) ? 1 : 0;
        int input[3];
        for (int i = 0; i < 3; i++) {
            input[i] = alpha_bit << 5 | (argb >> (10 - 5 * i) & 31);
            if (ready[i] >> input[i] & 1)
                continue;
            ready[i] |= uint64_t{1} << input[i];
            // The channel's value exactly as the colour's conversion gives it.
            const float l = g_n3d_convert_table_5bit_srgb_to_linear[input[i] & 31] * (alpha_bit ? 1.0f : 0.0f);
            for (int s = 0; s < shades_per_color; s++)
                codes[i][input[i]][s] =
                    static_cast<uint8_t>(pbr_channel_code(&t, s, i, l, ambient_linear, ambient_factor_from_texture,
                                                          light_linear_min_specular, light_linear_max_specular));
        }
        const uint8_t* r = codes[0][input[0]];
        const uint8_t* g = codes[1][input[1]];
        const uint8_t* b = codes[2][input[2]];
        uint16_t* out = shade_table + c * shades_per_color;
        for (int s = 0; s < shades_per_color; s++)
            out[s] = static_cast<uint16_t>(0x8000 | r[s] << 10 | g[s] << 5 | b[s]);
    }
}

// Every entry evaluated on its own from its colour; the table build above
// gives the same entries.
void n3d_texture_build_shade_table_argb1555_pbr_per_entry(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                          const float* ambient_linear,
                                                          const float* ambient_factor_from_texture,
                                                          const float* light_linear_min_specular,
                                                          const float* light_linear_max_specular, float metallic_factor,
                                                          float roughness_factor, const uint16_t* palette_argb1555)
{
    const float f0_dielectric = 0.04f;
    check_pbr_shades(shades_per_color);
    pbr_shade_terms t;
    pbr_shade_terms_init(&t, shades_per_color, metallic_factor, roughness_factor);
    const float metallic = t.metallic;
    const float *normal_distribution = t.normal_distribution, *schlick = t.schlick, *ndotl = t.ndotl;
    for (int c = 0; c < colors_count; c++) {
        vec4 l;
        n3d_argb1555_to_linear_pma(l, palette_argb1555[c]);
        float f0[3], diffuse[3];
        for (int i = 0; i < 3; i++) {
            f0[i] = l[i] * metallic + (1.0f - metallic) * f0_dielectric;
            diffuse[i] = (1.0f - metallic) * l[i];
        }
        for (int s = 0; s < shades_per_color; s++) {
            int code[3];
            for (int i = 0; i < 3; i++) {
                float F = schlick[s] * (1.0f - f0[i]) + f0[i];
                float specular = sat_clamp(normal_distribution[s] * F, 0.0f, 1.0f);
                float diff = sat_clamp(diffuse[i] * ndotl[s], 0.0f, 1.0f);
                float light = mix_remove(light_linear_min_specular[i], light_linear_max_specular[i], specular);
                float base = l[i] * ambient_factor_from_texture[i] + ambient_linear[i];
                code[i] = n3d_linear_to_srgb_5bit(sat_clamp((specular + diff) * light + base, 0.0f, 1.0f));
            }
            shade_table[c * shades_per_color + s] =
                static_cast<uint16_t>(0x8000 | code[0] << 10 | code[1] << 5 | code[2]);
        }
    }
}

void n3d_texture_build_shade_table_argb1555_pbr_slow(uint16_t* shade_table, int shades_per_color, int colors_count,
                                                     const float* ambient_linear, const float* light_linear,
                                                     float metallic_factor, float roughness_factor,
                                                     const uint16_t* palette_argb1555)
{
    const float f0_dielectric = 0.04f;
    float metallic = sat_clamp(metallic_factor, 0.0f, 1.0f);
    float roughness = sat_clamp(roughness_factor, 0.0f, 1.0f);
    float alpha = roughness * roughness;
    float alpha_sqr = alpha * alpha;
    check_pbr_shades(shades_per_color);
    float k = (1.0f + roughness) * (1.0f + roughness) / 8.0f;
    for (int c = 0; c < colors_count; c++) {
        vec4 l;
        n3d_argb1555_to_linear_pma_slow(l, palette_argb1555[c]);
        for (int s = 0; s < shades_per_color; s++) {
            float h = rsqr_bucket_to_hdotn[s];
            float ndotl = sat_clamp(2.0f * h * h - 1.0f, 0.0f, 1.0f);
            float d = 1.0f + h * h * (alpha_sqr - 1.0f);
            float D = alpha_sqr / (d * d);
            if (!(D > 0.001f))
                D = 0.001f;
            float G = ndotl / ((1.0f - k) * ndotl + k);
            float schlick = powf(1.0f - h, 5.0f);
            vec4 out;
            for (int i = 0; i < 3; i++) {
                float f0 = l[i] * metallic + (1.0f - metallic) * f0_dielectric;
                float diffuse = (1.0f - metallic) * l[i];
                float F = schlick * (1.0f - f0) + f0;
                float diff = sat_clamp(diffuse * light_linear[i] * ndotl, 0.0f, 1.0f);
                float specular = sat_clamp(light_linear[i] * D * G * F, 0.0f, 1.0f);
                out[i] = sat_clamp(ambient_linear[i] + diff + specular, 0.0f, 1.0f);
            }
            out[3] = 1.0f;
            shade_table[c * shades_per_color + s] = n3d_argb1555_from_linear_pma_slow(out);
        }
    }
}

static float luma(const float* c) { return 0.2126f * c[0] + 0.7152f * c[1] + 0.0722f * c[2]; }

void n3d_texture_build_shade_table_ex_argb1555(uint16_t* shade_table, int shades_per_color, int colors_count,
                                               const float* ambient_linear, const float* specular_linear,
                                               const float* rgba_bleed, float diffuse_gain,
                                               const uint16_t* palette_argb1555)
{
    // The top-shade terms divide by shades - 1 - k with k up to 0.8 x shades.
    if (shades_per_color < 6)
        n3d_crash(N3D_PHONG_SRC, __LINE__, "shades per color must be at least 6 is %d\n", shades_per_color);
    int shades = shades_per_color;
    int k_diffuse_max = static_cast<int>(0.5f * shades);
    int k_specular0 = static_cast<int>(0.7f * shades);
    int k_bleed0 = static_cast<int>(0.8f * shades);
    k_diffuse_max = k_diffuse_max < 1 ? 1 : k_diffuse_max;
    k_specular0 = k_specular0 < 1 ? 1 : k_specular0;
    k_bleed0 = k_bleed0 < 1 ? 1 : k_bleed0;
    int k_diffuse_gain0 = k_specular0;
    for (int c = 0; c < colors_count; c++) {
        vec4 l;
        n3d_argb1555_to_linear_pma(l, palette_argb1555[c]);
        float bleed = sat_clamp(luma(l) + luma(specular_linear) + luma(ambient_linear), 0.0f, 1.0f);
        for (int s = 0; s < shades; s++) {
            float diffuse = sat_clamp(static_cast<float>(s) / static_cast<float>(k_diffuse_max), 0.0f, 1.0f);
            int m;
            m = s - k_specular0;
            float spec_t = static_cast<float>((m > 0 ? m : 0) / (shades - 1 - k_specular0));
            m = s - k_diffuse_gain0;
            float gain_t = static_cast<float>((m > 0 ? m : 0) / (shades - 1 - k_diffuse_gain0));
            m = s - k_bleed0;
            float bleed_t = static_cast<float>((m > 0 ? m : 0) / (shades - 1 - k_bleed0));
            vec4 out;
            for (int i = 0; i < 3; i++)
                out[i] = sat_clamp(ambient_linear[i] + l[i] * diffuse + specular_linear[i] * spec_t +
                                       l[i] * diffuse_gain * gain_t + rgba_bleed[i] * bleed * bleed_t,
                                   0.0f, 1.0f);
            out[3] = 1.0f;  // opaque: fully lit entries with the alpha bit set
            shade_table[c * shades + s] = n3d_argb1555_from_linear_pma(out);
        }
    }
}
