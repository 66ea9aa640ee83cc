// Array argument conversion: request, dimensions, element format, item
// size, strides and suboffsets, in that order; then packed access.
#include "buffer_view.h"

#include <cctype>
#include <cstring>

#include "error.h"
#include "messages.h"

namespace quorvane {
namespace {

struct FormatChar {
    ElementKind kind;
    Py_ssize_t size;
};

const char* describe(char ch, bool is_complex) {
    switch (ch) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return is_complex ? "'complex float'" : "'float'";
        case 'd': return is_complex ? "'complex double'" : "'double'";
        case 'g': return is_complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end of string";
        default: return "unparsable format string";
    }
}

/// A character describe() reports as "unparsable format string".
constexpr char kUnparsable = 0x7f;

bool raise_unexpected_char(char ch) { return fail(PyExc_ValueError, msg::kUnexpectedFormatChar, ch); }

/// Dtype mismatch against `spec`, or (nullptr) against the format's end.
bool raise_expected(const ArraySpec* spec, char ch, bool is_complex) {
    const char* found = describe(ch, is_complex);
    if (spec == nullptr) return fail(PyExc_ValueError, msg::kDtypeMismatch, "", "end", "", found);
    return fail(PyExc_ValueError, msg::kDtypeMismatch, "'", spec->name, "'", found);
}

/// Kind and size of a format character; false (ValueError set) if unknown.
bool classify(char ch, bool is_complex, bool native, FormatChar& out) {
    Py_ssize_t size;
    switch (ch) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': size = 1; break;
        case 'h': case 'H': size = 2; break;
        case 'i': case 'I': size = 4; break;
        case 'l': case 'L': size = native ? static_cast<Py_ssize_t>(sizeof(long)) : 4; break;
        case 'q': case 'Q': size = 8; break;
        case 'f': size = is_complex ? 8 : 4; break;
        case 'd': size = is_complex ? 16 : 8; break;
        case 'g':
            if (!native) return fail(PyExc_ValueError, msg::kNoStandardLongDouble);
            size = static_cast<Py_ssize_t>(sizeof(long double)) * (is_complex ? 2 : 1);
            break;
        case 'O': case 'P': size = static_cast<Py_ssize_t>(sizeof(void*)); break;
        default: return raise_unexpected_char(ch);
    }
    ElementKind kind;
    switch (ch) {
        case 'c': kind = ElementKind::Char; break;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': kind = ElementKind::SignedInt; break;
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': kind = ElementKind::UnsignedInt; break;
        case 'f': case 'd': case 'g': kind = is_complex ? ElementKind::Complex : ElementKind::Real; break;
        case 'O': kind = ElementKind::Object; break;
        default: kind = ElementKind::Pointer; break;
    }
    out = {kind, size};
    return true;
}

bool is_space(char c) { return c == ' ' || c == '\r' || c == '\n'; }

/// The format must describe exactly one element of the parameter's type.
bool check_format(const char* fmt, const ArraySpec& spec) {
    const char* ts = fmt != nullptr ? fmt : "B";
    bool native = true;
    for (;; ++ts) {
        const char c = *ts;
        if (is_space(c)) continue;
        if (c == '<' || c == '=') {
            native = false;
            continue;
        }
        if (c == '>' || c == '!') return fail(PyExc_ValueError, msg::kBigEndian);
        if (c == '@' || c == '^') {
            native = true;
            continue;
        }
        break;
    }
    long count = 1;
    if (std::isdigit(static_cast<unsigned char>(*ts))) {
        count = 0;
        while (std::isdigit(static_cast<unsigned char>(*ts))) {
            count = count * 10 + (*ts - '0');
            if (count > 1000000) count = 1000000;
            ++ts;
        }
    }
    bool is_complex = false;
    char ch = *ts;
    if (ch == 'Z') {
        ++ts;
        ch = *ts;
        if (ch != 'f' && ch != 'd' && ch != 'g') return raise_unexpected_char('Z');
        is_complex = true;
    }
    if (ch == 0 || ch == 'T') return raise_expected(&spec, ch, false);
    // Padding, field names, sub-arrays, structs: no single element.
    if (ch == 'x' || ch == ':' || ch == '(' || ch == '}' || ch == '{') {
        return raise_expected(&spec, kUnparsable, false);
    }
    FormatChar fc{};
    if (!classify(ch, is_complex, native, fc)) return false;
    const bool same = fc.size == spec.itemsize && fc.kind == spec.kind;
    const bool char_ok = fc.kind == ElementKind::Char && fc.size == spec.itemsize;
    if (!same && !char_ok) return raise_expected(&spec, ch, is_complex);
    if (count != 1) return raise_expected(nullptr, ch, is_complex);
    ++ts;
    while (is_space(*ts)) ++ts;
    if (*ts != 0) {
        char next = *ts;
        bool next_complex = false;
        if (next == 'Z' && (ts[1] == 'f' || ts[1] == 'd' || ts[1] == 'g')) {
            next = ts[1];
            next_complex = true;
        }
        return raise_expected(nullptr, next, next_complex);
    }
    return true;
}

bool raise_oversize() { return fail(PyExc_MemoryError, msg::kTooLargeToPack); }

}  // namespace

ArrayArg::~ArrayArg() {
    if (copy_ != nullptr) PyMem_Free(copy_);
    if (held_) PyBuffer_Release(&view_);
}

bool ArrayArg::convert(PyObject* obj, const ArraySpec& spec) {
    if (obj == Py_None) return true;  // an empty view: no data, extents 0
    int flags = PyBUF_FORMAT | PyBUF_WRITABLE;
    flags |= spec.c_contiguous ? PyBUF_C_CONTIGUOUS : PyBUF_STRIDES;
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    if (view_.ndim != spec.ndim) return fail(PyExc_ValueError, msg::kWrongDims, spec.ndim, view_.ndim);
    if (!check_format(view_.format, spec)) return false;
    if (view_.itemsize != spec.itemsize) {
        return fail(PyExc_ValueError, msg::kItemSize, static_cast<size_t>(view_.itemsize),
                    view_.itemsize > 1 ? "s" : "", spec.name, static_cast<size_t>(spec.itemsize),
                    spec.itemsize > 1 ? "s" : "");
    }
    if (view_.len > 0) {
        for (int d = 0; d < spec.ndim; ++d) {
            const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[d] : 0;
            if (d == spec.ndim - 1 && view_.shape != nullptr && view_.shape[d] > 1 &&
                view_.strides != nullptr &&
                stride != view_.itemsize) {
                return fail(PyExc_ValueError, msg::kNotContiguous);
            }
            if (view_.suboffsets != nullptr && view_.suboffsets[d] >= 0) {
                return fail(PyExc_ValueError, msg::kIndirect, d);
            }
        }
    }
    ndim_ = spec.ndim;
    // Exporters may omit strides (C order implied) or, in 1-D, the shape.
    Py_ssize_t step = view_.itemsize;
    for (int d = ndim_ - 1; d >= 0; --d) {
        shape_[d] = view_.shape != nullptr ? view_.shape[d] : view_.len / view_.itemsize;
        strides_[d] = view_.strides != nullptr ? view_.strides[d] : step;
        step *= shape_[d];
    }
    return true;
}

bool ArrayArg::pack(int64_t d0, int64_t d1, int64_t run, Py_ssize_t s0, Py_ssize_t s1) {
    d0_ = d0;
    d1_ = d1;
    run_ = run;
    s0_ = s0;
    s1_ = s1;
    data_ = static_cast<uint8_t*>(view_.buf);
    int64_t total = 0;
    if (__builtin_mul_overflow(d0, d1, &total) || __builtin_mul_overflow(total, run, &total)) {
        return raise_oversize();
    }
    if (total == 0) return true;
    // Elements must also be aligned for the kernels' typed access; an
    // unaligned start (possible with NumPy views) gets an aligned copy.
    const bool aligned = reinterpret_cast<uintptr_t>(view_.buf) % static_cast<uintptr_t>(view_.itemsize) == 0;
    const bool packed = aligned && (d0 <= 1 || s0 == d1 * run) && (d1 <= 1 || s1 == run);
    if (packed) return true;
    if (total > PY_SSIZE_T_MAX / 2) return raise_oversize();
    copy_ = static_cast<uint8_t*>(PyMem_Malloc(static_cast<size_t>(total)));
    if (copy_ == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    // Copied in for outputs too: bytes the kernel does not write must come
    // back unchanged by commit().
    const auto* base = static_cast<const uint8_t*>(view_.buf);
    uint8_t* dst = copy_;
    for (int64_t a = 0; a < d0; ++a) {
        for (int64_t b = 0; b < d1; ++b) {
            std::memcpy(dst, base + a * s0 + b * s1, static_cast<size_t>(run));
            dst += run;
        }
    }
    data_ = copy_;
    return true;
}

bool ArrayArg::pack_points(const char* label) {
    const int64_t n = extent(0), cols = extent(1);
    if (n > 0 && cols != 2) {
        return fail(PyExc_ValueError, msg::kNotPointList, label, static_cast<long long>(n),
                    static_cast<long long>(cols));
    }
    if (!held_) return true;
    return pack(n, 1, 8, strides_[0], 0);
}

bool ArrayArg::pack_rgb(const char* label) {
    const int64_t h = extent(0), w = extent(1), ch = extent(2);
    if (h > 0 && w > 0 && ch != 3) {
        return fail(PyExc_ValueError, msg::kNotRgbImage, label, static_cast<long long>(h),
                    static_cast<long long>(w), static_cast<long long>(ch));
    }
    if (!held_) return true;
    return pack(h, w, 3, strides_[0], strides_[1]);
}

bool ArrayArg::pack_bytes() {
    if (!held_) return true;
    const int64_t h = extent(0), w = extent(1);
    // One row is contiguous whenever it has more than one byte.
    return pack(h, 1, w, strides_[0], 0);
}

void ArrayArg::commit() noexcept {
    if (copy_ == nullptr) return;
    auto* base = static_cast<uint8_t*>(view_.buf);
    const uint8_t* src = copy_;
    for (int64_t a = 0; a < d0_; ++a) {
        for (int64_t b = 0; b < d1_; ++b) {
            std::memcpy(base + a * s0_ + b * s1_, src, static_cast<size_t>(run_));
            src += run_;
        }
    }
}

}  // namespace quorvane
