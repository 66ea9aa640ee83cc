// The fitters' kernels of every kernel table this CPU runs against the
// scalar ones: the batched conic solve sample by sample, and the four
// fitters draw for draw on shapes, noise, degenerate and extreme lists.

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "kernels/kernels.h"
#include "random_points.h"
#include "ransac/ransac.h"
#include "ransac/score.h"

namespace kt {
namespace {

using quorvane::ConicFit;
using quorvane::Kernels;
using quorvane::ScoreKernels;

std::string bits(double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    return format("%016llx", static_cast<unsigned long long>(u));
}

/// Points on a shape with +-1 noise, then uniform outliers.
Points shape_points(Rng& r, int shape, int64_t n, int64_t ox, int64_t oy) {
    Points ps;
    for (int64_t k = 0; k < n; ++k) {
        int64_t x, y;
        if (k % 3 == 2) {
            x = r.range(0, 640), y = r.range(0, 480);
        } else {
            const int64_t t = r.range(0, 1 << 16);
            const double a = 6.283185307179586 * static_cast<double>(t) / 65536.0;
            switch (shape) {
                case 0: x = t % 640, y = x / 2 + 60; break;
                case 1: x = t % 640, y = x / 4 + (t & 1 ? 80 : 200); break;
                case 2: x = 320 + static_cast<int64_t>(100 * __builtin_cos(a)), y = 240 + static_cast<int64_t>(100 * __builtin_sin(a)); break;
                default: x = 300 + static_cast<int64_t>(150 * __builtin_cos(a)), y = 220 + static_cast<int64_t>(80 * __builtin_sin(a));
            }
            x += r.range(-1, 1), y += r.range(-1, 1);
        }
        ps.push_back(static_cast<int32_t>(x + ox));
        ps.push_back(static_cast<int32_t>(y + oy));
    }
    return ps;
}

/// Equal bits, or both NaN (a candidate with a NaN field never scores, so
/// which NaN it holds is never seen).
bool same_double(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b);
}

/// Five points for the conic kernels: on an ellipse (exactly, as in the
/// fitter's use, or with noise), anywhere, around the origin (a zero row),
/// repeated or collinear (singular), or near the int32 limits (wrapping
/// products).
void conic_sample(Rng& r, int kind, int32_t (&p)[5][2]) {
    const double cx = static_cast<double>(r.range(-50, 700)), cy = static_cast<double>(r.range(-50, 500));
    const double a = static_cast<double>(r.range(1, 300)), b = static_cast<double>(r.range(1, 300));
    const double t = static_cast<double>(r.range(0, 628)) / 100.0;
    for (int j = 0; j < 5; ++j) {
        const double u = static_cast<double>(r.range(0, 6283)) / 1000.0;
        const double ex = a * __builtin_cos(u), ey = b * __builtin_sin(u);
        switch (kind) {
            case 0:
            case 1:
                p[j][0] = static_cast<int32_t>(cx + ex * __builtin_cos(t) - ey * __builtin_sin(t)) +
                          static_cast<int32_t>(kind == 1 ? r.range(-1, 1) : 0);
                p[j][1] = static_cast<int32_t>(cy + ex * __builtin_sin(t) + ey * __builtin_cos(t));
                break;
            case 2: p[j][0] = coord(r, kImage), p[j][1] = coord(r, kImage); break;
            case 3: p[j][0] = static_cast<int32_t>(r.range(-2, 2)), p[j][1] = static_cast<int32_t>(r.range(-2, 2)); break;
            case 4:  // repeats and lines
                p[j][0] = j > 0 && r.range(0, 1) ? p[j - 1][0] : static_cast<int32_t>(r.range(0, 9));
                p[j][1] = r.range(0, 1) ? 2 * p[j][0] + 1 : static_cast<int32_t>(r.range(0, 9));
                break;
            default: {
                const Range range = static_cast<Range>(r.range(1, 4));
                p[j][0] = coord(r, range), p[j][1] = coord(r, range);
            }
        }
    }
}

/// The batched conic solve of each kernel against the scalar one, sample
/// by sample, for every batch size.
void compare_conics(const Kernels& table, Rng& r, int rounds) {
    const ScoreKernels &k = table.score, &s = quorvane::kScoreScalar;
    long bad = 0, ellipses = 0;
    for (int round = 0; round < rounds && bad < 5; ++round) {
        const int count = 1 + round % quorvane::kConicBatch;
        int32_t p[quorvane::kConicBatch][5][2];
        for (int j = 0; j < count; ++j) conic_sample(r, static_cast<int>(r.range(0, 7) % 6), p[j]);
        ConicFit fk[quorvane::kConicBatch], fs[quorvane::kConicBatch];
        const uint32_t ok_k = k.conics(p, count, fk), ok_s = s.conics(p, count, fs);
        bool ok = check(ok_k == ok_s, "%s: conics round %d: usable %#x vs scalar %#x", table.name, round, ok_k, ok_s);
        for (int j = 0; j < count && ok; ++j) {
            if (((ok_s >> j) & 1u) == 0) continue;
            ++ellipses;
            const double* a = &fk[j].x;
            const double* b = &fs[j].x;
            int f = 0;
            while (f < 8 && same_double(a[f], b[f])) ++f;
            ok = check(f == 8, "%s: conics round %d sample %d field %d: %s vs scalar %s", table.name, round, j, f,
                       bits(a[f < 8 ? f : 0]).c_str(), bits(b[f < 8 ? f : 0]).c_str());
        }
        bad += !ok;
    }
    check(ellipses > rounds / 2, "%s: only %ld samples gave ellipses", table.name, ellipses);
}

void compare_fitters(const Kernels& table, Rng& r, int rounds) {
    const Kernels& scalar = quorvane::kernels_scalar();
    for (int round = 0; round < rounds; ++round) {
        const int kind = round % 6;
        const int64_t n = kind == 5 ? r.range(0, 7) : r.range(5, 1300);
        Points ps;
        if (kind < 4) {
            const bool far = r.range(0, 3) == 0;
            ps = shape_points(r, kind, n, far ? INT32_MAX - 700 : 0, far ? INT32_MIN + 10 : 0);
        } else if (kind == 4) {
            ps = random_points(r, n, static_cast<Range>(r.range(0, 4)));
        } else {  // tiny or degenerate lists: all one point, or collinear
            ps.assign(static_cast<std::size_t>(2 * n), 7);
            if (r.range(0, 1)) {
                for (int64_t j = 0; j < n; ++j) ps[2 * j] = static_cast<int32_t>(3 * j);
            }
        }
        const int64_t m = static_cast<int64_t>(ps.size() / 2);
        const int32_t* p = ps.data();
        const uint32_t seed = static_cast<uint32_t>(r.next());
        const int32_t count = static_cast<int32_t>(r.range(0, 3) == 0 ? r.range(-1, 3) : r.range(50, 300));
        const int32_t delta = static_cast<int32_t>(r.range(0, 4) == 0 ? r.range(-2, 0) : r.range(1, 4));
        const std::string at = format("%s round=%d n=%lld seed=%u", table.name, round, static_cast<long long>(m), seed);

        std::vector<uint8_t> mk(static_cast<std::size_t>(m) + 16, 0xa5), ms(mk);
        const quorvane::Line lk = quorvane::ransac_line(table, p, m, mk.data(), seed, count, delta, 0.1);
        const quorvane::Line ls = quorvane::ransac_line(scalar, p, m, ms.data(), seed, count, delta, 0.1);
        check(std::memcmp(&lk, &ls, sizeof lk) == 0 && mk == ms, "ransac_line, %s", at.c_str());

        const quorvane::Line2 pk = quorvane::ransac_line2(table, p, m, mk.data(), seed, count, 0.9, delta);
        const quorvane::Line2 pss = quorvane::ransac_line2(scalar, p, m, ms.data(), seed, count, 0.9, delta);
        check(std::memcmp(&pk, &pss, sizeof pk) == 0 && mk == ms, "ransac_line2, %s", at.c_str());

        const quorvane::Circle ck = quorvane::ransac_circle(table, p, m, seed, count, 5, 400, delta);
        const quorvane::Circle cs = quorvane::ransac_circle(scalar, p, m, seed, count, 5, 400, delta);
        check(std::memcmp(&ck, &cs, sizeof ck) == 0, "ransac_circle, %s: (%d %d %d) vs scalar (%d %d %d)", at.c_str(),
              ck.x, ck.y, ck.r, cs.x, cs.y, cs.r);

        for (const int32_t d : {delta, int32_t{0}}) {
            const quorvane::Ellipse ek = quorvane::ransac_ellipse(table, p, m, seed, count, 5, 400, 3.0, d);
            const quorvane::Ellipse es = quorvane::ransac_ellipse(scalar, p, m, seed, count, 5, 400, 3.0, d);
            check(std::memcmp(&ek, &es, sizeof ek) == 0, "ransac_ellipse, delta %d, %s: x %s vs scalar %s", d,
                  at.c_str(), bits(ek.x).c_str(), bits(es.x).c_str());
        }
    }
}

}  // namespace

void fitter_tests(bool quick) {
    for (const Kernels* t : scoring_tables()) {
        std::printf("conics and fitters of %s against scalar\n", t->name);
        Rng r{0xf1770 + static_cast<uint64_t>(std::strlen(t->name))};
        compare_conics(*t, r, quick ? 2000 : 20000);
        compare_fitters(*t, r, quick ? 12 : 60);
    }
}

}  // namespace kt
