// Scalar image passes: the reference definition the SIMD passes must match.

#include <cstddef>
#include <cstdint>

#include "color.h"

namespace quorvane {
namespace {

// The bounds are copied into a local so that stores through `out` (which
// may alias anything) do not force them to be reloaded for every pixel.
void mask_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
               const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(color_mask(rgb + 3 * i, b));
    }
}

void selective_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                    const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(static_cast<uint32_t>(color_selective(rgb + 3 * i, b)));
    }
}

constexpr ColorKernels kScalar{mask_pass, selective_pass, "scalar"};

}  // namespace

const ColorKernels& color_kernels_scalar() noexcept { return kScalar; }

}  // namespace quorvane
