// The steerable wait: `wait(until, *, timeout_sec, poll_interval, backoff, max_interval, stop_on,
// on_progress, cancel)` on every command class that polls, and the exceptions and progress event of the
// waits.
//
// It reads status as the other waits do (through the client's own status operations, so a patched or
// subclassed client is honoured), pauses with the module's time.sleep and reads time.time, so patched and
// virtual clocks apply. What it adds: several targets, statuses that end the wait at once, a back-off capped
// at max_interval, a progress callback, a cancel event, and polling through transient failures.
#include "wait.hpp"

#include <algorithm>
#include <string>

#include "commands.hpp"

namespace velm {
namespace {

nb::object wait_timeout_error(nb::handle command, nb::handle message, nb::handle timeout_sec,
                              nb::handle elapsed, nb::handle last_status) {
    return global("WaitTimeoutError")(message, "timeout_sec"_a = timeout_sec, "elapsed"_a = elapsed,
                                      "response"_a = nb::getattr(command, "response", nb::none()),
                                      "last_status"_a = last_status);
}

enum class Kind { pipeline, validate, preview, connection, snapshot };

// What each command class waits for by default, and for how long (the time-outs of the text's waits).
struct Defaults {
    const char *until;  // nullptr: the caller must say
    int timeout_sec;
    const char *subject;  // how logs and messages name what is waited for
};

Defaults defaults_of(Kind kind, const char *until) {
    switch (kind) {
        case Kind::pipeline: return {until, 300, "pipeline"};
        case Kind::validate: return {"VALID", 60, "validation"};
        case Kind::preview: return {"FINISHED", 30, "preview"};
        case Kind::connection: return {"FINISHED", 120, "connection validation"};
        case Kind::snapshot: return {"FINISHED", 30, "snapshot"};
    }
    return {nullptr, 0, ""};
}

bool is_preview_run(Kind kind) {
    return kind == Kind::validate || kind == Kind::preview || kind == Kind::connection;
}

// One status or several, as a tuple of texts.
nb::tuple statuses_of(nb::handle value, const char *argument) {
    if (PyUnicode_Check(value.ptr())) return nb::make_tuple(value);
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        PyErr_Clear();
        raise_message(PyExc_TypeError,
                      format("{} must be a status or an iterable of statuses, not {!r}", argument, value));
    }
    nb::list items;
    for (nb::handle item : nb::handle(iterator)) {
        if (!PyUnicode_Check(item.ptr()))
            raise_message(PyExc_TypeError, format("{} must hold status texts, not {!r}", argument, item));
        items.append(item);
    }
    return nb::steal<nb::tuple>(PySequence_Tuple(items.ptr()));
}

// The statuses that end a wait at once unless they are its target: FINISHED and STOPPED for every wait,
// and, for validation and preview runs, INVALID and the error statuses (the text's preview waits would poll
// past them to the deadline).
nb::tuple default_stop_on(Kind kind, const nb::tuple &targets) {
    nb::list candidates;
    candidates.append("FINISHED");
    candidates.append("STOPPED");
    if (is_preview_run(kind)) {
        candidates.append("INVALID");
        for (nb::handle status : global("PipelineCommand").attr("ERROR_STATUSES")) candidates.append(status);
    }
    nb::list chosen;
    for (nb::handle status : candidates)
        if (!contains(targets, status)) chosen.append(status);
    return nb::steal<nb::tuple>(PySequence_Tuple(chosen.ptr()));
}

bool is_transient(nb::python_error &e) {
    nb::object requests = global("requests");
    if (e.matches(requests.attr("ConnectionError")) || e.matches(requests.attr("Timeout"))) return true;
    if (!e.matches(requests.attr("HTTPError"))) return false;
    nb::object response = nb::getattr(e.value(), "response", nb::none());
    if (response.is_none()) return false;
    nb::object status = response.attr("status_code");
    for (int code : {502, 503, 504})
        if (status.equal(nb::int_(code))) return true;
    return false;
}

// The status of a record: its "status", or for a snapshot, FINISHED once "inProgress" is false (the JSON
// false itself, as the text's snapshot wait reads it) and IN_PROGRESS before.
nb::object status_of(Kind kind, nb::handle record) {
    if (kind != Kind::snapshot) return record["status"];
    nb::object in_progress = record["inProgress"];
    return nb::str(in_progress.is(nb::borrow(Py_False)) ? "FINISHED" : "IN_PROGRESS");
}

nb::object poll(nb::handle self, Kind kind, nb::handle pipeline_id) {
    nb::object api_client = self.attr("api_client");
    switch (kind) {
        case Kind::pipeline:
            return attr(call(attr(api_client, "get_pipeline_status"), pipeline_id), "response");
        case Kind::snapshot:
            return api_client
                .attr("get_snapshot_status")("pipeline_id"_a = self.attr("pipeline_id"),
                                             "snapshot_name"_a = self.attr("snapshot_name"))
                .attr("response");
        default:
            return api_client
                .attr("get_preview_status")("pipeline_id"_a = self.attr("pipeline_id"),
                                            "previewer_id"_a = self.attr("previewer_id"))
                .attr("response");
    }
}

// "pipeline p1", "preview 3f2a of pipeline p1", "snapshot s1 of pipeline p1".
nb::object subject_of(nb::handle self, Kind kind, const char *noun, nb::handle pipeline_id,
                      bool capital = false) {
    std::string text(noun);
    if (capital) text[0] = (char)(text[0] - 'a' + 'A');  // our nouns are lower-case ASCII
    const nb::str name(text.c_str(), text.size());
    if (kind == Kind::pipeline) return format("{} {}", name, pipeline_id);
    nb::object id = self.attr(kind == Kind::snapshot ? "snapshot_name" : "previewer_id");
    return format("{} {} of pipeline {}", name, id, self.attr("pipeline_id"));
}

nb::object steerable_wait(nb::handle self, Kind kind, const char *default_until, nb::object until,
                          nb::object timeout_sec, nb::object poll_interval, nb::object backoff,
                          nb::object max_interval, nb::object stop_on, nb::object on_progress,
                          nb::object cancel) {
    // Every argument is checked before the first request.
    const Defaults defaults = defaults_of(kind, default_until);
    if (until.is_none()) {
        if (!defaults.until)
            throw nb::type_error(
                "wait() of a PipelineCommand needs until: the status or statuses to wait for");
        until = nb::str(defaults.until);
    }
    const nb::tuple targets = statuses_of(until, "until");
    if (nb::len(targets) == 0) throw nb::value_error("until must name at least one status");
    if (timeout_sec.is_none()) timeout_sec = nb::int_(defaults.timeout_sec);
    const double timeout = seconds_of(timeout_sec, "timeout_sec");
    double interval = seconds_of(poll_interval, "poll_interval");
    const double growth = seconds_of(backoff, "backoff");
    const double ceiling = seconds_of(max_interval, "max_interval");
    if (!(interval > 0)) throw nb::value_error("poll_interval must be more than 0 seconds");
    if (!(growth >= 1)) throw nb::value_error("backoff must be at least 1 (1 keeps the interval fixed)");
    if (!(ceiling > 0)) throw nb::value_error("max_interval must be more than 0 seconds");
    interval = std::min(interval, ceiling);
    const nb::tuple ending =
        stop_on.is_none() ? default_stop_on(kind, targets) : statuses_of(stop_on, "stop_on");
    if (!on_progress.is_none() && !PyCallable_Check(on_progress.ptr()))
        raise_message(PyExc_TypeError, format("on_progress must be callable, not {!r}", on_progress));
    if (!cancel.is_none() && !nb::hasattr(cancel, "is_set"))
        raise_message(PyExc_TypeError, format("cancel must be a threading.Event, not {!r}", cancel));

    // A pipeline command's first cycle reads the answer it holds (a start or stop answer is already a status
    // record), as wait_for_status does; the other commands hold no status and poll at once.
    bool use_held = kind == Kind::pipeline;
    nb::object pipeline_id;
    if (use_held) pipeline_id = pipeline_id_of(self.attr("response").attr("json")());
    nb::object subject =
        subject_of(self, kind, defaults.subject, use_held ? nb::handle(pipeline_id) : nb::handle(Py_None));
    log("info", "Waiting for status %s of %s ...", until, subject);

    const double start = now();
    const double deadline = start + timeout;
    long polls = 0;
    nb::object last_status = nb::none();
    nb::object last_failure;  // the transient failure of the latest cycle, if it failed
    for (;;) {
        if (!cancel.is_none() && truthy(cancel.attr("is_set")()))
            raise(global("WaitCancelledError")(
                nb::str("The wait for status {} of {} was cancelled (last status: {})")
                    .attr("format")(until, subject, last_status)));
        if (now() >= deadline) {
            nb::object message = nb::str("Timed out after {} seconds while waiting for status {}.")
                                     .attr("format")(timeout_sec, until);
            nb::object error =
                wait_timeout_error(self, message, timeout_sec, nb::float_(now() - start), last_status);
            // Polled through to the end: the failure that kept the wait from its status is the cause.
            if (last_failure.is_valid()) error.attr("__cause__") = last_failure;
            raise(error);
        }

        nb::object record;
        if (use_held) {
            use_held = false;
            record = self.attr("response").attr("json")();
        } else {
            try {
                ++polls;
                nb::object response = poll(self, kind, pipeline_id);
                self.attr("response") = response;
                last_failure = nb::object();
                // The engine may answer with an empty body while it sets a run up: no status yet.
                if (has_body(response)) record = response.attr("json")();
            } catch (nb::python_error &e) {
                if (!is_transient(e)) throw;
                last_failure = exception_of(e);
                log("debug", "Status read of %s failed, trying again: %s", subject, last_failure);
            }
        }

        if (record.is_valid()) {
            nb::object status = status_of(kind, record);
            if (kind == Kind::pipeline) {
                pipeline_id = pipeline_id_of(record);
                subject = subject_of(self, kind, defaults.subject, pipeline_id);
            }
            last_status = status;
            log("debug", "Status of %s is %s ...", subject, status);
            const double elapsed = now() - start;
            if (!on_progress.is_none())
                on_progress(
                    global("WaitProgress")(status, elapsed, std::max(deadline - now(), 0.0), polls, record));
            if (contains(targets, status)) {
                log("info", "%s reached status %s (took %.2f s).", subject, status,
                    nb::float_(now() - start));
                return record;
            }
            if (kind == Kind::pipeline) {
                nb::object error = error_class_for(status);
                if (error.is_valid()) raise(error(record));
            }
            if (contains(ending, status)) {
                nb::object text =
                    nb::str("{} reached status {} while waiting for status {}")
                        .attr("format")(subject_of(self, kind, defaults.subject, pipeline_id, true), status,
                                        until);
                nb::object message = PyDict_Check(record.ptr()) ? record.attr("get")("message") : nb::none();
                if (PyUnicode_Check(message.ptr()) && truthy(message))
                    text = nb::str("{}: {}").attr("format")(text, message);
                raise(global("UnexpectedStatusError")(record, status, text));
            }
        }

        if (!cancel.is_none() && truthy(cancel.attr("is_set")())) continue;  // reported at the top
        // Never past the deadline: a wait ends when it says, even with a long interval.
        const double remaining = deadline - now();
        if (remaining <= 0) continue;
        sleep(nb::float_(std::min(interval, remaining)));
        interval = std::min(interval * growth, ceiling);
    }
}

// ---------------------------------------------------------------------------------------------------------
// The exception classes and the progress event

void wait_timeout_init(nb::handle self, nb::object message, nb::object timeout_sec, nb::object elapsed,
                       nb::object response, nb::object last_status) {
    nb::handle(PyExc_TimeoutError).attr("__init__")(self, message);
    self.attr("timeout_sec") = timeout_sec;
    self.attr("elapsed") = elapsed;
    self.attr("response") = response;
    self.attr("last_status") = last_status;
}

void unexpected_status_init(nb::handle self, nb::object response, nb::object status, nb::object text) {
    global("StatusError").attr("__init__")(self, response);
    self.attr("status") = status;
    if (text.is_none()) text = nb::str("The wait ended in status {}").attr("format")(status);
    self.attr("args") = nb::make_tuple(text);
}

nb::object unexpected_status_reduce(nb::handle self) {
    return nb::make_tuple(self.attr("__class__"),
                          nb::make_tuple(self.attr("response"), self.attr("status"), nb::str(self)));
}

void progress_init(nb::handle self, nb::object status, nb::object elapsed, nb::object remaining,
                   nb::object polls, nb::object record) {
    self.attr("status") = status;
    self.attr("elapsed") = elapsed;
    self.attr("remaining") = remaining;
    self.attr("polls") = polls;
    self.attr("record") = record;
}

nb::object progress_repr(nb::handle self) {
    return nb::str("WaitProgress(status={!r}, elapsed={:.2f}, remaining={:.2f}, polls={!r})")
        .attr("format")(self.attr("status"), self.attr("elapsed"), self.attr("remaining"),
                        self.attr("polls"));
}

// What every class's wait documents alike, after its own first paragraph.
const char *const common_wait_doc =
    "\n\n"
    "Args:\n"
    "    until: the status, or several, that end the wait and return.\n"
    "    timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other "
    "wait).\n"
    "    poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most\n"
    "        ``max_interval``, and never past the time-out.\n"
    "    stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and\n"
    "        STOPPED when not waited for; for validation and preview runs also INVALID and the error\n"
    "        statuses).\n"
    "    on_progress: called with a WaitProgress after each status read; what it raises ends the wait.\n"
    "    cancel: a threading.Event; once set, the wait ends within one interval with "
    "WaitCancelledError.\n\n"
    "Connection errors, time-outs and 502/503/504 answers are polled through until the time-out; other\n"
    "HTTP errors end the wait. ``response`` holds the last answer read.\n\n"
    "Returns:\n"
    "    The final status record (a dict).\n\n"
    "Raises:\n"
    "    WaitTimeoutError, UnexpectedStatusError, WaitCancelledError";

// Bind `wait` on one command class; `head` is what its docstring says before the shared part.
void bind_wait(nb::module_ &m, const char *class_name, Kind kind, const char *default_until,
               const char *head) {
    const std::string doc = std::string(head) + common_wait_doc;
    nb::object cls = m.attr(class_name);
    nb::object method = nb::cpp_function(
        [kind, default_until](nb::handle self, nb::object until, nb::object timeout_sec,
                              nb::object poll_interval, nb::object backoff, nb::object max_interval,
                              nb::object stop_on, nb::object on_progress, nb::object cancel) {
            return steerable_wait(self, kind, default_until, until, timeout_sec, poll_interval, backoff,
                                  max_interval, stop_on, on_progress, cancel);
        },
        nb::scope(cls), nb::name("wait"), nb::is_method(),
        nb::sig("def wait(self, until: str | typing.Iterable[str] | None = None, *, "
                "timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, "
                "max_interval: float = 30.0, stop_on: typing.Iterable[str] | None = None, "
                "on_progress: typing.Callable[[WaitProgress], object] | None = None, "
                "cancel: threading.Event | None = None) -> dict[str, typing.Any]"),
        "until"_a = nb::none(), nb::kw_only(), "timeout_sec"_a = nb::none(), "poll_interval"_a = 1.0,
        "backoff"_a = 1.0, "max_interval"_a = 30.0, "stop_on"_a = nb::none(), "on_progress"_a = nb::none(),
        "cancel"_a = nb::none(), doc.c_str());
    cls.attr("wait") = method;
}

}  // namespace

void raise_wait_timeout(nb::handle command, nb::handle message, nb::handle timeout_sec, nb::handle elapsed,
                        nb::handle last_status) {
    raise(wait_timeout_error(command, message, timeout_sec, elapsed, last_status));
}

void init_wait_types(nb::module_ &m) {
    nb::dict timeout_body;
    timeout_body["__init__"] = nb::cpp_function(
        &wait_timeout_init, nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, message: str, *, timeout_sec: float | None = None, "
                "elapsed: float | None = None, response: requests.Response | None = None, "
                "last_status: str | None = None) -> None"),
        "message"_a, nb::kw_only(), "timeout_sec"_a = nb::none(), "elapsed"_a = nb::none(),
        "response"_a = nb::none(), "last_status"_a = nb::none(), "Keep the message and what the wait saw.");
    python_class(
        m, "WaitTimeoutError", PyExc_TimeoutError,
        "A wait ran out of time. A TimeoutError, so also the Exception some waits were documented to "
        "raise.\n\n"
        "Attributes:\n"
        "    timeout_sec: the wait's time-out, as given.\n"
        "    elapsed: seconds the wait took.\n"
        "    response: the command's last response (the last answer the wait read).\n"
        "    last_status: the last status the wait read, or None (none read, or a wait that reads none).",
        timeout_body);

    nb::dict unexpected_body;
    unexpected_body["__init__"] = nb::cpp_function(
        &unexpected_status_init, nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, response: dict[str, typing.Any], status: str, text: str | None = None) "
                "-> None"),
        "response"_a, "status"_a, "text"_a = nb::none(),
        "Keep the record and the status that ended the wait.");
    unexpected_body["__reduce__"] =
        nb::cpp_function(&unexpected_status_reduce, nb::is_method(), nb::name("__reduce__"));
    python_class(m, "UnexpectedStatusError", m.attr("StatusError"),
                 "A wait ended because the work reached a final status other than the one waited for.\n\n"
                 "Attributes:\n"
                 "    status: that status (\"STOPPED\", \"INVALID\", ...).\n"
                 "    response: the status record (a dict) that showed it.\n"
                 "    message: the record's ``message`` (None when it has none).",
                 unexpected_body);

    python_class(m, "WaitCancelledError", PyExc_Exception, "A wait ended because its cancel event was set.");

    nb::dict progress_body;
    progress_body["__slots__"] = nb::make_tuple("status", "elapsed", "remaining", "polls", "record");
    progress_body["__init__"] = nb::cpp_function(
        &progress_init, nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, status: str, elapsed: float, remaining: float, polls: int, "
                "record: dict[str, typing.Any]) -> None"),
        "status"_a, "elapsed"_a, "remaining"_a, "polls"_a, "record"_a, "Keep what the wait saw.");
    progress_body["__repr__"] = nb::cpp_function(&progress_repr, nb::is_method(), nb::name("__repr__"),
                                                 nb::sig("def __repr__(self) -> str"),
                                                 "The status, the seconds elapsed and left, and the polls.");
    python_class(
        m, "WaitProgress", nb::module_::import_("builtins").attr("object"),
        "What a wait hands its ``on_progress`` callback after each status it reads.\n\n"
        "Attributes:\n"
        "    status: the status just read.\n"
        "    elapsed: seconds since the wait began.\n"
        "    remaining: seconds left before its time-out.\n"
        "    polls: status requests the wait has sent so far (a pipeline command's first status comes "
        "from\n"
        "        the answer it holds, with no request).\n"
        "    record: the status record, a dict.",
        progress_body);
}

void init_waits(nb::module_ &m) {
    bind_wait(
        m, "PipelineCommand", Kind::pipeline, nullptr,
        "Poll the pipeline's status until it is ``until`` (required here) and return the status record.\n\n"
        "An error status (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) that is not waited for "
        "raises\n"
        "its StatusError subclass, as wait_for_status does. Time-out 300 s.");
    bind_wait(
        m, "StartPipelineCommand", Kind::pipeline, "FINISHED",
        "Poll the run until ``until`` (default FINISHED) and return the status record; a run that STOPPED\n"
        "ends the wait at once. Error statuses raise their StatusError subclass. Time-out 300 s.");
    bind_wait(
        m, "StopPipelineCommand", Kind::pipeline, "STOPPED",
        "Poll the pipeline until ``until`` (default STOPPED) and return the status record. Error statuses\n"
        "raise their StatusError subclass. Time-out 300 s.");
    bind_wait(
        m, "ValidateCommand", Kind::validate, nullptr,
        "Poll the validation until ``until`` (default VALID) and return its status record; INVALID ends the\n"
        "wait at once unless waited for (``until=(\"VALID\", \"INVALID\")`` returns either). Time-out 60 s.");
    bind_wait(
        m, "PreviewCommand", Kind::preview, nullptr,
        "Poll the preview until ``until`` (default FINISHED) and return its status record; INVALID ends the\n"
        "wait at once. Read the records with ``preview`` afterwards. Time-out 30 s.");
    bind_wait(
        m, "ConnectionValidateCommand", Kind::connection, nullptr,
        "Poll the connection validation until ``until`` (default FINISHED) and return its status record;\n"
        "INVALID ends the wait at once. Time-out 120 s.");
    bind_wait(
        m, "SnapshotCommand", Kind::snapshot, nullptr,
        "Poll the capture until ``until`` (default FINISHED: no longer in progress) and return the\n"
        "snapshot's status record. Its status is FINISHED once ``inProgress`` is false, IN_PROGRESS before.\n"
        "Time-out 30 s.");
}

}  // namespace velm
