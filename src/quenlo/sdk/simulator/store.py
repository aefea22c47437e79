"""The simulated engine's pipeline store: definitions, revisions, labels, rules, and fragments.

A stored pipeline is kept in the engine's export form: ``pipelineConfig`` (the definition, with its ``stages``)
and ``pipelineRules``. Other areas of the simulator (runs, previews, access control) look pipelines up here, and
:meth:`StoredPipeline.issues` is the one verdict on whether a pipeline is valid that every area follows.
Every method that can fail raises :class:`EngineError` with the engine's status and error text, so route
handlers stay thin.
"""

from __future__ import annotations

import copy
import io
import json
import threading
import uuid
import zipfile
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Callable

from .clock import SYSTEM_CLOCK, Clock
from .errors import EngineError, bad_request
from .records import issues_document, pipeline_issues
from .samples import SCHEMA_VERSION, default_rules, pipeline_config, sample_pipeline, sample_stages, stage

# The document builders have long been imported from here too.
__all__ = [
    "PipelineStore",
    "StoredFragment",
    "StoredPipeline",
    "default_rules",
    "pipeline_config",
    "sample_pipeline",
    "sample_stages",
    "stage",
]


def no_such_pipeline(pipeline_id: str) -> EngineError:
    """The engine's answer for an id it does not know."""
    return EngineError(404, f"Pipeline '{pipeline_id}' does not exist", "CONTAINER_0200")


def already_exists(pipeline_id: str) -> EngineError:
    """The engine's answer when an id is taken."""
    return EngineError(400, f"Pipeline '{pipeline_id}' already exists", "CONTAINER_0201")


@dataclass
class StoredPipeline:
    """One pipeline in the store."""

    pipeline_id: str
    title: str
    description: str = ""
    pipeline_type: str = "HARVEL"
    rev: int = 0
    config: dict[str, Any] = field(default_factory=dict)
    rules: dict[str, Any] = field(default_factory=dict)
    labels: list[str] = field(default_factory=list)
    created: int = field(default_factory=SYSTEM_CLOCK.now_ms)
    last_modified: int = field(default_factory=SYSTEM_CLOCK.now_ms)
    #: Set by a test to make validation report these issues (``{"pipelineIssues": [...], ...}``).
    invalid_issues: dict[str, Any] | None = None
    #: Earlier definitions by revision number; the current one is ``config`` at ``rev``.
    revisions: dict[int, dict[str, Any]] = field(default_factory=dict)

    @property
    def stages(self) -> list[dict[str, Any]]:
        """The stage definitions, in pipeline order."""
        return list(self.config.get("stages") or [])

    def info(self) -> dict[str, Any]:
        """The pipeline information record the engine lists."""
        return {
            "pipelineId": self.pipeline_id,
            "name": self.pipeline_id,
            "title": self.title,
            "description": self.description,
            "pipelineType": self.pipeline_type,
            "created": self.created,
            "lastModified": self.last_modified,
            "creator": "admin",
            "lastModifier": "admin",
            "lastRev": str(self.rev),
            "uuid": self.config.get("uuid"),
            "valid": self.issues() is None,
            "metadata": {"labels": list(self.labels)},
        }

    def config_at(self, rev: int) -> dict[str, Any]:
        """The definition of revision ``rev`` (0 means the current one, what clients send by default), with its
        validity and issues as the engine judges them now."""
        if rev in (0, self.rev):
            source = self.config
        elif rev in self.revisions:
            source = self.revisions[rev]
        else:
            raise EngineError(404, f"Pipeline '{self.pipeline_id}' has no revision {rev}", "CONTAINER_0203")
        config = copy.deepcopy(source)
        issues = self.issues(source)
        config["valid"] = config["previewable"] = issues is None
        config["issues"] = issues if issues is not None else issues_document(None)
        if isinstance(config.get("info"), dict):
            config["info"]["valid"] = issues is None
        return config

    def issues(self, config: Mapping[str, Any] | None = None) -> dict[str, Any] | None:
        """What keeps the pipeline (or the definition ``config`` of one of its revisions) from running, or None.

        A test can set :attr:`invalid_issues`; otherwise a definition without stages is the one issue found.
        """
        if config is None:
            return pipeline_issues(self.stages, self.invalid_issues)
        stages = config.get("stages") or []
        return pipeline_issues(stages, self.invalid_issues if config is self.config else None)

    def revise(self, config: Mapping[str, Any], description: str | None = None, stamp: int | None = None) -> None:
        """Make ``config`` the next revision, keeping the current one readable by its number."""
        self.revisions[self.rev] = copy.deepcopy(self.config)
        self.rev += 1
        if description is not None:
            self.description = description
        self.title = str(config.get("title") or self.title)
        self.config = _normalized(config, self.pipeline_id, self.title, self.description, self.pipeline_type)
        self.labels = list(self.config["metadata"]["labels"])
        self.last_modified = SYSTEM_CLOCK.now_ms() if stamp is None else stamp

    def history(self) -> list[dict[str, Any]]:
        """One information record per revision, newest first."""
        revisions = sorted([*self.revisions, self.rev], reverse=True)
        return [{**self.info(), "rev": str(rev), "current": rev == self.rev} for rev in revisions]

    def export(
        self, include_library_definitions: bool = False, include_plain_text_credentials: bool = True, rev: int = 0
    ) -> dict[str, Any]:
        """The pipeline (revision ``rev``, 0 for the current one) in the engine's export form."""
        config = self.config_at(rev)
        if not include_plain_text_credentials:
            _mask_credentials(config)
        return {
            "pipelineConfig": config,
            "pipelineRules": copy.deepcopy(self.rules),
            "libraryDefinitions": _library_definitions(config) if include_library_definitions else None,
            "info": self.info(),
        }


@dataclass
class StoredFragment:
    """One pipeline fragment in the store."""

    fragment_id: str
    title: str
    description: str = ""
    execution_mode: str = "STANDALONE"
    stages: list[dict[str, Any]] = field(default_factory=list)
    rules: dict[str, Any] = field(default_factory=default_rules)
    created: int = field(default_factory=SYSTEM_CLOCK.now_ms)

    def config(self) -> dict[str, Any]:
        """The fragment definition (the ``pipelineFragmentConfig`` member of an export)."""
        return {
            "schemaVersion": SCHEMA_VERSION,
            "version": 1,
            "fragmentId": self.fragment_id,
            "title": self.title,
            "description": self.description,
            "uuid": str(uuid.uuid5(uuid.NAMESPACE_OID, self.fragment_id)),
            "configuration": [{"name": "executionMode", "value": self.execution_mode}],
            "stages": copy.deepcopy(self.stages),
            "info": {
                "fragmentId": self.fragment_id,
                "title": self.title,
                "description": self.description,
                "created": self.created,
            },
        }

    def export(self) -> dict[str, Any]:
        """The fragment in the engine's export form."""
        return {
            "pipelineFragmentConfig": self.config(),
            "pipelineRules": copy.deepcopy(self.rules),
            "libraryDefinitions": None,
        }


#: ``orderBy`` values the listing understands, with the key each sorts on.
ORDER_KEYS: dict[str, Callable[[StoredPipeline], Any]] = {
    "NAME": lambda p: p.pipeline_id.lower(),
    "TITLE": lambda p: p.title.lower(),
    "CREATED": lambda p: p.created,
    "LAST_MODIFIED": lambda p: p.last_modified,
}


class PipelineStore:
    """The stored pipelines and fragments, by id, behind the engine's lock."""

    def __init__(self, lock: threading.RLock, clock: Clock = SYSTEM_CLOCK) -> None:
        self._lock = lock
        self._clock = clock
        self._pipelines: dict[str, StoredPipeline] = {}
        self._fragments: dict[str, StoredFragment] = {}

    def new_id(self, title: str, auto_generate: bool) -> str:
        """The id the engine makes for ``title``: the title, or the title without white space plus a UUID."""
        if auto_generate:
            return "".join(title.split()) + str(uuid.uuid4())
        return title

    def add(self, pipeline: StoredPipeline) -> StoredPipeline:
        """Store ``pipeline`` under its id, replacing any pipeline of that id."""
        with self._lock:
            self._pipelines[pipeline.pipeline_id] = pipeline
        return pipeline

    def get(self, pipeline_id: str) -> StoredPipeline:
        """The stored pipeline; 404 (the engine's error) when unknown."""
        with self._lock:
            pipeline = self._pipelines.get(pipeline_id)
        if pipeline is None:
            raise no_such_pipeline(pipeline_id)
        return pipeline

    def find(self, pipeline_id: str) -> StoredPipeline | None:
        """The stored pipeline, or None."""
        with self._lock:
            return self._pipelines.get(pipeline_id)

    def __contains__(self, pipeline_id: object) -> bool:
        with self._lock:
            return pipeline_id in self._pipelines

    def remove(self, pipeline_id: str) -> StoredPipeline:
        """Delete a pipeline; 404 when unknown."""
        with self._lock:
            pipeline = self._pipelines.pop(pipeline_id, None)
        if pipeline is None:
            raise no_such_pipeline(pipeline_id)
        return pipeline

    def all(self) -> list[StoredPipeline]:
        """Every stored pipeline, in insertion order."""
        with self._lock:
            return list(self._pipelines.values())

    # -- create, update, list -------------------------------------------------

    def create(
        self,
        title: str,
        description: str = "",
        auto_generate: bool = False,
        draft: bool = False,
        pipeline_type: str = "HARVEL",
    ) -> StoredPipeline:
        """Make an empty pipeline titled ``title``; a draft is made but not stored."""
        pipeline_id = self.new_id(title, auto_generate)
        pipeline = StoredPipeline(
            pipeline_id,
            title,
            description,
            pipeline_type,
            config=pipeline_config(pipeline_id, title, description, pipeline_type),
            rules=default_rules(),
            created=self._clock.now_ms(),
            last_modified=self._clock.now_ms(),
        )
        if draft:
            return pipeline
        with self._lock:
            if pipeline_id in self._pipelines:
                raise already_exists(pipeline_id)
            return self.add(pipeline)

    def update(self, pipeline_id: str, definition: Any, description: str | None = None) -> StoredPipeline:
        """Make ``definition`` (a configuration, or an export holding one) the pipeline's next revision."""
        config = _definition(definition)
        with self._lock:
            pipeline = self.get(pipeline_id)
            pipeline.revise(config, description, stamp=self._clock.now_ms())
            return pipeline

    def listing(
        self,
        filter_text: str | None = None,
        label: str | None = None,
        offset: int = 0,
        length: int = -1,
        order_by: str = "NAME",
        order: str = "ASC",
        status_of: Callable[[str], str] | None = None,
    ) -> list[StoredPipeline]:
        """The pipelines a listing shows: filtered on title or id and label, ordered, then paged."""
        key = ORDER_KEYS.get(order_by)
        if order_by == "STATUS" and status_of is not None:

            def key(p: StoredPipeline) -> Any:
                return status_of(p.pipeline_id)

        if key is None:
            raise bad_request(f"Invalid orderBy '{order_by}'")
        if order not in ("ASC", "DESC"):
            raise bad_request(f"Invalid order '{order}'")
        wanted = (filter_text or "").lower()
        chosen = [
            p
            for p in self.all()
            if (wanted in p.title.lower() or wanted in p.pipeline_id.lower()) and (label is None or label in p.labels)
        ]
        chosen.sort(key=lambda p: (key(p), p.pipeline_id), reverse=order == "DESC")
        chosen = chosen[max(offset, 0) :]
        return chosen if length < 0 else chosen[:length]

    # -- import and export ------------------------------------------------------

    def import_pipeline(
        self, pipeline_id: str, envelope: Any, overwrite: bool = False, draft: bool = False, auto_generate: bool = False
    ) -> StoredPipeline:
        """Store a pipeline from its export form under ``pipeline_id`` (or a generated id)."""
        if not isinstance(envelope, dict) or not isinstance(envelope.get("pipelineConfig"), dict):
            raise bad_request("An imported pipeline needs a 'pipelineConfig' object")
        config = _definition(envelope["pipelineConfig"])
        title = str(config.get("title") or pipeline_id)
        new_id = self.new_id(title, True) if auto_generate else pipeline_id
        info: dict[str, Any] = config["info"] if isinstance(config.get("info"), dict) else {}
        description = str(config.get("description") or info.get("description") or "")
        pipeline_type = str(info.get("pipelineType") or "HARVEL")
        rules = envelope.get("pipelineRules")
        with self._lock:
            existing = self._pipelines.get(new_id)
            if existing is not None and not draft:
                if not overwrite:
                    raise already_exists(new_id)
                existing.revise(config, description, stamp=self._clock.now_ms())
                if isinstance(rules, dict):
                    existing.rules = copy.deepcopy(rules)
                return existing
            pipeline = StoredPipeline(
                new_id,
                title,
                description,
                pipeline_type,
                config=_normalized(config, new_id, title, description, pipeline_type),
                rules=copy.deepcopy(rules) if isinstance(rules, dict) else default_rules(),
                created=self._clock.now_ms(),
                last_modified=self._clock.now_ms(),
            )
            pipeline.labels = list(pipeline.config["metadata"]["labels"])
            return pipeline if draft else self.add(pipeline)

    def export_archive(
        self,
        pipeline_ids: Iterable[str],
        include_library_definitions: bool = False,
        include_plain_text_credentials: bool = True,
    ) -> bytes:
        """A ZIP archive with one ``<id>.json`` export per pipeline; 404 if any is unknown."""
        exports = [
            (pid, self.get(pid).export(include_library_definitions, include_plain_text_credentials))
            for pid in pipeline_ids
        ]
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            for pid, export in exports:
                archive.writestr(f"{pid}.json", json.dumps(export))
        return buffer.getvalue()

    def import_archive(self, data: bytes) -> dict[str, Any]:
        """Import every ``.json`` export of a ZIP archive; entries that fail are reported, not fatal."""
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
        except zipfile.BadZipFile:
            raise bad_request("The uploaded file is not a ZIP archive") from None
        imported: list[dict[str, Any]] = []
        errors: list[str] = []
        with archive:
            for name in archive.namelist():
                if not name.endswith(".json"):
                    continue
                try:
                    envelope = json.loads(archive.read(name))
                    config = envelope.get("pipelineConfig") if isinstance(envelope, dict) else None
                    stem = name.rsplit("/", 1)[-1][: -len(".json")]
                    pipeline_id = str((config or {}).get("pipelineId") or stem)
                    imported.append(self.import_pipeline(pipeline_id, envelope).export())
                except EngineError as error:
                    errors.append(f"{name}: {error.message}")
                except ValueError as error:
                    errors.append(f"{name}: not JSON ({error})")
        return {"successEntities": imported, "errorMessages": errors}

    # -- fragments ----------------------------------------------------------------

    def create_fragment(
        self,
        title: str,
        description: str = "",
        draft: bool = False,
        execution_mode: str | None = None,
        definition: Any = None,
    ) -> StoredFragment:
        """Make a fragment titled ``title``, with the stages of ``definition`` if given."""
        stages: list[dict[str, Any]] = []
        if definition is not None:
            if not isinstance(definition, dict) or not isinstance(definition.get("stages", []), list):
                raise bad_request("A fragment body must be an object whose 'stages' is a list")
            stages = copy.deepcopy(definition.get("stages", []))
        fragment = StoredFragment(
            self.new_id(title, True),
            title,
            description,
            execution_mode or "STANDALONE",
            stages,
            created=self._clock.now_ms(),
        )
        if not draft:
            with self._lock:
                self._fragments[fragment.fragment_id] = fragment
        return fragment

    def import_fragment(self, fragment_id: str, envelope: Any, draft: bool = False) -> StoredFragment:
        """Store a fragment from its export form under ``fragment_id``, replacing one of that id."""
        if not isinstance(envelope, dict) or not isinstance(envelope.get("pipelineFragmentConfig"), dict):
            raise bad_request("An imported fragment needs a 'pipelineFragmentConfig' object")
        config = envelope["pipelineFragmentConfig"]
        stages = config.get("stages", [])
        if not isinstance(stages, list):
            raise bad_request("A fragment's 'stages' must be a list")
        rules = envelope.get("pipelineRules")
        fragment = StoredFragment(
            fragment_id,
            str(config.get("title") or fragment_id),
            str(config.get("description") or ""),
            stages=copy.deepcopy(stages),
            rules=copy.deepcopy(rules) if isinstance(rules, dict) else default_rules(),
            created=self._clock.now_ms(),
        )
        if not draft:
            with self._lock:
                self._fragments[fragment_id] = fragment
        return fragment

    def fragment(self, fragment_id: str) -> StoredFragment:
        """The stored fragment; 404 when unknown."""
        with self._lock:
            fragment = self._fragments.get(fragment_id)
        if fragment is None:
            raise EngineError(404, f"Fragment '{fragment_id}' does not exist", "CONTAINER_0200")
        return fragment

    def fragments(self) -> list[StoredFragment]:
        """Every stored fragment, in insertion order."""
        with self._lock:
            return list(self._fragments.values())


def _definition(definition: Any) -> dict[str, Any]:
    """The configuration inside ``definition`` (bare or in export form); 400 when it is not one."""
    if isinstance(definition, dict) and isinstance(definition.get("pipelineConfig"), dict):
        definition = definition["pipelineConfig"]
    if not isinstance(definition, dict):
        raise bad_request("A pipeline definition must be a JSON object")
    if not isinstance(definition.get("stages", []), list):
        raise bad_request("A pipeline definition's 'stages' must be a list")
    return definition


def _normalized(
    config: Mapping[str, Any], pipeline_id: str, title: str, description: str, pipeline_type: str
) -> dict[str, Any]:
    """``config`` as the store keeps it: its id, title and info made consistent, and a fresh uuid."""
    stored = pipeline_config(pipeline_id, title, description, pipeline_type)
    stored.update(copy.deepcopy(dict(config)))
    stored.update(pipelineId=pipeline_id, title=title, description=description, uuid=str(uuid.uuid4()))
    info: dict[str, Any] = stored["info"] if isinstance(stored.get("info"), dict) else {}
    stored["info"] = {
        **info,
        "pipelineId": pipeline_id,
        "title": title,
        "description": description,
        "pipelineType": pipeline_type,
    }
    metadata: dict[str, Any] = stored["metadata"] if isinstance(stored.get("metadata"), dict) else {}
    labels: list[Any] = metadata["labels"] if isinstance(metadata.get("labels"), list) else []
    stored["metadata"] = {**metadata, "labels": [str(label) for label in labels]}
    return stored


def _mask_credentials(config: dict[str, Any]) -> None:
    # Configuration values whose name says they are secret are not exported in clear text.
    for holder in [config, *config.get("stages", [])]:
        for entry in holder.get("configuration") or []:
            if isinstance(entry, dict) and any(
                w in str(entry.get("name", "")).lower() for w in ("password", "secret", "credential", "token")
            ):
                entry["value"] = "********"


def _library_definitions(config: Mapping[str, Any]) -> dict[str, Any]:
    seen: dict[tuple[str, str], dict[str, Any]] = {}
    for stage_def in config.get("stages", []):
        key = (stage_def.get("library", ""), stage_def.get("stageName", ""))
        seen.setdefault(key, {"library": key[0], "name": key[1], "version": stage_def.get("stageVersion")})
    return {"schemaVersion": 1, "stages": list(seen.values())}
