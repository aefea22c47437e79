"""The client's HTTP pieces: its session, the adapter and retry policy that carry its retries, and answers whose
JSON errors name the request.

All are internal to :class:`quenlo.sdk.velm_api.ApiClient`: it opens an :class:`EngineSession`, mounts
:class:`RetryingAdapter` when given ``retries=``, and makes every plain :class:`requests.Response` its transport
returns an :class:`EngineResponse`.
"""

from __future__ import annotations

import contextlib
import json
import os
import ssl
import time
import urllib.request
from contextvars import ContextVar
from types import MethodType, TracebackType
from typing import Any, Dict, Iterator, List, Mapping, Optional
from urllib.parse import unquote

import requests
import urllib3
from requests.adapters import HTTPAdapter

from .exceptions import EngineJSONDecodeError, hide_secrets, json_text, redact_url

__all__ = ["BoundedRetry", "EngineResponse", "EngineSession", "RetryingAdapter", "deadline"]

# What bounds a retry's pause besides its own back-off ceiling: the time-out of the request being retried, and
# the time.time() by which the wait or probe that sent it must end. Context variables, so that each thread (and
# each task) has its own.
_REQUEST_TIMEOUT: ContextVar[Optional[float]] = ContextVar("velm_request_timeout", default=None)
_DEADLINE: ContextVar[Optional[float]] = ContextVar("velm_deadline", default=None)


@contextlib.contextmanager
def deadline(seconds: float) -> Iterator[None]:
    """Within the block, no retry pauses past ``seconds`` from now (nor past an enclosing block's deadline)."""
    end = time.time() + seconds
    outer = _DEADLINE.get()
    token = _DEADLINE.set(end if outer is None else min(outer, end))
    try:
        yield
    finally:
        _DEADLINE.reset(token)


def _longest_part(timeout: Any) -> Optional[float]:
    """The longest finite part of a request's time-out (seconds, a (connect, read) pair or a urllib3 Timeout), or
    None when it has none."""
    if isinstance(timeout, urllib3.util.Timeout):
        timeout = (timeout.connect_timeout, timeout.read_timeout)
    parts = timeout if isinstance(timeout, (tuple, list)) else (timeout,)
    numbers = [float(part) for part in parts if isinstance(part, (int, float)) and not isinstance(part, bool)]
    return max(numbers) if numbers else None


class BoundedRetry(urllib3.util.Retry):
    """urllib3's :class:`~urllib3.util.Retry` whose pause before a retry is bounded.

    A Retry-After of an hour would otherwise hold the call for an hour, past its time-out and past the deadline
    of the wait or probe that made it. The pause (Retry-After, else the exponential back-off) is at most the
    back-off ceiling (``backoff_max``), the longest part of the request's time-out, and what is left of the
    enclosing :func:`deadline`, past which no retry is sent; a TLS failure (a certificate not trusted, a
    handshake refused, a protocol mismatch) is not retried at all. A Retry-After that is neither whole seconds nor an
    HTTP date ("-1", "soon", "1.5"), or that cannot be converted (more digits than Python converts, a date past
    the calendar's end), is ignored: the answer is retried after the back-off like any other.
    """

    def parse_retry_after(self, retry_after: str) -> float:
        try:
            return super().parse_retry_after(retry_after)
        # ValueError: more digits than int() takes; OverflowError: a year past what the calendar holds.
        except (urllib3.exceptions.InvalidHeader, ValueError, OverflowError):
            return 0.0  # no pause of its own: the back-off applies

    def increment(
        self,
        method: Optional[str] = None,
        url: Optional[str] = None,
        response: Optional[urllib3.BaseHTTPResponse] = None,
        error: Optional[Exception] = None,
        _pool: Any = None,
        _stacktrace: Optional[TracebackType] = None,
    ) -> BoundedRetry:
        # A TLS failure stays a failure: no retry, and no back-off before it.
        if error is not None and tls_refusal(error):
            raise urllib3.exceptions.MaxRetryError(_pool, url or "", error) from error
        return super().increment(method, url, response, error, _pool, _stacktrace)

    def is_exhausted(self) -> bool:
        # Past the enclosing deadline no retry is sent: its pause would be cut to nothing, and the retries left
        # would go out as a burst. The last answer (or failure) stands, as when the retries run out.
        end = _DEADLINE.get()
        return super().is_exhausted() or (end is not None and time.time() >= end)

    def sleep(self, response: Optional[urllib3.BaseHTTPResponse] = None) -> None:
        pause = 0.0
        if self.respect_retry_after_header and response is not None:
            pause = self.get_retry_after(response) or 0.0
        if not pause > 0:
            pause = self.get_backoff_time()
        limits = [pause, self.backoff_max]
        timeout = _REQUEST_TIMEOUT.get()
        if timeout is not None:
            limits.append(timeout)
        end = _DEADLINE.get()
        if end is not None:
            limits.append(end - time.time())
        pause = min(limits)
        if pause > 0:
            time.sleep(pause)


# A connection that ends in the middle of the handshake: a dropped connection, not a refusal.
_TLS_DROPPED = (ssl.SSLEOFError, ssl.SSLZeroReturnError, ssl.SSLSyscallError)


def tls_refusal(error: BaseException) -> bool:
    """Whether ``error``, what urllib3 hands a retry, is a TLS failure no retry can fix: a certificate that is not
    trusted, a handshake the engine refused (an alert: a client certificate missing or refused, no common cipher
    or version), or a protocol mismatch (TLS spoken to a port that speaks plain HTTP). A connection closed or
    reset during the handshake is a dropped connection, retried like any other."""
    seen: set[int] = set()
    pending = [error]
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        if isinstance(current, ssl.SSLError):
            return not isinstance(current, _TLS_DROPPED)
        # urllib3 keeps what a MaxRetryError stands for as its reason, not always as its cause.
        linked = (getattr(current, "reason", None), *current.args, current.__cause__, current.__context__)
        pending.extend(item for item in linked if isinstance(item, BaseException))
    return False


def _read_timeout(error: requests.exceptions.ConnectionError, request: Any) -> Optional[requests.ReadTimeout]:
    """The :class:`requests.ReadTimeout` that a ConnectionError stands for, or None.

    requests reports a read that timed out as ConnectionError in two places: when urllib3's retries run out on
    one ("Max retries exceeded"), and when a body stalls after its headers ("Read timed out."). Both are slow
    engines, not unreachable ones.
    """
    reason = error.args[0] if error.args else None
    if isinstance(reason, urllib3.exceptions.MaxRetryError):
        reason = reason.reason
    if isinstance(reason, urllib3.exceptions.ReadTimeoutError):
        return requests.ReadTimeout(error.args[0], request=request)
    return None


class RetryingAdapter(HTTPAdapter):
    """An :class:`HTTPAdapter` whose retries end in the error a single try would raise.

    When urllib3's retries run out on a read time-out, requests reports "Max retries exceeded" as
    :class:`requests.ConnectionError`; here it is :class:`requests.ReadTimeout`, as without retries, so that a slow
    engine is told apart from one that cannot be reached. Connect time-outs (:class:`requests.ConnectTimeout`) and
    connection failures (:class:`requests.ConnectionError`) come out as requests raises them. The request's
    time-out bounds the pauses of a :class:`BoundedRetry`.
    """

    def send(self, request: requests.PreparedRequest, *args: Any, **kwargs: Any) -> requests.Response:
        token = _REQUEST_TIMEOUT.set(_longest_part(kwargs.get("timeout", args[1] if len(args) > 1 else None)))
        try:
            return super().send(request, *args, **kwargs)
        except requests.exceptions.ConnectionError as error:
            timed_out = _read_timeout(error, request)
            if timed_out is None:
                raise
            raise timed_out from error
        finally:
            _REQUEST_TIMEOUT.reset(token)


def _userinfo(url: Any) -> Optional[str]:
    """The ``user:password`` part of a URL (with or without a scheme), or None."""
    if not isinstance(url, str):
        return None
    scheme, separator, rest = url.partition("://")
    authority = rest if separator else scheme
    for end in "/?#":
        authority = authority.split(end, 1)[0]
    userinfo, at, _ = authority.rpartition("@")
    return userinfo if at else None


def _secrets(session: requests.Session, url: Any, proxies: Any) -> List[str]:
    """Every spelling of the credentials in the URLs a request went to: its own and its proxies'."""
    urls = [url]
    for table in (proxies, session.proxies, urllib.request.getproxies() if session.trust_env else None):
        if isinstance(table, Mapping):
            urls.extend(table.values())
    found = set()
    for userinfo in filter(None, map(_userinfo, urls)):
        found.update({userinfo, unquote(userinfo)})  # each is then hidden in every spelling (hide_secrets)
    return sorted(found, key=len, reverse=True)


def _credentials(auth: Any, secrets: List[str]) -> List[Any]:
    """The usernames and passwords a request may encode: the session's and those of its URLs."""
    found = (
        list(auth) if isinstance(auth, tuple) else [getattr(auth, "username", None), getattr(auth, "password", None)]
    )
    for userinfo in secrets:
        found.extend(unquote(part) for part in userinfo.split(":", 1))
    return found


def _texts(error: BaseException) -> Iterator[str]:
    """What a traceback or a log shows of ``error``: its text and repr, and those of its causes and contexts."""
    seen: set[int] = set()
    pending: List[BaseException] = [error]
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        yield str(current)
        yield repr(current)
        for linked in (current.__cause__, current.__context__, getattr(current, "reason", None), *current.args):
            if isinstance(linked, BaseException):
                pending.append(linked)


def _scrub(text: str, secrets: List[str]) -> str:
    """``text`` with each ``user:password`` of ``secrets`` hidden in any spelling (see :func:`hide_secrets`), then
    any URL's credentials."""
    return redact_url(hide_secrets(text, secrets))


def _header_refused(session: requests.Session, headers: Any, error: Exception) -> Optional[str]:
    """The message for a header that cannot be sent, naming it but never showing its value; None when every
    header can be sent (the refusal was of something else, an answer's header say). ``error`` is requests'
    InvalidHeader, or the UnicodeEncodeError of a value outside Latin-1, which quotes the whole value."""
    merged: Dict[Any, Any] = dict(session.headers)
    if isinstance(headers, Mapping):
        merged.update(headers)
    for name, value in merged.items():
        if isinstance(error, UnicodeEncodeError):
            if isinstance(value, str) and value == error.object:
                return f"The header {name!r} cannot be sent: its value holds a character outside Latin-1 (not shown)"
            continue
        try:
            requests.utils.check_header_validity((name, value))
            # Older requests let a value end in a line end through, for http.client to refuse quoting it.
            ends = ("\r", "\n") if isinstance(value, str) else (b"\r", b"\n") if isinstance(value, bytes) else ()
            if any(end in value for end in ends):
                raise requests.exceptions.InvalidHeader(name)
        except requests.exceptions.InvalidHeader:
            return (
                f"The header {name!r} cannot be sent: its name or value is not text, or holds a line end or leading "
                "white space (the value is not shown)"
            )
    return None


def _without_secrets(
    error: Exception, session: requests.Session, url: Any, kwargs: Mapping[str, Any]
) -> Optional[Exception]:
    """An error of ``error``'s class that says the same without any credential, or None when ``error`` shows
    none. requests quotes URLs (with their ``user:password@``) and header values in its errors, and a password
    that basic authentication cannot encode, or a header value outside Latin-1, in the UnicodeEncodeError's
    repr."""
    response = getattr(error, "response", None)
    # http.client's own refusal of a header value ("Invalid header value b'...'") is a plain ValueError.
    if isinstance(error, (requests.exceptions.InvalidHeader, UnicodeEncodeError)) or (
        type(error) is ValueError and str(error).startswith("Invalid header")
    ):
        refused = _header_refused(session, kwargs.get("headers"), error)
        if refused is not None:
            return requests.exceptions.InvalidHeader(refused, response=response)
    secrets = _secrets(session, url, kwargs.get("proxies"))
    if isinstance(error, UnicodeEncodeError) and error.object in _credentials(session.auth, secrets):
        return ValueError("The username or password holds a character that HTTP basic authentication cannot send")
    if all(_scrub(text, secrets) == text for text in _texts(error)):
        return None
    text = _scrub(str(error), secrets)
    if isinstance(error, requests.RequestException):
        return type(error)(text, response=response)
    try:
        return type(error)(text)
    except Exception:  # noqa: BLE001 - a class that is not made from one message
        return ValueError(text)


# requests' own Session class as imported; a patch of requests.Session replaces the module attribute only.
_REQUESTS_SESSION = requests.Session


def _mended(error: Exception, session: requests.Session, url: Any, kwargs: Mapping[str, Any]) -> Optional[Exception]:
    """The error to raise in place of ``error``, what a request of ``session`` raised, or None to raise it as it
    is: a body that stalled after its headers as :class:`requests.ReadTimeout`, and no credential in any."""
    timed_out = _read_timeout(error, error.request) if isinstance(error, requests.ConnectionError) else None
    if timed_out is not None:
        timed_out.__cause__ = error
    try:
        clean = _without_secrets(timed_out or error, session, url, kwargs)
    except Exception:  # noqa: BLE001 - an error that cannot even be read is raised as it came
        clean = None
    return clean or timed_out


def _explicit_verify(value: Any) -> bool:
    """Whether a session's ``verify`` is one the caller chose over requests' default: False, or a CA bundle (an
    empty path is no bundle, and does not turn verification off)."""
    return value is False or (isinstance(value, (str, os.PathLike)) and bool(value))


class EngineSession(requests.Session):
    """The client's :class:`requests.Session`, with three mends of requests' own behaviour.

    - What the caller set wins over the environment: a ``verify`` set on the session (False, or a CA bundle) is
      used for every request, where requests would let ``REQUESTS_CA_BUNDLE`` or ``CURL_CA_BUNDLE`` replace it.
      A session whose ``verify`` is left True keeps requests' behaviour (the environment's bundle, else the
      default one), a ``verify`` given with a single request is taken as requests takes it, and proxies from
      the environment (``HTTPS_PROXY``, ``NO_PROXY``) stay honoured.
    - A body that stalls after its headers raises :class:`requests.ReadTimeout`, not ConnectionError.
    - No error quotes a credential: URLs in requests' errors have their ``user:password@`` hidden, a header that
      cannot be sent is named without its value, and a password that basic authentication cannot encode is a
      ValueError that shows neither it nor its characters.

    A session pays only for the mends it needs: the last two act only when a request fails, and the first only
    once ``verify`` is set to something of the caller's, when the session becomes a :class:`_VerifyWinsSession`.
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        # A caller's own subclass is never switched for another class: it always applies the verify mend, and its
        # get goes through its request, as requests' get does.
        if cls.__module__ != __name__:
            inherited: Dict[str, Any] = {"merge_environment_settings": _VerifyWinsSession.merge_environment_settings}
            inherited["get"] = _REQUESTS_SESSION.get
            for name, method in inherited.items():
                if name not in vars(cls):
                    setattr(cls, name, method)

    def __setattr__(self, name: str, value: Any) -> None:
        super().__setattr__(name, value)
        # Every way of setting it comes here (construction, session_attributes, a later assignment, unpickling).
        # The class is assigned only when it changes: any assignment of __class__ moves the instance's attributes
        # out of the inline values CPython gives a fresh instance into a dict of their own, and requests then
        # reads every session attribute, on every request, the slower way.
        if name == "verify" and type(self) in _BY_VERIFY.values():
            wanted = _BY_VERIFY[_explicit_verify(value)]
            if type(self) is not wanted:
                super().__setattr__("__class__", wanted)

    def request(self, method: Any, url: Any, *args: Any, **kwargs: Any) -> requests.Response:
        try:
            return super().request(method, url, *args, **kwargs)
        except Exception as error:
            mended = _mended(error, self, url, kwargs)
            if mended is None:
                raise
        # Raised outside the handler, so that the original, which may quote a secret, is not its context.
        raise mended

    def get(self, url: Any, params: Any = None, **kwargs: Any) -> requests.Response:
        # requests' own get, skipping only the session's own request (bound to this session), whose mends it
        # applies itself: the client's reads cost no more than requests'. Anything else set as request (a test's
        # patch, a wrapper, another session's method) is called, as requests' get calls it. request is looked up,
        # not looked for in vars(self), which would move the session's attributes into a dict of their own (see
        # __setattr__); requests' request is reached through super(), so a patch of it on requests' class
        # receives what requests' own get hands it.
        kwargs.setdefault("allow_redirects", True)
        request = self.request
        if type(request) is not MethodType or request.__func__ is not _ENGINE_REQUEST or request.__self__ is not self:
            return request("GET", url, params=params, **kwargs)
        try:
            return super().request("GET", url, params=params, **kwargs)
        except Exception as error:
            mended = _mended(error, self, url, kwargs)
            if mended is None:
                raise
        raise mended


_ENGINE_REQUEST = EngineSession.request


class _VerifyWinsSession(EngineSession):
    """An :class:`EngineSession` whose ``verify`` (False, or a CA bundle) the caller set: it is used for every
    request that gives none of its own, whatever the environment's CA variables say."""

    def merge_environment_settings(self, url: Any, proxies: Any, stream: Any, verify: Any, cert: Any) -> Any:
        settings = _REQUESTS_SESSION.merge_environment_settings(self, url, proxies, stream, verify, cert)
        if verify is None and _explicit_verify(self.verify):
            settings["verify"] = self.verify
        return settings


_BY_VERIFY = {False: EngineSession, True: _VerifyWinsSession}


def new_session(module: Any) -> Any:
    """The session of a new client: an :class:`EngineSession`, unless the module's ``requests.Session`` has been
    replaced (a mock, a class of the caller's), which is then honoured as it is."""
    session_class = module.requests.Session
    return EngineSession() if session_class is _REQUESTS_SESSION else session_class()


class EngineResponse(requests.Response):
    """A :class:`requests.Response` whose :meth:`json` reads the body as the engine sent it and names the request
    when it is not JSON, and whose body raises :class:`requests.ReadTimeout` when it stalls."""

    def json(self, **kwargs: Any) -> Any:
        """The decoded JSON body, read as text in the charset its Content-Type declares, else as UTF-8.

        Raises:
            EngineJSONDecodeError: the body is not JSON, does not decode in its charset, holds a number too long
                to convert, or is nested too deeply to decode (a kind of :class:`requests.JSONDecodeError`); its
                message names the method, the URL (credentials hidden), the status and the start of the body.
        """
        try:
            return json.loads(json_text(self), **kwargs)
        except ValueError as error:  # JSONDecodeError and UnicodeDecodeError among them
            if kwargs and not isinstance(error, (json.JSONDecodeError, UnicodeDecodeError)):
                raise  # the caller's own hook refused a value
            failure: ValueError = error
        except RecursionError:  # JSON nested deeper than the decoder goes is no more readable than broken JSON
            failure = ValueError("nested too deeply to decode")
        raise EngineJSONDecodeError.for_response(self, failure)

    def iter_content(self, chunk_size: Optional[int] = 1, decode_unicode: bool = False) -> Any:
        chunks = super().iter_content(chunk_size, decode_unicode)

        def read() -> Iterator[Any]:
            try:
                yield from chunks
            except requests.exceptions.ConnectionError as error:
                timed_out = _read_timeout(error, self.request)
                if timed_out is None:
                    raise
                raise timed_out from error

        return read()
