"""Rotated boxes through a real Albumentations pipeline, and back.

The road of one sample:

1. ORVA boxes (center x, center y, width, height, rotation) become three
   keypoints per box (center, top-edge midpoint, right-edge midpoint) with two
   label fields that say which box and which role each keypoint has.
2. An ``albumentations.Compose`` shears and rotates the image (so the boxes
   become parallelograms), maybe flips it, pads it to a square and crops one
   window of a mesh; the keypoints travel with the image.
3. The keypoints are regrouped per box, each parallelogram is rebuilt into a
   rotated rectangle, and rectangles that stick out of the image are clipped.

Running this file writes a picture with the input boxes on the left and the
augmented, rebuilt and clipped boxes on the right, and prints its path::

    python examples/rotated_boxes_pipeline.py [--seed 9] [--output build/boxes.png]
"""

from __future__ import annotations

import argparse
import contextlib
import pathlib
import random
import threading
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import albumentations as A
import cv2
import numpy as np

from halvex.preprocessing import kestril
from halvex.preprocessing.augmentations.transform.morvane import MeshCrop
from halvex.preprocessing.augmentations.transform.orvetta import OneOfRetainProb
from halvex.preprocessing.augmentations.transform.quenfor import RelativePadding

Array = np.ndarray[Any, Any]

DEFAULT_OUTPUT = (
    pathlib.Path(__file__).resolve().parents[1] / "build" / "rotated_boxes_pipeline.png"
)


@dataclass(frozen=True)
class Sample:
    """A synthetic image and the rotated boxes painted on it."""

    image: Array  # H x W x 3, uint8 (BGR, as OpenCV writes it)
    orva_boxes: Array  # n x 5: center x, center y, width, height, rotation (radians)
    colors: Array  # n x 3, uint8: the fill colour of each box


@dataclass(frozen=True)
class AugmentedBoxes:
    """What came out of the pipeline, box by box."""

    image: Array  # the augmented image
    box_index: Array  # n, int: row i belongs to input box box_index[i]
    keypoints: Array  # n x 3 x 2: center, top, right of each box after the pipeline
    corners: Array  # n x 4 x 2: the rebuilt rectangles
    rotations: Array  # n: their rotations, in the sense of rot_points_multi_rads
    orva_boxes: Array  # n x 5: the rebuilt rectangles in ORVA form
    clipped_index: Array  # m, int: input box of each clipped box (boxes that overlap the image)
    clipped_corners: (
        Array  # m x 4 x 2: rectangles of the box orientation that hold the visible part
    )
    clipped_orva_boxes: Array  # m x 5
    visible_outlines: list[Array]  # per clipped box, the points of its visible part (k x 2)


def make_sample(seed: int, height: int = 480, width: int = 640) -> Sample:
    """Paint twelve non-overlapping rotated boxes on a textured background."""
    rng = np.random.default_rng(seed)
    rows, columns = np.mgrid[0:height, 0:width]
    background = np.stack(
        [60 + 40 * np.sin(columns / 37.0), 70 + 30 * np.cos(rows / 23.0), 50 + 0.1 * columns],
        axis=-1,
    )
    image = np.ascontiguousarray(np.clip(background, 0, 255).astype(np.uint8))
    cell_rows, cell_columns = 3, 4
    cell_height, cell_width = height / cell_rows, width / cell_columns
    boxes = []
    for row in range(cell_rows):
        for column in range(cell_columns):
            center_x = (column + 0.5) * cell_width + rng.uniform(-15, 15)
            center_y = (row + 0.5) * cell_height + rng.uniform(-15, 15)
            boxes.append(
                [
                    center_x,
                    center_y,
                    rng.uniform(50, 100),
                    rng.uniform(24, 50),
                    rng.uniform(-np.pi, np.pi),
                ]
            )
    orva_boxes = np.array(boxes)
    colors = rng.integers(90, 256, size=(len(boxes), 3)).astype(np.uint8)
    corners = kestril.orva_to_box_corners(orva_boxes)
    for box_corners, top_mid, color in zip(corners, top_midpoints(orva_boxes), colors):
        cv2.fillPoly(image, [np.round(box_corners).astype(np.int32)], color.tolist(), cv2.LINE_AA)
        # A dark tick at the top edge shows which way each box is turned.
        cv2.circle(
            image, np.round(top_mid).astype(np.int32).tolist(), 4, (20, 20, 20), -1, cv2.LINE_AA
        )
    return Sample(image=image, orva_boxes=orva_boxes, colors=colors)


def top_midpoints(orva_boxes: Array) -> Array:
    """Midpoint of the top edge of each box (the second keypoint of each triple)."""
    keypoints = kestril.orva_to_keypoints(orva_boxes).reshape(-1, 3, 2)
    return keypoints[:, 1]


def build_pipeline(first: Sequence[Any] = ()) -> Any:
    """Shear and rotate, maybe flip, pad to a square, crop a window of a 2 x 2 mesh.

    ``first`` are transforms to run before these, such as a ChannelAssembler
    that turns a structured image into a float image.
    """
    mesh_crop = MeshCrop(2, 2, 0.7, 0.7, renorm=False)
    # Without candidate windows MeshCrop keeps the whole image; with them it picks
    # a window per sample, preferring one that holds box centers.
    mesh_crop.update_crops(mesh_crop.all_crops)
    return A.Compose(
        [
            *first,
            A.Affine(
                rotate=(-30, 30), shear={"x": (-20, 20), "y": (-10, 10)}, fit_output=True, p=1.0
            ),
            # At most one of the three, each with its own probability (0.3, 0.2, 0.3).
            OneOfRetainProb(
                [A.HorizontalFlip(p=0.3), A.VerticalFlip(p=0.2), A.RandomRotate90(p=0.3)], p=1.0
            ),
            # Pad to a square before cropping: boxes outside the chosen window then
            # end up outside the image (and are clipped away) instead of inside the padding.
            RelativePadding(aspect_ratio=1.0),
            mesh_crop,
        ],
        # Every box must keep all three keypoints to be rebuilt, so keypoints that
        # leave the image are kept; the boxes are clipped at the end instead.
        keypoint_params=A.KeypointParams(
            format="xy", label_fields=["instances", "positions"], remove_invisible=False
        ),
    )


# ---- per-thread random draws ---------------------------------------------------------------

_own_generators = threading.local()


def _draw_from_own_generator(module: Any, shared: Any, slot: str) -> None:
    """Make the module's draw functions use this thread's generator while it has one.

    The functions of ``random`` and ``np.random`` are methods of one shared
    generator per process.  Hosts draw from it on their own threads at any
    time (Dask's workers sample messages with ``random.sample`` while a task
    runs), so seeding it does not make a task's draws repeatable.  Threads
    without a generator of their own keep drawing from the shared one.
    """
    for name in dir(module):
        method = getattr(module, name)
        if getattr(method, "__self__", None) is not shared or getattr(method, "_per_thread", False):
            continue

        def draw(
            *args: Any, _name: str = name, _method: Callable[..., Any] = method, **kwargs: Any
        ) -> Any:
            own = getattr(_own_generators, slot, None)
            return (_method if own is None else getattr(own, _name))(*args, **kwargs)

        draw._per_thread = True  # type: ignore[attr-defined]
        setattr(module, name, draw)


_install_lock = threading.Lock()


@contextlib.contextmanager
def seeded_draws(seed: int) -> Iterator[None]:
    """Within the block, ``random`` and ``np.random`` draw, on this thread, from
    generators seeded with ``seed``."""
    with _install_lock:
        if not getattr(random.random, "_per_thread", False):
            _draw_from_own_generator(random, random._inst, "python")
            _draw_from_own_generator(np.random, np.random.mtrand._rand, "numpy")
    previous = (getattr(_own_generators, "python", None), getattr(_own_generators, "numpy", None))
    _own_generators.python, _own_generators.numpy = random.Random(seed), np.random.RandomState(seed)
    try:
        yield
    finally:
        _own_generators.python, _own_generators.numpy = previous


def augment(pipeline: Any, image: Array, orva_boxes: Array, seed: int) -> AugmentedBoxes:
    """Send one image and its ORVA boxes through the pipeline and rebuild the boxes.

    Albumentations draws its random numbers from ``random`` and ``np.random``;
    drawing them from generators seeded per item (``seeded_draws``) makes the
    result a function of the item and its seed alone, in any process and on
    any thread.
    """
    flat_keypoints = kestril.orva_to_keypoints(orva_boxes)
    instances, positions = kestril.keypoints_trivial_lookup(len(flat_keypoints))
    with seeded_draws(seed):
        # Keypoints go first: MeshCrop chooses its window when it sees the keypoints,
        # and the image must be cropped with that same window.
        result = pipeline(
            keypoints=flat_keypoints, image=image, instances=instances, positions=positions
        )
    image = result["image"]
    height, width = image.shape[:2]

    keypoints, original_index = kestril.assemble_keypoints_after_shuffle(
        list(result["keypoints"]), list(result["instances"]), list(result["positions"])
    )
    corners, rotations = kestril.get_box_and_rotation_from_parallelogram_keypoints(
        keypoints, box_reconstruction_mode=kestril.BoxReconstruction.MAX
    )
    orva_boxes = kestril.box_corners_to_orva(corners, rotations)

    clipped_index, clipped_corners, clipped_rotations, outlines = [], [], [], []
    for index, box_corners, rotation in zip(original_index.astype(int), corners, rotations):
        clipped, outline = kestril.clipper(box_corners, np.array([width, height]))
        if clipped is None or outline is None:
            continue  # the box left the image
        clipped_index.append(index)
        clipped_corners.append(clipped)
        clipped_rotations.append(rotation)
        outlines.append(outline.reshape(-1, 2))
    clipped_corner_array = np.array(clipped_corners).reshape(-1, 4, 2)
    return AugmentedBoxes(
        image=image,
        box_index=original_index.astype(int),
        keypoints=keypoints,
        corners=corners,
        rotations=rotations,
        orva_boxes=orva_boxes,
        clipped_index=np.array(clipped_index, dtype=int),
        clipped_corners=clipped_corner_array,
        clipped_orva_boxes=kestril.box_corners_to_orva(
            clipped_corner_array, np.array(clipped_rotations)
        ),
        visible_outlines=outlines,
    )


def run(seed: int) -> tuple[Sample, AugmentedBoxes]:
    """Make the synthetic sample for a seed and augment it."""
    sample = make_sample(seed)
    return sample, augment(build_pipeline(), sample.image, sample.orva_boxes, seed)


def _polygon(image: Array, points: Array, color: tuple[int, int, int], thickness: int) -> None:
    # Drawn with 4 bits of sub-pixel precision so thin outlines sit where the boxes are.
    fixed_point = np.round(np.asarray(points) * 16).astype(np.int32)
    cv2.polylines(image, [fixed_point], True, color, thickness, cv2.LINE_AA, shift=4)


def _keypoint_marks(image: Array, keypoints: Array) -> None:
    for center, top, right in keypoints:
        for point, color in ((center, (0, 0, 255)), (top, (255, 128, 0)), (right, (0, 255, 255))):
            cv2.circle(
                image,
                np.round(np.asarray(point) * 16).astype(np.int32).tolist(),
                3 * 16,
                color,
                -1,
                cv2.LINE_AA,
                shift=4,
            )


def draw(sample: Sample, augmented: AugmentedBoxes) -> Array:
    """Input boxes on the left; the augmented image with its boxes on the right."""
    left = sample.image.copy()
    for box_corners in kestril.orva_to_box_corners(sample.orva_boxes):
        _polygon(left, box_corners, (0, 255, 0), 2)
    _keypoint_marks(left, kestril.orva_to_keypoints(sample.orva_boxes).reshape(-1, 3, 2))

    # The augmented image sits in a grey margin, so that the parts of rebuilt boxes
    # that stick out of it (and were clipped away) stay visible.
    margin = 40
    height, width = augmented.image.shape[:2]
    right = np.full((height + 2 * margin, width + 2 * margin, 3), 210, np.uint8)
    right[margin : margin + height, margin : margin + width] = augmented.image
    cv2.rectangle(right, (margin - 1, margin - 1), (margin + width, margin + height), (0, 0, 0), 1)
    for box_corners in augmented.clipped_corners:
        _polygon(right, box_corners + margin, (0, 255, 0), 3)  # clipped at the image border
    for box_corners in augmented.corners:
        _polygon(right, box_corners + margin, (255, 255, 0), 1)  # rebuilt rectangle
    for parallelogram in kestril.keypoints_to_box_corners(augmented.keypoints):
        _polygon(right, parallelogram + margin, (60, 60, 60), 1)  # what the keypoints say
    _keypoint_marks(right, augmented.keypoints + margin)

    gap, header = 16, 28
    height = max(left.shape[0], right.shape[0]) + header
    canvas = np.full((height, left.shape[1] + gap + right.shape[1], 3), 255, np.uint8)
    canvas[header : header + left.shape[0], : left.shape[1]] = left
    canvas[header : header + right.shape[0], left.shape[1] + gap :] = right
    font = cv2.FONT_HERSHEY_SIMPLEX
    cv2.putText(
        canvas,
        "input: ORVA boxes and their keypoints",
        (4, 19),
        font,
        0.5,
        (0, 0, 0),
        1,
        cv2.LINE_AA,
    )
    cv2.putText(
        canvas,
        "augmented: keypoints (dark), rebuilt (cyan), clipped (green)",
        (left.shape[1] + gap + 4, 19),
        font,
        0.5,
        (0, 0, 0),
        1,
        cv2.LINE_AA,
    )
    return canvas


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--seed", type=int, default=9, help="seed of the synthetic sample and the pipeline"
    )
    parser.add_argument(
        "--output", type=pathlib.Path, default=DEFAULT_OUTPUT, help="PNG file to write"
    )
    arguments = parser.parse_args(argv)

    sample, augmented = run(arguments.seed)
    output: pathlib.Path = arguments.output
    output.parent.mkdir(parents=True, exist_ok=True)
    if not cv2.imwrite(str(output), draw(sample, augmented)):
        raise OSError(f"could not write {output}")
    kept = len(augmented.clipped_index)
    print(
        f"{len(sample.orva_boxes)} boxes in, {kept} overlap the augmented image "
        f"{augmented.image.shape[1]}x{augmented.image.shape[0]}"
    )
    for index, box in zip(augmented.clipped_index, augmented.clipped_orva_boxes):
        print(
            f"  box {index:2d}: center ({box[0]:7.1f}, {box[1]:7.1f})  size {box[2]:5.1f} x {box[3]:5.1f}"
            f"  rotation {np.rad2deg(box[4]):7.1f} deg"
        )
    print(output)
    return output


if __name__ == "__main__":
    main()
