// Private to the dispatch and its tests: the tables built for this CPU
// family with the CPU features each needs, the choice on a given CPU, and
// the features of this one.
#pragma once

#include <cstddef>

#include "kernels/arch.h"
#include "kernels/kernels.h"

namespace quorvane::detail {

/// The tables of each instruction set (declared for the CPU families that build them).
#if QV_X86
const Kernels& kernels_sse2() noexcept;
const Kernels& kernels_sse41() noexcept;
const Kernels& kernels_avx2() noexcept;
const Kernels& kernels_avx512() noexcept;
#endif
#if QV_NEON
const Kernels& kernels_neon() noexcept;
#endif

/// One table and the CPU features it needs (names as the compilers' target
/// attributes spell them; none for scalar and for NEON on aarch64, where it
/// is the baseline).
struct KernelEntry {
    const char* features[2];  ///< nullptr-padded
    const Kernels* kernels;
};

/// Every table built for this CPU family, best first, scalar last. Sets `count`.
const KernelEntry* kernel_table(std::size_t& count) noexcept;

/// The choice for QUORVANE_FORCE_SCALAR=`force` and
/// QUORVANE_COLOR_KERNEL=`wanted` (either nullptr when unset) on a CPU that
/// has the features for which `cpu_has` is true.
KernelChoice choose_kernels(const char* force, const char* wanted,
                            bool (*cpu_has)(const char* feature) noexcept) noexcept;

/// Whether this CPU and its operating system support a feature of the
/// table ("sse2", "ssse3", "sse4.1", "avx2", "avx512f", "avx512bw", "neon"),
/// read from CPUID and XGETBV (x86) or the hardware capabilities (32-bit ARM).
bool cpu_has_feature(const char* feature) noexcept;

/// The first feature that `e` needs and the CPU lacks, or nullptr when it runs here.
const char* missing_feature(const KernelEntry& e,
                            bool (*cpu_has)(const char* feature) noexcept = cpu_has_feature) noexcept;

}  // namespace quorvane::detail
