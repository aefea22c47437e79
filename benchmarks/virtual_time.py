"""What virtual time costs in real time: start a pipeline and wait for FINISHED with the default pacing (one status
poll per virtual second, each a request over loopback), and what the fixtures cost to set up, plain and TLS.

    python benchmarks/virtual_time.py [--real] [--repeat N] [--hour SECONDS]

- a half-minute run (three batches of ten seconds, as in docs/simulator.md's worked example), --repeat times;
- a one-hour run (sixty batches of a minute): some 3,600 polls;
- with --real, the half-minute run on the system clock, for scale;
- the set-up of a test that uses velm_engine and velm_client, with and without tls=True.

`make bench` runs the same measures (its "Virtual time" section).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest

from quenlo.sdk.simulator import EngineSimulator, sample_pipeline
from quenlo.sdk.velm_api import ApiClient


def timed_wait(virtual_time: bool, batches: int, interval: float) -> Tuple[float, int]:
    """Seconds of wall time that start plus wait_for_finished take, and the status polls the wait made."""
    with EngineSimulator(virtual_time=virtual_time) as engine:
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        engine.state.runs.configure("p", batches=batches, batch_interval=interval)
        client = ApiClient(engine.url)
        engine.clear_requests()
        started = time.perf_counter()
        client.start_pipeline("p").wait_for_finished(timeout_sec=2 * batches * interval + 60)
        elapsed = time.perf_counter() - started
        polls = sum(r.path.endswith("/status") for r in engine.requests)
        client.session.close()
        return elapsed, polls


FIXTURE_TESTS = """
import pytest

@pytest.mark.velm_engine(tls={tls})
@pytest.mark.parametrize("n", range({count}))
def test_engine(velm_engine, velm_client, n):
    assert velm_engine.url
"""


class SetupTimes:
    def __init__(self) -> None:
        self.setup: List[float] = []

    def pytest_runtest_logreport(self, report: Any) -> None:
        if report.when == "setup":
            self.setup.append(report.duration)


def fixture_setup(tls: bool, count: int) -> Tuple[float, float]:
    """The set-up of the first test (which starts the engine) and the median of the others, in seconds."""
    times = SetupTimes()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / f"test_setup_{'tls' if tls else 'plain'}.py"
        path.write_text(FIXTURE_TESTS.format(tls=tls, count=count))
        args = ["-q", "-p", "no:cacheprovider", "-p", "no:randomly", "-o", "addopts=", str(path)]
        with contextlib.redirect_stdout(io.StringIO()):  # the session's own report is not a figure
            code = pytest.main(args, plugins=[times])
    if code != 0:
        raise RuntimeError(f"the fixture set-up session failed (exit {code})")
    return times.setup[0], statistics.median(times.setup[1:])


def measure(repeat: int, hour: float, fixture_tests: int) -> Dict[str, Any]:
    """Every figure of this benchmark, by name."""
    halves = [timed_wait(True, 3, 10.0)[0] for _ in range(repeat)]
    hour_seconds, hour_polls = timed_wait(True, max(int(hour // 60), 1), 60.0 if hour >= 60 else hour)
    # The fixtures' client trusts the engine through its session alone; the machine's CA variables stay out of it.
    saved = {name: os.environ.pop(name) for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE") if name in os.environ}
    try:
        plain, tls = fixture_setup(False, fixture_tests), fixture_setup(True, fixture_tests)
    finally:
        os.environ.update(saved)
    return {
        "half_minute": statistics.median(halves),
        "half_minute_max": max(halves),
        "repeat": repeat,
        "hour": hour_seconds,
        "hour_polls": hour_polls,
        "virtual_seconds": hour,
        "plain_setup": plain,
        "tls_setup": tls,
        "fixture_tests": fixture_tests,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--real", action="store_true", help="also time the half-minute wait on the system clock")
    parser.add_argument("--repeat", type=int, default=20, help="half-minute waits to time (default 20)")
    parser.add_argument("--hour", type=float, default=3600.0, help="virtual seconds of the long run (default 3600)")
    args = parser.parse_args()
    figures = measure(args.repeat, args.hour, 50)
    print(
        f"half a virtual minute: median {figures['half_minute'] * 1000:.0f} ms, "
        f"max {figures['half_minute_max'] * 1000:.0f} ms over {args.repeat} waits"
    )
    print(
        f"{args.hour:g} virtual seconds: {figures['hour']:.2f} s real, {figures['hour_polls']} polls, "
        f"{figures['hour'] / max(figures['hour_polls'], 1) * 1000:.2f} ms a poll"
    )
    for kind in ("plain", "tls"):
        first, others = figures[f"{kind}_setup"]
        print(f"fixture set-up, {kind}: first test {first * 1000:.1f} ms, then {others * 1000:.2f} ms a test (median)")
    if args.real:
        print(f"half a minute on the system clock: {timed_wait(False, 3, 10.0)[0]:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
