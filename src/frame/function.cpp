// The function object: argument binding and conversion, the attributes
// Python code expects of a function, and the error boundary.  Signature lines
// are parsed in signature.cpp.

#include "frame/function.hpp"

#include "frame/module.hpp"

#include <structmember.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace halvex::frame {

void raise(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw python_error();
}

// ---------------------------------------------------------------------------
// The function object
// ---------------------------------------------------------------------------

// What the frame keeps per function beyond the Python-visible attributes.
struct FunctionData {
    Signature signature;
    Body body;
    std::vector<Ref> defaults;  // per parameter; null where there is none
    std::size_t required_positional = 0;
    std::string source_path;
    std::string qualified_name;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weak_references;
    PyObject* name;
    PyObject* qualified_name;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* defaults;     // what __defaults__ shows
    PyObject* kw_defaults;  // what __kwdefaults__ shows
    FunctionData* data;
    PyObject* prototype;  // a closure shares its prototype's data and keeps it alive
    PyObject* captured;   // a closure's captured values (a tuple), else NULL
};

namespace {

PyTypeObject* the_function_type = nullptr;

[[noreturn]] void raise_positional_count(const FunctionData& data, Py_ssize_t given) {
    const Signature& signature = data.signature;
    Py_ssize_t minimum = static_cast<Py_ssize_t>(data.required_positional);
    Py_ssize_t maximum = static_cast<Py_ssize_t>(signature.positional_count);
    bool exact = minimum == maximum && signature.var_positional < 0;
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < minimum) {
        expected = minimum;
        more_or_less = "at least";
    } else {
        expected = maximum;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name.c_str(),
          more_or_less, expected, expected == 1 ? "" : "s", given);
}

[[noreturn]] void raise_incorrect_type(const Parameter& parameter, const char* expected, PyObject* given,
                                       bool is_subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name.c_str(), expected, Py_TYPE(given)->tp_name);
    if (is_subclass) {
        PyObject* exception = PyErr_GetRaisedException();
        PyObject* note = PyUnicode_FromFormat(
            "Parameters typed with a builtin type reject its subclasses, which is stricter than "
            "PEP 484: pass an exact '%.200s' for '%.200s'.",
            expected, parameter.name.c_str());
        if (note != nullptr) {
            PyObject* added = PyObject_CallMethod(exception, "add_note", "O", note);
            Py_XDECREF(added);
            Py_DECREF(note);
        }
        if (PyErr_Occurred()) {
            Py_DECREF(exception);  // the note failed; report that instead
        } else {
            PyErr_SetRaisedException(exception);
        }
    }
    throw python_error();
}

// Convert a bound argument according to its declared type word.
void convert(const Parameter& parameter, Ref& value, double& real) {
    PyObject* object = value.get();
    if (parameter.type == TypeWord::none) return;
    if (object == Py_None && parameter.accepts_none) return;
    switch (parameter.type) {
        case TypeWord::double_:
            real = Borrowed(object).to_double();
            if (!PyFloat_CheckExact(object)) value = to_python(real);
            return;
        case TypeWord::int_:
            if (PyLong_CheckExact(object)) return;
            if (!PyNumber_Check(object)) raise_incorrect_type(parameter, "int", object, false);
            value = Ref::steal(PyNumber_Long(object));
            return;
        case TypeWord::bool_: value = Ref::boolean(Borrowed(object).truth()); return;
        default: break;
    }
    PyTypeObject* expected = nullptr;
    switch (parameter.type) {
        case TypeWord::list: expected = &PyList_Type; break;
        case TypeWord::dict: expected = &PyDict_Type; break;
        case TypeWord::tuple: expected = &PyTuple_Type; break;
        case TypeWord::str: expected = &PyUnicode_Type; break;
        case TypeWord::float_: expected = &PyFloat_Type; break;
        default: return;
    }
    if (Py_TYPE(object) != expected)
        raise_incorrect_type(parameter, expected->tp_name, object, PyObject_TypeCheck(object, expected));
    if (parameter.type == TypeWord::float_) real = PyFloat_AS_DOUBLE(object);
}

// The index of the named parameter (not *args or **kwargs) called `keyword`,
// or the parameter count.  Keywords are nearly always interned, so a first
// pass compares pointers only.
std::size_t parameter_named(const Signature& signature, PyObject* keyword) {
    const std::size_t count = signature.parameters.size();
    auto named = [](const Parameter& parameter) {
        return parameter.kind != ParameterKind::var_positional && parameter.kind != ParameterKind::var_keyword;
    };
    for (std::size_t index = 0; index < count; ++index)
        if (signature.parameters[index].interned_name.get() == keyword && named(signature.parameters[index]))
            return index;
    // Keywords for **kwargs land here every time; unequal hashes (cached in
    // both strings) rule most parameters out without comparing text.
    const Py_hash_t hash = PyUnicode_CheckExact(keyword) ? PyObject_Hash(keyword) : -1;
    for (std::size_t index = 0; index < count; ++index) {
        const Parameter& parameter = signature.parameters[index];
        if (!named(parameter)) continue;
        if (hash != -1 && PyObject_Hash(parameter.interned_name) != hash) continue;
        if (PyUnicode_Compare(parameter.interned_name, keyword) == 0) return index;
    }
    if (PyErr_Occurred()) throw python_error();
    return count;
}

}  // namespace

PyObject* call_function(FunctionObject* function, PyObject* const* arguments, std::size_t flags,
                        PyObject* keyword_names) {
    const FunctionData& data = *function->data;
    const Signature& signature = data.signature;
    try {
        Call call(*function);
        const Py_ssize_t given = PyVectorcall_NARGS(flags);
        const Py_ssize_t positional = static_cast<Py_ssize_t>(signature.positional_count);

        // 1. positional arguments, extra ones into *args
        if (given > positional && signature.var_positional < 0) raise_positional_count(data, given);
        for (Py_ssize_t i = 0; i < std::min(given, positional); ++i) call.values_[i] = Ref::borrow(arguments[i]);
        if (signature.var_positional >= 0) {
            Py_ssize_t extra = given > positional ? given - positional : 0;
            Ref rest = Ref::steal(PyTuple_New(extra));
            for (Py_ssize_t i = 0; i < extra; ++i)
                PyTuple_SET_ITEM(rest.get(), i, Py_NewRef(arguments[positional + i]));
            call.values_[signature.var_positional] = rest;
        }
        // 2. keywords by name; the others go to **kwargs, which stays the
        // caller's keywords until a body asks for a dict, as long as all of
        // them go there.
        const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
        bool all_for_var_keyword = signature.var_keyword >= 0;
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
            if (!PyUnicode_Check(keyword))
                raise(PyExc_TypeError, "%.200s() keywords must be strings", signature.name.c_str());
            const std::size_t index = parameter_named(signature, keyword);
            if (index < signature.parameters.size()) {
                if (call.values_[index])
                    raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.name.c_str(),
                          keyword);
                call.values_[index] = Ref::borrow(arguments[given + k]);
                all_for_var_keyword = false;
            } else if (signature.var_keyword < 0) {
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name.c_str(), keyword);
            }
        }
        if (signature.var_keyword >= 0) {
            call.keywords_ = {arguments + given, keyword_count ? keyword_names : nullptr};
            call.lazy_keywords_ = static_cast<std::size_t>(signature.var_keyword);
            if (!all_for_var_keyword) call.collect_keywords();
        }

        // 3. defaults for what is still missing
        for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
            if (call.values_[i] || i == call.lazy_keywords_) continue;
            if (data.defaults[i]) {
                call.values_[i] = data.defaults[i];
                continue;
            }
            const Parameter& parameter = signature.parameters[i];
            if (parameter.kind == ParameterKind::keyword_only)
                raise(PyExc_TypeError, "%s() needs keyword-only argument %s", signature.name.c_str(),
                      parameter.name.c_str());
            raise_positional_count(data, static_cast<Py_ssize_t>(i));
        }

        // 4. typed conversions, in signature order
        for (std::size_t i = 0; i < signature.parameters.size(); ++i)
            if (i != call.lazy_keywords_) convert(signature.parameters[i], call.values_[i], call.reals_[i]);

        Ref result = data.body(call);
        if (!result) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "function returned no result");
        } else {
            return result.release();
        }
    } catch (const python_error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error raised without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    // Line 0: the entry names the function and the module's source, not a line in it.
    _PyTraceback_Add(data.qualified_name.c_str(), data.source_path.c_str(), 0);
    return nullptr;
}

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* arguments, std::size_t flags, PyObject* keyword_names) {
    return call_function(reinterpret_cast<FunctionObject*>(self), arguments, flags, keyword_names);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualified_name);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kw_defaults);
    Py_VISIT(f->captured);
    Py_VISIT(f->prototype);
    if (f->prototype == nullptr && f->data)
        for (const Ref& value : f->data->defaults) Py_VISIT(value.get());
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualified_name);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kw_defaults);
    Py_CLEAR(f->captured);
    if (f->prototype == nullptr && f->data)
        for (Ref& value : f->data->defaults) value = Ref();
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weak_references) PyObject_ClearWeakRefs(self);
    function_clear(self);
    if (f->prototype == nullptr) delete f->data;
    Py_CLEAR(f->prototype);
    f->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualified_name, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// ---- attributes ----

int set_string(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualified_name);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&reinterpret_cast<FunctionObject*>(self)->qualified_name, value,
                      "__qualname__ must be set to a string object");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_dict(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->dict == nullptr && (f->dict = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(f->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->dict, Py_NewRef(value));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->code); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->kw_defaults);
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->annotations);
}

// The values used in calls were fixed at import; a changed __defaults__ is
// shown but not used, and the caller is told so.
int set_call_defaults(PyObject** slot, PyObject* value, PyTypeObject* expected, const char* type_message,
                      const char* attribute) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyObject_TypeCheck(value, expected)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "changes to %s will not affect the values used in function calls",
                         attribute) < 0)
        return -1;
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_call_defaults(&reinterpret_cast<FunctionObject*>(self)->defaults, value, &PyTuple_Type,
                             "__defaults__ must be set to a tuple object", "__defaults__");
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_call_defaults(&reinterpret_cast<FunctionObject*>(self)->kw_defaults, value, &PyDict_Type,
                             "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        value = nullptr;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == nullptr) {
        PyObject* fresh = PyDict_New();
        if (fresh == nullptr) return -1;
        Py_XSETREF(f->annotations, fresh);
    } else {
        Py_XSETREF(f->annotations, Py_NewRef(value));
    }
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weak_references), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Functions pickle by reference, like Python's own.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualified_name);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "halvex_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A real code object, so that inspect.signature() sees names, kinds and order.
Ref make_code(const Signature& signature, const char* source_path) {
    std::string source = "def f(";
    bool star_written = false;
    for (const Parameter& parameter : signature.parameters) {
        if (parameter.kind == ParameterKind::keyword_only && !star_written) {
            source += "*, ";
            star_written = true;
        }
        if (parameter.kind == ParameterKind::var_positional) {
            source += "*";
            star_written = true;
        }
        if (parameter.kind == ParameterKind::var_keyword) source += "**";
        source += parameter.name + ", ";
    }
    source += "): pass\n";
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), source_path, Py_file_input));
    Ref constants = module_code.attr("co_consts");
    Ref function_code;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
        if (PyCode_Check(constant)) function_code = Ref::borrow(constant);
    }
    return function_code.attr("replace")(kw("co_name", signature.name.c_str()),
                                         kw("co_qualname", signature.qualified_name.c_str()), kw("co_firstlineno", 1));
}

}  // namespace

void create_function_type() {
    if (the_function_type == nullptr)
        the_function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)));
}

const FunctionObject* as_own_function(PyObject* object) {
    if (object == nullptr || Py_TYPE(object) != the_function_type) return nullptr;
    return reinterpret_cast<const FunctionObject*>(object);
}

Body body_of(const FunctionObject& function) { return function.data->body; }

namespace {

// The Python-visible fields of a function object, all owned.
struct FunctionFields {
    Ref name, qualified_name, module, doc, globals, code, annotations, defaults, kw_defaults;
};

// A new function object with these fields.  `data` is the prototype's for a
// closure (which then keeps the prototype alive), else a new one it owns.
Ref new_function(FunctionFields fields, FunctionData* data, Borrowed prototype, Borrowed captured) {
    auto* object = PyObject_GC_New(FunctionObject, the_function_type);
    if (object == nullptr) {
        if (!prototype) delete data;
        throw python_error();
    }
    object->vectorcall = function_vectorcall;
    object->dict = object->weak_references = nullptr;
    object->name = fields.name.release();
    object->qualified_name = fields.qualified_name.release();
    object->module = fields.module.release();
    object->doc = fields.doc.release();
    object->globals = fields.globals.release();
    object->code = fields.code.release();
    object->annotations = fields.annotations.release();
    object->defaults = fields.defaults.release();
    object->kw_defaults = fields.kw_defaults.release();
    object->data = data;
    object->prototype = Py_XNewRef(prototype.get());
    object->captured = Py_XNewRef(captured.get());
    PyObject_GC_Track(object);
    return Ref::steal(reinterpret_cast<PyObject*>(object));
}

}  // namespace

Ref make_closure(Borrowed prototype_object, Borrowed captured) {
    auto* prototype = reinterpret_cast<FunctionObject*>(prototype_object.get());
    FunctionFields fields{Ref::borrow(prototype->name),
                          Ref::borrow(prototype->qualified_name),
                          Ref::borrow(prototype->module),
                          Ref::borrow(prototype->doc),
                          Ref::borrow(prototype->globals),
                          Ref::borrow(prototype->code),
                          Ref::steal(PyDict_Copy(prototype->annotations)),
                          Ref::borrow(prototype->defaults),
                          Ref::borrow(prototype->kw_defaults)};
    return new_function(std::move(fields), prototype->data, prototype_object, captured);
}

Borrowed Call::captured() const { return function_.captured; }

void Call::collect_keywords() const {
    const Signature& signature = function_.data->signature;
    Ref dictionary = Ref::steal(PyDict_New());
    const Py_ssize_t count = keywords_.names ? PyTuple_GET_SIZE(keywords_.names) : 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keywords_.names, k);
        if (parameter_named(signature, keyword) == signature.parameters.size())
            check(PyDict_SetItem(dictionary, keyword, keywords_.values[k]));
    }
    values_[lazy_keywords_] = std::move(dictionary);
}

std::optional<Call::Keywords> Call::passed_keywords() const {
    if (lazy_keywords_ == no_index || values_[lazy_keywords_]) return std::nullopt;
    return keywords_;
}

Borrowed Call::keyword(PyObject* name) const {
    if (lazy_keywords_ == no_index) return {};
    if (values_[lazy_keywords_]) {
        PyObject* value = PyDict_GetItemWithError(values_[lazy_keywords_], name);
        if (value == nullptr && PyErr_Occurred()) throw python_error();
        return value;
    }
    // Backwards: of repeated names the last one counts, as in the dict.
    const Py_ssize_t count = keywords_.names ? PyTuple_GET_SIZE(keywords_.names) : 0;
    for (Py_ssize_t k = count - 1; k >= 0; --k)
        if (PyTuple_GET_ITEM(keywords_.names, k) == name) return keywords_.values[k];
    for (Py_ssize_t k = count - 1; k >= 0; --k) {
        const int equal = PyUnicode_Compare(PyTuple_GET_ITEM(keywords_.names, k), name);
        if (equal == 0) return keywords_.values[k];
        if (PyErr_Occurred()) throw python_error();
    }
    return {};
}

std::string_view Call::owner_class_name() const {
    std::string_view name = function_.data->signature.qualified_name;
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(0, dot);
}

namespace {

// A body made with bound<...> takes one C++ parameter per parameter of its
// signature line, each of a kind that fits that parameter.
void check_bound_body(const Callable& callable, const Signature& signature) {
    const BodyEntry& body = callable.body;
    if (body.parameter_count < 0) return;
    if (static_cast<std::size_t>(body.parameter_count) != signature.parameters.size())
        raise(PyExc_RuntimeError, "the body of '%s' takes %d arguments, its signature line declares %zu",
              signature.qualified_name.c_str(), body.parameter_count, signature.parameters.size());
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const Parameter& parameter = signature.parameters[i];
        switch (body.parameters[i]) {
            case ArgumentKind::object: break;
            case ArgumentKind::real:
                if ((parameter.type != TypeWord::double_ && parameter.type != TypeWord::float_) ||
                    parameter.accepts_none)
                    raise(PyExc_RuntimeError,
                          "the body of '%s' takes '%s' as a C double, but it is not typed double or float without None",
                          signature.qualified_name.c_str(), parameter.name.c_str());
                break;
            case ArgumentKind::keywords:
                if (parameter.kind != ParameterKind::var_keyword)
                    raise(PyExc_RuntimeError, "the body of '%s' takes '%s' as **kwargs, but it is not **kwargs",
                          signature.qualified_name.c_str(), parameter.name.c_str());
                break;
        }
    }
}

}  // namespace

Ref make_function(const Callable& callable, PyObject* globals, const char* module_name, const char* source_path) {
    Signature signature;
    try {
        signature = Signature::parse(callable.signature);
    } catch (const std::invalid_argument& error) {
        raise(PyExc_RuntimeError, "bad signature line '%s': %s", callable.signature, error.what());
    }
    check_bound_body(callable, signature);
    for (Parameter& parameter : signature.parameters) parameter.interned_name = Ref::borrow(interned(parameter.name));

    auto data = std::make_unique<FunctionData>();
    data->body = callable.body.call;
    data->source_path = source_path;
    data->qualified_name = signature.qualified_name;
    data->defaults.resize(signature.parameters.size());

    Ref positional_defaults = Ref::steal(PyList_New(0));
    Ref keyword_defaults = Ref::steal(PyDict_New());
    Ref annotations = Ref::steal(PyDict_New());
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const Parameter& parameter = signature.parameters[i];
        if (!parameter.annotation.empty())
            check(PyDict_SetItem(annotations, parameter.interned_name, to_python(parameter.annotation)));
        if (parameter.kind == ParameterKind::positional_or_keyword && parameter.default_text.empty())
            ++data->required_positional;
        if (parameter.default_text.empty()) continue;
        // Defaults are evaluated once, now, in the module's namespace.
        data->defaults[i] = Ref::steal(PyRun_String(parameter.default_text.c_str(), Py_eval_input, globals, globals));
        if (parameter.kind == ParameterKind::keyword_only)
            check(PyDict_SetItem(keyword_defaults, parameter.interned_name, data->defaults[i]));
        else
            check(PyList_Append(positional_defaults, data->defaults[i]));
    }
    if (!signature.return_annotation.empty())
        check(PyDict_SetItem(annotations, interned("return"), to_python(signature.return_annotation)));

    FunctionFields fields;
    PyObject* name = to_python(signature.name).release();
    PyObject* qualified_name = to_python(signature.qualified_name).release();
    PyUnicode_InternInPlace(&name);
    PyUnicode_InternInPlace(&qualified_name);
    fields.name = Ref::steal(name);
    fields.qualified_name = Ref::steal(qualified_name);
    fields.module = to_python(module_name);
    fields.doc =
        callable.summary ? to_python(std::string(callable.signature) + "\n\n" + callable.summary) : Ref::none();
    fields.globals = Ref::borrow(globals);
    fields.code = make_code(signature, source_path);
    fields.annotations = std::move(annotations);
    fields.defaults =
        PyList_GET_SIZE(positional_defaults.get()) > 0 ? Ref::steal(PyList_AsTuple(positional_defaults)) : Ref::none();
    fields.kw_defaults = PyDict_GET_SIZE(keyword_defaults.get()) > 0 ? std::move(keyword_defaults) : Ref::none();
    data->signature = std::move(signature);
    return new_function(std::move(fields), data.release(), {}, {});
}

}  // namespace halvex::frame
