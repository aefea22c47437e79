"""Run the engine simulator until Ctrl-C, arranged from the command line (``--help`` tells how)."""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import sys
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .documents import sample_pipeline
from .runs import RunPlan
from .server import DEFAULT_VERSION, EngineSimulator
from .traffic import FAULT_SYNTAX, Fault

EPILOG = f"""\
--fault takes words: {FAULT_SYNTAX}
PATH is the path after /rest (a trailing * matches a prefix); count=* fails every request, delay=inf never
answers. For example:

  python -m quenlo.sdk.simulator --port 18630 --user ci:secret --sample nightly \\
      --plan nightly:batches=3,batch_interval=2 --fault "POST /v1/pipeline/nightly/start 503 count=1"
"""

#: RunPlan's fields by name, with their annotations as written ("int | None", "float", "str", ...).
_PLAN_FIELDS = {f.name: str(f.type) for f in dataclasses.fields(RunPlan)}


def _user(value: str) -> tuple[str, str]:
    name, sep, password = value.partition(":")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME:PASSWORD")
    return name, password


def _pipeline(value: str) -> tuple[str, dict[str, Any]]:
    try:
        export = json.loads(Path(value).read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise argparse.ArgumentTypeError(f"cannot read {value!r}: {error}") from None
    definition = export.get("definition") if isinstance(export, dict) else None
    if not isinstance(definition, dict):
        raise argparse.ArgumentTypeError(f"{value!r} is not a pipeline export: it has no 'definition' object")
    return str(definition.get("pipelineId") or Path(value).stem), export


def _plan_value(key: str, text: str) -> Any:
    kind = _PLAN_FIELDS[key]
    if "None" in kind and text.lower() == "none":
        return None
    base = int if kind.startswith("int") else float if kind.startswith("float") else str
    try:
        value = base(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{key} takes {base.__name__}, not {text!r}") from None
    if isinstance(value, float) and not math.isfinite(value) or isinstance(value, (int, float)) and value < 0:
        raise argparse.ArgumentTypeError(f"{key} must be a finite number, at least 0, not {text!r}")
    return value


def _plan(value: str) -> tuple[str, dict[str, Any]]:
    pipeline_id, sep, settings = value.partition(":")
    if not sep or not pipeline_id or not settings:
        raise argparse.ArgumentTypeError("expected ID:KEY=VALUE[,KEY=VALUE...] (ID '*' for every pipeline)")
    plan: dict[str, Any] = {}
    for item in settings.split(","):
        key, sep, text = item.partition("=")
        if not sep or key not in _PLAN_FIELDS:
            raise argparse.ArgumentTypeError(f"{item!r}: expected KEY=VALUE with KEY one of {', '.join(_PLAN_FIELDS)}")
        plan[key] = _plan_value(key, text)
    return pipeline_id, plan


def _fault(value: str) -> Fault:
    try:
        return Fault.parse(value)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Sequence[str] | None = None) -> int:
    """Parse the command line, arrange the engine, serve, and return the exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m quenlo.sdk.simulator",
        description="Run a fake VELM engine.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--port", type=int, default=0, help="port (0 picks a free one)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--version", default=DEFAULT_VERSION, help="engine version to report")
    repeatable: list[tuple[str, Any, str, str]] = [
        ("--user", _user, "NAME:PASSWORD", "account to require (none: no authentication)"),
        ("--sample", str, "ID", "store the sample pipeline as ID"),
        ("--pipeline", _pipeline, "FILE", "store the pipeline export in FILE (under its pipelineId)"),
        ("--plan", _plan, "ID:KEY=VALUE[,...]", "how runs of ID behave, in RunPlan's fields (ID *: every pipeline)"),
        ("--fault", _fault, "SPEC", "make requests fail (see below)"),
    ]
    for option, kind, metavar, text in repeatable:
        parser.add_argument(option, action="append", type=kind, default=[], metavar=metavar, help=text + "; repeatable")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)

    engine = EngineSimulator(
        version=args.version, users=dict(args.user) or None, host=args.host, port=args.port, verbose=args.verbose
    )
    pipelines = engine.state.pipelines
    for pipeline_id in args.sample:
        pipelines.import_pipeline(pipeline_id, sample_pipeline(pipeline_id, pipeline_id), overwrite=True)
    for pipeline_id, export in args.pipeline:
        pipelines.import_pipeline(pipeline_id, export, overwrite=True)
    for pipeline_id, plan in args.plan:
        if pipeline_id == "*":
            engine.state.runs.configure_defaults(**plan)
        else:
            engine.state.runs.configure(pipeline_id, **plan)
    for fault in args.fault:
        engine.faults.add(fault)
    try:
        engine.start()
    except OSError as error:
        parser.exit(1, f"{parser.prog}: cannot serve on {args.host}:{args.port}: {error.strerror or error}\n")
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
