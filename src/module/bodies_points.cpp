// Bodies of the edge scans and the point-list filters.
#include "bodies.h"
#include "error.h"
#include "kernels/kernels.h"
#include "messages.h"
#include "points/points.h"

namespace quorvane::body {
namespace {

bool raise_out_of_bounds(int axis) { return fail(PyExc_IndexError, msg::kOutOfBounds, axis); }

/// The filters' check that element (0, 0) of both point lists exists
/// (`in` has rows), raising IndexError with the failing axis; then both
/// lists are checked and packed.
bool first_elements_exist_and_pack(ArrayArg& in, ArrayArg& out) {
    if (in.extent(1) < 1) return raise_out_of_bounds(1);
    if (out.extent(0) < 1) return raise_out_of_bounds(out.extent(1) < 1 ? 1 : 0);
    if (out.extent(1) < 1) return raise_out_of_bounds(1);
    return in.pack_points("_ps_in") && out.pack_points("_ps_out");
}

}  // namespace

PyObject* simple_edge(ModuleState& state, ByteImage& _image, PointList& _ps, int32_t row_count,
                      int32_t column_count) {
    const int64_t n = state.kernels->scan.mask(_image.bytes(), _image.extent(0), _image.extent(1), _ps.ints(),
                                               _ps.extent(0), row_count, column_count);
    _ps.commit();
    return count_result(n);
}

PyObject* simple_edge_hsv(ModuleState& state, RgbImageUchar& _image, PointList& _ps, const LchBounds& bounds,
                          int32_t row_count, int32_t column_count) {
    const int64_t n = state.kernels->scan.rgb(_image.bytes(), _image.extent(0), _image.extent(1), bounds,
                                              _ps.ints(), _ps.extent(0), row_count, column_count);
    _ps.commit();
    return count_result(n);
}

PyObject* simple_denoise(ModuleState&, PointListView& _ps_in, PointListView& _ps_out, int32_t min_distance) {
    const int64_t n = _ps_in.extent(0);
    if (n == 0) return count_result(0);
    if (!first_elements_exist_and_pack(_ps_in, _ps_out)) return nullptr;
    if (_ps_out.extent(0) < n) {
        const int64_t need = denoise_count(_ps_in.ints(), n, min_distance);
        if (_ps_out.extent(0) < need) {
            fail(PyExc_ValueError, msg::kShortDenoiseOutput, static_cast<long long>(_ps_out.extent(0)),
                 static_cast<long long>(need));
            return nullptr;
        }
    }
    const int64_t written = denoise(_ps_in.ints(), n, _ps_out.ints(), min_distance);
    _ps_out.commit();
    return count_result(written);
}

PyObject* remove_inliers(ModuleState&, PointListView& _ps_in, PointListView& _ps_out, PointMask& _ms) {
    if (_ms.extent(0) < 1) {
        raise_out_of_bounds(0);
        return nullptr;
    }
    const int64_t n = _ps_in.extent(0);
    if (n == 0) return count_result(0);
    if (!first_elements_exist_and_pack(_ps_in, _ps_out)) return nullptr;
    if (_ms.extent(0) < n) {
        fail(PyExc_ValueError, msg::kShortMask, "_ms", static_cast<long long>(_ms.extent(0)), "_ps_in",
             static_cast<long long>(n));
        return nullptr;
    }
    const int64_t keep = count_unmarked(_ms.bytes(), n);
    if (_ps_out.extent(0) < keep) {
        fail(PyExc_ValueError, msg::kShortFilterOutput, static_cast<long long>(_ps_out.extent(0)),
             static_cast<long long>(keep));
        return nullptr;
    }
    const int64_t written = remove_marked(_ps_in.ints(), n, _ms.bytes(), _ps_out.ints());
    _ps_out.commit();
    return count_result(written);
}

}  // namespace quorvane::body
