"""Pipeline resources: status, the store, import and export, and fragments."""

from __future__ import annotations

from typing import Any

from ..errors import bad_request
from ..versions import at_least
from . import Reply, RequestContext, router

# -- query helpers shared with the run routes ----------------------------------------------------------------


def rev_arg(ctx: RequestContext) -> int:
    """The ``rev`` query parameter (0, the current revision, when absent)."""
    rev = ctx.integer("rev", 0)
    if rev < 0:
        raise bad_request(f"Invalid revision {rev}")
    return rev


def object_body(ctx: RequestContext, what: str) -> dict[str, Any] | None:
    """The JSON body when it is an object, None when the body is empty; 400 otherwise."""
    body = ctx.json()
    if body is not None and not isinstance(body, dict):
        raise bad_request(f"{what} must be a JSON object")
    return body


# -- status ----------------------------------------------------------------------------------------------------


@router.route("GET", "/pipeline/{pipeline_id}/status")
def pipeline_status(ctx: RequestContext, pipeline_id: str) -> dict[str, Any] | None:
    """Current status record: scripted, else the latest run's, else EDITED for a stored pipeline."""
    record = ctx.state.read_status(pipeline_id, rev=str(rev_arg(ctx)))
    if record is None:
        # With onlyIfExists the engine answers an unknown id with an empty 200.
        if ctx.flag("onlyIfExists"):
            return None
        ctx.state.pipelines.get(pipeline_id)  # raises the engine's 404
    return record


# -- the store -------------------------------------------------------------------------------------------------


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
    rev_arg(ctx)
    pipeline = ctx.state.pipelines.update(pipeline_id, ctx.json(), description=ctx.arg("description"), user=ctx.user)
    return pipeline.definition_at(0)


@router.route("GET", "/pipeline/{pipeline_id}")
def get_pipeline(ctx: RequestContext, pipeline_id: str) -> Any:
    """The definition (get=pipeline), the information record (info) or the revisions (history)."""
    pipeline = ctx.state.pipelines.get(pipeline_id)
    what = ctx.arg("get") or "pipeline"
    if what == "pipeline":
        return pipeline.definition_at(rev_arg(ctx))
    if what == "info":
        return pipeline.info()
    if what == "history":
        return pipeline.history()
    raise bad_request(f"Invalid value of 'get': '{what}' (pipeline, info or history)")


@router.route("DELETE", "/pipeline/{pipeline_id}")
def delete_pipeline(ctx: RequestContext, pipeline_id: str) -> None:
    """Delete a pipeline that is not running, with its runs and offsets."""
    state = ctx.state
    with state.lock:
        state.pipelines.get(pipeline_id)
        if state.runs.is_active(pipeline_id):
            raise bad_request(f"Pipeline '{pipeline_id}' is running and cannot be deleted")
        state.pipelines.remove(pipeline_id)
        state.runs.forget(pipeline_id)


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


# -- import and export -------------------------------------------------------------------------------------------


@router.route("GET", "/pipeline/{pipeline_id}/export")
def export_pipeline(ctx: RequestContext, pipeline_id: str) -> Reply:
    """The pipeline in export form; as a file download with attachment=true."""
    export = ctx.state.pipelines.get(pipeline_id).export(
        libraries=ctx.flag("includeLibraryDefinitions"),
        plain_text_credentials=ctx.flag("includePlainTextCredentials", True),
        rev=rev_arg(ctx),
    )
    headers = {}
    if ctx.flag("attachment"):
        headers["Content-Disposition"] = f'attachment; filename="{pipeline_id}.json"'
    return Reply(export, headers=headers)


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
    rev_arg(ctx)
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


# -- fragments --------------------------------------------------------------------------------------------------


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
    return Reply(fragment.definition(), status=201)


@router.route("POST", "/fragment/{fragment_id}/import")
def import_fragment(ctx: RequestContext, fragment_id: str) -> dict[str, Any]:
    """Store an exported fragment under ``fragment_id`` and answer it in export form."""
    fragment = ctx.state.pipelines.import_fragment(fragment_id, ctx.json(), draft=ctx.flag("draft"))
    return fragment.export()
