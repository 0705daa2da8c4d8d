"""Rotated non-maximum suppression on a scene of near-duplicate detections.

A detector typically reports each object several times, with slightly shifted,
scaled and turned boxes.  ``halvex.ops.nms`` keeps the best-scoring box of
each cluster: boxes are visited by decreasing score and a box is dropped when
its IoU with a box already kept exceeds the threshold.

Running this file writes a picture with all detections on the left and the
result of NMS on the right (kept boxes in green with their score, suppressed
ones in red, the IoU with the box that suppressed them written beside a few),
and prints its path::

    python examples/overlap_and_nms.py [--seed 3] [--threshold 0.4] [--output build/nms.png]
"""

from __future__ import annotations

import argparse
import pathlib
from dataclasses import dataclass
from typing import Any

import cv2
import numpy as np

from halvex import ops
from halvex.preprocessing import kestril

Array = np.ndarray[Any, Any]
SIZE = (640, 420)  # width, height of a panel
KEPT, SUPPRESSED, ALL = (60, 180, 60), (50, 50, 220), (200, 140, 40)  # BGR


@dataclass
class Scene:
    detections: Array  # (n, 5) ORVA boxes
    scores: Array  # (n,)
    kept: Array  # indices kept by NMS, best first
    suppressed_by: dict[int, tuple[int, float]]  # suppressed box -> (kept box, their IoU)


def detections(seed: int, objects: int = 7) -> tuple[Array, Array]:
    """Several noisy detections per object, plus a few stray ones."""
    rng = np.random.default_rng(seed)
    width, height = SIZE
    truth = np.column_stack(
        [
            rng.uniform(70, width - 70, objects),
            rng.uniform(70, height - 70, objects),
            rng.uniform(50, 120, objects),
            rng.uniform(25, 60, objects),
            rng.uniform(-np.pi / 2, np.pi / 2, objects),
        ]
    )
    copies = rng.integers(3, 7, objects)
    boxes = np.repeat(truth, copies, axis=0)
    boxes[:, :2] += rng.normal(0, 4.0, (len(boxes), 2))
    boxes[:, 2:4] *= rng.uniform(0.85, 1.15, (len(boxes), 2))
    boxes[:, 4] += rng.normal(0, 0.08, len(boxes))
    strays = np.column_stack(
        [
            rng.uniform(40, width - 40, 3),
            rng.uniform(40, height - 40, 3),
            rng.uniform(20, 50, 3),
            rng.uniform(20, 50, 3),
            rng.uniform(-np.pi, np.pi, 3),
        ]
    )
    boxes = np.concatenate([boxes, strays])
    scores = np.round(rng.uniform(0.3, 1.0, len(boxes)), 2)
    return boxes, scores


def run(seed: int, threshold: float = 0.4) -> Scene:
    boxes, scores = detections(seed)
    kept = ops.nms(boxes, scores, threshold)
    # Which kept box suppressed each of the others: the best-scoring kept box
    # (the first in visiting order) whose IoU with it exceeds the threshold.
    iou = ops.box_iou(boxes, boxes[kept])
    suppressed_by = {}
    for box in sorted(set(range(len(boxes))) - set(kept.tolist())):
        over = np.flatnonzero(iou[box] > threshold)
        suppressed_by[box] = (int(kept[over[0]]), float(iou[box, over[0]]))
    return Scene(boxes, scores, kept, suppressed_by)


def outline(image: Array, box: Array, color: tuple[int, int, int], thickness: int) -> None:
    corners = kestril.orva_to_box_corners(box[np.newaxis])[0]
    cv2.polylines(image, [np.round(corners * 16).astype(np.int32)], True, color, thickness, cv2.LINE_AA, shift=4)


def label(image: Array, text: str, at: Array, color: tuple[int, int, int]) -> None:
    x, y = (int(v) for v in np.round(at))
    cv2.putText(image, text, (x, y), cv2.FONT_HERSHEY_SIMPLEX, 0.42, color, 1, cv2.LINE_AA)


def draw(scene: Scene, threshold: float) -> Array:
    width, height = SIZE
    before = np.full((height, width, 3), 255, np.uint8)
    after = before.copy()
    for box in scene.detections:
        outline(before, box, ALL, 1)
    for box in scene.suppressed_by:
        outline(after, scene.detections[box], SUPPRESSED, 1)
    for box in scene.kept:
        outline(after, scene.detections[box], KEPT, 2)
        label(after, f"{scene.scores[box]:.2f}", scene.detections[box, :2] + [-12, 4], KEPT)
    # The IoU beside a few suppressed boxes, one per kept box at most.
    written = set()
    for box, (by, iou) in scene.suppressed_by.items():
        if by in written:
            continue
        written.add(by)
        corners = kestril.orva_to_box_corners(scene.detections[box][np.newaxis])[0]
        corner = corners[np.argmax(corners[:, 0])]
        label(after, f"IoU {iou:.2f}", corner + [4, 0], SUPPRESSED)
    cv2.putText(before, f"{len(scene.detections)} detections", (10, 22), cv2.FONT_HERSHEY_SIMPLEX, 0.6,
                (0, 0, 0), 1, cv2.LINE_AA)
    cv2.putText(after, f"nms at IoU > {threshold:g}: {len(scene.kept)} kept", (10, 22),
                cv2.FONT_HERSHEY_SIMPLEX, 0.6, (0, 0, 0), 1, cv2.LINE_AA)
    gap = np.full((height, 8, 3), 128, np.uint8)
    return np.hstack([before, gap, after])


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=3, help="seed of the scene")
    parser.add_argument("--threshold", type=float, default=0.4, help="IoU above which a box is suppressed")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("build/nms.png"))
    arguments = parser.parse_args(argv)
    output: pathlib.Path = arguments.output
    scene = run(arguments.seed, arguments.threshold)
    output.parent.mkdir(parents=True, exist_ok=True)
    if not cv2.imwrite(str(output), draw(scene, arguments.threshold)):
        raise SystemExit(f"could not write {output}")
    print(output)
    return output


if __name__ == "__main__":
    main()
