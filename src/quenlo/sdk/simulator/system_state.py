"""The simulated engine's own information: directories, configuration, logs, statistics, definitions,
stage libraries, health, support bundles and access control."""

from __future__ import annotations

import threading


class SystemState:
    """What the engine reports about itself, and the access-control lists it keeps."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
