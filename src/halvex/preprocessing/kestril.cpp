// Rotated-box geometry.
//
// Every function has two roads.  The native one runs on exact ndarrays of the
// element types the kernels cover, with every shape checked first.  The
// numpy one performs the same numpy operations the algorithm is stated in, so
// that any other input (other dtypes, subclasses, odd shapes under python -O)
// behaves, and fails, exactly as numpy does.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "kernels/clipping.hpp"
#include "kernels/intersections.hpp"
#include "kernels/rotation.hpp"

#include <cmath>
#include <optional>

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
    Borrowed np = global("np");
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
            for (npy_intp i = 0; i < number_of_points; ++i)
                output[i] = std::atan2(static_cast<Out>(input(i, 1)), static_cast<Out>(input(i, 0)));
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
    Borrowed np = global("np");
    // 1.
    HALVEX_ASSERT(frame::equal(Ref::steal(PyNumber_Remainder(number_of_keypoints, number(3))), number(0)));
    // 2. true division, then truncation toward zero
    Ref number_of_boxes = Ref::steal(PyNumber_Long(Ref::steal(PyNumber_TrueDivide(number_of_keypoints, number(3)))));
    Ref expected_shape = tuple_of({Ref::steal(PyNumber_Multiply(number_of_boxes, number(3)))});
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
    Borrowed np = global("np");
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
    Borrowed intersect_function = global("intersect");
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
        auto run = [&]<class Box, class Real>() {
            // numpy's own cos/sin of the orientations keep float32 results bit-identical.
            Ref orientations = frame::new_array({number_of_boxes}, frame::numpy_type<Real>());
            auto* orientation_array = reinterpret_cast<PyArrayObject*>(orientations.get());
            kernels::inference_box_orientations<Box>(frame::view<const Box, 2>(array),
                                                     frame::view<Real, 1>(orientation_array));
            Borrowed np = global("np");
            Ref cosines = np.attr("cos")(orientations), sines = np.attr("sin")(orientations);
            kernels::inference_boxes_to_corners<Box>(
                frame::view<const Box, 2>(array), call.real(1),
                frame::view<const Real, 1>(reinterpret_cast<PyArrayObject*>(cosines.get())),
                frame::view<const Real, 1>(reinterpret_cast<PyArrayObject*>(sines.get())),
                frame::view<float, 3>(reinterpret_cast<PyArrayObject*>(corners.get())),
                frame::view<float, 3>(reinterpret_cast<PyArrayObject*>(distances.get())));
        };
        switch (type) {
            case NPY_FLOAT: run.template operator()<float, float>(); break;
            case NPY_DOUBLE: run.template operator()<double, double>(); break;
            case NPY_INT64: run.template operator()<std::int64_t, double>(); break;
            case NPY_INT32: run.template operator()<std::int32_t, double>(); break;
        }
        return tuple_of({corners, distances});
    }
    Borrowed np = global("np");
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
    Borrowed rotate = global("rot_points_multi_rads");
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
    Borrowed np = global("np");
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
    Borrowed np = global("np");
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
    {"keypoints_trivial_lookup(int number_of_keypoints: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     "Create lookup.", keypoints_trivial_lookup},
    {"coordinate_transformation(spanning_points: np.ndarray[Any, Any]) -> tuple[Callable[[np.ndarray[Any, Any] | "
     "list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]], Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]]",
     "Compute a coordinate transformation functions.", coordinate_transformation},
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
}

const frame::ModuleDefinition definition = {
    "kestril", "halvex.preprocessing.kestril", "Contains keypoint utilities.", HALVEX_MODULE_SOURCE, body,
};

}  // namespace

PyMODINIT_FUNC PyInit_kestril() { return frame::module_init(definition); }
