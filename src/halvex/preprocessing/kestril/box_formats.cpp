// Box formats: ORVA boxes (center, size, rotation), box corners, and the
// parallelogram keypoints (center, top, right) that survive augmentation.

#include "kernels/box_formats.hpp"
#include "frame/memory.hpp"
#include "halvex/preprocessing/kestril/common.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace halvex::kestril {

namespace {

Ref keypoints_trivial_lookup(Borrowed number_of_keypoints) {
    Ref np = global(names::np);
    // Three keypoints per box.
    HALVEX_ASSERT(equal(remainder(number_of_keypoints, number(3)), number(0)));
    // number_of_keypoints / 3, truncated toward zero by int().
    Ref number_of_boxes = as_int(divide(number_of_keypoints, number(3)));
    Ref expected_shape = tuple_of({multiply(number_of_boxes, number(3))});
    // Each keypoint gets two unicode labels: its box number (4 bytes a digit)
    // and its role (6 characters).  Refuse at once what cannot fit.
    const double boxes = number_of_boxes.to_double();
    if (boxes > 0)
        require_memory(3 * boxes, 4.0 * (std::floor(std::log10(std::max(boxes - 1, 1.0))) + 1) + 24, "keypoint labels");
    // The box number of every keypoint, as text.
    Ref instance_lookup =
        np.attr("repeat")(np.attr("arange")(0, number_of_boxes), 3).attr("astype")(global(names::str));
    HALVEX_ASSERT(equal(instance_lookup.attr("shape"), expected_shape));
    // The role of every keypoint: center, top, right, box after box.
    Ref labels = np.attr("array")(Ref::steal(Py_BuildValue("[sss]", "center", "top", "right")));
    Ref row = labels.item(tuple_of({Py_None}));
    Ref position_lookup = np.attr("repeat")(row, number_of_boxes, kw("axis", 0)).attr("flatten")();
    HALVEX_ASSERT(equal(position_lookup.attr("shape"), expected_shape));
    return tuple_of({instance_lookup, position_lookup});
}

Ref orva_to_box_corners(Borrowed orva_boxes) {
    if (is_own<rot_points_multi_rads>(names::rot_points_multi_rads)) {
        if (PyArrayObject* boxes = plain_of_shape(orva_boxes, {-1, 5})) {
            Ref box_corners;
            const bool native = with_element_type(boxes, NumericTypes{}, [&]<class T>(type_tag<T>) {
                if constexpr (is_signed_box_element<T>) {
                    box_corners = new_array({PyArray_DIM(boxes, 0), 4, 2}, NPY_DOUBLE);
                    const auto orva = view<const T, 2>(boxes);
                    const auto corners = view<double, 3>(as_array(box_corners));
                    const bool rotated_to_nan =
                        run_rows({orva.size(0), costs::orva_to_box_corners}, [&](auto begin, auto end) {
                            return kernels::orva_to_box_corners(orva.rows(begin, end), corners.rows(begin, end));
                        });
                    // numpy's in-place check compares the rotated corners with themselves
                    HALVEX_ASSERT(!rotated_to_nan);
                    return true;
                }
                return false;
            });
            if (native) return box_corners;
        }
    }
    Ref np = global(names::np);
    // A stack of ORVA boxes: five values each.
    Ref shape = shape_of(orva_boxes);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_orva_box_coordinates = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_orva_box_coordinates}));
    HALVEX_ASSERT(equal(number_of_orva_box_coordinates, number(5)),
                  "Boxes in ORVA format must consist of exactly five points: (center_x, center_y, width, height, "
                  "rotation).");
    // Centers, half sizes and rotations.
    Ref center = subscript(orva_boxes, {all_of_axis(), up_to(2)});
    Ref sizes = divide(subscript(orva_boxes, {all_of_axis(), from_to(2, 4)}), number(2));
    Ref rotations = subscript(orva_boxes, {all_of_axis(), number(4)});
    HALVEX_ASSERT(shape_is(shape_of(center), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(sizes), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // The half-size offsets of the four corners.
    auto signs = [&](int x, int y) { return np.attr("array")(Ref::steal(Py_BuildValue("[ii]", x, y))); };
    Ref offsets = Ref::steal(
        Py_BuildValue("[NNNN]", multiply(sizes, signs(-1, -1)).release(), multiply(sizes, signs(-1, 1)).release(),
                      multiply(sizes, signs(1, 1)).release(), multiply(sizes, signs(1, -1)).release()));
    Ref box = np.attr("array")(offsets).attr("reshape")(4, number_of_boxes, 2).attr("swapaxes")(0, 1);
    HALVEX_ASSERT(shape_is(shape_of(box), {number_of_boxes, number(4), number(2)}));
    // Rotate the corners about the origin, in place.
    Ref result =
        global(names::rot_points_multi_rads)(kw("points", box), kw("rotation_rads", multiply(rotations, number(-1))));
    HALVEX_ASSERT(all_equal(result, box));
    // Move them onto the centers.
    Ref centers = subscript(center, {all_of_axis(), Py_None});
    np.attr("add")(box, centers, kw("out", box));
    HALVEX_ASSERT(shape_is(shape_of(box), {number_of_boxes, number(4), number(2)}));
    return box;
}

Ref box_corners_to_orva(Borrowed box_corners, Borrowed rotations) {
    if (is_own<rot_points_multi_rads>(names::rot_points_multi_rads)) {
        PyArrayObject* corners = plain_of_shape(box_corners, {-1, 4, 2});
        PyArrayObject* angles = corners ? plain_of_shape(rotations, {PyArray_DIM(corners, 0)}) : nullptr;
        if (angles != nullptr) {
            Ref boxes_orva;
            const bool native = with_element_type(corners, NumericTypes{}, [&]<class Corner>(type_tag<Corner>) {
                return with_element_type(angles, NumericTypes{}, [&]<class Angle>(type_tag<Angle>) {
                    if constexpr (has_native_trigonometry<Angle>) {
                        // float32 corners cannot hold a float64 rotation: numpy's casting
                        // TypeError comes from the numpy road
                        if constexpr (sizeof(kernels::trigonometry_t<Angle>) <= sizeof(kernels::mean_t<Corner>)) {
                            using Result = kernels::box_corners_to_orva_result_t<Corner, Angle>;
                            boxes_orva = new_array({PyArray_DIM(corners, 0), 5}, numpy_type<Result>());
                            const auto from = view<const Corner, 3>(corners);
                            const auto rotation = view<const Angle, 1>(angles);
                            const auto to = view<Result, 2>(as_array(boxes_orva));
                            run_rows({from.size(0), costs::box_corners_to_orva}, [&](auto begin, auto end) {
                                kernels::box_corners_to_orva(from.rows(begin, end), rotation.rows(begin, end),
                                                             to.rows(begin, end));
                            });
                            return true;
                        }
                    }
                    return false;
                });
            });
            if (native) return boxes_orva;
        }
    }
    Ref np = global(names::np);
    // A stack of four corners in the plane, one rotation each.
    Ref shape = shape_of(box_corners);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_box_corners = shape.at(1);
    Ref state_dimensionality = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_box_corners, state_dimensionality}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    HALVEX_ASSERT(equal(number_of_box_corners, number(4)));
    HALVEX_ASSERT(equal(state_dimensionality, number(2)));
    // The center of each box.
    Ref centers = subscript(box_corners.attr("mean")(kw("axis", 1)), {all_of_axis(), Py_None});
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(1), state_dimensionality}));
    // Turn the centered corners back by the box's rotation.
    Ref rotated_box_corners = global(names::rot_points_multi_rads)(kw("points", subtract(box_corners, centers)),
                                                                   kw("rotation_rads", negative(rotations)));
    HALVEX_ASSERT(shape_is(shape_of(rotated_box_corners), {number_of_boxes, number(4), number(2)}));
    // Width and height from two opposite corners, now axis-aligned.
    Ref difference = subtract(subscript(rotated_box_corners, {all_of_axis(), number(1), all_of_axis()}),
                              subscript(rotated_box_corners, {all_of_axis(), number(3), all_of_axis()}));
    std::vector<Ref> sizes = unpack(np.attr("abs")(difference).attr("T"), 2);
    // Columns: center x, center y, width, height, rotation.
    Ref columns =
        Ref::steal(Py_BuildValue("[NNOON]", subscript(centers, {all_of_axis(), number(0), number(0)}).release(),
                                 subscript(centers, {all_of_axis(), number(0), number(1)}).release(), sizes[0].get(),
                                 sizes[1].get(), divide(rotations, number(-1)).release()));
    Ref boxes_orva = np.attr("array")(columns).attr("reshape")(5, number_of_boxes).attr("swapaxes")(1, 0);
    HALVEX_ASSERT(shape_is(shape_of(boxes_orva), {number_of_boxes, number(5)}));
    return boxes_orva;
}

Ref orva_to_keypoints(Borrowed orva_boxes) {
    if (is_own<rot_points_multi_rads>(names::rot_points_multi_rads)) {
        if (PyArrayObject* boxes = plain_of_shape(orva_boxes, {-1, 5})) {
            Ref keypoints;
            const bool native = with_element_type(boxes, NumericTypes{}, [&]<class T>(type_tag<T>) {
                if constexpr (is_signed_box_element<T>) {
                    keypoints = new_array({3 * PyArray_DIM(boxes, 0), 2}, NPY_DOUBLE);
                    const auto orva = view<const T, 2>(boxes);
                    const auto points = view<double, 2>(as_array(keypoints));
                    const bool rotated_to_nan =
                        run_rows({orva.size(0), costs::orva_to_keypoints}, [&](auto begin, auto end) {
                            // three keypoint rows a box
                            return kernels::orva_to_keypoints(orva.rows(begin, end), points.rows(3 * begin, 3 * end));
                        });
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
    Ref np = global(names::np);
    // A stack of ORVA boxes.
    Ref number_of_boxes = shape_of(orva_boxes).at(0);
    HALVEX_ASSERT(shape_is(shape_of(orva_boxes), {number_of_boxes, number(5)}));
    // Centers and half sizes.
    Ref centers = subscript(orva_boxes, {all_of_axis(), up_to(2)});
    Ref distances = divide(subscript(orva_boxes, {all_of_axis(), from_to(2, 4)}), number(2));
    // -rotation brought into [-pi, pi).
    Ref pi = np.attr("pi");
    Ref two_pi = multiply(number(2), pi);
    Ref rotations = subtract(
        remainder(add(multiply(subscript(orva_boxes, {all_of_axis(), number(4)}), number(-1)), pi), two_pi), pi);
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(distances), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // The half axes towards top and right, before rotation.
    auto factors = [&](int x, int y) { return np.attr("array")(Ref::steal(Py_BuildValue("[ii]", x, y))); };
    Ref halves = Ref::steal(Py_BuildValue("[NN]", multiply(distances, factors(0, 1)).release(),
                                          multiply(distances, factors(1, 0)).release()));
    Ref distance_difference = np.attr("array")(halves).attr("reshape")(2, number_of_boxes, 2).attr("swapaxes")(0, 1);
    HALVEX_ASSERT(shape_is(shape_of(distance_difference), {number_of_boxes, number(2), number(2)}));
    // Rotate them in place.
    Ref rotated =
        global(names::rot_points_multi_rads)(kw("points", distance_difference), kw("rotation_rads", rotations));
    HALVEX_ASSERT(all_equal(rotated, distance_difference),
                  "Rotations are supposed to happen inplace, __tmp is therefore just a view to distance_difference.");
    HALVEX_ASSERT(shape_is(shape_of(distance_difference), {number_of_boxes, number(2), number(2)}));
    // The top and right keypoints.
    Ref top = subtract(centers, subscript(distance_difference, {all_of_axis(), number(0)}));
    Ref right = add(centers, subscript(distance_difference, {all_of_axis(), number(1)}));
    HALVEX_ASSERT(shape_is(shape_of(top), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(right), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(centers), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(rotations), {number_of_boxes}));
    // Center, top, right box after box; the reshape is a view of the new contiguous array, never a copy.
    Ref keypoints = np.attr("hstack")(tuple_of({centers, top, right}));
    Ref flat_shape = tuple_of({multiply(number_of_boxes, number(3)), number(2)});
    return keypoints.attr("reshape")(flat_shape, kw("copy", false));
}

Ref keypoints_to_orva(Borrowed keypoints) {
    if (is_own<get_angles_from_points>(names::get_angles_from_points)) {
        PyArrayObject* parallelograms = plain_of_shape(keypoints, {-1, 3, 2});
        if (parallelograms != nullptr && PyArray_ISWRITEABLE(parallelograms) && !has_internal_overlap(parallelograms)) {
            Ref boxes_orva;
            const bool native = with_element_type(parallelograms, NumericTypes{}, [&]<class T>(type_tag<T>) {
                if constexpr (has_native_trigonometry<T>) {
                    boxes_orva = new_array({PyArray_DIM(parallelograms, 0), 5}, NPY_FLOAT);
                    const auto points = view<T, 3>(parallelograms);
                    const auto orva = view<float, 2>(as_array(boxes_orva));
                    run_rows({points.size(0), costs::keypoints_to_orva}, [&](auto begin, auto end) {
                        kernels::keypoints_to_orva(points.rows(begin, end), orva.rows(begin, end));
                    });
                    return true;
                }
                return false;
            });
            if (native) return boxes_orva;
        }
    }
    Ref np = global(names::np);
    // A stack of (center, top, right) triples.
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    HALVEX_ASSERT(equal(sizes[1], number(3)));
    HALVEX_ASSERT(equal(sizes[2], number(2)));
    // The result is float32, whatever the input.
    Ref boxes_orva = np.attr("empty")(tuple_of({sizes[0], number(5)}), kw("dtype", np.attr("float32")));
    // Centers go to columns 0 and 1.
    assign(boxes_orva, {all_of_axis(), up_to(2)}, subscript(keypoints, {all_of_axis(), number(0)}));
    // The caller's top and right become offsets from the center, in place.
    Ref half_axes = subscript(keypoints, {all_of_axis(), from_to(1, 3)});
    np.attr("subtract")(half_axes, subscript(keypoints, {all_of_axis(), up_to(1)}), kw("out", half_axes));
    // Twice their lengths: height into column 3, width into column 2.
    Ref doubled_norms = multiply(
        np.attr("linalg").attr("norm")(subscript(keypoints, {all_of_axis(), from_to(1, 3)}), kw("axis", 2)), number(2));
    assign(boxes_orva, {all_of_axis(), slice(number(3), number(1), number(-1))}, doubled_norms);
    // The rotation from the angle of the top offset.
    Ref angles = global(names::get_angles_from_points)(subscript(keypoints, {all_of_axis(), number(1)}));
    Ref quarter_turn = divide(np.attr("pi"), number(2));
    assign(boxes_orva, {all_of_axis(), number(4)}, negative(add(angles, quarter_turn)));
    return boxes_orva;
}

}  // namespace

Ref get_corner_points_from_box_tuples(Borrowed box_tuples) {
    if (PyArrayObject* tuples = plain_of_shape(box_tuples, {-1, 2, 2})) {
        Ref box_corners;
        const bool native = with_element_type(tuples, NumericTypes{}, [&]<class T>(type_tag<T>) {
            box_corners = new_array({PyArray_DIM(tuples, 0), 4, 2}, type_of(tuples));
            const auto from = view<const T, 3>(tuples);
            const auto to = view<T, 3>(as_array(box_corners));
            run_rows({from.size(0), costs::corner_points}, [&](auto begin, auto end) {
                kernels::get_corner_points_from_box_tuples(from.rows(begin, end), to.rows(begin, end));
            });
            return true;
        });
        if (native) return box_corners;
    }
    // A stack of (top, right) half axes in the plane.
    Ref shape = shape_of(box_tuples);
    Ref number_of_boxes = shape.at(0);
    Ref number_of_support_points = shape.at(1);
    Ref state_dimension = shape.at(2);
    HALVEX_ASSERT(shape_is(shape, {number_of_boxes, number_of_support_points, state_dimension}));
    HALVEX_ASSERT(equal(number_of_support_points, number(2)));
    HALVEX_ASSERT(equal(state_dimension, number(2)));
    // The two half axes of every box.
    Ref top = subscript(box_tuples, {all_of_axis(), number(0)});
    Ref right = subscript(box_tuples, {all_of_axis(), number(1)});
    HALVEX_ASSERT(shape_is(shape_of(top), {number_of_boxes, state_dimension}));
    HALVEX_ASSERT(shape_is(shape_of(right), {number_of_boxes, state_dimension}));
    // The four corners as sums and differences of the half axes.
    Ref corners = Ref::steal(Py_BuildValue("[NNNN]", subtract(top, right).release(), add(top, right).release(),
                                           subtract(right, top).release(), subtract(negative(right), top).release()));
    return global(names::np).attr("array")(corners).attr("swapaxes")(0, 1).attr("reshape")(number_of_boxes, 4,
                                                                                           state_dimension);
}

namespace {

Ref keypoints_to_box_corners(Borrowed keypoints) {
    if (is_own<get_corner_points_from_box_tuples>(names::get_corner_points_from_box_tuples)) {
        if (PyArrayObject* parallelograms = plain_of_shape(keypoints, {-1, 3, 2})) {
            Ref box_corners;
            const bool native = with_element_type(parallelograms, NumericTypes{}, [&]<class T>(type_tag<T>) {
                box_corners = new_array({PyArray_DIM(parallelograms, 0), 4, 2}, type_of(parallelograms));
                const auto from = view<const T, 3>(parallelograms);
                const auto to = view<T, 3>(as_array(box_corners));
                run_rows({from.size(0), costs::corner_points}, [&](auto begin, auto end) {
                    kernels::keypoints_to_box_corners(from.rows(begin, end), to.rows(begin, end));
                });
                return true;
            });
            if (native) return box_corners;
        }
    }
    // A stack of (center, top, right) triples.
    std::vector<Ref> sizes = unpack(shape_of(keypoints), 3);
    HALVEX_ASSERT(equal(sizes[1], number(3)));
    HALVEX_ASSERT(equal(sizes[2], number(2)));
    // The centers with an axis inserted (the boolean index True does that).
    Ref parallelogram_center = subscript(subscript(keypoints, {all_of_axis(), number(0)}), {all_of_axis(), Py_True});
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_center), {sizes[0], number(1), sizes[2]}));
    // Top and right as offsets from the center.
    Ref parallelogram_tuple = subtract(subscript(keypoints, {all_of_axis(), from_to(1, 3)}), parallelogram_center);
    HALVEX_ASSERT(shape_is(shape_of(parallelogram_tuple), {sizes[0], number(2), sizes[2]}));
    // The corners around the origin.
    Ref box_corners = global(names::get_corner_points_from_box_tuples)(parallelogram_tuple);
    HALVEX_ASSERT(shape_is(shape_of(box_corners), {sizes[0], number(4), sizes[2]}));
    // Moved onto the centers.
    return add(box_corners, parallelogram_center);
}

const Callable table[] = {
    {"orva_to_box_corners(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform rotated boxes from the ORVA format into box corner format.", bound<orva_to_box_corners>},
    {"box_corners_to_orva(box_corners: np.ndarray[Any, Any], rotations: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform rotated box corners into the ORVA format.", bound<box_corners_to_orva>},
    {"orva_to_keypoints(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]", ".", bound<orva_to_keypoints>},
    {"keypoints_to_orva(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform parallelogram keypoints (center, top, right) into the ORVA format. The top and right keypoints of "
     "the given array are overwritten with their offsets from the center; pass a copy to keep them.",
     bound<keypoints_to_orva>},
    {"keypoints_to_box_corners(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Transform keypoints to box corners. Box corners have arbitrary order.", bound<keypoints_to_box_corners>},
    {"get_corner_points_from_box_tuples(box_tuples: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Compute box corners from a numpy array of top and right coordinates of boxes.",
     bound<get_corner_points_from_box_tuples>},
    {"keypoints_trivial_lookup(int number_of_keypoints: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     "Create lookup.", bound<keypoints_trivial_lookup>},
};

}  // namespace

const std::span<const Callable> box_format_functions = table;

}  // namespace halvex::kestril
