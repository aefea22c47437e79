"""The pipeline store: definitions, revisions, labels, rules, and fragments.

:meth:`StoredPipeline.issues` is the one verdict on whether a pipeline is valid that every area follows. Methods
that can fail raise :class:`EngineError` with the engine's status and error document.
"""

from __future__ import annotations

import copy
import io
import json
import uuid
import zipfile
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Callable

from .context import Context, EngineError, bad_request, not_found
from .documents import FORMAT, default_rules, issues_document, pipeline_definition, pipeline_issues


def _already_exists(pipeline_id: str) -> EngineError:
    return bad_request(f"Pipeline '{pipeline_id}' already exists", "PIPELINE_EXISTS")


@dataclass
class StoredPipeline:
    """One pipeline in the store."""

    pipeline_id: str
    title: str
    description: str = ""
    pipeline_type: str = "HARVEL"
    rev: int = 0
    definition: dict[str, Any] = field(default_factory=dict)
    rules: dict[str, Any] = field(default_factory=default_rules)
    labels: list[str] = field(default_factory=list)
    created: int = 0
    edited: int = 0
    author: str = "admin"
    editor: str = "admin"
    #: Set by a test to make the engine report these issues (``{"pipeline": [...], "stages": {...}}``).
    invalid_issues: dict[str, Any] | None = None
    #: Earlier definitions by revision number; the current one is ``definition`` at ``rev``.
    revisions: dict[int, dict[str, Any]] = field(default_factory=dict)

    @property
    def stages(self) -> list[dict[str, Any]]:
        """The stages, in pipeline order."""
        return list(self.definition.get("stages") or [])

    def info(self) -> dict[str, Any]:
        """The information record the engine lists."""
        info: dict[str, Any] = {"pipelineId": self.pipeline_id, "name": self.pipeline_id, "title": self.title}
        info["rev"] = str(self.rev)
        info.update(description=self.description, type=self.pipeline_type, uuid=self.definition.get("uuid"))
        info.update(valid=self.issues() is None, labels=list(self.labels), author=self.author, editor=self.editor)
        return info | {"created": self.created, "edited": self.edited}

    def definition_at(self, rev: int) -> dict[str, Any]:
        """The definition of revision ``rev`` (0: the current one), with the engine's verdict on it now."""
        if rev in (0, self.rev):
            source = self.definition
        elif rev in self.revisions:
            source = self.revisions[rev]
        else:
            raise not_found(f"Pipeline '{self.pipeline_id}' has no revision {rev}", "PIPELINE_REVISION")
        definition = copy.deepcopy(source)
        issues = self.issues(source)
        definition["valid"] = issues is None
        definition["issues"] = issues if issues is not None else issues_document(None)
        definition.update(created=self.created, edited=self.edited)
        return definition

    def issues(self, definition: Mapping[str, Any] | None = None) -> dict[str, Any] | None:
        """What keeps the pipeline (or one of its revisions' ``definition``) from running, or None."""
        if definition is None or definition is self.definition:
            return pipeline_issues(self.stages, self.invalid_issues)
        return pipeline_issues(definition.get("stages") or [], None)

    def revise(self, definition: Mapping[str, Any], description: str | None, stamp: int, user: str | None) -> None:
        """Make ``definition`` the next revision, keeping the current one readable by its number."""
        self.revisions[self.rev] = copy.deepcopy(self.definition)
        self.rev += 1
        if description is not None:
            self.description = description
        self.title = str(definition.get("title") or self.title)
        self.definition = _normalized(definition, self)
        self.labels = list(self.definition["labels"])
        self.edited, self.editor = stamp, user or self.editor

    def history(self) -> list[dict[str, Any]]:
        """One information record per revision, newest first."""
        revisions = sorted([*self.revisions, self.rev], reverse=True)
        return [{**self.info(), "rev": str(rev), "current": rev == self.rev} for rev in revisions]

    def export(self, libraries: bool = False, plain_text_credentials: bool = True, rev: int = 0) -> dict[str, Any]:
        """The pipeline (revision ``rev``, 0 for the current one) in export form."""
        definition = self.definition_at(rev)
        if not plain_text_credentials:
            _mask_credentials(definition)
        return {
            "definition": definition,
            "rules": copy.deepcopy(self.rules),
            "libraries": _libraries(definition) if libraries else None,
        }


#: ``orderBy`` values the listing understands, with the key each sorts on.
ORDER_KEYS: dict[str, Callable[[StoredPipeline], Any]] = {
    "NAME": lambda p: p.pipeline_id.lower(),
    "TITLE": lambda p: p.title.lower(),
    "CREATED": lambda p: p.created,
    "LAST_MODIFIED": lambda p: p.edited,
}


class PipelineStore:
    """The stored pipelines and fragments, by id, behind the engine's lock."""

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        self._pipelines: dict[str, StoredPipeline] = {}
        self._fragments: dict[str, dict[str, Any]] = {}

    def new_id(self, title: str, auto_generate: bool) -> str:
        """The id the engine makes for ``title``: the title, or the title without white space plus a UUID."""
        return "".join(title.split()) + str(uuid.uuid4()) if auto_generate else title

    def add(self, pipeline: StoredPipeline) -> StoredPipeline:
        """Store ``pipeline`` under its id, replacing any pipeline of that id."""
        with self._ctx.lock:
            self._pipelines[pipeline.pipeline_id] = pipeline
        return pipeline

    def get(self, pipeline_id: str, remove: bool = False) -> StoredPipeline:
        """The stored pipeline (taken out of the store with ``remove``); 404 (the engine's error) when unknown."""
        with self._ctx.lock:
            pipeline = self._pipelines.pop(pipeline_id, None) if remove else self._pipelines.get(pipeline_id)
        if pipeline is None:
            raise not_found(f"Pipeline '{pipeline_id}' does not exist", "PIPELINE_UNKNOWN")
        return pipeline

    def find(self, pipeline_id: str) -> StoredPipeline | None:
        """The stored pipeline, or None."""
        with self._ctx.lock:
            return self._pipelines.get(pipeline_id)

    def __contains__(self, pipeline_id: object) -> bool:
        return self.find(str(pipeline_id)) is not None

    def remove(self, pipeline_id: str) -> StoredPipeline:
        """Delete a pipeline; 404 when unknown."""
        return self.get(pipeline_id, remove=True)

    def all(self) -> list[StoredPipeline]:
        """Every stored pipeline, in insertion order."""
        with self._ctx.lock:
            return list(self._pipelines.values())

    def _new(self, pipeline_id: str, title: str, description: str, pipeline_type: str, user: str | None) -> Any:
        now, author = self._ctx.now_ms(), user or "admin"
        return StoredPipeline(
            pipeline_id, title, description, pipeline_type, created=now, edited=now, author=author, editor=author
        )

    def create(
        self,
        title: str,
        description: str = "",
        auto_generate: bool = False,
        draft: bool = False,
        pipeline_type: str = "HARVEL",
        user: str | None = None,
    ) -> StoredPipeline:
        """Make an empty pipeline titled ``title``; a draft is made but not stored."""
        pipeline_id = self.new_id(title, auto_generate)
        pipeline: StoredPipeline = self._new(pipeline_id, title, description, pipeline_type, user)
        pipeline.definition = pipeline_definition(pipeline_id, title, description, pipeline_type)
        if draft:
            return pipeline
        with self._ctx.lock:
            if pipeline_id in self._pipelines:
                raise _already_exists(pipeline_id)
            return self.add(pipeline)

    def update(
        self, pipeline_id: str, definition: Any, description: str | None = None, user: str | None = None
    ) -> StoredPipeline:
        """Make ``definition`` (a definition, or an export holding one) the pipeline's next revision."""
        checked = _definition(definition)
        with self._ctx.lock:
            pipeline = self.get(pipeline_id)
            pipeline.revise(checked, description, self._ctx.now_ms(), user)
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

    def import_pipeline(
        self,
        pipeline_id: str,
        export: Any,
        overwrite: bool = False,
        draft: bool = False,
        auto_generate: bool = False,
        user: str | None = None,
    ) -> StoredPipeline:
        """Store a pipeline from its export form under ``pipeline_id`` (or a generated id)."""
        if not isinstance(export, dict) or not isinstance(export.get("definition"), dict):
            raise bad_request("An imported pipeline needs a 'definition' object")
        definition = _definition(export["definition"])
        title = str(definition.get("title") or pipeline_id)
        new_id = self.new_id(title, True) if auto_generate else pipeline_id
        description = str(definition.get("description") or "")
        rules = export.get("rules")
        with self._ctx.lock:
            existing = self._pipelines.get(new_id)
            if existing is not None and not draft:
                if not overwrite:
                    raise _already_exists(new_id)
                existing.revise(definition, description, self._ctx.now_ms(), user)
                if isinstance(rules, dict):
                    existing.rules = copy.deepcopy(rules)
                return existing
            pipeline_type = str(definition.get("type") or "HARVEL")
            pipeline: StoredPipeline = self._new(new_id, title, description, pipeline_type, user)
            pipeline.definition = _normalized(definition, pipeline)
            pipeline.labels = list(pipeline.definition["labels"])
            if isinstance(rules, dict):
                pipeline.rules = copy.deepcopy(rules)
            return pipeline if draft else self.add(pipeline)

    def export_archive(
        self, pipeline_ids: Iterable[str], libraries: bool = False, plain_text_credentials: bool = True
    ) -> bytes:
        """A ZIP archive with one ``<id>.json`` export per pipeline; 404 if any is unknown."""
        exports = [(pid, self.get(pid).export(libraries, plain_text_credentials)) for pid in pipeline_ids]
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            for pid, export in exports:
                archive.writestr(f"{pid}.json", json.dumps(export))
        return buffer.getvalue()

    def import_archive(self, data: bytes, user: str | None = None) -> dict[str, Any]:
        """Import every ``.json`` export of a ZIP archive; entries that fail are reported, not fatal."""
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
        except zipfile.BadZipFile:
            raise bad_request("The uploaded file is not a ZIP archive") from None
        imported: list[dict[str, Any]] = []
        failed: list[str] = []
        with archive:
            for name in archive.namelist():
                if not name.endswith(".json"):
                    continue
                try:
                    export = json.loads(archive.read(name))
                    definition = export.get("definition") if isinstance(export, dict) else None
                    stem = name.rsplit("/", 1)[-1][: -len(".json")]
                    pipeline_id = str((definition or {}).get("pipelineId") or stem)
                    imported.append(self.import_pipeline(pipeline_id, export, user=user).export())
                except EngineError as error:
                    failed.append(f"{name}: {error.message}")
                except ValueError as error:
                    failed.append(f"{name}: not JSON ({error})")
        return {"imported": imported, "failed": failed}

    def create_fragment(
        self, title: str, description: str = "", draft: bool = False, mode: str | None = None, body: Any = None
    ) -> dict[str, Any]:
        """Make a fragment titled ``title``, with the stages of ``body`` if given; answer its definition."""
        stages = _stages_of(body, "A fragment body") if body is not None else []
        given = {"title": title, "description": description, "settings": {"mode": mode or "LOCAL"}, "stages": stages}
        definition: dict[str, Any] = self._fragment(self.new_id(title, True), given, None, draft)["fragment"]
        return definition

    def import_fragment(self, fragment_id: str, export: Any, draft: bool = False) -> dict[str, Any]:
        """Store a fragment from its export form under ``fragment_id``, replacing one of that id; answer it."""
        if not isinstance(export, dict) or not isinstance(export.get("fragment"), dict):
            raise bad_request("An imported fragment needs a 'fragment' object")
        _stages_of(export["fragment"], "A fragment")
        return self._fragment(fragment_id, export["fragment"], export.get("rules"), draft)

    def _fragment(self, fragment_id: str, given: Mapping[str, Any], rules: Any, draft: bool) -> dict[str, Any]:
        definition: dict[str, Any] = {"fragmentId": fragment_id, "title": fragment_id, "description": ""}
        definition.update({"format": FORMAT, "settings": {"mode": "LOCAL"}, "stages": []}, **copy.deepcopy(dict(given)))
        definition.update(fragmentId=fragment_id, uuid=str(uuid.uuid4()), created=self._ctx.now_ms())
        rules = copy.deepcopy(rules) if isinstance(rules, dict) else default_rules()
        export = {"fragment": definition, "rules": rules, "libraries": None}
        if not draft:
            with self._ctx.lock:
                self._fragments[fragment_id] = export
        return copy.deepcopy(export)

    def fragment(self, fragment_id: str) -> dict[str, Any]:
        """The stored fragment in export form; 404 when unknown."""
        with self._ctx.lock:
            export = self._fragments.get(fragment_id)
        if export is None:
            raise not_found(f"Fragment '{fragment_id}' does not exist", "FRAGMENT_UNKNOWN")
        return copy.deepcopy(export)

    def fragments(self) -> list[str]:
        """The ids of the stored fragments, in the order they were stored."""
        with self._ctx.lock:
            return list(self._fragments)


def _stages_of(document: Any, what: str) -> list[dict[str, Any]]:
    if not isinstance(document, dict) or not isinstance(document.get("stages", []), list):
        raise bad_request(f"{what} must be an object whose 'stages' is a list")
    return copy.deepcopy(document.get("stages", []))


def _definition(definition: Any) -> dict[str, Any]:
    """The definition inside ``definition`` (bare or in export form); 400 when it is not one."""
    if isinstance(definition, dict) and isinstance(definition.get("definition"), dict):
        definition = definition["definition"]
    if not isinstance(definition, dict):
        raise bad_request("A pipeline definition must be a JSON object")
    _stages_of(definition, "A pipeline definition")
    return definition


def _normalized(definition: Mapping[str, Any], pipeline: StoredPipeline) -> dict[str, Any]:
    """``definition`` as the store keeps it: its id, title and type made the pipeline's, and a fresh uuid."""
    stored = pipeline_definition(pipeline.pipeline_id, pipeline.title, pipeline.description, pipeline.pipeline_type)
    stored.update(copy.deepcopy(dict(definition)))
    stored.update(pipelineId=pipeline.pipeline_id, title=pipeline.title, description=pipeline.description)
    stored.update(type=pipeline.pipeline_type, uuid=str(uuid.uuid4()))
    labels = stored.get("labels")
    stored["labels"] = [str(label) for label in labels] if isinstance(labels, list) else []
    return stored


def _mask_credentials(definition: dict[str, Any]) -> None:
    # Settings whose name says they are secret are not exported in clear text.
    for holder in [definition, *definition.get("stages", [])]:
        settings = holder.get("settings")
        if isinstance(settings, dict):
            for name in settings:
                if any(w in str(name).lower() for w in ("password", "secret", "credential", "token")):
                    settings[name] = "********"


def _libraries(definition: Mapping[str, Any]) -> list[dict[str, Any]]:
    seen: dict[tuple[str, str], dict[str, Any]] = {}
    for entry in definition.get("stages", []):
        key = (entry.get("library", ""), entry.get("type", ""))
        seen.setdefault(key, {"library": key[0], "type": key[1], "version": entry.get("version")})
    return list(seen.values())
