// quorvane_tools._native: the companion tools' private helpers over NumPy
// arrays (labelling, seeded growth, gradients, intensity masks). The Python
// side makes every array (C order, the right dtype); this layer checks
// shapes, releases the interpreter lock around the kernels and raises
// ValueError on a mismatch.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tools/fit.h"
#include "tools/regions.h"
#include "tools/yuv.h"

namespace {

using namespace quorvane::tools;

/// A C-contiguous buffer held for one call, released on every exit path.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }

    /// False with ValueError/TypeError set when `obj` is not a C-contiguous
    /// array of `ndim` dimensions and `itemsize`-byte elements.
    bool get(PyObject* obj, int ndim, Py_ssize_t itemsize, bool writable, const char* name) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        if (view_.ndim != ndim || view_.itemsize != itemsize) {
            PyErr_Format(PyExc_ValueError, "%s: expected %d dimensions of %zd-byte elements, got %d of %zd", name,
                         ndim, itemsize, view_.ndim, view_.itemsize);
            return false;
        }
        return true;
    }

    int64_t dim(int d) const noexcept { return view_.shape[d]; }
    template <class T>
    T* data() const noexcept {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool same_plane(const View& a, const View& b, const char* name) {
    if (a.dim(0) != b.dim(0) || a.dim(1) != b.dim(1)) {
        PyErr_Format(PyExc_ValueError, "%s: shape (%lld, %lld) differs from the image's (%lld, %lld)", name,
                     static_cast<long long>(b.dim(0)), static_cast<long long>(b.dim(1)),
                     static_cast<long long>(a.dim(0)), static_cast<long long>(a.dim(1)));
        return false;
    }
    return true;
}

bool arity(const char* fn, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", fn, want, nargs);
        return false;
    }
    return true;
}

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

bool image_view(View& v, PyObject* obj) {
    if (!v.get(obj, 3, 1, false, "image")) return false;
    if (v.dim(2) != 3 && v.dim(2) != 4) {
        PyErr_Format(PyExc_ValueError, "image: expected 3 or 4 channels, got %lld", static_cast<long long>(v.dim(2)));
        return false;
    }
    return true;
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

/// refine_fit(kind, pts, params, band, rounds, inside) -> count: kind 0 line, 1 circle,
/// 2 ellipse; pts a C-contiguous (n, 2) float64 array; params a float64 array
/// refined in place; inside a uint8 array of n bytes (the final band's points).
PyObject* py_refine_fit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("refine_fit", nargs, 6)) return nullptr;
    const long kind = PyLong_AsLong(args[0]);
    if (kind == -1 && PyErr_Occurred()) return nullptr;
    if (kind < 0 || kind > 2) {
        PyErr_SetString(PyExc_ValueError, "refine_fit: kind must be 0, 1 or 2");
        return nullptr;
    }
    const auto k = static_cast<FitKind>(kind);
    View pts, params, inside;
    if (!pts.get(args[1], 2, 8, false, "pts")) return nullptr;
    if (!params.get(args[2], 1, 8, true, "params")) return nullptr;
    const double band = PyFloat_AsDouble(args[3]);
    if (band == -1.0 && PyErr_Occurred()) return nullptr;
    const long rounds = PyLong_AsLong(args[4]);
    if (rounds == -1 && PyErr_Occurred()) return nullptr;
    if (!inside.get(args[5], 1, 1, true, "inside")) return nullptr;
    if (pts.dim(1) != 2 || params.dim(0) != fit_params(k) || inside.dim(0) != pts.dim(0)) {
        PyErr_SetString(PyExc_ValueError, "refine_fit: pts (n, 2), params of the kind, inside of n bytes");
        return nullptr;
    }
    int64_t n = 0;
    Py_BEGIN_ALLOW_THREADS n = refine_fit(k, pts.data<double>(), pts.dim(0), band, static_cast<int>(rounds),
                                          params.data<double>(), inside.data<uint8_t>());
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(n);
}

/// coverage(kind, pts, params, band, rows, cols, samples, gap) -> float.
PyObject* py_coverage(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("coverage", nargs, 8)) return nullptr;
    const long kind = PyLong_AsLong(args[0]);
    if (kind == -1 && PyErr_Occurred()) return nullptr;
    if (kind < 0 || kind > 2) {
        PyErr_SetString(PyExc_ValueError, "coverage: kind must be 0, 1 or 2");
        return nullptr;
    }
    const auto k = static_cast<FitKind>(kind);
    View pts, params;
    if (!pts.get(args[1], 2, 8, false, "pts")) return nullptr;
    if (!params.get(args[2], 1, 8, false, "params")) return nullptr;
    double num[5];
    for (int i = 0; i < 5; ++i) {
        num[i] = PyFloat_AsDouble(args[3 + i]);
        if (num[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    if (pts.dim(1) != 2 || params.dim(0) != fit_params(k)) {
        PyErr_SetString(PyExc_ValueError, "coverage: pts (n, 2) and params of the kind");
        return nullptr;
    }
    const int64_t samples = std::max<int64_t>(0, std::min<int64_t>(static_cast<int64_t>(num[3]), 1 << 20));
    const int64_t n = pts.dim(0);
    std::unique_ptr<double[]> scratch(new (std::nothrow) double[std::max<int64_t>(samples, n) + 1]);
    if (!scratch) return PyErr_NoMemory();
    double out = 0;
    Py_BEGIN_ALLOW_THREADS out = fit_coverage(k, params.data<double>(), pts.data<double>(), n, num[0],
                                              static_cast<int64_t>(num[1]), static_cast<int64_t>(num[2]), samples,
                                              num[4], scratch.get());
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(out);
}

/// outline_ring(mask, x0, y0, a, b, theta, band) -> bytes of int32 pairs.
PyObject* py_outline_ring(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("outline_ring", nargs, 7)) return nullptr;
    View mask;
    if (!mask.get(args[0], 2, 1, false, "mask")) return nullptr;
    double v[6];
    for (int k = 0; k < 6; ++k) {
        v[k] = PyFloat_AsDouble(args[1 + k]);
        if (v[k] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    const int64_t rows = mask.dim(0), cols = mask.dim(1);
    int64_t capacity = 4096, n = 0;
    std::unique_ptr<int32_t[]> buf;
    for (;;) {
        buf.reset(new (std::nothrow) int32_t[2 * capacity]);
        if (!buf) return PyErr_NoMemory();
        Py_BEGIN_ALLOW_THREADS n = outline_ring(mask.data<uint8_t>(), rows, cols, v[0], v[1], v[2], v[3], v[4], v[5],
                                                buf.get(), capacity);
        Py_END_ALLOW_THREADS
        if (n <= capacity) break;
        capacity = n;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.get()), static_cast<Py_ssize_t>(n) * 8);
}

/// bilinear(image, xy, out): xy a C-contiguous (n, 2) float64 array, out an (n, channels)
/// float32 array.
PyObject* py_bilinear(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("bilinear", nargs, 3)) return nullptr;
    View image, xy, out;
    if (!image.get(args[0], 3, 1, false, "image")) return nullptr;
    if (!xy.get(args[1], 2, 8, false, "xy")) return nullptr;
    if (!out.get(args[2], 2, 4, true, "out")) return nullptr;
    if (xy.dim(1) != 2 || out.dim(0) != xy.dim(0) || out.dim(1) != image.dim(2) || image.dim(0) < 1 ||
        image.dim(1) < 1) {
        PyErr_SetString(PyExc_ValueError, "bilinear: xy (n, 2), out (n, channels), a non-empty image");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS bilinear(image.data<uint8_t>(), image.dim(0), image.dim(1), static_cast<int>(image.dim(2)),
                                    xy.data<double>(), xy.dim(0), out.data<float>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/// A buffer of bytes held for one call (any layout the exporter gives: a
/// strided array, a video plane), released on every exit path.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool get(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }

    Py_buffer view_{};

private:
    bool held_ = false;
};

int64_t whole_arg(PyObject* obj, const char* name, bool* ok) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        *ok = false;
        return 0;
    }
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "rgb_to_yuv420: %s must not be negative", name);
        *ok = false;
    }
    return v;
}

/// rgb_to_yuv420(rgb, width, height, y, y_stride, u, u_stride, v, v_stride):
/// rgb a (rows, columns, 3 or 4) uint8 array whose pixels and channels are
/// packed (rows may be padded); y, u, v writable byte buffers (a video
/// frame's planes) of rows `*_stride` bytes; width and height even.
PyObject* py_rgb_to_yuv420(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("rgb_to_yuv420", nargs, 9)) return nullptr;
    Bytes rgb, planes[3];
    if (!rgb.get(args[0], PyBUF_RECORDS_RO)) return nullptr;
    const Py_buffer& r = rgb.view_;
    if (r.ndim != 3 || r.itemsize != 1 || (r.shape[2] != 3 && r.shape[2] != 4) || r.strides[2] != 1 ||
        r.strides[1] != r.shape[2] || r.strides[0] < r.shape[1] * r.shape[2]) {
        PyErr_SetString(PyExc_ValueError,
                        "rgb_to_yuv420: rgb must be (rows, columns, 3 or 4) bytes with packed pixels");
        return nullptr;
    }
    bool ok = true;
    const int64_t width = whole_arg(args[1], "width", &ok);
    if (!ok) return nullptr;
    const int64_t height = whole_arg(args[2], "height", &ok);
    if (!ok) return nullptr;
    if (width < 2 || height < 2 || width % 2 || height % 2 || width > r.shape[1] || height > r.shape[0]) {
        PyErr_Format(PyExc_ValueError,
                     "rgb_to_yuv420: width and height must be even, at least 2 and within the picture's "
                     "%zd x %zd",
                     r.shape[1], r.shape[0]);
        return nullptr;
    }
    int64_t strides[3];
    const int64_t plane_cols[3] = {width, width / 2, width / 2};
    const int64_t plane_rows[3] = {height, height / 2, height / 2};
    for (int k = 0; k < 3; ++k) {
        if (!planes[k].get(args[3 + 2 * k], PyBUF_WRITABLE)) return nullptr;
        strides[k] = whole_arg(args[4 + 2 * k], "a stride", &ok);
        if (!ok) return nullptr;
        if (strides[k] < plane_cols[k] || planes[k].view_.len < strides[k] * (plane_rows[k] - 1) + plane_cols[k]) {
            PyErr_Format(PyExc_ValueError, "rgb_to_yuv420: plane %d holds %zd bytes, too few for %lld rows of %lld",
                         k, planes[k].view_.len, static_cast<long long>(plane_rows[k]),
                         static_cast<long long>(strides[k]));
            return nullptr;
        }
    }
    const auto* src = static_cast<const uint8_t*>(r.buf);
    auto* y = static_cast<uint8_t*>(planes[0].view_.buf);
    auto* u = static_cast<uint8_t*>(planes[1].view_.buf);
    auto* v = static_cast<uint8_t*>(planes[2].view_.buf);
    const int64_t rgb_stride = r.strides[0];
    const int channels = static_cast<int>(r.shape[2]);
    Py_BEGIN_ALLOW_THREADS rgb_to_yuv420(src, rgb_stride, channels, width, height, y, strides[0], u, strides[1], v,
                                         strides[2]);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"rgb_to_yuv420", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_rgb_to_yuv420)), METH_FASTCALL,
     nullptr},
    {"bilinear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_bilinear)), METH_FASTCALL, nullptr},
    {"outline_ring", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_outline_ring)), METH_FASTCALL,
     nullptr},
    {"coverage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_coverage)), METH_FASTCALL, nullptr},
    {"refine_fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_refine_fit)), METH_FASTCALL,
     nullptr},
    {"edge_mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_edge_mask)), METH_FASTCALL, nullptr},
    {"polar_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_polar_path)), METH_FASTCALL,
     nullptr},
    {"mask_hull", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_mask_hull)), METH_FASTCALL, nullptr},
    {"fill_convex", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fill_convex)), METH_FASTCALL,
     nullptr},
    {"outline", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_outline)), METH_FASTCALL, nullptr},
    {"label", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_label)), METH_FASTCALL, nullptr},
    {"flood", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_flood)), METH_FASTCALL, nullptr},
    {"gradient", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_gradient)), METH_FASTCALL, nullptr},
    {"intensity_mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_intensity_mask)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quorvane_tools._native", "Private helpers of quorvane_tools.", 0, kMethods, kSlots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&kModule); }
