"""Faults on the way to the engine and back: each raises the exception the README names, nothing hangs, and a
wait that fails keeps the last answer it read, so waiting again loses nothing.

Broken connections come from a tiny raw-socket server (the simulator always answers whole); failure statuses,
odd bodies, missing keys and slow answers from the simulator's fault injection.
"""

from __future__ import annotations

import itertools
import socket
import struct
import threading
import types
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Callable
from unittest import mock

import pytest
import requests
from requests.adapters import HTTPAdapter

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError, InternalServerError, ServiceUnavailableError
from quenlo.sdk.simulator import MISSING, EngineSimulator, sample_pipeline

# Every test here must end quickly; a hang is a failure, not a slow test.
pytestmark = pytest.mark.timeout(30)

PIPELINE = "orders"


class RawEngine:
    """A loopback server that reads a request and then misbehaves at the socket level.

    ``mode``: "reset" sends the head and part of the body, then resets the connection; "truncated" announces a
    longer body than it sends and closes cleanly; "stalled" sends the head and part of the body and then
    nothing until it is closed; "closed" closes without answering.
    """

    BODY = b'{"status": "RUNNING", "pipelineId": "orders", "version": "5.6.0", "padding": "' + b"x" * 200 + b'"}'

    def __init__(self, mode: str) -> None:
        self.mode = mode
        self.requests = 0
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(8)
        self._socket.settimeout(0.05)  # so that close() is noticed at once
        self._stopped = threading.Event()
        self.url = f"http://127.0.0.1:{self._socket.getsockname()[1]}"
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stopped.is_set():
            try:
                connection, _ = self._socket.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(5)
            with connection:
                self._answer(connection)

    def _answer(self, connection: socket.socket) -> None:
        received = b""
        while b"\r\n\r\n" not in received:
            chunk = connection.recv(65536)
            if not chunk:
                return
            received += chunk
        self.requests += 1
        head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(self.BODY)
        if self.mode == "closed":
            return
        connection.sendall(head + self.BODY[:40])
        if self.mode == "stalled":
            self._stopped.wait(10)
        if self.mode == "reset":
            # A zero linger time turns close() into a reset.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def close(self) -> None:
        self._stopped.set()
        self._thread.join(timeout=5)
        self._socket.close()


class DefaultTimeoutAdapter(HTTPAdapter):
    """The README's adapter: a time-out for every request that sets none."""

    def __init__(self, timeout: float, **kwargs: Any) -> None:
        self.timeout = timeout
        super().__init__(**kwargs)

    def send(self, request: requests.PreparedRequest, **kwargs: Any) -> requests.Response:  # type: ignore[override]
        if kwargs.get("timeout") is None:
            kwargs["timeout"] = self.timeout
        return super().send(request, **kwargs)


@pytest.fixture
def engine(engine: EngineSimulator) -> EngineSimulator:
    """The shared engine, with runs that finish as soon as they start."""
    engine.state.runs.configure_defaults(batches=1, batch_interval=0, start_delay=0, stop_delay=0)
    return engine


@pytest.fixture
def client(engine: EngineSimulator) -> velm_api.ApiClient:
    api_client = velm_api.ApiClient(engine.url)
    api_client.import_pipeline(PIPELINE, sample_pipeline("Orders", PIPELINE), overwrite=True)
    engine.clear_requests()
    return api_client


@pytest.fixture
def paused() -> Iterator[None]:
    """The waits' clock and pause, faked for the client only: the simulator's own delays stay real."""
    now = [1_000_000.0]

    def sleep(seconds: float) -> None:
        now[0] += seconds

    fake_time = types.SimpleNamespace(time=lambda: now[0], sleep=sleep)
    with mock.patch("quenlo.sdk.velm_api.time", fake_time):
        yield


_ids = itertools.count()


@pytest.fixture
def pid() -> str:
    return f"faulty{next(_ids)}"


# -- the faults ------------------------------------------------------------------------------------------------


@contextmanager
def fault(kind: str, client: velm_api.ApiClient, engine: EngineSimulator, route: str) -> Iterator[None]:
    """Make the next request of ``client`` to ``route`` (method and path after /rest) fail as ``kind``."""
    method, path = route.split(" ", 1)
    if kind in ("500", "503"):
        engine.inject_fault(method, path, status=int(kind), count=3)
        yield
        return
    if kind == "slow":
        adapter = DefaultTimeoutAdapter(timeout=0.2)
        client.session.mount("http://", adapter)
        engine.inject_fault(method, path, delay=1.0)
        try:
            yield
        finally:
            client.session.mount("http://", HTTPAdapter())
        return
    server_url, timeout = client.server_url, client.timeout
    if kind == "stalled":
        client.timeout = 0.2
    raw = None
    if kind == "refused":
        with socket.socket() as bound:  # bound, never listening
            bound.bind(("127.0.0.1", 0))
            client.server_url = f"http://127.0.0.1:{bound.getsockname()[1]}"
    else:
        raw = RawEngine(kind)
        client.server_url = raw.url
    try:
        yield
    finally:
        client.server_url, client.timeout = server_url, timeout
        if raw is not None:
            raw.close()


# What each kind raises (README "Errors"); "delete" answers failure statuses with plain HTTPError.
RAISES = {
    "500": InternalServerError,
    "503": requests.HTTPError,
    "refused": requests.ConnectionError,
    "closed": requests.ConnectionError,
    "reset": requests.exceptions.ChunkedEncodingError,
    "truncated": requests.exceptions.ChunkedEncodingError,
    "slow": requests.Timeout,
    # The engine answered: a body that stops coming is a slow engine, not an unreachable one.
    "stalled": requests.ReadTimeout,
}
KINDS = list(RAISES)

OPERATIONS: dict[str, tuple[str, Callable[[velm_api.ApiClient, str], Any]]] = {
    "get json": ("GET /v1/system/info", lambda c, pid: c.get_velm_info()),
    "get bytes": ("GET /v1/system/bundle/generate", lambda c, pid: c.get_bundle()),
    "post command": (f"POST /v1/pipeline/{PIPELINE}/start", lambda c, pid: c.start_pipeline(PIPELINE)),
    "put command": ("PUT /v1/pipeline/{pid}", lambda c, pid: c.create_pipeline(pid)),
    "delete": ("DELETE /v1/pipeline/{pid}", lambda c, pid: c.delete_pipeline(pid)),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_operation_failures_raise_the_documented_exception(client, engine, pid, operation, kind):
    route, call = OPERATIONS[operation]
    if operation == "delete":
        client.create_pipeline(pid)
    expected = RAISES[kind]
    if operation == "delete" and kind == "500":
        expected = requests.HTTPError
    with fault(kind, client, engine, route.format(pid=pid)), pytest.raises(expected) as raised:
        call(client, pid)
    assert isinstance(raised.value, requests.RequestException)
    if kind == "stalled":
        assert not isinstance(raised.value, requests.ConnectionError)
    if kind == "503" or (operation == "delete" and kind == "500"):
        assert not isinstance(raised.value, (BadRequestError, InternalServerError))
    if kind == "slow":
        return  # the engine went on with the request after the client gave up; repeating it is not the point
    # The client is not left broken: the same operation works once the fault has passed.
    engine.clear_faults()
    call(client, pid)


@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_a_stalled_body_is_a_read_timeout_with_retries_too(engine, pid, operation):
    route, call = OPERATIONS[operation]
    client = velm_api.ApiClient(engine.url, retries=2)
    with fault("stalled", client, engine, route.format(pid=pid)), pytest.raises(requests.ReadTimeout) as raised:
        call(client, pid)
    assert not isinstance(raised.value, requests.ConnectionError)


@pytest.mark.parametrize(
    "operation", [lambda c: c.get_velm_info(), lambda c: c.get_definitions()], ids=["json or {}", "json"]
)
def test_a_stalled_body_of_a_streaming_session_is_a_read_timeout(engine, operation):
    # The body is read after the status check, when the answer is decoded: by then as the client's own read.
    client = velm_api.ApiClient(engine.url, session_attributes={"stream": True})
    with fault("stalled", client, engine, "GET /v1/*"), pytest.raises(requests.ReadTimeout) as raised:
        operation(client)
    assert not isinstance(raised.value, requests.ConnectionError)


def test_a_burst_of_failures_raises_each_time_then_passes(client, engine):
    engine.inject_fault("GET", "/v1/system/info", status=500, count=2)
    engine.inject_fault("GET", "/v1/system/info", status=503, count=2)
    raised = []
    for _ in range(4):
        with pytest.raises(requests.HTTPError) as error:
            client.get_velm_info()
        raised.append((type(error.value), error.value.response.status_code))
    assert raised == [(InternalServerError, 500)] * 2 + [(ServiceUnavailableError, 503)] * 2
    assert client.get_velm_info()["version"] == engine.state.version
    assert len(engine.requests) == 5  # one request per call, nothing retried behind the caller's back


def test_a_slow_probe_times_out_instead_of_hanging(engine):
    adapter = DefaultTimeoutAdapter(timeout=0.2)
    engine.inject_fault("GET", "/v1/system/info", delay=1.0)
    with pytest.raises(requests.Timeout):
        velm_api.ApiClient(engine.url, session_attributes={"adapters": {"http://": adapter}})


# -- waits: a failing poll propagates, the command keeps what it had, and waiting again finishes ---------------


def _status_wait(client, engine, pid):
    engine.script_status(pid, ["STARTING", "RUNNING", "FINISHED"])
    command = client.get_pipeline_status(pid)
    return command, f"GET /v1/pipeline/{pid}/status", lambda: command.wait_for_status("FINISHED", timeout_sec=30)


def _counter_wait(client, engine, pid):
    client.import_pipeline(pid, sample_pipeline("Counted", pid))
    command = client.start_pipeline(pid)
    return command, f"GET /v1/pipeline/{pid}/metrics", lambda: command.wait_for_pipeline_batch_count(1, timeout_sec=30)


def _preview_wait(client, engine, pid):
    command = client.run_pipeline_preview(PIPELINE)
    return (
        command,
        f"GET /v1/pipeline/{PIPELINE}/preview/{command.previewer_id}/status",
        lambda: command.wait_for_finished(timeout_sec=30),
    )


def _validate_wait(client, engine, pid):
    command = client.validate_pipeline(PIPELINE)
    return (
        command,
        f"GET /v1/pipeline/{PIPELINE}/preview/{command.previewer_id}/status",
        lambda: command.wait_for_validate(timeout_sec=30),
    )


def _snapshot_wait(client, engine, pid):
    command = client.capture_snapshot(PIPELINE, pid, "label")
    return (
        command,
        f"GET /v1/pipeline/{PIPELINE}/snapshot/{pid}/status",
        lambda: command.wait_for_finished(timeout_sec=30),
    )


WAITS = {
    "status": _status_wait,
    "counter": _counter_wait,
    "preview": _preview_wait,
    "validate": _validate_wait,
    "snapshot": _snapshot_wait,
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("wait", list(WAITS))
def test_a_failing_poll_keeps_the_last_answer_and_loses_nothing(client, engine, pid, paused, wait, kind):
    command, route, run_wait = WAITS[wait](client, engine, pid)
    held = command.response
    with fault(kind, client, engine, route), pytest.raises(RAISES[kind]):
        run_wait()
    assert command.response is held
    engine.clear_faults()
    run_wait()  # the same command, waited on again, reaches its end
    assert command.response is not held or wait == "counter"


# -- bodies: empty or not JSON --------------------------------------------------------------------------------

BODIES: list[tuple[str, str, Callable[[velm_api.ApiClient], Any], Any]] = [
    # (fault, route, call, result or exception)
    ("empty", "GET /v1/system/info", lambda c: c.get_velm_info(), {}),
    ("empty", f"GET /v1/pipeline/{PIPELINE}/history", lambda c: c.get_pipeline_history(PIPELINE), []),
    ("empty", "GET /v1/pipelines/snapshots", lambda c: c.get_snapshots(), []),
    ("empty", f"GET /v1/pipeline/{PIPELINE}/export", lambda c: c.export_pipeline(PIPELINE), {}),
    ("empty", "GET /v1/definitions", lambda c: c.get_definitions(), ValueError),
    ("empty", f"GET /v1/pipeline/{PIPELINE}/validate", lambda c: c.validate_pipeline(PIPELINE), ValueError),
    ("empty", f"GET /v1/pipeline/{PIPELINE}/status", lambda c: c.get_pipeline_status(PIPELINE).response.content, b""),
    ("not_json", "GET /v1/system/info", lambda c: c.get_velm_info(), ValueError),
    ("not_json", f"GET /v1/pipeline/{PIPELINE}/history", lambda c: c.get_pipeline_history(PIPELINE), ValueError),
    ("not_json", f"POST /v1/pipeline/{PIPELINE}/preview", lambda c: c.run_pipeline_preview(PIPELINE), ValueError),
    ("not_json", "POST /v1/pipeline/dynamicPreview", lambda c: c.run_dynamic_pipeline_preview({}), ValueError),
    ("not_json", "GET /v1/system/info/currentUser", lambda c: c.change_password({}), ValueError),
]


@pytest.mark.parametrize(("body", "route", "call", "outcome"), BODIES)
def test_empty_and_non_json_bodies(client, engine, body, route, call, outcome):
    method, path = route.split(" ", 1)
    engine.inject_fault(method, path, **{body: True})
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            call(client)
    else:
        assert call(client) == outcome
    assert not [r for r in engine.requests if "changePassword" in r.path]


@pytest.mark.parametrize(("body", "content"), [("empty", b""), ("not_json", b"<html><body>oops</body></html>")])
def test_a_status_poll_that_is_not_json_fails_the_wait_and_is_kept(client, engine, pid, paused, body, content):
    engine.script_status(pid, ["STARTING", "FINISHED"])
    command = client.get_pipeline_status(pid)
    engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", **{body: True})
    with pytest.raises(ValueError):
        command.wait_for_status("FINISHED", timeout_sec=30)
    # The poll itself succeeded, so its answer is the one held (a wait starts from what the command holds).
    assert command.response.content == content


# -- records missing a key the client reads --------------------------------------------------------------------

Act = Callable[[velm_api.ApiClient, EngineSimulator, str, list], Any]


def _status_record(record: dict[str, Any]) -> Act:
    def act(client, engine, pid, held):
        engine.script_status(pid, ["STARTING", record])
        held.append(client.get_pipeline_status(pid))
        held[0].wait_for_status("FINISHED", timeout_sec=30)

    return act


def _metrics_record(metrics: dict[str, Any]) -> Act:
    def act(client, engine, pid, held):
        engine.script_status(pid, ["RUNNING"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/metrics", body=metrics, count=None)
        held.append(velm_api.StartPipelineCommand(client, client.get_pipeline_status(pid).response))
        held[0].wait_for_pipeline_batch_count(1, timeout_sec=5)

    return act


def _answer(route: str, body: dict[str, Any], call: Callable[[velm_api.ApiClient], Any]) -> Act:
    def act(client, engine, pid, held):
        method, path = route.split(" ", 1)
        engine.inject_fault(method, path, body=body)
        call(client)

    return act


def _snapshot_record(client, engine, pid, held):
    held.append(client.capture_snapshot(PIPELINE, pid, "label"))
    engine.inject_fault("GET", f"/v1/pipeline/{PIPELINE}/snapshot/{pid}/status", body={"id": pid})
    held[0].wait_for_finished(timeout_sec=30)


MISSING_KEYS: dict[str, tuple[Act, type]] = {
    "status": (_status_record({"status": MISSING}), KeyError),
    "name": (_status_record({"status": "RUNNING", "pipelineId": MISSING, "name": MISSING}), KeyError),
    "message": (_status_record({"status": "RUN_ERROR", "message": MISSING}), velm_api.RunError),
    "counters": (_metrics_record({"gauges": {}}), TimeoutError),
    "count": (_metrics_record({"counters": {"pipeline.batchCount.counter": {"value": 3}}}), KeyError),
    "previewerId": (
        _answer(
            f"GET /v1/pipeline/{PIPELINE}/validate", {"status": "VALIDATING"}, lambda c: c.validate_pipeline(PIPELINE)
        ),
        KeyError,
    ),
    "pipelineId": (
        _answer(
            "POST /v1/pipeline/dynamicPreview",
            {"previewerId": "p1", "status": "CREATED"},
            lambda c: c.run_dynamic_pipeline_preview({"kind": "PIPELINE"}),
        ),
        KeyError,
    ),
    "inProgress": (_snapshot_record, KeyError),
    "user": (_answer("GET /v1/system/info/currentUser", {"roles": []}, lambda c: c.change_password({})), KeyError),
}


@pytest.mark.parametrize("key", list(MISSING_KEYS))
def test_a_record_missing_a_key_raises_the_documented_exception(client, engine, pid, paused, key):
    act, expected = MISSING_KEYS[key]
    held: list = []
    with pytest.raises(expected) as raised:
        act(client, engine, pid, held)
    if expected is KeyError:
        assert raised.value.args == (key,)
    if key == "message":  # still the pipeline's failure, with no message
        assert raised.value.message is None and raised.value.response["status"] == "RUN_ERROR"
    if held and key in ("status", "name", "inProgress"):
        # The answer that lacked the key was read whole: it is the one the command holds.
        assert key not in held[0].response.json()
    assert not [r for r in engine.requests if "changePassword" in r.path]  # nothing sent after a failed read
