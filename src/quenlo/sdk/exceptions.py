"""HTTP errors raised by the VELM client for the engine's failure answers.

Every one is an :class:`EngineHTTPError`, a kind of :class:`requests.HTTPError`, so ``except requests.HTTPError``
catches every failure status. Each keeps the response (``err.response``) and names the status, the request and the
engine's own message (``err.engine_message``). The common statuses have their own classes:

====== ==========================
400    :class:`BadRequestError`
401    :class:`UnauthorizedError`
403    :class:`ForbiddenError`
404    :class:`NotFoundError`
409    :class:`ConflictError`
500    :class:`InternalServerError`
503    :class:`ServiceUnavailableError`
====== ==========================

Any other status from 400 to 599 raises :class:`EngineHTTPError` itself. An answer whose body is not JSON where
JSON is expected raises :class:`EngineJSONDecodeError`, a kind of :class:`requests.JSONDecodeError`.
"""

from __future__ import annotations

import base64
import binascii
import codecs
import functools
import itertools
import json
import pickle
import re
import ssl
from typing import Any, Dict, Iterable, List, Optional, Tuple, Type

import requests

__all__ = [
    "BadRequestError",
    "ConflictError",
    "EngineHTTPError",
    "EngineJSONDecodeError",
    "ForbiddenError",
    "InternalServerError",
    "NotFoundError",
    "ServiceUnavailableError",
    "UnauthorizedError",
    "error_class_for",
    "hide_secrets",
    "json_text",
    "redact_url",
    "tls_failure_reason",
]

# How much of the engine's error text the message quotes.
_EXCERPT_LENGTH = 500
# How deep into a JSON error body the message is looked for.
_MESSAGE_DEPTH = 3

# Up to the last "@" of the authority, which only "/", "?" or "#" ends: a password may itself hold an unescaped
# "@", a space or a tab (requests accepts them), and all of it is secret.
_CREDENTIALS_IN_URL = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*://)[^/?#]*@")


def redact_url(url: Any) -> str:
    """Return ``url`` as text with any ``user:password@`` part replaced by ``***@``."""
    return _CREDENTIALS_IN_URL.sub(r"\g<scheme>***@", str(url))


_CHARSET = re.compile(r";\s*charset\s*=\s*[\"']?([^\"';\s]+)", re.IGNORECASE)


def _charset(response: Any) -> str:
    """The codec of the charset the response's Content-Type declares; UTF-8 (a byte order mark skipped) when it
    declares none, or one Python does not know."""
    headers = getattr(response, "headers", None)
    content_type = headers.get("content-type") if headers is not None else None
    return _codec_of(content_type if isinstance(content_type, str) else None)


@functools.lru_cache(maxsize=64)
def _codec_of(content_type: Optional[str]) -> str:
    """The codec for a Content-Type: an engine sends the same few with every answer, so each is read once."""
    found = _CHARSET.search(content_type) if content_type is not None else None
    try:
        codec = codecs.lookup(found.group(1)).name if found else "utf-8"
        # A codec that is not a text encoding ("base64", "rot13") is refused here; empty bytes are not enough.
        b"\0\0\0\0".decode(codec, "replace")
    except (LookupError, ValueError):  # ValueError: a codec that cannot replace what it cannot read ("idna")
        codec = "utf-8"
    return "utf-8-sig" if codec == "utf-8" else codec


def json_text(response: Any) -> str:
    """The body of ``response`` as JSON text: decoded in the charset its Content-Type declares, else as UTF-8
    (RFC 8259), never by guesswork. Raises UnicodeDecodeError for bytes that are not of that charset."""
    content = response.content
    if not isinstance(content, (bytes, bytearray)):
        return str(content or "")
    return content.decode(_codec_of_body(response, content))


def _codec_of_body(response: Any, content: "bytes | bytearray") -> str:
    """The codec of ``content``, the body of ``response``: see :func:`_charset`. Without a byte order mark, UTF-8
    reads the same as "utf-8-sig", through the interpreter's own decoder, and writes no mark back."""
    codec = _charset(response)
    return "utf-8" if codec == "utf-8-sig" and not content.startswith(codecs.BOM_UTF8) else codec


def _sent_secrets(response: Any) -> Tuple[str, ...]:
    """What the request of ``response`` sent as credentials: its Authorization value and, for basic
    authentication, the password in it (credentials in the URL are sent the same way); the longest first."""
    headers = getattr(getattr(response, "request", None), "headers", None)
    try:
        value = headers.get("Authorization") if headers is not None else None
    except Exception:  # noqa: BLE001 - a request that cannot be read has sent nothing to hide
        return ()
    if isinstance(value, bytes):
        value = value.decode("latin-1")
    if not isinstance(value, str):
        return ()
    scheme, _, credentials = value.strip().partition(" ")
    found = {credentials.strip()}
    if scheme.lower() == "basic":
        try:
            found.add(base64.b64decode(credentials, validate=True).decode("latin-1").partition(":")[2])
        except (binascii.Error, ValueError):
            pass
    return tuple(sorted(filter(None, found), key=len, reverse=True))


def _hex(value: int, digits: int) -> str:
    """A regular expression for ``value`` in ``digits`` hex digits, each letter in either case."""
    return "".join(f"[{c}{c.upper()}]" if c.isalpha() else c for c in f"{value:0{digits}x}")


def _char_spellings(char: str) -> str:
    """A regular expression for ``char`` in every spelling a text may give it, whatever its neighbours' spelling:
    as it is; as any JSON writer escapes it (a short escape, or ``\\u`` escapes with hex in either case, a pair of
    them beyond the BMP); percent-encoded in UTF-8 with hex in either case (a space also as ``+``)."""
    code = ord(char)
    units = [code] if code < 0x10000 else [0xD800 + ((code - 0x10000) >> 10), 0xDC00 + ((code - 0x10000) & 0x3FF)]
    forms = [re.escape(char), "".join(r"\\u" + _hex(unit, 4) for unit in units)]
    short = json.dumps(char)[1:-1]
    if len(short) == 2 and short.startswith("\\"):
        forms.append(re.escape(short))
    if char == "/":
        forms.append(r"\\/")
    forms.append("".join("%" + _hex(byte, 2) for byte in char.encode("utf-8", "surrogatepass")))
    if char == " ":
        forms.append(r"\+")
    return "(?:" + "|".join(forms) + ")"


# A secret this short is hidden only where it stands alone, not inside a word: hidden everywhere, a password
# "e" would blank out every "e" of a message.
_SHORT_SECRET = 4


def _secret_pattern(secret: str) -> str:
    """A regular expression for every spelling of ``secret``, each character spelled independently (a JSON
    writer may escape some and not others, a URL encoder encode some; see :func:`_char_spellings`). A run of
    blanks may also be folded into other blanks, as a log line folds a tab or a line end into one space."""
    parts = []
    for blank, run in itertools.groupby(secret, str.isspace):
        spelled = "".join(map(_char_spellings, run))
        # A fold starts where its blanks do: tried inside a long run of blanks, it would rescan the run's rest.
        parts.append(rf"(?:{spelled}|(?<!\s)\s+)" if blank else spelled)
    return "".join(parts)


@functools.lru_cache(maxsize=32)
def _occurrences(secret: str) -> "re.Pattern[str]":
    """What finds every occurrence of ``secret`` in any spelling, overlapping ones too (a lookahead), as a whole
    word when it is short. Kept per secret: the command line hides each line it prints."""
    pattern = _secret_pattern(secret)
    if len(secret) < _SHORT_SECRET:
        # An escaped character before it stands apart from it: "\npw" in JSON, "%0Apw" in a URL.
        pattern = rf"(?:(?<!\w)|(?<=\\[bfnrt])|(?<=%[0-9A-Fa-f]{{2}})){pattern}(?!\w)"
    return re.compile(f"(?=({pattern}))")


def hide_secrets(text: str, secrets: Iterable[str]) -> str:
    """``text`` with every spelling of each of ``secrets`` replaced by ``***``: plain, JSON-escaped by any JSON
    writer (a short escape, ``\\u`` escapes in either case of hex, ``\\/``), percent-encoded in UTF-8 (hex in
    either case, a space also as ``+``), or a mix of these character by character; a run of blanks also folded
    into other blanks, as a line folded onto one shows it. Where secrets overlap, the whole stretch they cover is
    hidden as one. A secret of fewer than four characters is hidden only where it is not part of a longer word;
    an empty one is ignored.

    An engine that quotes what it refused, in its JSON or in a URL, must not put the password in an error the
    caller logs; everything the library and the command line show of an engine's words goes through here.
    """
    spans: List[Tuple[int, int]] = []
    for secret in secrets:
        if not isinstance(secret, str) or not secret:
            continue
        spans.extend((m.start(), m.end(1)) for m in _occurrences(secret).finditer(text))
    if not spans:
        return text
    parts: List[str] = []
    shown = 0
    for start, end in sorted(spans):
        if start > shown or not parts:
            parts.append(text[shown:start])
            parts.append("***")
        shown = max(shown, end)
    parts.append(text[shown:])
    return "".join(parts)


def _hidden_start(text: str, secrets: Iterable[str], length: int) -> str:
    """The first ``length`` characters of ``text`` with ``secrets`` hidden, hidden before the cut (which could
    otherwise leave a secret's start). Only the start of a long text is searched unless a secret shows there."""
    secrets = [secret for secret in secrets if isinstance(secret, str) and secret]
    # A character's longest spelling is 12 long: four UTF-8 bytes percent-encoded, or two \u escapes.
    window = text[: length + 12 * max(map(len, secrets), default=0)]
    hidden = hide_secrets(window, secrets)
    return (window if hidden == window else hide_secrets(text, secrets))[:length]


def _body_start(response: Any, length: int) -> str:
    """The first ``length`` characters of the body, in its charset, any byte that does not decode replaced, and
    the credentials the request sent hidden (before the cut, which could otherwise show a secret's start)."""
    try:
        content = response.content
        if not isinstance(content, (bytes, bytearray)):
            return ""
        return _hidden_start(bytes(content).decode(_charset(response), "replace"), _sent_secrets(response), length)
    except Exception:  # a body that cannot be read must not hide the error that quotes it
        return ""


def logged_content(response: Any) -> Any:
    """The body of ``response`` as a wait's debug log shows it: its bytes as they came, unless the credentials the
    request sent show in it; then the body decoded in its charset (any byte that does not decode replaced), those
    hidden, and encoded again. A body that is text (a stand-in's) has them hidden as it is."""
    content = response.content
    secrets = _sent_secrets(response)
    if isinstance(content, str):
        return hide_secrets(content, secrets)
    if not secrets or not isinstance(content, (bytes, bytearray)):
        return content
    codec = _codec_of_body(response, content)
    text = bytes(content).decode(codec, "replace")
    hidden = hide_secrets(text, secrets)
    return content if hidden == text else hidden.encode(codec, "replace")


def tls_failure_reason(error: BaseException) -> Optional[str]:
    """Why a TLS connection failed, in words, or None when ``error`` is not a TLS failure.

    ``error`` is what the client raised (a :class:`requests.exceptions.SSLError`); the reason is looked for in
    the errors it wraps: "certificate verify failed: self-signed certificate" for a certificate that is not
    trusted; "client certificate required: ..." when the engine asks for one and none was presented; "client
    certificate refused: ..." when it refuses the one presented; what is wrong with a CA bundle or a client
    certificate file that cannot be loaded; otherwise the TLS library's reason ("wrong version number", ...).
    """
    seen: set[int] = set()
    pending = [error]
    while pending:
        current = pending.pop(0)
        if id(current) in seen:
            continue
        seen.add(id(current))
        if isinstance(current, ssl.SSLCertVerificationError):
            detail = current.verify_message
            return f"certificate verify failed: {detail}" if detail else "certificate verify failed"
        if isinstance(current, ssl.SSLError):
            return _tls_words(_TLS_REASON.sub("", str(current)).strip() or str(current.reason or ""))
        linked = (getattr(current, "reason", None), *current.args, current.__cause__, current.__context__)
        pending.extend(item for item in linked if isinstance(item, BaseException))
    # Rebuilt from its text (it crossed a process, say): the reason is in the words.
    found = _TLS_VERIFY_TEXT.search(str(error)) or _TLS_KNOWN_TEXT.search(str(error))
    return _tls_words(found.group(0).rstrip()) if found else None


def _tls_words(reason: str) -> str:
    """The TLS library's ``reason`` with what it means for the caller in front, where that is known."""
    for pattern, meaning in _TLS_MEANINGS:
        if pattern.search(reason):
            return f"{meaning} ({reason})"
    return reason


# "[SSL: WRONG_VERSION_NUMBER] wrong version number (_ssl.c:1006)": the code and the source location.
_TLS_REASON = re.compile(r"^\[(?:SSL|X509|PEM)(?:: [A-Z0-9_]+)?\]\s*|\s*\(_ssl\.c:\d+\)$")
_TLS_VERIFY_TEXT = re.compile(r"certificate verify failed(?:: [^(')\"]+)?")
# An alert the engine sends about the client's certificate, and the TLS library's words for files it cannot load.
_CERTIFICATE_REQUIRED = r"alert certificate required"
_CERTIFICATE_REFUSED = (
    r"alert (?:bad certificate|unknown ca|certificate unknown|certificate expired|certificate revoked|"
    r"unsupported certificate|access denied)"
)
_TLS_MEANINGS = (
    (re.compile(_CERTIFICATE_REQUIRED), "client certificate required: the engine asks for one and none was presented"),
    (re.compile(_CERTIFICATE_REFUSED), "client certificate refused by the engine"),
    (
        re.compile(r"^EOF occurred in violation of protocol"),
        "the engine closed the connection during the TLS handshake, as it does for a client certificate that is "
        "missing or that it refuses",
    ),
    (re.compile(r"wrong version number"), "the port does not speak TLS (an https:// URL for a plain HTTP port?)"),
    (re.compile(r"no certificate or crl found"), "the CA bundle holds no certificate"),
    (re.compile(r"key values mismatch"), "the client certificate and its key do not match"),
    (re.compile(r"^PEM lib$"), "the client certificate or its key cannot be used"),
)
_TLS_KNOWN_TEXT = re.compile(
    rf"tlsv1[0-9]? {_CERTIFICATE_REQUIRED}|(?:sslv3|tlsv1[0-9]?) {_CERTIFICATE_REFUSED}|wrong version number|"
    r"EOF occurred in violation of protocol|PEM lib|no certificate or crl found|key values mismatch"
)


def engine_message_of(response: Optional[requests.Response]) -> Optional[str]:
    """The engine's own message in a JSON error body, or None.

    The engine puts it under "message", at the top level or in a nested object (its error document wraps the
    message and an error code in one). A body that is not a JSON object has none.
    """
    if response is None:
        return None
    try:
        content = response.content
    except Exception:  # a body that cannot be read must not hide the HTTP error itself
        return None
    if not isinstance(content, (bytes, bytearray)):
        return None
    try:
        text = json_text(response)
        # Only an object can hold a message: anything else is not decoded at all. Judged on the text, which a
        # charset such as UTF-16 spells in other bytes.
        if not text.lstrip().startswith("{"):
            return None
        document = json.loads(text)
    except (ValueError, RecursionError):  # UnicodeDecodeError included; RecursionError: nested too deep to read
        return None
    if not isinstance(document, dict):
        return None
    # Breadth first, a few levels down: the shallowest message is the engine's own, not a nested cause's.
    level = [document]
    for _ in range(_MESSAGE_DEPTH):
        found: list[str] = [item["message"] for item in level if isinstance(item.get("message"), str)]
        if found:
            return found[0]
        level = [value for item in level for value in item.values() if isinstance(value, dict)]
        if not level:
            break
    return None


def _request_of(response: Optional[requests.Response]) -> Tuple[Optional[str], Optional[str]]:
    if response is None:
        return None, None
    request = getattr(response, "request", None)
    method = getattr(request, "method", None)
    url = getattr(request, "url", None) or getattr(response, "url", None)
    return method, (redact_url(url) if url else None)


def _describe(response: Optional[requests.Response], engine_message: Optional[str]) -> str:
    if response is None:
        return "no response"
    method, url = _request_of(response)
    text = f"{response.status_code} {response.reason or ''}".rstrip() + f" for {method or '?'} {url or '?'}"
    if engine_message is not None:
        body = engine_message
    else:
        try:
            body = response.text
        except Exception:  # an undecodable body must not hide the HTTP error itself
            body = ""
    body = _hidden_start(body.strip(), _sent_secrets(response), _EXCERPT_LENGTH + 1)
    if body:
        if len(body) > _EXCERPT_LENGTH:
            body = body[:_EXCERPT_LENGTH] + "..."
        text += f": {body}"
    return text


class EngineHTTPError(requests.HTTPError):
    """The engine answered with a failure status (400 to 599).

    Attributes:
        response: the ``requests.Response`` (None when rebuilt without one).
        status_code: the HTTP status.
        method: the request's method ("GET", ...), or None when unknown.
        url: the request's URL with any ``user:password@`` replaced by ``***@``, or None when unknown.
        engine_message: the engine's own message from a JSON error body, or None; the password or token the
            request sent shows as ``***`` in it, as in the error's message.

    Its message names the status, the request and the engine's message (or, without one, the start of the body).
    """

    def __init__(self, response: Optional[requests.Response] = None, *args: Any, **kwargs: Any) -> None:
        if isinstance(response, str):  # rebuilt from its message (pickling, copying)
            super().__init__(response, *args, **kwargs)
            self.method: Optional[str] = None
            self.url: Optional[str] = None
            self.engine_message: Optional[str] = None
            return
        engine_message = engine_message_of(response)
        if engine_message is not None:
            engine_message = hide_secrets(engine_message, _sent_secrets(response))
        super().__init__(_describe(response, engine_message), *args, response=response, **kwargs)
        self.method, self.url = _request_of(response)
        self.engine_message = engine_message

    def __reduce__(self) -> Any:
        # Rebuilt from the message; BaseException.__setstate__ then sets each entry as an attribute, so the state
        # must not name the read-only property itself. A response read to its end pickles (requests leaves out
        # its raw stream), so the catcher in another process can still read the engine's answer; one that does
        # not (a stream still open, a stand-in in a test) stays behind and the status code travels alone.
        state: Dict[str, Any] = {
            "_status_code": self.status_code,
            "method": self.method,
            "url": self.url,
            "engine_message": self.engine_message,
        }
        if self.response is not None:
            try:
                pickle.dumps(self.response)
            except Exception:  # noqa: BLE001 - whatever stops the response from pickling, the error must not fail
                pass
            else:
                state["response"] = self.response
                state["request"] = self.request
        return (type(self), (str(self),), state)

    # The status an error of this class stands for when it is made without a response (0: any failure).
    _status: int = 0

    @property
    def status_code(self) -> int:
        """The HTTP status of the engine's answer; without a response attached, the one recorded when the error
        crossed a process boundary, else the class's own (401 for :class:`UnauthorizedError`, 0 for
        :class:`EngineHTTPError`)."""
        code = self.__dict__.get("_status_code") if self.response is None else self.response.status_code
        return code if isinstance(code, int) else self._status


class BadRequestError(EngineHTTPError):
    """The engine answered 400 Bad Request; ``response`` holds its answer."""

    _status = 400


class UnauthorizedError(EngineHTTPError):
    """The engine answered 401 Unauthorized: missing or wrong credentials."""

    _status = 401


class ForbiddenError(EngineHTTPError):
    """The engine answered 403 Forbidden: the user may not do this."""

    _status = 403


class NotFoundError(EngineHTTPError):
    """The engine answered 404 Not Found: no such resource (or a wrong base path)."""

    _status = 404


class ConflictError(EngineHTTPError):
    """The engine answered 409 Conflict: the resource is not in a state that allows this."""

    _status = 409


class InternalServerError(EngineHTTPError):
    """The engine answered 500 Internal Server Error; ``response`` holds its answer."""

    _status = 500


class ServiceUnavailableError(EngineHTTPError):
    """The engine answered 503 Service Unavailable: it is starting, stopping or overloaded."""

    _status = 503


_BY_STATUS: Dict[int, Type[EngineHTTPError]] = {
    400: BadRequestError,
    401: UnauthorizedError,
    403: ForbiddenError,
    404: NotFoundError,
    409: ConflictError,
    500: InternalServerError,
    503: ServiceUnavailableError,
}


def error_class_for(status: Any) -> Optional[Type[EngineHTTPError]]:
    """The class raised for an HTTP ``status``: its own class, EngineHTTPError for any other failure status
    (400 to 599), None for a status that is not a failure."""
    if isinstance(status, bool) or not isinstance(status, int) or not 400 <= status < 600:
        return None
    return _BY_STATUS.get(status, EngineHTTPError)


def raise_http_error(module: Any, response: Any, status: Any, on_delete: bool) -> None:
    """Raise the client's error for a failure ``status`` of ``response``: the module's InternalServerError for 500
    and BadRequestError for 400 (plain EngineHTTPError for both on delete), and for any other status from 400 to
    599 its class here. Returns for any other status: the response's own check follows."""
    if not on_delete and status == 500:
        raise module.InternalServerError(response)
    if not on_delete and status == 400:
        raise module.BadRequestError(response)
    error = error_class_for(status)
    if error is not None:
        raise (EngineHTTPError if on_delete and status in (400, 500) else error)(response)


# How much of a body that is not JSON the decoding error quotes.
_BODY_START_LENGTH = 80


class EngineJSONDecodeError(requests.JSONDecodeError):
    """The body of an engine's answer is not JSON where JSON is expected.

    A kind of :class:`requests.JSONDecodeError` (so of :class:`ValueError` too). The message names the method, the
    URL (any ``user:password@`` replaced by ``***@``), the status and the start of the body, then the decoder's
    complaint and its position.

    Attributes:
        response: the ``requests.Response`` (None when rebuilt without one).
        method: the request's method, or None when unknown.
        url: the request's URL with any credentials hidden, or None when unknown.
        msg, doc, pos, lineno, colno: as for :class:`json.JSONDecodeError`; ``doc`` with the credentials the
            request sent hidden, the position, line and column those of the body received.
    """

    def __init__(self, msg: str, doc: str, pos: int, *args: Any, **kwargs: Any) -> None:
        super().__init__(msg, doc, pos, *args, **kwargs)
        self.method, self.url = _request_of(self.response)
        # The position, line and column stay those of the body received; the credentials sent do not show.
        if isinstance(self.doc, str):
            self.doc = hide_secrets(self.doc, _sent_secrets(self.response))

    @classmethod
    def for_response(cls, response: requests.Response, error: ValueError) -> "EngineJSONDecodeError":
        """The error for ``response``, whose body the decoder refused with ``error`` (a JSONDecodeError, the
        UnicodeDecodeError of a body not in its charset, or the ValueError of a number too long to convert)."""
        method, url = _request_of(response)
        status = f"{response.status_code} {response.reason or ''}".rstrip()
        start = _body_start(response, _BODY_START_LENGTH)
        described = f"The answer to {method or '?'} {url or '?'} ({status}, body {start!r}) is not JSON: "
        doc = getattr(error, "doc", start)
        position = getattr(error, "pos", getattr(error, "start", 0))
        return cls(described + getattr(error, "msg", str(error)), doc, position, response=response)

    def __reduce__(self) -> Any:
        # The decoder's arguments rebuild the error; the response stays behind (it may not pickle). The line, column
        # and message are those of the body received, which the hidden ``doc`` may not give again.
        state = {"method": self.method, "url": self.url, "lineno": self.lineno, "colno": self.colno, "args": self.args}
        return (type(self), (self.msg, self.doc, self.pos), state)
