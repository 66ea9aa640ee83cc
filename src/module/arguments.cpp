// The converters of the body parameters: each bound argument becomes the
// typed value its parameter's kind names.
#include "arguments.h"

#include "convert.h"

namespace quorvane {

bool convert_array(PyObject* obj, Kind kind, const char* shape_label, ArrayArg& out) {
    switch (kind) {
        case Kind::PointList:
            return out.convert(obj, kPointList) && out.pack_points(shape_label);
        case Kind::PointListView:
            return out.convert(obj, kPointList);
        case Kind::PointMask:
            if (!out.convert(obj, kPointMask)) return false;
            out.pack_mask();
            return true;
        case Kind::RgbImage:
            return out.convert(obj, kRgbImage) && out.pack_rgb(shape_label);
        case Kind::RgbImageUchar:
            return out.convert(obj, kRgbImageUchar) && out.pack_rgb(shape_label);
        case Kind::ByteImage:
            return out.convert(obj, kByteImage) && out.pack_bytes();
        default:
            return true;
    }
}

namespace args_detail {

bool Arg<int32_t>::convert(PyObject* o, const Param&, int32_t& v) { return to_int32(o, v); }
bool Arg<double>::convert(PyObject* o, const Param&, double& v) { return to_double(o, v); }
bool Arg<const LchBounds&>::convert(PyObject* o, const Param&, LchBounds& v) { return to_lch_bounds(o, v); }

}  // namespace args_detail
}  // namespace quorvane
