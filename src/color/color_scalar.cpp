// Scalar image passes: the reference definition the vector passes must match.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"

namespace quorvane {

// The bounds are copied into a local so that stores through `out` (which
// may alias anything) do not force them to be reloaded for every pixel.
template <bool Sel>
void scalar_pass(const uint8_t* rgb, uint8_t* out, std::size_t n, const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    detail::scalar_range<Sel>(rgb, out, 0, n, b);
}

template void scalar_pass<false>(const uint8_t*, uint8_t*, std::size_t, const LchBounds&) noexcept;
template void scalar_pass<true>(const uint8_t*, uint8_t*, std::size_t, const LchBounds&) noexcept;

}  // namespace quorvane
