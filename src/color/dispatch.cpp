// The one dispatch point of the colour passes: chosen once from the CPU's
// features. QUORVANE_FORCE_SCALAR=1 forces the scalar passes;
// QUORVANE_COLOR_KERNEL=scalar|sse41|avx2|avx512 asks for one implementation
// (for tests and benchmarks; one the CPU cannot run falls back to scalar).

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "color.h"
#include "color_impl.h"

namespace quorvane {

namespace {

std::atomic<const ColorKernels*> g_active{nullptr};

/// Set, non-empty and not "0".
bool scalar_forced() noexcept {
    const char* v = std::getenv("QUORVANE_FORCE_SCALAR");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

struct Candidate {
    const char* name;
    bool (*supported)() noexcept;
    const ColorKernels* (*get)() noexcept;
};

#if defined(__x86_64__) || defined(__i386__)
bool has_avx512() noexcept {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
bool has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }
bool has_sse41() noexcept { return __builtin_cpu_supports("sse4.1"); }

/// In priority order: the first one the CPU runs wins.
constexpr Candidate kCandidates[] = {
    {"avx512", has_avx512, detail::color_kernels_avx512},
    {"avx2", has_avx2, detail::color_kernels_avx2},
    {"sse41", has_sse41, detail::color_kernels_sse41},
};
#else
constexpr Candidate kCandidates[] = {};
#endif

const ColorKernels* choose() noexcept {
    if (scalar_forced()) return &color_kernels_scalar();
    const char* wanted = std::getenv("QUORVANE_COLOR_KERNEL");
    if (wanted != nullptr && wanted[0] == '\0') wanted = nullptr;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
#endif
    for (const Candidate& c : kCandidates) {
        if (wanted != nullptr && std::strcmp(wanted, c.name) != 0) continue;
        if (!c.supported()) continue;
        if (const ColorKernels* k = c.get()) return k;
    }
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
