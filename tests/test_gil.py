"""Long native calls let other Python threads run.

A counting thread waits for a lock that the main thread releases just before
one large call.  The switch interval is raised far past the call's length, so
the counter can only get the interpreter lock if the call gives it up: it
counts during the call exactly when the call runs without the lock.  It
hands the lock back at every step, so the main thread never waits for it.
No timing is measured.
"""

import os
import sys
import threading

import numpy as np
import pytest

from halvex import ops
from halvex.preprocessing import kestril
from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler
from halvex.preprocessing.augmentations.transform.morvane import MeshCrop

rng = np.random.default_rng(13)
BOXES = 10**6
POINTS = 10**7


def orva(n):
    return np.c_[rng.uniform(0, 4000, (n, 2)), rng.uniform(1, 50, (n, 2)), rng.uniform(-3, 3, n)]


def counted_during(call):
    start, stop, count = threading.Lock(), threading.Event(), [0]

    def counter():
        with start:
            while not stop.is_set():
                count[0] += 1
                os.sched_yield()  # gives the interpreter lock back to a main thread that wants it

    interval = sys.getswitchinterval()
    start.acquire()
    thread = threading.Thread(target=counter)
    thread.start()
    sys.setswitchinterval(1000.0)
    try:
        start.release()
        call()
        counted = count[0]
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    return counted


# Each entry makes its input (outside the counted call: numpy's own random
# generation gives up the lock too) and returns the call to count during.
LONG_CALLS = {
    "rot_points_multi_rads": lambda: (kestril.rot_points_multi_rads, rng.normal(size=(POINTS, 1, 2)), np.ones(POINTS)),
    "get_angles_from_points": lambda: (kestril.get_angles_from_points, rng.normal(size=(POINTS, 2))),
    "orva_to_box_corners": lambda: (kestril.orva_to_box_corners, orva(BOXES)),
    "orva_to_keypoints": lambda: (kestril.orva_to_keypoints, orva(BOXES)),
    "box_corners_to_orva": lambda: (kestril.box_corners_to_orva, rng.normal(size=(BOXES, 4, 2)), np.ones(BOXES)),
    "keypoints_to_orva": lambda: (kestril.keypoints_to_orva, rng.normal(size=(BOXES, 3, 2))),
    "keypoints_to_box_corners": lambda: (kestril.keypoints_to_box_corners, rng.normal(size=(BOXES, 3, 2))),
    "get_box_and_rotation_from_parallelogram_keypoints": lambda: (
        kestril.get_box_and_rotation_from_parallelogram_keypoints, rng.normal(size=(BOXES, 3, 2))),
    "inference_boxes_to_corners": lambda: (kestril.inference_boxes_to_corners, orva(BOXES).astype(np.float32)),
    "ops.box_convert": lambda: (ops.box_convert, orva(BOXES), "orva", "le90"),
    "ops.box_iou": lambda: (lambda a, b: ops.box_iou(a, b, threads=1), orva(20_000), orva(20_000)),
    # Pixel work of the transforms: the bands swept into channels (with the
    # bounds of a normalised band), and a crop rescaled onto [-1, 1].
    "ChannelAssembler.apply": lambda: (assembled, bands(4000)),
    "MeshCrop.apply": lambda: (rescaled_crop, rng.uniform(0, 255, (4000, 4000, 3)).astype(np.float32)),
}


def bands(side):
    image = np.empty((side, side), dtype=[("red", np.uint16), ("nir", np.float32)])
    image["red"] = rng.integers(0, 4096, image.shape)
    image["nir"] = rng.uniform(0, 1, image.shape)
    return image


def assembled(image):
    channels = [
        {"channel": {"channel_type": {"selection": "red"}}},
        {"channel": {"channel_type": {"selection": "nir"}, "enable_operations": {"operations": {"selection": "normalize"}}}},
    ]
    return ChannelAssembler(channels, False, 1.0).apply(image)


def rescaled_crop(image):
    mesh = MeshCrop(1, 1, 1.0, 1.0)
    rows, cols = image.shape[:2]
    mesh.update_params({}, image=image)
    return mesh.apply(image, rows=rows, cols=cols)


@pytest.mark.parametrize("make", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_a_long_call_lets_other_threads_run(make):
    function, *arguments = make()
    function(*(a.copy() if isinstance(a, np.ndarray) else a for a in arguments))  # first-call work stays out
    assert counted_during(lambda: function(*arguments)) > 0


def test_the_counter_stays_still_while_the_lock_is_held():
    # The control: a call that never gives up the lock lets nothing count.
    assert counted_during(lambda: sum(range(3 * 10**6))) == 0
