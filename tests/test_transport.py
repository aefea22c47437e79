"""The transport verbs _get, _post, _put and _delete over real HTTP, and path values kept to one segment."""

from __future__ import annotations

import dis
import io
import subprocess
import sys
import textwrap
from typing import Any, Callable
from unittest import mock

import pytest
import requests
from requests.adapters import HTTPAdapter

from quenlo.sdk import velm_api, velm_models
from quenlo.sdk.exceptions import (
    BadRequestError,
    ConflictError,
    EngineHTTPError,
    EngineJSONDecodeError,
    ForbiddenError,
    InternalServerError,
    NotFoundError,
    ServiceUnavailableError,
    UnauthorizedError,
)
from quenlo.sdk.transport import EngineResponse, EngineSession


@pytest.fixture
def ok(engine):
    """Every request under /v1/x and /elsewhere gets an empty 200."""
    engine.inject_fault("*", "/v1/x*", status=200, count=None)
    engine.inject_fault("*", "/elsewhere*", status=200, count=None)
    return engine


class TestUrlAndQuery:
    def test_relative_endpoint_goes_under_rest(self, client, ok):
        response = client._get("/v1/x/y")
        assert isinstance(response, requests.Response) and response.status_code == 200
        (request,) = ok.requests
        assert (request.method, request.path, request.query) == ("GET", "/rest/v1/x/y", "")
        assert response.url == client.server_url + "/rest/v1/x/y"

    @pytest.mark.parametrize("verb", ["_get", "_post"])
    def test_absolute_endpoint_is_used_exactly(self, client, ok, verb):
        getattr(client, verb)(ok.url + "/elsewhere/a?keep=1", params={"rev": 0}, absolute_endpoint=True)
        (request,) = ok.requests
        assert (request.path, request.query) == ("/elsewhere/a", "keep=1&rev=0")

    @pytest.mark.parametrize("verb", ["_put", "_delete"])
    def test_put_and_delete_have_no_absolute_form(self, client, ok, verb):
        with pytest.raises(TypeError):
            getattr(client, verb)(ok.url + "/elsewhere", absolute_endpoint=True)
        assert ok.requests == []

    @pytest.mark.parametrize(
        ("params", "query"),
        [
            (None, ""),
            ({}, ""),
            ({"rev": 0, "draft": False}, "rev=0&draft=False"),
            ({"draft": True, "rev": 3}, "draft=True&rev=3"),
            ({"a": None, "b": "x"}, "b=x"),
            ({"k": ["a", "b"], "z": 1}, "k=a&k=b&z=1"),
            ({"label": "a b/é&c"}, "label=a+b%2F%C3%A9%26c"),
        ],
    )
    def test_query_rendering(self, client, ok, params, query):
        client._get("/v1/x", params=params)
        assert ok.requests[0].query == query

    def test_server_url_path_is_kept(self, ok):
        client = velm_api.ApiClient(ok.url)
        client.server_url = ok.url + "/elsewhere"
        client._get("/v1/x")
        assert ok.last_request.path == "/elsewhere/rest/v1/x"

    def test_positional_orders_of_the_verbs(self, client, ok):
        client._get("/v1/x/get", {"a": 1}, False)
        client._post("/v1/x/post", False, {"b": 2}, {"c": 3})
        client._put("/v1/x/put", {"d": 4}, "raw", False)
        client._delete("/v1/x/delete", {"e": 5})
        sent = [(r.method, r.path, r.query, r.body) for r in ok.requests]
        assert sent == [
            ("GET", "/rest/v1/x/get", "a=1", b""),
            ("POST", "/rest/v1/x/post", "b=2", b'{"c": 3}'),
            ("PUT", "/rest/v1/x/put", "d=4", b"raw"),
            ("DELETE", "/rest/v1/x/delete", "e=5", b""),
        ]


class TestBodies:
    @pytest.mark.parametrize(
        ("data", "body"),
        [
            ({"a": 1}, b'{"a": 1}'),
            ({"b": [1, None, True], "a": "x"}, b'{"b": [1, null, true], "a": "x"}'),
            ({"name": "café ☃"}, b'{"name": "caf\\u00e9 \\u2603"}'),
            ([1, 2], b"[1, 2]"),
        ],
    )
    @pytest.mark.parametrize("verb", ["_post", "_put"])
    def test_json_text_has_the_json_module_default_form(self, client, ok, verb, data, body):
        getattr(client, verb)("/v1/x", data=data)
        (request,) = ok.requests
        assert request.body == body
        assert request.header("content-type") == "application/json"

    @pytest.mark.parametrize("data", [None, {}, [], "", 0, False])
    def test_post_sends_no_body_for_empty_data(self, client, ok, data):
        client._post("/v1/x", data=data)
        assert ok.requests[0].body == b""

    @pytest.mark.parametrize("data", [None, {}, []])
    def test_put_sends_an_empty_object_for_empty_data(self, client, ok, data):
        client._put("/v1/x", data=data)
        assert ok.requests[0].body == b"{}"

    @pytest.mark.parametrize("verb", ["_post", "_put"])
    def test_text_is_sent_unchanged_or_as_a_json_string(self, client, ok, verb):
        text = '{"x": "say \\"hi\\""}'
        getattr(client, verb)("/v1/x", data=text, is_data_format_json=False)
        getattr(client, verb)("/v1/x", data=text)
        raw, encoded = (r.body for r in ok.requests)
        assert raw == text.encode()
        assert encoded == b'"{\\"x\\": \\"say \\\\\\"hi\\\\\\"\\"}"'

    def test_pipeline_models_are_encoded_by_post_only(self, client, ok):
        pipeline = velm_models.Pipeline({"definition": {"pipelineId": "p1", "title": "T"}})
        client._post("/v1/x", data={"pipeline": pipeline})
        assert ok.requests[0].json() == {"pipeline": {"definition": {"pipelineId": "p1", "title": "T"}}}

        ok.clear_requests()
        with pytest.raises(TypeError):
            client._put("/v1/x", data={"pipeline": pipeline})
        with pytest.raises(TypeError):
            client._post("/v1/x", data={"when": object()})
        assert ok.requests == []

    def test_multipart_upload_with_content_type_removed(self, client, ok):
        upload = io.BytesIO(b"zip-bytes")
        client._post("/v1/x", files={"file": upload}, headers={"content-type": None})
        (request,) = ok.requests
        content_type = request.header("content-type")
        assert content_type.startswith("multipart/form-data; boundary=")
        boundary = content_type.split("boundary=", 1)[1]
        assert request.body.startswith(b"--" + boundary.encode())
        assert b'name="file"' in request.body and b"zip-bytes" in request.body
        assert request.header("X-Requested-By") == "velm"

    def test_per_request_headers_merge_over_the_session(self, client, ok):
        client._post("/v1/x", headers={"X-Trace": "t", "X-Requested-By": None})
        request = ok.requests[0]
        assert request.header("X-Trace") == "t"
        assert request.header("X-Requested-By") is None
        assert client.session.headers["X-Requested-By"] == "velm"


VERBS: dict[str, Callable[[Any], requests.Response]] = {
    "GET": lambda c: c._get(endpoint="/v1/x"),
    "POST": lambda c: c._post(endpoint="/v1/x", data={"a": 1}),
    "PUT": lambda c: c._put(endpoint="/v1/x", data={"a": 1}),
    "DELETE": lambda c: c._delete(endpoint="/v1/x"),
}


class TestStatusMapping:
    @pytest.mark.parametrize("method", ["GET", "POST", "PUT"])
    @pytest.mark.parametrize(
        ("status", "error"),
        [
            (500, InternalServerError),
            (400, BadRequestError),
            (401, UnauthorizedError),
            (403, ForbiddenError),
            (404, NotFoundError),
            (409, ConflictError),
            (503, ServiceUnavailableError),
            (405, EngineHTTPError),
            (502, EngineHTTPError),
        ],
    )
    def test_failure_statuses(self, client, engine, method, status, error):
        engine.inject_fault(method, "/v1/x", status=status)
        with pytest.raises(requests.HTTPError) as raised:
            VERBS[method](client)
        assert type(raised.value) is error
        assert raised.value.response.status_code == status
        assert len(engine.requests) == 1

    @pytest.mark.parametrize(
        ("status", "error"),
        [
            (400, EngineHTTPError),
            (500, EngineHTTPError),
            (401, UnauthorizedError),
            (404, NotFoundError),
            (409, ConflictError),
            (503, ServiceUnavailableError),
        ],
    )
    def test_delete_maps_neither_400_nor_500_to_their_classes(self, client, engine, status, error):
        engine.inject_fault("DELETE", "/v1/x", status=status)
        with pytest.raises(requests.HTTPError) as raised:
            VERBS["DELETE"](client)
        assert type(raised.value) is error
        assert raised.value.response.status_code == status

    @pytest.mark.parametrize("method", list(VERBS))
    @pytest.mark.parametrize("status", [200, 201, 204])
    def test_success_statuses_return_the_response(self, client, engine, method, status):
        engine.inject_fault(method, "/v1/x", status=status)
        response = VERBS[method](client)
        assert response.status_code == status
        assert response.content == b""

    def test_engine_error_message_names_the_request_without_credentials(self, client, engine):
        engine.inject_fault("GET", "/v1/x", status=400, body={"message": "bad rev"})
        host = client.server_url.split("//", 1)[1]
        with pytest.raises(BadRequestError) as raised:
            client._get(f"http://someone:s3cret@{host}/rest/v1/x", absolute_endpoint=True)
        text = str(raised.value)
        assert "400" in text and "GET" in text and "bad rev" in text and "/rest/v1/x" in text
        assert "s3cret" not in text

    def test_handle_http_error_is_honoured_when_overridden(self, engine):
        class Lenient(velm_api.ApiClient):
            def _handle_http_error(self, response):
                self.seen = response.status_code

        client = Lenient(engine.url)
        engine.inject_fault("GET", "/v1/x", status=500)
        assert client._get("/v1/x").status_code == 500
        assert client.seen == 500


class TestPathValues:
    @pytest.mark.parametrize(
        ("pipeline_id", "raw"),
        [
            ("a/b", "a%2Fb"),
            ("what?x=1", "what%3Fx=1"),
            ("tag#1", "tag%231"),
            ("../etc", "..%2Fetc"),
            ("my pipe", "my%20pipe"),
            ("café", "caf%C3%A9"),
            ("plain-id_1", "plain-id_1"),
        ],
    )
    def test_id_stays_one_segment(self, client, engine, pipeline_id, raw):
        engine.script_status(pipeline_id, ["RUNNING"])
        command = client.get_pipeline_status(pipeline_id)
        (request,) = engine.requests
        assert request.path == f"/rest/v1/pipeline/{raw}/status"
        assert request.query == "rev=0"
        assert command.response.json()["pipelineId"] == pipeline_id

    @pytest.mark.parametrize("pipeline_id", ["", ".", ".."])
    def test_values_that_cannot_be_one_segment_are_refused(self, client, engine, pipeline_id):
        with pytest.raises(ValueError):
            client.get_pipeline_status(pipeline_id)
        assert engine.requests == []

    def test_non_text_values_use_their_text_form(self, client, engine):
        engine.script_status("42", ["RUNNING"])
        client.get_pipeline_status(42)
        assert engine.requests[0].path == "/rest/v1/pipeline/42/status"


class TestFlagsGivenNone:
    """None where a flag is expected is false, as in Python."""

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


# operation, the verb it goes through, and the keywords it hands that verb
OPERATIONS = [
    (lambda c: c.get_pipeline_status("p1"), "_get", {"endpoint", "params"}),
    (lambda c: c.start_pipeline("p1"), "_post", {"endpoint", "params", "data"}),
    (lambda c: c.create_pipeline("p1"), "_put", {"endpoint", "params"}),
    (lambda c: c.delete_pipeline("p1"), "_delete", {"endpoint"}),
]
IDS = [verb for _, verb, _ in OPERATIONS]


READS = {
    "history": lambda c: c.get_pipeline_history("p1"),
    "status": lambda c: c.get_pipeline_status("p1"),
    "bundle": lambda c: c.get_bundle(),
}


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

    @pytest.mark.parametrize("patched", ["request", "send"])
    def test_a_session_method_patched_on_the_instance_sees_every_read(self, engine, client, patched):
        engine.script_status("p1", ["RUNNING"])
        stand_in = mock.Mock(wraps=getattr(client.session, patched))
        setattr(client.session, patched, stand_in)
        client.get_pipeline_status("p1")
        assert stand_in.call_count == 1 and len(engine.requests) == 1

    @pytest.mark.parametrize(
        ("operation", "params", "query"),
        [
            (lambda c: c.get_velm_info(), {}, ""),
            (lambda c: c.get_pipeline_configuration("p1"), {"rev": 0, "get": "pipeline"}, "rev=0&get=pipeline"),
            (lambda c: c._post("/v1/x"), {}, ""),
            (lambda c: c._delete("/v1/x"), {}, ""),
        ],
        ids=["get-no-query", "get-query", "post", "delete"],
    )
    def test_a_request_patched_on_the_session_is_given_the_query(self, engine, client, operation, params, query):
        engine.inject_fault("*", "/v1/*", status=200, body=b"{}", count=None)
        stand_in = mock.Mock(wraps=client.session.request)
        client.session.request = stand_in
        operation(client)
        assert stand_in.call_args.kwargs["params"] == params  # no query at all is an empty mapping
        assert engine.requests[-1].query == query

    @pytest.mark.parametrize("verify", [False, True, ""])
    def test_a_callers_session_subclass_keeps_its_class_and_request(self, engine, verify):
        seen: list[str] = []

        class Mine(EngineSession):
            def request(self, method: Any, url: Any, *args: Any, **kwargs: Any) -> requests.Response:
                seen.append(method)
                return super().request(method, url, *args, **kwargs)

        with mock.patch("quenlo.sdk.velm_api.requests.Session", Mine):
            client = velm_api.ApiClient(engine.url, session_attributes={"verify": verify})
        engine.script_status("p1", ["RUNNING"])
        client.get_pipeline_status("p1")
        assert type(client.session) is Mine and len(seen) == len(engine.requests) == 2

    @pytest.mark.parametrize(("keywords", "statuses"), [({}, [302, 200]), ({"allow_redirects": False}, [302])])
    def test_the_sessions_get_takes_requests_keywords(self, engine, client, keywords, statuses):
        engine.inject_fault("GET", "/v1/x", status=302, headers={"Location": "/rest/v1/system/info"})
        response = client.session.get(engine.url + "/rest/v1/x", **keywords)
        assert [r.status_code for r in [*response.history, response]] == statuses

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

    @pytest.mark.parametrize("read", list(READS))
    @pytest.mark.parametrize(
        ("owner", "name"), [("client", "_get"), ("client", "_handle_http_error"), ("session", "request")]
    )
    @pytest.mark.parametrize(("whose", "forwarding"), [("own", True), ("other", True), ("other", False)])
    def test_a_wrapper_or_another_ones_method_on_the_instance_is_reached(
        self, engine, client, read, owner, name, whose, forwarding
    ):
        # A wrapper that forwards its attributes (as proxies do) shows the wrapped method's __func__; a method
        # bound to another client or session has the same __func__ too. Neither is the instance's own.
        engine.script_status("p1", ["RUNNING"])
        engine.inject_fault("GET", "/v1/pipeline/p1/history", status=200, body=b"[]")
        other = velm_api.ApiClient(engine.url)
        through_other: list = []
        other.session.hooks["response"].append(lambda response, **_: through_other.append(response))
        source = client if whose == "own" else other
        method = getattr(source if owner == "client" else source.session, name)
        wrapper = _Forwarding(method) if forwarding else method
        setattr(client if owner == "client" else client.session, name, wrapper)
        READS[read](client)
        assert not forwarding or wrapper.calls == 1
        assert len(through_other) == (whose == "other" and name != "_handle_http_error")

    @pytest.mark.parametrize(
        ("operation", "method"),
        [
            (lambda c: c.get_pipeline_status("p1"), "GET"),
            (lambda c: c.get_pipeline_history("p1"), "GET"),
            (lambda c: c.start_pipeline("p1"), "POST"),
        ],
    )
    def test_a_patch_of_requests_request_receives_what_requests_get_hands_it(self, engine, client, operation, method):
        engine.inject_fault("*", "/v1/*", status=200, body=b"{}", count=None)
        plain, request = requests.Session(), requests.Session.request
        with mock.patch.object(
            requests.Session, "request", side_effect=lambda *a, **k: request(plain, *a, **k)
        ) as patched:
            operation(client)
            requests.Session().get(engine.url)
        ours, theirs = patched.call_args_list
        assert ours.args[0] == method and theirs.args[0] == "GET"


class _Forwarding:
    """Counts its calls to the method it wraps, and forwards every other attribute to it."""

    def __init__(self, wrapped: Any) -> None:
        self.wrapped, self.calls = wrapped, 0

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls += 1
        return self.wrapped(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.wrapped, name)


def _specialized_read(obj: Any) -> str:
    """What the interpreter has made of a read of ``obj.headers`` after a hundred of them."""
    namespace: dict = {}
    exec("def read(o):\n    return o.headers\n", namespace)
    for _ in range(100):
        namespace["read"](obj)
    return next(i.opname for i in dis.get_instructions(namespace["read"], adaptive=True) if i.argval == "headers")


@pytest.mark.skipif(sys.version_info < (3, 11), reason="attribute reads are specialized from 3.11 on")
@pytest.mark.parametrize("attributes", [None, {"verify": True}, {"verify": ""}])
def test_the_session_is_read_as_fast_as_requests_own(engine, attributes):
    # An assignment of __class__ (even of the same class) or a vars() moves an instance's attributes out of the
    # inline values of a fresh one into a dict: requests' reads of them on every request would then be slower.
    engine.script_status("p1", ["RUNNING"])
    client = velm_api.ApiClient(engine.url, session_attributes=attributes)
    client.get_pipeline_status("p1")
    assert _specialized_read(client.session) == _specialized_read(requests.Session())


@pytest.mark.parametrize(
    ("read", "fault", "replaced_check", "expected"),
    [
        # A JSON answer that is decoded and dropped is never made an EngineResponse (see the test above).
        ("history", {"status": 200, "body": b"[]"}, False, None),
        ("status", None, False, "response"),
        ("history", {"status": 404}, False, NotFoundError),
        ("history", {"status": 200, "not_json": True}, False, EngineJSONDecodeError),
        ("history", {"status": 200, "not_json": True}, True, EngineJSONDecodeError),
        ("status", {"status": 500}, True, "response"),
    ],
)
def test_what_reaches_the_caller_is_an_engine_response(engine, client, read, fault, replaced_check, expected):
    engine.script_status("p1", ["RUNNING"])
    if fault:
        engine.inject_fault("GET", f"/v1/pipeline/p1/{read}", **fault)
    if replaced_check:
        client._handle_http_error = mock.Mock()
    seen: list = []
    client.session.hooks["response"].append(lambda response, **_: seen.append(response))
    operation = client.get_pipeline_history if read == "history" else client.get_pipeline_status
    if isinstance(expected, type):
        with pytest.raises(expected) as raised:
            operation("p1")
        assert raised.value.response is seen[-1]
    else:
        result = operation("p1")
        assert expected is None or result.response is seen[-1]
    assert type(seen[-1]) is (requests.Response if expected is None else EngineResponse)
    if replaced_check:
        client._handle_http_error.assert_called_once_with(seen[-1])


@pytest.mark.parametrize("autospec", [False, True])
def test_a_patch_of_engine_response_json_receives_what_response_json_hands_it(engine, client, autospec):
    engine.inject_fault("GET", "/v1/pipeline/p1/history", status=200, body=b"[1]")
    with mock.patch.object(EngineResponse, "json", autospec=autospec, return_value=["patched"]) as patched:
        assert client.get_pipeline_history("p1") == ["patched"]
    args = patched.call_args.args
    assert type(args[0]) is EngineResponse if autospec else args == ()


class OwnJsonResponse(requests.Response):
    """A response of a class the caller's adapter chose, with a json of its own."""

    def json(self, **kwargs: Any) -> Any:
        return {"decoded": "by the response"}


class OwnJsonAdapter(HTTPAdapter):
    def build_response(self, req: requests.PreparedRequest, resp: Any) -> requests.Response:
        response = super().build_response(req, resp)
        response.__class__ = OwnJsonResponse
        return response


@pytest.mark.parametrize("replaced_check", [False, True])
def test_a_response_of_the_callers_class_decodes_itself(engine, client, replaced_check):
    client.create_pipeline("p1")
    engine.script_status("p1", ["RUNNING"])
    client.session.mount("http://", OwnJsonAdapter())
    if replaced_check:
        client._handle_http_error = mock.Mock()
    assert client.get_pipeline_history("p1") == {"decoded": "by the response"}
    assert type(client.get_pipeline_status("p1").response) is OwnJsonResponse


class TestPathValuesRenderAsStrWould:
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
