"""Pipeline resources: status, the store, import and export, fragments, runs, rules, validation, previews,
snapshots and access control lists."""

from __future__ import annotations

import copy
import uuid
from typing import Any, Mapping

from ..context import bad_request
from ..documents import at_least, parse_overrides, sample_stages
from ..previews import PreviewRun, new_dynamic_pipeline_id
from ..store import StoredPipeline
from . import Reply, RequestContext, pipeline_route, router


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


@router.route("PUT", "/pipeline/{pipeline_title}")
def create_pipeline(ctx: RequestContext, pipeline_title: str) -> Reply:
    """Create an empty pipeline; the id flag has its older name on engines before 2.5.0.0."""
    flag = "autoGeneratePipelineId" if at_least(ctx.state.version, "2.5.0.0") else "autoGenerateName"
    pipeline = ctx.state.pipelines.create(
        pipeline_title,
        description=ctx.arg("description") or "",
        auto_generate=ctx.flag(flag),
        draft=ctx.flag("draft"),
        pipeline_type=ctx.arg("pipelineType") or "HARVEL",
        user=ctx.user,
    )
    return Reply(pipeline.definition_at(0), status=201)


@router.route("POST", "/pipeline/{pipeline_id}")
def update_pipeline(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Store the body as the pipeline's next revision and answer the stored definition."""
    ctx.rev()
    pipeline = ctx.state.pipelines.update(pipeline_id, ctx.json(), description=ctx.arg("description"), user=ctx.user)
    return pipeline.definition_at(0)


@pipeline_route("GET", "/pipeline/{pipeline_id}")
def get_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> Any:
    """The definition (get=pipeline), the information record (info) or the revisions (history)."""
    what = ctx.arg("get") or "pipeline"
    answers = {
        "pipeline": lambda: pipeline.definition_at(ctx.rev()),
        "info": pipeline.info,
        "history": pipeline.history,
    }
    if what not in answers:
        raise bad_request(f"Invalid value of 'get': '{what}' (pipeline, info or history)")
    return answers[what]()


@pipeline_route("DELETE", "/pipeline/{pipeline_id}")
def delete_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> None:
    """Delete a pipeline that is not running, with its runs and offsets."""
    with ctx.state.lock:
        if ctx.state.runs.is_active(pipeline.pipeline_id):
            raise bad_request(f"Pipeline '{pipeline.pipeline_id}' is running and cannot be deleted")
        ctx.state.pipelines.remove(pipeline.pipeline_id)
        ctx.state.runs.forget(pipeline.pipeline_id)


@router.route("GET", "/pipelines")
def list_pipelines(ctx: RequestContext) -> Any:
    """Information records, filtered, ordered and paged; with includeStatus also their status records."""
    state = ctx.state

    def status_of(pipeline_id: str) -> dict[str, Any]:
        never_ran = {"pipelineId": pipeline_id, "name": pipeline_id, "status": "EDITED", "message": None}
        return state.runs.status(pipeline_id) or never_ran

    pipelines = state.pipelines.listing(
        filter_text=ctx.arg("filterText"),
        label=ctx.arg("label"),
        offset=ctx.integer("offset", 0),
        length=ctx.integer("len", -1),
        order_by=ctx.arg("orderBy") or "NAME",
        order=ctx.arg("order") or "ASC",
        status_of=lambda pid: status_of(pid)["status"],
    )
    infos = [p.info() for p in pipelines]
    if ctx.flag("includeStatus"):
        return [infos, [status_of(p.pipeline_id) for p in pipelines]]
    return infos


@pipeline_route("GET", "/pipeline/{pipeline_id}/export")
def export_pipeline(ctx: RequestContext, pipeline: StoredPipeline) -> Reply:
    """The pipeline in export form; as a file download with attachment=true."""
    credentials = ctx.flag("includePlainTextCredentials", True)
    export = pipeline.export(ctx.flag("includeLibraryDefinitions"), credentials, ctx.rev())
    download = {"Content-Disposition": f'attachment; filename="{pipeline.pipeline_id}.json"'}
    return Reply(export, headers=download if ctx.flag("attachment") else {})


@router.route("POST", "/pipelines/export")
def export_pipelines(ctx: RequestContext) -> Reply:
    """A ZIP archive of the pipelines whose ids the body lists."""
    ids = ctx.json()
    if not isinstance(ids, list) or not all(isinstance(pid, str) for pid in ids):
        raise bad_request("The body must be a JSON list of pipeline ids")
    archive = ctx.state.pipelines.export_archive(
        ids,
        libraries=ctx.flag("includeLibraryDefinitions"),
        plain_text_credentials=ctx.flag("includePlainTextCredentials", True),
    )
    return Reply(
        archive, content_type="application/zip", headers={"Content-Disposition": 'attachment; filename="pipelines.zip"'}
    )


@router.route("POST", "/pipeline/{pipeline_id}/import")
def import_pipeline(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Store an exported pipeline (or only check it, as a draft) and answer it in export form."""
    ctx.rev()
    pipeline = ctx.state.pipelines.import_pipeline(
        pipeline_id,
        ctx.json(),
        overwrite=ctx.flag("overwrite"),
        draft=ctx.flag("draft"),
        auto_generate=ctx.flag("autoGeneratePipelineId"),
        user=ctx.user,
    )
    return pipeline.export(libraries=ctx.flag("includeLibraryDefinitions"))


@router.route("POST", "/pipelines/import")
def import_pipelines(ctx: RequestContext) -> dict[str, Any]:
    """Import the exports of a ZIP archive uploaded as the multipart form field "file"."""
    if ctx.request.mimetype != "multipart/form-data":
        raise bad_request(f"Expected a multipart/form-data upload, not '{ctx.request.mimetype}'")
    upload = ctx.request.files.get("file")
    if upload is None:
        raise bad_request("The upload has no form field 'file'")
    return ctx.state.pipelines.import_archive(upload.read(), user=ctx.user)


@router.route("PUT", "/fragment/{title}")
def create_fragment(ctx: RequestContext, title: str) -> Reply:
    """Create a fragment; an optional JSON body gives its stages."""
    fragment = ctx.state.pipelines.create_fragment(
        title,
        description=ctx.arg("description") or "",
        draft=ctx.flag("draft"),
        mode=ctx.arg("executionMode"),
        body=ctx.json(),
    )
    return Reply(fragment, status=201)


@router.route("POST", "/fragment/{fragment_id}/import")
def import_fragment(ctx: RequestContext, fragment_id: str) -> dict[str, Any]:
    """Store an exported fragment under ``fragment_id`` and answer it in export form."""
    return ctx.state.pipelines.import_fragment(fragment_id, ctx.json(), draft=ctx.flag("draft"))


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


def _pipeline(ctx: RequestContext, pipeline_id: str) -> StoredPipeline:
    return ctx.state.pipelines.get(pipeline_id)


@router.route("GET", "/acl/{pipeline_id}")
def get_acl(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """The pipeline's access control list; 404 for an unknown pipeline."""
    return ctx.state.access.acl(_pipeline(ctx, pipeline_id))


@router.route("POST", "/acl/{pipeline_id}")
def set_acl(ctx: RequestContext, pipeline_id: str) -> dict[str, Any]:
    """Replace the pipeline's access control list; answers with what was stored."""
    return ctx.state.access.set_acl(_pipeline(ctx, pipeline_id), ctx.json(), ctx.user)


@router.route("GET", "/acl/{pipeline_id}/permissions")
def permissions(ctx: RequestContext, pipeline_id: str) -> list[dict[str, Any]]:
    """The grants of the pipeline's access control list."""
    grants: list[dict[str, Any]] = ctx.state.access.acl(_pipeline(ctx, pipeline_id))["grants"]
    return grants


@router.route("GET", "/pipelines/subjects")
def subjects(ctx: RequestContext) -> dict[str, list[str]]:
    """The users and groups named in any pipeline's access control list."""
    return ctx.state.access.subjects(ctx.state.pipelines.all())


@router.route("POST", "/pipeline/subjects")
def rename_subjects(ctx: RequestContext) -> dict[str, list[str]]:
    """Rename users and groups across all access control lists: ``{"users": {"old": "new"}, "groups": {...}}``."""
    return ctx.state.access.rename_subjects(ctx.state.pipelines.all(), ctx.json(), ctx.user)
