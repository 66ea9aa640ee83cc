// Typed array arguments: the buffer request, the checks with their exact
// messages, and packed access (a packed copy for arrays whose rows or pixels
// are not adjacent, written back for outputs).
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvane {

/// The kind of value a buffer format character describes.
enum class ElementKind : uint8_t { SignedInt, UnsignedInt, Real, Complex, Char, Object, Pointer };

/// What a parameter accepts: dimensions, element kind and size, the element
/// name used in messages, and whether the exporter must give C order.
struct ArraySpec {
    int ndim;
    ElementKind kind;
    Py_ssize_t itemsize;
    const char* name;
    bool c_contiguous;
};

inline constexpr ArraySpec kPointList{2, ElementKind::SignedInt, 4, "int", false};
inline constexpr ArraySpec kPointMask{1, ElementKind::UnsignedInt, 1, "uint8_t", true};
inline constexpr ArraySpec kRgbImage{3, ElementKind::UnsignedInt, 1, "unsigned char", false};
/// The edge scan's RGB image: the same array, its element named 'uchar'.
inline constexpr ArraySpec kRgbImageUchar{3, ElementKind::UnsignedInt, 1, "uchar", false};
inline constexpr ArraySpec kByteImage{2, ElementKind::UnsignedInt, 1, "unsigned char", false};

/// One array argument, held for the duration of a call. The caller's buffer
/// is released (and a packed copy freed) on every exit path.
class ArrayArg {
public:
    ArrayArg() = default;
    ArrayArg(const ArrayArg&) = delete;
    ArrayArg& operator=(const ArrayArg&) = delete;
    ~ArrayArg();

    /// Takes a view of `obj` (None gives an empty view). False with the
    /// exception set when the object is refused.
    bool convert(PyObject* obj, const ArraySpec& spec);

    /// The view exists and holds at least one element (not None, not empty).
    bool has_elements() const noexcept { return extent(0) > 0; }

    /// Extent of dimension `d` (0 for None).
    int64_t extent(int d) const noexcept { return d < ndim_ ? shape_[d] : 0; }

    /// Packed access for an (n, 2) point list; ValueError (naming `label`)
    /// on another width.
    bool pack_points(const char* label);
    /// Packed access for an (h, w, 3) RGB image; ValueError on another depth.
    bool pack_rgb(const char* label);
    /// Packed access for an (h, w) byte image.
    bool pack_bytes();
    /// A point mask is packed by request; gives access to its bytes.
    void pack_mask() noexcept { data_ = static_cast<uint8_t*>(view_.buf); }

    uint8_t* bytes() const noexcept { return data_; }
    int32_t* ints() const noexcept { return reinterpret_cast<int32_t*>(data_); }

    /// Copies a packed copy of an output back into the caller's array.
    void commit() noexcept;

private:
    bool pack(int64_t d0, int64_t d1, int64_t run, Py_ssize_t s0, Py_ssize_t s1);

    Py_buffer view_{};
    bool held_ = false;
    int ndim_ = 0;
    int64_t shape_[3] = {0, 0, 0};
    Py_ssize_t strides_[3] = {0, 0, 0};
    uint8_t* data_ = nullptr;
    uint8_t* copy_ = nullptr;
    // Geometry of the caller's array as d0 x d1 runs of `run_` bytes.
    int64_t d0_ = 0, d1_ = 0, run_ = 0;
    Py_ssize_t s0_ = 0, s1_ = 0;
};

}  // namespace quorvane
