// The AVX-512BW kernel table: the generic loops over the AVX-512BW primitives.

#include "kernels/isa_avx512.h"

#if QV_X86

#define QV_TARGET QV_AVX512
#include "kernels/dispatch.h"
#include "kernels/generic.h"

const quorvane::Kernels& quorvane::detail::kernels_avx512() noexcept { return kIsaKernels<Avx512>; }

#endif
