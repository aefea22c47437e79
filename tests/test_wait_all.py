"""wait_all(): several runs waited for at once, each ending as its own wait() would, against the simulator on the
fake clock (one end-to-end test through real pauses)."""

from __future__ import annotations

import itertools
import pickle
import ssl
import threading
import time
from typing import Any, Callable, Dict, Tuple
from unittest import mock

import pytest
import requests
import urllib3

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import ServiceUnavailableError
from quenlo.sdk.simulator import sample_pipeline

_ids = itertools.count()


def new_pid() -> str:
    return f"all{next(_ids)}"


def started(client, engine, statuses, cls=velm_api.StartPipelineCommand, pid=None):
    """A pipeline command holding the first scripted status; its polls read the rest."""
    pid = pid or new_pid()
    engine.script_status(pid, statuses)
    command = cls(client, client.get_pipeline_status(pid).response)
    engine.clear_requests()
    return command


def status_path(command) -> str:
    return f"/v1/pipeline/{command.response.json()['pipelineId']}/status"


def polled(engine) -> list:
    return [r.path.split("/")[-2] for r in engine.requests if r.path.endswith("/status")]


def preview_of(client, engine, states):
    pid = new_pid()
    engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    command = client.run_pipeline_preview(pid)
    engine.state.previews.script(command.previewer_id, states)
    engine.clear_requests()
    return command


def validation_of(client, engine, states):
    pid = new_pid()
    engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    command = client.validate_pipeline(pid)
    engine.state.previews.script(command.previewer_id, states)
    engine.clear_requests()
    return command


def snapshot_of(client, engine, states):
    pid = new_pid()
    engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    command = client.capture_snapshot(pid, "s", "label")
    engine.state.snapshots.script(pid, "s", states)
    engine.clear_requests()
    return command


def faulted(statuses, **fault):
    def make(client, engine):
        command = started(client, engine, statuses)
        engine.inject_fault("GET", status_path(command), **fault)
        return command

    return make


# Each scenario: how to make the command, and wait()'s keywords. wait_all must end each run exactly so.
SCENARIOS: Dict[str, Tuple[Callable[..., Any], Dict[str, Any]]] = {
    "finished": (lambda c, e: started(c, e, ["STARTING", "RUNNING", "FINISHED"]), {}),
    "run error": (lambda c, e: started(c, e, ["STARTING", {"status": "RUN_ERROR", "message": "disk full"}]), {}),
    "error without message": (lambda c, e: started(c, e, ["STARTING", {"status": "START_ERROR"}]), {}),
    "stopped by someone": (lambda c, e: started(c, e, ["STARTING", {"status": "STOPPED", "message": "ops"}]), {}),
    "timed out": (lambda c, e: started(c, e, ["STARTING"]), {"timeout_sec": 2.5}),
    "gateway, then finished": (faulted(["STARTING", "FINISHED"], status=503, count=2), {}),
    "gateway to the deadline": (faulted(["STARTING"], status=503, count=None), {"timeout_sec": 3}),
    "deleted mid-wait": (faulted(["STARTING", "RUNNING"], status=404), {}),
    "record without status": (faulted(["STARTING", "RUNNING"], body={"pipelineId": "x"}), {}),
    "refused read": (faulted(["STARTING"], status=403), {}),
    "held answer not json": (lambda c, e: held(c, e, not_json=True), {}),
    "held record without its id": (lambda c, e: held(c, e, body={"status": "STARTING"}), {}),
    "stop": (lambda c, e: started(c, e, ["STOPPING", "STOPPED"], velm_api.StopPipelineCommand), {}),
    "any target": (lambda c, e: started(c, e, ["STARTING", "RUNNING"], velm_api.PipelineCommand), {"until": "RUNNING"}),
    "validation invalid": (lambda c, e: validation_of(c, e, ["VALIDATING", "INVALID"]), {}),
    "preview finished": (lambda c, e: preview_of(c, e, ["RUNNING", "FINISHED"]), {}),
    "snapshot": (lambda c, e: snapshot_of(c, e, [True, None, False]), {}),
}


def outcome(wait: Callable[[], Any]) -> Any:
    try:
        return wait()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return error


def held(client, engine, **fault):
    """A start command holding an answer that cannot be read (always the same pipeline, so messages compare)."""
    engine.inject_fault("GET", "/v1/pipeline/unreadable/status", **fault)
    command = velm_api.StartPipelineCommand(client, client._get("/v1/pipeline/unreadable/status"))
    engine.clear_requests()
    return command


def ids_of(command) -> list:
    names = [str(getattr(command, name)) for name in ("pipeline_id", "previewer_id") if hasattr(command, name)]
    record = outcome(command.response.json)
    return names or ([record["pipelineId"]] if isinstance(record, dict) and "pipelineId" in record else [])


def assert_same_outcome(alone: Any, together: Any, alone_command, together_command) -> None:
    if isinstance(alone, dict):
        assert isinstance(together, dict) and together.get("status") == alone.get("status")
        assert together.get("inProgress") == alone.get("inProgress")
        assert together == together_command.response.json()
        return
    assert type(together) is type(alone)
    text = str(alone)
    for old, new in zip(ids_of(alone_command), ids_of(together_command)):
        text = text.replace(old, new)
    assert str(together) == text
    for name in ("status", "message", "timeout_sec", "elapsed", "last_status"):
        assert getattr(together, name, None) == getattr(alone, name, None), name
    assert type(together.__cause__) is type(alone.__cause__)
    assert type(getattr(together, "last_failure", None)) is type(getattr(alone, "last_failure", None))


class TestEachRunAsItsOwnWait:
    @pytest.mark.parametrize("name", list(SCENARIOS))
    def test_outcome_pacing_and_requests_match_wait(self, client, engine, clock, name):
        make, kwargs = SCENARIOS[name]
        alone_command = make(client, engine)
        alone = outcome(lambda: alone_command.wait(**kwargs))
        alone_sleeps, alone_reads = list(clock.sleeps), len(engine.requests)
        clock.sleeps.clear()

        # A run beside it that reaches its target in the first round.
        quick = started(client, engine, ["STARTING", kwargs.get("until", "FINISHED")])
        together_command = make(client, engine)
        try:
            records = velm_api.wait_all([quick, together_command], **kwargs)
            together = records[-1]
        except velm_api.WaitAllError as error:
            together = error.outcomes[-1]
            assert error.__cause__ is together
        assert_same_outcome(alone, together, alone_command, together_command)
        assert clock.sleeps == (alone_sleeps or [1.0])  # a run that fails before its first pause: the quick one's
        reads = [r for r in engine.requests if quick.response.json()["pipelineId"] not in r.path]
        assert len(reads) == alone_reads

    def test_mixed_kinds_take_their_own_default_targets(self, client, engine, clock):
        commands = [
            started(client, engine, ["STARTING", "FINISHED"]),
            started(client, engine, ["STOPPING", "STOPPED"], velm_api.StopPipelineCommand),
            validation_of(client, engine, ["VALIDATING", "VALIDATING", "VALID"]),
            preview_of(client, engine, ["FINISHED"]),
            snapshot_of(client, engine, [True, False]),
        ]
        records = velm_api.wait_all(commands)
        assert [r.get("status", r.get("inProgress")) for r in records] == [
            "FINISHED",
            "STOPPED",
            "VALID",
            "FINISHED",
            False,
        ]
        assert records == [c.response.json() for c in commands]
        assert clock.sleeps == [1.0, 1.0]

    def test_a_pipeline_command_without_a_target_is_refused_before_any_request(self, client, engine, clock):
        commands = [
            started(client, engine, ["RUNNING"]),
            started(client, engine, ["RUNNING"], velm_api.PipelineCommand),
        ]
        with pytest.raises(TypeError, match="until"):
            velm_api.wait_all(commands)
        assert engine.requests == [] and clock.sleeps == []


class TestRounds:
    def test_one_status_request_per_run_per_round_in_order(self, client, engine, clock):
        a, b, c = (started(client, engine, ["STARTING"] * n + ["FINISHED"]) for n in (1, 3, 2))
        names = [x.response.json()["pipelineId"] for x in (a, b, c)]
        records = velm_api.wait_all([a, b, c], poll_interval=1, backoff=2, max_interval=3)
        assert [r["pipelineId"] for r in records] == names
        assert polled(engine) == [names[0], names[1], names[2], names[1], names[2], names[1]]
        assert clock.sleeps == [1, 2, 3]
        assert all(r.method == "GET" for r in engine.requests)  # nothing is stopped on the engine

    def test_pauses_fit_the_nearest_deadline_of_runs_with_different_time_outs(self, client, engine, clock):
        run = started(client, engine, ["STARTING"])
        preview = velm_api.PreviewCommand(client, None, "p", "r")
        engine.inject_fault("GET", "/v1/pipeline/p/preview/r/status", body={"status": "RUNNING"}, count=None)
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([run, preview], poll_interval=7)
        late, early = raised.value.outcomes
        assert isinstance(late, velm_api.WaitTimeoutError) and isinstance(early, velm_api.WaitTimeoutError)
        assert (late.elapsed, late.timeout_sec, early.elapsed, early.timeout_sec) == (300, 300, 30, 30)
        assert clock.sleeps[:5] == [7, 7, 7, 7, 2] and sum(clock.sleeps) == 300
        assert "2 of 2 runs did not reach their target status" in str(raised.value)

    def test_a_retry_after_never_holds_a_poll_past_its_runs_deadline(self, engine, clock):
        client = velm_api.ApiClient(engine.url, retries=2)
        quick = started(client, engine, ["STARTING", "FINISHED"])
        stuck = started(client, engine, ["STARTING", "FINISHED"])
        engine.inject_fault("GET", status_path(stuck), status=503, count=None, headers={"Retry-After": "3600"})
        began = clock.now
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([quick, stuck], timeout_sec=4)
        assert clock.now - began <= 4 and clock.sleeps[:2] == [1, 3]
        assert raised.value.outcomes[0]["status"] == "FINISHED"
        assert isinstance(raised.value.outcomes[1], velm_api.WaitTimeoutError)

    def test_retries_keep_to_each_runs_own_deadline(self, engine, clock):
        client = velm_api.ApiClient(engine.url, retries=2)
        quick = started(client, engine, ["STARTING", "FINISHED"])  # 300 s by default
        preview = velm_api.PreviewCommand(client, None, "p", "r")  # 30 s by default
        engine.inject_fault(
            "GET", "/v1/pipeline/p/preview/r/status", status=503, count=None, headers={"Retry-After": "3600"}
        )
        began = clock.now
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([quick, preview])
        outcome = raised.value.outcomes[1]
        assert isinstance(outcome, velm_api.WaitTimeoutError) and outcome.timeout_sec == 30
        assert clock.now - began <= 30

    def test_a_retry_after_that_starts_mid_wait_still_ends_the_run_at_its_own_deadline(self, engine, clock):
        client = velm_api.ApiClient(engine.url, retries=2)
        quick = started(client, engine, ["STARTING", "FINISHED"])  # 300 s by default
        preview = velm_api.PreviewCommand(client, None, "p", "r")  # 30 s by default
        path = "/v1/pipeline/p/preview/r/status"
        engine.inject_fault("GET", path, body={"status": "RUNNING"}, count=21)  # read at 0, 1, ... 20 s
        engine.inject_fault("GET", path, status=503, count=None, headers={"Retry-After": "3600"})
        began = clock.now
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([quick, preview])
        outcome = raised.value.outcomes[1]
        assert isinstance(outcome, velm_api.WaitTimeoutError) and (outcome.elapsed, outcome.timeout_sec) == (30, 30)
        assert clock.now - began == 30 and isinstance(outcome.last_failure, ServiceUnavailableError)

    def test_the_same_command_twice_is_waited_on_twice(self, client, engine, clock):
        command = started(client, engine, ["STARTING", "FINISHED", "FINISHED"])
        first, second = velm_api.wait_all([command, command])
        assert first["status"] == second["status"] == "FINISHED" and len(engine.requests) == 2

    def test_a_generator_of_commands_is_read_once(self, client, engine, clock):
        commands = [started(client, engine, ["STARTING", "FINISHED"]) for _ in range(3)]
        assert len(velm_api.wait_all(c for c in commands)) == 3

    def test_real_pauses_end_to_end(self, client, engine):
        pids = [new_pid() for _ in range(3)]
        for pid in pids:
            engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
            engine.state.runs.configure(pid, batches=2, batch_interval=0.05)
        began = time.monotonic()
        records = velm_api.wait_all([client.start_pipeline(pid) for pid in pids], poll_interval=0.05)
        assert [r["status"] for r in records] == ["FINISHED"] * 3
        assert 0.05 <= time.monotonic() - began < 3


class TestFailures:
    def test_fail_fast_raises_at_the_first_failure_leaving_the_others_going(self, client, engine, clock):
        slow = started(client, engine, ["STARTING"])
        failing = started(client, engine, ["STARTING", "RUNNING", {"status": "RUN_ERROR", "message": "disk full"}])
        quick = started(client, engine, ["STARTING", "FINISHED"])
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([slow, failing, quick], fail_fast=True)
        error = raised.value
        assert error.outcomes[0] is None and isinstance(error.outcomes[1], velm_api.RunError)
        assert error.outcomes[2]["status"] == "FINISHED" and error.__cause__ is error.outcomes[1]
        assert str(error).startswith("1 of 3 runs did not reach their target status (1 still going): pipeline all")
        assert str(error).endswith(": RunError: disk full")
        assert engine.requests[-1].path.endswith(status_path(failing)) and clock.sleeps == [1, 1]

    def test_without_fail_fast_every_run_is_waited_for(self, client, engine, clock):
        failing = started(client, engine, ["STARTING", {"status": "RUN_ERROR"}])
        slow = started(client, engine, ["STARTING"] * 4 + ["FINISHED"])
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([failing, slow])
        outcomes = raised.value.outcomes
        assert isinstance(outcomes[0], velm_api.RunError) and outcomes[1]["status"] == "FINISHED"
        assert str(raised.value).endswith(": RunError")  # no message: nothing after the class

    def test_the_cause_is_the_first_failure_to_happen(self, client, engine, clock):
        late = started(client, engine, ["STARTING", "RUNNING", {"status": "RUN_ERROR", "message": "late"}])
        early = started(client, engine, ["STARTING", {"status": "START_ERROR", "message": "early"}])
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([late, early])
        assert raised.value.__cause__ is raised.value.outcomes[1]
        assert str(raised.value).endswith(
            ": RunError: late; pipeline " + status_path(early).split("/")[-2] + ": StartError: early"
        )

    def test_the_error_pickles_with_its_outcomes(self, client, engine, clock):
        failing = started(client, engine, ["STARTING", {"status": "RUN_ERROR", "message": "disk full"}])
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([failing, started(client, engine, ["FINISHED"])])
        copy = pickle.loads(pickle.dumps(raised.value))
        assert type(copy) is velm_api.WaitAllError and str(copy) == str(raised.value)
        assert isinstance(copy.outcomes[0], velm_api.RunError) and copy.outcomes[0].message == "disk full"
        assert copy.outcomes[1] == raised.value.outcomes[1]
        assert str(velm_api.WaitAllError([None, ValueError()])) == "1 of 2 runs did not reach their target status"


class TestProgressAndCancel:
    def test_progress_names_the_run_by_its_place(self, client, engine, clock):
        a = started(client, engine, ["STARTING", "FINISHED"])
        b = started(client, engine, ["STARTING", "RUNNING", "FINISHED"])
        seen: list = []
        velm_api.wait_all([a, b], on_progress=lambda place, event: seen.append((place, event.status, event.polls)))
        assert seen == [
            (0, "STARTING", 0),
            (1, "STARTING", 0),
            (0, "FINISHED", 1),
            (1, "RUNNING", 1),
            (1, "FINISHED", 2),
        ]

    @pytest.mark.parametrize("raised", [ValueError("mine"), KeyboardInterrupt()])
    def test_what_the_callback_raises_ends_the_wait_as_it_is(self, client, engine, clock, raised):
        a, b = (started(client, engine, ["STARTING", "RUNNING", "FINISHED"]) for _ in range(2))

        def progress(place: int, event: Any) -> None:
            if place == 1 and event.status == "RUNNING":
                raise raised

        with pytest.raises(type(raised)) as caught:
            velm_api.wait_all([a, b], on_progress=progress)
        assert caught.value is raised and polled(engine)[-1] == b.response.json()["pipelineId"]

    def test_an_interrupt_inside_a_request_ends_the_wait(self, client, engine, clock):
        a = started(client, engine, ["STARTING", "FINISHED"])
        with mock.patch.object(client, "get_pipeline_status", side_effect=KeyboardInterrupt):
            with pytest.raises(KeyboardInterrupt):
                velm_api.wait_all([a])

    def test_a_cancel_already_set_sends_nothing(self, client, engine, clock):
        cancel = mock.Mock(is_set=lambda: True)
        with pytest.raises(velm_api.WaitCancelledError, match="wait for 1 runs was cancelled"):
            velm_api.wait_all([started(client, engine, ["STARTING"])], cancel=cancel)
        assert engine.requests == [] and clock.sleeps == []

    @pytest.mark.parametrize("place", [0, 2, 3])
    def test_cancel_set_during_a_round_ends_before_the_next_runs_turn(self, client, engine, clock, place):
        cancel = threading.Event()
        # The first run ends in the round the cancel comes in: it is not counted as still going.
        commands = [started(client, engine, ["STARTING", "FINISHED"])]
        commands += [started(client, engine, ["STARTING"]) for _ in range(3)]
        with pytest.raises(velm_api.WaitCancelledError, match=r"wait for 4 runs was cancelled \(3 still going\)"):
            velm_api.wait_all(
                commands,
                on_progress=lambda at, event: at == place and event.polls == 1 and cancel.set(),
                cancel=cancel,
            )
        # The held answers, one pause, then the second round's reads up to the run that saw the cancel.
        assert clock.sleeps == [1.0] and polled(engine) == [ids_of(c)[0] for c in commands[: place + 1]]


class TestHeldAnswers:
    @pytest.mark.parametrize(
        ("fault", "error"), [({"not_json": True}, "EngineJSONDecodeError: "), ({"body": {"status": "X"}}, "KeyError: ")]
    )
    @pytest.mark.parametrize("fail_fast", [False, True])
    def test_an_unreadable_held_answer_is_its_runs_outcome_named_by_place(
        self, client, engine, clock, fault, error, fail_fast
    ):
        quick = started(client, engine, ["STARTING", "FINISHED"])
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([quick, held(client, engine, **fault)], fail_fast=fail_fast)
        first, second = raised.value.outcomes
        assert raised.value.__cause__ is second and "going)" * fail_fast + f": command 1: {error}" in str(raised.value)
        assert first == (None if fail_fast else quick.response.json()) and len(engine.requests) == 1 - fail_fast


class TestArguments:
    @pytest.mark.parametrize(
        ("commands", "match"),
        [
            ("abc", "iterable of commands, not str"),
            (5, "iterable of commands, not int"),
            (None, "iterable of commands, not NoneType"),
        ],
    )
    def test_what_is_not_a_list_of_commands_is_refused(self, commands, match):
        with pytest.raises(TypeError, match=match):
            velm_api.wait_all(commands)

    @pytest.mark.parametrize(
        "bad", [object(), "p1", lambda c, e: velm_api.Command(c, started(c, e, ["RUNNING"]).response)]
    )
    def test_an_item_that_cannot_wait_is_refused_before_any_request(self, client, engine, clock, bad):
        bad = bad(client, engine) if callable(bad) else bad
        engine.clear_requests()
        with pytest.raises(TypeError, match="item 1 is"):
            velm_api.wait_all([started(client, engine, ["STARTING"]), bad])
        assert engine.requests == []

    def test_no_commands_returns_no_records_but_checks_the_arguments(self):
        assert velm_api.wait_all([]) == []
        with pytest.raises(ValueError, match="poll_interval"):
            velm_api.wait_all([], poll_interval=0)


# A TLS failure that urllib3 holds as a MaxRetryError's reason alone (no cause): a refusal ends the run at once,
# a connection dropped in the handshake is polled through.
@pytest.mark.parametrize(
    "tls_error, outcome",
    [
        (ssl.SSLError(1, "[SSL: TLSV1_ALERT_UNKNOWN_CA] tlsv1 alert unknown ca"), requests.exceptions.SSLError),
        (ssl.SSLEOFError(8, "EOF occurred in violation of protocol"), velm_api.WaitTimeoutError),
    ],
)
def test_a_tls_failure_held_as_a_reason_alone_is_judged_as_one(client, engine, clock, tls_error, outcome):
    command = started(client, engine, ["STARTING"])
    reason = urllib3.exceptions.SSLError(tls_error)
    error = requests.exceptions.SSLError(urllib3.exceptions.MaxRetryError(None, "/x", reason=reason))
    with mock.patch.object(client, "get_pipeline_status", side_effect=error):
        with pytest.raises(velm_api.WaitAllError) as raised:
            velm_api.wait_all([command], "FINISHED", timeout_sec=2)
    assert type(raised.value.outcomes[0]) is outcome
