"""The parser of ``velm`` and the run of one command line, from arguments to exit code."""

from __future__ import annotations

import argparse
import contextlib
import errno
import io
import logging
import os
import sys
import textwrap
import traceback
from typing import Any, Callable, Dict, List, Mapping, NoReturn, Optional, Sequence, TextIO, Tuple

from ..exceptions import hide_secrets as scrub
from . import _commands as commands
from ._connect import (
    DEFAULT_HTTP_TIMEOUT,
    ENV_CA_BUNDLE,
    ENV_CERT,
    ENV_KEY,
    ENV_PASSWORD,
    ENV_URL,
    ENV_USER,
    http_timeout,
    seconds,
    secrets_in,
)
from ._errors import INTERRUPTED, USAGE, UsageError, describe, error_document, exit_codes_help, ranking_text
from ._output import JSON, LIVE, NOT_TRIED, PLAIN, QUIET, Output, run_entry, write_escaped

DESCRIPTION = "Drive a VELM engine from a shell or a CI job: start and stop pipelines, wait for them, read state."

_RANKING = textwrap.indent(textwrap.fill(ranking_text(), width=78), "  ")

EPILOG = f"""\
connection:
  --url or {ENV_URL}, --user or {ENV_USER}. The password comes from --password-file,
  else {ENV_PASSWORD}, else a prompt on a terminal; it is never taken as a flag value.
  A refusal at start (a wrong password or base path) is reported at once; an engine
  that cannot be reached fails at once too, unless --wait-for-engine S waits for it.
  Each HTTP request gives up after {DEFAULT_HTTP_TIMEOUT:g} s unless --timeout-http says
  otherwise (0: never), and a wait's or the probe's requests end by its own deadline.
  TLS: --ca-bundle or {ENV_CA_BUNDLE} names the CA to trust (else REQUESTS_CA_BUNDLE,
  else the system's); --cert and --key, or {ENV_CERT} and {ENV_KEY}, a client certificate;
  --insecure skips the check, and says so on standard error. An option wins over
  its variable.

output:
  on a terminal, a live status line while waiting; in a pipe, one line per status
  change; --json prints one JSON document per line: a wait's "event": "progress"
  records, then one "event": "result" record: the outcome when it reached its
  target, else the error document below, marked "event": "result" too.
  --quiet prints only errors.
  Errors are one line on standard error. Under --json every failure, a usage
  error included, also prints {{"error": ..., "exitCode": ..., "kind": ...}}.

several runs:
  start A B C --wait and wait A B C wait for every run at once: a line per run,
  then a summary. A run whose status cannot be read (an unknown id) is that run's
  outcome; the others are still waited for. The exit code is the worst outcome's,
  worst first:
{_RANKING}.
  --fail-fast stops at the first failure. start --attach treats a run already
  going as started (it is waited for, not refused), so a start can be retried.
  Under --json the last line is the result record: "exitCode", "kind" and "runs"
  (each run's outcome; for start, what its start did), and on a failure "error"
  with "httpStatus" and "engineCode" where an answer said why.

{exit_codes_help()}
examples (CI steps):
  velm start nightly-load --param day=$(date +%F) --wait --timeout 1800
  velm start --attach load-eu load-us load-apac --wait --timeout 1800   # retry on 5
"""


def _identifier(text: str) -> str:
    # The client refuses these before sending anything; say so as a usage error.
    if text.strip() in ("", ".", ".."):
        raise argparse.ArgumentTypeError(f"{text!r} is not a name the engine can have")
    return text


def _parameter(text: str) -> Tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE")
    return key, value


# The statuses a pipeline has besides its error statuses (PipelineCommand.ERROR_STATUSES).
_PIPELINE_STATUSES = ("EDITED", "STARTING", "RUNNING", "STOPPING", "FINISHED", "STOPPED")


def _statuses(text: str) -> List[str]:
    """``--until``'s value: one status, or several separated by commas, in any case."""
    from ..waits import ERROR_STATUSES

    known = (*_PIPELINE_STATUSES, *ERROR_STATUSES)
    found = [part.strip().upper() for part in text.split(",")]
    for status in found:
        if status not in known:
            raise argparse.ArgumentTypeError(f"{status!r} is not a pipeline status: one of {', '.join(known)}")
    return found


def _positive(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise ValueError(text)
    return value


_positive.__name__ = "positive whole number"  # argparse names the type in its message


def _non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


_non_negative_int.__name__ = "whole number"


def _timeout_http(text: str) -> Any:
    return http_timeout(text)


_timeout_http.__name__ = "time-out"


class _Parser(argparse.ArgumentParser):
    """Reports usage errors to :func:`main` instead of exiting, so they are printed as every other failure: one
    line, which names the help of the command concerned."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see: {self.prog} --help)")


class _RefusePassword(argparse.Action):
    """``--password`` exists only to say why it does not, without echoing the value."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: Any, values: Any, option: Any = None) -> None:
        parser.error(f"a password is never taken as a flag value: use --password-file, {ENV_PASSWORD} or the prompt")


def _add_common(parser: argparse.ArgumentParser, top: bool) -> None:
    """The options every command takes, before or after its name.

    Below a command their defaults are suppressed, so an option left out there keeps what was given before it.
    """

    def default(value: Any) -> Any:
        return value if top else argparse.SUPPRESS

    connection = parser.add_argument_group("connection")
    connection.add_argument("--url", default=default(None), help=f"the engine's base URL (default: ${ENV_URL})")
    connection.add_argument("--user", default=default(None), help=f"user to log in as (default: ${ENV_USER})")
    connection.add_argument(
        "--password-file",
        metavar="FILE",
        default=default(None),
        help=f"file holding the password (else ${ENV_PASSWORD}, else a prompt)",
    )
    connection.add_argument("--password", nargs="?", action=_RefusePassword, help=argparse.SUPPRESS)
    connection.add_argument(
        "--insecure", action="store_true", default=default(False), help="do not verify the engine's TLS certificate"
    )
    connection.add_argument(
        "--ca-bundle",
        metavar="FILE",
        default=default(None),
        help=f"CA bundle to verify the engine's certificate with (default: ${ENV_CA_BUNDLE})",
    )
    connection.add_argument(
        "--cert",
        metavar="FILE",
        default=default(None),
        help=f"client certificate to present, PEM (with its key, or see --key; default: ${ENV_CERT})",
    )
    connection.add_argument(
        "--key", metavar="FILE", default=default(None), help=f"the client certificate's key, PEM (default: ${ENV_KEY})"
    )
    connection.add_argument(
        "--timeout-http",
        metavar="S",
        type=_timeout_http,
        default=default(DEFAULT_HTTP_TIMEOUT),
        help=f"time-out of each HTTP request: seconds, or CONNECT,READ; 0 for none (default {DEFAULT_HTTP_TIMEOUT:g})",
    )
    connection.add_argument(
        "--retries",
        metavar="N",
        type=_non_negative_int,
        default=default(None),
        help="retry failed connections and 502/503/504 answers of reads N times",
    )
    connection.add_argument(
        "--probe-timeout",
        metavar="S",
        type=seconds,
        default=default(None),
        help="how long the engine may keep answering with failures at start (default 60)",
    )
    connection.add_argument(
        "--wait-for-engine",
        metavar="S",
        type=seconds,
        default=default(None),
        help="wait up to S seconds for an engine that is not up yet (refuses connections or fails)",
    )
    connection.add_argument(
        "--api-version", metavar="N", type=_positive, default=default(None), help="REST API version (default 1)"
    )
    output = parser.add_argument_group("output")
    output.add_argument(
        "--json",
        action="store_true",
        default=default(False),
        help=(
            'one JSON document per line (a wait\'s progress events, then its "event": "result" record,'
            " the error document when it failed)"
        ),
    )
    output.add_argument("-q", "--quiet", action="store_true", default=default(False), help="print only errors")
    output.add_argument(
        "--debug", action="store_true", default=default(False), help="log requests and show the traceback of a failure"
    )


def _add_wait(parser: argparse.ArgumentParser, what: str, optional: bool, timeout: int) -> None:
    if optional:
        parser.add_argument("--wait", action="store_true", help=f"wait until {what}")
    parser.add_argument(
        "--timeout",
        metavar="S",
        type=seconds,
        default=None,
        help=f"give up waiting after S seconds (exit 3; default {timeout})",
    )
    parser.add_argument("--interval", metavar="S", type=seconds, default=1.0, help="seconds between polls (default 1)")
    parser.set_defaults(wait_timeout=timeout)


def _add_ids(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "pipeline_ids", metavar="ID", type=_identifier, nargs="+", help="a pipeline; several are waited for together"
    )


def _add_fail_fast(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--fail-fast",
        action="store_true",
        help="with several runs, stop waiting at the first one that fails (the others go on on the engine)",
    )


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line."""
    parser = _Parser(
        prog="velm",
        description=DESCRIPTION,
        epilog=EPILOG,
        allow_abbrev=False,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_package_version()}")
    _add_common(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, function: Callable[[Any], int], help_text: str) -> argparse.ArgumentParser:
        child = sub.add_parser(name, help=help_text, description=help_text, allow_abbrev=False)
        _add_common(child, top=False)
        child.set_defaults(run=function)
        return child

    command("info", commands.cmd_info, "show the engine's information")

    p = command("pipelines", commands.cmd_pipelines, "list the stored pipelines with their status")
    p.add_argument("--filter", metavar="TEXT", help="only pipelines whose title or id contains TEXT")
    p.add_argument("--label", metavar="L", help="only pipelines with label L")

    p = command("status", commands.cmd_status, "show a pipeline's status (exit 1 for an error status)")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)

    p = command(
        "start", commands.cmd_start, "start one or more pipelines, and with --wait wait until they have FINISHED"
    )
    _add_ids(p)
    p.add_argument(
        "--param",
        metavar="KEY=VALUE",
        type=_parameter,
        action="append",
        default=[],
        help="a runtime parameter; repeat for more",
    )
    p.add_argument(
        "--attach",
        action="store_true",
        help="a run already going counts as started: wait for it instead of failing (a start can be retried)",
    )
    _add_wait(p, "the runs have FINISHED", optional=True, timeout=300)
    _add_fail_fast(p)

    p = command(
        "wait", commands.cmd_wait, "wait for one or more runs already going until they have FINISHED, or --until"
    )
    _add_ids(p)
    p.add_argument(
        "--until",
        metavar="STATUS",
        type=_statuses,
        action="extend",
        help="the status that ends the wait (default FINISHED); several: repeat it, or separate them with commas",
    )
    _add_wait(p, "", optional=False, timeout=300)
    _add_fail_fast(p)

    p = command("stop", commands.cmd_stop, "stop a pipeline, and with --wait wait until it has STOPPED")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)
    p.add_argument("--force", action="store_true", help="force the stop")
    _add_wait(p, "the run has STOPPED", optional=True, timeout=300)

    p = command("validate", commands.cmd_validate, "validate a pipeline and wait for the outcome")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)
    _add_wait(p, "", optional=False, timeout=60)

    p = command("preview", commands.cmd_preview, "preview a pipeline and show the records per stage")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)
    p.add_argument("--batches", metavar="N", type=_positive, default=1, help="batches to preview (default 1)")
    p.add_argument("--batch-size", metavar="N", type=_positive, default=10, help="records per batch (default 10)")
    p.add_argument("--end-stage", metavar="S", help="the stage to end the preview at")
    _add_wait(p, "", optional=False, timeout=30)

    p = command("snapshot", commands.cmd_snapshot, "capture a snapshot of a running pipeline and wait for it")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)
    p.add_argument("name", metavar="NAME", type=_identifier)
    p.add_argument("--label", metavar="L", help="the snapshot's label (default: NAME)")
    _add_wait(p, "", optional=False, timeout=30)

    p = command("export", commands.cmd_export, "export a pipeline as JSON, or every pipeline into a folder")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier, nargs="?")
    p.add_argument("--all", action="store_true", help="export every pipeline, one file each, into -o DIR")
    p.add_argument("-o", "--output", metavar="FILE", help="file to write (a folder with --all; default: stdout)")

    p = command("import", commands.cmd_import, "import a pipeline export (JSON) or a ZIP archive of them")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--id", type=_identifier, help="the id to store it under (default: the one in FILE)")
    p.add_argument(
        "--overwrite",
        action="store_true",
        help="replace a pipeline with the same id (one export only, not a ZIP archive)",
    )

    p = command("history", commands.cmd_history, "list a pipeline's runs")
    p.add_argument("pipeline_id", metavar="ID", type=_identifier)

    p = command("logs", commands.cmd_logs, "show the engine's log")
    p.add_argument("--pipeline", metavar="ID", type=_identifier, help="only entries about pipeline ID")
    p.add_argument("--severity", metavar="S", help="only entries of severity S (ERROR, WARN, INFO, ...)")
    p.add_argument("--follow", action="store_true", help="keep printing new entries until Ctrl-C")
    p.add_argument(
        "--interval",
        metavar="S",
        type=seconds,
        default=1.0,
        help="seconds between reads with --follow (default 1)",
    )

    p = command("bundle", commands.cmd_bundle, "write a support bundle (a ZIP archive)")
    p.add_argument(
        "-g",
        "--generator",
        metavar="NAME",
        action="append",
        default=[],
        help="a generator to include; repeat for more (default: the engine's default set)",
    )
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="the file to write")

    command("health", commands.cmd_health, "show the engine's health report (exit 1 when a check is RED)")

    p = command(
        "doctor",
        commands.cmd_doctor,
        "check the engine layer by layer with reads only: network, TLS, answers, login, version, reads, clock",
    )
    p.add_argument("--pipeline", metavar="ID", type=_identifier, help="read this pipeline's status too")
    return parser


def _package_version() -> str:
    try:
        from importlib.metadata import version

        return version("quenlo-sdk")
    except Exception:  # noqa: BLE001 - running from a source tree
        return "(unknown version)"


def _mode(args: Any, stdout: Any) -> str:
    if args.json:
        return JSON
    if args.quiet:
        return QUIET
    return LIVE if stdout.isatty() else PLAIN


class _Stdout:
    """Standard output as the commands write to it: a write that fails (standard output closed, or its reader
    gone) is a usage error reported on one line, not a traceback."""

    def __init__(self, stream: Optional[TextIO]) -> None:
        self._stream = stream
        # Hidden from everything written, whatever wrote it (a table's cells are hidden before they are laid out).
        self.secrets: Sequence[str] = ()

    def _failed(self, error: Optional[BaseException]) -> UsageError:
        stream = self._stream
        if isinstance(error, BrokenPipeError) and stream is not None and stream is sys.stdout:
            # What is still buffered would fail again when the interpreter flushes at exit.
            with contextlib.suppress(OSError, ValueError):
                os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())
        reason = os.strerror(errno.EBADF) if error is None else getattr(error, "strerror", None) or str(error)
        return UsageError(f"cannot write to standard output: {reason}")

    def write(self, text: str) -> int:
        return self.write_hidden(scrub(text, self.secrets))

    def write_hidden(self, text: str) -> int:
        """Write ``text``, whose secrets are hidden already (a JSON document, hidden in its values only)."""
        if self._stream is None:
            raise self._failed(None)
        try:
            return write_escaped(self._stream, text)
        except (OSError, ValueError) as error:  # ValueError: a stream closed from Python
            raise self._failed(error) from None

    def flush(self) -> None:
        if self._stream is None:
            raise self._failed(None)
        try:
            self._stream.flush()
        except (OSError, ValueError) as error:
            raise self._failed(error) from None

    def isatty(self) -> bool:
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def __getattr__(self, name: str) -> Any:  # what else rich reads of its file (encoding, fileno)
        return getattr(self._stream, name)


class _Scrubber(logging.Formatter):
    """Formats the library's log for --debug with every secret of the run hidden."""

    def __init__(self, secrets: List[str]) -> None:
        super().__init__("%(asctime)s %(name)s %(levelname)s %(message)s")
        self.secrets = secrets

    def format(self, record: logging.LogRecord) -> str:
        return scrub(super().format(record), self.secrets)


def _wants_json(argv: Sequence[str]) -> bool:
    """Whether the command line asks for --json, read before it is parsed (its usage error is then a document)."""
    options = list(argv)
    if "--" in options:
        options = options[: options.index("--")]
    return "--json" in options


def _unknown_option(parser: argparse.ArgumentParser, argv: Sequence[str]) -> Optional[str]:
    """The first option before the command's name that velm does not know (its name only: a value written
    ``--name=value`` may be a secret), or None. argparse would take the option's value for the command's name."""
    commands: Any = next(action.choices for action in parser._actions if isinstance(action.choices, dict))
    options = parser._option_string_actions
    tokens = iter(argv)
    for token in tokens:
        if token == "--" or token in commands:
            return None
        if token.startswith("-") and token != "-":
            name, equals, _ = token.partition("=")
            if name not in options:
                return name
            if not equals and options[name].nargs != 0:
                next(tokens, None)  # its value
    return None


def _secrets_of(argv: Sequence[str]) -> List[str]:
    """The credentials of every URL on the command line, wherever it stands: argparse quotes a value it refuses
    (a URL given where the command's name goes, say)."""
    values = (token.partition("=")[2] if token.startswith("-") else token for token in argv if "@" in token)
    found = {secret for value in values for secret in secrets_in(value, None)}
    return sorted(found, key=len, reverse=True)


def main(
    argv: Optional[Sequence[str]] = None,
    *,
    stdout: Optional[TextIO] = None,
    stderr: Optional[TextIO] = None,
    environ: Optional[Mapping[str, str]] = None,
) -> int:
    """Run one ``velm`` command line and return its exit code (see ``velm --help``)."""
    try:
        return _main(argv, stdout, stderr, environ)
    except KeyboardInterrupt:  # Ctrl-C before the command ran, or after: one line, as during it
        return interrupted(stderr)


def interrupted(stderr: Optional[TextIO] = None) -> int:
    """Report Ctrl-C that came outside a command's own handling: one line, exit 130."""
    stream = stderr if stderr is not None else sys.stderr
    with contextlib.suppress(Exception):
        if stream is not None:
            stream.write("velm: interrupted\n")
            stream.flush()
    return INTERRUPTED


def _main(
    argv: Optional[Sequence[str]],
    stdout: Optional[TextIO],
    stderr: Optional[TextIO],
    environ: Optional[Mapping[str, str]],
) -> int:
    out_stream = _Stdout(stdout if stdout is not None else sys.stdout)
    # A closed standard error (sys.stderr None) leaves the exit code as the only report.
    stderr = stderr if stderr is not None else sys.stderr if sys.stderr is not None else io.StringIO()
    environ = environ if environ is not None else os.environ
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.json and args.quiet:
            parser.error("--json and --quiet do not go together")
        if args.insecure and args.ca_bundle is not None:
            parser.error("--insecure skips the check --ca-bundle is for: give one or the other")
    except UsageError as error:
        out = Output(JSON if _wants_json(argv) else QUIET, out_stream, stderr)  # type: ignore[arg-type]
        unknown = _unknown_option(parser, argv)
        text = f"unrecognized option {unknown} (see: velm --help)" if unknown else str(error)
        return _report(out, USAGE, text, _secrets_of(argv))
    except SystemExit as done:  # --help or --version, printed
        return done.code if isinstance(done.code, int) else USAGE
    out = Output(_mode(args, out_stream), out_stream, stderr)  # type: ignore[arg-type]
    context = commands.Context(args, out, environ)
    out.secrets = out_stream.secrets = context.secrets  # filled in place once the password is read
    if args.insecure:
        out.error("warning: --insecure: the engine's TLS certificate is not verified")
    # --debug shows the library's log for this run only: main() may be called in-process (tests, scripts),
    # so the logger is put back as it was when the command ends.
    library = logging.getLogger("quenlo.sdk.velm_api")
    level_before = library.level
    handler: Optional[logging.Handler] = None
    if args.debug:
        handler = logging.StreamHandler(stderr)
        handler.setFormatter(_Scrubber(context.secrets))
        library.addHandler(handler)
        library.setLevel(logging.DEBUG)
    try:
        return int(args.run(context) or 0)
    except (Exception, KeyboardInterrupt) as error:
        code, text = describe(error, _subject(args))
        if args.debug:
            trace = "".join(traceback.format_exception(type(error), error, error.__traceback__))
            stderr.write(scrub(trace, context.secrets))
        # The output of a command about runs ends with its result record, a failed one's included: the error
        # document is marked so, and names the runs it did not get to.
        runs = None
        if hasattr(args, "wait_timeout"):
            start = NOT_TRIED if args.command == "start" else None
            runs = [run_entry(pid, None, start=start, outcome=NOT_TRIED) for pid in _subjects(args)]
        documented = getattr(error, "documented", False)
        return _report(out, code, text, context.secrets, document=not documented, runs=runs, error=error)
    finally:
        context.close()
        if handler is not None:
            library.removeHandler(handler)
            library.setLevel(level_before)


def _subject(args: Any) -> Optional[str]:
    """The pipeline a failure line names: the command's one pipeline id, if it has one."""
    ids = getattr(args, "pipeline_ids", None)
    if ids is not None:
        return str(ids[0]) if len(ids) == 1 else None
    return getattr(args, "pipeline_id", None)


def _subjects(args: Any) -> List[str]:
    """The runs a command is about: its pipeline ids."""
    ids = getattr(args, "pipeline_ids", None)
    return [str(pid) for pid in ids] if ids is not None else [str(args.pipeline_id)]


def _report(
    out: Output,
    code: int,
    text: str,
    secrets: Sequence[str],
    document: bool = True,
    runs: Optional[List[Dict[str, Any]]] = None,
    error: Optional[BaseException] = None,
) -> int:
    """Print a failure: one line on standard error and, under --json and unless ``document`` is false, the error
    document; for a command about ``runs`` it is the result record, naming each run as not tried."""
    text = scrub(text, secrets)
    out.error(text)
    if document:
        doc = error_document(code, " ".join(text.split()), error)
        if runs is not None:
            doc = {"event": "result", **doc, "runs": runs}
        with contextlib.suppress(UsageError):  # standard output may be what failed
            out.document(doc)
    return code
