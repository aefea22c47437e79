"""pytest fixtures for testing code that drives a VELM engine, without a real engine.

Installed with the package (a ``pytest11`` entry point), so any test can ask for them by name::

    from quenlo.sdk.velm_api import ApiClient

    def test_my_job(velm_engine):
        client = ApiClient(velm_engine.url)
        ...

The simulator needs the ``simulator`` extra (``pip install "quenlo-sdk[simulator]"``); it is imported only when a
fixture is used, so the plugin costs nothing to test suites that do not use it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterator

import pytest

if TYPE_CHECKING:
    from quenlo.sdk.simulator import EngineSimulator


@pytest.fixture
def velm_engine() -> Iterator["EngineSimulator"]:
    """A fresh engine simulator on 127.0.0.1 (ephemeral port), stopped after the test.

    ``velm_engine.url`` is the base URL to give ``ApiClient``; ``velm_engine.requests`` logs every request it
    received, ``velm_engine.state`` holds what it knows, and ``velm_engine.inject_fault(...)`` makes routes fail.
    """
    try:
        from quenlo.sdk.simulator import EngineSimulator
    except ImportError as error:  # werkzeug missing
        pytest.skip(f"the engine simulator needs the 'simulator' extra: {error}")
    with EngineSimulator() as engine:
        yield engine
