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

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace halvex::kernels {

namespace detail {

// Four doubles operated on together, and their comparison masks: one AVX
// register where the code is compiled for it, two SSE2 registers elsewhere.
using FourDoubles = double __attribute__((vector_size(4 * sizeof(double))));
using FourMasks = std::int64_t __attribute__((vector_size(4 * sizeof(double))));

// Four crossing pairs, a lane each.
struct FourCrossings {
    alignas(32) double x0[4], y0[4], cos_relative[4], sin_relative[4];
    alignas(32) double other_half_width[4], other_half_height[4], frame_half_width[4], frame_half_height[4];
    alignas(32) double largest[4];
    alignas(32) std::int64_t crosses_x[4], crosses_y[4];  // all ones or zero

    void set(int lane, const CrossingPair& pair) {
        x0[lane] = pair.x0, y0[lane] = pair.y0;
        cos_relative[lane] = pair.cos_relative, sin_relative[lane] = pair.sin_relative;
        other_half_width[lane] = pair.other_half_width, other_half_height[lane] = pair.other_half_height;
        frame_half_width[lane] = pair.frame_half_width, frame_half_height[lane] = pair.frame_half_height;
        largest[lane] = pair.largest;
        crosses_x[lane] = -std::int64_t{pair.crosses_x};
        crosses_y[lane] = -std::int64_t{pair.crosses_y};
    }
};

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
    // References: a vector returned by value would change the ABI between
    // the two compilations.
    auto lanes = [](const double* values) -> const Real& { return *reinterpret_cast<const Real*>(values); };
    const Real &x0 = lanes(pairs.x0), &y0 = lanes(pairs.y0);
    const Real &cos_relative = lanes(pairs.cos_relative), &sin_relative = lanes(pairs.sin_relative);
    const Real &other_half_width = lanes(pairs.other_half_width), &other_half_height = lanes(pairs.other_half_height);
    const Real &frame_half_width = lanes(pairs.frame_half_width), &frame_half_height = lanes(pairs.frame_half_height);
    const Real& largest = lanes(pairs.largest);
    const Mask& crosses_x = *reinterpret_cast<const Mask*>(pairs.crosses_x);
    const Mask& crosses_y = *reinterpret_cast<const Mask*>(pairs.crosses_y);
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
            const Real there = corner_x[i];
            const Mask above = there > high, below = there < low;
            Real entry = here > low ? here : low, exit = there > low ? there : low;
            entry = entry < high ? entry : high;
            exit = exit < high ? exit : high;
            const Real made_entry = here_across + (entry - here) * y_per_x[i];
            const Real made_exit = here_across + (exit - here) * y_per_x[i];
            // It enters unless both ends are outside on one side; it leaves
            // when its end is outside and its start not on that side.
            const Mask enters = ((here_above & above) | (here_below & below)) == 0;
            const Mask leaves = (above & (here_above == 0)) | (below & (here_below == 0));
            const Real into_start = (here_above | here_below) ? zero : here_slope;
            x1[2 * i] = crosses_x ? entry : corner_x[i];
            y1[2 * i] = crosses_x ? made_entry : corner_y[i];
            valid1[2 * i] = crosses_x ? enters : all;
            slope1[2 * i] = crosses_x ? into_start : x_per_y[i];
            x1[2 * i + 1] = exit;
            y1[2 * i + 1] = made_exit;
            valid1[2 * i + 1] = crosses_x ? leaves : none;
            slope1[2 * i + 1] = x_per_y[i];
            here = there, here_across = corner_y[i], here_slope = x_per_y[i];
            here_above = above, here_below = below;
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
            const Real there = y1[k];
            const Mask above = there > high, below = there < low;
            Real entry = here > low ? here : low, exit = there > low ? there : low;
            entry = entry < high ? entry : high;
            exit = exit < high ? exit : high;
            const Real made_entry = here_across + (entry - here) * slope1[k];
            const Real made_exit = here_across + (exit - here) * slope1[k];
            const Mask enters = ((here_above & above) | (here_below & below)) == 0;
            const Mask leaves = (above & (here_above == 0)) | (below & (here_below == 0));
            x2[2 * k] = crosses_y ? made_entry : x1[k];
            y2[2 * k] = crosses_y ? entry : y1[k];
            valid2[2 * k] = valid1[k] & (crosses_y ? enters : all);
            x2[2 * k + 1] = made_exit;
            y2[2 * k + 1] = exit;
            valid2[2 * k + 1] = valid1[k] & (crosses_y ? leaves : none);
            here = valid1[k] ? there : here;
            here_across = valid1[k] ? x1[k] : here_across;
            here_above = valid1[k] ? above : here_above;
            here_below = valid1[k] ? below : here_below;
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
    // |twice_area| / 2: the sign bit cleared, as fabs does.
    const Real area =
        reinterpret_cast<Real>(reinterpret_cast<Mask>(twice_area) & std::numeric_limits<std::int64_t>::max()) * 0.5;
    const Real result = largest < area ? largest : area;
    for (int lane = 0; lane < 4; ++lane) areas[lane] = result[lane];
}
inline void clipped_areas_plain(const FourCrossings& pairs, double* areas) { clipped_areas_body(pairs, areas); }
HALVEX_FOR_AVX2 inline void clipped_areas_avx2(const FourCrossings& pairs, double* areas) {
    clipped_areas_body(pairs, areas);
}

}  // namespace detail

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
        last_ = crossing;
        if (++waiting_ == 4) clip();
    }

    void finish() {
        if (waiting_ == 0) return;
        const int count = waiting_;
        for (int lane = count; lane < 4; ++lane) crossings_.set(lane, last_);  // empty lanes repeat a pair
        waiting_ = count;
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
    detail::CrossingPair last_;
    detail::PairAreas areas_[4];
    std::ptrdiff_t where_[4];
    int waiting_ = 0;
};

}  // namespace halvex::kernels
