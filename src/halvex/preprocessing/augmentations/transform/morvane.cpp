// Crop using relative coordinates.
//
// RelativeCrop turns four fractions of the image into the pixel rectangle of
// Albumentations' Crop whenever the pipeline announces an image size, and
// leaves the cropping itself to Crop.  CropData / CropsData describe a set of
// candidate windows with an index over their edges for point look-ups, and
// MeshCrop picks one window of a regular mesh per sample, preferring windows
// that contain keypoints.

#include "frame/gil.hpp"
#include "frame/memory.hpp"
#include "frame/numpy.hpp"
#include "halvex/preprocessing/augmentations/transform/morvane/common.hpp"
#include "host/size_check.hpp"
#include "kernels/unit_range.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace {

using namespace halvex;
using namespace halvex::frame;
using namespace halvex::frame::python;
using host::SizeCheckedTransform;
using host::TransformClass;

SizeCheckedTransform relative_crop{"RelativeCrop"};
TransformClass mesh_crop{"MeshCrop"};

// Names used on every sample.
const Name x_min{"x_min"}, y_min{"y_min"}, x_max{"x_max"}, y_max{"y_max"};
const Name x_min_percent{"x_min_percent"}, y_min_percent{"y_min_percent"}, x_max_percent{"x_max_percent"},
    y_max_percent{"y_max_percent"}, update_child{"update_child"};
const Name random_name{"random"}, round_name{"round"}, crop_data_name{"CropData"}, crops_data_name{"CropsData"},
    print_name{"print"};

// Python's round(value): ties go to the even neighbour.  A finite float is
// rounded here the same way (the default rounding mode is to nearest, ties to
// even); anything else, NaN and infinities included, goes to round() itself
// for its result or its error.
Ref python_round(Borrowed value) {
    if (PyFloat_CheckExact(value.get())) {
        const double x = PyFloat_AS_DOUBLE(value.get());
        if (std::isfinite(x)) return Ref::steal(PyLong_FromDouble(std::nearbyint(x)));
    }
    return global(round_name)(value);
}

// ---- RelativeCrop ---------------------------------------------------------------

// The fractions along one axis must satisfy 0 <= low <= high <= 1, tested as
// Python's chained comparison does, which also rejects NaN.
void check_fraction_range(Borrowed self, const char* axis) {
    std::string low_name = std::string(axis) + "_min_percent", high_name = std::string(axis) + "_max_percent";
    Ref low = self.attr(low_name.c_str()), high = self.attr(high_name.c_str());
    Ref zero = number(0), one = number(1);
    if (compare(zero, low, Py_LE) && compare(low, high, Py_LE) && compare(high, one, Py_LE)) return;
    Ref name = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.get()))).attr("__name__");
    raise(PyExc_ValueError,
          "The %s coordinates for the Transformation \"%S\" are invalid:\"0 <= %S = %s min [%%] <= %S = %s max "
          "[%%] <= 1\" does not hold",
          axis, name.get(), low.get(), axis, high.get(), axis);
}

Ref relative_crop_init(Borrowed self, Borrowed x_min_fraction, Borrowed y_min_fraction, Borrowed x_max_fraction,
                       Borrowed y_max_fraction, Borrowed always_apply, Borrowed p) {
    // The pixel rectangle is a placeholder until the first image size.
    relative_crop.base_attribute(self, host::names::init)(kw("x_min", 0), kw("y_min", 0), kw("x_max", 1),
                                                          kw("y_max", 1), kw("always_apply", always_apply), kw("p", p));
    // The fractions only work with a Crop that keeps these four fields.
    for (const Name* field : {&x_min, &x_max, &y_min, &y_max}) {
        Ref value = Ref::steal_or_null(PyObject_GetAttr(self, *field));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error();
            PyErr_Clear();
        }
        if (!value || value.is_none())
            raise(PyExc_NotImplementedError,
                  "This version of Albumentations is incompatible with the RelativeCrop augmentation.Make sure "
                  "that you use the recommended version of Albumentations and reportthis incompatibility to a "
                  "Halvex developer.");
    }
    // The fractions, each axis checked.
    self.set_attr("x_min_percent", x_min_fraction);
    self.set_attr("y_min_percent", y_min_fraction);
    self.set_attr("x_max_percent", x_max_fraction);
    self.set_attr("y_max_percent", y_max_fraction);
    check_fraction_range(self, "x");
    check_fraction_range(self, "y");
    relative_crop.forget_input_size(self);
    self.set_attr("applied_in_replay", Py_True);
    return Ref::none();
}

// The first base update supplies the image size, the second one the
// dictionary the apply calls receive; in between the pixel rectangle follows.
Ref relative_crop_update_params(Borrowed self, Borrowed params, Borrowed kwargs) {
    return relative_crop.update_params(self, params, kwargs, [&] { self.attr(update_child)(); });
}

// Python's max(round(fraction * length), low + 1), with the low edge read back
// from the object as it was just stored.
void set_high_edge(Borrowed self, Borrowed high_name, Borrowed fraction_name, Borrowed low_name, Borrowed length) {
    Ref rounded = python_round(multiply(self.attr(fraction_name), length));
    Ref one_past_low = add(self.attr(low_name), number(1));
    host::set(self, high_name, compare(one_past_low, rounded, Py_GT) ? one_past_low : rounded);
}

// A one-pixel crop at the far border is moved back inside the image.
void move_inside(Borrowed self, Borrowed high_name, Borrowed low_name, Borrowed length) {
    if (!compare(self.attr(high_name), length, Py_GT)) return;
    Ref one = number(1);
    host::set(self, high_name, subtract(self.attr(high_name), one));
    host::set(self, low_name, subtract(self.attr(low_name), one));
}

Ref relative_crop_update_child(Borrowed self) {
    Ref width = relative_crop.last_width(self), height = relative_crop.last_height(self);
    // The low edges: Python's round, ties go to the even neighbour.
    host::set(self, x_min, python_round(multiply(self.attr(x_min_percent), width)));
    host::set(self, y_min, python_round(multiply(self.attr(y_min_percent), height)));
    // The high edges: the crop is never empty.
    set_high_edge(self, x_max, x_max_percent, x_min, width);
    set_high_edge(self, y_max, y_max_percent, y_min, height);
    // A one-pixel crop at the far border moves back inside.
    move_inside(self, y_max, y_min, height);
    move_inside(self, x_max, x_min, width);
    return Ref::none();
}

Ref relative_crop_apply(Borrowed self, Borrowed img, Kwargs params) {
    return relative_crop.checked_base_call(self, host::names::apply, img, params);
}

Ref relative_crop_apply_to_bbox(Borrowed self, Borrowed bbox, Kwargs kwargs) {
    return expect_type(relative_crop.checked_base_call(self, host::names::apply_to_bbox, bbox, kwargs), &PyTuple_Type);
}

Ref relative_crop_apply_to_keypoints(Borrowed self, Borrowed keypoints, Kwargs params) {
    return relative_crop.checked_base_call(self, host::names::apply_to_keypoints, keypoints, params);
}

Ref relative_crop_init_args_names(Borrowed) {
    return Ref::steal(Py_BuildValue("(ssss)", "x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent"));
}

const Callable relative_crop_methods[] = {
    {"RelativeCrop.__init__(self, double x_min_percent: float = 0.0, double y_min_percent: float = 0.0,"
     " double x_max_percent: float = 1.0, double y_max_percent: float = 1.0, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", bound<relative_crop_init>},
    {"RelativeCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute crop coordinates.", bound<relative_crop_update_params>},
    {"RelativeCrop.update_child(self) -> None", "Update absolute crop coordinates from percent coordinates.",
     bound<relative_crop_update_child>},
    {"RelativeCrop.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Validate that Albumentations passed expected rows/cols after update.", bound<host::check_after_update>},
    {"RelativeCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", bound<relative_crop_apply>},
    {"RelativeCrop.apply_to_bbox(self, tuple bbox: tuple[float, ...], **kwargs: Any) -> tuple[float, ...]",
     "Apply the crop to a bounding box.", bound<relative_crop_apply_to_bbox>},
    {"RelativeCrop.apply_to_keypoints(self, keypoints: Any, **params: Any) -> Any", "Apply the crop to keypoints.",
     bound<relative_crop_apply_to_keypoints>},
    {"RelativeCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return init argument names for Albumentations serialization.", bound<relative_crop_init_args_names>},
    {"RelativeCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.",
     bound<host::get_class_fullname>, Binding::class_method},
};

// ---- MeshCrop -------------------------------------------------------------------

// Where window `i` along one axis starts: its column (row) number for pixel
// sizes, otherwise spread so that the first window starts at 0 and the last
// one ends at 1.
Ref window_start(Borrowed self, Borrowed i, const char* count_name, const char* size_name) {
    Ref count = self.attr(count_name);
    // 0 <= i < count
    if (!(compare(number(0), i, Py_LE) && compare(i, count, Py_LT)))
        raise(PyExc_Exception, "i=%S must be in the range [0, %S).", i.get(), count.get());
    // Pixel sizes: the window's number is its start.
    Ref size = self.attr(size_name);
    if (compare(size, number(1), Py_GT)) return as_float(i);
    // Fractions: the windows are spread evenly over [0, 1 - size].
    Ref start = multiply(i, subtract(number(1), size));
    if (compare(start, number(0), Py_EQ)) return to_python(0.0);
    HALVEX_ASSERT(compare(count, number(1), Py_GT),
                  "Number of crops is larger than 1, because otherwise i would be 0 and we would have already "
                  "returned.");
    return divide(start, subtract(count, number(1)));
}

// The end of window `i`, or the window size itself for pixel sizes.
Ref window_end(Borrowed self, Borrowed i, const char* start_method, const char* size_name) {
    Ref size = self.attr(size_name);
    if (compare(size, number(1), Py_GT)) return size;
    return add(self.call_method(start_method, i), size);
}

Ref mesh_crop_x1(Borrowed self, Borrowed i) { return window_start(self, i, "number_crops_x", "morvane_width"); }
Ref mesh_crop_x2(Borrowed self, Borrowed i) { return window_end(self, i, "x1", "morvane_width"); }
Ref mesh_crop_y1(Borrowed self, Borrowed i) { return window_start(self, i, "number_crops_y", "morvane_height"); }
Ref mesh_crop_y2(Borrowed self, Borrowed i) { return window_end(self, i, "y1", "morvane_height"); }

Ref mesh_crop_batches_per_index(Borrowed self) {
    Ref product = multiply(self.attr("number_crops_x"), self.attr("number_crops_y"));
    if (PyLong_CheckExact(product.get())) return product;
    if (!PyNumber_Check(product))
        raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(product.get())->tp_name);
    return as_int(product);
}

// How many entries one axis of the CropsData lookup index gets: every window
// is filed under each distinct edge value of that axis within [start, end).
// The edges of a column are the same in every row, so one pass over the
// columns (rows) gives it.
double index_entries(Borrowed self, Py_ssize_t count, const char* start_name, const char* end_name) {
    std::vector<double> starts, ends;
    starts.reserve(static_cast<std::size_t>(count));
    ends.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref position = to_python(i);
        starts.push_back(self.call_method(start_name, position).to_double());
        ends.push_back(self.call_method(end_name, position).to_double());
    }
    std::vector<double> values(starts);
    values.insert(values.end(), ends.begin(), ends.end());
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    double entries = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const auto first = std::lower_bound(values.begin(), values.end(), starts[i]);
        const auto last = std::lower_bound(values.begin(), values.end(), ends[i]);
        if (first < last) entries += static_cast<double>(last - first);
    }
    return entries;
}

// Refuse at once a mesh that cannot fit, rather than growing for minutes
// until the machine gives out.  A window is a CropData instance with its
// attribute dictionary and edges, well over a kilobyte (about 4 KB measured);
// each entry of the lookup index is at least a set slot of 16 bytes.  The
// window count is checked first, so the edges are only asked for when there
// are few enough columns and rows to list.
void require_mesh_memory(Borrowed self, Py_ssize_t columns, Py_ssize_t rows) {
    const double windows = static_cast<double>(columns) * static_cast<double>(rows);
    require_memory(windows, 1024, "mesh windows");
    const double entries = static_cast<double>(rows) * index_entries(self, columns, "x1", "x2") +
                           static_cast<double>(columns) * index_entries(self, rows, "y1", "y2");
    require_memory(windows, 1024 + entries * 16 / windows, "mesh windows with their lookup index");
}

Ref mesh_crop_init(Borrowed self, Borrowed number_crops_x, Borrowed number_crops_y, Borrowed morvane_width,
                   Borrowed morvane_height, Borrowed renorm, Kwargs) {
    // A RelativeCrop over the whole image until a window is chosen.
    mesh_crop.base_attribute(self, host::names::init)(kw("x_min_percent", 0.0), kw("y_min_percent", 0.0),
                                                      kw("x_max_percent", 1.0), kw("y_max_percent", 1.0),
                                                      kw("always_apply", true), kw("p", 1.0));
    self.set_attr("number_crops_x", number_crops_x);
    self.set_attr("number_crops_y", number_crops_y);
    self.set_attr("morvane_width", morvane_width);
    self.set_attr("morvane_height", morvane_height);
    self.set_attr("renorm", renorm);
    self.set_attr("crop", Py_None);
    self.set_attr("crops", Py_None);
    // The windows of product(range(number_crops_x), range(number_crops_y)): x outer, y inner.
    const Py_ssize_t columns = number_crops_x.to_ssize(), rows = number_crops_y.to_ssize();
    if (columns > 0 && rows > 0) require_mesh_memory(self, columns, rows);
    Ref windows = Ref::steal(PyList_New(0));
    Ref crop_data = global(crop_data_name);
    Py_ssize_t k = 0;
    for (Py_ssize_t ix = 0; ix < columns; ++ix) {
        Ref column = to_python(ix);
        for (Py_ssize_t iy = 0; iy < rows; ++iy, ++k) {
            Ref row = to_python(iy);
            Ref window =
                crop_data(k, self.attr("batches_per_index"), self.call_method("x1", column),
                          self.call_method("x2", column), self.call_method("y1", row), self.call_method("y2", row),
                          kw("number_of_crops_x", number_crops_x), kw("number_of_crops_y", number_crops_y));
            check(PyList_Append(windows, window));
        }
    }
    self.set_attr("all_crops", global(crops_data_name)(windows));
    self.set_attr("params", Ref::steal(PyDict_New()));
    return Ref::none();
}

Ref mesh_crop_update_crops(Borrowed self, Borrowed crops) {
    self.set_attr("always_apply", Py_True);
    self.set_attr("p", to_python(1.0));
    self.set_attr("crops", crops);
    self.set_attr("applied_in_replay", Py_True);
    self.call_method("update_child");
    return Ref::none();
}

Ref mesh_crop_apply_crop(Borrowed self, Borrowed crop) {
    // A copy, so that normalising the candidates leaves the caller's crop alone.
    Ref single = Ref::steal(PyList_New(0));
    check(PyList_Append(single, global(morvane::names::copy).attr("copy")(crop)));
    self.set_attr("crops", global(crops_data_name)(single));
    self.set_attr("always_apply", Py_True);
    self.set_attr("applied_in_replay", Py_True);
    self.set_attr("p", to_python(1.0));
    self.call_method("update_child");
    return Ref::none();
}

// The windows that were hit, as a list for random.choice.  A set of crops
// iterates in the order of their addresses, which differs from run to run;
// listing them in candidate order instead makes a seeded run repeat exactly.
Ref in_candidate_order(Borrowed hit, Borrowed candidates) {
    Ref ordered = Ref::steal(PyList_New(0));
    Ref listed = Ref::steal(PySet_New(nullptr));
    auto take = [&](Borrowed crop) {
        if (check(PySet_Contains(hit, crop)) && !check(PySet_Contains(listed, crop))) {
            check(PyList_Append(ordered, crop));
            check(PySet_Add(listed, crop));
        }
    };
    for_each(candidates, take);
    if (PyList_GET_SIZE(ordered.get()) < PySet_GET_SIZE(hit.get())) for_each(hit, take);
    return ordered;
}

Ref mesh_crop_apply_to_keypoints(Borrowed self, Borrowed keypoints, Borrowed rows, Borrowed cols, Borrowed params) {
    Ref crops = self.attr("crops");
    // A window is chosen only when there are candidates.
    if (!crops.is_none() && crops.attr("data").truth()) {
        if (!rows.is_none() && !cols.is_none()) crops.call_method("normalize", cols, rows);
        Ref chosen;
        Ref candidates = crops.attr("data");
        Ref random = global(random_name);
        // Half the time, when there is a choice, a window that holds a box centre.
        if (check(PyObject_Size(candidates)) > 1 && compare(random.call_method("random"), to_python(0.5), Py_GT)) {
            // Every third keypoint is a box centre; the last of them is left out.
            Ref centres = keypoints.item(slice(Py_None, Py_None, number(3))).item(slice(Py_None, number(-1), Py_None));
            // The windows that hold one of them.
            Ref hit = Ref::steal(PySet_New(nullptr));
            Ref find_crop = crops.attr("find_crop");
            for_each(centres, [&](Borrowed keypoint) {
                Ref x = keypoint.at(0), y = keypoint.at(1);
                Ref found = find_crop(divide(x, cols), divide(y, rows));
                for_each(found, [&](Borrowed crop) { check(PySet_Add(hit, crop)); });
            });
            // None of the centres in any window: the documented behaviour prints
            // "weird" (through the module's `print`) and draws from all
            // candidates; the message is kept on purpose, not left over.
            if (PySet_GET_SIZE(hit.get()) > 0)
                chosen = random.call_method("choice", in_candidate_order(hit, candidates));
            else if (check(PyObject_Size(centres)) > 0)
                global(print_name)("weird");
        }
        if (!chosen) chosen = random.call_method("choice", candidates);
        // The chosen window becomes the crop's fractions and pixel rectangle.
        host::set(self, x_min_percent, as_float(chosen.attr("x1")));
        host::set(self, x_max_percent, as_float(chosen.attr("x2")));
        host::set(self, y_min_percent, as_float(chosen.attr("y1")));
        host::set(self, y_max_percent, as_float(chosen.attr("y2")));
        self.set_attr("crop", chosen);
        self.attr(update_child)();
    }
    // The base class crops the keypoints, with rows and cols handed on.
    Ref keywords = Ref::steal(PyDict_New());
    check(PyDict_SetItem(keywords, host::names::rows, rows));
    check(PyDict_SetItem(keywords, host::names::cols, cols));
    check(PyDict_Update(keywords, params));
    return mesh_crop.call_base(self, host::names::apply_to_keypoints, {keypoints}, keywords);
}

// The documented numpy operations, for every image the native pass does not
// take; numpy raises its own errors here (an integer image cannot hold the
// rescaled values).
Ref rescaled_with_numpy(Borrowed image) {
    Ref np = global("np");
    const double lowest = as_float(np.attr("min")(image)).to_double();
    const double highest = as_float(np.attr("max")(image)).to_double();
    const double span = highest - lowest;
    if (!(span > 0)) return Ref::borrow(image);
    Ref result = image.call_method("copy");
    np.attr("subtract")(result, lowest, kw("out", result));
    np.attr("multiply")(result, 2 / span, kw("out", result));
    np.attr("subtract")(result, 1.0, kw("out", result));
    np.attr("clip")(result, -1.0, 1.0, kw("out", result));
    return result;
}

template <class T>
std::optional<Ref> rescaled_natively(Borrowed image, PyArrayObject* array) {
    const kernels::StridedLayout layout = layout_of(array);
    char* data = static_cast<char*>(PyArray_DATA(array));
    const bool long_running = PyArray_SIZE(array) >= elements_worth_releasing_the_gil;
    const auto range = without_gil_if(long_running, [&] { return kernels::value_range<T>(data, layout); });
    const double span = static_cast<double>(range.highest) - static_cast<double>(range.lowest);
    if (range.has_nan || !(span > 0)) return Ref::borrow(image);
    const double scale = 2 / span;
    // numpy rounds the Python float scale to the image's type; one that does
    // not fit makes numpy warn about the cast.
    if constexpr (std::is_same_v<T, float>)
        if (scale >= 0x1.ffffffp127) return std::nullopt;
    Ref result = Ref::steal(PyArray_SimpleNew(layout.rank, PyArray_DIMS(array), PyArray_TYPE(array)));
    T* output = static_cast<T*>(PyArray_DATA(as_array(result)));
    const bool rescaled = without_gil_if(long_running, [&] {
        return kernels::rescale_to_unit_range<T>(data, layout, output, range.lowest, static_cast<T>(scale));
    });
    if (!rescaled) return std::nullopt;
    return result;
}

// clip(((image - min) * 2 / span) - 1, -1, 1) on a copy, in one pass for the
// float types, with each step rounded as numpy's in-place ufuncs round it.
Ref rescaled_to_unit_range(Borrowed image) {
    if (PyArrayObject* array = plain_array(image); array != nullptr && PyArray_SIZE(array) > 0) {
        std::optional<Ref> result;
        with_element_type(array, FloatTypes{},
                          [&]<class T>(type_tag<T>) { result = rescaled_natively<T>(image, array); });
        if (result) return *result;
    }
    return rescaled_with_numpy(image);
}

Ref mesh_crop_apply(Borrowed self, Borrowed img, Kwargs params) {
    // The base class crops; the crop is rescaled onto [-1, 1] where asked for.
    Ref image = mesh_crop.call_base(self, host::names::apply, {img}, params);
    if (!self.attr("renorm").truth()) return image;
    return rescaled_to_unit_range(image);
}

Ref mesh_crop_init_args_names(Borrowed) {
    return Ref::steal(Py_BuildValue("(ssss)", "number_crops_x", "number_crops_y", "morvane_width", "morvane_height"));
}

const Callable mesh_crop_methods[] = {
    {"MeshCrop.__init__(self, int number_crops_x: int, int number_crops_y: int, double morvane_width: float,"
     " double morvane_height: float, bool renorm: bool = True, **_kwargs: Any) -> None",
     "Initialize the transform.", bound<mesh_crop_init>},
    {"MeshCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", bound<mesh_crop_apply>},
    {"MeshCrop.apply_to_keypoints(self, keypoints: Any, int rows: int | None = None, int cols: int | None = None,"
     " **params: Any) -> Any",
     "Apply the crop to keypoints.", bound<mesh_crop_apply_to_keypoints>},
    {"MeshCrop.update_crops(self, crops: CropsData) -> None", "Update crops and enable transform.",
     bound<mesh_crop_update_crops>},
    {"MeshCrop.apply_crop(self, crop: CropData) -> None", "Apply a single crop.", bound<mesh_crop_apply_crop>},
    {"MeshCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return init argument names for Albumentations serialization.", bound<mesh_crop_init_args_names>},
    {"MeshCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.", bound<host::get_class_fullname>,
     Binding::class_method},
    {"MeshCrop.x1(self, int i: int) -> float", "Return relative x1 for crop index.", bound<mesh_crop_x1>},
    {"MeshCrop.x2(self, int i: int) -> float", "Return relative x2 for crop index.", bound<mesh_crop_x2>},
    {"MeshCrop.y1(self, int i: int) -> float", "Return relative y1 for crop index.", bound<mesh_crop_y1>},
    {"MeshCrop.y2(self, int i: int) -> float", "Return relative y2 for crop index.", bound<mesh_crop_y2>},
    {"MeshCrop.batches_per_index(self) -> int", "Return number of batches per index.",
     bound<mesh_crop_batches_per_index>, Binding::property},
};

void body(ModuleBuilder& module) {
    module.import_module("numpy", "np");
    import_numpy_api();
    module.import_module("copy", "copy");
    module.import_module("random", "random");
    module.import_from("typing", {"Any"});
    module.import_from("albumentations", {"Crop"});
    relative_crop.define(module, {"Crop"}, "Crop using relative coordinates.", relative_crop_methods);
    module.define_class("CropData", {}, "Container for a single crop definition.", morvane::crop_data_methods);
    module.define_class("CropsData", {}, "Collection of crops with indices for fast lookup.",
                        morvane::crops_data_methods);
    mesh_crop.define(module, {"RelativeCrop"}, "Crop using a mesh of relative crops.", mesh_crop_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_morvane() {
    return halvex::frame::module_init({"morvane", "halvex.preprocessing.augmentations.transform.morvane",
                                       "Crop using relative coordinates.", HALVEX_MODULE_SOURCE, body});
}
