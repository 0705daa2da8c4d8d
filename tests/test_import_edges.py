"""Importing in unusual ways: every module either imports or raises, and never crashes.

The basic cases for kestril (reload, a second create, a subinterpreter after
the main interpreter) live with the frame's tests; these extend them to all
six modules and to the orders and failures a host program can produce.
"""

import subprocess
import sys
import textwrap

from callables import MODULES

NAMES = list(MODULES.values())


def run_python(script, *arguments):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *arguments], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.splitlines()


def test_reload_and_reimport_keep_the_module():
    # In a process of its own: both rebind the module's __spec__ and __loader__.
    lines = run_python(
        """
        import importlib, sys
        for name in sys.argv[1:]:
            module = importlib.import_module(name)
            members = {key: value for key, value in vars(module).items() if not key.startswith("__")}
            same = importlib.reload(module) is module
            del sys.modules[name]
            same = same and importlib.import_module(name) is module
            kept = all(vars(module)[key] is value for key, value in members.items())
            print(name, same, kept)
        """,
        *NAMES,
    )
    assert lines == [f"{name} True True" for name in NAMES]


def test_every_module_refuses_a_second_interpreter():
    lines = run_python(
        """
        import importlib, sys, warnings
        import _xxsubinterpreters as interpreters
        warnings.simplefilter("ignore")
        for name in sys.argv[1:]:
            importlib.import_module(name)
            for isolated in (True, False):
                interpreter = interpreters.create(isolated=isolated)
                try:
                    interpreters.run_string(interpreter, "import " + name)
                    print(name, "imported")
                except Exception as error:  # the subinterpreter's exception arrives wrapped
                    print(name, "ImportError" in str(error))
                finally:
                    interpreters.destroy(interpreter)
        """,
        *NAMES,
    )
    assert len(lines) == 2 * len(NAMES)
    assert all(line.endswith("True") for line in lines), lines


def test_a_subinterpreter_first_keeps_the_module_and_the_main_interpreter_gets_an_error():
    # The first interpreter that imports a module owns it for the whole process,
    # even after that interpreter is gone.
    lines = run_python(
        """
        import importlib, sys, warnings
        import _xxsubinterpreters as interpreters
        warnings.simplefilter("ignore")
        name = sys.argv[1]
        interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, "import warnings; warnings.simplefilter('ignore'); import " + name)
        interpreters.destroy(interpreter)
        for attempt in range(2):
            try:
                importlib.import_module(name)
                print("imported")
            except ImportError as error:
                print(error)
        """,
        MODULES["kestril"],
    )
    assert lines == ["Interpreter change detected - this module can only be loaded into one interpreter per process."] * 2


def test_a_failed_import_can_be_retried():
    # numpy missing at the first attempt: the module body fails, leaves no
    # half-made module behind, and imports normally once numpy is back.
    lines = run_python(
        """
        import importlib, sys
        for name in sys.argv[1:]:
            saved = sys.modules.pop("numpy", None)
            sys.modules["numpy"] = None
            try:
                importlib.import_module(name)
                print(name, "imported without numpy")
            except ImportError:
                pass
            finally:
                del sys.modules["numpy"]
                if saved is not None:
                    sys.modules["numpy"] = saved
            module = importlib.import_module(name)
            print(name, module.__test__ == {} and importlib.import_module(name) is module)
        """,
        *NAMES,
    )
    assert lines == [f"{name} True" for name in NAMES]
