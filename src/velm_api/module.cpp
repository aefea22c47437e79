// Entry of the extension module quenlo.sdk.velm_api: binds the names the client uses and creates its classes.
#include <nanobind/stl/string.h>

#include <string>

#include "commands.hpp"
#include "operations/operations.hpp"
#include "wait.hpp"

namespace {

// At exit, what threads still running or greenlets paused hold (a daemon thread's client) is alive, not
// leaked; nanobind's leak report cannot tell the two apart, so it is left out only while such holders remain.
void judge_leaks_at_exit() {
    // Imported by name: the interpreter that exits may not be the one that imported the module last.
    nb::object held_at_exit = nb::module_::import_("quenlo.sdk._binding").attr("held_at_exit");
    if (nb::cast<bool>(held_at_exit())) nb::set_leak_warnings(false);
}

// Every name the module binds from a companion, written whole: the companion, its name there, and the name
// the module knows it by when that differs (an internal one, with its underscore).
struct Bound {
    const char *companion, *name, *as = nullptr;
};
const Bound bound_names[] = {
    {"constants", "ENGINE_AUTHENTICATION_METHOD_FORM"},
    {"constants", "REQUIRED_HEADERS"},
    {"constants", "DEFAULT_VELM_API_VERSION"},
    {"exceptions", "BadRequestError"},
    {"exceptions", "InternalServerError"},
    {"exceptions", "logged_content", "_logged_content"},
    {"exceptions", "raise_http_error", "_raise_http_error"},
    {"exceptions", "redact_url", "_redact_url"},
    {"transport", "RetryingAdapter", "_RetryingAdapter"},
    {"transport", "EngineResponse", "_EngineResponse"},
    {"transport", "deadline", "_deadline"},
    {"utils", "Version"},
    {"utils", "get_params"},
    {"utils", "join_url_parts"},
    {"utils", "pipeline_json_encoder"},
    {"utils", "wait_for_condition"},
};

}  // namespace

NB_MODULE(velm_api, m) {
    using velm::global;
    velm::module_object = m;
    m.doc() = "Abstractions to interact with the VELM REST API.";

    // Everything the client calls is a module attribute, looked up at the moment of use, so callers can
    // patch it here (mock.patch("quenlo.sdk.velm_api.get_params")) exactly as with a Python module.
    for (const char *name : {"json", "logging", "time", "io", "zipfile", "requests", "urllib3"})
        m.attr(name) = nb::module_::import_(name);

    std::string module_name = nb::cast<std::string>(m.attr("__name__"));
    std::string::size_type dot = module_name.rfind('.');
    const std::string package = dot == std::string::npos ? "quenlo.sdk" : module_name.substr(0, dot);
    auto companion = [&](const char *name) { return nb::module_::import_((package + "." + name).c_str()); };
    velm::binding_module = companion("_binding").release();
    m.attr("velm_models") = companion("velm_models");
    for (const Bound &bound : bound_names)
        m.attr(bound.as ? bound.as : bound.name) = companion(bound.companion).attr(bound.name);

    m.attr("logger") = global("logging").attr("getLogger")(m.attr("__name__"));

    velm::init_wait_classes(m);
    auto client = velm::init_client(m, companion("_client"));
    velm::init_commands(m);
    velm::init_waits(m);
    velm::init_pipelines(client);
    velm::init_preview_snapshots(client);
    velm::init_system(client);

    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&judge_leaks_at_exit));
}
