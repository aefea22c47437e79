"""Models over the VELM engine's JSON documents: pipelines, previews and snapshots."""

from __future__ import annotations

import base64
import datetime
import decimal
from typing import Any, Dict, Iterator, List, Mapping, Optional

__all__ = ["Issues", "Pipeline", "Preview", "Record", "Snapshot", "StageOutput", "field_value"]


class Pipeline:
    """A pipeline definition as the engine exports it.

    Accepts the export form (``{"pipelineConfig": {...}, ...}``) or a bare pipeline configuration. ``id`` is the
    engine's pipeline id, which is how a pipeline travels in a query (for example ``get_logs(pipeline=...)``).
    """

    def __init__(self, pipeline: Optional[Mapping[str, Any]] = None, **fields: Any) -> None:
        data: Dict[str, Any] = dict(pipeline or {})
        data.update(fields)
        self._data = data

    @property
    def configuration(self) -> Dict[str, Any]:
        """The pipeline configuration (the ``pipelineConfig`` member of an export, or the whole document)."""
        config = self._data.get("pipelineConfig")
        return config if isinstance(config, dict) else self._data

    @property
    def id(self) -> Optional[str]:
        """The engine's pipeline id."""
        config = self.configuration
        found = config.get("pipelineId") or config.get("info", {}).get("pipelineId") or self._data.get("pipelineId")
        return None if found is None else str(found)

    @property
    def title(self) -> Optional[str]:
        """The pipeline's title."""
        config = self.configuration
        found = config.get("title") or config.get("info", {}).get("title")
        return None if found is None else str(found)

    @property
    def stages(self) -> List[Dict[str, Any]]:
        """The stage definitions, in pipeline order."""
        return list(self.configuration.get("stages", []))

    def to_json(self) -> Dict[str, Any]:
        """The document this model was built from, ready for JSON encoding."""
        return self._data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __repr__(self) -> str:
        return f"<Pipeline id={self.id!r} title={self.title!r} stages={len(self.stages)}>"


# -- records ---------------------------------------------------------------------------------------------------

_INTEGER_TYPES = {"BYTE", "SHORT", "INTEGER", "LONG"}
_FLOAT_TYPES = {"FLOAT", "DOUBLE"}
_TIME_TYPES = {"DATE", "DATETIME", "TIME"}


def _last_path_name(path: str) -> Optional[str]:
    # "/a/b" -> "b"; a name that is not a plain word comes quoted ("/'a b'"), with its quotes escaped.
    if path.endswith("'") and "/'" in path:
        return path[path.rfind("/'") + 2 : -1].replace("\\'", "'")
    if "/" in path:
        return path.rsplit("/", 1)[1] or None
    return None


def _milliseconds_to_datetime(value: Any) -> Any:
    try:
        millis = int(value)
    except (TypeError, ValueError):
        return value
    return datetime.datetime.fromtimestamp(millis / 1000, tz=datetime.timezone.utc)


def field_value(field: Any) -> Any:
    """Turn one of the engine's field trees into plain Python values.

    ``{"type": "MAP", "value": {"id": {"type": "LONG", "value": "7"}}}`` becomes ``{"id": 7}``. Numbers become
    ``int``, ``float`` or :class:`decimal.Decimal`; dates and times (milliseconds since the epoch) become UTC
    :class:`datetime.datetime`; byte arrays (base64) become ``bytes``; MAP and LIST_MAP become dicts (LIST_MAP keeps
    its order) and LIST a list. A null value is None whatever its type; a type we do not know keeps its value as
    sent, and anything that is not a field tree is returned unchanged.
    """
    if not isinstance(field, Mapping) or "type" not in field:
        return field
    kind = field.get("type")
    value = field.get("value")
    if value is None:
        return None
    if kind in ("MAP", "LIST_MAP"):
        if isinstance(value, Mapping):
            return {str(key): field_value(child) for key, child in value.items()}
        # LIST_MAP may come as a list of fields, each naming its key in its path.
        result: Dict[str, Any] = {}
        for index, child in enumerate(value):
            path = child.get("sqpath", "") if isinstance(child, Mapping) else ""
            result[_last_path_name(path) or str(index)] = field_value(child)
        return result
    if kind == "LIST":
        return [field_value(child) for child in value]
    if kind in _INTEGER_TYPES:
        return int(value)
    if kind in _FLOAT_TYPES:
        return float(value)
    if kind == "DECIMAL":
        return decimal.Decimal(str(value))
    if kind == "BOOLEAN":
        return value if isinstance(value, bool) else str(value).strip().lower() == "true"
    if kind in _TIME_TYPES:
        return _milliseconds_to_datetime(value)
    if kind == "ZONED_DATETIME":
        try:
            return datetime.datetime.fromisoformat(str(value).split("[", 1)[0].replace("Z", "+00:00"))
        except ValueError:
            return value
    if kind == "BYTE_ARRAY":
        if isinstance(value, str):
            return base64.b64decode(value)
        return bytes(value)
    if kind in ("STRING", "CHAR"):
        return str(value)
    return value


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
        return f"<Record source={self.header.get('sourceId')!r} value={self.value!r}>"


class StageOutput:
    """What one stage produced in one batch: records per output lane, error and event records, stage errors."""

    def __init__(self, output: Mapping[str, Any]) -> None:
        self._data: Dict[str, Any] = dict(output or {})
        self.instance_name: Optional[str] = self._data.get("instanceName")
        lanes = self._data.get("output") or {}
        self.output: Dict[str, List[Record]] = {
            lane: [Record(r) for r in records or []] for lane, records in lanes.items()
        }
        self.error_records: List[Record] = [Record(r) for r in self._data.get("errorRecords") or []]
        self.event_records: List[Record] = [Record(r) for r in self._data.get("eventRecords") or []]
        self.stage_errors: List[Any] = list(self._data.get("stageErrors") or [])

    @property
    def records(self) -> List[Record]:
        """The records of every output lane, lane by lane."""
        return [record for records in self.output.values() for record in records]

    def to_json(self) -> Dict[str, Any]:
        """The stage output as the engine sent it."""
        return self._data

    def __repr__(self) -> str:
        return (
            f"<StageOutput {self.instance_name!r} records={len(self.records)} "
            f"errors={len(self.error_records)} events={len(self.event_records)}>"
        )


class Issues:
    """The issues a validation or preview reported: ``pipeline`` issues and ``stages`` issues by instance name."""

    def __init__(self, issues: Optional[Mapping[str, Any]]) -> None:
        self._data: Dict[str, Any] = dict(issues or {})
        self.pipeline: List[Dict[str, Any]] = list(self._data.get("pipelineIssues") or [])
        self.stages: Dict[str, List[Dict[str, Any]]] = {
            name: list(found or []) for name, found in (self._data.get("stageIssues") or {}).items()
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
    # Each batch maps stage instance names, in pipeline order, to their output.
    batches = []
    for batch in raw or []:
        outputs = [StageOutput(output) for output in batch or []]
        batches.append({str(output.instance_name): output for output in outputs})
    return batches


class _StageRecords:
    """Reading records per stage across batches; shared by previews and snapshots."""

    batches: List[Dict[str, StageOutput]]

    @property
    def stage_names(self) -> List[str]:
        """The instance names of the stages that produced output, in pipeline order."""
        names: List[str] = []
        for batch in self.batches:
            names.extend(name for name in batch if name not in names)
        return names

    def records(self, stage_instance_name: str, lane: Optional[str] = None) -> List[Record]:
        """The records a stage produced in all batches (every output lane, or just ``lane``)."""
        found: List[Record] = []
        for batch in self.batches:
            output = batch.get(stage_instance_name)
            if output is not None:
                found.extend(output.records if lane is None else output.output.get(lane, []))
        return found

    @property
    def records_by_stage(self) -> Dict[str, List[Record]]:
        """Every stage's records over all batches, by instance name, in pipeline order."""
        return {name: self.records(name) for name in self.stage_names}


class Preview(_StageRecords):
    """The outcome of a preview or validation run: its batches of records per stage, and the issues reported.

    ``preview`` is the engine's preview data document (``status``, ``batchesOutput``, ``issues``, ``message``).
    """

    def __init__(self, pipeline_id: str, previewer_id: str, preview: Optional[Mapping[str, Any]]) -> None:
        self.pipeline_id = pipeline_id
        self.previewer_id = previewer_id
        self._data: Dict[str, Any] = dict(preview or {})
        self.batches: List[Dict[str, StageOutput]] = _batches(self._data.get("batchesOutput"))
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
        self.batches: List[Dict[str, StageOutput]] = _batches(self._data.get("snapshotBatches"))

    @property
    def name(self) -> Optional[str]:
        """The engine's name of the snapshot."""
        return self._data.get("id") or self._data.get("snapshotName")

    @property
    def pipeline_id(self) -> Optional[str]:
        """The pipeline the snapshot was captured from."""
        return self._data.get("pipelineId") or self._data.get("name")

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
        """When the capture started (UTC), from the engine's ``timeStamp``."""
        stamp = self._data.get("timeStamp")
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
