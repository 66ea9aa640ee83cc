// Two's-complement wrapping integer arithmetic without signed-overflow UB,
// shared by all kernels: compute in the unsigned type and convert back.
#pragma once

#include <cstdint>

namespace quorvane {

constexpr int32_t add32(int32_t a, int32_t b) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t sub32(int32_t a, int32_t b) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t mul32(int32_t a, int32_t b) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
constexpr int32_t neg32(int32_t a) noexcept {
    return static_cast<int32_t>(0u - static_cast<uint32_t>(a));
}

constexpr int64_t add64(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
constexpr int64_t sub64(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
constexpr int64_t mul64(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
constexpr int64_t neg64(int64_t a) noexcept {
    return static_cast<int64_t>(0u - static_cast<uint64_t>(a));
}

}  // namespace quorvane
