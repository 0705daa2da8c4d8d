// Calling the base class's version of a method from a method of a class
// made with the frame: `super(cls, self).name(*arguments, **keywords)`.
#pragma once

#include "frame/function.hpp"
#include "frame/ref.hpp"

#include <initializer_list>

namespace halvex::frame {

// super(cls, self).name(*arguments, **keywords), `keywords` a dict or empty.
//
// The transforms call their base class for every image, box and keypoint, so
// where the attribute that super() would find is a plain Python function (the
// usual case), it is called directly with `self` first, without making the
// super object and the bound method.  Anything else (a descriptor of another
// kind, no such attribute, `self` not an instance of `cls`) goes through
// super() itself, with its result or its error.
Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments,
              Borrowed keywords = {});

// super(cls, self).name(*arguments, **kwargs) with the **kwargs of `call`,
// handed on as the caller passed them where that is possible.
Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments, const Call& call,
              std::size_t kwargs_index);

// The same with the **kwargs a body received.
Ref call_base(Borrowed cls, Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments,
              const Kwargs& kwargs);

// super(cls, self).name
Ref base_attribute(Borrowed cls, Borrowed self, Borrowed name);

// `result`, once it is checked to be of exactly `type` (or None, where
// `none_allowed`): "Expected tuple, got list" otherwise.
Ref expect_type(Ref result, PyTypeObject* type, bool none_allowed = true);

}  // namespace halvex::frame
