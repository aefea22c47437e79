"""Every Python snippet of the README runs, in order, against the engine simulator, and its tables of operations
and waits give the names, parameters and defaults the module binds."""

from __future__ import annotations

import ast
import inspect
import re
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator

README = Path(__file__).resolve().parent.parent / "README.md"


def python_snippets() -> List[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def run_as_pytest_would(test: Any) -> None:
    """Call a test with the plugin's fixtures it names, on an engine set up as its velm_engine marker says."""
    settings = next((m.kwargs for m in getattr(test, "pytestmark", []) if m.name == "velm_engine"), {})
    with EngineSimulator(**settings) as velm_engine:
        fixtures = {"velm_engine": velm_engine, "velm_client": velm_api.ApiClient(velm_engine.url)}
        velm_engine.clear_requests()
        test(**{name: fixtures[name] for name in inspect.signature(test).parameters})


def test_readme_has_snippets() -> None:
    assert len(python_snippets()) >= 6


def test_readme_snippets_run(capsys: Any) -> None:
    namespace: Dict[str, Any] = {"__name__": "readme"}
    try:
        for number, snippet in enumerate(python_snippets(), 1):
            try:
                exec(compile(snippet, f"README snippet {number}", "exec"), namespace)
                # The testing section shows a pytest test: run it against a simulator its marker configures.
                for name, value in list(namespace.items()):
                    if name.startswith("test_") and callable(value):
                        run_as_pytest_would(value)
                        del namespace[name]
            except Exception as error:
                raise AssertionError(f"README snippet {number} failed: {error!r}\n{snippet}") from error
    finally:
        engine = namespace.get("engine")
        if isinstance(engine, EngineSimulator):
            engine.stop()
    printed = capsys.readouterr().out
    assert "disk full" in printed
    assert "engine version" in printed


def _section(title: str) -> str:
    text = README.read_text()
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end]


def _documented_calls(section: str) -> List[Tuple[str, List[Tuple[str, Any]]]]:
    """Every `name(parameters)` in the tables of a README section, with its parameters and defaults."""
    calls = []
    for row in re.findall(r"^\|(.*)\|$", section, flags=re.M):
        for code in re.findall(r"`([a-z_]+\([^`]*\))`", row):
            definition = ast.parse(f"def {code}: pass").body[0]
            assert isinstance(definition, ast.FunctionDef)
            calls.append((definition.name, _parameters(definition)))
    return calls


def _parameters(definition: ast.FunctionDef) -> List[Tuple[str, Any]]:
    args = definition.args.args
    defaults = [ast.literal_eval(d) for d in definition.args.defaults]
    defaults = [REQUIRED] * (len(args) - len(defaults)) + defaults
    return [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]


def _bound(method: Any) -> List[Tuple[str, Any]]:
    try:
        signature = inspect.signature(method)
    except ValueError:
        signature = None
    if signature is not None:
        empty = inspect.Parameter.empty
        return [(p.name, REQUIRED if p.default is empty else p.default) for p in signature.parameters.values()][1:]
    # The first line of a bound method's docstring is its signature, as help() shows it.
    definition = ast.parse(f"def {method.__doc__.splitlines()[0]}: pass").body[0]
    assert isinstance(definition, ast.FunctionDef)
    return _parameters(definition)


REQUIRED = object()
OPERATIONS = _documented_calls(_section("Operations"))
WAITS = _documented_calls(_section("Waiting for work"))
COMMANDS = [
    velm_api.PipelineCommand,
    velm_api.StartPipelineCommand,
    velm_api.StopPipelineCommand,
    velm_api.ValidateCommand,
    velm_api.PreviewCommand,
    velm_api.ConnectionValidateCommand,
    velm_api.SnapshotCommand,
]


def test_operation_tables_name_every_operation_once() -> None:
    names = [name for name, _ in OPERATIONS]
    public = sorted(n for n, v in vars(velm_api.ApiClient).items() if not n.startswith("_") and callable(v))
    assert sorted(names) == public


def _operation_rows() -> List[Tuple[str, str, str]]:
    """The name, Request and Returns cells of every row of the operation tables."""
    rows = re.findall(r"^\| `([a-z_]+)\(.*?\)` \| (.*?) \| (.*?) \|$", _section("Operations"), flags=re.M)
    return [(name, request, returns) for name, request, returns in rows]


@pytest.mark.parametrize(("name", "parameters"), OPERATIONS, ids=[name for name, _ in OPERATIONS])
def test_operation_rows_give_the_bound_parameters_and_defaults(name: str, parameters: Any) -> None:
    assert parameters == _bound(getattr(velm_api.ApiClient, name))


@pytest.mark.parametrize(("name", "request_cell", "returns"), _operation_rows(), ids=[r[0] for r in _operation_rows()])
def test_operation_rows_give_the_request_and_the_return_of_the_bound_row(
    name: str, request_cell: str, returns: str
) -> None:
    # The method's docstring ends with the request its row declares; its Returns tells the kind of answer.
    method = getattr(velm_api.ApiClient, name)
    request = re.search(r"\nRequest: (.*)$", method.__doc__)
    if re.match(r"(GET|POST|PUT|DELETE) ", request_cell):
        assert request and request.group(1) == re.sub(r" \(.*\)$", "", request_cell).replace("`", "")
    else:
        assert request is None
    annotation = method.__annotations__["return"]
    if annotation.endswith("Command"):
        assert returns == f"`{annotation}`"
    elif returns.startswith("JSON or"):
        kind = {"`{}`": "empty dict", "`[]`": "empty list"}[returns.split()[-1]]
        assert kind in method.__doc__.split("\nReturns:\n")[1]
    else:
        assert returns.replace("`", "").startswith({"typing.Any": "JSON", "None": "None"}.get(annotation, annotation))


@pytest.mark.parametrize(("name", "parameters"), WAITS, ids=[name for name, _ in WAITS])
def test_wait_rows_give_the_bound_parameters_and_defaults(name: str, parameters: Any) -> None:
    bound = [_bound(getattr(cls, name)) for cls in COMMANDS if name in vars(cls)]
    assert bound, f"no command has {name}"
    assert parameters in bound
