"""The .pyi stubs describe the runtime modules exactly, ship with them, and type-check strictly.

Every function, method and class in a stub is compared with the runtime object of the same
name: parameter names, kinds, defaults and annotations (as `inspect.signature` reports them),
the return annotation, classmethod/staticmethod/property wrapping, base classes and enum
members.  A stub entry whose runtime object does not exist (yet) is skipped, not failed; a
public runtime callable that the stub lacks is a failure.
"""

import ast
import importlib
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import types
import typing
from dataclasses import dataclass, field
from enum import Enum

import pytest

import callables

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src"

MODULES = list(callables.MODULES.values())

DECORATORS = ("classmethod", "staticmethod", "property")


# --- the stubs, as written -------------------------------------------------------------------


@dataclass
class StubFunction:
    node: ast.FunctionDef
    wrapper: str | None  # "classmethod", "staticmethod", "property" or None
    has_setter: bool = False


@dataclass
class StubClass:
    node: ast.ClassDef
    functions: dict[str, StubFunction] = field(default_factory=dict)  # by runtime (mangled) name
    attributes: dict[str, ast.expr] = field(default_factory=dict)  # annotated instance attributes
    members: dict[str, ast.expr] = field(default_factory=dict)  # enum members: name = value


@dataclass
class Stub:
    module_name: str
    path: pathlib.Path
    tree: ast.Module
    functions: dict[str, StubFunction]
    classes: dict[str, StubClass]


def stub_path(module_name):
    return SOURCE.joinpath(*module_name.split(".")).with_suffix(".pyi")


def mangle(class_name, name):
    if name.startswith("__") and not name.endswith("__"):
        return f"_{class_name.lstrip('_')}{name}"
    return name


def wrapper_of(node):
    decorators = [ast.unparse(decorator) for decorator in node.decorator_list]
    for kind in DECORATORS:
        if kind in decorators:
            return kind
    return None


def parse_stub(module_name):
    path = stub_path(module_name)
    tree = ast.parse(path.read_text(), filename=str(path))
    functions, classes = {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = StubFunction(node, wrapper_of(node))
        elif isinstance(node, ast.ClassDef):
            stub_class = classes[node.name] = StubClass(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    name = mangle(node.name, item.name)
                    if any(ast.unparse(d).endswith(".setter") for d in item.decorator_list):
                        stub_class.functions[name].has_setter = True
                    else:
                        stub_class.functions[name] = StubFunction(item, wrapper_of(item))
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    stub_class.attributes[item.target.id] = item.annotation
                elif isinstance(item, ast.Assign) and isinstance(item.targets[0], ast.Name):
                    stub_class.members[item.targets[0].id] = item.value  # an enum member
    return Stub(module_name, path, tree, functions, classes)


STUBS = {name: parse_stub(name) for name in MODULES}


def short(module_name):
    return module_name.rsplit(".", 1)[1]


FUNCTION_CASES = [
    pytest.param(module_name, None, name, id=f"{short(module_name)}.{name}")
    for module_name, stub in STUBS.items()
    for name in stub.functions
] + [
    pytest.param(module_name, class_name, name, id=f"{short(module_name)}.{class_name}.{name}")
    for module_name, stub in STUBS.items()
    for class_name, stub_class in stub.classes.items()
    for name in stub_class.functions
]
CLASS_CASES = [
    pytest.param(module_name, class_name, id=f"{short(module_name)}.{class_name}")
    for module_name, stub in STUBS.items()
    for class_name in stub.classes
]
MODULE_CASES = [pytest.param(name, id=short(name)) for name in MODULES]


# --- the runtime side ------------------------------------------------------------------------


def runtime_module(module_name):
    return importlib.import_module(module_name)


def runtime_class(module, class_name):
    runtime = vars(module).get(class_name)
    assert runtime is not None, f"{module.__name__}.{class_name} does not exist"
    assert isinstance(runtime, type), f"{class_name} is a {type(runtime).__name__}, not a class"
    return runtime


def namespace(stub, module):
    """The module's globals plus whatever the stub imports, to evaluate stub expressions in."""
    names = dict(vars(module))
    imports = [node for node in stub.tree.body if isinstance(node, ast.Import | ast.ImportFrom)]
    exec(compile(ast.Module(imports, type_ignores=[]), str(stub.path), "exec"), names)
    return names


def evaluate(expression, names):
    return eval(compile(ast.Expression(expression), "<stub>", "eval"), names)


def wrapper_of_runtime(value):
    for kind, wrapper in zip(DECORATORS, (classmethod, staticmethod, property)):
        if isinstance(value, wrapper):
            return kind
    return None


def unwrap(value):
    if isinstance(value, classmethod | staticmethod):
        return value.__func__
    if isinstance(value, property):
        return value.fget
    return value


def defined_in(value, module_name):
    target = unwrap(value)
    return callable(target) and getattr(target, "__module__", None) == module_name


def public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


# --- comparing signatures --------------------------------------------------------------------


def normal(annotation_text):
    return ast.unparse(ast.parse(annotation_text, mode="eval"))


def stub_annotation(node):
    return None if node is None else normal(ast.unparse(node))


def runtime_annotation(annotation):
    if annotation is inspect.Parameter.empty or annotation is inspect.Signature.empty:
        return None
    if isinstance(annotation, str):
        return normal(annotation)
    return f"<not a string: {annotation!r}>"


def stub_parameters(node):
    """(name, kind, annotation text, default expression or None) per parameter."""
    arguments = node.args
    positional = [*arguments.posonlyargs, *arguments.args]
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    kinds = [inspect.Parameter.POSITIONAL_ONLY] * len(arguments.posonlyargs)
    kinds += [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(arguments.args)
    rows = [
        (argument.arg, kind, stub_annotation(argument.annotation), default)
        for argument, kind, default in zip(positional, kinds, defaults)
    ]
    if arguments.vararg:
        vararg = arguments.vararg
        rows.append(
            (vararg.arg, inspect.Parameter.VAR_POSITIONAL, stub_annotation(vararg.annotation), None)
        )
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        annotation = stub_annotation(argument.annotation)
        rows.append((argument.arg, inspect.Parameter.KEYWORD_ONLY, annotation, default))
    if arguments.kwarg:
        kwarg = arguments.kwarg
        rows.append(
            (kwarg.arg, inspect.Parameter.VAR_KEYWORD, stub_annotation(kwarg.annotation), None)
        )
    return rows


def same_value(a, b):
    return type(a) is type(b) and (a is b or a == b)


def signature_text(rows):
    return ", ".join(f"{kind.description} {name}: {note}" for name, kind, note, _ in rows)


def compare_signature(stub_function, runtime_function, names, where):
    signature = inspect.signature(runtime_function)
    stub_rows = stub_parameters(stub_function.node)
    runtime_rows = [
        (p.name, p.kind, runtime_annotation(p.annotation), p.default)
        for p in signature.parameters.values()
    ]
    problems = []
    if [(n, k) for n, k, _, _ in stub_rows] != [(n, k) for n, k, _, _ in runtime_rows]:
        problems.append(
            "parameters differ:"
            f"\n  stub:    {signature_text(stub_rows)}"
            f"\n  runtime: {signature_text(runtime_rows)}"
        )
    else:
        for (name, _, stub_note, stub_default), (_, _, runtime_note, runtime_default) in zip(
            stub_rows, runtime_rows
        ):
            if stub_note != runtime_note:
                problems.append(
                    f"annotation of {name}: stub {stub_note!r}, runtime {runtime_note!r}"
                )
            if stub_default is None:
                if runtime_default is not inspect.Parameter.empty:
                    problems.append(f"{name}: runtime default {runtime_default!r}, stub has none")
            elif runtime_default is inspect.Parameter.empty:
                problems.append(
                    f"{name}: stub default {ast.unparse(stub_default)}, runtime has none"
                )
            else:
                value = evaluate(stub_default, names)
                if not same_value(value, runtime_default):
                    problems.append(
                        f"default of {name}: stub {ast.unparse(stub_default)} = {value!r}, "
                        f"runtime {runtime_default!r}"
                    )
    stub_return = stub_annotation(stub_function.node.returns)
    runtime_return = runtime_annotation(signature.return_annotation)
    if stub_return != runtime_return:
        problems.append(f"return annotation: stub {stub_return!r}, runtime {runtime_return!r}")
    assert not problems, f"{where}:\n" + "\n".join(problems)


# --- the tests -------------------------------------------------------------------------------


@pytest.mark.parametrize(("module_name", "class_name", "name"), FUNCTION_CASES)
def test_stub_signature_matches_runtime(module_name, class_name, name):
    stub = STUBS[module_name]
    module = runtime_module(module_name)
    if class_name is None:
        stub_function = stub.functions[name]
        owner = vars(module)
    else:
        stub_function = stub.classes[class_name].functions[name]
        owner = vars(runtime_class(module, class_name))
    assert name in owner, f"{module_name}: {class_name or 'module'} has no {name}"
    runtime = owner[name]
    where = f"{module_name}.{class_name + '.' if class_name else ''}{name}"

    assert wrapper_of_runtime(runtime) == stub_function.wrapper, (
        f"{where}: stub says {stub_function.wrapper or 'plain function'}, "
        f"runtime is {type(runtime).__name__}"
    )
    if isinstance(runtime, property):
        writable = runtime.fset is not None
        assert writable == stub_function.has_setter, f"{where}: writability differs"
    compare_signature(stub_function, unwrap(runtime), namespace(stub, module), where)


@pytest.mark.parametrize(("module_name", "class_name"), CLASS_CASES)
def test_stub_class_matches_runtime(module_name, class_name):
    stub = STUBS[module_name]
    stub_class = stub.classes[class_name]
    module = runtime_module(module_name)
    runtime = runtime_class(module, class_name)
    names = namespace(stub, module)

    stub_bases = tuple(evaluate(base, names) for base in stub_class.node.bases) or (object,)
    assert runtime.__bases__ == stub_bases

    missing = sorted(
        name
        for name, value in vars(runtime).items()
        if public(name)
        and defined_in(value, module_name)
        and name not in stub_class.functions
    )
    assert not missing, f"{class_name} has methods the stub does not declare: {missing}"

    if issubclass(runtime, Enum) or stub_class.members:
        assert issubclass(runtime, Enum)
        stub_members = [
            (name, evaluate(value, names)) for name, value in stub_class.members.items()
        ]
        runtime_members = [(member.name, member.value) for member in runtime]
        assert [n for n, _ in stub_members] == [n for n, _ in runtime_members]
        for (name, stub_value), (_, runtime_value) in zip(stub_members, runtime_members):
            assert same_value(stub_value, runtime_value), name


@pytest.mark.parametrize("module_name", MODULE_CASES)
def test_every_public_runtime_callable_is_in_the_stub(module_name):
    stub = STUBS[module_name]
    module = runtime_module(module_name)
    declared = stub.functions.keys() | stub.classes.keys()
    missing = sorted(
        name
        for name, value in vars(module).items()
        if public(name) and not name.startswith("__") and defined_in(value, module_name)
        and name not in declared
    )
    assert not missing, f"{module_name} defines names the stub does not declare: {missing}"


@pytest.mark.parametrize("module_name", MODULE_CASES)
def test_stub_and_marker_ship_with_the_module(module_name):
    module = runtime_module(module_name)
    installed = pathlib.Path(module.__file__).with_name(f"{short(module_name)}.pyi")
    assert installed.is_file(), f"no stub next to {module.__file__}"
    assert installed.read_text() == stub_path(module_name).read_text(), f"{installed} is stale"
    package_root = pathlib.Path(importlib.import_module("halvex").__file__).parent
    assert (package_root / "py.typed").is_file()


# Instances made as a caller would make them, to check the attributes the stubs declare.
def _one_of_members():
    import albumentations

    return [albumentations.HorizontalFlip(p=0.2), albumentations.VerticalFlip(p=0.3)]


SAMPLE_INSTANCES = {
    "RelativeCrop": lambda m: m.RelativeCrop(0.1, 0.2, 0.7, 0.8),
    "CropData": lambda m: m.CropData(0, 4, 0.0, 0.5, 0.5, 1.0, 2, 2),
    "CropsData": lambda m: m.CropsData([m.CropData(0, 1, 0.0, 1.0, 0.0, 1.0, 1, 1)]),
    "MeshCrop": lambda m: m.MeshCrop(2, 3, 0.5, 0.4),
    "RelativeCenterCrop": lambda m: m.RelativeCenterCrop(1.5),
    "RelativePadding": lambda m: m.RelativePadding(1.5),
    "ChannelAssembler": lambda m: m.ChannelAssembler(
        [{"channel": {"channel_type": {"selection": "red"}}}], False, 1.0
    ),
    "OneOfRetainProb": lambda m: m.OneOfRetainProb(_one_of_members()),
}


def conforms(value, annotation):
    """Whether value is of the annotated type, with bool, int and float kept apart."""
    if annotation is typing.Any:
        return True
    if annotation is None:
        return value is None
    origin, arguments = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is types.UnionType or origin is typing.Union:
        return any(conforms(value, argument) for argument in arguments)
    if origin in (list, set):
        return type(value) is origin and all(conforms(item, arguments[0]) for item in value)
    if origin is dict:
        return type(value) is dict and all(
            conforms(k, arguments[0]) and conforms(v, arguments[1]) for k, v in value.items()
        )
    if origin is not None:
        return isinstance(value, origin)
    if annotation in (bool, int, float):
        return type(value) is annotation
    return isinstance(value, annotation)


ATTRIBUTE_CASES = [
    pytest.param(module_name, class_name, id=f"{short(module_name)}.{class_name}")
    for module_name, stub in STUBS.items()
    for class_name, stub_class in stub.classes.items()
    if stub_class.attributes
]


@pytest.mark.parametrize(("module_name", "class_name"), ATTRIBUTE_CASES)
def test_declared_attributes_exist_with_their_types(module_name, class_name):
    stub = STUBS[module_name]
    module = runtime_module(module_name)
    runtime_class(module, class_name)
    assert "__init__" in vars(vars(module)[class_name]), f"{class_name}.__init__ does not exist"
    assert class_name in SAMPLE_INSTANCES, f"give {class_name} a sample instance"
    instance = SAMPLE_INSTANCES[class_name](module)
    names = namespace(stub, module)
    for name, annotation in STUBS[module_name].classes[class_name].attributes.items():
        assert hasattr(instance, name), f"{class_name} instances have no {name}"
        value = getattr(instance, name)
        assert conforms(value, evaluate(annotation, names)), (
            f"{class_name}.{name} = {value!r} is not {ast.unparse(annotation)}"
        )


def test_stubs_and_examples_pass_mypy_strict(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.fail("mypy is not installed; install requirements-dev.txt with constraints.txt")
    # mypy reads the stubs from the source tree (mypy_path); nothing it runs needs a
    # sanitizer runtime or a staged build.
    environment = {
        key: value
        for key, value in os.environ.items()
        if key not in ("LD_PRELOAD", "PYTHONPATH", "MYPYPATH") and not key.endswith("SAN_OPTIONS")
    }
    examples = sorted(str(path.relative_to(ROOT)) for path in (ROOT / "examples").glob("*.py"))
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict",
            "--config-file", str(ROOT / "pyproject.toml"),
            "--cache-dir", str(tmp_path / "mypy-cache"),
            "src/halvex", *examples,
        ],
        cwd=ROOT, env=environment, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
