// Regrouping keypoints after a shuffle: Albumentations hands back the
// surviving keypoints in any order, each labelled with its box and its role,
// and they are put back together box by box.

#include "halvex/preprocessing/kestril/common.hpp"
#include "kernels/keypoint_regroup.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace halvex::kestril {

namespace {

const char* position_name(kernels::KeypointPosition position) {
    switch (position) {
        case kernels::KeypointPosition::center: return "center";
        case kernels::KeypointPosition::top: return "top";
        default: return "right";
    }
}

[[noreturn]] void raise_key_error(const char* key) {
    PyErr_SetObject(PyExc_KeyError, to_python(key));
    throw python_error();
}

// str or np.str_: labels whose hashing and equality are those of their text.
bool is_text_label(PyObject* label) { return PyUnicode_CheckExact(label) || Py_TYPE(label) == &PyUnicodeArrType_Type; }

// The roles of the keypoints when every position label is text (str or
// np.str_, whose dictionary keys compare as their text); nullopt otherwise,
// and the labels then go through a real dictionary on the numpy road.
std::optional<std::vector<kernels::KeypointPosition>> text_positions(Borrowed arr_positions, npy_intp count) {
    PyArrayObject* positions = plain_of_shape(arr_positions, {count});
    if (positions == nullptr || type_of(positions) != NPY_OBJECT) return std::nullopt;
    std::vector<kernels::KeypointPosition> roles(static_cast<std::size_t>(count));
    for (npy_intp index = 0; index < count; ++index) {
        PyObject* label = *static_cast<PyObject**>(PyArray_GETPTR1(positions, index));
        if (label == nullptr) return std::nullopt;
        if (!is_text_label(label)) return std::nullopt;
        roles[index] = PyUnicode_CompareWithASCIIString(label, "center") == 0  ? kernels::KeypointPosition::center
                       : PyUnicode_CompareWithASCIIString(label, "top") == 0   ? kernels::KeypointPosition::top
                       : PyUnicode_CompareWithASCIIString(label, "right") == 0 ? kernels::KeypointPosition::right
                                                                               : kernels::KeypointPosition::unmatched;
    }
    return roles;
}

kernels::UnicodeLabels unicode_labels(PyArrayObject* labels) {
    return {static_cast<const char*>(PyArray_DATA(labels)), PyArray_DIM(labels, 0), PyArray_STRIDE(labels, 0),
            static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(labels) / 4)};
}

// np.array(labels) for a non-empty list of str / np.str_: a '<U{longest}'
// array of the texts, zero-padded.  Null for anything else.
Ref unicode_array_of(Borrowed list) {
    const Py_ssize_t count = PyList_GET_SIZE(list.get());
    if (count == 0) return {};
    Py_ssize_t longest = 1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* label = PyList_GET_ITEM(list.get(), i);
        if (!is_text_label(label)) return {};
        longest = std::max(longest, PyUnicode_GET_LENGTH(label));
    }
    npy_intp dimension = count;
    Ref array = Ref::steal(PyArray_New(&PyArray_Type, 1, &dimension, NPY_UNICODE, nullptr, nullptr,
                                       static_cast<int>(4 * longest), 0, nullptr));
    auto* records = static_cast<Py_UCS4*>(PyArray_DATA(as_array(array)));
    std::fill(records, records + count * longest, Py_UCS4{0});
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_AsUCS4(PyList_GET_ITEM(list.get(), i), records + i * longest, longest, 0) == nullptr)
            throw python_error();
    return array;
}

// np.array(labels, dtype="object") for a non-empty list of str / np.str_,
// which numpy keeps as scalars: a one-dimensional array of those objects.
Ref object_array_of(Borrowed list) {
    const Py_ssize_t count = PyList_GET_SIZE(list.get());
    if (count == 0) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* label = PyList_GET_ITEM(list.get(), i);
        if (!is_text_label(label)) return {};
    }
    Ref array = new_array({count}, NPY_OBJECT);  // slots start out NULL
    auto** slots = static_cast<PyObject**>(PyArray_DATA(as_array(array)));
    for (Py_ssize_t i = 0; i < count; ++i) Py_XSETREF(slots[i], Py_NewRef(PyList_GET_ITEM(list.get(), i)));
    return array;
}

// np.array(points) for a non-empty list of exact ndarrays, each of two
// elements on one axis and all of one native dtype: an (N, 2) array of that
// dtype.  Null for anything else.
Ref point_array_of(Borrowed list) {
    const Py_ssize_t count = PyList_GET_SIZE(list.get());
    if (count == 0) return {};
    PyArray_Descr* descriptor = nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyArrayObject* point = plain_of_shape(PyList_GET_ITEM(list.get(), i), {2});
        if (point == nullptr) return {};
        if (i == 0)
            descriptor = PyArray_DESCR(point);
        else if (PyArray_DESCR(point) != descriptor && !PyArray_EquivTypes(PyArray_DESCR(point), descriptor))
            return {};
    }
    PyArrayObject* first = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(list.get(), 0));
    if (!with_element_type(first, NumericTypes{}, [](auto) {})) return {};
    Ref array = new_array({count, 2}, type_of(first));
    char* destination = static_cast<char*>(PyArray_DATA(as_array(array)));
    const npy_intp size = PyArray_ITEMSIZE(first);
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto* point = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(list.get(), i));
        const char* source = static_cast<const char*>(PyArray_DATA(point));
        std::memcpy(destination + (2 * i) * size, source, size);
        std::memcpy(destination + (2 * i + 1) * size, source + PyArray_STRIDE(point, 0), size);
    }
    return array;
}

// The three lists as arrays, as the algorithm makes them, with its shape
// checks.  `np` is the module's numpy as the call found it on entry.
struct Measurements {
    Ref np;
    Py_ssize_t count = 0;
    Ref instance_array, arr_keypoints, keypoint_dimensionality, arr_positions;
};

Measurements as_arrays(Borrowed keypoints, Borrowed instances, Borrowed positions) {
    Measurements m;
    m.np = global(names::np);
    m.count = PyList_GET_SIZE(instances.get());
    Ref measurements = number(m.count);
    // The usual lists are converted directly; numpy converts (and rejects) the rest.
    m.instance_array = unicode_array_of(instances);
    if (!m.instance_array) m.instance_array = m.np.attr("array")(instances);
    HALVEX_ASSERT(shape_is(shape_of(m.instance_array), {measurements}));
    m.arr_keypoints = point_array_of(keypoints);
    if (m.arr_keypoints && PyList_GET_SIZE(keypoints.get()) != m.count) m.arr_keypoints = Ref();
    if (!m.arr_keypoints) m.arr_keypoints = m.np.attr("array")(keypoints).attr("reshape")(measurements, 2);
    m.keypoint_dimensionality = shape_of(m.arr_keypoints).at(1);
    HALVEX_ASSERT(shape_is(shape_of(m.arr_keypoints), {measurements, m.keypoint_dimensionality}));
    m.arr_positions = object_array_of(positions);
    if (!m.arr_positions) m.arr_positions = m.np.attr("array")(positions, kw("dtype", "object"));
    HALVEX_ASSERT(shape_is(shape_of(m.arr_positions), {measurements}));
    return m;
}

// Every box kept all three keypoints.
void check_complete_boxes(const Measurements& m, Borrowed number_of_unique_instances) {
    Ref boxes_by_count = to_python(static_cast<double>(m.count) / 3);
    HALVEX_ASSERT(equal(number_of_unique_instances, boxes_by_count));
}

// One keyword array on its way into the instance order.
struct CarriedArray {
    Ref key, values, sorted;
    PyArrayObject* source = nullptr;  // set when its rows can be gathered natively
};

// The keyword arrays, each with an empty array for its rows in instance
// order.  With `native_count`, those the kernels read get a float64 array
// made here (what np.empty makes) to gather into.
std::vector<CarriedArray> carried_arrays(const Measurements& m, Borrowed kwargs, Borrowed number_of_unique_instances,
                                         std::optional<npy_intp> native_count) {
    std::vector<CarriedArray> carried;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        CarriedArray array{Ref::borrow(key), Ref::borrow(value), Ref()};
        PyArrayObject* source = native_count ? plain_array(value) : nullptr;
        if (source != nullptr && PyArray_NDIM(source) >= 1 && with_element_type(source, NumericTypes{}, [](auto) {})) {
            std::vector<npy_intp> shape(PyArray_DIMS(source), PyArray_DIMS(source) + PyArray_NDIM(source));
            shape[0] = *native_count;
            array.sorted = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(source), shape.data(), NPY_DOUBLE));
            array.source = source;
        } else {
            Ref trailing =
                Ref::steal(PySequence_Tuple(Ref::steal(PySequence_GetSlice(shape_of(value), 1, PY_SSIZE_T_MAX))));
            Ref shape = Ref::steal(PySequence_Concat(tuple_of({number_of_unique_instances}), trailing));
            array.sorted = m.np.attr("empty")(shape);
        }
        carried.push_back(std::move(array));
    }
    return carried;
}

// Each keyword array has a row for every instance.
void check_carried_rows(const std::vector<CarriedArray>& carried, Borrowed number_of_unique_instances) {
    for (const CarriedArray& array : carried)
        HALVEX_ASSERT(equal(shape_of(array.values).at(0), number_of_unique_instances));
}

// (sorted_keypoints, to_original_index, *the keyword arrays in instance order)
Ref regrouped(Ref sorted_keypoints, Ref to_original_index, std::vector<CarriedArray>& carried) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(2 + carried.size())));
    PyTuple_SET_ITEM(result.get(), 0, sorted_keypoints.release());
    PyTuple_SET_ITEM(result.get(), 1, to_original_index.release());
    for (std::size_t k = 0; k < carried.size(); ++k)
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(2 + k), carried[k].sorted.release());
    return result;
}

// ---- the numpy road -----------------------------------------------------------

// The per-instance loop in numpy, for labels the native grouping does not
// cover; it searches all keypoints once per instance.
void fill_in_instance_order(const Measurements& m, Borrowed unique_instances, Borrowed sorted_keypoints,
                            Borrowed to_original_index, const std::vector<CarriedArray>& carried) {
    Ref roles = Ref::steal(Py_BuildValue("(sss)", "center", "top", "right"));
    Ref iterator = Ref::steal(PyObject_GetIter(unique_instances));
    for (Py_ssize_t i = 0;; ++i) {
        Ref uiid = Ref::steal_or_null(PyIter_Next(iterator));
        if (!uiid) {
            if (PyErr_Occurred()) throw python_error();
            break;
        }
        // The instance's keypoints by role; of repeated roles the later keypoint wins.
        Ref matches = compared(m.instance_array, Ref::steal(PyObject_Str(uiid)), Py_EQ);
        Ref indices = m.np.attr("where")(matches).at(0);
        Ref position_map = Ref::steal(PyDict_New());
        for_each(indices, [&](Borrowed index) { set_item(position_map, m.arr_positions.item(index), index); });
        // Its keypoints in the order center, top, right.
        Ref rows = Ref::steal(PyList_New(3));
        for (Py_ssize_t role = 0; role < 3; ++role)
            PyList_SET_ITEM(rows.get(), role,
                            m.arr_keypoints.item(position_map.item(PyTuple_GET_ITEM(roles.get(), role))).release());
        set_item(sorted_keypoints, number(i), rows);
        // Each keyword array's row of the instance: the label is the row index.
        for (const CarriedArray& array : carried) {
            Ref row = as_int(uiid);
            set_item(array.sorted, number(i), array.values.item(row));
        }
        set_item(to_original_index, number(i), as_int(uiid));
    }
}

Ref regroup_with_numpy(const Measurements& m, Borrowed kwargs) {
    Ref unique_instances = m.np.attr("unique")(m.instance_array);
    Ref number_of_unique_instances = shape_of(unique_instances).at(0);
    check_complete_boxes(m, number_of_unique_instances);
    Ref sorted_keypoints =
        m.np.attr("empty")(tuple_of({number_of_unique_instances, number(3), m.keypoint_dimensionality}));
    std::vector<CarriedArray> carried = carried_arrays(m, kwargs, number_of_unique_instances, std::nullopt);
    Ref to_original_index = m.np.attr("empty")(number_of_unique_instances);
    check_carried_rows(carried, number_of_unique_instances);
    fill_in_instance_order(m, unique_instances, sorted_keypoints, to_original_index, carried);
    return regrouped(std::move(sorted_keypoints), std::move(to_original_index), carried);
}

// ---- the native road ----------------------------------------------------------

// For every instance in order: checks its roles, records its label in
// `to_original_index` and, per keyword array, the row to gather (-1 where
// Python copied the row itself).  Errors surface in the order of the numpy
// loop: per instance a missing role (KeyError), then int() of the label,
// then each keyword array's row.
std::vector<std::vector<std::ptrdiff_t>> order_instances(const Measurements& m, PyArrayObject* labels,
                                                         std::span<const kernels::InstanceKeypoints> groups,
                                                         std::vector<CarriedArray>& carried,
                                                         Borrowed to_original_index) {
    const kernels::UnicodeLabels label_text = unicode_labels(labels);
    std::vector<std::vector<std::ptrdiff_t>> source_rows(carried.size(), std::vector<std::ptrdiff_t>(groups.size()));
    auto* original_index = static_cast<double*>(PyArray_DATA(as_array(to_original_index)));
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const kernels::InstanceKeypoints& group = groups[i];
        if (auto missing = group.first_missing_position()) raise_key_error(position_name(*missing));
        std::optional<std::int64_t> label_value = kernels::parse_decimal_label(label_text.text(group.label_index));
        Ref python_value;  // int() of labels that the plain parser leaves to Python
        if (!label_value) {
            // int() of the np.str_ element, as the loop over np.unique's result calls it
            python_value = as_int(m.instance_array.at(group.label_index));
            int overflow = 0;
            const long long fitted = PyLong_AsLongLongAndOverflow(python_value, &overflow);
            if (fitted == -1 && PyErr_Occurred()) throw python_error();
            if (overflow == 0) label_value = fitted;
        }
        for (std::size_t k = 0; k < carried.size(); ++k) {
            CarriedArray& array = carried[k];
            if (array.source != nullptr && label_value) {
                const std::ptrdiff_t rows = PyArray_DIM(array.source, 0);
                auto row = kernels::normalize_row_index(*label_value, rows);
                if (!row) raise_out_of_bounds(*label_value, rows);
                source_rows[k][i] = *row;
            } else {
                Ref index = python_value ? python_value : to_python(*label_value);
                set_item(array.sorted, number(static_cast<Py_ssize_t>(i)), array.values.item(index));
                source_rows[k][i] = -1;
            }
        }
        if (label_value)
            original_index[i] = static_cast<double>(*label_value);
        else
            set_item(to_original_index, number(static_cast<Py_ssize_t>(i)), python_value);
    }
    return source_rows;
}

// Copies the recorded rows of one keyword array into its new array.
void gather_carried_rows(const CarriedArray& array, const std::vector<std::ptrdiff_t>& rows) {
    if (std::find(rows.begin(), rows.end(), -1) != rows.end()) {
        // A row index beyond int64 that numpy accepted after all: copy every row as Python does.
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i] >= 0) set_item(array.sorted, number(static_cast<Py_ssize_t>(i)), array.values.at(rows[i]));
        return;
    }
    // rows x elements-per-row views of the source and of the new array
    Ref source = Ref::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(array.source)));
    const npy_intp source_rows_count = PyArray_DIM(array.source, 0);
    const npy_intp elements_per_row = source_rows_count == 0 ? 0 : PyArray_SIZE(array.source) / source_rows_count;
    PyArrayObject* contiguous = as_array(source);
    with_element_type(contiguous, NumericTypes{}, [&]<class T>(type_tag<T>) {
        kernels::Strided<const T, 2> from;
        from.data = static_cast<char*>(PyArray_DATA(contiguous));
        from.shape = {source_rows_count, elements_per_row};
        from.strides = {static_cast<std::ptrdiff_t>(elements_per_row * sizeof(T)), sizeof(T)};
        kernels::Strided<double, 2> to;
        to.data = static_cast<char*>(PyArray_DATA(as_array(array.sorted)));
        to.shape = {static_cast<std::ptrdiff_t>(rows.size()), elements_per_row};
        to.strides = {static_cast<std::ptrdiff_t>(elements_per_row * sizeof(double)), sizeof(double)};
        kernels::gather_rows_as_double(from, std::span<const std::ptrdiff_t>(rows), to);
    });
}

// The native grouping replaces np.unique and the per-instance search: one
// stable sort of the labels gives np.unique's order and, within a label, the
// keypoints in index order (so later duplicates win).  It writes into the
// arrays it makes itself (what np.empty makes: C-ordered float64) rather than
// trusting whatever `np` is bound to.
Ref regroup_natively(const Measurements& m, PyArrayObject* labels, PyArrayObject* points,
                     const std::vector<kernels::KeypointPosition>& roles, Borrowed kwargs) {
    const std::vector<kernels::InstanceKeypoints> groups =
        kernels::group_keypoints_by_instance(unicode_labels(labels), roles);
    const npy_intp unique_count = static_cast<npy_intp>(groups.size());
    Ref number_of_unique_instances = number(unique_count);
    check_complete_boxes(m, number_of_unique_instances);
    Ref sorted_keypoints = new_array({unique_count, 3, 2}, NPY_DOUBLE);
    std::vector<CarriedArray> carried = carried_arrays(m, kwargs, number_of_unique_instances, unique_count);
    Ref to_original_index = new_array({unique_count}, NPY_DOUBLE);
    check_carried_rows(carried, number_of_unique_instances);
    const auto source_rows = order_instances(m, labels, groups, carried, to_original_index);
    with_element_type(points, NumericTypes{}, [&]<class T>(type_tag<T>) {
        kernels::gather_instance_keypoints(view<const T, 2>(points),
                                           std::span<const kernels::InstanceKeypoints>(groups),
                                           view<double, 3>(as_array(sorted_keypoints)));
    });
    for (std::size_t k = 0; k < carried.size(); ++k)
        if (carried[k].source != nullptr) gather_carried_rows(carried[k], source_rows[k]);
    return regrouped(std::move(sorted_keypoints), std::move(to_original_index), carried);
}

// ---------------------------------------------------------------------------

Ref assemble_keypoints_after_shuffle(Borrowed keypoints, Borrowed instances, Borrowed positions, Borrowed kwargs) {
    const Measurements m = as_arrays(keypoints, instances, positions);
    // Natively when the labels are text, the keypoints plain numbers and every role label text.
    PyArrayObject* labels = plain_of_shape(m.instance_array, {m.count});
    PyArrayObject* points = plain_of_shape(m.arr_keypoints, {m.count, 2});
    if (labels != nullptr && type_of(labels) == NPY_UNICODE && points != nullptr &&
        with_element_type(points, NumericTypes{}, [](auto) {}))
        if (auto roles = text_positions(m.arr_positions, m.count))
            return regroup_natively(m, labels, points, *roles, kwargs);
    return regroup_with_numpy(m, kwargs);
}

const Callable table[] = {
    {"assemble_keypoints_after_shuffle(list keypoints: list[np.ndarray[Any, Any]], list instances: "
     "list[np.ndarray[Any, Any]], list positions: list[np.ndarray[Any, Any]], **kwargs: np.ndarray[Any, Any]) -> "
     "tuple[np.ndarray[Any, Any], ...]",
     "Assemble keypoints after a flat representation of parallelogram keypoints have been shuffled.",
     bound<assemble_keypoints_after_shuffle>},
};

}  // namespace

const std::span<const Callable> regrouping_functions = table;

}  // namespace halvex::kestril
