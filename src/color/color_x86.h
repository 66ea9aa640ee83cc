// The x86 intrinsics for the colour passes' vector implementations.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics initialise their "undefined" operands with
// themselves, which -Wmaybe-uninitialized reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define QV_X86 1
#endif
