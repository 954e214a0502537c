// The fifteen rasterizer variants: each is the one triangle body built with
// its own features, registered in a fixed order under its flag word.
#include "raster/n3d_rasterizers.h"

#include "raster/n3d_tri_ex.h"

namespace {

// The five profile blocks every variant keeps; "span_setup" is named, never timed.
void tri_ex_init(n3d_rasterizer* r)
{
    r->name_per_profileblock[0] = "setup";
    r->name_per_profileblock[1] = "inner";
    r->name_per_profileblock[2] = "inner_row";
    r->name_per_profileblock[3] = "inner_scanline";
    r->name_per_profileblock[4] = "span_setup";
    r->profileblocks_count = 5;
}

// Each variant's features, named after its flag word. Every field is given:
// the body is instantiated by value, and the compiler's names for a value with
// fields left out can coincide with another value's. 336, 80, 81, 48 and 208
// write coverage without the write bit in their flag words, as the variant
// table gives them.
constexpr n3d_tri_features F336 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                   .affine = true,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = false,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F80 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                  .affine = false,
                                  .cov_read = false,
                                  .cov_write = true,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F81 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                  .affine = false,
                                  .cov_read = true,
                                  .cov_write = true,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F48 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                  .affine = false,
                                  .cov_read = false,
                                  .cov_write = true,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F50 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                  .affine = false,
                                  .cov_read = false,
                                  .cov_write = true,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F51 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                  .affine = false,
                                  .cov_read = true,
                                  .cov_write = true,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F49 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                  .affine = false,
                                  .cov_read = true,
                                  .cov_write = false,
                                  .depth = false,
                                  .phong = false,
                                  .mipconst = false,
                                  .cubic = false};
constexpr n3d_tri_features F179 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                   .affine = false,
                                   .cov_read = true,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F178 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F190 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = true,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F1214 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                    .affine = false,
                                    .cov_read = false,
                                    .cov_write = true,
                                    .depth = true,
                                    .phong = true,
                                    .mipconst = false,
                                    .cubic = true};
constexpr n3d_tri_features F176 = {.texel = N3D_TRI_TEXEL_INDEX8,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = false,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F208 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F210 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = false,
                                   .cubic = false};
constexpr n3d_tri_features F466 = {.texel = N3D_TRI_TEXEL_ARGB1555,
                                   .affine = false,
                                   .cov_read = false,
                                   .cov_write = true,
                                   .depth = false,
                                   .phong = true,
                                   .mipconst = true,
                                   .cubic = false};

}  // namespace

int n3d_render_triangle_v8_affine_argb1555_t0argb1555(n3d_rasterizer_args* args) { return n3d_tri_ex<F336>(args); }
void n3d_render_triangle_v8_affine_argb1555_t0argb1555_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0argb1555(n3d_rasterizer_args* args) { return n3d_tri_ex<F80>(args); }
void n3d_render_triangle_v8_argb1555_t0argb1555_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0argb1555_covrw10(n3d_rasterizer_args* args) { return n3d_tri_ex<F81>(args); }
void n3d_render_triangle_v8_argb1555_t0argb1555_covrw10_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0i8argb1555(n3d_rasterizer_args* args) { return n3d_tri_ex<F48>(args); }
void n3d_render_triangle_v8_argb1555_t0i8argb1555_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01(n3d_rasterizer_args* args) { return n3d_tri_ex<F50>(args); }
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11(n3d_rasterizer_args* args) { return n3d_tri_ex<F51>(args); }
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10(n3d_rasterizer_args* args) { return n3d_tri_ex<F49>(args); }
void n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F179>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F178>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F190>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F1214>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans_init(n3d_rasterizer* r)
{
    tri_ex_init(r);
}
int n3d_render_triangle_v8_phong_argb1555_t0i8argb1555(n3d_rasterizer_args* args) { return n3d_tri_ex<F176>(args); }
void n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0argb1555(n3d_rasterizer_args* args) { return n3d_tri_ex<F208>(args); }
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F210>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_init(n3d_rasterizer* r) { tri_ex_init(r); }
int n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst(n3d_rasterizer_args* args)
{
    return n3d_tri_ex<F466>(args);
}
void n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst_init(n3d_rasterizer* r) { tri_ex_init(r); }

const n3d_rasterizer_variant g_n3d_rasterizer_variants[N3D_RASTERIZER_VARIANTS] = {
    {"n3d_render_triangle_v8_affine_argb1555_t0argb1555", 336, 2, 27, n3d_render_triangle_v8_affine_argb1555_t0argb1555,
     n3d_render_triangle_v8_affine_argb1555_t0argb1555_init},
    {"n3d_render_triangle_v8_argb1555_t0argb1555", 80, 2, 52, n3d_render_triangle_v8_argb1555_t0argb1555,
     n3d_render_triangle_v8_argb1555_t0argb1555_init},
    {"n3d_render_triangle_v8_argb1555_t0argb1555_covrw10", 81, 2, 78,
     n3d_render_triangle_v8_argb1555_t0argb1555_covrw10, n3d_render_triangle_v8_argb1555_t0argb1555_covrw10_init},
    {"n3d_render_triangle_v8_argb1555_t0i8argb1555", 48, 2, 103, n3d_render_triangle_v8_argb1555_t0i8argb1555,
     n3d_render_triangle_v8_argb1555_t0i8argb1555_init},
    {"n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01", 50, 2, 129,
     n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01, n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw01_init},
    {"n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11", 51, 2, 156,
     n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11, n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw11_init},
    {"n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10", 49, 2, 183,
     n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10, n3d_render_triangle_v8_argb1555_t0i8argb1555_covrw10_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11", 179, 4, 211,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw11_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01", 178, 4, 237,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11", 190, 4, 263,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans", 1214, 4, 291,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_covrw01_zbuffrw11_wip_rsqr_large_spans_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0i8argb1555", 176, 4, 318,
     n3d_render_triangle_v8_phong_argb1555_t0i8argb1555, n3d_render_triangle_v8_phong_argb1555_t0i8argb1555_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0argb1555", 208, 4, 344, n3d_render_triangle_v8_phong_argb1555_t0argb1555,
     n3d_render_triangle_v8_phong_argb1555_t0argb1555_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01", 210, 4, 372,
     n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01,
     n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_init},
    {"n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst", 466, 4, 400,
     n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst,
     n3d_render_triangle_v8_phong_argb1555_t0argb1555_covrw01_mipconst_init},
};

void n3d_rasterizers_init()
{
    for (const n3d_rasterizer_variant& v : g_n3d_rasterizer_variants)
        n3d_rasterizer_register(v.name, v.ps_count, v.func, v.func_init, v.flags, "src/n3d_rasterizers", v.line);
}
