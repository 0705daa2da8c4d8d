// Rotated-box geometry.
//
// Every function has two roads.  The native one runs on exact ndarrays of the
// element types the kernels cover, with every shape checked first.  The
// numpy one performs the same numpy operations the algorithm is stated in, so
// that any other input (other dtypes, subclasses, odd shapes under python -O)
// behaves, and fails, exactly as numpy does.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "kernels/rotation.hpp"

#include <cmath>

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
