// CropData and CropsData: the candidate windows of a mesh crop, with an
// index over their edges for looking up the windows that contain a point.

#include "halvex/preprocessing/augmentations/transform/morvane/common.hpp"

#include <cmath>

namespace halvex::morvane {

namespace {

Ref crop_data_init(Borrowed self, Borrowed index, Borrowed max, Borrowed x1, Borrowed x2, Borrowed y1, Borrowed y2,
                   Borrowed number_of_crops_x, Borrowed number_of_crops_y) {
    const std::pair<const char*, Borrowed> fields[] = {{"index", index},
                                                       {"max", max},
                                                       {"x1", x1},
                                                       {"x2", x2},
                                                       {"y1", y1},
                                                       {"y2", y2},
                                                       {"number_of_crops_x", number_of_crops_x},
                                                       {"number_of_crops_y", number_of_crops_y}};
    for (auto [name, value] : fields) self.set_attr(name, value);
    return Ref::none();
}

const Callable crop_data_table[] = {
    {"CropData.__init__(self, int index: int, int max: int, x1: float | int, x2: float | int, y1: float | int,"
     " y2: float | int, int number_of_crops_x: int, int number_of_crops_y: int) -> None",
     "Initialize the crop definition.", bound<crop_data_init>},
};

// crop.x2 > 1 or crop.y2 > 1
bool in_pixel_form(Borrowed crop) {
    Ref one = number(1);
    return compare(crop.attr("x2"), one, Py_GT) || compare(crop.attr("y2"), one, Py_GT);
}

// any(in_pixel_form(crop) for crop in data) when `wanted` is true,
// all(...) when it is false (then: not any(not ...)); both stop early.
bool any_crop(Borrowed data, bool wanted) {
    Ref iterator = Ref::steal(PyObject_GetIter(data));
    while (Ref crop = Ref::steal_or_null(PyIter_Next(iterator)))
        if (in_pixel_form(crop) == wanted) return true;
    if (PyErr_Occurred()) throw python_error();
    return false;
}

Ref crops_data_init(Borrowed self, Borrowed data) {
    // The crops as given, and a copy that normalising leaves alone.
    self.set_attr("data", data);
    self.set_attr("og_data", global(names::copy).attr("deepcopy")(data));
    // Pixel sizes (edges beyond 1) are normalised once the image size is known.
    const bool any_in_pixel_form = any_crop(data, true);
    self.set_attr("_needs_norm", Ref::boolean(any_in_pixel_form));
    self.call_method("__post_init__");
    // All crops or none: an empty list fails too, as it is neither "all" nor "any".
    const bool all_in_pixel_form = !any_crop(data, false);
    if (compare(Ref::boolean(all_in_pixel_form), self.attr("_needs_norm"), Py_NE))
        raise(PyExc_Exception, "Either configure all crops to need normalization, or none.");
    return Ref::none();
}

Ref crops_data_getitem(Borrowed self, Borrowed idx) { return self.attr("data").item(idx); }

Ref crops_data_len(Borrowed self) { return to_python(check(PyObject_Size(self.attr("data")))); }

// One axis of the index: the distinct edges ascending, and for each edge v
// the crops with low <= v < high.
struct AxisIndex {
    Ref values;  // list of float
    Ref index;   // dict float -> set
};

AxisIndex build_axis_index(Borrowed data, const char* low_name, const char* high_name) {
    Ref edges = Ref::steal(PySet_New(nullptr));
    for_each(data, [&](Borrowed crop) {
        check(PySet_Add(edges, as_float(crop.attr(low_name))));
        check(PySet_Add(edges, as_float(crop.attr(high_name))));
    });
    AxisIndex axis{Ref::steal(PySequence_List(edges)), Ref::steal(PyDict_New())};
    check(PyList_Sort(axis.values));
    // The list is ours until it is stored, so the walk below may index it directly.
    const Py_ssize_t count = PyList_GET_SIZE(axis.values.get());
    for (Py_ssize_t i = 0; i < count; ++i)
        check(PyDict_SetItem(axis.index, PyList_GET_ITEM(axis.values.get(), i), Ref::steal(PySet_New(nullptr))));
    for_each(data, [&](Borrowed crop) {
        const double low = as_float(crop.attr(low_name)).to_double();
        const double high = as_float(crop.attr(high_name)).to_double();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* value = PyList_GET_ITEM(axis.values.get(), i);
            const double edge = PyFloat_AS_DOUBLE(value);
            if (edge >= high) break;
            if (low <= edge) check(PySet_Add(PyDict_GetItem(axis.index, value), crop));
        }
    });
    return axis;
}

Ref crops_data_post_init(Borrowed self) {
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
        high = to_python(1.0);
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

Ref crops_data_normalize(Borrowed self, Borrowed width, Borrowed height) {
    if (!self.attr("_needs_norm").truth()) return Ref::none();
    // zip(data, og_data): every call starts again from the crops as first given.
    Ref crops = Ref::steal(PyObject_GetIter(self.attr("data")));
    Ref originals = Ref::steal(PyObject_GetIter(self.attr("og_data")));
    for (;;) {
        Ref crop = Ref::steal_or_null(PyIter_Next(crops));
        if (!crop) break;
        Ref original = Ref::steal_or_null(PyIter_Next(originals));
        if (!original) break;
        normalize_axis(crop, original, "x1", "x2", "number_of_crops_x", width);
        normalize_axis(crop, original, "y1", "y2", "number_of_crops_y", height);
        // Every edge now lies in [0, 1].
        if (assertions_enabled()) {
            Ref zero = number(0), one = number(1);
            static const char* const edges[] = {"x1", "x2", "y1", "y2"};
            for (const char* edge : edges) HALVEX_ASSERT(compare(crop.attr(edge), zero, Py_GE));
            for (const char* edge : edges) HALVEX_ASSERT(compare(crop.attr(edge), one, Py_LE));
        }
    }
    if (PyErr_Occurred()) throw python_error();
    // The lookup index of the normalised crops.
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
        if (!lookup_object) lookup_object = to_python(lookup);
        if (compare(element, lookup_object, Py_GT)) return previous;
        if (!PyNumber_Check(element))
            raise(PyExc_TypeError, "Expected %.200s, got %.200s", "float", Py_TYPE(element.get())->tp_name);
        previous = as_float(element);
    }
    return previous;
}

Ref crops_data_find(Borrowed values, double lookup) { return find_last_not_greater(values, lookup); }

// index.get(self._find(values, coordinate), set())
Ref crops_along(Borrowed self, const char* values_name, const char* index_name, double coordinate) {
    Ref values = self.attr(values_name);
    Ref finder = self.attr("_find");
    Ref key;
    const FunctionObject* own = as_own_function(finder);
    if (own != nullptr && body_of(*own) == bound<crops_data_find>.call && PyList_CheckExact(values.get()))
        key = find_last_not_greater(values, coordinate);
    else
        key = finder(values, coordinate);
    Ref index = self.attr(index_name);
    if (PyDict_CheckExact(index.get())) {
        PyObject* found = PyDict_GetItemWithError(index, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw python_error();
        return Ref::steal(PySet_New(nullptr));
    }
    return index.call_method("get", key, Ref::steal(PySet_New(nullptr)));
}

Ref crops_data_find_crop(Borrowed self, double x, double y) {
    // A point on the right or bottom border belongs to the crops ending there.
    const double below_one = std::nextafter(1.0, 0.0);  // np.nextafter(1.0, 0.0)
    if (x >= 1.0) x = below_one;
    if (y >= 1.0) y = below_one;
    // The crops containing it along each axis, and those in both.
    Ref crops_x = crops_along(self, "x_values", "x_index", x);
    Ref crops_y = crops_along(self, "y_values", "y_index", y);
    Ref both = bitwise_and(crops_x, crops_y);
    if (!PySet_CheckExact(both.get()) && !both.is_none())
        raise(PyExc_TypeError, "Expected %s, got %.200s", "set", Py_TYPE(both.get())->tp_name);
    return both;
}

const Callable crops_data_table[] = {
    {"CropsData.__init__(self, list data: list[CropData]) -> None", "Initialize the crop collection.",
     bound<crops_data_init>},
    {"CropsData.__getitem__(self, int idx: int) -> CropData", "Return crop at index.", bound<crops_data_getitem>},
    {"CropsData.__len__(self) -> int", "Return number of crops.", bound<crops_data_len>},
    {"CropsData.__post_init__(self) -> None", "Build two-dimensional index for crops.", bound<crops_data_post_init>},
    {"CropsData.normalize(self, double width: float, double height: float) -> None",
     "Interpret coordinates > 1 as pixels and normalize them once.", bound<crops_data_normalize>},
    {"CropsData.find_crop(self, double x: float, double y: float) -> set[CropData]",
     "Find the set of crops that contain the given point.", bound<crops_data_find_crop>},
    {"CropsData._find(list values: list[float], double lookup: float) -> float | None",
     "Find last value that is smaller than lookup.", bound<crops_data_find>, Binding::static_method},
};
}  // namespace

const std::span<const Callable> crop_data_methods = crop_data_table;
const std::span<const Callable> crops_data_methods = crops_data_table;

}  // namespace halvex::morvane
