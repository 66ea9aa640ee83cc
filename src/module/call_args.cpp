// The converter loop: each bound argument becomes the typed value its
// parameter's kind names, in parameter order.
#include "call_args.h"

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

bool convert_arguments(const FunctionSpec& spec, CallArgs& args) {
    for (int k = 0; k < spec.nparams; ++k) {
        const Param& p = spec.params[k];
        PyObject* obj = args.object[k];
        bool ok = true;
        switch (p.kind) {
            case Kind::Object:
                break;
            case Kind::Int32:
                ok = to_int32(obj, args.int32[k]);
                break;
            case Kind::Double:
                ok = to_double(obj, args.real[k]);
                break;
            case Kind::BoundsMapping:
                ok = to_lch_bounds(obj, args.bounds);
                break;
            default:
                ok = convert_array(obj, p.kind, p.shape_label ? p.shape_label : p.name, args.array[k]);
                break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace quorvane
