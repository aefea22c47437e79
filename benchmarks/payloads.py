"""Pipeline definitions of a chosen size, shaped like an engine's export, for the benchmarks."""

from __future__ import annotations

import json
from typing import Any, Dict, List

_SCRIPT_LINE = "for (var i = 0; i < records.length; i++) { records[i].value['total'] = records[i].value['n'] * 2; }\n"


def _stage(index: int, script_chars: int) -> Dict[str, Any]:
    # Big definitions are big because of what stages carry: scripts, schemas, lookup tables. Each stage here
    # has a dozen ordinary settings and one script.
    script = (_SCRIPT_LINE * (script_chars // len(_SCRIPT_LINE) + 1))[:script_chars]
    configuration: List[Dict[str, Any]] = [
        {"name": f"conf.setting{j}", "value": value}
        for j, value in enumerate(["FIELD", 1000, True, None, "/data/in", "UTF-8", 0.5, "ERROR", [], "${x}"])
    ]
    configuration.append({"name": "conf.script", "value": script})
    return {
        "instanceName": f"Stage_{index:05d}",
        "library": "basic-lib",
        "stageName": "com.example.stage.ScriptProcessor",
        "stageVersion": "2",
        "configuration": configuration,
        "uiInfo": {"label": f"Script {index}", "xPos": 60 + index * 220, "yPos": 50, "stageType": "PROCESSOR"},
        "inputLanes": [f"Stage_{index - 1:05d}OutputLane"] if index else [],
        "outputLanes": [f"Stage_{index:05d}OutputLane"],
        "eventLanes": [],
    }


def definition_object(size: int) -> Dict[str, Any]:
    """A pipeline export whose JSON text is about ``size`` bytes (never less than a few hundred)."""
    script_chars = max(64, min(2048, size // 4))
    stages: List[Dict[str, Any]] = []
    document: Dict[str, Any] = {
        "pipelineConfig": {
            "schemaVersion": 6,
            "version": 5,
            "pipelineId": "bench0a1b2c3d-4e5f",
            "title": "bench",
            "description": "generated for the benchmarks",
            "uuid": "5e5a3c1e-0000-4000-8000-000000000000",
            "configuration": [{"name": "executionMode", "value": "STANDALONE"}],
            "stages": stages,
        },
        "pipelineRules": {"metricsRuleDefinitions": [], "dataRuleDefinitions": []},
        "libraryDefinitions": None,
    }
    base = len(json.dumps(document))
    per_stage = len(json.dumps(_stage(0, script_chars))) + 2
    for index in range(max(1, (size - base) // per_stage)):
        stages.append(_stage(index, script_chars))
    return document


def definition(size: int) -> bytes:
    """The JSON text of :func:`definition_object`, as the engine would send it."""
    return json.dumps(definition_object(size)).encode()


# Canned answers of the endpoints the benchmarks call, shared by the loopback server and the in-memory adapter.
STATUS_RUNNING = json.dumps({"pipelineId": "p", "status": "RUNNING", "message": None, "rev": "0"}).encode()
HISTORY = json.dumps(
    [
        {"pipelineId": "p", "status": status, "message": None, "timeStamp": 1700000000000 + i}
        for i, status in enumerate(["FINISHED", "RUNNING", "STARTING", "EDITED"] * 3)
    ]
).encode()
INFO = json.dumps({"version": "5.0.0", "builtBy": "bench"}).encode()
STORED = json.dumps({"pipelineId": "p", "title": "p", "uuid": "u-1", "valid": True}).encode()


def canned(method: str, path: str) -> bytes:
    """The answer to ``method`` on ``path`` (without query) for the small endpoints."""
    if method == "GET":
        if path.endswith("/system/info"):
            return INFO
        if path.endswith("/history"):
            return HISTORY
        return STATUS_RUNNING
    if path.endswith("/start"):
        return STATUS_RUNNING
    return STORED
