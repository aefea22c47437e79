"""The engine's catalogue: the stage libraries of its repositories, the definitions of the installed stages and
connection types, and the health of their classpaths."""

from __future__ import annotations

import copy
import re
import threading
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from .errors import bad_request

DEFAULT_REPOSITORY = "https://libraries.velm.example/repository"
MIRROR_REPOSITORY = "https://mirror.velm.example/repository"


def _config(name: str, kind: str = "STRING", default: Any = None, required: bool = False) -> dict[str, Any]:
    return {
        "name": name,
        "type": kind,
        "defaultValue": default,
        "required": required,
        # "connectionString" -> "Connection String"
        "label": re.sub(r"(?<=[a-z])(?=[A-Z])", " ", name).title(),
    }


def _stage(name: str, label: str, kind: str, *configs: dict[str, Any], outputs: int = 1) -> dict[str, Any]:
    return {
        "name": name,
        "label": label,
        "type": kind,
        "version": "1",
        "outputStreams": 0 if kind == "TARGET" else outputs,
        "configDefinitions": list(configs),
    }


@dataclass
class StageLibrary:
    """One stage library: its stages and connection types, and the jars on its classpath."""

    library_id: str
    label: str
    version: str
    stages: list[dict[str, Any]]
    connections: list[dict[str, Any]] = field(default_factory=list)
    jars: list[str] = field(default_factory=list)
    installed: bool = True

    def listing(self, repository: str) -> dict[str, Any]:
        """The entry of the stage library list."""
        return {
            "stageLibraryId": self.library_id,
            "label": self.label,
            "version": self.version,
            "installed": self.installed,
            "repositoryUrl": repository,
            "stageDefinitions": [{"name": s["name"], "label": s["label"], "type": s["type"]} for s in self.stages],
        }


def _catalogue() -> list[StageLibrary]:
    """The libraries of the default repository; what a fresh engine has installed is marked ``installed``."""
    return [
        StageLibrary(
            "basic-lib",
            "Basic",
            "1.4.0",
            [
                _stage("dev_data_generator", "Data Generator", "SOURCE", _config("fields", "LIST", [])),
                _stage("expression_evaluator", "Expression Evaluator", "PROCESSOR", _config("expressions", "LIST")),
                _stage("field_remover", "Field Remover", "PROCESSOR", _config("fields", "LIST", [], True)),
                _stage("trash", "Trash", "TARGET"),
            ],
            jars=["commons-lang3-3.12.0.jar", "commons-io-2.11.0.jar"],
        ),
        StageLibrary(
            "jdbc-lib",
            "JDBC",
            "1.2.1",
            [
                _stage("jdbc_query_consumer", "JDBC Query Consumer", "SOURCE", _config("query", required=True)),
                _stage("jdbc_producer", "JDBC Producer", "TARGET", _config("table", required=True)),
            ],
            connections=[
                {
                    "type": "JDBC",
                    "label": "JDBC",
                    "version": "1",
                    "configDefinitions": [
                        _config("connectionString", required=True),
                        _config("username"),
                        _config("password", "CREDENTIAL"),
                    ],
                }
            ],
            # Two versions of one artifact: the classpath health check reports them.
            jars=["commons-io-2.4.jar", "commons-io-2.11.0.jar", "hikari-pool-4.0.3.jar"],
        ),
        StageLibrary(
            "files-lib",
            "Local Files",
            "1.0.2",
            [
                _stage("directory", "Directory", "SOURCE", _config("path", required=True)),
                _stage("local_fs", "Local File System", "TARGET", _config("path", required=True)),
            ],
            jars=["commons-io-2.11.0.jar"],
        ),
        StageLibrary(
            "messaging-lib",
            "Messaging",
            "2.0.0",
            [
                _stage("message_consumer", "Message Consumer", "SOURCE", _config("topic", required=True)),
                _stage("message_producer", "Message Producer", "TARGET", _config("topic", required=True)),
            ],
            connections=[
                {
                    "type": "MESSAGING",
                    "label": "Message Broker",
                    "version": "1",
                    "configDefinitions": [_config("brokers", required=True)],
                }
            ],
            jars=["broker-client-2.0.0.jar"],
            installed=False,
        ),
    ]


def _mirror_catalogue() -> list[StageLibrary]:
    """A second repository, with a library the default one does not offer."""
    return [
        StageLibrary(
            "http-lib",
            "HTTP",
            "0.9.0",
            [_stage("http_client", "HTTP Client", "PROCESSOR", _config("resourceUrl", required=True))],
            jars=["http-core-4.4.16.jar"],
            installed=False,
        ),
    ]


_JAR = re.compile(r"^(?P<artifact>.+?)-(?P<version>\d[\w.]*?)(?:-[A-Za-z]\w*)?\.jar$")


def classpath_issues(jars: Iterable[str]) -> list[dict[str, Any]]:
    """The artifacts that appear on one classpath in more than one version."""
    versions: dict[str, list[str]] = {}
    for jar in jars:
        match = _JAR.match(jar)
        if match:
            versions.setdefault(match["artifact"], []).append(match["version"])
    return [
        {"kind": "DUPLICATE_DEPENDENCY", "artifact": artifact, "versions": sorted(found)}
        for artifact, found in sorted(versions.items())
        if len(set(found)) > 1
    ]


class Catalogue:
    """The stage library repositories the engine knows, and what of them is installed."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self.repositories: dict[str, list[StageLibrary]] = {
            DEFAULT_REPOSITORY: _catalogue(),
            MIRROR_REPOSITORY: _mirror_catalogue(),
        }

    def installed_libraries(self) -> list[StageLibrary]:
        """The libraries installed on the engine, from every repository."""
        with self._lock:
            return [lib for libs in self.repositories.values() for lib in libs if lib.installed]

    def definitions(self, version: str) -> dict[str, Any]:
        """The definitions of the installed stages, and of the expression language."""
        stages = [
            dict(copy.deepcopy(stage), library=lib.library_id, libraryLabel=lib.label)
            for lib in self.installed_libraries()
            for stage in lib.stages
        ]
        return {
            "version": version,
            "stages": stages,
            "services": [],
            "elFunctionDefinitions": [
                {"name": "record:value", "returnType": "Object", "arguments": ["fieldPath"]},
                {"name": "str:trim", "returnType": "String", "arguments": ["string"]},
                {"name": "time:now", "returnType": "Date", "arguments": []},
            ],
            "elConstantDefinitions": [{"name": "NULL", "returnType": "Object"}],
        }

    def connection_definitions(self) -> dict[str, Any]:
        """The connection types of the installed libraries."""
        return {
            "connections": [
                dict(copy.deepcopy(connection), library=lib.library_id)
                for lib in self.installed_libraries()
                for connection in lib.connections
            ]
        }

    def stage_libraries(self, repo_url: str | None, installed_only: bool) -> list[dict[str, Any]]:
        """The libraries of a repository (the default one when none is named)."""
        repository = repo_url or DEFAULT_REPOSITORY
        with self._lock:
            libraries = self.repositories.get(repository)
            if libraries is None:
                raise bad_request(f"Unknown stage library repository '{repository}'", "STAGELIB_0001")
            return [lib.listing(repository) for lib in libraries if lib.installed or not installed_only]

    def classpath_health(self) -> list[dict[str, Any]]:
        """Per installed library, whether its classpath holds one version of every artifact."""
        report = []
        for lib in self.installed_libraries():
            issues = classpath_issues(lib.jars)
            report.append({"stageLibraryId": lib.library_id, "healthy": not issues, "issues": issues})
        return report
