// The one dispatch point of the colour passes, chosen once: the best
// implementation the CPU runs, unless the environment asks for one.
// QUORVANE_COLOR_KERNEL=name picks one by name; QUORVANE_FORCE_SCALAR=1 is
// the older spelling of QUORVANE_COLOR_KERNEL=scalar. A request the CPU
// cannot honour (an unknown name, an implementation not built for this CPU
// family, a missing CPU feature, or the two variables disagreeing) is an
// error the caller reports; it never falls back silently.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "color.h"
#include "color_impl.h"

namespace quorvane {
namespace detail {

namespace {

KernelEntry g_table[6];
std::size_t g_table_size = 0;

void build_table() noexcept {
    std::size_t n = 0;
#if defined(__x86_64__) || defined(__i386__)
    g_table[n++] = {"avx512", {"avx512f", "avx512bw"}, color_kernels_avx512()};
    g_table[n++] = {"avx2", {"avx2", nullptr}, color_kernels_avx2()};
    g_table[n++] = {"sse41", {"ssse3", "sse4.1"}, color_kernels_sse41()};
    g_table[n++] = {"sse2", {"sse2", nullptr}, color_kernels_sse2()};
#elif defined(__aarch64__)
    g_table[n++] = {"neon", {nullptr, nullptr}, color_kernels_neon()};
#endif
    g_table[n++] = {"scalar", {nullptr, nullptr}, &color_kernels_scalar()};
    g_table_size = n;
}

/// The names every build knows, for messages.
constexpr const char* kAllNames = "scalar, sse2, sse41, avx2, avx512, neon";

bool known_name(const char* name) noexcept {
    for (const char* k : {"scalar", "sse2", "sse41", "avx2", "avx512", "neon"}) {
        if (std::strcmp(k, name) == 0) return true;
    }
    return false;
}

const char* cpu_family() noexcept {
#if defined(__x86_64__)
    return "x86-64";
#elif defined(__i386__)
    return "x86";
#elif defined(__aarch64__)
    return "aarch64";
#else
    return "this CPU family";
#endif
}

/// Set, non-empty and not "0".
bool flag_set(const char* v) noexcept { return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0; }

}  // namespace

const KernelEntry* color_kernel_table(std::size_t& count) noexcept {
    static const bool built = (build_table(), true);
    (void)built;
    count = g_table_size;
    return g_table;
}

const char* missing_feature(const KernelEntry& e, bool (*cpu_has)(const char* feature) noexcept) noexcept {
    for (const char* f : e.features) {
        if (f != nullptr && !cpu_has(f)) return f;
    }
    return nullptr;
}

bool cpu_has_feature(const char* f) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (std::strcmp(f, "sse2") == 0) return __builtin_cpu_supports("sse2");
    if (std::strcmp(f, "ssse3") == 0) return __builtin_cpu_supports("ssse3");
    if (std::strcmp(f, "sse4.1") == 0) return __builtin_cpu_supports("sse4.1");
    if (std::strcmp(f, "avx2") == 0) return __builtin_cpu_supports("avx2");
    if (std::strcmp(f, "avx512f") == 0) return __builtin_cpu_supports("avx512f");
    if (std::strcmp(f, "avx512bw") == 0) return __builtin_cpu_supports("avx512bw");
#endif
    (void)f;
    return false;
}

KernelChoice choose_color_kernels(const char* force, const char* wanted,
                                  bool (*cpu_has)(const char*) noexcept) noexcept {
    KernelChoice out{nullptr, {}};
    if (wanted != nullptr && wanted[0] == '\0') wanted = nullptr;
    if (flag_set(force)) {
        if (wanted != nullptr && std::strcmp(wanted, "scalar") != 0) {
            std::snprintf(out.error, sizeof out.error,
                          "QUORVANE_FORCE_SCALAR=%.20s contradicts QUORVANE_COLOR_KERNEL=%.40s", force, wanted);
            return out;
        }
        wanted = "scalar";
    }
    if (wanted != nullptr && !known_name(wanted)) {
        std::snprintf(out.error, sizeof out.error,
                      "QUORVANE_COLOR_KERNEL=%.40s: no such colour kernel (one of %s)", wanted, kAllNames);
        return out;
    }
    std::size_t n;
    const KernelEntry* table = color_kernel_table(n);
    for (std::size_t j = 0; j < n; ++j) {
        const KernelEntry& e = table[j];
        if (wanted != nullptr && std::strcmp(wanted, e.name) != 0) continue;
        const char* missing = missing_feature(e, cpu_has);
        if (missing == nullptr) {
            out.kernels = e.kernels;
            return out;
        }
        if (wanted != nullptr) {
            std::snprintf(out.error, sizeof out.error,
                          "QUORVANE_COLOR_KERNEL=%s: this CPU lacks %s, which the %s kernel needs", wanted,
                          missing, wanted);
            return out;
        }
    }
    if (wanted != nullptr) {
        std::snprintf(out.error, sizeof out.error,
                      "QUORVANE_COLOR_KERNEL=%s: this build for %s has no %s kernel", wanted, cpu_family(),
                      wanted);
        return out;
    }
    out.kernels = &color_kernels_scalar();  // not reached: scalar needs no feature
    return out;
}

}  // namespace detail

namespace {

std::atomic<const ColorKernels*> g_active{nullptr};
std::atomic<const detail::KernelChoice*> g_choice{nullptr};

}  // namespace

void color_kernels_init() noexcept {
    static const detail::KernelChoice chosen = detail::choose_color_kernels(
        std::getenv("QUORVANE_FORCE_SCALAR"), std::getenv("QUORVANE_COLOR_KERNEL"), detail::cpu_has_feature);
    g_choice.store(&chosen, std::memory_order_release);
    g_active.store(chosen.kernels != nullptr ? chosen.kernels : &color_kernels_scalar(),
                   std::memory_order_release);
}

const char* color_kernels_error() noexcept {
    const detail::KernelChoice* c = g_choice.load(std::memory_order_acquire);
    return c != nullptr && c->kernels == nullptr ? c->error : nullptr;
}

const ColorKernels& color_kernels() noexcept {
    const ColorKernels* k = g_active.load(std::memory_order_acquire);
    return k != nullptr ? *k : color_kernels_scalar();
}

}  // namespace quorvane
