"""ChannelAssembler: structured images to float32 channel stacks scaled onto [-1, 1]."""

import pickle
import warnings

import albumentations as A
import cv2
import numpy as np
import pytest

from halvex.preprocessing.augmentations.transform import brisel
from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler


def channel(selection, operations=None, name=None):
    channel_type = {"selection": selection}
    if name is not None:
        channel_type["name"] = name
    record = {"channel": {"channel_type": channel_type}}
    if operations is not None:
        record["channel"]["enable_operations"] = {"operations": operations}
    return record


def assembler(*channels):
    return ChannelAssembler(list(channels), False, 1.0)


# ---- the numpy formulation, the oracle of the native sweep ---------------------------


def reference_channel(image_channel, operations, out):
    """Fill `out` from one field exactly as the element-wise numpy steps do."""
    is_integer = np.issubdtype(image_channel.dtype, np.integer)
    selection = operations.get("selection") or ("relative_cap" if is_integer else "absolute_cap")
    need_clipping = True
    if selection == "absolute_cap":
        min_value, max_value = float(operations.get("min", 0.0)), float(operations.get("max", 1.0))
    elif selection == "relative_cap":
        info = np.iinfo(image_channel.dtype)
        rel_min, rel_max = float(operations.get("min", 0.0)), float(operations.get("max", 1.0))
        if rel_min == 0.0 and rel_max == 1.0:
            min_value, max_value, need_clipping = float(info.min), float(info.max), False
        else:
            span = info.max - info.min
            min_value, max_value = rel_min * span + info.min, rel_max * span + info.min
    else:
        min_value, max_value, need_clipping = float(np.min(image_channel)), float(np.max(image_channel)), False
        if is_integer:
            native = image_channel.astype(image_channel.dtype.newbyteorder("="))
            if native.dtype.itemsize == 8 or native.dtype == np.uint32:
                native = native.astype(np.float64)
            out[...] = cv2.normalize(native, None, alpha=-1.0, beta=1.0, norm_type=cv2.NORM_MINMAX,
                                     dtype=cv2.CV_32F).reshape(out.shape)
            return
    if max_value <= min_value:
        out.fill(0.0)
        return
    if min_value != 0.0:
        np.subtract(image_channel, min_value, out=out)
        np.multiply(out, 2 / (max_value - min_value), out=out)
    else:
        np.multiply(image_channel, 2 / (max_value - min_value), out=out)
    np.subtract(out, 1, out=out)
    if need_clipping:
        np.clip(out, -1.0, 1.0, out=out)


def reference(img, fields_and_operations):
    out = np.empty((*img.shape, len(fields_and_operations)), np.float32)
    for k, (field, operations) in enumerate(fields_and_operations):
        reference_channel(img[field], dict(operations), out[..., k])
    return out


DTYPES = ["u1", "i1", "i2", "u2", "i4", "u4", "i8", "u8", "f4", "f8"]


def field_values(dtype, shape, rng):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        values = rng.normal(0.3, 0.6, shape) * (10.0 if dtype.itemsize == 8 else 1.0)
        values.flat[:4] = [0.0, 1.0, -0.0, 0.5]
        return values
    info = np.iinfo(dtype)
    values = rng.integers(info.min, info.max, shape, endpoint=True, dtype=dtype.newbyteorder("="))
    values.flat[:2] = [info.min, info.max]
    return values


def structured(dtypes, shape, layout, rng, packed=True):
    """A structured image with one field per dtype, in the given memory layout."""
    fields = [(f"f{i}", dtype) for i, dtype in enumerate(dtypes)]
    full = (shape[0] * 2, shape[1] * 3) if layout == "strided" else shape
    img = np.zeros(full, np.dtype(fields, align=not packed))
    if layout == "strided":
        img = img[1::2, ::-3]
    elif layout == "fortran":
        img = np.asfortranarray(img)
    for i, dtype in enumerate(dtypes):
        img[f"f{i}"] = field_values(dtype, shape, rng)
    return img


OPERATIONS = {
    "default": {},
    "absolute_cap": {"selection": "absolute_cap", "min": -0.25, "max": 1.5},
    "absolute_cap_zero_min": {"selection": "absolute_cap", "min": 0, "max": "3.5"},
    "relative_cap": {"selection": "relative_cap", "min": 0.25, "max": 0.75},
    "relative_cap_full": {"selection": "relative_cap"},
    "normalize": {"selection": "normalize"},
}


@pytest.mark.parametrize("layout", ["contiguous", "strided", "fortran"])
@pytest.mark.parametrize("byte_order", ["<", ">"])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_native_sweep_equals_the_numpy_formulation(operation, byte_order, layout):
    rng = np.random.default_rng(abs(hash((operation, byte_order, layout))) % 2**32)
    dtypes = [np.dtype(d).newbyteorder(byte_order) for d in DTYPES]
    if operation.startswith("relative_cap"):
        dtypes = [d for d in dtypes if d.kind != "f"]
    img = structured(dtypes, (7, 13), layout, rng)
    fields = [(f"f{i}", OPERATIONS[operation]) for i in range(len(dtypes))]
    result = assembler(*(channel(name, dict(ops)) for name, ops in fields)).apply(img)
    expected = reference(img, fields)
    assert result.dtype == np.float32 and result.shape == (7, 13, len(dtypes))
    assert result.flags.c_contiguous
    np.testing.assert_array_equal(result, expected)
    assert np.array_equal(result.view(np.uint32), expected.view(np.uint32))  # bit for bit, signed zeros too


@pytest.mark.parametrize("shape", [(), (5,), (2, 3, 4), (0, 3), (3, 1)])
def test_any_rank(shape):
    rng = np.random.default_rng(1)
    img = np.zeros(shape, [("a", "u2"), ("b", ">f8"), ("c", "i1")])
    for name in ("a", "b", "c"):
        img[name] = field_values(img.dtype[name], shape, rng) if img.size >= 4 else 3
    fields = [("a", {}), ("b", {"selection": "absolute_cap", "min": -2, "max": 2}), ("c", {})]
    result = assembler(*(channel(n, dict(o)) for n, o in fields)).apply(img)
    np.testing.assert_array_equal(result, reference(img, fields))
    assert result.shape == (*shape, 3)


def test_floating_point_exceptions_behave_like_numpy():
    img = np.zeros(4, [("big", "f8"), ("ok", "u1")])
    img["big"] = [0.0, 1e300, -1e300, np.nan]
    img["ok"] = [0, 1, 2, 255]
    ops = {"selection": "absolute_cap", "min": -1e-300, "max": 1e-300}
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        result = assembler(channel("big", dict(ops)), channel("ok")).apply(img)
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = reference(img, [("big", ops), ("ok", {})])
    np.testing.assert_array_equal(result, expected)
    assert [str(w.message) for w in ours] == [str(w.message) for w in theirs]
    with np.errstate(over="raise"), pytest.raises(FloatingPointError):
        assembler(channel("big", dict(ops))).apply(img)


def test_normalize_with_nan_propagates():
    img = np.zeros(3, [("x", "f4")])
    img["x"] = [1.0, np.nan, 3.0]
    assert np.isnan(assembler(channel("x", {"selection": "normalize"})).apply(img)).all()


# ---- documented values -------------------------------------------------------------


def test_uint8_default_mapping_and_no_record_written():
    img = np.zeros(3, [("v", "u1")])
    img["v"] = [0, 255, 128]
    configuration = channel("v")
    result = assembler(configuration).apply(img)[..., 0]
    assert result[0] == -1.0 and result[1] == 1.0 and result[2] == np.float32(128 * (2 / 255)) - 1
    assert result[2] == pytest.approx(0.0039, abs=1e-4)
    assert configuration == channel("v")


def test_default_writes_bounds_into_an_existing_record():
    img = np.zeros(2, [("v", "u1")])
    configuration = channel("v", {"other": 1})
    assembler(configuration).apply(img)
    assert configuration["channel"]["enable_operations"]["operations"] == {"other": 1, "min": 0.0, "max": 1.0}
    # Both levels are needed for the write to reach the caller.
    partial = {"channel": {"channel_type": {"selection": "v"}, "enable_operations": {}}}
    assembler(partial).apply(img)
    assert partial["channel"]["enable_operations"] == {}


def test_float32_default_mapping():
    img = np.zeros(4, [("v", "f4")])
    img["v"] = [0.0, 0.5, 2.0, -3.0]
    np.testing.assert_array_equal(assembler(channel("v")).apply(img)[..., 0], [-1.0, 0.0, 1.0, -1.0])


def test_relative_cap_bounds_on_uint8():
    img = np.zeros(5, [("v", "u1")])
    img["v"] = [0, 63, 64, 191, 192]
    result = assembler(channel("v", {"selection": "relative_cap", "min": 0.25, "max": 0.75})).apply(img)[..., 0]
    factor = 2 / (191.25 - 63.75)
    expected = [-1.0, -1.0, np.float32(np.float32(64 - 63.75) * np.float32(factor)) - 1, 1.0 - 0.0, 1.0]
    expected[3] = np.float32(np.float32(191 - 63.75) * np.float32(factor)) - np.float32(1)
    np.testing.assert_array_equal(result, np.array(expected, np.float32))


@pytest.mark.parametrize(
    "dtype, operations",
    [("f4", {"selection": "absolute_cap", "min": 2, "max": 2}), ("f8", {"selection": "normalize"}),
     ("u2", {"selection": "absolute_cap", "min": 5, "max": 1})],
)
def test_equal_or_inverted_bounds_give_zero(dtype, operations):
    img = np.full(6, 7, [("v", dtype)])
    result = assembler(channel("v", operations)).apply(img)
    assert (result == 0.0).all() and not np.signbit(result).any()


def test_normalize_on_integer_channels_is_opencvs_min_max():
    img = np.zeros((3, 4), [("a", ">i2"), ("b", "u1"), ("c", "u4"), ("d", "u1")])
    img["a"] = np.arange(12).reshape(3, 4) * 100 - 300
    img["b"] = np.arange(12).reshape(3, 4) * 20
    img["c"] = np.arange(12).reshape(3, 4) * 1_000_000_000
    img["d"] = 9
    result = assembler(*(channel(n, {"selection": "normalize"}) for n in "abcd")).apply(img)
    for k, name in enumerate("abc"):
        values = result[..., k]
        assert values.min() == pytest.approx(-1.0, abs=1e-6) and values.max() == pytest.approx(1.0, abs=1e-6)
        linear = (img[name].astype(np.float64) - img[name].min()) / np.ptp(img[name]) * 2 - 1
        np.testing.assert_allclose(values, linear, atol=1e-6)
    expected_b = cv2.normalize(np.ascontiguousarray(img["b"]), None, alpha=-1.0, beta=1.0,
                               norm_type=cv2.NORM_MINMAX, dtype=cv2.CV_32F)
    np.testing.assert_array_equal(result[..., 1], expected_b)
    constant = cv2.normalize(np.full((3, 4), 9, np.uint8), None, alpha=-1.0, beta=1.0,
                             norm_type=cv2.NORM_MINMAX, dtype=cv2.CV_32F)
    np.testing.assert_array_equal(result[..., 3], constant)


# ---- names ---------------------------------------------------------------------------


def test_custom_selection_reads_the_named_field():
    img = np.zeros(2, [("custom", "u1"), ("green", "u1")])
    img["green"] = [0, 255]
    img["custom"] = [255, 0]
    result = assembler(channel("custom", name="green")).apply(img)
    np.testing.assert_array_equal(result[..., 0], [-1.0, 1.0])


def test_gray_composite_and_field_precedence():
    img = np.zeros(3, [("red", "u1"), ("green", "u1"), ("blue", "u1"), ("a", "u1")])
    img["red"], img["green"], img["blue"], img["a"] = [10, 255, 0], [20, 255, 1], [31, 254, 1], [7, 8, 9]
    gray = ChannelAssembler.retrieve_channel("gray", img)
    assert gray.dtype == np.uint8
    np.testing.assert_array_equal(gray, [20, 254, 0])  # truncated toward zero
    np.testing.assert_array_equal(ChannelAssembler.retrieve_channel("grey", img), gray)
    assert ChannelAssembler.retrieve_channel("a", img) is not None
    np.testing.assert_array_equal(ChannelAssembler.retrieve_channel("a", img), [7, 8, 9])
    view = ChannelAssembler.retrieve_channel("red", img)
    assert view.base is img or view.base is img.base


def test_missing_fields():
    img = np.zeros(2, [("red", "u1"), ("green", "u1")])
    with pytest.raises(ValueError, match=r"^Channel blue not available\. Available channels: red, green\.$"):
        ChannelAssembler.retrieve_channel("blue", img)
    with pytest.raises(ValueError, match=r"^Channel x not available\. Available channels: \.$"):
        ChannelAssembler.retrieve_channel("x", np.zeros(2))
    with pytest.raises((KeyError, ValueError)):
        ChannelAssembler.retrieve_channel("gray", img)  # no blue field
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        ChannelAssembler.retrieve_channel(None, img)


# ---- errors ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "configuration, error, text",
    [
        (channel("f", {"selection": "relative_cap"}), ValueError,
         '"Relative Cap" can only be used on integer channels, not on channels of dtype float32. '
         "Processing channel f failed for item."),
        (channel("i", {"selection": "clamp"}), ValueError, 'Unknown operation "clamp" for channel i.'),
        (channel("i", {"selection": 3}), ValueError, 'Unknown operation "3" for channel i.'),
        (channel("i", {"selection": "absolute_cap", "min": 0}), KeyError, "max"),
        (channel("i", {"selection": "absolute_cap", "min": "low", "max": 1}), ValueError, "could not convert"),
        (channel("i", {"selection": "absolute_cap", "min": None, "max": 1}), TypeError, "float()"),
        (channel(5), TypeError, "Expected str, got int"),
        (channel("custom"), KeyError, "name"),
        (channel("custom", name=b"i"), TypeError, "Expected str, got bytes"),
        (channel(None), TypeError, "Argument 'channel_name' has incorrect type"),
        ({"channel": {}}, KeyError, "channel_type"),
        ({}, KeyError, "channel"),
    ],
)
def test_configuration_errors(configuration, error, text):
    img = np.zeros(2, [("f", "f4"), ("i", "u1")])
    transform = assembler(channel("i"), configuration)
    with pytest.raises(error) as raised:
        transform.apply(img)
    assert text in str(raised.value)
    # A failed call leaves the cache as it was.
    assert transform._ChannelAssembler__last_img is None and transform._ChannelAssembler__last_result is None


def test_unusual_fields_take_numpy_and_fail_like_numpy():
    img = np.zeros(2, [("sub", "f4", (3,)), ("obj", "O"), ("flag", "?"), ("half", "f2")])
    img["obj"] = [0.25, 0.75]
    img["flag"] = [True, False]
    img["half"] = [0.5, 2.0]
    with pytest.raises(ValueError):
        assembler(channel("sub")).apply(img)
    with pytest.raises(TypeError, match="Cannot cast ufunc 'multiply' output"):
        assembler(channel("obj")).apply(img)
    result = assembler(channel("flag"), channel("half")).apply(img)
    np.testing.assert_array_equal(result, reference(img, [("flag", {}), ("half", {})]))
    np.testing.assert_array_equal(result, [[1.0, 0.0], [-1.0, 1.0]])


@pytest.mark.parametrize("img", [None, [1, 2], "text", 3.5])
def test_non_arrays_raise(img):
    with pytest.raises(AttributeError):
        assembler(channel("v")).apply(img)


def test_constructor_checks_its_arguments():
    with pytest.raises(TypeError, match="expected list, got tuple"):
        ChannelAssembler((channel("v"),), False, 1.0)
    with pytest.raises(TypeError):
        ChannelAssembler([], False)
    with pytest.raises(TypeError):
        ChannelAssembler([], False, "p")
    transform = ChannelAssembler([], 0, 1)
    assert transform.always_apply is False and transform.p == 1.0 and type(transform.p) is float


# ---- cache and pass-through ---------------------------------------------------------------


def test_cache_returns_the_stored_copy():
    img = np.zeros((2, 2), [("v", "u1")])
    transform = assembler(channel("v"))
    first = transform.apply(img)
    second = transform.apply(img)
    assert second is not first and np.array_equal(second, first)
    assert transform.apply(img) is second
    img["v"] = 255  # identity, not content, decides a hit
    assert transform.apply(img) is second
    second[...] = 42.0  # the caller holds the stored copy
    assert (transform.apply(img) == 42.0).all()
    transform.channels.append(channel("v"))
    assert transform.apply(img).shape == (2, 2, 1)
    other = img.copy()
    recomputed = transform.apply(other)
    assert recomputed.shape == (2, 2, 2) and (recomputed == 1.0).all()


def test_cache_copy_holds_the_numpy_filled_channels_too():
    img = np.zeros(3, [("v", "u1"), ("o", "?"), ("w", "i2")])
    img["v"], img["o"], img["w"] = [0, 9, 255], [True, False, True], [1, 2, 3]
    transform = assembler(channel("v"), channel("o"), channel("w", {"selection": "normalize"}))
    first = transform.apply(img)
    np.testing.assert_array_equal(transform.apply(img), first)


def test_plain_arrays_pass_through_untouched():
    transform = assembler(channel("v"))
    img = np.zeros((3, 3), np.uint8)
    assert transform.apply(img) is img
    assert transform._ChannelAssembler__last_img is None


def test_empty_channel_list():
    img = np.zeros((4, 5), [("v", "u1")])
    result = assembler().apply(img)
    assert result.shape == (4, 5, 0) and result.dtype == np.float32


def test_retrieve_channel_override_is_used():
    class Doubled(ChannelAssembler):
        @staticmethod
        def retrieve_channel(channel_name, img):
            return img[channel_name] * 2

    img = np.zeros(2, [("v", "f8")])
    img["v"] = [0.25, 0.5]
    np.testing.assert_array_equal(Doubled([channel("v")], False, 1.0).apply(img)[..., 0], [0.0, 1.0])


def test_boxes_and_keypoints_are_returned_as_given():
    transform = assembler()
    bbox, keypoint = (0.1, 0.2, 0.3, 0.4), (1.0, 2.0, 0.0, 1.0)
    assert transform.apply_to_bbox(bbox, rows=3, cols=4) is bbox
    assert transform.apply_to_keypoint(keypoint) is keypoint
    with pytest.raises(TypeError, match="expected tuple, got list"):
        transform.apply_to_bbox(list(bbox))


# ---- inside Albumentations ----------------------------------------------------------------------


def test_end_to_end_in_compose_and_serialisation():
    img = np.zeros((4, 6), [("red", "u1"), ("nir", "u2"), ("height", "f4")])
    img["red"] = np.arange(24).reshape(4, 6)
    img["nir"] = 1000
    img["height"] = 0.5
    channels = [channel("red"), channel("nir", {"selection": "absolute_cap", "min": 0, "max": 2000}),
                channel("height", {"selection": "normalize"})]
    pipeline = A.Compose(
        [ChannelAssembler(channels, True, 1.0)],
        bbox_params=A.BboxParams(format="pascal_voc", label_fields=["labels"]),
        keypoint_params=A.KeypointParams(format="xy"),
    )
    result = pipeline(image=img, bboxes=[(1, 1, 3, 2)], labels=[4], keypoints=[(2.0, 3.0)])
    assert result["image"].shape == (4, 6, 3)
    assert result["bboxes"] == [(1.0, 1.0, 3.0, 2.0)] and result["keypoints"] == [(2.0, 3.0)]
    np.testing.assert_array_equal(result["image"][..., 1], 0.0)

    assert ChannelAssembler.get_class_fullname() == "ChannelAssembler"
    assert ChannelAssembler([], False, 1.0).get_transform_init_args_names() == ("channels",)
    restored = A.from_dict(A.to_dict(pipeline))
    assert restored.transforms[0].channels == channels
    assert restored.transforms[0].always_apply is True
    again = restored(image=img, bboxes=[(1, 1, 3, 2)], labels=[4], keypoints=[(2.0, 3.0)])
    np.testing.assert_array_equal(again["image"], result["image"])

    unpickled = pickle.loads(pickle.dumps(pipeline.transforms[0]))
    assert type(unpickled) is ChannelAssembler and unpickled.channels == channels
    np.testing.assert_array_equal(unpickled.apply(img), result["image"])


def test_signatures_and_docstrings():
    assert ChannelAssembler.__doc__ == "Assemble an unstructured image from configured channels of a structured array."
    assert ChannelAssembler.__init__.__doc__.splitlines()[0] == (
        "ChannelAssembler.__init__(self, list channels: list[dict[str, Any]], bool always_apply: bool,"
        " double p: float) -> None"
    )
    assert isinstance(ChannelAssembler.__dict__["retrieve_channel"], staticmethod)
    assert ChannelAssembler.apply_to_bbox.__doc__.endswith("Return bbox unchanged.")
    assert issubclass(ChannelAssembler, A.DualTransform)
    assert brisel.cv2 is cv2 and brisel.np is np


def test_repeated_calls_do_not_leak():
    import sys

    img = np.zeros((8, 8), [("v", "u1"), ("w", "f8")])
    transform = assembler(channel("v"), channel("w", {"selection": "normalize"}))
    configuration_record = transform.channels[0]
    before = sys.getrefcount(configuration_record), sys.getrefcount(img)
    for _ in range(300):
        transform.apply(img.copy())
    transform.apply(np.zeros(1, [("v", "u1"), ("w", "f8")]))
    assert (sys.getrefcount(configuration_record), sys.getrefcount(img)) == before


@pytest.mark.parametrize("byte_order", ["<", ">"])
@pytest.mark.parametrize("operation", ["default", "absolute_cap", "absolute_cap_zero_min", "relative_cap"])
def test_large_small_integer_images_equal_the_numpy_formulation(operation, byte_order):
    # Large enough that one- and two-byte fields are mapped through a table of all values.
    rng = np.random.default_rng(7)
    dtypes = [np.dtype(d).newbyteorder(byte_order) for d in ("u1", "i1", "u2", "i2")]
    img = structured(dtypes, (300, 450), "strided", rng)
    fields = [(f"f{i}", OPERATIONS[operation]) for i in range(len(dtypes))]
    result = assembler(*(channel(name, dict(ops)) for name, ops in fields)).apply(img)
    assert np.array_equal(result.view(np.uint32), reference(img, fields).view(np.uint32))


def test_table_that_would_raise_is_not_used():
    # Only values that are present decide whether numpy would warn: 65535
    # overflows float32 here, the values of the image do not.
    img = np.zeros((300, 450), [("v", "u2")])
    img["v"] = np.arange(img.size).reshape(img.shape) % 1000
    operations = {"selection": "absolute_cap", "min": 0, "max": 1e-35}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = assembler(channel("v", dict(operations))).apply(img)
        expected = reference(img, [("v", operations)])
    np.testing.assert_array_equal(result, expected)
