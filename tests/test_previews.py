"""Validation and preview: the operations that start runs, the status and data queries, and the three waits."""

from __future__ import annotations

import json
import logging
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api, velm_models
from quenlo.sdk.exceptions import BadRequestError, InternalServerError
from quenlo.sdk.simulator import pipeline_definition, sample_stages
from quenlo.sdk.simulator.store import StoredPipeline

ORIGIN, PROCESSOR, TARGET = (stage["name"] for stage in sample_stages())


@pytest.fixture
def pipeline(engine) -> StoredPipeline:
    return engine.state.pipelines.add(
        StoredPipeline(pipeline_id="p", title="p", definition=pipeline_definition("p", "p", stages=sample_stages()))
    )


def paths(engine) -> list:
    return [(r.method, r.path.rsplit("/", 1)[-1]) for r in engine.requests]


def status_path(command) -> str:
    return f"/v1/pipeline/{command.pipeline_id}/preview/{command.previewer_id}/status"


class TestStartingOperations:
    @pytest.mark.parametrize(
        ("args", "query"),
        [((), "rev=0&timeout=2000"), ((3, 60), "rev=3&timeout=60"), ((None, None), "")],
        ids=["defaults", "given", "none"],
    )
    def test_validate_pipeline(self, client, engine, pipeline, args, query):
        command = client.validate_pipeline("p", *args)
        (request,) = engine.requests
        assert (request.method, request.path, request.query, request.body) == (
            "GET",
            "/rest/v1/pipeline/p/validate",
            query,
            b"",
        )
        assert type(command) is velm_api.ValidateCommand
        assert (command.pipeline_id, command.previewer_id) == ("p", command.response.json()["previewerId"])
        assert engine.state.previews.find(command.previewer_id).kind == "validation"

    def test_run_pipeline_preview_defaults_go_through_get_params_into_the_query(self, client, engine, pipeline):
        with mock.patch("quenlo.sdk.velm_api.get_params", wraps=velm_api.get_params) as get_params:
            command = client.run_pipeline_preview("p")
        parameters = get_params.call_args.kwargs["parameters"]
        assert parameters.pop("self") is client
        assert parameters == dict(
            pipeline_id="p",
            rev=0,
            batches=1,
            batch_size=10,
            skip_targets=True,
            end_stage=None,
            timeout=2000,
            test_origin=False,
            stage_outputs_to_override_json=None,
        )
        assert set(get_params.call_args.kwargs["exclusions"]) == {"self", "pipeline_id"}
        (request,) = engine.requests
        assert (request.method, request.path, request.body) == ("POST", "/rest/v1/pipeline/p/preview", b"")
        assert request.query == "rev=0&batches=1&batchSize=10&skipTargets=True&timeout=2000&testOrigin=False"
        assert type(command) is velm_api.PreviewCommand and command.pipeline_id == "p"

    def test_run_pipeline_preview_settings_travel_in_the_query_and_the_engine_honours_them(
        self, client, engine, pipeline, no_sleep
    ):
        override = [
            {
                "stage": ORIGIN,
                "output": {
                    f"{ORIGIN}.1": [
                        {
                            "header": {"recordId": "mine"},
                            "value": {"type": "map", "value": {"k": {"type": "text", "value": "v"}}},
                        }
                    ]
                },
            }
        ]
        command = client.run_pipeline_preview(
            "p",
            rev=2,
            batches=2,
            batch_size=3,
            skip_targets=False,
            end_stage=PROCESSOR,
            timeout=5,
            test_origin=True,
            stage_outputs_to_override_json=json.dumps(override),
        )
        request = engine.requests[0]
        assert request.body == b""
        assert request.args == [
            ("rev", "2"),
            ("batches", "2"),
            ("batchSize", "3"),
            ("skipTargets", "False"),
            ("endStage", PROCESSOR),
            ("timeout", "5"),
            ("testOrigin", "True"),
            ("stageOutputsToOverrideJson", json.dumps(override)),
        ]

        preview = command.wait_for_finished().preview
        assert preview.stage_names == [ORIGIN, PROCESSOR]  # nothing after the end stage
        assert len(preview.batches) == 2
        assert [r.value for r in preview.records(PROCESSOR)] == [{"k": "v"}] * 2  # downstream sees the override

    def test_preview_without_override_generates_batch_size_records_per_batch(self, client, pipeline, no_sleep):
        preview = client.run_pipeline_preview("p", batches=2, batch_size=3).wait_for_finished().preview
        assert preview.stage_names == [ORIGIN, PROCESSOR]  # the target is skipped by default
        assert [r["id"] for r in preview.records(PROCESSOR)] == [1, 2, 3, 4, 5, 6]
        assert preview.records(PROCESSOR)[0].header["trail"] == [ORIGIN, PROCESSOR]
        with_targets = client.run_pipeline_preview("p", skip_targets=False).wait_for_finished().preview
        assert with_targets.stage_names == [ORIGIN, PROCESSOR, TARGET]

    @pytest.mark.parametrize(
        "operation", ["run_dynamic_pipeline_preview", "run_dynamic_pipeline_preview_for_connection"]
    )
    def test_dynamic_previews_take_both_ids_from_the_answer(self, client, engine, operation):
        engine.inject_fault("POST", "/v1/pipeline/dynamicPreview", body={"previewerId": "x", "pipelineId": "q"})
        command = getattr(client, operation)({"kind": "PIPELINE", "stages": []})
        expected = {
            "run_dynamic_pipeline_preview": velm_api.PreviewCommand,
            "run_dynamic_pipeline_preview_for_connection": velm_api.ConnectionValidateCommand,
        }[operation]
        assert type(command) is expected
        assert (command.pipeline_id, command.previewer_id) == ("q", "x")
        assert engine.requests[0].json() == {"kind": "PIPELINE", "stages": []}

    def test_both_dynamic_previews_send_identical_requests(self, client, engine):
        request = {"kind": "PIPELINE", "batchSize": 2}
        first = client.run_dynamic_pipeline_preview(request)
        second = client.run_dynamic_pipeline_preview_for_connection(request)
        a, b = engine.requests
        assert (a.method, a.path, a.query, a.body) == (b.method, b.path, b.query, b.body)
        assert a.path == "/rest/v1/pipeline/dynamicPreview" and a.query == ""
        assert first.pipeline_id != second.pipeline_id  # the engine makes a new pipeline each time
        assert first.pipeline_id not in engine.state.pipelines

    @pytest.mark.parametrize(
        ("call", "route", "body"),
        [
            (lambda c: c.validate_pipeline("p"), ("GET", "/v1/pipeline/p/validate"), {"status": "VALIDATING"}),
            (lambda c: c.run_pipeline_preview("p"), ("POST", "/v1/pipeline/p/preview"), {"pipelineId": "p"}),
            (
                lambda c: c.run_dynamic_pipeline_preview({}),
                ("POST", "/v1/pipeline/dynamicPreview"),
                {"previewerId": "x"},
            ),
            (
                lambda c: c.run_dynamic_pipeline_preview_for_connection({}),
                ("POST", "/v1/pipeline/dynamicPreview"),
                {"pipelineId": "q"},
            ),
        ],
    )
    def test_an_answer_without_an_id_raises_key_error(self, client, engine, call, route, body):
        engine.inject_fault(*route, body=body)
        with pytest.raises(KeyError):
            call(client)

    @pytest.mark.parametrize(
        "operation",
        [
            velm_api.ApiClient.run_dynamic_pipeline_preview,
            velm_api.ApiClient.run_dynamic_pipeline_preview_for_connection,
        ],
    )
    def test_dynamic_previews_read_the_previewer_id_then_the_pipeline_id_each_from_its_own_decoding(
        self, client, engine, operation
    ):
        decodings = [{"previewerId": "x"}, {"pipelineId": "p"}]
        post = client._post

        def answered(**kwargs):
            response = post(**kwargs)
            response.json = mock.Mock(side_effect=decodings)
            return response

        client._post = answered
        request = {"kind": "PIPELINE", "stages": []}
        command = operation(client, request)
        assert (command.pipeline_id, command.previewer_id) == ("p", "x")
        engine.inject_fault("POST", "/v1/pipeline/dynamicPreview", body={})
        del client._post
        with pytest.raises(KeyError) as missing:  # the first member read is the one an empty answer lacks
            operation(client, request)
        assert missing.value.args == ("previewerId",)

    def test_run_pipeline_preview_hands_get_params_the_arguments_before_the_path_is_made(self, client, engine):
        with mock.patch.object(velm_api, "get_params", wraps=velm_api.get_params) as get_params:
            with pytest.raises(ValueError, match="not a valid path value"):
                client.run_pipeline_preview("..", batches=3)
        called = get_params.call_args.kwargs
        assert (called["parameters"]["pipeline_id"], called["parameters"]["batches"]) == ("..", 3)
        assert called["exclusions"] == ("self", "pipeline_id")
        assert engine.requests == []

    @pytest.mark.parametrize(
        ("call", "fault", "error"),
        [
            (lambda c: c.validate_pipeline("p"), dict(status=500), InternalServerError),
            (lambda c: c.run_pipeline_preview("p"), dict(status=200, not_json=True), ValueError),
            (lambda c: c.validate_pipeline("nowhere"), None, requests.HTTPError),
            (lambda c: c.run_pipeline_preview("p", end_stage="NoSuchStage"), None, BadRequestError),
            (lambda c: c.run_pipeline_preview("p", stage_outputs_to_override_json="{x"), None, BadRequestError),
            (lambda c: c.run_dynamic_pipeline_preview({"kind": "NOT_A_KIND"}), None, BadRequestError),
        ],
        ids=["500", "not json", "unknown pipeline", "unknown end stage", "bad override", "bad dynamic request"],
    )
    def test_failed_starts_raise(self, client, engine, pipeline, call, fault, error):
        if fault:
            engine.inject_fault("*", "/v1/pipeline/*", **fault)
        with pytest.raises(error):
            call(client)


class TestStatusAndData:
    def test_status_is_a_plain_command_and_data_a_preview_command_for_the_same_ids(self, client, engine, pipeline):
        started = client.run_pipeline_preview("p")
        status = client.get_preview_status(started.pipeline_id, started.previewer_id)
        data = client.get_preview_data(pipeline_id="p", previewer_id=started.previewer_id)
        assert type(status) is velm_api.Command and status.response.json()["status"] == "CREATED"
        assert type(data) is velm_api.PreviewCommand
        assert (data.pipeline_id, data.previewer_id) == ("p", started.previewer_id)
        assert [(r.path, r.query) for r in engine.requests[1:]] == [
            (f"/rest/v1/pipeline/p/preview/{started.previewer_id}/status", ""),
            (f"/rest/v1/pipeline/p/preview/{started.previewer_id}", ""),
        ]

    def test_preview_property_fetches_anew_on_every_read(self, client, engine, pipeline, no_sleep):
        command = client.run_pipeline_preview("p").wait_for_finished()
        data_command = client.get_preview_data("p", command.previewer_id)
        held = command.response
        engine.clear_requests()
        first, second, third = command.preview, command.preview, data_command.preview
        assert paths(engine) == [("GET", command.previewer_id)] * 3
        assert first is not second and isinstance(first, velm_models.Preview)
        assert (first.pipeline_id, first.previewer_id, first.status) == ("p", command.previewer_id, "FINISHED")
        assert first.to_json() == third.to_json()
        assert command.response is held

    def test_preview_model_is_taken_from_velm_models_when_built(self, client, pipeline):
        command = client.run_pipeline_preview("p")
        with mock.patch.object(velm_models, "Preview") as model:
            assert command.preview is model.return_value
        assert model.call_args.kwargs == {
            "pipeline_id": "p",
            "previewer_id": command.previewer_id,
            "preview": command.preview.to_json(),
        }


class TestWaits:
    def test_validate_that_is_valid_at_once_reads_no_data(self, client, engine, pipeline, no_sleep):
        command = client.validate_pipeline("p")
        engine.state.previews.script(command.previewer_id, ["VALID"])
        engine.clear_requests()
        assert command.wait_for_validate() is command
        assert paths(engine) == [("GET", "status")]
        assert command.response.json()["status"] == "VALID" and no_sleep.call_count == 0

    def test_validate_of_an_invalid_pipeline_ends_with_the_data_and_its_issues(
        self, client, engine, pipeline, no_sleep
    ):
        pipeline.invalid_issues = {"stages": {PROCESSOR: [{"message": "bad expression"}]}}
        command = client.validate_pipeline("p")
        engine.clear_requests()
        command.wait_for_validate()
        assert paths(engine) == [("GET", "status"), ("GET", "status"), ("GET", command.previewer_id)]
        assert no_sleep.call_args_list == [mock.call(1)]
        data = command.response.json()
        assert data["status"] == "INVALID" and data["issues"]["count"] == 1
        assert velm_models.Preview("p", command.previewer_id, data).issues.messages == ["bad expression"]

    def test_preview_waits_through_its_states_with_one_pause_each(self, client, engine, pipeline, no_sleep):
        command = client.run_pipeline_preview("p")
        engine.clear_requests()
        command.wait_for_finished()
        assert paths(engine) == [("GET", "status")] * 4
        assert no_sleep.call_count == 3 and command.response.json()["status"] == "FINISHED"

    @pytest.mark.parametrize(
        ("states", "final"), [(["CREATED", "STARTING", "RUNNING", "FINISHED"], "FINISHED"), (["VALID"], "VALID")]
    )
    def test_connection_validate_always_ends_with_the_data(self, client, engine, no_sleep, states, final):
        request = {"kind": "CONNECTION", "connection": {"connectionId": "db"}}
        command = client.run_dynamic_pipeline_preview_for_connection(request)
        engine.state.previews.script(command.previewer_id, states)
        engine.clear_requests()
        command.wait_for_validate()
        assert paths(engine) == [("GET", "status")] * len(states) + [("GET", command.previewer_id)]
        assert no_sleep.call_count == len(states) - 1
        assert set(command.response.json()) == {"status", "batches", "issues", "message"}
        assert command.response.json()["status"] == final

    def test_failing_connection_reports_its_issue(self, client, engine, no_sleep):
        engine.state.previews.failing_connections.add("db")
        request = {"kind": "CONNECTION", "connection": {"connectionId": "db"}}
        command = client.run_dynamic_pipeline_preview_for_connection(request).wait_for_validate()
        issues = velm_models.Preview(command.pipeline_id, command.previewer_id, command.response.json()).issues
        assert command.response.json()["status"] == "INVALID" and "db" in issues.messages[0]

    @pytest.mark.parametrize(
        ("wait", "states", "data_reads"),
        [
            ("validate", ["VALIDATING", "VALID"], 0),
            ("preview", ["RUNNING", "FINISHED"], 0),
            ("connection", ["RUNNING", "FINISHED"], 1),
        ],
    )
    def test_empty_status_bodies_are_polled_again_without_a_pause(
        self, client, engine, pipeline, no_sleep, wait, states, data_reads
    ):
        command = {
            "validate": lambda: client.validate_pipeline("p"),
            "preview": lambda: client.run_pipeline_preview("p"),
            "connection": lambda: client.run_dynamic_pipeline_preview_for_connection({"kind": "PIPELINE"}),
        }[wait]()
        engine.state.previews.script(command.previewer_id, states)
        engine.inject_fault("GET", status_path(command), empty=True, count=3)
        engine.clear_requests()
        getattr(command, "wait_for_finished" if wait == "preview" else "wait_for_validate")()
        assert paths(engine) == [("GET", "status")] * 5 + [("GET", command.previewer_id)] * data_reads
        assert no_sleep.call_count == 1  # after the first state only, never after an empty body

    @pytest.mark.parametrize(
        ("wait", "message"),
        [
            ("validate", "Timed out after {} seconds while waiting for validation (pipeline p)."),
            ("preview", "Timed out after {} seconds while waiting for status FINISHED (pipeline p)."),
            ("connection", "Timed out after {} seconds while waiting for validation (pipeline p)."),
        ],
    )
    @pytest.mark.parametrize("timeout", [0, 3])
    def test_time_outs(self, client, engine, clock, wait, message, timeout):
        cls = {
            "validate": velm_api.ValidateCommand,
            "preview": velm_api.PreviewCommand,
            "connection": velm_api.ConnectionValidateCommand,
        }[wait]
        command = cls(client, None, "p", "run")
        engine.inject_fault("GET", status_path(command), body={"status": "VALIDATING"}, count=None)
        method = command.wait_for_finished if wait == "preview" else command.wait_for_validate
        with pytest.raises(Exception) as raised:
            method(timeout_sec=timeout)
        error = raised.value
        assert type(error) is velm_api.WaitTimeoutError and str(error) == message.format(timeout)
        assert len(engine.requests) == timeout  # one poll per second until the deadline
        assert (error.timeout_sec, error.elapsed) == (timeout, timeout)
        assert error.last_status == (None if timeout == 0 else "VALIDATING")
        assert error.response is command.response

    def test_log_lines(self, client, engine, pipeline, no_sleep, caplog):
        command = client.run_pipeline_preview("p")
        engine.state.previews.script(command.previewer_id, ["RUNNING", "FINISHED"])
        with caplog.at_level(logging.DEBUG, logger="quenlo.sdk.velm_api"):
            command.wait_for_finished()
        logged = [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == "quenlo.sdk.velm_api"]
        assert logged[0] == ("INFO", "Waiting for preview to be finished...", ())
        assert logged[1][:2] == ("DEBUG", "response.content: %s") and b'"RUNNING"' in logged[1][2][0]
        assert logged[-1] == (
            "DEBUG",
            "Pipeline (%s) preview (%s) reached state : %s",
            ("p", command.previewer_id, "FINISHED"),
        )

    @pytest.mark.parametrize("level, shown", [(logging.DEBUG, 2), (logging.INFO, 0)])
    def test_a_body_is_read_for_the_log_only_where_it_is_logged(
        self, client, engine, pipeline, no_sleep, caplog, level, shown
    ):
        command = client.run_pipeline_preview("p")
        engine.state.previews.script(command.previewer_id, ["RUNNING", "FINISHED"])
        with mock.patch("quenlo.sdk.velm_api._logged_content") as logged, caplog.at_level(level, "quenlo.sdk.velm_api"):
            command.wait_for_finished()
        assert logged.call_count == shown


class TestWaitsThroughTheRealPause:
    def test_validate(self, client, pipeline):
        command = client.validate_pipeline("p").wait_for_validate(timeout_sec=10)
        assert command.response.json()["status"] == "VALID"

    def test_preview_on_the_engine_clock(self, client, engine, pipeline):
        engine.state.previews.step_seconds = 0.3  # CREATED .. FINISHED in 0.9 s, whoever asks
        preview = client.run_pipeline_preview("p", batch_size=2).wait_for_finished(timeout_sec=10).preview
        assert [r["id"] for r in preview.records(ORIGIN)] == [1, 2]
        assert sum(r.path.endswith("/status") for r in engine.requests) == 2  # CREATED at once, FINISHED 1 s on

    def test_connection_validate(self, client, engine):
        engine.state.previews.preview_states = ["RUNNING", "FINISHED"]
        request = {"kind": "CONNECTION", "connection": {"connectionId": "db"}}
        command = client.run_dynamic_pipeline_preview_for_connection(request).wait_for_validate(timeout_sec=10)
        assert velm_models.Preview("x", "y", command.response.json()).records_by_stage["connection"][0].value == {
            "connectionId": "db",
            "reachable": True,
        }
