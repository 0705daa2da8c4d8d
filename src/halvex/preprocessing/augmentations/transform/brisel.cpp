// Assemble an unstructured image from configured channels of a structured array.
//
// ChannelAssembler reads one field per output channel and scales it onto
// [-1, 1].  Every channel is first resolved in configuration order (name,
// field, operation, bounds), so that configuration errors surface exactly
// where the step-by-step formulation raises them.  Fields of the numeric
// types the kernel covers are then filled in one native sweep over the
// image; anything else (object or sub-array fields, a retrieve_channel that
// returns something unusual, arithmetic that raised a floating-point
// exception) is filled with the numpy operations themselves.

#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "kernels/channel_assembly.hpp"

#include <optional>
#include <vector>

namespace {

using namespace halvex;
using frame::Borrowed;
using frame::Call;
using frame::global;
using frame::kw;
using frame::Ref;

// The class object, for super(Class, self).
frame::Retained channel_assembler_class;

Ref string(const char* text) { return Ref::borrow(frame::interned(text)); }

bool equals_text(Borrowed object, const char* text) { return frame::equal(object, frame::interned(text)); }

// A channel name from the configuration: a str, or None (which the argument
// check of retrieve_channel then rejects).
Ref channel_name_at(Borrowed channel_type, const char* key) {
    Ref name = channel_type.item(frame::interned(key));
    if (!name.is_none() && !PyUnicode_CheckExact(name.get()))
        frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", name.type()->tp_name);
    return name;
}

// The element type of a field the native sweep can read in place, for a
// field of exactly the image's shape.
std::optional<kernels::ElementType> native_element_type(Borrowed channel, PyArrayObject* leading) {
    if (!PyArray_CheckExact(channel.get())) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(channel.get());
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyDataType_HASFIELDS(descr) || PyDataType_HASSUBARRAY(descr)) return std::nullopt;
    kernels::ElementType type{kernels::ElementKind::floating, static_cast<int>(PyDataType_ELSIZE(descr)),
                              !PyArray_ISNBO(descr->byteorder)};
    switch (descr->kind) {
        case 'i': type.kind = kernels::ElementKind::signed_integer; break;
        case 'u': type.kind = kernels::ElementKind::unsigned_integer; break;
        case 'f': type.kind = kernels::ElementKind::floating; break;
        default: return std::nullopt;
    }
    if (!kernels::covered(type)) return std::nullopt;
    // The output channel has the image's shape; other shapes broadcast or
    // fail in numpy, which then has its say.
    if (PyArray_NDIM(array) != PyArray_NDIM(leading) - 1) return std::nullopt;
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis)
        if (PyArray_DIM(array, axis) != PyArray_DIM(leading, axis)) return std::nullopt;
    return type;
}

// The numpy formulation of filling one channel from its bounds.
void fill_the_numpy_way(Borrowed image_channel, Borrowed channel_output, double min_value, double max_value,
                        bool need_clipping) {
    Ref np = global("np");
    if (max_value <= min_value) {
        channel_output.attr("fill")(0.0);
        return;
    }
    const double factor = 2 / (max_value - min_value);
    if (min_value != 0.0) {
        np.attr("subtract")(image_channel, min_value, kw("out", channel_output));
        np.attr("multiply")(channel_output, factor, kw("out", channel_output));
    } else {
        np.attr("multiply")(image_channel, factor, kw("out", channel_output));
    }
    np.attr("subtract")(channel_output, 1, kw("out", channel_output));
    if (need_clipping) np.attr("clip")(channel_output, -1.0, 1.0, kw("out", channel_output));
}

// OpenCV's min-max normalisation of an integer channel onto [-1, 1].  OpenCV
// reads every array in the machine's byte order and refuses a strided
// destination, so it gets a native-order source it can read and its result
// is copied into the channel.
void normalize_with_opencv(Borrowed image_channel, Borrowed channel_output) {
    Ref np = global("np"), cv2 = global("cv2");
    Ref source = Ref::borrow(image_channel);
    Ref dtype = source.attr("dtype");
    if (!dtype.attr("isnative").truth()) {
        dtype = dtype.attr("newbyteorder")("=");
        source = source.attr("astype")(dtype);
    }
    // OpenCV has no uint32 and reads 64-bit integers through 32 bits; doubles
    // keep the linear map these need.
    const Py_ssize_t itemsize = dtype.attr("itemsize").to_ssize();
    if (itemsize == 8 || (itemsize == 4 && equals_text(dtype.attr("kind"), "u")))
        source = source.attr("astype")(np.attr("float64"));
    Ref normalized = cv2.attr("normalize")(source, Py_None, kw("alpha", -1.0), kw("beta", 1.0),
                                           kw("norm_type", cv2.attr("NORM_MINMAX")), kw("dtype", cv2.attr("CV_32F")));
    np.attr("copyto")(channel_output, normalized.attr("reshape")(channel_output.attr("shape")));
}

// ---------------------------------------------------------------------------

Ref init(Call& call) {
    Borrowed self = call[0], channels = call[1], always_apply = call[2], p = call[3];
    global("super")(channel_assembler_class, self)
        .attr("__init__")(kw("always_apply", always_apply), kw("p", p));
    self.set_attr("channels", channels);
    self.set_attr("_ChannelAssembler__last_img", Py_None);
    self.set_attr("_ChannelAssembler__last_result", Py_None);
    return Ref::none();
}

Ref gray_composite(Borrowed img) {
    Ref np = global("np");
    Ref red = img.item(frame::interned("red"));
    Ref sum = Ref::steal(PyNumber_Add(red.attr("astype")(np.attr("float32")),
                                      img.item(frame::interned("green")).attr("astype")(np.attr("float32"))));
    sum = Ref::steal(PyNumber_Add(sum, img.item(frame::interned("blue")).attr("astype")(np.attr("float32"))));
    Ref mean = Ref::steal(PyNumber_TrueDivide(sum, frame::to_python(3)));
    return mean.attr("astype")(red.attr("dtype"));
}

Ref retrieve_channel(Call& call) {
    Borrowed channel_name = call[0], img = call[1];
    // 1.
    Ref available = img.attr("dtype").attr("names");
    if (available.is_none() || !available.truth()) available = Ref::steal(PyTuple_New(0));
    // 2.
    if (frame::check(PySequence_Contains(available, channel_name))) return img.item(channel_name);
    // 3.
    for (const char* composite : {"gray", "grey", "a"})
        if (equals_text(channel_name, composite)) return gray_composite(img);
    // 4.
    Ref joined = Ref::steal(PyUnicode_Join(string(", "), available));
    frame::raise(PyExc_ValueError, "Channel %S not available. Available channels: %S.", channel_name.get(),
                 joined.get());
}

// One configured channel, resolved up to the point where values are written.
struct PlannedChannel {
    Ref image_channel;  // kept alive for the sweep
    kernels::ChannelPass pass;
    Ref channel_output;
    double min_value, max_value;
    bool need_clipping;
};

Ref apply(Call& call) {
    Borrowed self = call[0], img = call[1];
    // 1.
    Ref last_result = self.attr("_ChannelAssembler__last_result");
    if (self.attr("_ChannelAssembler__last_img").is(img) && !last_result.is_none()) return last_result;
    // 2.
    if (img.attr("dtype").attr("names").is_none()) return Ref::borrow(img);
    // 3.
    Ref np = global("np");
    Ref channels = self.attr("channels");
    const Py_ssize_t count = PyObject_Size(channels);
    if (count < 0) throw frame::python_error();
    Ref shape = Ref::steal(PySequence_Tuple(img.attr("shape")));
    Ref full_shape = Ref::steal(PySequence_Concat(shape, frame::tuple_of({frame::to_python(count)})));
    Ref output_array = np.attr("empty")(full_shape, kw("dtype", np.attr("float32")));
    auto* output = reinterpret_cast<PyArrayObject*>(output_array.get());

    // 4. Resolve every channel in order; fields the kernel reads wait for the sweep.
    std::vector<PlannedChannel> native;
    Ref iterator = Ref::steal(PyObject_GetIter(channels));
    Ref ellipsis = Ref::borrow(Py_Ellipsis);
    Py_ssize_t channel_id = 0;
    for (Ref channel_configuration; (channel_configuration = Ref::steal_or_null(PyIter_Next(iterator)));
         ++channel_id) {
        // 4.1
        Ref channel_output = output_array.item(frame::tuple_of({ellipsis, frame::to_python(channel_id)}));
        // 4.2
        Ref channel = channel_configuration.item(frame::interned("channel"));
        Ref channel_type = channel.item(frame::interned("channel_type"));
        Ref channel_name = channel_name_at(channel_type, "selection");
        if (equals_text(channel_name, "custom")) channel_name = channel_name_at(channel_type, "name");
        // 4.3
        Ref image_channel = self.attr("retrieve_channel")(channel_name, img);
        // 4.4
        std::optional<kernels::ElementType> element = native_element_type(image_channel, output);
        if (element && !PyArray_IS_C_CONTIGUOUS(output)) element.reset();
        const bool is_integer_dtype =
            element ? element->kind != kernels::ElementKind::floating
                    : np.attr("issubdtype")(image_channel.attr("dtype"), np.attr("integer")).truth();
        // 4.5
        Ref operations_record = channel.attr("get")("enable_operations", Ref::steal(PyDict_New()));
        Ref channel_operations = operations_record.attr("get")("operations", Ref::steal(PyDict_New()));
        Ref enabled_operation = channel_operations.attr("get")("selection");
        // 4.6
        if (!enabled_operation.truth()) {
            frame::check(PyObject_SetItem(channel_operations, frame::interned("min"), frame::to_python(0.0)));
            frame::check(PyObject_SetItem(channel_operations, frame::interned("max"), frame::to_python(1.0)));
            enabled_operation = string(is_integer_dtype ? "relative_cap" : "absolute_cap");
        }
        // 4.7
        Ref to_float = global("float");
        double min_value = 0.0, max_value = 0.0;
        bool need_clipping = false, has_nan = false;
        const bool absolute_cap = equals_text(enabled_operation, "absolute_cap");
        const bool relative_cap = !absolute_cap && equals_text(enabled_operation, "relative_cap");
        const bool normalize = !absolute_cap && !relative_cap && equals_text(enabled_operation, "normalize");
        if (absolute_cap) {
            min_value = to_float(channel_operations.item(frame::interned("min"))).to_double();
            max_value = to_float(channel_operations.item(frame::interned("max"))).to_double();
            need_clipping = true;
        } else if (relative_cap) {
            if (!is_integer_dtype) {
                Ref dtype_text = Ref::steal(PyObject_Str(image_channel.attr("dtype")));
                frame::raise(PyExc_ValueError,
                             "\"Relative Cap\" can only be used on integer channels, not on channels of dtype %U. "
                             "Processing channel %S failed for item.",
                             dtype_text.get(), channel_name.get());
            }
            Ref limits = np.attr("iinfo")(image_channel.attr("dtype"));
            Ref min_per_datatype = limits.attr("min"), max_per_datatype = limits.attr("max");
            Ref range_datatype = Ref::steal(PyNumber_Subtract(max_per_datatype, min_per_datatype));
            Ref rel_min = to_float(channel_operations.attr("get")("min", 0.0));
            Ref rel_max = to_float(channel_operations.attr("get")("max", 1.0));
            if (rel_min.to_double() == 0.0 && rel_max.to_double() == 1.0) {
                min_value = to_float(min_per_datatype).to_double();
                max_value = to_float(max_per_datatype).to_double();
                need_clipping = false;
            } else {
                auto bound = [&](Borrowed relative) {
                    Ref scaled = Ref::steal(PyNumber_Multiply(relative, range_datatype));
                    return Ref::steal(PyNumber_Add(scaled, min_per_datatype)).to_double();
                };
                min_value = bound(rel_min);
                max_value = bound(rel_max);
                need_clipping = true;
            }
        } else if (normalize) {
            const bool empty = PyArray_Check(image_channel.get()) &&
                               PyArray_SIZE(reinterpret_cast<PyArrayObject*>(image_channel.get())) == 0;
            if (element && !empty) {
                // Integer channels go to OpenCV, which finds its own bounds.
                if (!is_integer_dtype) {
                    PyArrayObject* field = frame::as_array(image_channel);
                    kernels::FieldBounds bounds = kernels::field_bounds(static_cast<const char*>(PyArray_DATA(field)),
                                                                        frame::layout_of(field), *element);
                    has_nan = bounds.has_nan;
                    min_value = bounds.min_value;
                    max_value = bounds.max_value;
                }
            }
            if (!element || empty || has_nan) {
                min_value = to_float(np.attr("min")(image_channel)).to_double();
                max_value = to_float(np.attr("max")(image_channel)).to_double();
            }
            need_clipping = false;
        } else {
            Ref operation_text = Ref::steal(PyObject_Str(enabled_operation));
            frame::raise(PyExc_ValueError, "Unknown operation \"%U\" for channel %S.", operation_text.get(),
                         channel_name.get());
        }
        // 4.8
        if (normalize && is_integer_dtype) {
            normalize_with_opencv(image_channel, channel_output);
        } else if (element && !has_nan) {
            auto* field = reinterpret_cast<PyArrayObject*>(image_channel.get());
            PlannedChannel planned{image_channel, {}, channel_output, min_value, max_value, need_clipping};
            planned.pass.data = static_cast<const char*>(PyArray_DATA(field));
            planned.pass.strides = PyArray_STRIDES(field);
            planned.pass.type = *element;
            planned.pass.index = channel_id;
            planned.pass.zero = max_value <= min_value;
            if (!planned.pass.zero) planned.pass.scaling = {min_value, 2 / (max_value - min_value), need_clipping};
            native.push_back(std::move(planned));
        } else {
            fill_the_numpy_way(image_channel, channel_output, min_value, max_value, need_clipping);
        }
    }
    if (PyErr_Occurred()) throw frame::python_error();

    // The native sweep, which also writes the copy kept for the cache.
    Ref kept;
    if (!native.empty()) {
        kept = Ref::steal(PyArray_NewLikeArray(output, NPY_CORDER, nullptr, 0));
        std::vector<kernels::ChannelPass> passes;
        passes.reserve(native.size());
        for (const PlannedChannel& planned : native) passes.push_back(planned.pass);
        std::vector<std::ptrdiff_t> dims(PyArray_DIMS(output), PyArray_DIMS(output) + PyArray_NDIM(output) - 1);
        kernels::assemble_channels(dims.data(), static_cast<int>(dims.size()), passes,
                                   static_cast<float*>(PyArray_DATA(output)), PyArray_DIM(output, PyArray_NDIM(output) - 1),
                                   static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(kept.get()))));
        for (std::size_t c = 0; c < passes.size(); ++c) {
            if (!passes[c].raised) continue;
            const PlannedChannel& planned = native[c];
            fill_the_numpy_way(planned.image_channel, planned.channel_output, planned.min_value, planned.max_value,
                               planned.need_clipping);
            np.attr("copyto")(kept.item(frame::tuple_of({ellipsis, frame::to_python(planned.pass.index)})),
                              planned.channel_output);
        }
    } else {
        kept = Ref::steal(PyArray_NewCopy(output, NPY_CORDER));
    }
    // 5.
    self.set_attr("_ChannelAssembler__last_result", kept);
    self.set_attr("_ChannelAssembler__last_img", img);
    return output_array;
}

Ref apply_to_bbox(Call& call) { return Ref::borrow(call[1]); }

Ref apply_to_keypoint(Call& call) { return Ref::borrow(call[1]); }

Ref get_transform_init_args_names(Call&) { return frame::tuple_of({string("channels")}); }

Ref get_class_fullname(Call& call) { return call[0].attr("__name__"); }

const frame::Callable channel_assembler_methods[] = {
    {"ChannelAssembler.__init__(self, list channels: list[dict[str, Any]], bool always_apply: bool, double p: float)"
     " -> None",
     "Initialize the transform.", init},
    {"ChannelAssembler.retrieve_channel(str channel_name: str, img: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Retrieve a channel by name from a structured image, optionally composing grayscale.", retrieve_channel,
     frame::Binding::static_method},
    {"ChannelAssembler.apply(self, img: np.ndarray[Any, Any], **_params: Any) -> np.ndarray[Any, Any]",
     "Apply channel assembly to an image.", apply},
    {"ChannelAssembler.apply_to_bbox(self, tuple bbox: tuple[float, ...], **_params: Any) -> tuple[float, ...]",
     "Return bbox unchanged.", apply_to_bbox},
    {"ChannelAssembler.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **_params: Any)"
     " -> tuple[float, ...]",
     "Return keypoint unchanged.", apply_to_keypoint},
    {"ChannelAssembler.get_transform_init_args_names(self) -> tuple[str]",
     "Return the names of the arguments the transform is serialised with.", get_transform_init_args_names},
    {"ChannelAssembler.get_class_fullname(cls) -> str", "Return the class name as fullname.", get_class_fullname,
     frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    module.import_from("typing", {"Any", "cast"});
    module.import_module("cv2", "cv2");
    module.import_module("numpy", "np");
    frame::import_numpy_api();
    module.import_from("albumentations", {"DualTransform"});
    channel_assembler_class =
        module.define_class("ChannelAssembler", {"DualTransform"},
                            "Assemble an unstructured image from configured channels of a structured array.",
                            channel_assembler_methods);
}

const frame::ModuleDefinition definition = {
    "brisel",
    "halvex.preprocessing.augmentations.transform.brisel",
    "Assemble an unstructured image from configured channels of a structured array.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_brisel() { return frame::module_init(definition); }
