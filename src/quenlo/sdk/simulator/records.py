"""Records and issues in the engine's own document shapes, and the batches a pipeline's stages make.

Records are generated: an origin stage makes ``batch_size`` records per batch from the field names in its
``fields`` configuration, processors pass their input on, and targets produce nothing. Everything is in the
engine's document shapes (field trees with ``type``/``value``/``sqpath``/``dqpath``).
"""

from __future__ import annotations

import copy
import json
from collections.abc import Mapping, Sequence
from typing import Any

from .errors import EngineError

DEFAULT_FIELDS = ("id", "name", "amount")


def _escape(name: str) -> str:
    # Field names that are not plain words are quoted in paths, as the engine does.
    return name if name.replace("_", "").isalnum() else "'" + name.replace("'", "\\'") + "'"


def make_field(value: Any, path: str = "") -> dict[str, Any]:
    """The engine's field tree for a plain Python value (dict, list, str, bool, int, float or None)."""
    kind: str
    encoded: Any
    if isinstance(value, Mapping):
        kind, encoded = "MAP", {str(k): make_field(v, f"{path}/{_escape(str(k))}") for k, v in value.items()}
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


def origin_records(stage: Mapping[str, Any], batch: int, batch_size: int, test_origin: bool) -> list[dict[str, Any]]:
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


def stage_output(instance_name: str, output: Mapping[str, list[dict[str, Any]]]) -> dict[str, Any]:
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
        lanes: dict[str, list[dict[str, Any]]] = {}
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
    document: dict[str, Any] = {"pipelineIssues": [], "stageIssues": {}}
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


def pipeline_issues(
    stages: Sequence[Mapping[str, Any]], invalid_issues: Mapping[str, Any] | None
) -> dict[str, Any] | None:
    """What is wrong with a pipeline: the issues a test set on it, else a missing-stages issue, else None."""
    if invalid_issues is not None:
        return issues_document(invalid_issues)
    if not stages:
        return issues_document({"pipelineIssues": [issue("The pipeline has no stages", "VALIDATION_0001")]})
    return None


def issues_message(issues: Mapping[str, Any] | None) -> str | None:
    """The summary a validation or preview reports with its issues."""
    if issues is None:
        return None
    return f"Validation found {issues['issueCount']} issue(s)"


def issue_texts(issues: Mapping[str, Any]) -> str:
    """The messages of every issue, pipeline issues first, joined as one line."""
    found = list(issues.get("pipelineIssues") or [])
    for stage_issues in (issues.get("stageIssues") or {}).values():
        found.extend(stage_issues)
    texts = [str(entry.get("message")) for entry in found if isinstance(entry, Mapping) and entry.get("message")]
    return "; ".join(texts) or "The pipeline is not valid"


def first_issue_code(issues: Mapping[str, Any], default: str = "VALIDATION_0000") -> str:
    """The error code of the first issue, pipeline issues first."""
    found = list(issues.get("pipelineIssues") or [])
    for stage_issues in (issues.get("stageIssues") or {}).values():
        found.extend(stage_issues)
    for entry in found:
        if isinstance(entry, Mapping) and entry.get("errorCode"):
            return str(entry["errorCode"])
    return default


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
