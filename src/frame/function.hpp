// Python-visible functions: declared once by their signature line, bound and
// converted by the frame, implemented by a C++ body.
#pragma once

#include "frame/ref.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace halvex::frame {

class Call;
using Body = Ref (*)(Call&);

// How a function sits in a class namespace.
enum class Binding { plain, class_method, static_method, property };

// One row of a module's table: everything about one callable.
struct Callable {
    const char* signature;  // the docstring's first line, e.g. "f(a: int, *, b=None) -> None"
    const char* summary;    // the rest of the docstring; nullptr for no docstring (lambdas)
    Body body;
    Binding binding = Binding::plain;
};

// The declared type word in front of a parameter name.
enum class TypeWord { none, double_, int_, bool_, list, dict, tuple, str, float_ };

enum class ParameterKind { positional_or_keyword, keyword_only, var_positional, var_keyword };

struct Parameter {
    std::string name;
    Ref interned_name;
    ParameterKind kind = ParameterKind::positional_or_keyword;
    TypeWord type = TypeWord::none;
    bool accepts_none = false;  // the annotation admits None
    std::string annotation;     // empty when not annotated
    std::string default_text;   // empty when there is no default
};

// A signature line parsed at import.
struct Signature {
    std::string qualified_name;  // "RelativeCrop.apply"
    std::string name;            // "apply"
    std::vector<Parameter> parameters;
    std::string return_annotation;
    std::size_t positional_count = 0;  // positional-or-keyword parameters
    int var_positional = -1;           // index of *args, or -1
    int var_keyword = -1;              // index of **kwargs, or -1

    static Signature parse(const char* line);
};

constexpr std::size_t max_parameters = 16;

struct FunctionObject;

// The bound, converted arguments of one call, in signature order.
class Call {
public:
    explicit Call(const FunctionObject& function) : function_(function) {}

    // Argument i (signature order); *args arrives as a tuple, **kwargs as a dict.
    Borrowed operator[](std::size_t i) const {
        if (i == lazy_keywords_ && !values_[i]) collect_keywords();
        return values_[i];
    }
    // The keywords that went into **kwargs as the caller passed them, so that
    // a body can hand them on to another callable without a dict in between:
    // `names` a tuple (null when there were none) and `values` beside it.
    // Only while **kwargs has not been asked for as a dict (operator[]).
    struct Keywords {
        PyObject* const* values = nullptr;
        PyObject* names = nullptr;
    };
    std::optional<Keywords> passed_keywords() const;
    // **kwargs[name], or null when absent; `name` should be interned.
    Borrowed keyword(PyObject* name) const;
    // The C value of a parameter typed `double` or `float` (not None).
    double real(std::size_t i) const { return reals_[i]; }
    const FunctionObject& function() const { return function_; }
    // The values a closure captured (a tuple); null for plain functions.
    Borrowed captured() const;
    // "RelativeCrop" for a method declared as "RelativeCrop.apply(...)"; empty for functions.
    std::string_view owner_class_name() const;

private:
    friend PyObject* call_function(FunctionObject*, PyObject* const*, std::size_t, PyObject*);
    void collect_keywords() const;

    const FunctionObject& function_;
    mutable std::array<Ref, max_parameters> values_;
    std::array<double, max_parameters> reals_{};
    // **kwargs is made into a dict only when a body asks for it.  Until then
    // (lazy_keywords_ is its index) the keywords are the caller's, all of
    // them for **kwargs.
    static constexpr std::size_t no_index = max_parameters;
    std::size_t lazy_keywords_ = no_index;
    Keywords keywords_;
};

// Make a function object for a table row.  `globals` is the module dictionary;
// defaults are evaluated in it now, once.
Ref make_function(const Callable& callable, PyObject* globals, const char* module_name,
                  const char* source_path, int line);

// A closure: a function with the prototype's signature and body that carries
// `captured` (a tuple) for its body to read through Call::captured().
Ref make_closure(Borrowed prototype, Borrowed captured);

// The function type, created with the module.
PyTypeObject* function_type();
void create_function_type();

// The function object behind a name, or nullptr when the object is not one of ours.
const FunctionObject* as_own_function(PyObject* object);
Body body_of(const FunctionObject& function);

}  // namespace halvex::frame
