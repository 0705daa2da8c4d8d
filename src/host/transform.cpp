#include "host/transform.hpp"

namespace halvex::host {

Ref TransformClass::define(frame::ModuleBuilder& module, std::initializer_list<const char*> bases, const char* doc,
                           std::span<const frame::Callable> methods) {
    Ref cls = module.define_class(name_, bases, doc, methods);
    class_ = cls;
    return cls;
}

Ref get_class_fullname(Borrowed cls) { return frame::expect_type(cls.attr("__name__"), &PyUnicode_Type, false); }

}  // namespace halvex::host
