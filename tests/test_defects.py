"""Python's answers where the extension once gave its own: None as a false flag, exceptions that are not
exceptions, clocks and reprs that C++ could not convert, and support bundles whose declared length lies."""

from __future__ import annotations

import io
import socket
import threading
import zipfile
from typing import Any, Iterator
from unittest import mock

import pytest

from quenlo.sdk import velm_api


class TestNoneIsFalse:
    def test_get_logs_without_an_ending_offset_leaves_it_out(self, engine, client):
        client.get_logs(ending_offset=None, severity="ERROR")
        assert engine.requests[-1].query == "severity=ERROR"

    @pytest.mark.parametrize(
        ("call", "method", "path", "body"),
        [
            (lambda c: c._get("/v1/system/info", absolute_endpoint=None), "GET", "/rest/v1/system/info", b""),
            (
                lambda c: c._post("/v1/pipeline/p1/start", absolute_endpoint=None),
                "POST",
                "/rest/v1/pipeline/p1/start",
                b"",
            ),
            # Not JSON: the data goes as it is.
            (
                lambda c: c._post("/v1/pipeline/p1/rules", data="raw", is_data_format_json=None),
                "POST",
                "/rest/v1/pipeline/p1/rules",
                b"raw",
            ),
            (
                lambda c: c._put("/v1/fragment/f1", data="raw", is_data_format_json=None),
                "PUT",
                "/rest/v1/fragment/f1",
                b"raw",
            ),
        ],
        ids=["get-absolute", "post-absolute", "post-not-json", "put-not-json"],
    )
    def test_transport_flags(self, engine, client, call, method, path, body):
        engine.inject_fault("*", "/v1/*", status=200, body=b"{}")
        call(client)
        request = engine.requests[-1]
        assert (request.method, request.path, request.body) == (method, path, body)

    def test_a_wait_that_ignores_errors_given_none_raises_them(self, engine, client, clock):
        engine.script_status("p1", ["RUN_ERROR"])
        command = client.get_pipeline_status("p1")
        with pytest.raises(velm_api.RunError):
            command.wait_for_status("FINISHED", ignore_errors=None)


class Held:
    """A held status answer, so that a wait starts without a request."""

    def json(self) -> dict[str, str]:
        return {"pipelineId": "p1", "status": "RUNNING"}


class NotAnError:
    """What a careless patch puts where an exception class was."""

    def __init__(self, *args: Any) -> None:
        pass


class TestRaisingWhatIsNoException:
    @pytest.mark.parametrize("status", [400, 500])
    @pytest.mark.parametrize("stand_in", [mock.MagicMock(), NotAnError], ids=["mock", "plain-class"])
    def test_a_patched_http_error_class(self, engine, client, status, stand_in):
        name = {400: "BadRequestError", 500: "InternalServerError"}[status]
        engine.inject_fault("GET", "/v1/pipeline/p1/status", status=status)
        with mock.patch.object(velm_api, name, stand_in):
            with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
                client.get_pipeline_status("p1")

    def test_an_error_status_table_entry_that_returns_text(self, engine, client, clock):
        engine.script_status("p1", ["RUN_ERROR"])
        command = client.get_pipeline_status("p1")
        with mock.patch.dict(velm_api.PipelineCommand.ERROR_STATUSES, {"RUN_ERROR": lambda record: "failed"}):
            with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
                command.wait_for_status("FINISHED")

    def test_an_error_class_given_as_a_class_is_raised_as_python_would(self, engine, client, clock):
        # `raise error(record)` where the call returns a class: Python instantiates the class.
        engine.script_status("p1", ["RUN_ERROR"])
        command = client.get_pipeline_status("p1")
        with mock.patch.dict(velm_api.PipelineCommand.ERROR_STATUSES, {"RUN_ERROR": lambda record: KeyError}):
            with pytest.raises(KeyError):
                command.wait_for_status("FINISHED")


class TestConversions:
    @pytest.mark.parametrize(
        ("now", "error"),
        [("soon", TypeError), (None, TypeError), (10**400, OverflowError)],
        ids=["text", "None", "int-past-float"],
    )
    @pytest.mark.parametrize(
        "wait",
        [
            lambda c: velm_api.PipelineCommand(c, Held()).wait_for_status("FINISHED"),
            lambda c: velm_api.StartPipelineCommand(c, Held()).wait_for_pipeline_batch_count(1),
            lambda c: velm_api.PreviewCommand(c, None, "p1", "v1").wait_for_finished(),
            lambda c: velm_api.SnapshotCommand(c, None, "p1", "s1", None).wait_for_finished(),
        ],
        ids=["status", "counter", "preview", "snapshot"],
    )
    def test_a_clock_that_gives_no_number(self, engine, client, wait, now, error):
        # With the logger on, logging itself reads the patched clock for its record; the wait's own read is
        # what is under test.
        with mock.patch.object(velm_api.logger, "disabled", True), mock.patch("time.time", return_value=now):
            with pytest.raises(error):
                wait(client)
        assert engine.requests == []

    def test_a_path_value_whose_repr_has_no_utf8_form(self, engine, client):
        class Odd:
            def __str__(self) -> str:
                return "."

            def __repr__(self) -> str:
                return "\ud800"

        with pytest.raises(ValueError) as raised:
            client.get_pipeline_status(Odd())
        assert str(raised.value) == "not a valid path value: \ud800"
        assert engine.requests == []

    def test_an_unknown_session_attribute_whose_repr_has_no_utf8_form(self, engine):
        class Odd(str):
            def __repr__(self) -> str:
                return "\ud800"

        with pytest.raises(ValueError) as raised:
            velm_api.ApiClient(engine.url, session_attributes={Odd("verfy"): False})
        assert str(raised.value) == "unknown session attribute: \ud800"


def _archive() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("logs/engine.log", "line\n" * 1000)
    return buffer.getvalue()


ARCHIVE = _archive()


def _chunked(body: bytes) -> bytes:
    return b"".join(b"%x\r\n%s\r\n" % (len(part), part) for part in (body[:100], body[100:])) + b"0\r\n\r\n"


@pytest.fixture
def raw_engine() -> Iterator[Any]:
    """An engine on 127.0.0.1 that answers every request with the bytes it is given, headers and all: what a
    proper server would never send. Each answer is sent on its own connection, which it then closes."""

    class RawEngine:
        url = ""
        answer = b""

    listener = socket.create_server(("127.0.0.1", 0))
    RawEngine.url = "http://127.0.0.1:%d" % listener.getsockname()[1]
    stop = threading.Event()

    def serve() -> None:
        while not stop.is_set():
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += connection.recv(65536)
                if b"/system/info" in request.split(b"\r\n")[0]:
                    body = b'{"version": "5.6.0"}'
                    connection.sendall(
                        b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body)
                    )
                else:
                    connection.sendall(RawEngine.answer)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield RawEngine
    stop.set()
    listener.close()
    thread.join(5)


class TestBundleLengths:
    """The declared Content-Length only frames the body when nothing else does; it never sizes a buffer."""

    @pytest.mark.parametrize(
        "answer",
        [
            b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 10000000000000\r\n"
            b"Connection: close\r\n\r\n" + _chunked(ARCHIVE),
            b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % 10**20
            + _chunked(ARCHIVE),
            "HTTP/1.1 200 OK\r\nContent-Length: \u00b2\r\nConnection: close\r\n\r\n".encode("utf-8") + ARCHIVE,
        ],
        ids=["chunked-huge-length", "chunked-length-past-64-bits", "length-not-ascii-digits"],
    )
    def test_read_as_bare_requests_reads_it(self, raw_engine, answer):
        raw_engine.answer = answer
        client = velm_api.ApiClient(raw_engine.url)
        archive = client.get_bundle()
        assert archive.read("logs/engine.log") == b"line\n" * 1000
        assert archive.fp.getvalue() == ARCHIVE
