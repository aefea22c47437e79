#include "commands.hpp"

#include <string>

#include "wait.hpp"

namespace velm {

nb::object error_class_for(nb::handle status) {
    nb::object table = global("PipelineCommand").attr("ERROR_STATUSES");
    if (!contains(table, status)) return nb::object();
    return table[status];
}

namespace {

// ---------------------------------------------------------------------------------------------------------
// Shared pieces of the waits

// The deadline of a wait, read from the module's `time` so that patched clocks are honoured. It is tested
// only before a poll cycle: a cycle that has begun always completes.
class Deadline {
public:
    explicit Deadline(nb::handle timeout_sec) : start_(now()), stop_(start_ + to_double(timeout_sec)) {}
    bool open() const { return now() < stop_; }
    nb::object elapsed() const { return nb::float_(now() - start_); }

private:
    double start_;
    double stop_;
};

nb::object decoded(nb::handle command) {
    return command.attr("response").attr("json")();
}

bool at_least(nb::handle value, nb::handle target) {
    int result = PyObject_RichCompareBool(value.ptr(), target.ptr(), Py_GE);
    if (result < 0) throw nb::python_error();
    return result == 1;
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
    const bool several = PyList_Check(status.ptr());  // only a list is searched; a tuple is one value
    const bool raise_errors = !truthy(ignore_errors);
    nb::object last_status = nb::none();
    while (deadline.open()) {
        nb::object pipeline_id = pipeline_id_of(decoded(self));
        nb::object current = decoded(self)["status"];
        last_status = current;
        log("debug", "Status of pipeline %s is %s ...", pipeline_id, current);
        if (several ? contains(status, current) : current.equal(status)) {
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
    raise_wait_timeout(
        self, percent("Timed out after %s seconds while waiting for status %s.", timeout_sec, status),
        timeout_sec, deadline.elapsed(), last_status);
}

// ---------------------------------------------------------------------------------------------------------
// StartPipelineCommand and StopPipelineCommand

void wait_for_counters_metric(nb::handle self, nb::object metric_name, nb::object target_count,
                              nb::object timeout_sec) {
    nb::object pipeline_id = pipeline_id_of(decoded(self));
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
        nb::object metric = counters.attr("get")(metric_name, mapping({{"count", nb::int_(-1)}}));
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
    raise_wait_timeout(self, format("Did not reached metric {} of value {}", metric_name, target_count),
                       timeout_sec, deadline.elapsed(), last_status);
}

// ---------------------------------------------------------------------------------------------------------
// Validate and preview commands: one loop, three end tests

// One poll of a preview run's or a snapshot's status, through the client's status operation called by
// keyword (`run_key` names the run's own id): the command keeps the answer, which is logged.
nb::object poll_run_status(nb::handle self, nb::handle api_client, const char *operation,
                           nb::handle pipeline_id, const char *run_key, nb::handle run_id) {
    nb::object response =
        api_client.attr(operation)("pipeline_id"_a = pipeline_id, nb::arg(run_key) = run_id).attr("response");
    self.attr("response") = response;
    log("debug", "response.content: %s", response.attr("content"));
    return response;
}

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
        nb::object response = poll_run_status(self, api_client, "get_preview_status", pipeline_id,
                                              "previewer_id", previewer_id);
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
    nb::str message =
        kind == PreviewWait::validate
            ? percent("Timed out after %s seconds while waiting for validation.", timeout_sec)
        : kind == PreviewWait::preview
            ? percent("Timed out after %s seconds while waiting for status FINISHED.", timeout_sec)
            : format("Timed out after {} seconds while waiting for validation.", timeout_sec);
    raise_wait_timeout(self, message, timeout_sec, deadline.elapsed(), last_status);
}

// Through Command.__init__ by keyword, so a replaced constructor of the base is honoured.
void preview_command_init(nb::handle self, nb::object api_client, nb::object response, nb::object pipeline_id,
                          nb::object previewer_id) {
    global("Command").attr("__init__")(self, "api_client"_a = api_client, "response"_a = response);
    self.attr("pipeline_id") = pipeline_id;
    self.attr("previewer_id") = previewer_id;
}

// The constructor the validation, preview and connection-validation commands share; `what` names the request
// in its docstring.
void def_preview_command_init(nb::handle cls, const char *what) {
    const std::string doc = std::string("Wrap the answer to a ") + what + " request.";
    nb::setattr(
        cls, "__init__",
        nb::cpp_function(&preview_command_init, nb::is_method(), nb::scope(cls), nb::name("__init__"),
                         nb::sig("def __init__(self, api_client: ApiClient, response: requests.Response, "
                                 "pipeline_id: str, previewer_id: str) -> None"),
                         "api_client"_a.none(), "response"_a.none(), "pipeline_id"_a.none(),
                         "previewer_id"_a.none(), doc.c_str()));
}

// A validation, preview or connection-validation command's wait of the given kind, returning the command
// (its class names the return type in the signature).
void def_preview_wait(nb::handle cls, const char *name, PreviewWait kind, int timeout_sec, const char *doc) {
    const std::string sig = std::string("def ") + name +
                            "(self, timeout_sec: float = " + std::to_string(timeout_sec) + ") -> " +
                            nb::str(cls.attr("__name__")).c_str();
    nb::setattr(cls, name,
                nb::cpp_function(
                    [kind](nb::handle self, nb::object timeout) { return preview_wait(self, timeout, kind); },
                    nb::is_method(), nb::scope(cls), nb::name(name), nb::sig(sig.c_str()),
                    "timeout_sec"_a.none() = timeout_sec, doc));
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
    global("Command").attr("__init__")(self, "api_client"_a = api_client, "response"_a = response);
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
        nb::object response = poll_run_status(self, api_client, "get_snapshot_status", pipeline_id,
                                              "snapshot_name", snapshot_name);
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
    raise_wait_timeout(self,
                       format("Timed out after {} seconds while waiting for status FINISHED.", timeout_sec),
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

// ---------------------------------------------------------------------------------------------------------
// StatusError family

void status_error_init(nb::handle self, nb::object response) {
    self.attr("response") = response;
    // A record without "message" still reports the pipeline's failure, with no message.
    nb::object message = nb::none();
    try {
        message = response["message"];
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyError)) throw;
    }
    self.attr("message") = message;
    nb::handle(PyExc_Exception).attr("__init__")(self, message);
}

// The default reduction would rebuild the error from its message; rebuild it from the record instead so
// the errors cross process boundaries (multiprocessing pools) intact.
nb::object status_error_reduce(nb::handle self) {
    return nb::make_tuple(self.type(), nb::make_tuple(self.attr("response")));
}

// A pipeline command's wait for one status. It goes through the method, so that a replaced wait_for_status
// is honoured.
void def_status_wait(nb::handle cls, const char *name, const char *status, const char *doc) {
    const std::string sig = std::string("def ") + name + "(self, timeout_sec: float = 300) -> None";
    nb::setattr(cls, name,
                nb::cpp_function(
                    [status](nb::handle self, nb::object timeout_sec) {
                        self.attr("wait_for_status")("status"_a = status, "timeout_sec"_a = timeout_sec);
                    },
                    nb::is_method(), nb::scope(cls), nb::name(name), nb::sig(sig.c_str()),
                    "timeout_sec"_a.none() = 300, doc));
}

// A start command's wait on one named counter. It goes through the method, so that a replaced
// wait_for_counters_metric is honoured.
void def_counter_wait(nb::handle cls, const char *name, const char *metric_name, const char *doc) {
    const std::string sig =
        std::string("def ") + name + "(self, count: int, timeout_sec: float = 300) -> None";
    nb::setattr(cls, name,
                nb::cpp_function(
                    [metric_name](nb::handle self, nb::object count, nb::object timeout_sec) {
                        self.attr("wait_for_counters_metric")(metric_name, count, timeout_sec);
                    },
                    nb::is_method(), nb::scope(cls), nb::name(name), nb::sig(sig.c_str()), "count"_a.none(),
                    "timeout_sec"_a.none() = 300, doc));
}

// Classes are called as Python classes are: the interpreter runs type(self).__init__, found along the MRO, so
// a subclass without a constructor of its own uses its base's and a replaced __init__ is honoured. (Without a
// tp_init of their own, nanobind leaves the call to the interpreter instead of calling the __init__ it
// bound.)
PyType_Slot python_construction[] = {{Py_tp_init, nullptr}, {0, nullptr}};

nb::object instance_state(nb::handle self) {
    return self.attr("__dict__");
}

}  // namespace

nb::type_slots construct_as_python() {
    return nb::type_slots(python_construction);
}

// Every command class keeps its state in the instance __dict__, can be weakly referenced and is constructed
// as a Python class is.
template <typename T, typename... Base>
nb::class_<T, Base...> command_class(nb::module_ &m, const char *name, const char *doc) {
    return nb::class_<T, Base...>(m, name, nb::dynamic_attr(), nb::is_weak_referenceable(),
                                  construct_as_python(), doc);
}

// copy and pickle refuse an extension type's instance unless it names its state; ours is all in __dict__,
// so an instance is copied and pickled as a plain Python object would be.
void copy_as_python(nb::handle cls) {
    nb::setattr(cls, "__getstate__",
                nb::cpp_function(&instance_state, nb::is_method(), nb::name("__getstate__"), nb::scope(cls),
                                 nb::sig("def __getstate__(self) -> dict[str, typing.Any]"),
                                 "The instance's attributes, which copy and pickle save and restore."));
}

void init_status_errors(nb::module_ &m) {
    nb::dict body;
    const char *doc =
        "Parent class for pipeline status errors.\n\n"
        "Attributes:\n"
        "    response: the decoded status record (a dict) that showed the error status.\n"
        "    message: the record's ``message`` (None when the engine sent none).";
    body["__init__"] =
        nb::cpp_function(&status_error_init, nb::is_method(), nb::name("__init__"),
                         nb::sig("def __init__(self, response: dict[str, typing.Any]) -> None"), "response"_a,
                         "Keep the status record and its message.");
    body["__reduce__"] =
        nb::cpp_function(&status_error_reduce, nb::is_method(), nb::name("__reduce__"),
                         nb::sig("def __reduce__(self) -> tuple[type, tuple[dict[str, typing.Any]]]"),
                         "Rebuild the error from its status record when unpickled.");
    nb::object status_error = python_class(m, "StatusError", PyExc_Exception, doc, body);

    const char *subclasses[][2] = {{"StartError", "Pipeline start error."},
                                   {"RunningError", "Pipeline running error."},
                                   {"RunError", "Pipeline run error."},
                                   {"ConnectError", "Pipeline connect error."}};
    for (auto &entry : subclasses) python_class(m, entry[0], status_error, entry[1]);
}

// Every argument takes None, as it would in Python (nanobind refuses None unless told): a snapshot captured
// without a label must still be readable, and None as a flag is false. The subclasses of Command have no
// constructor of their own: PipelineCommand and its kinds inherit Command's, and the others call it.
void init_commands(nb::module_ &m) {
    command_class<Command>(
        m, "Command",
        "The engine's answer to a request, kept with the client that made it.\n\n"
        "Attributes:\n"
        "    api_client: the ApiClient that sent the request.\n"
        "    response: the requests.Response; waits replace it with each answer they read.")
        .def("__init__", &command_init,
             nb::sig("def __init__(self, api_client: ApiClient, response: requests.Response) -> None"),
             "api_client"_a.none(), "response"_a.none(),
             "Wrap ``response``, the answer to a request ``api_client`` made.");

    copy_as_python(m.attr("Command"));

    nb::dict error_statuses;
    error_statuses["START_ERROR"] = m.attr("StartError");
    error_statuses["RUNNING_ERROR"] = m.attr("RunningError");
    error_statuses["RUN_ERROR"] = m.attr("RunError");
    error_statuses["CONNECT_ERROR"] = m.attr("ConnectError");

    command_class<PipelineCommand, Command>(
        m, "PipelineCommand",
        "A command whose response is a pipeline status record; it can wait for a status.")
        .def("wait_for_status", &wait_for_status,
             nb::sig("def wait_for_status(self, status: str | list[str] | tuple[str, ...], "
                     "ignore_errors: bool | None = False, timeout_sec: float = 300) -> None"),
             "status"_a.none(), "ignore_errors"_a.none() = false, "timeout_sec"_a.none() = 300,
             "Poll the pipeline's status once a second until it is ``status``.\n\n"
             "Args:\n"
             "    status: one status (\"FINISHED\"), or a list of statuses any of which ends the wait (any\n"
             "        other value, a tuple included, is compared as a whole).\n"
             "    ignore_errors: keep polling past error statuses instead of raising.\n"
             "    timeout_sec: seconds to wait.\n\n"
             "Raises:\n"
             "    StartError, RunningError, RunError, ConnectError: the pipeline entered that error\n"
             "        status (unless ``ignore_errors``).\n"
             "    WaitTimeoutError: \"Timed out after ... seconds while waiting for status ...\".")
        .attr("ERROR_STATUSES") = error_statuses;

    auto start_command = command_class<StartPipelineCommand, PipelineCommand>(
        m, "StartPipelineCommand",
        "The answer to a pipeline start; waits for the run to finish or for its counters.");
    def_status_wait(start_command, "wait_for_finished", "FINISHED",
                    "Wait until the pipeline's status is FINISHED; an error status raises its StatusError.");
    def_counter_wait(start_command, "wait_for_pipeline_error_records_count",
                     "pipeline.batchErrorRecords.counter",
                     "Wait until the run has produced at least ``count`` error records.");
    def_counter_wait(start_command, "wait_for_pipeline_output_records_count",
                     "pipeline.batchOutputRecords.counter",
                     "Wait until the run has written at least ``count`` output records.");
    def_counter_wait(start_command, "wait_for_pipeline_batch_count", "pipeline.batchCount.counter",
                     "Wait until the run has processed at least ``count`` batches.");
    start_command.def(
        "wait_for_counters_metric", &wait_for_counters_metric,
        nb::sig("def wait_for_counters_metric(self, metric_name: str, target_count: int, "
                "timeout_sec: float = 300) -> None"),
        "metric_name"_a.none(), "target_count"_a.none(), "timeout_sec"_a.none() = 300,
        "Poll the pipeline's metrics once a second until counter ``metric_name`` reaches\n"
        "``target_count``.\n\n"
        "Raises:\n"
        "    StartError, RunningError, RunError, ConnectError: the pipeline entered an error status.\n"
        "    WaitTimeoutError: \"Did not reached metric ... of value ...\" after ``timeout_sec``.");

    auto stop_command = command_class<StopPipelineCommand, PipelineCommand>(
        m, "StopPipelineCommand",
        "The answer to a pipeline stop or forced stop; waits for the pipeline to stop.");
    def_status_wait(stop_command, "wait_for_stopped", "STOPPED",
                    "Wait until the pipeline's status is STOPPED; an error status raises its StatusError.");

    auto validate_command = command_class<ValidateCommand, Command>(
        m, "ValidateCommand",
        "A running validation (``pipeline_id``, ``previewer_id``); waits for its outcome.");
    def_preview_command_init(validate_command, "validation");
    def_preview_wait(
        validate_command, "wait_for_validate", PreviewWait::validate, 60,
        "Poll the validation once a second until it is no longer VALIDATING; return the command.\n\n"
        "When it ended in anything but VALID, ``response`` then holds the preview data (with the\n"
        "issues found); otherwise it holds the last status.\n\n"
        "Raises:\n"
        "    WaitTimeoutError: \"Timed out after ... seconds while waiting for validation.\"");

    auto preview_command = command_class<PreviewCommand, Command>(
        m, "PreviewCommand",
        "A preview run (``pipeline_id``, ``previewer_id``); waits for it and reads its records.");
    def_preview_command_init(preview_command, "preview");
    def_preview_wait(
        preview_command, "wait_for_finished", PreviewWait::preview, 30,
        "Poll the preview once a second until it is FINISHED; return the command.\n\n"
        "Raises:\n"
        "    WaitTimeoutError: \"Timed out after ... seconds while waiting for status FINISHED.\"");
    preview_command.def_prop_ro(
        "preview", &preview_property, nb::sig("def preview(self) -> quenlo.sdk.velm_models.Preview"),
        "The preview's data as a new ``velm_models.Preview`` (one request on every read).");

    auto connection_command = command_class<ConnectionValidateCommand, Command>(
        m, "ConnectionValidateCommand",
        "A dynamic preview that tests a connection; waits for it and fetches its outcome.");
    def_preview_command_init(connection_command, "connection-validation");
    def_preview_wait(connection_command, "wait_for_validate", PreviewWait::connection, 120,
                     "Poll until the run has left CREATED, STARTING, RUNNING and VALIDATING, then fetch the\n"
                     "preview data into ``response``; return the command.\n\n"
                     "Raises:\n"
                     "    WaitTimeoutError: \"Timed out after ... seconds while waiting for validation.\"");

    command_class<SnapshotCommand, Command>(
        m, "SnapshotCommand",
        "A snapshot capture (``pipeline_id``, ``snapshot_name``, ``snapshot_label``); waits for it\n"
        "and reads the snapshot.")
        .def("__init__", &snapshot_command_init,
             nb::sig(
                 "def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, "
                 "snapshot_name: str, snapshot_label: str | None) -> None"),
             "api_client"_a.none(), "response"_a.none(), "pipeline_id"_a.none(), "snapshot_name"_a.none(),
             "snapshot_label"_a.none(), "Wrap the answer to a snapshot request.")
        .def("wait_for_finished", &snapshot_wait_for_finished,
             nb::sig("def wait_for_finished(self, timeout_sec: float = 30) -> SnapshotCommand"),
             "timeout_sec"_a.none() = 30,
             "Poll the capture once a second until it is no longer in progress; return the command.\n\n"
             "Raises:\n"
             "    WaitTimeoutError: \"Timed out after ... seconds while waiting for status FINISHED.\"")
        .def_prop_ro("snapshot", &snapshot_property,
                     nb::sig("def snapshot(self) -> quenlo.sdk.velm_models.Snapshot"),
                     "The snapshot's status joined with its data, as a new ``velm_models.Snapshot``\n"
                     "(two requests on every read).");
}

}  // namespace velm
