// Regrouping flat keypoints per box after a pipeline has reordered them.
//
// Every keypoint carries two text labels: its box (the decimal text of the
// box index) and its role ("center", "top" or "right").  The boxes come out in
// ascending text order of their labels, the order np.unique gives ("0", "1",
// "10", "11", "2", ...), and within a box a role that occurs twice is taken
// from the later keypoint.  A stable sort by label gives both: a radix sort
// in O(N) when every label packs into a 64-bit integer (short labels, as the
// decimal box indices are), a comparison sort in O(N log N) otherwise.
//
// Labels arrive as numpy unicode buffers: fixed-width UCS4 records, padded
// with zeros, any byte stride.  Two labels are equal when their records are;
// order is code-point order with the padding counting as smallest, which is
// numpy's (and Python's) string order.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "strided.hpp"

namespace halvex::kernels {

// A one-dimensional numpy array of dtype '<U{characters_per_label}'; records
// must be 4-byte aligned and in native byte order.
struct UnicodeLabels {
    const char* data = nullptr;
    std::ptrdiff_t count = 0;
    std::ptrdiff_t stride = 0;  // bytes
    std::ptrdiff_t characters_per_label = 0;

    const char32_t* record(std::ptrdiff_t index) const {
        return reinterpret_cast<const char32_t*>(data + index * stride);
    }
    // The label as Python sees it: numpy drops the zero padding.
    std::u32string_view text(std::ptrdiff_t index) const {
        const char32_t* characters = record(index);
        std::ptrdiff_t length = characters_per_label;
        while (length > 0 && characters[length - 1] == U'\0') --length;
        return {characters, static_cast<std::size_t>(length)};
    }
};

enum class KeypointPosition : std::uint8_t { center = 0, top = 1, right = 2, unmatched = 3 };

inline KeypointPosition position_from_label(std::u32string_view label) {
    if (label == U"center") return KeypointPosition::center;
    if (label == U"top") return KeypointPosition::top;
    if (label == U"right") return KeypointPosition::right;
    return KeypointPosition::unmatched;
}

inline constexpr std::ptrdiff_t missing_keypoint = -1;

// One box after regrouping.
struct InstanceKeypoints {
    // A keypoint that carries this box's label (its first one in input
    // order); the caller reads the label text from it, e.g. for int().
    std::ptrdiff_t label_index = 0;
    // Flat keypoint rows of center, top and right; missing_keypoint where the
    // pipeline dropped that role.
    std::array<std::ptrdiff_t, 3> keypoint_index{missing_keypoint, missing_keypoint, missing_keypoint};

    // The role whose absence raises KeyError first (numpy looks them up in
    // the order center, top, right).
    std::optional<KeypointPosition> first_missing_position() const {
        for (int position = 0; position < 3; ++position)
            if (keypoint_index[position] == missing_keypoint) return static_cast<KeypointPosition>(position);
        return std::nullopt;
    }
};

namespace detail {

inline bool labels_equal(const UnicodeLabels& labels, std::ptrdiff_t left, std::ptrdiff_t right) {
    return std::memcmp(labels.record(left), labels.record(right),
                       static_cast<std::size_t>(labels.characters_per_label) * sizeof(char32_t)) == 0;
}

inline bool label_less(const UnicodeLabels& labels, std::ptrdiff_t left, std::ptrdiff_t right) {
    const char32_t* a = labels.record(left);
    const char32_t* b = labels.record(right);
    for (std::ptrdiff_t k = 0; k < labels.characters_per_label; ++k)
        if (a[k] != b[k]) return a[k] < b[k];
    return false;
}

struct LabelOrder {
    std::vector<std::ptrdiff_t> keypoints;     // by (label, index)
    std::vector<std::uint64_t> packed_labels;  // per keypoint; empty when labels do not pack
};

// Keypoint indices ordered by (label, index).  When every code point fits in
// `bits` bits and a whole record in 64, the record packed most significant
// character first is an order-preserving integer key (the zero padding
// packs to zero bits, i.e. sorts first, as it should).
inline LabelOrder keypoints_in_label_order(const UnicodeLabels& labels) {
    const std::ptrdiff_t count = labels.count;
    std::vector<std::ptrdiff_t> order(static_cast<std::size_t>(count));

    char32_t largest_code_point = 0;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const char32_t* characters = labels.record(i);
        for (std::ptrdiff_t k = 0; k < labels.characters_per_label; ++k)
            largest_code_point = std::max(largest_code_point, characters[k]);
    }
    const int bits = std::max(1, static_cast<int>(std::bit_width(static_cast<std::uint32_t>(largest_code_point))));

    const std::ptrdiff_t key_bits = labels.characters_per_label * bits;
    if (key_bits <= 64) {
        std::vector<std::uint64_t> keys(static_cast<std::size_t>(count));
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            const char32_t* characters = labels.record(i);
            std::uint64_t key = 0;
            for (std::ptrdiff_t k = 0; k < labels.characters_per_label; ++k)
                key = (key << bits) | static_cast<std::uint64_t>(characters[k]);
            keys[i] = key;
        }
        // Least-significant-digit radix sort: stable, so equal labels keep
        // their input order, and linear in the number of keypoints.
        for (std::ptrdiff_t i = 0; i < count; ++i) order[i] = i;
        std::vector<std::ptrdiff_t> scratch(static_cast<std::size_t>(count));
        for (std::ptrdiff_t shift = 0; shift < key_bits; shift += 8) {
            std::array<std::ptrdiff_t, 257> bucket_start{};
            for (std::ptrdiff_t i = 0; i < count; ++i) ++bucket_start[((keys[i] >> shift) & 0xff) + 1];
            for (int digit = 0; digit < 256; ++digit) bucket_start[digit + 1] += bucket_start[digit];
            for (const std::ptrdiff_t keypoint : order)
                scratch[bucket_start[(keys[keypoint] >> shift) & 0xff]++] = keypoint;
            order.swap(scratch);
        }
        return {std::move(order), std::move(keys)};
    }

    for (std::ptrdiff_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&labels](std::ptrdiff_t left, std::ptrdiff_t right) { return label_less(labels, left, right); });
    return {std::move(order), {}};
}

template <class PositionOf>
std::vector<InstanceKeypoints> group_in_label_order(const UnicodeLabels& instances, PositionOf position_of) {
    const LabelOrder label_order = keypoints_in_label_order(instances);
    const std::vector<std::ptrdiff_t>& order = label_order.keypoints;
    const bool packed = !label_order.packed_labels.empty();
    const auto same_label = [&](std::ptrdiff_t left, std::ptrdiff_t right) {
        return packed ? label_order.packed_labels[left] == label_order.packed_labels[right]
                      : labels_equal(instances, left, right);
    };
    std::vector<InstanceKeypoints> groups;
    groups.reserve(order.size() / 3 + 1);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::ptrdiff_t keypoint = order[k];
        if (k == 0 || !same_label(order[k - 1], keypoint)) {
            InstanceKeypoints group;
            group.label_index = keypoint;
            groups.push_back(group);
        }
        const KeypointPosition position = position_of(keypoint);
        // Within a label the keypoints come in ascending index order, so a
        // later duplicate overwrites an earlier one.
        if (position != KeypointPosition::unmatched)
            groups.back().keypoint_index[static_cast<int>(position)] = keypoint;
    }
    return groups;
}

}  // namespace detail

// The boxes in label order with their keypoint rows.  The caller checks the
// count against N / 3 and the missing roles (first_missing_position) in the
// order the numpy loop would meet them.  positions holds one role per
// keypoint, classified by the caller from the Python label objects.
inline std::vector<InstanceKeypoints> group_keypoints_by_instance(const UnicodeLabels& instances,
                                                                  std::span<const KeypointPosition> positions) {
    return detail::group_in_label_order(instances,
                                        [positions](std::ptrdiff_t keypoint) { return positions[keypoint]; });
}

// The same, with the roles given as a unicode array as well.
inline std::vector<InstanceKeypoints> group_keypoints_by_instance(const UnicodeLabels& instances,
                                                                  const UnicodeLabels& positions) {
    return detail::group_in_label_order(
        instances, [&positions](std::ptrdiff_t keypoint) { return position_from_label(positions.text(keypoint)); });
}

// int(label) for the plain case: an optional sign and up to 18 ASCII digits.
// Anything else (blanks, underscores, non-ASCII digits, longer numbers,
// invalid text) is left to Python's int(), which decides between a value and
// its ValueError.
inline std::optional<std::int64_t> parse_decimal_label(std::u32string_view label) {
    bool negative = false;
    if (!label.empty() && (label.front() == U'-' || label.front() == U'+')) {
        negative = label.front() == U'-';
        label.remove_prefix(1);
    }
    if (label.empty() || label.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (const char32_t character : label) {
        if (character < U'0' || character > U'9') return std::nullopt;
        value = value * 10 + static_cast<std::int64_t>(character - U'0');
    }
    return negative ? -value : value;
}

// Python's sequence indexing of a row: negative values count from the end.
// nullopt means numpy's IndexError "index {value} is out of bounds for axis 0
// with size {size}".
inline std::optional<std::ptrdiff_t> normalize_row_index(std::int64_t value, std::ptrdiff_t size) {
    const std::int64_t row = value < 0 ? value + static_cast<std::int64_t>(size) : value;
    if (row < 0 || row >= static_cast<std::int64_t>(size)) return std::nullopt;
    return static_cast<std::ptrdiff_t>(row);
}

// sorted_keypoints[i] = keypoints[center, top, right of box i], widened to
// float64.  keypoints: N x 2 of T; sorted_keypoints: U x 3 x 2 float64,
// caller-allocated.  Every box must be complete (first_missing_position()
// empty).
template <class T>
void gather_instance_keypoints(Strided<const T, 2> keypoints, std::span<const InstanceKeypoints> instances,
                               Strided<double, 3> sorted_keypoints) {
    for (std::size_t i = 0; i < instances.size(); ++i)
        for (int position = 0; position < 3; ++position) {
            const std::ptrdiff_t row = instances[i].keypoint_index[position];
            sorted_keypoints(i, position, 0) = static_cast<double>(keypoints(row, 0));
            sorted_keypoints(i, position, 1) = static_cast<double>(keypoints(row, 1));
        }
}

// destination[i] = source[rows[i]] widened to float64, for the per-box arrays
// that travel along (viewed as rows x elements-per-row).  rows are already
// normalized; destination is caller-allocated and does not overlap source.
template <class T>
void gather_rows_as_double(Strided<const T, 2> source, std::span<const std::ptrdiff_t> rows,
                           Strided<double, 2> destination) {
    const std::ptrdiff_t elements_per_row = source.size(1);
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::ptrdiff_t element = 0; element < elements_per_row; ++element)
            destination(i, element) = static_cast<double>(source(rows[i], element));
}

}  // namespace halvex::kernels
