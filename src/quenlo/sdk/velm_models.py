"""Models over the VELM engine's JSON documents: pipelines, previews and snapshots."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional

__all__ = ["Pipeline", "Preview", "Snapshot"]


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
        return config.get("pipelineId") or config.get("info", {}).get("pipelineId") or self._data.get("pipelineId")

    @property
    def title(self) -> Optional[str]:
        """The pipeline's title."""
        config = self.configuration
        return config.get("title") or config.get("info", {}).get("title")

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


class Preview:
    """The outcome of a preview run: batches of records per stage, and the issues reported.

    ``preview`` is the engine's preview data document; the client builds this model from
    ``PreviewCommand.preview``.
    """

    def __init__(self, pipeline_id: str, previewer_id: str, preview: Mapping[str, Any]) -> None:
        self.pipeline_id = pipeline_id
        self.previewer_id = previewer_id
        self._data: Dict[str, Any] = dict(preview or {})

    @property
    def status(self) -> Optional[str]:
        """The preview's state as the data document reports it, if it does."""
        return self._data.get("status")

    @property
    def batches(self) -> List[Dict[str, Any]]:
        """One entry per preview batch: a mapping with ``stageOutputs``, each stage's output in that batch."""
        batches = self._data.get("batchesOutput") or []
        return [{"stageOutputs": list(batch)} for batch in batches]

    @property
    def issues(self) -> Dict[str, Any]:
        """The issues the preview or validation reported (the engine's ``issues`` document), or an empty mapping."""
        return self._data.get("issues") or {}

    def records(self, stage_instance_name: str, lane: Optional[str] = None, batch: int = 0) -> List[Dict[str, Any]]:
        """The records a stage produced in one batch (all its output lanes, or just ``lane``)."""
        batches = self._data.get("batchesOutput") or []
        if batch >= len(batches):
            return []
        for output in batches[batch]:
            if output.get("instanceName") == stage_instance_name:
                lanes = output.get("output") or {}
                if lane is not None:
                    return list(lanes.get(lane, []))
                return [record for records in lanes.values() for record in records]
        return []

    @property
    def stage_names(self) -> List[str]:
        """The instance names of the stages that produced output, in pipeline order."""
        names: List[str] = []
        for batch in self._data.get("batchesOutput") or []:
            for output in batch:
                name = output.get("instanceName")
                if name is not None and name not in names:
                    names.append(name)
        return names

    def to_json(self) -> Dict[str, Any]:
        """The engine's preview data document."""
        return self._data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __repr__(self) -> str:
        return (
            f"<Preview pipeline={self.pipeline_id!r} previewer={self.previewer_id!r} "
            f"batches={len(self._data.get('batchesOutput') or [])} stages={len(self.stage_names)}>"
        )


class Snapshot:
    """A captured snapshot: its status record joined with its data (batches of records per stage)."""

    def __init__(self, api_client: Any, snapshot: Mapping[str, Any]) -> None:
        self.api_client = api_client
        self._data: Dict[str, Any] = dict(snapshot or {})

    @property
    def pipeline_id(self) -> Optional[str]:
        """The pipeline the snapshot was captured from."""
        return self._data.get("pipelineId") or self._data.get("name")

    @property
    def name(self) -> Optional[str]:
        """The engine's name of the snapshot."""
        return self._data.get("id") or self._data.get("snapshotName")

    @property
    def label(self) -> Optional[str]:
        """The snapshot's label."""
        return self._data.get("label")

    @property
    def in_progress(self) -> Optional[bool]:
        """Whether the capture is still going on."""
        return self._data.get("inProgress")

    @property
    def batches(self) -> List[List[Dict[str, Any]]]:
        """One entry per captured batch: the stage outputs of that batch."""
        return list(self._data.get("snapshotBatches") or [])

    def records(self, stage_instance_name: str, batch: int = 0) -> List[Dict[str, Any]]:
        """The records a stage produced in one captured batch (all output lanes)."""
        batches = self.batches
        if batch >= len(batches):
            return []
        for output in batches[batch]:
            if output.get("instanceName") == stage_instance_name:
                lanes = output.get("output") or {}
                return [record for records in lanes.values() for record in records]
        return []

    def to_json(self) -> Dict[str, Any]:
        """The joined status and data document."""
        return self._data

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __repr__(self) -> str:
        return (
            f"<Snapshot pipeline={self.pipeline_id!r} name={self.name!r} label={self.label!r} "
            f"batches={len(self.batches)}>"
        )
