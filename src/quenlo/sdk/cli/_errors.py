"""Exit codes, the one line each expected failure is reported with, and the error document of ``--json``."""

from __future__ import annotations

import json
import re
import ssl
from typing import Any, Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import urlsplit

import requests

from ..exceptions import redact_url, tls_failure_reason


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
        "(standard output included), or a setting velm checks before any request: a CA, certificate or key file "
        "that does not exist (VELM_CA_BUNDLE and REQUESTS_CA_BUNDLE included), credentials HTTP basic "
        "authentication cannot send",
    ),
    ExitCode(
        3,
        "timed-out",
        "timed out: the wait's --timeout, or an HTTP request's --timeout-http (an engine that accepts the "
        "connection and then stays silent, or stops half-way through its answer)",
    ),
    ExitCode(4, "refused", "the engine refused the request (its message follows on one line)"),
    ExitCode(
        5,
        "unreachable",
        "the engine could not be reached (connection failed, connect time-out) or was unavailable (502, 503 or "
        "504 still answered after the probe and the retries), or a start's answer did not come in time (the run may "
        "have started: retry with --attach): worth a retry later",
    ),
    ExitCode(
        6,
        "not-engine",
        "the answer was not the engine's: a body that is not its JSON, such as a proxy's or a sign-in page (the "
        "status, content type and start of the body follow); check --url",
    ),
    ExitCode(
        7,
        "config",
        "velm is set up wrong, and no retry fixes it: the engine's TLS certificate is not trusted (--ca-bundle, "
        "VELM_CA_BUNDLE), a CA, certificate or key file cannot be used, the engine asks for a client certificate "
        "and none was given (--cert, VELM_CERT) or refuses the one given, the URL's scheme does not match the "
        "port (https:// at a port that speaks HTTP), or the credentials cannot be sent",
    ),
    ExitCode(70, "unexpected", "an unexpected failure (--debug shows the traceback)"),
    ExitCode(130, "interrupted", "interrupted: Ctrl-C stops waiting, and the work goes on on the engine"),
)
DONE, BAD_OUTCOME, USAGE, TIMED_OUT, REFUSED, UNREACHABLE, NOT_ENGINE, CONFIG, UNEXPECTED, INTERRUPTED = (
    e.code for e in EXIT_CODES
)
_KIND = {e.code: e.kind for e in EXIT_CODES}
_CODE = {e.kind: e.code for e in EXIT_CODES}

# Every exit code, from the worst outcome to the best: a command on several runs exits with the first of these
# that one of its runs had. What no retry fixes comes before what a retry may (5, then 3), so that a job which
# retries on those codes never retries a run that failed or a misconfiguration.
RANKING = (INTERRUPTED, BAD_OUTCOME, CONFIG, USAGE, REFUSED, NOT_ENGINE, UNEXPECTED, UNREACHABLE, TIMED_OUT, DONE)


def ranking_text() -> str:
    """The ranking as ``velm --help`` states it: ``130 interrupted, then 1 failed, ...``."""
    return ", then ".join(f"{code} {kind_of(code)}" for code in RANKING)


def exit_codes_help(width: int = 80) -> str:
    """The exit codes as the epilog of ``velm --help`` shows them."""
    import textwrap

    lines = ["exit codes (and the kind the --json error document names):"]
    for entry in EXIT_CODES:
        wrapped = textwrap.wrap(f"{entry.kind}: {entry.meaning}", width=width - 7)
        lines.append(f"  {entry.code:<4} {wrapped[0]}")
        lines.extend(f"       {line}" for line in wrapped[1:])
    return "\n".join(lines) + "\n"


def error_document(code: int, message: str, error: Optional[BaseException] = None) -> Dict[str, Any]:
    """What ``--json`` prints for any failure, usage errors included: ``{"error", "exitCode", "kind"}``, and
    ``httpStatus`` and ``engineCode`` when an answer of the engine (or of what stands in front of it) said why."""
    return {"error": message, "exitCode": code, "kind": kind_of(code), **http_details(error)}


def http_details(error: Optional[BaseException]) -> Dict[str, Any]:
    """``{"httpStatus": 503, "engineCode": "PIPELINE_STATE"}`` of the failed answer behind ``error`` (itself or
    what it was raised from), each only where there was one; the engine's code is that of its error document."""
    seen = 0
    while error is not None and seen < 20:
        response = getattr(error, "response", None)
        if isinstance(error, requests.HTTPError) and response is not None:
            found: Dict[str, Any] = {"httpStatus": response.status_code}
            try:
                body = response.json()
            except Exception:  # noqa: BLE001 - a body that is not JSON has no engine code
                body = None
            inner = body.get("error") if isinstance(body, dict) else None
            if isinstance(inner, dict) and isinstance(inner.get("code"), str):
                found["engineCode"] = inner["code"]
            return found
        # A wait that ran out of time names the failure it last polled through.
        error, seen = getattr(error, "last_failure", None) or error.__cause__, seen + 1
    return {}


def kind_of(code: int) -> str:
    """The ``kind`` that names exit code ``code`` in the error document."""
    return _KIND.get(code, "unexpected")


def code_of(kind: str) -> int:
    """The exit code that ``kind`` names (a failure kind of :mod:`quenlo.sdk.doctor` included)."""
    return _CODE[kind]


class Failure(Exception):
    """An expected failure: ``code`` is the exit code, the message the line printed."""

    BAD_OUTCOME = BAD_OUTCOME
    CONFIG = CONFIG
    TIMED_OUT = TIMED_OUT
    REFUSED = REFUSED
    UNREACHABLE = UNREACHABLE
    NOT_ENGINE = NOT_ENGINE
    INTERRUPTED = INTERRUPTED

    def __init__(self, code: int, message: str, documented: bool = False) -> None:
        super().__init__(message)
        self.code = code
        # The --json output already holds the error document's fields (a wait on several runs prints them in
        # its result record), so none is added.
        self.documented = documented


class UsageError(Exception):
    """Something wrong with what the user gave (a malformed value, an unreadable file): exit 2."""


# requests buries the socket's own words ("Connection refused") deep in its message.
_SOCKET_REASON = re.compile(r"\[Errno -?\d+\] ([^'\")\]]+)")
# The connection pool's own words, which say nothing to a user: "HTTPConnectionPool(host=..., port=...): ".
_POOL_TEXT = re.compile(r"HTTPS?Connection(?:Pool)?\([^)]*\):?\s*")

# Statuses that say the engine cannot serve now (a proxy in front of it, or the engine itself): worth a retry.
UNAVAILABLE_STATUSES = (502, 503, 504)
# How much of an answer that is not the engine's the line quotes.
_BODY_START = 80


def _causes(error: BaseException) -> List[BaseException]:
    """``error`` and everything it wraps, outermost first: requests and urllib3 nest the socket's or TLS's own
    error in their arguments, in ``reason`` and in the exception chain."""
    found: List[BaseException] = []
    pending: List[Any] = [error]
    while pending:
        item = pending.pop(0)
        if not isinstance(item, BaseException) or any(item is seen for seen in found):
            continue
        found.append(item)
        pending.extend([*item.args, getattr(item, "reason", None), item.__cause__, item.__context__])
    return found


def _no_answer(error: BaseException) -> str:
    """Why no answer came, in the words of the socket, without the connection pool's text."""
    match = _SOCKET_REASON.search(str(error))
    if match:
        return match.group(1).strip()
    if isinstance(error, requests.ConnectTimeout):
        return "no connection within the time-out (--timeout-http)"
    if isinstance(error, requests.exceptions.ChunkedEncodingError):
        return "the connection broke off in the middle of the answer"
    # The innermost error that is not the HTTP stack's own wrapping (http.client's "Remote end closed ...").
    for cause in reversed(_causes(error)):
        if not type(cause).__module__.startswith(("requests", "urllib3")):
            text = _POOL_TEXT.sub("", str(cause)).strip()
            return text or type(cause).__name__
    return type(error).__name__


# What to do about a TLS failure, by the words of its reason.
_TLS_HINTS = (
    (
        "certificate verify failed",
        "--ca-bundle FILE or VELM_CA_BUNDLE names the CA to trust, --insecure skips the check",
    ),
    ("client certificate required", "--cert FILE and --key FILE, or VELM_CERT and VELM_KEY, give one"),
    ("during the TLS handshake", "--cert FILE and --key FILE, or VELM_CERT and VELM_KEY, give one the engine trusts"),
    ("client certificate refused", "is --cert a certificate of the CA the engine trusts?"),
    ("CA bundle", "--ca-bundle or VELM_CA_BUNDLE"),
    ("client certificate", "--cert and --key, or VELM_CERT and VELM_KEY"),
)
# requests' own errors for a CA bundle, certificate or key file it cannot find (they quote the path).
_MISSING_TLS_FILE = re.compile(r"^Could not find (?:a suitable TLS CA certificate bundle|the TLS \w+ file)")


def _origin(url: str) -> str:
    """``scheme://host:port`` of ``url``: where a connection goes, without the path of the request."""
    parts = urlsplit(url)
    return f"{parts.scheme}://{parts.netloc}" if parts.netloc else url


def _set_up_wrong(error: BaseException) -> Optional[str]:
    """The line of a failure that no retry fixes because of how velm is set up (a certificate, a file, a scheme,
    credentials), or None for any other failure."""
    if isinstance(error, requests.exceptions.SSLError) or any(isinstance(c, ssl.SSLError) for c in _causes(error)):
        reason = tls_failure_reason(error) or _no_answer(error)
        hint = next((hint for words, hint in _TLS_HINTS if words in reason), None)
        url = getattr(getattr(error, "request", None), "url", None)
        where = f" to {redact_url(_origin(url))}" if url else ""
        return f"the TLS connection{where} failed: {reason}" + (f"; {hint}" if hint else "")
    if isinstance(error, OSError) and _MISSING_TLS_FILE.match(str(error)):
        return "a CA bundle, client certificate or key file does not exist (--ca-bundle, --cert, --key)"
    if isinstance(error, ValueError) and "basic authentication cannot send" in str(error):
        return f"the credentials cannot be sent: {error}"
    return None


def _timed_out(error: BaseException) -> bool:
    """A request that ran out of time after it reached the engine (a body that stalls after its headers included,
    which the transport raises as a read time-out); a connect time-out is not: the engine was not reached."""
    return isinstance(error, requests.Timeout) and not isinstance(error, requests.ConnectTimeout)


def _request_text(error: Any) -> str:
    """`` GET <url>`` of the request ``error`` concerns (credentials hidden), or nothing when unknown."""
    response = getattr(error, "response", None)
    method = getattr(error, "method", None) or getattr(getattr(response, "request", None), "method", None)
    url = getattr(error, "url", None) or getattr(getattr(response, "request", None), "url", None)
    url = url or getattr(response, "url", None)
    return f" {method} {redact_url(url)}" if method and url else ""


def what_came_back(response: Any) -> str:
    """``200 OK, text/html, body '<html>...'``: the status, content type and start of an answer's body."""
    status = f"{response.status_code} {getattr(response, 'reason', None) or ''}".rstrip()
    content_type = response.headers.get("Content-Type") or "no content type"
    try:
        content = response.content or b""
    except Exception:  # noqa: BLE001 - a body that cannot be read must not hide what else came back
        content = b""
    start = " ".join(content[: _BODY_START * 4].decode("utf-8", "replace").split())
    if len(start) > _BODY_START:
        start = start[:_BODY_START] + "..."
    return f"{status}, {content_type}, " + (f"body {redact_url(start)!r}" if start else "no body")


def _is_engine_json(response: Any) -> bool:
    """Whether a failure answer's body is the engine's (JSON) or empty, rather than someone else's page."""
    try:
        content = response.content
    except Exception:  # noqa: BLE001
        return False
    if not content or not content.strip():
        return True
    try:
        json.loads(content)
    except (ValueError, RecursionError):
        return False
    return True


def refusal(error: requests.HTTPError) -> str:
    """``the engine refused GET <url>: 404 Not Found: <the engine's message>``."""
    response = error.response
    status = getattr(error, "status_code", None) or (response.status_code if response is not None else None)
    reason = getattr(response, "reason", None) or ""
    text = "the engine refused" + _request_text(error)
    text += f": {status} {reason}".rstrip() if status else ""
    engine_message = getattr(error, "engine_message", None)
    if engine_message:
        text += f": {engine_message}"
    elif not status:
        text += f": {_POOL_TEXT.sub('', str(error))}"
    return text


def _http_failure(error: requests.HTTPError) -> Tuple[int, str]:
    response = error.response
    status = response.status_code if response is not None else getattr(error, "status_code", None)
    if status in UNAVAILABLE_STATUSES:
        engine_message = getattr(error, "engine_message", None)
        if response is not None and not engine_message:
            return UNREACHABLE, f"the engine is unavailable:{_request_text(error)} answered {what_came_back(response)}"
        return UNREACHABLE, "the engine is unavailable: " + refusal(error)[len("the engine refused ") :]
    if response is not None and not _is_engine_json(response):
        return NOT_ENGINE, _not_engine(error, response)
    return REFUSED, refusal(error)


def _not_engine(error: Any, response: Any) -> str:
    return f"the answer to{_request_text(error)} is not the engine's: {what_came_back(response)} (is --url right?)"


def _status_of(error: Any) -> Optional[str]:
    status = getattr(error, "status", None)
    if status is None and isinstance(getattr(error, "response", None), dict):
        status = error.response.get("status")
    return status


# Errors requests raises for a URL it cannot use; each is also a ValueError.
_BAD_URL = (requests.exceptions.InvalidURL, requests.exceptions.MissingSchema, requests.exceptions.InvalidSchema)


# Members of the engine's status, preview and snapshot records that the waits read without a default.
_RECORD_MEMBERS = ("name", "pipelineId", "status", "previewerId")


def describe(error: BaseException, subject: Optional[str] = None) -> Tuple[int, str]:
    """The exit code and the one-line report of an expected failure; ``(UNEXPECTED, ...)`` for anything else."""
    if isinstance(error, Failure):
        return error.code, str(error)
    if isinstance(error, UsageError):
        return USAGE, str(error)
    # Ctrl-C while the extension loads ends its import with an ImportError (which a new import would repeat).
    if any(isinstance(cause, KeyboardInterrupt) for cause in _causes(error)):
        return INTERRUPTED, "interrupted"
    from .. import velm_api

    where = f"{subject}: " if subject else ""
    if isinstance(error, _BAD_URL):
        # requests quotes the URL as given, credentials and all, and without a scheme no redaction finds them.
        return USAGE, f"the engine URL is not usable ({type(error).__name__}): give it as http(s)://HOST[:PORT][/PATH]"
    if isinstance(error, requests.JSONDecodeError):
        response = getattr(error, "response", None)
        if response is not None:
            return NOT_ENGINE, _not_engine(error, response)
        return NOT_ENGINE, f"an answer is not the engine's JSON: {redact_url(error)}"
    if isinstance(error, KeyError) and error.args and error.args[0] in _RECORD_MEMBERS:
        # The library reads these members of the engine's records as given: an answer without one is not the
        # engine's, whatever its status said.
        return (
            NOT_ENGINE,
            f"{where}an answer is not the engine's: its record has no {error.args[0]!r} (is --url right?)",
        )
    set_up_wrong = _set_up_wrong(error)
    if set_up_wrong is not None:
        return CONFIG, set_up_wrong
    if _timed_out(error):
        return TIMED_OUT, "the engine did not answer in time (--timeout-http, or what was left of the wait's time-out)"
    if isinstance(error, (requests.ConnectionError, requests.exceptions.ChunkedEncodingError)):
        # A connect time-out is a kind of both ConnectionError and Timeout: the engine was not reached.
        request = getattr(error, "request", None)
        url = getattr(request, "url", None)
        return UNREACHABLE, f"cannot reach the engine{' at ' + redact_url(url) if url else ''}: {_no_answer(error)}"
    if isinstance(error, requests.exceptions.RetryError):
        return UNREACHABLE, f"the engine is unavailable: still failing after the retries ({_no_answer(error)})"
    if isinstance(error, requests.exceptions.TooManyRedirects):
        return NOT_ENGINE, "the answer is not the engine's: redirected again and again (is --url right?)"
    if isinstance(error, requests.HTTPError):
        return _http_failure(error)
    if isinstance(error, velm_api.StatusError):
        status = _status_of(error)
        message = getattr(error, "message", None)
        text = f"{where}ended in {status}" if status else f"{where}ended in an error status"
        return BAD_OUTCOME, f"{text}: {message}" if message else text
    if isinstance(error, TimeoutError):
        last = getattr(error, "last_status", None)
        return TIMED_OUT, f"{where}{error}" + (f" (last status {last})" if last else "")
    text = _POOL_TEXT.sub("", redact_url(error))
    return UNEXPECTED, f"unexpected {type(error).__name__}: {text} (--debug shows the traceback)"
