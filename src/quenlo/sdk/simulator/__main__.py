"""Run the engine simulator until Ctrl-C, arranged from the command line (``--help`` tells how)."""

from __future__ import annotations

import argparse
import dataclasses
import json
import signal
import sys
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from .context import EngineError
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

HTTPS: --tls makes a throwaway certificate authority and prints the path of its certificate (for velm
--ca-bundle); --tls-cert and --tls-key serve with a certificate of your own. --tls-client-ca FILE requires
client certificates issued by that CA; with --tls, --tls-client-ca alone uses the throwaway CA and prints the
paths of a client certificate and its key.
"""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line on standard error: the program, the fault, and where
    to read more."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (--help tells the options)\n")


def _port(value: str) -> int:
    try:
        port = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a port number, not {value!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535 (0 picks a free one), not {port}")
    return port


#: The largest pipeline export --pipeline reads.
MAX_PIPELINE_BYTES = 64 * 2**20

#: RunPlan's fields by name, with their annotations as written ("int | None", "float", "str", ...).
_PLAN_FIELDS = {f.name: str(f.type) for f in dataclasses.fields(RunPlan)}


def _user(value: str) -> tuple[str, str]:
    name, sep, password = value.partition(":")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME:PASSWORD")
    return name, password


def _pipeline_id(value: str) -> str:
    # A client puts the id in one path segment: an empty one, "." or ".." could never be addressed.
    if value in ("", ".", ".."):
        raise argparse.ArgumentTypeError(f"a pipeline id cannot be {value!r}: no request could name it")
    return value


def _pipeline(value: str) -> tuple[str, dict[str, Any]]:
    try:
        with open(value, "rb") as file:  # bounded: a device or a runaway file must not fill the memory
            text = file.read(MAX_PIPELINE_BYTES + 1)
        if len(text) > MAX_PIPELINE_BYTES:
            raise ValueError(f"larger than {MAX_PIPELINE_BYTES // 2**20} MiB")
        export = json.loads(text.decode("utf-8"))
    except (OSError, ValueError) as error:
        raise argparse.ArgumentTypeError(f"cannot read {value!r}: {error}") from None
    except RecursionError:
        raise argparse.ArgumentTypeError(f"cannot read {value!r}: it is nested too deeply") from None
    definition = export.get("definition") if isinstance(export, dict) else None
    if not isinstance(definition, dict):
        raise argparse.ArgumentTypeError(f"{value!r} is not a pipeline export: it has no 'definition' object")
    return _pipeline_id(str(definition.get("pipelineId") or Path(value).stem)), export


def _plan_value(key: str, text: str) -> Any:
    kind = _PLAN_FIELDS[key]
    if "None" in kind and text.lower() == "none":
        return None
    base = int if kind.startswith("int") else float if kind.startswith("float") else str
    try:
        return base(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{key} takes {base.__name__}, not {text!r}") from None


def _plan(value: str) -> tuple[str, dict[str, Any]]:
    pipeline_id, sep, settings = value.partition(":")
    if not sep or not pipeline_id or not settings:
        raise argparse.ArgumentTypeError("expected ID:KEY=VALUE[,KEY=VALUE...] (ID '*' for every pipeline)")
    _pipeline_id(pipeline_id)
    plan: dict[str, Any] = {}
    for item in settings.split(","):
        key, sep, text = item.partition("=")
        if not sep or key not in _PLAN_FIELDS:
            raise argparse.ArgumentTypeError(f"{item!r}: expected KEY=VALUE with KEY one of {', '.join(_PLAN_FIELDS)}")
        plan[key] = _plan_value(key, text)
    try:  # the plan's own checks: numbers in range
        RunPlan(**plan)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return pipeline_id, plan


def _fault(value: str) -> Fault:
    try:
        return Fault.parse(value)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Sequence[str] | None = None) -> int:
    """Parse the command line, arrange the engine, serve, and return the exit status."""
    parser = _Parser(
        prog="python -m quenlo.sdk.simulator",
        description="Run a fake VELM engine.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--port", type=_port, default=0, help="port (0 picks a free one)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--version", default=DEFAULT_VERSION, help="engine version to report")
    repeatable: list[tuple[str, Any, str, str]] = [
        ("--user", _user, "NAME:PASSWORD", "account to require (none: no authentication)"),
        ("--sample", _pipeline_id, "ID", "store the sample pipeline as ID"),
        ("--pipeline", _pipeline, "FILE", "store the pipeline export in FILE (under its pipelineId)"),
        ("--plan", _plan, "ID:KEY=VALUE[,...]", "how runs of ID behave, in RunPlan's fields (ID *: every pipeline)"),
        ("--fault", _fault, "SPEC", "make requests fail (see below)"),
    ]
    for option, kind, metavar, text in repeatable:
        parser.add_argument(option, action="append", type=kind, default=[], metavar=metavar, help=text + "; repeatable")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    parser.add_argument("--tls", action="store_true", help="serve HTTPS with a throwaway CA; prints its path")
    parser.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate chain (PEM)")
    parser.add_argument("--tls-key", metavar="FILE", help="the private key of --tls-cert (PEM)")
    parser.add_argument(
        "--tls-client-ca",
        metavar="FILE",
        nargs="?",
        const=True,
        help="require client certificates issued by this CA (alone, with --tls: by the throwaway CA)",
    )
    args = parser.parse_args(argv)

    engine = _engine(parser, args)
    try:
        engine.start()
    except (OSError, OverflowError) as error:
        reason = getattr(error, "strerror", None) or error
        parser.exit(1, f"{parser.prog}: cannot serve on {args.host}:{args.port}: {reason}\n")
    previous: Any = None
    try:
        try:  # a kill stops the engine as Ctrl-C does, so its throwaway CA files go with it
            previous = signal.signal(signal.SIGTERM, _interrupt)
        except ValueError:  # not the main thread: signals are not ours to handle
            pass
        print(f"Engine simulator listening on {engine.url} (Ctrl-C to stop)", flush=True)
        if engine.ca_bundle is not None:
            print(f"CA bundle (for velm --ca-bundle): {engine.ca_bundle}", flush=True)
        if engine.client_cert is not None:
            print(f"Client certificate and key: {' '.join(engine.client_cert)}", flush=True)
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        engine.stop()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


#: The options that set up HTTPS, and their attributes.
_TLS_OPTIONS = (
    ("--tls", "tls"),
    ("--tls-cert", "tls_cert"),
    ("--tls-key", "tls_key"),
    ("--tls-client-ca", "tls_client_ca"),
)


def _tls(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[Any, Any]:
    """The ``tls`` and ``tls_client_ca`` settings the options ask for."""
    if args.tls and (args.tls_cert or args.tls_key):
        parser.error("--tls makes a certificate of its own; give either --tls or --tls-cert with --tls-key")
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    tls: Any = True if args.tls else (args.tls_cert, args.tls_key) if args.tls_cert else False
    if args.tls_client_ca is True and not args.tls:
        parser.error("--tls-client-ca without a FILE names the CA of --tls")
    # A file that cannot be read is named by its option here; what the simulator refuses in a readable file is
    # said by _engine, after the options that gave the files.
    client_ca = None if args.tls_client_ca is True else args.tls_client_ca
    for option, path in (("--tls-cert", args.tls_cert), ("--tls-key", args.tls_key), ("--tls-client-ca", client_ca)):
        if path:
            try:
                open(path, "rb").close()
            except OSError as error:
                parser.error(f"argument {option}: cannot read {path!r}: {error.strerror or error}")
    return tls, args.tls_client_ca


def _engine(parser: argparse.ArgumentParser, args: argparse.Namespace) -> EngineSimulator:
    """The simulator the options describe, arranged and not yet started; any setting it refuses is a usage
    error."""
    tls, client_ca = _tls(parser, args)
    try:
        engine = EngineSimulator(
            version=args.version,
            users=dict(args.user) or None,
            host=args.host,
            port=args.port,
            verbose=args.verbose,
            tls=tls,
            tls_client_ca=client_ca,
        )
    except ImportError as error:
        parser.error(str(error))
    except (OSError, ValueError, TypeError) as error:
        given = [option for option, value in _TLS_OPTIONS if getattr(args, value)]
        parser.error(f"argument {'/'.join(given) or '--tls'}: cannot serve HTTPS: {error}")
    pipelines = engine.state.pipelines
    for pipeline_id in args.sample:
        pipelines.import_pipeline(pipeline_id, sample_pipeline(pipeline_id, pipeline_id), overwrite=True)
    for pipeline_id, export in args.pipeline:
        try:
            pipelines.import_pipeline(pipeline_id, export, overwrite=True)
        except (EngineError, RecursionError) as error:
            message = error.message if isinstance(error, EngineError) else "it is nested too deeply"
            parser.error(f"argument --pipeline: the engine refuses {pipeline_id!r}: {message}")
    for pipeline_id, plan in args.plan:
        if pipeline_id == "*":
            engine.state.runs.configure_defaults(**plan)
        else:
            engine.state.runs.configure(pipeline_id, **plan)
    for fault in args.fault:
        engine.faults.add(fault)
    return engine


if __name__ == "__main__":
    sys.exit(main())
