// Scaling of structured-image fields into a channels-last float32 stack.
//
// Each output value is what the element-wise numpy formulation produces when
// every intermediate lands in a float32 buffer:
//
//   integer and float64 fields:  v = float(double(x) - min); v = v * float(factor)
//                           or:  v = float(double(x) * factor)            (min == 0)
//   float32 fields:              v = x - float(min); v = v * float(factor)
//                           or:  v = x * float(factor)                    (min == 0)
//   then                         v = v - 1, optionally clipped to [-1, 1]
//
// Fields are read in place: any byte order, any alignment, any strides.  The
// caller hands over a set of channels sharing one shape; they are filled row
// by row (the last axis), all channels of a row before the next row, so that
// the output row is written while it is still in cache.
#pragma once

#include "kernels/strided.hpp"

#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace halvex::kernels {

enum class ElementKind { signed_integer, unsigned_integer, floating };

// A field's element type as numpy describes it: kind, size and byte order.
struct ElementType {
    ElementKind kind;
    int size;      // bytes: 1, 2, 4, 8 (floating: 4 or 8)
    bool swapped;  // stored in the other byte order than the machine's
};

inline bool covered(ElementType type) {
    if (type.kind == ElementKind::floating) return type.size == 4 || type.size == 8;
    return type.size == 1 || type.size == 2 || type.size == 4 || type.size == 8;
}

// The linear map of one channel: (x - min_value) * factor - 1, maybe clipped.
struct ChannelScaling {
    double min_value = 0.0;
    double factor = 0.0;  // 2 / (max - min), in double precision
    bool clip = false;
    // For one- and two-byte integers on large images: the result for every
    // possible value, indexed by value minus the type's minimum.
    const float* table = nullptr;
};

namespace channel_assembly_detail {

template <class T>
T byte_swapped(T value) {
    if constexpr (sizeof(T) == 1) {
        return value;
    } else {
        using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                        std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
        Bits bits = std::bit_cast<Bits>(value);
        if constexpr (sizeof(T) == 2) bits = __builtin_bswap16(bits);
        if constexpr (sizeof(T) == 4) bits = __builtin_bswap32(bits);
        if constexpr (sizeof(T) == 8) bits = __builtin_bswap64(bits);
        return std::bit_cast<T>(bits);
    }
}

template <class T, bool Swapped>
T load(const char* element) {
    T value;
    std::memcpy(&value, element, sizeof(T));  // fields of packed records are often unaligned
    if constexpr (Swapped) value = byte_swapped(value);
    return value;
}

using RowFunction = void (*)(const char* first, std::ptrdiff_t stride, std::ptrdiff_t count, float* out,
                             std::ptrdiff_t out_step, const ChannelScaling& scaling);

template <class T, bool Swapped, bool SubtractMin, bool Clip>
void scale_row(const char* first, std::ptrdiff_t stride, std::ptrdiff_t count, float* out, std::ptrdiff_t out_step,
               const ChannelScaling& scaling) {
    const float factor32 = static_cast<float>(scaling.factor);
    const float min32 = static_cast<float>(scaling.min_value);
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const T x = load<T, Swapped>(first + i * stride);
        float v;
        if constexpr (std::is_same_v<T, float>) {
            if constexpr (SubtractMin) {
                v = x - min32;
                v = v * factor32;
            } else {
                v = x * factor32;
            }
        } else {
            const double wide = static_cast<double>(x);
            if constexpr (SubtractMin) {
                v = static_cast<float>(wide - scaling.min_value);
                v = v * factor32;
            } else {
                v = static_cast<float>(wide * scaling.factor);
            }
        }
        v = v - 1.0f;
        // Written so that NaN passes through, as np.clip lets it.
        if constexpr (Clip) v = v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
        out[i * out_step] = v;
    }
}

template <class T, bool Swapped>
void table_row(const char* first, std::ptrdiff_t stride, std::ptrdiff_t count, float* out, std::ptrdiff_t out_step,
               const ChannelScaling& scaling) {
    using Unsigned = std::make_unsigned_t<T>;
    constexpr Unsigned bias = static_cast<Unsigned>(std::numeric_limits<T>::min());
    for (std::ptrdiff_t i = 0; i < count; ++i)
        out[i * out_step] =
            scaling.table[static_cast<Unsigned>(static_cast<Unsigned>(load<T, Swapped>(first + i * stride)) - bias)];
}

inline void zero_row(const char*, std::ptrdiff_t, std::ptrdiff_t count, float* out, std::ptrdiff_t out_step,
                     const ChannelScaling&) {
    for (std::ptrdiff_t i = 0; i < count; ++i) out[i * out_step] = 0.0f;
}

template <class T, bool Swapped>
RowFunction scale_row_for(const ChannelScaling& scaling) {
    const bool subtract = scaling.min_value != 0.0;
    if (subtract) return scaling.clip ? scale_row<T, Swapped, true, true> : scale_row<T, Swapped, true, false>;
    return scaling.clip ? scale_row<T, Swapped, false, true> : scale_row<T, Swapped, false, false>;
}

template <class T>
RowFunction scale_row_for(const ChannelScaling& scaling, bool swapped) {
    return swapped ? scale_row_for<T, true>(scaling) : scale_row_for<T, false>(scaling);
}

// Visit every element type the kernels cover with its C++ type.
template <class Visitor>
decltype(auto) with_element_type(ElementType type, Visitor&& visit) {
    switch (type.kind) {
        case ElementKind::signed_integer:
            switch (type.size) {
                case 1: return visit(std::int8_t{});
                case 2: return visit(std::int16_t{});
                case 4: return visit(std::int32_t{});
                default: return visit(std::int64_t{});
            }
        case ElementKind::unsigned_integer:
            switch (type.size) {
                case 1: return visit(std::uint8_t{});
                case 2: return visit(std::uint16_t{});
                case 4: return visit(std::uint32_t{});
                default: return visit(std::uint64_t{});
            }
        default:
            if (type.size == 4) return visit(float{});
            return visit(double{});
    }
}

}  // namespace channel_assembly_detail

// One channel of the stack: where its field sits and how it is scaled.
struct ChannelPass {
    const char* data = nullptr;
    const std::ptrdiff_t* strides = nullptr;  // bytes, one per axis of the shared shape
    ElementType type{ElementKind::floating, 4, false};
    ChannelScaling scaling;
    bool zero = false;         // every value 0.0 (equal or inverted bounds)
    std::ptrdiff_t index = 0;  // output channel
    // Set when the arithmetic raised a floating-point exception (overflow,
    // invalid operation, underflow, division by zero); numpy would have
    // reported it, so the caller redoes the channel the numpy way.
    bool raised = false;
};

constexpr int floating_point_exceptions = FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW | FE_DIVBYZERO;

// Fill `output` (C-contiguous, shape + (channel_count,)) for every pass.
// After each output row is complete it is copied into `mirror` (same layout)
// when one is given, which spares a second sweep over the whole stack.
inline void assemble_channels(const std::ptrdiff_t* shape, int rank, std::vector<ChannelPass>& passes, float* output,
                              std::ptrdiff_t channel_count, float* mirror) {
    using namespace channel_assembly_detail;
    std::ptrdiff_t elements = 1;
    for (int axis = 0; axis < rank; ++axis) elements *= shape[axis];
    if (elements == 0) return;
    const std::ptrdiff_t row_length = rank > 0 ? shape[rank - 1] : 1;
    const int outer_rank = rank > 0 ? rank - 1 : 0;

    std::vector<RowFunction> rows(passes.size());
    std::vector<std::vector<float>> tables(passes.size());
    for (std::size_t c = 0; c < passes.size(); ++c) {
        ChannelPass& pass = passes[c];
        rows[c] = pass.zero ? zero_row : with_element_type(pass.type, [&](auto element) {
            return scale_row_for<decltype(element)>(pass.scaling, pass.type.swapped);
        });
        if (pass.zero || pass.type.kind == ElementKind::floating || pass.type.size > 2 ||
            elements < (std::ptrdiff_t{2} << (8 * pass.type.size)))
            continue;
        // The table holds exactly what the row function gives for each value;
        // a table whose making raised an exception is not used, so that the
        // sweep still notices which values of the image raise.
        with_element_type(pass.type, [&](auto element) {
            using T = decltype(element);
            if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
                constexpr std::size_t size = std::size_t{1} << (8 * sizeof(T));
                std::vector<T> values(size);
                for (std::size_t v = 0; v < size; ++v)
                    values[v] = static_cast<T>(static_cast<std::make_unsigned_t<T>>(v) +
                                               static_cast<std::make_unsigned_t<T>>(std::numeric_limits<T>::min()));
                tables[c].resize(size);
                std::feclearexcept(floating_point_exceptions);
                scale_row_for<T, false>(pass.scaling)(reinterpret_cast<const char*>(values.data()), sizeof(T),
                                                      static_cast<std::ptrdiff_t>(size), tables[c].data(), 1,
                                                      pass.scaling);
                if (std::fetestexcept(floating_point_exceptions)) return;
                pass.scaling.table = tables[c].data();
                rows[c] = pass.type.swapped ? table_row<T, true> : table_row<T, false>;
            }
        });
    }

    std::vector<std::ptrdiff_t> index(static_cast<std::size_t>(outer_rank), 0);
    std::vector<std::ptrdiff_t> offsets(passes.size(), 0);  // byte offset of the current row per channel
    const std::ptrdiff_t row_floats = row_length * channel_count;
    float* out_row = output;
    float* mirror_row = mirror;
    std::feclearexcept(floating_point_exceptions);
    for (std::ptrdiff_t row = 0, row_count = elements / row_length; row < row_count; ++row) {
        for (std::size_t c = 0; c < passes.size(); ++c) {
            ChannelPass& pass = passes[c];
            const std::ptrdiff_t stride = rank > 0 ? pass.strides[rank - 1] : 0;
            rows[c](pass.data + offsets[c], stride, row_length, out_row + pass.index, channel_count, pass.scaling);
            if (std::fetestexcept(floating_point_exceptions)) {
                pass.raised = true;
                std::feclearexcept(floating_point_exceptions);
            }
        }
        if (mirror_row != nullptr) {
            std::memcpy(mirror_row, out_row, static_cast<std::size_t>(row_floats) * sizeof(float));
            mirror_row += row_floats;
        }
        out_row += row_floats;
        // Odometer over the outer axes, moving every channel's row offset.
        for (int axis = outer_rank - 1; axis >= 0; --axis) {
            const std::size_t a = static_cast<std::size_t>(axis);
            if (++index[a] < shape[axis]) {
                for (std::size_t c = 0; c < passes.size(); ++c) offsets[c] += passes[c].strides[axis];
                break;
            }
            for (std::size_t c = 0; c < passes.size(); ++c) offsets[c] -= passes[c].strides[axis] * (shape[axis] - 1);
            index[a] = 0;
        }
    }
}

// Smallest and largest value of a field, as np.min / np.max give them for a
// field without NaN.
struct FieldBounds {
    double min_value = 0.0;
    double max_value = 0.0;
    bool has_nan = false;
};

inline FieldBounds field_bounds(const char* data, const StridedLayout& layout, ElementType type) {
    using namespace channel_assembly_detail;
    const int rank = layout.rank;
    const std::ptrdiff_t* shape = layout.shape.data();
    const std::ptrdiff_t* strides = layout.strides.data();
    return with_element_type(type, [&](auto element) {
        using T = decltype(element);
        auto scan = [&]<bool Swapped>() {
            FieldBounds bounds;
            T low{}, high{};
            bool first = true;
            std::vector<std::ptrdiff_t> index(static_cast<std::size_t>(rank), 0);
            std::ptrdiff_t elements = 1;
            for (int axis = 0; axis < rank; ++axis) elements *= shape[axis];
            std::ptrdiff_t offset = 0;
            for (std::ptrdiff_t n = 0; n < elements; ++n) {
                const T x = load<T, Swapped>(data + offset);
                if constexpr (std::is_floating_point_v<T>) {
                    if (std::isnan(x)) {
                        bounds.has_nan = true;
                        return bounds;
                    }
                }
                if (first || x < low) low = x;
                if (first || x > high) high = x;
                first = false;
                for (int axis = rank - 1; axis >= 0; --axis) {
                    const std::size_t a = static_cast<std::size_t>(axis);
                    if (++index[a] < shape[axis]) {
                        offset += strides[axis];
                        break;
                    }
                    offset -= strides[axis] * (shape[axis] - 1);
                    index[a] = 0;
                }
            }
            bounds.min_value = static_cast<double>(low);
            bounds.max_value = static_cast<double>(high);
            return bounds;
        };
        return type.swapped ? scan.template operator()<true>() : scan.template operator()<false>();
    });
}

}  // namespace halvex::kernels
