"""The exceptions and the progress event of the command waits.

These are the classes of :mod:`quenlo.sdk.velm_api` that the waits raise and report with. They are plain Python
classes, bound into that module under the same names (the very same objects), and they name it as their module,
so tracebacks and pickles refer to them where users import them: ``quenlo.sdk.velm_api.RunError``.

The extension's wait loop (src/velm_api/wait.cpp) also calls the functions below for what runs once per wait
or only on a failure: the check of ``wait()``'s arguments, whether a failed status read is polled through, and
the message of a status that ends a wait early.
"""

from __future__ import annotations

import functools
import pickle
import re
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Type, Union

import requests

from .exceptions import redact_url
from .transport import tls_refusal
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
        pipeline_id: the pipeline the error is about: as given, else the record's ``pipelineId`` (or ``name``),
            else None.

    The error's text names the pipeline and its status before the record's message ("Pipeline p1 is in status
    RUN_ERROR: disk full"); a record that names no pipeline shows its message alone.
    """

    response: Dict[str, Any]
    message: Optional[str]
    pipeline_id: Optional[str]

    def __init__(self, response: Dict[str, Any], *, pipeline_id: Optional[str] = None) -> None:
        """Keep the status record, its message and the pipeline it is about."""
        self.response = response
        # A record without "message" still reports the pipeline's failure, with no message.
        try:
            message = response["message"]
        except KeyError:
            message = None
        self.message = message
        if pipeline_id is None and isinstance(response, dict):
            pipeline_id = response.get("pipelineId", response.get("name"))
        self.pipeline_id = pipeline_id
        super().__init__(_status_text(pipeline_id, response, message))

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from the record, not from the message, so the error crosses process boundaries intact.
        return (functools.partial(type(self), pipeline_id=self.pipeline_id), (self.response,))


def _status_text(pipeline_id: Any, record: Any, message: Any) -> Any:
    if pipeline_id is None:
        return message
    status = record.get("status") if isinstance(record, dict) else None
    text = f"Pipeline {pipeline_id}" + (f" is in status {status}" if isinstance(status, str) else "")
    return f"{text}: {message}" if message is not None and message != "" else text


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
        pipeline_id: the pipeline the wait was about (for a preview or snapshot, its pipeline), or None.
    """

    status: str

    def __init__(
        self, response: Dict[str, Any], status: str, text: Optional[str] = None, *, pipeline_id: Optional[str] = None
    ) -> None:
        """Keep the record and the status that ended the wait; ``text`` is the error's message."""
        super().__init__(response, pipeline_id=pipeline_id)
        self.status = status
        if text is None:
            text = f"The wait ended in status {status}"
            if self.pipeline_id is not None:
                text = f"The wait for pipeline {self.pipeline_id} ended in status {status}"
        self.args = (text,)

    def __reduce__(self) -> Tuple[Any, ...]:
        rebuild = functools.partial(type(self), pipeline_id=self.pipeline_id)
        return (rebuild, (self.response, self.status, str(self)))


class WaitTimeoutError(TimeoutError):
    """A wait ran out of time. A TimeoutError, so also the Exception some waits were documented to raise.

    Its text is the wait's own message, with the pipeline and the last failure polled through after it:
    "Timed out after 30 seconds while waiting for status FINISHED (pipeline p1; last failure:
    ConnectionError: ...)."

    Attributes:
        timeout_sec: the wait's time-out, as given.
        elapsed: seconds the wait took.
        response: the command's last response (the last answer the wait read).
        last_status: the last status the wait read, or None (none read, or a wait that reads none).
        pipeline_id: the pipeline the wait was about (for a preview or snapshot, its pipeline), or None when
            none was known.
        last_failure: the last failed status read the wait polled through (a connection failure, a time-out,
            a 502, 503 or 504 answer), or None. When the wait's very last read failed so, it is also the
            error's ``__cause__``.
    """

    timeout_sec: float
    elapsed: float
    response: Optional[requests.Response]
    last_status: Optional[str]
    pipeline_id: Optional[str]
    last_failure: Optional[BaseException]

    def __init__(
        self,
        message: str,
        *,
        timeout_sec: float,
        elapsed: float,
        response: Optional[requests.Response] = None,
        last_status: Optional[str] = None,
        pipeline_id: Optional[str] = None,
        last_failure: Optional[BaseException] = None,
    ) -> None:
        """Keep the message and what the wait saw; the message is completed with the pipeline and the failure."""
        details = [] if pipeline_id is None else [f"pipeline {pipeline_id}"]
        if last_failure is not None:
            said = _failure_text(last_failure)
            details.append(f"last failure: {type(last_failure).__name__}" + (f": {said}" if said else ""))
        if details:
            stop = "." if message.endswith(".") else ""
            message = f"{message[: len(message) - len(stop)]} ({'; '.join(details)}){stop}"
        super().__init__(message)
        self.timeout_sec = timeout_sec
        self.elapsed = elapsed
        self.response = response
        self.last_status = last_status
        self.pipeline_id = pipeline_id
        self.last_failure = last_failure

    def __reduce__(self) -> Tuple[Any, ...]:
        # The message is complete already: rebuilt from it and the attributes, not composed again. What cannot
        # cross (a response whose stream is still open, a failure holding a socket) stays behind as None.
        state: Dict[str, Any] = {}
        for name, value in self.__dict__.items():
            try:
                pickle.dumps(value)
            except Exception:  # noqa: BLE001 - whatever stops a value from pickling, the error must not fail
                value = None
            state[name] = value
        return (_rebuilt, (type(self), str(self), state))


# The socket's own words in a connection failure ("Connection refused"), and the connection pool's, which say
# nothing to a user ("HTTPConnectionPool(host=..., port=...): ").
_SOCKET_REASON = re.compile(r"\[Errno -?\d+\] ([^'\")\]]+)")
_POOL_TEXT = re.compile(r"HTTPS?Connection(?:Pool)?\([^)]*\):?\s*")


def _failure_text(error: BaseException) -> str:
    """What a failed status read says, briefly: the socket's reason, else the error's text without the connection
    pool's words; any credentials in a URL hidden."""
    text = str(error)
    reason = _SOCKET_REASON.search(text)
    return redact_url(reason.group(1).strip() if reason else _POOL_TEXT.sub("", text))


def _rebuilt(cls: Type[BaseException], message: str, state: Dict[str, Any]) -> BaseException:
    error = cls.__new__(cls, message)
    BaseException.__init__(error, message)
    error.__dict__.update(state)
    return error


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
    answer. A TLS failure that no retry can fix (a certificate not trusted, a handshake refused) is not.
    ``requests_module`` is the one the client module is bound to (a patched one is honoured)."""
    if isinstance(error, (requests_module.ConnectionError, requests_module.Timeout)):
        return not tls_refusal(error)
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
    # The run is named before each failure: a pipeline's status error says its record's message alone (None
    # says nothing).
    if isinstance(error, StatusError) and not isinstance(error, UnexpectedStatusError):
        return "" if error.message is None else str(error.message)
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
