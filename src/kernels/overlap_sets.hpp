// Overlap between two sets of rotated boxes: all pairs as a matrix, aligned
// pairs, and the sparse list of the pairs that overlap.
//
// Rows (boxes of the first set) are split over threads in blocks; every value
// is computed by `overlap` from its two boxes alone, so neither the thread
// count nor the way candidates are found changes a bit of the result.
#pragma once

#include "kernels/overlap_lanes.hpp"
#include "kernels/overlap_search.hpp"
#include "kernels/parallel.hpp"
#include "kernels/rotated_overlap.hpp"

#include <algorithm>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

namespace halvex::kernels {

// `rows`: count x 5 ORVA values, checked finite with non-negative sizes.
inline std::pmr::vector<PreparedBox> prepare_boxes(
    const double* rows, std::ptrdiff_t count, int threads,
    std::pmr::memory_resource* memory = std::pmr::get_default_resource()) {
    std::pmr::vector<PreparedBox> boxes(static_cast<std::size_t>(count), memory);
    for_each_block(count, block_for(count, threads), threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        prepare_rows(rows + 5 * begin, end - begin, boxes.data() + begin);
    });
    return boxes;
}

// Rough cost of the work on two sets, in the units `thread_count` takes:
// preparing a box costs about 60, a pair from 1 (bounds apart) to 120
// (clipped); 8 a pair is what a scene with a few percent of overlapping
// pairs costs on average.
inline double overlap_work(std::ptrdiff_t first, std::ptrdiff_t second) {
    return 60.0 * static_cast<double>(first + second) + 8.0 * static_cast<double>(first) * static_cast<double>(second);
}

// The search pays off once both sets are more than a handful of boxes;
// below that every pair is tried, its bounds test being the cheaper filter.
inline bool worth_searching(std::ptrdiff_t first, std::ptrdiff_t second) { return first > 16 && second > 16; }

// result[i * second.size() + j] = overlap(first[i], second[j]).  Each row
// is written by the thread of its block, so that the first touch of a large
// result's pages is shared by the threads too.  A row that would read every
// cell of the search (boxes crowded together) writes every column, four at
// a time (`overlap_row`): `overlap` starts with the same bounds test, so the
// values are the same.  The other rows are zeroed, and the pairs whose
// bounds meet are written; those that need clipping are queued and clipped
// four at a time.
inline void overlap_matrix(std::span<const PreparedBox> first, std::span<const PreparedBox> second, OverlapMode mode,
                           int threads, double* result) {
    const auto rows = static_cast<std::ptrdiff_t>(first.size());
    const auto columns = static_cast<std::ptrdiff_t>(second.size());
    if (rows == 0 || columns == 0) return;
    if (!worth_searching(rows, columns)) {
        for_each_block(rows, block_for(rows, threads), threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end; ++i)
                for (std::ptrdiff_t j = 0; j < columns; ++j)
                    result[i * columns + j] =
                        overlap(first[static_cast<std::size_t>(i)], second[static_cast<std::size_t>(j)], mode);
        });
        return;
    }
    const BoxSearch search(second);
    const LazyColumns all_columns(second);
    for_each_block(rows, block_for(rows, threads), threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        OverlapQueue queue(mode, [result](std::ptrdiff_t where, double value) { result[where] = value; });
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const PreparedBox& box = first[static_cast<std::size_t>(i)];
            if (search.reads_all(box)) {
                overlap_row(box, all_columns.get(), mode, result + i * columns);
                continue;
            }
            std::fill(result + i * columns, result + (i + 1) * columns, 0.0);
            search.for_each_candidate(box, [&](std::int64_t j) {
                queue.add(box, second[static_cast<std::size_t>(j)], i * columns + j);
                return false;
            });
        }
        queue.finish();
    });
}

// result[i] = overlap(first[i], second[i]) for rows of ORVA values, the
// boxes prepared a few at a time on the stack.
inline void overlap_aligned(const double* first, const double* second, std::ptrdiff_t count, OverlapMode mode,
                            int threads, double* result) {
    for_each_block(count, block_for(count, threads), threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        constexpr std::ptrdiff_t chunk = 64;
        PreparedBox firsts[chunk], seconds[chunk];
        OverlapQueue queue(mode, [result](std::ptrdiff_t where, double value) { result[where] = value; });
        for (std::ptrdiff_t start = begin; start < end; start += chunk) {
            const std::ptrdiff_t length = std::min(chunk, end - start);
            prepare_rows(first + 5 * start, length, firsts);
            prepare_rows(second + 5 * start, length, seconds);
            for (std::ptrdiff_t k = 0; k < length; ++k) queue.add(firsts[k], seconds[k], start + k);
        }
        queue.finish();
    });
}

// result[i] = overlap(box i of `rows`, other) for rows of ORVA values.
inline void overlap_each(const double* rows, std::ptrdiff_t count, const PreparedBox& other, OverlapMode mode,
                         int threads, double* result) {
    for_each_block(count, block_for(count, threads), threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        constexpr std::ptrdiff_t chunk = 64;
        PreparedBox boxes[chunk];
        OverlapQueue queue(mode, [result](std::ptrdiff_t where, double value) { result[where] = value; });
        for (std::ptrdiff_t start = begin; start < end; start += chunk) {
            const std::ptrdiff_t length = std::min(chunk, end - start);
            prepare_rows(rows + 5 * start, length, boxes);
            for (std::ptrdiff_t k = 0; k < length; ++k) queue.add(boxes[k], other, start + k);
        }
        queue.finish();
    });
}

// The pairs whose value exceeds `min_value`, by first index then second,
// kept as the blocks of rows that found them.
struct OverlapPairs {
    struct Block {
        std::vector<std::int64_t> first, second;
        std::vector<double> values;
    };
    std::vector<Block> blocks;  // in row order

    std::size_t size() const {
        std::size_t total = 0;
        for (const Block& block : blocks) total += block.values.size();
        return total;
    }
};

inline OverlapPairs overlap_pairs(std::span<const PreparedBox> first, std::span<const PreparedBox> second,
                                  OverlapMode mode, double min_value, int threads) {
    const auto rows = static_cast<std::ptrdiff_t>(first.size());
    const auto columns = static_cast<std::ptrdiff_t>(second.size());
    OverlapPairs pairs;
    if (rows == 0 || columns == 0) return pairs;
    const std::ptrdiff_t block = block_for(rows, threads);
    pairs.blocks.resize(static_cast<std::size_t>((rows + block - 1) / block));

    // Values are never negative, so a negative bound takes every pair; a
    // bound of zero or more only pairs whose bounds meet.
    const bool every_pair = !(min_value >= 0.0) || !worth_searching(rows, columns);
    std::vector<BoxSearch> search;  // empty or one
    const LazyColumns all_columns(second);
    if (!every_pair) search.emplace_back(second);
    for_each_block(rows, block, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        OverlapPairs::Block& found = pairs.blocks[static_cast<std::size_t>(begin / block)];
        auto keep = [&](std::int64_t i, std::int64_t j, double value) {
            if (value > min_value) {
                found.first.push_back(i);
                found.second.push_back(j);
                found.values.push_back(value);
            }
        };
        auto consider = [&](std::int64_t i, std::int64_t j) {
            keep(i, j, overlap(first[static_cast<std::size_t>(i)], second[static_cast<std::size_t>(j)], mode));
        };
        if (every_pair) {
            for (std::int64_t i = begin; i < end; ++i)
                for (std::int64_t j = 0; j < columns; ++j) consider(i, j);
            return;
        }
        std::vector<double> row;  // the values of a row that tries every column
        for (std::int64_t i = begin; i < end; ++i) {
            const PreparedBox& box = first[static_cast<std::size_t>(i)];
            if (search.front().reads_all(box)) {
                row.resize(static_cast<std::size_t>(columns));
                overlap_row(box, all_columns.get(), mode, row.data());
                for (std::int64_t j = 0; j < columns; ++j) keep(i, j, row[static_cast<std::size_t>(j)]);
                continue;
            }
            search.front().for_each_candidate(box, [&](std::int64_t j) {
                consider(i, j);
                return false;
            });
        }
        // The search finds a row's pairs in its own order: put them by j.
        std::vector<std::size_t> order(found.values.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return found.first[a] < found.first[b] ||
                   (found.first[a] == found.first[b] && found.second[a] < found.second[b]);
        });
        OverlapPairs::Block sorted;
        sorted.first.reserve(order.size());
        sorted.second.reserve(order.size());
        sorted.values.reserve(order.size());
        for (const std::size_t k : order) {
            sorted.first.push_back(found.first[k]);
            sorted.second.push_back(found.second[k]);
            sorted.values.push_back(found.values[k]);
        }
        found = std::move(sorted);
    });
    return pairs;
}

}  // namespace halvex::kernels
