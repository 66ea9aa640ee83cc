// NEON scoring: the aarch64 baseline. A two-way interleaved load splits
// four points into x and y lanes; the 32-bit multiply-add wraps.

#include <cstddef>
#include <cstdint>

#include "score.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#define QV_TARGET

namespace quorvane::detail {
namespace {

struct Isa {
    static constexpr const char* kName = "neon";

    using V = int32x4_t;
    using M = uint32x4_t;
    using Pts = int32x4x2_t;  ///< val[0] the x, val[1] the y of four points
    static constexpr int kLanes = 4;

    static Pts load(const int32_t* p) noexcept { return vld2q_s32(p); }
    static Pts pair(int32_t u, int32_t v) noexcept { return {{vdupq_n_s32(u), vdupq_n_s32(v)}}; }
    // Wrapping arithmetic in unsigned lanes.
    static uint32x4_t u(int32x4_t a) noexcept { return vreinterpretq_u32_s32(a); }
    static int32x4_t s(uint32x4_t a) noexcept { return vreinterpretq_s32_u32(a); }
    static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {{sub(a.val[0], b.val[0]), sub(a.val[1], b.val[1])}};
    }
    template <bool Ordered>
    static V dot(const Pts& p, const Pts& q) noexcept {
        return s(vmlaq_u32(vmulq_u32(u(p.val[0]), u(q.val[0])), u(p.val[1]), u(q.val[1])));
    }
    /// The 32-bit multiply-add serves for int16 coordinates too.
    static V dot16(const Pts& p, const Pts& q) noexcept { return dot<false>(p, q); }
    static V splat(int32_t v) noexcept { return vdupq_n_s32(v); }
    static V add(V a, V b) noexcept { return s(vaddq_u32(u(a), u(b))); }
    static V sub(V a, V b) noexcept { return s(vsubq_u32(u(a), u(b))); }
    static M gt(V a, V b) noexcept { return vcgtq_s32(a, b); }
    static M le(V a, V b) noexcept { return vcleq_s32(a, b); }
    static M both(M a, M b) noexcept { return vandq_u32(a, b); }
    static M either(M a, M b) noexcept { return vorrq_u32(a, b); }
    static M differ(M a, M b) noexcept { return veorq_u32(a, b); }
    static V count(V acc, M m) noexcept { return s(vsubq_u32(u(acc), m)); }
    static uint32_t total(V acc) noexcept { return vaddvq_u32(vreinterpretq_u32_s32(acc)); }
    static uint32_t bits(M m) noexcept {
        const uint32x4_t weight = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(m, weight));
    }

    using F = float32x4_t;  ///< kLanes floats
    /// kLanes points as floats (exact for coordinates within 2^24), lane j point j.
    static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const int32x4x2_t q = vld2q_s32(p);
        x = vcvtq_f32_s32(q.val[0]);
        y = vcvtq_f32_s32(q.val[1]);
    }
    static F splat_f(float v) noexcept { return vdupq_n_f32(v); }
    static F mul_f(F a, F b) noexcept { return vmulq_f32(a, b); }
    static F add_f(F a, F b) noexcept { return vaddq_f32(a, b); }
    static M gt_f(F a, F b) noexcept { return vcgtq_f32(a, b); }

    using D = float64x2_t;
    using DM = uint64x2_t;
    using W = int64x2_t;
    static constexpr int kDLanes = 2;

    static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const int32x2x2_t q = vld2_s32(p);
        x = vcvtq_f64_s64(vmovl_s32(q.val[0]));
        y = vcvtq_f64_s64(vmovl_s32(q.val[1]));
    }
    static D splat_d(double v) noexcept { return vdupq_n_f64(v); }
    static D mul_d(D a, D b) noexcept { return vmulq_f64(a, b); }
    static D add_d(D a, D b) noexcept { return vaddq_f64(a, b); }
    static DM ge_d(D a, D b) noexcept { return vcgeq_f64(a, b); }
    static DM le_d(D a, D b) noexcept { return vcleq_f64(a, b); }
    static DM both_d(DM a, DM b) noexcept { return vandq_u64(a, b); }
    static DM either_d(DM a, DM b) noexcept { return vorrq_u64(a, b); }
    static D load_dv(const double* p) noexcept { return vld1q_f64(p); }
    static void store_dv(double* p, D v) noexcept { vst1q_f64(p, v); }
    static D sub_d(D a, D b) noexcept { return vsubq_f64(a, b); }
    static D div_d(D a, D b) noexcept { return vdivq_f64(a, b); }
    static D sqrt_d(D a) noexcept { return vsqrtq_f64(a); }
    static D neg_d(D a) noexcept { return vnegq_f64(a); }
    static DM eq_d(D a, D b) noexcept { return vceqq_f64(a, b); }
    static DM gt_d(D a, D b) noexcept { return vcgtq_f64(a, b); }
    static DM ne_d(D a, D b) noexcept {
        return vreinterpretq_u64_u32(vmvnq_u32(vreinterpretq_u32_u64(vceqq_f64(a, b))));
    }
    /// a where m is set, else b.
    static D select_d(DM m, D a, D b) noexcept { return vbslq_f64(m, a, b); }
    static uint32_t bits_d(DM m) noexcept {
        return static_cast<uint32_t>((vgetq_lane_u64(m, 0) & 1u) | ((vgetq_lane_u64(m, 1) & 1u) << 1));
    }
    static W zero_w() noexcept { return vdupq_n_s64(0); }
    static W count_d(W acc, DM m) noexcept { return vreinterpretq_s64_u64(vsubq_u64(vreinterpretq_u64_s64(acc), m)); }
    static uint32_t total_d(W acc) noexcept { return static_cast<uint32_t>(vaddvq_s64(acc)); }
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
