// Private to the colour passes: the scalar pixel range every pass uses
// (whole passes, and the pixels left after the last SIMD block) and the
// SIMD implementations behind the dispatch point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color.h"

namespace quorvane::detail {

/// Bytes from..to-1 of `out` from the same pixels of `rgb`, in increasing
/// order, pixel i read before byte i is written.
template <bool Sel>
inline void scalar_range(const uint8_t* rgb, uint8_t* out, std::size_t from, std::size_t to,
                         const LchBounds& b) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        const uint8_t* c = rgb + 3 * i;
        if constexpr (Sel) {
            out[i] = static_cast<uint8_t>(static_cast<uint32_t>(color_selective(c, b)));
        } else {
            out[i] = static_cast<uint8_t>(color_mask(c, b));
        }
    }
}

/// nullptr where an instruction set is not built.
const ColorKernels* color_kernels_sse41() noexcept;
const ColorKernels* color_kernels_avx2() noexcept;
const ColorKernels* color_kernels_avx512() noexcept;

}  // namespace quorvane::detail
