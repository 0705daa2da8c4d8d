// Exact overlap of two rotated rectangles.
//
// A box is (center x, center y, width, height, rotation) with the rotation in
// radians, positive turning counter-clockwise on a y-down image: the width
// axis points along (cos r, -sin r), the height axis along (sin r, cos r).
//
// The intersection of two rectangles is a convex polygon of at most eight
// vertices.  It is found by clipping one rectangle against the two slabs
// of the other (Sutherland-Hodgman, both edges of a slab in one pass) on
// the stack, and its area comes from the shoelace formula.  Three choices keep the result exact to a
// few ulps and well defined for every finite input:
//
//  * The clipping runs in the frame of one box of the pair: its centre is the
//    origin and its edges are the coordinate axes, so the clip lines are
//    exact and nothing depends on where the pair lies in the image.
//  * Every length is scaled by a power of two chosen per pair (exact), so
//    that huge and tiny boxes neither overflow nor underflow.
//  * Which box gives the frame depends only on the unordered pair, so a pair
//    gives the same bits whichever side it comes from.
#pragma once

#include "kernels/vector_math.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace halvex::kernels {

enum class OverlapMode { iou, iof, area };

// A box as every pair with it needs it: computed once per box.
struct PreparedBox {
    double center_x, center_y, half_width, half_height, rotation;
    double cosine, sine;
    double radius;  // half diagonal
    double area;    // width * height; 0 for degenerate boxes
    // Axis-aligned bounds, widened by far more than their rounding: boxes
    // whose bounds are apart are certainly apart.
    double min_x, max_x, min_y, max_y;
    int exponent;  // a pair with this box is computed in units of 2^exponent (or larger)
};

namespace detail {

// 2^k for |k| <= 1000, built from its bits.
inline double power_of_two(int k) { return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52); }

}  // namespace detail

// `row` holds the five finite ORVA values, width and height >= 0;
// `cosine` and `sine` are those of its rotation from the vector library (see
// `prepare_rows`).
inline PreparedBox prepare_box(const double* row, double cosine, double sine) {
    PreparedBox box;
    box.center_x = row[0];
    box.center_y = row[1];
    box.half_width = row[2] * 0.5;
    box.half_height = row[3] * 0.5;
    box.rotation = row[4];
    box.cosine = cosine;
    box.sine = sine;
    box.radius = std::hypot(box.half_width, box.half_height);
    box.area = row[2] * row[3];
    box.exponent = box.radius > 0 ? std::clamp(std::ilogb(box.radius), -1000, 1000) : -1000;

    const double reach_x = box.half_width * std::fabs(box.cosine) + box.half_height * std::fabs(box.sine);
    const double reach_y = box.half_width * std::fabs(box.sine) + box.half_height * std::fabs(box.cosine);
    // The pair computation rounds at about 2^-52 of the coordinates involved;
    // a margin of 2^-40 of them keeps the bounds conservative.
    const double margin_x = (std::fabs(box.center_x) + reach_x) * 0x1p-40;
    const double margin_y = (std::fabs(box.center_y) + reach_y) * 0x1p-40;
    box.min_x = box.center_x - reach_x - margin_x;
    box.max_x = box.center_x + reach_x + margin_x;
    box.min_y = box.center_y - reach_y - margin_y;
    box.max_y = box.center_y + reach_y + margin_y;
    return box;
}

// boxes[k] for the rows k in [0, count) of five values each, the cosines
// and sines of the rotations taken a block at a time from the vector
// library.  Its values depend on each element alone, never on the position
// or the length of the block, so a box has the same bits whether it is
// prepared alone, in any block or on any thread: a pair has the same value
// wherever it is met.
inline void prepare_rows(const double* rows, std::ptrdiff_t count, PreparedBox* boxes) {
    for_each_cos_sin<double>(
        count, [&](std::ptrdiff_t k) { return rows[5 * k + 4]; },
        [&](std::ptrdiff_t k, double cosine, double sine) { boxes[k] = prepare_box(rows + 5 * k, cosine, sine); });
}

inline PreparedBox prepare_box(const double* row) {
    PreparedBox box;
    prepare_rows(row, 1, &box);
    return box;
}

inline bool bounds_apart(const PreparedBox& a, const PreparedBox& b) {
    return a.max_x < b.min_x || b.max_x < a.min_x || a.max_y < b.min_y || b.max_y < a.min_y;
}

namespace detail {

inline bool same_box(const PreparedBox& a, const PreparedBox& b) {
    return a.center_x == b.center_x && a.center_y == b.center_y && a.half_width == b.half_width &&
           a.half_height == b.half_height && a.rotation == b.rotation;
}

// Whether `a` gives the frame of the pair: the larger box (a smaller box
// inside it, or reaching over one edge only, then needs little clipping),
// and between boxes of equal area the lexicographically smaller one (never
// both).
inline bool gives_frame(const PreparedBox& a, const PreparedBox& b) {
    if (a.area != b.area) return a.area > b.area;
    if (a.center_x != b.center_x) return a.center_x < b.center_x;
    if (a.center_y != b.center_y) return a.center_y < b.center_y;
    if (a.half_width != b.half_width) return a.half_width < b.half_width;
    if (a.half_height != b.half_height) return a.half_height < b.half_height;
    return a.rotation < b.rotation;
}

// Areas of a pair in units of 2^(2 exponent).
struct PairAreas {
    double intersection, first, second;
    int exponent;
};

// A pair of boxes that cross each other's edges, as the clipping takes it:
// the other box in the frame's axes (the frame's centre at the origin, its
// edges along the axes), every length in the pair's units.
struct CrossingPair {
    double x0, y0;                      // the other box's centre
    double cos_relative, sin_relative;  // its rotation against the frame
    double other_half_width, other_half_height, frame_half_width, frame_half_height;
    double largest;             // the smaller of the two areas
    bool crosses_x, crosses_y;  // whether it reaches past the frame's sides, or its top and bottom
};

// Places a pair (`first` and `second` have positive areas and are not the
// same box).  Returns false when the intersection needs no clipping (the
// boxes are apart, or one lies inside the other) with `areas` complete;
// otherwise true, with `areas` waiting for its intersection and `crossing`
// set for `clipped_area`.
inline bool place_pair(const PreparedBox& first, const PreparedBox& second, PairAreas& areas, CrossingPair& crossing) {
    // Picked by index rather than by a branch: which box gives the frame
    // is a coin toss on random pairs.
    const bool first_is_frame = gives_frame(first, second);
    const PreparedBox* const boxes[2] = {&first, &second};
    const PreparedBox& frame = *boxes[!first_is_frame];
    const PreparedBox& other = *boxes[first_is_frame];

    const int exponent = std::max(frame.exponent, other.exponent);
    const double scale = power_of_two(-exponent);
    const double frame_half_width = frame.half_width * scale, frame_half_height = frame.half_height * scale;
    const double other_half_width = other.half_width * scale, other_half_height = other.half_height * scale;
    const double frame_area = 4.0 * frame_half_width * frame_half_height;
    const double other_area = 4.0 * other_half_width * other_half_height;
    double both_areas[2];
    both_areas[!first_is_frame] = frame_area;
    both_areas[first_is_frame] = other_area;
    areas = {0.0, both_areas[0], both_areas[1], exponent};
    auto known = [&](double intersection) {
        areas.intersection = intersection;
        return false;
    };

    // The other centre relative to the frame centre.  Scaling by a power of
    // two is exact, so the order only decides where an overflow may go: it
    // can only make a huge distance infinite, which is still apart.
    double dx, dy;
    if (exponent >= 0) {
        dx = other.center_x * scale - frame.center_x * scale;
        dy = other.center_y * scale - frame.center_y * scale;
    } else {
        dx = (other.center_x - frame.center_x) * scale;
        dy = (other.center_y - frame.center_y) * scale;
    }
    const double reach = frame.radius * scale + other.radius * scale;
    if (!(dx * dx + dy * dy < reach * reach)) return known(0.0);  // bounding circles apart or touching

    // In the frame's axes: the other centre and the other box's axes
    // (rotated by the difference of the two rotations).
    const double x0 = dx * frame.cosine - dy * frame.sine;
    const double y0 = dx * frame.sine + dy * frame.cosine;
    const double cos_relative = other.cosine * frame.cosine + other.sine * frame.sine;
    const double sin_relative = other.sine * frame.cosine - other.cosine * frame.sine;
    const double abs_cos = std::fabs(cos_relative), abs_sin = std::fabs(sin_relative);

    // Separating axes: the frame's two, then the other box's two.
    const double other_reach_x = other_half_width * abs_cos + other_half_height * abs_sin;
    const double other_reach_y = other_half_width * abs_sin + other_half_height * abs_cos;
    if (std::fabs(x0) - other_reach_x >= frame_half_width || std::fabs(y0) - other_reach_y >= frame_half_height)
        return known(0.0);
    const double frame_x = -(x0 * cos_relative - y0 * sin_relative);  // frame centre in the other's axes
    const double frame_y = -(x0 * sin_relative + y0 * cos_relative);
    const double frame_reach_x = frame_half_width * abs_cos + frame_half_height * abs_sin;
    const double frame_reach_y = frame_half_width * abs_sin + frame_half_height * abs_cos;
    if (std::fabs(frame_x) - frame_reach_x >= other_half_width ||
        std::fabs(frame_y) - frame_reach_y >= other_half_height)
        return known(0.0);

    // One box inside the other.
    if (std::fabs(x0) + other_reach_x <= frame_half_width && std::fabs(y0) + other_reach_y <= frame_half_height)
        return known(other_area);
    if (std::fabs(frame_x) + frame_reach_x <= other_half_width &&
        std::fabs(frame_y) + frame_reach_y <= other_half_height)
        return known(frame_area);

    crossing = {x0,
                y0,
                cos_relative,
                sin_relative,
                other_half_width,
                other_half_height,
                frame_half_width,
                frame_half_height,
                std::min(frame_area, other_area),
                std::fabs(x0) + other_reach_x > frame_half_width,
                std::fabs(y0) + other_reach_y > frame_half_height};
    return true;
}

// The intersection area of a crossing pair: the other box's corners clipped
// by the frame's two slabs (Sutherland-Hodgman, both lines of a slab in one
// pass), then the shoelace formula.  Points on a clip line count as inside,
// and the points made on a line have that coordinate exactly.
//
// A crossing is reached from the edge's start along the slope of the edge's
// direction.  The edges of a clipped rectangle run along its width, along
// its height, or along a line of the first clip, so the slopes are known
// once per pair: no division per edge.  A slope is capped for an edge nearly
// along a line; as a rounded slope, that moves a point along its edge only
// where the edge is nearly on the line, which changes the area by no more
// than rounding.  kernels/overlap_lanes.hpp clips four pairs at once with
// the same operations in the same order, so the same bits.
//
// The direction of the edge into each vertex names the slope its crossings
// take.
enum EdgeDirection : unsigned char { along_width, along_height, along_clip_line };

// Clipping a convex polygon by a slab adds at most two vertices, so a
// rectangle clipped by two slabs stays within eight; should rounding make a
// sliver non-convex, a clip at most doubles the count, and that still fits.
struct Polygon {
    static constexpr int capacity = 16;
    double x[capacity], y[capacity];
    EdgeDirection arriving[capacity];
    int count = 0;
};

// Two doubles operated on together (one SSE2 register on x86-64).
using TwoDoubles = double __attribute__((vector_size(16)));

// One slab of the clipping, coordinate x (Axis 0) or y (Axis 1) in
// [-bound, bound]; `slopes[d]`: the other coordinate per unit of this one
// along an edge of direction d.  Each edge stores both of its candidate
// points (entry and exit side by side in one vector) and advances the count
// by whether each exists: no branch on where the vertices lie, which on
// random pairs would go either way.
template <int Axis, int Count = 0>  // Count: the vertices of `in` when fixed, else 0
[[gnu::always_inline]] inline void clip(const Polygon& in, double bound, const double (&slopes)[3], Polygon& out) {
    const int vertices = Count > 0 ? Count : in.count;
    const double* along = Axis == 0 ? in.x : in.y;
    const double* across = Axis == 0 ? in.y : in.x;
    double* out_along = Axis == 0 ? out.x : out.y;
    double* out_across = Axis == 0 ? out.y : out.x;
    // Where a coordinate lies as bits: 1 above the slab, 2 below, 0 inside.
    auto side = [bound](double coordinate) { return int{coordinate > bound} | int{coordinate < -bound} << 1; };
    const TwoDoubles low = {-bound, -bound}, high = {bound, bound};
    // Rounding can leave nothing of a sliver to the second clip.
    out.count = 0;
    if (vertices == 0) return;
    int count = 0;
    double here = along[vertices - 1], here_across = across[vertices - 1];
    int here_side = side(here);
    EdgeDirection here_arriving = in.arriving[vertices - 1];
    for (int i = 0; i < vertices; ++i) {
        // The edge from the previous vertex (`here`) to vertex i (`there`).
        const double there = along[i], there_across = across[i];
        const int there_side = side(there);
        const EdgeDirection direction = in.arriving[i];
        TwoDoubles ends = {here, there};
        ends = ends > low ? ends : low;
        ends = ends < high ? ends : high;
        const TwoDoubles made = here_across + (ends - here) * slopes[direction];
        out_along[count] = ends[0];
        out_across[count] = made[0];
        // Into the start: the edge before it, or the line it was outside.
        out.arriving[count] = here_side != 0 ? along_clip_line : here_arriving;
        count += (here_side & there_side) == 0;
        out_along[count] = ends[1];
        out_across[count] = made[1];
        out.arriving[count] = direction;
        count += (there_side & ~here_side) != 0;
        here = there, here_across = there_across, here_side = there_side, here_arriving = direction;
    }
    out.count = count;
}

// Shoelace area, with the vertices taken relative to the first one.
inline double polygon_area(const Polygon& polygon) {
    if (polygon.count < 3) return 0.0;
    const double origin_x = polygon.x[0], origin_y = polygon.y[0];
    double twice_area = 0.0;
    for (int i = 1; i + 1 < polygon.count; ++i) {
        const double ax = polygon.x[i] - origin_x, ay = polygon.y[i] - origin_y;
        const double bx = polygon.x[i + 1] - origin_x, by = polygon.y[i + 1] - origin_y;
        twice_area += ax * by - ay * bx;
    }
    return std::fabs(twice_area) * 0.5;
}

inline double clipped_area(const CrossingPair& pair) {
    const double width_x = pair.other_half_width * pair.cos_relative;
    const double width_y = -pair.other_half_width * pair.sin_relative;
    const double height_x = pair.other_half_height * pair.sin_relative;
    const double height_y = pair.other_half_height * pair.cos_relative;
    Polygon a, b;
    a.count = 4;
    a.x[0] = pair.x0 + width_x + height_x, a.y[0] = pair.y0 + width_y + height_y;
    a.x[1] = pair.x0 - width_x + height_x, a.y[1] = pair.y0 - width_y + height_y;
    a.x[2] = pair.x0 - width_x - height_x, a.y[2] = pair.y0 - width_y - height_y;
    a.x[3] = pair.x0 + width_x - height_x, a.y[3] = pair.y0 + width_y - height_y;
    a.arriving[0] = along_height, a.arriving[1] = along_width;
    a.arriving[2] = along_height, a.arriving[3] = along_width;
    const TwoDoubles ratios =
        TwoDoubles{pair.sin_relative, pair.cos_relative} / TwoDoubles{pair.cos_relative, pair.sin_relative};
    const TwoDoubles cap = {0x1p600, 0x1p600};
    TwoDoubles capped = ratios < cap ? ratios : cap;
    capped = capped > -cap ? capped : -cap;
    const double tangent = capped[0], cotangent = capped[1];
    const double x_slopes[3] = {-tangent, cotangent, 0.0};  // y per x, by EdgeDirection
    const double y_slopes[3] = {-cotangent, tangent, 0.0};  // x per y
    // The first clip always takes the four corners: a fixed count lets the
    // loop unroll.
    const Polygon* clipped = &a;
    if (pair.crosses_x) {
        clip<0, 4>(a, pair.frame_half_width, x_slopes, b);
        clipped = &b;
    }
    if (pair.crosses_y) {
        if (pair.crosses_x)
            clip<1>(b, pair.frame_half_height, y_slopes, a);
        else
            clip<1, 4>(a, pair.frame_half_height, y_slopes, b);
        clipped = pair.crosses_x ? &a : &b;
    }
    const double area = polygon_area(*clipped);
    return pair.largest < area ? pair.largest : area;
}

inline double unit_interval(double value) { return value > 1.0 ? 1.0 : (value > 0.0 ? value : 0.0); }

inline double value_of(const PairAreas& areas, OverlapMode mode) {
    switch (mode) {
        case OverlapMode::area: return std::ldexp(areas.intersection, 2 * areas.exponent);
        case OverlapMode::iof: return areas.first > 0.0 ? unit_interval(areas.intersection / areas.first) : 0.0;
        case OverlapMode::iou:
        default: {
            const double union_area = areas.first + areas.second - areas.intersection;
            return union_area > 0.0 ? unit_interval(areas.intersection / union_area) : 0.0;
        }
    }
}

// Everything of `overlap` but the clipping: returns true with `value` when
// the pair needs none, else false with `areas` and `crossing` set.
inline bool overlap_unless_crossing(const PreparedBox& first, const PreparedBox& second, OverlapMode mode,
                                    double& value, PairAreas& areas, CrossingPair& crossing) {
    if (first.area == 0.0 || second.area == 0.0 || bounds_apart(first, second)) {
        value = 0.0;
        return true;
    }
    if (same_box(first, second)) {
        value = mode == OverlapMode::area ? first.area : 1.0;
        return true;
    }
    if (place_pair(first, second, areas, crossing)) return false;
    value = value_of(areas, mode);
    return true;
}

}  // namespace detail

// IoU, IoF (the share of `first` covered by `second`) or the intersection
// area of two prepared boxes.  IoU and IoF lie in [0, 1]; a box with itself
// gives exactly 1 (its area for "area"); a zero-area box gives 0.
inline double overlap(const PreparedBox& first, const PreparedBox& second, OverlapMode mode) {
    double value;
    detail::PairAreas areas;
    detail::CrossingPair crossing;
    if (detail::overlap_unless_crossing(first, second, mode, value, areas, crossing)) return value;
    areas.intersection = detail::clipped_area(crossing);
    return detail::value_of(areas, mode);
}

// The image [0, width] x [0, height] as a box, for `overlap(box, image,
// OverlapMode::iof)`: the share of a box inside the image.
inline PreparedBox image_box(double width, double height) {
    const double row[5] = {width * 0.5, height * 0.5, width, height, 0.0};
    return prepare_box(row);
}

}  // namespace halvex::kernels
