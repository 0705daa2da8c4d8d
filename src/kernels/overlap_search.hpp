// Which boxes of a set may overlap a given box: a sort-and-sweep along x.
//
// The boxes are grouped by the width of their axis-aligned bounds (one group
// per half octave) and each group is sorted by its left bound.  A box that
// reaches a query's interval starts at most the group's widest width before
// it, so per group a binary search finds the first entry that can reach the
// query and the scan stops at the first entry that starts beyond it.  Scenes
// with boxes of very different sizes thus never scan far, and a group of
// unbounded width (overflowing bounds) is scanned whole.
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
            group.reach = 0.0;
            group.entries.reserve(last - first);
            for (std::size_t k = first; k < last; ++k) {
                const PreparedBox& box = boxes[static_cast<std::size_t>(by_group[k].second)];
                group.entries.push_back({box.min_x, box.max_x, box.min_y, box.max_y, by_group[k].second});
                group.reach = std::max(group.reach, box.max_x - box.min_x);
            }
            // Rounding of min_x + width may exceed max_x by an ulp or so.
            group.reach *= 1.0 + 0x1p-40;
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
            if (scan(group, entry, query, visit)) return;
        }
    }

    // visit(query, index) for every query (indices into `boxes`, reordered
    // here) and every box whose bounds meet the query's.  The queries are
    // swept by their left bound, so each group's start moves forward
    // instead of being searched for anew.
    template <class Visit>
    void for_each_pair(std::span<const PreparedBox> boxes, std::span<std::int64_t> queries, Visit&& visit) const {
        auto box = [&](std::int64_t index) -> const PreparedBox& { return boxes[static_cast<std::size_t>(index)]; };
        std::sort(queries.begin(), queries.end(), [&](std::int64_t a, std::int64_t b) {
            return box(a).min_x < box(b).min_x || (box(a).min_x == box(b).min_x && a < b);
        });
        std::vector<std::vector<Entry>::const_iterator> starts;
        for (const Group& group : groups_) starts.push_back(group.entries.begin());
        for (const std::int64_t query : queries) {
            for (std::size_t g = 0; g < groups_.size(); ++g) {
                const Group& group = groups_[g];
                if (!group.unbounded) {
                    const double earliest = box(query).min_x - group.reach;
                    while (starts[g] != group.entries.end() && starts[g]->min_x < earliest) ++starts[g];
                }
                scan(group, starts[g], box(query), [&](std::int64_t index) {
                    visit(query, index);
                    return false;
                });
            }
        }
    }

private:
    static constexpr int unbounded_group = 1 << 20;

    struct Entry {
        double min_x, max_x, min_y, max_y;
        std::int64_t index;
    };
    struct Group {
        std::vector<Entry> entries;  // by left bound
        double reach;                // no entry is wider than this
        bool unbounded;
    };

    // The entries of a group from `entry` on that meet the query; true when
    // a visit asked to stop.
    template <class Visit>
    static bool scan(const Group& group, std::vector<Entry>::const_iterator entry, const PreparedBox& query,
                     Visit&& visit) {
        // Most entries of the window miss in y; the test is branch-free
        // and the hits are collected in runs, then visited.
        const auto end = group.entries.end();
        while (entry != end && entry->min_x <= query.max_x) {
            std::int64_t hits[64];
            int count = 0;
            for (int k = 0; k < 64 && entry != end && entry->min_x <= query.max_x; ++k, ++entry) {
                hits[count] = entry->index;
                count += (entry->max_x >= query.min_x) & (entry->max_y >= query.min_y) & (entry->min_y <= query.max_y);
            }
            for (int k = 0; k < count; ++k)
                if (visit(hits[k])) return true;
        }
        return false;
    }

    static int group_of(double width) {
        if (!(width < INFINITY)) return unbounded_group;
        if (!(width > 0)) return -2 * 1075;
        // Half octaves: ilogb(width^2) without the overflow of squaring.
        const int octave = std::ilogb(width);
        const double mantissa = std::scalbn(width, -octave);  // in [1, 2)
        return 2 * octave + (mantissa >= 1.4142135623730951 ? 1 : 0);
    }

    std::vector<Group> groups_;
};

}  // namespace halvex::kernels
