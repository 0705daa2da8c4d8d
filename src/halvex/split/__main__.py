"""python -m halvex.split IMAGES LABELS OUT [options]: split a DOTA-labelled dataset."""

from __future__ import annotations

import argparse
import logging
import os
import sys

from halvex.split.labels import SplitError
from halvex.split.runner import FORMATS, split_dataset

DESCRIPTION = """\
Split large images with DOTA v1 labels into overlapping tile x tile patches.

Each image in IMAGES (PNG, JPEG, TIFF, ...) is paired with LABELS/<stem>.txt.
An object goes into every patch holding at least --min-iof of its fitted
rectangle; objects cut by the patch border are written as their clipped
rectangle with difficulty 2.  Patches go to OUT/images/<stem>__<x0>_<y0>.png
and OUT/labels/<stem>__<x0>_<y0>.txt.  Every file is written whole or not at
all: rerun an interrupted command to finish it.
"""


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m halvex.split",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("images", metavar="IMAGES", help="directory of images")
    parser.add_argument("labels", metavar="LABELS", help="directory of DOTA label files <stem>.txt")
    parser.add_argument("out", metavar="OUT", help="output directory")
    parser.add_argument(
        "--tile", type=int, default=1024, help="patch size in pixels (default 1024)"
    )
    parser.add_argument(
        "--overlap", type=int, default=200,
        help="overlap of neighbouring patches in pixels (default 200)",
    )
    parser.add_argument(
        "--min-iof", type=float, default=0.7,
        help="share of an object's rectangle a patch must hold to include it (default 0.7)",
    )
    parser.add_argument(
        "--format", choices=FORMATS, default="dota",
        help="label format: DOTA, or YOLO-OBB with classes in OUT/classes.txt (default dota)",
    )
    parser.add_argument(
        "--skip-empty", action="store_true", help="do not write patches without objects"
    )
    parser.add_argument(
        "--overwrite", action="store_true", help="redo patches that are already complete"
    )
    parser.add_argument(
        "--skip-bad-lines", action="store_true",
        help="warn about bad label lines and leave them out, instead of stopping",
    )
    parser.add_argument(
        "--workers", type=int, default=None,
        help="worker processes of the local Dask cluster (default: one per core; "
        "0: this process, without Dask)",
    )
    parser.add_argument(
        "--scheduler", default=os.environ.get("DASK_SCHEDULER_ADDRESS") or None,
        help="address of a running Dask scheduler (default: $DASK_SCHEDULER_ADDRESS, "
        "else a local cluster)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    arguments = parser().parse_args(argv)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("halvex.split: warning: %(message)s"))
    logger = logging.getLogger("halvex.split")
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        summary = split_dataset(
            arguments.images,
            arguments.labels,
            arguments.out,
            tile=arguments.tile,
            overlap=arguments.overlap,
            min_iof=arguments.min_iof,
            format=arguments.format,
            skip_empty=arguments.skip_empty,
            overwrite=arguments.overwrite,
            skip_bad_lines=arguments.skip_bad_lines,
            workers=arguments.workers,
            scheduler=arguments.scheduler,
            progress=True,
        )
    except SplitError as error:
        print(f"halvex.split: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("halvex.split: interrupted; run the same command again to finish", file=sys.stderr)
        return 130
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
    print(summary.describe())
    return 0


if __name__ == "__main__":
    sys.exit(main())
