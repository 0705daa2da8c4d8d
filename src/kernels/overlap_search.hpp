// Which boxes of a set may overlap a given box: uniform grids, one per size.
//
// The boxes are grouped by the larger side of their axis-aligned bounds (all
// in one group when their sizes are within a factor of 64, else one group
// per two octaves).  Each group gets a grid whose cells are at least as
// large as its largest box, and every box is filed once, in the cell of its
// lower-left bound corner.  A box that meets a query's bounds then has that
// corner at most one box size below and left of the query, so a query reads
// the few cells between there and the query's upper-right corner, and each
// pair is met once.  Groups of very different sizes thus never read far;
// boxes far apart (or bounds that overflow) only coarsen a grid, whose cell
// count is capped by the number of its boxes, and a group of unbounded
// boxes is read whole.
//
// The search only narrows the candidates by the boxes' own bounds, the very
// test `overlap` starts with, so a value never depends on whether it was
// found through the search.
#pragma once

#include "kernels/rotated_overlap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

namespace halvex::kernels {

namespace detail {

// A box as the search files it: its bounds, apart from the rest of it, so
// that the passes over all boxes and the scans read little memory.
struct SearchEntry {
    double min_x, max_x, min_y, max_y;
    std::int64_t index;
};

inline std::vector<SearchEntry> search_entries(std::span<const PreparedBox> boxes) {
    std::vector<SearchEntry> entries(boxes.size());
    for (std::size_t k = 0; k < boxes.size(); ++k)
        entries[k] = {boxes[k].min_x, boxes[k].max_x, boxes[k].min_y, boxes[k].max_y, static_cast<std::int64_t>(k)};
    return entries;
}

// The grid of one group of boxes (see above).
struct GridLayout {
    double origin_x = 0, origin_y = 0;      // lower-left corner of cell (0, 0)
    double cell_x = 1, cell_y = 1;          // cell size, at least the reach
    double per_cell_x = 1, per_cell_y = 1;  // 1 / cell size
    double reach_x = 0, reach_y = 0;        // no box of the group is wider or taller
    std::int64_t columns = 1, rows = 1;
    bool unbounded = false;  // a single cell read whole

    std::int64_t cells() const { return columns * rows; }

    // The cell a box of the group is filed in: that of its lower-left corner.
    std::int64_t cell_of(const SearchEntry& box) const {
        if (unbounded) return 0;
        const std::int64_t column =
            std::clamp<std::int64_t>(index(box.min_x - origin_x, per_cell_x, columns), 0, columns - 1);
        const std::int64_t row = std::clamp<std::int64_t>(index(box.min_y - origin_y, per_cell_y, rows), 0, rows - 1);
        return row * columns + column;
    }

    // The cells a query reads: rows [first_row, last_row], and in each the
    // columns [first_column, last_column]; false when there are none.
    struct Window {
        std::int64_t first_row, last_row, first_column, last_column;
    };
    bool window(const PreparedBox& query, Window& cells) const {
        if (unbounded) {
            cells = {0, 0, 0, 0};
            return true;
        }
        const std::int64_t first_column = index(query.min_x - reach_x - origin_x, per_cell_x, columns);
        const std::int64_t last_column = index(query.max_x - origin_x, per_cell_x, columns);
        const std::int64_t first_row = index(query.min_y - reach_y - origin_y, per_cell_y, rows);
        const std::int64_t last_row = index(query.max_y - origin_y, per_cell_y, rows);
        if (first_column >= columns || last_column < 0 || first_row >= rows || last_row < 0) return false;
        cells = {std::max<std::int64_t>(first_row, 0), std::min(last_row, rows - 1),
                 std::max<std::int64_t>(first_column, 0), std::min(last_column, columns - 1)};
        return true;
    }

    // The cell index of an offset from the origin: -1 before the grid,
    // `count` after it.  Filing and reading use this same function, so a
    // rounded cell size or product moves both alike.
    // (Past the test for a negative offset, truncation is the floor.)
    static std::int64_t index(double offset, double per_cell, std::int64_t count) {
        const double at = offset * per_cell;
        if (!(at >= 0)) return -1;
        return at >= static_cast<double>(count) ? count : static_cast<std::int64_t>(at);
    }

    // Cells along one axis for a span of lower corners: as many as fit at
    // the reach, at most `most`.  Returns (count, cell size).
    static std::pair<std::int64_t, double> along(double span, double reach, std::int64_t most) {
        if (!(span > 0)) return {1, 1.0};
        const double wanted = reach > 0 ? span / reach : INFINITY;
        const std::int64_t count =
            wanted >= static_cast<double>(most - 1) ? most : static_cast<std::int64_t>(wanted) + 1;
        if (count < 2) return {1, std::max(span, reach) * 2.0};
        return {count, std::max(span / static_cast<double>(count - 1), reach)};
    }

    // The grid for the boxes `members` (indices into `boxes`) of one group.
    static GridLayout fit(std::span<const SearchEntry> boxes, std::span<const std::pair<int, std::int64_t>> members,
                          bool unbounded) {
        GridLayout grid;
        grid.unbounded = unbounded;
        if (unbounded) return grid;
        double low_x = INFINITY, high_x = -INFINITY, low_y = INFINITY, high_y = -INFINITY;
        for (const auto& [_, member] : members) {
            const SearchEntry& box = boxes[static_cast<std::size_t>(member)];
            grid.reach_x = std::max(grid.reach_x, box.max_x - box.min_x);
            grid.reach_y = std::max(grid.reach_y, box.max_y - box.min_y);
            low_x = std::min(low_x, box.min_x), high_x = std::max(high_x, box.min_x);
            low_y = std::min(low_y, box.min_y), high_y = std::max(high_y, box.min_y);
        }
        // Rounding of min + width may pass max by an ulp or so.
        grid.reach_x *= 1.0 + 0x1p-40;
        grid.reach_y *= 1.0 + 0x1p-40;
        // At most about four cells per box, so that memory follows the boxes.
        const auto most =
            static_cast<std::int64_t>(2.0 * std::ceil(std::sqrt(static_cast<double>(members.size())))) + 1;
        grid.origin_x = low_x;
        grid.origin_y = low_y;
        std::tie(grid.columns, grid.cell_x) = along(high_x - low_x, grid.reach_x, most);
        std::tie(grid.rows, grid.cell_y) = along(high_y - low_y, grid.reach_y, most);
        grid.per_cell_x = 1.0 / grid.cell_x;
        grid.per_cell_y = 1.0 / grid.cell_y;
        return grid;
    }
};

inline constexpr int unbounded_group = 1 << 20;

// The octave of the larger side of a box's bounds: ilogb, with sentinels
// for unbounded and for zero-sized bounds.
inline int size_octave(const SearchEntry& box) {
    const double size = std::max(box.max_x - box.min_x, box.max_y - box.min_y);
    if (!(size < INFINITY)) return unbounded_group;
    if (!(size > 0)) return -1100;
    // ilogb, from the exponent bits where the size is a normal number.
    const auto exponent = static_cast<int>(std::bit_cast<std::uint64_t>(size) >> 52);
    return exponent > 0 ? exponent - 1023 : std::ilogb(size);
}

// (group, box) for all boxes, by group; calls found(members, unbounded)
// with each group's run.
template <class Found>
void for_each_group(std::span<const SearchEntry> boxes, Found&& found,
                    std::pmr::memory_resource* memory = std::pmr::get_default_resource()) {
    // A query reads every group, so fewer groups cost less than the larger
    // cells they bring, up to a point: boxes within a factor of 64 in size
    // share one group, wider ranges get one group per two octaves.
    std::pmr::vector<int> group(boxes.size(), memory);
    int smallest = unbounded_group, largest = -unbounded_group;
    for (std::size_t index = 0; index < boxes.size(); ++index) {
        group[index] = size_octave(boxes[index]);
        if (group[index] != unbounded_group) {
            smallest = std::min(smallest, group[index]);
            largest = std::max(largest, group[index]);
        }
    }
    const bool one_group = largest - smallest <= 5;
    for (int& octave : group)
        if (octave != unbounded_group) octave = one_group ? 0 : (octave + 1100) / 2;

    // A counting sort by group.  The groups of bounded boxes are numbered
    // from 0 to (1024 + 1100) / 2; unbounded boxes come last.
    constexpr int bounded_groups = (1024 + 1100) / 2 + 1;
    auto slot = [](int group) { return group == unbounded_group ? bounded_groups : group; };
    std::pmr::vector<std::size_t> start(bounded_groups + 1, 0, memory);  // per slot: count, then first position
    for (const int octave : group) ++start[static_cast<std::size_t>(slot(octave))];
    std::size_t position = 0;
    for (std::size_t& first : start) position += std::exchange(first, position);
    std::pmr::vector<std::pair<int, std::int64_t>> by_group(boxes.size(), memory);
    for (std::size_t index = 0; index < boxes.size(); ++index)
        by_group[start[static_cast<std::size_t>(slot(group[index]))]++] = {group[index],
                                                                           static_cast<std::int64_t>(index)};
    for (std::size_t first = 0; first < by_group.size();) {
        std::size_t last = first;
        while (last < by_group.size() && by_group[last].first == by_group[first].first) ++last;
        found(std::span<const std::pair<int, std::int64_t>>(by_group).subspan(first, last - first),
              by_group[first].first == unbounded_group);
        first = last;
    }
}

// visit(index) for the entries in [entry, end) that meet the query; true
// when a visit asked to stop.  Most entries of a cell miss, so the test is
// branch-free and the hits are collected in runs, then visited.
template <class Visit>
bool scan_entries(const SearchEntry* entry, const SearchEntry* end, const PreparedBox& query, Visit&& visit) {
    while (entry != end) {
        std::int64_t hits[64];
        int count = 0;
        for (int k = 0; k < 64 && entry != end; ++k, ++entry) {
            hits[count] = entry->index;
            count += (entry->max_x >= query.min_x) & (entry->min_x <= query.max_x) & (entry->max_y >= query.min_y) &
                     (entry->min_y <= query.max_y);
        }
        for (int k = 0; k < count; ++k)
            if (visit(hits[k])) return true;
    }
    return false;
}

}  // namespace detail

// All boxes of a set, filed once.
class BoxSearch {
public:
    explicit BoxSearch(std::span<const PreparedBox> prepared) {
        const std::vector<detail::SearchEntry> boxes = detail::search_entries(prepared);
        detail::for_each_group(boxes, [&](auto members, bool unbounded) {
            Group group;
            group.grid = detail::GridLayout::fit(boxes, members, unbounded);
            // File every box in its cell (a counting sort by cell).
            std::vector<std::int64_t> cell_of_member(members.size());
            group.cell_start.assign(static_cast<std::size_t>(group.grid.cells() + 1), 0);
            for (std::size_t k = 0; k < members.size(); ++k) {
                cell_of_member[k] = group.grid.cell_of(boxes[static_cast<std::size_t>(members[k].second)]);
                ++group.cell_start[static_cast<std::size_t>(cell_of_member[k] + 1)];
            }
            for (std::size_t cell = 1; cell < group.cell_start.size(); ++cell)
                group.cell_start[cell] += group.cell_start[cell - 1];
            std::vector<std::int64_t> next(group.cell_start.begin(), group.cell_start.end() - 1);
            group.entries.resize(members.size());
            for (std::size_t k = 0; k < members.size(); ++k)
                group.entries[static_cast<std::size_t>(next[static_cast<std::size_t>(cell_of_member[k])]++)] =
                    boxes[static_cast<std::size_t>(members[k].second)];
            groups_.push_back(std::move(group));
        });
    }

    // Whether a query reads every cell of every group, as one among boxes
    // crowded together does: the search then only adds its own work to
    // trying every box.
    bool reads_all(const PreparedBox& query) const {
        detail::GridLayout::Window cells;
        for (const Group& group : groups_) {
            if (!group.grid.window(query, cells)) return false;
            if (group.grid.unbounded) continue;
            if (cells.first_row != 0 || cells.first_column != 0 || cells.last_row != group.grid.rows - 1 ||
                cells.last_column != group.grid.columns - 1)
                return false;
        }
        return true;
    }

    // visit(index) for every box whose bounds meet those of `query`, in no
    // particular order, until a visit returns true.
    template <class Visit>
    void for_each_candidate(const PreparedBox& query, Visit&& visit) const {
        detail::GridLayout::Window cells;
        for (const Group& group : groups_) {
            if (!group.grid.window(query, cells)) continue;
            for (std::int64_t row = cells.first_row; row <= cells.last_row; ++row) {
                // The cells of a row are consecutive in the entries.
                const std::int64_t first_cell = row * group.grid.columns;
                const detail::SearchEntry* begin =
                    group.entries.data() + group.cell_start[first_cell + cells.first_column];
                const detail::SearchEntry* end =
                    group.entries.data() + group.cell_start[first_cell + cells.last_column + 1];
                if (detail::scan_entries(begin, end, query, visit)) return;
            }
        }
    }

private:
    struct Group {
        detail::GridLayout grid;
        std::vector<detail::SearchEntry> entries;  // by cell, row after row
        std::vector<std::int64_t> cell_start;      // entries of cell k: [cell_start[k], cell_start[k + 1])
    };

    std::vector<Group> groups_;
};

// The same grids, filled one box at a time: greedy suppression asks only
// about the boxes kept so far.  Every box's cell is known from the start, so
// each cell gets a run of slots as long as the boxes filed in it, and an
// added box takes the next slot of its cell's run: a query then reads the
// added boxes of a cell one after the other, as BoxSearch does, rather than
// chasing them through memory.
class GrowingBoxSearch {
public:
    // `boxes[k]`: the bounds of box k, its index k.  Its arrays come from
    // the memory `boxes` comes from.
    explicit GrowingBoxSearch(std::pmr::vector<detail::SearchEntry> boxes)
        : boxes_(std::move(boxes)),
          entries_(boxes_.size(), boxes_.get_allocator()),
          cell_start_(boxes_.get_allocator()),
          cell_end_(boxes_.get_allocator()),
          cell_of_box_(boxes_.size(), boxes_.get_allocator()),
          groups_(boxes_.get_allocator()) {
        detail::for_each_group(
            boxes_,
            [&](auto members, bool unbounded) {
                Group group;
                group.grid = detail::GridLayout::fit(boxes_, members, unbounded);
                group.first_cell = static_cast<std::int64_t>(cell_start_.size());
                cell_start_.resize(cell_start_.size() + static_cast<std::size_t>(group.grid.cells()), 0);
                for (const auto& [_, member] : members) {
                    const std::int64_t cell =
                        group.first_cell + group.grid.cell_of(boxes_[static_cast<std::size_t>(member)]);
                    cell_of_box_[static_cast<std::size_t>(member)] = cell;
                    ++cell_start_[static_cast<std::size_t>(cell)];
                }
                groups_.push_back(group);
            },
            boxes_.get_allocator().resource());
        // The runs of slots by cell, none filled yet.
        std::int64_t position = 0;
        for (std::int64_t& start : cell_start_) position += std::exchange(start, position);
        cell_end_ = cell_start_;
    }

    // The cells: as many as there are, and the one each box is filed in.
    std::size_t cell_count() const { return cell_start_.size(); }
    std::size_t cell_of(std::int64_t index) const {
        return static_cast<std::size_t>(cell_of_box_[static_cast<std::size_t>(index)]);
    }

    void add(std::int64_t index) {
        const auto cell = static_cast<std::size_t>(cell_of_box_[static_cast<std::size_t>(index)]);
        entries_[static_cast<std::size_t>(cell_end_[cell]++)] = boxes_[static_cast<std::size_t>(index)];
    }

    // visit(index) for every added box whose bounds meet those of `query`,
    // until a visit returns true.
    template <class Visit>
    void for_each_candidate(const PreparedBox& query, Visit&& visit) const {
        detail::GridLayout::Window cells;
        for (const Group& group : groups_) {
            if (!group.grid.window(query, cells)) continue;
            for (std::int64_t row = cells.first_row; row <= cells.last_row; ++row)
                for (std::int64_t column = cells.first_column; column <= cells.last_column; ++column) {
                    const auto cell = static_cast<std::size_t>(group.first_cell + row * group.grid.columns + column);
                    if (detail::scan_entries(entries_.data() + cell_start_[cell], entries_.data() + cell_end_[cell],
                                             query, visit))
                        return;
                }
        }
    }

private:
    struct Group {
        detail::GridLayout grid;
        std::int64_t first_cell;  // of the group's cells in cell_start_ and cell_end_
    };
    std::pmr::vector<detail::SearchEntry> boxes_;    // every box, by index
    std::pmr::vector<detail::SearchEntry> entries_;  // the added boxes, in their cells' runs
    std::pmr::vector<std::int64_t> cell_start_;      // per cell of every group, where its run starts
    std::pmr::vector<std::int64_t> cell_end_;        // and where its added boxes end
    std::pmr::vector<std::int64_t> cell_of_box_;     // in cell_start_ and cell_end_
    std::pmr::vector<Group> groups_;
};

}  // namespace halvex::kernels
