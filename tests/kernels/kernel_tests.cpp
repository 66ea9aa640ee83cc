// Tests of the kernel library alone (no Python): every colour kernel and
// every scoring kernel the CPU runs against the scalar ones, the dispatch
// rules, and the scan, filters and fitters against outputs recorded on
// x86-64. Ends with the line
// "N passed, N failed"; exit status 0 when nothing failed.
//
//   kernel_tests            run everything
//   kernel_tests --quick    fewer random colour cases (for emulators)
//   kernel_tests --record   print expected.inc from this machine's results
//
// QUORVANE_COLOR_KERNEL / QUORVANE_FORCE_SCALAR choose the colour pass the
// RGB scan uses, as in the module.

#include <cstdio>
#include <cstring>

#include "check.h"
#include "color/color.h"

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
    // The scan over RGB runs the colour pass the environment and CPU choose.
    quorvane::color_kernels_init();
    const char* why = quorvane::color_kernels_error();
    kt::check(why == nullptr, "colour kernel choice: %s", why ? why : "");
    std::printf("colour kernel for the scan: %s\n", quorvane::color_kernels().name);
    kt::sampling_tests(quick);
    kt::score_tests(quick);
    kt::fixed_tests(false);
    std::fflush(stdout);
    std::printf("%ld passed, %ld failed\n", kt::tally().passed, kt::tally().failed);
    return kt::tally().failed == 0 ? 0 : 1;
}
