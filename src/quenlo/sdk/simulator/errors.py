"""Engine-style error answers shared by the server and every area of the engine."""

from __future__ import annotations

from typing import Any

#: The member of the error document that holds the engine's message and error code.
ERROR_MEMBER = "RemoteException"


def error_body(message: str, code: str) -> dict[str, Any]:
    """Build the JSON error document the engine sends with every failed call: its message and error code."""
    return {ERROR_MEMBER: {"message": message, "errorCode": code}}


class EngineError(Exception):
    """Raised by a handler to answer with ``status`` and the engine error body."""

    def __init__(self, status: int, message: str, code: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.code = code

    def body(self) -> dict[str, Any]:
        """The JSON error document for this error."""
        return error_body(self.message, self.code)


def bad_request(message: str, code: str = "REST_0400") -> EngineError:
    """The engine's 400 answer to a request it cannot make sense of or refuses."""
    return EngineError(400, message, code)
