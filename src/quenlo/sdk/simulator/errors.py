"""Engine-style error answers shared by the server and every route module."""

from __future__ import annotations

from typing import Any


def error_body(message: str, code: str) -> dict[str, Any]:
    """Build the JSON error document the engine sends with every failed call."""
    return {
        "RemoteException": {
            "message": message,
            "errorCode": code,
            "localizedMessage": message,
            "antennaDoctorMessages": [],
        }
    }


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
