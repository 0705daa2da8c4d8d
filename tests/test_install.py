"""`pip install halvex` needs numpy only; the transforms come with the extra `halvex[transforms]`."""

import subprocess
import sys
import textwrap

from installing import clean_environment, run

TRANSFORM = "halvex.preprocessing.augmentations.transform.brisel"


def test_a_transform_without_albumentations_says_which_extra_to_install():
    script = f"""
    import sys
    sys.modules["albumentations"] = None  # as if it were not installed
    try:
        import {TRANSFORM}
    except ModuleNotFoundError as missing:
        print(missing.name)
        print(*missing.__notes__, sep="\\n")
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, check=True)
    name, note = result.stdout.splitlines()
    assert name == "albumentations"
    assert "pip install 'halvex[transforms]'" in note and "Albumentations 1.1.0" in note


def test_halvex_installs_beside_albumentations_2(tmp_path, halvex_wheel):
    fresh = tmp_path / "fresh"
    run(sys.executable, "-m", "venv", "--without-pip", str(fresh))
    python = str(fresh / "bin" / "python")
    install = (sys.executable, "-m", "pip", "--python", python, "install", "-q")
    run(*install, "albumentations>=2,<3")
    run(*install, str(halvex_wheel))  # without the extra: numpy is all it asks for

    script = f"""
    import importlib.metadata, numpy as np
    from halvex import ops
    from halvex.preprocessing import kestril
    print(importlib.metadata.version("albumentations"))
    boxes = np.array([[0.0, 0.0, 2.0, 2.0, 0.0]])
    print(kestril.orva_to_box_corners(boxes).tolist())
    print(ops.box_convert(boxes, "orva", "le90").tolist())
    try:
        import {TRANSFORM}
    except ImportError as refused:
        print(type(refused).__name__, refused, *refused.__notes__, sep="\\n")
    """
    result = subprocess.run(
        [python, "-c", textwrap.dedent(script)], env=clean_environment(), capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr[-3000:]
    version, corners, le90, error, message, note = result.stdout.splitlines()
    assert version.startswith("2.")
    assert corners == "[[[-1.0, -1.0], [-1.0, 1.0], [1.0, 1.0], [1.0, -1.0]]]"
    assert le90 == "[[0.0, 0.0, 2.0, 2.0, -1.5707963267948966]]"  # a square turns a quarter in le90
    assert error == "ImportError"
    assert message == f"halvex's transforms need Albumentations 1.1.0, not {version}"
    assert "pip install 'halvex[transforms]'" in note
