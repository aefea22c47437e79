"""Access control: the access control list of every pipeline, and the users and groups they name."""

from __future__ import annotations

import copy
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from .context import Context, bad_request
from .store import StoredPipeline
from .users import ANONYMOUS

ACTIONS = ("READ", "WRITE", "EXECUTE")
GRANTEE_TYPES = ("USER", "GROUP")


def _invalid(message: str) -> Exception:
    return bad_request(message, "ACL_INVALID")


class AccessControl:
    """The access control lists written so far; a pipeline without one is governed by its author alone."""

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        # Kept with the pipeline object it was written for: a new pipeline that reuses the id starts afresh.
        self._acls: dict[str, tuple[StoredPipeline, dict[str, Any]]] = {}

    def acl(self, pipeline: StoredPipeline) -> dict[str, Any]:
        """The pipeline's access control list; until one is written, its author holds every action."""
        with self._ctx.lock:
            stored = self._acls.get(pipeline.pipeline_id)
            if stored is not None and stored[0] is pipeline:
                return copy.deepcopy(stored[1])
        owner, stamp = pipeline.author, pipeline.created
        grant = {"grantee": owner, "type": "USER", "actions": list(ACTIONS), "editor": owner, "edited": stamp}
        acl = {"pipelineId": pipeline.pipeline_id, "owner": owner, "created": stamp, "editor": owner}
        return acl | {"edited": stamp, "grants": [grant]}

    def set_acl(self, pipeline: StoredPipeline, document: Any, user: str | None) -> dict[str, Any]:
        """Replace the pipeline's access control list with ``document``; return what is stored."""
        grants = _checked_grants(document)
        current = self.acl(pipeline)
        stamp = self._ctx.now_ms()
        by = user or ANONYMOUS
        previous = {(g["grantee"], g["type"]): g for g in current["grants"]}
        for grant in grants:
            before = previous.get((grant["grantee"], grant["type"]))
            if before is not None and sorted(before["actions"]) == sorted(grant["actions"]):
                grant["editor"], grant["edited"] = before["editor"], before["edited"]
            else:
                grant["editor"], grant["edited"] = by, stamp
        owner = document.get("owner") or current["owner"]
        if not isinstance(owner, str):
            raise _invalid("'owner' must be a text")
        acl = dict(current, owner=owner, editor=by, edited=stamp, grants=grants)
        with self._ctx.lock:
            self._acls[pipeline.pipeline_id] = (pipeline, acl)
        text = f"Access control list of '{pipeline.pipeline_id}' changed"
        self._ctx.log.add("INFO", "acl", text, pipeline=pipeline.pipeline_id, user=user)
        return copy.deepcopy(acl)

    def subjects(self, pipelines: Iterable[StoredPipeline]) -> dict[str, list[str]]:
        """The users and groups named in the pipelines' access control lists."""
        users: set[str] = set()
        groups: set[str] = set()
        for pipeline in pipelines:
            acl = self.acl(pipeline)
            users.add(acl["owner"])
            for grant in acl["grants"]:
                (users if grant["type"] == "USER" else groups).add(grant["grantee"])
        return {"users": sorted(users), "groups": sorted(groups)}

    def rename_subjects(
        self, pipelines: Sequence[StoredPipeline], document: Any, user: str | None
    ) -> dict[str, list[str]]:
        """Rename users and groups in every access control list: ``{"users": {"old": "new"}, "groups": {...}}``.

        Either part may be left out. Returns the subjects afterwards.
        """
        renames = _checked_renames(document)
        stamp = self._ctx.now_ms()
        by = user or ANONYMOUS
        with self._ctx.lock:
            for pipeline in pipelines:
                acl = self.acl(pipeline)
                changed = False
                owner = renames["USER"].get(acl["owner"])
                if owner is not None:
                    acl["owner"], changed = owner, True
                merged: dict[tuple[str, str], dict[str, Any]] = {}
                for grant in acl["grants"]:
                    new = renames[grant["type"]].get(grant["grantee"])
                    if new is not None:
                        grant = dict(grant, grantee=new, editor=by, edited=stamp)
                        changed = True
                    key = (grant["grantee"], grant["type"])
                    if key in merged:  # renamed onto an existing grantee: it keeps the actions of both
                        actions = set(merged[key]["actions"]) | set(grant["actions"])
                        merged[key]["actions"] = [a for a in ACTIONS if a in actions]
                    else:
                        merged[key] = grant
                if changed:
                    acl.update(grants=list(merged.values()), editor=by, edited=stamp)
                    self._acls[pipeline.pipeline_id] = (pipeline, acl)
        self._ctx.log.add("INFO", "acl", "Access control users and groups renamed", user=user)
        return self.subjects(pipelines)


def _checked_grants(document: Any) -> list[dict[str, Any]]:
    """The grants of an access control list document, checked and copied."""
    if not isinstance(document, dict) or not isinstance(document.get("grants"), list):
        raise _invalid("An access control list is a JSON object with a 'grants' list")
    grants = []
    seen = set()
    for grant in document["grants"]:
        if not isinstance(grant, dict):
            raise _invalid("Each grant must be a JSON object")
        grantee, kind, actions = grant.get("grantee"), grant.get("type"), grant.get("actions")
        if not isinstance(grantee, str) or not grantee:
            raise _invalid("Each grant needs a 'grantee'")
        if kind not in GRANTEE_TYPES:
            raise _invalid(f"'type' must be one of {', '.join(GRANTEE_TYPES)}, not {kind!r}")
        if not isinstance(actions, list) or any(a not in ACTIONS for a in actions):
            raise _invalid(f"'actions' must be a list of {', '.join(ACTIONS)}")
        if (grantee, kind) in seen:
            raise _invalid(f"{kind} '{grantee}' appears twice")
        seen.add((grantee, kind))
        grants.append({"grantee": grantee, "type": kind, "actions": [a for a in ACTIONS if a in actions]})
    return grants


def _checked_renames(document: Any) -> dict[str, dict[str, str]]:
    """The renames of a subjects document, by grantee type."""
    if not isinstance(document, dict) or not set(document) <= {"users", "groups"}:
        raise _invalid("A subjects document is a JSON object with 'users' and/or 'groups'")
    renames: dict[str, dict[str, str]] = {}
    for key, kind in (("users", "USER"), ("groups", "GROUP")):
        part: Mapping[str, Any] = document.get(key) or {}
        if not isinstance(part, dict) or not all(
            isinstance(old, str) and isinstance(new, str) and new for old, new in part.items()
        ):
            raise _invalid(f"'{key}' must map each old name to a new, non-empty name")
        renames[kind] = dict(part)
    return renames
