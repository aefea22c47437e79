"""Running pipelines: the start and stop commands' waits, and the engine's run machine behind them."""

from __future__ import annotations

import logging
import re
import time
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import BadRequestError
from quenlo.sdk.simulator import sample_pipeline

BATCHES = "pipeline.batchCount.counter"
OUTPUT = "pipeline.batchOutputRecords.counter"
ERRORS = "pipeline.batchErrorRecords.counter"


class VirtualTime:
    """Wall clock, sleep and the engine's run clock in one: a sleep moves all three, instantly."""

    def __init__(self) -> None:
        self.origin = time.time()
        self.offset = 0.0

    def time(self) -> float:
        return self.origin + self.offset

    def advance(self, seconds: float) -> None:
        self.offset += seconds


@pytest.fixture
def virtual(engine):
    clock = VirtualTime()
    engine.state.runs.clock = lambda: clock.offset
    with mock.patch("time.time", clock.time), mock.patch("time.sleep", side_effect=clock.advance) as sleep:
        clock.sleep = sleep
        yield clock


def started(engine, client, pid="p", **plan):
    """Store ``pid``, plan its run (no start delay, one batch a second unless told) and start it."""
    engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    engine.state.runs.configure(pid, **{"start_delay": 0, "batch_interval": 1, **plan})
    command = client.start_pipeline(pid)
    engine.clear_requests()
    return command


def kinds(engine):
    """The last path segment of each request since the log was cleared: metrics, status, ..."""
    return [r.path.rsplit("/", 1)[-1] for r in engine.requests]


def counters(client, pid="p"):
    return {k: v["count"] for k, v in client.get_pipeline_metrics(pid).response.json()["counters"].items()}


# -- counter waits -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("elapsed", "wait"),
    [
        (7, lambda c: c.wait_for_pipeline_batch_count(5)),
        (0, lambda c: c.wait_for_pipeline_batch_count(0)),
        # A missing counter counts -1, which meets a target of -1 and must not fail on a second look-up.
        (0, lambda c: c.wait_for_counters_metric("pipeline.noSuch.counter", -1)),
    ],
    ids=["past the target", "zero reaches zero", "missing counter meets -1"],
)
def test_a_counter_at_its_target_returns_after_one_metrics_read(engine, client, virtual, elapsed, wait, caplog):
    command = started(engine, client, batches=None)
    virtual.advance(elapsed)
    with caplog.at_level(logging.INFO, logger="quenlo.sdk.velm_api"):
        assert wait(command) is None
    assert kinds(engine) == ["metrics"] and not virtual.sleep.called
    assert re.fullmatch(
        r"Pipeline p reached counters metric \S+ of value -?\d+ \(took 0\.00 s\)\.", caplog.messages[-1]
    )


@pytest.mark.parametrize(
    ("metrics", "metric", "target"),
    [({"gauges": {}}, BATCHES, 1), ({"counters": {}}, BATCHES, 0), (None, BATCHES, 3)],
    ids=["no counters", "no such counter", "finished below the target"],
)
def test_a_counter_short_of_its_target_polls_until_the_deadline(engine, client, virtual, metrics, metric, target):
    command = started(engine, client, batches=2)
    if metrics is not None:
        engine.inject_fault("GET", "/v1/pipeline/p/metrics", body=metrics, count=None)
    with pytest.raises(TimeoutError) as error:
        command.wait_for_counters_metric(metric, target, timeout_sec=5)
    assert str(error.value) == f"Did not reached metric {metric} of value {target} (pipeline p)"
    # Metrics first in every cycle, then the status refresh after the pause; FINISHED does not end it.
    assert kinds(engine) == ["metrics", "status"] * 5 and virtual.sleep.call_args_list == [mock.call(1)] * 5
    assert command.response.json()["status"] == "FINISHED"


@pytest.mark.parametrize(("status", "error"), list(velm_api.PipelineCommand.ERROR_STATUSES.items()))
def test_an_error_status_ends_a_counter_wait_in_the_next_cycle(engine, client, virtual, status, error):
    command = started(engine, client, batches=None)
    engine.script_status("p", [{"status": status, "message": "boom"}])
    with pytest.raises(error) as raised:
        command.wait_for_pipeline_batch_count(5)
    assert raised.value.message == "boom" and raised.value.response["status"] == status
    assert kinds(engine) == ["metrics", "status"]
    assert command.response.json()["status"] == status


def test_a_run_error_from_the_engine_surfaces_with_its_message(engine, client, virtual):
    command = started(engine, client, batches=None, fail_after_batch=2, run_error="Disk full")
    with pytest.raises(velm_api.RunError, match="^Pipeline p is in status RUN_ERROR: Disk full$"):
        command.wait_for_pipeline_output_records_count(1000)
    assert kinds(engine) == ["metrics", "status", "metrics", "status"]


def test_the_counter_wait_reads_the_id_once_falling_back_to_name(engine, client, virtual):
    started(engine, client, pid="q", batches=None)
    engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
    engine.inject_fault("POST", "/v1/pipeline/p/start", body={"name": "q", "status": "STARTING"})
    command = client.start_pipeline("p")
    engine.script_status("q", [{"pipelineId": "elsewhere", "status": "RUNNING"}])
    engine.clear_requests()
    command.wait_for_pipeline_batch_count(2)
    assert kinds(engine) == ["metrics", "status"] * 2 + ["metrics"]
    assert {r.path.split("/")[4] for r in engine.requests} == {"q"}


@pytest.mark.parametrize(
    ("wait", "metric", "value"),
    [
        ("wait_for_pipeline_batch_count", BATCHES, 2),
        ("wait_for_pipeline_output_records_count", OUTPUT, 14),
        ("wait_for_pipeline_error_records_count", ERRORS, 6),
    ],
)
def test_each_count_wait_reads_its_own_counter(engine, client, virtual, wait, metric, value):
    command = started(engine, client, batches=None, records_per_batch=10, error_records_per_batch=3)
    virtual.advance(2)
    getattr(command, wait)(value)
    with pytest.raises(
        TimeoutError, match=rf"^Did not reached metric {re.escape(metric)} of value {value + 1} \(pipeline p\)$"
    ):
        getattr(command, wait)(value + 1, timeout_sec=0)


@pytest.mark.parametrize(
    ("base", "wait", "override", "seen"),
    [
        (
            velm_api.StartPipelineCommand,
            "wait_for_pipeline_error_records_count",
            "wait_for_counters_metric",
            ((ERRORS, 3, 7), {}),
        ),
        (
            velm_api.StartPipelineCommand,
            "wait_for_finished",
            "wait_for_status",
            ((), {"status": "FINISHED", "timeout_sec": 7}),
        ),
        (
            velm_api.StopPipelineCommand,
            "wait_for_stopped",
            "wait_for_status",
            ((), {"status": "STOPPED", "timeout_sec": 7}),
        ),
    ],
)
def test_waits_delegate_through_the_overridable_method(client, base, wait, override, seen):
    def record(self, *args, **kwargs):
        self.seen = (args, kwargs)

    command = type("Recording", (base,), {override: record})(client, requests.Response())
    arguments = (3, 7) if "count" in wait else (7,)
    assert getattr(command, wait)(*arguments) is None
    assert command.seen == seen


# -- status waits on the virtual clock ----------------------------------------------------------------------------


def test_waiting_for_finished_on_a_stopped_pipeline_times_out(engine, client, virtual):
    command = started(engine, client, batches=None, stop_delay=0)
    client.stop_pipeline("p")
    with pytest.raises(Exception) as error:
        command.wait_for_finished(timeout_sec=3)
    assert type(error.value) is velm_api.WaitTimeoutError
    assert str(error.value) == "Timed out after 3 seconds while waiting for status FINISHED (pipeline p)."
    assert command.response.json()["status"] == "STOPPED"
    assert error.value.last_status == "STOPPED" and error.value.response is command.response


def test_wait_for_stopped_with_no_time_raises_at_once(engine, client, virtual):
    started(engine, client, batches=None, stop_delay=0)
    command = client.stop_pipeline("p")
    engine.clear_requests()
    with pytest.raises(Exception, match=r"^Timed out after 0 seconds while waiting for status STOPPED\.$"):
        command.wait_for_stopped(timeout_sec=0)
    assert engine.requests == [] and not virtual.sleep.called


def test_a_start_error_ends_wait_for_finished(engine, client, virtual):
    command = started(engine, client, start_error="Stage library 'sql' is missing")
    with pytest.raises(velm_api.StartError) as error:
        command.wait_for_finished()
    assert error.value.message == "Stage library 'sql' is missing"


# -- the engine's run machine ---------------------------------------------------------------------------------------


def test_a_run_starts_runs_its_batches_and_finishes_on_the_clock(engine, client, virtual):
    command = started(engine, client, batches=3, start_delay=0.5, records_per_batch=4, error_records_per_batch=1)
    assert command.response.json()["status"] == "STARTING"
    seen = []
    for _ in range(5):
        seen.append((client.get_pipeline_status("p").response.json()["status"], counters(client)[BATCHES]))
        virtual.advance(1)
    assert seen == [("STARTING", 0), ("RUNNING", 0), ("RUNNING", 1), ("RUNNING", 2), ("FINISHED", 3)]
    assert counters(client) == {
        BATCHES: 3,
        "pipeline.batchInputRecords.counter": 12,
        OUTPUT: 9,
        ERRORS: 3,
        "pipeline.batchErrorMessages.counter": 3,
    }
    messages = client.get_pipeline_error_messages("p", "sink", size=2).response.json()
    assert [m["message"] for m in messages] == [
        "Record 1 of batch 3 failed: simulated bad value",
        "Record 1 of batch 2 failed: simulated bad value",
    ]
    assert client.get_pipeline_error_messages("p", "source").response.json() == []


def test_the_engine_log_tells_each_run_naming_its_pipeline(engine, client, virtual):
    started(engine, client, batches=1)
    started(engine, client, "q", fail_after_batch=1, run_error="Disk full")
    virtual.advance(2)
    client.get_pipeline_status("p"), client.get_pipeline_status("q")
    started(engine, client, "r", batches=None)
    client.stop_pipeline("r")

    def story(pid):
        return [e["message"] for e in client.get_logs(pipeline=pid).response.json()]

    assert story("p") == ["Run of 'p' starting", "Run of 'p' running", "Run of 'p' finished"]
    assert story("q")[-1] == "Run of 'q' failed (RUN_ERROR): Disk full"
    assert story("r") == ["Run of 'r' starting", "Run of 'r' running", "Run of 'r' stopping"]


def test_a_stop_freezes_the_batches_and_a_stuck_stop_needs_force(engine, client, virtual):
    started(engine, client, batches=None, stop_delay=1)
    virtual.advance(2.5)
    assert client.stop_pipeline("p").response.json()["status"] == "STOPPING"
    virtual.advance(0.9)
    assert client.get_pipeline_status("p").response.json()["status"] == "STOPPING"
    virtual.advance(0.2)
    assert client.get_pipeline_status("p").response.json()["status"] == "STOPPED"
    assert counters(client)[BATCHES] == 2

    started(engine, client, pid="stuck", batches=None, stop_delay=None)
    client.stop_pipeline("stuck")
    virtual.advance(60)
    assert client.get_pipeline_status("stuck").response.json()["status"] == "STOPPING"
    answer = client.force_stop_pipeline("stuck").response.json()
    assert answer["status"] == "STOPPED" and engine.state.runs.active() == []


def test_start_and_stop_are_refused_in_the_wrong_state(engine, client, virtual):
    started(engine, client, batches=None)
    with pytest.raises(BadRequestError, match="RUNNING to STARTING"):
        client.start_pipeline("p")
    assert engine.state.runs.active() == ["p"]
    with pytest.raises(requests.HTTPError, match="400"):  # delete maps no statuses
        client.delete_pipeline("p")
    client.force_stop_pipeline("p")
    for stop in (client.stop_pipeline, client.force_stop_pipeline):
        with pytest.raises(BadRequestError, match="STOPPED to STOPPING"):
            stop("p")


def test_history_keeps_one_entry_per_run_and_offsets_carry_over(engine, client, virtual):
    client.import_pipeline("p", sample_pipeline("p", "p"))
    assert client.get_pipeline_metrics("p").response.content == b""  # never ran
    engine.state.runs.configure("p", batches=3, batch_interval=1, start_delay=0)
    for parameters in ({"limit": 1}, {"limit": 2}):
        client.start_pipeline("p", runtime_parameters=parameters)
        virtual.advance(5)
    history = client.get_pipeline_history("p")
    assert [(h["status"], h["parameters"]) for h in history] == [
        ("FINISHED", {"limit": 2}),
        ("FINISHED", {"limit": 1}),
    ]
    assert history[0]["metrics"]["counters"]["pipeline.batchCount.counter"] == {"count": 3}
    assert client.get_pipeline_committed_offsets("p").response.json() == {"offsets": {"source": "60"}}

    client.reset_origin_offset("p")
    assert client.get_pipeline_committed_offsets("p").response.json()["offsets"] == {}
    written = client.update_pipeline_committed_offsets("p", body={"offsets": {"source": "100"}})
    assert written.response.json()["offsets"] == {"source": "100"}
    client.start_pipeline("p")
    virtual.advance(1)
    assert client.get_pipeline_committed_offsets("p").response.json()["offsets"] == {"source": "110"}
    for change in (
        lambda: client.reset_origin_offset("p"),
        lambda: client.update_pipeline_committed_offsets("p", body={"offsets": {}}),
    ):
        with pytest.raises(BadRequestError, match="RUNNING"):
            change()


def test_rules_are_read_and_replaced(client):
    client.create_pipeline("p")
    rules = client.get_pipeline_rules("p").response.json()
    assert rules["checks"] == []
    check = {"id": "r1", "kind": "METRIC", "condition": "${value() > 1}", "enabled": True}
    stored = client.update_pipeline_rules("p", {**rules, "checks": [check]}).response.json()
    assert stored["checks"] == [check] and stored["uuid"] != rules["uuid"]
    assert client.get_pipeline_rules("p").response.json() == stored


# -- end to end through the real one-second pause ----------------------------------------------------------------


def test_create_import_start_wait_and_read_history(engine, client):
    pid = client.create_pipeline("night batch", auto_generate_pipeline_id=True).response.json()["pipelineId"]
    client.import_pipeline(pid, sample_pipeline("night batch"), overwrite=True)
    engine.state.runs.configure(pid, batches=3, batch_interval=0.2, start_delay=0.1)
    command = client.start_pipeline(pid, runtime_parameters={"date": "2024-01-01"})
    command.wait_for_pipeline_batch_count(2, timeout_sec=10)
    command.wait_for_finished(timeout_sec=10)
    (entry,) = client.get_pipeline_history(pid)
    assert entry["status"] == "FINISHED" and entry["parameters"] == {"date": "2024-01-01"}
    assert counters(client, pid)[OUTPUT] == 30


@pytest.mark.parametrize("force", [False, True], ids=["stop", "force stop"])
def test_stop_and_force_stop_are_awaited(engine, client, force):
    engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
    engine.state.runs.configure("p", batches=None, start_delay=0, stop_delay=None if force else 0.2)
    client.start_pipeline("p")
    command = client.stop_pipeline("p")
    if force:
        command = client.force_stop_pipeline("p")
    command.wait_for_stopped(timeout_sec=10)
    assert command.response.json()["status"] == "STOPPED"


def test_a_failing_run_raises_run_error_with_the_engines_message(engine, client):
    engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
    engine.state.runs.configure(
        "p", batch_interval=0.1, start_delay=0, fail_after_batch=2, run_error="Stage sink failed: disk full"
    )
    command = client.start_pipeline("p")
    with pytest.raises(velm_api.RunError) as error:
        command.wait_for_finished(timeout_sec=10)
    assert error.value.message == "Stage sink failed: disk full"
    assert error.value.response["status"] == "RUN_ERROR"
