"""The simulator's connections: kept alive between requests, each with its own thread, TLS handshake and
time-outs, and every open one known to the server so that a stop can end the idle ones."""

from __future__ import annotations

import socket
import ssl
import threading
from typing import Any

from werkzeug.serving import WSGIRequestHandler

#: Seconds a client has to complete the TLS handshake once it has connected.
HANDSHAKE_SECONDS = 10.0
#: Seconds a kept-alive connection may stay idle before the engine closes it.
IDLE_SECONDS = 60.0
#: Statuses whose answers carry no body.
NO_BODY = (204, 304)


class Connections:
    """The server's open connections, and which of them are answering a request; :meth:`close_idle` ends the
    others, whose threads wait for a request that will not come once the server stops."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._open: set[socket.socket] = set()
        self._busy: set[socket.socket] = set()
        #: Set by stop(): answers still being made close their connection once written.
        self.closing = False

    def opened(self, connection: socket.socket) -> None:
        with self._lock:
            self._open.add(connection)

    def closed(self, connection: socket.socket) -> None:
        with self._lock:
            self._open.discard(connection)
            self._busy.discard(connection)

    def busy(self, connection: socket.socket, busy: bool) -> bool:
        """Mark ``connection`` as answering a request or not; returns whether the server stops. Under the one
        lock with :meth:`close_idle`, so a connection marked idle is either closed by it or told to close."""
        with self._lock:
            (self._busy.add if busy else self._busy.discard)(connection)
            return self.closing

    def close_idle(self) -> None:
        """Set ``closing`` and end every connection that is not answering a request."""
        with self._lock:
            self.closing = True
            idle = self._open - self._busy
        for connection in idle:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:  # closed meanwhile
                pass


class Handler(WSGIRequestHandler):
    """Request handler that keeps connections alive between requests and does the TLS handshake in the
    connection's own thread, with a time-out, so a client that connects and says nothing holds only its own
    connection, never the server's accept loop.

    Keeping connections alive spares a client that polls a connection, a thread and (over TLS) a handshake per
    request. It is sound here, where it is not for any WSGI application, because the engine reads every request
    body whole before it answers (``EngineSimulator.wsgi_app``), so the next request starts where this one ended.
    """

    quiet = False
    timeout = IDLE_SECONDS

    def setup(self) -> None:
        super().setup()
        # TLS 1.3 writes its session ticket and then the answer: without this, the answer would wait for the
        # client's delayed acknowledgement of the ticket (some 40 ms on every new connection).
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._connections().opened(self.connection)

    def finish(self) -> None:
        self._connections().closed(self.connection)
        super().finish()

    def _connections(self) -> Connections:
        connections: Connections = self.server.connections  # type: ignore[attr-defined]
        return connections

    def run_wsgi(self) -> None:
        """Serve one request with the WSGI application and write the whole answer at once."""
        if self.headers.get("Expect", "").lower().strip() == "100-continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        self.environ = environ = self.make_environ()
        connections = self._connections()
        connections.busy(self.connection, True)
        try:
            answer, status = self._answer(environ, connections)
            if answer:
                self.wfile.write(answer)
        finally:
            # The server may have stopped while the answer was written, skipping this connection as busy.
            if connections.busy(self.connection, False):
                self.close_connection = True
        if answer:
            self.log_request(status.split(" ", 1)[0], len(answer))

    def _answer(self, environ: dict[str, Any], connections: Connections) -> tuple[bytes, str]:
        """The whole answer to the request, and its status; no bytes when the client has gone."""
        started: list[Any] = []

        def start_response(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> Any:
            started[:] = [status, headers]
            return None

        try:
            result = self.server.app(environ, start_response)
            try:
                body = b"".join(result)
            finally:
                close = getattr(result, "close", None)
                if callable(close):
                    close()
            status, headers = started
            if connections.closing:  # the server stops: this is the connection's last answer
                self.close_connection = True
            return self._answer_bytes(environ, status, headers, body), status
        except Exception as error:  # a request the client broke off, or an answer that cannot be written
            self.close_connection = True
            if isinstance(error, (ConnectionError, socket.timeout)):
                return b"", ""
            if not self.quiet:
                self.log_error("cannot answer %s %s: %r", self.command, self.path, error)
            answer = b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
            return answer, "500"

    def _answer_bytes(self, environ: dict[str, Any], status: str, headers: list[tuple[str, str]], body: bytes) -> bytes:
        code = int(status.split(" ", 1)[0])
        names = {name.lower() for name, _ in headers}
        lines = [f"{self.protocol_version} {status}", f"Server: {self.version_string()}"]
        if "date" not in names:  # a fault's Date stands for an engine whose clock is off
            lines.append(f"Date: {self.date_time_string()}")
        lines += [f"{name}: {value}" for name, value in headers]
        if code not in NO_BODY and "content-length" not in names:
            lines.append(f"Content-Length: {len(body)}")
        if self.close_connection:
            lines.append("Connection: close")
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        return head if environ["REQUEST_METHOD"] == "HEAD" or code in NO_BODY else head + body

    def handle(self) -> None:
        connection = self.connection
        if isinstance(connection, ssl.SSLSocket):
            connection.settimeout(HANDSHAKE_SECONDS)
            try:
                connection.do_handshake()
            except OSError as error:  # ssl.SSLError, a time-out or a reset: the client gets no answer
                if not self.quiet:
                    self.log_error("TLS handshake with %s failed: %s", self.client_address[0], error)
                return
            connection.settimeout(self.timeout)
        super().handle()


class QuietHandler(Handler):
    """Request handler that keeps the per-request access log, malformed requests and failed handshakes off
    stderr."""

    quiet = True

    def log_request(self, code: Any = "-", size: Any = "-") -> None:
        pass

    def log_error(self, format: str, *args: Any) -> None:  # noqa: A002 -- the name http.server gives it
        pass  # a malformed request or a broken-off TLS connection: the client has its answer, or has gone
