// Colour classification kernels: the lch_bounds record, the per-pixel
// predicates and the image passes (the scalar reference here; the vector
// ones from color_loop.h, one per instruction set).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wrap.h"

namespace quorvane {

/// Kernel record of a colour window: exclusive intensity bounds `i`,
/// exclusive chroma bounds `c` and the fixed-point matrix `M` (row-major).
struct LchBounds {
    int32_t i[2];
    int32_t c[2];
    int32_t M[9];
};

namespace detail {
/// One row of M times the pixel, in wrapping 32-bit arithmetic.
inline int32_t dot3(const int32_t* m, const uint8_t* c) noexcept {
    return add32(add32(mul32(m[0], c[0]), mul32(m[1], c[1])), mul32(m[2], c[2]));
}
}  // namespace detail

/// Transformed intensity v[2] when the pixel lies inside the window, else
/// `inside` is false. The six strict tests run in the documented order.
inline bool color_classify(const uint8_t* c, const LchBounds& b, int32_t& v2) noexcept {
    const int32_t v0 = detail::dot3(b.M + 0, c);
    const int32_t v1 = detail::dot3(b.M + 3, c);
    v2 = detail::dot3(b.M + 6, c);
    const int32_t tmp = add32(v0, v1);
    return v0 > 0 && v1 > 0 && b.i[0] < v2 && v2 < b.i[1] && b.c[0] < tmp && tmp < b.c[1];
}

/// 1 when pixel `c` (three bytes R, G, B) is inside the window, else 0.
inline int32_t color_mask(const uint8_t* c, const LchBounds& b) noexcept {
    int32_t v2;
    return color_classify(c, b, v2) ? 1 : 0;
}

/// v[2] >> 8 (arithmetic) when inside, else 0; callers keep the low byte.
inline int32_t color_selective(const uint8_t* c, const LchBounds& b) noexcept {
    int32_t v2;
    return color_classify(c, b, v2) ? (v2 >> 8) : 0;
}

/// An image pass: `n` packed RGB pixels from `rgb` to `n` bytes at `out`,
/// pixel i read before byte i is written (so `out` may alias `rgb`).
using ImagePass = void (*)(const uint8_t* rgb, uint8_t* out, std::size_t n,
                           const LchBounds& b) noexcept;

/// The colour passes of one instruction set (one part of a kernel table,
/// kernels/kernels.h).
struct ColorKernels {
    ImagePass mask;       ///< writes color_mask per pixel
    ImagePass selective;  ///< writes the low byte of color_selective per pixel
};

/// The scalar passes (Sel: the selective one): the reference definition the
/// vector passes must match.
template <bool Sel>
void scalar_pass(const uint8_t* rgb, uint8_t* out, std::size_t n, const LchBounds& b) noexcept;
extern template void scalar_pass<false>(const uint8_t*, uint8_t*, std::size_t, const LchBounds&) noexcept;
extern template void scalar_pass<true>(const uint8_t*, uint8_t*, std::size_t, const LchBounds&) noexcept;
inline constexpr ColorKernels kColorScalar{scalar_pass<false>, scalar_pass<true>};

}  // namespace quorvane
