// Private to the colour passes: the SIMD implementations behind the
// dispatch point (nullptr where an instruction set is not built).
#pragma once

#include "color.h"

namespace quorvane::detail {

const ColorKernels* color_kernels_sse41() noexcept;
const ColorKernels* color_kernels_avx2() noexcept;
const ColorKernels* color_kernels_avx512() noexcept;

}  // namespace quorvane::detail
