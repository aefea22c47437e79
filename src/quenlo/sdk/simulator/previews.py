"""Validation, preview and snapshot runs of the simulated engine."""

from __future__ import annotations

import threading


class Previews:
    """Validation and preview runs, by previewer id."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock


class Snapshots:
    """Captured snapshots, by pipeline id and snapshot name."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
