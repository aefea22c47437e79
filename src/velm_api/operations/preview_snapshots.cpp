// Validation, preview and snapshot operations: each starts a run on the engine (or lists and deletes
// snapshots) and hands the answer to the command that waits for it.
#include "operations.hpp"

namespace velm {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Validation and preview

nb::object validate_pipeline(nb::handle self, nb::object pipeline_id, nb::object rev,
                             nb::object timeout_sec) {
    nb::dict params;
    params["rev"] = rev;
    params["timeout"] = timeout_sec;
    nb::object response = call_get(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/validate", {pipeline_id}), "params"_a = params);
    nb::object previewer_id = response.attr("json")()["previewerId"];
    return global("ValidateCommand")(self, response, pipeline_id, previewer_id);
}

nb::object run_pipeline_preview(nb::handle self, nb::object pipeline_id, nb::object rev, nb::object batches,
                                nb::object batch_size, nb::object skip_targets, nb::object end_stage,
                                nb::object timeout, nb::object test_origin,
                                nb::object stage_outputs_to_override_json) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    arguments["batches"] = batches;
    arguments["batch_size"] = batch_size;
    arguments["skip_targets"] = skip_targets;
    arguments["end_stage"] = end_stage;
    arguments["timeout"] = timeout;
    arguments["test_origin"] = test_origin;
    arguments["stage_outputs_to_override_json"] = stage_outputs_to_override_json;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/preview", {pipeline_id}),
                  "params"_a = query(arguments, names({"self", "pipeline_id"})));
    nb::object previewer_id = response.attr("json")()["previewerId"];
    return global("PreviewCommand")(self, response, pipeline_id, previewer_id);
}

// Both dynamic previews send the same request; the engine makes the pipeline, so both ids come from its
// answer and the caller's wrapper only decides how the run is awaited.
nb::object dynamic_preview(nb::handle self, nb::object preview_json, const char *command_class) {
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/dynamicPreview"),
                                    "data"_a = preview_json);
    nb::object previewer_id = response.attr("json")()["previewerId"];
    nb::object pipeline_id = response.attr("json")()["pipelineId"];
    return global(command_class)(self, response, pipeline_id, previewer_id);
}

nb::object run_dynamic_pipeline_preview(nb::handle self, nb::object preview_json) {
    return dynamic_preview(self, preview_json, "PreviewCommand");
}

nb::object run_dynamic_pipeline_preview_for_connection(nb::handle self, nb::object preview_json) {
    return dynamic_preview(self, preview_json, "ConnectionValidateCommand");
}

// ---------------------------------------------------------------------------------------------------------
// Snapshots

nb::object capture_snapshot(nb::handle self, nb::object pipeline_id, nb::object snapshot_name,
                            nb::object snapshot_label, nb::object rev, nb::object batches,
                            nb::object batch_size, nb::object start_pipeline, nb::object runtime_parameters) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["snapshot_name"] = snapshot_name;
    arguments["snapshot_label"] = snapshot_label;
    arguments["rev"] = rev;
    arguments["batches"] = batches;
    arguments["batch_size"] = batch_size;
    arguments["start_pipeline"] = start_pipeline;
    arguments["runtime_parameters"] = runtime_parameters;
    nb::object response = call_put(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_name}),
        "params"_a = query(arguments, names({"self", "pipeline_id", "snapshot_name", "runtime_parameters"})),
        "data"_a = runtime_parameters);
    return global("SnapshotCommand")(self, response, pipeline_id, snapshot_name, snapshot_label);
}

nb::object get_snapshots(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipelines/snapshots"));
    return decoded_or(response, nb::list());
}

nb::object get_snapshots_by_pipeline(nb::handle self, nb::object pipeline_id) {
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshots", {pipeline_id}));
    return command(self, response);
}

nb::object delete_snapshot(nb::handle self, nb::object pipeline_id, nb::object snapshot_id, nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["snapshot_id"] = snapshot_id;
    arguments["rev"] = rev;
    nb::object response = call_delete(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_id}),
        "params"_a = query(arguments, names({"self", "pipeline_id", "snapshot_id"})));
    return command(self, response);
}

}  // namespace

// Every argument takes None, as it would in Python (nanobind refuses None unless told): a None setting is
// left out of the query by get_params.
void init_preview_snapshots(ClientClass &client) {
    client
        .def(
            "validate_pipeline", &validate_pipeline, "pipeline_id"_a.none(), "rev"_a.none() = 0,
            "timeout_sec"_a.none() = 2000,
            "Start a validation of a stored pipeline (GET /pipeline/{pipeline_id}/validate).\n\n"
            "``timeout_sec`` travels to the engine as ``timeout``; the client does not wait on it.\n\n"
            "Returns:\n"
            "    ValidateCommand for the run (previewer id from the answer); ``wait_for_validate`` waits.\n\n"
            "Raises:\n"
            "    KeyError: the answer has no ``previewerId``.")
        .def("run_pipeline_preview", &run_pipeline_preview, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "batches"_a.none() = 1, "batch_size"_a.none() = 10, "skip_targets"_a.none() = true,
             "end_stage"_a.none() = nb::none(), "timeout"_a.none() = 2000, "test_origin"_a.none() = false,
             "stage_outputs_to_override_json"_a.none() = nb::none(),
             "Start a preview of a stored pipeline (POST /pipeline/{pipeline_id}/preview).\n\n"
             "Every setting travels in the query; the request has no body.\n\n"
             "Returns:\n"
             "    PreviewCommand for the run; ``wait_for_finished`` waits, ``preview`` reads the records.\n\n"
             "Raises:\n"
             "    KeyError: the answer has no ``previewerId``.")
        .def("run_dynamic_pipeline_preview", &run_dynamic_pipeline_preview, "preview_json"_a.none(),
             "Start a preview of a pipeline the engine makes from ``preview_json``\n"
             "(POST /pipeline/dynamicPreview).\n\n"
             "Returns:\n"
             "    PreviewCommand with the pipeline id and previewer id from the engine's answer.\n\n"
             "Raises:\n"
             "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.")
        .def("run_dynamic_pipeline_preview_for_connection", &run_dynamic_pipeline_preview_for_connection,
             "preview_json"_a.none(),
             "Start a dynamic preview that tests a connection (POST /pipeline/dynamicPreview).\n\n"
             "Returns:\n"
             "    ConnectionValidateCommand with the pipeline id and previewer id from the engine's "
             "answer.\n\n"
             "Raises:\n"
             "    KeyError: the answer has no ``previewerId`` or no ``pipelineId``.")
        .def(
            "capture_snapshot", &capture_snapshot, "pipeline_id"_a.none(), "snapshot_name"_a.none(),
            "snapshot_label"_a.none(), "rev"_a.none() = 0, "batches"_a.none() = 1, "batch_size"_a.none() = 10,
            "start_pipeline"_a.none() = false, "runtime_parameters"_a.none() = nb::none(),
            "Ask the engine to capture a snapshot (PUT /pipeline/{pipeline_id}/snapshot/{snapshot_name}).\n\n"
            "The runtime parameters are the JSON body (\"{}\" when there are none); the other settings\n"
            "travel in the query. The client starts nothing itself, even with ``start_pipeline``.\n\n"
            "Returns:\n"
            "    SnapshotCommand for the caller's pipeline id, name and label; ``wait_for_finished`` waits.")
        .def("get_snapshots", &get_snapshots,
             "List the snapshots of all pipelines (GET /pipelines/snapshots).\n\n"
             "Returns:\n"
             "    The decoded JSON list, or an empty list when the engine sent no body.")
        .def("get_snapshots_by_pipeline", &get_snapshots_by_pipeline, "pipeline_id"_a.none(),
             "List the snapshots of one pipeline (GET /pipeline/{pipeline_id}/snapshots).\n\n"
             "Returns:\n"
             "    Command whose response holds the list.")
        .def("delete_snapshot", &delete_snapshot, "pipeline_id"_a.none(), "snapshot_id"_a.none(),
             "rev"_a.none() = 0,
             "Delete a snapshot (DELETE /pipeline/{pipeline_id}/snapshot/{snapshot_id}).\n\n"
             "Returns:\n"
             "    Command holding the engine's answer.\n\n"
             "Raises:\n"
             "    requests.HTTPError: any failure status, 400 and 500 included.");
}

}  // namespace velm
