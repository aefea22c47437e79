"""The engine's failure answers as EngineHTTPError and its classes, over real HTTP: the engine's own message,
the request they name, and what still catches them."""

from __future__ import annotations

import json
import pickle
import sys
from collections.abc import Iterator
from typing import Any
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api
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
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline


@pytest.fixture
def secured_engine() -> Iterator[EngineSimulator]:
    with EngineSimulator(users={"alice": "a-pw", "bob": "b-pw"}) as simulator:
        yield simulator


class TestEngineAnswers:
    def test_unknown_pipeline_keeps_the_engine_message(self, client, engine):
        with pytest.raises(NotFoundError) as raised:
            client.get_pipeline_configuration("nope")
        error = raised.value
        assert error.engine_message == "Pipeline 'nope' does not exist"
        assert (error.status_code, error.method) == (404, "GET")
        assert error.url == f"{engine.url}/rest/v1/pipeline/nope?rev=0&get=pipeline"
        assert str(error) == f"404 NOT FOUND for GET {error.url}: Pipeline 'nope' does not exist"

    def test_bad_credentials_and_a_forbidden_change(self, secured_engine):
        client = velm_api.ApiClient(secured_engine.url, "form", "alice", "a-pw")
        with pytest.raises(ForbiddenError) as forbidden:
            client._post(endpoint="/v1/usermanagement/users/bob/changePassword", data={"newPassword": "x"})
        assert forbidden.value.engine_message == "User 'alice' cannot change the password of 'bob'"
        client.set_user("alice", "wrong")
        with pytest.raises(UnauthorizedError) as unauthorized:
            client.get_velm_info()
        assert unauthorized.value.engine_message == "Authentication required"
        assert "Authentication required" in str(unauthorized.value)


class TestEngineMessage:
    @pytest.mark.parametrize(
        ("body", "message"),
        [
            ({"message": "top level"}, "top level"),
            ({"error": {"message": "nested", "code": "X_1"}}, "nested"),
            ({"error": {"detail": {"message": "two down"}}}, "two down"),
            ({"message": 42, "inner": {"message": "the string one"}}, "the string one"),
            ({"code": 7}, None),
            (["message"], None),
            ("plain text from a proxy", None),
            (b"{not json", None),
            (b"", None),
            (b'\r\n\t {"message": "after white space"}', "after white space"),
            # Too deep to read: the HTTP error is still raised, with the start of the body.
            (b'{"message": "deep", "a": ' + b"[" * 100_000 + b"]" * 100_000 + b"}", None),
        ],
        ids=lambda value: repr(value)[:40],
    )
    def test_is_found_in_json_error_bodies_only(self, client, engine, body, message):
        engine.inject_fault("GET", "/v1/x", status=409, body=body)
        with pytest.raises(EngineHTTPError) as raised:
            client._get("/v1/x")
        assert raised.value.engine_message == message
        if message is not None:
            assert str(raised.value).endswith(f": {message}")


class TestCatching:
    @pytest.mark.parametrize("status", [400, 401, 403, 404, 409, 418, 500, 502, 503, 599])
    def test_every_failure_status_is_still_an_http_error(self, client, engine, status):
        engine.inject_fault("GET", "/v1/x", status=status)
        with pytest.raises(requests.HTTPError) as raised:
            client._get("/v1/x")
        assert isinstance(raised.value, EngineHTTPError)
        assert raised.value.response.status_code == status

    @pytest.mark.parametrize("status", [200, 204, 302, 399])
    def test_other_statuses_raise_nothing(self, client, engine, status):
        engine.inject_fault("GET", "/v1/x", status=status, empty=True)
        assert client._get("/v1/x").status_code == status

    def test_the_status_is_an_int_even_without_a_response(self):
        statuses = {EngineHTTPError: 0, BadRequestError: 400, UnauthorizedError: 401, ForbiddenError: 403}
        statuses.update(
            {NotFoundError: 404, ConflictError: 409, InternalServerError: 500, ServiceUnavailableError: 503}
        )
        for cls, status in statuses.items():
            for error in (cls(), pickle.loads(pickle.dumps(cls("rebuilt from its message")))):
                assert type(error.status_code) is int and error.status_code == status, cls

    def test_attributes_survive_pickling_with_credentials_redacted(self, engine):
        client = velm_api.ApiClient(engine.url.replace("://", "://me:s3cret@"))
        with pytest.raises(NotFoundError) as raised:
            client.get_pipeline_configuration("nope")
        clone = pickle.loads(pickle.dumps(raised.value))
        assert type(clone) is NotFoundError
        assert (clone.status_code, clone.method, clone.engine_message) == (404, "GET", "Pipeline 'nope' does not exist")
        assert clone.url.startswith("http://***@127.0.0.1") and "s3cret" not in str(clone)
        assert str(clone) == str(raised.value)


class TestBodiesThatAreNotJson:
    @pytest.mark.parametrize(
        ("call", "method", "path"),
        [
            (lambda c: c.get_pipeline_configuration("p"), "GET", "/v1/pipeline/p?rev=0&get=pipeline"),
            (lambda c: c.validate_pipeline("p"), "GET", "/v1/pipeline/p/validate?rev=0&timeout=2000"),
            (lambda c: c.start_pipeline("p").wait_for_finished(timeout_sec=5), "GET", "/v1/pipeline/p/status?rev=0"),
        ],
    )
    def test_the_error_names_the_request_without_its_credentials(self, engine, call, method, path):
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        client = velm_api.ApiClient(engine.url.replace("://", "://me:s3cret@"))
        engine.inject_fault(method, path.split("?")[0], status=200, not_json=True)
        with pytest.raises(requests.JSONDecodeError) as raised:
            call(client)
        url = f"http://***@127.0.0.1:{engine.port}/rest{path}"
        assert str(raised.value) == (
            f"The answer to {method} {url} (200 OK, body '<html><body>oops</body></html>') is not JSON: "
            "Expecting value: line 1 column 1 (char 0)"
        )
        assert (raised.value.method, raised.value.url, raised.value.response.status_code) == (method, url, 200)
        clone = pickle.loads(pickle.dumps(raised.value))
        assert (type(clone), str(clone), clone.url) == (EngineJSONDecodeError, str(raised.value), url)

    def test_json_nested_too_deeply_is_refused_the_same_way(self, client, engine):
        engine.inject_fault("GET", "/v1/x", status=200, body="[" * 100_000 + "]" * 100_000)
        with pytest.raises(EngineJSONDecodeError, match=r"^The answer to GET .*/rest/v1/x .* nested too deeply"):
            client._get("/v1/x").json()


CAFE = '{"s": "café ☃"}'


class TestJsonIsReadInItsCharset:
    @pytest.mark.parametrize(
        ("body", "content_type"),
        [
            (CAFE.encode(), "application/json"),
            (CAFE.encode("utf-16"), "application/json; charset=utf-16"),
            (CAFE.encode("utf-16-be"), 'application/json; Charset="UTF-16BE"'),
            (b'{"s": "caf\xe9 \\u2603"}', "application/json; charset=windows-1252"),
            # requests takes text/* without a charset as ISO-8859-1, and reads "cafÃ©"
            (CAFE.encode(), "text/html"),
            (CAFE.encode(), "text/plain; format=flowed"),
            (b"\xef\xbb\xbf" + CAFE.encode(), "application/json"),  # a byte order mark is skipped
            (CAFE.encode(), "application/json; charset=no-such-charset"),  # unknown: UTF-8
            (CAFE.encode(), "application/json; charset=base64"),  # a codec, but not of text: UTF-8
            (CAFE.encode(), "application/json; charset=idna"),
        ],
        ids=lambda value: value if isinstance(value, str) else None,
    )
    def test_declared_charset_else_utf_8(self, client, engine, body, content_type):
        engine.inject_fault("GET", "/v1/system/info", status=200, body=body, headers={"Content-Type": content_type})
        assert client.get_velm_info() == json.loads(CAFE)

    @pytest.mark.parametrize("charset", ["latin-1", "utf-16", "utf-32"])
    def test_an_error_body_is_read_in_its_charset_too(self, client, engine, charset):
        body = '{"message": "déjà là"}'.encode(charset)
        engine.inject_fault(
            "GET", "/v1/x", status=409, body=body, headers={"Content-Type": f"application/json; charset={charset}"}
        )
        with pytest.raises(EngineHTTPError) as raised:
            client._get("/v1/x")
        assert raised.value.engine_message == "déjà là"

    @pytest.mark.parametrize(
        ("body", "complaint", "position"),
        [
            ('{"s": "café"}'.encode("latin-1"), "'utf-8' codec can't decode byte 0xe9", 10),
            (CAFE.encode("utf-16"), "'utf-8' codec can't decode byte 0xff", 0),  # UTF-16 undeclared is not guessed
            (b'{"n": ' + b"7" * 5000 + b"}", "limit (4300", 0),
        ],
        ids=["latin-1 undeclared", "utf-16 undeclared", "5000 digits"],
    )
    def test_a_body_that_does_not_decode_names_the_request(self, engine, body, complaint, position):
        if complaint == "limit (4300" and not hasattr(sys, "get_int_max_str_digits"):
            pytest.skip("this Python converts numbers of any length")
        client = velm_api.ApiClient(engine.url.replace("://", "://me:s3cret@"))
        engine.inject_fault("GET", "/v1/system/info", status=200, body=body)
        with pytest.raises(EngineJSONDecodeError) as raised:
            client.get_velm_info()
        message = str(raised.value)
        url = f"http://***@127.0.0.1:{engine.port}/rest/v1/system/info"
        assert message.startswith(f"The answer to GET {url} (200 OK, body ") and complaint in message
        assert "body '')" not in message  # the start of the body is quoted, what does not decode replaced
        assert (raised.value.method, raised.value.url) == ("GET", url) and "s3cret" not in message
        assert isinstance(raised.value, requests.JSONDecodeError) and raised.value.__context__ is None
        assert raised.value.pos == position and f"(char {position})" in message  # where the bad byte is


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
