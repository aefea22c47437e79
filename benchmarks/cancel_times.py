"""How long a cancel of a wait on many slow runs takes: ``wait_all``'s ``cancel`` event, and Ctrl-C (SIGINT) of
``velm wait``, against the simulator with every status read delayed.

    .venv/bin/python benchmarks/cancel_times.py [RUNS [DELAY]]      (default 40 runs, 0.05 s per read)

The library figure is the time from ``cancel.set()`` (half-way through a read) to WaitCancelledError; the
command line's, from SIGINT to the end of the process, once its wait polls.
"""

from __future__ import annotations

import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, List

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator


def status_reads(engine: EngineSimulator) -> int:
    return sum(r.path.endswith("/status") for r in engine.requests)


def library(engine: EngineSimulator, ids: List[str], delay: float) -> float:
    client = velm_api.ApiClient(engine.url)
    commands = [velm_api.StartPipelineCommand(client, client.get_pipeline_status(pid).response) for pid in ids]
    engine.inject_fault("GET", "/v1/pipeline/*", delay=delay, count=None)
    cancel, set_at = threading.Event(), []

    def progress(place: int, event: Any) -> None:
        if event.polls == 1 and place == 2 and not cancel.is_set():  # the third read of the second round
            threading.Timer(delay / 2, lambda: (set_at.append(time.monotonic()), cancel.set())).start()

    try:
        velm_api.wait_all(commands, poll_interval=0.01, on_progress=progress, cancel=cancel)
    except velm_api.WaitCancelledError:
        return time.monotonic() - set_at[0]
    raise AssertionError("the wait was not cancelled")


def command_line(engine: EngineSimulator, ids: List[str], delay: float) -> float:
    engine.inject_fault("GET", "/v1/pipeline/*", delay=delay, count=None)
    velm = Path(sys.executable).with_name("velm")
    with subprocess.Popen([str(velm), "--url", engine.url, "wait", *ids], stdout=subprocess.DEVNULL) as proc:
        while status_reads(engine) < len(ids) + 5:  # past its first read of each run: the wait polls
            time.sleep(0.01)
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=600)
        return time.monotonic() - began


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    delay = float(sys.argv[2]) if len(sys.argv) > 2 else 0.05
    for name, measure in (("wait_all cancel", library), ("velm wait SIGINT", command_line)):
        with EngineSimulator() as engine:
            ids = [f"p{i}" for i in range(runs)]
            for pid in ids:
                engine.script_status(pid, ["RUNNING"])
            print(f"{name}: {runs} runs, {delay} s per status read: ended {measure(engine, ids, delay):.3f} s later")


if __name__ == "__main__":
    main()
