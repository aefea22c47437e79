"""The module surface: constants, bound names, classes, and the names looked up at the moment of use."""

from __future__ import annotations

import copy
import inspect
import io
import json
import logging
import pickle
import subprocess
import sys
import time
import types
import zipfile
from unittest import mock

import pytest
import requests
import urllib3

from quenlo.sdk import constants, exceptions, utils, velm_api, velm_models
from quenlo.sdk.simulator import EngineSimulator

COMMANDS = [
    "Command",
    "PipelineCommand",
    "StartPipelineCommand",
    "StopPipelineCommand",
    "ValidateCommand",
    "PreviewCommand",
    "ConnectionValidateCommand",
    "SnapshotCommand",
]
STATUS_ERRORS = {
    "StartError": "Pipeline start error.",
    "RunningError": "Pipeline running error.",
    "RunError": "Pipeline run error.",
    "ConnectError": "Pipeline connect error.",
}


class TestSurface:
    def test_constants_docstring_and_logger(self):
        assert velm_api.__doc__ == "Abstractions to interact with the VELM REST API."
        assert velm_api.logger is logging.getLogger("quenlo.sdk.velm_api")
        assert list(velm_api.REQUIRED_HEADERS.items()) == [
            ("X-Requested-By", "velm"),
            ("content-type", "application/json"),
        ]
        assert velm_api.DEFAULT_VELM_API_VERSION == 1 and type(velm_api.DEFAULT_VELM_API_VERSION) is int

    @pytest.mark.parametrize(
        ("name", "expected"),
        [
            ("velm_models", velm_models),
            ("ENGINE_AUTHENTICATION_METHOD_FORM", constants.ENGINE_AUTHENTICATION_METHOD_FORM),
            ("BadRequestError", exceptions.BadRequestError),
            ("InternalServerError", exceptions.InternalServerError),
            ("Version", utils.Version),
            ("get_params", utils.get_params),
            ("join_url_parts", utils.join_url_parts),
            ("pipeline_json_encoder", utils.pipeline_json_encoder),
            ("wait_for_condition", utils.wait_for_condition),
            ("json", json),
            ("logging", logging),
            ("time", time),
            ("io", io),
            ("zipfile", zipfile),
            ("requests", requests),
            ("urllib3", urllib3),
        ],
    )
    def test_companion_names_are_bound(self, name, expected):
        assert getattr(velm_api, name) is expected

    @pytest.mark.parametrize(
        ("name", "base"),
        [
            ("Command", object),
            ("PipelineCommand", "Command"),
            ("StartPipelineCommand", "PipelineCommand"),
            ("StopPipelineCommand", "PipelineCommand"),
            ("ValidateCommand", "Command"),
            ("PreviewCommand", "Command"),
            ("ConnectionValidateCommand", "Command"),
            ("SnapshotCommand", "Command"),
            ("StatusError", Exception),
            *[(error, "StatusError") for error in STATUS_ERRORS],
        ],
    )
    def test_class_hierarchy(self, name, base):
        cls = getattr(velm_api, name)
        base = getattr(velm_api, base) if isinstance(base, str) else base
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "quenlo.sdk.velm_api"

    @pytest.mark.parametrize("name", COMMANDS)
    def test_command_methods_have_real_signatures(self, name):
        cls = getattr(velm_api, name)
        methods = [m for m in dir(cls) if not m.startswith("_") and inspect.isfunction(getattr(cls, m))]
        assert list(inspect.signature(cls.__init__).parameters)[:3] == ["self", "api_client", "response"]
        stand_in = mock.create_autospec(cls, instance=True)
        for method in methods:
            parameters = list(inspect.signature(getattr(cls, method)).parameters.values())[1:]
            required = [None for p in parameters if p.default is p.empty and p.kind is p.POSITIONAL_OR_KEYWORD]
            with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
                getattr(stand_in, method)(*required, bogus=1)

    def test_public_classes_and_methods_are_documented(self):
        for name in ["ApiClient", *COMMANDS]:
            cls = getattr(velm_api, name)
            assert cls.__doc__, name
            for attribute, member in vars(cls).items():
                if attribute.startswith("__") or not callable(member) and not isinstance(member, property):
                    continue
                assert member.__doc__, f"{name}.{attribute}"

    def test_status_errors_are_documented_and_tabled(self):
        assert velm_api.StatusError.__doc__.startswith("Parent class for pipeline status errors.")
        for name, doc in STATUS_ERRORS.items():
            assert getattr(velm_api, name).__doc__ == doc
        assert velm_api.PipelineCommand.ERROR_STATUSES == {
            "START_ERROR": velm_api.StartError,
            "RUNNING_ERROR": velm_api.RunningError,
            "RUN_ERROR": velm_api.RunError,
            "CONNECT_ERROR": velm_api.ConnectError,
        }
        assert not hasattr(velm_api, "ERROR_STATUSES")

    @pytest.mark.parametrize("name", ["StatusError", *STATUS_ERRORS])
    @pytest.mark.parametrize("record", [{"status": "X", "message": "boom"}, {"status": "X"}])
    def test_status_errors_survive_pickling_and_copying(self, name, record):
        error = getattr(velm_api, name)(record)
        for clone in (pickle.loads(pickle.dumps(error)), copy.copy(error)):
            assert type(clone) is type(error)
            assert (clone.response, clone.message, str(clone)) == (record, record.get("message"), str(error))

    def test_import_starts_nothing(self):
        script = (
            "import threading, sys\n"
            "from quenlo.sdk import velm_api\n"
            "print(threading.active_count(), 'quenlo.sdk.simulator' in sys.modules)\n"
        )
        result = subprocess.run([sys.executable, "-c", script], check=False, capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["1", "False"]


class TestCommandObjects:
    def test_constructed_by_position_or_keyword_with_writable_attributes(self, client):
        by_position = velm_api.PipelineCommand(client, "r1")
        by_keyword = velm_api.Command(api_client=client, response="r2")
        assert (by_position.api_client, by_position.response) == (client, "r1")
        assert (by_keyword.api_client, by_keyword.response) == (client, "r2")
        by_keyword.response = "r3"
        assert by_keyword.response == "r3"

    def test_client_session_can_be_replaced(self, client, engine):
        replacement = requests.Session()
        replacement.headers.update({"X-Requested-By": "replacement"})
        client.session = replacement
        client.get_velm_info()
        assert engine.last_request.header("X-Requested-By") == "replacement"


class TestLookedUpWhenUsed:
    """Every module-level name is read from the module when it is used, so patching it there is honoured."""

    def test_join_url_parts(self, engine):
        calls = []

        def joining(*parts):
            calls.append(parts)
            return utils.join_url_parts(*parts) + "?via=patch"

        with mock.patch.object(velm_api, "join_url_parts", joining):
            velm_api.ApiClient(engine.url)
        assert calls == [(engine.url, "/rest", "/v1/system/info")]
        assert engine.requests[0].query == "via=patch"

    def test_requests_session(self, engine):
        class RecordingSession(requests.Session):
            pass

        stand_in = types.SimpleNamespace(Session=RecordingSession, HTTPError=requests.HTTPError)
        with mock.patch.object(velm_api, "requests", stand_in):
            client = velm_api.ApiClient(engine.url)
        assert type(client.session) is RecordingSession
        # The dotted form patches the requests module the client module is bound to.
        with mock.patch("quenlo.sdk.velm_api.requests.Session", wraps=requests.Session) as session_class:
            velm_api.ApiClient(engine.url)
        session_class.assert_called_once_with()

    def test_required_headers_and_form_method(self, engine):
        with (
            mock.patch.object(velm_api, "REQUIRED_HEADERS", {"X-Requested-By": "patched"}),
            mock.patch.object(velm_api, "ENGINE_AUTHENTICATION_METHOD_FORM", "basic"),
        ):
            client = velm_api.ApiClient(engine.url, "basic", "u", "p")
        assert client.session.auth == ("u", "p")
        assert engine.requests[0].header("X-Requested-By") == "patched"

    def test_logger(self, engine):
        with mock.patch.object(velm_api, "logger") as logger:
            velm_api.ApiClient(engine.url)
        logger.info.assert_any_call("Authentication method = %s", None)
        logger.debug.assert_any_call("Connected to VELM v%s", "5.6.0")

    def test_urllib3(self, engine):
        with mock.patch.object(velm_api, "urllib3") as stand_in:
            velm_api.ApiClient(engine.url, session_attributes={"verify": False})
        stand_in.disable_warnings.assert_called_once_with(stand_in.exceptions.InsecureRequestWarning)

    def test_wait_for_condition(self, engine):
        with mock.patch.object(velm_api, "wait_for_condition") as waiting:
            client = velm_api.ApiClient(engine.url)
        waiting.assert_called_once()
        assert engine.requests == []
        assert not hasattr(client, "version")
        with pytest.raises(AttributeError):
            client.version  # noqa: B018

    def test_get_params(self, client, engine):
        engine.script_status("p1", ["RUNNING"])
        with mock.patch.object(velm_api, "get_params", return_value={"patched": "yes"}):
            client.get_pipeline_status("p1")
        assert engine.requests[0].query == "patched=yes"

    def test_json_and_pipeline_json_encoder(self, client, engine):
        engine.inject_fault("POST", "/v1/x", status=200, count=2)
        marker = object()
        with mock.patch.object(velm_api, "pipeline_json_encoder", lambda value: "encoded"):
            client._post("/v1/x", data={"v": marker})
        with mock.patch.object(velm_api, "json", types.SimpleNamespace(dumps=lambda data, **kw: "dumped")):
            client._post("/v1/x", data={"v": 1})
        assert [r.body for r in engine.requests] == [b'{"v": "encoded"}', b"dumped"]

    @pytest.mark.parametrize(("status", "name"), [(400, "BadRequestError"), (500, "InternalServerError")])
    def test_http_error_classes(self, client, engine, status, name):
        class Custom(getattr(exceptions, name)):
            pass

        engine.inject_fault("GET", "/v1/x", status=status)
        with mock.patch.object(velm_api, name, Custom), pytest.raises(Custom):
            client._get("/v1/x")

    def test_command_class_gets_client_and_response_by_position(self, client, engine):
        engine.script_status("p1", ["RUNNING"])
        with mock.patch.object(velm_api, "PipelineCommand") as command_class:
            assert client.get_pipeline_status("p1") is command_class.return_value
        ((api_client, response), kwargs) = command_class.call_args
        assert api_client is client and kwargs == {}
        assert response.json()["status"] == "RUNNING"

    def test_time_of_the_waits(self, client, engine):
        clock = types.SimpleNamespace(now=50.0, sleeps=[])
        clock.time = lambda: clock.now

        def sleep(seconds):
            clock.sleeps.append(seconds)
            clock.now += seconds

        engine.script_status("p1", ["STARTING"])
        command = client.get_pipeline_status("p1")
        stand_in = types.SimpleNamespace(time=clock.time, sleep=sleep)
        with mock.patch.object(velm_api, "time", stand_in), pytest.raises(Exception, match="^Timed out after 3 s"):
            command.wait_for_status("RUNNING", timeout_sec=3)
        assert clock.sleeps == [1, 1, 1]

    def test_subclass_transport_is_used_by_operations(self, engine):
        calls = []

        class Recording(velm_api.ApiClient):
            def _get(self, *args, **kwargs):
                calls.append((args, kwargs))
                return super()._get(*args, **kwargs)

        engine.script_status("p1", ["RUNNING"])
        client = Recording(engine.url)
        client.get_pipeline_status("p1")
        assert calls == [
            ((), {"endpoint": "/v1/system/info"}),
            ((), {"endpoint": "/v1/pipeline/p1/status", "params": {"rev": 0}}),
        ]


def test_clients_of_two_engines_are_independent():
    with EngineSimulator(version="1.2.3") as first, EngineSimulator(version="4.5.6") as second:
        a, b = velm_api.ApiClient(first.url), velm_api.ApiClient(second.url, api_version=2)
        assert (a.version, b.version) == ("1.2.3", "4.5.6")
        assert a.session is not b.session
        assert [r.path for r in second.requests] == ["/rest/v2/system/info"]
