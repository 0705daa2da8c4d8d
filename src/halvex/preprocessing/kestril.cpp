// Rotated-box geometry.
//
// Every function has two roads.  The native one runs on exact ndarrays of the
// element types the kernels cover, with every shape checked first.  The
// numpy one performs the same numpy operations the algorithm is stated in, so
// that any other input (other dtypes, subclasses, odd shapes under python -O)
// behaves, and fails, exactly as numpy does.

#include "frame/memory.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "kernels/box_formats.hpp"
#include "kernels/clipping.hpp"
#include "kernels/intersections.hpp"
#include "kernels/keypoint_regroup.hpp"
#include "kernels/parallelogram.hpp"
#include "kernels/rotation.hpp"
#include "kernels/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace halvex;
using frame::Borrowed;
using frame::Call;
using frame::global;
using frame::kw;
using frame::Ref;
using frame::tuple_of;

Ref number(Py_ssize_t value) { return frame::to_python(value); }

Ref slice(PyObject* start, PyObject* stop, PyObject* step) { return Ref::steal(PySlice_New(start, stop, step)); }

bool shape_is(Borrowed shape, std::initializer_list<Borrowed> expected) {
    return frame::equal(shape, tuple_of(expected));
}

// ---- Python operators, for the numpy roads ----------------------------------

Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }
Ref divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
Ref remainder(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Remainder(a, b)); }
Ref negative(Borrowed a) { return Ref::steal(PyNumber_Negative(a)); }
Ref shape_of(Borrowed array) { return array.attr("shape"); }

// `left == right` as an if statement sees it: no identity shortcut, and the
// truth test of whatever __eq__ returned.
bool python_equal(Borrowed left, Borrowed right) {
    return Ref::steal(PyObject_RichCompare(left, right, Py_EQ)).truth();
}

// np.all(left == right), as the in-place checks state it.
bool all_equal(Borrowed left, Borrowed right) {
    return global("np").attr("all")(Ref::steal(PyObject_RichCompare(left, right, Py_EQ))).truth();
}

Ref all_of_axis() { return slice(Py_None, Py_None, Py_None); }
Ref up_to(Py_ssize_t stop) { return slice(Py_None, number(stop), Py_None); }
Ref from_to(Py_ssize_t start, Py_ssize_t stop) { return slice(number(start), number(stop), Py_None); }

// array[first, second, ...]
Ref subscript(Borrowed array, std::initializer_list<Borrowed> index) { return array.item(tuple_of(index)); }
void assign(Borrowed array, std::initializer_list<Borrowed> index, Borrowed value) {
    frame::check(PyObject_SetItem(array, tuple_of(index), value));
}

// `a, b, c = iterable`, with the frame's messages for a wrong count.
std::vector<Ref> unpack(Borrowed iterable, std::size_t expected) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    std::vector<Ref> items;
    for (;;) {
        Ref next = Ref::steal_or_null(PyIter_Next(iterator));
        if (!next) {
            if (PyErr_Occurred()) throw frame::python_error();
            break;
        }
        if (items.size() == expected)
            frame::raise(PyExc_ValueError, "too many values to unpack (expected %zd)",
                         static_cast<Py_ssize_t>(expected));
        items.push_back(std::move(next));
    }
    if (items.size() < expected)
        frame::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", static_cast<Py_ssize_t>(items.size()),
                     items.size() == 1 ? "" : "s");
    return items;
}

// ---- element types the fast roads read --------------------------------------

template <class T>
using type_tag = std::type_identity<T>;

// Calls visit(type_tag<T>{}) with the C type of the array's elements (float64,
// float32 and the integers of 8 to 64 bits) and returns what it returns; false
// for every other dtype, which then takes the numpy road.
template <class Visitor>
bool with_element_type(PyArrayObject* array, Visitor&& visit) {
    const int type = frame::type_of(array);
    const npy_intp size = PyArray_ITEMSIZE(array);
    if (type == NPY_DOUBLE) return visit(type_tag<double>{});
    if (type == NPY_FLOAT) return visit(type_tag<float>{});
    if (PyTypeNum_ISSIGNED(type)) {
        switch (size) {
            case 1: return visit(type_tag<std::int8_t>{});
            case 2: return visit(type_tag<std::int16_t>{});
            case 4: return visit(type_tag<std::int32_t>{});
            case 8: return visit(type_tag<std::int64_t>{});
        }
    }
    if (PyTypeNum_ISUNSIGNED(type)) {
        switch (size) {
            case 1: return visit(type_tag<std::uint8_t>{});
            case 2: return visit(type_tag<std::uint16_t>{});
            case 4: return visit(type_tag<std::uint32_t>{});
            case 8: return visit(type_tag<std::uint64_t>{});
        }
    }
    return false;
}

// An exact ndarray of exactly this shape (-1: any length on that axis).
PyArrayObject* plain_of_shape(PyObject* object, std::initializer_list<npy_intp> shape) {
    PyArrayObject* array = frame::plain_array(object);
    if (array == nullptr || PyArray_NDIM(array) != static_cast<int>(shape.size())) return nullptr;
    int axis = 0;
    for (npy_intp length : shape) {
        if (length >= 0 && PyArray_DIM(array, axis) != length) return nullptr;
        ++axis;
    }
    return array;
}

PyArrayObject* as_array(const Ref& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

// numpy computes angles of signed integers below 16 bits in float16, and
// refuses `unsigned * -1`; those inputs take the numpy road.
template <class T>
constexpr bool is_signed_box_element = std::is_floating_point_v<T> || (std::is_signed_v<T> && sizeof(T) >= 2);
template <class T>
constexpr bool has_native_trigonometry = std::is_floating_point_v<T> || sizeof(T) >= 2;

// The element type of angles the kernels take, or -1.
int angle_type(PyArrayObject* angles) {
    switch (frame::type_of(angles)) {
        case NPY_DOUBLE:
        case NPY_FLOAT:
        case NPY_INT64:
        case NPY_INT32: return frame::type_of(angles);
        default: return -1;
    }
}

// Dispatch on the angle element type; the kernel computes cos and sin in the
// type numpy would.
template <class Visitor>
void with_angles(PyArrayObject* angles, Visitor&& visit) {
    switch (frame::type_of(angles)) {
        case NPY_DOUBLE: return visit(frame::view<const double, 1>(angles));
        case NPY_FLOAT: return visit(frame::view<const float, 1>(angles));
        case NPY_INT64: return visit(frame::view<const std::int64_t, 1>(angles));
        case NPY_INT32: return visit(frame::view<const std::int32_t, 1>(angles));
    }
}

// An in-place rotation may run natively when the stack (R, a, 2) is a
// writable float array whose type can hold the result (numpy's safe casting:
// float32 stacks only with float32 angles), the angles are (R,), and no
// element is read after another one was written.
PyArrayObject* native_rotation_target(PyObject* target, PyObject* rotation_rads, npy_intp middle_axis) {
    PyArrayObject* stack = frame::plain_array(target);
    PyArrayObject* angles = frame::plain_array(rotation_rads);
    if (stack == nullptr || angles == nullptr) return nullptr;
    if (PyArray_NDIM(stack) != 3 || PyArray_NDIM(angles) != 1) return nullptr;
    if (PyArray_DIM(stack, 2) != 2 || PyArray_DIM(angles, 0) != PyArray_DIM(stack, 0)) return nullptr;
    if (middle_axis >= 0 && PyArray_DIM(stack, 1) != middle_axis) return nullptr;
    if (!PyArray_ISWRITEABLE(stack) || angle_type(angles) < 0) return nullptr;
    const int stack_type = frame::type_of(stack);
    if (stack_type != NPY_DOUBLE && !(stack_type == NPY_FLOAT && frame::type_of(angles) == NPY_FLOAT)) return nullptr;
    if (frame::has_internal_overlap(stack) || frame::may_overlap(stack, angles)) return nullptr;
    return stack;
}

// np.array([[cr, -sr], [sr, cr]]).reshape(2, 2, number_of_rotations)
Ref numpy_rotation_stack(Borrowed rotation_rads, Borrowed number_of_rotations) {
    Ref np = global("np");
    Ref cr = np.attr("cos")(rotation_rads);
    Ref sr = np.attr("sin")(rotation_rads);
    Ref minus_sr = Ref::steal(PyNumber_Negative(sr));
    Ref rows = Ref::steal(Py_BuildValue("[[OO][OO]]", cr.get(), minus_sr.get(), sr.get(), cr.get()));
    return np.attr("array")(rows).attr("reshape")(2, 2, number_of_rotations);
}

// ---------------------------------------------------------------------------

Ref get_rotation_matrix_2d(Call& call) {
    Borrowed angle_in_deg = call[0], angle_in_rad = call[1];
    if (angle_in_deg.is_none() == angle_in_rad.is_none()) {
        Ref empty = frame::to_python("");
        Ref degrees = Ref::steal(PyObject_Format(angle_in_deg, empty));
        Ref radians = Ref::steal(PyObject_Format(angle_in_rad, empty));
        frame::raise(PyExc_ValueError, "Pass angle either in degrees (%U) in radians (%U).", degrees.get(),
                     radians.get());
    }
    double angle = angle_in_deg.is_none() ? call.real(1)
                                          : (call.real(0) / 180.0) * global("np").attr("pi").to_double();
    Ref matrix = frame::new_array({2, 2}, NPY_DOUBLE);
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(matrix.get())));
    const double c = std::cos(angle), s = std::sin(angle);
    values[0] = c;
    values[1] = -1.0 * s;
    values[2] = s;
    values[3] = c;
    return matrix;
}

Ref get_angles_from_points(Call& call) {
    Borrowed points = call[0];
    if (PyArrayObject* array = frame::plain_array(points);
        array != nullptr && PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) == 2) {
        const npy_intp number_of_points = PyArray_DIM(array, 0);
        auto angles_of = [&]<class In, class Out>(int result_type) {
            Ref angles = frame::new_array({number_of_points}, result_type);
            auto input = frame::view<const In, 2>(array);
            auto* output = static_cast<Out*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(angles.get())));
            const auto point = [&](std::ptrdiff_t i) {
                return std::pair{static_cast<Out>(input(i, 1)), static_cast<Out>(input(i, 0))};
            };
            kernels::for_each_atan2<Out>(number_of_points, point, [&](std::ptrdiff_t i, Out angle) { output[i] = angle; });
            return angles;
        };
        switch (frame::type_of(array)) {
            case NPY_DOUBLE: return angles_of.template operator()<double, double>(NPY_DOUBLE);
            case NPY_FLOAT: return angles_of.template operator()<float, float>(NPY_FLOAT);
            case NPY_INT64: return angles_of.template operator()<std::int64_t, double>(NPY_DOUBLE);
            case NPY_INT32: return angles_of.template operator()<std::int32_t, double>(NPY_DOUBLE);
        }
    }
    // 1. sizes, exactly two axes; 2. two-dimensional points
    Ref shape = points.attr("shape");
    Ref number_of_points = shape.at(0);
    Ref point_dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_points, point_dimensionality}));
    HALVEX_ASSERT(frame::equal(point_dimensionality, number(2)),
                  "Can only get angles from two-dimensional points. ");
    // 3. np.arctan2(*points[:, ::-1].T)
    Ref all = slice(Py_None, Py_None, Py_None);
    Ref reversed = slice(Py_None, Py_None, number(-1));
    Ref columns = points.item(tuple_of({all, reversed})).attr("T");
    Ref arguments = Ref::steal(PySequence_Tuple(columns));
    Ref angles = Ref::steal(PyObject_Call(global("np").attr("arctan2"), arguments, nullptr));
    // 4.
    HALVEX_ASSERT(shape_is(angles.attr("shape"), {number_of_points}));
    return angles;
}

Ref rot_points_multi_rads(Call& call) {
    Borrowed points = call[0], rotation_rads = call[1];
    if (PyArrayObject* stack = native_rotation_target(points, rotation_rads, -1)) {
        auto* angles = reinterpret_cast<PyArrayObject*>(rotation_rads.get());
        with_angles(angles, [&](auto angle_view) {
            if (frame::type_of(stack) == NPY_DOUBLE)
                kernels::rotate_points(frame::view<double, 3>(stack), angle_view);
            else if constexpr (std::is_same_v<decltype(angle_view), kernels::Strided<const float, 1>>)
                kernels::rotate_points(frame::view<float, 3>(stack), angle_view);
        });
        return Ref::borrow(points);
    }
    // 1.
    Ref shape = points.attr("shape");
    Ref number_of_rotations = shape.at(0);
    Ref per_rotation = shape.at(1);
    Ref state_dimensionality = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_rotations, per_rotation, state_dimensionality}));
    HALVEX_ASSERT(shape_is(rotation_rads.attr("shape"), {number_of_rotations}));
    // 2.
    Ref rotation_matrix = numpy_rotation_stack(rotation_rads, number_of_rotations);
    HALVEX_ASSERT(shape_is(rotation_matrix.attr("shape"),
                           {state_dimensionality, state_dimensionality, number_of_rotations}));
    // 3.
    global("np").attr("einsum")("rcR,Rxc->Rxr", rotation_matrix, points, kw("out", points));
    // 4.
    HALVEX_ASSERT(shape_is(points.attr("shape"), {number_of_rotations, per_rotation, state_dimensionality}));
    return Ref::borrow(points);
}

Ref rot_mats_multi_rads(Call& call) {
    Borrowed matrices = call[0], rotation_rads = call[1];
    if (PyArrayObject* stack = native_rotation_target(matrices, rotation_rads, 2)) {
        auto* angles = reinterpret_cast<PyArrayObject*>(rotation_rads.get());
        with_angles(angles, [&](auto angle_view) {
            if (frame::type_of(stack) == NPY_DOUBLE)
                kernels::rotate_matrices(frame::view<double, 3>(stack), angle_view);
            else if constexpr (std::is_same_v<decltype(angle_view), kernels::Strided<const float, 1>>)
                kernels::rotate_matrices(frame::view<float, 3>(stack), angle_view);
        });
        return Ref::borrow(matrices);
    }
    // 1.
    Ref shape = matrices.attr("shape");
    Ref number_of_rotations = shape.at(0);
    Ref state_dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_rotations, state_dimensionality, state_dimensionality}));
    HALVEX_ASSERT(shape_is(rotation_rads.attr("shape"), {number_of_rotations}));
    // 2.
    Ref rotation_matrix = numpy_rotation_stack(rotation_rads, number_of_rotations);
    HALVEX_ASSERT(shape_is(rotation_matrix.attr("shape"),
                           {state_dimensionality, state_dimensionality, number_of_rotations}));
    // 3.
    global("np").attr("einsum")("tTR,RTS,sSR->Rts", rotation_matrix, matrices, rotation_matrix,
                                kw("out", matrices));
    // 4.
    HALVEX_ASSERT(shape_is(matrices.attr("shape"), {number_of_rotations, state_dimensionality, state_dimensionality}));
    return Ref::borrow(matrices);
}


// ---------------------------------------------------------------------------
// Box formats and lookups
// ---------------------------------------------------------------------------

Ref keypoints_trivial_lookup(Call& call) {
    Borrowed number_of_keypoints = call[0];
    Ref np = global("np");
    // 1.
    HALVEX_ASSERT(frame::equal(Ref::steal(PyNumber_Remainder(number_of_keypoints, number(3))), number(0)));
    // 2. true division, then truncation toward zero
    Ref number_of_boxes = Ref::steal(PyNumber_Long(Ref::steal(PyNumber_TrueDivide(number_of_keypoints, number(3)))));
    Ref expected_shape = tuple_of({Ref::steal(PyNumber_Multiply(number_of_boxes, number(3)))});
    // Each keypoint gets two unicode labels: its box number (4 bytes a digit)
    // and its role (6 characters).  Refuse at once what cannot fit.
    const double boxes = number_of_boxes.to_double();
    if (boxes > 0)
        frame::require_memory(3 * boxes, 4.0 * (std::floor(std::log10(std::max(boxes - 1, 1.0))) + 1) + 24,
                              "keypoint labels");
    // 3.
    Ref instance_lookup =
        np.attr("repeat")(np.attr("arange")(0, number_of_boxes), 3).attr("astype")(global("str"));
    HALVEX_ASSERT(frame::equal(instance_lookup.attr("shape"), expected_shape));
    // 4.
    Ref labels = np.attr("array")(Ref::steal(Py_BuildValue("[sss]", "center", "top", "right")));
    Ref row = labels.item(tuple_of({Py_None}));
    Ref position_lookup = np.attr("repeat")(row, number_of_boxes, kw("axis", 0)).attr("flatten")();
    HALVEX_ASSERT(frame::equal(position_lookup.attr("shape"), expected_shape));
    // 5.
    return tuple_of({instance_lookup, position_lookup});
}

Ref orva_to_box_corners(Call& call) {
    Borrowed orva_boxes = call[0];
    if (frame::is_own("rot_points_multi_rads", rot_points_multi_rads)) {
        if (PyArrayObject* boxes = plain_of_shape(orva_boxes, {-1, 5})) {
            Ref box_corners;
            const bool native = with_element_type(boxes, [&]<class T>(type_tag<T>) {
                if constexpr (is_signed_box_element<T>) {
                    box_corners = frame::new_array({PyArray_DIM(boxes, 0), 4, 2}, NPY_DOUBLE);
                    const bool rotated_to_nan = kernels::orva_to_box_corners(
                        frame::view<const T, 2>(boxes), frame::view<double, 3>(as_array(box_corners)));
                    // numpy's in-place check compares the rotated corners with themselves
                    HALVEX_ASSERT(!rotated_to_nan);
                    return true;
                }
                return false;
            });
            if (native) return box_corners;
        }
    }
    Ref np = global("np");
    // 1.-2.
    Ref shape = shape_of(orva_boxes);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_orva_box_coordinates = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_orva_box_coordinates}));
    HALVEX_ASSERT(frame::equal(number_of_orva_box_coordinates, number(5)),
                  "Boxes in ORVA format must consist of exactly five points: (center_x, center_y, width, height, "
                  "rotation).");
    // 3.
    Ref center = subscript(orva_boxes, {all_of_axis(), up_to(2)});
    Ref sizes = divide(subscript(orva_boxes, {all_of_axis(), from_to(2, 4)}), number(2));
    Ref rotations = subscript(orva_boxes, {all_of_axis(), number(4)});
    HALVEX_ASSERT(shape_is(shape_of(center), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(sizes), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // 4. the half-size offsets of the four corners
    auto signs = [&](int x, int y) { return np.attr("array")(Ref::steal(Py_BuildValue("[ii]", x, y))); };
    Ref offsets = Ref::steal(Py_BuildValue("[NNNN]", multiply(sizes, signs(-1, -1)).release(),
                                           multiply(sizes, signs(-1, 1)).release(),
                                           multiply(sizes, signs(1, 1)).release(),
                                           multiply(sizes, signs(1, -1)).release()));
    Ref box =
        np.attr("array")(offsets).attr("reshape")(4, number_of_boxes, 2).attr("swapaxes")(0, 1);
    HALVEX_ASSERT(shape_is(shape_of(box), {number_of_boxes, number(4), number(2)}));
    // 5.
    Ref result = global("rot_points_multi_rads")(kw("points", box),
                                                 kw("rotation_rads", multiply(rotations, number(-1))));
    HALVEX_ASSERT(all_equal(result, box));
    // 6.
    Ref centers = subscript(center, {all_of_axis(), Py_None});
    np.attr("add")(box, centers, kw("out", box));
    HALVEX_ASSERT(shape_is(shape_of(box), {number_of_boxes, number(4), number(2)}));
    return box;
}

Ref box_corners_to_orva(Call& call) {
    Borrowed box_corners = call[0], rotations = call[1];
    if (frame::is_own("rot_points_multi_rads", rot_points_multi_rads)) {
        PyArrayObject* corners = plain_of_shape(box_corners, {-1, 4, 2});
        PyArrayObject* angles = corners ? plain_of_shape(rotations, {PyArray_DIM(corners, 0)}) : nullptr;
        if (angles != nullptr) {
            Ref boxes_orva;
            const bool native = with_element_type(corners, [&]<class Corner>(type_tag<Corner>) {
                return with_element_type(angles, [&]<class Angle>(type_tag<Angle>) {
                    if constexpr (has_native_trigonometry<Angle>) {
                        // float32 corners cannot hold a float64 rotation: numpy's casting
                        // TypeError comes from the numpy road
                        if constexpr (sizeof(kernels::trigonometry_t<Angle>) <= sizeof(kernels::mean_t<Corner>)) {
                            using Result = kernels::box_corners_to_orva_result_t<Corner, Angle>;
                            boxes_orva = frame::new_array({PyArray_DIM(corners, 0), 5}, frame::numpy_type<Result>());
                            kernels::box_corners_to_orva(frame::view<const Corner, 3>(corners),
                                                         frame::view<const Angle, 1>(angles),
                                                         frame::view<Result, 2>(as_array(boxes_orva)));
                            return true;
                        }
                    }
                    return false;
                });
            });
            if (native) return boxes_orva;
        }
    }
    Ref np = global("np");
    // 1.
    Ref shape = shape_of(box_corners);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_box_corners = shape.at(1);
    Ref state_dimensionality = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_box_corners, state_dimensionality}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    HALVEX_ASSERT(frame::equal(number_of_box_corners, number(4)));
    HALVEX_ASSERT(frame::equal(state_dimensionality, number(2)));
    // 2.
    Ref centers = subscript(box_corners.attr("mean")(kw("axis", 1)), {all_of_axis(), Py_None});
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(1), state_dimensionality}));
    // 3.
    Ref rotated_box_corners = global("rot_points_multi_rads")(kw("points", subtract(box_corners, centers)),
                                                              kw("rotation_rads", negative(rotations)));
    HALVEX_ASSERT(shape_is(shape_of(rotated_box_corners), {number_of_boxes, number(4), number(2)}));
    // 4.
    Ref difference = subtract(subscript(rotated_box_corners, {all_of_axis(), number(1), all_of_axis()}),
                              subscript(rotated_box_corners, {all_of_axis(), number(3), all_of_axis()}));
    std::vector<Ref> sizes = unpack(np.attr("abs")(difference).attr("T"), 2);
    // 5.
    Ref columns = Ref::steal(Py_BuildValue(
        "[NNOON]", subscript(centers, {all_of_axis(), number(0), number(0)}).release(),
        subscript(centers, {all_of_axis(), number(0), number(1)}).release(), sizes[0].get(), sizes[1].get(),
        divide(rotations, number(-1)).release()));
    Ref boxes_orva = np.attr("array")(columns).attr("reshape")(5, number_of_boxes).attr("swapaxes")(1, 0);
    HALVEX_ASSERT(shape_is(shape_of(boxes_orva), {number_of_boxes, number(5)}));
    return boxes_orva;
}

Ref orva_to_keypoints(Call& call) {
    Borrowed orva_boxes = call[0];
    if (frame::is_own("rot_points_multi_rads", rot_points_multi_rads)) {
        if (PyArrayObject* boxes = plain_of_shape(orva_boxes, {-1, 5})) {
            Ref keypoints;
            const bool native = with_element_type(boxes, [&]<class T>(type_tag<T>) {
                if constexpr (is_signed_box_element<T>) {
                    keypoints = frame::new_array({3 * PyArray_DIM(boxes, 0), 2}, NPY_DOUBLE);
                    const bool rotated_to_nan = kernels::orva_to_keypoints(frame::view<const T, 2>(boxes),
                                                                           frame::view<double, 2>(as_array(keypoints)));
                    HALVEX_ASSERT(!rotated_to_nan,
                                  "Rotations are supposed to happen inplace, __tmp is therefore just a view to "
                                  "distance_difference.");
                    return true;
                }
                return false;
            });
            if (native) return keypoints;
        }
    }
    Ref np = global("np");
    // 1.
    Ref number_of_boxes = shape_of(orva_boxes).at(0);
    HALVEX_ASSERT(shape_is(shape_of(orva_boxes), {number_of_boxes, number(5)}));
    // 2.
    Ref centers = subscript(orva_boxes, {all_of_axis(), up_to(2)});
    Ref distances = divide(subscript(orva_boxes, {all_of_axis(), from_to(2, 4)}), number(2));
    // 3. -r brought into [-pi, pi)
    Ref pi = np.attr("pi");
    Ref two_pi = multiply(number(2), pi);
    Ref rotations = subtract(
        remainder(add(multiply(subscript(orva_boxes, {all_of_axis(), number(4)}), number(-1)), pi), two_pi), pi);
    // 4.
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(distances), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // 5.
    auto factors = [&](int x, int y) { return np.attr("array")(Ref::steal(Py_BuildValue("[ii]", x, y))); };
    Ref halves = Ref::steal(Py_BuildValue("[NN]", multiply(distances, factors(0, 1)).release(),
                                          multiply(distances, factors(1, 0)).release()));
    Ref distance_difference =
        np.attr("array")(halves).attr("reshape")(2, number_of_boxes, 2).attr("swapaxes")(0, 1);
    HALVEX_ASSERT(shape_is(shape_of(distance_difference), {number_of_boxes, number(2), number(2)}));
    // 6.
    Ref rotated = global("rot_points_multi_rads")(kw("points", distance_difference), kw("rotation_rads", rotations));
    HALVEX_ASSERT(all_equal(rotated, distance_difference),
                  "Rotations are supposed to happen inplace, __tmp is therefore just a view to distance_difference.");
    HALVEX_ASSERT(shape_is(shape_of(distance_difference), {number_of_boxes, number(2), number(2)}));
    // 7.
    Ref top = subtract(centers, subscript(distance_difference, {all_of_axis(), number(0)}));
    Ref right = add(centers, subscript(distance_difference, {all_of_axis(), number(1)}));
    HALVEX_ASSERT(shape_is(shape_of(top), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(right), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // 8. a view of the new contiguous array, never a copy
    Ref keypoints = np.attr("hstack")(tuple_of({centers, top, right}));
    Ref flat_shape = tuple_of({multiply(number_of_boxes, number(3)), number(2)});
    return keypoints.attr("reshape")(flat_shape, kw("copy", false));
}

Ref keypoints_to_orva(Call& call) {
    Borrowed keypoints = call[0];
    if (frame::is_own("get_angles_from_points", get_angles_from_points)) {
        PyArrayObject* parallelograms = plain_of_shape(keypoints, {-1, 3, 2});
        if (parallelograms != nullptr && PyArray_ISWRITEABLE(parallelograms) &&
            !frame::has_internal_overlap(parallelograms)) {
            Ref boxes_orva;
            const bool native = with_element_type(parallelograms, [&]<class T>(type_tag<T>) {
                if constexpr (has_native_trigonometry<T>) {
                    boxes_orva = frame::new_array({PyArray_DIM(parallelograms, 0), 5}, NPY_FLOAT);
                    kernels::keypoints_to_orva(frame::view<T, 3>(parallelograms),
                                               frame::view<float, 2>(as_array(boxes_orva)));
                    return true;
                }
                return false;
            });
            if (native) return boxes_orva;
        }
    }
    Ref np = global("np");
    // 1.
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    HALVEX_ASSERT(frame::equal(sizes[1], number(3)));
    HALVEX_ASSERT(frame::equal(sizes[2], number(2)));
    // 2.
    Ref boxes_orva = np.attr("empty")(tuple_of({sizes[0], number(5)}), kw("dtype", np.attr("float32")));
    // 3.
    assign(boxes_orva, {all_of_axis(), up_to(2)}, subscript(keypoints, {all_of_axis(), number(0)}));
    // 4. the caller's top and right become offsets from the center
    Ref half_axes = subscript(keypoints, {all_of_axis(), from_to(1, 3)});
    np.attr("subtract")(half_axes, subscript(keypoints, {all_of_axis(), up_to(1)}), kw("out", half_axes));
    // 5. height into column 3, width into column 2
    Ref doubled_norms = multiply(
        np.attr("linalg").attr("norm")(subscript(keypoints, {all_of_axis(), from_to(1, 3)}), kw("axis", 2)), number(2));
    assign(boxes_orva, {all_of_axis(), slice(number(3), number(1), number(-1))}, doubled_norms);
    // 6.
    Ref angles = global("get_angles_from_points")(subscript(keypoints, {all_of_axis(), number(1)}));
    Ref quarter_turn = divide(np.attr("pi"), number(2));
    assign(boxes_orva, {all_of_axis(), number(4)}, negative(add(angles, quarter_turn)));
    return boxes_orva;
}

Ref get_corner_points_from_box_tuples(Call& call) {
    Borrowed box_tuples = call[0];
    if (PyArrayObject* tuples = plain_of_shape(box_tuples, {-1, 2, 2})) {
        Ref box_corners;
        const bool native = with_element_type(tuples, [&]<class T>(type_tag<T>) {
            box_corners = frame::new_array({PyArray_DIM(tuples, 0), 4, 2}, frame::type_of(tuples));
            kernels::get_corner_points_from_box_tuples(frame::view<const T, 3>(tuples),
                                                       frame::view<T, 3>(as_array(box_corners)));
            return true;
        });
        if (native) return box_corners;
    }
    // 1.
    Ref shape = shape_of(box_tuples);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_support_points = shape.at(1);
    Ref state_dimension = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_support_points, state_dimension}));
    HALVEX_ASSERT(frame::equal(number_of_support_points, number(2)));
    HALVEX_ASSERT(frame::equal(state_dimension, number(2)));
    // 2.
    Ref top = subscript(box_tuples, {all_of_axis(), number(0)});
    Ref right = subscript(box_tuples, {all_of_axis(), number(1)});
    HALVEX_ASSERT(shape_is(shape_of(top), {number_of_boxes, state_dimension}));
    HALVEX_ASSERT(shape_is(shape_of(right), {number_of_boxes, state_dimension}));
    // 3.
    Ref corners = Ref::steal(Py_BuildValue("[NNNN]", subtract(top, right).release(), add(top, right).release(),
                                           subtract(right, top).release(), subtract(negative(right), top).release()));
    return global("np")
        .attr("array")(corners)
        .attr("swapaxes")(0, 1)
        .attr("reshape")(number_of_boxes, 4, state_dimension);
}

Ref keypoints_to_box_corners(Call& call) {
    Borrowed keypoints = call[0];
    if (frame::is_own("get_corner_points_from_box_tuples", get_corner_points_from_box_tuples)) {
        if (PyArrayObject* parallelograms = plain_of_shape(keypoints, {-1, 3, 2})) {
            Ref box_corners;
            const bool native = with_element_type(parallelograms, [&]<class T>(type_tag<T>) {
                box_corners = frame::new_array({PyArray_DIM(parallelograms, 0), 4, 2}, frame::type_of(parallelograms));
                kernels::keypoints_to_box_corners(frame::view<const T, 3>(parallelograms),
                                                  frame::view<T, 3>(as_array(box_corners)));
                return true;
            });
            if (native) return box_corners;
        }
    }
    // 1.
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    HALVEX_ASSERT(frame::equal(sizes[1], number(3)));
    HALVEX_ASSERT(frame::equal(sizes[2], number(2)));
    // 2. the boolean index True inserts an axis
    Ref parallelogram_center = subscript(subscript(keypoints, {all_of_axis(), number(0)}), {all_of_axis(), Py_True});
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_center), {sizes[0], number(1), sizes[2]}));
    // 3.
    Ref parallelogram_tuple = subtract(subscript(keypoints, {all_of_axis(), from_to(1, 3)}), parallelogram_center);
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_tuple), {sizes[0], number(2), sizes[2]}));
    // 4.
    Ref box_corners = global("get_corner_points_from_box_tuples")(parallelogram_tuple);
    HALVEX_ASSERT(shape_is(shape_of(box_corners), {sizes[0], number(4), sizes[2]}));
    // 5.
    return add(box_corners, parallelogram_center);
}


// ---------------------------------------------------------------------------
// Keypoint regrouping
// ---------------------------------------------------------------------------

const char* position_name(kernels::KeypointPosition position) {
    switch (position) {
        case kernels::KeypointPosition::center: return "center";
        case kernels::KeypointPosition::top: return "top";
        default: return "right";
    }
}

[[noreturn]] void raise_key_error(const char* key) {
    PyErr_SetObject(PyExc_KeyError, frame::to_python(key));
    throw frame::python_error();
}

[[noreturn]] void raise_out_of_bounds(long long index, long long size) {
    frame::raise(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld", index, size);
}

// str or np.str_: labels whose hashing and equality are those of their text.
bool is_text_label(PyObject* label) {
    return PyUnicode_CheckExact(label) || Py_TYPE(label) == &PyUnicodeArrType_Type;
}

// The roles of the keypoints when every position label is text (str or
// np.str_, whose dictionary keys compare as their text); nullopt otherwise,
// and the labels then go through a real dictionary on the numpy road.
std::optional<std::vector<kernels::KeypointPosition>> text_positions(Borrowed arr_positions, npy_intp count) {
    PyArrayObject* positions = plain_of_shape(arr_positions, {count});
    if (positions == nullptr || frame::type_of(positions) != NPY_OBJECT) return std::nullopt;
    std::vector<kernels::KeypointPosition> roles(static_cast<std::size_t>(count));
    for (npy_intp index = 0; index < count; ++index) {
        PyObject* label = *static_cast<PyObject**>(PyArray_GETPTR1(positions, index));
        if (label == nullptr) return std::nullopt;
        if (!is_text_label(label))
            return std::nullopt;
        roles[index] = PyUnicode_CompareWithASCIIString(label, "center") == 0 ? kernels::KeypointPosition::center
                       : PyUnicode_CompareWithASCIIString(label, "top") == 0  ? kernels::KeypointPosition::top
                       : PyUnicode_CompareWithASCIIString(label, "right") == 0
                           ? kernels::KeypointPosition::right
                           : kernels::KeypointPosition::unmatched;
    }
    return roles;
}

kernels::UnicodeLabels unicode_labels(PyArrayObject* labels) {
    return {static_cast<const char*>(PyArray_DATA(labels)), PyArray_DIM(labels, 0), PyArray_STRIDE(labels, 0),
            static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(labels) / 4)};
}

// One keyword array on its way into the instance order.
struct CarriedArray {
    Ref key, values, sorted;
    PyArrayObject* source = nullptr;  // set when its rows can be gathered natively
};

// The per-instance loop in numpy, for labels the native grouping does not
// cover; it searches all keypoints once per instance.
void regroup_with_numpy(Borrowed instance_array, Borrowed arr_keypoints, Borrowed arr_positions,
                        Borrowed unique_instances, Borrowed sorted_keypoints, Borrowed to_original_index,
                        const std::vector<CarriedArray>& carried) {
    Ref np = global("np");
    Ref roles = Ref::steal(Py_BuildValue("(sss)", "center", "top", "right"));
    Ref iterator = Ref::steal(PyObject_GetIter(unique_instances));
    for (Py_ssize_t i = 0;; ++i) {
        Ref uiid = Ref::steal_or_null(PyIter_Next(iterator));
        if (!uiid) {
            if (PyErr_Occurred()) throw frame::python_error();
            break;
        }
        // 9.1 later keypoints of a role win
        Ref matches = Ref::steal(PyObject_RichCompare(instance_array, Ref::steal(PyObject_Str(uiid)), Py_EQ));
        Ref indices = np.attr("where")(matches).at(0);
        Ref position_map = Ref::steal(PyDict_New());
        Ref index_iterator = Ref::steal(PyObject_GetIter(indices));
        while (Ref index = Ref::steal_or_null(PyIter_Next(index_iterator)))
            frame::check(PyObject_SetItem(position_map, arr_positions.item(index), index));
        if (PyErr_Occurred()) throw frame::python_error();
        // 9.2
        Ref rows = Ref::steal(PyList_New(3));
        for (Py_ssize_t role = 0; role < 3; ++role)
            PyList_SET_ITEM(rows.get(), role,
                            arr_keypoints.item(position_map.item(PyTuple_GET_ITEM(roles.get(), role))).release());
        frame::check(PyObject_SetItem(sorted_keypoints, number(i), rows));
        // 9.3
        for (const CarriedArray& array : carried) {
            Ref row = Ref::steal(PyNumber_Long(uiid));
            frame::check(PyObject_SetItem(array.sorted, number(i), array.values.item(row)));
        }
        // 9.4
        frame::check(PyObject_SetItem(to_original_index, number(i), Ref::steal(PyNumber_Long(uiid))));
    }
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
            throw frame::python_error();
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
    Ref array = frame::new_array({count}, NPY_OBJECT);  // slots start out NULL
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
        if (i == 0) descriptor = PyArray_DESCR(point);
        else if (PyArray_DESCR(point) != descriptor && !PyArray_EquivTypes(PyArray_DESCR(point), descriptor)) return {};
    }
    PyArrayObject* first = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(list.get(), 0));
    if (!with_element_type(first, [](auto) { return true; })) return {};
    Ref array = frame::new_array({count, 2}, frame::type_of(first));
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

Ref assemble_keypoints_after_shuffle(Call& call) {
    Borrowed keypoints = call[0], instances = call[1], positions = call[2], kwargs = call[3];
    Ref np = global("np");
    // 1.-4.
    const Py_ssize_t number_of_position_measurements = PyList_GET_SIZE(instances.get());
    Ref measurements = number(number_of_position_measurements);
    // the usual lists are converted directly; numpy converts (and rejects) the rest
    Ref instance_array = unicode_array_of(instances);
    if (!instance_array) instance_array = np.attr("array")(instances);
    HALVEX_ASSERT(shape_is(shape_of(instance_array), {measurements}));
    Ref arr_keypoints = point_array_of(keypoints);
    if (arr_keypoints && PyList_GET_SIZE(keypoints.get()) != number_of_position_measurements) arr_keypoints = Ref();
    if (!arr_keypoints) arr_keypoints = np.attr("array")(keypoints).attr("reshape")(measurements, 2);
    Ref keypoint_dimensionality = shape_of(arr_keypoints).at(1);
    HALVEX_ASSERT(shape_is(shape_of(arr_keypoints), {measurements, keypoint_dimensionality}));
    Ref arr_positions = object_array_of(positions);
    if (!arr_positions) arr_positions = np.attr("array")(positions, kw("dtype", "object"));
    HALVEX_ASSERT(shape_is(shape_of(arr_positions), {measurements}));

    // The native grouping replaces np.unique and the per-instance search:
    // one stable sort of the labels gives np.unique's order and, within a
    // label, the keypoints in index order (so later duplicates win).
    PyArrayObject* labels = plain_of_shape(instance_array, {number_of_position_measurements});
    PyArrayObject* points = plain_of_shape(arr_keypoints, {number_of_position_measurements, 2});
    std::optional<std::vector<kernels::KeypointPosition>> roles;
    if (labels != nullptr && frame::type_of(labels) == NPY_UNICODE && points != nullptr &&
        with_element_type(points, [](auto) { return true; }))
        roles = text_positions(arr_positions, number_of_position_measurements);
    std::vector<kernels::InstanceKeypoints> groups;
    Ref unique_instances, number_of_unique_instances;
    if (roles) {
        groups = kernels::group_keypoints_by_instance(unicode_labels(labels), *roles);
        number_of_unique_instances = number(static_cast<Py_ssize_t>(groups.size()));
    } else {
        // 5.
        unique_instances = np.attr("unique")(instance_array);
        number_of_unique_instances = shape_of(unique_instances).at(0);
    }
    // 6. every box kept all three keypoints
    Ref boxes_by_count = Ref::steal(PyFloat_FromDouble(static_cast<double>(number_of_position_measurements) / 3));
    HALVEX_ASSERT(frame::equal(number_of_unique_instances, boxes_by_count));
    // 7.
    // The native road writes into these arrays directly, so it makes them
    // itself (what np.empty makes: C-ordered float64) rather than trusting
    // whatever `np` is bound to.
    const npy_intp unique_count = static_cast<npy_intp>(groups.size());
    Ref sorted_keypoints =
        roles ? frame::new_array({unique_count, 3, 2}, NPY_DOUBLE)
              : np.attr("empty")(tuple_of({number_of_unique_instances, number(3), keypoint_dimensionality}));
    std::vector<CarriedArray> carried;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        CarriedArray array{Ref::borrow(key), Ref::borrow(value), Ref()};
        PyArrayObject* source = roles ? frame::plain_array(value) : nullptr;
        if (source != nullptr && PyArray_NDIM(source) >= 1 && with_element_type(source, [](auto) { return true; })) {
            std::vector<npy_intp> shape(PyArray_DIMS(source), PyArray_DIMS(source) + PyArray_NDIM(source));
            shape[0] = unique_count;
            array.sorted = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(source), shape.data(), NPY_DOUBLE));
            array.source = source;
        } else {
            Ref trailing =
                Ref::steal(PySequence_Tuple(Ref::steal(PySequence_GetSlice(shape_of(value), 1, PY_SSIZE_T_MAX))));
            Ref shape = Ref::steal(PySequence_Concat(tuple_of({number_of_unique_instances}), trailing));
            array.sorted = np.attr("empty")(shape);
        }
        carried.push_back(std::move(array));
    }
    Ref to_original_index =
        roles ? frame::new_array({unique_count}, NPY_DOUBLE) : np.attr("empty")(number_of_unique_instances);
    // 8.
    for (const CarriedArray& array : carried)
        HALVEX_ASSERT(frame::equal(shape_of(array.values).at(0), number_of_unique_instances));

    // 9.
    if (!roles) {
        regroup_with_numpy(instance_array, arr_keypoints, arr_positions, unique_instances, sorted_keypoints,
                           to_original_index, carried);
    } else {
        const kernels::UnicodeLabels label_text = unicode_labels(labels);
        const std::size_t number_of_instances = groups.size();
        // per carried array, the source row of every instance; -1 where
        // Python did the copy itself
        std::vector<std::vector<std::ptrdiff_t>> source_rows(carried.size(),
                                                             std::vector<std::ptrdiff_t>(number_of_instances));
        auto* original_index = static_cast<double*>(PyArray_DATA(as_array(to_original_index)));
        // Errors surface in the loop's order: per instance a missing role
        // (KeyError), then int() of the label, then each keyword array's row.
        for (std::size_t i = 0; i < number_of_instances; ++i) {
            const kernels::InstanceKeypoints& group = groups[i];
            if (auto missing = group.first_missing_position()) raise_key_error(position_name(*missing));
            std::optional<std::int64_t> label_value = kernels::parse_decimal_label(label_text.text(group.label_index));
            Ref python_value;  // int() of labels that the plain parser leaves to Python
            if (!label_value) {
                // int() of the np.str_ element, as the loop over np.unique's result calls it
                python_value = Ref::steal(PyNumber_Long(instance_array.at(group.label_index)));
                int overflow = 0;
                const long long fitted = PyLong_AsLongLongAndOverflow(python_value, &overflow);
                if (fitted == -1 && PyErr_Occurred()) throw frame::python_error();
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
                    Ref index = python_value ? python_value : frame::to_python(*label_value);
                    frame::check(PyObject_SetItem(array.sorted, number(static_cast<Py_ssize_t>(i)),
                                                  array.values.item(index)));
                    source_rows[k][i] = -1;
                }
            }
            if (label_value)
                original_index[i] = static_cast<double>(*label_value);
            else
                frame::check(PyObject_SetItem(to_original_index, number(static_cast<Py_ssize_t>(i)), python_value));
        }
        with_element_type(points, [&]<class T>(type_tag<T>) {
            kernels::gather_instance_keypoints(frame::view<const T, 2>(points),
                                               std::span<const kernels::InstanceKeypoints>(groups),
                                               frame::view<double, 3>(as_array(sorted_keypoints)));
            return true;
        });
        for (std::size_t k = 0; k < carried.size(); ++k) {
            const CarriedArray& array = carried[k];
            if (array.source == nullptr) continue;
            const std::vector<std::ptrdiff_t>& rows = source_rows[k];
            if (std::find(rows.begin(), rows.end(), -1) != rows.end()) {
                // a row index beyond int64 that numpy accepted after all: copy every row as Python does
                for (std::size_t i = 0; i < rows.size(); ++i)
                    if (rows[i] >= 0)
                        frame::check(PyObject_SetItem(array.sorted, number(static_cast<Py_ssize_t>(i)),
                                                      array.values.at(rows[i])));
                continue;
            }
            // rows x elements-per-row views of the source and of the new array
            Ref source = Ref::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(array.source)));
            const npy_intp source_rows_count = PyArray_DIM(array.source, 0);
            const npy_intp elements_per_row =
                source_rows_count == 0 ? 0 : PyArray_SIZE(array.source) / source_rows_count;
            PyArrayObject* contiguous = as_array(source);
            with_element_type(contiguous, [&]<class T>(type_tag<T>) {
                kernels::Strided<const T, 2> from;
                from.data = static_cast<char*>(PyArray_DATA(contiguous));
                from.shape = {source_rows_count, elements_per_row};
                from.strides = {static_cast<std::ptrdiff_t>(elements_per_row * sizeof(T)), sizeof(T)};
                kernels::Strided<double, 2> to;
                to.data = static_cast<char*>(PyArray_DATA(as_array(array.sorted)));
                to.shape = {static_cast<std::ptrdiff_t>(rows.size()), elements_per_row};
                to.strides = {static_cast<std::ptrdiff_t>(elements_per_row * sizeof(double)), sizeof(double)};
                kernels::gather_rows_as_double(from, std::span<const std::ptrdiff_t>(rows), to);
                return true;
            });
        }
    }
    // 10.
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(2 + carried.size())));
    PyTuple_SET_ITEM(result.get(), 0, sorted_keypoints.release());
    PyTuple_SET_ITEM(result.get(), 1, to_original_index.release());
    for (std::size_t k = 0; k < carried.size(); ++k)
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(2 + k), carried[k].sorted.release());
    return result;
}

// ---------------------------------------------------------------------------
// Reconstruction
// ---------------------------------------------------------------------------

// The two callables of coordinate_transformation share one body each; a call
// makes closures of them over its own arrays (captured, not copied).
frame::Retained forward_transformation_prototype, backward_transformation_prototype;

// lambda a: coordinate_transform_matrix.dot((a - new_origin).T).T
Ref forward_transformation(Call& call) {
    Borrowed a = call[0];
    Borrowed new_origin = PyTuple_GET_ITEM(call.captured().get(), 0);
    Borrowed coordinate_transform_matrix = PyTuple_GET_ITEM(call.captured().get(), 2);
    Ref offsets = Ref::steal(PyNumber_Subtract(a, new_origin));
    return coordinate_transform_matrix.attr("dot")(offsets.attr("T")).attr("T");
}

// lambda a: base_system.dot(a.T).T + new_origin
Ref backward_transformation(Call& call) {
    Borrowed a = call[0];
    Borrowed new_origin = PyTuple_GET_ITEM(call.captured().get(), 0);
    Borrowed base_system = PyTuple_GET_ITEM(call.captured().get(), 1);
    Ref turned = base_system.attr("dot")(a.attr("T")).attr("T");
    return Ref::steal(PyNumber_Add(turned, new_origin));
}

Ref coordinate_transformation(Call& call) {
    Borrowed spanning_points = call[0];
    // 1.-4.
    Ref shape = spanning_points.attr("shape");
    Ref number_of_spanning_points = shape.at(0);
    Ref dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_spanning_points, dimensionality}));
    HALVEX_ASSERT(frame::equal(Ref::steal(PyNumber_Add(dimensionality, number(1))), number_of_spanning_points));
    HALVEX_ASSERT(frame::equal(dimensionality, number(2)),
                  "The dimensionality of the points has to be two, otherwise slightly adapt and test.");
    // 5.
    Ref new_origin = spanning_points.at(1);
    HALVEX_ASSERT(shape_is(new_origin.attr("shape"), {dimensionality}));
    // 6.
    Ref corners = spanning_points.item(Ref::steal(Py_BuildValue("[ii]", 0, 2)));
    Ref base_system = Ref::steal(PyNumber_Subtract(corners, new_origin)).attr("T");
    HALVEX_ASSERT(shape_is(base_system.attr("shape"), {dimensionality, dimensionality}));
    // 7.
    Ref coordinate_transform_matrix = global("np").attr("linalg").attr("pinv")(base_system);
    HALVEX_ASSERT(shape_is(coordinate_transform_matrix.attr("shape"), {dimensionality, dimensionality}));
    // 8.
    Ref captured = tuple_of({new_origin, base_system, coordinate_transform_matrix});
    return tuple_of({frame::make_closure(forward_transformation_prototype, captured),
                     frame::make_closure(backward_transformation_prototype, captured)});
}

// What a reconstruction mode compares equal to, tested with == in the order
// MAX, AVG, MIN.
kernels::BoxReconstruction reconstruction_mode(Borrowed mode) {
    Ref members = global("BoxReconstruction");
    if (python_equal(mode, members.attr("MAX"))) return kernels::BoxReconstruction::maximum;
    if (python_equal(mode, members.attr("AVG"))) return kernels::BoxReconstruction::average;
    if (python_equal(mode, members.attr("MIN"))) return kernels::BoxReconstruction::minimum;
    return kernels::BoxReconstruction::unmatched;
}

Ref parallelogram_to_box(Call& call) {
    Borrowed parallelogram_flat = call[0], longer_axis_index = call[1], box_reconstruction_mode = call[2];
    PyArrayObject* flat = plain_of_shape(parallelogram_flat, {-1, 2});
    PyArrayObject* longer = flat ? plain_of_shape(longer_axis_index, {PyArray_DIM(flat, 0) / 2}) : nullptr;
    if (longer != nullptr && PyArray_DIM(flat, 0) % 2 == 0 && PyArray_ISWRITEABLE(flat) &&
        !frame::has_internal_overlap(flat) &&
        (frame::type_of(flat) == NPY_DOUBLE || frame::type_of(flat) == NPY_FLOAT)) {
        std::optional<kernels::ParallelogramToBoxOutcome> outcome;
        const bool native = with_element_type(longer, [&]<class Index>(type_tag<Index>) {
            // uint64 + int64 becomes float64 in numpy, which refuses it as an index
            if constexpr (std::is_integral_v<Index> && (std::is_signed_v<Index> || sizeof(Index) < 8)) {
                const kernels::BoxReconstruction mode = reconstruction_mode(box_reconstruction_mode);
                auto reconstruct = [&]<class T>(type_tag<T>) {
                    outcome = kernels::parallelogram_to_box(frame::view<T, 2>(flat),
                                                            frame::view<const Index, 1>(longer), mode);
                };
                if (frame::type_of(flat) == NPY_DOUBLE)
                    reconstruct(type_tag<double>{});
                else
                    reconstruct(type_tag<float>{});
                if (outcome->out_of_bounds_index) {
                    // the adjusting modes index the longer half-axes before anything
                    // else; the others read them only inside the closing assertion
                    const bool adjusts_length = mode == kernels::BoxReconstruction::maximum ||
                                                mode == kernels::BoxReconstruction::minimum;
                    if (adjusts_length || frame::assertions_enabled())
                        raise_out_of_bounds(*outcome->out_of_bounds_index, PyArray_DIM(flat, 0));
                    return true;
                }
                HALVEX_ASSERT(outcome->longer_axes_on_x_axis);
                return true;
            }
            return false;
        });
        if (native) return Ref::borrow(parallelogram_flat);
    }
    Ref np = global("np");
    // 1.-4.
    Ref shape = shape_of(parallelogram_flat);
    Ref number_of_points = shape.at(0);
    Ref dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_points, dimensionality}));
    HALVEX_ASSERT(frame::equal(dimensionality, number(2)),
                  "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces.");
    HALVEX_ASSERT(frame::equal(remainder(number_of_points, number(2)), number(0)),
                  "the flat parallelogram points have to contain two points per parallelogram.");
    // 5.
    Ref number_of_parallelograms = shape_of(longer_axis_index).at(0);
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_index), {number_of_parallelograms}));
    HALVEX_ASSERT(frame::equal(multiply(number(2), number_of_parallelograms), number_of_points));
    // 6.
    Ref other_point_index =
        add(remainder(add(longer_axis_index, number(1)), number(2)),
            multiply(np.attr("arange")(shape_of(longer_axis_index).at(0)), number(2)));
    HALVEX_ASSERT(shape_is(shape_of(other_point_index), {number_of_parallelograms}));
    // 7. flat[L, 0] += |flat[O, 0]|, or -=
    auto adjust_longer_half_axes = [&](binaryfunc in_place) {
        Ref index = tuple_of({longer_axis_index, number(0)});
        Ref longer_x = parallelogram_flat.item(index);
        Ref other_x = np.attr("abs")(subscript(parallelogram_flat, {other_point_index, number(0)}));
        Ref adjusted = Ref::steal(in_place(longer_x, other_x));
        frame::check(PyObject_SetItem(parallelogram_flat, index, adjusted));
    };
    Ref members = global("BoxReconstruction");
    if (python_equal(box_reconstruction_mode, members.attr("MAX"))) {
        adjust_longer_half_axes(PyNumber_InPlaceAdd);
    } else if (python_equal(box_reconstruction_mode, members.attr("AVG"))) {
    } else if (python_equal(box_reconstruction_mode, members.attr("MIN"))) {
        adjust_longer_half_axes(PyNumber_InPlaceSubtract);
    }
    // 8.
    assign(parallelogram_flat, {other_point_index, number(0)}, number(0));
    // 9.
    HALVEX_ASSERT(Ref::steal(PyObject_RichCompare(
                                 np.attr("abs")(subscript(parallelogram_flat, {longer_axis_index, number(1)})),
                                 Ref::steal(PyFloat_FromDouble(1e-5)), Py_LT))
                      .call_method("all")
                      .truth());
    return Ref::borrow(parallelogram_flat);
}

// Native only while every function the algorithm calls by name is still ours.
bool reconstruction_calls_are_own() {
    return frame::is_own("rot_points_multi_rads", rot_points_multi_rads) &&
           frame::is_own("get_angles_from_points", get_angles_from_points) &&
           frame::is_own("parallelogram_to_box", parallelogram_to_box) &&
           frame::is_own("get_corner_points_from_box_tuples", get_corner_points_from_box_tuples);
}

Ref get_box_and_rotation_from_parallelogram_keypoints(Call& call) {
    Borrowed parallelogram_keypoints = call[0], box_reconstruction_mode = call[1];
    if (reconstruction_calls_are_own()) {
        if (PyArrayObject* keypoints = plain_of_shape(parallelogram_keypoints, {-1, 3, 2})) {
            std::optional<kernels::BoxReconstruction> mode;
            try {
                mode = reconstruction_mode(box_reconstruction_mode);
            } catch (const frame::python_error&) {
                // a mode whose == raises: the numpy road raises it where the algorithm compares
                PyErr_Clear();
            }
            Ref box_corners, rotations;
            const bool native = mode && with_element_type(keypoints, [&]<class T>(type_tag<T>) {
                const npy_intp number_of_parallelograms = PyArray_DIM(keypoints, 0);
                box_corners = frame::new_array({number_of_parallelograms, 4, 2}, NPY_DOUBLE);
                rotations = frame::new_array({number_of_parallelograms}, NPY_DOUBLE);
                const bool checks_pass = kernels::get_box_and_rotation_from_parallelogram_keypoints(
                    frame::view<const T, 3>(keypoints), *mode, frame::view<double, 3>(as_array(box_corners)),
                    frame::view<double, 1>(as_array(rotations)));
                HALVEX_ASSERT(checks_pass);
                return true;
            });
            if (native) return tuple_of({box_corners, rotations});
        }
    }
    Ref np = global("np");
    // 1.-4.
    Ref keypoints = parallelogram_keypoints.call_method("astype", np.attr("float64"), kw("copy", false));
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    const Ref &number_of_parallelograms = sizes[0], &number_of_keypoints = sizes[1], &dimensionality = sizes[2];
    HALVEX_ASSERT(frame::equal(dimensionality, number(2)),
                  "This function is only designed to work for two-dimensional boxes");
    HALVEX_ASSERT(frame::equal(number_of_keypoints, number(3)),
                  "For two dimensional boxes we need exactly three keypoints to represent a parallelogram");
    // 5.-7. the one copy every later step works in
    Ref centers = subscript(keypoints, {all_of_axis(), number(0), all_of_axis()});
    Ref parallelogram_center = np.attr("expand_dims")(centers, 1);
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_center), {number_of_parallelograms, number(1), dimensionality}));
    Ref parallelogram_tuple = subscript(keypoints, {all_of_axis(), from_to(1, 3)}).call_method("copy");
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_tuple), {number_of_parallelograms, number(2), dimensionality}));
    np.attr("subtract")(parallelogram_tuple, parallelogram_center, kw("out", parallelogram_tuple));
    // 8.-9.
    Ref longer_axis_flat =
        np.attr("argmax")(np.attr("linalg").attr("norm")(parallelogram_tuple, kw("axis", 2)), 1);
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_flat), {number_of_parallelograms}));
    np.attr("add")(longer_axis_flat, multiply(np.attr("arange")(number_of_parallelograms), number(2)),
                   kw("out", longer_axis_flat));
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_flat), {number_of_parallelograms}));
    // 10.-12.  The buffer is seen as (2n) x 2 and as n x 2 x 2 through views
    // that never copy, in place of reassigning `.shape`.
    Ref flat_shape = tuple_of({multiply(number_of_parallelograms, number(2)), dimensionality});
    Ref paired_shape = tuple_of({number_of_parallelograms, number(2), dimensionality});
    auto seen_as = [](Borrowed array, Borrowed shape) {
        return array.call_method("reshape", shape, kw("copy", false));
    };
    Ref tuple_flat = seen_as(parallelogram_tuple, flat_shape);
    Ref parallelogram_tuple_flat = tuple_flat.call_method("reshape", flat_shape);
    HALVEX_ASSERT(frame::equal(shape_of(parallelogram_tuple_flat), flat_shape));
    Ref angle_parallelogram_x = global("get_angles_from_points")(parallelogram_tuple_flat.item(longer_axis_flat));
    HALVEX_ASSERT(shape_is(shape_of(angle_parallelogram_x), {number_of_parallelograms}));
    Ref tuple_paired = seen_as(tuple_flat, paired_shape);
    // 13.
    Ref result = global("rot_points_multi_rads")(kw("points", tuple_paired),
                                                 kw("rotation_rads", negative(angle_parallelogram_x)));
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    // 14.-15.
    tuple_flat = seen_as(tuple_paired, flat_shape);
    result = global("parallelogram_to_box")(tuple_flat, longer_axis_flat,
                                            kw("box_reconstruction_mode", box_reconstruction_mode));
    tuple_paired = seen_as(tuple_flat, paired_shape);
    // the returned object is the one reshaped when it is the buffer passed in
    if (result.is(tuple_flat)) result = tuple_paired;
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    HALVEX_ASSERT(all_equal(result.call_method("flatten"), tuple_paired.call_method("flatten")));
    // 16.
    result = global("rot_points_multi_rads")(kw("points", tuple_paired), kw("rotation_rads", angle_parallelogram_x));
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    HALVEX_ASSERT(shape_is(shape_of(tuple_paired), {number_of_parallelograms, number(2), dimensionality}));
    // 17.-18.
    Ref box_corners = global("get_corner_points_from_box_tuples")(tuple_paired);
    HALVEX_ASSERT(shape_is(shape_of(box_corners), {number_of_parallelograms, number(4), dimensionality}));
    np.attr("add")(box_corners, parallelogram_center, kw("out", box_corners));
    // 19.
    Ref top_half_axes = subscript(tuple_paired, {all_of_axis(), number(0)});
    Ref rotations = add(global("get_angles_from_points")(top_half_axes), divide(np.attr("pi"), number(2)));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_parallelograms}));
    return tuple_of({box_corners, rotations});
}

const frame::Callable forward_transformation_row = {
    "coordinate_transformation.<locals>.<lambda>(a)", nullptr, forward_transformation};
const frame::Callable backward_transformation_row = {
    "coordinate_transformation.<locals>.<lambda>(a)", nullptr, backward_transformation};


// ---------------------------------------------------------------------------
// Clipping at the image border
// ---------------------------------------------------------------------------

// u x v = u[0] * v[1] - u[1] * v[0].  np.cross no longer takes 2-vectors, so
// the scalar cross product is spelled out with the same operations.
Ref cross_product(Borrowed u, Borrowed v) {
    Ref first = Ref::steal(PyNumber_Multiply(u.at(0), v.at(1)));
    Ref second = Ref::steal(PyNumber_Multiply(u.at(1), v.at(0)));
    return Ref::steal(PyNumber_Subtract(first, second));
}

bool less(PyObject* left, PyObject* right) { return frame::check(PyObject_RichCompareBool(left, right, Py_LT)) != 0; }

// A float64 vector of two values that the kernels can read in place.
std::optional<kernels::PlanePoint> plane_point(PyObject* object) {
    PyArrayObject* array = frame::plain_array(object);
    if (array == nullptr || PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != 2 ||
        frame::type_of(array) != NPY_DOUBLE)
        return std::nullopt;
    auto values = frame::view<const double, 1>(array);
    return kernels::PlanePoint{values(0), values(1)};
}

Ref new_point(kernels::PlanePoint point) {
    Ref result = frame::new_array({2}, NPY_DOUBLE);
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    values[0] = point.x;
    values[1] = point.y;
    return result;
}

Ref intersect(Call& call) {
    Borrowed a1 = call[0], a2 = call[1], b1 = call[2], b2 = call[3];
    auto a_start = plane_point(a1), a_end = plane_point(a2), b_start = plane_point(b1), b_end = plane_point(b2);
    if (a_start && a_end && b_start && b_end) {
        kernels::SegmentCrossing crossing = kernels::intersect(*a_start, *a_end, *b_start, *b_end);
        // Parallel segments: the assertion, or under -O numpy's division with its warnings.
        if (!crossing.parallel) return crossing.crosses ? new_point(crossing.point) : Ref::none();
        HALVEX_ASSERT(false);
    }
    // 1. directions
    Ref r = Ref::steal(PyNumber_Subtract(a2, a1));
    Ref s = Ref::steal(PyNumber_Subtract(b2, b1));
    // 2.-3.
    Ref start_offset = Ref::steal(PyNumber_Subtract(b1, a1));
    Ref nominator = cross_product(start_offset, s);
    Ref denominator = cross_product(r, s);
    HALVEX_ASSERT(frame::check(PyObject_RichCompareBool(denominator, number(0), Py_NE)));
    // 4.
    Ref lambda_a = Ref::steal(PyNumber_TrueDivide(nominator, denominator));
    Ref lambda_b = Ref::steal(PyNumber_TrueDivide(cross_product(start_offset, r), denominator));
    // 5. distance of the worse parameter from [0, 1]
    auto distance_from_unit_interval = [](Borrowed parameter) -> Ref {
        if (frame::check(PyObject_RichCompareBool(parameter, number(0), Py_LE))) return Ref::steal(PyNumber_Negative(parameter));
        if (frame::check(PyObject_RichCompareBool(parameter, number(1), Py_GE)))
            return Ref::steal(PyNumber_Subtract(parameter, number(1)));
        return number(0);
    };
    Ref badness_a = distance_from_unit_interval(lambda_a), badness_b = distance_from_unit_interval(lambda_b);
    double badness = (less(badness_a, badness_b) ? badness_b : badness_a).to_double();
    // 6.
    if (!(badness < 1e-11)) return Ref::none();
    Ref one = frame::to_python(1.0), zero = frame::to_python(0.0);
    Ref clamped = less(one, lambda_b) ? one : lambda_b;
    if (less(clamped, zero)) clamped = zero;
    return Ref::steal(PyNumber_Add(b1, Ref::steal(PyNumber_Multiply(clamped, s))));
}

// The native clip runs on float64 corners and an image size given as two
// Python numbers or a float64 / int64 vector; the largest coordinates are
// formed as numpy forms them (integers stay exact before widening).
std::optional<kernels::PlanePoint> largest_coordinates(PyObject* image_size) {
    auto reduced = [](PyObject* value) -> std::optional<double> {
        if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) - 1.0;
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0 || integer == -1 && PyErr_Occurred() || integer < -(1LL << 53) || integer > (1LL << 53)) {
                PyErr_Clear();
                return std::nullopt;
            }
            return static_cast<double>(integer - 1);
        }
        return std::nullopt;
    };
    if ((PyTuple_CheckExact(image_size) || PyList_CheckExact(image_size)) && PySequence_Fast_GET_SIZE(image_size) == 2) {
        auto x = reduced(PySequence_Fast_GET_ITEM(image_size, 0));
        auto y = reduced(PySequence_Fast_GET_ITEM(image_size, 1));
        if (x && y) return kernels::PlanePoint{*x, *y};
        return std::nullopt;
    }
    PyArrayObject* array = frame::plain_array(image_size);
    if (array == nullptr || PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != 2) return std::nullopt;
    if (frame::type_of(array) == NPY_DOUBLE) {
        auto values = frame::view<const double, 1>(array);
        return kernels::PlanePoint{values(0) - 1.0, values(1) - 1.0};
    }
    if (frame::type_of(array) == NPY_INT64) {
        auto values = frame::view<const std::int64_t, 1>(array);
        for (int axis = 0; axis < 2; ++axis)
            if (values(axis) < -(1LL << 53) || values(axis) > (1LL << 53)) return std::nullopt;
        return kernels::PlanePoint{static_cast<double>(values(0) - 1), static_cast<double>(values(1) - 1)};
    }
    return std::nullopt;
}

Ref clipper(Call& call) {
    Borrowed box_corners = call[0], image_size = call[1];
    PyArrayObject* corners = frame::plain_array(box_corners);
    auto largest = largest_coordinates(image_size);
    if (corners != nullptr && largest && PyArray_NDIM(corners) == 2 && PyArray_DIM(corners, 0) == 4 &&
        PyArray_DIM(corners, 1) == 2 && frame::type_of(corners) == NPY_DOUBLE && frame::is_own("intersect", intersect) &&
        frame::is_own("coordinate_transformation", coordinate_transformation)) {
        Ref clipped = frame::new_array({4, 2}, NPY_DOUBLE);
        kernels::ClipOutcome outcome =
            kernels::clipper(frame::view<const double, 2>(corners), *largest, frame::assertions_enabled(),
                             frame::view<double, 2>(reinterpret_cast<PyArrayObject*>(clipped.get())));
        switch (outcome.status) {
            case kernels::ClipStatus::clipped: {
                const npy_intp count = outcome.number_of_box_points;
                Ref box_points = count > 0 ? frame::new_array({count, 2}, NPY_DOUBLE) : frame::new_array({0}, NPY_DOUBLE);
                auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(box_points.get())));
                for (npy_intp k = 0; k < count; ++k) {
                    values[2 * k] = outcome.box_points[k].x;
                    values[2 * k + 1] = outcome.box_points[k].y;
                }
                return tuple_of({clipped, box_points});
            }
            case kernels::ClipStatus::outside_image: return tuple_of({Py_None, Py_None});
            case kernels::ClipStatus::parallel_segments: frame::assertion_failed();
            case kernels::ClipStatus::not_finite_frame: break;  // numpy's SVD reports it
        }
    }
    Ref np = global("np");
    // 1.-2.
    Ref largest_size = Ref::steal(PyNumber_Subtract(np.attr("array")(image_size), number(1)));
    Ref image_corners = np.attr("array")(Ref::steal(Py_BuildValue(
        "[[ii][Oi]O[iO]]", 0, 0, largest_size.at(0).get(), 0, largest_size.get(), 0, largest_size.at(1).get())));
    // 3. outcodes: left, top, right, bottom of the image
    Ref outcodes = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(box_corners));
    while (Ref corner = Ref::steal_or_null(PyIter_Next(iterator))) {
        Ref below = Ref::steal(PySequence_List(Ref::steal(PyObject_RichCompare(corner, number(0), Py_LT))));
        Ref above = Ref::steal(PySequence_List(Ref::steal(PyObject_RichCompare(corner, largest_size, Py_GT))));
        Ref flags = Ref::steal(PySequence_Concat(below, above));
        frame::check(PyList_Append(outcodes, Ref::steal(PyList_AsTuple(flags))));
    }
    if (PyErr_Occurred()) throw frame::python_error();
    // 4. image corners, then the box corners inside the image
    Ref interesting = Ref::steal(PySequence_List(image_corners));
    const Py_ssize_t number_of_image_corners = PyList_GET_SIZE(interesting.get());
    const Py_ssize_t number_of_corners = PyList_GET_SIZE(outcodes.get());
    for (Py_ssize_t k = 0; k < number_of_corners; ++k)
        if (!global("any")(PyList_GET_ITEM(outcodes.get(), k)).truth())
            frame::check(PyList_Append(interesting, box_corners.at(k)));
    // 5. border crossings, edge by edge and border line by border line
    Ref intersect_function = global("intersect");
    for (Py_ssize_t i = 0; i < number_of_corners; ++i) {
        Borrowed outcode = PyList_GET_ITEM(outcodes.get(), i);
        Borrowed previous_outcode = PyList_GET_ITEM(outcodes.get(), i == 0 ? number_of_corners - 1 : i - 1);
        for (Py_ssize_t j = 0; j < 4; ++j) {
            if (!frame::check(PyObject_RichCompareBool(outcode.at(j), previous_outcode.at(j), Py_NE))) continue;
            Ref crossing = intersect_function(box_corners.at(i - 1), box_corners.at(i), image_corners.at(j - 1),
                                              image_corners.at(j));
            if (!crossing.is_none()) frame::check(PyList_Append(interesting, crossing));
        }
    }
    // 6.
    Ref transformations = global("coordinate_transformation")(
        box_corners.item(slice(Py_None, number(3), Py_None)));
    Ref encode = transformations.at(0), decode = transformations.at(1);
    // 7. box points always stay; image corners only inside the box
    Ref all_encoded = encode(interesting);
    Ref encoded = Ref::steal(PyList_New(0));
    Ref lower = frame::to_python(-1e-12), upper = frame::to_python(1.000000000001);
    Ref rows = Ref::steal(PySequence_List(all_encoded));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(rows.get()); ++k) {
        Borrowed row = PyList_GET_ITEM(rows.get(), k);
        bool keep = k >= number_of_image_corners;
        if (!keep)
            keep = np.attr("all")(Ref::steal(PyObject_RichCompare(lower, row, Py_LE))).truth() &&
                   np.attr("all")(Ref::steal(PyObject_RichCompare(row, upper, Py_LE))).truth();
        if (keep) frame::check(PyList_Append(encoded, row));
    }
    // 8.
    if (PyList_GET_SIZE(encoded.get()) == 0) return tuple_of({Py_None, Py_None});
    // 9.-10.
    Ref minimum = np.attr("min")(encoded, kw("axis", 0)), maximum = np.attr("max")(encoded, kw("axis", 0));
    Ref min_x = minimum.at(0), min_y = minimum.at(1), max_x = maximum.at(0), max_y = maximum.at(1);
    Ref new_box_corners = np.attr("array")(Ref::steal(Py_BuildValue(
        "[[OO][OO][OO][OO]]", min_x.get(), min_y.get(), min_x.get(), max_y.get(), max_x.get(), max_y.get(),
        max_x.get(), min_y.get())));
    // 11.
    Ref box_points = Ref::steal(PyList_GetSlice(interesting, number_of_image_corners, PY_SSIZE_T_MAX));
    return tuple_of({decode(new_box_corners), np.attr("array")(box_points)});
}

// ---------------------------------------------------------------------------
// Inference boxes and pairwise intersections
// ---------------------------------------------------------------------------

// numpy's RuntimeWarnings of one division ufunc call, in numpy's order.
void warn_like_numpy(const kernels::DivisionWarnings& flags) {
    if (flags.divide_by_zero)
        frame::check(PyErr_WarnEx(PyExc_RuntimeWarning, "divide by zero encountered in divide", 1));
    if (flags.invalid_value)
        frame::check(PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in divide", 1));
}

Ref inference_boxes_to_corners(Call& call) {
    Borrowed boxes = call[0], size_factor = call[1];
    PyArrayObject* array = frame::plain_array(boxes);
    const int type = array ? frame::type_of(array) : -1;
    if (array != nullptr && PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) >= 5 &&
        (type == NPY_FLOAT || type == NPY_DOUBLE || type == NPY_INT64 || type == NPY_INT32) &&
        frame::is_own("rot_points_multi_rads", rot_points_multi_rads)) {
        const npy_intp number_of_boxes = PyArray_DIM(array, 0);
        Ref corners = frame::new_array({number_of_boxes, 4, 2}, NPY_FLOAT);
        Ref distances = frame::new_array({number_of_boxes, 4, 2}, NPY_FLOAT);
        auto run = [&]<class Box>() {
            kernels::inference_boxes_to_corners<Box>(
                frame::view<const Box, 2>(array), call.real(1),
                frame::view<float, 3>(reinterpret_cast<PyArrayObject*>(corners.get())),
                frame::view<float, 3>(reinterpret_cast<PyArrayObject*>(distances.get())));
        };
        switch (type) {
            case NPY_FLOAT: run.template operator()<float>(); break;
            case NPY_DOUBLE: run.template operator()<double>(); break;
            case NPY_INT64: run.template operator()<std::int64_t>(); break;
            case NPY_INT32: run.template operator()<std::int32_t>(); break;
        }
        return tuple_of({corners, distances});
    }
    Ref np = global("np");
    Ref all = slice(Py_None, Py_None, Py_None);
    // 1.-2.
    const Py_ssize_t length = PyObject_Length(boxes);
    if (length < 0) throw frame::python_error();
    Ref number_of_boxes = number(length);
    Ref float32 = np.attr("float32");
    Ref corners = np.attr("empty")(tuple_of({number_of_boxes, number(4), number(2)}), kw("dtype", float32));
    Ref centers = boxes.item(tuple_of({all, slice(Py_None, number(2), Py_None)})).item(tuple_of({all, Py_None}));
    frame::check(PyObject_SetItem(corners, tuple_of({all, slice(Py_None, number(4), Py_None)}), centers));
    HALVEX_ASSERT(shape_is(corners.attr("shape"), {number_of_boxes, number(4), number(2)}));
    // 3.
    Ref pi = np.attr("pi");
    Ref rotations = boxes.item(tuple_of({all, number(4)}));
    Ref orientations = Ref::steal(PyNumber_Remainder(Ref::steal(PyNumber_Subtract(pi, rotations)),
                                                     Ref::steal(PyNumber_Multiply(number(2), pi))));
    HALVEX_ASSERT(shape_is(orientations.attr("shape"), {number_of_boxes}));
    // 4.
    Ref distances = np.attr("zeros")(tuple_of({number_of_boxes, number(4), number(2)}), kw("dtype", float32));
    for (int axis = 0; axis < 2; ++axis) {
        Ref half = Ref::steal(PyNumber_TrueDivide(boxes.item(tuple_of({all, number(2 + axis)})), number(2)));
        frame::check(PyObject_SetItem(distances, tuple_of({all, number(axis), number(axis)}),
                                      Ref::steal(PyNumber_Multiply(half, size_factor))));
    }
    HALVEX_ASSERT(shape_is(distances.attr("shape"), {number_of_boxes, number(4), number(2)}));
    // 5. Rotated in float32 when the orientations allow it; float64 and integer
    // boxes give float64 orientations, rotated in float64 and stored as float32.
    Ref rotate = global("rot_points_multi_rads");
    if (np.attr("can_cast")(orientations.attr("dtype"), distances.attr("dtype")).truth()) {
        distances = rotate(distances, orientations);
    } else {
        Ref rotated = rotate(distances.attr("astype")(np.attr("float64")), orientations);
        frame::check(PyObject_SetItem(distances, Py_Ellipsis, rotated));
    }
    // 6.-8. the corners move by the half edges, through views into `corners`
    Ref to_bottom = distances.item(tuple_of({all, number(0)})).item(tuple_of({all, Py_None}));
    Ref to_right = distances.item(tuple_of({all, number(1)})).item(tuple_of({all, Py_None}));
    for (int corner = 0; corner < 4; ++corner)
        HALVEX_ASSERT(shape_is(corners.item(tuple_of({all, number(corner)})).attr("shape"), {number_of_boxes, number(2)}));
    Ref left = corners.item(tuple_of({all, slice(Py_None, number(2), Py_None)}));
    Ref right = corners.item(tuple_of({all, slice(number(2), Py_None, Py_None)}));
    Ref top = corners.item(tuple_of({all, slice(number(0), Py_None, number(2))}));
    Ref bottom = corners.item(tuple_of({all, slice(number(1), Py_None, number(2))}));
    for (Borrowed pair : {Borrowed(left), Borrowed(right), Borrowed(top), Borrowed(bottom)})
        HALVEX_ASSERT(shape_is(pair.attr("shape"), {number_of_boxes, number(2), number(2)}));
    np.attr("subtract")(top, to_bottom, kw("out", top));
    np.attr("add")(bottom, to_bottom, kw("out", bottom));
    np.attr("subtract")(left, to_right, kw("out", left));
    np.attr("add")(right, to_right, kw("out", right));
    // 9.
    return tuple_of({corners, distances});
}

// A float32 or float64 stack of n x 4 x 2 that the pair kernel reads in place.
PyArrayObject* box_stack(PyObject* object) {
    PyArrayObject* array = frame::plain_array(object);
    if (array == nullptr || PyArray_NDIM(array) != 3 || PyArray_DIM(array, 1) != 4 || PyArray_DIM(array, 2) != 2)
        return nullptr;
    const int type = frame::type_of(array);
    return type == NPY_FLOAT || type == NPY_DOUBLE ? array : nullptr;
}

template <class Visitor>
void with_float_view(PyArrayObject* array, Visitor&& visit) {
    if (frame::type_of(array) == NPY_FLOAT)
        visit(frame::view<const float, 3>(array));
    else
        visit(frame::view<const double, 3>(array));
}

Ref intersections(Call& call) {
    Borrowed corners_a = call[0], distances_a = call[1], corners_b = call[2], distances_b = call[3];
    PyArrayObject *a = box_stack(corners_a), *da = box_stack(distances_a);
    PyArrayObject *b = box_stack(corners_b), *db = box_stack(distances_b);
    if (a && da && b && db && PyArray_DIM(a, 0) == PyArray_DIM(da, 0) && PyArray_DIM(b, 0) == PyArray_DIM(db, 0)) {
        // numpy computes the inverse edge vectors (and warns about zero-length
        // edges) for both sets, even when the other one is empty.
        for (PyArrayObject* distances : {da, db})
            with_float_view(distances, [&](auto view) {
                kernels::InverseEdgeWarnings warnings = kernels::inverse_edge_warnings(view);
                warn_like_numpy(warnings.to_bottom);
                warn_like_numpy(warnings.to_right);
            });
        Ref result = frame::new_array({PyArray_DIM(a, 0), PyArray_DIM(b, 0)}, NPY_BOOL);
        auto pairs = frame::view<bool, 2>(reinterpret_cast<PyArrayObject*>(result.get()));
        with_float_view(a, [&](auto view_a) {
            with_float_view(da, [&](auto view_da) {
                with_float_view(b, [&](auto view_b) {
                    with_float_view(db, [&](auto view_db) { kernels::intersections(view_a, view_da, view_b, view_db, pairs); });
                });
            });
        });
        return result;
    }
    Ref np = global("np");
    Ref all = slice(Py_None, Py_None, Py_None);
    // 1.
    Ref number_of_boxes_a = corners_a.attr("shape").at(0), number_of_boxes_b = corners_b.attr("shape").at(0);
    HALVEX_ASSERT(shape_is(corners_a.attr("shape"), {number_of_boxes_a, number(4), number(2)}));
    HALVEX_ASSERT(shape_is(corners_b.attr("shape"), {number_of_boxes_b, number(4), number(2)}));
    // 2.-3. corner differences of every pair
    Ref first_b = corners_b.item(tuple_of({all, number(0)})).item(tuple_of({Py_None, all, Py_None}));
    Ref adbc = Ref::steal(PyNumber_Subtract(first_b, corners_a.item(tuple_of({all, Py_None}))));
    Ref first_a = corners_a.item(tuple_of({all, number(0)})).item(tuple_of({all, Py_None, Py_None}));
    Ref ehfg = Ref::steal(PyNumber_Subtract(first_a, corners_b.item(tuple_of({Py_None}))));
    HALVEX_ASSERT(shape_is(adbc.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4), number(2)}));
    HALVEX_ASSERT(shape_is(ehfg.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4), number(2)}));
    // 4.-5. inverse edge vectors -d / |d|^2 of the doubled half edges
    auto inverse_edges = [&](Borrowed distances, Borrowed count, int row) {
        Ref doubled = Ref::steal(PyNumber_Multiply(distances.item(tuple_of({all, number(row)})), number(2)));
        Ref norm = np.attr("linalg").attr("norm")(doubled, kw("axis", 1)).item(tuple_of({all, Py_None}));
        Ref squared = Ref::steal(PyNumber_Power(norm, number(2), Py_None));
        Ref negative = Ref::steal(PyNumber_Multiply(Ref::steal(PyNumber_Negative(distances.item(tuple_of({all, number(row)})))), number(2)));
        Ref inverse = Ref::steal(PyNumber_TrueDivide(negative, squared));
        HALVEX_ASSERT(shape_is(inverse.attr("shape"), {count, number(2)}));
        return inverse;
    };
    HALVEX_ASSERT(shape_is(distances_a.attr("shape"), {number_of_boxes_a, number(4), number(2)}));
    Ref to_bottom_a = inverse_edges(distances_a, number_of_boxes_a, 0);
    Ref to_right_a = inverse_edges(distances_a, number_of_boxes_a, 1);
    HALVEX_ASSERT(shape_is(distances_b.attr("shape"), {number_of_boxes_b, number(4), number(2)}));
    Ref to_bottom_b = inverse_edges(distances_b, number_of_boxes_b, 0);
    Ref to_right_b = inverse_edges(distances_b, number_of_boxes_b, 1);
    // 6. positions of every corner along the other box's edges
    Borrowed einsum = np.attr("einsum");
    Ref b_ab = einsum("abft,at->abf", ehfg, to_right_a);
    Ref b_ad = einsum("abft,at->abf", ehfg, to_bottom_a);
    Ref a_ef = einsum("abft,bt->abf", adbc, to_right_b);
    Ref a_eh = einsum("abft,bt->abf", adbc, to_bottom_b);
    for (Borrowed projection : {Borrowed(b_ab), Borrowed(b_ad), Borrowed(a_ef), Borrowed(a_eh)})
        HALVEX_ASSERT(shape_is(projection.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4)}));
    // 7.-8. a pair overlaps unless one axis separates it (strict comparisons)
    Ref result = np.attr("zeros")(tuple_of({number_of_boxes_a, number_of_boxes_b}), kw("dtype", global("bool")));
    const Py_ssize_t count_a = number_of_boxes_a.to_ssize(), count_b = number_of_boxes_b.to_ssize();
    for (Py_ssize_t i_a = 0; i_a < count_a; ++i_a) {
        for (Py_ssize_t i_b = 0; i_b < count_b; ++i_b) {
            Ref index = tuple_of({number(i_a), number(i_b)});
            bool separated = false;
            for (Borrowed projection : {Borrowed(b_ab), Borrowed(b_ad), Borrowed(a_ef), Borrowed(a_eh)}) {
                Ref values = projection.item(index);
                if (Ref::steal(PyObject_RichCompare(values, number(0), Py_LT)).attr("all")().truth() ||
                    Ref::steal(PyObject_RichCompare(values, number(1), Py_GT)).attr("all")().truth()) {
                    separated = true;
                    break;
                }
            }
            if (!separated) frame::check(PyObject_SetItem(result, index, number(1)));
        }
    }
    // 9.
    return result;
}

Ref surrounding_rectangle_from_corners(Call& call) {
    Borrowed corners = call[0];
    PyArrayObject* array = frame::plain_array(corners);
    const int type = array ? frame::type_of(array) : -1;
    if (array != nullptr && PyArray_NDIM(array) == 3 && PyArray_DIM(array, 1) == 4 && PyArray_DIM(array, 2) == 2 &&
        (type == NPY_FLOAT || type == NPY_DOUBLE || type == NPY_INT64 || type == NPY_INT32)) {
        const npy_intp number_of_boxes = PyArray_DIM(array, 0);
        Ref min_values = frame::new_array({number_of_boxes, 2}, NPY_INT32);
        Ref max_values = frame::new_array({number_of_boxes, 2}, NPY_INT32);
        auto low = frame::view<std::int32_t, 2>(reinterpret_cast<PyArrayObject*>(min_values.get()));
        auto high = frame::view<std::int32_t, 2>(reinterpret_cast<PyArrayObject*>(max_values.get()));
        bool invalid = false;
        switch (type) {
            case NPY_FLOAT: invalid = kernels::surrounding_rectangle_from_corners(frame::view<const float, 3>(array), low, high); break;
            case NPY_DOUBLE: invalid = kernels::surrounding_rectangle_from_corners(frame::view<const double, 3>(array), low, high); break;
            case NPY_INT64: kernels::surrounding_rectangle_from_corners(frame::view<const std::int64_t, 3>(array), low, high); break;
            case NPY_INT32: kernels::surrounding_rectangle_from_corners(frame::view<const std::int32_t, 3>(array), low, high); break;
        }
        if (invalid) frame::check(PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1));
        return tuple_of({min_values, max_values});
    }
    Ref np = global("np");
    // 1.
    Ref number_of_boxes = number(PyObject_Length(corners));
    if (PyErr_Occurred()) throw frame::python_error();
    HALVEX_ASSERT(shape_is(corners.attr("shape"), {number_of_boxes, number(4), number(2)}));
    // 2.
    Ref int32 = np.attr("int32");
    Ref min_values = np.attr("min")(corners, kw("axis", 1)).attr("astype")(int32);
    Ref max_values = np.attr("max")(corners, kw("axis", 1)).attr("astype")(int32);
    HALVEX_ASSERT(shape_is(min_values.attr("shape"), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(max_values.attr("shape"), {number_of_boxes, number(2)}));
    // 3.
    Ref all = slice(Py_None, Py_None, Py_None);
    for (Borrowed bounds : {Borrowed(min_values), Borrowed(max_values)})
        for (int axis = 0; axis < 2; ++axis)
            HALVEX_ASSERT(shape_is(bounds.item(tuple_of({all, number(axis)})).attr("shape"), {number_of_boxes}));
    // 4.
    return tuple_of({min_values, max_values});
}

const frame::Callable functions[] = {
    {"get_rotation_matrix_2d(*, float angle_in_deg: float | None = None, float angle_in_rad: float | None = None)"
     " -> np.ndarray[Any, Any]",
     "Return the 2 dimensional rotation matrix.", get_rotation_matrix_2d},
    {"get_angles_from_points(points: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Return the angles from a set of two-dimensional points.", get_angles_from_points},
    {"rot_points_multi_rads(points: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any])"
     " -> np.ndarray[Any, Any]",
     "Rotate the box points inplace (!) and return a reference to the first argument.", rot_points_multi_rads},
    {"rot_mats_multi_rads(matrices: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any])"
     " -> np.ndarray[Any, Any]",
     "Rotate covariance matrices by multiple rotations.", rot_mats_multi_rads},
    {"orva_to_box_corners(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform rotated boxes from the ORVA format into box corner format.", orva_to_box_corners},
    {"box_corners_to_orva(box_corners: np.ndarray[Any, Any], rotations: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform rotated box corners into the ORVA format.", box_corners_to_orva},
    {"orva_to_keypoints(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]", ".", orva_to_keypoints},
    {"keypoints_to_orva(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform parallelogram keypoints (center, top, right) into the ORVA format. The top and right keypoints of "
     "the given array are overwritten with their offsets from the center; pass a copy to keep them.",
     keypoints_to_orva},
    {"keypoints_to_box_corners(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform keypoints to box corners. Box corners have arbitrary order.", keypoints_to_box_corners},
    {"get_corner_points_from_box_tuples(box_tuples: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Compute box corners from a numpy array of top and right coordinates of boxes.",
     get_corner_points_from_box_tuples},
    {"keypoints_trivial_lookup(int number_of_keypoints: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     "Create lookup.", keypoints_trivial_lookup},
    {"coordinate_transformation(spanning_points: np.ndarray[Any, Any]) -> tuple[Callable[[np.ndarray[Any, Any] | "
     "list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]], Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]]",
     "Compute a coordinate transformation functions.", coordinate_transformation},
    {"assemble_keypoints_after_shuffle(list keypoints: list[np.ndarray[Any, Any]], list instances: "
     "list[np.ndarray[Any, Any]], list positions: list[np.ndarray[Any, Any]], **kwargs: np.ndarray[Any, Any]) -> "
     "tuple[np.ndarray[Any, Any], ...]",
     "Assemble keypoints after a flat representation of parallelogram keypoints have been shuffled.",
     assemble_keypoints_after_shuffle},
    {"intersect(a1: Any, a2: Any, b1: Any, b2: Any) -> np.ndarray[Any, Any] | None", ".", intersect},
    {"clipper(box_corners: np.ndarray[Any, Any], image_size: np.ndarray[Any, Any], bool visualize: bool = False)"
     " -> tuple[np.ndarray[Any, Any] | None, np.ndarray[Any, Any] | None]",
     "Clip boxes at the edge of the image.", clipper},
    {"inference_boxes_to_corners(boxes: np.ndarray[Any, Any], double size_factor: float = 1.0)"
     " -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     ".", inference_boxes_to_corners},
    {"intersections(corners_a: np.ndarray[Any, Any], distances_a: np.ndarray[Any, Any], "
     "corners_b: np.ndarray[Any, Any], distances_b: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Compute intersections.\n\nThe corners of a box of the first set are A D B C, those of a box of the second set "
     "E H F G (top left, bottom left, top right, bottom right).",
     intersections},
    {"surrounding_rectangle_from_corners(corners: np.ndarray[Any, Any])"
     " -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     ".", surrounding_rectangle_from_corners},
};

// Their defaults name BoxReconstruction, so they are made after the class.
const frame::Callable reconstruction_functions[] = {
    {"parallelogram_to_box(parallelogram_flat: np.ndarray[Any, Any], longer_axis_index: np.ndarray[Any, Any], "
     "box_reconstruction_mode: BoxReconstruction) -> np.ndarray[Any, Any]",
     "Convert a set of parallelograms into boxes.", parallelogram_to_box},
    {"get_box_and_rotation_from_parallelogram_keypoints(parallelogram_keypoints: np.ndarray[Any, Any], *, "
     "box_reconstruction_mode: BoxReconstruction = BoxReconstruction.MAX, bool visualize: bool = False) -> "
     "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     "Transform parallelograms into a boxes, and return the boxes and their rotation.",
     get_box_and_rotation_from_parallelogram_keypoints},
};

void body(frame::ModuleBuilder& module) {
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_from("typing", {"Any", "cast"});
    module.import_from("collections.abc", {"Callable"});
    module.import_from("enum", {"Enum"});
    forward_transformation_prototype = module.make(forward_transformation_row);
    backward_transformation_prototype = module.make(backward_transformation_row);
    module.define(functions);
    module.define_class("BoxReconstruction", {"Enum"},
                        "BoxReconstruction(value)\n\nHow a rectangle is rebuilt from a sheared parallelogram.", {},
                        {{"MIN", "0"}, {"AVG", "1"}, {"MAX", "2"}});
    module.define(reconstruction_functions);
}

const frame::ModuleDefinition definition = {
    "kestril", "halvex.preprocessing.kestril", "Contains keypoint utilities.", HALVEX_MODULE_SOURCE, body,
};

}  // namespace

PyMODINIT_FUNC PyInit_kestril() { return frame::module_init(definition); }
