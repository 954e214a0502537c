// Renderer start-up, the rasterizer profile report and the reference routines.
#include "n3d/n3d.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "core/crash.h"
#include "core/cycles_measure.h"
#include "core/ppc.h"

memarena n3d_batch_arena;

void n3d_init(memarena* arena)
{
    void* block = memarena_push_align(arena, N3D_BATCH_ARENA_BYTES, 32);
    memarena_init(&n3d_batch_arena, "batch_arena", N3D_BATCH_ARENA_BYTES, block);
    // Every start-up begins with an empty registry (the demo system's tests
    // start it more than once in one process).
    for (n3d_rasterizer& r : g_n3d_rasterizers)
        r = n3d_rasterizer{};
    g_n3d_rasterizers_count = 0;
    n3d_rasterizers_init();
    g_cycles_block_names[BLOCK_RENDER_MESH] = "BLOCK_RENDER_MESH";
    g_cycles_block_names[BLOCK_RENDER_MESH_TRANSFORM_VERTICES] = "BLOCK_RENDER_MESH_TRANSFORM_VERTICES";
    n3d_height_div_lut[0] = 1.0f;
    for (int i = 1; i < N3D_HEIGHT_DIV_LUT_SIZE; i++)
        n3d_height_div_lut[i] = 1.0f / static_cast<float>(i);
    for (int i = 1; i < N3D_FIXED_IIW_LUT_SIZE; i++) {
        float num = i < N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX
                        ? 65535.0f
                        : 65535.0f * static_cast<float>(1 << N3D_FIXPT_IIW_LUT_F_SCALE2_BITS);
        n3d_iiw_lut_fixpt[i] = ppc_round_float_to_int(num / (16.0f * static_cast<float>(i)));
    }
    n3d_iiw_lut_fixpt[0] = 65535;
}

// Sums and averages are whole cycle counts and print exactly, as integers in
// the layout of "%f", "%12.f" and "%11.1f" (a float would round them from 2^24
// on); only the percentage goes through single precision.
void n3d_profile_print()
{
    const uint64_t total = g_cycles_block_total[CYCLES_BLOCK_TOTAL];
    printf("total cycles: %" PRIu64 ".000000\n", total);
    for (int i = 0; i < g_n3d_rasterizers_count; i++) {
        const n3d_rasterizer* r = &g_n3d_rasterizers[i];
        for (int k = 0; k < r->profileblocks_count && k < N3D_PROFILEBLOCKS_MAX; k++) {
            const n3d_profileblock* b = &r->profileblocks[k];
            if (b->hits == 0)
                continue;
            // A run that ended before its whole-run block closed has no total: 0.00.
            float pct =
                total ? static_cast<float>(static_cast<double>(b->sum) * 100.0 / static_cast<double>(total)) : 0.0f;
            const uint64_t sum = b->sum;
            printf("[%6.2f%%][hits: %11u][cycles: %12" PRIu64 "][<cycles>: %9" PRIu64 ".0][%s - %s]\n", pct, b->hits,
                   sum, sum / b->hits, r->name_per_profileblock[k], r->name);
        }
    }
}

float n3d_reciprocal_lut(float x)
{
    if (!(x >= 0.0f && x < static_cast<float>(N3D_HEIGHT_DIV_LUT_SIZE)))
        n3d_crash("src/n3d", 212, "n3d_reciprocal_lut: x is %f must be >= 0 and < %d\n", static_cast<double>(x),
                  N3D_HEIGHT_DIV_LUT_SIZE);
    int i = static_cast<int>(x);
    float f = x - static_cast<float>(i);
    float r1 = n3d_height_div_lut[i];
    float r2 = n3d_height_div_lut[i == N3D_HEIGHT_DIV_LUT_SIZE - 1 ? i : i + 1];
    return r1 + (r2 - r1) * f;
}

float n3d_det2x2(float ax, float ay, float bx, float by, float cx, float cy)
{
    return (cy - ay) * (bx - ax) - (cx - ax) * (by - ay);
}

// Each edge p -> q in the order a -> b -> c -> a of a front face (negative
// n3d_det2x2) runs down the triangle's left side, up its right side, leftwards
// along a flat top or rightwards along a flat bottom. A sample on an edge counts
// as inside only for a left or top edge (exactly where the rasterizers' edge
// walk draws it), so triangles sharing an edge cover each of its samples once.
static bool edge_is_top_or_left(float px, float py, float qx, float qy) { return qy > py || (qy == py && qx < px); }

static bool edge_passes(float w, bool inclusive) { return inclusive ? w <= 0.0f : w < 0.0f; }

int n3d_is_inside_triangle_convention_topleft(float x, float y, float ax, float ay, float bx, float by, float cx,
                                              float cy)
{
    float w0 = n3d_det2x2(ax, ay, bx, by, x, y);
    float w1 = n3d_det2x2(bx, by, cx, cy, x, y);
    float w2 = n3d_det2x2(cx, cy, ax, ay, x, y);
    return edge_passes(w0, edge_is_top_or_left(ax, ay, bx, by)) &&
           edge_passes(w1, edge_is_top_or_left(bx, by, cx, cy)) && edge_passes(w2, edge_is_top_or_left(cx, cy, ax, ay));
}

void barycentric_coord(float* out_u, float* out_v, float px, float py, float ax, float ay, float bx, float by, float cx,
                       float cy)
{
    float abc = -((bx - ax) * (ay - cy) - (by - ay) * (ax - cx));
    *out_u = ((ax - cx) * (py - cy) - (ay - cy) * (px - cx)) / abc;
    *out_v = ((bx - ax) * (py - ay) - (by - ay) * (px - ax)) / abc;
}

float barycentric_value(float bc_coord_u, float bc_coord_v, float a, float b, float c)
{
    return a + (b - a) * bc_coord_u + (c - a) * bc_coord_v;
}

void printbin(unsigned int x, int b)
{
    for (int i = b - 1; i >= 0; i--)
        putchar(i < 32 && ((x >> i) & 1u) ? '1' : '0');
}

// Leading zero bits of q within its low 16 bits.
static int clz16(uint32_t q) { return ppc_cntlze(q & 0xFFFFu) - 16; }

void n3d_lut_find_scale2()
{
    printf("N3D_FIXED_IIW_LUT_SIZE == %d (#table entries)\n", N3D_FIXED_IIW_LUT_SIZE);
    printf("N3D_FIXPT_IIW_LUT_F == %d (#bits per entry, fixed point range 0 to 1 exclusive\n", N3D_FIXPT_IIW_LUT_F);
    printf("enumerate all possible N3D_FIXPT_IIW_LUT_F_SCALE2_BITS (scale_bits)\n");
    printf("that is, find the #bits that are zero before the most-significant-bits, ex [00110000] = 2, since 1/x is "
           "decreasing, at the index we have this many zero bits, all other indices following will have at least this "
           "many zero bits, so we can bit shift away those and store more precision starting at this index\n");
    printf("N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX %d\n", N3D_FIXPT_IIW_LUT_F_SCALE2_INDEX);
    for (int s = 0; s <= 16; s++) {
        int found = 0;
        uint32_t q = 0;
        for (int i = 1; i < N3D_FIXED_IIW_LUT_SIZE; i++) {
            uint32_t qi = static_cast<uint32_t>(ppc_round_float_to_int(65535.0f / static_cast<float>(i))) & 0xFFFFu;
            if (clz16(qi) == s) {
                found = i;
                q = qi;
                break;
            }
        }
        if (!found)
            return;
        printf("\tlut[%.3d] %.5d free bits: %.2d (irrelevant bits: %.2d) bin: ", found, static_cast<int>(q), s, 16);
        printbin(q, 32);
        printf("\n");
        double max_err = 0, max_rerr = 0, sum_err = 0, sum_rerr = 0;
        int max_err_at = 0, max_rerr_at = 0;
        for (int j = 1; j < N3D_FIXED_IIW_LUT_SIZE; j++) {
            double exact = 1.0 / (16.0 * j);
            int sb = j < found ? 0 : s;
            double scale = std::ldexp(1.0, 16 + sb);
            double stored = std::round(scale / (16.0 * j));
            double err = std::fabs(stored / scale - exact);
            double rerr = err / exact;
            if (err >= max_err) {
                max_err = err;
                max_err_at = j;
            }
            if (rerr >= max_rerr) {
                max_rerr = rerr;
                max_rerr_at = j;
            }
            sum_err += err;
            sum_rerr += rerr;
        }
        const double n = N3D_FIXED_IIW_LUT_SIZE - 1;
        printf("scale_bits: %d at index>=%.3d; max_rerr: %.8f (at %.3d) avg_rerr: %.8f max_err: %.8f (at %.3d) "
               "avg_err: %.8f\n",
               s, found, max_rerr, max_rerr_at, sum_rerr / n, max_err, max_err_at, sum_err / n);
    }
}
