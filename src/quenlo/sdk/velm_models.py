"""Models over the VELM engine's JSON documents: pipelines, previews and snapshots."""

from __future__ import annotations

import base64
import datetime
import decimal
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional

__all__ = ["Issues", "Pipeline", "Preview", "Record", "Snapshot", "StageOutput", "field_value"]


class Pipeline:
    """A pipeline as the engine exports it.

    Accepts the export form (``{"definition": {...}, "rules": {...}, ...}``) or a bare definition. ``id`` is the
    engine's pipeline id, which is how a pipeline travels in a query (for example ``get_logs(pipeline=...)``).
    """

    def __init__(self, pipeline: Optional[Mapping[str, Any]] = None, **fields: Any) -> None:
        data: Dict[str, Any] = dict(pipeline or {})
        data.update(fields)
        self._data = data

    @property
    def definition(self) -> Dict[str, Any]:
        """The pipeline definition (the ``definition`` member of an export, or the whole document)."""
        definition = self._data.get("definition")
        return definition if isinstance(definition, dict) else self._data

    @property
    def id(self) -> Optional[str]:
        """The engine's pipeline id."""
        found = self.definition.get("pipelineId") or self._data.get("pipelineId")
        return None if found is None else str(found)

    @property
    def title(self) -> Optional[str]:
        """The pipeline's title."""
        found = self.definition.get("title")
        return None if found is None else str(found)

    @property
    def stages(self) -> List[Dict[str, Any]]:
        """The stages, in pipeline order."""
        return list(self.definition.get("stages", []))

    @property
    def rules(self) -> Dict[str, Any]:
        """The pipeline's rules (the ``rules`` member of an export), or an empty dict."""
        rules = self._data.get("rules")
        return rules if isinstance(rules, dict) else {}

    def to_json(self) -> Dict[str, Any]:
        """The document this model was built from, ready for JSON encoding."""
        return self._data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __repr__(self) -> str:
        return f"<Pipeline id={self.id!r} title={self.title!r} stages={len(self.stages)}>"


# -- records ---------------------------------------------------------------------------------------------------


def _milliseconds_to_datetime(value: Any) -> Any:
    try:
        millis = int(value)
    except (TypeError, ValueError):
        return value
    return datetime.datetime.fromtimestamp(millis / 1000, tz=datetime.timezone.utc)


def _zoned(value: Any) -> Any:
    try:
        return datetime.datetime.fromisoformat(str(value).replace("Z", "+00:00"))
    except ValueError:
        return value


def _bytes(value: Any) -> bytes:
    return base64.b64decode(value) if isinstance(value, str) else bytes(value)


def _boolean(value: Any) -> bool:
    return value if isinstance(value, bool) else str(value).strip().lower() == "true"


_SCALARS: Dict[str, Callable[[Any], Any]] = {
    "text": str,
    "integer": int,
    "float": float,
    "decimal": lambda value: decimal.Decimal(str(value)),
    "boolean": _boolean,
    "time": _milliseconds_to_datetime,
    "zoned": _zoned,
    "bytes": _bytes,
}


def field_value(field: Any) -> Any:
    """Turn one of the engine's fields into plain Python values.

    ``{"type": "map", "value": {"id": {"type": "integer", "value": "7"}}}`` becomes ``{"id": 7}``. ``integer``
    becomes ``int``, ``float`` a float and ``decimal`` a :class:`decimal.Decimal`; ``time`` (milliseconds since
    the epoch) and ``zoned`` (ISO 8601) become :class:`datetime.datetime`; ``bytes`` (base64) become ``bytes``;
    ``map`` a dict and ``list`` a list. A null value is None whatever its type; a type we do not know keeps its
    value as sent, and anything that is not a field is returned unchanged.
    """
    if not isinstance(field, Mapping) or "type" not in field:
        return field
    kind = field.get("type")
    value = field.get("value")
    if value is None:
        return None
    if kind == "map" and isinstance(value, Mapping):
        return {str(key): field_value(child) for key, child in value.items()}
    if kind == "list" and isinstance(value, list):
        return [field_value(child) for child in value]
    convert = _SCALARS.get(str(kind))
    return value if convert is None else convert(value)


class Record:
    """One record of a preview or snapshot: its ``header`` and its field tree, readable as plain values."""

    def __init__(self, record: Mapping[str, Any]) -> None:
        self._data: Dict[str, Any] = dict(record or {})
        self.header: Dict[str, Any] = dict(self._data.get("header") or {})
        self.field: Any = self._data.get("value")

    @property
    def value(self) -> Any:
        """The record's fields as plain Python values (a dict for the usual MAP record)."""
        return field_value(self.field)

    def __getitem__(self, name: str) -> Any:
        return self.value[name]

    def get(self, name: str, default: Any = None) -> Any:
        """One top-level field's plain value, or ``default``."""
        value = self.value
        return value.get(name, default) if isinstance(value, dict) else default

    def to_json(self) -> Dict[str, Any]:
        """The record as the engine sent it."""
        return self._data

    def __repr__(self) -> str:
        return f"<Record id={self.header.get('recordId')!r} value={self.value!r}>"


class StageOutput:
    """What one stage produced in one batch: records per output lane, and its error and event records."""

    def __init__(self, output: Mapping[str, Any]) -> None:
        self._data: Dict[str, Any] = dict(output or {})
        self.stage: Optional[str] = self._data.get("stage")
        lanes = self._data.get("output") or {}
        self.output: Dict[str, List[Record]] = {
            lane: [Record(r) for r in records or []] for lane, records in lanes.items()
        }
        self.error_records: List[Record] = [Record(r) for r in self._data.get("errors") or []]
        self.event_records: List[Record] = [Record(r) for r in self._data.get("events") or []]

    @property
    def records(self) -> List[Record]:
        """The records of every output lane, lane by lane."""
        return [record for records in self.output.values() for record in records]

    def to_json(self) -> Dict[str, Any]:
        """The stage output as the engine sent it."""
        return self._data

    def __repr__(self) -> str:
        return (
            f"<StageOutput {self.stage!r} records={len(self.records)} "
            f"errors={len(self.error_records)} events={len(self.event_records)}>"
        )


class Issues:
    """The issues a validation or preview reported: ``pipeline`` issues and ``stages`` issues by stage name."""

    def __init__(self, issues: Optional[Mapping[str, Any]]) -> None:
        self._data: Dict[str, Any] = dict(issues or {})
        self.pipeline: List[Dict[str, Any]] = list(self._data.get("pipeline") or [])
        self.stages: Dict[str, List[Dict[str, Any]]] = {
            name: list(found or []) for name, found in (self._data.get("stages") or {}).items()
        }

    @property
    def count(self) -> int:
        """How many issues there are."""
        return len(self.pipeline) + sum(len(found) for found in self.stages.values())

    @property
    def messages(self) -> List[str]:
        """The issues' messages, pipeline issues first."""
        return [str(found.get("message")) for found in self]

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        yield from self.pipeline
        for found in self.stages.values():
            yield from found

    def __len__(self) -> int:
        return self.count

    def to_json(self) -> Dict[str, Any]:
        """The issues document as the engine sent it."""
        return self._data

    def __repr__(self) -> str:
        return f"<Issues count={self.count} stages={sorted(self.stages)}>"


def _batches(raw: Any) -> List[Dict[str, StageOutput]]:
    # Each batch maps stage names, in pipeline order, to their output.
    batches = []
    for batch in raw or []:
        outputs = [StageOutput(output) for output in batch or []]
        batches.append({str(output.stage): output for output in outputs})
    return batches


class _StageRecords:
    """Reading records per stage across batches; shared by previews and snapshots."""

    batches: List[Dict[str, StageOutput]]

    @property
    def stage_names(self) -> List[str]:
        """The names of the stages that produced output, in pipeline order."""
        names: List[str] = []
        for batch in self.batches:
            names.extend(name for name in batch if name not in names)
        return names

    def records(self, stage: str, lane: Optional[str] = None) -> List[Record]:
        """The records the stage named ``stage`` produced in all batches (every output lane, or just ``lane``)."""
        found: List[Record] = []
        for batch in self.batches:
            output = batch.get(stage)
            if output is not None:
                found.extend(output.records if lane is None else output.output.get(lane, []))
        return found

    @property
    def records_by_stage(self) -> Dict[str, List[Record]]:
        """Every stage's records over all batches, by stage name, in pipeline order."""
        return {name: self.records(name) for name in self.stage_names}


class Preview(_StageRecords):
    """The outcome of a preview or validation run: its batches of records per stage, and the issues reported.

    ``preview`` is the engine's preview data document (``status``, ``batches``, ``issues``, ``message``).
    """

    def __init__(self, pipeline_id: str, previewer_id: str, preview: Optional[Mapping[str, Any]]) -> None:
        self.pipeline_id = pipeline_id
        self.previewer_id = previewer_id
        self._data: Dict[str, Any] = dict(preview or {})
        self.batches: List[Dict[str, StageOutput]] = _batches(self._data.get("batches"))
        self.issues = Issues(self._data.get("issues"))

    @property
    def status(self) -> Optional[str]:
        """The run's state as of the data read (FINISHED, INVALID, ...)."""
        return self._data.get("status")

    @property
    def message(self) -> Optional[str]:
        """The engine's message about the run, if any."""
        return self._data.get("message")

    def to_json(self) -> Dict[str, Any]:
        """The engine's preview data document."""
        return self._data

    def __repr__(self) -> str:
        return (
            f"<Preview pipeline={self.pipeline_id!r} previewer={self.previewer_id!r} status={self.status!r} "
            f"batches={len(self.batches)} stages={len(self.stage_names)} issues={self.issues.count}>"
        )


class Snapshot(_StageRecords):
    """A captured snapshot: its status record joined with its data (batches of records per stage)."""

    def __init__(self, api_client: Any, snapshot: Optional[Mapping[str, Any]]) -> None:
        self.api_client = api_client
        self._data: Dict[str, Any] = dict(snapshot or {})
        self.batches: List[Dict[str, StageOutput]] = _batches(self._data.get("batches"))

    @property
    def name(self) -> Optional[str]:
        """The engine's name of the snapshot."""
        return self._data.get("snapshot")

    @property
    def pipeline_id(self) -> Optional[str]:
        """The pipeline the snapshot was captured from."""
        return self._data.get("pipelineId")

    @property
    def label(self) -> Optional[str]:
        """The snapshot's label."""
        return self._data.get("label")

    @property
    def in_progress(self) -> Optional[bool]:
        """Whether the capture was still going on when the status was read."""
        return self._data.get("inProgress")

    @property
    def captured_at(self) -> Optional[datetime.datetime]:
        """When the capture started (UTC), from the engine's ``created``."""
        stamp = self._data.get("created")
        return None if stamp is None else _milliseconds_to_datetime(stamp)

    def delete(self) -> Any:
        """Delete this snapshot on the engine through the client it came from; returns the client's answer."""
        return self.api_client.delete_snapshot(self.pipeline_id, self.name)

    def to_json(self) -> Dict[str, Any]:
        """The joined status and data document."""
        return self._data

    def __repr__(self) -> str:
        return (
            f"<Snapshot pipeline={self.pipeline_id!r} name={self.name!r} label={self.label!r} "
            f"in_progress={self.in_progress!r} batches={len(self.batches)}>"
        )
