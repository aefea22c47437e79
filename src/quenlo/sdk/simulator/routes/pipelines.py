"""Pipeline resources."""

from __future__ import annotations

from typing import Any

from . import EngineError, RequestContext, router


def no_such_pipeline(pipeline_id: str) -> EngineError:
    """The engine's answer for an id it does not know."""
    return EngineError(404, f"Pipeline '{pipeline_id}' does not exist", "CONTAINER_0200")


@router.route("GET", "/pipeline/{pipeline_id}/status")
def pipeline_status(ctx: RequestContext, pipeline_id: str) -> dict[str, Any] | None:
    """Current status record; scripted statuses advance one step per read."""
    record = ctx.state.read_status(pipeline_id, rev=ctx.arg("rev") or "0")
    if record is None:
        # With onlyIfExists the engine answers an unknown id with an empty 200.
        if ctx.flag("onlyIfExists"):
            return None
        raise no_such_pipeline(pipeline_id)
    return record
