// The CPU family the kernels are compiled for, and which instruction sets
// it can have: only names, no intrinsics (the isa_*.h headers bring those).
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define QV_X86 1
#else
#define QV_X86 0
#endif

/// 32-bit ARM with a hardware floating-point ABI: the NEON kernels are built
/// (for functions with a target attribute) and chosen when the CPU has NEON.
#if defined(__arm__) && !defined(__aarch64__) && defined(__ARM_FP)
#define QV_NEON32 1
#else
#define QV_NEON32 0
#endif

/// NEON kernels: the aarch64 baseline, an extension on 32-bit ARM.
#if defined(__aarch64__) || QV_NEON32
#define QV_NEON 1
#else
#define QV_NEON 0
#endif
