// Center-crop while preserving a target aspect ratio.
//
// RelativeCenterCrop leaves the cropping to Albumentations' CenterCrop.  Its
// own work is choosing CenterCrop's height and width afresh for every image,
// and refusing apply calls whose image size is not the one it chose them for.

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

// The class object, for super(RelativeCenterCrop, self), and its size check.
frame::Retained relative_center_crop_class;
frame::SizeCheck size_check;

// Interned once at import: these are looked up for every image, box and
// keypoint, and the per-call work should stay small next to the base class's.
struct Names {
    Borrowed round, aspect_ratio, last_input_height, last_input_width, init, update_params,
        apply, apply_to_bbox, apply_to_keypoint, height, width;
} names;

// super(RelativeCenterCrop, self).name(*arguments, **keywords)
Ref call_base(Borrowed self, Borrowed name, std::initializer_list<Borrowed> arguments, Borrowed keywords = {}) {
    return frame::call_base(relative_center_crop_class, self, name, arguments, keywords);
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

// The crop side that `length` asks for, or nothing when that side would not
// fit into `available` pixels.  An infinite length (a vanishingly small
// ratio) never fits, so it must not reach round().
Ref fitting_side(Borrowed length, Borrowed available) {
    if (PyFloat_Check(length.get()) && std::isinf(PyFloat_AS_DOUBLE(length.get())) &&
        PyFloat_AS_DOUBLE(length.get()) > 0)
        return {};
    Ref side = side_length(length);
    return compare(side, available, Py_GT) ? Ref() : side;
}

// ---------------------------------------------------------------------------

Ref init(Call& call) {
    Borrowed self = call[0], aspect_ratio = call[1], always_apply = call[2], p = call[3];
    // 1.
    frame::base_attribute(relative_center_crop_class, self, names.init)(kw("width", 1), kw("height", 1),
                                                                         kw("always_apply", always_apply), kw("p", p));
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
    frame::record_input_size(self, "RelativeCenterCrop", updated);
    // 3. The shorter side is kept whole.  Where the ratio then asks for more
    // of the other side than the image has, that side is kept whole instead,
    // so the crop always lies inside the image.
    Ref rows = self.attr(names.last_input_height), cols = self.attr(names.last_input_width);
    Ref aspect_ratio = self.attr(names.aspect_ratio);
    Ref height, width;
    if (compare(rows, cols, Py_GE)) {
        height = fitting_side(Ref::steal(PyNumber_TrueDivide(cols, aspect_ratio)), rows);
        if (height) {
            width = cols;
        } else {
            height = rows;
            width = side_length(Ref::steal(PyNumber_Multiply(rows, aspect_ratio)));
        }
        set(self, names.width, width);
        set(self, names.height, height);
    } else {
        width = fitting_side(Ref::steal(PyNumber_Multiply(rows, aspect_ratio)), cols);
        if (width) {
            height = rows;
        } else {
            width = cols;
            height = side_length(Ref::steal(PyNumber_TrueDivide(cols, aspect_ratio)));
        }
        set(self, names.height, height);
        set(self, names.width, width);
    }
    // 4.
    return expect_type(call_base(self, names.update_params, {updated}, kwargs), &PyDict_Type);
}

// The size check, then the base class's own `method` for the same argument.
Ref checked_base_call(Call& call, Borrowed method) {
    frame::run_size_check(call, 2, size_check);
    return frame::call_base(relative_center_crop_class, call[0], method, {call[1]}, call, 2);
}

Ref apply(Call& call) { return checked_base_call(call, names.apply); }

Ref apply_to_bbox(Call& call) { return expect_type(checked_base_call(call, names.apply_to_bbox), &PyTuple_Type); }

Ref apply_to_keypoint(Call& call) { return expect_type(checked_base_call(call, names.apply_to_keypoint), &PyTuple_Type); }

Ref get_transform_init_args_names(Call&) { return Ref::steal(Py_BuildValue("(s)", "aspect_ratio")); }

Ref get_class_fullname(Call& call) { return call[0].attr("__name__"); }

const frame::Callable relative_center_crop_methods[] = {
    {"RelativeCenterCrop.__init__(self, double aspect_ratio: float, bool always_apply: bool = False,"
     " double p: float = 1.0) -> None",
     "Initialize the transform.", init},
    {"RelativeCenterCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
     "Update Albumentations params and compute crop size from current image shape.", update_params},
    {"RelativeCenterCrop.__check_after_update(self, int rows: int | None = None, int cols: int | None = None,"
     " **_kwargs: Any) -> None",
     "Check that the image size is the one the crop size was computed for.", frame::check_after_update},
    {"RelativeCenterCrop.apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]",
     "Apply the crop to an image.", apply},
    {"RelativeCenterCrop.apply_to_bbox(self, tuple bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]",
     "Apply the crop to a bounding box.", apply_to_bbox},
    {"RelativeCenterCrop.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **params: Any)"
     " -> tuple[float, ...]",
     "Apply the crop to a keypoint.", apply_to_keypoint},
    {"RelativeCenterCrop.get_transform_init_args_names(self) -> tuple[str, ...]",
     "Return the names of the constructor arguments that serialisation stores.", get_transform_init_args_names},
    {"RelativeCenterCrop.get_class_fullname(cls) -> str", "Return the class name as fullname.", get_class_fullname,
     frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    names = {frame::interned("round"),
             frame::interned("aspect_ratio"),
             frame::interned("_RelativeCenterCrop__last_input_height"),
             frame::interned("_RelativeCenterCrop__last_input_width"),
             frame::interned("__init__"),
             frame::interned("update_params"),
             frame::interned("apply"),
             frame::interned("apply_to_bbox"),
             frame::interned("apply_to_keypoint"),
             frame::interned("height"),
             frame::interned("width")};
    module.import_from("typing", {"Any", "cast"});
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"CenterCrop"});
    Ref cls = module.define_class("RelativeCenterCrop", {"CenterCrop"},
                                  "Center-crop while preserving a target aspect ratio.",
                                  relative_center_crop_methods);
    size_check = frame::size_check_of("RelativeCenterCrop", cls);
    relative_center_crop_class = cls;
}

const frame::ModuleDefinition definition = {
    "dalmire",
    "halvex.preprocessing.augmentations.transform.dalmire",
    "Center-crop while preserving a target aspect ratio.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_dalmire() { return frame::module_init(definition); }
