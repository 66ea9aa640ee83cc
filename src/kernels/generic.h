// The one template that makes a kernel table from the primitives of one
// instruction set, through the generic loops (color/color_loop.h,
// ransac/score_loop.h, ransac/conic_loop.h, points/scan_loop.h). Each
// kernels/<isa>.cpp defines QV_TARGET (the set's function attribute, e.g.
// __attribute__((target("avx2"))), empty for a baseline set; the build
// needs no -m flag and the choice is made at run time, dispatch.cpp),
// includes this file and returns kIsaKernels<its struct> (sse41.cpp takes
// the SSE2 table's scoring kernels and scans instead).
//
// The primitives, static members of the struct I (isa_*.h):
//   kName, kLanes      the table's name; 32-bit lanes per vector
//   Bytes              the edge scan's byte search (next_set, next_clear)
//   32-bit lanes:
//     V, M             a vector of int32 lanes and a lane mask;
//     splat, add, sub (wrapping), gt (signed a > b), le (signed a <= b),
//     both, either, differ (and, or, xor of masks);
//     count(acc, m)    acc plus 1 in the lanes set in m; total(acc) the sum;
//     bits(m)          bit j set when lane j of m is set;
//   colour passes (a block is four V of pixels):
//     Px, Row          the pixels of one V and one matrix row, in the form
//                      row_dot wants;
//     PixelLoad        the constants of load_block, from load_consts();
//     kLead            pixels run by the scalar range before the first block
//                      (0, or 2 when a block's loads start 4 bytes before
//                      its first pixel);
//     kTail            pixels that must follow a block because its loads
//                      reach past it;
//     load_block(ld, p, px[4])   the block's pixels from its first byte p;
//     make_row(p, r)   row r of Params;
//     row_dot<Wide>(px, row)   the wrapping 32-bit row product;
//     positive2(a, b)  a > 0 && b > 0;
//     store_mask(out, in[4])      1 where inside, else 0;
//     store_sel(out, v2[4], in[4])  the low byte of v2 >> 8 where inside;
//   scoring, points:
//     Pts              kLanes points: load(p) reads them (2 * kLanes int32
//                      from p), pair(u, v) is (u, v) at every point;
//     sub(Pts, Pts)    per coordinate, wrapping;
//     dot<Ordered>(p, q)   x_p * x_q + y_p * y_q per point, wrapping 32-bit;
//                      lane j is point j when Ordered (marking), the lanes
//                      are in some fixed order otherwise (counting);
//     dot16(p, q)      the same (lanes in the counting order) when every
//                      coordinate of p and q lies in int16: 16-bit
//                      multiply-adds;
//   scoring, float lanes (as many as the 32-bit ones, the ring's float pass):
//     F                kLanes floats; load_f(p, x, y) reads kLanes points
//                      in order (exact for coordinates within 2^24);
//     splat_f, mul_f, add_f;  gt_f (a > b, false on NaN) gives an M;
//   scoring, double lanes:
//     D, DM, W         doubles, their mask, and a counter vector;
//     kDLanes          points per D; load_d(p, x, y) reads them (exact);
//     splat_d, mul_d, add_d, sub_d, div_d, sqrt_d   IEEE operations, one
//                      rounding each, never fused; neg_d flips the sign;
//     ge_d, le_d, eq_d, gt_d (false on NaN), ne_d (true on NaN), both_d,
//     either_d, select_d(m, a, b) (a where m is set), bits_d(m);
//     load_dv, store_dv (kDLanes doubles), zero_w(), count_d(acc, m),
//     total_d(acc).
#pragma once

#ifndef QV_TARGET
#error "define QV_TARGET before including kernels/generic.h"
#endif

#include "color/color_loop.h"
#include "kernels/kernels.h"
#include "points/scan_loop.h"
#include "ransac/conic_loop.h"
#include "ransac/score_loop.h"

namespace quorvane::detail {
namespace {

template <class I>
constexpr Kernels kIsaKernels{
    {color_pass<I, false>, color_pass<I, true>},
    {ScoreLoop<I>::line_count, ScoreLoop<I>::pair_count, ScoreLoop<I>::ring_count, ScoreLoop<I>::shell_count,
     conic_fits<I>, ScoreLoop<I>::mark_line, ScoreLoop<I>::mark_pair},
    {scan_mask<typename I::Bytes>, scan_rgb<typename I::Bytes, color_pass<I, false>>},
    I::kName,
};

}  // namespace
}  // namespace quorvane::detail
