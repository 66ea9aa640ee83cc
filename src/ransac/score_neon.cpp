// NEON scoring: the aarch64 baseline, and on 32-bit ARM chosen with the
// NEON colour passes. A two-way interleaved load splits four points into x
// and y lanes; the 32-bit multiply-add wraps. 32-bit ARM has no double
// lanes: there the double tests run one point at a time in the VFP unit
// (the same IEEE operations, one rounding each).

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "color/color_neon.h"
#include "score.h"

#if QV_NEON

#define QV_TARGET QV_NEON_TARGET

namespace quorvane::detail {
namespace {

struct Isa {
    static constexpr const char* kName = "neon";

    using V = int32x4_t;
    using M = uint32x4_t;
    using Pts = int32x4x2_t;  ///< val[0] the x, val[1] the y of four points
    static constexpr int kLanes = 4;

    QV_TARGET static Pts load(const int32_t* p) noexcept { return vld2q_s32(p); }
    QV_TARGET static Pts pair(int32_t u, int32_t v) noexcept { return {{vdupq_n_s32(u), vdupq_n_s32(v)}}; }
    // Wrapping arithmetic in unsigned lanes.
    QV_TARGET static uint32x4_t u(int32x4_t a) noexcept { return vreinterpretq_u32_s32(a); }
    QV_TARGET static int32x4_t s(uint32x4_t a) noexcept { return vreinterpretq_s32_u32(a); }
    QV_TARGET static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {{sub(a.val[0], b.val[0]), sub(a.val[1], b.val[1])}};
    }
    template <bool Ordered>
    QV_TARGET static V dot(const Pts& p, const Pts& q) noexcept {
        return s(vmlaq_u32(vmulq_u32(u(p.val[0]), u(q.val[0])), u(p.val[1]), u(q.val[1])));
    }
    /// The 32-bit multiply-add serves for int16 coordinates too.
    QV_TARGET static V dot16(const Pts& p, const Pts& q) noexcept { return dot<false>(p, q); }
    QV_TARGET static V splat(int32_t v) noexcept { return vdupq_n_s32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return s(vaddq_u32(u(a), u(b))); }
    QV_TARGET static V sub(V a, V b) noexcept { return s(vsubq_u32(u(a), u(b))); }
    QV_TARGET static M gt(V a, V b) noexcept { return vcgtq_s32(a, b); }
    QV_TARGET static M le(V a, V b) noexcept { return vcleq_s32(a, b); }
    QV_TARGET static M both(M a, M b) noexcept { return vandq_u32(a, b); }
    QV_TARGET static M either(M a, M b) noexcept { return vorrq_u32(a, b); }
    QV_TARGET static M differ(M a, M b) noexcept { return veorq_u32(a, b); }
    QV_TARGET static V count(V acc, M m) noexcept { return s(vsubq_u32(u(acc), m)); }
    QV_TARGET static uint32_t total(V acc) noexcept { return neon::sum_lanes(vreinterpretq_u32_s32(acc)); }
    QV_TARGET static uint32_t bits(M m) noexcept {
        const uint32x4_t weight = {1, 2, 4, 8};
        return neon::sum_lanes(vandq_u32(m, weight));
    }

    using F = float32x4_t;  ///< kLanes floats
    /// kLanes points as floats (exact for coordinates within 2^24), lane j point j.
    QV_TARGET static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const int32x4x2_t q = vld2q_s32(p);
        x = vcvtq_f32_s32(q.val[0]);
        y = vcvtq_f32_s32(q.val[1]);
    }
    QV_TARGET static F splat_f(float v) noexcept { return vdupq_n_f32(v); }
    QV_TARGET static F mul_f(F a, F b) noexcept { return vmulq_f32(a, b); }
    QV_TARGET static F add_f(F a, F b) noexcept { return vaddq_f32(a, b); }
    QV_TARGET static M gt_f(F a, F b) noexcept { return vcgtq_f32(a, b); }

#if defined(__aarch64__)
    using D = float64x2_t;
    using DM = uint64x2_t;
    using W = int64x2_t;
    static constexpr int kDLanes = 2;

    QV_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const int32x2x2_t q = vld2_s32(p);
        x = vcvtq_f64_s64(vmovl_s32(q.val[0]));
        y = vcvtq_f64_s64(vmovl_s32(q.val[1]));
    }
    QV_TARGET static D splat_d(double v) noexcept { return vdupq_n_f64(v); }
    QV_TARGET static D mul_d(D a, D b) noexcept { return vmulq_f64(a, b); }
    QV_TARGET static D add_d(D a, D b) noexcept { return vaddq_f64(a, b); }
    QV_TARGET static DM ge_d(D a, D b) noexcept { return vcgeq_f64(a, b); }
    QV_TARGET static DM le_d(D a, D b) noexcept { return vcleq_f64(a, b); }
    QV_TARGET static DM both_d(DM a, DM b) noexcept { return vandq_u64(a, b); }
    QV_TARGET static DM either_d(DM a, DM b) noexcept { return vorrq_u64(a, b); }
    QV_TARGET static D load_dv(const double* p) noexcept { return vld1q_f64(p); }
    QV_TARGET static void store_dv(double* p, D v) noexcept { vst1q_f64(p, v); }
    QV_TARGET static D sub_d(D a, D b) noexcept { return vsubq_f64(a, b); }
    QV_TARGET static D div_d(D a, D b) noexcept { return vdivq_f64(a, b); }
    QV_TARGET static D sqrt_d(D a) noexcept { return vsqrtq_f64(a); }
    QV_TARGET static D neg_d(D a) noexcept { return vnegq_f64(a); }
    QV_TARGET static DM eq_d(D a, D b) noexcept { return vceqq_f64(a, b); }
    QV_TARGET static DM gt_d(D a, D b) noexcept { return vcgtq_f64(a, b); }
    QV_TARGET static DM ne_d(D a, D b) noexcept {
        return vreinterpretq_u64_u32(vmvnq_u32(vreinterpretq_u32_u64(vceqq_f64(a, b))));
    }
    /// a where m is set, else b.
    QV_TARGET static D select_d(DM m, D a, D b) noexcept { return vbslq_f64(m, a, b); }
    QV_TARGET static uint32_t bits_d(DM m) noexcept {
        return static_cast<uint32_t>((vgetq_lane_u64(m, 0) & 1u) | ((vgetq_lane_u64(m, 1) & 1u) << 1));
    }
    QV_TARGET static W zero_w() noexcept { return vdupq_n_s64(0); }
    QV_TARGET static W count_d(W acc, DM m) noexcept { return vreinterpretq_s64_u64(vsubq_u64(vreinterpretq_u64_s64(acc), m)); }
    QV_TARGET static uint32_t total_d(W acc) noexcept { return static_cast<uint32_t>(vaddvq_s64(acc)); }
#else
    // One point per "lane": plain doubles.
    using D = double;
    using DM = bool;
    using W = uint32_t;
    static constexpr int kDLanes = 1;

    QV_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        x = static_cast<double>(p[0]);
        y = static_cast<double>(p[1]);
    }
    QV_TARGET static D splat_d(double v) noexcept { return v; }
    QV_TARGET static D mul_d(D a, D b) noexcept { return a * b; }
    QV_TARGET static D add_d(D a, D b) noexcept { return a + b; }
    QV_TARGET static DM ge_d(D a, D b) noexcept { return a >= b; }
    QV_TARGET static DM le_d(D a, D b) noexcept { return a <= b; }
    QV_TARGET static DM both_d(DM a, DM b) noexcept { return a & b; }
    QV_TARGET static DM either_d(DM a, DM b) noexcept { return a | b; }
    QV_TARGET static D load_dv(const double* p) noexcept { return *p; }
    QV_TARGET static void store_dv(double* p, D v) noexcept { *p = v; }
    QV_TARGET static D sub_d(D a, D b) noexcept { return a - b; }
    QV_TARGET static D div_d(D a, D b) noexcept { return a / b; }
    QV_TARGET static D sqrt_d(D a) noexcept { return std::sqrt(a); }
    QV_TARGET static D neg_d(D a) noexcept { return -a; }
    QV_TARGET static DM eq_d(D a, D b) noexcept { return a == b; }
    QV_TARGET static DM gt_d(D a, D b) noexcept { return a > b; }
    QV_TARGET static DM ne_d(D a, D b) noexcept { return !(a == b); }
    /// a where m is set, else b.
    QV_TARGET static D select_d(DM m, D a, D b) noexcept { return m ? a : b; }
    QV_TARGET static uint32_t bits_d(DM m) noexcept { return m ? 1u : 0u; }
    QV_TARGET static W zero_w() noexcept { return 0; }
    QV_TARGET static W count_d(W acc, DM m) noexcept { return acc + (m ? 1u : 0u); }
    QV_TARGET static uint32_t total_d(W acc) noexcept { return acc; }
#endif
};

}  // namespace
}  // namespace quorvane::detail

#include "score_loop.h"

namespace quorvane::detail {
const ScoreKernels* score_kernels_neon() noexcept { return &kIsaScore; }
}  // namespace quorvane::detail

#else

namespace quorvane::detail {
const ScoreKernels* score_kernels_neon() noexcept { return nullptr; }
}  // namespace quorvane::detail

#endif
