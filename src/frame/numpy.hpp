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

#include <optional>

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

template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_DOUBLE;
    else if constexpr (std::is_same_v<T, float>) return NPY_FLOAT;
    else if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
    else if constexpr (std::is_same_v<T, std::int32_t>) return NPY_INT32;
    else static_assert(sizeof(T) == 0, "no numpy type for T");
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

// A new C-contiguous array of the given shape and type.
Ref new_array(std::initializer_list<npy_intp> shape, int type);

}  // namespace halvex::frame
