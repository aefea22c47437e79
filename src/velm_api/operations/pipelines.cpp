// Pipeline operations: the store, import/export and fragments, run control, monitoring and rules.
//
// Every operation reads like its row: the arguments mapping ("self" first, then the signature order) for
// get_params, one transport call by keyword, and the return.
#include "operations.hpp"

namespace velm {
namespace {

// The engine version below which create_pipeline spells its id flag "auto_generate_name".
bool engine_older_than(nb::handle self, const char *version) {
    nb::object version_class = global("Version");
    nb::object engine = version_class(self.attr("version"));
    nb::object limit = version_class(version);
    int result = PyObject_RichCompareBool(engine.ptr(), limit.ptr(), Py_LT);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// ---------------------------------------------------------------------------------------------------------
// Pipeline store

nb::object create_pipeline(nb::handle self, nb::object pipeline_title, nb::object description,
                           nb::object auto_generate_pipeline_id, nb::object draft, nb::object pipeline_type) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_title"] = pipeline_title;
    arguments["description"] = description;
    // Engines before 2.5.0.0 know the flag under its older name.
    if (engine_older_than(self, "2.5.0.0"))
        arguments["auto_generate_name"] = auto_generate_pipeline_id;
    else
        arguments["auto_generate_pipeline_id"] = auto_generate_pipeline_id;
    arguments["draft"] = draft;
    arguments["pipeline_type"] = pipeline_type;
    nb::object response = call_put(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}", {pipeline_title}),
                                   "params"_a = query(arguments, names({"self", "pipeline_title"})));
    return command(self, response);
}

nb::object update_pipeline(nb::handle self, nb::object pipeline_id, nb::object pipeline, nb::object rev,
                           nb::object description) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["pipeline"] = pipeline;
    arguments["rev"] = rev;
    arguments["description"] = description;
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}", {pipeline_id}),
                                    "params"_a = query(arguments, names({"self", "pipeline_id", "pipeline"})),
                                    "data"_a = pipeline);
    return command(self, response);
}

nb::object delete_pipeline(nb::handle self, nb::object pipeline_id) {
    nb::object response = call_delete(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}", {pipeline_id}));
    return command(self, response);
}

nb::object get_pipeline_configuration(nb::handle self, nb::object pipeline_id, nb::object rev,
                                      nb::object get) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    arguments["get"] = get;
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}", {pipeline_id}),
                                   "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return decoded_or(response, nb::dict());
}

nb::object update_pipeline_configuration(nb::handle self, nb::object pipeline_id, nb::object pipeline_json,
                                         nb::object rev, nb::object description) {
    nb::dict params;
    params["rev"] = rev;
    params["description"] = description;
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}", {pipeline_id}),
                                    "params"_a = params, "data"_a = pipeline_json);
    return decoded_or(response, nb::dict());
}

nb::object get_all_pipeline_configuration_info(nb::handle self, nb::object filter_text, nb::object label,
                                               nb::object offset, nb::object len_, nb::object order_by,
                                               nb::object order, nb::object include_status) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["filter_text"] = filter_text;
    arguments["label"] = label;
    arguments["offset"] = offset;
    arguments["len_"] = len_;
    arguments["order_by"] = order_by;
    arguments["order"] = order;
    arguments["include_status"] = include_status;
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipelines"),
                                   "params"_a = query(arguments, name("self")));
    return command(self, response);
}

// ---------------------------------------------------------------------------------------------------------
// Import, export and fragments

nb::object export_pipeline(nb::handle self, nb::object pipeline_id, nb::object rev, nb::object attachment,
                           nb::object include_library_definitions,
                           nb::object include_plain_text_credentials) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    arguments["attachment"] = attachment;
    arguments["include_library_definitions"] = include_library_definitions;
    arguments["include_plain_text_credentials"] = include_plain_text_credentials;
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/export", {pipeline_id}),
                 "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return decoded_or(response, nb::dict());
}

nb::object export_pipelines(nb::handle self, nb::object body, nb::object include_library_definitions,
                            nb::object include_plain_text_credentials) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["body"] = body;
    arguments["include_library_definitions"] = include_library_definitions;
    arguments["include_plain_text_credentials"] = include_plain_text_credentials;
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipelines/export"),
                                    "params"_a = query(arguments, names({"self", "body"})), "data"_a = body);
    return command(self, response);
}

nb::object import_pipeline(nb::handle self, nb::object pipeline_id, nb::object pipeline_json, nb::object rev,
                           nb::object overwrite, nb::object draft, nb::object include_library_definitions,
                           nb::object auto_generate_pipeline_id) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["pipeline_json"] = pipeline_json;
    arguments["rev"] = rev;
    arguments["overwrite"] = overwrite;
    arguments["draft"] = draft;
    arguments["include_library_definitions"] = include_library_definitions;
    arguments["auto_generate_pipeline_id"] = auto_generate_pipeline_id;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/import", {pipeline_id}),
                  "params"_a = query(arguments, names({"self", "pipeline_id", "pipeline_json"})),
                  "data"_a = pipeline_json);
    return decoded_or(response, nb::dict());
}

nb::object import_pipelines(nb::handle self, nb::object pipelines_file) {
    nb::dict files;
    files["file"] = pipelines_file;
    // A None content type drops the session's JSON default, so requests sets the multipart one with its
    // boundary.
    nb::dict headers;
    headers["content-type"] = nb::none();
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipelines/import"),
                                    "files"_a = files, "headers"_a = headers);
    return decoded_or(response, nb::dict());
}

nb::object create_fragment(nb::handle self, nb::object title, nb::object description, nb::object draft,
                           nb::object execution_mode, nb::object body) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["title"] = title;
    arguments["description"] = description;
    arguments["draft"] = draft;
    arguments["execution_mode"] = execution_mode;
    arguments["body"] = body;
    nb::object response = call_put(self, "endpoint"_a = endpoint(self, "/v{}/fragment/{}", {title}),
                                   "params"_a = query(arguments, names({"self", "title", "body"})),
                                   "data"_a = body, "is_data_format_json"_a = false);
    return command(self, response);
}

nb::object import_fragment(nb::handle self, nb::object fragment_id, nb::object fragment_json,
                           nb::object draft, nb::object include_library_definitions) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["fragment_id"] = fragment_id;
    arguments["fragment_json"] = fragment_json;
    arguments["draft"] = draft;
    arguments["include_library_definitions"] = include_library_definitions;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/fragment/{}/import", {fragment_id}),
                  "params"_a = query(arguments, names({"self", "fragment_id", "fragment_json"})),
                  "data"_a = fragment_json);
    return decoded_or(response, nb::dict());
}

// ---------------------------------------------------------------------------------------------------------
// Run control

nb::dict rev_only(nb::handle rev) {
    nb::dict params;
    params["rev"] = rev;
    return params;
}

nb::object start_pipeline(nb::handle self, nb::object pipeline_id, nb::object rev,
                          nb::object runtime_parameters) {
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/start", {pipeline_id}),
                  "params"_a = rev_only(rev), "data"_a = runtime_parameters);
    return global("StartPipelineCommand")(self, response);
}

nb::object stop_pipeline(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/stop", {pipeline_id}),
                  "params"_a = rev_only(rev));
    return global("StopPipelineCommand")(self, response);
}

nb::object force_stop_pipeline(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/forceStop", {pipeline_id}),
                  "params"_a = rev_only(rev));
    return global("StopPipelineCommand")(self, response);
}

nb::object reset_origin_offset(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/resetOffset", {pipeline_id}),
                  "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return command(self, response);
}

nb::object get_pipeline_committed_offsets(nb::handle self, nb::object pipeline_id, nb::object) {
    // `rev` is accepted for symmetry with the update and not sent: the engine keeps one set of offsets.
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/committedOffsets", {pipeline_id}));
    return command(self, response);
}

nb::object update_pipeline_committed_offsets(nb::handle self, nb::object pipeline_id, nb::object rev,
                                             nb::object body) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    arguments["body"] = body;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/committedOffsets", {pipeline_id}),
                  "params"_a = query(arguments, names({"self", "pipeline_id", "body"})), "data"_a = body);
    return command(self, response);
}

// ---------------------------------------------------------------------------------------------------------
// Monitoring and rules

nb::object get_pipeline_metrics(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/metrics", {pipeline_id}),
                 "params"_a = rev_only(rev));
    return command(self, response);
}

nb::object get_pipeline_history(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/history", {pipeline_id}),
                 "params"_a = rev_only(rev));
    return decoded_or(response, nb::list());
}

nb::object get_pipeline_rules(nb::handle self, nb::object pipeline_id, nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/rules", {pipeline_id}),
                 "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return command(self, response);
}

nb::object update_pipeline_rules(nb::handle self, nb::object pipeline_id, nb::object pipeline,
                                 nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["pipeline"] = pipeline;
    arguments["rev"] = rev;
    nb::object response = call_post(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/rules", {pipeline_id}),
        "params"_a = query(arguments, names({"self", "pipeline_id", "pipeline"})), "data"_a = pipeline);
    return command(self, response);
}

nb::object get_pipeline_error_messages(nb::handle self, nb::object pipeline_id,
                                       nb::object stage_instance_name, nb::object rev, nb::object size,
                                       nb::object edge) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["stage_instance_name"] = stage_instance_name;
    arguments["rev"] = rev;
    arguments["size"] = size;
    arguments["edge"] = edge;
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/errorMessages", {pipeline_id}),
                 "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return command(self, response);
}

}  // namespace

void init_pipelines(ClientClass &client) {
    // Every argument takes None, as a Python method would: get_params then leaves it out of the query.
    // -- store
    client
        .def("create_pipeline", &create_pipeline, "pipeline_title"_a.none(),
             "description"_a.none() = nb::none(), "auto_generate_pipeline_id"_a.none() = nb::none(),
             "draft"_a.none() = nb::none(), "pipeline_type"_a.none() = "HARVEL",
             "Create an empty pipeline titled ``pipeline_title`` (PUT /pipeline/{pipeline_title}).\n\n"
             "``auto_generate_pipeline_id`` asks for an id made of the title without white space and a\n"
             "UUID (sent as ``autoGenerateName`` to engines older than 2.5.0.0); ``draft`` creates it\n"
             "without storing it.\n\n"
             "Returns:\n"
             "    Command whose response holds the new pipeline's configuration.")
        .def("update_pipeline", &update_pipeline, "pipeline_id"_a.none(), "pipeline"_a.none(),
             "rev"_a.none() = 0, "description"_a.none() = nb::none(),
             "Replace a stored pipeline's definition with ``pipeline`` (POST /pipeline/{pipeline_id}).\n\n"
             "Returns:\n"
             "    Command whose response holds the stored definition.")
        .def("delete_pipeline", &delete_pipeline, "pipeline_id"_a.none(),
             "Delete a stored pipeline (DELETE /pipeline/{pipeline_id}).\n\n"
             "Returns:\n"
             "    Command holding the engine's answer.\n\n"
             "Raises:\n"
             "    requests.HTTPError: for any failure status, 400 and 500 included.")
        .def("get_pipeline_configuration", &get_pipeline_configuration, "pipeline_id"_a.none(),
             "rev"_a.none() = 0, "get"_a.none() = "pipeline",
             "Read a stored pipeline (GET /pipeline/{pipeline_id}); ``get`` names what to read.\n\n"
             "Returns:\n"
             "    The decoded JSON body, or an empty dict when the body is empty.")
        .def("update_pipeline_configuration", &update_pipeline_configuration, "pipeline_id"_a.none(),
             "pipeline_json"_a.none(), "rev"_a.none() = 0, "description"_a.none() = nb::none(),
             "Replace a stored pipeline's definition and read back the stored one.\n\n"
             "Returns:\n"
             "    The decoded JSON body, or an empty dict when the body is empty.")
        .def("get_all_pipeline_configuration_info", &get_all_pipeline_configuration_info,
             "filter_text"_a.none() = nb::none(), "label"_a.none() = nb::none(),
             "offset"_a.none() = nb::none(), "len_"_a.none() = -1, "order_by"_a.none() = "NAME",
             "order"_a.none() = "ASC", "include_status"_a.none() = nb::none(),
             "List the stored pipelines, filtered, paged and ordered (GET /pipelines).\n\n"
             "Returns:\n"
             "    Command whose response holds the list of pipeline information records.");

    // -- import, export and fragments
    client
        .def("export_pipeline", &export_pipeline, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "attachment"_a.none() = false, "include_library_definitions"_a.none() = false,
             "include_plain_text_credentials"_a.none() = true,
             "Export one pipeline (GET /pipeline/{pipeline_id}/export); nothing is written to disk.\n\n"
             "Returns:\n"
             "    The exported pipeline as decoded JSON, or an empty dict when the body is empty.")
        .def("export_pipelines", &export_pipelines, "body"_a.none(),
             "include_library_definitions"_a.none() = false, "include_plain_text_credentials"_a.none() = true,
             "Export the pipelines ``body`` names (POST /pipelines/export).\n\n"
             "Returns:\n"
             "    Command whose response holds the engine's archive, unread.")
        .def("import_pipeline", &import_pipeline, "pipeline_id"_a.none(), "pipeline_json"_a.none(),
             "rev"_a.none() = 0, "overwrite"_a.none() = false, "draft"_a.none() = false,
             "include_library_definitions"_a.none() = nb::none(),
             "auto_generate_pipeline_id"_a.none() = nb::none(),
             "Import one pipeline from its exported JSON (POST /pipeline/{pipeline_id}/import).\n\n"
             "Returns:\n"
             "    The engine's answer as decoded JSON, or an empty dict when the body is empty.")
        .def("import_pipelines", &import_pipelines, "pipelines_file"_a.none(),
             "Upload an open archive of pipelines as the form field \"file\" (POST /pipelines/import).\n\n"
             "The file is read during the upload and left open.\n\n"
             "Returns:\n"
             "    The engine's answer as decoded JSON, or an empty dict when the body is empty.")
        .def("create_fragment", &create_fragment, "title"_a.none(), "description"_a.none() = nb::none(),
             "draft"_a.none() = nb::none(), "execution_mode"_a.none() = nb::none(),
             "body"_a.none() = nb::none(),
             "Create a pipeline fragment titled ``title`` (PUT /fragment/{title}).\n\n"
             "``body`` is sent as given, without JSON encoding (None sends no body).\n\n"
             "Returns:\n"
             "    Command whose response holds the new fragment.")
        .def("import_fragment", &import_fragment, "fragment_id"_a.none(), "fragment_json"_a.none(),
             "draft"_a.none() = false, "include_library_definitions"_a.none() = nb::none(),
             "Import a fragment from its exported JSON (POST /fragment/{fragment_id}/import).\n\n"
             "Returns:\n"
             "    The engine's answer as decoded JSON, or an empty dict when the body is empty.");

    // -- run control
    client
        .def("start_pipeline", &start_pipeline, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "runtime_parameters"_a.none() = nb::none(),
             "Start a pipeline, overriding its parameters with ``runtime_parameters`` for this run.\n\n"
             "Returns:\n"
             "    StartPipelineCommand, whose waits follow the run to its end or to a counter target.")
        .def("stop_pipeline", &stop_pipeline, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Ask a running pipeline to stop (POST /pipeline/{pipeline_id}/stop).\n\n"
             "Returns:\n"
             "    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.")
        .def("force_stop_pipeline", &force_stop_pipeline, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Force a pipeline to stop (POST /pipeline/{pipeline_id}/forceStop).\n\n"
             "Returns:\n"
             "    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.")
        .def("reset_origin_offset", &reset_origin_offset, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Make the pipeline's origin start from the beginning on its next run.\n\n"
             "Returns:\n"
             "    Command holding the engine's answer.")
        .def("get_pipeline_committed_offsets", &get_pipeline_committed_offsets, "pipeline_id"_a.none(),
             "rev"_a.none() = 0,
             "Read the origin offsets the engine has committed for a pipeline (``rev`` is not sent).\n\n"
             "Returns:\n"
             "    Command whose response holds the offsets.")
        .def("update_pipeline_committed_offsets", &update_pipeline_committed_offsets, "pipeline_id"_a.none(),
             "rev"_a.none() = 0, "body"_a.none() = nb::none(),
             "Overwrite a pipeline's committed origin offsets with ``body``.\n\n"
             "Returns:\n"
             "    Command holding the engine's answer.");

    // -- monitoring and rules
    client
        .def("get_pipeline_metrics", &get_pipeline_metrics, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Read the metrics of a pipeline's current run (GET /pipeline/{pipeline_id}/metrics).\n\n"
             "Returns:\n"
             "    Command whose response holds the metrics (``counters``, ``gauges``, ``meters``, ...).")
        .def("get_pipeline_history", &get_pipeline_history, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Read the history of a pipeline's runs (GET /pipeline/{pipeline_id}/history).\n\n"
             "Returns:\n"
             "    The decoded JSON list, or an empty list when the body is empty.")
        .def("get_pipeline_rules", &get_pipeline_rules, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "Read a pipeline's rules (GET /pipeline/{pipeline_id}/rules).\n\n"
             "Returns:\n"
             "    Command whose response holds the rules definition.")
        .def("update_pipeline_rules", &update_pipeline_rules, "pipeline_id"_a.none(), "pipeline"_a.none(),
             "rev"_a.none() = 0,
             "Replace a pipeline's rules with ``pipeline``, the rules definition.\n\n"
             "Returns:\n"
             "    Command whose response holds the stored rules.")
        .def("get_pipeline_error_messages", &get_pipeline_error_messages, "pipeline_id"_a.none(),
             "stage_instance_name"_a.none(), "rev"_a.none() = 0, "size"_a.none() = 10,
             "edge"_a.none() = false,
             "Read the error messages one stage of a pipeline has collected.\n\n"
             "Returns:\n"
             "    Command whose response holds the stage's error messages.");
}

}  // namespace velm
