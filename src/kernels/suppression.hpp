// Greedy non-maximum suppression of rotated boxes.
//
// Boxes are visited by decreasing score (equal scores: lower index first); a
// box is kept unless its IoU with a box kept before it exceeds the
// threshold.  Only kept boxes can suppress, and only boxes whose bounds meet
// can have an IoU above a non-negative threshold, so the kept boxes are
// filed in grids as they are kept and each box checks the kept ones near it
// until one suppresses it.  The greedy order makes this sequential.
#pragma once

#include "kernels/overlap_search.hpp"
#include "kernels/rotated_overlap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

namespace halvex::kernels {

namespace detail {

// False when the IoU of two boxes is certainly at most `threshold`, from
// bounds on it that cost far less than the IoU: the intersection is at most
// the smaller area and at most the overlap of the (widened) axis-aligned
// bounds, the union at least the larger area.  The margin covers the
// rounding of the IoU itself, so a pair rejected here never has a computed
// IoU above the threshold.  A threshold of 0 rejects nothing.
inline bool may_exceed(const PreparedBox& a, const PreparedBox& b, double threshold) {
    const double larger = std::max(a.area, b.area);
    const double needed = threshold * larger * (1.0 - 0x1p-30);
    const double bounds_overlap = (std::min(a.max_x, b.max_x) - std::max(a.min_x, b.min_x)) *
                                  (std::min(a.max_y, b.max_y) - std::max(a.min_y, b.min_y));
    // Where `needed` is this small, underflow in the products could make
    // them look smaller than they are, and infinite areas bound nothing: no
    // rejection there.
    if (!(needed >= 0x1p-900 && needed < INFINITY)) return true;
    return !(std::min(a.area, b.area) <= needed || bounds_overlap <= needed);
}

}  // namespace detail

// `classes`: one per box, or empty when all boxes are of one class (boxes of
// different classes never suppress each other).  Returns the kept indices in
// visiting order.
inline std::vector<std::int64_t> greedy_suppression(std::span<const PreparedBox> boxes, std::span<const double> scores,
                                                    std::span<const std::int64_t> classes, double iou_threshold,
                                                    std::optional<double> score_threshold) {
    struct Candidate {
        double score;
        std::int64_t index;
    };
    std::vector<Candidate> by_score;
    by_score.reserve(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i)
        if (!score_threshold || scores[i] >= *score_threshold)
            by_score.push_back({scores[i], static_cast<std::int64_t>(i)});
    std::sort(by_score.begin(), by_score.end(), [](const Candidate& a, const Candidate& b) {
        return a.score > b.score || (a.score == b.score && a.index < b.index);
    });
    std::vector<std::int64_t> order(by_score.size());
    for (std::size_t k = 0; k < by_score.size(); ++k) order[k] = by_score[k].index;
    auto class_of = [&](std::int64_t box) {
        return classes.empty() ? std::int64_t{0} : classes[static_cast<std::size_t>(box)];
    };

    // No IoU exceeds 1: nothing is suppressed.
    if (iou_threshold >= 1.0) return order;

    std::vector<std::int64_t> kept;
    // Every IoU, 0 included, exceeds a negative threshold: the first box of
    // each class suppresses the rest of it.
    if (iou_threshold < 0.0) {
        std::unordered_set<std::int64_t> seen;
        for (std::int64_t box : order)
            if (seen.insert(class_of(box)).second) kept.push_back(box);
        return kept;
    }

    // The boxes in visiting order, searched by their position in it.
    std::vector<PreparedBox> visiting(order.size());
    for (std::size_t position = 0; position < order.size(); ++position)
        visiting[position] = boxes[static_cast<std::size_t>(order[position])];
    GrowingBoxSearch kept_so_far(visiting);
    for (std::size_t position = 0; position < order.size(); ++position) {
        const PreparedBox& box = visiting[position];
        const std::int64_t label = class_of(order[position]);
        bool suppressed = false;
        kept_so_far.for_each_candidate(box, [&](std::int64_t other) {
            const auto k = static_cast<std::size_t>(other);
            if (class_of(order[k]) != label || !detail::may_exceed(box, visiting[k], iou_threshold)) return false;
            suppressed = overlap(box, visiting[k], OverlapMode::iou) > iou_threshold;
            return suppressed;
        });
        if (!suppressed) {
            kept_so_far.add(static_cast<std::int64_t>(position));
            kept.push_back(order[position]);
        }
    }
    return kept;
}

}  // namespace halvex::kernels
