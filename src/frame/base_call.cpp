#include "frame/base_call.hpp"

#include "frame/module.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace halvex::frame {

namespace {

// What super(cls, self) would find for `name`: the first entry in the class
// dictionaries that follow `cls` in type(self).__mro__.  Null when `cls` is
// not in that order or no class has the name.
PyObject* find_after(Borrowed cls, Borrowed self, Borrowed name) {
    PyObject* order = Py_TYPE(self.get())->tp_mro;
    if (order == nullptr) return nullptr;
    const Py_ssize_t length = PyTuple_GET_SIZE(order);
    Py_ssize_t i = 0;
    while (i < length && PyTuple_GET_ITEM(order, i) != cls.get()) ++i;
    for (++i; i < length; ++i) {
        Ref dictionary = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(order, i))));
        PyObject* found = PyDict_GetItemWithError(dictionary, name);
        if (found != nullptr) return found;  // the class in the order keeps it alive
        if (PyErr_Occurred()) throw python_error();
    }
    return nullptr;
}

// super(cls, self), `super` being the module-level name (the builtin unless rebound).
Ref super_of(Borrowed super, Borrowed cls, Borrowed self) {
    PyObject* arguments[] = {cls.get(), self.get()};
    return Ref::steal(PyObject_Vectorcall(super, arguments, 2, nullptr));
}

const Name super_name{"super"};

}  // namespace

// The plain Python function that super(cls, self).name would bind, or null
// when super() has to be asked (see call_base).
Ref base_function(Borrowed super, Borrowed cls, Borrowed self, Borrowed name) {
    if (super.get() != reinterpret_cast<PyObject*>(&PySuper_Type) || PyType_Check(self.get())) return {};
    Ref function = Ref::borrow(find_after(cls, self, name));
    return function && PyFunction_Check(function.get()) ? function : Ref();
}

constexpr std::size_t most_arguments = 3;

Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments,
              Borrowed keywords) {
    Ref super = global(super_name);
    if (arguments.size() <= most_arguments) {
        if (Ref function = base_function(super, cls, self, name)) {
            std::array<PyObject*, most_arguments + 1> stack{self.get()};
            std::size_t count = 1;
            for (Borrowed argument : arguments) stack[count++] = argument.get();
            return Ref::steal(PyObject_VectorcallDict(function, stack.data(), count, keywords.get()));
        }
    }
    Ref method = super_of(super, cls, self).attr(name);
    return call_with(method, tuple_of(arguments), keywords);
}

Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments, const Call& call,
              std::size_t kwargs_index) {
    return call_base(cls, self, name, arguments, Kwargs(call, kwargs_index));
}

Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments,
              const Kwargs& kwargs) {
    const std::optional<Call::Keywords> passed = kwargs.passed();
    if (!passed || arguments.size() > most_arguments) return call_base(cls, self, name, arguments, kwargs.dict());
    Ref super = global(super_name);
    Ref function = base_function(super, cls, self, name);
    if (!function) return call_base(cls, self, name, arguments, kwargs.dict());
    const Py_ssize_t keyword_count = passed->names ? PyTuple_GET_SIZE(passed->names) : 0;
    const std::size_t total = 1 + arguments.size() + static_cast<std::size_t>(keyword_count);
    std::array<PyObject*, 16> small;
    std::vector<PyObject*> large;
    PyObject** stack = small.data();
    if (total > small.size()) {
        large.resize(total);
        stack = large.data();
    }
    std::size_t count = 0;
    stack[count++] = self.get();
    for (Borrowed argument : arguments) stack[count++] = argument.get();
    std::copy(passed->values, passed->values + keyword_count, stack + count);
    return Ref::steal(PyObject_Vectorcall(function, stack, count, passed->names));
}

Ref base_attribute(Borrowed cls, Borrowed self, Borrowed name) {
    return super_of(global(super_name), cls, self).attr(name);
}

Ref expect_type(Ref result, PyTypeObject* type, bool none_allowed) {
    if (Py_TYPE(result.get()) != type && !(none_allowed && result.is_none()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(result.get())->tp_name);
    return result;
}

}  // namespace halvex::frame
