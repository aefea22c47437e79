"""Pipeline definitions of a chosen size, shaped like an engine's export, for the benchmarks."""

from __future__ import annotations

import json
from typing import Any, Dict, List

_SCRIPT_LINE = "for (var i = 0; i < records.length; i++) { records[i].value['total'] = records[i].value['n'] * 2; }\n"


def _stage(index: int, script_chars: int) -> Dict[str, Any]:
    # Big definitions are big because of what stages carry: scripts, schemas, lookup tables. Each stage here
    # has ten ordinary settings and one script.
    script = (_SCRIPT_LINE * (script_chars // len(_SCRIPT_LINE) + 1))[:script_chars]
    settings: Dict[str, Any] = {
        f"setting{j}": value
        for j, value in enumerate(["FIELD", 1000, True, None, "/data/in", "UTF-8", 0.5, "ERROR", [], "${x}"])
    }
    settings["script"] = script
    return {
        "name": f"script{index:05d}",
        "type": "script",
        "library": "core",
        "version": "2",
        "settings": settings,
        "inputs": [f"script{index - 1:05d}.1"] if index else [],
        "outputs": [f"script{index:05d}.1"],
    }


def definition_object(size: int) -> Dict[str, Any]:
    """A pipeline export whose JSON text is about ``size`` bytes (never less than a few hundred)."""
    script_chars = max(64, min(2048, size // 4))
    stages: List[Dict[str, Any]] = []
    document: Dict[str, Any] = {
        "definition": {
            "pipelineId": "bench0a1b2c3d-4e5f",
            "title": "bench",
            "description": "generated for the benchmarks",
            "type": "HARVEL",
            "format": 1,
            "uuid": "5e5a3c1e-0000-4000-8000-000000000000",
            "labels": [],
            "settings": {"mode": "LOCAL"},
            "stages": stages,
        },
        "rules": {"uuid": "5e5a3c1e-0000-4000-8000-000000000001", "checks": [], "recipients": []},
        "libraries": None,
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
        {"pipelineId": "p", "status": status, "message": None, "changed": 1700000000000 + i}
        for i, status in enumerate(["FINISHED", "RUNNING", "STARTING", "EDITED"] * 3)
    ]
).encode()
INFO = json.dumps({"version": "5.0.0", "engineId": "bench"}).encode()
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
