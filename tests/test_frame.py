"""The module frame: import, function objects, argument binding, errors."""

import importlib
import importlib.util
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback
import warnings

import numpy as np
import pytest

from halvex.preprocessing import kestril

MODULES = {
    "halvex.preprocessing.kestril": "Contains keypoint utilities.",
    "halvex.preprocessing.augmentations.transform.morvane": "Crop using relative coordinates.",
    "halvex.preprocessing.augmentations.transform.dalmire": "Center-crop while preserving a target aspect ratio.",
    "halvex.preprocessing.augmentations.transform.quenfor": (
        "Pad to a target aspect ratio while keeping the original content position."
    ),
    "halvex.preprocessing.augmentations.transform.brisel": (
        "Assemble an unstructured image from configured channels of a structured array."
    ),
    "halvex.preprocessing.augmentations.transform.orvetta": (
        "Select exactly one transform while retaining original per-transform probabilities."
    ),
    "halvex.ops": (
        "Exact overlap, non-maximum suppression, visibility and box conventions for rotated boxes."
    ),
}


def run_python(script, *flags):
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


# ---- modules -------------------------------------------------------------------


@pytest.mark.parametrize("name", MODULES)
def test_module_identity(name):
    module = importlib.import_module(name)
    assert module.__name__ == name
    assert module.__doc__ == MODULES[name]
    assert module.__test__ == {}
    assert module.__package__ == name.rpartition(".")[0]
    assert module.__file__.endswith(".so") and module.__loader__ is module.__spec__.loader
    assert not hasattr(module, "__path__")
    assert importlib.import_module(name) is module


def test_each_library_exports_only_its_init_symbol():
    for name in MODULES:
        path = importlib.import_module(name).__file__
        symbols = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True).stdout
        exported = {line.split()[-1] for line in symbols.splitlines() if line.split()[1] in "TDBVW"}
        assert exported == {"PyInit_" + name.rpartition(".")[2]}


def test_reload_and_re_execution_keep_the_module():
    assert importlib.reload(kestril) is kestril
    assert kestril.rot_points_multi_rads.__module__ == kestril.__name__


def test_a_second_create_returns_the_module_and_exec_is_a_no_op():
    spec = importlib.util.find_spec("halvex.preprocessing.kestril")
    assert spec.loader.create_module(spec) is kestril
    function = kestril.rot_points_multi_rads
    spec.loader.exec_module(kestril)
    assert kestril.rot_points_multi_rads is function


def test_subinterpreter_import_fails_cleanly():
    out = run_python(
        """
        import _xxsubinterpreters as interpreters
        from halvex.preprocessing import kestril
        for isolated in (True, False):
            interpreter = interpreters.create(isolated=isolated)
            try:
                interpreters.run_string(interpreter, "import halvex.preprocessing.kestril")
            except Exception as error:
                print(type(error).__name__, error)
        """
    )
    lines = out.splitlines()
    assert len(lines) == 2 and all("ImportError" in line for line in lines)
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in lines[1]


# ---- function objects ------------------------------------------------------------


def test_function_attributes():
    f = kestril.rot_points_multi_rads
    assert f.__name__ == "rot_points_multi_rads" and f.__qualname__ == "rot_points_multi_rads"
    assert f.__module__ == "halvex.preprocessing.kestril"
    assert f.__doc__ == (
        "rot_points_multi_rads(points: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any])"
        " -> np.ndarray[Any, Any]\n\nRotate the box points inplace (!) and return a reference to the first argument."
    )
    assert f.__annotations__ == {
        "points": "np.ndarray[Any, Any]",
        "rotation_rads": "np.ndarray[Any, Any]",
        "return": "np.ndarray[Any, Any]",
    }
    assert f.__globals__ is vars(kestril)
    assert f.__closure__ is None and f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__code__.co_varnames[:2] == ("points", "rotation_rads")
    f.__dict__["note"] = 1
    assert f.note == 1
    assert pickle.loads(pickle.dumps(f)) is f


def test_signatures_come_from_the_signature_line():
    signature = inspect.signature(kestril.get_rotation_matrix_2d)
    assert str(signature) == (
        "(*, angle_in_deg: 'float | None' = None, angle_in_rad: 'float | None' = None) -> 'np.ndarray[Any, Any]'"
    )
    assert all(p.kind is p.KEYWORD_ONLY for p in signature.parameters.values())
    assert kestril.get_rotation_matrix_2d.__kwdefaults__ == {"angle_in_deg": None, "angle_in_rad": None}
    assert list(inspect.signature(kestril.get_angles_from_points).parameters) == ["points"]


@pytest.mark.parametrize(
    "attribute, value, text",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_attribute_setters_check_types(attribute, value, text):
    with pytest.raises(TypeError) as error:
        setattr(kestril.get_angles_from_points, attribute, value)
    assert str(error.value) == text


def test_assigned_defaults_warn_and_do_not_change_calls():
    f = kestril.get_rotation_matrix_2d
    before = f.__kwdefaults__
    try:
        with pytest.warns(RuntimeWarning, match="will not affect the values used in function calls"):
            f.__kwdefaults__ = {"angle_in_deg": 90.0, "angle_in_rad": None}
        with pytest.warns(RuntimeWarning, match="will not affect the values used in function calls"):
            f.__defaults__ = (1.0,)
        assert f.__kwdefaults__["angle_in_deg"] == 90.0
        with pytest.raises(ValueError, match=r"degrees \(None\)"):
            f()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                f.__defaults__ = None
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__kwdefaults__ = before
            f.__defaults__ = None


def test_renaming_is_allowed_with_strings():
    f = kestril.get_angles_from_points
    try:
        f.__name__ = "renamed"
        f.__qualname__ = "Some.renamed"
        assert repr(f).startswith("<function Some.renamed at 0x")
    finally:
        f.__name__ = f.__qualname__ = "get_angles_from_points"


# ---- binding -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: kestril.get_angles_from_points(), "get_angles_from_points() takes exactly 1 positional argument (0 given)"),
        (
            lambda: kestril.get_angles_from_points(1, 2),
            "get_angles_from_points() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda: kestril.rot_points_multi_rads(np.zeros((1, 1, 2))),
            "rot_points_multi_rads() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: kestril.rot_points_multi_rads(rotation_rads=np.zeros(1)),
            "rot_points_multi_rads() takes exactly 2 positional arguments (0 given)",
        ),
        (lambda: kestril.get_rotation_matrix_2d(1.0), "get_rotation_matrix_2d() takes exactly 0 positional arguments (1 given)"),
        (
            lambda: kestril.get_angles_from_points(np.zeros((1, 2)), points=1),
            "get_angles_from_points() got multiple values for keyword argument 'points'",
        ),
        (
            lambda: kestril.get_angles_from_points(pts=1),
            "get_angles_from_points() got an unexpected keyword argument 'pts'",
        ),
    ],
)
def test_binding_errors(call, text):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == text


def test_keywords_bind_by_name():
    points = np.array([[[1.0, 0.0]]])
    assert kestril.rot_points_multi_rads(rotation_rads=np.array([0.0]), points=points) is points
    assert kestril.get_rotation_matrix_2d(angle_in_rad=0.0, angle_in_deg=None)[0, 0] == 1.0


def test_none_is_accepted_where_the_annotation_admits_it():
    with pytest.raises(ValueError, match=r"degrees \(None\) in radians \(None\)"):
        kestril.get_rotation_matrix_2d(angle_in_deg=None, angle_in_rad=None)


def test_float_subclass_is_rejected_with_a_note():
    class MyFloat(float):
        pass

    with pytest.raises(TypeError) as error:
        kestril.get_rotation_matrix_2d(angle_in_deg=MyFloat(1.0))
    assert str(error.value) == "Argument 'angle_in_deg' has incorrect type (expected float, got MyFloat)"
    assert any("PEP 484" in note for note in error.value.__notes__)


# ---- errors and names ----------------------------------------------------------------


def test_traceback_names_the_function_and_the_module_source():
    with pytest.raises(IndexError) as error:
        kestril.get_angles_from_points(np.zeros(2))
    frames = traceback.extract_tb(error.value.__traceback__)
    assert frames[-1].name == "get_angles_from_points"
    assert frames[-1].filename == "src/halvex/preprocessing/kestril.cpp"


def test_module_level_names_are_looked_up_at_call_time():
    namespace = vars(kestril)
    saved = namespace.pop("np")
    try:
        # numpy is now only a missing global; the numpy road needs it.
        with pytest.raises(NameError) as error:
            kestril.get_angles_from_points(np.zeros((2, 2), np.float16))
        assert str(error.value) == "name 'np' is not defined"
    finally:
        namespace["np"] = saved


def test_assertions_follow_python_O():
    out = run_python(
        """
        import numpy as np
        from halvex.preprocessing import kestril
        try:
            kestril.get_angles_from_points(np.zeros((2, 2, 1)))
            print("returned")
        except Exception as error:
            print(type(error).__name__)
        """,
        "-O",
    )
    assert out.strip() != "AssertionError"


# ---- typed parameters of the geometry functions ------------------------------------------


def test_list_parameters_take_exact_lists_only():
    class MyList(list):
        pass

    with pytest.raises(TypeError) as error:
        kestril.assemble_keypoints_after_shuffle(MyList(), [], [])
    assert str(error.value) == "Argument 'keypoints' has incorrect type (expected list, got MyList)"
    assert any("PEP 484" in note for note in error.value.__notes__)
    for bad in (None, (), np.zeros(0)):
        with pytest.raises(TypeError, match=r"Argument 'instances' has incorrect type \(expected list, got "):
            kestril.assemble_keypoints_after_shuffle([], bad, [])


def test_double_parameters_use_the_float_protocol():
    boxes = np.array([[10, 20, 4, 2, 0]], np.float32)

    class Half:
        def __float__(self):
            return 0.5

    class Broken:
        def __float__(self):
            return 1

    expected, _ = kestril.inference_boxes_to_corners(boxes, 0.5)
    np.testing.assert_array_equal(kestril.inference_boxes_to_corners(boxes, Half())[0], expected)
    np.testing.assert_array_equal(kestril.inference_boxes_to_corners(boxes, size_factor=1)[0],
                                  kestril.inference_boxes_to_corners(boxes)[0])
    with pytest.raises(TypeError, match=r"__float__ returned non-float \(type int\)"):
        kestril.inference_boxes_to_corners(boxes, Broken())


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        kestril.get_angles_from_points(**{1: np.zeros((1, 2))})


def test_extra_keywords_arrive_in_a_fresh_dictionary():
    extra = {"labels": np.array([7])}
    keypoints = [np.array([0.0, 0.0]), np.array([0.0, -1.0]), np.array([1.0, 0.0])]
    result = kestril.assemble_keypoints_after_shuffle(keypoints, ["0"] * 3, ["center", "top", "right"], **extra)
    assert result[2].tolist() == [7.0] and list(extra) == ["labels"]
