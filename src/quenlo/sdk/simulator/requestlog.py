"""What the simulator records of each request, and the request target exactly as it was sent."""

from __future__ import annotations

import json
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl, quote, urlsplit

from werkzeug.datastructures import Headers


@dataclass
class RecordedRequest:
    """One request as the simulator received it.

    ``path`` and ``query`` are exactly as sent on the wire (still
    percent-encoded); ``user`` is the account the request authenticated as.
    """

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
    """The request path and query exactly as sent.

    PATH_INFO has ``%2F`` already decoded into ``/``, which would split an id
    in two, so prefer the raw request line the dev server passes along.
    """
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
