"""Split large images with DOTA labels into labelled patches, on one machine or a Dask cluster.

From the command line::

    python -m halvex.split IMAGES LABELS OUT --tile 1024 --overlap 200 --min-iof 0.7

From Python, ``split_dataset(images, labels, out, tile=..., ...)`` does the same
and returns a ``SplitSummary``.  The pieces are usable on their own: the window
layout (``window_grid``), the assignment of objects to windows (``assign``,
exact IoF of each object's fitted rectangle through ``halvex.ops``) and the
label formats.  OpenCV and Dask come with the extra ``halvex[split]``.
"""

from halvex.split.labels import (
    Objects,
    SplitError,
    format_dota,
    format_yolo_obb,
    parse_dota,
    read_dota,
)
from halvex.split.layout import Assignment, assign, patch_outlines, window_grid, window_starts
from halvex.split.runner import (
    ImageJob,
    ImageResult,
    Settings,
    SplitSummary,
    split_dataset,
    split_image,
    write_atomically,
)

__all__ = [
    "Assignment",
    "ImageJob",
    "ImageResult",
    "Objects",
    "Settings",
    "SplitError",
    "SplitSummary",
    "assign",
    "format_dota",
    "format_yolo_obb",
    "parse_dota",
    "patch_outlines",
    "read_dota",
    "split_dataset",
    "split_image",
    "window_grid",
    "window_starts",
    "write_atomically",
]
