"""velm on a real pseudo-terminal: tables, the password prompt, and the live line of a wait."""

from __future__ import annotations

import os
import pty
import re
import select
import sys
import time
from typing import Dict, List, Optional, Tuple

import pytest

from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="needs a POSIX pseudo-terminal")

PASSWORD = "tty-s3cret"
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


def in_terminal(
    argv: List[str], env: Dict[str, str], answer: Optional[Tuple[bytes, bytes]] = None, limit: float = 30.0
) -> Tuple[int, str]:
    """Run velm with a pseudo-terminal as its terminal; ``answer`` is (prompt, reply) to type once."""
    environ = {**os.environ, **env, "TERM": "xterm-256color", "COLUMNS": "140", "LINES": "40"}
    environ.pop("VELM_PASSWORD", None)
    pid, fd = pty.fork()
    if pid == 0:  # the child: become velm at once
        os.execve(sys.executable, [sys.executable, "-m", "quenlo.sdk.cli", *argv], environ)
    output, deadline = b"", time.monotonic() + limit
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.5)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the terminal closes when velm exits
                break
            if not chunk:
                break
            output += chunk
            if answer is not None and answer[0] in output:
                os.write(fd, answer[1])
                answer = None
    finally:
        os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), output.decode("utf-8", "replace")


@pytest.fixture
def engine() -> EngineSimulator:
    with EngineSimulator(users={"admin": PASSWORD}) as simulator:
        simulator.state.pipelines.import_pipeline("orders", sample_pipeline("orders", "orders"))
        yield simulator


def env_for(engine: EngineSimulator) -> Dict[str, str]:
    return {"VELM_URL": engine.url, "VELM_USER": "admin"}


def test_password_prompt_without_echo(engine: EngineSimulator) -> None:
    prompt = (b"Password for admin", PASSWORD.encode() + b"\n")
    code, output = in_terminal(["pipelines"], env_for(engine), answer=prompt)
    assert code == 0, output
    assert PASSWORD not in output  # typed, not echoed
    assert engine.last_request.user == "admin"
    # A rich table: box-drawing rules around the headings.
    assert "━" in output and "orders" in output and "EDITED" in output


# Re-attaching to a run already going shows the same display; that run is longer, as it starts before velm.
@pytest.mark.parametrize("command, batches", [(["start", "orders", "--wait"], 8), (["wait", "orders"], 20)])
def test_live_line_updates_and_ends_naming_the_status(
    engine: EngineSimulator, command: List[str], batches: int
) -> None:
    engine.state.runs.configure("orders", batches=batches, batch_interval=0.15, start_delay=0.1)
    if command[0] == "wait":
        engine.state.runs.start("orders")
    code, output = in_terminal(
        [*command, "--interval", "0.2"],
        env_for(engine),
        answer=(b"Password for admin", PASSWORD.encode() + b"\n"),
    )
    assert code == 0, output
    text = ANSI.sub("", output)
    frames = [line.strip() for line in re.split(r"[\r\n]", text) if "elapsed" in line]
    # The live line was redrawn with the status and counts changing, not printed once.
    assert len(set(frames)) >= 3, frames
    assert any("RUNNING" in frame and "batches" in frame for frame in frames)
    assert "\x1b[" in output  # drawn in place with cursor control
    last = [line.strip() for line in re.split(r"[\r\n]", text) if line.strip()][-1]
    assert last.startswith("✔ orders: FINISHED after ") and f"{batches} batches" in last


@pytest.mark.parametrize("status, code", [("RUNNING", 0), ("RUN_ERROR", 1)])
def test_half_a_surrogate_pair_on_a_terminal_is_shown_escaped(engine: EngineSimulator, status: str, code: int) -> None:
    engine.script_status("orders", [{"status": status, "message": "disk \ud800 full"}])
    answer = (b"Password for admin", PASSWORD.encode() + b"\n")
    shown_code, output = in_terminal(["status", "orders"], env_for(engine), answer=answer)
    assert shown_code == code, output
    assert "disk \\ud800 full" in ANSI.sub("", output) and "cannot write" not in output
