"""The probe's options over real HTTP: probe_fail_fast ends it on a client error, probe_retry_unreachable waits for
an engine that is not up yet."""

from __future__ import annotations

import math
import socket
import threading
import time
from collections.abc import Iterator

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import (
    BadRequestError,
    EngineHTTPError,
    ForbiddenError,
    NotFoundError,
    UnauthorizedError,
)
from quenlo.sdk.simulator import EngineSimulator

INFO = "/v1/system/info"


@pytest.fixture
def secured_engine() -> Iterator[EngineSimulator]:
    with EngineSimulator(users={"admin": "admin"}) as simulator:
        yield simulator


@pytest.fixture
def reserved_port() -> Iterator[socket.socket]:
    """A loopback port bound but not listening: connections to it are refused until it is handed on."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock


class TestFailFast:
    @pytest.mark.parametrize(
        ("how", "error"),
        [
            ("wrong password", UnauthorizedError),
            ("wrong base path", NotFoundError),
            (403, ForbiddenError),
            (400, BadRequestError),
            (418, EngineHTTPError),
        ],
    )
    def test_a_client_error_ends_the_probe_at_once(self, secured_engine, clock, how, error):
        url, password = secured_engine.url, "admin"
        if how == "wrong password":
            password = "wrong"
        elif how == "wrong base path":
            url += "/nope"
        else:
            secured_engine.inject_fault("GET", INFO, status=how, count=None)
        with pytest.raises(error) as raised:
            velm_api.ApiClient(url, "form", "admin", password, probe_fail_fast=True)
        assert type(raised.value) is error
        assert len(secured_engine.requests) == 1 and clock.sleeps == []

    @pytest.mark.parametrize(
        "fault", [{"status": 408}, {"status": 429}, {"status": 500}, {"status": 503}, {"body": {}}]
    )
    def test_what_may_pass_is_still_retried(self, engine, clock, fault):
        engine.inject_fault("GET", INFO, count=2, **fault)
        client = velm_api.ApiClient(engine.url, probe_fail_fast=True)
        assert client.version == "5.6.0"
        assert len(engine.requests) == 3 and clock.sleeps == [1, 1]

    def test_off_by_default(self, secured_engine, clock):
        with pytest.raises(TimeoutError) as raised:
            velm_api.ApiClient(secured_engine.url, "form", "admin", "wrong", probe_timeout_sec=3)
        assert type(raised.value.__cause__) is UnauthorizedError
        assert len(secured_engine.requests) == 4


class TestRetryUnreachable:
    def test_waits_for_an_engine_that_starts_later(self, reserved_port):
        port = reserved_port.getsockname()[1]
        engine = EngineSimulator(port=port)

        def start_later() -> None:
            time.sleep(2)
            reserved_port.close()
            engine.start()

        starter = threading.Thread(target=start_later)
        started = time.monotonic()
        starter.start()
        try:
            client = velm_api.ApiClient(f"http://127.0.0.1:{port}", probe_retry_unreachable=True, probe_timeout_sec=10)
            elapsed = time.monotonic() - started
            assert client.version == "5.6.0"
            assert 2 <= elapsed < 4
        finally:
            starter.join()
            engine.stop()

    def test_giving_up_names_the_refused_connection(self, reserved_port, clock):
        url = f"http://127.0.0.1:{reserved_port.getsockname()[1]}"
        with pytest.raises(TimeoutError) as raised:
            velm_api.ApiClient(url, probe_retry_unreachable=True, probe_timeout_sec=3)
        assert type(raised.value.__cause__) is requests.ConnectionError
        assert "; last answer: no answer (ConnectionError: " in str(raised.value)
        assert "Connection refused" in str(raised.value)
        assert clock.sleeps == [1, 1, 1]

    def test_a_time_out_is_retried(self, engine):
        engine.inject_fault("GET", INFO, delay=math.inf)
        client = velm_api.ApiClient(engine.url, timeout=0.3, probe_retry_unreachable=True, probe_timeout_sec=10)
        assert client.version == "5.6.0"
        assert len(engine.requests) == 2

    def test_a_tls_failure_is_not_retried(self, engine, no_sleep):
        with pytest.raises(requests.exceptions.SSLError):
            velm_api.ApiClient(engine.url.replace("http://", "https://"), probe_retry_unreachable=True)
        no_sleep.assert_not_called()

    def test_off_by_default(self, reserved_port, no_sleep):
        with pytest.raises(requests.ConnectionError):
            velm_api.ApiClient(f"http://127.0.0.1:{reserved_port.getsockname()[1]}", probe_fail_fast=True)
        no_sleep.assert_not_called()
