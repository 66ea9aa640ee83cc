// The SSE4.1 kernel table: the generic loops over the SSE4.1 primitives.

#include "kernels/isa_sse41.h"

#if QV_X86

#define QV_TARGET QV_SSE41
#include "kernels/dispatch.h"
#include "kernels/generic.h"

const quorvane::Kernels& quorvane::detail::kernels_sse41() noexcept { return kIsaKernels<Sse41>; }

#endif
