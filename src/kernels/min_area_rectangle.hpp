// The smallest rectangles enclosing four points each, in float64, many at once.
//
// A minimum-area enclosing rectangle has one side on an edge of the points'
// convex hull.  With four points every hull edge joins two of them, so trying
// the directions of all six pairs finds the optimum without building the hull:
// a direction that is not a hull edge still gives an enclosing rectangle, only
// not a smaller one.  Each direction costs eight dot products and one
// division; no square root or angle is needed until the winner is known.
//
// The quadrilaterals go four at a time through branch-free vector code,
// compiled twice, plainly and for AVX2, and the processor picks.  Both do the
// same IEEE operations in the same order (no fused multiply-add), so they
// give the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "vector_math.hpp"

namespace halvex::kernels {

// Quadrilateral i has the corners (x[k][i], y[k][i]), k = 0..3.
struct QuadrilateralArrays {
    const double* x[4];
    const double* y[4];
};

// Rectangle i as a rotated box: its center, width and height, and the
// rotation that turns the width's axis (1, 0) to (cos, -sin) (counter-clockwise
// on a y-down image, as ORVA).  Of the four names of a rectangle it takes the
// rotation in [-π/4, π/4), the one closest to upright, so that an
// axis-aligned rectangle comes back with rotation 0 and its x extent as width.
// Coinciding points give sizes of zero; collinear points a height or width
// of zero along their line; a non-finite coordinate NaN everywhere.
struct RotatedBoxArrays {
    double* center_x;
    double* center_y;
    double* width;
    double* height;
    double* rotation;
};

namespace detail {

// Four doubles handled as one value (GCC and Clang vector extensions): SSE2
// pairs in the plain build, one AVX2 register in the other.  Comparisons give
// lane masks, `mask ? a : b` selects lane by lane, and a scalar operand is
// used in every lane.  Arrays are read and written through references to the
// unaligned, aliasing variant: no function takes or returns a vector by
// value, so nothing depends on how vectors are passed with or without AVX.
using Lanes = double __attribute__((vector_size(4 * sizeof(double))));
using LanesInMemory = double __attribute__((vector_size(4 * sizeof(double)), aligned(alignof(double)), may_alias));
constexpr std::ptrdiff_t lanes = 4;

// The four doubles from `values` on, to read or assign.
inline const LanesInMemory& lanes_at(const double* values) { return *reinterpret_cast<const LanesInMemory*>(values); }
inline LanesInMemory& lanes_at(double* values) { return *reinterpret_cast<LanesInMemory*>(values); }

// Fits the rectangles; the rotation is left as its cosine and sine, in
// `boxes.rotation` and `sine`.
[[gnu::always_inline]] inline void fit_rectangles_body(const QuadrilateralArrays& points, std::ptrdiff_t count,
                                                       const RotatedBoxArrays& boxes, double* sine) {
    static constexpr int pairs[6][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}, {1, 3}};
    const Lanes zero = {};
    for (std::ptrdiff_t i = 0; i < count; i += lanes) {
        // Coordinates relative to the first point keep the projections small,
        // so boxes far from the origin lose no precision to cancellation.
        const Lanes origin_x = lanes_at(points.x[0] + i);
        const Lanes origin_y = lanes_at(points.y[0] + i);
        Lanes px[4], py[4];
        auto finite = (origin_x - origin_x == 0.0) & (origin_y - origin_y == 0.0);  // x - x is NaN for inf and NaN
        for (int k = 0; k < 4; ++k) {
            const Lanes x = lanes_at(points.x[k] + i);
            const Lanes y = lanes_at(points.y[k] + i);
            finite &= (x - x == 0.0) & (y - y == 0.0);
            px[k] = x - origin_x;
            py[k] = y - origin_y;
        }

        Lanes best_area = zero + std::numeric_limits<double>::infinity();
        Lanes best_dx = zero + 1.0, best_dy = zero, best_squared = zero + 1.0;
        Lanes best_along_low = zero, best_along_high = zero;
        Lanes best_across_low = zero, best_across_high = zero;
        for (const auto& pair : pairs) {
            const Lanes dx = px[pair[1]] - px[pair[0]];
            const Lanes dy = py[pair[1]] - py[pair[0]];
            const Lanes squared = dx * dx + dy * dy;
            // Projections onto (dx, dy) and (-dy, dx), both scaled by |d|; the
            // first point projects to 0.
            Lanes along_low = zero, along_high = zero, across_low = zero, across_high = zero;
            for (int k = 1; k < 4; ++k) {
                const Lanes along = px[k] * dx + py[k] * dy;
                const Lanes across = py[k] * dx - px[k] * dy;
                along_low = along < along_low ? along : along_low;
                along_high = along > along_high ? along : along_high;
                across_low = across < across_low ? across : across_low;
                across_high = across > across_high ? across : across_high;
            }
            // Two coinciding points span no direction: 0 / 0 is NaN, which
            // never compares smaller, so that pair drops out.
            const Lanes area = (along_high - along_low) * (across_high - across_low) / squared;
            const auto smaller = area < best_area;
            best_area = smaller ? area : best_area;
            best_dx = smaller ? dx : best_dx;
            best_dy = smaller ? dy : best_dy;
            best_squared = smaller ? squared : best_squared;
            best_along_low = smaller ? along_low : best_along_low;
            best_along_high = smaller ? along_high : best_along_high;
            best_across_low = smaller ? across_low : best_across_low;
            best_across_high = smaller ? across_high : best_across_high;
        }

        Lanes norm;
        for (int lane = 0; lane < lanes; ++lane) norm[lane] = std::sqrt(best_squared[lane]);
        const Lanes along_middle = (best_along_low + best_along_high) / 2.0 / best_squared;
        const Lanes across_middle = (best_across_low + best_across_high) / 2.0 / best_squared;
        const Lanes nan = zero + std::numeric_limits<double>::quiet_NaN();
        const Lanes center_x = origin_x + (along_middle * best_dx - across_middle * best_dy);
        const Lanes center_y = origin_y + (along_middle * best_dy + across_middle * best_dx);
        lanes_at(boxes.center_x + i) = finite ? center_x : nan;
        lanes_at(boxes.center_y + i) = finite ? center_y : nan;
        lanes_at(boxes.width + i) = finite ? (best_along_high - best_along_low) / norm : nan;
        lanes_at(boxes.height + i) = finite ? (best_across_high - best_across_low) / norm : nan;
        // the width runs along d / |d| = (cos, -sin)
        lanes_at(boxes.rotation + i) = finite ? best_dx / norm : nan;
        lanes_at(sine + i) = finite ? -best_dy / norm : nan;
    }
}

// Turns each rotation (in (-π, π]) by whole quarter turns into [-π/4, π/4),
// swapping width and height for an odd count.  Comparisons rather than a
// floor of a quotient, so that it stays branch-free.
[[gnu::always_inline]] inline void name_closest_to_upright_body(const RotatedBoxArrays& boxes, std::ptrdiff_t count) {
    constexpr double pi = 3.141592653589793;
    const Lanes none = {}, one = none + 1.0;
    for (std::ptrdiff_t i = 0; i < count; i += lanes) {
        const Lanes turn = lanes_at(boxes.rotation + i);
        const Lanes quarter_turns = (turn >= pi / 4 ? one : none) + (turn >= 3 * pi / 4 ? one : none) -
                                    (turn < -pi / 4 ? one : none) - (turn < -3 * pi / 4 ? one : none);
        const auto odd = (quarter_turns == 1.0) | (quarter_turns == -1.0);
        const Lanes width = lanes_at(boxes.width + i);
        const Lanes height = lanes_at(boxes.height + i);
        lanes_at(boxes.rotation + i) = turn - quarter_turns * (pi / 2);
        lanes_at(boxes.width + i) = odd ? height : width;
        lanes_at(boxes.height + i) = odd ? width : height;
    }
}

inline void fit_rectangles_plain(const QuadrilateralArrays& points, std::ptrdiff_t count, const RotatedBoxArrays& boxes,
                                 double* sine) {
    fit_rectangles_body(points, count, boxes, sine);
}
HALVEX_FOR_AVX2 inline void fit_rectangles_avx2(const QuadrilateralArrays& points, std::ptrdiff_t count,
                                                const RotatedBoxArrays& boxes, double* sine) {
    fit_rectangles_body(points, count, boxes, sine);
}
inline void name_closest_to_upright_plain(const RotatedBoxArrays& boxes, std::ptrdiff_t count) {
    name_closest_to_upright_body(boxes, count);
}
HALVEX_FOR_AVX2 inline void name_closest_to_upright_avx2(const RotatedBoxArrays& boxes, std::ptrdiff_t count) {
    name_closest_to_upright_body(boxes, count);
}

}  // namespace detail

// `count` must be a multiple of four: pad the arrays (with zeros, say).
// `sine` is scratch space for `count` values.
inline void minimum_area_rectangles(const QuadrilateralArrays& points, std::ptrdiff_t count,
                                    const RotatedBoxArrays& boxes, double* sine) {
    const bool avx2 = processor_has_avx2();
    if (avx2)
        detail::fit_rectangles_avx2(points, count, boxes, sine);
    else
        detail::fit_rectangles_plain(points, count, boxes, sine);
    atan2_of(sine, boxes.rotation, boxes.rotation, count);
    if (avx2)
        detail::name_closest_to_upright_avx2(boxes, count);
    else
        detail::name_closest_to_upright_plain(boxes, count);
}

}  // namespace halvex::kernels
