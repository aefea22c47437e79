"""The documents the engine only reports (information, configuration, directories, JMX, statistics, definitions,
stage libraries, classpath health, health, alerts, bundle generators): one registry of canned answers, which a
test can replace (``engine.documents["alerts"] = [...]``) and ``engine.reset()`` restores."""

from __future__ import annotations

import copy
from collections.abc import Iterator, MutableMapping
from typing import Any

MAIN_LIBRARIES = "https://libraries.velm.example/repository"
EXTRA_LIBRARIES = "https://mirror.velm.example/repository"


def _setting(name: str, kind: str = "TEXT", default: Any = None, required: bool = False) -> dict[str, Any]:
    return {"name": name, "type": kind, "default": default, "required": required}


def _stage(name: str, label: str, role: str, library: str, *settings: dict[str, Any]) -> dict[str, Any]:
    return {"name": name, "label": label, "role": role, "library": library, "version": "1", "settings": list(settings)}


_STAGES = [
    _stage("generator", "Generator", "ORIGIN", "core", _setting("fields", "LIST", [])),
    _stage("mapper", "Mapper", "PROCESSOR", "core", _setting("expressions", "LIST", [])),
    _stage("filter", "Filter", "PROCESSOR", "core", _setting("condition", required=True)),
    _stage("discard", "Discard", "DESTINATION", "core"),
    _stage("sql-reader", "SQL reader", "ORIGIN", "sql", _setting("query", required=True)),
    _stage("sql-writer", "SQL writer", "DESTINATION", "sql", _setting("table", required=True)),
    _stage("file-reader", "File reader", "ORIGIN", "files", _setting("path", required=True)),
    _stage("file-writer", "File writer", "DESTINATION", "files", _setting("path", required=True)),
]


def _library(library_id: str, label: str, version: str, repository: str, installed: bool = True) -> dict[str, Any]:
    stages = [{k: s[k] for k in ("name", "label", "role")} for s in _STAGES if s["library"] == library_id]
    names = ("libraryId", "label", "version", "installed", "repository", "stages")
    return dict(zip(names, (library_id, label, version, installed, repository, stages)))


_connection: dict[str, Any] = {"type": "DATABASE", "label": "Database", "library": "sql", "version": "1"}
_connection["settings"] = [_setting("url", required=True), _setting("user"), _setting("password", "SECRET")]


def _check(name: str, value: Any, severity: str = "GREEN", details: str = "") -> dict[str, Any]:
    return {"name": name, "value": value, "severity": severity, "details": details}


def canned_documents(version: str = "5.6.0") -> dict[str, Any]:
    """Every canned document, as a fresh engine of ``version`` answers it."""
    labels = {"RUNTIME": "Runtime", "MACHINE": "Machine", "PIPELINES": "Pipelines", "LIBRARIES": "Stage libraries"}
    categories = [{"name": name, "label": label} for name, label in labels.items()]
    checks = {
        "RUNTIME": [_check("Uptime (s)", 3600), _check("Threads", 42)],
        "MACHINE": [_check("Processors", 4), _check("Load average (1 min)", 0.5), _check("Free disk (%)", 62.5)],
        "PIPELINES": [_check("Stored pipelines", 0), _check("Running pipelines", 0), _check("Alerts", 0)],
        "LIBRARIES": [_check("Classpath", 1, "YELLOW", "Two versions of io-utils in sql")],
    }
    return {
        "info": {"version": version, "engineId": "", "builtAt": "2024-01-01T00:00:00Z", "commit": "0" * 40},
        "configuration": dict(
            [("http.host", "127.0.0.1"), ("keystore.password", "********"), ("preview.maxBatchSize", "10")]
            + [("preview.maxBatches", "10"), ("run.maxBatchSize", "1000"), ("run.maxRunners", "50")]
            + [("ui.refreshMs", "2000"), ("ui.title", ""), ("ui.undoLimit", "10")]
        ),
        "directories": {"home": "/opt/velm", "config": "/etc/velm", "data": "/var/lib/velm", "logs": "/var/log/velm"}
        | {"resources": "/var/lib/velm/resources", "extras": "/opt/velm/extras"},
        "jmx": {
            "beans": [
                {"name": "process", "uptime": 3_600_000, "threads": 42, "heapUsed": 268_435_456, "processors": 4},
                {"name": "pipelines", "stored": 0, "running": 0},
            ]
        },
        "stats": {"active": False, "opted": False, "changed": None},
        "definitions": {
            "version": version,
            "stages": _STAGES,
            "functions": [
                {"name": "record:value", "returns": "ANY", "arguments": ["path"]},
                {"name": "str:trim", "returns": "TEXT", "arguments": ["text"]},
                {"name": "time:now", "returns": "TIME", "arguments": []},
            ],
            "constants": [{"name": "NULL", "returns": "ANY"}],
        },
        "connections": {"connections": [_connection]},
        "libraries": {
            MAIN_LIBRARIES: [
                _library("core", "Core", "1.4.0", MAIN_LIBRARIES),
                _library("sql", "SQL", "1.2.1", MAIN_LIBRARIES),
                _library("files", "Files", "1.0.2", MAIN_LIBRARIES),
                _library("queue", "Queues", "2.0.0", MAIN_LIBRARIES, installed=False),
            ],
            EXTRA_LIBRARIES: [_library("web", "Web", "0.9.0", EXTRA_LIBRARIES, installed=False)],
        },
        "classpath": [
            {"libraryId": "core", "healthy": True, "problems": []},
            {"libraryId": "sql", "healthy": False, "problems": [{"artifact": "io-utils", "versions": ["2.11", "2.4"]}]},
            {"libraryId": "files", "healthy": True, "problems": []},
        ],
        "health_categories": categories,
        "health_checks": checks,
        "alerts": [],
        "bundle_generators": [
            {"id": "info", "name": "Engine information", "description": "Information, directories.", "default": True},
            {"id": "configuration", "name": "Configuration", "description": "Settings.", "default": True},
            {"id": "logs", "name": "Logs", "description": "The engine log.", "default": True},
            {"id": "pipelines", "name": "Pipelines", "description": "Every pipeline in export form.", "default": False},
            {"id": "acl", "name": "Access control", "description": "Every access control list.", "default": False},
        ],
    }


class Documents(MutableMapping[str, Any]):
    """The registry: canned documents by name. Reading one gives a copy, so an answer never changes the registry."""

    def __init__(self, version: str = "5.6.0") -> None:
        self._documents = canned_documents(version)

    def __getitem__(self, name: str) -> Any:
        return copy.deepcopy(self._documents[name])

    def __setitem__(self, name: str, document: Any) -> None:
        if name not in self._documents:
            raise KeyError(f"no canned document {name!r}; the registry has {', '.join(self._documents)}")
        self._documents[name] = copy.deepcopy(document)

    def __delitem__(self, name: str) -> None:
        raise TypeError("canned documents can be replaced, not removed")

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._documents))

    def __len__(self) -> int:
        return len(self._documents)
