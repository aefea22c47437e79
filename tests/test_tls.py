"""TLS and proxies with real parts: a CA made for the test, the simulator behind HTTPS on 127.0.0.1, client
certificates, and a forward proxy that tunnels with CONNECT.

What the caller sets on the session (``verify``, ``cert``) wins over REQUESTS_CA_BUNDLE and CURL_CA_BUNDLE; a
session that sets nothing keeps requests' behaviour, and proxies from the environment stay honoured.
"""

from __future__ import annotations

import select
import socket
import socketserver
import ssl
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Callable

import pytest
import requests
import trustme
from werkzeug.serving import WSGIRequestHandler, make_server

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import tls_failure_reason
from quenlo.sdk.simulator import EngineSimulator

CA_VARIABLES = ["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"]


class Pki:
    """The test's CA (trusted by the engine's certificate), another CA (the environment's), a client
    certificate, and the files a session names."""

    def __init__(self, folder: Path) -> None:
        self.ca, self.other_ca = trustme.CA(), trustme.CA()
        self.server = self.ca.issue_cert("127.0.0.1")
        self.elsewhere = self.ca.issue_cert("engine.example")  # valid, but not for 127.0.0.1
        self.client = self.ca.issue_cert("client@example")
        self.ca_file, self.other_ca_file = folder / "ca.pem", folder / "other-ca.pem"
        self.client_file = folder / "client.pem"  # certificate and key in one file
        self.ca.cert_pem.write_to_path(str(self.ca_file))
        self.other_ca.cert_pem.write_to_path(str(self.other_ca_file))
        self.client.private_key_and_cert_chain_pem.write_to_path(str(self.client_file))


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> Pki:
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture
def other_ca_in_environment(pki: Pki, monkeypatch: pytest.MonkeyPatch) -> None:
    """Both CA variables name the other CA, which did not sign the engine's certificate."""
    for name in CA_VARIABLES:
        monkeypatch.setenv(name, str(pki.other_ca_file))


class QuietHandler(WSGIRequestHandler):
    def log_request(self, code: Any = "-", size: Any = "-") -> None:
        pass


class TlsEngine:
    """The simulator's WSGI app served over HTTPS on 127.0.0.1."""

    def __init__(self, context: ssl.SSLContext) -> None:
        self.simulator = EngineSimulator()
        self.server = make_server(
            "127.0.0.1", 0, self.simulator.wsgi_app, threaded=True, ssl_context=context, request_handler=QuietHandler
        )
        self.url = f"https://127.0.0.1:{self.server.server_port}"
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


@pytest.fixture
def serve(pki: Pki) -> Iterator[Callable[..., TlsEngine]]:
    """Start an HTTPS engine with the test CA's certificate (or ``certificate``); ``client_ca`` demands a
    client certificate signed by it."""
    started: list[TlsEngine] = []

    def start(certificate: Any = None, client_ca: Any = None) -> TlsEngine:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        (certificate or pki.server).configure_cert(context)
        if client_ca is not None:
            client_ca.configure_trust(context)
            context.verify_mode = ssl.CERT_REQUIRED
        started.append(TlsEngine(context))
        return started[-1]

    yield start
    for engine in started:
        engine.stop()


@pytest.fixture
def tls_engine(serve: Callable[..., TlsEngine]) -> TlsEngine:
    return serve()


class ConnectProxy(socketserver.ThreadingTCPServer):
    """A forward proxy that only tunnels (HTTP CONNECT), recording each target it was asked for."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Tunnel)
        self.targets: list[str] = []
        self.stopping = threading.Event()
        self.url = f"http://127.0.0.1:{self.server_address[1]}"


class _Tunnel(socketserver.BaseRequestHandler):
    server: ConnectProxy

    def handle(self) -> None:
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            head += chunk
        method, target, _ = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ", 2)
        if method != "CONNECT":
            self.request.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        self.server.targets.append(target)
        host, _, port = target.rpartition(":")
        with socket.create_connection((host, int(port)), timeout=5) as upstream:
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            ends = [self.request, upstream]
            while not self.server.stopping.is_set():
                readable, _, _ = select.select(ends, [], [], 0.05)
                for end in readable:
                    data = end.recv(65536)
                    if not data:
                        return
                    (upstream if end is self.request else self.request).sendall(data)


@pytest.fixture
def proxy() -> Iterator[ConnectProxy]:
    server = ConnectProxy()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
    thread.start()
    yield server
    server.stopping.set()
    server.shutdown()
    server.server_close()
    thread.join(5)


def calls_succeed(client: velm_api.ApiClient) -> None:
    """A GET, a POST and a DELETE after the probe: every verb goes with the session's settings."""
    assert client.get_velm_info()["version"] == "5.6.0"
    created = client.create_pipeline("tls").response.json()
    client.delete_pipeline(created["pipelineId"])


# -- what the caller sets wins over the environment ---------------------------------------------------------


@pytest.mark.usefixtures("other_ca_in_environment")
class TestExplicitWinsOverTheEnvironment:
    def test_a_ca_bundle_given_is_used_for_the_probe_and_every_call(self, tls_engine, pki):
        client = velm_api.ApiClient(tls_engine.url, session_attributes={"verify": str(pki.ca_file)})
        calls_succeed(client)

    def test_verify_false_is_honoured(self, tls_engine):
        calls_succeed(velm_api.ApiClient(tls_engine.url, session_attributes={"verify": False}))

    @pytest.mark.parametrize("variable", CA_VARIABLES)
    def test_each_variable_alone_is_overridden(self, tls_engine, pki, monkeypatch, variable):
        monkeypatch.delenv(CA_VARIABLES[CA_VARIABLES.index(variable) - 1])
        client = velm_api.ApiClient(tls_engine.url, session_attributes={"verify": str(pki.ca_file)})
        assert client.get_velm_info()["version"]

    def test_a_setting_made_on_the_session_later_wins_too(self, tls_engine, pki, monkeypatch):
        client = velm_api.ApiClient(tls_engine.url, session_attributes={"verify": False})
        client.session.verify = str(pki.other_ca_file)
        with pytest.raises(requests.exceptions.SSLError):
            client.get_velm_info()
        # The environment now names the right CA; the session's own bundle still decides.
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(pki.ca_file))
        with pytest.raises(requests.exceptions.SSLError):
            client.get_velm_info()
        client.session.verify = str(pki.ca_file)
        calls_succeed(client)

    def test_nothing_set_keeps_requests_behaviour(self, tls_engine, pki, monkeypatch):
        with pytest.raises(requests.exceptions.SSLError):
            velm_api.ApiClient(tls_engine.url)
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(pki.ca_file))
        calls_succeed(velm_api.ApiClient(tls_engine.url))

    def test_a_per_request_verify_keeps_requests_behaviour(self, tls_engine, pki):
        client = velm_api.ApiClient(tls_engine.url, session_attributes={"verify": str(pki.ca_file)})
        # verify=True given with the request asks for the environment's bundle, as requests has it.
        with pytest.raises(requests.exceptions.SSLError):
            client.session.get(tls_engine.url + "/rest/v1/system/info", verify=True)


@pytest.mark.usefixtures("other_ca_in_environment")
class TestClientCertificates:
    @pytest.mark.parametrize("form", ["one file", "pair"])
    def test_a_client_certificate_opens_a_mutual_tls_engine(self, serve, pki, tmp_path, form):
        engine = serve(client_ca=pki.ca)
        if form == "one file":
            cert: Any = str(pki.client_file)
        else:
            cert = (str(tmp_path / "c.pem"), str(tmp_path / "k.pem"))
            pki.client.cert_chain_pems[0].write_to_path(cert[0])
            pki.client.private_key_pem.write_to_path(cert[1])
        client = velm_api.ApiClient(engine.url, session_attributes={"verify": str(pki.ca_file), "cert": cert})
        calls_succeed(client)

    def test_without_one_the_engine_refuses(self, serve, pki):
        engine = serve(client_ca=pki.ca)
        with pytest.raises(requests.ConnectionError):  # SSLError or a reset, depending on the TLS version
            velm_api.ApiClient(engine.url, session_attributes={"verify": str(pki.ca_file)})


class TestTheReasonIsNamed:
    @pytest.mark.parametrize(
        ("certificate", "attributes", "reason"),
        [
            ("server", {}, "certificate verify failed: unable to get local issuer certificate"),
            ("ca itself", {"verify": True}, "certificate verify failed: self-signed certificate"),
            ("elsewhere", {"verify": "ca"}, "certificate verify failed: IP address mismatch"),
        ],
    )
    def test_the_ssl_error_says_why(self, serve, pki, monkeypatch, certificate, attributes, reason):
        monkeypatch.delenv("REQUESTS_CA_BUNDLE")
        monkeypatch.delenv("CURL_CA_BUNDLE")
        if certificate == "ca itself":

            class SelfSigned:
                def configure_cert(self, context: ssl.SSLContext) -> None:
                    key = pki.ca.private_key_pem.bytes().decode()
                    pki.ca.cert_pem.write_to_path(str(pki.ca_file.with_suffix(".self.pem")))
                    path = pki.ca_file.with_suffix(".self-key.pem")
                    path.write_text(key)
                    context.load_cert_chain(str(pki.ca_file.with_suffix(".self.pem")), str(path))

            engine = serve(SelfSigned())
        else:
            engine = serve(pki.elsewhere if certificate == "elsewhere" else None)
        settings = {name: str(pki.ca_file) if value == "ca" else value for name, value in attributes.items()}
        with pytest.raises(requests.exceptions.SSLError) as raised:
            velm_api.ApiClient(engine.url, session_attributes=settings)
        assert tls_failure_reason(raised.value).startswith(reason)
        # Rebuilt from its text alone, as after crossing a process, the reason still reads.
        assert tls_failure_reason(requests.exceptions.SSLError(str(raised.value))).startswith(reason)

    @pytest.mark.parametrize(
        "error", [requests.ConnectionError("refused"), ValueError("x"), requests.exceptions.SSLError("EOF")]
    )
    def test_other_failures_have_no_tls_reason(self, error):
        assert tls_failure_reason(error) is None


# -- proxies ------------------------------------------------------------------------------------------------


@pytest.mark.usefixtures("other_ca_in_environment")
class TestProxies:
    def test_a_proxy_in_session_attributes_tunnels_every_call(self, tls_engine, pki, proxy):
        attributes = {"verify": str(pki.ca_file), "proxies": {"https": proxy.url}}
        calls_succeed(velm_api.ApiClient(tls_engine.url, session_attributes=attributes))
        assert set(proxy.targets) == {tls_engine.url[len("https://") :]}

    def test_a_proxy_from_the_environment_is_honoured_beside_an_explicit_bundle(
        self, tls_engine, pki, proxy, monkeypatch
    ):
        monkeypatch.setenv("HTTPS_PROXY", proxy.url)
        monkeypatch.delenv("NO_PROXY", raising=False)
        monkeypatch.delenv("no_proxy", raising=False)
        calls_succeed(velm_api.ApiClient(tls_engine.url, session_attributes={"verify": str(pki.ca_file)}))
        assert proxy.targets and set(proxy.targets) == {tls_engine.url[len("https://") :]}

    @pytest.mark.parametrize("variable", ["NO_PROXY", "no_proxy"])
    def test_no_proxy_is_honoured(self, tls_engine, pki, proxy, monkeypatch, variable):
        monkeypatch.setenv("HTTPS_PROXY", proxy.url)
        monkeypatch.setenv(variable, "127.0.0.1")
        calls_succeed(velm_api.ApiClient(tls_engine.url, session_attributes={"verify": str(pki.ca_file)}))
        assert proxy.targets == []
