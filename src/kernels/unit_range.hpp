// Rescaling an image's values onto [-1, 1]: the value range of a strided
// array, and one pass that writes
//     clip(((value - lowest) * scale) - 1, -1, 1)
// into a fresh C-ordered buffer.  Each step is rounded to the element type,
// as numpy's in-place ufuncs on an array of that type round them, so the
// results are bit for bit those of the four ufunc calls.
#pragma once

#include "kernels/processor.hpp"
#include "kernels/strided.hpp"

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstring>

namespace halvex::kernels {

// The same elements in the same C order, with as few axes as possible:
// length-1 axes dropped, and an axis merged into the next one when stepping
// over the whole next axis is the same as one step of it.  A view cropped out
// of an H x W x C image becomes H runs of W * C contiguous elements.
inline StridedLayout coalesced(const StridedLayout& layout) {
    StridedLayout result;
    for (int axis = 0; axis < layout.rank; ++axis) {
        if (layout.shape[axis] == 1) continue;
        int last = result.rank - 1;
        if (last >= 0 && result.strides[last] == layout.shape[axis] * layout.strides[axis]) {
            result.shape[last] *= layout.shape[axis];
            result.strides[last] = layout.strides[axis];
        } else {
            result.shape[result.rank] = layout.shape[axis];
            result.strides[result.rank] = layout.strides[axis];
            ++result.rank;
        }
    }
    if (result.rank == 0) {  // a single element
        result.rank = 1;
        result.shape[0] = 1;
        result.strides[0] = 0;
    }
    return result;
}

// visit(first element, count, byte stride) for every run along the last
// axis, in C order.  The layout must have no zero-length axis.
template <class Visit>
void for_each_run(char* data, const StridedLayout& layout, Visit&& visit) {
    const int outer = layout.rank - 1;
    std::array<std::ptrdiff_t, StridedLayout::max_rank> index{};
    for (;;) {
        std::ptrdiff_t offset = 0;
        for (int axis = 0; axis < outer; ++axis) offset += index[axis] * layout.strides[axis];
        visit(data + offset, layout.shape[outer], layout.strides[outer]);
        int axis = outer - 1;
        for (; axis >= 0; --axis) {
            if (++index[axis] < layout.shape[axis]) break;
            index[axis] = 0;
        }
        if (axis < 0) return;
    }
}

template <class T>
struct ValueRange {
    T lowest;
    T highest;
    bool has_nan;  // np.min and np.max are then NaN
};

namespace detail {

template <class T>
struct Lanes;
// One SSE register's worth, which every x86-64 processor has.
template <>
struct Lanes<float> {
    typedef float type __attribute__((vector_size(16)));
    static constexpr int count = 4;
};
template <>
struct Lanes<double> {
    typedef double type __attribute__((vector_size(16)));
    static constexpr int count = 2;
};

// Contiguous run: whole vectors first.  A NaN never wins a comparison, so it
// is tracked on its own.
template <class T>
[[gnu::always_inline]] inline void extend_range_body(const T* values, std::ptrdiff_t count, ValueRange<T>& range) {
    using V = typename Lanes<T>::type;
    constexpr int lanes = Lanes<T>::count;
    // Two registers per step keep two independent chains of comparisons.
    constexpr int step = 2 * lanes;
    std::ptrdiff_t i = 0;
    if (count >= step) {
        V lowest[2], highest[2], value[2];
        std::memcpy(&lowest[0], values, sizeof(V));
        std::memcpy(&lowest[1], values + lanes, sizeof(V));
        highest[0] = lowest[0];
        highest[1] = lowest[1];
        // An ordered comparison with a NaN is false, so (value == value) is
        // all ones exactly for the numbers.
        auto numbers = (lowest[0] == lowest[0]) & (lowest[1] == lowest[1]);
        for (i = step; i + step <= count; i += step) {
            for (int k = 0; k < 2; ++k) {
                std::memcpy(&value[k], values + i + k * lanes, sizeof(V));
                lowest[k] = value[k] < lowest[k] ? value[k] : lowest[k];
                highest[k] = value[k] > highest[k] ? value[k] : highest[k];
                numbers &= value[k] == value[k];
            }
        }
        for (int k = 0; k < 2; ++k)
            for (int lane = 0; lane < lanes; ++lane) {
                if (lowest[k][lane] < range.lowest) range.lowest = lowest[k][lane];
                if (highest[k][lane] > range.highest) range.highest = highest[k][lane];
            }
        for (int lane = 0; lane < lanes; ++lane)
            if (!numbers[lane]) range.has_nan = true;
    }
    for (; i < count; ++i) {
        T value = values[i];
        if (value < range.lowest) range.lowest = value;
        if (value > range.highest) range.highest = value;
        if (value != value) range.has_nan = true;
    }
}

// The contiguous loops are compiled twice, plainly and for AVX2, and the
// processor picks; both do the same IEEE operations in the same order (no
// fused multiply-add), so the results are the same bit for bit.

template <class T>
void extend_range_plain(const T* values, std::ptrdiff_t count, ValueRange<T>& range) {
    extend_range_body(values, count, range);
}
template <class T>
HALVEX_FOR_AVX2 void extend_range_avx2(const T* values, std::ptrdiff_t count, ValueRange<T>& range) {
    extend_range_body(values, count, range);
}
template <class T>
void extend_range(const T* values, std::ptrdiff_t count, ValueRange<T>& range) {
    if (processor_has_avx2())
        extend_range_avx2(values, count, range);
    else
        extend_range_plain(values, count, range);
}

}  // namespace detail

// The value range of a non-empty array.
template <class T>
ValueRange<T> value_range(char* data, const StridedLayout& layout) {
    const StridedLayout runs = coalesced(layout);
    // Start from an element itself, so that no sentinel value can leak out.
    T first;
    std::memcpy(&first, data, sizeof(T));
    ValueRange<T> range{first, first, first != first};
    for_each_run(data, runs, [&](char* start, std::ptrdiff_t count, std::ptrdiff_t stride) {
        if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            detail::extend_range(reinterpret_cast<const T*>(start), count, range);
            return;
        }
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            T value = *reinterpret_cast<const T*>(start + i * stride);
            if (value < range.lowest) range.lowest = value;
            if (value > range.highest) range.highest = value;
            if (value != value) range.has_nan = true;
        }
    });
    return range;
}

template <class T>
inline T unit_range_value(T value, T lowest, T scale) {
    value = value - lowest;
    value = value * scale;
    value = value - T(1);
    value = value < T(-1) ? T(-1) : value;  // a NaN stays NaN, as in np.clip
    value = value > T(1) ? T(1) : value;
    return value;
}

namespace detail {

template <class T>
[[gnu::always_inline]] inline void rescale_run_body(const T* values, std::ptrdiff_t count, T* destination, T lowest,
                                                    T scale) {
    for (std::ptrdiff_t i = 0; i < count; ++i) destination[i] = unit_range_value(values[i], lowest, scale);
}
template <class T>
void rescale_run_plain(const T* values, std::ptrdiff_t count, T* destination, T lowest, T scale) {
    rescale_run_body(values, count, destination, lowest, scale);
}
template <class T>
HALVEX_FOR_AVX2 void rescale_run_avx2(const T* values, std::ptrdiff_t count, T* destination, T lowest, T scale) {
    rescale_run_body(values, count, destination, lowest, scale);
}
template <class T>
void rescale_run(const T* values, std::ptrdiff_t count, T* destination, T lowest, T scale) {
    if (processor_has_avx2())
        rescale_run_avx2(values, count, destination, lowest, scale);
    else
        rescale_run_plain(values, count, destination, lowest, scale);
}

}  // namespace detail

// Writes the rescaled elements of `source` (non-empty) in C order into
// `destination`.  Returns false when the arithmetic raised a floating-point
// exception (overflow, invalid operation, underflow): numpy would have
// reported it under its error state, so the caller redoes the work with
// numpy.  The caller's exception flags are left as they were.
template <class T>
bool rescale_to_unit_range(char* source, const StridedLayout& layout, T* destination, T lowest, T scale) {
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    for_each_run(source, coalesced(layout), [&](char* start, std::ptrdiff_t count, std::ptrdiff_t stride) {
        if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            detail::rescale_run(reinterpret_cast<const T*>(start), count, destination, lowest, scale);
        } else {
            for (std::ptrdiff_t i = 0; i < count; ++i)
                destination[i] = unit_range_value(*reinterpret_cast<const T*>(start + i * stride), lowest, scale);
        }
        destination += count;
    });
    const bool clean = std::fetestexcept(FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW | FE_DIVBYZERO) == 0;
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return clean;
}

}  // namespace halvex::kernels
