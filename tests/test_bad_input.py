"""Bad input: refused with a clear exception before anything is sent, or sent encoded so that each id is exactly
one path segment and each request stays one request to the resource it names.
"""

from __future__ import annotations

from typing import Any, Callable
from urllib.parse import unquote

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

Call = Callable[[velm_api.ApiClient], Any]


@pytest.fixture
def client(client: velm_api.ApiClient, engine: EngineSimulator) -> velm_api.ApiClient:
    """The shared client, with the pipeline "orders" stored; the request log starts empty."""
    engine.state.pipelines.import_pipeline("orders", sample_pipeline("Orders", "orders"))
    return client


class Unencodable:
    """Neither JSON nor one of our models."""


class Held:
    """A held answer, so that a wait can be started without a request."""

    def json(self) -> dict[str, str]:
        return {"pipelineId": "orders", "status": "RUNNING"}


circular: dict[str, Any] = {}
circular["self"] = circular


# -- refused before any request ---------------------------------------------------------------------------

REFUSED: list[tuple[str, Call, type]] = [
    # arguments
    ("missing argument", lambda c: c.get_pipeline_status(), TypeError),
    ("extra argument", lambda c: c.get_velm_info("orders"), TypeError),
    ("one too many", lambda c: c.get_pipeline_status("orders", 0, None, "extra"), TypeError),
    ("unknown keyword", lambda c: c.get_pipeline_status("orders", revision=1), TypeError),
    ("keyword twice", lambda c: c.get_pipeline_status("orders", pipeline_id="orders"), TypeError),
    # path values
    ("None id", lambda c: c.get_pipeline_status(None), TypeError),
    ("None second id", lambda c: c.get_snapshot_status("orders", None), TypeError),
    ("None as a delete", lambda c: c.delete_pipeline(None), TypeError),
    ("empty id", lambda c: c.get_pipeline_configuration(""), ValueError),
    ("dot", lambda c: c.delete_pipeline("."), ValueError),
    ("dot dot", lambda c: c.export_pipeline(".."), ValueError),
    ("dot dot name", lambda c: c.delete_snapshot("orders", ".."), ValueError),
    ("dot previewer", lambda c: c.get_preview_status("orders", "."), ValueError),
    ("no UTF-8 form", lambda c: c.get_pipeline_status("bad\ud800id"), UnicodeEncodeError),
    # bodies JSON cannot encode
    ("object in a POST body", lambda c: c.start_pipeline("orders", runtime_parameters={"x": Unencodable()}), TypeError),
    ("set in a POST body", lambda c: c.update_pipeline_rules("orders", {"rules": {1, 2}}), TypeError),
    ("bytes in a POST body", lambda c: c.set_pipeline_acl("orders", {"acl": b"raw"}), TypeError),
    ("tuple keys", lambda c: c.update_pipeline("orders", {(1, 2): "x"}), TypeError),
    ("circular body", lambda c: c.import_pipeline("orders", circular), ValueError),
    ("object in a PUT body", lambda c: c._put("/v1/pipeline/x", data={"x": Unencodable()}), TypeError),
    # generator names
    ("number as generator", lambda c: c.get_bundle([1, "Logs"]), TypeError),
    ("None as generator", lambda c: c.get_bundle([None]), TypeError),
    ("bytes as generator", lambda c: c.get_bundle([b"Logs"]), TypeError),
    # waits: the time-out and the target are checked before the first poll
    (
        "text time-out",
        lambda c: velm_api.SnapshotCommand(c, None, "orders", "s", "l").wait_for_finished("soon"),
        TypeError,
    ),
    ("None time-out", lambda c: velm_api.PreviewCommand(c, None, "orders", "p").wait_for_finished(None), TypeError),
    ("text target", lambda c: velm_api.StartPipelineCommand(c, Held()).wait_for_pipeline_batch_count("5"), TypeError),
    ("None target", lambda c: velm_api.StartPipelineCommand(c, Held()).wait_for_counters_metric("m", None), TypeError),
]


@pytest.mark.parametrize(("call", "error"), [case[1:] for case in REFUSED], ids=[case[0] for case in REFUSED])
def test_refused_before_any_request(client, engine, call, error):
    with pytest.raises(error) as raised:
        call(client)
    assert engine.requests == []
    assert type(raised.value) is not RuntimeError and str(raised.value)


def test_a_password_change_with_an_unencodable_body_sends_no_post(client, engine):
    with pytest.raises(TypeError):
        client.change_password({"newPassword": Unencodable()})
    assert [r.method for r in engine.requests] == ["GET"]  # the current user is read, nothing is posted


# -- sent encoded: one request, one segment, the id it names -----------------------------------------------

AWKWARD_IDS = [
    "a/b",
    "../../system/info",
    "what?x=1",
    "tag#frag",
    "a%2Fb",
    "%41%42",
    "100%",
    "line\r\nX-Injected: yes",
    "lf\nonly",
    "tab\tand space",
    " ",
    "...",
    ".hidden",
    "a/./b",
    "//evil.example.com/x",
    "http://evil.example.com/",
    "naïve ☃ 😀",
    "semi;colon=1",
    "back\\slash",
    "[brackets]",
    "nul\x00byte",
    "plus+sign",
]


def decoded_segments(path: str) -> list[str]:
    return [unquote(segment, errors="strict") for segment in path.split("/")]


@pytest.mark.parametrize("pipeline_id", AWKWARD_IDS)
def test_awkward_ids_stay_one_segment_of_one_request(client, engine, pipeline_id):
    engine.script_status(pipeline_id, ["RUNNING"])
    command = client.get_pipeline_status(pipeline_id)
    (request,) = engine.requests
    assert decoded_segments(request.path) == ["", "rest", "v1", "pipeline", pipeline_id, "status"]
    assert request.query == "rev=0"
    assert request.header("X-Injected") is None
    assert command.response.json()["pipelineId"] == pipeline_id  # the engine addressed that very pipeline


@pytest.mark.parametrize(
    ("call", "template"),
    [
        (lambda c, a, b: c.get_snapshot_status(a, b), "pipeline/{}/snapshot/{}/status"),
        (lambda c, a, b: c.get_preview_data(a, b), "pipeline/{}/preview/{}"),
        (lambda c, a, b: c.delete_snapshot(a, b), "pipeline/{}/snapshot/{}"),
        (lambda c, a, b: c.get_pipeline_permissions(a), "acl/{}/permissions"),
        (lambda c, a, b: c.create_fragment(a), "fragment/{}"),
    ],
)
def test_two_awkward_ids_in_one_path(client, engine, call, template):
    first, second = "x/../y?z#w", "%2e%2E/%00"
    try:
        call(client, first, second)
    except requests.HTTPError:
        pass  # unknown to the engine; what matters is the request it got
    (request,) = engine.requests
    values = iter([first, second])
    expected = ["", "rest", "v1", *(next(values) if part == "{}" else part for part in template.split("/"))]
    assert decoded_segments(request.path) == expected


@pytest.mark.parametrize(
    ("call", "query"),
    [
        (
            lambda c: c.get_logs(extra_message="a&b=c#d\r\ne"),
            [("endingOffset", "-1"), ("extraMessage", "a&b=c#d\r\ne")],
        ),
        (lambda c: c.get_pipeline_status("orders", rev="0&evil=1"), [("rev", "0&evil=1")]),
        (lambda c: c.get_bundle(["Logs", "Pipelines"]), [("generators", "Logs,Pipelines")]),
    ],
)
def test_awkward_query_values_stay_one_value(client, engine, call, query):
    try:
        call(client)
    except requests.HTTPError:
        pass
    (request,) = engine.requests
    assert request.args == query


# -- any text id names exactly one resource --------------------------------------------------------------------

ids = st.text(min_size=1).filter(lambda text: text not in (".", ".."))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pipeline_id=ids)
def test_any_text_id_names_exactly_one_resource(client, engine, pipeline_id):
    engine.clear_requests()
    engine.script_status(pipeline_id, ["RUNNING"])
    command = client.get_pipeline_status(pipeline_id)
    requests_made = engine.requests
    assert len(requests_made) == 1
    assert decoded_segments(requests_made[0].path) == ["", "rest", "v1", "pipeline", pipeline_id, "status"]
    assert command.response.json()["pipelineId"] == pipeline_id


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pipeline_id=ids, snapshot_name=ids)
def test_any_two_text_ids_name_their_two_segments(client, engine, pipeline_id, snapshot_name):
    engine.clear_requests()
    with pytest.raises(requests.HTTPError):  # no such snapshot: the engine still says which one it looked for
        client.get_snapshot_status(pipeline_id, snapshot_name)
    (request,) = engine.requests
    assert decoded_segments(request.path) == [
        "",
        "rest",
        "v1",
        "pipeline",
        pipeline_id,
        "snapshot",
        snapshot_name,
        "status",
    ]


class TestReprWithoutUtf8:
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
