"""The simulator over HTTPS: a throwaway CA or the user's certificate, client certificates, and the fixtures."""

from __future__ import annotations

import os
import socket
import sys
import time

import pytest
import requests
import trustme

from quenlo.sdk.simulator import EngineSimulator

pytest_plugins = ["pytester"]

INFO = "/rest/v1/system/info"


def info(engine: EngineSimulator, **kwargs: object) -> requests.Response:
    return requests.get(engine.url + INFO, headers={"X-Requested-By": "velm"}, timeout=5, **kwargs)  # type: ignore[arg-type]


@pytest.fixture(scope="module")
def authority() -> trustme.CA:
    return trustme.CA()


@pytest.fixture
def own_certificate(authority: trustme.CA, tmp_path):
    """A server certificate for 127.0.0.1 issued by the test's CA, as (certfile, keyfile), and the CA's file."""
    issued = authority.issue_cert("127.0.0.1")
    cert, key, ca = tmp_path / "server.pem", tmp_path / "server.key", tmp_path / "ca.pem"
    issued.cert_chain_pems[0].write_to_path(str(cert))
    issued.private_key_pem.write_to_path(str(key))
    authority.cert_pem.write_to_path(str(ca))
    return (str(cert), str(key)), str(ca)


class TestServing:
    def test_a_throwaway_ca_serves_https_that_its_bundle_verifies(self):
        with EngineSimulator(tls=True) as engine:
            assert engine.url.startswith("https://127.0.0.1:") and engine.tls
            assert info(engine, verify=engine.ca_bundle).json()["version"] == "5.6.0"
            with pytest.raises(requests.exceptions.SSLError):  # a client that trusts only the public CAs refuses it
                info(engine, verify=True)
            bundle = engine.ca_bundle
            assert bundle is not None and os.path.isfile(bundle)
        assert not os.path.exists(bundle)  # the throwaway CA goes with the simulator

    def test_a_certificate_of_ones_own(self, own_certificate):
        (cert, key), ca = own_certificate
        with EngineSimulator(tls=(cert, key)) as engine:
            assert engine.ca_bundle is None
            assert info(engine, verify=ca).status_code == 200

    @pytest.mark.parametrize(("host", "url"), [("::1", "https://[::1]:"), ("localhost", "https://localhost:")])
    def test_the_throwaway_certificate_and_the_url_name_the_loopback_host_served(self, host, url):
        with EngineSimulator(host=host, tls=True) as engine:
            assert engine.url.startswith(url)
            assert info(engine, verify=engine.ca_bundle).json()["version"] == "5.6.0"

    def test_plain_http_to_the_https_port_gets_no_answer_and_the_engine_goes_on(self):
        with EngineSimulator(tls=True) as engine:
            with pytest.raises(requests.ConnectionError):
                requests.get(engine.url.replace("https://", "http://") + INFO, timeout=5)
            assert info(engine, verify=engine.ca_bundle).status_code == 200

    def test_a_client_that_connects_and_says_nothing_holds_up_no_one(self):
        with EngineSimulator(tls=True) as engine, socket.create_connection(("127.0.0.1", engine.port)):
            started = time.monotonic()
            assert info(engine, verify=engine.ca_bundle).status_code == 200
            assert time.monotonic() - started < 2

    def test_a_new_connection_is_answered_without_waiting_for_a_delayed_acknowledgement(self):
        with EngineSimulator(tls=True) as engine:
            times = []
            for _ in range(8):  # each on a connection of its own: handshake, session ticket, answer
                started = time.perf_counter()
                info(engine, verify=engine.ca_bundle)
                times.append(time.perf_counter() - started)
        # A delayed acknowledgement costs at least 40 ms every time; the fastest of eight shows whether it is paid.
        assert min(times) < 0.03


class TestClientCertificates:
    def test_the_throwaway_ca_issues_the_one_client_certificate_the_engine_takes(self):
        with EngineSimulator(tls=True, tls_client_ca=True) as engine:
            assert engine.client_cert is not None
            assert info(engine, verify=engine.ca_bundle, cert=engine.client_cert).status_code == 200
            with pytest.raises((requests.exceptions.SSLError, requests.ConnectionError)):
                info(engine, verify=engine.ca_bundle)

    def test_a_ca_file_of_ones_own(self, authority, tmp_path):
        ca = tmp_path / "clients.pem"
        authority.cert_pem.write_to_path(str(ca))
        client = authority.issue_cert("job@ci")
        cert, key = tmp_path / "client.pem", tmp_path / "client.key"
        client.cert_chain_pems[0].write_to_path(str(cert))
        client.private_key_pem.write_to_path(str(key))
        stranger = trustme.CA().issue_cert("job@ci")
        other, other_key = tmp_path / "other.pem", tmp_path / "other.key"
        stranger.cert_chain_pems[0].write_to_path(str(other))
        stranger.private_key_pem.write_to_path(str(other_key))
        with EngineSimulator(tls=True, tls_client_ca=ca) as engine:
            assert engine.client_cert is None
            assert info(engine, verify=engine.ca_bundle, cert=(str(cert), str(key))).status_code == 200
            with pytest.raises((requests.exceptions.SSLError, requests.ConnectionError)):
                info(engine, verify=engine.ca_bundle, cert=(str(other), str(other_key)))


@pytest.mark.parametrize(
    ("settings", "error", "says"),
    [
        ({"tls": "yes"}, TypeError, "tls must be True, False or"),
        ({"tls": ("a.pem",)}, ValueError, r"\(certfile, keyfile\)"),
        ({"tls": (None, "k.pem")}, TypeError, "the certificate file must be the path"),
        ({"tls_client_ca": True}, ValueError, "tls_client_ca needs tls"),
        ({"tls": ("c.pem", "k.pem"), "tls_client_ca": True}, ValueError, "tls_client_ca=True means the throwaway CA"),
        ({"tls": ("/nonexistent/c.pem", "/nonexistent/k.pem")}, OSError, "cannot read the certificate"),
        ({"tls": True, "tls_client_ca": "/nonexistent/ca.pem"}, OSError, "cannot read the client CA"),
        ({"tls": True, "tls_client_ca": 7}, TypeError, "tls_client_ca must be the path"),
    ],
)
def test_a_setting_that_cannot_serve_https_is_refused_when_made(settings, error, says):
    with pytest.raises(error, match=says):
        EngineSimulator(**settings)


def test_files_that_hold_no_certificate_are_a_value_error(tmp_path, own_certificate):
    junk = tmp_path / "junk.pem"
    junk.write_text("not a certificate\n")
    (cert, key), _ = own_certificate
    with pytest.raises(ValueError, match="cannot use the certificate"):
        EngineSimulator(tls=(str(junk), key))
    with pytest.raises(ValueError, match="cannot use the certificate"):
        EngineSimulator(tls=(cert, str(junk)))  # the key of another file
    with pytest.raises(ValueError, match="cannot use the client CA"):
        EngineSimulator(tls=(cert, key), tls_client_ca=junk)


def test_an_encrypted_key_is_refused_at_once_rather_than_asked_for_on_the_terminal(tmp_path, own_certificate):
    from cryptography.hazmat.primitives import serialization

    (cert, key), _ = own_certificate
    plain = serialization.load_pem_private_key(open(key, "rb").read(), None)
    encrypted = tmp_path / "encrypted.key"
    encryption = serialization.BestAvailableEncryption(b"secret")
    encrypted.write_bytes(
        plain.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)
    )
    with pytest.raises(ValueError, match="the key is encrypted"):
        EngineSimulator(tls=(cert, str(encrypted)))


def test_without_trustme_a_throwaway_ca_names_the_install_command(monkeypatch):
    monkeypatch.setitem(sys.modules, "trustme", None)
    with pytest.raises(ImportError, match=r'pip install "quenlo-sdk\[simulator\]"'):
        EngineSimulator(tls=True)


def session(pytester: pytest.Pytester, *args: str) -> pytest.RunResult:
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        return pytester.runpytest_inprocess("-p", "quenlo.sdk.pytest_plugin", "-p", "no:cacheprovider", *args)


def test_the_marker_gives_an_https_engine_that_the_client_trusts(pytester: pytest.Pytester) -> None:
    pytester.makepyfile(
        """
        import pytest
        import requests

        @pytest.mark.velm_engine(tls=True, users={"ci": "pw"})
        def test_https(velm_engine, velm_client):
            assert velm_engine.url.startswith("https://")
            assert velm_client.session.verify == velm_engine.ca_bundle
            assert velm_client.get_current_user() is not None
            assert velm_engine.last_request.user == "ci"

        def test_plain_between(velm_engine, velm_client):
            assert velm_engine.url.startswith("http://") and velm_engine.ca_bundle is None
            velm_client.get_velm_info()

        @pytest.mark.velm_engine(tls=True, tls_client_ca=True)
        def test_mutual(velm_engine, velm_client):
            assert velm_client.session.cert == velm_engine.client_cert
            assert velm_client.get_velm_info()["version"] == "5.6.0"
            with pytest.raises(requests.exceptions.RequestException):  # this engine wants a certificate
                requests.get(velm_engine.url + "/rest/v1/system/info", verify=velm_engine.ca_bundle, timeout=5)
        """
    )
    session(pytester).assert_outcomes(passed=3)


def test_the_marker_refuses_tls_settings_it_cannot_serve(pytester: pytest.Pytester) -> None:
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.velm_engine(tls_client_ca=True)
        def test_job(velm_engine):
            pass
        """
    )
    result = session(pytester)
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*velm_engine: tls_client_ca needs tls*"])


def test_without_trustme_the_marker_and_the_shell_name_the_install_command(pytester: pytest.Pytester, capsys) -> None:
    pytester.makeconftest("import sys\nsys.modules['trustme'] = None  # as if it were not installed\n")
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.velm_engine(tls=True)
        def test_job(velm_engine):
            pass

        def test_plain(velm_engine):
            pass
        """
    )
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        result = pytester.runpytest_subprocess("-p", "quenlo.sdk.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, errors=1)
    assert 'velm_engine: a throwaway certificate authority needs trustme: pip install "quenlo-sdk[simulator]"' in (
        result.stdout.str()
    )

    from quenlo.sdk.simulator.__main__ import main

    with pytest.MonkeyPatch.context() as patch, pytest.raises(SystemExit) as exit_:
        patch.setitem(sys.modules, "trustme", None)
        main(["--tls"])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and 'pip install "quenlo-sdk[simulator]"' in err and len(err.splitlines()) == 1
