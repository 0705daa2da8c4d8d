"""`pip wheel .` builds a wheel that installs and imports on its own."""

import pathlib
import site
import sys
import sysconfig

import callables
from installing import run

MODULES = list(callables.MODULES.values())


def test_wheel_installs_into_a_fresh_environment_and_imports(tmp_path, halvex_wheel):
    wheel = halvex_wheel
    fresh = tmp_path / "fresh"
    run(sys.executable, "-m", "venv", "--without-pip", str(fresh))
    python = fresh / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--no-deps", str(wheel))
    # The dependencies come from this environment, behind the fresh one's own
    # site-packages, so the halvex imported is the one from the wheel.
    fresh_site = pathlib.Path(
        run(str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip()
    )
    dependencies = site.getsitepackages() + [sysconfig.get_paths()["purelib"]]
    (fresh_site / "dependencies.pth").write_text("\n".join(dict.fromkeys(dependencies)) + "\n")

    script = f"""
import importlib, pathlib, numpy as np
modules = [importlib.import_module(name) for name in {MODULES!r}]
for module in modules:
    assert pathlib.Path(module.__file__).is_relative_to({str(fresh_site)!r}), module.__file__
kestril = modules[0]
print(kestril.orva_to_box_corners(np.array([[0.0, 0.0, 2.0, 2.0, 0.0]])).tolist())
"""
    output = run(str(python), "-c", script)
    assert output.strip() == "[[[-1.0, -1.0], [-1.0, 1.0], [1.0, 1.0], [1.0, -1.0]]]"
    installed = {path.relative_to(fresh_site).as_posix() for path in fresh_site.rglob("*")}
    assert "halvex/py.typed" in installed
    for name in MODULES:
        assert name.replace(".", "/") + ".pyi" in installed
