// Which boxes of a set may overlap a given box: a sort-and-sweep along x.
//
// The boxes are grouped by the width of their axis-aligned bounds (one group
// per power of two) and each group is sorted by its left bound.  A box of
// width below 2^(k+1) that reaches a query's interval starts at most 2^(k+1)
// before it, so per group a binary search finds the first entry that can
// reach the query and the scan stops at the first entry that starts beyond
// it.  Scenes with boxes of very different sizes thus never scan far, and a
// group of unbounded width (overflowing bounds) is scanned whole.
//
// The search only narrows the candidates by the boxes' own bounds, the very
// test `overlap` starts with, so a value never depends on whether it was
// found through the search.
#pragma once

#include "kernels/rotated_overlap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace halvex::kernels {

class BoxSearch {
public:
    explicit BoxSearch(std::span<const PreparedBox> boxes) {
        std::vector<std::pair<int, std::int64_t>> by_group;  // (group exponent, box)
        by_group.reserve(boxes.size());
        for (std::size_t index = 0; index < boxes.size(); ++index) {
            const double width = boxes[index].max_x - boxes[index].min_x;
            by_group.emplace_back(group_of(width), static_cast<std::int64_t>(index));
        }
        std::sort(by_group.begin(), by_group.end());
        for (std::size_t first = 0; first < by_group.size();) {
            std::size_t last = first;
            while (last < by_group.size() && by_group[last].first == by_group[first].first) ++last;
            Group group;
            group.unbounded = by_group[first].first == unbounded_group;
            group.reach = group.unbounded ? 0.0 : std::ldexp(1.0, by_group[first].first + 2);
            group.entries.reserve(last - first);
            for (std::size_t k = first; k < last; ++k) {
                const PreparedBox& box = boxes[static_cast<std::size_t>(by_group[k].second)];
                group.entries.push_back({box.min_x, box.max_x, box.min_y, box.max_y, by_group[k].second});
            }
            std::sort(group.entries.begin(), group.entries.end(), [](const Entry& a, const Entry& b) {
                return a.min_x < b.min_x || (a.min_x == b.min_x && a.index < b.index);
            });
            groups_.push_back(std::move(group));
            first = last;
        }
    }

    // visit(index) for every box whose bounds meet those of `query`
    // (grouped by width, then by left bound, not by index), until a visit
    // returns true.
    template <class Visit>
    void for_each_candidate(const PreparedBox& query, Visit&& visit) const {
        for (const Group& group : groups_) {
            auto entry = group.entries.begin();
            if (!group.unbounded) {
                const double earliest = query.min_x - group.reach;
                entry = std::lower_bound(group.entries.begin(), group.entries.end(), earliest,
                                         [](const Entry& e, double value) { return e.min_x < value; });
            }
            for (; entry != group.entries.end() && entry->min_x <= query.max_x; ++entry) {
                if (entry->max_x < query.min_x || entry->max_y < query.min_y || entry->min_y > query.max_y) continue;
                if (visit(entry->index)) return;
            }
        }
    }

private:
    static constexpr int unbounded_group = 1 << 20;

    static int group_of(double width) {
        if (!(width < INFINITY)) return unbounded_group;
        if (!(width > 0)) return -1074;
        return std::ilogb(width);
    }

    struct Entry {
        double min_x, max_x, min_y, max_y;
        std::int64_t index;
    };
    struct Group {
        std::vector<Entry> entries;  // by left bound
        double reach;                // the widest entry is narrower than this
        bool unbounded;
    };
    std::vector<Group> groups_;
};

}  // namespace halvex::kernels
