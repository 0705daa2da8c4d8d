"""halvex.split: windows, object placement, label files, resumable output, bad input, Dask."""

import io
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest
import shapely

import halvex
from halvex.split import __main__ as cli
from halvex.split import ImageResult, SplitError, read_dota, split_dataset, window_starts
from halvex.split.runner import ProgressBar

TILE, OVERLAP = 128, 32


# ---- synthetic datasets ----------------------------------------------------------------


def rectangle(cx, cy, width, height, angle):
    turn = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * [width / 2, height / 2]
    return corners @ turn.T + [cx, cy]


def random_objects(rng, width, height, count):
    """DOTA-like quadrilaterals: rotated rectangles with jittered corners, one decimal."""
    objects = []
    for _ in range(count):
        corners = rectangle(
            *rng.uniform(0, [width, height]), *rng.uniform(6, 60, 2), rng.uniform(-np.pi, np.pi)
        )
        objects.append(np.round(corners + rng.uniform(-1, 1, corners.shape), 1).ravel())
    return objects


def write_dataset(root, sizes, objects_per_image=None, seed=0):
    """Images of noise with labels; object k of an image has category 'c<k>' so it can be found."""
    rng = np.random.default_rng(seed)
    (root / "images").mkdir(parents=True)
    (root / "labels").mkdir()
    for index, (width, height) in enumerate(sizes):
        image = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
        cv2.imwrite(str(root / "images" / f"im{index}.png"), image)
        objects = (objects_per_image or {}).get(index)
        if objects is None:
            objects = random_objects(rng, width, height, 25)
        lines = ["imagesource:synthetic", "gsd:0.3"]
        lines += [" ".join(f"{v:g}" for v in points) + f" c{k} {k % 2}" for k, points in enumerate(objects)]
        (root / "labels" / f"im{index}.txt").write_text("\n".join(lines) + "\n")
    return root / "images", root / "labels"


def read_labels(path):
    rows = [line.split() for line in path.read_text().splitlines() if ":" not in line]
    return {row[8]: (np.array(row[:8], dtype=float), int(row[9])) for row in rows}


def tree(root):
    """Every file under root (hidden ones included) and its bytes."""
    return {
        str(path.relative_to(root)): path.read_bytes() for path in sorted(root.rglob("*")) if path.is_file()
    }


def split_command(*arguments):
    environment = dict(os.environ, PYTHONPATH=str(pathlib.Path(halvex.__file__).resolve().parents[1]))
    environment.pop("DASK_SCHEDULER_ADDRESS", None)
    return [sys.executable, "-m", "halvex.split", *map(str, arguments)], environment


# ---- windows ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "size, tile, overlap",
    [(300, 128, 32), (128, 128, 32), (100, 128, 32), (129, 128, 0), (257, 128, 127), (10000, 1024, 200)],
)
def test_windows_cover_the_axis_with_the_overlap(size, tile, overlap):
    starts = window_starts(size, tile, overlap)
    if size <= tile:
        assert starts == [0]
        return
    assert starts[0] == 0 and starts[-1] + tile == size  # the last one ends at the border
    gaps = np.diff(starts)
    assert (gaps == tile - overlap)[:-1].all()  # all but the last advance by tile - overlap
    assert 0 < gaps[-1] <= tile - overlap  # the last overlaps at least as much


def test_small_image_gives_one_zero_padded_patch(tmp_path):
    images, labels = write_dataset(tmp_path, [(100, 80)], {0: [[10, 10, 40, 10, 40, 30, 10, 30]]})
    split_dataset(images, labels, tmp_path / "out", tile=TILE, overlap=OVERLAP, workers=0)
    patch = cv2.imread(str(tmp_path / "out/images/im0__0_0.png"), cv2.IMREAD_UNCHANGED)
    source = cv2.imread(str(images / "im0.png"), cv2.IMREAD_UNCHANGED)
    assert patch.shape == (TILE, TILE, 3)
    np.testing.assert_array_equal(patch[:80, :100], source)
    assert not patch[80:].any() and not patch[:, 100:].any()
    assert read_labels(tmp_path / "out/labels/im0__0_0.txt")["c0"][1] == 0


# ---- placement -------------------------------------------------------------------------


def test_objects_inside_cut_above_and_below_the_threshold(tmp_path):
    # Windows along each axis of a 300 px image: [0, 128], [96, 224], [172, 300].
    objects = {
        0: [
            [10, 10, 40, 10, 40, 30, 10, 30],  # inside (0, 0) only
            [100.5, 20, 124, 22.25, 122, 50, 101, 48],  # inside the overlap of (0, 0) and (96, 0)
            [100, 200, 160, 200, 160, 210, 100, 210],  # 28/60 in x0 = 0: absent there
            [200, 140, 230, 140, 230, 150, 200, 150],  # 24/30 in x0 = 96: cut, present
        ]
    }
    images, labels = write_dataset(tmp_path, [(300, 300)], objects)
    split_dataset(images, labels, tmp_path / "out", tile=TILE, overlap=OVERLAP, workers=0)
    patches = {
        path.stem.split("__")[1]: read_labels(path) for path in (tmp_path / "out/labels").glob("*.txt")
    }
    assert len(patches) == 9
    where = {name: {window for window, labels in patches.items() if name in labels} for name in ("c0", "c1", "c2", "c3")}
    assert where == {
        "c0": {"0_0"},
        "c1": {"0_0", "96_0"},
        "c2": {"96_96", "96_172"},
        "c3": {"96_96", "172_96"},
    }
    # Inside: the original points, shifted, with their own difficulty.
    for name, window in [("c0", "0_0"), ("c1", "0_0"), ("c1", "96_0"), ("c2", "96_96"), ("c2", "96_172"), ("c3", "172_96")]:
        k = int(name[1:])
        x0, y0 = map(int, window.split("_"))
        points, difficult = patches[window][name]
        np.testing.assert_allclose(points, np.array(objects[0][k]) - [x0, y0] * 4, rtol=0, atol=1e-9)
        assert difficult == k % 2
    # Cut: the part inside the window, difficulty 2.
    points, difficult = patches["96_96"]["c3"]
    assert difficult == 2
    np.testing.assert_allclose(
        np.sort(points.reshape(4, 2), axis=0), [[104, 44], [104, 44], [128, 54], [128, 54]], atol=1e-9
    )


def fitted_rectangle(points):
    """The oracle's rectangle: OpenCV's minimum-area fit (float32)."""
    return shapely.Polygon(cv2.boxPoints(cv2.minAreaRect(points.reshape(4, 2).astype(np.float32))))


def assert_clipped_rectangle(written, rectangle_, window, origin):
    """A cut object: the smallest rectangle parallel to its own around its part in the window."""
    corners = written.reshape(4, 2) + origin
    sides = np.roll(corners, -1, axis=0) - corners
    lengths = np.linalg.norm(sides, axis=1)
    scale = lengths.max()
    np.testing.assert_allclose(lengths, lengths[[2, 3, 0, 1]], atol=1e-9 * scale)  # opposite sides
    assert abs(sides[0] @ sides[1]) <= 1e-9 * scale**2  # a right angle
    # Parallel to the fitted rectangle (OpenCV fits in float32).
    fitted = np.asarray(rectangle_.exterior.coords)[:4]
    fitted_sides = np.roll(fitted, -1, axis=0) - fitted
    direction = sides[0] / lengths[0]
    assert np.abs(fitted_sides @ direction).min() <= 1e-3 * np.linalg.norm(fitted_sides, axis=1).max()
    # The bounds of the visible part in that frame.
    part = np.asarray(rectangle_.intersection(window).exterior.coords)
    frame = np.array([direction, [-direction[1], direction[0]]])
    expected = np.ptp(part @ frame.T, axis=0).prod()
    assert abs(lengths[0] * lengths[1] - expected) <= 1e-3 * rectangle_.area


def test_placement_matches_shapely_and_opencv(tmp_path):
    sizes = [(300, 300), (333, 250)]
    images, labels = write_dataset(tmp_path, sizes, seed=3)
    split_dataset(images, labels, tmp_path / "out", tile=TILE, overlap=OVERLAP, min_iof=0.6, workers=0)
    checked_cut = 0
    for index, (width, height) in enumerate(sizes):
        objects = read_labels(labels / f"im{index}.txt")
        for x0 in window_starts(width, TILE, OVERLAP):
            for y0 in window_starts(height, TILE, OVERLAP):
                window = shapely.box(x0, y0, x0 + TILE, y0 + TILE)
                patch = read_labels(tmp_path / "out/labels" / f"im{index}__{x0}_{y0}.txt")
                for name, (points, difficult) in objects.items():
                    rectangle_ = fitted_rectangle(points)
                    iof = rectangle_.intersection(window).area / rectangle_.area
                    if abs(iof - 0.6) < 1e-3:
                        continue  # OpenCV's float32 fit decides these by chance
                    assert (name in patch) == (iof >= 0.6), (index, x0, y0, name, iof)
                    if name not in patch:
                        continue
                    written, written_difficult = patch[name]
                    shifted = points - [x0, y0] * 4
                    if shapely.Polygon(points.reshape(4, 2)).within(window):
                        np.testing.assert_allclose(written, shifted, rtol=0, atol=1e-9)
                        assert written_difficult == difficult
                        continue
                    checked_cut += 1
                    assert written_difficult == 2
                    assert_clipped_rectangle(written, rectangle_, window, (x0, y0))
    assert checked_cut > 10


def test_yolo_obb_labels_are_normalised_class_indices(tmp_path):
    images, labels = write_dataset(tmp_path, [(300, 300)], seed=5)
    split_dataset(images, labels, tmp_path / "dota", tile=TILE, overlap=OVERLAP, workers=0)
    split_dataset(images, labels, tmp_path / "yolo", tile=TILE, overlap=OVERLAP, format="yolo-obb", workers=0)
    classes = (tmp_path / "yolo/classes.txt").read_text().split()
    assert classes == sorted(read_labels(labels / "im0.txt"))
    for path in (tmp_path / "dota/labels").glob("*.txt"):
        dota = read_labels(path)
        rows = [line.split() for line in (tmp_path / "yolo/labels" / path.name).read_text().splitlines()]
        values = np.array([row[1:] for row in rows], dtype=float).reshape(-1, 8)
        assert ((values >= 0) & (values <= 1)).all()
        assert sorted(classes[int(row[0])] for row in rows) == sorted(dota)
        for row, normalised in zip(rows, values):
            expected = np.clip(dota[classes[int(row[0])]][0] / TILE, 0, 1)
            np.testing.assert_allclose(normalised, expected, rtol=0, atol=1e-11)


def test_skip_empty_leaves_out_exactly_the_patches_without_objects(tmp_path):
    images, labels = write_dataset(tmp_path, [(400, 300)], {0: [[10, 10, 40, 10, 40, 30, 10, 30]]})
    full = split_dataset(images, labels, tmp_path / "full", tile=TILE, overlap=OVERLAP, workers=0)
    kept = split_dataset(
        images, labels, tmp_path / "kept", tile=TILE, overlap=OVERLAP, skip_empty=True, workers=0
    )
    assert (full.written, kept.written, kept.skipped_empty) == (12, 1, 11)
    expected = {
        name: content
        for name, content in tree(tmp_path / "full").items()
        if not name.startswith(("images/", "labels/")) or name.endswith("im0__0_0.png") or name.endswith("im0__0_0.txt")
    }
    assert tree(tmp_path / "kept") == expected


def test_progress_bar_draws_on_a_terminal_only():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, drawn in ((Terminal(), True), (io.StringIO(), False)):
        bar = ProgressBar(4, stream)
        for _ in range(2):
            bar.advance(ImageResult("im", 9, 7, 2, 0, 3, 1, 0))
        bar.close()
        if drawn:
            assert stream.getvalue().split("\r")[-1] == f"split [{'#' * 15}{'.' * 15}] 2/4 images, 14 patches written\n"
        else:
            assert stream.getvalue() == ""


# ---- resumable output ------------------------------------------------------------------


@pytest.mark.parametrize("workers", [0, 2])
def test_an_interrupted_run_then_a_rerun_gives_the_clean_run(tmp_path, workers):
    images, labels = write_dataset(tmp_path, [(1000, 1000)] * 6, seed=7)
    split_dataset(images, labels, tmp_path / "clean", tile=TILE, overlap=OVERLAP, workers=0)
    clean = tree(tmp_path / "clean")

    command, environment = split_command(
        images, labels, tmp_path / "out", "--tile", TILE, "--overlap", OVERLAP, "--workers", workers
    )
    # The command and its Dask workers form one process group, killed at once.
    process = subprocess.Popen(command, env=environment, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not any((tmp_path / "out/labels").glob("*.txt")) and time.monotonic() < deadline:
        time.sleep(0.002)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait(timeout=30)
    assert process.returncode == -signal.SIGKILL
    written = sorted((tmp_path / "out/images").glob("*.png"))
    assert 0 < len(written) < len([name for name in clean if name.startswith("images/")])
    for path in written:  # every patch there is whole
        assert path.read_bytes() == clean[f"images/{path.name}"]

    result = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "already complete" in result.stdout
    assert tree(tmp_path / "out") == clean


def test_rerun_skips_complete_images_without_decoding_them(tmp_path):
    images, labels = write_dataset(tmp_path, [(300, 300)], seed=9)
    out = tmp_path / "out"
    split_dataset(images, labels, out, tile=TILE, overlap=OVERLAP, workers=0)
    before = tree(out)
    (images / "im0.png").write_bytes(b"not an image any more")
    summary = split_dataset(images, labels, out, tile=TILE, overlap=OVERLAP, workers=0)
    assert (summary.written, summary.already_complete) == (0, 9) and tree(out) == before
    # A missing patch needs the image again; so does --overwrite.
    (out / "labels/im0__96_96.txt").unlink()
    for overwrite in (False, True):
        with pytest.raises(SplitError, match=r"im0\.png: cannot be read as an image"):
            split_dataset(images, labels, out, tile=TILE, overlap=OVERLAP, overwrite=overwrite, workers=0)


@pytest.mark.parametrize(
    "first, second, message",
    [
        ({"tile": TILE}, {"tile": 96}, r"other settings \(tile 128 there, 96 here\)"),
        ({"overlap": 32}, {"overlap": 16}, r"overlap 32 there, 16 here"),
        ({"min_iof": 0.7}, {"min_iof": 0.5}, r"min_iof 0.7 there, 0.5 here"),
        ({"format": "dota"}, {"format": "yolo-obb"}, r"format 'dota' there, 'yolo-obb' here"),
    ],
)
def test_an_output_of_another_split_is_refused(tmp_path, first, second, message):
    images, labels = write_dataset(tmp_path, [(200, 150)])
    settings = {"tile": TILE, "overlap": OVERLAP, "workers": 0}
    split_dataset(images, labels, tmp_path / "out", **(settings | first))
    before = tree(tmp_path / "out")
    with pytest.raises(SplitError, match=message):
        split_dataset(images, labels, tmp_path / "out", **(settings | second))
    assert tree(tmp_path / "out") == before


def test_an_output_with_patches_but_no_record_is_refused(tmp_path):
    images, labels = write_dataset(tmp_path, [(200, 150)])
    (tmp_path / "out/labels").mkdir(parents=True)
    (tmp_path / "out/labels/old.txt").write_text("")
    with pytest.raises(SplitError, match=r"out/labels holds files but .*split\.json is missing"):
        split_dataset(images, labels, tmp_path / "out", workers=0)


# ---- bad input -------------------------------------------------------------------------

GOOD = "10 10 40 10 40 30 10 30 plane 0"


@pytest.mark.parametrize(
    "line, problem",
    [
        ("10 10 40 10 40 30 10 30 plane", r"expected 10 fields \(x1 y1 .* difficult\), found 9"),
        ("10 10 40 10 40 30 10 30 large plane 0", r"expected 10 fields .*, found 11"),
        ("10 10 4O 10 40 30 10 30 plane 0", r"coordinate 3 \('4O'\) is not a number"),
        ("10 10 40 10 40 nan 10 30 plane 0", r"coordinate 6 \('nan'\) is not finite"),
        ("10 10 40 10 40 30 10 30 plane hard", r"difficult \('hard'\) is not an integer"),
    ],
)
def test_bad_label_lines_are_errors_or_skipped_with_their_location(tmp_path, capsys, line, problem):
    images, labels = write_dataset(tmp_path, [(200, 150)], {0: []})
    (labels / "im0.txt").write_text(f"imagesource:x\n{GOOD}\n\n{line}\n{GOOD.replace('plane', 'ship')}\n")
    location = rf"{labels / 'im0.txt'}:4: {problem}"

    assert cli.main([str(images), str(labels), str(tmp_path / "out"), "--workers", "0"]) == 1
    assert capsys.readouterr().err.startswith("halvex.split: error: ")
    with pytest.raises(SplitError, match=location):
        read_dota(str(labels / "im0.txt"))
    assert not (tmp_path / "out").exists()  # labels are checked before anything is written

    arguments = [str(images), str(labels), str(tmp_path / "out"), "--workers", "0", "--skip-bad-lines"]
    assert cli.main(arguments + ["--tile", "256"]) == 0
    output = capsys.readouterr()
    assert re.search(f"warning: skipped {location}", output.err)
    assert "1 bad label lines skipped" in output.out
    assert set(read_labels(tmp_path / "out/labels/im0__0_0.txt")) == {"plane", "ship"}


def test_unreadable_images_and_unpaired_files(tmp_path, capsys):
    images, labels = write_dataset(tmp_path, [(200, 150), (120, 100)])
    out = str(tmp_path / "out")
    (labels / "im1.txt").unlink()
    assert cli.main([str(images), str(labels), out, "--workers", "0", "--tile", "256"]) == 0
    output = capsys.readouterr()
    assert f"warning: {images / 'im1.png'}: no label file" in output.err
    assert "1 images without a label file" in output.out
    assert (tmp_path / "out/labels/im1__0_0.txt").read_text() == ""

    (labels / "im2.txt").write_text(GOOD + "\n")
    with pytest.raises(SplitError, match=rf"{labels / 'im2.txt'}: no image im2\.\* \(.png, .jpg"):
        split_dataset(images, labels, out, workers=0)
    (labels / "im2.txt").unlink()

    (images / "im0.png").write_bytes(b"\x89PNG\r\n\x1a\n truncated")
    with pytest.raises(SplitError, match=rf"{images / 'im0.png'}: cannot be read as an image"):
        split_dataset(images, labels, tmp_path / "other", workers=0)

    cv2.imwrite(str(images / "im0.jpg"), np.zeros((8, 8, 3), np.uint8))
    with pytest.raises(SplitError, match=r"two images named 'im0'"):
        split_dataset(images, labels, tmp_path / "other", workers=0)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"tile": 0}, "tile must be a positive number"),
        ({"tile": 128, "overlap": 128}, r"overlap must be a whole number of pixels in \[0, tile = 128\)"),
        ({"min_iof": 0.0}, r"min_iof must lie in \(0, 1\]"),
        ({"format": "yolo"}, "format must be one of dota, yolo-obb"),
    ],
)
def test_bad_settings(tmp_path, options, message):
    images, labels = write_dataset(tmp_path, [(50, 50)])
    with pytest.raises(SplitError, match=message):
        split_dataset(images, labels, tmp_path / "out", workers=0, **options)


# ---- Dask ------------------------------------------------------------------------------


def test_a_two_worker_dask_cluster_gives_the_single_process_files(tmp_path):
    images, labels = write_dataset(tmp_path, [(300, 300), (250, 330), (90, 140), (400, 200)], seed=11)
    for name, workers in (("single", 0), ("dask", 2)):
        command, environment = split_command(
            images, labels, tmp_path / name, "--tile", TILE, "--overlap", OVERLAP, "--format", "yolo-obb", "--workers", workers
        )
        result = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=180)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.startswith("4 images, 31 patches: 31 written")
    assert tree(tmp_path / "dask") == tree(tmp_path / "single")
