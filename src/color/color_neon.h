// NEON for the colour passes and the scoring kernels: on aarch64 the
// baseline (nothing to choose), on 32-bit ARM an extension the dispatcher
// chooses when the CPU reports it (dispatch.cpp). There the NEON code is
// confined to functions with a target attribute, so the rest of the module
// runs on CPUs without NEON; and the few aarch64-only operations are
// spelled with the 32-bit ARM set.
#pragma once

#include <cstdint>

#include "color_impl.h"  // QV_NEON32

#if defined(__aarch64__) || QV_NEON32
#define QV_NEON 1

#include <arm_neon.h>

#if defined(__aarch64__)
#define QV_NEON_TARGET
#elif defined(__clang__)
#define QV_NEON_TARGET __attribute__((target("neon")))
#else
#define QV_NEON_TARGET __attribute__((target("fpu=neon")))
#endif

namespace quorvane::detail::neon {

/// The sum of the four lanes, modulo 2^32.
QV_NEON_TARGET inline uint32_t sum_lanes(uint32x4_t x) noexcept {
#if defined(__aarch64__)
    return vaddvq_u32(x);
#else
    uint32x2_t s = vadd_u32(vget_low_u32(x), vget_high_u32(x));
    s = vpadd_u32(s, s);
    return vget_lane_u32(s, 0);
#endif
}

/// All ones in the lanes above zero.
QV_NEON_TARGET inline uint32x4_t above_zero(int32x4_t x) noexcept {
#if defined(__aarch64__)
    return vcgtzq_s32(x);
#else
    return vcgtq_s32(x, vdupq_n_s32(0));
#endif
}

/// The upper eight bytes, widened.
QV_NEON_TARGET inline uint16x8_t widen_high(uint8x16_t x) noexcept {
#if defined(__aarch64__)
    return vmovl_high_u8(x);
#else
    return vmovl_u8(vget_high_u8(x));
#endif
}

}  // namespace quorvane::detail::neon

#else
#define QV_NEON 0
#endif
