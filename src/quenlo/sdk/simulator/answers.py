"""How the simulator's answers are made: a handler's value, an engine error or an injected fault as an HTTP
response."""

from __future__ import annotations

import json
from typing import Any

from werkzeug.wrappers import Response

from .context import EngineError, error_body
from .routes import Reply
from .traffic import DEFAULT_NOT_JSON_BODY, Fault

JSON_TYPE = "application/json"
TEXT_TYPE = "text/plain; charset=utf-8"


def make_response(body: Any, status: int = 200, content_type: str | None = None) -> Response:
    """An answer: JSON unless ``body`` is text or bytes (then ``content_type``, or plain text); None is empty."""
    if body is None:
        payload = b""
    elif isinstance(body, (bytes, bytearray, str)):
        payload, content_type = (body.encode() if isinstance(body, str) else bytes(body)), content_type or TEXT_TYPE
    else:
        payload, content_type = json.dumps(body).encode(), content_type or JSON_TYPE
    response = Response(payload, status=status)
    if content_type:
        response.headers["Content-Type"] = content_type
    else:
        del response.headers["Content-Type"]
    return response


def error_response(error: EngineError) -> Response:
    return make_response(error.body(), error.status)


def to_response(value: Any) -> Response:
    """Turn a handler's return value into a response."""
    if isinstance(value, Response):
        return value
    if isinstance(value, (bytes, bytearray)):
        value = Reply(bytes(value), content_type="application/octet-stream")
    elif not isinstance(value, Reply):
        value = Reply(value)
    response = make_response(value.body, value.status, value.content_type)
    response.headers.update(value.headers)
    return response


def fault_response(fault: Fault) -> Response:
    status = fault.status or 200
    if fault.empty:
        response = make_response(b"", status, JSON_TYPE)
    elif fault.not_json:
        response = make_response(fault.body if fault.body is not None else DEFAULT_NOT_JSON_BODY, status, "text/html")
    elif fault.body is not None:
        response = make_response(fault.body, status, JSON_TYPE)
    elif status >= 400:
        response = make_response(error_body(f"Injected fault: HTTP {status}", "SIMULATOR_FAULT"), status)
    else:
        response = make_response(b"", status, JSON_TYPE)
    response.headers.update(fault.headers)
    return response
