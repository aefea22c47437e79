"""TLS and proxies with real parts: a CA made at test time, the simulator behind HTTPS on 127.0.0.1, client
certificates, and a forward proxy that tunnels with CONNECT. The environment names another CA throughout: what
the caller sets on the session (``verify``, ``cert``) wins over it, and proxies from the environment stay
honoured."""

from __future__ import annotations

import select
import socket
import socketserver
import ssl
import threading
import types
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest
import requests
import trustme
from werkzeug.serving import WSGIRequestHandler, make_server

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import tls_failure_reason
from quenlo.sdk.simulator import EngineSimulator


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> Any:
    """The test's CA, another CA (the environment's), a client certificate, and their files."""
    folder = tmp_path_factory.mktemp("pki")
    pki = types.SimpleNamespace(ca=trustme.CA(), folder=folder, ca_file=str(folder / "ca.pem"))
    pki.other_file, pki.client_file = str(folder / "other.pem"), str(folder / "client.pem")
    pki.ca.cert_pem.write_to_path(pki.ca_file)
    trustme.CA().cert_pem.write_to_path(pki.other_file)
    pki.client, pki.issued = pki.ca.issue_cert("client@example"), {}
    pki.client.private_key_and_cert_chain_pem.write_to_path(pki.client_file)
    return pki


@pytest.fixture(autouse=True)
def environment(pki: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    for name in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"):
        monkeypatch.setenv(name, pki.other_file)
    for name in ("HTTPS_PROXY", "https_proxy", "NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)


class Quiet(WSGIRequestHandler):
    def log_request(self, *args: Any) -> None:
        pass


@pytest.fixture
def serve(pki: Any) -> Iterator[Callable[..., str]]:
    """Start the simulator behind HTTPS and return its URL: a certificate for ``name`` from the test's CA, or the
    CA's own (self-signed) one; with ``client_ca`` it demands a client certificate signed by that CA."""
    servers = []

    def start(name: str = "127.0.0.1", self_signed: bool = False, client_ca: Any = None) -> str:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if self_signed:
            key = pki.folder / "ca-key.pem"
            pki.ca.private_key_pem.write_to_path(str(key))
            context.load_cert_chain(pki.ca_file, str(key))
        else:
            if name not in pki.issued:
                pki.issued[name] = pki.ca.issue_cert(name)
            pki.issued[name].configure_cert(context)
        if client_ca is not None:
            client_ca.configure_trust(context)
            context.verify_mode = ssl.CERT_REQUIRED
        app = EngineSimulator().wsgi_app
        server = make_server("127.0.0.1", 0, app, threaded=True, ssl_context=context, request_handler=Quiet)
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()
        servers.append(server)
        return f"https://127.0.0.1:{server.server_port}"

    yield start
    for server in servers:
        server.shutdown()
        server.server_close()


class Proxy(socketserver.ThreadingTCPServer):
    """A forward proxy that only tunnels (HTTP CONNECT), noting each target."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), Tunnel)
        self.targets: list[str] = []
        self.url = f"http://127.0.0.1:{self.server_address[1]}"


class Tunnel(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            head += chunk
        target = head.split(b" ", 2)[1].decode()
        self.server.targets.append(target)  # type: ignore[attr-defined]
        host, _, port = target.rpartition(":")
        with socket.create_connection((host, int(port)), timeout=5) as upstream:
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            while True:
                readable = select.select([self.request, upstream], [], [], 5)[0]
                for end in readable:
                    data = end.recv(65536)
                    if not data:
                        return
                    (upstream if end is self.request else self.request).sendall(data)
                if not readable:  # idle for 5 s: the client keeps the connection in its pool, unused
                    return


@pytest.fixture
def proxy() -> Iterator[Proxy]:
    server = Proxy()
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()
    yield server
    server.shutdown()
    server.server_close()


def calls_succeed(client: velm_api.ApiClient) -> None:
    """After the probe, a GET, a PUT and a DELETE: every verb goes with the session's settings."""
    assert client.get_velm_info()["version"] == "5.6.0"
    client.delete_pipeline(client.create_pipeline("tls").response.json()["pipelineId"])


class TestExplicitWinsOverTheEnvironment:
    @pytest.mark.parametrize("verify", ["ca", "ca path object", False])
    @pytest.mark.parametrize("variables", [("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"), ("CURL_CA_BUNDLE",)])
    def test_a_bundle_or_false_is_used_for_every_request(self, serve, pki, monkeypatch, verify, variables):
        if variables == ("CURL_CA_BUNDLE",):
            monkeypatch.delenv("REQUESTS_CA_BUNDLE")
        given = {"ca": pki.ca_file, "ca path object": Path(pki.ca_file)}.get(verify, verify)
        calls_succeed(velm_api.ApiClient(serve(), session_attributes={"verify": given}))

    def test_a_setting_made_on_the_session_later_wins_too(self, serve, pki, monkeypatch):
        client = velm_api.ApiClient(serve(), session_attributes={"verify": False})
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", pki.ca_file)  # the right CA, but the session says otherwise
        client.session.verify = pki.other_file
        with pytest.raises(requests.exceptions.SSLError):
            client.get_velm_info()
        client.session.verify = pki.ca_file
        calls_succeed(client)

    @pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")  # verify False is one setting
    def test_a_session_made_with_nothing_set_follows_each_later_setting(self, serve, pki, monkeypatch):
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", pki.ca_file)
        client = velm_api.ApiClient(serve())
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", pki.other_file)
        for verify, succeeds in [(pki.ca_file, True), (True, False), (False, True), ("", False)]:
            client.session.verify = verify
            if succeeds:
                calls_succeed(client)
            else:  # True, or an empty path: the environment's bundle, as requests has it
                with pytest.raises(requests.exceptions.SSLError):
                    client.get_velm_info()

    @pytest.mark.parametrize(("session", "one_request", "succeeds"), [("other", "ca", True), ("ca", "other", False)])
    def test_a_verify_given_with_one_request_wins_for_that_request(self, serve, pki, session, one_request, succeeds):
        files = {"ca": pki.ca_file, "other": pki.other_file}
        client = velm_api.ApiClient(serve(), session_attributes={"verify": pki.ca_file})
        client.session.verify = files[session]
        info = f"{client.server_url}/rest/v1/system/info"
        if succeeds:
            assert client.session.get(info, verify=files[one_request]).json()["version"] == "5.6.0"
        else:
            with pytest.raises(requests.exceptions.SSLError):
                client.session.get(info, verify=files[one_request])

    @pytest.mark.parametrize("attributes", [{}, {"verify": True}, {"verify": ""}])
    def test_nothing_set_keeps_requests_behaviour(self, serve, pki, monkeypatch, attributes):
        url = serve()
        with pytest.raises(requests.exceptions.SSLError):  # an empty bundle path turns nothing off
            velm_api.ApiClient(url, session_attributes=attributes)
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", pki.ca_file)
        calls_succeed(velm_api.ApiClient(url, session_attributes=attributes))

    @pytest.mark.parametrize("cert", ["one file", "pair", None])
    def test_a_client_certificate_opens_a_mutual_tls_engine(self, serve, pki, cert):
        url = serve(client_ca=pki.ca)
        if cert == "pair":
            cert = (str(pki.folder / "c.pem"), str(pki.folder / "k.pem"))
            pki.client.cert_chain_pems[0].write_to_path(cert[0])
            pki.client.private_key_pem.write_to_path(cert[1])
        attributes = {"verify": pki.ca_file, "cert": pki.client_file if cert == "one file" else cert}
        if cert is None:
            with pytest.raises(requests.ConnectionError):  # SSLError or a reset, by TLS version
                velm_api.ApiClient(url, session_attributes=attributes)
        else:
            calls_succeed(velm_api.ApiClient(url, session_attributes=attributes))


@pytest.mark.parametrize(
    ("server", "verify", "reason"),
    [
        ({}, True, "certificate verify failed: unable to get local issuer certificate"),
        ({"self_signed": True}, True, "certificate verify failed: self-signed certificate"),
        ({"name": "engine.example"}, "ca", "certificate verify failed: IP address mismatch"),
    ],
)
def test_a_certificate_failure_says_why(serve, pki, monkeypatch, server, verify, reason):
    monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    monkeypatch.delenv("CURL_CA_BUNDLE")
    with pytest.raises(requests.exceptions.SSLError) as raised:
        velm_api.ApiClient(serve(**server), session_attributes={"verify": pki.ca_file if verify == "ca" else verify})
    assert tls_failure_reason(raised.value).startswith(reason)
    # Rebuilt from its text alone, as after crossing a process, the reason still reads.
    assert tls_failure_reason(requests.exceptions.SSLError(str(raised.value))).startswith(reason)
    assert tls_failure_reason(requests.ConnectionError("refused")) is None


def test_a_missing_client_certificate_is_named_as_such(serve, pki):
    with pytest.raises(requests.exceptions.SSLError) as raised:
        velm_api.ApiClient(serve(client_ca=pki.ca), session_attributes={"verify": pki.ca_file})
    # Under TLS 1.3 the engine's alert may be lost to its closing the connection; rebuilt from its text, the same.
    for error in (raised.value, requests.exceptions.SSLError(str(raised.value))):
        reason = tls_failure_reason(error) or ""
        assert reason.startswith(("client certificate required", "the engine closed the connection during the TLS"))
        assert "client certificate" in reason


@pytest.mark.parametrize("retries", [3, 10])
def test_with_retries_a_certificate_that_is_not_trusted_fails_at_once(serve, monkeypatch, retries):
    # Retrying cannot make a certificate trusted: each retry would only add its back-off (minutes for 10).
    sleeps: list[float] = []
    monkeypatch.setattr("time.sleep", sleeps.append)
    with pytest.raises(requests.exceptions.SSLError) as raised:
        velm_api.ApiClient(serve(), retries=retries)
    assert tls_failure_reason(raised.value).startswith("certificate verify failed")
    assert sleeps == []


@pytest.mark.parametrize("how", ["session_attributes", "HTTPS_PROXY", "NO_PROXY", "no_proxy"])
def test_a_proxy_tunnels_every_call_unless_no_proxy_says_otherwise(serve, pki, proxy, monkeypatch, how):
    url, attributes = serve(), {"verify": pki.ca_file}
    if how == "session_attributes":
        attributes["proxies"] = {"https": proxy.url}
    else:
        monkeypatch.setenv("HTTPS_PROXY", proxy.url)
        if how != "HTTPS_PROXY":
            monkeypatch.setenv(how, "127.0.0.1")
    calls_succeed(velm_api.ApiClient(url, session_attributes=attributes))
    assert set(proxy.targets) == (set() if how.upper() == "NO_PROXY" else {url[len("https://") :]})
