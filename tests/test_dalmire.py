"""RelativeCenterCrop: crop size from each image's size, size check, pipeline use."""

import gc
import json
import math
import pickle
import sys

import albumentations as A
import numpy as np
import pytest
from albumentations.core.serialization import SERIALIZABLE_REGISTRY

from halvex.preprocessing.augmentations.transform import dalmire
from halvex.preprocessing.augmentations.transform.dalmire import RelativeCenterCrop

INCOMPATIBLE = (
    " The current version of Albumentations is incompatible with the {} augmentation.Make sure "
    "that you use the recommended version of Albumentations and report this incompatibility to a "
    "Halvex developer."
)
NO_SIZES = (
    "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you "
    "use the recommended version of Albumentations and report this incompatibility to a Halvex "
    "developer."
)


def updated(transform, rows, cols):
    return transform.update_params({}, image=np.zeros((rows, cols), np.uint8))


def assert_largest_crop_of_the_ratio(rows, cols, ratio, height, width):
    """What the crop size must satisfy: it lies in the image, one whole side of the image is
    kept (so no larger crop of the ratio fits), and the other side is that side's length at the
    ratio, rounded to whole pixels (at least one)."""
    assert 1 <= height <= rows and 1 <= width <= cols, (height, width)
    from_rows = height == rows and abs(width - max(1.0, rows * ratio)) <= 0.5 + 1e-9
    from_cols = width == cols and abs(height - max(1.0, cols / ratio)) <= 0.5 + 1e-9
    assert from_rows or from_cols, (rows, cols, ratio, height, width)


# ---- module and class --------------------------------------------------------------


def test_module_and_class_surface():
    assert dalmire.CenterCrop is A.CenterCrop
    assert {"Any", "cast", "np"} <= set(vars(dalmire))
    assert RelativeCenterCrop.__bases__ == (A.CenterCrop,)
    assert RelativeCenterCrop.__doc__ == "Center-crop while preserving a target aspect ratio."
    assert RelativeCenterCrop.__module__ == dalmire.__name__
    assert SERIALIZABLE_REGISTRY["RelativeCenterCrop"] is RelativeCenterCrop
    assert RelativeCenterCrop.get_class_fullname() == "RelativeCenterCrop"
    assert RelativeCenterCrop(1.0).get_transform_init_args_names() == ("aspect_ratio",)
    assert "_RelativeCenterCrop__check_after_update" in vars(RelativeCenterCrop)
    assert RelativeCenterCrop.update_params.__doc__ == (
        "RelativeCenterCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any)"
        " -> dict[str, Any]\n\n"
        "Update Albumentations params and compute crop size from current image shape."
    )
    doc = RelativeCenterCrop.apply_to_keypoint.__doc__
    assert doc.endswith("\n\nApply the crop to a keypoint.")


def test_init_sets_attributes_after_the_base_initialiser(monkeypatch):
    calls = []
    original = A.CenterCrop.__init__

    def spy(self, *args, **kwargs):
        calls.append((args, list(kwargs.items())))
        original(self, *args, **kwargs)

    monkeypatch.setattr(A.CenterCrop, "__init__", spy)
    transform = RelativeCenterCrop(2, True, 0.25)
    assert calls == [((), [("width", 1), ("height", 1), ("always_apply", True), ("p", 0.25)])]
    assert type(transform.aspect_ratio) is float and transform.aspect_ratio == 2.0
    assert (transform.height, transform.width) == (1, 1)
    assert (transform.always_apply, transform.p) == (True, 0.25)
    assert transform._RelativeCenterCrop__last_input_height == 0
    assert transform._RelativeCenterCrop__last_input_width == 0


@pytest.mark.parametrize(
    "ratio, text",
    [
        (0.0, "Aspect ratio has to be > 0"),
        (-1.5, "Aspect ratio has to be > 0"),
        (-math.inf, "Aspect ratio has to be > 0"),
        (math.nan, "Aspect ratio has to be > 0"),
        (math.inf, "Aspect ratio has to be finite"),
    ],
)
def test_invalid_ratios_fail_at_construction(ratio, text):
    with pytest.raises(ValueError, match=f"^{text}$"):
        RelativeCenterCrop(ratio)


@pytest.mark.parametrize(
    "arguments, error",
    [(("1.0",), TypeError), ((None,), TypeError), ((), TypeError), ((1.0, False, "p"), TypeError)],
)
def test_construction_rejects_wrong_types(arguments, error):
    with pytest.raises(error):
        RelativeCenterCrop(*arguments)


# ---- update_params ------------------------------------------------------------------


@pytest.mark.parametrize(
    "rows, cols, ratio, height, width",
    [
        (480, 640, 1.0, 480, 480),
        (10, 5, 2.0, 2, 5),  # 2.5 rounds to 2
        (14, 7, 2.0, 4, 7),  # 3.5 rounds to 4
        (7, 10, 0.5, 7, 4),  # 3.5 rounds to 4
        (4, 1, 4.0, 1, 1),  # below 1 becomes 1
        (5, 5, 2.0, 2, 5),
        # the ratio asks for more than the image has: the other side is kept instead
        (100, 80, 0.5, 100, 50),
        (80, 100, 2.0, 50, 100),
        (5, 5, 0.5, 5, 2),
        (5, 3, 1e-320, 5, 1),  # cols / ratio is infinite
        (3, 5, 1e300, 1, 5),
    ],
)
def test_crop_size(rows, cols, ratio, height, width):
    transform = RelativeCenterCrop(ratio)
    params = updated(transform, rows, cols)
    assert (transform.height, transform.width) == (height, width)
    assert type(transform.height) is int and type(transform.width) is int
    assert (params["rows"], params["cols"]) == (rows, cols)
    assert transform._RelativeCenterCrop__last_input_height == rows
    assert transform._RelativeCenterCrop__last_input_width == cols


def test_crop_always_fits_and_keeps_a_whole_side():
    rng = np.random.default_rng(5)
    for _ in range(3000):
        rows, cols = (int(n) for n in rng.integers(1, 400, 2))
        ratio = float(np.exp(rng.uniform(-4, 4)))
        transform = RelativeCenterCrop(ratio)
        updated(transform, rows, cols)
        assert_largest_crop_of_the_ratio(rows, cols, ratio, transform.height, transform.width)


def test_base_update_params_runs_twice_with_the_first_result(monkeypatch):
    calls = []
    original = A.CenterCrop.update_params

    def spy(self, params, **kwargs):
        calls.append((params, dict(kwargs), (self.height, self.width)))
        return original(self, params, **kwargs)

    monkeypatch.setattr(A.CenterCrop, "update_params", spy)
    transform = RelativeCenterCrop(1.0)
    image = np.zeros((30, 40), np.uint8)
    given = {"seed": 1}
    result = transform.update_params(given, image=image, extra=2)
    assert len(calls) == 2
    assert calls[0][0] is given and calls[1][0] is result is given
    assert calls[0][1] == calls[1][1] == {"image": image, "extra": 2}
    assert calls[0][2] == (1, 1) and calls[1][2] == (30, 30)


@pytest.mark.parametrize(
    "first, second, error, text",
    [
        ([], {}, TypeError, "Expected dict, got list"),
        (None, {}, TypeError, "'NoneType' object is not subscriptable"),
        ({"rows": 3}, {}, KeyError, "cols"),
        ({"rows": "x", "cols": 3}, {}, ValueError, "invalid literal"),
        ({"rows": 3, "cols": 3}, (), TypeError, "Expected dict, got tuple"),
    ],
)
def test_results_of_the_base_update_are_checked(monkeypatch, first, second, error, text):
    results = iter([first, second])
    monkeypatch.setattr(A.CenterCrop, "update_params", lambda self, params, **kw: next(results))
    with pytest.raises(error, match=text):
        RelativeCenterCrop(1.0).update_params({})


def test_update_params_accepts_a_none_second_result_and_sizes_as_floats(monkeypatch):
    results = iter([{"rows": 6.9, "cols": 3.0}, None])
    monkeypatch.setattr(A.CenterCrop, "update_params", lambda self, params, **kw: next(results))
    transform = RelativeCenterCrop(1.0)
    assert transform.update_params({}) is None
    assert transform._RelativeCenterCrop__last_input_height == 6
    assert (transform.height, transform.width) == (3, 3)


@pytest.mark.parametrize("params", [[], None, 1, {}.keys()])
def test_update_params_needs_an_exact_dict(params):
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        RelativeCenterCrop(1.0).update_params(params, image=np.zeros((3, 3)))


@pytest.mark.parametrize(
    "ratio, error", [("x", TypeError), (math.nan, ValueError), (None, TypeError)]
)
def test_a_ratio_changed_after_construction_fails_cleanly(ratio, error):
    transform = RelativeCenterCrop(1.0)
    transform.aspect_ratio = ratio
    with pytest.raises(error):
        updated(transform, 10, 5)


# ---- size check ---------------------------------------------------------------------


def apply_calls(transform):
    image = np.zeros((10, 8), np.uint8)
    return {
        "apply": lambda **p: transform.apply(image, **p),
        "apply_to_bbox": lambda **p: transform.apply_to_bbox((0.1, 0.1, 0.5, 0.5), **p),
        "apply_to_keypoint": lambda **p: transform.apply_to_keypoint((1.0, 2.0, 0.0, 1.0), **p),
    }


@pytest.mark.parametrize("method", ["apply", "apply_to_bbox", "apply_to_keypoint"])
@pytest.mark.parametrize(
    "sizes, text",
    [
        ({}, NO_SIZES),
        ({"rows": None, "cols": None}, NO_SIZES),
        ({"cols": 8}, "Rows None does not match expected height 10." + INCOMPATIBLE),
        ({"rows": 10}, "Cols None does not match expected width 8." + INCOMPATIBLE),
        ({"rows": 11, "cols": 9}, "Rows 11 does not match expected height 10." + INCOMPATIBLE),
        ({"rows": 10, "cols": 9}, "Cols 9 does not match expected width 8." + INCOMPATIBLE),
    ],
)
def test_size_check_messages(method, sizes, text):
    transform = RelativeCenterCrop(1.0)
    updated(transform, 10, 8)
    with pytest.raises(NotImplementedError) as caught:
        apply_calls(transform)[method](**sizes, interpolation=1)
    assert str(caught.value) == text.format("RelativeCenterCrop")


def test_size_check_before_any_update_and_in_a_subclass():
    class Derived(RelativeCenterCrop):
        pass

    with pytest.raises(NotImplementedError) as caught:
        Derived(1.0).apply(np.zeros((4, 4)), rows=4, cols=4)
    expected = "Rows 4 does not match expected height 0." + INCOMPATIBLE.format("Derived")
    assert str(caught.value) == expected


def test_size_check_converts_and_types_its_arguments():
    transform = RelativeCenterCrop(1.0)
    updated(transform, 10, 8)
    check = transform._RelativeCenterCrop__check_after_update
    assert check(rows=10.7, cols=np.int64(8), anything=None) is None
    assert check(10, 8) is None
    image = np.zeros((10, 8))
    assert transform.apply(image, rows=np.int64(10), cols=8.0).shape == (8, 8)
    with pytest.raises(TypeError, match=r"'rows' has incorrect type \(expected int, got str\)"):
        transform.apply(np.zeros((10, 8)), rows="10", cols=8)


def test_apply_calls_the_private_check_with_all_its_keywords():
    transform = RelativeCenterCrop(1.0)
    params = updated(transform, 10, 8)
    seen = []
    transform._RelativeCenterCrop__check_after_update = lambda **kw: seen.append(kw)
    transform.apply(np.zeros((10, 8)), **params, extra=3)
    transform.apply_to_keypoint((1.0, 1.0, 0.0, 1.0), rows=99, cols=99)
    assert seen == [dict(params, extra=3), {"rows": 99, "cols": 99}]


@pytest.mark.parametrize(
    "method, result, error",
    [
        ("apply_to_bbox", [0.1, 0.1, 0.2, 0.2], "Expected tuple, got list"),
        ("apply_to_keypoint", np.zeros(4), "Expected tuple, got numpy.ndarray"),
    ],
)
def test_base_results_for_boxes_and_keypoints_must_be_tuples(monkeypatch, method, result, error):
    transform = RelativeCenterCrop(1.0)
    params = updated(transform, 10, 8)
    monkeypatch.setattr(A.CenterCrop, method, lambda self, value, **p: result)
    with pytest.raises(TypeError, match=f"^{error}$"):
        getattr(transform, method)((0.1, 0.1, 0.2, 0.2), **params)
    monkeypatch.setattr(A.CenterCrop, method, lambda self, value, **p: None)
    assert getattr(transform, method)((0.1, 0.1, 0.2, 0.2), **params) is None


@pytest.mark.parametrize("value", [[0.1, 0.1, 0.5, 0.5], None, np.zeros(4)])
def test_boxes_and_keypoints_must_be_exact_tuples(value):
    transform = RelativeCenterCrop(1.0)
    params = updated(transform, 10, 8)
    for method in (transform.apply_to_bbox, transform.apply_to_keypoint):
        with pytest.raises(TypeError, match="has incorrect type"):
            method(value, **params)


def test_odd_inputs_raise_python_errors():
    transform = RelativeCenterCrop(1.0)
    with pytest.raises(KeyError):
        transform.update_params({})
    params = updated(transform, 10, 8)
    with pytest.raises(AttributeError):
        transform.apply(None, **params)
    with pytest.raises(ValueError, match="larger than the image size"):
        transform.apply(np.zeros((2, 2)), **params)
    with pytest.raises(ValueError):
        transform.apply_to_keypoint((1.0,), **params)
    with pytest.raises(AttributeError):
        RelativeCenterCrop.apply(object(), np.zeros((2, 2)))
    with pytest.raises(TypeError, match="must be an instance or subtype"):
        RelativeCenterCrop.update_params(object(), {})


def test_repeated_calls_keep_reference_counts():
    transform = RelativeCenterCrop(0.5)
    image = np.zeros((1000, 2000), np.uint8)
    box, keypoint = (0.1, 0.1, 0.5, 0.5), (1.0, 2.0, 0.0, 1.0)
    watched = [transform, image, box, keypoint, transform.aspect_ratio]

    def run():
        params = transform.update_params({}, image=image)
        transform.apply(image, **params)
        transform.apply_to_bbox(box, **params)
        transform.apply_to_keypoint(keypoint, **params)
        with pytest.raises(NotImplementedError):
            transform.apply(image, rows=1, cols=1)

    run()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()
    for _ in range(500):
        run()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before[0]
    assert sys.getallocatedblocks() - before[1] < 100


# ---- in a pipeline ---------------------------------------------------------------------

# portrait, landscape, square, one-pixel sides, and sizes where the ratio does not fit at once
SHAPES = [
    (480, 640), (640, 480), (100, 100), (1, 1), (1, 37), (37, 1), (100, 80), (80, 100), (7, 3)
]
RATIOS = [0.3, 0.5, 0.75, 1.0, 4 / 3, 2.0, 3.5]


def sample(rows, cols, seed):
    rng = np.random.default_rng(seed)
    image = rng.integers(0, 255, (rows, cols, 3), np.uint8)
    mask = rng.integers(0, 4, (rows, cols), np.uint8)
    boxes = []
    for label in range(6):
        x = np.sort(rng.uniform(0, cols, 2))
        y = np.sort(rng.uniform(0, rows, 2))
        if x[1] - x[0] > 1e-3 and y[1] - y[0] > 1e-3:
            boxes.append((x[0], y[0], x[1], y[1], label))
    boxes.append((0.0, 0.0, float(cols), float(rows), "whole"))
    keypoints = [(0.0, 0.0), (cols - 1.0, rows - 1.0), (cols / 2, rows / 2)]
    keypoints += [tuple(p) for p in rng.uniform(0, 1, (5, 2)) * (cols - 1, rows - 1)]
    return {"image": image, "mask": mask, "bboxes": boxes, "keypoints": keypoints}


def pipeline(transform):
    return A.Compose(
        [transform],
        bbox_params=A.BboxParams("pascal_voc", label_fields=[]),
        keypoint_params=A.KeypointParams("xy", remove_invisible=True),
    )


@pytest.mark.parametrize("rows, cols", SHAPES)
@pytest.mark.parametrize("ratio", RATIOS)
def test_pipeline_matches_the_base_crop_of_the_same_size(rows, cols, ratio):
    data = sample(rows, cols, rows * 1000 + cols)
    transform = RelativeCenterCrop(ratio)
    ours = pipeline(transform)(**data)
    height, width = transform.height, transform.width
    assert_largest_crop_of_the_ratio(rows, cols, ratio, height, width)
    theirs = pipeline(A.CenterCrop(height, width))(**data)
    assert ours["image"].shape == (height, width, 3)
    np.testing.assert_array_equal(ours["image"], theirs["image"])
    np.testing.assert_array_equal(ours["mask"], theirs["mask"])
    assert ours["bboxes"] == theirs["bboxes"]
    assert ours["keypoints"] == theirs["keypoints"]


def test_base_update_runs_twice_per_item_in_a_pipeline(monkeypatch):
    calls = []
    original = A.CenterCrop.update_params
    def spy(self, *args, **kwargs):
        calls.append(1)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(A.CenterCrop, "update_params", spy)
    compose = pipeline(RelativeCenterCrop(0.5))
    for rows, cols in SHAPES:
        compose(**sample(rows, cols, 0))
    assert len(calls) == 2 * len(SHAPES)


# ---- serialisation -------------------------------------------------------------------


def outputs(transform, data):
    result = pipeline(transform)(**data)
    return result["image"], result["mask"], result["bboxes"], result["keypoints"]


def assert_same_outputs(first, second):
    for rows, cols in [(90, 40), (40, 90), (33, 33)]:
        data = sample(rows, cols, 3)
        for a, b in zip(outputs(first, data), outputs(second, data)):
            np.testing.assert_array_equal(np.asarray(a, object), np.asarray(b, object))


def test_albumentations_dict_round_trip():
    transform = RelativeCenterCrop(0.75, p=0.9)
    state = A.to_dict(transform)
    assert state["transform"] == {
        "__class_fullname__": "RelativeCenterCrop",
        "always_apply": False,
        "p": 0.9,
        "aspect_ratio": 0.75,
    }
    restored = A.from_dict(json.loads(json.dumps(state)))
    assert type(restored) is RelativeCenterCrop
    assert (restored.aspect_ratio, restored.p) == (0.75, 0.9)
    transform.p = restored.p = 1.0
    assert_same_outputs(transform, restored)


def test_pickle_round_trip_keeps_the_state():
    transform = RelativeCenterCrop(1.5)
    updated(transform, 30, 20)
    restored = pickle.loads(pickle.dumps(transform))
    assert vars(restored) == vars(transform)
    assert_same_outputs(transform, restored)
