"""Preprocess a batch of multispectral images with rotated boxes on a Dask cluster.

Each item is a structured image (one field per band) with rotated boxes.  A
worker assembles a float image from the bands (ChannelAssembler), runs the
shear/rotation, one-of flips, padding and mesh crop of the pipeline example,
and rebuilds and clips the boxes.  Items are seeded, so the result of an item
does not depend on the worker that ran it.

Without an address the script starts a local cluster: ``--workers`` processes
of one thread each, or with ``--threads`` one process of that many threads (the
transforms and halvex's kernels give up the interpreter lock while they work
on pixels or large arrays, so threads share one process's memory).  With an
address it connects to an existing (multi-machine) cluster, unchanged otherwise::

    python examples/dask_preprocess.py --images 16
    python examples/dask_preprocess.py --images 16 --threads 2
    python examples/dask_preprocess.py --scheduler tcp://scheduler-host:8786
    DASK_SCHEDULER_ADDRESS=tcp://scheduler-host:8786 python examples/dask_preprocess.py

The workers need halvex (and its dependencies) installed; the pipeline example
module this script imports is shipped to them with ``Client.upload_file``.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import pathlib
from collections.abc import Iterator
from typing import Any

import numpy as np
import rotated_boxes_pipeline as pipeline_example

from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler

Array = np.ndarray[Any, Any]

DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parents[1] / "build" / "dask_preprocessed.npz"

# Uploaded to the workers.  Taken once: a local cluster's scheduler runs in
# this process and loads an uploaded module here too, from its scratch space.
PIPELINE_EXAMPLE_FILE = str(pathlib.Path(pipeline_example.__file__).resolve())

BANDS = [("red", np.uint16), ("green", np.uint16), ("blue", np.uint16), ("nir", np.float32)]


def make_item(seed: int) -> tuple[Array, Array]:
    """A structured 12-bit RGB + float NIR image with rotated boxes, made from a seed."""
    sample = pipeline_example.make_sample(seed)
    image = np.empty(sample.image.shape[:2], dtype=BANDS)
    blue, green, red = (sample.image[..., k].astype(np.uint16) * 16 for k in range(3))
    image["red"], image["green"], image["blue"] = red, green, blue
    image["nir"] = (sample.image.mean(axis=-1) / 255.0).astype(np.float32)
    return image, sample.orva_boxes


def channel(name: str, operations: dict[str, Any] | None = None) -> dict[str, Any]:
    record: dict[str, Any] = {"channel_type": {"selection": name}}
    if operations is not None:
        record["enable_operations"] = {"operations": operations}
    return {"channel": record}


def build_pipeline() -> Any:
    """Bands to a float image in [-1, 1], then the transforms of the pipeline example."""
    twelve_bit = {"selection": "relative_cap", "min": 0.0, "max": 4095 / 65535}
    assembler = ChannelAssembler(
        [
            channel("red", dict(twelve_bit)),
            channel("green", dict(twelve_bit)),
            channel("blue", dict(twelve_bit)),
            channel("nir"),
        ],
        always_apply=True,
        p=1.0,
    )
    return pipeline_example.build_pipeline(first=[assembler])


def preprocess_item(seed: int, pipeline: Any = None) -> dict[str, Any]:
    """Make, augment and rebuild one item; plain arrays out, so any process can read them.

    A pipeline may be reused from item to item: its transforms carry no state
    from one item into the next.
    """
    image, orva_boxes = make_item(seed)
    if pipeline is None:
        pipeline = build_pipeline()
    augmented = pipeline_example.augment(pipeline, image, orva_boxes, seed)
    return {
        "seed": seed,
        "image": augmented.image,
        "boxes": augmented.clipped_orva_boxes,
        "box_index": augmented.clipped_index,
    }


@contextlib.contextmanager
def cluster_client(scheduler: str | None, workers: int = 2, threads: int = 1) -> Iterator[Any]:
    """A client of the scheduler at ``scheduler``, or of a local cluster of
    ``workers`` processes with ``threads`` threads each; closed on leaving."""
    # Only the driver needs distributed; its API is only partly annotated.
    distributed: Any = importlib.import_module("distributed")

    cluster = None
    if scheduler:
        client = distributed.Client(scheduler)
    else:
        cluster = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=threads,
            processes=True,
            dashboard_address=None,
        )
        client = distributed.Client(cluster)
    try:
        # Remote workers have halvex installed but not this repository's examples.
        client.upload_file(PIPELINE_EXAMPLE_FILE)
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def preprocess_on_cluster(
    seeds: list[int], scheduler: str | None, workers: int = 2, threads: int = 1
) -> list[dict[str, Any]]:
    """Preprocess the items of ``seeds`` on a cluster; results in the order of ``seeds``."""
    with cluster_client(scheduler, workers, threads) as client:
        futures = client.map(preprocess_item, seeds)
        results: list[dict[str, Any]] = client.gather(futures)
        return results


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--scheduler",
        default=os.environ.get("DASK_SCHEDULER_ADDRESS"),
        help="address of a running scheduler; default: start a local cluster",
    )
    layout = parser.add_mutually_exclusive_group()
    layout.add_argument(
        "--workers",
        type=int,
        default=2,
        help="worker processes of the local cluster, one thread each (default: 2)",
    )
    layout.add_argument(
        "--threads",
        type=int,
        help="instead: one worker process of the local cluster with this many threads",
    )
    parser.add_argument("--images", type=int, default=16, help="number of items to preprocess")
    parser.add_argument("--first-seed", type=int, default=0)
    parser.add_argument(
        "--output", type=pathlib.Path, default=DEFAULT_OUTPUT, help=".npz file to write"
    )
    arguments = parser.parse_args(argv)

    seeds = list(range(arguments.first_seed, arguments.first_seed + arguments.images))
    if arguments.threads is not None:
        results = preprocess_on_cluster(seeds, arguments.scheduler, 1, arguments.threads)
    else:
        results = preprocess_on_cluster(seeds, arguments.scheduler, arguments.workers)

    arrays: dict[str, Any] = {"seeds": np.array(seeds)}
    for result in results:
        for key in ("image", "boxes", "box_index"):
            arrays[f"{key}_{result['seed']}"] = result[key]
    output: pathlib.Path = arguments.output
    output.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(output, **arrays)
    boxes = sum(len(result["boxes"]) for result in results)
    print(f"{len(results)} images, {boxes} boxes preprocessed")
    print(output)
    return output


if __name__ == "__main__":
    main()
