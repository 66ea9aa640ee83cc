// Scalar image passes: the reference definition the vector passes must match.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"

namespace quorvane {

// The bounds are copied into a local so that stores through `out` (which
// may alias anything) do not force them to be reloaded for every pixel.
void mask_pass_scalar(const uint8_t* rgb, uint8_t* out, std::size_t n, const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    detail::scalar_range<false>(rgb, out, 0, n, b);
}

void selective_pass_scalar(const uint8_t* rgb, uint8_t* out, std::size_t n, const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    detail::scalar_range<true>(rgb, out, 0, n, b);
}

}  // namespace quorvane
