"""Tests for the engine simulator, driven over real HTTP with requests."""

from __future__ import annotations

import http.client
import json
import math
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import types

import pytest
import requests

from quenlo.sdk.simulator import MISSING, EngineSimulator, sample_pipeline
from quenlo.sdk.simulator import connections as connections_module

HEADERS = {"X-Requested-By": "velm", "content-type": "application/json"}


@pytest.fixture
def engine():
    with EngineSimulator() as sim:
        yield sim


def get(engine, path, **kwargs):
    kwargs.setdefault("timeout", 5)
    return requests.get(engine.url + "/rest" + path, headers=HEADERS, **kwargs)


def remote_exception(response):
    assert response.headers["Content-Type"] == "application/json"
    return response.json()["error"]


def test_lifecycle_releases_port_and_instances_are_independent():
    a = EngineSimulator(version="1.0.0").start()
    with EngineSimulator(version="2.0.0") as b:
        assert a.url != b.url
        assert requests.get(a.url + "/rest/v1/system/info").json()["version"] == "1.0.0"
        assert requests.get(b.url + "/rest/v1/system/info").json()["version"] == "2.0.0"
        assert len(a.requests) == len(b.requests) == 1
    a.stop()
    a.stop()  # idempotent
    with pytest.raises(requests.ConnectionError):
        requests.get(b.url + "/rest/v1/system/info", timeout=2)
    with socket.socket() as s:  # the port is free again
        s.bind(("127.0.0.1", a.port))
    with pytest.raises(RuntimeError):
        a.start()


def test_info_version_is_changeable_and_any_api_version_is_accepted(engine):
    assert get(engine, "/v1/system/info").json()["version"] == "5.6.0"
    engine.state.version = "6.0.1"
    assert get(engine, "/v7/system/info").json()["version"] == "6.0.1"


def test_pinned_api_version_rejects_others():
    with EngineSimulator(api_version=2) as sim:
        assert get(sim, "/v2/system/info").status_code == 200
        assert get(sim, "/v1/system/info").status_code == 404


@pytest.mark.parametrize(
    ("method", "path", "status", "code"),
    [
        ("GET", "/rest/v1/nowhere", 404, "REQUEST_UNKNOWN"),
        ("GET", "/other", 404, "REQUEST_UNKNOWN"),
        ("DELETE", "/rest/v1/system/info", 405, "REQUEST_METHOD"),
    ],
)
def test_unknown_routes_and_wrong_methods(engine, method, path, status, code):
    r = requests.request(method, engine.url + path, headers=HEADERS)
    assert r.status_code == status
    assert remote_exception(r)["code"] == code


def test_a_route_module_left_out_of_the_areas_is_refused_at_import(tmp_path):
    import quenlo.sdk.simulator as package

    copy = tmp_path / "simulator"
    shutil.copytree(os.path.dirname(package.__file__), copy, ignore=shutil.ignore_patterns("__pycache__"))
    (copy / "routes" / "uptime.py").write_text("from . import router\n")
    script = f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import simulator"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert "ImportError: route modules not listed in simulator.routes.AREAS: uptime" in out.stderr
    (copy / "routes" / "uptime.py").unlink()
    assert subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60).returncode == 0


def test_request_log_keeps_raw_path_query_headers_and_body(engine):
    requests.post(
        engine.url + "/rest/v1/pipeline/a%2Fb%20c/status?rev=1&x=%2F&x=&onlyIfExists=true",
        headers=HEADERS,
        data=b'{"k": "\xc3\xa9"}',
    )
    rec = engine.last_request
    assert rec.method == "POST"
    assert rec.path == "/rest/v1/pipeline/a%2Fb%20c/status"
    assert rec.query == "rev=1&x=%2F&x=&onlyIfExists=true"
    assert rec.args == [("rev", "1"), ("x", "/"), ("x", ""), ("onlyIfExists", "true")]
    assert rec.header("x-requested-by") == "velm"
    assert rec.headers["CONTENT-TYPE"] == "application/json"
    assert rec.body == b'{"k": "\xc3\xa9"}'
    assert rec.json() == {"k": "é"}
    assert rec.user is None

    get(engine, "/v1/system/info")
    assert engine.last_request.query == ""
    assert [r.method for r in engine.requests] == ["POST", "GET"]
    engine.clear_requests()
    assert engine.requests == [] and engine.last_request is None


class TestAuthentication:
    @pytest.fixture
    def engine(self):
        with EngineSimulator(users={"admin": "secret"}) as sim:
            yield sim

    @pytest.mark.parametrize("auth", [None, ("admin", "wrong"), ("nobody", "secret")])
    def test_rejected_without_valid_credentials(self, engine, auth):
        r = get(engine, "/v1/system/info", auth=auth)
        assert r.status_code == 401
        assert r.headers["WWW-Authenticate"] == 'Basic realm="velm"'
        assert remote_exception(r)["message"]
        assert "velm_session" not in r.cookies
        assert engine.last_request.user is None  # 401s are logged too

    def test_basic_auth_then_cookie_alone(self, engine):
        r = get(engine, "/v1/system/info", auth=("admin", "secret"))
        assert r.status_code == 200
        assert engine.last_request.user == "admin"
        cookie = r.cookies["velm_session"]

        r = get(engine, "/v1/system/info", cookies={"velm_session": cookie})
        assert r.status_code == 200
        assert "Set-Cookie" not in r.headers  # a live session is not renewed
        assert engine.last_request.user == "admin"

        r = get(engine, "/v1/system/info", cookies={"velm_session": "forged"})
        assert r.status_code == 401

    def test_session_survives_password_change_but_not_user_removal(self, engine):
        cookie = get(engine, "/v1/system/info", auth=("admin", "secret")).cookies["velm_session"]
        engine.users.set_password("admin", "new")
        assert get(engine, "/v1/system/info", auth=("admin", "secret")).status_code == 401
        assert get(engine, "/v1/system/info", auth=("admin", "new")).status_code == 200
        assert get(engine, "/v1/system/info", cookies={"velm_session": cookie}).status_code == 200
        engine.add_user("other", "pw")
        engine.users.remove_user("admin")
        assert get(engine, "/v1/system/info", cookies={"velm_session": cookie}).status_code == 401

    def test_requests_session_keeps_the_cookie(self, engine):
        with requests.Session() as s:
            s.headers.update(HEADERS)
            assert s.get(engine.url + "/rest/v1/system/info", auth=("admin", "secret")).ok
            assert s.get(engine.url + "/rest/v1/system/info").ok
        assert [r.user for r in engine.requests] == ["admin", "admin"]


class TestFaults:
    def test_status_for_count_requests_then_normal(self, engine):
        engine.inject_fault("GET", "/v1/system/info", status=503, count=2)
        statuses = [get(engine, "/v1/system/info").status_code for _ in range(3)]
        assert statuses == [503, 503, 200]
        assert len(engine.requests) == 3

    def test_empty_and_non_json_bodies(self, engine):
        engine.inject_fault("GET", "/v1/system/info", empty=True)
        engine.inject_fault("GET", "/v1/system/info", not_json=True, status=502)
        r = get(engine, "/v1/system/info")
        assert (r.status_code, r.content) == (200, b"")
        r = get(engine, "/v1/system/info")
        assert r.status_code == 502
        with pytest.raises(ValueError):
            r.json()
        assert get(engine, "/v1/system/info").json()["version"] == "5.6.0"

    def test_matching_by_method_and_wildcard_in_injection_order(self, engine):
        engine.script_status("p1", ["RUNNING"])
        engine.inject_fault("POST", "/v1/*", status=500, count=None)
        engine.inject_fault("GET", "/v1/pipeline/*", status=503)
        engine.inject_fault("*", "/rest/v1/pipeline/*", body={"custom": True})
        assert get(engine, "/v1/system/info").status_code == 200
        assert get(engine, "/v1/pipeline/p1/status").status_code == 503
        assert get(engine, "/v1/pipeline/p1/status").json() == {"custom": True}
        assert get(engine, "/v1/pipeline/p1/status").json()["status"] == "RUNNING"
        for _ in range(2):
            assert requests.post(engine.url + "/rest/v1/system/info").status_code == 500
        engine.clear_faults()
        assert requests.post(engine.url + "/rest/v1/system/info").status_code == 405

    def test_delay_only_fault_still_answers_normally(self, engine):
        engine.inject_fault("GET", "/v1/system/info", delay=0.5)
        with pytest.raises(requests.Timeout):
            get(engine, "/v1/system/info", timeout=0.1)
        assert get(engine, "/v1/system/info").status_code == 200

    @pytest.mark.parametrize("status", [401, 403, 404, 409, 503])
    def test_failure_faults_carry_the_engine_error_document_and_extra_headers(self, engine, status):
        engine.inject_fault("GET", "/v1/system/info", status=status, headers={"Retry-After": "7", "X-Hint": "h"})
        response = get(engine, "/v1/system/info")
        assert response.status_code == status
        assert (response.headers["Retry-After"], response.headers["X-Hint"]) == ("7", "h")
        assert remote_exception(response)["message"] == f"Injected fault: HTTP {status}"

    def test_a_never_answering_fault_holds_the_request_until_the_simulator_stops(self):
        engine = EngineSimulator().start()
        engine.inject_fault("GET", "/v1/system/info", delay=math.inf, count=None)
        with pytest.raises(requests.ReadTimeout):
            get(engine, "/v1/system/info", timeout=0.5)
        outcome: list[object] = []
        held = threading.Thread(target=lambda: outcome.append(get(engine, "/v1/system/info", timeout=30).status_code))
        held.start()
        time.sleep(0.3)
        assert outcome == []  # still held
        started = time.monotonic()
        engine.stop()
        held.join(5)
        assert not held.is_alive() and time.monotonic() - started < 3
        assert outcome == [503]  # released with the engine's "shutting down" answer

    @pytest.mark.parametrize("delay", [-1, float("nan")])
    def test_a_delay_must_be_seconds(self, engine, delay):
        with pytest.raises(ValueError, match="delay"):
            engine.inject_fault("GET", "/v1/system/info", delay=delay)


class TestPipelineStatus:
    def test_script_advances_then_sticks_on_last(self, engine):
        engine.script_status("p1", ["STARTING", {"status": "RUN_ERROR", "message": "boom"}])
        first = get(engine, "/v1/pipeline/p1/status").json()
        assert first["pipelineId"] == first["name"] == "p1"
        assert (first["status"], first["rev"], first["message"]) == ("STARTING", "0", None)
        assert isinstance(first["changed"], int) and first["parameters"] == {}
        for _ in range(2):
            second = get(engine, "/v1/pipeline/p1/status", params={"rev": "4"}).json()
            assert (second["status"], second["message"], second["rev"]) == (
                "RUN_ERROR",
                "boom",
                "4",
            )
        assert engine.state.status_reads("p1") == 3

    def test_missing_keys_are_left_out(self, engine):
        engine.script_status("p1", [{"status": "RUNNING", "pipelineId": MISSING, "message": MISSING}])
        record = get(engine, "/v1/pipeline/p1/status").json()
        assert "pipelineId" not in record and "message" not in record
        assert record["status"] == "RUNNING"

    def test_unknown_pipeline(self, engine):
        r = get(engine, "/v1/pipeline/nope/status")
        assert r.status_code == 404
        err = remote_exception(r)
        # The error document holds the engine's message and error code, nothing else.
        assert err == {"message": "Pipeline 'nope' does not exist", "code": "PIPELINE_UNKNOWN"}
        r = get(engine, "/v1/pipeline/nope/status", params={"onlyIfExists": "true"})
        assert (r.status_code, r.content) == (200, b"")

    def test_encoded_slash_stays_in_one_id(self, engine):
        engine.script_status("a/b", ["RUNNING"])
        assert get(engine, "/v1/pipeline/a%2Fb/status").json()["pipelineId"] == "a/b"
        assert get(engine, "/v1/pipeline/a/b/status").status_code == 404


@pytest.mark.parametrize(
    ("argv", "says"),
    [
        (["--plan", "p"], "expected ID:KEY=VALUE"),
        (["--plan", "p:speed=3"], "KEY one of batches"),
        (["--plan", "p:batches=many"], "batches takes int"),
        (["--plan", "*:batch_interval=-1"], "at least 0"),
        (["--fault", "GET system/info"], "expected 'METHOD PATH"),
        (["--fault", "GET /v1/system/info 503 sometimes"], "'sometimes' is not a status"),
        (["--fault", "GET /v1/system/info count=0"], "count must be at least 1"),
        (["--pipeline", "/nonexistent/export.json"], "cannot read"),
        (["--user", "admin"], "expected NAME:PASSWORD"),
    ],
)
def test_the_shell_refuses_a_malformed_option_with_a_usage_error(capsys, argv, says):
    from quenlo.sdk.simulator.__main__ import main

    with pytest.raises(SystemExit) as exit_:
        main(argv)
    assert exit_.value.code == 2 and says in capsys.readouterr().err


def test_the_shell_arranges_pipelines_plans_and_faults(monkeypatch, tmp_path):
    from quenlo.sdk.simulator import __main__ as shell

    export = tmp_path / "orders.json"
    export.write_text(json.dumps(sample_pipeline("Orders", "orders")))
    started = []

    class Recorded(EngineSimulator):
        def start(self):
            started.append(self)
            return super().start()

    monkeypatch.setattr(shell, "EngineSimulator", Recorded)

    class CtrlC:  # what the shell waits on until Ctrl-C: here it comes at once
        def wait(self):
            raise KeyboardInterrupt

    monkeypatch.setattr(shell, "threading", types.SimpleNamespace(Event=CtrlC))
    argv = ["--sample", "a", "--pipeline", str(export), "--plan", "a:batches=none,run_error=Disk full"]
    argv += ["--plan", "*:batch_interval=2", "--fault", "* /v1/pipeline/a/* 503 count=* delay=0.5 header=Retry-After:1"]
    assert shell.main(argv) == 0
    (engine,) = started
    state = engine.state
    assert [p.pipeline_id for p in state.pipelines.all()] == ["a", "orders"]
    assert (state.runs.plan("a").batches, state.runs.plan("a").run_error) == (None, "Disk full")
    assert state.runs.plan("orders").batch_interval == 2.0
    (fault,) = engine.faults.pending()
    assert (fault.method, fault.path, fault.status, fault.count, fault.delay) == (
        "*",
        "/v1/pipeline/a/*",
        503,
        None,
        0.5,
    )
    assert fault.headers == {"Retry-After": "1"}


class TestConnections:
    def test_one_connection_serves_request_after_request_bodies_included(self, engine):
        connection = http.client.HTTPConnection("127.0.0.1", engine.port, timeout=5)
        answers, sockets = [], []
        for method, body in [("POST", b'{"a": 1}'), ("GET", None), ("PUT", b"x" * 70_000), ("HEAD", None)]:
            connection.request(method, "/rest/v1/system/info", body=body, headers=HEADERS)
            response = connection.getresponse()
            answers.append((response.status, response.getheader("Connection"), response.read()))
            sockets.append(connection.sock)
        assert [a[1] for a in answers] == [None] * 4
        assert sockets[0] is not None and all(s is sockets[0] for s in sockets)  # one connection throughout
        assert answers[1][0] == 200 and json.loads(answers[1][2])["version"] == "5.6.0"
        assert answers[3][2] == b""  # HEAD: the headers alone
        assert [(r.method, r.body) for r in engine.requests] == [
            ("POST", b'{"a": 1}'),
            ("GET", b""),
            ("PUT", b"x" * 70_000),
            ("HEAD", b""),
        ]
        connection.close()

    def test_a_client_that_asks_to_close_is_answered_and_closed(self, engine):
        with socket.create_connection(("127.0.0.1", engine.port), timeout=5) as raw:
            raw.sendall(b"GET /rest/v1/system/info HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            received = b""
            while chunk := raw.recv(65536):
                received += chunk
        head, _, body = received.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200") and b"Connection: close" in head
        assert json.loads(body)["version"] == "5.6.0"

    def test_stop_closes_idle_kept_alive_connections(self):
        engine = EngineSimulator().start()
        with socket.create_connection(("127.0.0.1", engine.port), timeout=5) as raw:
            raw.sendall(b"GET /rest/v1/system/info HTTP/1.1\r\nHost: x\r\n\r\n")
            raw.recv(65536)
            engine.stop()
            assert raw.recv(65536) == b""  # closed by the engine, not left to wait for ever

    def test_stop_while_an_answer_is_written_still_closes_its_connection(self, monkeypatch):
        # stop() runs to its end after the answer is written, before its connection is marked idle.
        engine, mark = EngineSimulator().start(), connections_module.Connections.busy
        stopper = threading.Thread(target=engine.stop)

        def busy(connections, connection, flag):
            if not flag:
                stopper.start()
                stopper.join(5)
            return mark(connections, connection, flag)

        monkeypatch.setattr(connections_module.Connections, "busy", busy)
        with socket.create_connection(("127.0.0.1", engine.port), timeout=5) as raw:
            raw.sendall(b"GET /rest/v1/system/info HTTP/1.1\r\nHost: x\r\n\r\n")
            assert raw.recv(65536).startswith(b"HTTP/1.1 200") and raw.recv(65536) == b""

    def test_malformed_requests_and_broken_off_handshakes_stay_off_stderr(self, capfd):
        with EngineSimulator(tls=True) as engine:
            with socket.create_connection(("127.0.0.1", engine.port), timeout=5) as raw:
                raw.sendall(b"garbage\r\n\r\n")  # not TLS at all
                raw.recv(100)
            with pytest.raises(requests.exceptions.SSLError):
                requests.get(engine.url + "/rest/v1/system/info", timeout=5)  # a CA the client does not know
        with EngineSimulator() as engine, socket.create_connection(("127.0.0.1", engine.port), timeout=5) as raw:
            raw.sendall(b"garbage\r\n\r\n")
            answer = b""
            while chunk := raw.recv(65536):
                answer += chunk
            assert b"Bad request syntax" in answer  # the client is told, the console is not
        time.sleep(0.1)
        assert capfd.readouterr().err == ""
