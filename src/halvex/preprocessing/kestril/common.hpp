// What the families of kestril share: the names they look up at call time,
// the helpers of their numpy roads, the bodies one family calls in another,
// and the tables each family contributes.  kestril.cpp sets the module up.
//
// Every function has two roads.  The native one runs on exact ndarrays of the
// element types the kernels cover, with every shape checked first.  The
// numpy one performs the same numpy operations the algorithm is stated in, so
// that any other input (other dtypes, subclasses, odd shapes under python -O)
// behaves, and fails, exactly as numpy does.
#pragma once

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/operators.hpp"
#include "frame/row_work.hpp"

#include <cstddef>
#include <initializer_list>
#include <span>
#include <type_traits>

namespace halvex::kestril {

using namespace halvex::frame;
using namespace halvex::frame::python;

// Module-level names the bodies look up when they run, as the algorithm
// does, so that a user who rebinds one is heard.
namespace names {
inline const Name np{"np"}, str{"str"}, any{"any"}, boolean{"bool"}, box_reconstruction{"BoxReconstruction"};
inline const Name rot_points_multi_rads{"rot_points_multi_rads"}, get_angles_from_points{"get_angles_from_points"},
    parallelogram_to_box{"parallelogram_to_box"},
    get_corner_points_from_box_tuples{"get_corner_points_from_box_tuples"}, intersect{"intersect"},
    coordinate_transformation{"coordinate_transformation"};
}  // namespace names

// shape == (a, b, ...), compared as tuples.
inline bool shape_is(Borrowed shape, std::initializer_list<Borrowed> expected) {
    return equal(shape, tuple_of(expected));
}

// np.all(left == right), as the in-place checks state it.
inline bool all_equal(Borrowed left, Borrowed right) {
    return global(names::np).attr("all")(compared(left, right, Py_EQ)).truth();
}

// An exact ndarray of exactly this shape (-1: any length on that axis).
inline PyArrayObject* plain_of_shape(PyObject* object, std::initializer_list<npy_intp> shape) {
    PyArrayObject* array = plain_array(object);
    if (array == nullptr || PyArray_NDIM(array) != static_cast<int>(shape.size())) return nullptr;
    int axis = 0;
    for (npy_intp length : shape) {
        if (length >= 0 && PyArray_DIM(array, axis) != length) return nullptr;
        ++axis;
    }
    return array;
}

// numpy computes angles of signed integers below 16 bits in float16, and
// refuses `unsigned * -1`; those inputs take the numpy road.
template <class T>
constexpr bool is_signed_box_element = std::is_floating_point_v<T> || (std::is_signed_v<T> && sizeof(T) >= 2);
template <class T>
constexpr bool has_native_trigonometry = std::is_floating_point_v<T> || sizeof(T) >= 2;

// The type numpy computes cos, sin and arctan2 of T in: T itself for floats,
// float64 for the integers.
template <class T>
using real_of = std::conditional_t<std::is_floating_point_v<T>, T, double>;

// What a row of each kernel costs on one thread of this machine, in
// nanoseconds (calls on 10^5 boxes, float64, the output's allocation
// included).  They only need to be right within a factor of two or so:
// they turn a row count into the work kernels::thread_count weighs.
namespace costs {
constexpr double orva_to_box_corners = 10, box_corners_to_orva = 10, orva_to_keypoints = 12, keypoints_to_orva = 12;
constexpr double rebuild_box = 30, corner_points = 4.5, inference_corners = 15;
constexpr double point_angle = 3.5, rotation = 4, rotated_point = 2;
constexpr double intersection_pair = 3;
}  // namespace costs

// IndexError as numpy words it for a row index out of bounds.
[[noreturn]] inline void raise_out_of_bounds(long long index, long long size) {
    raise(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld", index, size);
}

// ---- bodies that other families call directly while their names are ours ----

Ref rot_points_multi_rads(Borrowed points, Borrowed rotation_rads);
Ref get_angles_from_points(Borrowed points);
Ref get_corner_points_from_box_tuples(Borrowed box_tuples);
Ref parallelogram_to_box(Borrowed parallelogram_flat, Borrowed longer_axis_index, Borrowed box_reconstruction_mode);
Ref intersect(Borrowed a1, Borrowed a2, Borrowed b1, Borrowed b2);
Ref coordinate_transformation(Borrowed spanning_points);

// ---- the families' tables, defined in this order -----------------------------

extern const std::span<const Callable> rotation_functions;
extern const std::span<const Callable> box_format_functions;
extern const std::span<const Callable> regrouping_functions;
extern const std::span<const Callable> clipping_functions;
extern const std::span<const Callable> intersection_functions;
// Their defaults name BoxReconstruction, so they are made after the class.
extern const std::span<const Callable> reconstruction_functions;

// The closures coordinate_transformation returns share two prototypes, made
// once at import.
void make_transformation_prototypes(ModuleBuilder& module);

}  // namespace halvex::kestril
