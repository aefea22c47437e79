"""Exit codes, the one line each expected failure is reported with, and the error document of ``--json``."""

from __future__ import annotations

import re
from typing import Any, Dict, NamedTuple, Optional, Tuple

import requests

from ..exceptions import redact_url


class ExitCode(NamedTuple):
    """One exit code of ``velm``: its number, the ``kind`` the error document names, and what it means."""

    code: int
    kind: str
    meaning: str


# The one table of exit codes: --help, the README and the error document all follow it.
EXIT_CODES = (
    ExitCode(0, "done", "done"),
    ExitCode(
        1,
        "failed",
        "the work failed: a run, validation or preview ended in an error status or in another final state than "
        "the one waited for, a status read found an error status, a health check is RED, or pipelines of an "
        "archive were not imported",
    ),
    ExitCode(
        2,
        "usage",
        "a usage error: a malformed option or value, a missing setting, a file that cannot be read or written "
        "(standard output included)",
    ),
    ExitCode(3, "timed-out", "timed out: the wait's --timeout, or an HTTP read's --timeout-http"),
    ExitCode(4, "refused", "the engine refused the request (its message follows on one line)"),
    ExitCode(5, "unreachable", "the engine could not be reached (connection failed or connect time-out)"),
    ExitCode(70, "unexpected", "an unexpected failure (--debug shows the traceback)"),
    ExitCode(130, "interrupted", "interrupted: Ctrl-C stops waiting, and the work goes on on the engine"),
)
DONE, BAD_OUTCOME, USAGE, TIMED_OUT, REFUSED, UNREACHABLE, UNEXPECTED, INTERRUPTED = (e.code for e in EXIT_CODES)
_KIND = {e.code: e.kind for e in EXIT_CODES}


def exit_codes_help(width: int = 80) -> str:
    """The exit codes as the epilog of ``velm --help`` shows them."""
    import textwrap

    lines = ["exit codes:"]
    for entry in EXIT_CODES:
        wrapped = textwrap.wrap(entry.meaning, width=width - 7)
        lines.append(f"  {entry.code:<4} {wrapped[0]}")
        lines.extend(f"       {line}" for line in wrapped[1:])
    return "\n".join(lines) + "\n"


def error_document(code: int, message: str) -> Dict[str, Any]:
    """What ``--json`` prints for any failure, usage errors included: ``{"error", "exitCode", "kind"}``."""
    return {"error": message, "exitCode": code, "kind": _KIND.get(code, "unexpected")}


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


# Errors requests raises for a URL it cannot use; each is also a ValueError.
_BAD_URL = (requests.exceptions.InvalidURL, requests.exceptions.MissingSchema, requests.exceptions.InvalidSchema)


def _read_timed_out(error: requests.ConnectionError) -> bool:
    """A read that ran out of time on its last retry, which requests raises as a connection error."""
    from urllib3.exceptions import ReadTimeoutError

    reason = getattr(error.args[0] if error.args else None, "reason", None)
    return isinstance(reason, ReadTimeoutError)


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
    if isinstance(error, _BAD_URL):
        # requests quotes the URL as given, credentials and all, and without a scheme no redaction finds them.
        return USAGE, f"the engine URL is not usable ({type(error).__name__}): give it as http(s)://HOST[:PORT][/PATH]"
    if isinstance(error, requests.ConnectionError) and not _read_timed_out(error):
        # Checked before Timeout: a connect time-out is a kind of both, and the engine was not reached.
        match = _SOCKET_REASON.search(str(error))
        if match:
            reason = match.group(1).strip()
        elif isinstance(error, requests.ConnectTimeout):
            reason = "no connection within the time-out (--timeout-http)"
        else:
            reason = type(error).__name__
        url = getattr(error.request, "url", None) if error.request is not None else None
        return UNREACHABLE, f"cannot reach the engine{' at ' + redact_url(url) if url else ''}: {reason}"
    if isinstance(error, (requests.Timeout, requests.ConnectionError)):
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
