// Scalar image passes: the reference definition the SIMD passes must match.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"

namespace quorvane {
namespace {

// The bounds are copied into a local so that stores through `out` (which
// may alias anything) do not force them to be reloaded for every pixel.
template <bool Sel>
void scalar_pass(const uint8_t* rgb, uint8_t* out, std::size_t n, const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    detail::scalar_range<Sel>(rgb, out, 0, n, b);
}

constexpr ColorKernels kScalar{scalar_pass<false>, scalar_pass<true>, "scalar"};

}  // namespace

const ColorKernels& color_kernels_scalar() noexcept { return kScalar; }

}  // namespace quorvane
