"""Where the patches of an image lie, which objects go into each, and with what outline."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from halvex import ops
from halvex.preprocessing import kestril

Array = np.ndarray[Any, Any]


def window_starts(size: int, tile: int, overlap: int) -> list[int]:
    """Left (or top) edges of the windows along an axis of ``size`` pixels.

    Windows advance by ``tile - overlap``; the last one is moved inward so that
    it ends at the border, which gives it at least the requested overlap with
    its neighbour.  An axis no longer than a tile has one window, at 0.
    """
    if size <= tile:
        return [0]
    starts = list(range(0, size - tile, tile - overlap))
    starts.append(size - tile)
    return starts


def window_grid(width: int, height: int, tile: int, overlap: int) -> Array:
    """The windows of an image as rows ``(x0, y0, x1, y1)`` (int64), row by row.

    A window is the part of the image its patch shows: ``tile`` pixels wide and
    high, or the whole axis of an image smaller than a tile (its patch is then
    padded with zeros to the tile size).
    """
    xs = np.asarray(window_starts(width, tile, overlap), dtype=np.int64)
    ys = np.asarray(window_starts(height, tile, overlap), dtype=np.int64)
    grid_x, grid_y = np.meshgrid(xs, ys)
    x0, y0 = grid_x.ravel(), grid_y.ravel()
    return np.stack(
        [x0, y0, np.minimum(x0 + tile, width), np.minimum(y0 + tile, height)], axis=1
    )


def window_boxes(windows: Array) -> Array:
    """Windows ``(x0, y0, x1, y1)`` as ORVA boxes (float64, rotation 0)."""
    windows = np.asarray(windows, dtype=np.float64).reshape(-1, 4)
    boxes = np.zeros((len(windows), 5))
    boxes[:, 0] = (windows[:, 0] + windows[:, 2]) / 2
    boxes[:, 1] = (windows[:, 1] + windows[:, 3]) / 2
    boxes[:, 2] = windows[:, 2] - windows[:, 0]
    boxes[:, 3] = windows[:, 3] - windows[:, 1]
    return boxes


@dataclass(frozen=True)
class Assignment:
    """Which objects go into which windows.

    One entry per (window, object) placement, ordered by window, then object.
    ``inside`` tells whether all four points of the object lie in the window
    (the object is then written with them); otherwise the object is cut.
    """

    window: Array  # (p,) int64
    object: Array  # (p,) int64
    iof: Array  # (p,) float64: share of the object's rectangle inside the window
    inside: Array  # (p,) bool
    rectangles: Array  # (n, 5) float64: the ORVA rectangle fitted to each object


def assign(
    polygons: Array, windows: Array, min_iof: float, *, threads: int | None = None
) -> Assignment:
    """Place each object in the windows that hold at least ``min_iof`` of it.

    An object's quadrilateral ``polygons`` (n, 8) is fitted with its minimum-area
    rectangle; the object goes into every window that covers a share >= ``min_iof``
    (0 < min_iof <= 1) of that rectangle.  Zero-area objects go nowhere.
    """
    polygons = np.asarray(polygons, dtype=np.float64).reshape(-1, 8)
    windows = np.asarray(windows, dtype=np.int64).reshape(-1, 4)
    if len(polygons) == 0 or len(windows) == 0:
        empty = np.zeros(0, dtype=np.int64)
        return Assignment(
            empty, empty, np.zeros(0), np.zeros(0, dtype=bool), np.zeros((len(polygons), 5))
        )
    rectangles = ops.box_convert(polygons, "poly", "orva")
    # box_iou_pairs lists the values above its threshold; the largest float
    # below min_iof makes that ">= min_iof".
    objects, placed_in, iof = ops.box_iou_pairs(
        rectangles,
        window_boxes(windows),
        mode="iof",
        min_value=float(np.nextafter(min_iof, 0.0)),
        threads=threads,
    )
    by_window = np.argsort(placed_in, kind="stable")
    objects, placed_in, iof = objects[by_window], placed_in[by_window], iof[by_window]

    points = polygons[objects].reshape(-1, 4, 2)
    lower = windows[placed_in, np.newaxis, :2]
    upper = windows[placed_in, np.newaxis, 2:]
    inside = ((points >= lower) & (points <= upper)).all(axis=(1, 2))
    return Assignment(placed_in, objects, iof, inside, rectangles)


def patch_outlines(polygons: Array, windows: Array, assignment: Assignment) -> Array:
    """The outline (p, 8) each placement is written with, in its patch's pixels.

    An object inside its window keeps its four points, shifted by the window's
    origin.  A cut object is written as its rectangle clipped at the window's
    border with its orientation kept (``kestril.clipper``): the smallest
    rectangle of that orientation around the part inside the window.  Unless
    the object lies parallel to the window, that part is not a rectangle, and
    the clipped rectangle's corners stick out of the window a little.
    """
    polygons = np.asarray(polygons, dtype=np.float64).reshape(-1, 8)
    windows = np.asarray(windows, dtype=np.int64).reshape(-1, 4)
    origin = windows[assignment.window, :2].astype(np.float64)
    shifted = polygons[assignment.object].reshape(-1, 4, 2) - origin[:, np.newaxis]
    outlines = shifted.reshape(-1, 8)

    cut = np.flatnonzero(~assignment.inside)
    if len(cut):
        corners = kestril.orva_to_box_corners(assignment.rectangles[assignment.object[cut]])
        corners = corners - origin[cut, np.newaxis]
        extent = windows[assignment.window[cut], 2:] - windows[assignment.window[cut], :2]
        for row, box_corners, (width, height) in zip(cut, corners, extent):
            # clipper keeps points up to image_size - 1: the window's far border.
            clipped, _ = kestril.clipper(box_corners, np.array([width + 1, height + 1]))
            if clipped is not None:  # None: only touches the window, so its iof cannot pass
                outlines[row] = clipped.reshape(8)
    return outlines


def unplaced(count: int, assignment: Assignment) -> Array:
    """Indices of the objects that went into no window."""
    placed = np.zeros(count, dtype=bool)
    placed[assignment.object] = True
    return np.flatnonzero(~placed)
