"""The worked example of the simulator guide runs as its readers would run it: its files, in a pytest session."""

from __future__ import annotations

import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

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


def test_the_ci_job_rehearsed_from_a_shell_runs_as_the_guide_says() -> None:
    (script,) = [b for b in re.findall(r"```sh\n(.*?)```", GUIDE.read_text(), flags=re.S) if "velm start" in b]
    with socket.socket() as probe:  # a free port in place of the guide's
        probe.bind(("127.0.0.1", 0))
        port = str(probe.getsockname()[1])
    bin_dir = str(Path(sys.executable).parent)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    result = subprocess.run(
        ["bash", "-c", script.replace("18630", port)], capture_output=True, text=True, env=env, timeout=120
    )
    out = result.stdout + result.stderr
    assert result.returncode == 0, out
    assert [line for line in out.splitlines() if line.startswith("exit ")] == ["exit 5", "exit 1", "exit 3"]
    assert "nightly: FINISHED" in out and "Run of 'broken' failed (RUN_ERROR): Disk full" in out
