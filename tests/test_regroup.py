"""kestril.assemble_keypoints_after_shuffle: regrouping keypoints per box."""

import os
import subprocess
import sys

import albumentations
import numpy as np
import pytest

import expect
from halvex.preprocessing import kestril
from numpy_formulation import boxes as reference

rng = np.random.default_rng(5)


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - compared by type and text
        return error


def assert_same_as_numpy(keypoints, instances, positions, **kwargs):
    expected = outcome(reference.assemble_keypoints_after_shuffle, keypoints, instances, positions, **kwargs)
    result = outcome(kestril.assemble_keypoints_after_shuffle, keypoints, instances, positions, **kwargs)
    if isinstance(expected, Exception):
        assert type(result) is type(expected) and str(result) == str(expected), (result, expected)
        return expected
    assert isinstance(result, tuple) and len(result) == len(expected)
    for mine, theirs in zip(result, expected):
        assert mine.dtype == theirs.dtype and mine.shape == theirs.shape
        np.testing.assert_array_equal(mine, theirs)
    return result


def shuffled_boxes(number_of_boxes, keep=1.0, dtype=np.float64):
    flat = (rng.normal(size=(3 * number_of_boxes, 2)) * 100).astype(dtype)
    instances, positions = kestril.keypoints_trivial_lookup(3 * number_of_boxes)
    order = rng.permutation(3 * number_of_boxes)[: int(round(keep * 3 * number_of_boxes))]
    return [flat[i] for i in order], [instances[i] for i in order], [positions[i] for i in order]


@pytest.mark.parametrize("number_of_boxes", [0, 1, 7, 12, 300])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, np.uint8, np.float16])
def test_regrouping_matches_numpy(number_of_boxes, dtype):
    keypoints, instances, positions = shuffled_boxes(number_of_boxes, dtype=dtype)
    assert_same_as_numpy(
        keypoints, instances, positions,
        labels=np.arange(number_of_boxes), boxes=rng.normal(size=(number_of_boxes, 5)).astype(dtype),
        masks=np.asfortranarray(rng.integers(0, 9, (number_of_boxes, 3, 2))),
        strided=rng.normal(size=(2 * number_of_boxes, 4))[::2, ::-1],
    )


@pytest.mark.parametrize(
    "point_form",
    [lambda p: p, lambda p: tuple(p.tolist()), lambda p: p.astype(np.float32), lambda p: p[::-1][::-1],
     lambda p: np.array([p[0], p[1], 7.0])[:2], lambda p: p.astype(">f8"), lambda p: p.reshape(1, 2)],
)
@pytest.mark.parametrize("label_form", [str, np.str_, lambda label: int(label) if label == "1" else label])
def test_list_entries_of_every_form(point_form, label_form):
    keypoints, instances, positions = shuffled_boxes(4)
    keypoints = [point_form(point) if i % 2 else point for i, point in enumerate(keypoints)]
    assert_same_as_numpy(keypoints, [label_form(str(label)) for label in instances], positions, x=np.arange(4))


def test_two_boxes_reversed_come_back_in_order():
    boxes = np.array([[10.0, 20.0, 4.0, 2.0, 0.0], [0.0, 0.0, 2.0, 6.0, 1.0]])
    flat = kestril.orva_to_keypoints(boxes)
    instances, positions = kestril.keypoints_trivial_lookup(6)
    sorted_keypoints, to_original_index = kestril.assemble_keypoints_after_shuffle(
        list(flat)[::-1], instances.tolist()[::-1], positions.tolist()[::-1])
    assert sorted_keypoints.dtype == np.float64
    np.testing.assert_array_equal(sorted_keypoints, flat.reshape(2, 3, 2))
    assert to_original_index.tolist() == [0.0, 1.0]


def test_twelve_boxes_come_in_text_order():
    keypoints, instances, positions = shuffled_boxes(12)
    sorted_keypoints, to_original_index, labels = kestril.assemble_keypoints_after_shuffle(
        keypoints, instances, positions, labels=np.arange(12))
    assert to_original_index.tolist() == [0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9]
    assert labels.dtype == np.float64 and labels.tolist() == to_original_index.tolist()


def test_nothing_in_nothing_out():
    result = kestril.assemble_keypoints_after_shuffle([], [], [], extra=np.zeros((0, 4, 3)))
    assert [array.shape for array in result] == [(0, 3, 2), (0,), (0, 4, 3)]


def test_a_repeated_role_takes_the_later_keypoint_without_assertions():
    # Only under python -O can a box carry a role twice and still come through.
    script = r"""
import numpy as np
from halvex.preprocessing import kestril
from numpy_formulation import boxes as reference
arguments = ([[0, 0], [1, 1], [2, 2], [3, 3], [4, 4], [5, 5], [6, 6]], ["1", "0", "0", "0", "0", "1", "1"],
             ["center", "top", "right", "top", "center", "right", "top"])
for function in (kestril.assemble_keypoints_after_shuffle, reference.assemble_keypoints_after_shuffle):
    try:
        print(function(*arguments, x=np.arange(2))[0].tolist())
    except Exception as error:
        print(type(error).__name__, error)
"""
    result = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr
    ours, theirs = result.stdout.splitlines()
    assert ours == theirs == "[[[4.0, 4.0], [3.0, 3.0], [2.0, 2.0]], [[0.0, 0.0], [6.0, 6.0], [5.0, 5.0]]]"


@pytest.mark.parametrize(
    "instances, positions, kwargs, error, text",
    [
        # a role missing in the first box (text order) wins over later problems
        (["1", "1", "1", "0", "0", "0"], ["center", "top", "top", "center", "center", "right"], {},
         KeyError, "'top'"),
        (["0", "0", "0", "1", "1", "1"], ["center", "top", "right", "right", "top", "other"], {},
         KeyError, "'center'"),
        # int() of a label, then a keyword array's row
        (["a", "a", "a", "0", "0", "0"], ["center", "top", "right"] * 2, {"x": np.zeros(2)},
         ValueError, "invalid literal for int() with base 10: np.str_('a')"),
        (["a", "a", "a", "0", "0", "0"], ["center", "top", "right"] * 2, {},
         ValueError, "invalid literal for int() with base 10: np.str_('a')"),
        (["0", "0", "0", "5", "5", "5"], ["center", "top", "right"] * 2, {"x": np.zeros(2)},
         IndexError, "index 5 is out of bounds for axis 0 with size 2"),
        (["0", "0", "0", "-3", "-3", "-3"], ["center", "top", "right"] * 2, {"x": np.zeros(2)},
         IndexError, "index -3 is out of bounds for axis 0 with size 2"),
        (["9", "9", "9", "a", "a", "a"], ["center", "top", "right"] * 2, {"x": np.zeros(2)},
         IndexError, "index 9 is out of bounds for axis 0 with size 2"),
        (["0", "0", "0", "1", "1", "1"], ["center", "top", "right"] * 2, {"x": np.zeros(2), "y": np.zeros(1)},
         AssertionError, ""),
        (["0", "0", "0", "1", "1"], ["center", "top", "right", "center", "top"], {}, AssertionError, ""),
        (["0", "0", "0", "1", "1", "2"], ["center", "top", "right"] * 2, {}, AssertionError, ""),
        # labels that are not text never match
        ([0, 0, 0, 1, 1, 1], ["center", "top", "right"] * 2, {}, KeyError, "'center'"),
        (["0", "0", "0", "1", "1", "1"], ["center", "top", "right"] * 2, {"x": [0, 1]},
         AttributeError, "'list' object has no attribute 'shape'"),
    ],
)
def test_failures_are_numpys(instances, positions, kwargs, error, text):
    keypoints = [[float(i), -float(i)] for i in range(len(instances))]
    result = assert_same_as_numpy(keypoints, instances, positions, **kwargs)
    if error is AssertionError and expect.OPTIMIZED:
        return  # the check is skipped on both sides; what follows is the same, as compared above
    assert type(result) is error and str(result) == text


@pytest.mark.parametrize(
    "labels",
    [
        ["-1", "0"],  # negative rows count from the end, as numpy's indexing does
        ["\u0663", "0"],  # a non-ASCII digit, which only Python's int() reads
        [" 1", "0"],
        ["1_0", "0"],
        ["00", "1"],
        ["99999999999999999999999", "0"],
        ["\u00e9", "e"],
        ["a" * 30, "a" * 29],
    ],
)
@pytest.mark.parametrize("with_keywords", [False, True])
def test_unusual_labels_behave_as_in_numpy(labels, with_keywords):
    instances = [label for label in labels for _ in range(3)]
    positions = ["right", "center", "top"] * len(labels)
    keypoints = [[i, 2 * i] for i in range(len(instances))]
    kwargs = {"x": np.arange(2.0), "y": np.arange(4).reshape(2, 2)} if with_keywords else {}
    assert_same_as_numpy(keypoints[::-1], instances[::-1], positions[::-1], **kwargs)


def test_position_labels_that_are_numpy_strings_or_other_objects():
    keypoints, instances, positions = shuffled_boxes(4)
    assert_same_as_numpy(keypoints, instances, [np.str_(position) for position in positions])

    class Role(str):
        pass

    assert_same_as_numpy(keypoints, instances, [Role(position) for position in positions])
    assert_same_as_numpy(keypoints, instances, [1 if p == "top" else p for p in positions])


def test_keyword_arrays_of_other_kinds():
    keypoints, instances, positions = shuffled_boxes(3)
    assert_same_as_numpy(keypoints, instances, positions, text=np.array(["1.5", "2", "3e2"]),
                         nested=np.zeros((3, 0)), complex_=np.ones(3, np.int64).view(np.float64))


def test_dropped_keypoints_and_their_boxes():
    keypoints, instances, positions = shuffled_boxes(10, keep=0.6)
    assert_same_as_numpy(keypoints, instances, positions)


@pytest.mark.parametrize("bad", [("keypoints", ()), ("instances", np.array(["0"])), ("positions", None)])
def test_arguments_must_be_lists(bad):
    arguments = {"keypoints": [], "instances": [], "positions": []}
    name, value = bad
    arguments[name] = value
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type \\(expected list, got "):
        kestril.assemble_keypoints_after_shuffle(**arguments)


# ---- through a real Albumentations pipeline -------------------------------------------------

IMAGE = np.zeros((200, 300, 3), np.uint8)


def through_pipeline(transform, points, **labels):
    params = albumentations.KeypointParams(format="xy", label_fields=list(labels), remove_invisible=True)
    return albumentations.Compose([transform], keypoint_params=params)(image=IMAGE, keypoints=points, **labels)


def fitted_affine(transform):
    """The transform's affine map, read off three probe points."""
    probes = np.array([[100.0, 100.0], [101.0, 100.0], [100.0, 101.0]])
    moved = np.array(through_pipeline(transform, [tuple(p) for p in probes])["keypoints"], dtype=float)
    basis = np.stack([moved[1] - moved[0], moved[2] - moved[0]], axis=1)
    return lambda points: (points - probes[0]) @ basis.T + moved[0]


@pytest.mark.parametrize(
    "transform, rigid",
    [
        (albumentations.HorizontalFlip(p=1), True),
        (albumentations.Affine(rotate=(12, 12), p=1), True),
        (albumentations.Affine(shear={"x": (25, 25), "y": (0, 0)}, p=1), False),
        (albumentations.Crop(x_min=0, y_min=0, x_max=160, y_max=200, p=1), True),  # drops the last boxes
    ],
)
def test_boxes_survive_a_pipeline(transform, rigid):
    boxes = np.array([[60, 60, 30, 12, 0.3], [120, 140, 20, 40, -1.2], [90, 100, 16, 16, 2.0],
                      [250, 60, 20, 10, 0.5], [260, 150, 14, 30, -0.4]])
    flat = kestril.orva_to_keypoints(boxes)
    instances, positions = kestril.keypoints_trivial_lookup(flat.shape[0])
    result = through_pipeline(transform, [tuple(p) for p in flat], instances=instances.tolist(),
                              positions=positions.tolist())
    order = rng.permutation(len(result["keypoints"]))  # the regrouping must not care about order
    sorted_keypoints, to_original_index, carried = kestril.assemble_keypoints_after_shuffle(
        *([result[name][i] for i in order] for name in ("keypoints", "instances", "positions")),
        boxes=boxes[: len(order) // 3])
    kept = to_original_index.astype(int)
    assert sorted(kept.tolist()) == list(range(3 if isinstance(transform, albumentations.Crop) else 5))
    np.testing.assert_array_equal(carried, boxes[kept])

    affine = fitted_affine(transform)
    expected_keypoints = affine(flat.reshape(-1, 3, 2)[kept])
    np.testing.assert_allclose(sorted_keypoints, expected_keypoints, atol=1e-6)
    corners, rotations = kestril.get_box_and_rotation_from_parallelogram_keypoints(sorted_keypoints)
    expected = kestril.get_box_and_rotation_from_parallelogram_keypoints(expected_keypoints)
    np.testing.assert_allclose(corners, expected[0], atol=1e-6)
    orva = kestril.box_corners_to_orva(corners, rotations)
    moved_corners = affine(kestril.orva_to_box_corners(boxes[kept]))
    np.testing.assert_allclose(orva[:, :2], moved_corners.mean(axis=1), atol=1e-6)
    if rigid:  # the rectangle itself moved: same corners, same size
        np.testing.assert_allclose(np.sort(corners, axis=1), np.sort(moved_corners, axis=1), atol=1e-6)
        np.testing.assert_allclose(np.sort(orva[:, 2:4], axis=1), np.sort(boxes[kept, 2:4], axis=1), atol=1e-6)
