// The kernel table: for each instruction set the colour passes, the
// fitters' scoring kernels and the edge scans, built from one header of
// primitives (isa_*.h) by the generic loops (generic.h). One table is
// chosen when the module executes (choose_kernels) and handed to every
// body and fitter; every table gives the same results as the scalar one.
#pragma once

#include "color/color.h"
#include "points/points.h"
#include "ransac/score.h"

namespace quorvane {

struct Kernels {
    ColorKernels color;
    ScoreKernels score;
    ScanKernels scan;
    const char* name;  ///< "scalar", "sse2", "sse41", "avx2", "avx512", "neon"
};

/// The scalar reference table (always available).
const Kernels& kernels_scalar() noexcept;

/// The outcome of reading the environment: the table to run, or an error
/// (kernels == nullptr, `error` says why: it names the request and the
/// missing CPU feature).
struct KernelChoice {
    const Kernels* kernels;
    char error[200];
};

/// The best table this CPU and its operating system run, unless the
/// environment asks for one: QUORVANE_COLOR_KERNEL=scalar|sse2|sse41|avx2|
/// avx512|neon picks one by name, QUORVANE_FORCE_SCALAR=1 is the older
/// spelling of QUORVANE_COLOR_KERNEL=scalar. A request the CPU cannot
/// honour (an unknown name, a table not built for this CPU family, a
/// missing CPU feature, or the two variables disagreeing) is an error the
/// caller reports; it never falls back silently.
KernelChoice choose_kernels() noexcept;

}  // namespace quorvane
