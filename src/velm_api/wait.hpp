// The steerable wait of the command classes, and the exceptions and progress event of every wait.
#pragma once

#include "python_glue.hpp"

namespace velm {

// Create WaitTimeoutError, UnexpectedStatusError, WaitCancelledError and WaitProgress (StatusError must
// exist).
void init_wait_types(nb::module_ &m);

// Bind `wait` on every command class that polls (the classes must exist).
void init_waits(nb::module_ &m);

// Raise WaitTimeoutError(message) for a wait of `command` that ran out of time: it keeps the time-out, the
// seconds the wait took, the command's last response and the last status the wait read (None if none).
[[noreturn]] void raise_wait_timeout(nb::handle command, nb::handle message, nb::handle timeout_sec,
                                     nb::handle elapsed, nb::handle last_status);

}  // namespace velm
