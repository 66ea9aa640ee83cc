// quorvane_tools._native's region helpers: labelling, seeded growth,
// gradients, intensity masks, outlines, hulls, polar paths and edge masks
// (the kernels are regions.cpp's and outlines.cpp's).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tools/native_args.h"
#include "tools/regions.h"

namespace quorvane::tools::native {


/// label(mask, out, connectivity) -> (count, stats): stats is bytes of
/// count x 5 int32 (area, x0, y0, x1, y1; the box is [x0, x1) x [y0, y1)).
/// `out` may be None when only the stats are wanted.
PyObject* py_label(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("label", nargs, 3)) return nullptr;
    View mask, out;
    if (!mask.get(args[0], 2, 1, false, "mask")) return nullptr;
    const bool want_out = args[1] != Py_None;
    if (want_out && (!out.get(args[1], 2, 4, true, "out") || !same_plane(mask, out, "out"))) return nullptr;
    const long conn = PyLong_AsLong(args[2]);
    if (conn == -1 && PyErr_Occurred()) return nullptr;
    if (conn != 4 && conn != 8) {
        PyErr_SetString(PyExc_ValueError, "connectivity must be 4 or 8");
        return nullptr;
    }
    const int64_t rows = mask.dim(0), cols = mask.dim(1);
    int64_t n_runs = 0;
    Py_BEGIN_ALLOW_THREADS n_runs = count_runs(mask.data<uint8_t>(), rows, cols);
    Py_END_ALLOW_THREADS
    std::unique_ptr<Run[]> runs(new (std::nothrow) Run[n_runs + 1]);
    std::unique_ptr<int32_t[]> parent(new (std::nothrow) int32_t[n_runs + 1]);
    if (!runs || !parent) return PyErr_NoMemory();
    int32_t count = 0;
    Py_BEGIN_ALLOW_THREADS count = label(mask.data<uint8_t>(), rows, cols, static_cast<int>(conn),
                                         want_out ? out.data<int32_t>() : nullptr, runs.get(), parent.get());
    Py_END_ALLOW_THREADS
    PyObject* stats = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count) * 5 * 4);
    if (stats == nullptr) return nullptr;
    auto* s = reinterpret_cast<int32_t*>(PyBytes_AS_STRING(stats));
    for (int32_t k = 0; k < count; ++k) {
        int32_t* row = s + 5 * k;
        row[0] = 0;
        row[1] = row[2] = INT32_MAX;
        row[3] = row[4] = INT32_MIN;
    }
    for (int64_t k = 0; k < n_runs; ++k) {
        const Run& r = runs[k];
        int32_t* row = s + 5 * (r.label - 1);
        row[0] += r.x1 - r.x0;
        row[1] = std::min(row[1], r.x0);
        row[2] = std::min(row[2], r.y);
        row[3] = std::max(row[3], r.x1);
        row[4] = std::max(row[4], r.y + 1);
    }
    return Py_BuildValue("(iN)", count, stats);
}

/// flood(cost, seeds, allowed, out): minimax growth levels (uint8 planes).
PyObject* py_flood(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("flood", nargs, 4)) return nullptr;
    View cost, seeds, allowed, out;
    if (!cost.get(args[0], 2, 1, false, "cost")) return nullptr;
    if (!seeds.get(args[1], 2, 1, false, "seeds") || !same_plane(cost, seeds, "seeds")) return nullptr;
    const bool has_allowed = args[2] != Py_None;
    if (has_allowed && (!allowed.get(args[2], 2, 1, false, "allowed") || !same_plane(cost, allowed, "allowed")))
        return nullptr;
    if (!out.get(args[3], 2, 1, true, "out") || !same_plane(cost, out, "out")) return nullptr;
    const int64_t rows = cost.dim(0), cols = cost.dim(1);
    if (rows * cols > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "flood: at most 2**31 - 1 pixels");
        return nullptr;
    }
    std::unique_ptr<int32_t[]> next(new (std::nothrow) int32_t[rows * cols + 1]);
    if (!next) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS flood(cost.data<uint8_t>(), seeds.data<uint8_t>(),
                                 has_allowed ? allowed.data<uint8_t>() : nullptr, rows, cols, out.data<uint8_t>(),
                                 next.get());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}


/// gradient(image, out): colour Sobel magnitude into a uint8 plane.
PyObject* py_gradient(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("gradient", nargs, 2)) return nullptr;
    View image, out;
    if (!image_view(image, args[0])) return nullptr;
    if (!out.get(args[1], 2, 1, true, "out") || !same_plane(image, out, "out")) return nullptr;
    Py_BEGIN_ALLOW_THREADS gradient(image.data<uint8_t>(), image.dim(0), image.dim(1), static_cast<int>(image.dim(2)),
                                    out.data<uint8_t>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/// intensity_mask(image, lo, hi, out) -> count: lo <= R + G + B <= hi.
PyObject* py_intensity_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("intensity_mask", nargs, 4)) return nullptr;
    View image, out;
    if (!image_view(image, args[0])) return nullptr;
    const long lo = PyLong_AsLong(args[1]);
    if (lo == -1 && PyErr_Occurred()) return nullptr;
    const long hi = PyLong_AsLong(args[2]);
    if (hi == -1 && PyErr_Occurred()) return nullptr;
    if (!out.get(args[3], 2, 1, true, "out") || !same_plane(image, out, "out")) return nullptr;
    const int32_t l = static_cast<int32_t>(std::max(-1L, std::min(lo, 1000L)));
    const int32_t h = static_cast<int32_t>(std::max(-1L, std::min(hi, 1000L)));
    int64_t count = 0;
    Py_BEGIN_ALLOW_THREADS count = intensity_mask(image.data<uint8_t>(), image.dim(0), image.dim(1),
                                                  static_cast<int>(image.dim(2)), l, h, out.data<uint8_t>());
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(count);
}

/// outline(mask, x0, y0, x1, y1, a, b, c, band) -> bytes of int32 pairs
/// (2x + dx, 2y + dy): the mask's outline points in the rectangle (and, with
/// band >= 0, within the band |a x + b y + c| <= band).
PyObject* py_outline(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("outline", nargs, 9)) return nullptr;
    View mask;
    if (!mask.get(args[0], 2, 1, false, "mask")) return nullptr;
    int64_t rect[4];
    for (int k = 0; k < 4; ++k) {
        rect[k] = PyLong_AsLongLong(args[1 + k]);
        if (rect[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    double line[4];
    for (int k = 0; k < 4; ++k) {
        line[k] = PyFloat_AsDouble(args[5 + k]);
        if (line[k] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    const int64_t rows = mask.dim(0), cols = mask.dim(1);
    int64_t capacity = 4096, n = 0;
    std::unique_ptr<int32_t[]> buf;
    for (;;) {
        buf.reset(new (std::nothrow) int32_t[2 * capacity]);
        if (!buf) return PyErr_NoMemory();
        Py_BEGIN_ALLOW_THREADS n = outline(mask.data<uint8_t>(), rows, cols, rect[0], rect[1], rect[2], rect[3], line[0],
                                           line[1], line[2], line[3], buf.get(), capacity);
        Py_END_ALLOW_THREADS
        if (n <= capacity) break;
        capacity = n;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.get()), static_cast<Py_ssize_t>(n) * 8);
}

/// mask_hull(mask) -> bytes of int32 (x, y) pairs: the convex hull of the
/// mask's pixel centres.
PyObject* py_mask_hull(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("mask_hull", nargs, 1)) return nullptr;
    View mask;
    if (!mask.get(args[0], 2, 1, false, "mask")) return nullptr;
    const int64_t rows = mask.dim(0), cols = mask.dim(1);
    std::unique_ptr<int32_t[]> out(new (std::nothrow) int32_t[4 * rows + 4]);
    std::unique_ptr<int32_t[]> scratch(new (std::nothrow) int32_t[4 * rows + 4]);
    if (!out || !scratch) return PyErr_NoMemory();
    int64_t n = 0;
    Py_BEGIN_ALLOW_THREADS n = mask_hull(mask.data<uint8_t>(), rows, cols, out.get(), scratch.get());
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.get()), static_cast<Py_ssize_t>(n) * 8);
}

/// fill_convex(poly, out): poly a C-contiguous (n, 2) float64 array.
PyObject* py_fill_convex(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("fill_convex", nargs, 2)) return nullptr;
    View poly, out;
    if (!poly.get(args[0], 2, 8, false, "poly")) return nullptr;
    if (poly.dim(1) != 2) {
        PyErr_SetString(PyExc_ValueError, "poly: expected (n, 2) vertices");
        return nullptr;
    }
    if (!out.get(args[1], 2, 1, true, "out")) return nullptr;
    Py_BEGIN_ALLOW_THREADS fill_convex(poly.data<double>(), poly.dim(0), out.dim(0), out.dim(1), out.data<uint8_t>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/// polar_path(cost, reach, step_cost, path): cost a C-contiguous (angles,
/// radii) float32 array, path an int32 array of `angles` elements.
PyObject* py_polar_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("polar_path", nargs, 4)) return nullptr;
    View cost, path;
    if (!cost.get(args[0], 2, 4, false, "cost")) return nullptr;
    const long long reach = PyLong_AsLongLong(args[1]);
    if (reach == -1 && PyErr_Occurred()) return nullptr;
    const double step_cost = PyFloat_AsDouble(args[2]);
    if (step_cost == -1.0 && PyErr_Occurred()) return nullptr;
    if (!path.get(args[3], 1, 4, true, "path")) return nullptr;
    const int64_t angles = cost.dim(0), radii = cost.dim(1);
    if (path.dim(0) != angles || angles < 1 || radii < 1) {
        PyErr_SetString(PyExc_ValueError, "polar_path: path needs one element per angle");
        return nullptr;
    }
    std::unique_ptr<float[]> acc(new (std::nothrow) float[2 * radii]);
    std::unique_ptr<int32_t[]> back(new (std::nothrow) int32_t[2 * angles * radii]);
    if (!acc || !back) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS polar_path(cost.data<float>(), angles, radii, std::max<long long>(0, reach),
                                      static_cast<float>(step_cost), acc.get(), back.get(), path.data<int32_t>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/// edge_mask(image, threshold, out): thin edges of an RGB(A) image.
PyObject* py_edge_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("edge_mask", nargs, 3)) return nullptr;
    View image, out;
    if (!image_view(image, args[0])) return nullptr;
    const long threshold = PyLong_AsLong(args[1]);
    if (threshold == -1 && PyErr_Occurred()) return nullptr;
    if (!out.get(args[2], 2, 1, true, "out") || !same_plane(image, out, "out")) return nullptr;
    const int64_t rows = image.dim(0), cols = image.dim(1);
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[2 * rows * cols + 1]);
    if (!scratch) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS edge_mask(image.data<uint8_t>(), rows, cols, static_cast<int>(image.dim(2)),
                                     static_cast<int>(std::max(0L, std::min(threshold, 256L))), out.data<uint8_t>(),
                                     scratch.get(), scratch.get() + rows * cols);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace quorvane::tools::native
