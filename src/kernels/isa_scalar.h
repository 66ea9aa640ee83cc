// The portable primitive of the kernel tables that have no vector byte
// search (scalar, NEON): the edge scan's search for the next zero or
// non-zero byte, eight bytes at a time through a 64-bit word.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvane::detail {

struct WordSearch {
    static uint64_t load_le(const uint8_t* p) noexcept {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        return v;
    }
    /// The first non-zero byte of bytes[k..n-1]; n when there is none.
    static int64_t next_set(const uint8_t* bytes, int64_t k, int64_t n) noexcept {
        for (; k + 8 <= n; k += 8) {
            const uint64_t v = load_le(bytes + k);
            if (v != 0) return k + std::countr_zero(v) / 8;
        }
        for (; k < n; ++k)
            if (bytes[k] != 0) return k;
        return n;
    }
    /// The first zero byte of bytes[k..n-1]; n when there is none.
    static int64_t next_clear(const uint8_t* bytes, int64_t k, int64_t n) noexcept {
        constexpr uint64_t lo = 0x0101010101010101u, hi = 0x8080808080808080u;
        for (; k + 8 <= n; k += 8) {
            const uint64_t v = load_le(bytes + k);
            // The lowest flagged byte is exactly the first zero byte.
            const uint64_t z = (v - lo) & ~v & hi;
            if (z != 0) return k + std::countr_zero(z) / 8;
        }
        for (; k < n; ++k)
            if (bytes[k] == 0) return k;
        return n;
    }
};

}  // namespace quorvane::detail
