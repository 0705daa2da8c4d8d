// Clipping boxes at the image border: segment crossings, the coordinate
// frame a box spans, and the clip itself.

#include "kernels/clipping.hpp"
#include "halvex/preprocessing/kestril/common.hpp"

#include <optional>

namespace halvex::kestril {

namespace {

// The two callables of coordinate_transformation share one body each; a call
// makes closures of them over its own arrays (captured, not copied).
Retained forward_transformation_prototype, backward_transformation_prototype;

// lambda a: coordinate_transform_matrix.dot((a - new_origin).T).T
Ref forward_transformation(Call& call, Borrowed a) {
    Borrowed new_origin = PyTuple_GET_ITEM(call.captured().get(), 0);
    Borrowed coordinate_transform_matrix = PyTuple_GET_ITEM(call.captured().get(), 2);
    Ref offsets = subtract(a, new_origin);
    return coordinate_transform_matrix.attr("dot")(offsets.attr("T")).attr("T");
}

// lambda a: base_system.dot(a.T).T + new_origin
Ref backward_transformation(Call& call, Borrowed a) {
    Borrowed new_origin = PyTuple_GET_ITEM(call.captured().get(), 0);
    Borrowed base_system = PyTuple_GET_ITEM(call.captured().get(), 1);
    Ref turned = base_system.attr("dot")(a.attr("T")).attr("T");
    return add(turned, new_origin);
}

const Callable forward_transformation_row = {"coordinate_transformation.<locals>.<lambda>(a)", nullptr,
                                             bound<forward_transformation>};
const Callable backward_transformation_row = {"coordinate_transformation.<locals>.<lambda>(a)", nullptr,
                                              bound<backward_transformation>};

// u x v = u[0] * v[1] - u[1] * v[0].  np.cross no longer takes 2-vectors, so
// the scalar cross product is spelled out with the same operations.
Ref cross_product(Borrowed u, Borrowed v) {
    Ref first = multiply(u.at(0), v.at(1));
    Ref second = multiply(u.at(1), v.at(0));
    return subtract(first, second);
}

// A float64 vector of two values that the kernels can read in place.
std::optional<kernels::PlanePoint> plane_point(PyObject* object) {
    PyArrayObject* array = plain_of_shape(object, {2});
    if (array == nullptr || !holds<double>(array)) return std::nullopt;
    auto values = view<const double, 1>(array);
    return kernels::PlanePoint{values(0), values(1)};
}

Ref new_point(kernels::PlanePoint point) {
    Ref result = new_array({2}, NPY_DOUBLE);
    auto* values = static_cast<double*>(PyArray_DATA(as_array(result)));
    values[0] = point.x;
    values[1] = point.y;
    return result;
}

}  // namespace

Ref coordinate_transformation(Borrowed spanning_points) {
    // Three points in the plane.
    Ref shape = shape_of(spanning_points);
    Ref number_of_spanning_points = shape.at(0);
    Ref dimensionality = shape.at(1);
    HALVEX_ASSERT(shape_is(shape, {number_of_spanning_points, dimensionality}));
    HALVEX_ASSERT(equal(add(dimensionality, number(1)), number_of_spanning_points));
    HALVEX_ASSERT(equal(dimensionality, number(2)),
                  "The dimensionality of the points has to be two, otherwise slightly adapt and test.");
    // The middle point is the new origin ...
    Ref new_origin = spanning_points.at(1);
    HALVEX_ASSERT(shape_is(shape_of(new_origin), {dimensionality}));
    // ... and the other two span the new axes.
    Ref corners = spanning_points.item(Ref::steal(Py_BuildValue("[ii]", 0, 2)));
    Ref base_system = subtract(corners, new_origin).attr("T");
    HALVEX_ASSERT(shape_is(shape_of(base_system), {dimensionality, dimensionality}));
    // From plane coordinates into the new ones.
    Ref coordinate_transform_matrix = global(names::np).attr("linalg").attr("pinv")(base_system);
    HALVEX_ASSERT(shape_is(shape_of(coordinate_transform_matrix), {dimensionality, dimensionality}));
    Ref captured = tuple_of({new_origin, base_system, coordinate_transform_matrix});
    return tuple_of({make_closure(forward_transformation_prototype, captured),
                     make_closure(backward_transformation_prototype, captured)});
}

Ref intersect(Borrowed a1, Borrowed a2, Borrowed b1, Borrowed b2) {
    auto a_start = plane_point(a1), a_end = plane_point(a2), b_start = plane_point(b1), b_end = plane_point(b2);
    if (a_start && a_end && b_start && b_end) {
        kernels::SegmentCrossing crossing = kernels::intersect(*a_start, *a_end, *b_start, *b_end);
        // Parallel segments: the assertion, or under -O numpy's division with its warnings.
        if (!crossing.parallel) return crossing.crosses ? new_point(crossing.point) : Ref::none();
        HALVEX_ASSERT(false);
    }
    // The directions of both segments.
    Ref r = subtract(a2, a1);
    Ref s = subtract(b2, b1);
    // Segments that are not parallel ...
    Ref start_offset = subtract(b1, a1);
    Ref nominator = cross_product(start_offset, s);
    Ref denominator = cross_product(r, s);
    HALVEX_ASSERT(compare(denominator, number(0), Py_NE));
    // ... cross where both line parameters lie in [0, 1].
    Ref lambda_a = divide(nominator, denominator);
    Ref lambda_b = divide(cross_product(start_offset, r), denominator);
    // How far the worse parameter lies outside [0, 1].
    auto distance_from_unit_interval = [](Borrowed parameter) -> Ref {
        if (compare(parameter, number(0), Py_LE)) return negative(parameter);
        if (compare(parameter, number(1), Py_GE)) return subtract(parameter, number(1));
        return number(0);
    };
    Ref badness_a = distance_from_unit_interval(lambda_a), badness_b = distance_from_unit_interval(lambda_b);
    double badness = (less(badness_a, badness_b) ? badness_b : badness_a).to_double();
    // The crossing, with the parameter clamped onto the segment.
    if (!(badness < 1e-11)) return Ref::none();
    Ref one = to_python(1.0), zero = to_python(0.0);
    Ref clamped = less(one, lambda_b) ? one : lambda_b;
    if (less(clamped, zero)) clamped = zero;
    return add(b1, multiply(clamped, s));
}

namespace {

// The native clip runs on float64 corners and an image size given as two
// Python numbers or a float64 / int64 vector; the largest coordinates are
// formed as numpy forms them (integers stay exact before widening).
std::optional<kernels::PlanePoint> largest_coordinates(PyObject* image_size) {
    auto reduced = [](PyObject* value) -> std::optional<double> {
        if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) - 1.0;
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0 || (integer == -1 && PyErr_Occurred()) || integer < -(1LL << 53) ||
                integer > (1LL << 53)) {
                PyErr_Clear();
                return std::nullopt;
            }
            return static_cast<double>(integer - 1);
        }
        return std::nullopt;
    };
    if ((PyTuple_CheckExact(image_size) || PyList_CheckExact(image_size)) &&
        PySequence_Fast_GET_SIZE(image_size) == 2) {
        auto x = reduced(PySequence_Fast_GET_ITEM(image_size, 0));
        auto y = reduced(PySequence_Fast_GET_ITEM(image_size, 1));
        if (x && y) return kernels::PlanePoint{*x, *y};
        return std::nullopt;
    }
    PyArrayObject* array = plain_of_shape(image_size, {2});
    if (array == nullptr) return std::nullopt;
    if (holds<double>(array)) {
        auto values = view<const double, 1>(array);
        return kernels::PlanePoint{values(0) - 1.0, values(1) - 1.0};
    }
    if (type_of(array) == NPY_INT64) {
        auto values = view<const std::int64_t, 1>(array);
        for (int axis = 0; axis < 2; ++axis)
            if (values(axis) < -(1LL << 53) || values(axis) > (1LL << 53)) return std::nullopt;
        return kernels::PlanePoint{static_cast<double>(values(0) - 1), static_cast<double>(values(1) - 1)};
    }
    return std::nullopt;
}

// The clip in one pass of the kernel: for a float64 4 x 2 box while
// `intersect` and `coordinate_transformation` are still ours.  Nothing when
// the numpy road has to decide (an image frame that is not finite).
std::optional<Ref> clip_natively(Borrowed box_corners, Borrowed image_size) {
    PyArrayObject* corners = plain_of_shape(box_corners, {4, 2});
    auto largest = largest_coordinates(image_size);
    if (corners == nullptr || !largest || !holds<double>(corners) || !is_own<intersect>(names::intersect) ||
        !is_own<coordinate_transformation>(names::coordinate_transformation))
        return std::nullopt;
    Ref clipped = new_array({4, 2}, NPY_DOUBLE);
    kernels::ClipOutcome outcome = kernels::clipper(view<const double, 2>(corners), *largest, assertions_enabled(),
                                                    view<double, 2>(as_array(clipped)));
    switch (outcome.status) {
        case kernels::ClipStatus::clipped: {
            const npy_intp count = outcome.number_of_box_points;
            Ref box_points = count > 0 ? new_array({count, 2}, NPY_DOUBLE) : new_array({0}, NPY_DOUBLE);
            auto* values = static_cast<double*>(PyArray_DATA(as_array(box_points)));
            for (npy_intp k = 0; k < count; ++k) {
                values[2 * k] = outcome.box_points[k].x;
                values[2 * k + 1] = outcome.box_points[k].y;
            }
            return tuple_of({clipped, box_points});
        }
        case kernels::ClipStatus::outside_image: return tuple_of({Py_None, Py_None});
        case kernels::ClipStatus::parallel_segments: assertion_failed();
        case kernels::ClipStatus::not_finite_frame: break;  // numpy's SVD reports it
    }
    return std::nullopt;
}

// Per box corner, whether it lies left of, above, right of and below the
// image: (x < 0, y < 0, x > largest x, y > largest y).
Ref outcodes_of(Borrowed box_corners, Borrowed largest_size) {
    Ref outcodes = Ref::steal(PyList_New(0));
    for_each(box_corners, [&](Borrowed corner) {
        Ref below = Ref::steal(PySequence_List(compared(corner, number(0), Py_LT)));
        Ref above = Ref::steal(PySequence_List(compared(corner, largest_size, Py_GT)));
        Ref flags = Ref::steal(PySequence_Concat(below, above));
        check(PyList_Append(outcodes, Ref::steal(PyList_AsTuple(flags))));
    });
    return outcodes;
}

// Appends to `interesting` where the box's edges cross the image's border
// lines: edge by edge, for each border whose side the edge changes.
void append_border_crossings(Borrowed box_corners, Borrowed image_corners, Borrowed outcodes, Borrowed interesting) {
    Ref intersect_function = global(names::intersect);
    const Py_ssize_t number_of_corners = PyList_GET_SIZE(outcodes.get());
    for (Py_ssize_t i = 0; i < number_of_corners; ++i) {
        Borrowed outcode = PyList_GET_ITEM(outcodes.get(), i);
        Borrowed previous_outcode = PyList_GET_ITEM(outcodes.get(), i == 0 ? number_of_corners - 1 : i - 1);
        for (Py_ssize_t j = 0; j < 4; ++j) {
            if (!compare(outcode.at(j), previous_outcode.at(j), Py_NE)) continue;
            Ref crossing = intersect_function(box_corners.at(i - 1), box_corners.at(i), image_corners.at(j - 1),
                                              image_corners.at(j));
            if (!crossing.is_none()) check(PyList_Append(interesting, crossing));
        }
    }
}

// The clip as the algorithm states it, with numpy and `intersect` /
// `coordinate_transformation` called by name.
Ref clip_with_numpy(Borrowed box_corners, Borrowed image_size) {
    Ref np = global(names::np);
    // The image's corners, from its largest coordinates.
    Ref largest_size = subtract(np.attr("array")(image_size), number(1));
    Ref image_corners = np.attr("array")(Ref::steal(Py_BuildValue("[[ii][Oi]O[iO]]", 0, 0, largest_size.at(0).get(), 0,
                                                                  largest_size.get(), 0, largest_size.at(1).get())));
    Ref outcodes = outcodes_of(box_corners, largest_size);
    // The candidate points: the image corners, the box corners inside the
    // image, and where the box's edges cross the border.
    Ref interesting = Ref::steal(PySequence_List(image_corners));
    const Py_ssize_t number_of_image_corners = PyList_GET_SIZE(interesting.get());
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(outcodes.get()); ++k)
        if (!global(names::any)(PyList_GET_ITEM(outcodes.get(), k)).truth())
            check(PyList_Append(interesting, box_corners.at(k)));
    append_border_crossings(box_corners, image_corners, outcodes, interesting);
    // In the box's own frame the box is the unit square.
    Ref transformations = global(names::coordinate_transformation)(box_corners.item(up_to(3)));
    Ref encode = transformations.at(0), decode = transformations.at(1);
    // Box points always stay; image corners only where they lie inside the box.
    Ref all_encoded = encode(interesting);
    Ref encoded = Ref::steal(PyList_New(0));
    Ref lower = to_python(-1e-12), upper = to_python(1.000000000001);
    Ref rows = Ref::steal(PySequence_List(all_encoded));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(rows.get()); ++k) {
        Borrowed row = PyList_GET_ITEM(rows.get(), k);
        bool keep = k >= number_of_image_corners;
        if (!keep)
            keep = np.attr("all")(compared(lower, row, Py_LE)).truth() &&
                   np.attr("all")(compared(row, upper, Py_LE)).truth();
        if (keep) check(PyList_Append(encoded, row));
    }
    if (PyList_GET_SIZE(encoded.get()) == 0) return tuple_of({Py_None, Py_None});
    // Their bounding rectangle in the box's frame, taken back into the plane.
    Ref minimum = np.attr("min")(encoded, kw("axis", 0)), maximum = np.attr("max")(encoded, kw("axis", 0));
    Ref min_x = minimum.at(0), min_y = minimum.at(1), max_x = maximum.at(0), max_y = maximum.at(1);
    Ref new_box_corners =
        np.attr("array")(Ref::steal(Py_BuildValue("[[OO][OO][OO][OO]]", min_x.get(), min_y.get(), min_x.get(),
                                                  max_y.get(), max_x.get(), max_y.get(), max_x.get(), min_y.get())));
    Ref box_points = Ref::steal(PyList_GetSlice(interesting, number_of_image_corners, PY_SSIZE_T_MAX));
    return tuple_of({decode(new_box_corners), np.attr("array")(box_points)});
}

// `visualize` is converted by its truth test (which may raise) and has no
// further effect: this module draws nothing.
Ref clipper(Borrowed box_corners, Borrowed image_size, Borrowed /*visualize*/) {
    if (std::optional<Ref> clipped = clip_natively(box_corners, image_size)) return *clipped;
    return clip_with_numpy(box_corners, image_size);
}

const Callable table[] = {
    {"coordinate_transformation(spanning_points: np.ndarray[Any, Any]) -> tuple[Callable[[np.ndarray[Any, Any] | "
     "list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]], Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]]",
     "Compute a coordinate transformation functions.", bound<coordinate_transformation>},
    {"intersect(a1: Any, a2: Any, b1: Any, b2: Any) -> np.ndarray[Any, Any] | None", ".", bound<intersect>},
    {"clipper(box_corners: np.ndarray[Any, Any], image_size: np.ndarray[Any, Any], bool visualize: bool = False)"
     " -> tuple[np.ndarray[Any, Any] | None, np.ndarray[Any, Any] | None]",
     "Clip boxes at the edge of the image.", bound<clipper>},
};

}  // namespace

const std::span<const Callable> clipping_functions = table;

void make_transformation_prototypes(ModuleBuilder& module) {
    forward_transformation_prototype = module.make(forward_transformation_row);
    backward_transformation_prototype = module.make(backward_transformation_row);
}

}  // namespace halvex::kestril
