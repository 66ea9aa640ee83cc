// Region kernels of the companion tools (see regions.h).
#include "tools/regions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace quorvane::tools {

namespace {

/// Start of the next run of non-zero bytes in [x, cols), or cols.
inline int64_t run_start(const uint8_t* row, int64_t x, int64_t cols) noexcept {
    while (x < cols && row[x] == 0) ++x;
    return x;
}

/// End of the run that starts at x.
inline int64_t run_end(const uint8_t* row, int64_t x, int64_t cols) noexcept {
    while (x < cols && row[x] != 0) ++x;
    return x;
}

int32_t find(int32_t* parent, int32_t a) noexcept {
    while (parent[a] != a) {
        parent[a] = parent[parent[a]];
        a = parent[a];
    }
    return a;
}

void unite(int32_t* parent, int32_t a, int32_t b) noexcept {
    a = find(parent, a);
    b = find(parent, b);
    if (a < b) {
        parent[b] = a;
    } else if (b < a) {
        parent[a] = b;
    }
}

}  // namespace

int64_t count_runs(const uint8_t* mask, int64_t rows, int64_t cols) noexcept {
    int64_t n = 0;
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* row = mask + y * cols;
        uint8_t prev = 0;
        for (int64_t x = 0; x < cols; ++x) {
            const uint8_t on = row[x] != 0;
            n += on & (prev ^ 1);
            prev = on;
        }
    }
    return n;
}

int32_t label(const uint8_t* mask, int64_t rows, int64_t cols, int connectivity, int32_t* out, Run* runs,
              int32_t* parent) noexcept {
    // Runs of each row, each united with the runs of the row above that it
    // touches (sharing a column, or a corner with 8-connectivity).
    const int64_t reach = connectivity == 8 ? 1 : 0;
    int64_t n = 0, above = 0, above_end = 0;  // runs of the previous row: [above, above_end)
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* row = mask + y * cols;
        const int64_t first = n;
        for (int64_t x = run_start(row, 0, cols); x < cols; x = run_start(row, x, cols)) {
            const int64_t end = run_end(row, x, cols);
            runs[n] = {static_cast<int32_t>(y), static_cast<int32_t>(x), static_cast<int32_t>(end), 0};
            parent[n] = static_cast<int32_t>(n);
            // Runs above that end before this one starts cannot touch it or any later run.
            while (above < above_end && runs[above].x1 + reach <= x) ++above;
            for (int64_t k = above; k < above_end && runs[k].x0 < end + reach; ++k) {
                unite(parent, static_cast<int32_t>(k), static_cast<int32_t>(n));
            }
            ++n;
            x = end;
        }
        above = first;
        above_end = n;
    }
    // Final labels, numbered in raster order of each part's first run.
    int32_t count = 0;
    for (int64_t k = 0; k < n; ++k) {
        const int32_t root = find(parent, static_cast<int32_t>(k));
        if (root == k) {
            runs[k].label = ++count;
        } else {
            runs[k].label = runs[root].label;
        }
    }
    if (out != nullptr) {
        std::memset(out, 0, static_cast<size_t>(rows * cols) * sizeof(int32_t));
        for (int64_t k = 0; k < n; ++k) {
            int32_t* row = out + static_cast<int64_t>(runs[k].y) * cols;
            std::fill(row + runs[k].x0, row + runs[k].x1, runs[k].label);
        }
    }
    return count;
}

void flood(const uint8_t* cost, const uint8_t* seeds, const uint8_t* allowed, int64_t rows, int64_t cols,
           uint8_t* out, int32_t* next) noexcept {
    // One FIFO list per level, threaded through `next`. A pixel is set when it
    // is first reached: later pops come from levels at least as high, so no
    // later path can give it a lower level.
    constexpr int kLevels = 255;
    int32_t head[kLevels], tail[kLevels];
    std::fill(head, head + kLevels, -1);
    std::fill(tail, tail + kLevels, -1);
    const int64_t n = rows * cols;
    std::memset(out, 255, static_cast<size_t>(n));
    auto push = [&](int64_t p, int level) {
        out[p] = static_cast<uint8_t>(level);
        next[p] = -1;
        if (tail[level] < 0) {
            head[level] = static_cast<int32_t>(p);
        } else {
            next[tail[level]] = static_cast<int32_t>(p);
        }
        tail[level] = static_cast<int32_t>(p);
    };
    for (int64_t p = 0; p < n; ++p) {
        if (seeds[p] != 0 && (allowed == nullptr || allowed[p] != 0)) {
            push(p, std::min<int>(cost[p], kLevels - 1));
        }
    }
    for (int level = 0; level < kLevels; ++level) {
        for (int32_t p = head[level]; p >= 0; p = next[p]) {
            const int64_t y = p / cols, x = p - y * cols;
            const int64_t around[4] = {x > 0 ? p - 1 : -1, x + 1 < cols ? p + 1 : -1, y > 0 ? p - cols : -1,
                                       y + 1 < rows ? p + cols : -1};
            for (int64_t q : around) {
                if (q < 0 || out[q] != 255 || (allowed != nullptr && allowed[q] == 0)) continue;
                push(q, std::max<int>(level, std::min<int>(cost[q], kLevels - 1)));
            }
        }
    }
}

void gradient(const uint8_t* image, int64_t rows, int64_t cols, int channels, uint8_t* out) noexcept {
    const int64_t stride = cols * channels;
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* up = image + std::max<int64_t>(y - 1, 0) * stride;
        const uint8_t* mid = image + y * stride;
        const uint8_t* down = image + std::min<int64_t>(y + 1, rows - 1) * stride;
        uint8_t* o = out + y * cols;
        for (int64_t x = 0; x < cols; ++x) {
            const int64_t l = std::max<int64_t>(x - 1, 0) * channels, r = std::min<int64_t>(x + 1, cols - 1) * channels,
                          c = x * channels;
            int best = 0;
            for (int ch = 0; ch < 3; ++ch) {
                const int gx = (up[r + ch] + 2 * mid[r + ch] + down[r + ch]) - (up[l + ch] + 2 * mid[l + ch] + down[l + ch]);
                const int gy = (down[l + ch] + 2 * down[c + ch] + down[r + ch]) - (up[l + ch] + 2 * up[c + ch] + up[r + ch]);
                best = std::max(best, std::abs(gx) + std::abs(gy));
            }
            o[x] = static_cast<uint8_t>(std::min(best >> 3, 255));
        }
    }
}

int64_t intensity_mask(const uint8_t* image, int64_t rows, int64_t cols, int channels, int32_t lo, int32_t hi,
                       uint8_t* out) noexcept {
    const int64_t n = rows * cols;
    int64_t count = 0;
    for (int64_t p = 0; p < n; ++p) {
        const uint8_t* px = image + p * channels;
        const int32_t sum = px[0] + px[1] + px[2];
        const bool on = lo <= sum && sum <= hi && (channels < 4 || px[3] != 0);
        out[p] = on;
        count += on;
    }
    return count;
}

int64_t outline(const uint8_t* mask, int64_t rows, int64_t cols, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                double a, double b, double c, double band, int32_t* out, int64_t capacity) noexcept {
    x0 = std::max<int64_t>(x0, 0);
    y0 = std::max<int64_t>(y0, 0);
    x1 = std::min(x1, cols);
    y1 = std::min(y1, rows);
    int64_t n = 0;
    auto emit = [&](int64_t x2, int64_t y2) {
        if (n < capacity) {
            out[2 * n] = static_cast<int32_t>(x2);
            out[2 * n + 1] = static_cast<int32_t>(y2);
        }
        ++n;
    };
    for (int64_t y = y0; y < y1; ++y) {
        int64_t lo = x0, hi = x1;
        if (band >= 0) {
            // The columns of this row within the band: |a x + b y + c| <= band.
            const double rest = b * static_cast<double>(y) + c;
            if (a == 0) {
                if (std::abs(rest) > band) continue;
            } else {
                double u = (-band - rest) / a, v = (band - rest) / a;
                if (u > v) std::swap(u, v);
                if (!(v >= static_cast<double>(lo)) || !(u < static_cast<double>(hi))) continue;
                lo = std::max(lo, static_cast<int64_t>(std::ceil(u)));
                hi = std::min(hi, static_cast<int64_t>(std::floor(v)) + 1);
            }
        }
        const uint8_t* row = mask + y * cols;
        const uint8_t* up = y > 0 ? row - cols : nullptr;
        const uint8_t* down = y + 1 < rows ? row + cols : nullptr;
        for (int64_t x = lo; x < hi; ++x) {
            if (row[x] == 0) continue;
            if (x > 0 && row[x - 1] == 0) emit(2 * x - 1, 2 * y);
            if (x + 1 < cols && row[x + 1] == 0) emit(2 * x + 1, 2 * y);
            if (up != nullptr && up[x] == 0) emit(2 * x, 2 * y - 1);
            if (down != nullptr && down[x] == 0) emit(2 * x, 2 * y + 1);
        }
    }
    return n;
}

}  // namespace quorvane::tools
