"""Every Python snippet of the README runs, in order, against the engine simulator."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Dict, List

from quenlo.sdk.simulator import EngineSimulator

README = Path(__file__).resolve().parent.parent / "README.md"


def python_snippets() -> List[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_snippets() -> None:
    assert len(python_snippets()) >= 6


def test_readme_snippets_run(capsys: Any) -> None:
    namespace: Dict[str, Any] = {"__name__": "readme"}
    try:
        for number, snippet in enumerate(python_snippets(), 1):
            try:
                exec(compile(snippet, f"README snippet {number}", "exec"), namespace)
                # The testing section shows a pytest test: run it against a fresh simulator.
                for name, value in list(namespace.items()):
                    if name.startswith("test_") and callable(value):
                        with EngineSimulator() as velm_engine:
                            value(velm_engine)
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
