"""Fault injection: canned bad answers that pre-empt the normal routes."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Any

#: Body sent for ``not_json`` faults when the test gives none.
DEFAULT_NOT_JSON_BODY = b"<html><body>oops</body></html>"


@dataclass
class Fault:
    """One injected fault.

    ``path`` is the request path after ``/rest`` (``"/v1/system/info"``), as
    sent on the wire (still percent-encoded); a trailing ``*`` makes it a prefix.
    ``method`` may be ``"*"`` for any method. ``count=None`` never runs out.
    ``headers`` are added to the fault's answer (``{"Retry-After": "1"}``); ``delay`` holds the request that many
    seconds first, and ``math.inf`` holds it until the simulator stops, so the client sees no answer at all.
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

    def matches(self, method: str, path: str) -> bool:
        """Whether a request (``path`` relative to ``/rest``) hits this fault."""
        if self.method != "*" and self.method != method.upper():
            return False
        if self.path.endswith("*"):
            return path.startswith(self.path[:-1])
        return path == self.path

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
