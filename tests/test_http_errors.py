"""The engine's failure answers as EngineHTTPError and its classes, over real HTTP: the engine's own message,
the request they name, and what still catches them."""

from __future__ import annotations

import pickle
from collections.abc import Iterator

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import (
    EngineHTTPError,
    ForbiddenError,
    NotFoundError,
    UnauthorizedError,
)
from quenlo.sdk.simulator import EngineSimulator


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

    def test_attributes_survive_pickling_with_credentials_redacted(self, engine):
        client = velm_api.ApiClient(engine.url.replace("://", "://me:s3cret@"))
        with pytest.raises(NotFoundError) as raised:
            client.get_pipeline_configuration("nope")
        clone = pickle.loads(pickle.dumps(raised.value))
        assert type(clone) is NotFoundError
        assert (clone.status_code, clone.method, clone.engine_message) == (404, "GET", "Pipeline 'nope' does not exist")
        assert clone.url.startswith("http://***@127.0.0.1") and "s3cret" not in str(clone)
        assert str(clone) == str(raised.value)
