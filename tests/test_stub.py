"""The type stub shipped with the extension describes exactly what the extension binds."""

from __future__ import annotations

import ast
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest

from quenlo.sdk import velm_api

STUB = Path(velm_api.__file__).with_name("velm_api.pyi")

Params = List[Tuple[str, Any]]
_NO_DEFAULT = object()


def _params(function: ast.FunctionDef) -> Params:
    args = function.args.args
    defaults = [_NO_DEFAULT] * (len(args) - len(function.args.defaults)) + [
        ast.literal_eval(d) for d in function.args.defaults
    ]
    return [(a.arg, d) for a, d in zip(args, defaults)]


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
    # nanobind puts the signature on the first line of the docstring.
    signature = function.__doc__.splitlines()[0]
    tree = ast.parse(f"def {signature}: pass")
    return _params(tree.body[0])  # type: ignore[arg-type]


def _bound_methods(cls: type) -> Dict[str, Params]:
    return {name: _bound_params(member) for name, member in vars(cls).items() if type(member).__name__ == "nb_method"}


STUB_CLASSES = _stub_classes()
EXCEPTIONS = {"StatusError", "StartError", "RunningError", "RunError", "ConnectError"}


def test_stub_names_the_module_public_names() -> None:
    module_names = {n for n in vars(velm_api) if not n.startswith("_")}
    stub_names = set(STUB_CLASSES)
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stub_names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            stub_names.update((alias.asname or alias.name) for alias in node.names if alias.asname)
    assert module_names == {n for n in stub_names if not n.startswith("_")}


@pytest.mark.parametrize("class_name", sorted(set(STUB_CLASSES) - EXCEPTIONS))
def test_stub_methods_match_the_bindings(class_name: str) -> None:
    cls = getattr(velm_api, class_name)
    assert _bound_methods(cls) == STUB_CLASSES[class_name]


@pytest.mark.parametrize("class_name", sorted(EXCEPTIONS))
def test_stub_exceptions_match(class_name: str) -> None:
    cls = getattr(velm_api, class_name)
    stub = STUB_CLASSES[class_name]
    if "__init__" in stub:
        assert _bound_params(cls.__init__) == stub["__init__"]
    assert cls.__doc__.splitlines()[0] in STUB.read_text()


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
