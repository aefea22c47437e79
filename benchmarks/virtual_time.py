"""Start a pipeline and wait for FINISHED: three batches of two seconds, on virtual time and, with --real, on
the system clock. Prints the wall time each takes.

    python benchmarks/virtual_time.py [--real] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time

from quenlo.sdk.simulator import EngineSimulator, sample_pipeline
from quenlo.sdk.velm_api import ApiClient


def one_wait(virtual_time: bool) -> float:
    """Seconds of wall time that start plus wait_for_finished take."""
    with EngineSimulator(virtual_time=virtual_time) as engine:
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        engine.state.runs.configure("p", batches=3, batch_interval=2.0)
        client = ApiClient(engine.url)
        started = time.perf_counter()
        client.start_pipeline("p").wait_for_finished()
        elapsed = time.perf_counter() - started
        client.session.close()
        return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--real", action="store_true", help="also time the same wait on the system clock")
    parser.add_argument("--repeat", type=int, default=20, help="virtual-time waits to time (default 20)")
    args = parser.parse_args()
    runs = [one_wait(True) for _ in range(args.repeat)]
    print(
        f"virtual time: median {statistics.median(runs) * 1000:.1f} ms, max {max(runs) * 1000:.1f} ms "
        f"over {len(runs)} waits"
    )
    if args.real:
        print(f"system clock: {one_wait(False) * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
