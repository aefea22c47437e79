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
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Tuple
from urllib.parse import quote

from ..exceptions import hide_secrets as scrub
from ._connect import ENV_PASSWORD, ENV_URL, client_options, connect, deadline, display_url, secrets_in
from ._errors import BAD_OUTCOME, DONE, RANKING, TIMED_OUT, Failure, UsageError, code_of, describe, kind_of
from ._output import JSON, Output, RunOutcome, WaitView, one_line, records_preview

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
    ctx: Context, command: Any, subject: str, metrics: Optional[Callable[[], Any]] = None, **options: Any
) -> Tuple[WaitView, Dict[str, Any]]:
    """Wait on ``command`` with the run's time-out and interval, showing progress; return the view and record.

    The wait's requests end by its time-out too, so an engine that stops answering cannot hold it longer.
    """
    cancel = threading.Event()
    view = ctx.out.waiting(subject, metrics)
    try:
        with view, _cancel_on_interrupt(cancel), deadline(ctx.client, _wait_limit(ctx)):
            record = command.wait(
                timeout_sec=ctx.args.timeout,
                poll_interval=ctx.args.interval,
                on_progress=view.on_progress,
                cancel=cancel,
                **options,
            )
    except Exception as error:
        if cancel.is_set():
            raise Failure(
                Failure.INTERRUPTED, f"interrupted: stopped waiting for {subject}; the engine carries on with it"
            ) from error
        raise
    return view, record


def _wait_limit(ctx: Context) -> float:
    """The seconds the command waits: --timeout, or its wait's default."""
    return float(ctx.args.timeout if ctx.args.timeout is not None else ctx.args.wait_timeout)


def _pipeline_metrics(ctx: Context, pipeline_id: str) -> Callable[[], Any]:
    return lambda: _body(ctx.client.get_pipeline_metrics(pipeline_id).response, None)


def _run_record(ctx: Context, pipeline_id: str, command: Any, wait: bool, **options: Any) -> int:
    """After a start, a stop or a status read: show the answer, or wait for the run's final state."""
    if not wait:
        record = command.response.json()
        ctx.out.document(record)
        ctx.out.message(f"{pipeline_id}: {record.get('status')}")
        return 0
    view, record = run_wait(ctx, command, pipeline_id, _pipeline_metrics(ctx, pipeline_id), **options)
    view.finish(record.get("status"), record)
    return 0


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


def cmd_start(ctx: Context) -> int:
    ids = _pipeline_ids(ctx)
    parameters = dict(ctx.args.param) or None
    if len(ids) == 1:
        return _run_record(ctx, ids[0], ctx.client.start_pipeline(ids[0], runtime_parameters=parameters), ctx.args.wait)
    commands: List[Any] = []
    for pid in ids:
        try:
            commands.append(ctx.client.start_pipeline(pid, runtime_parameters=parameters))
        except Exception as error:
            if not commands:
                raise
            # The runs started before it go on; the line says which they are.
            code, text = _named(pid, error)
            started = ", ".join(ids[: len(commands)])
            raise Failure(code, f"{text}; started before it, and going on on the engine: {started}") from error
    if not ctx.args.wait:
        for pid, command in zip(ids, commands):
            _run_record(ctx, pid, command, False)
        return 0
    return _wait_all(ctx, ids, commands)


def cmd_wait(ctx: Context) -> int:
    """Re-attach to runs already going: each status read is the start of the same wait as ``start --wait``."""
    ids = _pipeline_ids(ctx)
    # One status as itself, so that messages name it as the user wrote it.
    given = tuple(ctx.args.until or ("FINISHED",))
    until = given[0] if len(given) == 1 else given
    with deadline(ctx.client, _wait_limit(ctx)):
        if len(ids) == 1:
            return _run_record(ctx, ids[0], ctx.client.get_pipeline_status(ids[0]), True, until=until)
        commands = []
        for pid in ids:
            try:
                commands.append(ctx.client.get_pipeline_status(pid))
            except Exception as error:
                raise Failure(*_named(pid, error)) from error
        return _wait_all(ctx, ids, commands, until=until)


def _wait_all(ctx: Context, ids: List[str], commands: List[Any], **options: Any) -> int:
    """Wait for several runs at once, showing each; the exit code is the worst outcome's (see _worst)."""
    from .. import velm_api

    cancel = threading.Event()
    until = options.get("until", "FINISHED")
    final = {
        "FINISHED",
        "STOPPED",
        *velm_api.PipelineCommand.ERROR_STATUSES,
        *([until] if isinstance(until, str) else until),
    }
    view = ctx.out.waiting_all(ids, [_pipeline_metrics(ctx, pid) for pid in ids], final)
    limit = _wait_limit(ctx)
    ends = time.monotonic() + limit
    try:
        with view, _cancel_on_interrupt(cancel), deadline(ctx.client, limit):
            ended: List[Any] = velm_api.wait_all(
                commands,
                timeout_sec=ctx.args.timeout,
                poll_interval=ctx.args.interval,
                on_progress=view.on_progress,
                cancel=cancel,
                fail_fast=ctx.args.fail_fast,
                **options,
            )
    except velm_api.WaitAllError as error:
        ended = error.outcomes
    except Exception as error:
        if cancel.is_set():
            raise Failure(
                Failure.INTERRUPTED,
                f"interrupted: stopped waiting for {len(ids)} runs; the engine carries on with them",
            ) from error
        raise
    # Each run's line is an error text when the run failed, and an engine's message can echo a password.
    outcomes = [
        outcome._replace(line=scrub(outcome.line, ctx.secrets))
        for outcome in (_outcome(pid, run.elapsed, value) for pid, run, value in zip(ids, view.views, ended))
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


def _outcome(pid: str, elapsed: Optional[float], value: Any) -> RunOutcome:
    """How the run of ``pid`` ended: its final record, the exception its wait raised, or None (still going)."""
    if value is None:
        return RunOutcome(None, f"{pid}: still going when the wait ended (--fail-fast)", None)
    if isinstance(value, dict):
        seconds = "-" if elapsed is None else f"{max(elapsed, 0.0):.1f} s"
        return RunOutcome(0, f"{pid}: {value.get('status')} after {seconds}", value)
    code, text = _named(pid, value)
    record = value.response if isinstance(getattr(value, "response", None), dict) else None
    return RunOutcome(code, text, record)


def _named(pid: str, error: BaseException) -> Tuple[int, str]:
    """The exit code and line of a failure about the run of ``pid``, the line starting with its id."""
    code, text = describe(error, pid)
    return code, text if text.startswith(f"{pid}: ") else f"{pid}: {text}"


def _worst(codes: List[Optional[int]]) -> int:
    """The exit code of a wait on several runs: 1 if a run failed; else the code of a run whose status could not
    be read (the engine refused, could not be reached, ...); else 3 if a run was still going at --timeout; else
    0. Runs still going after --fail-fast do not count."""
    known = [code for code in codes if code is not None]
    if BAD_OUTCOME in known:
        return BAD_OUTCOME
    for code in known:
        if code not in (0, TIMED_OUT):
            return code
    return TIMED_OUT if TIMED_OUT in known else 0


def cmd_stop(ctx: Context) -> int:
    pid = ctx.args.pipeline_id
    stop = ctx.client.force_stop_pipeline if ctx.args.force else ctx.client.stop_pipeline
    return _run_record(ctx, pid, stop(pid), ctx.args.wait)


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
    except velm_api.StatusError:
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
    except velm_api.StatusError:
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
        ctx.out.raw(json.dumps(export) if ctx.out.mode == JSON else json.dumps(export, indent=2))
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
    record.update(exitCode=code, kind=kind_of(code))
    if code == DONE:
        ctx.out.document(record)
        return DONE
    first = next(c for c in checks if c.verdict == doctor.FAILED)
    text = f"doctor: {first.name} failed: {first.reason}" + (f" ({first.hint})" if first.hint else "")
    ctx.out.document({**record, "error": one_line(scrub(text, ctx.secrets))})
    raise Failure(code, text, documented=True)
