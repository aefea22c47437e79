"""ApiClient's keyword options over real HTTP: time-out, retries and the probe's time-out; close, the context
manager and the repr."""

from __future__ import annotations

import logging
import math
import socket
import threading
import time
from collections.abc import Iterator
from typing import Any
from unittest import mock

import pytest
import requests
from requests.adapters import HTTPAdapter
from urllib3.util import Retry

from quenlo.sdk import utils, velm_api
from quenlo.sdk.exceptions import (
    BadRequestError,
    EngineHTTPError,
    ForbiddenError,
    NotFoundError,
    ServiceUnavailableError,
    UnauthorizedError,
)
from quenlo.sdk.simulator import EngineSimulator

INFO = "/v1/system/info"
VERBS = {
    "GET": lambda c: c._get(endpoint="/v1/x"),
    "POST": lambda c: c._post(endpoint="/v1/x", data={"a": 1}),
    "PUT": lambda c: c._put(endpoint="/v1/x"),
    "DELETE": lambda c: c._delete(endpoint="/v1/x"),
}


@pytest.fixture
def secured_engine() -> Iterator[EngineSimulator]:
    with EngineSimulator(users={"admin": "admin"}) as simulator:
        yield simulator


@pytest.fixture
def log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.DEBUG, logger="quenlo.sdk.velm_api")
    return caplog


class RecordingSession(requests.Session):
    """A real session that notes the keywords of each call it is given."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: list[dict[str, Any]] = []

    def request(self, method: str, url: Any, *args: Any, **kwargs: Any) -> requests.Response:  # type: ignore[override]
        self.calls.append(kwargs)
        return super().request(method, url, *args, **kwargs)


class TestTimeout:
    @pytest.mark.parametrize("method", list(VERBS))
    def test_every_verb_gives_up_on_an_engine_that_never_answers(self, engine, method):
        client = velm_api.ApiClient(engine.url, timeout=(2, 0.3))
        engine.inject_fault(method, "/v1/x", delay=math.inf)
        started = time.monotonic()
        with pytest.raises(requests.Timeout):
            VERBS[method](client)
        assert 0.3 <= time.monotonic() - started < 2

    def test_the_probe_gets_it_and_does_not_retry_it(self, engine, no_sleep):
        engine.inject_fault("GET", INFO, delay=math.inf)
        with pytest.raises(requests.Timeout):
            velm_api.ApiClient(engine.url, timeout=0.3)
        assert len(engine.requests) == 1
        no_sleep.assert_not_called()

    def test_left_out_of_the_call_unless_set_and_replaceable_later(self, engine):
        client = velm_api.ApiClient(engine.url)
        assert client.timeout is None
        client.session = RecordingSession()
        client.get_velm_info()
        client.timeout = 4.5
        client.get_velm_info()
        assert ["timeout" in call for call in client.session.calls] == [False, True]
        assert client.session.calls[1]["timeout"] == 4.5

    @pytest.mark.parametrize(
        ("timeout", "error"),
        [
            (0, ValueError),
            (-1, ValueError),
            ((1, 2, 3), ValueError),
            ((0, 1), ValueError),
            ("5", TypeError),
            (True, TypeError),
            ((1, "2"), TypeError),
            # Each of these passed once, and then every request failed with OverflowError or waited for ever.
            (math.nan, ValueError),
            (math.inf, ValueError),
            ((1, 1e10), ValueError),
            ((2147484, None), ValueError),
            pytest.param(10**400, ValueError, id="int past float"),
            pytest.param((1, -(10**400)), ValueError, id="negative int past float"),
        ],
    )
    def test_bad_values_are_refused_before_any_request(self, engine, timeout, error):
        with pytest.raises(error, match="timeout"):
            velm_api.ApiClient(engine.url, timeout=timeout)
        assert engine.requests == []

    @pytest.mark.parametrize(
        ("options", "error", "message"),
        [
            # Our own words, not those of the layers below, which would name neither the client nor the option.
            ({"timeout": 0}, ValueError, "timeout must be more than 0 seconds, not 0"),
            ({"timeout": (5, 0.0)}, ValueError, "timeout must be more than 0 seconds, not 0.0"),
            ({"timeout": True}, TypeError, "timeout must be seconds or a (connect, read) pair, not True"),
            ({"timeout": (True, 5)}, TypeError, "timeout must be seconds or a (connect, read) pair, not True"),
            ({"probe_timeout_sec": True}, TypeError, "probe_timeout_sec must be a number of seconds, not True"),
        ],
    )
    def test_refusals_say_what_the_option_must_be(self, engine, options, error, message):
        with pytest.raises(error) as raised:
            velm_api.ApiClient(engine.url, **options)
        assert str(raised.value) == message and engine.requests == []

    def test_a_pair_given_as_a_list_is_kept_as_the_pair_requests_takes(self, engine):
        client = velm_api.ApiClient(engine.url, timeout=[3, 30])
        assert client.timeout == (3, 30) and client.get_velm_info()["version"]

    def test_the_longest_time_out_the_socket_layer_takes_is_accepted(self, engine):
        assert velm_api.ApiClient(engine.url, timeout=(2147483, 2147483)).get_velm_info()["version"]


class TestRetries:
    def test_an_int_retries_a_503_after_its_retry_after(self, engine, log):
        engine.inject_fault("GET", INFO, status=503, headers={"Retry-After": "1"})
        started = time.monotonic()
        client = velm_api.ApiClient(engine.url, retries=2)
        assert time.monotonic() - started >= 1.0
        assert client.version == "5.6.0"
        assert len(engine.requests) == 2
        # The transport retried; the probe saw one answer and never had to try again itself.
        assert not [r for r in log.records if "Trying again" in r.getMessage()]

    @pytest.mark.parametrize("status", [502, 503, 504])
    def test_the_last_failure_is_raised_as_our_own_error(self, engine, status):
        client = velm_api.ApiClient(engine.url, retries=1)
        engine.clear_requests()
        engine.inject_fault("GET", "/v1/x", status=status, count=None)
        with pytest.raises(requests.HTTPError) as raised:
            client._get("/v1/x")
        assert raised.value.status_code == status
        assert type(raised.value) is (ServiceUnavailableError if status == 503 else EngineHTTPError)
        assert len(engine.requests) == 2

    @pytest.mark.parametrize("method", ["POST", "PUT", "DELETE"])
    def test_only_get_and_head_are_retried(self, engine, method):
        client = velm_api.ApiClient(engine.url, retries=3)
        engine.clear_requests()
        engine.inject_fault(method, "/v1/x", status=503, count=None)
        with pytest.raises(ServiceUnavailableError):
            VERBS[method](client)
        assert len(engine.requests) == 1

    def test_a_retry_object_is_mounted_as_given(self, engine):
        retry = Retry(total=4, backoff_factor=0, status_forcelist=[409], raise_on_status=False)
        client = velm_api.ApiClient(engine.url, retries=retry)
        assert client.session.get_adapter("https://engine.example").max_retries is retry
        engine.clear_requests()
        engine.inject_fault("GET", INFO, status=409, count=2)
        assert client.get_velm_info()["version"] == "5.6.0"
        assert len(engine.requests) == 3

    @pytest.mark.parametrize(
        ("timeout", "retry_after", "longest"),
        [
            (2, "3600", 2),
            ((1, 3), "3600", 3),
            ((None, 0.5), "3600", 0.5),
            (None, "3600", 120),  # the back-off ceiling of urllib3's Retry
            (2, "Wed, 21 Oct 2099 07:28:00 GMT", 2),
            (None, "1", 1),
        ],
    )
    def test_a_retry_after_never_sleeps_past_the_time_out_or_the_ceiling(
        self, engine, no_sleep, timeout, retry_after, longest
    ):
        client = velm_api.ApiClient(engine.url, timeout=timeout, retries=1)
        engine.inject_fault("GET", "/v1/x", status=503, headers={"Retry-After": retry_after})
        engine.inject_fault("GET", "/v1/x", status=200)
        client._get("/v1/x")
        assert [c.args[0] for c in no_sleep.call_args_list] == [longest]

    def test_without_retry_after_the_back_off_grows(self, engine, no_sleep):
        client = velm_api.ApiClient(engine.url, timeout=30, retries=3)
        engine.inject_fault("GET", "/v1/x", status=503, count=3)
        engine.inject_fault("GET", "/v1/x", status=200)
        client._get("/v1/x")
        assert [c.args[0] for c in no_sleep.call_args_list] == [1, 2]  # none before the first retry

    def test_a_long_retry_after_ends_with_the_time_out_for_real(self, engine):
        client = velm_api.ApiClient(engine.url, timeout=0.3, retries=1)
        engine.inject_fault("GET", "/v1/x", status=503, headers={"Retry-After": "3600"}, count=2)
        started = time.monotonic()
        with pytest.raises(ServiceUnavailableError):
            client._get("/v1/x")
        assert 0.3 <= time.monotonic() - started < 1.5

    def test_the_probe_never_sleeps_past_its_deadline(self, engine, clock):
        engine.inject_fault("GET", INFO, status=503, headers={"Retry-After": "3600"}, count=None)
        with pytest.raises(TimeoutError, match="within 5 seconds; last answer: 503"):
            velm_api.ApiClient(engine.url, retries=3, probe_timeout_sec=5)
        assert clock.now - 1_000_000.0 <= 5 and max(clock.sleeps) <= 5

    @pytest.mark.parametrize("answer", ["503", "refused"])
    def test_no_retry_is_sent_once_the_probe_s_deadline_has_passed(self, engine, clock, answer):
        # A pause cut to nothing by the deadline must not turn the remaining retries into a burst of requests
        # (nor, past a thousand of them, into urllib3's RecursionError).
        url = engine.url
        if answer == "refused":
            with socket.socket() as bound:  # bound, never listening
                bound.bind(("127.0.0.1", 0))
                url = f"http://127.0.0.1:{bound.getsockname()[1]}"
        engine.inject_fault("GET", INFO, status=503, count=None)
        engine.clear_requests()
        with pytest.raises(TimeoutError, match="within 5 seconds"):
            velm_api.ApiClient(url, retries=5000, probe_timeout_sec=5, probe_retry_unreachable=True)
        assert clock.now - 1_000_000.0 <= 5
        assert len(engine.requests) <= 6

    @pytest.mark.parametrize(
        "retry_after", ["-1", "soon", "1.5", "", "10 s", "9" * 5000, "Mon, 01 Jan 99999999999 00:00:00 GMT"]
    )
    def test_a_malformed_retry_after_is_ignored(self, engine, no_sleep, retry_after):
        client = velm_api.ApiClient(engine.url, retries=1)
        engine.clear_requests()
        engine.inject_fault("GET", "/v1/x", status=503, headers={"Retry-After": retry_after}, count=2)
        # The 503 is handled as any 503: retried after the back-off (none for a first retry), then raised.
        with pytest.raises(ServiceUnavailableError):
            client._get("/v1/x")
        assert len(engine.requests) == 2 and all(c.args[0] <= 1 for c in no_sleep.call_args_list)
        # ... and the probe tries again past it.
        engine.inject_fault("GET", INFO, status=503, headers={"Retry-After": retry_after}, count=2)
        assert velm_api.ApiClient(engine.url, retries=1).version == "5.6.0"

    def test_adapters_from_session_attributes_replace_the_retrying_ones(self, engine):
        client = velm_api.ApiClient(engine.url, retries=3, session_attributes={"adapters": {"http://": HTTPAdapter()}})
        engine.clear_requests()
        engine.inject_fault("GET", "/v1/x", status=503, count=2)
        with pytest.raises(ServiceUnavailableError):
            client._get("/v1/x")
        assert len(engine.requests) == 1

    @pytest.mark.parametrize(
        ("retries", "error"), [(-1, ValueError), ("3", TypeError), (1.5, TypeError), (True, TypeError)]
    )
    def test_bad_values_are_refused_before_any_request(self, engine, retries, error):
        with pytest.raises(error, match="retries"):
            velm_api.ApiClient(engine.url, retries=retries)
        assert engine.requests == []


class TestProbeTimeout:
    @pytest.mark.parametrize(
        ("how", "cause", "answer"),
        [
            ("wrong password", UnauthorizedError, "401 UNAUTHORIZED from http://127.0.0.1:{port}/rest/v1/system/info"),
            ("wrong base path", NotFoundError, "404 NOT FOUND from http://127.0.0.1:{port}/nope/rest/v1/system/info"),
            ("no version", KeyError, "an information record without a version from http://127.0.0.1:{port}/rest"),
        ],
    )
    def test_giving_up_names_the_last_failure(self, secured_engine, clock, how, cause, answer):
        url, password = secured_engine.url, "admin"
        if how == "wrong password":
            password = "wrong"
        elif how == "wrong base path":
            url += "/nope"
        else:
            secured_engine.inject_fault("GET", INFO, status=200, body={"commit": "x"}, count=None)
        with pytest.raises(TimeoutError) as raised:
            velm_api.ApiClient(url, "form", "admin", password, probe_timeout_sec=5)
        message = str(raised.value)
        assert message.startswith("Condition velm_connectivity_established was not met within 5 seconds; last answer: ")
        assert answer.format(port=secured_engine.port) in message
        assert type(raised.value.__cause__) is cause
        assert clock.sleeps == [1] * 5

    def test_credentials_in_the_url_are_not_repeated(self, secured_engine, clock):
        url = secured_engine.url.replace("://", "://admin:wrong@")
        with pytest.raises(TimeoutError) as raised:
            velm_api.ApiClient(url, probe_timeout_sec=2)
        assert "wrong" not in str(raised.value) and "://***@127.0.0.1" in str(raised.value)

    @pytest.mark.parametrize(
        "seconds",
        [
            math.nan,
            -1,
            -0.001,
            -math.inf,
            pytest.param(10**400, id="int past float"),
            pytest.param(-(10**400), id="-int"),
        ],
    )
    def test_nan_and_negative_are_refused_before_any_request(self, engine, seconds):
        # NaN probed for ever: no time is ever past a NaN deadline.
        with pytest.raises(ValueError, match="probe_timeout_sec"):
            velm_api.ApiClient(engine.url, probe_timeout_sec=seconds)
        assert engine.requests == []

    @pytest.mark.parametrize("seconds", [0, math.inf, 1e12])
    def test_zero_tries_once_and_infinity_keeps_trying(self, secured_engine, seconds):
        assert velm_api.ApiClient(secured_engine.url, "form", "admin", "admin", probe_timeout_sec=seconds).version

        class Stopped(Exception):
            pass

        # Asked for, a probe without end retries a refusal; the test stops this one after 30 tries.
        with mock.patch("time.sleep", side_effect=[None] * 29 + [Stopped]) as sleep:
            with pytest.raises(TimeoutError if seconds == 0 else Stopped):
                velm_api.ApiClient(secured_engine.url, "form", "admin", "wrong", probe_timeout_sec=seconds)
        assert sleep.call_count == (0 if seconds == 0 else 30)

    @pytest.mark.parametrize(
        ("given", "passed"), [({}, {}), ({"probe_timeout_sec": 60}, {}), ({"probe_timeout_sec": 7.5}, {"timeout": 7.5})]
    )
    def test_handed_to_wait_for_condition_only_when_not_the_default(self, engine, given, passed):
        calls = []

        def recording(*args: Any, **kwargs: Any) -> Any:
            calls.append(kwargs)
            return utils.wait_for_condition(*args, **kwargs)

        with mock.patch.object(velm_api, "wait_for_condition", recording):
            velm_api.ApiClient(engine.url, **given)
        assert calls == [passed]


@pytest.fixture
def refused_port() -> Iterator[socket.socket]:
    """A loopback port bound but not listening: connections are refused until the socket is closed."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock


class TestProbeFailFast:
    @pytest.mark.parametrize(
        ("how", "error"),
        [("password", UnauthorizedError), ("path", NotFoundError), (403, ForbiddenError), (400, BadRequestError)]
        + [(418, EngineHTTPError)],
    )
    def test_a_client_error_ends_the_probe_at_once(self, secured_engine, clock, how, error):
        if isinstance(how, int):
            secured_engine.inject_fault("GET", INFO, status=how, count=None)
        url = secured_engine.url + ("/nope" if how == "path" else "")
        with pytest.raises(error) as raised:
            velm_api.ApiClient(url, "form", "admin", "wrong" if how == "password" else "admin", probe_fail_fast=True)
        assert type(raised.value) is error
        assert len(secured_engine.requests) == 1 and clock.sleeps == []

    @pytest.mark.parametrize("fault", [{"status": 408}, {"status": 429}, {"status": 500}, {"body": {}}])
    def test_what_may_pass_is_still_retried(self, engine, clock, fault):
        engine.inject_fault("GET", INFO, count=2, **fault)
        assert velm_api.ApiClient(engine.url, probe_fail_fast=True).version == "5.6.0"
        assert len(engine.requests) == 3 and clock.sleeps == [1, 1]


class TestProbeRetryUnreachable:
    def test_waits_for_an_engine_that_starts_later(self, refused_port):
        port = refused_port.getsockname()[1]
        engine = EngineSimulator(port=port)
        starter = threading.Timer(2, lambda: (refused_port.close(), engine.start()))
        started = time.monotonic()
        starter.start()
        try:
            client = velm_api.ApiClient(f"http://127.0.0.1:{port}", probe_retry_unreachable=True, probe_timeout_sec=10)
            assert client.version == "5.6.0" and 2 <= time.monotonic() - started < 4
        finally:
            starter.join()
            engine.stop()

    def test_giving_up_names_the_refused_connection(self, refused_port, clock):
        url = f"http://127.0.0.1:{refused_port.getsockname()[1]}"
        with pytest.raises(TimeoutError) as raised:
            velm_api.ApiClient(url, probe_retry_unreachable=True, probe_timeout_sec=3)
        assert type(raised.value.__cause__) is requests.ConnectionError
        assert "; last answer: no answer (ConnectionError: " in str(raised.value)
        assert "Connection refused" in str(raised.value) and clock.sleeps == [1, 1, 1]

    def test_a_time_out_is_retried_and_a_tls_failure_is_not(self, engine):
        engine.inject_fault("GET", INFO, delay=math.inf)
        client = velm_api.ApiClient(engine.url, timeout=0.3, probe_retry_unreachable=True, probe_timeout_sec=10)
        assert client.version == "5.6.0" and len(engine.requests) == 2
        with mock.patch("time.sleep") as no_sleep, pytest.raises(requests.exceptions.SSLError):
            velm_api.ApiClient(engine.url.replace("http://", "https://"), probe_retry_unreachable=True)
        no_sleep.assert_not_called()


class TestLifecycle:
    def test_close_releases_the_connections(self, engine):
        client = velm_api.ApiClient(engine.url)
        pools = client.session.get_adapter(engine.url).poolmanager.pools
        assert len(pools) == 1
        assert client.close() is None
        assert len(pools) == 0
        assert client.get_velm_info()["version"] == "5.6.0"  # a closed client may still be used

    def test_with_block_closes_and_lets_exceptions_through(self, engine):
        with pytest.raises(NotFoundError):
            with velm_api.ApiClient(engine.url) as client:
                assert isinstance(client, velm_api.ApiClient)
                pools = client.session.get_adapter(engine.url).poolmanager.pools
                client.get_pipeline_status("nope")
        assert len(pools) == 0

    def test_repr_shows_the_url_without_credentials_and_the_version(self, engine):
        client = velm_api.ApiClient(engine.url.replace("://", "://me:s3cret@"))
        assert repr(client) == f"<ApiClient server_url='http://***@127.0.0.1:{engine.port}' version='5.6.0'>"
        with mock.patch.object(velm_api, "wait_for_condition"):
            unprobed = velm_api.ApiClient(engine.url)
        assert repr(unprobed) == f"<ApiClient server_url='{engine.url}' version=None>"


@pytest.fixture
def unanswered_url() -> Iterator[str]:
    """A loopback URL whose listener's queue is full, so that connecting to it times out."""
    with socket.socket() as listener, socket.socket() as first, socket.socket() as second:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        for waiting in (first, second):
            waiting.setblocking(False)
            waiting.connect_ex(listener.getsockname())
        yield "http://%s:%d" % listener.getsockname()


class TestRetriedFailuresKeepTheirKind:
    @pytest.mark.parametrize(("method", "tries"), [("GET", 2), ("POST", 1)])
    def test_running_out_of_time_reading_is_a_read_timeout(self, engine, method, tries):
        client = velm_api.ApiClient(engine.url, timeout=(2, 0.2), retries=1)
        engine.clear_requests()
        engine.inject_fault(method, "/v1/x", delay=math.inf, count=None)
        with pytest.raises(requests.ReadTimeout, match="Read timed out"):
            VERBS[method](client)
        assert len(engine.requests) == tries

    def test_connecting_ends_in_a_connect_timeout_or_a_connection_error(self, engine, unanswered_url, refused_port):
        client = velm_api.ApiClient(engine.url, timeout=(0.2, 2), retries=1)
        client.server_url = unanswered_url
        with pytest.raises(requests.ConnectTimeout):
            client._get("/v1/x")
        client.server_url = "http://%s:%d" % refused_port.getsockname()
        with pytest.raises(requests.ConnectionError) as raised:
            client._get("/v1/x")
        assert not isinstance(raised.value, requests.Timeout)
