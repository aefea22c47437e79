"""The simulated engine's pipeline store: definitions, revisions, labels, rules.

A stored pipeline is kept in the engine's export form: ``pipelineConfig`` (the definition, with its ``stages``)
and ``pipelineRules``. Other areas of the simulator (runs, previews, access control) look pipelines up here.
"""

from __future__ import annotations

import copy
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any

from .errors import EngineError

SCHEMA_VERSION = 6


def now_ms() -> int:
    """The engine's timestamps are milliseconds since the epoch."""
    return int(time.time() * 1000)


def no_such_pipeline(pipeline_id: str) -> EngineError:
    """The engine's answer for an id it does not know."""
    return EngineError(404, f"Pipeline '{pipeline_id}' does not exist", "CONTAINER_0200")


def stage(instance_name: str, stage_name: str, library: str, inputs: list[str], outputs: int = 1,
          configuration: dict[str, Any] | None = None) -> dict[str, Any]:
    """A stage definition as the engine stores it."""
    return {
        "instanceName": instance_name,
        "stageName": stage_name,
        "library": library,
        "stageVersion": "1",
        "configuration": [{"name": k, "value": v} for k, v in (configuration or {}).items()],
        "uiInfo": {"label": instance_name},
        "inputLanes": list(inputs),
        "outputLanes": [f"{instance_name}OutputLane{i + 1}" for i in range(outputs)],
        "eventLanes": [],
        "services": [],
    }


def sample_stages() -> list[dict[str, Any]]:
    """Origin -> processor -> destination: what a freshly imported sample pipeline holds."""
    origin = stage("DevDataGenerator_01", "dev_data_generator", "basic-lib", [],
                   configuration={"fields": ["id", "name", "amount"]})
    processor = stage("ExpressionEvaluator_01", "expression_evaluator", "basic-lib", origin["outputLanes"])
    target = stage("Trash_01", "trash", "basic-lib", processor["outputLanes"], outputs=0)
    return [origin, processor, target]


def pipeline_config(pipeline_id: str, title: str, description: str = "", pipeline_type: str = "HARVEL",
                    stages: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    """A pipeline definition (the ``pipelineConfig`` member of an export)."""
    return {
        "schemaVersion": SCHEMA_VERSION,
        "version": 1,
        "pipelineId": pipeline_id,
        "title": title,
        "description": description,
        "uuid": str(uuid.uuid4()),
        "configuration": [{"name": "executionMode", "value": "STANDALONE"}],
        "uiInfo": {},
        "stages": list(stages or []),
        "errorStage": None,
        "info": {"pipelineId": pipeline_id, "title": title, "description": description,
                 "pipelineType": pipeline_type, "valid": True},
        "metadata": {"labels": []},
        "issues": {"pipelineIssues": [], "stageIssues": {}, "issueCount": 0},
        "valid": True,
        "previewable": True,
    }


@dataclass
class StoredPipeline:
    """One pipeline in the store."""

    pipeline_id: str
    title: str
    description: str = ""
    pipeline_type: str = "HARVEL"
    rev: int = 0
    config: dict[str, Any] = field(default_factory=dict)
    rules: dict[str, Any] = field(default_factory=dict)
    labels: list[str] = field(default_factory=list)
    created: int = field(default_factory=now_ms)
    last_modified: int = field(default_factory=now_ms)
    #: Set by a test to make validation report these issues (``{"pipelineIssues": [...], ...}``).
    invalid_issues: dict[str, Any] | None = None

    @property
    def stages(self) -> list[dict[str, Any]]:
        """The stage definitions, in pipeline order."""
        return list(self.config.get("stages") or [])

    def info(self) -> dict[str, Any]:
        """The pipeline information record the engine lists."""
        return {
            "pipelineId": self.pipeline_id,
            "name": self.pipeline_id,
            "title": self.title,
            "description": self.description,
            "pipelineType": self.pipeline_type,
            "created": self.created,
            "lastModified": self.last_modified,
            "creator": "admin",
            "lastModifier": "admin",
            "lastRev": str(self.rev),
            "uuid": self.config.get("uuid"),
            "valid": self.invalid_issues is None,
            "metadata": {"labels": list(self.labels)},
        }

    def export(self) -> dict[str, Any]:
        """The pipeline in the engine's export form."""
        return {
            "pipelineConfig": copy.deepcopy(self.config),
            "pipelineRules": copy.deepcopy(self.rules),
            "libraryDefinitions": None,
            "info": self.info(),
        }


class PipelineStore:
    """The stored pipelines, by id, behind the engine's lock."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._pipelines: dict[str, StoredPipeline] = {}

    def new_id(self, title: str, auto_generate: bool) -> str:
        """The id the engine makes for ``title``: the title, or the title without white space plus a UUID."""
        if auto_generate:
            return "".join(title.split()) + str(uuid.uuid4())
        return title

    def add(self, pipeline: StoredPipeline) -> StoredPipeline:
        """Store ``pipeline`` under its id, replacing any pipeline of that id."""
        with self._lock:
            self._pipelines[pipeline.pipeline_id] = pipeline
        return pipeline

    def get(self, pipeline_id: str) -> StoredPipeline:
        """The stored pipeline; 404 (the engine's error) when unknown."""
        with self._lock:
            pipeline = self._pipelines.get(pipeline_id)
        if pipeline is None:
            raise no_such_pipeline(pipeline_id)
        return pipeline

    def find(self, pipeline_id: str) -> StoredPipeline | None:
        """The stored pipeline, or None."""
        with self._lock:
            return self._pipelines.get(pipeline_id)

    def __contains__(self, pipeline_id: object) -> bool:
        with self._lock:
            return pipeline_id in self._pipelines

    def remove(self, pipeline_id: str) -> StoredPipeline:
        """Delete a pipeline; 404 when unknown."""
        with self._lock:
            pipeline = self._pipelines.pop(pipeline_id, None)
        if pipeline is None:
            raise no_such_pipeline(pipeline_id)
        return pipeline

    def all(self) -> list[StoredPipeline]:
        """Every stored pipeline, in insertion order."""
        with self._lock:
            return list(self._pipelines.values())
