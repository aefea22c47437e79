"""The simulated engine's own information: directories, configuration, logs, statistics, definitions,
stage libraries, health, support bundles and access control."""

from __future__ import annotations

import copy
import io
import json
import os
import re
import shutil
import sys
import threading
import time
import zipfile
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any
from urllib.parse import quote

from .errors import EngineError

if TYPE_CHECKING:
    from .state import EngineState
    from .store import StoredPipeline

SEVERITIES = ("TRACE", "DEBUG", "INFO", "WARN", "ERROR")
ACTIONS = ("READ", "WRITE", "EXECUTE")
SUBJECT_TYPES = ("USER", "GROUP")
#: The name the engine reports for requests when authentication is off.
ANONYMOUS = "anonymous"
#: How many log entries one read returns at most; older ones are read by passing the returned offset back.
LOG_PAGE = 100
DEFAULT_REPOSITORY = "https://libraries.velm.example/repository"
MIRROR_REPOSITORY = "https://mirror.velm.example/repository"


def now_ms() -> int:
    """The engine's timestamps are milliseconds since the epoch."""
    return int(time.time() * 1000)


def bad_request(message: str, code: str = "REST_0400") -> EngineError:
    """A 400 answer with the engine's error body."""
    return EngineError(400, message, code)


# -- the stage library catalogue ---------------------------------------------------------------------------


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


# -- support bundle generators -----------------------------------------------------------------------------

GENERATORS: tuple[dict[str, Any], ...] = (
    {
        "id": "EngineInfo",
        "name": "Engine information",
        "description": "Version, build, directories and JMX metrics of the engine.",
        "enabledByDefault": True,
    },
    {
        "id": "Configuration",
        "name": "Configuration",
        "description": "The engine's configuration properties, secrets masked.",
        "enabledByDefault": True,
    },
    {"id": "Logs", "name": "Logs", "description": "The engine's log.", "enabledByDefault": True},
    {
        "id": "Pipelines",
        "name": "Pipelines",
        "description": "Every stored pipeline in its export form.",
        "enabledByDefault": False,
    },
    {
        "id": "AccessControl",
        "name": "Access control",
        "description": "The access control list of every pipeline.",
        "enabledByDefault": False,
    },
)

HEALTH_CATEGORIES: tuple[dict[str, str], ...] = (
    {"name": "RUNTIME", "label": "Runtime"},
    {"name": "MACHINE", "label": "Machine"},
    {"name": "PIPELINES", "label": "Pipelines"},
    {"name": "LIBRARIES", "label": "Stage libraries"},
)


def _check(name: str, value: Any, severity: str = "GREEN", details: str = "") -> dict[str, Any]:
    return {"name": name, "value": value, "severity": severity, "details": details}


@dataclass
class LogEntry:
    """One line of the engine's log; ``offset`` is where the line starts in the log text."""

    offset: int
    timestamp: int
    severity: str
    category: str
    message: str
    pipeline: str | None = None
    user: str | None = None

    def line(self) -> str:
        """The line as the log file holds it."""
        stamp = datetime.fromtimestamp(self.timestamp / 1000, timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
        return (
            f"{stamp} [user:{self.user or '*'}] [pipeline:{self.pipeline or '*'}] "
            f"{self.severity} {self.category} - {self.message}\n"
        )

    def record(self) -> dict[str, Any]:
        """The entry as the log endpoint answers it."""
        return {
            "offset": self.offset,
            "timestamp": self.timestamp,
            "severity": self.severity,
            "category": self.category,
            "pipeline": self.pipeline,
            "user": self.user,
            "message": self.message,
        }


class SystemState:
    """What the engine reports about itself, and the access-control lists it keeps."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self.started = now_ms()
        self.directories: dict[str, str] = {
            "runtimeDir": "/opt/velm",
            "configDir": "/etc/velm",
            "dataDir": "/var/lib/velm",
            "logDir": "/var/log/velm",
            "resourcesDir": "/var/lib/velm/resources",
            "libsExtraDir": "/opt/velm/libs-extra",
        }
        self.properties: dict[str, str] = {
            "http.bindHost": "127.0.0.1",
            "production.maxBatchSize": "1000",
            "preview.maxBatchSize": "10",
            "preview.maxBatches": "10",
            "pipeline.max.runners.count": "50",
            "monitor.memory": "false",
            "bundle.upload.enabled": "false",
            "keystore.password": "changeit",
            "ui.header.title": "",
            "ui.refresh.interval.ms": "2000",
            "ui.jvmMetrics.refresh.interval.ms": "4000",
            "ui.undo.limit": "10",
            "ui.local.help.base.url": "/docs",
            "ui.enable.usage.data.collection": "true",
        }
        self._profiles: dict[str, dict[str, list[str]]] = {
            "admin": {"roles": ["admin", "creator", "manager", "guest"], "groups": ["all", "admins"]},
            ANONYMOUS: {"roles": ["admin", "creator", "manager", "guest"], "groups": ["all"]},
        }
        self._stats_active = False
        self._stats_opted = False
        self._stats_changed: int | None = None
        self._log: list[LogEntry] = []
        self._log_size = 0
        self.repositories: dict[str, list[StageLibrary]] = {
            DEFAULT_REPOSITORY: _catalogue(),
            MIRROR_REPOSITORY: _mirror_catalogue(),
        }
        self._acls: dict[str, tuple[int, dict[str, Any]]] = {}
        self.log("INFO", "Main", "Engine starting")
        self.log("INFO", "WebServerTask", "Web server started")
        self.log("INFO", "StageLibraryTask", "Loaded 3 stage libraries")

    # -- users --------------------------------------------------------------------------------------------

    def set_profile(self, user: str, roles: Sequence[str] | None = None, groups: Sequence[str] | None = None) -> None:
        """Give ``user`` these roles and groups (those not given keep their value)."""
        with self._lock:
            profile = self._profiles.setdefault(user, self.profile(user))
            if roles is not None:
                profile["roles"] = list(roles)
            if groups is not None:
                profile["groups"] = list(groups)

    def profile(self, user: str) -> dict[str, list[str]]:
        """The roles and groups of ``user``; users nobody configured are plain creators."""
        with self._lock:
            found = self._profiles.get(user) or {"roles": ["creator", "guest"], "groups": ["all"]}
            return copy.deepcopy(found)

    def current_user(self, user: str | None) -> dict[str, Any]:
        """The current-user record for the request's user (None when authentication is off)."""
        name = user or ANONYMOUS
        profile = self.profile(name)
        return {"user": name, "roles": profile["roles"], "groups": profile["groups"], "authenticated": user is not None}

    def change_password(self, state: EngineState, path_user: str, user: str | None, document: Any) -> None:
        """Change ``path_user``'s password as ``user`` asks; every refusal is the engine's error."""
        users = state.users
        if path_user not in users:
            raise EngineError(404, f"User '{path_user}' does not exist", "USER_0001")
        if path_user != user:
            raise EngineError(403, f"User '{user}' cannot change the password of '{path_user}'", "USER_0002")
        if not isinstance(document, dict):
            raise bad_request("The change-password document must be a JSON object", "USER_0003")
        old, new = document.get("oldPassword"), document.get("newPassword")
        if not isinstance(old, str) or not isinstance(new, str):
            raise bad_request("'oldPassword' and 'newPassword' are required texts", "USER_0003")
        if document.get("id", path_user) != path_user:
            raise bad_request("The document is for another user", "USER_0003")
        if not new:
            raise bad_request("The new password must not be empty", "USER_0004")
        if not users.check(path_user, old):
            raise bad_request("The old password is wrong", "USER_0005")
        users.set_password(path_user, new)
        self.log("INFO", "UserManagement", f"Password changed for user '{path_user}'", user=user)

    # -- configuration -------------------------------------------------------------------------------------

    def configuration(self, port: int | str, authentication: str) -> dict[str, str]:
        """The configuration properties, secrets masked, with the live port and authentication method."""
        with self._lock:
            properties = dict(self.properties)
        properties["http.port"] = str(port)
        properties["http.authentication"] = authentication
        return {k: ("********" if k.endswith(".password") else v) for k, v in sorted(properties.items())}

    def ui_configuration(self) -> dict[str, str]:
        """The part of the configuration the user interface reads."""
        with self._lock:
            return {k: v for k, v in sorted(self.properties.items()) if k.startswith("ui.")}

    # -- usage statistics ----------------------------------------------------------------------------------

    def stats(self, state: EngineState) -> dict[str, Any]:
        """The statistics settings and, while active, what has been collected."""
        with self._lock:
            record: dict[str, Any] = {
                "opted": self._stats_opted,
                "active": self._stats_active,
                "changedOn": self._stats_changed,
            }
            if self._stats_active:
                record["activeStats"] = {
                    "startTime": self._stats_changed,
                    "engineVersion": state.version,
                    "pipelineCount": len(state.pipelines.all()),
                    "runningPipelineCount": len(state.runs.active()),
                }
            return record

    def opt_for_stats(self, active: str | None, user: str | None) -> None:
        """Switch statistics on ("true") or off ("false"); any other value is refused."""
        if active is None or active.strip().lower() not in ("true", "false"):
            raise bad_request(f"Query parameter 'active' must be true or false, not {active!r}")
        on = active.strip().lower() == "true"
        with self._lock:
            self._stats_opted = True
            self._stats_active = on
            self._stats_changed = now_ms()
        self.log("INFO", "StatsCollector", f"Usage statistics switched {'on' if on else 'off'}", user=user)

    # -- JMX ------------------------------------------------------------------------------------------------

    def jmx(self, state: EngineState) -> dict[str, Any]:
        """The engine's JMX beans, with live process figures."""
        try:
            import resource

            # ru_maxrss is in kilobytes on Linux and in bytes on macOS.
            rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * (1 if sys.platform == "darwin" else 1024)
        except ImportError:  # not on every platform
            rss = 0
        load = os.getloadavg()[0] if hasattr(os, "getloadavg") else -1.0
        now = now_ms()
        return {
            "beans": [
                {"name": "java.lang:type=Runtime", "StartTime": self.started, "Uptime": now - self.started},
                {
                    "name": "java.lang:type=Memory",
                    "HeapMemoryUsage": {"init": 0, "used": rss, "committed": rss, "max": -1},
                },
                {"name": "java.lang:type=Threading", "ThreadCount": threading.active_count()},
                {
                    "name": "java.lang:type=OperatingSystem",
                    "AvailableProcessors": os.cpu_count() or 1,
                    "SystemLoadAverage": load,
                },
                {"name": "metrics:name=engine.pipelines.stored.gauge", "Value": len(state.pipelines.all())},
                {"name": "metrics:name=engine.pipelines.running.gauge", "Value": len(state.runs.active())},
            ]
        }

    # -- log ------------------------------------------------------------------------------------------------

    def log(
        self, severity: str, category: str, message: str, pipeline: str | None = None, user: str | None = None
    ) -> LogEntry:
        """Append an entry to the engine's log."""
        if severity not in SEVERITIES:
            raise ValueError(f"unknown severity {severity!r}")
        with self._lock:
            entry = LogEntry(self._log_size, now_ms(), severity, category, message, pipeline, user)
            self._log.append(entry)
            self._log_size += len(entry.line().encode())
            return entry

    def log_text(self) -> str:
        """The whole log as its file holds it."""
        with self._lock:
            return "".join(entry.line() for entry in self._log)

    def read_log(
        self,
        ending_offset: str | None,
        severity: str | None = None,
        pipeline: str | None = None,
        text: str | None = None,
    ) -> tuple[list[dict[str, Any]], int]:
        """Up to :data:`LOG_PAGE` entries that end at or before ``ending_offset`` (-1: the end of the log).

        Returns the entries, oldest first, and the offset to pass as the next ending offset to read further
        back (the start of the oldest entry returned, or ``ending_offset`` when nothing matched).
        """
        try:
            end = int(ending_offset) if ending_offset not in (None, "") else -1
        except ValueError:
            raise bad_request(f"Query parameter 'endingOffset' must be a number, not {ending_offset!r}") from None
        if severity is not None and severity.upper() not in SEVERITIES:
            raise bad_request(f"Unknown severity {severity!r}; one of {', '.join(SEVERITIES)}")
        with self._lock:
            if end < 0:
                end = self._log_size
            matching = [
                e
                for e in self._log
                if e.offset + len(e.line().encode()) <= end
                and (severity is None or e.severity == severity.upper())
                and (pipeline is None or e.pipeline == pipeline)
                and (text is None or text in e.message)
            ]
        page = matching[-LOG_PAGE:]
        return [e.record() for e in page], (page[0].offset if page else end)

    # -- definitions and stage libraries ----------------------------------------------------------------------

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

    # -- alerts ---------------------------------------------------------------------------------------------

    @staticmethod
    def alerts(state: EngineState) -> list[dict[str, Any]]:
        """An alert for every enabled rule of every running pipeline."""
        alerts = []
        for pipeline_id in state.runs.active():
            pipeline = state.pipelines.find(pipeline_id)
            if pipeline is None:
                continue
            for key, rules in (pipeline.rules or {}).items():
                if not key.endswith("RuleDefinitions") or not isinstance(rules, list):
                    continue
                for rule in rules:
                    if isinstance(rule, dict) and rule.get("enabled"):
                        alerts.append(
                            {
                                "pipelineName": pipeline_id,
                                "ruleDefinition": copy.deepcopy(rule),
                                "gauge": {
                                    "value": {
                                        "timestamp": now_ms(),
                                        "alertTexts": [rule.get("alertText") or rule.get("id", "")],
                                    }
                                },
                            }
                        )
        return alerts

    # -- health ---------------------------------------------------------------------------------------------

    def health_report(self, state: EngineState, categories: Sequence[str] | None) -> dict[str, Any]:
        """The checks of the named categories (all when none is named); an unknown name is refused."""
        known = [c["name"] for c in HEALTH_CATEGORIES]
        wanted = list(categories) if categories else known
        unknown = [c for c in wanted if c not in known]
        if unknown:
            raise bad_request(f"Unknown health categories: {', '.join(unknown)}", "HEALTH_0001")
        report = []
        for category in HEALTH_CATEGORIES:
            if category["name"] in wanted:
                report.append(dict(category, checks=self._health_checks(state, category["name"])))
        return {"timestamp": now_ms(), "categories": report}

    def _health_checks(self, state: EngineState, category: str) -> list[dict[str, Any]]:
        if category == "RUNTIME":
            threads = threading.active_count()
            return [
                _check("Uptime (s)", (now_ms() - self.started) // 1000),
                _check("Threads", threads, "GREEN" if threads < 500 else "YELLOW"),
            ]
        if category == "MACHINE":
            cpus = os.cpu_count() or 1
            load = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
            disk = shutil.disk_usage(os.getcwd())
            free = disk.free / disk.total if disk.total else 1.0
            return [
                _check("Processors", cpus),
                _check("Load average (1 min)", round(load, 2), "GREEN" if load < cpus else "YELLOW"),
                _check(
                    "Free disk (%)",
                    round(free * 100, 1),
                    "GREEN" if free > 0.1 else "RED",
                    "" if free > 0.1 else "Less than 10 % of the disk is free",
                ),
            ]
        if category == "PIPELINES":
            running = len(state.runs.active())
            limit = int(self.properties.get("pipeline.max.runners.count", "50"))
            alerts = len(self.alerts(state))
            return [
                _check("Stored pipelines", len(state.pipelines.all())),
                _check("Running pipelines", running, "GREEN" if running < limit else "YELLOW"),
                _check("Alerts", alerts, "GREEN" if not alerts else "YELLOW"),
            ]
        unhealthy = [entry["stageLibraryId"] for entry in self.classpath_health() if not entry["healthy"]]
        return [
            _check(
                "Classpath",
                len(unhealthy),
                "YELLOW" if unhealthy else "GREEN",
                ", ".join(unhealthy) and f"Duplicate dependencies in {', '.join(unhealthy)}",
            )
        ]

    # -- support bundles ------------------------------------------------------------------------------------

    def bundle(self, state: EngineState, generators: Sequence[str], port: int | str, authentication: str) -> bytes:
        """A ZIP archive assembled by the named generators (the default ones when none is named)."""
        known = {g["id"]: g for g in GENERATORS}
        names = list(dict.fromkeys(generators)) or [g["id"] for g in GENERATORS if g["enabledByDefault"]]
        unknown = [name for name in names if name not in known]
        if unknown:
            raise bad_request(f"Unknown bundle generators: {', '.join(unknown)}", "BUNDLE_0001")
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(
                "metadata.properties",
                f"engine.version={state.version}\ngenerators={','.join(names)}\ncreated={now_ms()}\n",
            )
            for name in names:
                for member, content in self._bundle_members(state, name, port, authentication):
                    archive.writestr(f"{name}/{member}", content)
        self.log("INFO", "SupportBundle", f"Support bundle generated with {', '.join(names)}")
        return buffer.getvalue()

    def _bundle_members(
        self, state: EngineState, generator: str, port: int | str, authentication: str
    ) -> list[tuple[str, str]]:
        def dumps(value: Any) -> str:
            return json.dumps(value, indent=2, sort_keys=True)

        # A pipeline id may hold "/" or "..": keep each one a single, harmless member name.
        def member(pipeline_id: str) -> str:
            return quote(pipeline_id, safe="").replace(".", "%2E")

        if generator == "EngineInfo":
            return [
                ("info.json", dumps(state.info())),
                ("directories.json", dumps(self.directories)),
                ("jmx.json", dumps(self.jmx(state))),
            ]
        if generator == "Configuration":
            properties = self.configuration(port, authentication)
            return [("velm.properties", "".join(f"{k}={v}\n" for k, v in properties.items()))]
        if generator == "Logs":
            return [("velm.log", self.log_text())]
        pipelines = state.pipelines.all()
        if generator == "Pipelines":
            return [(f"{member(p.pipeline_id)}/pipeline.json", dumps(p.export())) for p in pipelines]
        return [(f"{member(p.pipeline_id)}.json", dumps(self.acl(p))) for p in pipelines]

    # -- access control -------------------------------------------------------------------------------------

    def acl(self, pipeline: StoredPipeline) -> dict[str, Any]:
        """The pipeline's access control list; until one is written, its creator holds every action."""
        with self._lock:
            stored = self._acls.get(pipeline.pipeline_id)
            # An ACL outlives neither its pipeline nor a new pipeline that reuses the id.
            if stored is not None and stored[0] == pipeline.created:
                return copy.deepcopy(stored[1])
        owner = pipeline.info().get("creator") or "admin"
        return {
            "resourceId": pipeline.pipeline_id,
            "resourceType": "PIPELINE",
            "resourceOwner": owner,
            "resourceCreatedTime": pipeline.created,
            "lastModifiedBy": owner,
            "lastModifiedOn": pipeline.created,
            "permissions": [
                {
                    "subjectId": owner,
                    "subjectType": "USER",
                    "actions": list(ACTIONS),
                    "lastModifiedBy": owner,
                    "lastModifiedOn": pipeline.created,
                }
            ],
        }

    def set_acl(self, pipeline: StoredPipeline, document: Any, user: str | None) -> dict[str, Any]:
        """Replace the pipeline's access control list with ``document``; return what is stored."""
        permissions = _checked_permissions(document)
        current = self.acl(pipeline)
        stamp = now_ms()
        by = user or ANONYMOUS
        previous = {(p["subjectId"], p["subjectType"]): p for p in current["permissions"]}
        for permission in permissions:
            before = previous.get((permission["subjectId"], permission["subjectType"]))
            if before is not None and sorted(before["actions"]) == sorted(permission["actions"]):
                permission["lastModifiedBy"] = before.get("lastModifiedBy", by)
                permission["lastModifiedOn"] = before.get("lastModifiedOn", stamp)
            else:
                permission["lastModifiedBy"], permission["lastModifiedOn"] = by, stamp
        owner = document.get("resourceOwner") or current["resourceOwner"]
        if not isinstance(owner, str):
            raise bad_request("'resourceOwner' must be a text", "ACL_0001")
        acl = dict(current, resourceOwner=owner, lastModifiedBy=by, lastModifiedOn=stamp, permissions=permissions)
        with self._lock:
            self._acls[pipeline.pipeline_id] = (pipeline.created, acl)
        self.log(
            "INFO",
            "AclStore",
            f"Access control list of '{pipeline.pipeline_id}' changed",
            pipeline=pipeline.pipeline_id,
            user=user,
        )
        return copy.deepcopy(acl)

    def subjects(self, pipelines: Iterable[StoredPipeline]) -> dict[str, list[str]]:
        """The users and groups named in the pipelines' access control lists."""
        users: set[str] = set()
        groups: set[str] = set()
        for pipeline in pipelines:
            acl = self.acl(pipeline)
            users.add(acl["resourceOwner"])
            for permission in acl["permissions"]:
                (users if permission["subjectType"] == "USER" else groups).add(permission["subjectId"])
        return {"users": sorted(users), "groups": sorted(groups)}

    def rename_subjects(
        self, pipelines: Sequence[StoredPipeline], document: Any, user: str | None
    ) -> dict[str, list[str]]:
        """Rename subjects in every access control list.

        ``document`` is ``{"users": {"old": "new", ...}, "groups": {...}}``; either part may be left out.
        Returns the subjects afterwards.
        """
        renames = _checked_renames(document)
        stamp = now_ms()
        by = user or ANONYMOUS
        with self._lock:
            for pipeline in pipelines:
                acl = self.acl(pipeline)
                changed = False
                owner = renames["USER"].get(acl["resourceOwner"])
                if owner is not None:
                    acl["resourceOwner"], changed = owner, True
                merged: dict[tuple[str, str], dict[str, Any]] = {}
                for permission in acl["permissions"]:
                    new = renames[permission["subjectType"]].get(permission["subjectId"])
                    if new is not None:
                        permission = dict(permission, subjectId=new, lastModifiedBy=by, lastModifiedOn=stamp)
                        changed = True
                    key = (permission["subjectId"], permission["subjectType"])
                    if key in merged:  # renamed onto an existing subject: it keeps the actions of both
                        actions = set(merged[key]["actions"]) | set(permission["actions"])
                        merged[key]["actions"] = [a for a in ACTIONS if a in actions]
                    else:
                        merged[key] = permission
                if changed:
                    acl["permissions"] = list(merged.values())
                    acl["lastModifiedBy"], acl["lastModifiedOn"] = by, stamp
                    self._acls[pipeline.pipeline_id] = (pipeline.created, acl)
        self.log("INFO", "AclStore", "Access control subjects renamed", user=user)
        return self.subjects(pipelines)


def _checked_permissions(document: Any) -> list[dict[str, Any]]:
    """The permissions of an access control list document, checked and copied."""
    if not isinstance(document, dict) or not isinstance(document.get("permissions"), list):
        raise bad_request("An access control list is a JSON object with a 'permissions' list", "ACL_0001")
    permissions = []
    seen = set()
    for permission in document["permissions"]:
        if not isinstance(permission, dict):
            raise bad_request("Each permission must be a JSON object", "ACL_0001")
        subject, kind, actions = permission.get("subjectId"), permission.get("subjectType"), permission.get("actions")
        if not isinstance(subject, str) or not subject:
            raise bad_request("Each permission needs a 'subjectId'", "ACL_0001")
        if kind not in SUBJECT_TYPES:
            raise bad_request(f"'subjectType' must be one of {', '.join(SUBJECT_TYPES)}, not {kind!r}", "ACL_0001")
        if not isinstance(actions, list) or any(a not in ACTIONS for a in actions):
            raise bad_request(f"'actions' must be a list of {', '.join(ACTIONS)}", "ACL_0001")
        if (subject, kind) in seen:
            raise bad_request(f"{kind} '{subject}' appears twice", "ACL_0002")
        seen.add((subject, kind))
        permissions.append({"subjectId": subject, "subjectType": kind, "actions": [a for a in ACTIONS if a in actions]})
    return permissions


def _checked_renames(document: Any) -> dict[str, dict[str, str]]:
    """The renames of a subjects document, by subject type."""
    if not isinstance(document, dict) or not set(document) <= {"users", "groups"}:
        raise bad_request("A subjects document is a JSON object with 'users' and/or 'groups'", "ACL_0003")
    renames: dict[str, dict[str, str]] = {}
    for key, kind in (("users", "USER"), ("groups", "GROUP")):
        part: Mapping[str, Any] = document.get(key) or {}
        if not isinstance(part, dict) or not all(
            isinstance(old, str) and isinstance(new, str) and new for old, new in part.items()
        ):
            raise bad_request(f"'{key}' must map each old name to a new, non-empty name", "ACL_0003")
        renames[kind] = dict(part)
    return renames
