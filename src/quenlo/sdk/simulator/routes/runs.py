"""Run control and monitoring: start, stop, offsets, metrics, history, rules and error messages."""

from __future__ import annotations

import copy
import uuid
from typing import Any

from ..errors import bad_request
from . import RequestContext, router
from .pipelines import object_body, rev_arg

# -- run control -----------------------------------------------------------------------------------------------


@router.route("POST", "/pipeline/{pipeline_id}/start")
def start_pipeline(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Start a run; the body, if any, holds the runtime parameters."""
    ctx.state.pipelines.get(pipeline_id)
    parameters = object_body(ctx, "Runtime parameters")
    return ctx.state.runs.start(pipeline_id, rev=str(rev_arg(ctx)), runtime_parameters=parameters, user=ctx.user)


@router.route("POST", "/pipeline/{pipeline_id}/stop")
def stop_pipeline(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Ask the active run to stop; it goes STOPPING, then STOPPED."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    return ctx.state.runs.stop(pipeline_id)


@router.route("POST", "/pipeline/{pipeline_id}/forceStop")
def force_stop_pipeline(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """End the active run at once, even one stuck in STOPPING."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    return ctx.state.runs.stop(pipeline_id, force=True)


@router.route("POST", "/pipeline/{pipeline_id}/resetOffset")
def reset_offset(ctx: RequestContext, pipeline_id: str) -> None:
    """Forget the committed offsets so the next run reads from the start."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    ctx.state.runs.reset_offsets(pipeline_id)


@router.route("GET", "/pipeline/{pipeline_id}/committedOffsets")
def committed_offsets(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """The committed origin offsets."""
    ctx.state.pipelines.get(pipeline_id)
    return ctx.state.runs.offsets(pipeline_id)


@router.route("POST", "/pipeline/{pipeline_id}/committedOffsets")
def update_committed_offsets(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Overwrite the committed origin offsets with the body's ``offsets``."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    return ctx.state.runs.set_offsets(pipeline_id, ctx.json())


# -- monitoring ----------------------------------------------------------------------------------------------------


@router.route("GET", "/pipeline/{pipeline_id}/metrics")
def pipeline_metrics(ctx: RequestContext, pipeline_id: str) -> dict[str, Any] | None:
    """The latest run's metrics; an empty answer for a pipeline that never ran."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    return ctx.state.runs.metrics(pipeline_id)


@router.route("GET", "/pipeline/{pipeline_id}/history")
def pipeline_history(ctx: RequestContext, pipeline_id: str) -> list[dict[str, Any]]:
    """One entry per run, newest first."""
    ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    return ctx.state.runs.history(pipeline_id)


@router.route("GET", "/pipeline/{pipeline_id}/errorMessages")
def error_messages(ctx: RequestContext, pipeline_id: str) -> list[dict[str, Any]]:
    """The newest ``size`` error messages of the stage ``stageInstanceName``."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    stage = ctx.arg("stageInstanceName")
    if not stage:
        raise bad_request("Query parameter 'stageInstanceName' is required")
    messages = ctx.state.runs.error_messages(pipeline_id, stage, size=ctx.integer("size", 10))
    if not messages and stage not in {s.get("name") for s in pipeline.stages}:
        raise bad_request(f"Pipeline '{pipeline_id}' has no stage '{stage}'")
    return messages


# -- rules ---------------------------------------------------------------------------------------------------------


@router.route("GET", "/pipeline/{pipeline_id}/rules")
def get_rules(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """The pipeline's rules definition."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    with ctx.state.lock:
        return copy.deepcopy(pipeline.rules)


@router.route("POST", "/pipeline/{pipeline_id}/rules")
def update_rules(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Replace the rules; the stored rules get a new uuid, as each save does on the engine."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    rev_arg(ctx)
    rules = object_body(ctx, "A rules definition")
    if rules is None:
        raise bad_request("A rules definition is required")
    for key in ("checks", "recipients"):
        if not isinstance(rules.get(key, []), list):
            raise bad_request(f"'{key}' must be a list")
    with ctx.state.lock:
        pipeline.rules = {**copy.deepcopy(rules), "uuid": str(uuid.uuid4())}
        return copy.deepcopy(pipeline.rules)
