// What the x86 instruction sets share: the intrinsics, the target
// attributes that confine each set to its own functions (the build has no
// -m flag), and the edge scan's byte search, in SSE2 (every x86-64 CPU's
// floor) for all of them.
#pragma once

#include <bit>
#include <cstdint>

#include "kernels/arch.h"

#if QV_X86
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

#define QV_SSE2 __attribute__((target("sse2")))
#define QV_SSE41 __attribute__((target("sse4.1")))
#define QV_AVX2 __attribute__((target("avx2")))
#define QV_AVX512 __attribute__((target("avx512f,avx512bw")))

namespace quorvane::detail {

/// The next zero or non-zero byte, sixteen bytes per comparison.
struct X86ByteSearch {
    /// Bit b set when byte b of bytes[k..k+15] is zero.
    QV_SSE2 static uint32_t zero_bits(const uint8_t* bytes, int64_t k) noexcept {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    }
    /// The first non-zero byte of bytes[k..n-1]; n when there is none.
    QV_SSE2 static int64_t next_set(const uint8_t* bytes, int64_t k, int64_t n) noexcept {
        for (; k + 32 <= n; k += 32) {
            const uint32_t z = zero_bits(bytes, k) | (zero_bits(bytes, k + 16) << 16);
            if (z != 0xffffffffu) return k + std::countr_one(z);
        }
        for (; k + 16 <= n; k += 16) {
            const uint32_t z = zero_bits(bytes, k);
            if (z != 0xffffu) return k + std::countr_one(z);
        }
        for (; k < n; ++k)
            if (bytes[k] != 0) return k;
        return n;
    }
    /// The first zero byte of bytes[k..n-1]; n when there is none.
    QV_SSE2 static int64_t next_clear(const uint8_t* bytes, int64_t k, int64_t n) noexcept {
        for (; k + 32 <= n; k += 32) {
            const uint32_t z = zero_bits(bytes, k) | (zero_bits(bytes, k + 16) << 16);
            if (z != 0) return k + std::countr_zero(z);
        }
        for (; k + 16 <= n; k += 16) {
            const uint32_t z = zero_bits(bytes, k);
            if (z != 0) return k + std::countr_zero(z);
        }
        for (; k < n; ++k)
            if (bytes[k] == 0) return k;
        return n;
    }
};

}  // namespace quorvane::detail
#endif
