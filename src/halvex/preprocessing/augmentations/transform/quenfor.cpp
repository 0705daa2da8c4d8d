// Pad to a target aspect ratio while keeping the original content position.
//
// RelativePadding leaves the padding to Albumentations' PadIfNeeded.  Its own
// work is choosing PadIfNeeded's min_height and min_width afresh for every
// image, and refusing apply calls whose image size is not the one it chose
// them for.

#include "host/aspect_ratio.hpp"

namespace {

using namespace halvex;
using namespace halvex::host;
using frame::kw;
using frame::Real;

host::SizeCheckedTransform relative_padding{"RelativePadding"};

const Name min_height_name{"min_height"}, min_width_name{"min_width"};

// The padded side that `length` asks for, or nothing when that side would be
// shorter than the `existing` one: padding cannot shrink an image, so such a
// target would leave the ratio unreached.
Ref reaching_side(Borrowed length, Borrowed existing) {
    Ref side = side_length(length);
    return frame::python::compare(side, existing, Py_LT) ? Ref() : side;
}

// ---------------------------------------------------------------------------

Ref init(Borrowed self, Real aspect_ratio, Borrowed position, Borrowed border_mode, Borrowed value, Borrowed mask_value,
         Borrowed always_apply, Borrowed p) {
    relative_padding.base_attribute(self, names::init)(
        kw("min_height", 1), kw("min_width", 1), kw("position", position), kw("border_mode", border_mode),
        kw("value", value), kw("mask_value", mask_value), kw("always_apply", always_apply), kw("p", p));
    init_aspect_ratio(relative_padding, self, aspect_ratio);
    return Ref::none();
}

// The longer side keeps its length.  Where the ratio then asks for less of
// the other side than the image has, that side keeps its length instead and
// the first one is padded, so the ratio is always reached.
void choose_padded_size(Borrowed self) {
    Ref rows = relative_padding.last_height(self), cols = relative_padding.last_width(self);
    set_window(self, rows, cols, !frame::python::compare(rows, cols, Py_GE), reaching_side, min_height_name,
               min_width_name);
}

Ref update_params(Borrowed self, Borrowed params, Borrowed kwargs) {
    return relative_padding.update_params(self, params, kwargs, [&] { choose_padded_size(self); });
}

Ref get_transform_init_args_names(Borrowed) {
    return Ref::steal(Py_BuildValue("(ssss)", "aspect_ratio", "border_mode", "value", "mask_value"));
}

const frame::Callable relative_padding_methods[] = {
    {"RelativePadding.__init__(self, double aspect_ratio: float,"
     " position: PadIfNeeded.PositionType | str = PadIfNeeded.PositionType.CENTER,"
     " int border_mode: int = cv2.BORDER_CONSTANT, value: int | float | tuple[int, int, int] = 0,"
     " mask_value: int | float | tuple[int, int, int] | None = None, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", frame::bound<init>},
    {"RelativePadding.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute padding from current image shape.", frame::bound<update_params>},
    {"RelativePadding.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Check that the image size is the one the padding was computed for.", frame::bound<host::check_after_update>},
    {"RelativePadding.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the padding to an image.", frame::bound<checked_apply<relative_padding>>},
    {"RelativePadding.apply_to_bbox(self, tuple bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]",
     "Apply the padding to a bounding box.", frame::bound<checked_apply_to_bbox<relative_padding>>},
    {"RelativePadding.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **params: Any)"
     " -> tuple[float, ...]",
     "Apply the padding to a keypoint.", frame::bound<checked_apply_to_keypoint<relative_padding>>},
    {"RelativePadding.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return the names of the constructor arguments that serialisation stores.",
     frame::bound<get_transform_init_args_names>},
    {"RelativePadding.get_class_fullname(cls) -> str", "Return the class name as fullname.",
     frame::bound<host::get_class_fullname>, frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    module.import_from("typing", {"Any", "cast"});
    module.import_module("cv2", "cv2");
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"PadIfNeeded"});
    relative_padding.define(module, {"PadIfNeeded"},
                            "Pad to a target aspect ratio while keeping the original content position.",
                            relative_padding_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_quenfor() {
    return halvex::frame::module_init({"quenfor", "halvex.preprocessing.augmentations.transform.quenfor",
                                       "Pad to a target aspect ratio while keeping the original content position.",
                                       HALVEX_MODULE_SOURCE, body});
}
