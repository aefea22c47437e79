"""Runs of stored pipelines: status, start and stop, offsets, metrics, history, error messages and rules."""

from __future__ import annotations

import copy
import uuid
from typing import Any

from ..context import bad_request
from ..store import StoredPipeline
from . import RequestContext, pipeline_route, router


@router.route("GET", "/pipeline/{pipeline_id}/status")
def pipeline_status(ctx: RequestContext, pipeline_id: str) -> dict[str, Any] | None:
    """Current status record: scripted, else the latest run's, else EDITED for a stored pipeline."""
    record = ctx.state.read_status(pipeline_id, rev=str(ctx.rev()))
    if record is None:
        # With onlyIfExists the engine answers an unknown id with an empty 200.
        if ctx.flag("onlyIfExists"):
            return None
        ctx.state.pipelines.get(pipeline_id)  # raises the engine's 404
    return record


@pipeline_route("POST", "/pipeline/{pipeline_id}/start")
def start_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Start a run; the body, if any, holds the runtime parameters."""
    parameters = ctx.object_body("Runtime parameters")
    return ctx.state.runs.start(pipeline.pipeline_id, str(ctx.rev()), runtime_parameters=parameters, user=ctx.user)


@pipeline_route("POST", "/pipeline/{pipeline_id}/stop")
def stop_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Ask the active run to stop; it goes STOPPING, then STOPPED."""
    return ctx.state.runs.stop(pipeline.pipeline_id)


@pipeline_route("POST", "/pipeline/{pipeline_id}/forceStop")
def force_stop_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """End the active run at once, even one stuck in STOPPING."""
    return ctx.state.runs.stop(pipeline.pipeline_id, force=True)


@pipeline_route("POST", "/pipeline/{pipeline_id}/resetOffset")
def reset_offset(ctx: RequestContext, pipeline: StoredPipeline) -> None:
    """Forget the committed offsets so the next run reads from the start."""
    ctx.state.runs.reset_offsets(pipeline.pipeline_id)


@pipeline_route("GET", "/pipeline/{pipeline_id}/committedOffsets")
def committed_offsets(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """The committed origin offsets."""
    return ctx.state.runs.offsets(pipeline.pipeline_id)


@pipeline_route("POST", "/pipeline/{pipeline_id}/committedOffsets")
def update_committed_offsets(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Overwrite the committed origin offsets with the body's ``offsets``."""
    return ctx.state.runs.set_offsets(pipeline.pipeline_id, ctx.json())


@pipeline_route("GET", "/pipeline/{pipeline_id}/metrics")
def pipeline_metrics(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any] | None:
    """The latest run's metrics; an empty answer for a pipeline that never ran."""
    return ctx.state.runs.metrics(pipeline.pipeline_id)


@pipeline_route("GET", "/pipeline/{pipeline_id}/history")
def pipeline_history(ctx: RequestContext, pipeline: StoredPipeline) -> list[dict[str, Any]]:
    """One entry per run, newest first."""
    return ctx.state.runs.history(pipeline.pipeline_id)


@pipeline_route("GET", "/pipeline/{pipeline_id}/errorMessages")
def error_messages(ctx: RequestContext, pipeline: StoredPipeline) -> list[dict[str, Any]]:
    """The newest ``size`` error messages of the stage ``stageInstanceName``."""
    stage = ctx.arg("stageInstanceName")
    if not stage:
        raise bad_request("Query parameter 'stageInstanceName' is required")
    messages = ctx.state.runs.error_messages(pipeline.pipeline_id, stage, size=ctx.integer("size", 10))
    if not messages and stage not in {s.get("name") for s in pipeline.stages}:
        raise bad_request(f"Pipeline '{pipeline.pipeline_id}' has no stage '{stage}'")
    return messages


@pipeline_route("GET", "/pipeline/{pipeline_id}/rules")
def get_rules(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """The pipeline's rules."""
    with ctx.state.lock:
        return copy.deepcopy(pipeline.rules)


@pipeline_route("POST", "/pipeline/{pipeline_id}/rules")
def update_rules(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Replace the rules; the stored rules get a new uuid, as each save does on the engine."""
    rules = ctx.object_body("A rules document")
    if rules is None or not all(isinstance(rules.get(key, []), list) for key in ("checks", "recipients")):
        raise bad_request("A rules document is a JSON object whose 'checks' and 'recipients' are lists")
    with ctx.state.lock:
        pipeline.rules = {**copy.deepcopy(rules), "uuid": str(uuid.uuid4())}
        return copy.deepcopy(pipeline.rules)
