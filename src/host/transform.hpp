// The Albumentations host contract: what the five transform modules share.
//
// Each module makes one or more classes that derive from an Albumentations
// class and leave the real work to it.  A TransformClass is such a class as
// the C++ code sees it: its name, the class object once made, and calls to
// the base class's methods as `super(Class, self).method(...)`.
#pragma once

#include "frame/base_call.hpp"
#include "frame/function.hpp"
#include "frame/module.hpp"

#include <initializer_list>

namespace halvex::host {

using frame::Borrowed;
using frame::Kwargs;
using frame::Name;
using frame::Ref;

// Names of the Albumentations interface that every transform uses.
namespace names {
inline const Name init{"__init__"}, update_params{"update_params"}, apply{"apply"}, apply_to_bbox{"apply_to_bbox"},
    apply_to_keypoint{"apply_to_keypoint"}, apply_to_keypoints{"apply_to_keypoints"}, rows{"rows"}, cols{"cols"};
}  // namespace names

class TransformClass {
public:
    // `name` is the class's name (a string literal): the one define_class gets.
    explicit TransformClass(const char* name) : name_(name) {}

    const char* name() const { return name_; }
    Borrowed object() const { return class_; }

    // Define the class in the module (bases are expressions there) and keep it.
    Ref define(frame::ModuleBuilder& module, std::initializer_list<const char*> bases, const char* doc,
               std::span<const frame::Callable> methods);

    // super(Class, self).method(*arguments, **keywords)
    Ref call_base(Borrowed self, Borrowed method, std::initializer_list<Borrowed> arguments,
                  Borrowed keywords = {}) const {
        return frame::call_base(class_, self, method, arguments, keywords);
    }
    // The same with the **kwargs a method received, handed on as they came.
    Ref call_base(Borrowed self, Borrowed method, std::initializer_list<Borrowed> arguments,
                  const Kwargs& kwargs) const {
        return frame::call_base(class_, self, method, arguments, kwargs);
    }
    // super(Class, self).name, to call with keywords.
    Ref base_attribute(Borrowed self, Borrowed name) const { return frame::base_attribute(class_, self, name); }

private:
    const char* name_;
    frame::Retained class_;
};

// self.name = value
inline void set(Borrowed self, Borrowed name, Borrowed value) { frame::check(PyObject_SetAttr(self, name, value)); }

// Body of `<Class>.get_class_fullname(cls) -> str`: the class's __name__,
// once it is checked to be a str as the annotation promises.
Ref get_class_fullname(Borrowed cls);

}  // namespace halvex::host
