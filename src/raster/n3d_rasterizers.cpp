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

//                                          texel                   affine cov_r  cov_w  depth  phong  mip    cubic
constexpr n3d_tri_features F336 = {N3D_TRI_TEXEL_ARGB1555, true, false, true, false, false, false, false};
constexpr n3d_tri_features F80 = {N3D_TRI_TEXEL_ARGB1555, false, false, true, false, false, false, false};
constexpr n3d_tri_features F81 = {N3D_TRI_TEXEL_ARGB1555, false, true, true, false, false, false, false};
constexpr n3d_tri_features F48 = {N3D_TRI_TEXEL_INDEX8, false, false, true, false, false, false, false};
constexpr n3d_tri_features F50 = {N3D_TRI_TEXEL_INDEX8, false, false, true, false, false, false, false};
constexpr n3d_tri_features F51 = {N3D_TRI_TEXEL_INDEX8, false, true, true, false, false, false, false};
constexpr n3d_tri_features F49 = {N3D_TRI_TEXEL_INDEX8, false, true, false, false, false, false, false};
constexpr n3d_tri_features F179 = {N3D_TRI_TEXEL_INDEX8, false, true, true, false, true, false, false};
constexpr n3d_tri_features F178 = {N3D_TRI_TEXEL_INDEX8, false, false, true, false, true, false, false};
constexpr n3d_tri_features F190 = {N3D_TRI_TEXEL_INDEX8, false, false, true, true, true, false, false};
constexpr n3d_tri_features F1214 = {N3D_TRI_TEXEL_INDEX8, false, false, true, true, true, false, true};
constexpr n3d_tri_features F176 = {N3D_TRI_TEXEL_INDEX8, false, false, false, false, true, false, false};
constexpr n3d_tri_features F208 = {N3D_TRI_TEXEL_ARGB1555, false, false, true, false, true, false, false};
constexpr n3d_tri_features F210 = {N3D_TRI_TEXEL_ARGB1555, false, false, true, false, true, false, false};
constexpr n3d_tri_features F466 = {N3D_TRI_TEXEL_ARGB1555, false, false, true, false, true, true, false};

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
