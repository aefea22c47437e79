// Validation, preview and snapshot operations, with the status and data queries their commands' waits poll.
// The dynamic previews take both ids from the engine's answer, since the engine makes the pipeline.
#include "operations.hpp"

namespace velm {
namespace {

const Row rows[] = {
    R"(
validate_pipeline(self, pipeline_id: str, rev: int | None = 0,
                  timeout_sec: int | None = 2000) -> ValidateCommand
GET /pipeline/{pipeline_id}/validate | query: rev=rev, timeout=timeout_sec | reads: previewerId
    | returns: ValidateCommand(pipeline_id, previewerId)
Start a validation of a stored pipeline.

``timeout_sec`` travels to the engine as ``timeout``; the client does not wait on it.

Returns:
    ValidateCommand for the run (previewer id from the answer); ``wait_for_validate`` waits.

Raises:
    KeyError: the answer has no ``previewerId``.
)",
    R"(
run_pipeline_preview(self, pipeline_id: str, rev: int | None = 0, batches: int | None = 1,
                     batch_size: int | None = 10, skip_targets: bool | None = True,
                     end_stage: str | None = None, timeout: int | None = 2000,
                     test_origin: bool | None = False,
                     stage_outputs_to_override_json: typing.Any = None) -> PreviewCommand
POST /pipeline/{pipeline_id}/preview | query: get_params without pipeline_id | reads: previewerId
    | returns: PreviewCommand(pipeline_id, previewerId)
Start a preview of a stored pipeline.

Every setting travels in the query; the request has no body.

Returns:
    PreviewCommand for the run; ``wait_for_finished`` waits, ``preview`` reads the records.

Raises:
    KeyError: the answer has no ``previewerId``.
)",
    R"(
run_dynamic_pipeline_preview(self, preview_json: typing.Any) -> PreviewCommand
POST /pipeline/dynamicPreview | body: preview_json | reads: previewerId, pipelineId
    | returns: PreviewCommand(pipelineId, previewerId)
Start a preview of a pipeline the engine makes from ``preview_json``
(POST /pipeline/dynamicPreview).

Returns:
    PreviewCommand with the pipeline id and previewer id from the engine's answer.

Raises:
    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.
)",
    R"(
run_dynamic_pipeline_preview_for_connection(self, preview_json: typing.Any) -> ConnectionValidateCommand
POST /pipeline/dynamicPreview | body: preview_json | reads: previewerId, pipelineId
    | returns: ConnectionValidateCommand(pipelineId, previewerId)
Start a dynamic preview that tests a connection.

Returns:
    ConnectionValidateCommand with the pipeline id and previewer id from the engine's answer.

Raises:
    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.
)",
    R"(
get_preview_status(self, pipeline_id: str, previewer_id: str) -> Command
GET /pipeline/{pipeline_id}/preview/{previewer_id}/status | returns: Command
Read the state of a preview or validation run; the response holds the run's status record.
)",
    R"(
get_preview_data(self, pipeline_id: str, previewer_id: str) -> PreviewCommand
GET /pipeline/{pipeline_id}/preview/{previewer_id} | returns: PreviewCommand(pipeline_id, previewer_id)
Read the output of a preview or validation run.

Returns:
    PreviewCommand for the two ids, whose response holds the preview data.
)",
    R"(
capture_snapshot(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None, rev: int | None = 0,
                 batches: int | None = 1, batch_size: int | None = 10, start_pipeline: bool | None = False,
                 runtime_parameters: collections.abc.Mapping[str, typing.Any] | None = None) -> SnapshotCommand
PUT /pipeline/{pipeline_id}/snapshot/{snapshot_name}
    | query: get_params without pipeline_id, snapshot_name, runtime_parameters | body: runtime_parameters
    | returns: SnapshotCommand(pipeline_id, snapshot_name, snapshot_label)
Ask the engine to capture a snapshot.

The runtime parameters are the JSON body ("{}" when there are none); the other settings
travel in the query. The client starts nothing itself, even with ``start_pipeline``.

Returns:
    SnapshotCommand for the caller's pipeline id, name and label; ``wait_for_finished`` waits.
)",
    R"(
get_snapshot_status(self, pipeline_id: str, snapshot_name: str, rev: int | None = 0) -> Command
GET /pipeline/{pipeline_id}/snapshot/{snapshot_name}/status
    | query: get_params without pipeline_id, snapshot_name | returns: Command
Read the status of a snapshot; the response holds the status record (with ``inProgress``).
)",
    R"(
get_snapshot_data(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None,
                  rev: int | None = 0) -> SnapshotCommand
GET /pipeline/{pipeline_id}/snapshot/{snapshot_name} | query: get_params without pipeline_id, snapshot_name
    | returns: SnapshotCommand(pipeline_id, snapshot_name, snapshot_label)
Read the records of a snapshot.

Returns:
    SnapshotCommand for the snapshot, whose response holds its data.
)",
    R"(
get_snapshots(self) -> typing.Any
GET /pipelines/snapshots | returns: json or []
List the snapshots of all pipelines.
)",
    R"(
get_snapshots_by_pipeline(self, pipeline_id: str) -> Command
GET /pipeline/{pipeline_id}/snapshots | returns: Command
List the snapshots of one pipeline; the response holds the list.
)",
    R"(
delete_snapshot(self, pipeline_id: str, snapshot_id: str, rev: int | None = 0) -> Command
DELETE /pipeline/{pipeline_id}/snapshot/{snapshot_id} | query: get_params without pipeline_id, snapshot_id
    | returns: Command
Delete a snapshot.

Raises:
    requests.HTTPError: any failure status, 400 and 500 included.
)",
};

}  // namespace

void init_preview_snapshots(nb::handle client) {
    for (Row row : rows) def_row(client, row);
}

}  // namespace velm
