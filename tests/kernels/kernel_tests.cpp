// Tests of the kernel library alone (no Python): the colour passes and the
// scoring kernels of every kernel table the CPU runs against the scalar
// ones, the dispatch rules, and the scans, filters and fitters of every
// table against outputs recorded on x86-64. Ends with the line
// "N passed, N failed"; exit status 0 when nothing failed.
//
//   kernel_tests            run everything
//   kernel_tests --quick    fewer random colour cases (for emulators)
//   kernel_tests --record   print expected.inc from this machine's results
//
// The table the module would choose here (QUORVANE_COLOR_KERNEL and
// QUORVANE_FORCE_SCALAR included) is printed and must be a valid choice.

#include <cstdio>
#include <cstring>

#include "check.h"
#include "kernels/dispatch.h"

namespace kt {

std::vector<const quorvane::Kernels*> runnable_tables(bool scalar) {
    static bool told = false;
    std::vector<const quorvane::Kernels*> out;
    std::size_t count;
    const quorvane::detail::KernelEntry* table = quorvane::detail::kernel_table(count);
    for (std::size_t j = 0; j < count; ++j) {
        const quorvane::detail::KernelEntry& e = table[j];
        if (e.kernels == &quorvane::kernels_scalar() && !scalar) continue;
        if (const char* lacking = quorvane::detail::missing_feature(e)) {
            if (!told) std::printf("skip: kernel table %s (this CPU lacks %s)\n", e.kernels->name, lacking);
            continue;
        }
        out.push_back(e.kernels);
    }
    told = true;
    return out;
}

std::vector<const quorvane::Kernels*> scoring_tables() {
    // Each set once, under the name of the last table that has it (sse2, not sse41).
    const std::vector<const quorvane::Kernels*> all = runnable_tables(false);
    std::vector<const quorvane::Kernels*> out;
    for (std::size_t j = 0; j < all.size(); ++j) {
        bool later = false;
        for (std::size_t k = j + 1; k < all.size(); ++k) later = later || all[k]->score.line == all[j]->score.line;
        if (!later) out.push_back(all[j]);
    }
    return out;
}

}  // namespace kt

int main(int argc, char** argv) {
    bool quick = false, record = false;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[a], "--record") == 0) {
            record = true;
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--record]\n", argv[0]);
            return 2;
        }
    }
    if (record) {
        kt::fixed_tests(true);
        return 0;
    }
    kt::color_tests(quick);
    kt::dispatch_tests();
    const quorvane::KernelChoice choice = quorvane::choose_kernels();
    kt::check(choice.kernels != nullptr, "kernel choice: %s", choice.error);
    std::printf("kernel table chosen here: %s\n", choice.kernels ? choice.kernels->name : "none");
    kt::sampling_tests(quick);
    kt::score_tests(quick);
    kt::fitter_tests(quick);
    kt::fixed_tests(false);
    std::fflush(stdout);
    std::printf("%ld passed, %ld failed\n", kt::tally().passed, kt::tally().failed);
    return kt::tally().failed == 0 ? 0 : 1;
}
