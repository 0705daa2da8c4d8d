"""Reference and memory leaks: repeated calls, returning and raising, leave nothing behind.

Every callable runs many times with a valid call and with one that raises.
Between a first and a second batch of calls, neither Python's allocations
(tracemalloc, which also sees numpy's array data) nor the C heap (glibc's
mallinfo2, which sees C++ new) nor the resident size may grow by more than a
few bytes per call, and the reference counts of the arguments must not move.

HALVEX_LEAK_CALLS sets the calls per batch (`make fuzz` raises it to 10^5);
by default each batch is capped at a short time so that the suite stays quick.
"""

import copy
import ctypes
import gc
import os
import sys
import time
import tracemalloc
import warnings

import numpy as np
import pytest

from callables import TARGETS, valid_case

CALLS = os.environ.get("HALVEX_LEAK_CALLS")
BATCH = int(CALLS) if CALLS else 20_000
BATCH_SECONDS = None if CALLS else 0.02  # default run: stop a batch early when a callable is slow
MINIMUM_BATCH = 500

BYTES_PER_CALL = 8  # growth allowed per call, beyond the slack below
TRACED_SLACK = 4 * 1024
HEAP_SLACK = 256 * 1024
RSS_SLACK = 4 * 1024 * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")
    ]


# Under AddressSanitizer freed memory sits in a quarantine and malloc is not
# glibc's: the resident size grows on its own and mallinfo2 sees nothing.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def _heap_in_use():
    """Bytes the C allocator has handed out, or None where that cannot be read (sanitizer runtimes)."""
    if SANITIZED:
        return None
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    in_use = info.uordblks + info.hblkhd
    return in_use or None


def _rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SHARED_CONSTANTS = (int, float, str, bytes, bool, type(None))


def _objects(args, kwargs):
    """The argument objects and what sits directly inside containers.

    Numbers and strings are left out: equal constants are shared with code
    objects all over the process, so their counts move for reasons of their own.
    """
    found = []
    for value in list(args) + list(kwargs.values()):
        found.append(value)
        if isinstance(value, (list, tuple)):
            found.extend(value)
        elif isinstance(value, dict):
            found.extend(value.values())
    return [value for value in found if not isinstance(value, SHARED_CONSTANTS)]


def _raising_variant(case):
    """The valid call with one argument replaced so that it raises, or an extra argument when it takes none."""
    candidates = [np.zeros((2, 2, 2, 2, 2)), "x", None, object()]
    slots = list(range(len(case.args))) + list(case.kwargs)
    for slot in slots:
        for candidate in candidates:
            args, kwargs = list(case.args), dict(case.kwargs)
            if isinstance(slot, int):
                args[slot] = candidate
            else:
                kwargs[slot] = candidate
            try:
                with np.errstate(all="ignore"), warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    case.call(*args, **kwargs)
            except Exception:
                return args, kwargs
    return list(case.args) + [None] * 20, dict(case.kwargs)


def _batch(call, variants, calls):
    start = time.perf_counter()
    done = 0
    while done < calls:
        for _ in range(100):
            args, kwargs = variants[done % 2]
            try:
                call(*args, **kwargs)
            except Exception:
                pass
            done += 1
        if BATCH_SECONDS and done >= MINIMUM_BATCH and time.perf_counter() - start > BATCH_SECONDS:
            break
    return done


def _measure(call, args, kwargs):
    # Two equal argument sets, alternated, so that a one-entry cache keyed on
    # the argument object cannot turn the batch into cache hits.
    variants = [(args, kwargs), (copy.deepcopy(args), copy.deepcopy(kwargs))]
    watched = _objects(*variants[0]) + _objects(*variants[1])
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        warm_up = _batch(call, variants, min(BATCH, 2000))  # caches, interned names, first-time imports
        tracemalloc.start()
        try:
            _batch(call, variants, warm_up)  # again with tracing on, so that its own tables settle
            gc.collect()
            counts = [sys.getrefcount(obj) for obj in watched]
            traced, heap, rss = tracemalloc.get_traced_memory()[0], _heap_in_use(), _rss()
            done = _batch(call, variants, BATCH)  # whole hundreds, so both variants ran equally often
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced
        finally:
            tracemalloc.stop()
        heap_after, rss_growth = _heap_in_use(), _rss() - rss
    heap_growth = None if heap is None or heap_after is None else heap_after - heap
    after = [sys.getrefcount(obj) for obj in watched]
    moved = [(type(obj).__name__, old, new) for obj, old, new in zip(watched, counts, after) if new != old]
    assert not moved, f"reference counts of arguments moved: {moved}"
    allowed = BYTES_PER_CALL * done
    assert traced_growth <= TRACED_SLACK + allowed, f"Python allocations grew by {traced_growth} B in {done} calls"
    if heap_growth is not None:
        assert heap_growth <= HEAP_SLACK + allowed, f"C heap grew by {heap_growth} B in {done} calls"
    assert SANITIZED or rss_growth <= RSS_SLACK + allowed, f"resident size grew by {rss_growth} B in {done} calls"
    print(f"{done} calls: traced {traced_growth:+d} B, heap {heap_growth} B, rss {rss_growth:+d} B")
    return done


def listed_case(target):
    """The valid call of `target`: every public callable has one, so that none goes unmeasured."""
    case = valid_case(target)
    assert case is not None, f"{target} has no valid call in callables.VALID"
    return case


@pytest.fixture(autouse=True, scope="module")
def frozen_heap():
    """Move everything alive now out of the collector's sight, so that each gc.collect() is quick."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("target", TARGETS, ids=str)
def test_valid_calls_do_not_leak(target):
    case = listed_case(target)
    _measure(case.call, list(case.args), dict(case.kwargs))


@pytest.mark.parametrize("target", TARGETS, ids=str)
def test_raising_calls_do_not_leak(target):
    case = listed_case(target)
    args, kwargs = _raising_variant(case)
    _measure(case.call, args, kwargs)


def test_the_measures_see_a_leak():
    """A deliberately leaking callable fails each measure, so a pass above means something."""
    kept = []
    tracemalloc_leak = lambda values: kept.append(np.array(values))  # noqa: E731
    with pytest.raises(AssertionError, match="Python allocations grew"):
        _measure(tracemalloc_leak, [[1.0] * 64], {})
    kept.clear()
    pinned = []
    refcount_leak = lambda value: pinned.append(value)  # noqa: E731
    with pytest.raises(AssertionError, match="reference counts"):
        _measure(refcount_leak, [object()], {})
    pinned.clear()
    if _heap_in_use() is not None:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        with pytest.raises(AssertionError, match="C heap grew"):
            _measure(lambda size: libc.malloc(size), [1024], {})
