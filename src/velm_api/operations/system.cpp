// Engine information and configuration, definitions, stage libraries, health, support bundles and access
// control.
#include "operations.hpp"

namespace velm {
namespace {

// Written under the singular "pipeline", read under the plural "pipelines": the engine's two resources for
// the subjects of the access control lists.
const Row rows[] = {
    R"(
get_velm_info(self) -> dict[str, typing.Any]
GET /system/info | returns: json or {}
Read the engine information record.

Returns:
    The decoded JSON object (with ``version`` among its members), or an empty dict when the
    engine answered with an empty body.
)",
    R"(
get_velm_directories(self) -> dict[str, typing.Any]
GET /system/directories | returns: json or {}
Read the engine's directories (runtime, configuration, data, logs, resources, ...).
)",
    R"(
get_velm_configuration(self) -> Command
GET /system/configuration | returns: Command
Read the engine's configuration properties; the response is the configuration object.
)",
    R"(
get_velm_ui_configuration(self) -> Command
GET /system/configuration/ui | returns: Command
Read the configuration the engine gives its user interface.
)",
    R"(
get_velm_id(self) -> Command
GET /system/info/id | returns: Command
Read the engine's id; the response carries the id.
)",
    R"(
get_current_user(self) -> dict[str, typing.Any]
GET /system/info/currentUser | returns: json or {}
Read the user the client is logged in as, with its groups and roles.

Returns:
    The decoded JSON object (the name under ``user``), or an empty dict when the body is
    empty.
)",
    R"(
get_jmx_metrics(self) -> Command
GET /system/jmx | returns: Command
Read the engine's JMX metrics.
)",
    R"(
get_system_stats(self) -> Command
GET /system/stats | returns: Command
Read the engine's usage statistics settings.
)",
    R"(
opt_for_system_stats(self, opt: typing.Any) -> Command
POST /system/stats | query: active=opt | returns: Command
Switch the engine's usage statistics on or off.

Args:
    opt: sent unchanged as the query value ``active`` (for example "true" or "false").
)",
    R"(
get_logs(self, ending_offset: int | None = -1, extra_message: str | None = None,
         pipeline: str | quenlo.sdk.velm_models.Pipeline | None = None,
         severity: str | None = None) -> Command
GET /system/logs | query: get_params | returns: Command
Read the engine's log: the response holds its entries that end at or before ``ending_offset``,
oldest first; its header ``X-Velm-Log-Offset`` is the offset to pass to read further back.

Args:
    ending_offset: where to stop reading (-1 for the end of the log; None leaves it out).
    extra_message: only entries whose message contains this text.
    pipeline: a pipeline id or a velm_models.Pipeline; only the entries of that pipeline.
    severity: only entries of that severity ("ERROR", "WARN", "INFO", ...).
)",
    R"(
get_definitions(self) -> typing.Any
GET /definitions | returns: json
Read the definitions of the engine's stages, services and expression functions.

Raises:
    json.JSONDecodeError (requests' JSONDecodeError): the body is empty or not JSON.
)",
    R"(
get_connection_definitions(self) -> Command
GET /definitions/connections | returns: Command
Read the definitions of the engine's connection types.
)",
    R"(
get_stage_libraries_list(self, repo_url: str | None, installed_only: bool | None) -> Command
GET /stageLibraries/list | query: get_params | returns: Command
List stage libraries.

Args:
    repo_url: the repository to list from (None for the engine's own).
    installed_only: list only the libraries installed on the engine.
)",
    R"(
get_classpath_health(self) -> typing.Any
GET /stageLibraries/classpathHealth | returns: json or []
Read the classpath health of the installed stage libraries.
)",
    R"(
get_alerts(self) -> typing.Any
GET /pipelines/alerts | returns: json or []
Read the alerts raised by the rules of running pipelines.
)",
    R"(
get_bundle_generators(self) -> typing.Any
GET /system/bundle/list | returns: json or []
List the generators a support bundle can be assembled from.
)",
    R"(
get_health_categories(self) -> Command
GET /system/health/categories | returns: Command
List the categories of the engine's health report.
)",
    R"(
get_health_report(self, categories: typing.Any = None) -> Command
GET /system/health/report | query: get_params | returns: Command
Read the engine's health report.

Args:
    categories: the categories to report on (None for all).
)",
    R"(
get_pipeline_acl(self, pipeline_id: str) -> dict[str, typing.Any]
GET /acl/{pipeline_id} | returns: json or {}
Read the access control list of a pipeline.
)",
    R"(
set_pipeline_acl(self, pipeline_id: str, pipeline_acl_json: typing.Any) -> Command
POST /acl/{pipeline_id} | body: pipeline_acl_json | returns: Command
Replace the access control list of a pipeline with ``pipeline_acl_json``.
)",
    R"(
get_pipeline_permissions(self, pipeline_id: str) -> typing.Any
GET /acl/{pipeline_id}/permissions | returns: json or []
Read the permissions of a pipeline.
)",
    R"(
get_acl_subjects(self) -> dict[str, typing.Any]
GET /pipelines/subjects | returns: json or {}
Read the subjects (users and groups) of the pipelines' access control lists.
)",
    R"(
set_acl_subjects(self, subjects_json: typing.Any) -> Command
POST /pipeline/subjects | body: subjects_json | returns: Command
Write the subjects of the pipelines' access control lists.
)",
};

// Through the method, so a subclass or a patched get_current_user decides whose password changes.
nb::object change_password(nb::handle self, nb::handle data_json) {
    static const nb::handle post = intern("_post"), with_data = keywords({"endpoint", "data"}),
                            current_user = intern("get_current_user");
    nb::object user = item(call_method(self, current_user), "user");
    nb::object path = endpoint(self, "/v{}/usermanagement/users/{}/changePassword", {user});
    return call(global("Command"), self, call_method_kw(self, post, with_data, path, data_json));
}

// One name given as plain text is that one generator, not its letters ("Logs", not "L,o,g,s"). str.join
// refuses a name that is not text with TypeError, before anything is sent.
nb::object get_bundle(nb::handle self, nb::handle generators) {
    nb::object names = nb::borrow(generators);
    if (PyUnicode_Check(generators.ptr()))
        names = nb::make_tuple(generators);
    else if (!truthy(generators))
        names = nb::list();
    nb::dict query;
    query["generators"] = call(attr(nb::str(","), "join"), names);
    nb::object content = get_into_buffer(self, endpoint(self, "/v{}/system/bundle/generate"), query);
    return call(attr(global("zipfile"), "ZipFile"), content, nb::str("r"));
}

}  // namespace

void init_system(nb::handle client) {
    for (Row row : rows) def_row(client, row);
    def_method(client, "system.change_password", R"(
change_password(self, data_json: typing.Any) -> Command
GET /system/info/currentUser, then POST /usermanagement/users/{user}/changePassword
Change the password of the user the client is logged in as.

Reads the current user first, then posts ``data_json`` (the engine's change-password
document) for that user. The client's own credentials are not changed: call set_user
with the new password for later logins.

Args:
    data_json: The change-password document, sent as the JSON body.

Returns:
    A Command holding the engine's answer as ``response``.

Raises:
    KeyError: the current-user record has no ``user``; nothing is posted.
)",
               change_password);
    def_method(client, "system.get_bundle", R"(
get_bundle(self, generators: str | collections.abc.Iterable[str] | None = None) -> zipfile.ZipFile
GET /system/bundle/generate
Have the engine assemble a support bundle and open it in memory.

Args:
    generators: names of the generators to use, or one name (None or empty: the engine's
        default).

Returns:
    A zipfile.ZipFile opened for reading over the bundle's bytes; nothing is written to
    disk.

Raises:
    TypeError: a generator name is not text; nothing is sent.
    zipfile.BadZipFile: the engine's answer is not a ZIP archive.
)",
               get_bundle);
}

}  // namespace velm
