"""Run the engine simulator until Ctrl-C."""

from __future__ import annotations

import argparse
import sys
import threading
from collections.abc import Sequence

from .server import EngineSimulator


def _user(value: str) -> tuple[str, str]:
    name, sep, password = value.partition(":")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME:PASSWORD")
    return name, password


def main(argv: Sequence[str] | None = None) -> int:
    """Parse the command line, serve, and return the exit status."""
    parser = argparse.ArgumentParser(prog="python -m quenlo.sdk.simulator", description="Run a fake VELM engine.")
    parser.add_argument("--port", type=int, default=0, help="port (0 picks a free one)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--version", default="5.6.0", help="engine version to report")
    parser.add_argument(
        "--user",
        action="append",
        type=_user,
        default=[],
        metavar="NAME:PASSWORD",
        help="account to require; repeat for more (none: no authentication)",
    )
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)

    engine = EngineSimulator(
        version=args.version,
        users=dict(args.user) or None,
        host=args.host,
        port=args.port,
        verbose=args.verbose,
    )
    engine.start()
    print(f"Engine simulator listening on {engine.url} (Ctrl-C to stop)", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        engine.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
