// The ellipse fitter's batched conic solve over the primitives of one
// instruction set (kernels/generic.h lists them; QV_TARGET is the set's
// function attribute): conic_fits<I> is the ScoreKernels::conics of
// instruction set I.
#pragma once

#ifndef QV_TARGET
#error "define QV_TARGET before including conic_loop.h"
#endif

#include <cstdint>

#include "ransac/conic.h"

namespace quorvane::detail {
namespace {

/// The conics of up to kConicBatch five-point samples, kDLanes samples at
/// a time, one per lane: every lane runs the operations of
/// points_to_conic (conic.h) in their order, the row swaps of the pivot
/// rule as selections. Entries that are never read again (the columns left
/// of the pivot, the pivot itself once divided) are not computed. A zero
/// pivot or a conic that is no ellipse only clears the lane's bit; its
/// arithmetic goes on, on values nobody reads.
template <class I>
QV_TARGET uint32_t conic_fits(const int32_t (*p)[5][2], int count, ConicFit* out) noexcept {
    using D = typename I::D;
    using DM = typename I::DM;
    constexpr int L = I::kDLanes;
    uint32_t ok = 0;
    for (int g = 0; g < count; g += L) {
        alignas(64) double rows[5][6][L];
        for (int l = 0; l < L; ++l) {
            const int s = g + l < count ? g + l : g;  // spare lanes repeat a sample
            for (int j = 0; j < 5; ++j) {
                double row[6];
                ransac_detail::conic_row(p[s][j][0], p[s][j][1], row);
                for (int c = 0; c < 6; ++c) rows[j][c][l] = row[c];
            }
        }
        D m[5][6];
        for (int j = 0; j < 5; ++j) {
            for (int c = 0; c < 6; ++c) m[j][c] = I::load_dv(rows[j][c]);
        }
        const D zero = I::splat_d(0.0);
        uint32_t bad = 0;
        for (int i = 0; i < 5; ++i) {
            for (int k = i + 1; k < 5; ++k) {
                const D v = m[k][i], cur = m[i][i];
                const DM swap =
                    I::either_d(I::eq_d(cur, zero), I::both_d(I::gt_d(v, cur), I::ne_d(v, zero)));
                for (int j = i; j < 6; ++j) {
                    const D t = m[i][j];
                    m[i][j] = I::select_d(swap, m[k][j], t);
                    m[k][j] = I::select_d(swap, t, m[k][j]);
                }
            }
            bad |= I::bits_d(I::eq_d(m[i][i], zero));
            const D pivot = m[i][i];
            for (int j = i + 1; j < 6; ++j) m[i][j] = I::div_d(m[i][j], pivot);
            for (int k = i + 1; k < 5; ++k) {
                const D f = m[k][i];
                for (int j = i + 1; j < 6; ++j) m[k][j] = I::sub_d(m[k][j], I::mul_d(f, m[i][j]));
            }
        }
        for (int i = 3; i >= 0; --i) {
            for (int j = 4; j > i; --j) m[i][5] = I::sub_d(m[i][5], I::mul_d(m[i][j], m[j][5]));
        }
        const D A = m[0][5], B = m[1][5], C = m[2][5], Dx = m[3][5], E = m[4][5];
        const D two = I::splat_d(2.0);
        const D delta = I::sub_d(I::mul_d(B, B), I::mul_d(I::mul_d(I::splat_d(4.0), A), C));
        bad |= I::bits_d(I::ge_d(delta, zero));
        const D amc = I::sub_d(A, C);
        const D q = I::sqrt_d(I::add_d(I::mul_d(amc, amc), I::mul_d(B, B)));
        const D ae = I::mul_d(I::mul_d(A, E), E), cd = I::mul_d(I::mul_d(C, Dx), Dx);
        const D bd = I::mul_d(I::mul_d(B, Dx), E);
        const D gg = I::mul_d(two, I::sub_d(I::sub_d(I::add_d(ae, cd), bd), delta));
        const D apc = I::add_d(A, C);
        alignas(64) double r[8][L];
        I::store_dv(r[0], I::div_d(I::sub_d(I::mul_d(I::mul_d(two, C), Dx), I::mul_d(B, E)), delta));
        I::store_dv(r[1], I::div_d(I::sub_d(I::mul_d(I::mul_d(two, A), E), I::mul_d(B, Dx)), delta));
        I::store_dv(r[2], I::div_d(I::neg_d(I::sqrt_d(I::mul_d(I::add_d(apc, q), gg))), delta));
        I::store_dv(r[3], I::div_d(I::neg_d(I::sqrt_d(I::mul_d(I::sub_d(apc, q), gg))), delta));
        I::store_dv(r[4], A);
        I::store_dv(r[5], B);
        I::store_dv(r[6], C);
        I::store_dv(r[7], q);
        const int lanes = count - g < L ? count - g : L;
        for (int l = 0; l < lanes; ++l) {
            out[g + l] = {r[0][l], r[1][l], r[2][l], r[3][l], r[4][l], r[5][l], r[6][l], r[7][l]};
        }
        ok |= (~bad & ((1u << lanes) - 1u)) << g;
    }
    return ok;
}

}  // namespace
}  // namespace quorvane::detail
