"""The engine's health: alerts of running pipelines, the health report by category, and support bundles."""

from __future__ import annotations

import copy
import io
import json
import os
import shutil
import threading
import zipfile
from collections.abc import Sequence
from typing import Any, Callable
from urllib.parse import quote

from .access_control import AccessControl
from .catalogue import Catalogue
from .clock import Clock
from .enginelog import EngineLog
from .errors import bad_request
from .runs import Runs
from .store import PipelineStore
from .system_state import SystemState

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


class Health:
    """Reports on the engine as a whole, assembled from the areas that know the parts."""

    def __init__(
        self,
        clock: Clock,
        log: EngineLog,
        info: Callable[[], dict[str, Any]],
        pipelines: PipelineStore,
        runs: Runs,
        catalogue: Catalogue,
        system: SystemState,
        access: AccessControl,
    ) -> None:
        self._clock = clock
        self._log = log
        self._info = info
        self._pipelines = pipelines
        self._runs = runs
        self._catalogue = catalogue
        self._system = system
        self._access = access

    def alerts(self) -> list[dict[str, Any]]:
        """An alert for every enabled rule of every running pipeline."""
        alerts = []
        for pipeline_id in self._runs.active():
            pipeline = self._pipelines.find(pipeline_id)
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
                                        "timestamp": self._clock.now_ms(),
                                        "alertTexts": [rule.get("alertText") or rule.get("id", "")],
                                    }
                                },
                            }
                        )
        return alerts

    # -- health ---------------------------------------------------------------------------------------------

    def report(self, categories: Sequence[str] | None) -> dict[str, Any]:
        """The checks of the named categories (all when none is named); an unknown name is refused."""
        known = [c["name"] for c in HEALTH_CATEGORIES]
        wanted = list(categories) if categories else known
        unknown = [c for c in wanted if c not in known]
        if unknown:
            raise bad_request(f"Unknown health categories: {', '.join(unknown)}", "HEALTH_0001")
        report = []
        for category in HEALTH_CATEGORIES:
            if category["name"] in wanted:
                report.append(dict(category, checks=self._checks(category["name"])))
        return {"timestamp": self._clock.now_ms(), "categories": report}

    def _checks(self, category: str) -> list[dict[str, Any]]:
        if category == "RUNTIME":
            threads = threading.active_count()
            return [
                _check("Uptime (s)", (self._clock.now_ms() - self._system.started) // 1000),
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
            running = len(self._runs.active())
            limit = int(self._system.properties.get("pipeline.max.runners.count", "50"))
            alerts = len(self.alerts())
            return [
                _check("Stored pipelines", len(self._pipelines.all())),
                _check("Running pipelines", running, "GREEN" if running < limit else "YELLOW"),
                _check("Alerts", alerts, "GREEN" if not alerts else "YELLOW"),
            ]
        unhealthy = [entry["stageLibraryId"] for entry in self._catalogue.classpath_health() if not entry["healthy"]]
        return [
            _check(
                "Classpath",
                len(unhealthy),
                "YELLOW" if unhealthy else "GREEN",
                ", ".join(unhealthy) and f"Duplicate dependencies in {', '.join(unhealthy)}",
            )
        ]

    # -- support bundles ------------------------------------------------------------------------------------

    def bundle(self, generators: Sequence[str], port: int | str, authentication: str) -> bytes:
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
                f"engine.version={self._info()['version']}\ngenerators={','.join(names)}\ncreated={self._clock.now_ms()}\n",
            )
            for name in names:
                for member, content in self._bundle_members(name, port, authentication):
                    archive.writestr(f"{name}/{member}", content)
        self._log.add("INFO", "SupportBundle", f"Support bundle generated with {', '.join(names)}")
        return buffer.getvalue()

    def _bundle_members(self, generator: str, port: int | str, authentication: str) -> list[tuple[str, str]]:
        def dumps(value: Any) -> str:
            return json.dumps(value, indent=2, sort_keys=True)

        # A pipeline id may hold "/" or "..": keep each one a single, harmless member name.
        def member(pipeline_id: str) -> str:
            return quote(pipeline_id, safe="").replace(".", "%2E")

        if generator == "EngineInfo":
            return [
                ("info.json", dumps(self._info())),
                ("directories.json", dumps(self._system.directories)),
                ("jmx.json", dumps(self._system.jmx())),
            ]
        if generator == "Configuration":
            properties = self._system.configuration(port, authentication)
            return [("velm.properties", "".join(f"{k}={v}\n" for k, v in properties.items()))]
        if generator == "Logs":
            return [("velm.log", self._log.text())]
        pipelines = self._pipelines.all()
        if generator == "Pipelines":
            return [(f"{member(p.pipeline_id)}/pipeline.json", dumps(p.export())) for p in pipelines]
        return [(f"{member(p.pipeline_id)}.json", dumps(self._access.acl(p))) for p in pipelines]
