// The wait loop, and its steerable preset: `wait(until, *, timeout_sec, poll_interval, backoff, max_interval,
// stop_on, on_progress, cancel)` on every command class that polls.
//
// Status is read through the client's own status operations (a patched or subclassed client is honoured); the
// loop pauses with the module's time.sleep and reads its time.time, so patched and virtual clocks apply.
#include "wait.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velm {

nb::handle waits_module;

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

bool is_set(nb::handle cancel) {
    static const nb::handle name = intern("is_set");
    return !cancel.is_none() && truthy(call_method(cancel, name));
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

void Wait::begin() {
    limit = to_double(timeout_sec);
    held_next = held_first;
}

void Wait::check_deadline(double elapsed) {
    static const nb::handle timeout_kw =
        keywords({"timeout_sec", "elapsed", "response", "last_status", "pipeline_id", "last_failure"});
    if (elapsed < limit) return;
    nb::object error = call_kw(global("WaitTimeoutError"), timeout_kw, timed_out(), timeout_sec,
                               nb::float_(elapsed), attr_or_none(command, nb::str("response")), last_status,
                               pipeline_id(), failure.is_valid() ? nb::borrow(failure) : nb::none());
    // Polled through to the end: the failure that kept the wait from its status is the cause.
    if (failing) set_attr(error, "__cause__", failure);
    raise(error);
}

nb::object Wait::take(Stopwatch &clock, bool &again) {
    static const nb::handle json = intern("json");
    nb::object record;
    if (held_next || refresh) {
        held_next = false;
        record = call_method(attr(command, "response"), json);
    } else {
        ++polls;
        nb::object response = poll();
        failing = !response.is_valid();
        if (response.is_valid()) {
            set_attr(command, "response", response);
            // Hiding the credentials in a body is work: done only where the line is logged.
            static const nb::handle enabled = intern("isEnabledFor");
            if (log_bodies &&
                truthy(call_method(global("logger"), enabled, attr(global("logging"), "DEBUG"))))
                log("debug", "response.content: %s", call(global("_logged_content"), response));
            if (has_body(response))
                record = call_method(response, json);
            else if (empty_again)
                again = true;  // the engine sets the run up: ask again at once
        }
    }
    if (record.is_valid() && reached(record, clock.read())) return record;
    return nb::object();
}

double Wait::pause(double elapsed) const {
    return fit_deadline ? std::min(interval, limit - elapsed) : interval;
}

void Wait::paused() {
    interval = std::min(interval * growth, ceiling);
    if (refresh) {
        ++polls;
        set_attr(command, "response", poll());
    }
}

nb::object Wait::run() {
    Stopwatch clock;
    begin();
    const DeadlineScope deadline(limit);
    for (;;) {
        if (is_set(cancel)) raise(call(global("WaitCancelledError"), cancelled()));
        check_deadline(clock.read());
        bool again = false;
        nb::object record = take(clock, again);
        if (record.is_valid()) return record;
        if (again || is_set(cancel)) continue;  // a cancel is reported at the top
        const double seconds = pause(clock.read());
        if (seconds <= 0) continue;
        sleep(nb::float_(seconds));
        paused();
    }
}

std::string with_defaults(const char *literal, const Kind &kind) {
    const std::pair<std::string, std::string> defaults[] = {
        {"{timeout_sec}", std::to_string(kind.timeout_sec)},
        {"{noun}", kind.noun},
        {"{until}", kind.until ? std::string("default ") + kind.until : "required here"}};
    std::string text(literal);
    for (const auto &[placeholder, value] : defaults)
        for (size_t at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + value.size()))
            text.replace(at, placeholder.size(), value);
    return text;
}

namespace {

// The checked settings of a wait of `kind` with the arguments of wait(): waits.wait_settings, which checks
// every argument before the first request, called by keyword.
nb::object wait_settings(const Kind &kind, nb::handle until, nb::handle timeout, nb::handle poll_interval,
                         nb::handle backoff, nb::handle max_interval, nb::handle stop_on,
                         nb::handle on_progress, nb::handle cancel_event) {
    static const nb::handle names =
        keywords({"default_until", "default_timeout", "error_statuses", "until", "timeout_sec",
                  "poll_interval", "backoff", "max_interval", "stop_on", "on_progress", "cancel"});
    const bool errors_stop = !kind.pipeline && &kind != &snapshot;
    return call_kw(attr(waits_module, "wait_settings"), names,
                   kind.until ? nb::object(nb::str(kind.until)) : nb::none(), nb::int_(kind.timeout_sec),
                   errors_stop ? attr(global("PipelineCommand"), "ERROR_STATUSES") : nb::none(), until,
                   timeout, poll_interval, backoff, max_interval, stop_on, on_progress, cancel_event);
}

class SteerableWait : public Wait {
public:
    // `place`, if any, goes to on_progress before the event (wait_all's: the command's place in its list).
    SteerableWait(const Kind &kind, nb::handle self, nb::handle until, nb::handle timeout,
                  nb::handle poll_interval, nb::handle backoff, nb::handle max_interval, nb::handle stop_on,
                  nb::handle on_progress, nb::handle cancel_event, nb::object place = nb::object())
        : Wait(self, timeout), kind_(kind), on_progress_(nb::borrow(on_progress)), place_(std::move(place)) {
        nb::object settings = wait_settings(kind, until, timeout, poll_interval, backoff, max_interval,
                                            stop_on, on_progress, cancel_event);
        auto setting = [&](const char *name) { return member(settings, name, "wait_settings()"); };
        until_ = setting("until");
        targets_ = setting("targets");
        timeout_sec = setting("timeout_sec");
        interval = to_double(setting("interval"));
        growth = to_double(setting("backoff"));
        ceiling = to_double(setting("max_interval"));
        stop_on_ = setting("stop_on");
        cancel = nb::borrow(cancel_event);
        fit_deadline = true;
        // A pipeline command's first record is the answer it holds (a start or stop answer is already a
        // status record); the other commands hold no status and poll at once.
        held_first = kind.pipeline;
    }

    void begin() override {
        static const nb::handle json = intern("json");
        Wait::begin();
        if (held_first) pipeline_id_ = pipeline_id_of(call_method(attr(command, "response"), json));
        log("info", "Waiting for status %s of %s ...", until_, subject());
    }

    // "pipeline p1", "preview 3f2a of pipeline p1", "snapshot s1 of pipeline p1"; "command 2" for wait_all's
    // third command when the answer it holds names no pipeline.
    nb::object subject() const {
        const nb::str noun(kind_.noun);
        if (kind_.pipeline && pipeline_id_.is_none() && place_.is_valid())
            return format("command {}", place_);
        if (kind_.pipeline) return format("{} {}", noun, pipeline_id_);
        nb::object id = attr(command, &kind_ == &snapshot ? "snapshot_name" : "previewer_id");
        return format("{} {} of pipeline {}", noun, id, attr(command, "pipeline_id"));
    }

    // Whether what ended the wait was raised by on_progress.
    bool callback_failed() const { return callback_failed_; }

private:
    nb::object poll() override {
        static const nb::handle status = intern("get_pipeline_status");
        try {
            if (kind_.pipeline)
                return attr(call_method(attr(command, "api_client"), status, pipeline_id_), "response");
            return run_status(command, &kind_ == &snapshot);
        } catch (nb::python_error &e) {
            if (!truthy(call(attr(waits_module, "is_transient"), e.value(), global("requests")))) throw;
            release(failure);
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
        if (!on_progress_.is_none()) {
            nb::object event = call(global("WaitProgress"), status, nb::float_(elapsed),
                                    nb::float_(std::max(limit - elapsed, 0.0)), nb::int_(polls), record);
            try {
                if (place_.is_valid())
                    call(on_progress_, place_, event);
                else
                    call(on_progress_, event);
            } catch (nb::python_error &) {
                callback_failed_ = true;
                throw;
            }
        }
        if (contains(targets_, status)) {
            log("info", "%s reached status %s (took %.2f s).", subject(), status, elapsed);
            return true;
        }
        if (kind_.pipeline) raise_if_error(status, record);
        if (!contains(stop_on_, status)) return false;
        static const nb::handle stop_kw = keywords({"pipeline_id"});
        nb::object text = call(attr(waits_module, "stop_message"), subject(), status, until_, record);
        raise(call_kw(global("UnexpectedStatusError"), stop_kw, record, status, text, pipeline_id()));
    }

    nb::object pipeline_id() override {
        return kind_.pipeline ? nb::borrow(pipeline_id_) : attr(command, "pipeline_id");
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
    nb::object place_;
    bool callback_failed_ = false;  // what ended the wait was raised by on_progress
    nb::object targets_;
    nb::object stop_on_;
    nb::object pipeline_id_ = nb::none();
};

// The kind of wait `command` takes: that of the most derived of our classes it is an instance of, or null.
const Kind *kind_of(nb::handle command) {
    static const std::pair<const char *, const Kind *> kinds[] = {
        {"StartPipelineCommand", &started}, {"StopPipelineCommand", &stopped},
        {"PipelineCommand", &pipeline},     {"ValidateCommand", &validation},
        {"PreviewCommand", &preview},       {"ConnectionValidateCommand", &connection},
        {"SnapshotCommand", &snapshot}};
    for (const auto &[name, kind] : kinds)
        if (is_instance(command, global(name))) return kind;
    return nullptr;
}

// The waits of several commands, driven together: each round takes one record of every run still going,
// then one pause for all of them. Every run is its own SteerableWait, with its own targets, deadline and
// status requests, so it ends exactly as its wait() would; what differs is only that the pause fits the
// nearest deadline of all.
nb::object wait_all(nb::handle commands, nb::handle until, nb::handle timeout, nb::handle poll_interval,
                    nb::handle backoff, nb::handle max_interval, nb::handle stop_on, nb::handle on_progress,
                    nb::handle cancel_event, nb::handle fail_fast) {
    // The list holds the commands for as long as their waits run (each wait borrows its command).
    const nb::object list = call(attr(waits_module, "commands_of"), commands);
    std::vector<std::unique_ptr<SteerableWait>> waits;
    for_each(list, [&](nb::handle command) {
        const Kind *kind = kind_of(command);
        if (!kind)
            raise_message(PyExc_TypeError, format("wait_all() takes commands that can wait; item {} is {!r}",
                                                  waits.size(), command));
        waits.push_back(std::make_unique<SteerableWait>(*kind, command, until, timeout, poll_interval,
                                                        backoff, max_interval, stop_on, on_progress,
                                                        cancel_event, nb::int_(waits.size())));
    });
    const size_t count = waits.size();
    if (count == 0) {
        // Nothing to wait for, but the arguments are still checked.
        wait_settings(started, until, timeout, poll_interval, backoff, max_interval, stop_on, on_progress,
                      cancel_event);
        return nb::list();
    }
    const bool fast = truthy(fail_fast);
    nb::list outcomes;
    for (size_t i = 0; i < count; ++i) outcomes.append(nb::none());
    size_t ended = 0;
    auto settle = [&](size_t i, nb::object outcome) {
        PyList_SetItem(outcomes.ptr(), (Py_ssize_t)i, outcome.release().ptr());
        ++ended;
    };
    nb::object first_failure;
    auto fail = [&]() {
        nb::list subjects;
        for (const auto &wait : waits) subjects.append(wait->subject());
        nb::object text = call(attr(waits_module, "wait_all_message"), subjects, outcomes);
        nb::object error = call(global("WaitAllError"), outcomes, text);
        set_attr(error, "__cause__", first_failure);
        raise(error);
    };
    // Runs one step of run i's wait. What its own wait() would raise is its outcome; what on_progress
    // raises, or what is not an Exception (KeyboardInterrupt), ends wait_all as it came.
    std::vector<size_t> live, going;
    auto step = [&](size_t i, auto &&body) {
        try {
            body();
            return true;
        } catch (nb::python_error &e) {
            if (waits[i]->callback_failed() || !e.matches(PyExc_Exception)) throw;
            nb::object error = exception_of(e);
            if (!first_failure.is_valid()) first_failure = error;
            settle(i, error);
            if (fast) fail();
            return false;
        }
    };
    // Checked before each run's turn, as wait() checks it after each read: a cancel waits for the request
    // in flight, never for a whole round.
    auto check_cancel = [&]() {
        if (!is_set(cancel_event)) return;
        raise(call(global("WaitCancelledError"),
                   format("The wait for {} runs was cancelled ({} still going)", count, count - ended)));
    };

    Stopwatch clock;
    for (size_t i = 0; i < count; ++i)
        if (step(i, [&] { waits[i]->begin(); })) live.push_back(i);
    // As in each run's own wait, no retry of a request pauses past that run's deadline: one scope for all
    // runs when they share their deadline (the common case), else one per request.
    const bool one_deadline = std::all_of(waits.begin(), waits.end(), [&](const auto &wait) {
        return wait->time_out() == waits.front()->time_out();
    });
    std::optional<DeadlineScope> deadline;
    if (one_deadline) deadline.emplace(waits.front()->time_out());
    while (!live.empty()) {
        going.clear();
        for (size_t i : live) {
            check_cancel();
            SteerableWait &wait = *waits[i];
            nb::object record;
            const bool ok = step(i, [&] {
                bool again = true;
                while (again) {
                    again = false;
                    const double elapsed = clock.read();
                    wait.check_deadline(elapsed);
                    std::optional<DeadlineScope> own;
                    if (!one_deadline) own.emplace(wait.time_out() - elapsed);
                    record = wait.take(clock, again);
                }
            });
            if (!ok) continue;
            if (record.is_valid())
                settle(i, record);
            else
                going.push_back(i);
        }
        live.swap(going);
        if (live.empty()) continue;
        check_cancel();
        const double elapsed = clock.read();
        double seconds = waits[live.front()]->pause(elapsed);
        for (size_t i : live) seconds = std::min(seconds, waits[i]->pause(elapsed));
        if (seconds <= 0) continue;
        sleep(nb::float_(seconds));
        for (size_t i : live) waits[i]->paused();
    }
    if (first_failure.is_valid()) fail();
    return std::move(outcomes);
}

// Every class's wait, with its class's defaults in place (with_defaults).
const char *const wait_literal = R"(
wait(self, until: str | typing.Iterable[str] | None = None, *, timeout_sec: float | None = None,
     poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0,
     stop_on: typing.Iterable[str] | None = None,
     on_progress: typing.Callable[[WaitProgress], object] | None = None,
     cancel: threading.Event | None = None) -> dict[str, typing.Any]
Poll the {noun} until its status is ``until`` ({until}) and return the final status record.
Time-out {timeout_sec} s.

Args:
    until: the status, or several, that end the wait and return.
    timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
    poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
        ``max_interval``, and never past the time-out.
    stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
        STOPPED when not waited for; for validation and preview runs also INVALID and the error
        statuses).
    on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
    cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
time-out (WaitTimeoutError.last_failure names the last); a TLS failure and other HTTP errors end the
wait. ``response`` holds the last answer read.

Returns:
    The final status record (a dict).

Raises:
    WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
)";

template <const Kind &kind>
void bind_wait(nb::module_ &m, const char *class_name) {
    def_wait(nb::object(m.attr(class_name)), kind, "wait.wait", wait_literal,
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
    nb::object function = def_method(m, "wait_all", R"(
wait_all(commands: typing.Iterable[Command], until: str | typing.Iterable[str] | None = None, *,
         timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0,
         max_interval: float = 30.0, stop_on: typing.Iterable[str] | None = None,
         on_progress: typing.Callable[[int, WaitProgress], object] | None = None,
         cancel: threading.Event | None = None, fail_fast: bool = False) -> list[dict[str, typing.Any]]
Wait for several runs at once, on the caller's thread, and return their final status records
once every run has reached its target.

Each command is waited on as its own ``wait()`` would, with the same keywords: its class's
default target and time-out when ``until`` or ``timeout_sec`` is None, the statuses that end
it early, its connection failures polled through. Each round sends one status request per
run still going (a pipeline command's first record is the answer it holds), then pauses once,
as ``wait()`` does between polls; no pause runs past the nearest time-out. Nothing is stopped
on the engine.

Args:
    commands: the commands whose runs to wait for (an iterable; a generator is read once).
    until: the status, or several, that end each run's wait (default: its class's target).
    timeout_sec: seconds before a run's WaitTimeoutError (default: its class's time-out).
    poll_interval: seconds between rounds; each pause is ``backoff`` times the last, at most
        ``max_interval``, and never past the nearest time-out.
    backoff: the factor each pause grows by (1: fixed).
    max_interval: the longest pause, in seconds.
    stop_on: statuses that end a run at once with UnexpectedStatusError (default: as for
        ``wait()``).
    on_progress: called with the command's place in ``commands`` and a WaitProgress after
        each status read; what it raises ends wait_all as it is.
    cancel: a threading.Event; once set, wait_all ends with WaitCancelledError before the
        next status request or pause (a request in flight completes), however many runs.
    fail_fast: raise as soon as one run ends otherwise than at its target, without waiting for
        the others.

Returns:
    The final status records (dicts), in the order of ``commands``.

Raises:
    WaitAllError: a run ended otherwise (an error or stop status, its time-out, a failed
        request); ``outcomes`` holds each run's record or the exception its ``wait()`` would
        have raised (None for runs still going when ``fail_fast`` ended the wait).
    WaitCancelledError: ``cancel`` was set.
    TypeError: an item of ``commands`` is not a command that can wait.
)",
                                     &wait_all);
    set_attr(function, "__qualname__", nb::str("wait_all"));
}

}  // namespace velm
