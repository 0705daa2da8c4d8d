// Center-crop while preserving a target aspect ratio.
//
// RelativeCenterCrop leaves the cropping to Albumentations' CenterCrop.  Its
// own work is choosing CenterCrop's height and width afresh for every image,
// and refusing apply calls whose image size is not the one it chose them for.

#include "host/aspect_ratio.hpp"

#include <cmath>

namespace {

using namespace halvex;
using namespace halvex::host;
using frame::Call;
using frame::kw;
using frame::Real;

host::SizeCheckedTransform relative_center_crop{"RelativeCenterCrop"};

const Name height_name{"height"}, width_name{"width"};

// The crop side that `length` asks for, or nothing when that side would not
// fit into `available` pixels.  An infinite length (a vanishingly small
// ratio) never fits, so it must not reach round().
Ref fitting_side(Borrowed length, Borrowed available) {
    if (PyFloat_Check(length.get()) && std::isinf(PyFloat_AS_DOUBLE(length.get())) &&
        PyFloat_AS_DOUBLE(length.get()) > 0)
        return {};
    Ref side = side_length(length);
    return frame::python::compare(side, available, Py_GT) ? Ref() : side;
}

// ---------------------------------------------------------------------------

Ref init(Borrowed self, Real aspect_ratio, Borrowed always_apply, Borrowed p) {
    relative_center_crop.base_attribute(self, names::init)(kw("width", 1), kw("height", 1),
                                                           kw("always_apply", always_apply), kw("p", p));
    init_aspect_ratio(relative_center_crop, self, aspect_ratio);
    return Ref::none();
}

// The shorter side is kept whole.  Where the ratio then asks for more of the
// other side than the image has, that side is kept whole instead, so the crop
// always lies inside the image.
void choose_crop_size(Borrowed self) {
    Ref rows = relative_center_crop.last_height(self), cols = relative_center_crop.last_width(self);
    set_window(self, rows, cols, frame::python::compare(rows, cols, Py_GE), fitting_side, height_name, width_name);
}

Ref update_params(Borrowed self, Borrowed params, Borrowed kwargs) {
    return relative_center_crop.update_params(self, params, kwargs, [&] { choose_crop_size(self); });
}

Ref get_transform_init_args_names(Borrowed) { return Ref::steal(Py_BuildValue("(s)", "aspect_ratio")); }

const frame::Callable relative_center_crop_methods[] = {
    {"RelativeCenterCrop.__init__(self, double aspect_ratio: float, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", frame::bound<init>},
    {"RelativeCenterCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute crop size from current image shape.", frame::bound<update_params>},
    {"RelativeCenterCrop.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Check that the image size is the one the crop size was computed for.", frame::bound<host::check_after_update>},
    {"RelativeCenterCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", frame::bound<checked_apply<relative_center_crop>>},
    {"RelativeCenterCrop.apply_to_bbox(self, tuple bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]",
     "Apply the crop to a bounding box.", frame::bound<checked_apply_to_bbox<relative_center_crop>>},
    {"RelativeCenterCrop.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **params: Any)"
     " -> tuple[float, ...]",
     "Apply the crop to a keypoint.", frame::bound<checked_apply_to_keypoint<relative_center_crop>>},
    {"RelativeCenterCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return the names of the constructor arguments that serialisation stores.",
     frame::bound<get_transform_init_args_names>},
    {"RelativeCenterCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.",
     frame::bound<host::get_class_fullname>, frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    module.import_from("typing", {"Any", "cast"});
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"CenterCrop"});
    relative_center_crop.define(module, {"CenterCrop"}, "Center-crop while preserving a target aspect ratio.",
                                relative_center_crop_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_dalmire() {
    return halvex::frame::module_init({"dalmire", "halvex.preprocessing.augmentations.transform.dalmire",
                                       "Center-crop while preserving a target aspect ratio.", HALVEX_MODULE_SOURCE,
                                       body});
}
