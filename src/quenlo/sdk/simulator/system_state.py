"""The simulated engine's own information: directories, configuration, users' profiles, usage statistics, JMX
and its log."""

from __future__ import annotations

import copy
import os
import sys
import threading
from collections.abc import Sequence
from typing import Any, Callable

from .access_control import ANONYMOUS
from .catalogue import DEFAULT_REPOSITORY, MIRROR_REPOSITORY
from .clock import Clock
from .enginelog import LOG_PAGE, SEVERITIES, EngineLog, LogEntry
from .errors import EngineError, bad_request
from .runs import Runs
from .store import PipelineStore
from .users import Users

# Names tests and tools have long imported from here.
__all__ = ["ANONYMOUS", "DEFAULT_REPOSITORY", "LOG_PAGE", "MIRROR_REPOSITORY", "SEVERITIES", "SystemState"]


class SystemState:
    """What the engine reports about itself: directories, configuration, profiles, statistics, JMX and its log.

    ``version`` reads the engine's current version; ``users``, ``pipelines`` and ``runs`` are the areas whose
    figures the statistics and JMX report.
    """

    def __init__(
        self,
        lock: threading.RLock,
        clock: Clock,
        log: EngineLog,
        users: Users,
        version: Callable[[], str],
        pipelines: PipelineStore,
        runs: Runs,
    ) -> None:
        self._lock = lock
        self._clock = clock
        self._engine_log = log
        self._users = users
        self._version = version
        self._pipelines = pipelines
        self._runs = runs
        self.started = clock.now_ms()
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

    def change_password(self, path_user: str, user: str | None, document: Any) -> None:
        """Change ``path_user``'s password as ``user`` asks; every refusal is the engine's error."""
        users = self._users
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

    def stats(self) -> dict[str, Any]:
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
                    "engineVersion": self._version(),
                    "pipelineCount": len(self._pipelines.all()),
                    "runningPipelineCount": len(self._runs.active()),
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
            self._stats_changed = self._clock.now_ms()
        self.log("INFO", "StatsCollector", f"Usage statistics switched {'on' if on else 'off'}", user=user)

    # -- JMX ------------------------------------------------------------------------------------------------

    def jmx(self) -> dict[str, Any]:
        """The engine's JMX beans, with live process figures."""
        try:
            import resource

            # ru_maxrss is in kilobytes on Linux and in bytes on macOS.
            rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * (1 if sys.platform == "darwin" else 1024)
        except ImportError:  # not on every platform
            rss = 0
        load = os.getloadavg()[0] if hasattr(os, "getloadavg") else -1.0
        now = self._clock.now_ms()
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
                {"name": "metrics:name=engine.pipelines.stored.gauge", "Value": len(self._pipelines.all())},
                {"name": "metrics:name=engine.pipelines.running.gauge", "Value": len(self._runs.active())},
            ]
        }

    # -- log ------------------------------------------------------------------------------------------------

    def log(
        self, severity: str, category: str, message: str, pipeline: str | None = None, user: str | None = None
    ) -> LogEntry:
        """Append an entry to the engine's log."""
        return self._engine_log.add(severity, category, message, pipeline, user)
