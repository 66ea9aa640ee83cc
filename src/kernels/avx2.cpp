// The AVX2 kernel table: the generic loops over the AVX2 primitives.

#include "kernels/isa_avx2.h"

#if QV_X86

#define QV_TARGET QV_AVX2
#include "kernels/dispatch.h"
#include "kernels/generic.h"

const quorvane::Kernels& quorvane::detail::kernels_avx2() noexcept { return kIsaKernels<Avx2>; }

#endif
