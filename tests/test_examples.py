"""The examples run, and the boxes the pipeline example draws are the right ones."""

import os
import pathlib
import subprocess
import sys

import cv2
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"


@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import rotated_boxes_pipeline
    finally:
        sys.path.remove(str(EXAMPLES))
    return rotated_boxes_pipeline


def example_environment():
    # Subprocesses import the same halvex as this test run, whether it is
    # installed or staged on PYTHONPATH.
    import halvex

    environment = dict(os.environ)
    package_root = str(pathlib.Path(halvex.__file__).resolve().parents[1])
    environment["PYTHONPATH"] = os.pathsep.join(
        [package_root, *filter(None, [environment.get("PYTHONPATH")])]
    )
    return environment


def test_pipeline_example_writes_the_picture_and_prints_its_path(tmp_path):
    output = tmp_path / "boxes.png"
    result = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "rotated_boxes_pipeline.py"),
            "--seed",
            "9",
            "--output",
            str(output),
        ],
        check=False,
        env=example_environment(),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == str(output)
    picture = cv2.imread(str(output))
    assert picture is not None and picture.ndim == 3
    # Two panels side by side: the 640 wide input and the augmented image with its margin.
    assert picture.shape[1] > 640 + 400


def rectangle_frame(corners):
    """Center, unit axes and half-lengths of a rectangle given by its four corners in cyclic order."""
    center = corners.mean(axis=0)
    first, second = corners[1] - corners[0], corners[2] - corners[1]
    lengths = np.array([np.linalg.norm(first), np.linalg.norm(second)])
    axes = np.array([first / lengths[0], second / lengths[1]])
    return center, axes, lengths / 2


def inside_rectangle(points, corners, tolerance):
    center, axes, half_lengths = rectangle_frame(corners)
    local = (np.asarray(points, dtype=float) - center) @ axes.T
    return np.all(np.abs(local) <= half_lengths + tolerance, axis=-1)


def same_corners(corners, others, tolerance=1e-6):
    """The same four points, in any order."""
    distances = np.linalg.norm(corners[:, np.newaxis] - others[np.newaxis], axis=-1)
    return bool(
        np.all(distances.min(axis=1) < tolerance) and np.all(distances.min(axis=0) < tolerance)
    )


@pytest.mark.parametrize("seed", range(6))
def test_rebuilt_boxes_follow_the_transformed_keypoints(example, seed):
    sample, augmented = example.run(seed)
    number_of_boxes = len(sample.orva_boxes)
    assert sorted(augmented.box_index.tolist()) == list(range(number_of_boxes))

    for keypoints, corners, box in zip(
        augmented.keypoints, augmented.corners, augmented.orva_boxes
    ):
        center, top, right = keypoints
        # A rectangle around the same center ...
        assert np.allclose(corners.mean(axis=0), center, atol=1e-6)
        assert np.allclose(box[:2], center, atol=1e-6)
        edges = np.roll(corners, -1, axis=0) - corners
        assert abs(np.dot(edges[0], edges[1])) < 1e-6 * np.dot(edges[0], edges[0]) + 1e-9
        # ... that holds the whole parallelogram the keypoints describe (MAX mode),
        # touching it at its corners.
        parallelogram = [
            center + a * (top - center) + b * (right - center) for a in (-1, 1) for b in (-1, 1)
        ]
        assert inside_rectangle(parallelogram, corners, 1e-6).all()
        # ORVA form and corner form describe the same rectangle.
        assert same_corners(example.kestril.orva_to_box_corners(box[np.newaxis])[0], corners)


@pytest.mark.parametrize("seed", range(6))
def test_keypoints_are_regrouped_by_their_labels(example, seed):
    sample, augmented = example.run(seed)
    # Run the same pipeline on the same seed and group its keypoints by hand.
    example.random.seed(seed)
    np.random.seed(seed)
    flat = example.kestril.orva_to_keypoints(sample.orva_boxes)
    instances, positions = example.kestril.keypoints_trivial_lookup(len(flat))
    result = example.build_pipeline()(
        keypoints=flat, image=sample.image, instances=instances, positions=positions
    )
    by_label = {}
    for point, instance, position in zip(
        result["keypoints"], result["instances"], result["positions"]
    ):
        by_label.setdefault(int(instance), {})[str(position)] = point[:2]
    for index, keypoints in zip(augmented.box_index, augmented.keypoints):
        expected = [by_label[index][position] for position in ("center", "top", "right")]
        assert np.array_equal(keypoints, np.array(expected, dtype=float))


@pytest.mark.parametrize("seed", range(6))
def test_boxes_stay_on_their_painted_pixels(example, seed):
    # Each box was painted in its own colour; wherever its center keypoint lands
    # inside the augmented image, the pixel there must still have that colour.
    # This holds only if image and keypoints were cropped, padded and warped alike.
    sample, augmented = example.run(seed)
    height, width = augmented.image.shape[:2]
    checked = 0
    for index, keypoints in zip(augmented.box_index, augmented.keypoints):
        x, y = np.round(keypoints[0]).astype(int)
        if 2 <= x < width - 2 and 2 <= y < height - 2:
            pixel = augmented.image[y, x].astype(int)
            assert np.abs(pixel - sample.colors[index].astype(int)).max() <= 3, (index, pixel)
            checked += 1
    assert checked >= 3


@pytest.mark.parametrize("seed", range(6))
def test_clipped_boxes_cover_exactly_the_visible_parts(example, seed):
    _, augmented = example.run(seed)
    height, width = augmented.image.shape[:2]
    image_outline = np.array(
        [[0, 0], [width - 1, 0], [width - 1, height - 1], [0, height - 1]], np.float32
    )
    rebuilt = dict(zip(augmented.box_index.tolist(), augmented.corners))
    assert (
        len(augmented.clipped_index)
        == len(augmented.clipped_corners)
        == len(augmented.visible_outlines)
    )

    for index, corners in rebuilt.items():
        overlap, _ = cv2.intersectConvexConvex(corners.astype(np.float32), image_outline)
        if index not in augmented.clipped_index:
            assert overlap < 1e-3, f"box {index} overlaps the image but was dropped"
    for index, clipped, outline, box in zip(
        augmented.clipped_index,
        augmented.clipped_corners,
        augmented.visible_outlines,
        augmented.clipped_orva_boxes,
    ):
        # The visible part lies in the image and in the rebuilt box ...
        assert np.all(outline >= -1e-6) and np.all(outline <= [width - 1 + 1e-6, height - 1 + 1e-6])
        assert inside_rectangle(outline, rebuilt[index], 1e-6).all()
        # ... and the clipped box holds it, inside the rebuilt box, with the same orientation.
        assert inside_rectangle(outline, clipped, 1e-6).all()
        assert inside_rectangle(clipped, rebuilt[index], 1e-6).all()
        _, clipped_axes, _ = rectangle_frame(clipped)
        _, rebuilt_axes, _ = rectangle_frame(rebuilt[index])
        assert np.allclose(np.abs(clipped_axes @ rebuilt_axes.T).max(axis=1), 1.0, atol=1e-9)
        assert same_corners(example.kestril.orva_to_box_corners(box[np.newaxis])[0], clipped)
        if inside_rectangle(rebuilt[index], image_outline.astype(float), 1e-9).all():
            # A box wholly inside the image is not changed by clipping.
            assert inside_rectangle(rebuilt[index], clipped, 1e-6).all()


@pytest.fixture(scope="module")
def nms_example():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import overlap_and_nms
    finally:
        sys.path.remove(str(EXAMPLES))
    return overlap_and_nms


def test_nms_example_writes_the_picture_and_prints_its_path(nms_example, tmp_path):
    output = tmp_path / "nms.png"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "overlap_and_nms.py"), "--seed", "5", "--output", str(output)],
        check=False, env=example_environment(), capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == str(output)
    picture = cv2.imread(str(output))
    assert picture is not None and picture.shape[1] > 2 * 600
    # both colours of the right panel are there
    right = picture[:, picture.shape[1] // 2 :].reshape(-1, 3).astype(int)
    for colour in (nms_example.KEPT, nms_example.SUPPRESSED):
        assert (np.abs(right - colour).max(axis=1) <= 10).sum() > 100


@pytest.mark.parametrize("seed", range(4))
def test_nms_example_keeps_one_box_per_cluster(nms_example, seed):
    import shapely

    threshold = 0.4
    scene = nms_example.run(seed, threshold)
    polygons = shapely.polygons(nms_example.kestril.orva_to_box_corners(scene.detections))
    inter = shapely.area(shapely.intersection(polygons[:, None], polygons[None, :]))
    areas = shapely.area(polygons)
    iou = inter / (areas[:, None] + areas[None, :] - inter)
    kept = scene.kept.tolist()
    assert len(kept) + len(scene.suppressed_by) == len(scene.detections)
    # kept boxes do not overlap beyond the threshold ...
    assert (iou[np.ix_(kept, kept)] - np.eye(len(kept)) <= threshold).all()
    # ... and every other box was suppressed by a kept box that scores at least as high
    for box, (by, value) in scene.suppressed_by.items():
        assert by in kept and scene.scores[by] >= scene.scores[box]
        assert value > threshold and abs(value - iou[box, by]) < 1e-9
