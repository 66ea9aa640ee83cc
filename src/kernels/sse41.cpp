// The SSE4.1 kernel table: the SSE4.1 colour passes (the generic block loop
// over the SSE4.1 primitives), with the scoring kernels and edge scans of
// the SSE2 table. SSE4.1 adds nothing those use, and compiled for SSE4.1
// the ring counts run about 40% slower (the compiler's choice of
// instructions, measured with bench/bench_ransac.py).

#include "kernels/isa_sse41.h"

#if QV_X86

#define QV_TARGET QV_SSE41
#include "color/color_loop.h"
#include "kernels/dispatch.h"

const quorvane::Kernels& quorvane::detail::kernels_sse41() noexcept {
    static const Kernels kSse41{
        {color_pass<Sse41, false>, color_pass<Sse41, true>}, kernels_sse2().score, kernels_sse2().scan, Sse41::kName};
    return kSse41;
}

#endif
