"""Pipeline operations: what each puts on the wire, what it returns, and the engine's store behind them."""

from __future__ import annotations

import io
import json
import re
import zipfile
from typing import Any, Callable, NamedTuple
from unittest import mock
from urllib.parse import unquote

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError, NotFoundError
from quenlo.sdk.simulator import sample_pipeline
from quenlo.sdk.simulator.routes import Router

ANSWER = {"pipelineId": "p", "status": "RUNNING", "answer": 42}
DEFINITION = {"title": "T", "stages": []}
JSON = json.dumps(DEFINITION).encode()


class Op(NamedTuple):
    """One operation call and what it must produce."""

    call: Callable[[Any], Any]
    verb: str  # transport method called, with exactly these keyword names
    keywords: tuple[str, ...]
    path: str  # raw, under /rest/v1
    query: str  # raw
    body: bytes
    returns: Any  # dict/list: decoded body with that empty value; else the command class


C = velm_api.Command
EP = ("endpoint", "params")
EPD = ("endpoint", "params", "data")


STORE = {
    "create_pipeline": Op(
        lambda c: c.create_pipeline("new one"),
        "_put",
        EP,
        "/pipeline/new%20one",
        "pipelineType=HARVEL",
        b"{}",
        C,
    ),
    "create_pipeline-all": Op(
        lambda c: c.create_pipeline("t", "d", True, False, "FRAG"),
        "_put",
        EP,
        "/pipeline/t",
        "description=d&autoGeneratePipelineId=True&draft=False&pipelineType=FRAG",
        b"{}",
        C,
    ),
    "update_pipeline": Op(
        lambda c: c.update_pipeline("p", DEFINITION, 2, "d"),
        "_post",
        EPD,
        "/pipeline/p",
        "rev=2&description=d",
        JSON,
        C,
    ),
    "delete_pipeline": Op(lambda c: c.delete_pipeline("p"), "_delete", ("endpoint",), "/pipeline/p", "", b"", C),
    "get_pipeline_configuration": Op(
        lambda c: c.get_pipeline_configuration("p"),
        "_get",
        EP,
        "/pipeline/p",
        "rev=0&get=pipeline",
        b"",
        dict,
    ),
    "get_pipeline_configuration-none": Op(
        lambda c: c.get_pipeline_configuration("p", None, None),
        "_get",
        EP,
        "/pipeline/p",
        "",
        b"",
        dict,
    ),
    "update_pipeline_configuration": Op(
        lambda c: c.update_pipeline_configuration("p", DEFINITION),
        "_post",
        EPD,
        "/pipeline/p",
        "rev=0",
        JSON,
        dict,
    ),
    "update_pipeline_configuration-description": Op(
        lambda c: c.update_pipeline_configuration("p", DEFINITION, 4, "d"),
        "_post",
        EPD,
        "/pipeline/p",
        "rev=4&description=d",
        JSON,
        dict,
    ),
    "get_all_pipeline_configuration_info": Op(
        lambda c: c.get_all_pipeline_configuration_info(),
        "_get",
        EP,
        "/pipelines",
        "len=-1&orderBy=NAME&order=ASC",
        b"",
        C,
    ),
    "get_all_pipeline_configuration_info-all": Op(
        lambda c: c.get_all_pipeline_configuration_info("x", "l", 1, 2, "TITLE", "DESC", True),
        "_get",
        EP,
        "/pipelines",
        "filterText=x&label=l&offset=1&len=2&orderBy=TITLE&order=DESC&includeStatus=True",
        b"",
        C,
    ),
}

IMPORT_EXPORT = {
    "export_pipeline": Op(
        lambda c: c.export_pipeline("p"),
        "_get",
        EP,
        "/pipeline/p/export",
        "rev=0&attachment=False&includeLibraryDefinitions=False&includePlainTextCredentials=True",
        b"",
        dict,
    ),
    "export_pipelines": Op(
        lambda c: c.export_pipelines(["p", "q"]),
        "_post",
        EPD,
        "/pipelines/export",
        "includeLibraryDefinitions=False&includePlainTextCredentials=True",
        b'["p", "q"]',
        C,
    ),
    "import_pipeline": Op(
        lambda c: c.import_pipeline("p", DEFINITION),
        "_post",
        EPD,
        "/pipeline/p/import",
        "rev=0&overwrite=False&draft=False",
        JSON,
        dict,
    ),
    "create_fragment": Op(
        lambda c: c.create_fragment("f"), "_put", EPD + ("is_data_format_json",), "/fragment/f", "", b"", C
    ),
    "create_fragment-body": Op(
        lambda c: c.create_fragment("f", "d", True, "EDGE", '{"stages": []}'),
        "_put",
        EPD + ("is_data_format_json",),
        "/fragment/f",
        "description=d&draft=True&executionMode=EDGE",
        b'{"stages": []}',
        C,
    ),
    "import_fragment": Op(
        lambda c: c.import_fragment("f", DEFINITION),
        "_post",
        EPD,
        "/fragment/f/import",
        "draft=False",
        JSON,
        dict,
    ),
}

RUN_CONTROL = {
    "start_pipeline": Op(
        lambda c: c.start_pipeline("p"),
        "_post",
        EPD,
        "/pipeline/p/start",
        "rev=0",
        b"",
        velm_api.StartPipelineCommand,
    ),
    "start_pipeline-parameters": Op(
        lambda c: c.start_pipeline("p", 3, {"limit": 1}),
        "_post",
        EPD,
        "/pipeline/p/start",
        "rev=3",
        b'{"limit": 1}',
        velm_api.StartPipelineCommand,
    ),
    "stop_pipeline": Op(
        lambda c: c.stop_pipeline("p", 2),
        "_post",
        EP,
        "/pipeline/p/stop",
        "rev=2",
        b"",
        velm_api.StopPipelineCommand,
    ),
    "force_stop_pipeline": Op(
        lambda c: c.force_stop_pipeline("p", 2),
        "_post",
        EP,
        "/pipeline/p/forceStop",
        "rev=2",
        b"",
        velm_api.StopPipelineCommand,
    ),
    "reset_origin_offset": Op(
        lambda c: c.reset_origin_offset("p"),
        "_post",
        EP,
        "/pipeline/p/resetOffset",
        "rev=0",
        b"",
        C,
    ),
    "get_pipeline_committed_offsets": Op(
        lambda c: c.get_pipeline_committed_offsets("p", 5),
        "_get",
        ("endpoint",),
        "/pipeline/p/committedOffsets",
        "",
        b"",
        C,
    ),
    "update_pipeline_committed_offsets": Op(
        lambda c: c.update_pipeline_committed_offsets("p", body={"offsets": {"o": "1"}}),
        "_post",
        EPD,
        "/pipeline/p/committedOffsets",
        "rev=0",
        b'{"offsets": {"o": "1"}}',
        C,
    ),
    "update_pipeline_committed_offsets-no-body": Op(
        lambda c: c.update_pipeline_committed_offsets("p", 1),
        "_post",
        EPD,
        "/pipeline/p/committedOffsets",
        "rev=1",
        b"",
        C,
    ),
}

MONITORING = {
    "get_pipeline_metrics": Op(
        lambda c: c.get_pipeline_metrics("p"), "_get", EP, "/pipeline/p/metrics", "rev=0", b"", C
    ),
    "get_pipeline_history": Op(
        lambda c: c.get_pipeline_history("p", 1), "_get", EP, "/pipeline/p/history", "rev=1", b"", list
    ),
    "get_pipeline_rules": Op(
        lambda c: c.get_pipeline_rules("p"),
        "_get",
        EP,
        "/pipeline/p/rules",
        "rev=0",
        b"",
        C,
    ),
    "update_pipeline_rules": Op(
        lambda c: c.update_pipeline_rules("p", DEFINITION),
        "_post",
        EPD,
        "/pipeline/p/rules",
        "rev=0",
        JSON,
        C,
    ),
    "get_pipeline_error_messages": Op(
        lambda c: c.get_pipeline_error_messages("p", "Stage 1"),
        "_get",
        EP,
        "/pipeline/p/errorMessages",
        "stageInstanceName=Stage+1&rev=0&size=10&edge=False",
        b"",
        C,
    ),
}

ALL = {**STORE, **IMPORT_EXPORT, **RUN_CONTROL, **MONITORING}
DECODED = {name: op for name, op in ALL.items() if op.returns in (dict, list)}


def by_group(group: dict[str, Op]) -> Any:
    return pytest.mark.parametrize("op", list(group.values()), ids=list(group))


def check_wire(engine, client, op: Op) -> None:
    """One request exactly as the row says, through the named verb, and its return."""
    engine.inject_fault("*", "/v1/*", body=ANSWER, count=None)
    verbs = {name: mock.Mock(wraps=getattr(client, name)) for name in ("_get", "_post", "_put", "_delete")}
    for name, verb in verbs.items():
        setattr(client, name, verb)
    result = op.call(client)

    (request,) = engine.requests
    assert (request.method, request.path, request.query, request.body) == (
        {"_get": "GET", "_post": "POST", "_put": "PUT", "_delete": "DELETE"}[op.verb],
        "/rest/v1" + op.path,
        op.query,
        op.body,
    )
    assert request.header("Content-Type") == "application/json"

    called = [name for name, verb in verbs.items() if verb.called]
    assert called == [op.verb]
    args, kwargs = verbs[op.verb].call_args
    assert args == () and sorted(kwargs) == sorted(op.keywords)
    assert kwargs["endpoint"] == "/v1" + unquote(op.path)

    if op.returns in (dict, list):
        assert result == ANSWER
    else:
        assert type(result) is op.returns
        assert result.api_client is client and result.response.json() == ANSWER


@by_group(STORE)
def test_store_operations_wire_and_return(engine, client, op):
    check_wire(engine, client, op)


@by_group(IMPORT_EXPORT)
def test_import_export_operations_wire_and_return(engine, client, op):
    check_wire(engine, client, op)


@by_group(RUN_CONTROL)
def test_run_control_operations_wire_and_return(engine, client, op):
    check_wire(engine, client, op)


@by_group(MONITORING)
def test_monitoring_operations_wire_and_return(engine, client, op):
    check_wire(engine, client, op)


@by_group(DECODED)
def test_decoded_returns_are_empty_for_an_empty_body(engine, client, op):
    engine.inject_fault("*", "/v1/*", empty=True)
    result = op.call(client)
    assert result == op.returns() and type(result) is op.returns


def test_import_pipelines_uploads_one_multipart_file_field(engine, client):
    engine.inject_fault("POST", "/v1/pipelines/import", body=ANSWER)
    archive = io.BytesIO(b"PK archive bytes")
    with mock.patch.object(client, "_post", wraps=client._post) as post:
        assert client.import_pipelines(archive) == ANSWER
    assert post.call_args.kwargs == {
        "endpoint": "/v1/pipelines/import",
        "files": {"file": archive},
        "headers": {"content-type": None},
    }
    request = engine.last_request
    assert (request.method, request.path, request.query) == ("POST", "/rest/v1/pipelines/import", "")
    content_type = request.header("Content-Type")
    assert content_type.startswith("multipart/form-data; boundary=")
    assert b'name="file"' in request.body and b"PK archive bytes" in request.body
    assert request.body.count(b"Content-Disposition") == 1
    assert not archive.closed
    assert client.session.headers["content-type"] == "application/json"  # only that request went without


@pytest.mark.parametrize(
    ("version", "flag"),
    [("2.4.9.9", "autoGenerateName"), ("2.5.0.0", "autoGeneratePipelineId"), ("3.0.0", "autoGeneratePipelineId")],
)
def test_create_pipeline_names_the_id_flag_by_engine_version(engine, client, version, flag):
    engine.state.version = client.version = version
    command = client.create_pipeline("my title", auto_generate_pipeline_id=True)
    assert engine.last_request.query == f"{flag}=True&pipelineType=HARVEL"
    # The engine of that version understands the flag: the id is generated.
    assert re.fullmatch(r"mytitle[0-9a-f-]{36}", command.response.json()["pipelineId"])


def test_create_pipeline_compares_versions_through_the_module_version(engine, client):
    with mock.patch("quenlo.sdk.velm_api.Version", side_effect=lambda v: {"5.6.0": 1, "2.5.0.0": 2}[v]):
        client.create_pipeline("t", auto_generate_pipeline_id=False)
    assert engine.last_request.query == "autoGenerateName=False&pipelineType=HARVEL"


# -- path values ---------------------------------------------------------------------------------------------------

ID_CALLS = {
    "get_pipeline_configuration": lambda c, v: c.get_pipeline_configuration(v),
    "start_pipeline": lambda c, v: c.start_pipeline(v),
    "delete_pipeline": lambda c, v: c.delete_pipeline(v),
    "export_pipeline": lambda c, v: c.export_pipeline(v),
    "create_pipeline": lambda c, v: c.create_pipeline(v),
    "create_fragment": lambda c, v: c.create_fragment(v),
    "import_fragment": lambda c, v: c.import_fragment(v, {}),
    "get_pipeline_error_messages": lambda c, v: c.get_pipeline_error_messages(v, "s"),
}


@pytest.mark.parametrize("call", list(ID_CALLS.values()), ids=list(ID_CALLS))
def test_an_id_with_a_slash_stays_one_path_segment(engine, client, call):
    engine.inject_fault("*", "/v1/*", body=ANSWER)
    call(client, "a/b?c#d")
    assert engine.last_request.path.split("/")[4] == "a%2Fb%3Fc%23d"


@pytest.mark.parametrize("value", ["", ".", ".."])
@pytest.mark.parametrize("call", list(ID_CALLS.values()), ids=list(ID_CALLS))
def test_dot_segments_and_empty_ids_are_refused_before_any_request(engine, client, call, value):
    with pytest.raises(ValueError):
        call(client, value)
    assert engine.requests == []


def test_a_stored_id_with_a_slash_round_trips(engine, client):
    client.create_pipeline("team/etl")
    assert client.get_pipeline_configuration("team/etl")["pipelineId"] == "team/etl"
    assert engine.last_request.path == "/rest/v1/pipeline/team%2Fetl"


# -- the engine's store --------------------------------------------------------------------------------------------


def engine_error(error: pytest.ExceptionInfo) -> str:
    return error.value.response.json()["error"]["message"]


def test_create_keeps_type_and_title_and_refuses_a_taken_id(client):
    created = client.create_pipeline("orders", description="daily", pipeline_type="FRAGMENTED")
    assert created.response.status_code == 201
    info = client.get_pipeline_configuration("orders", get="info")
    assert (info["title"], info["description"], info["type"]) == ("orders", "daily", "FRAGMENTED")
    with pytest.raises(BadRequestError) as error:
        client.create_pipeline("orders")
    assert engine_error(error) == "Pipeline 'orders' already exists"


def test_a_draft_is_answered_but_not_stored(client):
    draft = client.create_pipeline("sketch", draft=True).response.json()
    assert draft["pipelineId"] == "sketch"
    with pytest.raises(requests.HTTPError) as error:
        client.get_pipeline_configuration("sketch")
    assert error.value.response.status_code == 404 and engine_error(error) == "Pipeline 'sketch' does not exist"


def test_updates_make_revisions_that_stay_readable(client):
    client.create_pipeline("p")
    first = client.update_pipeline_configuration("p", {"title": "p", "stages": [{"name": "a"}]})
    second = client.update_pipeline("p", {"definition": {"stages": []}}, description="v2").response.json()
    assert (first["pipelineId"], second["description"]) == ("p", "v2")
    assert client.get_pipeline_configuration("p", rev=1)["stages"] == [{"name": "a"}]
    assert client.get_pipeline_configuration("p")["stages"] == []
    assert [r["rev"] for r in client.get_pipeline_configuration("p", get="history")] == ["2", "1", "0"]
    with pytest.raises(requests.HTTPError):
        client.get_pipeline_configuration("p", rev=9)


def test_delete_removes_the_pipeline_and_its_runs(engine, client):
    client.create_pipeline("p")
    engine.state.runs.configure("p", batches=1, batch_interval=0, start_delay=0)
    client.start_pipeline("p")
    assert client.delete_pipeline("p").response.status_code == 200
    assert engine.state.runs.history("p") == []
    with pytest.raises(requests.HTTPError) as error:  # delete maps 404, as every verb does
        client.delete_pipeline("p")
    assert type(error.value) is NotFoundError and error.value.response.status_code == 404


@pytest.mark.parametrize(
    ("arguments", "ids"),
    [
        ({}, ["alpha", "beta", "gamma"]),
        ({"filter_text": "A"}, ["alpha", "beta", "gamma"]),
        ({"filter_text": "mm"}, ["gamma"]),
        ({"label": "prod"}, ["alpha", "gamma"]),
        ({"order": "DESC"}, ["gamma", "beta", "alpha"]),
        ({"order_by": "TITLE"}, ["gamma", "beta", "alpha"]),
        ({"offset": 1, "len_": 1}, ["beta"]),
        ({"order_by": "STATUS"}, ["alpha", "gamma", "beta"]),
    ],
)
def test_listing_filters_orders_and_pages(engine, client, arguments, ids):
    for pid, title, labels in [("beta", "B", []), ("gamma", "A", ["prod"]), ("alpha", "C", ["prod"])]:
        client.import_pipeline(pid, {"definition": {"title": title, "labels": labels}})
    engine.state.runs.configure("beta", batches=None, start_delay=0)
    client.start_pipeline("beta")  # RUNNING sorts after EDITED
    listed = client.get_all_pipeline_configuration_info(**arguments).response.json()
    assert [p["pipelineId"] for p in listed] == ids


def test_listing_with_status_pairs_records(client):
    client.create_pipeline("p")
    infos, statuses = client.get_all_pipeline_configuration_info(include_status=True).response.json()
    assert infos[0]["pipelineId"] == statuses[0]["pipelineId"] == "p" and statuses[0]["status"] == "EDITED"
    with pytest.raises(BadRequestError):
        client.get_all_pipeline_configuration_info(order_by="COLOUR")


def test_export_import_round_trip_with_options(engine, client):
    stored = client.import_pipeline("src", sample_pipeline("Source"))
    pipeline = stored["definition"]
    pipeline["stages"][0]["settings"]["password"] = "hunter2"
    client.update_pipeline_configuration("src", pipeline)

    exported = client.export_pipeline("src", include_library_definitions=True)
    assert exported["definition"]["stages"] == pipeline["stages"]
    assert {s["type"] for s in exported["libraries"]} == {"generator", "mapper", "discard"}
    masked = client.export_pipeline("src", include_plain_text_credentials=False)
    assert masked["definition"]["stages"][0]["settings"]["password"] == "********"

    copy = client.import_pipeline("copy", exported, auto_generate_pipeline_id=True)
    assert copy["definition"]["pipelineId"].startswith("Source") and copy["definition"]["stages"]
    with pytest.raises(BadRequestError):
        client.import_pipeline("src", exported)
    client.import_pipeline("src", exported, overwrite=True)
    assert client.get_pipeline_configuration("src", get="info")["rev"] == "2"
    client.import_pipeline("draft", exported, draft=True)
    assert "draft" not in engine.state.pipelines


def test_export_attachment_is_a_download(engine, client):
    client.create_pipeline("p")
    response = requests.get(engine.url + "/rest/v1/pipeline/p/export", params={"attachment": "true"})
    assert response.headers["Content-Disposition"] == 'attachment; filename="p.json"'


def test_archive_export_imports_into_another_engine(engine, client):
    from quenlo.sdk.simulator import EngineSimulator

    for pid in ("a", "b"):
        client.import_pipeline(pid, sample_pipeline(pid, pid))
    archive = client.export_pipelines(["a", "b"]).response
    assert archive.headers["Content-Type"] == "application/zip"
    assert sorted(zipfile.ZipFile(io.BytesIO(archive.content)).namelist()) == ["a.json", "b.json"]

    with EngineSimulator() as other:
        other_client = velm_api.ApiClient(other.url)
        other_client.create_pipeline("b")
        answer = other_client.import_pipelines(io.BytesIO(archive.content))
        assert [e["definition"]["pipelineId"] for e in answer["imported"]] == ["a"]
        assert answer["failed"] == ["b.json: Pipeline 'b' already exists"]
        assert len(other.state.pipelines.get("a").stages) == 3
        with pytest.raises(BadRequestError):
            other_client.import_pipelines(io.BytesIO(b"not a zip"))
    with pytest.raises(requests.HTTPError) as error:
        client.export_pipelines(["a", "nope"])
    assert engine_error(error) == "Pipeline 'nope' does not exist"


def test_fragments_are_created_and_imported(engine, client):
    body = json.dumps({"stages": sample_pipeline()["definition"]["stages"][:1]})
    created = client.create_fragment("my fragment", description="d", body=body).response.json()
    assert re.fullmatch(r"myfragment[0-9a-f-]{36}", created["fragmentId"]) and len(created["stages"]) == 1
    exported = engine.state.pipelines.fragment(created["fragmentId"])
    imported = client.import_fragment("copy", exported)
    assert imported["fragment"]["stages"] == created["stages"]
    assert client.create_fragment("draft", draft=True).response.json()["title"] == "draft"
    assert engine.state.pipelines.fragments() == [created["fragmentId"], "copy"]
    with pytest.raises(BadRequestError):
        client.create_fragment("bad", body="{not json")


UNKNOWN = {
    "status": lambda c: c.get_pipeline_status("nope"),
    "configuration": lambda c: c.get_pipeline_configuration("nope"),
    "update": lambda c: c.update_pipeline("nope", DEFINITION),
    "export": lambda c: c.export_pipeline("nope"),
    "start": lambda c: c.start_pipeline("nope"),
    "stop": lambda c: c.stop_pipeline("nope"),
    "metrics": lambda c: c.get_pipeline_metrics("nope"),
    "history": lambda c: c.get_pipeline_history("nope"),
    "rules": lambda c: c.get_pipeline_rules("nope"),
    "offsets": lambda c: c.get_pipeline_committed_offsets("nope"),
    "error messages": lambda c: c.get_pipeline_error_messages("nope", "s"),
}


@pytest.mark.parametrize("call", list(UNKNOWN.values()), ids=list(UNKNOWN))
def test_an_unknown_pipeline_is_a_404_with_the_engines_error(client, call):
    with pytest.raises(requests.HTTPError) as error:
        call(client)
    assert error.value.response.status_code == 404
    assert error.value.response.json()["error"] == {
        "message": "Pipeline 'nope' does not exist",
        "code": "PIPELINE_UNKNOWN",
    }


MALFORMED = {
    "rev not a number": lambda c: c.get_pipeline_configuration("p", rev="latest"),
    "unknown get": lambda c: c.get_pipeline_configuration("p", get="everything"),
    "definition not an object": lambda c: c.update_pipeline("p", [1, 2]),
    "import without a definition": lambda c: c.import_pipeline("q", {"stages": []}),
    "export body not a list": lambda c: c.export_pipelines({"ids": ["p"]}),
    "runtime parameters not an object": lambda c: c.start_pipeline("p", runtime_parameters=["x"]),
    "offsets without offsets": lambda c: c.update_pipeline_committed_offsets("p", body={"o": 1}),
    "rules not an object": lambda c: c.update_pipeline_rules("p", "rules"),
    "no stage name": lambda c: c.get_pipeline_error_messages("p", ""),
    "unknown stage": lambda c: c.get_pipeline_error_messages("p", "Nowhere_01"),
    "size not a number": lambda c: c.get_pipeline_error_messages("p", "sink", size="all"),
    "fragment import without config": lambda c: c.import_fragment("f", DEFINITION),
}


@pytest.mark.parametrize("call", list(MALFORMED.values()), ids=list(MALFORMED))
def test_a_malformed_request_is_a_400(client, call):
    client.import_pipeline("p", sample_pipeline("p", "p"))
    with pytest.raises(BadRequestError) as error:
        call(client)
    assert error.value.response.status_code == 400 and engine_error(error)


def test_a_literal_route_wins_over_a_placeholder_whatever_the_order():
    router = Router()
    router.route("POST", "/pipeline/{pipeline_id}")(lambda ctx, pipeline_id: "placeholder")
    router.route("POST", "/pipeline/dynamicPreview")(lambda ctx: "literal")
    handler, params = router.resolve("POST", "/pipeline/dynamicPreview")
    assert (handler(None, **params), params) == ("literal", {})
    handler, params = router.resolve("POST", "/pipeline/other")
    assert handler(None, **params) == "placeholder"


@pytest.mark.parametrize(
    ("call", "exclusions"),
    [
        (lambda c: c.get_all_pipeline_configuration_info(), "self"),
        (lambda c: c.get_logs(), "self"),
    ],
)
def test_a_lone_exclusion_reaches_get_params_as_that_name(client, engine, call, exclusions):
    with mock.patch.object(velm_api, "get_params", wraps=velm_api.get_params) as get_params:
        call(client)
    assert get_params.call_args.kwargs["exclusions"] == exclusions
