"""The engine's catalogue: stage and connection definitions, stage libraries, and pipeline alerts."""

from __future__ import annotations

from typing import Any

from . import RequestContext, router


@router.route("GET", "/definitions")
def definitions(ctx: RequestContext) -> dict[str, Any]:
    """Definitions of the installed stages and of the expression language."""
    return ctx.state.catalogue.definitions(ctx.state.version)


@router.route("GET", "/definitions/connections")
def connection_definitions(ctx: RequestContext) -> dict[str, Any]:
    """Connection types of the installed libraries."""
    return ctx.state.catalogue.connection_definitions()


@router.route("GET", "/stageLibraries/list")
def stage_libraries(ctx: RequestContext) -> list[dict[str, Any]]:
    """Libraries of ``repoUrl`` (the default repository when absent), optionally only the installed ones."""
    return ctx.state.catalogue.stage_libraries(ctx.arg("repoUrl") or None, ctx.flag("installedOnly"))


@router.route("GET", "/stageLibraries/classpathHealth")
def classpath_health(ctx: RequestContext) -> list[dict[str, Any]]:
    """Duplicate dependencies on the classpath of each installed library."""
    return ctx.state.catalogue.classpath_health()


@router.route("GET", "/pipelines/alerts")
def alerts(ctx: RequestContext) -> list[dict[str, Any]]:
    """Alerts of the enabled rules of running pipelines."""
    return ctx.state.health.alerts()
