// The one scanline triangle body behind every registered rasterizer: a template
// whose compile-time features (texel kind, affine or perspective, coverage read
// and write, depth, phong, per-triangle mip level, cubic r-squared in spans)
// select the work of each pixel loop. Instantiated by n3d_rasterizers.cpp and
// the tests; draws into the caller's frame context, allocates nothing, main
// thread. All fixed-point sums and products wrap in 32 bits.
//
// A triangle goes through four steps. Set-up (n3d_tri_setup.h) orders the
// vertices, scales depth (refusing a triangle too deep for the reciprocal
// table), turns the gradients into fixed-point steps, picks the texture level
// and the pixel path, and finds the target's bounds. Edges: the left and right
// edges of each part are set up exactly (a rational walk, first covered column
// of each row) and the left edge's parameters carried to its first pixel.
// Parts: part 0 runs from the top vertex to the middle vertex's row, part 1 on
// to the bottom with the lower edge on the side of the break. Rows: the edges
// are walked a batch of up to 32 rows at a time into row records, then the
// batch's rows are drawn by one of three pixel paths:
//
//   scalar   (n3d_tri_scalar.h) the span walk with pixels a pair at a time;
//            the reference
//   AVX2     (n3d_tri_avx2.h) the same span walk, the pixels of each span
//            eight lanes at a time
//   AVX-512  (n3d_tri_avx512.h) whole rows sixteen pixels at a time
//
// The path is cpu_level() (core/cpu_features.h) read once per triangle: AVX-512
// and AVX2 take their paths, lower levels the scalar one; a triangle whose
// texture level is under 4 rows draws scalar (the wide paths read texels as
// aligned 4-byte words, which such a level does not fill). The two wide paths
// plug in at different seams because their widths do: eight lanes hold one
// span of the walk, which stays serial and scalar around them, while sixteen
// lanes are more than a span, so the AVX-512 path computes each value of a row
// from the pixel's offset instead of walking, and takes whole batches of rows
// to load its register-held tables once a batch.
//
// The kernel contract, kept by every path: bit-identical to the scalar path.
// A path receives the triangle's state (tri_state: texel and table pointers,
// the per-pixel steps, the row pointers) and rows [x0, x1) inside the target
// (0 <= x0 < x1 <= its width) with the left edge's values at x0; the AVX2
// kernel receives one span of 2, 4 or 8 pixels of such a row and the walk's
// values at its start (span_run), which it advances past the span as the
// scalar kernel does. For each pixel that passes the coverage test (cov_read)
// and the strict depth test (depth) it writes the pixel and depth the scalar
// path writes, and nothing for the others; per row it zeroes the 32-byte depth
// lines the row touches first (depth_lazy_clear) and, with cov_write, sets the
// row's coverage bits. It touches no pixel, depth, coverage word or depth-line
// word outside the row, reads texels only inside the level (the index mask)
// and the phong table only at its entries 0 to 255 or at indices clamped to
// [phong_lo, phong_hi], and leaves the triangle's state as it found it. Lanes
// past the row or span are computed from in-range addresses and never stored.
#pragma once

#include <type_traits>

#include "raster/n3d_tri_avx2.h"
#include "raster/n3d_tri_avx512.h"
#include "raster/n3d_tri_scalar.h"
#include "raster/n3d_tri_setup.h"

namespace n3d_tri {

// One row on the span paths (the AVX-512 rows are drawn a batch at a time by
// scanlines_x16).
template <n3d_tri_features F>
inline void scanline(const tri_state& s, int32_t x0, int32_t x1)
{
#if defined(__x86_64__) || defined(__i386__)
    if (s.wide == CPU_LEVEL_AVX2) {
        scanline_wide<F>(s, x0, x1);
        return;
    }
#endif
    scanline_with<F, span_scalar<F>>(s, x0, x1);
}

// Rows, batch: the cnt rows of recs on the triangle's path (d holds the first
// row's pointers), timed as one "inner_scanline" pass of cnt hits.
template <n3d_tri_features F>
__attribute__((always_inline)) inline void rows_draw(tri_state& d, const row_rec* recs, int32_t cnt,
                                                     n3d_profileblock* pb)
{
    pb[3].t0 = cycles_measure_get();
#if defined(__x86_64__) || defined(__i386__)
    if (d.wide == CPU_LEVEL_AVX512) {
        scanlines_x16<F>(d, recs, cnt);
        pb[3].sum += cycles_measure_get_delta(pb[3].t0);
        pb[3].hits += static_cast<unsigned>(cnt);
        return;
    }
#endif
    const tri_state first = d;
    for (int32_t i = 0; i < cnt; i++) {
        const row_rec& rr = recs[i];
        row_rec_take<F>(d, first, rr);
        scanline<F>(d, rr.x0, rr.x1);
        if constexpr (F.cov_write)
            coverage_write_span(d.cov_row, rr.x0, rr.x1);
    }
    pb[3].sum += cycles_measure_get_delta(pb[3].t0);
    pb[3].hits += static_cast<unsigned>(cnt);
}

// Rows: [ys, ye) of one part, walked a batch at a time and drawn under one
// pair of counter reads a batch ("inner_scanline" keeps the cycles of drawing
// them and their count, without two reads a row). With an edge not set up (a
// sliver whose height rounds to 0) the rows are walked without drawing.
template <n3d_tri_features F, bool Clip>
void tri_rows(tri_job& j, int32_t ys, int32_t ye)
{
    n3d_profileblock* pb = j.pb;
    pb[2].t0 = cycles_measure_get();
    const tri_state& s = j.s;
    const bool draw = j.l_ok && j.r_ok;
    const bool l_ok = j.l_ok, r_ok = j.r_ok;
    row_rec recs[ROW_BATCH];
    row_walk w = row_walk_of(j);
    const row_steps k = row_steps_of(s);
    const int32_t x_end = j.x_lim;
    int32_t y = ys;
    while (y < ye) {
        tri_state d = s;  // the batch's first row
        d.dst_row = w.dst_row;
        d.cov_row = w.cov_row;
        d.z_row = w.z_row;
        d.zmask_row = w.zmask_row;
        d.rs = w.rw;
        const int32_t cnt = rows_walk<F, Clip>(s, k, draw, l_ok, r_ok, x_end, &y, ye, &w, recs);
        if (cnt == 0)
            continue;
        rows_draw<F>(d, recs, cnt, pb);
    }
    row_walk_put(w, &j);
    pb[2].sum += cycles_measure_get_delta(pb[2].t0);
    pb[2].hits += 1;
}

template <n3d_tri_features F>
__attribute__((always_inline)) inline void tri_rows_cut(tri_job& j, int32_t ys, int32_t ye)
{
    if (j.clip_x)
        tri_rows<F, true>(j, ys, ye);
    else
        tri_rows<F, false>(j, ys, ye);
}

// Edges of one side: set up from its first row pc_y_fp on, the left one with
// its parameters from st; false (and the side is not walked) when the edge's
// height rounds to 0.
__attribute__((always_inline)) inline bool tri_edge_right(tri_job& j, fx pc_y_fp)
{
    if (j.r.dy.i() <= 0)
        return false;
    edge_setup(&j.er, j.r.x0, j.r.y0, j.r.dx, j.r.dy, pc_y_fp);
    return true;
}

template <n3d_tri_features F>
__attribute__((always_inline)) inline bool tri_edge_left(tri_job& j, fx pc_y_fp, const tri_start& st)
{
    if (j.l.dy.i() <= 0)
        return false;
    edge_setup(&j.el, j.l.x0, j.l.y0, j.l.dx, j.l.dy, pc_y_fp);
    left_setup<F>(j.s, j.el, st);
    return true;
}

// Part 0: from the top vertex down to the middle vertex's row.
template <n3d_tri_features F>
__attribute__((always_inline)) inline void tri_part0(tri_job& j)
{
    const int32_t ys = (j.pc_y_top >> 8).i() > 0 ? (j.pc_y_top >> 8).i() : 0;
    int32_t ye = (j.pc_y_mid >> 8).i() > 0 ? (j.pc_y_mid >> 8).i() : 0;
    ye = ye < j.y_lim ? ye : j.y_lim;
    const fx pc_y_fp = j.pc_y_top.i() > 0 ? j.pc_y_top : fx(0);
    if (tri_edge_right(j, pc_y_fp))
        j.r_ok = true;
    if (tri_edge_left<F>(j, pc_y_fp, j.part0))
        j.l_ok = true;
    if (ys < ye)
        tri_rows_cut<F>(j, ys, ye);
}

// Part 1: on to the bottom vertex's row; the side with the break takes the
// lower edge.
template <n3d_tri_features F>
__attribute__((always_inline)) inline void tri_part1(tri_job& j)
{
    int32_t ys = (j.pc_y_mid >> 8).i() > 0 ? (j.pc_y_mid >> 8).i() : 0;
    int32_t ye = (j.pc_y_bot >> 8).i() > 0 ? (j.pc_y_bot >> 8).i() : 0;
    ys = ys < j.y_lim ? ys : j.y_lim;
    ye = ye < j.y_lim ? ye : j.y_lim;
    if (ys >= ye)
        return;
    const fx pc_y_fp = j.pc_y_mid.i() > 0 ? j.pc_y_mid : fx(0);
    if (j.is_part1_left) {
        j.l = j.lower;
        j.l_ok = tri_edge_left<F>(j, pc_y_fp, j.part1);
    } else {
        j.r = j.lower;
        j.r_ok = tri_edge_right(j, pc_y_fp);
    }
    if (j.l.dy.i() != 0 && j.r.dy.i() != 0 && j.l_ok && j.r_ok)
        tri_rows_cut<F>(j, ys, ye);
}

}  // namespace n3d_tri

// Draws one triangle with the features F: 1 when drawn, 0 when refused (too
// deep for the reciprocal table). Profile blocks: 0 the set-up, 1 the parts,
// 2 each part's rows, 3 the drawing of their batches.
template <n3d_tri_features F>
int n3d_tri_ex(n3d_rasterizer_args* args)
{
    using namespace n3d_tri;
    static_assert(!(F.phong && F.affine), "phong shading needs the per-pixel reciprocal");
    static_assert(!F.cubic || (F.phong && F.depth), "the cubic r-squared variant is a phong depth variant");
    using vtx = std::conditional_t<F.phong, n3d_vertex_ex4, n3d_vertex_ex2>;

    n3d_profileblock* pb = args->rasterizer->profileblocks;
    pb[0].t0 = cycles_measure_get();

    const vtx* v = static_cast<const vtx*>(args->vertices);
    const tri_order o = tri_order_of(v);
    tri_job j{};
    j.pb = pb;
    if (!tri_set_up<F>(args, v, o, &j))
        return 0;

    {
        cycles_t now = cycles_measure_get();
        pb[0].sum += now - pb[0].t0;
        pb[0].hits += 1;
        pb[1].t0 = now;
    }

    tri_target<F>(args->fc, v, &j);
    tri_part0<F>(j);
    tri_part1<F>(j);

    pb[1].sum += cycles_measure_get_delta(pb[1].t0);
    pb[1].hits += 1;
    return 1;
}
