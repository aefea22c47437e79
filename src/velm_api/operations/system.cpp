// Engine information and configuration, definitions, stage libraries, health, support bundles and access
// control. Each operation is one request (change_password makes two) and returns the decoded body or a
// Command around the response.
#include "operations.hpp"

namespace velm {
namespace {

// A GET without a query, wrapped in a Command.
nb::object get_command(nb::handle self, const char *path_template) {
    return command(self, call_get(self, "endpoint"_a = endpoint(self, path_template)));
}

// ---------------------------------------------------------------------------------------------------------
// Engine information and configuration

nb::object get_velm_directories(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/directories"));
    return decoded_or(response, nb::dict());
}

nb::object get_velm_configuration(nb::handle self) {
    return get_command(self, "/v{}/system/configuration");
}

nb::object get_velm_ui_configuration(nb::handle self) {
    return get_command(self, "/v{}/system/configuration/ui");
}

nb::object get_velm_id(nb::handle self) {
    return get_command(self, "/v{}/system/info/id");
}

nb::object get_current_user(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/info/currentUser"));
    return decoded_or(response, nb::dict());
}

nb::object get_jmx_metrics(nb::handle self) {
    return get_command(self, "/v{}/system/jmx");
}

nb::object get_system_stats(nb::handle self) {
    return get_command(self, "/v{}/system/stats");
}

nb::object opt_for_system_stats(nb::handle self, nb::object opt) {
    nb::dict params;
    params["active"] = opt;
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/system/stats"), "params"_a = params);
    return command(self, response);
}

nb::object get_logs(nb::handle self, nb::object ending_offset, nb::object extra_message, nb::object pipeline,
                    nb::object severity) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["ending_offset"] = ending_offset;
    arguments["extra_message"] = extra_message;
    arguments["pipeline"] = pipeline;
    arguments["severity"] = severity;
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/logs"),
                                   "params"_a = query(arguments, name("self")));
    return command(self, response);
}

nb::object change_password(nb::handle self, nb::object data_json) {
    // Through the method, so a subclass or a patched get_current_user decides whose password changes.
    nb::object user = self.attr("get_current_user")()["user"];
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/usermanagement/users/{}/changePassword", {user}),
                  "data"_a = data_json);
    return command(self, response);
}

// ---------------------------------------------------------------------------------------------------------
// Definitions, stage libraries, health and support bundles

nb::object get_definitions(nb::handle self) {
    return call_get(self, "endpoint"_a = endpoint(self, "/v{}/definitions")).attr("json")();
}

nb::object get_connection_definitions(nb::handle self) {
    return get_command(self, "/v{}/definitions/connections");
}

nb::object get_stage_libraries_list(nb::handle self, nb::object repo_url, nb::object installed_only) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["repo_url"] = repo_url;
    arguments["installed_only"] = installed_only;
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/stageLibraries/list"),
                                   "params"_a = query(arguments, name("self")));
    return command(self, response);
}

nb::object get_classpath_health(nb::handle self) {
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/stageLibraries/classpathHealth"));
    return decoded_or(response, nb::list());
}

nb::object get_alerts(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipelines/alerts"));
    return decoded_or(response, nb::list());
}

nb::object get_bundle_generators(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/bundle/list"));
    return decoded_or(response, nb::list());
}

nb::object get_bundle(nb::handle self, nb::object generators) {
    // One name given as plain text is that one generator, not its letters ("Logs", not "L,o,g,s"). str.join
    // refuses a name that is not text with TypeError, before anything is sent.
    nb::object names = truthy(generators) ? generators : nb::list();
    if (PyUnicode_Check(generators.ptr())) names = nb::make_tuple(generators);
    nb::dict params;
    params["generators"] = nb::str(",").attr("join")(names);
    nb::object content = call_get_into_buffer(self, endpoint(self, "/v{}/system/bundle/generate"), params);
    return global("zipfile").attr("ZipFile")(content, "r");
}

nb::object get_health_categories(nb::handle self) {
    return get_command(self, "/v{}/system/health/categories");
}

nb::object get_health_report(nb::handle self, nb::object categories) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["categories"] = categories;
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/health/report"),
                                   "params"_a = query(arguments, name("self")));
    return command(self, response);
}

// ---------------------------------------------------------------------------------------------------------
// Access control

nb::object get_pipeline_acl(nb::handle self, nb::object pipeline_id) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/acl/{}", {pipeline_id}));
    return decoded_or(response, nb::dict());
}

nb::object set_pipeline_acl(nb::handle self, nb::object pipeline_id, nb::object pipeline_acl_json) {
    nb::object response = call_post(self, "endpoint"_a = endpoint(self, "/v{}/acl/{}", {pipeline_id}),
                                    "data"_a = pipeline_acl_json);
    return command(self, response);
}

nb::object get_pipeline_permissions(nb::handle self, nb::object pipeline_id) {
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/acl/{}/permissions", {pipeline_id}));
    return decoded_or(response, nb::list());
}

nb::object get_acl_subjects(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipelines/subjects"));
    return decoded_or(response, nb::dict());
}

// Written under the singular "pipeline", read under the plural "pipelines": the engine's two resources.
nb::object set_acl_subjects(nb::handle self, nb::object subjects_json) {
    nb::object response =
        call_post(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/subjects"), "data"_a = subjects_json);
    return command(self, response);
}

}  // namespace

void init_system(ClientClass &client) {
    // Engine information and configuration
    client.def("get_velm_directories", &get_velm_directories,
               "Read the engine's directories (runtime, configuration, data, logs, resources, ...).\n\n"
               "Returns:\n"
               "    The decoded JSON object, or an empty dict when the body is empty.");
    client.def("get_velm_configuration", &get_velm_configuration,
               "Read the engine's configuration properties.\n\n"
               "Returns:\n"
               "    A Command holding the response; its body is the configuration object.");
    client.def("get_velm_ui_configuration", &get_velm_ui_configuration,
               "Read the configuration the engine gives its user interface.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_velm_id", &get_velm_id,
               "Read the engine's id.\n\n"
               "Returns:\n"
               "    A Command holding the response; its body carries the id.");
    client.def("get_current_user", &get_current_user,
               "Read the user the client is logged in as, with its groups and roles.\n\n"
               "Returns:\n"
               "    The decoded JSON object (the name under ``user``), or an empty dict when the body is\n"
               "    empty.");
    client.def("get_jmx_metrics", &get_jmx_metrics,
               "Read the engine's JMX metrics.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_system_stats", &get_system_stats,
               "Read the engine's usage statistics settings.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def(
        "opt_for_system_stats", &opt_for_system_stats, "opt"_a.none(),
        "Switch the engine's usage statistics on or off.\n\n"
        "Args:\n"
        "    opt: sent unchanged as the query value ``active`` (for example \"true\" or \"false\").\n\n"
        "Returns:\n"
        "    A Command holding the response.");
    client.def("get_logs", &get_logs, "ending_offset"_a = -1, "extra_message"_a.none() = nb::none(),
               "pipeline"_a.none() = nb::none(), "severity"_a.none() = nb::none(),
               "Read the engine's log, newest part first, going back from ``ending_offset``.\n\n"
               "Args:\n"
               "    ending_offset: where to stop reading (-1 for the end of the log).\n"
               "    extra_message: only entries whose message contains this text.\n"
               "    pipeline: a velm_models.Pipeline; only the entries of that pipeline.\n"
               "    severity: only entries of that severity (\"ERROR\", \"WARN\", \"INFO\", ...).\n\n"
               "Returns:\n"
               "    A Command holding the response; its body is the list of log entries.");
    client.def("change_password", &change_password, "data_json"_a.none(),
               "Change the password of the user the client is logged in as.\n\n"
               "Reads the current user first, then posts ``data_json`` (the engine's change-password\n"
               "document) for that user. The client's own credentials are not changed: call set_user\n"
               "with the new password for later logins.\n\n"
               "Returns:\n"
               "    A Command holding the response.\n\n"
               "Raises:\n"
               "    KeyError: the current-user record has no ``user``; nothing is posted.");

    // Definitions, stage libraries, health and support bundles
    client.def("get_definitions", &get_definitions,
               "Read the definitions of the engine's stages, services and expression functions.\n\n"
               "Returns:\n"
               "    The decoded JSON object.\n\n"
               "Raises:\n"
               "    json.JSONDecodeError (requests' JSONDecodeError): the body is empty or not JSON.");
    client.def("get_connection_definitions", &get_connection_definitions,
               "Read the definitions of the engine's connection types.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_stage_libraries_list", &get_stage_libraries_list, "repo_url"_a.none(),
               "installed_only"_a.none(),
               "List stage libraries.\n\n"
               "Args:\n"
               "    repo_url: the repository to list from (None for the engine's own).\n"
               "    installed_only: list only the libraries installed on the engine.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_classpath_health", &get_classpath_health,
               "Read the classpath health of the installed stage libraries.\n\n"
               "Returns:\n"
               "    The decoded JSON list, or an empty list when the body is empty.");
    client.def("get_alerts", &get_alerts,
               "Read the alerts raised by the rules of running pipelines.\n\n"
               "Returns:\n"
               "    The decoded JSON list, or an empty list when the body is empty.");
    client.def("get_bundle_generators", &get_bundle_generators,
               "List the generators a support bundle can be assembled from.\n\n"
               "Returns:\n"
               "    The decoded JSON list, or an empty list when the body is empty.");
    client.def("get_bundle", &get_bundle, "generators"_a.none() = nb::none(),
               "Have the engine assemble a support bundle and open it in memory.\n\n"
               "Args:\n"
               "    generators: names of the generators to use (None or empty: the engine's default).\n\n"
               "Returns:\n"
               "    A zipfile.ZipFile opened for reading over the bundle's bytes; nothing is written to\n"
               "    disk.\n\n"
               "Raises:\n"
               "    TypeError: a generator name is not text; nothing is sent.\n"
               "    zipfile.BadZipFile: the engine's answer is not a ZIP archive.");
    client.def("get_health_categories", &get_health_categories,
               "List the categories of the engine's health report.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_health_report", &get_health_report, "categories"_a.none() = nb::none(),
               "Read the engine's health report.\n\n"
               "Args:\n"
               "    categories: the categories to report on (None for all).\n\n"
               "Returns:\n"
               "    A Command holding the response.");

    // Access control
    client.def("get_pipeline_acl", &get_pipeline_acl, "pipeline_id"_a.none(),
               "Read the access control list of a pipeline.\n\n"
               "Returns:\n"
               "    The decoded JSON object, or an empty dict when the body is empty.");
    client.def("set_pipeline_acl", &set_pipeline_acl, "pipeline_id"_a.none(), "pipeline_acl_json"_a.none(),
               "Replace the access control list of a pipeline with ``pipeline_acl_json``.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
    client.def("get_pipeline_permissions", &get_pipeline_permissions, "pipeline_id"_a.none(),
               "Read the permissions of a pipeline.\n\n"
               "Returns:\n"
               "    The decoded JSON list, or an empty list when the body is empty.");
    client.def("get_acl_subjects", &get_acl_subjects,
               "Read the subjects (users and groups) of the pipelines' access control lists.\n\n"
               "Returns:\n"
               "    The decoded JSON object, or an empty dict when the body is empty.");
    client.def("set_acl_subjects", &set_acl_subjects, "subjects_json"_a.none(),
               "Write the subjects of the pipelines' access control lists.\n\n"
               "Returns:\n"
               "    A Command holding the response.");
}

}  // namespace velm
