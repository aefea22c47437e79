"""Engine-wide resources: information, configuration, users, statistics, logs, health and support bundles."""

from __future__ import annotations

import time
from typing import Any

from ..health import GENERATORS, HEALTH_CATEGORIES
from . import Reply, RequestContext, router

#: The response header that tells a log reader where to continue reading backwards.
LOG_OFFSET_HEADER = "X-Velm-Log-Offset"


def _port(ctx: RequestContext) -> str:
    return str(ctx.request.environ.get("SERVER_PORT", ""))


def _authentication(ctx: RequestContext) -> str:
    return "form" if ctx.state.users.required else "none"


def _listed(ctx: RequestContext, name: str) -> list[str]:
    """A query parameter given repeated, comma-separated, or both; blanks dropped."""
    return [item.strip() for value in ctx.query.getlist(name) for item in value.split(",") if item.strip()]


@router.route("GET", "/system/info")
def system_info(ctx: RequestContext) -> dict[str, Any]:
    """Engine version and build information."""
    return ctx.state.info()


@router.route("GET", "/system/info/id")
def engine_id(ctx: RequestContext) -> dict[str, Any]:
    """The engine's id."""
    return {"id": ctx.state.sdk_id}


@router.route("GET", "/system/info/currentUser")
def current_user(ctx: RequestContext) -> dict[str, Any]:
    """The user the request authenticated as, with its roles and groups."""
    return ctx.state.system.current_user(ctx.user)


@router.route("POST", "/usermanagement/users/{user}/changePassword")
def change_password(ctx: RequestContext, user: str) -> None:
    """Change a user's own password; the old one is refused from then on."""
    ctx.state.system.change_password(user, ctx.user, ctx.json())


@router.route("GET", "/system/directories")
def directories(ctx: RequestContext) -> dict[str, str]:
    """Where the engine keeps its files."""
    return dict(ctx.state.system.directories)


@router.route("GET", "/system/configuration")
def configuration(ctx: RequestContext) -> dict[str, str]:
    """The configuration properties, secrets masked."""
    return ctx.state.system.configuration(_port(ctx), _authentication(ctx))


@router.route("GET", "/system/configuration/ui")
def ui_configuration(ctx: RequestContext) -> dict[str, str]:
    """The configuration of the user interface."""
    return ctx.state.system.ui_configuration()


@router.route("GET", "/system/jmx")
def jmx(ctx: RequestContext) -> dict[str, Any]:
    """JMX beans of the engine process."""
    return ctx.state.system.jmx()


@router.route("GET", "/system/stats")
def stats(ctx: RequestContext) -> dict[str, Any]:
    """Usage statistics settings."""
    return ctx.state.system.stats()


@router.route("POST", "/system/stats")
def opt_for_stats(ctx: RequestContext) -> dict[str, Any]:
    """Switch usage statistics on or off (``active=true|false``)."""
    ctx.state.system.opt_for_stats(ctx.arg("active"), ctx.user)
    return ctx.state.system.stats()


@router.route("GET", "/system/logs")
def logs(ctx: RequestContext) -> Reply:
    """Log entries ending at ``endingOffset``, filtered by pipeline, severity and message text."""
    entries, offset = ctx.state.log.read(
        ctx.arg("endingOffset"),
        severity=ctx.arg("severity"),
        pipeline=ctx.arg("pipeline"),
        text=ctx.arg("extraMessage"),
    )
    return Reply(entries, headers={LOG_OFFSET_HEADER: str(offset)})


@router.route("GET", "/system/health/categories")
def health_categories(ctx: RequestContext) -> list[dict[str, str]]:
    """The categories of the health report."""
    return [dict(category) for category in HEALTH_CATEGORIES]


@router.route("GET", "/system/health/report")
def health_report(ctx: RequestContext) -> dict[str, Any]:
    """The health checks of the asked categories (all by default)."""
    return ctx.state.health.report(_listed(ctx, "categories"))


@router.route("GET", "/system/bundle/list")
def bundle_generators(ctx: RequestContext) -> list[dict[str, Any]]:
    """The generators a support bundle can be assembled from."""
    return [dict(generator) for generator in GENERATORS]


@router.route("GET", "/system/bundle/generate")
def bundle_generate(ctx: RequestContext) -> Reply:
    """A support bundle, as a ZIP archive, from the comma-separated ``generators``."""
    archive = ctx.state.health.bundle(_listed(ctx, "generators"), _port(ctx), _authentication(ctx))
    name = time.strftime("bundle-%Y%m%d-%H%M%S.zip", time.gmtime(ctx.state.clock.time()))
    return Reply(
        archive,
        content_type="application/octet-stream",
        headers={"Content-Disposition": f'attachment; filename="{name}"'},
    )
