#include "host/size_check.hpp"

namespace halvex::host {

namespace {

[[noreturn]] void raise_mismatch(Borrowed self, const char* what, Borrowed given, const char* side, Borrowed stored) {
    Ref type_name = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.get()))).attr("__name__");
    frame::raise(PyExc_NotImplementedError,
                 "%s %S does not match expected %s %S. The current version of Albumentations is incompatible with "
                 "the %S augmentation.Make sure that you use the recommended version of Albumentations and report "
                 "this incompatibility to a Halvex developer.",
                 what, given.get(), side, stored.get(), type_name.get());
}

}  // namespace

Ref check_after_update(frame::Call& call, Borrowed self, Borrowed rows, Borrowed cols, Kwargs) {
    if (rows.is_none() && cols.is_none())
        frame::raise(PyExc_NotImplementedError,
                     "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you "
                     "use the recommended version of Albumentations and report this incompatibility to a Halvex "
                     "developer.");
    std::string_view owner = call.owner_class_name();
    Ref height = self.attr(frame::private_name(owner, "last_input_height"));
    if (frame::python::compare(rows, height, Py_NE)) raise_mismatch(self, "Rows", rows, "height", height);
    Ref width = self.attr(frame::private_name(owner, "last_input_width"));
    if (frame::python::compare(cols, width, Py_NE)) raise_mismatch(self, "Cols", cols, "width", width);
    return Ref::none();
}

Ref SizeCheckedTransform::define(frame::ModuleBuilder& module, std::initializer_list<const char*> bases,
                                 const char* doc, std::span<const frame::Callable> methods) {
    Ref cls = TransformClass::define(module, bases, doc, methods);
    // The class dictionary holds the method under its private name.
    own_check_ = Ref::steal(PyObject_GetItem(cls.attr("__dict__"), method_name_));
    return cls;
}

void SizeCheckedTransform::forget_input_size(Borrowed self) const {
    Ref zero = frame::to_python(0);
    set(self, height_name_, zero);
    set(self, width_name_, zero);
}

void SizeCheckedTransform::record_input_size(Borrowed self, Borrowed params) const {
    if (params.is_none()) frame::raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    set(self, height_name_, frame::python::as_int(params.item(names::rows)));
    set(self, width_name_, frame::python::as_int(params.item(names::cols)));
}

// The check runs for every image, box and keypoint, so while the method is
// still the class's own, sizes that plainly match (ints equal to the stored
// ones) pass here without the call; everything else goes through the method,
// which raises the documented errors.
void SizeCheckedTransform::run_size_check(Borrowed self, const Kwargs& kwargs) const {
    Ref method = self.attr(method_name_);
    if (PyMethod_Check(method.get()) && PyMethod_GET_FUNCTION(method.get()) == own_check_.get() &&
        PyMethod_GET_SELF(method.get()) == self.get()) {
        Borrowed rows = kwargs.get(names::rows), cols = kwargs.get(names::cols);
        if (rows && cols && PyLong_CheckExact(rows.get()) && PyLong_CheckExact(cols.get())) {
            Ref height = last_height(self);
            Ref width = last_width(self);
            // The comparisons the method makes, so that the outcome is the same.
            if (!frame::python::compare(rows, height, Py_NE) && !frame::python::compare(cols, width, Py_NE)) return;
        }
    }
    frame::call_with(method, Ref::steal(PyTuple_New(0)), kwargs.dict());
}

Ref SizeCheckedTransform::checked_base_call(Borrowed self, Borrowed method, Borrowed argument,
                                            const Kwargs& kwargs) const {
    run_size_check(self, kwargs);
    return call_base(self, method, {argument}, kwargs);
}

}  // namespace halvex::host
