// The rasterizer registry, the reciprocal tables the rasterizers read, and the
// floor division and modulo of their edge stepping.
#include "raster/n3d_raster.h"

#include "core/crash.h"

n3d_rasterizer g_n3d_rasterizers[N3D_RASTERIZERS_MAX];
int g_n3d_rasterizers_count;
int g_n3d_tri_id;

float n3d_height_div_lut[N3D_HEIGHT_DIV_LUT_SIZE];
int n3d_iiw_lut_fixpt[N3D_FIXED_IIW_LUT_SIZE];

void n3d_rasterizer_register(const char* name, int ps_count, n3d_rasterizer_func func,
                             n3d_rasterizer_func_init func_init, int flags, const char* file, int line)
{
    for (int i = 0; i < g_n3d_rasterizers_count; i++) {
        if (g_n3d_rasterizers[i].flags == flags)
            n3d_crash("src/n3d", 805,
                      "a rasterizer with these flags were already regisered! flags: %d (this one was at: %s:%d)\n",
                      flags, file, line);
    }
    if (g_n3d_rasterizers_count >= N3D_RASTERIZERS_MAX)
        n3d_crash("src/n3d", __LINE__, "rasterizer registry full (%d entries)\n", N3D_RASTERIZERS_MAX);
    n3d_rasterizer* r = &g_n3d_rasterizers[g_n3d_rasterizers_count++];
    r->name = name;
    r->ps_count = ps_count;
    r->flags = flags;
    r->func = func;
    r->func_init = func_init;
    if (func_init)
        func_init(r);
}

n3d_rasterizer* n3d_rasterizer_find(int flags)
{
    for (int i = 0; i < g_n3d_rasterizers_count; i++) {
        if (g_n3d_rasterizers[i].flags == flags)
            return &g_n3d_rasterizers[i];
    }
    return nullptr;
}

// Both work in 64 bits so that no dividend, INT_MIN included, is negated or
// divided with overflow; the one quotient that does not fit (INT_MIN / -1)
// wraps back to INT_MIN.
int mfloordiv(int a, int b)
{
    if (b == 0)
        n3d_crash("src/n3d", 339, "A oh dear!\n");
    int64_t q = (int64_t)a / b;
    if (a < 0 && (int64_t)a % b != 0)
        q -= 1;
    return (int)(uint32_t)(uint64_t)q;
}

int mmod(int a, int b)
{
    if (b == 0)
        n3d_crash("src/n3d", 351, "B oh dear!\n");
    int64_t r = (int64_t)a % b;
    if (a >= 0 || r == 0)
        return (int)r;
    return (int)((int64_t)b + r);
}
