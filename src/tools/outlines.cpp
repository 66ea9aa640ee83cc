// Outline and geometry kernels of the companion tools (see regions.h):
// convex hulls and their filling, polar paths, ellipse rings, bilinear
// sampling and edge masks.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/regions.h"

namespace quorvane::tools {

namespace {

/// The x-interval [lo, hi] of row y inside the ellipse (a, b, theta) round (x0, y0); false
/// when the row misses it.
bool ellipse_row(double x0, double y0, double a, double b, double c, double s, double y, double& lo,
                 double& hi) noexcept {
    if (!(a > 0 && b > 0)) return false;
    // Points (x, y) with (u/a)^2 + (v/b)^2 <= 1, u = c dx + s dy, v = -s dx + c dy: a quadratic
    // in dx for the row's dy.
    const double dy = y - y0;
    const double ia = 1 / (a * a), ib = 1 / (b * b);
    const double qa = c * c * ia + s * s * ib;
    const double qb = 2 * dy * c * s * (ia - ib);
    const double qc = dy * dy * (s * s * ia + c * c * ib) - 1;
    const double disc = qb * qb - 4 * qa * qc;
    if (!(disc >= 0)) return false;
    const double r = std::sqrt(disc);
    lo = x0 + (-qb - r) / (2 * qa);
    hi = x0 + (-qb + r) / (2 * qa);
    return true;
}

inline int64_t cross(const int32_t* o, const int32_t* a, const int32_t* b) noexcept {
    return static_cast<int64_t>(a[0] - o[0]) * (b[1] - o[1]) - static_cast<int64_t>(a[1] - o[1]) * (b[0] - o[0]);
}

}  // namespace

int64_t mask_hull(const uint8_t* mask, int64_t rows, int64_t cols, int32_t* out, int32_t* scratch) noexcept {
    // Each row's first and last pixel, sorted by x then y for the monotone chain.
    int64_t n = 0;
    int32_t* pts = scratch;
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* row = mask + y * cols;
        int64_t a = 0;
        while (a < cols && row[a] == 0) ++a;
        if (a == cols) continue;
        int64_t b = cols - 1;
        while (row[b] == 0) --b;
        pts[2 * n] = static_cast<int32_t>(a);
        pts[2 * n + 1] = static_cast<int32_t>(y);
        ++n;
        if (b != a) {
            pts[2 * n] = static_cast<int32_t>(b);
            pts[2 * n + 1] = static_cast<int32_t>(y);
            ++n;
        }
    }
    if (n == 0) return 0;
    // Sort the points (x, y) pairs by x, then y: insertion into order through an index
    // would allocate; sort the pairs in place as 64-bit keys instead.
    auto* keys = reinterpret_cast<int64_t*>(pts);  // n pairs of int32 = n int64
    for (int64_t k = 0; k < n; ++k) {
        const int64_t x = pts[2 * k], y = pts[2 * k + 1];
        keys[k] = (x << 32) | y;
    }
    std::sort(keys, keys + n);
    int64_t m = 0;
    int32_t* h = out;
    auto put = [&](int64_t key) {
        h[2 * m] = static_cast<int32_t>(key >> 32);
        h[2 * m + 1] = static_cast<int32_t>(key & 0xffffffff);
    };
    for (int64_t k = 0; k < n; ++k) {  // lower chain
        int32_t p[2] = {static_cast<int32_t>(keys[k] >> 32), static_cast<int32_t>(keys[k] & 0xffffffff)};
        while (m >= 2 && cross(h + 2 * (m - 2), h + 2 * (m - 1), p) <= 0) --m;
        put(keys[k]);
        ++m;
    }
    const int64_t lower = m + 1;
    for (int64_t k = n - 2; k >= 0; --k) {  // upper chain
        int32_t p[2] = {static_cast<int32_t>(keys[k] >> 32), static_cast<int32_t>(keys[k] & 0xffffffff)};
        while (m >= lower && cross(h + 2 * (m - 2), h + 2 * (m - 1), p) <= 0) --m;
        put(keys[k]);
        ++m;
    }
    return m > 1 ? m - 1 : m;  // the last point repeats the first
}

void fill_convex(const double* poly, int64_t n, int64_t rows, int64_t cols, uint8_t* out) noexcept {
    if (n <= 0) return;
    double ylo = poly[1], yhi = poly[1];
    for (int64_t k = 1; k < n; ++k) {
        ylo = std::min(ylo, poly[2 * k + 1]);
        yhi = std::max(yhi, poly[2 * k + 1]);
    }
    const int64_t y0 = std::max<int64_t>(0, static_cast<int64_t>(std::ceil(ylo - 1e-9)));
    const int64_t y1 = std::min<int64_t>(rows - 1, static_cast<int64_t>(std::floor(yhi + 1e-9)));
    for (int64_t y = y0; y <= y1; ++y) {
        double lo = INFINITY, hi = -INFINITY;
        const double yy = static_cast<double>(y);
        for (int64_t k = 0; k < n; ++k) {
            const double* a = poly + 2 * k;
            const double* b = poly + 2 * ((k + 1) % n);
            const double ya = a[1], yb = b[1];
            if ((yy < std::min(ya, yb) - 1e-9) || (yy > std::max(ya, yb) + 1e-9)) continue;
            if (std::abs(yb - ya) < 1e-12) {
                lo = std::min({lo, a[0], b[0]});
                hi = std::max({hi, a[0], b[0]});
            } else {
                const double x = a[0] + (yy - ya) / (yb - ya) * (b[0] - a[0]);
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
        }
        if (!(lo <= hi)) continue;
        const int64_t xa = std::max<int64_t>(0, static_cast<int64_t>(std::ceil(lo - 1e-9)));
        const int64_t xb = std::min<int64_t>(cols - 1, static_cast<int64_t>(std::floor(hi + 1e-9)));
        if (xa <= xb) std::memset(out + y * cols + xa, 1, static_cast<size_t>(xb - xa + 1));
    }
}

void polar_path(const float* cost, int64_t angles, int64_t radii, int64_t reach, float step_cost, float* acc,
                int32_t* back, int32_t* path) noexcept {
    float* prev = acc;
    float* next = acc + radii;
    for (int64_t r = 0; r < radii; ++r) prev[r] = cost[r];
    const int64_t steps = 2 * angles;
    for (int64_t s = 1; s < steps; ++s) {
        const float* row = cost + (s % angles) * radii;
        int32_t* b = back + s * radii;
        for (int64_t r = 0; r < radii; ++r) {
            float best = INFINITY;
            int64_t arg = r;
            const int64_t lo = std::max<int64_t>(0, r - reach), hi = std::min<int64_t>(radii - 1, r + reach);
            for (int64_t q = lo; q <= hi; ++q) {
                const float v = prev[q] + step_cost * static_cast<float>(q > r ? q - r : r - q);
                if (v < best) {
                    best = v;
                    arg = q;
                }
            }
            next[r] = best + row[r];
            b[r] = static_cast<int32_t>(arg);
        }
        std::swap(prev, next);
    }
    int64_t r = 0;
    for (int64_t q = 1; q < radii; ++q) {
        if (prev[q] < prev[r]) r = q;
    }
    for (int64_t s = steps - 1; s >= 0; --s) {
        if (s >= angles) path[s - angles] = static_cast<int32_t>(r);
        if (s > 0) r = back[s * radii + r];
    }
}

int64_t outline_ring(const uint8_t* mask, int64_t rows, int64_t cols, double x0, double y0, double a, double b,
                     double theta, double band, int32_t* out, int64_t capacity) noexcept {
    const double c = std::cos(theta), s = std::sin(theta);
    const double ao = a + band, bo = b + band, ai = a - band, bi = b - band;
    const double reach = std::max(ao, bo) + 1;
    const int64_t ylo = std::max<int64_t>(0, static_cast<int64_t>(std::floor(y0 - reach)));
    const int64_t yhi = std::min<int64_t>(rows - 1, static_cast<int64_t>(std::ceil(y0 + reach)));
    int64_t n = 0;
    auto emit = [&](int64_t x2, int64_t y2) {
        if (n < capacity) {
            out[2 * n] = static_cast<int32_t>(x2);
            out[2 * n + 1] = static_cast<int32_t>(y2);
        }
        ++n;
    };
    auto scan = [&](int64_t y, int64_t lo, int64_t hi) {
        lo = std::max<int64_t>(lo, 0);
        hi = std::min<int64_t>(hi, cols - 1);
        const uint8_t* row = mask + y * cols;
        const uint8_t* up = y > 0 ? row - cols : nullptr;
        const uint8_t* down = y + 1 < rows ? row + cols : nullptr;
        for (int64_t x = lo; x <= hi; ++x) {
            if (row[x] == 0) continue;
            if (x > 0 && row[x - 1] == 0) emit(2 * x - 1, 2 * y);
            if (x + 1 < cols && row[x + 1] == 0) emit(2 * x + 1, 2 * y);
            if (up != nullptr && up[x] == 0) emit(2 * x, 2 * y - 1);
            if (down != nullptr && down[x] == 0) emit(2 * x, 2 * y + 1);
        }
    };
    for (int64_t y = ylo; y <= yhi; ++y) {
        double olo, ohi;
        if (!ellipse_row(x0, y0, ao, bo, c, s, static_cast<double>(y), olo, ohi)) continue;
        const int64_t xo0 = static_cast<int64_t>(std::floor(olo)), xo1 = static_cast<int64_t>(std::ceil(ohi));
        double ilo, ihi;
        if (ellipse_row(x0, y0, ai, bi, c, s, static_cast<double>(y), ilo, ihi)) {
            const int64_t xi0 = static_cast<int64_t>(std::ceil(ilo)), xi1 = static_cast<int64_t>(std::floor(ihi));
            if (xi0 <= xi1) {
                scan(y, xo0, xi0 - 1);
                scan(y, xi1 + 1, xo1);
                continue;
            }
        }
        scan(y, xo0, xo1);
    }
    return n;
}

void bilinear(const uint8_t* image, int64_t rows, int64_t cols, int channels, const double* xy, int64_t n,
              float* out) noexcept {
    const double xmax = static_cast<double>(cols) - 1.001, ymax = static_cast<double>(rows) - 1.001;
    for (int64_t k = 0; k < n; ++k) {
        double x = xy[2 * k], y = xy[2 * k + 1];
        x = std::isnan(x) ? 0.0 : std::min(std::max(x, 0.0), std::max(xmax, 0.0));
        y = std::isnan(y) ? 0.0 : std::min(std::max(y, 0.0), std::max(ymax, 0.0));
        const int64_t x0 = static_cast<int64_t>(x), y0 = static_cast<int64_t>(y);
        const int64_t x1 = std::min(x0 + 1, cols - 1), y1 = std::min(y0 + 1, rows - 1);
        const float fx = static_cast<float>(x - static_cast<double>(x0));
        const float fy = static_cast<float>(y - static_cast<double>(y0));
        const uint8_t* a = image + (y0 * cols + x0) * channels;
        const uint8_t* b = image + (y0 * cols + x1) * channels;
        const uint8_t* c = image + (y1 * cols + x0) * channels;
        const uint8_t* d = image + (y1 * cols + x1) * channels;
        float* o = out + k * channels;
        for (int ch = 0; ch < channels; ++ch) {
            const float top = a[ch] + (b[ch] - a[ch]) * fx;
            const float bottom = c[ch] + (d[ch] - c[ch]) * fx;
            o[ch] = top + (bottom - top) * fy;
        }
    }
}

void edge_mask(const uint8_t* image, int64_t rows, int64_t cols, int channels, int threshold, uint8_t* out,
               uint8_t* magnitude, uint8_t* direction) noexcept {
    const int64_t stride = cols * channels;
    // Magnitude and direction (0: across x, 1: diagonal down-right, 2: across y, 3: diagonal
    // down-left) of the channel that changes most.
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* up = image + std::max<int64_t>(y - 1, 0) * stride;
        const uint8_t* mid = image + y * stride;
        const uint8_t* down = image + std::min<int64_t>(y + 1, rows - 1) * stride;
        for (int64_t x = 0; x < cols; ++x) {
            const int64_t l = std::max<int64_t>(x - 1, 0) * channels, r = std::min<int64_t>(x + 1, cols - 1) * channels,
                          c = x * channels;
            int best = -1, bx = 0, by = 0;
            for (int ch = 0; ch < 3; ++ch) {
                const int gx = (up[r + ch] + 2 * mid[r + ch] + down[r + ch]) - (up[l + ch] + 2 * mid[l + ch] + down[l + ch]);
                const int gy = (down[l + ch] + 2 * down[c + ch] + down[r + ch]) - (up[l + ch] + 2 * up[c + ch] + up[r + ch]);
                const int m = std::abs(gx) + std::abs(gy);
                if (m > best) {
                    best = m;
                    bx = gx;
                    by = gy;
                }
            }
            magnitude[y * cols + x] = static_cast<uint8_t>(std::min(best >> 3, 255));
            // tan(22.5 deg) ~ 0.4142 ~ 106 / 256
            const int ax = std::abs(bx), ay = std::abs(by);
            uint8_t d;
            if (ay * 256 <= ax * 106) {
                d = 0;
            } else if (ax * 256 <= ay * 106) {
                d = 2;
            } else {
                d = (bx > 0) == (by > 0) ? 1 : 3;
            }
            direction[y * cols + x] = d;
        }
    }
    std::memset(out, 0, static_cast<size_t>(rows * cols));
    for (int64_t y = 1; y + 1 < rows; ++y) {
        for (int64_t x = 1; x + 1 < cols; ++x) {
            const int64_t p = y * cols + x;
            const int m = magnitude[p];
            if (m < threshold) continue;
            int64_t q1, q2;
            switch (direction[p]) {
                case 0: q1 = p - 1; q2 = p + 1; break;
                case 2: q1 = p - cols; q2 = p + cols; break;
                case 1: q1 = p - cols - 1; q2 = p + cols + 1; break;
                default: q1 = p - cols + 1; q2 = p + cols - 1; break;
            }
            // Ties: keep the first pixel of a plateau only (strictly greater on one side).
            out[p] = m >= magnitude[q1] && m > magnitude[q2];
        }
    }
}

}  // namespace quorvane::tools
