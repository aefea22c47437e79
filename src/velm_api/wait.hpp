// The one wait loop of the command classes: deadline, pacing, status reads, cancel and time-out. Every wait a
// command offers is a preset of it, a subclass that says how a status is requested and what ends the wait.
// Like every call into Python, the loop's go through the exit-safe primitives of python_glue.hpp.
#pragma once

#include <string>

#include "python_glue.hpp"

namespace velm {

// What a command class's waits wait for by default, for how long, and how logs and messages name what is
// waited for. Its wait() and its other waits (wait_for_finished, wait_for_validate, ...) take these, written
// only here.
struct Kind {
    const char *until;  // nullptr: the caller must say
    int timeout_sec;
    const char *noun;
    bool pipeline;  // reads pipeline status records, the first from the answer the command holds
};

inline constexpr Kind pipeline{nullptr, 300, "pipeline", true}, started{"FINISHED", 300, "pipeline", true},
    stopped{"STOPPED", 300, "pipeline", true}, validation{"VALID", 60, "validation", false},
    preview{"FINISHED", 30, "preview", false}, connection{"FINISHED", 120, "connection validation", false},
    snapshot{"FINISHED", 30, "snapshot", false};

// A method's literal (see def_method) with the defaults of `kind` in place of "{timeout_sec}", "{noun}" and
// "{until}" ("default FINISHED", or "required here" where the caller must say).
std::string with_defaults(const char *literal, const Kind &kind);

// def_method with the defaults of `kind` in its literal.
template <typename Body>
nb::object def_wait(nb::handle cls, const Kind &kind, const char *name, const char *literal, Body body) {
    return def_method(cls, name, with_defaults(literal, kind).c_str(), body);
}

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

class Wait {
public:
    virtual ~Wait() = default;

    // Read status records until reached() says the wait is over, and return the record that ended it.
    // Raises WaitTimeoutError once timeout_sec has passed (tested before each cycle: a cycle that has begun
    // completes), and WaitCancelledError once `cancel` is set.
    nb::object run();

    // The steps of run()'s cycle, which wait_all also takes for each of several waits on one clock.
    // Before the first cycle.
    void begin();
    // Raise WaitTimeoutError when `elapsed` has reached the time-out.
    void check_deadline(double elapsed);
    // Read one status record: the answer the command holds, or a request's. Returns the record when it ends
    // the wait, an invalid object otherwise; `again` is set when the engine is to be asked again at once.
    nb::object take(Stopwatch &clock, bool &again);
    // The pause after a cycle that ended `elapsed` seconds in: the interval, cut to the time left when no
    // pause may run past the time-out (none left: 0 or less, the next cycle runs at once).
    double pause(double elapsed) const;
    // After the pause: the next interval, and the request of a wait that refreshes its answer.
    void paused();
    // The time-out in seconds, once begun.
    double time_out() const { return limit; }

protected:
    Wait(nb::handle command, nb::handle timeout_sec)
        : command(command), timeout_sec(nb::borrow(timeout_sec)) {}

    // One status request; its response, or an invalid object for a failure that is polled through (kept in
    // `failure`, the time-out's cause should the wait run out of time).
    virtual nb::object poll() = 0;
    // Whether `record`, a status record just read, ends the wait; may raise to end it. `elapsed`: seconds
    // since the wait began.
    virtual bool reached(nb::handle record, double elapsed) = 0;
    // The message of WaitTimeoutError and of WaitCancelledError.
    virtual nb::object timed_out() = 0;
    virtual nb::object cancelled() { return nb::none(); }

    nb::handle command;
    nb::object timeout_sec;  // as given: the messages and WaitTimeoutError show it so
    double limit = 0;        // timeout_sec as a number, once the wait runs
    double interval = 1;     // the first pause; each later one is `growth` times the last, at most `ceiling`
    double growth = 1;
    double ceiling = 1;
    bool held_first = false;    // the first record is the answer the command holds, with no request
    bool held_next = false;     // the next record is that answer
    bool refresh = false;       // every record is the answer held, requested again right after each pause
    bool empty_again = false;   // an answer with no body is requested again at once, with no pause
    bool fit_deadline = false;  // no pause runs past the time-out
    bool log_bodies = false;    // each answer's body is logged at DEBUG
    nb::object cancel = nb::none();
    nb::object last_status = nb::none();  // what WaitTimeoutError reports
    Owned failure;   // the failure of the latest request, when polled through (it may hold the response)
    long polls = 0;  // status requests sent so far
};

// The response of command.api_client.get_<preview|snapshot>_status(pipeline_id=..., <previewer_id |
// snapshot_name>=...), for the run a preview or snapshot command holds.
nb::object run_status(nb::handle command, bool snapshot);

// Raise the StatusError subclass that PipelineCommand.ERROR_STATUSES gives for `status`, if any, with
// `record`.
void raise_if_error(nb::handle status, nb::handle record);

// The waits' Python companion module, quenlo.sdk.waits, set by init_wait_classes for the interpreter's life.
extern nb::handle waits_module;

// Bind the exception and progress classes of the waits (StatusError and its family, WaitTimeoutError,
// UnexpectedStatusError, WaitCancelledError, WaitProgress) from their Python companion module.
void init_wait_classes(nb::module_ &m);

// Bind `wait` on every command class that polls, and the module's wait_all (the classes must exist).
void init_waits(nb::module_ &m);

}  // namespace velm
