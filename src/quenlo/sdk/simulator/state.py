"""Everything the simulated engine knows, behind one lock.

Route handlers read and change this; tests poke it directly to arrange a
scenario. Every public method takes the lock, so handlers running in the
server's worker threads and the test thread never see half-made changes.
"""

from __future__ import annotations

import secrets
import threading
import time
import uuid
from collections.abc import Mapping, Sequence
from typing import Any, Union

from .previews import Previews, Snapshots
from .runs import Runs
from .store import PipelineStore
from .system_state import SystemState


class _Missing:
    """Marker for a record key that must be left out of the answer."""

    def __repr__(self) -> str:
        return "MISSING"

    def __bool__(self) -> bool:
        return False


#: Use as a value in a scripted record to drop that key from the answer.
MISSING = _Missing()

StatusEntry = Union[str, Mapping[str, Any]]


def now_ms() -> int:
    """The engine's timestamps are milliseconds since the epoch."""
    return int(time.time() * 1000)


def strip_missing(record: Mapping[str, Any]) -> dict[str, Any]:
    """Copy ``record`` without the keys whose value is :data:`MISSING`."""
    return {k: v for k, v in record.items() if v is not MISSING}


class Users:
    """Accounts and login sessions. Authentication is on while any user exists."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._passwords: dict[str, str] = {}
        self._sessions: dict[str, str] = {}

    def add_user(self, name: str, password: str) -> None:
        """Create ``name`` or change its password; existing sessions stay valid."""
        with self._lock:
            self._passwords[name] = password

    set_password = add_user

    def remove_user(self, name: str) -> None:
        """Delete the account and end its sessions."""
        with self._lock:
            self._passwords.pop(name, None)
            for token in [t for t, u in self._sessions.items() if u == name]:
                del self._sessions[token]

    @property
    def required(self) -> bool:
        """Whether requests must authenticate."""
        with self._lock:
            return bool(self._passwords)

    def names(self) -> list[str]:
        """Names of all accounts."""
        with self._lock:
            return list(self._passwords)

    def __contains__(self, name: object) -> bool:
        with self._lock:
            return name in self._passwords

    def check(self, name: str, password: str) -> bool:
        """Whether the credentials match the account's current password."""
        with self._lock:
            expected = self._passwords.get(name)
        return expected is not None and secrets.compare_digest(expected.encode(), password.encode())

    def open_session(self, name: str) -> str:
        """Start a session for ``name`` and return its cookie token."""
        token = secrets.token_hex(16)
        with self._lock:
            self._sessions[token] = name
        return token

    def session_user(self, token: str) -> str | None:
        """The user a session token belongs to, if it is still valid."""
        with self._lock:
            return self._sessions.get(token)

    def end_sessions(self) -> None:
        """Forget every session, forcing clients to send credentials again."""
        with self._lock:
            self._sessions.clear()


class _StatusScript:
    def __init__(self, entries: Sequence[StatusEntry]) -> None:
        self.entries = list(entries)
        self.reads = 0

    def next(self) -> StatusEntry:
        entry = self.entries[min(self.reads, len(self.entries) - 1)]
        self.reads += 1
        return entry


class EngineState:
    """The simulated engine's state: version, users, pipelines."""

    def __init__(
        self,
        version: str = "5.6.0",
        users: Mapping[str, str] | None = None,
    ) -> None:
        self.lock = threading.RLock()
        self.version = version
        self.sdk_id = str(uuid.uuid4())
        self.built_date = "2024-01-01T00:00:00Z"
        self.users = Users(self.lock)
        for name, password in (users or {}).items():
            self.users.add_user(name, password)
        self._status_scripts: dict[str, _StatusScript] = {}
        # Each area of the engine keeps its own state in its own module.
        self.pipelines = PipelineStore(self.lock)
        self.runs = Runs(self.lock, self.pipelines)
        self.previews = Previews(self.lock)
        self.snapshots = Snapshots(self.lock)
        self.system = SystemState(self.lock)

    # -- engine information -------------------------------------------------

    def info(self) -> dict[str, Any]:
        """The engine information record served by ``system/info``."""
        with self.lock:
            return {
                "version": self.version,
                "builtBy": "simulator",
                "builtDate": self.built_date,
                "builtRepoSha": "0" * 40,
                "sourceMd5Checksum": "0" * 32,
                "sdkId": self.sdk_id,
            }

    # -- pipeline status ----------------------------------------------------

    def script_status(self, pipeline_id: str, statuses: Sequence[StatusEntry]) -> None:
        """Make successive status reads of ``pipeline_id`` return ``statuses``.

        Each entry is a status name or a (partial) status record; after the
        last entry the last one keeps being returned.
        """
        if not statuses:
            raise ValueError("at least one status is needed")
        with self.lock:
            self._status_scripts[pipeline_id] = _StatusScript(statuses)

    def has_pipeline(self, pipeline_id: str) -> bool:
        """Whether the engine knows ``pipeline_id`` (scripted or stored)."""
        with self.lock:
            return pipeline_id in self._status_scripts or pipeline_id in self.pipelines

    def status_reads(self, pipeline_id: str) -> int:
        """How many times the status of ``pipeline_id`` has been read."""
        with self.lock:
            script = self._status_scripts.get(pipeline_id)
            return script.reads if script else 0

    def read_status(self, pipeline_id: str, rev: str = "0") -> dict[str, Any] | None:
        """The status record of ``pipeline_id``; None if unknown.

        A scripted status wins (the script advances one step per read); otherwise the latest run
        answers, and a stored pipeline that never ran is EDITED.
        """
        with self.lock:
            script = self._status_scripts.get(pipeline_id)
            if script is None:
                run_record = self.runs.status(pipeline_id)
                if run_record is not None:
                    return run_record
                if pipeline_id not in self.pipelines:
                    return None
                entry: StatusEntry = "EDITED"
            else:
                entry = script.next()
        if isinstance(entry, str):
            entry = {"status": entry}
        record: dict[str, Any] = {
            "pipelineId": pipeline_id,
            "name": pipeline_id,
            "rev": rev,
            "status": "EDITED",
            "message": None,
            "timeStamp": now_ms(),
            "attributes": {},
        }
        record.update(entry)
        return strip_missing(record)
