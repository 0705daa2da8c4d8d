#include "frame/threads.hpp"

#include "frame/ref.hpp"

#include <climits>

namespace halvex::frame {

int thread_cap() {
    Ref package = Ref::steal(PyImport_ImportModule("halvex"));
    Ref cap = package.attr("_num_threads");
    const long value = PyLong_AsLong(cap);
    if (value == -1 && PyErr_Occurred()) throw python_error();
    return value < 1 ? 1 : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace halvex::frame
