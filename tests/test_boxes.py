"""kestril: box formats, lookups and the reconstruction modes."""

import numpy as np
import pytest

import expect
from halvex.preprocessing import kestril


def test_trivial_lookup_labels_every_keypoint():
    instances, positions = kestril.keypoints_trivial_lookup(6)
    assert instances.tolist() == ["0", "0", "0", "1", "1", "1"]
    assert positions.tolist() == ["center", "top", "right"] * 2
    assert instances.dtype.kind == positions.dtype.kind == "U"
    twelve, _ = kestril.keypoints_trivial_lookup(36)
    assert twelve[-1] == "11"


@pytest.mark.parametrize("count", [6.0, 6.9, np.int64(6), np.float32(6.5), True * 6])
def test_trivial_lookup_converts_its_count_like_int(count):
    instances, positions = kestril.keypoints_trivial_lookup(count)
    assert instances.shape == positions.shape == (6,)


def test_trivial_lookup_of_nothing_is_empty():
    instances, positions = kestril.keypoints_trivial_lookup(0)
    assert instances.shape == positions.shape == (0,)


@pytest.mark.parametrize("count, error", [(7, AssertionError), ("6", TypeError), (None, TypeError), ([6], TypeError)])
def test_trivial_lookup_rejects(count, error):
    raised = expect.raises(error, lambda: kestril.keypoints_trivial_lookup(count))
    if error is TypeError:
        assert str(raised).startswith(
            "Argument 'number_of_keypoints' has incorrect type (expected int, got "
        )


def test_box_reconstruction_is_a_plain_enum():
    modes = kestril.BoxReconstruction
    assert [mode.name for mode in modes] == ["MIN", "AVG", "MAX"]
    assert [mode.value for mode in modes] == [0, 1, 2]
    assert modes.MAX != 2 and modes(2) is modes.MAX
    assert modes.__module__ == "halvex.preprocessing.kestril" and modes.__qualname__ == "BoxReconstruction"
    assert modes.__doc__.startswith("BoxReconstruction(")


def test_coordinate_transformation_round_trip():
    forward, backward = kestril.coordinate_transformation(np.array([[2, 0], [1, 1], [1, 3]]))
    assert forward.__qualname__ == backward.__qualname__ == "coordinate_transformation.<locals>.<lambda>"
    points = np.array([[2, 0], [1, 3], [1, 1], [2, 2]])
    mapped = forward(points)
    np.testing.assert_allclose(mapped, [[1, 0], [0, 1], [0, 0], [1, 1]], atol=1e-15)
    np.testing.assert_allclose(backward(mapped), points, atol=1e-15)
    np.testing.assert_allclose(forward(a=np.array([2, 2])), [1, 1])
    np.testing.assert_allclose(forward([np.array([2.0, 0.0])]), [[1, 0]], atol=1e-15)
    identity, _ = kestril.coordinate_transformation(np.array([[1.0, 0.0], [0.0, 0.0], [0.0, 1.0]]))
    np.testing.assert_array_equal(identity(np.array([[3.0, -4.0]])), [[3.0, -4.0]])


def test_coordinate_transformation_of_collinear_points_projects():
    forward, _ = kestril.coordinate_transformation(np.array([[1.0, 0.0], [0.0, 0.0], [2.0, 0.0]]))
    assert np.isfinite(forward(np.array([[1.0, 1.0]]))).all()


@pytest.mark.parametrize(
    "points, error, text",
    [
        (np.zeros((2, 2)), AssertionError, ""),
        (np.zeros((4, 3)), AssertionError, "The dimensionality of the points has to be two, otherwise slightly adapt and test."),
        (np.zeros(3), IndexError, "tuple index out of range"),
    ],
)
def test_coordinate_transformation_checks_its_points(points, error, text):
    expect.raises(error, lambda: kestril.coordinate_transformation(points), text)


# ---- shared helpers -------------------------------------------------------------

import subprocess  # noqa: E402
import sys  # noqa: E402

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

from layouts import LAYOUTS, in_layout  # noqa: E402
from numpy_formulation import boxes as reference  # noqa: E402
from tolerance import TRIG_ULPS, assert_close, eps, norms, row_scale  # noqa: E402

rng = np.random.default_rng(11)

INNER_CALLS = ("rot_points_multi_rads", "get_angles_from_points", "get_corner_points_from_box_tuples",
               "parallelogram_to_box")


@pytest.fixture(params=["native", "numpy"])
def road(request, monkeypatch):
    """Either the module as imported, or with every inner call rebound to a
    Python wrapper, which must send each function down its numpy road."""
    calls = []
    if request.param == "numpy":
        for name in INNER_CALLS:
            original = getattr(kestril, name)

            def wrapper(*args, _original=original, _name=name, **kwargs):
                calls.append(_name)
                return _original(*args, **kwargs)

            monkeypatch.setattr(kestril, name, wrapper)
    return calls


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - compared by type and text
        return error


def assert_same_outcome(ours, theirs, tolerance=None):
    """Same exception type and text, or arrays of the same dtype and shape whose
    values agree within `tolerance` (an array, or a tuple of them for a tuple
    of results; see tests/tolerance.py), bit for bit without one."""
    if isinstance(theirs, Exception):
        assert type(ours) is type(theirs) and str(ours) == str(theirs), (ours, theirs)
        return
    assert not isinstance(ours, Exception), ours
    if isinstance(theirs, tuple):
        assert isinstance(ours, tuple) and len(ours) == len(theirs)
        for index, (mine, expected) in enumerate(zip(ours, theirs)):
            assert_same_outcome(mine, expected, None if tolerance is None else tolerance[index])
        return
    if tolerance is None:
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
        np.testing.assert_array_equal(ours, theirs)
    else:
        assert_close(ours, theirs, tolerance)


def per_box(scale, n, result_shape):
    """A per-box tolerance (n,) spread over a result whose rows belong to the boxes in order."""
    rows = result_shape[0] // n if n else 0
    return np.repeat(scale, rows).reshape((result_shape[0],) + (1,) * (len(result_shape) - 1))


def random_orva(n, dtype=np.float64):
    boxes = np.c_[rng.uniform(-500, 500, (n, 2)), rng.uniform(0, 80, (n, 2)), rng.uniform(-9, 9, n)]
    return boxes.astype(dtype)


def trig_of(dtype):
    return np.cos(np.zeros(1, dtype)).dtype if np.dtype(dtype).kind in "fiu" else np.float64


DTYPES = [np.float64, np.float32, np.int64, np.int32, np.int16, np.int8, np.uint16, np.float16]
SIZES = [0, 1, 7, 10_000]


# ---- box conversions against the numpy formulation -------------------------------


@pytest.mark.parametrize("name", ["orva_to_box_corners", "orva_to_keypoints"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_orva_conversions_match_numpy(road, name, dtype, n, layout):
    boxes = in_layout(random_orva(n, dtype), layout)
    before = boxes.copy()
    expected = outcome(lambda: getattr(reference, name)(boxes.copy()))
    tolerance = None if isinstance(expected, Exception) else conversion_tolerance(boxes, expected)
    assert_same_outcome(outcome(lambda: getattr(kestril, name)(boxes)), expected, tolerance)
    np.testing.assert_array_equal(boxes, before)


def conversion_tolerance(boxes, expected):
    """Corners and edge midpoints are the centre plus the rotated half sizes:
    a few ulp of the box's coordinates and sizes."""
    scale = row_scale(np.asarray(boxes)[:, :4]).ravel()
    return TRIG_ULPS * eps(trig_of(boxes.dtype), expected.dtype) * per_box(scale, len(boxes), expected.shape)


CONVERSION_FAULTS = {
    "swapped corners": lambda boxes: reference.orva_to_box_corners(boxes.copy())[:, [1, 0, 2, 3]],
    "angle with the wrong sign": lambda boxes: reference.orva_to_box_corners(boxes * [1, 1, 1, 1, -1]),
    "a float32 intermediate": lambda boxes: reference.orva_to_box_corners(boxes.astype(np.float32)).astype(np.float64),
}


@pytest.mark.parametrize("fault", CONVERSION_FAULTS.values(), ids=CONVERSION_FAULTS.keys())
def test_the_conversion_comparison_catches_planted_faults(fault):
    boxes = random_orva(1000)
    expected = reference.orva_to_box_corners(boxes.copy())
    assert_same_outcome(kestril.orva_to_box_corners(boxes), expected, conversion_tolerance(boxes, expected))
    with pytest.raises(AssertionError, match="outside their tolerance"):
        assert_same_outcome(fault(boxes), expected, conversion_tolerance(boxes, expected))


@pytest.mark.parametrize(
    "corner_type, angle_type",
    [
        (np.float64, np.float64),
        (np.float32, np.float32),
        (np.float64, np.float32),
        (np.int64, np.float64),
        (np.int32, np.int64),
        (np.float32, np.int16),
        (np.float32, np.uint16),
        (np.int16, np.uint64),
        (np.uint8, np.float64),
        (np.float32, np.float64),
        (np.float16, np.float16),
    ],
)
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_box_corners_to_orva_matches_numpy(road, corner_type, angle_type, n, layout):
    corners = in_layout((rng.normal(size=(n, 4, 2)) * 40).astype(corner_type), layout)
    angles = in_layout((rng.normal(size=n) * 3).astype(angle_type), layout)
    before = corners.copy()
    expected = outcome(lambda: reference.box_corners_to_orva(corners.copy(), angles.copy()))
    tolerance = None
    if not isinstance(expected, Exception):
        # sizes come from corners rotated back: a few ulp of the corners'
        # magnitude; centres and the negated angle involve no trigonometry
        tolerance = np.zeros(expected.shape)
        tolerance[:, 2:4] = TRIG_ULPS * eps(trig_of(angle_type), expected.dtype) * row_scale(corners).reshape(-1, 1)
        tolerance[:, :2] = 4 * eps(expected.dtype) * row_scale(corners).reshape(-1, 1)
    assert_same_outcome(outcome(lambda: kestril.box_corners_to_orva(corners, angles)), expected, tolerance)
    np.testing.assert_array_equal(corners, before)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_keypoints_to_orva_matches_numpy_and_writes_the_callers_array(road, dtype, n, layout):
    values = (rng.normal(size=(n, 3, 2)) * 60).astype(dtype)
    theirs = values.copy()
    expected = outcome(lambda: reference.keypoints_to_orva(theirs))
    keypoints = in_layout(values, layout)
    tolerance = None
    if not isinstance(expected, Exception):
        # centres are copied; sizes are lengths (no trigonometry, rounded to
        # float32); the angle is an arctan2 of at most pi, rounded to float32
        tolerance = np.zeros(expected.shape)
        tolerance[:, 2:4] = 4 * eps(expected.dtype) * 4 * row_scale(values).reshape(-1, 1)
        tolerance[:, 4] = TRIG_ULPS * eps(trig_of(dtype), expected.dtype) * np.pi
    assert_same_outcome(outcome(lambda: kestril.keypoints_to_orva(keypoints)), expected, tolerance)
    np.testing.assert_array_equal(keypoints, theirs)


@pytest.mark.parametrize("name, middle", [("keypoints_to_box_corners", 3), ("get_corner_points_from_box_tuples", 2)])
@pytest.mark.parametrize("dtype", DTYPES + [np.uint8, np.int64])
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_corner_functions_match_numpy_exactly(road, name, middle, dtype, n, layout):
    values = in_layout((rng.normal(size=(n, middle, 2)) * 100).astype(dtype), layout)
    if dtype is np.int64:
        values[...] = np.iinfo(np.int64).max - values  # integer arithmetic wraps as numpy's does
    before = values.copy()
    expected = getattr(reference, name)(values.copy())
    result = getattr(kestril, name)(values)
    assert result.dtype == expected.dtype and result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)
    np.testing.assert_array_equal(values, before)


def test_numpy_road_calls_the_rebound_names(road):
    boxes = random_orva(5)
    kestril.orva_to_box_corners(boxes)
    kestril.box_corners_to_orva(np.zeros((2, 4, 2)), np.zeros(2))
    kestril.orva_to_keypoints(boxes)
    kestril.keypoints_to_orva(np.ones((2, 3, 2)))
    kestril.keypoints_to_box_corners(np.ones((2, 3, 2)))
    kestril.get_box_and_rotation_from_parallelogram_keypoints(np.ones((2, 3, 2)))
    if road:  # the rebound module
        assert road == ["rot_points_multi_rads"] * 2 + ["rot_points_multi_rads", "get_angles_from_points",
                                                        "get_corner_points_from_box_tuples",
                                                        "get_angles_from_points", "rot_points_multi_rads",
                                                        "parallelogram_to_box", "rot_points_multi_rads",
                                                        "get_corner_points_from_box_tuples",
                                                        "get_angles_from_points"]


# ---- box conversions: known values and failures ---------------------------------


def test_one_box_through_every_form():
    box = np.array([[10.0, 20.0, 4.0, 2.0, 0.0]])
    assert kestril.orva_to_box_corners(box).tolist() == [[[8, 19], [8, 21], [12, 21], [12, 19]]]
    keypoints = kestril.orva_to_keypoints(box)
    assert keypoints.tolist() == [[10, 20], [10, 19], [12, 20]]
    parallelograms = keypoints.reshape(1, 3, 2)
    orva = kestril.keypoints_to_orva(parallelograms)
    assert orva.dtype == np.float32 and orva.tolist() == [[10, 20, 4, 2, 0]]
    assert parallelograms.tolist() == [[[10, 20], [0, -1], [2, 0]]]


@pytest.mark.parametrize(
    "name, shape",
    [
        ("orva_to_box_corners", (0, 4, 2)),
        ("box_corners_to_orva", (0, 5)),
        ("orva_to_keypoints", (0, 2)),
        ("keypoints_to_orva", (0, 5)),
        ("keypoints_to_box_corners", (0, 4, 2)),
        ("get_corner_points_from_box_tuples", (0, 4, 2)),
    ],
)
def test_no_boxes_give_empty_arrays(name, shape):
    inputs = {
        "orva_to_box_corners": (np.zeros((0, 5)),),
        "box_corners_to_orva": (np.zeros((0, 4, 2)), np.zeros(0)),
        "orva_to_keypoints": (np.zeros((0, 5)),),
        "keypoints_to_orva": (np.zeros((0, 3, 2)),),
        "keypoints_to_box_corners": (np.zeros((0, 3, 2)),),
        "get_corner_points_from_box_tuples": (np.zeros((0, 2, 2)),),
    }[name]
    assert getattr(kestril, name)(*inputs).shape == shape


ORVA_MESSAGE = (
    "Boxes in ORVA format must consist of exactly five points: (center_x, center_y, width, height, rotation)."
)
INPLACE_MESSAGE = "Rotations are supposed to happen inplace, __tmp is therefore just a view to distance_difference."


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: kestril.orva_to_box_corners(np.zeros((3, 4))), AssertionError, ORVA_MESSAGE),
        (lambda: kestril.orva_to_keypoints(np.zeros((3, 4))), AssertionError, ""),
        (lambda: kestril.orva_to_box_corners(np.zeros((3, 5, 1))), AssertionError, ""),
        (lambda: kestril.orva_to_box_corners(np.zeros(5)), IndexError, "tuple index out of range"),
        (lambda: kestril.orva_to_box_corners([[1, 2, 3, 4, 5]]), AttributeError,
         "'list' object has no attribute 'shape'"),
        (lambda: kestril.box_corners_to_orva(np.zeros((3, 4, 2)), np.zeros(2)), AssertionError, ""),
        (lambda: kestril.box_corners_to_orva(np.zeros((3, 3, 2)), np.zeros(3)), AssertionError, ""),
        (lambda: kestril.keypoints_to_orva(np.zeros((3, 2))), ValueError, "need more than 2 values to unpack"),
        (lambda: kestril.keypoints_to_orva(np.zeros(3)), ValueError, "need more than 1 value to unpack"),
        (lambda: kestril.keypoints_to_box_corners(np.zeros((1, 3, 2, 1))), ValueError,
         "too many values to unpack (expected 3)"),
        (lambda: kestril.keypoints_to_orva(np.zeros((3, 4, 2))), AssertionError, ""),
        (lambda: kestril.keypoints_to_box_corners(np.zeros((3, 3, 3))), AssertionError, ""),
        (lambda: kestril.get_corner_points_from_box_tuples(np.zeros((3, 3, 2))), AssertionError, ""),
        (lambda: kestril.orva_to_box_corners(np.array([[0, 0, 1, 1, np.nan]])), AssertionError, ""),
        (lambda: kestril.orva_to_keypoints(np.array([[0, 0, np.inf, 1, 0.5]])), AssertionError, INPLACE_MESSAGE),
        (lambda: kestril.orva_to_box_corners(np.ones((2, 5), np.uint8)), OverflowError,
         "Python integer -1 out of bounds for uint8"),
    ],
)
def test_conversion_failures(road, call, error, text):
    expect.raises(error, call, text)


def test_float32_corners_need_float32_rotations():
    corners = kestril.orva_to_box_corners(random_orva(4)).astype(np.float32)
    with pytest.raises(TypeError, match="according to the rule 'safe'"):
        kestril.box_corners_to_orva(corners, np.zeros(4))
    assert kestril.box_corners_to_orva(corners, np.zeros(4, np.float32)).dtype == np.float32


def test_read_only_keypoints_raise_numpys_error():
    keypoints = np.ones((2, 3, 2))
    keypoints.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        kestril.keypoints_to_orva(keypoints)


def test_zero_top_offset_gives_zero_height_and_a_quarter_turn():
    orva = kestril.keypoints_to_orva(np.array([[[5.0, 5.0], [5.0, 5.0], [7.0, 5.0]]]))
    assert orva[0, 3] == 0 and orva[0, 2] == 4
    assert orva[0, 4] == np.float32(-np.pi / 2)


def test_integer_boxes_give_float64():
    boxes = np.array([[10, 20, 4, 2, 0]])
    assert kestril.orva_to_box_corners(boxes).dtype == kestril.orva_to_keypoints(boxes).dtype == np.float64


@pytest.mark.parametrize("start", range(4))
@pytest.mark.parametrize("reverse", [False, True])
def test_box_corners_to_orva_ignores_where_the_cycle_starts(start, reverse):
    box = np.array([[3.0, -2.0, 6.0, 1.5, 0.4]])
    corners = kestril.orva_to_box_corners(box)
    order = np.roll(np.arange(4)[::-1] if reverse else np.arange(4), start)
    np.testing.assert_allclose(kestril.box_corners_to_orva(corners[:, order], -box[:, 4]), box, atol=1e-12)


finite = st.floats(-1e3, 1e3, allow_nan=False)
orva_boxes = hnp.arrays(
    np.float64,
    st.integers(0, 6).map(lambda n: (n, 5)),
    elements=st.floats(-1e3, 1e3, allow_nan=False),
)


@settings(max_examples=150, deadline=None)
@given(orva_boxes)
def test_inverse_pairs(boxes):
    n = boxes.shape[0]
    corners = kestril.orva_to_box_corners(boxes)
    back = kestril.box_corners_to_orva(corners, -boxes[:, 4])
    expected = np.c_[boxes[:, :2], np.abs(boxes[:, 2:4]), boxes[:, 4]]
    np.testing.assert_allclose(back, expected, atol=1e-9 * (1 + np.abs(boxes).max(initial=0)))

    flat = kestril.orva_to_keypoints(boxes)
    positive = boxes.copy()
    positive[:, 2:4] = np.abs(positive[:, 2:4])
    orva = kestril.keypoints_to_orva(kestril.orva_to_keypoints(positive).reshape(n, 3, 2))
    assert orva.dtype == np.float32
    assert ((orva[:, 4] >= -3 * np.pi / 2 - 1e-4) & (orva[:, 4] <= np.pi / 2 + 1e-4)).all()
    tolerance = 1e-4 * (1 + np.abs(boxes).max(initial=0))
    np.testing.assert_allclose(orva[:, :4], positive[:, :4], atol=tolerance)
    has_height = positive[:, 3] > 1e-3
    turns = (orva[has_height, 4] - positive[has_height, 4]) / (2 * np.pi)
    np.testing.assert_allclose(turns, np.round(turns), atol=1e-3)

    reordered = kestril.keypoints_to_box_corners(flat.reshape(n, 3, 2))
    np.testing.assert_allclose(reordered, corners[:, [0, 3, 2, 1]], atol=1e-9 * (1 + np.abs(boxes).max(initial=0)))


# ---- parallelogram reconstruction ------------------------------------------------

MODES = list(kestril.BoxReconstruction)


def reference_mode(mode):
    return reference.BoxReconstruction[mode.name] if isinstance(mode, kestril.BoxReconstruction) else mode


@pytest.mark.parametrize("mode", MODES + [2, None])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int8, np.uint16, np.float16, bool])
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_reconstruction_matches_numpy(road, mode, dtype, n, layout):
    keypoints = in_layout((rng.normal(size=(n, 3, 2)) * 50).astype(dtype), layout)
    before = keypoints.copy()
    expected = outcome(lambda: reference.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints.copy(), box_reconstruction_mode=reference_mode(mode)))
    result = outcome(lambda: kestril.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints, box_reconstruction_mode=mode))
    assert_same_reconstruction(result, expected, keypoints)
    np.testing.assert_array_equal(keypoints, before)


def assert_same_reconstruction(result, expected, keypoints):
    if isinstance(expected, Exception):
        assert_same_outcome(result, expected)
        return
    assert isinstance(result, tuple) and len(result) == 2, result
    corner_tolerance, rotation_tolerance = reconstruction_tolerance(keypoints, expected[0])
    assert_close(result[0], expected[0], corner_tolerance)
    assert_close(result[1], expected[1], rotation_tolerance, angles=True)


def _wrong_mode(keypoints, result):
    return reference.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints.copy(), box_reconstruction_mode=reference.BoxReconstruction.AVG)


def _float32_intermediate(keypoints, result):
    return reference.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints.astype(np.float32).astype(np.float64), box_reconstruction_mode=reference.BoxReconstruction.MIN)


RECONSTRUCTION_FAULTS = {
    "swapped corners": lambda keypoints, result: (result[0][:, [1, 0, 2, 3]], result[1]),
    "angle with the wrong sign": lambda keypoints, result: (result[0], -result[1]),
    "the wrong mode": _wrong_mode,
    "a float32 intermediate": _float32_intermediate,
    "corners off by a millionth": lambda keypoints, result: (result[0] * (1 + 1e-6), result[1]),
}


@pytest.mark.parametrize("fault", RECONSTRUCTION_FAULTS.values(), ids=RECONSTRUCTION_FAULTS.keys())
def test_the_reconstruction_comparison_catches_planted_faults(fault):
    # The tolerances above follow the conditioning; they must stay sharp
    # enough that each of these mistakes fails the comparison.
    keypoints = rng.normal(size=(1000, 3, 2)) * 50
    expected = reference.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints.copy(), box_reconstruction_mode=reference.BoxReconstruction.MIN)
    result = kestril.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints, box_reconstruction_mode=kestril.BoxReconstruction.MIN)
    assert_same_reconstruction(result, expected, keypoints)
    with pytest.raises(AssertionError, match="outside their tolerance"):
        assert_same_reconstruction(fault(keypoints, result), expected, keypoints)


def reconstruction_tolerance(keypoints, corners):
    """Tolerances for the corners and the rotations of rebuilt rectangles.

    The rebuilding turns each parallelogram by the angle of its longer
    half-axis and back, so the corners carry a few ulp of the half-axes'
    lengths, plus the rounding of adding the centre.  The rotation is the
    angle of the rebuilt top half-axis: an error e there turns it by up to
    e / |top half-axis|, which is large for a nearly flat parallelogram
    rebuilt with MIN (its top half-axis shrinks toward nothing).
    """
    points = np.asarray(keypoints, dtype=np.float64)
    center = points[:, 0]
    half_axes = points[:, 1:] - center[:, None]
    lengths = norms(half_axes).sum(axis=(1, 2))
    corner_scale = lengths + np.abs(center).max(axis=1, initial=0)
    top = (corners[:, 0] + corners[:, 1]) / 2 - center
    with np.errstate(divide="ignore", invalid="ignore"):
        turn = np.where(lengths > 0, lengths / norms(top)[:, 0], 0.0)
    unit = TRIG_ULPS * eps(np.float64)
    return unit * corner_scale[:, None, None], unit * (np.pi + turn)


def test_reconstruction_of_a_sheared_box():
    keypoints = np.array([[[0.0, 0.0], [0.0, 1.0], [2.0, 0.5]]])
    expected_right = {"MAX": (2.2353, 0.5588), "AVG": (2.0, 0.5), "MIN": (1.7647, 0.4412)}
    for mode in MODES:
        corners, rotations = kestril.get_box_and_rotation_from_parallelogram_keypoints(
            keypoints, box_reconstruction_mode=mode)
        top = (corners[0, 0] + corners[0, 1]) / 2
        right = (corners[0, 1] + corners[0, 2]) / 2
        np.testing.assert_allclose(top, (-0.2353, 0.9412), atol=1e-4)
        np.testing.assert_allclose(right, expected_right[mode.name], atol=1e-4)
        np.testing.assert_allclose(rotations, [3.3866], atol=1e-4)
    def corners_in(**mode):
        return kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints, **mode)[0]

    np.testing.assert_array_equal(corners_in(), corners_in(box_reconstruction_mode=MODES[2]))
    for stranger in (2, None, "MAX"):  # equal to no member: the average
        np.testing.assert_array_equal(corners_in(box_reconstruction_mode=stranger),
                                      corners_in(box_reconstruction_mode=MODES[1]))


def test_reconstruction_default_is_the_member_of_import_time():
    assert kestril.get_box_and_rotation_from_parallelogram_keypoints.__kwdefaults__ == {
        "box_reconstruction_mode": kestril.BoxReconstruction.MAX, "visualize": False}


@settings(max_examples=150, deadline=None)
@given(st.floats(-1e3, 1e3), st.floats(-1e3, 1e3), st.floats(0.01, 100), st.floats(0.01, 100), st.floats(-7, 7))
def test_rectangles_come_back_unchanged_in_every_mode(x, y, width, height, angle):
    flat = kestril.orva_to_keypoints(np.array([[x, y, width, height, angle]]))
    corners = kestril.keypoints_to_box_corners(flat.reshape(1, 3, 2))
    for mode in MODES:
        rebuilt, rotation = kestril.get_box_and_rotation_from_parallelogram_keypoints(
            flat.reshape(1, 3, 2), box_reconstruction_mode=mode)
        np.testing.assert_allclose(rebuilt, corners, atol=1e-7 * (1 + abs(x) + abs(y)))
        # the rotation of the corners, which box_corners_to_orva negates
        turns = (rotation[0] + angle) / (2 * np.pi)
        assert abs(turns - round(turns)) < 1e-6


def test_a_rhombus_takes_its_top_half_axis_as_the_longer_one():
    # equal half-axes, 60 degrees apart: MAX lengthens the top one
    keypoints = np.array([[[0.0, 0.0], [0.0, 1.0], [np.sin(np.pi / 3), np.cos(np.pi / 3)]]])
    corners, _ = kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints)
    top = (corners[0, 0] + corners[0, 1]) / 2
    np.testing.assert_allclose(top, [0.0, 1.5], atol=1e-12)


@pytest.mark.parametrize(
    "keypoints, error, text",
    [
        (np.zeros((2, 3, 3)), AssertionError, "This function is only designed to work for two-dimensional boxes"),
        (np.zeros((2, 4, 2)), AssertionError,
         "For two dimensional boxes we need exactly three keypoints to represent a parallelogram"),
        (np.zeros((2, 3)), ValueError, "need more than 2 values to unpack"),
        (np.array([[[0.0, 0.0], [np.nan, 1.0], [1.0, 0.0]]]), AssertionError, ""),
        # the tolerance of the reconstruction is absolute
        (np.array([[[-43655611675907.09, -76121549634283.9], [82726405708515.75, -11052644526063.488],
                    [27706249954596.918, -53695263045788.63]]]), AssertionError, ""),
    ],
)
def test_reconstruction_failures(road, keypoints, error, text):
    expect.raises(error, lambda: kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints), text)


def test_reconstruction_keyword_rules():
    keypoints = np.zeros((1, 3, 2))
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints, kestril.BoxReconstruction.MIN)

    class Untruthful:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints, visualize=Untruthful())


def test_a_mode_whose_comparison_raises_raises_where_numpy_compares():
    class Awkward:
        def __eq__(self, other):
            raise LookupError("compared")

    with pytest.raises(LookupError, match="compared"):
        kestril.get_box_and_rotation_from_parallelogram_keypoints(np.ones((2, 3, 2)), box_reconstruction_mode=Awkward())
    # NaN fails the first in-place check before any comparison
    expect.raises(AssertionError, lambda: kestril.get_box_and_rotation_from_parallelogram_keypoints(
        np.full((1, 3, 2), np.nan), box_reconstruction_mode=Awkward()))


@pytest.mark.parametrize("mode", MODES + ["other"])
@pytest.mark.parametrize("dtype, index_type", [(np.float64, np.int64), (np.float32, np.int32), (np.float64, np.uint8),
                                               (np.float64, np.uint64), (np.float16, np.int64)])
@pytest.mark.parametrize("shuffled", [False, True])
def test_parallelogram_to_box_matches_numpy_in_place(mode, dtype, index_type, shuffled):
    n = 50
    flat = (rng.normal(size=(2 * n, 2)) * 10).astype(dtype)
    longer = np.arange(n) * 2 + rng.integers(0, 2, n)
    if shuffled:  # indices that point into other parallelograms, repeated ones included
        longer = rng.integers(0, 2 * n, n)
    flat[longer, 1] = 0
    longer = longer.astype(index_type)
    theirs = flat.copy()
    expected = outcome(lambda: reference.parallelogram_to_box(theirs, longer.copy(), reference_mode(mode)))
    result = outcome(lambda: kestril.parallelogram_to_box(flat, longer, mode))
    if isinstance(expected, Exception):
        assert type(result) is type(expected) and str(result) == str(expected)
    else:
        assert result is flat
    np.testing.assert_array_equal(flat, theirs)


@pytest.mark.parametrize("mode, error", [(MODES[2], IndexError), (MODES[0], IndexError), (MODES[1], IndexError)])
def test_parallelogram_to_box_reports_numpys_index_error(mode, error):
    if expect.OPTIMIZED:
        pytest.skip("without assertions the index is used only where numpy's steps use it; compared above")
    flat = np.zeros((4, 2))
    with pytest.raises(error) as raised:
        kestril.parallelogram_to_box(flat, np.array([0, 9]), mode)
    assert str(raised.value) == "index 9 is out of bounds for axis 0 with size 4"


@pytest.mark.parametrize(
    "flat, longer, text",
    [
        (np.zeros((4, 3)), np.array([0, 2]),
         "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces."),
        (np.zeros((3, 2)), np.array([0, 2]),
         "the flat parallelogram points have to contain two points per parallelogram."),
        (np.zeros((4, 2)), np.array([0, 2, 4]), ""),
        (np.zeros((4, 2)), np.array([[0, 2]]), ""),
        (np.array([[1.0, 1e-5], [0.0, 1.0]]), np.array([0]), ""),
    ],
)
def test_parallelogram_to_box_checks(flat, longer, text):
    expect.raises(AssertionError, lambda: kestril.parallelogram_to_box(flat, longer, kestril.BoxReconstruction.AVG), text)


# ---- python -O ----------------------------------------------------------------------


def test_optimised_mode_survives_malformed_shapes():
    script = r"""
import numpy as np
from halvex.preprocessing import kestril as k
M = k.BoxReconstruction
calls = [
    lambda: k.orva_to_box_corners(np.zeros((3, 4))),
    lambda: k.orva_to_box_corners(np.zeros((3, 6))),
    lambda: k.orva_to_box_corners(np.zeros((3, 5, 2))),
    lambda: k.orva_to_keypoints(np.zeros((3, 7))),
    lambda: k.box_corners_to_orva(np.zeros((3, 4, 2)), np.zeros(5)),
    lambda: k.box_corners_to_orva(np.zeros((3, 5, 3)), np.zeros(3)),
    lambda: k.keypoints_to_orva(np.zeros((3, 4, 2))),
    lambda: k.keypoints_to_orva(np.zeros((3, 2, 2))),
    lambda: k.keypoints_to_orva(np.zeros((3, 3, 5))),
    lambda: k.keypoints_to_box_corners(np.zeros((3, 5, 2))),
    lambda: k.keypoints_to_box_corners(np.zeros((3, 2, 2))),
    lambda: k.get_corner_points_from_box_tuples(np.zeros((3, 5, 3))),
    lambda: k.get_corner_points_from_box_tuples(np.zeros((3, 1, 2))),
    lambda: k.parallelogram_to_box(np.zeros((5, 2)), np.array([0, 2]), M.MAX),
    lambda: k.parallelogram_to_box(np.zeros((4, 2)), np.array([0, 2, 4]), M.MIN),
    lambda: k.parallelogram_to_box(np.zeros((4, 2)), np.array([0, 9]), M.AVG),
    lambda: k.get_box_and_rotation_from_parallelogram_keypoints(np.zeros((3, 4, 2))),
    lambda: k.get_box_and_rotation_from_parallelogram_keypoints(np.zeros((3, 3, 3))),
    lambda: k.get_box_and_rotation_from_parallelogram_keypoints(np.full((2, 3, 2), np.nan)),
    lambda: k.orva_to_box_corners(np.full((2, 5), np.nan)),
    lambda: k.assemble_keypoints_after_shuffle([[0, 0]] * 4, ["0"] * 4, ["center"] * 4),
    lambda: k.assemble_keypoints_after_shuffle([[0, 0]] * 3, ["0"] * 3, ["center", "top", "right"], a=np.zeros(4)),
    lambda: k.assemble_keypoints_after_shuffle([[0, 0]] * 3, ["5"] * 3, ["center", "top", "right"], a=np.zeros(())),
]
outcomes = []
for call in calls:
    try:
        call()
        outcomes.append("ok")
    except Exception as error:
        outcomes.append(type(error).__name__)
print(" ".join(outcomes))
"""
    result = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    outcomes = result.stdout.split()
    assert len(outcomes) == 23 and "AssertionError" not in outcomes
    assert outcomes[15] == "ok"  # the average mode never reads the stray index without assertions


class _NoNumpy:
    def __getattr__(self, name):
        raise RuntimeError(f"numpy road taken (np.{name})")


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.int16])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_plain_arrays_take_the_native_road(monkeypatch, dtype, layout):
    boxes = in_layout(random_orva(6, dtype), layout)
    keypoints = in_layout((rng.normal(size=(6, 3, 2)) * 9).astype(dtype), layout)
    flat = in_layout(rng.normal(size=(12, 2)).astype(np.float32 if dtype is np.float32 else np.float64), layout)
    flat[::2, 1] = 0
    monkeypatch.setattr(kestril, "np", _NoNumpy())
    kestril.orva_to_box_corners(boxes)
    kestril.orva_to_keypoints(boxes)
    kestril.box_corners_to_orva(keypoints[:, :2].repeat(2, axis=1), keypoints[:, 0, 0].astype(np.float32))
    kestril.keypoints_to_box_corners(keypoints)
    kestril.get_corner_points_from_box_tuples(keypoints[:, :2])
    kestril.get_box_and_rotation_from_parallelogram_keypoints(keypoints)
    kestril.parallelogram_to_box(flat, np.arange(6) * 2, kestril.BoxReconstruction.MIN)
    kestril.keypoints_to_orva(keypoints)
