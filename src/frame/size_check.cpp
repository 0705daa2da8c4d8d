#include "frame/size_check.hpp"

#include <string>

namespace halvex::frame {

namespace {

std::string private_name(std::string_view class_name, const char* attribute) {
    return "_" + std::string(class_name.substr(class_name.find_first_not_of('_'))) + "__" + attribute;
}

[[noreturn]] void raise_mismatch(Borrowed self, const char* what, Borrowed given, const char* side, Borrowed stored) {
    Ref type_name = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.get()))).attr("__name__");
    raise(PyExc_NotImplementedError,
          "%s %S does not match expected %s %S. The current version of Albumentations is incompatible with the %S "
          "augmentation.Make sure that you use the recommended version of Albumentations and report this "
          "incompatibility to a Halvex developer.",
          what, given.get(), side, stored.get(), type_name.get());
}

}  // namespace

Ref check_after_update(Call& call) {
    Borrowed self = call[0], rows = call[1], cols = call[2];
    if (rows.is_none() && cols.is_none())
        raise(PyExc_NotImplementedError,
              "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you use "
              "the recommended version of Albumentations and report this incompatibility to a Halvex developer.");
    std::string_view owner = call.owner_class_name();
    Ref height = self.attr(interned(private_name(owner, "last_input_height")));
    if (check(PyObject_RichCompareBool(rows, height, Py_NE))) raise_mismatch(self, "Rows", rows, "height", height);
    Ref width = self.attr(interned(private_name(owner, "last_input_width")));
    if (check(PyObject_RichCompareBool(cols, width, Py_NE))) raise_mismatch(self, "Cols", cols, "width", width);
    return Ref::none();
}

void record_input_size(Borrowed self, const char* class_name, Borrowed params) {
    if (params.is_none()) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    Ref height = Ref::steal(PyNumber_Long(params.item(interned("rows"))));
    self.set_attr(private_name(class_name, "last_input_height").c_str(), height);
    Ref width = Ref::steal(PyNumber_Long(params.item(interned("cols"))));
    self.set_attr(private_name(class_name, "last_input_width").c_str(), width);
}

}  // namespace halvex::frame
