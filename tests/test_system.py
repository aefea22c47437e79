"""Engine information, configuration, logs, password change, definitions, health and support bundles."""

from __future__ import annotations

import io
import socket
import subprocess
import sys
import threading
import tracemalloc
import zipfile
from typing import Any, Iterator
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError, InternalServerError
from quenlo.sdk.simulator import EngineSimulator, pipeline_definition
from quenlo.sdk.simulator.canned import EXTRA_LIBRARIES
from quenlo.sdk.simulator.context import LOG_PAGE
from quenlo.sdk.simulator.store import StoredPipeline
from quenlo.sdk.velm_models import Pipeline

DECODED, COMMAND, ARCHIVE = "decoded", "command", "archive"

# operation and arguments, verb, path after /rest/v2, raw query, what comes back
WIRE = [
    ("get_velm_directories", (), "GET", "/system/directories", "", DECODED),
    ("get_velm_configuration", (), "GET", "/system/configuration", "", COMMAND),
    ("get_velm_ui_configuration", (), "GET", "/system/configuration/ui", "", COMMAND),
    ("get_velm_id", (), "GET", "/system/info/id", "", COMMAND),
    ("get_current_user", (), "GET", "/system/info/currentUser", "", DECODED),
    ("get_jmx_metrics", (), "GET", "/system/jmx", "", COMMAND),
    ("get_system_stats", (), "GET", "/system/stats", "", COMMAND),
    ("opt_for_system_stats", ("true",), "POST", "/system/stats", "active=true", COMMAND),
    ("get_logs", (), "GET", "/system/logs", "endingOffset=-1", COMMAND),
    ("get_definitions", (), "GET", "/definitions", "", DECODED),
    ("get_connection_definitions", (), "GET", "/definitions/connections", "", COMMAND),
    ("get_stage_libraries_list", (None, True), "GET", "/stageLibraries/list", "installedOnly=True", COMMAND),
    ("get_classpath_health", (), "GET", "/stageLibraries/classpathHealth", "", DECODED),
    ("get_alerts", (), "GET", "/pipelines/alerts", "", DECODED),
    ("get_bundle_generators", (), "GET", "/system/bundle/list", "", DECODED),
    ("get_bundle", (), "GET", "/system/bundle/generate", "generators=", ARCHIVE),
    ("get_bundle", (["logs", "pipelines"],), "GET", "/system/bundle/generate", "generators=logs%2Cpipelines", ARCHIVE),
    ("get_bundle", ("logs",), "GET", "/system/bundle/generate", "generators=logs", ARCHIVE),
    ("get_health_categories", (), "GET", "/system/health/categories", "", COMMAND),
    ("get_health_report", (), "GET", "/system/health/report", "", COMMAND),
    (
        "get_health_report",
        (["RUNTIME", "MACHINE"],),
        "GET",
        "/system/health/report",
        "categories=RUNTIME&categories=MACHINE",
        COMMAND,
    ),
]


@pytest.fixture
def client2(engine: EngineSimulator) -> velm_api.ApiClient:
    """A client on REST API version 2, so that paths show they follow the client's version."""
    api_client = velm_api.ApiClient(engine.url, api_version=2)
    engine.clear_requests()
    return api_client


@pytest.mark.parametrize(
    "name, args, verb, path, query, returns", WIRE, ids=[f"{w[0]}{len(w[1]) and w[1]}" for w in WIRE]
)
def test_each_operation_sends_one_request_and_returns_its_kind(engine, client2, name, args, verb, path, query, returns):
    result = getattr(client2, name)(*args)

    (request,) = engine.requests
    assert (request.method, request.path, request.query, request.body) == (verb, "/rest/v2" + path, query, b"")
    if returns == COMMAND:
        assert type(result) is velm_api.Command
        assert result.api_client is client2 and result.response.status_code == 200
    elif returns == ARCHIVE:
        assert isinstance(result, zipfile.ZipFile) and result.testzip() is None
        assert result.filename is None  # read from memory, not from a file
    else:
        assert result == requests.get(engine.url + "/rest/v2" + path).json()


EMPTY_READERS = [
    ("get_velm_directories", "/v1/system/directories", {}),
    ("get_current_user", "/v1/system/info/currentUser", {}),
    ("get_classpath_health", "/v1/stageLibraries/classpathHealth", []),
    ("get_alerts", "/v1/pipelines/alerts", []),
    ("get_bundle_generators", "/v1/system/bundle/list", []),
]


@pytest.mark.parametrize("name, path, empty", EMPTY_READERS)
def test_readers_give_an_empty_result_for_an_empty_body_and_fail_on_one_that_is_not_json(
    engine, client, name, path, empty
):
    engine.inject_fault("GET", path, empty=True)
    result = getattr(client, name)()
    assert result == empty and type(result) is type(empty)

    engine.inject_fault("GET", path, not_json=True)
    with pytest.raises(ValueError):
        getattr(client, name)()


def test_definitions_have_no_empty_body_case(engine, client):
    engine.inject_fault("GET", "/v1/definitions", empty=True)
    with pytest.raises(ValueError):
        client.get_definitions()


@pytest.mark.parametrize(
    "name, args, path",
    [
        ("get_velm_configuration", (), "/v1/system/configuration"),
        ("opt_for_system_stats", ("false",), "/v1/system/stats"),
        ("get_logs", (), "/v1/system/logs"),
        ("get_health_report", (), "/v1/system/health/report"),
    ],
)
def test_commands_hold_an_undecodable_answer_without_decoding_it(engine, client, name, args, path):
    engine.inject_fault("*", path, not_json=True)
    command = getattr(client, name)(*args)
    assert command.response.content.startswith(b"<html>")


def test_get_logs_hands_its_arguments_to_get_params_and_the_engine_filters(engine, client):
    log = engine.state.log
    log.add("ERROR", "runner", "batch failed: disk full", pipeline="p1")
    log.add("INFO", "runner", "batch done", pipeline="p1")
    log.add("ERROR", "runner", "batch failed: timeout", pipeline="p2")

    command = client.get_logs(
        ending_offset=-1, extra_message="failed", pipeline=Pipeline(pipelineId="p1"), severity="ERROR"
    )

    assert engine.requests[-1].query == "endingOffset=-1&extraMessage=failed&pipeline=p1&severity=ERROR"
    assert [e["message"] for e in command.response.json()] == ["batch failed: disk full"]


def test_logs_are_read_back_page_by_page_from_the_ending_offset(engine, client):
    for number in range(LOG_PAGE + 20):
        engine.state.log.add("INFO", "test", f"line {number}")
    total = LOG_PAGE + 20 + 1  # the engine logs its start-up too

    first = client.get_logs().response
    offset = int(first.headers["X-Velm-Log-Offset"])
    second = client.get_logs(ending_offset=offset).response

    assert len(first.json()) == LOG_PAGE and first.json()[-1]["message"] == f"line {LOG_PAGE + 19}"
    assert second.json()[-1]["offset"] < offset
    assert len({e["offset"] for e in first.json() + second.json()}) == total


def test_statistics_are_switched_on_and_off(client):
    assert client.get_system_stats().response.json()["active"] is False
    assert client.opt_for_system_stats("true").response.json()["active"] is True
    assert client.get_system_stats().response.json()["active"] is True
    client.opt_for_system_stats("false")
    assert client.get_system_stats().response.json()["active"] is False
    with pytest.raises(BadRequestError):
        client.opt_for_system_stats("maybe")


class TestCurrentUserAndPassword:
    @pytest.fixture
    def engine(self):
        with EngineSimulator(users={"ann": "old-secret", "bob": "bob"}) as simulator:
            simulator.state.users.set_profile("ann", roles=["creator"], groups=["ops", "all"])
            yield simulator

    @pytest.fixture
    def client(self, engine):
        api_client = velm_api.ApiClient(engine.url, "form", "ann", "old-secret")
        engine.clear_requests()
        return api_client

    def test_current_user_is_the_authenticated_user_with_groups_and_roles(self, client):
        user = client.get_current_user()
        assert (user["user"], user["roles"], user["groups"]) == ("ann", ["creator"], ["ops", "all"])

    def test_password_change_takes_effect_and_the_old_password_is_refused(self, engine, client):
        document = {"id": "ann", "oldPassword": "old-secret", "newPassword": "new-secret"}
        command = client.change_password(document)

        current, post = engine.requests
        assert (current.method, current.path) == ("GET", "/rest/v1/system/info/currentUser")
        assert (post.method, post.path, post.json()) == (
            "POST",
            "/rest/v1/usermanagement/users/ann/changePassword",
            document,
        )
        assert command.response.status_code == 200

        client.set_user("ann", "old-secret")
        with pytest.raises(requests.HTTPError) as refused:
            client.get_velm_info()
        assert refused.value.response.status_code == 401
        client.set_user("ann", "new-secret")
        assert client.get_current_user()["user"] == "ann"

    def test_a_wrong_old_password_changes_nothing(self, engine, client):
        with pytest.raises(BadRequestError):
            client.change_password({"id": "ann", "oldPassword": "guess", "newPassword": "x"})
        assert engine.users.check("ann", "old-secret")

    @pytest.mark.parametrize("fault", [{"body": {"roles": ["creator"]}}, {"empty": True}])
    def test_no_post_without_a_user_in_the_current_user_record(self, engine, client, fault):
        engine.inject_fault("GET", "/v1/system/info/currentUser", **fault)
        with pytest.raises(KeyError):
            client.change_password({"oldPassword": "old-secret", "newPassword": "x"})
        assert [r.method for r in engine.requests] == ["GET"]

    def test_the_path_names_whoever_the_engine_reports(self, engine, client):
        engine.inject_fault("GET", "/v1/system/info/currentUser", body={"user": "bob"})
        with pytest.raises(requests.HTTPError) as refused:  # ann may not change bob's password
            client.change_password({"id": "bob", "oldPassword": "bob", "newPassword": "x"})
        assert refused.value.response.status_code == 403
        assert engine.requests[-1].path == "/rest/v1/usermanagement/users/bob/changePassword"
        assert engine.users.check("bob", "bob")


class TestBundle:
    def test_the_default_bundle_holds_the_default_generators(self, client):
        defaults = [g["id"] for g in client.get_bundle_generators() if g["default"]]
        archive = client.get_bundle()
        generators = archive.read("bundle.properties").decode()
        assert f"generators={','.join(defaults)}" in generators
        assert {name.split("/")[0] for name in archive.namelist()} == {"bundle.properties", *defaults}
        assert "Engine 5.6.0 started" in archive.read("logs/velm.log").decode()
        assert "keystore.password=********" in archive.read("configuration/velm.properties").decode()

    def test_chosen_generators_assemble_the_pipelines(self, engine, client):
        engine.state.pipelines.add(
            StoredPipeline(pipeline_id="a/../b", title="t", definition=pipeline_definition("a/../b", "t"))
        )
        archive = client.get_bundle(("pipelines", "acl"))
        assert sorted(archive.namelist()) == [
            "acl/a%2F%2E%2E%2Fb.json",
            "bundle.properties",
            "pipelines/a%2F%2E%2E%2Fb.json",
        ]

    def test_a_name_that_is_not_text_is_refused_before_any_request(self, engine, client):
        with pytest.raises(TypeError):
            client.get_bundle(["logs", 3])
        assert engine.requests == []

    @pytest.mark.parametrize("fault", [{"empty": True}, {"body": b"not a zip"}])
    def test_an_answer_that_is_not_a_zip_archive_is_an_invalid_archive(self, engine, client, fault):
        engine.inject_fault("GET", "/v1/system/bundle/generate", **fault)
        with pytest.raises(zipfile.BadZipFile):
            client.get_bundle()

    def test_an_unknown_generator_is_refused_by_the_engine(self, client):
        with pytest.raises(BadRequestError):
            client.get_bundle(["logs", "Nope"])


class TestCannedDocuments:
    def test_libraries_are_listed_per_repository_and_installed_only_on_request(self, client):
        def listed(repo_url, installed_only):
            libraries = client.get_stage_libraries_list(repo_url, installed_only).response.json()
            return {lib["libraryId"]: lib["installed"] for lib in libraries}

        everything = listed(None, False)
        assert False in everything.values()
        assert listed(None, True) == {k: v for k, v in everything.items() if v}
        assert listed(EXTRA_LIBRARIES, False) == {"web": False}
        with pytest.raises(BadRequestError):
            listed("https://nowhere.example/repo", False)

    def test_a_test_replaces_a_document_until_the_next_reset(self, engine, client):
        alert = {"pipelineId": "p", "check": {"id": "slow", "enabled": True}, "time": 0, "text": "too slow"}
        engine.documents["alerts"] = [alert]
        assert client.get_alerts() == [alert] == client.get_alerts()  # an answer never changes the registry
        with pytest.raises(KeyError):
            engine.documents["nonsense"] = {}
        engine.reset()
        assert client.get_alerts() == []


def test_health_report_covers_the_asked_categories(client):
    names = [c["name"] for c in client.get_health_categories().response.json()]
    report = client.get_health_report().response.json()
    assert [c["name"] for c in report["categories"]] == names
    only = client.get_health_report(["MACHINE"]).response.json()["categories"]
    assert [c["name"] for c in only] == ["MACHINE"] and only[0]["checks"]
    with pytest.raises(BadRequestError):
        client.get_health_report(["NOPE"])


def test_configuration_shows_the_live_engine(engine, client):
    configuration = client.get_velm_configuration().response.json()
    assert configuration["http.port"] == str(engine.port)
    assert configuration["http.auth"] == "none"
    assert set(client.get_velm_ui_configuration().response.json()) <= {k for k in configuration if k.startswith("ui.")}
    assert client.get_velm_id().response.json() == {"id": engine.state.engine_id}


def test_get_logs_without_an_ending_offset_leaves_it_out(engine, client):
    client.get_logs(ending_offset=None, severity="ERROR")
    assert engine.requests[-1].query == "severity=ERROR"


def _log_archive() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("logs/engine.log", "line\n" * 1000)
    return buffer.getvalue()


LOG_ARCHIVE = _log_archive()


def _chunked(body: bytes) -> bytes:
    return b"".join(b"%x\r\n%s\r\n" % (len(part), part) for part in (body[:100], body[100:])) + b"0\r\n\r\n"


@pytest.fixture
def raw_engine() -> Iterator[Any]:
    """An engine on 127.0.0.1 that answers every request with the bytes it is given, headers and all: what a
    proper server would never send. Each answer is sent on its own connection, which it then closes."""

    class RawEngine:
        url = ""
        answer = b""

    listener = socket.create_server(("127.0.0.1", 0))
    RawEngine.url = "http://127.0.0.1:%d" % listener.getsockname()[1]
    stop = threading.Event()

    def serve() -> None:
        while not stop.is_set():
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += connection.recv(65536)
                if b"/system/info" in request.split(b"\r\n")[0]:
                    body = b'{"version": "5.6.0"}'
                    connection.sendall(
                        b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body)
                    )
                else:
                    connection.sendall(RawEngine.answer)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield RawEngine
    stop.set()
    listener.close()
    thread.join(5)


class TestBundleLengths:
    """The declared Content-Length only frames the body when nothing else does; it never sizes a buffer."""

    @pytest.mark.parametrize(
        "answer",
        [
            b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 10000000000000\r\n"
            b"Connection: close\r\n\r\n" + _chunked(LOG_ARCHIVE),
            b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % 10**20
            + _chunked(LOG_ARCHIVE),
            "HTTP/1.1 200 OK\r\nContent-Length: \u00b2\r\nConnection: close\r\n\r\n".encode("utf-8") + LOG_ARCHIVE,
        ],
        ids=["chunked-huge-length", "chunked-length-past-64-bits", "length-not-ascii-digits"],
    )
    def test_read_as_bare_requests_reads_it(self, raw_engine, answer):
        raw_engine.answer = answer
        client = velm_api.ApiClient(raw_engine.url)
        archive = client.get_bundle()
        assert archive.read("logs/engine.log") == b"line\n" * 1000
        assert archive.fp.getvalue() == LOG_ARCHIVE


def _archive(size: int) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as zf:
        zf.writestr("logs/big.log", bytes(range(256)) * (size // 256))
    return buffer.getvalue()


class _DeclaredLengthAdapter(requests.adapters.BaseAdapter):
    """Answers every request with ``body`` under a Content-Length of ``declared``, whatever the truth."""

    def __init__(self, body: bytes, declared: int) -> None:
        super().__init__()
        self.body, self.declared = body, declared

    def send(self, request: Any, **kwargs: Any) -> requests.Response:
        response = requests.Response()
        response.status_code = 200
        response.headers["Content-Length"] = str(self.declared)
        response.raw = io.BytesIO(self.body)
        response.request, response.url = request, request.url
        return response

    def close(self) -> None:
        pass


class TestBundleStreaming:
    @pytest.mark.parametrize("declared", [-100, 0, 100], ids=["shorter", "exact", "longer"])
    def test_a_declared_length_that_is_wrong_loses_nothing(self, client, declared):
        # The engine's Content-Length only sizes the buffer: the archive is whatever arrived.
        body = _archive(64 << 10)
        client.session.mount(client.server_url, _DeclaredLengthAdapter(body, len(body) + declared))
        archive = client.get_bundle()
        assert archive.read("logs/big.log") == bytes(range(256)) * (64 << 10 >> 8)
        assert archive.fp.getvalue() == body

    def test_the_archive_is_held_once(self):
        # The engine serves the archive from a process of its own, so the tracer counts the client's allocations
        # alone: the simulator's server thread would add copies of the body at moments that vary from run to run.
        size = 24 << 20
        body = _archive(size)
        serve = f"""if True:
            import io, sys, zipfile
            from quenlo.sdk.simulator import EngineSimulator
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as zf:
                zf.writestr("logs/big.log", bytes(range(256)) * ({size} // 256))
            with EngineSimulator() as engine:
                engine.inject_fault("GET", "/v1/system/bundle/generate", status=200, body=buffer.getvalue())
                print(engine.url, flush=True)
                sys.stdin.read()
            """
        with subprocess.Popen([sys.executable, "-c", serve], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as server:
            assert server.stdin and server.stdout
            try:
                client = velm_api.ApiClient(server.stdout.readline().decode().strip())
                tracemalloc.start()
                try:
                    archive = client.get_bundle()
                    peak = tracemalloc.get_traced_memory()[1]
                finally:
                    tracemalloc.stop()
            finally:
                server.stdin.close()
        assert archive.read("logs/big.log") == bytes(range(256)) * (size // 256)
        # requests joins its chunks into `content`, holding the body twice for a moment.
        assert peak < 1.5 * len(body)

    @pytest.mark.parametrize(
        ("status", "error"), [(400, BadRequestError), (500, InternalServerError), (404, requests.HTTPError)]
    )
    def test_a_failure_keeps_the_engine_text_and_the_connection(self, engine, client, status, error):
        engine.inject_fault("GET", "/v1/system/bundle/generate", status=status, body=b'{"message": "no"}')
        with pytest.raises(error) as caught:
            client.get_bundle()
        assert caught.value.response.content == b'{"message": "no"}'
        assert client.get_bundle().namelist()  # the session still works

    def test_a_replaced_get_gets_the_plain_call(self, engine, client):
        client._get = mock.Mock(wraps=client._get)
        assert client.get_bundle(["logs"]).namelist()
        client._get.assert_called_once_with(endpoint="/v1/system/bundle/generate", params={"generators": "logs"})

    def test_a_session_of_another_kind_gets_the_plain_call(self, engine, client):
        body = _archive(1024)
        response = mock.Mock(status_code=200, content=body)
        client.session = mock.Mock(spec=["get"])
        client.session.get.return_value = response
        assert client.get_bundle().read("logs/big.log") == bytes(range(256)) * 4
        client.session.get.assert_called_once_with(
            engine.url + "/rest/v1/system/bundle/generate", params={"generators": ""}
        )
