// RGB to YUV 4:2:0, BT.601 limited range (see yuv.h for the formula).
//
// The loops are written for the compiler's vectoriser: one pass over a
// stretch of a pair of rows gives Y and each column's chroma terms, a second
// sums the terms of pairs of columns; unsigned 32-bit lanes throughout.
// On x86-64 the same loops are also compiled for AVX2 and AVX-512 and the
// widest the processor has is chosen on the first call; the results are the
// same whichever runs (the arithmetic is exact integer arithmetic).
#include "tools/yuv.h"

#include <cstdint>

#include "kernels/dispatch.h"  // cpu_has_feature: the CPU's features, as the kernel tables read them

namespace quorvane::tools {
namespace {

// Coefficients times 65536 (negative ones as their wrapping uint32_t).
constexpr uint32_t kYR = 16829, kYG = 33039, kYB = 6416;
constexpr uint32_t kUR = static_cast<uint32_t>(-9714), kUG = static_cast<uint32_t>(-19070), kUB = 28784;
constexpr uint32_t kVR = 28784, kVG = static_cast<uint32_t>(-24103), kVB = static_cast<uint32_t>(-4681);
constexpr uint32_t kYBias = (16u << 16) + (1u << 15);
// Chroma from sums of four pixels: four times the bias, and a shift of 18.
constexpr uint32_t kCBias = (128u << 18) + (1u << 17);

static_assert(kUR + kUG + kUB == 0 && kVR + kVG + kVB == 0, "greys have Cb = Cr = 128");

#define QV_INLINE inline __attribute__((always_inline))

// Pixels per stretch of a row pair: the chroma terms of each column wait in
// a buffer on the stack until the pairs of columns are summed.
constexpr int64_t kStretch = 512;

/// One stretch of `n` (even) columns of a row pair: Y of both rows, and each
/// column's Cb and Cr terms over its two rows; then the sums over pairs of
/// columns (the terms are linear, so this is the formula on the 2 x 2 sums).
template <int C>
QV_INLINE void stretch(const uint8_t* __restrict p0, const uint8_t* __restrict p1, uint8_t* __restrict y0,
                       uint8_t* __restrict y1, uint8_t* __restrict u, uint8_t* __restrict v, int64_t n) noexcept {
    uint32_t cu[kStretch], cv[kStretch];
    for (int64_t x = 0; x < n; ++x) {
        const uint32_t r0 = p0[C * x], g0 = p0[C * x + 1], b0 = p0[C * x + 2];
        const uint32_t r1 = p1[C * x], g1 = p1[C * x + 1], b1 = p1[C * x + 2];
        y0[x] = static_cast<uint8_t>((kYR * r0 + kYG * g0 + kYB * b0 + kYBias) >> 16);
        y1[x] = static_cast<uint8_t>((kYR * r1 + kYG * g1 + kYB * b1 + kYBias) >> 16);
        const uint32_t r = r0 + r1, g = g0 + g1, b = b0 + b1;
        cu[x] = kUR * r + kUG * g + kUB * b;
        cv[x] = kVR * r + kVG * g + kVB * b;
    }
    for (int64_t x = 0; x < n / 2; ++x) {
        u[x] = static_cast<uint8_t>((cu[2 * x] + cu[2 * x + 1] + kCBias) >> 18);
        v[x] = static_cast<uint8_t>((cv[2 * x] + cv[2 * x + 1] + kCBias) >> 18);
    }
}

template <int C>
QV_INLINE void convert(const uint8_t* rgb, int64_t rgb_stride, int64_t width, int64_t height, uint8_t* y,
                       int64_t y_stride, uint8_t* u, int64_t u_stride, uint8_t* v, int64_t v_stride) noexcept {
    for (int64_t j = 0; j + 1 < height; j += 2) {
        const uint8_t* p0 = rgb + j * rgb_stride;
        const uint8_t* p1 = p0 + rgb_stride;
        uint8_t* y0 = y + j * y_stride;
        uint8_t* y1 = y0 + y_stride;
        uint8_t* ur = u + (j / 2) * u_stride;
        uint8_t* vr = v + (j / 2) * v_stride;
        for (int64_t x = 0; x < width; x += kStretch) {
            const int64_t n = width - x < kStretch ? width - x : kStretch;
            stretch<C>(p0 + C * x, p1 + C * x, y0 + x, y1 + x, ur + x / 2, vr + x / 2, n);
        }
    }
}

QV_INLINE void convert_any(const uint8_t* rgb, int64_t rgb_stride, int channels, int64_t width, int64_t height,
                           uint8_t* y, int64_t y_stride, uint8_t* u, int64_t u_stride, uint8_t* v,
                           int64_t v_stride) noexcept {
    if (channels == 4)
        convert<4>(rgb, rgb_stride, width, height, y, y_stride, u, u_stride, v, v_stride);
    else
        convert<3>(rgb, rgb_stride, width, height, y, y_stride, u, u_stride, v, v_stride);
}

using Kernel = void (*)(const uint8_t*, int64_t, int, int64_t, int64_t, uint8_t*, int64_t, uint8_t*, int64_t,
                        uint8_t*, int64_t) noexcept;

void convert_base(const uint8_t* rgb, int64_t rgb_stride, int channels, int64_t width, int64_t height, uint8_t* y,
                  int64_t y_stride, uint8_t* u, int64_t u_stride, uint8_t* v, int64_t v_stride) noexcept {
    convert_any(rgb, rgb_stride, channels, width, height, y, y_stride, u, u_stride, v, v_stride);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void convert_avx2(const uint8_t* rgb, int64_t rgb_stride, int channels,
                                                  int64_t width, int64_t height, uint8_t* y, int64_t y_stride,
                                                  uint8_t* u, int64_t u_stride, uint8_t* v,
                                                  int64_t v_stride) noexcept {
    convert_any(rgb, rgb_stride, channels, width, height, y, y_stride, u, u_stride, v, v_stride);
}

__attribute__((target("avx512f,avx512bw"))) void convert_avx512(const uint8_t* rgb, int64_t rgb_stride,
                                                                int channels, int64_t width, int64_t height,
                                                                uint8_t* y, int64_t y_stride, uint8_t* u,
                                                                int64_t u_stride, uint8_t* v,
                                                                int64_t v_stride) noexcept {
    convert_any(rgb, rgb_stride, channels, width, height, y, y_stride, u, u_stride, v, v_stride);
}

Kernel pick() noexcept {
    using quorvane::detail::cpu_has_feature;
    if (cpu_has_feature("avx512f") && cpu_has_feature("avx512bw")) return convert_avx512;
    if (cpu_has_feature("avx2")) return convert_avx2;
    return convert_base;
}
#else
Kernel pick() noexcept { return convert_base; }
#endif

}  // namespace

void rgb_to_yuv420(const uint8_t* rgb, int64_t rgb_stride, int channels, int64_t width, int64_t height,
                   uint8_t* y, int64_t y_stride, uint8_t* u, int64_t u_stride, uint8_t* v,
                   int64_t v_stride) noexcept {
    static const Kernel kernel = pick();
    kernel(rgb, rgb_stride, channels, width, height, y, y_stride, u, u_stride, v, v_stride);
}

}  // namespace quorvane::tools
