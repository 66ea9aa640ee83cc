// The SSE2 kernel table: the generic loops over the SSE2 primitives.

#include "kernels/isa_sse2.h"

#if QV_X86

#define QV_TARGET QV_SSE2
#include "kernels/dispatch.h"
#include "kernels/generic.h"

const quorvane::Kernels& quorvane::detail::kernels_sse2() noexcept { return kIsaKernels<Sse2>; }

#endif
