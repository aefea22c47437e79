"""The pipeline store's resources: definitions, lists, import and export, and fragments."""

from __future__ import annotations

from typing import Any

from ..context import bad_request
from ..documents import at_least
from ..store import StoredPipeline
from . import Reply, RequestContext, pipeline_route, router


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
