// Shared by the kernel fuzz targets: input decoding and checks.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/dispatch.h"

/// Stops the run with a message; libFuzzer saves the input as a crash.
#define FUZZ_CHECK(cond)                                                            \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

/// For the targets' own reference loops: no coverage feedback (and none of
/// its cost) from code that is not under test.
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))

namespace fuzz {

/// An int32 that is mostly small, sometimes one of the extremes, sometimes anything.
inline int32_t some_int(FuzzedDataProvider& in, int32_t lo, int32_t hi) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return in.ConsumeIntegral<int32_t>();
        case 1: return in.PickValueInArray<int32_t>({INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX});
        default: return in.ConsumeIntegralInRange<int32_t>(lo, hi);
    }
}

/// A double that is mostly ordinary, sometimes NaN, an infinity, zero or huge.
inline double some_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return in.ConsumeFloatingPoint<double>();
        case 1: return in.PickValueInArray<double>({0.0, -0.0, 1e308, -1e308, 1e-310, __builtin_nan(""), __builtin_inf(), -__builtin_inf()});
        default: return in.ConsumeFloatingPointInRange<double>(-4.0, 4.0);
    }
}

/// The kernel tables this CPU runs, best first; the scalar one too when
/// `scalar` is set.
inline std::vector<const quorvane::Kernels*> tables(bool scalar) {
    std::vector<const quorvane::Kernels*> v;
    std::size_t n;
    const quorvane::detail::KernelEntry* t = quorvane::detail::kernel_table(n);
    for (std::size_t j = 0; j < n; ++j) {
        if (t[j].kernels == &quorvane::kernels_scalar() && !scalar) continue;
        if (quorvane::detail::missing_feature(t[j]) == nullptr) v.push_back(t[j].kernels);
    }
    return v;
}

/// memcpy that accepts the null pointers of empty vectors.
inline void copy(void* dst, const void* src, size_t n) {
    if (n != 0) std::memcpy(dst, src, n);
}

/// memcmp(...) == 0 that accepts the null pointers of empty vectors.
inline bool same(const void* a, const void* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

/// `n` bytes: the remaining input repeated (zeros when it is empty).
FUZZ_NO_COVERAGE inline std::vector<uint8_t> bytes(FuzzedDataProvider& in, size_t n, size_t take) {
    std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(take);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n && !raw.empty(); ++i) out[i] = raw[i % raw.size()];
    return out;
}

/// p[k] &= bits for k < n.
FUZZ_NO_COVERAGE inline void keep_bits(uint8_t* p, size_t n, uint8_t bits) {
    for (size_t k = 0; k < n; ++k) p[k] &= bits;
}

/// `n` points, coordinates mostly in a small box so that shapes and runs
/// occur, sometimes anywhere in the int32 range.
FUZZ_NO_COVERAGE inline std::vector<int32_t> points(FuzzedDataProvider& in, size_t n) {
    const bool wide = in.ConsumeBool();
    const int32_t box = in.ConsumeIntegralInRange<int32_t>(1, 200);
    std::vector<int32_t> ps(2 * n);
    for (auto& v : ps) v = wide ? some_int(in, -box, box) : in.ConsumeIntegralInRange<int32_t>(0, box);
    return ps;
}

/// A heap block of exactly `n` T's (AddressSanitizer sees any access past
/// it), filled with `fill`.
template <class T>
struct Exact {
    T* p;
    size_t n;
    FUZZ_NO_COVERAGE Exact(size_t n_, T fill) : p(static_cast<T*>(std::malloc(n_ ? n_ * sizeof(T) : 1))), n(n_) {
        for (size_t i = 0; i < n; ++i) p[i] = fill;
    }
    ~Exact() { std::free(p); }
    Exact(const Exact&) = delete;
    Exact& operator=(const Exact&) = delete;
};

}  // namespace fuzz
