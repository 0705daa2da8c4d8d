"""DOTA label files in, DOTA or YOLO-OBB label files out."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

Array = np.ndarray[Any, Any]

FIELDS = "x1 y1 x2 y2 x3 y3 x4 y4 category difficult"
HEADER_PREFIXES = ("imagesource:", "gsd:")
CUT_DIFFICULTY = 2


class SplitError(ValueError):
    """Input or output the splitter cannot work with; the message names the file (and line)."""


@dataclass(frozen=True)
class Objects:
    """The objects of one image: quadrilaterals (n, 8) float64, categories, difficulties."""

    polygons: Array
    categories: tuple[str, ...]
    difficult: Array  # (n,) int64

    @staticmethod
    def empty() -> Objects:
        return Objects(np.zeros((0, 8)), (), np.zeros(0, dtype=np.int64))

    def __len__(self) -> int:
        return len(self.categories)


def _problem(fields: list[str]) -> str | None:
    """What is wrong with the fields of an object line, or None."""
    if len(fields) != 10:
        return f"expected 10 fields ({FIELDS}), found {len(fields)}"
    for position, text in enumerate(fields[:8]):
        try:
            value = float(text)
        except ValueError:
            return f"coordinate {position + 1} ({text!r}) is not a number"
        if not math.isfinite(value):
            return f"coordinate {position + 1} ({text!r}) is not finite"
    try:
        difficult = int(fields[9])
    except ValueError:
        return f"difficult ({fields[9]!r}) is not an integer"
    if difficult < 0:
        return f"difficult ({fields[9]!r}) is negative"
    return None


def parse_dota(
    text: str, source: str, *, skip_bad_lines: bool = False
) -> tuple[Objects, list[str]]:
    """Objects of a DOTA v1 label text; ``source`` names the file in messages.

    Optional ``imagesource:`` / ``gsd:`` lines may open the file; after them
    every non-blank line is an object, ``x1 y1 ... x4 y4 category difficult``.
    A bad line raises ``SplitError`` naming ``source`` and the line number, or,
    with ``skip_bad_lines``, is left out and reported in the returned list of
    messages (same location).
    """
    coordinates: list[float] = []
    categories: list[str] = []
    difficult: list[int] = []
    skipped: list[str] = []
    in_header = True
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped:
            continue
        if in_header and stripped.startswith(HEADER_PREFIXES):
            continue
        in_header = False
        fields = stripped.split()
        problem = _problem(fields)
        if problem is not None:
            message = f"{source}:{number}: {problem}: {stripped[:120]!r}"
            if not skip_bad_lines:
                raise SplitError(message)
            skipped.append(message)
            continue
        coordinates.extend(float(text) for text in fields[:8])
        categories.append(fields[8])
        difficult.append(int(fields[9]))
    objects = Objects(
        np.array(coordinates, dtype=np.float64).reshape(-1, 8),
        tuple(categories),
        np.array(difficult, dtype=np.int64),
    )
    return objects, skipped


def read_dota(path: str, *, skip_bad_lines: bool = False) -> tuple[Objects, list[str]]:
    """``parse_dota`` of a label file (UTF-8, a byte-order mark allowed)."""
    try:
        with open(path, encoding="utf-8-sig") as file:
            text = file.read()
    except UnicodeDecodeError as error:
        problem = f"{error.reason} at byte {error.start}"
        raise SplitError(f"{path}: not a UTF-8 text file ({problem})") from None
    return parse_dota(text, path, skip_bad_lines=skip_bad_lines)


def _number(value: float) -> str:
    """``value`` to 12 significant digits, integers without a point.

    Twelve digits keep every coordinate of a label to far below a millionth of
    a pixel while dropping the binary noise of a shift (202.9 - 192 is
    10.900000000000006 in floating point and written 10.9).
    """
    return f"{float(value) + 0.0:.12g}"  # + 0.0 turns -0.0 into 0.0


def format_dota(outlines: Array, categories: Sequence[str], difficult: Sequence[int]) -> str:
    """DOTA label text: one ``x1 y1 ... x4 y4 category difficult`` line per outline."""
    return "".join(
        " ".join(map(_number, outline)) + f" {category} {level}\n"
        for outline, category, level in zip(np.asarray(outlines).tolist(), categories, difficult)
    )


def format_yolo_obb(outlines: Array, class_indices: Sequence[int], tile: int) -> str:
    """YOLO-OBB label text: ``class x1 y1 ... x4 y4`` with the points divided by the patch size.

    Points outside the patch (the corners of a clipped rectangle can stick out)
    are moved onto its border: YOLO-OBB readers refuse coordinates outside [0, 1].
    """
    normalised = np.clip(np.asarray(outlines, dtype=np.float64) / tile, 0.0, 1.0)
    return "".join(
        f"{index} " + " ".join(map(_number, outline)) + "\n"
        for index, outline in zip(class_indices, normalised.tolist())
    )
