"""Snapshots: capture, status and data queries, lists, deletion, the capture wait and the snapshot model."""

from __future__ import annotations

import logging
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api, velm_models
from quenlo.sdk.exceptions import BadRequestError, EngineHTTPError, NotFoundError
from quenlo.sdk.simulator import pipeline_definition, sample_stages
from quenlo.sdk.simulator.store import StoredPipeline

ORIGIN = sample_stages()[0]["name"]
STATUS = "/v1/pipeline/p/snapshot/s/status"


@pytest.fixture
def pipeline(engine) -> StoredPipeline:
    return engine.state.pipelines.add(
        StoredPipeline(pipeline_id="p", title="p", definition=pipeline_definition("p", "p", stages=sample_stages()))
    )


def wire(engine) -> list:
    return [(r.method, r.path, r.query) for r in engine.requests]


class TestOperations:
    @pytest.mark.parametrize(
        ("runtime_parameters", "body"), [(None, b"{}"), ({}, b"{}"), ({"limit": 1}, b'{"limit": 1}')]
    )
    def test_capture_snapshot(self, client, engine, pipeline, runtime_parameters, body):
        command = client.capture_snapshot("p", "s", "l", runtime_parameters=runtime_parameters)
        (request,) = engine.requests
        assert (request.method, request.path, request.body) == ("PUT", "/rest/v1/pipeline/p/snapshot/s", body)
        assert request.query == "snapshotLabel=l&rev=0&batches=1&batchSize=10&startPipeline=False"
        assert type(command) is velm_api.SnapshotCommand
        assert (command.pipeline_id, command.snapshot_name, command.snapshot_label) == ("p", "s", "l")
        assert engine.state.snapshots.get("p", "s").runtime_parameters == (runtime_parameters or None)

    def test_capture_keeps_the_callers_ids_whatever_the_engine_answers(self, client, engine):
        engine.inject_fault("PUT", "/v1/pipeline/p/snapshot/s", body={"id": "other", "name": "q", "label": "x"})
        command = client.capture_snapshot("p", "s", "l", 4, 2, 5, True)
        assert (command.pipeline_id, command.snapshot_name, command.snapshot_label) == ("p", "s", "l")
        assert engine.requests[0].query == "snapshotLabel=l&rev=4&batches=2&batchSize=5&startPipeline=True"
        assert [r.method for r in engine.requests] == ["PUT"]  # start_pipeline starts nothing in the client

    def test_lists_and_deletion(self, client, engine, pipeline):
        engine.state.pipelines.add(
            StoredPipeline(
                pipeline_id="other", title="other", definition=pipeline_definition("o", "o", stages=sample_stages())
            )
        )
        client.capture_snapshot("p", "s", "l")
        client.capture_snapshot("other", "t", "m")
        assert [(s["pipelineId"], s["snapshot"]) for s in client.get_snapshots()] == [("p", "s"), ("other", "t")]
        by_pipeline = client.get_snapshots_by_pipeline("p")
        assert type(by_pipeline) is velm_api.Command
        assert [s["snapshot"] for s in by_pipeline.response.json()] == ["s"]

        engine.clear_requests()
        deleted = client.delete_snapshot("p", "s")
        assert type(deleted) is velm_api.Command and deleted.response.content == b""
        assert wire(engine) == [("DELETE", "/rest/v1/pipeline/p/snapshot/s", "rev=0")]
        assert client.get_snapshots_by_pipeline("p").response.json() == []
        with pytest.raises(requests.HTTPError):
            client.get_snapshots_by_pipeline("nowhere")

    def test_get_snapshots_with_an_empty_body_is_an_empty_list(self, client, engine):
        engine.inject_fault("GET", "/v1/pipelines/snapshots", empty=True)
        assert client.get_snapshots() == []
        assert wire(engine) == [("GET", "/rest/v1/pipelines/snapshots", "")]

    @pytest.mark.parametrize(
        ("status", "error"), [(400, EngineHTTPError), (404, NotFoundError), (500, EngineHTTPError)]
    )
    def test_delete_failures_are_not_bad_request_or_internal_errors(self, client, engine, status, error):
        engine.inject_fault("DELETE", "/v1/pipeline/p/snapshot/s", status=status)
        with pytest.raises(requests.HTTPError) as raised:
            client.delete_snapshot("p", "s")
        assert type(raised.value) is error

    def test_status_and_data_queries(self, client, engine, pipeline):
        client.capture_snapshot("p", "s", "l")
        engine.clear_requests()
        status = client.get_snapshot_status("p", "s")
        data = client.get_snapshot_data("p", "s", "l", 1)
        assert type(status) is velm_api.Command and status.response.json()["inProgress"] is True
        assert type(data) is velm_api.SnapshotCommand
        assert (data.pipeline_id, data.snapshot_name, data.snapshot_label) == ("p", "s", "l")
        assert wire(engine) == [
            ("GET", "/rest/v1/pipeline/p/snapshot/s/status", "rev=0"),
            ("GET", "/rest/v1/pipeline/p/snapshot/s", "snapshotLabel=l&rev=1"),
        ]
        with pytest.raises(requests.HTTPError):
            client.get_snapshot_status("p", "nothing")

    def test_engine_refusals(self, client, pipeline):
        with pytest.raises(requests.HTTPError):
            client.capture_snapshot("nowhere", "s", "l")
        with pytest.raises(BadRequestError):  # runtime parameters must be an object
            client.capture_snapshot("p", "s", "l", runtime_parameters=[1])


class TestWaitForFinished:
    def test_waits_while_in_progress_and_logs(self, client, engine, pipeline, no_sleep, caplog):
        command = client.capture_snapshot("p", "s", "l")
        engine.clear_requests()
        with caplog.at_level(logging.DEBUG, logger="quenlo.sdk.velm_api"):
            assert command.wait_for_finished() is command
        assert wire(engine) == [("GET", "/rest" + STATUS, "rev=0")] * 3
        assert no_sleep.call_args_list == [mock.call(1)] * 2
        assert command.response.json()["inProgress"] is False
        logged = [(r.msg, r.args) for r in caplog.records if r.name == "quenlo.sdk.velm_api"]
        assert logged[0] == ("Waiting for snapshot to be captured...", ())
        progress = [args for msg, args in logged if msg == "Pipeline (%s) snapshot (%s) in progress: %s"]
        assert progress == [("p", "s", True), ("p", "s", True), ("p", "s", False)]
        assert logged[-1][0] == "Pipeline (%s) snapshot (%s) complete (took %.2f s)."
        assert logged[-1][1][:2] == ("p", "s")

    @pytest.mark.parametrize(
        ("script", "polls"), [([False], 1), ([None, False], 2), ([0, "", False], 3)], ids=["done", "null", "falsy"]
    )
    def test_only_the_boolean_false_completes(self, client, engine, pipeline, no_sleep, script, polls):
        command = client.capture_snapshot("p", "s", "l")
        engine.state.snapshots.script("p", "s", script)
        engine.clear_requests()
        command.wait_for_finished()
        assert len(engine.requests) == polls and no_sleep.call_count == polls - 1

    def test_empty_status_bodies_are_polled_again_without_a_pause(self, client, engine, pipeline, no_sleep):
        command = client.capture_snapshot("p", "s", "l")
        engine.state.snapshots.script("p", "s", [True, False])
        engine.inject_fault("GET", STATUS, empty=True, count=4)
        engine.clear_requests()
        command.wait_for_finished()
        assert len(engine.requests) == 6 and no_sleep.call_count == 1

    @pytest.mark.parametrize(("kwargs", "seconds"), [({}, 30), ({"timeout_sec": 0}, 0)])
    def test_time_out(self, client, engine, clock, kwargs, seconds):
        engine.inject_fault("GET", STATUS, body={"inProgress": True}, count=None)
        command = velm_api.SnapshotCommand(client, None, "p", "s", "l")
        with pytest.raises(
            TimeoutError,
            match=rf"^Timed out after {seconds} seconds while waiting for status FINISHED \(pipeline p\)\.$",
        ):
            command.wait_for_finished(**kwargs)
        assert len(engine.requests) == seconds

    def test_through_the_real_pause(self, client, engine, pipeline):
        engine.state.snapshots.capture_reads = 1
        command = client.capture_snapshot("p", "s", "l").wait_for_finished(timeout_sec=10)
        assert len(command.snapshot.records(ORIGIN)) == 10


class TestSnapshotModel:
    def test_joins_status_and_data_with_data_winning(self, client, engine):
        engine.inject_fault("GET", STATUS, body={"id": "s", "label": "from status", "inProgress": False})
        engine.inject_fault("GET", "/v1/pipeline/p/snapshot/s", body={"label": "from data", "batches": []})
        command = velm_api.SnapshotCommand(client, None, "p", "s", "l")
        snapshot = command.snapshot
        assert isinstance(snapshot, velm_models.Snapshot) and snapshot.api_client is client
        assert snapshot.to_json() == {"id": "s", "label": "from data", "inProgress": False, "batches": []}
        assert command.response is None  # reading the model changes nothing on the command

    def test_every_read_makes_two_requests_and_a_new_model(self, client, engine, pipeline, no_sleep):
        command = client.capture_snapshot("p", "s", None, batch_size=3).wait_for_finished()
        engine.clear_requests()
        first, second = command.snapshot, command.snapshot
        assert [(m, p.rsplit("/", 1)[-1], q) for m, p, q in wire(engine)] == [
            ("GET", "status", "rev=0"),
            ("GET", "s", "rev=0"),
        ] * 2  # no label was given, so none travels
        assert first is not second
        assert (first.name, first.pipeline_id, first.label, first.in_progress) == ("s", "p", None, False)
        assert [r["id"] for r in first.records(ORIGIN)] == [1, 2, 3]

    def test_model_can_delete_its_snapshot(self, client, engine, pipeline, no_sleep):
        snapshot = client.capture_snapshot("p", "s", "l").wait_for_finished().snapshot
        engine.clear_requests()
        snapshot.delete()
        assert wire(engine) == [("DELETE", "/rest/v1/pipeline/p/snapshot/s", "rev=0")]
        assert client.get_snapshots() == []
