// Pipeline operations: the store, import/export and fragments, run control, monitoring and rules.
//
// Every operation reads like its row: its query (get_params over its arguments, "self" first and then the
// signature order, or a mapping of its own), one transport call by keyword, and the return.
#include "operations.hpp"

namespace velm {
namespace {

// The engine version below which create_pipeline spells its id flag "auto_generate_name".
bool engine_older_than(nb::handle self, const char *version) {
    nb::object version_class = global("Version");
    int result = PyObject_RichCompareBool(version_class(self.attr("version")).ptr(),
                                          version_class(version).ptr(), Py_LT);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// The query of the pipeline operations whose only setting is the revision: get_params over the pipeline id
// and rev, with the id left to the path.
nb::object revision_query(nb::handle self, nb::handle pipeline_id, nb::handle rev) {
    return params(self, {{"pipeline_id", pipeline_id}, {"rev", rev}}, {"self", "pipeline_id"});
}

// stop and forceStop: the same request to two resources.
nb::object stop(nb::handle self, const char *path_template, nb::handle pipeline_id, nb::handle rev) {
    nb::str path = endpoint(self, path_template, {pipeline_id});
    nb::object response = self.attr("_post")("endpoint"_a = path, "params"_a = mapping({{"rev", rev}}));
    return global("StopPipelineCommand")(self, response);
}

}  // namespace

// Every argument takes None, as a Python method would: get_params then leaves it out of the query, and a
// flag of None is false.
void init_pipelines(ClientClass &client) {
    // -- store
    client.def(
        "create_pipeline",
        [](nb::handle self, nb::object pipeline_title, nb::object description,
           nb::object auto_generate_pipeline_id, nb::object draft, nb::object pipeline_type) {
            // Engines before 2.5.0.0 know the flag under its older name.
            const char *flag =
                engine_older_than(self, "2.5.0.0") ? "auto_generate_name" : "auto_generate_pipeline_id";
            nb::object query = params(self,
                                      {{"pipeline_title", pipeline_title},
                                       {"description", description},
                                       {flag, auto_generate_pipeline_id},
                                       {"draft", draft},
                                       {"pipeline_type", pipeline_type}},
                                      {"self", "pipeline_title"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}", {pipeline_title});
            return command(self, self.attr("_put")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def create_pipeline(self, pipeline_title: str, description: str | None = None, "
                "auto_generate_pipeline_id: bool | None = None, draft: bool | None = None, "
                "pipeline_type: str | None = 'HARVEL') -> Command"),
        "pipeline_title"_a.none(), "description"_a.none() = nb::none(),
        "auto_generate_pipeline_id"_a.none() = nb::none(), "draft"_a.none() = nb::none(),
        "pipeline_type"_a.none() = "HARVEL",
        "Create an empty pipeline titled ``pipeline_title`` (PUT /pipeline/{pipeline_title}).\n\n"
        "``auto_generate_pipeline_id`` asks for an id made of the title without white space and a\n"
        "UUID (sent as ``autoGenerateName`` to engines older than 2.5.0.0); ``draft`` creates it\n"
        "without storing it.\n\n"
        "Returns:\n"
        "    Command whose response holds the new pipeline's configuration.");
    client.def(
        "update_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object pipeline, nb::object rev,
           nb::object description) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"pipeline", pipeline},
                                       {"rev", rev},
                                       {"description", description}},
                                      {"self", "pipeline_id", "pipeline"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}", {pipeline_id});
            return command(self,
                           self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = pipeline));
        },
        nb::sig("def update_pipeline(self, pipeline_id: str, pipeline: typing.Any, rev: int | None = 0, "
                "description: str | None = None) -> Command"),
        "pipeline_id"_a.none(), "pipeline"_a.none(), "rev"_a.none() = 0, "description"_a.none() = nb::none(),
        "Replace a stored pipeline's definition with ``pipeline`` (POST /pipeline/{pipeline_id}).\n\n"
        "Returns:\n"
        "    Command whose response holds the stored definition.");
    client.def(
        "delete_pipeline",
        [](nb::handle self, nb::object pipeline_id) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}", {pipeline_id});
            return command(self, self.attr("_delete")("endpoint"_a = path));
        },
        nb::sig("def delete_pipeline(self, pipeline_id: str) -> Command"), "pipeline_id"_a.none(),
        "Delete a stored pipeline (DELETE /pipeline/{pipeline_id}).\n\n"
        "Returns:\n"
        "    Command holding the engine's answer.\n\n"
        "Raises:\n"
        "    requests.HTTPError: for any failure status, 400 and 500 included.");
    client.def(
        "get_pipeline_configuration",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object get) {
            nb::object query = params(self, {{"pipeline_id", pipeline_id}, {"rev", rev}, {"get", get}},
                                      {"self", "pipeline_id"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}", {pipeline_id});
            return decoded_or(self.attr("_get")("endpoint"_a = path, "params"_a = query), nb::dict());
        },
        nb::sig("def get_pipeline_configuration(self, pipeline_id: str, rev: int | None = 0, "
                "get: str | None = 'pipeline') -> typing.Any"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "get"_a.none() = "pipeline",
        "Read a stored pipeline (GET /pipeline/{pipeline_id}); ``get`` names what to read.\n\n"
        "Returns:\n"
        "    The decoded JSON body, or an empty dict when the body is empty.");
    client.def(
        "update_pipeline_configuration",
        [](nb::handle self, nb::object pipeline_id, nb::object pipeline_json, nb::object rev,
           nb::object description) {
            nb::dict query = mapping({{"rev", rev}, {"description", description}});
            nb::str path = endpoint(self, "/v{}/pipeline/{}", {pipeline_id});
            nb::object response =
                self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = pipeline_json);
            return decoded_or(response, nb::dict());
        },
        nb::sig("def update_pipeline_configuration(self, pipeline_id: str, pipeline_json: typing.Any, "
                "rev: int | None = 0, description: str | None = None) -> typing.Any"),
        "pipeline_id"_a.none(), "pipeline_json"_a.none(), "rev"_a.none() = 0,
        "description"_a.none() = nb::none(),
        "Replace a stored pipeline's definition and read back the stored one.\n\n"
        "Returns:\n"
        "    The decoded JSON body, or an empty dict when the body is empty.");
    client.def(
        "get_all_pipeline_configuration_info",
        [](nb::handle self, nb::object filter_text, nb::object label, nb::object offset, nb::object len_,
           nb::object order_by, nb::object order, nb::object include_status) {
            nb::object query = params(self,
                                      {{"filter_text", filter_text},
                                       {"label", label},
                                       {"offset", offset},
                                       {"len_", len_},
                                       {"order_by", order_by},
                                       {"order", order},
                                       {"include_status", include_status}},
                                      {"self"});
            return command(
                self, self.attr("_get")("endpoint"_a = endpoint(self, "/v{}/pipelines"), "params"_a = query));
        },
        nb::sig("def get_all_pipeline_configuration_info(self, filter_text: str | None = None, "
                "label: str | None = None, offset: int | None = None, len_: int | None = -1, "
                "order_by: str | None = 'NAME', order: str | None = 'ASC', "
                "include_status: bool | None = None) -> Command"),
        "filter_text"_a.none() = nb::none(), "label"_a.none() = nb::none(), "offset"_a.none() = nb::none(),
        "len_"_a.none() = -1, "order_by"_a.none() = "NAME", "order"_a.none() = "ASC",
        "include_status"_a.none() = nb::none(),
        "List the stored pipelines, filtered, paged and ordered (GET /pipelines).\n\n"
        "Returns:\n"
        "    Command whose response holds the list of pipeline information records.");

    // -- import, export and fragments
    client.def(
        "export_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object attachment,
           nb::object include_library_definitions, nb::object include_plain_text_credentials) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"rev", rev},
                                       {"attachment", attachment},
                                       {"include_library_definitions", include_library_definitions},
                                       {"include_plain_text_credentials", include_plain_text_credentials}},
                                      {"self", "pipeline_id"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/export", {pipeline_id});
            return decoded_or(self.attr("_get")("endpoint"_a = path, "params"_a = query), nb::dict());
        },
        nb::sig("def export_pipeline(self, pipeline_id: str, rev: int | None = 0, attachment: bool | "
                "None = False, "
                "include_library_definitions: bool | None = False, "
                "include_plain_text_credentials: bool | None = True) -> typing.Any"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "attachment"_a.none() = false,
        "include_library_definitions"_a.none() = false, "include_plain_text_credentials"_a.none() = true,
        "Export one pipeline (GET /pipeline/{pipeline_id}/export); nothing is written to disk.\n\n"
        "Returns:\n"
        "    The exported pipeline as decoded JSON, or an empty dict when the body is empty.");
    client.def(
        "export_pipelines",
        [](nb::handle self, nb::object body, nb::object include_library_definitions,
           nb::object include_plain_text_credentials) {
            nb::object query = params(self,
                                      {{"body", body},
                                       {"include_library_definitions", include_library_definitions},
                                       {"include_plain_text_credentials", include_plain_text_credentials}},
                                      {"self", "body"});
            nb::str path = endpoint(self, "/v{}/pipelines/export");
            return command(self,
                           self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = body));
        },
        nb::sig("def export_pipelines(self, body: typing.Any, include_library_definitions: bool | None "
                "= False, "
                "include_plain_text_credentials: bool | None = True) -> Command"),
        "body"_a.none(), "include_library_definitions"_a.none() = false,
        "include_plain_text_credentials"_a.none() = true,
        "Export the pipelines ``body`` names (POST /pipelines/export).\n\n"
        "Returns:\n"
        "    Command whose response holds the engine's archive, unread.");
    client.def(
        "import_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object pipeline_json, nb::object rev,
           nb::object overwrite, nb::object draft, nb::object include_library_definitions,
           nb::object auto_generate_pipeline_id) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"pipeline_json", pipeline_json},
                                       {"rev", rev},
                                       {"overwrite", overwrite},
                                       {"draft", draft},
                                       {"include_library_definitions", include_library_definitions},
                                       {"auto_generate_pipeline_id", auto_generate_pipeline_id}},
                                      {"self", "pipeline_id", "pipeline_json"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/import", {pipeline_id});
            nb::object response =
                self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = pipeline_json);
            return decoded_or(response, nb::dict());
        },
        nb::sig("def import_pipeline(self, pipeline_id: str, pipeline_json: typing.Any, rev: int | None = 0, "
                "overwrite: bool | None = False, draft: bool | None = False, "
                "include_library_definitions: bool | None = None, "
                "auto_generate_pipeline_id: bool | None = None) -> typing.Any"),
        "pipeline_id"_a.none(), "pipeline_json"_a.none(), "rev"_a.none() = 0, "overwrite"_a.none() = false,
        "draft"_a.none() = false, "include_library_definitions"_a.none() = nb::none(),
        "auto_generate_pipeline_id"_a.none() = nb::none(),
        "Import one pipeline from its exported JSON (POST /pipeline/{pipeline_id}/import).\n\n"
        "Returns:\n"
        "    The engine's answer as decoded JSON, or an empty dict when the body is empty.");
    client.def(
        "import_pipelines",
        [](nb::handle self, nb::object pipelines_file) {
            // A None content type drops the session's JSON default, so requests sets the multipart one
            // with its boundary.
            nb::dict files = mapping({{"file", pipelines_file}}),
                     headers = mapping({{"content-type", nb::none()}});
            nb::str path = endpoint(self, "/v{}/pipelines/import");
            return decoded_or(
                self.attr("_post")("endpoint"_a = path, "files"_a = files, "headers"_a = headers),
                nb::dict());
        },
        nb::sig("def import_pipelines(self, pipelines_file: typing.IO[bytes]) -> typing.Any"),
        "pipelines_file"_a.none(),
        "Upload an open archive of pipelines as the form field \"file\" (POST /pipelines/import).\n\n"
        "The file is read during the upload and left open.\n\n"
        "Returns:\n"
        "    The engine's answer as decoded JSON, or an empty dict when the body is empty.");
    client.def(
        "create_fragment",
        [](nb::handle self, nb::object title, nb::object description, nb::object draft,
           nb::object execution_mode, nb::object body) {
            nb::object query = params(self,
                                      {{"title", title},
                                       {"description", description},
                                       {"draft", draft},
                                       {"execution_mode", execution_mode},
                                       {"body", body}},
                                      {"self", "title", "body"});
            nb::str path = endpoint(self, "/v{}/fragment/{}", {title});
            return command(self, self.attr("_put")("endpoint"_a = path, "params"_a = query, "data"_a = body,
                                                   "is_data_format_json"_a = false));
        },
        nb::sig("def create_fragment(self, title: str, description: str | None = None, draft: bool | "
                "None = None, "
                "execution_mode: str | None = None, body: typing.Any = None) -> Command"),
        "title"_a.none(), "description"_a.none() = nb::none(), "draft"_a.none() = nb::none(),
        "execution_mode"_a.none() = nb::none(), "body"_a.none() = nb::none(),
        "Create a pipeline fragment titled ``title`` (PUT /fragment/{title}).\n\n"
        "``body`` is sent as given, without JSON encoding (None sends no body).\n\n"
        "Returns:\n"
        "    Command whose response holds the new fragment.");
    client.def(
        "import_fragment",
        [](nb::handle self, nb::object fragment_id, nb::object fragment_json, nb::object draft,
           nb::object include_library_definitions) {
            nb::object query = params(self,
                                      {{"fragment_id", fragment_id},
                                       {"fragment_json", fragment_json},
                                       {"draft", draft},
                                       {"include_library_definitions", include_library_definitions}},
                                      {"self", "fragment_id", "fragment_json"});
            nb::str path = endpoint(self, "/v{}/fragment/{}/import", {fragment_id});
            nb::object response =
                self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = fragment_json);
            return decoded_or(response, nb::dict());
        },
        nb::sig("def import_fragment(self, fragment_id: str, fragment_json: typing.Any, draft: bool | "
                "None = False, "
                "include_library_definitions: bool | None = None) -> typing.Any"),
        "fragment_id"_a.none(), "fragment_json"_a.none(), "draft"_a.none() = false,
        "include_library_definitions"_a.none() = nb::none(),
        "Import a fragment from its exported JSON (POST /fragment/{fragment_id}/import).\n\n"
        "Returns:\n"
        "    The engine's answer as decoded JSON, or an empty dict when the body is empty.");

    // -- run control
    client.def(
        "start_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object runtime_parameters) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/start", {pipeline_id});
            nb::object response = self.attr("_post")(
                "endpoint"_a = path, "params"_a = mapping({{"rev", rev}}), "data"_a = runtime_parameters);
            return global("StartPipelineCommand")(self, response);
        },
        nb::sig("def start_pipeline(self, pipeline_id: str, rev: int | None = 0, "
                "runtime_parameters: collections.abc.Mapping[str, typing.Any] | None = None) -> "
                "StartPipelineCommand"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "runtime_parameters"_a.none() = nb::none(),
        "Start a pipeline, overriding its parameters with ``runtime_parameters`` for this run.\n\n"
        "Returns:\n"
        "    StartPipelineCommand, whose waits follow the run to its end or to a counter target.");
    client.def(
        "stop_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            return stop(self, "/v{}/pipeline/{}/stop", pipeline_id, rev);
        },
        nb::sig("def stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> StopPipelineCommand"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Ask a running pipeline to stop (POST /pipeline/{pipeline_id}/stop).\n\n"
        "Returns:\n"
        "    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.");
    client.def(
        "force_stop_pipeline",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            return stop(self, "/v{}/pipeline/{}/forceStop", pipeline_id, rev);
        },
        nb::sig("def force_stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> "
                "StopPipelineCommand"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Force a pipeline to stop (POST /pipeline/{pipeline_id}/forceStop).\n\n"
        "Returns:\n"
        "    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.");
    def_method(client,
               "get_pipeline_status(self, pipeline_id: str, rev: int | None = 0, only_if_exists: bool | None "
               "= None) "
               "-> PipelineCommand",
               "Read a pipeline's status (GET /pipeline/{pipeline_id}/status).\n\n"
               "Returns:\n"
               "    PipelineCommand whose response is the status record; ``wait_for_status`` waits on it.",
               [](nb::handle self, nb::handle pipeline_id, nb::handle rev, nb::handle only_if_exists) {
                   static const nb::handle get = intern("_get"), kw = keywords({"endpoint", "params"});
                   nb::object query = params(
                       self, {{"pipeline_id", pipeline_id}, {"rev", rev}, {"only_if_exists", only_if_exists}},
                       {"self", "pipeline_id"});
                   nb::str path = endpoint(self, "/v{}/pipeline/{}/status", {pipeline_id});
                   return call(global("PipelineCommand"), self, call_method_kw(self, get, kw, path, query));
               });
    client.def(
        "reset_origin_offset",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            nb::object query = revision_query(self, pipeline_id, rev);
            nb::str path = endpoint(self, "/v{}/pipeline/{}/resetOffset", {pipeline_id});
            return command(self, self.attr("_post")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def reset_origin_offset(self, pipeline_id: str, rev: int | None = 0) -> Command"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Make the pipeline's origin start from the beginning on its next run.\n\n"
        "Returns:\n"
        "    Command holding the engine's answer.");
    client.def(
        "get_pipeline_committed_offsets",
        [](nb::handle self, nb::object pipeline_id, nb::object) {
            // `rev` is accepted for symmetry with the update and not sent: the engine keeps one set of
            // offsets.
            nb::str path = endpoint(self, "/v{}/pipeline/{}/committedOffsets", {pipeline_id});
            return command(self, self.attr("_get")("endpoint"_a = path));
        },
        nb::sig("def get_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0) -> Command"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Read the origin offsets the engine has committed for a pipeline (``rev`` is not sent).\n\n"
        "Returns:\n"
        "    Command whose response holds the offsets.");
    client.def(
        "update_pipeline_committed_offsets",
        [](nb::handle self, nb::object pipeline_id, nb::object rev, nb::object body) {
            nb::object query = params(self, {{"pipeline_id", pipeline_id}, {"rev", rev}, {"body", body}},
                                      {"self", "pipeline_id", "body"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/committedOffsets", {pipeline_id});
            return command(self,
                           self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = body));
        },
        nb::sig("def update_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0, "
                "body: typing.Any = None) -> Command"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0, "body"_a.none() = nb::none(),
        "Overwrite a pipeline's committed origin offsets with ``body``.\n\n"
        "Returns:\n"
        "    Command holding the engine's answer.");

    // -- monitoring and rules
    client.def(
        "get_pipeline_metrics",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/metrics", {pipeline_id});
            return command(self,
                           self.attr("_get")("endpoint"_a = path, "params"_a = mapping({{"rev", rev}})));
        },
        nb::sig("def get_pipeline_metrics(self, pipeline_id: str, rev: int | None = 0) -> Command"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Read the metrics of a pipeline's current run (GET /pipeline/{pipeline_id}/metrics).\n\n"
        "Returns:\n"
        "    Command whose response holds the metrics (``counters``, ``gauges``, ``meters``, ...).");
    client.def(
        "get_pipeline_history",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            nb::str path = endpoint(self, "/v{}/pipeline/{}/history", {pipeline_id});
            return decoded_or(self.attr("_get")("endpoint"_a = path, "params"_a = mapping({{"rev", rev}})),
                              nb::list());
        },
        nb::sig("def get_pipeline_history(self, pipeline_id: str, rev: int | None = 0) -> typing.Any"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Read the history of a pipeline's runs (GET /pipeline/{pipeline_id}/history).\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the body is empty.");
    client.def(
        "get_pipeline_rules",
        [](nb::handle self, nb::object pipeline_id, nb::object rev) {
            nb::object query = revision_query(self, pipeline_id, rev);
            nb::str path = endpoint(self, "/v{}/pipeline/{}/rules", {pipeline_id});
            return command(self, self.attr("_get")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def get_pipeline_rules(self, pipeline_id: str, rev: int | None = 0) -> Command"),
        "pipeline_id"_a.none(), "rev"_a.none() = 0,
        "Read a pipeline's rules (GET /pipeline/{pipeline_id}/rules).\n\n"
        "Returns:\n"
        "    Command whose response holds the rules definition.");
    client.def(
        "update_pipeline_rules",
        [](nb::handle self, nb::object pipeline_id, nb::object pipeline, nb::object rev) {
            nb::object query =
                params(self, {{"pipeline_id", pipeline_id}, {"pipeline", pipeline}, {"rev", rev}},
                       {"self", "pipeline_id", "pipeline"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/rules", {pipeline_id});
            return command(self,
                           self.attr("_post")("endpoint"_a = path, "params"_a = query, "data"_a = pipeline));
        },
        nb::sig("def update_pipeline_rules(self, pipeline_id: str, pipeline: typing.Any, rev: int | "
                "None = 0) -> "
                "Command"),
        "pipeline_id"_a.none(), "pipeline"_a.none(), "rev"_a.none() = 0,
        "Replace a pipeline's rules with ``pipeline``, the rules definition.\n\n"
        "Returns:\n"
        "    Command whose response holds the stored rules.");
    client.def(
        "get_pipeline_error_messages",
        [](nb::handle self, nb::object pipeline_id, nb::object stage_instance_name, nb::object rev,
           nb::object size, nb::object edge) {
            nb::object query = params(self,
                                      {{"pipeline_id", pipeline_id},
                                       {"stage_instance_name", stage_instance_name},
                                       {"rev", rev},
                                       {"size", size},
                                       {"edge", edge}},
                                      {"self", "pipeline_id"});
            nb::str path = endpoint(self, "/v{}/pipeline/{}/errorMessages", {pipeline_id});
            return command(self, self.attr("_get")("endpoint"_a = path, "params"_a = query));
        },
        nb::sig("def get_pipeline_error_messages(self, pipeline_id: str, stage_instance_name: str, "
                "rev: int | None = 0, size: int | None = 10, edge: bool | None = False) -> Command"),
        "pipeline_id"_a.none(), "stage_instance_name"_a.none(), "rev"_a.none() = 0, "size"_a.none() = 10,
        "edge"_a.none() = false,
        "Read the error messages one stage of a pipeline has collected.\n\n"
        "Returns:\n"
        "    Command whose response holds the stage's error messages.");
}

}  // namespace velm
