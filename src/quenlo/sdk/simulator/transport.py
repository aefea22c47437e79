"""A requests adapter that serves a session from a simulator in the same process, without any socket.

Mount it on a client's session and every request goes straight to the simulator's WSGI application: no port, no
thread, no loopback round trip, for soak runs and benchmarks where the network stack would only add noise::

    engine = EngineSimulator()                    # never started: no server, no port
    transport = InMemoryTransport(engine)
    client = ApiClient(transport.url, session_attributes=transport.session_attributes())

The simulator sees each request as over HTTP (raw path, query, headers, body, credentials) and the session keeps
its cookies, so request logs, faults and authentication behave the same; a request time-out is not enforced.
"""

from __future__ import annotations

import io
import sys
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from http.client import HTTPMessage
from typing import Any, Callable
from urllib.parse import unquote_to_bytes, urlsplit

import requests
from requests.adapters import BaseAdapter
from requests.cookies import extract_cookies_to_jar
from requests.structures import CaseInsensitiveDict
from requests.utils import get_encoding_from_headers
from urllib3 import HTTPHeaderDict, HTTPResponse

WsgiApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]

#: The base URL clients use with the transport; the host is never resolved.
DEFAULT_URL = "http://velm.in-memory"


class _HeaderBlock:
    """What requests' cookie handling reads from the wire response: its header block as an HTTPMessage."""

    def __init__(self, headers: list[tuple[str, str]], method: str) -> None:
        self.msg = HTTPMessage()
        for name, value in headers:
            self.msg[name] = value  # appends: several Set-Cookie headers stay several
        self._method = method

    def isclosed(self) -> bool:
        return True

    def close(self) -> None:
        """Nothing to close."""


def _body_bytes(body: None | str | bytes | Iterable[bytes]) -> bytes:
    if body is None:
        return b""
    if isinstance(body, str):
        return body.encode("utf-8")
    if isinstance(body, (bytes, bytearray)):
        return bytes(body)
    if hasattr(body, "read"):
        data = body.read()
        return data.encode("utf-8") if isinstance(data, str) else bytes(data)
    return b"".join(chunk.encode("utf-8") if isinstance(chunk, str) else bytes(chunk) for chunk in body)


class InMemoryTransport(BaseAdapter):
    """Serve requests from a WSGI application in this process (an :class:`EngineSimulator` or its ``wsgi_app``);
    ``url`` is the base URL to give the client."""

    def __init__(self, app: WsgiApp | Any, url: str = DEFAULT_URL) -> None:
        super().__init__()
        self.app: WsgiApp = getattr(app, "wsgi_app", app)
        self.url = url.rstrip("/")

    def session_attributes(self) -> dict[str, Any]:
        """The ``session_attributes`` of an ``ApiClient`` that talks to the simulator through this transport (the
        environment's proxy and CA settings mean nothing here, and reading them costs more than the request)."""
        return {"adapters": OrderedDict([(self.url, self)]), "trust_env": False}

    def mount(self, session: requests.Session) -> requests.Session:
        """Route the requests of ``session`` for :attr:`url` through this transport; returns the session."""
        session.mount(self.url, self)
        return session

    def send(
        self,
        request: requests.PreparedRequest,
        stream: bool = False,
        timeout: Any = None,
        verify: Any = True,
        cert: Any = None,
        proxies: Mapping[str, str] | None = None,
    ) -> requests.Response:
        """Hand ``request`` to the application and return its answer as a :class:`requests.Response`."""
        environ = self._environ(request)
        started: dict[str, Any] = {}

        def start_response(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> None:
            started["status"], started["headers"] = status, headers

        result = self.app(environ, start_response)
        try:
            payload = b"".join(result)
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                close()

        code, _, reason = started["status"].partition(" ")
        headers: list[tuple[str, str]] = started["headers"]
        # requests' cookie handling reads only the header block of the wire response: a stand-in suffices.
        wire = _HeaderBlock(headers, request.method or "GET")
        options: dict[str, Any] = {"status": int(code), "reason": reason, "preload_content": False}
        options.update(decode_content=False, original_response=wire, request_method=request.method)
        raw = HTTPResponse(io.BytesIO(payload), HTTPHeaderDict(headers), request_url=request.url, **options)
        response = requests.Response()
        response.status_code, response.reason, response.raw = int(code), reason, raw
        response.headers = CaseInsensitiveDict(headers)
        response.encoding = get_encoding_from_headers(response.headers)
        response.url, response.request = request.url or "", request
        response.connection = self  # type: ignore[assignment]  # requests only calls close() on it
        extract_cookies_to_jar(response.cookies, request, raw)  # type: ignore[no-untyped-call]
        return response

    def close(self) -> None:
        """Nothing to release: there is no connection."""

    def _environ(self, request: requests.PreparedRequest) -> dict[str, Any]:
        url = urlsplit(request.url or "/")
        body = _body_bytes(request.body)
        target = url.path or "/"
        if url.query:
            target += "?" + url.query
        environ: dict[str, Any] = {
            "REQUEST_METHOD": request.method or "GET",
            "SCRIPT_NAME": "",
            # WSGI carries bytes as latin-1 text; the decoded path loses "%2F", so the raw target rides along.
            "PATH_INFO": unquote_to_bytes(url.path or "/").decode("latin-1"),
            "QUERY_STRING": url.query,
            "RAW_URI": target,
            "REQUEST_URI": target,
            "SERVER_NAME": url.hostname or "localhost",
            "SERVER_PORT": str(url.port or (443 if url.scheme == "https" else 80)),
            "SERVER_PROTOCOL": "HTTP/1.1",
            "REMOTE_ADDR": "127.0.0.1",
            "wsgi.version": (1, 0),
            "wsgi.url_scheme": url.scheme or "http",
            "wsgi.input": io.BytesIO(body),
            "wsgi.errors": sys.stderr,
            "wsgi.multithread": True,
            "wsgi.multiprocess": False,
            "wsgi.run_once": False,
            "CONTENT_LENGTH": str(len(body)),
        }
        for name, value in request.headers.items():
            key = name.upper().replace("-", "_")
            if key == "CONTENT_TYPE":
                environ["CONTENT_TYPE"] = value
            elif key != "CONTENT_LENGTH":
                environ["HTTP_" + key] = value
        return environ
