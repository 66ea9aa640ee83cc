// The one block loop of the colour passes, over the primitives of one
// instruction set. Each color_<isa>.cpp defines, before including this file:
//
//   QV_TARGET        the function attribute of its instruction set (e.g.
//                    __attribute__((target("avx2"))), empty for a baseline
//                    one), so the build needs no -m flag and the choice is
//                    made at run time (dispatch.cpp);
//   struct Isa       in quorvane::detail's anonymous namespace, with
//     V, M             a vector of 32-bit lanes and a lane mask;
//     Px, Row          the pixels of one V and one matrix row, in the form
//                      dot() wants;
//     Load             the constants of load_block;
//     kLanes           pixels per V (a block is four V);
//     kLead            pixels run by the scalar range before the first block
//                      (0, or 2 when a block's loads start 4 bytes before
//                      its first pixel);
//     kTail            pixels that must follow a block because its loads
//                      reach past it;
//     kName            the implementation's name;
//     load_consts(), load_block(ld, p, px[4])   the block's pixels from its
//                      first byte p;
//     make_row(p, r)   row r of Params;
//     dot<Wide>(px, row)   the wrapping 32-bit row product;
//     splat, add, sub  (wrapping), positive2(a, b) (a > 0 && b > 0),
//     gt(a, b) (signed a > b), both(m1, m2);
//     store_mask(out, in[4])      1 where inside, else 0;
//     store_sel(out, v2[4], in[4])  the low byte of v2 >> 8 where inside.
//
// Results are bit-identical to the scalar passes (see Params for the
// arithmetic). The pixels before the first block and after the last run the
// scalar range.
//
// In-place use (out == rgb, or any out <= rgb): a block loads all its pixels
// before it stores; its store ends at out + i + B <= rgb + i + B, below the
// first byte a later block or the scalar tail reads (rgb + 3(i + B) - 4 or
// above; i + B >= 2), and the scalar lead writes out[0], out[1] below the
// first block's first load (rgb + 2). So every pixel is read before anything
// overwrites it, as in the sequential pass. Any other overlap (out inside the
// image above its start) runs the scalar pass, whose strictly increasing
// order defines the result.

#ifndef QV_TARGET
#error "define QV_TARGET and struct Isa before including color_loop.h"
#endif

namespace quorvane::detail {
namespace {

/// Blocks of 4 * kLanes pixels from pixel `i` while they and their tail fit
/// below `n`; returns the first pixel not done.
template <class I, bool Sel, bool Wide>
QV_TARGET std::size_t color_blocks(const uint8_t* rgb, uint8_t* out, std::size_t i,
                                   std::size_t n, const Params& p) noexcept {
    using V = typename I::V;
    using M = typename I::M;
    constexpr std::size_t kBlock = 4 * I::kLanes;
    const typename I::Load ld = I::load_consts();
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
            const V v0 = I::template dot<Wide>(px[j], r0);
            const V v1 = I::template dot<Wide>(px[j], r1);
            v2[j] = I::template dot<Wide>(px[j], r2);
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

template <class I, bool Sel>
QV_TARGET void color_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                          const LchBounds& bounds) noexcept {
    // A local copy: stores through `out` may alias the caller's bounds.
    const LchBounds b = bounds;
    std::size_t i = 0;
    if (n >= I::kLead + 4 * I::kLanes + I::kTail && blocks_allowed(rgb, out, n)) {
        scalar_range<Sel>(rgb, out, 0, I::kLead, b);
        const Params p = make_params(b);
        i = p.wide ? color_blocks<I, Sel, true>(rgb, out, I::kLead, n, p)
                   : color_blocks<I, Sel, false>(rgb, out, I::kLead, n, p);
    }
    scalar_range<Sel>(rgb, out, i, n, b);
}

constexpr ColorKernels kIsaKernels{color_pass<Isa, false>, color_pass<Isa, true>, Isa::kName};

}  // namespace
}  // namespace quorvane::detail
