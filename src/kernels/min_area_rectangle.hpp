// The smallest rectangle enclosing four points, in float64.
//
// A minimum-area enclosing rectangle has one side on an edge of the points'
// convex hull.  With four points every hull edge joins two of them, so trying
// the directions of all six pairs finds the optimum without building the hull:
// a direction that is not a hull edge still gives an enclosing rectangle, only
// not a smaller one.  Each direction costs eight dot products and one
// division; no square root or angle is needed until the winner is known.
#pragma once

#include <cmath>
#include <limits>

namespace halvex::kernels {

struct EnclosingRectangle {
    double center_x;
    double center_y;
    double axis_x;  // unit vector along which `length` is measured
    double axis_y;
    double length;   // extent along the axis
    double breadth;  // extent across it
};

// `x` and `y` must be finite (the caller decides what a non-finite point
// gives).  Coinciding points give sizes of zero and the x axis; collinear
// points give a breadth of zero and the axis along their line.
inline EnclosingRectangle minimum_area_rectangle(const double (&x)[4], const double (&y)[4]) {
    // Coordinates relative to the first point keep the projections small, so
    // boxes far from the origin lose no precision to cancellation.
    double px[4], py[4];
    for (int k = 0; k < 4; ++k) {
        px[k] = x[k] - x[0];
        py[k] = y[k] - y[0];
    }
    static constexpr int pairs[6][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}, {1, 3}};

    double best_area = std::numeric_limits<double>::infinity();
    double best_dx = 1.0, best_dy = 0.0, best_squared = 1.0;
    double best_along[2] = {0.0, 0.0}, best_across[2] = {0.0, 0.0};
    for (const auto& pair : pairs) {
        const double dx = px[pair[1]] - px[pair[0]];
        const double dy = py[pair[1]] - py[pair[0]];
        const double squared = dx * dx + dy * dy;
        if (!(squared > 0.0)) continue;  // two coinciding points span no direction
        // Projections onto (dx, dy) and (-dy, dx), both scaled by |d|.
        double along_low = 0.0, along_high = 0.0, across_low = 0.0, across_high = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double along = px[k] * dx + py[k] * dy;
            const double across = py[k] * dx - px[k] * dy;
            along_low = std::fmin(along_low, along);
            along_high = std::fmax(along_high, along);
            across_low = std::fmin(across_low, across);
            across_high = std::fmax(across_high, across);
        }
        const double area = (along_high - along_low) * (across_high - across_low) / squared;
        if (area < best_area) {
            best_area = area;
            best_dx = dx;
            best_dy = dy;
            best_squared = squared;
            best_along[0] = along_low;
            best_along[1] = along_high;
            best_across[0] = across_low;
            best_across[1] = across_high;
        }
    }

    const double norm = std::sqrt(best_squared);
    const double along_middle = (best_along[0] + best_along[1]) / 2.0 / best_squared;
    const double across_middle = (best_across[0] + best_across[1]) / 2.0 / best_squared;
    return {
        x[0] + (along_middle * best_dx - across_middle * best_dy),
        y[0] + (along_middle * best_dy + across_middle * best_dx),
        best_dx / norm,
        best_dy / norm,
        (best_along[1] - best_along[0]) / norm,
        (best_across[1] - best_across[0]) / norm,
    };
}

}  // namespace halvex::kernels
