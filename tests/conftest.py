"""Shared fixtures: a running engine simulator and a client connected to it."""

from __future__ import annotations

import gc
from typing import Iterator, List
from unittest import mock

import pytest

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator


@pytest.fixture
def engine(velm_engine: EngineSimulator) -> EngineSimulator:
    """The engine every test module shares: the plugin's simulator, reset to its initial state for each test
    and configured by the test's ``velm_engine`` marker (the fixture the package gives its users)."""
    return velm_engine


@pytest.fixture
def client(engine: EngineSimulator) -> velm_api.ApiClient:
    """A client connected to ``engine``; the request log starts empty after the connectivity probe."""
    api_client = velm_api.ApiClient(engine.url)
    engine.clear_requests()
    return api_client


@pytest.fixture
def no_sleep() -> Iterator[mock.MagicMock]:
    """Patch time.sleep for waits whose one-second pauses would only cost time."""
    with mock.patch("time.sleep") as sleep:
        yield sleep


class Clock:
    """Stands in for time.time and time.sleep: sleeping moves the clock on, instantly."""

    def __init__(self) -> None:
        self.now = 1_000_000.0
        self.sleeps: List[float] = []

    def time(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock() -> Iterator[Clock]:
    """A fake clock behind time.time and time.sleep, for waits that would otherwise take seconds."""
    fake = Clock()
    with mock.patch("time.time", fake.time), mock.patch("time.sleep", fake.sleep):
        yield fake


def pytest_unconfigure(config: pytest.Config) -> None:
    """Take hypothesis's garbage-collector callback out before the interpreter shuts down.

    The callback outlives its module's globals; once the interpreter tears modules down it fails inside the
    final collections, which then leave cycles standing. nanobind's exit check counts our classes kept alive
    by such leftovers as leaks, which fails ``make test`` (tools/check_leaks.py).
    """
    gc.callbacks[:] = [cb for cb in gc.callbacks if not getattr(cb, "__module__", "").startswith("hypothesis")]
