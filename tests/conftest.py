"""Shared fixtures: a running engine simulator and a client connected to it."""

from __future__ import annotations

from typing import Iterator
from unittest import mock

import pytest

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator


@pytest.fixture
def engine(velm_engine: EngineSimulator) -> EngineSimulator:
    """A fresh simulated engine on 127.0.0.1 with an ephemeral port (the fixture the package gives its users)."""
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


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session: pytest.Session) -> None:
    """Let go of the collected tests once the run is over.

    Their parameters hold our classes, and the session stays reachable until after nanobind's leak check at exit
    (through pytest's assertion-rewriting import hook, the loader of every plugin module imported during the run,
    hypothesis's included): the check would report those classes as leaked.
    """
    session.items.clear()
