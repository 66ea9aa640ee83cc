// The four RANSAC fitters (with the kernel table chosen for this CPU) on
// arbitrary point lists, sizes, sample counts, radii, ratios and deltas: no
// read past the list, the point mask written in full with 0/1 and nowhere
// else, the list left unchanged, and the same result (bit for bit) from
// the same input.

#include "fuzz_common.h"
#include "ransac/ransac.h"

using namespace quorvane;

namespace {

struct Outcome {
    uint8_t record[64];  // the returned model's bytes
    std::vector<uint8_t> ms;
};

template <class Model>
void keep(Outcome& o, const Model& m) {
    static_assert(sizeof(Model) <= sizeof(o.record));
    std::memset(o.record, 0, sizeof(o.record));
    std::memcpy(o.record, &m, sizeof m);
}

/// The table the module would choose here.
const Kernels& chosen() {
    static const Kernels* k = choose_kernels().kernels;
    return k != nullptr ? *k : kernels_scalar();
}

Outcome fit(int which, const int32_t* ps, int64_t n, uint32_t seed, int32_t count, int32_t delta,
            int32_t min_r, int32_t max_r, double real) {
    Outcome o;
    fuzz::Exact<uint8_t> ms(static_cast<size_t>(n), 0xaa);
    switch (which) {
        case 0: keep(o, ransac_line(chosen(), ps, n, ms.p, seed, count, delta, real)); break;
        case 1: keep(o, ransac_line2(chosen(), ps, n, ms.p, seed, count, real, delta)); break;
        case 2: keep(o, ransac_circle(chosen(), ps, n, seed, count, min_r, max_r, delta)); break;
        default: keep(o, ransac_ellipse(chosen(), ps, n, seed, count, min_r, max_r, real, delta)); break;
    }
    o.ms.assign(ms.p, ms.p + n);
    if (which <= 1) {
        for (uint8_t m : o.ms) FUZZ_CHECK(m == 0 || m == 1);
    } else {
        for (uint8_t m : o.ms) FUZZ_CHECK(m == 0xaa);
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange<int>(0, 3);
    const int64_t n = in.ConsumeIntegralInRange<int64_t>(0, in.ConsumeBool() ? 8 : 96);
    const int32_t count = in.ConsumeIntegralInRange<int32_t>(0, 9) == 0 ? fuzz::some_int(in, -3, 3)
                                                                        : in.ConsumeIntegralInRange<int32_t>(-2, 80);
    const int32_t delta = fuzz::some_int(in, -2, 12);
    const int32_t min_r = fuzz::some_int(in, -5, 150), max_r = fuzz::some_int(in, -5, 300);
    const double real = fuzz::some_double(in);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const std::vector<int32_t> pts = fuzz::points(in, static_cast<size_t>(n));
    // Bounded work per input: long sample loops only on short lists.
    const int32_t samples = count > 0 && static_cast<int64_t>(count) * n > 20000 ? count % 97 : count;

    fuzz::Exact<int32_t> ps(pts.size(), 0);
    fuzz::copy(ps.p, pts.data(), pts.size() * sizeof(int32_t));
    const Outcome a = fit(which, ps.p, n, seed, samples, delta, min_r, max_r, real);
    FUZZ_CHECK(fuzz::same(ps.p, pts.data(), pts.size() * sizeof(int32_t)));
    const Outcome b = fit(which, ps.p, n, seed, samples, delta, min_r, max_r, real);
    FUZZ_CHECK(std::memcmp(a.record, b.record, sizeof a.record) == 0);
    FUZZ_CHECK(a.ms == b.ms);
    return 0;
}
