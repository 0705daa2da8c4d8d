#define HALVEX_NUMPY_IMPORT
#include "frame/numpy.hpp"

#include <algorithm>
#include <vector>

namespace halvex::frame {

void import_numpy_api() {
    if (PyArray_ImportNumPyAPI() < 0) throw python_error();
}

MemoryExtent extent_of(PyArrayObject* array) {
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    npy_intp low = 0, high = 0;
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        npy_intp dimension = PyArray_DIM(array, axis);
        if (dimension == 0) return {base, base};
        npy_intp reach = (dimension - 1) * PyArray_STRIDE(array, axis);
        (reach < 0 ? low : high) += reach;
    }
    return {base + low, base + high + PyArray_ITEMSIZE(array)};
}

bool may_overlap(PyArrayObject* a, PyArrayObject* b) {
    MemoryExtent x = extent_of(a), y = extent_of(b);
    if (x.first == x.last || y.first == y.last) return false;
    return x.first < y.last && y.first < x.last;
}

bool has_internal_overlap(PyArrayObject* array) {
    // Sorted by stride magnitude, each axis must step over everything the
    // faster axes cover; that is sufficient for distinct addresses.
    std::vector<std::pair<npy_intp, npy_intp>> axes;  // (|stride|, dimension)
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        npy_intp dimension = PyArray_DIM(array, axis);
        if (dimension == 0) return false;
        if (dimension > 1) axes.emplace_back(std::abs(PyArray_STRIDE(array, axis)), dimension);
    }
    std::sort(axes.begin(), axes.end());
    npy_intp covered = PyArray_ITEMSIZE(array);
    for (auto [stride, dimension] : axes) {
        if (stride < covered) return true;
        covered = stride * (dimension - 1) + covered;
    }
    return false;
}

Ref new_array(std::initializer_list<npy_intp> shape, int type) {
    return Ref::steal(PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), type));
}

std::string shape_text(PyArrayObject* array) {
    std::string text = "(";
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        if (axis > 0) text += ", ";
        text += std::to_string(PyArray_DIM(array, axis));
    }
    return text + (PyArray_NDIM(array) == 1 ? ",)" : ")");
}

}  // namespace halvex::frame
