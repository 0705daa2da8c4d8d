"""halvex.ops overlap family: exact rotated-box areas, IoU / IoF, sparse pairs, NMS and visibility.

Two independent oracles: shapely 2 polygons built from kestril's corners, and exact
rational arithmetic (fractions) clipping the same rectangles on sampled pairs.
"""

import math
import os
import subprocess
import sys
import threading
import time
from fractions import Fraction

import numpy as np
import pytest
import shapely

from halvex import ops
from halvex.preprocessing import kestril

MODES = ("iou", "iof", "area")


# ---- scenes ----------------------------------------------------------------------------------


def random_boxes(rng, n, field=100.0, smallest=0.05, largest=80.0):
    """Centres in [0, field]^2, sides log-uniform in [smallest, largest], any angle."""
    boxes = np.empty((n, 5))
    boxes[:, :2] = rng.uniform(0, field, (n, 2))
    boxes[:, 2:4] = np.exp(rng.uniform(np.log(smallest), np.log(largest), (n, 2)))
    boxes[:, 4] = rng.uniform(-np.pi, np.pi, n)
    return boxes


def axes(box):
    c, s = math.cos(box[4]), math.sin(box[4])
    return np.array([c, -s]), np.array([s, c])  # width axis, height axis


def hard_pairs(rng, per_kind=12):
    """Aligned pairs (a[k], b[k]) of the configurations where overlap code goes wrong."""
    first, second = [], []
    for kind in ("nearly_parallel", "shared_edge", "shared_edge_inside", "corner_on_edge", "inside", "equal"):
        for _ in range(per_kind):
            a = random_boxes(rng, 1, smallest=1.0, largest=60.0)[0]
            b = random_boxes(rng, 1, smallest=1.0, largest=60.0)[0]
            u, v = axes(a)
            if kind == "nearly_parallel":
                b[4] = a[4] + rng.choice([-1, 1]) * rng.choice([1e-14, 1e-11, 1e-8, 1e-5])
                b[:2] = a[:2] + rng.uniform(-0.6, 0.6) * a[2] * u + rng.uniform(-0.6, 0.6) * a[3] * v
            elif kind in ("shared_edge", "shared_edge_inside"):
                b[4] = a[4]
                b[3] = min(b[3], a[3])
                along = (a[2] + b[2]) / 2 if kind == "shared_edge" else (a[2] - b[2]) / 2
                b[:2] = a[:2] + along * u + rng.uniform(-0.5, 0.5) * (a[3] - b[3]) * v
            elif kind == "corner_on_edge":
                b[4] = a[4] + rng.uniform(0.2, 1.3)
                relative = b[4] - a[4]
                reach = b[2] / 2 * abs(math.cos(relative)) + b[3] / 2 * abs(math.sin(relative))
                b[:2] = a[:2] + (a[2] / 2 + reach) * u + rng.uniform(-0.3, 0.3) * a[3] * v
            elif kind == "inside":
                b[2:4] = min(a[2], a[3]) * rng.uniform(0.05, 0.3, 2)
                b[:2] = a[:2] + rng.uniform(-0.2, 0.2) * a[2] * u + rng.uniform(-0.2, 0.2) * a[3] * v
            else:
                b = a.copy()
            first.append(a)
            second.append(b)
    return np.array(first), np.array(second)


# ---- oracles -----------------------------------------------------------------------------------


def polygons(boxes):
    return shapely.polygons(kestril.orva_to_box_corners(np.asarray(boxes, dtype=float)))


def shapely_overlap(a, b, mode, aligned=False):
    pa, pb = polygons(a), polygons(b)
    if not aligned:
        pa, pb = pa[:, None], pb[None, :]
    inter = shapely.area(shapely.intersection(pa, pb))
    area_a, area_b = shapely.area(pa), shapely.area(pb)
    with np.errstate(all="ignore"):
        if mode == "area":
            return inter
        if mode == "iof":
            return np.where(area_a > 0, inter / area_a, 0.0)
        return np.where(area_a * area_b > 0, inter / (area_a + area_b - inter), 0.0)


def exact_corners(box):
    """The rectangle's corners as exact rationals, from the float cos / sin of its angle."""
    cx, cy, w, h = (Fraction(value) for value in box[:4])
    c, s = Fraction(math.cos(box[4])), Fraction(math.sin(box[4]))
    return [
        (cx + sx * w / 2 * c + sy * h / 2 * s, cy - sx * w / 2 * s + sy * h / 2 * c)
        for sx, sy in ((1, 1), (-1, 1), (-1, -1), (1, -1))
    ]


def exact_area(polygon):
    return abs(sum(p[0] * q[1] - q[0] * p[1] for p, q in zip(polygon, polygon[1:] + polygon[:1]))) / 2


def exact_intersection_area(a, b):
    clipper, polygon = exact_corners(a), exact_corners(b)
    signed = sum(p[0] * q[1] - q[0] * p[1] for p, q in zip(clipper, clipper[1:] + clipper[:1]))
    if signed < 0:
        clipper.reverse()
    for p, q in zip(clipper, clipper[1:] + clipper[:1]):
        def side(x):
            return (q[0] - p[0]) * (x[1] - p[1]) - (q[1] - p[1]) * (x[0] - p[0])

        clipped = []
        for here, there in zip(polygon, polygon[1:] + polygon[:1]):
            if side(here) >= 0:
                clipped.append(here)
            if (side(here) >= 0) != (side(there) >= 0):
                t = side(here) / (side(here) - side(there))
                clipped.append((here[0] + t * (there[0] - here[0]), here[1] + t * (there[1] - here[1])))
        polygon = clipped
        if not polygon:
            return Fraction(0)
    return exact_area(polygon)


def assert_close_to_oracle(values, expected, mode, a, b, aligned):
    if mode == "area":
        area_a, area_b = a[:, 2] * a[:, 3], b[:, 2] * b[:, 3]
        scale = np.minimum(area_a, area_b) if aligned else np.minimum(area_a[:, None], area_b[None, :])
        np.testing.assert_array_less(np.abs(values - expected), 1e-9 * scale + 1e-300)
    else:
        np.testing.assert_allclose(values, expected, rtol=0, atol=1e-9)


# ---- exact geometry ------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", range(3))
def test_matrix_matches_shapely_on_random_boxes(mode, seed):
    rng = np.random.default_rng(seed)
    a, b = random_boxes(rng, 60), random_boxes(rng, 45)
    values = ops.box_iou(a, b, mode=mode)
    assert values.shape == (60, 45) and values.dtype == np.float64
    assert_close_to_oracle(values, shapely_overlap(a, b, mode), mode, a, b, aligned=False)
    assert np.count_nonzero(values) > 20  # the scene does overlap


@pytest.mark.parametrize("mode", MODES)
def test_hard_configurations_match_shapely_and_exact_arithmetic(mode):
    a, b = hard_pairs(np.random.default_rng(11))
    values = ops.box_iou(a, b, mode=mode, aligned=True)
    assert_close_to_oracle(values, shapely_overlap(a, b, mode, aligned=True), mode, a, b, aligned=True)
    # every third pair against exact rational clipping of the same rectangles
    for k in range(0, len(a), 3):
        inter = exact_intersection_area(a[k], b[k])
        area_a, area_b = Fraction(a[k, 2]) * Fraction(a[k, 3]), Fraction(b[k, 2]) * Fraction(b[k, 3])
        expected = {"area": inter, "iof": inter / area_a, "iou": inter / (area_a + area_b - inter)}[mode]
        tolerance = 1e-9 * float(min(area_a, area_b)) if mode == "area" else 1e-9
        assert abs(values[k] - float(expected)) <= tolerance, (k, a[k], b[k])


def slab_crossings(rng, kind, count=10):
    """Aligned pairs (a[k], b[k]) where b, the smaller box, meets a's two slabs in one way: it passes
    right through the x slab or the y slab (one edge leaving by both lines), crosses both (an octagon),
    or shares a's rotation and sticks out at a corner (edges along the lines and parallel to them)."""
    first, second = [], []
    for _ in range(count):
        a = random_boxes(rng, 1, smallest=10.0, largest=60.0)[0]
        u, v = axes(a)
        b = a.copy()
        if kind == "through_x":
            b[2:4] = 3.0 * a[2], a[3] * rng.uniform(0.1, 0.3)
            b[4] = a[4] + rng.uniform(-0.05, 0.05)
            offset = rng.uniform(-0.2, 0.2) * a[2], rng.uniform(-0.3, 0.3) * a[3]
        elif kind == "through_y":
            b[2:4] = a[2] * rng.uniform(0.1, 0.3), 3.0 * a[3]
            b[4] = a[4] + rng.choice([0.0, np.pi]) + rng.uniform(-0.05, 0.05)
            offset = rng.uniform(-0.3, 0.3) * a[2], rng.uniform(-0.2, 0.2) * a[3]
        elif kind == "octagon":
            b[2:4] = a[2:4] * rng.uniform(0.8, 0.95)
            b[4] = a[4] + rng.choice([-1, 1]) * rng.uniform(0.5, 1.0)
            offset = rng.uniform(-0.05, 0.05, 2) * a[2:4]
        else:  # same rotation, a corner sticking out
            b[2:4] = a[2:4] * rng.uniform(0.3, 0.9, 2)
            b[4] = a[4] + rng.choice([0.0, np.pi / 2]) * (kind == "quarter_turn")
            if kind == "quarter_turn":
                b[2:4] = b[3], b[2]
            offset = rng.choice([-1, 1], 2) * rng.uniform(0.3, 0.6, 2) * a[2:4]
        b[:2] = a[:2] + offset[0] * u + offset[1] * v
        first.append(a)
        second.append(b)
    return np.array(first), np.array(second)


@pytest.mark.parametrize("kind", ["through_x", "through_y", "octagon", "same_rotation", "quarter_turn"])
def test_every_way_of_meeting_the_slabs_matches_exact_arithmetic_from_either_side(kind):
    a, b = slab_crossings(np.random.default_rng(22), kind)
    areas = ops.box_iou(a, b, mode="area", aligned=True)
    # the pair's bits do not depend on which side each box comes from
    np.testing.assert_array_equal(ops.box_iou(b, a, mode="area", aligned=True), areas)
    np.testing.assert_array_equal(ops.box_iou(b, a, aligned=True), ops.box_iou(a, b, aligned=True))
    for k in range(len(a)):
        expected = exact_intersection_area(a[k], b[k])
        assert 0 < expected < Fraction(b[k, 2]) * Fraction(b[k, 3])  # partly inside, as meant
        assert abs(areas[k] - float(expected)) <= 1e-9 * b[k, 2] * b[k, 3], (k, a[k], b[k])


def test_exact_arithmetic_on_sampled_random_pairs_of_all_sizes():
    rng = np.random.default_rng(5)
    a, b = random_boxes(rng, 40, field=20.0, smallest=0.01, largest=100.0), random_boxes(rng, 40, field=20.0)
    areas = ops.box_iou(a, b, mode="area", aligned=True)
    for k in range(len(a)):
        expected = float(exact_intersection_area(a[k], b[k]))
        assert abs(areas[k] - expected) <= 1e-9 * min(a[k, 2] * a[k, 3], b[k, 2] * b[k, 3]), k


def test_aligned_is_the_diagonal_and_box_area_is_width_times_height():
    rng = np.random.default_rng(2)
    a, b = random_boxes(rng, 50, field=30.0), random_boxes(rng, 50, field=30.0)
    for mode in MODES:
        np.testing.assert_array_equal(ops.box_iou(a, b, mode=mode, aligned=True), np.diag(ops.box_iou(a, b, mode=mode)))
    np.testing.assert_array_equal(ops.box_area(a), a[:, 2] * a[:, 3])
    np.testing.assert_allclose(ops.box_area(a), shapely.area(polygons(a)), rtol=1e-12)


# ---- guarantees ----------------------------------------------------------------------------------


def extreme_boxes(rng):
    """Boxes from 1e-300 to 1e300 px, far from and near the origin, some of zero area."""
    boxes = []
    for scale in (1e-300, 1e-150, 1e-8, 1.0, 1e8, 1e150, 1e300):
        group = random_boxes(rng, 6, field=3.0, smallest=0.5, largest=2.0)
        group[:, :4] *= scale
        boxes.append(group)
    boxes = np.concatenate(boxes)
    boxes[::9, 2] = 0.0
    boxes[::11, 3] = 0.0
    return boxes


@pytest.mark.parametrize("mode", ["iou", "iof"])
def test_ratios_stay_in_the_unit_interval_and_are_never_nan(mode):
    rng = np.random.default_rng(3)
    boxes = np.concatenate([extreme_boxes(rng), hard_pairs(rng)[1], random_boxes(rng, 30, field=5.0)])
    values = ops.box_iou(boxes, boxes, mode=mode)
    assert not np.isnan(values).any()
    assert values.min() >= 0.0 and values.max() <= 1.0


def test_a_box_with_itself_gives_exactly_one_and_zero_area_boxes_give_zero():
    boxes = extreme_boxes(np.random.default_rng(4))
    zero_area = boxes[:, 2] * boxes[:, 3] == 0
    for mode in ("iou", "iof"):
        diagonal = np.diag(ops.box_iou(boxes, boxes, mode=mode))
        np.testing.assert_array_equal(diagonal, np.where(zero_area, 0.0, 1.0))
        np.testing.assert_array_equal(ops.box_iou(boxes, boxes, mode=mode, aligned=True), diagonal)
    matrix = ops.box_iou(boxes, boxes)
    assert not matrix[zero_area].any() and not matrix[:, zero_area].any()
    np.testing.assert_array_equal(np.diag(ops.box_iou(boxes, boxes, mode="area")), boxes[:, 2] * boxes[:, 3])


def test_boxes_that_only_touch_do_not_overlap():
    # axis-aligned tiles sharing edges and corners: exactly 0
    tiles = np.array([[x + 0.5 * w, y + 0.5, w, 1.0, 0.0] for x, w in ((0, 1.0), (1, 2.5)) for y in (0, 1, 2)])
    touching = ops.box_iou(tiles, tiles)
    np.fill_diagonal(touching, 0.0)
    assert not touching.any()
    # rotated pairs sharing an edge or with a corner on an edge, from outside: 0 up to rounding
    a, b = hard_pairs(np.random.default_rng(6), per_kind=12)
    outside = slice(12, 24), slice(36, 48)  # shared_edge, corner_on_edge
    for part in outside:
        assert np.abs(ops.box_iou(a[part], b[part], aligned=True)).max() <= 1e-12


@pytest.mark.parametrize("mode", MODES)
def test_a_crowd_of_touching_tiles_and_dense_boxes_matches_shapely(mode):
    # a cover box over everything makes the search one cell, so every row is
    # computed four columns at a time: tiles sharing edges and corners give
    # exactly 0, a box with itself exactly 1, the rest match shapely
    rng = np.random.default_rng(41)
    tiles = np.array([[x + 0.5, y + 0.5, 1.0, 1.0, 0.0] for x in range(5) for y in range(5)])
    dense = random_boxes(rng, 40, field=5.0, smallest=0.5, largest=4.0)
    boxes = np.concatenate([tiles, dense, [[2.5, 2.5, 12.0, 12.0, 0.3]]])
    values = ops.box_iou(boxes, boxes, mode=mode)
    assert_close_to_oracle(values, shapely_overlap(boxes, boxes, mode), mode, boxes, boxes, aligned=False)
    touching = values[:25, :25].copy()
    np.fill_diagonal(touching, 0.0)
    assert not touching.any()
    np.testing.assert_array_equal(np.diag(values), boxes[:, 2] * boxes[:, 3] if mode == "area" else 1.0)
    assert values.min() >= 0.0 and (mode == "area" or values.max() <= 1.0)


def test_a_box_inside_another_is_wholly_covered():
    a, b = hard_pairs(np.random.default_rng(7))
    inside = slice(48, 60)
    np.testing.assert_allclose(ops.box_iou(b[inside], a[inside], mode="iof", aligned=True), 1.0, rtol=0, atol=1e-12)
    np.testing.assert_allclose(
        ops.box_iou(a[inside], b[inside], mode="iof", aligned=True),
        (b[inside, 2] * b[inside, 3]) / (a[inside, 2] * a[inside, 3]), rtol=1e-12,
    )


@pytest.mark.parametrize("mode", MODES)
def test_symmetry(mode):
    rng = np.random.default_rng(8)
    a, b = random_boxes(rng, 70, field=40.0), np.concatenate([random_boxes(rng, 40, field=40.0), hard_pairs(rng)[1]])
    forward, backward = ops.box_iou(a, b, mode=mode), ops.box_iou(b, a, mode=mode)
    if mode == "iof":  # the share of the other box: the same intersection over the other area
        area_a, area_b = a[:, 2] * a[:, 3], b[:, 2] * b[:, 3]
        forward, backward = forward * area_a[:, None], backward * area_b[:, None]
        np.testing.assert_allclose(forward, backward.T, rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_allclose(forward, backward.T, rtol=0, atol=1e-12 if mode == "iou" else 0.0)


@pytest.mark.parametrize("offset", [2.0**k * sign for k in (0, 7, 13, 19, 23) for sign in (1, -1)])
def test_values_do_not_depend_on_where_the_boxes_are(offset):
    rng = np.random.default_rng(9)
    grid = 2.0**-16
    a, b = random_boxes(rng, 40, field=60.0), random_boxes(rng, 50, field=60.0)
    a[:, :2] = np.round(a[:, :2] / grid) * grid
    b[:, :2] = np.round(b[:, :2] / grid) * grid
    moved_a, moved_b = a.copy(), b.copy()
    moved_a[:, :2] += offset
    moved_b[:, :2] += offset
    for mode in MODES:
        here, there = ops.box_iou(a, b, mode=mode), ops.box_iou(moved_a, moved_b, mode=mode)
        scale = 1.0 if mode != "area" else np.minimum(a[:, 2:3] * a[:, 3:4], (b[:, 2] * b[:, 3])[None, :])
        assert np.all(np.abs(here - there) <= 1e-12 * scale)
    assert np.count_nonzero(here) > 10


@pytest.mark.parametrize("mode", MODES)
def test_a_pair_has_the_same_bits_in_every_call_and_at_every_position(mode):
    # the rotations' cos and sin come a block at a time: a box alone, among
    # a few (the small-input path), at any place in a long array, in aligned
    # pairs or against the image box gives the same bits
    rng = np.random.default_rng(24)
    a, b = random_boxes(rng, 600, field=40.0), random_boxes(rng, 300, field=40.0)
    matrix = ops.box_iou(a, b, mode=mode)
    rows, columns = rng.permutation(600)[:8], rng.permutation(300)[:5]
    np.testing.assert_array_equal(ops.box_iou(a[rows], b[columns], mode=mode), matrix[np.ix_(rows, columns)])
    np.testing.assert_array_equal(ops.box_iou(a[rows[:1]], b[columns[:1]], mode=mode), matrix[rows[:1]][:, columns[:1]])
    shuffled = rng.permutation(300)
    np.testing.assert_array_equal(ops.box_iou(a, b[shuffled], mode=mode), matrix[:, shuffled])
    np.testing.assert_array_equal(ops.box_iou(a[:300], b, mode=mode, aligned=True), np.diag(matrix[:300]))
    i, j, value = ops.box_iou_pairs(a, b, mode=mode)
    np.testing.assert_array_equal(value, matrix[i, j])
    image = np.array([[20.0, 15.0, 40.0, 30.0, 0.0]])
    visible = ops.visible_fraction(a, (40, 30))
    np.testing.assert_array_equal(visible, ops.box_iou(a, image, mode="iof")[:, 0])


@pytest.mark.parametrize("mode", MODES)
def test_pairs_clipped_four_at_a_time_have_the_bits_of_a_pair_clipped_alone(mode):
    # matrices and aligned calls clip four pairs side by side in the lanes of
    # a vector; a lone pair and the sparse list clip one at a time.  Both must
    # agree to the bit on the configurations where clipping is delicate:
    # edges along and nearly along the clip lines (slopes huge or capped),
    # quarter turns, slivers, boxes of very different sizes
    rng = np.random.default_rng(31)
    parts = [hard_pairs(rng)]
    parts += [slab_crossings(rng, kind) for kind in ("through_x", "through_y", "octagon", "same_rotation", "quarter_turn")]
    a = random_boxes(rng, 64, field=30.0, smallest=0.5, largest=40.0)
    b = random_boxes(rng, 64, field=30.0, smallest=0.5, largest=40.0)
    turns = np.array([0.0, 5e-324, 1e-300, 1e-17, 1e-9, np.pi / 2, np.pi / 2 + 1e-16, np.pi, -np.pi / 2])
    a[::2, 4] = 0.0  # upright frames: the tiny turns are not lost in rounding
    b[:, 4] = a[:, 4] + turns[np.arange(64) % len(turns)]
    b[:, 2:4] *= np.where(np.arange(64)[:, None] % 5 == 0, 1e-6, 1.0)  # slivers and specks
    parts.append((a, b))
    # twins: equal areas, so which box gives the frame goes down the
    # tie-breaks (centre x, centre y, width, height, rotation)
    a = random_boxes(rng, 96, field=30.0, smallest=2.0, largest=40.0)
    b = a.copy()
    b[:, 4] += rng.uniform(0.1, 1.0, 96)
    b[1::3, 1] += rng.uniform(-0.3, 0.3, 32) * a[1::3, 3]
    b[2::3, 2:4] = a[2::3, 3:1:-1]
    b[2::3, 0] += rng.uniform(-0.3, 0.3, 32) * a[2::3, 2]
    parts.append((a, b))
    a, b = np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])
    aligned = ops.box_iou(a, b, mode=mode, aligned=True)
    alone = np.array([ops.box_iou(a[k : k + 1], b[k : k + 1], mode=mode)[0, 0] for k in range(len(a))])
    np.testing.assert_array_equal(aligned, alone)
    i, j, value = ops.box_iou_pairs(a, b, mode=mode, min_value=-1.0)
    np.testing.assert_array_equal(ops.box_iou(a, b, mode=mode)[i, j], value)
    # each kind's pairs moved to the origin: a crowd, whose rows go through
    # the four-lane path whole, the tests before the clipping too
    for a, b in parts:
        b[:, :2] -= a[:, :2]
        a[:, :2] = 0.0
        i, j, value = ops.box_iou_pairs(a, b, mode=mode, min_value=-1.0)
        np.testing.assert_array_equal(ops.box_iou(a, b, mode=mode)[i, j], value)


# ---- arguments -------------------------------------------------------------------------------------


def test_any_real_dtype_layout_and_array_like_gives_the_float64_result():
    rng = np.random.default_rng(10)
    boxes = np.round(random_boxes(rng, 12, field=30.0, smallest=2.0, largest=30.0))
    expected = ops.box_iou(boxes, boxes)
    fortran = np.asfortranarray(boxes)
    strided = np.repeat(boxes, 2, axis=0)[::2]
    for variant in (boxes.astype(np.float32), boxes.astype(np.int32), fortran, strided, boxes.tolist()):
        np.testing.assert_array_equal(ops.box_iou(variant, boxes), expected)
    assert ops.box_iou(boxes.astype(np.float32), boxes).dtype == np.float64


def test_empty_inputs_give_empty_results_of_the_right_shape():
    empty, three = np.zeros((0, 5)), random_boxes(np.random.default_rng(0), 3)
    assert ops.box_iou(empty, three).shape == (0, 3)
    assert ops.box_iou(three, []).shape == (3, 0)
    assert ops.box_iou(empty, empty, aligned=True).shape == (0,)
    assert ops.box_area(empty).shape == (0,)
    i, j, value = ops.box_iou_pairs(empty, three)
    assert (i.shape, j.shape, value.shape) == ((0,), (0,), (0,))
    assert (i.dtype, j.dtype, value.dtype) == (np.int64, np.int64, np.float64)
    for kept in (ops.nms(empty, np.zeros(0), 0.5), ops.batched_nms(empty, [], [], 0.5)):
        assert kept.shape == (0,) and kept.dtype == np.int64
    assert ops.visible_fraction(empty, (10, 10)).shape == (0,)


def bad_row(row, value):
    boxes = random_boxes(np.random.default_rng(1), 4)
    boxes[row] = value
    return boxes


GOOD = random_boxes(np.random.default_rng(12), 4)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ops.box_iou(bad_row(2, [1, np.nan, 3, 4, 0]), GOOD), r"boxes_a: row 2 .*non-finite"),
        (lambda: ops.box_iou(GOOD, bad_row(3, [1, 2, 3, 4, np.inf])), r"boxes_b: row 3 .*non-finite"),
        (lambda: ops.box_area(bad_row(1, [1, 2, -3, 4, 0])), r"boxes: row 1 .*negative width or height"),
        (lambda: ops.box_iou(GOOD, bad_row(0, [1, 2, 3, -1e-9, 0])), r"boxes_b: row 0 .*negative"),
        (lambda: ops.box_iou(GOOD[:, :4], GOOD), r"boxes_a must have shape \(n, 5\), got shape \(4, 4\)"),
        (lambda: ops.box_iou(GOOD, GOOD[0]), r"boxes_b must have shape \(n, 5\), got shape \(5,\)"),
        (lambda: ops.box_iou(GOOD, GOOD, mode="giou"), r"mode must be one of 'iou', 'iof', 'area', got 'giou'"),
        (lambda: ops.box_iou_pairs(GOOD, GOOD, mode="IOU"), r"mode must be one of"),
        (lambda: ops.box_iou(GOOD, GOOD[:3], aligned=True), r"aligned=True needs as many .* got 4 and 3"),
        (lambda: ops.box_iou(GOOD, GOOD, threads=0), r"threads must be a positive integer or None"),
        (lambda: ops.box_iou_pairs(GOOD, GOOD, min_value=np.nan), r"min_value must not be NaN"),
        (lambda: ops.nms(GOOD, [0.1, np.nan, 0.3, 0.4], 0.5), r"scores\[1\] is NaN"),
        (lambda: ops.nms(GOOD, [0.1, 0.2], 0.5), r"scores must have shape \(4,\), one per box, got shape \(2,\)"),
        (lambda: ops.nms(GOOD, np.ones(4), np.nan), r"iou_threshold must not be NaN"),
        (lambda: ops.nms(GOOD, np.ones(4), 0.5, score_threshold=np.nan), r"score_threshold must not be NaN"),
        (lambda: ops.batched_nms(GOOD, np.ones(4), np.zeros(3, int), 0.5), r"classes must have shape \(4,\)"),
        (lambda: ops.visible_fraction(GOOD, (10, 20, 30)), r"image_size must be \(width, height\)"),
        (lambda: ops.visible_fraction(GOOD, (10, -1)), r"image_size must hold a finite, non-negative"),
    ],
)
def test_bad_input_raises_a_clear_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_classes_must_be_integers():
    with pytest.raises(TypeError, match="classes must be an array of integers"):
        ops.batched_nms(GOOD, np.ones(4), np.array([0.0, 1.0, 0.0, 1.0]), 0.5)


# ---- sparse pairs and visibility ----------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("min_value", [0.0, 0.2])
@pytest.mark.parametrize("sizes", [(8, 6), (300, 400)])
def test_pairs_are_the_matrix_entries_above_min_value_in_order(mode, min_value, sizes):
    rng = np.random.default_rng(13)
    a, b = random_boxes(rng, sizes[0], field=400.0, largest=40.0), random_boxes(rng, sizes[1], field=400.0)
    matrix = ops.box_iou(a, b, mode=mode)
    i, j, value = ops.box_iou_pairs(a, b, mode=mode, min_value=min_value)
    expected_i, expected_j = np.nonzero(matrix > min_value)
    np.testing.assert_array_equal(i, expected_i)
    np.testing.assert_array_equal(j, expected_j)
    np.testing.assert_array_equal(value, matrix[expected_i, expected_j])


def test_a_negative_min_value_lists_every_pair():
    a, b = random_boxes(np.random.default_rng(14), 5), random_boxes(np.random.default_rng(15), 30)
    i, j, value = ops.box_iou_pairs(a, b, min_value=-1.0)
    np.testing.assert_array_equal(i, np.repeat(np.arange(5), 30))
    np.testing.assert_array_equal(j, np.tile(np.arange(30), 5))
    np.testing.assert_array_equal(value, ops.box_iou(a, b).ravel())


@pytest.mark.parametrize("image_size", [(100, 60), np.array([37.5, 120.0]), [0, 50]])
def test_visible_fraction_matches_shapely(image_size):
    rng = np.random.default_rng(16)
    boxes = random_boxes(rng, 200, field=130.0, smallest=1.0, largest=50.0)
    boxes[:5, 2] = 0.0
    width, height = (float(v) for v in image_size)
    image = shapely.box(0, 0, width, height)
    pieces = polygons(boxes)
    with np.errstate(all="ignore"):
        expected = np.nan_to_num(shapely.area(shapely.intersection(pieces, image)) / shapely.area(pieces))
    fractions = ops.visible_fraction(boxes, image_size)
    np.testing.assert_allclose(fractions, expected, rtol=0, atol=1e-9)
    assert not fractions[:5].any()
    if width > 0:
        assert (fractions == 1.0).sum() > 10 and (fractions == 0.0).sum() > 10


# ---- non-maximum suppression ---------------------------------------------------------------------------


def greedy_reference(iou, scores, threshold, score_threshold=None, classes=None):
    candidates = [k for k in range(len(scores)) if score_threshold is None or scores[k] >= score_threshold]
    kept = []
    for k in sorted(candidates, key=lambda k: (-scores[k], k)):
        same_class = [q for q in kept if classes is None or classes[q] == classes[k]]
        if all(iou[k, q] <= threshold for q in same_class):
            kept.append(k)
    return kept


def clustered_detections(rng, clusters=40, per_cluster=8, field=600.0):
    """Near-duplicate detections around cluster centres, scores with ties."""
    centres = random_boxes(rng, clusters, field=field, smallest=10.0, largest=60.0)
    boxes = np.repeat(centres, per_cluster, axis=0)
    boxes[:, :2] += rng.normal(0, 3.0, (len(boxes), 2))
    boxes[:, 2:4] *= rng.uniform(0.8, 1.2, (len(boxes), 2))
    boxes[:, 4] += rng.normal(0, 0.1, len(boxes))
    scores = np.round(rng.uniform(0, 1, len(boxes)), 1)  # many ties
    return boxes, scores


@pytest.mark.skipif(sys.platform != "linux" or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="counts page faults of glibc's allocator")
def test_repeated_nms_calls_keep_their_working_memory():
    # a fresh interpreter, as an inference loop starts: after the first calls
    # on 10^4 boxes, a call does not fault its megabytes of working arrays in
    # again (glibc hands freed heap tops back to the system)
    script = """
import resource, numpy as np
from halvex import ops
rng = np.random.default_rng(3)
boxes = np.repeat(rng.uniform(0, 4096, (1000, 5)) * [1, 1, 0.02, 0.02, 0.001], 10, axis=0)
boxes[:, :2] += rng.normal(0, 3.0, (10000, 2))
scores = rng.uniform(0, 1, 10000)
for _ in range(3):
    ops.nms(boxes, scores, 0.5)
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(20):
    ops.nms(boxes, scores, 0.5)
print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 20)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True)
    assert float(result.stdout) < 50, result.stdout


@pytest.mark.parametrize("threshold", [0.0, 0.1, 0.5, 0.8])
@pytest.mark.parametrize("score_threshold", [None, 0.35])
def test_nms_keeps_what_the_greedy_reference_keeps(threshold, score_threshold):
    rng = np.random.default_rng(17)
    boxes, scores = clustered_detections(rng)
    iou = shapely_overlap(boxes, boxes, "iou")
    kept = ops.nms(boxes, scores, threshold, score_threshold=score_threshold)
    assert kept.dtype == np.int64
    assert kept.tolist() == greedy_reference(iou, scores, threshold, score_threshold)
    classes = rng.integers(0, 3, len(boxes))
    batched = ops.batched_nms(boxes, scores, classes, threshold, score_threshold=score_threshold)
    assert batched.tolist() == greedy_reference(iou, scores, threshold, score_threshold, classes)


def test_nms_thresholds_outside_the_unit_interval():
    boxes, scores = clustered_detections(np.random.default_rng(18), clusters=5)
    order = sorted(range(len(scores)), key=lambda k: (-scores[k], k))
    # no IoU exceeds 1: nothing is suppressed; every IoU exceeds -0.1: the first box suppresses the rest
    assert ops.nms(boxes, scores, 1.0).tolist() == order
    assert ops.nms(boxes, scores, -0.1).tolist() == order[:1]
    classes = np.arange(len(scores)) % 2
    firsts = [next(k for k in order if classes[k] == c) for c in (0, 1)]
    assert ops.batched_nms(boxes, scores, classes, -0.1).tolist() == sorted(firsts, key=order.index)


@pytest.mark.parametrize(
    "scores",
    [
        [0.0, -0.0, 0.0, -0.0, 1.0, -1.0],  # signed zeros are equal scores: index order
        [np.inf, -np.inf, 5e-324, -5e-324, 1e308, -1e308, 0.0, 1.0, np.inf, -np.inf],
        [2.0**-k for k in range(12)] + [-(2.0**-k) for k in range(12)] + [1.0, 0.5, 0.5, -0.5],
    ],
)
def test_nms_visits_by_decreasing_score_then_index_for_every_kind_of_float(scores):
    rng = np.random.default_rng(23)
    scores = np.array(scores)
    order = sorted(range(len(scores)), key=lambda k: (-scores[k], k))
    boxes = random_boxes(rng, len(scores))
    assert ops.nms(boxes, scores, 1.0).tolist() == order
    for score_threshold in (0.0, -1.0, 0.5):
        kept = ops.nms(boxes, scores, 1.0, score_threshold=score_threshold).tolist()
        assert kept == [k for k in order if scores[k] >= score_threshold]
    # a long random run, with ties, of both signs
    many = np.round(rng.normal(0, 1, 5000), 2)
    expected = sorted(range(len(many)), key=lambda k: (-many[k], k))
    assert ops.nms(random_boxes(rng, len(many)), many, 1.0).tolist() == expected


# ---- threads -------------------------------------------------------------------------------------------


def scenes():
    rng = np.random.default_rng(19)
    sparse = random_boxes(rng, 900, field=2000.0, smallest=8.0, largest=120.0)
    dense = random_boxes(rng, 250, field=20.0, smallest=20.0, largest=60.0)
    return sparse, dense


@pytest.mark.parametrize("mode", MODES)
def test_results_are_bit_identical_for_every_thread_count(mode):
    sparse, dense = scenes()
    boxes, scores = clustered_detections(np.random.default_rng(20), clusters=200)
    classes = np.arange(len(boxes)) % 3

    def results(threads):
        i, j, value = ops.box_iou_pairs(sparse, sparse[::-1], mode=mode, threads=threads)
        return [
            ops.box_iou(sparse, sparse[:700], mode=mode, threads=threads),
            ops.box_iou(dense, dense, mode=mode, threads=threads),
            ops.box_iou(sparse, sparse[::-1], mode=mode, aligned=True, threads=threads),
            i, j, value,
            ops.nms(boxes, scores, 0.4, threads=threads),
            ops.batched_nms(boxes, scores, classes, 0.4, threads=threads),
        ]

    single = results(1)
    assert len(single[3]) > 900
    for threads in (2, 3, 8, None):
        for expected, value in zip(single, results(threads)):
            assert value.tobytes() == expected.tobytes()


def test_other_python_threads_run_during_a_long_call():
    rng = np.random.default_rng(21)
    boxes = random_boxes(rng, 1500, field=30.0, smallest=20.0, largest=60.0)
    counter, running = [0], [True]

    def count():
        while running[0]:
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        while counter[0] == 0:
            time.sleep(0.001)
        before = counter[0]
        started = time.perf_counter()
        ops.box_iou(boxes, boxes, threads=1)
        elapsed = time.perf_counter() - started
        advanced = counter[0] - before
    finally:
        running[0] = False
        thread.join()
    assert elapsed > 0.02  # long enough for the check to mean something
    assert advanced > 1000, advanced


# ---- the candidate search --------------------------------------------------------------------------


def mixed_scene(rng):
    """Sizes from tiny to huge, clusters, outliers far away and boxes of extreme scale."""
    return np.concatenate([
        random_boxes(rng, 150, field=500.0, smallest=0.5, largest=200.0),
        clustered_detections(rng, clusters=10, per_cluster=6)[0],
        random_boxes(rng, 5, field=1e6, smallest=1e4, largest=1e5),
        extreme_boxes(rng),
        np.array([[1e15, -1e15, 3.0, 4.0, 0.3], [250.0, 250.0, 0.0, 0.0, 0.0], [250.0, 250.0, 1e-9, 5.0, 1.0]]),
    ])


@pytest.mark.parametrize("seed", range(3))
def test_the_search_finds_every_pair_the_plain_loop_finds(seed):
    boxes = mixed_scene(np.random.default_rng(seed))
    other = boxes[np.random.default_rng(seed + 10).permutation(len(boxes))]
    # one row at a time takes the plain loop over all columns
    plain = np.vstack([ops.box_iou(boxes[k : k + 1], other) for k in range(len(boxes))])
    np.testing.assert_array_equal(ops.box_iou(boxes, other), plain)
    i, j, value = ops.box_iou_pairs(boxes, other)
    expected_i, expected_j = np.nonzero(plain)
    np.testing.assert_array_equal(i, expected_i)
    np.testing.assert_array_equal(j, expected_j)
    np.testing.assert_array_equal(value, plain[expected_i, expected_j])
    scores = np.round(np.random.default_rng(seed).uniform(0, 1, len(boxes)), 2)
    for threshold in (0.0, 0.3):
        assert ops.nms(boxes, scores, threshold).tolist() == greedy_reference(plain_self(boxes), scores, threshold)


@pytest.mark.parametrize("mode", MODES)
def test_rows_among_crowded_boxes_try_them_all_with_the_same_bits(mode):
    rng = np.random.default_rng(31)
    crowd = random_boxes(rng, 120, field=20.0, smallest=20.0, largest=60.0)
    # rows within the crowd read every cell of its grid and try every box;
    # rows away from it search
    near = random_boxes(rng, 60, field=20.0, smallest=5.0, largest=60.0)
    far = random_boxes(rng, 30, field=400.0, smallest=1.0, largest=30.0)
    rows = np.concatenate([near, far])[rng.permutation(90)]
    plain = np.vstack([ops.box_iou(rows[k : k + 1], crowd, mode=mode) for k in range(len(rows))])
    for threads in (1, 2):
        np.testing.assert_array_equal(ops.box_iou(rows, crowd, mode=mode, threads=threads), plain)
        i, j, value = ops.box_iou_pairs(rows, crowd, mode=mode, threads=threads)
        expected_i, expected_j = np.nonzero(plain)
        np.testing.assert_array_equal(i, expected_i)
        np.testing.assert_array_equal(j, expected_j)
        np.testing.assert_array_equal(value, plain[expected_i, expected_j])
    assert np.count_nonzero(plain) > 60 * 100


def plain_self(boxes):
    return np.vstack([ops.box_iou(boxes[k : k + 1], boxes) for k in range(len(boxes))])
