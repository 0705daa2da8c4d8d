#include "frame/operators.hpp"

namespace halvex::frame::python {

std::vector<Ref> unpack(Borrowed iterable, std::size_t expected) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    std::vector<Ref> items;
    for (;;) {
        Ref next = Ref::steal_or_null(PyIter_Next(iterator));
        if (!next) {
            if (PyErr_Occurred()) throw python_error();
            break;
        }
        if (items.size() == expected)
            raise(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(expected));
        items.push_back(std::move(next));
    }
    if (items.size() < expected)
        raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", static_cast<Py_ssize_t>(items.size()),
              items.size() == 1 ? "" : "s");
    return items;
}

}  // namespace halvex::frame::python
