"""kestril: box formats, lookups and the reconstruction modes."""

import numpy as np
import pytest

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
    with pytest.raises(error) as raised:
        kestril.keypoints_trivial_lookup(count)
    if error is TypeError:
        assert str(raised.value).startswith(
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
    with pytest.raises(error) as raised:
        kestril.coordinate_transformation(points)
    assert str(raised.value) == text
