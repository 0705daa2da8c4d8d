// Python-visible functions: declared once by their signature line, bound and
// converted by the frame, implemented by a C++ body.
#pragma once

#include "frame/ref.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halvex::frame {

class Call;
using Body = Ref (*)(Call&);

// How a function sits in a class namespace.
enum class Binding { plain, class_method, static_method, property };

// What a C++ parameter of a body bound with `bound<body>` receives.
enum class ArgumentKind { object, real, keywords };

// The C++ function behind a table row.  A plain Body reads its arguments from
// the Call itself; one made with `bound<body>` takes them as C++ parameters,
// and `parameters` lists what each of those receives, so that the frame can
// check them against the signature line at import.
struct BodyEntry {
    Body call;
    const ArgumentKind* parameters = nullptr;
    int parameter_count = -1;  // -1: a plain Body, nothing to check

    constexpr BodyEntry(Body body) : call(body) {}
    constexpr BodyEntry(Body body, const ArgumentKind* kinds, int count)
        : call(body), parameters(kinds), parameter_count(count) {}
};

// One row of a module's table: everything about one callable.
//
// The signature line is the docstring's first line, exactly as documented,
// e.g. "f(a: int, *, double b: float = 0.5, **kwargs: Any) -> None".  A word
// in front of a parameter's name is its declared type; the frame converts or
// checks the argument before the body runs:
//   double  float(argument), kept as a float object; the C value is Call::real
//   float   an exact float, else TypeError; the C value is Call::real
//   int     an exact int as it is, any other number through int(); TypeError otherwise
//   bool    the truth value of the argument, as True or False
//   list, dict, tuple, str
//           exactly that builtin type, else TypeError (a subclass is refused too,
//           with a note saying so)
// None passes unconverted where the annotation admits it (`int | None`,
// `Optional[...]`).  Parameters without a type word pass as they are.
struct Callable {
    const char* signature;  // the docstring's first line
    const char* summary;    // the rest of the docstring; nullptr for no docstring (lambdas)
    BodyEntry body;
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
Ref make_function(const Callable& callable, PyObject* globals, const char* module_name, const char* source_path);

// A closure: a function with the prototype's signature and body that carries
// `captured` (a tuple) for its body to read through Call::captured().
Ref make_closure(Borrowed prototype, Borrowed captured);

// The function type, created with the module.
void create_function_type();

// The function object behind a name, or nullptr when the object is not one of ours.
const FunctionObject* as_own_function(PyObject* object);
Body body_of(const FunctionObject& function);

// ---- bodies that take their arguments as C++ parameters ----------------------
//
//     Ref rot_points_multi_rads(Borrowed points, Borrowed rotation_rads);
//     {"rot_points_multi_rads(points: ..., rotation_rads: ...) -> ...", "...", bound<rot_points_multi_rads>}
//
// The body has one C++ parameter per parameter of its signature line, in the
// same order, optionally after a leading `Call&` (for Call::captured and the
// like).  Each receives, by its C++ type:
//   Borrowed  the bound and converted argument (*args a tuple, **kwargs a dict)
//   double    the C value of a parameter typed `double` or `float` that does not admit None
//   Real      the same parameter as the converted object and its C value
//   Kwargs    the **kwargs parameter, handed on without a dict where possible
// make_function refuses at import a body whose parameters do not match the
// signature line in number or in these kinds, so the two cannot drift apart.

// A parameter typed `double` or `float` as a body receives it: the converted
// object and its C value.
struct Real {
    Borrowed object;
    double value;
};

// The **kwargs of a call as a body receives them.
class Kwargs {
public:
    Kwargs(const Call& call, std::size_t index) : call_(&call), index_(index) {}
    // The keywords as a dict (made on first use).
    Borrowed dict() const { return (*call_)[index_]; }
    // kwargs[name], or null when absent; `name` should be interned.
    Borrowed get(PyObject* name) const { return call_->keyword(name); }
    // The keywords as the caller passed them, while no dict has been made.
    std::optional<Call::Keywords> passed() const { return call_->passed_keywords(); }

private:
    const Call* call_;
    std::size_t index_;
};

namespace detail {

template <class T>
struct bound_argument;
template <>
struct bound_argument<Borrowed> {
    static constexpr ArgumentKind kind = ArgumentKind::object;
    static Borrowed get(const Call& call, std::size_t i) { return call[i]; }
};
template <>
struct bound_argument<double> {
    static constexpr ArgumentKind kind = ArgumentKind::real;
    static double get(const Call& call, std::size_t i) { return call.real(i); }
};
template <>
struct bound_argument<Real> {
    static constexpr ArgumentKind kind = ArgumentKind::real;
    static Real get(const Call& call, std::size_t i) { return {call[i], call.real(i)}; }
};
template <>
struct bound_argument<Kwargs> {
    static constexpr ArgumentKind kind = ArgumentKind::keywords;
    static Kwargs get(const Call& call, std::size_t i) { return Kwargs(call, i); }
};

template <class Function>
struct bound_body;
template <class... Arguments>
struct bound_body<Ref (*)(Arguments...)> {
    static constexpr std::array<ArgumentKind, sizeof...(Arguments)> kinds{bound_argument<Arguments>::kind...};
    template <auto function, std::size_t... I>
    static Ref invoke(Call& call, std::index_sequence<I...>) {
        return function(bound_argument<Arguments>::get(call, I)...);
    }
};
template <class... Arguments>
struct bound_body<Ref (*)(Call&, Arguments...)> {
    static constexpr std::array<ArgumentKind, sizeof...(Arguments)> kinds{bound_argument<Arguments>::kind...};
    template <auto function, std::size_t... I>
    static Ref invoke(Call& call, std::index_sequence<I...>) {
        return function(call, bound_argument<Arguments>::get(call, I)...);
    }
};

template <auto function>
Ref call_bound(Call& call) {
    using Traits = bound_body<decltype(function)>;
    return Traits::template invoke<function>(call, std::make_index_sequence<Traits::kinds.size()>{});
}

}  // namespace detail

template <auto function>
inline constexpr BodyEntry bound{&detail::call_bound<function>, detail::bound_body<decltype(function)>::kinds.data(),
                                 static_cast<int>(detail::bound_body<decltype(function)>::kinds.size())};

}  // namespace halvex::frame
