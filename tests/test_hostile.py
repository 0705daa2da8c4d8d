"""Hostile input: whatever a caller passes, a call returns or raises an ordinary exception.

Each example takes a valid call of one callable (tests/callables.py) and
replaces some of its arguments with something hostile: wrong types, odd
numbers, arrays of every dtype, shape and memory layout, objects whose
protocols raise.  The rule: no crash, no SystemError, no C++ exception text
leaking out, and every array the call is not documented to write comes back
with the same bytes.

HALVEX_FUZZ_EXAMPLES sets the examples per callable (`make fuzz` raises it).
"""

import copy
import fractions
import os
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from callables import TARGETS, module, unlisted_call, valid_case
from layouts import in_layout

EXAMPLES = int(os.environ.get("HALVEX_FUZZ_EXAMPLES", "30"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

# ---- objects whose protocols fail --------------------------------------------------------


class Failure(Exception):
    """Raised by the hostile objects below; callers must let it through or replace it."""


def _fail(*_):
    raise Failure("hostile")


class RaisingFloat:
    __float__ = _fail


class RaisingIndex:
    __index__ = __int__ = _fail


class RaisingLen:
    __len__ = __getitem__ = __iter__ = _fail


class RaisingBool:
    __bool__ = _fail


class RaisingCompare:
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _fail
    __hash__ = object.__hash__


class RaisingArray:
    __array__ = _fail


class RaisingShape:
    shape = property(_fail)
    dtype = property(_fail)


class LyingShape:
    """Claims the shape of a valid input but holds no data."""

    def __init__(self, shape):
        self.shape = shape
        self.ndim = len(shape) if isinstance(shape, tuple) else 1


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class HugeLen:
    def __len__(self):
        return 2**62


class Sub(np.ndarray):
    pass


class UfuncRefusing(np.ndarray):
    def __array_ufunc__(self, *args, **kwargs):
        return NotImplemented


class FinalizeRaising(np.ndarray):
    def __array_finalize__(self, obj):
        # Views taken by the test itself are fine; arrays derived from one are not.
        if isinstance(obj, FinalizeRaising):
            raise Failure("finalize")


SCALARS = [
    None, True, False, 0, 1, -1, 3, 2**31, 2**63, -(2**63) - 1, 2**200, 0.0, -0.0, 0.5, 1.5, -2.7,
    float("nan"), float("inf"), float("-inf"), 1e308, 5e-324, complex(1, 2), "", "x", "center", "0", b"1",
    bytearray(b"ab"), [], {}, (), set(), [[]], [[[]]], [1, [2, 3]], {"rows": 1}, object(), type, print,
    fractions.Fraction(1, 3), np.float32(2.5), np.float16(-1), np.int64(-5), np.uint8(200), np.bool_(True),
    np.longdouble(1.25), np.complex64(1j), np.str_("red"), np.datetime64("2020-01-01"), Ellipsis, NotImplemented,
]

PROTOCOL_OBJECTS = [
    RaisingFloat, RaisingIndex, RaisingLen, RaisingBool, RaisingCompare, RaisingArray, RaisingShape,
    FloatReturnsText, IndexReturnsFloat, HugeLen,
]

DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.float16,
    np.float32, np.float64, np.longdouble, np.complex64, np.complex128, object, "U5", "S3", "M8[s]", "m8[s]",
    [("a", "f8"), ("b", "i2")], [("red", "u1"), ("green", "u1"), ("blue", "u1")], ">f8", ">i4", "<f4",
]

FILLS = ["zeros", "ones", "normal", "nan", "inf", "huge", "tiny", "mixed"]

LAYOUTS = [
    "contiguous", "fortran", "strided", "reversed", "readonly", "misaligned", "subclass", "ufunc_refusing",
    "finalize_raising", "broadcast", "zero_stride_writable", "masked", "matrix",
]


def _content(shape, fill, draw_seed):
    rng = np.random.default_rng(draw_seed)
    if fill == "zeros":
        return np.zeros(shape)
    if fill == "ones":
        return np.ones(shape)
    if fill == "normal":
        return rng.normal(0, 10, shape)
    if fill == "nan":
        return np.full(shape, np.nan)
    if fill == "inf":
        return np.where(rng.random(shape) < 0.5, np.inf, -np.inf)
    if fill == "huge":
        return rng.choice([1e308, -1e308, 3e38, 2.0**64], shape)
    if fill == "tiny":
        return rng.choice([5e-324, -0.0, 1e-300], shape)
    values = rng.normal(0, 1e6, shape)
    values[rng.random(shape) < 0.3] = np.nan
    return values


def _cast(values, dtype):
    dtype = np.dtype(dtype)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype.names:
            out = np.zeros(values.shape, dtype)
            for name in dtype.names:
                out[name] = np.nan_to_num(values).astype(dtype[name])
            return out
        if dtype.kind in "MmS":
            return np.nan_to_num(values).astype(np.int64).astype(dtype)
        if dtype.kind == "U":
            return values.astype(str).astype(dtype)
        if dtype.kind in "iub":
            return np.nan_to_num(values, posinf=0, neginf=0).astype(np.float64).clip(-1e18, 1e18).astype(dtype)
        return values.astype(dtype)


def _layout(array, layout):
    """`array`'s values in another memory layout or array type (as is where that layout cannot hold them)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return _in_layout(array, layout)
    except (TypeError, ValueError, IndexError):
        return array


def _in_layout(array, layout):
    if layout in ("fortran", "strided"):
        return in_layout(array, layout)
    if layout == "reversed":
        backwards = (slice(None, None, -1),) * array.ndim
        return np.ascontiguousarray(array[backwards])[backwards]
    if layout == "readonly":
        array = array.copy()
        array.flags.writeable = False
        return array
    if layout == "misaligned":
        if array.dtype.hasobject:
            return array
        raw = np.zeros(array.nbytes + 1, np.uint8)
        view = raw[1:].view(array.dtype).reshape(array.shape)
        view[...] = array
        return view
    if layout == "subclass":
        return array.view(Sub)
    if layout == "ufunc_refusing":
        return array.view(UfuncRefusing)
    if layout == "finalize_raising":
        return array.view(FinalizeRaising)
    if layout == "broadcast":
        if array.ndim == 0 or array.size == 0:
            return array
        return np.broadcast_to(array[(slice(0, 1),) * array.ndim], array.shape)
    if layout == "zero_stride_writable":
        if array.ndim == 0 or array.size == 0:
            return array
        first = array[(slice(0, 1),) * array.ndim].copy()
        return np.lib.stride_tricks.as_strided(first, array.shape, (0,) * array.ndim, writeable=True)
    if layout == "masked":
        return np.ma.masked_array(array, mask=np.zeros(array.shape, bool))
    if layout == "matrix":
        return np.asmatrix(array) if array.ndim == 2 and not array.dtype.names else array
    return np.ascontiguousarray(array)


@st.composite
def arrays(draw, like=None, layouts=LAYOUTS):
    """An array near `like` (its shape with an axis changed, added or dropped) or of any small shape."""
    shape = tuple(like.shape) if isinstance(like, np.ndarray) else (3, 2)
    how = draw(st.sampled_from(["same", "dim", "add", "drop", "empty", "scalar", "any"]))
    if how == "dim" and shape:
        axis = draw(st.integers(0, len(shape) - 1))
        shape = shape[:axis] + (draw(st.sampled_from([0, 1, 2, 3, 5, 7])),) + shape[axis + 1 :]
    elif how == "add":
        axis = draw(st.integers(0, len(shape)))
        shape = shape[:axis] + (draw(st.sampled_from([0, 1, 2, 3])),) + shape[axis:]
    elif how == "drop" and shape:
        axis = draw(st.integers(0, len(shape) - 1))
        shape = shape[:axis] + shape[axis + 1 :]
    elif how == "empty":
        shape = (0,) + shape[1:] if shape else (0,)
    elif how == "scalar":
        shape = ()
    elif how == "any":
        shape = tuple(draw(st.lists(st.integers(0, 5), max_size=5)))
    same_dtype = isinstance(like, np.ndarray) and draw(st.booleans())
    dtype = like.dtype if same_dtype else np.dtype(draw(st.sampled_from(DTYPES)))
    values = _cast(_content(shape, draw(st.sampled_from(FILLS)), draw(st.integers(0, 2**32 - 1))), dtype)
    if dtype.hasobject:
        values = values.astype(object)
        if draw(st.booleans()) and values.size:
            values.flat[0] = draw(st.sampled_from([None, "x", RaisingFloat(), [1.0]]))
    return _layout(values, draw(st.sampled_from(layouts)))


HOST_LAYOUTS = [layout for layout in LAYOUTS if layout != "finalize_raising"]


@st.composite
def hostile(draw, valid, host=False):
    """Something to pass instead of `valid`; `host`: for a parameter that goes on to OpenCV."""
    kind = draw(st.sampled_from(["scalar", "protocol", "array", "array", "array", "list", "lying_shape"]))
    if kind == "scalar":
        return draw(st.sampled_from(SCALARS))
    if kind == "protocol":
        return draw(st.sampled_from(PROTOCOL_OBJECTS))()
    if kind == "list":
        if isinstance(valid, np.ndarray):
            nested = valid.tolist()
            as_tuple = tuple(nested) if isinstance(nested, list) else nested
            return draw(st.sampled_from([nested, as_tuple, [nested], [valid]]))
        if isinstance(valid, (list, tuple)) and valid:
            items = list(valid)
            choice = draw(st.sampled_from(["drop", "wrap", "retype", "subclass", "tuple"]))
            if choice == "drop":
                return items[1:]
            if choice == "wrap":
                return [items]
            if choice == "retype":
                return [draw(hostile(items[0]))] + items[1:]
            if choice == "subclass":
                return type("ListSub", (list,), {})(items)
            return tuple(items)
        return draw(st.sampled_from([[1.0, 2.0], [[1.0, 2.0], [3.0]], [None], [[[0.0, 0.0]]]]))
    if kind == "lying_shape":
        shape = valid.shape if isinstance(valid, np.ndarray) else (2, 3, 2)
        rest = tuple(shape[1:])
        return LyingShape(draw(st.sampled_from([shape, list(shape), (-1,) + rest, (2**62,) + rest, "abc"])))
    return draw(arrays(valid, HOST_LAYOUTS if host else LAYOUTS))


# ---- the rule ------------------------------------------------------------------------------


def _arrays_in(value, depth=0):
    if isinstance(value, np.ndarray):
        yield value
    elif depth < 3 and isinstance(value, (list, tuple)):
        for item in value:
            yield from _arrays_in(item, depth + 1)
    elif depth < 3 and isinstance(value, dict):
        for item in value.values():
            yield from _arrays_in(item, depth + 1)


def _snapshot(array):
    base = np.asarray(array).view(np.ndarray)
    if base.dtype.hasobject:
        return [id(item) for item in base.ravel(order="K")] if base.size < 10_000 else None
    return base.copy(order="K").tobytes()


C_PLUS_PLUS_TEXT = re.compile(r"basic_string|vector::|std::|_M_|bad_alloc|bad_cast|bad_optional|out_of_range")


def check_call(call, args, kwargs, written=()):
    """Call; a returned value or a plain exception is fine.  Unwritten arrays must keep their bytes."""
    watched = []
    for value in list(args) + list(kwargs.values()):
        for array in _arrays_in(value):
            if any(array is w or np.may_share_memory(array, w) for w in written):
                continue
            watched.append((array, _snapshot(array)))
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call(*args, **kwargs)
    except SystemError as error:  # pragma: no cover - the fault we look for
        raise AssertionError(f"SystemError: {error!r}") from error
    except Exception as error:
        assert not (isinstance(error, RuntimeError) and C_PLUS_PLUS_TEXT.search(str(error))), repr(error)
    for array, before in watched:
        if before is not None:
            assert _snapshot(array) == before, "an array the call must not write was changed"


def written_by(case):
    """Parameters the call may write: documented ones, and under -O those the dropped checks guarded."""
    return case.writes | (case.writes_without_assertions if sys.flags.optimize else frozenset())


def _slots(target, case):
    """(parameter name, where) for every argument of the valid call."""
    names = [p.name for p in target.parameters() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    slots = [(names[i] if i < len(names) else f"#{i}", i) for i in range(len(case.args))]
    slots += [(key, key) for key in case.kwargs]
    return slots


def _unlisted_arguments(target):
    """Hostile-only arguments for a callable without a table entry: one per required parameter."""
    required = [
        p for p in target.parameters()
        if p.default is p.empty and p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
    ]
    return [(p.name, p.kind is p.KEYWORD_ONLY) for p in required]


FUZZED = [t for t in TARGETS if t.kind != "property"]


@pytest.mark.parametrize("target", FUZZED, ids=str)
@FUZZ
@given(data=st.data())
def test_hostile_arguments(target, data):
    case = valid_case(target)
    if case is None:
        call = unlisted_call(target)
        if call is None:
            pytest.skip("no valid call known and no default instance")
        args, kwargs = [], {}
        for name, keyword_only in _unlisted_arguments(target):
            value = data.draw(hostile(None), label=name)
            if keyword_only:
                kwargs[name] = value
            else:
                args.append(value)
        check_call(call, args, kwargs)
        return

    slots = _slots(target, case)
    args, kwargs = list(case.args), dict(case.kwargs)
    if slots:
        chosen = data.draw(st.sets(st.sampled_from(range(len(slots))), min_size=1), label="replaced")
        for index in sorted(chosen):
            name, where = slots[index]
            valid = args[where] if isinstance(where, int) else kwargs[where]
            if name in case.bounded:
                small = [-1, 0, 1, 2, 2.5, None, "3", RaisingIndex(), IndexReturnsFloat()]
                value = data.draw(st.sampled_from(small), label=name)
            elif len(slots) > 1 and data.draw(st.integers(0, 9), label="alias") == 0:
                other = slots[data.draw(st.integers(0, len(slots) - 1))][1]
                value = args[other] if isinstance(other, int) else kwargs[other]
            else:
                value = data.draw(hostile(valid, name in case.host), label=name)
            if isinstance(where, int):
                args[where] = value
            else:
                kwargs[where] = value
    written = []
    for name, where in slots:
        if name in written_by(case):
            written.extend(_arrays_in(args[where] if isinstance(where, int) else kwargs[where]))
    check_call(case.call, args, kwargs, written)


@pytest.mark.parametrize("target", [t for t in FUZZED if valid_case(t) is not None], ids=str)
def test_valid_call_keeps_unwritten_arrays(target):
    case = valid_case(target)
    written = [a for name, where in _slots(target, case) if name in written_by(case)
               for a in _arrays_in(case.args[where] if isinstance(where, int) else case.kwargs[where])]
    check_call(case.call, case.args, case.kwargs, written)


# ---- array layouts and dtypes on every array parameter, exhaustively --------------------------


def _array_slots(target):
    case = valid_case(target)
    if case is None:
        return []
    return [(target, name) for name, where in _slots(target, case)
            if isinstance(case.args[where] if isinstance(where, int) else case.kwargs[where], np.ndarray)]


ARRAY_SLOTS = [slot for target in FUZZED for slot in _array_slots(target)]


@pytest.mark.parametrize("target, name", ARRAY_SLOTS, ids=lambda v: str(v))
def test_every_dtype_and_layout(target, name):
    """Each array argument in every dtype and layout, with the rest of the call valid."""
    for dtype in DTYPES:
        for layout in HOST_LAYOUTS if name in valid_case(target).host else LAYOUTS:
            case = valid_case(target)
            args, kwargs = list(case.args), dict(case.kwargs)
            where = dict(_slots(target, case))[name]
            valid = args[where] if isinstance(where, int) else kwargs[where]
            values = np.asarray(valid, dtype=float) if valid.dtype.kind in "biufc" else np.zeros(valid.shape)
            value = _layout(_cast(values, dtype), layout)
            if isinstance(where, int):
                args[where] = value
            else:
                kwargs[where] = value
            written = [] if name not in written_by(case) else [value]
            for other_name, other in _slots(target, case):
                if other_name in written_by(case) and other_name != name:
                    written.extend(_arrays_in(args[other] if isinstance(other, int) else kwargs[other]))
            check_call(case.call, args, kwargs, written)


# ---- assertion-free mode -------------------------------------------------------------------


def test_hostile_arguments_under_python_O():
    """Shape checks that are assertions vanish under -O; the native paths must still hold."""
    examples = max(5, EXAMPLES // 2)
    result = subprocess.run(
        [sys.executable, "-O", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", __file__,
         "-k", "test_hostile_arguments and not python_O"],
        capture_output=True, text=True, timeout=900,
        env={**os.environ, "HALVEX_FUZZ_EXAMPLES": str(examples)},
    )
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-3000:]


# ---- module-level names rebound while a call uses them ----------------------------------------


class StandInNumpy:
    """What a caller may bind to a module's `np`: anything that answers numpy's attributes."""

    def __getattr__(self, name):
        return getattr(np, name)


class Impostor:
    """Fills the memory a freed stand-in leaves, so that a dangling use of it shows."""

    def __getattr__(self, name):
        return 0


class RebindsNumpy(np.ndarray):
    """An array whose first `shape` read binds the real numpy back, dropping the stand-in."""

    module = None

    @property
    def shape(self):
        if RebindsNumpy.module is not None:
            RebindsNumpy.module.np, RebindsNumpy.module = np, None
            RebindsNumpy.churn = [Impostor() for _ in range(2000)]
        return np.ndarray.shape.__get__(self)

    @shape.setter
    def shape(self, value):
        np.ndarray.shape.__set__(self, value)


def _outcome(call, args, kwargs):
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = call(*args, **kwargs)
    except Exception as error:
        return type(error).__name__
    parts = result if isinstance(result, tuple) else (result,)
    return tuple(part.tolist() if isinstance(part, np.ndarray) else type(part).__name__ for part in parts)


@pytest.mark.parametrize("target", [t for t in FUZZED if t.module == "kestril" and valid_case(t)], ids=str)
def test_rebinding_np_during_a_call(target):
    """A body holds `np` while it runs the caller's code; that code may rebind `np` and free what was there."""
    kestril = module("kestril")
    case = valid_case(target)

    def arguments():
        wrap = lambda v: v.copy().view(RebindsNumpy) if isinstance(v, np.ndarray) else v  # noqa: E731
        return [wrap(v) for v in case.args], {k: wrap(v) for k, v in case.kwargs.items()}

    expected = _outcome(case.call, *arguments())
    kestril.np = StandInNumpy()
    RebindsNumpy.module = kestril
    try:
        assert _outcome(case.call, *arguments()) == expected
    finally:
        kestril.np, RebindsNumpy.module = np, None


# ---- conversions that call back into the same function ---------------------------------------


def _converted_parameters(target):
    """Names of the parameters the frame converts (declared `double`, `int` or `bool`)."""
    signature_line = (target.function().__doc__ or "").split("\n", 1)[0]
    return set(re.findall(r"\b(?:double|int|bool) (\w+)\s*:", signature_line))


REENTRANT_SLOTS = [
    (target, name)
    for target in FUZZED
    if valid_case(target) is not None
    for name in _converted_parameters(target)
    if name in dict(_slots(target, valid_case(target)))
]


@pytest.mark.parametrize("target, name", REENTRANT_SLOTS, ids=lambda v: str(v))
def test_conversion_that_recurses_into_the_same_call(target, name):
    """__float__, __index__ and __bool__ that call the function again, without end: an exception, not a crash."""
    case = valid_case(target)
    where = dict(_slots(target, case))[name]
    args, kwargs = list(case.args), dict(case.kwargs)

    class Reentrant:
        def again(self, *_):
            return case.call(*args, **kwargs)

        __float__ = __index__ = __int__ = __bool__ = again

    if isinstance(where, int):
        args[where] = Reentrant()
    else:
        kwargs[where] = Reentrant()
    with pytest.raises(Exception) as error:
        case.call(*args, **kwargs)
    assert not isinstance(error.value, SystemError)


# ---- keyword names that are str subclasses -----------------------------------------------------


class KeywordName(str):
    """A keyword name of another type than str: binding matches names by their text."""

    def __repr__(self):
        return f"KeywordName({str(self)!r})"


@pytest.mark.parametrize("target", [t for t in FUZZED if valid_case(t) is not None], ids=str)
def test_keywords_named_by_str_subclasses(target):
    case = valid_case(target)
    positional = [p for p in target.parameters() if p.kind is p.POSITIONAL_OR_KEYWORD][: len(case.args)]
    if len(positional) < len(case.args):
        pytest.skip("takes positional-only or *args arguments")
    args, kwargs = copy.deepcopy((case.args, case.kwargs))
    expected = _outcome(case.call, case.args, case.kwargs)
    keywords = {KeywordName(p.name): value for p, value in zip(positional, args)}
    keywords.update({KeywordName(name): value for name, value in kwargs.items()})
    assert _outcome(case.call, (), keywords) == expected


# ---- counts that cannot fit in memory -------------------------------------------------------

# Each call is asked for more objects than any machine holds; it must say so at
# once with MemoryError instead of growing until the machine gives out.
ABSURD_COUNTS = {
    "keypoints for 10**11 boxes": "kestril.keypoints_trivial_lookup(3 * 10**11)",
    "keypoints for 10**12 boxes": "kestril.keypoints_trivial_lookup(3 * 10**12)",
    "mesh of 10**5 x 10**5": "morvane.MeshCrop(100000, 100000, 0.5, 0.5, renorm=False)",
    "mesh of 10**9 x 10**9": "morvane.MeshCrop(10**9, 10**9, 0.5, 0.5, renorm=False)",
    "mesh of 2**62 x 2**62 in pixels": "morvane.MeshCrop(2**62, 2**62, 300.0, 200.0)",
    # Few windows, but each overlapping tens of thousands of others in the index.
    "mesh of 10**5 x 1 half-width windows": "morvane.MeshCrop(100000, 1, 0.5, 0.5)",
}
SECONDS_FOR_AN_ABSURD_COUNT = 5


@pytest.mark.parametrize("call", ABSURD_COUNTS.values(), ids=ABSURD_COUNTS.keys())
def test_absurd_counts_raise_memory_error_at_once(call):
    # In a child process, so that a regression that does start building is
    # stopped by the timeout instead of taking this test run's memory.
    script = (
        "import time\n"
        "from halvex.preprocessing import kestril\n"
        "from halvex.preprocessing.augmentations.transform import morvane\n"
        "start = time.perf_counter()\n"
        "try:\n"
        f"    {call}\n"
        "except MemoryError as error:\n"
        "    print('MemoryError', time.perf_counter() - start, error)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-3000:]
    kind, seconds, message = result.stdout.split(" ", 2)
    assert kind == "MemoryError" and "need at least" in message
    assert float(seconds) < SECONDS_FOR_AN_ABSURD_COUNT
