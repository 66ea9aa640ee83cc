// The function table: one row per exported function, in the order the
// module creates them, derived from its body (arguments.h): the Python
// names of the body's parameters, in order, with the defaults. A new
// function needs a kernel, a body in bodies_*.cpp and a row here.
#include "bodies.h"
#include "signature.h"

namespace quorvane {
namespace {

using namespace body;

constexpr auto kCalculateLchBounds = define<calculate_lch_bounds>(
    "calculate_lch_bounds", {"hue_limit", "chroma_limit", "intensity_limit", defaults_to("rgb_bits", 8)});
constexpr auto kMaskImagePy = define<mask_image_py>("mask_image_py", {"image", "bounds"});
// Converted inside the body, after the default buffer and the bounds are made.
constexpr auto kMaskImage = define<mask_image>("mask_image", {"image", "bounds", defaults_to_none("buffer")});
constexpr auto kSelectiveGrayscale =
    define<selective_grayscale>("selective_grayscale", {"image", "bounds", defaults_to_none("buffer")});
constexpr auto kMaskColor = define<mask_color>("mask_color", {"color", "bounds"});
constexpr auto kMaskImageCyImpl =
    define<mask_image_cy_impl>("mask_image_cy_impl", {labelled("_image", "image"), "_output", "bounds"});
constexpr auto kSelectiveGrayscaleImpl =
    define<selective_grayscale_impl>("selective_grayscale_impl", {labelled("_image", "image"), "_output", "bounds"});
constexpr auto kSimpleEdgeHsv =
    define<simple_edge_hsv>("simple_edge_hsv", {"_image", "_ps", "bounds", "row_count", "column_count"});
constexpr auto kSimpleEdge = define<simple_edge>("simple_edge", {"_image", "_ps", "row_count", "column_count"});
constexpr auto kSimpleDenoise = define<simple_denoise>("simple_denoise", {"_ps_in", "_ps_out", "min_distance"});
constexpr auto kRemoveInliers = define<remove_inliers>("remove_inliers", {"_ps_in", "_ps_out", "_ms"});
constexpr auto kRansacCircle = define<ransac_circle>("ransac_circle", {"_ps", "count", "min_r", "max_r", "delta"});
constexpr auto kRansacEllipse =
    define<ransac_ellipse>("ransac_ellipse", {"_ps", "count", "min_r", "max_r", "ratio", "delta"});
constexpr auto kRansacLine = define<ransac_line>("ransac_line", {"_ps", "_ms", "count", "delta", "slope_limit"});
constexpr auto kRansacLine2 = define<ransac_line2>("ransac_line2", {"_ps", "_ms", "count", "ratio", "delta"});

constexpr FunctionSpec kRows[] = {
    kCalculateLchBounds.spec(), kMaskImagePy.spec(),        kMaskImage.spec(),       kSelectiveGrayscale.spec(),
    kMaskColor.spec(),          kMaskImageCyImpl.spec(),    kSelectiveGrayscaleImpl.spec(), kSimpleEdgeHsv.spec(),
    kSimpleEdge.spec(),         kSimpleDenoise.spec(),      kRemoveInliers.spec(),   kRansacCircle.spec(),
    kRansacEllipse.spec(),      kRansacLine.spec(),         kRansacLine2.spec(),
};

constexpr FunctionTable kTable{kRows, static_cast<int>(sizeof kRows / sizeof kRows[0])};

}  // namespace

const FunctionTable& function_table() { return kTable; }

}  // namespace quorvane
