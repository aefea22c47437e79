"""Access control: the access control list of every pipeline, and the users and groups they name."""

from __future__ import annotations

import copy
import threading
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from .clock import Clock
from .enginelog import EngineLog
from .errors import bad_request
from .store import StoredPipeline

ACTIONS = ("READ", "WRITE", "EXECUTE")
SUBJECT_TYPES = ("USER", "GROUP")
#: The name the engine reports for requests when authentication is off.
ANONYMOUS = "anonymous"


class AccessControl:
    """The access control lists written so far; a pipeline without one is governed by its creator alone."""

    def __init__(self, lock: threading.RLock, clock: Clock, log: EngineLog) -> None:
        self._lock = lock
        self._clock = clock
        self._log = log
        # Kept with the pipeline object it was written for: a new pipeline that reuses the id starts afresh.
        self._acls: dict[str, tuple[StoredPipeline, dict[str, Any]]] = {}

    def acl(self, pipeline: StoredPipeline) -> dict[str, Any]:
        """The pipeline's access control list; until one is written, its creator holds every action."""
        with self._lock:
            stored = self._acls.get(pipeline.pipeline_id)
            # An ACL outlives neither its pipeline nor a new pipeline that reuses the id.
            if stored is not None and stored[0] is pipeline:
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
        stamp = self._clock.now_ms()
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
            self._acls[pipeline.pipeline_id] = (pipeline, acl)
        self._log.add(
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
        stamp = self._clock.now_ms()
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
                    self._acls[pipeline.pipeline_id] = (pipeline, acl)
        self._log.add("INFO", "AclStore", "Access control subjects renamed", user=user)
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
