"""Validation, preview and snapshot runs of the simulated engine.

A run walks through a list of states. By default it takes one step on every status read, so a client that polls
sees each state once and tests need no real time; with ``step_seconds`` set on the holder, runs made afterwards
step on the clock instead, the way a real engine moves on whether anyone asks or not.

Records are generated: an origin stage makes ``batch_size`` records per batch from the field names in its
``fields`` configuration, processors pass their input on, and targets produce nothing. Everything the engine
sends is in its own document shapes (field trees with ``type``/``value``/``sqpath``/``dqpath``).
"""

from __future__ import annotations

import copy
import json
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence

from .errors import EngineError

#: The states a preview goes through; a run ends in the last one.
PREVIEW_STATES = ("CREATED", "STARTING", "RUNNING", "FINISHED")
#: The states of a validation of a valid pipeline.
VALIDATION_STATES = ("VALIDATING", "VALID")
#: A validation that finds issues.
INVALID_VALIDATION_STATES = ("VALIDATING", "INVALID")
#: A preview of a pipeline with issues never runs.
INVALID_PREVIEW_STATES = ("CREATED", "VALIDATING", "INVALID")

DEFAULT_FIELDS = ("id", "name", "amount")


def now_ms() -> int:
    """The engine's timestamps are milliseconds since the epoch."""
    return int(time.time() * 1000)


# -- records -------------------------------------------------------------------------------------------------


def _escape(name: str) -> str:
    # Field names that are not plain words are quoted in paths, as the engine does.
    return name if name.replace("_", "").isalnum() else "'" + name.replace("'", "\\'") + "'"


def make_field(value: Any, path: str = "") -> dict[str, Any]:
    """The engine's field tree for a plain Python value (dict, list, str, bool, int, float or None)."""
    if isinstance(value, Mapping):
        children = {str(k): make_field(v, f"{path}/{_escape(str(k))}") for k, v in value.items()}
        kind, encoded = "MAP", children
    elif isinstance(value, (list, tuple)):
        kind, encoded = "LIST", [make_field(v, f"{path}[{i}]") for i, v in enumerate(value)]
    elif isinstance(value, bool):
        kind, encoded = "BOOLEAN", value
    elif isinstance(value, int):
        kind, encoded = "INTEGER", value
    elif isinstance(value, float):
        kind, encoded = "DOUBLE", value
    elif value is None:
        kind, encoded = "STRING", None
    else:
        kind, encoded = "STRING", str(value)
    return {"type": kind, "value": encoded, "sqpath": path, "dqpath": path}


def make_record(values: Mapping[str, Any], source_id: str, stage_creator: str) -> dict[str, Any]:
    """One record as the engine sends it: header plus a MAP field tree."""
    return {
        "header": {
            "sourceId": source_id,
            "stageCreator": stage_creator,
            "stagesPath": stage_creator,
            "trackingId": f"{source_id}::{stage_creator}",
            "previousTrackingId": None,
            "errorCode": None,
            "errorMessage": None,
            "errorStage": None,
            "errorTimestamp": 0,
            "values": {},
        },
        "value": make_field(dict(values)),
    }


def _field_names(stage: Mapping[str, Any]) -> list[str]:
    for entry in stage.get("configuration") or []:
        if entry.get("name") == "fields" and entry.get("value"):
            return [str(name) for name in entry["value"]]
    return list(DEFAULT_FIELDS)


def _generated_value(name: str, number: int) -> Any:
    if name == "id":
        return number
    if name in ("amount", "price", "total"):
        return round(number * 1.25, 2)
    return f"{name}-{number}"


def origin_records(stage: Mapping[str, Any], batch: int, batch_size: int, test_origin: bool) -> list[dict]:
    """The records an origin produces in one batch."""
    name = stage["instanceName"]
    prefix = "testOrigin" if test_origin else name
    records = []
    for n in range(batch_size):
        number = batch * batch_size + n + 1
        values = {field_name: _generated_value(field_name, number) for field_name in _field_names(stage)}
        records.append(make_record(values, f"{prefix}::{batch}::{n}", name))
    return records


def _passed_on(record: Mapping[str, Any], stage_name: str) -> dict[str, Any]:
    copied = copy.deepcopy(dict(record))
    header = copied.setdefault("header", {})
    header["previousTrackingId"] = header.get("trackingId")
    header["trackingId"] = f"{header.get('sourceId')}::{stage_name}"
    header["stagesPath"] = f"{header['stagesPath']}:{stage_name}" if header.get("stagesPath") else stage_name
    return copied


def stage_output(instance_name: str, output: Mapping[str, list]) -> dict[str, Any]:
    """One stage's part of a batch."""
    return {
        "instanceName": instance_name,
        "output": {lane: list(records) for lane, records in output.items()},
        "errorRecords": [],
        "eventRecords": [],
        "stageErrors": [],
    }


def run_batches(
    stages: Sequence[Mapping[str, Any]],
    batches: int = 1,
    batch_size: int = 10,
    skip_targets: bool = True,
    end_stage: str | None = None,
    test_origin: bool = False,
    overrides: Sequence[Mapping[str, Any]] = (),
) -> list[list[dict[str, Any]]]:
    """Push generated records through ``stages`` and return the engine's ``batchesOutput``.

    Records travel along the lanes: a stage reads every record its input lanes carry. An override replaces one
    stage's output (and so what the stages after it see). Raises EngineError 400 for an unknown end stage.
    """
    names = [stage["instanceName"] for stage in stages]
    if end_stage is not None:
        if end_stage not in names:
            raise EngineError(400, f"End stage '{end_stage}' is not a stage of the pipeline", "PREVIEW_0002")
        stages = stages[: names.index(end_stage) + 1]
    override_by_stage = {entry.get("instanceName"): entry.get("output") or {} for entry in overrides}
    result = []
    for batch in range(batches):
        lanes: dict[str, list] = {}
        outputs = []
        for stage in stages:
            name = stage["instanceName"]
            out_lanes = list(stage.get("outputLanes") or [])
            in_lanes = list(stage.get("inputLanes") or [])
            if not out_lanes and in_lanes and skip_targets:
                continue
            if name in override_by_stage:
                output = {lane: list(records) for lane, records in override_by_stage[name].items()}
            elif not in_lanes:
                records = origin_records(stage, batch, batch_size, test_origin)
                output = {lane: (records if i == 0 else []) for i, lane in enumerate(out_lanes)}
            else:
                incoming = [_passed_on(record, name) for lane in in_lanes for record in lanes.get(lane, [])]
                output = {lane: (incoming if i == 0 else []) for i, lane in enumerate(out_lanes)}
            for lane, records in output.items():
                lanes.setdefault(lane, []).extend(records)
            outputs.append(stage_output(name, output))
        result.append(outputs)
    return result


def issues_document(issues: Mapping[str, Any] | None) -> dict[str, Any]:
    """The engine's issues document, with its count filled in."""
    document = {"pipelineIssues": [], "stageIssues": {}}
    document.update(copy.deepcopy(dict(issues or {})))
    if "issueCount" not in document:
        document["issueCount"] = len(document["pipelineIssues"]) + sum(
            len(found) for found in document["stageIssues"].values()
        )
    return document


def issue(message: str, code: str, instance_name: str | None = None) -> dict[str, Any]:
    """One issue as the engine reports it."""
    return {
        "instanceName": instance_name,
        "level": "STAGE_CONFIG" if instance_name else "PIPELINE",
        "message": message,
        "errorCode": code,
        "configGroup": None,
        "configName": None,
        "additionalInfo": {},
    }


# -- progress ------------------------------------------------------------------------------------------------


class Progress:
    """A walk through ``states``: one step per read, or one step every ``step_seconds`` when that is set."""

    def __init__(self, states: Sequence[Any], step_seconds: float | None = None) -> None:
        if not states:
            raise ValueError("at least one state is needed")
        self.states = list(states)
        self.step_seconds = step_seconds
        self.reads = 0
        self.started = time.monotonic()

    def _index(self, advance: bool) -> int:
        if self.step_seconds:
            index = int((time.monotonic() - self.started) / self.step_seconds)
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
        self.started = time.monotonic()


# -- previews ------------------------------------------------------------------------------------------------


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
    settings: dict[str, Any] = field(default_factory=dict)
    created: int = field(default_factory=now_ms)

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
            "batchesOutput": self.batches_output if finished and self.batches_output else None,
            "issues": self.issues if reported else None,
            "message": self.message if reported else None,
        }


class Previews:
    """Validation and preview runs, by previewer id.

    ``step_seconds`` (None: step on status reads) applies to runs started afterwards. The state paths of new
    runs can be changed through the ``*_states`` attributes; a single run through :meth:`script`.
    Connection ids in ``failing_connections`` make a connection verification end INVALID.
    """

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._runs: dict[str, PreviewRun] = {}
        self.step_seconds: float | None = None
        self.preview_states: list[str] = list(PREVIEW_STATES)
        self.validation_states: list[str] = list(VALIDATION_STATES)
        self.failing_connections: set[str] = set()

    def _add(self, run: PreviewRun) -> PreviewRun:
        with self._lock:
            self._runs[run.previewer_id] = run
        return run

    def _progress(self, states: Sequence[str]) -> Progress:
        return Progress(states, self.step_seconds)

    def validate(
        self,
        pipeline_id: str,
        stages: Sequence[Mapping[str, Any]],
        invalid_issues: Mapping[str, Any] | None,
        **settings: Any,
    ) -> PreviewRun:
        """Start a validation; it ends VALID, or INVALID with the pipeline's issues."""
        issues = _pipeline_issues(stages, invalid_issues)
        states = self.validation_states if issues is None else INVALID_VALIDATION_STATES
        return self._add(
            PreviewRun(
                previewer_id=new_previewer_id(),
                pipeline_id=pipeline_id,
                kind="validation",
                progress=self._progress(states),
                issues=issues,
                message=_issues_message(issues),
                settings=dict(settings),
            )
        )

    def preview(
        self,
        pipeline_id: str,
        stages: Sequence[Mapping[str, Any]],
        invalid_issues: Mapping[str, Any] | None = None,
        *,
        batches: int = 1,
        batch_size: int = 10,
        skip_targets: bool = True,
        end_stage: str | None = None,
        test_origin: bool = False,
        overrides: Sequence[Mapping[str, Any]] = (),
        kind: str = "preview",
        **settings: Any,
    ) -> PreviewRun:
        """Start a preview; the records are made now and shown once the run is FINISHED."""
        issues = _pipeline_issues(stages, invalid_issues)
        output: list = []
        if issues is None:
            output = run_batches(stages, batches, batch_size, skip_targets, end_stage, test_origin, overrides)
        states = self.preview_states if issues is None else INVALID_PREVIEW_STATES
        settings.update(
            batches=batches,
            batch_size=batch_size,
            skip_targets=skip_targets,
            end_stage=end_stage,
            test_origin=test_origin,
            overrides=list(overrides),
        )
        return self._add(
            PreviewRun(
                previewer_id=new_previewer_id(),
                pipeline_id=pipeline_id,
                kind=kind,
                progress=self._progress(states),
                batches_output=output,
                issues=issues,
                message=_issues_message(issues),
                settings=settings,
            )
        )

    def verify_connection(self, pipeline_id: str, connection: Mapping[str, Any], **settings: Any) -> PreviewRun:
        """Start a connection verification: FINISHED with the verifier's records, or INVALID for a failing id."""
        connection_id = str(connection.get("connectionId") or connection.get("id") or "")
        if connection_id in self.failing_connections:
            issues = issues_document(
                {
                    "stageIssues": {
                        "ConnectionVerifier_01": [
                            issue(
                                f"Could not connect using connection '{connection_id}'",
                                "CONNECTION_0001",
                                "ConnectionVerifier_01",
                            )
                        ]
                    }
                }
            )
            return self._add(
                PreviewRun(
                    previewer_id=new_previewer_id(),
                    pipeline_id=pipeline_id,
                    kind="connection",
                    progress=self._progress(INVALID_PREVIEW_STATES),
                    issues=issues,
                    message=_issues_message(issues),
                    settings=dict(settings, connection=dict(connection)),
                )
            )
        verifier = "ConnectionVerifier_01"
        record = make_record({"connectionId": connection_id, "reachable": True}, f"{verifier}::0::0", verifier)
        output = [[stage_output(verifier, {f"{verifier}OutputLane1": [record]})]]
        return self._add(
            PreviewRun(
                previewer_id=new_previewer_id(),
                pipeline_id=pipeline_id,
                kind="connection",
                progress=self._progress(self.preview_states),
                batches_output=output,
                settings=dict(settings, connection=dict(connection)),
            )
        )

    def get(self, pipeline_id: str, previewer_id: str) -> PreviewRun:
        """The run ``previewer_id`` of ``pipeline_id``; 404 when there is none."""
        with self._lock:
            run = self._runs.get(previewer_id)
        if run is None or run.pipeline_id != pipeline_id:
            raise EngineError(
                404, f"Previewer '{previewer_id}' does not exist for pipeline '{pipeline_id}'", "PREVIEW_0404"
            )
        return run

    def find(self, previewer_id: str) -> PreviewRun | None:
        """The run, or None."""
        with self._lock:
            return self._runs.get(previewer_id)

    def all(self) -> list[PreviewRun]:
        """Every run, oldest first."""
        with self._lock:
            return list(self._runs.values())

    def read_status(self, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
        """Answer a status read (which may step the run)."""
        with self._lock:
            run = self.get(pipeline_id, previewer_id)
            return run.status_record(run.progress.read())

    def read_data(self, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
        """Answer a data read (which never steps the run)."""
        with self._lock:
            return self.get(pipeline_id, previewer_id).data()

    def script(self, previewer_id: str, states: Sequence[str]) -> None:
        """Make the run walk ``states`` from now on."""
        with self._lock:
            run = self._runs[previewer_id]
            run.progress.script(states)


def new_previewer_id() -> str:
    """A fresh previewer id."""
    return str(uuid.uuid4())


def new_dynamic_pipeline_id() -> str:
    """The id of a pipeline the engine makes for a dynamic preview."""
    return "dynamicPreviewPipeline" + uuid.uuid4().hex


def _pipeline_issues(stages: Sequence[Mapping[str, Any]], invalid_issues: Mapping[str, Any] | None) -> dict | None:
    if invalid_issues is not None:
        return issues_document(invalid_issues)
    if not stages:
        return issues_document({"pipelineIssues": [issue("The pipeline has no stages", "VALIDATION_0001")]})
    return None


def _issues_message(issues: Mapping[str, Any] | None) -> str | None:
    if issues is None:
        return None
    return f"Validation found {issues['issueCount']} issue(s)"


def parse_overrides(text: str | None) -> list[dict[str, Any]]:
    """The stage outputs to override, from their JSON text (a list of stage outputs, or one)."""
    if not text:
        return []
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise EngineError(400, f"Invalid stage outputs to override: {exc}", "PREVIEW_0003") from None
    if isinstance(value, Mapping):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(v, Mapping) and "instanceName" in v for v in value):
        raise EngineError(400, "Stage outputs to override must be stage outputs with an instanceName", "PREVIEW_0003")
    return [dict(v) for v in value]


# -- snapshots -----------------------------------------------------------------------------------------------


@dataclass
class StoredSnapshot:
    """One captured (or capturing) snapshot."""

    pipeline_id: str
    name: str
    label: str | None
    rev: str
    user: str | None
    batches: int
    batch_size: int
    start_pipeline: bool
    runtime_parameters: dict[str, Any] | None
    progress: Progress
    snapshot_batches: list[list[dict[str, Any]]]
    time_stamp: int = field(default_factory=now_ms)

    def info(self, in_progress: bool) -> dict[str, Any]:
        """The snapshot's status record."""
        return {
            "id": self.name,
            "label": self.label,
            "name": self.pipeline_id,
            "pipelineId": self.pipeline_id,
            "rev": self.rev,
            "user": self.user,
            "timeStamp": self.time_stamp,
            "inProgress": in_progress,
            "batchNumber": self.batches,
            "failureSnapshot": False,
        }

    def data(self) -> dict[str, Any]:
        """The captured records; empty while the capture is still going on."""
        return {"snapshotBatches": self.snapshot_batches if self.progress.current is False else []}


class Snapshots:
    """Captured snapshots, by pipeline id and snapshot name.

    A capture stays in progress for ``capture_reads`` status reads (or, with ``step_seconds`` set, that many
    steps of the clock) and is complete after that.
    """

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._snapshots: dict[tuple[str, str], StoredSnapshot] = {}
        self.step_seconds: float | None = None
        self.capture_reads = 2

    def capture(
        self,
        pipeline_id: str,
        name: str,
        stages: Sequence[Mapping[str, Any]],
        *,
        label: str | None,
        rev: str = "0",
        user: str | None = None,
        batches: int = 1,
        batch_size: int = 10,
        start_pipeline: bool = False,
        runtime_parameters: dict[str, Any] | None = None,
    ) -> StoredSnapshot:
        """Start capturing; a snapshot of the same name is replaced."""
        states = [True] * self.capture_reads + [False]
        snapshot = StoredSnapshot(
            pipeline_id=pipeline_id,
            name=name,
            label=label,
            rev=rev,
            user=user,
            batches=batches,
            batch_size=batch_size,
            start_pipeline=start_pipeline,
            runtime_parameters=runtime_parameters,
            progress=Progress(states, self.step_seconds),
            snapshot_batches=run_batches(stages, batches, batch_size, skip_targets=False),
        )
        with self._lock:
            self._snapshots[(pipeline_id, name)] = snapshot
        return snapshot

    def get(self, pipeline_id: str, name: str) -> StoredSnapshot:
        """The snapshot; 404 when there is none."""
        with self._lock:
            snapshot = self._snapshots.get((pipeline_id, name))
        if snapshot is None:
            raise EngineError(404, f"Snapshot '{name}' of pipeline '{pipeline_id}' does not exist", "CONTAINER_0606")
        return snapshot

    def find(self, pipeline_id: str, name: str) -> StoredSnapshot | None:
        """The snapshot, or None."""
        with self._lock:
            return self._snapshots.get((pipeline_id, name))

    def read_status(self, pipeline_id: str, name: str) -> dict[str, Any]:
        """Answer a status read (which may take the capture a step further)."""
        with self._lock:
            snapshot = self.get(pipeline_id, name)
            return snapshot.info(snapshot.progress.read())

    def infos(self, pipeline_id: str | None = None) -> list[dict[str, Any]]:
        """The status records of all snapshots, or of one pipeline's, oldest first (listing takes no step)."""
        with self._lock:
            return [
                s.info(s.progress.current)
                for s in self._snapshots.values()
                if pipeline_id is None or s.pipeline_id == pipeline_id
            ]

    def delete(self, pipeline_id: str, name: str) -> None:
        """Forget a snapshot; 404 when there is none."""
        with self._lock:
            self.get(pipeline_id, name)
            del self._snapshots[(pipeline_id, name)]

    def script(self, pipeline_id: str, name: str, in_progress: Sequence[Any]) -> None:
        """Make successive status reads of the snapshot report these ``inProgress`` values."""
        with self._lock:
            self.get(pipeline_id, name).progress.script(in_progress)
