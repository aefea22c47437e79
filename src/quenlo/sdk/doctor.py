"""A read-only check of an engine, layer by layer: what ``velm doctor`` runs, for a script or a smoke test too.

:func:`check_engine` looks at the URL (name resolution, connection, proxy), TLS (handshake, trust, host name,
expiry, client certificate), whether the answers are the engine's, authentication, the API and engine version,
one read of each area jobs use, the engine's clock and the settings in effect. It sends only GET requests and
returns one :class:`Check` per step, in order; a step whose layer failed below it is ``skipped``::

    from quenlo.sdk.doctor import check_engine, worst_kind

    def test_staging_engine_is_usable():
        checks = check_engine("https://velm.staging:18630", username="ci", password=PASSWORD)
        assert worst_kind(checks) is None, [c for c in checks if c.verdict == "failed"]
"""

from __future__ import annotations

import contextlib
import email.utils
import json
import math
import os
import re
import socket
import ssl
import time
import warnings
from dataclasses import asdict, dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union
from urllib.parse import quote, urlsplit

import requests
import urllib3

from .constants import DEFAULT_VELM_API_VERSION as DEFAULT_API_VERSION
from .constants import REQUIRED_HEADERS
from .exceptions import hide_secrets, redact_url
from .utils import Version, join_url_parts

OK, WARNING, FAILED, SKIPPED = "ok", "warning", "failed", "skipped"

# What a failed check says is wrong, named as the exit codes of ``velm`` name them.
CONFIG = "config"  # how the client is set up: no retry fixes it
NOT_ENGINE = "not-engine"  # something else answered: a proxy's or portal's page
REFUSED = "refused"  # the engine said no: credentials, permissions, a missing pipeline
UNREACHABLE = "unreachable"  # not reached, or unavailable: worth a retry later
TIMED_OUT = "timed-out"  # reached, but no answer in time
#: The failure kinds from worst to least bad, as ``velm`` ranks its exit codes: what no retry fixes comes before
#: what a retry may fix.
KINDS_BY_SEVERITY = (CONFIG, REFUSED, NOT_ENGINE, UNREACHABLE, TIMED_OUT)

#: Engine versions this client is built and tested for: from the first up to, not including, the second.
SUPPORTED_ENGINES = ("2.0", "6.0")
#: Operations whose requests depend on the engine version, with what changes.
VERSION_DEPENDENT = {"create_pipeline": ("2.5.0.0", "sends the generated-id flag as auto_generate_name before")}

_DOTTED = re.compile(r"\d+(\.\d+)*(-\S*)?$")

#: A read slower than this is a warning; a clock further off than this, too.
SLOW_SECONDS = 2.0
CLOCK_SECONDS = 5.0
#: Days left on the engine's certificate under which its expiry is a warning.
EXPIRY_DAYS = 30

# The settings hints name, as ``velm`` spells them.
URL, CA_BUNDLE, INSECURE, CERT = "--url", "--ca-bundle", "--insecure", "--cert"
USER, PASSWORD = "--user", "--password-file"
TIMEOUT, RETRIES, API_VERSION, PIPELINE = "--timeout-http", "--retries", "--api-version", "--pipeline"
PROXY, ENGINE_CERTIFICATE, CLOCK, ENGINE_ROLES = "NO_PROXY", "engine certificate", "clock", "engine roles"

#: Each failure the checks tell apart: its kind, the setting to change, and how.
_FAILURES: Dict[str, Tuple[str, str, str]] = {
    "unresolved": (UNREACHABLE, URL, "check the host name"),
    "unresolved proxy": (UNREACHABLE, PROXY, "the engine's host in it, or the proxy's name in HTTPS_PROXY"),
    "connect time-out": (UNREACHABLE, TIMEOUT, "a longer connect time-out, or check the port and firewalls"),
    "refused connection": (UNREACHABLE, URL, "is the port right, and the engine up? (retry later if it is starting)"),
    "proxy away": (UNREACHABLE, PROXY, "the engine's host in it to go direct, or a proxy that is up"),
    "tunnel refused": (CONFIG, PROXY, "the engine's host in it to go direct, or a proxy that lets it through"),
    "unusable bundle": (CONFIG, CA_BUNDLE, "a PEM file of the CA that issued the engine's certificate"),
    "unusable client certificate": (CONFIG, CERT, "a PEM certificate and its key (--key)"),
    "handshake time-out": (TIMED_OUT, TIMEOUT, "a longer time-out, or check that the port serves the engine"),
    "another host": (CONFIG, URL, "the host name the certificate names (or a certificate made for this one)"),
    "expired": (CONFIG, ENGINE_CERTIFICATE, "renew it on the engine (--insecure skips the check meanwhile)"),
    "untrusted": (
        CONFIG,
        CA_BUNDLE,
        "the CA that issued the engine's certificate (or VELM_CA_BUNDLE); --insecure skips it",
    ),
    "no client certificate": (
        CONFIG,
        CERT,
        "a certificate the engine trusts, and its key (--key, VELM_CERT, VELM_KEY)",
    ),
    "not TLS": (CONFIG, URL, "http:// for this port, or the engine's HTTPS port"),
    "TLS port": (CONFIG, URL, "https:// for this port, or the engine's plain HTTP port"),
    "handshake failed": (CONFIG, URL, "the engine's HTTPS port and scheme"),
    "read time-out": (TIMED_OUT, TIMEOUT, "a longer read time-out (CONNECT,READ) for a slow engine, or why it stalls"),
    "TLS failed": (CONFIG, CA_BUNDLE, "the CA and client certificate settings"),
    "no answer": (UNREACHABLE, URL, "the engine's address; retry later"),
    "unavailable": (UNREACHABLE, RETRIES, "retry later; --retries N rides out a short outage"),
    "redirected": (NOT_ENGINE, URL, "the engine's own address, not a portal's"),
    "not JSON": (NOT_ENGINE, URL, "the engine's address (a proxy or portal may answer in its place)"),
    "proxy page": (NOT_ENGINE, PROXY, "the engine's host in it to go direct, or a proxy that lets it through"),
    "no such API": (CONFIG, API_VERSION, f"v{DEFAULT_API_VERSION}, which engines serve"),
    "base path": (CONFIG, URL, "the engine's base path (without /rest)"),
    "no credentials": (REFUSED, USER, "a user, and its password (--password-file or VELM_PASSWORD)"),
    "wrong password": (REFUSED, PASSWORD, "the password of --user (or VELM_PASSWORD)"),
    "information refused": (REFUSED, URL, "the engine's address and base path"),
    "no version": (NOT_ENGINE, URL, "the engine's address (something else answers JSON there)"),
    "no pipeline": (REFUSED, PIPELINE, "the id of a pipeline on this engine"),
    "read refused": (REFUSED, ENGINE_ROLES, f"a user ({USER}) whose roles on the engine allow this read"),
}

Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]


@dataclass(frozen=True)
class Check:
    """One step of :func:`check_engine`.

    Attributes:
        name: what was checked (``"connect"``, ``"trust"``, ``"read: logs"``, ...).
        verdict: ``"ok"``, ``"warning"``, ``"failed"`` or ``"skipped"`` (a check it builds on failed).
        reason: one line saying what was found.
        figure: what was measured (``"12 ms"``, ``"85 days"``), or None.
        setting: the option or setting to change (``"--ca-bundle"``), or None.
        hint: one line on what to change, naming ``setting``, or None.
        kind: for a failed check, what kind of failure it is (``"config"``, ``"not-engine"``, ``"refused"``,
            ``"unreachable"`` or ``"timed-out"``, the kinds of ``velm``'s exit codes); else None.
    """

    name: str
    verdict: str
    reason: str
    figure: Optional[str] = None
    setting: Optional[str] = None
    hint: Optional[str] = None
    kind: Optional[str] = None

    def as_dict(self) -> Dict[str, Any]:
        """The check as a JSON-ready mapping."""
        return asdict(self)


def worst_kind(checks: Sequence[Check]) -> Optional[str]:
    """The worst failure kind among ``checks`` (by :data:`KINDS_BY_SEVERITY`), or None when none failed."""
    kinds = {check.kind for check in checks if check.verdict == FAILED}
    return next((kind for kind in KINDS_BY_SEVERITY if kind in kinds), None)


class _Stop(Exception):
    """A layer failed: the checks that build on it are skipped."""


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f} ms"


def _seconds(value: Optional[float]) -> str:
    return "none" if value is None else f"{value:g} s"


def _parts(timeout: Timeout) -> Tuple[Optional[float], Optional[float]]:
    if isinstance(timeout, tuple):
        return timeout[0], timeout[1]
    return timeout, timeout


def _body_start(response: requests.Response, secrets: List[str], length: int = 60) -> str:
    # Hidden before white space is folded and the text cut, either of which could keep a spelling from matching.
    text = " ".join(hide_secrets(response.content.decode("utf-8", "replace"), secrets).split())
    return repr(text[:length] + ("..." if len(text) > length else "")) if text else "no body"


def _what_came_back(response: requests.Response, secrets: List[str]) -> str:
    content_type = response.headers.get("Content-Type") or "no content type"
    return (
        f"{response.status_code} {response.reason or ''}".rstrip()
        + f", {content_type}, {_body_start(response, secrets)}"
    )


def _engine_document(response: requests.Response) -> Any:
    """The answer's JSON, or None when it is not JSON (someone else's page)."""
    try:
        return json.loads(response.content) if response.content.strip() else {}
    except (ValueError, RecursionError):
        return None


def _engine_message(document: Any) -> str:
    error = document.get("error") if isinstance(document, dict) else None
    if isinstance(error, dict) and error.get("message"):
        return f": {error.get('code')}: {error['message']}"
    return ""


class _Doctor:
    """One run of the checks: its settings, the records so far, and what the earlier layers found."""

    def __init__(
        self,
        url: str,
        username: Optional[str],
        password: Optional[str],
        api_version: int,
        verify: Union[None, bool, str],
        cert: Union[None, str, Tuple[str, str]],
        timeout: Timeout,
        proxies: Optional[Mapping[str, str]],
        retries: Optional[int],
        pipeline_id: Optional[str],
    ) -> None:
        self.url = url.rstrip("/")
        self.username, self.password, self.api_version = username, password, api_version
        self.verify, self.cert, self.timeout, self.proxies = verify, cert, timeout, proxies
        self.retries, self.pipeline_id = retries, pipeline_id
        self.info_latency = 0.0
        self.parts = urlsplit(url)
        self.https = self.parts.scheme.lower() == "https"
        self.host = self.parts.hostname or ""
        self.port = self.parts.port or (443 if self.https else 80)
        self.connect_timeout, self.read_timeout = _parts(self.timeout)
        self.checks: List[Check] = []
        self.failed_at: Optional[str] = None
        self.secrets = [self.password] if self.password else []
        self.session = requests.Session()
        self.session.trust_env = False  # proxies and trust are worked out below, and passed explicitly
        self.session.headers.update(REQUIRED_HEADERS)
        self.ca_file, self.ca_source = self._trust()
        self.proxy, self.proxy_reason = self._proxy()

    # -- records ----------------------------------------------------------------------------------------------

    def add(
        self,
        name: str,
        verdict: str,
        reason: str,
        figure: Optional[str] = None,
        setting: Optional[str] = None,
        advice: str = "",
        kind: Optional[str] = None,
    ) -> None:
        hint = f"{setting}: {advice}" if setting and advice else None
        self.checks.append(Check(name, verdict, hide_secrets(reason, self.secrets), figure, setting, hint, kind))

    def fail(self, name: str, failure: str, reason: str) -> None:
        kind, setting, advice = _FAILURES[failure]
        self.add(name, FAILED, reason, None, setting, advice, kind)
        self.failed_at = self.failed_at or name
        raise _Stop

    def skip(self, *names: str) -> None:
        for name in names:
            self.add(name, SKIPPED, f"not checked: {self.failed_at} failed")

    # -- settings in effect -----------------------------------------------------------------------------------

    def _trust(self) -> Tuple[Optional[str], str]:
        if self.verify is False:
            return None, "none: certificates are not verified (--insecure)"
        if isinstance(self.verify, str):
            return self.verify, f"{self.verify} (given)"
        for variable in ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"):
            if os.environ.get(variable):
                return os.environ[variable], f"{os.environ[variable]} (from {variable})"
        default = requests.utils.DEFAULT_CA_BUNDLE_PATH
        return default, f"{default} (the default bundle)"

    def _proxy(self) -> Tuple[Optional[str], str]:
        scheme = self.parts.scheme.lower()
        if self.proxies is not None:
            chosen = requests.utils.select_proxy(self.url, self.proxies)
            return chosen, f"{redact_url(chosen)} (given)" if chosen else "none (given)"
        chosen = requests.utils.select_proxy(self.url, requests.utils.get_environ_proxies(self.url))
        names = [f"{scheme}_proxy", "all_proxy"]
        variable = next((v for n in names for v in (n, n.upper()) if os.environ.get(v)), None)
        if chosen:
            return chosen, f"{redact_url(chosen)} (from {variable})"
        if variable:
            return None, f"none: {variable} is set, but NO_PROXY exempts {self.host}"
        return None, "none"

    # -- the checks -------------------------------------------------------------------------------------------

    def run(self) -> List[Check]:
        status = ("read: pipeline status",) if self.pipeline_id else ()
        reads = ("read: information", "read: pipelines", *status, "read: logs", "read: health", "read: access control")
        steps: List[Tuple[Tuple[str, ...], Callable[[], None]]] = [
            (("resolve", "connect", "proxy"), self.check_network),
            (("tls", "trust", "host name", "expiry", "client certificate")[: 5 if self.https else 1], self.check_tls),
            (("answer", "api version", "authentication", "engine version", "clock"), self.check_engine),
            (reads, self.check_reads),
        ]
        try:
            for names, step in steps:
                if self.failed_at is None:
                    with contextlib.suppress(_Stop):
                        step()
                done = {check.name for check in self.checks}
                self.skip(*(name for name in names if name not in done))
            self.check_settings()
        finally:
            self.session.close()
        return self.checks

    def check_network(self) -> None:
        target = urlsplit(self.proxy) if self.proxy else None
        host = target.hostname if target else self.host
        port = (target.port or 80) if target else self.port
        what = f"the proxy {host}" if target else host
        # A proxy that cannot be reached is its setting's fault, not the engine's address.
        source = f" ({self.proxy_reason.rpartition(' (')[2]}" if target else ""
        started = time.monotonic()
        try:
            addresses = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except (socket.gaierror, UnicodeError) as error:
            self.fail("resolve", "unresolved proxy" if target else "unresolved", f"cannot resolve {what}: {error}")
        shown = sorted({str(address[4][0]) for address in addresses})
        found = f"{what} is {', '.join(shown[:3])}" if shown != [host] else f"{what} is an address: nothing to resolve"
        self.add("resolve", OK, found, _ms(time.monotonic() - started))
        started = time.monotonic()
        try:
            socket.create_connection((host, port), timeout=self.connect_timeout).close()
        except socket.timeout:
            self.fail(
                "connect",
                "proxy away" if target else "connect time-out",
                f"no connection to {what}:{port}{source} within {self.connect_timeout:g} s",
            )
        except OSError as error:
            failure = "proxy away" if target else "refused connection"
            self.fail("connect", failure, f"cannot connect to {what}:{port}{source}: {error.strerror or error}")
        self.add("connect", OK, f"connected to {what}:{port}", _ms(time.monotonic() - started))
        self.add("proxy", OK, self.proxy_reason)

    def _socket(self) -> socket.socket:
        """A connection to the engine: direct, or a tunnel through the proxy."""
        if not self.proxy:
            return socket.create_connection((self.host, self.port), timeout=self.connect_timeout)
        proxy = urlsplit(self.proxy)
        sock = socket.create_connection((proxy.hostname, proxy.port or 80), timeout=self.connect_timeout)
        sock.settimeout(self.read_timeout)
        sock.sendall(f"CONNECT {self.host}:{self.port} HTTP/1.1\r\nHost: {self.host}:{self.port}\r\n\r\n".encode())
        answer = b""
        while b"\r\n\r\n" not in answer and len(answer) < 65536:
            chunk = sock.recv(4096)
            if not chunk:
                break
            answer += chunk
        status = answer.split(b"\r\n", 1)[0].decode("latin-1")
        if " 200" not in status:
            sock.close()
            self.fail(
                "tls",
                "tunnel refused",
                f"the proxy refused a tunnel to {self.host}:{self.port}: {status or 'no answer'}",
            )
        return sock

    def _context(self) -> ssl.SSLContext:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        if self.verify is False:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        else:
            try:
                if self.ca_file and os.path.isdir(self.ca_file):
                    context.load_verify_locations(capath=self.ca_file)
                else:
                    context.load_verify_locations(cafile=self.ca_file)
            except (OSError, ssl.SSLError) as error:
                self.fail("trust", "unusable bundle", f"the CA bundle {self.ca_source} cannot be used: {error}")
        if self.cert is not None:
            certfile, keyfile = self.cert if isinstance(self.cert, tuple) else (self.cert, None)
            try:
                context.load_cert_chain(certfile, keyfile)
            except (OSError, ssl.SSLError) as error:
                self.fail(
                    "client certificate",
                    "unusable client certificate",
                    f"the client certificate cannot be used: {error}",
                )
        return context

    def check_tls(self) -> None:
        if not self.https:
            remote = self.host not in ("localhost", "127.0.0.1", "::1")
            if self.username and remote:
                self.add(
                    "tls",
                    WARNING,
                    "plain HTTP: the password crosses the network unencrypted",
                    None,
                    URL,
                    "an https:// URL if the engine serves one",
                )
            else:
                self.add("tls", OK, "plain HTTP: no TLS")
            return
        context = self._context()
        started = time.monotonic()
        try:
            with context.wrap_socket(self._socket(), server_hostname=self.host) as tls:
                figure = _ms(time.monotonic() - started)
                protocol, cipher = tls.version(), (tls.cipher() or ("?",))[0]
                certificate = tls.getpeercert()
                answer = self._first_line(tls)
        except ssl.SSLCertVerificationError as error:
            self._refused_certificate(error)
        except ssl.SSLError as error:
            self._tls_error(error)
        except socket.timeout:
            self.fail("tls", "handshake time-out", f"no TLS handshake within {self.read_timeout:g} s")
        except OSError as error:
            self._tls_error(error)
        self.add("tls", OK, f"{protocol}, {cipher}", figure)
        if self.verify is False:
            for name in ("trust", "host name", "expiry"):
                self.add(
                    name,
                    WARNING,
                    "not checked (--insecure)",
                    None,
                    INSECURE,
                    "leave it out, and trust the engine's CA with --ca-bundle",
                )
        else:
            self.add("trust", OK, f"the chain leads to a CA of {self.ca_source}")
            self.add("host name", OK, f"the certificate is made for {self.host}")
            days = (ssl.cert_time_to_seconds(str((certificate or {}).get("notAfter"))) - time.time()) / 86400
            if days < EXPIRY_DAYS:
                self.add(
                    "expiry",
                    WARNING,
                    f"the engine's certificate expires in {days:.0f} days",
                    f"{days:.0f} days",
                    ENGINE_CERTIFICATE,
                    "renew it on the engine",
                )
            else:
                self.add("expiry", OK, "the engine's certificate is valid", f"{days:.0f} days")
        if not answer and self._asks_for_certificate():
            self._no_client_certificate()
        if not answer.startswith("HTTP/"):
            said = f"answered {answer[:20]!r}" if answer else "closed the connection"
            self.fail("client certificate", "handshake failed", f"after the TLS handshake the engine {said}")
        if self.cert:
            self.add("client certificate", OK, "presented and taken")
        else:
            self.add("client certificate", OK, "none asked for, none given")

    def _first_line(self, tls: ssl.SSLSocket) -> str:
        """The status line of a GET of the information record sent right after the handshake: an engine that
        wants a client certificate refuses it here (TLS 1.3 sends that refusal after the handshake)."""
        tls.settimeout(self.read_timeout)
        path = join_url_parts(self.parts.path or "/", "/rest", f"/v{self.api_version}/system/info")
        request = f"GET {path} HTTP/1.1\r\nHost: {self.parts.netloc.rpartition('@')[2]}\r\nConnection: close\r\n"
        try:
            tls.sendall((request + "X-Requested-By: velm\r\n\r\n").encode("latin-1"))
            return tls.recv(64).decode("latin-1")
        except (ssl.SSLError, ConnectionError):  # the alert that ends the connection, or its end
            return ""

    @staticmethod
    def _names_certificate(error: BaseException) -> bool:
        text = f"{getattr(error, 'reason', '')} {error}".upper()
        return any(
            word in text
            for word in (
                "CERTIFICATE_REQUIRED",
                "BAD_CERTIFICATE",
                "UNKNOWN_CA",
                "CERTIFICATE_UNKNOWN",
                "PEER DID NOT RETURN A CERTIFICATE",
            )
        )

    def _refused_certificate(self, error: ssl.SSLCertVerificationError) -> None:
        message = str(error.verify_message)
        if error.verify_code in (62, 64):  # the host name or IP address is not the certificate's
            self.add("tls", OK, "the engine speaks TLS")
            self.add("trust", OK, f"the chain leads to a CA of {self.ca_source}")
            names = self._certificate_names()
            made = f"is made for {', '.join(names)}, not for {self.host}" if names else f"is not made for {self.host}"
            self.fail("host name", "another host", f"the engine's certificate {made}: {message}")
        if error.verify_code == 10:  # expired
            self.add("tls", OK, "the engine speaks TLS")
            self.add("trust", OK, f"the chain leads to a CA of {self.ca_source}")
            self.add("host name", OK, f"the certificate is made for {self.host}")
            self.fail("expiry", "expired", "the engine's certificate has expired")
        self.add("tls", OK, "the engine speaks TLS")
        self.fail("trust", "untrusted", f"the engine's certificate is not trusted by {self.ca_source}: {message}")

    def _speaks_tls(self) -> bool:
        """Whether the port of an http:// URL completes a TLS handshake (an engine's HTTPS port drops plain HTTP)."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        try:
            with socket.create_connection((self.host, self.port), timeout=self.connect_timeout) as sock:
                sock.settimeout(self.read_timeout)
                with context.wrap_socket(sock, server_hostname=self.host):
                    return True
        except (OSError, ValueError):
            return False

    def _certificate_names(self) -> List[str]:
        """The names in the engine's certificate (its chain is trusted, only its host name is not ours)."""
        context = self._context()
        context.check_hostname = False
        try:
            with context.wrap_socket(self._socket(), server_hostname=self.host) as tls:
                certificate = tls.getpeercert() or {}
        except (OSError, _Stop):
            return []
        pairs = certificate.get("subjectAltName", ())
        return [str(pair[1]) for pair in pairs if isinstance(pair, tuple) and len(pair) == 2][:5]

    def _asks_for_certificate(self) -> bool:
        """Whether the engine asks for a client certificate: in a TLS 1.2 handshake that request (handshake
        message 13) travels in clear, so a handshake the engine ends early can be told from other failures."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing, server_hostname=self.host)
        received = b""
        try:
            with self._socket() as sock:
                sock.settimeout(self.read_timeout)
                while len(received) < 1 << 20:
                    try:
                        tls.do_handshake()
                    except ssl.SSLWantReadError:
                        pass
                    sock.sendall(outgoing.read())
                    if tls.version() is not None:
                        break
                    data = sock.recv(65536)
                    if not data:
                        break
                    received += data
                    incoming.write(data)
        except (OSError, _Stop):
            pass
        handshake, offset = b"", 0
        while offset + 5 <= len(received):  # TLS records: type, version, length, payload
            length = int.from_bytes(received[offset + 3 : offset + 5], "big")
            if received[offset] == 22:
                handshake += received[offset + 5 : offset + 5 + length]
            offset += 5 + length
        offset = 0
        while offset + 4 <= len(handshake):  # handshake messages: type, 3-byte length, body
            if handshake[offset] == 13:
                return True
            offset += 4 + int.from_bytes(handshake[offset + 1 : offset + 4], "big")
        return False

    def _no_client_certificate(self) -> None:
        """The engine ended the connection for want of a client certificate it trusts (in the handshake, or
        right after it under TLS 1.3)."""
        refused = "refused the one given" if self.cert else "none was given"
        self.fail(
            "client certificate", "no client certificate", f"the engine asks for a client certificate, and {refused}"
        )

    def _tls_error(self, error: OSError) -> None:
        reason = str(getattr(error, "reason", None) or error)
        ended = isinstance(error, (ssl.SSLEOFError, ConnectionError)) or "EOF" in reason
        if ended and not self._names_certificate(error) and self._asks_for_certificate():
            # The engine's certificate was accepted before the client's was asked for.
            self.add("tls", OK, "the engine speaks TLS")
            self.add("trust", OK, f"the chain leads to a CA of {self.ca_source}")
            self.add("host name", OK, f"the certificate is made for {self.host}")
            self.add("expiry", SKIPPED, "not read: the handshake did not complete")
            self._no_client_certificate()
        if self._names_certificate(error):
            self.add("tls", OK, "the engine speaks TLS")
            self._no_client_certificate()
        if any(word in reason.upper() for word in ("WRONG_VERSION", "RECORD_LAYER", "PACKET_LENGTH", "HTTP_REQUEST")):
            self.fail("tls", "not TLS", f"the port does not speak TLS ({reason}): it serves plain HTTP")
        self.fail("tls", "handshake failed", f"the TLS handshake failed: {reason}")

    def get(self, path: str, params: Optional[Mapping[str, Any]] = None) -> Tuple[requests.Response, float]:
        """One GET under the REST root, with the run's settings; its answer and how long it took."""
        url = join_url_parts(self.url, "/rest", f"/v{self.api_version}{path}")
        auth = (self.username, self.password or "") if self.username else None
        started = time.monotonic()
        with warnings.catch_warnings():  # an unverified engine is reported once, by the checks of TLS
            warnings.simplefilter("ignore", urllib3.exceptions.InsecureRequestWarning)
            response = self.session.get(
                url,
                params=params,
                auth=auth,
                timeout=self.timeout,
                allow_redirects=False,
                verify=self.ca_file if self.verify is not False else False,
                cert=self.cert,
                proxies={"http": self.proxy, "https": self.proxy} if self.proxy else {},
            )
        return response, time.monotonic() - started

    def request_failure(self, name: str, error: requests.RequestException) -> None:
        if isinstance(error, requests.Timeout) and not isinstance(error, requests.ConnectTimeout):
            self.fail(name, "read time-out", f"no answer within {self.read_timeout:g} s")
        if isinstance(error, requests.exceptions.SSLError):
            self.fail(name, "TLS failed", f"TLS failed: {error}")
        self.fail(name, "no answer", f"no answer: {type(error).__name__}")

    def check_engine(self) -> None:
        local = time.time()
        try:
            response, took = self.get("/system/info")
        except requests.RequestException as error:
            dropped = isinstance(error, requests.ConnectionError) and not isinstance(error, requests.Timeout)
            if dropped and not self.https and not self.proxy and self._speaks_tls():
                self.fail("answer", "TLS port", f"the port speaks TLS, not plain HTTP ({type(error).__name__})")
            self.request_failure("answer", error)
        local = (local + time.time()) / 2
        self.info_latency = took
        document = _engine_document(response)
        status = response.status_code
        if status in (502, 503, 504):
            self.fail("answer", "unavailable", f"the engine is unavailable: {_what_came_back(response, self.secrets)}")
        if 300 <= status < 400:
            self.fail(
                "answer",
                "redirected",
                f"redirected to {response.headers.get('Location')}: {_what_came_back(response, self.secrets)}",
            )
        if document is None or not isinstance(document, dict):
            failure, through = ("proxy page", f" through {redact_url(self.proxy)}") if self.proxy else ("not JSON", "")
            self.fail("answer", failure, f"not the engine's JSON{through}: {_what_came_back(response, self.secrets)}")
        self.add("answer", OK, f"the engine's JSON ({status}, {response.headers.get('Content-Type')})", _ms(took))
        if status == 404:
            # Every engine serves v1: without it, the base path is what is wrong.
            failure = "no such API" if self.api_version != DEFAULT_API_VERSION else "base path"
            self.fail(
                "api version",
                failure,
                f"no REST API v{self.api_version} at {redact_url(self.url)}{_engine_message(document)}",
            )
        self.add("api version", OK, f"v{self.api_version}")
        if status in (401, 403):
            if not self.username:
                self.fail("authentication", "no credentials", f"the engine asks for credentials ({status}), none given")
            self.fail(
                "authentication",
                "wrong password",
                f"the engine refused user {self.username!r} ({status}{_engine_message(document)})",
            )
        if status >= 400:
            self.fail(
                "authentication",
                "information refused",
                f"the engine refused the information read: {_what_came_back(response, self.secrets)}",
            )
        self.add("authentication", OK, self._who())
        self.check_version(document)
        self.check_clock(response, local)

    def _who(self) -> str:
        if not self.username:
            return "no credentials given, none needed"
        try:
            response, _ = self.get("/system/info/currentUser")
            user = response.json() if response.ok else {}
        except (requests.RequestException, ValueError):
            user = {}
        roles = user.get("roles") if isinstance(user, dict) else None
        return f"accepted as {self.username!r}" + (f" (roles {', '.join(map(str, roles))})" if roles else "")

    def check_version(self, document: Mapping[str, Any]) -> None:
        version = document.get("version")
        if not isinstance(version, str) or not version:
            version = ""
            self.fail("engine version", "no version", "the information record has no version")
        dependent = "; ".join(f"{name} {what} {since}" for name, (since, what) in VERSION_DEPENDENT.items())
        low, high = SUPPORTED_ENGINES
        known = bool(_DOTTED.match(version)) and Version(low) <= Version(version) < Version(high)
        if known:
            self.add("engine version", OK, f"{version}: supported ({dependent})")
        else:
            self.add(
                "engine version",
                WARNING,
                f"{version} is not a version this client knows ({low} up to {high}):"
                f" operations may not behave as documented; {dependent}",
                None,
                API_VERSION,
                "check the engine's release notes for changes to REST API v" + str(self.api_version),
            )

    def check_clock(self, response: requests.Response, local: float) -> None:
        try:
            engine = email.utils.parsedate_to_datetime(response.headers.get("Date", "")).timestamp()
        except (TypeError, ValueError, IndexError):
            self.add(
                "clock",
                WARNING,
                "the engine's answer has no usable Date header",
                None,
                CLOCK,
                "nothing to change unless waits end early or late",
            )
            return
        skew = engine - local
        figure = f"{round(skew) or 0:+d} s"
        if abs(skew) > CLOCK_SECONDS:
            side = "ahead of" if skew > 0 else "behind"
            self.add(
                "clock",
                WARNING,
                f"the engine's clock is {abs(skew):.0f} s {side} this machine's (waits and "
                "time-outs are measured here)",
                figure,
                CLOCK,
                "set both clocks by NTP",
            )
        else:
            self.add("clock", OK, "the engine's clock agrees with this machine's", figure)

    def check_reads(self) -> None:
        self.read_result("read: information", None, self.info_latency)
        areas: List[Tuple[str, str, Optional[Mapping[str, Any]]]] = [("read: pipelines", "/pipelines", None)]
        if self.pipeline_id:
            areas.append(("read: pipeline status", f"/pipeline/{quote(self.pipeline_id, safe='')}/status", None))
        areas += [
            ("read: logs", "/system/logs", {"endingOffset": -1}),
            ("read: health", "/system/health/report", None),
            ("read: access control", "/pipelines/subjects", None),
        ]
        for name, path, params in areas:
            try:
                response, took = self.get(path, params)
            except requests.RequestException as error:
                try:
                    self.request_failure(name, error)
                except _Stop:
                    continue
            try:
                self.read_result(name, response, took)
            except _Stop:
                continue

    def read_result(self, name: str, response: Optional[requests.Response], took: float) -> None:
        if response is not None:
            document = _engine_document(response)
            status = response.status_code
            if status in (502, 503, 504):
                self.fail(name, "unavailable", f"unavailable: {_what_came_back(response, self.secrets)}")
            if document is None:
                self.fail(name, "not JSON", f"not the engine's JSON: {_what_came_back(response, self.secrets)}")
            if status == 404 and name == "read: pipeline status":
                self.fail(name, "no pipeline", f"no pipeline {self.pipeline_id!r}{_engine_message(document)}")
            if status >= 400:
                self.fail(name, "read refused", f"refused: {status}{_engine_message(document)}")
        if took > SLOW_SECONDS:
            self.add(
                name,
                WARNING,
                f"slow: {took:.1f} s for one read",
                _ms(took),
                TIMEOUT,
                "a read time-out well above this, or find why the engine is slow",
            )
        else:
            self.add(name, OK, "readable", _ms(took))

    def check_settings(self) -> None:
        connect, read = self.connect_timeout, self.read_timeout
        timeouts = f"connect {_seconds(connect)}, read {_seconds(read)}"
        retries = "none" if not self.retries else f"{self.retries} for reads"
        reason = f"time-outs: {timeouts}; retries: {retries}; CA bundle: {self.ca_source}"
        if self.cert is not None:
            reason += "; client certificate: " + (self.cert if isinstance(self.cert, str) else self.cert[0])
        if connect is None or read is None:
            self.add("settings", WARNING, reason, None, TIMEOUT, "a time-out, so a silent engine cannot hold a job")
        else:
            self.add("settings", OK, reason)


def check_engine(
    url: str,
    *,
    username: Optional[str] = None,
    password: Optional[str] = None,
    api_version: int = 1,
    verify: Union[None, bool, str, "os.PathLike[str]"] = None,
    cert: Union[None, str, Tuple[str, str]] = None,
    timeout: Timeout = 30.0,
    proxies: Optional[Mapping[str, str]] = None,
    retries: Optional[int] = None,
    pipeline_id: Optional[str] = None,
) -> List[Check]:
    """Check the engine at ``url`` layer by layer with GET requests only, and return one :class:`Check` per step.

    Args:
        url: the engine's base URL, as ``ApiClient`` takes it.
        username, password: the credentials to send (HTTP basic authentication), or None for none.
        api_version: the REST API version to use.
        verify: the CA bundle (a PEM file or a folder) to verify the engine with; False verifies nothing; None or
            True take ``REQUESTS_CA_BUNDLE`` or ``CURL_CA_BUNDLE`` from the environment, else requests' bundle.
        cert: the client certificate to present: a PEM file holding it and its key, or ``(certfile, keyfile)``.
        timeout: seconds each connection and each answer may take, or ``(connect, read)``; None waits for ever.
        proxies: requests' mapping of proxies; None takes them from the environment (``NO_PROXY`` honoured).
        retries: the retries of reads the client will make, reported with the settings.
        pipeline_id: a pipeline whose status to read too.

    Returns:
        The checks, in order; failed ones name a ``kind``, and the checks built on them are ``skipped``.
    """
    if isinstance(verify, os.PathLike):
        verify = os.fspath(verify)
    if verify is not None and not isinstance(verify, (bool, str)):
        raise TypeError(f"verify must be a CA bundle's path, True or False, not {type(verify).__name__}")
    timeout = timeout if timeout is None or isinstance(timeout, tuple) else float(timeout)
    for part in timeout if isinstance(timeout, tuple) else (timeout,):
        if part is not None and not (math.isfinite(part) and part > 0):
            raise ValueError(f"timeout must be a finite number of seconds above 0, or None, not {part}")
    return _Doctor(
        url,
        username=username,
        password=password,
        api_version=api_version,
        verify=verify,
        cert=cert,
        timeout=timeout,
        proxies=proxies,
        retries=retries,
        pipeline_id=pipeline_id,
    ).run()
