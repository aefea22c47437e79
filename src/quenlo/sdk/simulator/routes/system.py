"""Engine-wide resources: information, users, logs, and the canned documents of the engine's registry."""

from __future__ import annotations

import time
from typing import Any

from ..context import bad_request
from . import Reply, RequestContext, router

#: The response header that tells a log reader where to continue reading backwards.
LOG_OFFSET_HEADER = "X-Velm-Log-Offset"


def _listed(ctx: RequestContext, name: str) -> list[str]:
    """A query parameter given repeated, comma-separated, or both; blanks dropped."""
    return [item.strip() for value in ctx.query.getlist(name) for item in value.split(",") if item.strip()]


def _canned(path: str, name: str) -> None:
    def answer(ctx: RequestContext) -> Any:
        return ctx.state.documents[name]

    answer.__doc__ = f"The canned '{name}' document."
    router.route("GET", path)(answer)


_CANNED = {"/system/directories": "directories", "/system/jmx": "jmx", "/system/stats": "stats"}
_CANNED.update(
    {"/definitions": "definitions", "/definitions/connections": "connections", "/pipelines/alerts": "alerts"}
)
_CANNED.update({"/stageLibraries/classpathHealth": "classpath", "/system/health/categories": "health_categories"})
for _path, _name in {**_CANNED, "/system/bundle/list": "bundle_generators"}.items():
    _canned(_path, _name)


@router.route("GET", "/system/info")
def system_info(ctx: RequestContext) -> dict[str, Any]:
    """Engine version and build information."""
    return ctx.state.info()


@router.route("GET", "/system/info/id")
def engine_id(ctx: RequestContext) -> dict[str, Any]:
    """The engine's id."""
    return {"id": ctx.state.engine_id}


@router.route("GET", "/system/info/currentUser")
def current_user(ctx: RequestContext) -> dict[str, Any]:
    """The user the request authenticated as, with its roles and groups."""
    return ctx.state.users.current_user(ctx.user)


@router.route("POST", "/usermanagement/users/{user}/changePassword")
def change_password(ctx: RequestContext, user: str) -> None:
    """Change a user's own password; the old one is refused from then on."""
    ctx.state.users.change_password(user, ctx.user, ctx.json())


@router.route("GET", "/system/configuration")
def configuration(ctx: RequestContext) -> dict[str, str]:
    """The engine's settings, with the port it serves on and its authentication."""
    settings: dict[str, str] = ctx.state.documents["configuration"]
    settings["http.port"] = str(ctx.request.environ.get("SERVER_PORT", ""))
    settings["http.auth"] = "form" if ctx.state.users.required else "none"
    return dict(sorted(settings.items()))


@router.route("GET", "/system/configuration/ui")
def ui_configuration(ctx: RequestContext) -> dict[str, str]:
    """The settings the user interface reads."""
    return {k: v for k, v in ctx.state.documents["configuration"].items() if k.startswith("ui.")}


@router.route("POST", "/system/stats")
def opt_for_stats(ctx: RequestContext) -> dict[str, Any]:
    """Switch usage statistics on or off (``active=true|false``)."""
    active = (ctx.arg("active") or "").strip().lower()
    if active not in ("true", "false"):
        raise bad_request(f"Query parameter 'active' must be true or false, not {ctx.arg('active')!r}")
    stats = dict(ctx.state.documents["stats"], active=active == "true", opted=True, changed=ctx.state.clock.now_ms())
    ctx.state.documents["stats"] = stats
    ctx.state.log.add("INFO", "stats", f"Usage statistics switched {'on' if stats['active'] else 'off'}", user=ctx.user)
    return stats


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


@router.route("GET", "/stageLibraries/list")
def stage_libraries(ctx: RequestContext) -> list[dict[str, Any]]:
    """Libraries of ``repoUrl`` (the default repository when absent), optionally only the installed ones."""
    return ctx.state.libraries(ctx.arg("repoUrl") or None, ctx.flag("installedOnly"))


@router.route("GET", "/system/health/report")
def health_report(ctx: RequestContext) -> dict[str, Any]:
    """The health checks of the asked categories (all by default)."""
    return ctx.state.health_report(_listed(ctx, "categories"))


@router.route("GET", "/system/bundle/generate")
def bundle_generate(ctx: RequestContext) -> Reply:
    """A support bundle, as a ZIP archive, from the comma-separated ``generators``."""
    archive = ctx.state.bundle(_listed(ctx, "generators"))
    name = time.strftime("bundle-%Y%m%d-%H%M%S.zip", time.gmtime(ctx.state.clock.time()))
    return Reply(
        archive,
        content_type="application/octet-stream",
        headers={"Content-Disposition": f'attachment; filename="{name}"'},
    )
