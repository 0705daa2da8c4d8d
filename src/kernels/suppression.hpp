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
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
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

// The indices of the boxes whose score is at least `score_threshold` (all
// when there is none), by decreasing score, equal scores by increasing
// index.  Scores are never NaN.  A stable radix sort on the scores' bits:
// a comparison sort of random scores mispredicts about every other
// comparison, and this takes a few passes without a data-dependent branch.
inline std::pmr::vector<std::int64_t> visiting_order(std::span<const double> scores,
                                                     std::optional<double> score_threshold,
                                                     std::pmr::memory_resource* memory) {
    struct Entry {
        std::uint64_t key;  // ascending key order is decreasing score order
        std::int64_t index;
    };
    std::pmr::vector<Entry> entries(memory), spare(memory);
    entries.reserve(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (score_threshold && !(scores[i] >= *score_threshold)) continue;
        // + 0.0 makes -0.0 into +0.0, which compares equal to it.  The bits
        // of a double, with the sign bit set for positive values and every
        // bit flipped for negative ones, order as the values do; flipping
        // them all then orders by decreasing value.
        const auto bits = std::bit_cast<std::uint64_t>(scores[i] + 0.0);
        const std::uint64_t ascending = bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
        entries.push_back({~ascending, static_cast<std::int64_t>(i)});
    }
    spare.resize(entries.size());

    // One count per byte value of each of the eight bytes, then a stable
    // pass per byte from the lowest, skipping bytes that all keys share.
    std::array<std::array<std::size_t, 256>, 8> counts{};
    for (const Entry& entry : entries)
        for (int byte = 0; byte < 8; ++byte) ++counts[byte][(entry.key >> (8 * byte)) & 0xff];
    for (int byte = 0; byte < 8; ++byte) {
        std::array<std::size_t, 256>& count = counts[byte];
        if (std::find(count.begin(), count.end(), entries.size()) != count.end()) continue;
        std::size_t position = 0;
        for (std::size_t& start : count) position += std::exchange(start, position);
        for (const Entry& entry : entries) spare[count[(entry.key >> (8 * byte)) & 0xff]++] = entry;
        entries.swap(spare);
    }
    std::pmr::vector<std::int64_t> order(entries.size(), memory);
    for (std::size_t k = 0; k < entries.size(); ++k) order[k] = entries[k].index;
    return order;
}

}  // namespace detail

// `classes`: one per box, or empty when all boxes are of one class (boxes of
// different classes never suppress each other).  Returns the kept indices in
// visiting order.  The working arrays come from `memory`.
inline std::vector<std::int64_t> greedy_suppression(
    std::span<const PreparedBox> boxes, std::span<const double> scores, std::span<const std::int64_t> classes,
    double iou_threshold, std::optional<double> score_threshold,
    std::pmr::memory_resource* memory = std::pmr::get_default_resource()) {
    std::pmr::vector<std::int64_t> order = detail::visiting_order(scores, score_threshold, memory);
    auto class_of = [&](std::int64_t box) {
        return classes.empty() ? std::int64_t{0} : classes[static_cast<std::size_t>(box)];
    };

    // No IoU exceeds 1: nothing is suppressed.
    if (iou_threshold >= 1.0) return {order.begin(), order.end()};

    std::vector<std::int64_t> kept;
    // Every IoU, 0 included, exceeds a negative threshold: the first box of
    // each class suppresses the rest of it.
    if (iou_threshold < 0.0) {
        std::unordered_set<std::int64_t> seen;
        for (std::int64_t box : order)
            if (seen.insert(class_of(box)).second) kept.push_back(box);
        return kept;
    }

    // The boxes' bounds and classes in visiting order, searched by their
    // position in it.
    std::pmr::vector<detail::SearchEntry> bounds(order.size(), memory);
    std::pmr::vector<std::int64_t> labels(order.size(), memory);
    for (std::size_t position = 0; position < order.size(); ++position) {
        const PreparedBox& box = boxes[static_cast<std::size_t>(order[position])];
        bounds[position] = {box.min_x, box.max_x, box.min_y, box.max_y, static_cast<std::int64_t>(position)};
        labels[position] = class_of(order[position]);
    }
    auto visiting = [&](std::size_t position) -> const PreparedBox& {
        return boxes[static_cast<std::size_t>(order[position])];
    };
    GrowingBoxSearch kept_so_far(std::move(bounds));
    // Per cell, the last few kept boxes that suppressed a box filed there:
    // near duplicates share a cell, and the box that suppressed one of them
    // likely suppresses the next, so these are tried before the search.  A
    // box is suppressed when any kept box suppresses it, so the order in
    // which they are tried changes nothing but the time.
    constexpr std::size_t remembered = 4;
    std::pmr::vector<std::array<std::int64_t, remembered>> recent_suppressors(kept_so_far.cell_count(), memory);
    for (auto& recent : recent_suppressors) recent.fill(-1);
    for (std::size_t position = 0; position < order.size(); ++position) {
        const PreparedBox& box = visiting(position);
        const std::int64_t label = labels[position];
        auto suppresses = [&](std::int64_t other) {
            const auto k = static_cast<std::size_t>(other);
            return labels[k] == label && detail::may_exceed(box, visiting(k), iou_threshold) &&
                   overlap(box, visiting(k), OverlapMode::iou) > iou_threshold;
        };
        auto& recent = recent_suppressors[kept_so_far.cell_of(static_cast<std::int64_t>(position))];
        bool suppressed = false;
        for (std::size_t k = 0; k < remembered && !suppressed; ++k)
            suppressed = recent[k] >= 0 && suppresses(recent[k]);
        if (!suppressed)
            kept_so_far.for_each_candidate(box, [&](std::int64_t other) {
                suppressed = suppresses(other);
                if (suppressed) {
                    // The newest first, the oldest forgotten.
                    std::copy_backward(recent.begin(), recent.end() - 1, recent.end());
                    recent[0] = other;
                }
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
