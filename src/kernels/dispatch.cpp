// The one dispatch point of the kernel tables: the best table the CPU
// runs, unless the environment asks for one (kernels.h), read from the CPU
// itself.

#include "kernels/dispatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if QV_X86
#include <cpuid.h>
#elif defined(__arm__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace quorvane {
namespace detail {

namespace {

KernelEntry g_table[6];
std::size_t g_table_size = 0;

void build_table() noexcept {
    std::size_t n = 0;
#if QV_X86
    g_table[n++] = {{"avx512f", "avx512bw"}, &kernels_avx512()};
    g_table[n++] = {{"avx2", nullptr}, &kernels_avx2()};
    g_table[n++] = {{"ssse3", "sse4.1"}, &kernels_sse41()};
    g_table[n++] = {{"sse2", nullptr}, &kernels_sse2()};
#elif defined(__aarch64__)
    g_table[n++] = {{nullptr, nullptr}, &kernels_neon()};  // the aarch64 baseline
#elif QV_NEON32
    g_table[n++] = {{"neon", nullptr}, &kernels_neon()};
#endif
    g_table[n++] = {{nullptr, nullptr}, &kernels_scalar()};
    g_table_size = n;
}

/// The names every build knows (a request for one not built here is told so).
constexpr const char* kAllNames[] = {"scalar", "sse2", "sse41", "avx2", "avx512", "neon"};

bool known_name(const char* name) noexcept {
    for (const char* k : kAllNames) {
        if (std::strcmp(k, name) == 0) return true;
    }
    return false;
}

/// "scalar, sse2, ...", for messages.
struct NameList {
    char text[64] = "";
    NameList() noexcept {
        for (const char* k : kAllNames) {
            if (text[0] != '\0') std::strncat(text, ", ", sizeof text - std::strlen(text) - 1);
            std::strncat(text, k, sizeof text - std::strlen(text) - 1);
        }
    }
};

const char* cpu_family() noexcept {
#if defined(__x86_64__)
    return "x86-64";
#elif defined(__i386__)
    return "x86";
#elif defined(__aarch64__)
    return "aarch64";
#elif defined(__arm__)
    return "32-bit ARM";
#else
    return "this CPU family";
#endif
}

/// Set, non-empty and not "0".
bool flag_set(const char* v) noexcept { return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0; }

}  // namespace

const KernelEntry* kernel_table(std::size_t& count) noexcept {
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

namespace {

/// The features of the kernel table this CPU and its operating system
/// support, read once from the CPU itself (CPUID and XGETBV on x86, the
/// kernel's hardware capabilities on 32-bit ARM): no dependence on a
/// compiler runtime's feature detection, which some toolchains stub out.
struct CpuFeatures {
    bool sse2, ssse3, sse41, avx2, avx512f, avx512bw, neon;
};

#if QV_X86
/// XCR0: the register states the operating system saves and restores.
uint64_t xcr0() noexcept {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}
#endif

CpuFeatures read_cpu_features() noexcept {
    CpuFeatures f{};
#if QV_X86
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    f.sse2 = (d >> 26) & 1u;
    f.ssse3 = (c >> 9) & 1u;
    f.sse41 = (c >> 19) & 1u;
    const bool avx = (c >> 28) & 1u;
    // Without OSXSAVE there is no XGETBV, and no wide register state.
    const uint64_t os = (c >> 27) & 1u ? xcr0() : 0;
    const bool ymm = (os & 0x06u) == 0x06u;  // SSE and AVX state
    const bool zmm = (os & 0xe6u) == 0xe6u;  // and opmask, ZMM0-15 upper halves, ZMM16-31
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        f.avx2 = avx && ymm && ((b >> 5) & 1u);
        f.avx512f = zmm && ((b >> 16) & 1u);
        f.avx512bw = zmm && ((b >> 30) & 1u);
    }
#elif QV_NEON32 && defined(__linux__)
    constexpr unsigned long kHwcapNeon = 1ul << 12;  // HWCAP_NEON of the 32-bit ARM kernel
    f.neon = (getauxval(AT_HWCAP) & kHwcapNeon) != 0;
#endif
    return f;
}

}  // namespace

bool cpu_has_feature(const char* f) noexcept {
    static const CpuFeatures cpu = read_cpu_features();
    const struct {
        const char* name;
        bool has;
    } known[] = {{"sse2", cpu.sse2},         {"ssse3", cpu.ssse3},       {"sse4.1", cpu.sse41}, {"avx2", cpu.avx2},
                 {"avx512f", cpu.avx512f}, {"avx512bw", cpu.avx512bw}, {"neon", cpu.neon}};
    for (const auto& k : known) {
        if (std::strcmp(f, k.name) == 0) return k.has;
    }
    return false;
}

KernelChoice choose_kernels(const char* force, const char* wanted, bool (*cpu_has)(const char*) noexcept) noexcept {
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
                      "QUORVANE_COLOR_KERNEL=%.40s: no such colour kernel (one of %s)", wanted, NameList().text);
        return out;
    }
    std::size_t n;
    const KernelEntry* table = kernel_table(n);
    for (std::size_t j = 0; j < n; ++j) {
        const KernelEntry& e = table[j];
        if (wanted != nullptr && std::strcmp(wanted, e.kernels->name) != 0) continue;
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
    out.kernels = &kernels_scalar();  // not reached: scalar needs no feature
    return out;
}

}  // namespace detail

KernelChoice choose_kernels() noexcept {
    return detail::choose_kernels(std::getenv("QUORVANE_FORCE_SCALAR"), std::getenv("QUORVANE_COLOR_KERNEL"),
                                  detail::cpu_has_feature);
}

}  // namespace quorvane
