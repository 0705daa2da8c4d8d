// The size check shared by the transforms whose pixel parameters depend on
// the image size announced in update_params.
#pragma once

#include "frame/function.hpp"

namespace halvex::frame {

// Body of `<Class>.__check_after_update(self, int rows: int | None = None,
// int cols: int | None = None, **_kwargs: Any) -> None`.  It compares the
// sizes an apply call receives with `_<Class>__last_input_height` / `_width`,
// the class being the one whose table row declares the method.
Ref check_after_update(Call& call);

// One class's size check, looked up once at import: its private names and
// the `__check_after_update` function the class declares.
struct SizeCheck {
    Borrowed method_name, height_name, width_name;
    Retained own;
};
// `class_name` must be a string literal (see record_input_size); `cls` the class.
SizeCheck size_check_of(const char* class_name, Borrowed cls);

// `self.__check_after_update(**kwargs)` at the start of an apply method:
// `call` has self at 0 and its **kwargs at `kwargs_index`.  The check runs
// for every image, box and keypoint, so while the method is still the
// class's own, sizes that plainly match (ints equal to the stored ones) pass
// here without the call; everything else goes through the method, which
// raises the documented errors.
void run_size_check(const Call& call, std::size_t kwargs_index, const SizeCheck& size_check);

// Record the image size of an update: `_<Class>__last_input_height` and
// `_width` become int(params["rows"]) and int(params["cols"]).  `class_name`
// must be a string literal: its address keys the cache of attribute names.
void record_input_size(Borrowed self, const char* class_name, Borrowed params);

}  // namespace halvex::frame
