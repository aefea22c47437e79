"""velm against engines that misbehave: silent ones, untrusted certificates, pages that are not the engine's,
odd characters, refusals that echo secrets; each failure with its exit code, one line and its error document."""

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
from typing import Any, Dict, Iterator, List

import pytest
import trustme
from werkzeug.serving import make_server

from quenlo.sdk.cli import main
from quenlo.sdk.simulator import EngineSimulator, error_body, sample_pipeline

PASSWORD = "echo-s3cret"
DOCS = Path(__file__).resolve().parent.parent / "docs"
POOL_TEXT = ("ConnectionPool", "HTTPConnection(", "Max retries", "velm_connectivity_established")


class Run:
    def __init__(self, code: int, out: str, err: str, seconds: float) -> None:
        self.code, self.out, self.err, self.seconds = code, out, err, seconds

    @property
    def docs(self) -> List[Any]:
        return [json.loads(line) for line in self.out.splitlines()]

    @property
    def line(self) -> str:
        """The one error line, less its "velm: " prefix."""
        assert len(self.err.splitlines()) == 1 and self.err.startswith("velm: "), self.err
        return self.err[len("velm: ") :].rstrip("\n")


def velm(url: str, *argv: str, **env: str) -> Run:
    stdout, stderr = io.StringIO(), io.StringIO()
    started = time.monotonic()
    code = main(list(argv), stdout=stdout, stderr=stderr, environ={"VELM_URL": url, **env})
    return Run(code, stdout.getvalue(), stderr.getvalue(), time.monotonic() - started)


@pytest.fixture
def orders(engine: EngineSimulator) -> str:
    engine.state.pipelines.import_pipeline("orders", sample_pipeline("orders", "orders"))
    engine.state.runs.configure("orders", batches=3, batch_interval=0.05, start_delay=0.05)
    return "orders"


@contextlib.contextmanager
def silent_port() -> Iterator[str]:
    """A URL whose port accepts connections and never answers."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        yield "http://{}:{}".format(*server.getsockname())


@contextlib.contextmanager
def closed_port() -> Iterator[str]:
    with socket.socket() as reserved:
        reserved.bind(("127.0.0.1", 0))
        url = "http://{}:{}".format(*reserved.getsockname())
    yield url


@contextlib.contextmanager
def stalling_body() -> Iterator[str]:
    """An engine that sends its headers and the first bytes of a body, then nothing more."""
    held: List[socket.socket] = []
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(16)

        def serve() -> None:
            with contextlib.suppress(OSError):
                while True:
                    connection, _ = server.accept()
                    connection.recv(65536)
                    connection.sendall(
                        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 90\r\n\r\n{"
                    )
                    held.append(connection)

        threading.Thread(target=serve, daemon=True).start()
        try:
            yield "http://{}:{}".format(*server.getsockname())
        finally:
            for connection in held:
                connection.close()


# -- time limits -----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "where, argv, code, needle",
    [
        (closed_port, ["--wait-for-engine", "2", "info"], 5, "Connection refused"),
        (silent_port, ["--wait-for-engine", "2", "info"], 3, "did not answer in time"),
    ],
)
def test_wait_for_engine_gives_up_near_its_limit(where: Any, argv: List[str], code: int, needle: str) -> None:
    # No --timeout-http: the default HTTP time-out is longer than 2 s, and the probe's deadline cuts it.
    with where() as url:
        run = velm(url, *argv)
    assert run.code == code and needle in run.line and "within 2 s" in run.line, run.err
    assert 1.9 < run.seconds < 3.5, run.seconds
    assert not [text for text in POOL_TEXT if text in run.err]


@pytest.mark.parametrize(
    "fault, retries, code",
    [
        ({"delay": math.inf}, [], 3),  # gone silent
        ({"status": 503, "headers": {"Retry-After": "3600"}}, ["--retries", "2"], 5),  # asks for an hour's pause
    ],
)
def test_wait_gives_up_near_its_timeout_on_an_engine_that_holds_it(
    engine: EngineSimulator, orders: str, fault: Dict[str, Any], retries: List[str], code: int
) -> None:
    engine.state.runs.start("orders")
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", count=None, **fault)
    run = velm(engine.url, *retries, "wait", "orders", "--timeout", "2")
    assert run.code == code and "Traceback" not in run.err, run.err
    assert 1.9 < run.seconds < 3.5, run.seconds


@pytest.mark.parametrize("retries", [[], ["--retries", "1"]])
def test_a_body_that_stalls_after_its_headers_is_a_time_out(retries: List[str]) -> None:
    with stalling_body() as url:
        run = velm(url, "--timeout-http", "0.3", *retries, "info")
    assert run.code == 3 and "did not answer in time" in run.line, run.err


def test_timeout_http_zero_waits_as_long_as_the_engine_takes(engine: EngineSimulator) -> None:
    # 0 turns the time-out off: a slow answer is waited for; a small time-out gives up on the same answer.
    engine.inject_fault("GET", "/v1/system/info", delay=0.6, count=None)
    assert velm(engine.url, "--timeout-http", "0", "info").code == 0
    assert velm(engine.url, "--timeout-http", "0.2", "--probe-timeout", "0.1", "info").code == 3


# -- TLS ---------------------------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def ca() -> trustme.CA:
    return trustme.CA()


@pytest.fixture
def tls_engine(engine: EngineSimulator, ca: trustme.CA) -> Iterator[str]:
    """The simulator's routes over HTTPS, with a certificate from ``ca``."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    server = make_server("127.0.0.1", 0, engine.wsgi_app, threaded=True, ssl_context=context)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
    thread.start()
    try:
        yield f"https://127.0.0.1:{server.socket.getsockname()[1]}"
    finally:
        server.shutdown()
        server.server_close()


def test_an_untrusted_certificate_is_named_and_exits_5(
    engine: EngineSimulator, tls_engine: str, tmp_path: Path, monkeypatch: Any
) -> None:
    other = tmp_path / "other-ca.pem"
    trustme.CA().cert_pem.write_to_path(str(other))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(other))
    run = velm(tls_engine, "info")
    assert run.code == 5 and "certificate was not trusted: certificate verify failed: " in run.line, run.err
    assert "SSLError" not in run.err and "Traceback" not in run.err
    # A plain HTTP engine behind an https:// URL: the handshake itself fails, and says how.
    run = velm(engine.url.replace("http://", "https://"), "info")
    assert run.code == 5 and "the TLS handshake failed: " in run.line and "SSLError" not in run.err, run.err


@pytest.mark.parametrize("variable", ["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"])
def test_ca_bundle_and_insecure_win_over_the_environment(
    tls_engine: str, ca: trustme.CA, tmp_path: Path, monkeypatch: Any, variable: str
) -> None:
    ours, other = tmp_path / "ca.pem", tmp_path / "other-ca.pem"
    ca.cert_pem.write_to_path(str(ours))
    trustme.CA().cert_pem.write_to_path(str(other))
    monkeypatch.setenv(variable, str(other))
    for argv in (["--ca-bundle", str(ours)], ["--insecure"]):
        run = velm(tls_engine, *argv, "--json", "info")
        assert run.code == 0 and run.docs[0]["version"], run.err


# -- answers that are not the engine's ---------------------------------------------------------------------------------

PAGE = "<html><head><title>Sign in</title></head><body>" + "x" * 500 + "</body></html>"


@pytest.mark.parametrize(
    "method, path, status, argv, code, needle",
    [
        ("GET", "/v1/system/info", 200, ["info"], 6, "200 OK, text/html"),
        ("GET", "/v1/pipeline/orders/status*", 404, ["status", "orders"], 6, "404 NOT FOUND, text/html"),
        ("POST", "/v1/pipeline/orders/start", 502, ["start", "orders"], 5, "502 BAD GATEWAY, text/html"),
    ],
)
def test_a_page_that_is_not_the_engines_says_what_came_back(
    engine: EngineSimulator, orders: str, method: str, path: str, status: int, argv: List[str], code: int, needle: str
) -> None:
    engine.inject_fault(method, path, status=status, body=PAGE, headers={"Content-Type": "text/html"}, count=None)
    run = velm(engine.url, "--probe-timeout", "0.1", *argv)
    assert run.code == code and needle in run.line and "<title>Sign in" in run.line, run.err
    assert len(run.line) < 400  # the start of the body, not all of it


@pytest.mark.parametrize("status", [502, 503, 504])
def test_an_engine_still_unavailable_after_probe_or_retries_is_unreachable(
    engine: EngineSimulator, status: int
) -> None:
    engine.inject_fault("GET", "/v1/system/info", status=status, count=None)
    run = velm(engine.url, "--probe-timeout", "0.5", "info")
    assert run.code == 5 and f"{status} " in run.line and "did not become ready within 0.5 s" in run.line
    engine.clear_faults()
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", status=status, count=None)
    run = velm(engine.url, "--retries", "1", "status", "orders")
    assert run.code == 5 and "the engine is unavailable" in run.line, run.err
    # Other refusals are the engine's answer to this request: 4.
    engine.clear_faults()
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", status=500, count=None)
    assert velm(engine.url, "--retries", "1", "status", "orders").code == 4


@pytest.mark.parametrize("status, code", [("RUNNING", 0), ("RUN_ERROR", 1)])
def test_half_a_surrogate_pair_is_printed_escaped_with_the_runs_own_code(
    engine: EngineSimulator, orders: str, status: str, code: int
) -> None:
    engine.script_status("orders", [{"status": status, "message": "disk \ud800 full"}])
    environ = {**os.environ, "VELM_URL": engine.url, "PYTHONIOENCODING": "utf-8"}
    result = subprocess.run(
        [sys.executable, "-m", "quenlo.sdk.cli", "status", "orders"], capture_output=True, env=environ, timeout=60
    )
    shown = (result.stdout + result.stderr).decode("utf-8")
    assert result.returncode == code, shown
    assert "disk \\ud800 full" in shown and "cannot write" not in shown


# -- what a failure prints ---------------------------------------------------------------------------------------------


def _raises(error: BaseException) -> Any:
    def command(ctx: Any) -> int:
        raise error

    return command


@pytest.mark.parametrize(
    "setup, argv, code, kind",
    [
        ("run-error", ["status", "orders"], 1, "failed"),
        (None, ["status", "orders", "--nonsense"], 2, "usage"),
        ("running", ["wait", "orders", "--timeout", "0.3", "--interval", "0.05"], 3, "timed-out"),
        (None, ["status", "nope"], 4, "refused"),
        ("closed", ["info"], 5, "unreachable"),
        ("page", ["info"], 6, "not-engine"),
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
    elif setup == "closed":
        url = "http://127.0.0.1:9"
    elif setup == "page":
        engine.inject_fault("GET", "/v1/system/info", status=200, body=PAGE, headers={"Content-Type": "text/html"})
    elif setup is not None:
        monkeypatch.setattr("quenlo.sdk.cli._commands.cmd_info", _raises(setup))
    run = velm(url, "--json", *argv)
    assert run.code == code, run.err
    assert run.docs[-1] == {"error": run.err.splitlines()[-1][len("velm: ") :], "exitCode": code, "kind": kind}


def test_a_multi_line_engine_message_is_one_line(engine: EngineSimulator, orders: str) -> None:
    message = "bad parameter\nday: not a date\r\n\tsee the log"
    engine.inject_fault("POST", "/v1/pipeline/orders/start", status=400, body=error_body(message, "X1"))
    run = velm(engine.url, "--json", "start", "orders")
    assert run.code == 4 and run.line.endswith("bad parameter day: not a date see the log")
    assert run.docs[-1]["error"] == run.line


@pytest.mark.parametrize("page", [False, True])
@pytest.mark.parametrize("source", ["environment", "url", "file"])
def test_a_password_the_engine_echoes_back_is_never_shown(
    engine: EngineSimulator, tmp_path: Path, source: str, page: bool
) -> None:
    text = f"user admin with password {PASSWORD} is not known"
    if page:  # a proxy's page, quoted as what came back
        engine.inject_fault("GET", "/v1/system/info", status=401, body=f"<p>{text}</p>", count=None)
    else:
        engine.inject_fault("GET", "/v1/system/info", status=401, body=error_body(text, "AUTH"), count=None)
    url, argv, env = engine.url, [], {"VELM_USER": "admin"}
    if source == "environment":
        env["VELM_PASSWORD"] = PASSWORD
    elif source == "url":
        url, env = url.replace("://", f"://admin:{PASSWORD}@"), {}
    else:
        (tmp_path / "pw").write_text(PASSWORD + "\n")
        argv = ["--password-file", str(tmp_path / "pw")]
    for output in ([], ["--json"], ["--debug"]):
        run = velm(url, *argv, *output, "info", **env)
        assert run.code == (6 if page else 4) and "is not known" in run.err, run.err
        assert PASSWORD not in run.out + run.err
        if output == ["--json"]:
            assert "with password *** is not known" in run.docs[-1]["error"]


# -- results -----------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("command", [["start", "orders", "--wait"], ["wait", "orders"]])
def test_a_waits_json_ends_with_one_result_record(engine: EngineSimulator, orders: str, command: List[str]) -> None:
    if command[0] == "wait":
        engine.state.runs.start("orders")
    run = velm(engine.url, "--json", *command, "--interval", "0.05")
    *events, result = run.docs
    assert run.code == 0, run.err
    assert events and {event["event"] for event in events} == {"progress"}
    assert result["event"] == "result" and result["subject"] == "orders" and result["status"] == "FINISHED"
    assert result["record"]["pipelineId"] == "orders" and result["record"]["status"] == "FINISHED"
    assert result["counters"] == {"batches": 3, "input": 30, "output": 30, "errors": 0}
    assert result["polls"] >= events[-1]["polls"] and result["elapsed"] >= 0


def test_export_all_makes_its_folder_as_mkdir_p(engine: EngineSimulator, orders: str, tmp_path: Path) -> None:
    folder = tmp_path / "exports" / "nightly"
    assert velm(engine.url, "export", "--all", "-o", str(folder)).code == 0
    assert [path.name for path in folder.iterdir()] == ["orders.json"]
    assert velm(engine.url, "export", "--all", "-o", str(folder)).code == 0  # again, into the folder it made
    run = velm(engine.url, "export", "--all", "-o", str(folder / "orders.json"))
    assert run.code == 2 and "cannot make the folder" in run.line


@pytest.mark.parametrize("failures, code, tries", [(2, 0, 3), (5, 5, 3)])
def test_the_ci_example_tries_again_while_the_engine_is_unavailable(
    engine: EngineSimulator, tmp_path: Path, failures: int, code: int, tries: int
) -> None:
    step = (DOCS / "exit-codes.md").read_text().split("```sh\n", 1)[1].split("```", 1)[0]
    engine.state.pipelines.import_pipeline("nightly-load", sample_pipeline("nightly-load", "nightly-load"))
    engine.state.runs.configure("nightly-load", batches=1, batch_interval=0, start_delay=0)
    engine.inject_fault("POST", "/v1/pipeline/nightly-load/start", status=503, count=failures)
    (tmp_path / "sleep").write_text("#!/bin/sh\n")  # the example's pauses, skipped
    (tmp_path / "sleep").chmod(0o755)
    path = os.pathsep.join([str(tmp_path), str(Path(sys.executable).parent), os.environ["PATH"]])
    env: Dict[str, str] = {**os.environ, "VELM_URL": engine.url, "PATH": path}
    result = subprocess.run(["bash", "-e", "-c", step], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == code, result.stdout + result.stderr
    starts = [r for r in engine.requests if r.method == "POST" and r.path.endswith("/start")]
    assert len(starts) == tries and result.stderr.count("trying again") == min(failures, tries)
