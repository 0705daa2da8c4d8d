"""Split a dataset: pair images with labels, cut each image into patches, here or on Dask."""

from __future__ import annotations

import importlib
import json
import logging
import os
import pathlib
import sys
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from halvex.split.labels import (
    CUT_DIFFICULTY,
    Objects,
    SplitError,
    format_dota,
    format_yolo_obb,
    read_dota,
)
from halvex.split.layout import Assignment, assign, patch_outlines, unplaced, window_grid

try:
    import cv2
except ModuleNotFoundError as missing:
    missing.add_note("halvex.split needs OpenCV and Dask: pip install 'halvex[split]'")
    raise

Array = np.ndarray[Any, Any]
Format = Literal["dota", "yolo-obb"]

FORMATS: tuple[Format, ...] = ("dota", "yolo-obb")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".webp")
RECORD = "split.json"
CLASSES = "classes.txt"
# One small file per finished image (its size), so a rerun can skip the image without decoding it.
DONE = ".split-done"
PARTIAL_SUFFIX = ".part"

log = logging.getLogger("halvex.split")


# ---- writing files whole or not at all -----------------------------------------------


def write_atomically(path: pathlib.Path, data: bytes) -> None:
    """Write ``data`` to ``path`` so that ``path`` never exists half-written.

    The data goes to a hidden temporary file in the same directory, which is
    renamed over ``path`` once complete: a reader (or a rerun after a crash or a
    kill) sees the old file or the whole new one.
    """
    # Unique per writer, also across the machines of a cluster sharing the directory.
    token = f"{os.getpid()}-{uuid.uuid4().hex[:12]}"
    temporary = path.with_name(f".{path.name}.{token}{PARTIAL_SUFFIX}")
    try:
        with open(temporary, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def remove_partial_files(directory: pathlib.Path) -> int:
    """Remove the temporary files an interrupted run left in ``directory``; how many."""
    removed = 0
    for path in directory.glob(f".*{PARTIAL_SUFFIX}"):
        path.unlink(missing_ok=True)
        removed += 1
    return removed


# ---- one image -------------------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    """What a split does to every image; the first four are recorded in ``OUT/split.json``."""

    tile: int = 1024
    overlap: int = 200
    min_iof: float = 0.7
    format: Format = "dota"
    classes: tuple[str, ...] = ()  # the class of index k (YOLO-OBB)
    skip_empty: bool = False
    overwrite: bool = False
    threads: int | None = 1  # for halvex.ops; images already run side by side

    def record(self) -> dict[str, Any]:
        record: dict[str, Any] = {
            "tile": self.tile,
            "overlap": self.overlap,
            "min_iof": self.min_iof,
            "format": self.format,
        }
        if self.format == "yolo-obb":
            record["classes"] = list(self.classes)
        return record


@dataclass(frozen=True)
class ImageJob:
    """An image to split and its objects, as a task carries them to a worker."""

    image: str
    stem: str
    objects: Objects


@dataclass(frozen=True)
class ImageResult:
    """What splitting one image did."""

    stem: str
    patches: int  # patches of the image (those skipped as empty included)
    written: int
    already_complete: int
    skipped_empty: int
    placements: int  # object lines in the image's patches
    cut: int  # of those, objects cut at a window border
    unplaced: int  # objects in no patch


def patch_name(stem: str, window: Array) -> str:
    return f"{stem}__{int(window[0])}_{int(window[1])}"


def read_image(path: str) -> Array:
    """The image as OpenCV reads it, unchanged (bit depth, channels, no EXIF turn, as labelled)."""
    image: Array | None = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    if image is None:
        raise SplitError(
            f"{path}: cannot be read as an image (missing, unreadable or not decodable)"
        )
    return image


def _read_done(path: pathlib.Path) -> tuple[int, int] | None:
    try:
        record = json.loads(path.read_text())
        return int(record["width"]), int(record["height"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def _crop(image: Array, window: Array, tile: int) -> Array:
    """The window's pixels, padded with zeros to tile x tile where the image is smaller."""
    x0, y0, x1, y1 = (int(value) for value in window)
    crop = image[y0:y1, x0:x1]
    if crop.shape[:2] == (tile, tile):
        return crop
    padded = np.zeros((tile, tile, *image.shape[2:]), dtype=image.dtype)
    padded[: y1 - y0, : x1 - x0] = crop
    return padded


def _encode_png(patch: Array, source: str) -> bytes:
    problem = "the encoder refused them"
    try:
        ok, encoded = cv2.imencode(".png", patch)
    except cv2.error as error:
        ok, problem = False, str(error).strip()
    if not ok:
        channels = patch.shape[2] if patch.ndim == 3 else 1
        raise SplitError(
            f"{source}: cannot write its {patch.dtype} pixels with {channels} channels as PNG "
            f"patches ({problem})"
        )
    return bytes(encoded)


@dataclass
class _Plan:
    windows: Array
    assignment: Assignment
    starts: Array  # placements of window k: starts[k]:starts[k + 1]
    names: list[str]

    def count(self, window: int) -> int:
        return int(self.starts[window + 1] - self.starts[window])


def _plan(job: ImageJob, size: tuple[int, int], settings: Settings) -> _Plan:
    windows = window_grid(size[0], size[1], settings.tile, settings.overlap)
    assignment = assign(job.objects.polygons, windows, settings.min_iof, threads=settings.threads)
    starts = np.searchsorted(assignment.window, np.arange(len(windows) + 1))
    return _Plan(windows, assignment, starts, [patch_name(job.stem, window) for window in windows])


def _label_text(
    job: ImageJob, plan: _Plan, outlines: Array, window: int, settings: Settings
) -> str:
    placements = slice(plan.starts[window], plan.starts[window + 1])
    objects = plan.assignment.object[placements]
    categories = [job.objects.categories[k] for k in objects]
    if settings.format == "yolo-obb":
        index = {name: k for k, name in enumerate(settings.classes)}
        indices = [index[name] for name in categories]
        return format_yolo_obb(outlines[placements], indices, settings.tile)
    difficult = np.where(
        plan.assignment.inside[placements], job.objects.difficult[objects], CUT_DIFFICULTY
    )
    return format_dota(outlines[placements], categories, difficult.tolist())


def split_image(job: ImageJob, settings: Settings, out: str) -> ImageResult:
    """Write the patches of one image and their labels to ``out``/images and ``out``/labels.

    Patches whose image and label files both exist are left alone unless
    ``settings.overwrite``; an image whose patches are all there is not decoded.
    """
    out_path = pathlib.Path(out)
    done = out_path / DONE / f"{job.stem}.json"
    size = None if settings.overwrite else _read_done(done)
    image = None
    if size is None:
        image = read_image(job.image)
        size = (image.shape[1], image.shape[0])
    plan = _plan(job, size, settings)

    def files(window: int) -> tuple[pathlib.Path, pathlib.Path]:
        name = plan.names[window]
        return out_path / "images" / f"{name}.png", out_path / "labels" / f"{name}.txt"

    def wanted(window: int) -> bool:
        return not (settings.skip_empty and plan.count(window) == 0)

    def complete(window: int) -> bool:
        return all(path.exists() for path in files(window))

    todo = [
        k for k in range(len(plan.windows)) if wanted(k) and (settings.overwrite or not complete(k))
    ]
    if todo and image is None:
        image = read_image(job.image)
        if (image.shape[1], image.shape[0]) != size:  # replaced since its patches were written
            size = (image.shape[1], image.shape[0])
            plan = _plan(job, size, settings)
            todo = [k for k in range(len(plan.windows)) if wanted(k)]

    if todo:
        assert image is not None
        outlines = patch_outlines(job.objects.polygons, plan.windows, plan.assignment)
        for window in todo:
            image_file, label_file = files(window)
            # The image first: a patch counts as complete once its label file exists.
            patch = _crop(image, plan.windows[window], settings.tile)
            write_atomically(image_file, _encode_png(patch, job.image))
            text = _label_text(job, plan, outlines, window, settings)
            write_atomically(label_file, text.encode())
    if image is not None:
        write_atomically(done, json.dumps({"width": size[0], "height": size[1]}).encode())

    wanted_count = sum(wanted(k) for k in range(len(plan.windows)))
    return ImageResult(
        stem=job.stem,
        patches=len(plan.windows),
        written=len(todo),
        already_complete=wanted_count - len(todo),
        skipped_empty=len(plan.windows) - wanted_count,
        placements=len(plan.assignment.object),
        cut=int((~plan.assignment.inside).sum()),
        unplaced=len(unplaced(len(job.objects), plan.assignment)),
    )


# ---- the dataset -----------------------------------------------------------------------


@dataclass
class SplitSummary:
    """What a split did, over all images."""

    images: int = 0
    patches: int = 0
    written: int = 0
    already_complete: int = 0
    skipped_empty: int = 0
    objects: int = 0
    placements: int = 0
    cut: int = 0
    unplaced: int = 0
    unlabelled_images: list[str] = field(default_factory=list)
    bad_lines: list[str] = field(default_factory=list)

    def add(self, result: ImageResult) -> None:
        self.images += 1
        self.patches += result.patches
        self.written += result.written
        self.already_complete += result.already_complete
        self.skipped_empty += result.skipped_empty
        self.placements += result.placements
        self.cut += result.cut
        self.unplaced += result.unplaced

    def describe(self) -> str:
        lines = [
            f"{self.images} images, {self.patches} patches: {self.written} written, "
            f"{self.already_complete} already complete, {self.skipped_empty} empty and skipped",
            f"{self.objects} objects: {self.placements} placed in patches ({self.cut} cut at a "
            f"border, difficulty {CUT_DIFFICULTY}), {self.unplaced} in no patch",
        ]
        if self.unlabelled_images:
            lines.append(
                f"{len(self.unlabelled_images)} images without a label file, split with no objects"
            )
        if self.bad_lines:
            lines.append(f"{len(self.bad_lines)} bad label lines skipped")
        return "\n".join(lines)


def pair_inputs(
    images: pathlib.Path, labels: pathlib.Path
) -> list[tuple[pathlib.Path, pathlib.Path | None]]:
    """Each image of ``images`` with its label file ``labels/<stem>.txt`` (None if it has none).

    A label file without an image, or two images with the same stem, is an error.
    """
    for directory in (images, labels):
        if not directory.is_dir():
            raise SplitError(f"{directory}: not a directory")
    by_stem: dict[str, pathlib.Path] = {}
    for path in sorted(images.iterdir()):
        if path.suffix.lower() in IMAGE_SUFFIXES and path.is_file():
            if path.stem in by_stem:
                raise SplitError(
                    f"{path} and {by_stem[path.stem]}: two images named {path.stem!r}; "
                    "their patches would collide"
                )
            by_stem[path.stem] = path
    label_files = {path.stem: path for path in sorted(labels.glob("*.txt")) if path.is_file()}
    orphans = sorted(set(label_files) - set(by_stem))
    if orphans:
        more = f" (and {len(orphans) - 1} more without an image)" if len(orphans) > 1 else ""
        suffixes = ", ".join(IMAGE_SUFFIXES)
        raise SplitError(
            f"{label_files[orphans[0]]}: no image {orphans[0]}.* ({suffixes}) in {images}{more}"
        )
    return [(path, label_files.get(stem)) for stem, path in by_stem.items()]


def prepare_output(out: pathlib.Path, settings: Settings) -> None:
    """Create ``out`` for this split, or check that it holds this same split.

    ``out/split.json`` records the settings a split's patches depend on; an
    output directory holding another split (or patches without a record) is
    refused, since its patches would mix with these.
    """
    record = settings.record()
    record_path = out / RECORD
    if out.exists() and not out.is_dir():
        raise SplitError(f"{out}: exists and is not a directory")
    if record_path.exists():
        try:
            recorded = json.loads(record_path.read_text())
            if not isinstance(recorded, dict):
                raise ValueError("not a JSON object")
        except ValueError as error:
            raise SplitError(f"{record_path}: not a split record ({error})") from None
        differences = [
            f"{key} {recorded.get(key)!r} there, {value!r} here"
            for key, value in record.items()
            if recorded.get(key) != value
        ]
        if differences:
            raise SplitError(
                f"{out} holds a split made with other settings ({'; '.join(differences)}); "
                "choose another output directory or remove it"
            )
    else:
        for sub in ("images", "labels"):
            if (out / sub).is_dir() and any((out / sub).iterdir()):
                raise SplitError(
                    f"{out / sub} holds files but {record_path} is missing: not a split of "
                    "halvex.split; choose another output directory or remove it"
                )
    for sub in ("images", "labels", DONE):
        (out / sub).mkdir(parents=True, exist_ok=True)
        remove_partial_files(out / sub)
    if not record_path.exists():
        write_atomically(record_path, (json.dumps(record, indent=2) + "\n").encode())
    if settings.format == "yolo-obb":
        write_atomically(out / CLASSES, "".join(f"{name}\n" for name in settings.classes).encode())


class ProgressBar:
    """A one-line progress bar on a terminal (stderr); nothing elsewhere."""

    def __init__(self, total: int, stream: Any = None) -> None:
        self.total, self.done, self.patches = total, 0, 0
        self.stream = stream if stream is not None else sys.stderr
        self.active = bool(getattr(self.stream, "isatty", lambda: False)())
        self.draw()

    def advance(self, result: ImageResult) -> None:
        self.done += 1
        self.patches += result.written
        self.draw()

    def draw(self) -> None:
        if not self.active:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        self.stream.write(
            f"\rsplit [{'#' * filled}{'.' * (width - filled)}] "
            f"{self.done}/{self.total} images, {self.patches} patches written"
        )
        self.stream.flush()

    def close(self) -> None:
        if self.active:
            self.stream.write("\n")
            self.stream.flush()


def _run_on_dask(
    jobs: Sequence[ImageJob],
    settings: Settings,
    out: str,
    scheduler: str | None,
    workers: int,
    on_result: Callable[[ImageResult], None],
) -> None:
    """Each image as one task on a Dask cluster: the local one made here, or ``scheduler``'s."""
    try:
        distributed: Any = importlib.import_module("distributed")
    except ModuleNotFoundError as missing:
        missing.add_note("halvex.split runs on Dask: pip install 'halvex[split]', or workers=0")
        raise
    cluster = None
    if scheduler:
        client = distributed.Client(scheduler)
    else:
        # One thread per worker process: a worker holds one image (and its patches) at a time.
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = distributed.Client(cluster)
    try:
        futures = client.map(split_image, jobs, settings=settings, out=out, pure=False)
        try:
            for future in distributed.as_completed(futures):
                on_result(future.result())
        finally:
            client.cancel(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def default_workers() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def split_dataset(
    images: str | os.PathLike[str],
    labels: str | os.PathLike[str],
    out: str | os.PathLike[str],
    *,
    tile: int = 1024,
    overlap: int = 200,
    min_iof: float = 0.7,
    format: Format = "dota",
    skip_empty: bool = False,
    overwrite: bool = False,
    skip_bad_lines: bool = False,
    workers: int | None = None,
    scheduler: str | None = None,
    progress: bool = False,
) -> SplitSummary:
    """Split the images of ``images`` and their DOTA labels in ``labels`` into patches in ``out``.

    See ``python -m halvex.split --help`` for the options.  ``workers=None``
    starts a local Dask cluster with a worker process per core, ``workers=0``
    splits in this process without Dask, and ``scheduler`` (an address) uses a
    running cluster whose workers see the same paths.  Raises ``SplitError``
    for bad input or a foreign ``out``; warnings (unlabelled images, skipped
    label lines) go to the ``halvex.split`` logger and into the summary.
    """
    if isinstance(tile, bool) or not isinstance(tile, int) or tile < 1:
        raise SplitError(f"tile must be a positive number of pixels, not {tile!r}")
    if isinstance(overlap, bool) or not isinstance(overlap, int) or not 0 <= overlap < tile:
        raise SplitError(
            f"overlap must be a whole number of pixels in [0, tile = {tile}), not {overlap!r}"
        )
    if not 0.0 < min_iof <= 1.0:
        raise SplitError(f"min_iof must lie in (0, 1], not {min_iof!r}")
    if format not in FORMATS:
        raise SplitError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if workers is not None and workers < 0:
        raise SplitError(f"workers must be >= 0, not {workers}")

    images_dir, labels_dir, out_dir = pathlib.Path(images), pathlib.Path(labels), pathlib.Path(out)
    summary = SplitSummary()
    # All labels are read (and checked) before anything is written.
    jobs: list[ImageJob] = []
    for image, label in pair_inputs(images_dir, labels_dir):
        if label is None:
            missing = labels_dir / f"{image.stem}.txt"
            log.warning("%s: no label file %s; split with no objects", image, missing)
            summary.unlabelled_images.append(str(image))
            objects = Objects.empty()
        else:
            objects, skipped = read_dota(str(label), skip_bad_lines=skip_bad_lines)
            for message in skipped:
                log.warning("skipped %s", message)
            summary.bad_lines.extend(skipped)
        summary.objects += len(objects)
        jobs.append(ImageJob(str(image), image.stem, objects))

    classes = tuple(sorted({name for job in jobs for name in job.objects.categories}))
    settings = Settings(
        tile=tile,
        overlap=overlap,
        min_iof=float(min_iof),
        format=format,
        classes=classes if format == "yolo-obb" else (),
        skip_empty=skip_empty,
        overwrite=overwrite,
    )
    prepare_output(out_dir, settings)

    bar = ProgressBar(len(jobs)) if progress else None

    def on_result(result: ImageResult) -> None:
        summary.add(result)
        if bar is not None:
            bar.advance(result)

    try:
        if workers == 0 and not scheduler:
            for job in jobs:
                on_result(split_image(job, settings, str(out_dir)))
        elif jobs:
            count = workers if workers is not None else default_workers()
            _run_on_dask(jobs, settings, str(out_dir), scheduler, count, on_result)
    finally:
        if bar is not None:
            bar.close()
    return summary
