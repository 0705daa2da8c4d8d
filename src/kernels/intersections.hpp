// Rotated boxes from inference output: corners, half-edge vectors, pairwise
// overlap and enclosing integer rectangles.
//
// The pair test must reach numpy's decision for every pair, including boxes
// that touch exactly and NaN boxes, so every projection is computed with the
// operations, operation order and intermediate dtype of the numpy version
// (float32 stays float32; a product of a float32 and a float64 array is
// formed in float64).  Only the memory differs: per-box data for a tile of
// the second set lives on the stack and the pair loop streams over it, so
// memory is O(1) beyond the inputs and the boolean result.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <type_traits>

#include "strided.hpp"
#include "vector_math.hpp"

namespace halvex::kernels {

// The dtype numpy gives a binary operation of two float arrays: float32 only
// when both are float32.
template <class First, class Second>
using PromotedFloat = std::conditional_t<std::is_same_v<First, float> && std::is_same_v<Second, float>, float, double>;

// ---------------------------------------------------------------------------
// inference_boxes_to_corners

// numpy's floor remainder (npy_divmod): the result takes the sign of the
// divisor, an exact zero becomes +0 for a positive divisor.
template <class Real>
Real floor_remainder(Real dividend, Real divisor) {
    Real remainder = std::fmod(dividend, divisor);
    if (divisor == 0) return remainder;
    if (remainder != 0) {
        if ((divisor < 0) != (remainder < 0)) remainder += divisor;
    } else {
        remainder = std::copysign(Real(0), divisor);
    }
    return remainder;
}

// float32 boxes compute in float32 (numpy rounds the Python constants to
// float32), everything else (float64, integers) in float64.
template <class Box>
using InferenceReal = std::conditional_t<std::is_same_v<Box, float>, float, double>;

// Orientation (pi - rotation) mod 2 pi of each box, in the box's computation
// type.  Callers that need numpy's own cos/sin of it (bit-identical
// distances) evaluate np.cos/np.sin on this array and hand them to
// `inference_boxes_to_corners`.
template <class Box>
void inference_box_orientations(Strided<const Box, 2> boxes, Strided<InferenceReal<Box>, 1> orientations) {
    using Real = InferenceReal<Box>;
    const Real pi = static_cast<Real>(std::numbers::pi);
    const Real full_turn = static_cast<Real>(2 * std::numbers::pi);
    for (std::ptrdiff_t box = 0; box < boxes.size(0); ++box) {
        orientations(box) = floor_remainder<Real>(pi - static_cast<Real>(boxes(box, 4)), full_turn);
    }
}

namespace detail {

// einsum's sum of two products: it accumulates onto a zeroed output, which
// turns a -0 sum into +0.
template <class Real>
Real einsum_pair(Real first_factor, Real first_value, Real second_factor, Real second_value) {
    return Real(0) + (first_factor * first_value + second_factor * second_value);
}

}  // namespace detail

// Boxes n x 5 (or wider; only columns 0..4 are read) with cosines and sines
// of their orientations (n each, in InferenceReal<Box>).  Writes the float32
// corners (rows top left, bottom left, top right, bottom right) and the
// float32 half-edge vectors (row 0 to_bottom, row 1 to_right, rows 2 and 3 the
// rotated zero rows) into the caller's n x 4 x 2 views, which must not
// overlap the boxes.  float32 boxes give numpy's float32 result; for other
// boxes the half sizes are rounded to float32 as numpy stores them, rotated
// in float64 and rounded again.  `size_factor` is the Python float; numpy
// rounds it to float32 for float32 boxes.
template <class Box>
void inference_boxes_to_corners(Strided<const Box, 2> boxes, double size_factor,
                                Strided<const InferenceReal<Box>, 1> cosines,
                                Strided<const InferenceReal<Box>, 1> sines, Strided<float, 3> corners,
                                Strided<float, 3> distances) {
    using Real = InferenceReal<Box>;
    const Real factor = static_cast<Real>(size_factor);
    for (std::ptrdiff_t box = 0; box < boxes.size(0); ++box) {
        const float half_width = static_cast<float>(static_cast<Real>(boxes(box, 2)) / Real(2) * factor);
        const float half_height = static_cast<float>(static_cast<Real>(boxes(box, 3)) / Real(2) * factor);
        const Real cosine = cosines(box);
        const Real sine = sines(box);
        const Real negative_sine = -sine;

        // Rows before rotation: (half_width, 0), (0, half_height), 0, 0.
        const float rows[4][2] = {{half_width, 0.0f}, {0.0f, half_height}, {0.0f, 0.0f}, {0.0f, 0.0f}};
        for (int row = 0; row < 4; ++row) {
            const Real x = rows[row][0];
            const Real y = rows[row][1];
            distances(box, row, 0) = static_cast<float>(detail::einsum_pair(cosine, x, negative_sine, y));
            distances(box, row, 1) = static_cast<float>(detail::einsum_pair(sine, x, cosine, y));
        }

        const float to_bottom_x = distances(box, 0, 0), to_bottom_y = distances(box, 0, 1);
        const float to_right_x = distances(box, 1, 0), to_right_y = distances(box, 1, 1);
        const float center_x = static_cast<float>(boxes(box, 0));
        const float center_y = static_cast<float>(boxes(box, 1));
        // Top rows lose to_bottom, bottom rows gain it; then left rows lose
        // to_right and right rows gain it (two float32 roundings per corner,
        // in this order).
        corners(box, 0, 0) = (center_x - to_bottom_x) - to_right_x;
        corners(box, 0, 1) = (center_y - to_bottom_y) - to_right_y;
        corners(box, 1, 0) = (center_x + to_bottom_x) - to_right_x;
        corners(box, 1, 1) = (center_y + to_bottom_y) - to_right_y;
        corners(box, 2, 0) = (center_x - to_bottom_x) + to_right_x;
        corners(box, 2, 1) = (center_y - to_bottom_y) + to_right_y;
        corners(box, 3, 0) = (center_x + to_bottom_x) + to_right_x;
        corners(box, 3, 1) = (center_y + to_bottom_y) + to_right_y;
    }
}

// Convenience form with the vector library's cos/sin (float32 boxes: evaluated
// in double and rounded).  numpy's vectorised float32 cos/sin may differ from
// these by an ulp, so the distances may then differ by an ulp or two.
template <class Box>
void inference_boxes_to_corners(Strided<const Box, 2> boxes, double size_factor, Strided<float, 3> corners,
                                Strided<float, 3> distances) {
    using Real = InferenceReal<Box>;
    constexpr std::ptrdiff_t chunk = 256;
    constexpr std::ptrdiff_t real_stride = sizeof(Real);
    Real orientation[chunk], cosine[chunk], sine[chunk];
    for (std::ptrdiff_t first = 0; first < boxes.size(0); first += chunk) {
        const std::ptrdiff_t count = std::min(chunk, boxes.size(0) - first);
        Strided<const Box, 2> part = boxes;
        part.data += first * boxes.strides[0];
        part.shape[0] = count;
        inference_box_orientations<Box>(part, {reinterpret_cast<char*>(orientation), {count}, {real_stride}});
        for_each_cos_sin<Real>(
            count, [&](std::ptrdiff_t k) { return orientation[k]; },
            [&](std::ptrdiff_t k, Real cosine_value, Real sine_value) {
                cosine[k] = cosine_value;
                sine[k] = sine_value;
            });
        Strided<float, 3> corners_part = corners, distances_part = distances;
        corners_part.data += first * corners.strides[0];
        distances_part.data += first * distances.strides[0];
        corners_part.shape[0] = distances_part.shape[0] = count;
        inference_boxes_to_corners<Box>(part, size_factor, {reinterpret_cast<char*>(cosine), {count}, {real_stride}},
                                        {reinterpret_cast<char*>(sine), {count}, {real_stride}}, corners_part,
                                        distances_part);
    }
}

// ---------------------------------------------------------------------------
// intersections

// Floating-point warnings numpy raises in one division ufunc call.
struct DivisionWarnings {
    bool divide_by_zero = false;  // "divide by zero encountered in divide"
    bool invalid_value = false;   // "invalid value encountered in divide"
};

namespace detail {

// -2 d / |2 d|^2 with numpy's steps: the norm as sqrt(x*x + y*y) of the
// doubled vector, then squared again (not the sum itself), all in Distance.
template <class Distance>
void inverse_edge_vector(Distance x, Distance y, Distance& inverse_x, Distance& inverse_y) {
    const Distance doubled_x = x * Distance(2);
    const Distance doubled_y = y * Distance(2);
    const Distance length = std::sqrt(doubled_x * doubled_x + doubled_y * doubled_y);
    const Distance length_squared = length * length;
    inverse_x = (-x * Distance(2)) / length_squared;
    inverse_y = (-y * Distance(2)) / length_squared;
}

// IEEE flags of numerator / denominator; NaN operands raise nothing.
template <class Real>
void add_division_flags(Real numerator, Real denominator, DivisionWarnings& warnings) {
    if (std::isnan(numerator) || std::isnan(denominator)) return;
    if (denominator == 0) {
        if (numerator == 0)
            warnings.invalid_value = true;
        else if (!std::isinf(numerator))
            warnings.divide_by_zero = true;
    } else if (std::isinf(numerator) && std::isinf(denominator)) {
        warnings.invalid_value = true;
    }
}

// Corners and inverse edge vectors of up to `tile_size` boxes of the second
// set, laid out for the lane loop.  Unused lanes are zero.
template <class Difference, class Projection, std::ptrdiff_t TileSize>
struct BoxTile {
    Difference corner_x[4][TileSize];
    Difference corner_y[4][TileSize];
    Projection to_right_x[TileSize], to_right_y[TileSize];
    Projection to_bottom_x[TileSize], to_bottom_y[TileSize];
};

// One box of the first set, as every pair with it needs it.
template <class Difference, class Projection>
struct FirstBox {
    Difference corner_x[4], corner_y[4];
    Projection to_right_x, to_right_y, to_bottom_x, to_bottom_y;
};

// A pair is separated when along one of the four edge directions all four
// projected corners of the other box lie strictly before 0 or strictly
// beyond 1; NaN projections fail both tests and never separate.  Which axis
// separates does not matter, so the axes are tested in two rounds: the first
// box's two axes for a whole run of lanes, branch-free so that it
// vectorises, then the second box's axes only for the few pairs still
// undecided (boxes whose projections overlap on both axes of the first box
// are close to it).

// Corners Q of the first box along E->F and E->H of the second box:
// (E - Q) . (-EF / |EF|^2).
template <class Difference, class ProjectionOnFirst, class ProjectionOnSecond, std::ptrdiff_t TileSize>
bool separated_on_second_axes(const FirstBox<Difference, ProjectionOnFirst>& first,
                              const BoxTile<Difference, ProjectionOnSecond, TileSize>& tile, std::ptrdiff_t t) {
    using OnSecond = ProjectionOnSecond;
    bool below_right = true, above_right = true, below_bottom = true, above_bottom = true;
    for (int f = 0; f < 4; ++f) {
        const OnSecond dx = static_cast<OnSecond>(tile.corner_x[0][t] - first.corner_x[f]);
        const OnSecond dy = static_cast<OnSecond>(tile.corner_y[0][t] - first.corner_y[f]);
        const OnSecond along_right = dx * tile.to_right_x[t] + dy * tile.to_right_y[t];
        const OnSecond along_bottom = dx * tile.to_bottom_x[t] + dy * tile.to_bottom_y[t];
        below_right &= along_right < 0;
        above_right &= along_right > 1;
        below_bottom &= along_bottom < 0;
        above_bottom &= along_bottom > 1;
    }
    return below_right | above_right | below_bottom | above_bottom;
}

// Decides the pairs (first, lane_offset + 0 .. Lanes - 1).  The verdicts go
// to an int32 array, which unlike a char array cannot alias the tile's
// floats (a possible alias costs a runtime check, or at -O2 the vectorising).
template <int Lanes, class Difference, class ProjectionOnFirst, class ProjectionOnSecond, std::ptrdiff_t TileSize>
void decide_lanes(const FirstBox<Difference, ProjectionOnFirst>& first,
                  const BoxTile<Difference, ProjectionOnSecond, TileSize>& tile, std::ptrdiff_t lane_offset,
                  std::int32_t* overlapping) {
    using OnFirst = ProjectionOnFirst;
    for (int lane = 0; lane < Lanes; ++lane) {
        const std::ptrdiff_t t = lane_offset + lane;
        // Corners P of the second box along A->B and A->D of the first box:
        // (A - P) . (-AB / |AB|^2).
        bool below_right = true, above_right = true, below_bottom = true, above_bottom = true;
        // Unrolled so that -O2 sees a single loop it can vectorise.
#pragma GCC unroll 4
        for (int f = 0; f < 4; ++f) {
            const OnFirst dx = static_cast<OnFirst>(first.corner_x[0] - tile.corner_x[f][t]);
            const OnFirst dy = static_cast<OnFirst>(first.corner_y[0] - tile.corner_y[f][t]);
            const OnFirst along_right = dx * first.to_right_x + dy * first.to_right_y;
            const OnFirst along_bottom = dx * first.to_bottom_x + dy * first.to_bottom_y;
            below_right &= along_right < 0;
            above_right &= along_right > 1;
            below_bottom &= along_bottom < 0;
            above_bottom &= along_bottom > 1;
        }
        overlapping[t] = (below_right | above_right | below_bottom | above_bottom) ? 0 : 1;
    }
    for (int lane = 0; lane < Lanes; ++lane) {
        const std::ptrdiff_t t = lane_offset + lane;
        if (overlapping[t] && separated_on_second_axes(first, tile, t)) overlapping[t] = 0;
    }
}

}  // namespace detail

// result[i, j] = boxes i of the first set and j of the second set overlap or
// touch, for corners n x 4 x 2 (rows top left, bottom left, top right,
// bottom right) and half-edge vectors n x 4 x 2 (row 0 to_bottom, row 1
// to_right; rows 2 and 3 are not read) as `inference_boxes_to_corners` makes
// them.  Element types float or double each, any strides; integer arrays may
// be handed in as double (same values below 2^53).  The caller checks all
// shapes (result n_a x n_b) and that `result` overlaps no input.
template <class CornerA, class DistanceA, class CornerB, class DistanceB>
void intersections(Strided<const CornerA, 3> corners_a, Strided<const DistanceA, 3> distances_a,
                   Strided<const CornerB, 3> corners_b, Strided<const DistanceB, 3> distances_b,
                   Strided<bool, 2> result) {
    using Difference = PromotedFloat<CornerA, CornerB>;
    using ProjectionOnFirst = PromotedFloat<Difference, DistanceA>;
    using ProjectionOnSecond = PromotedFloat<Difference, DistanceB>;
    constexpr std::ptrdiff_t tile_size = 128;
    constexpr int small_lanes = 8;

    detail::BoxTile<Difference, ProjectionOnSecond, tile_size> tile;
    std::int32_t overlapping[tile_size];
    const std::ptrdiff_t number_a = corners_a.size(0);
    const std::ptrdiff_t number_b = corners_b.size(0);

    for (std::ptrdiff_t tile_start = 0; tile_start < number_b; tile_start += tile_size) {
        const std::ptrdiff_t count = std::min(tile_size, number_b - tile_start);
        for (std::ptrdiff_t t = 0; t < tile_size; ++t) {
            if (t >= count) {
                for (int f = 0; f < 4; ++f) tile.corner_x[f][t] = tile.corner_y[f][t] = 0;
                tile.to_right_x[t] = tile.to_right_y[t] = tile.to_bottom_x[t] = tile.to_bottom_y[t] = 0;
                continue;
            }
            const std::ptrdiff_t box = tile_start + t;
            for (int f = 0; f < 4; ++f) {
                tile.corner_x[f][t] = static_cast<Difference>(corners_b(box, f, 0));
                tile.corner_y[f][t] = static_cast<Difference>(corners_b(box, f, 1));
            }
            DistanceB right_x, right_y, bottom_x, bottom_y;
            detail::inverse_edge_vector<DistanceB>(distances_b(box, 0, 0), distances_b(box, 0, 1), bottom_x, bottom_y);
            detail::inverse_edge_vector<DistanceB>(distances_b(box, 1, 0), distances_b(box, 1, 1), right_x, right_y);
            tile.to_right_x[t] = right_x;
            tile.to_right_y[t] = right_y;
            tile.to_bottom_x[t] = bottom_x;
            tile.to_bottom_y[t] = bottom_y;
        }

        for (std::ptrdiff_t i = 0; i < number_a; ++i) {
            detail::FirstBox<Difference, ProjectionOnFirst> first;
            for (int f = 0; f < 4; ++f) {
                first.corner_x[f] = static_cast<Difference>(corners_a(i, f, 0));
                first.corner_y[f] = static_cast<Difference>(corners_a(i, f, 1));
            }
            DistanceA right_x, right_y, bottom_x, bottom_y;
            detail::inverse_edge_vector<DistanceA>(distances_a(i, 0, 0), distances_a(i, 0, 1), bottom_x, bottom_y);
            detail::inverse_edge_vector<DistanceA>(distances_a(i, 1, 0), distances_a(i, 1, 1), right_x, right_y);
            first.to_right_x = right_x;
            first.to_right_y = right_y;
            first.to_bottom_x = bottom_x;
            first.to_bottom_y = bottom_y;

            if (count == tile_size) {
                detail::decide_lanes<tile_size>(first, tile, 0, overlapping);
            } else {
                for (std::ptrdiff_t offset = 0; offset < count; offset += small_lanes) {
                    detail::decide_lanes<small_lanes>(first, tile, offset, overlapping);
                }
            }
            for (std::ptrdiff_t t = 0; t < count; ++t) result(i, tile_start + t) = overlapping[t] != 0;
        }
    }
}

// The pair test itself raises no warnings, but numpy's inverse edge vectors
// do for boxes with a zero-length edge: one division per direction and set.
// Callers that mirror numpy's RuntimeWarnings check each set with this
// (numpy computes the vectors even when the other set is empty).
struct InverseEdgeWarnings {
    DivisionWarnings to_bottom;  // from half-edge row 0
    DivisionWarnings to_right;   // from half-edge row 1
};

template <class Distance>
InverseEdgeWarnings inverse_edge_warnings(Strided<const Distance, 3> distances) {
    InverseEdgeWarnings warnings;
    for (std::ptrdiff_t box = 0; box < distances.size(0); ++box) {
        for (int row = 0; row < 2; ++row) {
            const Distance x = distances(box, row, 0), y = distances(box, row, 1);
            const Distance doubled_x = x * Distance(2), doubled_y = y * Distance(2);
            const Distance length = std::sqrt(doubled_x * doubled_x + doubled_y * doubled_y);
            const Distance length_squared = length * length;
            DivisionWarnings& flags = row == 0 ? warnings.to_bottom : warnings.to_right;
            detail::add_division_flags(-x * Distance(2), length_squared, flags);
            detail::add_division_flags(-y * Distance(2), length_squared, flags);
        }
    }
    return warnings;
}

// ---------------------------------------------------------------------------
// surrounding_rectangle_from_corners

namespace detail {

// numpy's float -> int32 cast on x86-64: truncation toward zero; NaN and
// values outside int32 become INT32_MIN (numpy warns "invalid value
// encountered in cast").  Integers wrap modulo 2^32.
template <class Value>
std::int32_t numpy_int32(Value value) {
    if constexpr (std::is_floating_point_v<Value>) {
        if (!(value > -2147483649.0 && value < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
        return static_cast<std::int32_t>(value);
    } else {
        return static_cast<std::int32_t>(value);
    }
}

template <class Value>
Value numpy_minimum(Value a, Value b) {
    if constexpr (std::is_floating_point_v<Value>)
        return (a <= b || std::isnan(a)) ? a : b;
    else
        return a <= b ? a : b;
}

template <class Value>
Value numpy_maximum(Value a, Value b) {
    if constexpr (std::is_floating_point_v<Value>)
        return (a >= b || std::isnan(a)) ? a : b;
    else
        return a >= b ? a : b;
}

}  // namespace detail

// Per box the minimum and maximum (x, y) of its four corners (NaN wins),
// converted to int32 as numpy's astype does.  Returns whether some value
// was NaN or out of int32 range, so the caller can raise numpy's
// RuntimeWarning.  Corners n x 4 x 2 of any arithmetic type; outputs n x 2.
template <class Value>
bool surrounding_rectangle_from_corners(Strided<const Value, 3> corners, Strided<std::int32_t, 2> min_values,
                                        Strided<std::int32_t, 2> max_values) {
    bool invalid_cast = false;
    for (std::ptrdiff_t box = 0; box < corners.size(0); ++box) {
        for (int axis = 0; axis < 2; ++axis) {
            Value low = corners(box, 0, axis), high = low;
            for (int corner = 1; corner < 4; ++corner) {
                low = detail::numpy_minimum(low, corners(box, corner, axis));
                high = detail::numpy_maximum(high, corners(box, corner, axis));
            }
            if constexpr (std::is_floating_point_v<Value>) {
                invalid_cast |= !(low > -2147483649.0 && low < 2147483648.0);
                invalid_cast |= !(high > -2147483649.0 && high < 2147483648.0);
            }
            min_values(box, axis) = detail::numpy_int32(low);
            max_values(box, axis) = detail::numpy_int32(high);
        }
    }
    return invalid_cast;
}

}  // namespace halvex::kernels
