"""The steerable wait() of the command classes, and the one time-out exception of every wait, against the
simulator. Most tests run on the fake clock; the end-to-end ones through real short pauses."""

from __future__ import annotations

import copy
import inspect
import itertools
import math
import pickle
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any, Callable

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import EngineHTTPError, InternalServerError, NotFoundError, ServiceUnavailableError
from quenlo.sdk.simulator import EngineSimulator, pipeline_definition, sample_pipeline, sample_stages
from quenlo.sdk.simulator.store import StoredPipeline


@pytest.fixture(scope="module")
def shared_engine() -> Iterator[EngineSimulator]:
    with EngineSimulator() as simulator:
        yield simulator


@pytest.fixture
def engine(shared_engine: EngineSimulator) -> Iterator[EngineSimulator]:
    shared_engine.clear_faults()
    shared_engine.clear_requests()
    yield shared_engine
    shared_engine.clear_faults()


_ids = itertools.count()


@pytest.fixture
def pid() -> str:
    return f"wait{next(_ids)}"


@pytest.fixture
def pipeline(engine, pid) -> str:
    engine.state.pipelines.add(
        StoredPipeline(pipeline_id=pid, title=pid, definition=pipeline_definition(pid, pid, stages=sample_stages()))
    )
    return pid


def command_for(client, engine, pid, statuses, cls=velm_api.StartPipelineCommand):
    """A pipeline command holding the first scripted status; its polls read the rest."""
    engine.script_status(pid, statuses)
    command = cls(client, client.get_pipeline_status(pid).response)
    engine.clear_requests()
    return command


def status_reads(engine) -> int:
    return sum(r.path.endswith("/status") for r in engine.requests)


class TestPipelineTargets:
    @pytest.mark.parametrize(
        ("cls", "statuses", "until"),
        [
            (velm_api.StartPipelineCommand, ["STARTING", "RUNNING", "RUNNING", "FINISHED"], None),
            (velm_api.StopPipelineCommand, ["STOPPING", "STOPPING", "STOPPING", "STOPPED"], None),
            (velm_api.PipelineCommand, ["STARTING", "STARTING", "STARTING", "RUNNING"], "RUNNING"),
            (velm_api.PipelineCommand, ["STARTING", "STARTING", "STARTING", "STOPPED"], ("FINISHED", "STOPPED")),
            (velm_api.PipelineCommand, ["STARTING", "STARTING", "STARTING", "RUN_ERROR"], {"RUN_ERROR"}),
        ],
    )
    def test_returns_the_record_of_the_target(self, client, engine, pid, clock, cls, statuses, until):
        command = command_for(client, engine, pid, statuses, cls)
        record = command.wait(until)
        assert record == command.response.json() and record["status"] == statuses[-1]
        assert status_reads(engine) == 3 and clock.sleeps == [1.0, 1.0, 1.0]

    def test_a_pipeline_command_needs_a_target(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["RUNNING"], velm_api.PipelineCommand)
        with pytest.raises(TypeError, match="until"):
            command.wait()
        assert engine.requests == []


class TestEndingEarly:
    @pytest.mark.parametrize(
        ("cls", "until", "final"),
        [
            (velm_api.StartPipelineCommand, None, "STOPPED"),
            (velm_api.StopPipelineCommand, None, "FINISHED"),
            (velm_api.PipelineCommand, "RUNNING", "FINISHED"),
        ],
    )
    def test_another_final_state_ends_the_wait_at_once(self, client, engine, pid, clock, cls, until, final):
        ended = {"status": final, "message": "by ops"}
        command = command_for(client, engine, pid, ["STARTING", "STARTING", ended, "RUNNING"], cls)
        with pytest.raises(velm_api.UnexpectedStatusError) as raised:
            command.wait(until)
        error = raised.value
        assert isinstance(error, velm_api.StatusError)
        assert error.status == final and error.response == command.response.json()
        assert f"Pipeline {pid} reached status {final} while waiting for status" in str(error)
        assert str(error).endswith(": by ops") and error.message == "by ops"
        assert status_reads(engine) == 2

    @pytest.mark.parametrize(
        ("status", "error"),
        [
            ("START_ERROR", velm_api.StartError),
            ("RUN_ERROR", velm_api.RunError),
            ("CONNECT_ERROR", velm_api.ConnectError),
        ],
    )
    def test_error_statuses_raise_their_status_error(self, client, engine, pid, clock, status, error):
        command = command_for(client, engine, pid, ["STARTING", {"status": status, "message": "disk full"}])
        with pytest.raises(velm_api.StatusError) as raised:
            command.wait(stop_on=())
        assert type(raised.value) is error and raised.value.message == "disk full"
        assert (
            raised.value.pipeline_id == pid and str(raised.value) == f"Pipeline {pid} is in status {status}: disk full"
        )

    def test_stop_on_replaces_the_default_set(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "STOPPED", "PAUSED", "FINISHED"])
        with pytest.raises(velm_api.UnexpectedStatusError) as raised:
            command.wait(stop_on=["PAUSED"])
        assert raised.value.status == "PAUSED" and status_reads(engine) == 2
        command = command_for(client, engine, pid, ["STARTING", "STOPPED", "STOPPED"])
        with pytest.raises(velm_api.WaitTimeoutError):
            command.wait(stop_on=(), timeout_sec=3)

    @pytest.mark.parametrize("clone", [pickle.loads, copy.copy], ids=["pickle", "copy"])
    def test_the_error_keeps_its_message_and_the_engines_text_when_pickled(self, client, engine, pid, clock, clone):
        ended = {"status": "STOPPED", "message": "stopped by the night shift"}
        command = command_for(client, engine, pid, ["STARTING", ended])
        with pytest.raises(velm_api.UnexpectedStatusError) as raised:
            command.wait()
        error = raised.value
        copied = clone(pickle.dumps(error)) if clone is pickle.loads else clone(error)
        assert type(copied) is velm_api.UnexpectedStatusError
        assert (
            str(copied)
            == str(error)
            == (f"Pipeline {pid} reached status STOPPED while waiting for status FINISHED: stopped by the night shift")
        )
        assert (copied.status, copied.message, copied.response) == (
            "STOPPED",
            "stopped by the night shift",
            error.response,
        )


class TestPacing:
    @pytest.mark.parametrize("backoff", [1, 3])
    def test_the_first_pause_is_capped_by_the_ceiling_too(self, client, engine, pid, clock, backoff):
        command = command_for(client, engine, pid, ["STARTING"] * 3 + ["FINISHED"])
        command.wait(poll_interval=5, backoff=backoff, max_interval=2)
        assert clock.sleeps == [2, 2, 2]

    @pytest.mark.parametrize("name", ["timeout_sec", "poll_interval", "backoff", "max_interval"])
    def test_a_flag_is_not_a_number_of_seconds(self, client, engine, pid, clock, name):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        with pytest.raises(TypeError, match=f"^{name} must be a number of seconds, not True$"):
            command.wait(**{name: True})
        assert engine.requests == []

    def test_back_off_grows_to_the_ceiling(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING"] * 7 + ["FINISHED"])
        command.wait(poll_interval=1, backoff=2, max_interval=5)
        assert clock.sleeps == [1, 2, 4, 5, 5, 5, 5]

    def test_the_deadline_cuts_the_last_pause_and_raises(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING"])
        with pytest.raises(TimeoutError) as raised:
            command.wait(timeout_sec=2.5)
        error = raised.value
        assert type(error) is velm_api.WaitTimeoutError
        assert str(error) == f"Timed out after 2.5 seconds while waiting for status FINISHED (pipeline {pid})."
        assert (error.timeout_sec, error.elapsed, error.last_status) == (2.5, 2.5, "STARTING")
        assert error.response is command.response and error.__cause__ is None
        assert clock.sleeps == [1, 1, 0.5] and status_reads(engine) == 2

    @pytest.mark.parametrize(
        ("cls", "timeout", "other_waits"),
        [
            (velm_api.PipelineCommand, 300, ["wait_for_status"]),
            (velm_api.StartPipelineCommand, 300, ["wait_for_finished", "wait_for_counters_metric"]),
            (
                velm_api.StartPipelineCommand,
                300,
                ["wait_for_pipeline_batch_count", "wait_for_pipeline_error_records_count"],
            ),
            (velm_api.StopPipelineCommand, 300, ["wait_for_stopped"]),
            (velm_api.ValidateCommand, 60, ["wait_for_validate"]),
            (velm_api.PreviewCommand, 30, ["wait_for_finished"]),
            (velm_api.ConnectionValidateCommand, 120, ["wait_for_validate"]),
            (velm_api.SnapshotCommand, 30, ["wait_for_finished"]),
        ],
    )
    def test_a_class_s_waits_share_its_time_out(self, cls, timeout, other_waits):
        defaults = {inspect.signature(getattr(cls, name)).parameters["timeout_sec"].default for name in other_waits}
        assert defaults == {timeout} and f"\nTime-out {timeout} s.\n" in cls.wait.__doc__

    @pytest.mark.parametrize(
        ("make", "timeout", "requests_made"),
        [
            (lambda c, p: velm_api.PreviewCommand(c, None, p, "r"), 30, 30),
            (lambda c, p: velm_api.ValidateCommand(c, None, p, "r"), 60, 60),
            (lambda c, p: velm_api.ConnectionValidateCommand(c, None, p, "r"), 120, 120),
        ],
        ids=["preview", "validate", "connection"],
    )
    def test_default_time_outs_are_those_of_the_other_waits(self, client, engine, clock, make, timeout, requests_made):
        command = make(client, "p")
        engine.inject_fault("GET", "/v1/pipeline/p/preview/r/status", body={"status": "RUNNING"}, count=None)
        with pytest.raises(velm_api.WaitTimeoutError, match=f"^Timed out after {timeout} seconds"):
            command.wait()
        assert sum(clock.sleeps) == timeout and len(engine.requests) == requests_made

    @pytest.mark.parametrize(
        ("kwargs", "error"),
        [
            ({"poll_interval": 0}, ValueError),
            *[({name: math.nan}, ValueError) for name in ("timeout_sec", "poll_interval", "backoff", "max_interval")],
            ({"backoff": 0.5}, ValueError),
            ({"max_interval": -1}, ValueError),
            ({"timeout_sec": "3"}, TypeError),
            ({"until": 5}, TypeError),
            ({"until": ["FINISHED", None]}, TypeError),
            ({"until": []}, ValueError),
            ({"stop_on": 3}, TypeError),
            ({"on_progress": "print"}, TypeError),
            ({"cancel": True}, TypeError),
        ],
    )
    def test_bad_arguments_are_refused_before_any_request(self, client, engine, pid, clock, kwargs, error):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        with pytest.raises(error):
            command.wait(**kwargs)
        assert engine.requests == [] and clock.sleeps == []


class TestProgressAndCancel:
    def test_progress_reports_every_status_read(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "RUNNING", "FINISHED"])
        events: list[velm_api.WaitProgress] = []
        command.wait(on_progress=events.append, timeout_sec=100)
        assert [(e.status, e.polls, e.elapsed, e.remaining) for e in events] == [
            ("STARTING", 0, 0, 100),
            ("RUNNING", 1, 1, 99),
            ("FINISHED", 2, 2, 98),
        ]
        assert events[-1].record == command.response.json()
        assert repr(events[1]) == "WaitProgress(status='RUNNING', elapsed=1.00, remaining=99.00, polls=1)"

    def test_what_the_callback_raises_ends_the_wait(self, client, engine, pid, clock):
        class Enough(Exception):
            pass

        def on_progress(event: velm_api.WaitProgress) -> None:
            if event.status == "RUNNING":
                raise Enough

        command = command_for(client, engine, pid, ["STARTING", "RUNNING", "FINISHED"])
        with pytest.raises(Enough):
            command.wait(on_progress=on_progress)
        assert status_reads(engine) == 1

    def test_cancel_ends_the_wait_and_keeps_the_last_response(self, client, engine, pid, clock):
        cancel = threading.Event()
        command = command_for(client, engine, pid, ["STARTING", "RUNNING", "FINISHED"])

        def on_progress(event: velm_api.WaitProgress) -> None:
            if event.status == "RUNNING":
                cancel.set()

        with pytest.raises(velm_api.WaitCancelledError, match="last status: RUNNING"):
            command.wait(on_progress=on_progress, cancel=cancel)
        assert command.response.json()["status"] == "RUNNING"
        assert status_reads(engine) == 1 and clock.sleeps == [1]

    def test_cancel_from_another_thread_within_one_interval(self, client, engine, pid):
        command = command_for(client, engine, pid, ["STARTING"])
        cancel = threading.Event()
        timer = threading.Timer(0.3, cancel.set)
        timer.start()
        started = time.monotonic()
        with pytest.raises(velm_api.WaitCancelledError):
            command.wait(poll_interval=0.2, cancel=cancel)
        assert 0.3 <= time.monotonic() - started < 0.3 + 0.2 + 0.3
        timer.join()


class TestTransientFailures:
    @pytest.mark.parametrize("status", [502, 503, 504])
    def test_gateway_answers_are_polled_through(self, client, engine, pid, clock, status):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=status, count=2)
        events: list[Any] = []
        assert command.wait(on_progress=events.append)["status"] == "FINISHED"
        assert len(engine.requests) == 3 and clock.sleeps == [1, 1, 1]
        assert [e.polls for e in events] == [0, 3]

    def test_a_gateway_answer_too_deep_to_read_is_polled_through(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        deep = b'{"message": "busy", "a": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=503, body=deep)
        assert command.wait()["status"] == "FINISHED" and len(engine.requests) == 2

    def test_a_read_time_out_is_polled_through(self, engine, pid, clock):
        client = velm_api.ApiClient(engine.url, timeout=0.2)
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", delay=math.inf)
        assert command.wait()["status"] == "FINISHED"
        assert len(engine.requests) == 2

    @pytest.mark.parametrize("wait", ["wait", "wait_for_status"])
    def test_a_retry_after_never_holds_a_poll_past_the_deadline(self, engine, pid, clock, wait):
        client = velm_api.ApiClient(engine.url, retries=2)
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        engine.inject_fault(
            "GET", f"/v1/pipeline/{pid}/status", status=503, count=None, headers={"Retry-After": "3600"}
        )
        started = clock.now
        # The steerable wait polls through to its deadline; the classic one raises the failed poll.
        with pytest.raises(velm_api.WaitTimeoutError if wait == "wait" else ServiceUnavailableError):
            getattr(command, wait)("FINISHED", timeout_sec=4)
        assert clock.now - started <= 4 and clock.sleeps[:2] == [1, 3]

    def test_failing_to_the_deadline_names_the_failure_as_cause(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=503, count=None)
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            command.wait(timeout_sec=4)
        assert type(raised.value.__cause__) is ServiceUnavailableError
        # The held answer at 0 s, then a failed poll at 1, 2 and 3 s; the deadline at 4 s.
        assert raised.value.last_status == "STARTING" and len(engine.requests) == 3
        assert raised.value.last_failure is raised.value.__cause__
        assert str(raised.value).startswith(
            f"Timed out after 4 seconds while waiting for status FINISHED (pipeline {pid}; last failure: "
            "ServiceUnavailableError: 503 SERVICE UNAVAILABLE for GET http://"
        )

    def test_the_time_out_names_the_latest_failure_as_cause(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        path = f"/v1/pipeline/{pid}/status"
        engine.inject_fault("GET", path, status=503, count=1)
        engine.inject_fault("GET", path, status=502, count=None)
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            command.wait(timeout_sec=4)
        cause = raised.value.__cause__
        assert isinstance(cause, EngineHTTPError) and cause.response.status_code == 502
        assert len(engine.requests) == 3

    def test_the_time_out_names_a_refused_connection_in_the_sockets_words(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING"])
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            client.server_url = "http://u:pw-9@%s:%d" % unused.getsockname()
            with pytest.raises(velm_api.WaitTimeoutError) as raised:
                command.wait(timeout_sec=2)
        assert str(raised.value).endswith(f"(pipeline {pid}; last failure: ConnectionError: Connection refused).")

    def test_a_failure_followed_by_a_status_is_named_but_is_not_the_cause(self, client, engine, pid, clock):
        command = command_for(client, engine, pid, ["STARTING"])
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=503, count=1)
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            command.wait(timeout_sec=4)
        assert raised.value.__cause__ is None and raised.value.last_status == "STARTING"
        assert type(raised.value.last_failure) is ServiceUnavailableError
        raised.value.last_status = threading.Lock()  # what cannot cross a process boundary stays behind
        copied = pickle.loads(pickle.dumps(raised.value))
        assert str(copied) == str(raised.value) and (copied.pipeline_id, copied.elapsed) == (pid, 4)
        assert type(copied.last_failure) is ServiceUnavailableError and copied.last_status is None

    @pytest.mark.parametrize(("status", "error"), [(404, NotFoundError), (500, InternalServerError)])
    def test_other_http_errors_end_the_wait(self, client, engine, pid, clock, status, error):
        command = command_for(client, engine, pid, ["STARTING", "FINISHED"])
        held = command.response
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/status", status=status)
        with pytest.raises(error):
            command.wait()
        assert command.response is held and len(engine.requests) == 1


def previewer_status(command) -> str:
    return f"/v1/pipeline/{command.pipeline_id}/preview/{command.previewer_id}/status"


class TestPreviewsAndSnapshots:
    @pytest.mark.parametrize(
        ("start", "states", "until", "outcome"),
        [
            ("preview", ["VALIDATING", "INVALID"], None, "INVALID"),
            ("preview", ["RUNNING", "RUN_ERROR"], None, "RUN_ERROR"),
            ("validate", ["VALIDATING", "INVALID"], None, "INVALID"),
            ("validate", ["VALIDATING", "INVALID"], ("VALID", "INVALID"), None),
            ("validate", ["VALIDATING", "VALIDATING", "VALID"], None, None),
            ("connection", ["RUNNING", "INVALID"], None, "INVALID"),
        ],
    )
    def test_final_states(self, client, engine, pipeline, clock, start, states, until, outcome):
        command = {
            "preview": lambda: client.run_pipeline_preview(pipeline),
            "validate": lambda: client.validate_pipeline(pipeline),
            "connection": lambda: client.run_dynamic_pipeline_preview_for_connection({"kind": "PIPELINE"}),
        }[start]()
        engine.state.previews.script(command.previewer_id, states)
        if outcome is None:
            assert command.wait(until)["status"] == states[-1]
        else:
            with pytest.raises(velm_api.UnexpectedStatusError) as raised:
                command.wait(until)
            assert raised.value.status == outcome and command.previewer_id in str(raised.value)
            assert raised.value.pipeline_id == command.pipeline_id and command.pipeline_id in str(raised.value)

    def test_a_run_s_record_need_not_name_its_pipeline(self, client, engine, pipeline, clock):
        # The run's own command knows its pipeline: a status record without pipelineId still ends as the run's.
        command = client.run_pipeline_preview(pipeline)
        engine.inject_fault("GET", previewer_status(command), body={"status": "RUN_ERROR"}, count=None)
        with pytest.raises(velm_api.UnexpectedStatusError) as raised:
            command.wait()
        assert raised.value.pipeline_id == pipeline and f"of pipeline {pipeline} reached" in str(raised.value)

    def test_empty_status_answers_are_polled_after_the_interval(self, client, engine, pipeline, clock):
        command = client.run_pipeline_preview(pipeline)
        engine.state.previews.script(command.previewer_id, ["FINISHED"])
        engine.inject_fault("GET", previewer_status(command), empty=True, count=2)
        assert command.wait(poll_interval=0.5)["status"] == "FINISHED"
        assert clock.sleeps == [0.5, 0.5]

    def test_snapshot_status_is_derived_from_in_progress(self, client, engine, pipeline, clock):
        command = client.capture_snapshot(pipeline, "s", "label")
        engine.state.snapshots.script(pipeline, "s", [True, None, False])
        events: list[Any] = []
        record = command.wait(on_progress=events.append)
        assert record["inProgress"] is False and record == command.response.json()
        assert [e.status for e in events] == ["IN_PROGRESS", "IN_PROGRESS", "FINISHED"]


END_TO_END: dict[str, Callable[..., Any]] = {
    "start": lambda c, e, p: command_for(c, e, p, ["STARTING", "FINISHED"]),
    "stop": lambda c, e, p: command_for(c, e, p, ["STOPPING", "STOPPED"], velm_api.StopPipelineCommand),
    "validate": lambda c, e, p: c.validate_pipeline(p),
    "preview": lambda c, e, p: c.run_pipeline_preview(p),
    "connection": lambda c, e, p: c.run_dynamic_pipeline_preview_for_connection({"kind": "PIPELINE"}),
    "snapshot": lambda c, e, p: c.capture_snapshot(p, "s", "label"),
}


@pytest.mark.parametrize("kind", list(END_TO_END))
def test_each_wait_end_to_end_through_real_pauses(client, engine, pipeline, kind):
    command = END_TO_END[kind](client, engine, pipeline)
    started = time.monotonic()
    record = command.wait(poll_interval=0.05)
    assert record == command.response.json()
    assert 0.05 <= time.monotonic() - started < 2


def test_a_run_stopped_by_someone_else_ends_the_wait_within_one_poll(client, engine, pipeline):
    engine.state.pipelines.import_pipeline(pipeline + "-run", sample_pipeline(pipeline + "-run", pipeline))
    engine.state.runs.configure(pipeline + "-run", batches=None, start_delay=0, stop_delay=0)
    command = client.start_pipeline(pipeline + "-run")
    stopped_at: list[float] = []

    def stop() -> None:
        velm_api.ApiClient(engine.url).stop_pipeline(pipeline + "-run")
        stopped_at.append(time.monotonic())

    timer = threading.Timer(0.3, stop)
    timer.start()
    with pytest.raises(velm_api.UnexpectedStatusError) as raised:
        command.wait(poll_interval=0.2)
    ended = time.monotonic()
    timer.join()
    assert raised.value.status == "STOPPED"
    assert ended - stopped_at[0] <= 0.2 + 0.1


class TestOneTimeOutException:
    """Every wait's time-out is a WaitTimeoutError: caught as TimeoutError, and as the Exception it was."""

    @pytest.mark.parametrize(
        ("cls", "wait"),
        [
            (velm_api.PipelineCommand, lambda c: c.wait_for_status("FINISHED", timeout_sec=2)),
            (velm_api.StartPipelineCommand, lambda c: c.wait_for_finished(timeout_sec=2)),
            (velm_api.StopPipelineCommand, lambda c: c.wait_for_stopped(timeout_sec=2)),
            (velm_api.StartPipelineCommand, lambda c: c.wait_for_pipeline_batch_count(10**9, timeout_sec=2)),
        ],
        ids=["wait_for_status", "wait_for_finished", "wait_for_stopped", "counters"],
    )
    def test_pipeline_waits(self, client, engine, pid, clock, cls, wait):
        command = command_for(client, engine, pid, ["STARTING", "RUNNING"], cls)
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/metrics", body={"counters": {}}, count=None)
        with pytest.raises(TimeoutError) as raised:
            wait(command)
        error = raised.value
        assert type(error) is velm_api.WaitTimeoutError and isinstance(error, Exception)
        assert (error.timeout_sec, error.elapsed, error.last_status) == (2, 2, "RUNNING")
        assert error.response is command.response
        assert error.pipeline_id == pid and f"(pipeline {pid})" in str(error) and error.last_failure is None

    def test_the_snapshot_wait_reads_no_status(self, client, engine, pipeline, clock):
        command = client.capture_snapshot(pipeline, "s", "label")
        engine.state.snapshots.script(pipeline, "s", [True])
        with pytest.raises(TimeoutError) as raised:
            command.wait_for_finished(timeout_sec=3)
        assert type(raised.value) is velm_api.WaitTimeoutError and raised.value.last_status is None
        assert raised.value.response is command.response and raised.value.elapsed == 3
        assert raised.value.pipeline_id == pipeline and f"(pipeline {pipeline})" in str(raised.value)

    @pytest.mark.parametrize("start", ["preview", "snapshot"])
    def test_a_steerable_wait_of_a_run_names_its_pipeline(self, client, engine, pipeline, clock, start):
        if start == "preview":
            command = client.run_pipeline_preview(pipeline)
            engine.state.previews.script(command.previewer_id, ["RUNNING"])
        else:
            command = client.capture_snapshot(pipeline, "s", "label")
            engine.state.snapshots.script(pipeline, "s", [True])
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            command.wait(timeout_sec=2)
        assert raised.value.pipeline_id == pipeline and f"(pipeline {pipeline})" in str(raised.value)


# The pipeline an error names: as given, else the record's pipelineId, else its name; kept through pickle.
@pytest.mark.parametrize(
    ("make", "pipeline_id", "text"),
    [
        (
            lambda: velm_api.RunError({"pipelineId": "p1", "name": "Nightly", "status": "RUN_ERROR", "message": "m"}),
            "p1",
            "Pipeline p1 is in status RUN_ERROR: m",
        ),
        (
            lambda: velm_api.StartError({"name": "Nightly", "status": "START_ERROR", "message": ""}),
            "Nightly",
            "Pipeline Nightly is in status START_ERROR",
        ),
        (lambda: velm_api.RunError({"status": "RUN_ERROR", "message": "m"}), None, "m"),
        (
            lambda: velm_api.RunError({"status": "RUN_ERROR"}, pipeline_id="p4"),
            "p4",
            "Pipeline p4 is in status RUN_ERROR",
        ),
        (
            lambda: velm_api.UnexpectedStatusError({"status": "INVALID"}, "INVALID", pipeline_id="p2"),
            "p2",
            "The wait for pipeline p2 ended in status INVALID",
        ),
        (
            lambda: velm_api.WaitTimeoutError(
                "Timed out.",
                timeout_sec=1,
                elapsed=1,
                pipeline_id="p3",
                last_failure=requests.ConnectionError("HTTPConnectionPool(host='h', port=1): see http://u:pw@h/x"),
            ),
            "p3",
            "Timed out (pipeline p3; last failure: ConnectionError: see http://***@h/x).",
        ),
    ],
)
def test_a_status_or_time_out_error_names_its_pipeline_and_keeps_it_pickled(make, pipeline_id, text):
    error = make()
    copied = pickle.loads(pickle.dumps(error))
    assert (error.pipeline_id, str(error)) == (copied.pipeline_id, str(copied)) == (pipeline_id, text)


class TestNesting:
    def test_a_wait_started_from_its_own_callback_raises_recursion_error(self, engine, pid):
        # With a high recursion limit, the C stack would run out before Python's own check: a crash.
        engine.script_status(pid, ["RUNNING"])
        script = f"""if True:
            import sys
            from quenlo.sdk import velm_api
            command = velm_api.ApiClient({engine.url!r}).get_pipeline_status({pid!r})
            sys.setrecursionlimit(1_000_000)
            def again(event):
                command.wait("FINISHED", on_progress=again)
            try:
                again(None)
            except RecursionError as error:
                print("RecursionError:", error)
            """
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.startswith("RecursionError: maximum recursion depth exceeded")


def test_a_clock_put_back_by_the_callback_ends_the_wait_near_its_time_out(pid):
    # The callback stops a virtual-time simulator an hour ahead, which hands the client its real clock back.
    with EngineSimulator(virtual_time=True) as engine:
        engine.clock.advance(3600)
        client = velm_api.ApiClient(engine.url)
        command = command_for(client, engine, pid, ["STARTING"])
        cancel = threading.Event()  # ends the wait that would go on for the hour
        timer = threading.Timer(20, cancel.set)
        timer.start()
        started = time.monotonic()
        with pytest.raises(velm_api.WaitTimeoutError):
            command.wait(timeout_sec=1.5, poll_interval=0.25, on_progress=lambda event: engine.stop(), cancel=cancel)
        timer.cancel()
    assert time.monotonic() - started < 4
