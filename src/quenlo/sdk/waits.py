"""The exceptions and the progress event of the command waits.

These are the classes of :mod:`quenlo.sdk.velm_api` that the waits raise and report with. They are plain Python
classes, bound into that module under the same names (the very same objects), and they name it as their module,
so tracebacks and pickles refer to them where users import them: ``quenlo.sdk.velm_api.RunError``.

The extension's wait loop (src/velm_api/wait.cpp) also calls the functions below for what runs once per wait
or only on a failure: the check of ``wait()``'s arguments, whether a failed status read is polled through, and
the message of a status that ends a wait early.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Type, Union

import requests

from .utils import seconds_of

__all__ = [
    "ConnectError",
    "RunError",
    "RunningError",
    "StartError",
    "StatusError",
    "UnexpectedStatusError",
    "WaitAllError",
    "WaitCancelledError",
    "WaitProgress",
    "WaitTimeoutError",
]


class StatusError(Exception):
    """Parent class for pipeline status errors.

    Attributes:
        response: the decoded status record (a dict) that showed the error status.
        message: the record's ``message`` (None when the engine sent none).
    """

    response: Dict[str, Any]
    message: Optional[str]

    def __init__(self, response: Dict[str, Any]) -> None:
        """Keep the status record and its message."""
        self.response = response
        # A record without "message" still reports the pipeline's failure, with no message.
        try:
            message = response["message"]
        except KeyError:
            message = None
        self.message = message
        super().__init__(message)

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from the record, not from the message, so the error crosses process boundaries intact.
        return (type(self), (self.response,))


class StartError(StatusError):
    """Pipeline start error."""


class RunningError(StatusError):
    """Pipeline running error."""


class RunError(StatusError):
    """Pipeline run error."""


class ConnectError(StatusError):
    """Pipeline connect error."""


# PipelineCommand.ERROR_STATUSES: the class a wait raises for each error status of a pipeline.
ERROR_STATUSES: Dict[str, Type[StatusError]] = {
    "START_ERROR": StartError,
    "RUNNING_ERROR": RunningError,
    "RUN_ERROR": RunError,
    "CONNECT_ERROR": ConnectError,
}


class UnexpectedStatusError(StatusError):
    """A wait ended because the work reached a final status other than the one waited for.

    Attributes:
        status: that status ("STOPPED", "INVALID", ...).
        response: the status record (a dict) that showed it.
        message: the record's ``message`` (None when it has none).
    """

    status: str

    def __init__(self, response: Dict[str, Any], status: str, text: Optional[str] = None) -> None:
        """Keep the record and the status that ended the wait; ``text`` is the error's message."""
        super().__init__(response)
        self.status = status
        self.args = (f"The wait ended in status {status}" if text is None else text,)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.response, self.status, str(self)))


class WaitTimeoutError(TimeoutError):
    """A wait ran out of time. A TimeoutError, so also the Exception some waits were documented to raise.

    Attributes:
        timeout_sec: the wait's time-out, as given.
        elapsed: seconds the wait took.
        response: the command's last response (the last answer the wait read).
        last_status: the last status the wait read, or None (none read, or a wait that reads none).
    """

    timeout_sec: Optional[float]
    elapsed: Optional[float]
    response: Optional[requests.Response]
    last_status: Optional[str]

    def __init__(
        self,
        message: str,
        *,
        timeout_sec: Optional[float] = None,
        elapsed: Optional[float] = None,
        response: Optional[requests.Response] = None,
        last_status: Optional[str] = None,
    ) -> None:
        """Keep the message and what the wait saw."""
        super().__init__(message)
        self.timeout_sec = timeout_sec
        self.elapsed = elapsed
        self.response = response
        self.last_status = last_status


class WaitCancelledError(Exception):
    """A wait ended because its cancel event was set."""


class WaitAllError(Exception):
    """``wait_all()`` ended with a run that did not reach its target status.

    Attributes:
        outcomes: one entry per command, in the order given: the final status record (a dict) of a run that
            reached its target, the exception that run's own ``wait()`` would have raised, or None for a run
            still going when ``fail_fast`` ended the wait.
    """

    outcomes: List[Union[Dict[str, Any], Exception, None]]

    def __init__(self, outcomes: Iterable[Union[Dict[str, Any], Exception, None]], text: Optional[str] = None) -> None:
        """Keep the outcomes; ``text`` is the error's message (by default it counts the runs that failed)."""
        self.outcomes = list(outcomes)
        if text is None:
            failed = sum(isinstance(outcome, BaseException) for outcome in self.outcomes)
            text = f"{failed} of {len(self.outcomes)} runs did not reach their target status"
        super().__init__(text)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.outcomes, str(self)))


class WaitProgress:
    """What a wait hands its ``on_progress`` callback after each status it reads.

    Attributes:
        status: the status just read.
        elapsed: seconds since the wait began.
        remaining: seconds left before its time-out.
        polls: status requests the wait has sent so far (a pipeline command's first status comes from
            the answer it holds, with no request).
        record: the status record, a dict.
    """

    __slots__ = ("status", "elapsed", "remaining", "polls", "record")

    status: str
    elapsed: float
    remaining: float
    polls: int
    record: Dict[str, Any]

    def __init__(self, status: str, elapsed: float, remaining: float, polls: int, record: Dict[str, Any]) -> None:
        """Keep what the wait saw."""
        self.status = status
        self.elapsed = elapsed
        self.remaining = remaining
        self.polls = polls
        self.record = record

    def __repr__(self) -> str:
        return (
            f"WaitProgress(status={self.status!r}, elapsed={self.elapsed:.2f}, remaining={self.remaining:.2f}, "
            f"polls={self.polls!r})"
        )


class WaitSettings:
    """A wait's checked settings, as ``wait_settings`` hands them to the wait loop, which reads them by name.

    Attributes:
        until: the statuses waited for, as given (or the class's default): what the messages show.
        targets: those statuses, as a tuple of texts.
        timeout_sec: the time-out, as given (or the class's default).
        interval: the first pause in seconds (at most ``max_interval``).
        backoff: the factor from one pause to the next.
        max_interval: the longest pause in seconds.
        stop_on: the statuses that end the wait at once with UnexpectedStatusError.
    """

    __slots__ = ("until", "targets", "timeout_sec", "interval", "backoff", "max_interval", "stop_on")

    def __init__(
        self,
        *,
        until: object,
        targets: Tuple[str, ...],
        timeout_sec: object,
        interval: float,
        backoff: float,
        max_interval: float,
        stop_on: Tuple[str, ...],
    ) -> None:
        self.until = until
        self.targets = targets
        self.timeout_sec = timeout_sec
        self.interval = interval
        self.backoff = backoff
        self.max_interval = max_interval
        self.stop_on = stop_on

    def __repr__(self) -> str:
        return "WaitSettings(" + ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__) + ")"


def _statuses(value: Any, argument: str) -> Tuple[str, ...]:
    """One status or several, as a tuple of texts."""
    if isinstance(value, str):
        return (value,)
    try:
        iterator = iter(value)
    except TypeError:
        raise TypeError(f"{argument} must be a status or an iterable of statuses, not {value!r}") from None
    statuses = tuple(iterator)
    for status in statuses:
        if not isinstance(status, str):
            raise TypeError(f"{argument} must hold status texts, not {status!r}")
    return statuses


def wait_settings(
    *,
    default_until: Optional[str],
    default_timeout: int,
    error_statuses: Optional[Iterable[str]],
    until: object,
    timeout_sec: object,
    poll_interval: object,
    backoff: object,
    max_interval: object,
    stop_on: object,
    on_progress: object,
    cancel: object,
) -> WaitSettings:
    """Check the arguments of a command's ``wait()`` before its first request and fill in its defaults; the wait
    loop calls it by keyword and reads the result by name.

    ``default_until`` and ``default_timeout`` are the command class's; ``error_statuses``, when not None, also
    end the wait by default (with INVALID), as for validation and preview runs whose other waits would poll
    past them to the deadline.
    """
    if until is None:
        if default_until is None:
            raise TypeError("wait() of a PipelineCommand needs until: the status or statuses to wait for")
        until = default_until
    targets = _statuses(until, "until")
    if not targets:
        raise ValueError("until must name at least one status")
    if timeout_sec is None:
        timeout_sec = default_timeout
    seconds_of(timeout_sec, "timeout_sec", allow_nan=False)
    interval = seconds_of(poll_interval, "poll_interval")
    growth = seconds_of(backoff, "backoff")
    ceiling = seconds_of(max_interval, "max_interval")
    if not interval > 0:
        raise ValueError("poll_interval must be more than 0 seconds")
    if not growth >= 1:
        raise ValueError("backoff must be at least 1 (1 keeps the interval fixed)")
    if not ceiling > 0:
        raise ValueError("max_interval must be more than 0 seconds")
    if stop_on is None:
        # FINISHED and STOPPED end every wait that does not wait for them.
        extra = () if error_statuses is None else ("INVALID", *error_statuses)
        stops = tuple(status for status in ("FINISHED", "STOPPED", *extra) if status not in targets)
    else:
        stops = _statuses(stop_on, "stop_on")
    if on_progress is not None and not callable(on_progress):
        raise TypeError(f"on_progress must be callable, not {on_progress!r}")
    if cancel is not None and not hasattr(cancel, "is_set"):
        raise TypeError(f"cancel must be a threading.Event, not {cancel!r}")
    return WaitSettings(
        until=until,
        targets=targets,
        timeout_sec=timeout_sec,
        interval=min(interval, ceiling),
        backoff=growth,
        max_interval=ceiling,
        stop_on=stops,
    )


def is_transient(error: BaseException, requests_module: Any) -> bool:
    """Whether a wait polls through a failed status read: no connection, a time-out, or a 502, 503 or 504
    answer. ``requests_module`` is the one the client module is bound to (a patched one is honoured)."""
    if isinstance(error, (requests_module.ConnectionError, requests_module.Timeout)):
        return True
    response = getattr(error, "response", None) if isinstance(error, requests_module.HTTPError) else None
    return response is not None and response.status_code in (502, 503, 504)


def stop_message(subject: str, status: str, until: object, record: object) -> str:
    """The message of the UnexpectedStatusError that ends a wait in ``status``, with the record's own message.

    ``subject`` names what was waited for ("pipeline p1"); the message starts with it capitalised."""
    text = f"{subject[:1].upper()}{subject[1:]} reached status {status} while waiting for status {until}"
    message = record.get("message") if isinstance(record, dict) else None
    return f"{text}: {message}" if isinstance(message, str) and message else text


def commands_of(commands: object) -> List[object]:
    """The commands of ``wait_all()`` as a new list (an iterator or a generator is read once); text, which
    iterates by character, is refused."""
    if isinstance(commands, (str, bytes)):
        raise TypeError(f"wait_all() takes an iterable of commands, not {type(commands).__name__}")
    try:
        iterator = iter(commands)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"wait_all() takes an iterable of commands, not {type(commands).__name__}") from None
    return list(iterator)


def _said(error: BaseException) -> str:
    # A StatusError without a message holds None as its argument; that says nothing.
    return "" if not error.args or error.args[0] is None else str(error)


def wait_all_message(subjects: Sequence[str], outcomes: Sequence[object]) -> str:
    """The message of the WaitAllError that ends ``wait_all()``: how many runs failed, and each one's failure,
    named by its subject ("pipeline p1") and the error it ended with."""
    failures = [
        f"{subject}: {type(outcome).__name__}" + (f": {_said(outcome)}" if _said(outcome) else "")
        for subject, outcome in zip(subjects, outcomes)
        if isinstance(outcome, BaseException)
    ]
    text = f"{len(failures)} of {len(outcomes)} runs did not reach their target status"
    going = sum(outcome is None for outcome in outcomes)
    if going:
        text += f" ({going} still going)"
    return f"{text}: {'; '.join(failures)}"


for _cls in (
    StatusError,
    StartError,
    RunningError,
    RunError,
    ConnectError,
    UnexpectedStatusError,
    WaitAllError,
    WaitTimeoutError,
    WaitCancelledError,
    WaitProgress,
):
    _cls.__module__ = "quenlo.sdk.velm_api"
del _cls
