// quorvane_tools._native: the companion tools' private helpers over NumPy
// arrays (labelling, seeded growth, gradients, intensity masks). The Python
// side makes every array (C order, the right dtype); this layer checks
// shapes, releases the interpreter lock around the kernels and raises
// ValueError on a mismatch.
#include "tools/native_args.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "kernels/kernels.h"
#include "ransac/conic.h"
#include "ransac/score.h"
#include "tools/fit.h"
#include "tools/regions.h"
#include "tools/yuv.h"

namespace {

using namespace quorvane::tools;
using namespace quorvane::tools::native;

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

/// The scoring kernels of the table the module runs (the CPU's best, or
/// the one the environment asks for), or nullptr with RuntimeError set.
const quorvane::ScoreKernels* score_kernels() {
    const quorvane::KernelChoice choice = quorvane::choose_kernels();
    if (choice.kernels == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, choice.error);
        return nullptr;
    }
    return &choice.kernels->score;
}

/// ring_inliers(ps, x, y, r, delta) -> count: the points of ps (a C-contiguous
/// (n, 2) int32 array) inside the circle fitter's ring, as its scoring kernel
/// counts them.
PyObject* py_ring_inliers(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("ring_inliers", nargs, 5)) return nullptr;
    View ps;
    if (!ps.get(args[0], 2, 4, false, "ps")) return nullptr;
    long v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = PyLong_AsLong(args[k + 1]);
        if (v[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    const quorvane::ScoreKernels* sk = score_kernels();
    if (sk == nullptr) return nullptr;
    const int32_t* p = ps.data<int32_t>();
    const int64_t n = ps.dim(0);
    const auto cx = static_cast<int32_t>(v[0]), cy = static_cast<int32_t>(v[1]);
    const auto r = static_cast<int32_t>(v[2]), delta = static_cast<int32_t>(v[3]);
    const int32_t inner = quorvane::sub32(r, delta), outer = quorvane::add32(r, delta);
    const quorvane::RingTest ring{cx, cy, quorvane::mul32(inner, inner), quorvane::mul32(outer, outer),
                                  quorvane::box_fits16(quorvane::bounding_box(p, n), cx, cy)};
    return PyLong_FromLongLong(sk->ring(p, n, -1, ring));
}

/// shell_inliers(ps, x, y, a, b, theta, delta) -> count: the points of ps
/// inside the ellipse fitter's ring round the record (x, y, a, b, theta), as
/// its scoring kernel counts them (with its float pass where that applies),
/// the ring formed from the record's semi-axes as the fitter forms it from
/// its conic's: inner a - delta, outer that plus 2 delta.
PyObject* py_shell_inliers(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("shell_inliers", nargs, 7)) return nullptr;
    View ps;
    if (!ps.get(args[0], 2, 4, false, "ps")) return nullptr;
    double v[5];
    for (int k = 0; k < 5; ++k) {
        v[k] = PyFloat_AsDouble(args[k + 1]);
        if (v[k] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    const long delta = PyLong_AsLong(args[6]);
    if (delta == -1 && PyErr_Occurred()) return nullptr;
    const quorvane::ScoreKernels* sk = score_kernels();
    if (sk == nullptr) return nullptr;
    const int32_t* p = ps.data<int32_t>();
    const int64_t n = ps.dim(0);
    const double d = static_cast<double>(delta), d2 = static_cast<double>(2 * delta);
    const double ia = v[2] - d, ib = v[3] - d;
    const double oa = ia + d2, ob = ib + d2;
    const double s = std::sin(v[4]), k = std::cos(v[4]);
    quorvane::ShellTest ring;
    ring.inner = quorvane::ransac_detail::ellipse_coeffs(v[0], v[1], ia, ib, s, k);
    ring.outer = quorvane::ransac_detail::ellipse_coeffs(v[0], v[1], oa, ob, s, k);
    quorvane::shell_bounds(ring, quorvane::bounding_box(p, n));
    return PyLong_FromLongLong(sk->shell(p, n, -1, ring));
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
    {"ring_inliers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ring_inliers)), METH_FASTCALL,
     nullptr},
    {"shell_inliers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_shell_inliers)), METH_FASTCALL,
     nullptr},
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
