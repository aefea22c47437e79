"""The simulator as a whole: its server thread, the WSGI application and its dispatch, authentication, the
request log and faults. Connections are kept in :mod:`.connections`, answers made in :mod:`.answers`."""

from __future__ import annotations

import base64
import enum
import math
import re
import socket
import ssl
import threading
import traceback
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from werkzeug.datastructures import Headers
from werkzeug.serving import BaseWSGIServer, make_server
from werkzeug.wrappers import Request, Response

from .answers import error_response, fault_response, to_response
from .canned import Documents
from .clock import SYSTEM_CLOCK, Clock, TimeSeams, VirtualClock
from .connections import Connections, Handler, QuietHandler
from .context import EngineError
from .routes import RequestContext, router
from .state import EngineState, StatusEntry
from .tls import PathLike, TlsMaterial, TlsSetting
from .tls import check_setting as check_tls
from .traffic import Fault, FaultTable, RecordedRequest, raw_target
from .users import Users

if TYPE_CHECKING:
    from typing_extensions import Self

SESSION_COOKIE = "velm_session"
AUTH_REALM = "velm"

_VERSIONED = re.compile(r"^/rest/v(\d+)(/.*)?$")

#: The longest wait a thread can be given; a longer delay holds the request until a stop or reset.
_LONGEST_WAIT = threading.TIMEOUT_MAX

#: The engine version a simulator reports unless told otherwise.
DEFAULT_VERSION = "5.6.0"


def _basic_credentials(header: str) -> tuple[str, str] | None:
    """The user name and password of a basic ``Authorization`` header, or None. Their bytes are UTF-8 if they
    decode as such, else Latin-1: what most clients send (requests among them) for a password such as "pässwort"."""
    scheme, _, encoded = header.strip().partition(" ")
    if scheme.lower() != "basic":
        return None
    try:
        raw = base64.b64decode(encoded.strip(), validate=True)
    except ValueError:  # binascii.Error is one
        return None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    name, _, password = text.partition(":")
    return name, password


class _Keep(enum.Enum):
    KEEP = 0  # a setting reset() leaves as it is


KEEP = _Keep.KEEP


class EngineSimulator:
    """A fake engine serving the REST API over real HTTP on the loopback; a context manager, or :meth:`start` and
    :meth:`stop`.

    ``tls=True`` serves HTTPS with a certificate from a throwaway certificate authority, whose PEM file
    :attr:`ca_bundle` names (give it to the client as ``verify``); ``tls=(certfile, keyfile)`` serves with a
    certificate of your own. ``tls_client_ca`` (a CA file, or True for the throwaway CA, whose client certificate
    :attr:`client_cert` then names) makes the engine require a client certificate issued by that CA.

    ``users`` maps names to passwords and turns authentication on; ``api_version``, when given, makes other
    ``/rest/v{N}`` prefixes unknown; port 0 picks a free port. With ``virtual_time=True`` the engine runs on a
    :class:`VirtualClock` that the client's waits and probe read and sleep on while the simulator runs: a run of a
    minute finishes in milliseconds and deadlines count virtual seconds. The client's clock is process-wide, so
    one simulator at a time can run on virtual time; stopping it puts the client's clock back.
    """

    def __init__(
        self,
        version: str = DEFAULT_VERSION,
        users: Mapping[str, str] | None = None,
        api_version: int | None = None,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        verbose: bool = False,
        virtual_time: bool = False,
        tls: TlsSetting = False,
        tls_client_ca: PathLike | bool | None = None,
    ) -> None:
        check_tls(tls, tls_client_ca)
        self._tls = TlsMaterial(tls, tls_client_ca, (host,)) if tls else None
        if self._tls is not None:
            weakref.finalize(self, self._tls.close)
        self._version, self._users, self._virtual_time = version, dict(users or {}), virtual_time
        self.api_version, self.host, self.verbose, self._port = api_version, host, verbose, port
        self._seams = TimeSeams()
        self.state = self._initial_state(version, self._users, virtual_time)
        self.faults = FaultTable()
        self._log_lock = threading.Lock()
        self._log: list[RecordedRequest] = []
        self._server: BaseWSGIServer | None = None
        self._thread: threading.Thread | None = None
        self._started = False
        # Set by stop(): releases requests held by a fault that never answers.
        self._stopping = threading.Event()

    def start(self) -> Self:
        """Bind the port and serve in a daemon thread, once per instance; a port that cannot be bound raises
        :class:`OSError` and leaves the client's clock as it was."""
        if self._started:
            raise RuntimeError("this simulator has already been started")
        handler = Handler if self.verbose else QuietHandler
        # Bound here rather than by the server, which ends the process when the port is taken.
        family = socket.getaddrinfo(self.host, self._port, type=socket.SOCK_STREAM)[0][0]
        with socket.create_server((self.host, self._port), family=family, backlog=128) as listener:
            if self._virtual_time:
                if not isinstance(self.state.clock, VirtualClock):  # the state was replaced by hand
                    raise RuntimeError("virtual_time is set but the engine's state does not run on a VirtualClock")
                self._seams.bind(self.state.clock)
            try:
                context = self._tls.context if self._tls is not None else None
                server = make_server(
                    self.host,
                    self._port,
                    self.wsgi_app,
                    threaded=True,
                    request_handler=handler,
                    ssl_context=context,
                    fd=listener.fileno(),
                )
            except BaseException:
                self._seams.release()
                raise
        server.connections = Connections()  # type: ignore[attr-defined]
        if isinstance(server.socket, ssl.SSLSocket):
            # The handshake runs in each connection's thread (Handler.handle), not in the accept loop.
            server.socket.do_handshake_on_connect = False  # type: ignore[attr-defined]
        self._server, self._started = server, True
        self._port = server.socket.getsockname()[1]
        self._thread = threading.Thread(
            target=server.serve_forever,
            # shutdown() waits for the loop to poll; keep test teardown quick
            kwargs={"poll_interval": 0.01},
            name=f"engine-simulator-{self._port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stop serving and release the port; safe to call more than once."""
        server, self._server = self._server, None
        if server is None:
            return
        connections: Connections = server.connections  # type: ignore[attr-defined]
        connections.closing = True
        self._release_held_requests()
        self._seams.release()
        server.shutdown()
        server.server_close()
        connections.close_idle()
        if self._thread is not None:
            self._thread.join(timeout=5)
        if self._tls is not None:
            self._tls.close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        """Whether the server is accepting requests."""
        return self._server is not None

    @property
    def port(self) -> int:
        """The bound port (the requested one before :meth:`start`)."""
        return self._port

    @property
    def url(self) -> str:
        """Base URL of the engine, e.g. ``http://127.0.0.1:40123`` (``https://`` with ``tls``)."""
        if not self._started:
            raise RuntimeError("the simulator is not started")
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{'https' if self._tls is not None else 'http'}://{host}:{self._port}"

    @property
    def tls(self) -> bool:
        """Whether the engine serves HTTPS."""
        return self._tls is not None

    @property
    def ca_bundle(self) -> str | None:
        """With ``tls=True``, the path of the throwaway CA's certificate (a PEM file) that a client verifies the
        engine with; the file lasts until the simulator stops. None otherwise."""
        return self._tls.ca_bundle if self._tls is not None else None

    @property
    def client_cert(self) -> tuple[str, str] | None:
        """With ``tls=True, tls_client_ca=True``, the paths of a client certificate and its key that the engine
        accepts (``cert=`` of requests); None otherwise."""
        return self._tls.client_cert if self._tls is not None else None

    @property
    def virtual_time(self) -> bool:
        """Whether the engine runs on a virtual clock."""
        return self._virtual_time

    @property
    def clock(self) -> Clock:
        """The engine's clock: a :class:`VirtualClock` on virtual time (``engine.clock.advance(5)`` moves runs on
        without anyone sleeping), else the system clock."""
        return self.state.clock

    def reset(
        self,
        *,
        version: str | _Keep = KEEP,
        users: Mapping[str, str] | None | _Keep = KEEP,
        api_version: int | None | _Keep = KEEP,
        virtual_time: bool | _Keep = KEEP,
    ) -> None:
        """Bring the engine back to its initial state (:attr:`state` is a new object, the canned documents are
        restored), clear the request log and the faults, and keep serving on the same URL. A setting given here
        replaces the one the simulator was built with, for this and every later reset."""
        settings: dict[str, Any] = {
            "_version": self._version if version is KEEP else version,
            "_users": self._users if users is KEEP else dict(users or {}),
            "api_version": self.api_version if api_version is KEEP else api_version,
            "_virtual_time": self._virtual_time if virtual_time is KEEP else virtual_time,
        }
        state = self._initial_state(settings["_version"], settings["_users"], settings["_virtual_time"])
        # The clock first: a refused one (another simulator holds the client's) leaves everything as it was.
        if self.running and isinstance(state.clock, VirtualClock):
            self._seams.bind(state.clock)
        elif self.running:
            self._seams.release()
        for name, value in settings.items():
            setattr(self, name, value)
        self._release_held_requests()
        self.state = state
        self.faults.clear()
        self.clear_requests()

    def _release_held_requests(self) -> None:
        # Requests held by a fault wait on the event they found; a fresh one serves later holds. A stopped
        # simulator keeps its event set, so that a request reaching a fault after stop() is not held either.
        held = self._stopping
        if not (self._started and self._server is None):
            self._stopping = threading.Event()
        held.set()

    def _initial_state(self, version: str, users: Mapping[str, str], virtual_time: bool) -> EngineState:
        clock: Clock = VirtualClock() if virtual_time else SYSTEM_CLOCK
        return EngineState(version=version, users=users, clock=clock)

    @property
    def documents(self) -> Documents:
        """The registry of canned documents (information, configuration, definitions, health, alerts, ...):
        ``engine.documents["alerts"] = [...]`` changes an answer until the next :meth:`reset`."""
        return self.state.documents

    @property
    def users(self) -> Users:
        """The accounts and sessions of the engine."""
        return self.state.users

    def add_user(self, name: str, password: str) -> None:
        """Create an account (or change its password); turns auth on."""
        self.state.users.add_user(name, password)

    def script_status(self, pipeline_id: str, statuses: Sequence[StatusEntry]) -> None:
        """Script the statuses successive reads of ``pipeline_id`` return."""
        self.state.script_status(pipeline_id, statuses)

    def inject_fault(
        self,
        method: str,
        path: str,
        status: int | None = None,
        body: Any = None,
        count: int | None = 1,
        empty: bool = False,
        not_json: bool = False,
        delay: float = 0.0,
        headers: Mapping[str, str] | None = None,
        lasting: float | None = None,
    ) -> Fault:
        """Make the next ``count`` matching requests misbehave.

        ``path`` is relative to ``/rest`` (``"/v1/system/info"``), raw as sent, optionally ending in ``*`` to match
        a prefix; ``method`` may be ``"*"``. A failure ``status`` without a ``body`` answers with the engine's
        error document, whose message names the status. ``headers`` are added to the answer (``{"Retry-After":
        "1"}`` on a 503). A fault with only ``delay`` sleeps and then lets the route answer; ``delay=math.inf``
        never answers: the request is held until the simulator stops. A fault with only ``headers`` (and perhaps
        a delay) adds them to the route's answer: ``{"Date": "Mon, 01 Jan 2024 00:00:00 GMT"}`` stands for an
        engine whose clock is off. ``lasting=`` ends the fault that many seconds from now (``count=None,
        lasting=3``: an engine away for three seconds).
        """
        given: Any = {} if headers is None else headers  # Fault checks what it is
        fault = Fault(method, path, status, body, count, empty, not_json, delay, given, lasting)
        return self.faults.add(fault)

    def clear_faults(self) -> None:
        """Remove all pending faults."""
        self.faults.clear()

    @property
    def requests(self) -> list[RecordedRequest]:
        """A copy of the requests received so far, oldest first."""
        with self._log_lock:
            return list(self._log)

    @property
    def last_request(self) -> RecordedRequest | None:
        """The most recent request, or None."""
        with self._log_lock:
            return self._log[-1] if self._log else None

    def clear_requests(self) -> None:
        """Forget the recorded requests."""
        with self._log_lock:
            self._log.clear()

    def wsgi_app(self, environ: dict[str, Any], start_response: Any) -> Iterable[bytes]:
        """The WSGI application; usable without the HTTP server too."""
        request = Request(environ)
        body = request.get_data(cache=True)
        raw_path, raw_query = raw_target(environ)
        user, has_session = self._authenticate(request)
        headers = Headers(list(request.headers.items()))
        recorded = RecordedRequest(request.method, raw_path, raw_query, headers, body, user, self.state.clock.time())
        with self._log_lock:
            self._log.append(recorded)
        try:
            response = self._answer(request, raw_path, body, user, has_session)
        except Exception as exc:  # noqa: BLE001 -- whatever fails, the client gets a whole answer
            response = self._bug(exc)
        return response(environ, start_response)

    __call__ = wsgi_app

    def _authenticate(self, request: Request) -> tuple[str | None, bool]:
        """Who the request is from, and whether it came with a live session."""
        users = self.state.users
        token = request.cookies.get(SESSION_COOKIE)
        if token:
            name = users.session_user(token)
            if name is not None:
                return name, True
        credentials = _basic_credentials(request.headers.get("Authorization", ""))
        if credentials is not None:
            name, password = credentials
            return (name if users.check(name, password) else None), False
        return None, False

    def _answer(self, request: Request, raw_path: str, body: bytes, user: str | None, has_session: bool) -> Response:
        # Faults come first: they stand for trouble in front of the engine (proxies, restarts), which does not
        # care about credentials.
        rest_path = raw_path[len("/rest") :] if raw_path.startswith("/rest/") else raw_path
        fault = self.faults.take(request.method, rest_path)
        if fault is not None:
            if fault.delay > 0:
                # A held request waits on the event of its time: stop() and reset() set it, releasing every one.
                released = self._stopping.wait(None if fault.delay == math.inf else min(fault.delay, _LONGEST_WAIT))
                if released:
                    return error_response(EngineError(503, "The engine is shutting down", "SIMULATOR_STOPPING"))
            if fault.answers:
                return fault_response(fault)

        response = self._serve(request, raw_path, body, user, has_session)
        if fault is not None:  # a fault that does not answer adds its headers to the engine's answer
            for name, value in fault.headers.items():
                response.headers[name] = value
        return response

    def _serve(self, request: Request, raw_path: str, body: bytes, user: str | None, has_session: bool) -> Response:
        if user is None and self.state.users.required:
            response = error_response(EngineError(401, "Authentication required", "LOGIN_REQUIRED"))
            response.headers["WWW-Authenticate"] = f'Basic realm="{AUTH_REALM}"'
            return response

        response = self._dispatch(request, raw_path, body, user)
        if user is not None and not has_session:
            response.set_cookie(SESSION_COOKIE, self.state.users.open_session(user), path="/", httponly=True)
        return response

    def _dispatch(self, request: Request, raw_path: str, body: bytes, user: str | None) -> Response:
        match = _VERSIONED.match(raw_path)
        try:
            if match is None or (self.api_version is not None and int(match.group(1)) != self.api_version):
                raise EngineError(404, f"No such resource '{raw_path}'", "REQUEST_UNKNOWN")
            handler, params = router.resolve(request.method, match.group(2) or "/")
            ctx = RequestContext(self.state, request, request.args, body, user, int(match.group(1)))
            return to_response(handler(ctx, **params))
        except EngineError as error:
            return error_response(error)
        except Exception as exc:  # noqa: BLE001 -- a simulator bug must still answer like the engine
            return self._bug(exc)

    def _bug(self, exc: Exception) -> Response:
        if self.verbose:
            traceback.print_exception(type(exc), exc, exc.__traceback__)
        return error_response(EngineError(500, f"Simulator error: {exc!r}", "SIMULATOR_BUG"))
