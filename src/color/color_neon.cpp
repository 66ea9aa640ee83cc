// NEON colour passes: the aarch64 baseline, and on 32-bit ARM chosen when
// the CPU has NEON (color_neon.h). A three-way interleaved load splits sixteen pixels into R, G and B bytes;
// each row is three widening 16-bit multiply-adds (entries within int16) or
// three 32-bit wrapping multiply-adds (any entries).

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"
#include "color_neon.h"

#if QV_NEON

#define QV_TARGET QV_NEON_TARGET

namespace quorvane::detail {
namespace {

struct Isa {
    using V = int32x4_t;
    using M = uint32x4_t;
    struct Px {
        int16x4_t r, g, b;
    };
    struct Row {
        int16x4_t n[3];  ///< the entries as int16 (when they fit)
        int32x4_t w[3];  ///< the entries as given
    };
    struct Load {};
    static constexpr std::size_t kLanes = 4, kLead = 0, kTail = 0;
    static constexpr const char* kName = "neon";

    QV_TARGET static Load load_consts() noexcept { return {}; }
    QV_TARGET static void load_block(const Load&, const uint8_t* p, Px px[4]) noexcept {
        const uint8x16x3_t x = vld3q_u8(p);
        int16x8_t c[3][2];
        for (int k = 0; k < 3; ++k) {
            c[k][0] = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(x.val[k])));
            c[k][1] = vreinterpretq_s16_u16(neon::widen_high(x.val[k]));
        }
        for (int j = 0; j < 4; ++j) {
            const int h = j / 2;
            if (j % 2 == 0) {
                px[j] = {vget_low_s16(c[0][h]), vget_low_s16(c[1][h]), vget_low_s16(c[2][h])};
            } else {
                px[j] = {vget_high_s16(c[0][h]), vget_high_s16(c[1][h]), vget_high_s16(c[2][h])};
            }
        }
    }
    QV_TARGET static Row make_row(const Params& p, int r) noexcept {
        Row row;
        for (int k = 0; k < 3; ++k) {
            // Only the narrow flavour reads n, and only when the entry fits.
            row.n[k] = vdup_n_s16(static_cast<int16_t>(p.m[3 * r + k]));
            row.w[k] = vdupq_n_s32(p.m[3 * r + k]);
        }
        return row;
    }
    template <bool Wide>
    QV_TARGET static V dot(const Px& x, const Row& r) noexcept {
        if constexpr (Wide) {
            // Integer multiply(-accumulate) wraps modulo 2^32.
            V v = vmulq_s32(vmovl_s16(x.r), r.w[0]);
            v = vmlaq_s32(v, vmovl_s16(x.g), r.w[1]);
            return vmlaq_s32(v, vmovl_s16(x.b), r.w[2]);
        } else {
            // Products of a byte by an int16 and their sum fit in int32.
            V v = vmull_s16(x.r, r.n[0]);
            v = vmlal_s16(v, x.g, r.n[1]);
            return vmlal_s16(v, x.b, r.n[2]);
        }
    }
    QV_TARGET static V splat(int32_t v) noexcept { return vdupq_n_s32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return vaddq_s32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return vsubq_s32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return vcgtq_s32(a, b); }
    QV_TARGET static M both(M a, M b) noexcept { return vandq_u32(a, b); }
    QV_TARGET static M positive2(V a, V b) noexcept { return neon::above_zero(vminq_s32(a, b)); }
    /// The low byte of each lane of four vectors, in order.
    QV_TARGET static uint8x16_t narrow(const uint32x4_t x[4]) noexcept {
        const uint16x8_t lo = vcombine_u16(vmovn_u32(x[0]), vmovn_u32(x[1]));
        const uint16x8_t hi = vcombine_u16(vmovn_u32(x[2]), vmovn_u32(x[3]));
        return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
    }
    QV_TARGET static void store_mask(uint8_t* out, const M in[4]) noexcept {
        vst1q_u8(out, vandq_u8(narrow(in), vdupq_n_u8(1)));
    }
    QV_TARGET static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        uint32x4_t c[4];
        for (int j = 0; j < 4; ++j) c[j] = vandq_u32(vreinterpretq_u32_s32(vshrq_n_s32(v2[j], 8)), in[j]);
        vst1q_u8(out, narrow(c));
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "color_loop.h"

namespace quorvane::detail {
const ColorKernels* color_kernels_neon() noexcept { return &kIsaKernels; }
}  // namespace quorvane::detail

#endif
