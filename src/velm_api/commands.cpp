// Command and its subclasses. Their waits (wait_for_status and the waits built on it, the counter waits, and
// the waits of validation, preview and snapshot runs) are presets of the one wait loop (wait.hpp): each says
// how it reads a status, what ends it, and what it logs and raises.
#include "commands.hpp"

#include "wait.hpp"

namespace velm {
namespace {

nb::object get_pipeline_status(nb::handle command, nb::handle pipeline_id, bool by_keyword) {
    static const nb::handle name = intern("get_pipeline_status"), kw = keywords({"pipeline_id"});
    nb::object client = attr(command, "api_client");
    return attr(
        by_keyword ? call_method_kw(client, name, kw, pipeline_id) : call_method(client, name, pipeline_id),
        "response");
}

// The presets. A pipeline command reads the status record it holds, pauses a second, then asks for the next
// one; a failed request ends the wait with its error.

// wait_for_status: until the status is `status` (or, for a list, any of it); an error status raises its
// StatusError subclass unless ignored.
class StatusWait : public Wait {
public:
    StatusWait(nb::handle self, nb::handle status, nb::handle ignore_errors, nb::handle timeout_sec)
        : Wait(self, timeout_sec), status_(nb::borrow(status)) {
        refresh = true;
        log("info", "Waiting for status %s ...", status_);
        several_ = PyList_Check(status_.ptr());  // only a list is searched; a tuple is one value
        raise_errors_ = !truthy(ignore_errors);
    }

private:
    nb::object poll() override { return get_pipeline_status(command, pipeline_id_, false); }
    bool reached(nb::handle record, double elapsed) override {
        pipeline_id_ = pipeline_id_of(record);
        nb::object current = item(record, "status");
        last_status = current;
        log("debug", "Status of pipeline %s is %s ...", pipeline_id_, current);
        if (several_ ? contains(status_, current) : compare(current, status_, Py_EQ)) {
            log("info", "Pipeline %s reached status %s (took %.2f s).", pipeline_id_, current, elapsed);
            return true;
        }
        if (raise_errors_) raise_if_error(current, record);
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
    CounterWait(nb::handle self, nb::handle metric_name, nb::handle target, nb::handle timeout_sec)
        : Wait(self, timeout_sec), metric_name_(nb::borrow(metric_name)), target_(nb::borrow(target)) {
        static const nb::handle json = intern("json");
        refresh = true;
        pipeline_id_ = pipeline_id_of(call_method(attr(command, "response"), json));
        // A target no count compares with ("5", None) is refused before the first request, not after it.
        compare(nb::int_(-1), target_, Py_GE);
        log("info", "Waiting for counters metric %s to reach at least %s...", metric_name_, target_);
    }

private:
    nb::object poll() override { return get_pipeline_status(command, pipeline_id_, true); }
    bool reached(nb::handle record, double elapsed) override {
        static const nb::handle metrics = intern("get_pipeline_metrics"), kw = keywords({"pipeline_id"}),
                                json = intern("json"), get = intern("get");
        nb::object current = item(record, "status");
        last_status = current;
        raise_if_error(current, record);

        Owned answer =
            attr(call_method_kw(attr(command, "api_client"), metrics, kw, pipeline_id_), "response");
        nb::object counters = call_method(call_method(answer, json), get, nb::str("counters"), nb::dict());
        release(answer);  // the last reference to the response: its finalizer runs Python code
        nb::object count =
            item(call_method(counters, get, metric_name_, mapping({{"count", nb::int_(-1)}})), "count");
        // The count just compared, not a second look-up: a missing counter (-1) meets a negative target, and
        // looking it up again would fail with KeyError instead of returning.
        if (!compare(count, target_, Py_GE)) return false;
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
// asks again at once while the engine answers with an empty body (it is setting the run up). `kind` is the
// command class's: validation, preview, connection or snapshot.
class RunWait : public Wait {
public:
    RunWait(nb::handle self, const Kind &kind, nb::handle timeout_sec)
        : Wait(self, timeout_sec), kind_(kind) {
        empty_again = true;
        log_bodies = true;
        log("info", &kind == &snapshot  ? "Waiting for snapshot to be captured..."
                    : &kind == &preview ? "Waiting for preview to be finished..."
                                        : "Waiting for validate to be finished ...");
    }

private:
    nb::object poll() override { return run_status(command, &kind_ == &snapshot); }
    bool reached(nb::handle record, double elapsed) override {
        static const nb::handle data = intern("get_preview_data"),
                                kw = keywords({"pipeline_id", "previewer_id"});
        nb::object pipeline_id = attr(command, "pipeline_id");
        if (&kind_ == &snapshot) {
            // This wait reads no status: inProgress is all it sees, and only the JSON false means complete
            // (null is "not known yet").
            nb::object in_progress = item(record, "inProgress");
            nb::object name = attr(command, "snapshot_name");
            log("debug", "Pipeline (%s) snapshot (%s) in progress: %s", pipeline_id, name, in_progress);
            if (!in_progress.is(nb::handle(Py_False))) return false;
            log("info", "Pipeline (%s) snapshot (%s) complete (took %.2f s).", pipeline_id, name, elapsed);
            return true;
        }
        nb::object current = item(record, "status");
        last_status = current;
        bool ended = &kind_ == &preview ? compare(current, nb::str("FINISHED"), Py_EQ)
                     : &kind_ == &validation
                         ? !compare(current, nb::str("VALIDATING"), Py_EQ)
                         : !contains(nb::make_tuple("CREATED", "STARTING", "RUNNING", "VALIDATING"), current);
        if (!ended) return false;
        nb::object previewer_id = attr(command, "previewer_id");
        // A validation that found issues, and any ended connection validation, leave the preview data (with
        // the issues) in `response`.
        if (&kind_ == &connection || (&kind_ == &validation && !compare(current, nb::str("VALID"), Py_EQ)))
            set_attr(command, "response",
                     attr(call_method_kw(attr(command, "api_client"), data, kw, pipeline_id, previewer_id),
                          "response"));
        log("debug", "Pipeline (%s) preview (%s) reached state : %s", pipeline_id, previewer_id, current);
        return true;
    }
    nb::object timed_out() override {
        const bool validating = &kind_ == &validation || &kind_ == &connection;
        return percent("Timed out after %s seconds while waiting for %s.", timeout_sec,
                       validating ? "validation" : "status FINISHED");
    }

    const Kind &kind_;
};

// The classes. Their methods are Python functions compiled from their signatures (def_method), whose
// arguments reach the C++ functions below by position. Every argument takes None, as it would in Python: a
// snapshot captured without a label must still be readable, and None as a flag is false.

void command_init(nb::handle self, nb::handle api_client, nb::handle response) {
    // Every operation builds a command: its attribute names are made once.
    static const nb::handle api_client_name = intern("api_client"), response_name = intern("response");
    set_attr(self, api_client_name, api_client);
    set_attr(self, response_name, response);
}

// Through Command.__init__ by keyword, so a replaced constructor of the base is honoured.
void base_init(nb::handle self, nb::handle api_client, nb::handle response) {
    static const nb::handle init = intern("__init__"), kw = keywords({"api_client", "response"});
    call_kw(attr(global("Command"), init), kw, self, api_client, response);
}

void preview_command_init(nb::handle self, nb::handle api_client, nb::handle response, nb::handle pipeline_id,
                          nb::handle previewer_id) {
    base_init(self, api_client, response);
    set_attr(self, "pipeline_id", pipeline_id);
    set_attr(self, "previewer_id", previewer_id);
}

void snapshot_command_init(nb::handle self, nb::handle api_client, nb::handle response,
                           nb::handle pipeline_id, nb::handle snapshot_name, nb::handle snapshot_label) {
    base_init(self, api_client, response);
    set_attr(self, "pipeline_id", pipeline_id);
    set_attr(self, "snapshot_name", snapshot_name);
    set_attr(self, "snapshot_label", snapshot_label);
}

void wait_for_status(nb::handle self, nb::handle status, nb::handle ignore_errors, nb::handle timeout_sec) {
    StatusWait(self, status, ignore_errors, timeout_sec).run();
}

void wait_for_counters_metric(nb::handle self, nb::handle metric, nb::handle target, nb::handle timeout_sec) {
    CounterWait(self, metric, target, timeout_sec).run();
}

// A pipeline command's wait for its class's status, through the method, so that a replaced wait_for_status is
// honoured.
template <const Kind &kind>
void status_wait(nb::handle self, nb::handle timeout_sec) {
    static const nb::handle name = intern("wait_for_status"), kw = keywords({"status", "timeout_sec"});
    call_method_kw(self, name, kw, nb::str(kind.until), timeout_sec);
}

nb::object preview_property(nb::handle self) {
    const NativeEntry entry;
    static const nb::handle data = intern("get_preview_data"), json = intern("json"),
                            kw = keywords({"pipeline_id", "previewer_id"}),
                            model_kw = keywords({"pipeline_id", "previewer_id", "preview"});
    nb::object pipeline_id = attr(self, "pipeline_id"), previewer_id = attr(self, "previewer_id");
    Owned answer =
        attr(call_method_kw(attr(self, "api_client"), data, kw, pipeline_id, previewer_id), "response");
    nb::object preview = call_method(answer, json);
    return call_kw(attr(global("velm_models"), "Preview"), model_kw, pipeline_id, previewer_id, preview);
}

nb::object snapshot_property(nb::handle self) {
    const NativeEntry entry;
    static const nb::handle data = intern("get_snapshot_data"), json = intern("json"),
                            update = intern("update"),
                            kw = keywords({"pipeline_id", "snapshot_name", "snapshot_label"}),
                            model_kw = keywords({"api_client", "snapshot"});
    nb::object client = attr(self, "api_client");
    // Each response is released as soon as it is read, or as an error unwinds: its finalizer runs Python
    // code.
    Owned status = run_status(self, true);
    nb::object record = call_method(status, json);
    release(status);
    Owned answer = attr(call_method_kw(client, data, kw, attr(self, "pipeline_id"),
                                       attr(self, "snapshot_name"), attr(self, "snapshot_label")),
                        "response");
    call_method(record, update, call_method(answer, json));
    return call_kw(attr(global("velm_models"), "Snapshot"), model_kw, client, record);
}

// Every command class keeps its state in the instance __dict__, can be weakly referenced and is constructed
// as a Python class is.
template <typename T, typename... Base>
nb::class_<T, Base...> command_class(nb::module_ &m, const char *name, const char *doc) {
    return nb::class_<T, Base...>(m, name, nb::dynamic_attr(), nb::is_weak_referenceable(),
                                  construct_as_python(), doc);
}

// The wait of a validation, preview or snapshot run, which returns the command.
template <const Kind &kind>
nb::object run_wait(nb::handle self, nb::handle timeout_sec) {
    RunWait(self, kind, timeout_sec).run();
    return nb::borrow(self);
}

// A start command's wait on one named counter, through the method, so that a replaced
// wait_for_counters_metric is honoured.
template <const char *metric_name>
void counter_wait(nb::handle self, nb::handle count, nb::handle timeout_sec) {
    static const nb::handle method = intern("wait_for_counters_metric");
    call_method(self, method, nb::str(metric_name), count, timeout_sec);
}

constexpr char error_records[] = "pipeline.batchErrorRecords.counter",
               output_records[] = "pipeline.batchOutputRecords.counter",
               batches[] = "pipeline.batchCount.counter";

// The constructor of the commands of validation and preview runs.
const char *const run_command_init = R"(
__init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str,
         previewer_id: str) -> None
Wrap the answer to a {noun} request.
)";

}  // namespace

void init_commands(nb::module_ &m) {
    auto command = command_class<Command>(
        m, "Command",
        "The engine's answer to a request, kept with the client that made it.\n\n"
        "Attributes:\n"
        "    api_client: the ApiClient that sent the request.\n"
        "    response: the requests.Response; waits replace it with each answer they read.");
    def_method(command, "commands.command_init", R"(
__init__(self, api_client: ApiClient, response: requests.Response) -> None
Wrap ``response``, the answer to a request ``api_client`` made.
)",
               &command_init);
    copy_as_python(command);

    auto pipeline_command = command_class<PipelineCommand, Command>(
        m, "PipelineCommand",
        "A command whose response is a pipeline status record; it can wait for a status.");
    pipeline_command.attr("ERROR_STATUSES") = attr(waits_module, "ERROR_STATUSES");
    def_wait(pipeline_command, pipeline, "commands.wait_for_status", R"(
wait_for_status(self, status: str | list[str] | tuple[str, ...], ignore_errors: bool | None = False,
                timeout_sec: float = {timeout_sec}) -> None
Poll the pipeline's status once a second until it is ``status``.

Args:
    status: one status ("FINISHED"), or a list of statuses any of which ends the wait (any
        other value, a tuple included, is compared as a whole).
    ignore_errors: keep polling past error statuses instead of raising.
    timeout_sec: seconds to wait.

Raises:
    StartError, RunningError, RunError, ConnectError: the pipeline entered that error
        status (unless ``ignore_errors``).
    WaitTimeoutError: "Timed out after ... seconds while waiting for status ...".
)",
             &wait_for_status);

    auto start_command = command_class<StartPipelineCommand, PipelineCommand>(
        m, "StartPipelineCommand",
        "The answer to a pipeline start; waits for the run to finish or for its counters.");
    def_wait(start_command, started, "commands.status_wait", R"(
wait_for_finished(self, timeout_sec: float = {timeout_sec}) -> None
Wait until the pipeline's status is FINISHED; an error status raises its StatusError.
)",
             &status_wait<started>);
    def_wait(start_command, started, "commands.counter_wait", R"(
wait_for_pipeline_error_records_count(self, count: int, timeout_sec: float = {timeout_sec}) -> None
Wait until the run has produced at least ``count`` error records.
)",
             &counter_wait<error_records>);
    def_wait(start_command, started, "commands.counter_wait", R"(
wait_for_pipeline_output_records_count(self, count: int, timeout_sec: float = {timeout_sec}) -> None
Wait until the run has written at least ``count`` output records.
)",
             &counter_wait<output_records>);
    def_wait(start_command, started, "commands.counter_wait", R"(
wait_for_pipeline_batch_count(self, count: int, timeout_sec: float = {timeout_sec}) -> None
Wait until the run has processed at least ``count`` batches.
)",
             &counter_wait<batches>);
    def_wait(start_command, started, "commands.wait_for_counters_metric", R"(
wait_for_counters_metric(self, metric_name: str, target_count: int, timeout_sec: float = {timeout_sec}) -> None
Poll the pipeline's metrics once a second until counter ``metric_name`` reaches
``target_count``.

Raises:
    StartError, RunningError, RunError, ConnectError: the pipeline entered an error status.
    WaitTimeoutError: "Did not reached metric ... of value ..." after ``timeout_sec``.
)",
             &wait_for_counters_metric);

    auto stop_command = command_class<StopPipelineCommand, PipelineCommand>(
        m, "StopPipelineCommand",
        "The answer to a pipeline stop or forced stop; waits for the pipeline to stop.");
    def_wait(stop_command, stopped, "commands.status_wait", R"(
wait_for_stopped(self, timeout_sec: float = {timeout_sec}) -> None
Wait until the pipeline's status is STOPPED; an error status raises its StatusError.
)",
             &status_wait<stopped>);

    auto validate_command = command_class<ValidateCommand, Command>(
        m, "ValidateCommand",
        "A running validation (``pipeline_id``, ``previewer_id``); waits for its outcome.");
    def_method(validate_command, "commands.preview_command_init",
               with_defaults(run_command_init, validation).c_str(), &preview_command_init);
    def_wait(validate_command, validation, "commands.run_wait", R"(
wait_for_validate(self, timeout_sec: float = {timeout_sec}) -> ValidateCommand
Poll the validation once a second until it is no longer VALIDATING; return the command.

When it ended in anything but VALID, ``response`` then holds the preview data (with the
issues found); otherwise it holds the last status.

Raises:
    WaitTimeoutError: "Timed out after ... seconds while waiting for validation."
)",
             &run_wait<validation>);

    auto preview_command = command_class<PreviewCommand, Command>(
        m, "PreviewCommand",
        "A preview run (``pipeline_id``, ``previewer_id``); waits for it and reads its records.");
    def_method(preview_command, "commands.preview_command_init",
               with_defaults(run_command_init, preview).c_str(), &preview_command_init);
    def_wait(preview_command, preview, "commands.run_wait", R"(
wait_for_finished(self, timeout_sec: float = {timeout_sec}) -> PreviewCommand
Poll the preview once a second until it is FINISHED; return the command.

Raises:
    WaitTimeoutError: "Timed out after ... seconds while waiting for status FINISHED."
)",
             &run_wait<preview>);
    preview_command.def_prop_ro(
        "preview", &preview_property, nb::sig("def preview(self) -> quenlo.sdk.velm_models.Preview"),
        "The preview's data as a new ``velm_models.Preview`` (one request on every read).");

    auto connection_command = command_class<ConnectionValidateCommand, Command>(
        m, "ConnectionValidateCommand",
        "A dynamic preview that tests a connection; waits for it and fetches its outcome.");
    def_method(connection_command, "commands.preview_command_init",
               with_defaults(run_command_init, connection).c_str(), &preview_command_init);
    def_wait(connection_command, connection, "commands.run_wait", R"(
wait_for_validate(self, timeout_sec: float = {timeout_sec}) -> ConnectionValidateCommand
Poll until the run has left CREATED, STARTING, RUNNING and VALIDATING, then fetch the
preview data into ``response``; return the command.

Raises:
    WaitTimeoutError: "Timed out after ... seconds while waiting for validation."
)",
             &run_wait<connection>);

    auto snapshot_command = command_class<SnapshotCommand, Command>(
        m, "SnapshotCommand",
        "A snapshot capture (``pipeline_id``, ``snapshot_name``, ``snapshot_label``); waits for it\n"
        "and reads the snapshot.");
    def_method(snapshot_command, "commands.snapshot_command_init", R"(
__init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, snapshot_name: str,
         snapshot_label: str | None) -> None
Wrap the answer to a snapshot request.
)",
               &snapshot_command_init);
    def_wait(snapshot_command, snapshot, "commands.run_wait", R"(
wait_for_finished(self, timeout_sec: float = {timeout_sec}) -> SnapshotCommand
Poll the capture once a second until it is no longer in progress; return the command.

Raises:
    WaitTimeoutError: "Timed out after ... seconds while waiting for status FINISHED."
)",
             &run_wait<snapshot>);
    snapshot_command.def_prop_ro(
        "snapshot", &snapshot_property, nb::sig("def snapshot(self) -> quenlo.sdk.velm_models.Snapshot"),
        "The snapshot's status joined with its data, as a new ``velm_models.Snapshot``\n"
        "(two requests on every read).");
}

}  // namespace velm
