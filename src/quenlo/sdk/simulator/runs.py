"""Pipeline runs: start, stop, the status machine, metrics, history and offsets.

A run is a pure function of its plan and the engine's clock: nothing ticks in the background, every read settles
the run at the current time. :meth:`Runs.configure` makes runs fast, slow or failing
(``configure("p", fail_after_batch=2, run_error="Disk full")``). A pipeline with issues never runs: its start
ends in START_ERROR with the issues as the message.
"""

from __future__ import annotations

import copy
import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Callable

from .clock import SYSTEM_CLOCK, Clock
from .context import Context, bad_request
from .documents import issue_texts
from .store import PipelineStore

BATCH_COUNT = "pipeline.batchCount.counter"
INPUT_RECORDS = "pipeline.batchInputRecords.counter"
OUTPUT_RECORDS = "pipeline.batchOutputRecords.counter"
ERROR_RECORDS = "pipeline.batchErrorRecords.counter"
ERROR_MESSAGES = "pipeline.batchErrorMessages.counter"

ACTIVE = ("STARTING", "RUNNING", "STOPPING")

#: Error messages kept per stage, like the engine's bounded buffer.
MAX_ERROR_MESSAGES = 100

#: The largest count a plan may set: counters stay exact integers in any JSON reader (2**53 - 1).
MAX_COUNT = 2**53 - 1


@dataclass(frozen=True)
class RunPlan:
    """How runs of a pipeline behave, in seconds of the runs' clock (docs/simulator.md has the table).

    ``batches`` None runs until stopped; ``fail_after_batch`` N turns the run to RUN_ERROR once batch N is done;
    ``start_error`` ends it in START_ERROR; ``stop_delay`` None leaves a stopped run STOPPING until forced.
    """

    batches: int | None = 10
    batch_interval: float = 0.1
    records_per_batch: int = 10
    error_records_per_batch: int = 0
    start_delay: float = 0.1
    stop_delay: float | None = 0.1
    fail_after_batch: int | None = None
    run_error: str = "Pipeline failed: simulated stage error"
    start_error: str | None = None
    error_stage: str | None = None

    def __post_init__(self) -> None:
        # Every number is checked here, so that whatever a plan says, a status read settles it in bounded time.
        for f in dataclasses.fields(self):
            value, kind = getattr(self, f.name), str(f.type)
            if value is None and "None" in kind:
                continue
            if kind.startswith("str"):
                if not isinstance(value, str):
                    raise TypeError(f"{f.name} must be text, not {value!r}")
                try:  # the engine's answers and its log are UTF-8: a lone surrogate could be served by neither
                    value.encode("utf-8")
                except UnicodeEncodeError:
                    raise ValueError(f"{f.name} must be text that UTF-8 can encode, not {value!r}") from None
            elif kind.startswith("int"):
                if not isinstance(value, int) or isinstance(value, bool):
                    raise TypeError(f"{f.name} must be a whole number, not {value!r}")
                if not 0 <= value <= MAX_COUNT:
                    raise ValueError(f"{f.name} must be at least 0 and at most {MAX_COUNT}, not {value}")
            else:
                if not isinstance(value, (int, float)) or isinstance(value, bool):
                    raise TypeError(f"{f.name} must be a number of seconds, not {value!r}")
                if not (math.isfinite(value) and value >= 0):
                    raise ValueError(f"{f.name} must be a finite number, at least 0, not {value!r}")
                object.__setattr__(self, f.name, float(value))


@dataclass
class Run:
    """One run of a pipeline, settled up to :attr:`settled_at`."""

    pipeline_id: str
    rev: str
    user: str | None
    plan: RunPlan
    runtime_parameters: dict[str, Any]
    started_at: float
    started_ms: int
    first_record: int
    origin: str
    error_stage: str
    status: str = "STARTING"
    message: str | None = None
    batches: int = 0
    running_since: float | None = None
    stop_requested_at: float | None = None
    ended_ms: int | None = None
    #: Where the run's timestamps come from (the engine's clock).
    wall: Clock = field(default=SYSTEM_CLOCK, repr=False, compare=False)
    status_ms: int = 0
    #: Statuses reached and not yet written to the engine log, oldest first.
    changes: list[str] = field(default_factory=list, repr=False, compare=False)

    def __post_init__(self) -> None:
        self.status_ms = self.status_ms or self.wall.now_ms()
        self.changes.append(self.status)

    @property
    def active(self) -> bool:
        return self.status in ACTIVE

    def settle(self, now: float) -> range:
        """Bring the run up to ``now``; return the numbers of the batches that became done."""
        done = range(0)
        # Batches due before a stop request still ran; none after it.
        horizon = now if self.stop_requested_at is None else min(now, self.stop_requested_at)
        if self.status == "STARTING" and horizon >= self.started_at + self.plan.start_delay:
            if self.plan.start_error is not None:
                self._end("START_ERROR", self.plan.start_error)
            else:
                self.running_since = self.started_at + self.plan.start_delay
                self._change("RUNNING", None)
        if self.running_since is not None and self.status in ("RUNNING", "STOPPING"):
            due = self._due(horizon)
            if self.plan.fail_after_batch is not None and due >= self.plan.fail_after_batch:
                due = self.plan.fail_after_batch
            done = range(self.batches + 1, due + 1)
            self.batches = max(self.batches, due)
            if self.status == "RUNNING":
                if self.plan.fail_after_batch is not None and self.batches >= self.plan.fail_after_batch:
                    self._end("RUN_ERROR", self.plan.run_error)
                elif self.plan.batches is not None and self.batches >= self.plan.batches:
                    self._end("FINISHED", None)
        if (
            self.status == "STOPPING"
            and self.stop_requested_at is not None
            and self.plan.stop_delay is not None
            and now >= self.stop_requested_at + self.plan.stop_delay
        ):
            self._end("STOPPED", None)
        return done

    def request_stop(self, now: float) -> None:
        """Begin a graceful stop: no batch starts after ``now``."""
        self.stop_requested_at = now
        self._change("STOPPING", None)

    def force_stop(self) -> None:
        """End the run at once (settle it first: batches already due did run)."""
        self._end("STOPPED", "Stopped by a forced stop")

    def _due(self, horizon: float) -> int:
        assert self.running_since is not None
        limit = self.plan.batches if self.plan.batches is not None else math.inf
        if self.plan.batch_interval <= 0:
            due = limit
        else:
            # A tiny interval makes the quotient huge or infinite: no run makes more than MAX_COUNT batches.
            due = min(limit, (horizon - self.running_since) / self.plan.batch_interval + 1e-9, MAX_COUNT)
        if due == math.inf:  # an endless run with no pause between batches: cap it
            due = 10_000
        return max(math.floor(due), 0)

    def _change(self, status: str, message: str | None) -> None:
        self.changes.append(status)
        self.status = status
        self.message = message
        self.status_ms = self.wall.now_ms()

    def _end(self, status: str, message: str | None) -> None:
        self._change(status, message)
        self.ended_ms = self.status_ms

    def counts(self) -> dict[str, int]:
        records = self.batches * self.plan.records_per_batch
        errors = self.batches * min(self.plan.error_records_per_batch, self.plan.records_per_batch)
        counts = {BATCH_COUNT: self.batches, INPUT_RECORDS: records, OUTPUT_RECORDS: records - errors}
        return counts | {ERROR_RECORDS: errors, ERROR_MESSAGES: errors}

    def metrics(self) -> dict[str, Any]:
        """The metrics record: counters, rates and the origin's progress."""
        counts = self.counts()
        elapsed = max((self.wall.now_ms() - self.started_ms) / 1000.0, 1e-3)
        return {
            "counters": {name: {"count": count} for name, count in counts.items()},
            "rates": {
                name: {"count": counts[name], "perSecond": counts[name] / elapsed}
                for name in (INPUT_RECORDS, OUTPUT_RECORDS, ERROR_RECORDS)
            },
            "progress": {
                "batches": self.batches,
                "offset": str(self.first_record + counts[INPUT_RECORDS]),
                "lastRecordAt": self.status_ms if self.batches else None,
                "lastBatchSize": self.plan.records_per_batch if self.batches else 0,
            },
        }

    def record(self) -> dict[str, Any]:
        """The status record the engine answers status, start and stop requests with."""
        record = {"pipelineId": self.pipeline_id, "name": self.pipeline_id, "rev": self.rev, "status": self.status}
        parameters = copy.deepcopy(self.runtime_parameters)
        return record | {
            "message": self.message,
            "user": self.user,
            "changed": self.status_ms,
            "parameters": parameters,
        }

    def history_entry(self) -> dict[str, Any]:
        """The run as its history lists it: the status record with its times and metrics."""
        return {**self.record(), "started": self.started_ms, "ended": self.ended_ms, "metrics": self.metrics()}


class Runs:
    """The runs of all pipelines, behind the engine's lock; :meth:`configure` sets how a pipeline's runs behave."""

    def __init__(self, context: Context | None = None, store: PipelineStore | None = None) -> None:
        self._ctx = context or Context()
        self._lock = self._ctx.lock
        self._store = store
        self._wall = self._ctx.clock
        #: Seconds of a monotonic clock that runs are paced by; replace it to drive runs by hand.
        self.clock: Callable[[], float] = self._wall.monotonic
        self.defaults = RunPlan()
        self._plans: dict[str, RunPlan] = {}
        self._runs: dict[str, list[Run]] = {}
        self._offsets: dict[str, dict[str, str]] = {}
        self._error_messages: dict[tuple[str, str], list[dict[str, Any]]] = {}

    def configure(self, pipeline_id: str, **changes: Any) -> RunPlan:
        """Set how the next runs of ``pipeline_id`` behave, in the fields of :class:`RunPlan`; unnamed settings keep
        their current value, and a run already going keeps the plan it started with."""
        with self._lock:
            plan = dataclasses.replace(self._plans.get(pipeline_id, self.defaults), **changes)
            self._plans[pipeline_id] = plan
            return plan

    def configure_defaults(self, **changes: Any) -> RunPlan:
        """Set how runs of pipelines without a plan of their own behave."""
        with self._lock:
            self.defaults = dataclasses.replace(self.defaults, **changes)
            return self.defaults

    def plan(self, pipeline_id: str) -> RunPlan:
        """The plan the next run of ``pipeline_id`` will follow."""
        with self._lock:
            return self._plans.get(pipeline_id, self.defaults)

    def start(
        self,
        pipeline_id: str,
        rev: str = "0",
        runtime_parameters: Mapping[str, Any] | None = None,
        user: str | None = None,
    ) -> dict[str, Any]:
        """Start a run; answer its first status record (STARTING). 400 when a run is active."""
        with self._lock:
            current = self._settled(pipeline_id)
            if current is not None and current.active:
                raise _cannot_change(pipeline_id, current.status, "STARTING")
            plan = self.plan(pipeline_id)
            pipeline = self._store.find(pipeline_id) if self._store is not None else None
            issues = pipeline.issues() if pipeline is not None else None
            if issues is not None:  # the engine refuses to run what it would not validate
                plan = dataclasses.replace(plan, start_error=issue_texts(issues))
            stages = pipeline.stages if pipeline is not None else []
            origin = next((s["name"] for s in stages if not s.get("inputs")), "origin")
            error_stage = plan.error_stage or next((s["name"] for s in reversed(stages) if s.get("inputs")), origin)
            parameters = dict(runtime_parameters or {})
            first = self._committed(pipeline_id)
            now = self._wall.now_ms()
            run = Run(
                pipeline_id, rev, user, plan, parameters, self.clock(), now, first, origin, error_stage, wall=self._wall
            )
            self._runs.setdefault(pipeline_id, []).append(run)
            self._logged(run)
            return run.record()

    def stop(self, pipeline_id: str, force: bool = False) -> dict[str, Any]:
        """Stop the active run (gracefully, or at once with ``force``); answer its status record."""
        with self._lock:
            run = self._settled(pipeline_id)
            if run is None or not run.active:
                raise _cannot_change(pipeline_id, run.status if run else "EDITED", "STOPPING")
            if force:
                run.force_stop()
            elif run.status != "STOPPING":
                run.request_stop(self.clock())
                self._settle(run)
            self._logged(run)
            return run.record()

    def status(self, pipeline_id: str) -> dict[str, Any] | None:
        """The status record of the latest run, or None if the pipeline never ran."""
        with self._lock:
            run = self._settled(pipeline_id)
            return run.record() if run else None

    def metrics(self, pipeline_id: str) -> dict[str, Any] | None:
        """The metrics of the latest run, or None if the pipeline never ran."""
        with self._lock:
            run = self._settled(pipeline_id)
            return run.metrics() if run else None

    def history(self, pipeline_id: str) -> list[dict[str, Any]]:
        """One entry per run, newest first."""
        with self._lock:
            self._settled(pipeline_id)
            return [run.history_entry() for run in reversed(self._runs.get(pipeline_id, []))]

    def active(self) -> list[str]:
        """Ids of the pipelines with a run going (STARTING, RUNNING or STOPPING), in start order."""
        with self._lock:
            ids = [pid for pid in self._runs if (run := self._settled(pid)) is not None and run.active]
            return sorted(ids, key=lambda pid: self._runs[pid][-1].started_at)

    def is_active(self, pipeline_id: str) -> bool:
        """Whether ``pipeline_id`` has a run going."""
        with self._lock:
            run = self._settled(pipeline_id)
            return run is not None and run.active

    def error_messages(self, pipeline_id: str, stage: str, size: int = 10) -> list[dict[str, Any]]:
        """The newest ``size`` error messages a stage has collected, newest first."""
        with self._lock:
            self._settled(pipeline_id)
            messages = self._error_messages.get((pipeline_id, stage), [])
            return [dict(m) for m in reversed(messages[-size:])] if size > 0 else []

    def offsets(self, pipeline_id: str) -> dict[str, Any]:
        """The committed offsets record."""
        with self._lock:
            self._settled(pipeline_id)
            return {"offsets": dict(self._offsets.get(pipeline_id, {}))}

    def set_offsets(self, pipeline_id: str, body: Any) -> dict[str, Any]:
        """Overwrite the committed offsets with ``body`` (``{"offsets": {...}}``); 400 while running."""
        if not isinstance(body, dict) or not isinstance(body.get("offsets"), dict):
            raise bad_request("Committed offsets must be an object with an 'offsets' object")
        with self._lock:
            self._refuse_while_active(pipeline_id, "its offsets changed")
            self._offsets[pipeline_id] = {str(k): str(v) for k, v in body["offsets"].items()}
            return self.offsets(pipeline_id)

    def reset_offsets(self, pipeline_id: str) -> None:
        """Forget the committed offsets, so the next run reads from the start; 400 while running."""
        with self._lock:
            self._refuse_while_active(pipeline_id, "its origin reset")
            self._offsets.pop(pipeline_id, None)

    def forget(self, pipeline_id: str) -> None:
        """Drop everything about ``pipeline_id`` (its runs, offsets and messages), as on delete."""
        with self._lock:
            self._runs.pop(pipeline_id, None)
            self._offsets.pop(pipeline_id, None)
            self._plans.pop(pipeline_id, None)
            for key in [k for k in self._error_messages if k[0] == pipeline_id]:
                del self._error_messages[key]

    def _settled(self, pipeline_id: str) -> Run | None:
        runs = self._runs.get(pipeline_id)
        if not runs:
            return None
        self._settle(runs[-1])
        return runs[-1]

    def _settle(self, run: Run) -> None:
        done = run.settle(self.clock())
        self._logged(run)
        if not done:
            return
        errors = min(run.plan.error_records_per_batch, run.plan.records_per_batch)
        if errors > 0:
            # Only the newest messages survive the stage's bounded buffer: make those alone, whatever the counts.
            newest: list[tuple[int, int]] = []
            for batch in reversed(done):
                for index in reversed(range(max(errors - (MAX_ERROR_MESSAGES - len(newest)), 0), errors)):
                    newest.append((batch, index))
                if len(newest) >= MAX_ERROR_MESSAGES:
                    break
            messages = self._error_messages.setdefault((run.pipeline_id, run.error_stage), [])
            for batch, index in reversed(newest):
                text = f"Record {index + 1} of batch {batch} failed: simulated bad value"
                messages.append({"code": "RECORD_ERROR", "message": text, "time": self._wall.now_ms()})
            del messages[:-MAX_ERROR_MESSAGES]
        records = run.first_record + done[-1] * run.plan.records_per_batch
        self._offsets.setdefault(run.pipeline_id, {})[run.origin] = str(records)

    def _logged(self, run: Run) -> None:
        # The engine log tells a run's story: each status it reaches, naming the pipeline.
        for status in run.changes:
            severity = "ERROR" if status.endswith("_ERROR") else "INFO"
            text = f"failed ({status}): {run.message}" if severity == "ERROR" else status.lower()
            self._ctx.log.add(severity, "runner", f"Run of '{run.pipeline_id}' {text}", run.pipeline_id, run.user)
        run.changes.clear()

    def _committed(self, pipeline_id: str) -> int:
        # A run resumes from the committed offset when it is a record count.
        values = list(self._offsets.get(pipeline_id, {}).values())
        return int(values[0]) if len(values) == 1 and values[0].isdigit() else 0

    def _refuse_while_active(self, pipeline_id: str, what: str) -> None:
        run = self._settled(pipeline_id)
        if run is not None and run.active:
            raise bad_request(f"Pipeline '{pipeline_id}' is {run.status} and cannot have {what}", "PIPELINE_BUSY")


def _cannot_change(pipeline_id: str, current: str, wanted: str) -> Exception:
    return bad_request(f"Pipeline '{pipeline_id}' cannot change state from {current} to {wanted}", "PIPELINE_STATE")
