// Function bodies of the edge scan and the point-list filters.
#include "buffer_view.h"
#include "convert.h"
#include "functions.h"
#include "glue.h"
#include "points/points.h"

namespace quorvane {
namespace {

/// The filters' check that element (0, 0) of both point lists exists
/// (`in` has rows), raising IndexError with the failing axis.
bool first_elements_exist(const ArrayArg& in, const ArrayArg& out) {
    if (in.extent(1) < 1) return raise_out_of_bounds(1), false;
    if (out.extent(0) < 1) return raise_out_of_bounds(out.extent(1) < 1 ? 1 : 0), false;
    if (out.extent(1) < 1) return raise_out_of_bounds(1), false;
    return true;
}

}  // namespace

PyObject* simple_edge_impl(PyObject* const* args) {
    ArrayArg image, ps;
    int32_t row_count, column_count;
    if (!image.convert(args[0], kByteImage) || !image.pack_bytes()) return nullptr;
    if (!ps.convert(args[1], kPointList) || !ps.pack_points("_ps")) return nullptr;
    if (!to_int32(args[2], row_count) || !to_int32(args[3], column_count)) return nullptr;
    const int64_t n = edge_scan_mask(image.bytes(), image.extent(0), image.extent(1), ps.ints(),
                                     ps.extent(0), row_count, column_count);
    ps.commit();
    return py_int(n);
}

PyObject* simple_edge_hsv_impl(PyObject* const* args) {
    ArrayArg image, ps;
    LchBounds bounds;
    int32_t row_count, column_count;
    if (!image.convert(args[0], kRgbImageU) || !image.pack_rgb("_image")) return nullptr;
    if (!ps.convert(args[1], kPointList) || !ps.pack_points("_ps")) return nullptr;
    if (!to_lch_bounds(args[2], bounds)) return nullptr;
    if (!to_int32(args[3], row_count) || !to_int32(args[4], column_count)) return nullptr;
    const int64_t n = edge_scan_rgb(image.bytes(), image.extent(0), image.extent(1), bounds,
                                    ps.ints(), ps.extent(0), row_count, column_count);
    ps.commit();
    return py_int(n);
}

PyObject* simple_denoise_impl(PyObject* const* args) {
    ArrayArg in, out;
    int32_t min_distance;
    if (!in.convert(args[0], kPointList)) return nullptr;
    if (!out.convert(args[1], kPointList)) return nullptr;
    if (!to_int32(args[2], min_distance)) return nullptr;
    const int64_t n = in.extent(0);
    if (n == 0) return py_int(0);
    if (!first_elements_exist(in, out)) return nullptr;
    if (!in.pack_points("_ps_in") || !out.pack_points("_ps_out")) return nullptr;
    if (out.extent(0) < n) {
        const int64_t need = denoise_count(in.ints(), n, min_distance);
        if (out.extent(0) < need) {
            PyErr_Format(PyExc_ValueError,
                         "_ps_out has room for %lld points but the kept segments need %lld",
                         static_cast<long long>(out.extent(0)), static_cast<long long>(need));
            return nullptr;
        }
    }
    const int64_t j = denoise(in.ints(), n, out.ints(), min_distance);
    out.commit();
    return py_int(j);
}

PyObject* remove_inliers_impl(PyObject* const* args) {
    ArrayArg in, out, ms;
    if (!in.convert(args[0], kPointList)) return nullptr;
    if (!out.convert(args[1], kPointList)) return nullptr;
    if (!ms.convert(args[2], kPointMask)) return nullptr;
    if (ms.extent(0) < 1) return raise_out_of_bounds(0);
    const int64_t n = in.extent(0);
    if (n == 0) return py_int(0);
    if (!first_elements_exist(in, out)) return nullptr;
    if (!in.pack_points("_ps_in") || !out.pack_points("_ps_out")) return nullptr;
    ms.pack_mask();
    if (ms.extent(0) < n) {
        PyErr_Format(PyExc_ValueError, "_ms has %lld entries but _ps_in has %lld points",
                     static_cast<long long>(ms.extent(0)), static_cast<long long>(n));
        return nullptr;
    }
    const int64_t keep = count_unmarked(ms.bytes(), n);
    if (out.extent(0) < keep) {
        PyErr_Format(PyExc_ValueError, "_ps_out has room for %lld points but %lld are kept",
                     static_cast<long long>(out.extent(0)), static_cast<long long>(keep));
        return nullptr;
    }
    const int64_t j = remove_marked(in.ints(), n, ms.bytes(), out.ints());
    out.commit();
    return py_int(j);
}

}  // namespace quorvane
