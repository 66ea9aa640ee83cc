// The NEON kernel table: the generic loops over the NEON primitives.

#include "kernels/isa_neon.h"

#if QV_NEON

#define QV_TARGET QV_NEON_TARGET
#include "kernels/dispatch.h"
#include "kernels/generic.h"

const quorvane::Kernels& quorvane::detail::kernels_neon() noexcept { return kIsaKernels<Neon>; }

#endif
