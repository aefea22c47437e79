// Command and its subclasses. Their waits (wait_for_status and the waits built on it, the counter waits, and
// the waits of validation, preview and snapshot runs) are presets of the one wait loop (wait.hpp): each says
// how it reads a status, what ends it, and what it logs and raises.
#include "commands.hpp"

#include <string>

#include "wait.hpp"

namespace velm {

nb::object error_class_for(nb::handle status) {
    nb::object table = global("PipelineCommand").attr("ERROR_STATUSES");
    if (!contains(table, status)) return nb::object();
    return table[status];
}

nb::object run_status(nb::handle command, const char *operation, const char *run_key) {
    return command.attr("api_client")
        .attr(operation)("pipeline_id"_a = command.attr("pipeline_id"),
                         nb::arg(run_key) = command.attr(run_key))
        .attr("response");
}

namespace {

bool at_least(nb::handle value, nb::handle target) {
    int result = PyObject_RichCompareBool(value.ptr(), target.ptr(), Py_GE);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool in(nb::handle value, std::initializer_list<const char *> states) {
    for (const char *state : states)
        if (value.equal(nb::str(state))) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------------------
// The presets. A pipeline command reads the status record it holds, pauses a second, then asks for the next
// one; a failed request ends the wait with its error.

// wait_for_status: until the status is `status` (or, for a list, any of it); an error status raises its
// StatusError subclass unless ignored.
class StatusWait : public Wait {
public:
    StatusWait(nb::handle self, nb::object status, nb::handle ignore_errors, nb::object timeout_sec)
        : Wait(self, std::move(timeout_sec)), status_(std::move(status)) {
        refresh = true;
        log("info", "Waiting for status %s ...", status_);
        several_ = PyList_Check(status_.ptr());  // only a list is searched; a tuple is one value
        raise_errors_ = !truthy(ignore_errors);
    }

private:
    nb::object poll() override {
        return command.attr("api_client").attr("get_pipeline_status")(pipeline_id_).attr("response");
    }
    bool reached(nb::handle record, double elapsed) override {
        pipeline_id_ = pipeline_id_of(record);
        nb::object current = record["status"];
        last_status = current;
        log("debug", "Status of pipeline %s is %s ...", pipeline_id_, current);
        if (several_ ? contains(status_, current) : current.equal(status_)) {
            log("info", "Pipeline %s reached status %s (took %.2f s).", pipeline_id_, current, elapsed);
            return true;
        }
        nb::object error = raise_errors_ ? error_class_for(current) : nb::object();
        if (error.is_valid()) raise(error(record));
        return false;
    }
    nb::object timed_out() override {
        return percent("Timed out after %s seconds while waiting for status %s.", timeout_sec, status_);
    }

    nb::object status_;
    nb::object pipeline_id_;
    bool several_ = false;
    bool raise_errors_ = true;
};

// wait_for_counters_metric: until the run's counter `metric_name` is at least `target`. Error statuses
// always raise.
class CounterWait : public Wait {
public:
    CounterWait(nb::handle self, nb::object metric_name, nb::object target, nb::object timeout_sec)
        : Wait(self, std::move(timeout_sec)),
          metric_name_(std::move(metric_name)),
          target_(std::move(target)) {
        refresh = true;
        pipeline_id_ = pipeline_id_of(command.attr("response").attr("json")());
        // A target no count compares with ("5", None) is refused before the first request, not after it.
        at_least(nb::int_(-1), target_);
        log("info", "Waiting for counters metric %s to reach at least %s...", metric_name_, target_);
    }

private:
    nb::object poll() override {
        return command.attr("api_client")
            .attr("get_pipeline_status")("pipeline_id"_a = pipeline_id_)
            .attr("response");
    }
    bool reached(nb::handle record, double elapsed) override {
        nb::object current = record["status"];
        last_status = current;
        nb::object error = error_class_for(current);
        if (error.is_valid()) raise(error(record));

        nb::object metrics = command.attr("api_client")
                                 .attr("get_pipeline_metrics")("pipeline_id"_a = pipeline_id_)
                                 .attr("response")
                                 .attr("json")();
        nb::dict missing;
        missing["count"] = -1;
        nb::object count =
            metrics.attr("get")("counters", nb::dict()).attr("get")(metric_name_, missing)["count"];
        // The count just compared, not a second look-up: a missing counter (-1) meets a negative target, and
        // looking it up again would fail with KeyError instead of returning.
        if (!at_least(count, target_)) return false;
        log("info", "Pipeline %s reached counters metric %s of value %s (took %.2f s).", pipeline_id_,
            metric_name_, count, elapsed);
        return true;
    }
    nb::object timed_out() override {
        return format("Did not reached metric {} of value {}", metric_name_, target_);
    }

    nb::object metric_name_;
    nb::object target_;
    nb::object pipeline_id_;
};

// The waits of validation, preview and snapshot runs: each poll asks for the run's status, logs the body, and
// asks again at once while the engine answers with an empty body (it is setting the run up).
enum class Run { validate, preview, connection, snapshot };

class RunWait : public Wait {
public:
    RunWait(nb::handle self, Run kind, nb::object timeout_sec)
        : Wait(self, std::move(timeout_sec)), kind_(kind) {
        empty_again = true;
        log_bodies = true;
        log("info", kind == Run::snapshot  ? "Waiting for snapshot to be captured..."
                    : kind == Run::preview ? "Waiting for preview to be finished..."
                                           : "Waiting for validate to be finished ...");
    }

private:
    nb::object poll() override {
        if (kind_ == Run::snapshot) return run_status(command, "get_snapshot_status", "snapshot_name");
        return run_status(command, "get_preview_status", "previewer_id");
    }
    bool reached(nb::handle record, double elapsed) override {
        nb::object pipeline_id = command.attr("pipeline_id");
        if (kind_ == Run::snapshot) {
            // This wait reads no status: inProgress is all it sees, and only the JSON false means complete
            // (null is "not known yet").
            nb::object in_progress = record["inProgress"];
            nb::object name = command.attr("snapshot_name");
            log("debug", "Pipeline (%s) snapshot (%s) in progress: %s", pipeline_id, name, in_progress);
            if (!in_progress.is(nb::handle(Py_False))) return false;
            log("info", "Pipeline (%s) snapshot (%s) complete (took %.2f s).", pipeline_id, name, elapsed);
            return true;
        }
        nb::object current = record["status"];
        last_status = current;
        bool ended = kind_ == Run::preview ? in(current, {"FINISHED"})
                     : kind_ == Run::validate
                         ? !in(current, {"VALIDATING"})
                         : !in(current, {"CREATED", "STARTING", "RUNNING", "VALIDATING"});
        if (!ended) return false;
        // A validation that found issues, and any ended connection validation, leave the preview data (with
        // the issues) in `response`.
        if (kind_ == Run::connection || (kind_ == Run::validate && !in(current, {"VALID"})))
            command.attr("response") =
                command.attr("api_client")
                    .attr("get_preview_data")("pipeline_id"_a = pipeline_id,
                                              "previewer_id"_a = command.attr("previewer_id"))
                    .attr("response");
        log("debug", "Pipeline (%s) preview (%s) reached state : %s", pipeline_id,
            command.attr("previewer_id"), current);
        return true;
    }
    nb::object timed_out() override {
        switch (kind_) {
            case Run::validate:
                return percent("Timed out after %s seconds while waiting for validation.", timeout_sec);
            case Run::connection:
                return format("Timed out after {} seconds while waiting for validation.", timeout_sec);
            case Run::preview:
                return percent("Timed out after %s seconds while waiting for status FINISHED.", timeout_sec);
            case Run::snapshot: break;
        }
        return format("Timed out after {} seconds while waiting for status FINISHED.", timeout_sec);
    }

    Run kind_;
};

// ---------------------------------------------------------------------------------------------------------
// The classes

void command_init(nb::handle self, nb::object api_client, nb::object response) {
    self.attr("api_client") = api_client;
    self.attr("response") = response;
}

// Through Command.__init__ by keyword, so a replaced constructor of the base is honoured; then the run's ids.
void run_command_init(nb::handle self, nb::object api_client, nb::object response,
                      std::initializer_list<Argument> ids) {
    global("Command").attr("__init__")(self, "api_client"_a = api_client, "response"_a = response);
    for (const Argument &id : ids) self.attr(id.first) = id.second;
}

void preview_command_init(nb::handle self, nb::object api_client, nb::object response, nb::object pipeline_id,
                          nb::object previewer_id) {
    run_command_init(self, api_client, response,
                     {{"pipeline_id", pipeline_id}, {"previewer_id", previewer_id}});
}

void snapshot_command_init(nb::handle self, nb::object api_client, nb::object response,
                           nb::object pipeline_id, nb::object snapshot_name, nb::object snapshot_label) {
    run_command_init(
        self, api_client, response,
        {{"pipeline_id", pipeline_id}, {"snapshot_name", snapshot_name}, {"snapshot_label", snapshot_label}});
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

// A run command's wait of the given kind, returning the command (its class names the return type in the
// signature).
void def_run_wait(nb::handle cls, const char *name, Run kind, int timeout_sec, const char *doc) {
    const std::string sig = std::string("def ") + name +
                            "(self, timeout_sec: float = " + std::to_string(timeout_sec) + ") -> " +
                            nb::str(cls.attr("__name__")).c_str();
    nb::setattr(cls, name,
                nb::cpp_function(
                    [kind](nb::handle self, nb::object timeout) {
                        RunWait(self, kind, std::move(timeout)).run();
                        return nb::borrow(self);
                    },
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

nb::object snapshot_property(nb::handle self) {
    nb::object api_client = self.attr("api_client");
    nb::object record = run_status(self, "get_snapshot_status", "snapshot_name").attr("json")();
    nb::object data = api_client
                          .attr("get_snapshot_data")("pipeline_id"_a = self.attr("pipeline_id"),
                                                     "snapshot_name"_a = self.attr("snapshot_name"),
                                                     "snapshot_label"_a = self.attr("snapshot_label"))
                          .attr("response")
                          .attr("json")();
    record.attr("update")(data);
    return global("velm_models").attr("Snapshot")("api_client"_a = api_client, "snapshot"_a = record);
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

void init_wait_classes(nb::module_ &m) {
    nb::object package = nb::str(m.attr("__name__")).attr("rpartition")(".")[0];
    nb::object classes = nb::module_::import_("importlib").attr("import_module")(".waits", package);
    for (nb::handle name : classes.attr("__all__")) nb::setattr(m, name, classes.attr(name));
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
        .def(
            "wait_for_status",
            [](nb::handle self, nb::object status, nb::object ignore_errors, nb::object timeout_sec) {
                StatusWait(self, std::move(status), ignore_errors, std::move(timeout_sec)).run();
            },
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
        "wait_for_counters_metric",
        [](nb::handle self, nb::object metric_name, nb::object target_count, nb::object timeout_sec) {
            CounterWait(self, std::move(metric_name), std::move(target_count), std::move(timeout_sec)).run();
        },
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
    def_run_wait(validate_command, "wait_for_validate", Run::validate, 60,
                 "Poll the validation once a second until it is no longer VALIDATING; return the command.\n\n"
                 "When it ended in anything but VALID, ``response`` then holds the preview data (with the\n"
                 "issues found); otherwise it holds the last status.\n\n"
                 "Raises:\n"
                 "    WaitTimeoutError: \"Timed out after ... seconds while waiting for validation.\"");

    auto preview_command = command_class<PreviewCommand, Command>(
        m, "PreviewCommand",
        "A preview run (``pipeline_id``, ``previewer_id``); waits for it and reads its records.");
    def_preview_command_init(preview_command, "preview");
    def_run_wait(preview_command, "wait_for_finished", Run::preview, 30,
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
    def_run_wait(connection_command, "wait_for_validate", Run::connection, 120,
                 "Poll until the run has left CREATED, STARTING, RUNNING and VALIDATING, then fetch the\n"
                 "preview data into ``response``; return the command.\n\n"
                 "Raises:\n"
                 "    WaitTimeoutError: \"Timed out after ... seconds while waiting for validation.\"");

    auto snapshot_command = command_class<SnapshotCommand, Command>(
        m, "SnapshotCommand",
        "A snapshot capture (``pipeline_id``, ``snapshot_name``, ``snapshot_label``); waits for it\n"
        "and reads the snapshot.");
    snapshot_command.def(
        "__init__", &snapshot_command_init,
        nb::sig("def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, "
                "snapshot_name: str, snapshot_label: str | None) -> None"),
        "api_client"_a.none(), "response"_a.none(), "pipeline_id"_a.none(), "snapshot_name"_a.none(),
        "snapshot_label"_a.none(), "Wrap the answer to a snapshot request.");
    def_run_wait(snapshot_command, "wait_for_finished", Run::snapshot, 30,
                 "Poll the capture once a second until it is no longer in progress; return the command.\n\n"
                 "Raises:\n"
                 "    WaitTimeoutError: \"Timed out after ... seconds while waiting for status FINISHED.\"");
    snapshot_command.def_prop_ro(
        "snapshot", &snapshot_property, nb::sig("def snapshot(self) -> quenlo.sdk.velm_models.Snapshot"),
        "The snapshot's status joined with its data, as a new ``velm_models.Snapshot``\n"
        "(two requests on every read).");
}

}  // namespace velm
