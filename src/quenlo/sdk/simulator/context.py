"""What every area of the simulated engine shares: one lock, one clock, the engine's log, and its errors.

Each area (store, runs, previews, snapshots, users, access control) is built with the engine's :class:`Context`
and nothing else of its neighbours', so an area reads time, takes the lock and writes log lines the same way.
"""

from __future__ import annotations

import dataclasses
import threading
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

from .clock import SYSTEM_CLOCK, Clock


def error_body(message: str, code: str) -> dict[str, Any]:
    """The JSON error document the engine sends with every failed call: its code and message."""
    return {"error": {"code": code, "message": message}}


class EngineError(Exception):
    """Raised by a handler to answer with ``status`` and the engine's error document."""

    def __init__(self, status: int, message: str, code: str) -> None:
        super().__init__(message)
        self.status, self.message, self.code = status, message, code

    def body(self) -> dict[str, Any]:
        """The JSON error document for this error."""
        return error_body(self.message, self.code)


def bad_request(message: str, code: str = "REQUEST_INVALID") -> EngineError:
    """The engine's 400 answer to a request it cannot make sense of or refuses."""
    return EngineError(400, message, code)


def not_found(message: str, code: str) -> EngineError:
    """The engine's 404 answer for something it does not know."""
    return EngineError(404, message, code)


SEVERITIES = ("TRACE", "DEBUG", "INFO", "WARN", "ERROR")
#: How many log entries one read returns at most; older ones are read by passing the returned offset back.
LOG_PAGE = 100


@dataclass
class LogEntry:
    """One line of the engine's log; ``offset`` is where the line starts in the log text."""

    offset: int
    time: int
    severity: str
    category: str
    message: str
    pipeline: str | None = None
    user: str | None = None

    def line(self) -> str:
        """The line as the log file holds it."""
        stamp = datetime.fromtimestamp(self.time / 1000, timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
        return (
            f"{stamp} {self.severity} {self.category} [pipeline {self.pipeline or '-'}] [user {self.user or '-'}] "
            f"{self.message}\n"
        )

    def record(self) -> dict[str, Any]:
        """The entry as the log endpoint answers it."""
        return dataclasses.asdict(self)


class EngineLog:
    """The lines of the engine's log, oldest first; offsets count bytes of the log text, as in its file."""

    def __init__(self, lock: threading.RLock, clock: Clock) -> None:
        self._lock = lock
        self._clock = clock
        self._entries: list[LogEntry] = []
        self._size = 0

    def add(
        self, severity: str, category: str, message: str, pipeline: str | None = None, user: str | None = None
    ) -> LogEntry:
        """Append an entry to the engine's log."""
        if severity not in SEVERITIES:
            raise ValueError(f"unknown severity {severity!r}")
        with self._lock:
            entry = LogEntry(self._size, self._clock.now_ms(), severity, category, message, pipeline, user)
            self._entries.append(entry)
            self._size += len(entry.line().encode())
            return entry

    def text(self) -> str:
        """The whole log as its file holds it."""
        with self._lock:
            return "".join(entry.line() for entry in self._entries)

    def read(
        self,
        ending_offset: str | None,
        severity: str | None = None,
        pipeline: str | None = None,
        text: str | None = None,
    ) -> tuple[list[dict[str, Any]], int]:
        """Up to :data:`LOG_PAGE` entries, oldest first, that end at or before ``ending_offset`` (-1: the end), and
        the ending offset that reads further back (the start of the oldest entry, or ``ending_offset``)."""
        try:
            end = int(ending_offset) if ending_offset not in (None, "") else -1
        except ValueError:
            raise bad_request(f"Query parameter 'endingOffset' must be a number, not {ending_offset!r}") from None
        if severity is not None and severity.upper() not in SEVERITIES:
            raise bad_request(f"Unknown severity {severity!r}; one of {', '.join(SEVERITIES)}")
        with self._lock:
            if end < 0:
                end = self._size
            matching = [
                e
                for e in self._entries
                if e.offset + len(e.line().encode()) <= end
                and (severity is None or e.severity == severity.upper())
                and (pipeline is None or e.pipeline == pipeline)
                and (text is None or text in e.message)
            ]
        page = matching[-LOG_PAGE:]
        return [e.record() for e in page], (page[0].offset if page else end)


@dataclass
class Context:
    """The lock, clock and log an area of the engine works with."""

    clock: Clock = SYSTEM_CLOCK
    lock: threading.RLock = field(default_factory=threading.RLock)
    log: EngineLog = field(init=False)

    def __post_init__(self) -> None:
        self.log = EngineLog(self.lock, self.clock)

    def now_ms(self) -> int:
        """The engine's time, in milliseconds since the epoch."""
        return self.clock.now_ms()
