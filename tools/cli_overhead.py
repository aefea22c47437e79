"""How long ``velm start ID --wait`` takes beyond the run itself, against the engine simulator.

Each round starts a fresh run of a paced pipeline through the command line (a new process, as a CI step does) and
compares the process's wall time with the run's own duration: the simulator's plan (start delay plus batches
times their interval), since the simulator stamps a run's end only when a read sees it. The process start alone
(``velm --version``) is timed too, since it is part of the overhead.

    python tools/cli_overhead.py --rounds 7 --interval 1.0

Prints one JSON report with the medians, in seconds. The expectation: one process start plus one poll interval
at most.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from typing import List

from quenlo.sdk.simulator import EngineSimulator, sample_pipeline


def wall(argv: List[str], env: dict) -> float:
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "quenlo.sdk.cli", *argv], capture_output=True, text=True, env=env, timeout=300
    )
    elapsed = time.monotonic() - started
    if result.returncode != 0:
        raise SystemExit(f"velm {' '.join(argv)} exited {result.returncode}: {result.stderr.strip()}")
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--interval", type=float, default=1.0, help="velm's poll interval")
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--batch-interval", type=float, default=0.2)
    args = parser.parse_args()

    with EngineSimulator() as engine:
        engine.state.pipelines.import_pipeline("bench", sample_pipeline("bench", "bench"))
        engine.state.runs.configure("bench", batches=args.batches, batch_interval=args.batch_interval, start_delay=0.1)
        env = {**os.environ, "VELM_URL": engine.url}
        startups = [wall(["--version"], env) for _ in range(args.rounds)]
        run = 0.1 + args.batches * args.batch_interval
        overheads = [
            wall(["--quiet", "start", "bench", "--wait", "--interval", str(args.interval)], env) - run
            for _ in range(args.rounds)
        ]
    print(
        json.dumps(
            {
                "rounds": args.rounds,
                "poll_interval": args.interval,
                "run": round(run, 3),
                "median_process_start": round(statistics.median(startups), 3),
                "median_overhead": round(statistics.median(overheads), 3),
                "max_overhead": round(max(overheads), 3),
            },
            indent=2,
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
