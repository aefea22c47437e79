"""Three timings a CI job relies on, measured against the engine simulator over real HTTP.

    python tools/ops_figures.py

1. A wrong password with probe_timeout_sec=5: how long the constructor takes to give up, and what it says.
2. An engine that accepts connections but never answers, with timeout=2: how long until requests.Timeout.
3. A run that someone else stops while a start command's wait() polls every 0.5 s: how long after the stop the
   wait ends.
"""

from __future__ import annotations

import math
import threading
import time

import requests

from quenlo.sdk.simulator import EngineSimulator, sample_pipeline
from quenlo.sdk.velm_api import ApiClient, UnexpectedStatusError


def wrong_password() -> None:
    with EngineSimulator(users={"admin": "admin"}) as engine:
        started = time.monotonic()
        try:
            ApiClient(engine.url, "form", "admin", "wrong", probe_timeout_sec=5)
        except TimeoutError as error:
            took = time.monotonic() - started
            print(f"1. wrong password, probe_timeout_sec=5: gave up after {took:.3f} s")
            print(f"   {type(error).__name__}: {error}")
            print(f"   __cause__: {type(error.__cause__).__name__}: {error.__cause__}")


def never_answering() -> None:
    with EngineSimulator() as engine:
        engine.inject_fault("*", "/v1/*", delay=math.inf, count=None)
        started = time.monotonic()
        try:
            ApiClient(engine.url, timeout=2)
        except requests.Timeout as error:
            took = time.monotonic() - started
            print(f"2. never-answering engine, timeout=2: {type(error).__name__} after {took:.3f} s")


def stopped_run(poll_interval: float = 0.5) -> None:
    with EngineSimulator() as engine:
        engine.state.pipelines.import_pipeline("nightly", sample_pipeline("nightly", "nightly"))
        engine.state.runs.configure("nightly", batches=None, start_delay=0, stop_delay=0)
        client = ApiClient(engine.url)
        command = client.start_pipeline("nightly")
        stopped: list[float] = []

        def stop() -> None:
            ApiClient(engine.url).stop_pipeline("nightly")
            stopped.append(time.monotonic())

        timer = threading.Timer(1.7, stop)
        timer.start()
        try:
            command.wait(poll_interval=poll_interval)
        except UnexpectedStatusError as error:
            ended = time.monotonic()
            timer.join()
            print(
                f"3. run STOPPED by someone else, wait(poll_interval={poll_interval}): ended "
                f"{ended - stopped[0]:.3f} s after the stop ({error.status}: {error})"
            )


if __name__ == "__main__":
    wrong_password()
    never_answering()
    stopped_run()
