"""Access control: every pipeline's access control list, and the users and groups the lists name."""

from __future__ import annotations

from typing import Any

from ..store import StoredPipeline
from . import RequestContext, router


def _pipeline(ctx: RequestContext, pipeline_id: str) -> StoredPipeline:
    return ctx.state.pipelines.get(pipeline_id)


@router.route("GET", "/acl/{pipeline_id}")
def get_acl(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """The pipeline's access control list; 404 for an unknown pipeline."""
    return ctx.state.access.acl(_pipeline(ctx, pipeline_id))


@router.route("POST", "/acl/{pipeline_id}")
def set_acl(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Replace the pipeline's access control list; answers with what was stored."""
    return ctx.state.access.set_acl(_pipeline(ctx, pipeline_id), ctx.json(), ctx.user)


@router.route("GET", "/acl/{pipeline_id}/permissions")
def permissions(ctx: RequestContext, pipeline_id: str) -> list[dict[str, Any]]:
    """The grants of the pipeline's access control list."""
    grants: list[dict[str, Any]] = ctx.state.access.acl(_pipeline(ctx, pipeline_id))["grants"]
    return grants


@router.route("GET", "/pipelines/subjects")
def subjects(ctx: RequestContext) -> dict[str, list[str]]:
    """The users and groups named in any pipeline's access control list."""
    return ctx.state.access.subjects(ctx.state.pipelines.all())


@router.route("POST", "/pipeline/subjects")
def rename_subjects(ctx: RequestContext) -> dict[str, list[str]]:
    """Rename users and groups across all access control lists: ``{"users": {"old": "new"}, "groups": {...}}``."""
    return ctx.state.access.rename_subjects(ctx.state.pipelines.all(), ctx.json(), ctx.user)
