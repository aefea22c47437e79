// The wait loop, and its steerable preset: `wait(until, *, timeout_sec, poll_interval, backoff, max_interval,
// stop_on, on_progress, cancel)` on every command class that polls.
//
// Status is read through the client's own status operations (a patched or subclassed client is honoured); the
// loop pauses with the module's time.sleep and reads its time.time, so patched and virtual clocks apply.
#include "wait.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "commands.hpp"

namespace velm {
namespace {

// Seconds since a wait began, summed from the module's clock reading by reading. A reading that goes back
// (the clock replaced by another, as a virtual-time simulator does when it stops) adds nothing, so the wait
// goes on from where it was instead of waiting out the difference.
class Stopwatch {
public:
    double read() {
        const double reading = now();
        if (reading > last_) elapsed_ += reading - last_;
        last_ = reading;
        return elapsed_;
    }

private:
    double last_ = now();
    double elapsed_ = 0;
};

// Waits nested in one another's callbacks (an on_progress that starts a wait) stack C++ frames that Python's
// recursion limit does not count, so past this depth they raise RecursionError, long before the thread's
// stack runs out.
constexpr int max_nesting = 100;
thread_local int nesting = 0;

class Nested {
public:
    Nested() {
        if (Py_EnterRecursiveCall(" while waiting")) throw nb::python_error();
        if (nesting >= max_nesting) {
            Py_LeaveRecursiveCall();
            raise_message(PyExc_RecursionError,
                          format("maximum recursion depth exceeded: more than {} waits nested in their "
                                 "callbacks",
                                 max_nesting));
        }
        ++nesting;
    }
    ~Nested() {
        --nesting;
        Py_LeaveRecursiveCall();
    }
    Nested(const Nested &) = delete;
    Nested &operator=(const Nested &) = delete;
};

bool is_set(nb::handle cancel) {
    return !cancel.is_none() && truthy(cancel.attr("is_set")());
}

}  // namespace

nb::object Wait::run() {
    const Nested nested;
    Stopwatch clock;
    limit = to_double(timeout_sec);
    bool use_held = held_first;
    for (;;) {
        if (is_set(cancel)) raise(global("WaitCancelledError")(cancelled()));
        const double elapsed = clock.read();
        if (!(elapsed < limit)) {
            nb::object error = global("WaitTimeoutError")(
                timed_out(), "timeout_sec"_a = timeout_sec, "elapsed"_a = nb::float_(elapsed),
                "response"_a = nb::getattr(command, "response", nb::none()), "last_status"_a = last_status);
            // Polled through to the end: the failure that kept the wait from its status is the cause.
            if (failure.is_valid()) error.attr("__cause__") = failure;
            raise(error);
        }

        nb::object record;
        if (use_held || refresh) {
            use_held = false;
            record = command.attr("response").attr("json")();
        } else {
            ++polls;
            nb::object response = poll();
            if (response.is_valid()) {
                command.attr("response") = response;
                failure = nb::object();
                if (log_bodies) log("debug", "response.content: %s", response.attr("content"));
                if (has_body(response))
                    record = response.attr("json")();
                else if (empty_again)
                    continue;  // the engine sets the run up: ask again at once
            }
        }
        if (record.is_valid() && reached(record, clock.read())) return record;

        if (is_set(cancel)) continue;  // reported at the top
        double pause = interval;
        if (fit_deadline) {
            const double remaining = limit - clock.read();
            if (remaining <= 0) continue;
            pause = std::min(interval, remaining);
        }
        global("time").attr("sleep")(nb::float_(pause));
        interval = std::min(interval * growth, ceiling);
        if (refresh) {
            ++polls;
            command.attr("response") = poll();
        }
    }
}

namespace {

// ---------------------------------------------------------------------------------------------------------
// The steerable wait

enum class Kind { pipeline, validate, preview, connection, snapshot };

// What each command class waits for by default, and for how long (the time-outs of the class's other wait).
struct Defaults {
    const char *until;  // nullptr: the caller must say
    int timeout_sec;
    const char *noun;  // how logs and messages name what is waited for
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
    return nb::tuple(items);
}

// The statuses that end a wait at once unless they are its target: FINISHED and STOPPED for every wait,
// and, for validation and preview runs, INVALID and the error statuses (their other waits would poll past
// them to the deadline).
nb::tuple default_stop_on(Kind kind, const nb::tuple &targets) {
    nb::list candidates;
    candidates.append("FINISHED");
    candidates.append("STOPPED");
    if (kind != Kind::pipeline && kind != Kind::snapshot) {
        candidates.append("INVALID");
        for (nb::handle status : global("PipelineCommand").attr("ERROR_STATUSES")) candidates.append(status);
    }
    nb::list chosen;
    for (nb::handle status : candidates)
        if (!contains(targets, status)) chosen.append(status);
    return nb::tuple(chosen);
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

class SteerableWait : public Wait {
public:
    SteerableWait(nb::handle self, Kind kind, const char *default_until, nb::object until,
                  nb::object timeout_sec, nb::handle poll_interval, nb::handle backoff,
                  nb::handle max_interval, nb::object stop_on, nb::object on_progress,
                  nb::object cancel_event)
        : Wait(self, std::move(timeout_sec)),
          kind_(kind),
          defaults_(defaults_of(kind, default_until)),
          on_progress_(std::move(on_progress)) {
        // Every argument is checked before the first request.
        if (until.is_none()) {
            if (!defaults_.until)
                throw nb::type_error(
                    "wait() of a PipelineCommand needs until: the status or statuses to wait for");
            until = nb::str(defaults_.until);
        }
        until_ = std::move(until);
        targets_ = statuses_of(until_, "until");
        if (nb::len(targets_) == 0) throw nb::value_error("until must name at least one status");
        if (this->timeout_sec.is_none()) this->timeout_sec = nb::int_(defaults_.timeout_sec);
        if (std::isnan(seconds_of(this->timeout_sec, "timeout_sec")))
            throw nb::value_error("timeout_sec must be a number of seconds, not nan");
        interval = seconds_of(poll_interval, "poll_interval");
        growth = seconds_of(backoff, "backoff");
        ceiling = seconds_of(max_interval, "max_interval");
        if (!(interval > 0)) throw nb::value_error("poll_interval must be more than 0 seconds");
        if (!(growth >= 1)) throw nb::value_error("backoff must be at least 1 (1 keeps the interval fixed)");
        if (!(ceiling > 0)) throw nb::value_error("max_interval must be more than 0 seconds");
        interval = std::min(interval, ceiling);
        stop_on_ = stop_on.is_none() ? default_stop_on(kind, targets_) : statuses_of(stop_on, "stop_on");
        if (!on_progress_.is_none() && !PyCallable_Check(on_progress_.ptr()))
            raise_message(PyExc_TypeError, format("on_progress must be callable, not {!r}", on_progress_));
        if (!cancel_event.is_none() && !nb::hasattr(cancel_event, "is_set"))
            raise_message(PyExc_TypeError,
                          format("cancel must be a threading.Event, not {!r}", cancel_event));
        cancel = std::move(cancel_event);
        fit_deadline = true;
        // A pipeline command's first record is the answer it holds (a start or stop answer is already a
        // status record); the other commands hold no status and poll at once.
        held_first = kind == Kind::pipeline;
        if (held_first) pipeline_id_ = pipeline_id_of(command.attr("response").attr("json")());
        log("info", "Waiting for status %s of %s ...", until_, subject());
    }

private:
    // "pipeline p1", "preview 3f2a of pipeline p1", "snapshot s1 of pipeline p1", or capitalised.
    nb::object subject(bool capital = false) const {
        std::string text(defaults_.noun);
        if (capital) text[0] = (char)(text[0] - 'a' + 'A');  // our nouns are lower-case ASCII
        const nb::str noun(text.c_str(), text.size());
        if (kind_ == Kind::pipeline) return format("{} {}", noun, pipeline_id_);
        nb::object id = command.attr(kind_ == Kind::snapshot ? "snapshot_name" : "previewer_id");
        return format("{} {} of pipeline {}", noun, id, command.attr("pipeline_id"));
    }

    // A snapshot's status is FINISHED once inProgress is the JSON false itself, IN_PROGRESS before.
    nb::object status_of(nb::handle record) const {
        if (kind_ != Kind::snapshot) return record["status"];
        return nb::str(nb::object(record["inProgress"]).is(nb::handle(Py_False)) ? "FINISHED"
                                                                                 : "IN_PROGRESS");
    }

    nb::object poll() override {
        try {
            nb::object client = command.attr("api_client");
            switch (kind_) {
                case Kind::pipeline: return client.attr("get_pipeline_status")(pipeline_id_).attr("response");
                case Kind::snapshot: return run_status(command, "get_snapshot_status", "snapshot_name");
                default: return run_status(command, "get_preview_status", "previewer_id");
            }
        } catch (nb::python_error &e) {
            if (!is_transient(e)) throw;
            failure = exception_of(e);
            log("debug", "Status read of %s failed, trying again: %s", subject(), failure);
            return nb::object();
        }
    }

    bool reached(nb::handle record, double elapsed) override {
        nb::object status = status_of(record);
        if (kind_ == Kind::pipeline) pipeline_id_ = pipeline_id_of(record);
        last_status = status;
        log("debug", "Status of %s is %s ...", subject(), status);
        if (!on_progress_.is_none())
            on_progress_(
                global("WaitProgress")(status, elapsed, std::max(limit - elapsed, 0.0), polls, record));
        if (contains(targets_, status)) {
            log("info", "%s reached status %s (took %.2f s).", subject(), status, elapsed);
            return true;
        }
        if (kind_ == Kind::pipeline) {
            nb::object error = error_class_for(status);
            if (error.is_valid()) raise(error(record));
        }
        if (contains(stop_on_, status)) {
            nb::object text =
                format("{} reached status {} while waiting for status {}", subject(true), status, until_);
            nb::object message = PyDict_Check(record.ptr()) ? record.attr("get")("message") : nb::none();
            if (PyUnicode_Check(message.ptr()) && truthy(message)) text = format("{}: {}", text, message);
            raise(global("UnexpectedStatusError")(record, status, text));
        }
        return false;
    }

    nb::object timed_out() override {
        return format("Timed out after {} seconds while waiting for status {}.", timeout_sec, until_);
    }
    nb::object cancelled() override {
        return format("The wait for status {} of {} was cancelled (last status: {})", until_, subject(),
                      last_status);
    }

    Kind kind_;
    Defaults defaults_;
    nb::object on_progress_;
    nb::object until_;
    nb::tuple targets_;
    nb::tuple stop_on_;
    nb::object pipeline_id_ = nb::none();
};

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
    cls.attr("wait") = nb::cpp_function(
        [kind, default_until](nb::handle self, nb::object until, nb::object timeout_sec,
                              nb::object poll_interval, nb::object backoff, nb::object max_interval,
                              nb::object stop_on, nb::object on_progress, nb::object cancel) {
            return SteerableWait(self, kind, default_until, until, timeout_sec, poll_interval, backoff,
                                 max_interval, stop_on, on_progress, cancel)
                .run();
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
}

}  // namespace

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
