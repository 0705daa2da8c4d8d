// Typed views on strided memory, the currency of every kernel.
//
// Strides are in bytes, exactly as numpy reports them, so any view of an
// array (sliced, axis-swapped, Fortran order, negative strides) is described
// without copying.  The callers guarantee alignment and native byte order;
// nothing here knows about Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halvex::kernels {

template <class T, int Rank>
struct Strided {
    char* data = nullptr;
    std::array<std::ptrdiff_t, Rank> shape{};
    std::array<std::ptrdiff_t, Rank> strides{};  // bytes

    template <class... Index>
    T& operator()(Index... index) const {
        static_assert(sizeof...(Index) == Rank, "one index per axis");
        const std::ptrdiff_t idx[] = {static_cast<std::ptrdiff_t>(index)...};
        std::ptrdiff_t offset = 0;
        for (int axis = 0; axis < Rank; ++axis) offset += idx[axis] * strides[axis];
        return *reinterpret_cast<T*>(data + offset);
    }

    std::ptrdiff_t size(int axis) const { return shape[axis]; }

    // The rows [begin, end) of the first axis, as a view of the same memory.
    Strided rows(std::ptrdiff_t begin, std::ptrdiff_t end) const {
        Strided part = *this;
        part.data += begin * strides[0];
        part.shape[0] = end - begin;
        return part;
    }
};

// An array of any rank as numpy describes it: shape and byte strides, for the
// kernels that walk arrays whose rank is only known at run time.
struct StridedLayout {
    static constexpr int max_rank = 64;
    int rank = 0;
    std::array<std::ptrdiff_t, max_rank> shape{};
    std::array<std::ptrdiff_t, max_rank> strides{};  // bytes
};

}  // namespace halvex::kernels
