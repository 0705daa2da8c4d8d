"""ops.box_convert: every peer's rotated-box convention, checked against that peer's own definition.

Each convention is written down here once more, independently, as its library documents it:
the corners it describes, and (for the conventions with a range) its regularisation.  Boxes
are compared as corner sets, since a convention may name one rectangle several ways.  OpenCV
itself is the oracle for "opencv" and "poly".
"""

import itertools

import cv2
import numpy as np
import pytest

from halvex import ops
from halvex.preprocessing import kestril

FORMATS = ["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"]
CORNER_FORMATS = {"xyxyxyxy", "poly"}
DEGREES = {"cxcywhr", "xywhr", "opencv"}
CLOCKWISE = {"opencv", "le90", "le135", "oc", "ultralytics"}

# Corners are sums of a center and rotated half sizes (up to ~100 px here); sin and cos
# are well conditioned, so a few ulp of them (numpy's SIMD or libm) move a corner by far
# less than this.
ATOL = 1e-9
# OpenCV computes in float32: a corner of a box within 100 px is good to ~1e-5 px.
OPENCV_ATOL = 1e-4


# ---- the peers' definitions ------------------------------------------------------------------


def corners_of(fmt, boxes):
    """(n, 4, 2) corners of boxes in `fmt`, as the convention's documentation defines them."""
    boxes = np.asarray(boxes, dtype=np.float64)
    if fmt in CORNER_FORMATS:
        return boxes.reshape(-1, 4, 2)
    x, y, w, h, angle = boxes.T
    if fmt in CLOCKWISE:
        # mmrotate's rbox2corner, OpenCV's RotatedRect::points and ultralytics' xywhr2xyxyxyxy:
        # width along (cos t, sin t), height along (-sin t, cos t) on a y-down image.
        t = np.deg2rad(angle) if fmt in DEGREES else angle
        width_axis = np.stack([np.cos(t), np.sin(t)], axis=-1)
        height_axis = np.stack([-np.sin(t), np.cos(t)], axis=-1)
    else:
        # torchvision (and halvex's ORVA): counter-clockwise on screen, width along
        # (cos r, -sin r), height along (sin r, cos r); x1, y1 of XYWHR is the top-left corner.
        r = np.deg2rad(angle) if fmt in DEGREES else angle
        width_axis = np.stack([np.cos(r), -np.sin(r)], axis=-1)
        height_axis = np.stack([np.sin(r), np.cos(r)], axis=-1)
    half_width = width_axis * (w / 2)[:, None]
    half_height = height_axis * (h / 2)[:, None]
    center = np.stack([x, y], axis=-1)
    if fmt == "xywhr":
        center = center + half_width + half_height
    # top-left, top-right, bottom-right, bottom-left for torchvision's order
    return np.stack(
        [
            center - half_width - half_height,
            center + half_width - half_height,
            center + half_width + half_height,
            center - half_width + half_height,
        ],
        axis=1,
    )


def mmrotate_regularised(boxes, pattern):
    """mmrotate 1.x RotatedBoxes.regularize_boxes, as its docstring states it."""
    x, y, w, h, t = np.asarray(boxes, dtype=np.float64).T
    width_longer, start = {"oc": (False, -90), "le90": (True, -90), "le135": (True, -45)}[pattern]
    start = start / 180 * np.pi
    if width_longer:
        w_, h_ = np.where(w > h, w, h), np.where(w > h, h, w)
        t = np.where(w > h, t, t + np.pi / 2)
        t = ((t - start) % np.pi) + start
    else:
        t = (t - start) % np.pi
        w_, h_ = np.where(t < np.pi / 2, w, h), np.where(t < np.pi / 2, h, w)
        t = np.where(t < np.pi / 2, t, t - np.pi / 2) + start
    return np.stack([x, y, w_, h_, t], axis=-1)


def ultralytics_regularised(boxes):
    """ultralytics.utils.ops.regularize_rboxes: [0, pi/2)."""
    x, y, w, h, t = np.asarray(boxes, dtype=np.float64).T
    swap = t % np.pi >= np.pi / 2
    return np.stack([x, y, np.where(swap, h, w), np.where(swap, w, h), t % (np.pi / 2)], axis=-1)


# ---- data -------------------------------------------------------------------------------------


def random_boxes(fmt, n, rng):
    """Boxes in `fmt` with any angle (not regularised): what a user may hand in."""
    boxes = np.column_stack([rng.uniform(0, 100, (n, 2)), rng.uniform(1, 50, (n, 2)), np.zeros(n)])
    boxes[:, 4] = rng.uniform(-360, 360, n) if fmt in DEGREES else rng.uniform(-2 * np.pi, 2 * np.pi, n)
    if fmt == "xyxyxyxy":
        return corners_of("orva", boxes).reshape(n, 8)
    if fmt == "poly":  # the corners of a rectangle, in any order
        corners = corners_of("orva", boxes)
        return np.take_along_axis(corners, rng.permuted(np.tile(np.arange(4), (n, 1)), axis=1)[..., None], 1).reshape(
            n, 8
        )
    return boxes


def jittered_quadrilaterals(n, rng, jitter=2.0):
    """DOTA-like labels: rectangles with every corner moved by up to `jitter` px."""
    boxes = random_boxes("orva", n, rng)
    return corners_of("orva", boxes) + rng.uniform(-jitter, jitter, (n, 4, 2))


def assert_same_corner_sets(actual, expected, atol):
    actual, expected = np.asarray(actual).reshape(-1, 4, 2), np.asarray(expected).reshape(-1, 4, 2)
    assert actual.shape == expected.shape
    distance = np.linalg.norm(actual[:, :, None] - expected[:, None, :], axis=-1)
    worst = max(distance.min(axis=2).max(initial=0), distance.min(axis=1).max(initial=0))
    assert worst <= atol, f"corner sets differ by {worst}"


# ---- every pair against the definitions --------------------------------------------------------


@pytest.mark.parametrize("in_fmt, out_fmt", list(itertools.product(FORMATS, FORMATS)))
def test_every_conversion_keeps_the_rectangle(in_fmt, out_fmt):
    rng = np.random.default_rng(len(in_fmt) * 31 + len(out_fmt))
    boxes = random_boxes(in_fmt, 500, rng)
    converted = ops.box_convert(boxes, in_fmt, out_fmt)
    assert converted.shape == (500, 8 if out_fmt in CORNER_FORMATS else 5) and converted.dtype == np.float64
    assert_same_corner_sets(corners_of(out_fmt, converted), corners_of(in_fmt, boxes), ATOL)
    # ... and back: the same box up to the format's own ambiguity
    returned = ops.box_convert(ops.box_convert(converted, out_fmt, "orva"), "orva", in_fmt)
    assert_same_corner_sets(corners_of(in_fmt, returned), corners_of(in_fmt, boxes), ATOL)


def test_orva_is_kestrils_convention():
    boxes = random_boxes("orva", 200, np.random.default_rng(1))
    corners = ops.box_convert(boxes, "orva", "xyxyxyxy").reshape(-1, 4, 2)
    # kestril lists top-left, bottom-left, bottom-right, top-right
    np.testing.assert_allclose(corners[:, [0, 3, 2, 1]], kestril.orva_to_box_corners(boxes), rtol=0, atol=ATOL)
    upright = ops.box_convert(np.array([[10.0, 20.0, 8.0, 4.0, 0.0]]), "orva", "xyxyxyxy")
    np.testing.assert_array_equal(upright, [[6, 18, 14, 18, 14, 22, 6, 22]])
    # a positive rotation lifts the right end of the width (counter-clockwise on screen)
    turned = ops.box_convert(np.array([[0.0, 0.0, 2.0, 0.0, 0.1]]), "orva", "xyxyxyxy").reshape(4, 2)
    assert turned[1, 1] < 0 < turned[0, 1]


@pytest.mark.parametrize(
    "fmt, regularised",
    [(pattern, lambda boxes, pattern=pattern: mmrotate_regularised(boxes, pattern)) for pattern in ("le90", "le135", "oc")]
    + [("ultralytics", ultralytics_regularised)],
)
def test_output_is_the_peers_regularisation(fmt, regularised):
    boxes = random_boxes(fmt, 2000, np.random.default_rng(2))
    boxes[:100, 3] = boxes[:100, 2]  # squares: the long-edge versions still turn them
    np.testing.assert_allclose(ops.box_convert(boxes, fmt, fmt), regularised(boxes), rtol=0, atol=ATOL)


@pytest.mark.parametrize("fmt", ["le90", "le135", "oc", "ultralytics", "opencv"])
def test_regularised_ranges_hold_at_their_edges(fmt):
    # angles on and a hair beside the ends of every range
    unit = 90.0 if fmt == "opencv" else np.pi / 2
    angles = np.concatenate([k * unit + np.array([-1e-15, 0.0, 1e-15]) * unit for k in range(-4, 5)])
    boxes = np.column_stack([np.zeros((len(angles), 2)), np.full(len(angles), 4.0), np.full(len(angles), 2.0), angles])
    out = ops.box_convert(boxes, fmt, fmt)
    low, span = {"le90": (-np.pi / 2, np.pi), "le135": (-np.pi / 4, np.pi), "oc": (-np.pi / 2, np.pi / 2),
                 "ultralytics": (0.0, np.pi / 2), "opencv": (-90.0, 90.0)}[fmt]
    assert np.all((low <= out[:, 4]) & (out[:, 4] < low + span))
    assert_same_corner_sets(corners_of(fmt, out), corners_of(fmt, boxes), ATOL)


# ---- OpenCV as the oracle ------------------------------------------------------------------


def test_opencv_rows_are_rotated_rects():
    boxes = random_boxes("opencv", 3000, np.random.default_rng(4))
    expected = np.array([cv2.boxPoints(((b[0], b[1]), (b[2], b[3]), b[4])) for b in boxes])
    assert_same_corner_sets(ops.box_convert(boxes, "opencv", "xyxyxyxy"), expected, OPENCV_ATOL)


def _min_area_rects(quadrilaterals):
    return [cv2.minAreaRect(q.astype(np.float32)) for q in quadrilaterals]


def _bounding_areas(quadrilaterals, angles):
    """Area of the bounding rectangle of each quadrilateral along each of its angles."""
    axes = np.stack([np.cos(angles), np.sin(angles)], axis=-1)  # (n, k, 2)
    normals = np.stack([-axes[..., 1], axes[..., 0]], axis=-1)
    along = np.einsum("nkc,npc->nkp", axes, quadrilaterals)
    across = np.einsum("nkc,npc->nkp", normals, quadrilaterals)
    return np.ptp(along, axis=-1) * np.ptp(across, axis=-1)


def _unique_minimum(quadrilaterals):
    """Where no other rectangle comes within float32 reach of the least area.

    The least rectangle lies along a side of the hull, so along one of the six point pairs.
    Two different rectangles often have exactly the same area (three points that decide
    both, as in a triangle); OpenCV then picks one by its float32 rounding.
    """
    pairs = np.array([(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3)])
    edges = quadrilaterals[:, pairs[:, 1]] - quadrilaterals[:, pairs[:, 0]]
    angles = np.arctan2(edges[..., 1], edges[..., 0])
    areas = _bounding_areas(quadrilaterals, angles)
    best = np.argmin(areas, axis=1)
    best_angle = np.take_along_axis(angles, best[:, None], 1)
    turn = np.abs((angles - best_angle + np.pi / 4) % (np.pi / 2) - np.pi / 4)  # same rectangle: 0
    rivals = np.where(turn > 1e-6, areas, np.inf).min(axis=1)
    return rivals > areas.min(axis=1) * (1 + 1e-5) + 1e-9


@pytest.mark.parametrize("kind", ["jittered rectangles", "any quadrilaterals"])
def test_poly_is_fitted_like_min_area_rect(kind):
    rng = np.random.default_rng(5)
    n = 3000
    if kind == "jittered rectangles":
        quadrilaterals = jittered_quadrilaterals(n, rng)
    else:  # convex or not, in any order
        quadrilaterals = rng.uniform(0, 100, (n, 4, 2))
    # OpenCV reads float32 points: fit exactly those, so only its arithmetic differs
    quadrilaterals = quadrilaterals.astype(np.float32).astype(np.float64)
    rects = _min_area_rects(quadrilaterals)
    unique = _unique_minimum(quadrilaterals)
    assert unique.mean() > 0.5
    expected = np.array([cv2.boxPoints(rect) for rect in rects])
    fitted = ops.box_convert(quadrilaterals, "poly", "xyxyxyxy")
    assert_same_corner_sets(fitted[unique], expected[unique], OPENCV_ATOL)
    # the same rectangle in OpenCV's own numbers, angle in [-90, 0) as cv2.minAreaRect
    as_opencv = ops.box_convert(quadrilaterals, "poly", "opencv")
    theirs = np.array([[*center, *size, angle] for center, size, angle in rects])
    clear = unique & (as_opencv[:, 4] < -1e-3) & (as_opencv[:, 4] > -90 + 1e-3)
    np.testing.assert_allclose(as_opencv[clear], theirs[clear], rtol=0, atol=1e-3)
    # where areas tie, OpenCV's choice is no smaller than ours
    ours = as_opencv[:, 2] * as_opencv[:, 3]
    their_area = _bounding_areas(quadrilaterals, np.deg2rad(theirs[:, 4:5]))[:, 0]
    assert np.all(ours <= their_area * (1 + 1e-12))


def test_poly_encloses_its_points_with_the_least_area():
    rng = np.random.default_rng(6)
    quadrilaterals = rng.uniform(-50, 50, (2000, 4, 2))
    fitted = ops.box_convert(quadrilaterals, "poly", "orva")
    # every point inside the rectangle (up to rounding)
    center, sizes, rotation = fitted[:, None, :2], fitted[:, None, 2:4], fitted[:, 4]
    c, s = np.cos(rotation)[:, None], np.sin(rotation)[:, None]
    offset = quadrilaterals - center
    along = offset[..., 0] * c - offset[..., 1] * s
    across = offset[..., 0] * s + offset[..., 1] * c
    assert np.all(np.abs(along) <= sizes[..., 0] / 2 + 1e-9) and np.all(np.abs(across) <= sizes[..., 1] / 2 + 1e-9)
    # no larger than along any other side
    pairs = list(itertools.combinations(range(4), 2))
    edges = quadrilaterals[:, [j for _, j in pairs]] - quadrilaterals[:, [i for i, _ in pairs]]
    areas = _bounding_areas(quadrilaterals, np.arctan2(edges[..., 1], edges[..., 0]))
    assert np.all(fitted[:, 2] * fitted[:, 3] <= areas.min(axis=1) * (1 + 1e-12))
    # named closest to upright
    assert np.all((-np.pi / 4 <= rotation) & (rotation < np.pi / 4))


# ---- degenerate input ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "points, center, sizes",
    [
        ([[3, 4]] * 4, (3, 4), (0, 0)),  # one point four times
        ([[0, 0], [4, 0], [4, 0], [0, 0]], (2, 0), (4, 0)),  # two points
        ([[0, 0], [1, 1], [3, 3], [2, 2]], (1.5, 1.5), (3 * np.sqrt(2), 0)),  # collinear, diagonal
        ([[0, 0], [0, 5], [0, 1], [0, 2]], (0, 2.5), (5, 0)),  # collinear, vertical
        ([[0, 0], [4, 0], [2, 1], [2, 0.5]], (2, 0.5), (4, 1)),  # a triangle and a point inside
    ],
)
def test_poly_of_degenerate_points(points, center, sizes):
    points = np.array([points], dtype=np.float64)
    fitted = ops.box_convert(points, "poly", "orva")[0]
    assert np.all(np.isfinite(fitted))
    if sizes is not None:
        np.testing.assert_allclose(fitted[:2], center, atol=1e-12)
        np.testing.assert_allclose(sorted(fitted[2:4]), sorted(sizes), atol=1e-12)
    expected = cv2.boxPoints(cv2.minAreaRect(points[0].astype(np.float32)))
    assert_same_corner_sets(ops.box_convert(points, "poly", "xyxyxyxy"), expected[None], OPENCV_ATOL)


@pytest.mark.parametrize("fmt", [f for f in FORMATS if f not in CORNER_FORMATS])
def test_zero_sized_boxes_collapse_to_their_centers(fmt):
    boxes = np.array([[5.0, 6.0, 0.0, 0.0, 0.7], [5.0, 6.0, 0.0, 3.0, 0.2]])
    corners = ops.box_convert(boxes, fmt, "xyxyxyxy").reshape(-1, 4, 2)
    assert_same_corner_sets(corners, corners_of(fmt, boxes), ATOL)
    if fmt != "xywhr":  # there (5, 6) is a corner, not the center
        np.testing.assert_allclose(corners[0], [[5, 6]] * 4, atol=1e-12)


@pytest.mark.parametrize("in_fmt, out_fmt", list(itertools.product(FORMATS, FORMATS)))
def test_non_finite_values_come_out_non_finite(in_fmt, out_fmt):
    rng = np.random.default_rng(8)
    boxes = random_boxes(in_fmt, 8, rng)
    bad = [np.nan, np.inf, -np.inf, np.nan, np.inf, np.nan, -np.inf, np.nan]
    for row, value in enumerate(bad[:4]):
        boxes[row, rng.integers(boxes.shape[1])] = value
    boxes[4, :] = bad[: boxes.shape[1]]
    converted = ops.box_convert(boxes, in_fmt, out_fmt)
    assert not np.isfinite(converted[:5]).all(axis=1).any()
    np.testing.assert_array_equal(converted[5:], ops.box_convert(boxes[5:], in_fmt, out_fmt))


# ---- arrays in, arrays out ----------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["cxcywhr", "poly"])
def test_float32_stays_float32_everything_else_is_float64(fmt):
    boxes = random_boxes(fmt, 50, np.random.default_rng(9))
    reference = ops.box_convert(boxes.astype(np.float32).astype(np.float64), fmt, "orva")
    single = ops.box_convert(boxes.astype(np.float32), fmt, "orva")
    assert single.dtype == np.float32
    np.testing.assert_array_equal(single, reference.astype(np.float32))
    for other in (boxes.astype(np.float16), np.rint(boxes).astype(np.int32), np.rint(boxes).astype(np.int64)):
        converted = ops.box_convert(other, fmt, "orva")
        assert converted.dtype == np.float64
        np.testing.assert_array_equal(converted, ops.box_convert(other.astype(np.float64), fmt, "orva"))
    as_list = ops.box_convert(boxes.tolist(), fmt, "orva")
    np.testing.assert_array_equal(as_list, ops.box_convert(boxes, fmt, "orva"))


def test_layouts_and_empty_input():
    rng = np.random.default_rng(10)
    corners = corners_of("orva", random_boxes("orva", 30, rng))
    flat = np.ascontiguousarray(corners.reshape(30, 8))
    expected = ops.box_convert(flat, "xyxyxyxy", "cxcywhr")
    for layout in (corners, np.asfortranarray(corners), np.asfortranarray(flat), np.repeat(flat, 2, axis=0)[::2],
                   flat.byteswap().view(flat.dtype.newbyteorder())):
        np.testing.assert_array_equal(ops.box_convert(layout, "xyxyxyxy", "cxcywhr"), expected)
    reversed_rows = ops.box_convert(flat[::-1], "xyxyxyxy", "cxcywhr")
    np.testing.assert_array_equal(reversed_rows, expected[::-1])
    for fmt in FORMATS:
        empty = ops.box_convert(np.zeros((0, 8 if fmt in CORNER_FORMATS else 5)), fmt, "poly")
        assert empty.shape == (0, 8) and empty.dtype == np.float64


def test_a_polygon_fits_the_same_wherever_it_stands():
    # Polygons are fitted in blocks of vectors: neither the block nor the lane may matter.
    quadrilaterals = jittered_quadrilaterals(1001, np.random.default_rng(11))
    whole = ops.box_convert(quadrilaterals, "poly", "orva")
    np.testing.assert_array_equal(ops.box_convert(quadrilaterals[3:], "poly", "orva"), whole[3:])
    for row in (0, 255, 256, 257, 1000):
        np.testing.assert_array_equal(ops.box_convert(quadrilaterals[row : row + 1], "poly", "orva")[0], whole[row])


@pytest.mark.parametrize(
    "shape, fmt, needed",
    [((3, 4), "cxcywhr", "(n, 5)"), ((5,), "orva", "(n, 5)"), ((2, 8), "le90", "(n, 5)"),
     ((3, 5), "poly", "(n, 8) or (n, 4, 2)"), ((3, 2, 4), "xyxyxyxy", "(n, 8) or (n, 4, 2)"),
     ((), "oc", "(n, 5)"), ((2, 4, 2, 1), "poly", "(n, 8) or (n, 4, 2)")],
)
def test_wrong_shapes_name_the_shape_needed(shape, fmt, needed):
    with pytest.raises(ValueError) as raised:
        ops.box_convert(np.zeros(shape), fmt, "orva")
    assert f"'{fmt}'" in str(raised.value) and needed in str(raised.value)
    assert str(shape).replace(" ", "") in str(raised.value).replace(" ", "")


@pytest.mark.parametrize("in_fmt, out_fmt", [("xywh", "orva"), ("orva", "XYXYXYXY"), ("orva", "")])
def test_unknown_formats_list_the_names(in_fmt, out_fmt):
    with pytest.raises(ValueError) as raised:
        ops.box_convert(np.zeros((1, 5)), in_fmt, out_fmt)
    assert all(f"'{name}'" in str(raised.value) for name in FORMATS)


def test_format_names_must_be_strings():
    with pytest.raises(TypeError):
        ops.box_convert(np.zeros((1, 5)), b"orva", "orva")
