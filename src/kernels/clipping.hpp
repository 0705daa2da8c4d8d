// Clipping one rotated box at the image border.
//
// The numpy version of this works on Python lists of candidate points; here
// everything lives in fixed-size arrays because a box has four corners and
// each of its edges can cross at most four border lines.  All arithmetic is
// float64.  `intersect` reproduces numpy's roundings exactly; `clipper` goes
// through a 2 x 2 pseudo-inverse that numpy takes from LAPACK's SVD, so its
// frame coordinates agree with numpy only to a few ulp (see `pseudo_inverse`).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "strided.hpp"

namespace halvex::kernels {

struct PlanePoint {
    double x = 0.0;
    double y = 0.0;
};

// u_x * v_y - u_y * v_x, two roundings, no fusing.
inline double cross_product(PlanePoint u, PlanePoint v) { return u.x * v.y - u.y * v.x; }

struct SegmentCrossing {
    // The directions are parallel or one segment is a single point, so the
    // crossing parameters come from a division by zero.  With assertions on
    // this is the caller's AssertionError; with them off, `crosses` and
    // `point` hold what the IEEE division leads to (numpy's -O behaviour).
    bool parallel = false;
    bool crosses = false;
    PlanePoint point{};  // on segment b, valid when `crosses`
};

namespace detail {

// Distance of a segment parameter from [0, 1]; NaN maps to 0 because both
// comparisons fail, which is what makes collinear segments "cross" under -O.
inline double distance_from_unit_interval(double parameter) {
    if (parameter <= 0) return -parameter;
    if (parameter >= 1) return parameter - 1;
    return 0.0;
}

}  // namespace detail

// Crossing of segment a (a_start -> a_end) with segment b (b_start -> b_end),
// reported as a point of b.  Parameters up to 1e-11 outside [0, 1] still
// count; b's parameter is then clamped so the point stays on b.
inline SegmentCrossing intersect(PlanePoint a_start, PlanePoint a_end, PlanePoint b_start, PlanePoint b_end) {
    const PlanePoint direction_a{a_end.x - a_start.x, a_end.y - a_start.y};
    const PlanePoint direction_b{b_end.x - b_start.x, b_end.y - b_start.y};
    const PlanePoint start_offset{b_start.x - a_start.x, b_start.y - a_start.y};
    const double nominator = cross_product(start_offset, direction_b);
    const double denominator = cross_product(direction_a, direction_b);

    SegmentCrossing crossing;
    crossing.parallel = denominator == 0;
    const double lambda_a = nominator / denominator;
    const double lambda_b = cross_product(start_offset, direction_a) / denominator;

    // Python's max keeps the first argument unless the second is larger.
    const double badness_a = detail::distance_from_unit_interval(lambda_a);
    const double badness_b = detail::distance_from_unit_interval(lambda_b);
    const double badness = badness_b > badness_a ? badness_b : badness_a;
    if (badness < 1e-11) {
        double clamped = 1.0 < lambda_b ? 1.0 : lambda_b;
        clamped = 0.0 > clamped ? 0.0 : clamped;
        crossing.crosses = true;
        crossing.point = {b_start.x + clamped * direction_b.x, b_start.y + clamped * direction_b.y};
    }
    return crossing;
}

struct Matrix2 {
    double xx = 0.0, xy = 0.0;  // row 0
    double yx = 0.0, yy = 0.0;  // row 1

    PlanePoint apply(PlanePoint p) const { return {xx * p.x + xy * p.y, yx * p.x + yy * p.y}; }
};

// Moore-Penrose pseudo-inverse of a 2 x 2 matrix with numpy's default cutoff
// (singular values <= 1e-15 times the largest are dropped).  Closed form
// instead of an SVD: equal to numpy's result within a few ulp times the
// condition number; a degenerate box (collinear spanning corners) gets the
// rank-one projection A^T / sigma^2 just as numpy does.  The caller must
// have checked that all entries are finite (LAPACK refuses the others).
inline Matrix2 pseudo_inverse(const Matrix2& a) {
    const double trace_part = std::hypot(a.xx + a.yy, a.yx - a.xy);
    const double antitrace_part = std::hypot(a.xx - a.yy, a.yx + a.xy);
    const double largest_singular_value = (trace_part + antitrace_part) / 2;
    if (!(largest_singular_value > 0)) return Matrix2{};
    const double determinant = a.xx * a.yy - a.xy * a.yx;
    const double smallest_singular_value = std::abs(determinant) / largest_singular_value;
    if (smallest_singular_value > 1e-15 * largest_singular_value) {
        return {a.yy / determinant, -a.xy / determinant, -a.yx / determinant, a.xx / determinant};
    }
    const double squared = largest_singular_value * largest_singular_value;
    return {a.xx / squared, a.yx / squared, a.xy / squared, a.yy / squared};
}

enum class ClipStatus {
    clipped,            // the clipped corners and box points are filled in
    outside_image,      // box and image do not overlap: (None, None)
    parallel_segments,  // an edge crossing divided by zero with assertions on (1-pixel image)
    not_finite_frame,   // corners 0..2 are not finite: numpy's SVD raises LinAlgError
};

struct ClipOutcome {
    // Four corners inside, plus up to four border lines crossed per edge.
    static constexpr int max_box_points = 4 + 4 * 4;

    ClipStatus status = ClipStatus::outside_image;
    int number_of_box_points = 0;
    std::array<PlanePoint, max_box_points> box_points{};
};

namespace detail {

// numpy's minimum/maximum: NaN wins, otherwise the first operand on ties.
inline double numpy_minimum(double a, double b) { return (a <= b || std::isnan(a)) ? a : b; }
inline double numpy_maximum(double a, double b) { return (a >= b || std::isnan(a)) ? a : b; }

}  // namespace detail

// Clips one box (4 x 2 corners in perimeter order, a parallelogram) at the
// image rectangle [0, largest.x] x [0, largest.y], where `largest` is the
// image size minus one, already reduced in the image size's own dtype.
//
// On `clipped`, writes the smallest rectangle of the box's orientation that
// holds the overlap into `clipped_corners` (4 x 2), in the order (min, min),
// (min, max), (max, max), (max, min) of the frame spanned by corners 0, 1, 2
// at corner 1, and returns the box points: the corners inside the image in
// input order, then the border crossings edge by edge (edge i joins corner
// i - 1 to corner i) and border line by border line (left, top, right,
// bottom).  A NaN corner has no "outside" flag and therefore counts as inside.
//
// With `assertions_enabled` a zero-length image edge stops the clip with
// `parallel_segments`; without, the IEEE outcome is used as numpy does.
inline ClipOutcome clipper(Strided<const double, 2> box_corners, PlanePoint largest, bool assertions_enabled,
                           Strided<double, 2> clipped_corners) {
    ClipOutcome outcome;
    std::array<PlanePoint, 4> corners;
    for (int k = 0; k < 4; ++k) corners[k] = {box_corners(k, 0), box_corners(k, 1)};

    const std::array<PlanePoint, 4> image_corners{PlanePoint{0.0, 0.0}, PlanePoint{largest.x, 0.0}, largest,
                                                  PlanePoint{0.0, largest.y}};

    // Outcode flag j belongs to the image edge from image corner j - 1 to j:
    // left of, above, right of, below the image.
    std::array<std::array<bool, 4>, 4> outside;
    for (int k = 0; k < 4; ++k) {
        outside[k] = {corners[k].x<0, corners[k].y<0, corners[k].x> largest.x, corners[k].y> largest.y};
    }

    for (int k = 0; k < 4; ++k) {
        if (!(outside[k][0] || outside[k][1] || outside[k][2] || outside[k][3])) {
            outcome.box_points[outcome.number_of_box_points++] = corners[k];
        }
    }
    for (int i = 0; i < 4; ++i) {
        const int previous = (i + 3) % 4;
        for (int j = 0; j < 4; ++j) {
            if (outside[i][j] == outside[previous][j]) continue;
            const SegmentCrossing crossing =
                intersect(corners[previous], corners[i], image_corners[(j + 3) % 4], image_corners[j]);
            if (crossing.parallel && assertions_enabled) {
                outcome.status = ClipStatus::parallel_segments;
                return outcome;
            }
            if (crossing.crosses) outcome.box_points[outcome.number_of_box_points++] = crossing.point;
        }
    }

    // Box frame: origin corner 1, axes corner 0 - corner 1 and corner 2 - corner 1.
    const PlanePoint origin = corners[1];
    const Matrix2 base_system{corners[0].x - origin.x, corners[2].x - origin.x, corners[0].y - origin.y,
                              corners[2].y - origin.y};
    if (!(std::isfinite(base_system.xx) && std::isfinite(base_system.xy) && std::isfinite(base_system.yx) &&
          std::isfinite(base_system.yy))) {
        outcome.status = ClipStatus::not_finite_frame;
        return outcome;
    }
    const Matrix2 to_frame = pseudo_inverse(base_system);
    auto encode = [&](PlanePoint p) { return to_frame.apply({p.x - origin.x, p.y - origin.y}); };

    bool any_point = false;
    PlanePoint low{}, high{};
    auto include = [&](PlanePoint p) {
        if (!any_point) {
            low = high = p;
            any_point = true;
            return;
        }
        low = {detail::numpy_minimum(low.x, p.x), detail::numpy_minimum(low.y, p.y)};
        high = {detail::numpy_maximum(high.x, p.x), detail::numpy_maximum(high.y, p.y)};
    };
    // An image corner only counts when it lies in the box (the unit square of
    // the frame, with a little slack for rounding); box points always count.
    for (const PlanePoint& image_corner : image_corners) {
        const PlanePoint p = encode(image_corner);
        if (-1e-12 <= p.x && -1e-12 <= p.y && p.x <= 1.000000000001 && p.y <= 1.000000000001) include(p);
    }
    for (int k = 0; k < outcome.number_of_box_points; ++k) include(encode(outcome.box_points[k]));
    if (!any_point) {
        outcome.status = ClipStatus::outside_image;
        outcome.number_of_box_points = 0;
        return outcome;
    }

    const std::array<PlanePoint, 4> rectangle{low, PlanePoint{low.x, high.y}, high, PlanePoint{high.x, low.y}};
    for (int k = 0; k < 4; ++k) {
        const PlanePoint decoded = base_system.apply(rectangle[k]);
        clipped_corners(k, 0) = decoded.x + origin.x;
        clipped_corners(k, 1) = decoded.y + origin.y;
    }
    outcome.status = ClipStatus::clipped;
    return outcome;
}

}  // namespace halvex::kernels
