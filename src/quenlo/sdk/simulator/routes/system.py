"""Engine-wide resources."""

from __future__ import annotations

from typing import Any

from . import RequestContext, router


@router.route("GET", "/system/info")
def system_info(ctx: RequestContext) -> dict[str, Any]:
    """Engine version and build information."""
    return ctx.state.info()
