// Reconstruction: rectangles from the parallelograms that shearing
// augmentations leave of them, with their rotation.

#include "halvex/preprocessing/kestril/common.hpp"
#include "kernels/parallelogram.hpp"

#include <optional>
#include <vector>

namespace halvex::kestril {

namespace {

// What a reconstruction mode compares equal to, tested with == in the order
// MAX, AVG, MIN.
kernels::BoxReconstruction reconstruction_mode(Borrowed mode) {
    Ref members = global(names::box_reconstruction);
    if (python_equal(mode, members.attr("MAX"))) return kernels::BoxReconstruction::maximum;
    if (python_equal(mode, members.attr("AVG"))) return kernels::BoxReconstruction::average;
    if (python_equal(mode, members.attr("MIN"))) return kernels::BoxReconstruction::minimum;
    return kernels::BoxReconstruction::unmatched;
}

}  // namespace

Ref parallelogram_to_box(Borrowed parallelogram_flat, Borrowed longer_axis_index, Borrowed box_reconstruction_mode) {
    PyArrayObject* flat = plain_of_shape(parallelogram_flat, {-1, 2});
    PyArrayObject* longer = flat ? plain_of_shape(longer_axis_index, {PyArray_DIM(flat, 0) / 2}) : nullptr;
    if (longer != nullptr && PyArray_DIM(flat, 0) % 2 == 0 && PyArray_ISWRITEABLE(flat) &&
        !has_internal_overlap(flat) && with_element_type(flat, FloatTypes{}, [](auto) {})) {
        std::optional<kernels::ParallelogramToBoxOutcome> outcome;
        const bool native = with_element_type(longer, NumericTypes{}, [&]<class Index>(type_tag<Index>) {
            // uint64 + int64 becomes float64 in numpy, which refuses it as an index
            if constexpr (std::is_integral_v<Index> && (std::is_signed_v<Index> || sizeof(Index) < 8)) {
                const kernels::BoxReconstruction mode = reconstruction_mode(box_reconstruction_mode);
                with_element_type(flat, FloatTypes{}, [&]<class T>(type_tag<T>) {
                    outcome = kernels::parallelogram_to_box(view<T, 2>(flat), view<const Index, 1>(longer), mode);
                });
                if (outcome->out_of_bounds_index) {
                    // the adjusting modes index the longer half-axes before anything
                    // else; the others read them only inside the closing assertion
                    const bool adjusts_length =
                        mode == kernels::BoxReconstruction::maximum || mode == kernels::BoxReconstruction::minimum;
                    if (adjusts_length || assertions_enabled())
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
    Ref np = global(names::np);
    // Two points per parallelogram in the plane.
    Ref shape = shape_of(parallelogram_flat);
    Ref number_of_points = shape.at(0);
    Ref dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_points, dimensionality}));
    HALVEX_ASSERT(equal(dimensionality, number(2)),
                  "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces.");
    HALVEX_ASSERT(equal(remainder(number_of_points, number(2)), number(0)),
                  "the flat parallelogram points have to contain two points per parallelogram.");
    // One longer-axis index per parallelogram.
    Ref number_of_parallelograms = shape_of(longer_axis_index).at(0);
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_index), {number_of_parallelograms}));
    HALVEX_ASSERT(equal(multiply(number(2), number_of_parallelograms), number_of_points));
    // The row of the other half axis of each parallelogram.
    Ref other_point_index = add(remainder(add(longer_axis_index, number(1)), number(2)),
                                multiply(np.attr("arange")(shape_of(longer_axis_index).at(0)), number(2)));
    HALVEX_ASSERT(shape_is(shape_of(other_point_index), {number_of_parallelograms}));
    // The mode adjusts the longer half axes: flat[L, 0] += |flat[O, 0]| (MAX), -= (MIN).
    auto adjust_longer_half_axes = [&](binaryfunc in_place) {
        Ref index = tuple_of({longer_axis_index, number(0)});
        Ref longer_x = parallelogram_flat.item(index);
        Ref other_x = np.attr("abs")(subscript(parallelogram_flat, {other_point_index, number(0)}));
        Ref adjusted = Ref::steal(in_place(longer_x, other_x));
        set_item(parallelogram_flat, index, adjusted);
    };
    Ref members = global(names::box_reconstruction);
    if (python_equal(box_reconstruction_mode, members.attr("MAX"))) {
        adjust_longer_half_axes(PyNumber_InPlaceAdd);
    } else if (python_equal(box_reconstruction_mode, members.attr("AVG"))) {
    } else if (python_equal(box_reconstruction_mode, members.attr("MIN"))) {
        adjust_longer_half_axes(PyNumber_InPlaceSubtract);
    }
    // The other half axes lose their x component.
    assign(parallelogram_flat, {other_point_index, number(0)}, number(0));
    // The longer half axes lie on the x axis.
    HALVEX_ASSERT(
        compared(np.attr("abs")(subscript(parallelogram_flat, {longer_axis_index, number(1)})), to_python(1e-5), Py_LT)
            .call_method("all")
            .truth());
    return Ref::borrow(parallelogram_flat);
}

namespace {

// Native only while every function the algorithm calls by name is still ours.
bool reconstruction_calls_are_own() {
    return is_own<rot_points_multi_rads>(names::rot_points_multi_rads) &&
           is_own<get_angles_from_points>(names::get_angles_from_points) &&
           is_own<parallelogram_to_box>(names::parallelogram_to_box) &&
           is_own<get_corner_points_from_box_tuples>(names::get_corner_points_from_box_tuples);
}

// `visualize` is converted by its truth test (which may raise) and has no
// further effect: this module draws nothing.
Ref get_box_and_rotation_from_parallelogram_keypoints(Borrowed parallelogram_keypoints,
                                                      Borrowed box_reconstruction_mode, Borrowed /*visualize*/) {
    if (reconstruction_calls_are_own()) {
        if (PyArrayObject* keypoints = plain_of_shape(parallelogram_keypoints, {-1, 3, 2})) {
            std::optional<kernels::BoxReconstruction> mode;
            try {
                mode = reconstruction_mode(box_reconstruction_mode);
            } catch (const python_error&) {
                // a mode whose == raises: the numpy road raises it where the algorithm compares
                PyErr_Clear();
            }
            Ref box_corners, rotations;
            const bool native =
                mode && with_element_type(keypoints, NumericTypes{}, [&]<class T>(type_tag<T>) {
                    const npy_intp number_of_parallelograms = PyArray_DIM(keypoints, 0);
                    box_corners = new_array({number_of_parallelograms, 4, 2}, NPY_DOUBLE);
                    rotations = new_array({number_of_parallelograms}, NPY_DOUBLE);
                    const auto from = view<const T, 3>(keypoints);
                    const auto corners = view<double, 3>(as_array(box_corners));
                    const auto angles = view<double, 1>(as_array(rotations));
                    const bool a_check_fails =
                        run_rows({number_of_parallelograms, costs::rebuild_box}, [&](auto begin, auto end) {
                            return !kernels::get_box_and_rotation_from_parallelogram_keypoints(
                                from.rows(begin, end), *mode, corners.rows(begin, end), angles.rows(begin, end));
                        });
                    HALVEX_ASSERT(!a_check_fails);
                    return true;
                });
            if (native) return tuple_of({box_corners, rotations});
        }
    }
    Ref np = global(names::np);
    // float64 keypoints, three per parallelogram in the plane.
    Ref keypoints = parallelogram_keypoints.call_method("astype", np.attr("float64"), kw("copy", false));
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    const Ref &number_of_parallelograms = sizes[0], &number_of_keypoints = sizes[1], &dimensionality = sizes[2];
    HALVEX_ASSERT(equal(dimensionality, number(2)), "This function is only designed to work for two-dimensional boxes");
    HALVEX_ASSERT(equal(number_of_keypoints, number(3)),
                  "For two dimensional boxes we need exactly three keypoints to represent a parallelogram");
    // The centers, and the half axes as offsets from them: the one copy every later step works in.
    Ref centers = subscript(keypoints, {all_of_axis(), number(0), all_of_axis()});
    Ref parallelogram_center = np.attr("expand_dims")(centers, 1);
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_center), {number_of_parallelograms, number(1), dimensionality}));
    Ref parallelogram_tuple = subscript(keypoints, {all_of_axis(), from_to(1, 3)}).call_method("copy");
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_tuple), {number_of_parallelograms, number(2), dimensionality}));
    np.attr("subtract")(parallelogram_tuple, parallelogram_center, kw("out", parallelogram_tuple));
    // The row of each parallelogram's longer half axis in the flat (2n) x 2 view.
    Ref longer_axis_flat = np.attr("argmax")(np.attr("linalg").attr("norm")(parallelogram_tuple, kw("axis", 2)), 1);
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_flat), {number_of_parallelograms}));
    np.attr("add")(longer_axis_flat, multiply(np.attr("arange")(number_of_parallelograms), number(2)),
                   kw("out", longer_axis_flat));
    HALVEX_ASSERT(shape_is(shape_of(longer_axis_flat), {number_of_parallelograms}));
    // The angle of each longer half axis.  The buffer is seen as (2n) x 2 and as n x 2 x 2 through views
    // that never copy, in place of reassigning `.shape`.
    Ref flat_shape = tuple_of({multiply(number_of_parallelograms, number(2)), dimensionality});
    Ref paired_shape = tuple_of({number_of_parallelograms, number(2), dimensionality});
    auto seen_as = [](Borrowed array, Borrowed shape) {
        return array.call_method("reshape", shape, kw("copy", false));
    };
    Ref tuple_flat = seen_as(parallelogram_tuple, flat_shape);
    Ref parallelogram_tuple_flat = tuple_flat.call_method("reshape", flat_shape);
    HALVEX_ASSERT(equal(shape_of(parallelogram_tuple_flat), flat_shape));
    Ref angle_parallelogram_x = global(names::get_angles_from_points)(parallelogram_tuple_flat.item(longer_axis_flat));
    HALVEX_ASSERT(shape_is(shape_of(angle_parallelogram_x), {number_of_parallelograms}));
    Ref tuple_paired = seen_as(tuple_flat, paired_shape);
    // Turn each parallelogram so that its longer half axis lies on the x axis.
    Ref result = global(names::rot_points_multi_rads)(kw("points", tuple_paired),
                                                      kw("rotation_rads", negative(angle_parallelogram_x)));
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    // Make the turned parallelograms rectangles.
    tuple_flat = seen_as(tuple_paired, flat_shape);
    result = global(names::parallelogram_to_box)(tuple_flat, longer_axis_flat,
                                                 kw("box_reconstruction_mode", box_reconstruction_mode));
    tuple_paired = seen_as(tuple_flat, paired_shape);
    // the returned object is the one reshaped when it is the buffer passed in
    if (result.is(tuple_flat)) result = tuple_paired;
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    HALVEX_ASSERT(all_equal(result.call_method("flatten"), tuple_paired.call_method("flatten")));
    // Turn them back.
    result =
        global(names::rot_points_multi_rads)(kw("points", tuple_paired), kw("rotation_rads", angle_parallelogram_x));
    HALVEX_ASSERT(all_equal(result, tuple_paired));
    HALVEX_ASSERT(shape_is(shape_of(tuple_paired), {number_of_parallelograms, number(2), dimensionality}));
    // Their corners, moved onto the centers.
    Ref box_corners = global(names::get_corner_points_from_box_tuples)(tuple_paired);
    HALVEX_ASSERT(shape_is(shape_of(box_corners), {number_of_parallelograms, number(4), dimensionality}));
    np.attr("add")(box_corners, parallelogram_center, kw("out", box_corners));
    // The rotation of each box from the angle of its top half axis.
    Ref top_half_axes = subscript(tuple_paired, {all_of_axis(), number(0)});
    Ref rotations = add(global(names::get_angles_from_points)(top_half_axes), divide(np.attr("pi"), number(2)));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_parallelograms}));
    return tuple_of({box_corners, rotations});
}

const Callable table[] = {
    {"parallelogram_to_box(parallelogram_flat: np.ndarray[Any, Any], longer_axis_index: np.ndarray[Any, Any], "
     "box_reconstruction_mode: BoxReconstruction) -> np.ndarray[Any, Any]",
     "Convert a set of parallelograms into boxes.", bound<parallelogram_to_box>},
    {"get_box_and_rotation_from_parallelogram_keypoints(parallelogram_keypoints: np.ndarray[Any, Any], *, "
     "box_reconstruction_mode: BoxReconstruction = BoxReconstruction.MAX, bool visualize: bool = False) -> "
     "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     "Transform parallelograms into a boxes, and return the boxes and their rotation.",
     bound<get_box_and_rotation_from_parallelogram_keypoints>},
};

}  // namespace

const std::span<const Callable> reconstruction_functions = table;

}  // namespace halvex::kestril
