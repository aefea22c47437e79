"""Snapshots: capture, status, data, lists and deletion."""

from __future__ import annotations

from typing import Any

from ..store import StoredPipeline
from . import RequestContext, pipeline_route, router


@pipeline_route("PUT", "/pipeline/{pipeline_id}/snapshot/{snapshot_name}")
def capture(ctx: RequestContext, pipeline: StoredPipeline, snapshot_name: str) -> dict[str, Any]:
    """Start capturing a snapshot; the body holds the runtime parameters."""
    parameters = ctx.object_body("Runtime parameters")
    snapshot = ctx.state.snapshots.capture(
        pipeline.pipeline_id,
        snapshot_name,
        pipeline.stages,
        label=ctx.arg("snapshotLabel"),
        rev=str(ctx.rev()),
        user=ctx.user,
        batches=ctx.integer("batches", 1),
        batch_size=ctx.integer("batchSize", 10),
        runtime_parameters=parameters or None,
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


@pipeline_route("GET", "/pipeline/{pipeline_id}/snapshots")
def pipeline_snapshots(ctx: RequestContext, pipeline: StoredPipeline) -> list[dict[str, Any]]:
    """The status records of one pipeline's snapshots."""
    return ctx.state.snapshots.infos(pipeline.pipeline_id)
