"""The engine's error answers: the error document, and the exception handlers raise to send one."""

from __future__ import annotations

from typing import Any


def error_body(message: str, code: str) -> dict[str, Any]:
    """The JSON error document the engine sends with every failed call: its code and message."""
    return {"error": {"code": code, "message": message}}


class EngineError(Exception):
    """Raised by a handler to answer with ``status`` and the engine's error document."""

    def __init__(self, status: int, message: str, code: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.code = code

    def body(self) -> dict[str, Any]:
        """The JSON error document for this error."""
        return error_body(self.message, self.code)


def bad_request(message: str, code: str = "REQUEST_INVALID") -> EngineError:
    """The engine's 400 answer to a request it cannot make sense of or refuses."""
    return EngineError(400, message, code)


def not_found(message: str, code: str) -> EngineError:
    """The engine's 404 answer for something it does not know."""
    return EngineError(404, message, code)
