"""velm against engines that misbehave: silent or stalling ones, untrusted certificates, pages that are not the
engine's, refusals that echo secrets; each failure with its exit code, its one line and its error document."""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple

import pytest
import trustme
from werkzeug.serving import make_server

from quenlo.sdk.cli import _app, _connect, main
from quenlo.sdk.simulator import EngineSimulator, error_body, sample_pipeline

PASSWORD = "echo-s3cret"
PAGE = "<html><title>Sign in</title>via http://proxy:proxy-pw@gw/ " + "x" * 500 + "</html>"
NEVER_SHOWN = ("ConnectionPool", "HTTPConnection(", "velm_connectivity_established", "SSLError", "Traceback")


class Run(NamedTuple):
    code: int
    out: str
    err: str
    seconds: float

    @property
    def line(self) -> str:
        """The last error line, less its "velm: " prefix."""
        return self.err.splitlines()[-1][len("velm: ") :]

    @property
    def docs(self) -> List[Any]:
        return [json.loads(line) for line in self.out.splitlines()]


def velm(url: str, *argv: str, **env: str) -> Run:
    stdout, stderr = io.StringIO(), io.StringIO()
    started = time.monotonic()
    code = main(list(argv), stdout=stdout, stderr=stderr, environ={"VELM_URL": url, **env})
    run = Run(code, stdout.getvalue(), stderr.getvalue(), time.monotonic() - started)
    if "--debug" not in argv:
        assert not [text for text in NEVER_SHOWN if text in run.err], run.err
    return run


@pytest.fixture
def orders(engine: EngineSimulator) -> str:
    engine.state.pipelines.import_pipeline("orders", sample_pipeline("orders", "orders"))
    engine.state.runs.configure("orders", batches=3, batch_interval=0.05, start_delay=0.05)
    return "orders"


def _stall(server: socket.socket) -> None:
    held = []
    with contextlib.suppress(OSError):  # the listening socket closed: done
        while True:
            connection, _ = server.accept()
            connection.recv(65536)
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 90\r\n\r\n{")
            held.append(connection)
    for connection in held:
        connection.close()


@contextlib.contextmanager
def misbehaving(kind: str) -> Iterator[str]:
    """The URL of a port that is closed, accepts and never answers ("silent"), or sends headers, then stalls."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        url = "http://{}:{}".format(*server.getsockname())
        if kind == "closed":
            server.close()
        else:
            server.listen(16)
        if kind == "stalling":
            threading.Thread(target=_stall, args=(server,), daemon=True).start()
        yield url


# -- time limits -----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, argv, code, needle",
    [
        # No --timeout-http: the default is longer than 2 s, and the probe's deadline cuts it.
        ("closed", ["--wait-for-engine", "2"], 5, "did not become ready within 2 s: cannot reach"),
        ("silent", ["--wait-for-engine", "2"], 3, "did not become ready within 2 s: the engine did not answer"),
        ("stalling", ["--timeout-http", "0.3"], 3, "the engine did not answer in time"),
        ("stalling", ["--timeout-http", "0.3", "--retries", "1"], 3, "the engine did not answer in time"),
    ],
)
def test_a_silent_closed_or_stalling_engine_ends_in_time(kind: str, argv: List[str], code: int, needle: str) -> None:
    with misbehaving(kind) as url:
        run = velm(url, *argv, "info")
    assert run.code == code and needle in run.line, run.err
    assert (1.9 < run.seconds < 3.5) if "--wait-for-engine" in argv else run.seconds < 2, run.seconds


@pytest.mark.parametrize(
    "fault, argv, code",
    [
        ({"delay": math.inf}, ["wait", "orders"], 5),  # gone silent: unavailable, a retry may help
        ({"delay": math.inf}, ["start", "orders", "--wait"], 5),
        ({"status": 503, "headers": {"Retry-After": "3600"}}, ["--retries", "2", "wait", "orders"], 5),  # an hour
    ],
)
def test_a_wait_ends_near_its_timeout_whatever_holds_it(
    engine: EngineSimulator, orders: str, fault: Dict[str, Any], argv: List[str], code: int
) -> None:
    if argv[-2] == "wait":
        engine.state.runs.start("orders")
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", count=None, **fault)
    run = velm(engine.url, *argv, "--timeout", "2")
    assert run.code == code and 1.9 < run.seconds < 3.5, (run.err, run.seconds)


def test_the_probes_deadline_ends_with_the_probe(engine: EngineSimulator, orders: str) -> None:
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", delay=0.8)
    assert velm(engine.url, "--probe-timeout", "0.5", "status", "orders").code == 0


def test_the_default_http_time_out_applies_and_zero_turns_it_off(engine: EngineSimulator, monkeypatch: Any) -> None:
    for module in (_app, _connect):  # a shorter default, so that the test does not wait out the real one
        monkeypatch.setattr(module, "DEFAULT_HTTP_TIMEOUT", 0.2)
    engine.inject_fault("GET", "/v1/system/info", delay=0.6, count=None)
    assert velm(engine.url, "info").code == 3
    assert velm(engine.url, "--timeout-http", "0", "info").code == 0


# -- TLS ---------------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("variable", ["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"])
def test_tls_failures_are_named_and_the_options_win_over_the_environment(
    engine: EngineSimulator, tmp_path: Path, monkeypatch: Any, variable: str
) -> None:
    ca, ours, other = trustme.CA(), tmp_path / "ca.pem", tmp_path / "other-ca.pem"
    ca.cert_pem.write_to_path(str(ours))
    trustme.CA().cert_pem.write_to_path(str(other))
    monkeypatch.setenv(variable, str(other))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    server = make_server("127.0.0.1", 0, engine.wsgi_app, threaded=True, ssl_context=context)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()
    url = f"https://127.0.0.1:{server.socket.getsockname()[1]}"
    try:
        run = velm(url, "info")
        assert run.code == 7 and "failed: certificate verify failed: " in run.line and "--ca-bundle" in run.line
        for argv in (["--ca-bundle", str(ours)], ["--insecure"]):
            assert velm(url, *argv, "info").code == 0
    finally:
        server.shutdown()
        server.server_close()
    # A plain HTTP engine behind an https:// URL: the handshake itself fails, and says how.
    run = velm(engine.url.replace("http://", "https://"), "info")
    assert run.code == 7 and "the port does not speak TLS" in run.line


# -- answers -----------------------------------------------------------------------------------------------------------

HTML = {"body": PAGE, "headers": {"Content-Type": "text/html"}}


@pytest.mark.parametrize(
    "path, fault, argv, code, needle",
    [
        ("/v1/system/info", {"status": 200, **HTML}, [], 6, "is not the engine's: 200 OK, text/html, body '<html>"),
        ("/v1/pipeline/orders/status*", {"status": 404, **HTML}, [], 6, "404 NOT FOUND, text/html"),
        ("/v1/pipeline/orders/status*", {"status": 502, **HTML}, [], 5, "unavailable: GET"),
        ("/v1/pipeline/orders/status*", {"status": 409, "empty": True}, [], 4, "refused GET"),
        ("/v1/pipeline/orders/status*", {"status": 500}, ["--retries", "1"], 4, "refused GET"),
        ("/v1/pipeline/orders/status*", {"status": 503}, ["--retries", "1"], 5, "unavailable: GET"),
        ("/v1/pipeline/orders/status*", {"status": 504}, ["--retries", "1"], 5, "unavailable: GET"),
        ("/v1/system/info", {"status": 502}, [], 5, "did not become ready within 0.5 s: the engine is unavailable"),
        ("/v1/system/info", {"status": 200, "body": {"name": "x"}}, [], 6, "the information record has no version"),
    ],
)
def test_each_answer_is_named_as_what_it_is(
    engine: EngineSimulator, orders: str, path: str, fault: Dict[str, Any], argv: List[str], code: int, needle: str
) -> None:
    engine.inject_fault("GET", path, count=None, **fault)
    run = velm(engine.url, "--probe-timeout", "0.5", *argv, "status", "orders")
    assert run.code == code and needle in run.line, run.err
    assert "proxy-pw" not in run.err and len(run.line) < 400  # the start of a page, credentials hidden


@pytest.mark.parametrize("ids", [["orders"], ["orders", "orders-2"]])
def test_a_status_record_without_its_pipeline_is_not_the_engines(engine: EngineSimulator, ids: List[str]) -> None:
    for pid in ids:
        engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", count=None, status=200, body={"status": "RUNNING"})
    run = velm(engine.url, "wait", *ids, "--timeout", "2")
    assert run.code == 6 and "orders: an answer is not the engine's: its record has no 'name'" in run.line, run.err


RUN_FIELDS = ("subject", "status", "elapsed", "polls", "record", "counters")


def _raises(error: BaseException) -> Any:
    def command(ctx: Any) -> int:
        raise error

    return command


@pytest.mark.parametrize(
    "setup, argv, code, kind",
    [
        ("run-error", ["status", "orders"], 1, "failed"),
        (None, ["status"], 2, "usage"),
        ("running", ["wait", "orders", "--timeout", "0.3", "--interval", "0.05"], 3, "timed-out"),
        ("multi-line", ["status", "orders"], 4, "refused"),
        ("closed", ["info"], 5, "unreachable"),
        ("page", ["info"], 6, "not-engine"),
        ("https-at-http", ["info"], 7, "config"),
        (RuntimeError("boom"), ["info"], 70, "unexpected"),
        (KeyboardInterrupt(), ["info"], 130, "interrupted"),
    ],
)
def test_the_error_document_names_the_kind_of_each_exit_code(
    engine: EngineSimulator, orders: str, monkeypatch: Any, setup: Any, argv: List[str], code: int, kind: str
) -> None:
    url = engine.url
    if setup == "run-error":
        engine.script_status("orders", [{"status": "RUN_ERROR", "message": "disk full"}])
    elif setup == "running":
        engine.state.runs.configure("orders", batches=None)
        engine.state.runs.start("orders")
    elif setup == "multi-line":  # the engine's message, on one line
        body = error_body("bad parameter\nday: not a date\r\n\tsee the log", "X1")
        engine.inject_fault("GET", "/v1/pipeline/orders/status*", status=400, body=body)
    elif setup == "closed":
        url = "http://127.0.0.1:9"
    elif setup == "https-at-http":
        url = url.replace("http://", "https://")
    elif setup == "page":
        engine.inject_fault("GET", "/v1/system/info", status=200, **HTML)
    elif setup is not None:
        monkeypatch.setattr("quenlo.sdk.cli._commands.cmd_info", _raises(setup))
    run = velm(url, "--json", *argv)
    document = {"error": run.line, "exitCode": code, "kind": kind}
    if argv[0] == "wait":  # a wait's last line is its result record, a failed one's too
        document = {"event": "result", **document}
    shown = run.docs[-1]
    assert run.code == code and {key: shown.get(key) for key in document} == document, run.err
    assert set(shown) - set(document) <= {"httpStatus", "engineCode", "runs", *RUN_FIELDS}
    assert len(run.err.splitlines()) == 1 and ("day: not a date see the log" in run.line) == (setup == "multi-line")
    assert run.line.endswith("(see: velm status --help)") == (code == 2)


@pytest.mark.parametrize("page", [False, True])
@pytest.mark.parametrize("source", ["environment", "url", "file"])
def test_a_password_the_engine_echoes_back_is_never_shown(
    engine: EngineSimulator, tmp_path: Path, source: str, page: bool
) -> None:
    text = f"user admin with password {PASSWORD} is not known"
    body = f"<p>{text}</p>" if page else error_body(text, "AUTH")  # a proxy's page, or the engine's refusal
    engine.inject_fault("GET", "/v1/system/info", status=401, body=body, count=None)
    url, argv, env = engine.url, [], {"VELM_USER": "admin"}
    if source == "environment":
        env["VELM_PASSWORD"] = PASSWORD
    elif source == "url":
        url, env = url.replace("://", f"://admin:{PASSWORD}@"), {}
    else:
        (tmp_path / "pw").write_text(PASSWORD + "\n")
        argv = ["--password-file", str(tmp_path / "pw")]
    run = velm(url, *argv, "--json", "--debug", "info", **env)
    assert run.code == (6 if page else 4) and "with password *** is not known" in run.line, run.err
    assert PASSWORD not in run.out + run.err and run.docs[-1]["error"] == run.line


# -- results -----------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("command", [["start", "orders", "--wait"], ["wait", "orders"]])
def test_a_waits_json_ends_with_one_result_record(engine: EngineSimulator, orders: str, command: List[str]) -> None:
    if command[0] == "wait":
        engine.state.runs.start("orders")
    run = velm(engine.url, "--json", *command, "--interval", "0.05")
    *events, result = run.docs
    assert run.code == 0 and events and {event["event"] for event in events} == {"progress"}
    assert (result["event"], result["subject"], result["status"]) == ("result", "orders", "FINISHED")
    assert result["record"]["pipelineId"] == "orders" and result["record"]["status"] == "FINISHED"
    assert result["counters"] == {"batches": 3, "input": 30, "output": 30, "errors": 0}
    assert result["polls"] >= events[-1]["polls"] and result["elapsed"] >= 0


def test_export_all_makes_its_folder_as_mkdir_p(engine: EngineSimulator, orders: str, tmp_path: Path) -> None:
    folder = tmp_path / "exports" / "nightly"
    for _ in range(2):  # makes the folder, then writes into the folder it made
        assert velm(engine.url, "export", "--all", "-o", str(folder)).code == 0
    assert [path.name for path in folder.iterdir()] == ["orders.json"]
    run = velm(engine.url, "export", "--all", "-o", str(folder / "orders.json"))
    assert run.code == 2 and "cannot make the folder" in run.line


@pytest.mark.parametrize("failures, code", [(2, 0), (5, 5)])
def test_the_ci_example_tries_again_while_the_engine_is_unavailable(
    engine: EngineSimulator, tmp_path: Path, failures: int, code: int
) -> None:
    docs = Path(__file__).resolve().parent.parent / "docs"
    step = (docs / "exit-codes.md").read_text().split("```sh\n", 1)[1].split("```", 1)[0]
    engine.state.pipelines.import_pipeline("nightly-load", sample_pipeline("nightly-load", "nightly-load"))
    engine.state.runs.configure("nightly-load", batches=1, batch_interval=0, start_delay=0)
    engine.inject_fault("POST", "/v1/pipeline/nightly-load/start", status=503, count=failures)
    (tmp_path / "sleep").write_text("#!/bin/sh\n")  # the example's pauses, skipped
    (tmp_path / "sleep").chmod(0o755)
    path = os.pathsep.join([str(tmp_path), str(Path(sys.executable).parent), os.environ["PATH"]])
    result = subprocess.run(
        ["bash", "-e", "-c", step],
        capture_output=True,
        text=True,
        env={**os.environ, "VELM_URL": engine.url, "PATH": path},
    )
    assert result.returncode == code, result.stdout + result.stderr
    # Four tries at most: three pauses.
    posts = len([r for r in engine.requests if r.method == "POST"])
    assert (posts, result.stderr.count("trying again")) == (min(failures + 1, 4), min(failures, 3))
