"""Validation and preview runs: each walks through a list of states, one step per status read (a client that
polls sees each state once) or, with ``step_seconds`` set, one step every that many seconds of the engine's clock.
"""

from __future__ import annotations

import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from .clock import SYSTEM_CLOCK, Clock
from .context import Context, not_found
from .documents import issue, issues_document, issues_message, make_record, pipeline_issues, run_batches, stage_output

#: The states a preview goes through; a run ends in the last one.
PREVIEW_STATES = ("CREATED", "STARTING", "RUNNING", "FINISHED")
#: The states of a validation of a valid pipeline.
VALIDATION_STATES = ("VALIDATING", "VALID")
#: A validation that finds issues.
INVALID_VALIDATION_STATES = ("VALIDATING", "INVALID")
#: A preview of a pipeline with issues never runs.
INVALID_PREVIEW_STATES = ("CREATED", "VALIDATING", "INVALID")


class Progress:
    """A walk through ``states``: one step per read, or one step every ``step_seconds`` when that is set."""

    def __init__(self, states: Sequence[Any], step_seconds: float | None = None, clock: Clock = SYSTEM_CLOCK) -> None:
        if not states:
            raise ValueError("at least one state is needed")
        self.states = list(states)
        self.step_seconds = step_seconds
        self.reads = 0
        self._clock = clock
        self.started = clock.monotonic()

    def _index(self, advance: bool) -> int:
        if self.step_seconds:
            index = int((self._clock.monotonic() - self.started) / self.step_seconds)
        else:
            index = self.reads if advance else self.reads - 1
            if advance:
                self.reads += 1
        return max(0, min(index, len(self.states) - 1))

    def read(self) -> Any:
        """The state a status read sees; in read-stepping mode this takes the step."""
        return self.states[self._index(advance=True)]

    @property
    def current(self) -> Any:
        """The state as of the last read (or the clock), without stepping."""
        return self.states[self._index(advance=False)]

    @property
    def ended(self) -> bool:
        """Whether the walk has reached its last state."""
        return self._index(advance=False) == len(self.states) - 1

    def script(self, states: Sequence[Any]) -> None:
        """Replace the states still to come, starting again from the first of ``states``."""
        if not states:
            raise ValueError("at least one state is needed")
        self.states = list(states)
        self.reads = 0
        self.started = self._clock.monotonic()


@dataclass
class PreviewRun:
    """One validation or preview run."""

    previewer_id: str
    pipeline_id: str
    kind: str  # "validation", "preview" or "connection"
    progress: Progress
    batches_output: list[list[dict[str, Any]]] = field(default_factory=list)
    issues: dict[str, Any] | None = None
    message: str | None = None
    created: int = 0
    #: The state last written to the engine log.
    logged: Any = None

    def status_record(self, state: str) -> dict[str, Any]:
        """The answer to a status read."""
        return {
            "previewerId": self.previewer_id,
            "pipelineId": self.pipeline_id,
            "status": state,
            "message": self.message if state in ("INVALID", "RUN_ERROR") else None,
        }

    def data(self) -> dict[str, Any]:
        """The preview data as of the current state: records once FINISHED, issues once INVALID."""
        state = self.progress.current
        finished = state == "FINISHED"
        reported = state in ("INVALID", "RUN_ERROR") or (finished and self.issues is not None)
        return {
            "status": state,
            "batches": self.batches_output if finished and self.batches_output else None,
            "issues": self.issues if reported else None,
            "message": self.message if reported else None,
        }


class Previews:
    """Validation and preview runs, by previewer id. ``step_seconds`` and the ``*_states`` paths apply to runs
    started afterwards, :meth:`script` to one run; ids in ``failing_connections`` make connection checks INVALID."""

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        self._lock = self._ctx.lock
        self._clock = self._ctx.clock
        self._runs: dict[str, PreviewRun] = {}
        self.step_seconds: float | None = None
        self.preview_states: list[str] = list(PREVIEW_STATES)
        self.validation_states: list[str] = list(VALIDATION_STATES)
        self.failing_connections: set[str] = set()

    def _log(self, run: PreviewRun, state: Any) -> None:
        # A run's start and its end are lines of the engine log naming its pipeline.
        if state == run.logged or (run.logged is not None and state != run.progress.states[-1]):
            return
        run.logged = state
        severity = "WARN" if state in ("INVALID", "RUN_ERROR") else "INFO"
        text = f"{run.kind.capitalize()} {run.previewer_id} of '{run.pipeline_id}' is {state}"
        self._ctx.log.add(
            severity, "preview", text + (f": {run.message}" if severity == "WARN" else ""), run.pipeline_id
        )

    def _start(self, pipeline_id: str, kind: str, states: Sequence[str], issues: Any) -> PreviewRun:
        progress = Progress(states, self.step_seconds, self._clock)
        run = PreviewRun(str(uuid.uuid4()), pipeline_id, kind, progress, issues=issues)
        run.message, run.created = issues_message(issues), self._clock.now_ms()
        with self._lock:
            self._runs[run.previewer_id] = run
            self._log(run, states[0])
        return run

    def validate(
        self, pipeline_id: str, stages: Sequence[Mapping[str, Any]], invalid: Mapping[str, Any] | None
    ) -> PreviewRun:
        """Start a validation; it ends VALID, or INVALID with the pipeline's issues."""
        issues = pipeline_issues(stages, invalid)
        states = self.validation_states if issues is None else INVALID_VALIDATION_STATES
        return self._start(pipeline_id, "validation", states, issues)

    def preview(
        self,
        pipeline_id: str,
        stages: Sequence[Mapping[str, Any]],
        invalid: Mapping[str, Any] | None = None,
        *,
        kind: str = "preview",
        **settings: Any,
    ) -> PreviewRun:
        """Start a preview; the records are made now and shown once the run is FINISHED. ``settings`` are
        :func:`run_batches`'s (batches, batch_size, skip_targets, end_stage, test_origin, overrides)."""
        issues = pipeline_issues(stages, invalid)
        output = [] if issues else run_batches(stages, **settings)
        states = self.preview_states if issues is None else INVALID_PREVIEW_STATES
        run = self._start(pipeline_id, kind, states, issues)
        run.batches_output = output
        return run

    def verify_connection(self, pipeline_id: str, connection: Mapping[str, Any]) -> PreviewRun:
        """Start a connection check: FINISHED with one record, or INVALID for an id in ``failing_connections``."""
        connection_id = str(connection.get("connectionId") or connection.get("id") or "")
        if connection_id in self.failing_connections:
            failure = issue(f"Could not connect using connection '{connection_id}'", "CONNECTION_FAILED", "connection")
            issues = issues_document({"stages": {"connection": [failure]}})
            return self._start(pipeline_id, "connection", INVALID_PREVIEW_STATES, issues)
        run = self._start(pipeline_id, "connection", self.preview_states, None)
        record = make_record({"connectionId": connection_id, "reachable": True}, "connection::0::0", "connection")
        run.batches_output = [[stage_output("connection", {"connection.1": [record]})]]
        return run

    def get(self, pipeline_id: str, previewer_id: str) -> PreviewRun:
        """The run ``previewer_id`` of ``pipeline_id``; 404 when there is none."""
        with self._lock:
            run = self._runs.get(previewer_id)
        if run is None or run.pipeline_id != pipeline_id:
            raise not_found(
                f"Previewer '{previewer_id}' does not exist for pipeline '{pipeline_id}'", "PREVIEW_UNKNOWN"
            )
        return run

    def find(self, previewer_id: str) -> PreviewRun | None:
        """The run, or None."""
        with self._lock:
            return self._runs.get(previewer_id)

    def read_status(self, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
        """Answer a status read (which may step the run)."""
        with self._lock:
            run = self.get(pipeline_id, previewer_id)
            state = run.progress.read()
            self._log(run, state)
            return run.status_record(state)

    def read_data(self, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
        """Answer a data read (which never steps the run)."""
        with self._lock:
            return self.get(pipeline_id, previewer_id).data()

    def script(self, previewer_id: str, states: Sequence[str]) -> None:
        """Make the run walk ``states`` from now on."""
        with self._lock:
            self._runs[previewer_id].progress.script(states)


def new_dynamic_pipeline_id() -> str:
    """The id of a pipeline the engine makes for a dynamic preview."""
    return "preview-" + uuid.uuid4().hex
