// NEON primitives: on aarch64 the baseline (nothing to choose), on 32-bit
// ARM an extension the dispatcher chooses when the CPU reports it. There
// the NEON code is confined to functions with a target attribute, so the
// rest of the module runs on CPUs without NEON, and the few aarch64-only
// operations are spelled with the 32-bit ARM set.
//
// Colour passes: a three-way interleaved load splits sixteen pixels into
// R, G and B bytes; each row is three widening 16-bit multiply-adds
// (entries within int16) or three 32-bit wrapping multiply-adds (any
// entries). Scoring: a two-way interleaved load splits four points into x
// and y lanes; the 32-bit multiply-add wraps. 32-bit ARM has no double
// lanes: there the double tests run one point at a time in the VFP unit
// (the same IEEE operations, one rounding each). The edge scan searches
// bytes through 64-bit words.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "color/color_impl.h"
#include "kernels/arch.h"
#include "kernels/isa_scalar.h"

#if QV_NEON

#include <arm_neon.h>

#if defined(__aarch64__)
#define QV_NEON_TARGET
#elif defined(__clang__)
#define QV_NEON_TARGET __attribute__((target("neon")))
#else
#define QV_NEON_TARGET __attribute__((target("fpu=neon")))
#endif

namespace quorvane::detail {

struct Neon {
    static constexpr const char* kName = "neon";
    static constexpr int kLanes = 4;
    using Bytes = WordSearch;

    // ---- 32-bit lanes, wrapping arithmetic in unsigned lanes
    using V = int32x4_t;
    using M = uint32x4_t;
    QV_NEON_TARGET static uint32x4_t u(int32x4_t a) noexcept { return vreinterpretq_u32_s32(a); }
    QV_NEON_TARGET static int32x4_t s(uint32x4_t a) noexcept { return vreinterpretq_s32_u32(a); }
    /// The sum of the four lanes, modulo 2^32.
    QV_NEON_TARGET static uint32_t sum_lanes(uint32x4_t x) noexcept {
#if defined(__aarch64__)
        return vaddvq_u32(x);
#else
        uint32x2_t t = vadd_u32(vget_low_u32(x), vget_high_u32(x));
        t = vpadd_u32(t, t);
        return vget_lane_u32(t, 0);
#endif
    }
    QV_NEON_TARGET static V splat(int32_t v) noexcept { return vdupq_n_s32(v); }
    QV_NEON_TARGET static V add(V a, V b) noexcept { return s(vaddq_u32(u(a), u(b))); }
    QV_NEON_TARGET static V sub(V a, V b) noexcept { return s(vsubq_u32(u(a), u(b))); }
    QV_NEON_TARGET static M gt(V a, V b) noexcept { return vcgtq_s32(a, b); }
    QV_NEON_TARGET static M le(V a, V b) noexcept { return vcleq_s32(a, b); }
    QV_NEON_TARGET static M both(M a, M b) noexcept { return vandq_u32(a, b); }
    QV_NEON_TARGET static M either(M a, M b) noexcept { return vorrq_u32(a, b); }
    QV_NEON_TARGET static M differ(M a, M b) noexcept { return veorq_u32(a, b); }
    QV_NEON_TARGET static V count(V acc, M m) noexcept { return s(vsubq_u32(u(acc), m)); }
    QV_NEON_TARGET static uint32_t total(V acc) noexcept { return sum_lanes(u(acc)); }
    QV_NEON_TARGET static uint32_t bits(M m) noexcept {
        const uint32x4_t weight = {1, 2, 4, 8};
        return sum_lanes(vandq_u32(m, weight));
    }

    // ---- colour passes
    struct Px {
        int16x4_t r, g, b;
    };
    struct Row {
        int16x4_t n[3];  ///< the entries as int16 (when they fit)
        int32x4_t w[3];  ///< the entries as given
    };
    struct PixelLoad {};
    static constexpr std::size_t kLead = 0, kTail = 0;

    /// The upper eight bytes, widened.
    QV_NEON_TARGET static uint16x8_t widen_high(uint8x16_t x) noexcept {
#if defined(__aarch64__)
        return vmovl_high_u8(x);
#else
        return vmovl_u8(vget_high_u8(x));
#endif
    }
    QV_NEON_TARGET static PixelLoad load_consts() noexcept { return {}; }
    QV_NEON_TARGET static void load_block(const PixelLoad&, const uint8_t* p, Px px[4]) noexcept {
        const uint8x16x3_t x = vld3q_u8(p);
        int16x8_t c[3][2];
        for (int k = 0; k < 3; ++k) {
            c[k][0] = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(x.val[k])));
            c[k][1] = vreinterpretq_s16_u16(widen_high(x.val[k]));
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
    QV_NEON_TARGET static Row make_row(const Params& p, int r) noexcept {
        Row row;
        for (int k = 0; k < 3; ++k) {
            // Only the narrow flavour reads n, and only when the entry fits.
            row.n[k] = vdup_n_s16(static_cast<int16_t>(p.m[3 * r + k]));
            row.w[k] = vdupq_n_s32(p.m[3 * r + k]);
        }
        return row;
    }
    template <bool Wide>
    QV_NEON_TARGET static V row_dot(const Px& x, const Row& r) noexcept {
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
    /// All ones in the lanes where both are above zero.
    QV_NEON_TARGET static M positive2(V a, V b) noexcept {
#if defined(__aarch64__)
        return vcgtzq_s32(vminq_s32(a, b));
#else
        return vcgtq_s32(vminq_s32(a, b), vdupq_n_s32(0));
#endif
    }
    /// The low byte of each lane of four vectors, in order.
    QV_NEON_TARGET static uint8x16_t narrow(const uint32x4_t x[4]) noexcept {
        const uint16x8_t lo = vcombine_u16(vmovn_u32(x[0]), vmovn_u32(x[1]));
        const uint16x8_t hi = vcombine_u16(vmovn_u32(x[2]), vmovn_u32(x[3]));
        return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
    }
    QV_NEON_TARGET static void store_mask(uint8_t* out, const M in[4]) noexcept {
        vst1q_u8(out, vandq_u8(narrow(in), vdupq_n_u8(1)));
    }
    QV_NEON_TARGET static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        uint32x4_t c[4];
        for (int j = 0; j < 4; ++j) c[j] = vandq_u32(vreinterpretq_u32_s32(vshrq_n_s32(v2[j], 8)), in[j]);
        vst1q_u8(out, narrow(c));
    }

    // ---- scoring: points
    using Pts = int32x4x2_t;  ///< val[0] the x, val[1] the y of four points
    QV_NEON_TARGET static Pts load(const int32_t* p) noexcept { return vld2q_s32(p); }
    QV_NEON_TARGET static Pts pair(int32_t a, int32_t b) noexcept { return {{vdupq_n_s32(a), vdupq_n_s32(b)}}; }
    QV_NEON_TARGET static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {{sub(a.val[0], b.val[0]), sub(a.val[1], b.val[1])}};
    }
    template <bool Ordered>
    QV_NEON_TARGET static V dot(const Pts& p, const Pts& q) noexcept {
        return s(vmlaq_u32(vmulq_u32(u(p.val[0]), u(q.val[0])), u(p.val[1]), u(q.val[1])));
    }
    /// The 32-bit multiply-add serves for int16 coordinates too.
    QV_NEON_TARGET static V dot16(const Pts& p, const Pts& q) noexcept { return dot<false>(p, q); }

    // ---- scoring: float lanes
    using F = float32x4_t;
    QV_NEON_TARGET static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const int32x4x2_t q = vld2q_s32(p);
        x = vcvtq_f32_s32(q.val[0]);
        y = vcvtq_f32_s32(q.val[1]);
    }
    QV_NEON_TARGET static F splat_f(float v) noexcept { return vdupq_n_f32(v); }
    QV_NEON_TARGET static F mul_f(F a, F b) noexcept { return vmulq_f32(a, b); }
    QV_NEON_TARGET static F add_f(F a, F b) noexcept { return vaddq_f32(a, b); }
    QV_NEON_TARGET static M gt_f(F a, F b) noexcept { return vcgtq_f32(a, b); }

    // ---- scoring: double lanes
#if defined(__aarch64__)
    using D = float64x2_t;
    using DM = uint64x2_t;
    using W = int64x2_t;
    static constexpr int kDLanes = 2;
    QV_NEON_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const int32x2x2_t q = vld2_s32(p);
        x = vcvtq_f64_s64(vmovl_s32(q.val[0]));
        y = vcvtq_f64_s64(vmovl_s32(q.val[1]));
    }
    QV_NEON_TARGET static D splat_d(double v) noexcept { return vdupq_n_f64(v); }
    QV_NEON_TARGET static D mul_d(D a, D b) noexcept { return vmulq_f64(a, b); }
    QV_NEON_TARGET static D add_d(D a, D b) noexcept { return vaddq_f64(a, b); }
    QV_NEON_TARGET static D sub_d(D a, D b) noexcept { return vsubq_f64(a, b); }
    QV_NEON_TARGET static D div_d(D a, D b) noexcept { return vdivq_f64(a, b); }
    QV_NEON_TARGET static D sqrt_d(D a) noexcept { return vsqrtq_f64(a); }
    QV_NEON_TARGET static D neg_d(D a) noexcept { return vnegq_f64(a); }
    QV_NEON_TARGET static DM ge_d(D a, D b) noexcept { return vcgeq_f64(a, b); }
    QV_NEON_TARGET static DM le_d(D a, D b) noexcept { return vcleq_f64(a, b); }
    QV_NEON_TARGET static DM eq_d(D a, D b) noexcept { return vceqq_f64(a, b); }
    QV_NEON_TARGET static DM gt_d(D a, D b) noexcept { return vcgtq_f64(a, b); }
    QV_NEON_TARGET static DM ne_d(D a, D b) noexcept {
        return vreinterpretq_u64_u32(vmvnq_u32(vreinterpretq_u32_u64(vceqq_f64(a, b))));
    }
    QV_NEON_TARGET static DM both_d(DM a, DM b) noexcept { return vandq_u64(a, b); }
    QV_NEON_TARGET static DM either_d(DM a, DM b) noexcept { return vorrq_u64(a, b); }
    /// a where m is set, else b.
    QV_NEON_TARGET static D select_d(DM m, D a, D b) noexcept { return vbslq_f64(m, a, b); }
    QV_NEON_TARGET static uint32_t bits_d(DM m) noexcept {
        return static_cast<uint32_t>((vgetq_lane_u64(m, 0) & 1u) | ((vgetq_lane_u64(m, 1) & 1u) << 1));
    }
    QV_NEON_TARGET static D load_dv(const double* p) noexcept { return vld1q_f64(p); }
    QV_NEON_TARGET static void store_dv(double* p, D v) noexcept { vst1q_f64(p, v); }
    QV_NEON_TARGET static W zero_w() noexcept { return vdupq_n_s64(0); }
    QV_NEON_TARGET static W count_d(W acc, DM m) noexcept {
        return vreinterpretq_s64_u64(vsubq_u64(vreinterpretq_u64_s64(acc), m));
    }
    QV_NEON_TARGET static uint32_t total_d(W acc) noexcept { return static_cast<uint32_t>(vaddvq_s64(acc)); }
#else
    // One point per "lane": plain doubles.
    using D = double;
    using DM = bool;
    using W = uint32_t;
    static constexpr int kDLanes = 1;
    QV_NEON_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        x = static_cast<double>(p[0]);
        y = static_cast<double>(p[1]);
    }
    QV_NEON_TARGET static D splat_d(double v) noexcept { return v; }
    QV_NEON_TARGET static D mul_d(D a, D b) noexcept { return a * b; }
    QV_NEON_TARGET static D add_d(D a, D b) noexcept { return a + b; }
    QV_NEON_TARGET static D sub_d(D a, D b) noexcept { return a - b; }
    QV_NEON_TARGET static D div_d(D a, D b) noexcept { return a / b; }
    QV_NEON_TARGET static D sqrt_d(D a) noexcept { return std::sqrt(a); }
    QV_NEON_TARGET static D neg_d(D a) noexcept { return -a; }
    QV_NEON_TARGET static DM ge_d(D a, D b) noexcept { return a >= b; }
    QV_NEON_TARGET static DM le_d(D a, D b) noexcept { return a <= b; }
    QV_NEON_TARGET static DM eq_d(D a, D b) noexcept { return a == b; }
    QV_NEON_TARGET static DM gt_d(D a, D b) noexcept { return a > b; }
    QV_NEON_TARGET static DM ne_d(D a, D b) noexcept { return !(a == b); }
    QV_NEON_TARGET static DM both_d(DM a, DM b) noexcept { return a & b; }
    QV_NEON_TARGET static DM either_d(DM a, DM b) noexcept { return a | b; }
    /// a where m is set, else b.
    QV_NEON_TARGET static D select_d(DM m, D a, D b) noexcept { return m ? a : b; }
    QV_NEON_TARGET static uint32_t bits_d(DM m) noexcept { return m ? 1u : 0u; }
    QV_NEON_TARGET static D load_dv(const double* p) noexcept { return *p; }
    QV_NEON_TARGET static void store_dv(double* p, D v) noexcept { *p = v; }
    QV_NEON_TARGET static W zero_w() noexcept { return 0; }
    QV_NEON_TARGET static W count_d(W acc, DM m) noexcept { return acc + (m ? 1u : 0u); }
    QV_NEON_TARGET static uint32_t total_d(W acc) noexcept { return acc; }
#endif
};

}  // namespace quorvane::detail
#endif
