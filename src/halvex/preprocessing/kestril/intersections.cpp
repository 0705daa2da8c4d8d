// Pairwise intersections of rotated boxes, and the inference boxes and
// surrounding rectangles that feed them.

#include "kernels/intersections.hpp"
#include "halvex/preprocessing/kestril/common.hpp"

#include <optional>

namespace halvex::kestril {

namespace {

// numpy's RuntimeWarnings of one division ufunc call, in numpy's order.
void warn_like_numpy(const kernels::DivisionWarnings& flags) {
    if (flags.divide_by_zero) check(PyErr_WarnEx(PyExc_RuntimeWarning, "divide by zero encountered in divide", 1));
    if (flags.invalid_value) check(PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in divide", 1));
}

// [:, start:stop:step]
Ref columns(PyObject* start, PyObject* stop, PyObject* step = Py_None) {
    return tuple_of({all_of_axis(), slice(start, stop, step)});
}

// Corners and half edges of float32, float64, int64 or int32 inference boxes
// (at least five columns) in one pass, while rot_points_multi_rads is ours.
std::optional<Ref> inference_corners_natively(Borrowed boxes, double size_factor) {
    PyArrayObject* array = plain_array(boxes);
    if (array == nullptr || PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) < 5 ||
        !is_own<rot_points_multi_rads>(names::rot_points_multi_rads))
        return std::nullopt;
    const npy_intp number_of_boxes = PyArray_DIM(array, 0);
    Ref corners, distances;
    const bool native = with_element_type(array, RealTypes{}, [&]<class Box>(type_tag<Box>) {
        corners = new_array({number_of_boxes, 4, 2}, NPY_FLOAT);
        distances = new_array({number_of_boxes, 4, 2}, NPY_FLOAT);
        const auto boxes = view<const Box, 2>(array);
        const auto corner_rows = view<float, 3>(as_array(corners));
        const auto distance_rows = view<float, 3>(as_array(distances));
        run_rows({number_of_boxes, costs::inference_corners}, [&](auto begin, auto end) {
            kernels::inference_boxes_to_corners<Box>(boxes.rows(begin, end), size_factor, corner_rows.rows(begin, end),
                                                     distance_rows.rows(begin, end));
        });
    });
    if (!native) return std::nullopt;
    return tuple_of({corners, distances});
}

Ref inference_corners_with_numpy(Borrowed boxes, Borrowed size_factor) {
    Ref np = global(names::np);
    Borrowed all = all_of_axis();
    // Every corner starts at its box's center.
    const Py_ssize_t length = PyObject_Length(boxes);
    if (length < 0) throw python_error();
    Ref number_of_boxes = number(length);
    Ref float32 = np.attr("float32");
    Ref corners = np.attr("empty")(tuple_of({number_of_boxes, number(4), number(2)}), kw("dtype", float32));
    Ref centers = boxes.item(columns(Py_None, number(2))).item(tuple_of({all, Py_None}));
    set_item(corners, columns(Py_None, number(4)), centers);
    HALVEX_ASSERT(shape_is(shape_of(corners), {number_of_boxes, number(4), number(2)}));
    // The orientation of each box: (pi - rotation) mod 2 pi.
    Ref pi = np.attr("pi");
    Ref rotations = boxes.item(tuple_of({all, number(4)}));
    Ref orientations = remainder(subtract(pi, rotations), multiply(number(2), pi));
    HALVEX_ASSERT(shape_is(shape_of(orientations), {number_of_boxes}));
    // The half edges, scaled, before rotation: rows 0 (to the bottom) and 1 (to the right).
    Ref distances = np.attr("zeros")(tuple_of({number_of_boxes, number(4), number(2)}), kw("dtype", float32));
    for (int axis = 0; axis < 2; ++axis) {
        Ref half = divide(boxes.item(tuple_of({all, number(2 + axis)})), number(2));
        set_item(distances, tuple_of({all, number(axis), number(axis)}), multiply(half, size_factor));
    }
    HALVEX_ASSERT(shape_is(shape_of(distances), {number_of_boxes, number(4), number(2)}));
    // Rotated in float32 when the orientations allow it; float64 and integer
    // boxes give float64 orientations, rotated in float64 and stored as float32.
    Ref rotate = global(names::rot_points_multi_rads);
    if (np.attr("can_cast")(orientations.attr("dtype"), distances.attr("dtype")).truth()) {
        distances = rotate(distances, orientations);
    } else {
        Ref rotated = rotate(distances.attr("astype")(np.attr("float64")), orientations);
        set_item(distances, Py_Ellipsis, rotated);
    }
    // The corners move by the half edges, through views into `corners`.
    Ref to_bottom = distances.item(tuple_of({all, number(0)})).item(tuple_of({all, Py_None}));
    Ref to_right = distances.item(tuple_of({all, number(1)})).item(tuple_of({all, Py_None}));
    for (int corner = 0; corner < 4; ++corner)
        HALVEX_ASSERT(shape_is(shape_of(corners.item(tuple_of({all, number(corner)}))), {number_of_boxes, number(2)}));
    Ref left = corners.item(columns(Py_None, number(2)));
    Ref right = corners.item(columns(number(2), Py_None));
    Ref top = corners.item(columns(number(0), Py_None, number(2)));
    Ref bottom = corners.item(columns(number(1), Py_None, number(2)));
    for (Borrowed pair : {Borrowed(left), Borrowed(right), Borrowed(top), Borrowed(bottom)})
        HALVEX_ASSERT(shape_is(shape_of(pair), {number_of_boxes, number(2), number(2)}));
    np.attr("subtract")(top, to_bottom, kw("out", top));
    np.attr("add")(bottom, to_bottom, kw("out", bottom));
    np.attr("subtract")(left, to_right, kw("out", left));
    np.attr("add")(right, to_right, kw("out", right));
    return tuple_of({corners, distances});
}

Ref inference_boxes_to_corners(Borrowed boxes, Borrowed size_factor) {
    // size_factor is typed double: an exact float here, read as it is.
    if (std::optional<Ref> result = inference_corners_natively(boxes, size_factor.to_double())) return *result;
    return inference_corners_with_numpy(boxes, size_factor);
}

// A float32 or float64 stack of n x 4 x 2 that the pair kernel reads in place.
PyArrayObject* box_stack(PyObject* object) {
    PyArrayObject* array = plain_of_shape(object, {-1, 4, 2});
    return array != nullptr && with_element_type(array, FloatTypes{}, [](auto) {}) ? array : nullptr;
}

// visit(view) with a read-only view of a box_stack.
template <class Visitor>
void with_float_view(PyArrayObject* array, Visitor&& visit) {
    with_element_type(array, FloatTypes{}, [&]<class T>(type_tag<T>) { visit(view<const T, 3>(array)); });
}

// The pair kernel, on float stacks whose half edges match their corners.
std::optional<Ref> intersections_natively(Borrowed corners_a, Borrowed distances_a, Borrowed corners_b,
                                          Borrowed distances_b) {
    PyArrayObject *a = box_stack(corners_a), *da = box_stack(distances_a);
    PyArrayObject *b = box_stack(corners_b), *db = box_stack(distances_b);
    if (!(a && da && b && db && PyArray_DIM(a, 0) == PyArray_DIM(da, 0) && PyArray_DIM(b, 0) == PyArray_DIM(db, 0)))
        return std::nullopt;
    // numpy computes the inverse edge vectors (and warns about zero-length
    // edges) for both sets, even when the other one is empty.
    for (PyArrayObject* distances : {da, db})
        with_float_view(distances, [&](auto view) {
            kernels::InverseEdgeWarnings warnings = kernels::inverse_edge_warnings(view);
            warn_like_numpy(warnings.to_bottom);
            warn_like_numpy(warnings.to_right);
        });
    Ref result = new_array({PyArray_DIM(a, 0), PyArray_DIM(b, 0)}, NPY_BOOL);
    auto pairs = view<bool, 2>(as_array(result));
    // Split by rows of the first set (a row is a pair per box of the second):
    // a row's results depend on that row alone, so any split gives the same.
    const npy_intp number_b = PyArray_DIM(b, 0);
    with_float_view(a, [&](auto view_a) {
        with_float_view(da, [&](auto view_da) {
            with_float_view(b, [&](auto view_b) {
                with_float_view(db, [&](auto view_db) {
                    run_rows({PyArray_DIM(a, 0), costs::intersection_pair * static_cast<double>(number_b), number_b, 1},
                             [&](auto begin, auto end) {
                                 kernels::intersections(view_a.rows(begin, end), view_da.rows(begin, end), view_b,
                                                        view_db, pairs.rows(begin, end));
                             });
                });
            });
        });
    });
    return result;
}

Ref intersections_with_numpy(Borrowed corners_a, Borrowed distances_a, Borrowed corners_b, Borrowed distances_b) {
    Ref np = global(names::np);
    Borrowed all = all_of_axis();
    // Two stacks of boxes, four corners each.
    Ref number_of_boxes_a = corners_a.attr("shape").at(0), number_of_boxes_b = corners_b.attr("shape").at(0);
    HALVEX_ASSERT(shape_is(corners_a.attr("shape"), {number_of_boxes_a, number(4), number(2)}));
    HALVEX_ASSERT(shape_is(corners_b.attr("shape"), {number_of_boxes_b, number(4), number(2)}));
    // The offsets of every corner of one box from the first corner of the other, for every pair.
    Ref first_b = corners_b.item(tuple_of({all, number(0)})).item(tuple_of({Py_None, all, Py_None}));
    Ref adbc = subtract(first_b, corners_a.item(tuple_of({all, Py_None})));
    Ref first_a = corners_a.item(tuple_of({all, number(0)})).item(tuple_of({all, Py_None, Py_None}));
    Ref ehfg = subtract(first_a, corners_b.item(tuple_of({Py_None})));
    HALVEX_ASSERT(shape_is(adbc.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4), number(2)}));
    HALVEX_ASSERT(shape_is(ehfg.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4), number(2)}));
    // The inverse edge vectors -d / |d|^2 of the doubled half edges.
    auto inverse_edges = [&](Borrowed distances, Borrowed count, int row) {
        Ref doubled = multiply(distances.item(tuple_of({all, number(row)})), number(2));
        Ref norm = np.attr("linalg").attr("norm")(doubled, kw("axis", 1)).item(tuple_of({all, Py_None}));
        Ref squared = power(norm, number(2));
        Ref minus_doubled = multiply(negative(distances.item(tuple_of({all, number(row)}))), number(2));
        Ref inverse = divide(minus_doubled, squared);
        HALVEX_ASSERT(shape_is(inverse.attr("shape"), {count, number(2)}));
        return inverse;
    };
    HALVEX_ASSERT(shape_is(distances_a.attr("shape"), {number_of_boxes_a, number(4), number(2)}));
    Ref to_bottom_a = inverse_edges(distances_a, number_of_boxes_a, 0);
    Ref to_right_a = inverse_edges(distances_a, number_of_boxes_a, 1);
    HALVEX_ASSERT(shape_is(distances_b.attr("shape"), {number_of_boxes_b, number(4), number(2)}));
    Ref to_bottom_b = inverse_edges(distances_b, number_of_boxes_b, 0);
    Ref to_right_b = inverse_edges(distances_b, number_of_boxes_b, 1);
    // The positions of every corner along the other box's edges.
    Borrowed einsum = np.attr("einsum");
    Ref b_ab = einsum("abft,at->abf", ehfg, to_right_a);
    Ref b_ad = einsum("abft,at->abf", ehfg, to_bottom_a);
    Ref a_ef = einsum("abft,bt->abf", adbc, to_right_b);
    Ref a_eh = einsum("abft,bt->abf", adbc, to_bottom_b);
    for (Borrowed projection : {Borrowed(b_ab), Borrowed(b_ad), Borrowed(a_ef), Borrowed(a_eh)})
        HALVEX_ASSERT(shape_is(projection.attr("shape"), {number_of_boxes_a, number_of_boxes_b, number(4)}));
    // A pair overlaps unless one axis separates it (strict comparisons).
    Ref result =
        np.attr("zeros")(tuple_of({number_of_boxes_a, number_of_boxes_b}), kw("dtype", global(names::boolean)));
    const Py_ssize_t count_a = number_of_boxes_a.to_ssize(), count_b = number_of_boxes_b.to_ssize();
    for (Py_ssize_t i_a = 0; i_a < count_a; ++i_a) {
        for (Py_ssize_t i_b = 0; i_b < count_b; ++i_b) {
            Ref index = tuple_of({number(i_a), number(i_b)});
            bool separated = false;
            for (Borrowed projection : {Borrowed(b_ab), Borrowed(b_ad), Borrowed(a_ef), Borrowed(a_eh)}) {
                Ref values = projection.item(index);
                if (compared(values, number(0), Py_LT).attr("all")().truth() ||
                    compared(values, number(1), Py_GT).attr("all")().truth()) {
                    separated = true;
                    break;
                }
            }
            if (!separated) set_item(result, index, number(1));
        }
    }
    return result;
}

Ref intersections(Borrowed corners_a, Borrowed distances_a, Borrowed corners_b, Borrowed distances_b) {
    if (std::optional<Ref> result = intersections_natively(corners_a, distances_a, corners_b, distances_b))
        return *result;
    return intersections_with_numpy(corners_a, distances_a, corners_b, distances_b);
}

Ref surrounding_rectangle_from_corners(Borrowed corners) {
    if (PyArrayObject* array = plain_of_shape(corners, {-1, 4, 2})) {
        const npy_intp number_of_boxes = PyArray_DIM(array, 0);
        Ref min_values, max_values;
        bool invalid = false;
        const bool native = with_element_type(array, RealTypes{}, [&]<class T>(type_tag<T>) {
            min_values = new_array({number_of_boxes, 2}, NPY_INT32);
            max_values = new_array({number_of_boxes, 2}, NPY_INT32);
            invalid = kernels::surrounding_rectangle_from_corners(view<const T, 3>(array),
                                                                  view<std::int32_t, 2>(as_array(min_values)),
                                                                  view<std::int32_t, 2>(as_array(max_values)));
        });
        if (native) {
            if (invalid) check(PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1));
            return tuple_of({min_values, max_values});
        }
    }
    Ref np = global(names::np);
    // A stack of boxes, four corners each.
    Ref number_of_boxes = number(PyObject_Length(corners));
    if (PyErr_Occurred()) throw python_error();
    HALVEX_ASSERT(shape_is(shape_of(corners), {number_of_boxes, number(4), number(2)}));
    // The smallest and largest coordinates of each box, cast to int32.
    Ref int32 = np.attr("int32");
    Ref min_values = np.attr("min")(corners, kw("axis", 1)).attr("astype")(int32);
    Ref max_values = np.attr("max")(corners, kw("axis", 1)).attr("astype")(int32);
    HALVEX_ASSERT(shape_is(shape_of(min_values), {number_of_boxes, number(2)}));
    HALVEX_ASSERT(shape_is(shape_of(max_values), {number_of_boxes, number(2)}));
    for (Borrowed bounds : {Borrowed(min_values), Borrowed(max_values)})
        for (int axis = 0; axis < 2; ++axis)
            HALVEX_ASSERT(shape_is(shape_of(bounds.item(tuple_of({all_of_axis(), number(axis)}))), {number_of_boxes}));
    return tuple_of({min_values, max_values});
}

const Callable table[] = {
    {"inference_boxes_to_corners(boxes: np.ndarray[Any, Any], double size_factor: float = 1.0)"
     " -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     ".", bound<inference_boxes_to_corners>},
    {"intersections(corners_a: np.ndarray[Any, Any], distances_a: np.ndarray[Any, Any], "
     "corners_b: np.ndarray[Any, Any], distances_b: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Compute intersections.\n\nThe corners of a box of the first set are A D B C, those of a box of the second set "
     "E H F G (top left, bottom left, top right, bottom right).",
     bound<intersections>},
    {"surrounding_rectangle_from_corners(corners: np.ndarray[Any, Any])"
     " -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
     ".", bound<surrounding_rectangle_from_corners>},
};

}  // namespace

const std::span<const Callable> intersection_functions = table;

}  // namespace halvex::kestril
