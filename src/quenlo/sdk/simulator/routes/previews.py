"""Validation and preview runs: their starts, status and data."""

from __future__ import annotations

from typing import Any, Mapping

from ..context import bad_request
from ..documents import parse_overrides, sample_stages
from ..previews import PreviewRun, new_dynamic_pipeline_id
from ..store import StoredPipeline
from . import RequestContext, pipeline_route, router


def _started(run: PreviewRun) -> dict[str, Any]:
    # The answer to a starting request: the previewer id and the state the run starts in.
    return run.status_record(run.progress.states[0])


@pipeline_route("GET", "/pipeline/{pipeline_id}/validate")
def validate(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Start a validation of a stored pipeline."""
    return _started(ctx.state.previews.validate(pipeline.pipeline_id, pipeline.stages, pipeline.invalid_issues))


@pipeline_route("POST", "/pipeline/{pipeline_id}/preview")
def preview(ctx: RequestContext, pipeline: StoredPipeline) -> dict[str, Any]:
    """Start a preview of a stored pipeline; every setting comes in the query."""
    run = ctx.state.previews.preview(
        pipeline.pipeline_id,
        pipeline.stages,
        pipeline.invalid_issues,
        batches=ctx.integer("batches", 1),
        batch_size=ctx.integer("batchSize", 10),
        skip_targets=ctx.flag("skipTargets", True),
        end_stage=ctx.arg("endStage") or None,
        test_origin=ctx.flag("testOrigin"),
        overrides=parse_overrides(ctx.arg("stageOutputsToOverrideJson")),
    )
    return _started(run)


@router.route("POST", "/pipeline/dynamicPreview")
def dynamic_preview(ctx: RequestContext) -> dict[str, Any]:
    """Start a preview of a pipeline made for the request.

    The request: ``{"kind": "PIPELINE", "stages": [...], "batches", "batchSize", "skipTargets", "endStage"}``
    (without stages, the sample pipeline's), or ``{"kind": "CONNECTION", "connection": {...}}``.
    """
    request = ctx.json()
    if not isinstance(request, Mapping):
        raise bad_request("A dynamic preview needs a JSON object describing it", "PREVIEW_REQUEST")
    pipeline_id = new_dynamic_pipeline_id()
    kind = request.get("kind", "PIPELINE")
    if kind == "CONNECTION":
        connection = request.get("connection")
        if not isinstance(connection, Mapping):
            raise bad_request("A connection check needs a connection", "PREVIEW_REQUEST")
        return _started(ctx.state.previews.verify_connection(pipeline_id, connection))
    if kind != "PIPELINE":
        raise bad_request(f"Unknown dynamic preview kind '{kind}'", "PREVIEW_REQUEST")
    stages = request.get("stages") or sample_stages()
    if not isinstance(stages, list):
        raise bad_request("The stages of a dynamic preview must be a list", "PREVIEW_REQUEST")
    run = ctx.state.previews.preview(
        pipeline_id,
        stages,
        batches=int(request.get("batches", 1)),
        batch_size=int(request.get("batchSize", 10)),
        skip_targets=bool(request.get("skipTargets", True)),
        end_stage=request.get("endStage"),
        kind="dynamic",
    )
    return _started(run)


@router.route("GET", "/pipeline/{pipeline_id}/preview/{previewer_id}/status")
def preview_status(ctx: RequestContext, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
    """The run's state; each read takes a run that steps on reads one state further."""
    return ctx.state.previews.read_status(pipeline_id, previewer_id)


@router.route("GET", "/pipeline/{pipeline_id}/preview/{previewer_id}")
def preview_data(ctx: RequestContext, pipeline_id: str, previewer_id: str) -> dict[str, Any]:
    """The run's output: the batches once FINISHED, the issues once INVALID."""
    return ctx.state.previews.read_data(pipeline_id, previewer_id)
