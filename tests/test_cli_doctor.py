"""velm doctor and quenlo.sdk.doctor against the simulator: each misconfiguration named by its check, its setting
and its exit code, with GET requests only."""

from __future__ import annotations

import contextlib
import datetime
import email.utils
import http.server
import os
import socket
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple
from unittest import mock

import jsonschema
import pytest
import requests
import trustme
from test_cli import PASSWORD, velm
from test_cli_ci import SCHEMA as RESULT_SCHEMA
from test_cli_terminal import in_terminal
from test_tls import Proxy, proxy  # noqa: F401 - the forward proxy fixture

from quenlo.sdk import doctor
from quenlo.sdk.cli import EXIT_CODES
from quenlo.sdk.cli._errors import RANKING, code_of
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

Setup = Callable[[EngineSimulator, Path, contextlib.ExitStack], Tuple[List[str], Dict[str, str], EngineSimulator]]


def _plain(
    *argv: str, env: Optional[Dict[str, str]] = None, https: bool = False, http: bool = False, path: str = ""
) -> Setup:
    def setup(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
        url = engine.url.replace("http:", "https:") if https else engine.url
        url = (url.replace("https:", "http:") if http else url) + path
        return list(argv), {"VELM_URL": url, **(env or {})}, engine

    return setup


def _fault(path: str = "/v1/system/info", **fault: Any) -> Setup:
    def setup(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
        engine.inject_fault("GET", path, **fault)
        return ["--timeout-http", "0.5"], {"VELM_URL": engine.url}, engine

    return setup


def _free_port() -> int:
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        return int(unused.getsockname()[1])


def _closed_port(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
    return [], {"VELM_URL": f"http://127.0.0.1:{_free_port()}"}, engine


def _proxy_down(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
    stack.enter_context(mock.patch.dict(os.environ, {"HTTP_PROXY": f"http://127.0.0.1:{_free_port()}", "NO_PROXY": ""}))
    return [], {"VELM_URL": engine.url}, engine


class _PortalProxy(http.server.BaseHTTPRequestHandler):
    """A forward proxy that answers every request with its own sign-in page."""

    def do_GET(self) -> None:  # noqa: N802 - the name http.server calls
        page = b"<html><body>Sign in to continue</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def log_message(self, *args: Any) -> None:
        pass


def _behind_portal(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
    portal = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _PortalProxy)
    threading.Thread(target=portal.serve_forever, daemon=True).start()
    stack.callback(portal.server_close)
    stack.callback(portal.shutdown)
    address = f"http://127.0.0.1:{portal.server_port}"
    stack.enter_context(mock.patch.dict(os.environ, {"HTTP_PROXY": address, "NO_PROXY": ""}))
    return [], {"VELM_URL": engine.url}, engine


def _foreign_certificate(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
    trustme.CA().issue_cert("ci@example").private_key_and_cert_chain_pem.write_to_path(str(tmp / "ci.pem"))
    return ["--ca-bundle", engine.ca_bundle, "--cert", str(tmp / "ci.pem")], {"VELM_URL": engine.url}, engine


def _unusable_bundle(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
    (tmp / "empty.pem").write_text("no certificate here\n")
    return ["--ca-bundle", str(tmp / "empty.pem")], {"VELM_URL": engine.url}, engine


def _tls(trust_other_ca: bool = False, **issue: Any) -> Setup:
    """An engine of its own with a leaf certificate made here (``issue``), or the throwaway one."""

    def setup(engine: EngineSimulator, tmp: Path, stack: contextlib.ExitStack) -> Any:
        ca = trustme.CA()
        ca.cert_pem.write_to_path(str(tmp / "ca.pem"))
        if issue:
            options = dict(issue)
            leaf = ca.issue_cert(*options.pop("names", ["127.0.0.1"]), **options)
            leaf.private_key_and_cert_chain_pem.write_to_path(str(tmp / "leaf.pem"))
            engine = stack.enter_context(EngineSimulator(tls=(str(tmp / "leaf.pem"), str(tmp / "leaf.pem"))))
        bundle = str(tmp / "ca.pem") if issue or trust_other_ca else engine.ca_bundle
        return ["--ca-bundle", bundle], {"VELM_URL": engine.url}, engine

    return setup


TLS, MUTUAL = pytest.mark.velm_engine(tls=True), pytest.mark.velm_engine(tls=True, tls_client_ca=True)
WRONG_PASSWORD = {"VELM_USER": "admin", "VELM_PASSWORD": "not-" + PASSWORD}
EXPIRED = datetime.datetime(2020, 1, 1)
EXPIRING = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None) + datetime.timedelta(days=10)
SKEWED = {"Date": "Mon, 01 Jan 2024 00:00:00 GMT"}

# What is wrong, the check that names it first, its verdict, the setting its hint names, the exit code.
CASES = [
    pytest.param(_tls(trust_other_ca=True), "trust", "failed", "--ca-bundle", 7, marks=TLS, id="wrong CA"),
    pytest.param(_tls(not_after=EXPIRED), "expiry", "failed", "engine certificate", 7, id="expired certificate"),
    pytest.param(_tls(names=["other.example"]), "host name", "failed", "--url", 7, id="another host's certificate"),
    pytest.param(_tls(), "client certificate", "failed", "--cert", 7, marks=MUTUAL, id="client certificate missing"),
    pytest.param(_unusable_bundle, "trust", "failed", "--ca-bundle", 7, marks=TLS, id="CA file without certificate"),
    pytest.param(_tls(not_after=EXPIRING), "expiry", "warning", "engine certificate", 0, id="expires in 10 days"),
    pytest.param(_closed_port, "connect", "failed", "--url", 5, id="connection refused"),
    pytest.param(_plain(path="/velm"), "api version", "failed", "--url", 7, id="wrong base path"),
    pytest.param(
        _plain("--api-version", "2"),
        "api version",
        "failed",
        "--api-version",
        7,
        id="API version not served",
        marks=pytest.mark.velm_engine(api_version=1),
    ),
    pytest.param(_fault(body={"hello": "world"}), "engine version", "failed", "--url", 6, id="JSON without a version"),
    pytest.param(_fault("/v1/system/logs", status=403), "read: logs", "failed", "engine roles", 4, id="read refused"),
    pytest.param(_foreign_certificate, "client certificate", "failed", "--cert", 7, marks=MUTUAL, id="refused cert"),
    pytest.param(_plain("--insecure"), "trust", "warning", "--insecure", 0, marks=TLS, id="no verification"),
    pytest.param(_plain(https=True), "tls", "failed", "--url", 7, id="HTTP port behind an https URL"),
    pytest.param(_plain(http=True), "answer", "failed", "--url", 7, marks=TLS, id="TLS port behind an http URL"),
    pytest.param(_fault(status=200, not_json=True), "answer", "failed", "--url", 6, id="an HTML page"),
    pytest.param(_behind_portal, "answer", "failed", "NO_PROXY", 6, id="a proxy's HTML page"),
    pytest.param(_proxy_down, "connect", "failed", "NO_PROXY", 5, id="a proxy that is down"),
    pytest.param(_fault(status=302, headers={"Location": "/sign-in"}), "answer", "failed", "--url", 6, id="redirect"),
    pytest.param(
        _plain(env=WRONG_PASSWORD),
        "authentication",
        "failed",
        "--password-file",
        4,
        id="wrong password",
        marks=pytest.mark.velm_engine(users={"admin": PASSWORD}),
    ),
    pytest.param(_fault(status=503), "answer", "failed", "--retries", 5, id="503"),
    pytest.param(_fault(delay=3), "answer", "failed", "--timeout-http", 3, id="slow engine"),
    pytest.param(
        _plain(),
        "engine version",
        "warning",
        "--api-version",
        0,
        id="unknown engine version",
        marks=pytest.mark.velm_engine(version="9.1.0"),
    ),
    pytest.param(_fault(headers=SKEWED), "clock", "warning", "clock", 0, id="clock skewed"),
]


@pytest.mark.parametrize("setup, name, verdict, setting, code", CASES)
def test_the_first_check_not_ok_names_the_cause(
    engine: EngineSimulator, tmp_path: Path, setup: Setup, name: str, verdict: str, setting: str, code: int
) -> None:
    with contextlib.ExitStack() as stack:
        argv, env, served = setup(engine, tmp_path, stack)
        run = velm(served, "doctor", "--json", *argv, env=env)
        methods = {request.method for request in served.requests}
    record = run.docs[-1]
    jsonschema.validate(record, RESULT_SCHEMA)  # the shape of every command's result record
    first = next(check for check in record["checks"] if check["verdict"] in ("failed", "warning"))
    assert (first["name"], first["verdict"], first["setting"], run.code) == (name, verdict, setting, code), first
    assert first["hint"].startswith(setting + ": ")
    assert (record["exitCode"], record["kind"]) == (code, next(e.kind for e in EXIT_CODES if e.code == code))
    after = record["checks"][record["checks"].index(first) + 1 : -1]
    assert verdict == "warning" or name.startswith("read: ") or {check["verdict"] for check in after} == {"skipped"}
    assert methods <= {"GET"}
    assert PASSWORD not in run.out + run.err


def test_a_healthy_engine_passes_every_check_with_reads_only(engine: EngineSimulator, monkeypatch: Any) -> None:
    engine.state.pipelines.import_pipeline("orders", sample_pipeline("orders", "orders"))
    monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:9")
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    checks = doctor.check_engine(engine.url, pipeline_id="orders", timeout=(2, 5))
    assert [check.verdict for check in checks] == ["ok"] * len(checks)
    by_name = {check.name: check for check in checks}
    assert "NO_PROXY exempts 127.0.0.1" in by_name["proxy"].reason
    assert "connect 2" in by_name["settings"].reason and "REQUESTS_CA_BUNDLE" in by_name["settings"].reason
    reads = [check.name for check in checks if check.name.startswith("read: ")]
    assert len(reads) == 6 and all(by_name[name].figure.endswith(" ms") for name in reads)  # type: ignore[union-attr]
    assert {request.method for request in engine.requests} == {"GET"}
    assert any(request.path == "/rest/v1/pipeline/orders/status" for request in engine.requests)


@pytest.mark.parametrize(
    "cert, verdict, reason",
    [
        (None, "failed", "the engine asks for a client certificate, and none was given"),
        ("engine's", "ok", "presented and taken"),
        ("foreign", "failed", "the engine asks for a client certificate, and refused the one given"),
    ],
)
@pytest.mark.velm_engine(tls=True, tls_client_ca=True)
def test_a_client_certificate_asked_for(
    engine: EngineSimulator, tmp_path: Path, cert: Any, verdict: str, reason: str
) -> None:
    if cert == "foreign":
        trustme.CA().issue_cert("ci@example").private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "ci.pem"))
    given = {"engine's": engine.client_cert, "foreign": str(tmp_path / "ci.pem")}.get(cert)
    checks = doctor.check_engine(engine.url, verify=engine.ca_bundle, cert=given)
    check = next(check for check in checks if check.name == "client certificate")
    assert (check.verdict, check.setting) == (verdict, None if verdict == "ok" else "--cert")
    assert check.reason == reason
    assert doctor.worst_kind(checks) == (None if verdict == "ok" else doctor.CONFIG)


@pytest.mark.velm_engine(tls=True)
def test_the_checks_go_through_the_proxy_in_effect(engine: EngineSimulator, proxy: Proxy, monkeypatch: Any) -> None:  # noqa: F811
    monkeypatch.setenv("HTTPS_PROXY", proxy.url)
    checks = doctor.check_engine(engine.url, verify=engine.ca_bundle)
    assert [check.verdict for check in checks] == ["ok"] * len(checks)
    assert next(check.reason for check in checks if check.name == "proxy") == f"{proxy.url} (from HTTPS_PROXY)"
    assert set(proxy.targets) == {engine.url[len("https://") :]}


@pytest.mark.velm_engine(users={"admin": PASSWORD})
def test_output_in_a_pipe_and_on_a_terminal(engine: EngineSimulator) -> None:
    env = {"VELM_URL": engine.url, "VELM_USER": "admin", "VELM_PASSWORD": PASSWORD}
    run = velm(engine, "doctor", "--pipeline", "nope", env=env)
    assert run.code == 4 and run.err.startswith("velm: doctor: read: pipeline status failed: no pipeline 'nope'")
    lines = run.out.splitlines()
    assert lines[1].split() == ["CHECK", "VERDICT", "FIGURE", "REASON", "HINT"]
    assert any(line.startswith("read: pipeline status  failed") and "--pipeline: " in line for line in lines)
    code, output = in_terminal(["doctor"], env, answer=(b"Password for admin", PASSWORD.encode() + b"\n"))
    assert code == 0 and "━" in output and "accepted as 'admin'" in output and PASSWORD not in output


@pytest.mark.velm_engine(users={"admin": PASSWORD})
def test_several_failures_exit_by_the_worst_and_hide_an_echoed_password(engine: EngineSimulator) -> None:
    echoed = {"error": {"code": "LOGIN_REQUIRED", "message": f"admin:{PASSWORD} may not read logs"}}
    engine.inject_fault("GET", "/v1/pipelines", status=503)
    engine.inject_fault("GET", "/v1/system/logs", status=403, body=echoed)
    env = {"VELM_URL": engine.url, "VELM_USER": "admin", "VELM_PASSWORD": PASSWORD}
    run = velm(engine, "doctor", "--json", "--timeout-http", "0", env=env)
    record = run.docs[-1]
    failed = {check["name"]: check["kind"] for check in record["checks"] if check["verdict"] == "failed"}
    assert failed == {"read: pipelines": "unreachable", "read: logs": "refused"}
    assert (run.code, record["kind"]) == (4, "refused")  # a refusal no retry fixes ranks above an outage
    codes = [code_of(kind) for kind in doctor.KINDS_BY_SEVERITY]
    assert codes == [code for code in RANKING if code in codes]  # the library ranks as velm does
    assert record["checks"][-1]["verdict"] == "warning" and record["checks"][-1]["setting"] == "--timeout-http"
    assert PASSWORD not in run.out + run.err and "may not read logs" in run.out


def test_a_fault_of_headers_only_adds_them_to_the_engines_answer(engine: EngineSimulator) -> None:
    engine.inject_fault("GET", "/v1/system/info", headers={"Date": "Mon, 01 Jan 2024 00:00:00 GMT", "X-Hop": "1"})
    first, second = (requests.get(engine.url + "/rest/v1/system/info", timeout=5) for _ in range(2))
    assert first.json()["version"] == second.json()["version"] == "5.6.0"
    assert (first.headers["Date"], first.headers["X-Hop"]) == ("Mon, 01 Jan 2024 00:00:00 GMT", "1")
    assert second.headers["Date"] != first.headers["Date"] and "X-Hop" not in second.headers


@pytest.mark.parametrize("variable", ["http_proxy", "HTTP_PROXY"])
def test_a_proxy_is_named_by_the_variable_that_set_it(engine: EngineSimulator, monkeypatch: Any, variable: str) -> None:
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv(variable, f"http://127.0.0.1:{_free_port()}")
    connect = next(check for check in doctor.check_engine(engine.url) if check.name == "connect")
    assert f"(from {variable}): " in connect.reason and connect.setting == "NO_PROXY", connect
    monkeypatch.setenv("no_proxy", "127.0.0.1")
    chosen = next(check for check in doctor.check_engine(engine.url) if check.name == "proxy")
    assert chosen.reason == f"none: {variable} is set, but NO_PROXY exempts 127.0.0.1"


@pytest.mark.parametrize(
    "options, error",
    [({"verify": 3}, TypeError), ({"timeout": -1}, ValueError), ({"timeout": 0}, ValueError)]
    + [({"timeout": (1, float("nan"))}, ValueError), ({"timeout": (None, float("inf"))}, ValueError)],
)
def test_odd_arguments_are_refused_before_any_request(engine: EngineSimulator, options: Any, error: Any) -> None:
    with pytest.raises(error):
        doctor.check_engine(engine.url, **options)
    assert engine.requests == []


def _date_in(seconds: float) -> Dict[str, str]:
    return {"Date": email.utils.formatdate(time.time() + seconds, usegmt=True)}


def _fault_on(path: str, **fault: Any) -> Callable[[EngineSimulator], None]:
    return lambda engine: engine.inject_fault("GET", path, **fault)


ECHOED = {"error": {"code": "LOGIN_REQUIRED", "message": f"no user admin with password {PASSWORD}"}}


# What the engine does, the options, the check that tells it, its verdict and what its reason says.
@pytest.mark.parametrize(
    "arrange, options, name, verdict, words",
    [
        (lambda engine: _fault_on("/v1/system/info", headers=_date_in(60))(engine), {}, "clock", "warning", "ahead of"),
        (_fault_on("/v1/system/info", status=401, body=ECHOED), {}, "authentication", "failed", "password ***)"),
        (_fault_on("/v1/pipelines", delay=2), {"timeout": 0.5}, "read: logs", "ok", "readable"),
        (None, {"timeout": (5, None)}, "settings", "warning", "read none"),
        (None, {"https": True}, "tls", "failed", "it serves plain HTTP"),
        (
            _fault_on("/v1/system/info", status=302, headers={"Location": "/sign-in"}),
            {},
            "answer",
            "failed",
            "/sign-in",
        ),
    ],
)
def test_what_each_check_says(
    engine: EngineSimulator, arrange: Any, options: Dict[str, Any], name: str, verdict: str, words: str
) -> None:
    if arrange:
        arrange(engine)
    url = engine.url.replace("http:", "https:") if options.pop("https", False) else engine.url
    checks = doctor.check_engine(url, username="admin", password=PASSWORD, **options)
    check = next(check for check in checks if check.name == name)
    assert (check.verdict, words in check.reason) == (verdict, True), check
    assert PASSWORD not in repr(checks)


@pytest.mark.parametrize(
    "kinds, worst",
    [((), None), (("unreachable", "refused"), "refused"), (("timed-out", "not-engine", "config"), "config")],
)
def test_worst_kind_ranks_as_velm_does(kinds: Tuple[str, ...], worst: Optional[str]) -> None:
    checks = [doctor.Check("a", "warning", "slow")] + [doctor.Check(k, "failed", "no", kind=k) for k in kinds]
    assert doctor.worst_kind(checks) == worst


def test_a_certificate_for_another_host_names_its_hosts(engine: EngineSimulator, tmp_path: Path) -> None:
    with contextlib.ExitStack() as stack:
        argv, _, served = _tls(names=["other.example", "*.other.example"])(engine, tmp_path, stack)
        check = next(c for c in doctor.check_engine(served.url, verify=argv[1]) if c.name == "host name")
    assert check.reason.startswith(
        "the engine's certificate is made for other.example, *.other.example, not for 127.0.0.1: "
    )


def test_an_echoed_password_cut_by_the_excerpt_shows_no_start(engine: EngineSimulator) -> None:
    engine.inject_fault("GET", "/v1/system/info", status=503, body="x" * 57 + PASSWORD)
    check = next(c for c in doctor.check_engine(engine.url, username="admin", password=PASSWORD) if c.name == "answer")
    assert "x***" in check.reason and PASSWORD[:3] not in check.reason, check
