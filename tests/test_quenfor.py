"""RelativePadding: target size from each image's size, size check, pipeline use."""

import gc
import json
import math
import pickle
import sys

import albumentations as A
import cv2
import numpy as np
import pytest
from albumentations.core.serialization import SERIALIZABLE_REGISTRY

from halvex.preprocessing.augmentations.transform import quenfor
from halvex.preprocessing.augmentations.transform.quenfor import RelativePadding

Position = A.PadIfNeeded.PositionType
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


def assert_smallest_padding_of_the_ratio(rows, cols, ratio, min_height, min_width):
    """What the padded size must satisfy: it holds the image, one side of the image keeps its
    length (so no smaller padding of the ratio holds it), and the other side is that side's
    length at the ratio, rounded to whole pixels (at least one)."""
    assert min_height >= rows and min_width >= cols, (min_height, min_width)
    from_rows = min_height == rows and abs(min_width - max(1.0, rows * ratio)) <= 0.5 + 1e-9
    from_cols = min_width == cols and abs(min_height - max(1.0, cols / ratio)) <= 0.5 + 1e-9
    assert from_rows or from_cols, (rows, cols, ratio, min_height, min_width)


# ---- module and class --------------------------------------------------------------


def test_module_and_class_surface():
    assert quenfor.PadIfNeeded is A.PadIfNeeded and quenfor.cv2 is cv2
    assert {"Any", "cast", "np"} <= set(vars(quenfor))
    assert RelativePadding.__bases__ == (A.PadIfNeeded,)
    assert RelativePadding.__doc__ == (
        "Pad to a target aspect ratio while keeping the original content position."
    )
    assert SERIALIZABLE_REGISTRY["RelativePadding"] is RelativePadding
    assert RelativePadding.get_class_fullname() == "RelativePadding"
    assert RelativePadding(1.0).get_transform_init_args_names() == (
        "aspect_ratio",
        "border_mode",
        "value",
        "mask_value",
    )
    assert RelativePadding.update_params.__doc__.endswith(
        "\n\nUpdate Albumentations params and compute padding from current image shape."
    )
    defaults = RelativePadding.__init__.__defaults__
    assert defaults[0] is Position.CENTER and defaults[1] == cv2.BORDER_CONSTANT
    assert defaults[2:] == (0, None, False, 1.0)


def test_init_passes_everything_to_the_base_initialiser(monkeypatch):
    calls = []
    original = A.PadIfNeeded.__init__

    def spy(self, *args, **kwargs):
        calls.append((args, list(kwargs.items())))
        original(self, *args, **kwargs)

    monkeypatch.setattr(A.PadIfNeeded, "__init__", spy)
    value = (1, 2, 3)
    transform = RelativePadding(3, "top_left", 4.9, value, 7, 1, 0.5)
    assert calls == [
        (
            (),
            [
                ("min_height", 1),
                ("min_width", 1),
                ("position", "top_left"),
                ("border_mode", 4),
                ("value", value),
                ("mask_value", 7),
                ("always_apply", True),
                ("p", 0.5),
            ],
        )
    ]
    assert type(transform.aspect_ratio) is float and transform.aspect_ratio == 3.0
    assert transform.position is Position.TOP_LEFT and transform.value is value
    assert (transform.min_height, transform.min_width) == (1, 1)
    assert transform._RelativePadding__last_input_height == 0
    assert transform._RelativePadding__last_input_width == 0


@pytest.mark.parametrize(
    "ratio, text",
    [
        (0, "Aspect ratio has to be > 0"),
        (-2.0, "Aspect ratio has to be > 0"),
        (math.nan, "Aspect ratio has to be > 0"),
        (-math.inf, "Aspect ratio has to be > 0"),
        (math.inf, "Aspect ratio has to be finite"),
    ],
)
def test_invalid_ratios_fail_at_construction(ratio, text):
    with pytest.raises(ValueError, match=f"^{text}$"):
        RelativePadding(ratio)


@pytest.mark.parametrize(
    "keywords, error, text",
    [
        ({"border_mode": "reflect"}, TypeError, "Argument 'border_mode' has incorrect type "
         r"\(expected int, got str\)"),
        ({"border_mode": None}, TypeError, "Argument 'border_mode' has incorrect type"),
        ({"position": "middle"}, ValueError, "is not a valid"),
        ({"aspect_ratio": "1"}, TypeError, "must be real number"),
        ({"aspect_ratio": None}, TypeError, "must be real number"),
    ],
)
def test_construction_rejects_wrong_arguments(keywords, error, text):
    with pytest.raises(error, match=text):
        RelativePadding(**{"aspect_ratio": 1.0, **keywords})


def test_border_mode_is_converted_to_int():
    assert type(RelativePadding(1.0, border_mode=np.int64(4)).border_mode) is int


# ---- update_params ------------------------------------------------------------------


@pytest.mark.parametrize(
    "rows, cols, ratio, min_height, min_width",
    [
        (480, 640, 1.0, 640, 640),
        (100, 50, 1.0, 100, 100),
        (1, 4, 8.0, 1, 4),  # below 1 becomes 1
        (1, 5, 2.0, 2, 5),  # 2.5 rounds to 2
        (3, 7, 2.0, 4, 7),  # 3.5 rounds to 4
        (5, 5, 2.0, 5, 10),
        # the ratio asks for less than the image has: the other side is padded instead
        (100, 80, 0.5, 160, 80),
        (5, 5, 0.5, 10, 5),
        (80, 100, 2.0, 80, 160),
    ],
)
def test_padding_size(rows, cols, ratio, min_height, min_width):
    transform = RelativePadding(ratio)
    params = updated(transform, rows, cols)
    assert (transform.min_height, transform.min_width) == (min_height, min_width)
    assert type(transform.min_height) is int and type(transform.min_width) is int
    assert transform._RelativePadding__last_input_height == rows
    assert transform._RelativePadding__last_input_width == cols
    pad = params["pad_top"] + params["pad_bottom"], params["pad_left"] + params["pad_right"]
    assert (rows + pad[0], cols + pad[1]) == (min_height, min_width)


def test_padding_always_reaches_the_ratio():
    rng = np.random.default_rng(4)
    for _ in range(3000):
        rows, cols = (int(n) for n in rng.integers(1, 400, 2))
        ratio = float(np.exp(rng.uniform(-4, 4)))
        transform = RelativePadding(ratio)
        updated(transform, rows, cols)
        assert_smallest_padding_of_the_ratio(rows, cols, ratio, transform.min_height, transform.min_width)


def test_an_unreachable_target_fails_cleanly():
    transform = RelativePadding(1e308)
    with pytest.raises(OverflowError):
        updated(transform, 10, 2)


def test_base_update_params_runs_twice_with_the_first_result(monkeypatch):
    calls = []
    original = A.PadIfNeeded.update_params

    def spy(self, params, **kwargs):
        calls.append((params, dict(kwargs), (self.min_height, self.min_width)))
        return original(self, params, **kwargs)

    monkeypatch.setattr(A.PadIfNeeded, "update_params", spy)
    transform = RelativePadding(1.0)
    image = np.zeros((30, 40), np.uint8)
    given = {}
    result = transform.update_params(given, image=image, extra=2)
    assert len(calls) == 2
    assert calls[0][0] is given and calls[1][0] is result is given
    assert calls[0][1] == calls[1][1] == {"image": image, "extra": 2}
    assert calls[0][2] == (1, 1) and calls[1][2] == (40, 40)
    assert (result["pad_top"], result["pad_bottom"], result["pad_left"], result["pad_right"]) == (
        5,
        5,
        0,
        0,
    )


@pytest.mark.parametrize(
    "first, second, error, text",
    [
        ("x", {}, TypeError, "Expected dict, got str"),
        (None, {}, TypeError, "'NoneType' object is not subscriptable"),
        ({"cols": 3}, {}, KeyError, "rows"),
        ({"rows": 3, "cols": 3}, [], TypeError, "Expected dict, got list"),
    ],
)
def test_results_of_the_base_update_are_checked(monkeypatch, first, second, error, text):
    results = iter([first, second])
    monkeypatch.setattr(A.PadIfNeeded, "update_params", lambda self, params, **kw: next(results))
    with pytest.raises(error, match=text):
        RelativePadding(1.0).update_params({})


def test_update_params_needs_an_exact_dict():
    class Params(dict):
        pass

    with pytest.raises(TypeError, match="Argument 'params' has incorrect type") as caught:
        RelativePadding(1.0).update_params(Params(), image=np.zeros((3, 3)))
    assert caught.value.__notes__


# ---- size check ---------------------------------------------------------------------


@pytest.mark.parametrize("method", ["apply", "apply_to_bbox", "apply_to_keypoint"])
@pytest.mark.parametrize(
    "sizes, text",
    [
        ({}, NO_SIZES),
        ({"rows": None, "cols": None}, NO_SIZES),
        ({"cols": 8}, "Rows None does not match expected height 10." + INCOMPATIBLE),
        ({"rows": 10, "cols": None}, "Cols None does not match expected width 8." + INCOMPATIBLE),
        ({"rows": 9, "cols": 8}, "Rows 9 does not match expected height 10." + INCOMPATIBLE),
        ({"rows": 10, "cols": 80}, "Cols 80 does not match expected width 8." + INCOMPATIBLE),
    ],
)
def test_size_check_messages(method, sizes, text):
    transform = RelativePadding(1.0)
    params = updated(transform, 10, 8)
    del params["rows"], params["cols"]
    argument = {
        "apply": np.zeros((10, 8), np.uint8),
        "apply_to_bbox": (0.1, 0.1, 0.5, 0.5),
        "apply_to_keypoint": (1.0, 2.0, 0.0, 1.0),
    }[method]
    with pytest.raises(NotImplementedError) as caught:
        getattr(transform, method)(argument, **params, **sizes)
    assert str(caught.value) == text.format("RelativePadding")


def test_apply_calls_the_private_check_with_all_its_keywords():
    transform = RelativePadding(1.0)
    params = updated(transform, 10, 8)
    seen = []
    transform._RelativePadding__check_after_update = lambda **kw: seen.append(kw)
    transform.apply_to_bbox((0.1, 0.1, 0.5, 0.5), **params)
    assert seen == [params]


def test_base_results_for_boxes_and_keypoints_must_be_tuples(monkeypatch):
    transform = RelativePadding(1.0)
    params = updated(transform, 10, 8)
    monkeypatch.setattr(A.PadIfNeeded, "apply_to_keypoint", lambda self, k, **p: list(k))
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        transform.apply_to_keypoint((1.0, 2.0, 0.0, 1.0), **params)


def test_odd_inputs_raise_python_errors():
    transform = RelativePadding(1.0)
    with pytest.raises(KeyError):
        transform.update_params({})
    params = updated(transform, 10, 8)
    with pytest.raises(Exception):
        transform.apply(None, **params)
    with pytest.raises(TypeError):
        transform.apply_to_bbox([0.1, 0.1, 0.5, 0.5], **params)
    with pytest.raises(ValueError):
        transform.apply_to_keypoint((1.0, 2.0), **params)
    transform.aspect_ratio = "wide"
    with pytest.raises(TypeError):
        updated(transform, 10, 8)


def test_repeated_calls_keep_reference_counts():
    transform = RelativePadding(3.0)
    image = np.zeros((1000, 200), np.uint8)
    box, keypoint = (0.1, 0.1, 0.5, 0.5), (1.0, 2.0, 0.0, 1.0)
    watched = [transform, image, box, keypoint, transform.aspect_ratio]

    def run():
        params = transform.update_params({}, image=image)
        transform.apply(image, **params)
        transform.apply_to_bbox(box, **params)
        transform.apply_to_keypoint(keypoint, **params)
        with pytest.raises(NotImplementedError):
            transform.apply_to_bbox(box, rows=None, cols=None)

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
RATIOS = [0.3, 0.5, 1.0, 4 / 3, 2.0, 3.5]


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
        keypoint_params=A.KeypointParams("xy"),
    )


@pytest.mark.parametrize("rows, cols", SHAPES)
@pytest.mark.parametrize("ratio", RATIOS)
@pytest.mark.parametrize(
    "position, border_mode",
    [
        (Position.CENTER, cv2.BORDER_CONSTANT),
        ("top_left", cv2.BORDER_REPLICATE),
        (Position.BOTTOM_RIGHT, cv2.BORDER_CONSTANT),
    ],
)
def test_pipeline_matches_the_base_padding_of_the_same_size(
    rows, cols, ratio, position, border_mode
):
    data = sample(rows, cols, rows * 1000 + cols)
    settings = {"position": position, "border_mode": border_mode, "value": 7, "mask_value": 9}
    transform = RelativePadding(ratio, **settings)
    ours = pipeline(transform)(**data)
    min_height, min_width = transform.min_height, transform.min_width
    assert_smallest_padding_of_the_ratio(rows, cols, ratio, min_height, min_width)
    theirs = pipeline(A.PadIfNeeded(min_height, min_width, **settings))(**data)
    assert ours["image"].shape == (min_height, min_width, 3)
    np.testing.assert_array_equal(ours["image"], theirs["image"])
    np.testing.assert_array_equal(ours["mask"], theirs["mask"])
    assert ours["bboxes"] == theirs["bboxes"] and len(ours["bboxes"]) == len(data["bboxes"])
    assert ours["keypoints"] == theirs["keypoints"] and len(ours["keypoints"]) == 8


def test_content_keeps_its_position():
    image = np.full((4, 6), 200, np.uint8)
    for position, rows, cols in [("top_left", 0, 0), ("bottom_right", 2, 0), ("center", 1, 0)]:
        transform = RelativePadding(1.0, position=position, value=3)
        out = A.Compose([transform])(image=image)["image"]
        assert out.shape == (6, 6)
        np.testing.assert_array_equal(out[rows : rows + 4, cols : cols + 6], image)
        assert (out == 3).sum() == 12


def test_base_update_runs_twice_per_item_in_a_pipeline(monkeypatch):
    calls = []
    original = A.PadIfNeeded.update_params
    def spy(self, *args, **kwargs):
        calls.append(1)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(A.PadIfNeeded, "update_params", spy)
    compose = pipeline(RelativePadding(2.0))
    for rows, cols in SHAPES:
        compose(**sample(rows, cols, 0))
    assert len(calls) == 2 * len(SHAPES)


# ---- serialisation -------------------------------------------------------------------


def assert_same_outputs(first, second):
    for rows, cols in [(90, 40), (40, 90), (33, 33)]:
        data = sample(rows, cols, 3)
        a, b = pipeline(first)(**data), pipeline(second)(**data)
        for key in data:
            np.testing.assert_array_equal(np.asarray(a[key], object), np.asarray(b[key], object))


def test_albumentations_dict_round_trip():
    transform = RelativePadding(0.75, border_mode=cv2.BORDER_REPLICATE, value=5, mask_value=2)
    state = A.to_dict(transform)
    assert state["transform"] == {
        "__class_fullname__": "RelativePadding",
        "always_apply": False,
        "p": 1.0,
        "aspect_ratio": 0.75,
        "border_mode": cv2.BORDER_REPLICATE,
        "value": 5,
        "mask_value": 2,
    }
    restored = A.from_dict(json.loads(json.dumps(state)))
    assert type(restored) is RelativePadding
    assert_same_outputs(transform, restored)


def test_pickle_round_trip_keeps_the_state():
    transform = RelativePadding(1.5, position="bottom_left", value=(1, 2, 3))
    updated(transform, 30, 20)
    restored = pickle.loads(pickle.dumps(transform))
    assert vars(restored) == vars(transform)
    assert restored.position is Position.BOTTOM_LEFT
    assert_same_outputs(transform, restored)
