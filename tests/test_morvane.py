"""Relative crops, crop collections and mesh crops."""

import copy
import pickle
import random
import subprocess
import sys
import textwrap
import warnings
from fractions import Fraction

import albumentations as A
import numpy as np
import pytest

import expect
from halvex.preprocessing import kestril
from halvex.preprocessing.augmentations.transform.morvane import (
    CropData,
    CropsData,
    MeshCrop,
    RelativeCrop,
)

SIZE_MESSAGE_TAIL = (
    " augmentation.Make sure that you use the recommended version of Albumentations and report this "
    "incompatibility to a Halvex developer."
)


def updated(transform, rows, cols):
    return transform.update_params({}, image=np.zeros((rows, cols, 1), np.uint8))


def rectangle(transform):
    return transform.x_min, transform.y_min, transform.x_max, transform.y_max


def edges(crop):
    return crop.x1, crop.x2, crop.y1, crop.y2


def relative(index, x1, x2, y1, y2):
    return CropData(index, 0, x1, x2, y1, y2, 1, 1)


# ---- RelativeCrop -----------------------------------------------------------------


def test_relative_crop_construction_state():
    crop = RelativeCrop(0.1, 0.2, 0.3, 0.4, always_apply=1, p=0.5)
    assert isinstance(crop, A.Crop)
    assert rectangle(crop) == (0, 0, 1, 1)
    assert [crop.x_min_percent, crop.y_min_percent, crop.x_max_percent, crop.y_max_percent] == [
        0.1, 0.2, 0.3, 0.4
    ]  # fmt: skip
    assert crop.always_apply is True and crop.p == 0.5 and crop.applied_in_replay is True
    assert crop._RelativeCrop__last_input_width == 0 and crop._RelativeCrop__last_input_height == 0
    assert type(RelativeCrop(1, 0, 1, 0).x_min_percent) is float and RelativeCrop(
        0.3, 0.3, 0.3, 0.3
    )


@pytest.mark.parametrize(
    "arguments, message",
    [
        (
            {"x_min_percent": 0.7, "x_max_percent": 0.2},
            '"0 <= 0.7 = x min [%] <= 0.2 = x max [%] <= 1"',
        ),
        ({"x_max_percent": 1.5}, '"0 <= 0.0 = x min [%] <= 1.5 = x max [%] <= 1"'),
        ({"x_min_percent": float("nan")}, '"0 <= nan = x min [%] <= 1.0 = x max [%] <= 1"'),
        (
            {"x_min_percent": -1, "y_min_percent": -1},
            '"0 <= -1.0 = x min [%] <= 1.0 = x max [%] <= 1"',
        ),
        ({"y_min_percent": -0.1}, '"0 <= -0.1 = y min [%] <= 1.0 = y max [%] <= 1"'),
    ],
)
def test_relative_crop_rejects_invalid_fractions(arguments, message):
    axis = message.split(" = ")[1][0]
    with pytest.raises(ValueError) as error:
        RelativeCrop(**arguments)
    assert (
        str(error.value)
        == f'The {axis} coordinates for the Transformation "RelativeCrop" are invalid:{message} does not hold'
    )


def test_relative_crop_refuses_a_crop_without_pixel_fields():
    class Broken(RelativeCrop):
        x_max = property(lambda self: None, lambda self, value: None)

    with pytest.raises(NotImplementedError) as error:
        Broken()
    assert str(error.value) == (
        "This version of Albumentations is incompatible with the RelativeCrop augmentation.Make sure that you use "
        "the recommended version of Albumentations and reportthis incompatibility to a Halvex developer."
    )


@pytest.mark.parametrize(
    "fractions, rows, cols, expected",
    [
        ((0.0, 0.0, 1.0, 1.0), 480, 640, (0, 0, 640, 480)),
        ((0.125, 0.125, 0.375, 0.375), 20, 20, (2, 2, 8, 8)),  # ties to even: 2.5 -> 2, 7.5 -> 8
        ((0.5, 0.0, 0.5, 1.0), 10, 9, (4, 0, 5, 10)),  # round(4.5) = 4, then one pixel wide
        ((1.0, 1.0, 1.0, 1.0), 480, 640, (639, 479, 640, 480)),  # moved back inside
        ((0.0, 0.0, 1.0, 1.0), 5, 0, (-1, 0, 0, 5)),  # nothing to move into
    ],
)
def test_update_child_rectangle(fractions, rows, cols, expected):
    crop = RelativeCrop(*fractions)
    assert updated(crop, rows, cols) == {"rows": rows, "cols": cols}
    assert rectangle(crop) == expected
    assert all(type(value) is int for value in rectangle(crop))
    assert (crop._RelativeCrop__last_input_height, crop._RelativeCrop__last_input_width) == (
        rows,
        cols,
    )


def test_update_params_calls_the_base_twice_and_returns_the_second_result(monkeypatch):
    calls = []

    def base_update(self, params, **kwargs):
        calls.append((params, kwargs))
        return {"rows": 10.7, "cols": 20, "call": len(calls)}

    monkeypatch.setattr(A.Crop, "update_params", base_update, raising=False)
    crop = RelativeCrop(0.5, 0.5)
    first = {"x": 1}
    result = crop.update_params(first, image="i")
    assert result == {"rows": 10.7, "cols": 20, "call": 2}
    assert calls[0][0] is first and calls[1][0] == {"rows": 10.7, "cols": 20, "call": 1}
    assert calls[0][1] == calls[1][1] == {"image": "i"}
    assert crop._RelativeCrop__last_input_height == 10 and rectangle(crop) == (10, 5, 20, 10)


@pytest.mark.parametrize(
    "base_result, error, message",
    [
        ([1], TypeError, "Expected dict, got list"),
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ({"cols": 3}, KeyError, "'rows'"),
        ({"rows": 3}, KeyError, "'cols'"),
        ({"rows": "x", "cols": 3}, ValueError, "invalid literal"),
    ],
)
def test_update_params_failures(monkeypatch, base_result, error, message):
    monkeypatch.setattr(
        A.Crop, "update_params", lambda self, params, **kw: base_result, raising=False
    )
    with pytest.raises(error, match=message):
        RelativeCrop().update_params({})
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        RelativeCrop().update_params([])


def test_size_check_messages():
    crop = RelativeCrop()
    image = np.zeros((480, 640))
    with pytest.raises(NotImplementedError) as error:
        crop.apply(image, rows=480, cols=640)
    assert (
        str(error.value)
        == "Rows 480 does not match expected height 0. The current version of Albumentations "
        "is incompatible with the RelativeCrop" + SIZE_MESSAGE_TAIL
    )
    with pytest.raises(NotImplementedError, match="^Rows and Columns have to be provided"):
        crop.apply(image)
    updated(crop, 480, 640)
    with pytest.raises(NotImplementedError, match="^Cols 64 does not match expected width 640"):
        crop.apply_to_bbox((0.1, 0.1, 0.2, 0.2), rows=480, cols=64)
    with pytest.raises(NotImplementedError, match="^Cols None does not match"):
        crop.apply_to_keypoints([(1, 1, 0, 0)], rows=480)
    mesh = MeshCrop(1, 1, 1.0, 1.0)
    with pytest.raises(NotImplementedError, match="incompatible with the MeshCrop augmentation"):
        mesh.apply(image, rows=480, cols=640)


def test_apply_methods_match_albumentations_crop():
    rng = np.random.default_rng(1)
    image = rng.integers(0, 255, (60, 80, 3), dtype=np.uint8)
    data = {
        "image": image,
        "bboxes": [(10, 10, 40, 30, 1)],
        "keypoints": [(30.0, 20.0), (70.0, 50.0)],
    }
    settings = {
        "bbox_params": A.BboxParams("pascal_voc"),
        "keypoint_params": A.KeypointParams("xy"),
    }
    ours = A.Compose([RelativeCrop(0.125, 0.25, 0.75, 0.5)], **settings)(**data)
    theirs = A.Compose([A.Crop(10, 15, 60, 30)], **settings)(**data)
    assert np.array_equal(ours["image"], theirs["image"])
    assert ours["bboxes"] == theirs["bboxes"] and ours["keypoints"] == theirs["keypoints"]


def test_apply_to_bbox_checks_types(monkeypatch):
    crop = RelativeCrop()
    updated(crop, 10, 10)
    with pytest.raises(TypeError, match="Argument 'bbox' has incorrect type"):
        crop.apply_to_bbox([0.1, 0.1, 0.2, 0.2], rows=10, cols=10)
    monkeypatch.setattr(A.Crop, "apply_to_bbox", lambda self, bbox, **kw: list(bbox))
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        crop.apply_to_bbox((0.1, 0.1, 0.2, 0.2), rows=10, cols=10)


@pytest.mark.parametrize(
    "transform, names",
    [
        (
            RelativeCrop(0.1, 0.2, 0.6, 0.7, p=0.3),
            ("x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent"),
        ),
        (
            MeshCrop(3, 2, 0.5, 0.6, renorm=False),
            ("number_crops_x", "number_crops_y", "morvane_width", "morvane_height"),
        ),
    ],
)
def test_serialisation(transform, names):
    cls = type(transform)
    assert (
        cls.get_class_fullname() == cls.__name__
        and transform.get_transform_init_args_names() == names
    )
    assert A.core.serialization.SERIALIZABLE_REGISTRY[cls.__name__] is cls
    restored = A.from_dict(A.to_dict(transform))
    assert type(restored) is cls and A.to_dict(restored) == A.to_dict(transform)
    unpickled = pickle.loads(pickle.dumps(transform))
    assert type(unpickled) is cls and vars(unpickled).keys() == vars(transform).keys()
    assert A.to_dict(unpickled) == A.to_dict(transform)


# ---- CropData / CropsData ------------------------------------------------------------


@pytest.fixture
def halves():
    left, right = relative(0, 0, 0.5, 0, 0.5), relative(1, 0.5, 1, 0, 0.5)
    return left, right, CropsData([left, right])


def test_crops_data_structure(halves):
    left, right, crops = halves
    assert crops.data[0] is left and len(crops) == 2 and crops[-1] is right and crops[True] is right
    assert crops.og_data[0] is not left and edges(crops.og_data[0]) == edges(left)
    assert crops._needs_norm is False
    assert crops.x_values == [0.0, 0.5, 1.0] and crops.y_values == [0.0, 0.5]
    assert crops.x_index == {0.0: {left}, 0.5: {right}, 1.0: set()}
    assert crops.y_index == {0.0: {left, right}, 0.5: set()}
    with pytest.raises(IndexError):
        crops[2]
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        CropsData((left,))
    for clone in (pickle.loads(pickle.dumps(crops)), copy.deepcopy(crops)):
        (found,) = clone.find_crop(0.75, 0.25)
        assert found is clone.data[1] and found is not right


@pytest.mark.parametrize(
    "x, y, expected",
    [(0.5, 0.25, {1}), (0.4999, 0.25, {0}), (1.0, 0.25, {1}), (7.0, 0.0, {1}),
     (0.25, 0.5, set()), (-0.1, 0.2, set())],
)  # fmt: skip
def test_find_crop_half_open(halves, x, y, expected):
    crops = halves[2]
    assert {crop.index for crop in crops.find_crop(x, y)} == expected


def test_find_crop_matches_brute_force():
    rng = random.Random(3)
    data = []
    for index in range(40):
        x1, y1 = rng.choice([0.0, 0.25, 0.5, rng.random()]), rng.random()
        x2 = min(1.0, x1 + rng.choice([0.25, 0.5, rng.random()]))
        data.append(relative(index, x1, x2, y1, rng.uniform(y1, 1)))
    crops = CropsData(data)
    for _ in range(500):
        x, y = rng.choice([rng.random(), 0.25, 0.5, 1.0]), rng.random()
        found = crops.find_crop(x, y)
        x = min(x, np.nextafter(1.0, 0.0))
        assert found == {c for c in data if c.x1 <= x < c.x2 and c.y1 <= y < c.y2}
        assert found is not crops.find_crop(x, y)


@pytest.mark.parametrize(
    "values, lookup, expected",
    [([0.0, 0.5, 1.0], 0.5, 0.5), ([0.0, 0.5, 1.0], 0.49, 0.0), ([0.2], 0.1, None), ([], 0.3, None),
     ([0, 2], 1, 0.0), ([Fraction(1, 4), 0.5], 0.3, 0.25)],
)  # fmt: skip
def test_find(values, lookup, expected):
    result = CropsData._find(values, lookup)
    assert result == expected and type(result) is type(expected)


def test_find_rejects_non_numbers():
    comparable = type("Comparable", (), {"__gt__": lambda self, other: False})
    with pytest.raises(TypeError, match="^Expected float, got Comparable$"):
        CropsData._find([comparable()], 0.5)
    with pytest.raises(TypeError, match="Argument 'values' has incorrect type"):
        CropsData._find((0.0,), 0.5)


@pytest.mark.parametrize(
    "data",
    [
        [],
        [relative(0, 0, 300, 0, 1), relative(1, 0, 0.5, 0, 1)],
        [relative(0, 0, 0.5, 0, 1), relative(1, 0, 1, 0, 3)],
    ],
)
def test_mixed_or_empty_collections_are_refused(data):
    with pytest.raises(Exception) as error:
        CropsData(data)
    assert type(error.value) is Exception
    assert str(error.value) == "Either configure all crops to need normalization, or none."


def pixel_row(widths, columns=3):
    return [CropData(i, columns, i, widths, 0, 100, columns, 1) for i in range(columns)]


@pytest.mark.parametrize(
    "width, expected_x",
    [(200, [(0.1, 0.3), (0.4, 0.6), (0.7, 0.9)]), (500, [(0.0, 0.5), (0.25, 0.75), (0.5, 1.0)])],
)
def test_normalize_pixel_crops(width, expected_x):
    data = pixel_row(width)
    crops = CropsData(data)
    assert crops._needs_norm is True
    crops.normalize(1000, 800)
    np.testing.assert_allclose([(c.x1, c.x2) for c in data], expected_x, rtol=1e-12)
    assert crops.x_values == sorted({v for c in data for v in (c.x1, c.x2)})
    assert {c.index for c in crops.find_crop(data[1].x1, 0.5)} >= {1} and data[1].y1 == 350 / 800
    # Every call starts again from the pixel values.
    crops.normalize(500, 400)
    again = CropsData(pixel_row(width))
    again.normalize(500, 400)
    assert [edges(c) for c in data] == [edges(c) for c in again.data]
    assert [edges(c) for c in crops.og_data] == [edges(c) for c in pixel_row(width)]


def test_normalize_crop_wider_than_image_and_relative_crops(halves):
    data = [CropData(0, 1, 0, 1200, 0, 50, 1, 1)]
    crops = CropsData(data)
    crops.normalize(1000, 100)
    assert (type(data[0].x1), data[0].x1, data[0].x2) == (int, 0, 1.0) and data[
        0
    ].y2 == pytest.approx(0.75)
    before = [edges(c) for c in halves[2].data]
    halves[2].normalize(1000, 800)
    assert [edges(c) for c in halves[2].data] == before


# ---- MeshCrop ------------------------------------------------------------------------


def test_mesh_of_relative_windows():
    mesh = MeshCrop(3, 2, 0.5, 0.6, anything="ignored")
    assert [edges(c) for c in mesh.all_crops.data] == [
        (0.0, 0.5, 0.0, 0.6), (0.0, 0.5, 0.4, 1.0), (0.25, 0.75, 0.0, 0.6),
        (0.25, 0.75, 0.4, 1.0), (0.5, 1.0, 0.0, 0.6), (0.5, 1.0, 0.4, 1.0),
    ]  # fmt: skip
    assert [(c.index, c.max, c.number_of_crops_x, c.number_of_crops_y) for c in mesh.all_crops] == [
        (k, 6, 3, 2) for k in range(6)
    ]
    assert mesh.all_crops._needs_norm is False and mesh.batches_per_index == 6
    state = (mesh.crop, mesh.crops, mesh.params, mesh.renorm, mesh.always_apply)
    assert state == (None, None, {}, True, True)
    assert rectangle(mesh) == (0, 0, 1, 1) and mesh.x_max_percent == 1.0
    assert [edges(c) for c in MeshCrop(1, 1, 0.5, 0.5).all_crops] == [(0.0, 0.5, 0.0, 0.5)]


def test_mesh_of_pixel_windows():
    mesh = MeshCrop(2, 2, 300.0, 200.0)
    assert [edges(c) for c in mesh.all_crops] == [
        (0.0, 300.0, 0.0, 200.0), (0.0, 300.0, 1.0, 200.0),
        (1.0, 300.0, 0.0, 200.0), (1.0, 300.0, 1.0, 200.0),
    ]  # fmt: skip
    mesh.all_crops.normalize(1000, 500)
    np.testing.assert_allclose(
        [(c.x1, c.x2) for c in mesh.all_crops.data[::2]], [(0.4 / 3, 1.3 / 3), (1.7 / 3, 2.6 / 3)]
    )
    with pytest.raises(TypeError, match="Argument 'idx' has incorrect type"):
        mesh.all_crops[::2]
    assert MeshCrop(2, 1, 300.0, 0.5).all_crops._needs_norm is True


def test_window_index_out_of_range():
    mesh = MeshCrop(3, 2, 0.5, 0.6)
    for method, i, count in [("x1", 3, 3), ("x1", -1, 3), ("x2", 3, 3), ("y1", 2, 2)]:
        with pytest.raises(Exception) as error:
            getattr(mesh, method)(i)
        assert type(error.value) is Exception
        assert str(error.value) == f"i={i} must be in the range [0, {count})."
    assert MeshCrop(3, 2, 300.0, 0.6).x2(7) == 300.0 and MeshCrop(3, 2, 300.0, 0.6).x1(2) == 2.0


def test_empty_mesh_and_bad_arguments():
    with pytest.raises(Exception, match="Either configure all crops"):
        MeshCrop(0, 2, 0.5, 0.5)
    with pytest.raises(TypeError, match="expected int, got str"):
        MeshCrop("2", 2, 0.5, 0.5)
    with pytest.raises(TypeError):
        MeshCrop(2, 2, None, 0.5)
    mesh = MeshCrop(2, 2, 0.5, 0.5)
    mesh.number_crops_x = "a"
    with pytest.raises(TypeError, match="Expected int, got str"):
        _ = mesh.batches_per_index
    mesh.number_crops_x = 1.5
    assert mesh.batches_per_index == 3


@pytest.fixture
def no_random(monkeypatch):
    def refuse(*args):
        raise AssertionError("no random draw expected")

    monkeypatch.setattr(random, "random", refuse)
    monkeypatch.setattr(random, "choice", refuse)


def test_keypoints_without_candidates_use_the_current_rectangle(no_random):
    mesh = MeshCrop(2, 2, 0.5, 0.5)
    updated(mesh, 100, 100)
    assert mesh.apply_to_keypoints([(5.0, 6.0, 0, 0)], rows=100, cols=100) == [(5.0, 6.0, 0, 0)]
    mesh.crops = CropsData([relative(0, 0, 1, 0, 1)])
    mesh.crops.data.clear()
    assert mesh.apply_to_keypoints([], rows=100, cols=100) == [] and mesh.crop is None


def test_apply_crop_uses_a_copy_and_makes_no_draw(monkeypatch):
    window = CropData(0, 4, 1, 300, 1, 200, 2, 2)
    mesh = MeshCrop(2, 2, 0.5, 0.5)
    updated(mesh, 500, 1000)
    mesh.apply_crop(window)
    monkeypatch.setattr(random, "random", None)
    result = mesh.apply_to_keypoints([(600.0, 300.0, 0, 0)], rows=500, cols=1000)
    assert edges(window) == (1, 300, 1, 200) and mesh.crop is not window
    assert (mesh.x_min_percent, mesh.x_max_percent) == pytest.approx((1.7 / 3, 2.6 / 3))
    assert rectangle(mesh) == (567, 267, 867, 467) and result == [(33.0, 33.0, 0, 0)]
    assert (mesh.always_apply, mesh.p, mesh.applied_in_replay) == (True, 1.0, True)


def choose_with(monkeypatch, draw):
    chosen_from = []

    def choice(sequence):
        chosen_from.append(list(sequence))
        return sequence[-1]

    monkeypatch.setattr(random, "random", lambda: draw)
    monkeypatch.setattr(random, "choice", choice)
    return chosen_from


def prepared_mesh():
    mesh = MeshCrop(2, 1, 0.5, 1.0)
    mesh.update_crops(mesh.all_crops)
    updated(mesh, 100, 200)
    return mesh


@pytest.mark.parametrize(
    "keypoints, draw, candidates, printed",
    [
        # the last centre (x=150) is left out; the first one lies in the left window
        ([(20, 5), (0, 0), (0, 0), (150, 5), (0, 0), (0, 0)], 0.9, [0], ""),
        ([(20, 5), (0, 0), (0, 0), (150, 5), (0, 0), (0, 0)], 0.5, [0, 1], ""),  # no keypoint path
        ([(150, 5), (0, 0), (0, 0)], 0.9, [0, 1], ""),  # no centres
        ([(-5, 5), (0, 0), (0, 0), (150, 5)], 0.9, [0, 1], "weird\n"),  # centres in no window
    ],
)  # fmt: skip
def test_window_choice(monkeypatch, capsys, keypoints, draw, candidates, printed):
    mesh = prepared_mesh()
    chosen_from = choose_with(monkeypatch, draw)
    mesh.apply_to_keypoints([(*k, 0, 0) for k in keypoints], rows=100, cols=200)
    assert [[c.index for c in options] for options in chosen_from] == [candidates]
    assert capsys.readouterr().out == printed
    assert mesh.crop.index == candidates[-1]
    assert rectangle(mesh) == ((0, 0, 100, 100) if candidates[-1] == 0 else (100, 0, 200, 100))


def test_keypoint_path_needs_the_image_size(monkeypatch):
    mesh = prepared_mesh()
    choose_with(monkeypatch, 0.9)
    with pytest.raises(TypeError, match="unsupported operand"):
        mesh.apply_to_keypoints([(1, 1, 0, 0)] * 4, rows=None, cols=None)


def test_seeded_runs_repeat():
    def run(seed):
        random.seed(seed)
        mesh = MeshCrop(3, 3, 0.5, 0.5)
        mesh.update_crops(mesh.all_crops)
        chosen = []
        for step in range(30):
            updated(mesh, 90, 90)
            mesh.apply_to_keypoints([(10.0 * (step % 9), 45.0, 0, 0)] * 7, rows=90, cols=90)
            chosen.append(mesh.crop.index)
        return chosen

    assert run(5) == run(5) and len(set(run(5))) > 1
    # The order in which the hit windows are offered does not depend on where they live in memory.
    script = "import random\n" + textwrap.dedent(
        """
        from halvex.preprocessing.augmentations.transform.morvane import MeshCrop
        import numpy as np
        random.seed(11)
        junk = [bytearray(random.randrange(1, 4000)) for _ in range(300)]
        mesh = MeshCrop(4, 1, 0.5, 1.0)
        mesh.update_crops(mesh.all_crops)
        mesh.update_params({}, image=np.zeros((10, 100)))
        out = []
        for _ in range(20):
            mesh.apply_to_keypoints([(40.0, 5.0, 0, 0)] * 4, rows=10, cols=100)
            out.append(mesh.crop.index)
        print(out)
        """
    )
    command = [sys.executable, "-c", script]
    runs = [subprocess.run(command, capture_output=True, text=True, check=True) for _ in range(2)]
    assert runs[0].stdout == runs[1].stdout


# ---- MeshCrop.apply: rescaling -------------------------------------------------------


def numpy_rescaled(img):
    lo, hi = float(np.min(img)), float(np.max(img))
    span = hi - lo
    if span > 0:
        img = img.copy()
        np.subtract(img, lo, out=img)
        np.multiply(img, 2 / span, out=img)
        np.subtract(img, 1.0, out=img)
        np.clip(img, -1.0, 1.0, out=img)
    return img


def full_image_mesh(rows, cols, renorm=True):
    mesh = MeshCrop(1, 1, 1.0, 1.0, renorm=renorm)
    updated(mesh, rows, cols)
    return mesh


def layouts(image):
    yield image
    yield np.asfortranarray(image)
    yield image[::-1, ::2]
    yield np.pad(image, ((1, 1), (2, 2), (0, 0)))[1:-1, 2:-2]


@pytest.mark.parametrize(
    "dtype, scale",
    [(np.float32, 1.0), (np.float32, 1e-30), (np.float32, 3e30), (np.float64, 1.0),
     (np.float64, 1e-300), (np.float64, 1e300), (np.float16, 1.0)],
)  # fmt: skip
def test_rescaling_equals_the_numpy_formulation(dtype, scale):
    rng = np.random.default_rng(7)
    base = (rng.normal(size=(37, 41, 3)) * scale).astype(dtype)
    for image in layouts(base):
        before = image.copy()
        rows, cols = image.shape[:2]
        result = full_image_mesh(rows, cols).apply(image, rows=rows, cols=cols)
        expected = numpy_rescaled(image)
        assert result.dtype == dtype and result.flags.c_contiguous and result is not image
        assert np.array_equal(result, expected, equal_nan=True) and np.array_equal(image, before)
        assert result.min() == -1 and result.max() == pytest.approx(1, abs=1e-3)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "values",
    [[np.inf, 1, 2], [-np.inf, 0, np.inf], [np.nan, 0, 1], [-3e38, 3e38, 0], [0, 1e-45, 2e-45],
     [5e-324, 0, 1e-323]],
)  # fmt: skip
def test_rescaling_of_extreme_values_warns_and_ends_like_numpy(dtype, values):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        image = np.array(values, dtype=dtype).reshape(1, 3)
    mesh = full_image_mesh(1, 3)
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        result = mesh.apply(image, rows=1, cols=3)
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = numpy_rescaled(image)
    assert np.array_equal(result, expected, equal_nan=True) and result.dtype == expected.dtype
    assert [str(w.message) for w in ours] == [str(w.message) for w in theirs]
    with np.errstate(all="raise"):
        if theirs:
            with pytest.raises(FloatingPointError):
                mesh.apply(image, rows=1, cols=3)


def test_rescaling_cases():
    image = np.array([[10.0, 20.0, 30.0]], np.float32)
    mesh = full_image_mesh(1, 3)
    assert mesh.apply(image, rows=1, cols=3).tolist() == [[-1.0, 0.0, 1.0]]
    constant = np.full((2, 3), 4.0)
    assert full_image_mesh(2, 3).apply(constant, rows=2, cols=3).base is constant
    assert full_image_mesh(1, 3, renorm=False).apply(image, rows=1, cols=3).base is image
    with pytest.raises(TypeError, match="Cannot cast ufunc 'subtract' output"):
        mesh.apply(np.array([[1, 2, 3]]), rows=1, cols=3)
    assert mesh.apply(np.array([[7, 7, 7]]), rows=1, cols=3).tolist() == [[7, 7, 7]]
    masked = np.ma.masked_array(image, mask=[[False, True, False]])
    assert type(mesh.apply(masked, rows=1, cols=3)) is np.ma.MaskedArray


def test_mesh_crop_in_a_pipeline_crops_image_and_keypoints_alike():
    mesh = MeshCrop(2, 2, 0.5, 0.5)
    mesh.update_crops(mesh.all_crops)
    pipeline = A.Compose([mesh], keypoint_params=A.KeypointParams("xy", remove_invisible=False))
    image = np.arange(40 * 60, dtype=np.float64).reshape(40, 60)
    random.seed(2)
    for _ in range(10):
        # Keypoints before the image: the window chosen for the keypoints then crops the image too.
        out = pipeline(keypoints=[(31.0, 21.0)] * 4, image=image)
        x, y = out["keypoints"][0]
        expected = numpy_rescaled(image[mesh.y_min : mesh.y_max, mesh.x_min : mesh.x_max])
        assert out["image"].shape == (20, 30) and np.array_equal(out["image"], expected)
        assert (x + mesh.x_min, y + mesh.y_min) == (31.0, 21.0)


def test_normalize_asserts_unless_optimised():
    expect.raises(AssertionError, lambda: CropsData([CropData(0, 1, 5, 200, 0, 100, 3, 1)]).normalize(1000, 800))
    script = """
        from halvex.preprocessing.augmentations.transform.morvane import CropData, CropsData, MeshCrop
        crops = CropsData([CropData(0, 1, 5, 200, 0, 100, 3, 1)])
        crops.normalize(1000, 800)
        print(crops.data[0].x1 > 1)
        """
    command = [sys.executable, "-O", "-c", textwrap.dedent(script)]
    assert subprocess.run(command, capture_output=True, text=True, check=True).stdout == "True\n"


# ---- end to end with rotated boxes ------------------------------------------------------

def test_rotated_boxes_through_a_mesh_crop(monkeypatch):
    rng = np.random.default_rng(4)
    boxes = rng.uniform((20, 20, 6, 3, -1.5), (180, 130, 12, 6, 1.5), (12, 5))
    keypoints = kestril.orva_to_keypoints(boxes)
    instances, positions = kestril.keypoints_trivial_lookup(len(keypoints))
    image = rng.random((150, 200, 3)).astype(np.float32)
    mesh = MeshCrop(3, 2, 0.5, 0.6)
    mesh.update_crops(mesh.all_crops)
    pipeline = A.Compose(
        [mesh],
        keypoint_params=A.KeypointParams(
            "xy", label_fields=["instances", "positions"], remove_invisible=True
        ),
    )

    draws = []
    real_random = random.random

    def recorded():
        draws.append(real_random())
        return draws[-1]

    monkeypatch.setattr(random, "random", recorded)

    def run(seed):
        random.seed(seed)
        del draws[:]
        labels = {"instances": list(instances), "positions": list(positions)}
        out = pipeline(keypoints=[tuple(k) for k in keypoints], **labels, image=image)
        return out, mesh.crop, list(draws)

    seen_keypoint_path = False
    for seed in range(12):
        out, window, seed_draws = run(seed)
        assert run(seed)[1].index == window.index
        box_centres = boxes[:-1, :2] / (200, 150)
        if seed_draws and seed_draws[0] > 0.5:
            seen_keypoint_path = True
            assert any(
                window.x1 <= x < window.x2 and window.y1 <= y < window.y2 for x, y in box_centres
            )
        # Boxes that kept all three keypoints are rebuilt where they were, moved by the crop offset.
        labels = [str(label) for label in out["instances"]]
        whole = {label for label in set(labels) if labels.count(label) == 3}
        kept = [i for i, label in enumerate(labels) if label in whole]
        assert out["image"].shape == (90, 100, 3)
        if not kept:
            continue
        parallelograms, original_index = kestril.assemble_keypoints_after_shuffle(
            [np.asarray(out["keypoints"][i]) for i in kept],
            [labels[i] for i in kept],
            [str(out["positions"][i]) for i in kept],
        )
        corners, rotations = kestril.get_box_and_rotation_from_parallelogram_keypoints(
            parallelograms
        )
        rebuilt = kestril.box_corners_to_orva(corners, rotations)
        expected = boxes[original_index.astype(int)]
        np.testing.assert_allclose(
            rebuilt[:, :2] + (mesh.x_min, mesh.y_min), expected[:, :2], atol=1e-6
        )
        np.testing.assert_allclose(
            np.sort(rebuilt[:, 2:4], axis=1), np.sort(expected[:, 2:4], axis=1), atol=1e-6
        )
    assert seen_keypoint_path
