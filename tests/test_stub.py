"""The type stub shipped with the extension describes exactly what the extension binds."""

from __future__ import annotations

import ast
import difflib
import filecmp
import inspect
import pydoc
import re
import types
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest

from quenlo.sdk import velm_api, waits

STUB = Path(velm_api.__file__).with_name("velm_api.pyi")
ROOT = Path(__file__).resolve().parent.parent
COMMITTED_STUB = ROOT / "src" / "quenlo" / "sdk" / "velm_api.pyi"

Params = List[Tuple[str, Any]]
_NO_DEFAULT = object()


def _params(function: ast.FunctionDef) -> Params:
    args = function.args.args
    defaults = [_NO_DEFAULT] * (len(args) - len(function.args.defaults)) + [
        ast.literal_eval(d) for d in function.args.defaults
    ]
    keyword_defaults = [_NO_DEFAULT if d is None else ast.literal_eval(d) for d in function.args.kw_defaults]
    return [(a.arg, d) for a, d in zip(args + function.args.kwonlyargs, defaults + keyword_defaults)]


def _stub_classes() -> Dict[str, Dict[str, Params]]:
    tree = ast.parse(STUB.read_text())
    classes: Dict[str, Dict[str, Params]] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {
                item.name: _params(item)
                for item in node.body
                if isinstance(item, ast.FunctionDef)
                and not any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list)
            }
    return classes


def _bound_params(function: Any) -> Params:
    if isinstance(function, types.FunctionType):
        empty = inspect.Parameter.empty
        parameters = inspect.signature(function).parameters.values()
        return [(p.name, _NO_DEFAULT if p.default is empty else p.default) for p in parameters]
    # nanobind puts the signature on the first line of the docstring.
    signature = function.__doc__.splitlines()[0]
    tree = ast.parse(f"def {signature}: pass")
    return _params(tree.body[0])  # type: ignore[arg-type]


def _bound_methods(cls: type) -> Dict[str, Params]:
    return {
        name: _bound_params(member)
        for name, member in vars(cls).items()
        if type(member).__name__ == "nb_method" or isinstance(member, types.FunctionType)
    }


STUB_CLASSES = _stub_classes()
EXCEPTIONS = {
    "StatusError",
    "StartError",
    "RunningError",
    "RunError",
    "ConnectError",
    "UnexpectedStatusError",
    "WaitAllError",
    "WaitTimeoutError",
    "WaitCancelledError",
}


# Modules the stub imports only to spell types in signatures (threading.Event, types.TracebackType); the module
# itself does not bind them.
ANNOTATION_ONLY_IMPORTS = {"threading", "types"}


def test_stub_names_the_module_public_names() -> None:
    module_names = {n for n in vars(velm_api) if not n.startswith("_")}
    stub_names = set(STUB_CLASSES)
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stub_names.add(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            stub_names.add(node.name)
        elif isinstance(node, ast.ImportFrom):
            stub_names.update(alias.asname for alias in node.names if alias.asname)
        elif isinstance(node, ast.Import):
            stub_names.update(
                alias.asname or alias.name
                for alias in node.names
                if "." not in alias.name and alias.name not in ANNOTATION_ONLY_IMPORTS
            )
    assert module_names == {n for n in stub_names if not n.startswith("_")}


@pytest.mark.parametrize("class_name", sorted(set(STUB_CLASSES) - EXCEPTIONS))
def test_stub_methods_match_the_bindings(class_name: str) -> None:
    cls = getattr(velm_api, class_name)
    assert _bound_methods(cls) == STUB_CLASSES[class_name]


def test_stub_takes_the_wait_classes_from_their_module() -> None:
    # They are Python classes: type checkers read their attributes where they are written.
    tree = ast.parse(STUB.read_text())
    imported = {
        alias.name
        for node in tree.body
        if isinstance(node, ast.ImportFrom) and node.module == "quenlo.sdk.waits"
        for alias in node.names
    }
    assert imported == set(waits.__all__) == EXCEPTIONS | {"WaitProgress"}
    assert all(getattr(velm_api, name) is getattr(waits, name) for name in imported)


@pytest.mark.parametrize("class_name", sorted(set(STUB_CLASSES) - EXCEPTIONS))
def test_every_public_member_has_a_docstring(class_name: str) -> None:
    cls = getattr(velm_api, class_name)
    assert cls.__doc__
    for name, member in vars(cls).items():
        if name.startswith("_") and name != "__init__":
            continue
        doc = (getattr(member, "__doc__", None) or "").strip()
        if type(member).__name__ == "nb_method":
            # nanobind's first docstring line is the signature; a description must follow it.
            assert len(doc.splitlines()) > 1, f"{class_name}.{name} has no description"
        elif isinstance(member, property):
            assert doc, f"{class_name}.{name} has no description"


def _generated_stub() -> Path:
    """The stub the build generated beside the very module this run imports."""
    module = Path(velm_api.__file__)
    for built in sorted(ROOT.glob(f"build/*/{module.name}")):
        if filecmp.cmp(built, module, shallow=False) and built.with_name("velm_api.pyi").exists():
            return built.with_name("velm_api.pyi")
    pytest.skip(f"no build folder under {ROOT / 'build'} holds the imported module {module}")


def _ordered_imports(text: str) -> list[str]:
    """The stub's lines with its plain `import x` lines sorted together at the top: stub generators of older
    nanobind releases (the one Python 3.9 gets) group the standard and third-party modules differently."""
    lines = text.splitlines(keepends=True)
    imports = sorted(line for line in lines if re.fullmatch(r"import [\w.]+\n", line))
    rest = [line for line in lines if line not in imports]
    return imports + [line for i, line in enumerate(rest) if line.strip() or (i and rest[i - 1].strip())]


def test_committed_stub_is_the_generated_one() -> None:
    generated = _generated_stub()
    diff = "".join(
        difflib.unified_diff(
            _ordered_imports(COMMITTED_STUB.read_text()),
            _ordered_imports(generated.read_text()),
            str(COMMITTED_STUB),
            str(generated),
        )
    )
    assert not diff, (
        "the committed stub differs from the one the build generated from the bindings; after changing a\n"
        "binding or src/velm_api/stub_patterns.txt, rebuild (make install) and run\n"
        f"    cp {generated} {COMMITTED_STUB}\n" + diff
    )


def test_installed_stub_is_the_committed_one() -> None:
    assert STUB.read_text() == COMMITTED_STUB.read_text()


@pytest.mark.parametrize(
    ("method", "annotation"),
    [
        ("ApiClient.get_logs", "pipeline: 'str | quenlo.sdk.velm_models.Pipeline | None' = None"),
        ("PipelineCommand.wait_for_status", "status: str | list[str] | tuple[str, ...]"),
        ("ApiClient.start_pipeline", "-> 'StartPipelineCommand'"),
        ("ApiClient.get_bundle", "-> 'zipfile.ZipFile'"),
    ],
)
def test_help_shows_real_types(method: str, annotation: str) -> None:
    cls, name = method.split(".")
    function = getattr(getattr(velm_api, cls), name)
    shown = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert annotation.replace("'", "") in shown.replace("'", "")
    assert function.__doc__.strip().splitlines()[-1].strip() in shown
