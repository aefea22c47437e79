"""The commands of ``velm``: each reads its arguments, calls the client, and prints what came back."""

from __future__ import annotations

import collections
import contextlib
import datetime
import json
import os
import signal
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Mapping, NoReturn, Optional, Tuple
from urllib.parse import quote

from ..exceptions import hide_secrets as scrub
from ._connect import ENV_PASSWORD, ENV_URL, client_options, connect, deadline, display_url, secrets_in
from ._errors import (
    DONE,
    RANKING,
    TIMED_OUT,
    UNREACHABLE,
    Failure,
    UsageError,
    code_of,
    describe,
    http_details,
    kind_of,
)
from ._output import (
    ATTACHED,
    JSON,
    NOT_TRIED,
    START_FAILED,
    STARTED,
    Output,
    RunOutcome,
    WaitView,
    one_line,
    records_preview,
    result_record,
    run_entry,
)

# Final states of a validation or preview other than the one waited for; the wait ends on them at once.
_PREVIEW_FAILURES = ("INVALID", "RUN_ERROR", "STOPPED")


class Context:
    """What a command works with: its arguments, the output, and a client made on first use."""

    def __init__(self, args: Any, out: Output, environ: Mapping[str, str]) -> None:
        self.args = args
        self.out = out
        self.environ = environ
        self._client: Any = None
        # What no output may show; the list is filled in place, so the --debug log's formatter sees the password
        # once it has been read.
        self.secrets = secrets_in(args.url or environ.get(ENV_URL), environ.get(ENV_PASSWORD))

    def settings(self) -> Tuple[str, Dict[str, Any]]:
        """The engine URL and the client's options, the password among the secrets no output shows."""
        url, options = client_options(self.args, self.environ)
        found = set(self.secrets) | set(secrets_in(url, options.get("password")))
        self.secrets[:] = sorted(found, key=len, reverse=True)
        return url, options

    @property
    def client(self) -> Any:
        if self._client is None:
            url, options = self.settings()
            self._client = connect(url, options, log_requests=self.args.debug)
        return self._client

    def close(self) -> None:
        if self._client is not None:
            self._client.session.close()
            self._client = None


def _body(response: Any, empty: Any) -> Any:
    return response.json() if response.content else empty


def _time(millis: Any) -> str:
    """Milliseconds since the epoch as UTC text; anything else as it came."""
    if isinstance(millis, (int, float)) and not isinstance(millis, bool) and millis > 0:
        stamp = datetime.datetime.fromtimestamp(millis / 1000, tz=datetime.timezone.utc)
        return stamp.strftime("%Y-%m-%d %H:%M:%S")
    return "" if millis in (None, 0) else str(millis)


# -- waiting --------------------------------------------------------------------------------------------------


@contextlib.contextmanager
def _cancel_on_interrupt(cancel: threading.Event) -> Iterator[None]:
    """Ctrl-C sets ``cancel``, so the wait ends cleanly at its next pause; a second Ctrl-C stops at once."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupted(signum: int, frame: Any) -> None:
        if cancel.is_set():
            raise KeyboardInterrupt
        cancel.set()

    previous = signal.signal(signal.SIGINT, interrupted)
    try:
        yield
    finally:
        # None: a handler installed from C, which cannot be put back from Python; the default is the nearest.
        signal.signal(signal.SIGINT, previous if previous is not None else signal.default_int_handler)


def run_wait(
    ctx: Context,
    command: Any,
    subject: str,
    metrics: Optional[Callable[[], Any]] = None,
    *,
    view: Optional[WaitView] = None,
    timeout: Optional[float] = None,
    failed: Optional[Callable[[BaseException], Tuple[int, str]]] = None,
    **options: Any,
) -> Tuple[WaitView, Dict[str, Any]]:
    """Wait on ``command`` with the run's time-out (or ``timeout``) and interval, showing progress; return the view
    and record.

    The wait's requests end by its time-out too, so an engine that stops answering cannot hold it longer. A wait
    that fails prints its result record and raises :class:`Failure` from the error, with the exit code and line
    ``failed`` gives (by default those of :func:`describe`).
    """
    cancel = threading.Event()
    view = view if view is not None else ctx.out.waiting(subject, metrics)
    limit = _wait_limit(ctx) if timeout is None else timeout
    try:
        with view, _cancel_on_interrupt(cancel), deadline(ctx.client, limit):
            record = command.wait(
                timeout_sec=ctx.args.timeout if timeout is None else timeout,
                poll_interval=ctx.args.interval,
                on_progress=view.on_progress,
                cancel=cancel,
                **options,
            )
    except Exception as error:
        if cancel.is_set():
            code, text = (
                Failure.INTERRUPTED,
                f"interrupted: stopped waiting for {subject}; the engine carries on with it",
            )
        elif failed is not None:
            code, text = failed(error)
        else:
            code, text = describe(error, getattr(ctx.args, "pipeline_id", None) or subject)
        view.fail(code, scrub(text, ctx.secrets), error)
        raise Failure(code, text, documented=True) from error
    return view, record


def _wait_limit(ctx: Context) -> float:
    """The seconds the command waits: --timeout, or its wait's default."""
    return float(ctx.args.timeout if ctx.args.timeout is not None else ctx.args.wait_timeout)


def _pipeline_metrics(ctx: Context, pipeline_id: str) -> Callable[[], Any]:
    return lambda: _body(ctx.client.get_pipeline_metrics(pipeline_id).response, None)


def _run_record(ctx: Context, pipeline_id: str, command: Any, wait: bool, start: Optional[str] = None) -> int:
    """After a start or a stop: show the answer, or wait for the run's final state (FINISHED after a start)."""
    if not wait:
        record = command.response.json()
        ctx.out.document(record)
        ctx.out.message(f"{pipeline_id}: {record.get('status')}" + (" (already going)" if start == ATTACHED else ""))
        ctx.out.document(
            result_record(0, [run_entry(pipeline_id, 0, start=start, status=record.get("status"), record=record)])
        )
        return 0
    view = ctx.out.waiting(pipeline_id, _pipeline_metrics(ctx, pipeline_id))
    view.start = start
    # A start waits until FINISHED (the run it attached to as well), a stop until STOPPED.
    until = "FINISHED" if start is not None else "STOPPED"
    options: Dict[str, Any] = {"until": until} if start is not None else {}
    view, record = run_wait(
        ctx,
        command,
        pipeline_id,
        view=view,
        failed=lambda error: _run_failure(ctx, pipeline_id, error, until, named=False, view=view),
        **options,
    )
    view.finish(record.get("status"), record)
    return 0


def _request_failed(ctx: Context, pipeline_id: str, error: BaseException) -> NoReturn:
    """The request about one run failed: its result record, then the failure."""
    code, text = describe(error, pipeline_id)
    entry = run_entry(pipeline_id, code, line=text, failure=error)
    ctx.out.document(result_record(code, [entry], scrub(text, ctx.secrets), error))
    raise Failure(code, text, documented=True) from error


# -- engine and pipelines --------------------------------------------------------------------------------------


def cmd_info(ctx: Context) -> int:
    info = ctx.client.get_velm_info()
    ctx.out.fields([("url", display_url(ctx.client.server_url))] + list(info.items()), info)
    return 0


def cmd_pipelines(ctx: Context) -> int:
    command = ctx.client.get_all_pipeline_configuration_info(
        filter_text=ctx.args.filter, label=ctx.args.label, include_status=True
    )
    body = _body(command.response, [])
    # With the status asked for, the engine answers the records and their status records side by side.
    if len(body) == 2 and all(isinstance(part, list) for part in body):
        infos, statuses = body
    else:
        infos, statuses = body, []
    by_id = {s.get("pipelineId") or s.get("name"): s for s in statuses if isinstance(s, dict)}
    docs, rows = [], []
    for info in infos:
        pid = info.get("pipelineId") or info.get("name")
        status = by_id.get(pid, {}).get("status")
        labels = (info.get("metadata") or {}).get("labels") or []
        docs.append({**info, "status": status})
        rows.append([pid, info.get("title"), status, ", ".join(map(str, labels))])
    ctx.out.table(["ID", "TITLE", "STATUS", "LABELS"], rows, docs)
    return 0


def cmd_status(ctx: Context) -> int:
    from .. import velm_api

    pid = ctx.args.pipeline_id
    record = ctx.client.get_pipeline_status(pid).response.json()
    status = record.get("status")
    ctx.out.fields(
        [
            ("pipeline", pid),
            ("status", status),
            ("message", record.get("message")),
            ("since", _time(record.get("changed"))),
        ],
        record,
    )
    if status in velm_api.PipelineCommand.ERROR_STATUSES:
        message = record.get("message")
        raise Failure(Failure.BAD_OUTCOME, f"{pid}: is in {status}" + (f": {message}" if message else ""))
    return 0


def _pipeline_ids(ctx: Context) -> List[str]:
    """The command's pipeline ids; one given twice is a usage error (its run would be started or read twice)."""
    ids: List[str] = list(ctx.args.pipeline_ids)
    for index, pid in enumerate(ids):
        if pid in ids[:index]:
            raise UsageError(f"pipeline {pid!r} is given twice")
    if ctx.args.fail_fast and not getattr(ctx.args, "wait", True):
        raise UsageError("--fail-fast applies to a wait: add --wait")
    return ids


# A run in one of these statuses is going: under --attach, a start refused for it waits for it instead.
_GOING = ("STARTING", "RUNNING")
# What the engine answers a start of a run that is going (its error document's code, and the statuses).
_STATE_REFUSAL = ("PIPELINE_STATE", (400, 409))


def cmd_start(ctx: Context) -> int:
    ids = _pipeline_ids(ctx)
    parameters = dict(ctx.args.param) or None
    client = ctx.client  # an engine that cannot be reached fails the command, before any run is tried
    firsts: List[Any] = []  # the start's command of each run started or attached so far
    starts: List[str] = []
    try:
        for pid in ids:
            try:
                firsts.append(client.start_pipeline(pid, runtime_parameters=parameters))
                starts.append(STARTED)
                continue
            except Exception as error:
                failure: BaseException = error
            if ctx.args.attach:
                try:
                    attached = _attach(ctx, pid, failure)
                except Exception as error:  # the status could not be read: that is what failed
                    attached, failure = None, error
                if attached is not None:
                    firsts.append(attached)
                    starts.append(ATTACHED)
                    continue
            _start_failed(ctx, ids, firsts, starts, failure)
    except KeyboardInterrupt as error:  # the runs started so far go on: the result record names them
        del firsts[len(starts) :]  # one whose start came back just as Ctrl-C did is named as may have started
        _start_failed(ctx, ids, firsts, starts, error)
    if not ctx.args.wait or len(ids) == 1:
        if len(ids) == 1:
            return _run_record(ctx, ids[0], firsts[0], ctx.args.wait, start=starts[0])
        runs = []
        for pid, command, start in zip(ids, firsts, starts):
            record = command.response.json()
            ctx.out.document(record)
            ctx.out.message(f"{pid}: {record.get('status')}" + (" (already going)" if start == ATTACHED else ""))
            runs.append(run_entry(pid, 0, start=start, status=record.get("status"), record=record))
        ctx.out.document(result_record(0, runs))
        return 0
    return _wait_all(ctx, ids, firsts, until="FINISHED", timeout=_wait_limit(ctx), starts=starts)


def _attach(ctx: Context, pid: str, refusal: BaseException) -> Any:
    """The status command of a run the engine refused to start because it is going already (under --attach),
    or None when the refusal was another one. A status read that fails raises: that is the run's failure."""
    details = http_details(refusal)
    code, statuses = _STATE_REFUSAL
    if details.get("httpStatus") not in statuses or details.get("engineCode", code) != code:
        return None
    command = ctx.client.get_pipeline_status(pid)
    record = _body(command.response, {})
    return command if isinstance(record, dict) and record.get("status") in _GOING else None


def _start_failed(
    ctx: Context, ids: List[str], firsts: List[Any], starts: List[str], failure: BaseException
) -> NoReturn:
    """A start that failed part-way: the result record names what happened to each run (started, attached, failed
    with its error, not tried), and the error line names the runs that go on."""
    done = len(firsts)
    pid, rest = ids[done], ids[done + 1 :]
    code, line = describe(failure, pid) if len(ids) == 1 else _named(pid, failure)
    if code == TIMED_OUT:
        # The start was sent and its answer did not come: the run may be going, and a retry with --attach waits
        # for it (or starts it), so this is the engine briefly away, not a run still going at --timeout.
        code, line = UNREACHABLE, f"{line}; the run may have started: retry with --attach"
    elif code == Failure.INTERRUPTED:  # Ctrl-C while the start was on its way: the engine may have it
        line = f"{line}; the run may have started: retry with --attach"
    text = line
    if done:
        text += f"; started before it, and going on on the engine: {', '.join(ids[:done])}"
    if rest:
        text += f"; not tried: {', '.join(rest)}"
    runs = []
    for going, command, start in zip(ids, firsts, starts):
        record = _body(command.response, None)
        status = record.get("status") if isinstance(record, dict) else None
        runs.append(run_entry(going, None, start=start, status=status, record=record))
    runs.append(run_entry(pid, code, line=line, failure=failure, start=START_FAILED))
    runs.extend(run_entry(other, None, start=NOT_TRIED) for other in rest)
    ctx.out.document(result_record(code, runs, scrub(text, ctx.secrets), failure))
    raise Failure(code, text, documented=True) from failure


def cmd_wait(ctx: Context) -> int:
    """Re-attach to runs already going: each run's first status read starts the same wait as ``start --wait``."""
    ids = _pipeline_ids(ctx)
    # One status as itself, so that messages name it as the user wrote it.
    given = tuple(ctx.args.until or ("FINISHED",))
    until = given[0] if len(given) == 1 else given
    limit = _wait_limit(ctx)
    began = time.monotonic()
    cancel = threading.Event()
    with deadline(ctx.client, limit), _cancel_on_interrupt(cancel):
        firsts, tries = _first_statuses(ctx, ids, cancel, limit)
    if cancel.is_set():
        raise Failure(Failure.INTERRUPTED, f"interrupted: stopped waiting for {', '.join(ids)}")
    left = max(limit - (time.monotonic() - began), 0.0)
    if len(ids) > 1:
        return _wait_all(ctx, ids, firsts, until=until, timeout=left, tries=tries)
    pid, first = ids[0], firsts[0]
    view = ctx.out.waiting(pid, _pipeline_metrics(ctx, pid))
    if isinstance(first, BaseException):
        _unread(view, first, tries[0])
        code, text = _run_failure(ctx, pid, first, until, named=False)
        view.fail(code, scrub(text, ctx.secrets), first)
        raise Failure(code, text, documented=True) from first
    failed = lambda error: _run_failure(ctx, pid, error, until, named=False, view=view)  # noqa: E731
    view, record = run_wait(ctx, first, pid, view=view, timeout=left, failed=failed, until=until)
    view.finish(record.get("status"), record)
    return 0


def _first_statuses(ctx: Context, ids: List[str], cancel: threading.Event, limit: float) -> Tuple[List[Any], List[int]]:
    """Each run's first status, as ``start --wait`` has it from the start's answer: the status command, or the
    exception that is the run's outcome (an unknown id, a refusal). A read the engine could not serve (no
    connection, a time-out, 502/503/504) is tried again each --interval until the wait's time-out, as the wait
    itself polls through them; a run still unread then ends in a WaitTimeoutError naming that last failure.
    With them, the number of status reads each run took."""
    import requests

    from .. import waits

    began = time.monotonic()
    found: List[Any] = [None] * len(ids)
    failures: Dict[int, BaseException] = {}
    last: Optional[BaseException] = None  # the last read the engine could not serve, of any run
    pending = list(range(len(ids)))
    reads = [0] * len(ids)
    while pending:
        for place in list(pending):
            if last is not None and time.monotonic() - began >= limit:
                # Out of time with the engine unavailable: each further read would hold the command for its
                # last try, so the runs still unread end on the engine's last failure.
                failures.setdefault(place, last)
                continue
            reads[place] += 1
            try:
                found[place] = ctx.client.get_pipeline_status(ids[place])
            except Exception as error:
                if waits.is_transient(error, requests):
                    failures[place] = last = error
                    continue
                found[place] = error
            pending.remove(place)
        left = limit - (time.monotonic() - began)
        if not pending or left <= 0 or cancel.wait(min(ctx.args.interval, left)):
            break
    for place in pending:
        found[place] = _unavailable(ids[place], limit, time.monotonic() - began, failures[place])
    return found, reads


def _unavailable(pid: str, limit: float, elapsed: float, failure: BaseException) -> BaseException:
    """The time-out of a wait whose every status read of ``pid`` failed, ``failure`` the last."""
    from .. import velm_api

    error = velm_api.WaitTimeoutError(
        f"Timed out after {limit:g} seconds while waiting for a status of pipeline {pid} (last failure: {failure})",
        timeout_sec=limit,
        elapsed=elapsed,
    )
    vars(error)["last_failure"] = failure
    error.__cause__ = failure
    return error


def _unread(view: WaitView, first: Any, reads: int) -> None:
    """A run whose every status read failed until the wait's time-out: its view (and so its result record) gives
    the time the wait tried it and the reads it made."""
    from .. import velm_api

    if isinstance(first, velm_api.WaitTimeoutError):
        view.elapsed, view.polls = first.elapsed, reads


def _run_failure(
    ctx: Context, pid: str, error: BaseException, until: Any, named: bool = True, view: Optional[WaitView] = None
) -> Tuple[int, str]:
    """The exit code and line of a run's failure. A wait that ran out of time while the engine was unavailable
    (its last status read failed: no connection, a time-out, 502/503/504) exits 5 naming that failure, as a retry
    may help; one that read a status to the end exits 3. The last read of the run's counters (``view``'s) counts
    too: an engine that stops answering during it holds the wait there until its time-out. Other failures are
    named as :func:`describe` says, the line starting with the run's id when ``named``."""
    import requests

    from .. import velm_api, waits

    if isinstance(error, velm_api.WaitTimeoutError):
        limit = _wait_limit(ctx)
        failure = getattr(error, "last_failure", None) or error.__cause__
        counted = view.counts_failure if view is not None else None
        if failure is None and counted is not None and waits.is_transient(counted, requests):
            failure = counted
        if failure is not None:
            why = describe(failure)[1]
            return UNREACHABLE, (
                f"{pid}: the engine was still unavailable when the wait's {limit:g} s ran out (--timeout); "
                f"last failure: {why}"
            )
        last = error.last_status or _status_in(error.response)  # a wait out of time at once read none itself
        text = f"{pid}: Timed out after {limit:g} seconds while waiting for status {until}."
        return TIMED_OUT, text + (f" (last status {last})" if last else "")
    return _named(pid, error) if named else describe(error, pid)


def _status_in(response: Any) -> Optional[str]:
    """The status of the record ``response`` holds (the first status read of ``velm wait``), or None."""
    try:
        record = response.json()
    except Exception:  # noqa: BLE001 - no response, or one that is not a record
        return None
    status = record.get("status") if isinstance(record, dict) else None
    return status if isinstance(status, str) else None


def _wait_all(
    ctx: Context,
    ids: List[str],
    firsts: List[Any],
    *,
    until: Any,
    timeout: float,
    starts: Optional[List[str]] = None,
    tries: Optional[List[int]] = None,
) -> int:
    """Wait for several runs at once, showing each; the exit code is the worst outcome's (see _worst).

    ``firsts`` holds each run's command, or the exception that is already its outcome; the others are still
    waited for, and every run is reported."""
    from .. import velm_api

    cancel = threading.Event()
    final = {
        "FINISHED",
        "STOPPED",
        *velm_api.PipelineCommand.ERROR_STATUSES,
        *([until] if isinstance(until, str) else until),
    }
    waiting = [place for place, first in enumerate(firsts) if not isinstance(first, BaseException)]
    reads = [_pipeline_metrics(ctx, pid) if place in waiting else None for place, pid in enumerate(ids)]
    view = ctx.out.waiting_all(ids, reads, final)
    for run_view, start in zip(view.views, starts or []):
        run_view.start = start
    for run_view, first, count in zip(view.views, firsts, tries or []):
        _unread(run_view, first, count)
    ends = time.monotonic() + timeout
    ended: List[Any] = list(firsts)
    results: List[Any] = [None] * len(waiting)
    settled = len(waiting) < len(ids)
    try:
        with view, _cancel_on_interrupt(cancel), deadline(ctx.client, timeout):
            if waiting and not (settled and ctx.args.fail_fast):
                results = velm_api.wait_all(
                    [firsts[place] for place in waiting],
                    until,
                    timeout_sec=timeout,
                    poll_interval=ctx.args.interval,
                    on_progress=lambda place, event: view.on_progress(waiting[place], event),
                    cancel=cancel,
                    fail_fast=ctx.args.fail_fast,
                )
    except velm_api.WaitAllError as error:
        results = error.outcomes
    except Exception as error:
        if not cancel.is_set():
            raise
        text = f"interrupted: stopped waiting for {len(ids)} runs; the engine carries on with them"
        runs = [run_view.entry(None) for run_view in view.views]
        ctx.out.document(result_record(Failure.INTERRUPTED, runs, text))
        raise Failure(Failure.INTERRUPTED, text, documented=True) from error
    for place, result in zip(waiting, results):
        ended[place] = result
    # Each run's line is an error text when the run failed, and an engine's message can echo a password.
    outcomes = [
        outcome._replace(line=scrub(outcome.line, ctx.secrets))
        for outcome in (_outcome(ctx, pid, run, value, until) for pid, run, value in zip(ids, view.views, ended))
    ]
    code = _worst([outcome.code for outcome in outcomes])
    counted = collections.Counter(
        "going" if outcome.code is None else "finished" if outcome.code == 0 else kind_of(outcome.code)
        for outcome in outcomes
    )
    summary = f"{len(ids)} runs: " + ", ".join(f"{number} {kind.replace('-', ' ')}" for kind, number in counted.items())
    failures = [outcome.line for outcome in outcomes if outcome.code]
    error_line = None
    if code:
        error_line = f"{len(failures)} of {len(ids)} runs did not reach their target status: " + "; ".join(failures)
    with deadline(ctx.client, max(ends - time.monotonic(), 0.0)):  # the final counters' reads too
        view.finish(outcomes, code, summary, error_line)
    if error_line is None:
        return 0
    raise Failure(code, error_line, documented=True)


def _outcome(ctx: Context, pid: str, run: WaitView, value: Any, until: Any) -> RunOutcome:
    """How the run of ``pid`` (shown by ``run``) ended: its final record, the exception its wait raised, or None
    (still going)."""
    elapsed = run.elapsed
    if value is None:
        return RunOutcome(None, f"{pid}: still going when the wait ended (--fail-fast)", None)
    if isinstance(value, dict):
        seconds = "-" if elapsed is None else f"{max(elapsed, 0.0):.1f} s"
        return RunOutcome(0, f"{pid}: {value.get('status')} after {seconds}", value)
    code, text = _run_failure(ctx, pid, value, until, view=run)
    record = value.response if isinstance(getattr(value, "response", None), dict) else None
    return RunOutcome(code, text, record, value)


def _named(pid: str, error: BaseException) -> Tuple[int, str]:
    """The exit code and line of a failure about the run of ``pid``, the line starting with its id."""
    code, text = describe(error, pid)
    return code, text if text.startswith(f"{pid}: ") else f"{pid}: {text}"


def _worst(codes: List[Optional[int]]) -> int:
    """The exit code of a wait on several runs: the worst of ``codes`` by the ranking of exit codes (0 when all
    are done).
    Runs still going after --fail-fast do not count."""
    known = [code for code in codes if code is not None]
    return min(known, key=lambda code: RANKING.index(code) if code in RANKING else -1, default=DONE)


def cmd_stop(ctx: Context) -> int:
    pid = ctx.args.pipeline_id
    stop = ctx.client.force_stop_pipeline if ctx.args.force else ctx.client.stop_pipeline
    try:
        command = stop(pid)
    except Exception as error:
        _request_failed(ctx, pid, error)
    return _run_record(ctx, pid, command, ctx.args.wait)


def cmd_history(ctx: Context) -> int:
    entries = ctx.client.get_pipeline_history(ctx.args.pipeline_id)
    rows = [
        [_time(e.get("started")), _time(e.get("ended")), e.get("status"), e.get("user"), e.get("message")]
        for e in entries
    ]
    ctx.out.table(["STARTED", "ENDED", "STATUS", "USER", "MESSAGE"], rows, entries)
    return 0


# -- validation, preview and snapshots ----------------------------------------------------------------------------


def _report_issues(ctx: Context, subject: str, preview: Any) -> None:
    issues = list(preview.issues)
    if not issues:
        return
    rows = [[i.get("stage") or "pipeline", i.get("code"), i.get("message")] for i in issues]
    ctx.out.table(["STAGE", "CODE", "ISSUE"], rows, None, title=f"{subject}: {len(issues)} issue(s)")


def cmd_validate(ctx: Context) -> int:
    from .. import velm_api

    pid = ctx.args.pipeline_id
    command = ctx.client.validate_pipeline(pid)
    try:
        view, record = run_wait(ctx, command, pid, until="VALID", stop_on=_PREVIEW_FAILURES)
    except Failure as failure:
        if not isinstance(failure.__cause__, velm_api.StatusError):
            raise
        _report_issues(
            ctx, pid, ctx.client.get_preview_data(pipeline_id=pid, previewer_id=command.previewer_id).preview
        )
        raise
    view.finish(record.get("status"), record)
    return 0


def cmd_preview(ctx: Context) -> int:
    from .. import velm_api

    args = ctx.args
    pid = args.pipeline_id
    command = ctx.client.run_pipeline_preview(
        pid, batches=args.batches, batch_size=args.batch_size, end_stage=args.end_stage
    )
    try:
        view, record = run_wait(ctx, command, pid, stop_on=_PREVIEW_FAILURES)
    except Failure as failure:
        if not isinstance(failure.__cause__, velm_api.StatusError):
            raise
        _report_issues(ctx, pid, command.preview)
        raise
    preview = command.preview
    view.finish(record.get("status"), preview.to_json())
    for stage, records in preview.records_by_stage.items():
        values = records_preview(records)
        columns: List[str] = []
        for value in values:
            columns.extend(name for name in value if name not in columns)
        ctx.out.table(
            columns or ["value"],
            [[v.get(c) for c in columns] for v in values],
            None,
            title=f"{stage}: {len(values)} record(s)",
        )
    return 0


def cmd_snapshot(ctx: Context) -> int:
    args = ctx.args
    pid, name = args.pipeline_id, args.name
    command = ctx.client.capture_snapshot(pid, name, args.label or name)
    view, record = run_wait(ctx, command, f"{pid}/{name}")
    snapshot = command.snapshot
    counts = {stage: len(records) for stage, records in snapshot.records_by_stage.items()}
    view.finish("captured", record)
    ctx.out.table(["STAGE", "RECORDS"], list(counts.items()), None)
    return 0


# -- import and export ----------------------------------------------------------------------------------------------


def _write(path: str, text: str) -> None:
    # Written beside the target and renamed over it, so a failure never leaves half a file behind.
    temporary = f"{path}.velm-partial"
    try:
        with open(temporary, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.replace(temporary, path)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise UsageError(f"cannot write {path!r}: {error.strerror or error}") from None


def cmd_export(ctx: Context) -> int:
    args = ctx.args
    if args.all:
        if args.pipeline_id is not None:
            raise UsageError("give a pipeline id or --all, not both")
        if args.output is None:
            raise UsageError("--all needs -o DIR, the folder to write one file per pipeline into")
        try:
            os.makedirs(args.output, exist_ok=True)  # as `mkdir -p` would
        except OSError as error:
            raise UsageError(f"cannot make the folder {args.output!r}: {error.strerror or error}") from None
        listing = _body(ctx.client.get_all_pipeline_configuration_info().response, [])
        for info in listing:
            pid = info.get("pipelineId") or info.get("name")
            path = os.path.join(args.output, quote(pid, safe=" ") + ".json")
            _write(path, json.dumps(ctx.client.export_pipeline(pid), indent=2) + "\n")
            ctx.out.document({"pipelineId": pid, "file": path})
            ctx.out.message(f"{pid}: exported to {path}")
        return 0
    if args.pipeline_id is None:
        raise UsageError("give a pipeline id, or --all with -o DIR")
    export = ctx.client.export_pipeline(args.pipeline_id)
    if args.output is None:
        ctx.out.raw_json(export, indent=None if ctx.out.mode == JSON else 2)
        return 0
    _write(args.output, json.dumps(export, indent=2) + "\n")
    ctx.out.document({"pipelineId": args.pipeline_id, "file": args.output})
    ctx.out.message(f"{args.pipeline_id}: exported to {args.output}")
    return 0


def _read_import(path: str) -> Tuple[bool, Any]:
    """(True, bytes) for a ZIP archive of exports, (False, document) for one export; usage errors otherwise."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as error:
        raise UsageError(f"cannot read {path!r}: {error.strerror or error}") from None
    if data[:4] == b"PK\x03\x04":
        return True, data
    try:
        return False, json.loads(data)
    except ValueError as error:
        raise UsageError(f"{path!r} is neither a pipeline export (JSON) nor a ZIP archive of them: {error}") from None
    except RecursionError:
        raise UsageError(f"{path!r} is nested too deeply to be a pipeline export") from None


def cmd_import(ctx: Context) -> int:
    import io

    from ..velm_models import Pipeline

    args = ctx.args
    is_archive, content = _read_import(args.file)
    if is_archive:
        if args.id is not None or args.overwrite:
            raise UsageError("--id and --overwrite apply to one pipeline export, not to a ZIP archive")
        result = ctx.client.import_pipelines(io.BytesIO(content))
        ctx.out.document(result)
        imported = result.get("imported") or [] if isinstance(result, dict) else []
        failed = result.get("failed") or [] if isinstance(result, dict) else []
        ctx.out.message(f"{args.file}: {len(imported)} pipeline(s) imported")
        if failed:
            for line in failed:
                ctx.out.error(f"{args.file}: {line}")
            raise Failure(Failure.BAD_OUTCOME, f"{args.file}: {len(failed)} pipeline(s) not imported")
        return 0
    if not isinstance(content, dict):
        raise UsageError(f"{args.file!r} is not a pipeline export (a JSON object)")
    pid = args.id or Pipeline(content).id
    if not pid:
        raise UsageError(f"{args.file!r} names no pipeline id: give one with --id")
    result = ctx.client.import_pipeline(pid, content, overwrite=args.overwrite)
    ctx.out.document(result)
    stored = Pipeline(result).id or pid
    ctx.out.message(f"{stored}: imported from {args.file}")
    return 0


# -- engine system -------------------------------------------------------------------------------------------------


def _log_key(entry: Any) -> Any:
    if isinstance(entry, dict) and "offset" in entry:
        return entry["offset"]
    return json.dumps(entry, sort_keys=True, default=str)


def _print_log(ctx: Context, entries: List[Any], stream: bool) -> None:
    """Entries as lines; under --json one array, or with ``stream`` (a follow) one document per entry."""
    if not stream:
        ctx.out.document(entries)
    for entry in entries:
        if stream:
            ctx.out.document(entry)
        if isinstance(entry, dict):
            pipeline = entry.get("pipeline") or "*"
            text = (
                f"{_time(entry.get('time'))} {entry.get('severity', '')} [{pipeline}] "
                f"{entry.get('category', '')} - {entry.get('message', '')}"
            )
        else:
            text = str(entry)
        ctx.out.message(one_line(text))


def cmd_logs(ctx: Context) -> int:
    from ..velm_models import Pipeline

    args = ctx.args
    pipeline = Pipeline(pipelineId=args.pipeline) if args.pipeline else None

    def read() -> List[Any]:
        entries = _body(ctx.client.get_logs(pipeline=pipeline, severity=args.severity).response, [])
        return list(entries) if isinstance(entries, list) else [entries]

    entries = read()
    _print_log(ctx, entries, stream=args.follow)
    if not args.follow:
        return 0
    # Ctrl-C ends the follow between reads, as it ends a wait: an interrupt inside a request could leave the
    # session's locks held and the exit hanging.
    cancel = threading.Event()
    with _cancel_on_interrupt(cancel):
        while not cancel.wait(args.interval):
            page = read()
            keys = [_log_key(entry) for entry in page]
            last = _log_key(entries[-1]) if entries else None
            # The page ends at the log's end; what follows the last entry shown is new.
            new = page[keys.index(last) + 1 :] if last in keys else page
            _print_log(ctx, new, stream=True)
            if page:
                entries = page
    raise KeyboardInterrupt  # reported as an interruption: exit 130


def cmd_bundle(ctx: Context) -> int:
    args = ctx.args
    archive = ctx.client.get_bundle(args.generator or None)
    with archive:
        names = archive.namelist()
        stream = archive.fp
        stream.seek(0)
        data = stream.read()
    try:
        with open(args.output, "wb") as handle:
            handle.write(data)
    except OSError as error:
        raise UsageError(f"cannot write {args.output!r}: {error.strerror or error}") from None
    ctx.out.document({"file": args.output, "bytes": len(data), "entries": names})
    ctx.out.message(f"support bundle written to {args.output} ({len(names)} files, {len(data)} bytes)")
    return 0


def cmd_health(ctx: Context) -> int:
    report = _body(ctx.client.get_health_report().response, {})
    rows, red = [], []
    for category in report.get("categories") or []:
        for check in category.get("checks") or []:
            rows.append(
                [
                    category.get("label") or category.get("name"),
                    check.get("name"),
                    check.get("value"),
                    check.get("severity"),
                    check.get("details"),
                ]
            )
            if check.get("severity") == "RED":
                red.append(str(check.get("name")))
    ctx.out.document(report)
    ctx.out.table(["CATEGORY", "CHECK", "VALUE", "SEVERITY", "DETAILS"], rows, None)
    if red:
        raise Failure(Failure.BAD_OUTCOME, f"health: {len(red)} check(s) RED: {', '.join(red)}")
    return 0


# -- doctor ---------------------------------------------------------------------------------------------------


def cmd_doctor(ctx: Context) -> int:
    from .. import doctor

    url, options = ctx.settings()
    session = options.get("session_attributes") or {}
    checks = doctor.check_engine(
        url,
        username=options.get("username"),
        password=options.get("password"),
        api_version=options.get("api_version", 1),
        verify=session.get("verify"),
        cert=session.get("cert"),
        timeout=options.get("timeout"),
        retries=options.get("retries"),
        pipeline_id=ctx.args.pipeline,
    )
    failed = {code_of(str(c.kind)) for c in checks if c.verdict == doctor.FAILED}
    code = next(code for code in RANKING if code in failed or code == DONE)
    rows = [[c.name, c.verdict, c.figure, c.reason, c.hint] for c in checks]
    ctx.out.table(["CHECK", "VERDICT", "FIGURE", "REASON", "HINT"], rows, None, title=f"velm doctor {display_url(url)}")
    record: Dict[str, Any] = {"event": "result", "url": display_url(url), "checks": [c.as_dict() for c in checks]}
    record["runs"] = []  # the result record's shape: doctor is about no run
    record.update(exitCode=code, kind=kind_of(code))
    if code == DONE:
        ctx.out.document(record)
        return DONE
    first = next(c for c in checks if c.verdict == doctor.FAILED)
    text = f"doctor: {first.name} failed: {first.reason}" + (f" ({first.hint})" if first.hint else "")
    ctx.out.document({**record, "error": one_line(scrub(text, ctx.secrets))})
    raise Failure(code, text, documented=True)
