"""The lean call path keeps every seam: replaced verbs are reached, path values render as Python would,
and support bundles are streamed into one buffer without changing the request."""

from __future__ import annotations

import io
import subprocess
import sys
import textwrap
import tracemalloc
import zipfile
from typing import Any
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError, InternalServerError
from quenlo.sdk.utils import get_params, join_url_parts

# operation, the verb it goes through, and the keywords it hands that verb
OPERATIONS = [
    (lambda c: c.get_pipeline_status("p1"), "_get", {"endpoint", "params"}),
    (lambda c: c.start_pipeline("p1"), "_post", {"endpoint", "params", "data"}),
    (lambda c: c.create_pipeline("p1"), "_put", {"endpoint", "params"}),
    (lambda c: c.delete_pipeline("p1"), "_delete", {"endpoint"}),
]
IDS = [verb for _, verb, _ in OPERATIONS]


def _archive(size: int) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as zf:
        zf.writestr("logs/big.log", bytes(range(256)) * (size // 256))
    return buffer.getvalue()


class TestReplacedVerbsAreReached:
    @pytest.mark.parametrize(("operation", "verb", "keywords"), OPERATIONS, ids=IDS)
    def test_on_the_instance(self, engine, client, operation, verb, keywords):
        engine.inject_fault("*", "/v1/*", status=200, body=b"{}", count=None)
        stand_in = mock.Mock(wraps=getattr(client, verb))
        setattr(client, verb, stand_in)
        operation(client)
        ((), called) = stand_in.call_args
        assert set(called) == keywords
        assert len(engine.requests) == 1

    @pytest.mark.parametrize(("operation", "verb", "keywords"), OPERATIONS, ids=IDS)
    def test_in_a_subclass(self, engine, operation, verb, keywords):
        seen: list[dict[str, Any]] = []

        class Recording(velm_api.ApiClient):
            pass

        def recorded(self: Any, **kwargs: Any) -> Any:
            seen.append(kwargs)
            return getattr(velm_api.ApiClient, verb)(self, **kwargs)

        setattr(Recording, verb, recorded)
        client = Recording(engine.url)
        engine.inject_fault("*", "/v1/*", status=200, body=b"{}", count=None)
        operation(client)
        assert set(seen[-1]) == keywords

    @pytest.mark.parametrize("status", [400, 500])
    def test_status_check_on_the_instance(self, engine, client, status):
        engine.inject_fault("GET", "/v1/pipeline/p1/status", status=status)
        client._handle_http_error = mock.Mock()
        command = client.get_pipeline_status("p1")
        client._handle_http_error.assert_called_once_with(command.response)
        assert command.response.status_code == status

    def test_a_patch_on_the_class_is_reached(self, engine):
        # Patching the class changes it for the whole process, so this runs in a process of its own.
        script = textwrap.dedent(
            f"""
            from unittest import mock
            from quenlo.sdk import velm_api
            client = velm_api.ApiClient({engine.url!r})
            client.get_pipeline_status("p1")
            original, calls = velm_api.ApiClient._get, []
            def recording(self, **keywords):
                calls.append(sorted(keywords))
                return original(self, **keywords)
            with mock.patch.object(velm_api.ApiClient, "_get", recording):
                client.get_pipeline_status("p1")
            print(calls)
            with mock.patch.object(velm_api.ApiClient, "_handle_http_error") as check:
                client.get_pipeline_status("p1")
            print(check.call_count)
            client.get_pipeline_status("p1")
            """
        )
        engine.script_status("p1", ["RUNNING"])
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split("\n")[:2] == ["[['endpoint', 'params']]", "1"]
        assert [r.path for r in engine.requests].count("/rest/v1/pipeline/p1/status") == 4


class TestPathValues:
    @pytest.mark.parametrize(
        ("api_version", "segment"),
        [(1, "v1"), (-3, "v-3"), (2**70, f"v{2**70}"), (True, "vTrue"), ("2", "v2"), (2.5, "v2.5")],
    )
    def test_api_version_renders_as_str_would(self, engine, client, api_version, segment):
        engine.inject_fault("GET", "*", status=200, body=b"{}")
        client.api_version = api_version
        client.get_velm_directories()
        assert engine.requests[-1].path == f"/rest/{segment}/system/directories"

    def test_a_str_subclass_renders_through_str(self, engine, client):
        class Shown(str):
            def __str__(self) -> str:
                return "shown"

        engine.script_status("shown", ["RUNNING"])
        client.get_pipeline_status(Shown("hidden"))
        assert engine.requests[-1].path == "/rest/v1/pipeline/shown/status"

    def test_a_long_path_value_is_kept_whole(self, engine, client):
        pipeline_id = "p" * 600 + "/x"
        engine.script_status(pipeline_id, ["RUNNING"])
        client.get_pipeline_status(pipeline_id)
        assert engine.requests[-1].path == "/rest/v1/pipeline/" + "p" * 600 + "%2Fx/status"


class _DeclaredLengthAdapter(requests.adapters.BaseAdapter):
    """Answers every request with ``body`` under a Content-Length of ``declared``, whatever the truth."""

    def __init__(self, body: bytes, declared: int) -> None:
        super().__init__()
        self.body, self.declared = body, declared

    def send(self, request: Any, **kwargs: Any) -> requests.Response:
        response = requests.Response()
        response.status_code = 200
        response.headers["Content-Length"] = str(self.declared)
        response.raw = io.BytesIO(self.body)
        response.request, response.url = request, request.url
        return response

    def close(self) -> None:
        pass


class TestBundleStreaming:
    @pytest.mark.parametrize("declared", [-100, 0, 100], ids=["shorter", "exact", "longer"])
    def test_a_declared_length_that_is_wrong_loses_nothing(self, client, declared):
        # The engine's Content-Length only sizes the buffer: the archive is whatever arrived.
        body = _archive(64 << 10)
        client.session.mount(client.server_url, _DeclaredLengthAdapter(body, len(body) + declared))
        archive = client.get_bundle()
        assert archive.read("logs/big.log") == bytes(range(256)) * (64 << 10 >> 8)
        assert archive.fp.getvalue() == body

    def test_the_archive_is_held_once(self):
        # The engine serves the archive from a process of its own, so the tracer counts the client's allocations
        # alone: the simulator's server thread would add copies of the body at moments that vary from run to run.
        size = 24 << 20
        body = _archive(size)
        serve = f"""if True:
            import io, sys, zipfile
            from quenlo.sdk.simulator import EngineSimulator
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as zf:
                zf.writestr("logs/big.log", bytes(range(256)) * ({size} // 256))
            with EngineSimulator() as engine:
                engine.inject_fault("GET", "/v1/system/bundle/generate", status=200, body=buffer.getvalue())
                print(engine.url, flush=True)
                sys.stdin.read()
            """
        with subprocess.Popen([sys.executable, "-c", serve], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as server:
            assert server.stdin and server.stdout
            try:
                client = velm_api.ApiClient(server.stdout.readline().decode().strip())
                tracemalloc.start()
                try:
                    archive = client.get_bundle()
                    peak = tracemalloc.get_traced_memory()[1]
                finally:
                    tracemalloc.stop()
            finally:
                server.stdin.close()
        assert archive.read("logs/big.log") == bytes(range(256)) * (size // 256)
        # requests joins its chunks into `content`, holding the body twice for a moment.
        assert peak < 1.5 * len(body)

    @pytest.mark.parametrize(
        ("status", "error"), [(400, BadRequestError), (500, InternalServerError), (404, requests.HTTPError)]
    )
    def test_a_failure_keeps_the_engine_text_and_the_connection(self, engine, client, status, error):
        engine.inject_fault("GET", "/v1/system/bundle/generate", status=status, body=b'{"message": "no"}')
        with pytest.raises(error) as caught:
            client.get_bundle()
        assert caught.value.response.content == b'{"message": "no"}'
        assert client.get_bundle().namelist()  # the session still works

    def test_a_replaced_get_gets_the_plain_call(self, engine, client):
        client._get = mock.Mock(wraps=client._get)
        assert client.get_bundle(["logs"]).namelist()
        client._get.assert_called_once_with(endpoint="/v1/system/bundle/generate", params={"generators": "logs"})

    def test_a_session_of_another_kind_gets_the_plain_call(self, engine, client):
        body = _archive(1024)
        response = mock.Mock(status_code=200, content=body)
        client.session = mock.Mock(spec=["get"])
        client.session.get.return_value = response
        assert client.get_bundle().read("logs/big.log") == bytes(range(256)) * 4
        client.session.get.assert_called_once_with(
            engine.url + "/rest/v1/system/bundle/generate", params={"generators": ""}
        )


class TestCheaperCompanions:
    """get_params and join_url_parts run on every call; their shortcuts must not change what they return."""

    @pytest.mark.parametrize(
        "exclusions", ["rev", ("rev",), ["rev"], {"rev"}, frozenset({"rev"}), (name for name in ["rev"])]
    )
    def test_exclusions_of_any_iterable_kind(self, exclusions):
        assert get_params(parameters={"rev": 0, "only_if_exists": True}, exclusions=exclusions) == {
            "onlyIfExists": True
        }

    def test_names_past_the_cache_are_still_spelled(self):
        names = {f"name_{index}_x": index for index in range(3000)}
        assert get_params(parameters=names) == {f"name{index}X": index for index in range(3000)}

    @pytest.mark.parametrize(
        ("value", "sent"),
        [(True, True), (0, 0), (1.5, 1.5), ("", ""), (b"b", b"b"), ((1,), (1,)), ([], [])],
    )
    def test_plain_values_travel_as_they_are(self, value, sent):
        assert get_params(parameters={"v": value})["v"] == sent

    def test_a_value_with_an_id_travels_as_the_id_unless_it_is_plain(self):
        class WithId:
            id = "i1"

        class TextWithId(str):
            id = "not this"

        assert get_params(parameters={"a": WithId(), "b": TextWithId("kept")}) == {"a": "i1", "b": "kept"}

    def test_parts_that_are_not_plain_text_go_through_str(self):
        class Shown(str):
            def __str__(self) -> str:
                return "http://shown/"

        assert join_url_parts(Shown("http://hidden"), "/rest", 7, "") == "http://shown/rest/7"
