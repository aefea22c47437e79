"""Snapshot resources: capture, status, data, lists and deletion."""

from __future__ import annotations

from typing import Any, Mapping

from ..errors import bad_request
from . import RequestContext, router


@router.route("PUT", "/pipeline/{pipeline_id}/snapshot/{snapshot_name}")
def capture(ctx: RequestContext, pipeline_id: str, snapshot_name: str) -> dict[str, Any]:
    """Start capturing a snapshot; the body holds the runtime parameters."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    parameters = ctx.json()
    if parameters is not None and not isinstance(parameters, Mapping):
        raise bad_request("Runtime parameters must be a JSON object")
    snapshot = ctx.state.snapshots.capture(
        pipeline_id,
        snapshot_name,
        pipeline.stages,
        label=ctx.arg("snapshotLabel"),
        rev=ctx.arg("rev") or "0",
        user=ctx.user,
        batches=ctx.integer("batches", 1),
        batch_size=ctx.integer("batchSize", 10),
        start_pipeline=ctx.flag("startPipeline"),
        runtime_parameters=dict(parameters) if parameters else None,
        issues=pipeline.issues(),
    )
    return snapshot.info(True)


@router.route("GET", "/pipeline/{pipeline_id}/snapshot/{snapshot_name}/status")
def snapshot_status(ctx: RequestContext, pipeline_id: str, snapshot_name: str) -> dict[str, Any]:
    """The snapshot's status record; reads take a capture towards completion."""
    return ctx.state.snapshots.read_status(pipeline_id, snapshot_name)


@router.route("GET", "/pipeline/{pipeline_id}/snapshot/{snapshot_name}")
def snapshot_data(ctx: RequestContext, pipeline_id: str, snapshot_name: str) -> dict[str, Any]:
    """The captured records."""
    return ctx.state.snapshots.get(pipeline_id, snapshot_name).data()


@router.route("DELETE", "/pipeline/{pipeline_id}/snapshot/{snapshot_name}")
def delete(ctx: RequestContext, pipeline_id: str, snapshot_name: str) -> None:
    """Forget a snapshot; the engine answers with an empty body."""
    ctx.state.snapshots.delete(pipeline_id, snapshot_name)


@router.route("GET", "/pipelines/snapshots")
def all_snapshots(ctx: RequestContext) -> list[dict[str, Any]]:
    """The status records of every pipeline's snapshots."""
    return ctx.state.snapshots.infos()


@router.route("GET", "/pipeline/{pipeline_id}/snapshots")
def pipeline_snapshots(ctx: RequestContext, pipeline_id: str) -> list[dict[str, Any]]:
    """The status records of one pipeline's snapshots."""
    infos = ctx.state.snapshots.infos(pipeline_id)
    if not infos:
        ctx.state.pipelines.get(pipeline_id)  # an unknown pipeline is a 404, a known one an empty list
    return infos
