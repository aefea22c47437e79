"""pytest fixtures for testing code that drives a VELM engine, without a real engine.

Installed with the package (a ``pytest11`` entry point), so any test can ask for them by name::

    import pytest

    @pytest.mark.velm_engine(version="2.4.0", users={"admin": "pw"}, virtual_time=True)
    def test_my_job(velm_engine, velm_client):
        velm_client.create_pipeline("orders")
        ...
        assert velm_engine.requests[-1].user == "admin"

- ``velm_engine``: an engine simulator in its initial state (empty request log, no faults).
- ``velm_client``: an ``ApiClient`` connected to it, logged in as the marker's first user when it names users;
  the request log is cleared after its connectivity probe, so it holds only what the test sends.
- ``@pytest.mark.velm_engine(...)``: the engine of one test; takes ``version``, ``users``, ``virtual_time``
  and ``api_version``, as ``EngineSimulator`` does.

One simulator serves the whole session and is reset before each test, so a test costs a reset instead of a
server start and stop; its URL stays the same. A test that stops it gets the next test a new one.

The simulator needs the ``simulator`` extra (``pip install "quenlo-sdk[simulator]"``); it is imported only when a
fixture is used, so the plugin costs nothing to test suites that do not use it. A test that uses a fixture
without the extra installed errors, naming the install command: skipping it would leave CI green without it.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from quenlo.sdk.simulator import EngineSimulator
    from quenlo.sdk.velm_api import ApiClient

MARKER = "velm_engine"
#: What the marker may set, with the value a test without it gets.
_DEFAULTS: dict[str, Any] = {"version": None, "users": None, "virtual_time": False, "api_version": None}


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(version=None, users=None, virtual_time=False, api_version=None): "
        "configure the engine simulator the velm_engine and velm_client fixtures give this test",
    )


def _settings(request: pytest.FixtureRequest) -> dict[str, Any]:
    """The engine settings of this test: the defaults, overridden by its closest ``velm_engine`` marker."""
    settings = dict(_DEFAULTS)
    marker = request.node.get_closest_marker(MARKER)
    if marker is None:
        return settings
    if marker.args:
        pytest.fail(f"@pytest.mark.{MARKER} takes keyword arguments only ({', '.join(_DEFAULTS)})", pytrace=False)
    unknown = sorted(set(marker.kwargs) - set(_DEFAULTS))
    if unknown:
        pytest.fail(
            f"@pytest.mark.{MARKER} does not know {', '.join(unknown)}; it takes {', '.join(_DEFAULTS)}", pytrace=False
        )
    settings.update(marker.kwargs)
    users = settings["users"]
    if users is not None and not isinstance(users, Mapping):
        pytest.fail(f"@pytest.mark.{MARKER}: users must map names to passwords, not {users!r}", pytrace=False)
    return settings


class _SessionEngine:
    """The session's one simulator, started on first use and replaced if a test stopped it."""

    def __init__(self) -> None:
        self._engine: EngineSimulator | None = None

    def prepared(self, settings: Mapping[str, Any]) -> EngineSimulator:
        """The simulator in its initial state for ``settings``."""
        from quenlo.sdk.simulator import DEFAULT_VERSION, EngineSimulator

        version = settings["version"] or DEFAULT_VERSION
        engine = self._engine
        if engine is None or not engine.running:
            engine = EngineSimulator(
                version, settings["users"], settings["api_version"], virtual_time=settings["virtual_time"]
            )
            self._engine = engine.start()
        else:
            engine.reset(
                version=version,
                users=settings["users"],
                api_version=settings["api_version"],
                virtual_time=settings["virtual_time"],
            )
        return engine

    def close(self) -> None:
        if self._engine is not None:
            self._engine.stop()
            self._engine = None


@pytest.fixture(scope="session")
def _velm_session_engine() -> Iterator[_SessionEngine]:
    holder = _SessionEngine()
    yield holder
    holder.close()


@pytest.fixture
def velm_engine(request: pytest.FixtureRequest, _velm_session_engine: _SessionEngine) -> Iterator[EngineSimulator]:
    """An engine simulator on 127.0.0.1 in its initial state, configured by the test's ``velm_engine`` marker.

    ``velm_engine.url`` is the base URL to give ``ApiClient``; ``velm_engine.requests`` logs every request it
    received, ``velm_engine.state`` holds what it knows, and ``velm_engine.inject_fault(...)`` makes routes fail.
    With ``virtual_time=True`` the client's waits and the engine's runs share a clock that jumps instead of
    sleeping, for this test only.
    """
    missing = None
    try:
        import quenlo.sdk.simulator  # noqa: F401
    except ImportError as error:  # werkzeug missing
        missing = error
    if missing is not None:
        install = 'pip install "quenlo-sdk[simulator]"'
        pytest.fail(f"the velm_engine fixture needs the engine simulator: {install} ({missing})", pytrace=False)
    engine = _velm_session_engine.prepared(_settings(request))
    yield engine
    if engine.running and engine.virtual_time:
        # The client's clock is process-wide: give it back before tests that do not ask for virtual time.
        engine.reset(virtual_time=False)


@pytest.fixture
def velm_client(request: pytest.FixtureRequest, velm_engine: EngineSimulator) -> Iterator[ApiClient]:
    """An ``ApiClient`` connected to ``velm_engine``; with users in the marker, logged in as the first one.

    The request log is cleared once the client has connected, so it holds what the test sends. The client's
    session is closed after the test.
    """
    from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
    from quenlo.sdk.velm_api import ApiClient

    users = _settings(request)["users"]
    if users:
        name, password = next(iter(users.items()))
        client = ApiClient(
            velm_engine.url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username=name, password=password
        )
    else:
        client = ApiClient(velm_engine.url)
    velm_engine.clear_requests()
    yield client
    close = getattr(client, "close", None)
    if callable(close):
        close()
    else:
        client.session.close()
