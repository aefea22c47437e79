"""Validation and preview resources: start a run, read its status and its data."""

from __future__ import annotations

from typing import Any, Mapping

from ..previews import PreviewRun, new_dynamic_pipeline_id, parse_overrides
from ..samples import sample_stages
from . import EngineError, RequestContext, router


def _started(run: PreviewRun) -> dict[str, Any]:
    # The answer to a starting request: the previewer id and the state the run starts in.
    return run.status_record(run.progress.states[0])


@router.route("GET", "/pipeline/{pipeline_id}/validate")
def validate(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Start a validation of a stored pipeline."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    run = ctx.state.previews.validate(
        pipeline_id,
        pipeline.stages,
        pipeline.invalid_issues,
        rev=ctx.arg("rev", "0"),
        timeout=ctx.integer("timeout", 2000),
    )
    return _started(run)


@router.route("POST", "/pipeline/{pipeline_id}/preview")
def preview(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Start a preview of a stored pipeline; every setting comes in the query."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    run = ctx.state.previews.preview(
        pipeline_id,
        pipeline.stages,
        pipeline.invalid_issues,
        batches=ctx.integer("batches", 1),
        batch_size=ctx.integer("batchSize", 10),
        skip_targets=ctx.flag("skipTargets", True),
        end_stage=ctx.arg("endStage") or None,
        test_origin=ctx.flag("testOrigin"),
        overrides=parse_overrides(ctx.arg("stageOutputsToOverrideJson")),
        rev=ctx.arg("rev", "0"),
        timeout=ctx.integer("timeout", 2000),
    )
    return _started(run)


@router.route("POST", "/pipeline/dynamicPreview")
def dynamic_preview(ctx: RequestContext) -> dict[str, Any]:
    """Start a preview of a pipeline made for the request.

    The request: ``{"type": "PIPELINE" | "CONNECTION_VERIFIER", "parameters": {...}}``. For a pipeline, the
    parameters may carry ``stages`` (or a ``pipelineConfig`` with stages; default: a sample pipeline),
    ``batches``, ``batchSize``, ``skipTargets`` and ``endStage``; for a connection verifier, ``connection``.
    """
    request = ctx.json()
    if not isinstance(request, Mapping):
        raise EngineError(400, "A dynamic preview needs a JSON object describing it", "PREVIEW_0001")
    parameters = request.get("parameters") or {}
    if not isinstance(parameters, Mapping):
        raise EngineError(400, "The parameters of a dynamic preview must be an object", "PREVIEW_0001")
    pipeline_id = new_dynamic_pipeline_id()
    previews = ctx.state.previews
    kind = request.get("type", "PIPELINE")
    if kind == "CONNECTION_VERIFIER":
        connection = parameters.get("connection")
        if not isinstance(connection, Mapping):
            raise EngineError(400, "A connection verification needs a connection", "PREVIEW_0001")
        run = previews.verify_connection(pipeline_id, connection)
    elif kind == "PIPELINE":
        config = parameters.get("pipelineConfig") or {}
        stages = parameters.get("stages") or config.get("stages") or sample_stages()
        run = previews.preview(
            pipeline_id,
            stages,
            batches=int(parameters.get("batches", 1)),
            batch_size=int(parameters.get("batchSize", 10)),
            skip_targets=bool(parameters.get("skipTargets", True)),
            end_stage=parameters.get("endStage"),
            kind="dynamic",
        )
    else:
        raise EngineError(400, f"Unknown dynamic preview type '{kind}'", "PREVIEW_0001")
    return _started(run)


@router.route("GET", "/pipeline/{pipeline_id}/preview/{previewer_id}/status")
def preview_status(ctx: RequestContext, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
    """The run's state; each read takes a run that steps on reads one state further."""
    return ctx.state.previews.read_status(pipeline_id, previewer_id)


@router.route("GET", "/pipeline/{pipeline_id}/preview/{previewer_id}")
def preview_data(ctx: RequestContext, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
    """The run's output: the batches once FINISHED, the issues once INVALID."""
    return ctx.state.previews.read_data(pipeline_id, previewer_id)
