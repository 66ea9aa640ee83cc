// Bodies of the RANSAC fitters: the one rand() draw per call, the kernel,
// and the result dicts.
#include <cstdlib>

#include "bodies.h"
#include "error.h"
#include "kernels/kernels.h"
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

PyObject* ransac_circle(ModuleState& state, PointList& _ps, int32_t count, int32_t min_r, int32_t max_r,
                        int32_t delta) {
    const Circle c =
        quorvane::ransac_circle(*state.kernels, _ps.ints(), _ps.extent(0), draw_seed(), count, min_r, max_r, delta);
    return Py_BuildValue("{s:i,s:i,s:i}", "x", c.x, "y", c.y, "r", c.r);
}

PyObject* ransac_ellipse(ModuleState& state, PointList& _ps, int32_t count, int32_t min_r, int32_t max_r,
                         double ratio, int32_t delta) {
    const Ellipse e = quorvane::ransac_ellipse(*state.kernels, _ps.ints(), _ps.extent(0), draw_seed(), count, min_r,
                                               max_r, ratio, delta);
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "x", e.x, "y", e.y, "a", e.a, "b", e.b, "theta", e.theta);
}

PyObject* ransac_line(ModuleState& state, PointList& _ps, PointMask& _ms, int32_t count, int32_t delta,
                      double slope_limit) {
    if (!mask_covers_points(_ms, _ps.extent(0))) return nullptr;
    const Line l = quorvane::ransac_line(*state.kernels, _ps.ints(), _ps.extent(0), _ms.bytes(), draw_seed(), count,
                                         delta, slope_limit);
    return line_dict(l).release();
}

PyObject* ransac_line2(ModuleState& state, PointList& _ps, PointMask& _ms, int32_t count, double ratio,
                       int32_t delta) {
    if (!mask_covers_points(_ms, _ps.extent(0))) return nullptr;
    const Line2 pair = quorvane::ransac_line2(*state.kernels, _ps.ints(), _ps.extent(0), _ms.bytes(), draw_seed(),
                                              count, ratio, delta);
    Ref first = line_dict(pair.l1);
    if (!first) return nullptr;
    Ref second = line_dict(pair.l2);
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace quorvane::body
