"""Pipeline access control lists, their grants and the users and groups they name, over HTTP against the simulator."""

from __future__ import annotations

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError
from quenlo.sdk.simulator import pipeline_definition
from quenlo.sdk.simulator.routes import Router
from quenlo.sdk.simulator.store import StoredPipeline

GROUP_READ = {"grantee": "ops", "type": "GROUP", "actions": ["READ"]}


def add_pipeline(engine, pipeline_id: str = "p", created: int | None = None) -> StoredPipeline:
    pipeline = StoredPipeline(
        pipeline_id=pipeline_id, title=pipeline_id, definition=pipeline_definition(pipeline_id, "t")
    )
    if created is not None:
        pipeline.created = created
    return engine.state.pipelines.add(pipeline)


@pytest.fixture
def pipeline(engine) -> StoredPipeline:
    return add_pipeline(engine)


def acl_with(client, *grants):
    acl = client.get_pipeline_acl("p")
    acl["grants"] += list(grants)
    return acl


@pytest.mark.parametrize(
    "call, verb, path, has_body",
    [
        (lambda c: c.get_pipeline_acl("p"), "GET", "/rest/v1/acl/p", False),
        (lambda c: c.set_pipeline_acl("p", acl_with(c, GROUP_READ)), "POST", "/rest/v1/acl/p", True),
        (lambda c: c.get_pipeline_permissions("p"), "GET", "/rest/v1/acl/p/permissions", False),
        (lambda c: c.get_acl_subjects(), "GET", "/rest/v1/pipelines/subjects", False),
        (lambda c: c.set_acl_subjects({"groups": {"ops": "operators"}}), "POST", "/rest/v1/pipeline/subjects", True),
    ],
    ids=["get_acl", "set_acl", "permissions", "get_subjects", "set_subjects"],
)
def test_paths_verbs_and_bodies(engine, client, pipeline, call, verb, path, has_body):
    call(client)
    request = engine.requests[-1]
    assert (request.method, request.path, request.query) == (verb, path, "")
    assert bool(request.body) is has_body


@pytest.mark.parametrize(
    "name, args, path, empty",
    [
        ("get_pipeline_acl", ("p",), "/v1/acl/p", {}),
        ("get_pipeline_permissions", ("p",), "/v1/acl/p/permissions", []),
        ("get_acl_subjects", (), "/v1/pipelines/subjects", {}),
    ],
)
def test_readers_answer_an_empty_body_with_their_empty_result(engine, client, pipeline, name, args, path, empty):
    engine.inject_fault("GET", path, empty=True)
    result = getattr(client, name)(*args)
    assert result == empty and type(result) is type(empty)


@pytest.mark.parametrize(
    "call, path",
    [
        (lambda c: c.set_pipeline_acl("p", {"grants": []}), "/v1/acl/p"),
        (lambda c: c.set_acl_subjects({"users": {"admin": "root"}}), "/v1/pipeline/subjects"),
    ],
)
def test_writers_return_a_command_even_for_an_empty_answer(engine, client, pipeline, call, path):
    engine.inject_fault("POST", path, empty=True)
    command = call(client)
    assert type(command) is velm_api.Command and command.response.content == b""


def test_an_acl_is_stored_and_read_back(client, pipeline):
    default = client.get_pipeline_acl("p")
    assert [(p["grantee"], p["actions"]) for p in default["grants"]] == [("admin", ["READ", "WRITE", "EXECUTE"])]

    stored = client.set_pipeline_acl("p", acl_with(client, GROUP_READ)).response.json()

    assert client.get_pipeline_acl("p") == stored
    assert client.get_pipeline_permissions("p") == stored["grants"]
    assert [p["grantee"] for p in stored["grants"]] == ["admin", "ops"]
    assert client.get_acl_subjects() == {"users": ["admin"], "groups": ["ops"]}


@pytest.mark.parametrize(
    "document",
    [
        {},
        {"grants": "everyone"},
        {"grants": [{"grantee": "ops", "type": "ROLE", "actions": ["READ"]}]},
        {"grants": [{"grantee": "ops", "type": "GROUP", "actions": ["DELETE"]}]},
        {"grants": [{"type": "GROUP", "actions": []}]},
        {"grants": [GROUP_READ, GROUP_READ]},
    ],
    ids=["no-grants", "not-a-list", "bad-type", "bad-action", "no-subject", "duplicate"],
)
def test_a_malformed_acl_is_refused_and_the_stored_one_kept(client, pipeline, document):
    before = client.get_pipeline_acl("p")
    with pytest.raises(BadRequestError):
        client.set_pipeline_acl("p", document)
    assert client.get_pipeline_acl("p") == before


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.get_pipeline_acl("nope"),
        lambda c: c.set_pipeline_acl("nope", {"grants": []}),
        lambda c: c.get_pipeline_permissions("nope"),
    ],
)
def test_an_unknown_pipeline_is_not_found(client, call):
    with pytest.raises(requests.HTTPError) as error:
        call(client)
    assert error.value.response.status_code == 404


def test_an_id_with_a_slash_stays_one_segment(engine, client):
    add_pipeline(engine, "team/etl")
    assert client.get_pipeline_acl("team/etl")["pipelineId"] == "team/etl"
    assert engine.requests[-1].path == "/rest/v1/acl/team%2Fetl"


def test_an_acl_does_not_outlive_its_pipeline(engine, client, pipeline):
    client.set_pipeline_acl("p", acl_with(client, GROUP_READ))
    engine.state.pipelines.remove("p")
    add_pipeline(engine, created=pipeline.created + 1)
    assert [p["grantee"] for p in client.get_pipeline_permissions("p")] == ["admin"]


def test_subjects_are_renamed_across_every_acl(engine, client, pipeline):
    add_pipeline(engine, "q")
    client.set_pipeline_acl(
        "p", acl_with(client, GROUP_READ, {"grantee": "eve", "type": "USER", "actions": ["EXECUTE"]})
    )

    answer = client.set_acl_subjects({"users": {"admin": "root", "eve": "root"}, "groups": {"ops": "operators"}})

    expected = {"users": ["root"], "groups": ["operators"]}
    assert answer.response.json() == expected and client.get_acl_subjects() == expected
    acl = client.get_pipeline_acl("p")
    assert acl["owner"] == "root"
    # eve was renamed onto an existing subject: the two keep the union of their actions
    assert [(p["grantee"], p["actions"]) for p in acl["grants"]] == [
        ("root", ["READ", "WRITE", "EXECUTE"]),
        ("operators", ["READ"]),
    ]
    assert client.get_pipeline_acl("q")["owner"] == "root"


@pytest.mark.parametrize("document", [[], {"roles": {}}, {"users": {"admin": ""}}, {"users": ["admin"]}])
def test_a_malformed_subjects_document_is_refused(client, pipeline, document):
    with pytest.raises(BadRequestError):
        client.set_acl_subjects(document)
    assert client.get_acl_subjects() == {"users": ["admin"], "groups": []}


def test_a_literal_path_segment_wins_over_a_placeholder_whatever_the_order():
    router = Router()
    router.route("POST", "/pipeline/{pipeline_id}")(lambda ctx, pipeline_id: "update")
    router.route("POST", "/pipeline/subjects")(lambda ctx: "subjects")
    handler, params = router.resolve("POST", "/pipeline/subjects")
    assert (handler(None, **params), params) == ("subjects", {})
    handler, params = router.resolve("POST", "/pipeline/other")
    assert handler(None, **params) == "update"
