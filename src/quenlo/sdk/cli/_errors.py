"""Exit codes, and the one line each expected failure is reported with."""

from __future__ import annotations

import re
from typing import Any, Optional, Tuple

import requests

from ..exceptions import redact_url

DONE = 0
UNEXPECTED = 1
USAGE = 2
BAD_OUTCOME = 2
TIMED_OUT = 3
REFUSED = 4
UNREACHABLE = 5
INTERRUPTED = 130

EXIT_CODES_HELP = """\
exit codes:
  0    done
  1    an unexpected failure (--debug shows its traceback)
  2    a usage error; or the work ended in an error status, INVALID, or another
       final state than the one waited for (a status or health check that
       finds one also exits 2)
  3    timed out
  4    the engine refused the request (its message follows on one line)
  5    the engine could not be reached
  130  interrupted: Ctrl-C stops waiting (the work goes on on the engine)
"""


class Failure(Exception):
    """An expected failure: ``code`` is the exit code, the message the line printed."""

    BAD_OUTCOME = BAD_OUTCOME
    TIMED_OUT = TIMED_OUT
    REFUSED = REFUSED
    UNREACHABLE = UNREACHABLE
    INTERRUPTED = INTERRUPTED

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


class UsageError(Exception):
    """Something wrong with what the user gave (a malformed value, an unreadable file): exit 2."""


# requests buries the socket's own words ("Connection refused") deep in its message.
_SOCKET_REASON = re.compile(r"\[Errno -?\d+\] ([^'\")\]]+)")


def refusal(error: requests.HTTPError) -> str:
    """``the engine refused GET <url>: 404 Not Found: <the engine's message>``."""
    response = error.response
    status = getattr(error, "status_code", None) or (response.status_code if response is not None else None)
    reason = getattr(response, "reason", None) or ""
    method = getattr(error, "method", None) or getattr(getattr(response, "request", None), "method", None)
    url = getattr(error, "url", None) or getattr(response, "url", None)
    text = "the engine refused"
    if method and url:
        text += f" {method} {redact_url(url)}"
    text += f": {status} {reason}".rstrip() if status else ""
    engine_message = getattr(error, "engine_message", None)
    if engine_message:
        text += f": {engine_message}"
    elif not status:
        text += f": {error}"
    return text


def _status_of(error: Any) -> Optional[str]:
    status = getattr(error, "status", None)
    if status is None and isinstance(getattr(error, "response", None), dict):
        status = error.response.get("status")
    return status


def describe(error: BaseException, subject: Optional[str] = None) -> Tuple[int, str]:
    """The exit code and the one-line report of an expected failure; ``(UNEXPECTED, ...)`` for anything else."""
    from .. import velm_api

    where = f"{subject}: " if subject else ""
    if isinstance(error, Failure):
        return error.code, str(error)
    if isinstance(error, UsageError):
        return USAGE, str(error)
    if isinstance(error, KeyboardInterrupt):
        return INTERRUPTED, "interrupted"
    if isinstance(error, requests.ConnectionError):
        # A connect time-out is a kind of both; the engine was not reached, so it is reported as unreachable.
        match = _SOCKET_REASON.search(str(error))
        reason = match.group(1).strip() if match else type(error).__name__
        url = getattr(error.request, "url", None) if error.request is not None else None
        return UNREACHABLE, f"cannot reach the engine{' at ' + redact_url(url) if url else ''}: {reason}"
    if isinstance(error, requests.Timeout):
        return TIMED_OUT, "the engine did not answer in time (--timeout-http)"
    if isinstance(error, requests.HTTPError):
        return REFUSED, refusal(error)
    if isinstance(error, velm_api.StatusError):
        status = _status_of(error)
        message = getattr(error, "message", None)
        text = f"{where}ended in {status}" if status else f"{where}ended in an error status"
        return BAD_OUTCOME, f"{text}: {message}" if message else text
    if isinstance(error, TimeoutError):
        last = getattr(error, "last_status", None)
        return TIMED_OUT, f"{where}{error}" + (f" (last status {last})" if last else "")
    return UNEXPECTED, f"unexpected {type(error).__name__}: {error} (--debug shows the traceback)"
