"""Every Python snippet of the README runs, in order, against the engine simulator."""

from __future__ import annotations

import inspect
import re
from pathlib import Path
from typing import Any, Dict, List

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
