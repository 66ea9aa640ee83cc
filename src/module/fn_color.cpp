// Function bodies of colour selection: bounds computation through NumPy,
// the image passes (interpreter lock released for the pixel loop) and the
// NumPy-expression variants.
#include <cmath>
#include <cstring>
#include <utility>

#include "buffer_view.h"
#include "color/color.h"
#include "convert.h"
#include "functions.h"
#include "glue.h"
#include "ref.h"

namespace quorvane {
namespace {

// ---------------------------------------------------------------- helpers

Ref get_attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

/// o[k] for a small integer k, as Python indexing does it.
Ref item(PyObject* o, long k) {
    Ref key = Ref::steal(PyLong_FromLong(k));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(o, key.get()));
}

/// o[:, k]
Ref column(PyObject* o, long k) {
    Ref key = Ref::steal(Py_BuildValue("(Nl)", PySlice_New(nullptr, nullptr, nullptr), k));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(o, key.get()));
}

Ref global(const char* name) { return Ref::steal(module_global(name)); }

/// np.<func>(arg)
Ref np_call1(const char* func, PyObject* arg) {
    Ref np = global("np");
    if (!np) return {};
    Ref f = get_attr(np.get(), func);
    if (!f) return {};
    return Ref::steal(PyObject_CallOneArg(f.get(), arg));
}

/// x.astype(np.<dtype>)
Ref astype(PyObject* x, const char* dtype) {
    Ref method = get_attr(x, "astype");
    if (!method) return {};
    Ref np = global("np");
    if (!np) return {};
    Ref t = get_attr(np.get(), dtype);
    if (!t) return {};
    return Ref::steal(PyObject_CallOneArg(method.get(), t.get()));
}

Ref compare(PyObject* a, PyObject* b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }

Ref compare_int(PyObject* a, long v, int op) {
    Ref b = Ref::steal(PyLong_FromLong(v));
    if (!b) return {};
    return compare(a, b.get(), op);
}

/// seq[:-1]
Ref all_but_last(PyObject* seq) {
    Ref minus1 = Ref::steal(PyLong_FromLong(-1));
    if (!minus1) return {};
    Ref sl = Ref::steal(PySlice_New(nullptr, minus1.get(), nullptr));
    if (!sl) return {};
    return Ref::steal(PyObject_GetItem(seq, sl.get()));
}

/// `mask &= value` rebinding mask.
bool and_into(Ref& mask, Ref value) {
    if (!value) return false;
    mask = Ref::steal(PyNumber_InPlaceAnd(mask.get(), value.get()));
    return static_cast<bool>(mask);
}

/// M, i, c = bounds (exactly three items).
bool unpack3(PyObject* seq, Ref (&out)[3]) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size != 3) {
            if (size > 3) {
                PyErr_Format(PyExc_ValueError, msg::kTooManyToUnpack, Py_ssize_t{3});
            } else {
                PyErr_Format(PyExc_ValueError, msg::kNeedMoreToUnpack, size, size == 1 ? "" : "s");
            }
            return false;
        }
        for (int k = 0; k < 3; ++k) out[k] = Ref::borrow(PySequence_Fast_GET_ITEM(seq, k));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < 3; ++k) {
        out[k] = Ref::steal(PyIter_Next(it.get()));
        if (!out[k]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, msg::kNeedMoreToUnpack, k, k == 1 ? "" : "s");
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, msg::kTooManyToUnpack, Py_ssize_t{3});
        return false;
    }
    return !PyErr_Occurred();
}

/// The six strict tests on the transformed values v0, v1, v2 (arrays or
/// scalars): (v0 > 0) & (v1 > 0), then & (v2 > i[0]) & (v2 < i[1]), then
/// & (v0 + v1 < c[1]), then & (v0 + v1 > c[0]).
Ref window_test(bool columns, PyObject* transformed, PyObject* i, PyObject* c) {
    Ref v[3];
    auto pick = [&](long k) { return columns ? column(transformed, k) : item(transformed, k); };
    v[0] = pick(0);
    if (!v[0]) return {};
    Ref a = compare_int(v[0].get(), 0, Py_GT);
    if (!a) return {};
    v[1] = pick(1);
    if (!v[1]) return {};
    Ref b = compare_int(v[1].get(), 0, Py_GT);
    if (!b) return {};
    Ref mask = Ref::steal(PyNumber_And(a.get(), b.get()));
    if (!mask) return {};

    v[2] = pick(2);
    if (!v[2]) return {};
    Ref i0 = item(i, 0);
    if (!i0) return {};
    Ref lo = compare(v[2].get(), i0.get(), Py_GT);
    if (!lo) return {};
    Ref v2b = pick(2);
    if (!v2b) return {};
    Ref i1 = item(i, 1);
    if (!i1) return {};
    Ref hi = compare(v2b.get(), i1.get(), Py_LT);
    if (!hi) return {};
    if (!and_into(mask, Ref::steal(PyNumber_And(lo.get(), hi.get())))) return {};

    for (int step = 0; step < 2; ++step) {
        Ref x = pick(0);
        if (!x) return {};
        Ref y = pick(1);
        if (!y) return {};
        Ref sum = Ref::steal(PyNumber_Add(x.get(), y.get()));
        if (!sum) return {};
        Ref bound = item(c, step == 0 ? 1 : 0);
        if (!bound) return {};
        if (!and_into(mask, compare(sum.get(), bound.get(), step == 0 ? Py_LT : Py_GT))) return {};
    }
    return mask;
}

/// M.reshape(3, 3)
Ref reshape33(PyObject* m) {
    Ref reshape = get_attr(m, "reshape");
    if (!reshape) return {};
    return Ref::steal(PyObject_CallFunction(reshape.get(), "ii", 3, 3));
}

/// (M33 @ x.T).T
Ref transform(PyObject* m33, PyObject* x) {
    Ref xt = get_attr(x, "T");
    if (!xt) return {};
    Ref prod = Ref::steal(PyNumber_MatrixMultiply(m33, xt.get()));
    if (!prod) return {};
    return get_attr(prod.get(), "T");
}

// ----------------------------------------------------------- image passes

bool raise_short_output(int64_t have, int64_t need) {
    PyErr_Format(PyExc_ValueError, "output holds %lld bytes but the image has %lld pixels",
                 static_cast<long long>(have), static_cast<long long>(need));
    return false;
}

/// Converts image, output and bounds (in this order), checks the output's
/// size, and runs `pass` with the interpreter lock released. Returns the
/// number of pixels, or -1 with an exception set.
int64_t image_pass(PyObject* image_obj, PyObject* output_obj, PyObject* bounds_obj,
                   ImagePass ColorKernels::*pass) {
    ArrayArg image, output;
    LchBounds bounds;
    if (!image.convert(image_obj, kRgbImage) || !image.pack_rgb("image")) return -1;
    if (!output.convert(output_obj, kByteImage) || !output.pack_bytes()) return -1;
    if (!to_lch_bounds(bounds_obj, bounds)) return -1;
    const int64_t n = image.extent(0) * image.extent(1);
    const int64_t room = output.extent(0) * output.extent(1);
    if (room < n) return raise_short_output(room, n), -1;

    const ImagePass run = color_kernels().*pass;
    PyThreadState* saved = PyGILState_Check() ? PyEval_SaveThread() : nullptr;
    if (n > 0) run(image.bytes(), output.bytes(), static_cast<size_t>(n), bounds);
    if (saved != nullptr) PyEval_RestoreThread(saved);
    output.commit();
    return n;
}

/// mask_image / selective_grayscale: default output, LCHBounds -> dict, pass.
PyObject* image_entry(PyObject* const* args, ImagePass ColorKernels::*pass) {
    PyObject* image = args[0];
    Ref bounds = Ref::borrow(args[1]);
    Ref buffer = Ref::borrow(args[2]);
    if (buffer.get() == Py_None) {
        Ref np = global("np");
        if (!np) return nullptr;
        Ref zeros = get_attr(np.get(), "zeros");
        if (!zeros) return nullptr;
        Ref shape = get_attr(image, "shape");
        if (!shape) return nullptr;
        Ref head = all_but_last(shape.get());
        if (!head) return nullptr;
        Ref uint8 = get_attr(np.get(), "uint8");
        if (!uint8) return nullptr;
        Ref pos = Ref::steal(PyTuple_Pack(1, head.get()));
        Ref kw = Ref::steal(Py_BuildValue("{s:O}", "dtype", uint8.get()));
        if (!pos || !kw) return nullptr;
        buffer = Ref::steal(PyObject_Call(zeros.get(), pos.get(), kw.get()));
        if (!buffer) return nullptr;
    }
    Ref cls = global("LCHBounds");
    if (!cls) return nullptr;
    const int is_bounds = PyObject_IsInstance(bounds.get(), cls.get());
    if (is_bounds < 0) return nullptr;
    if (is_bounds) {
        bounds = Ref::steal(PyObject_CallMethod(bounds.get(), "_asdict", nullptr));
        if (!bounds) return nullptr;
    }
    if (image_pass(image, buffer.get(), bounds.get(), pass) < 0) return nullptr;
    return buffer.release();
}

// ------------------------------------------------------------- lch bounds

/// Reads a float64 array's values (at most `cap`); false if it is not one.
bool read_doubles(PyObject* arr, double* out, Py_ssize_t cap, Py_ssize_t& n) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    const bool ok = view.format != nullptr && std::strcmp(view.format, "d") == 0 &&
                    view.itemsize == 8 && view.len / 8 <= cap;
    if (ok) {
        n = view.len / 8;
        std::memcpy(out, view.buf, static_cast<size_t>(view.len));
    }
    PyBuffer_Release(&view);
    if (!ok) PyErr_SetString(PyExc_TypeError, "the colour matrix is not a float64 array");
    return ok;
}

bool check_matrix(PyObject* m, bool scaled) {
    // Whatever the matrix's type (float64, long double, complex), judge the
    // real parts as doubles; an overflow there is out of range anyway.
    Ref real = get_attr(m, "real");
    if (!real) return false;
    Ref as_double = astype(real.get(), "float64");
    if (!as_double) return false;
    double v[9];
    Py_ssize_t n = 0;
    if (!read_doubles(as_double.get(), v, 9, n)) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!std::isfinite(v[k])) {
            PyErr_SetString(PyExc_ValueError,
                            "hue limits give a colour matrix with non-finite entries");
            return false;
        }
        if (scaled && (v[k] < -2147483648.0 || v[k] > 2147483647.0)) {
            PyErr_SetString(PyExc_ValueError,
                            "hue limits give a scaled colour matrix entry outside the 32-bit range");
            return false;
        }
    }
    return true;
}

/// int(round(x * scale))
Ref scale_round(PyObject* x, PyObject* scale) {
    Ref prod = Ref::steal(PyNumber_Multiply(x, scale));
    if (!prod) return {};
    Ref builtins_round = global("round");
    if (!builtins_round) return {};
    Ref r = Ref::steal(PyObject_CallOneArg(builtins_round.get(), prod.get()));
    if (!r) return {};
    return Ref::steal(PyNumber_Long(r.get()));
}


Ref int_obj(long v) { return Ref::steal(PyLong_FromLong(v)); }
Ref float_obj(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

/// np.array of the nested list [[e0, e1, e2], [e3, e4, e5], [e6, e7, e8]].
Ref array33(PyObject* array_fn, const Ref (&e)[9]) {
    for (const Ref& x : e) {
        if (!x) return {};
    }
    Ref rows = Ref::steal(Py_BuildValue("[[OOO][OOO][OOO]]", e[0].get(), e[1].get(), e[2].get(),
                                        e[3].get(), e[4].get(), e[5].get(), e[6].get(),
                                        e[7].get(), e[8].get()));
    if (!rows) return {};
    return Ref::steal(PyObject_CallOneArg(array_fn, rows.get()));
}

}  // namespace

PyObject* calculate_lch_bounds_impl(PyObject* const* args) {
    PyObject* hue_limit = args[0];
    PyObject* chroma_limit = args[1];
    PyObject* intensity_limit = args[2];
    PyObject* rgb_bits = args[3];

    Ref theta1 = item(hue_limit, 0);
    if (!theta1) return nullptr;
    Ref theta2 = item(hue_limit, 1);
    if (!theta2) return nullptr;

    Ref two = Ref::steal(PyLong_FromLong(2));
    auto half_width_cos = [&]() -> Ref {
        Ref width = Ref::steal(PyNumber_Subtract(theta2.get(), theta1.get()));
        if (!width) return {};
        Ref half = Ref::steal(PyNumber_TrueDivide(width.get(), two.get()));
        if (!half) return {};
        return np_call1("cos", half.get());
    };
    Ref c1, c2;
    {
        Ref lo = item(chroma_limit, 0);
        if (!lo) return nullptr;
        Ref cs = half_width_cos();
        if (!cs) return nullptr;
        c1 = Ref::steal(PyNumber_TrueDivide(lo.get(), cs.get()));
        if (!c1) return nullptr;
        Ref hi = item(chroma_limit, 1);
        if (!hi) return nullptr;
        cs = half_width_cos();
        if (!cs) return nullptr;
        c2 = Ref::steal(PyNumber_TrueDivide(hi.get(), cs.get()));
        if (!c2) return nullptr;
    }
    Ref i1 = item(intensity_limit, 0);
    if (!i1) return nullptr;
    Ref i2 = item(intensity_limit, 1);
    if (!i2) return nullptr;

    // T1: RGB -> (x, y, I).
    Ref np = global("np");
    if (!np) return nullptr;
    Ref array_fn = get_attr(np.get(), "array");
    if (!array_fn) return nullptr;
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref sqrt3 = np_call1("sqrt", three.get());
    if (!sqrt3) return nullptr;
    Ref s32 = Ref::steal(PyNumber_TrueDivide(sqrt3.get(), two.get()));
    if (!s32) return nullptr;
    Ref neg_sqrt3 = Ref::steal(PyNumber_Negative(sqrt3.get()));
    if (!neg_sqrt3) return nullptr;
    Ref ns32 = Ref::steal(PyNumber_TrueDivide(neg_sqrt3.get(), two.get()));
    if (!ns32) return nullptr;
    const double third = 1.0 / 3.0;
    const Ref t1e[9] = {int_obj(1), float_obj(-0.5), float_obj(-0.5),
                        int_obj(0), std::move(s32), std::move(ns32),
                        float_obj(third), float_obj(third), float_obj(third)};
    Ref t1 = array33(array_fn.get(), t1e);
    if (!t1) return nullptr;

    // T2: (x, y, I) -> (a, b, I), divided by sin(theta2 - theta1).
    Ref sin2 = np_call1("sin", theta2.get());
    if (!sin2) return nullptr;
    Ref cos2 = np_call1("cos", theta2.get());
    if (!cos2) return nullptr;
    Ref ncos2 = Ref::steal(PyNumber_Negative(cos2.get()));
    if (!ncos2) return nullptr;
    Ref sin1 = np_call1("sin", theta1.get());
    if (!sin1) return nullptr;
    Ref nsin1 = Ref::steal(PyNumber_Negative(sin1.get()));
    if (!nsin1) return nullptr;
    Ref cos1 = np_call1("cos", theta1.get());
    if (!cos1) return nullptr;
    Ref width = Ref::steal(PyNumber_Subtract(theta2.get(), theta1.get()));
    if (!width) return nullptr;
    Ref sinw = np_call1("sin", width.get());
    if (!sinw) return nullptr;
    const Ref t2e[9] = {std::move(sin2), std::move(ncos2), int_obj(0),
                        std::move(nsin1), std::move(cos1), int_obj(0),
                        int_obj(0), int_obj(0), Ref::borrow(sinw.get())};
    Ref t2 = array33(array_fn.get(), t2e);
    if (!t2) return nullptr;
    {
        const int zero = PyObject_Not(sinw.get());
        if (zero < 0) return nullptr;
        if (zero) {
            PyErr_SetString(PyExc_ValueError, "hue_limit must span a non-zero width");
            return nullptr;
        }
    }
    t2 = Ref::steal(PyNumber_InPlaceTrueDivide(t2.get(), sinw.get()));
    if (!t2) return nullptr;

    Ref m = Ref::steal(PyNumber_MatrixMultiply(t2.get(), t1.get()));
    if (!m) return nullptr;
    if (!check_matrix(m.get(), false)) return nullptr;

    if (rgb_bits != Py_None) {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref scale = Ref::steal(PyNumber_Lshift(one.get(), rgb_bits));
        if (!scale) return nullptr;
        m = Ref::steal(PyNumber_InPlaceMultiply(m.get(), scale.get()));
        if (!m) return nullptr;
        Ref rounded = np_call1("round", m.get());
        if (!rounded) return nullptr;
        if (!check_matrix(rounded.get(), true)) return nullptr;
        m = astype(rounded.get(), "int32");
        if (!m) return nullptr;
        Ref bits2 = Ref::steal(PyNumber_Lshift(rgb_bits, one.get()));
        if (!bits2) return nullptr;
        Ref scale2 = Ref::steal(PyNumber_Lshift(one.get(), bits2.get()));
        if (!scale2) return nullptr;
        c1 = scale_round(c1.get(), scale2.get());
        if (!c1) return nullptr;
        c2 = scale_round(c2.get(), scale2.get());
        if (!c2) return nullptr;
        i1 = scale_round(i1.get(), scale2.get());
        if (!i1) return nullptr;
        i2 = scale_round(i2.get(), scale2.get());
        if (!i2) return nullptr;
    }
    Ref cls = global("LCHBounds");
    if (!cls) return nullptr;
    Ref flat = Ref::steal(PyObject_CallMethod(m.get(), "flatten", nullptr));
    if (!flat) return nullptr;
    return PyObject_CallFunction(cls.get(), "O(OO)(OO)", flat.get(), i1.get(), i2.get(), c1.get(),
                                 c2.get());
}

PyObject* mask_image_py_impl(PyObject* const* args) {
    PyObject* image = args[0];
    Ref parts[3];
    if (!unpack3(args[1], parts)) return nullptr;
    Ref m33 = reshape33(parts[0].get());
    if (!m33) return nullptr;
    Ref image_shape = get_attr(image, "shape");
    if (!image_shape) return nullptr;
    Ref reshape = get_attr(image, "reshape");
    if (!reshape) return nullptr;
    Ref rows = Ref::steal(PyObject_CallFunction(reshape.get(), "ii", -1, 3));
    if (!rows) return nullptr;
    Ref pixels = astype(rows.get(), "int32");
    if (!pixels) return nullptr;
    Ref transformed = transform(m33.get(), pixels.get());
    if (!transformed) return nullptr;
    Ref mask = window_test(true, transformed.get(), parts[1].get(), parts[2].get());
    if (!mask) return nullptr;
    Ref head = all_but_last(image_shape.get());
    if (!head) return nullptr;
    Ref shaped = Ref::steal(PyObject_CallMethod(mask.get(), "reshape", "(O)", head.get()));
    if (!shaped) return nullptr;
    Ref bytes = astype(shaped.get(), "uint8");
    if (!bytes) return nullptr;
    Ref k255 = Ref::steal(PyLong_FromLong(255));
    if (!k255) return nullptr;
    return PyNumber_Multiply(bytes.get(), k255.get());
}

PyObject* mask_color_impl(PyObject* const* args) {
    Ref parts[3];
    if (!unpack3(args[1], parts)) return nullptr;
    Ref m33 = reshape33(parts[0].get());
    if (!m33) return nullptr;
    Ref arr = np_call1("array", args[0]);
    if (!arr) return nullptr;
    Ref color = astype(arr.get(), "int32");
    if (!color) return nullptr;
    Ref transformed = transform(m33.get(), color.get());
    if (!transformed) return nullptr;
    return window_test(false, transformed.get(), parts[1].get(), parts[2].get()).release();
}

PyObject* mask_image_impl(PyObject* const* args) { return image_entry(args, &ColorKernels::mask); }

PyObject* selective_grayscale_wrap_impl(PyObject* const* args) {
    return image_entry(args, &ColorKernels::selective);
}

PyObject* mask_image_cy_impl_impl(PyObject* const* args) {
    const int64_t n = image_pass(args[0], args[1], args[2], &ColorKernels::mask);
    return n < 0 ? nullptr : py_int(n);
}

PyObject* selective_grayscale_impl_impl(PyObject* const* args) {
    const int64_t n = image_pass(args[0], args[1], args[2], &ColorKernels::selective);
    return n < 0 ? nullptr : py_int(n);
}

}  // namespace quorvane
