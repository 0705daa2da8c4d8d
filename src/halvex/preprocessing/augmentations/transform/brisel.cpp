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

#include "frame/gil.hpp"
#include "frame/numpy.hpp"
#include "frame/operators.hpp"
#include "host/transform.hpp"
#include "kernels/channel_assembly.hpp"

#include <optional>
#include <vector>

namespace {

using namespace halvex;
using namespace halvex::frame;
using namespace halvex::frame::python;

host::TransformClass channel_assembler{"ChannelAssembler"};

// The last image and its result, kept for a repeated call with the same image.
const Name last_img{"ChannelAssembler", "last_img"}, last_result{"ChannelAssembler", "last_result"};
const Name np_name{"np"}, float_name{"float"}, min_name{"min"}, max_name{"max"}, channel_name{"channel"},
    channel_type_name{"channel_type"};

// The texts of the configuration, compared for every channel.
const Name custom{"custom"}, selection{"selection"}, name_key{"name"}, absolute_cap_text{"absolute_cap"},
    relative_cap_text{"relative_cap"}, normalize_text{"normalize"}, unsigned_kind{"u"}, separator{", "},
    channels_text{"channels"};
const Name gray_names[] = {Name{"gray"}, Name{"grey"}, Name{"a"}};

Ref string(const Name& text) { return Ref::borrow(text); }

bool equals_text(Borrowed object, const Name& text) { return equal(object, text); }

// A channel name from the configuration: a str, or None (which the argument
// check of retrieve_channel then rejects).
Ref channel_name_at(Borrowed channel_type, const Name& key) {
    Ref name = channel_type.item(key);
    if (!name.is_none() && !PyUnicode_CheckExact(name.get()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", name.type()->tp_name);
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
    Ref np = global(np_name);
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
    static const Name cv2_name{"cv2"};
    Ref np = global(np_name), cv2 = global(cv2_name);
    Ref source = Ref::borrow(image_channel);
    Ref dtype = source.attr("dtype");
    if (!dtype.attr("isnative").truth()) {
        dtype = dtype.attr("newbyteorder")("=");
        source = source.attr("astype")(dtype);
    }
    // OpenCV has no uint32 and reads 64-bit integers through 32 bits; doubles
    // keep the linear map these need.
    const Py_ssize_t itemsize = dtype.attr("itemsize").to_ssize();
    if (itemsize == 8 || (itemsize == 4 && equals_text(dtype.attr("kind"), unsigned_kind)))
        source = source.attr("astype")(np.attr("float64"));
    Ref normalized = cv2.attr("normalize")(source, Py_None, kw("alpha", -1.0), kw("beta", 1.0),
                                           kw("norm_type", cv2.attr("NORM_MINMAX")), kw("dtype", cv2.attr("CV_32F")));
    np.attr("copyto")(channel_output, normalized.attr("reshape")(channel_output.attr("shape")));
}

// ---------------------------------------------------------------------------

Ref init(Borrowed self, Borrowed channels, Borrowed always_apply, Borrowed p) {
    channel_assembler.base_attribute(self, host::names::init)(kw("always_apply", always_apply), kw("p", p));
    self.set_attr("channels", channels);
    check(PyObject_SetAttr(self, last_img, Py_None));
    check(PyObject_SetAttr(self, last_result, Py_None));
    return Ref::none();
}

Ref gray_composite(Borrowed img) {
    static const Name red_name{"red"}, green_name{"green"}, blue_name{"blue"};
    Ref np = global(np_name);
    Ref red = img.item(red_name);
    Ref sum = add(red.attr("astype")(np.attr("float32")), img.item(green_name).attr("astype")(np.attr("float32")));
    sum = add(sum, img.item(blue_name).attr("astype")(np.attr("float32")));
    Ref mean = divide(sum, to_python(3));
    return mean.attr("astype")(red.attr("dtype"));
}

Ref retrieve_channel(Borrowed channel_name, Borrowed img) {
    // A field of the structured image ...
    Ref available = img.attr("dtype").attr("names");
    if (available.is_none() || !available.truth()) available = Ref::steal(PyTuple_New(0));
    if (check(PySequence_Contains(available, channel_name))) return img.item(channel_name);
    // ... or the gray composite of red, green and blue.
    for (const Name& composite : gray_names)
        if (equals_text(channel_name, composite)) return gray_composite(img);
    Ref joined = Ref::steal(PyUnicode_Join(string(separator), available));
    raise(PyExc_ValueError, "Channel %S not available. Available channels: %S.", channel_name.get(), joined.get());
}

// One configured channel, resolved up to the point where values are written.
struct ResolvedChannel {
    Ref channel_name;
    Ref image_channel;
    std::optional<kernels::ElementType> element;  // set when the native sweep can read the field
    bool is_integer_dtype = false;
    bool normalize = false;
    double min_value = 0.0, max_value = 0.0;
    bool need_clipping = false, has_nan = false;
};

// normalize: the smallest and largest value of the field, found natively for
// float fields the sweep reads (NaN leaves it to numpy); integer fields go to
// OpenCV, which finds its own.
void normalized_bounds(ResolvedChannel& resolved) {
    const bool empty =
        PyArray_Check(resolved.image_channel.get()) && PyArray_SIZE(as_array(resolved.image_channel)) == 0;
    if (resolved.element && !empty && !resolved.is_integer_dtype) {
        PyArrayObject* field = as_array(resolved.image_channel);
        const kernels::StridedLayout layout = layout_of(field);
        const auto* data = static_cast<const char*>(PyArray_DATA(field));
        const kernels::FieldBounds bounds =
            without_gil_if(PyArray_SIZE(field) >= elements_worth_releasing_the_gil,
                           [&] { return kernels::field_bounds(data, layout, *resolved.element); });
        resolved.has_nan = bounds.has_nan;
        resolved.min_value = bounds.min_value;
        resolved.max_value = bounds.max_value;
    }
    if (!resolved.element || empty || resolved.has_nan) {
        Ref np = global(np_name), to_float = global(float_name);
        resolved.min_value = to_float(np.attr("min")(resolved.image_channel)).to_double();
        resolved.max_value = to_float(np.attr("max")(resolved.image_channel)).to_double();
    }
    resolved.need_clipping = false;
}

// The bounds the channel's operation maps onto [-1, 1], in the order the
// configuration is read: the operation (a default one for none), then its
// bounds.
void resolve_bounds(Borrowed channel, ResolvedChannel& resolved) {
    Ref np = global(np_name);
    Ref operations_record = channel.attr("get")("enable_operations", Ref::steal(PyDict_New()));
    Ref channel_operations = operations_record.attr("get")("operations", Ref::steal(PyDict_New()));
    Ref enabled_operation = channel_operations.attr("get")("selection");
    // No operation: the full range of an integer type, [0, 1] of a float field.
    if (!enabled_operation.truth()) {
        set_item(channel_operations, min_name, to_python(0.0));
        set_item(channel_operations, max_name, to_python(1.0));
        enabled_operation = string(resolved.is_integer_dtype ? relative_cap_text : absolute_cap_text);
    }
    Ref to_float = global(float_name);
    const bool absolute_cap = equals_text(enabled_operation, absolute_cap_text);
    const bool relative_cap = !absolute_cap && equals_text(enabled_operation, relative_cap_text);
    resolved.normalize = !absolute_cap && !relative_cap && equals_text(enabled_operation, normalize_text);
    if (absolute_cap) {
        resolved.min_value = to_float(channel_operations.item(min_name)).to_double();
        resolved.max_value = to_float(channel_operations.item(max_name)).to_double();
        resolved.need_clipping = true;
    } else if (relative_cap) {
        if (!resolved.is_integer_dtype) {
            Ref dtype_text = Ref::steal(PyObject_Str(resolved.image_channel.attr("dtype")));
            raise(PyExc_ValueError,
                  "\"Relative Cap\" can only be used on integer channels, not on channels of dtype %U. "
                  "Processing channel %S failed for item.",
                  dtype_text.get(), resolved.channel_name.get());
        }
        Ref limits = np.attr("iinfo")(resolved.image_channel.attr("dtype"));
        Ref min_per_datatype = limits.attr("min"), max_per_datatype = limits.attr("max");
        Ref range_datatype = subtract(max_per_datatype, min_per_datatype);
        Ref rel_min = to_float(channel_operations.attr("get")("min", 0.0));
        Ref rel_max = to_float(channel_operations.attr("get")("max", 1.0));
        if (rel_min.to_double() == 0.0 && rel_max.to_double() == 1.0) {
            resolved.min_value = to_float(min_per_datatype).to_double();
            resolved.max_value = to_float(max_per_datatype).to_double();
            resolved.need_clipping = false;
        } else {
            auto bound = [&](Borrowed relative) {
                return add(multiply(relative, range_datatype), min_per_datatype).to_double();
            };
            resolved.min_value = bound(rel_min);
            resolved.max_value = bound(rel_max);
            resolved.need_clipping = true;
        }
    } else if (resolved.normalize) {
        normalized_bounds(resolved);
    } else {
        Ref operation_text = Ref::steal(PyObject_Str(enabled_operation));
        raise(PyExc_ValueError, "Unknown operation \"%U\" for channel %S.", operation_text.get(),
              resolved.channel_name.get());
    }
}

// A configured channel: its name, its field of the image, and its bounds.
ResolvedChannel resolve_channel(Borrowed self, Borrowed channel_configuration, Borrowed img, PyArrayObject* output) {
    ResolvedChannel resolved;
    Ref channel = channel_configuration.item(channel_name);
    Ref channel_type = channel.item(channel_type_name);
    resolved.channel_name = channel_name_at(channel_type, selection);
    if (equals_text(resolved.channel_name, custom)) resolved.channel_name = channel_name_at(channel_type, name_key);
    resolved.image_channel = self.attr("retrieve_channel")(resolved.channel_name, img);
    resolved.element = native_element_type(resolved.image_channel, output);
    if (resolved.element && !PyArray_IS_C_CONTIGUOUS(output)) resolved.element.reset();
    if (resolved.element) {
        resolved.is_integer_dtype = resolved.element->kind != kernels::ElementKind::floating;
    } else {
        Ref np = global(np_name);
        resolved.is_integer_dtype =
            np.attr("issubdtype")(resolved.image_channel.attr("dtype"), np.attr("integer")).truth();
    }
    resolve_bounds(channel, resolved);
    return resolved;
}

// A channel the native sweep fills, with what the numpy way needs should
// the arithmetic raise a floating-point exception there.
struct PlannedChannel {
    Ref image_channel;  // kept alive for the sweep
    kernels::ChannelPass pass;
    Ref channel_output;
    double min_value, max_value;
    bool need_clipping;
};

PlannedChannel planned(const ResolvedChannel& resolved, Borrowed channel_output, Py_ssize_t channel_id) {
    PyArrayObject* field = as_array(resolved.image_channel);
    PlannedChannel plan{resolved.image_channel, {}, Ref::borrow(channel_output), resolved.min_value, resolved.max_value,
                        resolved.need_clipping};
    plan.pass.data = static_cast<const char*>(PyArray_DATA(field));
    plan.pass.strides = PyArray_STRIDES(field);
    plan.pass.type = *resolved.element;
    plan.pass.index = channel_id;
    plan.pass.zero = resolved.max_value <= resolved.min_value;
    if (!plan.pass.zero)
        plan.pass.scaling = {resolved.min_value, 2 / (resolved.max_value - resolved.min_value), resolved.need_clipping};
    return plan;
}

// One sweep over the image for every planned channel, which also writes the
// copy kept for the cache; channels whose arithmetic raised are refilled the
// numpy way.  Returns the copy.
Ref fill_natively(Borrowed output_array, const std::vector<PlannedChannel>& native) {
    PyArrayObject* output = as_array(output_array);
    Ref kept = Ref::steal(PyArray_NewLikeArray(output, NPY_CORDER, nullptr, 0));
    std::vector<kernels::ChannelPass> passes;
    passes.reserve(native.size());
    for (const PlannedChannel& plan : native) passes.push_back(plan.pass);
    std::vector<std::ptrdiff_t> dims(PyArray_DIMS(output), PyArray_DIMS(output) + PyArray_NDIM(output) - 1);
    auto* written = static_cast<float*>(PyArray_DATA(output));
    auto* copy = static_cast<float*>(PyArray_DATA(as_array(kept)));
    const npy_intp channels = PyArray_DIM(output, PyArray_NDIM(output) - 1);
    without_gil_if(PyArray_SIZE(output) >= elements_worth_releasing_the_gil, [&] {
        kernels::assemble_channels(dims.data(), static_cast<int>(dims.size()), passes, written, channels, copy);
    });
    for (std::size_t c = 0; c < passes.size(); ++c) {
        if (!passes[c].raised) continue;
        const PlannedChannel& plan = native[c];
        fill_the_numpy_way(plan.image_channel, plan.channel_output, plan.min_value, plan.max_value, plan.need_clipping);
        global(np_name).attr("copyto")(kept.item(tuple_of({Py_Ellipsis, to_python(plan.pass.index)})),
                                       plan.channel_output);
    }
    return kept;
}

Ref apply(Borrowed self, Borrowed img, Kwargs) {
    // The result for the image of the last call is kept.
    Ref cached = self.attr(last_result);
    if (self.attr(last_img).is(img) && !cached.is_none()) return cached;
    // An image without fields is returned as it is.
    if (img.attr("dtype").attr("names").is_none()) return Ref::borrow(img);
    // One float32 output channel per configured channel.
    Ref np = global(np_name);
    Ref channels = self.attr("channels");
    const Py_ssize_t count = check(PyObject_Size(channels));
    Ref shape = Ref::steal(PySequence_Tuple(img.attr("shape")));
    Ref full_shape = Ref::steal(PySequence_Concat(shape, tuple_of({to_python(count)})));
    Ref output_array = np.attr("empty")(full_shape, kw("dtype", np.attr("float32")));
    // Every channel is resolved in order; integer normalisation goes to
    // OpenCV, fields the kernel reads wait for the sweep, the rest is filled
    // the numpy way at once.
    std::vector<PlannedChannel> native;
    Py_ssize_t channel_id = 0;
    for_each(channels, [&](Borrowed channel_configuration) {
        Ref channel_output = output_array.item(tuple_of({Py_Ellipsis, to_python(channel_id)}));
        const ResolvedChannel resolved = resolve_channel(self, channel_configuration, img, as_array(output_array));
        if (resolved.normalize && resolved.is_integer_dtype)
            normalize_with_opencv(resolved.image_channel, channel_output);
        else if (resolved.element && !resolved.has_nan)
            native.push_back(planned(resolved, channel_output, channel_id));
        else
            fill_the_numpy_way(resolved.image_channel, channel_output, resolved.min_value, resolved.max_value,
                               resolved.need_clipping);
        ++channel_id;
    });
    Ref kept = native.empty() ? Ref::steal(PyArray_NewCopy(as_array(output_array), NPY_CORDER))
                              : fill_natively(output_array, native);
    check(PyObject_SetAttr(self, last_result, kept));
    check(PyObject_SetAttr(self, last_img, img));
    return output_array;
}

Ref apply_to_bbox(Borrowed, Borrowed bbox, Kwargs) { return Ref::borrow(bbox); }

Ref apply_to_keypoint(Borrowed, Borrowed keypoint, Kwargs) { return Ref::borrow(keypoint); }

Ref get_transform_init_args_names(Borrowed) { return tuple_of({string(channels_text)}); }

const Callable channel_assembler_methods[] = {
    {"ChannelAssembler.__init__(self, list channels: list[dict[str, Any]], bool always_apply: bool, double p: float)"
     " -> None",
     "Initialize the transform.", bound<init>},
    {"ChannelAssembler.retrieve_channel(str channel_name: str, img: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]",
     "Retrieve a channel by name from a structured image, optionally composing grayscale.", bound<retrieve_channel>,
     Binding::static_method},
    {"ChannelAssembler.apply(self, img: np.ndarray[Any, Any], **_params: Any) -> np.ndarray[Any, Any]",
     "Apply channel assembly to an image.", bound<apply>},
    {"ChannelAssembler.apply_to_bbox(self, tuple bbox: tuple[float, ...], **_params: Any) -> tuple[float, ...]",
     "Return bbox unchanged.", bound<apply_to_bbox>},
    {"ChannelAssembler.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **_params: Any)"
     " -> tuple[float, ...]",
     "Return keypoint unchanged.", bound<apply_to_keypoint>},
    {"ChannelAssembler.get_transform_init_args_names(self) -> tuple[str]",
     "Return the names of the arguments the transform is serialised with.", bound<get_transform_init_args_names>},
    {"ChannelAssembler.get_class_fullname(cls) -> str", "Return the class name as fullname.",
     bound<host::get_class_fullname>, Binding::class_method},
};

void body(ModuleBuilder& module) {
    module.import_from("typing", {"Any", "cast"});
    module.import_module("cv2", "cv2");
    module.import_module("numpy", "np");
    import_numpy_api();
    module.import_from("albumentations", {"DualTransform"});
    channel_assembler.define(module, {"DualTransform"},
                             "Assemble an unstructured image from configured channels of a structured array.",
                             channel_assembler_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_brisel() {
    return halvex::frame::module_init({"brisel", "halvex.preprocessing.augmentations.transform.brisel",
                                       "Assemble an unstructured image from configured channels of a structured array.",
                                       HALVEX_MODULE_SOURCE, body});
}
