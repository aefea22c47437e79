"""A fake VELM engine for tests and demos: a real HTTP server on 127.0.0.1.

Typical use::

    from quenlo.sdk.simulator import EngineSimulator

    with EngineSimulator(version="5.6.0", users={"admin": "secret"}) as engine:
        engine.script_status("p1", ["STARTING", "RUNNING", "FINISHED"])
        engine.inject_fault("GET", "/v1/system/info", status=503, count=2)
        ...  # point a client at engine.url
        assert engine.last_request.user == "admin"

Or from a shell: ``python -m quenlo.sdk.simulator --port 18630 --user admin:admin``.
"""

from __future__ import annotations

from .errors import EngineError, error_body
from .faults import Fault
from .server import EngineSimulator, RecordedRequest
from .state import MISSING, EngineState
from .transport import InMemoryTransport

__all__ = [
    "MISSING",
    "EngineError",
    "EngineSimulator",
    "EngineState",
    "Fault",
    "InMemoryTransport",
    "RecordedRequest",
    "error_body",
]
