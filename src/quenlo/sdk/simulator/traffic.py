"""What requests meet in front of the engine: injected faults, and the log of every request received."""

from __future__ import annotations

import json
import re
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl, quote, urlsplit

from werkzeug.datastructures import Headers

#: Body sent for ``not_json`` faults when the test gives none.
DEFAULT_NOT_JSON_BODY = b"<html><body>oops</body></html>"
FAULT_SYNTAX = (
    "METHOD PATH [STATUS] [count=N|*] [lasting=SECONDS] [delay=SECONDS|inf] [header=NAME:VALUE] [empty] [not-json]"
)

#: A header name or method: an HTTP token.
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
#: A header value that goes on the wire as it is: visible Latin-1 text, spaces and tabs, no line breaks.
_FIELD_VALUE = re.compile(r"[\t\x20-\x7e\xa0-\xff]*")
#: What the path of a request never holds as such: where its query or fragment starts, white space and control
#: characters (a client percent-encodes them).
_NEVER_IN_A_PATH = re.compile(r"[?#\s\x00-\x1f\x7f]")
#: Headers that frame the answer: the server writes them, and a fault's own would make the client misread it.
_FRAMING = {"content-length", "transfer-encoding", "connection"}
#: Statuses whose answers carry no body.
_NO_BODY = (204, 304)


def _whole(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _check_headers(headers: Any) -> dict[str, str]:
    if not isinstance(headers, Mapping):
        raise TypeError(f"headers must map names to values, not {headers!r}")
    checked: dict[str, str] = {}
    for name, value in headers.items():
        if not isinstance(name, str) or not _TOKEN.fullmatch(name):
            raise ValueError(f"a header name is a token (letters, digits, !#$%&'*+-.^_`|~), not {name!r}")
        if name.lower() in _FRAMING:
            raise ValueError(f"the simulator writes {name} itself; a fault cannot set it")
        if not isinstance(value, str) or not _FIELD_VALUE.fullmatch(value):
            raise ValueError(
                f"the value of header {name} must be Latin-1 text without control characters, not {value!r}"
            )
        checked[name] = value
    return checked


@dataclass
class Fault:
    """One injected fault.

    ``path`` is the request path after ``/rest`` (``"/v1/system/info"``) as sent on the wire; a trailing ``*``
    makes it a prefix, and ``method`` may be ``"*"``. ``count=None`` never runs out. ``status`` is 200 to 599
    (204 and 304 carry no body). ``headers`` are added to the answer (names are tokens, values Latin-1 text; the
    framing headers are the server's). ``delay`` holds the request that many seconds first, ``math.inf`` until
    the simulator stops or resets, which release every held request. ``lasting`` ends the fault that many (real)
    seconds after it is made, whatever its count left: an outage of a known length. A setting that cannot be
    served raises
    ValueError (TypeError for a value of the wrong kind) here, not when a request meets the fault.
    """

    method: str
    path: str
    status: int | None = None
    body: Any = None
    count: int | None = 1
    empty: bool = False
    not_json: bool = False
    delay: float = 0.0
    headers: dict[str, str] = field(default_factory=dict)
    lasting: float | None = None
    #: When the fault ends (``time.monotonic()``), with ``lasting``.
    ends: float | None = field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        if not isinstance(self.method, str) or not (self.method == "*" or _TOKEN.fullmatch(self.method)):
            raise ValueError(f"method must be an HTTP method or '*', not {self.method!r}")
        if not isinstance(self.path, str):
            raise TypeError(f"path must be text, not {self.path!r}")
        if not self.path.startswith(("/", "*")):  # a request path starts with "/": this one would never match
            raise ValueError(f"path is the path after /rest, starting with '/' (or '*'), not {self.path!r}")
        if _NEVER_IN_A_PATH.search(self.path):
            raise ValueError(
                f"path is matched without the query or fragment, and holds no space or control character "
                f"(percent-encode them as the request does): {self.path!r} would never match"
            )
        self.method = self.method.upper()
        if self.status is not None and not _whole(self.status):
            raise TypeError(f"status must be a whole number, not {self.status!r}")
        if self.status is not None and not 200 <= self.status <= 599:
            raise ValueError(f"a fault's status is 200 to 599, not {self.status}")
        if self.status in _NO_BODY and (self.body is not None or self.not_json):
            raise ValueError(f"an answer with status {self.status} has no body")
        if isinstance(self.delay, bool) or not isinstance(self.delay, (int, float)):
            raise TypeError(f"delay must be a number of seconds, not {self.delay!r}")
        if not self.delay >= 0:  # NaN too
            raise ValueError("delay must be a number of seconds, at least 0 (math.inf: never answer)")
        if self.count is not None and not _whole(self.count):
            raise TypeError(f"count must be a whole number or None, not {self.count!r}")
        if self.count is not None and self.count < 1:
            raise ValueError("count must be at least 1 (or None for forever)")
        if self.body is not None and not isinstance(self.body, (bytes, bytearray, str)):
            try:
                json.dumps(self.body)
            except (TypeError, ValueError, RecursionError) as error:
                raise ValueError(f"a fault's body must be bytes, text or JSON-serialisable: {error}") from None
        self.headers = _check_headers(self.headers)
        if self.lasting is not None:
            if isinstance(self.lasting, bool) or not isinstance(self.lasting, (int, float)):
                raise TypeError(f"lasting must be a number of seconds, not {self.lasting!r}")
            if not 0 < self.lasting < float("inf"):
                raise ValueError("lasting must be a finite number of seconds above 0")
            self.ends = time.monotonic() + self.lasting
        if self.path.startswith("/rest/"):
            self.path = self.path[len("/rest") :]

    @classmethod
    def parse(cls, spec: str) -> Fault:
        """A fault from its words: ``"POST /v1/pipeline/p/start 503 count=2 header=Retry-After:1"``
        (:data:`FAULT_SYNTAX`); ValueError says what is wrong."""
        words = spec.split()
        if len(words) < 2 or not words[1].startswith(("/", "*")):
            raise ValueError(f"expected '{FAULT_SYNTAX}'")
        fault: dict[str, Any] = {"headers": {}}
        for word in words[2:]:
            key, sep, text = word.partition("=")
            if word.isascii() and word.isdigit():
                fault["status"] = int(word)
            elif word in ("empty", "not-json"):
                fault[word.replace("-", "_")] = True
            elif sep and key == "count":
                if text != "*" and not (text.isascii() and text.isdigit()):
                    raise ValueError(f"count takes a whole number or *, not {text!r}")
                fault["count"] = None if text == "*" else int(text)
            elif sep and key in ("delay", "lasting"):
                try:
                    fault[key] = float(text)
                except ValueError:
                    raise ValueError(f"{key} takes seconds, not {text!r}") from None
            elif sep and key == "header" and ":" in text:
                name, _, value = text.partition(":")
                fault["headers"][name.strip()] = value.strip()
            else:
                raise ValueError(
                    f"{word!r} is not a status (200-599), count=, lasting=, delay=, header=, empty or not-json"
                )
        return cls(words[0], words[1], **fault)

    def matches(self, method: str, path: str) -> bool:
        """Whether a request (``path`` relative to ``/rest``) hits this fault."""
        if self.method not in ("*", method.upper()):
            return False
        return path.startswith(self.path[:-1]) if self.path.endswith("*") else path == self.path

    @property
    def answers(self) -> bool:
        """False for a fault of only a delay or headers, which lets the route answer (with the headers added)."""
        return self.status is not None or self.body is not None or self.empty or self.not_json


class FaultTable:
    """Pending faults, consumed first-injected-first."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []

    def add(self, fault: Fault) -> Fault:
        """Queue ``fault`` behind the ones already injected."""
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear(self) -> None:
        """Drop every pending fault."""
        with self._lock:
            self._faults.clear()

    def _expire(self) -> None:
        now = time.monotonic()
        self._faults[:] = [fault for fault in self._faults if fault.ends is None or fault.ends > now]

    def pending(self) -> list[Fault]:
        """A snapshot of the faults not yet used up (nor ended by their ``lasting``)."""
        with self._lock:
            self._expire()
            return list(self._faults)

    def take(self, method: str, path: str) -> Fault | None:
        """Use up one shot of the first fault matching the request, if any."""
        with self._lock:
            self._expire()
            for i, fault in enumerate(self._faults):
                if fault.matches(method, path):
                    if fault.count is not None:
                        fault.count -= 1
                        if fault.count == 0:
                            del self._faults[i]
                    return fault
        return None


@dataclass
class RecordedRequest:
    """One request as the simulator received it: ``path`` and ``query`` exactly as sent on the wire (still
    percent-encoded), ``user`` the account it authenticated as."""

    method: str
    path: str
    query: str
    headers: Headers
    body: bytes
    user: str | None = None
    time: float = field(default_factory=time.time)

    @property
    def args(self) -> list[tuple[str, str]]:
        """The query parameters, decoded, in the order sent."""
        return parse_qsl(self.query, keep_blank_values=True)

    def header(self, name: str, default: str | None = None) -> str | None:
        """A request header, looked up case-insensitively."""
        return self.headers.get(name, default)

    def json(self) -> Any:
        """The body parsed as JSON (None when empty)."""
        return json.loads(self.body) if self.body.strip() else None


def _wire_text(value: str) -> str:
    # WSGI hands over raw bytes as latin-1 text; recover what the client sent.
    try:
        return value.encode("latin-1").decode("utf-8")
    except UnicodeError:
        return value


def raw_target(environ: Mapping[str, Any]) -> tuple[str, str]:
    """The request path and query exactly as sent (PATH_INFO has ``%2F`` decoded into ``/``, which would split an
    id in two, so the raw request line the server passes along comes first)."""
    raw = environ.get("RAW_URI") or environ.get("REQUEST_URI")
    if raw:
        raw = _wire_text(raw)
        if not raw.startswith("/"):  # absolute-form request target
            parts = urlsplit(raw)
            return parts.path or "/", parts.query
        path, _, query = raw.partition("?")
        return path, query
    path = quote(_wire_text(environ.get("PATH_INFO", "/")), safe="/:@!$&'()*+,;=-._~")
    return path, _wire_text(environ.get("QUERY_STRING", ""))
