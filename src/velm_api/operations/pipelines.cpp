// Pipeline operations: the store, import/export and fragments, run control, monitoring and rules.
#include "operations.hpp"

namespace velm {
namespace {

const Row rows[] = {
    R"(
update_pipeline(self, pipeline_id: str, pipeline: typing.Any, rev: int | None = 0,
                description: str | None = None) -> Command
POST /pipeline/{pipeline_id} | query: get_params without pipeline_id, pipeline | body: pipeline
    | returns: Command
Replace a stored pipeline's definition with ``pipeline``; the response holds the stored definition.
)",
    R"(
delete_pipeline(self, pipeline_id: str) -> Command
DELETE /pipeline/{pipeline_id} | returns: Command
Delete a stored pipeline.

Raises:
    requests.HTTPError: for any failure status, 400 and 500 included.
)",
    R"(
get_pipeline_configuration(self, pipeline_id: str, rev: int | None = 0,
                           get: str | None = 'pipeline') -> typing.Any
GET /pipeline/{pipeline_id} | query: get_params without pipeline_id | returns: json or {}
Read a stored pipeline; ``get`` names what to read.
)",
    R"(
update_pipeline_configuration(self, pipeline_id: str, pipeline_json: typing.Any, rev: int | None = 0,
                              description: str | None = None) -> typing.Any
POST /pipeline/{pipeline_id} | query: rev=rev, description=description | body: pipeline_json
    | returns: json or {}
Replace a stored pipeline's definition and read back the stored one.
)",
    R"(
get_all_pipeline_configuration_info(self, filter_text: str | None = None, label: str | None = None,
                                    offset: int | None = None, len_: int | None = -1,
                                    order_by: str | None = 'NAME', order: str | None = 'ASC',
                                    include_status: bool | None = None) -> Command
GET /pipelines | query: get_params | returns: Command
List the stored pipelines, filtered, paged and ordered; the response holds the list of pipeline
information records.
)",
    R"(
export_pipeline(self, pipeline_id: str, rev: int | None = 0, attachment: bool | None = False,
                include_library_definitions: bool | None = False,
                include_plain_text_credentials: bool | None = True) -> typing.Any
GET /pipeline/{pipeline_id}/export | query: get_params without pipeline_id | returns: json or {}
Export one pipeline; nothing is written to disk.

Returns:
    The exported pipeline as decoded JSON, or an empty dict when the body is empty.
)",
    R"(
export_pipelines(self, body: typing.Any, include_library_definitions: bool | None = False,
                 include_plain_text_credentials: bool | None = True) -> Command
POST /pipelines/export | query: get_params without body | body: body | returns: Command
Export the pipelines ``body`` names; the response holds the engine's archive, unread.
)",
    R"(
import_pipeline(self, pipeline_id: str, pipeline_json: typing.Any, rev: int | None = 0,
                overwrite: bool | None = False, draft: bool | None = False,
                include_library_definitions: bool | None = None,
                auto_generate_pipeline_id: bool | None = None) -> typing.Any
POST /pipeline/{pipeline_id}/import | query: get_params without pipeline_id, pipeline_json
    | body: pipeline_json | returns: json or {}
Import one pipeline from its exported JSON.

Returns:
    The engine's answer as decoded JSON, or an empty dict when the body is empty.
)",
    R"(
create_fragment(self, title: str, description: str | None = None, draft: bool | None = None,
                execution_mode: str | None = None, body: typing.Any = None) -> Command
PUT /fragment/{title} | query: get_params without title, body | body: body (as given) | returns: Command
Create a pipeline fragment titled ``title``; the response holds the new fragment.

``body`` is sent as given, without JSON encoding (None sends no body).
)",
    R"(
import_fragment(self, fragment_id: str, fragment_json: typing.Any, draft: bool | None = False,
                include_library_definitions: bool | None = None) -> typing.Any
POST /fragment/{fragment_id}/import | query: get_params without fragment_id, fragment_json
    | body: fragment_json | returns: json or {}
Import a fragment from its exported JSON.

Returns:
    The engine's answer as decoded JSON, or an empty dict when the body is empty.
)",
    R"(
start_pipeline(self, pipeline_id: str, rev: int | None = 0,
               runtime_parameters: collections.abc.Mapping[str, typing.Any] | None = None) -> StartPipelineCommand
POST /pipeline/{pipeline_id}/start | query: rev=rev | body: runtime_parameters | returns: StartPipelineCommand
Start a pipeline, overriding its parameters with ``runtime_parameters`` for this run.

Returns:
    StartPipelineCommand, whose waits follow the run to its end or to a counter target.
)",
    R"(
stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> StopPipelineCommand
POST /pipeline/{pipeline_id}/stop | query: rev=rev | returns: StopPipelineCommand
Ask a running pipeline to stop.

Returns:
    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.
)",
    R"(
force_stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> StopPipelineCommand
POST /pipeline/{pipeline_id}/forceStop | query: rev=rev | returns: StopPipelineCommand
Force a pipeline to stop.

Returns:
    StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.
)",
    R"(
get_pipeline_status(self, pipeline_id: str, rev: int | None = 0,
                    only_if_exists: bool | None = None) -> PipelineCommand
GET /pipeline/{pipeline_id}/status | query: get_params without pipeline_id | returns: PipelineCommand
Read a pipeline's status (the response is the status record); ``wait_for_status`` waits on it.
)",
    R"(
reset_origin_offset(self, pipeline_id: str, rev: int | None = 0) -> Command
POST /pipeline/{pipeline_id}/resetOffset | query: get_params without pipeline_id | returns: Command
Make the pipeline's origin start from the beginning on its next run.
)",
    R"(
get_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0) -> Command
GET /pipeline/{pipeline_id}/committedOffsets | returns: Command
Read the origin offsets the engine has committed for a pipeline (``rev`` is not sent); the response
holds the offsets.
)",
    R"(
update_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0,
                                  body: typing.Any = None) -> Command
POST /pipeline/{pipeline_id}/committedOffsets | query: get_params without pipeline_id, body | body: body
    | returns: Command
Overwrite a pipeline's committed origin offsets with ``body``.
)",
    R"(
get_pipeline_metrics(self, pipeline_id: str, rev: int | None = 0) -> Command
GET /pipeline/{pipeline_id}/metrics | query: rev=rev | returns: Command
Read the metrics of a pipeline's latest run; the response holds the metrics record: ``counters`` (each
counter's ``count``), ``rates`` and ``progress`` (empty for a pipeline that never ran).
)",
    R"(
get_pipeline_history(self, pipeline_id: str, rev: int | None = 0) -> typing.Any
GET /pipeline/{pipeline_id}/history | query: rev=rev | returns: json or []
Read the history of a pipeline's runs.
)",
    R"(
get_pipeline_rules(self, pipeline_id: str, rev: int | None = 0) -> Command
GET /pipeline/{pipeline_id}/rules | query: get_params without pipeline_id | returns: Command
Read a pipeline's rules; the response holds the rules definition.
)",
    R"(
update_pipeline_rules(self, pipeline_id: str, pipeline: typing.Any, rev: int | None = 0) -> Command
POST /pipeline/{pipeline_id}/rules | query: get_params without pipeline_id, pipeline | body: pipeline
    | returns: Command
Replace a pipeline's rules with ``pipeline``, the rules definition; the response holds the stored rules.
)",
    R"(
get_pipeline_error_messages(self, pipeline_id: str, stage_instance_name: str, rev: int | None = 0,
                            size: int | None = 10, edge: bool | None = False) -> Command
GET /pipeline/{pipeline_id}/errorMessages | query: get_params without pipeline_id | returns: Command
Read the error messages one stage of a pipeline has collected; the response holds the stage's error messages.
)",
};

// The flag asking for a generated id is "auto_generate_name" to engines before 2.5.0.0.
nb::object create_pipeline(nb::handle self, nb::handle pipeline_title, nb::handle description,
                           nb::handle auto_generate_pipeline_id, nb::handle draft, nb::handle pipeline_type) {
    static const nb::handle put = intern("_put"), hand_off = keywords({"parameters", "exclusions"}),
                            with_query = keywords({"endpoint", "params"});
    nb::object version_class = global("Version");
    const bool older =
        compare(call(version_class, attr(self, "version")), call(version_class, nb::str("2.5.0.0")), Py_LT);
    nb::dict parameters;
    parameters["self"] = self;
    parameters["pipeline_title"] = pipeline_title;
    parameters["description"] = description;
    parameters[older ? "auto_generate_name" : "auto_generate_pipeline_id"] = auto_generate_pipeline_id;
    parameters["draft"] = draft;
    parameters["pipeline_type"] = pipeline_type;
    nb::object query =
        call_kw(global("get_params"), hand_off, parameters, nb::make_tuple("self", "pipeline_title"));
    nb::object path = endpoint(self, "/v{}/pipeline/{}", {pipeline_title});
    return call(global("Command"), self, call_method_kw(self, put, with_query, path, query));
}

// A None content type drops the session's JSON default, so requests sets the multipart one with its
// boundary.
nb::object import_pipelines(nb::handle self, nb::handle pipelines_file) {
    static const nb::handle post = intern("_post"), upload = keywords({"endpoint", "files", "headers"}),
                            json = intern("json");
    nb::dict files, headers;
    files["file"] = pipelines_file;
    headers["content-type"] = nb::none();
    nb::object path = endpoint(self, "/v{}/pipelines/import");
    Owned response = call_method_kw(self, post, upload, path, files, headers);
    nb::object result = has_body(response) ? call_method(response, json) : nb::dict();
    return result;
}

}  // namespace

void init_pipelines(nb::handle client) {
    def_method(client, "pipelines.create_pipeline", R"(
create_pipeline(self, pipeline_title: str, description: str | None = None,
                auto_generate_pipeline_id: bool | None = None, draft: bool | None = None,
                pipeline_type: str | None = 'HARVEL') -> Command
PUT /pipeline/{pipeline_title}
Create an empty pipeline titled ``pipeline_title``.

``auto_generate_pipeline_id`` asks for an id made of the title without white space and a
UUID (sent as ``autoGenerateName`` to engines older than 2.5.0.0); ``draft`` creates it
without storing it.

Args:
    pipeline_title: The new pipeline's title, placed in the path as one segment.
    description: Sent as the query value ``description``, left out when None.
    auto_generate_pipeline_id: Sent as the query value ``autoGeneratePipelineId``
        (``autoGenerateName`` before 2.5.0.0), left out when None.
    draft: Sent as the query value ``draft``, left out when None.
    pipeline_type: Sent as the query value ``pipelineType``, left out when None.

Returns:
    A Command whose response holds the new pipeline's configuration.
)",
               create_pipeline);
    def_method(client, "pipelines.import_pipelines", R"(
import_pipelines(self, pipelines_file: typing.IO[bytes]) -> typing.Any
POST /pipelines/import
Upload an open archive of pipelines as the form field "file".

The file is read during the upload and left open.

Args:
    pipelines_file: A file open for reading in binary mode, such as an archive that
        ``export_pipelines`` wrote.

Returns:
    The engine's answer as decoded JSON, or an empty dict when the body is empty.
)",
               import_pipelines);
    for (Row row : rows) def_row(client, row);
}

}  // namespace velm
