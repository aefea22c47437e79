"""ApiClient construction, session set-up, the connectivity probe, get_velm_info and set_user."""

from __future__ import annotations

import base64
import inspect
import logging
import socket
import subprocess
import sys
import textwrap
import warnings
from collections.abc import Iterator
from unittest import mock

import pytest
import requests

from quenlo.sdk import utils, velm_api
from quenlo.sdk.simulator import EngineSimulator

LOGGER = "quenlo.sdk.velm_api"
INFO = "/v1/system/info"


@pytest.fixture
def log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def records(caplog: pytest.LogCaptureFixture, template: str) -> list[logging.LogRecord]:
    return [r for r in caplog.records if r.name == LOGGER and r.msg == template]


def basic(user: str, password: str) -> str:
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


@pytest.fixture
def refused_url() -> Iterator[str]:
    """A loopback URL whose port is bound but not listening, so connections are refused."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"


@pytest.fixture
def secured_engine() -> Iterator[EngineSimulator]:
    with EngineSimulator(users={"alice": "a-pw", "bob": "b-pw"}) as simulator:
        yield simulator


class TestConstruction:
    def test_defaults_and_first_request(self, engine, log):
        client = velm_api.ApiClient(engine.url)

        (first,) = engine.requests
        assert (first.method, first.path, first.query) == ("GET", "/rest/v1/system/info", "")
        assert first.header("X-Requested-By") == "velm"
        assert first.header("content-type") == "application/json"
        assert first.header("Authorization") is None
        assert (client.server_url, client.authentication_method, client.api_version) == (engine.url, None, 1)
        assert client.version == "5.6.0"
        assert client.session.auth is None
        assert isinstance(client.session, requests.Session)

        (auth_log,) = records(log, "Authentication method = %s")
        assert auth_log.levelno == logging.INFO
        assert auth_log.getMessage() == "Authentication method = None"

    @pytest.mark.parametrize(("username", "password"), [("u", None), (None, "p"), (None, None)])
    def test_form_method_needs_both_credentials(self, engine, log, username, password):
        with pytest.raises(ValueError, match="^username and password are mandatory parameters$"):
            velm_api.ApiClient(engine.url, "form", username, password)
        assert engine.requests == []
        # The method is logged before the check.
        assert records(log, "Authentication method = %s")[0].args == ("form",)

    def test_form_method_sends_basic_credentials_with_every_request(self, secured_engine):
        client = velm_api.ApiClient(secured_engine.url, authentication_method="form", username="alice", password="a-pw")
        assert client.session.auth == ("alice", "a-pw")
        client.get_velm_info()
        assert len(secured_engine.requests) == 2
        for request in secured_engine.requests:
            assert request.header("Authorization") == basic("alice", "a-pw")
            assert request.user == "alice"

    @pytest.mark.parametrize("method", [None, "none", "FORM", "kerberos"])
    @pytest.mark.parametrize("credentials", [("alice", "a-pw"), (None, "a-pw")])
    def test_credentials_ignored_without_the_form_method_with_one_warning(self, engine, method, credentials):
        with pytest.warns(UserWarning, match="^No credentials will be sent") as warned:
            client = velm_api.ApiClient(engine.url, method, *credentials)
        assert len(warned) == 1 and warned[0].filename == __file__
        assert repr(method) in str(warned[0].message)
        assert client.session.auth is None
        assert engine.requests[0].header("Authorization") is None

    @pytest.mark.parametrize("arguments", [(), ("form", "alice", "a-pw"), ("kerberos",)])
    def test_no_warning_when_nothing_is_dropped(self, engine, arguments):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            velm_api.ApiClient(engine.url, *arguments)

    @pytest.mark.parametrize("name", ["X-Requested-By", "x-requested-by"])
    def test_caller_headers_replace_required_ones(self, engine, name):
        velm_api.ApiClient(engine.url, headers={name: "other", "X-Trace": "t1"})
        (request,) = engine.requests
        assert request.headers.getlist("X-Requested-By") == ["other"]
        assert request.header("X-Trace") == "t1"
        assert request.header("content-type") == "application/json"

    def test_session_attributes_are_set_after_headers_and_credentials(self, secured_engine):
        client = velm_api.ApiClient(
            secured_engine.url,
            "form",
            "alice",
            "a-pw",
            session_attributes={"auth": ("bob", "b-pw"), "headers": {"X-Requested-By": "mine"}},
        )
        (request,) = secured_engine.requests
        assert request.user == "bob"
        # The whole header mapping was replaced, required headers included.
        assert request.header("X-Requested-By") == "mine"
        assert request.header("content-type") is None
        assert client.session.headers == {"X-Requested-By": "mine"}

    def test_unknown_session_attribute_is_rejected_before_any_request(self, engine):
        with pytest.raises(ValueError, match="verfy"):
            velm_api.ApiClient(engine.url, session_attributes={"verfy": False})
        assert engine.requests == []

    @pytest.mark.parametrize(
        ("attributes", "silenced"),
        [({"verify": False}, True), ({"verify": 0}, True), ({"verify": True}, False), (None, False), ({}, False)],
    )
    def test_verify_off_silences_the_insecure_request_warning(self, engine, attributes, silenced):
        with mock.patch.object(velm_api.urllib3, "disable_warnings") as disable:
            client = velm_api.ApiClient(engine.url, session_attributes=attributes)
        if silenced:
            disable.assert_called_once_with(velm_api.urllib3.exceptions.InsecureRequestWarning)
            assert not client.session.verify
        else:
            disable.assert_not_called()

    @pytest.mark.parametrize("verify", [False, True])
    def test_warning_filter_is_installed_process_wide_only_when_verify_is_off(self, engine, verify):
        # A fresh interpreter, so the filters of this test process do not interfere.
        script = textwrap.dedent(
            f"""
            import warnings
            from urllib3.exceptions import InsecureRequestWarning
            from quenlo.sdk import velm_api
            velm_api.ApiClient({engine.url!r}, session_attributes={{"verify": {verify}}})
            print(any(f[0] == "ignore" and f[2] is InsecureRequestWarning for f in warnings.filters))
            """
        )
        result = subprocess.run([sys.executable, "-c", script], check=False, capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == str(not verify)

    def test_api_version_is_used_in_paths(self, engine):
        engine.script_status("p1", ["RUNNING"])
        client = velm_api.ApiClient(engine.url, api_version=3)
        client.get_pipeline_status("p1")
        assert [r.path for r in engine.requests] == ["/rest/v3/system/info", "/rest/v3/pipeline/p1/status"]
        assert client.api_version == 3

    def test_default_api_version_is_fixed_when_the_class_is_made(self, engine):
        with mock.patch.object(velm_api, "DEFAULT_VELM_API_VERSION", 9):
            client = velm_api.ApiClient(engine.url)
        assert client.api_version == 1
        assert engine.requests[0].path == "/rest/v1/system/info"

    def test_version_is_absent_until_the_probe_succeeds(self, engine):
        seen = []

        class Watching(velm_api.ApiClient):
            def get_velm_info(self):
                seen.append(hasattr(self, "version"))
                return super().get_velm_info()

        engine.inject_fault("GET", INFO, status=503)
        with mock.patch("time.sleep"):
            client = Watching(engine.url)
        assert seen == [False, False]
        assert client.version == "5.6.0"

    def test_probe_is_handed_to_wait_for_condition_with_the_client(self, engine):
        calls = []

        def recording(*args, **kwargs):
            calls.append((args, kwargs))
            return utils.wait_for_condition(*args, **kwargs)

        with mock.patch.object(velm_api, "wait_for_condition", recording):
            client = velm_api.ApiClient(engine.url)
        ((args, kwargs),) = calls
        assert kwargs == {}
        probe, probe_args = args
        assert probe.__name__ == "velm_connectivity_established"
        assert type(probe_args) is list and probe_args[0] is client
        assert probe(client) is True


class TestSignatures:
    PUBLIC = [n for n, v in vars(velm_api.ApiClient).items() if callable(v) and (n[0] != "_" or n == "__init__")]

    @pytest.mark.parametrize("name", PUBLIC)
    def test_every_public_method_has_its_signature_and_documentation(self, name):
        method = getattr(velm_api.ApiClient, name)
        assert list(inspect.signature(method).parameters)[0] == "self"
        assert method.__doc__ and method.__qualname__ == f"ApiClient.{name}"

    def test_a_mock_of_the_client_refuses_what_the_client_refuses(self):
        client = mock.create_autospec(velm_api.ApiClient, instance=True)
        client.start_pipeline("p", rev=2, runtime_parameters={})
        with pytest.raises(TypeError):
            client.start_pipeline("p", bogus=1)
        with pytest.raises(TypeError):
            client.get_pipeline_status()

    def test_python_binds_the_arguments_with_its_own_errors(self, client, engine):
        with pytest.raises(TypeError, match=r"get_pipeline_status\(\) got an unexpected keyword argument 'bogus'"):
            client.get_pipeline_status("p1", bogus=1)
        with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
            client.delete_pipeline("p1", "p2")
        with pytest.raises(TypeError, match=r"__init__\(\) takes from 2 to 8 positional arguments but 9"):
            velm_api.ApiClient(engine.url, None, None, None, 1, None, None, 5)
        assert engine.requests == []


class TestProbe:
    def test_failure_statuses_are_retried_with_their_log_lines(self, engine, log, no_sleep):
        engine.state.version = "6.1.2"
        engine.inject_fault("GET", INFO, status=503, count=2)
        client = velm_api.ApiClient(engine.url)

        assert len(engine.requests) == 3
        assert client.version == "6.1.2"
        probe_lines = [
            r
            for r in log.records
            if r.msg in ("Call to VELM info endpoint failed. Trying again ...", "Connected to VELM v%s")
        ]
        assert [(r.msg, r.args, r.levelno) for r in probe_lines] == [
            ("Call to VELM info endpoint failed. Trying again ...", (), logging.DEBUG),
            ("Call to VELM info endpoint failed. Trying again ...", (), logging.DEBUG),
            ("Connected to VELM v%s", ("6.1.2",), logging.DEBUG),
        ]
        assert no_sleep.call_count == 2

    def test_400_and_500_answers_are_retried_too(self, engine, log, no_sleep):
        engine.inject_fault("GET", INFO, status=500)
        engine.inject_fault("GET", INFO, status=400)
        client = velm_api.ApiClient(engine.url)
        assert client.version == "5.6.0"
        assert len(records(log, "Call to VELM info endpoint failed. Trying again ...")) == 2

    @pytest.mark.parametrize("fault", [{"empty": True}, {"body": {"commit": "x"}}])
    def test_record_without_version_is_retried(self, engine, log, no_sleep, fault):
        engine.inject_fault("GET", INFO, status=200, count=3, **fault)
        client = velm_api.ApiClient(engine.url)
        assert client.version == "5.6.0"
        assert len(engine.requests) == 4
        assert len(records(log, "Invalid VELM info received. Trying again ...")) == 3

    def test_constructor_does_not_return_while_the_record_stays_empty(self, engine, log):
        clock = [1000.0]

        def fake_sleep(seconds: float) -> None:
            clock[0] += seconds

        engine.inject_fault("GET", INFO, empty=True, count=None)
        patched_time = mock.patch("time.time", lambda: clock[0])
        patched_sleep = mock.patch("time.sleep", fake_sleep)
        with patched_time, patched_sleep, pytest.raises(TimeoutError, match="velm_connectivity_established"):
            velm_api.ApiClient(engine.url)
        tries = len(engine.requests)
        assert tries > 50
        assert len(records(log, "Invalid VELM info received. Trying again ...")) == tries

    def test_refused_connection_leaves_at_once(self, refused_url, log, no_sleep):
        with pytest.raises(requests.ConnectionError):
            velm_api.ApiClient(refused_url)
        no_sleep.assert_not_called()
        assert not [r for r in log.records if "Trying again" in r.getMessage()]

    def test_body_that_is_not_json_leaves_at_once(self, engine, log, no_sleep):
        engine.inject_fault("GET", INFO, status=200, not_json=True)
        with pytest.raises(ValueError):
            velm_api.ApiClient(engine.url)
        assert len(engine.requests) == 1
        no_sleep.assert_not_called()


class TestGetVelmInfo:
    def test_empty_answer_gives_a_new_empty_mapping(self, client, engine):
        engine.inject_fault("GET", INFO, empty=True, count=2)
        first, second = client.get_velm_info(), client.get_velm_info()
        assert first == {} and type(first) is dict
        assert first is not second

    def test_json_answer_is_returned_whole(self, client, engine):
        assert client.get_velm_info() == engine.state.info()
        (request,) = engine.requests
        assert (request.method, request.path, request.query) == ("GET", "/rest/v1/system/info", "")

    def test_failure_status_raises(self, client, engine):
        engine.inject_fault("GET", INFO, status=503)
        with pytest.raises(requests.HTTPError) as raised:
            client.get_velm_info()
        assert raised.value.response.status_code == 503


class TestSetUser:
    def test_new_credentials_and_no_old_cookies(self, secured_engine):
        client = velm_api.ApiClient(secured_engine.url, "form", "alice", "a-pw")
        client.get_velm_info()
        assert "velm_session" in client.session.cookies
        assert secured_engine.last_request.header("Cookie", "").startswith("velm_session=")
        secured_engine.clear_requests()

        assert client.set_user("bob", "b-pw") is None
        assert secured_engine.requests == []  # nothing is sent by set_user itself
        client.get_velm_info()
        (request,) = secured_engine.requests
        assert request.header("Authorization") == basic("bob", "b-pw")
        assert request.header("Cookie") is None
        assert request.user == "bob"

    @pytest.mark.parametrize(("username", "password"), [(None, "b-pw"), ("bob", None), (None, None)])
    def test_missing_half_installs_no_credentials(self, secured_engine, username, password):
        client = velm_api.ApiClient(secured_engine.url, "form", "alice", "a-pw")
        client.set_user(username, password)
        assert client.session.auth is None
        with pytest.raises(requests.HTTPError) as raised:
            client.get_velm_info()
        assert raised.value.response.status_code == 401
        assert secured_engine.last_request.header("Authorization") is None
        assert secured_engine.last_request.header("Cookie") is None

    def test_works_on_a_client_without_authentication(self, client, engine):
        client.set_user("carol", "c-pw")
        client.get_velm_info()
        assert engine.last_request.header("Authorization") == basic("carol", "c-pw")
