"""The engine's clocks: the system's own, and a virtual one that jumps instead of sleeping, which the client's
waits can share."""

from __future__ import annotations

import importlib
import sys
import threading
import time
from types import ModuleType
from typing import Any

#: The client modules whose ``time`` is looked up at use, so rebinding it there steers every wait, the probe and
#: the pauses before the transport's retries.
CLIENT_TIME_SEAMS = ("quenlo.sdk.velm_api", "quenlo.sdk.utils", "quenlo.sdk.transport")


class Clock:
    """The system clock. ``time.*`` is looked up at each call, so a patched ``time.time`` still applies."""

    virtual = False

    def time(self) -> float:
        """Seconds since the epoch."""
        return time.time()

    def monotonic(self) -> float:
        """Seconds of a clock that never goes back."""
        return time.monotonic()

    def sleep(self, seconds: float) -> None:
        """Pause the calling thread."""
        time.sleep(seconds)

    def now_ms(self) -> int:
        """The engine's timestamps: milliseconds since the epoch."""
        return int(self.time() * 1000)


class VirtualClock(Clock):
    """A clock that stands still until someone sleeps on it or :meth:`advance` moves it; sleeping returns at once.

    It starts at the system's readings. It answers ``perf_counter``, ``process_time`` and the ``_ns`` forms from
    the same reading and hands any other name to :mod:`time`, so it can stand in for that module.
    """

    virtual = True

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._epoch = time.time()
        self._base = time.monotonic()
        self._elapsed = 0.0

    @property
    def elapsed(self) -> float:
        """Virtual seconds since the clock was made."""
        with self._lock:
            return self._elapsed

    def advance(self, seconds: float) -> None:
        """Move the clock ``seconds`` forward; negative values are refused, as time does not run back."""
        if seconds < 0:
            raise ValueError("a clock cannot be moved back")
        with self._lock:
            self._elapsed += seconds

    def sleep(self, seconds: float) -> None:
        """Advance by ``seconds`` and return at once (``time.sleep`` refuses negative values; so does this)."""
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")
        self.advance(seconds)

    def time(self) -> float:
        with self._lock:
            return self._epoch + self._elapsed

    def monotonic(self) -> float:
        with self._lock:
            return self._base + self._elapsed

    perf_counter = monotonic
    process_time = monotonic

    def time_ns(self) -> int:
        return int(self.time() * 1e9)

    def monotonic_ns(self) -> int:
        return int(self.monotonic() * 1e9)

    perf_counter_ns = monotonic_ns
    process_time_ns = monotonic_ns

    def __getattr__(self, name: str) -> Any:
        # Only reached for names the clock does not define: formatting and conversions stay the real module's.
        return getattr(time, name)

    def __repr__(self) -> str:
        return f"<VirtualClock at +{self.elapsed:.3f} s>"


#: The clock of every simulator that does not run on virtual time.
SYSTEM_CLOCK = Clock()


class TimeSeams:
    """Points the client modules' ``time``, the seam they read the clock and sleep through, at a virtual clock,
    and puts the originals back. The binding is process-wide, so only one clock can hold it at a time."""

    _lock = threading.Lock()
    _holder: TimeSeams | None = None

    def __init__(self) -> None:
        self._saved: list[tuple[ModuleType, Any]] = []

    def bind(self, clock: VirtualClock) -> None:
        """Rebind the seams to ``clock``; RuntimeError if another virtual clock holds them."""
        with TimeSeams._lock:
            if TimeSeams._holder is not None and TimeSeams._holder is not self:
                raise RuntimeError(
                    "another simulator already runs on virtual time; the client's clock is process-wide, "
                    "so only one at a time"
                )
            self._restore()
            for name in CLIENT_TIME_SEAMS:
                module = _client_module(name)
                if module is not None:
                    namespace = vars(module)
                    self._saved.append((module, namespace.get("time", time)))
                    namespace["time"] = clock
            TimeSeams._holder = self

    def release(self) -> None:
        """Put back what :meth:`bind` replaced; harmless when nothing is bound."""
        with TimeSeams._lock:
            if self._saved:
                self._restore()
                TimeSeams._holder = None

    def _restore(self) -> None:
        for module, original in reversed(self._saved):
            vars(module)["time"] = original
        self._saved.clear()


def _client_module(name: str) -> ModuleType | None:
    module = sys.modules.get(name)
    if module is not None:
        return module
    try:
        return importlib.import_module(name)
    except ImportError:  # the extension may not be built (a simulator used on its own)
        return None
