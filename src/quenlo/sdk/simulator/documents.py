"""The engine's documents as docs/engine-documents.md describes them: definitions, stages, records, issues.

``sample_pipeline()`` is a valid pipeline in export form (origin -> processor -> destination). Records are
generated: an origin makes records from the field names of its ``fields`` setting, processors pass them on.
"""

from __future__ import annotations

import copy
import json
import re
import uuid
from collections.abc import Mapping, Sequence
from typing import Any

from .context import EngineError, bad_request

#: The layout version of definitions the engine writes.
FORMAT = 1
DEFAULT_FIELDS = ("id", "name", "amount")


def stage(
    name: str,
    type: str,
    library: str = "core",
    inputs: Sequence[str] = (),
    outputs: int = 1,
    settings: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """A stage of a pipeline definition; its output lanes are named ``{name}.1``, ``{name}.2``, ..."""
    return {
        "name": name,
        "type": type,
        "library": library,
        "version": "1",
        "settings": dict(settings or {}),
        "inputs": list(inputs),
        "outputs": [f"{name}.{i + 1}" for i in range(outputs)],
    }


def sample_stages() -> list[dict[str, Any]]:
    """Origin -> processor -> destination: what a freshly imported sample pipeline holds."""
    source = stage("source", "generator", settings={"fields": list(DEFAULT_FIELDS)})
    enrich = stage("enrich", "mapper", inputs=source["outputs"])
    sink = stage("sink", "discard", inputs=enrich["outputs"], outputs=0)
    return [source, enrich, sink]


def pipeline_definition(
    pipeline_id: str,
    title: str,
    description: str = "",
    pipeline_type: str = "HARVEL",
    stages: list[dict[str, Any]] | None = None,
) -> dict[str, Any]:
    """A pipeline definition (the ``definition`` member of an export)."""
    definition: dict[str, Any] = {"pipelineId": pipeline_id, "title": title, "description": description}
    definition["type"] = pipeline_type
    definition.update(format=FORMAT, uuid=str(uuid.uuid4()), labels=[], settings={"mode": "LOCAL"})
    return definition | {"stages": list(stages or []), "valid": True, "issues": issues_document(None)}


def default_rules() -> dict[str, Any]:
    """The rules of a pipeline nobody has written rules for."""
    return {"uuid": str(uuid.uuid4()), "checks": [], "recipients": []}


def sample_pipeline(title: str = "Sample pipeline", pipeline_id: str | None = None) -> dict[str, Any]:
    """A pipeline in export form with :func:`sample_stages`, ready for ``import_pipeline``."""
    definition = pipeline_definition(pipeline_id or "".join(title.split()), title, stages=sample_stages())
    return {"definition": definition, "rules": default_rules(), "libraries": None}


def _escape(name: str) -> str:
    # Field names that are not plain words are quoted in paths.
    return name if name.replace("_", "").isalnum() else "'" + name.replace("'", "\\'") + "'"


def make_field(value: Any, path: str = "") -> dict[str, Any]:
    """The field for a plain Python value (dict, list, str, bool, int, float or None)."""
    kind: str
    encoded: Any
    if isinstance(value, Mapping):
        kind, encoded = "map", {str(k): make_field(v, f"{path}/{_escape(str(k))}") for k, v in value.items()}
    elif isinstance(value, (list, tuple)):
        kind, encoded = "list", [make_field(v, f"{path}[{i}]") for i, v in enumerate(value)]
    elif isinstance(value, bool):
        kind, encoded = "boolean", value
    elif isinstance(value, int):
        kind, encoded = "integer", value
    elif isinstance(value, float):
        kind, encoded = "float", value
    else:
        kind, encoded = "text", None if value is None else str(value)
    return {"type": kind, "value": encoded, "path": path}


def make_record(values: Mapping[str, Any], record_id: str, stage_name: str) -> dict[str, Any]:
    """One record: its header and a map field."""
    return {
        "header": {"recordId": record_id, "stage": stage_name, "trail": [stage_name], "error": None},
        "value": make_field(dict(values)),
    }


def stage_output(name: str, output: Mapping[str, list[dict[str, Any]]]) -> dict[str, Any]:
    """One stage's part of a batch."""
    return {
        "stage": name,
        "output": {lane: list(records) for lane, records in output.items()},
        "errors": [],
        "events": [],
    }


def _field_names(definition: Mapping[str, Any]) -> list[str]:
    fields = (definition.get("settings") or {}).get("fields")
    return [str(name) for name in fields] if fields else list(DEFAULT_FIELDS)


def _generated_value(name: str, number: int) -> Any:
    if name == "id":
        return number
    if name in ("amount", "price", "total"):
        return round(number * 1.25, 2)
    return f"{name}-{number}"


def origin_records(
    definition: Mapping[str, Any], batch: int, batch_size: int, test_origin: bool
) -> list[dict[str, Any]]:
    """The records an origin produces in one batch."""
    name = definition["name"]
    prefix = "test" if test_origin else name
    records = []
    for n in range(batch_size):
        number = batch * batch_size + n + 1
        values = {field_name: _generated_value(field_name, number) for field_name in _field_names(definition)}
        records.append(make_record(values, f"{prefix}::{batch}::{n}", name))
    return records


def _passed_on(record: Mapping[str, Any], stage_name: str) -> dict[str, Any]:
    copied = copy.deepcopy(dict(record))
    header = copied.setdefault("header", {})
    header["trail"] = [*(header.get("trail") or []), stage_name]
    return copied


def run_batches(
    stages: Sequence[Mapping[str, Any]],
    batches: int = 1,
    batch_size: int = 10,
    skip_targets: bool = True,
    end_stage: str | None = None,
    test_origin: bool = False,
    overrides: Sequence[Mapping[str, Any]] = (),
) -> list[list[dict[str, Any]]]:
    """Push generated records along the lanes of ``stages`` and return the ``batches`` of preview data; an
    override replaces one stage's output (and so what the stages after it see)."""
    names = [s["name"] for s in stages]
    if end_stage is not None:
        if end_stage not in names:
            raise bad_request(f"End stage '{end_stage}' is not a stage of the pipeline", "PREVIEW_END_STAGE")
        stages = stages[: names.index(end_stage) + 1]
    override_by_stage = {entry.get("stage"): entry.get("output") or {} for entry in overrides}
    result = []
    for batch in range(batches):
        lanes: dict[str, list[dict[str, Any]]] = {}
        outputs = []
        for definition in stages:
            name = definition["name"]
            out_lanes = list(definition.get("outputs") or [])
            in_lanes = list(definition.get("inputs") or [])
            if not out_lanes and in_lanes and skip_targets:
                continue
            if name in override_by_stage:
                output = {lane: list(records) for lane, records in override_by_stage[name].items()}
            elif not in_lanes:
                records = origin_records(definition, batch, batch_size, test_origin)
                output = {lane: (records if i == 0 else []) for i, lane in enumerate(out_lanes)}
            else:
                incoming = [_passed_on(record, name) for lane in in_lanes for record in lanes.get(lane, [])]
                output = {lane: (incoming if i == 0 else []) for i, lane in enumerate(out_lanes)}
            for lane, records in output.items():
                lanes.setdefault(lane, []).extend(records)
            outputs.append(stage_output(name, output))
        result.append(outputs)
    return result


def parse_overrides(text: str | None) -> list[dict[str, Any]]:
    """The stage outputs to override, from their JSON text (a list of stage outputs, or one)."""
    if not text:
        return []
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise bad_request(f"Invalid stage outputs to override: {exc}", "PREVIEW_OVERRIDE") from None
    if isinstance(value, Mapping):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(v, Mapping) and "stage" in v for v in value):
        raise bad_request("Stage outputs to override must be stage outputs naming their stage", "PREVIEW_OVERRIDE")
    return [dict(v) for v in value]


def issue(message: str, code: str, stage_name: str | None = None, setting: str | None = None) -> dict[str, Any]:
    """One issue."""
    return {"stage": stage_name, "code": code, "message": message, "setting": setting}


def issues_document(issues: Mapping[str, Any] | None) -> dict[str, Any]:
    """The issues document, with its count filled in."""
    document: dict[str, Any] = {"pipeline": [], "stages": {}}
    document.update(copy.deepcopy(dict(issues or {})))
    if "count" not in document:
        document["count"] = len(document["pipeline"]) + sum(len(found) for found in document["stages"].values())
    return document


def all_issues(issues: Mapping[str, Any]) -> list[Mapping[str, Any]]:
    """Every issue of an issues document, the pipeline's first."""
    found = list(issues.get("pipeline") or [])
    for stage_issues in (issues.get("stages") or {}).values():
        found.extend(stage_issues)
    return [entry for entry in found if isinstance(entry, Mapping)]


def pipeline_issues(stages: Sequence[Mapping[str, Any]], invalid: Mapping[str, Any] | None) -> dict[str, Any] | None:
    """What is wrong with a pipeline: the issues a test set on it, else a missing-stages issue, else None."""
    if invalid is not None:
        return issues_document(invalid)
    if not stages:
        return issues_document({"pipeline": [issue("The pipeline has no stages", "PIPELINE_EMPTY")]})
    return None


def issues_message(issues: Mapping[str, Any] | None) -> str | None:
    """The summary a validation or preview reports with its issues."""
    return None if issues is None else f"Validation found {issues['count']} issue(s)"


def issue_texts(issues: Mapping[str, Any]) -> str:
    """The messages of every issue, pipeline issues first, joined as one line."""
    return "; ".join(str(e["message"]) for e in all_issues(issues) if e.get("message")) or "The pipeline is not valid"


def invalid_pipeline(pipeline_id: str, issues: Mapping[str, Any], doing: str) -> EngineError:
    """The 400 refusing ``doing`` to a pipeline with issues, with the first issue's code."""
    code = next((str(e["code"]) for e in all_issues(issues) if e.get("code")), "PIPELINE_INVALID")
    return bad_request(f"Cannot {doing} pipeline '{pipeline_id}': {issue_texts(issues)}", code)


_NUMBER = re.compile(r"\d+")


def version_key(text: str) -> tuple[int, ...]:
    """A sortable key for a dotted version: ``"2.4.0"`` < ``"2.5.0.0"``.

    Parts count numerically and missing trailing parts are 0, so ``"3.0"`` equals ``"3.0.0.0"``; anything after
    a ``-`` (``-SNAPSHOT``) is a build tag and does not count; a part that is not a number counts as 0.
    """
    parts = [int(m.group()) if (m := _NUMBER.match(p)) else 0 for p in text.split("-", 1)[0].split(".")]
    while parts and parts[-1] == 0:
        parts.pop()
    return tuple(parts)


def at_least(version: str, minimum: str) -> bool:
    """Whether engine ``version`` is ``minimum`` or newer."""
    return version_key(version) >= version_key(minimum)
