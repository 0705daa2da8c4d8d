// Conversions between rotated-box conventions.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/row_work.hpp"
#include "halvex/ops/families.hpp"
#include "kernels/box_conventions.hpp"

#include <array>
#include <string>
#include <string_view>

namespace halvex::ops {

namespace {

using frame::Borrowed;
using frame::Call;
using frame::Ref;
using kernels::BoxFormat;

constexpr std::array<std::pair<std::string_view, BoxFormat>, kernels::box_format_count> format_names = {{
    {"orva", BoxFormat::orva},
    {"cxcywhr", BoxFormat::cxcywhr},
    {"xywhr", BoxFormat::xywhr},
    {"xyxyxyxy", BoxFormat::xyxyxyxy},
    {"opencv", BoxFormat::opencv},
    {"le90", BoxFormat::le90},
    {"le135", BoxFormat::le135},
    {"oc", BoxFormat::oc},
    {"ultralytics", BoxFormat::ultralytics},
    {"poly", BoxFormat::poly},
}};

BoxFormat format_named(Borrowed name) {
    const std::string text = name.to_utf8();
    for (const auto& [known, format] : format_names)
        if (text == known) return format;
    std::string choices;
    for (const auto& [known, format] : format_names) {
        choices += choices.empty() ? "'" : ", '";
        choices += known;
        choices += "'";
    }
    frame::raise(PyExc_ValueError, "unknown box format %R; the formats are %s", name.get(), choices.c_str());
}

// float32 boxes stay float32; anything else is read as float64, converted by
// numpy (so its own errors and warnings apply to what it cannot convert).
Ref as_float_array(Borrowed boxes) {
    const bool single =
        PyArray_Check(boxes.get()) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(boxes.get())) == NPY_FLOAT;
    PyArray_Descr* type = PyArray_DescrFromType(single ? NPY_FLOAT : NPY_DOUBLE);  // the call steals it
    return Ref::steal(
        PyArray_FromAny(boxes, type, 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED | NPY_ARRAY_FORCECAST, nullptr));
}

// The rows of the boxes, checked against the shape their format needs:
// (n, 5) for the five-number formats, (n, 8) or (n, 4, 2) for corners.
template <class T>
kernels::BoxRows<T> rows_of(PyArrayObject* array, BoxFormat format, std::string_view name) {
    const int dimensions = PyArray_NDIM(array);
    kernels::BoxRows<T> rows;
    rows.data = static_cast<const char*>(PyArray_DATA(array));
    if (dimensions >= 1) {
        rows.count = PyArray_DIM(array, 0);
        rows.row_stride = PyArray_STRIDE(array, 0);
    }
    const int values = kernels::values_per_box(format);
    if (dimensions == 2 && PyArray_DIM(array, 1) == values) {
        for (int j = 0; j < values; ++j) rows.column_offsets[j] = j * PyArray_STRIDE(array, 1);
        return rows;
    }
    if (kernels::is_corner_format(format)) {
        if (dimensions == 3 && PyArray_DIM(array, 1) == 4 && PyArray_DIM(array, 2) == 2) {
            for (int j = 0; j < 8; ++j)
                rows.column_offsets[j] = (j / 2) * PyArray_STRIDE(array, 1) + (j % 2) * PyArray_STRIDE(array, 2);
            return rows;
        }
        frame::raise(PyExc_ValueError, "boxes in format '%.*s' must have shape (n, 8) or (n, 4, 2), not %s",
                     static_cast<int>(name.size()), name.data(), frame::shape_text(array).c_str());
    }
    frame::raise(PyExc_ValueError, "boxes in format '%.*s' must have shape (n, 5), not %s",
                 static_cast<int>(name.size()), name.data(), frame::shape_text(array).c_str());
}

// What converting one box costs on one thread (nanoseconds, calls on 10^5
// float64 boxes): fitting rectangles to polygons costs half as much again as
// the other conversions.
double nanoseconds_per_box(BoxFormat from) { return from == BoxFormat::poly ? 32 : 20; }

template <class T>
Ref converted(PyArrayObject* boxes, BoxFormat from, BoxFormat to, std::string_view from_name) {
    const kernels::BoxRows<T> rows = rows_of<T>(boxes, from, from_name);
    const int written = kernels::values_per_box(to);
    Ref result = frame::new_array({rows.count, written}, frame::numpy_type<T>());
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    // Large conversions split at whole conversion blocks, so the bits do not
    // depend on the thread count.  The input array is owned by the call (a
    // reference, or numpy's converted copy) and the output is not yet
    // visible to Python, so long conversions run without the GIL.
    frame::run_rows({rows.count, nanoseconds_per_box(from), 1, kernels::box_conversion_block},
                    [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                        kernels::convert_boxes(rows.rows(begin, end), from, to, out + begin * written);
                    });
    return result;
}

Ref box_convert(Call& call) {
    Borrowed boxes = call[0];
    const BoxFormat from = format_named(call[1]);
    const BoxFormat to = format_named(call[2]);
    Ref array = as_float_array(boxes);
    auto* values = reinterpret_cast<PyArrayObject*>(array.get());
    const std::string from_name = call[1].to_utf8();
    if (PyArray_TYPE(values) == NPY_FLOAT) return converted<float>(values, from, to, from_name);
    return converted<double>(values, from, to, from_name);
}

const frame::Callable functions[] = {
    {"box_convert(boxes: np.ndarray[Any, Any], str in_fmt: Literal['orva', 'cxcywhr', 'xywhr', 'xyxyxyxy', "
     "'opencv', 'le90', 'le135', 'oc', 'ultralytics', 'poly'], str out_fmt: Literal['orva', 'cxcywhr', 'xywhr', "
     "'xyxyxyxy', 'opencv', 'le90', 'le135', 'oc', 'ultralytics', 'poly']) -> np.ndarray[Any, Any]",
     "Convert rotated boxes from one library's convention to another's.\n"
     "\n"
     "Five-number formats take and give (n, 5); corner formats give (n, 8) and take (n, 8) or (n, 4, 2).\n"
     "float32 boxes give float32, anything else float64 (computed in float64 either way). Non-finite values\n"
     "give non-finite results. Angles turn counter-clockwise on a y-down image in 'orva' and torchvision's\n"
     "formats, clockwise in OpenCV's, mmrotate's and ultralytics'.\n"
     "\n"
     "- 'orva': cx, cy, w, h, rotation in radians, counter-clockwise (halvex's own, as kestril).\n"
     "- 'cxcywhr': torchvision CXCYWHR: cx, cy, w, h, angle in degrees, counter-clockwise.\n"
     "- 'xywhr': torchvision XYWHR: x1, y1 of the top-left corner, w, h, angle in degrees, counter-clockwise.\n"
     "- 'xyxyxyxy': torchvision XYXYXYXY: top-left, top-right, bottom-right, bottom-left corners of a rectangle.\n"
     "- 'opencv': cv2.RotatedRect as one row: cx, cy, w, h, angle in degrees, clockwise; output in [-90, 0) as\n"
     "  cv2.minAreaRect gives it.\n"
     "- 'le90': mmrotate: cx, cy, w, h, angle in radians, clockwise; output with w > h and angle in [-pi/2, pi/2).\n"
     "- 'le135': mmrotate: as 'le90', output with w > h and angle in [-pi/4, 3*pi/4).\n"
     "- 'oc': mmrotate: as 'le90', output with angle in [-pi/2, 0), width the side that angle gives.\n"
     "- 'ultralytics': YOLO OBB xywhr: cx, cy, w, h, angle in radians, clockwise; output in [0, pi/2), w and h\n"
     "  swapped when that takes a quarter turn (regularize_rboxes).\n"
     "- 'poly': four points in any order (DOTA labels); input is fitted with its minimum-area enclosing\n"
     "  rectangle, output is the four corners as 'xyxyxyxy'.",
     box_convert},
};

}  // namespace

const std::span<const frame::Callable> convention_functions{functions};

}  // namespace halvex::ops
