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
- ``@pytest.mark.velm_engine(...)``: the engine of one test; takes ``version``, ``users``, ``virtual_time``,
  ``api_version``, ``tls`` and ``tls_client_ca``, as ``EngineSimulator`` does. With ``tls``, ``velm_client``
  verifies the engine with its CA bundle (and presents its client certificate when ``tls_client_ca=True``).

One simulator serves the whole session and is reset before each test, so a test costs a reset instead of a
server start and stop; its URL stays the same. A test that stops it gets the next test a new one. TLS settings
belong to the server, not to its state, so each set of them has a simulator of its own.

The simulator needs the ``simulator`` extra (``pip install "quenlo-sdk[simulator]"``); it is imported only when a
fixture is used, so the plugin costs nothing to test suites that do not use it. A test that uses a fixture
without the extra installed (or ``tls=True`` without its ``trustme``) errors, naming the install command:
skipping it would leave CI green without it.
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
_DEFAULTS: dict[str, Any] = {
    "version": None,
    "users": None,
    "virtual_time": False,
    "api_version": None,
    "tls": False,
    "tls_client_ca": None,
}
#: The settings a simulator is built with and a reset cannot change: one session simulator per value of them.
_SERVER_SETTINGS = ("tls", "tls_client_ca")
INSTALL = 'pip install "quenlo-sdk[simulator]"'


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(version=None, users=None, virtual_time=False, api_version=None, tls=False, tls_client_ca=None): "
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


def _server_key(settings: Mapping[str, Any]) -> tuple[Any, ...]:
    """The TLS settings as a key: paths by their text, so equal settings share a simulator."""
    key: list[Any] = []
    for name in _SERVER_SETTINGS:
        value = settings[name]
        key.append(tuple(str(v) for v in value) if isinstance(value, (tuple, list)) else value)
    return tuple(key)


def _built(settings: Mapping[str, Any], version: str) -> EngineSimulator | str:
    """A simulator for ``settings``, not started, or why it cannot be made (trustme missing, a TLS setting it
    refuses)."""
    from quenlo.sdk.simulator import EngineSimulator

    tls = tuple(settings["tls"]) if isinstance(settings["tls"], list) else settings["tls"]
    try:
        return EngineSimulator(
            version,
            settings["users"],
            settings["api_version"],
            virtual_time=settings["virtual_time"],
            tls=tls,
            tls_client_ca=settings["tls_client_ca"],
        )
    except (ImportError, TypeError, ValueError, OSError) as error:
        return str(error)


class _SessionEngine:
    """The session's simulators, one per set of TLS settings, each started on first use and replaced if a test
    stopped it."""

    def __init__(self) -> None:
        self._engines: dict[tuple[Any, ...], EngineSimulator] = {}

    def prepared(self, settings: Mapping[str, Any]) -> EngineSimulator:
        """The simulator in its initial state for ``settings``."""
        from quenlo.sdk.simulator import DEFAULT_VERSION

        version = settings["version"] or DEFAULT_VERSION
        key = _server_key(settings)
        engine = self._engines.get(key)
        if engine is None or not engine.running:
            built = _built(settings, version)
            if isinstance(built, str):
                pytest.fail(f"@pytest.mark.{MARKER}: {built}", pytrace=False)
            engine = built
            self._engines[key] = engine.start()
        else:
            engine.reset(
                version=version,
                users=settings["users"],
                api_version=settings["api_version"],
                virtual_time=settings["virtual_time"],
            )
        return engine

    def close(self) -> None:
        engines, self._engines = self._engines, {}
        for engine in engines.values():
            engine.stop()


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
        pytest.fail(f"the velm_engine fixture needs the engine simulator: {INSTALL} ({missing})", pytrace=False)
    engine = _velm_session_engine.prepared(_settings(request))
    yield engine
    if engine.running and engine.virtual_time:
        # The client's clock is process-wide: give it back before tests that do not ask for virtual time.
        engine.reset(virtual_time=False)


@pytest.fixture
def velm_client(request: pytest.FixtureRequest, velm_engine: EngineSimulator) -> Iterator[ApiClient]:
    """An ``ApiClient`` connected to ``velm_engine``; with users in the marker, logged in as the first one.

    The request log is cleared once the client has connected, so it holds what the test sends. With ``tls=True``
    the client verifies the engine with ``velm_engine.ca_bundle`` and presents ``velm_engine.client_cert`` when
    the engine asks for one. The client's session is closed after the test.
    """
    from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
    from quenlo.sdk.velm_api import ApiClient

    session: dict[str, Any] = {}
    if velm_engine.ca_bundle is not None:
        session["verify"] = velm_engine.ca_bundle
    if velm_engine.client_cert is not None:
        session["cert"] = velm_engine.client_cert
    users = _settings(request)["users"]
    if users:
        name, password = next(iter(users.items()))
        client = ApiClient(
            velm_engine.url,
            authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM,
            username=name,
            password=password,
            session_attributes=session or None,
        )
    else:
        client = ApiClient(velm_engine.url, session_attributes=session or None)
    velm_engine.clear_requests()
    yield client
    close = getattr(client, "close", None)
    if callable(close):
        close()
    else:
        client.session.close()
