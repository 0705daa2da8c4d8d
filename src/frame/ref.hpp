// Owning and borrowed references, C API errors as C++ exceptions, and calls.
//
// Every C API call that can fail goes through check(): on failure it throws
// python_error while the Python error indicator stays set, and the function
// boundary (function.cpp) turns it back into a NULL return.  Bodies therefore
// read straight through without error plumbing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace halvex::frame {

// A C API call failed; the Python error indicator is set.
struct python_error : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw python_error();
    return result;
}

inline int check(int status) {
    if (status < 0) throw python_error();
    return status;
}

// Set a Python exception with PyErr_Format and throw.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

class Ref;

// Operations shared by owning and borrowed handles.
template <class Handle>
class ObjectApi {
public:
    PyObject* ptr() const { return static_cast<const Handle*>(this)->get(); }
    PyTypeObject* type() const { return Py_TYPE(ptr()); }
    bool is(PyObject* other) const { return ptr() == other; }
    bool is_none() const { return ptr() == Py_None; }

    Ref attr(const char* name) const;
    Ref attr(PyObject* name) const;
    void set_attr(const char* name, PyObject* value) const;

    // obj(args...) with positional arguments and kw("name", value) keywords.
    template <class... Args>
    Ref operator()(Args&&... args) const;

    // obj.name(args...)
    template <class... Args>
    Ref call_method(const char* name, Args&&... args) const;

    Ref item(PyObject* key) const;
    Ref at(Py_ssize_t index) const;  // obj[index]

    bool truth() const { return check(PyObject_IsTrue(ptr())) != 0; }
    double to_double() const;
    Py_ssize_t to_ssize() const;
    std::string to_utf8() const;  // str(obj) as UTF-8
};

// A reference we do not own: valid while its owner keeps the object alive.
class Borrowed : public ObjectApi<Borrowed> {
public:
    Borrowed() = default;
    Borrowed(PyObject* object) : object_(object) {}
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    operator PyObject*() const { return object_; }

private:
    PyObject* object_ = nullptr;
};

// An owned (strong) reference, released on destruction.
class Ref : public ObjectApi<Ref> {
public:
    Ref() = default;
    Ref(const Ref& other) : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Take ownership of a new reference returned by the C API; throws if NULL.
    static Ref steal(PyObject* object) { return Ref(check(object)); }
    // Take ownership of a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }
    static Ref none() { return borrow(Py_None); }
    static Ref boolean(bool value) { return borrow(value ? Py_True : Py_False); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }
    operator Borrowed() const { return Borrowed(object_); }
    operator PyObject*() const { return object_; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// A reference kept for the life of the process: module-level objects that C++
// code holds in static storage (classes for super(), closure prototypes).
// It is never released, because static destructors run after the
// interpreter is gone.
class Retained : public ObjectApi<Retained> {
public:
    Retained() = default;
    Retained& operator=(Ref object) {
        object_ = object.release();  // the previous object, if any, stays alive too
        return *this;
    }
    PyObject* get() const { return object_; }
    operator Borrowed() const { return Borrowed(object_); }
    operator PyObject*() const { return object_; }

private:
    PyObject* object_ = nullptr;
};

// ---- conversions of C++ values into call arguments -------------------------

inline Ref to_python(PyObject* object) { return Ref::borrow(object); }
inline Ref to_python(const Ref& object) { return object; }
inline Ref to_python(Borrowed object) { return Ref::borrow(object.get()); }
inline Ref to_python(const Retained& object) { return Ref::borrow(object.get()); }
inline Ref to_python(std::nullptr_t) { return Ref::none(); }
inline Ref to_python(bool value) { return Ref::boolean(value); }
inline Ref to_python(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref to_python(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }
inline Ref to_python(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
template <class Integer>
    requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>)
inline Ref to_python(Integer value) {
    if constexpr (std::is_signed_v<Integer>)
        return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value)));
    else
        return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

// A keyword argument of a call: kw("out", points).
template <class Value>
struct Keyword {
    const char* name;
    Value value;
};
template <class Value>
Keyword<Value&&> kw(const char* name, Value&& value) {
    return {name, std::forward<Value>(value)};
}

// An interned name, created once and kept for the life of the process.
Borrowed interned(std::string_view text);

// `_<Class>__<attribute>`, the name Python gives a private attribute written
// as `__<attribute>` inside class `<Class>` (leading underscores of the class
// name dropped; a class name of underscores only mangles nothing), interned.
Borrowed private_name(std::string_view class_name, std::string_view attribute);

// A name that C++ code uses again and again, interned on first use and then
// kept: `const Name round{"round"};` once, then `global(round)` or
// `self.attr(aspect_ratio)` on every call without looking the text up again.
// `Name{"RelativeCrop", "last_input_height"}` is the private attribute
// `_RelativeCrop__last_input_height`.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    constexpr Name(const char* class_name, const char* attribute) : text_(attribute), class_name_(class_name) {}

    PyObject* get() const {
        if (object_ == nullptr) object_ = (class_name_ ? private_name(class_name_, text_) : interned(text_)).get();
        return object_;
    }
    operator Borrowed() const { return get(); }
    operator PyObject*() const { return get(); }

private:
    const char* text_;
    const char* class_name_ = nullptr;
    mutable PyObject* object_ = nullptr;  // owned by the table of interned names
};

namespace detail {

template <class T>
struct is_keyword : std::false_type {};
template <class V>
struct is_keyword<Keyword<V>> : std::true_type {};

Ref vectorcall(PyObject* callable, Ref* arguments, std::size_t positional, std::size_t keywords,
               const char* const* keyword_names);

template <class... Args>
Ref call(PyObject* callable, Args&&... args) {
    constexpr std::size_t count = sizeof...(Args);
    constexpr std::size_t keywords = (0 + ... + (is_keyword<std::decay_t<Args>>::value ? 1 : 0));
    Ref arguments[count + 1];
    const char* names[keywords + 1] = {};
    std::size_t next_positional = 0, next_keyword = 0;
    [[maybe_unused]] auto place = [&](auto&& argument) {
        using A = std::decay_t<decltype(argument)>;
        if constexpr (is_keyword<A>::value) {
            names[next_keyword] = argument.name;
            arguments[count - keywords + next_keyword++] = to_python(argument.value);
        } else {
            arguments[next_positional++] = to_python(argument);
        }
    };
    (place(std::forward<Args>(args)), ...);
    return vectorcall(callable, arguments, count - keywords, keywords, names);
}

}  // namespace detail

// ---- ObjectApi members ------------------------------------------------------

template <class H>
Ref ObjectApi<H>::attr(const char* name) const {
    return Ref::steal(PyObject_GetAttr(ptr(), interned(name)));
}
template <class H>
Ref ObjectApi<H>::attr(PyObject* name) const {
    return Ref::steal(PyObject_GetAttr(ptr(), name));
}
template <class H>
void ObjectApi<H>::set_attr(const char* name, PyObject* value) const {
    check(PyObject_SetAttr(ptr(), interned(name), value));
}
template <class H>
template <class... Args>
Ref ObjectApi<H>::operator()(Args&&... args) const {
    return detail::call(ptr(), std::forward<Args>(args)...);
}
template <class H>
template <class... Args>
Ref ObjectApi<H>::call_method(const char* name, Args&&... args) const {
    return attr(name)(std::forward<Args>(args)...);
}
template <class H>
Ref ObjectApi<H>::item(PyObject* key) const {
    return Ref::steal(PyObject_GetItem(ptr(), key));
}
template <class H>
Ref ObjectApi<H>::at(Py_ssize_t index) const {
    Ref key = to_python(index);
    return Ref::steal(PyObject_GetItem(ptr(), key));
}
template <class H>
double ObjectApi<H>::to_double() const {
    double value = PyFloat_AsDouble(ptr());
    if (value == -1.0 && PyErr_Occurred()) throw python_error();
    return value;
}
template <class H>
Py_ssize_t ObjectApi<H>::to_ssize() const {
    Py_ssize_t value = PyNumber_AsSsize_t(ptr(), PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) throw python_error();
    return value;
}
template <class H>
std::string ObjectApi<H>::to_utf8() const {
    Ref text = Ref::steal(PyObject_Str(ptr()));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// ---- small helpers that bodies use often ------------------------------------

inline Ref tuple_of(std::initializer_list<Borrowed> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(item.get()));
    return tuple;
}

// callable(*arguments, **keywords); `keywords` may be null.
inline Ref call_with(Borrowed callable, Borrowed arguments, Borrowed keywords = {}) {
    return Ref::steal(PyObject_Call(callable, arguments, keywords));
}

inline bool equal(PyObject* left, PyObject* right) { return check(PyObject_RichCompareBool(left, right, Py_EQ)) != 0; }

}  // namespace halvex::frame
