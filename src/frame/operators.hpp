// Python's operators and small statements as C++ calls, for the code that
// follows a Python formulation step by step (the numpy roads, the transforms'
// arithmetic on whatever numbers the caller passed).  Each does what the
// Python expression in its comment does, with Python's own errors.
//
// They live in frame::python, outside argument-dependent look-up on Ref and
// Borrowed, so that a module's own helpers of the same names do not clash
// with them; a module that uses them says `using namespace frame::python`.
#pragma once

#include "frame/ref.hpp"

#include <initializer_list>
#include <vector>

namespace halvex::frame::python {

inline Ref number(Py_ssize_t value) { return to_python(value); }

inline Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }               // a + b
inline Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }     // a - b
inline Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }     // a * b
inline Ref divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }     // a / b
inline Ref remainder(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Remainder(a, b)); }   // a % b
inline Ref power(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }  // a ** b
inline Ref negative(Borrowed a) { return Ref::steal(PyNumber_Negative(a)); }                    // -a
inline Ref bitwise_and(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_And(a, b)); }       // a & b
inline Ref as_int(Borrowed a) { return Ref::steal(PyNumber_Long(a)); }                          // int(a)
inline Ref as_float(Borrowed a) { return Ref::steal(PyNumber_Float(a)); }                       // float(a)

// left <op> right as a condition, op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT,
// Py_GE.  Identical objects compare equal without asking them, as `in` and
// list.index do.
inline bool compare(Borrowed left, Borrowed right, int operation) {
    return check(PyObject_RichCompareBool(left, right, operation)) != 0;
}
inline bool less(Borrowed left, Borrowed right) { return compare(left, right, Py_LT); }

// left <op> right as an object: an array of booleans for arrays.
inline Ref compared(Borrowed left, Borrowed right, int operation) {
    return Ref::steal(PyObject_RichCompare(left, right, operation));
}

// `left == right` as an if statement sees it: no identity shortcut, and the
// truth test of whatever __eq__ returned.
inline bool python_equal(Borrowed left, Borrowed right) { return compared(left, right, Py_EQ).truth(); }

// ---- indexing ---------------------------------------------------------------

inline Ref slice(PyObject* start, PyObject* stop, PyObject* step) { return Ref::steal(PySlice_New(start, stop, step)); }
// `:`, made once (slices are immutable).
inline Borrowed all_of_axis() {
    static const Retained whole = [] {
        Retained made;
        made = slice(Py_None, Py_None, Py_None);
        return made;
    }();
    return whole;
}
inline Ref up_to(Py_ssize_t stop) { return slice(Py_None, number(stop), Py_None); }  // :stop
inline Ref from_to(Py_ssize_t start, Py_ssize_t stop) {
    return slice(number(start), number(stop), Py_None);
}  // start:stop

// array[first, second, ...]
inline Ref subscript(Borrowed array, std::initializer_list<Borrowed> index) { return array.item(tuple_of(index)); }
// array[first, second, ...] = value
inline void assign(Borrowed array, std::initializer_list<Borrowed> index, Borrowed value) {
    check(PyObject_SetItem(array, tuple_of(index), value));
}
// target[key] = value
inline void set_item(Borrowed target, Borrowed key, Borrowed value) { check(PyObject_SetItem(target, key, value)); }

inline Ref shape_of(Borrowed array) { return array.attr("shape"); }

// ---- statements ---------------------------------------------------------------

// for item in iterable: visit(item)
template <class Visit>
void for_each(Borrowed iterable, Visit&& visit) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator))) visit(Borrowed(item));
    if (PyErr_Occurred()) throw python_error();
}

// `a, b, c = iterable`; a wrong count raises ValueError.
std::vector<Ref> unpack(Borrowed iterable, std::size_t expected);

}  // namespace halvex::frame::python
