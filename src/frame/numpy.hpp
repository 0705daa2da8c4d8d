// numpy arrays as seen by the fast paths: which arrays qualify, typed strided
// views on them, and the few allocations the modules need.
#pragma once

#include "frame/ref.hpp"
#include "kernels/strided.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL halvex_numpy_api
#ifndef HALVEX_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace halvex::frame {

// Load numpy's C API; call once from a module body.
void import_numpy_api();

// An exact ndarray (no subclass) whose elements can be read in place.
inline PyArrayObject* plain_array(PyObject* object) {
    if (object == nullptr || !PyArray_CheckExact(object)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (!PyArray_ISALIGNED(array) || !PyArray_ISNBO(PyArray_DESCR(array)->byteorder)) return nullptr;
    return array;
}

inline int type_of(PyArrayObject* array) { return PyArray_TYPE(array); }

inline PyArrayObject* as_array(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

// ---- the element types a fast path reads --------------------------------------

template <class T>
using type_tag = std::type_identity<T>;

template <class... T>
struct ElementTypes {};
using FloatTypes = ElementTypes<double, float>;
using RealTypes = ElementTypes<double, float, std::int64_t, std::int32_t>;
using NumericTypes = ElementTypes<double, float, std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
                                  std::uint16_t, std::uint32_t, std::uint64_t>;

// True when the array's elements are C values of type T: float64 and float32
// for double and float, an integer of T's size and signedness otherwise.
template <class T>
bool holds(PyArrayObject* array) {
    const int type = PyArray_TYPE(array);
    if constexpr (std::is_same_v<T, double>)
        return type == NPY_DOUBLE;
    else if constexpr (std::is_same_v<T, float>)
        return type == NPY_FLOAT;
    else if constexpr (std::is_signed_v<T>)
        return PyTypeNum_ISSIGNED(type) && PyArray_ITEMSIZE(array) == static_cast<npy_intp>(sizeof(T));
    else
        return PyTypeNum_ISUNSIGNED(type) && PyArray_ITEMSIZE(array) == static_cast<npy_intp>(sizeof(T));
}

// Calls visit(type_tag<T>{}) with the first T of `types` that the array's
// elements are, and returns what it returns (true for a visitor that returns
// nothing); false when they are none of them, and the numpy road runs.
template <class... T, class Visitor>
bool with_element_type(PyArrayObject* array, ElementTypes<T...>, Visitor&& visit) {
    bool result = false;
    auto attempt = [&]<class U>(type_tag<U> tag) {
        if (!holds<U>(array)) return false;
        if constexpr (std::is_void_v<decltype(visit(tag))>) {
            visit(tag);
            result = true;
        } else {
            result = visit(tag);
        }
        return true;
    };
    (attempt(type_tag<T>{}) || ...);
    return result;
}

template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>)
        return NPY_DOUBLE;
    else if constexpr (std::is_same_v<T, float>)
        return NPY_FLOAT;
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return NPY_INT64;
    else if constexpr (std::is_same_v<T, std::int32_t>)
        return NPY_INT32;
    else
        static_assert(sizeof(T) == 0, "no numpy type for T");
}

template <class T, int Rank>
kernels::Strided<T, Rank> view(PyArrayObject* array) {
    kernels::Strided<T, Rank> result;
    result.data = static_cast<char*>(PyArray_DATA(array));
    for (int axis = 0; axis < Rank; ++axis) {
        result.shape[axis] = PyArray_DIM(array, axis);
        result.strides[axis] = PyArray_STRIDE(array, axis);
    }
    return result;
}

// The shape and strides of an array of any rank.
inline kernels::StridedLayout layout_of(PyArrayObject* array) {
    kernels::StridedLayout layout;
    layout.rank = PyArray_NDIM(array);
    for (int axis = 0; axis < layout.rank; ++axis) {
        layout.shape[axis] = PyArray_DIM(array, axis);
        layout.strides[axis] = PyArray_STRIDE(array, axis);
    }
    return layout;
}

// Byte range [first, last) that the elements of an array occupy.
struct MemoryExtent {
    const char* first;
    const char* last;
};
MemoryExtent extent_of(PyArrayObject* array);
bool may_overlap(PyArrayObject* a, PyArrayObject* b);
// True when two different index tuples may address the same bytes (for
// example a writable view made with as_strided and a zero stride).
bool has_internal_overlap(PyArrayObject* array);

// An array's shape as Python writes a tuple: "(3, 4)", "(5,)", "()".
std::string shape_text(PyArrayObject* array);

// A new C-contiguous array of the given shape and type.
Ref new_array(std::initializer_list<npy_intp> shape, int type);

}  // namespace halvex::frame
