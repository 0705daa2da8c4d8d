// Rotations: rotation matrices, angles of points, and rotating stacks of
// points and covariance matrices in place.

#include "halvex/preprocessing/kestril/common.hpp"
#include "kernels/rotation.hpp"
#include "kernels/vector_math.hpp"

#include <cmath>
#include <utility>

namespace halvex::kestril {

namespace {

// Angles the rotation kernels take: float64, float32, int64 and int32; the
// kernel computes cos and sin in the type numpy would.
using AngleTypes = RealTypes;

// An in-place rotation may run natively when the stack (R, a, 2) is a
// writable float array whose type can hold the result (numpy's safe casting:
// float32 stacks only with float32 angles), the angles are (R,), and no
// element is read after another one was written.
PyArrayObject* native_rotation_target(PyObject* target, PyObject* rotation_rads, npy_intp middle_axis) {
    PyArrayObject* stack = plain_array(target);
    PyArrayObject* angles = plain_array(rotation_rads);
    if (stack == nullptr || angles == nullptr) return nullptr;
    if (PyArray_NDIM(stack) != 3 || PyArray_NDIM(angles) != 1) return nullptr;
    if (PyArray_DIM(stack, 2) != 2 || PyArray_DIM(angles, 0) != PyArray_DIM(stack, 0)) return nullptr;
    if (middle_axis >= 0 && PyArray_DIM(stack, 1) != middle_axis) return nullptr;
    if (!PyArray_ISWRITEABLE(stack) || !with_element_type(angles, AngleTypes{}, [](auto) {})) return nullptr;
    if (!holds<double>(stack) && !(holds<float>(stack) && holds<float>(angles))) return nullptr;
    if (has_internal_overlap(stack) || may_overlap(stack, angles)) return nullptr;
    return stack;
}

// rotate(stack, angles) with the element types of both arrays, once
// native_rotation_target has accepted them.
template <class Rotate>
void rotate_natively(PyArrayObject* stack, PyArrayObject* angles, Rotate&& rotate) {
    const npy_intp per_rotation = PyArray_DIM(stack, 1);
    const RowWork work{PyArray_DIM(stack, 0),
                       costs::rotation + costs::rotated_point * static_cast<double>(per_rotation), per_rotation};
    with_element_type(angles, AngleTypes{}, [&]<class Angle>(type_tag<Angle>) {
        const auto rotate_rows = [&](auto target) {
            const auto by = view<const Angle, 1>(angles);
            run_rows(work, [&](auto begin, auto end) { rotate(target.rows(begin, end), by.rows(begin, end)); });
        };
        if (holds<double>(stack))
            rotate_rows(view<double, 3>(stack));
        else if constexpr (std::is_same_v<Angle, float>)
            rotate_rows(view<float, 3>(stack));
    });
}

// The angles, one per rotation, made into np.array([[cr, -sr], [sr,
// cr]]).reshape(2, 2, number_of_rotations): a rotation matrix per angle along
// the last axis, checked to be d x d x R.
Ref numpy_rotation_stack(Borrowed rotation_rads, Borrowed number_of_rotations, Borrowed state_dimensionality) {
    HALVEX_ASSERT(shape_is(shape_of(rotation_rads), {number_of_rotations}));
    Ref np = global(names::np);
    Ref cr = np.attr("cos")(rotation_rads);
    Ref sr = np.attr("sin")(rotation_rads);
    Ref minus_sr = negative(sr);
    Ref rows = Ref::steal(Py_BuildValue("[[OO][OO]]", cr.get(), minus_sr.get(), sr.get(), cr.get()));
    Ref rotation_matrix = np.attr("array")(rows).attr("reshape")(2, 2, number_of_rotations);
    HALVEX_ASSERT(
        shape_is(shape_of(rotation_matrix), {state_dimensionality, state_dimensionality, number_of_rotations}));
    return rotation_matrix;
}

Ref get_rotation_matrix_2d(Borrowed angle_in_deg, Borrowed angle_in_rad) {
    if (angle_in_deg.is_none() == angle_in_rad.is_none()) {
        Ref empty = to_python("");
        Ref degrees = Ref::steal(PyObject_Format(angle_in_deg, empty));
        Ref radians = Ref::steal(PyObject_Format(angle_in_rad, empty));
        raise(PyExc_ValueError, "Pass angle either in degrees (%U) in radians (%U).", degrees.get(), radians.get());
    }
    // Both are exact floats here (typed `float`), so to_double reads them as they are.
    double angle = angle_in_deg.is_none()
                       ? angle_in_rad.to_double()
                       : (angle_in_deg.to_double() / 180.0) * global(names::np).attr("pi").to_double();
    Ref matrix = new_array({2, 2}, NPY_DOUBLE);
    auto* values = static_cast<double*>(PyArray_DATA(as_array(matrix)));
    const double c = std::cos(angle), s = std::sin(angle);
    values[0] = c;
    values[1] = -1.0 * s;
    values[2] = s;
    values[3] = c;
    return matrix;
}

}  // namespace

Ref get_angles_from_points(Borrowed points) {
    if (PyArrayObject* array = plain_of_shape(points, {-1, 2})) {
        Ref angles;
        const bool native = with_element_type(array, RealTypes{}, [&]<class In>(type_tag<In>) {
            using Out = real_of<In>;
            const npy_intp number_of_points = PyArray_DIM(array, 0);
            angles = new_array({number_of_points}, numpy_type<Out>());
            const auto input = view<const In, 2>(array);
            auto* const output = static_cast<Out*>(PyArray_DATA(as_array(angles)));
            run_rows({number_of_points, costs::point_angle}, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                const auto points_of_range = input.rows(begin, end);
                const auto point = [&](std::ptrdiff_t i) {
                    return std::pair{static_cast<Out>(points_of_range(i, 1)), static_cast<Out>(points_of_range(i, 0))};
                };
                Out* const angles_of_range = output + begin;
                kernels::for_each_atan2<Out>(end - begin, point,
                                             [&](std::ptrdiff_t i, Out angle) { angles_of_range[i] = angle; });
            });
        });
        if (native) return angles;
    }
    // Exactly two axes, and two-dimensional points.
    Ref shape = shape_of(points);
    Ref number_of_points = shape.at(0);
    Ref point_dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_points, point_dimensionality}));
    HALVEX_ASSERT(equal(point_dimensionality, number(2)), "Can only get angles from two-dimensional points. ");
    // np.arctan2(*points[:, ::-1].T)
    Ref reversed = slice(Py_None, Py_None, number(-1));
    Ref columns = subscript(points, {all_of_axis(), reversed}).attr("T");
    Ref arguments = Ref::steal(PySequence_Tuple(columns));
    Ref angles = call_with(global(names::np).attr("arctan2"), arguments);
    // One angle per point.
    HALVEX_ASSERT(shape_is(shape_of(angles), {number_of_points}));
    return angles;
}

Ref rot_points_multi_rads(Borrowed points, Borrowed rotation_rads) {
    if (PyArrayObject* stack = native_rotation_target(points, rotation_rads, -1)) {
        rotate_natively(stack, as_array(rotation_rads),
                        [](auto target, auto angles) { kernels::rotate_points(target, angles); });
        return Ref::borrow(points);
    }
    // A stack of point sets, one angle each.
    Ref shape = shape_of(points);
    Ref number_of_rotations = shape.at(0);
    Ref per_rotation = shape.at(1);
    Ref state_dimensionality = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_rotations, per_rotation, state_dimensionality}));
    Ref rotation_matrix = numpy_rotation_stack(rotation_rads, number_of_rotations, state_dimensionality);
    // Rotate in place through einsum's out=.
    global(names::np).attr("einsum")("rcR,Rxc->Rxr", rotation_matrix, points, kw("out", points));
    HALVEX_ASSERT(shape_is(shape_of(points), {number_of_rotations, per_rotation, state_dimensionality}));
    return Ref::borrow(points);
}

namespace {

Ref rot_mats_multi_rads(Borrowed matrices, Borrowed rotation_rads) {
    if (PyArrayObject* stack = native_rotation_target(matrices, rotation_rads, 2)) {
        rotate_natively(stack, as_array(rotation_rads),
                        [](auto target, auto angles) { kernels::rotate_matrices(target, angles); });
        return Ref::borrow(matrices);
    }
    // A stack of square matrices, one angle each.
    Ref shape = shape_of(matrices);
    Ref number_of_rotations = shape.at(0);
    Ref state_dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_rotations, state_dimensionality, state_dimensionality}));
    Ref rotation_matrix = numpy_rotation_stack(rotation_rads, number_of_rotations, state_dimensionality);
    // R M R^T in place through einsum's out=.
    global(names::np).attr("einsum")("tTR,RTS,sSR->Rts", rotation_matrix, matrices, rotation_matrix,
                                     kw("out", matrices));
    HALVEX_ASSERT(shape_is(shape_of(matrices), {number_of_rotations, state_dimensionality, state_dimensionality}));
    return Ref::borrow(matrices);
}

const Callable table[] = {
    {"get_rotation_matrix_2d(*, float angle_in_deg: float | None = None, float angle_in_rad: float | None = None)"
     " -> np.ndarray[Any, Any]",
     "Return the 2 dimensional rotation matrix.", bound<get_rotation_matrix_2d>},
    {"get_angles_from_points(points: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Return the angles from a set of two-dimensional points.", bound<get_angles_from_points>},
    {"rot_points_multi_rads(points: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any])"
     " -> np.ndarray[Any, Any]",
     "Rotate the box points inplace (!) and return a reference to the first argument.", bound<rot_points_multi_rads>},
    {"rot_mats_multi_rads(matrices: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any])"
     " -> np.ndarray[Any, Any]",
     "Rotate covariance matrices by multiple rotations.", bound<rot_mats_multi_rads>},
};

}  // namespace

const std::span<const Callable> rotation_functions = table;

}  // namespace halvex::kestril
