// The wait loop, and its steerable preset: `wait(until, *, timeout_sec, poll_interval, backoff, max_interval,
// stop_on, on_progress, cancel)` on every command class that polls.
//
// Status is read through the client's own status operations (a patched or subclassed client is honoured); the
// loop pauses with the module's time.sleep and reads its time.time, so patched and virtual clocks apply.
#include "wait.hpp"

#include <algorithm>
#include <string>

namespace velm {

nb::handle waits_module;

void set_attr(nb::handle obj, const char *name, nb::handle value) {
    set_attr(obj, nb::str(name), value);
}

void set_attr(nb::handle obj, nb::handle name, nb::handle value) {
    guarded([&] {
        return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) ? nullptr : nb::none().release().ptr();
    });
}

nb::object item(nb::handle obj, const char *key) {
    nb::str name(key);
    return guarded([&] { return PyObject_GetItem(obj.ptr(), name.ptr()); });
}

nb::object run_status(nb::handle command, bool snapshot) {
    static const nb::handle preview_status = intern("get_preview_status"),
                            snapshot_status = intern("get_snapshot_status"),
                            by_previewer = keywords({"pipeline_id", "previewer_id"}),
                            by_name = keywords({"pipeline_id", "snapshot_name"});
    nb::object client = attr(command, "api_client"), pipeline_id = attr(command, "pipeline_id");
    nb::object response = snapshot ? call_method_kw(client, snapshot_status, by_name, pipeline_id,
                                                    attr(command, "snapshot_name"))
                                   : call_method_kw(client, preview_status, by_previewer, pipeline_id,
                                                    attr(command, "previewer_id"));
    return attr(response, "response");
}

void raise_if_error(nb::handle status, nb::handle record) {
    static const nb::handle get = intern("get");
    nb::object error = call_method(attr(global("PipelineCommand"), "ERROR_STATUSES"), get, status);
    if (!error.is_none()) raise(call(error, record));
}

namespace {

// Seconds since a wait began, summed from the module's clock reading by reading. A reading that goes back
// (the clock replaced by another, as a virtual-time simulator does when it stops) adds nothing, so the wait
// goes on from where it was instead of waiting out the difference.
struct Stopwatch {
    double last = now(), elapsed = 0;
    double read() {
        const double reading = now();
        if (reading > last) elapsed += reading - last;
        last = reading;
        return elapsed;
    }
};

// Waits nested in one another's callbacks (an on_progress that starts a wait) stack C++ frames that Python's
// recursion limit does not count, so past this depth they raise RecursionError, long before the thread's
// stack runs out.
constexpr int max_nesting = 100;
thread_local int nesting = 0;

struct Nested {
    Nested() {
        if (nesting >= max_nesting)
            raise_message(
                PyExc_RecursionError,
                format("maximum recursion depth exceeded: more than {} waits nested in their callbacks",
                       max_nesting));
        ++nesting;
    }
    ~Nested() { --nesting; }
};

bool is_set(nb::handle cancel) {
    static const nb::handle name = intern("is_set");
    return !cancel.is_none() && truthy(call_method(cancel, name));
}

nb::object response_of(nb::handle command) {
    try {
        return attr(command, "response");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return nb::none();
    }
}

// Within a wait, no retry of the transport pauses past the wait's deadline (transport.deadline). The scope is
// left however the wait ends; leaving it only resets a context variable, which cannot fail.
struct DeadlineScope {
    nb::object scope;
    explicit DeadlineScope(double seconds) {
        static const nb::handle enter = intern("__enter__");
        scope = call(global("_deadline"), nb::float_(seconds));
        call_method(scope, enter);
    }
    ~DeadlineScope() {
        static const nb::handle exit = intern("__exit__");
        try {
            call_method(scope, exit, nb::none(), nb::none(), nb::none());
        } catch (nb::python_error &) {
        }
    }
};

}  // namespace

nb::object Wait::run() {
    static const nb::handle json = intern("json"),
                            timeout_kw = keywords({"timeout_sec", "elapsed", "response", "last_status"});
    const Nested nested;
    Stopwatch clock;
    limit = to_double(timeout_sec);
    const DeadlineScope deadline(limit);
    bool use_held = held_first;
    for (;;) {
        if (is_set(cancel)) raise(call(global("WaitCancelledError"), cancelled()));
        const double elapsed = clock.read();
        if (!(elapsed < limit)) {
            nb::object error = call_kw(global("WaitTimeoutError"), timeout_kw, timed_out(), timeout_sec,
                                       nb::float_(elapsed), response_of(command), last_status);
            // Polled through to the end: the failure that kept the wait from its status is the cause.
            if (failure.is_valid()) set_attr(error, "__cause__", failure);
            raise(error);
        }

        nb::object record;
        if (use_held || refresh) {
            use_held = false;
            record = call_method(attr(command, "response"), json);
        } else {
            ++polls;
            nb::object response = poll();
            if (response.is_valid()) {
                set_attr(command, "response", response);
                failure = nb::object();
                if (log_bodies) log("debug", "response.content: %s", attr(response, "content"));
                if (has_body(response))
                    record = call_method(response, json);
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
        sleep(nb::float_(pause));
        interval = std::min(interval * growth, ceiling);
        if (refresh) {
            ++polls;
            set_attr(command, "response", poll());
        }
    }
}

namespace {

// What a class's wait waits for by default, for how long (the time-out of the class's other wait), and how
// logs and messages name what is waited for.
struct Kind {
    const char *until;  // nullptr: the caller must say
    int timeout_sec;
    const char *noun;
    bool pipeline;  // reads pipeline status records, the first from the answer the command holds
};

constexpr Kind pipeline{nullptr, 300, "pipeline", true}, started{"FINISHED", 300, "pipeline", true},
    stopped{"STOPPED", 300, "pipeline", true}, validation{"VALID", 60, "validation", false},
    preview{"FINISHED", 30, "preview", false}, connection{"FINISHED", 120, "connection validation", false},
    snapshot{"FINISHED", 30, "snapshot", false};

class SteerableWait : public Wait {
public:
    SteerableWait(const Kind &kind, nb::handle self, nb::handle until, nb::handle timeout,
                  nb::handle poll_interval, nb::handle backoff, nb::handle max_interval, nb::handle stop_on,
                  nb::handle on_progress, nb::handle cancel_event)
        : Wait(self, timeout), kind_(kind), on_progress_(nb::borrow(on_progress)) {
        // Every argument is checked before the first request, by the waits' Python companion module.
        const bool errors_stop = !kind.pipeline && &kind != &snapshot;
        nb::object settings =
            call(attr(waits_module, "wait_settings"),
                 kind.until ? nb::object(nb::str(kind.until)) : nb::none(), nb::int_(kind.timeout_sec),
                 errors_stop ? attr(global("PipelineCommand"), "ERROR_STATUSES") : nb::none(), until, timeout,
                 poll_interval, backoff, max_interval, stop_on, on_progress, cancel_event);
        auto setting = [&](int i) { return nb::borrow(PyTuple_GetItem(settings.ptr(), i)); };
        until_ = setting(0);
        targets_ = setting(1);
        timeout_sec = setting(2);
        interval = to_double(setting(3));
        growth = to_double(setting(4));
        ceiling = to_double(setting(5));
        stop_on_ = setting(6);
        cancel = nb::borrow(cancel_event);
        fit_deadline = true;
        // A pipeline command's first record is the answer it holds (a start or stop answer is already a
        // status record); the other commands hold no status and poll at once.
        held_first = kind.pipeline;
        static const nb::handle json = intern("json");
        if (held_first) pipeline_id_ = pipeline_id_of(call_method(attr(command, "response"), json));
        log("info", "Waiting for status %s of %s ...", until_, subject());
    }

private:
    // "pipeline p1", "preview 3f2a of pipeline p1", "snapshot s1 of pipeline p1".
    nb::object subject() const {
        const nb::str noun(kind_.noun);
        if (kind_.pipeline) return format("{} {}", noun, pipeline_id_);
        nb::object id = attr(command, &kind_ == &snapshot ? "snapshot_name" : "previewer_id");
        return format("{} {} of pipeline {}", noun, id, attr(command, "pipeline_id"));
    }

    nb::object poll() override {
        static const nb::handle status = intern("get_pipeline_status");
        try {
            if (kind_.pipeline)
                return attr(call_method(attr(command, "api_client"), status, pipeline_id_), "response");
            return run_status(command, &kind_ == &snapshot);
        } catch (nb::python_error &e) {
            if (!truthy(call(attr(waits_module, "is_transient"), e.value(), global("requests")))) throw;
            failure = exception_of(e);
            log("debug", "Status read of %s failed, trying again: %s", subject(), failure);
            return nb::object();
        }
    }

    bool reached(nb::handle record, double elapsed) override {
        // A snapshot's status is FINISHED once inProgress is the JSON false itself, IN_PROGRESS before.
        nb::object status = item(record, &kind_ == &snapshot ? "inProgress" : "status");
        if (&kind_ == &snapshot)
            status = nb::str(status.is(nb::handle(Py_False)) ? "FINISHED" : "IN_PROGRESS");
        if (kind_.pipeline) pipeline_id_ = pipeline_id_of(record);
        last_status = status;
        log("debug", "Status of %s is %s ...", subject(), status);
        if (!on_progress_.is_none())
            call(on_progress_, call(global("WaitProgress"), status, nb::float_(elapsed),
                                    nb::float_(std::max(limit - elapsed, 0.0)), nb::int_(polls), record));
        if (contains(targets_, status)) {
            log("info", "%s reached status %s (took %.2f s).", subject(), status, elapsed);
            return true;
        }
        if (kind_.pipeline) raise_if_error(status, record);
        if (!contains(stop_on_, status)) return false;
        nb::object text = call(attr(waits_module, "stop_message"), subject(), status, until_, record);
        raise(call(global("UnexpectedStatusError"), record, status, text));
    }

    nb::object timed_out() override {
        return format("Timed out after {} seconds while waiting for status {}.", timeout_sec, until_);
    }
    nb::object cancelled() override {
        return format("The wait for status {} of {} was cancelled (last status: {})", until_, subject(),
                      last_status);
    }

    const Kind &kind_;
    nb::object until_;
    nb::object on_progress_;
    nb::object targets_;
    nb::object stop_on_;
    nb::object pipeline_id_ = nb::none();
};

// What every class's wait documents alike, after the line that names its defaults.
const char *const wait_doc =
    "\n\n"
    "Args:\n"
    "    until: the status, or several, that end the wait and return.\n"
    "    timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).\n"
    "    poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most\n"
    "        ``max_interval``, and never past the time-out.\n"
    "    stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and\n"
    "        STOPPED when not waited for; for validation and preview runs also INVALID and the error\n"
    "        statuses).\n"
    "    on_progress: called with a WaitProgress after each status read; what it raises ends the wait.\n"
    "    cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.\n\n"
    "A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their\n"
    "StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,\n"
    "IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the\n"
    "time-out; other HTTP errors end the wait. ``response`` holds the last answer read.\n\n"
    "Returns:\n"
    "    The final status record (a dict).\n\n"
    "Raises:\n"
    "    WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError";

template <const Kind &kind>
void bind_wait(nb::module_ &m, const char *class_name) {
    const std::string doc =
        std::string("Poll the ") + kind.noun + " until its status is ``until`` (" +
        (kind.until ? std::string("default ") + kind.until : std::string("required here")) +
        ") and return the final status record.\nTime-out " + std::to_string(kind.timeout_sec) + " s." +
        wait_doc;
    def_method(
        nb::object(m.attr(class_name)),
        "wait(self, until: str | typing.Iterable[str] | None = None, *, timeout_sec: float | None = None, "
        "poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, "
        "stop_on: typing.Iterable[str] | None = None, "
        "on_progress: typing.Callable[[WaitProgress], object] | None = None, "
        "cancel: threading.Event | None = None) -> dict[str, typing.Any]",
        doc.c_str(),
        [](nb::handle self, nb::handle until, nb::handle timeout_sec, nb::handle poll_interval,
           nb::handle backoff, nb::handle max_interval, nb::handle stop_on, nb::handle on_progress,
           nb::handle cancel) {
            return SteerableWait(kind, self, until, timeout_sec, poll_interval, backoff, max_interval,
                                 stop_on, on_progress, cancel)
                .run();
        });
}

}  // namespace

void init_wait_classes(nb::module_ &m) {
    nb::object package = nb::str(m.attr("__name__")).attr("rpartition")(".")[0];
    nb::object classes = nb::module_::import_("importlib").attr("import_module")(".waits", package);
    for (nb::handle name : classes.attr("__all__")) nb::setattr(m, name, classes.attr(name));
    waits_module = classes.release();
}

void init_waits(nb::module_ &m) {
    bind_wait<pipeline>(m, "PipelineCommand");
    bind_wait<started>(m, "StartPipelineCommand");
    bind_wait<stopped>(m, "StopPipelineCommand");
    bind_wait<validation>(m, "ValidateCommand");
    bind_wait<preview>(m, "PreviewCommand");
    bind_wait<connection>(m, "ConnectionValidateCommand");
    bind_wait<snapshot>(m, "SnapshotCommand");
}

}  // namespace velm
