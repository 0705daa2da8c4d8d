// Overlap of four pairs of rotated boxes at once, one in each lane of a
// vector: the same operations as kernels/rotated_overlap.hpp does for one
// pair, in the same order, so every value has the same bits either way.
// Lanes replace the branches of the one-pair code by selections, and the
// clipped polygons keep their vertices in slots that may be empty instead of
// packed lists, so nothing depends on where a pair's vertices lie.  Each
// loop is compiled plainly and for AVX2, picked at run time.
#pragma once

#include "kernels/processor.hpp"
#include "kernels/rotated_overlap.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace halvex::kernels {

namespace detail {

// Four doubles operated on together, and their comparison masks: one AVX
// register where the code is compiled for it, two SSE2 registers elsewhere.
using FourDoubles = double __attribute__((vector_size(4 * sizeof(double))));
using FourMasks = std::int64_t __attribute__((vector_size(4 * sizeof(double))));

// |value| lane by lane: the sign bit cleared, as fabs does.
[[gnu::always_inline]] inline void magnitude(const FourDoubles& value, FourDoubles& result) {
    result =
        reinterpret_cast<FourDoubles>(reinterpret_cast<FourMasks>(value) & std::numeric_limits<std::int64_t>::max());
}

// Four crossing pairs, a lane each.
struct FourCrossings {
    FourDoubles x0, y0, cos_relative, sin_relative;
    FourDoubles other_half_width, other_half_height, frame_half_width, frame_half_height;
    FourDoubles largest;
    FourMasks crosses_x, crosses_y;  // all ones or zero

    void set(int lane, const CrossingPair& pair) {
        x0[lane] = pair.x0, y0[lane] = pair.y0;
        cos_relative[lane] = pair.cos_relative, sin_relative[lane] = pair.sin_relative;
        other_half_width[lane] = pair.other_half_width, other_half_height[lane] = pair.other_half_height;
        frame_half_width[lane] = pair.frame_half_width, frame_half_height[lane] = pair.frame_half_height;
        largest[lane] = pair.largest;
        crosses_x[lane] = -std::int64_t{pair.crosses_x};
        crosses_y[lane] = -std::int64_t{pair.crosses_y};
    }

    // Lanes from `count` on repeat lane 0: unused lanes still need finite
    // values.
    void repeat_first(int count) {
        for (int lane = count; lane < 4; ++lane) {
            x0[lane] = x0[0], y0[lane] = y0[0], cos_relative[lane] = cos_relative[0];
            sin_relative[lane] = sin_relative[0], other_half_width[lane] = other_half_width[0];
            other_half_height[lane] = other_half_height[0], frame_half_width[lane] = frame_half_width[0];
            frame_half_height[lane] = frame_half_height[0], largest[lane] = largest[0];
            crosses_x[lane] = crosses_x[0], crosses_y[lane] = crosses_y[0];
        }
    }
};

// One edge of a polygon against a slab [low, high] of one coordinate, four
// pairs at once: from its start `here` (the other coordinate
// `here_across`, its sides known) to its end `there`, along `slope` (the
// other coordinate per unit of this one).
struct SlabEdge {
    FourDoubles entry, exit;            // the edge's ends clamped into the slab
    FourDoubles made_entry, made_exit;  // the other coordinate there
    FourMasks above, below;             // where its end lies
    FourMasks enters, leaves;           // whether the entry and the exit exist
};
[[gnu::always_inline]] inline void cross_slab(const FourDoubles& here, const FourDoubles& here_across,
                                              const FourMasks& here_above, const FourMasks& here_below,
                                              const FourDoubles& there, const FourDoubles& slope,
                                              const FourDoubles& low, const FourDoubles& high, SlabEdge& edge) {
    edge.above = there > high, edge.below = there < low;
    edge.entry = here > low ? here : low, edge.exit = there > low ? there : low;
    edge.entry = edge.entry < high ? edge.entry : high;
    edge.exit = edge.exit < high ? edge.exit : high;
    edge.made_entry = here_across + (edge.entry - here) * slope;
    edge.made_exit = here_across + (edge.exit - here) * slope;
    // It enters unless both ends are outside on one side; it leaves when its
    // end is outside and its start not on that side.
    edge.enters = ((here_above & edge.above) | (here_below & edge.below)) == 0;
    edge.leaves = (edge.above & (here_above == 0)) | (edge.below & (here_below == 0));
}

// `clipped_area` of four pairs, a lane each: the same operations in the
// same order, so the same bits.  The polygons are kept as slots that may be empty rather than as packed
// vertex lists: each edge of a polygon fills two slots, the point where it
// enters the slab (its start, when that is inside) and the point where it
// leaves (when its end is outside), each marked whether it exists.  There is
// no branch and no count to carry from edge to edge, so four pairs run
// side by side in the lanes of a vector.  The corners fill 8 slots, the
// second clip 16; a slab the box does not cross passes its polygon on.
[[gnu::always_inline]] inline void clipped_areas_body(const FourCrossings& pairs, double* areas) {
    using Real = FourDoubles;
    using Mask = FourMasks;
    const Real &x0 = pairs.x0, &y0 = pairs.y0, &cos_relative = pairs.cos_relative, &sin_relative = pairs.sin_relative;
    const Real &other_half_width = pairs.other_half_width, &other_half_height = pairs.other_half_height;
    const Real &frame_half_width = pairs.frame_half_width, &frame_half_height = pairs.frame_half_height;
    const Real& largest = pairs.largest;
    const Mask &crosses_x = pairs.crosses_x, &crosses_y = pairs.crosses_y;
    const Mask none = {}, all = none == 0;
    const Real zero = {};

    // The corners in order around the box; the edge into corners 0 and 2
    // runs along its height (sin, cos), into 1 and 3 along its width
    // (cos, -sin).
    const Real width_x = other_half_width * cos_relative, width_y = -other_half_width * sin_relative;
    const Real height_x = other_half_height * sin_relative, height_y = other_half_height * cos_relative;
    const Real corner_x[4] = {x0 + width_x + height_x, x0 - width_x + height_x, x0 - width_x - height_x,
                              x0 + width_x - height_x};
    const Real corner_y[4] = {y0 + width_y + height_y, y0 - width_y + height_y, y0 - width_y - height_y,
                              y0 + width_y - height_y};
    const Real cap = zero + 0x1p600;  // far above any slope a crossing edge of these sizes needs, and finite
    Real tangent = sin_relative / cos_relative, cotangent = cos_relative / sin_relative;
    tangent = tangent < cap ? tangent : cap;
    tangent = tangent > -cap ? tangent : -cap;
    cotangent = cotangent < cap ? cotangent : cap;
    cotangent = cotangent > -cap ? cotangent : -cap;
    const Real y_per_x[4] = {cotangent, -tangent, cotangent, -tangent};  // of the edge into each corner
    const Real x_per_y[4] = {tangent, -cotangent, tangent, -cotangent};

    // First clip: x in [-frame_half_width, frame_half_width].  Each slot
    // keeps the slope (x per y) of the edge into it for the second clip;
    // an edge along a line of this clip keeps its x: slope 0.
    Real x1[8], y1[8], slope1[8];
    Mask valid1[8];
    {
        const Real high = frame_half_width, low = -frame_half_width;
        Real here = corner_x[3], here_across = corner_y[3], here_slope = x_per_y[3];
        Mask here_above = here > high, here_below = here < low;
        for (int i = 0; i < 4; ++i) {
            SlabEdge edge;
            cross_slab(here, here_across, here_above, here_below, corner_x[i], y_per_x[i], low, high, edge);
            const Real into_start = (here_above | here_below) ? zero : here_slope;
            x1[2 * i] = crosses_x ? edge.entry : corner_x[i];
            y1[2 * i] = crosses_x ? edge.made_entry : corner_y[i];
            valid1[2 * i] = crosses_x ? edge.enters : all;
            slope1[2 * i] = crosses_x ? into_start : x_per_y[i];
            x1[2 * i + 1] = edge.exit;
            y1[2 * i + 1] = edge.made_exit;
            valid1[2 * i + 1] = crosses_x ? edge.leaves : none;
            slope1[2 * i + 1] = x_per_y[i];
            here = corner_x[i], here_across = corner_y[i], here_slope = x_per_y[i];
            here_above = edge.above, here_below = edge.below;
        }
    }

    // Second clip: y in [-frame_half_height, frame_half_height], over the
    // slots that exist, from the last of them round to the first.
    Real x2[16], y2[16];
    Mask valid2[16];
    {
        const Real high = frame_half_height, low = -frame_half_height;
        Real here = y1[0], here_across = x1[0];
        for (int k = 0; k < 8; ++k) {
            here = valid1[k] ? y1[k] : here;
            here_across = valid1[k] ? x1[k] : here_across;
        }
        Mask here_above = here > high, here_below = here < low;
        for (int k = 0; k < 8; ++k) {
            SlabEdge edge;
            cross_slab(here, here_across, here_above, here_below, y1[k], slope1[k], low, high, edge);
            x2[2 * k] = crosses_y ? edge.made_entry : x1[k];
            y2[2 * k] = crosses_y ? edge.entry : y1[k];
            valid2[2 * k] = valid1[k] & (crosses_y ? edge.enters : all);
            x2[2 * k + 1] = edge.made_exit;
            y2[2 * k + 1] = edge.exit;
            valid2[2 * k + 1] = valid1[k] & (crosses_y ? edge.leaves : none);
            here = valid1[k] ? y1[k] : here;
            here_across = valid1[k] ? x1[k] : here_across;
            here_above = valid1[k] ? edge.above : here_above;
            here_below = valid1[k] ? edge.below : here_below;
        }
    }

    // Shoelace over the slots that exist, relative to the first of them.
    Real origin_x = x2[15], origin_y = y2[15];
    for (int k = 15; k >= 0; --k) {
        origin_x = valid2[k] ? x2[k] : origin_x;
        origin_y = valid2[k] ? y2[k] : origin_y;
    }
    Real twice_area = zero, previous_x = origin_x, previous_y = origin_y;
    for (int k = 0; k < 16; ++k) {
        const Real ax = previous_x - origin_x, ay = previous_y - origin_y;
        const Real bx = x2[k] - origin_x, by = y2[k] - origin_y;
        const Real term = ax * by - ay * bx;
        twice_area = twice_area + (valid2[k] ? term : zero);
        previous_x = valid2[k] ? x2[k] : previous_x;
        previous_y = valid2[k] ? y2[k] : previous_y;
    }
    Real area;
    magnitude(twice_area, area);
    area *= 0.5;
    const Real result = largest < area ? largest : area;
    for (int lane = 0; lane < 4; ++lane) areas[lane] = result[lane];
}
inline void clipped_areas_plain(const FourCrossings& pairs, double* areas) { clipped_areas_body(pairs, areas); }
HALVEX_FOR_AVX2 inline void clipped_areas_avx2(const FourCrossings& pairs, double* areas) {
    clipped_areas_body(pairs, areas);
}

// The fields of four prepared boxes, a lane each.
struct FourBoxes {
    FourDoubles center_x, center_y, half_width, half_height, rotation, cosine, sine, radius, area;
    FourDoubles min_x, max_x, min_y, max_y;
    FourMasks exponent;
};

}  // namespace detail

// Prepared boxes as columns of their fields, padded with empty boxes to a
// whole number of lanes: the set a crowded row is compared with whole.
struct BoxColumns {
    std::ptrdiff_t count = 0;  // boxes, without the padding
    std::vector<double> center_x, center_y, half_width, half_height, rotation, cosine, sine, radius, area;
    std::vector<double> min_x, max_x, min_y, max_y;
    std::vector<std::int64_t> exponent;

    explicit BoxColumns(std::span<const PreparedBox> boxes) : count(static_cast<std::ptrdiff_t>(boxes.size())) {
        const std::size_t padded = (boxes.size() + 3) / 4 * 4;
        for (auto* field : {&center_x, &center_y, &half_width, &half_height, &rotation, &cosine, &sine, &radius, &area,
                            &min_x, &max_x, &min_y, &max_y})
            field->assign(padded, 0.0);
        exponent.assign(padded, -1000);
        for (std::size_t k = 0; k < boxes.size(); ++k) {
            const PreparedBox& box = boxes[k];
            center_x[k] = box.center_x, center_y[k] = box.center_y;
            half_width[k] = box.half_width, half_height[k] = box.half_height, rotation[k] = box.rotation;
            cosine[k] = box.cosine, sine[k] = box.sine, radius[k] = box.radius, area[k] = box.area;
            min_x[k] = box.min_x, max_x[k] = box.max_x, min_y[k] = box.min_y, max_y[k] = box.max_y;
            exponent[k] = box.exponent;
        }
    }

    // Boxes [start, start + 4).
    void load(std::ptrdiff_t start, detail::FourBoxes& boxes) const {
        auto lanes = [start](const auto& field, auto& into) { std::memcpy(&into, field.data() + start, sizeof into); };
        lanes(center_x, boxes.center_x), lanes(center_y, boxes.center_y);
        lanes(half_width, boxes.half_width), lanes(half_height, boxes.half_height), lanes(rotation, boxes.rotation);
        lanes(cosine, boxes.cosine), lanes(sine, boxes.sine), lanes(radius, boxes.radius), lanes(area, boxes.area);
        lanes(min_x, boxes.min_x), lanes(max_x, boxes.max_x), lanes(min_y, boxes.min_y), lanes(max_y, boxes.max_y);
        lanes(exponent, boxes.exponent);
    }
};

// The columns of a set of boxes, laid out when a row first asks for them,
// from whichever thread: most scenes have no crowded row, and laying out
// 10^5 boxes would cost milliseconds before the rows are split.
class LazyColumns {
public:
    explicit LazyColumns(std::span<const PreparedBox> boxes) : boxes_(boxes) {}

    const BoxColumns& get() const {
        std::call_once(once_, [this] { columns_.emplace(boxes_); });
        return *columns_;
    }

private:
    std::span<const PreparedBox> boxes_;
    mutable std::once_flag once_;
    mutable std::optional<BoxColumns> columns_;
};

namespace detail {

// `overlap(row, box)` for the four boxes of `boxes` into values[0..4):
// `overlap_unless_crossing` and `value_of` with every branch a selection.
[[gnu::always_inline]] inline void overlap_four_body(const PreparedBox& row, const FourBoxes& b, OverlapMode mode,
                                                     double* values) {
    using Real = FourDoubles;
    using Mask = FourMasks;
    const Real zero = {};
    const Real a_center_x = zero + row.center_x, a_center_y = zero + row.center_y;
    const Real a_half_width = zero + row.half_width, a_half_height = zero + row.half_height;
    const Real a_cosine = zero + row.cosine, a_sine = zero + row.sine, a_radius = zero + row.radius;
    const Mask a_exponent = Mask{} + row.exponent;

    // The pairs settled before any geometry.
    const Mask empty_or_apart = (b.area == 0.0) | (row.area == 0.0) | (row.max_x < b.min_x) | (b.max_x < row.min_x) |
                                (row.max_y < b.min_y) | (b.max_y < row.min_y);
    const Mask same = (row.center_x == b.center_x) & (row.center_y == b.center_y) & (row.half_width == b.half_width) &
                      (row.half_height == b.half_height) & (row.rotation == b.rotation);
    // gives_frame(row, b), its tests from the last to the first.
    Mask first_is_frame = row.rotation < b.rotation;
    first_is_frame = row.half_height != b.half_height ? row.half_height < b.half_height : first_is_frame;
    first_is_frame = row.half_width != b.half_width ? row.half_width < b.half_width : first_is_frame;
    first_is_frame = row.center_y != b.center_y ? row.center_y < b.center_y : first_is_frame;
    first_is_frame = row.center_x != b.center_x ? row.center_x < b.center_x : first_is_frame;
    first_is_frame = row.area != b.area ? row.area > b.area : first_is_frame;

    // place_pair
    const Real frame_center_x = first_is_frame ? a_center_x : b.center_x;
    const Real frame_center_y = first_is_frame ? a_center_y : b.center_y;
    const Real other_center_x = first_is_frame ? b.center_x : a_center_x;
    const Real other_center_y = first_is_frame ? b.center_y : a_center_y;
    const Real frame_cosine = first_is_frame ? a_cosine : b.cosine, frame_sine = first_is_frame ? a_sine : b.sine;
    const Real other_cosine = first_is_frame ? b.cosine : a_cosine, other_sine = first_is_frame ? b.sine : a_sine;
    const Mask frame_exponent = first_is_frame ? a_exponent : b.exponent;
    const Mask other_exponent = first_is_frame ? b.exponent : a_exponent;
    const Mask exponent = frame_exponent < other_exponent ? other_exponent : frame_exponent;
    const Real scale = reinterpret_cast<Real>((1023 - exponent) << 52);
    const Real frame_half_width = (first_is_frame ? a_half_width : b.half_width) * scale;
    const Real frame_half_height = (first_is_frame ? a_half_height : b.half_height) * scale;
    const Real other_half_width = (first_is_frame ? b.half_width : a_half_width) * scale;
    const Real other_half_height = (first_is_frame ? b.half_height : a_half_height) * scale;
    const Real frame_area = 4.0 * frame_half_width * frame_half_height;
    const Real other_area = 4.0 * other_half_width * other_half_height;
    const Real first_area = first_is_frame ? frame_area : other_area;
    const Real second_area = first_is_frame ? other_area : frame_area;
    const Real dx =
        exponent >= 0 ? other_center_x * scale - frame_center_x * scale : (other_center_x - frame_center_x) * scale;
    const Real dy =
        exponent >= 0 ? other_center_y * scale - frame_center_y * scale : (other_center_y - frame_center_y) * scale;
    const Real reach = (first_is_frame ? a_radius : b.radius) * scale + (first_is_frame ? b.radius : a_radius) * scale;
    const Mask circles_apart = (dx * dx + dy * dy < reach * reach) == 0;
    const Real x0 = dx * frame_cosine - dy * frame_sine;
    const Real y0 = dx * frame_sine + dy * frame_cosine;
    const Real cos_relative = other_cosine * frame_cosine + other_sine * frame_sine;
    const Real sin_relative = other_sine * frame_cosine - other_cosine * frame_sine;
    Real abs_cos, abs_sin, abs_x0, abs_y0;
    magnitude(cos_relative, abs_cos), magnitude(sin_relative, abs_sin), magnitude(x0, abs_x0), magnitude(y0, abs_y0);
    const Real other_reach_x = other_half_width * abs_cos + other_half_height * abs_sin;
    const Real other_reach_y = other_half_width * abs_sin + other_half_height * abs_cos;
    const Real frame_x = -(x0 * cos_relative - y0 * sin_relative);
    const Real frame_y = -(x0 * sin_relative + y0 * cos_relative);
    Real abs_frame_x, abs_frame_y;
    magnitude(frame_x, abs_frame_x), magnitude(frame_y, abs_frame_y);
    const Real frame_reach_x = frame_half_width * abs_cos + frame_half_height * abs_sin;
    const Real frame_reach_y = frame_half_width * abs_sin + frame_half_height * abs_cos;
    const Mask separated =
        (abs_x0 - other_reach_x >= frame_half_width) | (abs_y0 - other_reach_y >= frame_half_height) |
        (abs_frame_x - frame_reach_x >= other_half_width) | (abs_frame_y - frame_reach_y >= other_half_height);
    const Mask other_inside =
        (abs_x0 + other_reach_x <= frame_half_width) & (abs_y0 + other_reach_y <= frame_half_height);
    const Mask frame_inside =
        (abs_frame_x + frame_reach_x <= other_half_width) & (abs_frame_y + frame_reach_y <= other_half_height);
    const Mask crossing = (empty_or_apart | same | circles_apart | separated | other_inside | frame_inside) == 0;

    Real intersection = zero;
    bool any_crossing = false;
    for (int lane = 0; lane < 4; ++lane) any_crossing |= crossing[lane] != 0;
    if (any_crossing) {
        FourCrossings pairs;
        pairs.x0 = x0, pairs.y0 = y0, pairs.cos_relative = cos_relative, pairs.sin_relative = sin_relative;
        pairs.other_half_width = other_half_width, pairs.other_half_height = other_half_height;
        pairs.frame_half_width = frame_half_width, pairs.frame_half_height = frame_half_height;
        pairs.largest = other_area < frame_area ? other_area : frame_area;
        pairs.crosses_x = abs_x0 + other_reach_x > frame_half_width;
        pairs.crosses_y = abs_y0 + other_reach_y > frame_half_height;
        double clipped[4];
        clipped_areas_body(pairs, clipped);
        std::memcpy(&intersection, clipped, sizeof intersection);
    }
    intersection = frame_inside ? frame_area : intersection;
    intersection = other_inside ? other_area : intersection;
    intersection = (circles_apart | separated) ? zero : intersection;

    // value_of, and the pairs settled first.
    Real value;
    if (mode == OverlapMode::area) {
        for (int lane = 0; lane < 4; ++lane)
            value[lane] = std::ldexp(intersection[lane], 2 * static_cast<int>(exponent[lane]));
    } else {
        const Real whole = mode == OverlapMode::iof ? first_area : first_area + second_area - intersection;
        const Real ratio = intersection / whole;
        Real unit = ratio > 0.0 ? ratio : zero;
        unit = ratio > 1.0 ? zero + 1.0 : unit;
        value = whole > 0.0 ? unit : zero;
    }
    value = same ? zero + (mode == OverlapMode::area ? row.area : 1.0) : value;
    value = empty_or_apart ? zero : value;
    for (int lane = 0; lane < 4; ++lane) values[lane] = value[lane];
}

// `overlap(row, box j)` into values[j] for every column.
[[gnu::always_inline]] inline void overlap_row_body(const PreparedBox& row, const BoxColumns& columns, OverlapMode mode,
                                                    double* values) {
    for (std::ptrdiff_t start = 0; start < columns.count; start += 4) {
        FourBoxes boxes;
        columns.load(start, boxes);
        double four[4];
        overlap_four_body(row, boxes, mode, four);
        const std::ptrdiff_t lanes = std::min<std::ptrdiff_t>(4, columns.count - start);
        for (std::ptrdiff_t lane = 0; lane < lanes; ++lane) values[start + lane] = four[lane];
    }
}
inline void overlap_row_plain(const PreparedBox& row, const BoxColumns& columns, OverlapMode mode, double* values) {
    overlap_row_body(row, columns, mode, values);
}
HALVEX_FOR_AVX2 inline void overlap_row_avx2(const PreparedBox& row, const BoxColumns& columns, OverlapMode mode,
                                             double* values) {
    overlap_row_body(row, columns, mode, values);
}

}  // namespace detail

// values[j] = overlap(row, box j of `columns`) for every column.
inline void overlap_row(const PreparedBox& row, const BoxColumns& columns, OverlapMode mode, double* values) {
    if (processor_has_avx2())
        detail::overlap_row_avx2(row, columns, mode, values);
    else
        detail::overlap_row_plain(row, columns, mode, values);
}

// `overlap` for many pairs, each value handed to `deliver(where, value)`:
// at once, or for pairs that need clipping, four at a time, clipped side
// by side in the lanes of a vector (the same values).  `finish()` delivers
// the pairs still waiting.
template <class Deliver>
class OverlapQueue {
public:
    OverlapQueue(OverlapMode mode, Deliver deliver)
        : mode_(mode), deliver_(std::move(deliver)), avx2_(processor_has_avx2()) {}

    void add(const PreparedBox& first, const PreparedBox& second, std::ptrdiff_t where) {
        double value;
        detail::CrossingPair crossing;
        if (detail::overlap_unless_crossing(first, second, mode_, value, areas_[waiting_], crossing)) {
            deliver_(where, value);
            return;
        }
        crossings_.set(waiting_, crossing);
        where_[waiting_] = where;
        if (++waiting_ == 4) clip();
    }

    void finish() {
        if (waiting_ == 0) return;
        crossings_.repeat_first(waiting_);
        clip();
    }

private:
    void clip() {
        double intersections[4];
        if (avx2_)
            detail::clipped_areas_avx2(crossings_, intersections);
        else
            detail::clipped_areas_plain(crossings_, intersections);
        for (int lane = 0; lane < waiting_; ++lane) {
            areas_[lane].intersection = intersections[lane];
            deliver_(where_[lane], detail::value_of(areas_[lane], mode_));
        }
        waiting_ = 0;
    }

    OverlapMode mode_;
    Deliver deliver_;
    bool avx2_;
    detail::FourCrossings crossings_;
    detail::PairAreas areas_[4];
    std::ptrdiff_t where_[4];
    int waiting_ = 0;
};

}  // namespace halvex::kernels
