// The point-list filters on arbitrary point lists, sizes and distances:
// denoise writes exactly denoise_count points and the same ones in place,
// remove_marked keeps exactly the unmarked points in order, in place too.

#include "fuzz_common.h"
#include "points/points.h"

using namespace quorvane;

namespace {

/// Thinned copy by the rules, as a reference: pairs that continue the
/// current segment across a gap below d join it; segments at least d long
/// are kept. Differences wrap in 32 bits.
FUZZ_NO_COVERAGE std::vector<int32_t> reference_denoise(const std::vector<int32_t>& ps, int64_t n, int32_t d) {
    std::vector<int32_t> out;
    if (n < 2) return out;
    auto diff = [](int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); };
    auto keep = [&](int64_t h, int64_t t) {
        const bool along_x = ps[2 * t + 1] == ps[2 * h + 1] && diff(ps[2 * t], ps[2 * h]) >= d;
        const bool along_y = ps[2 * t] == ps[2 * h] && diff(ps[2 * t + 1], ps[2 * h + 1]) >= d;
        if (!along_x && !along_y) return;
        out.insert(out.end(), {ps[2 * h], ps[2 * h + 1], ps[2 * t], ps[2 * t + 1]});
    };
    int64_t head = 0, tail = 1;
    for (int64_t i = 2; i + 1 < n; i += 2) {
        const bool joins = (ps[2 * i + 1] == ps[2 * tail + 1] && diff(ps[2 * i], ps[2 * tail]) < d) ||
                           (ps[2 * i] == ps[2 * tail] && diff(ps[2 * i + 1], ps[2 * tail + 1]) < d);
        if (joins) {
            tail = i + 1;
            continue;
        }
        keep(head, tail);
        head = i, tail = i + 1;
    }
    keep(head, tail);
    return out;
}

void check_denoise(FuzzedDataProvider& in) {
    const int64_t n = in.ConsumeIntegralInRange<int64_t>(0, 300);
    const int32_t d = fuzz::some_int(in, -5, 60);
    const std::vector<int32_t> ps = fuzz::points(in, static_cast<size_t>(n));
    fuzz::Exact<int32_t> src(ps.size(), 0);
    fuzz::copy(src.p, ps.data(), ps.size() * sizeof(int32_t));
    const int64_t count = denoise_count(src.p, n, d);
    FUZZ_CHECK(0 <= count && count <= n && count % 2 == 0);
    fuzz::Exact<int32_t> out(static_cast<size_t>(2 * count), -3);  // exactly the room promised
    FUZZ_CHECK(denoise(src.p, n, out.p, d) == count);
    const std::vector<int32_t> want = reference_denoise(ps, n, d);
    FUZZ_CHECK(want.size() == static_cast<size_t>(2 * count));
    FUZZ_CHECK(fuzz::same(out.p, want.data(), want.size() * sizeof(int32_t)));
    // In place: the same points at the front, the rest of the list as it was.
    FUZZ_CHECK(denoise(src.p, n, src.p, d) == count);
    FUZZ_CHECK(fuzz::same(src.p, want.data(), want.size() * sizeof(int32_t)));
    FUZZ_CHECK(fuzz::same(src.p + 2 * count, ps.data() + 2 * count, (ps.size() - 2 * count) * sizeof(int32_t)));
}

void check_remove(FuzzedDataProvider& in) {
    const int64_t n = in.ConsumeIntegralInRange<int64_t>(0, 300);
    const std::vector<int32_t> ps = fuzz::points(in, static_cast<size_t>(n));
    fuzz::Exact<uint8_t> ms(static_cast<size_t>(n), 0);
    const uint8_t keep = in.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> marks = fuzz::bytes(in, static_cast<size_t>(n), static_cast<size_t>(n));
    std::vector<int32_t> want;
    for (int64_t i = 0; i < n; ++i) {
        ms.p[i] = marks[i] & keep;
        if (ms.p[i] == 0) want.insert(want.end(), {ps[2 * i], ps[2 * i + 1]});
    }
    const int64_t count = count_unmarked(ms.p, n);
    FUZZ_CHECK(want.size() == static_cast<size_t>(2 * count));
    fuzz::Exact<int32_t> src(ps.size(), 0), out(static_cast<size_t>(2 * count), -3);
    fuzz::copy(src.p, ps.data(), ps.size() * sizeof(int32_t));
    FUZZ_CHECK(remove_marked(src.p, n, ms.p, out.p) == count);
    FUZZ_CHECK(fuzz::same(out.p, want.data(), want.size() * sizeof(int32_t)));
    FUZZ_CHECK(remove_marked(src.p, n, ms.p, src.p) == count);
    FUZZ_CHECK(fuzz::same(src.p, want.data(), want.size() * sizeof(int32_t)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        check_denoise(in);
    } else {
        check_remove(in);
    }
    return 0;
}
