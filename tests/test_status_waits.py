"""PipelineCommand.wait_for_status, get_pipeline_status and the StatusError family, against the simulator."""

from __future__ import annotations

import itertools
import logging
import time
from typing import Any
from unittest import mock

import pytest
import requests

from quenlo.sdk import utils, velm_api
from quenlo.sdk.simulator import MISSING, EngineSimulator

LOGGER = "quenlo.sdk.velm_api"
REACHED = "Pipeline %s reached status %s (took %.2f s)."
POLLED = "Status of pipeline %s is %s ..."


_ids = itertools.count()


@pytest.fixture
def pid() -> str:
    return f"pipe{next(_ids)}"


@pytest.fixture
def log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def lines(caplog: pytest.LogCaptureFixture, template: str) -> list[tuple[Any, ...]]:
    return [r.args for r in caplog.records if r.name == LOGGER and r.msg == template]


def command_for(client, engine: EngineSimulator, pid: str, statuses: list) -> velm_api.PipelineCommand:
    """A command holding the first scripted status; later polls read the rest."""
    engine.script_status(pid, statuses)
    command = client.get_pipeline_status(pid)
    engine.clear_requests()
    return command


class TestReaching:
    def test_already_there_returns_without_request_or_sleep(self, client, engine, pid, clock, log):
        command = command_for(client, engine, pid, ["RUNNING"])
        first = command.response
        assert command.wait_for_status("RUNNING") is None
        assert engine.requests == [] and clock.sleeps == []
        assert command.response is first
        assert lines(log, "Waiting for status %s ...") == [("RUNNING",)]
        (reached,) = [r for r in log.records if r.msg == REACHED]
        assert reached.levelno == logging.INFO
        assert reached.getMessage() == f"Pipeline {pid} reached status RUNNING (took 0.00 s)."

    def test_polls_once_a_second_and_keeps_the_last_response(self, client, engine, pid, clock, log):
        command = command_for(client, engine, pid, ["STARTING", "STARTING", "RUNNING", "FINISHED"])
        first = command.response
        command.wait_for_status("RUNNING")

        assert clock.sleeps == [1, 1]
        assert [(r.method, r.path, r.query) for r in engine.requests] == [
            ("GET", f"/rest/v1/pipeline/{pid}/status", "rev=0")
        ] * 2
        assert command.response is not first
        assert command.response.json()["status"] == "RUNNING"
        assert lines(log, POLLED) == [(pid, "STARTING"), (pid, "STARTING"), (pid, "RUNNING")]
        assert [r.getMessage() for r in log.records if r.msg == REACHED] == [
            f"Pipeline {pid} reached status RUNNING (took 2.00 s)."
        ]

    def test_list_of_statuses_ends_at_the_first_seen(self, client, engine, pid, clock, log):
        command = command_for(client, engine, pid, ["STARTING", "STOPPED", "FINISHED"])
        command.wait_for_status(["FINISHED", "STOPPED"])
        assert len(engine.requests) == 1
        assert lines(log, REACHED) == [(pid, "STOPPED", 1.0)]
        assert lines(log, "Waiting for status %s ...") == [(["FINISHED", "STOPPED"],)]

    def test_list_subclass_is_searched(self, client, engine, pid, clock):
        class Statuses(list):
            pass

        command = command_for(client, engine, pid, ["FINISHED"])
        command.wait_for_status(Statuses(["STOPPED", "FINISHED"]))
        assert engine.requests == []

    def test_tuple_is_compared_whole_and_never_matches(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STOPPED"])
        with pytest.raises(Exception) as raised:
            command.wait_for_status(("FINISHED", "STOPPED"), timeout_sec=2)
        assert str(raised.value) == (
            f"Timed out after 2 seconds while waiting for status ('FINISHED', 'STOPPED') (pipeline {pid})."
        )
        assert len(engine.requests) == 2

    def test_name_stands_in_for_a_missing_pipeline_id(self, client, engine, pid, clock, log):
        alias = pid + "-alias"
        command = command_for(client, engine, pid, [{"pipelineId": MISSING, "name": alias, "status": "STARTING"}])
        engine.script_status(alias, [{"pipelineId": MISSING, "status": "FINISHED"}])
        command.wait_for_status("FINISHED")
        assert [r.path for r in engine.requests] == [f"/rest/v1/pipeline/{alias}/status"]
        assert lines(log, POLLED) == [(alias, "STARTING"), (alias, "FINISHED")]
        assert lines(log, REACHED)[0][:2] == (alias, "FINISHED")

    def test_polls_pass_only_the_pipeline_id_by_position(self, engine, pid, clock):
        calls = []

        class Recording(velm_api.ApiClient):
            def get_pipeline_status(self, *args, **kwargs):
                calls.append((args, kwargs))
                return super().get_pipeline_status(*args, **kwargs)

        client = Recording(engine.url)
        command = command_for(client, engine, pid, ["STARTING", "RUNNING"])
        calls.clear()
        command.wait_for_status("RUNNING")
        assert calls == [((pid,), {})]

    def test_through_the_real_one_second_pause(self, client, engine, pid, log):
        command = command_for(client, engine, pid, ["STARTING", "RUNNING"])
        started = time.monotonic()
        command.wait_for_status("RUNNING", timeout_sec=10)
        assert 1.0 <= time.monotonic() - started < 5
        (reached,) = lines(log, REACHED)
        assert reached[2] >= 1.0


class TestErrors:
    @pytest.mark.parametrize(
        ("status", "error"),
        [
            ("START_ERROR", "StartError"),
            ("RUNNING_ERROR", "RunningError"),
            ("RUN_ERROR", "RunError"),
            ("CONNECT_ERROR", "ConnectError"),
        ],
    )
    def test_error_status_raises_its_class(self, client, engine, pid, clock, status, error):
        command = command_for(client, engine, pid, ["STARTING", {"status": status, "message": "disk full"}])
        with pytest.raises(velm_api.StatusError) as raised:
            command.wait_for_status("RUNNING")
        assert type(raised.value) is getattr(velm_api, error)
        assert (raised.value.message, raised.value.pipeline_id) == ("disk full", pid)
        assert str(raised.value) == f"Pipeline {pid} is in status {status}: disk full"
        assert raised.value.response["status"] == status
        assert raised.value.response == command.response.json()
        assert len(engine.requests) == 1

    def test_error_in_the_first_response_raises_without_polling(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, [{"status": "START_ERROR", "message": "no stage"}])
        with pytest.raises(velm_api.StartError):
            command.wait_for_status("RUNNING")
        assert engine.requests == [] and clock.sleeps == []

    def test_record_without_message_still_raises_its_class(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, [{"status": "RUN_ERROR", "message": MISSING}])
        with pytest.raises(velm_api.RunError) as raised:
            command.wait_for_status("RUNNING")
        assert raised.value.message is None
        assert "message" not in raised.value.response

    def test_ignore_errors_polls_past_them(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "RUN_ERROR", "START_ERROR", "RUNNING"])
        command.wait_for_status("RUNNING", ignore_errors=True)
        assert len(engine.requests) == 3
        assert command.response.json()["status"] == "RUNNING"

    @pytest.mark.parametrize("ignore_errors", [False, True])
    def test_waiting_for_an_error_status_ends_normally(self, client, engine, pid, clock, ignore_errors):
        command = command_for(client, engine, pid, ["STARTING", "RUN_ERROR"])
        command.wait_for_status("RUN_ERROR", ignore_errors=ignore_errors)
        assert command.response.json()["status"] == "RUN_ERROR"

    def test_table_is_consulted_at_the_moment_of_use(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["PAUSED"])
        table = {**velm_api.PipelineCommand.ERROR_STATUSES, "PAUSED": velm_api.ConnectError}
        with mock.patch.object(velm_api.PipelineCommand, "ERROR_STATUSES", table), pytest.raises(velm_api.ConnectError):
            command.wait_for_status("RUNNING")

    def test_http_failure_of_a_poll_propagates_and_keeps_the_response(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "RUNNING"])
        first = command.response
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=503)
        with pytest.raises(requests.HTTPError) as raised:
            command.wait_for_status("RUNNING")
        assert raised.value.response.status_code == 503
        assert command.response is first

    @pytest.mark.parametrize(
        "record",
        [{"status": MISSING}, {"pipelineId": MISSING, "name": MISSING}],
        ids=["no status", "no id"],
    )
    def test_record_missing_keys_fails_with_key_error(self, client, engine, pid, clock, record):
        command = command_for(client, engine, pid, [{"status": "STARTING", **record}])
        with pytest.raises(KeyError):
            command.wait_for_status("RUNNING")

    def test_body_that_is_not_json_fails(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=200, not_json=True)
        with pytest.raises(ValueError):
            command.wait_for_status("RUNNING")


class TestTimeOut:
    @pytest.mark.parametrize("timeout", [0, -5])
    def test_no_time_left_raises_without_reading(self, client, timeout):
        response = mock.Mock()
        response.json.return_value = {"pipelineId": "p", "status": "RUNNING"}
        command = velm_api.PipelineCommand(client, response)
        with pytest.raises(Exception) as raised:
            command.wait_for_status("RUNNING", timeout_sec=timeout)
        assert type(raised.value) is velm_api.WaitTimeoutError
        assert str(raised.value) == f"Timed out after {timeout} seconds while waiting for status RUNNING."
        assert (raised.value.timeout_sec, raised.value.last_status, raised.value.pipeline_id) == (timeout, None, None)
        assert raised.value.response is response
        response.json.assert_not_called()

    @pytest.mark.parametrize(
        ("timeout", "status", "text"),
        [
            (3, "RUNNING", "Timed out after 3 seconds while waiting for status RUNNING (pipeline {})."),
            (2.5, ["A", "B"], "Timed out after 2.5 seconds while waiting for status ['A', 'B'] (pipeline {})."),
        ],
    )
    def test_deadline_passed(self, client, engine, pid, clock, timeout, status, text):
        command = command_for(client, engine, pid, ["STARTING", "STARTING", "STARTING", {"status": "STARTING"}])
        with pytest.raises(Exception) as raised:
            command.wait_for_status(status, timeout_sec=timeout)
        assert type(raised.value) is velm_api.WaitTimeoutError
        assert str(raised.value) == text.format(pid) and raised.value.pipeline_id == pid
        assert raised.value.last_status == "STARTING" and raised.value.elapsed == 3
        # One poll per started second; the deadline is only tested between cycles.
        assert len(engine.requests) == len(clock.sleeps) == 3
        assert command.response.json()["status"] == "STARTING"

    def test_each_wait_starts_its_clock_afresh(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "STARTING", "STARTING", "RUNNING"])
        with pytest.raises(Exception, match="^Timed out after 1 seconds"):
            command.wait_for_status("RUNNING", timeout_sec=1)
        command.wait_for_status("RUNNING", timeout_sec=5)
        assert command.response.json()["status"] == "RUNNING"


class TestGetPipelineStatus:
    def test_hands_all_arguments_to_get_params(self, client, engine, pid):
        engine.script_status(pid, ["RUNNING"])
        with mock.patch.object(velm_api, "get_params", wraps=utils.get_params) as get_params:
            command = client.get_pipeline_status(pid)
        get_params.assert_called_once_with(
            parameters={"self": client, "pipeline_id": pid, "rev": 0, "only_if_exists": None},
            exclusions=("self", "pipeline_id"),
        )
        assert type(command) is velm_api.PipelineCommand
        assert command.api_client is client
        assert command.response.json()["status"] == "RUNNING"
        assert (engine.requests[0].path, engine.requests[0].query) == (f"/rest/v1/pipeline/{pid}/status", "rev=0")

    @pytest.mark.parametrize(
        ("kwargs", "query"),
        [({"rev": 4}, "rev=4"), ({"only_if_exists": True}, "rev=0&onlyIfExists=True")],
    )
    def test_query_carries_rev_and_only_if_exists_never_the_id(self, client, engine, pid, kwargs, query):
        engine.script_status(pid, ["RUNNING"])
        client.get_pipeline_status(pid, **kwargs)
        assert engine.requests[0].query == query

    def test_unknown_pipeline(self, client, engine):
        with pytest.raises(requests.HTTPError) as raised:
            client.get_pipeline_status("nowhere")
        assert raised.value.response.status_code == 404
        empty = client.get_pipeline_status("nowhere", only_if_exists=True)
        assert empty.response.content == b""


def test_a_wait_that_ignores_errors_given_none_raises_them(engine, client, clock):
    engine.script_status("p1", ["RUN_ERROR"])
    command = client.get_pipeline_status("p1")
    with pytest.raises(velm_api.RunError):
        command.wait_for_status("FINISHED", ignore_errors=None)


class Held:
    """A held status answer, so that a wait starts without a request."""

    def json(self) -> dict[str, str]:
        return {"pipelineId": "p1", "status": "RUNNING"}


class TestRaisingWhatIsNoException:
    def test_an_error_status_table_entry_that_returns_text(self, engine, client, clock):
        engine.script_status("p1", ["RUN_ERROR"])
        command = client.get_pipeline_status("p1")
        with mock.patch.dict(velm_api.PipelineCommand.ERROR_STATUSES, {"RUN_ERROR": lambda record: "failed"}):
            with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
                command.wait_for_status("FINISHED")

    def test_an_error_class_given_as_a_class_is_raised_as_python_would(self, engine, client, clock):
        # `raise error(record)` where the call returns a class: Python instantiates the class.
        engine.script_status("p1", ["RUN_ERROR"])
        command = client.get_pipeline_status("p1")
        with mock.patch.dict(velm_api.PipelineCommand.ERROR_STATUSES, {"RUN_ERROR": lambda record: KeyError}):
            with pytest.raises(KeyError):
                command.wait_for_status("FINISHED")


class TestConversions:
    @pytest.mark.parametrize(
        ("now", "error"),
        [("soon", TypeError), (None, TypeError), (10**400, OverflowError)],
        ids=["text", "None", "int-past-float"],
    )
    @pytest.mark.parametrize(
        "wait",
        [
            lambda c: velm_api.PipelineCommand(c, Held()).wait_for_status("FINISHED"),
            lambda c: velm_api.StartPipelineCommand(c, Held()).wait_for_pipeline_batch_count(1),
            lambda c: velm_api.PreviewCommand(c, None, "p1", "v1").wait_for_finished(),
            lambda c: velm_api.SnapshotCommand(c, None, "p1", "s1", None).wait_for_finished(),
        ],
        ids=["status", "counter", "preview", "snapshot"],
    )
    def test_a_clock_that_gives_no_number(self, engine, client, wait, now, error):
        # With the logger on, logging itself reads the patched clock for its record; the wait's own read is
        # what is under test.
        with mock.patch.object(velm_api.logger, "disabled", True), mock.patch("time.time", return_value=now):
            with pytest.raises(error):
                wait(client)
        assert engine.requests == []
