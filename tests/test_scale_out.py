"""The transforms work in data-loader worker processes and on a Dask cluster.

Data loaders pickle the pipeline into each worker; a worker that gets a
transform back with other state, or gives other results for the same seed,
silently changes the training data.
"""

import multiprocessing
import os
import pathlib
import pickle
import random
import subprocess
import sys
import threading

import albumentations as A
import numpy as np
import pytest

from halvex.preprocessing import kestril
from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler
from halvex.preprocessing.augmentations.transform.dalmire import RelativeCenterCrop
from halvex.preprocessing.augmentations.transform.morvane import (
    CropData,
    CropsData,
    MeshCrop,
    RelativeCrop,
)
from halvex.preprocessing.augmentations.transform.orvetta import OneOfRetainProb
from halvex.preprocessing.augmentations.transform.quenfor import RelativePadding

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# Spawned workers get this search path too, so they can import the examples.
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import dask_preprocess


def assert_same_items(expected, actual):
    assert len(expected) == len(actual)
    for one, other in zip(expected, actual):
        assert one.keys() == other.keys()
        for key in one:
            assert type(one[key]) is type(other[key])
            if isinstance(one[key], np.ndarray):
                assert one[key].dtype == other[key].dtype
            np.testing.assert_array_equal(
                one[key], other[key], err_msg=f"{key} of seed {one['seed']}"
            )


def run_seeded(compose, seed, **data):
    random.seed(seed)
    np.random.seed(seed)
    return compose(**data)


def rgb_image(seed=0, height=60, width=90):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


def keypoint_data(seed=0, height=60, width=90):
    points = np.random.default_rng(seed + 1).uniform(0, [width, height], (12, 2))
    return {
        "keypoints": [tuple(point) for point in points],
        "image": rgb_image(seed, height, width),
    }


def used_mesh_crop():
    mesh_crop = MeshCrop(3, 2, 0.5, 0.6, renorm=False)
    mesh_crop.update_crops(mesh_crop.all_crops)
    return mesh_crop


TRANSFORMS = {
    "RelativeCrop": lambda: RelativeCrop(0.1, 0.2, 0.7, 0.9),
    "MeshCrop": used_mesh_crop,
    "RelativeCenterCrop": lambda: RelativeCenterCrop(0.5),
    "RelativePadding": lambda: RelativePadding(2.0, border_mode=0, value=7),
    "OneOfRetainProb": lambda: OneOfRetainProb(
        [
            RelativeCrop(0.0, 0.0, 0.5, 0.5, p=0.3),
            RelativePadding(0.25, p=0.4),
            A.HorizontalFlip(p=0.2),
        ],
        p=0.9,
    ),
}


@pytest.mark.parametrize("name", TRANSFORMS)
def test_transform_pickles_with_its_state_and_behaviour(name):
    transform = TRANSFORMS[name]()
    keypoint_params = A.KeypointParams("xy", remove_invisible=False)
    # Use it first, so the size and window it remembers travel too.
    run_seeded(A.Compose([transform], keypoint_params=keypoint_params), 5, **keypoint_data(1))
    copy = pickle.loads(pickle.dumps(transform, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(copy) is type(transform)
    assert copy is not transform
    if hasattr(transform, "get_transform_init_args_names"):
        assert copy.get_transform_init_args_names() == transform.get_transform_init_args_names()
    assert vars(copy).keys() == vars(transform).keys()
    for seed in range(4):
        data = keypoint_data(seed, height=50 + 7 * seed, width=90 - 9 * seed)
        expected = run_seeded(A.Compose([transform], keypoint_params=keypoint_params), seed, **data)
        actual = run_seeded(A.Compose([copy], keypoint_params=keypoint_params), seed, **data)
        np.testing.assert_array_equal(actual["image"], expected["image"])
        assert actual["keypoints"] == expected["keypoints"]


def test_channel_assembler_pickles_with_its_configuration():
    image = np.zeros((8, 9), dtype=[("red", np.uint8), ("nir", np.float32)])
    image["red"] = np.arange(72).reshape(8, 9)
    image["nir"] = np.linspace(-0.5, 1.5, 72, dtype=np.float32).reshape(8, 9)
    channels = [
        {"channel": {"channel_type": {"selection": "red"}}},
        {
            "channel": {
                "channel_type": {"selection": "custom", "name": "nir"},
                "enable_operations": {"operations": {"selection": "normalize"}},
            }
        },
    ]
    transform = ChannelAssembler(channels, False, 1.0)
    expected = transform.apply(image)
    copy = pickle.loads(pickle.dumps(transform))
    assert copy.channels == transform.channels and copy.channels is not transform.channels
    assert (copy.always_apply, copy.p) == (transform.always_apply, transform.p)
    fresh = image.copy()  # another object, so neither answers from its one-entry memory
    np.testing.assert_array_equal(copy.apply(fresh), expected)
    np.testing.assert_array_equal(transform.apply(fresh), expected)


def test_crop_collections_and_geometry_callables_pickle():
    crops = CropsData(
        [CropData(0, 2, 0.0, 0.5, 0.0, 1.0, 2, 1), CropData(1, 2, 0.5, 1.0, 0.0, 1.0, 2, 1)]
    )
    copy = pickle.loads(pickle.dumps(crops))
    for point in ([0.25, 0.5], [0.75, 0.5]):
        assert {crop.index for crop in copy.find_crop(*point)} == {
            crop.index for crop in crops.find_crop(*point)
        }
    for member in kestril.BoxReconstruction:
        assert pickle.loads(pickle.dumps(member)) is member
    # Functions pickle by reference, as a worker's task often names one.
    for function in (
        kestril.orva_to_keypoints,
        kestril.clipper,
        kestril.assemble_keypoints_after_shuffle,
    ):
        assert pickle.loads(pickle.dumps(function)) is function


def test_pipeline_pickles_and_gives_the_same_items():
    pipeline = dask_preprocess.build_pipeline()
    expected = [dask_preprocess.preprocess_item(seed, pipeline) for seed in range(3)]
    copy = pickle.loads(pickle.dumps(pipeline))
    assert_same_items(expected, [dask_preprocess.preprocess_item(seed, copy) for seed in range(3)])


def test_items_do_not_depend_on_other_threads_drawing_random_numbers():
    """Dask workers draw from `random` on their event-loop thread while a task runs."""
    pipeline = dask_preprocess.build_pipeline()
    expected = [dask_preprocess.preprocess_item(seed, pipeline) for seed in range(3)]
    stop = threading.Event()

    def draw_meanwhile():
        while not stop.is_set():
            random.random()
            random.sample(range(100), 10)
            np.random.random()

    other = threading.Thread(target=draw_meanwhile)
    other.start()
    try:
        actual = [dask_preprocess.preprocess_item(seed, pipeline) for seed in range(3)]
    finally:
        stop.set()
        other.join()
    assert_same_items(expected, actual)
    # Outside a seeded block, seeding the process's generators still works.
    random.seed(5)
    np.random.seed(5)
    first = (random.random(), np.random.random())
    random.seed(5)
    np.random.seed(5)
    assert (random.random(), np.random.random()) == first


def test_spawned_worker_processes_give_the_single_process_results():
    seeds = list(range(6))
    # One pipeline reused for all items here; fresh processes and pipelines there.
    pipeline = dask_preprocess.build_pipeline()
    expected = [dask_preprocess.preprocess_item(seed, pipeline) for seed in seeds]
    assert len({item["image"].shape for item in expected}) > 1  # the items really differ
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        actual = pool.map(dask_preprocess.preprocess_item, seeds, chunksize=1)
    assert_same_items(expected, actual)


@pytest.mark.parametrize("layout", [["--workers", "2"], ["--threads", "2"]], ids=["processes", "threads"])
def test_dask_example_preprocesses_on_a_local_cluster(tmp_path, layout):
    import halvex

    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [
            str(pathlib.Path(halvex.__file__).resolve().parents[1]),
            *filter(None, [environment.get("PYTHONPATH")]),
        ]
    )
    environment.pop("DASK_SCHEDULER_ADDRESS", None)
    output = tmp_path / "batch.npz"
    result = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "dask_preprocess.py"),
            "--images",
            "4",
            "--first-seed",
            "10",
            *layout,
            "--output",
            str(output),
        ],
        check=False,
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().splitlines()[-1] == str(output)
    with np.load(output) as batch:
        assert batch["seeds"].tolist() == [10, 11, 12, 13]
        stored = [
            {
                "seed": seed,
                "image": batch[f"image_{seed}"],
                "boxes": batch[f"boxes_{seed}"],
                "box_index": batch[f"box_index_{seed}"],
            }
            for seed in range(10, 14)
        ]
    expected = [dask_preprocess.preprocess_item(seed) for seed in range(10, 14)]
    for item in expected:
        assert item["image"].dtype == np.float32 and item["image"].shape[2] == 4
        assert item["image"].min() >= -1.0 and item["image"].max() <= 1.0
    for item in stored + expected:
        item["seed"] = np.int64(item["seed"])  # what came back through the .npz
    assert_same_items(expected, stored)
