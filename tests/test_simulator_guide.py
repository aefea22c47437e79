"""The worked example of the simulator guide runs as its readers would run it: its files, in a pytest session."""

from __future__ import annotations

import inspect
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from quenlo.sdk.simulator import EngineSimulator

pytest_plugins = ["pytester"]

GUIDE = Path(__file__).resolve().parent.parent / "docs" / "simulator.md"


def guide_files() -> dict[str, str]:
    """The guide's Python blocks that open with ``# file: NAME``, by file name."""
    blocks = re.findall(r"```python\n# file: (\S+)\n(.*?)```", GUIDE.read_text(), flags=re.S)
    return dict(blocks)


def test_the_worked_example_passes(pytester: pytest.Pytester) -> None:
    files = guide_files()
    assert sorted(files) == ["nightly.py", "test_nightly.py"]
    for name, source in files.items():
        pytester.path.joinpath(name).write_text(source)
    pytester.syspathinsert()
    with pytest.MonkeyPatch.context() as patch:
        # Our plugin alone: other plugins would only cost start-up time here.
        patch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        result = pytester.runpytest_inprocess("-p", "quenlo.sdk.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3)


def test_the_guide_without_pytest_runs() -> None:
    (snippet,) = re.findall(r"## Without pytest\n\n```python\n(.*?)```", GUIDE.read_text(), flags=re.S)
    exec(compile(snippet, "guide: without pytest", "exec"), {"__name__": "guide"})


def free_port() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return str(probe.getsockname()[1])


def run_shell_block(marker: str, port: str, cwd: Path, **env: str) -> str:
    """Run the guide's one sh block that holds ``marker``, on a free port in place of ``port``; its output."""
    (script,) = [b for b in re.findall(r"```sh\n(.*?)```", GUIDE.read_text(), flags=re.S) if marker in b]
    bin_dir = str(Path(sys.executable).parent)
    environment = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", **env}
    for name in [name for name, value in env.items() if not value]:
        del environment[name]
    result = subprocess.run(
        ["bash", "-c", script.replace(port, free_port())],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
        cwd=cwd,
    )
    out = result.stdout + result.stderr
    assert result.returncode == 0, out
    return out


def test_the_ci_job_rehearsed_from_a_shell_runs_as_the_guide_says(tmp_path: Path) -> None:
    out = run_shell_block("velm start", "18630", tmp_path)
    assert [line for line in out.splitlines() if line.startswith("exit ")] == ["exit 5", "exit 1", "exit 3", "exit 1"]
    assert "3 runs: 2 finished, 1 failed" in out and "weekly: FINISHED after" in out
    assert "nightly: FINISHED" in out and "Run of 'broken' failed (RUN_ERROR): Disk full" in out


def test_the_ci_job_rehearsed_over_https_runs_as_the_guide_says(tmp_path: Path) -> None:
    # velm --ca-bundle names the CA, whatever the machine's own CA variables say.
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    out = run_shell_block("--tls", "18631", tmp_path, TMPDIR=str(temporary))
    assert [line for line in out.splitlines() if line.startswith("exit ")] == ["exit 7"]
    assert "nightly: FINISHED after" in out
    assert f"CA bundle (for velm --ca-bundle): {temporary}" in (tmp_path / "engine.out").read_text()
    assert list(temporary.iterdir()) == []  # the kill stopped the engine, which took its CA files along


def test_the_https_example_runs() -> None:
    (snippet,) = re.findall(r"## HTTPS\n.*?```python\n(.*?)```", GUIDE.read_text(), flags=re.S)
    exec(compile(snippet, "guide: HTTPS", "exec"), {"__name__": "guide"})


def test_the_inject_fault_signature_shown_is_the_real_one() -> None:
    (shown,) = re.findall(r"velm_engine\.inject_fault\((method, path.*?)\)\n", GUIDE.read_text())
    parameters = list(inspect.signature(EngineSimulator.inject_fault).parameters.values())[1:]
    real = [p.name if p.default is p.empty else f"{p.name}={p.default!r}" for p in parameters]
    assert shown == ", ".join(real)


def test_the_time_claims_point_to_what_the_report_measures() -> None:
    # What virtual time costs depends on the machine: the guide names the measures, `make bench` writes them.
    text = " ".join(GUIDE.read_text().split())
    report = (GUIDE.parent / "benchmarks.md").read_text()
    (section,) = re.findall(r"^## 8\. Virtual time and the fixtures\n(.*?)^## ", report, flags=re.S | re.M)
    assert "(section 8 of its report, docs/benchmarks.md;" in text
    for measure in ("a half-minute run", "-virtual-second run", "fixture set-up, first test", "each later test"):
        assert measure in section
    assert not re.search(r"\d ms\b|\d s real|milliseconds", text.split("## From a shell")[0])
