// The scalar kernel table: the reference passes and scoring kernels, and
// the edge scans searching bytes through 64-bit words.

#define QV_TARGET
#include "kernels/isa_scalar.h"
#include "kernels/kernels.h"
#include "points/scan_loop.h"

namespace quorvane {

const Kernels& kernels_scalar() noexcept {
    static constexpr Kernels kScalar{
        kColorScalar,
        kScoreScalar,
        {detail::scan_mask<detail::WordSearch>, detail::scan_rgb<detail::WordSearch, scalar_pass<false>>},
        "scalar",
    };
    return kScalar;
}

}  // namespace quorvane
