#include "commands.hpp"

#include "wait.hpp"

namespace velm {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Shared pieces of the waits

// The deadline of a wait, read from the module's `time` so that patched clocks are honoured. It is tested
// only before a poll cycle: a cycle that has begun always completes.
class Deadline {
public:
    explicit Deadline(nb::handle timeout_sec) : start_(now()) {
        double seconds = PyFloat_AsDouble(timeout_sec.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
        stop_ = start_ + seconds;
    }
    bool open() const { return now() < stop_; }
    nb::object elapsed() const { return nb::float_(now() - start_); }

private:
    double start_;
    double stop_;
};

nb::object decoded(nb::handle command) {
    return command.attr("response").attr("json")();
}

bool is_key_error(nb::python_error &e) {
    return e.matches(PyExc_KeyError);
}

// The pipeline id of a status record: "pipelineId", or "name" when that key is missing.
nb::object pipeline_id_of(nb::handle command) {
    try {
        return decoded(command)["pipelineId"];
    } catch (nb::python_error &e) {
        if (!is_key_error(e)) throw;
        return decoded(command)["name"];
    }
}

bool contains(nb::handle container, nb::handle value) {
    int result = PySequence_Contains(container.ptr(), value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// The status error class for `status`, or an invalid handle when it is not an error status.
nb::object error_class_for(nb::handle status) {
    nb::object table = global("PipelineCommand").attr("ERROR_STATUSES");
    if (!contains(table, status)) return nb::object();
    return table[status];
}

bool at_least(nb::handle value, nb::handle target) {
    int result = PyObject_RichCompareBool(value.ptr(), target.ptr(), Py_GE);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::str percent_format(const char *text, nb::handle value) {
    return nb::str(nb::str(text).attr("__mod__")(nb::make_tuple(value)));
}

nb::str brace_format(const char *text, nb::handle value) {
    return nb::str(nb::str(text).attr("format")(value));
}

// ---------------------------------------------------------------------------------------------------------
// Command and PipelineCommand

void command_init(nb::handle self, nb::object api_client, nb::object response) {
    self.attr("api_client") = api_client;
    self.attr("response") = response;
}

void wait_for_status(nb::handle self, nb::object status, nb::object ignore_errors, nb::object timeout_sec) {
    log("info", "Waiting for status %s ...", status);
    const Deadline deadline(timeout_sec);
    const bool wanted_list = PyList_Check(status.ptr());
    const bool raise_errors = !truthy(ignore_errors);
    nb::object last_status = nb::none();
    while (deadline.open()) {
        nb::object pipeline_id = pipeline_id_of(self);
        nb::object current = decoded(self)["status"];
        last_status = current;
        log("debug", "Status of pipeline %s is %s ...", pipeline_id, current);
        const bool reached = wanted_list ? contains(status, current) : current.equal(status);
        if (reached) {
            log("info", "Pipeline %s reached status %s (took %.2f s).", pipeline_id, current,
                deadline.elapsed());
            return;
        }
        if (raise_errors) {
            nb::object error = error_class_for(current);
            if (error.is_valid()) raise(error(decoded(self)));
        }
        sleep_one_second();
        self.attr("response") =
            self.attr("api_client").attr("get_pipeline_status")(pipeline_id).attr("response");
    }
    raise_wait_timeout(self,
                       nb::str("Timed out after %s seconds while waiting for status %s.")
                           .attr("__mod__")(nb::make_tuple(timeout_sec, status)),
                       timeout_sec, deadline.elapsed(), last_status);
}

// ---------------------------------------------------------------------------------------------------------
// StartPipelineCommand and StopPipelineCommand

void wait_for_counters_metric(nb::handle self, nb::object metric_name, nb::object target_count,
                              nb::object timeout_sec) {
    nb::object pipeline_id = pipeline_id_of(self);
    // A target no count compares with ("5", None) is refused before the first request, not after it.
    at_least(nb::int_(-1), target_count);
    log("info", "Waiting for counters metric %s to reach at least %s...", metric_name, target_count);
    const Deadline deadline(timeout_sec);
    nb::object api_client = self.attr("api_client");
    nb::object last_status = nb::none();
    while (deadline.open()) {
        nb::object current = decoded(self)["status"];
        last_status = current;
        nb::object error = error_class_for(current);
        if (error.is_valid()) raise(error(decoded(self)));

        nb::object metrics =
            api_client.attr("get_pipeline_metrics")("pipeline_id"_a = pipeline_id).attr("response");
        nb::object counters = metrics.attr("json")().attr("get")("counters", nb::dict());
        nb::dict missing;
        missing["count"] = -1;
        nb::object metric = counters.attr("get")(metric_name, missing);
        nb::object count = metric["count"];
        if (at_least(count, target_count)) {
            // The count just compared, not a second look-up: a missing counter (-1) meets a negative
            // target, and looking it up again would fail with KeyError instead of returning.
            log("info", "Pipeline %s reached counters metric %s of value %s (took %.2f s).", pipeline_id,
                metric_name, count, deadline.elapsed());
            return;
        }
        sleep_one_second();
        self.attr("response") =
            api_client.attr("get_pipeline_status")("pipeline_id"_a = pipeline_id).attr("response");
    }
    raise_wait_timeout(
        self, nb::str("Did not reached metric {} of value {}").attr("format")(metric_name, target_count),
        timeout_sec, deadline.elapsed(), last_status);
}

void wait_for_counter(nb::handle self, const char *metric_name, nb::object count, nb::object timeout_sec) {
    self.attr("wait_for_counters_metric")(metric_name, count, timeout_sec);
}

// ---------------------------------------------------------------------------------------------------------
// Validate and preview commands: one loop, three end tests

enum class PreviewWait { validate, preview, connection };

bool in(nb::handle value, std::initializer_list<const char *> states) {
    for (const char *state : states)
        if (value.equal(nb::str(state))) return true;
    return false;
}

void fetch_preview_data(nb::handle self) {
    self.attr("response") = self.attr("api_client")
                                .attr("get_preview_data")("pipeline_id"_a = self.attr("pipeline_id"),
                                                          "previewer_id"_a = self.attr("previewer_id"))
                                .attr("response");
}

nb::object preview_wait(nb::handle self, nb::object timeout_sec, PreviewWait kind) {
    log("info", kind == PreviewWait::preview ? "Waiting for preview to be finished..."
                                             : "Waiting for validate to be finished ...");
    const Deadline deadline(timeout_sec);
    nb::object api_client = self.attr("api_client");
    nb::object pipeline_id = self.attr("pipeline_id");
    nb::object previewer_id = self.attr("previewer_id");
    nb::object last_status = nb::none();
    while (deadline.open()) {
        nb::object response =
            api_client
                .attr("get_preview_status")("pipeline_id"_a = pipeline_id, "previewer_id"_a = previewer_id)
                .attr("response");
        self.attr("response") = response;
        log("debug", "response.content: %s", response.attr("content"));
        // The engine answers with an empty body while it sets the run up: ask again at once.
        if (!has_body(response)) continue;

        nb::object current = response.attr("json")()["status"];
        last_status = current;
        bool ended = false;
        switch (kind) {
            case PreviewWait::validate:
                ended = !in(current, {"VALIDATING"});
                if (ended && !in(current, {"VALID"})) fetch_preview_data(self);
                break;
            case PreviewWait::preview: ended = in(current, {"FINISHED"}); break;
            case PreviewWait::connection:
                ended = !in(current, {"CREATED", "STARTING", "RUNNING", "VALIDATING"});
                if (ended) fetch_preview_data(self);
                break;
        }
        if (ended) {
            log("debug", "Pipeline (%s) preview (%s) reached state : %s", pipeline_id, previewer_id, current);
            return nb::borrow(self);
        }
        sleep_one_second();
    }
    const char *message =
        kind == PreviewWait::validate  ? "Timed out after %s seconds while waiting for validation."
        : kind == PreviewWait::preview ? "Timed out after %s seconds while waiting for status FINISHED."
                                       : nullptr;
    raise_wait_timeout(
        self,
        message ? percent_format(message, timeout_sec)
                : brace_format("Timed out after {} seconds while waiting for validation.", timeout_sec),
        timeout_sec, deadline.elapsed(), last_status);
}

void preview_command_init(nb::handle self, nb::object api_client, nb::object response, nb::object pipeline_id,
                          nb::object previewer_id) {
    command_init(self, api_client, response);
    self.attr("pipeline_id") = pipeline_id;
    self.attr("previewer_id") = previewer_id;
}

nb::object preview_property(nb::handle self) {
    nb::object pipeline_id = self.attr("pipeline_id");
    nb::object previewer_id = self.attr("previewer_id");
    nb::object data =
        self.attr("api_client")
            .attr("get_preview_data")("pipeline_id"_a = pipeline_id, "previewer_id"_a = previewer_id)
            .attr("response")
            .attr("json")();
    return global("velm_models")
        .attr("Preview")("pipeline_id"_a = pipeline_id, "previewer_id"_a = previewer_id, "preview"_a = data);
}

// ---------------------------------------------------------------------------------------------------------
// SnapshotCommand

void snapshot_command_init(nb::handle self, nb::object api_client, nb::object response,
                           nb::object pipeline_id, nb::object snapshot_name, nb::object snapshot_label) {
    command_init(self, api_client, response);
    self.attr("pipeline_id") = pipeline_id;
    self.attr("snapshot_name") = snapshot_name;
    self.attr("snapshot_label") = snapshot_label;
}

nb::object snapshot_wait_for_finished(nb::handle self, nb::object timeout_sec) {
    log("info", "Waiting for snapshot to be captured...");
    const Deadline deadline(timeout_sec);
    nb::object api_client = self.attr("api_client");
    nb::object pipeline_id = self.attr("pipeline_id");
    nb::object snapshot_name = self.attr("snapshot_name");
    while (deadline.open()) {
        nb::object response =
            api_client
                .attr("get_snapshot_status")("pipeline_id"_a = pipeline_id, "snapshot_name"_a = snapshot_name)
                .attr("response");
        self.attr("response") = response;
        log("debug", "response.content: %s", response.attr("content"));
        if (!has_body(response)) continue;

        nb::object in_progress = response.attr("json")()["inProgress"];
        log("debug", "Pipeline (%s) snapshot (%s) in progress: %s", pipeline_id, snapshot_name, in_progress);
        // Only the JSON false itself means complete; null is "not known yet".
        if (in_progress.is(nb::borrow(Py_False))) {
            log("info", "Pipeline (%s) snapshot (%s) complete (took %.2f s).", pipeline_id, snapshot_name,
                deadline.elapsed());
            return nb::borrow(self);
        }
        sleep_one_second();
    }
    // This wait reads no status: inProgress is all it sees.
    raise_wait_timeout(
        self, brace_format("Timed out after {} seconds while waiting for status FINISHED.", timeout_sec),
        timeout_sec, deadline.elapsed(), nb::none());
}

nb::object snapshot_property(nb::handle self) {
    nb::object api_client = self.attr("api_client");
    nb::object pipeline_id = self.attr("pipeline_id");
    nb::object snapshot_name = self.attr("snapshot_name");
    nb::object record =
        api_client
            .attr("get_snapshot_status")("pipeline_id"_a = pipeline_id, "snapshot_name"_a = snapshot_name)
            .attr("response")
            .attr("json")();
    nb::object data =
        api_client
            .attr("get_snapshot_data")("pipeline_id"_a = pipeline_id, "snapshot_name"_a = snapshot_name,
                                       "snapshot_label"_a = self.attr("snapshot_label"))
            .attr("response")
            .attr("json")();
    record.attr("update")(data);
    return global("velm_models").attr("Snapshot")("api_client"_a = api_client, "snapshot"_a = record);
}

// ---------------------------------------------------------------------------------------------------------
// The status and data queries the waits poll with

nb::object get_pipeline_status(nb::handle self, nb::object pipeline_id, nb::object rev,
                               nb::object only_if_exists) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["rev"] = rev;
    arguments["only_if_exists"] = only_if_exists;
    nb::object response =
        call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/status", {pipeline_id}),
                 "params"_a = query(arguments, names({"self", "pipeline_id"})));
    return global("PipelineCommand")(self, response);
}

nb::object get_preview_status(nb::handle self, nb::object pipeline_id, nb::object previewer_id) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/preview/{}/status",
                                                                 {pipeline_id, previewer_id}));
    return global("Command")(self, response);
}

nb::object get_preview_data(nb::handle self, nb::object pipeline_id, nb::object previewer_id) {
    nb::object response = call_get(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/preview/{}", {pipeline_id, previewer_id}));
    return global("PreviewCommand")(self, response, pipeline_id, previewer_id);
}

nb::object get_snapshot_status(nb::handle self, nb::object pipeline_id, nb::object snapshot_name,
                               nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["snapshot_name"] = snapshot_name;
    arguments["rev"] = rev;
    nb::object response = call_get(
        self,
        "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshot/{}/status", {pipeline_id, snapshot_name}),
        "params"_a = query(arguments, names({"self", "pipeline_id", "snapshot_name"})));
    return global("Command")(self, response);
}

nb::object get_snapshot_data(nb::handle self, nb::object pipeline_id, nb::object snapshot_name,
                             nb::object snapshot_label, nb::object rev) {
    nb::dict arguments;
    arguments["self"] = self;
    arguments["pipeline_id"] = pipeline_id;
    arguments["snapshot_name"] = snapshot_name;
    arguments["snapshot_label"] = snapshot_label;
    arguments["rev"] = rev;
    nb::object response = call_get(
        self, "endpoint"_a = endpoint(self, "/v{}/pipeline/{}/snapshot/{}", {pipeline_id, snapshot_name}),
        "params"_a = query(arguments, names({"self", "pipeline_id", "snapshot_name"})));
    return global("SnapshotCommand")(self, response, pipeline_id, snapshot_name, snapshot_label);
}

// ---------------------------------------------------------------------------------------------------------
// StatusError family

void status_error_init(nb::handle self, nb::object response) {
    self.attr("response") = response;
    // A record without "message" still reports the pipeline's failure, with no message.
    nb::object message = nb::none();
    try {
        message = response["message"];
    } catch (nb::python_error &e) {
        if (!is_key_error(e)) throw;
    }
    self.attr("message") = message;
    nb::handle(PyExc_Exception).attr("__init__")(self, message);
}

// The default reduction would rebuild the error from its message; rebuild it from the record instead so
// the errors cross process boundaries (multiprocessing pools) intact.
nb::object status_error_reduce(nb::handle self) {
    return nb::make_tuple(nb::handle((PyObject *)Py_TYPE(self.ptr())), nb::make_tuple(self.attr("response")));
}

}  // namespace

void init_status_errors(nb::module_ &m) {
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::object module_name = m.attr("__name__");

    nb::dict body;
    body["__module__"] = module_name;
    body["__doc__"] =
        "Parent class for pipeline status errors.\n\n"
        "Attributes:\n"
        "    response: the decoded status record (a dict) that showed the error status.\n"
        "    message: the record's ``message`` (None when the engine sent none).";
    body["__init__"] = nb::cpp_function(&status_error_init, nb::is_method(), nb::name("__init__"),
                                        "response"_a, "Keep the status record and its message.");
    body["__reduce__"] = nb::cpp_function(&status_error_reduce, nb::is_method(), nb::name("__reduce__"));
    nb::object status_error = type("StatusError", nb::make_tuple(nb::handle(PyExc_Exception)), body);
    m.attr("StatusError") = status_error;

    const char *subclasses[][2] = {{"StartError", "Pipeline start error."},
                                   {"RunningError", "Pipeline running error."},
                                   {"RunError", "Pipeline run error."},
                                   {"ConnectError", "Pipeline connect error."}};
    for (auto &entry : subclasses) {
        nb::dict sub;
        sub["__module__"] = module_name;
        sub["__doc__"] = entry[1];
        m.attr(entry[0]) = type(entry[0], nb::make_tuple(status_error), sub);
    }
}

// Constructor and query arguments take None, as they would in Python (nanobind refuses None unless told): a
// snapshot captured without a label must still be readable, and a None setting is left out of the query.
void init_commands(nb::module_ &m, ClientClass &client) {
    nb::class_<Command>(m, "Command", nb::dynamic_attr(),
                        "The engine's answer to a request, kept with the client that made it.\n\n"
                        "Attributes:\n"
                        "    api_client: the ApiClient that sent the request.\n"
                        "    response: the requests.Response; waits replace it with each answer they read.")
        .def("__init__", &command_init, "api_client"_a.none(), "response"_a.none(),
             "Wrap ``response``, the answer to a request ``api_client`` made.");

    nb::dict error_statuses;
    error_statuses["START_ERROR"] = m.attr("StartError");
    error_statuses["RUNNING_ERROR"] = m.attr("RunningError");
    error_statuses["RUN_ERROR"] = m.attr("RunError");
    error_statuses["CONNECT_ERROR"] = m.attr("ConnectError");

    nb::class_<PipelineCommand, Command>(
        m, "PipelineCommand", nb::dynamic_attr(),
        "A command whose response is a pipeline status record; it can wait for a status.")
        .def("__init__", &command_init, "api_client"_a.none(), "response"_a.none(),
             "Wrap ``response``, the answer to a request ``api_client`` made.")
        .def("wait_for_status", &wait_for_status, "status"_a.none(), "ignore_errors"_a = false,
             "timeout_sec"_a = 300,
             "Poll the pipeline's status once a second until it is ``status``.\n\n"
             "Args:\n"
             "    status: one status (\"FINISHED\") or a list of statuses, any of which ends the wait.\n"
             "    ignore_errors: keep polling past error statuses instead of raising.\n"
             "    timeout_sec: seconds to wait.\n\n"
             "Raises:\n"
             "    StartError, RunningError, RunError, ConnectError: the pipeline entered that error\n"
             "        status (unless ``ignore_errors``).\n"
             "    Exception: \"Timed out after ... seconds while waiting for status ...\".")
        .attr("ERROR_STATUSES") = error_statuses;

    nb::class_<StartPipelineCommand, PipelineCommand>(
        m, "StartPipelineCommand", nb::dynamic_attr(),
        "The answer to a pipeline start; waits for the run to finish or for its counters.")
        .def("__init__", &command_init, "api_client"_a.none(), "response"_a.none(),
             "Wrap ``response``, the answer to a request ``api_client`` made.")
        .def(
            "wait_for_finished",
            [](nb::handle self, nb::object timeout_sec) {
                self.attr("wait_for_status")("status"_a = "FINISHED", "timeout_sec"_a = timeout_sec);
            },
            "timeout_sec"_a = 300,
            "Wait until the pipeline's status is FINISHED; an error status raises its StatusError.")
        .def(
            "wait_for_pipeline_error_records_count",
            [](nb::handle self, nb::object count, nb::object timeout_sec) {
                wait_for_counter(self, "pipeline.batchErrorRecords.counter", count, timeout_sec);
            },
            "count"_a.none(), "timeout_sec"_a = 300,
            "Wait until the run has produced at least ``count`` error records.")
        .def(
            "wait_for_pipeline_output_records_count",
            [](nb::handle self, nb::object count, nb::object timeout_sec) {
                wait_for_counter(self, "pipeline.batchOutputRecords.counter", count, timeout_sec);
            },
            "count"_a.none(), "timeout_sec"_a = 300,
            "Wait until the run has written at least ``count`` output records.")
        .def(
            "wait_for_pipeline_batch_count",
            [](nb::handle self, nb::object count, nb::object timeout_sec) {
                wait_for_counter(self, "pipeline.batchCount.counter", count, timeout_sec);
            },
            "count"_a.none(), "timeout_sec"_a = 300,
            "Wait until the run has processed at least ``count`` batches.")
        .def("wait_for_counters_metric", &wait_for_counters_metric, "metric_name"_a.none(),
             "target_count"_a.none(), "timeout_sec"_a = 300,
             "Poll the pipeline's metrics once a second until counter ``metric_name`` reaches\n"
             "``target_count``.\n\n"
             "Raises:\n"
             "    StartError, RunningError, RunError, ConnectError: the pipeline entered an error status.\n"
             "    TimeoutError: \"Did not reached metric ... of value ...\" after ``timeout_sec``.");

    nb::class_<StopPipelineCommand, PipelineCommand>(
        m, "StopPipelineCommand", nb::dynamic_attr(),
        "The answer to a pipeline stop or forced stop; waits for the pipeline to stop.")
        .def("__init__", &command_init, "api_client"_a.none(), "response"_a.none(),
             "Wrap ``response``, the answer to a request ``api_client`` made.")
        .def(
            "wait_for_stopped",
            [](nb::handle self, nb::object timeout_sec) {
                self.attr("wait_for_status")("status"_a = "STOPPED", "timeout_sec"_a = timeout_sec);
            },
            "timeout_sec"_a = 300,
            "Wait until the pipeline's status is STOPPED; an error status raises its StatusError.");

    nb::class_<ValidateCommand, Command>(
        m, "ValidateCommand", nb::dynamic_attr(),
        "A running validation (``pipeline_id``, ``previewer_id``); waits for its outcome.")
        .def("__init__", &preview_command_init, "api_client"_a.none(), "response"_a.none(),
             "pipeline_id"_a.none(), "previewer_id"_a.none(), "Wrap the answer to a validation request.")
        .def(
            "wait_for_validate",
            [](nb::handle self, nb::object timeout_sec) {
                return preview_wait(self, timeout_sec, PreviewWait::validate);
            },
            "timeout_sec"_a = 60,
            "Poll the validation once a second until it is no longer VALIDATING; return the command.\n\n"
            "When it ended in anything but VALID, ``response`` then holds the preview data (with the\n"
            "issues found); otherwise it holds the last status.\n\n"
            "Raises:\n"
            "    Exception: \"Timed out after ... seconds while waiting for validation.\"");

    nb::class_<PreviewCommand, Command>(
        m, "PreviewCommand", nb::dynamic_attr(),
        "A preview run (``pipeline_id``, ``previewer_id``); waits for it and reads its records.")
        .def("__init__", &preview_command_init, "api_client"_a.none(), "response"_a.none(),
             "pipeline_id"_a.none(), "previewer_id"_a.none(), "Wrap the answer to a preview request.")
        .def(
            "wait_for_finished",
            [](nb::handle self, nb::object timeout_sec) {
                return preview_wait(self, timeout_sec, PreviewWait::preview);
            },
            "timeout_sec"_a = 30,
            "Poll the preview once a second until it is FINISHED; return the command.\n\n"
            "Raises:\n"
            "    Exception: \"Timed out after ... seconds while waiting for status FINISHED.\"")
        .def_prop_ro("preview", &preview_property,
                     "The preview's data as a new ``velm_models.Preview`` (one request on every read).");

    nb::class_<ConnectionValidateCommand, Command>(
        m, "ConnectionValidateCommand", nb::dynamic_attr(),
        "A dynamic preview that tests a connection; waits for it and fetches its outcome.")
        .def("__init__", &preview_command_init, "api_client"_a.none(), "response"_a.none(),
             "pipeline_id"_a.none(), "previewer_id"_a.none(),
             "Wrap the answer to a connection-validation request.")
        .def(
            "wait_for_validate",
            [](nb::handle self, nb::object timeout_sec) {
                return preview_wait(self, timeout_sec, PreviewWait::connection);
            },
            "timeout_sec"_a = 120,
            "Poll until the run has left CREATED, STARTING, RUNNING and VALIDATING, then fetch the\n"
            "preview data into ``response``; return the command.\n\n"
            "Raises:\n"
            "    Exception: \"Timed out after ... seconds while waiting for validation.\"");

    nb::class_<SnapshotCommand, Command>(
        m, "SnapshotCommand", nb::dynamic_attr(),
        "A snapshot capture (``pipeline_id``, ``snapshot_name``, ``snapshot_label``); waits for it\n"
        "and reads the snapshot.")
        .def("__init__", &snapshot_command_init, "api_client"_a.none(), "response"_a.none(),
             "pipeline_id"_a.none(), "snapshot_name"_a.none(), "snapshot_label"_a.none(),
             "Wrap the answer to a snapshot request.")
        .def("wait_for_finished", &snapshot_wait_for_finished, "timeout_sec"_a = 30,
             "Poll the capture once a second until it is no longer in progress; return the command.\n\n"
             "Raises:\n"
             "    TimeoutError: \"Timed out after ... seconds while waiting for status FINISHED.\"")
        .def_prop_ro("snapshot", &snapshot_property,
                     "The snapshot's status joined with its data, as a new ``velm_models.Snapshot``\n"
                     "(two requests on every read).");

    client
        .def("get_pipeline_status", &get_pipeline_status, "pipeline_id"_a.none(), "rev"_a.none() = 0,
             "only_if_exists"_a = nb::none(),
             "Read a pipeline's status (GET /pipeline/{pipeline_id}/status).\n\n"
             "Returns:\n"
             "    PipelineCommand whose response is the status record; ``wait_for_status`` waits on it.")
        .def("get_preview_status", &get_preview_status, "pipeline_id"_a.none(), "previewer_id"_a.none(),
             "Read the state of a preview or validation run.\n\n"
             "Returns:\n"
             "    Command whose response holds the run's status record.")
        .def("get_preview_data", &get_preview_data, "pipeline_id"_a.none(), "previewer_id"_a.none(),
             "Read the output of a preview or validation run.\n\n"
             "Returns:\n"
             "    PreviewCommand for the two ids, whose response holds the preview data.")
        .def("get_snapshot_status", &get_snapshot_status, "pipeline_id"_a.none(), "snapshot_name"_a.none(),
             "rev"_a.none() = 0,
             "Read the status of a snapshot.\n\n"
             "Returns:\n"
             "    Command whose response holds the status record (with ``inProgress``).")
        .def("get_snapshot_data", &get_snapshot_data, "pipeline_id"_a.none(), "snapshot_name"_a.none(),
             "snapshot_label"_a.none(), "rev"_a.none() = 0,
             "Read the records of a snapshot.\n\n"
             "Returns:\n"
             "    SnapshotCommand for the snapshot, whose response holds its data.");
}

}  // namespace velm
