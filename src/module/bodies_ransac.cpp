// Bodies of the RANSAC fitters: the one rand() draw per call, the kernel,
// and the result dicts.
#include <cstdlib>

#include "bodies.h"
#include "error.h"
#include "messages.h"
#include "ransac/ransac.h"
#include "ref.h"

namespace quorvane::body {
namespace {

Ref line_dict(const Line& l) {
    return Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:i}", "px", l.px, "py", l.py, "nx", l.nx, "ny", l.ny));
}

/// The single draw from the C library generator that seeds one call.
uint32_t draw_seed() { return static_cast<uint32_t>(std::rand()); }

/// The line fitters' mask has a byte for every point.
bool mask_covers_points(const ArrayArg& ms, int64_t n) {
    if (ms.extent(0) >= n) return true;
    return fail(PyExc_ValueError, msg::kShortMask, "_ms", static_cast<long long>(ms.extent(0)), "_ps",
                static_cast<long long>(n));
}

}  // namespace

PyObject* ransac_circle(ModuleState&, CallArgs& a) {
    const ArrayArg& ps = a.array[0];
    const Circle c = quorvane::ransac_circle(ps.ints(), ps.extent(0), draw_seed(), a.int32[1], a.int32[2],
                                             a.int32[3], a.int32[4]);
    return Py_BuildValue("{s:i,s:i,s:i}", "x", c.x, "y", c.y, "r", c.r);
}

PyObject* ransac_ellipse(ModuleState&, CallArgs& a) {
    const ArrayArg& ps = a.array[0];
    const Ellipse e = quorvane::ransac_ellipse(ps.ints(), ps.extent(0), draw_seed(), a.int32[1],
                                               a.int32[2], a.int32[3], a.real[4], a.int32[5]);
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "x", e.x, "y", e.y, "a", e.a, "b", e.b, "theta", e.theta);
}

PyObject* ransac_line(ModuleState&, CallArgs& a) {
    const ArrayArg &ps = a.array[0], &ms = a.array[1];
    if (!mask_covers_points(ms, ps.extent(0))) return nullptr;
    const Line l = quorvane::ransac_line(ps.ints(), ps.extent(0), ms.bytes(), draw_seed(), a.int32[2],
                                         a.int32[3], a.real[4]);
    return line_dict(l).release();
}

PyObject* ransac_line2(ModuleState&, CallArgs& a) {
    const ArrayArg &ps = a.array[0], &ms = a.array[1];
    if (!mask_covers_points(ms, ps.extent(0))) return nullptr;
    const Line2 pair = quorvane::ransac_line2(ps.ints(), ps.extent(0), ms.bytes(), draw_seed(), a.int32[2],
                                              a.real[3], a.int32[4]);
    Ref first = line_dict(pair.l1);
    if (!first) return nullptr;
    Ref second = line_dict(pair.l2);
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace quorvane::body
