// Point-list filters: run joining / thinning and removal of marked points.

#include "points.h"
#include "wrap.h"

#include <cstring>

namespace quorvane {
namespace {

struct Point {
    int32_t x, y;
};

Point load(const int32_t* ps, int64_t k) noexcept { return {ps[2 * k], ps[2 * k + 1]}; }

void store(int32_t* ps, int64_t k, Point p) noexcept {
    ps[2 * k] = p.x;
    ps[2 * k + 1] = p.y;
}

/// The pair starting at `p` continues the segment ending at `tail`: same
/// line, gap below `d`.
bool bridges(Point tail, Point p, int32_t d) noexcept {
    return (p.y == tail.y && sub32(p.x, tail.x) < d) ||
           (p.x == tail.x && sub32(p.y, tail.y) < d);
}

/// The segment head..tail is at least `d` long.
bool long_enough(Point head, Point tail, int32_t d) noexcept {
    return (tail.y == head.y && sub32(tail.x, head.x) >= d) ||
           (tail.x == head.x && sub32(tail.y, head.y) >= d);
}

/// The one denoising walk; `out` == nullptr counts without writing. Each
/// segment is written only into rows the walk has already read, and the
/// next pair is read before anything is written, so `out` may alias `in`.
int64_t denoise_walk(const int32_t* in, int64_t in_size, int32_t* out, int32_t d) noexcept {
    if (in_size < 2) return 0;
    int64_t j = 0;
    auto emit = [&](Point head, Point tail) noexcept {
        if (!long_enough(head, tail, d)) return;
        if (out != nullptr) {
            store(out, j, head);
            store(out, j + 1, tail);
        }
        j += 2;
    };
    Point head = load(in, 0);
    Point tail = load(in, 1);
    for (int64_t i = 2; i < in_size - 1; i += 2) {
        const Point p = load(in, i);
        const Point q = load(in, i + 1);
        if (bridges(tail, p, d)) {
            tail = q;
            continue;
        }
        emit(head, tail);
        head = p;
        tail = q;
    }
    emit(head, tail);
    return j;
}

}  // namespace

int64_t denoise_count(const int32_t* in, int64_t in_size, int32_t min_distance) noexcept {
    return denoise_walk(in, in_size, nullptr, min_distance);
}

int64_t denoise(const int32_t* in, int64_t in_size, int32_t* out, int32_t min_distance) noexcept {
    return denoise_walk(in, in_size, out, min_distance);
}

int64_t count_unmarked(const uint8_t* ms, int64_t n) noexcept {
    int64_t k = 0;
    for (int64_t i = 0; i < n; ++i) k += ms[i] == 0;
    return k;
}

int64_t remove_marked(const int32_t* in, int64_t n, const uint8_t* ms, int32_t* out) noexcept {
    int64_t j = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (ms[i] != 0) continue;
        uint64_t pair;  // one 8-byte move; row j never lies beyond row i
        std::memcpy(&pair, in + 2 * i, sizeof pair);
        std::memcpy(out + 2 * j, &pair, sizeof pair);
        ++j;
    }
    return j;
}

}  // namespace quorvane
