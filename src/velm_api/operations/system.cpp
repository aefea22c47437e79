// Engine information and configuration, definitions, stage libraries, health, support bundles and access
// control. Each operation is one request (change_password makes two) and returns the decoded body or a
// Command around the response; each is bound with its body, so it reads in one place.
#include "operations.hpp"

namespace velm {
namespace {

// A GET without a query: its response.
nb::object get(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values = {}) {
    return self.attr("_get")("endpoint"_a = endpoint(self, path_template, values));
}

// A GET with the query get_params makes of the operation's arguments, wrapped in a Command.
nb::object get_command(nb::handle self, const char *path_template, nb::handle query) {
    return command(self, self.attr("_get")("endpoint"_a = endpoint(self, path_template), "params"_a = query));
}

// A POST of a JSON body without a query, wrapped in a Command.
nb::object post_command(nb::handle self, nb::str path, nb::handle data) {
    return command(self, self.attr("_post")("endpoint"_a = path, "data"_a = data));
}

}  // namespace

void init_system(ClientClass &client) {
    // Engine information and configuration
    client.def(
        "get_velm_info",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/system/info"), nb::dict()); },
        nb::sig("def get_velm_info(self) -> dict[str, typing.Any]"),
        "Read the engine information record (GET /system/info).\n\n"
        "Returns:\n"
        "    The decoded JSON object (with ``version`` among its members), or an empty dict when the\n"
        "    engine answered with an empty body.");
    client.def(
        "get_velm_directories",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/system/directories"), nb::dict()); },
        nb::sig("def get_velm_directories(self) -> dict[str, typing.Any]"),
        "Read the engine's directories (runtime, configuration, data, logs, resources, ...).\n\n"
        "Returns:\n"
        "    The decoded JSON object, or an empty dict when the body is empty.");
    client.def(
        "get_velm_configuration",
        [](nb::handle self) { return command(self, get(self, "/v{}/system/configuration")); },
        nb::sig("def get_velm_configuration(self) -> Command"),
        "Read the engine's configuration properties.\n\n"
        "Returns:\n"
        "    A Command holding the response; its body is the configuration object.");
    client.def(
        "get_velm_ui_configuration",
        [](nb::handle self) { return command(self, get(self, "/v{}/system/configuration/ui")); },
        nb::sig("def get_velm_ui_configuration(self) -> Command"),
        "Read the configuration the engine gives its user interface.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_velm_id", [](nb::handle self) { return command(self, get(self, "/v{}/system/info/id")); },
        nb::sig("def get_velm_id(self) -> Command"),
        "Read the engine's id.\n\n"
        "Returns:\n"
        "    A Command holding the response; its body carries the id.");
    client.def(
        "get_current_user",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/system/info/currentUser"), nb::dict()); },
        nb::sig("def get_current_user(self) -> dict[str, typing.Any]"),
        "Read the user the client is logged in as, with its groups and roles.\n\n"
        "Returns:\n"
        "    The decoded JSON object (the name under ``user``), or an empty dict when the body is\n"
        "    empty.");
    client.def(
        "get_jmx_metrics", [](nb::handle self) { return command(self, get(self, "/v{}/system/jmx")); },
        nb::sig("def get_jmx_metrics(self) -> Command"),
        "Read the engine's JMX metrics.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_system_stats", [](nb::handle self) { return command(self, get(self, "/v{}/system/stats")); },
        nb::sig("def get_system_stats(self) -> Command"),
        "Read the engine's usage statistics settings.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "opt_for_system_stats",
        [](nb::handle self, nb::object opt) {
            nb::str path = endpoint(self, "/v{}/system/stats");
            return command(self,
                           self.attr("_post")("endpoint"_a = path, "params"_a = mapping({{"active", opt}})));
        },
        nb::sig("def opt_for_system_stats(self, opt: typing.Any) -> Command"), "opt"_a.none(),
        "Switch the engine's usage statistics on or off.\n\n"
        "Args:\n"
        "    opt: sent unchanged as the query value ``active`` (for example \"true\" or \"false\").\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_logs",
        [](nb::handle self, nb::object ending_offset, nb::object extra_message, nb::object pipeline,
           nb::object severity) {
            nb::object query = params(self,
                                      {{"ending_offset", ending_offset},
                                       {"extra_message", extra_message},
                                       {"pipeline", pipeline},
                                       {"severity", severity}},
                                      {"self"});
            return get_command(self, "/v{}/system/logs", query);
        },
        nb::sig("def get_logs(self, ending_offset: int | None = -1, extra_message: str | None = None, "
                "pipeline: str | quenlo.sdk.velm_models.Pipeline | None = None, "
                "severity: str | None = None) -> Command"),
        "ending_offset"_a.none() = -1, "extra_message"_a.none() = nb::none(),
        "pipeline"_a.none() = nb::none(), "severity"_a.none() = nb::none(),
        "Read the engine's log, newest part first, going back from ``ending_offset``.\n\n"
        "Args:\n"
        "    ending_offset: where to stop reading (-1 for the end of the log; None leaves it out).\n"
        "    extra_message: only entries whose message contains this text.\n"
        "    pipeline: a pipeline id or a velm_models.Pipeline; only the entries of that pipeline.\n"
        "    severity: only entries of that severity (\"ERROR\", \"WARN\", \"INFO\", ...).\n\n"
        "Returns:\n"
        "    A Command holding the response; its body is the list of log entries.");
    client.def(
        "change_password",
        [](nb::handle self, nb::object data_json) {
            // Through the method, so a subclass or a patched get_current_user decides whose password changes.
            nb::object user = self.attr("get_current_user")()["user"];
            return post_command(self, endpoint(self, "/v{}/usermanagement/users/{}/changePassword", {user}),
                                data_json);
        },
        nb::sig("def change_password(self, data_json: typing.Any) -> Command"), "data_json"_a.none(),
        "Change the password of the user the client is logged in as.\n\n"
        "Reads the current user first, then posts ``data_json`` (the engine's change-password\n"
        "document) for that user. The client's own credentials are not changed: call set_user\n"
        "with the new password for later logins.\n\n"
        "Returns:\n"
        "    A Command holding the response.\n\n"
        "Raises:\n"
        "    KeyError: the current-user record has no ``user``; nothing is posted.");

    // Definitions, stage libraries, health and support bundles
    client.def(
        "get_definitions", [](nb::handle self) { return get(self, "/v{}/definitions").attr("json")(); },
        nb::sig("def get_definitions(self) -> typing.Any"),
        "Read the definitions of the engine's stages, services and expression functions.\n\n"
        "Returns:\n"
        "    The decoded JSON object.\n\n"
        "Raises:\n"
        "    json.JSONDecodeError (requests' JSONDecodeError): the body is empty or not JSON.");
    client.def(
        "get_connection_definitions",
        [](nb::handle self) { return command(self, get(self, "/v{}/definitions/connections")); },
        nb::sig("def get_connection_definitions(self) -> Command"),
        "Read the definitions of the engine's connection types.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_stage_libraries_list",
        [](nb::handle self, nb::object repo_url, nb::object installed_only) {
            nb::object query =
                params(self, {{"repo_url", repo_url}, {"installed_only", installed_only}}, {"self"});
            return get_command(self, "/v{}/stageLibraries/list", query);
        },
        nb::sig("def get_stage_libraries_list(self, repo_url: str | None, installed_only: bool | None) -> "
                "Command"),
        "repo_url"_a.none(), "installed_only"_a.none(),
        "List stage libraries.\n\n"
        "Args:\n"
        "    repo_url: the repository to list from (None for the engine's own).\n"
        "    installed_only: list only the libraries installed on the engine.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_classpath_health",
        [](nb::handle self) {
            return decoded_or(get(self, "/v{}/stageLibraries/classpathHealth"), nb::list());
        },
        nb::sig("def get_classpath_health(self) -> typing.Any"),
        "Read the classpath health of the installed stage libraries.\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the body is empty.");
    client.def(
        "get_alerts",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/pipelines/alerts"), nb::list()); },
        nb::sig("def get_alerts(self) -> typing.Any"),
        "Read the alerts raised by the rules of running pipelines.\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the body is empty.");
    client.def(
        "get_bundle_generators",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/system/bundle/list"), nb::list()); },
        nb::sig("def get_bundle_generators(self) -> typing.Any"),
        "List the generators a support bundle can be assembled from.\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the body is empty.");
    client.def(
        "get_bundle",
        [](nb::handle self, nb::object generators) {
            // One name given as plain text is that one generator, not its letters ("Logs", not "L,o,g,s").
            // str.join refuses a name that is not text with TypeError, before anything is sent.
            nb::object names = PyUnicode_Check(generators.ptr()) ? nb::make_tuple(generators)
                               : truthy(generators)              ? generators
                                                                 : nb::list();
            nb::dict query = mapping({{"generators", nb::str(",").attr("join")(names)}});
            nb::object content = get_into_buffer(self, endpoint(self, "/v{}/system/bundle/generate"), query);
            return global("zipfile").attr("ZipFile")(content, "r");
        },
        nb::sig("def get_bundle(self, generators: str | collections.abc.Iterable[str] | None = None) -> "
                "zipfile.ZipFile"),
        "generators"_a.none() = nb::none(),
        "Have the engine assemble a support bundle and open it in memory.\n\n"
        "Args:\n"
        "    generators: names of the generators to use, or one name (None or empty: the engine's\n"
        "        default).\n\n"
        "Returns:\n"
        "    A zipfile.ZipFile opened for reading over the bundle's bytes; nothing is written to\n"
        "    disk.\n\n"
        "Raises:\n"
        "    TypeError: a generator name is not text; nothing is sent.\n"
        "    zipfile.BadZipFile: the engine's answer is not a ZIP archive.");
    client.def(
        "get_health_categories",
        [](nb::handle self) { return command(self, get(self, "/v{}/system/health/categories")); },
        nb::sig("def get_health_categories(self) -> Command"),
        "List the categories of the engine's health report.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_health_report",
        [](nb::handle self, nb::object categories) {
            nb::object query = params(self, {{"categories", categories}}, {"self"});
            return get_command(self, "/v{}/system/health/report", query);
        },
        nb::sig("def get_health_report(self, categories: typing.Any = None) -> Command"),
        "categories"_a.none() = nb::none(),
        "Read the engine's health report.\n\n"
        "Args:\n"
        "    categories: the categories to report on (None for all).\n\n"
        "Returns:\n"
        "    A Command holding the response.");

    // Access control
    client.def(
        "get_pipeline_acl",
        [](nb::handle self, nb::object pipeline_id) {
            return decoded_or(get(self, "/v{}/acl/{}", {pipeline_id}), nb::dict());
        },
        nb::sig("def get_pipeline_acl(self, pipeline_id: str) -> dict[str, typing.Any]"),
        "pipeline_id"_a.none(),
        "Read the access control list of a pipeline.\n\n"
        "Returns:\n"
        "    The decoded JSON object, or an empty dict when the body is empty.");
    client.def(
        "set_pipeline_acl",
        [](nb::handle self, nb::object pipeline_id, nb::object pipeline_acl_json) {
            return post_command(self, endpoint(self, "/v{}/acl/{}", {pipeline_id}), pipeline_acl_json);
        },
        nb::sig("def set_pipeline_acl(self, pipeline_id: str, pipeline_acl_json: typing.Any) -> Command"),
        "pipeline_id"_a.none(), "pipeline_acl_json"_a.none(),
        "Replace the access control list of a pipeline with ``pipeline_acl_json``.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def(
        "get_pipeline_permissions",
        [](nb::handle self, nb::object pipeline_id) {
            return decoded_or(get(self, "/v{}/acl/{}/permissions", {pipeline_id}), nb::list());
        },
        nb::sig("def get_pipeline_permissions(self, pipeline_id: str) -> typing.Any"), "pipeline_id"_a.none(),
        "Read the permissions of a pipeline.\n\n"
        "Returns:\n"
        "    The decoded JSON list, or an empty list when the body is empty.");
    client.def(
        "get_acl_subjects",
        [](nb::handle self) { return decoded_or(get(self, "/v{}/pipelines/subjects"), nb::dict()); },
        nb::sig("def get_acl_subjects(self) -> dict[str, typing.Any]"),
        "Read the subjects (users and groups) of the pipelines' access control lists.\n\n"
        "Returns:\n"
        "    The decoded JSON object, or an empty dict when the body is empty.");
    // Written under the singular "pipeline", read under the plural "pipelines": the engine's two resources.
    client.def(
        "set_acl_subjects",
        [](nb::handle self, nb::object subjects_json) {
            return post_command(self, endpoint(self, "/v{}/pipeline/subjects"), subjects_json);
        },
        nb::sig("def set_acl_subjects(self, subjects_json: typing.Any) -> Command"), "subjects_json"_a.none(),
        "Write the subjects of the pipelines' access control lists.\n\n"
        "Returns:\n"
        "    A Command holding the response.");
}

}  // namespace velm
