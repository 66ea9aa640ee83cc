// The dispatch rules on made-up CPUs: the best kernel the CPU runs by
// default, a requested one only when the CPU has its features, and every
// refusal a clear message.

#include <cstring>
#include <initializer_list>

#include "check.h"
#include "kernels/dispatch.h"

namespace kt {
namespace {

using quorvane::KernelChoice;
using quorvane::detail::choose_kernels;

// The made-up CPU's features, a space-separated list.
const char* g_features = "";

bool fake_cpu(const char* f) noexcept {
    const std::size_t n = std::strlen(f);
    for (const char* p = g_features; (p = std::strstr(p, f)) != nullptr; p += n) {
        const bool starts = p == g_features || p[-1] == ' ';
        if (starts && (p[n] == ' ' || p[n] == '\0')) return true;
    }
    return false;
}

/// The request on a CPU with `features` gives kernel `name`.
void expect_kernel(const char* features, const char* force, const char* wanted, const char* name) {
    g_features = features;
    const KernelChoice c = choose_kernels(force, wanted, fake_cpu);
    check(c.kernels != nullptr && std::strcmp(c.kernels->name, name) == 0,
          "dispatch on {%s}, force=%s, kernel=%s: got %s (%s), want %s", features, force ? force : "unset",
          wanted ? wanted : "unset", c.kernels ? c.kernels->name : "refusal", c.error, name);
}

/// The request on a CPU with `features` is refused with a message holding
/// every word of `words` (a list).
void expect_refusal(const char* features, const char* force, const char* wanted,
                    std::initializer_list<const char*> words) {
    g_features = features;
    const KernelChoice c = choose_kernels(force, wanted, fake_cpu);
    bool ok = c.kernels == nullptr;
    for (const char* w : words) ok = ok && std::strstr(c.error, w) != nullptr;
    check(ok, "dispatch on {%s}, force=%s, kernel=%s: want a refusal, got %s \"%s\"", features,
          force ? force : "unset", wanted ? wanted : "unset", c.kernels ? c.kernels->name : "refusal", c.error);
}

}  // namespace

void dispatch_tests() {
    std::puts("kernel dispatch on made-up CPUs");
    constexpr const char* kAll = "sse2 ssse3 sse4.1 avx2 avx512f avx512bw";
#if defined(__x86_64__) || defined(__i386__)
    expect_kernel("", nullptr, nullptr, "scalar");
    expect_kernel("sse2", nullptr, nullptr, "sse2");
    expect_kernel("sse2 sse4.1", nullptr, nullptr, "sse2");  // no SSSE3 shuffle
    expect_kernel("sse2 ssse3 sse4.1", nullptr, nullptr, "sse41");
    expect_kernel("sse2 ssse3 sse4.1 avx2 avx512f", nullptr, nullptr, "avx2");
    expect_kernel(kAll, nullptr, nullptr, "avx512");
    expect_kernel(kAll, nullptr, "", "avx512");
    expect_kernel(kAll, "0", nullptr, "avx512");
    for (const char* k : {"scalar", "sse2", "sse41", "avx2", "avx512"}) expect_kernel(kAll, nullptr, k, k);
    expect_refusal("sse2 ssse3 sse4.1", nullptr, "avx2", {"QUORVANE_COLOR_KERNEL=avx2", "lacks avx2"});
    expect_refusal("sse2 ssse3 sse4.1 avx2 avx512f", nullptr, "avx512", {"=avx512", "lacks avx512bw"});
    expect_refusal("sse2", nullptr, "sse41", {"=sse41", "lacks ssse3"});
    expect_refusal("", nullptr, "sse2", {"=sse2", "lacks sse2"});
    expect_refusal(kAll, nullptr, "neon", {"=neon", "has no neon kernel"});
#elif defined(__aarch64__)
    expect_kernel("", nullptr, nullptr, "neon");
    expect_kernel("", nullptr, "neon", "neon");
    for (const char* k : {"sse2", "sse41", "avx2", "avx512"}) {
        expect_refusal(kAll, nullptr, k, {"QUORVANE_COLOR_KERNEL=", k, "aarch64 has no"});
    }
#elif QV_NEON32
    expect_kernel("", nullptr, nullptr, "scalar");
    expect_kernel("neon", nullptr, nullptr, "neon");
    expect_kernel("neon", nullptr, "neon", "neon");
    expect_kernel("neon", nullptr, "scalar", "scalar");
    expect_refusal("", nullptr, "neon", {"QUORVANE_COLOR_KERNEL=neon", "this CPU lacks neon"});
    for (const char* k : {"sse2", "sse41", "avx2", "avx512"}) {
        expect_refusal("neon", nullptr, k, {"QUORVANE_COLOR_KERNEL=", k, "32-bit ARM has no"});
    }
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__clang__)
    // The features read from CPUID and XGETBV agree with GCC's runtime
    // (which checks the operating system's register state too).
    std::puts("CPU features from CPUID and XGETBV against __builtin_cpu_supports");
    __builtin_cpu_init();
    const struct {
        const char* name;
        bool gcc;
    } gcc_says[] = {{"sse2", __builtin_cpu_supports("sse2") != 0},       {"ssse3", __builtin_cpu_supports("ssse3") != 0},
                    {"sse4.1", __builtin_cpu_supports("sse4.1") != 0},   {"avx2", __builtin_cpu_supports("avx2") != 0},
                    {"avx512f", __builtin_cpu_supports("avx512f") != 0}, {"avx512bw", __builtin_cpu_supports("avx512bw") != 0}};
    for (const auto& f : gcc_says) {
        const bool ours = quorvane::detail::cpu_has_feature(f.name);
        check(ours == f.gcc, "cpu_has_feature(\"%s\") = %d, __builtin_cpu_supports says %d", f.name, ours, f.gcc);
    }
#endif
    expect_kernel(kAll, nullptr, "scalar", "scalar");
    expect_kernel(kAll, "1", nullptr, "scalar");
    expect_kernel(kAll, "1", "scalar", "scalar");
    expect_kernel(kAll, "yes", "", "scalar");
    expect_refusal(kAll, "1", "avx2", {"QUORVANE_FORCE_SCALAR=1", "contradicts", "QUORVANE_COLOR_KERNEL=avx2"});
    expect_refusal(kAll, nullptr, "AVX2", {"=AVX2", "no such colour kernel", "scalar, sse2"});
    expect_refusal(kAll, nullptr, "sse4.1", {"no such colour kernel"});
}

}  // namespace kt
