// Module creation, execution and the module-wide state.
//
// The frame is linked into every module separately, so the state below is
// one per module.

#include "frame/module.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace halvex::frame {

namespace {

// Heterogeneous look-up, so that finding an interned name allocates nothing.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct ModuleState {
    ModuleDefinition own_definition{};
    const ModuleDefinition* definition = nullptr;
    PyModuleDef module_def{};
    PyModuleDef_Slot slots[3]{};
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;   // kept for the life of the process
    PyObject* globals = nullptr;  // the module dictionary
    PyObject* builtins = nullptr;
    bool debug = true;
    std::unordered_map<std::string, PyObject*, NameHash, std::equal_to<>> names;  // interned, never released
};

ModuleState state;

PyObject* copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                              bool none_is_missing) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();  // a spec without it leaves the module attribute unset
        return module;
    }
    int status = 0;
    if (!(none_is_missing && value == Py_None)) status = PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return status < 0 ? nullptr : module;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    PyThreadState* thread = PyThreadState_Get();
    std::int64_t current = PyInterpreterState_GetID(thread->interp);
    if (current == -1) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = current;
    } else if (state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    if (!copy_spec_attribute(spec, module, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.definition->short_name);
        return -1;
    }
    try {
        PyObject* globals = check(PyModule_GetDict(module));
        state.builtins = check(PyImport_ImportModule("builtins"));  // kept for the life of the process
        check(PyDict_SetItemString(globals, "__builtins__", state.builtins));

        unsigned long running = Py_Version;
        int major = static_cast<int>((running >> 24) & 0xff), minor = static_cast<int>((running >> 16) & 0xff);
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)
            check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                   "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                   PY_MAJOR_VERSION, PY_MINOR_VERSION, state.definition->qualified_name,
                                   "does not match", major, minor));

        Ref debug = Ref::steal(PyObject_GetAttrString(state.builtins, "__debug__"));
        state.debug = debug.truth();
        state.globals = globals;
        state.module = Py_NewRef(module);

        check(PyDict_SetItemString(globals, "__doc__", to_python(state.definition->doc)));
        ModuleBuilder builder(module, *state.definition);
        state.definition->body(builder);
        builder.set("__test__", Ref::steal(PyDict_New()));
        return 0;
    } catch (const python_error&) {
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    // A failed body leaves the module unusable; forget it so that the error
    // is not masked by the re-initialisation check on a retry.
    Py_CLEAR(state.module);
    state.globals = nullptr;
    return -1;
}

}  // namespace

PyObject* module_init(const ModuleDefinition& module_definition) {
    state.own_definition = module_definition;
    const ModuleDefinition& definition = state.own_definition;
    state.definition = &definition;
    state.slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    state.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
    state.slots[2] = {0, nullptr};
    state.module_def = {
        PyModuleDef_HEAD_INIT,
        definition.short_name,
        definition.doc,
        0,
        nullptr,
        state.slots,
        nullptr,
        nullptr,
        nullptr,
    };
    return PyModuleDef_Init(&state.module_def);
}

Borrowed interned(std::string_view text) {
    auto found = state.names.find(text);
    if (found != state.names.end()) return found->second;
    PyObject* name = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyUnicode_InternInPlace(&name);
    if (PyObject_Hash(name) == -1) {  // hashed once here so that look-ups cannot fail later
        Py_DECREF(name);
        throw python_error();
    }
    state.names.emplace(std::string(text), name);
    return name;
}

Borrowed private_name(std::string_view class_name, std::string_view attribute) {
    const std::size_t first = class_name.find_first_not_of('_');
    if (first == std::string_view::npos) return interned(std::string("__").append(attribute));
    std::string name = "_";
    name.append(class_name.substr(first)).append("__").append(attribute);
    return interned(name);
}

namespace detail {

Ref vectorcall(PyObject* callable, Ref* arguments, std::size_t positional, std::size_t keywords,
               const char* const* keyword_names) {
    PyObject* pointers[16 + 1];
    std::size_t count = positional + keywords;
    if (count > 16) throw std::length_error("too many call arguments");
    for (std::size_t i = 0; i < count; ++i) pointers[i + 1] = arguments[i].get();
    Ref names;
    if (keywords > 0) {
        names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords)));
        for (std::size_t k = 0; k < keywords; ++k)
            PyTuple_SET_ITEM(names.get(), k, Py_NewRef(interned(keyword_names[k]).get()));
    }
    return Ref::steal(
        PyObject_Vectorcall(callable, pointers + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

}  // namespace detail

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw python_error();
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

Ref global(const char* name) { return global(interned(name)); }

bool is_own(const char* name, Body body) { return is_own(interned(name).get(), body); }

bool is_own(PyObject* name, Body body) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value == nullptr) return false;  // the caller then looks it up (and fails) as Python would
    const FunctionObject* function = as_own_function(value);
    return function != nullptr && body_of(*function) == body;
}

bool assertions_enabled() { return state.debug; }

void assertion_failed(const char* message) {
    if (message == nullptr)
        PyErr_SetNone(PyExc_AssertionError);
    else
        PyErr_SetString(PyExc_AssertionError, message);
    throw python_error();
}

// ---------------------------------------------------------------------------

ModuleBuilder::ModuleBuilder(Borrowed module, const ModuleDefinition& definition)
    : module_(module), globals_(PyModule_GetDict(module)), definition_(definition) {
    create_function_type();
}

void ModuleBuilder::import_module(const char* module, const char* as) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    // `import a.b as c` binds the submodule itself.
    set(as, imported);
}

void ModuleBuilder::import_from(const char* module, std::initializer_list<const char*> names) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    for (const char* name : names) set(name, imported.attr(name));
}

void ModuleBuilder::set(const char* name, PyObject* value) { check(PyDict_SetItem(globals_, interned(name), value)); }

Ref ModuleBuilder::evaluate(const char* expression) {
    return Ref::steal(PyRun_String(expression, Py_eval_input, globals_, globals_));
}

Ref ModuleBuilder::make(const Callable& callable) {
    return make_function(callable, globals_, definition_.qualified_name, definition_.source_path);
}

void ModuleBuilder::define(std::span<const Callable> table) {
    for (const Callable& callable : table) {
        Ref function = make(callable);
        check(PyDict_SetItem(globals_, function.attr("__name__"), function));
    }
}

Ref ModuleBuilder::define_class(const char* name, std::initializer_list<const char*> bases, const char* doc,
                                std::span<const Callable> methods,
                                std::initializer_list<std::pair<const char*, const char*>> attributes) {
    Ref written_bases = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t index = 0;
    for (const char* base : bases) PyTuple_SET_ITEM(written_bases.get(), index++, evaluate(base).release());

    Ref types = Ref::steal(PyImport_ImportModule("types"));
    // __mro_entries__ of the bases, then the most derived metaclass and its
    // __prepare__, exactly as a class statement does.
    Ref resolved_bases = types.attr("resolve_bases")(written_bases);
    Ref prepared = types.attr("prepare_class")(name, resolved_bases);
    Ref metaclass = prepared.at(0);
    Ref namespace_ = prepared.at(1);

    check(PyObject_SetItem(namespace_, interned("__module__"), to_python(definition_.qualified_name)));
    check(PyObject_SetItem(namespace_, interned("__qualname__"), to_python(name)));
    check(PyObject_SetItem(namespace_, interned("__doc__"), to_python(doc)));
    if (resolved_bases.get() != written_bases.get())
        check(PyObject_SetItem(namespace_, interned("__orig_bases__"), written_bases));

    for (auto [attribute, expression] : attributes)
        check(PyObject_SetItem(namespace_, interned(attribute), evaluate(expression)));

    for (const Callable& method : methods) {
        Ref function = make(method);
        std::string attribute = function.attr("__name__").to_utf8();
        Borrowed key = attribute.starts_with("__") && !attribute.ends_with("__")
                           ? private_name(name, std::string_view(attribute).substr(2))
                           : interned(attribute);
        Ref value = function;
        switch (method.binding) {
            case Binding::class_method: value = Ref::steal(PyClassMethod_New(function)); break;
            case Binding::static_method: value = Ref::steal(PyStaticMethod_New(function)); break;
            case Binding::property: value = global("property")(function); break;
            case Binding::plain: break;
        }
        check(PyObject_SetItem(namespace_, key, value));
    }
    Ref cls = metaclass(name, resolved_bases, namespace_);
    set(name, cls);
    return cls;
}

}  // namespace halvex::frame
