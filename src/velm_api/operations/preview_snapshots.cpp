// Validation, preview and snapshot operations, with the status and data queries their commands' waits poll.
// The dynamic previews take both ids from the engine's answer, since the engine makes the pipeline.
#include "operations.hpp"

namespace velm {
namespace {

const Row rows[] = {
    "validate_pipeline(self, pipeline_id: str, rev: int | None = 0, "
    "timeout_sec: int | None = 2000) -> ValidateCommand\n"
    "GET /pipeline/{pipeline_id}/validate | query: rev=rev, timeout=timeout_sec"
    " | returns: ValidateCommand(pipeline_id, answer[\"previewerId\"])\n"
    "Start a validation of a stored pipeline.\n\n"
    "``timeout_sec`` travels to the engine as ``timeout``; the client does not wait on it.\n\n"
    "Returns:\n"
    "    ValidateCommand for the run (previewer id from the answer); ``wait_for_validate`` waits.\n\n"
    "Raises:\n"
    "    KeyError: the answer has no ``previewerId``.",
    "run_pipeline_preview(self, pipeline_id: str, rev: int | None = 0, batches: int | None = 1, "
    "batch_size: int | None = 10, skip_targets: bool | None = True, end_stage: str | None = None, "
    "timeout: int | None = 2000, test_origin: bool | None = False, "
    "stage_outputs_to_override_json: typing.Any = None) -> PreviewCommand\n"
    "POST /pipeline/{pipeline_id}/preview | query: get_params without pipeline_id"
    " | returns: PreviewCommand(pipeline_id, answer[\"previewerId\"])\n"
    "Start a preview of a stored pipeline.\n\n"
    "Every setting travels in the query; the request has no body.\n\n"
    "Returns:\n"
    "    PreviewCommand for the run; ``wait_for_finished`` waits, ``preview`` reads the records.\n\n"
    "Raises:\n"
    "    KeyError: the answer has no ``previewerId``.",
    "run_dynamic_pipeline_preview(self, preview_json: typing.Any) -> PreviewCommand\n"
    "POST /pipeline/dynamicPreview | body: preview_json"
    " | returns: PreviewCommand(answer[\"pipelineId\"], answer[\"previewerId\"])\n"
    "Start a preview of a pipeline the engine makes from ``preview_json``\n"
    "(POST /pipeline/dynamicPreview).\n\n"
    "Returns:\n"
    "    PreviewCommand with the pipeline id and previewer id from the engine's answer.\n\n"
    "Raises:\n"
    "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.",
    "run_dynamic_pipeline_preview_for_connection(self, "
    "preview_json: typing.Any) -> ConnectionValidateCommand\n"
    "POST /pipeline/dynamicPreview | body: preview_json"
    " | returns: ConnectionValidateCommand(answer[\"pipelineId\"], answer[\"previewerId\"])\n"
    "Start a dynamic preview that tests a connection.\n\n"
    "Returns:\n"
    "    ConnectionValidateCommand with the pipeline id and previewer id from the engine's answer.\n\n"
    "Raises:\n"
    "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.",
    "get_preview_status(self, pipeline_id: str, previewer_id: str) -> Command\n"
    "GET /pipeline/{pipeline_id}/preview/{previewer_id}/status | returns: Command\n"
    "Read the state of a preview or validation run; the response holds the run's status record.",
    "get_preview_data(self, pipeline_id: str, previewer_id: str) -> PreviewCommand\n"
    "GET /pipeline/{pipeline_id}/preview/{previewer_id}"
    " | returns: PreviewCommand(pipeline_id, previewer_id)\n"
    "Read the output of a preview or validation run.\n\n"
    "Returns:\n"
    "    PreviewCommand for the two ids, whose response holds the preview data.",
    "capture_snapshot(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None, "
    "rev: int | None = 0, batches: int | None = 1, batch_size: int | None = 10, "
    "start_pipeline: bool | None = False, runtime_parameters: collections.abc.Mapping[str, "
    "typing.Any] | None = None) -> SnapshotCommand\n"
    "PUT /pipeline/{pipeline_id}/snapshot/{snapshot_name}"
    " | query: get_params without pipeline_id, snapshot_name, runtime_parameters"
    " | body: runtime_parameters | returns: SnapshotCommand(pipeline_id, snapshot_name, snapshot_label)\n"
    "Ask the engine to capture a snapshot.\n\n"
    "The runtime parameters are the JSON body (\"{}\" when there are none); the other settings\n"
    "travel in the query. The client starts nothing itself, even with ``start_pipeline``.\n\n"
    "Returns:\n"
    "    SnapshotCommand for the caller's pipeline id, name and label; ``wait_for_finished`` waits.",
    "get_snapshot_status(self, pipeline_id: str, snapshot_name: str, rev: int | None = 0) -> Command\n"
    "GET /pipeline/{pipeline_id}/snapshot/{snapshot_name}/status"
    " | query: get_params without pipeline_id, snapshot_name | returns: Command\n"
    "Read the status of a snapshot; the response holds the status record (with ``inProgress``).",
    "get_snapshot_data(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None, "
    "rev: int | None = 0) -> SnapshotCommand\n"
    "GET /pipeline/{pipeline_id}/snapshot/{snapshot_name}"
    " | query: get_params without pipeline_id, snapshot_name"
    " | returns: SnapshotCommand(pipeline_id, snapshot_name, snapshot_label)\n"
    "Read the records of a snapshot.\n\n"
    "Returns:\n"
    "    SnapshotCommand for the snapshot, whose response holds its data.",
    "get_snapshots(self) -> typing.Any\n"
    "GET /pipelines/snapshots | returns: json or []\n"
    "List the snapshots of all pipelines.",
    "get_snapshots_by_pipeline(self, pipeline_id: str) -> Command\n"
    "GET /pipeline/{pipeline_id}/snapshots | returns: Command\n"
    "List the snapshots of one pipeline; the response holds the list.",
    "delete_snapshot(self, pipeline_id: str, snapshot_id: str, rev: int | None = 0) -> Command\n"
    "DELETE /pipeline/{pipeline_id}/snapshot/{snapshot_id}"
    " | query: get_params without pipeline_id, snapshot_id | returns: Command\n"
    "Delete a snapshot.\n\n"
    "Raises:\n"
    "    requests.HTTPError: any failure status, 400 and 500 included.",
};

}  // namespace

void init_preview_snapshots(nb::handle client) {
    for (Row row : rows) def_row(client, row);
}

}  // namespace velm
