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
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

namespace halvex::kernels {

// `classes`: one per box, or empty when all boxes are of one class (boxes of
// different classes never suppress each other).  Returns the kept indices in
// visiting order.
inline std::vector<std::int64_t> greedy_suppression(std::span<const PreparedBox> boxes,
                                                    std::span<const double> scores,
                                                    std::span<const std::int64_t> classes, double iou_threshold,
                                                    std::optional<double> score_threshold) {
    std::vector<std::int64_t> order;
    order.reserve(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i)
        if (!score_threshold || scores[i] >= *score_threshold) order.push_back(static_cast<std::int64_t>(i));
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return scores[static_cast<std::size_t>(a)] > scores[static_cast<std::size_t>(b)];
    });
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
            if (class_of(order[k]) != label) return false;
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
