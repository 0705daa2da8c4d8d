// Pad to a target aspect ratio while keeping the original content position.
//
// RelativePadding leaves the padding to Albumentations' PadIfNeeded.  Its own
// work is choosing PadIfNeeded's min_height and min_width afresh for every
// image, and refusing apply calls whose image size is not the one it chose
// them for.

#include "frame/base_call.hpp"
#include "frame/module.hpp"
#include "frame/size_check.hpp"

#include <cmath>

namespace {

using namespace halvex;
using frame::Borrowed;
using frame::Call;
using frame::kw;
using frame::Ref;

// The class object, for super(RelativePadding, self), and its size check.
frame::Retained relative_padding_class;
frame::SizeCheck size_check;

// Interned once at import: these are looked up for every image, box and
// keypoint, and the per-call work should stay small next to the base class's.
struct Names {
    Borrowed round, aspect_ratio, last_input_height, last_input_width, init, update_params,
        apply, apply_to_bbox, apply_to_keypoint, min_height, min_width;
} names;

// super(RelativePadding, self).name(*arguments, **keywords)
Ref call_base(Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments, Borrowed keywords = {}) {
    return frame::call_base(relative_padding_class, self, name, arguments, keywords);
}

void set(Borrowed self, Borrowed name, Borrowed value) { frame::check(PyObject_SetAttr(self, name, value)); }

// What the base class hands back is only used once it has the expected type.
using frame::expect_type;

bool compare(Borrowed left, Borrowed right, int operation) {
    return frame::check(PyObject_RichCompareBool(left, right, operation)) != 0;
}

// max(1, int(round(length))), round being Python's (ties to even).
Ref side_length(Borrowed length) {
    Ref one = frame::to_python(1);
    Ref side = Ref::steal(PyNumber_Long(frame::global(names.round)(length)));
    return compare(side, one, Py_GT) ? side : one;
}

// The padded side that `length` asks for, or nothing when that side would be
// shorter than the `existing` one: padding cannot shrink an image, so such a
// target would leave the ratio unreached.
Ref reaching_side(Borrowed length, Borrowed existing) {
    Ref side = side_length(length);
    return compare(side, existing, Py_LT) ? Ref() : side;
}

// ---------------------------------------------------------------------------

Ref init(Call& call) {
    Borrowed self = call[0], aspect_ratio = call[1], position = call[2], border_mode = call[3], value = call[4],
             mask_value = call[5], always_apply = call[6], p = call[7];
    // 1.
    frame::base_attribute(relative_padding_class, self, names.init)(
        kw("min_height", 1), kw("min_width", 1), kw("position", position), kw("border_mode", border_mode),
        kw("value", value), kw("mask_value", mask_value), kw("always_apply", always_apply), kw("p", p));
    // 2. Written so that NaN fails too: it is not > 0.  An infinite ratio
    // would only fail later, on the first image.
    const double ratio = call.real(1);
    if (!(ratio > 0.0)) frame::raise(PyExc_ValueError, "Aspect ratio has to be > 0");
    if (std::isinf(ratio)) frame::raise(PyExc_ValueError, "Aspect ratio has to be finite");
    // 3.
    set(self, names.aspect_ratio, aspect_ratio);
    Ref zero = frame::to_python(0);
    set(self, names.last_input_height, zero);
    set(self, names.last_input_width, zero);
    return Ref::none();
}

Ref update_params(Call& call) {
    Borrowed self = call[0], params = call[1], kwargs = call[2];
    // 1.
    Ref updated = expect_type(call_base(self, names.update_params, {params}, kwargs), &PyDict_Type);
    // 2.
    frame::record_input_size(self, "RelativePadding", updated);
    // 3. The longer side keeps its length.  Where the ratio then asks for
    // less of the other side than the image has, that side keeps its length
    // instead and the first one is padded, so the ratio is always reached.
    Ref rows = self.attr(names.last_input_height), cols = self.attr(names.last_input_width);
    Ref aspect_ratio = self.attr(names.aspect_ratio);
    Ref min_height, min_width;
    if (compare(rows, cols, Py_GE)) {
        min_width = reaching_side(Ref::steal(PyNumber_Multiply(rows, aspect_ratio)), cols);
        if (min_width) {
            min_height = rows;
        } else {
            min_width = cols;
            min_height = side_length(Ref::steal(PyNumber_TrueDivide(cols, aspect_ratio)));
        }
        set(self, names.min_height, min_height);
        set(self, names.min_width, min_width);
    } else {
        min_height = reaching_side(Ref::steal(PyNumber_TrueDivide(cols, aspect_ratio)), rows);
        if (min_height) {
            min_width = cols;
        } else {
            min_height = rows;
            min_width = side_length(Ref::steal(PyNumber_Multiply(rows, aspect_ratio)));
        }
        set(self, names.min_width, min_width);
        set(self, names.min_height, min_height);
    }
    // 4.
    return expect_type(call_base(self, names.update_params, {updated}, kwargs), &PyDict_Type);
}

// The size check, then the base class's own `method` for the same argument.
Ref checked_base_call(Call& call, Borrowed method) {
    frame::run_size_check(call, 2, size_check);
    return frame::call_base(relative_padding_class, call[0], method, {call[1]}, call, 2);
}

Ref apply(Call& call) { return checked_base_call(call, names.apply); }

Ref apply_to_bbox(Call& call) { return expect_type(checked_base_call(call, names.apply_to_bbox), &PyTuple_Type); }

Ref apply_to_keypoint(Call& call) { return expect_type(checked_base_call(call, names.apply_to_keypoint), &PyTuple_Type); }

Ref get_transform_init_args_names(Call&) {
    return Ref::steal(Py_BuildValue("(ssss)", "aspect_ratio", "border_mode", "value", "mask_value"));
}

Ref get_class_fullname(Call& call) { return call[0].attr("__name__"); }

const frame::Callable relative_padding_methods[] = {
    {"RelativePadding.__init__(self, double aspect_ratio: float,"
     " position: PadIfNeeded.PositionType | str = PadIfNeeded.PositionType.CENTER,"
     " int border_mode: int = cv2.BORDER_CONSTANT, value: int | float | tuple[int, int, int] = 0,"
     " mask_value: int | float | tuple[int, int, int] | None = None, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", init},
    {"RelativePadding.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute padding from current image shape.", update_params},
    {"RelativePadding.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Check that the image size is the one the padding was computed for.", frame::check_after_update},
    {"RelativePadding.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the padding to an image.", apply},
    {"RelativePadding.apply_to_bbox(self, tuple bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]",
     "Apply the padding to a bounding box.", apply_to_bbox},
    {"RelativePadding.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **params: Any)"
     " -> tuple[float, ...]",
     "Apply the padding to a keypoint.", apply_to_keypoint},
    {"RelativePadding.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return the names of the constructor arguments that serialisation stores.", get_transform_init_args_names},
    {"RelativePadding.get_class_fullname(cls) -> str", "Return the class name as fullname.", get_class_fullname,
     frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    names = {frame::interned("round"),
             frame::interned("aspect_ratio"),
             frame::interned("_RelativePadding__last_input_height"),
             frame::interned("_RelativePadding__last_input_width"),
             frame::interned("__init__"),
             frame::interned("update_params"),
             frame::interned("apply"),
             frame::interned("apply_to_bbox"),
             frame::interned("apply_to_keypoint"),
             frame::interned("min_height"),
             frame::interned("min_width")};
    module.import_from("typing", {"Any", "cast"});
    module.import_module("cv2", "cv2");
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"PadIfNeeded"});
    Ref cls = module.define_class("RelativePadding", {"PadIfNeeded"},
                                  "Pad to a target aspect ratio while keeping the original content position.",
                                  relative_padding_methods);
    size_check = frame::size_check_of("RelativePadding", cls);
    relative_padding_class = cls;
}

const frame::ModuleDefinition definition = {
    "quenfor",
    "halvex.preprocessing.augmentations.transform.quenfor",
    "Pad to a target aspect ratio while keeping the original content position.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_quenfor() { return frame::module_init(definition); }
