"""The example scripts run against the embedded simulator, and type-check under mypy --strict."""

from __future__ import annotations

import importlib
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Iterator, List

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def examples_path() -> Iterator[None]:
    sys.path.insert(0, str(EXAMPLES))
    yield
    sys.path.remove(str(EXAMPLES))


def run_example(name: str, argv: List[str]) -> int:
    module = importlib.import_module(name)
    return int(module.main(argv))


def test_run_pipeline(examples_path: None, capsys: Any) -> None:
    assert run_example("run_pipeline", ["--param", "batchSize=5"]) == 0
    out = capsys.readouterr().out
    assert "first batch processed" in out
    assert "orders finished: FINISHED" in out


def test_preview_records(examples_path: None, capsys: Any) -> None:
    assert run_example("preview_records", ["--records", "2"]) == 0
    out = capsys.readouterr().out
    assert "<Preview" in out
    assert " records" in out


def test_export_all(examples_path: None, tmp_path: Path, capsys: Any) -> None:
    assert run_example("export_all", ["--out", str(tmp_path)]) == 0
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == ["customers.json", "orders.json"]
    assert '"definition"' in (tmp_path / "orders.json").read_text()


def test_health_check(examples_path: None, tmp_path: Path, capsys: Any) -> None:
    import zipfile

    bundle = tmp_path / "bundle.zip"
    assert run_example("health_check", ["--bundle", str(bundle)]) == 0
    with zipfile.ZipFile(bundle) as archive:
        assert archive.namelist()
    assert "health report" in capsys.readouterr().out


@pytest.mark.skipif(
    shutil.which("mypy") is None and not (Path(sys.executable).parent / "mypy").exists(), reason="mypy is not installed"
)
def test_examples_type_check_strictly() -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", str(EXAMPLES)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("script", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_every_example_compiles_on_this_interpreter(script: str) -> None:
    # mypy parses newer syntax than the oldest interpreter we support; the tour is too slow to run here.
    source = (EXAMPLES / script).read_text()
    compile(source, script, "exec")
