// Validation, preview and snapshot operations: each starts a run on the engine (or lists and deletes
// snapshots) and hands the answer to the command that waits for it; with them, the status and data queries
// those waits poll.
#include "operations.hpp"

namespace velm {
namespace {

// Both dynamic previews send the same request; the engine makes the pipeline, so both ids come from its
// answer and the caller's wrapper only decides how the run is awaited.
nb::object dynamic_preview(nb::handle self, nb::object preview_json, const char *command_class) {
    nb::str path = endpoint(self, "/v{}/pipeline/dynamicPreview");
    nb::object response = self.attr("_post")("endpoint"_a = path, "data"_a = preview_json);
    nb::object previewer_id = response.attr("json")()["previewerId"];
    nb::object pipeline_id = response.attr("json")()["pipelineId"];
    return global(command_class)(self, response, pipeline_id, previewer_id);
}

}  // namespace

// Every argument takes None, as it would in Python (nanobind refuses None unless told): a None setting is
// left out of the query by get_params, and a flag of None is false.
void init_preview_snapshots(ClientClass &client) {
    client.def(
        "validate_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object timeout_sec) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/validate", {pipeline_id});
            nb::object response = self.attr("_get")(
                "endpoint"_a = path, "params"_a = mapping({{"rev", rev}, {"timeout", timeout_sec}}));
            nb::object previewer_id = response.attr("json")()["previewerId"];
            return global("ValidateCommand")(self, response, pipeline_id, previewer_id);
        },
        nb::sig("def validate_pipeline(self, pipeline_id: str, rev: int | None = 0, "
                "timeout_sec: int | None = 2000) -> ValidateCommand"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "timeout_sec"_a.none() = 2000,
        "Start a validation of a stored pipeline (GET /pipeline/{pipeline_id}/validate).\n\n"
        "``timeout_sec`` travels to the engine as ``timeout``; the client does not wait on it.\n\n"
        "Returns:\n"
        "    ValidateCommand for the run (previewer id from the answer); ``wait_for_validate`` waits.\n\n"
        "Raises:\n"
        "    KeyError: the answer has no ``previewerId``.");
    client.def(
        "run_pipeline_preview",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object batches, nb::object batch_size,
           nb::object skip_targets, nb::object end_stage, nb::object timeout, nb::object test_origin,
           nb::object stage_outputs_to_override_json) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"rev", rev},
                                       {"batches", batches},
                                       {"batch_size", batch_size},
                                       {"skip_targets", skip_targets},
                                       {"end_stage", end_stage},
                                       {"timeout", timeout},
                                       {"test_origin", test_origin},
                                       {"stage_outputs_to_override_json", stage_outputs_to_override_json}},
                                      {"self", "pipeline_id"});
            nb::object response = self.attr("_post")(
                "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/preview", {pipeline_id}), "params"_a = query);
            nb::object previewer_id = response.attr("json")()["previewerId"];
            return global("PreviewCommand")(self, response, pipeline_id, previewer_id);
        },
        nb::sig("def run_pipeline_preview(self, pipeline_id: str, rev: int | None = 0, batches: int | "
                "None = 1, "
                "batch_size: int | None = 10, skip_targets: bool | None = True, end_stage: str | None = "
                "None, "
                "timeout: int | None = 2000, test_origin: bool | None = False, "
                "stage_outputs_to_override_json: typing.Any = None) -> PreviewCommand"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "batches"_a.none() = 1, "batch_size"_a.none() = 10,
        "skip_targets"_a.none() = true, "end_stage"_a.none() = nb::none(), "timeout"_a.none() = 2000,
        "test_origin"_a.none() = false, "stage_outputs_to_override_json"_a.none() = nb::none(),
        "Start a preview of a stored pipeline (POST /pipeline/{pipeline_id}/preview).\n\n"
        "Every setting travels in the query; the request has no body.\n\n"
        "Returns:\n"
        "    PreviewCommand for the run; ``wait_for_finished`` waits, ``preview`` reads the records.\n\n"
        "Raises:\n"
        "    KeyError: the answer has no ``previewerId``.");
    client.def(
        "run_dynamic_pipeline_preview",
        [](nb::handle self, nb::object preview_json) {
            return dynamic_preview(self, preview_json, "PreviewCommand");
        },
        nb::sig("def run_dynamic_pipeline_preview(self, preview_json: typing.Any) -> PreviewCommand"),
        "preview_json"_a.none(),
        "Start a preview of a pipeline the engine makes from ``preview_json``\n"
        "(POST /pipeline/dynamicPreview).\n\n"
        "Returns:\n"
        "    PreviewCommand with the pipeline id and previewer id from the engine's answer.\n\n"
        "Raises:\n"
        "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.");
    client.def(
        "run_dynamic_pipeline_preview_for_connection",
        [](nb::handle self, nb::object preview_json) {
            return dynamic_preview(self, preview_json, "ConnectionValidateCommand");
        },
        nb::sig("def run_dynamic_pipeline_preview_for_connection(self, preview_json: typing.Any) -> "
                "ConnectionValidateCommand"),
        "preview_json"_a.none(),
        "Start a dynamic preview that tests a connection (POST /pipeline/dynamicPreview).\n\n"
        "Returns:\n"
        "    ConnectionValidateCommand with the pipeline id and previewer id from the engine's "
        "answer.\n\n"
        "Raises:\n"
        "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.");
    client.def(
        "get_preview_status",
        [](nb::handle self, nb::object pipeline_id, nb::object previewer_id) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/preview/{}/status", {pipeline_id, previewer_id});
            return command(self, self.attr("_get")("endpoint"_a = path));
        },
        nb::sig("def get_preview_status(self, pipeline_id: str, previewer_id: str) -> Command"),
        "pipeline_id"_a.none(), "previewer_id"_a.none(),
        "Read the state of a preview or validation run.\n\n"
        "Returns:\n"
        "    Command whose response holds the run's status record.");
    client.def(
        "get_preview_data",
        [](nb::handle self, nb::object pipeline_id, nb::object previewer_id) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/preview/{}", {pipeline_id, previewer_id});
            return global("PreviewCommand")(self, self.attr("_get")("endpoint"_a = path), pipeline_id,
                                            previewer_id);
        },
        nb::sig("def get_preview_data(self, pipeline_id: str, previewer_id: str) -> PreviewCommand"),
        "pipeline_id"_a.none(), "previewer_id"_a.none(),
        "Read the output of a preview or validation run.\n\n"
        "Returns:\n"
        "    PreviewCommand for the two ids, whose response holds the preview data.");
    client.def(
        "capture_snapshot",
        [](nb::handle self, nb::object pipeline_id, nb::object snapshot_name, nb::object snapshot_label,
           nb::object rev, nb::object batches, nb::object batch_size, nb::object start_pipeline,
           nb::object runtime_parameters) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"snapshot_name", snapshot_name},
                                       {"snapshot_label", snapshot_label},
                                       {"rev", rev},
                                       {"batches", batches},
                                       {"batch_size", batch_size},
                                       {"start_pipeline", start_pipeline},
                                       {"runtime_parameters", runtime_parameters}},
                                      {"self", "pipeline_id", "snapshot_name", "runtime_parameters"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_name});
            nb::object response =
                self.attr("_put")("endpoint"_a = path, "params"_a = query, "data"_a = runtime_parameters);
            return global("SnapshotCommand")(self, response, pipeline_id, snapshot_name, snapshot_label);
        },
        nb::sig("def capture_snapshot(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | "
                "None, "
                "rev: int | None = 0, batches: int | None = 1, batch_size: int | None = 10, "
                "start_pipeline: bool | None = False, "
                "runtime_parameters: collections.abc.Mapping[str, typing.Any] | None = None) -> "
                "SnapshotCommand"),
        "pipeline_id"_a.none(), "snapshot_name"_a.none(), "snapshot_label"_a.none(), "rev"_a.none() = 0,
        "batches"_a.none() = 1, "batch_size"_a.none() = 10, "start_pipeline"_a.none() = false,
        "runtime_parameters"_a.none() = nb::none(),
        "Ask the engine to capture a snapshot (PUT /pipeline/{pipeline_id}/snapshot/{snapshot_name}).\n\n"
        "The runtime parameters are the JSON body (\"{}\" when there are none); the other settings\n"
        "travel in the query. The client starts nothing itself, even with ``start_pipeline``.\n\n"
        "Returns:\n"
        "    SnapshotCommand for the caller's pipeline id, name and label; ``wait_for_finished`` waits.");
    client.def(
        "get_snapshot_status",
        [](nb::handle self, nb::object pipeline_id, nb::object snapshot_name, nb::object rev) {
            nb::object query =
                params(self, {{"pipeline_id", pipeline_id}, {"snapshot_name", snapshot_name}, {"rev", rev}},
                       {"self", "pipeline_id", "snapshot_name"});
            nb::str path =
                endpoint(self, "/v{}/pipeline/{}/snapshot/{}/status", {pipeline_id, snapshot_name});
            return command(self, self.attr("_get")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def get_snapshot_status(self, pipeline_id: str, snapshot_name: str, rev: int | None = 0) -> "
                "Command"),
        "pipeline_id"_a.none(), "snapshot_name"_a.none(), "rev"_a.none() = 0,
        "Read the status of a snapshot.\n\n"
        "Returns:\n"
        "    Command whose response holds the status record (with ``inProgress``).");
    client.def(
        "get_snapshot_data",
        [](nb::handle self, nb::object pipeline_id, nb::object snapshot_name, nb::object snapshot_label,
           nb::object rev) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"snapshot_name", snapshot_name},
                                       {"snapshot_label", snapshot_label},
                                       {"rev", rev}},
                                      {"self", "pipeline_id", "snapshot_name"});
            nb::object response = self.attr("_get")(
                "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_name}),
                "params"_a = query);
            return global("SnapshotCommand")(self, response, pipeline_id, snapshot_name, snapshot_label);
        },
        nb::sig("def get_snapshot_data(self, pipeline_id: str, snapshot_name: str, snapshot_label: str "
                "| None, "
                "rev: int | None = 0) -> SnapshotCommand"),
        "pipeline_id"_a.none(), "snapshot_name"_a.none(), "snapshot_label"_a.none(), "rev"_a.none() = 0,
        "Read the records of a snapshot.\n\n"
        "Returns:\n"
        "    SnapshotCommand for the snapshot, whose response holds its data.");
    client.def(
        "get_snapshots",
        [](nb::handle self) {
            nb::str path = endpoint(self, "/v{}/pipelines/snapshots");
            return decoded_or(self.attr("_get")("endpoint"_a = path), nb::list());
        },
        nb::sig("def get_snapshots(self) -> typing.Any"),
        "List the snapshots of all pipelines (GET /pipelines/snapshots).\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the engine sent no body.");
    client.def(
        "get_snapshots_by_pipeline",
        [](nb::handle self, nb::object pipeline_id) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/snapshots", {pipeline_id});
            return command(self, self.attr("_get")("endpoint"_a = path));
        },
        nb::sig("def get_snapshots_by_pipeline(self, pipeline_id: str) -> Command"), "pipeline_id"_a.none(),
        "List the snapshots of one pipeline (GET /pipeline/{pipeline_id}/snapshots).\n\n"
        "Returns:\n"
        "    Command whose response holds the list.");
    client.def(
        "delete_snapshot",
        [](nb::handle self, nb::object pipeline_id, nb::object snapshot_id, nb::object rev) {
            nb::object query =
                params(self, {{"pipeline_id", pipeline_id}, {"snapshot_id", snapshot_id}, {"rev", rev}},
                       {"self", "pipeline_id", "snapshot_id"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_id});
            return command(self, self.attr("_delete")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def delete_snapshot(self, pipeline_id: str, snapshot_id: str, rev: int | None = 0) -> "
                "Command"),
        "pipeline_id"_a.none(), "snapshot_id"_a.none(), "rev"_a.none() = 0,
        "Delete a snapshot (DELETE /pipeline/{pipeline_id}/snapshot/{snapshot_id}).\n\n"
        "Returns:\n"
        "    Command holding the engine's answer.\n\n"
        "Raises:\n"
        "    requests.HTTPError: any failure status, 400 and 500 included.");
}

}  // namespace velm
