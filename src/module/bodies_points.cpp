// Bodies of the edge scans and the point-list filters.
#include "bodies.h"
#include "error.h"
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

PyObject* simple_edge(ModuleState&, CallArgs& a) {
    ArrayArg &image = a.array[0], &ps = a.array[1];
    const int64_t n = edge_scan_mask(image.bytes(), image.extent(0), image.extent(1), ps.ints(),
                                     ps.extent(0), a.int32[2], a.int32[3]);
    ps.commit();
    return count_result(n);
}

PyObject* simple_edge_hsv(ModuleState&, CallArgs& a) {
    ArrayArg &image = a.array[0], &ps = a.array[1];
    const int64_t n = edge_scan_rgb(image.bytes(), image.extent(0), image.extent(1), a.bounds,
                                    ps.ints(), ps.extent(0), a.int32[3], a.int32[4]);
    ps.commit();
    return count_result(n);
}

PyObject* simple_denoise(ModuleState&, CallArgs& a) {
    ArrayArg &in = a.array[0], &out = a.array[1];
    const int32_t min_distance = a.int32[2];
    const int64_t n = in.extent(0);
    if (n == 0) return count_result(0);
    if (!first_elements_exist_and_pack(in, out)) return nullptr;
    if (out.extent(0) < n) {
        const int64_t need = denoise_count(in.ints(), n, min_distance);
        if (out.extent(0) < need) {
            fail(PyExc_ValueError, msg::kShortDenoiseOutput, static_cast<long long>(out.extent(0)),
                 static_cast<long long>(need));
            return nullptr;
        }
    }
    const int64_t written = denoise(in.ints(), n, out.ints(), min_distance);
    out.commit();
    return count_result(written);
}

PyObject* remove_inliers(ModuleState&, CallArgs& a) {
    ArrayArg &in = a.array[0], &out = a.array[1], &ms = a.array[2];
    if (ms.extent(0) < 1) {
        raise_out_of_bounds(0);
        return nullptr;
    }
    const int64_t n = in.extent(0);
    if (n == 0) return count_result(0);
    if (!first_elements_exist_and_pack(in, out)) return nullptr;
    if (ms.extent(0) < n) {
        fail(PyExc_ValueError, msg::kShortMask, "_ms", static_cast<long long>(ms.extent(0)), "_ps_in",
             static_cast<long long>(n));
        return nullptr;
    }
    const int64_t keep = count_unmarked(ms.bytes(), n);
    if (out.extent(0) < keep) {
        fail(PyExc_ValueError, msg::kShortFilterOutput, static_cast<long long>(out.extent(0)),
             static_cast<long long>(keep));
        return nullptr;
    }
    const int64_t written = remove_marked(in.ints(), n, ms.bytes(), out.ints());
    out.commit();
    return count_result(written);
}

}  // namespace quorvane::body
