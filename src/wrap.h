// Two's-complement wrapping integer arithmetic without signed-overflow UB,
// shared by all kernels: compute in the unsigned type and convert back.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quorvane {

/// The operations on the unsigned twin of S, converted back (two's complement).
template <class S>
struct Wrapping {
    using U = std::make_unsigned_t<S>;
    static constexpr S add(S a, S b) noexcept { return static_cast<S>(static_cast<U>(a) + static_cast<U>(b)); }
    static constexpr S sub(S a, S b) noexcept { return static_cast<S>(static_cast<U>(a) - static_cast<U>(b)); }
    static constexpr S mul(S a, S b) noexcept { return static_cast<S>(static_cast<U>(a) * static_cast<U>(b)); }
    static constexpr S neg(S a) noexcept { return static_cast<S>(U{0} - static_cast<U>(a)); }
};

constexpr int32_t add32(int32_t a, int32_t b) noexcept { return Wrapping<int32_t>::add(a, b); }
constexpr int32_t sub32(int32_t a, int32_t b) noexcept { return Wrapping<int32_t>::sub(a, b); }
constexpr int32_t mul32(int32_t a, int32_t b) noexcept { return Wrapping<int32_t>::mul(a, b); }
constexpr int32_t neg32(int32_t a) noexcept { return Wrapping<int32_t>::neg(a); }
constexpr int64_t add64(int64_t a, int64_t b) noexcept { return Wrapping<int64_t>::add(a, b); }
constexpr int64_t sub64(int64_t a, int64_t b) noexcept { return Wrapping<int64_t>::sub(a, b); }
constexpr int64_t mul64(int64_t a, int64_t b) noexcept { return Wrapping<int64_t>::mul(a, b); }
constexpr int64_t neg64(int64_t a) noexcept { return Wrapping<int64_t>::neg(a); }

}  // namespace quorvane
