// Function bodies of the RANSAC fitters: conversion, the one rand() draw
// per call, and result dicts.
#include <cstdlib>

#include "buffer_view.h"
#include "convert.h"
#include "functions.h"
#include "glue.h"
#include "ransac/ransac.h"

namespace quorvane {
namespace {

PyObject* line_dict(const Line& l) {
    return Py_BuildValue("{s:i,s:i,s:i,s:i}", "px", l.px, "py", l.py, "nx", l.nx, "ny", l.ny);
}

/// The single draw from the C library generator that seeds one call.
uint32_t draw_seed() { return static_cast<uint32_t>(std::rand()); }

/// `_ps` and `_ms` of the line fitters, converted in that order.
bool points_and_mask(PyObject* const* args, ArrayArg& ps, ArrayArg& ms) {
    if (!ps.convert(args[0], kPointList) || !ps.pack_points("_ps")) return false;
    if (!ms.convert(args[1], kPointMask)) return false;
    ms.pack_mask();
    return true;
}

/// The mask has a byte for every point (checked after all conversions).
bool mask_covers(const ArrayArg& ms, int64_t n) {
    if (ms.extent(0) >= n) return true;
    PyErr_Format(PyExc_ValueError, "_ms has %lld entries but _ps has %lld points",
                 static_cast<long long>(ms.extent(0)), static_cast<long long>(n));
    return false;
}

}  // namespace

PyObject* ransac_circle_impl(PyObject* const* args) {
    ArrayArg ps;
    int32_t count, min_r, max_r, delta;
    if (!ps.convert(args[0], kPointList) || !ps.pack_points("_ps")) return nullptr;
    if (!to_int32(args[1], count) || !to_int32(args[2], min_r) || !to_int32(args[3], max_r) ||
        !to_int32(args[4], delta)) {
        return nullptr;
    }
    const Circle c = ransac_circle(ps.ints(), ps.extent(0), draw_seed(), count, min_r, max_r, delta);
    return Py_BuildValue("{s:i,s:i,s:i}", "x", c.x, "y", c.y, "r", c.r);
}

PyObject* ransac_ellipse_impl(PyObject* const* args) {
    ArrayArg ps;
    int32_t count, min_r, max_r, delta;
    double ratio;
    if (!ps.convert(args[0], kPointList) || !ps.pack_points("_ps")) return nullptr;
    if (!to_int32(args[1], count) || !to_int32(args[2], min_r) || !to_int32(args[3], max_r) ||
        !to_double(args[4], ratio) || !to_int32(args[5], delta)) {
        return nullptr;
    }
    const Ellipse e = ransac_ellipse(ps.ints(), ps.extent(0), draw_seed(), count, min_r, max_r,
                                     ratio, delta);
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "x", e.x, "y", e.y, "a", e.a, "b", e.b, "theta",
                         e.theta);
}

PyObject* ransac_line_impl(PyObject* const* args) {
    ArrayArg ps, ms;
    int32_t count, delta;
    double slope_limit;
    if (!points_and_mask(args, ps, ms)) return nullptr;
    if (!to_int32(args[2], count) || !to_int32(args[3], delta) || !to_double(args[4], slope_limit)) {
        return nullptr;
    }
    const int64_t n = ps.extent(0);
    if (!mask_covers(ms, n)) return nullptr;
    const Line l = ransac_line(ps.ints(), n, ms.bytes(), draw_seed(), count, delta, slope_limit);
    return line_dict(l);
}

PyObject* ransac_line2_impl(PyObject* const* args) {
    ArrayArg ps, ms;
    int32_t count, delta;
    double ratio;
    if (!points_and_mask(args, ps, ms)) return nullptr;
    if (!to_int32(args[2], count) || !to_double(args[3], ratio) || !to_int32(args[4], delta)) {
        return nullptr;
    }
    const int64_t n = ps.extent(0);
    if (!mask_covers(ms, n)) return nullptr;
    const Line2 l = ransac_line2(ps.ints(), n, ms.bytes(), draw_seed(), count, ratio, delta);
    PyObject* d1 = line_dict(l.l1);
    if (d1 == nullptr) return nullptr;
    PyObject* d2 = line_dict(l.l2);
    if (d2 == nullptr) {
        Py_DECREF(d1);
        return nullptr;
    }
    return Py_BuildValue("(NN)", d1, d2);
}

}  // namespace quorvane
