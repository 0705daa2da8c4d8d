// Module creation and execution, module-level names, assertions and classes.
#pragma once

#include "frame/function.hpp"

#include <initializer_list>
#include <span>

namespace halvex::frame {

class ModuleBuilder;

struct ModuleDefinition {
    const char* short_name;      // "kestril"
    const char* qualified_name;  // "halvex.preprocessing.kestril"
    const char* doc;
    const char* source_path;  // shown in tracebacks
    void (*body)(ModuleBuilder&);
};

// PyInit_<name> returns this: the definition for multi-phase initialisation.
// The module keeps its own copy of `definition`.
PyObject* module_init(const ModuleDefinition& definition);

// The module body's view of the module being executed.
class ModuleBuilder {
public:
    ModuleBuilder(Borrowed module, const ModuleDefinition& definition);

    // import module as name   (import_module("numpy", "np"))
    void import_module(const char* module, const char* as);
    // from module import names...
    void import_from(const char* module, std::initializer_list<const char*> names);
    // Create the functions of a table in order and bind each under its name.
    void define(std::span<const Callable> table);
    // class name(bases...): with the methods of a table.  `bases` are
    // expressions evaluated in the module namespace.  The class is bound in
    // the module and returned.  `attributes` are (name, expression) pairs put
    // into the class namespace first, in order (enumeration members, constants).
    Ref define_class(const char* name, std::initializer_list<const char*> bases, const char* doc,
                     std::span<const Callable> methods,
                     std::initializer_list<std::pair<const char*, const char*>> attributes = {});
    // A function that is not bound in the module (the prototype of a closure).
    Ref make(const Callable& callable);
    void set(const char* name, PyObject* value);
    // Evaluate a Python expression in the module namespace (used for defaults
    // and base classes, which the documentation states as expressions).
    Ref evaluate(const char* expression);

private:
    Borrowed module_;
    Borrowed globals_;
    const ModuleDefinition& definition_;
};

// A module-level name: the module dictionary first, then builtins.  The
// reference is owned: Python code that a body runs (an argument's __array__,
// say) may rebind the name and so drop the module's own reference.
Ref global(PyObject* name);
Ref global(const char* name);

// True while a module-level name is still bound to the module's own function
// with this body, so that calling the body directly is the same as calling
// the name.
bool is_own(const char* name, Body body);
bool is_own(PyObject* name, Body body);
// The same for a body bound with bound<function>: is_own<intersect>(names::intersect).
template <auto function>
bool is_own(PyObject* name) {
    return is_own(name, bound<function>.call);
}

// Python's __debug__, read at import.
bool assertions_enabled();
void assertion_failed(const char* message = nullptr);

}  // namespace halvex::frame

// assert cond[, "message"]: the condition is not even evaluated under python -O.
#define HALVEX_ASSERT(condition, ...)                                                                              \
    do {                                                                                                           \
        if (::halvex::frame::assertions_enabled() && !(condition)) ::halvex::frame::assertion_failed(__VA_ARGS__); \
    } while (0)
