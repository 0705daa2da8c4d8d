#include "frame/size_check.hpp"

#include <string>
#include <unordered_map>
#include <utility>

namespace halvex::frame {

namespace {

// `_<Class>__<attribute>`, interned.  Class names come from table rows and
// attributes from literals, both stable for the life of the process, so
// their addresses key a cache and the name is built once.
Borrowed private_name(std::string_view class_name, const char* attribute) {
    struct KeyHash {
        std::size_t operator()(const std::pair<const char*, const char*>& key) const {
            return std::hash<const char*>{}(key.first) * 31 + std::hash<const char*>{}(key.second);
        }
    };
    static std::unordered_map<std::pair<const char*, const char*>, PyObject*, KeyHash> cache;
    auto key = std::make_pair(class_name.data(), attribute);
    if (auto found = cache.find(key); found != cache.end()) return found->second;
    std::string name =
        "_" + std::string(class_name.substr(class_name.find_first_not_of('_'))) + "__" + attribute;
    Borrowed result = interned(name);
    cache.emplace(key, result.get());
    return result;
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
    Ref height = self.attr(private_name(owner, "last_input_height"));
    if (check(PyObject_RichCompareBool(rows, height, Py_NE))) raise_mismatch(self, "Rows", rows, "height", height);
    Ref width = self.attr(private_name(owner, "last_input_width"));
    if (check(PyObject_RichCompareBool(cols, width, Py_NE))) raise_mismatch(self, "Cols", cols, "width", width);
    return Ref::none();
}

SizeCheck size_check_of(const char* class_name, Borrowed cls) {
    SizeCheck result{private_name(class_name, "check_after_update"), private_name(class_name, "last_input_height"),
                     private_name(class_name, "last_input_width"), {}};
    // The class dictionary holds the method under its private name.
    result.own = Ref::steal(PyObject_GetItem(cls.attr("__dict__"), result.method_name));
    return result;
}

void run_size_check(const Call& call, std::size_t kwargs_index, const SizeCheck& size_check) {
    Borrowed self = call[0];
    Ref method = self.attr(size_check.method_name);
    if (PyMethod_Check(method.get()) && PyMethod_GET_FUNCTION(method.get()) == size_check.own.get() &&
        PyMethod_GET_SELF(method.get()) == self.get()) {
        static PyObject* const rows_name = interned("rows").get();
        static PyObject* const cols_name = interned("cols").get();
        Borrowed rows = call.keyword(rows_name), cols = call.keyword(cols_name);
        if (rows && cols && PyLong_CheckExact(rows.get()) && PyLong_CheckExact(cols.get())) {
            Ref height = self.attr(size_check.height_name);
            Ref width = self.attr(size_check.width_name);
            // The comparisons the method makes, so that the outcome is the same.
            if (!check(PyObject_RichCompareBool(rows, height, Py_NE)) &&
                !check(PyObject_RichCompareBool(cols, width, Py_NE)))
                return;
        }
    }
    call_with(method, Ref::steal(PyTuple_New(0)), call[kwargs_index]);
}

void record_input_size(Borrowed self, const char* class_name, Borrowed params) {
    if (params.is_none()) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    Ref height = Ref::steal(PyNumber_Long(params.item(interned("rows"))));
    check(PyObject_SetAttr(self, private_name(class_name, "last_input_height"), height));
    Ref width = Ref::steal(PyNumber_Long(params.item(interned("cols"))));
    check(PyObject_SetAttr(self, private_name(class_name, "last_input_width"), width));
}

}  // namespace halvex::frame
