// Rebuilding rotated rectangles from keypoint parallelograms.
//
// An augmentation that shears or scales unevenly turns the three keypoints of
// a box (center, top, right) into a parallelogram.  The rectangle keeps the
// center and the direction of the longer half-axis; the reconstruction mode
// chooses its extent along that axis, and across it the rectangle takes the
// other half-axis's perpendicular component.
//
// Values equal those of the numpy formulation: float64 throughout the fused
// kernel, the einsum summation order of the rotations, and the same tests
// whose failure numpy turns into AssertionError.  cos, sin and atan2 come
// from glibc's vector functions and may differ from numpy's by a few ulp.
//
// coordinate_transformation has no kernel here on purpose: it builds a single
// 2 x 2 frame through np.linalg.pinv (an SVD in LAPACK) and applies it with
// np.dot (BLAS, which may fuse multiply-adds); neither is reproducible bit for
// bit natively, and the work is a handful of flops per call.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "box_formats.hpp"
#include "strided.hpp"
#include "vector_math.hpp"

namespace halvex::kernels {

// What the caller's mode argument compared equal to.  An object equal to no
// member reconstructs like `average` (the other half-axis is only made
// perpendicular); keeping it distinct lets callers say so in diagnostics.
enum class BoxReconstruction { minimum, average, maximum, unmatched };

// ---------------------------------------------------------------------------
// parallelogram_to_box
// ---------------------------------------------------------------------------

struct ParallelogramToBoxOutcome {
    // Set when a longer-axis index lies outside [-rows, rows): numpy raises
    // IndexError "index {value} is out of bounds for axis 0 with size {rows}"
    // with the first such value in index order.  In the minimum and maximum
    // modes nothing has been written then.  In the other modes numpy reads
    // flat[L] only inside the tolerance assertion: the x components of the
    // other half-axes are zeroed, and the IndexError is raised only while
    // assertions are enabled (under `python -O` the call succeeds).
    std::optional<std::int64_t> out_of_bounds_index;
    // False when some |longer half-axis y| < 1e-5 does not hold (NaN included);
    // numpy's assertion fails then, if assertions are enabled.
    bool longer_axes_on_x_axis = true;
};

namespace detail {

// The 1e-5 of the check is a Python float; against a float32 array numpy
// compares in float32, so the tolerance itself is rounded to float32.
template <class T>
bool within_x_axis_tolerance(T y) {
    return std::abs(y) < static_cast<T>(1e-5);
}

template <class Index>
std::int64_t other_half_axis_row(Index longer_axis_row, std::ptrdiff_t parallelogram) {
    // (index + 1) % 2 in the index dtype: the + 1 wraps, the remainder is a
    // floor remainder, so it is 0 or 1 for negative indices too.
    const Index next = wrapping_add(longer_axis_row, Index{1});
    const std::int64_t parity = static_cast<std::int64_t>(next % 2 != 0 ? 1 : 0);
    return parity + 2 * static_cast<std::int64_t>(parallelogram);
}

}  // namespace detail

// parallelogram_flat: (2n) x 2 of T (float32 or float64), writable, rows 2i
// and 2i + 1 the half-axes of parallelogram i already turned so that the
// longer one lies on the x axis.  longer_axis_index: n integers of Index (any
// signed integer, or an unsigned one narrower than 64 bits: numpy turns
// uint64 + int64 arange into float64 and refuses it as an index).
//
// The caller validates beforehand what numpy's assertions validate: two
// columns, 2n rows, a one-dimensional index array of length n.  Then every
// other-half-axis row is in range by construction, and only the longer-axis
// indices can be out of range.  The index array is copied before anything is
// written, so it may even overlap parallelogram_flat.
//
// Indices other than 2i / 2i + 1 are accepted as numpy accepts them: all reads
// of `flat[L, 0] += |flat[O, 0]|` happen before its writes, and when an index
// repeats, the write of the later parallelogram wins.
template <class T, class Index>
ParallelogramToBoxOutcome parallelogram_to_box(Strided<T, 2> parallelogram_flat,
                                               Strided<const Index, 1> longer_axis_index, BoxReconstruction mode) {
    static_assert(std::is_floating_point_v<T>);
    static_assert(is_integer_element_v<Index> && (std::is_signed_v<Index> || sizeof(Index) < 8));

    ParallelogramToBoxOutcome outcome;
    const std::ptrdiff_t number_of_parallelograms = longer_axis_index.size(0);
    const std::int64_t number_of_rows = static_cast<std::int64_t>(parallelogram_flat.size(0));

    std::vector<std::ptrdiff_t> longer_rows(static_cast<std::size_t>(number_of_parallelograms));
    std::vector<std::ptrdiff_t> other_rows(static_cast<std::size_t>(number_of_parallelograms));
    bool every_index_is_its_own_pair = true;
    for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i) {
        const Index raw = longer_axis_index(i);
        other_rows[i] = static_cast<std::ptrdiff_t>(detail::other_half_axis_row(raw, i));
        const std::int64_t value = static_cast<std::int64_t>(raw);
        const std::int64_t row = value < 0 ? value + number_of_rows : value;
        if (row < 0 || row >= number_of_rows) {
            if (!outcome.out_of_bounds_index) outcome.out_of_bounds_index = value;
            longer_rows[i] = 0;
            every_index_is_its_own_pair = false;
            continue;
        }
        longer_rows[i] = static_cast<std::ptrdiff_t>(row);
        every_index_is_its_own_pair &= (row >> 1) == i && row != other_rows[i];
    }

    const bool adjusts_length = mode == BoxReconstruction::maximum || mode == BoxReconstruction::minimum;
    if (outcome.out_of_bounds_index && adjusts_length) return outcome;
    const auto adjusted = [mode](T longer_x, T other_x) {
        return mode == BoxReconstruction::maximum ? longer_x + std::abs(other_x) : longer_x - std::abs(other_x);
    };

    if (every_index_is_its_own_pair) {
        // The usual case: parallelogram i touches only its own two rows.
        for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i) {
            const std::ptrdiff_t longer = longer_rows[i], other = other_rows[i];
            if (adjusts_length)
                parallelogram_flat(longer, 0) = adjusted(parallelogram_flat(longer, 0), parallelogram_flat(other, 0));
            parallelogram_flat(other, 0) = T{0};
            outcome.longer_axes_on_x_axis &= detail::within_x_axis_tolerance(parallelogram_flat(longer, 1));
        }
        return outcome;
    }

    if (adjusts_length) {
        std::vector<T> new_longer_x(static_cast<std::size_t>(number_of_parallelograms));
        for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i)
            new_longer_x[i] = adjusted(parallelogram_flat(longer_rows[i], 0), parallelogram_flat(other_rows[i], 0));
        for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i)
            parallelogram_flat(longer_rows[i], 0) = new_longer_x[i];
    }
    for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i) parallelogram_flat(other_rows[i], 0) = T{0};
    if (outcome.out_of_bounds_index) return outcome;
    for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i)
        outcome.longer_axes_on_x_axis &= detail::within_x_axis_tolerance(parallelogram_flat(longer_rows[i], 1));
    return outcome;
}

// ---------------------------------------------------------------------------
// get_box_and_rotation_from_parallelogram_keypoints
// ---------------------------------------------------------------------------
//
// The whole documented pipeline in one pass per parallelogram: half-axes in
// float64, the longer one by np.argmax of the norms (first maximum wins, a NaN
// norm counts as the maximum), its angle by atan2, the turn by minus that
// angle, parallelogram_to_box, the turn back, the corners, the rotation.  Only
// valid while the rotation, angle, reconstruction and corner functions are the
// module's own.
//
// parallelogram_keypoints: n x 3 x 2 of any arithmetic T (converted to
// float64 like astype(np.float64)); never written.  box_corners: n x 4 x 2
// float64 and rotations: n float64, caller-allocated, not overlapping the
// input.
//
// Returns false when one of numpy's checks would fail: a NaN after either
// rotation or after the reconstruction (its in-place checks compare the
// array with itself), or a longer half-axis whose y after the first turn is
// not within 1e-5 of the x axis.  All of them are AssertionError without a
// message; under `python -O` the outputs are used as they are.
namespace detail {

// The two half-axes of a parallelogram (0: top - center, 1: right - center)
// and which of them is the longer.
struct HalfAxes {
    double x[2], y[2];
    int longer;
};

}  // namespace detail

// The trigonometry runs a block of parallelograms at a time: the angles of
// the longer half-axes, then their cosines and sines for both turns (the turn
// by minus an angle takes cos(-a) = cos(a) and sin(-a) = -sin(a), which the
// vector functions satisfy exactly, as numpy's do), then the angles of the
// rebuilt top half-axes.
template <class T>
bool get_box_and_rotation_from_parallelogram_keypoints(Strided<const T, 3> parallelogram_keypoints,
                                                       BoxReconstruction mode, Strided<double, 3> box_corners,
                                                       Strided<double, 1> rotations) {
    static_assert(std::is_arithmetic_v<T>);
    constexpr double quarter_turn = 3.141592653589793 / 2;
    bool checks_pass = true;

    const auto half_axes_of = [&](std::ptrdiff_t i) {
        const double center_x = static_cast<double>(parallelogram_keypoints(i, 0, 0));
        const double center_y = static_cast<double>(parallelogram_keypoints(i, 0, 1));
        detail::HalfAxes axes;
        for (int axis = 0; axis < 2; ++axis) {
            axes.x[axis] = static_cast<double>(parallelogram_keypoints(i, axis + 1, 0)) - center_x;
            axes.y[axis] = static_cast<double>(parallelogram_keypoints(i, axis + 1, 1)) - center_y;
        }
        double norm[2];
        for (int axis = 0; axis < 2; ++axis)
            norm[axis] = std::sqrt((0.0 + axes.x[axis] * axes.x[axis]) + axes.y[axis] * axes.y[axis]);
        axes.longer = is_nan(norm[0]) ? 0 : (is_nan(norm[1]) ? 1 : (norm[1] > norm[0] ? 1 : 0));
        return axes;
    };

    const std::ptrdiff_t number_of_parallelograms = parallelogram_keypoints.size(0);
    for (std::ptrdiff_t first = 0; first < number_of_parallelograms; first += trig_block) {
        const std::ptrdiff_t count = std::min(trig_block, number_of_parallelograms - first);
        detail::HalfAxes block[trig_block];
        double angle_to_x_axis[trig_block];

        const auto longer_half_axis = [&](std::ptrdiff_t k) {
            block[k] = half_axes_of(first + k);
            return std::pair{block[k].y[block[k].longer], block[k].x[block[k].longer]};
        };
        for_each_atan2<double>(count, longer_half_axis,
                               [&](std::ptrdiff_t k, double angle) { angle_to_x_axis[k] = angle; });

        const auto angle_of = [&](std::ptrdiff_t k) { return angle_to_x_axis[k]; };
        for_each_cos_sin<double>(count, angle_of, [&](std::ptrdiff_t k, double cosine, double sine) {
            const std::ptrdiff_t i = first + k;
            double* half_axis_x = block[k].x;
            double* half_axis_y = block[k].y;
            const int longer = block[k].longer, other = 1 - longer;

            const auto turn_onto_x_axis = PlanarRotation<double>::of(cosine, -sine);
            for (int axis = 0; axis < 2; ++axis) turn_onto_x_axis.apply(half_axis_x[axis], half_axis_y[axis]);
            for (int axis = 0; axis < 2; ++axis)
                checks_pass &= !is_nan(half_axis_x[axis]) && !is_nan(half_axis_y[axis]);

            if (mode == BoxReconstruction::maximum)
                half_axis_x[longer] = half_axis_x[longer] + std::abs(half_axis_x[other]);
            else if (mode == BoxReconstruction::minimum)
                half_axis_x[longer] = half_axis_x[longer] - std::abs(half_axis_x[other]);
            half_axis_x[other] = 0.0;
            checks_pass &= detail::within_x_axis_tolerance(half_axis_y[longer]);
            checks_pass &= !is_nan(half_axis_x[longer]);

            const auto turn_back = PlanarRotation<double>::of(cosine, sine);
            for (int axis = 0; axis < 2; ++axis) turn_back.apply(half_axis_x[axis], half_axis_y[axis]);
            for (int axis = 0; axis < 2; ++axis)
                checks_pass &= !is_nan(half_axis_x[axis]) && !is_nan(half_axis_y[axis]);

            const double center_x = static_cast<double>(parallelogram_keypoints(i, 0, 0));
            const double center_y = static_cast<double>(parallelogram_keypoints(i, 0, 1));
            const auto offsets =
                CornerOffsets<double>::from_box_tuple(half_axis_x[0], half_axis_y[0], half_axis_x[1], half_axis_y[1]);
            for (int corner = 0; corner < 4; ++corner) {
                box_corners(i, corner, 0) = offsets.x[corner] + center_x;
                box_corners(i, corner, 1) = offsets.y[corner] + center_y;
            }
        });

        const auto top_half_axis = [&](std::ptrdiff_t k) { return std::pair{block[k].y[0], block[k].x[0]}; };
        for_each_atan2<double>(count, top_half_axis,
                               [&](std::ptrdiff_t k, double angle) { rotations(first + k) = angle + quarter_turn; });
    }
    return checks_pass;
}

}  // namespace halvex::kernels
