"""What requests meet in front of the engine: injected faults, and the log of every request received."""

from __future__ import annotations

import json
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl, quote, urlsplit

from werkzeug.datastructures import Headers

#: Body sent for ``not_json`` faults when the test gives none.
DEFAULT_NOT_JSON_BODY = b"<html><body>oops</body></html>"
FAULT_SYNTAX = "METHOD PATH [STATUS] [count=N|*] [delay=SECONDS|inf] [header=NAME:VALUE] [empty] [not-json]"


@dataclass
class Fault:
    """One injected fault.

    ``path`` is the request path after ``/rest`` (``"/v1/system/info"``) as sent on the wire; a trailing ``*``
    makes it a prefix, and ``method`` may be ``"*"``. ``count=None`` never runs out. ``headers`` are added to the
    answer; ``delay`` holds the request that many seconds first, ``math.inf`` until the simulator stops.
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

    def __post_init__(self) -> None:
        self.method = self.method.upper()
        if not self.delay >= 0:  # NaN too
            raise ValueError("delay must be a number of seconds, at least 0 (math.inf: never answer)")
        if self.path.startswith("/rest/"):
            self.path = self.path[len("/rest") :]
        if self.count is not None and self.count < 1:
            raise ValueError("count must be at least 1 (or None for forever)")

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
            if word.isdigit() and 100 <= int(word) <= 599:
                fault["status"] = int(word)
            elif word in ("empty", "not-json"):
                fault[word.replace("-", "_")] = True
            elif sep and key in ("count", "delay"):
                fault[key] = None if text == "*" and key == "count" else (int if key == "count" else float)(text)
            elif sep and key == "header" and ":" in text:
                name, _, value = text.partition(":")
                fault["headers"][name.strip()] = value.strip()
            else:
                raise ValueError(f"{word!r} is not a status (100-599), count=, delay=, header=, empty or not-json")
        return cls(words[0], words[1], **fault)

    def matches(self, method: str, path: str) -> bool:
        """Whether a request (``path`` relative to ``/rest``) hits this fault."""
        if self.method not in ("*", method.upper()):
            return False
        return path.startswith(self.path[:-1]) if self.path.endswith("*") else path == self.path

    @property
    def answers(self) -> bool:
        """False for a delay-only fault, which lets the route answer afterwards."""
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

    def pending(self) -> list[Fault]:
        """A snapshot of the faults not yet used up."""
        with self._lock:
            return list(self._faults)

    def take(self, method: str, path: str) -> Fault | None:
        """Use up one shot of the first fault matching the request, if any."""
        with self._lock:
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
