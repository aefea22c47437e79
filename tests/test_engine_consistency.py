"""The simulated engine agrees with itself: one verdict on a pipeline's validity, a reset that forgets
everything, its own version comparison and one shape of error document."""

from __future__ import annotations

from typing import Any, Callable

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.exceptions import BadRequestError
from quenlo.sdk.simulator import DEFAULT_VERSION, EngineSimulator, sample_pipeline
from quenlo.sdk.simulator.documents import at_least, issue, version_key


def without_stages(engine: EngineSimulator) -> str:
    engine.state.pipelines.create("p")
    return "The pipeline has no stages"


def with_issues_set(engine: EngineSimulator) -> str:
    pipeline = engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
    pipeline.invalid_issues = {
        "stages": {"sink": [issue("The sink needs a bin", "STAGE_SETTING", "sink", "bin")]},
        "pipeline": [issue("No error stage", "PIPELINE_INVALID")],
    }
    return "No error stage; The sink needs a bin"


INVALID: dict[str, Callable[[EngineSimulator], str]] = {"no stages": without_stages, "issues": with_issues_set}


def preview_states(client: velm_api.ApiClient, pipeline_id: str, previewer_id: str, reads: int = 5) -> list[str]:
    return [client.get_preview_status(pipeline_id, previewer_id).response.json()["status"] for _ in range(reads)]


@pytest.mark.velm_engine(virtual_time=True)
@pytest.mark.parametrize("arrange", list(INVALID.values()), ids=list(INVALID))
class TestAnInvalidPipelineIsInvalidEverywhere:
    def test_validation_says_invalid_with_the_issues(self, engine, client, arrange):
        arrange(engine)
        command = client.validate_pipeline("p").wait_for_validate()
        data = command.response.json()
        assert data["status"] == "INVALID" and data["issues"]["count"] >= 1

    def test_preview_ends_invalid_and_shows_no_records(self, engine, client, arrange):
        arrange(engine)
        started = client.run_pipeline_preview("p").response.json()
        states = preview_states(client, "p", started["previewerId"])
        assert states[-1] == "INVALID" and "FINISHED" not in states
        data = client.get_preview_data("p", started["previewerId"]).response.json()
        assert data["batches"] is None and data["issues"]["count"] >= 1

    def test_a_start_ends_in_start_error_with_the_issue_as_message(self, engine, client, arrange):
        message = arrange(engine)
        command = client.start_pipeline("p")
        with pytest.raises(velm_api.StartError) as error:
            command.wait_for_finished()
        assert error.value.message == message
        assert client.get_pipeline_status("p").response.json()["status"] == "START_ERROR"
        assert client.get_pipeline_metrics("p").response.json()["counters"]["pipeline.batchCount.counter"] == {
            "count": 0
        }

    def test_a_snapshot_is_refused(self, engine, client, arrange):
        message = arrange(engine)
        with pytest.raises(BadRequestError) as error:
            client.capture_snapshot("p", "s", "label")
        assert message in error.value.response.json()["error"]["message"]
        assert client.get_snapshots() == []

    def test_the_listing_and_the_definition_say_not_valid(self, engine, client, arrange):
        arrange(engine)
        (listed,) = client.get_all_pipeline_configuration_info().response.json()
        definition = client.get_pipeline_configuration("p")
        assert listed["valid"] is False
        assert definition["valid"] is False
        assert definition["issues"]["count"] >= 1
        assert client.get_pipeline_configuration("p", get="info")["valid"] is False


@pytest.mark.velm_engine(virtual_time=True)
def test_the_sample_pipeline_is_valid_everywhere(engine, client):
    client.import_pipeline("p", sample_pipeline("Sample", "p"))
    engine.state.runs.configure("p", batches=2)

    assert client.validate_pipeline("p").wait_for_validate().response.json()["status"] == "VALID"
    assert client.run_pipeline_preview("p").wait_for_finished().preview is not None
    client.start_pipeline("p").wait_for_finished()
    assert client.capture_snapshot("p", "s", "label").wait_for_finished().snapshot is not None
    assert client.get_all_pipeline_configuration_info().response.json()[0]["valid"] is True
    assert client.get_pipeline_configuration("p")["issues"]["count"] == 0


@pytest.mark.velm_engine(virtual_time=True)
def test_a_pipeline_given_stages_later_becomes_valid(engine, client):
    client.create_pipeline("p")
    assert client.get_pipeline_configuration("p", get="info")["valid"] is False
    client.update_pipeline("p", sample_pipeline("p", "p")["definition"])
    engine.state.runs.configure("p", batches=1)
    client.start_pipeline("p").wait_for_finished()
    assert client.get_pipeline_configuration("p", get="info")["valid"] is True
    assert client.get_all_pipeline_configuration_info().response.json()[0]["valid"] is True


class TestReset:
    def test_forgets_everything_arranged_and_keeps_serving_on_the_same_url(self):
        with EngineSimulator(users={"admin": "pw"}) as engine:
            url, state = engine.url, engine.state
            client = velm_api.ApiClient(
                url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username="admin", password="pw"
            )
            client.import_pipeline("p", sample_pipeline("p", "p"))
            client.start_pipeline("p")
            engine.add_user("other", "x")
            engine.script_status("q", ["RUNNING"])
            engine.state.version = "1.0"
            engine.inject_fault("GET", "/v1/pipelines", status=503, count=None)

            engine.reset()

            assert engine.url == url and engine.running and engine.state is not state
            assert engine.requests == [] and engine.faults.pending() == []
            assert sorted(engine.users.names()) == ["admin"]
            assert engine.state.read_status("q") is None
            assert engine.users.session_user(client.session.cookies["velm_session"]) is None
            # The old session is gone with the state; the client's credentials still open a new one.
            assert client.get_all_pipeline_configuration_info().response.json() == []
            assert client.get_velm_info()["version"] == DEFAULT_VERSION
            assert [r.user for r in engine.requests] == ["admin", "admin"]

    def test_settings_given_to_reset_hold_for_later_resets(self):
        with EngineSimulator() as engine:
            engine.reset(version="2.4.0", users={"ann": "pw"}, api_version=2)
            engine.reset()
            assert engine.state.version == "2.4.0" and engine.users.names() == ["ann"]
            assert engine.api_version == 2
            engine.reset(users=None)
            assert not engine.users.required and engine.state.version == "2.4.0"

    def test_a_simulator_never_started_can_be_reset(self):
        engine = EngineSimulator(virtual_time=True)
        engine.reset()
        assert engine.clock.virtual and not engine.running


@pytest.mark.parametrize(
    ("older", "newer"),
    [("2.4.9.9", "2.5.0.0"), ("2.4", "2.4.0.1"), ("9.9", "10.0"), ("2.5.0-SNAPSHOT", "2.5.1"), ("1.x", "1.1")],
)
def test_the_engine_compares_versions_by_number(older, newer):
    assert version_key(older) < version_key(newer)
    assert at_least(newer, older) and not at_least(older, newer)


@pytest.mark.parametrize(("a", "b"), [("3.0", "3.0.0.0"), ("2.5.0-SNAPSHOT", "2.5"), ("05.1", "5.1")])
def test_equal_versions_are_equal(a, b):
    assert version_key(a) == version_key(b) and at_least(a, b) and at_least(b, a)


def failing(engine: EngineSimulator, method: str, path: str, **kwargs: Any) -> requests.Response:
    headers = {"X-Requested-By": "velm", "content-type": "application/json"}
    return requests.request(method, engine.url + "/rest" + path, headers=headers, timeout=5, **kwargs)


@pytest.mark.parametrize(
    ("method", "path", "kwargs", "status"),
    [
        ("GET", "/v1/pipeline/nope/status", {}, 404),
        ("DELETE", "/v1/system/info", {}, 405),
        ("POST", "/v1/pipeline/x/rules", {"data": b"{not json"}, 400),
        ("GET", "/v1/stageLibraries/list", {"params": {"repoUrl": "https://nowhere"}}, 400),
    ],
)
def test_every_error_document_holds_a_message_and_an_error_code_only(engine, method, path, kwargs, status):
    if path.startswith("/v1/pipeline/x/"):
        engine.state.pipelines.import_pipeline("x", sample_pipeline("x", "x"))
    response = failing(engine, method, path, **kwargs)
    assert response.status_code == status
    (member,) = response.json().values()
    assert set(member) == {"message", "code"}
    assert member["message"] and member["code"]
