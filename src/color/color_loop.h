// The one block loop of the colour passes, over the primitives of one
// instruction set (kernels/generic.h lists them; QV_TARGET is the set's
// function attribute). Results are bit-identical to the scalar passes (see
// Params for the arithmetic). The pixels before the first block and after
// the last run the scalar range.
//
// In-place use (out == rgb, or any out <= rgb): a block loads all its pixels
// before it stores; its store ends at out + i + B <= rgb + i + B, below the
// first byte a later block or the scalar tail reads (rgb + 3(i + B) - 4 or
// above; i + B >= 2), and the scalar lead writes out[0], out[1] below the
// first block's first load (rgb + 2). So every pixel is read before anything
// overwrites it, as in the sequential pass. Any other overlap (out inside the
// image above its start) runs the scalar pass, whose strictly increasing
// order defines the result.
#pragma once

#ifndef QV_TARGET
#error "define QV_TARGET before including color_loop.h"
#endif

#include <cstddef>
#include <cstdint>

#include "color/color_impl.h"

namespace quorvane::detail {
namespace {

/// Blocks of 4 * kLanes pixels from pixel `i` while they and their tail fit
/// below `n`; returns the first pixel not done.
template <class I, bool Sel, bool Wide>
QV_TARGET std::size_t color_blocks(const uint8_t* rgb, uint8_t* out, std::size_t i, std::size_t n,
                                   const Params& p) noexcept {
    using V = typename I::V;
    using M = typename I::M;
    constexpr std::size_t kBlock = 4 * std::size_t{I::kLanes};
    const typename I::PixelLoad ld = I::load_consts();
    const typename I::Row r0 = I::make_row(p, 0);
    const typename I::Row r1 = I::make_row(p, 1);
    const typename I::Row r2 = I::make_row(p, 2);
    const V ki = I::splat(p.ki), wi = I::splat(p.wi);
    const V kc = I::splat(p.kc), wc = I::splat(p.wc);
    for (; n - i >= kBlock + I::kTail; i += kBlock) {
        typename I::Px px[4];
        I::load_block(ld, rgb + 3 * i, px);
        V v2[4];
        M in[4];
        for (int j = 0; j < 4; ++j) {
            const V v0 = I::template row_dot<Wide>(px[j], r0);
            const V v1 = I::template row_dot<Wide>(px[j], r1);
            v2[j] = I::template row_dot<Wide>(px[j], r2);
            const M hue = I::positive2(v0, v1);
            const M in_i = I::gt(wi, I::sub(v2[j], ki));
            const M in_c = I::gt(wc, I::sub(I::add(v0, v1), kc));
            in[j] = I::both(hue, I::both(in_i, in_c));
        }
        if constexpr (Sel) {
            I::store_sel(out + i, v2, in);
        } else {
            I::store_mask(out + i, in);
        }
    }
    return i;
}

/// The pass of the table (ColorKernels), called by the RGB edge scan too:
/// kept out of line there, one copy of its block loop.
template <class I, bool Sel>
QV_TARGET __attribute__((noinline)) void color_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                                                   const LchBounds& bounds) noexcept {
    // A local copy: stores through `out` may alias the caller's bounds.
    const LchBounds b = bounds;
    std::size_t i = 0;
    if (n >= I::kLead + 4 * std::size_t{I::kLanes} + I::kTail && blocks_allowed(rgb, out, n)) {
        scalar_range<Sel>(rgb, out, 0, I::kLead, b);
        const Params p = make_params(b);
        i = p.wide ? color_blocks<I, Sel, true>(rgb, out, I::kLead, n, p)
                   : color_blocks<I, Sel, false>(rgb, out, I::kLead, n, p);
    }
    scalar_range<Sel>(rgb, out, i, n, b);
}

}  // namespace
}  // namespace quorvane::detail
