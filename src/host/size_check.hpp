// Transforms whose pixel parameters depend on the image size announced in
// update_params.  They remember that size and refuse an apply call for an
// image of another size, with the messages Albumentations users are told to
// report; the methods are `__check_after_update` and the private attributes
// `__last_input_height` / `__last_input_width` of the class.
#pragma once

#include "frame/operators.hpp"
#include "host/transform.hpp"

namespace halvex::host {

class SizeCheckedTransform : public TransformClass {
public:
    explicit SizeCheckedTransform(const char* name)
        : TransformClass(name),
          method_name_(name, "check_after_update"),
          height_name_(name, "last_input_height"),
          width_name_(name, "last_input_width") {}

    // Define the class and look up the size check it declares.
    Ref define(frame::ModuleBuilder& module, std::initializer_list<const char*> bases, const char* doc,
               std::span<const frame::Callable> methods);

    // The size of the last update: self.__last_input_height / _width.
    Ref last_height(Borrowed self) const { return self.attr(height_name_); }
    Ref last_width(Borrowed self) const { return self.attr(width_name_); }
    // Before the first update the stored size is 0 x 0.
    void forget_input_size(Borrowed self) const;
    // Record the image size of an update: int(params["rows"]) and int(params["cols"]).
    void record_input_size(Borrowed self, Borrowed params) const;

    // updated = base.update_params(params, **kwargs), checked to be a dict;
    // its size recorded; resize(); then base.update_params(updated, **kwargs)
    // again, for the dictionary the apply calls receive.
    template <class Resize>
    Ref update_params(Borrowed self, Borrowed params, Borrowed kwargs, Resize&& resize) const {
        Ref updated = frame::expect_type(call_base(self, names::update_params, {params}, kwargs), &PyDict_Type);
        record_input_size(self, updated);
        resize();
        return frame::expect_type(call_base(self, names::update_params, {updated}, kwargs), &PyDict_Type);
    }

    // self.__check_after_update(**kwargs), then the base class's `method`
    // for the same argument with the same keywords.
    Ref checked_base_call(Borrowed self, Borrowed method, Borrowed argument, const Kwargs& kwargs) const;

private:
    void run_size_check(Borrowed self, const Kwargs& kwargs) const;

    Name method_name_, height_name_, width_name_;
    frame::Retained own_check_;
};

// The apply methods of a size-checked transform: the size check, then the
// base class's method; boxes and keypoints come back as tuples.
template <const SizeCheckedTransform& transform>
Ref checked_apply(Borrowed self, Borrowed img, Kwargs params) {
    return transform.checked_base_call(self, names::apply, img, params);
}
template <const SizeCheckedTransform& transform>
Ref checked_apply_to_bbox(Borrowed self, Borrowed bbox, Kwargs params) {
    return frame::expect_type(transform.checked_base_call(self, names::apply_to_bbox, bbox, params), &PyTuple_Type);
}
template <const SizeCheckedTransform& transform>
Ref checked_apply_to_keypoint(Borrowed self, Borrowed keypoint, Kwargs params) {
    return frame::expect_type(transform.checked_base_call(self, names::apply_to_keypoint, keypoint, params),
                              &PyTuple_Type);
}

// Body of `<Class>.__check_after_update(self, int rows: int | None = None,
// int cols: int | None = None, **_kwargs: Any) -> None`.  It compares the
// sizes an apply call receives with the ones stored for the class whose
// table row declares the method.
Ref check_after_update(frame::Call& call, Borrowed self, Borrowed rows, Borrowed cols, Kwargs);

}  // namespace halvex::host
