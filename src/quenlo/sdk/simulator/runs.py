"""Pipeline runs of the simulated engine: start, stop, the status machine, metrics and history."""

from __future__ import annotations

import threading


class Runs:
    """The runs of all pipelines, behind the engine's lock."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock

    def active(self) -> list[str]:
        """Ids of the pipelines that are running now."""
        return []
