// The one dispatch point of the colour passes: chosen once from the CPU's
// features, overridable with QUORVANE_FORCE_SCALAR=1.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "color.h"

namespace quorvane {

namespace detail {
// Defined in color_simd.cpp; nullptr where the ISA is not built.
const ColorKernels* color_kernels_sse41() noexcept;
const ColorKernels* color_kernels_avx2() noexcept;
const ColorKernels* color_kernels_avx512() noexcept;
}  // namespace detail

namespace {

std::atomic<const ColorKernels*> g_active{nullptr};

/// Set, non-empty and not "0".
bool scalar_forced() noexcept {
    const char* v = std::getenv("QUORVANE_FORCE_SCALAR");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

const ColorKernels* choose() noexcept {
    if (scalar_forced()) return &color_kernels_scalar();
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
        if (const ColorKernels* k = detail::color_kernels_avx512()) return k;
    }
    if (__builtin_cpu_supports("avx2")) {
        if (const ColorKernels* k = detail::color_kernels_avx2()) return k;
    }
    if (__builtin_cpu_supports("sse4.1")) {
        if (const ColorKernels* k = detail::color_kernels_sse41()) return k;
    }
#endif
    return &color_kernels_scalar();
}

}  // namespace

void color_kernels_init() noexcept {
    static const ColorKernels* const chosen = choose();
    g_active.store(chosen, std::memory_order_release);
}

const ColorKernels& color_kernels() noexcept {
    const ColorKernels* k = g_active.load(std::memory_order_acquire);
    return k != nullptr ? *k : color_kernels_scalar();
}

}  // namespace quorvane
