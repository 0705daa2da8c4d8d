#include "host/aspect_ratio.hpp"

#include <cmath>

namespace halvex::host {

void init_aspect_ratio(const SizeCheckedTransform& transform, Borrowed self, frame::Real aspect_ratio) {
    if (!(aspect_ratio.value > 0.0)) frame::raise(PyExc_ValueError, "Aspect ratio has to be > 0");
    if (std::isinf(aspect_ratio.value)) frame::raise(PyExc_ValueError, "Aspect ratio has to be finite");
    set(self, aspect_ratio_name, aspect_ratio.object);
    transform.forget_input_size(self);
}

Ref side_length(Borrowed length) {
    static const Name round{"round"};
    Ref one = frame::to_python(1);
    Ref side = frame::python::as_int(frame::global(round)(length));
    return frame::python::compare(side, one, Py_GT) ? side : one;
}

void set_window(Borrowed self, Borrowed rows, Borrowed cols, bool width_first, SideFit fit, const Name& height_name,
                const Name& width_name) {
    Ref aspect_ratio = self.attr(aspect_ratio_name);
    auto height_for = [&](Borrowed width) { return frame::python::divide(width, aspect_ratio); };
    auto width_for = [&](Borrowed height) { return frame::python::multiply(height, aspect_ratio); };
    if (width_first) {
        Ref height = fit(height_for(cols), rows);
        Ref width = height ? Ref::borrow(cols) : side_length(width_for(rows));
        if (!height) height = Ref::borrow(rows);
        set(self, width_name, width);
        set(self, height_name, height);
    } else {
        Ref width = fit(width_for(rows), cols);
        Ref height = width ? Ref::borrow(rows) : side_length(height_for(cols));
        if (!width) width = Ref::borrow(cols);
        set(self, height_name, height);
        set(self, width_name, width);
    }
}

}  // namespace halvex::host
