// The argument layer shared by the files of quorvane_tools._native: a held
// C-contiguous buffer, the shape and arity checks, and the functions each
// file binds (the method table is native_module.cpp's).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace quorvane::tools::native {

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

inline bool same_plane(const View& a, const View& b, const char* name) {
    if (a.dim(0) != b.dim(0) || a.dim(1) != b.dim(1)) {
        PyErr_Format(PyExc_ValueError, "%s: shape (%lld, %lld) differs from the image's (%lld, %lld)", name,
                     static_cast<long long>(b.dim(0)), static_cast<long long>(b.dim(1)),
                     static_cast<long long>(a.dim(0)), static_cast<long long>(a.dim(1)));
        return false;
    }
    return true;
}

inline bool arity(const char* fn, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", fn, want, nargs);
        return false;
    }
    return true;
}

inline bool image_view(View& v, PyObject* obj) {
    if (!v.get(obj, 3, 1, false, "image")) return false;
    if (v.dim(2) != 3 && v.dim(2) != 4) {
        PyErr_Format(PyExc_ValueError, "image: expected 3 or 4 channels, got %lld", static_cast<long long>(v.dim(2)));
        return false;
    }
    return true;
}

// The region helpers (native_regions.cpp).
PyObject* py_label(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_flood(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_gradient(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_intensity_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_outline(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_mask_hull(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_fill_convex(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_polar_path(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_edge_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quorvane::tools::native
