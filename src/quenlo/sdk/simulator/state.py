"""Everything the simulated engine knows: its stateful areas, which share one :class:`Context` (lock, clock,
engine log), and the registry of canned documents. Route handlers read and change it; tests arrange it."""

from __future__ import annotations

import io
import json
import uuid
import zipfile
from collections.abc import Mapping, Sequence
from typing import Any, Union
from urllib.parse import quote

from .access_control import AccessControl
from .canned import MAIN_LIBRARIES, Documents
from .clock import SYSTEM_CLOCK, Clock
from .context import Context, bad_request
from .previews import Previews
from .runs import Runs
from .snapshots import Snapshots
from .store import PipelineStore
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


class _StatusScript:
    def __init__(self, entries: Sequence[StatusEntry]) -> None:
        self.entries = list(entries)
        self.reads = 0

    def next(self) -> StatusEntry:
        entry = self.entries[min(self.reads, len(self.entries) - 1)]
        self.reads += 1
        return entry


class EngineState:
    """The simulated engine's state: version, users, pipelines, runs, previews, snapshots, canned documents."""

    def __init__(self, version: str = "5.6.0", users: Mapping[str, str] | None = None, clock: Clock = SYSTEM_CLOCK):
        self.context = Context(clock)
        self.lock = self.context.lock
        self.clock = clock
        self.log = self.context.log
        self.version = version
        self.engine_id = str(uuid.uuid4())
        self.documents = Documents(version)
        self.users = Users(self.context)
        for name, password in (users or {}).items():
            self.users.add_user(name, password)
        self._status_scripts: dict[str, _StatusScript] = {}
        self.pipelines = PipelineStore(self.context)
        self.runs = Runs(self.context, self.pipelines)
        self.previews = Previews(self.context)
        self.snapshots = Snapshots(self.context)
        self.access = AccessControl(self.context)
        self.log.add("INFO", "engine", f"Engine {version} started")

    def info(self) -> dict[str, Any]:
        """The information record served by ``system/info``: the canned one, with this engine's version and id."""
        record: dict[str, Any] = self.documents["info"]
        record.update(version=self.version, engineId=self.engine_id)
        return record

    def libraries(self, repository: str | None, installed_only: bool) -> list[dict[str, Any]]:
        """The stage libraries of a repository (the default one when none is named)."""
        repositories = self.documents["libraries"]
        found = repositories.get(repository or MAIN_LIBRARIES)
        if found is None:
            raise bad_request(f"Unknown stage library repository '{repository}'", "LIBRARY_REPOSITORY")
        return [lib for lib in found if lib.get("installed") or not installed_only]

    def health_report(self, categories: Sequence[str]) -> dict[str, Any]:
        """The checks of the named categories (all when none is named); an unknown name is refused."""
        known = self.documents["health_categories"]
        names = [c["name"] for c in known]
        unknown = [c for c in categories if c not in names]
        if unknown:
            raise bad_request(f"Unknown health categories: {', '.join(unknown)}", "HEALTH_CATEGORY")
        checks = self.documents["health_checks"]
        chosen = [dict(c, checks=checks.get(c["name"], [])) for c in known if not categories or c["name"] in categories]
        return {"time": self.clock.now_ms(), "categories": chosen}

    def bundle(self, generators: Sequence[str]) -> bytes:
        """A ZIP archive with a folder per named generator (the default ones when none is named)."""
        known = {g["id"]: g for g in self.documents["bundle_generators"]}
        names = list(dict.fromkeys(generators)) or [g for g, entry in known.items() if entry.get("default")]
        unknown = [name for name in names if name not in known]
        if unknown:
            raise bad_request(f"Unknown bundle generators: {', '.join(unknown)}", "BUNDLE_GENERATOR")

        pipelines = self.pipelines.all()
        # A pipeline id may hold "/" or "..": each one stays a single, harmless member name.
        names_of = [quote(p.pipeline_id, safe="").replace(".", "%2E") + ".json" for p in pipelines]
        settings = "".join(f"{k}={v}\n" for k, v in self.documents["configuration"].items())
        contents: dict[str, list[tuple[str, Any]]] = {
            "info": [(f"{name}.json", self.documents[name]) for name in ("info", "directories", "jmx")],
            "configuration": [("velm.properties", settings)],
            "logs": [("velm.log", self.log.text())],
            "pipelines": [(name, p.export()) for name, p in zip(names_of, pipelines)],
            "acl": [(name, self.access.acl(p)) for name, p in zip(names_of, pipelines)],
        }
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("bundle.properties", f"engine.version={self.version}\ngenerators={','.join(names)}\n")
            for name in names:
                for path, content in contents.get(name, []):
                    text = content if isinstance(content, str) else json.dumps(content, indent=2, sort_keys=True)
                    archive.writestr(f"{name}/{path}", text)
        self.log.add("INFO", "bundle", f"Support bundle generated with {', '.join(names)}")
        return buffer.getvalue()

    def script_status(self, pipeline_id: str, statuses: Sequence[StatusEntry]) -> None:
        """Make successive status reads of ``pipeline_id`` return ``statuses`` (names or partial status records);
        after the last entry the last one keeps being returned."""
        if not statuses:
            raise ValueError("at least one status is needed")
        with self.lock:
            self._status_scripts[pipeline_id] = _StatusScript(statuses)

    def status_reads(self, pipeline_id: str) -> int:
        """How many times the status of ``pipeline_id`` has been read."""
        with self.lock:
            script = self._status_scripts.get(pipeline_id)
            return script.reads if script else 0

    def read_status(self, pipeline_id: str, rev: str = "0") -> dict[str, Any] | None:
        """The status record of ``pipeline_id``, None if unknown: a scripted status (one step per read), else the
        latest run's, else EDITED for a stored pipeline."""
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
        record: dict[str, Any] = {"pipelineId": pipeline_id, "name": pipeline_id, "rev": rev, "status": "EDITED"}
        record.update({"message": None, "user": None, "changed": self.clock.now_ms(), "parameters": {}}, **entry)
        return {k: v for k, v in record.items() if v is not MISSING}
