// The scans, the two filters and the four fitters on fixed inputs, against
// outputs recorded on x86-64 (expected.inc, written by `kernel_tests
// --record` from the scalar table): the scans and fitters of every kernel
// table this CPU runs. Inputs come from integer arithmetic only, so every machine
// builds the same ones; doubles are recorded in hexadecimal (%a), so they
// compare bit for bit.

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "color/color.h"
#include "kernels/kernels.h"
#include "points/points.h"
#include "ransac/ransac.h"

namespace kt {
namespace {

struct Expected {
    const char* name;
    const char* text;
};
constexpr Expected kExpected[] = {
#include "expected.inc"
};

bool g_record = false;
const char* g_table = "scalar";  ///< the kernel table under test, for messages

/// Compares (or, recording, prints) the text of one result.
void result(const std::string& name, const std::string& text) {
    if (g_record) {
        std::printf("    {\"%s\", \"%s\"},\n", name.c_str(), text.c_str());
        return;
    }
    for (const Expected& e : kExpected) {
        if (name == e.name) {
            check(text == e.text, "%s (%s): got %s, recorded %s", name.c_str(), g_table, text.c_str(), e.text);
            return;
        }
    }
    check(false, "%s: nothing recorded (got %s)", name.c_str(), text.c_str());
}

using Points = std::vector<int32_t>;

std::string show_points(const int32_t* ps, int64_t n) {
    return format("n=%lld %016llx", static_cast<long long>(n),
                  static_cast<unsigned long long>(digest(ps, static_cast<std::size_t>(2 * n) * 4)));
}

int64_t isqrt(int64_t v) {
    int64_t r = 0;
    while ((r + 1) * (r + 1) <= v) ++r;
    return r;
}

// ---- the scan

std::vector<uint8_t> mask_image(int64_t h, int64_t w) {
    Rng r{0x5ca11};
    std::vector<uint8_t> img(static_cast<std::size_t>(h * w), 0);
    for (int d = 0; d < 12; ++d) {  // discs with values 1, 7 and 255
        const int64_t cx = r.range(0, w - 1), cy = r.range(0, h - 1), rad = r.range(3, 60);
        const uint8_t v = d % 3 == 0 ? 1 : (d % 3 == 1 ? 7 : 255);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= rad * rad) img[y * w + x] = d % 4 == 3 ? 0 : v;
    }
    for (int k = 0; k < 2000; ++k) img[r.range(0, h * w - 1)] ^= 1;  // salt
    return img;
}

std::vector<uint8_t> rgb_image(int64_t h, int64_t w) {
    Rng r{0xc0102};
    std::vector<uint8_t> img(static_cast<std::size_t>(3 * h * w));
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            uint8_t* p = &img[3 * (y * w + x)];
            p[0] = static_cast<uint8_t>((x * 255) / w + r.range(-12, 12));
            p[1] = static_cast<uint8_t>((y * 255) / h + r.range(-12, 12));
            p[2] = static_cast<uint8_t>(((x + y) * 3) & 255);
        }
    return img;
}

void scan_tests(const quorvane::Kernels& k, Points& scanned) {
    const int64_t h = 240, w = 320;
    const auto img = mask_image(h, w);
    struct Case {
        int32_t rows, cols;
        int64_t cap;
    };
    for (const Case c : {Case{64, 64, 100000}, Case{5, 0, 100000}, Case{0, 7, 100000}, Case{300, 400, 400000},
                         Case{64, 64, 10}, Case{70000, -3, 400000}, Case{1, 1, 100000}}) {
        Points ps(static_cast<std::size_t>(2 * c.cap) + 2, -1);
        const int64_t n = k.scan.mask(img.data(), h, w, ps.data(), c.cap, c.rows, c.cols);
        check(ps[2 * c.cap] == -1, "the mask scan of %s wrote past its capacity", k.name);
        result(format("edge_scan_mask/%dx%d/cap%lld", c.rows, c.cols, static_cast<long long>(c.cap)),
               show_points(ps.data(), n));
        if (c.rows == 64 && c.cols == 64 && c.cap == 100000) scanned.assign(ps.begin(), ps.begin() + 2 * n);
    }
    for (auto hw : {std::pair<int64_t, int64_t>{0, 5}, {5, 0}, {1, 1}, {3, 1}}) {
        Points ps(64, -1);
        const std::vector<uint8_t> one(static_cast<std::size_t>(hw.first * hw.second) + 1, 1);
        const int64_t n = k.scan.mask(one.data(), hw.first, hw.second, ps.data(), 30, 8, 8);
        result(format("edge_scan_mask/image%lldx%lld", static_cast<long long>(hw.first),
                      static_cast<long long>(hw.second)),
               show_points(ps.data(), n));
    }
    const int64_t rh = 120, rw = 160;
    const auto rgb = rgb_image(rh, rw);
    const quorvane::LchBounds b{{6554, 58982}, {7468, 44807}, {146, -304, 158, 146, 158, -304, 85, 85, 85}};
    for (auto rc : {std::pair<int32_t, int32_t>{32, 32}, {200, 300}, {7, 0}}) {
        Points ps(400000, -1);
        const int64_t n = k.scan.rgb(rgb.data(), rh, rw, b, ps.data(), 200000, rc.first, rc.second);
        result(format("edge_scan_rgb/%dx%d", rc.first, rc.second), show_points(ps.data(), n));
    }
}

// ---- the filters

void filter_tests(const Points& in) {
    const int64_t n = static_cast<int64_t>(in.size() / 2);
    for (int32_t d : {0, 1, 3, 8, 50, -5, INT32_MAX}) {
        const int64_t count = quorvane::denoise_count(in.data(), n, d);
        Points out(static_cast<std::size_t>(2 * count) + 2, -1);
        const int64_t got = quorvane::denoise(in.data(), n, out.data(), d);
        check(got == count && out[2 * count] == -1, "denoise(%d) wrote %lld points, counted %lld", d,
              static_cast<long long>(got), static_cast<long long>(count));
        Points same = in;
        quorvane::denoise(same.data(), n, same.data(), d);
        check(std::equal(out.begin(), out.begin() + 2 * got, same.begin()), "denoise(%d) in place differs", d);
        result(format("denoise/%d", d), show_points(out.data(), got));
    }
    Rng r{0xf117};
    for (int density : {0, 1, 3, 8}) {
        std::vector<uint8_t> ms(static_cast<std::size_t>(n));
        for (auto& m : ms) m = density == 0 ? 0 : (r.range(0, 7) < density ? static_cast<uint8_t>(r.range(1, 255)) : 0);
        const int64_t count = quorvane::count_unmarked(ms.data(), n);
        Points out(static_cast<std::size_t>(2 * count) + 2, -1);
        const int64_t got = quorvane::remove_marked(in.data(), n, ms.data(), out.data());
        check(got == count && out[2 * count] == -1, "remove_marked wrote %lld points, counted %lld",
              static_cast<long long>(got), static_cast<long long>(count));
        Points same = in;
        quorvane::remove_marked(same.data(), n, ms.data(), same.data());
        check(std::equal(out.begin(), out.begin() + 2 * got, same.begin()), "remove_marked in place differs");
        result(format("remove_marked/%d", density), show_points(out.data(), got));
    }
}

// ---- the fitters

void noise(Rng& r, Points& ps, int amount, int outliers) {
    for (auto& v : ps) v += static_cast<int32_t>(r.range(-amount, amount));
    for (int k = 0; k < outliers; ++k) {
        ps.push_back(static_cast<int32_t>(r.range(0, 639)));
        ps.push_back(static_cast<int32_t>(r.range(0, 479)));
    }
}

struct Sets {
    Points line, pair, circle, ellipse, huge, few;
};

Sets point_sets() {
    Rng r{0xf17};
    Sets s;
    for (int k = 0; k < 600; ++k) {
        const int32_t x = static_cast<int32_t>(r.range(0, 639));
        s.line.insert(s.line.end(), {x, (3 * x + 17) / 7 + 100});
        s.pair.insert(s.pair.end(), {x, x / 2 + 40 + (k % 2) * 80});
    }
    noise(r, s.line, 2, 200);
    noise(r, s.pair, 1, 150);
    for (int k = 0; k < 500; ++k) {
        const int64_t u = r.range(-1000, 1000), v = isqrt(1000000 - u * u) * (k % 2 ? 1 : -1);
        const int64_t cu = u * 120 / 1000, cv = v * 120 / 1000;
        s.circle.insert(s.circle.end(), {static_cast<int32_t>(300 + cu), static_cast<int32_t>(200 + cv)});
        const int64_t X = u * 150 / 1000, Y = v * 80 / 1000;  // semi-axes 150, 80, turned by atan(4/3)
        s.ellipse.insert(s.ellipse.end(), {static_cast<int32_t>(320 + (3 * X - 4 * Y) / 5),
                                           static_cast<int32_t>(240 + (4 * X + 3 * Y) / 5)});
    }
    noise(r, s.circle, 1, 150);
    noise(r, s.ellipse, 1, 150);
    for (int k = 0; k < 200; ++k) s.huge.push_back(r.i32());
    s.few = {10, 10, 20, 25, 30, 12, 40, 41};
    return s;
}

std::string show_line(const quorvane::Line& l) { return format("(%d %d %d %d)", l.px, l.py, l.nx, l.ny); }

std::string show_ms(const std::vector<uint8_t>& ms) {
    return format("ms %016llx", static_cast<unsigned long long>(digest(ms.data(), ms.size())));
}

void fitter_tests(const quorvane::Kernels& k) {
    const Sets s = point_sets();
    const std::pair<const char*, const Points*> sets[] = {{"line", &s.line},       {"pair", &s.pair},
                                                          {"circle", &s.circle},   {"ellipse", &s.ellipse},
                                                          {"huge", &s.huge},       {"few", &s.few}};
    for (const auto& [set, pts] : sets) {
        const int32_t* ps = pts->data();
        const int64_t n = static_cast<int64_t>(pts->size() / 2);
        for (uint32_t seed : {1u, 12345u, 0xffffffffu}) {
            for (int32_t count : {0, 1, 300}) {
                if (count != 300 && seed != 1u) continue;
                std::vector<uint8_t> ms(static_cast<std::size_t>(n), 0xee);
                const std::string at = format("%s/seed%u/count%d", set, seed, count);
                const quorvane::Line l = quorvane::ransac_line(k, ps, n, ms.data(), seed, count, 3, 0.2);
                result("ransac_line/" + at, show_line(l) + " " + show_ms(ms));
                const quorvane::Line l0 = quorvane::ransac_line(k, ps, n, ms.data(), seed, count, 0, 0.5);
                result("ransac_line/delta0/" + at, show_line(l0) + " " + show_ms(ms));
                const quorvane::Line2 l2 = quorvane::ransac_line2(k, ps, n, ms.data(), seed, count, 0.95, 3);
                result("ransac_line2/" + at, show_line(l2.l1) + show_line(l2.l2) + " " + show_ms(ms));
                const quorvane::Circle c = quorvane::ransac_circle(k, ps, n, seed, count, 20, 300, 3);
                result("ransac_circle/" + at, format("(%d %d %d)", c.x, c.y, c.r));
                const quorvane::Circle c0 = quorvane::ransac_circle(k, ps, n, seed, count, 0, INT32_MAX, 0);
                result("ransac_circle/delta0/" + at, format("(%d %d %d)", c0.x, c0.y, c0.r));
                for (double ratio : {1.0, 0.6}) {
                    const quorvane::Ellipse e = quorvane::ransac_ellipse(k, ps, n, seed, count, 10, 400, ratio, 3);
                    result(format("ransac_ellipse/ratio%g/", ratio) + at,
                           format("(%a %a %a %a %a)", e.x, e.y, e.a, e.b, e.theta));
                }
            }
        }
    }
}

}  // namespace

void fixed_tests(bool record) {
    g_record = record;
    if (!record) std::puts("scans, filters and fitters on fixed inputs");
    bool first = true;
    for (const quorvane::Kernels* k : record ? std::vector<const quorvane::Kernels*>{&quorvane::kernels_scalar()}
                                             : runnable_tables(true)) {
        g_table = k->name;
        Points scanned;
        scan_tests(*k, scanned);
        if (first) filter_tests(scanned);
        fitter_tests(*k);
        first = false;
    }
}

}  // namespace kt
