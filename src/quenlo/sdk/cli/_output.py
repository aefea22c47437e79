"""What the command line prints: tables, records, the live wait display, JSON lines and error lines.

One :class:`Output` per run, in one of four modes: ``live`` (standard output is a terminal: rich tables and a
live status line while waiting), ``plain`` (a pipe or a CI log: aligned text, one line per status change),
``json`` (one JSON document per line) and ``quiet`` (errors only). Errors always go to standard error as one line.
"""

from __future__ import annotations

import json
import sys
import time
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    TextIO,
    Tuple,
    TypeVar,
    cast,
)

from ..exceptions import hide_secrets
from ._errors import http_details, kind_of

_View = TypeVar("_View", bound="_LiveDisplay")

LIVE, PLAIN, JSON, QUIET = "live", "plain", "json", "quiet"

# The counters of a pipeline run the display shows, under the names our events use.
COUNTERS = (
    ("batches", "pipeline.batchCount.counter"),
    ("input", "pipeline.batchInputRecords.counter"),
    ("output", "pipeline.batchOutputRecords.counter"),
    ("errors", "pipeline.batchErrorRecords.counter"),
)

_GOOD = {"FINISHED", "STOPPED", "VALID", "RUNNING"}
_ACTIVE = {"STARTING", "STOPPING", "CREATED", "VALIDATING", "RUNNING"}


def counters_of(metrics: Any) -> Optional[Dict[str, int]]:
    """The batch and record counts of a metrics record, or None when it carries none of them."""
    counters = metrics.get("counters") if isinstance(metrics, Mapping) else None
    if not isinstance(counters, Mapping):
        return None
    found: Dict[str, int] = {}
    for name, key in COUNTERS:
        entry = counters.get(key)
        if isinstance(entry, Mapping) and isinstance(entry.get("count"), (int, float)):
            found[name] = int(entry["count"])
    return found or None


def describe_counters(counts: Optional[Mapping[str, int]]) -> str:
    """``10 batches, 100 records in, 98 out, 2 in error`` (parts the engine did not report are left out)."""
    if not counts:
        return ""
    parts = []
    if "batches" in counts:
        parts.append(f"{counts['batches']} batches")
    if "input" in counts:
        parts.append(f"{counts['input']} records in")
    if "output" in counts:
        parts.append(f"{counts['output']} out")
    if "errors" in counts:
        parts.append(f"{counts['errors']} in error")
    return ", ".join(parts)


def one_line(text: Any) -> str:
    """Text folded onto one line, for error lines a CI log shows whole."""
    return " ".join(str(text).split())


def write_escaped(stream: Any, text: str) -> int:
    """Write ``text`` to ``stream``; characters its encoding cannot take (half a surrogate pair from an engine's
    message, or anything outside an ASCII terminal's range) are written as backslash escapes."""
    try:
        return int(stream.write(text))
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "utf-8"
        return int(stream.write(text.encode(encoding, "backslashreplace").decode(encoding)))


def _hidden(value: Any, secrets: Sequence[str]) -> Any:
    """``value`` with ``secrets`` hidden in every text it holds, keys included."""
    if not secrets:
        return value
    if isinstance(value, str):
        return hide_secrets(value, secrets)
    if isinstance(value, Mapping):
        return {_hidden(key, secrets): _hidden(item, secrets) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_hidden(item, secrets) for item in value]
    return value


def hidden_json(doc: Any, secrets: Sequence[str], indent: Optional[int] = None) -> str:
    """``doc`` as JSON with ``secrets`` hidden in its texts, keys included, but never in its numbers or its syntax:
    the document stays valid JSON whatever the password (``1`` or ``true``, say)."""
    if secrets:
        doc = _hidden(json.loads(json.dumps(doc, default=str)), secrets)
    return json.dumps(doc, default=str, indent=indent)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (dict, list)):
        return json.dumps(value, default=str, separators=(",", ":"))
    return str(value)


def _seconds(value: Optional[float]) -> str:
    return "-" if value is None else f"{max(value, 0.0):.1f} s"


# What the start of a run did (``start`` of a run in a result record of ``velm start``).
STARTED, ATTACHED, START_FAILED, NOT_TRIED = "started", "attached", "failed", "not-tried"


def run_entry(
    subject: str,
    code: Optional[int],
    *,
    line: Optional[str] = None,
    failure: Optional[BaseException] = None,
    start: Optional[str] = None,
    status: Optional[str] = None,
    elapsed: Optional[float] = None,
    polls: int = 0,
    record: Any = None,
    counters: Optional[Dict[str, int]] = None,
    outcome: Optional[str] = None,
) -> Dict[str, Any]:
    """One run of a result record (result.schema.json): its ``outcome`` is the kind of its exit code, ``going``
    for a run still going when the wait ended, ``not-tried`` for one the command never got to (exit code None);
    a failed one has its ``error`` line, and ``httpStatus``/``engineCode`` when an answer said why."""
    if outcome is None and code is not None:
        outcome = kind_of(code)
    elif outcome is None:
        outcome = NOT_TRIED if start == NOT_TRIED else "going"
    entry: Dict[str, Any] = {
        "subject": subject,
        "outcome": outcome,
        "exitCode": code,
        "status": status,
        "elapsed": elapsed,
        "polls": polls,
        "record": record,
    }
    if start is not None:
        entry["start"] = start
    if code and line is not None:
        entry["error"] = one_line(line)
    if code:
        entry.update(http_details(failure))
    if counters is not None:
        entry["counters"] = counters
    return entry


def result_record(
    code: int, runs: List[Dict[str, Any]], error: Optional[str] = None, failure: Optional[BaseException] = None
) -> Dict[str, Any]:
    """The last document of a command about runs (result.schema.json): ``event``, ``exitCode``, ``kind`` and
    ``runs`` always; on a failure ``error`` (the error line) and, for a failure of one request, its
    ``httpStatus`` and ``engineCode``."""
    doc: Dict[str, Any] = {"event": "result", "exitCode": code, "kind": kind_of(code), "runs": runs}
    if error is not None:
        doc["error"] = one_line(error)
        doc.update(http_details(failure))
    if len(runs) == 1:  # one run's fields are also at the top level
        doc.update({key: value for key, value in runs[0].items() if key in _RUN_FIELDS})
    return doc


# The fields of a run that a result record about one run also has at its top level.
_RUN_FIELDS = ("subject", "status", "elapsed", "polls", "record", "counters")


class Output:
    """Prints results in the run's mode; see the module docstring."""

    def __init__(self, mode: str, stdout: Optional[TextIO] = None, stderr: Optional[TextIO] = None) -> None:
        self.mode = mode
        self.stdout = stdout if stdout is not None else sys.stdout
        self.stderr = stderr if stderr is not None else sys.stderr
        self._console: Any = None
        # What no document or message may show (the run's password): an engine's record can echo it back.
        self.secrets: Sequence[str] = ()

    @property
    def console(self) -> Any:
        """The rich console on standard output (live mode only)."""
        if self._console is None:
            from rich.console import Console

            self._console = Console(file=self.stdout, highlight=False)
        return self._console

    # -- documents and messages ------------------------------------------------------------------------------

    def document(self, doc: Any) -> None:
        """One JSON document on one line (json mode only)."""
        if self.mode == JSON:
            self._write_hidden(hidden_json(doc, self.secrets) + "\n")
            self.stdout.flush()

    def _write_hidden(self, text: str) -> None:
        # The secrets are hidden already: standard output's own hiding, for text of any shape, would change JSON.
        getattr(self.stdout, "write_hidden", self.stdout.write)(text)

    def message(self, text: str, style: str = "") -> None:
        """An informational line (live and plain modes)."""
        text = hide_secrets(text, self.secrets)
        if self.mode == LIVE:
            self.console.print(text, style=style or None, markup=False)
        elif self.mode == PLAIN:
            self.stdout.write(text + "\n")
            self.stdout.flush()

    def error(self, text: str) -> None:
        """An error line on standard error, in every mode."""
        write_escaped(self.stderr, f"velm: {one_line(hide_secrets(text, self.secrets))}\n")
        self.stderr.flush()

    def raw(self, text: str) -> None:
        """Text the user asked for on standard output (an export without -o), in every mode."""
        text = hide_secrets(text, self.secrets)
        self.stdout.write(text if text.endswith("\n") else text + "\n")
        self.stdout.flush()

    def raw_json(self, doc: Any, indent: Optional[int] = None) -> None:
        """A JSON document the user asked for on standard output (an export without -o), in every mode."""
        self._write_hidden(hidden_json(doc, self.secrets, indent) + "\n")
        self.stdout.flush()

    def fields(self, pairs: Sequence[Tuple[Any, Any]], doc: Any) -> None:
        """A record as name/value lines, or ``doc`` as one JSON line."""
        pairs = [(name, hide_secrets(_cell(value), self.secrets)) for name, value in pairs]
        if self.mode == JSON:
            self.document(doc)
        elif self.mode == LIVE:
            from rich.table import Table

            grid = Table.grid(padding=(0, 2))
            grid.add_column(style="bold")
            grid.add_column()
            for name, value in pairs:
                grid.add_row(str(name), _cell(value))
            self.console.print(grid)
        elif self.mode == PLAIN:
            width = max((len(str(name)) for name, _ in pairs), default=0)
            for name, value in pairs:
                self.stdout.write(f"{str(name) + ':':<{width + 1}} {_cell(value)}\n")
            self.stdout.flush()

    def table(
        self,
        columns: Sequence[str],
        rows: Iterable[Sequence[Any]],
        docs: Optional[Iterable[Any]],
        title: Optional[str] = None,
    ) -> None:
        """Rows under column headings, or ``docs`` as one JSON array (``[]`` when empty; None prints nothing)."""
        if self.mode == JSON:
            if docs is not None:
                self.document(list(docs))
            return
        rows = [[hide_secrets(_cell(value), self.secrets) for value in row] for row in rows]
        title = title and hide_secrets(title, self.secrets)
        if self.mode == LIVE:
            from rich.table import Table

            if title:  # above the table, not as its title, which rich would wrap to the table's width
                self.console.print(title, style="bold", markup=False)
            table = Table()
            for column in columns:
                table.add_column(column, overflow="fold")
            for row in rows:
                table.add_row(*row)
            self.console.print(table)
        elif self.mode == PLAIN:
            if title:
                self.stdout.write(title + "\n")
            widths = [max([len(column)] + [len(row[i]) for row in rows]) for i, column in enumerate(columns)]
            for row in [list(columns)] + rows:
                self.stdout.write("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() + "\n")
            self.stdout.flush()

    # -- waiting ----------------------------------------------------------------------------------------------

    def waiting(self, subject: str, metrics: Optional[Callable[[], Any]] = None) -> "WaitView":
        """The display of one wait on ``subject``; ``metrics`` reads the run's metrics record, if it has one."""
        return WaitView(self, subject, metrics)

    def waiting_all(
        self, subjects: Sequence[str], metrics: Sequence[Optional[Callable[[], Any]]], final: Iterable[str]
    ) -> "RunsView":
        """The display of a wait on several runs, one :class:`WaitView` each; a run whose status is one of
        ``final`` has ended, and its line stands still."""
        views = [WaitView(self, subject, read) for subject, read in zip(subjects, metrics)]
        return RunsView(self, views, final)


class _LiveDisplay:
    """A view that, on a terminal, redraws itself while its ``with`` block runs (rich's Live display)."""

    out: Output
    _live: Any = None

    def __enter__(self: _View) -> _View:
        if self.out.mode == LIVE:
            from rich.live import Live

            self._live = Live(cast(Any, self), console=self.out.console, refresh_per_second=8, transient=True)
            self._live.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._live is not None:
            self._live.stop()
            self._live = None


class WaitView(_LiveDisplay):
    """Shows a wait's progress events: a live line, one line per status change, or JSON events.

    Use as a context manager around the wait and pass :meth:`on_progress` as its ``on_progress``.
    """

    def __init__(self, out: Output, subject: str, metrics: Optional[Callable[[], Any]]) -> None:
        self.out = out
        self.subject = subject
        self._metrics = metrics
        self.status: Optional[str] = None
        self.elapsed: Optional[float] = None
        self.remaining: Optional[float] = None
        self.polls = 0
        self.record: Any = None  # the last status record read
        self.counts: Optional[Dict[str, int]] = None
        self._printed: Optional[str] = None
        self._seen_at = time.monotonic()
        self._started_at = time.monotonic()
        self._live: Any = None
        self.ended = False  # the run is over (set by a RunsView, whose wait goes on for other runs)
        self.start: Optional[str] = None  # what the start of the run did (velm start), for its result record
        self.counts_failure: Optional[BaseException] = None  # why the last counters read failed, if it did

    def read_counts(self) -> bool:
        """Refresh the run's counters; a failed read keeps the last ones (they only decorate the display) and
        returns False."""
        if self._metrics is None:
            return True
        try:
            counts = counters_of(self._metrics())
        except Exception as error:  # noqa: BLE001 - a metrics hiccup must not end the wait the user asked for
            self.counts_failure = error
            return False
        self.counts_failure = None
        if counts is not None:
            self.counts = counts
        return True

    def on_progress(self, event: Any) -> None:
        """The wait's ``on_progress`` callback."""
        self.status = event.status
        self.elapsed = event.elapsed
        self.remaining = event.remaining
        self.polls = event.polls
        self.record = event.record
        self._seen_at = time.monotonic()
        mode = self.out.mode
        if mode in (LIVE, JSON):
            self.read_counts()
        if mode == JSON:
            doc: Dict[str, Any] = {
                "event": "progress",
                "subject": self.subject,
                "status": event.status,
                "elapsed": event.elapsed,
                "remaining": event.remaining,
                "polls": event.polls,
                "record": event.record,
            }
            if self.counts is not None:
                doc["counters"] = self.counts
            self.out.document(doc)
        elif mode == PLAIN and event.status != self._printed:
            self._printed = event.status
            self.out.message(f"{self.subject}: {event.status} ({_seconds(event.elapsed)})")
        elif self._live is not None:
            self._live.refresh()

    def entry(
        self, code: Optional[int], record: Any = None, line: Optional[str] = None, failure: Any = None
    ) -> Dict[str, Any]:
        """This run in a result record: ``code`` its exit code, ``record`` its final status record (else the last
        one read)."""
        return run_entry(
            self.subject,
            code,
            line=line,
            failure=failure,
            start=self.start,
            status=self.status,
            elapsed=self.elapsed,
            polls=self.polls,
            record=record if record is not None else self.record,
            counters=self.counts,
        )

    def _single(self, code: int, record: Any, line: Optional[str] = None, failure: Any = None) -> None:
        self.out.document(result_record(code, [self.entry(code, record, line, failure)], line, failure))

    def fail(self, code: int, line: str, failure: Any = None) -> None:
        """Under --json, the result record of a wait that failed with exit ``code`` and error ``line``."""
        if self.out.mode == JSON:
            self._single(code, None, line, failure)

    def finish(self, status: Optional[str], record: Any) -> None:
        """Print the outcome: a final line naming ``status``, or under --json the result record, the last line:
        ``{"event": "result", "exitCode": 0, "kind": "done", "runs": [...]}`` with the run's ``subject``,
        ``status``, ``elapsed``, ``polls``, ``record`` and ``counters`` at the top level as well."""
        if self.out.mode == JSON:  # the counters as the last progress event read them
            if status is not None and self.status is None:
                self.status = status
            self._single(0, record)
            return
        if self.out.mode == QUIET:
            return
        if self._metrics is not None:
            self.read_counts()
        elapsed = self.elapsed if self.elapsed is not None else time.monotonic() - self._started_at
        text = f"{self.subject}: {status} after {_seconds(elapsed)}"
        if self.counts:
            text += f" ({describe_counters(self.counts)})"
        if self.out.mode == LIVE:
            self.out.console.print(f"✔ {text}", style="green", markup=False)
        else:
            self.out.message(text)

    # rich calls this on every refresh, so the clock runs between polls.
    def __rich__(self) -> Any:
        from rich.spinner import Spinner
        from rich.table import Table
        from rich.text import Text

        # The clock runs on between polls, and stands still once the run has ended.
        since = 0.0 if self.ended else time.monotonic() - self._seen_at
        elapsed = (self.elapsed + since) if self.elapsed is not None else time.monotonic() - self._started_at
        remaining = None if self.remaining is None or self.ended else self.remaining - since
        line = Text()
        line.append(self.subject, style="bold")
        line.append("  ")
        status = self.status or "waiting"
        line.append(
            status,
            style="dim"
            if self.status is None
            else "green"
            if status in _GOOD
            else "yellow"
            if status in _ACTIVE
            else "red",
        )
        line.append(f"  elapsed {_seconds(elapsed)}")
        if remaining is not None:
            line.append(f"  remaining {_seconds(remaining)}")
        if self.counts:
            line.append("  " + describe_counters(self.counts))
        grid = Table.grid(padding=(0, 1))
        grid.add_row(Text("•") if self.ended else Spinner("dots"), line)
        return grid


class RunOutcome(NamedTuple):
    """How one run of a wait on several ended: ``code`` is its exit code (None: still going when the wait ended),
    ``line`` what is printed for it, ``record`` its last status record (None when none is known)."""

    code: Optional[int]
    line: str
    record: Any
    failure: Any = None  # the exception the run ended with, if any


class RunsView(_LiveDisplay):
    """Shows a wait on several runs: one live line per run on a terminal, one line per status change naming the
    run in a pipe, JSON progress events naming their run; then one line per run and a summary line, or under
    --json one result record naming every run's outcome.

    Use as a context manager around the wait and pass :meth:`on_progress` as its ``on_progress``.
    """

    def __init__(self, out: Output, views: List[WaitView], final: Iterable[str]) -> None:
        self.out = out
        self.views = views
        self._final = frozenset(final)
        self._live: Any = None

    def on_progress(self, place: int, event: Any) -> None:
        """wait_all's ``on_progress`` callback."""
        view = self.views[place]
        # Marked first: the display redraws from another thread while on_progress reads the run's counters.
        view.ended = event.status in self._final
        view.on_progress(event)
        if self._live is not None:
            self._live.refresh()

    def finish(self, outcomes: Sequence[RunOutcome], code: int, summary: str, error: Optional[str]) -> None:
        """Print how each run ended and the summary; under --json, the result record with ``code`` and, when
        the wait failed, ``error`` (so it is also the error document)."""
        mode = self.out.mode
        if mode == QUIET:
            return
        # Once a read fails (an engine gone silent costs a time-out per read), the others keep their last counters.
        reading = True
        for view in self.views:
            reading = reading and view.read_counts()
        if mode == JSON:
            runs = [
                view.entry(outcome.code, outcome.record, outcome.line, outcome.failure)
                for view, outcome in zip(self.views, outcomes)
            ]
            doc = result_record(code, runs, error)
            self.out.document(doc)
            return
        for view, outcome in zip(self.views, outcomes):
            line = outcome.line
            if view.counts:
                line += f" ({describe_counters(view.counts)})"
            if mode == LIVE:
                mark, style = (
                    ("✔", "green")
                    if outcome.code == 0
                    else ("…", "yellow")
                    if outcome.code in (None, 3)
                    else ("✘", "red")
                )
                self.out.console.print(f"{mark} {line}", style=style, markup=False)
            else:
                self.out.message(line)
        self.out.message(summary, style="bold")

    # rich calls this on every refresh: one line per run.
    def __rich__(self) -> Any:
        from rich.console import Group

        return Group(*(view.__rich__() for view in self.views))


def records_preview(records: Sequence[Any]) -> List[Dict[str, Any]]:
    """Plain values of preview or snapshot records (non-map records under the key ``value``)."""
    values = []
    for record in records:
        value = record.value
        values.append(value if isinstance(value, dict) else {"value": value})
    return values
