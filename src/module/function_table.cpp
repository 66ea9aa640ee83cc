// The function table: one row per exported function, in the order the
// module creates them. A row gives the name, the parameters with their
// kinds and defaults, and the body. A new function needs a kernel, a row
// here and a body in bodies_*.cpp.
#include "bodies.h"
#include "signature.h"

namespace quorvane {
namespace {

constexpr Kind kObject = Kind::Object, kInt = Kind::Int32, kDouble = Kind::Double,
               kBounds = Kind::BoundsMapping, kPoints = Kind::PointList,
               kPointsView = Kind::PointListView, kMask = Kind::PointMask, kByteImage = Kind::ByteImage;

constexpr Param kCalculateLchBounds[] = {
    {"hue_limit"}, {"chroma_limit"}, {"intensity_limit"}, {"rgb_bits", kObject, Default::Int, 8}};
constexpr Param kMaskImagePy[] = {{"image"}, {"bounds"}};
// Converted inside the body, after the default buffer and the bounds mapping are made.
constexpr Param kMaskImage[] = {{"image"}, {"bounds"}, {"buffer", kObject, Default::None}};
constexpr Param kMaskColor[] = {{"color"}, {"bounds"}};
constexpr Param kImagePass[] = {
    {"_image", Kind::RgbImage, Default::Required, 0, "image"}, {"_output", kByteImage}, {"bounds", kBounds}};
constexpr Param kSimpleEdgeHsv[] = {
    {"_image", Kind::RgbImageUchar}, {"_ps", kPoints}, {"bounds", kBounds}, {"row_count", kInt},
    {"column_count", kInt}};
constexpr Param kSimpleEdge[] = {
    {"_image", kByteImage}, {"_ps", kPoints}, {"row_count", kInt}, {"column_count", kInt}};
constexpr Param kSimpleDenoise[] = {{"_ps_in", kPointsView}, {"_ps_out", kPointsView}, {"min_distance", kInt}};
constexpr Param kRemoveInliers[] = {{"_ps_in", kPointsView}, {"_ps_out", kPointsView}, {"_ms", kMask}};
constexpr Param kRansacCircle[] = {
    {"_ps", kPoints}, {"count", kInt}, {"min_r", kInt}, {"max_r", kInt}, {"delta", kInt}};
constexpr Param kRansacEllipse[] = {
    {"_ps", kPoints}, {"count", kInt}, {"min_r", kInt}, {"max_r", kInt}, {"ratio", kDouble}, {"delta", kInt}};
constexpr Param kRansacLine[] = {
    {"_ps", kPoints}, {"_ms", kMask}, {"count", kInt}, {"delta", kInt}, {"slope_limit", kDouble}};
constexpr Param kRansacLine2[] = {
    {"_ps", kPoints}, {"_ms", kMask}, {"count", kInt}, {"ratio", kDouble}, {"delta", kInt}};

template <std::size_t N>
constexpr FunctionSpec row(const char* name, const Param (&params)[N], Body body) {
    static_assert(N <= kMaxParams);
    return FunctionSpec{name, params, static_cast<int>(N), body};
}

constexpr FunctionSpec kRows[] = {
    row("calculate_lch_bounds", kCalculateLchBounds, body::calculate_lch_bounds),
    row("mask_image_py", kMaskImagePy, body::mask_image_py),
    row("mask_image", kMaskImage, body::mask_image),
    row("selective_grayscale", kMaskImage, body::selective_grayscale),
    row("mask_color", kMaskColor, body::mask_color),
    row("mask_image_cy_impl", kImagePass, body::mask_image_cy_impl),
    row("selective_grayscale_impl", kImagePass, body::selective_grayscale_impl),
    row("simple_edge_hsv", kSimpleEdgeHsv, body::simple_edge_hsv),
    row("simple_edge", kSimpleEdge, body::simple_edge),
    row("simple_denoise", kSimpleDenoise, body::simple_denoise),
    row("remove_inliers", kRemoveInliers, body::remove_inliers),
    row("ransac_circle", kRansacCircle, body::ransac_circle),
    row("ransac_ellipse", kRansacEllipse, body::ransac_ellipse),
    row("ransac_line", kRansacLine, body::ransac_line),
    row("ransac_line2", kRansacLine2, body::ransac_line2),
};

constexpr FunctionTable kTable{kRows, static_cast<int>(sizeof kRows / sizeof kRows[0])};

}  // namespace

const FunctionTable& function_table() { return kTable; }

}  // namespace quorvane
