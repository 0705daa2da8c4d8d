// Crop using relative coordinates.
//
// RelativeCrop turns four fractions of the image into the pixel rectangle of
// Albumentations' Crop whenever the pipeline announces an image size, and
// leaves the cropping itself to Crop.  CropData / CropsData describe a set of
// candidate windows with an index over their edges for point look-ups, and
// MeshCrop picks one window of a regular mesh per sample, preferring windows
// that contain keypoints.

#include "frame/base_call.hpp"
#include "frame/memory.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/size_check.hpp"
#include "kernels/unit_range.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace {

using namespace halvex;
using frame::Borrowed;
using frame::Call;
using frame::global;
using frame::kw;
using frame::Ref;

// The class objects, for super(Class, self), and RelativeCrop's size check.
frame::Retained relative_crop_class;
frame::Retained mesh_crop_class;
frame::SizeCheck size_check;

// Names used on every sample, interned once at import so that attribute
// access does not look them up again.
struct Names {
    Borrowed x_min, y_min, x_max, y_max;
    Borrowed x_min_percent, y_min_percent, x_max_percent, y_max_percent;
    Borrowed last_input_width, last_input_height, update_child;
};
Names names;

void intern_names() {
    names = {frame::interned("x_min"),
             frame::interned("y_min"),
             frame::interned("x_max"),
             frame::interned("y_max"),
             frame::interned("x_min_percent"),
             frame::interned("y_min_percent"),
             frame::interned("x_max_percent"),
             frame::interned("y_max_percent"),
             frame::interned("_RelativeCrop__last_input_width"),
             frame::interned("_RelativeCrop__last_input_height"),
             frame::interned("update_child")};
}

Ref get(Borrowed object, Borrowed name) { return Ref::steal(PyObject_GetAttr(object, name)); }
void put(Borrowed object, Borrowed name, PyObject* value) { frame::check(PyObject_SetAttr(object, name, value)); }

// super(cls, self).name
Ref base_method(PyObject* cls, Borrowed self, const char* name) {
    return frame::base_attribute(cls, self, frame::interned(name));
}

// What the base class hands back is only used once it has the expected type.
using frame::expect_type;

bool compare(Borrowed left, Borrowed right, int operation) {
    return frame::check(PyObject_RichCompareBool(left, right, operation)) != 0;
}

Ref number(long value) { return frame::to_python(value); }
Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }
Ref divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
Ref as_float(Borrowed value) { return Ref::steal(PyNumber_Float(value)); }
// Python's round(value): ties go to the even neighbour.  A finite float is
// rounded here the same way (the default rounding mode is to nearest, ties to
// even); anything else, NaN and infinities included, goes to round() itself
// for its result or its error.
Ref python_round(Borrowed value) {
    if (PyFloat_CheckExact(value.get())) {
        const double x = PyFloat_AS_DOUBLE(value.get());
        if (std::isfinite(x)) return Ref::steal(PyLong_FromDouble(std::nearbyint(x)));
    }
    return global("round")(value);
}
Ref slice(PyObject* start, PyObject* stop, PyObject* step) { return Ref::steal(PySlice_New(start, stop, step)); }

// for item in iterable: visit(item)
template <class Visit>
void for_each(Borrowed iterable, Visit&& visit) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator))) visit(item);
    if (PyErr_Occurred()) throw frame::python_error();
}

Ref class_name(Call& call) {
    Ref name = call[0].attr("__name__");
    if (!PyUnicode_CheckExact(name.get()))
        frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.get())->tp_name);
    return name;
}

// ===========================================================================
// RelativeCrop
// ===========================================================================

// The fractions along one axis must satisfy 0 <= low <= high <= 1, tested as
// Python's chained comparison does, which also rejects NaN.
void check_fraction_range(Borrowed self, const char* axis) {
    std::string low_name = std::string(axis) + "_min_percent", high_name = std::string(axis) + "_max_percent";
    Ref low = self.attr(low_name.c_str()), high = self.attr(high_name.c_str());
    Ref zero = number(0), one = number(1);
    if (compare(zero, low, Py_LE) && compare(low, high, Py_LE) && compare(high, one, Py_LE)) return;
    Ref name = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.get()))).attr("__name__");
    frame::raise(PyExc_ValueError,
                 "The %s coordinates for the Transformation \"%S\" are invalid:\"0 <= %S = %s min [%%] <= %S = %s max "
                 "[%%] <= 1\" does not hold",
                 axis, name.get(), low.get(), axis, high.get(), axis);
}

Ref relative_crop_init(Call& call) {
    Borrowed self = call[0];
    // 1. The pixel rectangle is a placeholder until the first image size.
    base_method(relative_crop_class, self, "__init__")(kw("x_min", 0), kw("y_min", 0), kw("x_max", 1), kw("y_max", 1),
                                                        kw("always_apply", call[5]), kw("p", call[6]));
    // 2. The fractions only work with a Crop that keeps these four fields.
    for (const char* field : {"x_min", "x_max", "y_min", "y_max"}) {
        Ref value = Ref::steal_or_null(PyObject_GetAttr(self, frame::interned(field)));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw frame::python_error();
            PyErr_Clear();
        }
        if (!value || value.is_none())
            frame::raise(PyExc_NotImplementedError,
                         "This version of Albumentations is incompatible with the RelativeCrop augmentation.Make sure "
                         "that you use the recommended version of Albumentations and reportthis incompatibility to a "
                         "Halvex developer.");
    }
    // 3.
    self.set_attr("x_min_percent", call[1]);
    self.set_attr("y_min_percent", call[2]);
    self.set_attr("x_max_percent", call[3]);
    self.set_attr("y_max_percent", call[4]);
    // 4., 5.
    check_fraction_range(self, "x");
    check_fraction_range(self, "y");
    // 6.
    Ref zero = number(0);
    put(self, names.last_input_width, zero);
    put(self, names.last_input_height, zero);
    self.set_attr("applied_in_replay", Py_True);
    return Ref::none();
}

Ref relative_crop_update_params(Call& call) {
    Borrowed self = call[0], params = call[1], kwargs = call[2];
    // 1. The first base update supplies the image size ...
    Ref updated = expect_type(
        frame::call_base(relative_crop_class, self, frame::interned("update_params"), {params}, kwargs), &PyDict_Type);
    // 2.
    frame::record_input_size(self, "RelativeCrop", updated);
    // 3.
    get(self, names.update_child)();
    // 4. ... the second one the dictionary the apply calls receive.
    return expect_type(
        frame::call_base(relative_crop_class, self, frame::interned("update_params"), {updated}, kwargs), &PyDict_Type);
}

// Python's max(round(fraction * length), low + 1), with the low edge read back
// from the object as it was just stored.
void set_high_edge(Borrowed self, Borrowed high_name, Borrowed fraction_name, Borrowed low_name, Borrowed length) {
    Ref rounded = python_round(multiply(get(self, fraction_name), length));
    Ref one_past_low = add(get(self, low_name), number(1));
    put(self, high_name, compare(one_past_low, rounded, Py_GT) ? one_past_low : rounded);
}

// A one-pixel crop at the far border is moved back inside the image.
void move_inside(Borrowed self, Borrowed high_name, Borrowed low_name, Borrowed length) {
    if (!compare(get(self, high_name), length, Py_GT)) return;
    Ref one = number(1);
    put(self, high_name, subtract(get(self, high_name), one));
    put(self, low_name, subtract(get(self, low_name), one));
}

Ref relative_crop_update_child(Call& call) {
    Borrowed self = call[0];
    Ref width = get(self, names.last_input_width), height = get(self, names.last_input_height);
    // 1., 2. Python's round: ties go to the even neighbour.
    put(self, names.x_min, python_round(multiply(get(self, names.x_min_percent), width)));
    put(self, names.y_min, python_round(multiply(get(self, names.y_min_percent), height)));
    // 3., 4. The crop is never empty.
    set_high_edge(self, names.x_max, names.x_max_percent, names.x_min, width);
    set_high_edge(self, names.y_max, names.y_max_percent, names.y_min, height);
    // 5., 6.
    move_inside(self, names.y_max, names.y_min, height);
    move_inside(self, names.x_max, names.x_min, width);
    return Ref::none();
}

// The size check, then the base class's own `method` for the same argument.
Ref checked_base_call(Call& call, const char* method) {
    frame::run_size_check(call, 2, size_check);
    return frame::call_base(relative_crop_class, call[0], frame::interned(method), {call[1]}, call, 2);
}

Ref relative_crop_apply(Call& call) { return checked_base_call(call, "apply"); }

Ref relative_crop_apply_to_bbox(Call& call) {
    return expect_type(checked_base_call(call, "apply_to_bbox"), &PyTuple_Type);
}

Ref relative_crop_apply_to_keypoints(Call& call) { return checked_base_call(call, "apply_to_keypoints"); }

Ref relative_crop_init_args_names(Call&) {
    return Ref::steal(Py_BuildValue("(ssss)", "x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent"));
}

const frame::Callable relative_crop_methods[] = {
    {"RelativeCrop.__init__(self, double x_min_percent: float = 0.0, double y_min_percent: float = 0.0,"
     " double x_max_percent: float = 1.0, double y_max_percent: float = 1.0, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", relative_crop_init},
    {"RelativeCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute crop coordinates.", relative_crop_update_params},
    {"RelativeCrop.update_child(self) -> None", "Update absolute crop coordinates from percent coordinates.",
     relative_crop_update_child},
    {"RelativeCrop.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Validate that Albumentations passed expected rows/cols after update.", frame::check_after_update},
    {"RelativeCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", relative_crop_apply},
    {"RelativeCrop.apply_to_bbox(self, tuple bbox: tuple[float, ...], **kwargs: Any) -> tuple[float, ...]",
     "Apply the crop to a bounding box.", relative_crop_apply_to_bbox},
    {"RelativeCrop.apply_to_keypoints(self, keypoints: Any, **params: Any) -> Any", "Apply the crop to keypoints.",
     relative_crop_apply_to_keypoints},
    {"RelativeCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return init argument names for Albumentations serialization.", relative_crop_init_args_names},
    {"RelativeCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.", class_name,
     frame::Binding::class_method},
};

// ===========================================================================
// CropData, CropsData
// ===========================================================================

Ref crop_data_init(Call& call) {
    Borrowed self = call[0];
    static const char* const fields[] = {"index", "max", "x1", "x2", "y1", "y2", "number_of_crops_x",
                                         "number_of_crops_y"};
    for (std::size_t i = 0; i < std::size(fields); ++i) self.set_attr(fields[i], call[i + 1]);
    return Ref::none();
}

const frame::Callable crop_data_methods[] = {
    {"CropData.__init__(self, int index: int, int max: int, x1: float | int, x2: float | int, y1: float | int,"
     " y2: float | int, int number_of_crops_x: int, int number_of_crops_y: int) -> None",
     "Initialize the crop definition.", crop_data_init},
};

// crop.x2 > 1 or crop.y2 > 1
bool in_pixel_form(Borrowed crop) {
    Ref one = number(1);
    return compare(crop.attr("x2"), one, Py_GT) || compare(crop.attr("y2"), one, Py_GT);
}

Ref crops_data_init(Call& call) {
    Borrowed self = call[0], data = call[1];
    // 1., 2.
    self.set_attr("data", data);
    self.set_attr("og_data", global("copy").attr("deepcopy")(data));
    // 3.
    bool any_in_pixel_form = false;
    {
        Ref iterator = Ref::steal(PyObject_GetIter(data));
        while (Ref crop = Ref::steal_or_null(PyIter_Next(iterator)))
            if (in_pixel_form(crop)) {
                any_in_pixel_form = true;
                break;
            }
        if (PyErr_Occurred()) throw frame::python_error();
    }
    self.set_attr("_needs_norm", Ref::boolean(any_in_pixel_form));
    // 4.
    self.call_method("__post_init__");
    // 5. An empty list fails too: it is neither "all" nor "any".
    bool all_in_pixel_form = true;
    {
        Ref iterator = Ref::steal(PyObject_GetIter(data));
        while (Ref crop = Ref::steal_or_null(PyIter_Next(iterator)))
            if (!in_pixel_form(crop)) {
                all_in_pixel_form = false;
                break;
            }
        if (PyErr_Occurred()) throw frame::python_error();
    }
    if (compare(Ref::boolean(all_in_pixel_form), self.attr("_needs_norm"), Py_NE))
        frame::raise(PyExc_Exception, "Either configure all crops to need normalization, or none.");
    return Ref::none();
}

Ref crops_data_getitem(Call& call) { return call[0].attr("data").item(call[1]); }

Ref crops_data_len(Call& call) { return frame::to_python(frame::check(PyObject_Size(call[0].attr("data")))); }

// One axis of the index: the distinct edges ascending, and for each edge v
// the crops with low <= v < high.
struct AxisIndex {
    Ref values;  // list of float
    Ref index;   // dict float -> set
};

AxisIndex build_axis_index(Borrowed data, const char* low_name, const char* high_name) {
    Ref edges = Ref::steal(PySet_New(nullptr));
    for_each(data, [&](Borrowed crop) {
        frame::check(PySet_Add(edges, as_float(crop.attr(low_name))));
        frame::check(PySet_Add(edges, as_float(crop.attr(high_name))));
    });
    AxisIndex axis{Ref::steal(PySequence_List(edges)), Ref::steal(PyDict_New())};
    frame::check(PyList_Sort(axis.values));
    // The list is ours until it is stored, so the walk below may index it directly.
    const Py_ssize_t count = PyList_GET_SIZE(axis.values.get());
    for (Py_ssize_t i = 0; i < count; ++i)
        frame::check(PyDict_SetItem(axis.index, PyList_GET_ITEM(axis.values.get(), i), Ref::steal(PySet_New(nullptr))));
    for_each(data, [&](Borrowed crop) {
        const double low = as_float(crop.attr(low_name)).to_double();
        const double high = as_float(crop.attr(high_name)).to_double();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* value = PyList_GET_ITEM(axis.values.get(), i);
            const double edge = PyFloat_AS_DOUBLE(value);
            if (edge >= high) break;
            if (low <= edge) frame::check(PySet_Add(PyDict_GetItem(axis.index, value), crop));
        }
    });
    return axis;
}

Ref crops_data_post_init(Call& call) {
    Borrowed self = call[0];
    Ref data = self.attr("data");
    // Both value lists are collected before any index is built, so a crop
    // with a non-numeric edge fails before anything is replaced.
    AxisIndex x = build_axis_index(data, "x1", "x2");
    AxisIndex y = build_axis_index(data, "y1", "y2");
    self.set_attr("x_values", x.values);
    self.set_attr("y_values", y.values);
    self.set_attr("x_index", x.index);
    self.set_attr("y_index", y.index);
    return Ref::none();
}

// One axis of a pixel-form crop: its column (row) number in the mesh, its
// size in pixels, the mesh's column (row) count and the image length.  The
// arithmetic is Python's, on Python numbers.
void normalize_axis(Borrowed crop, Borrowed original, const char* low_name, const char* high_name,
                    const char* count_name, Borrowed length) {
    Ref position = original.attr(low_name), size = original.attr(high_name), count = original.attr(count_name);
    Ref one = number(1);
    Ref low, high;
    if (compare(size, length, Py_GE)) {
        low = number(0);
        high = frame::to_python(1.0);
    } else {
        // Equal gaps around and between the crops when they fit side by side.
        Ref gap = divide(subtract(length, multiply(count, size)), add(count, one));
        if (compare(gap, number(0), Py_GE)) {
            low = divide(add(gap, multiply(position, add(size, gap))), length);
        } else {
            // Otherwise they overlap, the first at the start and the last at the end.
            Ref spacing = divide(subtract(length, size), subtract(count, one));
            low = divide(multiply(spacing, position), length);
        }
        high = add(low, divide(size, length));
    }
    crop.set_attr(low_name, low);
    crop.set_attr(high_name, high);
}

Ref crops_data_normalize(Call& call) {
    Borrowed self = call[0], width = call[1], height = call[2];
    // 1.
    if (!self.attr("_needs_norm").truth()) return Ref::none();
    // 2. zip(data, og_data): every call starts again from the crops as first given.
    Ref crops = Ref::steal(PyObject_GetIter(self.attr("data")));
    Ref originals = Ref::steal(PyObject_GetIter(self.attr("og_data")));
    for (;;) {
        Ref crop = Ref::steal_or_null(PyIter_Next(crops));
        if (!crop) break;
        Ref original = Ref::steal_or_null(PyIter_Next(originals));
        if (!original) break;
        // 3., 4.
        normalize_axis(crop, original, "x1", "x2", "number_of_crops_x", width);
        normalize_axis(crop, original, "y1", "y2", "number_of_crops_y", height);
        // 5.
        if (frame::assertions_enabled()) {
            Ref zero = number(0), one = number(1);
            static const char* const edges[] = {"x1", "x2", "y1", "y2"};
            for (const char* edge : edges) HALVEX_ASSERT(compare(crop.attr(edge), zero, Py_GE));
            for (const char* edge : edges) HALVEX_ASSERT(compare(crop.attr(edge), one, Py_LE));
        }
    }
    if (PyErr_Occurred()) throw frame::python_error();
    // 6.
    self.call_method("__post_init__");
    return Ref::none();
}

// The last element of `values` that is not greater than `lookup`, or None.
// The scan stops at the first greater element, exactly as documented, so a
// list that is not sorted gives the documented answer too.
Ref find_last_not_greater(Borrowed values, double lookup) {
    Ref previous = Ref::none();
    Ref lookup_object;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        if (PyFloat_CheckExact(element.get())) {
            if (PyFloat_AS_DOUBLE(element.get()) > lookup) return previous;
            previous = element;
            continue;
        }
        if (!lookup_object) lookup_object = frame::to_python(lookup);
        if (compare(element, lookup_object, Py_GT)) return previous;
        if (!PyNumber_Check(element))
            frame::raise(PyExc_TypeError, "Expected %.200s, got %.200s", "float", Py_TYPE(element.get())->tp_name);
        previous = as_float(element);
    }
    return previous;
}

Ref crops_data_find(Call& call) { return find_last_not_greater(call[0], call.real(1)); }

// index.get(self._find(values, coordinate), set())
Ref crops_along(Borrowed self, const char* values_name, const char* index_name, double coordinate) {
    Ref values = self.attr(values_name);
    Ref finder = self.attr("_find");
    Ref key;
    const frame::FunctionObject* own = frame::as_own_function(finder);
    if (own != nullptr && frame::body_of(*own) == crops_data_find && PyList_CheckExact(values.get()))
        key = find_last_not_greater(values, coordinate);
    else
        key = finder(values, coordinate);
    Ref index = self.attr(index_name);
    if (PyDict_CheckExact(index.get())) {
        PyObject* found = PyDict_GetItemWithError(index, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw frame::python_error();
        return Ref::steal(PySet_New(nullptr));
    }
    return index.call_method("get", key, Ref::steal(PySet_New(nullptr)));
}

Ref crops_data_find_crop(Call& call) {
    Borrowed self = call[0];
    double x = call.real(1), y = call.real(2);
    // 1. A point on the right or bottom border belongs to the crops ending there.
    const double below_one = std::nextafter(1.0, 0.0);  // np.nextafter(1.0, 0.0)
    if (x >= 1.0) x = below_one;
    if (y >= 1.0) y = below_one;
    // 2.-4.
    Ref crops_x = crops_along(self, "x_values", "x_index", x);
    Ref crops_y = crops_along(self, "y_values", "y_index", y);
    Ref both = Ref::steal(PyNumber_And(crops_x, crops_y));
    if (!PySet_CheckExact(both.get()) && !both.is_none())
        frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "set", Py_TYPE(both.get())->tp_name);
    return both;
}

const frame::Callable crops_data_methods[] = {
    {"CropsData.__init__(self, list data: list[CropData]) -> None", "Initialize the crop collection.",
     crops_data_init},
    {"CropsData.__getitem__(self, int idx: int) -> CropData", "Return crop at index.", crops_data_getitem},
    {"CropsData.__len__(self) -> int", "Return number of crops.", crops_data_len},
    {"CropsData.__post_init__(self) -> None", "Build two-dimensional index for crops.", crops_data_post_init},
    {"CropsData.normalize(self, double width: float, double height: float) -> None",
     "Interpret coordinates > 1 as pixels and normalize them once.", crops_data_normalize},
    {"CropsData.find_crop(self, double x: float, double y: float) -> set[CropData]",
     "Find the set of crops that contain the given point.", crops_data_find_crop},
    {"CropsData._find(list values: list[float], double lookup: float) -> float | None",
     "Find last value that is smaller than lookup.", crops_data_find, frame::Binding::static_method},
};

// ===========================================================================
// MeshCrop
// ===========================================================================

// Where window `i` along one axis starts: its column (row) number for pixel
// sizes, otherwise spread so that the first window starts at 0 and the last
// one ends at 1.
Ref window_start(Borrowed self, Borrowed i, const char* count_name, const char* size_name) {
    Ref count = self.attr(count_name);
    // 1.
    if (!(compare(number(0), i, Py_LE) && compare(i, count, Py_LT)))
        frame::raise(PyExc_Exception, "i=%S must be in the range [0, %S).", i.get(), count.get());
    // 2.
    Ref size = self.attr(size_name);
    if (compare(size, number(1), Py_GT)) return as_float(i);
    // 3.
    Ref start = multiply(i, subtract(number(1), size));
    if (compare(start, number(0), Py_EQ)) return frame::to_python(0.0);
    // 4., 5.
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

Ref mesh_crop_x1(Call& call) { return window_start(call[0], call[1], "number_crops_x", "morvane_width"); }
Ref mesh_crop_x2(Call& call) { return window_end(call[0], call[1], "x1", "morvane_width"); }
Ref mesh_crop_y1(Call& call) { return window_start(call[0], call[1], "number_crops_y", "morvane_height"); }
Ref mesh_crop_y2(Call& call) { return window_end(call[0], call[1], "y1", "morvane_height"); }

Ref mesh_crop_batches_per_index(Call& call) {
    Borrowed self = call[0];
    Ref product = multiply(self.attr("number_crops_x"), self.attr("number_crops_y"));
    if (PyLong_CheckExact(product.get())) return product;
    if (!PyNumber_Check(product))
        frame::raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(product.get())->tp_name);
    return Ref::steal(PyNumber_Long(product));
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
        Ref position = frame::to_python(i);
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
    frame::require_memory(windows, 1024, "mesh windows");
    const double entries = static_cast<double>(rows) * index_entries(self, columns, "x1", "x2") +
                           static_cast<double>(columns) * index_entries(self, rows, "y1", "y2");
    frame::require_memory(windows, 1024 + entries * 16 / windows, "mesh windows with their lookup index");
}

Ref mesh_crop_init(Call& call) {
    Borrowed self = call[0], number_crops_x = call[1], number_crops_y = call[2];
    // 1.
    base_method(mesh_crop_class, self, "__init__")(kw("x_min_percent", 0.0), kw("y_min_percent", 0.0),
                                                    kw("x_max_percent", 1.0), kw("y_max_percent", 1.0),
                                                    kw("always_apply", true), kw("p", 1.0));
    // 2.
    self.set_attr("number_crops_x", number_crops_x);
    self.set_attr("number_crops_y", number_crops_y);
    self.set_attr("morvane_width", call[3]);
    self.set_attr("morvane_height", call[4]);
    self.set_attr("renorm", call[5]);
    self.set_attr("crop", Py_None);
    self.set_attr("crops", Py_None);
    // 3. product(range(number_crops_x), range(number_crops_y)): x outer, y inner.
    const Py_ssize_t columns = number_crops_x.to_ssize(), rows = number_crops_y.to_ssize();
    if (columns > 0 && rows > 0) require_mesh_memory(self, columns, rows);
    Ref windows = Ref::steal(PyList_New(0));
    Ref crop_data = global("CropData");
    Py_ssize_t k = 0;
    for (Py_ssize_t ix = 0; ix < columns; ++ix) {
        Ref column = frame::to_python(ix);
        for (Py_ssize_t iy = 0; iy < rows; ++iy, ++k) {
            Ref row = frame::to_python(iy);
            Ref window = crop_data(k, self.attr("batches_per_index"), self.call_method("x1", column),
                                   self.call_method("x2", column), self.call_method("y1", row),
                                   self.call_method("y2", row), kw("number_of_crops_x", number_crops_x),
                                   kw("number_of_crops_y", number_crops_y));
            frame::check(PyList_Append(windows, window));
        }
    }
    // 4.
    self.set_attr("all_crops", global("CropsData")(windows));
    // 5.
    self.set_attr("params", Ref::steal(PyDict_New()));
    return Ref::none();
}

Ref mesh_crop_update_crops(Call& call) {
    Borrowed self = call[0];
    self.set_attr("always_apply", Py_True);
    self.set_attr("p", frame::to_python(1.0));
    self.set_attr("crops", call[1]);
    self.set_attr("applied_in_replay", Py_True);
    self.call_method("update_child");
    return Ref::none();
}

Ref mesh_crop_apply_crop(Call& call) {
    Borrowed self = call[0];
    // A copy, so that normalising the candidates leaves the caller's crop alone.
    Ref single = Ref::steal(PyList_New(0));
    frame::check(PyList_Append(single, global("copy").attr("copy")(call[1])));
    self.set_attr("crops", global("CropsData")(single));
    self.set_attr("always_apply", Py_True);
    self.set_attr("applied_in_replay", Py_True);
    self.set_attr("p", frame::to_python(1.0));
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
        if (frame::check(PySet_Contains(hit, crop)) && !frame::check(PySet_Contains(listed, crop))) {
            frame::check(PyList_Append(ordered, crop));
            frame::check(PySet_Add(listed, crop));
        }
    };
    for_each(candidates, take);
    if (PyList_GET_SIZE(ordered.get()) < PySet_GET_SIZE(hit.get())) for_each(hit, take);
    return ordered;
}

Ref mesh_crop_apply_to_keypoints(Call& call) {
    Borrowed self = call[0], keypoints = call[1], rows = call[2], cols = call[3], params = call[4];
    Ref crops = self.attr("crops");
    // 1.
    if (!crops.is_none() && crops.attr("data").truth()) {
        // 2.
        if (!rows.is_none() && !cols.is_none()) crops.call_method("normalize", cols, rows);
        // 3.
        Ref chosen;
        Ref candidates = crops.attr("data");
        Ref random = global("random");
        // 4. The draw happens only when there is a choice to make.
        if (frame::check(PyObject_Size(candidates)) > 1 &&
            compare(random.call_method("random"), frame::to_python(0.5), Py_GT)) {
            // a. Every third keypoint is a box centre; the last of them is left out.
            Ref centres = keypoints.item(slice(Py_None, Py_None, number(3))).item(slice(Py_None, number(-1), Py_None));
            // b.
            Ref hit = Ref::steal(PySet_New(nullptr));
            Ref find_crop = crops.attr("find_crop");
            for_each(centres, [&](Borrowed keypoint) {
                Ref x = keypoint.at(0), y = keypoint.at(1);
                Ref found = find_crop(divide(x, cols), divide(y, rows));
                for_each(found, [&](Borrowed crop) { frame::check(PySet_Add(hit, crop)); });
            });
            // c., d.
            if (PySet_GET_SIZE(hit.get()) > 0)
                chosen = random.call_method("choice", in_candidate_order(hit, candidates));
            else if (frame::check(PyObject_Size(centres)) > 0)
                global("print")("weird");
        }
        // 5.
        if (!chosen) chosen = random.call_method("choice", candidates);
        // 6.
        put(self, names.x_min_percent, as_float(chosen.attr("x1")));
        put(self, names.x_max_percent, as_float(chosen.attr("x2")));
        put(self, names.y_min_percent, as_float(chosen.attr("y1")));
        put(self, names.y_max_percent, as_float(chosen.attr("y2")));
        self.set_attr("crop", chosen);
        get(self, names.update_child)();
    }
    // 7.
    Ref keywords = Ref::steal(PyDict_New());
    frame::check(PyDict_SetItem(keywords, frame::interned("rows"), rows));
    frame::check(PyDict_SetItem(keywords, frame::interned("cols"), cols));
    frame::check(PyDict_Update(keywords, params));
    return frame::call_base(mesh_crop_class, self, frame::interned("apply_to_keypoints"), {keypoints}, keywords);
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
    kernels::StridedLayout layout;
    layout.rank = PyArray_NDIM(array);
    for (int axis = 0; axis < layout.rank; ++axis) {
        layout.shape[axis] = PyArray_DIM(array, axis);
        layout.strides[axis] = PyArray_STRIDE(array, axis);
    }
    char* data = static_cast<char*>(PyArray_DATA(array));
    const auto range = kernels::value_range<T>(data, layout);
    const double span = static_cast<double>(range.highest) - static_cast<double>(range.lowest);
    if (range.has_nan || !(span > 0)) return Ref::borrow(image);
    const double scale = 2 / span;
    // numpy rounds the Python float scale to the image's type; one that does
    // not fit makes numpy warn about the cast.
    if constexpr (std::is_same_v<T, float>)
        if (scale >= 0x1.ffffffp127) return std::nullopt;
    Ref result = Ref::steal(PyArray_SimpleNew(layout.rank, PyArray_DIMS(array), PyArray_TYPE(array)));
    T* output = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    if (!kernels::rescale_to_unit_range<T>(data, layout, output, range.lowest, static_cast<T>(scale)))
        return std::nullopt;
    return result;
}

// clip(((image - min) * 2 / span) - 1, -1, 1) on a copy, in one pass for the
// float types, with each step rounded as numpy's in-place ufuncs round it.
Ref rescaled_to_unit_range(Borrowed image) {
    if (PyArrayObject* array = frame::plain_array(image); array != nullptr && PyArray_SIZE(array) > 0) {
        std::optional<Ref> result;
        if (frame::type_of(array) == NPY_FLOAT) result = rescaled_natively<float>(image, array);
        if (frame::type_of(array) == NPY_DOUBLE) result = rescaled_natively<double>(image, array);
        if (result) return *result;
    }
    return rescaled_with_numpy(image);
}

Ref mesh_crop_apply(Call& call) {
    Borrowed self = call[0];
    // 1.
    Ref image = frame::call_base(mesh_crop_class, self, frame::interned("apply"), {call[1]}, call, 2);
    // 2., 3.
    if (!self.attr("renorm").truth()) return image;
    return rescaled_to_unit_range(image);
}

Ref mesh_crop_init_args_names(Call&) {
    return Ref::steal(Py_BuildValue("(ssss)", "number_crops_x", "number_crops_y", "morvane_width", "morvane_height"));
}

const frame::Callable mesh_crop_methods[] = {
    {"MeshCrop.__init__(self, int number_crops_x: int, int number_crops_y: int, double morvane_width: float,"
     " double morvane_height: float, bool renorm: bool = True, **_kwargs: Any) -> None",
     "Initialize the transform.", mesh_crop_init},
    {"MeshCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", mesh_crop_apply},
    {"MeshCrop.apply_to_keypoints(self, keypoints: Any, int rows: int | None = None, int cols: int | None = None,"
     " **params: Any) -> Any",
     "Apply the crop to keypoints.", mesh_crop_apply_to_keypoints},
    {"MeshCrop.update_crops(self, crops: CropsData) -> None", "Update crops and enable transform.",
     mesh_crop_update_crops},
    {"MeshCrop.apply_crop(self, crop: CropData) -> None", "Apply a single crop.", mesh_crop_apply_crop},
    {"MeshCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return init argument names for Albumentations serialization.", mesh_crop_init_args_names},
    {"MeshCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.", class_name,
     frame::Binding::class_method},
    {"MeshCrop.x1(self, int i: int) -> float", "Return relative x1 for crop index.", mesh_crop_x1},
    {"MeshCrop.x2(self, int i: int) -> float", "Return relative x2 for crop index.", mesh_crop_x2},
    {"MeshCrop.y1(self, int i: int) -> float", "Return relative y1 for crop index.", mesh_crop_y1},
    {"MeshCrop.y2(self, int i: int) -> float", "Return relative y2 for crop index.", mesh_crop_y2},
    {"MeshCrop.batches_per_index(self) -> int", "Return number of batches per index.", mesh_crop_batches_per_index,
     frame::Binding::property},
};

// ---------------------------------------------------------------------------

void body(frame::ModuleBuilder& module) {
    intern_names();
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_module("copy", "copy");
    module.import_module("random", "random");
    module.import_from("typing", {"Any"});
    module.import_from("albumentations", {"Crop"});
    relative_crop_class = module.define_class("RelativeCrop", {"Crop"}, "Crop using relative coordinates.",
                                              relative_crop_methods);
    size_check = frame::size_check_of("RelativeCrop", relative_crop_class);
    module.define_class("CropData", {}, "Container for a single crop definition.", crop_data_methods);
    module.define_class("CropsData", {}, "Collection of crops with indices for fast lookup.", crops_data_methods);
    mesh_crop_class =
        module.define_class("MeshCrop", {"RelativeCrop"}, "Crop using a mesh of relative crops.", mesh_crop_methods);
}

const frame::ModuleDefinition definition = {
    "morvane",
    "halvex.preprocessing.augmentations.transform.morvane",
    "Crop using relative coordinates.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_morvane() { return frame::module_init(definition); }
