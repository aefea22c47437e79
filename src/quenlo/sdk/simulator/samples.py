"""Pipeline documents in the engine's export form, and a ready sample pipeline to test with.

``sample_pipeline()`` gives a valid pipeline (origin -> processor -> destination) to store with
``import_pipeline`` or ``engine.state.pipelines.import_pipeline``; a pipeline made by ``create_pipeline`` has no
stages, and the engine treats it as invalid everywhere (validation, preview, start, snapshot, listing).
"""

from __future__ import annotations

import uuid
from typing import Any

SCHEMA_VERSION = 6


def stage(
    instance_name: str,
    stage_name: str,
    library: str,
    inputs: list[str],
    outputs: int = 1,
    configuration: dict[str, Any] | None = None,
) -> dict[str, Any]:
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
    origin = stage(
        "DevDataGenerator_01", "dev_data_generator", "basic-lib", [], configuration={"fields": ["id", "name", "amount"]}
    )
    processor = stage("ExpressionEvaluator_01", "expression_evaluator", "basic-lib", origin["outputLanes"])
    target = stage("Trash_01", "trash", "basic-lib", processor["outputLanes"], outputs=0)
    return [origin, processor, target]


def pipeline_config(
    pipeline_id: str,
    title: str,
    description: str = "",
    pipeline_type: str = "HARVEL",
    stages: list[dict[str, Any]] | None = None,
) -> dict[str, Any]:
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
        "info": {
            "pipelineId": pipeline_id,
            "title": title,
            "description": description,
            "pipelineType": pipeline_type,
            "valid": True,
        },
        "metadata": {"labels": []},
        "issues": {"pipelineIssues": [], "stageIssues": {}, "issueCount": 0},
        "valid": True,
        "previewable": True,
    }


def default_rules() -> dict[str, Any]:
    """The rules of a pipeline nobody has written rules for."""
    return {
        "uuid": str(uuid.uuid4()),
        "schemaVersion": 3,
        "version": 2,
        "metricsRuleDefinitions": [],
        "dataRuleDefinitions": [],
        "driftRuleDefinitions": [],
        "emailIds": [],
        "configuration": [],
        "ruleIssues": [],
        "configIssues": [],
    }


def sample_pipeline(title: str = "Sample pipeline", pipeline_id: str | None = None) -> dict[str, Any]:
    """A pipeline in export form with :func:`sample_stages`, ready for ``import_pipeline``."""
    config = pipeline_config(pipeline_id or "".join(title.split()), title, stages=sample_stages())
    return {"pipelineConfig": config, "pipelineRules": default_rules(), "libraryDefinitions": None}
