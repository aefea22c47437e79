"""Everything the simulated engine knows, behind one lock.

Route handlers read and change this; tests poke it directly to arrange a
scenario. Every public method takes the lock, so handlers running in the
server's worker threads and the test thread never see half-made changes.

Each area of the engine lives in its own module and is handed, when it is
built here, the lock, the clock and the other areas it reads; no area
imports this module.
"""

from __future__ import annotations

import threading
import uuid
from collections.abc import Mapping, Sequence
from typing import Any, Union

from .access_control import AccessControl
from .catalogue import Catalogue
from .clock import SYSTEM_CLOCK, Clock
from .enginelog import EngineLog
from .health import Health
from .previews import Previews
from .runs import Runs
from .snapshots import Snapshots
from .store import PipelineStore
from .system_state import SystemState
from .users import Users


class _Missing:
    """Marker for a record key that must be left out of the answer."""

    def __repr__(self) -> str:
        return "MISSING"

    def __bool__(self) -> bool:
        return False


#: Use as a value in a scripted record to drop that key from the answer.
MISSING = _Missing()

StatusEntry = Union[str, Mapping[str, Any]]


def strip_missing(record: Mapping[str, Any]) -> dict[str, Any]:
    """Copy ``record`` without the keys whose value is :data:`MISSING`."""
    return {k: v for k, v in record.items() if v is not MISSING}


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
        clock: Clock = SYSTEM_CLOCK,
    ) -> None:
        self.lock = threading.RLock()
        self.clock = clock
        self.version = version
        self.sdk_id = str(uuid.uuid4())
        self.built_date = "2024-01-01T00:00:00Z"
        self.users = Users(self.lock)
        for name, password in (users or {}).items():
            self.users.add_user(name, password)
        self._status_scripts: dict[str, _StatusScript] = {}
        lock = self.lock
        self.log = EngineLog(lock, clock)
        self.pipelines = PipelineStore(lock, clock)
        self.runs = Runs(lock, self.pipelines, wall=clock)
        self.previews = Previews(lock, clock)
        self.snapshots = Snapshots(lock, clock)
        self.catalogue = Catalogue(lock)
        self.access = AccessControl(lock, clock, self.log)
        self.system = SystemState(lock, clock, self.log, self.users, self._current_version, self.pipelines, self.runs)
        self.health = Health(
            clock, self.log, self.info, self.pipelines, self.runs, self.catalogue, self.system, self.access
        )

    def _current_version(self) -> str:
        return self.version

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
            "timeStamp": self.clock.now_ms(),
            "attributes": {},
        }
        record.update(entry)
        return strip_missing(record)
